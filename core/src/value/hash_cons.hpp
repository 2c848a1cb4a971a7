// Hash-consing: one live object per content for strings, sequences, sets, maps and variants that
// go through these paths.
//
// The persistent maps and sets compare keys by identity (hash_value / key_equal in objects.hpp).
// Hash-consing is what gives map keys and set elements content semantics: canonical_key
// (value/keys.hpp) routes every key through the paths below, so two equal strings or vectors
// become the same object and hence the same key.
//
// Each kind has a table from a 64-bit structural hash to one key. An allocation through these
// paths hashes the new payload, and answers the recorded object when it is live and strictly
// equal (objects_equal_for_intern: same kinds, no cross-kind numbers); otherwise it inserts the
// payload with its hash cached in the entry and records it, replacing any earlier entry for that
// hash. A payload that cannot be hashed structurally (it holds a closure, an atom or any other
// identity-only object, or a stale key) is inserted as a plain new object.
//
// Structural hashes are SipHash-1-3 with zero keys over a fixed byte feed per kind; set and map
// hashes combine their elements order-independently. An element that carries a cached hash is
// not rehashed. Hashing and the strict comparison recurse once per level of nesting of objects
// that are not hash-consed themselves; past the depth guard they fail with TooDeep. Long ones
// count their steps on the heap's walk monitor and fail with Interrupted when it says stop. Their
// cost follows the number of distinct objects (pairs of objects) reached, not the number of paths
// to them through shared structure (walk_memo.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "value/fault.hpp"
#include "value/heap.hpp"

namespace quorvex {

// The structural hash of a value: none when it cannot be hashed structurally.
Guarded<std::optional<std::uint64_t>> hash_value_structural(const Heap& h, const Value& v);
// The structural hash of a Seq, Set, Map or Variant payload; none for every other kind.
Guarded<std::optional<std::uint64_t>> hash_heap_object(const Heap& h, const HeapObject& o);
// The hash under which the string table records a text (byte 7, the text, byte 0xFF).
std::uint64_t string_intern_hash(std::string_view text);

// The strict equality that confirms a table hit: equal tags (1 and 1.0 differ), objects by
// content for strings, sequences (flag included), sets, maps and variants, by key otherwise.
Guarded<bool> values_equal_for_intern(const Heap& h, const Value& a, const Value& b);
Guarded<bool> objects_equal_for_intern(const Heap& h, const HeapObject& a, const HeapObject& b);

// The intern paths. None of them collects.
Guarded<HeapKey> intern_seq(Heap& h, SeqObject payload);
Guarded<HeapKey> intern_set(Heap& h, SetObject payload);
Guarded<HeapKey> intern_map(Heap& h, MapObject payload);
Guarded<HeapKey> intern_variant(Heap& h, Variant payload);
HeapKey intern_string(Heap& h, SmallString text);

// The live hash-consed object with the same content as `o` (a String, Seq, Set, Map or Variant
// payload), without inserting anything; none when there is no such object.
Guarded<std::optional<HeapKey>> find_interned(const Heap& h, const HeapObject& o);

// The hash-consed equal of the live String, Seq, Set, Map or Variant object `source`, found or
// made from a copy of its payload (collecting first when due, the copy's elements rooted).
// A payload that cannot be hashed structurally has no content identity: the answer is `source`
// itself, so that such a value used as a key matches exactly itself.
Guarded<HeapKey> intern_copy_of(Heap& h, HeapKey source);
// What intern_copy_of would answer, without making anything: none when it would have to insert.
Guarded<std::optional<HeapKey>> find_copy_of(const Heap& h, HeapKey source);

// Collect when due (the payload's elements are roots meanwhile), then hash-cons.
Guarded<Value> alloc_seq(Heap& h, ValueVector items, bool is_vector);
Guarded<Value> alloc_set(Heap& h, ValueSet set);
Guarded<Value> alloc_map(Heap& h, ValueMap map);
Guarded<Value> alloc_variant(Heap& h, std::vector<Value> fields, VariantTag tag);

} // namespace quorvex
