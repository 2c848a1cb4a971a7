// Optics through the whole engine: programs and the value they answer, or their error text.
//
// A few helpers are host functions so that these tables do not wait for the arithmetic and atom
// builtins: `inc` adds one to an integer, `positive?` is a native predicate, and `note` records
// its argument (as printed) and answers it, which shows what user code the engines call and in
// which order.
#include <gtest/gtest.h>

#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine_cases.hpp"
#include "optics/optics.hpp"
#include "value/equality.hpp"
#include "value/printer.hpp"
#include "vm/interface.hpp"

namespace quorvex {
namespace {

using engine_cases::readable;
using engine_cases::StopAtThirdPoll;

class Inc final : public HostCallable {
public:
  NativeResult call(Vm&, std::span<const Value> args) override {
    if (args.size() != 1 || !args[0].is_int())
      return std::unexpected(VmError::type_error("inc expects an integer"));
    return Value::from_int(args[0].as.integer + 1);
  }
};

class Positive final : public HostCallable {
public:
  NativeResult call(Vm&, std::span<const Value> args) override {
    return Value::from_bool(args.size() == 1 && args[0].is_int() && args[0].as.integer > 0);
  }
};

class Note final : public HostCallable {
public:
  explicit Note(std::vector<std::string>& log) : log_(log) {}
  NativeResult call(Vm& vm, std::span<const Value> args) override {
    if (args.size() != 1) return std::unexpected(VmError::arity(1, args.size() & 0xFF));
    log_.push_back(readable(vm, args[0]));
    return args[0];
  }

private:
  std::vector<std::string>& log_;
};

struct Case {
  const char* source;
  // "error: " and the error's display text, or a program whose value the result must equal.
  const char* expected;
};

class Optics : public ::testing::Test {
protected:
  std::unique_ptr<Vm> fresh() {
    std::unique_ptr<Vm> vm = vm_new_bare();
    EXPECT_TRUE(define_host_function(*vm, "inc", std::make_shared<Inc>()));
    EXPECT_TRUE(define_host_function(*vm, "positive?", std::make_shared<Positive>()));
    EXPECT_TRUE(define_host_function(*vm, "note", std::make_shared<Note>(log)));
    return vm;
  }

  // The result of `source` compared with the value of `expected` by the language's equality
  // (maps print in no fixed order), both computed by one program so that neither is collected
  // before the comparison.
  void check_case(Vm& vm, const Case& c) {
    SCOPED_TRACE(c.source);
    const std::string_view expected = c.expected;
    if (expected.starts_with("error: ")) {
      std::expected<Value, EngineError> r = vm_eval(vm, c.source);
      ASSERT_FALSE(r) << "answered " << readable(vm, *r);
      EXPECT_EQ("error: " + to_string(r.error()), expected);
      return;
    }
    const std::string both = std::string("[") + c.source + "\n" + c.expected + "]";
    std::expected<Value, EngineError> r = vm_eval(vm, both);
    ASSERT_TRUE(r) << to_string(r.error());
    const SeqObject* pair = heap_get_as<SeqObject>(vm.heap, *r);
    ASSERT_NE(pair, nullptr);
    ASSERT_EQ(pair->items.size(), 2u);
    Guarded<bool> same = values_equal(vm.heap, pair->items[0], pair->items[1]);
    ASSERT_TRUE(same);
    EXPECT_TRUE(*same) << readable(vm, pair->items[0]) << " is not "
                       << readable(vm, pair->items[1]);
  }

  void expect_cases(std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
      std::unique_ptr<Vm> vm = fresh();
      check_case(*vm, c);
    }
  }

  // The printed value, for results whose list or vector flag matters.
  std::string printed(std::string_view source) {
    std::unique_ptr<Vm> vm = fresh();
    std::expected<Value, EngineError> r = vm_eval(*vm, source);
    if (!r) return "error: " + to_string(r.error());
    return readable(*vm, *r);
  }

  // Whether the two elements of the pair `source` answers are one object.
  bool same_object(std::string_view source) {
    std::unique_ptr<Vm> vm = fresh();
    std::expected<Value, EngineError> r = vm_eval(*vm, source);
    EXPECT_TRUE(r) << to_string(r.error());
    if (!r) return false;
    const SeqObject* pair = heap_get_as<SeqObject>(vm->heap, *r);
    EXPECT_TRUE(pair != nullptr && pair->items.size() == 2);
    if (pair == nullptr || pair->items.size() != 2) return false;
    return key_equal(pair->items[0], pair->items[1]);
  }

