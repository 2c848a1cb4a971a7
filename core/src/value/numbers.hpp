// The numeric tower: 64-bit integers, doubles and reduced ratios, and the rules that combine them.
//
// Exact arithmetic works on fractions held in 128-bit integers: a product of two 64-bit parts,
// and the sum of two such products, stays below 2^127 in magnitude, so no intermediate overflows.
// A result is reduced and must fit back into 64-bit parts; otherwise the operation fails with
// "ratio overflow". Integer arithmetic is checked the same way: an Int result that leaves the
// 64-bit range is that same error, never a wrapped value.
//
// Nothing here allocates on success or touches the heap; errors are VmError values.
#pragma once

#include <cstdint>
#include <expected>

#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {

enum class RationalOp : std::uint8_t { Add, Subtract, Multiply };

// The fixed error texts of the tower. Cold: they build the error's owned text.
[[gnu::cold]] VmError expected_numbers_error(); // "expected numbers"
[[gnu::cold]] VmError expected_number_error();  // "expected number" (one-operand forms)
[[gnu::cold]] VmError ratio_overflow_error();   // "ratio overflow"
[[gnu::cold]] VmError invalid_float_error();    // "invalid float"

// Reduces num/den: denominator positive, no common factor; a denominator of 1 gives an Int.
// den = 0 is DivisionByZero; a reduced part outside 64 bits is "ratio overflow".
std::expected<Value, VmError> normalize_fraction(__int128 num, __int128 den);

// Exact a op b where each operand is an Int or a Ratio ("expected numbers" otherwise). The same
// steps as an ExactFraction folding two operands, so both roads agree on every pair.
std::expected<Value, VmError> rational_binary_op(Value a, Value b, RationalOp op);

// The running result of exact arithmetic over any number of operands: a fraction of 128-bit
// parts, denominator positive, reduced before each further step. The 64-bit range is tested
// once, by finish(), so intermediate results may leave it: 2^63 - 1, plus 1, minus 1 is fine.
// A step whose products or sum leave 128 bits fails at once with "ratio overflow".
struct ExactFraction {
  __int128 num = 0;
  __int128 den = 1;
  // False after a step, until the next step reduces the fraction (a fresh view is reduced).
  bool reduced = true;

  // The fraction view of an Int or a Ratio (the caller has checked the kind).
  static ExactFraction of(const Value& exact) {
    if (exact.tag == Tag::Int) return {exact.as.integer, 1, true};
    return {exact.as.ratio.num, exact.as.ratio.den, true};
  }

  // this op operand, operand an Int or a Ratio.
  std::expected<void, VmError> step(const Value& operand, RationalOp op);

  // The Value of the fraction: an Int when the denominator is 1, "ratio overflow" when a
  // reduced part leaves 64 bits.
  std::expected<Value, VmError> finish() const;
};

// a ÷ b for two exact operands (each an Int or a Ratio): DivisionByZero for a zero divisor,
// otherwise the reduced quotient, "ratio overflow" when it leaves 64 bits.
std::expected<Value, VmError> exact_divide(Value a, Value b);

// How two numbers are ordered, or why they are not: NotNumbers when either operand is no
// number, Unordered when a double comparison meets NaN. Each road turns the last two into
// its own error text.
enum class NumberOrder : std::int8_t { Less = -1, Equal = 0, Greater = 1, Unordered, NotNumbers };
NumberOrder order_number_values(Value a, Value b);

// Greatest common divisor of two magnitudes; gcd(0, 0) is 0.
std::uint64_t gcd_uint64(std::uint64_t x, std::uint64_t y);

// a ÷ b for every combination of number kinds: exact when no Float takes part (6 ÷ 4 is 3/2),
// IEEE division when one does, except that a Ratio divided by a zero Float is DivisionByZero.
std::expected<Value, VmError> divide_values(Value a, Value b);

// The Int ÷ Int case of divide_values: an Int when the division is exact, else a reduced ratio.
std::expected<Value, VmError> divide_ints(std::int64_t a, std::int64_t b);

