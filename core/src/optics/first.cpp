// The update of the first focus only (`over` through `_first`): find the first focus, call the
// function once on it, write the result back where the focus was, and leave everything else as it
// was. When there is no focus the function is not called and the answer is the target itself.
#include <utility>

#include "optics/walk.hpp"
#include "value/keys.hpp"

namespace quorvex {

using namespace optics;

namespace {

Result<Written> applied(Vm& vm, Value f, Value x) {
  NativeResult y = call1(vm, f, x);
  if (!y) return std::unexpected(std::move(y.error()));
  return Written{*y, true};
}

Result<Written> written(NativeResult r) {
  if (!r) return std::unexpected(std::move(r.error()));
  return Written{*r, true};
}

// The pre-order search below a Deep step.
Result<Written> over_first_deep(Vm& vm, KindSpan rest, Value f, Value node) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  Result<Written> here = over_first_chain(vm, rest, f, node);
  if (!here || here->found) return here;
  return rebuild_first_child(
      vm, node, [&](const Value& child) { return over_first_deep(vm, rest, f, child); });
}

} // namespace

namespace optics {

Result<Written> over_first(Vm& vm, const OpticKind& inner, Value f, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  switch (inner.tag()) {
  case OpticTag::Deep:
    return applied(vm, f, target);
  case OpticTag::Each:
  case OpticTag::Slice:
  case OpticTag::Vals: {
    std::optional<FocusPlace> place = first_place(vm, inner, target);
    if (!place) return Written{target, false};
    NativeResult x = view_optic(vm, inner, target);
    if (!x) return std::unexpected(std::move(x.error()));
    NativeResult y = call1(vm, f, *x);
    if (!y) return std::unexpected(std::move(y.error()));
    RootScope scope(vm.heap);
    scope.add(*y);
    return written(write_one_focus(vm, inner, target, place->position, place->key, *y));
  }
  case OpticTag::Keys: {
    std::optional<ValueMap> map = map_of(vm, target);
    if (!map || map->begin() == map->end()) return Written{target, false};
    const Value key = map->begin()->first;
    const Value value = map->begin()->second;
    NativeResult y = call1(vm, f, key);
    if (!y) return std::unexpected(std::move(y.error()));
    RootScope scope(vm.heap);
    scope.add(*y);
    Result<ValueMap> without = lift_fault(map_remove_value(vm.heap, *map, key));
    if (!without) return std::unexpected(std::move(without.error()));
    Result<ValueMap> next = map_put(vm, *without, *y, value);
    if (!next) return std::unexpected(std::move(next.error()));
    return Written{new_map(vm, std::move(*next)), true};
  }
  case OpticTag::Compose: {
    Result<Kinds> chain = resolve_steps(vm, std::get<OpticKind::Compose>(inner.data));
    if (!chain) return std::unexpected(std::move(chain.error()));
    return over_first_chain(vm, *chain, f, target);
  }
  default: {
    RootScope scope(vm.heap);
    NativeResult x = view_optic(vm, inner, target);
    if (!x) return std::unexpected(std::move(x.error()));
    if (x->is_nil()) return Written{target, false};
    scope.add(*x);
    NativeResult y = call1(vm, f, *x);
    if (!y) return std::unexpected(std::move(y.error()));
    scope.add(*y);
    return written(set_optic(vm, inner, *y, target));
  }
  }
}

Result<Written> over_first_chain(Vm& vm, KindSpan chain, Value f, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  if (chain.empty()) return applied(vm, f, target);
  if (chain.size() == 1) return over_first(vm, chain[0], f, target);
  const OpticKind& head = chain[0];
  const KindSpan rest = chain.subspan(1);
  switch (head.tag()) {
  case OpticTag::Compose: {
    Result<Kinds> flat = prepend_chain(vm, head, rest);
    if (!flat) return std::unexpected(std::move(flat.error()));
    return over_first_chain(vm, *flat, f, target);
  }
  case OpticTag::Each: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return Written{target, false};
    for (std::size_t i = 0; i < seq->items.size(); ++i) {
      Result<Written> r = over_first_chain(vm, rest, f, seq->items[i]);
      if (!r) return r;
      if (r->found) return Written{new_seq(vm, seq->items.set(i, r->value), seq->is_vector), true};
    }
    return Written{target, false};
  }
  case OpticTag::Deep:
    return over_first_deep(vm, rest, f, target);
  case OpticTag::Filtered:
  case OpticTag::When:
  case OpticTag::NotKey:
  case OpticTag::KeyCompare: {
    Result<std::vector<Value>> foci = view_all_optic(vm, head, target);
    if (!foci) return std::unexpected(std::move(foci.error()));
    if (foci->empty()) return Written{target, false};
    return over_first_chain(vm, rest, f, target);
  }
  default: {
    // Key and Index go on through a nil focus (the rest may still find nothing there); the
    // others stop at it.
    RootScope scope(vm.heap);
    NativeResult v = view_optic(vm, head, target);
    if (!v) return std::unexpected(std::move(v.error()));
    const bool through_nil = head.tag() == OpticTag::Key || head.tag() == OpticTag::Index;
    if (v->is_nil() && !through_nil) return Written{target, false};
    scope.add(*v);
    Result<Written> r = over_first_chain(vm, rest, f, *v);
    if (!r || !r->found) {
      if (!r) return r;
      return Written{target, false};
    }
    scope.add(r->value);
    // Only the element or entry the focus came from is written back.
    if (std::optional<FocusPlace> place = first_place(vm, head, target))
      return written(write_one_focus(vm, head, target, place->position, place->key, r->value));
    return written(set_optic(vm, head, r->value, target));
  }
  }
}

} // namespace optics

} // namespace quorvex
