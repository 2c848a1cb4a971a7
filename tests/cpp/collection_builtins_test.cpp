// The collection, higher-order, printing and reading builtins as programs: each case is source
// text run on a fresh bare engine, with the readable print of its value or the error's text.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "engine_cases.hpp"
#include "value/hash_cons.hpp"
#include "value/printer.hpp"
#include "vm/interface.hpp"

namespace quorvex {
namespace {

using engine_cases::Case;
using engine_cases::expect_cases;
using engine_cases::run;
using engine_cases::StopAtThirdPoll;

// `(nth "a" 0)` makes a fresh string object at run time, equal to the literal but not the same
// object: a lookup with it proves that keys are compared by content.
TEST(CollectionBuiltins, ConstructionAndAccess) {
  const Case cases[] = {
      {"(list)", "()"},
      {"(vector)", "[]"},
      {"(hash-map)", "{}"},
      {"(hash-set)", "#{}"},
      {"(list 1 [2] \"x\")", "(1 [2] \"x\")"},
      {"(vector 1 2)", "[1 2]"},
      {"(hash-map :a 1 :b)", "error: Type error: hash-map requires even number of arguments"},
      {"(hash-map :a 1 :a 2)", "{:a 2}"},
      {"(get (hash-map \"a\" 1) \"a\")", "1"},
      {"(get {\"a\" 1} (nth \"a\" 0))", "1"},
      {"(get {[1 2] :v} '(1 2))", "nil"},
      {"(get {[1 2] :v} [1 2])", ":v"},
      {"(get {1 :v} 1.0)", "nil"},
      {"(get [10 20] 1)", "20"},
      {"[(get [10 20] 2) (get [10 20] -1) (get [10 20] :x) (get [10 20] 5 :none)]",
       "[nil nil nil :none]"},
      {"[(get \"abc\" 0) (get 42 :a) (get nil :a :d)]", "[nil nil :d]"},
      {"[(get #{1 2} 2) (get #{1 2} 2.0) (get #{1 2} 3)]", "[2 2 nil]"},
      {"(get #{\"a\"} (nth \"a\" 0))", "\"a\""},
      {"[(nth [1 2 3] 5) (nth [1 2 3] 5 :d) (nth nil 0) (nth \"h\u00e9llo\" 1)]",
       "[nil :d nil \"\u00e9\"]"},
      {"(nth #{1} 0)", "error: Type error: nth requires a sequence"},
      {"(nth [1] 1.0)", "error: Type error: index must be integer"},
      {"(nth nil :a)", "error: Type error: index must be integer"},
      {"[(first []) (last '()) (first '(7 8)) (last [7 8]) (first nil) (last nil)]",
       "[nil nil 7 8 nil nil]"},
      {"(first \"abc\")", "error: Type error: first requires a sequence"},
      {"(last #{1})", "error: Type error: last requires a sequence"},
      {"[(rest [1 2 3]) (rest '(1)) (rest nil) (rest [])]", "[[2 3] () () []]"},
      {"(rest {:a 1})", "error: Type error: rest requires a sequence"},
      {"[(seq []) (seq nil) (seq [1 2]) (seq '(3))]", "[nil nil (1 2) (3)]"},
      {"(seq \"ab\")", "error: Type error: seq requires a seqable"},
      {"(seq #{1})", "error: Type error: seq requires a seqable"},
      {"[(vec '(1 2)) (vec nil) (vec [3])]", "[[1 2] [] [3]]"},
      {"(vec #{1})", "error: Type error: vec requires a sequence"},
      {"[(count \"h\u00e9llo\") (count nil) (count [1 2]) (count #{1}) (count {:a 1 :b 2})]",
       "[5 0 2 1 2]"},
      {"(count 5)", "error: Type error: count requires a collection"},
      {"[(empty? nil) (empty? \"\") (empty? \"a\") (empty? []) (empty? {:a 1}) (empty? #{})]",
       "[true true false true false true]"},
      {"(empty? :k)", "error: Type error: empty? requires a collection"},
      {"[(keys {}) (keys nil) (vals {:a 1}) (keys {:a 1})]", "[() nil (1) (:a)]"},
      {"(keys [1])", "error: Type error: keys requires a map"},
      {"(vals '(1))", "error: Type error: vals requires a map"},
      // keys and vals walk one map in the same order.
      {"(let [m {:a 1 :b 2 :c 3 :d 4}] (= (map (fn [k] (get m k)) (keys m)) (vals m)))", "true"},
      {"[(contains? [5 6] 1) (contains? [5 6] 5) (contains? nil 1) (contains? [5] -1)]",
       "[true false false false]"},
      {"[(contains? #{1 2} 2.0) (contains? #{1} 3) (contains? {\"k\" 1} (nth \"k\" 0))]",
       "[true false true]"},
      {"(contains? \"abc\" 0)", "error: Type error: contains? requires a map, set, or vector"},
      {"(set {:a 1})", "#{[:a 1]}"},
      {"[(count (set \"aa\")) (count (hash-set \"a\" (nth \"a\" 0))) (set nil) (count (set [1 1 "
       "2]))]",
       "[1 1 #{} 2]"},
      {"(set 5)", "error: Type error: seqable required"},
      {"(set [1 2] [3])", "error: Wrong number of arguments: expected 1, got 2"},
      {"[(empty [1 2]) (empty '(1)) (empty \"x\") (empty nil) (empty #{1}) (empty {:a 1})]",
       "[[] () \"\" nil #{} {}]"},
      {"(empty 1)", "error: Type error: empty requires a collection"},
      {"(first)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(get {:a 1})", "error: Wrong number of arguments: expected 2, got 1"},
  };
  expect_cases(cases);
}

TEST(CollectionBuiltins, BuildersAnswerAFreshObjectEachTime) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, "(def v [1 2])"), "[1 2]");
  for (const char* builder : {"(vec v)", "(rest (cons 0 v))", "(conj v 3)", "(into [] v)"}) {
    SCOPED_TRACE(builder);
    std::expected<Value, EngineError> a = vm_eval(*vm, builder);
    ASSERT_TRUE(a);
    const Value first = *a;
    std::expected<Value, EngineError> b = vm_eval(*vm, builder);
    ASSERT_TRUE(b);
    EXPECT_FALSE(first.as.key == b->as.key);
  }
}

