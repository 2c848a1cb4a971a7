// `+ - * /` called as functions, over any number of arguments.
//
// Without a Float among the arguments, `+`, `-` and `*` fold the whole list into one exact
// fraction (value/numbers.hpp) and test the 64-bit range once, on the final result: so
// (+ 9223372036854775807 1 -1) is fine where the inline operator, which tests every pair,
// fails. One Float anywhere turns the whole list into double arithmetic. `/` divides pair by
// pair and every step is a 64-bit value. The exact steps, the reduction and the range test are
// the tower's own, shared with the run loop, so a pair of exact operands gets the same answer
// and the same "ratio overflow" on both roads.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <utility>

#include "value/numbers.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"

namespace quorvex {

namespace {

bool has_float(const Value* args, std::size_t argc) {
  for (std::size_t i = 0; i < argc; ++i) {
    if (args[i].tag == Tag::Float) return true;
  }
  return false;
}

// The double fold of `+`, `-` (two or more arguments) and `*`: every argument as a double,
// the first non-number failing with the builtin's own text.
NativeResult fold_doubles(const Value* args, std::size_t argc, RationalOp op, double start,
                          std::size_t first, const char* error) {
  double s = start;
  for (std::size_t i = first; i < argc; ++i) {
    if (!args[i].is_number()) return type_error(error);
    const double x = double_view(args[i]);
    switch (op) {
    case RationalOp::Add:
      s += x;
      break;
    case RationalOp::Subtract:
      s -= x;
      break;
    case RationalOp::Multiply:
      s *= x;
      break;
    }
  }
  return Value::from_float(s);
}

// The exact fold from `acc` over args[first..], reading left to right: the first non-number
// ends the call before any later range test.
NativeResult fold_exact(ExactFraction acc, const Value* args, std::size_t argc, RationalOp op,
                        std::size_t first, const char* error) {
  for (std::size_t i = first; i < argc; ++i) {
    if (args[i].tag != Tag::Int && args[i].tag != Tag::Ratio) return type_error(error);
    if (auto stepped = acc.step(args[i], op); !stepped) [[unlikely]]
      return std::unexpected(std::move(stepped.error()));
  }
  return acc.finish();
}

// Integers only, in 64 bits: the common case, and the same answer as the exact fold whenever no
// step overflows. The first overflow answers nothing: the caller then folds exactly, where a later
// argument may still bring the result back into range.
std::optional<std::int64_t> fold_ints(const Value* args, std::size_t argc, bool product) {
  std::int64_t acc = product ? 1 : 0;
  for (std::size_t i = 0; i < argc; ++i) {
    if (args[i].tag != Tag::Int) return std::nullopt;
    const bool overflow = product ? __builtin_mul_overflow(acc, args[i].as.integer, &acc)
                                  : __builtin_add_overflow(acc, args[i].as.integer, &acc);
    if (overflow) return std::nullopt;
  }
  return acc;
}

NativeResult fold(const Value* args, std::size_t argc, RationalOp op, const char* error) {
  const bool product = op == RationalOp::Multiply;
  if (const std::optional<std::int64_t> r = fold_ints(args, argc, product)) {
    return Value::from_int(*r);
  }
  if (has_float(args, argc)) {
    // The sum starts at +0.0, so (+ -0.0) is 0.0; the product at 1.0, so (* -0.0) is -0.0.
    return fold_doubles(args, argc, op, product ? 1.0 : 0.0, 0, error);
  }
  return fold_exact(ExactFraction{product ? 1 : 0, 1, true}, args, argc, op, 0, error);
}

// One division step of `/`. Unlike the run loop's division, a zero divisor is an error even
// when a Float takes part; both operands' kinds are checked before the divisor's value.
NativeResult divide_numbers(const Value& a, const Value& b) {
  if (a.tag == Tag::Float || b.tag == Tag::Float) {
    if (!a.is_number() || !b.is_number()) return type_error("/ requires numbers");
    const double divisor = double_view(b);
    if (divisor == 0.0) return std::unexpected(VmError::division_by_zero());
    return Value::from_float(double_view(a) / divisor);
  }
  if (!a.is_number() || !b.is_number()) return type_error("/ requires numbers");
  return exact_divide(a, b);
}

} // namespace

NativeResult builtin_add(Vm&, const Value* args, std::size_t argc) {
  return fold(args, argc, RationalOp::Add, "+ requires numbers");
}

NativeResult builtin_multiply(Vm&, const Value* args, std::size_t argc) {
  return fold(args, argc, RationalOp::Multiply, "* requires numbers");
}

NativeResult builtin_subtract(Vm&, const Value* args, std::size_t argc) {
  constexpr const char* error = "- requires numbers";
  if (argc == 0) return Value::from_int(0);
  if (argc == 1) {
    if (!args[0].is_number()) return type_error(error);
    return negate_value(args[0]);
  }
  if (has_float(args, argc)) {
    if (!args[0].is_number()) return type_error(error);
    return fold_doubles(args, argc, RationalOp::Subtract, double_view(args[0]), 1, error);
  }
  if (args[0].tag != Tag::Int && args[0].tag != Tag::Ratio) return type_error(error);
  return fold_exact(ExactFraction::of(args[0]), args, argc, RationalOp::Subtract, 1, error);
}

NativeResult builtin_divide(Vm&, const Value* args, std::size_t argc) {
  if (argc == 1) {
    // The reciprocal of a Float is plain IEEE division: (/ 0.0) is +infinity.
    if (args[0].tag == Tag::Float) return Value::from_float(1.0 / args[0].as.floating);
    return divide_numbers(Value::from_int(1), args[0]);
  }
  Value r = args[0];
  for (std::size_t i = 1; i < argc; ++i) {
    NativeResult step = divide_numbers(r, args[i]);
    if (!step) return step;
    r = *step;
  }
  return r;
}

} // namespace quorvex