  std::vector<std::string> log;
};

// ---------------------------------------------------------------------------------------------
// Optic values, coercion and constructors

TEST_F(Optics, CoercionAndConstructors) {
  expect_cases({
      {"(optic? :a)", "true"},
      {"[(optic? 0) (optic? 'a) (optic? \"a\") (optic? [:a]) (optic? nil)]",
       "[false false false false false]"},
      {"[(optic? each) (optic? (_idx 0)) (optic? (*> :a)) (optic? deep)]", "[true true true true]"},
      {"(view 0 [7])", "7"},
      {"(view [:a] {:a 1})", "1"},
      {"(view 'k {'k 1})", "1"},
      {"(view \"k\" {\"k\" 1})", "1"},
      {"(view (*> :a) {:a 1})", "1"},
      {"(view (<* :b :a) {:a {:b 1}})", "1"},
      {"(view (*> :a :b) {:a {:b 1}})", "1"},
      {"(view (*> (*> :a :b) :c) {:a {:b {:c 3}}})", "3"},
      {"(view [:a [0 :b]] {:a [{:b 5}]})", "5"},
      {"(view (_idx -1) [1 2 3])", "3"},
      {"(view-all (_slice nil nil) [1 2 3])", "[1 2 3]"},
      {"(view deep DEEP)", "deep"},
      {"(*>)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(<*)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(view '(:a :b) {})", "error: Type error: expected an optic"},
      {"(view nil {})", "error: Type error: expected an optic"},
      {"(view 1.5 [1])", "error: Type error: expected an optic"},
      {"(view 1/2 [1])", "error: Type error: expected an optic"},
      {"(view [:a 1.5] {})", "error: Type error: expected an optic"},
      {"(view [:a [nil]] {})", "error: Type error: expected an optic"},
      {"(*> :a '(1))", "error: Type error: expected an optic"},
      {"(_first nil)", "error: Type error: expected an optic"},
      {"(_idx :a)", "error: Type error: _idx requires an integer"},
      {"(_slice 1.5 2)", "error: Type error: _slice start must be integer or nil"},
      {"(_slice 1 \"x\")", "error: Type error: _slice end must be integer or nil"},
      {"(_slice :a :b)", "error: Type error: _slice start must be integer or nil"},
      {"(filtered 1)", "error: Type error: filtered requires a predicate function or keyword"},
      {"(_when :a)", "error: Type error: _when requires a predicate function"},
      {"(lens 1 2)", "error: Type error: lens getter must be a function"},
      {"(lens \"a\" 2)", "error: Type error: lens setter must be a function"},
      {"(view (lens \"a\" \"b\") {})", "error: Value is not callable"},
      {"(_idx)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(lens 1 2 3)", "error: Wrong number of arguments: expected 2, got 3"},
  });
}

TEST_F(Optics, OpticsAreEqualOnlyToThemselves) {
  EXPECT_FALSE(same_object("[(_idx 0) (_idx 0)]"));
  EXPECT_TRUE(same_object("(let [o (_idx 0)] [o o])"));
  EXPECT_TRUE(same_object("[deep DEEP]"));
  EXPECT_EQ(printed("[(_idx 0) each]"), "[<optic> <optic>]");
}

TEST_F(Optics, PredefinedOpticsOutliveTheirGlobals) {
  std::unique_ptr<Vm> vm = fresh();
  ASSERT_TRUE(vm_eval(*vm, "(def saved each) (def each 5)"));
  std::expected<Value, EngineError> r = vm_eval(*vm, "[each (view-all saved [1 2])]");
  ASSERT_TRUE(r);
  EXPECT_EQ(readable(*vm, *r), "[5 [1 2]]");
}

// ---------------------------------------------------------------------------------------------
// Reading

TEST_F(Optics, View) {
  expect_cases({
      {"[(view :a {:a nil}) (view :b {:a 1}) (view :a nil)]", "[nil nil nil]"},
      {"(view :a 5)", "error: Type error: key optic requires a map or variant"},
      {"[(view -1 [1 2 3]) (view 3 [1 2 3]) (view -4 [1 2 3]) (view 0 nil)]", "[3 nil nil nil]"},
      {"(view 0 '(4 5))", "4"},
      {"(view 0 \"abc\")", "error: Type error: index optic requires a sequence"},
      {"(view (_slice 1 nil) [1 2 3])", "2"},
      {"(view (_slice 5 nil) [1 2 3])", "nil"},
      {"(view (_slice 0 1) {})", "error: Type error: slice requires a sequence"},
      {"[(view each nil) (view each []) (view each [4 5]) (view each #{7})]", "[nil nil 4 7]"},
      {"(view each {:a 1})", "error: Type error: each requires a sequence or set"},
      {"[(view _vals {:a 1}) (view _keys {:a 1}) (view _vals {})]", "[1 :a nil]"},
      {"(view _vals nil)", "error: Type error: vals requires a map"},
      {"(view _keys [1])", "error: Type error: keys requires a map"},
      {"[(view deep 5) (view deep [1 [2]]) (view deep nil)]", "[5 [1 [2]] nil]"},
      {"[(view _some false) (view _some nil) (view _some 3)]", "[false nil 3]"},
      {"[(view (filtered positive?) 4) (view (filtered positive?) -3)]", "[4 nil]"},
      {"[(view (filtered :on) {:on 1}) (view (filtered :on) {:on false}) "
       "(view (filtered :on) 5)]",
       "[{:on 1} nil nil]"},
      {"[(view (_when (fn [x] (:ok x))) {:ok 1}) (view (_when :ok) {:ok 1})]",
       "error: Type error: _when requires a predicate function"},
      {"(view (_when (fn [x] (:ok x))) {:ok 1})", "{:ok 1}"},
      {"(view (lens (fn [s] (:a s)) (fn [s v] s)) {:a 9})", "9"},
      {"(view (*> each :a) [{:a 1} 2])", "1"},
      {"(view (*> each :a) [2 {:a 1}])", "error: Type error: key optic requires a map or variant"},
      {"(view [:a :b :c] {:a nil})", "nil"},
      {"(view [] 5)", "5"},
      {"(view (_first (*> each :a)) [nil {:a 1}])", "1"},
      {"(view (_first (*> each :a)) [2 {:a 1}])",
       "error: Type error: key optic requires a map or variant"},
      {"(view (_first (*> DEEP :a)) [2 {:a 1}])", "1"},
      {"(view (_first (*> DEEP :a)) [2 #{{:a 1}}])", "nil"},
      {"(view (_first each) [nil 1])", "nil"},
      {"(view (_first [each each]) [[] [nil 3] [4]])", "4"},
      {"(view (_first (_first each)) [7 8])", "7"},
  });
}

TEST_F(Optics, ViewAll) {
  expect_cases({
      {"[(view-all :a {:a nil}) (view-all :a {:a false}) (view-all :a nil)]", "[[] [false] []]"},
      {"(view-all :a 5)", "error: Type error: key optic requires a map or variant"},
      {"(view-all [:a] 5)", "[]"},
      {"(view-all (_slice 1 nil) [1 2 3])", "[2 3]"},
      {"(view-all (_slice -2 nil) [1 2 3])", "[2 3]"},
      {"(view-all (_slice 2 1) [1 2 3])", "[]"},
      {"(view-all (_slice -10 2) [1 2 3])", "[1 2]"},
      {"(view-all (_slice 0 -1) [1 2 3])", "[1 2]"},
      {"(view-all (_slice 9223372036854775807 nil) [1 2 3])", "[]"},
      {"(view-all (_slice -9223372036854775808 -9223372036854775808) [1 2 3])", "[]"},
      {"(view-all (_slice 0 2) nil)", "[]"},
      {"(view-all each #{1})", "[1]"},
      {"(view-all each {:a 1})", "error: Type error: each requires a sequence or set"},
      {"(view-all _vals nil)", "error: Type error: vals requires a map"},
      {"(view-all _keys {:a 1})", "[:a]"},
      {"(view-all deep [1 [2 3]])", "[[1 [2 3]] 1 [2 3] 2 3]"},
      {"(view-all deep {:a {:b 1}})", "[{:a {:b 1}} {:b 1} 1]"},
      {"(view-all deep [#{[1]}])", "[[#{[1]}] #{[1]} [1] 1]"},
      {"(view-all deep {[1] 2})", "[{[1] 2} 2]"},
      {"[(view-all _some nil) (view-all _some false)]", "[[] [false]]"},
      {"(view-all (filtered (fn [x] true)) nil)", "[nil]"},
      {"(view-all (*> each :a) [{:a 1} 2 {:a 3}])", "[1 3]"},
      {"(view-all [each (filtered positive?)] [1 -2 3])", "[1 3]"},
      {"(view-all [each (filtered :on) :n] [{:on true :n 1} {:n 2} {:on 1 :n 3}])", "[1 3]"},
      {"(view-all (_first each) [nil 1])", "[]"},
      {"(view-all (_first each) [5 1])", "[5]"},
      {"(view-all [each (lens (fn [s] [s s]) (fn [s v] v))] [1 2])", "[[1 1] [2 2]]"},
      {"(view-all [each (lens (fn [s] (s 9)) (fn [s v] v))] [1 2])", "[]"},
  });
}

TEST_F(Optics, DeepSearchCallsPredicatesInPreOrderAndStopsAtTheFirstHit) {
  std::unique_ptr<Vm> vm = fresh();
  check_case(*vm, {"(view (_first (*> DEEP (_when (fn [n] (:hit (note n))))))"
                   "  [{:c [{:x 2}]} {:hit 3} {:hit 4}])",
                   "{:hit 3}"});
  // The root, then the first element and everything inside it, then the second element; the
  // vector the check itself builds is not an optic walk and calls nothing.
  EXPECT_EQ(log, (std::vector<std::string>{"[{:c [{:x 2}]} {:hit 3} {:hit 4}]", "{:c [{:x 2}]}",
                                           "[{:x 2}]", "{:x 2}", "2", "{:hit 3}"}));
  log.clear();
  // A set is not entered by the search; nothing found is nil.
  check_case(*vm,
             {"(view (_first (*> DEEP (_when (fn [n] (:hit (note n)))))) [#{{:hit 1}}])", "nil"});
  EXPECT_EQ(log, (std::vector<std::string>{"[#{{:hit 1}}]", "#{{:hit 1}}"}));
}

// ---------------------------------------------------------------------------------------------
// Writing

TEST_F(Optics, Sett) {
  expect_cases({
      {"[(sett :a 1 {}) (sett :a 1 nil) (sett :a 1 {:a 0 :b 2})]", "[{:a 1} {:a 1} {:a 1 :b 2}]"},
      {"(sett :a 1 5)", "error: Type error: key optic requires a map or variant"},
      {"(sett :a 1 [1])", "error: Type error: key optic requires a map or variant"},
      {"[(sett 0 9 [1 2]) (sett 5 9 [1 2]) (sett -2 9 [1 2])]", "[[9 2] [1 2] [9 2]]"},
      {"(sett 0 9 nil)", "error: Type error: index optic requires a sequence"},
      {"(sett (_slice 1 3) 0 [1 2 3 4])", "[1 0 0 4]"},
      {"(sett (_slice 3 1) 0 [1 2 3 4])", "[1 2 3 4]"},
      {"(sett (_slice 0 1) 0 nil)", "error: Type error: slice optic requires a sequence"},
      {"(sett each 0 [1 2 3])", "[0 0 0]"},
      {"(sett each 0 #{1 2})", "error: Type error: each optic requires a sequence"},
      {"(sett each 0 nil)", "error: Type error: each optic requires a sequence"},
      {"(sett _vals 0 {:a 1 :b 2})", "{:a 0 :b 0}"},
      {"(sett _vals 0 [1])", "error: Type error: vals optic requires a map"},
      {"(sett _keys 0 {:a 1})", "error: Type error: set not supported for keys optic"},
      {"(sett _keys 0 5)", "error: Type error: set not supported for keys optic"},
      {"(sett deep 0 [1 [2 3]])", "[0 0]"},
      {"(sett deep 0 {:a {:b 1}})", "{:a 0}"},
      {"[(sett deep 0 5) (sett deep 0 \"s\") (sett deep 0 #{1})]", "[0 0 0]"},
      {"[(sett _some 1 nil) (sett _some 1 false)]", "[nil 1]"},
      {"[(sett (filtered positive?) 0 4) (sett (filtered positive?) 0 -3)]", "[0 -3]"},
      {"(sett (filtered :on) 0 {:on true})", "0"},
      {"[(sett [] 1 5) (sett [] 1 nil)]", "[1 1]"},
      {"(sett [:a :b] 1 {:a {:b 0 :c 2}})", "{:a {:b 1 :c 2}}"},
      {"(sett [:a :b] 1 {})", "{:a {:b 1}}"},
      {"(sett [:a 0] 1 {})", "error: Type error: index optic requires a sequence"},
      {"(sett (lens (fn [s] (:a s)) (fn [s v] [s v])) 7 {:a 1})", "[{:a 1} 7]"},
      {"(sett (_first (*> each :a)) 0 [{:b 1} {:a 1} {:a 2}])", "[{:b 1} {:a 0} {:a 2}]"},
      {"(sett (_first (*> each :a)) 0 [5 {:a 1}])",
       "error: Type error: key optic requires a map or variant"},
      {"(sett (_first :a) 1 {})", "{}"},
      {"(sett (_first (*> DEEP :a)) 1 [5 {:a 2}])",
       "error: Type error: key optic requires a map or variant"},
      {"(view (_first (*> DEEP :a)) [5 {:a 2}])", "2"},
      {"(sett (_first (*> DEEP (filtered :id))) 0 [[{:x 1}] {:id 2} {:id 3}])",
       "[[{:x 1}] 0 {:id 3}]"},
  });
  EXPECT_EQ(printed("(sett -1 9 '(1 2))"), "(1 9)");
  EXPECT_EQ(printed("(sett (_slice 0 1) 9 '(1 2))"), "(9 2)");
}

// Writing through a traversal never copies one element's result over the others.
TEST_F(Optics, WritesThroughTraversalsKeepEachElement) {
  expect_cases({
      {"(sett (*> each :a) 0 [{:a 1 :b 1} {:a 2 :b 2}])", "[{:a 0 :b 1} {:a 0 :b 2}]"},
      {"(sett [(_slice 1 nil) :a] 0 [{:a 1 :b 1} {:a 2 :b 2} {:a 3 :b 3}])",
       "[{:a 1 :b 1} {:a 0 :b 2} {:a 0 :b 3}]"},
      {"(sett [_vals :a] 0 {:x {:a 1 :b 1} :y {:a 2 :b 2}})", "{:x {:a 0 :b 1} :y {:a 0 :b 2}}"},
      {"(sett [[each :a] :b] 0 [{:a {:b 1 :c 1}} {:a {:b 2 :c 2}}])",
       "[{:a {:b 0 :c 1}} {:a {:b 0 :c 2}}]"},
      {"(sett [deep :a] 0 {:a 1 :b {:a 2 :k 3} :c [4 {:a 5}]})",
       "{:a 0 :b {:a 0 :k 3} :c [4 {:a 0}]}"},
      {"(sett [deep :a] {:a 1} {:a 0})", "{:a {:a 1}}"},
      {"(sett [each :a] 0 [])", "[]"},
      {"(sett [each :a] 0 [5])", "error: Type error: key optic requires a map or variant"},
      {"(sett [each :a] 0 nil)", "error: Type error: each optic requires a sequence"},
      {"(sett [each :a] 0 5)", "error: Type error: each requires a sequence or set"},
      {"(sett [_vals :a] 0 [])", "error: Type error: vals requires a map"},
      {"(sett (_first each) 0 [1 2 3])", "[0 2 3]"},
      {"(sett (_first (_slice 1 nil)) 0 [1 2 3])", "[1 0 3]"},
      {"(sett (_first _vals) 0 {:a 1})", "{:a 0}"},
      {"(sett (_first [(_slice 0 2) :a]) 0 [{:a 1} {:a 5}])", "[{:a 0} {:a 5}]"},
      {"(sett (_first [_vals :a]) 0 {:x {:a 1}})", "{:x {:a 0}}"},
      {"(sett (_first [each each]) 0 [[] [nil 3] [4]])", "[[] [nil 3] [0]]"},
      {"(sett (_first deep) 0 [1 2])", "0"},
      {"(sett (_first each) 0 #{1})", "error: Type error: each optic requires a sequence"},
  });
}

// A traversal head on a target it does not traverse is written lens by lens: the rest of the
// chain is written into the head's focus first, so its error comes before the head's own.
TEST_F(Optics, TraversalHeadOnAnotherTargetWritesLensByLens) {
  expect_cases({
      {"(sett [each 0] 1 nil)", "error: Type error: index optic requires a sequence"},
      {"(sett [each 0] 1 #{5})", "error: Type error: index optic requires a sequence"},
      {"(sett [each :a] 0 #{{:a 1}})", "error: Type error: each optic requires a sequence"},
      {"(sett [(_slice 0 1) 0] 1 nil)", "error: Type error: index optic requires a sequence"},
      {"(sett [(_slice 0 1) :a] 1 nil)", "error: Type error: slice optic requires a sequence"},
      {"(sett [(_slice 0 1) :a] 1 5)", "error: Type error: slice requires a sequence"},
      {"(sett [_vals 0] 1 nil)", "error: Type error: vals requires a map"},
      // The rest's setter runs on the head's focus before the head refuses the target.
      {"(sett [each (lens (fn [s] s) (fn [s v] (/ v 0)))] 1 nil)", "error: Division by zero"},
  });
}

// ---------------------------------------------------------------------------------------------
// Updating

TEST_F(Optics, Over) {
  expect_cases({
      {"[(over :a inc {:a 1}) (over each inc [1 2]) (over [:a each] inc {:a [1 2]})]",
       "[{:a 2} [2 3] {:a [2 3]}]"},
      {"(over :a (fn [x] [x]) {})", "{:a [nil]}"},
      {"[(over :a (fn [x] 1) {}) (over :a (fn [x] 1) nil)]", "[{:a 1} {:a 1}]"},
      {"(over [:a :b] (fn [x] 1) {})", "{:a {:b 1}}"},
      {"(over [:a :b :c] (fn [x] 1) {})", "error: Type error: key requires map or variant"},
      {"(over :k inc 5)", "error: Type error: key optic requires a map or variant"},
      {"(over [:k :j] inc 5)", "error: Type error: key requires map or variant"},
      {"[(over 5 inc [1 2 3]) (over -4 inc [1 2 3]) (over -1 inc [1 2 3])]",
       "[[1 2 3] [1 2 3] [1 2 4]]"},
      {"(over 0 inc nil)", "error: Type error: index optic requires a sequence"},
      {"(over [0 0] inc {})", "error: Type error: index requires sequence"},
      {"[(over (_slice 1 nil) inc [1 2 3]) (over (_slice -2 nil) inc [1 2 3])]",
       "[[1 3 4] [1 3 4]]"},
      {"[(over (_slice 2 1) note [1 2 3]) (over (_slice 0 99) inc [1 2])]", "[[1 2 3] [2 3]]"},
      {"(over (_slice 0 1) inc {})", "error: Type error: slice optic requires a sequence"},
      {"(over [(_slice 0 1) 0] inc {})", "error: Type error: slice optic requires a sequence"},
      {"[(over each inc #{1 2}) (over each (fn [x] 0) #{1 2}) (over [each] inc #{1 2})]",
       "[#{2 3} #{0} #{2 3}]"},
      {"(over [each :a] inc #{{:a 1}})", "error: Type error: each requires sequence"},
      {"(over each inc {:a 1})", "error: Type error: each optic requires a sequence or set"},
      {"(over _vals inc {:a 1 :b 2})", "{:a 2 :b 3}"},
      {"(over _vals inc [])", "error: Type error: vals optic requires a map"},
      {"(over [_vals :a] inc [])", "error: Type error: vals requires map"},
      {"[(over _keys (fn [k] :b) {:a 1}) (over _keys (fn [k] :x) {:a 1 :b 1})]", "[{:b 1} {:x 1}]"},
      {"(over _keys inc [])", "error: Type error: keys optic requires a map"},
      {"(over [_keys :a] inc nil)", "error: Type error: keys optic requires a map"},
      {"[(over _some note nil) (over [_some :a] inc {:a 1}) (over [:a _some] note {})]",
       "[nil {:a 2} {:a nil}]"},
      {"[(over (filtered :done) (fn [m] 0) {:done 1}) (over (filtered :done) note {})]", "[0 {}]"},
      {"[(over (filtered positive?) inc 3) (over (filtered positive?) inc -2)]", "[4 -2]"},
      {"(over (lens (fn [s] (:a s)) (fn [s v] {:a v :old s})) inc {:a 1})", "{:a 2 :old {:a 1}}"},
      {"(over deep (fn [x] 1) [[2] 3])", "1"},
      {"(over [deep :a] inc {:a 1 :b {:a 2} :c 3})", "{:a 2 :b {:a 3} :c 3}"},
      {"(over [deep (filtered positive?)] inc [1 [-2 3] #{4}])", "[2 [-2 4] #{4}]"},
      {"(over [] inc 1)", "2"},
      {"(over each inc)", "error: Wrong number of arguments: expected 3, got 2"},
      {"(over each 5 [1])", "error: Value is not callable"},
      {"(over each inc [1 :x 2])", "error: Type error: inc expects an integer"},
  });
  EXPECT_EQ(printed("(over 0 inc '(1 2))"), "(2 2)");
  EXPECT_EQ(printed("(over each inc '(1 2))"), "(2 3)");
  EXPECT_TRUE(log.empty()) << "called with " << log[0];
}

// The root first, then the children of what the function answered for it.
TEST_F(Optics, OverDeepVisitsWhatTheFunctionAnswered) {
  std::unique_ptr<Vm> vm = fresh();
  check_case(*vm,
             {"(over deep (fn [x] (if (:wrap (note x)) [{:k 1}] x)) {:wrap true})", "[{:k 1}]"});
  EXPECT_EQ(log, (std::vector<std::string>{"{:wrap true}", "{:k 1}", "1"}));
}

TEST_F(Optics, UpdatedAndUnchangedResults) {
  // Where nothing is focused the target itself comes back; a rebuilt collection is a new object.
  EXPECT_TRUE(same_object("(let [v [1 2]] [v (over 5 inc v)])"));
  EXPECT_TRUE(same_object("(let [v [1 2]] [v (sett 5 0 v)])"));
  EXPECT_TRUE(same_object("(let [m {:a nil}] [m (over (_first :a) inc m)])"));
  EXPECT_TRUE(same_object("(let [m {:on false}] [m (over (filtered :on) inc m)])"));
  EXPECT_FALSE(same_object("(let [v [1 2]] [v (over each (fn [x] x) v)])"));
  EXPECT_FALSE(same_object("(let [v [1 2]] [v (over (_slice 2 1) inc v)])"));
  EXPECT_FALSE(same_object("(let [v [1 2]] [v (sett (_slice 2 1) 0 v)])"));
  EXPECT_FALSE(same_object("(let [m {:a 1}] [m (over _vals (fn [x] x) m)])"));
}

TEST_F(Optics, LensCallsGetterThenFunctionThenSetterWithTwoArguments) {
  std::unique_ptr<Vm> vm = fresh();
  std::expected<Value, EngineError> r =
      vm_eval(*vm, "(over (lens (fn [s] (note [:get s])) (fn [s v] (note [:set s v]))) "
                   "      (fn [x] (note [:f x])) :t)");
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_EQ(readable(*vm, *r), "[:set :t [:f [:get :t]]]");
  EXPECT_EQ(log,
            (std::vector<std::string>{"[:get :t]", "[:f [:get :t]]", "[:set :t [:f [:get :t]]]"}));
  log.clear();
  // Writing never reads.
  ASSERT_TRUE(vm_eval(*vm, "(sett (lens (fn [s] (note :get)) (fn [s v] (note v))) 4 :t)"));
  EXPECT_EQ(log, (std::vector<std::string>{"4"}));
}

// ---------------------------------------------------------------------------------------------
// First-focus update

TEST_F(Optics, FirstFocusUpdate) {
  expect_cases({
      {"(over (_first each) inc [1 2 3])", "[2 2 3]"},
      {"[(over (_first each) note []) (over (_first each) note #{1 2})]", "[[] #{1 2}]"},
      {"(over (_first _vals) inc {:a 1})", "{:a 2}"},
      {"(over (_first _keys) (fn [k] \"a\") {:a 1})", "{\"a\" 1}"},
      {"[(over (_first :a) note {}) (over (_first :a) note {:a nil})]", "[{} {:a nil}]"},
      {"[(over (_first deep) (fn [x] 0) [1]) (over (_first deep) (fn [x] 0) nil)]", "[0 0]"},
      {"(over [(_first each) each] inc [[1 2] [3 4]])", "[[2 2] [3 4]]"},
      {"(over (_first [_vals :a]) inc {:x {:a 1}})", "{:x {:a 2}}"},
      {"(over (_first [_keys _some]) (fn [k] :b) {:a 1})",
       "error: Type error: set not supported for keys optic"},
      {"[(over (_first (_slice 1 nil)) inc [1 2 3]) (over (_first (_slice 3 nil)) inc [1 2 3])]",
       "[[1 3 3] [1 2 3]]"},
      {"(over (_first [(_slice 0 2) :a]) inc [{:a 1} {:a 5}])", "[{:a 2} {:a 5}]"},
      {"(over (_first (*> DEEP (_when :id))) (fn [n] 0) [{:x 1} [{:id 2}] {:id 3}])",
       "error: Type error: _when requires a predicate function"},
      {"(over (_first (*> DEEP (filtered :id))) (fn [n] 0) [{:x 1} [{:id 2}] {:id 3}])",
       "[{:x 1} [0] {:id 3}]"},
      {"(over (_first (*> DEEP (filtered :id))) note [{:x 1}])", "[{:x 1}]"},
      {"(over (_first [each :a]) inc [{:b 1} {:a 1} {:a 2}])", "[{:b 1} {:a 2} {:a 2}]"},
      {"(over (_first [each :a]) note [])", "[]"},
      {"(over (_first (_first each)) inc [5 6])", "[6 6]"},
      {"(over [:x (_first each)] inc {:x [1 2]})", "{:x [2 2]}"},
  });
  EXPECT_TRUE(log.empty()) << "called with " << log[0];
}

// Of several matching nodes only the first in pre-order is updated, with one call.
TEST_F(Optics, FirstFocusUpdateCallsTheFunctionOnce) {
  std::unique_ptr<Vm> vm = fresh();
  check_case(*vm, {"(over (_first (*> DEEP (filtered :hit))) (fn [n] (do (note n) :done))"
                   "  [{:c [{:hit 2}]} {:hit 1}])",
                   "[{:c [:done]} {:hit 1}]"});
  EXPECT_EQ(log, (std::vector<std::string>{"{:hit 2}"}));
}

// ---------------------------------------------------------------------------------------------
// Bounds and the collector

// A vector nested `levels` deep around {:a 1}, inserted without any collection check.
Value nested_vectors(Vm& vm, int levels) {
  ValueMap map(next_random_keys());
  map.insert_mut(Value::keyword(vm.interner.get_or_intern("a")), Value::from_int(1));
  Value v = Value::object(heap_insert(vm.heap, HeapObject(MapObject{map})));
  for (int i = 0; i < levels; ++i) {
    ValueVector items;
    items.push_back_mut(v);
    v = Value::object(heap_insert(vm.heap, HeapObject(SeqObject{items, true})));
  }
  return v;
}

// Composition steps nested `levels` deep around a Key step.
Value nested_optic(Vm& vm, int levels) {
  const HeapKey box =
      heap_insert(vm.heap, HeapObject(KeyBox{Value::keyword(vm.interner.get_or_intern("a"))}));
  HeapKey optic = heap_insert(vm.heap, HeapObject(Optic{OpticKind{OpticKind::Key{box}}}));
  for (int i = 0; i < levels; ++i) {
    OpticKind::Compose compose;
    compose.steps.push_back(optic);
    optic = heap_insert(vm.heap, HeapObject(Optic{OpticKind{std::move(compose)}}));
  }
  return Value::object(optic);
}

TEST_F(Optics, WalksOverDeepNestingEndInAnOrderlyError) {
  const char* too_deep = "error: Value error: data nested too deeply";
  std::unique_ptr<Vm> vm = fresh();
  define_global_by_name(*vm, "d", nested_vectors(*vm, 50000));
  define_global_by_name(*vm, "o", nested_optic(*vm, 50000));
  for (const char* source : {
           "(view-all deep d)",
           "(view (_first (*> DEEP :zz)) d)",
           "(sett (_first (*> DEEP (filtered :zz))) 0 d)",
           "(over (_first (*> DEEP (filtered :zz))) inc d)",
           "(sett [deep :a] 0 d)",
           "(over [deep :a] inc d)",
           "(over deep (fn [x] x) d)",
           "(view o {:a 1})",
           "(view-all o {:a 1})",
           "(sett o 0 {:a 1})",
           "(over o inc {:a 1})",
           "(view (_first o) {:a 1})",
       }) {
    check_case(*vm, {source, too_deep});
  }
  // A function that always wraps its argument would make the walk endless.
  check_case(*vm, {"(over deep (fn [x] [x]) 1)", too_deep});
  check_case(*vm, {"(over deep (fn [x] {:k x}) 1)", too_deep});
  // The machine is usable afterwards, and shallow nesting is fine.
  check_case(*vm, {"(view-all [each each each] [[[1] [2]] [[3]]])", "[1 2 3]"});
  EXPECT_EQ(vm->heap.native_depth, 0u);
  EXPECT_TRUE(vm->stack.empty());
}

// A value that reaches its parts by many paths: [t t] nested sixty times. Walks that visit every
// path (finding nothing, or listing or rebuilding every node) poll the interrupt hook, and the
// machine is usable after the hook stops them.
TEST_F(Optics, WalksOverSharedStructureStopAtAnInterrupt) {
  for (const char* source : {
           "(view (_first (*> DEEP :zz)) d)",
           "(view (_first (*> DEEP (filtered :zz))) d)",
           "(sett (_first (*> DEEP (filtered :zz))) 0 d)",
           "(over (_first (*> DEEP (filtered :zz))) inc d)",
           "(view-all deep d)",
           "(view-all [deep each] d)",
           "(sett [deep :a] 0 d)",
           "(over [deep :a] inc d)",
           // The value itself as a path: one optic step per leaf.
           "(view d {:a 1})",
       }) {
    SCOPED_TRACE(source);
    std::unique_ptr<Vm> vm = fresh();
    ASSERT_TRUE(vm_eval(*vm, "(def d (loop [i 0 t [1]] (if (= i 60) t (recur (+ i 1) [t t]))))"));
    StopAtThirdPoll stop(*vm);
    check_case(*vm, {source, "error: Value error: stop now"});
    vm->interrupt_hook = nullptr;
    check_case(*vm, {"[(count (view [0 0 0 0] d)) (view-all [each each] [[1] [2]])]", "[2 [1 2]]"});
    EXPECT_EQ(vm->heap.native_depth, 0u);
    EXPECT_TRUE(vm->stack.empty());
  }
}

TEST_F(Optics, APathLongerThanACopyMayHoldIsRefused) {
  std::unique_ptr<Vm> vm = fresh();
  check_case(*vm, {"(view (loop [v [:a] i 0] (if (< i 33) (recur (vec (concat v v)) (+ i 1)) v))"
                   "  {:a 1})",
                   "error: Value error: collection too large"});
}

TEST_F(Optics, NestedVectorsCoerceUpToTheBound) {
  std::unique_ptr<Vm> vm = fresh();
  std::string deep_vector;
  for (int i = 0; i < 200; ++i)
    deep_vector += "[";
  deep_vector += ":a";
  for (int i = 0; i < 200; ++i)
    deep_vector += "]";
  check_case(*vm, {("(view " + deep_vector + " {:a 5})").c_str(), "5"});
}

// Everything a composition names is reachable through it alone: key boxes, predicates, lenses,
// inner optics of _first and steps of nested compositions survive a full collection.
TEST_F(Optics, ObjectsReachableOnlyThroughACompositionSurviveCollections) {
  std::unique_ptr<Vm> vm = fresh();
  ASSERT_TRUE(vm_eval(*vm, "(def o (*> [:xs (_first [each (filtered :on)])] "
                           "  (lens (fn [s] (:v s)) (fn [s v] {:on true :v v}))))"));
  ASSERT_TRUE(vm_eval(*vm, "(def junk [[1] {:a [2]} \"text\"]) (def junk nil)"));
  std::vector<HeapKey> roots;
  vm->append_roots(roots);
  heap_collect(vm->heap, std::move(roots));
  ASSERT_TRUE(vm_eval(*vm, "(def data {:xs [{:v 1} {:on true :v 2} {:on true :v 3}]})"));
  check_case(*vm, {"(view o data)", "2"});
  check_case(*vm, {"(over o inc data)", "{:xs [{:v 1} {:on true :v 3} {:on true :v 3}]}"});
  check_case(*vm, {"(sett o 0 data)", "{:xs [{:v 1} {:on true :v 0} {:on true :v 3}]}"});
}

// Values made by callbacks and held by the engine while further callbacks run (getter results,
// partial results of over) stay alive, also when a collection runs inside a callback.
TEST_F(Optics, ValuesMadeByCallbacksSurviveFurtherCallbacks) {
  expect_cases({
      {"(view-all [each (lens (fn [s] [s {:k [s]}]) (fn [s v] v)) each] [1 2 3])",
       "[1 {:k [1]} 2 {:k [2]} 3 {:k [3]}]"},
      {"(over [each :a] (fn [x] [x [x] {:x x}]) [{:a 1} {:a 2} {:a 3}])",
       "[{:a [1 [1] {:x 1}]} {:a [2 [2] {:x 2}]} {:a [3 [3] {:x 3}]}]"},
      {"(over _vals (fn [x] [x [x]]) {:a 1 :b 2})", "{:a [1 [1]] :b [2 [2]]}"},
      {"(over _keys (fn [k] [k]) {:a 1 :b 2})", "{[:a] 1 [:b] 2}"},
      {"(over each (fn [x] [x [x]]) #{1 2})", "#{[1 [1]] [2 [2]]}"},
      {"(over deep (fn [x] (if (:wrap x) {:k [:done {:x [2]}]} x)) [{:wrap 1} 5])",
       "[{:k [:done {:x [2]}]} 5]"},
      {"(over (lens (fn [s] [s]) (fn [s v] [v s])) (fn [x] [x x]) 1)", "[[[1] [1]] 1]"},
      {"(sett [each (lens (fn [s] [s]) (fn [s v] {:s s :v v}))] 0 [1 2])",
       "[{:s 1 :v 0} {:s 2 :v 0}]"},
  });
}

// ---------------------------------------------------------------------------------------------
// Path compiler

// The optic tree a value names, e.g. "Compose[Key(:a), Index(0)]".
std::string describe(const Vm& vm, HeapKey handle);

std::string describe_kind(const Vm& vm, const OpticKind& kind) {
  auto key = [&](HeapKey box) {
    const KeyBox* k = heap_get_as<KeyBox>(vm.heap, box);
    return k != nullptr ? readable(vm, k->value) : std::string("<no box>");
  };
  auto bound = [](const std::optional<std::int64_t>& b) {
    return b ? std::to_string(*b) : std::string("_");
  };
  static const char* const ops[] = {">", "<", ">=", "<=", "=", "!="};
  switch (kind.tag()) {
  case OpticTag::Key:
    return "Key(" + key(std::get<OpticKind::Key>(kind.data).key_box) + ")";
  case OpticTag::Index:
    return "Index(" + std::to_string(std::get<OpticKind::Index>(kind.data).index) + ")";
  case OpticTag::Slice: {
    const auto& s = std::get<OpticKind::Slice>(kind.data);
    return "Slice(" + bound(s.start) + ", " + bound(s.end) + ")";
  }
  case OpticTag::Each:
    return "Each";
  case OpticTag::Vals:
    return "Vals";
  case OpticTag::Keys:
    return "Keys";
  case OpticTag::Deep:
    return "Deep";
  case OpticTag::Some:
    return "Some";
  case OpticTag::Compose: {
    std::string out = "Compose[";
    const auto& steps = std::get<OpticKind::Compose>(kind.data).steps;
    for (std::size_t i = 0; i < steps.size(); ++i)
      out += (i ? ", " : "") + describe(vm, steps[i]);
    return out + "]";
  }
  case OpticTag::Filtered:
    return "Filtered(" + key(std::get<OpticKind::Filtered>(kind.data).predicate) + ")";
  case OpticTag::When:
    return "When";
  case OpticTag::First:
    return "First(" + describe(vm, std::get<OpticKind::First>(kind.data).inner) + ")";
  case OpticTag::Lens:
    return "Lens";
  case OpticTag::NotKey:
    return "NotKey(" + key(std::get<OpticKind::NotKey>(kind.data).key_box) + ")";
  case OpticTag::KeyCompare: {
    const auto& c = std::get<OpticKind::KeyCompare>(kind.data);
    return "KeyCompare(" + key(c.key_box) + " " + ops[static_cast<int>(c.op)] + " " +
           readable(vm, c.literal) + ")";
  }
  }
  return "?";
}

std::string describe(const Vm& vm, HeapKey handle) {
  const Optic* optic = heap_get_as<Optic>(vm.heap, handle);
  return optic != nullptr ? describe_kind(vm, optic->kind) : "<not an optic>";
}

// The optic a path compiles to, or the error.
std::string compiled(Vm& vm, std::string_view path) {
  std::expected<Value, VmError> r = xpath_compile(vm, std::string(path));
  if (!r) return "error: " + to_string(r.error());
  EXPECT_TRUE(r->is_object());
  return describe(vm, r->as.key);
}

TEST_F(Optics, PathsCompileToOpticTrees) {
  struct PathCase {
    const char* path;
    const char* tree;
  };
  const PathCase cases[] = {
      {"/", "Compose[]"},
      {"//", "Compose[]"},
      {" / / ", "Compose[]"},
      {"/a", "Key(:a)"},
      {"/a/", "Key(:a)"},
      {"  /a / b", "Compose[Key(:a), Key(:b)]"},
      {"/users/0/name", "Compose[Key(:users), Index(0), Key(:name)]"},
      {"/a/-1", "Compose[Key(:a), Index(-1)]"},
      {"/a/1:3", "Compose[Key(:a), Slice(1, 3)]"},
      {"/a/:2", "Compose[Key(:a), Slice(_, 2)]"},
      {"/a/2:", "Compose[Key(:a), Slice(2, _)]"},
      {"/:", "Slice(_, _)"},
      {"/99999999999999999999:1", "Slice(_, 1)"},
      {"/**/id", "Compose[Deep, Key(:id)]"},
      {"/*", "Each"},
      {"/@", "Vals"},
      {"/@keys", "Keys"},
      {"/@key", "Vals"},
      {"/items[:active]", "Compose[Key(:items), Filtered(:active)]"},
      {"/items[!:done]", "Compose[Key(:items), NotKey(:done)]"},
      {"/*[.age >= 18]", "Compose[Each, KeyCompare(:age >= 18)]"},
      {"/*[ .age<2 ]", "Compose[Each, KeyCompare(:age < 2)]"},
      {"/*[.a > -3]", "Compose[Each, KeyCompare(:a > -3)]"},
      {"/*[.a <= 1]", "Compose[Each, KeyCompare(:a <= 1)]"},
      {"/*[.a != x]", "Compose[Each, KeyCompare(:a != \"x\")]"},
      {"/*[.name = bob]", "Compose[Each, KeyCompare(:name = \"bob\")]"},
      {"/*[.name = \"bob\"]", "Compose[Each, KeyCompare(:name = \"bob\")]"},
      {"/*[.name = \"a b]", "error: Value error: expected ] after predicate"},
      {"/*[.ok = true]", "Compose[Each, KeyCompare(:ok = \"true\")]"},
      {"/*[.score < 2.5]", "Compose[Each, KeyCompare(:score < 2.5)]"},
      {"/0[:k]", "Compose[Index(0), Filtered(:k)]"},
      {"/#id=7", "First(Compose[Deep, KeyCompare(:id = 7)])"},
      {"/a/#id=x/b", "Compose[Key(:a), First(Compose[Deep, KeyCompare(:id = \"x\")]), Key(:b)]"},
      {"/a[:x][:y]", "Compose[Key(:a), Filtered(:x)]"},
      {"/a b/c", "Key(:a)"},
      {"/a [x]", "Key(:a)"},
      {"/!", "Key(:)"},
      {"/naïve/日本", "Compose[Key(:naïve), Key(:日本)]"},
      {"/a?-b_c", "Key(:a?-b_c)"},
      {"users", "error: Value error: xpath must start with /"},
      {"", "error: Value error: xpath must start with /"},
      {"/-", "error: Value error: expected number in xpath"},
      {"/-x", "error: Value error: expected number in xpath"},
      {"/99999999999999999999", "error: Value error: expected number in xpath"},
      {"/#id 7", "error: Value error: expected '=' after #identifier in xpath"},
      {"/a[]", "error: Value error: unsupported predicate syntax"},
      {"/a[ ]", "error: Value error: unsupported predicate syntax"},
      {"/a[x]", "error: Value error: expected ] after predicate"},
      {"/a[:k", "error: Value error: expected ] after predicate"},
      {"/a[.k]", "error: Value error: expected comparison operator"},
      {"/a[.k", "error: Value error: expected comparison operator"},
      {"/a[.k ! 1]", "error: Value error: expected = after !"},
      {"/a[!k]", "error: Value error: expected : after ! in predicate"},
      {"/a[.k = ]", "error: Value error: expected literal value"},
      {"/a[.k = :x]", "error: Value error: expected literal value"},
      {"/a[.k = -]", "error: Value error: invalid integer"},
      {"/a[.k = 99999999999999999999]", "error: Value error: invalid integer"},
      {"/a[.k = -.]", "error: Value error: invalid float"},
      {"/a[.k = 1e5]", "error: Value error: expected ] after predicate"},
      {"/#id=", "error: Value error: expected literal value"},
  };
  std::unique_ptr<Vm> vm = fresh();
  for (const PathCase& c : cases)
    EXPECT_EQ(compiled(*vm, c.path), c.tree) << c.path;
}

TEST_F(Optics, PathsApplyToNestedData) {
  expect_cases({
      {"(xpath 5)", "error: Type error: xpath requires a string"},
      {"(xpath)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(xpath \"a\")", "error: Value error: xpath must start with /"},
      {"(optic? #x\"/a\")", "true"},
      {"(view-all #x\"/users/*/name\" {:users [{:name \"ann\"} {:name \"bo\"} {:id 3}]})",
       "[\"ann\" \"bo\"]"},
      // A predicate tests the step's own focus: here the map under :items.
      {"[(view-all #x\"/items[.price > 10]/name\" {:items {:price 12 :name :b}}) "
       "(view-all #x\"/items[.price > 10]/name\" {:items {:price 5 :name :b}})]",
       "[[:b] []]"},
      {"(view-all #x\"/items/*[.price > 10]/name\" {:items [{:price 5 :name :a} {:price 12 :name "
       ":b} "
       "{:price 10.5 :name :c} {:price \"99\" :name :d} {:name :e}]})",
       "[:b :c]"},
      {"(view-all #x\"/items/*[.price > 10]/name\" {:items [{:price 5 :name :a} {:price 12 :name "
       ":b}]})",
       "[:b]"},
      {"(view #x\"/#id=7\" [{:id 1 :c [{:id 7 :v :x}]} {:id 7 :v :y}])", "{:id 7 :v :x}"},
      {"(over #x\"/#id=7/v\" (fn [v] :z) [{:id 1 :c [{:id 7 :v :x}]} {:id 7 :v :y}])",
       "[{:id 1 :c [{:id 7 :v :z}]} {:id 7 :v :y}]"},
      {"(over #x\"/users/*/age\" (fn [a] (+ a 1)) {:users [{:age 1} {:age 2}]})",
       "{:users [{:age 2} {:age 3}]}"},
      {"(view-all #x\"/*[!:done]/t\" [{:t 1 :done true} {:t 2} {:t 3 :done false}])", "[2 3]"},
      {"(view-all #x\"/**/id\" {:id 1 :c [{:id 2}]})", "[1 2]"},
      {"(view-all #x\"/*[.name = bob]/id\" [{:name \"bob\" :id 1} {:name \"al\" :id 2}])", "[1]"},
      {"(sett #x\"/a/1:\" 0 {:a [1 2 3]})", "{:a [1 0 0]}"},
      {"(view-all #x\"/@keys\" {:k 1})", "[:k]"},
  });
}

} // namespace
} // namespace quorvex
