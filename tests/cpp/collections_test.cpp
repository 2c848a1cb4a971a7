#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "collections/phashmap.hpp"
#include "collections/phashset.hpp"
#include "collections/pvector.hpp"
#include "util/hash.hpp"
#include "util/internal_error.hpp"

namespace quorvex {
namespace {

// An element that counts live instances and marks itself dead when destroyed, so that leaks,
// double destruction and reads of destroyed elements show up as failed checks. It can also be
// told to fail its n-th copy, which stands in for an allocation failure inside an operation.
struct Tracked {
  static inline long live = 0;
  static inline long misuse = 0;
  static inline long copies_until_failure = 0; // 0: never fail
  static constexpr std::uint32_t kAlive = 0x600DF00D;
  static constexpr std::uint32_t kDead = 0xDEADBEEF;

  explicit Tracked(std::int64_t v) : value(v) { ++live; }
  Tracked(const Tracked& o) : value(o.get()) {
    if (copies_until_failure > 0 && --copies_until_failure == 0) throw std::bad_alloc();
    ++live;
  }
  Tracked(Tracked&& o) noexcept : value(o.get()) { ++live; }
  Tracked& operator=(const Tracked& o) {
    get();
    value = o.get();
    return *this;
  }
  Tracked& operator=(Tracked&& o) noexcept {
    get();
    value = o.get();
    return *this;
  }
  ~Tracked() {
    if (state != kAlive) ++misuse;
    state = kDead;
    --live;
  }
  std::int64_t get() const {
    if (state != kAlive) ++misuse;
    return value;
  }

