#include "util/utf8.hpp"

#include <cstring>

namespace quorvex {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

// Whether the 8 bytes at p are all ASCII.
inline bool ascii_word(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return (w & kHighBits) == 0;
}

inline bool is_continuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

} // namespace

Utf8Decoded utf8_decode_slow(std::string_view s, std::size_t pos) {
  constexpr Utf8Decoded kBadByte{kReplacementChar, 1, false};
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos;
  const std::size_t avail = s.size() - pos;
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return {b0, 1, true};

  // The well-formed sequences: the lead byte fixes the length and the range of the second byte
  // (narrower than 80..BF where that excludes overlong forms, surrogates and values past U+10FFFF).
  std::size_t need;
  unsigned char lo = 0x80, hi = 0xBF;
  char32_t c;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 3;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 4;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return kBadByte; // a continuation byte, C0, C1 or F5..FF cannot start a sequence
  }

  if (avail < 2 || p[1] < lo || p[1] > hi) return kBadByte;
  c = (c << 6) | (p[1] & 0x3F);
  for (std::size_t i = 2; i < need; ++i) {
    if (i >= avail || !is_continuation(p[i])) {
      return {kReplacementChar, static_cast<std::uint8_t>(i), false};
    }
    c = (c << 6) | (p[i] & 0x3F);
  }
  return {c, static_cast<std::uint8_t>(need), true};
}

std::size_t utf8_count_scalars(std::string_view s) {
  std::size_t count = 0;
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    if (i + 8 <= n && ascii_word(s.data() + i)) {
      i += 8;
      count += 8;
      continue;
    }
    i += utf8_decode(s, i).length;
    ++count;
  }
  return count;
}

std::size_t utf8_offset_of_scalar(std::string_view s, std::size_t n) {
  std::size_t i = 0;
  const std::size_t size = s.size();
  while (n != 0) {
    if (i >= size) return kUtf8NoOffset;
    if (n >= 8 && i + 8 <= size && ascii_word(s.data() + i)) {
      i += 8;
      n -= 8;
      continue;
    }
    i += utf8_decode(s, i).length;
    --n;
  }
  return i;
}

bool utf8_is_valid(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    if (i + 8 <= n && ascii_word(s.data() + i)) {
      i += 8;
      continue;
    }
    const Utf8Decoded d = utf8_decode(s, i);
    if (!d.valid) return false;
    i += d.length;
  }
  return true;
}

std::size_t utf8_encode(char32_t c, char* out) {
  if (!is_unicode_scalar(c)) c = kReplacementChar;
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

void utf8_append(std::string& out, char32_t c) {
  char buf[4];
  out.append(buf, utf8_encode(c, buf));
}

} // namespace quorvex
