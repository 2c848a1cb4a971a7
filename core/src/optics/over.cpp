// Updating through optics: `over` applies a function at every focus.
//
// Every step applies an inner update at each of its foci: the function itself for the last step
// of a chain, the update through the rest of the chain for a head. A head is stricter than a
// single step in a few places (a Key head refuses nil, an Each head refuses sets) and reports
// shorter texts. Results that are rebuilt are new objects even when nothing changed; where a step
// leaves the target alone the answer is the target itself.
#include <utility>

#include "optics/walk.hpp"
#include "value/keys.hpp"

namespace quorvex {

using namespace optics;

namespace {

// The inner update of a step: f itself, or the update through the rest of a chain.
struct Update {
  Value f;
  KindSpan rest;

  bool is_head() const { return !rest.empty(); }
  NativeResult operator()(Vm& vm, Value x) const {
    return rest.empty() ? call1(vm, f, x) : over_compose(vm, rest, f, x);
  }
};

NativeResult over_step(Vm& vm, const OpticKind& kind, const Update& u, Value target);

// Pre-order: the node is updated first, then the children of what the update answered.
NativeResult over_deep(Vm& vm, KindSpan rest, Value f, Value node) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  if (Result<void> t = tick(vm); !t) return std::unexpected(t.error());
  RootScope scope(vm.heap);
  Value updated = node;
  if (rest.empty()) {
    NativeResult r = call1(vm, f, node);
    if (!r) return r;
    updated = *r;
  } else {
    NativeResult r = over_compose(vm, rest, f, node);
    if (r) {
      updated = *r;
    } else if (!is_droppable_type_error(vm, r.error())) {
      return r;
    }
  }
  scope.add(updated);
  auto below = [&](const Value& child) { return over_deep(vm, rest, f, child); };
  if (std::optional<SeqObject> seq = seq_of(vm, updated))
    return rewrite_elements(vm, *seq, 0, seq->items.size(), below);
  if (std::optional<ValueMap> map = map_of(vm, updated)) return rewrite_values(vm, *map, below);
  if (std::optional<Variant> variant = variant_of(vm, updated))
    return rewrite_fields(vm, *variant, below);
  return updated;
}

// u at each element of [begin, end); a new sequence even when the range is empty.
NativeResult update_elements(Vm& vm, const SeqObject& seq, std::size_t begin, std::size_t end,
                             const Update& u) {
  return rewrite_elements(vm, seq, begin, end, [&](const Value& x) { return u(vm, x); });
}

NativeResult update_key(Vm& vm, const OpticKind::Key& key_kind, const Update& u, Value target) {
  Result<Value> key = key_of_box(vm, key_kind.key_box);
  if (!key) return std::unexpected(std::move(key.error()));
  std::optional<ValueMap> map;
  if (target.is_nil()) {
    if (u.is_head()) return fail("key requires map or variant");
    map = fresh_map();
  } else {
    map = map_of(vm, target);
  }
  if (map) {
    Result<Value> old = map_get(vm, *map, *key);
    if (!old) return std::unexpected(std::move(old.error()));
    NativeResult updated = u(vm, *old);
    if (!updated) return updated;
    RootScope scope(vm.heap);
    scope.add(*updated);
    Result<ValueMap> next = map_put(vm, *map, *key, *updated);
    if (!next) return std::unexpected(std::move(next.error()));
    return new_map(vm, std::move(*next));
  }
  if (std::optional<Variant> variant = variant_of(vm, target)) {
    std::optional<FieldRef> field = variant_field(vm, *variant, *key);
    if (!field) return target;
    NativeResult updated = u(vm, field->value);
    if (!updated) return updated;
    RootScope scope(vm.heap);
    scope.add(*updated);
    // The copy taken before the call holds the fields as they were read.
    return variant_with_field(vm, *variant, field->index, *updated);
  }
  return fail(u.is_head() ? "key requires map or variant" : "key optic requires a map or variant");
}

NativeResult update_map(Vm& vm, const ValueMap& map, const Update& u, bool keys) {
  RootScope scope(vm.heap);
  ValueMap out = fresh_map();
  for (const auto& entry : map) {
    NativeResult r = u(vm, keys ? entry.first : entry.second);
    if (!r) return r;
    scope.add(*r);
    // A new key enters in its canonical form, which may be a new object held by nothing else.
    if (keys) {
      Guarded<Value> canonical = canonical_key(vm.heap, *r);
      if (!canonical) return std::unexpected(to_vm_error(canonical.error()));
      scope.add(*canonical);
    }
    Result<ValueMap> next =
        keys ? map_put(vm, out, *r, entry.second) : map_put(vm, out, entry.first, *r);
    if (!next) return std::unexpected(std::move(next.error()));
    out = std::move(*next);
  }
  return new_map(vm, std::move(out));
}

NativeResult update_set(Vm& vm, const ValueSet& set, const Update& u) {
  RootScope scope(vm.heap);
  ValueSet out(next_random_keys());
  for (const Value& element : set) {
    NativeResult r = u(vm, element);
    if (!r) return r;
    scope.add(*r);
    Guarded<Value> canonical = canonical_key(vm.heap, *r);
    if (!canonical) return std::unexpected(to_vm_error(canonical.error()));
    scope.add(*canonical);
    Guarded<ValueSet> next = set_insert_value(vm.heap, out, *r);
    if (!next) return std::unexpected(to_vm_error(next.error()));
    out = std::move(*next);
  }
  return new_set(vm, std::move(out));
}

NativeResult over_step(Vm& vm, const OpticKind& kind, const Update& u, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  const bool head = u.is_head();
  switch (kind.tag()) {
  case OpticTag::Key:
    return update_key(vm, std::get<OpticKind::Key>(kind.data), u, target);
  case OpticTag::Index: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return fail(head ? "index requires sequence" : "index optic requires a sequence");
    const std::optional<std::size_t> at =
        index_position(seq->items.size(), std::get<OpticKind::Index>(kind.data).index);
    if (!at) return target;
    return update_elements(vm, *seq, *at, *at + 1, u);
  }
  case OpticTag::Slice: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return fail("slice optic requires a sequence");
    const Window w = slice_window(seq->items.size(), std::get<OpticKind::Slice>(kind.data));
    return update_elements(vm, *seq, w.begin, std::max(w.begin, w.end), u);
  }
  case OpticTag::Each: {
    if (std::optional<SeqObject> seq = seq_of(vm, target))
      return update_elements(vm, *seq, 0, seq->items.size(), u);
    if (head) return fail("each requires sequence");
    if (std::optional<ValueSet> set = set_of(vm, target)) return update_set(vm, *set, u);
    return fail("each optic requires a sequence or set");
  }
  case OpticTag::Vals:
  case OpticTag::Keys: {
    const bool keys = kind.tag() == OpticTag::Keys;
    std::optional<ValueMap> map = map_of(vm, target);
    if (!map) {
      if (keys) return fail("keys optic requires a map");
      return fail(head ? "vals requires map" : "vals optic requires a map");
    }
    return update_map(vm, *map, u, keys);
  }
  case OpticTag::Deep:
    return over_deep(vm, u.rest, u.f, target);
  case OpticTag::Some:
    // A Some head never reaches here: over_compose drops it.
    return target.is_nil() ? target : u(vm, target);
  case OpticTag::Compose: {
    const auto& compose = std::get<OpticKind::Compose>(kind.data);
    if (!head && compose.steps.empty()) return call1(vm, u.f, target);
    Result<Kinds> chain = prepend_chain(vm, kind, u.rest);
    if (!chain) return std::unexpected(std::move(chain.error()));
    return over_compose(vm, *chain, u.f, target);
  }
  case OpticTag::Filtered:
  case OpticTag::When:
  case OpticTag::NotKey:
  case OpticTag::KeyCompare: {
    // The same test as reading and writing, in the last step of a chain as in its head: a
    // variant's fields count as a map's entries do, so that `over` changes exactly the places
    // `view-all` lists.
    Result<bool> holds = focus_test(vm, kind, target);
    if (!holds) return std::unexpected(std::move(holds.error()));
    return *holds ? u(vm, target) : target;
  }
  case OpticTag::First: {
    Result<OpticKind> inner = resolve_inner(vm, std::get<OpticKind::First>(kind.data));
    if (!inner) return std::unexpected(std::move(inner.error()));
    Result<Written> r = Written{};
    if (head) {
      Result<Kinds> chain = prepend_chain(vm, *inner, u.rest);
      if (!chain) return std::unexpected(std::move(chain.error()));
      r = over_first_chain(vm, *chain, u.f, target);
    } else {
      r = over_first(vm, *inner, u.f, target);
    }
    if (!r) return std::unexpected(std::move(r.error()));
    return r->value;
  }
  case OpticTag::Lens: {
    const auto& lens = std::get<OpticKind::Lens>(kind.data);
    RootScope scope(vm.heap);
    NativeResult a = call1(vm, Value::object(lens.getter), target);
    if (!a) return a;
    scope.add(*a);
    NativeResult b = u(vm, *a);
    if (!b) return b;
    scope.add(*b);
    return call2(vm, Value::object(lens.setter), target, *b);
  }
  }
  return target;
}

} // namespace

NativeResult over_optic(Vm& vm, const OpticKind& kind, Value f, Value target) {
  return over_step(vm, kind, Update{f, {}}, target);
}

namespace optics {

NativeResult over_compose(Vm& vm, KindSpan kinds, Value f, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  // A Some head passes anything but nil on to the rest.
  while (kinds.size() >= 2 && kinds[0].tag() == OpticTag::Some) {
    if (target.is_nil()) return target;
    kinds = kinds.subspan(1);
  }
  if (kinds.empty()) return call1(vm, f, target);
  return over_step(vm, kinds[0], Update{f, kinds.subspan(1)}, target);
}

} // namespace optics

} // namespace quorvex
