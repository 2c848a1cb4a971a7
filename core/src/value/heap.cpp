#include "value/heap.hpp"

#include <bit>
#include <cstdlib>
#include <new>
#include <string_view>
#include <unordered_set>
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

// No sentinel yet: the first insertion puts it in (as after a move). The compiler makes a staging
// heap for every form, most of which stage nothing, and a first block of slots for each was most
// of what a small evaluation allocated.
bool gc_stress_mode() {
#if defined(QUORVEX_GC_STRESS) && QUORVEX_GC_STRESS
  return true;
#else
  static const bool on = [] {
    const char* value = std::getenv("QUORVEX_GC_STRESS");
    return value != nullptr && std::string_view(value) == "1";
  }();
  return on;
#endif
}

Heap::Heap() = default;

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
  stress = other.stress;
  native_depth = std::exchange(other.native_depth, 0);
  root_source = std::exchange(other.root_source, nullptr);
  temp_roots = std::move(other.temp_roots);
  walk_monitor = std::exchange(other.walk_monitor, nullptr);
  collections = std::exchange(other.collections, 0);
  fresh_version = std::exchange(other.fresh_version, 1);
  mark_work = std::exchange(other.mark_work, 0);
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
    // A new or moved-from heap has no sentinel yet; slot 0 must never be handed out.
    if (h.slots.empty()) h.slots.emplace_back();
    // Index 0xFFFFFFFF is never handed out (it prints as "null" in debug text).
    if (h.slots.size() >= 0xFFFFFFFFu) throw std::bad_alloc();
    h.slots.emplace_back(HeapEntry{hash, std::move(object), false}, h.fresh_version, 0u);
    index = static_cast<std::uint32_t>(h.slots.size() - 1);
    version = h.fresh_version;
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

HeapKey heap_alloc_seq(Heap& h, ValueVector&& items, bool is_vector) {
  if (collection_due(h) || h.free_head >= h.slots.size()) {
    return heap_alloc(h, HeapObject(SeqObject{std::move(items), is_vector}));
  }
  // The common case, a vacant slot and no collection: the vector moves once, into the slot,
  // instead of through a HeapObject by value. Building a vector by conj pays this per element.
  const std::uint32_t index = h.free_head;
  HeapSlot& s = h.slots[index];
  h.free_head = s.next_free;
  s.version |= 1;
  s.entry.cached_hash.reset();
  s.entry.object.storage().emplace<SeqObject>(std::move(items), is_vector);
  s.entry.marked = false;
  ++h.live_count;
  return HeapKey{index, s.version};
}

HeapKey heap_alloc(Heap& h, HeapObject object) {
  collect_if_due(h, &object);
  return heap_insert(h, std::move(object));
}

bool poll_walk_monitor(const Heap& h) {
  h.walk_countdown = kWalkPollInterval;
  return h.walk_monitor != nullptr && h.walk_monitor->stop_walk();
}

// ---------------------------------------------------------------------------------------------
// Collector

namespace {

// As trace_object, but a vector's storage shared with other versions is walked once per
// collection (PVector::for_each_needed): a vector concatenated with itself forty times costs its
// few distinct nodes, not its 2^40 elements, and storage already found to hold no reference is
// skipped. Answers the work it did, so that pacing counts the work done rather than the
// vector's length: a long vector of numbers that grows at the back costs little to trace again.
std::size_t trace_once(const HeapObject& object, std::vector<HeapKey>& work,
                       std::unordered_set<const void*>& entered) {
  if (const SeqObject* seq = object.get_if<SeqObject>()) {
    return seq->items.for_each_needed(
        [&entered](const void* node) { return entered.insert(node).second; },
        [](const Value& v) { return v.tag == Tag::Object; },
        [&work](const Value& v) { work.push_back(v.as.key); });
  }
  trace_object(object, work);
  return 0;
}

void mark_once(Heap& h, std::vector<HeapKey>& work, std::unordered_set<const void*>& entered);

void collect_with(Heap& h, std::vector<HeapKey> roots, std::unordered_set<const void*>& entered) {
  roots.insert(roots.end(), h.temp_roots.begin(), h.temp_roots.end());
  if (h.root_source != nullptr) h.root_source->begin_collection(roots);
  mark_once(h, roots, entered);
  if (h.root_source != nullptr) h.root_source->end_collection();
  heap_sweep(h);
  ++h.collections;
}

} // namespace

bool collect_if_due(Heap& h, const HeapObject* pending) {
  if (!collection_due(h)) return false;
  std::vector<HeapKey> roots;
  h.root_source->append_roots(roots);
  std::unordered_set<const void*> entered;
  // The object about to enter is traced like a root, and counts toward the pace like one.
  if (pending != nullptr) h.mark_work += trace_once(*pending, roots, entered);
  collect_with(h, std::move(roots), entered);
  return true;
}

void heap_collect(Heap& h, std::vector<HeapKey> roots) {
  std::unordered_set<const void*> entered;
  collect_with(h, std::move(roots), entered);
}

