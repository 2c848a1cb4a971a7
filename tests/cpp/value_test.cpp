#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "value/value.hpp"

namespace quorvex {
namespace {

struct FloatCase {
  double value;
  std::string text;
};

TEST(FloatText, PositionalShortestDigits) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  // Expected texts from Python: format(Decimal(repr(x)).normalize(), "f").
  const FloatCase cases[] = {
      {1.0, "1"},
      {-2.5, "-2.5"},
      {0.5, "0.5"},
      {100.0, "100"},
      {0.0, "0"},
      {-0.0, "-0"},
      {1e21, "1000000000000000000000"},
      {1e22, "10000000000000000000000"},
      {1e23, "100000000000000000000000"},
      {1e-7, "0.0000001"},
      {1.5e-7, "0.00000015"},
      {0.1 + 0.2, "0.30000000000000004"},
      {1.0 / 3.0, "0.3333333333333333"},
      {-2.0 / 3.0, "-0.6666666666666666"},
      {0.3, "0.3"},
      {4.35, "4.35"},
      {123.456, "123.456"},
      {1e15 + 0.5, "1000000000000000.5"},
      {9007199254740992.0, "9007199254740992"},   // 2^53
      {9007199254740994.0, "9007199254740994"},   // 2^53 + 2
      {-9007199254740991.0, "-9007199254740991"}, // -(2^53 - 1)
      {123456789012345680.0, "123456789012345680"},
      {9223372036854775808.0, "9223372036854776000"}, // 2^63: shortest digits, then zeros
      {-9223372036854775808.0, "-9223372036854776000"},
      {1e100, "1" + std::string(100, '0')},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {2.2250738585072014e-308, "0." + std::string(307, '0') + "22250738585072014"},
      {-1e-300, "-0." + std::string(299, '0') + "1"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      {std::nan(""), "NaN"},
      {-std::nan(""), "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
      {1.0 / std::atof("0"), "inf"},
  };
  for (const FloatCase& c : cases) {
    EXPECT_EQ(float_text(c.value), c.text);
  }
}

TEST(FloatText, AppendsToWhatIsThere) {
  std::string out = "x=";
  append_float_text(out, 2.5);
  append_float_text(out, -1e-7);
  EXPECT_EQ(out, "x=2.5-0.0000001");
}

// Any finite double prints without an exponent, reads back to itself, and has no trailing
// zero after a decimal point.
TEST(FloatText, RandomDoublesReadBack) {
  std::mt19937_64 rng(12345);
  for (int i = 0; i < 200000; ++i) {
    std::uint64_t bits = rng();
    // Half of the samples from a narrow exponent band, where integral values and short
    // fractions are common.
    if (i % 2 == 0) bits = (bits & 0x800FFFFFFFFFFFFFULL) | ((0x3F0ULL + (rng() % 0x60)) << 52);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    const std::string text = float_text(d);
    ASSERT_EQ(text.find_first_of("eE"), std::string::npos) << text;
    if (text.find('.') != std::string::npos) {
      ASSERT_NE(text.back(), '0') << text;
    }
    double back = 0;
    const auto res = std::from_chars(text.data(), text.data() + text.size(), back);
    ASSERT_EQ(res.ec, std::errc{}) << text;
    ASSERT_EQ(res.ptr, text.data() + text.size()) << text;
    ASSERT_EQ(std::memcmp(&back, &d, sizeof d), 0) << text;
  }
}

struct DebugCase {
  Value value;
  std::string text;
};

TEST(DebugText, EveryTag) {
  const DebugCase cases[] = {
      {Value::nil(), "nil"},
      {Value::from_bool(true), "true"},
      {Value::from_bool(false), "false"},
      {Value::from_int(0), "0"},
      {Value::from_int(-5), "-5"},
      {Value::from_int(std::numeric_limits<std::int64_t>::min()), "-9223372036854775808"},
      {Value::from_float(1.0), "1"},
      {Value::from_float(-0.5), "-0.5"},
      {Value::from_float(std::nan("")), "NaN"},
      {Value::from_ratio_unchecked(3, 4), "3/4"},
      {Value::from_ratio_unchecked(-7, 2), "-7/2"},
      {Value::symbol(12), "sym(Spur(12))"},
      {Value::symbol(3), "sym(Spur(3))"},
      {Value::keyword(7), ":Spur(7)"},
      {Value::object(HeapKey{5, 1}), "heap(HeapKey(5v1))"},
      {Value::object(HeapKey{2, 3}), "heap(HeapKey(2v3))"},
      {Value::object(HeapKey{0xFFFFFFFEu, 0xFFFFFFFFu}), "heap(HeapKey(4294967294v4294967295))"},
      {Value::object(HeapKey{0xFFFFFFFFu, 7}), "heap(HeapKey(null))"},
      {Value::native_fn(0), "native(0)"},
      {Value::native_fn(65535), "native(65535)"},
  };
  for (const DebugCase& c : cases) {
    std::string out = "<";
    format_value_debug(c.value, out);
    EXPECT_EQ(out, "<" + c.text);
  }
}

TEST(Truthiness, OnlyNilAndFalseAreFalsy) {
  Value odd_true = Value::from_bool(true);
  odd_true.as.boolean = 0x03;
  Value even_byte = Value::from_bool(true);
  even_byte.as.boolean = 0x02; // only bit 0 counts
  const struct {
    Value value;
    bool truthy;
  } cases[] = {
      {Value::nil(), false},
      {Value::from_bool(false), false},
      {even_byte, false},
      {Value::from_bool(true), true},
      {odd_true, true},
      {Value::from_int(0), true},
      {Value::from_float(0.0), true},
      {Value::from_float(-0.0), true},
      {Value::from_float(std::nan("")), true},
      {Value::from_ratio_unchecked(1, 2), true},
      {Value::symbol(1), true},
      {Value::keyword(1), true},
      {Value::object(HeapKey{0xFFFFFFFFu, 0}), true}, // even a stale key
      {Value::native_fn(0), true},
  };
  for (const auto& c : cases) {
    std::string text;
    format_value_debug(c.value, text);
    EXPECT_EQ(is_truthy(c.value), c.truthy) << text;
  }
}

} // namespace
} // namespace quorvex
