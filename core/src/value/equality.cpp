#include "value/equality.hpp"

#include "regex/regex.hpp"
#include "util/depth_guard.hpp"
#include "value/walk_memo.hpp"

namespace quorvex {

namespace {

// Deep and Stop end the comparison: past the depth guard, or stopped by the walk monitor.
enum class Eq3 : std::uint8_t { No, Yes, Deep, Stop };

inline bool ends(Eq3 r) {
  return r == Eq3::Deep || r == Eq3::Stop;
}

// One comparison: the heap, and the answers it keeps for pairs of objects met again through
// shared structure. A pair's answer is kept whichever it is: scanning a set or a map for an
// equal element goes on past an unequal pair.
struct Walk {
  const Heap& h;
  WalkMemo<HeapKeyPair, bool, HeapKeyPairHash> memo;
};

Eq3 eq_objects(Walk& w, HeapKey a, HeapKey b);

inline Eq3 eq_values(Walk& w, const Value& a, const Value& b) {
  if (a.tag != Tag::Object || b.tag != Tag::Object || a.as.key == b.as.key) {
    return scalar_values_equal(a, b) ? Eq3::Yes : Eq3::No;
  }
  return eq_objects(w, a.as.key, b.as.key);
}

// Whether `set` holds an element equal to x. A key-equal element is equal (key equality implies
// language equality), so the identity lookup settles the common case; numbers of other kinds
// (1 and 1.0) and uncanonical objects need the scan.
Eq3 set_has_equal(Walk& w, const ValueSet& set, const Value& x) {
  if (set.contains(x)) return Eq3::Yes;
  for (const Value& y : set) {
    if (walk_interrupted(w.h)) return Eq3::Stop;
    const Eq3 r = eq_values(w, x, y);
    if (r != Eq3::No) return r;
  }
  return Eq3::No;
}

// The value stored under the first key of `map` equal to k, or nullptr.
Eq3 map_find_equal(Walk& w, const ValueMap& map, const Value& k, const Value*& out) {
  out = map.find(k);
  if (out != nullptr) return Eq3::Yes;
  for (const auto& entry : map) {
    if (walk_interrupted(w.h)) return Eq3::Stop;
    const Eq3 r = eq_values(w, k, entry.first);
    if (ends(r)) return r;
    if (r == Eq3::Yes) {
      out = &entry.second;
      return r;
    }
  }
  return Eq3::No;
}

// Whether every entry of x has an equal key in y whose value is equal.
Eq3 map_entries_found(Walk& w, const ValueMap& x, const ValueMap& y) {
  for (const auto& entry : x) {
    if (walk_interrupted(w.h)) return Eq3::Stop;
    const Value* other = nullptr;
    const Eq3 found = map_find_equal(w, y, entry.first, other);
    if (found != Eq3::Yes) return found;
    const Eq3 r = eq_values(w, entry.second, *other);
    if (r != Eq3::Yes) return r;
  }
  return Eq3::Yes;
}

Eq3 eq_payloads(Walk& w, const HeapObject& a, const HeapObject& b) {
  switch (a.kind()) {
  case ObjectKind::Seq: {
    const ValueVector& x = a.get_if<SeqObject>()->items;
    const ValueVector& y = b.get_if<SeqObject>()->items;
    if (x.size() != y.size()) return Eq3::No;
    if (x.ptr_eq(y)) {
      // Shared structure holds the same values; only NaN could still differ.
      bool has_float = false;
      for (const Value& v : x) {
        if (walk_interrupted(w.h)) return Eq3::Stop;
        has_float |= v.tag == Tag::Float;
      }
      if (!has_float) return Eq3::Yes;
    }
    auto it = y.begin();
    for (const Value& v : x) {
      if (walk_interrupted(w.h)) return Eq3::Stop;
      const Eq3 r = eq_values(w, v, *it);
      if (r != Eq3::Yes) return r;
      ++it;
    }
    return Eq3::Yes;
  }
  case ObjectKind::Set: {
    // Symmetric: every element of either set has an equal element in the other.
    const ValueSet& x = a.get_if<SetObject>()->set;
    const ValueSet& y = b.get_if<SetObject>()->set;
    if (x.size() != y.size()) return Eq3::No;
    for (const Value& v : x) {
      if (walk_interrupted(w.h)) return Eq3::Stop;
      const Eq3 r = set_has_equal(w, y, v);
      if (r != Eq3::Yes) return r;
    }
    for (const Value& v : y) {
      if (walk_interrupted(w.h)) return Eq3::Stop;
      const Eq3 r = set_has_equal(w, x, v);
      if (r != Eq3::Yes) return r;
    }
    return Eq3::Yes;
  }
  case ObjectKind::Map: {
    // Symmetric like sets: every entry of either map finds an equal key in the other with an
    // equal value. One direction would do but for maps holding keys of different kinds that are
    // equal as numbers (1 and 1.0).
    const ValueMap& x = a.get_if<MapObject>()->map;
    const ValueMap& y = b.get_if<MapObject>()->map;
    if (x.size() != y.size()) return Eq3::No;
    if (const Eq3 r = map_entries_found(w, x, y); r != Eq3::Yes) return r;
    return map_entries_found(w, y, x);
  }
  case ObjectKind::KeyBox:
    return eq_values(w, a.get_if<KeyBox>()->value, b.get_if<KeyBox>()->value);
  case ObjectKind::Variant: {
    const Variant& x = *a.get_if<Variant>();
    const Variant& y = *b.get_if<Variant>();
    if (x.tag != y.tag || x.fields.size() != y.fields.size()) return Eq3::No;
    for (std::size_t i = 0; i < x.fields.size(); ++i) {
      if (walk_interrupted(w.h)) return Eq3::Stop;
      const Eq3 r = eq_values(w, x.fields[i], y.fields[i]);
      if (r != Eq3::Yes) return r;
    }
    return Eq3::Yes;
  }
  default:
    return Eq3::No;
  }
}

Eq3 eq_objects(Walk& w, HeapKey ka, HeapKey kb) {
  const HeapObject* a = heap_get(w.h, ka);
  const HeapObject* b = heap_get(w.h, kb);
  if (a == nullptr || b == nullptr || a->kind() != b->kind()) return Eq3::No;
  switch (a->kind()) {
  case ObjectKind::String:
    return small_string_eq(a->get_if<StringObject>()->text, b->get_if<StringObject>()->text)
               ? Eq3::Yes
               : Eq3::No;
  case ObjectKind::Regex: {
    const auto& x = a->get_if<RegexObject>()->regex;
    const auto& y = b->get_if<RegexObject>()->regex;
    if (x == y) return Eq3::Yes;
    if (x == nullptr || y == nullptr) return Eq3::No;
    return x->pattern() == y->pattern() ? Eq3::Yes : Eq3::No;
  }
  case ObjectKind::Seq:
  case ObjectKind::Set:
  case ObjectKind::Map:
  case ObjectKind::KeyBox:
  case ObjectKind::Variant: {
    const std::uint64_t mark = w.memo.enter();
    if (const bool* known = w.memo.find({ka, kb})) return *known ? Eq3::Yes : Eq3::No;
    DepthGuard guard;
    if (!guard) return Eq3::Deep;
    const Eq3 r = eq_payloads(w, *a, *b);
    if (!ends(r)) w.memo.keep({ka, kb}, mark, r == Eq3::Yes);
    return r;
  }
  default:
    return Eq3::No;
  }
}

} // namespace

Guarded<bool> objects_equal(const Heap& h, HeapKey a, HeapKey b) {
  if (a == b) return true;
  Walk w{h, {}};
  const Eq3 r = eq_objects(w, a, b);
  if (r == Eq3::Deep) return std::unexpected(ValueFault::TooDeep);
  if (r == Eq3::Stop) return std::unexpected(ValueFault::Interrupted);
  return r == Eq3::Yes;
}

} // namespace quorvex
