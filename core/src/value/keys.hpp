// Map keys and set elements.
//
// The persistent maps and sets compare keys by identity, so every key and element enters in its
// canonical form: the one hash-consed object with its content (hash_cons.hpp). canonical_key makes
// that form, allocating it when it does not exist yet; lookups only search for it
// (find_canonical_key) and never allocate: when no canonical twin is live, no map or set can hold
// the key, and it is absent.
//
// Functions that may collect (canonical_key and the builders and inserters) keep the values they
// were given and the keys they made rooted while they work, and the contents of a map or set
// passed to them too; everything else the caller still needs must be reachable from the roots.
// Spans passed in must not point into the heap's slot table.
#pragma once

#include <optional>
#include <span>

#include "value/fault.hpp"
#include "value/heap.hpp"

namespace quorvex {

// The canonical form of a value used as a key: strings, sequences, sets, maps and variants become
// their hash-consed equal; scalars, stale keys, already hash-consed objects and objects of other
// kinds come back unchanged. May allocate and collect.
Guarded<Value> canonical_key(Heap& h, Value v);

// The canonical form of v when it exists, without allocating: v itself when it is its own
// canonical form, the hash-consed twin when one is live, none otherwise.
Guarded<std::optional<Value>> find_canonical_key(const Heap& h, Value v);

// The value stored under the key's canonical form; none when absent.
Guarded<std::optional<Value>> map_lookup_value(const Heap& h, const ValueMap& map, Value key);
// Whether the set holds the element's canonical form.
Guarded<bool> set_contains(const Heap& h, const ValueSet& set, Value element);

// A new map with canonical_key(key) bound to value; `map` is unchanged. The caller allocates the
// finished map (as a rule through alloc_map).
Guarded<ValueMap> map_insert_value(Heap& h, const ValueMap& map, Value key, Value value);
// A new map without the key; the same map when the key is absent. Never allocates.
Guarded<ValueMap> map_remove_value(const Heap& h, const ValueMap& map, Value key);
// A new set with canonical_key(element) added.
Guarded<ValueSet> set_insert_value(Heap& h, const ValueSet& set, Value element);
// A new set without the element; the same set when it is absent. Never allocates.
Guarded<ValueSet> set_remove_value(const Heap& h, const ValueSet& set, Value element);

// A set with fresh hash keys holding the canonical form of every value, duplicates collapsed.
Guarded<ValueSet> build_set_from_values(Heap& h, std::span<const Value> values);
// A map with fresh hash keys from alternating keys and values; a later equal key replaces the
// earlier value, and an odd value left at the end is ignored.
Guarded<ValueMap> build_map_from_pairs(Heap& h, std::span<const Value> pairs);

} // namespace quorvex
