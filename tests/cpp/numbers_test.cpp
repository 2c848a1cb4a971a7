#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "value/numbers.hpp"
#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {
namespace {

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
const double kNaN = std::nan("");
const double kInf = std::numeric_limits<double>::infinity();

Value I(std::int64_t i) {
  return Value::from_int(i);
}
Value F(double d) {
  return Value::from_float(d);
}
Value R(std::int64_t n, std::int64_t d) {
  return Value::from_ratio_unchecked(n, d);
}
// Non-numbers: a heap object (as a string is), nil and a symbol.
const Value kStr = Value::object(HeapKey{1, 1});
const Value kNil = Value::nil();
const Value kSym = Value::symbol(4);

// Results as one comparable text: the number's kind and debug text, or the error's display.
std::string show(const std::expected<Value, VmError>& r) {
  if (!r) return "error " + to_string(r.error());
  std::string out;
  switch (r->tag) {
  case Tag::Int:
    out = "int ";
    break;
  case Tag::Float:
    out = "float ";
    break;
  case Tag::Ratio:
    out = "ratio ";
    break;
  default:
    out = "other ";
    break;
  }
  format_value_debug(*r, out);
  return out;
}

template <class T> std::string show(const std::expected<T, VmError>& r) {
  if (!r) return "error " + to_string(r.error());
  return std::to_string(*r);
}

std::string show(Value v) {
  std::string out;
  format_value_debug(v, out);
  return out;
}

const std::string kOverflow = "error Type error: ratio overflow";
const std::string kNotNumbers = "error Type error: expected numbers";
const std::string kInvalidFloat = "error Type error: invalid float";
const std::string kDivZero = "error Division by zero";

TEST(NormalizeFraction, ReducesAndChecksTheRange) {
  const __int128 two64 = static_cast<__int128>(1) << 64;
  const __int128 i128_min = static_cast<__int128>(static_cast<unsigned __int128>(1) << 127);
  const __int128 i128_max = ~i128_min;
  const struct {
    __int128 num, den;
    std::string expected;
  } cases[] = {
      {6, 4, "ratio 3/2"},
      {-6, 4, "ratio -3/2"},
      {6, -4, "ratio -3/2"},
      {-6, -4, "ratio 3/2"},
      {4, 2, "int 2"},
      {-4, -2, "int 2"},
      {0, 5, "int 0"},
      {0, -5, "int 0"},
      {5, 0, kDivZero},
      {0, 0, kDivZero},
      {-static_cast<__int128>(kMin), 1, kOverflow}, // 2^63
      {-static_cast<__int128>(kMin), 2, "int 4611686018427387904"},
      {kMin, 1, "int -9223372036854775808"},
      {kMin, -1, kOverflow},
      {kMin, 3, "ratio -9223372036854775808/3"},
      {1, -static_cast<__int128>(kMin), kOverflow}, // denominator 2^63
      {-1, kMin, kOverflow},
      {1, kMax, "ratio 1/9223372036854775807"},
      {3 * two64, two64, "int 3"},
      {two64, 3 * two64 + 3, kOverflow}, // reduced parts still too wide
      // The extremes of the 128-bit range (no 64-bit operation produces them).
      {i128_min, i128_min, "int 1"},
      {i128_max, i128_max, "int 1"},
      {i128_min, two64, "int -9223372036854775808"},
      {i128_min, -two64, kOverflow},
      {i128_min, -1, kOverflow},
      {1, i128_min, kOverflow},
      {0, i128_min, "int 0"},
      {i128_max, 1, kOverflow},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(normalize_fraction(c.num, c.den)), c.expected)
        << static_cast<long double>(c.num) << " / " << static_cast<long double>(c.den);
  }
}

struct BinaryCase {
  Value a, b;
  std::string expected;
};

void check_binary(const char* what, const BinaryCase* begin, const BinaryCase* end,
                  std::expected<Value, VmError> (*op)(Value, Value)) {
  for (const BinaryCase* c = begin; c != end; ++c) {
    EXPECT_EQ(show(op(c->a, c->b)), c->expected) << what << " " << show(c->a) << " " << show(c->b);
  }
}

