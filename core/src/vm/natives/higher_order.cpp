// Higher-order builtins: the ones that call a function argument back for the elements of a
// collection. Every application answers what call_value_from_native would (RepeatedCall), so
// closures, builtins, host functions, keywords and sets are all accepted; the first error a
// callback returns ends the builtin unchanged.
//
// A collection may run inside a callback. So each builtin here keeps rooted, for the whole
// loop, the collection it walks and everything it has made that nothing else reaches (mapped
// results, sort keys, the [key value] vectors of a map), and iterates a local copy of the
// collection's persistent payload, never the heap's slot table.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "value/equality.hpp"
#include "value/heap.hpp"
#include "value/keys.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

// The elements of nil or a live list or vector; none for anything else.
std::optional<ValueVector> sequence_elements(const Heap& heap, const Value& coll) {
  if (coll.is_nil()) return ValueVector();
  if (const SeqObject* seq = heap_get_as<SeqObject>(heap, coll)) return seq->items;
  return std::nullopt;
}

bool is_vector_seq(const Heap& heap, const Value& coll) {
  const SeqObject* seq = heap_get_as<SeqObject>(heap, coll);
  return seq != nullptr && seq->is_vector;
}

// The elements `sort` and `sort-by` accept: nil, a list or vector, or a set in iteration order.
std::optional<ValueVector> sortable_elements(const Heap& heap, const Value& coll) {
  if (std::optional<ValueVector> items = sequence_elements(heap, coll)) return items;
  if (const SetObject* set = heap_get_as<SetObject>(heap, coll)) {
    ValueVector items;
    for (const Value& v : set->set)
      items.push_back_mut(v);
    return items;
  }
  return std::nullopt;
}

// The natural order: integers and floats by numeric value (NaN below nothing and above
// nothing); every other pair is unordered, so only numbers ever move.
bool natural_less(const Value& a, const Value& b) {
  if (a.is_int() && b.is_int()) return a.as.integer < b.as.integer;
  if ((a.is_int() || a.is_float()) && (b.is_int() || b.is_float())) {
    const double x = a.is_int() ? static_cast<double>(a.as.integer) : a.as.floating;
    const double y = b.is_int() ? static_cast<double>(b.as.integer) : b.as.floating;
    return x < y;
  }
  return false;
}

// Polls the interrupt hook once per `every` steps of a native walk that counts its steps in
// batches.
struct BatchPoll {
  Vm& vm;
  std::size_t every;
  std::size_t since = 0;
  std::optional<VmError> operator()(std::size_t steps) {
    since += steps;
    if (since < every) return std::nullopt;
    since = 0;
    // One counted step stands for the whole batch: the next step polls the hook.
    vm.interrupt_countdown = 1;
    return count_native_step(vm);
  }
};

// A stable merge sort that only ever moves elements between its two buffers, so whatever `less`
// answers (inconsistent, random, failing) the result is a permutation of the input and every
// read stays in bounds. Runs of kRun are first sorted by insertion, which only shifts elements.
// `less` answers an optional error through `stop`; the sort then returns it at once (used for
// interrupts, not for comparator errors, which the comparator records and the sort outlives).
template <class T, class Less>
std::optional<VmError> merge_sort(Vm& vm, std::vector<T>& data, Less&& less) {
  constexpr std::size_t kRun = 16;
  constexpr std::size_t kPollEvery = 4096;
  const std::size_t n = data.size();
  if (n < 2) return std::nullopt;
  BatchPoll poll{vm, kPollEvery};
  for (std::size_t lo = 0; lo < n; lo += kRun) {
    const std::size_t hi = std::min(n, lo + kRun);
    for (std::size_t i = lo + 1; i < hi; ++i) {
      T moving = std::move(data[i]);
      std::size_t j = i;
      while (j > lo && less(moving, data[j - 1])) {
        data[j] = std::move(data[j - 1]);
        --j;
      }
      data[j] = std::move(moving);
    }
    if (auto stop = poll(hi - lo)) return stop;
  }
  std::vector<T> other(n);
  std::vector<T>* src = &data;
  std::vector<T>* dst = &other;
  for (std::size_t width = kRun; width < n; width *= 2) {
    for (std::size_t lo = 0; lo < n; lo += 2 * width) {
      const std::size_t mid = std::min(n, lo + width);
      const std::size_t hi = std::min(n, lo + 2 * width);
      std::size_t i = lo;
      std::size_t j = mid;
      std::size_t k = lo;
      // The right element goes first only when strictly less: equal elements keep their order.
      while (i < mid && j < hi) {
        if (less((*src)[j], (*src)[i])) {
          (*dst)[k++] = std::move((*src)[j++]);
        } else {
          (*dst)[k++] = std::move((*src)[i++]);
        }
      }
      while (i < mid)
        (*dst)[k++] = std::move((*src)[i++]);
      while (j < hi)
        (*dst)[k++] = std::move((*src)[j++]);
      if (auto stop = poll(hi - lo)) return stop;
    }
    std::swap(src, dst);
  }
  if (src != &data) data = std::move(*src);
  return std::nullopt;
}

