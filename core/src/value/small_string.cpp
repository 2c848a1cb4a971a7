#include "value/small_string.hpp"

#include <new>

namespace quorvex {

Guarded<SmallString> SmallString::from(std::string_view text) {
  if (text.size() > kMaxSize) return std::unexpected(ValueFault::StringTooLong);
  SmallString s;
  s.len_ = static_cast<std::uint32_t>(text.size());
  if (text.size() <= kInlineMax) {
    if (!text.empty()) std::memcpy(s.bytes_, text.data(), text.size());
    return s;
  }
  void* raw = ::operator new(sizeof(Block) + text.size());
  Block* b = new (raw) Block{1};
  std::memcpy(b->text(), text.data(), text.size());
  std::memcpy(s.bytes_, &b, sizeof b);
  return s;
}

void SmallString::release() noexcept {
  if (is_inline()) return;
  Block* b = block();
  if (--b->refs == 0) {
    b->~Block();
    ::operator delete(static_cast<void*>(b));
  }
  len_ = 0;
}

} // namespace quorvex
