// The object heap and its collector.
//
// Slots. Every object lives in one slot of a growable table and is named by a HeapKey: the slot's
// index and the slot's version when the object was stored. Versions are odd while a slot is
// occupied and even while it is vacant; freeing a slot bumps its version, so every key to the
// freed object becomes stale for good (until the 32-bit version wraps) and reads as "no object"
// instead of reaching whatever reuses the slot. Slot 0 is a sentinel that is never handed out.
// Vacant slots form a free list threaded through the slots themselves, rebuilt by every sweep in
// index order: the lowest vacant slot is reused first, so live objects gather at the low end of
// the table and the vacant end left by a burst of dead objects can be given back.
//
// Roots. A collection keeps exactly what is reachable from the roots. The machine supplies them
// through RootSource::append_roots, in this order: Object values on the value stack (bottom to
// top); Object values among the globals (index order); the closure of every call frame; the
// closure, then the dispatch map, of every handler entry; the predefined optics; the macro
// roots; the shared instance of every field-less variant in the type registry. The constants of
// compiled functions are reached through the functions themselves (RootSource below). To those the
// heap adds its temporary roots (RootScope) and the references of the object being allocated, so
// that a payload under construction keeps its elements. Roots are gathered only when a collection
// is actually due, never per allocation. Repeated or stale roots are harmless.
//
// Marking. The roots become a work list. The collector pops a key, skips it when it is stale or
// already marked, marks it and pushes the keys its object refers to (trace_object). It never
// recurses, so a list nested a million deep or a long chain of atoms costs heap memory for the
// work list, not native stack. Vector storage that several versions share is walked once per
// collection, so a vector concatenated with itself sixty times costs its few distinct nodes, not
// its length.
//
// Sweeping. One pass over the slots from the last down: a marked entry is unmarked; an unmarked
// one is dropped and its version bumped; every vacant slot joins the free list. The vacant end
// of the table beyond what the live count may fill before the next collection is cut off and
// its blocks given back, when it is at least as long as what stays; slots appended later start
// above every version a cut slot had reached (fresh_version), so a key to a cut slot stays
// stale. The hash-consing tables are then rebuilt from the survivors' cached hashes, which
// drops every entry that pointed at a freed object.
//
// Pacing. A collection runs inside an allocation when the live count has reached
// gc_threshold, no native function is in progress (native_depth 0) and the heap has a root
// source. Afterwards the threshold lets the live count grow by the live count itself, but by no
// less than an eighth of the steps the collection took (values traced, slots swept), and never
// sits below 1024: a heap of small objects collects when it has doubled, while one large live
// structure, traced in full every time, is not traced again every thousand allocations. Either
// way the garbage between collections stays in proportion to the live data. The compiler's
// staging heap has no root source and never collects. In collector stress mode
// (gc_stress_mode) the collection runs at every allocation where it is allowed.
//
// What callers must root. A Value in a C++ local variable does not keep its object alive. Across
// any call that may collect (heap_alloc, the hash-consing allocators alloc_seq/alloc_set/
// alloc_map/alloc_variant, canonical_key and everything built on it, the string allocators) a
// caller must keep every key it still needs either reachable from the machine's roots (for
// instance still on the value stack) or in a RootScope. Inside a native function nothing
// collects until it calls back into the language: the callback's run may collect, so a native
// roots what it holds across a callback (the machine roots its arguments). What a native
// allocates is counted all the same: the machine tests for a due collection as soon as a native
// or host function has returned and as soon as a host effect handler has answered, the result
// on the value stack. Never hold a pointer or reference into the slot table (heap_get's result
// included) across a call that may allocate: the table may grow, move or shrink.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "value/objects.hpp"
#include "value/value.hpp"

namespace quorvex {

inline constexpr std::uint32_t kInitialGcThreshold = 1024;

// Collector stress: a collection at every allocation where one is allowed, so that a value a
// caller forgot to root is freed at once rather than in some rare run. On for every heap of a
// build made with QUORVEX_GC_STRESS, and of a process started with QUORVEX_GC_STRESS=1 in its
// environment, which lets one build run its tests both ways.
bool gc_stress_mode();

// A table from structural hash to the one hash-consed object recorded for it. Open addressing
// over the hash itself (already uniformly spread); entries are only added, replaced or cleared
// all at once.
class InternTable {
public:
  // The key recorded for `hash`, or nullptr.
  const HeapKey* find(std::uint64_t hash) const;
  // Records `key` for `hash`, replacing an earlier entry.
  void set(std::uint64_t hash, HeapKey key);
  // Empties the table, sized for about `expected` entries.
  void reset(std::size_t expected = 0);
  std::size_t size() const { return count_; }

