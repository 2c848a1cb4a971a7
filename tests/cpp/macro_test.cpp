// Macros and syntax-quote as programs: source text in, the printed value or the error text (with
// its location) out, through the whole engine. Also what a failing expander leaves behind, and
// expansion while the collector runs (under QUORVEX_GC_STRESS at every allocation).
#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "value/printer.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace quorvex {
namespace {

// Helpers the programs use for building code, until the collection builtins exist.
constexpr std::string_view kHelpers = R"(
(defn list [& xs] (if xs xs ()))
(defn cons [x xs] (concat [x] xs))
(defn twice [f x] (f (f x)))
)";

std::string outcome(Vm& vm, std::string_view source) {
  std::expected<Value, EngineError> r = vm_eval(vm, source);
  if (!r) return "error: " + to_string(r.error());
  Guarded<std::string> text = print_readable(PrintEnv{vm.heap, vm.interner, vm.types}, *r);
  return text ? *text : "<print fault>";
}

void expect_machine_at_rest(const Vm& vm) {
  EXPECT_EQ(vm.stack.size(), 0u);
  EXPECT_TRUE(vm.frames.empty());
  EXPECT_TRUE(vm.handlers.empty());
  EXPECT_EQ(vm.heap.native_depth, 0u);
  EXPECT_TRUE(vm.runs.empty());
}

std::unique_ptr<Vm> machine_with_helpers() {
  std::unique_ptr<Vm> vm = vm_new_bare();
  std::expected<Value, EngineError> r = vm_eval(*vm, kHelpers);
  EXPECT_TRUE(r) << to_string(r.error());
  return vm;
}

struct Case {
  const char* source;
  const char* expected;
};

// Each program on a fresh machine that has the helpers.
void expect_programs(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = machine_with_helpers();
    EXPECT_EQ(outcome(*vm, c.source), c.expected);
    expect_machine_at_rest(*vm);
  }
}

TEST(Macros, DefinitionAndExpansion) {
  expect_programs({
      {"(defmacro unless [c & body] (list 'if c nil (cons 'do body)))", "nil"},
      {"(defmacro unless [c & body] (list 'if c nil (cons 'do body))) (unless false 1 2)", "2"},
      {"(defmacro unless [c & body] (list 'if c nil (cons 'do body))) (unless true 1 2)", "nil"},
      // Defined and used in one top-level form.
      {"(do (defmacro pair [x] [x x]) (pair 3))", "[3 3]"},
      {"(do (defmacro one [] 1) (defmacro two [] [(one) (one)]) (two))", "[1 1]"},
      // Redefinition replaces the macro for every later form; earlier expansions stay.
      {"(defmacro m [] 1) (def a (m)) (defmacro m [] 2) [a (m)]", "[1 2]"},
      {"(do (defmacro m [] 1) (def a (m)) (defmacro m [] 2) [a (m)])", "[1 2]"},
      // Bodies that name a string literal, quoted data, a regex and functions.
      {"(defmacro bang [x] [x \"!\"]) (bang 1)", "[1 \"!\"]"},
      {"(do (defmacro bang [x] [x \"!\"]) [(bang 1) \"!\"])", "[[1 \"!\"] \"!\"]"},
      {"(do '[1 2] (defmacro v [] '[1 2]) [(v) '[1 2]])", "[[1 2] [1 2]]"},
      {"(do (defmacro re [] (list 'quote [#\"a+\"])) (re))", "[<regex>]"},
      {"(defmacro inc2 [x] (twice (fn [e] (list '+ 1 e)) x)) (inc2 5)", "7"},
      {"(do (defmacro addn [n x] (twice (fn [e] (list '+ n e)) x)) (addn 10 1))", "21"},
      {"(do (defmacro pick [& xs] ((fn ([a] a) ([a b] b)) 1 (nth xs 0))) (pick 7 8))", "7"},
      {"(defmacro second-arg [a b] b) (second-arg (undefined) 4)", "4"},
      // Rest parameters, none given; a docstring; an empty body.
      {"(defmacro all [& xs] (list 'quote xs)) [(all 1 2 3) (all)]", "[(1 2 3) ()]"},
      {"(defmacro m \"Doubles.\" [x] (list '* 2 x)) (m 21)", "42"},
      {"(defmacro nothing [x]) (nothing 1)", "nil"},
      // A macro that uses itself, and a macro whose expansion uses another.
      {"(defmacro my-or [& xs] (if (not= xs ()) (list 'if (nth xs 0) (nth xs 0) (cons 'my-or (drop 1 xs)))"
       " nil)) [(my-or nil false 3 4) (my-or)]",
       "[3 nil]"},
      // The expansion is compiled where the call was: `recur` in tail position still works.
      {"(defmacro again [n] (list 'recur (list '- n 1))) (loop [n 5] (if (= n 0) :done (again n)))",
       ":done"},
      // A local shadowing a macro's name does not hide the macro.
      {"(defmacro k [] 1) (let [k 5] (k))", "1"},
  });
}

// Errors as the host sees them, with the line and column (1-based) of their location.
struct ErrorCase {
  const char* source;
  const char* display;
  int line;
  int column;
};

