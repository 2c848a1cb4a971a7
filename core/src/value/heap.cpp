#include "value/heap.hpp"

#include <bit>
#include <new>
#include <utility>

namespace quorvex {

// ---------------------------------------------------------------------------------------------
// InternTable

const HeapKey* InternTable::find(std::uint64_t hash) const {
  if (entries_.empty()) return nullptr;
  const std::size_t mask = entries_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    const Entry& e = entries_[i];
    if (e.key.index == 0) return nullptr;
    if (e.hash == hash) return &e.key;
  }
}

void InternTable::set(std::uint64_t hash, HeapKey key) {
  if ((count_ + 1) * 2 > entries_.size()) grow();
  const std::size_t mask = entries_.size() - 1;
  for (std::size_t i = static_cast<std::size_t>(hash) & mask;; i = (i + 1) & mask) {
    Entry& e = entries_[i];
    if (e.key.index == 0) {
      e = Entry{hash, key};
      ++count_;
      return;
    }
    if (e.hash == hash) {
      e.key = key;
      return;
    }
  }
}

void InternTable::grow() {
  std::vector<Entry> old = std::move(entries_);
  entries_.assign(old.empty() ? 16 : old.size() * 2, Entry{0, HeapKey{}});
  count_ = 0;
  const std::size_t mask = entries_.size() - 1;
  for (const Entry& e : old) {
    if (e.key.index == 0) continue;
    std::size_t i = static_cast<std::size_t>(e.hash) & mask;
    while (entries_[i].key.index != 0)
      i = (i + 1) & mask;
    entries_[i] = e;
    ++count_;
  }
}

void InternTable::reset(std::size_t expected) {
  count_ = 0;
  if (expected == 0) {
    // Keep a small table for reuse; give a large one back.
    if (entries_.size() > 1024) {
      std::vector<Entry>().swap(entries_);
    } else {
      std::fill(entries_.begin(), entries_.end(), Entry{0, HeapKey{}});
    }
    return;
  }
  const std::size_t want = std::bit_ceil(std::max<std::size_t>(16, expected * 2));
  if (entries_.size() == want) {
    std::fill(entries_.begin(), entries_.end(), Entry{0, HeapKey{}});
  } else {
    entries_.assign(want, Entry{0, HeapKey{}});
  }
}

// ---------------------------------------------------------------------------------------------
// Slots

Heap::Heap() {
  slots.emplace_back();
}

Heap::Heap(Heap&& other) noexcept {
  *this = std::move(other);
}

Heap& Heap::operator=(Heap&& other) noexcept {
  if (this == &other) return *this;
  slots = std::move(other.slots);
  free_head = std::exchange(other.free_head, 1);
  live_count = std::exchange(other.live_count, 0);
  intern_seq = std::move(other.intern_seq);
  intern_set = std::move(other.intern_set);
  intern_map = std::move(other.intern_map);
  intern_variant = std::move(other.intern_variant);
  intern_string = std::move(other.intern_string);
  gc_threshold = std::exchange(other.gc_threshold, kInitialGcThreshold);
  native_depth = std::exchange(other.native_depth, 0);
  root_source = std::exchange(other.root_source, nullptr);
  temp_roots = std::move(other.temp_roots);
  collections = std::exchange(other.collections, 0);
  // The moved-from table has no sentinel; the next insertion puts one back.
  other.slots.clear();
  other.temp_roots.clear();
  return *this;
}

namespace {

// Stores an object with its cached hash, mark clear, in the slot the free list names or in a
// new one. The object is moved straight into the slot.
HeapKey insert_object(Heap& h, std::optional<std::uint64_t> hash, HeapObject&& object) {
  std::uint32_t index;
  std::uint32_t version;
  if (h.free_head < h.slots.size()) {
    index = h.free_head;
    HeapSlot& s = h.slots[index];
    h.free_head = s.next_free;
    s.version |= 1;
    s.entry.cached_hash = hash;
    s.entry.object = std::move(object);
    s.entry.marked = false;
    version = s.version;
  } else {
    // A moved-from heap has lost its sentinel; slot 0 must never be handed out.
    if (h.slots.empty()) h.slots.emplace_back();
    // Index 0xFFFFFFFF is never handed out (it prints as "null" in debug text).
    if (h.slots.size() >= 0xFFFFFFFFu) throw std::bad_alloc();
    h.slots.emplace_back(HeapEntry{hash, std::move(object), false}, 1u, 0u);
    index = static_cast<std::uint32_t>(h.slots.size() - 1);
    version = 1;
    h.free_head = static_cast<std::uint32_t>(h.slots.size());
  }
  ++h.live_count;
  return HeapKey{index, version};
}

} // namespace

