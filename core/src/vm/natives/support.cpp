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
  return Value::object(heap_alloc(heap, HeapObject(SeqObject{std::move(items), is_vector})));
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

namespace {

// What the scan below would answer, when hash lookups can tell; none when only a scan can.
//
// Set elements are canonical keys, compared by tag and payload. An element equal to v by the
// language's equality is then one of few values: for an integer i, i itself or the float
// (double)i (either zero when i is 0), never a ratio (ratios are reduced with a denominator above
// 1); for a ratio, the same ratio or the float num/den; for nil, booleans, symbols, keywords
// and natives, v itself; for a string, the canonical string of its text. A float can equal
// ratios beyond counting, and collections equal each other across list and vector and across
// kinds of numbers inside, so those take the scan (after the lookup of v itself, which settles
// a member).
std::optional<bool> set_lookup_equal(const Heap& heap, const ValueSet& set, const Value& v) {
  auto has_float = [&](double d) {
    if (set.contains(Value::from_float(d))) return true;
    return d == 0.0 && set.contains(Value::from_float(-d));
  };
  switch (v.tag) {
  case Tag::Nil:
  case Tag::Bool:
  case Tag::Symbol:
  case Tag::Keyword:
  case Tag::NativeFn:
    return set.contains(v);
  case Tag::Int:
    return set.contains(v) || has_float(static_cast<double>(v.as.integer));
  case Tag::Ratio:
    return set.contains(v) ||
           has_float(static_cast<double>(v.as.ratio.num) / static_cast<double>(v.as.ratio.den));
  case Tag::Float:
    if (std::isnan(v.as.floating)) return false;
    if (has_float(v.as.floating)) return true;
    return std::nullopt;
  case Tag::Object:
    if (set.contains(v)) return true;
    if (const StringObject* text = heap_get_as<StringObject>(heap, v)) {
      (void)text;
      Guarded<std::optional<Value>> canonical = find_canonical_key(heap, v);
      if (!canonical) return std::nullopt;
      return canonical->has_value() && set.contains(**canonical);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

} // namespace

std::expected<bool, VmError> set_find_equal(Vm& vm, ValueSet set, const Value& v) {
  if (std::optional<bool> found = set_lookup_equal(vm.heap, set, v)) return *found;
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
