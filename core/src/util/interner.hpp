// The string interner behind symbol and keyword names: every distinct text gets one nonzero
// 32-bit id (a Spur), handed out densely from 1 in interning order.
//
// Texts are copied into chunks that never move or shrink, so a string_view returned by resolve()
// stays valid for the interner's whole life, however many texts are interned afterwards.
// Lookup is an open-addressing table of ids with linear probing; each slot also keeps 32 bits of
// the text's hash, so a probe compares texts only on a likely match. The hash is keyed per thread
// so that crafted names cannot line up in one probe run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace quorvex {

// Interned name id, the same alias that value/value.hpp declares; 0 is never handed out.
using Spur = std::uint32_t;

class Interner {
public:
  // `max_ids` bounds the number of distinct texts (the id space of Spur by default).
  explicit Interner(std::uint32_t max_ids = 0xFFFFFFFFu);
  Interner(const Interner&) = delete;
  Interner& operator=(const Interner&) = delete;
  // A moved-from interner is empty and usable again.
  Interner(Interner&& other) noexcept;
  Interner& operator=(Interner&& other) noexcept;
  ~Interner() = default;

  // The id of `text`, interning a copy of it first if it is new. Throws InternalError("Failed to
  // get or intern string") when the ids are exhausted or the text is too long for one entry.
  Spur get_or_intern(std::string_view text);

  // The id of `text` if it has been interned; never interns.
  std::optional<Spur> get(std::string_view text) const;

  // The text of an id this interner handed out. An id it never issued is an InternalError.
  std::string_view resolve(Spur id) const;

  // The text of `id`, or nothing for an id this interner never issued.
  std::optional<std::string_view> try_resolve(Spur id) const {
    if (id == 0 || id > entries_.size()) return std::nullopt;
    const Entry& e = entries_[id - 1];
    return std::string_view(e.text, e.length);
  }

  std::size_t size() const { return entries_.size(); }

private:
  struct Entry {
    const char* text;
    std::uint32_t length;
    std::uint32_t hash_low; // low half of the text's hash: its home slot
  };
  struct Slot {
    std::uint32_t id;        // 0: empty
    std::uint32_t hash_high; // high half of the text's hash: a cheap filter before comparing
  };

  std::uint64_t hash_text(std::string_view text) const;
  // The slot holding `text`, or the empty slot where it belongs.
  std::size_t find_slot(std::string_view text, std::uint64_t hash) const;
  void grow_table();
  const char* store_text(std::string_view text);

  std::vector<Entry> entries_;
  std::vector<Slot> slots_; // size is a power of two, at most half full
  std::vector<std::unique_ptr<char[]>> chunks_;
  char* chunk_next_ = nullptr;
  std::size_t chunk_left_ = 0;
  std::size_t next_chunk_size_ = 4096;
  std::uint64_t seed_;
  std::uint32_t max_ids_;
};

} // namespace quorvex
