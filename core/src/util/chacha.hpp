// The random generator behind the `random` effect's host handler: ChaCha with 12 rounds over a
// 256-bit key drawn from the system's random source, one generator per thread, created on the
// thread's first draw and shared by every engine of that thread. Nothing seeds it from outside.
#pragma once

#include <array>
#include <cstdint>

namespace quorvex {

class ChaChaRng {
public:
  static constexpr int kRounds = 12;

  explicit ChaChaRng(const std::array<std::uint32_t, 8>& key) noexcept : key_(key) {}

  std::uint64_t next_u64() noexcept {
    if (pos_ + 2 > block_.size()) refill();
    const std::uint64_t low = block_[pos_];
    const std::uint64_t high = block_[pos_ + 1];
    pos_ += 2;
    return low | (high << 32);
  }

  // 53 random bits scaled into [0, 1): every result is a multiple of 2^-53.
  double next_unit_double() noexcept { return static_cast<double>(next_u64() >> 11) * 0x1.0p-53; }

  // Uniform in [0, range) for range > 0, by widening multiplication with rejection: a draw whose
  // low product half falls above the largest multiple of `range` that fits is drawn again.
  std::uint64_t next_below(std::uint64_t range) noexcept;

private:
  void refill() noexcept;

  std::array<std::uint32_t, 8> key_;
  std::uint64_t counter_ = 0;
  std::array<std::uint32_t, 16> block_{};
  std::size_t pos_ = 16; // block_ is used up
};

// The calling thread's generator.
ChaChaRng& thread_chacha() noexcept;

} // namespace quorvex
