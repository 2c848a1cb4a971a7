// The slot heap, its collector, hash-consing, canonical keys and string objects.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cmath>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "value/hash_cons.hpp"
#include "value/heap.hpp"
#include "value/keys.hpp"
#include "value/strings.hpp"

namespace quorvex {
namespace {

struct TestRoots final : RootSource {
  std::vector<Value> values;
  void append_roots(std::vector<HeapKey>& out) const override {
    for (const Value& v : values)
      append_value_root(out, v);
  }
};

// Objects built as the run loop's literal instructions build them: inserted, never collecting.
Value insert_string(Heap& h, std::string_view text) {
  return Value::object(heap_insert(h, HeapObject(StringObject{*SmallString::from(text)})));
}

Value insert_seq(Heap& h, std::vector<Value> items, bool is_vector = true) {
  return Value::object(heap_insert(
      h, HeapObject(SeqObject{ValueVector::from_range(items.begin(), items.end()), is_vector})));
}

Value insert_atom(Heap& h, Value v) {
  return Value::object(heap_insert(h, HeapObject(Atom{v})));
}

Value insert_closure(Heap& h) {
  return Value::object(heap_insert(h, HeapObject(Closure{FunctionRef::plain(0, 0, 0), {}})));
}

Value ints_vector(Heap& h, std::initializer_list<std::int64_t> xs, bool is_vector = true) {
  ValueVector items;
  for (std::int64_t x : xs)
    items.push_back_mut(Value::from_int(x));
  return Value::object(heap_insert(h, HeapObject(SeqObject{items, is_vector})));
}

ValueVector ints(std::initializer_list<std::int64_t> xs) {
  ValueVector items;
  for (std::int64_t x : xs)
    items.push_back_mut(Value::from_int(x));
  return items;
}

bool live(const Heap& h, const Value& v) {
  return v.is_object() && heap_is_live(h, v.as.key);
}

std::vector<HeapKey> keys_of(std::initializer_list<Value> vs) {
  std::vector<HeapKey> out;
  for (const Value& v : vs)
    append_value_root(out, v);
  return out;
}

class HeapTest : public ::testing::Test {
protected:
  void SetUp() override { heap.root_source = &roots; }
  // A collection from the test's roots.
  void collect_now() {
    std::vector<HeapKey> keys;
    roots.append_roots(keys);
    heap_collect(heap, std::move(keys));
  }