  InternTable() = default;
  InternTable(InternTable&& other) noexcept
      : entries_(std::move(other.entries_)), count_(std::exchange(other.count_, 0)) {
    other.entries_.clear();
  }
  InternTable& operator=(InternTable&& other) noexcept {
    entries_ = std::move(other.entries_);
    count_ = std::exchange(other.count_, 0);
    other.entries_.clear();
    return *this;
  }

private:
  struct Entry {
    std::uint64_t hash;
    HeapKey key; // index 0: empty (slot 0 is never handed out)
  };
  void grow();

  std::vector<Entry> entries_; // power-of-two size, at most half full
  std::size_t count_ = 0;
};

struct HeapEntry {
  // The structural hash of an object that entered through hash-consing; the intern tables are
  // rebuilt from it.
  std::optional<std::uint64_t> cached_hash;
  HeapObject object;
  bool marked = false;
};

struct HeapSlot {
  HeapEntry entry;             // meaningful while occupied; an empty string while vacant
  std::uint32_t version = 0;   // odd while occupied
  std::uint32_t next_free = 0; // meaningful while vacant
};

// The slot table: slots by index, stored in blocks of 64, 128, 256, ... slots that never move.
// Growing a large heap then neither copies the slots already there nor touches twice the memory
// it keeps, as a contiguous array that doubles would.
class SlotTable {
public:
  SlotTable() = default;
  SlotTable(SlotTable&& other) noexcept { steal(other); }
  SlotTable& operator=(SlotTable&& other) noexcept {
    if (this != &other) {
      clear();
      steal(other);
    }
    return *this;
  }
  SlotTable(const SlotTable&) = delete;
  SlotTable& operator=(const SlotTable&) = delete;
  ~SlotTable() { clear(); }

  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }

  HeapSlot& operator[](std::size_t i) {
    const std::size_t j = i + kFirst;
    const unsigned b = static_cast<unsigned>(std::bit_width(j)) - (kFirstBits + 1);
    return blocks_[b][j - (std::size_t{kFirst} << b)];
  }
  const HeapSlot& operator[](std::size_t i) const {
    return const_cast<SlotTable*>(this)->operator[](i);
  }

  // Appends a slot constructed from the arguments and answers it.
  template <class... A> HeapSlot& emplace_back(A&&... args) {
    const std::size_t j = size_ + kFirst;
    const unsigned b = static_cast<unsigned>(std::bit_width(j)) - (kFirstBits + 1);
    const std::size_t off = j - (std::size_t{kFirst} << b);
    if (off == 0) {
      if (b >= kMaxBlocks) throw std::bad_alloc();
      blocks_[b] =
          static_cast<HeapSlot*>(::operator new(sizeof(HeapSlot) * (std::size_t{kFirst} << b)));
    }
    HeapSlot* s = ::new (static_cast<void*>(blocks_[b] + off)) HeapSlot{std::forward<A>(args)...};
    ++size_;
    return *s;
  }
  void push_back(HeapSlot&& slot) { emplace_back(std::move(slot)); }

  // Destroys every slot and gives the blocks back.
  void clear() noexcept {
    for (unsigned b = 0; b < kMaxBlocks && blocks_[b] != nullptr; ++b) {
      const std::size_t first = (std::size_t{kFirst} << b) - kFirst;
      const std::size_t cap = std::size_t{kFirst} << b;
      const std::size_t n = size_ > first ? std::min(cap, size_ - first) : 0;
      std::destroy_n(blocks_[b], n);
      ::operator delete(static_cast<void*>(blocks_[b]), sizeof(HeapSlot) * cap);
      blocks_[b] = nullptr;
    }
    size_ = 0;
  }

  // Destroys the slots from index n on and gives back every block that then holds none. A
  // block only partly cut stays allocated, so appending into it again allocates nothing.
  void truncate(std::size_t n) noexcept {
    if (n >= size_) return;
    for_each_from(n, [](std::size_t, HeapSlot& s) { std::destroy_at(&s); });
    for (unsigned b = 0; b < kMaxBlocks && blocks_[b] != nullptr; ++b) {
      const std::size_t first = (std::size_t{kFirst} << b) - kFirst;
      if (first < n) continue;
      ::operator delete(static_cast<void*>(blocks_[b]),
                        sizeof(HeapSlot) * (std::size_t{kFirst} << b));
      blocks_[b] = nullptr;
    }
    size_ = n;
  }