struct OpCase {
  Value a;
  RationalOp op;
  Value b;
  std::string expected;
};

void check_op(const OpCase* begin, const OpCase* end,
              std::expected<Value, VmError> (*op)(Value, Value, RationalOp)) {
  for (const OpCase* c = begin; c != end; ++c) {
    EXPECT_EQ(show(op(c->a, c->b, c->op)), c->expected)
        << show(c->a) << " op" << static_cast<int>(c->op) << " " << show(c->b);
  }
}

TEST(RationalBinaryOp, ExactResults) {
  const OpCase cases[] = {
      {R(1, 2), RationalOp::Add, R(1, 3), "ratio 5/6"},
      {R(1, 2), RationalOp::Subtract, R(1, 2), "int 0"},
      {R(2, 3), RationalOp::Multiply, R(3, 2), "int 1"},
      {R(1, 2), RationalOp::Multiply, R(1, 3), "ratio 1/6"},
      {R(1, 2), RationalOp::Multiply, I(2), "int 1"},
      {R(-1, 2), RationalOp::Multiply, R(-1, 2), "ratio 1/4"},
      {I(1), RationalOp::Add, R(1, 2), "ratio 3/2"},
      {I(1), RationalOp::Subtract, R(3, 2), "ratio -1/2"},
      {I(3), RationalOp::Add, I(4), "int 7"},
      {R(kMax, 2), RationalOp::Add, R(kMax, 3), kOverflow},
      {R(kMax, 2), RationalOp::Add, R(1, 2), "int 4611686018427387904"},
      {R(kMax, 2), RationalOp::Multiply, I(2), "int 9223372036854775807"},
      {R(kMin, 3), RationalOp::Add, R(1, 3), "ratio -9223372036854775807/3"},
      {R(kMin, 3), RationalOp::Subtract, R(1, 3), "int -3074457345618258603"},
      {R(kMin, 3), RationalOp::Multiply, R(3, 2), "int -4611686018427387904"},
      {R(kMin, kMax), RationalOp::Multiply, R(kMin, kMax), kOverflow},
      {R(1, kMax), RationalOp::Multiply, R(1, kMax), kOverflow},
      {R(kMax, 3), RationalOp::Multiply, R(3, kMax), "int 1"},
      // Two Ints go through the same range check.
      {I(kMax), RationalOp::Add, I(1), kOverflow},
      {I(kMin), RationalOp::Subtract, I(1), kOverflow},
      {I(kMin), RationalOp::Multiply, I(-1), kOverflow},
      {I(kMin), RationalOp::Add, I(0), "int -9223372036854775808"},
      // Only Ints and Ratios take part.
      {I(1), RationalOp::Add, kStr, kNotNumbers},
      {kStr, RationalOp::Add, I(1), kNotNumbers},
      {R(1, 2), RationalOp::Multiply, kNil, kNotNumbers},
      {F(1.0), RationalOp::Add, R(1, 2), kNotNumbers},
      {R(1, 2), RationalOp::Subtract, F(1.0), kNotNumbers},
  };
  check_op(std::begin(cases), std::end(cases), rational_binary_op);
}