TEST(CollectionBuiltins, UpdateAndSequences) {
  const Case cases[] = {
      {"[(conj nil 1 2) (conj [1] 2 3) (conj '(1 2) 3 4)]", "[(1 2) [1 2 3] (3 4 1 2)]"},
      {"(count (conj #{\"a\"} (nth \"a\" 0)))", "1"},
      {"(let [m (conj {} [:a 1] [:b 2 9] :c [:d])] [(count m) (get m :a) (get m :b)])", "[2 1 2]"},
      {"(conj \"ab\" \"c\")", "error: Type error: conj requires a collection"},
      {"(conj [1])", "error: Wrong number of arguments: expected 2, got 1"},
      {"[(cons 0 [1 2]) (cons 0 nil) (cons 0 '(1)) (cons 0 \"\u00e9a\")]",
       "[(0 1 2) (0) (0 1) (0 \"\u00e9\" \"a\")]"},
      {"(cons 0 #{1})", "error: Type error: cons requires a sequence"},
      {"[(assoc nil :a 1) (assoc {:a 1} :a 2 :b) (assoc [1 2] 1 :x) (assoc [1 2] 0 :x 1 :y)]",
       "[{:a 1} {:a 2} [1 :x] [:x :y]]"},
      {"(get (assoc {\"k\" 1} (nth \"k\" 0) 2) \"k\")", "2"},
      {"(assoc [1 2] 2 :x)", "error: Value error: vector index out of bounds"},
      {"(assoc [1 2] -1 :x)", "error: Value error: vector index out of bounds"},
      {"(assoc [1 2] :k 0)", "error: Type error: vector index must be integer"},
      {"(assoc '(1 2) 0 :x)", "error: Type error: assoc requires a map, vector, or variant"},
      {"(assoc \"ab\" 0 :x)", "error: Type error: assoc requires a map, vector, or variant"},
      {"(assoc {:a 1} :b)", "error: Wrong number of arguments: expected 3, got 2"},
      {"[(dissoc {\"a\" 1 :b 2} (nth \"a\" 0)) (dissoc {:a 1} :z) (dissoc {:a 1 :b 2} :a :b)]",
       "[{:b 2} {:a 1} {}]"},
      {"(dissoc nil :a)", "error: Type error: dissoc requires a map"},
      {"[(into nil [1 2 3]) (into [] nil) (into [1] [2 3]) (into '(1 2) [3 4])]",
       "[(3 2 1) [] [1 2 3] (4 3 1 2)]"},
      {"[(into {} [[:a 1] :junk]) (into [] {:a 1}) (count (into #{1} [1 2 2]))]",
       "[{:a 1} [[:a 1]] 2]"},
      {"(count (into #{} [\"a\" (nth \"a\" 0)]))", "1"},
      {"(into [] \"ab\")", "error: Type error: into requires a seqable source"},
      {"(into 5 [1])", "error: Type error: into requires a collection"},
      // The source is checked before the target.
      {"(into 5 \"ab\")", "error: Type error: into requires a seqable source"},
      {"[(concat) (concat [1] nil '(2)) (concat [1 2] [3])]", "[() (1 2) (1 2 3)]"},
      {"(concat [1] #{2})", "error: Type error: concat requires sequences"},
      {"[(take 2 [1 2 3]) (take 5 '(1 2)) (take -1 [1]) (take 2 nil) (take 0 '(1))]",
       "[[1 2] (1 2) [] () ()]"},
      {"(take 2 \"abc\")", "error: Type error: take requires a sequence"},
      {"(take :a [1])", "error: Type error: take requires integer count"},
      {"(take 1 [1] 2)", "error: Wrong number of arguments: expected 2, got 3"},
      {"[(drop 1 [1 2 3]) (drop 1 \"abc\") (drop 9 [1]) (drop -3 '(1))]",
       "[[2 3] (\"b\" \"c\") [] (1)]"},
      {"(drop 1.5 [1])", "error: Type error: drop requires integer count"},
      {"[(drop-last [1 2 3]) (drop-last 2 '(1 2 3)) (drop-last -1 [1 2]) (drop-last nil)]",
       "[[1 2] [1] [] []]"},
      {"(drop-last 0 '(1 2))", "[1 2]"},
      {"(drop-last :a [1])", "error: Type error: drop-last n must be integer"},
      {"(drop-last #{1})", "error: Type error: drop-last requires a sequence"},
      {"[(__subvec [1 2 3 4] 1 3) (__subvec [1 2 3] 1) (__subvec [1 2 3] 2 1)]",
       "[[2 3] [2 3] []]"},
      {"[(__subvec [1 2 3] 1 -1) (__subvec nil 0) (__subvec '(1 2) -1) (__subvec [1 2] 0 9)]",
       "[[2 3] [] [] [1 2]]"},
      {"(__subvec \"ab\" 0)", "error: Type error: subvec requires a sequence"},
      {"(__subvec [1] :a)", "error: Type error: start must be integer"},
      {"(__subvec nil :a)", "error: Type error: start must be integer"},
      {"(__subvec [1] 0 :b)", "error: Type error: end must be integer"},
      {"[(range 3) (range 0) (range -2) (range 2 5) (range 5 0 -2) (range 0 5 0)]",
       "[(0 1 2) () () (2 3 4) (5 3 1) ()]"},
      {"[(range 0 10 3) (range 5 5) (range 3 1) (range 1 3 -1) (range -1 -4 -1)]",
       "[(0 3 6 9) () () () (-1 -2 -3)]"},
      // Steps that would pass the end of the 64-bit range stop at the last value inside it.
      {"(range 9223372036854775800 9223372036854775807 3)",
       "(9223372036854775800 9223372036854775803 9223372036854775806)"},
      {"(range -9223372036854775801 -9223372036854775808 -4)",
       "(-9223372036854775801 -9223372036854775805)"},
      {"(count (range -9223372036854775808 9223372036854775807 4611686018427387904))", "4"},
      {"(range 1.0)", "error: Type error: range requires integer arguments"},
      {"(range 0 5 :s)", "error: Type error: range requires integer arguments"},
      {"(range)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(range 100000001)", "error: Value error: range would make more than 100000000 elements"},
      {"(range 0 9223372036854775807 1)",
       "error: Value error: range would make more than 100000000 elements"},
      {"[(repeat 3 :x) (repeat 0 :x) (repeat -1 :x)]", "[(:x :x :x) () ()]"},
      {"(repeat 100000001 :x)",
       "error: Value error: repeat would make more than 100000000 elements"},
      {"(repeat :x 3)", "error: Type error: repeat n must be integer"},
      {"[(reverse [1 2 3]) (reverse nil) (reverse '(1 2))]", "[(3 2 1) () (2 1)]"},
      {"(reverse \"ab\")", "error: Type error: reverse requires a sequence"},
  };
  expect_cases(cases);
}