  Heap heap;
  TestRoots roots;
};

// ---------------------------------------------------------------------------------------------
// Slots, versions and the free list

// A fresh heap allocates nothing; its first insertion puts in the sentinel, slot 0, which is
// never handed out, so that no key ever names index 0.
TEST_F(HeapTest, FreshHeapIsEmptyAndItsFirstInsertionAddsTheSentinel) {
  EXPECT_EQ(heap.slots.size(), 0u);
  EXPECT_EQ(heap.free_head, 1u);
  EXPECT_EQ(heap.live_count, 0u);
  EXPECT_EQ(heap.gc_threshold, 1024u);
  EXPECT_EQ(heap_get(heap, HeapKey{0, 0}), nullptr);
  EXPECT_EQ(heap_get(heap, HeapKey{0, 1}), nullptr);
  const Value a = insert_string(heap, "a");
  EXPECT_EQ(a.as.key, (HeapKey{1, 1}));
  ASSERT_EQ(heap.slots.size(), 2u);
  EXPECT_EQ(heap.slots[0].version, 0u);
  EXPECT_EQ(heap.live_count, 1u);
  EXPECT_EQ(heap_get(heap, HeapKey{0, 0}), nullptr);
  EXPECT_EQ(heap_get(heap, HeapKey{0, 1}), nullptr);
}

TEST_F(HeapTest, SlotAndVersionSequence) {
  const Value a = insert_string(heap, "a");
  const Value b = insert_string(heap, "b");
  const Value c = insert_string(heap, "c");
  EXPECT_EQ(a.as.key, (HeapKey{1, 1}));
  EXPECT_EQ(b.as.key, (HeapKey{2, 1}));
  EXPECT_EQ(c.as.key, (HeapKey{3, 1}));

  heap_collect(heap, keys_of({a, c}));
  EXPECT_EQ(heap_get(heap, b.as.key), nullptr);
  EXPECT_EQ(heap.slots[2].version, 2u);
  EXPECT_EQ(heap.live_count, 2u);

  const Value d = insert_string(heap, "d");
  EXPECT_EQ(d.as.key, (HeapKey{2, 3}));
  EXPECT_EQ(heap_get(heap, b.as.key), nullptr) << "the old key stays stale after reuse";
  ASSERT_NE(heap_get_as<StringObject>(heap, d), nullptr);
  EXPECT_EQ(heap_get_as<StringObject>(heap, d)->text.view(), "d");
}

// Lowest first, so that live objects gather at the low end and a vacant end can be given back.
TEST_F(HeapTest, VacantSlotsAreReusedLowestFirst) {
  std::vector<Value> objs;
  for (int i = 0; i < 8; ++i)
    objs.push_back(insert_string(heap, "x"));
  std::vector<HeapKey> keep;
  for (const Value& v : objs) {
    if (v.as.key.index != 4 && v.as.key.index != 7) keep.push_back(v.as.key);
  }
  heap_collect(heap, keep);
  EXPECT_EQ(heap.free_head, 4u);
  EXPECT_EQ(insert_string(heap, "p").as.key, (HeapKey{4, 3}));
  // Slot 5 is freed while 7 is still vacant: the next sweep puts it ahead of 7.
  keep.push_back(objs[0].as.key);
  std::erase_if(keep, [](HeapKey k) { return k.index == 5; });
  keep.push_back(HeapKey{4, 3});
  heap_collect(heap, keep);
  EXPECT_EQ(insert_string(heap, "q").as.key, (HeapKey{5, 3}));
  EXPECT_EQ(insert_string(heap, "r").as.key, (HeapKey{7, 3}));
  EXPECT_EQ(insert_string(heap, "s").as.key, (HeapKey{9, 1}));
}

// A burst of objects that dies leaves a vacant end of the table; a later sweep gives it back,
// and a slot made again at one of its indices never answers a key of the object that was there.
TEST_F(HeapTest, TheVacantEndOfTheTableIsGivenBackAndItsKeysStayStale) {
  constexpr int kBurst = 20000;
  for (int i = 0; i < 100; ++i)
    roots.values.push_back(insert_string(heap, "old"));
  std::vector<HeapKey> burst;
  for (int i = 0; i < kBurst; ++i)
    burst.push_back(insert_string(heap, "burst").as.key);
  // One survivor from the burst's end at the first sweep, as a value in use when it runs.
  roots.values.push_back(Value::object(burst.back()));
  collect_now();
  EXPECT_EQ(heap.slots.size(), static_cast<std::size_t>(kBurst) + 101)
      << "a survivor at the end keeps the table";
  EXPECT_EQ(heap.free_head, 101u) << "the lowest vacant slot comes first";
  roots.values.pop_back();
  for (int i = 0; i < 3000; ++i)
    heap_alloc(heap, HeapObject(Atom{Value::nil()}));
  collect_now();
  EXPECT_LE(heap.slots.size(), 4096u) << "the vacant end is given back";
  EXPECT_EQ(heap.live_count, 100u);
  for (const Value& v : roots.values)
    EXPECT_NE(heap_get(heap, v.as.key), nullptr);

  // Grow the table again over the cut indices: every key of the burst stays stale.
  std::vector<HeapKey> again;
  for (int i = 0; i < kBurst + 10; ++i)
    again.push_back(heap_insert(heap, HeapObject(Atom{Value::nil()})));
  EXPECT_GE(heap.slots.size(), static_cast<std::size_t>(kBurst) + 101);
  int reused = 0;
  for (const HeapKey& k : burst) {
    EXPECT_EQ(heap_get(heap, k), nullptr) << k.index << "v" << k.version;
    reused += k.index < heap.slots.size() && (heap.slots[k.index].version & 1) != 0;
  }
  EXPECT_EQ(reused, kBurst) << "the burst's indices are in use again";
  for (const HeapKey& k : again)
    EXPECT_NE(heap_get(heap, k), nullptr);
}

TEST_F(HeapTest, StaleAndForeignKeysReadAsNothing) {
  const Value a = insert_string(heap, "a");
  const HeapKey cases[] = {
      {a.as.key.index, a.as.key.version + 2}, // a later version
      {a.as.key.index, 0},                    // an even version never names an object
      {99, 1},                                // beyond the table
      {0xFFFFFFFFu, 1},
  };
  for (const HeapKey& k : cases) {
    EXPECT_EQ(heap_get(heap, k), nullptr) << k.index << "v" << k.version;
    EXPECT_EQ(heap_entry(heap, k), nullptr);
  }
  EXPECT_NE(heap_get(heap, a.as.key), nullptr);
}

TEST_F(HeapTest, AMovedHeapKeepsItsObjectsAndTheSourceStartsOver) {
  const Value a = insert_string(heap, "a");
  Heap moved = std::move(heap);
  ASSERT_NE(heap_get_as<StringObject>(moved, a), nullptr);
  EXPECT_EQ(moved.root_source, &roots);
  EXPECT_EQ(heap_get(heap, a.as.key), nullptr);
  EXPECT_EQ(heap.live_count, 0u);
  EXPECT_EQ(insert_string(heap, "b").as.key, (HeapKey{1, 1})) << "slot 0 stays the sentinel";
}

// ---------------------------------------------------------------------------------------------
// When collections run

TEST_F(HeapTest, NoCollectionWhileANativeFunctionRuns) {
  NativeCallScope native(heap);
  for (int i = 0; i < 3000; ++i)
    heap_alloc(heap, HeapObject(Atom{Value::nil()}));
  EXPECT_EQ(heap.collections, 0u);
  EXPECT_EQ(heap.live_count, 3000u);
}

TEST_F(HeapTest, NoCollectionWithoutARootSource) {
  heap.root_source = nullptr;
  heap.gc_threshold = 0;
  for (int i = 0; i < 10; ++i)
    heap_alloc(heap, HeapObject(Atom{Value::nil()}));
  EXPECT_EQ(heap.collections, 0u);
  EXPECT_EQ(heap.live_count, 10u);
}

TEST_F(HeapTest, CollectsWhenTheLiveCountReachesTheThreshold) {
  for (int i = 0; i < 1022; ++i)
    roots.values.push_back(insert_string(heap, "x"));
  // The 1023rd object is allocated with 1022 live, the 1024th with 1023 live: neither collects
  // (outside the stress build); the next allocation, with 1024 live, does.
  roots.values.push_back(Value::object(heap_alloc(heap, HeapObject(Atom{}))));
  roots.values.push_back(Value::object(heap_alloc(heap, HeapObject(Atom{}))));
  EXPECT_EQ(heap.collections, gc_stress_mode() ? 2u : 0u);
  EXPECT_EQ(heap.live_count, 1024u);
  roots.values.push_back(Value::object(heap_alloc(heap, HeapObject(Atom{}))));
  EXPECT_EQ(heap.collections, gc_stress_mode() ? 3u : 1u);
  EXPECT_EQ(heap.live_count, 1025u);
  EXPECT_EQ(heap.gc_threshold, 2048u);
}

TEST_F(HeapTest, ThresholdAfterACollection) {
  struct Case {
    int survivors;
    std::uint32_t threshold;
  };
  const Case cases[] = {{600, 1200}, {100, 1024}, {512, 1024}, {513, 1026}, {0, 1024}};
  for (const Case& c : cases) {
    Heap h;
    std::vector<HeapKey> keep;
    for (int i = 0; i < 1500; ++i) {
      const Value v = insert_string(h, "x");
      if (i < c.survivors) keep.push_back(v.as.key);
    }
    heap_collect(h, keep);
    EXPECT_EQ(h.live_count, static_cast<std::uint32_t>(c.survivors));
    EXPECT_EQ(h.gc_threshold, c.threshold) << c.survivors << " survivors";
  }
}

// The pause between collections follows what the last one cost: a large live structure that
// is traced at every collection spaces them out, a heap of small objects is collected as often
// as its live count says. A vector of numbers is traced in full once; later collections skip
// its storage, so it costs them next to nothing and does not space them out.
TEST_F(HeapTest, CollectionsArePacedByTheWorkOfTheLastOne) {
  if (gc_stress_mode()) GTEST_SKIP() << "stress mode collects at every allocation";
  struct Case {
    const char* what;
    std::int64_t vector_length; // of a live vector; 0 for none
    bool references;            // its elements: a key to one live atom each, or numbers
    int allocations;            // of garbage, after the first collection
    std::uint64_t min_collections;
    std::uint64_t max_collections;
  };
  const Case cases[] = {
      {"nothing live", 0, false, 200000, 180, 200},
      {"a live vector of 100 numbers", 100, false, 200000, 180, 200},
      {"a live vector of 2M numbers", 2000000, false, 200000, 0, 0},
      // After the first 250,000 allocations (the first trace's pace), as if nothing were live.
      {"a live vector of 2M numbers, more allocations", 2000000, false, 1000000, 600, 740},
      {"a live vector of 2M references", 2000000, true, 400000, 0, 0},
      {"a live vector of 2M references, more allocations", 2000000, true, 2000000, 3, 5},
  };
  for (const Case& c : cases) {
    Heap h;
    TestRoots r;
    h.root_source = &r;
    if (c.vector_length > 0) {
      const Value atom = Value::object(heap_insert(h, HeapObject(Atom{})));
      ValueVector items;
      for (std::int64_t i = 0; i < c.vector_length; ++i)
        items.push_back_mut(c.references ? atom : Value::from_int(i));
      r.values.push_back(Value::object(heap_insert(h, HeapObject(SeqObject{items, true}))));
    }
    std::vector<HeapKey> keys;
    r.append_roots(keys);
    heap_collect(h, std::move(keys));
    const std::uint64_t first = h.collections;
    for (int i = 0; i < c.allocations; ++i)
      heap_alloc(h, HeapObject(Atom{Value::from_int(i)}));
    const std::uint64_t n = h.collections - first;
    EXPECT_GE(n, c.min_collections) << c.what;
    EXPECT_LE(n, c.max_collections) << c.what;
    // Garbage never outgrows its bound: the first trace's pace, or the usual doubling.
    const std::int64_t traced = c.references ? 2 * c.vector_length : c.vector_length;
    EXPECT_LE(h.live_count, std::max<std::int64_t>(2048, traced / 8 + 1024)) << c.what;
  }
}

// ---------------------------------------------------------------------------------------------
// What keeps an object alive

TEST_F(HeapTest, AStaleKeyInsideAListKeepsNothingAlive) {
  const Value x = insert_string(heap, "x");
  heap_collect(heap, {});
  const Value y = insert_string(heap, "y"); // reuses x's slot with a new version
  ASSERT_EQ(y.as.key.index, x.as.key.index);
  const Value list = insert_seq(heap, {x}, false);
  heap_collect(heap, keys_of({list}));
  EXPECT_TRUE(live(heap, list));
  EXPECT_FALSE(live(heap, y));
}

TEST_F(HeapTest, CyclesAreReclaimedWhenUnreachable) {
  const Value atom = insert_atom(heap, Value::nil());
  const Value list = insert_seq(heap, {atom}, false);
  heap_get_mut_as<Atom>(heap, atom.as.key)->value = list;

  heap_collect(heap, keys_of({atom}));
  EXPECT_TRUE(live(heap, atom));
  EXPECT_TRUE(live(heap, list));
  EXPECT_EQ(heap.live_count, 2u);
  EXPECT_FALSE(heap_entry(heap, atom.as.key)->marked) << "marks are cleared by the sweep";
  EXPECT_FALSE(heap_entry(heap, list.as.key)->marked);

  heap_collect(heap, {});
  EXPECT_FALSE(live(heap, atom));
  EXPECT_FALSE(live(heap, list));
  EXPECT_EQ(heap.live_count, 0u);
}

// Every kind of reference the collector follows, one row each: the container is the only root;
// the target survives through it and goes with it.
TEST_F(HeapTest, EveryReferenceKindKeepsItsTargetAlive) {
  using Build = std::function<HeapObject(Value target)>;
  auto k = [](Value v) { return v.as.key; };
  auto optic = [](OpticKind kind) { return HeapObject(Optic{std::move(kind)}); };
  struct Case {
    const char* name;
    Build build;
  };
  const Case cases[] = {
      {"seq element",
       [](Value t) {
         return HeapObject(SeqObject{ValueVector().push_back(Value::from_int(1)).push_back(t), 0});
       }},
      {"set element", [](Value t) { return HeapObject(SetObject{ValueSet().insert(t)}); }},
      {"map key",
       [](Value t) { return HeapObject(MapObject{ValueMap().insert(t, Value::nil())}); }},
      {"map value",
       [](Value t) { return HeapObject(MapObject{ValueMap().insert(Value::from_int(1), t)}); }},
      {"closure capture",
       [](Value t) {
         return HeapObject(Closure{FunctionRef::plain(0, 0, 0), {t}});
       }},
      {"continuation value",
       [](Value t) {
         Continuation c;
         c.values = {Value::nil(), t};
         return HeapObject(std::move(c));
       }},
      {"continuation frame closure",
       [&](Value t) {
         Continuation c;
         c.frames.push_back(CallFrame{});
         CallFrame f;
         f.closure = k(t);
         c.frames.push_back(f);
         return HeapObject(std::move(c));
       }},
      {"continuation handler closure",
       [&](Value t) {
         Continuation c;
         SavedHandlerEntry e;
         e.closure = k(t);
         c.handlers.push_back(e);
         return HeapObject(std::move(c));
       }},
      {"continuation handler dispatch map",
       [&](Value t) {
         Continuation c;
         SavedHandlerEntry e;
         e.dispatch_map = k(t);
         c.handlers.push_back(e);
         return HeapObject(std::move(c));
       }},
      {"atom", [](Value t) { return HeapObject(Atom{t}); }},
      {"key box", [](Value t) { return HeapObject(KeyBox{t}); }},
      {"variant field",
       [](Value t) {
         return HeapObject(Variant{{Value::nil(), t}, VariantTag::make(0, 1)});
       }},
      {"optic key", [&](Value t) { return optic({OpticKind::Key{k(t)}}); }},
      {"optic filtered", [&](Value t) { return optic({OpticKind::Filtered{k(t)}}); }},
      {"optic when", [&](Value t) { return optic({OpticKind::When{k(t)}}); }},
      {"optic first", [&](Value t) { return optic({OpticKind::First{k(t)}}); }},
      {"optic not-key", [&](Value t) { return optic({OpticKind::NotKey{k(t)}}); }},
      {"optic compose step",
       [&](Value t) {
         return optic({OpticKind::Compose{{HeapKey{}, k(t)}}});
       }},
      {"optic lens getter",
       [&](Value t) {
         return optic({OpticKind::Lens{k(t), HeapKey{}}});
       }},
      {"optic lens setter",
       [&](Value t) {
         return optic({OpticKind::Lens{HeapKey{}, k(t)}});
       }},
      {"optic key-compare box",
       [&](Value t) {
         return optic({OpticKind::KeyCompare{CompareOp::Gt, k(t), Value::from_int(1)}});
       }},
      {"optic key-compare literal",
       [&](Value t) {
         return optic({OpticKind::KeyCompare{CompareOp::Eq, HeapKey{}, t}});
       }},
  };
  for (const Case& c : cases) {
    Heap h;
    const Value target = insert_string(h, "target");
    const Value container = Value::object(heap_insert(h, c.build(target)));
    heap_collect(h, keys_of({container}));
    EXPECT_TRUE(live(h, target)) << c.name;
    heap_collect(h, {});
    EXPECT_FALSE(live(h, target)) << c.name;
    EXPECT_FALSE(live(h, container)) << c.name;
  }
}

TEST_F(HeapTest, KindsWithoutReferencesTraceNothing) {
  const Value s = insert_string(heap, "s");
  std::vector<HeapKey> work;
  trace_object(HeapObject(StringObject{}), work);
  trace_object(HeapObject(ClosureTemplate{FunctionRef::plain(0, 0, 0)}), work);
  trace_object(HeapObject(Effect{{EffectOp{7, 1}}, 3, 0}), work);
  trace_object(HeapObject(RegexObject{}), work);
  for (OpticKind kind :
       {OpticKind{OpticKind::Index{1}}, OpticKind{OpticKind::Slice{1, 2}},
        OpticKind{OpticKind::Each{}}, OpticKind{OpticKind::Vals{}}, OpticKind{OpticKind::Keys{}},
        OpticKind{OpticKind::Deep{}}, OpticKind{OpticKind::Some{}}}) {
    trace_object(HeapObject(Optic{kind}), work);
  }
  trace_object(HeapObject(Atom{Value::from_int(3)}), work);
  EXPECT_TRUE(work.empty());
  EXPECT_TRUE(live(heap, s));
}

TEST_F(HeapTest, RootSourceScopesAndPendingObjectsAreRoots) {
  const Value by_source = insert_string(heap, "by source");
  const Value by_scope = insert_string(heap, "by scope");
  const Value by_pending = insert_string(heap, "by pending object");
  const Value unrooted = insert_string(heap, "unrooted");
  roots.values = {by_source};
  heap.gc_threshold = 0; // the next allocation collects
  Value seq;
  {
    RootScope scope(heap);
    scope.add(by_scope);
    seq = Value::object(
        heap_alloc(heap, HeapObject(SeqObject{ValueVector().push_back(by_pending), true})));
    EXPECT_EQ(heap.collections, 1u);
    EXPECT_TRUE(live(heap, by_source));
    EXPECT_TRUE(live(heap, by_scope));
    EXPECT_TRUE(live(heap, by_pending));
    EXPECT_FALSE(live(heap, unrooted));
  }
  EXPECT_TRUE(heap.temp_roots.empty());
  heap.gc_threshold = 0;
  EXPECT_TRUE(collect_if_due(heap));
  EXPECT_TRUE(live(heap, by_source));
  EXPECT_FALSE(live(heap, by_scope));
  EXPECT_FALSE(live(heap, seq));
}

TEST_F(HeapTest, MarkingADeepChainUsesNoNativeStack) {
  // Far deeper than any native recursion could go.
  Value v = Value::nil();
  constexpr int kDepth = 300000;
  for (int i = 0; i < kDepth; ++i)
    v = (i % 2 == 0) ? insert_seq(heap, {v}) : insert_atom(heap, v);
  const Value orphan = insert_string(heap, "orphan");
  heap_collect(heap, keys_of({v}));
  EXPECT_EQ(heap.live_count, static_cast<std::uint32_t>(kDepth));
  EXPECT_FALSE(live(heap, orphan));
}

TEST_F(HeapTest, SharedVectorStorageIsTracedOnceAndKeepsEveryElement) {
  // Forty self-concatenations share their nodes: 3 * 2^40 elements in a few kilobytes. Marking
  // walks the distinct nodes; walking the elements would not finish.
  const Value a = insert_string(heap, "a");
  const Value b = insert_string(heap, "b");
  const Value c = insert_string(heap, "c");
  const Value abc[] = {a, b, c};
  ValueVector doubled = ValueVector::from_range(std::begin(abc), std::end(abc));
  for (int i = 0; i < 40; ++i)
    doubled = doubled.concat(doubled);
  ASSERT_EQ(doubled.size(), std::size_t{3} << 40);
  const Value big = Value::object(heap_insert(heap, HeapObject(SeqObject{doubled, true})));
  const Value orphan = insert_string(heap, "orphan");
  heap_collect(heap, keys_of({big}));
  for (const Value& v : {big, a, b, c})
    EXPECT_TRUE(live(heap, v));
  EXPECT_FALSE(live(heap, orphan));
  // The next collection is paced by the elements actually looked at, not by the vector's length:
  // counted by length, it would wait for billions of allocations while garbage piled up.
  EXPECT_LT(heap.gc_threshold, 1u << 20);

  // A version that hides a prefix of shared storage (a `rest` of a long list) must not stop the
  // version that sees it from keeping those elements, whichever of the two is traced first.
  std::vector<Value> strings;
  ValueVector all;
  for (int i = 0; i < 5000; ++i) {
    strings.push_back(insert_string(heap, "s" + std::to_string(i)));
    all.push_back_mut(strings.back());
  }
  const Value whole = Value::object(heap_insert(heap, HeapObject(SeqObject{all, false})));
  const Value rest = Value::object(heap_insert(heap, HeapObject(SeqObject{all.drop(1000), false})));
  for (const bool rest_first : {true, false}) {
    heap_collect(heap, rest_first ? keys_of({rest, whole}) : keys_of({whole, rest}));
    int kept = 0;
    for (const Value& s : strings)
      kept += live(heap, s) ? 1 : 0;
    EXPECT_EQ(kept, 5000) << (rest_first ? "rest first" : "whole first");
  }
}

TEST_F(HeapTest, RemapRewritesEveryHandle) {
  const Value old_target = insert_string(heap, "old");
  const Value new_target = insert_string(heap, "new");
  HeapObject map(MapObject{ValueMap().insert(old_target, old_target)});
  HeapObject compose(Optic{OpticKind{OpticKind::Compose{{old_target.as.key, HeapKey{5, 1}}}}});
  auto remap = [&](HeapKey k) -> std::optional<HeapKey> {
    if (k == old_target.as.key) return new_target.as.key;
    return std::nullopt;
  };
  remap_object_handles(map, remap);
  remap_object_handles(compose, remap);
  const ValueMap& m = map.get_if<MapObject>()->map;
  ASSERT_EQ(m.size(), 1u);
  EXPECT_EQ(m.begin()->first.as.key, new_target.as.key);
  EXPECT_EQ(m.begin()->second.as.key, new_target.as.key);
  const auto& steps = std::get<OpticKind::Compose>(compose.get_if<Optic>()->kind.data).steps;
  EXPECT_EQ(steps[0], new_target.as.key);
  EXPECT_EQ(steps[1], (HeapKey{5, 1})) << "keys the map does not name stay";
}

// ---------------------------------------------------------------------------------------------
// Hash-consing

class HashConsTest : public HeapTest {};

TEST_F(HashConsTest, EqualSequencesShareOneObjectWhileLive) {
  const Value a = *alloc_seq(heap, ints({1, 2}), true);
  roots.values.push_back(a);
  const Value b = *alloc_seq(heap, ints({1, 2}), true);
  const Value list = *alloc_seq(heap, ints({1, 2}), false);
  roots.values.push_back(list);
  EXPECT_EQ(a.as.key, b.as.key);
  EXPECT_NE(a.as.key, list.as.key) << "the list/vector flag is part of the content";
  EXPECT_TRUE(heap_entry(heap, a.as.key)->cached_hash.has_value());
}

TEST_F(HashConsTest, AFreedInternedObjectLeavesTheTable) {
  const Value a = *alloc_seq(heap, ints({1, 2}), true);
  heap_collect(heap, {});
  EXPECT_FALSE(live(heap, a));
  EXPECT_EQ(heap.intern_seq.size(), 0u);
  const Value b = *alloc_seq(heap, ints({1, 2}), true);
  EXPECT_NE(a.as.key, b.as.key);
  EXPECT_TRUE(live(heap, b));
}

TEST_F(HashConsTest, SurvivorsStayInTheTableAfterACollection) {
  const Value a = *alloc_seq(heap, ints({3}), true);
  roots.values.push_back(a);
  heap_collect(heap, keys_of({a}));
  EXPECT_EQ(alloc_seq(heap, ints({3}), true)->as.key, a.as.key);
}

TEST_F(HashConsTest, PayloadsWithoutStructuralHashAreNeverShared) {
  const Value f = insert_closure(heap);
  roots.values.push_back(f);
  const Value s1 = *alloc_set(heap, ValueSet().insert(f));
  roots.values.push_back(s1);
  const Value s2 = *alloc_set(heap, ValueSet().insert(f));
  roots.values.push_back(s2);
  EXPECT_NE(s1.as.key, s2.as.key);
  EXPECT_FALSE(heap_entry(heap, s1.as.key)->cached_hash.has_value());
  EXPECT_FALSE(hash_value_structural(heap, s1)->has_value());

  // Without content identity such a set is its own canonical key: it matches exactly itself.
  EXPECT_EQ(canonical_key(heap, s1)->as.key, s1.as.key);
  const ValueMap m = *map_insert_value(heap, ValueMap(), s1, Value::from_int(1));
  ASSERT_TRUE(map_lookup_value(heap, m, s1)->has_value());
  EXPECT_EQ(map_lookup_value(heap, m, s1)->value().as.integer, 1);
  EXPECT_FALSE(map_lookup_value(heap, m, s2)->has_value());
}

TEST_F(HashConsTest, ACollidingEntryIsTakenOverByTheNewObject) {
  // Two unequal maps under one hash: the second allocation inserts a new object and takes the
  // table entry; a copy of the first then no longer finds the first.
  const ValueMap ma = ValueMap().insert(Value::from_int(1), Value::from_int(1));
  const ValueMap mb = ValueMap().insert(Value::from_int(2), Value::from_int(2));
  const Value a = *alloc_map(heap, ma);
  roots.values.push_back(a);
  const std::uint64_t hb = **hash_heap_object(heap, HeapObject(MapObject{mb}));
  heap.intern_map.set(hb, a.as.key); // pretend a hashed like b
  const Value b = *alloc_map(heap, mb);
  roots.values.push_back(b);
  EXPECT_NE(a.as.key, b.as.key);
  EXPECT_EQ(*heap.intern_map.find(hb), b.as.key);
}

TEST_F(HashConsTest, StructuralHashesIgnoreIterationOrderAndCrossNoKinds) {
  ValueSet s1, s2;
  for (int i = 0; i < 20; ++i)
    s1.insert_mut(Value::from_int(i));
  for (int i = 19; i >= 0; --i)
    s2.insert_mut(Value::from_int(i));
  EXPECT_EQ(**hash_heap_object(heap, HeapObject(SetObject{s1})),
            **hash_heap_object(heap, HeapObject(SetObject{s2})));
  EXPECT_NE(**hash_value_structural(heap, Value::from_int(1)),
            **hash_value_structural(heap, Value::from_float(1.0)));
  // A string hashes by its text, whether hash-consed or not.
  const Value plain = insert_string(heap, "abc");
  const Value interned = Value::object(intern_string(heap, *SmallString::from("abc")));
  EXPECT_NE(plain.as.key, interned.as.key);
  EXPECT_EQ(**hash_value_structural(heap, plain), **hash_value_structural(heap, interned));
}

TEST_F(HashConsTest, StringsAndVariantsIntern) {
  const HeapKey a = intern_string(heap, *SmallString::from("a longer text than inline"));
  const HeapKey b = intern_string(heap, *SmallString::from("a longer text than inline"));
  EXPECT_EQ(a, b);
  const Value v1 = *alloc_variant(heap, {Value::from_int(1)}, VariantTag::make(3, 1));
  roots.values.push_back(v1);
  const Value v2 = *alloc_variant(heap, {Value::from_int(1)}, VariantTag::make(3, 1));
  const Value v3 = *alloc_variant(heap, {Value::from_int(1)}, VariantTag::make(3, 2));
  EXPECT_EQ(v1.as.key, v2.as.key);
  EXPECT_NE(v1.as.key, v3.as.key);
}

TEST_F(HashConsTest, DeepUnsharedNestingIsAnOrderlyError) {
  Value v = Value::nil();
  for (int i = 0; i < 50000; ++i)
    v = insert_seq(heap, {v});
  roots.values.push_back(v);
  Guarded<Value> k = canonical_key(heap, v);
  ASSERT_FALSE(k.has_value());
  EXPECT_EQ(k.error(), ValueFault::TooDeep);
  EXPECT_FALSE(find_canonical_key(heap, v).has_value());
  EXPECT_FALSE(hash_value_structural(heap, v).has_value());
}

TEST_F(HashConsTest, SharedStructureHashesAndCanonicalisesOncePerObject) {
  // [t t] nested sixty times: 2^60 paths to the leaf. Built twice as distinct objects, and once
  // more with the very last leaf changed.
  auto tree = [&](std::int64_t last_leaf) {
    Value t = insert_seq(heap, {Value::from_int(1)});
    Value odd = insert_seq(heap, {Value::from_int(last_leaf)});
    for (int i = 0; i < 60; ++i) {
      t = insert_seq(heap, {t, t});
      odd = insert_seq(heap, {t, odd});
    }
    roots.values.push_back(odd);
    return odd;
  };
  const Value a = tree(1);
  const Value b = tree(1);
  const Value c = tree(2);
  ASSERT_NE(a.as.key, b.as.key);
  EXPECT_EQ(**hash_value_structural(heap, a), **hash_value_structural(heap, b));
  EXPECT_NE(**hash_value_structural(heap, a), **hash_value_structural(heap, c));
  EXPECT_TRUE(*values_equal_for_intern(heap, a, b));
  EXPECT_FALSE(*values_equal_for_intern(heap, a, c));
  const Value ka = *canonical_key(heap, a);
  roots.values.push_back(ka);
  EXPECT_EQ(canonical_key(heap, b)->as.key, ka.as.key);
  EXPECT_NE(canonical_key(heap, c)->as.key, ka.as.key);
  const ValueSet set = *set_insert_value(heap, ValueSet(), a);
  EXPECT_TRUE(*set_contains(heap, set, b));
  EXPECT_FALSE(*set_contains(heap, set, c));
}

// ---------------------------------------------------------------------------------------------
// Canonical keys, maps and sets

class KeysTest : public HeapTest {};

TEST_F(KeysTest, ValuesThatAreTheirOwnCanonicalForm) {
  const Value closure = insert_closure(heap);
  const Value atom = insert_atom(heap, Value::from_int(1));
  const Value stale = insert_string(heap, "gone");
  roots.values = {closure, atom};
  heap_collect(heap, keys_of({closure, atom}));
  const Value cases[] = {Value::nil(),
                         Value::keyword(4),
                         Value::from_int(7),
                         Value::from_float(std::nan("")),
                         closure,
                         atom,
                         stale,
                         Value::native_fn(3)};
  for (const Value& v : cases) {
    const Value c = *canonical_key(heap, v);
    EXPECT_TRUE(key_equal(c, v) || (v.is_float() && std::isnan(c.as.floating)));
    ASSERT_TRUE(find_canonical_key(heap, v)->has_value());
  }
}

TEST_F(KeysTest, EqualStringsBecomeOneKey) {
  const Value a = insert_string(heap, "k");
  const Value b = insert_string(heap, "k");
  roots.values = {a, b};
  const Value ca = *canonical_key(heap, a);
  roots.values.push_back(ca);
  const Value cb = *canonical_key(heap, b);
  EXPECT_NE(a.as.key, b.as.key);
  EXPECT_EQ(ca.as.key, cb.as.key);
  const Value both[] = {a, b};
  EXPECT_EQ(build_set_from_values(heap, both)->size(), 1u);
}

TEST_F(KeysTest, UnsharedCollectionsAsKeysActByContent) {
  const Value v1 = ints_vector(heap, {1, 2});
  const Value v2 = ints_vector(heap, {1, 2});
  roots.values = {v1, v2};
  const ValueMap m = *map_insert_value(heap, ValueMap(), v1, Value::from_int(10));
  const Value stored = m.begin()->first;
  EXPECT_NE(stored.as.key, v1.as.key) << "the key is replaced by its hash-consed equal";
  EXPECT_TRUE(heap_entry(heap, stored.as.key)->cached_hash.has_value());
  EXPECT_EQ(map_lookup_value(heap, m, v2)->value().as.integer, 10);
  const Value list = ints_vector(heap, {1, 2}, false);
  EXPECT_FALSE(map_lookup_value(heap, m, list)->has_value());
}

TEST_F(KeysTest, NumbersOfDifferentKindsAreDifferentKeys) {
  struct Case {
    Value inserted;
    Value looked_up;
  };
  const Case cases[] = {
      {Value::from_int(1), Value::from_float(1.0)},
      {Value::from_ratio_unchecked(1, 2), Value::from_float(0.5)},
      {Value::from_float(0.0), Value::from_float(-0.0)},
  };
  for (const Case& c : cases) {
    const ValueMap m = *map_insert_value(heap, ValueMap(), c.inserted, Value::from_int(1));
    EXPECT_TRUE(map_lookup_value(heap, m, c.inserted)->has_value());
    EXPECT_FALSE(map_lookup_value(heap, m, c.looked_up)->has_value());
  }
}

TEST_F(KeysTest, NaNKeysNeverMatch) {
  const Value nan = Value::from_float(std::nan(""));
  ValueMap m = *map_insert_value(heap, ValueMap(), nan, Value::from_int(1));
  m = *map_insert_value(heap, m, nan, Value::from_int(2));
  EXPECT_EQ(m.size(), 2u);
  EXPECT_FALSE(map_lookup_value(heap, m, nan)->has_value());
}

TEST_F(KeysTest, SetMembershipGoesThroughTheCanonicalTwin) {
  const Value a = insert_string(heap, "a");
  roots.values = {a};
  const Value one[] = {a};
  const ValueSet s = *build_set_from_values(heap, one);
  const Value other_a = insert_string(heap, "a");
  const Value b = insert_string(heap, "b");
  roots.values.push_back(other_a);
  roots.values.push_back(b);
  const std::uint32_t live_before = heap.live_count;
  EXPECT_TRUE(*set_contains(heap, s, other_a));
  EXPECT_FALSE(*set_contains(heap, s, b));
  EXPECT_FALSE(*set_contains(heap, s, Value::from_int(1)));
  EXPECT_EQ(heap.live_count, live_before) << "lookups never allocate";
  EXPECT_EQ(heap.intern_string.size(), 1u);
}

TEST_F(KeysTest, LookupOfAKeyWithoutTwinIsAbsentAndAllocatesNothing) {
  const Value k = insert_string(heap, "k");
  roots.values = {k};
  const ValueMap m = *map_insert_value(heap, ValueMap(), k, Value::from_int(1));
  const Value fresh = ints_vector(heap, {4, 5, 6});
  roots.values.push_back(fresh);
  const std::uint32_t live_before = heap.live_count;
  EXPECT_FALSE(map_lookup_value(heap, m, fresh)->has_value());
  EXPECT_EQ(heap.live_count, live_before);
  EXPECT_EQ(map_remove_value(heap, m, fresh)->size(), 1u);
  EXPECT_EQ(map_remove_value(heap, m, insert_string(heap, "k"))->size(), 0u);
}

TEST_F(KeysTest, InsertingOverAKeyReplacesItsValueInANewMap) {
  const ValueMap m1 = *map_insert_value(heap, ValueMap(), Value::keyword(1), Value::from_int(1));
  const ValueMap m2 = *map_insert_value(heap, m1, Value::keyword(1), Value::from_int(2));
  EXPECT_EQ(m1.find(Value::keyword(1))->as.integer, 1);
  EXPECT_EQ(m2.find(Value::keyword(1))->as.integer, 2);
  EXPECT_EQ(m2.size(), 1u);
}

TEST_F(KeysTest, BuildersKeepTheirInputsAliveAcrossCollections) {
  // A literal map whose key needs canonicalising while a collection is due: the closure value
  // referenced only by the builder's input must survive into the map.
  const Value key = insert_string(heap, "key");
  const Value closure = insert_closure(heap);
  heap.gc_threshold = 0;
  const Value pairs[] = {key, closure, Value::from_int(1), Value::from_int(2)};
  const ValueMap m = *build_map_from_pairs(heap, pairs);
  EXPECT_GE(heap.collections, 1u);
  EXPECT_TRUE(live(heap, closure));
  const Value* stored = m.find(Value::object(intern_string(heap, *SmallString::from("key"))));
  ASSERT_NE(stored, nullptr);
  EXPECT_EQ(stored->as.key, closure.as.key);
}

// A monitor that lets two questions pass and stops the walk at the third.
struct StopAtThirdQuestion final : WalkMonitor {
  int asked = 0;
  bool stop_walk() override { return ++asked >= 3; }
};

TEST_F(KeysTest, BuildersFromManyValuesStopWhenTheMonitorSaysSo) {
  // `(apply hash-map ...)` and `(apply hash-set ...)` hand the builders millions of values.
  std::vector<Value> values;
  for (std::int64_t i = 0; i < 100000; ++i)
    values.push_back(Value::from_int(i));
  for (const bool as_map : {true, false}) {
    SCOPED_TRACE(as_map ? "map" : "set");
    StopAtThirdQuestion monitor;
    heap.walk_monitor = &monitor;
    std::optional<ValueFault> fault;
    if (as_map) {
      if (Guarded<ValueMap> m = build_map_from_pairs(heap, values); !m) fault = m.error();
    } else {
      if (Guarded<ValueSet> s = build_set_from_values(heap, values); !s) fault = s.error();
    }
    heap.walk_monitor = nullptr;
    EXPECT_EQ(fault, ValueFault::Interrupted);
    EXPECT_EQ(monitor.asked, 3);
  }
  // Without a monitor the same values build in full.
  EXPECT_EQ(build_map_from_pairs(heap, values)->size(), 50000u);
  EXPECT_EQ(build_set_from_values(heap, values)->size(), 100000u);
}

// ---------------------------------------------------------------------------------------------
// Strings

TEST(SmallStringTest, StorageFollowsTheByteLength) {
  struct Case {
    std::string text;
    bool inline_;
  };
  const Case cases[] = {
      {"", true},
      {"elevenbytes", true},
      {"twelve bytes", false},
      {"h\xC3\xA9llo w\xC3\xB6rld", false},           // 13 bytes, 11 characters
      {"\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", true}, // three euro signs: 9 bytes
      {std::string(100000, 'z'), false},
  };
  for (const Case& c : cases) {
    const SmallString s = *SmallString::from(c.text);
    EXPECT_EQ(s.view(), c.text);
    EXPECT_EQ(s.size(), c.text.size());
    EXPECT_EQ(s.is_inline(), c.inline_) << c.text.size() << " bytes";
    const SmallString copy = s;
    EXPECT_EQ(copy.view(), c.text);
    EXPECT_EQ(copy.shares_buffer_with(s), !c.inline_);
  }
}

TEST(SmallStringTest, MovesAndAssignmentsKeepTextAndCounts) {
  SmallString a = *SmallString::from("a shared text buffer");
  SmallString b = a;
  SmallString c = std::move(a);
  EXPECT_TRUE(a.empty());
  EXPECT_TRUE(b.shares_buffer_with(c));
  b = *SmallString::from("short");
  EXPECT_EQ(c.view(), "a shared text buffer");
  c = c;
  EXPECT_EQ(c.view(), "a shared text buffer");
}

TEST(SmallStringTest, TextBeyondASigned32BitCountIsRefused) {
  // A read-only mapping of zero pages: a real range of 2^31 bytes that costs no memory.
  const std::size_t n = std::size_t{1} << 31;
  void* p = mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) GTEST_SKIP() << "cannot map 2 GiB of address space";
  const std::string_view huge(static_cast<const char*>(p), n);
  Guarded<SmallString> s = SmallString::from(huge);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), ValueFault::StringTooLong);
  Heap h;
  EXPECT_FALSE(alloc_string(h, huge).has_value());
  EXPECT_EQ(h.live_count, 0u);
  munmap(p, n);
  EXPECT_EQ(to_vm_error(ValueFault::StringTooLong).text, "string too long");
}

TEST_F(HeapTest, StringObjectsAreNotSharedUntilTheyBecomeKeys) {
  const Value a = *alloc_string(heap, "same text here");
  roots.values.push_back(a);
  const Value b = *alloc_string_owned(heap, std::string("same text here"));
  roots.values.push_back(b);
  EXPECT_NE(a.as.key, b.as.key);
  EXPECT_EQ(string_view_of(heap, a), string_view_of(heap, b));
  EXPECT_FALSE(heap_entry(heap, a.as.key)->cached_hash.has_value());
  const ValueMap m = *map_insert_value(heap, ValueMap(), a, Value::from_int(1));
  EXPECT_EQ(map_lookup_value(heap, m, b)->value().as.integer, 1);
  EXPECT_FALSE(string_view_of(heap, Value::from_int(1)).has_value());
}

TEST(StagingHeapTest, StagedStringsNeverCollect) {
  Heap staging;
  staging.gc_threshold = 0;
  for (int i = 0; i < 5; ++i)
    ASSERT_TRUE(stage_string_object(staging, "lit").has_value());
  EXPECT_EQ(staging.live_count, 5u);
  EXPECT_EQ(staging.collections, 0u);
}

} // namespace
} // namespace quorvex
