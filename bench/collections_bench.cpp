// The persistent collections beside the std containers that do the nearest thing, in one run.
//
//   collections_bench [--benchmark_filter=REGEX] [other Google Benchmark flags]
//
// Every benchmark is named OPERATION/IMPLEMENTATION/N, where IMPLEMENTATION is `std`,
// `persistent` or `transient` (and `relaxed` for a vector built by concatenation). After the
// usual table, a summary gives nanoseconds per operation for each row, its ratio to the `std`
// row of the same operation and size, and the target where there is one.
//
// Freed memory stays in the allocator for all rows (see main). Elements are runtime `Value`s
// holding integers. Map keys are hashed with SipHash-1-3 on both
// sides (the std map gets the same keyed hasher), so the map rows compare data structures, not
// hash functions.
#include <benchmark/benchmark.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <map>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "collections/phashmap.hpp"
#include "collections/pvector.hpp"
#include "util/hash.hpp"
#include "value/value.hpp"

namespace quorvex {
namespace {

constexpr SipKeys kBenchKeys{0x0123456789abcdefULL, 0xfedcba9876543210ULL};

void feed(SipHasher13& h, const Value& v) {
  h.write_u8(static_cast<std::uint8_t>(v.tag));
  h.write_i64(v.as.integer);
}

struct KeyHash {
  void operator()(SipHasher13& h, const Value& v) const { feed(h, v); }
};
struct KeyEq {
  bool operator()(const Value& a, const Value& b) const {
    return a.tag == b.tag && a.as.integer == b.as.integer;
  }
};
struct StdKeyHash {
  std::size_t operator()(const Value& v) const {
    SipHasher13 h(kBenchKeys);
    feed(h, v);
    return static_cast<std::size_t>(h.finish());
  }
};

using Vec = PVector<Value>;
using Map = PHashMap<Value, Value, KeyHash, KeyEq>;
using StdMap = std::unordered_map<Value, Value, StdKeyHash, KeyEq>;

Value item(std::size_t i) {
  return Value::from_int(static_cast<std::int64_t>(i));
}

// Values made in advance, so that the building rows time the containers rather than the
// making of values.
const std::vector<Value>& items(std::size_t n) {
  static std::map<std::size_t, std::vector<Value>> made;
  std::vector<Value>& v = made[n];
  if (v.size() != n) {
    v.resize(n);
    for (std::size_t i = 0; i < n; ++i)
      v[i] = item(i);
  }
  return v;
}

// Keys spread over the 64-bit range, in a fixed random order.
std::vector<Value> make_keys(std::size_t n) {
  std::vector<Value> keys(n);
  for (std::size_t i = 0; i < n; ++i) {
    keys[i] = Value::from_int(static_cast<std::int64_t>(i * 0x9E3779B97F4A7C15ULL));
  }
  std::shuffle(keys.begin(), keys.end(), std::mt19937_64(1));
  return keys;
}

constexpr std::size_t kProbes = 1 << 14;

std::vector<std::size_t> random_indices(std::size_t n) {
  std::mt19937_64 rng(2);
  std::vector<std::size_t> idx(kProbes);
  for (std::size_t& i : idx)
    i = rng() % n;
  return idx;
}

std::vector<Value> make_std_vec(std::size_t n) {
  return items(n);
}

Vec make_vec(std::size_t n) {
  Vec v;
  for (std::size_t i = 0; i < n; ++i)
    v.push_back_mut(item(i));
  return v;
}

// The same contents as make_vec, assembled from uneven pieces, so that the tree is relaxed.
Vec make_relaxed_vec(std::size_t n) {
  std::mt19937_64 rng(3);
  std::vector<Vec> parts;
  for (std::size_t i = 0; i < n;) {
    std::size_t len = std::min<std::size_t>(1 + rng() % 2000, n - i);
    Vec piece;
    for (std::size_t k = 0; k < len; ++k)
      piece.push_back_mut(item(i + k));
    parts.push_back(std::move(piece));
    i += len;
  }
  while (parts.size() > 1) {
    std::vector<Vec> joined;
    for (std::size_t k = 0; k + 1 < parts.size(); k += 2)
      joined.push_back(parts[k].concat(parts[k + 1]));
    if (parts.size() % 2 == 1) joined.push_back(parts.back());
    parts = std::move(joined);
  }
  return parts.empty() ? Vec() : parts[0];
}

void set_ops(benchmark::State& st, std::size_t ops_per_iteration) {
  st.counters["ops"] = static_cast<double>(ops_per_iteration);
  st.SetItemsProcessed(static_cast<std::int64_t>(st.iterations() * ops_per_iteration));
}

// ---- vector index ----

template <class C, C (*Build)(std::size_t)> void vector_index(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const C v = Build(n);
  const auto idx = random_indices(n);
  for (auto _ : st) {
    std::int64_t sum = 0;
    for (std::size_t i : idx)
      sum += v[i].as.integer;
    benchmark::DoNotOptimize(sum);
  }
  set_ops(st, kProbes);
}

// ---- vector iteration ----

template <class C, C (*Build)(std::size_t)> void vector_iterate(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const C v = Build(n);
  for (auto _ : st) {
    std::int64_t sum = 0;
    for (const Value& x : v)
      sum += x.as.integer;
    benchmark::DoNotOptimize(sum);
  }
  set_ops(st, n);
}

void vector_for_each_persistent(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const Vec v = make_vec(n);
  for (auto _ : st) {
    std::int64_t sum = 0;
    v.for_each([&sum](const Value& x) { sum += x.as.integer; });
    benchmark::DoNotOptimize(sum);
  }
  set_ops(st, n);
}

// ---- building n elements from empty ----

// Fills `batch` containers of n elements per timed iteration, add(c, i, x) putting in the i-th
// element x, and destroys them with the clock stopped, so that stopping the clock (a few
// microseconds) is spread over at least 100,000 elements.
template <class C, class Add> void build_rows(benchmark::State& st, Add add) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const std::vector<Value>& in = items(n);
  const std::size_t batch = std::max<std::size_t>(1, 100000 / n);
  std::vector<C> built(batch);
  for (auto _ : st) {
    for (C& c : built)
      for (std::size_t i = 0; i < n; ++i)
        add(c, i, in[i]);
    benchmark::ClobberMemory();
    st.PauseTiming();
    for (C& c : built)
      c = C();
    st.ResumeTiming();
  }
  set_ops(st, n * batch);
}

void push_back_std(benchmark::State& st) {
  build_rows<std::vector<Value>>(
      st, [](std::vector<Value>& v, std::size_t, const Value& x) { v.push_back(x); });
}

void push_back_persistent(benchmark::State& st) {
  build_rows<Vec>(st, [](Vec& v, std::size_t, const Value& x) { v = v.push_back(x); });
}

void push_back_transient(benchmark::State& st) {
  build_rows<Vec>(st, [](Vec& v, std::size_t, const Value& x) { v.push_back_mut(x); });
}

// A list built front first (cons); std::deque is the std container that grows at the front.
void push_front_build_std(benchmark::State& st) {
  build_rows<std::deque<Value>>(
      st, [](std::deque<Value>& v, std::size_t, const Value& x) { v.push_front(x); });
}

void push_front_build_persistent(benchmark::State& st) {
  build_rows<Vec>(st, [](Vec& v, std::size_t, const Value& x) { v = v.push_front(x); });
}

// ---- walking a list with rest ----

void list_walk_std(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const std::vector<Value> v = items(n);
  for (auto _ : st) {
    std::int64_t sum = 0;
    for (std::size_t at = 0; at < v.size(); ++at)
      sum += v[at].as.integer;
    benchmark::DoNotOptimize(sum);
  }
  set_ops(st, n);
}

void list_walk_persistent(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const Vec list = make_vec(n);
  for (auto _ : st) {
    std::int64_t sum = 0;
    for (Vec rest = list; !rest.empty(); rest = rest.pop_front())
      sum += rest.front().as.integer;
    benchmark::DoNotOptimize(sum);
  }
  set_ops(st, n);
}

// ---- single operations on a large vector ----

// Split at a random point into two independent vectors.
void split_std(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const std::vector<Value> v = items(n);
  const auto cuts = random_indices(n);
  std::size_t k = 0;
  for (auto _ : st) {
    const std::size_t at = cuts[k++ % kProbes];
    std::vector<Value> left(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(at));
    std::vector<Value> right(v.begin() + static_cast<std::ptrdiff_t>(at), v.end());
    benchmark::DoNotOptimize(left.data());
    benchmark::DoNotOptimize(right.data());
  }
  set_ops(st, 1);
}

void split_persistent(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const Vec v = make_vec(n);
  const auto cuts = random_indices(n);
  std::size_t k = 0;
  for (auto _ : st) {
    const std::size_t at = cuts[k++ % kProbes];
    Vec left = v.take(at);
    Vec right = v.drop(at);
    benchmark::DoNotOptimize(&left);
    benchmark::DoNotOptimize(&right);
  }
  set_ops(st, 1);
}

// One element in front of a large vector. The std vector inserts and erases again, two
// memmoves of the whole array, counted as two operations.
void push_front_std(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  std::vector<Value> v = items(n);
  for (auto _ : st) {
    v.insert(v.begin(), item(0));
    v.erase(v.begin());
    benchmark::DoNotOptimize(v.data());
  }
  set_ops(st, 2);
}

void push_front_persistent(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const Vec v = make_vec(n);
  for (auto _ : st) {
    Vec r = v.push_front(item(0));
    benchmark::DoNotOptimize(&r);
  }
  set_ops(st, 1);
}

// Two halves, cut at a random point, joined into n elements again.
void concat_std(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const std::vector<Value> v = items(n);
  const std::size_t at = n / 2 + 17;
  const std::vector<Value> left(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(at));
  const std::vector<Value> right(v.begin() + static_cast<std::ptrdiff_t>(at), v.end());
  for (auto _ : st) {
    std::vector<Value> joined;
    joined.reserve(left.size() + right.size());
    joined.insert(joined.end(), left.begin(), left.end());
    joined.insert(joined.end(), right.begin(), right.end());
    benchmark::DoNotOptimize(joined.data());
  }
  set_ops(st, 1);
}

void concat_persistent(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const Vec v = make_vec(n);
  const std::size_t at = n / 2 + 17;
  const Vec left = v.take(at);
  const Vec right = v.drop(at);
  for (auto _ : st) {
    Vec joined = left.concat(right);
    benchmark::DoNotOptimize(&joined);
  }
  set_ops(st, 1);
}

// ---- maps ----

void map_lookup_std(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const auto keys = make_keys(n);
  StdMap m;
  for (std::size_t i = 0; i < n; ++i)
    m.emplace(keys[i], item(i));
  const auto idx = random_indices(n);
  for (auto _ : st) {
    std::int64_t sum = 0;
    for (std::size_t i : idx)
      sum += m.find(keys[i])->second.as.integer;
    benchmark::DoNotOptimize(sum);
  }
  set_ops(st, kProbes);
}

void map_lookup_persistent(benchmark::State& st) {
  const std::size_t n = static_cast<std::size_t>(st.range(0));
  const auto keys = make_keys(n);
  Map m;
  for (std::size_t i = 0; i < n; ++i)
    m.insert_mut(keys[i], item(i));
  const auto idx = random_indices(n);
  for (auto _ : st) {
    std::int64_t sum = 0;
    for (std::size_t i : idx)
      sum += m.find(keys[i])->as.integer;
    benchmark::DoNotOptimize(sum);
  }
  set_ops(st, kProbes);
}

// Building a map of n keys from empty, one insertion at a time.
void map_insert_std(benchmark::State& st) {
  const auto keys = make_keys(static_cast<std::size_t>(st.range(0)));
  build_rows<StdMap>(st,
                     [&keys](StdMap& m, std::size_t i, const Value& x) { m.emplace(keys[i], x); });
}

void map_insert_persistent(benchmark::State& st) {
  const auto keys = make_keys(static_cast<std::size_t>(st.range(0)));
  build_rows<Map>(st, [&keys](Map& m, std::size_t i, const Value& x) { m = m.insert(keys[i], x); });
}

void map_insert_transient(benchmark::State& st) {
  const auto keys = make_keys(static_cast<std::size_t>(st.range(0)));
  build_rows<Map>(st, [&keys](Map& m, std::size_t i, const Value& x) { m.insert_mut(keys[i], x); });
}

// ---- summary ----

struct Target {
  const char* op;
  const char* impl;
  double max_ratio; // to the std row; 0: none
  double max_ns;    // absolute, per operation; 0: none
};

const Target kTargets[] = {
    {"vector_index", "persistent", 6, 0}, {"map_lookup", "persistent", 5, 0},
    {"map_insert", "persistent", 6, 0},   {"push_back", "persistent", 0, 100},
    {"push_back", "transient", 0, 10},    {"split", "persistent", 0, 1e6},
    {"push_front", "persistent", 0, 1e6}, {"concat", "persistent", 0, 1e6},
};

// Benchmark families (OPERATION/IMPLEMENTATION) in registration order.
std::vector<std::string> families;

// Prints the usual table, then the medians of the repetitions with their ratios to std.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred || r.run_type != Run::RT_Iteration || r.iterations == 0) continue;
      auto ops = r.counters.find("ops");
      if (ops == r.counters.end()) continue;
      const double ns =
          r.real_accumulated_time * 1e9 / static_cast<double>(r.iterations) / ops->second.value;
      const std::string name = r.benchmark_name();
      auto row = std::find_if(rows_.begin(), rows_.end(),
                              [&name](const Row& x) { return x.name == name; });
      if (row == rows_.end()) {
        rows_.push_back({name, {}, 0});
        row = rows_.end() - 1;
      }
      row->samples.push_back(ns);
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    for (Row& row : rows_) {
      std::sort(row.samples.begin(), row.samples.end());
      row.ns = row.samples[row.samples.size() / 2];
    }
    // Registration order, whatever order the repetitions ran in.
    std::stable_sort(rows_.begin(), rows_.end(),
                     [](const Row& a, const Row& b) { return order(a) < order(b); });
    std::map<std::string, double> std_ns;
    for (const Row& row : rows_) {
      Parts p = split(row.name);
      if (p.impl == "std") std_ns[p.op + "/" + p.n] = row.ns;
    }
    std::printf("\nMedian of %zu repetitions, nanoseconds per operation\n",
                rows_.empty() ? std::size_t{0} : rows_[0].samples.size());
    std::printf("%-32s %14s %14s %9s  %s\n", "operation/implementation/n", "ns per op", "std ns",
                "ratio", "target");
    for (const Row& row : rows_) {
      Parts p = split(row.name);
      auto base = std_ns.find(p.op + "/" + p.n);
      const bool compared = base != std_ns.end() && p.impl != "std";
      const double r = compared ? row.ns / base->second : 0;
      std::string target;
      for (const Target& t : kTargets) {
        if (p.op != t.op || p.impl != t.impl) continue;
        const bool met = t.max_ratio > 0 ? r <= t.max_ratio : row.ns <= t.max_ns;
        target =
            t.max_ratio > 0 ? format("<= %.0fx std", t.max_ratio) : format("<= %.0f ns", t.max_ns);
        if (t.max_ratio > 0 && !compared) {
          target += ": no std row";
        } else {
          target += met ? ": met" : ": MISSED";
        }
      }
      std::printf("%-32s %14.2f %14s %9s  %s\n", row.name.c_str(), row.ns,
                  compared ? format("%.2f", base->second).c_str() : "",
                  compared ? format("%.2fx", r).c_str() : "", target.c_str());
    }
  }

