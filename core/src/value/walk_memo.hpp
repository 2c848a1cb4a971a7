// What one walk over values (a comparison, a structural hash) remembers about the objects it has
// already worked out.
//
// Values share their parts: `[v v]` applied forty times to its own result reaches one vector by
// 2^40 paths in a few kilobytes, so a walk that recurses along every path is exponential in the
// program that built the value. A walk that has entered more than kMemoAfter objects starts
// keeping its answers by heap key, so that from then on each distinct object (or pair of objects)
// is worked out once. Below that it pays one counter per object, which keeps the common small
// comparison as cheap as before. Only answers whose working out entered at least kWorthKeeping
// objects are kept: a wide, flat value would otherwise fill the table with answers cheaper to
// work out again than to look up. Nothing allocates or collects during such a walk, so the keys
// name the same objects throughout.
#pragma once

#include <cstdint>
#include <unordered_map>

#include "value/value.hpp"

namespace quorvex {

struct HeapKeyHash {
  static std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 31;
    x *= 0x9E3779B97F4A7C15ull;
    return x ^ (x >> 29);
  }
  static std::uint64_t word(HeapKey k) {
    return (static_cast<std::uint64_t>(k.version) << 32) | k.index;
  }
  std::size_t operator()(HeapKey k) const { return mix(word(k)); }
};

struct HeapKeyPair {
  HeapKey a;
  HeapKey b;
  friend bool operator==(const HeapKeyPair&, const HeapKeyPair&) = default;
};

struct HeapKeyPairHash {
  std::size_t operator()(const HeapKeyPair& p) const {
    return HeapKeyHash::mix(HeapKeyHash::word(p.a) ^ HeapKeyHash::mix(HeapKeyHash::word(p.b)));
  }
};

template <class Key, class Answer, class Hash> class WalkMemo {
public:
  static constexpr std::uint64_t kMemoAfter = 1024;
  static constexpr std::uint64_t kWorthKeeping = 4;

  // Counts one object entered; answers the mark that keep() measures the work from.
  std::uint64_t enter() { return ++entered_; }

  const Answer* find(const Key& k) const {
    if (entered_ <= kMemoAfter) [[likely]]
      return nullptr;
    auto it = table_.find(k);
    return it == table_.end() ? nullptr : &it->second;
  }

  // Keeps the answer for k, worked out since enter() answered `mark`.
  void keep(const Key& k, std::uint64_t mark, const Answer& answer) {
    if (entered_ <= kMemoAfter || entered_ - mark < kWorthKeeping) [[likely]]
      return;
    table_.emplace(k, answer);
  }

private:
  std::uint64_t entered_ = 0;
  std::unordered_map<Key, Answer, Hash> table_;
};

} // namespace quorvex
