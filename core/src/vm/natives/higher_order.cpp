// Higher-order builtins: the ones that call a function argument back for the elements of a
// collection. Every application goes through call_value_from_native, so closures, builtins,
// host functions, keywords and sets are all accepted; the first error a callback returns ends
// the builtin unchanged.
//
// A collection may run inside a callback. So each builtin here keeps rooted, for the whole
// loop, the collection it walks and everything it has made that nothing else reaches (mapped
// results, sort keys, the [key value] vectors of a map), and iterates a local copy of the
// collection's persistent payload, never the heap's slot table.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "value/heap.hpp"
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

NativeResult call1(Vm& vm, const Value& f, const Value& x) {
  const Value arg[1] = {x};
  return call_value_from_native(vm, f, std::span<const Value>(arg, 1));
}

NativeResult call2(Vm& vm, const Value& f, const Value& a, const Value& b) {
  const Value arg[2] = {a, b};
  return call_value_from_native(vm, f, std::span<const Value>(arg, 2));
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
  std::size_t since_poll = 0;
  auto poll = [&](std::size_t steps) -> std::optional<VmError> {
    since_poll += steps;
    if (since_poll < kPollEvery) return std::nullopt;
    since_poll = 0;
    // One counted step stands for the whole batch: the next step polls the hook.
    vm.interrupt_countdown = 1;
    return count_native_step(vm);
  };
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

// Sorts integers by their value with a least-significant-digit radix sort: linear in the count,
// and it reads and writes memory in order, where a comparison sort of a million values spends
// most of its time waiting on the cache. Equal integers are the same value, so no order among
// them can show. Bytes on which every key agrees are skipped (small integers need two or three
// of the eight passes). Polls for interrupts as the merge sort does, once per kPollEvery
// elements moved.
std::optional<VmError> radix_sort_ints(Vm& vm, std::vector<Value>& data) {
  constexpr std::size_t kPollEvery = 1 << 16;
  const std::size_t n = data.size();
  std::vector<std::uint64_t> keys(n);
  std::vector<std::uint64_t> other(n);
  std::size_t since_poll = 0;
  auto poll = [&](std::size_t steps) -> std::optional<VmError> {
    since_poll += steps;
    if (since_poll < kPollEvery) return std::nullopt;
    since_poll = 0;
    vm.interrupt_countdown = 1;
    return count_native_step(vm);
  };
  // Flipping the sign bit orders the two's complement integers as unsigned numbers.
  constexpr std::uint64_t kSign = std::uint64_t{1} << 63;
  std::uint64_t all_and = ~std::uint64_t{0};
  std::uint64_t all_or = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t k = static_cast<std::uint64_t>(data[i].as.integer) ^ kSign;
    keys[i] = k;
    all_and &= k;
    all_or |= k;
  }
  if (auto stop = poll(n)) return stop;
  const std::uint64_t varying = all_and ^ all_or;
  for (unsigned shift = 0; shift < 64; shift += 8) {
    if (((varying >> shift) & 0xFF) == 0) continue;
    std::size_t count[257] = {};
    for (std::size_t i = 0; i < n; ++i)
      ++count[((keys[i] >> shift) & 0xFF) + 1];
    for (std::size_t b = 1; b < 257; ++b)
      count[b] += count[b - 1];
    for (std::size_t i = 0; i < n; ++i)
      other[count[(keys[i] >> shift) & 0xFF]++] = keys[i];
    keys.swap(other);
    if (auto stop = poll(2 * n)) return stop;
  }
  for (std::size_t i = 0; i < n; ++i)
    data[i] = Value::from_int(static_cast<std::int64_t>(keys[i] ^ kSign));
  return std::nullopt;
}

bool all_ints(const std::vector<Value>& data) {
  for (const Value& v : data)
    if (!v.is_int()) return false;
  return true;
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
  ValueVector results;
  for (const Value& x : *items) {
    NativeResult r = call1(vm, f, x);
    if (!r) return r;
    roots.add(*r);
    results.push_back_mut(*r);
  }
  return alloc_seq_object(vm.heap, std::move(results), is_vector);
}

NativeResult builtin_filter(Vm& vm, const Value* args, std::size_t) {
  const Value pred = args[0];
  std::optional<ValueVector> items = sequence_elements(vm.heap, args[1]);
  if (!items) return type_error("filter requires a sequence");
  const bool is_vector = is_vector_seq(vm.heap, args[1]);
  RootScope roots(vm.heap);
  roots.add(std::span(args, 2));
  ValueVector kept;
  for (const Value& x : *items) {
    NativeResult r = call1(vm, pred, x);
    if (!r) return r;
    if (is_truthy(*r)) kept.push_back_mut(x);
  }
  return alloc_seq_object(vm.heap, std::move(kept), is_vector);
}