void expect_errors(std::initializer_list<ErrorCase> cases) {
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = machine_with_helpers();
    std::expected<Value, EngineError> r = vm_eval(*vm, c.source);
    expect_machine_at_rest(*vm);
    ASSERT_FALSE(r);
    EXPECT_EQ(to_string(r.error()), c.display);
    const CompileFailure* f = r.error().as_compile();
    ASSERT_NE(f, nullptr);
    if (c.line == 0) {
      EXPECT_FALSE(f->location.has_value());
      continue;
    }
    ASSERT_TRUE(f->location.has_value());
    EXPECT_EQ(static_cast<int>(f->location->line) + 1, c.line);
    EXPECT_EQ(static_cast<int>(f->location->column) + 1, c.column);
  }
}

TEST(Macros, ErrorsAndTheirLocations) {
  expect_errors({
      {"(defmacro)", "compile error: invalid syntax: defmacro requires a name and parameter vector",
       1, 2},
      {"(defmacro m)", "compile error: invalid syntax: defmacro requires a name and parameter vector",
       1, 2},
      {"(defmacro \"m\" [])", "compile error: invalid syntax: defmacro name must be a symbol", 1,
       11},
      {"(defmacro m \"doc\")",
       "compile error: invalid syntax: defmacro parameters must be a vector", 1, 2},
      {"(defmacro m (x) x)",
       "compile error: invalid syntax: defmacro parameters must be a vector", 1, 2},
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
       "compile error: macro expansion error: expansion deeper than 1000 levels", 2, 2},
      {"(defmacro again [] '(again))\n(macroexpand '(again))",
       "compile error: macro expansion error: expansion deeper than 1000 levels", 2, 1},
      {"(defmacro deep [] (loop [i 0 v nil] (if (< i 100000) (recur (+ i 1) [v]) v)))\n(deep)",
       "compile error: invalid macro result: value nested too deeply", 2, 2},
      {"(macroexpand)", "compile error: invalid syntax: macroexpand expects exactly 1 argument", 1,
       1},
      {"(macroexpand-1 a b)",
       "compile error: invalid syntax: macroexpand expects exactly 1 argument", 1, 1},
  });
}