namespace {

// How many values tracing the object looks at beyond the keys it pushes: a vector of a million
// numbers pushes nothing, yet costs a million steps to trace each time it is marked.
std::size_t trace_width(const HeapObject& object) {
  switch (object.kind()) {
  case ObjectKind::Seq: // counted by trace_once, which may skip shared storage
    return 0;
  case ObjectKind::Set:
    return object.get_if<SetObject>()->set.size();
  case ObjectKind::Map:
    return 2 * object.get_if<MapObject>()->map.size();
  case ObjectKind::Closure:
    return object.get_if<Closure>()->captures.size();
  case ObjectKind::Variant:
    return object.get_if<Variant>()->fields.size();
  case ObjectKind::Continuation: {
    const Continuation& c = *object.get_if<Continuation>();
    return c.values.size() + c.frames.size() + c.handlers.size();
  }
  default:
    return 0;
  }
}

// A vacant tail of the slot table is given back once it is at least this long and at least as
// long as the part that stays: a table that only breathes by a little keeps its blocks.
constexpr std::size_t kMinCut = 4096;

// The next collection waits for at least one allocation per this many steps the last one took
// (values traced, slots swept), so that a large live structure is not traced again every few
// allocations. The garbage this lets pile up stays in proportion to the live data's size.
constexpr std::uint64_t kWorkPerAllocation = 8;

} // namespace

namespace {

void mark_once(Heap& h, std::vector<HeapKey>& work, std::unordered_set<const void*>& entered) {
  std::uint64_t steps = 0;
  while (!work.empty()) {
    const HeapKey k = work.back();
    work.pop_back();
    ++steps;
    if (k.index >= h.slots.size()) continue;
    HeapSlot& s = h.slots[k.index];
    if (s.version != k.version || (k.version & 1) == 0 || s.entry.marked) continue;
    s.entry.marked = true;
    steps += trace_width(s.entry.object);
    steps += trace_once(s.entry.object, work, entered);
    switch (s.entry.object.kind()) {
    case ObjectKind::Closure:
    case ObjectKind::ClosureTemplate:
    case ObjectKind::Continuation:
      if (h.root_source != nullptr) h.root_source->trace_code(s.entry.object, work);
      break;
    default:
      break;
    }
  }
  h.mark_work += steps;
  std::vector<HeapKey>().swap(work);
}

} // namespace

void heap_mark(Heap& h, std::vector<HeapKey>& work) {
  std::unordered_set<const void*> entered;
  mark_once(h, work, entered);
}

void trace_object(const HeapObject& object, std::vector<HeapKey>& work) {
  for_each_reference(object, [&work](const HeapKey& k) { work.push_back(k); });
}

void heap_sweep(Heap& h) {
  // From the last slot down, so that the free list comes out in index order: the lowest vacant
  // slot is reused first, live objects gather at the low end and the vacant end of the table
  // can be given back. Until the first survivor the slots seen form that vacant end.
  const std::size_t before = h.slots.size();
  std::uint32_t head = static_cast<std::uint32_t>(before);
  std::size_t top = 0;            // one past the highest survivor; 0 until it is found
  std::uint32_t tail_version = 0; // the highest version in the vacant end
  h.slots.for_each_down_to(1, [&](std::size_t i, HeapSlot& s) {
    if ((s.version & 1) != 0) {
      if (s.entry.marked) {
        s.entry.marked = false;
        if (top == 0) top = i + 1;
        return;
      }
      // Dropping the payload releases what it owns; payloads hold no heap references that
      // need the heap, so nothing here reenters it.
      s.entry.object.storage().emplace<StringObject>();
      s.entry.cached_hash.reset();
      --h.live_count;
      ++s.version;
    }
    if (top == 0) tail_version = std::max(tail_version, s.version);
    s.next_free = head;
    head = static_cast<std::uint32_t>(i);
  });
  if (top == 0) top = 1; // the sentinel stays
  const std::uint64_t work = h.mark_work + before;
  h.mark_work = 0;
  const std::uint64_t live = h.live_count;
  const std::uint64_t next = std::max<std::uint64_t>(
      kInitialGcThreshold, live + std::max(live, work / kWorkPerAllocation));
  h.gc_threshold = static_cast<std::uint32_t>(std::min<std::uint64_t>(next, 0xFFFFFFFFu));
  // The slots the live count may fill before the next collection stay: giving them back only to
  // fault them in again would cost more than it saves.
  const std::size_t keep = std::max<std::size_t>(top, std::size_t{h.gc_threshold} + 1);
  if (before > keep && before - keep >= kMinCut && before - keep >= keep) {
    // The free list runs in index order through the vacant end, so the slot below the cut
    // already names the new end of the table.
    h.fresh_version = std::max(h.fresh_version, tail_version + 1);
    h.slots.truncate(keep);
  }
  h.free_head = std::min<std::uint32_t>(head, static_cast<std::uint32_t>(h.slots.size()));
  rebuild_intern_tables(h);
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
