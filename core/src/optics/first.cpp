// The update of the first focus only (`over` through `_first`): find the first focus, call the
// function once on it, write the result back where the focus was, and leave everything else as it
// was. When there is no focus the function is not called and the answer is the target itself.
#include <utility>

#include "optics/walk.hpp"
#include "value/keys.hpp"

namespace quorvex {

using namespace optics;

namespace optics {

Result<Written> over_first(Vm& vm, const OpticKind& inner, Value f, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  switch (inner.tag()) {
  case OpticTag::Deep:
    return found_write(call1(vm, f, target));
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
    return found_write(write_one_focus(vm, inner, target, place->position, place->key, *y));
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
    return found_write(set_optic(vm, inner, *y, target));
  }
  }
}

Result<Written> over_first_chain(Vm& vm, KindSpan chain, Value f, Value target) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  if (chain.empty()) return found_write(call1(vm, f, target));
  if (chain.size() == 1) return over_first(vm, chain[0], f, target);
  // Key and Index go on through a nil focus (the rest may still find nothing there); the others
  // stop at it.
  return first_through_head(
      vm, chain[0], chain.subspan(1), target, true,
      [&](KindSpan kinds, const Value& x) { return over_first_chain(vm, kinds, f, x); });
}

} // namespace optics

} // namespace quorvex
