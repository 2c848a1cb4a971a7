// `=`, `<`, `<=`, `>`, `>=` called as functions: each adjacent pair from left to right, the
// first pair that fails its test answering false at once, so later arguments are never looked
// at: (< 2 1 nil) is false, (< 1 2 nil) a type error. With fewer than two arguments there is no
// pair, and the answer is true.
//
// The ordering is the tower's (value/numbers.hpp), shared with the run loop. Unlike the inline
// operators, the builtins let no NaN through silently: a NaN in a reached pair is "invalid
// float" even against an Int.
#include <cstddef>
#include <expected>

#include "value/equality.hpp"
#include "value/fault.hpp"
#include "value/numbers.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

template <class Holds>
NativeResult ordered_chain(const Value* args, std::size_t argc, Holds holds) {
  for (std::size_t i = 0; i + 1 < argc; ++i) {
    const NumberOrder order = order_number_values(args[i], args[i + 1]);
    if (order == NumberOrder::NotNumbers) return type_error("comparison requires numbers");
    if (order == NumberOrder::Unordered) return type_error("invalid float");
    if (!holds(static_cast<int>(order))) return Value::from_bool(false);
  }
  return Value::from_bool(true);
}

} // namespace

NativeResult builtin_equal(Vm& vm, const Value* args, std::size_t argc) {
  for (std::size_t i = 0; i + 1 < argc; ++i) {
    Guarded<bool> eq = values_equal(vm.heap, args[i], args[i + 1]);
    if (!eq) return std::unexpected(to_vm_error(eq.error()));
    if (!*eq) return Value::from_bool(false);
  }
  return Value::from_bool(true);
}

NativeResult builtin_less(Vm&, const Value* args, std::size_t argc) {
  return ordered_chain(args, argc, [](int o) { return o < 0; });
}

NativeResult builtin_less_equal(Vm&, const Value* args, std::size_t argc) {
  return ordered_chain(args, argc, [](int o) { return o <= 0; });
}

NativeResult builtin_greater(Vm&, const Value* args, std::size_t argc) {
  return ordered_chain(args, argc, [](int o) { return o > 0; });
}

NativeResult builtin_greater_equal(Vm&, const Value* args, std::size_t argc) {
  return ordered_chain(args, argc, [](int o) { return o >= 0; });
}

} // namespace quorvex
