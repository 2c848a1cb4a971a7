// Macros and syntax-quote through the whole engine, where a program's transcript does not show
// enough: where errors are located, what a failing expander leaves on the machine, documentation
// entries, and expansion while the collector runs (under QUORVEX_GC_STRESS at every allocation).
// What programs answer is in tests/conformance/macros.
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine_cases.hpp"

namespace quorvex {
namespace {

using engine_cases::expect_located;
using engine_cases::expect_machine_at_rest;
using engine_cases::run;
using engine_cases::StopAtThirdPoll;

TEST(Macros, ErrorsAndTheirLocations) {
  expect_located({
      {"(defmacro)", "compile error: invalid syntax: defmacro requires a name and parameter vector",
       1, 2},
      {"(defmacro m)",
       "compile error: invalid syntax: defmacro requires a name and parameter vector", 1, 2},
      {"(defmacro \"m\" [])", "compile error: invalid syntax: defmacro name must be a symbol", 1,
       11},
      {"(defmacro m \"doc\")",
       "compile error: invalid syntax: defmacro parameters must be a vector", 1, 2},
      {"(defmacro m (x) x)", "compile error: invalid syntax: defmacro parameters must be a vector",
       1, 2},
      {"(defmacro m [(x)])", "compile error: invalid syntax: defmacro parameter must be a symbol",
       1, 14},
      {"(defmacro m [a ns/b])",
       "compile error: invalid syntax: defmacro parameter must be a symbol", 1, 16},
      {"(defmacro m [a & b c])", "compile error: invalid syntax: only one rest parameter allowed",
       1, 2},
      {"(defmacro m [a &])", "compile error: invalid syntax: missing rest parameter after &", 1, 2},
      {"(defmacro m [a & b & c])", "compile error: invalid syntax: multiple & in parameters", 1, 2},
      // The expander runs at compile time: an enclosing local has no value yet.
      {"(let [x 1] (defmacro m [] x))",
       "compile error: invalid syntax: a macro cannot use the local `x` of an enclosing form: its "
       "expander runs at compile time",
       1, 27},
      {"(fn [x] (defmacro m [] (fn [] x)))",
       "compile error: invalid syntax: a macro cannot use the local `x` of an enclosing form: its "
       "expander runs at compile time",
       1, 31},
      // Failures of the expander, located at the macro's name in the call.
      {"(defmacro one [x] x)\n[(one 1 2)]",
       "compile error: macro expansion error: Wrong number of arguments: expected 1, got 2", 2, 3},
      {"(defmacro boom [] (/ 1 0))\n  (boom)",
       "compile error: macro expansion error: Division by zero", 2, 4},
      {"(defmacro lost [] (no-such-function))\n(lost)",
       "compile error: macro expansion error: Undefined variable: no-such-function", 2, 2},
      {"(defmacro f [] (fn [] 1))\n(f)",
       "compile error: invalid macro result: cannot convert closure to AST", 2, 2},
      {"(defmacro n [] nth)\n(n)",
       "compile error: invalid macro result: cannot convert native function to AST", 2, 2},
      // Endless and too deep expansions end in an orderly error.
      {"(defmacro again [] '(again))\n(again)",
       "compile error: macro expansion error: expansion deeper than 500 levels", 2, 2},
      {"(defmacro again [] '(again))\n(macroexpand '(again))",
       "compile error: macro expansion error: expansion deeper than 500 levels", 2, 1},
      {"(macroexpand)", "compile error: invalid syntax: macroexpand expects exactly 1 argument", 1,
       1},
      {"(macroexpand-1 a b)",
       "compile error: invalid syntax: macroexpand expects exactly 1 argument", 1, 1},
  });
}

// An expander that answers a value nested far deeper than forms may nest. Collecting at every
// allocation makes building the value quadratic, so the stress build nests it less deep, still
// well past the limit.
TEST(Macros, AValueTooDeepToBeAFormIsRefused) {
  const int depth = gc_stress_mode() ? 20000 : 100000;
  std::unique_ptr<Vm> vm = vm_new_bare();
  const std::string source = "(defmacro deep [] (loop [i 0 v nil] (if (< i " +
                             std::to_string(depth) + ") (recur (+ i 1) [v]) v)))\n(deep)";
  std::expected<Value, EngineError> r = vm_eval(*vm, source);
  expect_machine_at_rest(*vm);
  ASSERT_FALSE(r);
  EXPECT_EQ(to_string(r.error()), "compile error: invalid macro result: value nested too deeply");
  ASSERT_TRUE(r.error().as_compile() && r.error().as_compile()->location);
  EXPECT_EQ(r.error().as_compile()->location->line, 1u);
}

// An expansion that shares its parts ([v v] nested sixty times) would become a form with one
// node per path: the conversion polls the interrupt hook, and the machine stays usable.
TEST(Macros, AResultWithSharedPartsStopsAtAnInterrupt) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_TRUE(vm_eval(*vm, "(defmacro shared [] "
                           "(loop [i 0 v [1]] (if (= i 60) v (recur (+ i 1) [v v]))))"));
  StopAtThirdPoll stop(*vm);
  EXPECT_EQ(run(*vm, "(count (shared))"),
            "error: compile error: invalid macro result: interrupted");
  expect_machine_at_rest(*vm);
  EXPECT_FALSE(vm->run_aborting);
  vm->interrupt_hook = nullptr;
  EXPECT_EQ(run(*vm, "(defmacro small [] [[1] [1]]) (small)"), "[[1] [1]]");
}

// A form of many thousands of forms takes long to compile: the compiler and its conversions of
// forms to values poll the interrupt hook, and the machine stays usable. None of these runs a
// loop or more than one call, so only the compilation can see three polls.
TEST(Macros, ALongCompilationStopsAtAnInterrupt) {
  std::string ones;
  for (int i = 0; i < 20000; ++i)
    ones += " 1";
  // Compiled code, quoted data, and the argument of a macro call.
  const std::string sources[] = {"(do" + ones + ")", "(count '[" + ones + "])",
                                 "(ignore [" + ones + "])"};
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_TRUE(vm_eval(*vm, "(defmacro ignore [x] nil)"));
  for (const std::string& source : sources) {
    {
      StopAtThirdPoll stop(*vm);
      EXPECT_EQ(run(*vm, source), "error: compile error: invalid syntax: interrupted")
          << source.substr(0, 20);
      EXPECT_GE(stop.polls, 3) << source.substr(0, 20);
      expect_machine_at_rest(*vm);
      EXPECT_FALSE(vm->run_aborting);
    }
    vm->interrupt_hook = nullptr;
    EXPECT_EQ(run(*vm, "(do" + ones + ")"), "1");
  }
}

TEST(Macros, TheExpansionCarriesTheCallSpanOnly) {
  // A runtime error inside the expansion is located at the macro's name in the call, even when
  // the expander returned its argument unchanged.
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_TRUE(vm_eval(*vm, "(defmacro same [x] x)"));
  std::expected<Value, EngineError> r = vm_eval(*vm, "(do 1\n   (same (/ 1 0)))");
  ASSERT_FALSE(r);
  const RuntimeError* e = r.error().as_runtime();
  ASSERT_NE(e, nullptr);
  ASSERT_TRUE(e->location.has_value());
  EXPECT_EQ(e->location->line, 1u);
  EXPECT_EQ(e->location->column, 4u);
}

// A failing expander leaves nothing on the stacks; the next form runs normally and every macro
// defined before, in the failing form too, stays.
TEST(Macros, AFailedExpansionLeavesTheMachineReady) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_TRUE(vm_eval(*vm, "(defmacro boom [] (/ 1 0))"));
  EXPECT_EQ(run(*vm, "(do (defmacro fine [] :ok) (let [a 1] [a (boom)]))"),
            "error: compile error: macro expansion error: Division by zero");
  expect_machine_at_rest(*vm);
  EXPECT_EQ(run(*vm, "[(+ 1 2) (fine)]"), "[3 :ok]");
  EXPECT_EQ(vm->macros.size(), 2u);
  // An expander that fails deep inside nested calls.
  ASSERT_TRUE(vm_eval(*vm, "(defn down [n] (if (= n 0) (/ n 0) [(down (- n 1))]))"));
  ASSERT_TRUE(vm_eval(*vm, "(defmacro deep-fail [] (down 50))"));
  EXPECT_EQ(run(*vm, "(deep-fail)"),
            "error: compile error: macro expansion error: Division by zero");
  expect_machine_at_rest(*vm);
  EXPECT_EQ(run(*vm, "(fine)"), ":ok");
}