// Sorts n keys at `a` by the bits [low, low + span) with least-significant-digit passes of at
// most kDigitBits, `b` being as long a scratch area. Answers where the sorted keys are: a or b.
std::uint64_t* lsd_radix(std::uint64_t* a, std::uint64_t* b, std::size_t n, unsigned low,
                         unsigned span, std::vector<std::size_t>& count) {
  constexpr unsigned kDigitBits = 11;
  if (span == 0) return a;
  const unsigned passes = (span + kDigitBits - 1) / kDigitBits;
  const unsigned width = (span + passes - 1) / passes;
  const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
  count.resize((std::size_t{1} << width) + 1);
  for (unsigned pass = 0; pass < passes; ++pass) {
    const unsigned shift = low + pass * width;
    std::fill(count.begin(), count.begin() + static_cast<std::ptrdiff_t>(mask + 2), 0);
    for (std::size_t i = 0; i < n; ++i)
      ++count[((a[i] >> shift) & mask) + 1];
    for (std::size_t d = 1; d <= mask + 1; ++d)
      count[d] += count[d - 1];
    for (std::size_t i = 0; i < n; ++i)
      b[count[(a[i] >> shift) & mask]++] = a[i];
    std::swap(a, b);
  }
  return a;
}

// Sorts integers by their value with a radix sort: linear in the count, where a comparison sort
// of a million values spends most of its time waiting on the cache. Equal integers are the same
// value, so no order among them can show. The keys are the integers with the sign bit flipped
// (so that they order as unsigned numbers); `varying` has the bits on which they differ, and
// only their span is sorted. A long array is first split by its top byte into 256 buckets, so
// that the passes over the lower bits each stay inside a bucket small enough for the caches; a
// short one is sorted by least-significant digits alone. Polls for interrupts as the merge sort
// does, once per kPollEvery elements moved.
std::optional<VmError> radix_sort_keys(Vm& vm, std::vector<std::uint64_t>& keys,
                                       std::uint64_t varying) {
  constexpr std::size_t kPollEvery = 1 << 16;
  constexpr std::size_t kSplitFrom = 1 << 16;
  constexpr unsigned kTopBits = 8;
  if (varying == 0) return std::nullopt;
  const std::size_t n = keys.size();
  BatchPoll poll{vm, kPollEvery};
  const unsigned low = static_cast<unsigned>(std::countr_zero(varying));
  const unsigned span = 64 - static_cast<unsigned>(std::countl_zero(varying)) - low;
  std::vector<std::uint64_t> other(n);
  std::vector<std::size_t> count;
  if (n < kSplitFrom || span <= kTopBits) {
    if (lsd_radix(keys.data(), other.data(), n, low, span, count) != keys.data()) keys.swap(other);
    return poll(n);
  }
  const unsigned top_shift = low + span - kTopBits;
  constexpr std::size_t kBuckets = std::size_t{1} << kTopBits;
  std::vector<std::size_t> start(kBuckets + 1, 0);
  for (std::size_t i = 0; i < n; ++i)
    ++start[((keys[i] >> top_shift) & (kBuckets - 1)) + 1];
  for (std::size_t d = 1; d <= kBuckets; ++d)
    start[d] += start[d - 1];
  {
    std::vector<std::size_t> next(start.begin(), start.end() - 1);
    for (std::size_t i = 0; i < n; ++i)
      other[next[(keys[i] >> top_shift) & (kBuckets - 1)]++] = keys[i];
  }
  if (auto stop = poll(2 * n)) return stop;
  // Each bucket is sorted where it lies in `other`, with its stretch of `keys` as scratch; the
  // result of every bucket is brought to `other`.
  for (std::size_t d = 0; d < kBuckets; ++d) {
    const std::size_t from = start[d];
    const std::size_t len = start[d + 1] - from;
    if (len < 2) continue;
    std::uint64_t* sorted =
        lsd_radix(other.data() + from, keys.data() + from, len, low, span - kTopBits, count);
    if (sorted != other.data() + from) std::copy(sorted, sorted + len, other.data() + from);
    if (auto stop = poll(2 * len)) return stop;
  }
  keys.swap(other);
  return std::nullopt;
}

