#include "value/numbers.hpp"

#include <cmath>
#include <limits>
#include <utility>

namespace quorvex {

namespace {

using U128 = unsigned __int128;

constexpr std::uint64_t kInt64Max =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
constexpr std::uint64_t kInt64MinMagnitude = kInt64Max + 1;

// Magnitude of a signed 128-bit value, computed in unsigned arithmetic so that the most
// negative value has one too.
inline U128 magnitude(__int128 x) {
  return x < 0 ? U128{0} - static_cast<U128>(x) : static_cast<U128>(x);
}

inline std::uint64_t gcd_u64(std::uint64_t x, std::uint64_t y) {
  if (x == 0) return y;
  if (y == 0) return x;
  const int shift = __builtin_ctzll(x | y);
  x >>= __builtin_ctzll(x);
  do {
    y >>= __builtin_ctzll(y);
    if (x > y) std::swap(x, y);
    y -= x;
  } while (y != 0);
  return x << shift;
}

// Euclid on 128 bits until both values fit in 64 bits, then the cheaper 64-bit loop.
U128 gcd_u128(U128 x, U128 y) {
  while ((x >> 64) != 0 || (y >> 64) != 0) {
    if (y == 0) return x;
    U128 t = x % y;
    x = y;
    y = t;
  }
  return gcd_u64(static_cast<std::uint64_t>(x), static_cast<std::uint64_t>(y));
}

struct Fraction {
  std::int64_t num;
  std::int64_t den;
};

// An Int is n/1; a Ratio is itself; anything else has no fraction view.
inline bool fraction_view(const Value& v, Fraction& f) {
  if (v.tag == Tag::Int) {
    f = {v.as.integer, 1};
    return true;
  }
  if (v.tag == Tag::Ratio) {
    f = {v.as.ratio.num, v.as.ratio.den};
    return true;
  }
  return false;
}

inline bool is_exact(const Value& v) {
  return v.tag == Tag::Int || v.tag == Tag::Ratio;
}

// The fraction view of a value already known to be an Int or a Ratio.
inline Fraction exact_fraction(const Value& v) {
  return v.tag == Tag::Int ? Fraction{v.as.integer, 1} : Fraction{v.as.ratio.num, v.as.ratio.den};
}

std::expected<Value, VmError> exact_quotient(const Value& a, const Value& b) {
  const Fraction x = exact_fraction(a);
  const Fraction y = exact_fraction(b);
  if (y.num == 0) return std::unexpected(VmError::division_by_zero());
  return normalize_fraction(static_cast<__int128>(x.num) * y.den,
                            static_cast<__int128>(x.den) * y.num);
}

inline NumberOrder order_doubles(double x, double y) {
  if (x < y) return NumberOrder::Less;
  if (x > y) return NumberOrder::Greater;
  if (x == y) return NumberOrder::Equal;
  return NumberOrder::Unordered;
}

template <class T> inline NumberOrder ordering_of(T x, T y) {
  return x < y ? NumberOrder::Less : (x > y ? NumberOrder::Greater : NumberOrder::Equal);
}

inline double apply_double(double x, double y, RationalOp op) {
  switch (op) {
  case RationalOp::Add:
    return x + y;
  case RationalOp::Subtract:
    return x - y;
  case RationalOp::Multiply:
    return x * y;
  }
  return x * y;
}

} // namespace

VmError expected_numbers_error() {
  return VmError::type_error("expected numbers");
}
VmError expected_number_error() {
  return VmError::type_error("expected number");
}
VmError ratio_overflow_error() {
  return VmError::type_error("ratio overflow");
}
VmError invalid_float_error() {
  return VmError::type_error("invalid float");
}

std::expected<Value, VmError> normalize_fraction(__int128 num, __int128 den) {
  if (den == 0) return std::unexpected(VmError::division_by_zero());
  if (num == 0) return Value::from_int(0);
  // Work on magnitudes and a separate sign: negating either extreme of __int128 would overflow.
  const bool negative = (num < 0) != (den < 0);
  U128 n = magnitude(num);
  U128 d = magnitude(den);
  if (((n | d) >> 64) == 0) {
    auto n64 = static_cast<std::uint64_t>(n);
    auto d64 = static_cast<std::uint64_t>(d);
    const std::uint64_t g = gcd_u64(n64, d64);
    if (g != 1) {
      n64 /= g;
      d64 /= g;
    }
    n = n64;
    d = d64;
  } else {
    const U128 g = gcd_u128(n, d);
    if (g != 1) {
      n /= g;
      d /= g;
    }
  }
  if (d > kInt64Max || n > (negative ? kInt64MinMagnitude : kInt64Max)) {
    return std::unexpected(ratio_overflow_error());
  }
  // Conversion to a signed type is modular, so the smallest integer comes out right.
  const auto n64 = static_cast<std::uint64_t>(n);
  const auto signed_num = static_cast<std::int64_t>(negative ? std::uint64_t{0} - n64 : n64);
  if (d == 1) return Value::from_int(signed_num);
  return Value::from_ratio_unchecked(signed_num, static_cast<std::int64_t>(d));
}

std::uint64_t gcd_uint64(std::uint64_t x, std::uint64_t y) {
  return gcd_u64(x, y);
}

std::expected<void, VmError> ExactFraction::step(const Value& operand, RationalOp op) {
  if (!reduced) {
    // den is positive; the magnitude of num exists even for the smallest 128-bit value.
    const bool negative = num < 0;
    U128 n = magnitude(num);
    U128 d = static_cast<U128>(den);
    const U128 g = gcd_u128(n, d);
    if (g > 1) {
      n /= g;
      d /= g;
      num = static_cast<__int128>(negative ? U128{0} - n : n);
      den = static_cast<__int128>(d);
    }
    reduced = true;
  }
  const ExactFraction b = of(operand);
  __int128 n, d;
  bool overflow;
  if (op == RationalOp::Multiply) {
    overflow = __builtin_mul_overflow(num, b.num, &n) || __builtin_mul_overflow(den, b.den, &d);
  } else if (den == 1 && b.den == 1) {
    d = 1;
    overflow = op == RationalOp::Add ? __builtin_add_overflow(num, b.num, &n)
                                     : __builtin_sub_overflow(num, b.num, &n);
  } else {
    __int128 x, y;
    overflow = __builtin_mul_overflow(num, b.den, &x) || __builtin_mul_overflow(b.num, den, &y) ||
               (op == RationalOp::Add ? __builtin_add_overflow(x, y, &n)
                                      : __builtin_sub_overflow(x, y, &n)) ||
               __builtin_mul_overflow(den, b.den, &d);
  }
  if (overflow) [[unlikely]]
    return std::unexpected(ratio_overflow_error());
  num = n;
  den = d;
  reduced = d == 1;
  return {};
}

std::expected<Value, VmError> ExactFraction::finish() const {
  if (den == 1) {
    if (num < std::numeric_limits<std::int64_t>::min() ||
        num > std::numeric_limits<std::int64_t>::max()) [[unlikely]]
      return std::unexpected(ratio_overflow_error());
    return Value::from_int(static_cast<std::int64_t>(num));
  }
  return normalize_fraction(num, den);
}

std::expected<Value, VmError> rational_binary_op(Value a, Value b, RationalOp op) {
  if (!is_exact(a) || !is_exact(b)) return std::unexpected(expected_numbers_error());
  ExactFraction acc = ExactFraction::of(a);
  // Two 64-bit operands never leave 128 bits, so the step itself cannot fail.
  if (auto stepped = acc.step(b, op); !stepped) return std::unexpected(std::move(stepped.error()));
  return acc.finish();
}

std::expected<Value, VmError> divide_ints(std::int64_t a, std::int64_t b) {
  if (b == 0) return std::unexpected(VmError::division_by_zero());
  if (b == -1) {
    auto q = checked_neg_int(a);
    if (!q) return std::unexpected(std::move(q.error()));
    return Value::from_int(*q);
  }
  if (a % b == 0) return Value::from_int(a / b);
  return normalize_fraction(a, b);
}

std::expected<Value, VmError> divide_values(Value a, Value b) {
  switch (a.tag) {
  case Tag::Int:
    switch (b.tag) {
    case Tag::Int:
      return divide_ints(a.as.integer, b.as.integer);
    case Tag::Float:
      return Value::from_float(static_cast<double>(a.as.integer) / b.as.floating);
    case Tag::Ratio:
      return exact_quotient(a, b);
    default:
      break;
    }
    break;
  case Tag::Float:
    switch (b.tag) {
    case Tag::Int:
      return Value::from_float(a.as.floating / static_cast<double>(b.as.integer));
    case Tag::Float:
      return Value::from_float(a.as.floating / b.as.floating);
    case Tag::Ratio: {
      const double divisor = double_view(b);
      if (divisor == 0.0) return std::unexpected(VmError::division_by_zero());
      return Value::from_float(a.as.floating / divisor);
    }
    default:
      break;
    }
    break;
  case Tag::Ratio:
    switch (b.tag) {
    case Tag::Int:
    case Tag::Ratio:
      return exact_quotient(a, b);
    case Tag::Float:
      if (b.as.floating == 0.0) return std::unexpected(VmError::division_by_zero());
      return Value::from_float(double_view(a) / b.as.floating);
    default:
      break;
    }
    break;
  default:
    break;
  }
  return std::unexpected(expected_numbers_error());
}

std::expected<Value, VmError> exact_divide(Value a, Value b) {
  if (a.tag == Tag::Int && b.tag == Tag::Int) return divide_ints(a.as.integer, b.as.integer);
  return exact_quotient(a, b);
}

NumberOrder order_number_values(Value a, Value b) {
  if (a.tag == Tag::Float) {
    if (!b.is_number()) return NumberOrder::NotNumbers;
    return order_doubles(a.as.floating, double_view(b));
  }
  if (b.tag == Tag::Float) {
    if (!is_exact(a)) return NumberOrder::NotNumbers;
    return order_doubles(double_view(a), b.as.floating);
  }
  if (a.tag == Tag::Int && b.tag == Tag::Int) {
    return ordering_of(a.as.integer, b.as.integer);
  }
  Fraction x, y;
  if (!fraction_view(a, x) || !fraction_view(b, y)) return NumberOrder::NotNumbers;
  // Denominators are positive, so the cross products are ordered as the numbers are.
  return ordering_of(static_cast<__int128>(x.num) * y.den, static_cast<__int128>(y.num) * x.den);
}

std::expected<int, VmError> compare_numbers(Value a, Value b) {
  switch (const NumberOrder order = order_number_values(a, b)) {
  case NumberOrder::NotNumbers:
    return std::unexpected(expected_numbers_error());
  case NumberOrder::Unordered:
    return std::unexpected(invalid_float_error());
  default:
    return static_cast<int>(order);
  }
}

std::expected<Value, VmError> arith_values(Value a, Value b, RationalOp op) {
  if (a.tag == Tag::Int && b.tag == Tag::Int) {
    std::int64_t r = 0;
    bool overflow = false;
    switch (op) {
    case RationalOp::Add:
      overflow = __builtin_add_overflow(a.as.integer, b.as.integer, &r);
      break;
    case RationalOp::Subtract:
      overflow = __builtin_sub_overflow(a.as.integer, b.as.integer, &r);
      break;
    case RationalOp::Multiply:
      overflow = __builtin_mul_overflow(a.as.integer, b.as.integer, &r);
      break;
    }
    if (overflow) return std::unexpected(ratio_overflow_error());
    return Value::from_int(r);
  }
  if (a.tag == Tag::Float || b.tag == Tag::Float) {
    if (!a.is_number() || !b.is_number()) return std::unexpected(expected_numbers_error());
    return Value::from_float(apply_double(double_view(a), double_view(b), op));
  }
  return rational_binary_op(a, b, op);
}

std::expected<Value, VmError> negate_value(Value a) {
  switch (a.tag) {
  case Tag::Int: {
    auto r = checked_neg_int(a.as.integer);
    if (!r) return std::unexpected(std::move(r.error()));
    return Value::from_int(*r);
  }
  case Tag::Float:
    return Value::from_float(-a.as.floating);
  case Tag::Ratio:
    if (a.as.ratio.num == std::numeric_limits<std::int64_t>::min()) {
      return std::unexpected(ratio_overflow_error());
    }
    return Value::from_ratio_unchecked(-a.as.ratio.num, a.as.ratio.den);
  default:
    return std::unexpected(expected_number_error());
  }
}

std::expected<Value, VmError> remainder_values(Value a, Value b) {
  if (a.tag == Tag::Int && b.tag == Tag::Int) {
    auto r = int_rem(a.as.integer, b.as.integer);
    if (!r) return std::unexpected(std::move(r.error()));
    return Value::from_int(*r);
  }
  const bool a_ok = a.tag == Tag::Int || a.tag == Tag::Float;
  const bool b_ok = b.tag == Tag::Int || b.tag == Tag::Float;
  if (!a_ok || !b_ok) return std::unexpected(expected_numbers_error());
  return Value::from_float(std::fmod(double_view(a), double_view(b)));
}

} // namespace quorvex
