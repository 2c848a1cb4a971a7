#include "value/keys.hpp"

#include "value/hash_cons.hpp"

namespace quorvex {

namespace {

// Whether canonical_key(v) would have to allocate.
bool needs_canonical_copy(const Heap& h, const Value& v) {
  if (v.tag != Tag::Object) return false;
  const HeapEntry* e = heap_entry(h, v.as.key);
  if (e == nullptr || e->cached_hash) return false;
  switch (e->object.kind()) {
  case ObjectKind::String:
  case ObjectKind::Seq:
  case ObjectKind::Set:
  case ObjectKind::Map:
  case ObjectKind::Variant:
    return true;
  default:
    return false;
  }
}

// Roots the contents of a collection that is not (necessarily) in the heap, but only when a
// collection could actually happen: rooting costs a pass over the contents.
void root_map_if_due(Heap& h, RootScope& scope, const ValueMap& map) {
  if (!collection_due(h)) return;
  for (const auto& entry : map) {
    scope.add(entry.first);
    scope.add(entry.second);
  }
}

void root_set_if_due(Heap& h, RootScope& scope, const ValueSet& set) {
  if (!collection_due(h)) return;
  for (const Value& v : set)
    scope.add(v);
}

} // namespace

Guarded<Value> canonical_key(Heap& h, Value v) {
  if (!needs_canonical_copy(h, v)) return v;
  Guarded<HeapKey> k = intern_copy_of(h, v.as.key);
  if (!k) return std::unexpected(k.error());
  return Value::object(*k);
}

Guarded<std::optional<Value>> find_canonical_key(const Heap& h, Value v) {
  using Found = std::optional<Value>;
  if (!needs_canonical_copy(h, v)) return Found(v);
  Guarded<std::optional<HeapKey>> k = find_copy_of(h, v.as.key);
  if (!k) return std::unexpected(k.error());
  if (!*k) return Found();
  return Found(Value::object(**k));
}

Guarded<std::optional<Value>> map_lookup_value(const Heap& h, const ValueMap& map, Value key) {
  using Found = std::optional<Value>;
  if (map.empty()) return Found();
  Guarded<Found> c = find_canonical_key(h, key);
  if (!c) return std::unexpected(c.error());
  if (!*c) return Found();
  const Value* v = map.find(**c);
  return v != nullptr ? Found(*v) : Found();
}

Guarded<bool> set_contains(const Heap& h, const ValueSet& set, Value element) {
  if (set.empty()) return false;
  Guarded<std::optional<Value>> c = find_canonical_key(h, element);
  if (!c) return std::unexpected(c.error());
  return c->has_value() && set.contains(**c);
}

Guarded<ValueMap> map_insert_value(Heap& h, const ValueMap& map, Value key, Value value) {
  RootScope scope(h);
  if (needs_canonical_copy(h, key)) {
    scope.add(value);
    root_map_if_due(h, scope, map);
  }
  Guarded<Value> k = canonical_key(h, key);
  if (!k) return std::unexpected(k.error());
  return map.insert(*k, value);
}

Guarded<ValueMap> map_remove_value(const Heap& h, const ValueMap& map, Value key) {
  if (map.empty()) return map;
  Guarded<std::optional<Value>> c = find_canonical_key(h, key);
  if (!c) return std::unexpected(c.error());
  if (!*c || !map.contains(**c)) return map;
  return map.erase(**c);
}

Guarded<ValueSet> set_insert_value(Heap& h, const ValueSet& set, Value element) {
  RootScope scope(h);
  if (needs_canonical_copy(h, element)) root_set_if_due(h, scope, set);
  Guarded<Value> k = canonical_key(h, element);
  if (!k) return std::unexpected(k.error());
  return set.insert(*k);
}

Guarded<ValueSet> set_remove_value(const Heap& h, const ValueSet& set, Value element) {
  if (set.empty()) return set;
  Guarded<std::optional<Value>> c = find_canonical_key(h, element);
  if (!c) return std::unexpected(c.error());
  if (!*c || !set.contains(**c)) return set;
  return set.erase(**c);
}

Guarded<ValueSet> build_set_from_values(Heap& h, std::span<const Value> values) {
  RootScope scope(h);
  scope.add(values);
  ValueSet set(next_random_keys());
  // `(apply hash-set ...)` builds from millions of arguments: the loop stops at an interrupt.
  for (const Value& v : values) {
    if (walk_interrupted(h)) return std::unexpected(ValueFault::Interrupted);
    Guarded<Value> k = canonical_key(h, v);
    if (!k) return std::unexpected(k.error());
    scope.add(*k);
    set.insert_mut(*k);
  }
  return set;
}

Guarded<ValueMap> build_map_from_pairs(Heap& h, std::span<const Value> pairs) {
  RootScope scope(h);
  scope.add(pairs);
  ValueMap map(next_random_keys());
  for (std::size_t i = 0; i + 1 < pairs.size(); i += 2) {
    if (walk_interrupted(h)) return std::unexpected(ValueFault::Interrupted);
    Guarded<Value> k = canonical_key(h, pairs[i]);
    if (!k) return std::unexpected(k.error());
    scope.add(*k);
    map.insert_mut(*k, pairs[i + 1]);
  }
  return map;
}

} // namespace quorvex