// Flipping the sign bit orders the two's complement integers as unsigned numbers.
constexpr std::uint64_t kSignBit = std::uint64_t{1} << 63;

struct IntegerKeys {
  std::vector<std::uint64_t> keys;
  std::uint64_t varying = 0; // the bits on which the keys differ
};

// The sort keys of the elements when every one is an integer; none as soon as one is not.
// Polls like the sort.
std::optional<std::expected<IntegerKeys, VmError>> integer_keys(Vm& vm, const ValueVector& items) {
  constexpr std::size_t kPollEvery = 1 << 16;
  IntegerKeys out;
  out.keys.reserve(items.size());
  std::uint64_t all_and = ~std::uint64_t{0};
  std::uint64_t all_or = 0;
  for (const Value& v : items) {
    if (!v.is_int()) return std::nullopt;
    const std::uint64_t k = static_cast<std::uint64_t>(v.as.integer) ^ kSignBit;
    out.keys.push_back(k);
    all_and &= k;
    all_or |= k;
    if (out.keys.size() % kPollEvery == 0) {
      vm.interrupt_countdown = 1;
      if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    }
  }
  out.varying = all_and ^ all_or;
  return out;
}

Value list_of(Vm& vm, const std::vector<Value>& values) {
  return alloc_seq_object(vm.heap, ValueVector::from_range(values.begin(), values.end()), false);
}

} // namespace

NativeResult builtin_map(Vm& vm, const Value* args, std::size_t) {
  const Value f = args[0];
  std::optional<ValueVector> items = sequence_elements(vm.heap, args[1]);
  if (!items) return type_error("map requires a sequence");
  const bool is_vector = is_vector_seq(vm.heap, args[1]);
  RootScope roots(vm.heap);
  roots.add(std::span(args, 2));
  RepeatedCall call(vm, f);
  ValueVector results;
  auto it = items->begin();
  std::optional<VmError> stop = call.each(
      items->size(), [&](std::size_t) { return std::span<const Value>(&*it++, 1); },
      [&](std::size_t, Value r) -> std::expected<bool, VmError> {
        roots.add(r);
        results.push_back_mut(r);
        return true;
      });
  if (stop) return std::unexpected(std::move(*stop));
  return alloc_seq_object(vm.heap, std::move(results), is_vector);
}

NativeResult builtin_filter(Vm& vm, const Value* args, std::size_t) {
  const Value pred = args[0];
  std::optional<ValueVector> items = sequence_elements(vm.heap, args[1]);
  if (!items) return type_error("filter requires a sequence");
  const bool is_vector = is_vector_seq(vm.heap, args[1]);
  RootScope roots(vm.heap);
  roots.add(std::span(args, 2));
  RepeatedCall call(vm, pred);
  ValueVector kept;
  auto it = items->begin();
  std::optional<VmError> stop = call.each(
      items->size(), [&](std::size_t) { return std::span<const Value>(&*it, 1); },
      [&](std::size_t, Value r) -> std::expected<bool, VmError> {
        if (is_truthy(r)) kept.push_back_mut(*it);
        ++it;
        return true;
      });
  if (stop) return std::unexpected(std::move(*stop));
  return alloc_seq_object(vm.heap, std::move(kept), is_vector);
}

