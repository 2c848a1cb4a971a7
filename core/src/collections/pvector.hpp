// The persistent vector behind the language's lists and vectors.
//
// Layout. A vector is three parts laid end to end:
//
//   head   a chunk of up to 32 elements stored in reverse, so that pushing at the front is an
//          append to the chunk;
//   tree   a relaxed radix balanced tree (RRB tree) of 32-element leaves;
//   tail   a chunk of up to 32 elements in order, so that pushing at the back is an append.
//
// The head and tail are views [lo, hi) into chunks that several versions may share. A chunk
// records how many of its slots are constructed (`count`); a version may construct the next
// slot in place when its view ends exactly at `count`, because no other version can see that
// slot yet. That makes persistent `push_back`/`push_front` O(1) without copying the chunk, and
// `pop_front` on a list (the language's `rest`) is a change of view.
//
// The tree may hide a prefix of its elements (`tree_off_`): dropping from the front of a list
// (`rest`) then only moves that offset, instead of copying the path to the first leaf every 32
// steps. Once the hidden prefix outgrows the visible part it is cut off for real, so a walk
// keeps at most about twice what it can still reach.
//
// Tree nodes are reference counted without atomics: everything runs on one thread. An operation
// on a node whose count is 1 may change it in place (this is the transient mode, and what a
// persistent operation falls back to after copying the path it changes). A leaf placed in a tree
// is `frozen`: its length is part of the tree's size bookkeeping, so no view may append to it.
//
// Inner nodes always keep cumulative child sizes. A node is `regular` when all its children but
// the last are full and the last is regular too: then the child holding index i is simply digit
// i >> (5 * height), and lookups skip the size table. Vectors built by pushing at the back stay
// regular throughout. Slicing and concatenation produce relaxed nodes; concatenation rebalances
// the nodes along the seam (the classic RRB concatenation plan) so that the nodes it builds hold
// at most two children beyond the minimum their contents need, which bounds both the height and
// the search in a size table.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

#include "util/internal_error.hpp"