HeapKey heap_insert_entry(Heap& h, HeapEntry entry) {
  return insert_object(h, entry.cached_hash, std::move(entry.object));
}

HeapKey heap_insert(Heap& h, HeapObject object) {
  return insert_object(h, std::nullopt, std::move(object));
}

HeapKey heap_alloc(Heap& h, HeapObject object) {
  collect_if_due(h, &object);
  return heap_insert(h, std::move(object));
}

// ---------------------------------------------------------------------------------------------
// Collector

bool collect_if_due(Heap& h, const HeapObject* pending) {
  if (!collection_due(h)) return false;
  std::vector<HeapKey> roots;
  h.root_source->append_roots(roots);
  if (pending != nullptr) trace_object(*pending, roots);
  heap_collect(h, std::move(roots));
  return true;
}

void heap_collect(Heap& h, std::vector<HeapKey> roots) {
  roots.insert(roots.end(), h.temp_roots.begin(), h.temp_roots.end());
  heap_mark(h, roots);
  heap_sweep(h);
  ++h.collections;
}

void heap_mark(Heap& h, std::vector<HeapKey>& work) {
  while (!work.empty()) {
    const HeapKey k = work.back();
    work.pop_back();
    if (k.index >= h.slots.size()) continue;
    HeapSlot& s = h.slots[k.index];
    if (s.version != k.version || (k.version & 1) == 0 || s.entry.marked) continue;
    s.entry.marked = true;
    trace_object(s.entry.object, work);
  }
  std::vector<HeapKey>().swap(work);
}

void trace_object(const HeapObject& object, std::vector<HeapKey>& work) {
  for_each_reference(object, [&work](const HeapKey& k) { work.push_back(k); });
}

void heap_sweep(Heap& h) {
  h.slots.for_each_from(1, [&h](std::size_t i, HeapSlot& s) {
    if ((s.version & 1) == 0) return;
    if (s.entry.marked) {
      s.entry.marked = false;
      return;
    }
    // Dropping the payload releases what it owns; payloads hold no heap references that need
    // the heap, so nothing here reenters it.
    s.entry.object = HeapObject();
    s.entry.cached_hash.reset();
    s.next_free = h.free_head;
    h.free_head = static_cast<std::uint32_t>(i);
    --h.live_count;
    ++s.version;
  });
  rebuild_intern_tables(h);
  if constexpr (!kGcStress) {
    const std::uint64_t doubled = 2ull * h.live_count;
    h.gc_threshold = doubled > kInitialGcThreshold
                         ? static_cast<std::uint32_t>(std::min<std::uint64_t>(doubled, 0xFFFFFFFFu))
                         : kInitialGcThreshold;
  }
}

void rebuild_intern_tables(Heap& h) {
  h.intern_seq.reset(h.intern_seq.size());
  h.intern_set.reset(h.intern_set.size());
  h.intern_map.reset(h.intern_map.size());
  h.intern_variant.reset(h.intern_variant.size());
  h.intern_string.reset(h.intern_string.size());
  h.slots.for_each_from(1, [&h](std::size_t i, const HeapSlot& s) {
    if ((s.version & 1) == 0 || !s.entry.cached_hash) return;
    const HeapKey key{static_cast<std::uint32_t>(i), s.version};
    const std::uint64_t hash = *s.entry.cached_hash;
    switch (s.entry.object.kind()) {
    case ObjectKind::String:
      h.intern_string.set(hash, key);
      break;
    case ObjectKind::Seq:
      h.intern_seq.set(hash, key);
      break;
    case ObjectKind::Set:
      h.intern_set.set(hash, key);
      break;
    case ObjectKind::Map:
      h.intern_map.set(hash, key);
      break;
    case ObjectKind::Variant:
      h.intern_variant.set(hash, key);
      break;
    default:
      break;
    }
  });
}

} // namespace quorvex