namespace {

// The elements `reduce` walks, in its order: a sequence's, a set's, or a map's entries as fresh
// [key value] vectors (rooted in `roots`).
std::expected<ValueVector, VmError> reduce_elements(Vm& vm, const Value& coll, RootScope& roots) {
  if (std::optional<ValueVector> items = sequence_elements(vm.heap, coll)) return *items;
  if (const SetObject* set = heap_get_as<SetObject>(vm.heap, coll)) {
    ValueVector elements;
    for (const Value& v : set->set)
      elements.push_back_mut(v);
    return elements;
  }
  if (const MapObject* map = heap_get_as<MapObject>(vm.heap, coll)) {
    auto pairs = map_entry_vectors(vm, map->map);
    if (!pairs) return std::unexpected(std::move(pairs.error()));
    for (const Value& pair : *pairs)
      roots.add(pair);
    return pairs;
  }
  return std::unexpected(VmError::type_error("reduce requires a sequence"));
}

// The distinct keys of a map being built, in order of first appearance, each with its position.
// The finished map is what inserting the keys one by one into the starting map would give: a
// key equal to an earlier one (key_equal) names the earlier one's position.
//
// Floats go through a map of their own, so that their equality (NaN equal to nothing, 0.0 equal
// to -0.0 only where the trie happens to compare them) is the map's own; every other kind of key
// is equal exactly when its tag and payload are, which a flat table answers without hashing
// through the trie. Keys of different kinds are never equal, so the two never meet, and the trie
// a set of keys makes does not depend on the order they were inserted in.
class KeyIndex {
public:
  explicit KeyIndex(ValueMap start) : floats_(std::move(start)) {
    const SipKeys seed = thread_random_seed();
    mix_ = seed.k0 | 1;
  }

  std::size_t find_or_add(const Value& key) {
    if (key.tag == Tag::Float) {
      if (const Value* seen = floats_.find(key)) return static_cast<std::size_t>(seen->as.integer);
      floats_.insert_mut(key, Value::from_int(static_cast<std::int64_t>(keys_.size())));
      keys_.push_back(key);
      return keys_.size() - 1;
    }
    const Slot probe = slot_of(key);
    if ((used_ + 1) * 2 > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(probe) & mask;; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.position == kEmpty) {
        s = probe;
        s.position = static_cast<std::uint32_t>(keys_.size());
        ++used_;
        keys_.push_back(key);
        return keys_.size() - 1;
      }
      if (s.tag == probe.tag && s.a == probe.a && s.b == probe.b) return s.position;
    }
  }

  // Whether a key equal to `key` (key_equal) was added.
  bool contains(const Value& key) const {
    if (key.tag == Tag::Float) return floats_.find(key) != nullptr;
    if (slots_.empty()) return false;
    const Slot probe = slot_of(key);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = hash(probe) & mask;; i = (i + 1) & mask) {
      const Slot& s = slots_[i];
      if (s.position == kEmpty) return false;
      if (s.tag == probe.tag && s.a == probe.a && s.b == probe.b) return true;
    }
  }

  std::size_t size() const { return keys_.size(); }
  const Value& key(std::size_t i) const { return keys_[i]; }

  // The map of every key to values[position]; consumes the index.
  ValueMap finish(const std::vector<Value>& values) && {
    ValueMap out = std::move(floats_);
    out.for_each([&](const Value&, const Value& at) {
      // Entries of a map no other map shares yet.
      const_cast<Value&>(at) = values[static_cast<std::size_t>(at.as.integer)];
    });
    for (std::size_t i = 0; i < keys_.size(); ++i)
      if (keys_[i].tag != Tag::Float) out.insert_mut(keys_[i], values[i]);
    return out;
  }

private:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;
  struct Slot {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    Tag tag = Tag::Nil;
    std::uint32_t position = kEmpty;
  };

  // The payload key_equal compares, and nothing else of the value's bytes.
  static Slot slot_of(const Value& v) {
    Slot s;
    s.tag = v.tag;
    switch (v.tag) {
    case Tag::Nil:
    case Tag::Float:
      break;
    case Tag::Bool:
      s.a = v.as.boolean;
      break;
    case Tag::Int:
      s.a = static_cast<std::uint64_t>(v.as.integer);
      break;
    case Tag::Ratio:
      s.a = static_cast<std::uint64_t>(v.as.ratio.num);
      s.b = static_cast<std::uint64_t>(v.as.ratio.den);
      break;
    case Tag::Symbol:
    case Tag::Keyword:
      s.a = v.as.spur;
      break;
    case Tag::Object:
      s.a = (std::uint64_t{v.as.key.index} << 32) | v.as.key.version;
      break;
    case Tag::NativeFn:
      s.a = v.as.native;
      break;
    }
    return s;
  }

  // Seeded per thread, so that chosen keys cannot pile up on one probe sequence.
  std::size_t hash(const Slot& s) const {
    std::uint64_t h =
        (s.a ^ (s.b * 0x9E3779B97F4A7C15ull) ^ static_cast<std::uint64_t>(s.tag)) * mix_;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ull;
    h ^= h >> 32;
    return static_cast<std::size_t>(h);
  }

  void grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 64 : old.size() * 2, Slot{});
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.position == kEmpty) continue;
      std::size_t i = hash(s) & mask;
      while (slots_[i].position != kEmpty)
        i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  ValueMap floats_;
  std::vector<Slot> slots_;
  std::size_t used_ = 0;
  std::vector<Value> keys_;
  std::uint64_t mix_ = 1;
};

const MapObject* empty_map_arg(const Heap& heap, const Value& v) {
  const MapObject* map = heap_get_as<MapObject>(heap, v);
  return map != nullptr && map->map.empty() ? map : nullptr;
}

} // namespace

// The accumulator needs no root of its own: between two steps it is an argument of the next
// call, which holds it on the machine's stack, and nothing runs after the last step.
NativeResult builtin_reduce(Vm& vm, const Value* args, std::size_t argc) {
  const Value f = args[0];
  const Value coll = args[argc - 1];
  RootScope roots(vm.heap);
  roots.add(std::span(args, argc));
  std::expected<ValueVector, VmError> walked = reduce_elements(vm, coll, roots);
  if (!walked) return std::unexpected(std::move(walked.error()));
  ValueVector elements = std::move(*walked);

  Value acc;
  auto it = elements.begin();
  if (argc == 2) {
    if (elements.empty()) return call_value_from_native(vm, f, {});
    acc = *it;
    ++it;
  } else {
    acc = args[1];
  }
  const std::optional<VariantTag> reduced = vm.reduce_signal_type;
  RepeatedCall call(vm, f);
  Value pair[2];
  std::optional<VmError> stop = call.each(
      elements.size() - (argc == 2 ? 1 : 0),
      [&](std::size_t) {
        pair[0] = acc;
        pair[1] = *it++;
        return std::span<const Value>(pair, 2);
      },
      [&](std::size_t, Value r) -> std::expected<bool, VmError> {
        acc = r;
        if (reduced) {
          const Variant* variant = heap_get_as<Variant>(vm.heap, acc);
          if (variant != nullptr && variant->tag == *reduced) {
            acc = variant->fields.empty() ? Value::nil() : variant->fields[0];
            return false;
          }
        }
        return true;
      });
  if (stop) return std::unexpected(std::move(*stop));
  return acc;
}

// (__frequencies {} coll): the prelude's `frequencies`, which was
//   (reduce (fn [acc x] (assoc acc x (+ 1 (get acc x 0)))) {} coll)
// and answers the same map: the same elements in the same order, each counted under its
// canonical key in a map that starts from the given empty map (so it hashes under the same keys
// as the map the reduction built). The map is private until it is returned, so the counts are
// updated in place instead of through one new map per element.
NativeResult builtin_frequencies(Vm& vm, const Value* args, std::size_t) {
  const MapObject* start = empty_map_arg(vm.heap, args[0]);
  if (start == nullptr) return type_error("__frequencies requires an empty map");
  KeyIndex index(start->map);
  RootScope roots(vm.heap);
  roots.add(std::span(args, 2));
  std::expected<ValueVector, VmError> walked = reduce_elements(vm, args[1], roots);
  if (!walked) return std::unexpected(std::move(walked.error()));
  // The reduction answered its initial map itself when there was nothing to count.
  if (walked->empty()) return args[0];
  std::vector<Value> counts;
  for (const Value& x : *walked) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    Guarded<Value> key = canonical_key(vm.heap, x);
    if (!key) return std::unexpected(to_vm_error(key.error()));
    const std::size_t at = index.find_or_add(*key);
    if (at == counts.size()) {
      counts.push_back(Value::from_int(1));
    } else {
      counts[at].as.integer += 1;
    }
  }
  ValueMap done = std::move(index).finish(counts);
  return Value::object(heap_alloc(vm.heap, HeapObject(MapObject{std::move(done)})));
}

