// The text of a string object: UTF-8 bytes, immutable once made.
//
// Up to 11 bytes live inline in the 16-byte record; longer text lives in one heap block with a
// reference count, shared by every copy (copying a string object's payload for an update costs a
// count increment, not a byte copy). The count is not atomic: a string belongs to one machine,
// and a machine runs on one thread. The form depends on the byte length only and never shows in
// behaviour.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "value/fault.hpp"

namespace quorvex {

class SmallString {
public:
  static constexpr std::size_t kInlineMax = 11;
  // Lengths are signed 32-bit counts wherever text crosses a boundary; longer text is refused.
  static constexpr std::size_t kMaxSize = 0x7FFFFFFF;

  SmallString() noexcept = default;

  // A copy of `text`; StringTooLong beyond kMaxSize.
  static Guarded<SmallString> from(std::string_view text);

  SmallString(const SmallString& other) noexcept : len_(other.len_) {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    if (!is_inline()) ++block()->refs;
  }
  SmallString(SmallString&& other) noexcept : len_(other.len_) {
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    other.len_ = 0;
  }
  SmallString& operator=(const SmallString& other) noexcept {
    SmallString copy(other);
    swap(copy);
    return *this;
  }
  SmallString& operator=(SmallString&& other) noexcept {
    SmallString moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~SmallString() { release(); }

  void swap(SmallString& other) noexcept {
    unsigned char tmp[sizeof bytes_];
    std::memcpy(tmp, bytes_, sizeof bytes_);
    std::memcpy(bytes_, other.bytes_, sizeof bytes_);
    std::memcpy(other.bytes_, tmp, sizeof bytes_);
    std::swap(len_, other.len_);
  }

  std::size_t size() const noexcept { return len_; }
  bool empty() const noexcept { return len_ == 0; }
  bool is_inline() const noexcept { return len_ <= kInlineMax; }
  const char* data() const noexcept {
    return is_inline() ? reinterpret_cast<const char*>(bytes_) : block()->text();
  }
  std::string_view view() const noexcept { return {data(), len_}; }

  // Whether both hold the same shared block (false for inline text).
  bool shares_buffer_with(const SmallString& other) const noexcept {
    return !is_inline() && !other.is_inline() && block() == other.block();
  }

  friend bool operator==(const SmallString& a, const SmallString& b) noexcept {
    return a.len_ == b.len_ && std::memcmp(a.data(), b.data(), a.len_) == 0;
  }

private:
  struct Block {
    std::size_t refs;
    char* text() { return reinterpret_cast<char*>(this + 1); }
  };

  Block* block() const noexcept {
    Block* b;
    std::memcpy(&b, bytes_, sizeof b);
    return b;
  }
  void release() noexcept;

  // Inline bytes, or (len_ > kInlineMax) the block pointer in the first eight bytes.
  alignas(8) unsigned char bytes_[12] = {};
  std::uint32_t len_ = 0;
};

static_assert(sizeof(SmallString) == 16);

// Byte equality of two texts, lengths first.
inline bool small_string_eq(const SmallString& a, const SmallString& b) {
  return a == b;
}

} // namespace quorvex