private:
  struct Row {
    std::string name;
    std::vector<double> samples; // one per repetition
    double ns;                   // their median
  };
  struct Parts {
    std::string op, impl, n;
  };
  static Parts split(const std::string& name) {
    const std::size_t a = name.find('/');
    const std::size_t b = name.find('/', a + 1);
    return {name.substr(0, a), name.substr(a + 1, b - a - 1), name.substr(b + 1)};
  }
  // Registration order of the family, then size.
  static std::pair<std::size_t, long long> order(const Row& row) {
    const std::size_t slash = row.name.rfind('/');
    const std::string family = row.name.substr(0, slash);
    const auto at = std::find(families.begin(), families.end(), family);
    return {static_cast<std::size_t>(at - families.begin()),
            std::atoll(row.name.c_str() + slash + 1)};
  }
  static std::string format(const char* f, double v) {
    char buf[64];
    std::snprintf(buf, sizeof buf, f, v);
    return buf;
  }
  std::vector<Row> rows_;
};

void register_all() {
  const std::vector<std::int64_t> both = {1000, 1000000};
  const std::vector<std::int64_t> large = {1000000};
  auto add = [](const char* name, void (*fn)(benchmark::State&),
                const std::vector<std::int64_t>& sizes) {
    families.push_back(name);
    auto* b = benchmark::RegisterBenchmark(name, fn);
    for (std::int64_t n : sizes)
      b->Arg(n);
    b->Unit(benchmark::kNanosecond);
  };
  add("vector_index/std", vector_index<std::vector<Value>, make_std_vec>, both);
  add("vector_index/persistent", vector_index<Vec, make_vec>, both);
  add("vector_index/relaxed", vector_index<Vec, make_relaxed_vec>, both);
  add("vector_iterate/std", vector_iterate<std::vector<Value>, make_std_vec>, both);
  add("vector_iterate/persistent", vector_iterate<Vec, make_vec>, both);
  add("vector_iterate/for_each", vector_for_each_persistent, both);
  add("push_back/std", push_back_std, both);
  add("push_back/persistent", push_back_persistent, both);
  add("push_back/transient", push_back_transient, both);
  add("push_front_build/std", push_front_build_std, both);
  add("push_front_build/persistent", push_front_build_persistent, both);
  add("list_walk/std", list_walk_std, both);
  add("list_walk/persistent", list_walk_persistent, both);
  add("split/std", split_std, large);
  add("split/persistent", split_persistent, large);
  add("push_front/std", push_front_std, large);
  add("push_front/persistent", push_front_persistent, large);
  add("concat/std", concat_std, large);
  add("concat/persistent", concat_persistent, large);
  add("map_lookup/std", map_lookup_std, both);
  add("map_lookup/persistent", map_lookup_persistent, both);
  add("map_insert/std", map_insert_std, both);
  add("map_insert/persistent", map_insert_persistent, both);
  add("map_insert/transient", map_insert_transient, both);
}

} // namespace
} // namespace quorvex

int main(int argc, char** argv) {
#if defined(__GLIBC__)
  // Keep freed memory in the allocator instead of handing it back to the kernel, for every row
  // alike: otherwise each repetition pays for faulting fresh pages in again, which on a virtual
  // machine costs more than the operations being measured.
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
#endif
  // Unless told otherwise: five repetitions in random order, so that a change in the machine's
  // load during the run spreads over all rows instead of favouring some.
  std::vector<std::string> defaults = {"--benchmark_repetitions=5",
                                       "--benchmark_enable_random_interleaving=true",
                                       "--benchmark_min_time=0.2"};
  std::vector<char*> args(argv, argv + argc);
  for (std::string& d : defaults) {
    const std::string flag = d.substr(0, d.find('='));
    bool given = false;
    for (int k = 1; k < argc; ++k)
      given = given || std::string(argv[k]).rfind(flag, 0) == 0;
    if (!given) args.push_back(d.data());
  }
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  quorvex::register_all();
  quorvex::SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