// (__group-by {} f coll): the prelude's `group-by`, which was
//   (reduce (fn [acc x] (let [k (f x)] (assoc acc k (conj (get acc k []) x)))) {} coll)
// and answers the same map: f is called once per element in the same order, and each group is a
// vector of its elements in order, under the canonical key of f's answer. The groups are built in
// place and become vectors at the end.
NativeResult builtin_group_by(Vm& vm, const Value* args, std::size_t) {
  const MapObject* start = empty_map_arg(vm.heap, args[0]);
  if (start == nullptr) return type_error("__group-by requires an empty map");
  KeyIndex index(start->map);
  const Value f = args[1];
  RootScope roots(vm.heap);
  roots.add(std::span(args, 3));
  std::expected<ValueVector, VmError> walked = reduce_elements(vm, args[2], roots);
  if (!walked) return std::unexpected(std::move(walked.error()));
  if (walked->empty()) return args[0];
  // The elements are rooted as elements of the collection (or as its rooted entry vectors), each
  // new key as it comes.
  std::vector<ValueVector> groups;
  RepeatedCall call(vm, f);
  auto it = walked->begin();
  std::optional<VmError> stop = call.each(
      walked->size(), [&](std::size_t) { return std::span<const Value>(&*it, 1); },
      [&](std::size_t, Value k) -> std::expected<bool, VmError> {
        Guarded<Value> key = canonical_key(vm.heap, k);
        if (!key) return std::unexpected(to_vm_error(key.error()));
        const std::size_t at = index.find_or_add(*key);
        if (at == groups.size()) {
          roots.add(*key);
          groups.emplace_back();
        }
        groups[at].push_back_mut(*it);
        ++it;
        return true;
      });
  if (stop) return std::unexpected(std::move(*stop));
  // Nothing collects from here on: no callback runs.
  std::vector<Value> vectors;
  vectors.reserve(groups.size());
  for (ValueVector& group : groups)
    vectors.push_back(alloc_seq_object(vm.heap, std::move(group), true));
  ValueMap done = std::move(index).finish(vectors);
  return Value::object(heap_alloc(vm.heap, HeapObject(MapObject{std::move(done)})));
}

// (__distinct v): the prelude's `distinct` over the vector v, which was a loop keeping each
// element unless `contains?` found an equal one in the set of those kept before (conj'd onto
// it). The same elements are kept in the same order: membership is the same lookup of every
// form an equal element can take, then the same scan by equality where lookups cannot tell, over
// an index of the kept elements' canonical keys that the loop alone sees.
NativeResult builtin_distinct(Vm& vm, const Value* args, std::size_t) {
  const SeqObject* seq = heap_get_as<SeqObject>(vm.heap, args[0]);
  if (seq == nullptr) return type_error("__distinct requires a vector");
  const ValueVector items = seq->items;
  // No collection runs and nothing calls back until the result is made: the canonical keys made
  // here need no roots.
  KeyIndex seen{ValueMap(next_random_keys())};
  ValueVector kept;
  for (const Value& x : items) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    std::optional<bool> found =
        lookup_equal_forms(vm.heap, x, [&](const Value& key) { return seen.contains(key); });
    if (!found) {
      found = false;
      for (std::size_t i = 0; i < seen.size() && !*found; ++i) {
        if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
        Guarded<bool> same = values_equal(vm.heap, seen.key(i), x);
        if (!same) return std::unexpected(to_vm_error(same.error()));
        found = *same;
      }
    }
    if (*found) continue;
    Guarded<Value> key = canonical_key(vm.heap, x);
    if (!key) return std::unexpected(to_vm_error(key.error()));
    seen.find_or_add(*key);
    kept.push_back_mut(x);
  }
  return alloc_seq_object(vm.heap, std::move(kept), true);
}

