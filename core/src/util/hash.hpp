// SipHash-1-3 (keyed hashing of values and strings) and the Fx hash (tables keyed by interned ids).
// The streaming hasher is a byte stream: writing the same bytes in any split gives the same digest,
// and the typed writes are little-endian, so digests are stable across platforms.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quorvex {

struct SipKeys {
  std::uint64_t k0 = 0;
  std::uint64_t k1 = 0;
};

class SipHasher13 {
 public:
  SipHasher13() : SipHasher13(0, 0) {}
  explicit SipHasher13(SipKeys keys) : SipHasher13(keys.k0, keys.k1) {}
  SipHasher13(std::uint64_t k0, std::uint64_t k1);

  void write(const void* data, std::size_t len);
  void write_u8(std::uint8_t v) { write(&v, 1); }
  void write_u32(std::uint32_t v);
  void write_u64(std::uint64_t v);
  void write_i64(std::int64_t v) { write_u64(static_cast<std::uint64_t>(v)); }
  void write_usize(std::size_t v) { write_u64(static_cast<std::uint64_t>(v)); }
  // Text followed by the single byte 0xFF, so that adjacent strings cannot run together.
  void write_str(std::string_view s) {
    write(s.data(), s.size());
    write_u8(0xFF);
  }
  std::uint64_t finish() const;

 private:
  void compress(std::uint64_t m);

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t tail_ = 0;   // pending bytes, little-endian
  std::size_t ntail_ = 0;    // how many bytes of tail_ are pending
  std::uint64_t length_ = 0; // total bytes written
};

std::uint64_t siphash13(std::uint64_t k0, std::uint64_t k1, const void* data, std::size_t len);

// A fresh key pair for a new hash map or set: the thread's random pair, drawn once from the
// system's random source, whose first half grows by one for every pair handed out.
SipKeys next_random_keys();

// The thread's random 16 bytes, as drawn once (also the seed source of other per-thread state).
SipKeys thread_random_seed();

// Fx hash: multiply by 0x93d765dd and rotate left by 15, word by word.
inline std::uint32_t fx_rotl32(std::uint32_t x, int r) { return (x << r) | (x >> (32 - r)); }

inline std::uint64_t fx_hash_u64(std::uint64_t h, std::uint64_t word) {
  constexpr std::uint64_t kSeed = 0x93d765ddULL;
  h = (h + word) * kSeed;
  return (h << 15) | (h >> 49);
}

inline std::uint64_t fx_hash_u32(std::uint32_t word) { return fx_hash_u64(0, word); }

struct FxHash {
  std::size_t operator()(std::uint32_t v) const { return static_cast<std::size_t>(fx_hash_u32(v)); }
  std::size_t operator()(std::uint64_t v) const { return static_cast<std::size_t>(fx_hash_u64(0, v)); }
};

}  // namespace quorvex
