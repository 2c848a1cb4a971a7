// Reading through optics: the single focus, every focus, and the first-focus search.
//
// A traversal read by `view` answers its first focus, which is the first element of what
// `view-all` would list; it is computed directly, without building the list. Inside a
// composition read for every focus, a value on which a step fails contributes nothing; the same
// composition read for one focus fails. The first-focus search below a Deep step skips nodes on
// which the rest of the chain fails with a type error.
#include <utility>

#include "optics/walk.hpp"
#include "vm/natives/support.hpp"

namespace quorvex {

using namespace optics;

namespace {

// The first focus of the traversal kinds (Slice, Each, Vals, Keys) and of the test kinds.
NativeResult first_of_traversal(Vm& vm, const OpticKind& kind, Value target) {
  switch (kind.tag()) {
  case OpticTag::Slice: {
    if (target.is_nil()) return Value::nil();
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return fail("slice requires a sequence");
    const Window w = slice_window(seq->items.size(), std::get<OpticKind::Slice>(kind.data));
    return w.empty() ? Value::nil() : seq->items[w.begin];
  }
  case OpticTag::Each: {
    if (target.is_nil()) return Value::nil();
    if (std::optional<SeqObject> seq = seq_of(vm, target))
      return seq->items.empty() ? Value::nil() : seq->items.front();
    if (std::optional<ValueSet> set = set_of(vm, target))
      return set->begin() == set->end() ? Value::nil() : *set->begin();
    return fail("each requires a sequence or set");
  }
  case OpticTag::Vals:
  case OpticTag::Keys: {
    const bool vals = kind.tag() == OpticTag::Vals;
    std::optional<ValueMap> map = map_of(vm, target);
    if (!map) return fail(vals ? "vals requires a map" : "keys requires a map");
    if (map->begin() == map->end()) return Value::nil();
    return vals ? map->begin()->second : map->begin()->first;
  }
  default: {
    Result<bool> holds = focus_test(vm, kind, target);
    if (!holds) return std::unexpected(std::move(holds.error()));
    return *holds ? target : Value::nil();
  }
  }
}

// Appends the values nested in `value`, in pre-order; sets are entered, map keys are not.
Result<void> collect_deep(Vm& vm, Value value, std::vector<Value>& out) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  auto visit = [&](const Value& child) -> Result<void> {
    if (Result<void> t = tick(vm); !t) return t;
    // Shared structure lists a part once per path to it: far more foci than objects.
    if (out.size() >= kMaxCopiedElements) return too_large_error();
    out.push_back(child);
    return collect_deep(vm, child, out);
  };
  if (std::optional<SeqObject> seq = seq_of(vm, value)) {
    for (const Value& child : seq->items)
      if (Result<void> r = visit(child); !r) return r;
  } else if (std::optional<ValueSet> set = set_of(vm, value)) {
    for (const Value& child : *set)
      if (Result<void> r = visit(child); !r) return r;
  } else if (std::optional<ValueMap> map = map_of(vm, value)) {
    for (const auto& entry : *map)
      if (Result<void> r = visit(entry.second); !r) return r;
  } else if (std::optional<Variant> variant = variant_of(vm, value)) {
    for (const Value& child : variant->fields)
      if (Result<void> r = visit(child); !r) return r;
  }
  return {};
}

// The pre-order search below a Deep step: the node itself, then its children (variant fields,
// map values, sequence elements; sets are not entered).
NativeResult first_focus_deep(Vm& vm, KindSpan rest, Value node) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  // A search that finds nothing visits every path to every node, which shared structure makes
  // many more than the nodes themselves.
  if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
  NativeResult here = first_focus_chain(vm, rest, node);
  if (here && !here->is_nil()) return here;
  if (!here && !is_droppable_type_error(vm, here.error())) return here;
  auto search = [&](const Value& child) { return first_focus_deep(vm, rest, child); };
  if (std::optional<Variant> variant = variant_of(vm, node)) {
    for (const Value& child : variant->fields)
      if (NativeResult r = search(child); !r || !r->is_nil()) return r;
  } else if (std::optional<ValueMap> map = map_of(vm, node)) {
    for (const auto& entry : *map)
      if (NativeResult r = search(entry.second); !r || !r->is_nil()) return r;
  } else if (std::optional<SeqObject> seq = seq_of(vm, node)) {
    for (const Value& child : seq->items)
      if (NativeResult r = search(child); !r || !r->is_nil()) return r;
  }
  return Value::nil();
}

} // namespace

NativeResult view_optic(Vm& vm, const OpticKind& kind, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  switch (kind.tag()) {
  case OpticTag::Key: {
    Result<Value> key = key_of_box(vm, std::get<OpticKind::Key>(kind.data).key_box);
    if (!key) return std::unexpected(std::move(key.error()));
    if (target.is_nil()) return Value::nil();
    if (std::optional<ValueMap> map = map_of(vm, target)) return map_get(vm, *map, *key);
    if (std::optional<Variant> variant = variant_of(vm, target)) {
      std::optional<FieldRef> field = variant_field(vm, *variant, *key);
      return field ? field->value : Value::nil();
    }
    return fail("key optic requires a map or variant");
  }
  case OpticTag::Index: {
    if (target.is_nil()) return Value::nil();
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return fail("index optic requires a sequence");
    const std::optional<std::size_t> at =
        index_position(seq->items.size(), std::get<OpticKind::Index>(kind.data).index);
    return at ? seq->items[*at] : Value::nil();
  }
  case OpticTag::Some:
  case OpticTag::Deep:
    return target;
  case OpticTag::First: {
    Result<OpticKind> inner = resolve_inner(vm, std::get<OpticKind::First>(kind.data));
    if (!inner) return std::unexpected(std::move(inner.error()));
    return first_focus(vm, *inner, target);
  }
  case OpticTag::Lens:
    return call1(vm, Value::object(std::get<OpticKind::Lens>(kind.data).getter), target);
  case OpticTag::Compose: {
    RootScope scope(vm.heap);
    Value current = target;
    for (HeapKey handle : std::get<OpticKind::Compose>(kind.data).steps) {
      Result<OpticKind> step = optic_from_handle(vm, handle);
      if (!step) return std::unexpected(std::move(step.error()));
      NativeResult next = view_optic(vm, *step, current);
      if (!next) return next;
      current = *next;
      scope.add(current);
    }
    return current;
  }
  default:
    return first_of_traversal(vm, kind, target);
  }
}

