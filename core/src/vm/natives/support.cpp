#include "vm/natives/support.hpp"

#include <string_view>
#include <utility>

#include "value/strings.hpp"
#include "vm/vm.hpp"

namespace quorvex {

std::expected<std::string, VmError> expect_string(const Vm& vm, const Value& v) {
  const std::optional<std::string_view> text = string_view_of(vm.heap, v);
  if (!text) return type_error("expected a string");
  return std::string(*text);
}

Value alloc_seq_object(Heap& heap, ValueVector items, bool is_vector) {
  return Value::object(heap_alloc(heap, HeapObject(SeqObject{std::move(items), is_vector})));
}

} // namespace quorvex