  // Calls f(index, slot) for every slot from `from` on, in index order.
  template <class F> void for_each_from(std::size_t from, F&& f) {
    std::size_t i = from;
    while (i < size_) {
      const std::size_t j = i + kFirst;
      const unsigned b = static_cast<unsigned>(std::bit_width(j)) - (kFirstBits + 1);
      const std::size_t base =
          (std::size_t{kFirst} << b) - kFirst; // index of the block's first slot
      const std::size_t end = std::min(size_, base + (std::size_t{kFirst} << b));
      HeapSlot* block = blocks_[b];
      for (; i < end; ++i)
        f(i, block[i - base]);
    }
  }

  // Calls f(index, slot) for every slot from the last down to index `to`.
  template <class F> void for_each_down_to(std::size_t to, F&& f) {
    std::size_t i = size_;
    while (i > to) {
      const std::size_t j = i - 1 + kFirst;
      const unsigned b = static_cast<unsigned>(std::bit_width(j)) - (kFirstBits + 1);
      const std::size_t base = (std::size_t{kFirst} << b) - kFirst;
      const std::size_t stop = std::max(base, to);
      HeapSlot* block = blocks_[b];
      while (i > stop) {
        --i;
        f(i, block[i - base]);
      }
    }
  }

private:
  static constexpr unsigned kFirstBits = 6;
  static constexpr std::size_t kFirst = std::size_t{1} << kFirstBits;
  // Enough blocks for every 32-bit index.
  static constexpr unsigned kMaxBlocks = 33 - kFirstBits;

  // Blocks are only ever allocated and given back at the end, so the allocated ones are a
  // prefix of blocks_ (clear() relies on it too), and this table's are all null here.
  void steal(SlotTable& other) noexcept {
    for (unsigned b = 0; b < kMaxBlocks && other.blocks_[b] != nullptr; ++b)
      blocks_[b] = std::exchange(other.blocks_[b], nullptr);
    size_ = std::exchange(other.size_, 0);
  }

  HeapSlot* blocks_[kMaxBlocks] = {};
  std::size_t size_ = 0;
};

// Implemented by the machine. Appends its roots in the order described above.
//
// Code. The machine's compiled functions are not heap objects, but they hold heap keys (their
// constants) and objects name them (closures, closure templates, continuations). A collection
// therefore marks the functions too: begin_collection marks the ones the machine itself runs and
// adds their keys to the work list, trace_code does the same for the functions a marked
// closure, template or continuation names, and end_collection, after marking, frees the
// functions nothing named. A staging heap has no root source and no code.
class RootSource {
public:
  virtual void append_roots(std::vector<HeapKey>& out) const = 0;
  virtual void begin_collection(std::vector<HeapKey>& /*work*/) {}
  virtual void trace_code(const HeapObject& /*object*/, std::vector<HeapKey>& /*work*/) {}
  virtual void end_collection() {}

protected:
  ~RootSource() = default;
};

// Asked now and then by long walks over a heap's data (comparing, hashing, printing or copying
// out a value) whether to give up, so that Ctrl-C stops them: a vector that shares its storage
// can hold 2^40 elements in a few kilobytes. The machine answers through its interrupt hook.
class WalkMonitor {
public:
  virtual bool stop_walk() = 0;

protected:
  ~WalkMonitor() = default;
};

// How many steps of long walks pass between two questions to the walk monitor.
inline constexpr std::uint32_t kWalkPollInterval = 4096;

// Appends v's key when v is an Object.
inline void append_value_root(std::vector<HeapKey>& out, const Value& v) {
  if (v.tag == Tag::Object) out.push_back(v.as.key);
}

struct Heap {
  Heap();
  // A moved-from heap is empty and usable again.
  Heap(Heap&& other) noexcept;
  Heap& operator=(Heap&& other) noexcept;
  Heap(const Heap&) = delete;
  Heap& operator=(const Heap&) = delete;

