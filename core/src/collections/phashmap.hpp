// Persistent hash map: a CHAMP trie (see champ.hpp) keyed by SipHash-1-3 under keys of its own.
//
// Hash: `void operator()(SipHasher13& h, const K& key) const` feeds the key into h.
// Eq:   `bool operator()(const K& a, const K& b) const`; it is consulted only for keys whose
//       full 64-bit hashes are equal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

#include "collections/champ.hpp"
#include "util/hash.hpp"

namespace quorvex {

template <class K, class V, class Hash, class Eq>
class PHashMap
    : public champ_detail::Trie<PHashMap<K, V, Hash, Eq>, champ_detail::MapTraits<K, V>, Hash, Eq> {
  using Base =
      champ_detail::Trie<PHashMap<K, V, Hash, Eq>, champ_detail::MapTraits<K, V>, Hash, Eq>;

public:
  using const_iterator = typename Base::const_iterator;

  // A new map takes the thread's next key pair; maps derived from it keep that pair.
  PHashMap() = default;
  explicit PHashMap(SipKeys keys) : Base(keys) {}

  const V* find(const K& k) const {
    const std::pair<K, V>* e = this->find_entry(k);
    return e ? &e->second : nullptr;
  }

  // Lookup by a precomputed hash (hash_key of the key sought) and a predicate on stored keys,
  // for keys of another type that hash like K.
  template <class Pred> const std::pair<K, V>* find_hashed(std::uint64_t hash, Pred&& match) const {
    return this->find_hashed_entry(hash, std::forward<Pred>(match));
  }

  // Binds k to v; an equal key already present keeps its stored key and takes the new value.
  PHashMap insert(K k, V v) const {
    PHashMap r(*this);
    r.insert_mut(std::move(k), std::move(v));
    return r;
  }

  void insert_mut(K k, V v) { this->insert_entry(std::pair<K, V>(std::move(k), std::move(v))); }

  // The map that inserting entries[0..n) in order into an empty map under `keys` would give,
  // built in one pass; the entries are moved out.
  static PHashMap from_moved(SipKeys keys, std::pair<K, V>* entries, std::size_t n) {
    PHashMap r(keys);
    r.assign_moved(entries, n);
    return r;
  }

  template <class F> void for_each(F&& f) const {
    auto visit = [&f](const std::pair<K, V>& e) { f(e.first, e.second); };
    Base::for_each_entry(this->root_, visit);
  }
};

} // namespace quorvex