TEST(DivideValues, EveryCombinationOfKinds) {
  const BinaryCase cases[] = {
      // Int ÷ Int: exact when it divides, else a reduced ratio.
      {I(6), I(4), "ratio 3/2"},
      {I(-6), I(4), "ratio -3/2"},
      {I(6), I(-4), "ratio -3/2"},
      {I(6), I(3), "int 2"},
      {I(0), I(5), "int 0"},
      {I(1), I(0), kDivZero},
      {I(0), I(0), kDivZero},
      {I(kMin), I(-1), kOverflow},
      {I(kMin), I(-3), kOverflow},
      {I(kMin), I(-2), "int 4611686018427387904"},
      {I(kMin), I(1), "int -9223372036854775808"},
      {I(kMin), I(kMin), "int 1"},
      {I(kMax), I(-1), "int -9223372036854775807"},
      {I(7), I(kMin), kOverflow}, // the denominator 2^63 does not fit
      {I(8), I(kMin), "ratio -1/1152921504606846976"},
      // Int ÷ Float and Float ÷ Int, Float ÷ Float: IEEE.
      {I(1), F(0.0), "float inf"},
      {I(-1), F(0.0), "float -inf"},
      {I(1), F(-0.0), "float -inf"},
      {I(1), F(4.0), "float 0.25"},
      {F(1.5), I(0), "float inf"},
      {F(-1.5), I(0), "float -inf"},
      {F(1.5), I(2), "float 0.75"},
      {F(0.0), F(0.0), "float NaN"},
      {F(kNaN), F(1.0), "float NaN"},
      {F(1.0), F(4.0), "float 0.25"},
      // Exact quotients with a Ratio.
      {I(1), R(1, 2), "int 2"},
      {R(1, 2), R(1, 4), "int 2"},
      {R(1, 2), R(-1, 2), "int -1"},
      {R(1, 2), I(2), "ratio 1/4"},
      {R(1, 2), I(0), kDivZero},
      {R(kMax, 2), R(1, kMax), kOverflow},
      {R(kMin, 3), R(kMin, 3), "int 1"},
      // Ratio ÷ Float: a zero divisor of either sign is an error, anything else IEEE.
      {R(1, 2), F(0.0), kDivZero},
      {R(1, 2), F(-0.0), kDivZero},
      {R(1, 2), F(kNaN), "float NaN"},
      {R(1, 3), F(2.0), "float 0.16666666666666666"},
      {R(1, 2), F(kInf), "float 0"},
      // Float ÷ Ratio: through the ratio's double view.
      {F(1.0), R(1, 4), "float 4"},
      {F(0.0), R(1, 2), "float 0"},
      {F(kNaN), R(1, 2), "float NaN"},
      // Anything else, whichever side, before any zero test.
      {kStr, I(1), kNotNumbers},
      {I(1), kStr, kNotNumbers},
      {kStr, I(0), kNotNumbers},
      {F(1.0), kNil, kNotNumbers},
      {R(1, 2), kSym, kNotNumbers},
      {kSym, F(0.0), kNotNumbers},
      {kNil, R(1, 2), kNotNumbers},
      {Value::from_bool(true), I(1), kNotNumbers},
  };
  check_binary("div", std::begin(cases), std::end(cases), divide_values);
}

TEST(DivideInts, IsTheIntCellOfDivision) {
  const struct {
    std::int64_t a, b;
  } pairs[] = {{6, 4}, {-6, 4}, {6, 3}, {1, 0}, {kMin, -1}, {kMin, -2}, {kMin, kMin}, {7, kMin}};
  for (const auto& p : pairs) {
    EXPECT_EQ(show(divide_ints(p.a, p.b)), show(divide_values(I(p.a), I(p.b))))
        << p.a << " " << p.b;
  }
}

TEST(CompareNumbers, ExactWhereItCanBe) {
  const struct {
    Value a, b;
    std::string expected;
  } cases[] = {
      {I(1), I(2), "-1"},
      {I(2), I(2), "0"},
      {I(3), I(2), "1"},
      {I(kMin), I(kMax), "-1"},
      {R(1, 3), R(1, 2), "-1"},
      {R(1, 2), R(1, 2), "0"},
      {R(-1, 2), I(0), "-1"},
      {I(1), R(1, 2), "1"},
      {I(kMin), R(kMin, 3), "-1"},
      // Differ beyond double precision: only the 128-bit cross products tell them apart.
      {R(kMax, kMax - 1), R(kMax - 1, kMax - 2), "-1"},
      {R(kMax - 1, kMax - 2), R(kMax, kMax - 1), "1"},
      // A Float on either side: double views.
      {R(1, 3), F(0.3333333333333333), "0"},
      {F(0.3333333333333333), R(1, 3), "0"},
      {F(0.25), R(1, 3), "-1"},
      {R(1, 2), F(0.5), "0"},
      {I(9007199254740993), F(9007199254740992.0), "0"}, // 2^53 + 1 rounds to 2^53
      {F(-0.0), I(0), "0"},
      {F(kInf), I(kMax), "1"},
      {F(-kInf), F(-1e308), "-1"},
      {I(1), F(1.5), "-1"},
      // Unordered doubles.
      {R(1, 2), F(kNaN), kInvalidFloat},
      {F(kNaN), I(1), kInvalidFloat},
      {F(kNaN), F(kNaN), kInvalidFloat},
      {F(1.0), F(kNaN), kInvalidFloat},
      // Non-numbers, even beside a NaN.
      {I(1), kStr, kNotNumbers},
      {kStr, I(1), kNotNumbers},
      {F(kNaN), kStr, kNotNumbers},
      {kStr, F(kNaN), kNotNumbers},
      {kNil, F(1.0), kNotNumbers},
      {R(1, 2), kSym, kNotNumbers},
      {kSym, kSym, kNotNumbers},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(compare_numbers(c.a, c.b)), c.expected) << show(c.a) << " " << show(c.b);
  }
}