TEST(Macros, DocstringsAreRecordedAsMacroDocumentation) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_TRUE(vm_eval(*vm, "(defmacro m \"Quotes its argument.\" [x] `(quote ~x))"));
  const DocEntry& doc = vm->docs.at(*vm->interner.get("m"));
  EXPECT_EQ(doc.text, "Quotes its argument.");
  EXPECT_EQ(doc.kind, DocKind::Defmacro);
  ASSERT_TRUE(doc.location.has_value());
  EXPECT_EQ(doc.location->column, 1u);
}

TEST(SyntaxQuote, Errors) {
  expect_located({
      {"(syntax-quote)", "compile error: invalid syntax: syntax-quote expects exactly 1 argument",
       1, 2},
      {"(syntax-quote a b)",
       "compile error: invalid syntax: syntax-quote expects exactly 1 argument", 1, 2},
      {"`~@x", "compile error: invalid syntax: unquote-splicing not in list context", 1, 2},
      {"`(a (unquote-splicing))",
       "compile error: invalid syntax: unquote-splicing expects 1 argument", 1, 5},
      {"`[(unquote-splicing a b)]",
       "compile error: invalid syntax: unquote-splicing expects 1 argument", 1, 3},
      {"`(unquote)", "compile error: invalid syntax: unquote expects 1 argument", 1, 2},
      {"`(a ~(if))", "compile error: invalid syntax: if requires a test expression", 1, 7},
  });
}

