// Writing through optics.
//
// A composition is written lens by lens: the head's focus is read, the rest is written into it,
// and the result is written back through the head. A traversal head (Each, Slice, Vals, Deep) is
// the exception: each of its foci is written from its own element, so that no element is copied
// over the others. Under `_first` only the first focus changes, also when the optic under it is a
// traversal.
#include <utility>

#include "optics/walk.hpp"

namespace quorvex {

using namespace optics;

namespace {

// Every element of a sequence, or every value of a map, holding `value`: the one level that a
// Deep write reaches.
NativeResult fill_seq(Vm& vm, const SeqObject& seq, Value value) {
  // A vector that shares its parts can be far longer than memory holds; its copy cannot be.
  if (seq.items.size() > kMaxCopiedElements) return too_large_error();
  ValueVector items;
  for (std::size_t i = 0; i < seq.items.size(); ++i) {
    if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
    items.push_back_mut(value);
  }
  return new_seq(vm, std::move(items), seq.is_vector);
}

Result<Value> fill_map(Vm& vm, const ValueMap& map, Value value) {
  ValueMap out = fresh_map();
  for (const auto& entry : map) {
    Result<ValueMap> next = map_put(vm, out, entry.first, value);
    if (!next) return std::unexpected(std::move(next.error()));
    out = std::move(*next);
  }
  return new_map(vm, std::move(out));
}

// A Deep head of a written composition: the rest is written at every node where it fits (a node
// where it fails with a type error stays as it is), children before their parent, over the
// target's own nodes only, so that the written value is never walked again.
NativeResult set_deep_chain(Vm& vm, KindSpan rest, Value value, Value node) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  if (Result<void> t = tick(vm); !t) return std::unexpected(t.error());
  RootScope scope(vm.heap);
  auto below = [&](const Value& child) { return set_deep_chain(vm, rest, value, child); };
  Value rebuilt = node;
  if (std::optional<SeqObject> seq = seq_of(vm, node)) {
    NativeResult r = rewrite_elements(vm, *seq, 0, seq->items.size(), below);
    if (!r) return r;
    rebuilt = *r;
  } else if (std::optional<ValueMap> map = map_of(vm, node)) {
    NativeResult r = rewrite_values(vm, *map, below);
    if (!r) return r;
    rebuilt = *r;
  } else if (std::optional<Variant> variant = variant_of(vm, node)) {
    NativeResult r = rewrite_fields(vm, *variant, below);
    if (!r) return r;
    rebuilt = *r;
  }
  scope.add(rebuilt);
  NativeResult written = set_compose(vm, rest, value, rebuilt);
  if (!written && is_droppable_type_error(vm, written.error())) return rebuilt;
  return written;
}

// A traversal head of a written composition, on a target it traverses: each focus written from
// its own element. On any other target there is nothing to keep apart, and the write goes lens by
// lens like any other head's, so that its errors come in the same order.
std::optional<NativeResult> set_traversal_head(Vm& vm, const OpticKind& head, KindSpan rest,
                                               Value value, Value target) {
  auto write = [&](const Value& element) { return set_compose(vm, rest, value, element); };
  switch (head.tag()) {
  case OpticTag::Each:
  case OpticTag::Slice: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return std::nullopt;
    Window w{0, seq->items.size()};
    if (const auto* slice = std::get_if<OpticKind::Slice>(&head.data))
      w = slice_window(seq->items.size(), *slice);
    return rewrite_elements(vm, *seq, w.begin, std::max(w.begin, w.end), write);
  }
  case OpticTag::Vals: {
    std::optional<ValueMap> map = map_of(vm, target);
    if (!map) return std::nullopt;
    return rewrite_values(vm, *map, write);
  }
  case OpticTag::Deep:
    return set_deep_chain(vm, rest, value, target);
  default:
    return std::nullopt;
  }
}

} // namespace