  SlotTable slots;
  // First vacant slot; equal to slots.size() when there is none.
  std::uint32_t free_head = 1;
  std::uint32_t live_count = 0;
  InternTable intern_seq;
  InternTable intern_set;
  InternTable intern_map;
  InternTable intern_variant;
  InternTable intern_string;
  std::uint32_t gc_threshold = kInitialGcThreshold;
  // Whether every allocation collects where allowed (gc_stress_mode at construction).
  bool stress = gc_stress_mode();
  // Native function calls in progress; nothing collects while it is above zero. A callback from
  // a native into the language sets it to zero for its run (CollectionAllowed).
  std::uint32_t native_depth = 0;

  // The machine whose roots this heap is collected against; none for a staging heap, which then
  // never collects on its own. The machine must outlive the heap's use of it (it owns the heap).
  RootSource* root_source = nullptr;
  // Keys held by RootScopes.
  std::vector<HeapKey> temp_roots;
  // Whom long walks over this heap's data ask whether to stop; none: they never stop. Walks
  // count their steps down in walk_countdown (see walk_interrupted).
  WalkMonitor* walk_monitor = nullptr;
  mutable std::uint32_t walk_countdown = kWalkPollInterval;
  // Collections run so far.
  std::uint64_t collections = 0;
  // The version a slot appended from now on starts at: 1, or one above the highest version a
  // slot cut off the end of the table had reached, so that no key to a cut slot names the
  // object a later slot of the same index holds.
  std::uint32_t fresh_version = 1;
  // Values and keys looked at by the marking in progress; the sweep paces the next collection
  // by it.
  std::uint64_t mark_work = 0;
};

// The empty heap: the sentinel slot only, threshold 1024.
inline Heap heap_new() {
  return Heap();
}

// Asks the walk monitor, and starts the count to the next question over.
bool poll_walk_monitor(const Heap& h);

// Counts one step of a long walk over the heap's data (an element compared, hashed, printed or
// copied): true when the walk must stop, which it reports as ValueFault::Interrupted. Cheap: the
// monitor is asked every kWalkPollInterval steps.
inline bool walk_interrupted(const Heap& h) {
  if (--h.walk_countdown != 0) [[likely]]
    return false;
  return poll_walk_monitor(h);
}

// ---------------------------------------------------------------------------------------------
// Lookup. The pointers returned stay valid until the next insertion or collection.

inline const HeapSlot* live_slot(const Heap& h, HeapKey k) {
  if (k.index >= h.slots.size()) return nullptr;
  const HeapSlot& s = h.slots[k.index];
  return (s.version == k.version && (k.version & 1) != 0) ? &s : nullptr;
}

inline bool heap_is_live(const Heap& h, HeapKey k) {
  return live_slot(h, k) != nullptr;
}

inline const HeapEntry* heap_entry(const Heap& h, HeapKey k) {
  const HeapSlot* s = live_slot(h, k);
  return s != nullptr ? &s->entry : nullptr;
}

// The object behind a live key, else nullptr.
inline const HeapObject* heap_get(const Heap& h, HeapKey k) {
  const HeapSlot* s = live_slot(h, k);
  return s != nullptr ? &s->entry.object : nullptr;
}
inline HeapObject* heap_get_mut(Heap& h, HeapKey k) {
  return const_cast<HeapObject*>(heap_get(h, k));
}

// The payload behind a live key when the object has that kind, else nullptr.
template <class T> const T* heap_get_as(const Heap& h, HeapKey k) {
  static_assert(kIsPayload<T>);
  const HeapObject* o = heap_get(h, k);
  return o != nullptr ? o->get_if<T>() : nullptr;
}
template <class T> const T* heap_get_as(const Heap& h, const Value& v) {
  return v.tag == Tag::Object ? heap_get_as<T>(h, v.as.key) : nullptr;
}
template <class T> T* heap_get_mut_as(Heap& h, HeapKey k) {
  return const_cast<T*>(heap_get_as<T>(h, k));
}

// The kind of the object behind v, when v is an Object with a live key.
inline std::optional<ObjectKind> object_kind(const Heap& h, const Value& v) {
  if (v.tag != Tag::Object) return std::nullopt;
  const HeapObject* o = heap_get(h, v.as.key);
  if (o == nullptr) return std::nullopt;
  return o->kind();
}

// ---------------------------------------------------------------------------------------------
// Insertion and allocation.

