// UTF-8 helpers shared by the reader, the printers and the string builtins.
//
// Strings of the language are valid UTF-8, but these helpers never assume it: an ill-formed
// sequence decodes as one U+FFFD per maximal subpart (the longest prefix that could still have
// begun a valid sequence, at least one byte), the same substitution that Python's
// errors="replace" applies. Every helper therefore walks any byte string in bounded steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorvex {

inline constexpr char32_t kReplacementChar = 0xFFFD;
inline constexpr std::size_t kUtf8NoOffset = static_cast<std::size_t>(-1);

struct Utf8Decoded {
  char32_t scalar;     // the scalar value, or U+FFFD for an ill-formed sequence
  std::uint8_t length; // bytes consumed, 1 to 4
  bool valid;          // false when `scalar` stands in for an ill-formed sequence
};

// A Unicode scalar value: at most U+10FFFF and not a surrogate.
constexpr bool is_unicode_scalar(char32_t c) {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// Decodes the sequence starting at byte `pos`; `pos` must be below s.size().
Utf8Decoded utf8_decode_slow(std::string_view s, std::size_t pos);
inline Utf8Decoded utf8_decode(std::string_view s, std::size_t pos) {
  const auto b = static_cast<unsigned char>(s[pos]);
  if (b < 0x80) return {b, 1, true};
  return utf8_decode_slow(s, pos);
}

// Number of decode steps over `s`: its scalar count when it is valid.
std::size_t utf8_count_scalars(std::string_view s);

// Byte offset where scalar `n` (from 0) starts; s.size() when n equals the count, and
// kUtf8NoOffset when the text has fewer than n scalars.
std::size_t utf8_offset_of_scalar(std::string_view s, std::size_t n);

// Whether `s` is well-formed UTF-8 (no overlong forms, surrogates or values above U+10FFFF).
bool utf8_is_valid(std::string_view s);

// Bytes needed to encode `c` (a non-scalar counts as U+FFFD: 3).
constexpr std::size_t utf8_encoded_length(char32_t c) {
  if (c < 0x80) return 1;
  if (c < 0x800) return 2;
  if (c < 0x10000 || !is_unicode_scalar(c)) return 3;
  return 4;
}

// Writes the encoding of `c` to out[0..4) and returns its length; a value that is not a scalar
// is written as U+FFFD.
std::size_t utf8_encode(char32_t c, char* out);

// Appends the encoding of `c` (U+FFFD for a non-scalar).
void utf8_append(std::string& out, char32_t c);

} // namespace quorvex