TEST(CollectionBuiltins, HigherOrder) {
  const Case cases[] = {
      {"(def f (fn [x] (* x 2))) [(map f [1 2 3]) (map f '(1 2 3)) (map f nil)]",
       "[[2 4 6] (2 4 6) ()]"},
      {"(map (fn [x] x) #{1})", "error: Type error: map requires a sequence"},
      {"(map (fn [x] x) \"ab\")", "error: Type error: map requires a sequence"},
      {"(map count)", "error: Wrong number of arguments: expected 2, got 1"},
      // Keywords, sets, builtins and host-free natives are called like closures.
      {"[(map :a [{:a 1} {:b 2}]) (map #{2} [1 2]) (map count [[1] \"ab\"])]",
       "[[1 nil] [nil 2] [1 2]]"},
      {"[(map {:a 1 \"k\" 2} [:a :b (nth \"k\" 0)]) (filter {1 true} '(1 2))]", "[[1 nil 2] (1)]"},
      {"(map {:a 1} [1] [2])", "error: Wrong number of arguments: expected 2, got 3"},
      {"(map [1 2] [0])", "error: Value is not callable"},
      {"(map (fn [x y] x) [1])", "error: Wrong number of arguments: expected 2, got 1"},
      {"(map 5 [1])", "error: Value is not callable"},
      {"(map 5 [])", "[]"},
      {"[(filter (fn [x] (> x 1)) [1 2 3]) (filter (fn [x] (if (> x 1) nil true)) '(1 2 3))]",
       "[[2 3] (1)]"},
      {"(filter (fn [x] x) {:a 1})", "error: Type error: filter requires a sequence"},
      // reduce with zero or one element never calls f; nil or none gives f's own answer.
      {"(reduce (fn [] :none) [])", ":none"},
      {"(reduce (fn [] :none) nil)", ":none"},
      {"(reduce 5 [7])", "7"},
      {"(reduce 5 10 nil)", "10"},
      {"(reduce (fn [a b] (+ a b)) [1 2 3 4])", "10"},
      {"(reduce (fn [a b] (conj a b)) [] '(1 2 3))", "[1 2 3]"},
      {"(reduce (fn [acc kv] (+ acc (nth kv 1))) 0 {:a 1 :b 2})", "3"},
      {"(reduce (fn [acc pair] (+ acc (count pair))) 0 {:a 1 :b 2})", "4"},
      {"(reduce (fn [acc x] (+ acc x)) 0 #{1 2 3})", "6"},
      {"(reduce (fn [a b] (+ a b)) 0 \"ab\")", "error: Type error: reduce requires a sequence"},
      {"(reduce (fn [a b] (nth b 5)) 0 [[1]])", "nil"},
      {"(reduce (fn [a b] (assoc [] 0 a)) 0 [1 2])",
       "error: Value error: vector index out of bounds"},
      {"(reduce 1)", "error: Wrong number of arguments: expected 2, got 1"},
      {"(reduce 1 2 3 4)", "error: Wrong number of arguments: expected 2, got 4"},
      {"[(apply vector 1 2 [3 4]) (apply vector nil) (apply list '(1)) (apply count [[1 2]])]",
       "[[1 2 3 4] [] (1) 2]"},
      {"(apply vector 1 #{2})", "error: Type error: apply requires a sequence as last argument"},
      {"(apply vector)", "error: Wrong number of arguments: expected 2, got 1"},
      {"(apply apply [vector 1 [2]])", "[1 2]"},
      {"(apply (fn [& xs] xs) 1 [2 3])", "(1 2 3)"},
      {"[(sort [3 1 2]) (sort [2 1.5 1]) (sort [\"b\" \"a\"]) (sort nil) (sort #{2 1})]",
       "[(1 2 3) (1 1.5 2) (\"b\" \"a\") () (1 2)]"},
      {"(sort {:a 1})", "error: Type error: sort requires a collection"},
      {"(sort 1 2 3)", "error: Wrong number of arguments: expected 1, got 3"},
      {"[(sort (fn [a b] (> a b)) [1 3 2]) (sort (fn [a b] (- a b)) [3 1 2])]",
       "[(3 2 1) (1 2 3)]"},
      // The boolean protocol asks the other way round when the answer is false.
      {"(sort (fn [a b] false) [1 2 3])", "(1 2 3)"},
      {"(sort (fn [a b] (if (< a b) true 0)) [3 1 2])", "(1 2 3)"},
      {"(sort (fn [a b] :x) [3 1 2])", "(3 1 2)"},
      {"(sort (fn [a b] (nth a 0)) [1 2])", "error: Type error: nth requires a sequence"},
      {"(sort (fn [a b] (nth a 0)) [1])", "(1)"},
      {"(sort 5 [2 1])", "error: Value is not callable"},
      {"[(sort-by count [[1 2] [1]]) (sort-by count [[1 :a] [2] [1 :b] [3]])]",
       "[([1] [1 2]) ([2] [3] [1 :a] [1 :b])]"},
      {"(map :n (sort-by :k [{:k 2 :n 1} {:k 1 :n 0} {:k 2 :n 2}]))", "(0 1 2)"},
      {"(sort-by count {:a 1})", "error: Type error: sort-by requires a collection"},
      {"(sort-by (fn [x] (nth x 0)) [1 2])", "error: Type error: nth requires a sequence"},
  };
  expect_cases(cases);
}