// Stores the object without any collection check; no cached hash, mark clear.
HeapKey heap_insert(Heap& h, HeapObject object);
// Stores a whole entry as it is (cached hash and all): used to move objects between heaps.
HeapKey heap_insert_entry(Heap& h, HeapEntry entry);
// Collects first when a collection is due (the object's own references are roots during it),
// then inserts.
HeapKey heap_alloc(Heap& h, HeapObject object);
// heap_alloc of a list or vector object holding `items` (moved from).
HeapKey heap_alloc_seq(Heap& h, ValueVector&& items, bool is_vector);

// ---------------------------------------------------------------------------------------------
// Collection.

// Whether an allocation now would collect.
inline bool collection_due(const Heap& h) {
  if (h.native_depth != 0 || h.root_source == nullptr) return false;
  return h.stress || h.live_count >= h.gc_threshold;
}

// Collects when due, with the root source's roots, the temporary roots and the references of
// `pending` (an object about to be inserted). Answers whether it collected.
bool collect_if_due(Heap& h, const HeapObject* pending = nullptr);

// Collects when the live count has reached the threshold: the test made once a native function,
// a host function or a host effect handler has returned, for what it allocated with collection
// held off. The stress build does not force this one: it already collects at every allocation
// where that is allowed, and a collection at every native return would trace a growing
// structure once per element added to it.
inline bool collect_if_threshold_reached(Heap& h) {
  if (h.live_count < h.gc_threshold) return false;
  return collect_if_due(h);
}

// A full collection from exactly `roots` plus the temporary roots.
void heap_collect(Heap& h, std::vector<HeapKey> roots);
// Marks from the work list (consumed).
void heap_mark(Heap& h, std::vector<HeapKey>& work);
// Appends the keys the object refers to, in the order of its kind (elements of a persistent
// collection in iteration order), without checking them.
void trace_object(const HeapObject& object, std::vector<HeapKey>& work);
// Frees every unmarked object, clears the marks, rebuilds the intern tables, resets the threshold.
void heap_sweep(Heap& h);
// Refills the five intern tables from the cached hashes of the occupied slots, in index order.
void rebuild_intern_tables(Heap& h);

// Keeps keys alive across calls that may collect, for as long as the scope lives. Scopes nest
// (LIFO); the keys live in the heap itself, so a scope costs no allocation in the steady state.
class RootScope {
public:
  explicit RootScope(Heap& h) : heap_(h), mark_(h.temp_roots.size()) {}
  ~RootScope() { heap_.temp_roots.resize(mark_); }
  RootScope(const RootScope&) = delete;
  RootScope& operator=(const RootScope&) = delete;

  void add(HeapKey k) { heap_.temp_roots.push_back(k); }
  void add(const Value& v) {
    if (v.tag == Tag::Object) heap_.temp_roots.push_back(v.as.key);
  }
  void add(std::span<const Value> vs) {
    for (const Value& v : vs)
      add(v);
  }

private:
  Heap& heap_;
  std::size_t mark_;
};

// Marks a native function call in progress: no collection runs while one exists.
class NativeCallScope {
public:
  explicit NativeCallScope(Heap& h) : heap_(h) { ++heap_.native_depth; }
  ~NativeCallScope() {
    if (heap_.native_depth > 0) --heap_.native_depth;
  }
  NativeCallScope(const NativeCallScope&) = delete;
  NativeCallScope& operator=(const NativeCallScope&) = delete;

private:
  Heap& heap_;
};

// Lets collections run again inside a native function, for the duration of a callback into the
// language: the natives in progress have rooted what they hold.
class CollectionAllowed {
public:
  explicit CollectionAllowed(Heap& h) : heap_(h), held_(h.native_depth) { heap_.native_depth = 0; }
  ~CollectionAllowed() { heap_.native_depth = held_; }
  CollectionAllowed(const CollectionAllowed&) = delete;
  CollectionAllowed& operator=(const CollectionAllowed&) = delete;

private:
  Heap& heap_;
  std::uint32_t held_;
};

