// The integer structure of numbers: integer division, divisors, the parts of a ratio, sign,
// parity and the bit operations. Apart from numerator, denominator and signum they take Ints
// only; a whole-valued ratio or float is refused like any other non-integer.
//
// The division rows share the tower's int_quot / int_rem / int_mod with the run loop, so the
// inline `rem` and these rows agree; the zero divisor is tested here first because these rows
// report it as the value error "division by zero", not as DivisionByZero.
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <utility>

#include "value/numbers.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"

namespace quorvex {

namespace {

constexpr std::uint64_t kInt64Max = std::numeric_limits<std::int64_t>::max();

// The magnitude of an Int as an unsigned number: the smallest integer has one too (2^63).
std::uint64_t magnitude(std::int64_t x) {
  const auto u = static_cast<std::uint64_t>(x);
  return x < 0 ? std::uint64_t{0} - u : u;
}

// The common frame of the two-integer rows (the list's rule has checked the count): both
// kinds, then the operation.
template <class Op> NativeResult two_ints(const Value* args, const char* error, Op op) {
  if (!args[0].is_int() || !args[1].is_int()) return type_error(error);
  return op(args[0].as.integer, args[1].as.integer);
}

NativeResult division(const Value* args, const char* error,
                      std::expected<std::int64_t, VmError> (*op)(std::int64_t, std::int64_t)) {
  return two_ints(args, error, [op](std::int64_t x, std::int64_t y) -> NativeResult {
    if (y == 0) return std::unexpected(VmError::value_error("division by zero"));
    std::expected<std::int64_t, VmError> r = op(x, y);
    if (!r) return std::unexpected(std::move(r.error()));
    return Value::from_int(*r);
  });
}

NativeResult int_result(std::uint64_t magnitude_result) {
  if (magnitude_result > kInt64Max) return type_error("ratio overflow");
  return Value::from_int(static_cast<std::int64_t>(magnitude_result));
}

NativeResult parity(const Value* args, std::size_t argc, const char* error, bool odd) {
  // No count test: nothing is an error of kind, more is ignored unexamined.
  if (argc == 0 || !args[0].is_int()) return type_error(error);
  return Value::from_bool((static_cast<std::uint64_t>(args[0].as.integer) & 1) == (odd ? 1 : 0));
}

} // namespace

NativeResult builtin_quot(Vm&, const Value* args, std::size_t) {
  return division(args, "quot requires integers", int_quot);
}

NativeResult builtin_rem(Vm&, const Value* args, std::size_t) {
  return division(args, "rem requires integers", int_rem);
}

NativeResult builtin_mod(Vm&, const Value* args, std::size_t) {
  return division(args, "mod requires integers", int_mod);
}

NativeResult builtin_gcd(Vm&, const Value* args, std::size_t) {
  return two_ints(args, "gcd requires integers", [](std::int64_t x, std::int64_t y) {
    return int_result(gcd_uint64(magnitude(x), magnitude(y)));
  });
}

NativeResult builtin_lcm(Vm&, const Value* args, std::size_t) {
  return two_ints(args, "lcm requires integers",
                  [](std::int64_t x, std::int64_t y) -> NativeResult {
                    if (x == 0 || y == 0) return Value::from_int(0);
                    const std::uint64_t g = gcd_uint64(magnitude(x), magnitude(y));
                    std::uint64_t r;
                    if (__builtin_mul_overflow(magnitude(x) / g, magnitude(y), &r))
                      return type_error("ratio overflow");
                    return int_result(r);
                  });
}

NativeResult builtin_numerator(Vm&, const Value* args, std::size_t) {
  if (args[0].is_int()) return args[0];
  if (args[0].is_ratio()) return Value::from_int(args[0].as.ratio.num);
  return type_error("numerator requires a ratio or integer");
}

NativeResult builtin_denominator(Vm&, const Value* args, std::size_t) {
  if (args[0].is_int()) return Value::from_int(1);
  if (args[0].is_ratio()) return Value::from_int(args[0].as.ratio.den);
  return type_error("denominator requires a ratio or integer");
}

NativeResult builtin_signum(Vm&, const Value* args, std::size_t) {
  const Value& x = args[0];
  if (x.is_int()) return Value::from_int((x.as.integer > 0) - (x.as.integer < 0));
  if (x.is_float()) {
    // The sign bit alone decides, so signed zeros give 1.0 and -1.0; NaN stays NaN.
    if (x.as.floating != x.as.floating) return x;
    return Value::from_float(__builtin_signbit(x.as.floating) ? -1.0 : 1.0);
  }
  return type_error("signum requires a number");
}

NativeResult builtin_even(Vm&, const Value* args, std::size_t argc) {
  return parity(args, argc, "even? requires an integer", false);
}

NativeResult builtin_odd(Vm&, const Value* args, std::size_t argc) {
  return parity(args, argc, "odd? requires an integer", true);
}

NativeResult builtin_bit_and(Vm&, const Value* args, std::size_t) {
  return two_ints(args, "bit-and requires integers", [](std::int64_t x, std::int64_t y) {
    return NativeResult(Value::from_int(x & y));
  });
}

NativeResult builtin_bit_or(Vm&, const Value* args, std::size_t) {
  return two_ints(args, "bit-or requires integers", [](std::int64_t x, std::int64_t y) {
    return NativeResult(Value::from_int(x | y));
  });
}

NativeResult builtin_bit_xor(Vm&, const Value* args, std::size_t) {
  return two_ints(args, "bit-xor requires integers", [](std::int64_t x, std::int64_t y) {
    return NativeResult(Value::from_int(x ^ y));
  });
}

NativeResult builtin_bit_not(Vm&, const Value* args, std::size_t) {
  if (!args[0].is_int()) return type_error("bit-not requires an integer");
  return Value::from_int(~args[0].as.integer);
}

// Shift counts are taken modulo 64 (their low six bits): 64 shifts by 0, -1 by 63.
NativeResult builtin_bit_shift_left(Vm&, const Value* args, std::size_t) {
  return two_ints(args, "bit-shift-left requires integers", [](std::int64_t x, std::int64_t n) {
    // In unsigned arithmetic the bits moved past bit 63 are simply dropped.
    const std::uint64_t shifted = static_cast<std::uint64_t>(x)
                                  << (static_cast<std::uint64_t>(n) & 63);
    return NativeResult(Value::from_int(static_cast<std::int64_t>(shifted)));
  });
}

NativeResult builtin_bit_shift_right(Vm&, const Value* args, std::size_t) {
  return two_ints(args, "bit-shift-right requires integers", [](std::int64_t x, std::int64_t n) {
    // Arithmetic: the sign bit fills the vacated bits.
    return NativeResult(Value::from_int(x >> (static_cast<std::uint64_t>(n) & 63)));
  });
}

} // namespace quorvex