NativeResult set_optic(Vm& vm, const OpticKind& kind, Value value, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  switch (kind.tag()) {
  case OpticTag::Key: {
    Result<Value> key = key_of_box(vm, std::get<OpticKind::Key>(kind.data).key_box);
    if (!key) return std::unexpected(std::move(key.error()));
    std::optional<ValueMap> map = target.is_nil() ? std::optional(fresh_map()) : map_of(vm, target);
    if (map) {
      Result<ValueMap> next = map_put(vm, *map, *key, value);
      if (!next) return std::unexpected(std::move(next.error()));
      return new_map(vm, std::move(*next));
    }
    if (std::optional<Variant> variant = variant_of(vm, target)) {
      std::optional<FieldRef> field = variant_field(vm, *variant, *key);
      if (!field) return target;
      return variant_with_field(vm, *variant, field->index, value);
    }
    return fail("key optic requires a map or variant");
  }
  case OpticTag::Index: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return fail("index optic requires a sequence");
    const std::optional<std::size_t> at =
        index_position(seq->items.size(), std::get<OpticKind::Index>(kind.data).index);
    if (!at) return target;
    return new_seq(vm, seq->items.set(*at, value), seq->is_vector);
  }
  case OpticTag::Slice: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return fail("slice optic requires a sequence");
    const Window w = slice_window(seq->items.size(), std::get<OpticKind::Slice>(kind.data));
    if (!w.empty() && w.end - w.begin > kMaxCopiedElements) return too_large_error();
    ValueVector items = seq->items;
    for (std::size_t i = w.begin; i < w.end; ++i) {
      if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
      items.set_mut(i, value);
    }
    return new_seq(vm, std::move(items), seq->is_vector);
  }
  case OpticTag::Each: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return fail("each optic requires a sequence");
    return fill_seq(vm, *seq, value);
  }
  case OpticTag::Vals: {
    std::optional<ValueMap> map = map_of(vm, target);
    if (!map) return fail("vals optic requires a map");
    return fill_map(vm, *map, value);
  }
  case OpticTag::Keys:
    return fail("set not supported for keys optic");
  case OpticTag::Deep:
    if (std::optional<SeqObject> seq = seq_of(vm, target)) return fill_seq(vm, *seq, value);
    if (std::optional<ValueMap> map = map_of(vm, target)) return fill_map(vm, *map, value);
    return value;
  case OpticTag::Some:
    return target.is_nil() ? target : value;
  case OpticTag::Filtered:
  case OpticTag::When:
  case OpticTag::NotKey:
  case OpticTag::KeyCompare: {
    Result<bool> holds = focus_test(vm, kind, target);
    if (!holds) return std::unexpected(std::move(holds.error()));
    return *holds ? value : target;
  }
  case OpticTag::First: {
    Result<OpticKind> inner = resolve_inner(vm, std::get<OpticKind::First>(kind.data));
    if (!inner) return std::unexpected(std::move(inner.error()));
    Result<Kinds> chain = as_chain(vm, *inner);
    if (!chain) return std::unexpected(std::move(chain.error()));
    Result<Written> r = set_first_chain(vm, *chain, value, target);
    if (!r) return std::unexpected(std::move(r.error()));
    return r->value;
  }
  case OpticTag::Lens:
    return call2(vm, Value::object(std::get<OpticKind::Lens>(kind.data).setter), target, value);
  case OpticTag::Compose: {
    const auto& compose = std::get<OpticKind::Compose>(kind.data);
    if (compose.steps.empty()) return value;
    Result<Kinds> kinds = resolve_steps(vm, compose);
    if (!kinds) return std::unexpected(std::move(kinds.error()));
    return set_compose(vm, *kinds, value, target);
  }
  }
  return target;
}

