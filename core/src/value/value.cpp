#include "value/value.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

namespace quorvex {

namespace {

// Every integer below 2^53 in magnitude is a double, and the shortest digits of such a double
// are exactly the integer's digits (no shorter decimal lies within half an ulp), so it can be
// printed as an integer without going through the shortest-digits search.
constexpr double kExactIntegerLimit = 9007199254740992.0; // 2^53

// Longest text: the smallest subnormal, "-0." followed by 323 zeros and the digit 5.
constexpr std::size_t kFloatTextMax = 352;

} // namespace

void append_float_text(std::string& out, double d) {
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-inf" : "inf";
    return;
  }
  const bool negative = std::signbit(d);
  const double magnitude = std::fabs(d);
  if (magnitude < kExactIntegerLimit && magnitude == std::trunc(magnitude)) {
    if (negative) out += '-';
    append_int_text(out, static_cast<std::int64_t>(magnitude));
    return;
  }

  // Shortest round-trip digits in scientific form: "D[.DDD]e(+|-)XX".
  char sci[40];
  auto res = std::to_chars(sci, sci + sizeof sci, magnitude, std::chars_format::scientific);
  char digits[20];
  std::size_t ndigits = 0;
  const char* p = sci;
  for (; p != res.ptr && *p != 'e'; ++p) {
    if (*p != '.') digits[ndigits++] = *p;
  }
  int exponent = 0;
  if (p != res.ptr) std::from_chars(p + (p[1] == '+' ? 2 : 1), res.ptr, exponent);

  // The decimal point sits after `point` digits (negative: that many zeros before the digits).
  const int point = exponent + 1;
  const auto n = static_cast<int>(ndigits);
  char buf[kFloatTextMax];
  std::size_t len = 0;
  if (negative) buf[len++] = '-';
  if (point <= 0) {
    buf[len++] = '0';
    buf[len++] = '.';
    std::memset(buf + len, '0', static_cast<std::size_t>(-point));
    len += static_cast<std::size_t>(-point);
    std::memcpy(buf + len, digits, ndigits);
    len += ndigits;
  } else if (point >= n) {
    std::memcpy(buf + len, digits, ndigits);
    len += ndigits;
    std::memset(buf + len, '0', static_cast<std::size_t>(point - n));
    len += static_cast<std::size_t>(point - n);
  } else {
    std::memcpy(buf + len, digits, static_cast<std::size_t>(point));
    len += static_cast<std::size_t>(point);
    buf[len++] = '.';
    std::memcpy(buf + len, digits + point, static_cast<std::size_t>(n - point));
    len += static_cast<std::size_t>(n - point);
  }
  out.append(buf, len);
}

std::string float_text(double d) {
  std::string out;
  append_float_text(out, d);
  return out;
}

void format_value_debug(const Value& v, std::string& out) {
  switch (v.tag) {
  case Tag::Nil:
    out += "nil";
    return;
  case Tag::Bool:
    out += (v.as.boolean & 1) != 0 ? "true" : "false";
    return;
  case Tag::Int:
    append_int_text(out, v.as.integer);
    return;
  case Tag::Float:
    append_float_text(out, v.as.floating);
    return;
  case Tag::Ratio:
    append_int_text(out, v.as.ratio.num);
    out += '/';
    append_int_text(out, v.as.ratio.den);
    return;
  case Tag::Symbol:
    out += "sym(Spur(";
    append_uint_text(out, v.as.spur);
    out += "))";
    return;
  case Tag::Keyword:
    out += ":Spur(";
    append_uint_text(out, v.as.spur);
    out += ')';
    return;
  case Tag::Object:
    out += "heap(HeapKey(";
    if (v.as.key.index == 0xFFFFFFFFu) {
      out += "null";
    } else {
      append_uint_text(out, v.as.key.index);
      out += 'v';
      append_uint_text(out, v.as.key.version);
    }
    out += "))";
    return;
  case Tag::NativeFn:
    out += "native(";
    append_uint_text(out, v.as.native);
    out += ')';
    return;
  }
  // A tag byte outside the enumeration cannot be built through Value's constructors.
  out += "<invalid>";
}

} // namespace quorvex
