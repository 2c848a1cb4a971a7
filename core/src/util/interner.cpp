#include "util/interner.hpp"

#include <cstring>
#include <string>
#include <utility>

#include "util/hash.hpp"
#include "util/internal_error.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kInitialSlots = 64;
constexpr std::size_t kMaxChunkSize = std::size_t{1} << 20;
// Texts at least this long get a chunk of their own instead of ending the current one early.
constexpr std::size_t kLargeText = 1024;

constexpr std::uint64_t kMix0 = 0xa0761d6478bd642fULL;
constexpr std::uint64_t kMix1 = 0xe7037ed1a0b428dbULL;

inline std::uint64_t mum(std::uint64_t a, std::uint64_t b) {
  const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

inline std::uint64_t read_u32(const char* p) {
  std::uint32_t w;
  std::memcpy(&w, p, 4);
  return w;
}

inline std::uint64_t read_u64(const char* p) {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

[[noreturn]] void fail_to_intern() {
  throw InternalError("Failed to get or intern string");
}

} // namespace

Interner::Interner(std::uint32_t max_ids) : seed_(thread_random_seed().k1), max_ids_(max_ids) {}

Interner::Interner(Interner&& other) noexcept
    : entries_(std::move(other.entries_)), slots_(std::move(other.slots_)),
      chunks_(std::move(other.chunks_)), chunk_next_(std::exchange(other.chunk_next_, nullptr)),
      chunk_left_(std::exchange(other.chunk_left_, 0)),
      next_chunk_size_(std::exchange(other.next_chunk_size_, 4096)), seed_(other.seed_),
      max_ids_(other.max_ids_) {
  other.entries_.clear();
  other.slots_.clear();
  other.chunks_.clear();
}

Interner& Interner::operator=(Interner&& other) noexcept {
  if (this != &other) {
    entries_ = std::move(other.entries_);
    slots_ = std::move(other.slots_);
    chunks_ = std::move(other.chunks_);
    chunk_next_ = std::exchange(other.chunk_next_, nullptr);
    chunk_left_ = std::exchange(other.chunk_left_, 0);
    next_chunk_size_ = std::exchange(other.next_chunk_size_, 4096);
    seed_ = other.seed_;
    max_ids_ = other.max_ids_;
    other.entries_.clear();
    other.slots_.clear();
    other.chunks_.clear();
  }
  return *this;
}

// A multiply-fold hash in the manner of wyhash: short texts (most names) are read as at most
// four overlapping words, without a loop or a variable-length copy.
std::uint64_t Interner::hash_text(std::string_view text) const {
  const char* p = text.data();
  const std::size_t len = text.size();
  std::uint64_t seed = seed_;
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  if (len <= 16) {
    if (len >= 4) {
      const std::size_t mid = (len >> 3) << 2;
      a = (read_u32(p) << 32) | read_u32(p + mid);
      b = (read_u32(p + len - 4) << 32) | read_u32(p + len - 4 - mid);
    } else if (len > 0) {
      const auto* u = reinterpret_cast<const unsigned char*>(p);
      a = (std::uint64_t{u[0]} << 16) | (std::uint64_t{u[len >> 1]} << 8) | u[len - 1];
    }
  } else {
    std::size_t i = len;
    while (i > 16) {
      seed = mum(read_u64(p) ^ kMix1, read_u64(p + 8) ^ seed);
      p += 16;
      i -= 16;
    }
    a = read_u64(p + i - 16);
    b = read_u64(p + i - 8);
  }
  const unsigned __int128 r = static_cast<unsigned __int128>(a ^ kMix1) * (b ^ seed);
  return mum(static_cast<std::uint64_t>(r) ^ kMix0 ^ len,
             static_cast<std::uint64_t>(r >> 64) ^ kMix1);
}

std::size_t Interner::find_slot(std::string_view text, std::uint64_t hash) const {
  const std::size_t mask = slots_.size() - 1;
  const auto high = static_cast<std::uint32_t>(hash >> 32);
  std::size_t i = static_cast<std::uint32_t>(hash) & mask;
  for (;;) {
    const Slot& s = slots_[i];
    if (s.id == 0) return i;
    if (s.hash_high == high) {
      const Entry& e = entries_[s.id - 1];
      if (e.length == text.size() &&
          (text.empty() || std::memcmp(e.text, text.data(), text.size()) == 0)) {
        return i;
      }
    }
    i = (i + 1) & mask;
  }
}

void Interner::grow_table() {
  const std::size_t capacity = slots_.empty() ? kInitialSlots : slots_.size() * 2;
  // Built aside and swapped in, so a failed allocation leaves the old table intact.
  std::vector<Slot> grown(capacity, Slot{0, 0});
  const std::size_t mask = capacity - 1;
  for (const Slot& s : slots_) {
    if (s.id == 0) continue;
    std::size_t i = entries_[s.id - 1].hash_low & mask;
    while (grown[i].id != 0)
      i = (i + 1) & mask;
    grown[i] = s;
  }
  slots_.swap(grown);
}

const char* Interner::store_text(std::string_view text) {
  const std::size_t n = text.size();
  if (n == 0) return "";
  char* dest;
  if (n >= kLargeText) {
    chunks_.push_back(std::make_unique_for_overwrite<char[]>(n));
    dest = chunks_.back().get();
  } else {
    if (n > chunk_left_) {
      chunks_.push_back(std::make_unique_for_overwrite<char[]>(next_chunk_size_));
      chunk_next_ = chunks_.back().get();
      chunk_left_ = next_chunk_size_;
      if (next_chunk_size_ < kMaxChunkSize) next_chunk_size_ *= 2;
    }
    dest = chunk_next_;
    chunk_next_ += n;
    chunk_left_ -= n;
  }
  std::memcpy(dest, text.data(), n);
  return dest;
}

Spur Interner::get_or_intern(std::string_view text) {
  const std::uint64_t hash = hash_text(text);
  std::size_t i = 0;
  if (!slots_.empty()) {
    i = find_slot(text, hash);
    if (slots_[i].id != 0) return slots_[i].id;
  }
  if (entries_.size() >= max_ids_ || text.size() > 0xFFFFFFFFu) fail_to_intern();
  // Keep the table at most half full, so probe runs stay short.
  if ((entries_.size() + 1) * 2 > slots_.size()) {
    grow_table();
    i = find_slot(text, hash);
  }
  const char* stored = store_text(text);
  entries_.push_back(
      Entry{stored, static_cast<std::uint32_t>(text.size()), static_cast<std::uint32_t>(hash)});
  const auto id = static_cast<Spur>(entries_.size());
  slots_[i] = Slot{id, static_cast<std::uint32_t>(hash >> 32)};
  return id;
}

std::optional<Spur> Interner::get(std::string_view text) const {
  if (slots_.empty()) return std::nullopt;
  const Slot& s = slots_[find_slot(text, hash_text(text))];
  if (s.id == 0) return std::nullopt;
  return s.id;
}

std::string_view Interner::resolve(Spur id) const {
  if (id == 0 || id > entries_.size()) [[unlikely]] {
    throw InternalError("interned id " + std::to_string(id) + " was never issued");
  }
  const Entry& e = entries_[id - 1];
  return std::string_view(e.text, e.length);
}

} // namespace quorvex
