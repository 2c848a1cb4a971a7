#include "util/chacha.hpp"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace quorvex {

namespace {

constexpr std::uint32_t rotl32(std::uint32_t x, int n) {
  return (x << n) | (x >> (32 - n));
}

inline void quarter_round(std::uint32_t* s, int a, int b, int c, int d) {
  s[a] += s[b];
  s[d] = rotl32(s[d] ^ s[a], 16);
  s[c] += s[d];
  s[b] = rotl32(s[b] ^ s[c], 12);
  s[a] += s[b];
  s[d] = rotl32(s[d] ^ s[a], 8);
  s[c] += s[d];
  s[b] = rotl32(s[b] ^ s[c], 7);
}

std::array<std::uint32_t, 8> draw_key() {
  std::array<std::uint32_t, 8> key{};
  auto* bytes = reinterpret_cast<unsigned char*>(key.data());
  std::size_t got = 0;
  while (got < sizeof key) {
    const ssize_t n = getrandom(bytes + got, sizeof key - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  if (got < sizeof key) {
    // No random source: the clock and an address still give every thread its own sequence.
    std::uint64_t t = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    t ^= reinterpret_cast<std::uintptr_t>(&key);
    for (std::uint32_t& word : key) {
      t = t * 6364136223846793005ULL + 1442695040888963407ULL;
      word = static_cast<std::uint32_t>(t >> 32);
    }
  }
  return key;
}

} // namespace

void ChaChaRng::refill() noexcept {
  // "expand 32-byte k", the key, a 64-bit block counter and a zero nonce.
  std::array<std::uint32_t, 16> input = {0x61707865,
                                         0x3320646e,
                                         0x79622d32,
                                         0x6b206574,
                                         key_[0],
                                         key_[1],
                                         key_[2],
                                         key_[3],
                                         key_[4],
                                         key_[5],
                                         key_[6],
                                         key_[7],
                                         static_cast<std::uint32_t>(counter_),
                                         static_cast<std::uint32_t>(counter_ >> 32),
                                         0,
                                         0};
  std::array<std::uint32_t, 16> s = input;
  for (int i = 0; i < kRounds; i += 2) {
    quarter_round(s.data(), 0, 4, 8, 12);
    quarter_round(s.data(), 1, 5, 9, 13);
    quarter_round(s.data(), 2, 6, 10, 14);
    quarter_round(s.data(), 3, 7, 11, 15);
    quarter_round(s.data(), 0, 5, 10, 15);
    quarter_round(s.data(), 1, 6, 11, 12);
    quarter_round(s.data(), 2, 7, 8, 13);
    quarter_round(s.data(), 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i)
    block_[i] = s[i] + input[i];
  ++counter_;
  pos_ = 0;
}

std::uint64_t ChaChaRng::next_below(std::uint64_t range) noexcept {
  const std::uint64_t zone = (range << __builtin_clzll(range)) - 1;
  for (;;) {
    const unsigned __int128 product =
        static_cast<unsigned __int128>(next_u64()) * static_cast<unsigned __int128>(range);
    if (static_cast<std::uint64_t>(product) <= zone) {
      return static_cast<std::uint64_t>(product >> 64);
    }
  }
}

ChaChaRng& thread_chacha() noexcept {
  thread_local ChaChaRng rng(draw_key());
  return rng;
}

} // namespace quorvex