std::expected<std::vector<Value>, VmError> view_all_optic(Vm& vm, const OpticKind& kind,
                                                          Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  using Foci = std::vector<Value>;
  auto one_or_none = [](NativeResult r) -> Result<Foci> {
    if (!r) return std::unexpected(std::move(r.error()));
    if (r->is_nil()) return Foci{};
    return Foci{*r};
  };
  switch (kind.tag()) {
  case OpticTag::Key:
  case OpticTag::Index:
  case OpticTag::Lens:
    return one_or_none(view_optic(vm, kind, target));
  case OpticTag::First:
    return one_or_none(view_optic(vm, kind, target));
  case OpticTag::Slice: {
    if (target.is_nil()) return Foci{};
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return fail("slice requires a sequence");
    const Window w = slice_window(seq->items.size(), std::get<OpticKind::Slice>(kind.data));
    if (!w.empty() && w.end - w.begin > kMaxCopiedElements) return too_large_error();
    Foci out;
    for (std::size_t i = w.begin; i < w.end; ++i) {
      if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
      out.push_back(seq->items[i]);
    }
    return out;
  }
  case OpticTag::Each: {
    if (target.is_nil()) return Foci{};
    if (std::optional<SeqObject> seq = seq_of(vm, target)) {
      if (seq->items.size() > kMaxCopiedElements) return too_large_error();
      Foci out;
      out.reserve(seq->items.size());
      for (const Value& v : seq->items) {
        if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
        out.push_back(v);
      }
      return out;
    }
    if (std::optional<ValueSet> set = set_of(vm, target)) return Foci(set->begin(), set->end());
    return fail("each requires a sequence or set");
  }
  case OpticTag::Vals:
  case OpticTag::Keys: {
    const bool vals = kind.tag() == OpticTag::Vals;
    std::optional<ValueMap> map = map_of(vm, target);
    if (!map) return fail(vals ? "vals requires a map" : "keys requires a map");
    Foci out;
    for (const auto& entry : *map)
      out.push_back(vals ? entry.second : entry.first);
    return out;
  }
  case OpticTag::Deep: {
    Foci out{target};
    if (Result<void> r = collect_deep(vm, target, out); !r) return std::unexpected(r.error());
    return out;
  }
  case OpticTag::Some:
    return target.is_nil() ? Foci{} : Foci{target};
  case OpticTag::Filtered:
  case OpticTag::When:
  case OpticTag::NotKey:
  case OpticTag::KeyCompare: {
    Result<bool> holds = focus_test(vm, kind, target);
    if (!holds) return std::unexpected(std::move(holds.error()));
    return *holds ? Foci{target} : Foci{};
  }
  case OpticTag::Compose: {
    // Breadth-first, one step over the whole list at a time. Foci made by getters exist nowhere
    // else, so every list is rooted while the next step runs.
    RootScope scope(vm.heap);
    Foci current{target};
    for (HeapKey handle : std::get<OpticKind::Compose>(kind.data).steps) {
      Result<OpticKind> step = optic_from_handle(vm, handle);
      if (!step) return std::unexpected(std::move(step.error()));
      Foci next;
      for (const Value& v : current) {
        Result<Foci> foci = view_all_optic(vm, *step, v);
        if (!foci) {
          if (may_drop(vm, foci.error())) continue;
          return foci;
        }
        scope.add(std::span<const Value>(*foci));
        if (foci->size() > kMaxCopiedElements - next.size()) return too_large_error();
        next.insert(next.end(), foci->begin(), foci->end());
      }
      current = std::move(next);
    }
    return current;
  }
  }
  return Foci{};
}

NativeResult first_focus(Vm& vm, const OpticKind& kind, Value target) {
  if (const auto* compose = std::get_if<OpticKind::Compose>(&kind.data)) {
    if (compose->steps.empty()) return target;
    Result<Kinds> kinds = resolve_steps(vm, *compose);
    if (!kinds) return std::unexpected(std::move(kinds.error()));
    return first_focus_chain(vm, *kinds, target);
  }
  return view_optic(vm, kind, target);
}

namespace optics {

NativeResult first_focus_chain(Vm& vm, KindSpan kinds, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  if (kinds.empty()) return target;
  if (kinds.size() == 1) return first_focus(vm, kinds[0], target);
  const OpticKind& head = kinds[0];
  const KindSpan rest = kinds.subspan(1);
  switch (head.tag()) {
  case OpticTag::Each: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return Value::nil();
    for (const Value& element : seq->items) {
      // A search that finds nothing visits every element, which sharing makes many.
      if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
      NativeResult r = first_focus_chain(vm, rest, element);
      if (!r || !r->is_nil()) return r;
    }
    return Value::nil();
  }
  case OpticTag::Deep:
    return first_focus_deep(vm, rest, target);
  default: {
    NativeResult v = view_optic(vm, head, target);
    if (!v || v->is_nil()) return v;
    RootScope scope(vm.heap);
    scope.add(*v);
    return first_focus_chain(vm, rest, *v);
  }
  }
}

} // namespace optics

} // namespace quorvex