// Prelude-style macros expanded while the collector runs: the expander allocates, arguments are
// heap objects, and under QUORVEX_GC_STRESS every allocation collects.
TEST(Macros, ExpansionWhileCollecting) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, R"(
(defmacro when [c & body] `(if ~c (do ~@body) nil))
(defmacro cond [& clauses]
  (when (not= clauses ())
    `(if ~(nth clauses 0) ~(nth clauses 1) (cond ~@(drop 2 clauses)))))
(defmacro -> [x & forms]
  (if (not= forms ())
    (let [f (nth forms 0)]
      `(-> (~(nth f 0) ~x ~@(drop 1 f)) ~@(drop 1 forms)))
    x))
(defmacro churn [x]
  (loop [i 0 junk nil]
    (if (< i 3000) (recur (+ i 1) [i "junk" junk]) `(quote ~x))))
(defn classify [n] (cond (< n 0) :negative (= n 0) :zero (< n 10) :small :else :large))
)"),
            "<fn>");
  const std::uint64_t before = vm->heap.collections;
  EXPECT_EQ(run(*vm, "(churn [1 \"two\" {:three #{3}} (four)])"),
            "[1 \"two\" {:three #{3}} (four)]");
  EXPECT_GT(vm->heap.collections, before);
  EXPECT_EQ(run(*vm, "[(classify -5) (classify 0) (classify 7) (classify 99)]"),
            "[:negative :zero :small :large]");
  EXPECT_EQ(run(*vm, "(do (defn add [a b] (+ a b)) (-> 5 (- 1) (* 10) (add 2)))"), "42");
  EXPECT_EQ(run(*vm, "(when (cond false 1 true 2) (-> [\"s\" [:x]] (nth 1) (nth 0)))"), ":x");
  expect_machine_at_rest(*vm);
}

} // namespace
} // namespace quorvex
