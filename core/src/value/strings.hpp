// String objects: how they come into existence and how their text is read.
//
// Strings are not hash-consed when made: two evaluations that build "ab" give two objects, equal
// under values_equal. A string becomes the canonical object for its text only when it is used as
// a map key or set element (canonical_key). Texts longer than a signed 32-bit byte count are
// refused with StringTooLong.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "value/fault.hpp"
#include "value/heap.hpp"

namespace quorvex {

// A new String object holding a copy of `text`; may collect first (heap_alloc).
Guarded<Value> alloc_string(Heap& h, std::string_view text);
// The same, from a slice of existing text (substrings, single characters).
Guarded<Value> alloc_string_from_slice(Heap& h, const char* bytes, std::size_t length);
// The same, from an owned text (the machine's own code and the builtins).
Guarded<Value> alloc_string_owned(Heap& h, std::string&& text);
// The same, the entry used by the host layer.
Guarded<Value> make_string_value(Heap& h, std::string&& text);
// A string literal of a compilation: inserted into the staging heap without a collection check.
Guarded<Value> stage_string_object(Heap& staging, std::string_view text);

// The text of a live String object, else nullptr. Valid until the next allocation.
inline const SmallString* string_text(const Heap& h, const Value& v) {
  const StringObject* s = heap_get_as<StringObject>(h, v);
  return s != nullptr ? &s->text : nullptr;
}
inline std::optional<std::string_view> string_view_of(const Heap& h, const Value& v) {
  const SmallString* t = string_text(h, v);
  if (t == nullptr) return std::nullopt;
  return t->view();
}

} // namespace quorvex