namespace optics {

NativeResult set_compose(Vm& vm, KindSpan kinds, Value value, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  if (kinds.empty()) return value;
  if (kinds.size() == 1) return set_optic(vm, kinds[0], value, target);
  const OpticKind& head = kinds[0];
  const KindSpan rest = kinds.subspan(1);
  if (head.tag() == OpticTag::Compose) {
    // Written as one flat chain, so that a traversal inside the head is written per focus too.
    Result<Kinds> chain = prepend_chain(vm, head, rest);
    if (!chain) return std::unexpected(std::move(chain.error()));
    return set_compose(vm, *chain, value, target);
  }
  if (std::optional<NativeResult> r = set_traversal_head(vm, head, rest, value, target)) return *r;
  RootScope scope(vm.heap);
  NativeResult inner = view_optic(vm, head, target);
  if (!inner) return inner;
  scope.add(*inner);
  NativeResult written = set_compose(vm, rest, value, *inner);
  if (!written) return written;
  scope.add(*written);
  return set_optic(vm, head, *written, target);
}

std::optional<FocusPlace> first_place(const Vm& vm, const OpticKind& kind, Value target) {
  switch (kind.tag()) {
  case OpticTag::Each:
  case OpticTag::Slice: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return std::nullopt;
    Window w{0, seq->items.size()};
    if (const auto* slice = std::get_if<OpticKind::Slice>(&kind.data))
      w = slice_window(seq->items.size(), *slice);
    if (w.empty()) return std::nullopt;
    return FocusPlace{w.begin, Value::nil()};
  }
  case OpticTag::Vals: {
    std::optional<ValueMap> map = map_of(vm, target);
    if (!map || map->begin() == map->end()) return std::nullopt;
    return FocusPlace{0, map->begin()->first};
  }
  default:
    return std::nullopt;
  }
}

NativeResult write_one_focus(Vm& vm, const OpticKind& kind, Value target, std::size_t position,
                             Value key, Value value) {
  if (kind.tag() == OpticTag::Vals) {
    std::optional<ValueMap> map = map_of(vm, target);
    Result<ValueMap> next = map_put(vm, *map, key, value);
    if (!next) return std::unexpected(std::move(next.error()));
    return new_map(vm, std::move(*next));
  }
  std::optional<SeqObject> seq = seq_of(vm, target);
  return new_seq(vm, seq->items.set(position, value), seq->is_vector);
}

namespace {

// Writes `value` at the first focus of a single kind, which the caller has found to be non-nil.
NativeResult write_first_focus(Vm& vm, const OpticKind& kind, Value value, Value target) {
  switch (kind.tag()) {
  case OpticTag::Each:
  case OpticTag::Slice:
  case OpticTag::Vals: {
    std::optional<FocusPlace> place = first_place(vm, kind, target);
    // A focus found in a set: sets are not written through.
    if (!place) return set_optic(vm, kind, value, target);
    return write_one_focus(vm, kind, target, place->position, place->key, value);
  }
  case OpticTag::Deep:
    return value;
  default:
    return set_optic(vm, kind, value, target);
  }
}

} // namespace

Result<Written> set_first_chain(Vm& vm, KindSpan kinds, Value value, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  if (!kinds.empty() && kinds[0].tag() == OpticTag::Compose) {
    Result<Kinds> chain = prepend_chain(vm, kinds[0], kinds.subspan(1));
    if (!chain) return std::unexpected(std::move(chain.error()));
    return set_first_chain(vm, *chain, value, target);
  }
  if (kinds.empty()) return Written{value, true};
  const OpticKind& head = kinds[0];
  if (kinds.size() == 1) {
    NativeResult focus = first_focus(vm, head, target);
    if (!focus) return std::unexpected(std::move(focus.error()));
    if (focus->is_nil()) return Written{target, false};
    return found_write(write_first_focus(vm, head, value, target));
  }
  // Every head stops at a nil focus.
  return first_through_head(
      vm, head, kinds.subspan(1), target, false,
      [&](KindSpan rest, const Value& x) { return set_first_chain(vm, rest, value, x); });
}

} // namespace optics

} // namespace quorvex
