// The hash trie behind PHashMap and PHashSet: a CHAMP (compressed hash-array mapped prefix tree).
//
// Each node covers 5 bits of the 64-bit key hash. A node has two bitmaps over those 32 positions:
// `datamap` marks positions holding an entry inline, `nodemap` positions holding a child node.
// Entries come first in the node's allocation, children after, both packed in position order,
// so a node is exactly as large as its contents. Every entry stores its full hash: lookups
// compare hashes before keys, and pushing an entry one level down never rehashes it.
//
// Two entries whose full hashes are equal meet in a collision node, which holds any number of
// entries with one hash (and reuses `datamap` as its entry count). A key that is not equal to
// itself (a NaN) never matches, so inserting one adds an entry beside any others of its hash.
//
// Deletion keeps the trie canonical: a child left with a single entry is pulled up into its
// parent, so every non-root node holds at least two entries.
//
// Updates take the subtree reference they change and hand back its replacement. A node whose
// count is 1 (and that is reached only through such nodes) is updated in place; others are
// copied along the path. On an exception the subtree and the caller's reference are unchanged.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "util/hash.hpp"
#include "util/internal_error.hpp"

namespace quorvex::champ_detail {

inline constexpr unsigned kBits = 5;
// Bitmap nodes sit at shifts 0, 5, ..., 60; a collision node may hang below the last of them.
inline constexpr unsigned kMaxDepth = 16;

inline unsigned fragment(std::uint64_t hash, unsigned shift) {
  return shift < 64 ? static_cast<unsigned>((hash >> shift) & 31u) : 0u;
}

inline unsigned index_below(std::uint32_t map, std::uint32_t bit) {
  return static_cast<unsigned>(std::popcount(map & (bit - 1)));
}

template <class E> struct Slot {
  std::uint64_t hash;
  E entry;
};

struct NodeHeader {
  std::size_t rc = 1;
  std::uint32_t datamap = 0; // collision node: number of entries
  std::uint32_t nodemap = 0;
  bool collision = false;
};

// Entries stored as std::pair<K, V>; an equal key keeps its stored key and takes the new value.
template <class K, class V> struct MapTraits {
  using Key = K;
  using Entry = std::pair<K, V>;
  static constexpr bool kReplaces = true;
  static const K& key(const Entry& e) { return e.first; }
  static void assign(Entry& stored, Entry&& fresh) { stored.second = std::move(fresh.second); }
  static Entry merged(const Entry& stored, Entry&& fresh) {
    return Entry(stored.first, std::move(fresh.second));
  }
};

// Entries are the keys; inserting an equal key changes nothing.
template <class K> struct SetTraits {
  using Key = K;
  using Entry = K;
  static constexpr bool kReplaces = false;
  static const K& key(const Entry& e) { return e; }
  static void assign(Entry&, Entry&&) {}
  static Entry merged(const Entry& stored, Entry&&) { return stored; }
};

template <class Derived, class Traits, class Hash, class Eq> class Trie {
protected:
  using K = typename Traits::Key;
  using E = typename Traits::Entry;
  using SlotT = Slot<E>;
  using Node = NodeHeader;

  static constexpr std::size_t round_up(std::size_t n, std::size_t a) {
    return (n + a - 1) / a * a;
  }
  // Functions rather than constants, so that a trie may be a member of its own element type.
  static constexpr std::size_t slots_offset() {
    static_assert(alignof(SlotT) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
    return round_up(sizeof(Node), alignof(SlotT));
  }
  static std::size_t children_offset(unsigned nslots) {
    return round_up(slots_offset() + nslots * sizeof(SlotT), alignof(Node*));
  }

  static unsigned nslots(const Node* n) {
    return n->collision ? n->datamap : static_cast<unsigned>(std::popcount(n->datamap));
  }
  static unsigned nchildren(const Node* n) {
    return n->collision ? 0u : static_cast<unsigned>(std::popcount(n->nodemap));
  }
  static SlotT* slots(Node* n) {
    return std::launder(reinterpret_cast<SlotT*>(reinterpret_cast<char*>(n) + slots_offset()));
  }
  static const SlotT* slots(const Node* n) {
    return std::launder(
        reinterpret_cast<const SlotT*>(reinterpret_cast<const char*>(n) + slots_offset()));
  }
  static Node** children(Node* n) {
    return reinterpret_cast<Node**>(reinterpret_cast<char*>(n) + children_offset(nslots(n)));
  }
  static Node* const* children(const Node* n) {
    return reinterpret_cast<Node* const*>(reinterpret_cast<const char*>(n) +
                                          children_offset(nslots(n)));
  }

public:
  class const_iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = E;
    using difference_type = std::ptrdiff_t;
    using pointer = const E*;
    using reference = const E&;

    const_iterator() = default;
    reference operator*() const { return *cur_; }
    pointer operator->() const { return cur_; }
    const_iterator& operator++() {
      advance();
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      advance();
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.cur_ == b.cur_;
    }

  private:
    friend class Trie;
    explicit const_iterator(const Node* root) {
      if (root) {
        stack_[0] = {root, 0};
        depth_ = 1;
        advance();
      }
    }
    void advance() {
      while (depth_ != 0) {
        Frame& f = stack_[depth_ - 1];
        unsigned ns = nslots(f.n);
        if (f.next < ns) {
          cur_ = &slots(f.n)[f.next++].entry;
          return;
        }
        unsigned c = f.next - ns;
        if (c < nchildren(f.n)) {
          ++f.next;
          if (depth_ == kMaxDepth) throw InternalError("hash trie deeper than its hash");
          stack_[depth_++] = {children(f.n)[c], 0};
          continue;
        }
        --depth_;
      }
      cur_ = nullptr;
    }

    struct Frame {
      const Node* n;
      unsigned next; // slots first, then children
    };
    Frame stack_[kMaxDepth]{};
    unsigned depth_ = 0;
    const E* cur_ = nullptr;
  };

  Trie() : keys_(next_random_keys()) {}
  explicit Trie(SipKeys keys) : keys_(keys) {}
  Trie(const Trie& o) : root_(o.root_), size_(o.size_), keys_(o.keys_) { retain(root_); }
  Trie(Trie&& o) noexcept : root_(o.root_), size_(o.size_), keys_(o.keys_) {
    o.root_ = nullptr;
    o.size_ = 0;
  }
  Trie& operator=(const Trie& o) {
    Trie copy(o);
    swap(copy);
    return *this;
  }
  Trie& operator=(Trie&& o) noexcept {
    Trie moved(std::move(o));
    swap(moved);
    return *this;
  }
  ~Trie() { release(root_); }

  void swap(Trie& o) noexcept {
    std::swap(root_, o.root_);
    std::swap(size_, o.size_);
    std::swap(keys_, o.keys_);
  }

  SipKeys keys() const { return keys_; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  std::uint64_t hash_key(const K& k) const {
    SipHasher13 h(keys_);
    hash_(h, k);
    return h.finish();
  }

  bool contains(const K& k) const { return find_entry(k) != nullptr; }

  Derived erase(const K& k) const {
    Derived r(static_cast<const Derived&>(*this));
    r.erase_mut(k);
    return r;
  }

  void erase_mut(const K& k) {
    if (!root_) return;
    bool removed = false;
    try {
      root_ = erase_rec(root_, 0, hash_key(k), k, removed);
    } catch (...) {
      // An in-place removal may have happened before the failure; the root is unchanged.
      if (removed) --size_;
      throw;
    }
    if (removed) --size_;
  }

  const_iterator begin() const { return const_iterator(root_); }
  const_iterator end() const { return const_iterator(); }

  bool ptr_eq(const Trie& o) const { return root_ == o.root_ && size_ == o.size_; }

protected:
  template <class Pred> const E* find_hashed_entry(std::uint64_t hash, Pred&& match) const {
    const Node* n = root_;
    unsigned shift = 0;
    while (n) {
      if (n->collision) {
        const SlotT* s = slots(n);
        if (s[0].hash != hash) return nullptr;
        for (unsigned k = 0; k < n->datamap; ++k) {
          if (match(Traits::key(s[k].entry))) return &s[k].entry;
        }
        return nullptr;
      }
      const std::uint32_t bit = 1u << fragment(hash, shift);
      if (n->datamap & bit) {
        const SlotT& s = slots(n)[index_below(n->datamap, bit)];
        return s.hash == hash && match(Traits::key(s.entry)) ? &s.entry : nullptr;
      }
      if (!(n->nodemap & bit)) return nullptr;
      n = children(n)[index_below(n->nodemap, bit)];
      shift += kBits;
    }
    return nullptr;
  }

  const E* find_entry(const K& k) const {
    return find_hashed_entry(hash_key(k), [&](const K& stored) { return eq_(stored, k); });
  }

  // Inserts (or, for maps, updates) the entry. Returns whether an entry was added.
  bool insert_entry(E&& entry) {
    const std::uint64_t hash = hash_key(Traits::key(entry));
    bool added = false;
    if (!root_) {
      Fresh f(allocate(1u << fragment(hash, 0), 0, false, 1, 0));
      f.emplace(hash, std::move(entry));
      root_ = f.done();
      ++size_;
      return true;
    }
    root_ = insert_rec(root_, 0, hash, entry, added);
    if (added) ++size_;
    return added;
  }

  // Fills an empty trie with the entries of [first, first + n), moving them out, with the same
  // result as inserting them one by one in that order: each node is allocated once at its final
  // size instead of growing by a copy per insertion. Equal keys merge as insert does (the first
  // key stays, in its place; maps take the last value).
  void assign_moved(E* first, std::size_t n) {
    if (root_ != nullptr) throw InternalError("bulk build into a non-empty hash trie");
    if (n == 0) return;
    if (n > 0xFFFFFFFFu) throw InternalError("bulk build beyond 2^32 entries");
    constexpr std::size_t kInline = 64;
    Rec inline_recs[kInline];
    std::unique_ptr<Rec[]> heap;
    Rec* recs = inline_recs;
    if (n > kInline) {
      heap = std::make_unique<Rec[]>(n);
      recs = heap.get();
    }
    for (std::size_t k = 0; k < n; ++k)
      recs[k] = Rec{hash_key(Traits::key(first[k])), static_cast<std::uint32_t>(k)};
    // Equal keys have equal hashes: order by hash, then merge within each run of one hash.
    std::sort(recs, recs + n, [](const Rec& a, const Rec& b) {
      return a.hash != b.hash ? a.hash < b.hash : a.index < b.index;
    });
    std::size_t kept = 0;
    for (std::size_t run = 0; run < n;) {
      std::size_t end = run + 1;
      while (end < n && recs[end].hash == recs[run].hash)
        ++end;
      const std::size_t run_kept = kept;
      for (std::size_t k = run; k < end; ++k) {
        E& entry = first[recs[k].index];
        bool merged = false;
        for (std::size_t j = run_kept; j < kept; ++j) {
          E& stored = first[recs[j].index];
          if (eq_(Traits::key(stored), Traits::key(entry))) {
            Traits::assign(stored, std::move(entry));
            merged = true;
            break;
          }
        }
        if (!merged) recs[kept++] = recs[k];
      }
      run = end;
    }
    root_ = build_node(first, recs, kept, 0, true);
    size_ = kept;
  }

  template <class F> static void for_each_entry(const Node* n, F& f) {
    if (!n) return;
    const SlotT* s = slots(n);
    for (unsigned k = 0, ns = nslots(n); k < ns; ++k)
      f(s[k].entry);
    Node* const* c = children(n);
    for (unsigned k = 0, nc = nchildren(n); k < nc; ++k)
      for_each_entry(c[k], f);
  }

  Node* root_ = nullptr;
  std::size_t size_ = 0;
  SipKeys keys_;
  [[no_unique_address]] Hash hash_{};
  [[no_unique_address]] Eq eq_{};

private:
  // ---- nodes ----

  static void retain(Node* n) noexcept {
    if (n) ++n->rc;
  }
  static void release(Node* n) noexcept {
    if (n && --n->rc == 0) destroy(n);
  }
  static void destroy(Node* n) noexcept {
    const unsigned ns = nslots(n);
    const unsigned nc = nchildren(n);
    Node** c = children(n);
    for (unsigned k = 0; k < nc; ++k)
      release(c[k]);
    std::destroy_n(slots(n), ns);
    n->~Node();
    ::operator delete(static_cast<void*>(n));
  }

  class Hold {
  public:
    explicit Hold(Node* n = nullptr) : n_(n) {}
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() { release(n_); }
    Node* get() const { return n_; }
    void reset(Node* n) {
      release(n_);
      n_ = n;
    }
    Node* take() {
      Node* n = n_;
      n_ = nullptr;
      return n;
    }

  private:
    Node* n_;
  };

  static Node* allocate(std::uint32_t datamap, std::uint32_t nodemap, bool collision, unsigned ns,
                        unsigned nc) {
    void* mem = ::operator new(children_offset(ns) + nc * sizeof(Node*));
    Node* n = ::new (mem) Node;
    n->datamap = datamap;
    n->nodemap = nodemap;
    n->collision = collision;
    return n;
  }

  // A node whose slots are being constructed; freed with them unless finished with done().
  // Children are stored only after the last slot, since storing them cannot throw.
  class Fresh {
  public:
    explicit Fresh(Node* n) : n_(n) {}
    Fresh(const Fresh&) = delete;
    Fresh& operator=(const Fresh&) = delete;
    ~Fresh() {
      if (!n_) return;
      std::destroy_n(slots(n_), built_);
      n_->~Node();
      ::operator delete(static_cast<void*>(n_));
    }
    template <class... A> void emplace(A&&... args) {
      ::new (static_cast<void*>(slots(n_) + built_)) SlotT{std::forward<A>(args)...};
      ++built_;
    }
    void copy(const SlotT& s) {
      ::new (static_cast<void*>(slots(n_) + built_)) SlotT(s);
      ++built_;
    }
    Node* node() const { return n_; }
    Node* done() {
      Node* n = n_;
      n_ = nullptr;
      return n;
    }

  private:
    Node* n_;
    unsigned built_ = 0;
  };

  enum class Edit : std::uint8_t { None, Insert, Remove, Replace };

  struct SlotEdit {
    Edit kind = Edit::None;
    unsigned index = 0; // Insert: position in the new node; Remove/Replace: in the old one
    std::uint64_t hash = 0;
    E* entry = nullptr;            // moved into the new slot...
    const SlotT* source = nullptr; // ...or, when set, this slot is copied
  };

  struct ChildEdit {
    Edit kind = Edit::None;
    unsigned index = 0;
    Node* node = nullptr; // Insert/Replace: becomes the new node's reference on success
  };

  // A copy of n with at most one slot edit and one child edit applied. n is left untouched; the
  // edit's node is adopted only when the copy succeeds.
  static Node* rebuild(const Node* n, std::uint32_t datamap, std::uint32_t nodemap,
                       const SlotEdit& se, const ChildEdit& ce) {
    const unsigned old_ns = nslots(n);
    const unsigned old_nc = nchildren(n);
    const unsigned ns = old_ns + (se.kind == Edit::Insert) - (se.kind == Edit::Remove);
    const unsigned nc = old_nc + (ce.kind == Edit::Insert) - (ce.kind == Edit::Remove);
    Fresh f(allocate(datamap, nodemap, n->collision, ns, nc));
    const SlotT* old = slots(n);
    auto place_new = [&] {
      if (se.source) {
        f.copy(*se.source);
      } else {
        f.emplace(se.hash, std::move(*se.entry));
      }
    };
    unsigned src = 0;
    for (unsigned k = 0; k < ns; ++k) {
      if (se.kind == Edit::Insert && k == se.index) {
        place_new();
        continue;
      }
      if (se.kind == Edit::Remove && src == se.index) ++src;
      if (se.kind == Edit::Replace && src == se.index) {
        place_new();
        ++src;
        continue;
      }
      f.copy(old[src++]);
    }
    Node** out = children(f.node());
    Node* const* in = children(n);
    src = 0;
    for (unsigned k = 0; k < nc; ++k) {
      if (ce.kind == Edit::Insert && k == ce.index) {
        out[k] = ce.node;
        continue;
      }
      if (ce.kind == Edit::Remove && src == ce.index) ++src;
      if (ce.kind == Edit::Replace && src == ce.index) {
        out[k] = ce.node;
        ++src;
        continue;
      }
      out[k] = in[src++];
      retain(out[k]);
    }
    return f.done();
  }

  // A subtree at `shift` holding a copy of `old` and the new entry (whose hashes share every
  // fragment above `shift`).
  static Node* make_pair(const SlotT& old, std::uint64_t hash, E& entry, unsigned shift) {
    if (old.hash == hash) {
      Fresh f(allocate(2, 0, true, 2, 0));
      f.copy(old);
      f.emplace(hash, std::move(entry));
      return f.done();
    }
    const unsigned fo = fragment(old.hash, shift);
    const unsigned fn = fragment(hash, shift);
    if (fo != fn) {
      Fresh f(allocate((1u << fo) | (1u << fn), 0, false, 2, 0));
      if (fo < fn) {
        f.copy(old);
        f.emplace(hash, std::move(entry));
      } else {
        f.emplace(hash, std::move(entry));
        f.copy(old);
      }
      return f.done();
    }
    Hold below(make_pair(old, hash, entry, shift + kBits));
    Node* n = allocate(0, 1u << fo, false, 0, 1);
    children(n)[0] = below.take();
    return n;
  }

  // A subtree at `shift` holding the collision node c and the new entry, whose hash differs
  // from c's. Adopts the reference to c only on success.
  static Node* split_collision(Node* c, unsigned shift, std::uint64_t hash, E& entry) {
    const std::uint64_t ch = slots(c)[0].hash;
    unsigned split = shift;
    while (fragment(ch, split) == fragment(hash, split)) {
      if (split >= 64) throw InternalError("equal hashes reached a collision split");
      split += kBits;
    }
    const unsigned fc = fragment(ch, split);
    const unsigned fn = fragment(hash, split);
    Node* bottom;
    {
      Fresh f(allocate(1u << fn, 1u << fc, false, 1, 1));
      f.emplace(hash, std::move(entry));
      bottom = f.done();
    }
    // c is stored only once every node exists, so that a failed allocation leaves it alone.
    children(bottom)[0] = nullptr;
    Hold chain(bottom);
    while (split > shift) {
      split -= kBits;
      Node* n = allocate(0, 1u << fragment(ch, split), false, 0, 1);
      children(n)[0] = chain.take();
      chain.reset(n);
    }
    children(bottom)[0] = c;
    return chain.take();
  }

  // ---- bulk building ----

  struct Rec {
    std::uint64_t hash;
    std::uint32_t index; // into the caller's entries, which also gives insertion order
  };

  // The subtree at `shift` for recs (n >= 1, all agreeing on the fragments above shift). Equal
  // hashes below the root share a collision node in insertion order, as make_pair and
  // insert_collision leave them; the root is always a bitmap node.
  Node* build_node(E* entries, Rec* recs, std::size_t n, unsigned shift, bool root) {
    if (!root && n >= 2 &&
        std::all_of(recs + 1, recs + n, [&](const Rec& r) { return r.hash == recs[0].hash; })) {
      std::sort(recs, recs + n, [](const Rec& a, const Rec& b) { return a.index < b.index; });
      Fresh f(allocate(static_cast<std::uint32_t>(n), 0, true, static_cast<unsigned>(n), 0));
      for (std::size_t k = 0; k < n; ++k)
        f.emplace(recs[k].hash, std::move(entries[recs[k].index]));
      return f.done();
    }
    if (shift >= 64) throw InternalError("distinct hashes agree on every fragment");
    std::sort(recs, recs + n, [shift](const Rec& a, const Rec& b) {
      const unsigned fa = fragment(a.hash, shift), fb = fragment(b.hash, shift);
      return fa != fb ? fa < fb : a.index < b.index;
    });
    std::uint32_t datamap = 0, nodemap = 0;
    Node* built[32];
    unsigned nc = 0;
    struct Release {
      Node** nodes;
      unsigned& count;
      ~Release() {
        for (unsigned k = 0; k < count; ++k)
          release(nodes[k]);
      }
    } on_failure{built, nc};
    for (std::size_t run = 0; run < n;) {
      const unsigned frag = fragment(recs[run].hash, shift);
      std::size_t end = run + 1;
      while (end < n && fragment(recs[end].hash, shift) == frag)
        ++end;
      if (end - run == 1) {
        datamap |= 1u << frag;
      } else {
        built[nc] = build_node(entries, recs + run, end - run, shift + kBits, false);
        ++nc;
        nodemap |= 1u << frag;
      }
      run = end;
    }
    const unsigned ns = static_cast<unsigned>(std::popcount(datamap));
    Fresh f(allocate(datamap, nodemap, false, ns, nc));
    for (std::size_t run = 0; run < n;) {
      const unsigned frag = fragment(recs[run].hash, shift);
      std::size_t end = run + 1;
      while (end < n && fragment(recs[end].hash, shift) == frag)
        ++end;
      if (end - run == 1) f.emplace(recs[run].hash, std::move(entries[recs[run].index]));
      run = end;
    }
    Node** out = children(f.node());
    for (unsigned k = 0; k < nc; ++k)
      out[k] = built[k];
    nc = 0; // adopted by the new node
    return f.done();
  }

  // ---- insertion ----

  // Takes the caller's reference to n and returns the subtree that replaces n.
  Node* insert_rec(Node* n, unsigned shift, std::uint64_t hash, E& entry, bool& added) {
    if (n->collision) return insert_collision(n, shift, hash, entry, added);
    const std::uint32_t bit = 1u << fragment(hash, shift);
    if (n->datamap & bit) {
      const unsigned si = index_below(n->datamap, bit);
      SlotT& s = slots(n)[si];
      if (s.hash == hash && eq_(Traits::key(s.entry), Traits::key(entry))) {
        if constexpr (!Traits::kReplaces) {
          return n;
        } else {
          if (n->rc == 1) {
            Traits::assign(s.entry, std::move(entry));
            return n;
          }
          E merged = Traits::merged(s.entry, std::move(entry));
          Node* r = rebuild(n, n->datamap, n->nodemap,
                            SlotEdit{Edit::Replace, si, hash, &merged, nullptr}, ChildEdit{});
          release(n);
          return r;
        }
      }
      Hold below(make_pair(s, hash, entry, shift + kBits));
      Node* r = rebuild(n, n->datamap & ~bit, n->nodemap | bit, SlotEdit{Edit::Remove, si},
                        ChildEdit{Edit::Insert, index_below(n->nodemap, bit), below.get()});
      below.take();
      release(n);
      added = true;
      return r;
    }
    if (n->nodemap & bit) {
      const unsigned ci = index_below(n->nodemap, bit);
      Node* c = children(n)[ci];
      if (n->rc == 1) {
        children(n)[ci] = insert_rec(c, shift + kBits, hash, entry, added);
        return n;
      }
      // Reached through a shared node, c must not change in place: hold a reference of our own.
      // The new subtree is not visible until n's copy exists, so `added` waits for that.
      retain(c);
      Hold mine(c);
      bool sub = false;
      Node* nc = insert_rec(c, shift + kBits, hash, entry, sub);
      mine.take();
      if (nc == c) {
        release(nc);
        return n;
      }
      Hold fresh(nc);
      Node* r = rebuild(n, n->datamap, n->nodemap, SlotEdit{}, ChildEdit{Edit::Replace, ci, nc});
      fresh.take();
      release(n);
      added = sub;
      return r;
    }
    Node* r = rebuild(n, n->datamap | bit, n->nodemap,
                      SlotEdit{Edit::Insert, index_below(n->datamap, bit), hash, &entry, nullptr},
                      ChildEdit{});
    release(n);
    added = true;
    return r;
  }

  Node* insert_collision(Node* n, unsigned shift, std::uint64_t hash, E& entry, bool& added) {
    SlotT* s = slots(n);
    if (s[0].hash != hash) {
      Node* r = split_collision(n, shift, hash, entry);
      added = true;
      return r;
    }
    for (unsigned k = 0; k < n->datamap; ++k) {
      if (!eq_(Traits::key(s[k].entry), Traits::key(entry))) continue;
      if constexpr (!Traits::kReplaces) {
        return n;
      } else {
        if (n->rc == 1) {
          Traits::assign(s[k].entry, std::move(entry));
          return n;
        }
        E merged = Traits::merged(s[k].entry, std::move(entry));
        Node* r = rebuild(n, n->datamap, 0, SlotEdit{Edit::Replace, k, hash, &merged, nullptr},
                          ChildEdit{});
        release(n);
        return r;
      }
    }
    Node* r = rebuild(n, n->datamap + 1, 0,
                      SlotEdit{Edit::Insert, n->datamap, hash, &entry, nullptr}, ChildEdit{});
    release(n);
    added = true;
    return r;
  }

  // ---- deletion ----

  // A node that its parent should absorb as a plain entry.
  static bool is_single_entry(const Node* n) { return nslots(n) == 1 && nchildren(n) == 0; }

  // Takes the caller's reference to n and returns the subtree that replaces it (nullptr when
  // nothing is left). `removed` is set once the removal is visible through n's replacement, so
  // that a failed allocation leaves the size right.
  Node* erase_rec(Node* n, unsigned shift, std::uint64_t hash, const K& key, bool& removed) {
    if (n->collision) {
      SlotT* s = slots(n);
      if (s[0].hash != hash) return n;
      for (unsigned k = 0; k < n->datamap; ++k) {
        if (!eq_(Traits::key(s[k].entry), key)) continue;
        Node* r = nullptr;
        if (n->datamap != 1) {
          r = rebuild(n, n->datamap - 1, 0, SlotEdit{Edit::Remove, k}, ChildEdit{});
        }
        release(n);
        removed = true;
        return r;
      }
      return n;
    }
    const std::uint32_t bit = 1u << fragment(hash, shift);
    if (n->datamap & bit) {
      const unsigned si = index_below(n->datamap, bit);
      const SlotT& s = slots(n)[si];
      if (s.hash != hash || !eq_(Traits::key(s.entry), key)) return n;
      Node* r = nullptr;
      if (!is_single_entry(n)) {
        r = rebuild(n, n->datamap & ~bit, n->nodemap, SlotEdit{Edit::Remove, si}, ChildEdit{});
      }
      release(n);
      removed = true;
      return r;
    }
    if (!(n->nodemap & bit)) return n;
    const unsigned ci = index_below(n->nodemap, bit);
    Node* c = children(n)[ci];
    if (n->rc == 1) {
      // Changes below happen in place, so `removed` passes straight through.
      Node* nc = erase_rec(c, shift + kBits, hash, key, removed);
      if (nc) {
        children(n)[ci] = nc;
        // A single entry left below is pulled up; should that fail, the trie is merely not
        // canonical there, which every operation tolerates.
        return removed ? reshape_after_erase(n, bit, ci, nc) : n;
      }
      // The child vanished: close the gap in place, which cannot fail. The allocation keeps
      // one unused pointer at its end.
      Node** cs = children(n);
      const unsigned nc_count = nchildren(n);
      for (unsigned k = ci; k + 1 < nc_count; ++k)
        cs[k] = cs[k + 1];
      n->nodemap &= ~bit;
      if (nslots(n) == 0 && nchildren(n) == 0) {
        release(n);
        return nullptr;
      }
      return n;
    }
    bool sub = false;
    retain(c);
    Hold mine(c);
    Node* nc = erase_rec(c, shift + kBits, hash, key, sub);
    mine.take();
    Hold fresh(nc);
    if (!sub) return n;
    Node* r;
    if (nc && !is_single_entry(nc)) {
      r = rebuild(n, n->datamap, n->nodemap, SlotEdit{}, ChildEdit{Edit::Replace, ci, nc});
      fresh.take();
      release(n);
    } else {
      r = reshape_after_erase(n, bit, ci, nc);
    }
    removed = true;
    return r;
  }

  // n's child at ci (position bit) is now nc, possibly nullptr or a single entry: drops or
  // inlines it. Takes the caller's reference to n.
  static Node* reshape_after_erase(Node* n, std::uint32_t bit, unsigned ci, Node* nc) {
    if (nc && !is_single_entry(nc)) return n;
    if (!nc) {
      if (nslots(n) == 0 && nchildren(n) == 1) {
        release(n);
        return nullptr;
      }
      Node* r = rebuild(n, n->datamap, n->nodemap & ~bit, SlotEdit{}, ChildEdit{Edit::Remove, ci});
      release(n);
      return r;
    }
    SlotEdit se;
    se.kind = Edit::Insert;
    se.index = index_below(n->datamap, bit);
    se.source = &slots(nc)[0];
    Node* r = rebuild(n, n->datamap | bit, n->nodemap & ~bit, se, ChildEdit{Edit::Remove, ci});
    release(n);
    return r;
  }
};

} // namespace quorvex::champ_detail