NativeResult builtin_apply(Vm& vm, const Value* args, std::size_t argc) {
  std::optional<ValueVector> spread = sequence_elements(vm.heap, args[argc - 1]);
  if (!spread) return type_error("apply requires a sequence as last argument");
  RootScope roots(vm.heap);
  roots.add(std::span(args, argc));
  if (spread->size() > kMaxCopiedElements) return too_large_error();
  std::vector<Value> call_args(args + 1, args + argc - 1);
  call_args.reserve(call_args.size() + spread->size());
  for (const Value& v : *spread) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    call_args.push_back(v);
  }
  return call_value_from_native(vm, args[0], call_args);
}

// (sort coll) in natural order, (sort cmp coll) by a comparator answering a number (negative:
// before) or a boolean (true: before; false asks again the other way round).
NativeResult builtin_sort(Vm& vm, const Value* args, std::size_t argc) {
  const Value coll = args[argc - 1];
  std::optional<ValueVector> items = sortable_elements(vm.heap, coll);
  if (!items) return type_error("sort requires a collection");
  if (items->size() > kMaxCopiedElements) return too_large_error();
  // A handful of integers is sorted as quickly by insertion in the merge sort's first runs.
  // Integers go from the collection to their keys and back straight into the result.
  constexpr std::size_t kRadixFrom = 256;
  if (argc == 1 && items->size() >= kRadixFrom) {
    if (auto keyed = integer_keys(vm, *items)) {
      if (!*keyed) return std::unexpected(std::move(keyed->error()));
      std::vector<std::uint64_t>& keys = (*keyed)->keys;
      if (auto stop = radix_sort_keys(vm, keys, (*keyed)->varying))
        return std::unexpected(std::move(*stop));
      ValueVector sorted;
      for (const std::uint64_t k : keys)
        sorted.push_back_mut(Value::from_int(static_cast<std::int64_t>(k ^ kSignBit)));
      return alloc_seq_object(vm.heap, std::move(sorted), false);
    }
  }
  std::vector<Value> data;
  data.reserve(items->size());
  for (const Value& v : *items) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    data.push_back(v);
  }
  if (argc == 1) {
    if (auto stop = merge_sort(vm, data, natural_less)) return std::unexpected(std::move(*stop));
    return list_of(vm, data);
  }

  const Value cmp = args[0];
  RootScope roots(vm.heap);
  roots.add(std::span(args, argc));
  std::optional<VmError> failure;
  RepeatedCall call(vm, cmp);
  auto less = [&](const Value& a, const Value& b) {
    if (failure) return false;
    NativeResult first = call(a, b);
    if (!first) {
      failure = std::move(first.error());
      return false;
    }
    if (first->is_int()) return first->as.integer < 0;
    if (!first->is_bool()) return false;
    if (first->as.boolean != 0) return true;
    NativeResult second = call(b, a);
    if (!second) {
      failure = std::move(second.error());
      return false;
    }
    return second->is_int() && second->as.integer >= 1;
  };
  if (auto stop = merge_sort(vm, data, less)) return std::unexpected(std::move(*stop));
  if (failure) return std::unexpected(std::move(*failure));
  return list_of(vm, data);
}

NativeResult builtin_sort_by(Vm& vm, const Value* args, std::size_t) {
  const Value keyfn = args[0];
  std::optional<ValueVector> items = sortable_elements(vm.heap, args[1]);
  if (!items) return type_error("sort-by requires a collection");
  RootScope roots(vm.heap);
  roots.add(std::span(args, 2));
  struct Keyed {
    Value key;
    Value element;
  };
  if (items->size() > kMaxCopiedElements) return too_large_error();
  std::vector<Keyed> keyed;
  keyed.reserve(items->size());
  RepeatedCall call(vm, keyfn);
  auto it = items->begin();
  std::optional<VmError> stop = call.each(
      items->size(), [&](std::size_t) { return std::span<const Value>(&*it, 1); },
      [&](std::size_t, Value key) -> std::expected<bool, VmError> {
        roots.add(key);
        keyed.push_back(Keyed{key, *it});
        ++it;
        return true;
      });
  if (stop) return std::unexpected(std::move(*stop));
  auto less = [](const Keyed& a, const Keyed& b) { return natural_less(a.key, b.key); };
  if (auto stop = merge_sort(vm, keyed, less)) return std::unexpected(std::move(*stop));
  ValueVector sorted;
  for (const Keyed& k : keyed)
    sorted.push_back_mut(k.element);
  return alloc_seq_object(vm.heap, std::move(sorted), false);
}

} // namespace quorvex
