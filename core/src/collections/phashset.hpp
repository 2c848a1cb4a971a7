// Persistent hash set: a CHAMP trie (see champ.hpp) keyed by SipHash-1-3 under keys of its own.
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

template <class K, class Hash, class Eq>
class PHashSet
    : public champ_detail::Trie<PHashSet<K, Hash, Eq>, champ_detail::SetTraits<K>, Hash, Eq> {
  using Base = champ_detail::Trie<PHashSet<K, Hash, Eq>, champ_detail::SetTraits<K>, Hash, Eq>;

public:
  using const_iterator = typename Base::const_iterator;

  // A new set takes the thread's next key pair; sets derived from it keep that pair.
  PHashSet() = default;
  explicit PHashSet(SipKeys keys) : Base(keys) {}

  const K* find(const K& k) const { return this->find_entry(k); }

  template <class Pred> const K* find_hashed(std::uint64_t hash, Pred&& match) const {
    return this->find_hashed_entry(hash, std::forward<Pred>(match));
  }

  // Adding an element that is already present returns the same set (ptr_eq holds).
  PHashSet insert(K k) const {
    PHashSet r(*this);
    r.insert_mut(std::move(k));
    return r;
  }

  void insert_mut(K k) { this->insert_entry(std::move(k)); }

  // The set that inserting elements[0..n) in order into an empty set under `keys` would give,
  // built in one pass; the elements are moved out.
  static PHashSet from_moved(SipKeys keys, K* elements, std::size_t n) {
    PHashSet r(keys);
    r.assign_moved(elements, n);
    return r;
  }

  template <class F> void for_each(F&& f) const { Base::for_each_entry(this->root_, f); }
};

} // namespace quorvex
