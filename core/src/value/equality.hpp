// The language's equality, behind `=`, `not=`, literal patterns and every builtin that compares.
//
// Numbers compare by value across kinds (1 equals 1.0 and 1/2 equals 0.5; a reduced ratio never
// equals an integer); NaN equals nothing, itself included, and 0.0 equals -0.0. Strings compare
// by bytes; sequences element-wise whatever their list/vector flag; key boxes and variants
// structurally; sets and maps structurally and symmetrically (same size, and every element or
// entry of either finds an equal one in the other); regexes by pattern text; closures,
// templates, continuations, atoms, optics and effects only by identity. A stale key equals
// nothing but the very same key.
//
// This is not the strict equality of hash-consing (hash_cons.hpp), nor the identity of map keys.
// The comparison recurses once per level of nesting; past the depth guard it fails with TooDeep.
// Its cost follows the number of distinct pairs of objects compared, not the number of paths to
// them through shared structure (walk_memo.hpp).
// Long comparisons count their steps on the heap's walk monitor and fail with Interrupted when it
// says stop. It never allocates and never collects.
#pragma once

#include <cstdint>

#include "value/fault.hpp"
#include "value/heap.hpp"

namespace quorvex {

// Equality of two values that are not both objects (a heap object never equals a non-object).
constexpr bool scalar_values_equal(const Value& a, const Value& b) {
  if (a.tag == b.tag) return same_tag_payload_equal(a, b);
  const Value& x = a.tag < b.tag ? a : b; // Int < Float < Ratio in tag order
  const Value& y = a.tag < b.tag ? b : a;
  if (x.tag == Tag::Int && y.tag == Tag::Float) {
    return static_cast<double>(x.as.integer) == y.as.floating;
  }
  if (x.tag == Tag::Int && y.tag == Tag::Ratio) {
    return static_cast<__int128>(x.as.integer) * y.as.ratio.den == y.as.ratio.num;
  }
  if (x.tag == Tag::Float && y.tag == Tag::Ratio) {
    return static_cast<double>(y.as.ratio.num) / static_cast<double>(y.as.ratio.den) ==
           x.as.floating;
  }
  return false;
}

// Two live objects of the same kind that are not the same key.
Guarded<bool> objects_equal(const Heap& h, HeapKey a, HeapKey b);

inline Guarded<bool> values_equal(const Heap& h, const Value& a, const Value& b) {
  if (a.tag != Tag::Object || b.tag != Tag::Object || a.as.key == b.as.key) {
    return scalar_values_equal(a, b);
  }
  return objects_equal(h, a.as.key, b.as.key);
}

} // namespace quorvex
