// What every builtin handler shares: the argument-count and kind errors, and typed access to
// argument objects.
//
// Order of checks in every handler: the count first, then the kinds, normally from the first
// argument to the last. A kind error is a TypeError with a fixed text that never includes the
// offending value. An argument that must be a heap object of some kind counts only when its key
// is live and its object has that kind: a stale key is a wrong kind like any other.
//
// The payload pointers answered here point into the heap's slot table. They are valid until the
// next allocation, which may grow the table; copy what is needed (persistent collections copy in
// O(1), SmallString shares its buffer) before allocating.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "value/fault.hpp"
#include "value/heap.hpp"
#include "value/keys.hpp"
#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {

struct Vm;

// The arity error: the lowest acceptable count and the given count, both kept to 8 bits.
inline std::unexpected<VmError> arity_error(std::size_t expected, std::size_t given) {
  return std::unexpected(VmError::arity(static_cast<std::uint8_t>(expected & 0xFF),
                                        static_cast<std::uint8_t>(given & 0xFF)));
}

inline std::unexpected<VmError> type_error(const char* text) {
  return std::unexpected(VmError::type_error(text));
}

// A collection operation whose result would hold more elements than a collection can.
inline constexpr const char* kTooLargeText = "collection too large";
inline std::unexpected<VmError> too_large_error() {
  return std::unexpected(VmError::value_error(kTooLargeText));
}

// The most elements a builtin copies one by one into new storage (reverse, sort, the arguments
// of apply): 2^32, 64 GiB of values. Only a vector that shares its storage is longer, and a copy
// of it is refused as too large rather than left to exhaust memory.
inline constexpr std::uint64_t kMaxCopiedElements = std::uint64_t{1} << 32;

// The payload of a live object of kind T behind `v`, else nullptr.
template <class T> const T* arg_as(const Heap& heap, const Value& v) {
  return heap_get_as<T>(heap, v);
}

// The text of a live string argument, copied out of the heap; else "expected a string".
std::expected<std::string, VmError> expect_string(const Vm& vm, const Value& v);

// A new list or vector object holding `items`. Not hash-consed: equal results are distinct.
Value alloc_seq_object(Heap& heap, ValueVector items, bool is_vector);

// `conj` of one element onto a vector: the new vector object, or none when `coll` is not a
// vector (the builtin then answers). May collect: both values must be roots, as they are while
// still on the value stack.
std::optional<Value> conj_onto_vector(Heap& heap, Value coll, Value x);

// The one-character strings of `text` after its first `skip` Unicode scalar values, appended to
// `out` in order. The text must not point into the heap's slot table (allocations move it).
Guarded<void> append_string_chars(Heap& heap, std::string_view text, std::uint64_t skip,
                                  ValueVector& out);

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
//
// `has(key)` answers whether the set holds exactly that canonical key, so a set kept in another
// structure answers the same.
template <class Has>
std::optional<bool> lookup_equal_forms(const Heap& heap, const Value& v, Has&& has) {
  auto has_float = [&](double d) {
    if (has(Value::from_float(d))) return true;
    return d == 0.0 && has(Value::from_float(-d));
  };
  switch (v.tag) {
  case Tag::Nil:
  case Tag::Bool:
  case Tag::Symbol:
  case Tag::Keyword:
  case Tag::NativeFn:
    return has(v);
  case Tag::Int:
    return has(v) || has_float(static_cast<double>(v.as.integer));
  case Tag::Ratio:
    return has(v) ||
           has_float(static_cast<double>(v.as.ratio.num) / static_cast<double>(v.as.ratio.den));
  case Tag::Float:
    if (std::isnan(v.as.floating)) return false;
    if (has_float(v.as.floating)) return true;
    return std::nullopt;
  case Tag::Object:
    if (has(v)) return true;
    if (const StringObject* text = heap_get_as<StringObject>(heap, v)) {
      (void)text;
      Guarded<std::optional<Value>> canonical = find_canonical_key(heap, v);
      if (!canonical) return std::nullopt;
      return canonical->has_value() && has(**canonical);
    }
    return std::nullopt;
  }
  return std::nullopt;
}

// Whether some element of the set equals `v` by the language's equality: 2.0 finds 2, 1/2 finds
// 0.5. Integers, ratios, the other scalars and strings are found by hash lookups of every form
// an equal element can take; a float that no lookup finds, and collections, by a scan.
std::expected<bool, VmError> set_find_equal(Vm& vm, ValueSet set, const Value& v);

// One new [key value] vector per entry of the map, in its iteration order.
std::expected<ValueVector, VmError> map_entry_vectors(Vm& vm, ValueMap map);

// The most elements `range` and `repeat` make in one call.
inline constexpr std::uint64_t kMaxGeneratedElements = 100'000'000;

// The low 8 bits of an integer's two's-complement form.
inline std::uint8_t low_byte(std::int64_t i) {
  return static_cast<std::uint8_t>(static_cast<std::uint64_t>(i) & 0xFF);
}

} // namespace quorvex