TEST(ArithValues, IntegerOverflowIsAnError) {
  const OpCase cases[] = {
      {I(3), RationalOp::Add, I(4), "int 7"},
      {I(kMax), RationalOp::Add, I(1), kOverflow},
      {I(kMin), RationalOp::Add, I(-1), kOverflow},
      {I(kMin), RationalOp::Subtract, I(1), kOverflow},
      {I(0), RationalOp::Subtract, I(kMin), kOverflow},
      {I(-1), RationalOp::Subtract, I(kMax), "int -9223372036854775808"},
      {I(4611686018427387904), RationalOp::Multiply, I(2), kOverflow},
      {I(-4611686018427387904), RationalOp::Multiply, I(2), "int -9223372036854775808"},
      {I(kMin), RationalOp::Multiply, I(-1), kOverflow},
      {R(1, 2), RationalOp::Add, R(1, 2), "int 1"},
      {I(1), RationalOp::Add, R(1, 2), "ratio 3/2"},
      {R(1, 2), RationalOp::Add, F(0.5), "float 1"},
      {F(0.1), RationalOp::Add, F(0.2), "float 0.30000000000000004"},
      {I(2), RationalOp::Multiply, F(1.5), "float 3"},
      {F(1.0), RationalOp::Subtract, R(1, 4), "float 0.75"},
      {I(kMax), RationalOp::Add, F(1.0), "float 9223372036854776000"},
      {I(1), RationalOp::Add, kStr, kNotNumbers},
      {kStr, RationalOp::Add, I(1), kNotNumbers},
      {F(1.0), RationalOp::Multiply, kNil, kNotNumbers},
      {kSym, RationalOp::Subtract, F(1.0), kNotNumbers},
  };
  check_op(std::begin(cases), std::end(cases), arith_values);
}

TEST(NegateValue, EachKind) {
  const struct {
    Value a;
    std::string expected;
  } cases[] = {
      {I(5), "int -5"},
      {I(kMax), "int -9223372036854775807"},
      {I(kMin), kOverflow},
      {F(0.0), "float -0"},
      {F(-0.0), "float 0"},
      {F(kNaN), "float NaN"},
      {F(-kInf), "float inf"},
      {R(1, 2), "ratio -1/2"},
      {R(-kMax, 2), "ratio 9223372036854775807/2"},
      {R(kMin, 3), kOverflow},
      {kStr, "error Type error: expected number"},
      {kNil, "error Type error: expected number"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(negate_value(c.a)), c.expected) << show(c.a);
  }
  // Negating a float flips the sign bit, also of a NaN.
  auto neg_nan = negate_value(F(kNaN));
  ASSERT_TRUE(neg_nan.has_value());
  EXPECT_TRUE(std::signbit(neg_nan->as.floating));
}

TEST(RemainderValues, TruncatingWithTheSignOfTheDividend) {
  const BinaryCase cases[] = {
      {I(7), I(2), "int 1"},          {I(-7), I(2), "int -1"},         {I(7), I(-2), "int 1"},
      {I(7), I(0), kDivZero},         {I(kMin), I(-1), "int 0"},       {I(kMin), I(kMax), "int -1"},
      {F(7.5), I(2), "float 1.5"},    {F(-7.5), F(2.0), "float -1.5"}, {I(7), F(0.0), "float NaN"},
      {I(7), F(2.5), "float 2"},      {R(1, 2), I(1), kNotNumbers},    {I(7), R(1, 2), kNotNumbers},
      {F(1.0), R(1, 2), kNotNumbers}, {kStr, I(1), kNotNumbers},       {I(1), kNil, kNotNumbers},
  };
  check_binary("rem", std::begin(cases), std::end(cases), remainder_values);
}