// A comparator that fails on its first call is not called again, and its error comes back once
// the sort has finished.
TEST(CollectionBuiltins, TheFirstComparatorErrorEndsTheCallsAndIsReturned) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  const char* source = R"(
    (def calls [])
    (defn cmp [a b]
      (def calls (conj calls [a b]))
      (nth a 0))
    (sort cmp [5 4 3 2 1]))";
  EXPECT_EQ(run(*vm, source), "error: Type error: nth requires a sequence");
  EXPECT_EQ(run(*vm, "(count calls)"), "1");
}

// The Reduced wrapper of the prelude, registered here from C++, ends a reduction early.
class ReducedFixture : public ::testing::Test {
protected:
  class WrapReduced final : public HostCallable {
  public:
    explicit WrapReduced(VariantTag tag) : tag_(tag) {}
    NativeResult call(Vm& vm, std::span<const Value> args) override {
      Guarded<Value> v = alloc_variant(vm.heap, std::vector<Value>(args.begin(), args.end()), tag_);
      if (!v) return std::unexpected(to_vm_error(v.error()));
      return *v;
    }

  private:
    VariantTag tag_;
  };

  void SetUp() override {
    auto info = make_variant_info(vm->interner.get_or_intern("Reduced"),
                                  {vm->interner.get_or_intern("value")});
    ASSERT_TRUE(info);
    std::vector<VariantInfo> variants;
    variants.push_back(std::move(*info));
    auto id = vm->types.register_data_type(vm->interner.get_or_intern("ReduceSignal"),
                                           std::move(variants));
    ASSERT_TRUE(id);
    tag = VariantTag::make(*id, 0);
    ASSERT_TRUE(define_host_function(*vm, "reduced", std::make_shared<WrapReduced>(tag)));
  }