// The one walk over the keys an object holds, in the order of its kind (elements of a persistent
// collection in iteration order). On a const object it only reads: `on_key(const HeapKey&)` sees
// each key (tracing). On a mutable object `on_key(HeapKey&)` may rewrite each key in place
// (remapping handles); sets and maps are then rebuilt with fresh hash keys, since their
// elements' identities change, and a vector's element is replaced only when its key changed.
template <class Object, class F> void for_each_reference(Object& object, F&& on_key) {
  static_assert(std::is_same_v<std::remove_const_t<Object>, HeapObject>);
  constexpr bool kRewrites = !std::is_const_v<Object>;
  auto on_value = [&](auto& v) {
    if (v.tag == Tag::Object) on_key(v.as.key);
  };
  auto on_optional = [&](auto& k) {
    if (k) on_key(*k);
  };
  switch (object.kind()) {
  case ObjectKind::String:
  case ObjectKind::ClosureTemplate:
  case ObjectKind::Regex:
  case ObjectKind::Effect:
    return;
  case ObjectKind::Seq: {
    auto& items = object.template get_if<SeqObject>()->items;
    if constexpr (kRewrites) {
      for (std::size_t i = 0; i < items.size(); ++i) {
        const Value v = items[i];
        if (v.tag != Tag::Object) continue;
        Value w = v;
        on_key(w.as.key);
        if (!(w.as.key == v.as.key)) items.set_mut(i, w);
      }
    } else {
      // Leaf by leaf: a long vector of numbers is traced at the speed of a scan.
      items.for_each(on_value);
    }
    return;
  }
  case ObjectKind::Set: {
    auto& set = object.template get_if<SetObject>()->set;
    if constexpr (kRewrites) {
      ValueSet rebuilt(next_random_keys());
      for (const Value& v : set) {
        Value w = v;
        on_value(w);
        rebuilt.insert_mut(w);
      }
      set = std::move(rebuilt);
    } else {
      for (const Value& v : set)
        on_value(v);
    }
    return;
  }
  case ObjectKind::Map: {
    auto& map = object.template get_if<MapObject>()->map;
    if constexpr (kRewrites) {
      ValueMap rebuilt(next_random_keys());
      for (const auto& entry : map) {
        Value k = entry.first;
        Value v = entry.second;
        on_value(k);
        on_value(v);
        rebuilt.insert_mut(k, v);
      }
      map = std::move(rebuilt);
    } else {
      for (const auto& entry : map) {
        on_value(entry.first);
        on_value(entry.second);
      }
    }
    return;
  }
  case ObjectKind::Closure:
    for (auto& v : object.template get_if<Closure>()->captures)
      on_value(v);
    return;
  case ObjectKind::Continuation: {
    auto& c = *object.template get_if<Continuation>();
    for (auto& v : c.values)
      on_value(v);
    for (auto& f : c.frames) {
      if (f.has_closure()) on_key(f.closure);
      if (f.abort_to.present()) on_key(f.abort_to.continuation);
    }
    if (c.handler_frame_closure.version != 0) on_key(c.handler_frame_closure);
    for (auto& e : c.handlers) {
      on_optional(e.closure);
      on_optional(e.dispatch_map);
    }
    return;
  }
  case ObjectKind::Atom:
    on_value(object.template get_if<Atom>()->value);
    return;
  case ObjectKind::Optic:
    std::visit(
        [&](auto& p) {
          using P = std::remove_cvref_t<decltype(p)>;
          if constexpr (std::is_same_v<P, OpticKind::Key> || std::is_same_v<P, OpticKind::NotKey>) {
            on_key(p.key_box);
          } else if constexpr (std::is_same_v<P, OpticKind::Filtered> ||
                               std::is_same_v<P, OpticKind::When>) {
            on_key(p.predicate);
          } else if constexpr (std::is_same_v<P, OpticKind::First>) {
            on_key(p.inner);
          } else if constexpr (std::is_same_v<P, OpticKind::Compose>) {
            for (auto& k : p.steps)
              on_key(k);
          } else if constexpr (std::is_same_v<P, OpticKind::Lens>) {
            on_key(p.getter);
            on_key(p.setter);
          } else if constexpr (std::is_same_v<P, OpticKind::KeyCompare>) {
            on_key(p.key_box);
            on_value(p.literal);
          }
        },
        object.template get_if<Optic>()->kind.data);
    return;
  case ObjectKind::KeyBox:
    on_value(object.template get_if<KeyBox>()->value);
    return;
  case ObjectKind::Variant:
    for (auto& v : object.template get_if<Variant>()->fields)
      on_value(v);
    return;
  }
}

// Rewrites every key the object holds through `remap`, which answers the replacement or nullopt
// to keep a key.
template <class F> void remap_object_handles(HeapObject& object, F&& remap) {
  for_each_reference(object, [&](HeapKey& k) {
    if (std::optional<HeapKey> n = remap(k)) k = *n;
  });
}

} // namespace quorvex
