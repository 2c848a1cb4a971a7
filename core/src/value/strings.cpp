#include "value/strings.hpp"

namespace quorvex {

Guarded<Value> alloc_string(Heap& h, std::string_view text) {
  Guarded<SmallString> s = SmallString::from(text);
  if (!s) return std::unexpected(s.error());
  return Value::object(heap_alloc(h, HeapObject(StringObject{std::move(*s)})));
}

Guarded<Value> alloc_string_from_slice(Heap& h, const char* bytes, std::size_t length) {
  return alloc_string(h, std::string_view(bytes, length));
}

Guarded<Value> alloc_string_owned(Heap& h, std::string&& text) {
  const std::string owned = std::move(text);
  return alloc_string(h, owned);
}

Guarded<Value> make_string_value(Heap& h, std::string&& text) {
  return alloc_string_owned(h, std::move(text));
}

Guarded<Value> stage_string_object(Heap& staging, std::string_view text) {
  Guarded<SmallString> s = SmallString::from(text);
  if (!s) return std::unexpected(s.error());
  return Value::object(heap_insert(staging, HeapObject(StringObject{std::move(*s)})));
}

} // namespace quorvex