  std::unique_ptr<Vm> vm = vm_new_bare();
  VariantTag tag{};
};

TEST_F(ReducedFixture, AStepAnsweringReducedEndsTheReduction) {
  vm->reduce_signal_type = tag;
  const char* source = R"(
    (def seen [])
    (reduce (fn [acc x]
              (def seen (conj seen x))
              (if (> x 2) (reduced (* acc 100)) (+ acc x)))
            0 [1 2 3 4 5]))";
  EXPECT_EQ(run(*vm, source), "300");
  EXPECT_EQ(run(*vm, "seen"), "[1 2 3]");
  // Only step results stop: an initial value or first element that is Reduced goes through.
  EXPECT_EQ(run(*vm, "(reduce (fn [a b] b) (reduced 1) [2])"), "2");
  EXPECT_EQ(run(*vm, "(reduce (fn [a b] b) [(reduced 1)])"), "#ReduceSignal/Reduced{value: 1}");
}

TEST_F(ReducedFixture, WithoutTheCachedTagNoStepStops) {
  EXPECT_EQ(run(*vm, "(count (reduce (fn [acc x] (reduced x)) 0 [1 2 3]))"),
            "error: Type error: count requires a collection");
  EXPECT_EQ(run(*vm, "(reduce (fn [acc x] (if (= x 3) x (reduced x))) 0 [1 2 3])"), "3");
}