TEST(Macros, MacroexpandShowsTheExpansionAsData) {
  constexpr std::string_view kMacros = R"(
(defmacro when [c & body] (list 'if c (cons 'do body) nil))
(defmacro when2 [c & body] (cons 'when (cons c body)))
)";
  const Case cases[] = {
      {"(macroexpand '(when x y))", "(if x (do y) nil)"},
      {"(macroexpand (when x y))", "(if x (do y) nil)"},
      {"(macroexpand-1 '(when2 a b))", "(when a b)"},
      {"(macroexpand-1 (when2 a b))", "(when a b)"},
      {"(macroexpand '(when2 a b))", "(if a (do b) nil)"},
      {"(macroexpand '(foo 1))", "(foo 1)"},
      {"(macroexpand-1 '(foo 1))", "(foo 1)"},
      {"(macroexpand 5)", "5"},
      {"(macroexpand '[when x])", "[when x]"},
      // Only the head is expanded, not the forms inside.
      {"(macroexpand '(foo (when x y)))", "(foo (when x y))"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = machine_with_helpers();
    ASSERT_TRUE(vm_eval(*vm, kMacros));
    EXPECT_EQ(outcome(*vm, c.source), c.expected);
  }
}

TEST(Macros, TheExpansionCarriesTheCallSpanOnly) {
  // A runtime error inside the expansion is located at the macro's name in the call, even when
  // the expander returned its argument unchanged.
  std::unique_ptr<Vm> vm = machine_with_helpers();
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
  std::unique_ptr<Vm> vm = machine_with_helpers();
  ASSERT_TRUE(vm_eval(*vm, "(defmacro boom [] (/ 1 0))"));
  EXPECT_EQ(outcome(*vm, "(do (defmacro fine [] :ok) (let [a 1] [a (boom)]))"),
            "error: compile error: macro expansion error: Division by zero");
  expect_machine_at_rest(*vm);
  EXPECT_EQ(outcome(*vm, "[(+ 1 2) (fine)]"), "[3 :ok]");
  EXPECT_EQ(vm->macros.size(), 2u);
  // An expander that fails deep inside nested calls.
  ASSERT_TRUE(vm_eval(*vm, "(defn down [n] (if (= n 0) (/ n 0) [(down (- n 1))]))"));
  ASSERT_TRUE(vm_eval(*vm, "(defmacro deep-fail [] (down 50))"));
  EXPECT_EQ(outcome(*vm, "(deep-fail)"),
            "error: compile error: macro expansion error: Division by zero");
  expect_machine_at_rest(*vm);
  EXPECT_EQ(outcome(*vm, "(fine)"), ":ok");
}

TEST(Macros, DocstringsAreRecordedAsMacroDocumentation) {
  std::unique_ptr<Vm> vm = machine_with_helpers();
  ASSERT_TRUE(vm_eval(*vm, "(defmacro m \"Quotes its argument.\" [x] (list 'quote x))"));
  const DocEntry& doc = vm->docs.at(*vm->interner.get("m"));
  EXPECT_EQ(doc.text, "Quotes its argument.");
  EXPECT_EQ(doc.kind, DocKind::Defmacro);
  ASSERT_TRUE(doc.location.has_value());
  EXPECT_EQ(doc.location->column, 1u);
}

TEST(SyntaxQuote, Templates) {
  expect_programs({
      {"`x", "x"},
      {"`a/b", "a/b"},
      {"`:k", ":k"},
      {"`5", "5"},
      {"`\"s\"", "\"s\""},
      {"`nil", "nil"},
      {"`()", "()"},
      {"[`() 1]", "[() 1]"},
      {"`(1 2)", "(1 2)"},
      {"`[]", "[]"},
      {"`[1 ~(+ 1 1)]", "[1 2]"},
      {"`[~@(list 1 2) 3]", "[1 2 3]"},
      {"`(a ~(+ 1 2) (b ~@[4 5]) [c ~@'(6)])", "(a 3 (b 4 5) [c 6])"},
      {"(let [b 2 c [3 4]] `(a ~b ~@c))", "(a 2 3 4)"},
      // Splicing nil, empty and non-empty sequences; a map is no sequence.
      {"(let [xs [1 2]] `(f ~@xs))", "(f 1 2)"},
      {"(let [xs '(1 2)] `(f ~@xs))", "(f 1 2)"},
      {"(let [xs []] `(f ~@xs))", "(f)"},
      {"(let [xs ()] `(f ~@xs))", "(f)"},
      {"(let [xs nil] `(f ~@xs))", "(f)"},
      {"(let [xs nil] `[~@xs])", "[]"},
      {"(let [xs {:a 1}] `(f ~@xs))", "error: Type error: concat requires sequences"},
      // Maps and sets are taken as they stand.
      {"(let [x 1] `{:a ~x})", "{:a (unquote x)}"},
      {"`#{~@x}", "#{(unquote-splicing x)}"},
      // Generated names: one per base within a template, numbered in order of first use, the same
      // in every template.
      {"`(let [t# 1] t#)", "(let [t__1__auto 1] t__1__auto)"},
      {"`(t# u# t# [u#])", "(t__1__auto u__2__auto t__1__auto [u__2__auto])"},
      {"[`a# `a# `b#]", "[a__1__auto a__1__auto b__1__auto]"},
      {"`ns/x#", "x__1__auto"},
      // Templates build their splices with the globals `concat` and `vec` as they are when the
      // code runs.
      {"(defn concat [a b] (list :joined a b)) `(x ~@[1])", "(:joined (:joined () (x)) [1])"},
      {"(defn vec [x] :vec) `[~@[1]]", ":vec"},
      {"(defn concat [a b] :never) `[1 ~(+ 1 1)]", "[1 2]"},
  });
}

TEST(SyntaxQuote, Errors) {
  expect_errors({
      {"(syntax-quote)",
       "compile error: invalid syntax: syntax-quote expects exactly 1 argument", 1, 2},
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

TEST(SyntaxQuote, MacrosWrittenWithTemplates) {
  expect_programs({
      {"(defmacro unless [c & body] `(if ~c nil (do ~@body))) (unless false 1 2 3)", "3"},
      {"(defmacro my-let1 [n v & body] `(let [~n ~v] ~@body)) (my-let1 a 5 (+ a 1))", "6"},
      {"(defmacro square [x] `(let [v# ~x] (* v# v#))) (let [v 3] (square (+ v 1)))", "16"},
      // Generated names are the same on every expansion, so two macros using the same base see
      // each other's binding: `read-t` reads the t# that `with-t` bound.
      {"(defmacro with-t [v & body] `(let [t# ~v] ~@body)) (defmacro read-t [] `t#)"
       " (with-t 42 (read-t))",
       "42"},
  });
}

// Prelude-style macros expanded while the collector runs: the expander allocates, arguments are
// heap objects, and under QUORVEX_GC_STRESS every allocation collects.
TEST(Macros, ExpansionWhileCollecting) {
  std::unique_ptr<Vm> vm = machine_with_helpers();
  ASSERT_EQ(outcome(*vm, R"(
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
  EXPECT_EQ(outcome(*vm, "(churn [1 \"two\" {:three #{3}} (four)])"),
            "[1 \"two\" {:three #{3}} (four)]");
  EXPECT_GT(vm->heap.collections, before);
  EXPECT_EQ(outcome(*vm, "[(classify -5) (classify 0) (classify 7) (classify 99)]"),
            "[:negative :zero :small :large]");
  EXPECT_EQ(outcome(*vm, "(do (defn add [a b] (+ a b)) (-> 5 (- 1) (* 10) (add 2)))"), "42");
  EXPECT_EQ(outcome(*vm, "(when (cond false 1 true 2) (-> [\"s\" [:x]] (nth 1) (nth 0)))"), ":x");
  expect_machine_at_rest(*vm);
}

} // namespace
} // namespace quorvex