TEST(CheckedInts, OverflowIsRatioOverflow) {
  const struct {
    const char* op;
    std::int64_t a, b;
    std::string expected;
  } cases[] = {
      {"add", kMax, 0, "9223372036854775807"},
      {"add", kMax, 1, kOverflow},
      {"add", kMin, -1, kOverflow},
      {"add", kMin, kMax, "-1"},
      {"sub", kMin, 1, kOverflow},
      {"sub", 0, kMin, kOverflow},
      {"sub", -1, kMin, "9223372036854775807"},
      {"sub", kMax, -1, kOverflow},
      {"mul", 4611686018427387904, 2, kOverflow},
      {"mul", -4611686018427387904, 2, "-9223372036854775808"},
      {"mul", kMin, -1, kOverflow},
      {"mul", -1, kMin, kOverflow},
      {"mul", kMin, 1, "-9223372036854775808"},
      {"mul", 3037000500, 3037000500, kOverflow},
      {"mul", 3037000499, 3037000499, "9223372030926249001"},
      {"neg", kMin, 0, kOverflow},
      {"neg", kMax, 0, "-9223372036854775807"},
      {"neg", 0, 0, "0"},
  };
  for (const auto& c : cases) {
    const std::string op = c.op;
    std::expected<std::int64_t, VmError> r = op == "add"   ? checked_add_int(c.a, c.b)
                                             : op == "sub" ? checked_sub_int(c.a, c.b)
                                             : op == "mul" ? checked_mul_int(c.a, c.b)
                                                           : checked_neg_int(c.a);
    EXPECT_EQ(show(r), c.expected) << op << " " << c.a << " " << c.b;
  }
}

TEST(IntegerDivision, QuotRemAndMod) {
  const struct {
    std::int64_t a, b;
    std::string quot, rem, mod;
  } cases[] = {
      {7, 2, "3", "1", "1"},
      {-7, 2, "-3", "-1", "1"},
      {7, -2, "-3", "1", "-1"},
      {-7, 3, "-2", "-1", "2"},
      {7, -3, "-2", "1", "-2"},
      {-7, -3, "2", "-1", "-1"},
      {6, 3, "2", "0", "0"},
      {5, -1, "-5", "0", "0"},
      {kMin, -1, kOverflow, "0", "0"},
      {kMin, 1, "-9223372036854775808", "0", "0"},
      {kMin, kMin, "1", "0", "0"},
      {kMin, kMax, "-1", "-1", "9223372036854775806"},
      {kMax, kMin, "0", "9223372036854775807", "-1"},
      {kMax - 1, kMax, "0", "9223372036854775806", "9223372036854775806"},
      {-kMax, kMin, "0", "-9223372036854775807", "-9223372036854775807"},
      {7, 0, kDivZero, kDivZero, kDivZero},
      {0, 0, kDivZero, kDivZero, kDivZero},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(show(int_quot(c.a, c.b)), c.quot) << "quot " << c.a << " " << c.b;
    EXPECT_EQ(show(int_rem(c.a, c.b)), c.rem) << "rem " << c.a << " " << c.b;
    EXPECT_EQ(show(int_mod(c.a, c.b)), c.mod) << "mod " << c.a << " " << c.b;
  }
}

TEST(DoubleView, EachNumberKind) {
  EXPECT_EQ(double_view(I(3)), 3.0);
  EXPECT_EQ(double_view(I(9007199254740993)), 9007199254740992.0);
  EXPECT_EQ(double_view(F(-0.5)), -0.5);
  EXPECT_EQ(double_view(R(1, 3)), 1.0 / 3.0);
  EXPECT_EQ(double_view(R(kMax, kMax - 1)), 1.0);
  EXPECT_TRUE(std::isnan(double_view(kStr)));
}

} // namespace
} // namespace quorvex