// The main table of read-string is a conformance program; these are the remaining edges.
TEST(CollectionBuiltins, ReadString) {
  const Case cases[] = {
      {"[(read-string \":x\") (read-string \"1/2\") (read-string \"2.5\") (read-string \"nil\")]",
       "[:x 1/2 2.5 nil]"},
      {"(read-string \"@a\")", "(deref a)"},
      {"(let [s (read-string \"#{1 \\\"a\\\"}\")] [(count s) (get s 1) (get s \"a\")])",
       "[2 1 \"a\"]"},
      {"(count (read-string \"#{\\\"k\\\" [1] [1]}\"))", "2"},
      {"(read-string \"#\\\"x\\\"\")", "error: Type error: unsupported value type for read-string"},
      {"(read-string 1)", "error: Type error: expected a string"},
      {"(read-string)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(read-string \"a\" \"b\")", "error: Wrong number of arguments: expected 1, got 2"},
  };
  expect_cases(cases);
}

TEST(CollectionBuiltins, NanoTimeReadsTheWallClock) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  const std::string out = run(*vm, "[(nano-time) (nano-time 1 2)]");
  ASSERT_EQ(out.front(), '[');
  const std::size_t space = out.find(' ');
  const long long a = std::stoll(out.substr(1, space - 1));
  const long long b = std::stoll(out.substr(space + 1));
  // Some time after 2020 and not going backwards within one form.
  EXPECT_GT(a, 1577836800LL * 1000000000LL);
  EXPECT_LE(a, b);
}