  std::int64_t value;
  std::uint32_t state = kAlive;
};

// Every test must leave no element alive and must never have touched a dead one.
class Collections : public ::testing::Test {
protected:
  void SetUp() override {
    Tracked::live = 0;
    Tracked::misuse = 0;
    Tracked::copies_until_failure = 0;
  }
  void TearDown() override {
    Tracked::copies_until_failure = 0;
    EXPECT_EQ(Tracked::live, 0) << "elements leaked or destroyed twice";
    EXPECT_EQ(Tracked::misuse, 0) << "a destroyed element was used";
  }
};

// ---------------------------------------------------------------------------------------------
// Vector

// Element adapters, so that the same scenarios run over a counting type and a heap-owning one.
std::int64_t value_of(const Tracked& t) {
  return t.get();
}
std::int64_t value_of(const std::string& s) {
  return std::stoll(s);
}
template <class T> T make(std::int64_t v) {
  if constexpr (std::is_same_v<T, std::string>) {
    // Long enough to live on the heap.
    return std::to_string(v) + std::string(24, ' ');
  } else {
    return T(v);
  }
}

using Model = std::vector<std::int64_t>;

// Rebalancing keeps the tree about as shallow as a dense one: one level more than a tree of
// full nodes would need.
int max_height(std::size_t n) {
  int h = 0;
  for (std::size_t cap = 32; cap < n; cap *= 32)
    ++h;
  return h + 1;
}

template <class T>::testing::AssertionResult same(const PVector<T>& v, const Model& m) {
  if (v.size() != m.size() || v.empty() != m.empty()) {
    return ::testing::AssertionFailure() << "size " << v.size() << ", expected " << m.size();
  }
  const int height = v.check_invariants();
  if (height < 0) return ::testing::AssertionFailure() << "inconsistent tree";
  if (height > max_height(v.size())) {
    return ::testing::AssertionFailure() << "height " << height << " for " << v.size();
  }
  for (std::size_t i = 0; i < m.size(); ++i) {
    if (value_of(v[i]) != m[i]) {
      return ::testing::AssertionFailure()
             << "[" << i << "] is " << value_of(v[i]) << ", expected " << m[i];
    }
  }
  std::size_t k = 0;
  for (const T& x : v) {
    if (k >= m.size() || value_of(x) != m[k]) {
      return ::testing::AssertionFailure() << "iteration differs at " << k;
    }
    ++k;
  }
  if (k != m.size()) return ::testing::AssertionFailure() << "iteration stopped at " << k;
  k = 0;
  bool ok = true;
  v.for_each([&](const T& x) {
    ok = ok && k < m.size() && value_of(x) == m[k];
    ++k;
  });
  if (!ok || k != m.size()) return ::testing::AssertionFailure() << "for_each differs";
  // The selective walk marks what it need not see again; every version derived later must
  // still show it whatever was written since. It also shows elements that shared storage holds
  // hidden from this version, so the needed ones must come in order among what it shows.
  Model needed;
  for (std::int64_t x : m)
    if (x % 3 == 0) needed.push_back(x);
  k = 0;
  v.for_each_needed([](const void*) { return true; },
                    [](const T& x) { return value_of(x) % 3 == 0; },
                    [&](const T& x) {
                      ok = ok && value_of(x) % 3 == 0;
                      if (k < needed.size() && value_of(x) == needed[k]) ++k;
                    });
  if (!ok || k != needed.size()) return ::testing::AssertionFailure() << "selective walk differs";
  if (v.get(m.size()) != nullptr) return ::testing::AssertionFailure() << "get past the end";
  if (!m.empty() && (value_of(v.front()) != m.front() || value_of(v.back()) != m.back())) {
    return ::testing::AssertionFailure() << "front/back differ";
  }
  return ::testing::AssertionSuccess();
}

template <class T> struct Version {
  PVector<T> v;
  Model m;
};

// One random operation applied to `base` (and, for concatenation, `other`), once through the
// persistent interface and once through the transient one, chosen at random.
template <class T> struct VectorOp {
  enum Kind {
    PushBack,
    PushFront,
    PopBack,
    PopFront,
    Set,
    Slice,
    Drop,
    Take,
    Concat,
    PushMany,
    FromRange,
    kCount
  };
  Kind kind;
  bool transient;
  std::size_t a, b;
  std::int64_t value;

  static VectorOp random(std::mt19937_64& rng, std::size_t size, std::size_t other_size,
                         std::size_t max_size, std::int64_t& next) {
    VectorOp op;
    op.transient = rng() & 1;
    op.value = next;
    if (rng() % 4 != 0) {
      // Trim a little off either end, so that versions grow large enough to be deep trees.
      op.a = rng() % (size / 8 + 2);
      op.b = size + 2 - rng() % (size / 8 + 2);
    } else {
      op.a = rng() % (size + 3);
      op.b = rng() % (size + 3);
      if (op.a > op.b) std::swap(op.a, op.b);
    }
    if (size > max_size) {
      const Kind shrink[] = {Slice, Drop, Take, PopBack, PopFront};
      op.kind = shrink[rng() % std::size(shrink)];
      op.a = rng() % (size / 2 + 1);
      op.b = op.a + rng() % (size / 2 + 1);
    } else {
      // Concatenation often enough that versions reach the size limit.
      op.kind = rng() % 4 == 0 ? Concat : static_cast<Kind>(rng() % kCount);
      if (op.kind == Concat && size + other_size > max_size) op.kind = Slice;
    }
    if (op.kind == PushMany || op.kind == FromRange) {
      op.a = rng() % std::max<std::size_t>(300, max_size / 40);
    }
    if (op.kind == Take && op.a < size / 2) op.a = size - op.a;
    next += 1000;
    return op;
  }

  Model expected(const Model& m, const Model& other) const {
    Model r = m;
    switch (kind) {
    case PushBack:
      r.push_back(value);
      break;
    case PushFront:
      r.insert(r.begin(), value);
      break;
    case PopBack:
      if (!r.empty()) r.pop_back();
      break;
    case PopFront:
      if (!r.empty()) r.erase(r.begin());
      break;
    case Set:
      if (!r.empty()) r[a % r.size()] = value;
      break;
    case Slice:
      r = Model(m.begin() + std::min(a, m.size()), m.begin() + std::min(b, m.size()));
      break;
    case Drop:
      r.erase(r.begin(), r.begin() + std::min(a, r.size()));
      break;
    case Take:
      r.resize(std::min(a, r.size()));
      break;
    case Concat:
      r.insert(r.end(), other.begin(), other.end());
      break;
    case PushMany:
      for (std::size_t k = 0; k < a; ++k) {
        if (k % 3 == 2) {
          r.insert(r.begin(), value + static_cast<std::int64_t>(k));
        } else {
          r.push_back(value + static_cast<std::int64_t>(k));
        }
      }
      break;
    case FromRange:
      r.clear();
      for (std::size_t k = 0; k < a; ++k)
        r.push_back(value + static_cast<std::int64_t>(k));
      break;
    case kCount:
      break;
    }
    return r;
  }

  // Applies the operation to v, which starts as a copy of base.
  void apply(PVector<T>& v, const PVector<T>& base, const PVector<T>& other) const {
    switch (kind) {
    case PushBack:
      if (transient) {
        v.push_back_mut(make<T>(value));
      } else {
        v = base.push_back(make<T>(value));
      }
      break;
    case PushFront:
      if (transient) {
        v.push_front_mut(make<T>(value));
      } else {
        v = base.push_front(make<T>(value));
      }
      break;
    case PopBack:
      if (transient) {
        v.pop_back_mut();
      } else {
        v = base.pop_back();
      }
      break;
    case PopFront:
      if (transient) {
        v.pop_front_mut();
      } else {
        v = base.pop_front();
      }
      break;
    case Set:
      if (base.empty()) break;
      if (transient) {
        v.set_mut(a % base.size(), make<T>(value));
      } else {
        v = base.set(a % base.size(), make<T>(value));
      }
      break;
    case Slice:
      v = base.slice(a, b);
      break;
    case Drop:
      v = base.drop(a);
      break;
    case Take:
      v = base.take(a);
      break;
    case Concat:
      v = base.concat(other);
      break;
    case PushMany:
      for (std::size_t k = 0; k < a; ++k) {
        T x = make<T>(value + static_cast<std::int64_t>(k));
        if (k % 3 == 2 && transient) {
          v.push_front_mut(std::move(x));
        } else if (k % 3 == 2) {
          v = v.push_front(std::move(x));
        } else if (transient) {
          v.push_back_mut(std::move(x));
        } else {
          v = v.push_back(std::move(x));
        }
      }
      break;
    case FromRange: {
      std::vector<T> items;
      for (std::size_t k = 0; k < a; ++k)
        items.push_back(make<T>(value + std::int64_t(k)));
      v = PVector<T>::from_range(items.begin(), items.end());
      break;
    }
    case kCount:
      break;
    }
  }
};

struct VectorRun {
  std::uint64_t seed;
  int steps;
  std::size_t max_size;
};

// Random operations over a pool of versions. Each step derives a new version from a random one
// (concatenating with another random one), checks it against the model, checks that the source
// did not change, and keeps every fifth version to check once more at the end.
template <class T> void run_vector_differential(const VectorRun& run) {
  std::mt19937_64 rng(run.seed);
  std::vector<Version<T>> pool(1);
  std::vector<Version<T>> kept;
  std::int64_t next = 1;
  for (int step = 0; step < run.steps; ++step) {
    const Version<T>& base = pool[rng() % pool.size()];
    const Version<T>& other = pool[rng() % pool.size()];
    auto op = VectorOp<T>::random(rng, base.m.size(), other.m.size(), run.max_size, next);
    Version<T> out{base.v, op.expected(base.m, other.m)};
    op.apply(out.v, base.v, other.v);
    ASSERT_TRUE(same(out.v, out.m)) << "step " << step << " op " << op.kind;
    if (step % 4 == 0) {
      ASSERT_TRUE(same(base.v, base.m)) << "source changed at step " << step;
    }
    if (step % 5 == 0) kept.push_back(out);
    if (pool.size() < 24) {
      pool.push_back(std::move(out));
    } else {
      pool[rng() % pool.size()] = std::move(out);
    }
  }
  for (std::size_t k = 0; k < kept.size(); ++k) {
    ASSERT_TRUE(same(kept[k].v, kept[k].m)) << k;
  }
}

const VectorRun kVectorRuns[] = {
    {1, 3000, 1500}, // small: the chunks and shallow trees
    {2, 1500, 20000},
    {3, 700, 150000}, // trees three levels deep
};

TEST_F(Collections, VectorMatchesModelOverRandomOperations) {
  for (const VectorRun& run : kVectorRuns) {
    SCOPED_TRACE(run.seed);
    run_vector_differential<Tracked>(run);
  }
}

TEST_F(Collections, VectorOfStringsMatchesModel) {
  run_vector_differential<std::string>({7, 1500, 5000});
}

// A failed copy in the middle of an operation must leave the source untouched, and a failed
// transient operation must leave the receiver as it was or as it should become, never broken.
TEST_F(Collections, VectorSurvivesFailedCopies) {
  std::mt19937_64 rng(11);
  std::vector<Version<Tracked>> pool(1);
  std::int64_t next = 1;
  int failures = 0;
  for (int step = 0; step < 3000; ++step) {
    const Version<Tracked>& base = pool[rng() % pool.size()];
    const Version<Tracked>& other = pool[rng() % pool.size()];
    auto op = VectorOp<Tracked>::random(rng, base.m.size(), other.m.size(), 4000, next);
    Version<Tracked> out{base.v, op.expected(base.m, other.m)};
    Tracked::copies_until_failure = 1 + static_cast<long>(rng() % 40);
    try {
      op.apply(out.v, base.v, other.v);
    } catch (const std::bad_alloc&) {
      ++failures;
      Tracked::copies_until_failure = 0;
      ASSERT_TRUE(same(base.v, base.m)) << "source changed at step " << step;
      // A run of pushes stops part way; each push on its own is all or nothing.
      if (op.kind == VectorOp<Tracked>::PushMany) continue;
      if (!same(out.v, out.m)) {
        ASSERT_TRUE(same(out.v, base.m)) << "broken after a failure at step " << step;
        continue;
      }
    }
    Tracked::copies_until_failure = 0;
    ASSERT_TRUE(same(out.v, out.m)) << "step " << step;
    if (pool.size() < 16) {
      pool.push_back(std::move(out));
    } else {
      pool[rng() % pool.size()] = std::move(out);
    }
  }
  EXPECT_GT(failures, 100);
}

// Vectors made in the shapes that matter for lookups: pushed at the back only (regular trees),
// pushed at the front only, and concatenated from many uneven pieces (relaxed trees).
TEST_F(Collections, VectorShapesIndexAndIterate) {
  const std::size_t n = 70000;
  Model m(n);
  for (std::size_t i = 0; i < n; ++i)
    m[i] = static_cast<std::int64_t>(i);

  PVector<Tracked> back;
  for (std::size_t i = 0; i < n; ++i)
    back = back.push_back(Tracked(m[i]));
  EXPECT_TRUE(same(back, m));

  PVector<Tracked> front;
  for (std::size_t i = n; i-- > 0;)
    front.push_front_mut(Tracked(m[i]));
  EXPECT_TRUE(same(front, m));

  // Uneven pieces joined pairwise, round after round, so that both sides of a seam are deep.
  std::mt19937_64 rng(5);
  std::vector<PVector<Tracked>> parts;
  for (std::size_t i = 0; i < n;) {
    std::size_t len = std::min<std::size_t>(1 + rng() % 150, n - i);
    PVector<Tracked> piece;
    for (std::size_t k = 0; k < len; ++k)
      piece.push_back_mut(Tracked(m[i + k]));
    parts.push_back(std::move(piece));
    i += len;
  }
  while (parts.size() > 1) {
    std::vector<PVector<Tracked>> joined;
    for (std::size_t k = 0; k + 1 < parts.size(); k += 2) {
      joined.push_back(parts[k].concat(parts[k + 1]));
    }
    if (parts.size() % 2 == 1) joined.push_back(parts.back());
    parts = std::move(joined);
  }
  const PVector<Tracked>& pieces = parts[0];
  EXPECT_TRUE(same(pieces, m));

  PVector<Tracked> halves = back.take(n / 2).concat(front.drop(n / 2));
  EXPECT_TRUE(same(halves, m));
  // The slices of a concatenation are again concatenated back into the whole.
  PVector<Tracked> rejoined = halves.slice(0, 33333).concat(pieces.slice(33333, n));
  EXPECT_TRUE(same(rejoined, m));
}

// Cuts at and around leaf and node boundaries, on a regular and on a relaxed vector.
TEST_F(Collections, VectorSlicesAtBoundaries) {
  const std::size_t n = 5000;
  Model m(n);
  PVector<Tracked> regular;
  for (std::size_t i = 0; i < n; ++i) {
    m[i] = static_cast<std::int64_t>(i);
    regular.push_back_mut(Tracked(m[i]));
  }
  PVector<Tracked> relaxed =
      regular.slice(0, 1000).concat(regular.slice(1000, 2017)).concat(regular.slice(2017, n));
  const std::size_t cuts[] = {0,    1,    31,   32,   33,   63,    64, 1023,
                              1024, 1025, 2016, 2017, 4095, n - 1, n};
  for (const PVector<Tracked>* v : {&regular, &relaxed}) {
    for (std::size_t a : cuts) {
      for (std::size_t b : cuts) {
        if (a > b) continue;
        ASSERT_TRUE(same(v->slice(a, b), Model(m.begin() + a, m.begin() + b))) << a << ".." << b;
      }
    }
  }
  // Out-of-range bounds clamp.
  EXPECT_TRUE(same(regular.slice(4990, 99999), Model(m.begin() + 4990, m.end())));
  EXPECT_TRUE(same(regular.slice(6000, 7000), Model()));
  EXPECT_TRUE(same(regular.slice(30, 10), Model()));
  EXPECT_TRUE(same(regular.drop(n + 5), Model()));
  EXPECT_TRUE(same(regular.take(n + 5), m));
}

// Lists are walked with rest (pop_front / drop 1) and built with cons (push_front).
TEST_F(Collections, VectorWalksAsAList) {
  const std::int64_t n = 20000;
  PVector<Tracked> list;
  for (std::int64_t i = n; i-- > 0;)
    list = list.push_front(Tracked(i));
  PVector<Tracked> rest = list;
  PVector<Tracked> dropped = list;
  for (std::int64_t i = 0; i < n; ++i) {
    ASSERT_EQ(rest.front().get(), i);
    ASSERT_EQ(dropped.front().get(), i);
    ASSERT_EQ(rest.size(), static_cast<std::size_t>(n - i));
    rest = rest.pop_front();
    dropped = dropped.drop(1);
  }
  EXPECT_TRUE(rest.empty());
  EXPECT_TRUE(dropped.empty());
  EXPECT_TRUE(rest.pop_front().empty());
  EXPECT_TRUE(rest.pop_back().empty());
  EXPECT_EQ(list.size(), static_cast<std::size_t>(n));
  EXPECT_EQ(list.back().get(), n - 1);
}

// Walking hides the passed prefix of the tree instead of cutting it off at every step, but not
// for long: once it outgrows the rest it is released.
TEST_F(Collections, VectorWalkReleasesWhatItPassed) {
  for (bool by_drop : {false, true}) {
    PVector<Tracked> v;
    for (std::int64_t i = 0; i < 20000; ++i)
      v.push_back_mut(Tracked(i));
    for (int k = 0; k < 15000; ++k)
      v = by_drop ? v.drop(1) : v.pop_front();
    EXPECT_EQ(v.front().get(), 15000);
    EXPECT_EQ(v.size(), 5000u);
    EXPECT_LE(Tracked::live, 2 * 5000 + 1024 + 64);
  }
}

// Emptying vectors of every shape from the front, from the back and from both ends alternately,
// through the persistent and the transient interface; every step checks both ends and, now and
// then, everything.
TEST_F(Collections, VectorEmptiesFromEitherEnd) {
  const std::int64_t n = 3000;
  Model m(n);
  PVector<Tracked> back_built;
  PVector<Tracked> front_built;
  for (std::int64_t i = 0; i < n; ++i) {
    m[i] = i;
    back_built.push_back_mut(Tracked(i));
    front_built.push_front_mut(Tracked(n - 1 - i));
  }
  // A dropped vector hides a prefix of its tree; the other two are relaxed.
  PVector<Tracked> extended;
  for (std::int64_t i = -1500; i < 0; ++i)
    extended.push_back_mut(Tracked(i));
  for (std::int64_t i = 0; i < n; ++i)
    extended.push_back_mut(Tracked(i));
  const PVector<Tracked> dropped = extended.drop(1500);
  const PVector<Tracked> joined = back_built.take(1234).concat(front_built.drop(1234));
  const PVector<Tracked> sliced = extended.slice(1400, 1500 + n).drop(100);

  enum Side { Front, Back, Both };
  // Transient pops on a copy meet shared chunks and nodes; on a fresh build they own them.
  enum Mode { Persistent, TransientShared, TransientOwned };
  const PVector<Tracked>* shapes[] = {&back_built, &front_built, &dropped, &joined, &sliced};
  for (const PVector<Tracked>* shape : shapes) {
    ASSERT_TRUE(same(*shape, m));
    for (Side side : {Front, Back, Both}) {
      for (Mode mode : {Persistent, TransientShared, TransientOwned}) {
        SCOPED_TRACE(::testing::Message() << "side " << side << " mode " << mode);
        PVector<Tracked> v = mode == TransientOwned
                                 ? PVector<Tracked>::from_range(shape->begin(), shape->end())
                                 : *shape;
        std::int64_t lo = 0;
        std::int64_t hi = n;
        for (std::int64_t step = 0; step < n; ++step) {
          const bool from_front = side == Front || (side == Both && step % 2 == 0);
          if (mode == Persistent) {
            v = from_front ? v.pop_front() : v.pop_back();
          } else if (from_front) {
            v.pop_front_mut();
          } else {
            v.pop_back_mut();
          }
          from_front ? ++lo : --hi;
          ASSERT_EQ(v.size(), static_cast<std::size_t>(hi - lo));
          if (lo < hi) {
            ASSERT_EQ(v.front().get(), lo);
            ASSERT_EQ(v.back().get(), hi - 1);
          }
          if (step % 250 == 0) {
            ASSERT_TRUE(same(v, Model(m.begin() + lo, m.begin() + hi))) << step;
          }
        }
        EXPECT_TRUE(v.empty());
      }
    }
    ASSERT_TRUE(same(*shape, m));
  }
}

// A selective walk marks storage holding nothing it needs and skips it later; a write through
// any operation, to this version or to one derived from it, must bring the written element
// back into view while the untouched versions keep their marks.
TEST_F(Collections, VectorSelectiveWalkSeesEveryWrite) {
  const std::int64_t n = 40000; // three levels of inner nodes
  PVector<Tracked> base;
  for (std::int64_t i = 0; i < n; ++i)
    base.push_back_mut(Tracked(2 * i)); // even: not needed
  auto walk = [](const PVector<Tracked>& v, std::vector<std::int64_t>& seen) {
    seen.clear();
    return v.for_each_needed([](const void*) { return true; },
                             [](const Tracked& x) { return x.get() % 2 != 0; },
                             [&](const Tracked& x) { seen.push_back(x.get()); });
  };
  std::vector<std::int64_t> seen;
  const std::size_t first = walk(base, seen);
  EXPECT_TRUE(seen.empty());
  // Everything is marked now: the next walk passes over the tree's nodes without their elements.
  EXPECT_LT(walk(base, seen), first / 16);

  struct Case {
    const char* what;
    std::function<PVector<Tracked>(PVector<Tracked>&)> write; // may change its argument
    std::vector<std::int64_t> expect;
  };
  const Case cases[] = {
      {"set_mut of an owned copy deep in the tree",
       [](PVector<Tracked>& v) {
         PVector<Tracked> w = PVector<Tracked>::from_range(v.begin(), v.end());
         w.for_each_needed([](const void*) { return true; },
                           [](const Tracked& x) { return x.get() % 2 != 0; },
                           [](const Tracked&) {});
         w.set_mut(12345, Tracked(1));
         return w;
       },
       {1}},
      {"set_mut in place",
       [](PVector<Tracked>& v) {
         v.set_mut(777, Tracked(3));
         return v;
       },
       {3}},
      {"persistent set", [](PVector<Tracked>& v) { return v.set(30000, Tracked(5)); }, {5}},
      {"push_back past a full tail",
       [](PVector<Tracked>& v) {
         PVector<Tracked> w = v;
         w.push_back_mut(Tracked(7));
         for (int i = 0; i < 40; ++i)
           w = w.push_back(Tracked(2 * i));
         return w;
       },
       {7}},
      {"push_front", [](PVector<Tracked>& v) { return v.push_front(Tracked(9)); }, {9}},
      {"concat with a marked copy",
       [](PVector<Tracked>& v) {
         PVector<Tracked> w = v.set(5, Tracked(11));
         return v.concat(w).concat(v);
       },
       {11}},
      {"slice and set",
       [](PVector<Tracked>& v) { return v.slice(1000, 35000).set(20000, Tracked(13)); },
       {13}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    PVector<Tracked> v = base;
    walk(v, seen); // marks whatever the previous case left unmarked
    PVector<Tracked> written = c.write(v);
    walk(written, seen);
    EXPECT_EQ(seen, c.expect);
    walk(base, seen);
    EXPECT_TRUE(seen.empty()) << "the source changed";
  }
}

// Misuse by a caller is reported, not undefined.
TEST_F(Collections, VectorRefusesOutOfRangeAccess) {
  PVector<Tracked> empty;
  EXPECT_THROW(empty.front(), InternalError);
  EXPECT_THROW(empty.back(), InternalError);
  EXPECT_EQ(empty.get(0), nullptr);
  PVector<Tracked> three = empty.push_back(Tracked(1)).push_back(Tracked(2)).push_back(Tracked(3));
  EXPECT_THROW(three.set(3, Tracked(0)), InternalError);
  EXPECT_THROW(three.set_mut(99, Tracked(0)), InternalError);
  EXPECT_EQ(three.get(3), nullptr);
  EXPECT_EQ(three.get(2)->get(), 3);
}

TEST_F(Collections, VectorSharesStructure) {
  PVector<Tracked> a;
  for (int i = 0; i < 100; ++i)
    a.push_back_mut(Tracked(i));
  PVector<Tracked> b = a;
  EXPECT_TRUE(b.ptr_eq(a));
  EXPECT_TRUE(a.slice(0, a.size()).ptr_eq(a));
  EXPECT_TRUE(a.concat(PVector<Tracked>()).ptr_eq(a));
  // Transient changes to a copy copy what they touch and leave the original alone.
  b.push_back_mut(Tracked(100));
  b.set_mut(50, Tracked(-1));
  b.push_front_mut(Tracked(-2));
  EXPECT_FALSE(b.ptr_eq(a));
  EXPECT_EQ(a.size(), 100u);
  EXPECT_EQ(a[50].get(), 50);
  EXPECT_EQ(b[51].get(), -1);
  EXPECT_EQ(b.front().get(), -2);
  EXPECT_EQ(b.back().get(), 100);
}

// ---------------------------------------------------------------------------------------------
// Hash map and set

// Hashes keys into `Classes` groups (0: every key its own hash). With few groups most keys share
// a full 64-bit hash and meet in collision nodes; with 64 groups, collision nodes also meet
// entries of other hashes and have to be split.
template <std::int64_t Classes> struct ClassHash {
  void operator()(SipHasher13& h, const Tracked& k) const {
    h.write_i64(Classes == 0 ? k.get() : k.get() % Classes);
  }
};
struct TrackedEq {
  bool operator()(const Tracked& a, const Tracked& b) const { return a.get() == b.get(); }
};

using MapModel = std::unordered_map<std::int64_t, std::int64_t>;

template <class Map>
::testing::AssertionResult same_map(const Map& map, const MapModel& m, std::int64_t keyspace) {
  if (map.size() != m.size() || map.empty() != m.empty()) {
    return ::testing::AssertionFailure() << "size " << map.size() << ", expected " << m.size();
  }
  for (std::int64_t k = 0; k < keyspace; ++k) {
    const auto* found = map.find(Tracked(k));
    auto it = m.find(k);
    if ((found != nullptr) != (it != m.end()) || map.contains(Tracked(k)) != (it != m.end())) {
      return ::testing::AssertionFailure() << "presence of " << k << " differs";
    }
    if (found && found->get() != it->second) {
      return ::testing::AssertionFailure() << "value of " << k << " differs";
    }
  }
  std::vector<std::pair<std::int64_t, std::int64_t>> seen;
  for (const auto& [k, v] : map)
    seen.emplace_back(k.get(), v.get());
  std::vector<std::pair<std::int64_t, std::int64_t>> walked;
  map.for_each([&](const Tracked& k, const Tracked& v) { walked.emplace_back(k.get(), v.get()); });
  std::vector<std::pair<std::int64_t, std::int64_t>> want(m.begin(), m.end());
  std::sort(seen.begin(), seen.end());
  std::sort(walked.begin(), walked.end());
  std::sort(want.begin(), want.end());
  if (seen != want) return ::testing::AssertionFailure() << "iteration differs";
  if (walked != want) return ::testing::AssertionFailure() << "for_each differs";
  return ::testing::AssertionSuccess();
}

struct MapRun {
  std::uint64_t seed;
  int steps;
  std::int64_t keyspace;
};

template <class Map> struct MapVersion {
  Map map;
  MapModel m;
};

// Like the vector's run: random inserts (new and existing keys), erases (present and absent)
// and bulk fills over a pool of versions, transient or persistent at random.
template <class Map> void run_map_differential(const MapRun& run, bool fail_copies) {
  std::mt19937_64 rng(run.seed);
  std::vector<MapVersion<Map>> pool(1);
  std::vector<MapVersion<Map>> kept;
  int failures = 0;
  for (int step = 0; step < run.steps; ++step) {
    const MapVersion<Map>& base = pool[rng() % pool.size()];
    MapVersion<Map> out{base.map, base.m};
    const bool transient = rng() & 1;
    const int kind = static_cast<int>(rng() % 10);
    const std::int64_t key = static_cast<std::int64_t>(rng() % run.keyspace);
    const std::int64_t value = static_cast<std::int64_t>(rng() % 1000000);
    const std::size_t many = kind == 9 ? rng() % (run.keyspace / 2 + 1) : 0;
    if (fail_copies) Tracked::copies_until_failure = 1 + static_cast<long>(rng() % 30);
    try {
      if (kind < 5) {
        out.m[key] = value;
        if (transient) {
          out.map.insert_mut(Tracked(key), Tracked(value));
        } else {
          out.map = base.map.insert(Tracked(key), Tracked(value));
        }
      } else if (kind < 9) {
        out.m.erase(key);
        if (transient) {
          out.map.erase_mut(Tracked(key));
        } else {
          out.map = base.map.erase(Tracked(key));
        }
      } else {
        for (std::size_t k = 0; k < many; ++k) {
          std::int64_t kk = static_cast<std::int64_t>(rng() % run.keyspace);
          out.m[kk] = value + static_cast<std::int64_t>(k);
          out.map.insert_mut(Tracked(kk), Tracked(value + static_cast<std::int64_t>(k)));
        }
      }
    } catch (const std::bad_alloc&) {
      ++failures;
      Tracked::copies_until_failure = 0;
      ASSERT_TRUE(same_map(base.map, base.m, run.keyspace)) << "source changed at " << step;
      // A failed single operation leaves the map as it was or as it should become; a failed
      // bulk fill stops part way, so only the map's own consistency can be checked.
      if (kind == 9) continue;
      if (!same_map(out.map, out.m, run.keyspace)) {
        ASSERT_TRUE(same_map(out.map, base.m, run.keyspace)) << "broken at step " << step;
      }
      continue;
    }
    Tracked::copies_until_failure = 0;
    ASSERT_TRUE(same_map(out.map, out.m, run.keyspace)) << "step " << step << " kind " << kind;
    if (step % 4 == 0) {
      ASSERT_TRUE(same_map(base.map, base.m, run.keyspace)) << "source changed at " << step;
    }
    EXPECT_EQ(out.map.keys().k0, base.map.keys().k0);
    if (step % 5 == 0) kept.push_back(out);
    if (pool.size() < 16) {
      pool.push_back(std::move(out));
    } else {
      pool[rng() % pool.size()] = std::move(out);
    }
  }
  for (std::size_t k = 0; k < kept.size(); ++k) {
    ASSERT_TRUE(same_map(kept[k].map, kept[k].m, run.keyspace)) << k;
  }
  if (fail_copies) {
    EXPECT_GT(failures, run.steps / 10);
  }
}

TEST_F(Collections, MapMatchesModelOverRandomOperations) {
  run_map_differential<PHashMap<Tracked, Tracked, ClassHash<0>, TrackedEq>>({1, 2500, 1500}, false);
}

TEST_F(Collections, MapWithSplitCollisionsMatchesModel) {
  run_map_differential<PHashMap<Tracked, Tracked, ClassHash<64>, TrackedEq>>({2, 2000, 700}, false);
}

TEST_F(Collections, MapWithOneHashForAllKeysMatchesModel) {
  run_map_differential<PHashMap<Tracked, Tracked, ClassHash<1>, TrackedEq>>({3, 1000, 120}, false);
}

TEST_F(Collections, MapSurvivesFailedCopies) {
  run_map_differential<PHashMap<Tracked, Tracked, ClassHash<0>, TrackedEq>>({4, 2000, 600}, true);
  run_map_differential<PHashMap<Tracked, Tracked, ClassHash<64>, TrackedEq>>({5, 1500, 300}, true);
}

template <class Set>
::testing::AssertionResult same_set(const Set& set, const std::unordered_set<std::int64_t>& m,
                                    std::int64_t keyspace) {
  if (set.size() != m.size()) return ::testing::AssertionFailure() << "size differs";
  for (std::int64_t k = 0; k < keyspace; ++k) {
    const Tracked* found = set.find(Tracked(k));
    if ((found != nullptr) != m.contains(k) || (found && found->get() != k)) {
      return ::testing::AssertionFailure() << "presence of " << k << " differs";
    }
  }
  std::vector<std::int64_t> seen;
  for (const Tracked& k : set)
    seen.push_back(k.get());
  std::vector<std::int64_t> walked;
  set.for_each([&](const Tracked& k) { walked.push_back(k.get()); });
  std::vector<std::int64_t> want(m.begin(), m.end());
  std::sort(seen.begin(), seen.end());
  std::sort(walked.begin(), walked.end());
  std::sort(want.begin(), want.end());
  if (seen != want || walked != want) return ::testing::AssertionFailure() << "walk differs";
  return ::testing::AssertionSuccess();
}

template <class Set>
void run_set_differential(std::uint64_t seed, int steps, std::int64_t keyspace) {
  std::mt19937_64 rng(seed);
  std::vector<std::pair<Set, std::unordered_set<std::int64_t>>> pool(1);
  for (int step = 0; step < steps; ++step) {
    const auto& [base, base_m] = pool[rng() % pool.size()];
    std::pair<Set, std::unordered_set<std::int64_t>> out{base, base_m};
    const std::int64_t key = static_cast<std::int64_t>(rng() % keyspace);
    const bool transient = rng() & 1;
    if (rng() % 3 != 0) {
      const bool present = base_m.contains(key);
      out.second.insert(key);
      if (transient) {
        out.first.insert_mut(Tracked(key));
      } else {
        out.first = base.insert(Tracked(key));
        // Adding a member changes nothing, not even the structure.
        EXPECT_EQ(out.first.ptr_eq(base), present);
      }
    } else {
      const bool present = base_m.contains(key);
      out.second.erase(key);
      if (transient) {
        out.first.erase_mut(Tracked(key));
      } else {
        out.first = base.erase(Tracked(key));
        EXPECT_EQ(out.first.ptr_eq(base), !present);
      }
    }
    ASSERT_TRUE(same_set(out.first, out.second, keyspace)) << "step " << step;
    ASSERT_TRUE(same_set(base, base_m, keyspace)) << "source changed at " << step;
    if (pool.size() < 12) {
      pool.push_back(std::move(out));
    } else {
      pool[rng() % pool.size()] = std::move(out);
    }
  }
}

TEST_F(Collections, SetMatchesModelOverRandomOperations) {
  run_set_differential<PHashSet<Tracked, ClassHash<0>, TrackedEq>>(21, 3000, 1500);
  run_set_differential<PHashSet<Tracked, ClassHash<64>, TrackedEq>>(22, 2000, 500);
  run_set_differential<PHashSet<Tracked, ClassHash<1>, TrackedEq>>(23, 1000, 80);
}

// Keys compared with IEEE equality, as the language compares float keys.
struct FloatBits {
  void operator()(SipHasher13& h, const double& d) const {
    std::uint64_t bits;
    std::memcpy(&bits, &d, sizeof bits);
    h.write_u64(bits);
  }
};
struct FloatConstant {
  void operator()(SipHasher13& h, const double&) const { h.write_u64(7); }
};
struct FloatEq {
  bool operator()(double a, double b) const { return a == b; }
};

template <class Hash> void check_self_unequal_keys() {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  PHashMap<double, int, Hash, FloatEq> m;
  m = m.insert(1.0, 1).insert(nan, 2).insert(nan, 3).insert(2.0, 4);
  EXPECT_EQ(m.size(), 4u);
  EXPECT_EQ(m.find(nan), nullptr);
  EXPECT_FALSE(m.contains(nan));
  ASSERT_NE(m.find(1.0), nullptr);
  EXPECT_EQ(*m.find(1.0), 1);
  ASSERT_NE(m.find(2.0), nullptr);
  EXPECT_EQ(*m.find(2.0), 4);
  int nans = 0;
  int sum = 0;
  for (const auto& [k, v] : m) {
    nans += std::isnan(k);
    sum += v;
  }
  EXPECT_EQ(nans, 2);
  EXPECT_EQ(sum, 10);
  // Erasing a NaN finds nothing to erase; the other keys are untouched.
  EXPECT_TRUE(m.erase(nan).ptr_eq(m));
  auto without_one = m.erase(1.0);
  EXPECT_EQ(without_one.size(), 3u);
  EXPECT_EQ(without_one.find(1.0), nullptr);
  EXPECT_EQ(*without_one.find(2.0), 4);

  PHashSet<double, Hash, FloatEq> s;
  s = s.insert(nan).insert(nan).insert(0.5);
  EXPECT_EQ(s.size(), 3u);
  EXPECT_FALSE(s.contains(nan));
  EXPECT_TRUE(s.contains(0.5));
}

TEST_F(Collections, SelfUnequalKeysAddEntriesWithoutHarm) {
  check_self_unequal_keys<FloatBits>();
  check_self_unequal_keys<FloatConstant>();
}

// Keys that equality calls equal but that hash differently stay apart; with one hash for all
// they are one key.
struct AllEqual {
  bool operator()(const Tracked&, const Tracked&) const { return true; }
};
TEST_F(Collections, HashDecidesBeforeEquality) {
  PHashMap<Tracked, Tracked, ClassHash<0>, AllEqual> apart;
  PHashMap<Tracked, Tracked, ClassHash<1>, AllEqual> together;
  for (int k = 0; k < 200; ++k) {
    apart.insert_mut(Tracked(k), Tracked(k));
    together.insert_mut(Tracked(k), Tracked(k));
  }
  EXPECT_EQ(apart.size(), 200u);
  for (int k = 0; k < 200; ++k)
    EXPECT_EQ(apart.find(Tracked(k))->get(), k);
  // An absent key whose path ends at another key's entry is still absent.
  for (int k = 200; k < 400; ++k) {
    EXPECT_EQ(apart.find(Tracked(k)), nullptr) << k;
    EXPECT_TRUE(apart.erase(Tracked(k)).ptr_eq(apart)) << k;
  }
  auto grown = apart;
  for (int k = 200; k < 400; ++k)
    grown.insert_mut(Tracked(k), Tracked(-k));
  EXPECT_EQ(grown.size(), 400u);
  ASSERT_EQ(together.size(), 1u);
  // The stored key stays; the value is the last one inserted.
  EXPECT_EQ(together.begin()->first.get(), 0);
  EXPECT_EQ(together.begin()->second.get(), 199);
}

// Building a map or set in one piece gives what inserting the same entries one by one gives:
// the same entries, the same stored keys for duplicates, the same iteration order (same trie).
template <class Hash> void check_built_in_one_piece(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  for (int round = 0; round < 300; ++round) {
    const std::size_t n = rng() % 400;
    const std::int64_t keyspace = 1 + static_cast<std::int64_t>(rng() % 500);
    std::vector<std::pair<std::int64_t, std::int64_t>> raw;
    for (std::size_t i = 0; i < n; ++i)
      raw.emplace_back(static_cast<std::int64_t>(rng() % keyspace), static_cast<std::int64_t>(i));
    const SipKeys keys{rng(), rng()};

    PHashMap<Tracked, Tracked, Hash, TrackedEq> one_by_one(keys);
    std::vector<std::pair<Tracked, Tracked>> entries;
    PHashSet<Tracked, Hash, TrackedEq> set_one_by_one(keys);
    std::vector<Tracked> elements;
    for (const auto& [k, v] : raw) {
      one_by_one.insert_mut(Tracked(k), Tracked(v));
      entries.emplace_back(Tracked(k), Tracked(v));
      set_one_by_one.insert_mut(Tracked(k));
      elements.emplace_back(k);
    }
    auto built = PHashMap<Tracked, Tracked, Hash, TrackedEq>::from_moved(keys, entries.data(),
                                                                         entries.size());
    auto set_built =
        PHashSet<Tracked, Hash, TrackedEq>::from_moved(keys, elements.data(), elements.size());
    ASSERT_EQ(built.size(), one_by_one.size()) << round;
    std::vector<std::pair<std::int64_t, std::int64_t>> a, b;
    for (const auto& [k, v] : built)
      a.emplace_back(k.get(), v.get());
    for (const auto& [k, v] : one_by_one)
      b.emplace_back(k.get(), v.get());
    EXPECT_EQ(a, b) << round;
    std::vector<std::int64_t> sa, sb;
    for (const Tracked& k : set_built)
      sa.push_back(k.get());
    for (const Tracked& k : set_one_by_one)
      sb.push_back(k.get());
    EXPECT_EQ(sa, sb) << round;
    // Both stay usable as ordinary persistent collections.
    auto grown = built.insert(Tracked(-1), Tracked(-1));
    EXPECT_EQ(grown.size(), built.size() + 1);
    EXPECT_EQ(grown.find(Tracked(-1))->get(), -1);
  }
}

TEST_F(Collections, MapsAndSetsBuiltInOnePieceMatchInsertion) {
  check_built_in_one_piece<ClassHash<0>>(11);
  check_built_in_one_piece<ClassHash<64>>(12);
  check_built_in_one_piece<ClassHash<1>>(13);
}

struct StringHash {
  void operator()(SipHasher13& h, const std::string& s) const { h.write_str(s); }
};
struct StringEq {
  bool operator()(const std::string& a, const std::string& b) const { return a == b; }
};
using StringMap = PHashMap<std::string, int, StringHash, StringEq>;

TEST_F(Collections, MapKeysAndHashedLookup) {
  StringMap a;
  StringMap b;
  EXPECT_EQ(b.keys().k0, a.keys().k0 + 1);
  EXPECT_EQ(b.keys().k1, a.keys().k1);
  StringMap c(SipKeys{1, 2});
  EXPECT_EQ(c.keys().k0, 1u);
  EXPECT_EQ(c.keys().k1, 2u);

  StringMap m = a.insert("alpha", 1).insert("beta", 2);
  EXPECT_EQ(m.erase("alpha").keys().k0, a.keys().k0);
  // Two maps with different keys hash the same text differently.
  EXPECT_NE(a.hash_key("alpha"), b.hash_key("alpha"));

  // A lookup by a text view: the hash is computed the way StringHash feeds a std::string.
  std::string_view probe = "beta";
  SipHasher13 h(m.keys());
  h.write_str(probe);
  const auto* hit = m.find_hashed(h.finish(), [&](const std::string& k) { return k == probe; });
  ASSERT_NE(hit, nullptr);
  EXPECT_EQ(hit->second, 2);
  // The hash is compared first: a predicate that accepts anything does not help a wrong hash.
  EXPECT_EQ(m.find_hashed(h.finish() + 1, [](const std::string&) { return true; }), nullptr);
}

TEST_F(Collections, MapUpdatesInPlaceOnlyWhenUnshared) {
  StringMap a;
  for (int k = 0; k < 500; ++k)
    a.insert_mut(std::to_string(k), k);
  StringMap b = a;
  b.insert_mut("7", -7);
  b.erase_mut("8");
  b.insert_mut("new", 1);
  EXPECT_EQ(*a.find("7"), 7);
  EXPECT_EQ(*a.find("8"), 8);
  EXPECT_FALSE(a.contains("new"));
  EXPECT_EQ(a.size(), 500u);
  EXPECT_EQ(*b.find("7"), -7);
  EXPECT_FALSE(b.contains("8"));
  EXPECT_EQ(b.size(), 500u);
  // Erasing everything, in an order unrelated to the trie's, leaves an empty map.
  for (int k = 499; k >= 0; --k)
    b.erase_mut(std::to_string(k));
  b.erase_mut("new");
  EXPECT_TRUE(b.empty());
  EXPECT_TRUE(b.begin() == b.end());
  EXPECT_EQ(a.size(), 500u);
}

} // namespace
} // namespace quorvex