// The accumulator needs no root of its own: between two steps it is an argument of the next
// call, which holds it on the machine's stack, and nothing runs after the last step.
NativeResult builtin_reduce(Vm& vm, const Value* args, std::size_t argc) {
  const Value f = args[0];
  const Value coll = args[argc - 1];
  RootScope roots(vm.heap);
  roots.add(std::span(args, argc));
  ValueVector elements;
  if (std::optional<ValueVector> items = sequence_elements(vm.heap, coll)) {
    elements = std::move(*items);
  } else if (const SetObject* set = heap_get_as<SetObject>(vm.heap, coll)) {
    for (const Value& v : set->set)
      elements.push_back_mut(v);
  } else if (const MapObject* map = heap_get_as<MapObject>(vm.heap, coll)) {
    auto pairs = map_entry_vectors(vm, map->map);
    if (!pairs) return std::unexpected(std::move(pairs.error()));
    elements = std::move(*pairs);
    for (const Value& pair : elements)
      roots.add(pair);
  } else {
    return type_error("reduce requires a sequence");
  }

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
  for (; it != elements.end(); ++it) {
    NativeResult r = call2(vm, f, acc, *it);
    if (!r) return r;
    acc = *r;
    if (reduced) {
      const Variant* variant = heap_get_as<Variant>(vm.heap, acc);
      if (variant != nullptr && variant->tag == *reduced) {
        return variant->fields.empty() ? Value::nil() : variant->fields[0];
      }
    }
  }
  return acc;
}

NativeResult builtin_apply(Vm& vm, const Value* args, std::size_t argc) {
  std::optional<ValueVector> spread = sequence_elements(vm.heap, args[argc - 1]);
  if (!spread) return type_error("apply requires a sequence as last argument");
  RootScope roots(vm.heap);
  roots.add(std::span(args, argc));
  std::vector<Value> call_args(args + 1, args + argc - 1);
  call_args.reserve(call_args.size() + spread->size());
  for (const Value& v : *spread)
    call_args.push_back(v);
  return call_value_from_native(vm, args[0], call_args);
}

// (sort coll) in natural order, (sort cmp coll) by a comparator answering a number (negative:
// before) or a boolean (true: before; false asks again the other way round).
NativeResult builtin_sort(Vm& vm, const Value* args, std::size_t argc) {
  const Value coll = args[argc - 1];
  std::optional<ValueVector> items = sortable_elements(vm.heap, coll);
  if (!items) return type_error("sort requires a collection");
  std::vector<Value> data(items->begin(), items->end());
  if (argc == 1) {
    // A handful of integers is sorted as quickly by insertion in the merge sort's first runs.
    constexpr std::size_t kRadixFrom = 256;
    auto stop = data.size() >= kRadixFrom && all_ints(data) ? radix_sort_ints(vm, data)
                                                            : merge_sort(vm, data, natural_less);
    if (stop) return std::unexpected(std::move(*stop));
    return list_of(vm, data);
  }

  const Value cmp = args[0];
  RootScope roots(vm.heap);
  roots.add(std::span(args, argc));
  std::optional<VmError> failure;
  auto less = [&](const Value& a, const Value& b) {
    if (failure) return false;
    NativeResult first = call2(vm, cmp, a, b);
    if (!first) {
      failure = std::move(first.error());
      return false;
    }
    if (first->is_int()) return first->as.integer < 0;
    if (!first->is_bool()) return false;
    if (first->as.boolean != 0) return true;
    NativeResult second = call2(vm, cmp, b, a);
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
  std::vector<Keyed> keyed;
  keyed.reserve(items->size());
  for (const Value& x : *items) {
    NativeResult key = call1(vm, keyfn, x);
    if (!key) return key;
    roots.add(*key);
    keyed.push_back(Keyed{*key, x});
  }
  auto less = [](const Keyed& a, const Keyed& b) { return natural_less(a.key, b.key); };
  if (auto stop = merge_sort(vm, keyed, less)) return std::unexpected(std::move(*stop));
  ValueVector sorted;
  for (const Keyed& k : keyed)
    sorted.push_back_mut(k.element);
  return alloc_seq_object(vm.heap, std::move(sorted), false);
}

} // namespace quorvex
