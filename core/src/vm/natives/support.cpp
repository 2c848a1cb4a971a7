#include "vm/natives/support.hpp"

#include <cmath>
#include <optional>
#include <string_view>
#include <utility>

#include "util/utf8.hpp"
#include "value/equality.hpp"
#include "value/keys.hpp"
#include "value/strings.hpp"
#include "vm/vm.hpp"

namespace quorvex {

std::expected<std::string, VmError> expect_string(const Vm& vm, const Value& v) {
  const std::optional<std::string_view> text = string_view_of(vm.heap, v);
  if (!text) return type_error("expected a string");
  return std::string(*text);
}

Value alloc_seq_object(Heap& heap, ValueVector items, bool is_vector) {
  return Value::object(heap_alloc_seq(heap, std::move(items), is_vector));
}

Guarded<void> append_string_chars(Heap& heap, std::string_view text, std::uint64_t skip,
                                  ValueVector& out) {
  std::uint64_t skipped = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t length = utf8_decode(text, pos).length;
    if (skipped < skip) {
      ++skipped;
    } else {
      Guarded<Value> ch = alloc_string_from_slice(heap, text.data() + pos, length);
      if (!ch) return std::unexpected(ch.error());
      out.push_back_mut(*ch);
    }
    pos += length;
  }
  return {};
}

std::expected<bool, VmError> set_find_equal(Vm& vm, ValueSet set, const Value& v) {
  if (std::optional<bool> found =
          lookup_equal_forms(vm.heap, v, [&](const Value& key) { return set.contains(key); }))
    return *found;
  for (const Value& element : set) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    Guarded<bool> same = values_equal(vm.heap, element, v);
    if (!same) return std::unexpected(to_vm_error(same.error()));
    if (*same) return true;
  }
  return false;
}

std::expected<ValueVector, VmError> map_entry_vectors(Vm& vm, ValueMap map) {
  ValueVector pairs;
  for (const auto& entry : map) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    const Value pair[2] = {entry.first, entry.second};
    pairs.push_back_mut(alloc_seq_object(vm.heap, ValueVector::from_range(pair, pair + 2), true));
  }
  return pairs;
}

} // namespace quorvex
