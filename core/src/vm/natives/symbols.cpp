// Symbols, keywords and number parsing: the builtins that move between text and names or numbers.
//
// A qualified name is interned as one text, "ns/name"; `name` and `namespace` take that text
// apart at its first slash. The parsers answer nil for text that is not a number: only a wrong
// kind of argument is an error.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "value/strings.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// The value of an ASCII digit or letter as a digit of a radix up to 36, else 36.
unsigned digit_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a') + 10;
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A') + 10;
  return 36;
}

bool equals_ignoring_ascii_case(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

// The decimal exponent of the leading non-zero digit of a checked decimal text (digits, at most
// one point, an optional exponent), saturated far beyond the range of doubles; none when every
// digit is zero.
std::optional<std::int64_t> leading_digit_exponent(std::string_view body) {
  constexpr std::int64_t kSaturate = std::int64_t{1} << 40;
  std::int64_t integer_digits = 0;
  std::optional<std::int64_t> first_non_zero;
  std::int64_t index = 0;
  std::size_t i = 0;
  bool after_point = false;
  for (; i < body.size() && (is_digit(body[i]) || body[i] == '.'); ++i) {
    if (body[i] == '.') {
      after_point = true;
      continue;
    }
    if (!after_point) integer_digits = std::min(integer_digits + 1, kSaturate);
    if (!first_non_zero && body[i] != '0') first_non_zero = index;
    index = std::min(index + 1, kSaturate);
  }
  if (!first_non_zero) return std::nullopt;
  std::int64_t exponent = 0;
  if (i < body.size()) { // e or E
    ++i;
    bool negative = false;
    if (body[i] == '+' || body[i] == '-') negative = body[i++] == '-';
    for (; i < body.size(); ++i)
      exponent = std::min(exponent * 10 + (body[i] - '0'), kSaturate);
    if (negative) exponent = -exponent;
  }
  return integer_digits - 1 - *first_non_zero + exponent;
}

// Whether `body` (no sign) is digits with at most one point and at least one digit, then an
// optional exponent of e or E, an optional sign and at least one digit.
bool is_decimal_text(std::string_view body) {
  std::size_t i = 0;
  std::size_t digits = 0;
  while (i < body.size() && is_digit(body[i])) {
    ++i;
    ++digits;
  }
  if (i < body.size() && body[i] == '.') {
    ++i;
    while (i < body.size() && is_digit(body[i])) {
      ++i;
      ++digits;
    }
  }
  if (digits == 0) return false;
  if (i == body.size()) return true;
  if (body[i] != 'e' && body[i] != 'E') return false;
  ++i;
  if (i < body.size() && (body[i] == '+' || body[i] == '-')) ++i;
  const std::size_t exponent_start = i;
  while (i < body.size() && is_digit(body[i]))
    ++i;
  return i > exponent_start && i == body.size();
}

std::optional<std::int64_t> parse_integer_text(std::string_view text, unsigned radix) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return std::nullopt;
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    const unsigned d = digit_value(text[i]);
    if (d >= radix) return std::nullopt;
    if (magnitude > (limit - d) / radix) return std::nullopt;
    magnitude = magnitude * radix + d;
  }
  if (!negative) return static_cast<std::int64_t>(magnitude);
  // Negating in unsigned arithmetic reaches -2^63 without passing through +2^63.
  return static_cast<std::int64_t>(std::uint64_t{0} - magnitude);
}

std::optional<double> parse_decimal_text(std::string_view text) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  const std::string_view body = text.substr(i);
  const double sign = negative ? -1.0 : 1.0;
  if (equals_ignoring_ascii_case(body, "inf") || equals_ignoring_ascii_case(body, "infinity")) {
    return sign * std::numeric_limits<double>::infinity();
  }
  if (equals_ignoring_ascii_case(body, "nan")) {
    return std::copysign(std::numeric_limits<double>::quiet_NaN(), sign);
  }
  if (!is_decimal_text(body)) return std::nullopt;
  // The text is checked already, so from_chars sees only plain decimal syntax: none of its own
  // spellings (inf, nan(...)) and no sign, which it would treat unlike ours.
  double value = 0.0;
  const auto [end, ec] =
      std::from_chars(body.data(), body.data() + body.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // The value is left unspecified then: too large gives an infinity, too small zero.
    const std::optional<std::int64_t> exponent = leading_digit_exponent(body);
    value = exponent && *exponent >= 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != body.data() + body.size()) {
    return std::nullopt;
  }
  return sign * value;
}

} // namespace

NativeResult builtin_symbol(Vm& vm, const Value* args, std::size_t argc) {
  auto text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  return Value::symbol(vm.interner.get_or_intern(*text));
}

NativeResult builtin_keyword(Vm& vm, const Value* args, std::size_t argc) {
  auto text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  return Value::keyword(vm.interner.get_or_intern(*text));
}

NativeResult builtin_name(Vm& vm, const Value* args, std::size_t argc) {
  const Value x = args[0];
  if (string_text(vm.heap, x) != nullptr) return x;
  if (!x.is_symbol() && !x.is_keyword()) {
    return type_error("name requires a symbol, keyword, or string");
  }
  // Interned texts never move, so the view stays valid across the allocation.
  std::string_view text = vm.interner.resolve(x.as.spur);
  if (const std::size_t slash = text.find('/'); text != "/" && slash != std::string_view::npos) {
    text.remove_prefix(slash + 1);
  }
  return lift_fault(alloc_string(vm.heap, text));
}

NativeResult builtin_namespace(Vm& vm, const Value* args, std::size_t argc) {
  const Value x = args[0];
  if (!x.is_symbol() && !x.is_keyword())
    return type_error("namespace requires a symbol or keyword");
  const std::string_view text = vm.interner.resolve(x.as.spur);
  const std::size_t slash = text.find('/');
  if (slash == std::string_view::npos || slash == 0) return Value::nil();
  return lift_fault(alloc_string(vm.heap, text.substr(0, slash)));
}

NativeResult builtin_parse_int(Vm& vm, const Value* args, std::size_t argc) {
  auto text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  std::int64_t radix = 10;
  if (argc == 2) {
    if (!args[1].is_int()) return type_error("radix must be integer");
    radix = args[1].as.integer;
    // A radix out of range is a caller's mistake, not text that fails to parse: refused with
    // the same kind of error as a radix that is not an integer.
    if (radix < 2 || radix > 36) return type_error("radix must be between 2 and 36");
  }
  const std::optional<std::int64_t> parsed =
      parse_integer_text(*text, static_cast<unsigned>(radix));
  return parsed ? Value::from_int(*parsed) : Value::nil();
}

NativeResult builtin_parse_double(Vm& vm, const Value* args, std::size_t argc) {
  auto text = expect_string(vm, args[0]);
  if (!text) return std::unexpected(std::move(text.error()));
  const std::optional<double> parsed = parse_decimal_text(*text);
  return parsed ? Value::from_float(*parsed) : Value::nil();
}

} // namespace quorvex