// Three-way comparison (-1, 0, 1) of two numbers of any kinds: exact between Ints and Ratios,
// through double views when a Float takes part ("invalid float" when that is unordered).
std::expected<int, VmError> compare_numbers(Value a, Value b);

// a + b, a - b, a × b for any two numbers: Int with Int is checked 64-bit arithmetic, a Float
// operand makes it a double operation, otherwise exact rational arithmetic.
std::expected<Value, VmError> arith_values(Value a, Value b, RationalOp op);

// -a: checked for Int and Ratio, the sign bit flipped for Float; "expected number" otherwise.
std::expected<Value, VmError> negate_value(Value a);

// The remainder with the sign of a: Int with Int is int_rem (Int 0 divisor: DivisionByZero),
// a Float operand gives fmod of the double views; Ratios and other kinds are "expected numbers".
std::expected<Value, VmError> remainder_values(Value a, Value b);

// Double view of a number: a Float is itself, an Int the nearest double, a Ratio its numerator's
// double divided by its denominator's. The caller has checked is_number(); any other value
// gives NaN.
inline double double_view(Value v) {
  switch (v.tag) {
  case Tag::Float:
    return v.as.floating;
  case Tag::Int:
    return static_cast<double>(v.as.integer);
  case Tag::Ratio:
    return static_cast<double>(v.as.ratio.num) / static_cast<double>(v.as.ratio.den);
  default:
    return __builtin_nan("");
  }
}

// Checked 64-bit integer arithmetic: a result outside the range is "ratio overflow".
inline std::expected<std::int64_t, VmError> checked_add_int(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) [[unlikely]]
    return std::unexpected(ratio_overflow_error());
  return r;
}

inline std::expected<std::int64_t, VmError> checked_sub_int(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) [[unlikely]]
    return std::unexpected(ratio_overflow_error());
  return r;
}

inline std::expected<std::int64_t, VmError> checked_mul_int(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) [[unlikely]]
    return std::unexpected(ratio_overflow_error());
  return r;
}

inline std::expected<std::int64_t, VmError> checked_neg_int(std::int64_t a) {
  std::int64_t r;
  if (__builtin_sub_overflow(std::int64_t{0}, a, &r)) [[unlikely]]
    return std::unexpected(ratio_overflow_error());
  return r;
}

// Quotient truncated toward zero. b = 0 is DivisionByZero (callers that report a zero divisor
// differently check it first); the smallest integer divided by -1 is "ratio overflow".
inline std::expected<std::int64_t, VmError> int_quot(std::int64_t a, std::int64_t b) {
  if (b == 0) [[unlikely]]
    return std::unexpected(VmError::division_by_zero());
  if (b == -1) [[unlikely]]
    return checked_neg_int(a);
  return a / b;
}

// Remainder of the truncated division: zero or the sign of a. Any remainder by -1 is 0, which
// also keeps the smallest integer away from the hardware division (it traps on that pair).
// b = 0 is DivisionByZero.
inline std::expected<std::int64_t, VmError> int_rem(std::int64_t a, std::int64_t b) {
  if (b == 0) [[unlikely]]
    return std::unexpected(VmError::division_by_zero());
  if (b == -1) [[unlikely]]
    return std::int64_t{0};
  return a % b;
}

// Floored remainder: zero or the sign of b, magnitude below |b|. Built from the truncated
// remainder r as r + b when r and b differ in sign; that sum always fits. b = 0 is
// DivisionByZero.
inline std::expected<std::int64_t, VmError> int_mod(std::int64_t a, std::int64_t b) {
  if (b == 0) [[unlikely]]
    return std::unexpected(VmError::division_by_zero());
  if (b == -1) [[unlikely]]
    return std::int64_t{0};
  std::int64_t r = a % b;
  if (r != 0 && ((r < 0) != (b < 0))) r += b;
  return r;
}

} // namespace quorvex
