#include "util/hash.hpp"

#include <sys/random.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>

namespace quorvex {

namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) { return (x << b) | (x >> (64 - b)); }

inline void sip_round(std::uint64_t& v0, std::uint64_t& v1, std::uint64_t& v2, std::uint64_t& v3) {
  v0 += v1;
  v1 = rotl(v1, 13);
  v1 ^= v0;
  v0 = rotl(v0, 32);
  v2 += v3;
  v3 = rotl(v3, 16);
  v3 ^= v2;
  v0 += v3;
  v3 = rotl(v3, 21);
  v3 ^= v0;
  v2 += v1;
  v1 = rotl(v1, 17);
  v1 ^= v2;
  v2 = rotl(v2, 32);
}

SipKeys draw_random_keys() {
  unsigned char buf[16];
  std::size_t got = 0;
  while (got < sizeof buf) {
    ssize_t n = getrandom(buf + got, sizeof buf - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  SipKeys k;
  if (got < sizeof buf) {
    // No random source: fall back to the clock and an address so that hashing still works.
    auto t = static_cast<std::uint64_t>(
        std::chrono::high_resolution_clock::now().time_since_epoch().count());
    k.k0 = t ^ reinterpret_cast<std::uintptr_t>(&k);
    k.k1 = rotl(t, 29) * 0x9E3779B97F4A7C15ULL;
    return k;
  }
  std::memcpy(&k.k0, buf, 8);
  std::memcpy(&k.k1, buf + 8, 8);
  return k;
}

struct ThreadKeys {
  SipKeys seed = draw_random_keys();
  SipKeys next = seed;
};

ThreadKeys& thread_keys() {
  thread_local ThreadKeys keys;
  return keys;
}

}  // namespace

SipHasher13::SipHasher13(std::uint64_t k0, std::uint64_t k1)
    : v0_(k0 ^ 0x736f6d6570736575ULL),
      v1_(k1 ^ 0x646f72616e646f6dULL),
      v2_(k0 ^ 0x6c7967656e657261ULL),
      v3_(k1 ^ 0x7465646279746573ULL) {}

void SipHasher13::compress(std::uint64_t m) {
  v3_ ^= m;
  sip_round(v0_, v1_, v2_, v3_);
  v0_ ^= m;
}

void SipHasher13::write(const void* data, std::size_t len) {
  const auto* p = static_cast<const unsigned char*>(data);
  length_ += len;
  // Fill a partly filled word first.
  while (ntail_ != 0 && len != 0) {
    tail_ |= static_cast<std::uint64_t>(*p) << (8 * ntail_);
    ++p;
    --len;
    if (++ntail_ == 8) {
      compress(tail_);
      tail_ = 0;
      ntail_ = 0;
    }
  }
  while (len >= 8) {
    std::uint64_t m;
    std::memcpy(&m, p, 8);
    if constexpr (std::endian::native == std::endian::big) m = __builtin_bswap64(m);
    compress(m);
    p += 8;
    len -= 8;
  }
  while (len != 0) {
    tail_ |= static_cast<std::uint64_t>(*p) << (8 * ntail_);
    ++ntail_;
    ++p;
    --len;
  }
}

void SipHasher13::write_u32(std::uint32_t v) {
  unsigned char b[4];
  for (int i = 0; i < 4; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  write(b, 4);
}

void SipHasher13::write_u64(std::uint64_t v) {
  unsigned char b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<unsigned char>(v >> (8 * i));
  write(b, 8);
}

std::uint64_t SipHasher13::finish() const {
  std::uint64_t v0 = v0_, v1 = v1_, v2 = v2_, v3 = v3_;
  std::uint64_t b = ((length_ & 0xFF) << 56) | tail_;
  v3 ^= b;
  sip_round(v0, v1, v2, v3);
  v0 ^= b;
  v2 ^= 0xFF;
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  sip_round(v0, v1, v2, v3);
  return v0 ^ v1 ^ v2 ^ v3;
}

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t len) {
  SipHasher13 h(k0, k1);
  h.write(data, len);
  return h.finish();
}

SipKeys next_random_keys() {
  ThreadKeys& t = thread_keys();
  SipKeys k = t.next;
  t.next.k0 += 1;
  return k;
}

SipKeys thread_random_seed() { return thread_keys().seed; }

}  // namespace quorvex