namespace quorvex {

namespace pvector_detail {

inline constexpr unsigned kBits = 5;
inline constexpr unsigned kWidth = 1u << kBits;
inline constexpr unsigned kMask = kWidth - 1;
// 32^13 exceeds any addressable element count, so a taller tree means a broken invariant.
inline constexpr unsigned kMaxHeight = 12;
// How many children a relaxed node may hold beyond the minimum its slots need.
inline constexpr unsigned kExtras = 2;

struct Node {
  std::size_t rc = 1;
  std::uint8_t count = 0; // leaf: constructed elements; inner: children
  bool is_leaf = false;
  bool frozen = false; // leaf only: its length may not change any more
  bool regular = true; // indexable by radix digits (a leaf always is)
  // Leaf only: element slots allocated. Chunks of small vectors are allocated to size and grow
  // geometrically, so a three-element literal does not pay for thirty-two slots.
  std::uint8_t cap = 0;
  // for_each_needed found nothing below that it must see. Any write to the node, or below it,
  // clears it, so a later walk may skip the node whole.
  bool inert = false;
};

struct Inner : Node {
  Node* child[kWidth];
  std::size_t sizes[kWidth]; // cumulative element counts of child[0..k]
};

// Elements held by a child of an inner node at `height` when that child is full.
inline std::size_t child_capacity(unsigned height) {
  unsigned shift = kBits * height;
  return shift < 64 ? std::size_t{1} << shift : SIZE_MAX;
}

} // namespace pvector_detail

template <class T> class PVector {
  using Node = pvector_detail::Node;
  using Inner = pvector_detail::Inner;
  static constexpr unsigned kBits = pvector_detail::kBits;
  static constexpr unsigned kWidth = pvector_detail::kWidth;
  static constexpr unsigned kMask = pvector_detail::kMask;
  static constexpr unsigned kMaxHeight = pvector_detail::kMaxHeight;
  // A hidden prefix shorter than this is never worth cutting off.
  static constexpr std::size_t kMinCut = 1024;

  // A leaf's elements follow its header in the same allocation, `cap` of them.
  struct Leaf : Node {
    Leaf() { this->is_leaf = true; }
    T* data() {
      return std::launder(reinterpret_cast<T*>(reinterpret_cast<unsigned char*>(this) + kLeafData));
    }
    const T* data() const {
      return std::launder(
          reinterpret_cast<const T*>(reinterpret_cast<const unsigned char*>(this) + kLeafData));
    }
  };
  static constexpr std::size_t kLeafData =
      (sizeof(Node) + alignof(T) - 1) / alignof(T) * alignof(T);
  static_assert(alignof(T) <= __STDCPP_DEFAULT_NEW_ALIGNMENT__);
  static_assert(alignof(Node) <= alignof(std::max_align_t));
  static constexpr std::size_t leaf_bytes(unsigned cap) {
    return std::max(kLeafData + sizeof(T) * cap, sizeof(Leaf));
  }
  // The capacity of a fresh chunk that must hold `need` elements of a vector without a tree.
  static unsigned grown_cap(std::size_t need) {
    std::size_t cap = need < 4 ? 4 : need * 2;
    return static_cast<unsigned>(std::min<std::size_t>(cap, kWidth));
  }

public:
  class const_iterator;

  PVector() = default;
  PVector(const PVector& o)
      : head_(o.head_), root_(o.root_), tail_(o.tail_), size_(o.size_), tree_off_(o.tree_off_),
        head_lo_(o.head_lo_), head_hi_(o.head_hi_), tail_lo_(o.tail_lo_), tail_hi_(o.tail_hi_),
        height_(o.height_) {
    retain(head_);
    retain(root_);
    retain(tail_);
  }
  PVector(PVector&& o) noexcept
      : head_(o.head_), root_(o.root_), tail_(o.tail_), size_(o.size_), tree_off_(o.tree_off_),
        head_lo_(o.head_lo_), head_hi_(o.head_hi_), tail_lo_(o.tail_lo_), tail_hi_(o.tail_hi_),
        height_(o.height_) {
    o.forget();
  }
  PVector& operator=(const PVector& o) {
    PVector copy(o);
    swap(copy);
    return *this;
  }
  PVector& operator=(PVector&& o) noexcept {
    PVector moved(std::move(o));
    swap(moved);
    return *this;
  }
  ~PVector() { clear(); }

  void swap(PVector& o) noexcept {
    std::swap(head_, o.head_);
    std::swap(root_, o.root_);
    std::swap(tail_, o.tail_);
    std::swap(size_, o.size_);
    std::swap(tree_off_, o.tree_off_);
    std::swap(head_lo_, o.head_lo_);
    std::swap(head_hi_, o.head_hi_);
    std::swap(tail_lo_, o.tail_lo_);
    std::swap(tail_hi_, o.tail_hi_);
    std::swap(height_, o.height_);
  }

  template <class It> static PVector from_range(It first, It last) {
    PVector r;
    if constexpr (std::is_base_of_v<std::forward_iterator_tag,
                                    typename std::iterator_traits<It>::iterator_category>) {
      // A short range fits one chunk of exactly its length.
      const auto n = std::distance(first, last);
      if (n > 0 && n <= static_cast<decltype(n)>(kWidth)) {
        Hold fresh(new_leaf(static_cast<unsigned>(n)));
        Leaf* chunk = static_cast<Leaf*>(fresh.get());
        for (; first != last; ++first)
          construct(chunk, *first);
        r.tail_ = static_cast<Leaf*>(fresh.take());
        r.tail_lo_ = 0;
        r.tail_hi_ = chunk->count;
        r.size_ = chunk->count;
        return r;
      }
    }
    for (; first != last; ++first)
      r.push_back_mut(*first);
    return r;
  }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  // Unchecked: i < size(). get() is the checked access.
  const T& operator[](std::size_t i) const {
    const std::size_t hl = head_len();
    const std::size_t j = i - hl; // wraps around for elements of the head
    const std::size_t ts = size_ - hl - tail_len();
    if (j < ts) [[likely]] {
      const std::size_t t = j + tree_off_;
      const Node* n = root_;
      // A leaf counts as regular too.
      if (n->regular) [[likely]] {
        for (unsigned shift = kBits * height_; shift != 0; shift -= kBits) {
          n = static_cast<const Inner*>(n)->child[(t >> shift) & kMask];
        }
        return static_cast<const Leaf*>(n)->data()[t & kMask];
      }
      std::size_t k = t;
      const Leaf* leaf = leaf_for(k);
      return leaf->data()[k];
    }
    if (i < hl) return head_->data()[head_hi_ - 1 - i];
    return tail_->data()[tail_lo_ + (j - ts)];
  }
  const T* get(std::size_t i) const { return i < size_ ? &(*this)[i] : nullptr; }
  // Precondition: !empty(); a violation throws InternalError rather than reading nothing.
  const T& front() const {
    check_index(0);
    return (*this)[0];
  }
  const T& back() const {
    check_index(0);
    return (*this)[size_ - 1];
  }

  PVector push_back(T v) const {
    PVector r(*this);
    r.push_back_mut(std::move(v));
    return r;
  }
  PVector push_front(T v) const {
    PVector r(*this);
    r.push_front_mut(std::move(v));
    return r;
  }
  PVector pop_back() const {
    PVector r(*this);
    r.pop_back_mut();
    return r;
  }
  PVector pop_front() const {
    PVector r(*this);
    r.pop_front_mut();
    return r;
  }
  // Precondition: i < size(); a violation throws InternalError.
  PVector set(std::size_t i, T v) const {
    PVector r(*this);
    r.set_mut(i, std::move(v));
    return r;
  }
  PVector drop(std::size_t n) const { return slice(n, size_); }
  PVector take(std::size_t n) const { return slice(0, n); }

  // Elements [from, to), both clamped to [0, size()].
  PVector slice(std::size_t from, std::size_t to) const {
    to = std::min(to, size_);
    from = std::min(from, to);
    if (from == 0 && to == size_) return *this;
    PVector r;
    if (from == to) return r;
    if (to == size_) {
      r = *this;
      r.drop_front(from);
      return r;
    }
    const std::size_t hl = head_len();
    const std::size_t ts = tree_size();
    if (from < hl) {
      std::size_t b = std::min(to, hl);
      r.head_ = head_;
      retain(head_);
      r.head_lo_ = static_cast<std::uint8_t>(head_hi_ - b);
      r.head_hi_ = static_cast<std::uint8_t>(head_hi_ - from);
    }
    std::size_t ta = std::clamp(from, hl, hl + ts) - hl;
    std::size_t tb = std::clamp(to, hl, hl + ts) - hl;
    if (ta < tb) {
      Hold kept(take_rec(root_, height_, tree_off_ + tb));
      r.root_ = drop_rec(kept.get(), height_, tree_off_ + ta);
      r.height_ = height_;
      r.collapse_root();
    }
    if (to > hl + ts) {
      std::size_t a = std::max(from, hl + ts) - (hl + ts);
      std::size_t b = to - (hl + ts);
      r.tail_ = tail_;
      retain(tail_);
      r.tail_lo_ = static_cast<std::uint8_t>(tail_lo_ + a);
      r.tail_hi_ = static_cast<std::uint8_t>(tail_lo_ + b);
    }
    r.size_ = to - from;
    // A cut through the tree leaves a partial leaf at its edge; moving it into the head or tail
    // keeps later pushes from burying a thin leaf inside the tree.
    if (r.root_ && r.tail_len() == 0) r.spill_last_leaf();
    if (r.root_ && r.head_len() == 0) r.spill_first_leaf();
    return r;
  }

  PVector concat(const PVector& o) const {
    if (o.size_ == 0) return *this;
    if (size_ == 0) return o;
    if (!o.root_) {
      // At most 64 elements: appending them one by one keeps the leaves full.
      PVector r(*this);
      o.for_each([&r](const T& x) { r.push_back_mut(x); });
      return r;
    }
    if (!root_) {
      PVector r(o);
      for (std::size_t k = tail_lo_; k < tail_hi_; ++k)
        r.push_front_mut(tail_->data()[tail_hi_ - 1 - (k - tail_lo_)]);
      for (std::size_t k = head_lo_; k < head_hi_; ++k)
        r.push_front_mut(head_->data()[k]);
      return r;
    }
    PVector left;
    left.root_ = root_;
    retain(root_);
    left.height_ = height_;
    left.tree_off_ = tree_off_;
    left.materialize_front();
    if (tail_len() != 0) left.push_leaf_back(tail_as_leaf());
    PVector right;
    right.root_ = o.root_;
    retain(o.root_);
    right.height_ = o.height_;
    right.tree_off_ = o.tree_off_;
    right.materialize_front();
    if (o.head_len() != 0) right.push_leaf_front(copy_leaf(o.head_, o.head_lo_, o.head_hi_, true));

    Pair merged;
    merge(left.root_, left.height_, right.root_, right.height_, merged);
    unsigned height = std::max(left.height_, right.height_);
    PVector r;
    if (merged.count == 1) {
      r.root_ = merged.n[0].take();
    } else {
      ++height;
      check_height(height);
      Inner* top = new_inner();
      Hold hold(top);
      top->child[0] = merged.n[0].take();
      top->child[1] = merged.n[1].take();
      top->count = 2;
      recompute(top, height);
      r.root_ = hold.take();
    }
    r.height_ = static_cast<std::uint8_t>(height);
    r.collapse_root();
    r.head_ = head_;
    retain(head_);
    r.head_lo_ = head_lo_;
    r.head_hi_ = head_hi_;
    r.tail_ = o.tail_;
    retain(o.tail_);
    r.tail_lo_ = o.tail_lo_;
    r.tail_hi_ = o.tail_hi_;
    r.size_ = size_ + o.size_;
    return r;
  }

  // Whether concat(o) may be built. Concatenation adds at most two levels to the taller tree
  // and later pushes at most one more, all within kMaxHeight: that holds up to about 2^50
  // elements, which only shared structure reaches (a vector concatenated with itself fifty
  // times). Past it the caller refuses the operation; concat itself would throw InternalError.
  bool concat_fits(const PVector& o) const {
    return std::max<unsigned>(height_, o.height_) + 3u <= kMaxHeight;
  }

  // ---- transient (owned) mode: mutate the receiver, copying only what other versions share ----

  void push_back_mut(T v) {
    if (tail_ && try_append(tail_, tail_hi_, v)) {
      ++size_;
      return;
    }
    const std::size_t tl = tail_len();
    Hold fresh(new_leaf(root_ || tl == kWidth ? kWidth : grown_cap(tl + 1)));
    Leaf* chunk = static_cast<Leaf*>(fresh.get());
    if (tl == kWidth) {
      // A full tail (its view is the whole chunk) becomes the tree's last leaf as it is.
      construct(chunk, std::move(v));
      tail_->frozen = true;
      retain(tail_);
      push_leaf_back(tail_);
      release(tail_);
      tail_ = chunk;
      fresh.take();
      tail_lo_ = 0;
      tail_hi_ = 1;
    } else {
      for (std::size_t k = tail_lo_; k < tail_hi_; ++k)
        construct(chunk, tail_->data()[k]);
      construct(chunk, std::move(v));
      release(tail_);
      tail_ = chunk;
      fresh.take();
      tail_lo_ = 0;
      tail_hi_ = chunk->count;
    }
    ++size_;
  }

  void push_front_mut(T v) {
    if (head_ && try_append(head_, head_hi_, v)) {
      ++size_;
      return;
    }
    const std::size_t hl = head_len();
    Hold fresh(new_leaf(root_ || hl == kWidth ? kWidth : grown_cap(hl + 1)));
    Leaf* chunk = static_cast<Leaf*>(fresh.get());
    if (hl == kWidth) {
      // The head is stored reversed, so it enters the tree as a reordered copy.
      Hold leaf(copy_leaf(head_, head_lo_, head_hi_, true));
      construct(chunk, std::move(v));
      materialize_front();
      push_leaf_front(leaf.take());
      release(head_);
      head_ = chunk;
      fresh.take();
      head_lo_ = 0;
      head_hi_ = 1;
    } else {
      for (std::size_t k = head_lo_; k < head_hi_; ++k)
        construct(chunk, head_->data()[k]);
      construct(chunk, std::move(v));
      release(head_);
      head_ = chunk;
      fresh.take();
      head_lo_ = 0;
      head_hi_ = chunk->count;
    }
    ++size_;
  }

  // Precondition: i < size(); a violation throws InternalError.
  void set_mut(std::size_t i, T v) {
    check_index(i);
    std::size_t hl = head_len();
    if (i < hl) {
      own_chunk(head_, head_lo_, head_hi_);
      head_->inert = false;
      head_->data()[head_hi_ - 1 - i] = std::move(v);
      return;
    }
    i -= hl;
    std::size_t ts = tree_size();
    if (i < ts) {
      tree_set(tree_off_ + i, std::move(v));
      return;
    }
    own_chunk(tail_, tail_lo_, tail_hi_);
    tail_->inert = false;
    tail_->data()[tail_lo_ + (i - ts)] = std::move(v);
  }

  void pop_back_mut() {
    if (size_ == 0) return;
    if (tail_len() != 0) {
      shrink_view_end(tail_, tail_lo_, tail_hi_);
    } else if (root_) {
      spill_last_leaf();
      shrink_view_end(tail_, tail_lo_, tail_hi_);
    } else {
      // Only the head is left; its last element sits at the low end of the reversed chunk.
      ++head_lo_;
      drop_empty(head_, head_lo_, head_hi_);
    }
    --size_;
  }

  void pop_front_mut() {
    if (size_ == 0) return;
    if (head_len() != 0) {
      shrink_view_end(head_, head_lo_, head_hi_);
      --size_;
      return;
    }
    drop_front(1);
  }

  // ---- iteration ----

  class const_iterator {
  public:
    using iterator_category = std::forward_iterator_tag;
    using value_type = T;
    using difference_type = std::ptrdiff_t;
    using pointer = const T*;
    using reference = const T&;

    const_iterator() = default;
    reference operator*() const { return *p_; }
    pointer operator->() const { return p_; }
    const_iterator& operator++() {
      ++i_;
      if (--left_ == 0) {
        load();
      } else {
        p_ += step_;
      }
      return *this;
    }
    const_iterator operator++(int) {
      const_iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const const_iterator& a, const const_iterator& b) {
      return a.i_ == b.i_;
    }

  private:
    friend class PVector;
    const_iterator(const PVector* v, std::size_t i) : v_(v), i_(i) { load(); }
    void load() {
      if (i_ >= v_->size_) {
        p_ = nullptr;
        left_ = 0;
        return;
      }
      Run run = v_->run_at(i_);
      p_ = run.p;
      step_ = run.step;
      left_ = run.len;
    }

    const PVector* v_ = nullptr;
    std::size_t i_ = 0;
    const T* p_ = nullptr;
    std::ptrdiff_t step_ = 1;
    std::size_t left_ = 0;
  };

  const_iterator begin() const { return const_iterator(this, 0); }
  const_iterator end() const { return const_iterator(this, size_); }

  template <class F> void for_each(F&& f) const {
    for (std::size_t k = head_hi_; k > head_lo_; --k)
      f(head_->data()[k - 1]);
    if (root_) {
      std::size_t skip = tree_off_;
      for_each_node(root_, skip, f);
    }
    for (std::size_t k = tail_lo_; k < tail_hi_; ++k)
      f(tail_->data()[k]);
  }

  // Calls f on the elements for which needs(x) holds, in order, except that an inner node of the
  // tree that other versions share (reference count above one) is entered only when
  // `first_entry(node)` answers true, and then whole, elements hidden from this version
  // included. A walk over many versions this way (the collector's) costs their distinct storage,
  // not the sum of their lengths, which sharing makes exponential: a vector concatenated with
  // itself forty times. A node of the tree below which nothing needs f is marked and, until it
  // is written to, skipped whole by later walks: a vector of numbers that only grows at the back
  // costs such a walk its chunks and its right edge. Chunks are small and always walked as
  // viewed. Answers the work done: elements looked at plus nodes entered or skipped.
  template <class First, class Needs, class F>
  std::size_t for_each_needed(First&& first_entry, Needs&& needs, F&& f) const {
    std::size_t work = head_len() + tail_len();
    for (std::size_t k = head_hi_; k > head_lo_; --k)
      if (needs(head_->data()[k - 1])) f(head_->data()[k - 1]);
    if (root_) {
      std::size_t skip = tree_off_;
      for_each_needed_node(root_, skip, first_entry, needs, f, work);
    }
    for (std::size_t k = tail_lo_; k < tail_hi_; ++k)
      if (needs(tail_->data()[k])) f(tail_->data()[k]);
    return work;
  }

  // Verifies the internal bookkeeping (views, size tables, regular flags, leaf depth) and
  // returns the tree's height, or -1 when something is inconsistent. Meant for tests.
  int check_invariants() const {
    if ((head_ == nullptr) != (head_len() == 0) || (tail_ == nullptr) != (tail_len() == 0)) {
      return -1;
    }
    if (head_ && (head_lo_ > head_hi_ || head_hi_ > head_->count || head_->count > head_->cap)) {
      return -1;
    }
    if (tail_ && (tail_lo_ > tail_hi_ || tail_hi_ > tail_->count || tail_->count > tail_->cap)) {
      return -1;
    }
    if (head_len() + tail_len() > size_) return -1;
    if (!root_) return tree_size() == 0 && height_ == 0 && tree_off_ == 0 ? 0 : -1;
    if (tree_size() == 0) return -1;
    std::size_t counted = 0;
    if (!check_node(root_, height_, counted) || counted != tree_off_ + tree_size()) return -1;
    return height_;
  }

  bool ptr_eq(const PVector& o) const {
    return head_ == o.head_ && root_ == o.root_ && tail_ == o.tail_ && size_ == o.size_ &&
           tree_off_ == o.tree_off_ && head_lo_ == o.head_lo_ && head_hi_ == o.head_hi_ &&
           tail_lo_ == o.tail_lo_ && tail_hi_ == o.tail_hi_ && height_ == o.height_;
  }

private:
  // ---- reference counting ----

  static void retain(Node* n) noexcept {
    if (n) ++n->rc;
  }
  static void release(Node* n) noexcept {
    if (n && --n->rc == 0) destroy(n);
  }
  static void destroy(Node* n) noexcept {
    if (n->is_leaf) {
      Leaf* leaf = static_cast<Leaf*>(n);
      std::destroy_n(leaf->data(), leaf->count);
      free_leaf(leaf);
    } else {
      Inner* in = static_cast<Inner*>(n);
      for (unsigned k = 0; k < in->count; ++k)
        release(in->child[k]);
      delete in;
    }
  }

  // One owned reference, released unless handed on with take().
  class Hold {
  public:
    explicit Hold(Node* n = nullptr) : n_(n) {}
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;
    ~Hold() { release(n_); }
    void reset(Node* n) {
      release(n_);
      n_ = n;
    }
    Node* get() const { return n_; }
    Node* take() {
      Node* n = n_;
      n_ = nullptr;
      return n;
    }

  private:
    Node* n_;
  };

  struct Pair {
    Hold n[2];
    unsigned count = 0;
    void push(Node* node) { n[count++].reset(node); }
  };

  void forget() noexcept {
    head_ = nullptr;
    root_ = nullptr;
    tail_ = nullptr;
    size_ = 0;
    tree_off_ = 0;
    head_lo_ = head_hi_ = tail_lo_ = tail_hi_ = height_ = 0;
  }
  void clear() noexcept {
    release(head_);
    release(root_);
    release(tail_);
    forget();
  }

  std::size_t head_len() const { return static_cast<std::size_t>(head_hi_ - head_lo_); }
  std::size_t tail_len() const { return static_cast<std::size_t>(tail_hi_ - tail_lo_); }
  std::size_t tree_size() const { return size_ - head_len() - tail_len(); }

  void check_index(std::size_t i) const {
    if (i >= size_) throw InternalError("persistent vector index out of range");
  }

  static void check_height(unsigned height) {
    if (height > kMaxHeight) throw InternalError("persistent vector tree too tall");
  }

  // ---- chunks and leaves ----

  static Leaf* new_leaf(unsigned cap = kWidth) {
    void* p = ::operator new(leaf_bytes(cap));
    Leaf* leaf = ::new (p) Leaf;
    leaf->cap = static_cast<std::uint8_t>(cap);
    return leaf;
  }
  static void free_leaf(Leaf* leaf) noexcept {
    const std::size_t bytes = leaf_bytes(leaf->cap);
    leaf->~Leaf();
    ::operator delete(static_cast<void*>(leaf), bytes);
  }
  static Inner* new_inner() { return new Inner; }

  template <class U> static void construct(Leaf* leaf, U&& v) {
    ::new (static_cast<void*>(leaf->data() + leaf->count)) T(std::forward<U>(v));
    ++leaf->count;
    leaf->inert = false;
  }

  // A new leaf holding [lo, hi) of src, in reverse when asked; frozen, for use in a tree.
  static Leaf* copy_leaf(const Leaf* src, unsigned lo, unsigned hi, bool reversed) {
    Hold hold(new_leaf());
    Leaf* leaf = static_cast<Leaf*>(hold.get());
    for (unsigned k = 0; k < hi - lo; ++k)
      construct(leaf, src->data()[reversed ? hi - 1 - k : lo + k]);
    leaf->frozen = true;
    return static_cast<Leaf*>(hold.take());
  }

  // Appends v to the chunk in place when the slot after the view is free for this version.
  static bool try_append(Leaf* chunk, std::uint8_t& hi, T& v) {
    if (chunk->rc == 1) {
      // Sole owner: slots past the view are garbage left by pops.
      std::destroy(chunk->data() + hi, chunk->data() + chunk->count);
      chunk->count = hi;
      chunk->frozen = false;
    }
    if (hi != chunk->count || chunk->count == chunk->cap || chunk->frozen) return false;
    construct(chunk, std::move(v));
    ++hi;
    return true;
  }

  // Makes the chunk writable by this version, copying its view when shared.
  static void own_chunk(Leaf*& chunk, std::uint8_t& lo, std::uint8_t& hi) {
    if (chunk->rc == 1) return;
    Leaf* copy = copy_leaf(chunk, lo, hi, false);
    copy->frozen = false;
    release(chunk);
    chunk = copy;
    lo = 0;
    hi = copy->count;
  }

  // Removes the element at the high end of a view.
  static void shrink_view_end(Leaf*& chunk, std::uint8_t& lo, std::uint8_t& hi) {
    if (chunk->rc == 1 && hi == chunk->count) {
      std::destroy_at(chunk->data() + hi - 1);
      --chunk->count;
    }
    --hi;
    drop_empty(chunk, lo, hi);
  }

  static void drop_empty(Leaf*& chunk, std::uint8_t& lo, std::uint8_t& hi) {
    if (lo != hi) return;
    release(chunk);
    chunk = nullptr;
    lo = hi = 0;
  }

  // The tail as a leaf for the tree: shared when it is a whole full chunk, copied otherwise.
  Node* tail_as_leaf() const {
    if (tail_lo_ == 0 && tail_hi_ == kWidth) {
      tail_->frozen = true;
      retain(tail_);
      return tail_;
    }
    return copy_leaf(tail_, tail_lo_, tail_hi_, false);
  }

  // Moves the tree's first leaf into the (empty) head.
  void spill_first_leaf() {
    materialize_front();
    Hold head(copy_leaf(first_leaf(), 0, first_leaf()->count, true));
    static_cast<Leaf*>(head.get())->frozen = false;
    release(pop_leaf_front());
    release(head_);
    head_ = static_cast<Leaf*>(head.take());
    head_lo_ = 0;
    head_hi_ = head_->count;
  }

  // Moves the tree's last leaf into the (empty) tail; the leaf is shared, not copied.
  void spill_last_leaf() {
    const std::size_t full = tree_off_ + tree_size();
    Leaf* leaf = static_cast<Leaf*>(pop_leaf_back());
    const std::size_t start = full - leaf->count; // the leaf's first element in the tree
    release(tail_);
    tail_ = leaf;
    tail_lo_ = static_cast<std::uint8_t>(tree_off_ > start ? tree_off_ - start : 0);
    tail_hi_ = leaf->count;
    if (tree_off_ >= start) {
      // What is left of the tree is all hidden.
      release(root_);
      root_ = nullptr;
      height_ = 0;
      tree_off_ = 0;
    }
  }

  // Removes the first k elements, k <= size(). The tree part only grows its hidden prefix, until
  // that prefix outgrows what is visible.
  void drop_front(std::size_t k) {
    const std::size_t hl = head_len();
    if (k < hl) {
      head_hi_ = static_cast<std::uint8_t>(head_hi_ - k);
      size_ -= k;
      return;
    }
    if (hl != 0) {
      release(head_);
      head_ = nullptr;
      head_lo_ = head_hi_ = 0;
      size_ -= hl;
      k -= hl;
    }
    const std::size_t ts = tree_size();
    if (k < ts) {
      if (k == 0) return;
      const std::size_t off = tree_off_ + k;
      if (off >= kMinCut && off > ts - k) {
        Node* cut = drop_rec(root_, height_, off);
        release(root_);
        root_ = cut;
        tree_off_ = 0;
        collapse_root();
      } else {
        tree_off_ = off;
      }
      size_ -= k;
      return;
    }
    if (root_) {
      release(root_);
      root_ = nullptr;
      height_ = 0;
      tree_off_ = 0;
      size_ -= ts;
      k -= ts;
    }
    tail_lo_ = static_cast<std::uint8_t>(tail_lo_ + k);
    size_ -= k;
    drop_empty(tail_, tail_lo_, tail_hi_);
  }

  // Cuts the tree's hidden prefix off for real.
  void materialize_front() {
    if (tree_off_ == 0) return;
    Node* cut = drop_rec(root_, height_, tree_off_);
    release(root_);
    root_ = cut;
    tree_off_ = 0;
    collapse_root();
  }

  // ---- tree nodes ----

  static std::size_t node_size(const Node* n) {
    return n->is_leaf ? n->count : static_cast<const Inner*>(n)->sizes[n->count - 1];
  }

  // Rebuilds the size table and the regular flag of an inner node at `height` from its children.
  static void recompute(Inner* in, unsigned height) {
    const std::size_t cap = pvector_detail::child_capacity(height);
    std::size_t total = 0;
    bool regular = true;
    for (unsigned k = 0; k < in->count; ++k) {
      const Node* c = in->child[k];
      std::size_t s = node_size(c);
      total += s;
      in->sizes[k] = total;
      if (k + 1 < in->count) {
        regular = regular && s == cap;
      } else {
        regular = regular && (c->is_leaf || c->regular);
      }
    }
    in->regular = regular;
  }

  // The child of `in` (at `height`) holding element i; i becomes the offset inside that child.
  static unsigned find_child(const Inner* in, unsigned height, std::size_t& i) {
    const unsigned shift = kBits * height;
    std::size_t j = shift < 64 ? i >> shift : 0;
    if (in->regular) {
      i -= j << shift;
      return static_cast<unsigned>(j);
    }
    // A child never holds more than its capacity, so the digit never overshoots; rebalancing
    // keeps the answer within a few slots past it. Counting the sizes at or below i in the next
    // four slots finds it without a data-dependent branch (the last size exceeds i, so clamped
    // slots count nothing); longer walks are rare.
    const std::size_t last = in->count - 1u;
    if (j > last) j = last;
    const std::size_t* sz = in->sizes;
    j += (sz[j] <= i) + (sz[std::min(j + 1, last)] <= i) + (sz[std::min(j + 2, last)] <= i) +
         (sz[std::min(j + 3, last)] <= i);
    while (sz[j] <= i)
      ++j;
    if (j != 0) i -= sz[j - 1];
    return static_cast<unsigned>(j);
  }

  // The leaf holding tree element i; i becomes the offset inside it.
  const Leaf* leaf_for(std::size_t& i) const {
    const Node* n = root_;
    unsigned h = height_;
    while (h != 0) {
      const Inner* in = static_cast<const Inner*>(n);
      if (in->regular) {
        // Everything below a regular node is regular or full: follow the digits.
        for (; h != 0; --h)
          n = static_cast<const Inner*>(n)->child[(i >> (kBits * h)) & kMask];
        i &= kMask;
        return static_cast<const Leaf*>(n);
      }
      // As find_child, but the candidate children are read together with the sizes, so that
      // the two cache lines load in parallel rather than one after the other.
      const std::size_t last = in->count - 1u;
      std::size_t j = std::min<std::size_t>(i >> (kBits * h), last);
      const std::size_t j1 = std::min(j + 1, last), j2 = std::min(j + 2, last),
                        j3 = std::min(j + 3, last);
      const Node* const cand[4] = {in->child[j], in->child[j1], in->child[j2], in->child[j3]};
      const std::size_t* sz = in->sizes;
      const std::size_t steps = (sz[j] <= i) + (sz[j1] <= i) + (sz[j2] <= i) + (sz[j3] <= i);
      if (steps < 4) [[likely]] {
        n = cand[steps];
        j += steps;
      } else {
        j += steps;
        while (sz[j] <= i)
          ++j;
        n = in->child[j];
      }
      if (j != 0) i -= sz[j - 1];
      --h;
    }
    return static_cast<const Leaf*>(n);
  }

  const Leaf* first_leaf() const {
    const Node* n = root_;
    for (unsigned h = height_; h != 0; --h)
      n = static_cast<const Inner*>(n)->child[0];
    return static_cast<const Leaf*>(n);
  }

  static Node* clone(const Node* n) {
    if (n->is_leaf) {
      const Leaf* leaf = static_cast<const Leaf*>(n);
      return copy_leaf(leaf, 0, leaf->count, false);
    }
    const Inner* in = static_cast<const Inner*>(n);
    Inner* copy = new_inner();
    copy->count = in->count;
    copy->regular = in->regular;
    for (unsigned k = 0; k < in->count; ++k) {
      copy->child[k] = in->child[k];
      retain(in->child[k]);
    }
    std::memcpy(copy->sizes, in->sizes, sizeof(std::size_t) * in->count);
    return copy;
  }

  // Path copying: afterwards the slot's node is referenced only from the slot.
  static void make_unique(Node*& slot) {
    if (slot->rc == 1) {
      // Made unique to be written to: what a walk noted about its contents may stop holding.
      slot->inert = false;
      return;
    }
    Node* copy = clone(slot);
    release(slot);
    slot = copy;
  }

  // A chain of single-child nodes from `height` down to the leaf.
  static Node* make_path(Node* leaf, unsigned height) {
    Hold hold(leaf);
    for (unsigned h = 1; h <= height; ++h) {
      Inner* in = new_inner();
      in->child[0] = hold.take();
      in->count = 1;
      in->sizes[0] = node_size(in->child[0]);
      in->regular = in->child[0]->is_leaf || in->child[0]->regular;
      hold.reset(in);
    }
    return hold.take();
  }

  void collapse_root() {
    while (root_ && height_ != 0 && root_->count == 1) {
      Node* only = static_cast<Inner*>(root_)->child[0];
      retain(only);
      release(root_);
      root_ = only;
      --height_;
    }
  }

  // Appends a frozen leaf (taking the reference) after the tree's last element.
  void push_leaf_back(Node* leaf_ref) {
    Hold leaf(leaf_ref);
    const std::size_t len = leaf_ref->count;
    if (!root_) {
      root_ = leaf.take();
      height_ = 0;
      return;
    }
    // The lowest node of the right spine with a free slot receives a path down to the leaf.
    unsigned room = 0;
    {
      const Node* n = root_;
      for (unsigned h = height_; h != 0; --h) {
        if (n->count < kWidth) room = h;
        n = static_cast<const Inner*>(n)->child[n->count - 1];
      }
    }
    if (room == 0) {
      check_height(height_ + 1u);
      Hold path(make_path(leaf.take(), height_));
      Inner* top = new_inner();
      top->child[0] = root_;
      top->child[1] = path.take();
      top->count = 2;
      recompute(top, height_ + 1u);
      root_ = top;
      ++height_;
      return;
    }
    Hold path(make_path(leaf.take(), room - 1));
    Inner* spine[kMaxHeight + 1];
    Node** slot = &root_;
    for (unsigned h = height_;; --h) {
      make_unique(*slot);
      Inner* in = static_cast<Inner*>(*slot);
      spine[h] = in;
      if (h == room) break;
      slot = &in->child[in->count - 1];
    }
    // Nothing below allocates.
    Inner* at = spine[room];
    const bool last_full =
        node_size(at->child[at->count - 1]) == pvector_detail::child_capacity(room);
    at->child[at->count] = path.take();
    at->sizes[at->count] = at->sizes[at->count - 1] + len;
    ++at->count;
    at->regular = at->regular && last_full;
    for (unsigned h = room + 1; h <= height_; ++h) {
      Inner* in = spine[h];
      in->sizes[in->count - 1] += len;
      in->regular = in->regular && spine[h - 1]->regular;
    }
  }

  // Prepends a frozen leaf (taking the reference) before the tree's first element.
  void push_leaf_front(Node* leaf_ref) {
    Hold leaf(leaf_ref);
    if (!root_) {
      root_ = leaf.take();
      height_ = 0;
      return;
    }
    unsigned room = 0;
    {
      const Node* n = root_;
      for (unsigned h = height_; h != 0; --h) {
        if (n->count < kWidth) room = h;
        n = static_cast<const Inner*>(n)->child[0];
      }
    }
    if (room == 0) {
      check_height(height_ + 1u);
      Hold path(make_path(leaf.take(), height_));
      Inner* top = new_inner();
      top->child[0] = path.take();
      top->child[1] = root_;
      top->count = 2;
      recompute(top, height_ + 1u);
      root_ = top;
      ++height_;
      return;
    }
    Hold path(make_path(leaf.take(), room - 1));
    Inner* spine[kMaxHeight + 1];
    Node** slot = &root_;
    for (unsigned h = height_;; --h) {
      make_unique(*slot);
      Inner* in = static_cast<Inner*>(*slot);
      spine[h] = in;
      if (h == room) break;
      slot = &in->child[0];
    }
    Inner* at = spine[room];
    std::memmove(at->child + 1, at->child, sizeof(Node*) * at->count);
    at->child[0] = path.take();
    ++at->count;
    for (unsigned h = room; h <= height_; ++h)
      recompute(spine[h], h);
  }

  // Detaches the tree's last leaf and returns the reference to it. Precondition: a tree.
  Node* pop_leaf_back() {
    if (height_ == 0) {
      Node* leaf = root_;
      root_ = nullptr;
      return leaf;
    }
    Inner* spine[kMaxHeight + 1];
    Node** slot = &root_;
    for (unsigned h = height_; h != 0; --h) {
      make_unique(*slot);
      Inner* in = static_cast<Inner*>(*slot);
      spine[h] = in;
      slot = &in->child[in->count - 1];
    }
    Node* leaf = *slot;
    const std::size_t len = leaf->count;
    --spine[1]->count;
    bool removed = true; // the level below lost its last child
    for (unsigned h = 1; h <= height_; ++h) {
      Inner* in = spine[h];
      if (!removed) in->sizes[in->count - 1] -= len;
      removed = in->count == 0;
      if (removed) {
        if (h == height_) {
          release(root_);
          root_ = nullptr;
          height_ = 0;
          return leaf;
        }
        --spine[h + 1]->count;
        release(in);
      }
    }
    collapse_root();
    return leaf;
  }

  // Detaches the tree's first leaf and returns the reference to it. Precondition: a tree.
  Node* pop_leaf_front() {
    if (height_ == 0) {
      Node* leaf = root_;
      root_ = nullptr;
      return leaf;
    }
    Inner* spine[kMaxHeight + 1];
    Node** slot = &root_;
    for (unsigned h = height_; h != 0; --h) {
      make_unique(*slot);
      Inner* in = static_cast<Inner*>(*slot);
      spine[h] = in;
      slot = &in->child[0];
    }
    Node* leaf = *slot;
    bool remove = true; // child 0 of the current level is to be removed
    for (unsigned h = 1; h <= height_; ++h) {
      Inner* in = spine[h];
      if (remove) {
        Node* gone = in->child[0];
        --in->count;
        std::memmove(in->child, in->child + 1, sizeof(Node*) * in->count);
        if (gone != leaf) release(gone);
      }
      if (in->count == 0) {
        if (h == height_) {
          release(root_);
          root_ = nullptr;
          height_ = 0;
          return leaf;
        }
        remove = true;
      } else {
        recompute(in, h);
        remove = false;
      }
    }
    collapse_root();
    return leaf;
  }

  void tree_set(std::size_t i, T v) {
    Node** slot = &root_;
    for (unsigned h = height_;; --h) {
      make_unique(*slot);
      if (h == 0) break;
      Inner* in = static_cast<Inner*>(*slot);
      slot = &in->child[find_child(in, h, i)];
    }
    static_cast<Leaf*>(*slot)->data()[i] = std::move(v);
  }

  // The first k elements of the subtree n at `height`, 0 < k <= size(n).
  static Node* take_rec(Node* n, unsigned height, std::size_t k) {
    if (k == node_size(n)) {
      retain(n);
      return n;
    }
    if (height == 0) return copy_leaf(static_cast<Leaf*>(n), 0, static_cast<unsigned>(k), false);
    Inner* in = static_cast<Inner*>(n);
    std::size_t i = k - 1;
    unsigned j = find_child(in, height, i);
    Inner* out = new_inner();
    Hold hold(out);
    for (unsigned c = 0; c < j; ++c) {
      out->child[c] = in->child[c];
      retain(in->child[c]);
      ++out->count;
    }
    out->child[j] = take_rec(in->child[j], height - 1, i + 1);
    ++out->count;
    recompute(out, height);
    return hold.take();
  }

  // The subtree n at `height` without its first k elements, 0 <= k < size(n).
  static Node* drop_rec(Node* n, unsigned height, std::size_t k) {
    if (k == 0) {
      retain(n);
      return n;
    }
    if (height == 0) {
      return copy_leaf(static_cast<Leaf*>(n), static_cast<unsigned>(k), n->count, false);
    }
    Inner* in = static_cast<Inner*>(n);
    std::size_t i = k;
    unsigned j = find_child(in, height, i);
    Inner* out = new_inner();
    Hold hold(out);
    out->child[0] = drop_rec(in->child[j], height - 1, i);
    out->count = 1;
    for (unsigned c = j + 1; c < in->count; ++c) {
      out->child[out->count] = in->child[c];
      retain(in->child[c]);
      ++out->count;
    }
    recompute(out, height);
    return hold.take();
  }

  // Concatenates the subtrees a (at ha) and b (at hb) into one or two nodes at max(ha, hb).
  static void merge(Node* a, unsigned ha, Node* b, unsigned hb, Pair& out) {
    if (ha == 0 && hb == 0) {
      retain(a);
      out.push(a);
      retain(b);
      out.push(b);
      return;
    }
    Pair mid;
    if (ha > hb) {
      Inner* ia = static_cast<Inner*>(a);
      merge(ia->child[ia->count - 1], ha - 1, b, hb, mid);
      rebalance(ia->child, ia->count - 1u, mid, nullptr, 0, ha, out);
    } else if (ha < hb) {
      Inner* ib = static_cast<Inner*>(b);
      merge(a, ha, ib->child[0], hb - 1, mid);
      rebalance(nullptr, 0, mid, ib->child + 1, ib->count - 1u, hb, out);
    } else {
      Inner* ia = static_cast<Inner*>(a);
      Inner* ib = static_cast<Inner*>(b);
      merge(ia->child[ia->count - 1], ha - 1, ib->child[0], hb - 1, mid);
      rebalance(ia->child, ia->count - 1u, mid, ib->child + 1, ib->count - 1u, ha, out);
    }
  }

  // The children left ++ mid ++ right (all at height - 1), redistributed so that no more than
  // kExtras nodes beyond the minimum remain, packed into one or two nodes at `height`.
  static void rebalance(Node* const* left, unsigned nl, const Pair& mid, Node* const* right,
                        unsigned nr, unsigned height, Pair& out) {
    constexpr unsigned kMaxAll = 2 * kWidth + 2;
    Node* all[kMaxAll];
    unsigned n = 0;
    for (unsigned k = 0; k < nl; ++k)
      all[n++] = left[k];
    for (unsigned k = 0; k < mid.count; ++k)
      all[n++] = mid.n[k].get();
    for (unsigned k = 0; k < nr; ++k)
      all[n++] = right[k];

    unsigned plan[kMaxAll];
    std::size_t total = 0;
    for (unsigned k = 0; k < n; ++k) {
      plan[k] = all[k]->count;
      total += all[k]->count;
    }
    const std::size_t optimal = (total + kWidth - 1) / kWidth;
    unsigned m = n;
    unsigned i = 0;
    while (m > optimal + pvector_detail::kExtras) {
      while (i < m && plan[i] == kWidth)
        ++i;
      if (i >= m) break;
      // Pour node i's slots into its right neighbours until one of them is absorbed.
      unsigned rest = plan[i];
      while (rest > 0 && i + 1 < m) {
        unsigned fill = std::min(rest + plan[i + 1], kWidth);
        rest = rest + plan[i + 1] - fill;
        plan[i] = fill;
        ++i;
      }
      if (rest > 0) {
        // Unreachable while m > optimal + kExtras; keep the totals right regardless.
        plan[i] = rest;
        break;
      }
      for (unsigned k = i; k + 1 < m; ++k)
        plan[k] = plan[k + 1];
      --m;
      if (i > 0) --i;
    }

    const bool leaves = height == 1;
    Hold fresh[kMaxAll];
    unsigned src = 0;
    unsigned off = 0;
    for (unsigned t = 0; t < m; ++t) {
      const unsigned want = plan[t];
      if (off == 0 && all[src]->count == want) {
        retain(all[src]);
        fresh[t].reset(all[src]);
        ++src;
        continue;
      }
      if (leaves) {
        Leaf* leaf = new_leaf();
        fresh[t].reset(leaf);
        leaf->frozen = true;
        while (leaf->count < want) {
          const Leaf* s = static_cast<const Leaf*>(all[src]);
          unsigned take = std::min<unsigned>(want - leaf->count, s->count - off);
          for (unsigned k = 0; k < take; ++k)
            construct(leaf, s->data()[off + k]);
          off += take;
          if (off == s->count) {
            ++src;
            off = 0;
          }
        }
      } else {
        Inner* in = new_inner();
        fresh[t].reset(in);
        while (in->count < want) {
          const Inner* s = static_cast<const Inner*>(all[src]);
          unsigned take = std::min<unsigned>(want - in->count, s->count - off);
          for (unsigned k = 0; k < take; ++k) {
            in->child[in->count] = s->child[off + k];
            retain(s->child[off + k]);
            ++in->count;
          }
          off += take;
          if (off == s->count) {
            ++src;
            off = 0;
          }
        }
        recompute(in, height - 1);
      }
    }

    for (unsigned start = 0; start < m; start += kWidth) {
      Inner* parent = new_inner();
      Hold hold(parent);
      for (unsigned k = start; k < m && k < start + kWidth; ++k) {
        parent->child[parent->count] = fresh[k].take();
        ++parent->count;
      }
      recompute(parent, height);
      out.push(hold.take());
    }
  }

  // Visits the subtree's elements after the first `skip` ones (which it counts down).
  template <class F> static void for_each_node(const Node* n, std::size_t& skip, F& f) {
    if (skip != 0) {
      const std::size_t size = node_size(n);
      if (skip >= size) {
        skip -= size;
        return;
      }
    }
    if (n->is_leaf) {
      const Leaf* leaf = static_cast<const Leaf*>(n);
      for (std::size_t k = skip; k < leaf->count; ++k)
        f(leaf->data()[k]);
      skip = 0;
      return;
    }
    const Inner* in = static_cast<const Inner*>(n);
    for (unsigned k = 0; k < in->count; ++k)
      for_each_node(in->child[k], skip, f);
  }

  // As for_each_node, calling f only where needs(x) holds, skipping marked (inert) nodes, and
  // entering a shared inner node only the first time and then whole. The walk only reads
  // elements; the mark is a note about contents that no version changes without clearing it
  // (construct, set_mut, make_unique), so setting it through a const path is sound.
  template <class First, class Needs, class F>
  static void for_each_needed_node(const Node* n, std::size_t& skip, First& first_entry,
                                   Needs& needs, F& f, std::size_t& work) {
    ++work;
    if (n->inert) {
      if (skip != 0) skip -= std::min(skip, node_size(n));
      return;
    }
    if (skip != 0) {
      const std::size_t size = node_size(n);
      if (skip >= size) {
        skip -= size;
        return;
      }
    }
    Node* node = const_cast<Node*>(n);
    if (n->is_leaf) {
      const Leaf* leaf = static_cast<const Leaf*>(n);
      // Hidden elements are looked at too, so that the mark speaks for the whole leaf.
      bool any = false;
      for (std::size_t k = 0; k < leaf->count; ++k) {
        const T& x = leaf->data()[k];
        if (!needs(x)) continue;
        any = true;
        if (k >= skip) f(x);
      }
      work += leaf->count;
      node->inert = !any;
      skip = 0;
      return;
    }
    const Inner* in = static_cast<const Inner*>(n);
    if (n->rc > 1) {
      skip = 0;
      if (!first_entry(static_cast<const void*>(n))) return;
    }
    bool all = true;
    for (unsigned k = 0; k < in->count; ++k) {
      for_each_needed_node(in->child[k], skip, first_entry, needs, f, work);
      // A child passed over as hidden, or entered earlier in the walk and found live, keeps it
      // unmarked.
      all = all && in->child[k]->inert;
    }
    node->inert = all;
  }

  // Counts the subtree's elements into `counted`; false on any broken invariant.
  static bool check_node(const Node* n, unsigned height, std::size_t& counted,
                         bool under_regular = false) {
    if (n->rc == 0 || n->count == 0 || n->count > kWidth) return false;
    if (height == 0) {
      counted += n->count;
      return n->is_leaf && n->frozen && n->count <= n->cap;
    }
    if (n->is_leaf) return false;
    const Inner* in = static_cast<const Inner*>(n);
    std::size_t total = 0;
    for (unsigned k = 0; k < in->count; ++k) {
      std::size_t before = counted;
      if (!check_node(in->child[k], height - 1, counted, under_regular || in->regular)) {
        return false;
      }
      total += counted - before;
      if (in->sizes[k] != total) return false;
    }
    if (in->regular && !under_regular) {
      // Sampled elements must be where the radix digits say, as the size tables confirm.
      const std::size_t stride = std::max<std::size_t>(7, total / 2000);
      for (std::size_t i = 0; i < total; i += stride) {
        const Node* by_digits = n;
        for (unsigned h = height; h != 0; --h) {
          const Inner* at = static_cast<const Inner*>(by_digits);
          std::size_t digit = (i >> (kBits * h)) & kMask;
          if (digit >= at->count) return false;
          by_digits = at->child[digit];
        }
        const Node* by_sizes = n;
        std::size_t rel = i;
        for (unsigned h = height; h != 0; --h) {
          const Inner* at = static_cast<const Inner*>(by_sizes);
          unsigned c = 0;
          while (at->sizes[c] <= rel)
            ++c;
          if (c != 0) rel -= at->sizes[c - 1];
          by_sizes = at->child[c];
        }
        if (by_digits != by_sizes || (i & kMask) != rel) return false;
      }
    }
    return true;
  }

  // The stretch of storage that holds element i and those after it.
  struct Run {
    const T* p;
    std::ptrdiff_t step;
    std::size_t len;
  };
  Run run_at(std::size_t i) const {
    std::size_t hl = head_len();
    if (i < hl) return {head_->data() + (head_hi_ - 1 - i), -1, hl - i};
    i -= hl;
    std::size_t ts = tree_size();
    if (i < ts) {
      std::size_t k = tree_off_ + i;
      const Leaf* leaf = leaf_for(k);
      return {leaf->data() + k, 1, leaf->count - k};
    }
    i -= ts;
    return {tail_->data() + tail_lo_ + i, 1, tail_len() - i};
  }

  Leaf* head_ = nullptr;
  Node* root_ = nullptr;
  Leaf* tail_ = nullptr;
  std::size_t size_ = 0;
  std::size_t tree_off_ = 0; // hidden leading elements of the tree
  std::uint8_t head_lo_ = 0;
  std::uint8_t head_hi_ = 0;
  std::uint8_t tail_lo_ = 0;
  std::uint8_t tail_hi_ = 0;
  std::uint8_t height_ = 0;
};

} // namespace quorvex