// Long native loops poll the interrupt hook; an interrupted builtin leaves the engine usable.
TEST(CollectionBuiltins, LongLoopsStopAtAnInterrupt) {
  const char* sources[] = {
      "(range 10000000)",
      "(repeat 10000000 :x)",
      "(sort (vec (range 1000000)))",
      "(into #{} (range 100000))",
      "(map (fn [x] x) (vec (range 100000)))",
      "(reduce (fn [a x] x) (range 100000))",
  };
  for (const char* source : sources) {
    SCOPED_TRACE(source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    // The first polls pass, so that the interrupt lands inside the builtin's own loop.
    StopAtThirdPoll stop(*vm, "interrupted");
    EXPECT_EQ(run(*vm, source), "error: Value error: interrupted");
    vm->interrupt_hook = nullptr;
    EXPECT_EQ(run(*vm, "(count (range 5))"), "5");
  }
}

// A builtin calling a short callback for every element of data made beforehand polls at its
// calls, whichever way each call ends, and stops at the poll that answers an error.
TEST(CollectionBuiltins, CallbackWalksStopAtAnInterrupt) {
  const char* sources[] = {
      "(map (fn [x] x) big)",
      "(filter (fn [x] true) big)",
      "(reduce (fn [a x] x) 0 big)",
      "(sort-by (fn [x] x) big)",
      "(__group-by {} (fn [x] x) big)",
      // Each call ends by a tail call of a builtin, through the general return.
      "(let [s str] (map (fn [x] (s x)) big))",
      // A clause selected at every call.
      "(map (fn ([x :when (> x -1)] x)) big)",
  };
  for (const char* source : sources) {
    SCOPED_TRACE(source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    ASSERT_EQ(run(*vm, "(def big (vec (range 100000))) (count big)"), "100000");
    StopAtThirdPoll counter(*vm);
    EXPECT_EQ(run(*vm, source), "error: Value error: stop now");
    EXPECT_EQ(counter.polls, 3);
    vm->interrupt_hook = nullptr;
    EXPECT_EQ(run(*vm, "(count (map (fn [x] x) big))"), "100000");
  }
}

// Walks over data (equality, hashing, printing, copying) poll the hook too: concatenation shares
// storage, so these vectors hold 3 * 2^40 elements and no walk over them would finish. The run
// ends with the hook's own error, as when the run loop polls it.
TEST(CollectionBuiltins, LongWalksOverSharedVectorsStopAtAnInterrupt) {
  const char* sources[] = {
      "(= a b)",    "(= {:k a} {:k b})", "(hash-set a)", "(assoc {} a 1)", "(get {[1 2 3] 1} a)",
      "(pr-str a)", "(join \",\" a)",    "(into #{} a)",
  };
  for (const char* source : sources) {
    SCOPED_TRACE(source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    ASSERT_EQ(run(*vm, "(def dbl (fn [v n] (loop [v v i 0] (if (< i n) "
                       "(recur (vec (concat v v)) (+ i 1)) v))))"
                       "(def a (dbl [1 2 3] 40)) (def b (dbl [1 2 3] 40)) (count b)"),
              "3298534883328");
    StopAtThirdPoll counter(*vm);
    EXPECT_EQ(run(*vm, source), "error: Value error: stop now");
    EXPECT_EQ(counter.polls, 3);
    vm->interrupt_hook = nullptr;
    EXPECT_EQ(run(*vm, "[(count a) (nth b 3298534883327)]"), "[3298534883328 3]");
  }
}

// Counts the interrupt polls and ends the run at poll number `stop_at` (never when 0).
struct CountPolls {
  explicit CountPolls(Vm& vm) {
    vm.interrupt_data = this;
    vm.interrupt_hook = [](void* data) -> std::optional<VmError> {
      auto* self = static_cast<CountPolls*>(data);
      if (++self->polls == self->stop_at) return VmError::value_error("stop now");
      return std::nullopt;
    };
  }
  CountPolls(const CountPolls&) = delete;
  CountPolls& operator=(const CountPolls&) = delete;

  int polls = 0;
  int stop_at = 0;
};

TEST(HigherOrderBuiltins, ApplyingAFunctionToMillionsOfRestArgumentsStopsAtAnInterrupt) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, "(def big (vec (range 1000000))) (defn f [a & xs] (count xs)) (count big)"),
            "1000000");
  CountPolls counter(*vm);
  // Copying the arguments polls as often in both; only gathering the rest list differs.
  ASSERT_EQ(run(*vm, "(count (apply vector big))"), "1000000");
  const int copying = counter.polls;
  counter.polls = 0;
  ASSERT_EQ(run(*vm, "(apply f big)"), "999999");
  EXPECT_GE(counter.polls - copying, 10);
  // Stopped while the rest list is being gathered, the machine is left at rest and usable.
  counter.polls = 0;
  counter.stop_at = copying + 3;
  EXPECT_EQ(run(*vm, "(apply f big)"), "error: Value error: stop now");
  engine_cases::expect_machine_at_rest(*vm);
  vm->interrupt_hook = nullptr;
  EXPECT_EQ(run(*vm, "(apply f [1 2 3])"), "2");
}

} // namespace
} // namespace quorvex
