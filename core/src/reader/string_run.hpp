// The scan both readers of text (the form reader and parse_edn's data route) make inside a
// string literal, where most bytes need no attention.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvex {

// The length of the leading run of [p, end) inside a string literal that needs no attention:
// anything but '"' and '\\', and, for a reader that keeps lines and columns (kPositions), ASCII
// other than a line feed (which moves the line count; other bytes beyond ASCII are stepped over
// one character at a time). Eight bytes at a time where words are little-endian: a borrow can
// flag a byte above a true match, never below it, so the lowest flag is exact.
template <bool kPositions>
[[gnu::always_inline]] inline std::uint32_t string_run(const char* p, const char* end) {
  const char* const start = p;
#if defined(__SSE2__)
  // Sixteen bytes at a time where the machine has the instructions for it: one compare per
  // byte that needs attention, and the mask's lowest bit is the first of them.
  {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i line_feed = _mm_set1_epi8('\n');
    while (end - p >= 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      __m128i stop = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
      if constexpr (kPositions)
        stop = _mm_or_si128(_mm_or_si128(stop, v), _mm_cmpeq_epi8(v, line_feed));
      const auto mask = static_cast<unsigned>(_mm_movemask_epi8(stop));
      if (mask != 0) return static_cast<std::uint32_t>((p - start) + std::countr_zero(mask));
      p += 16;
    }
  }
#endif
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
    auto zero_bytes = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      std::uint64_t stop = zero_bytes(w ^ (kOnes * '"')) | zero_bytes(w ^ (kOnes * '\\'));
      if constexpr (kPositions) stop |= (w & kHigh) | zero_bytes(w ^ (kOnes * '\n'));
      if (stop != 0) return static_cast<std::uint32_t>((p - start) + std::countr_zero(stop) / 8);
      p += 8;
    }
  }
  while (p < end) {
    auto b = static_cast<unsigned char>(*p);
    if (b == '"' || b == '\\') break;
    if (kPositions && (b == '\n' || b >= 0x80)) break;
    ++p;
  }
  return static_cast<std::uint32_t>(p - start);
}

} // namespace quorvex
