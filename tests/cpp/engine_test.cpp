// The engine end to end: text in, printed values or error texts out, through the reader, the
// compiler, adoption and the machine. Also the host operations (globals, host functions, host
// handlers, effect ids), the adoption of staging heaps, and what a failure leaves behind.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "builtins/builtin_info.hpp"
#include "engine_cases.hpp"
#include "reader/reader.hpp"
#include "value/hash_cons.hpp"
#include "value/printer.hpp"
#include "value/strings.hpp"
#include "vm/compiler/adoption.hpp"
#include "vm/compiler/compiler.hpp"
#include "vm/compiler/vm_host.hpp"
#include "vm/interface.hpp"

namespace quorvex {
namespace {

using engine_cases::Case;
using engine_cases::expect_cases;
using engine_cases::expect_machine_at_rest;
using engine_cases::readable;
using engine_cases::run;

std::optional<Value> global(const Vm& vm, std::string_view name) {
  std::optional<Spur> spur = vm.interner.get(name);
  if (!spur) return std::nullopt;
  auto it = vm.global_index.find(*spur);
  if (it == vm.global_index.end()) return std::nullopt;
  return vm.globals[it->second];
}

// Prototypes the machine has been given so far, freed ones included.
std::uint64_t prototypes_made(const Vm& vm) {
  std::uint64_t live = 0;
  for (const Vm::PrototypeSlot& slot : vm.prototype_slots)
    live += slot.live ? 1 : 0;
  return vm.prototypes_freed + live;
}

// A full collection from the machine's roots, as an allocation would run it.
void collect_now(Vm& vm) {
  std::vector<HeapKey> roots;
  vm.append_roots(roots);
  heap_collect(vm.heap, std::move(roots));
}

class Engine : public ::testing::Test {
protected:
  std::unique_ptr<Vm> vm = vm_new_bare();
};

// ---------------------------------------------------------------------------------------------
// Values of forms

TEST_F(Engine, Literals) {
  expect_cases({
      {"", "nil"},
      {"  ; only a comment\n", "nil"},
      {"nil", "nil"},
      {"true", "true"},
      {"false", "false"},
      {"42", "42"},
      {"-7", "-7"},
      {"0x1F", "31"},
      {"2r1010", "10"},
      {"1.5", "1.5"},
      {"1.0", "1"},
      {"-0.5", "-0.5"},
      {"1.5e3", "1500"},
      {"1/2", "1/2"},
      {"6/4", "3/2"},
      {"-3/6", "-1/2"},
      {"4/2", "2"},
      {R"("plain")", R"("plain")"},
      {R"("a\"b\\c")", R"("a\"b\\c")"},
      {"\"line\\nbreak\"", "\"line\nbreak\""},
      {"\"\"", "\"\""},
      {":kw", ":kw"},
      {":ns/kw", ":ns/kw"},
      {"'sym", "sym"},
      {"'ns/sym", "ns/sym"},
      {R"(#"a+b")", "<regex>"},
      {"1 2 3", "3"},
  });
}

TEST_F(Engine, Collections) {
  expect_cases({
      {"[]", "[]"},
      {"()", "()"},
      {"{}", "{}"},
      {"#{}", "#{}"},
      {"[1 [2 3] \"x\" :k]", "[1 [2 3] \"x\" :k]"},
      {"{:a 1}", "{:a 1}"},
      {"{:a {:b [1 2]}}", "{:a {:b [1 2]}}"},
      {"#{[1 2]}", "#{[1 2]}"},
      {"[(+ 1 2) (if true :y :n)]", "[3 :y]"},
      {"'(1 (2 3) [4])", "(1 (2 3) [4])"},
      {"'[[1 2] {:a \"x\"}]", "[[1 2] {:a \"x\"}]"},
      {"'#{\"s\"}", "#{\"s\"}"},
      {"'{\"k\" [1]}", "{\"k\" [1]}"},
      {"(quote (a b))", "(a b)"},
      {"{[1 2] :v}", "{[1 2] :v}"},
      {"#{\"a\" \"a\"}", "#{\"a\"}"},
      {"{\"k\" 1 \"k\" 2}", "{\"k\" 2}"},
  });
}

TEST_F(Engine, SpecialForms) {
  expect_cases({
      {"(if true 1 2)", "1"},
      {"(if false 1)", "nil"},
      {"(if nil 1 2 3)", "2"},
      {"(if 0 :zero-is-true :no)", ":zero-is-true"},
      {"(do)", "nil"},
      {"(do 1 2)", "2"},
      {"(let [] )", "nil"},
      {"(let [x 1 y (+ x 1)] y)", "2"},
      {"(let [x 1] (let [x 2] x))", "2"},
      {"(let [x 1] (let [x 2] x) x)", "1"},
      {"(let [_ 1 y 2] y)", "2"},
      {"(def x 1)", "1"},
      {"(def x \"doc\")", "\"doc\""},
      {"(def x \"doc\" 1) x", "1"},
      {"(def x 1 2) x", "1"},
      {"(def x 1) (def x (+ x 1)) x", "2"},
      {"(and)", "true"},
      {"(or)", "nil"},
      {"(and 1 2)", "2"},
      {"(and 1 nil 2)", "nil"},
      {"(or nil false)", "false"},
      {"(or nil 3 4)", "3"},
      {"(quote a)", "a"},
      {"'()", "()"},
      {"(assert (= 1 1))", "nil"},
      {"(assert true \"never shown\")", "nil"},
      {"(loop [i 0 acc 0] (if (< i 3) (recur (+ i 1) (+ acc i)) acc))", "3"},
      {"(loop [i 0] (if (< i 100000) (recur (+ i 1)) i))", "100000"},
  });
}

TEST_F(Engine, Functions) {
  expect_cases({
      {"((fn [] ))", "nil"},
      {"((fn [x] (* x x)) 7)", "49"},
      {"((fn [x & r] [x r]) 1)", "[1 ()]"},
      {"((fn [x & r] [x r]) 1 2 3)", "[1 (2 3)]"},
      {"((fn [& r] r))", "()"},
      {"((fn ([x] :one) ([x y] :two)) 1 2)", ":two"},
      {"((fn ([x] :one) ([x y] :two)) 1)", ":one"},
      {"((fn ([x] :one) ([x & r] r)) 1 2 3)", "(2 3)"},
      {"((fn [x :when (> x 0)] :pos) 5)", ":pos"},
      {"((fn ([x :when (> x 0)] :pos) ([x] :other)) -1)", ":other"},
      {"((fn [x :when (> x 0) ignored] :pos) 1)", ":pos"},
      {"(defn sq [x] (* x x)) (sq 12)", "144"},
      {"(defn sq \"squares\" [x] (* x x)) (sq 3)", "9"},
      {"(defn fact [n] (if (<= n 1) 1 (* n (fact (- n 1))))) (fact 20)", "2432902008176640000"},
      {"(defn count-to [n] (loop [i 0] (if (< i n) (recur (+ i 1)) i))) (count-to 1000)", "1000"},
      {"(defn down [n] (if (= n 0) :done (down (- n 1)))) (down 50000)", ":done"},
      {"(defn f ([] 0) ([x] x) ([x y] (+ x y))) [(f) (f 1) (f 1 2)]", "[0 1 3]"},
      {"(defn sum-to [n acc] (if (= n 0) acc (recur (- n 1) (+ acc n)))) (sum-to 100 0)", "5050"},
      // Captures: a local of the enclosing function, and one two functions out.
      {"(((fn [x] (fn [y] [x y])) 1) 2)", "[1 2]"},
      {"((((fn [x] (fn [y] (fn [z] [x y z]))) 1) 2) 3)", "[1 2 3]"},
      {"(def make (fn [n] (fn [m] (+ n m)))) (def add5 (make 5)) (add5 10)", "15"},
      {"(let [a 1 b 2] ((fn [] ((fn [] [a b])))))", "[1 2]"},
      {"(defn adder [x] (fn ([y] (+ x y)) ([y z] (+ x y z)))) [((adder 1) 2) ((adder 1) 2 3)]",
       "[3 6]"},
      {"(let [v [1 2]] ((fn [i] (v i)) 1))", "2"},
      {"(#(* % 2) 21)", "42"},
      {"(#(+ %1 %2) 1 2)", "3"},
      {"(#(vec %&) 1 2)", "[1 2]"},
  });
}

// The loop remembers the last closure it entered; a later call through the same name or slot
// must still reach whatever is there now.
TEST_F(Engine, RepeatedCallsReachTheCurrentCallee) {
  expect_cases({
      // Redefined between two calls in one run.
      {"(defn f [x] (+ x 1)) (defn g [] (let [a (f 1)] (def f (fn [x] (* x 10))) (+ a (f 2))))"
       " (g)",
       "22"},
      // Closures of one prototype with different captures, alternating.
      {"(defn mk [k] (fn [x] (+ x k))) (let [a (mk 1) b (mk 100)] [(a 1) (b 1) (a 2) (b 2)])",
       "[2 101 3 102]"},
      // The same callee with another argument count, and then a non-plain one.
      {"(defn f [x] x) (defn g [] (f 1) (f 1 2)) (g)",
       "error: Value error: Wrong number of arguments (2), function expects [1]"},
      // A fresh closure per iteration: enough of them that collections run and reuse the slots
      // of the dropped ones under new versions.
      {"(defn run [n] (loop [i 0 acc 0] (if (< i n) (let [h (fn [x] (+ x i))]"
       " (recur (+ i 1) (+ acc (h 1)))) acc))) (run 3000)",
       "4501500"},
      {"(def h (fn [x] (+ x 1))) (defn run [n] (loop [i 0 acc 0] (if (< i n)"
       " (do (def h (if (= 0 (rem i 2)) (fn [x] (+ x 1)) (fn [x] (* x 2))))"
       " (recur (+ i 1) (+ acc (h i)))) acc))) (run 3000)",
       "6750000"},
  });
}

TEST_F(Engine, InlineArithmeticAndComparison) {
  expect_cases({
      {"(+ 1 2)", "3"},
      {"(+ 1 2 3)", "6"},
      {"(- 5)", "-5"},
      {"(- 10 4)", "6"},
      {"(* 2 3.5)", "7"},
      {"(* 6 7)", "42"},
      {"(/ 1 2)", "1/2"},
      {"(/ 6 3)", "2"},
      {"(+ 1/2 1/2)", "1"},
      {"(+ 1/3 0.5)", "0.8333333333333333"},
      {"(/ 1.0 0)", "inf"},
      {"(rem -7 2)", "-1"},
      {"(= 1 1.0)", "true"},
      {"(= 1/2 0.5)", "true"},
      {"(= [1 2] '(1 2))", "true"},
      {"(= \"a\" \"a\")", "true"},
      {"(= {:a [1]} {:a [1]})", "true"},
      {"(not= 1 2)", "true"},
      {"(< 1 2)", "true"},
      {"(< 1/3 0.3)", "false"},
      {"(<= 2 2)", "true"},
      {"(> 1 2)", "false"},
      {"(>= 3 2)", "true"},
      {"(not nil)", "true"},
      {"(not 0)", "false"},
  });
}

// A comparison of two integers that an `if` tests jumps without leaving its boolean on the stack;
// every other operand pair, and a comparison whose value is kept, goes the usual way.
TEST_F(Engine, ComparisonsTestedByIf) {
  expect_cases({
      {"[(if (< 1 2) :y :n) (if (< 2 1) :y :n) (if (<= 2 2) :y :n) (if (<= 3 2) :y :n)]",
       "[:y :n :y :n]"},
      {"[(if (> 2 1) :y :n) (if (> 1 2) :y :n) (if (>= 2 2) :y :n) (if (>= 1 2) :y :n)]",
       "[:y :n :y :n]"},
      {"[(if (= 3 3) :y :n) (if (= 3 4) :y :n) (if (not= 3 4) :y :n) (if (not= 3 3) :y :n)]",
       "[:y :n :y :n]"},
      {"[(if (= 1 1.0) :y :n) (if (= nil nil) :y :n) (if (= :a :b) :y :n) (if (< 1 1.5) :y :n)]",
       "[:y :y :n :y]"},
      {"[(if (= [1] [1]) :y :n) (if (not= \"a\" \"a\") :y :n) (if (< 1/2 1) :y :n)]",
       "[:y :n :y]"},
      {"(let [t (< 1 2) u (= 2 3)] [t u (if t :y :n)])", "[true false :y]"},
      {"(loop [i 0 n 0] (if (< i 10) (recur (+ i 1) (if (= 0 (rem i 2)) (+ n 1) n)) n))", "5"},
      {"(if (< 1 :a) :y :n)", "error: Type error: expected numbers"},
      {"(if (< (* 4611686018427387904 2) 1) :y :n)", "error: Type error: ratio overflow"},
  });
}

// An integer constant added to, subtracted from or compared with an integer computes in place;
// everything else, overflow included, goes the usual way with the usual outcome.
TEST_F(Engine, IntegerConstantsAsSecondOperand) {
  expect_cases({
      {"(let [x 5] [(+ x 1) (- x 2) (+ x -7) (- x -7) (* x 3)])", "[6 3 -2 12 15]"},
      {"(let [x 5] [(= x 5) (not= x 5) (< x 5) (<= x 5) (> x 4) (>= x 6)])",
       "[true false false true true false]"},
      {"(let [x 5] [(if (= x 5) :y :n) (if (< x 5) :y :n) (if (>= x 5) :y :n)])", "[:y :n :y]"},
      {"(let [x 1.5] [(+ x 1) (- x 1) (< x 2) (if (> x 1) :y :n) (= x 1)])",
       "[2.5 0.5 true :y false]"},
      {"(let [x 1/2] [(+ x 1) (< x 1) (= x 1)])", "[3/2 true false]"},
      {"(let [x 5] [(+ x 0.5) (< x 5.5) (= x 5.0) (if (= x :five) :y :n)])",
       "[5.5 true true :n]"},
      {"(let [x 9223372036854775807] (+ x 1))", "error: Type error: ratio overflow"},
      {"(let [x -9223372036854775808] (- x 1))", "error: Type error: ratio overflow"},
      {"(let [x :k] (+ x 1))", "error: Type error: expected numbers"},
      {"(loop [i 0] (if (< i 100) (recur (+ i 1)) i))", "100"},
  });
}

// Locals read one after another, in every order and across captured and global reads.
TEST_F(Engine, LocalsReadInARow) {
  expect_cases({
      {"(let [a 1 b 2 c 3] [a b c c b a a a])", "[1 2 3 3 2 1 1 1]"},
      {"((fn [x y] [(- x y) (- y x) x y]) 10 3)", "[7 -7 10 3]"},
      {"(let [a 1 b 2] (let [c (+ a b)] [c a b c]))", "[3 1 2 3]"},
      {"(let [a 5] ((fn [b] [a b a b]) 6))", "[5 6 5 6]"},
      {"(loop [i 0 j 10 acc 0] (if (< i 3) (recur (+ i 1) (- j i) (+ acc (* i j))) [i j acc]))",
       "[3 7 28]"},
  });
}

TEST_F(Engine, CallsOfKeywordsMapsVectorsAndSets) {
  expect_cases({
      {"(:a {:a 1})", "1"},
      {"(:b {:a 1})", "nil"},
      {"(:b {:a 1} :dflt)", ":dflt"},
      {"(:a 5)", "nil"},
      {"({:a 1} :a)", "1"},
      {"({:a 1} :b 7)", "7"},
      {"({[1 2] :v} '[1 2])", ":v"},
      {"([10 20 30] 1)", "20"},
      {"(#{1 2} 2)", "2"},
      {"(#{1 2} 3)", "nil"},
      {"(let [k :a m {:a 9}] (k m))", "9"},
      // Keys are found by content even when the argument was built at run time.
      {"({[1 2] :v} [1 (+ 1 1)])", ":v"},
      {"({\"a\" 1} (nth \"abc\" 0))", "1"},
      {"({\"a\" nil} (nth \"abc\" 0) :absent)", "nil"},
      {"(#{\"a\"} (nth \"abc\" 0))", "\"a\""},
      {"(#{[1 2]} [1 (+ 1 1)])", "[1 2]"},
      {"(#{[1 2]} [2 1])", "nil"},
  });
}

TEST_F(Engine, BuiltinsCalledByName) {
  expect_cases({
      {"(get {:a 1} :a)", "1"},
      {"(get [1 2 3] 1)", "2"},
      {"(get {:a 1} :b :none)", ":none"},
      {"(nth [1 2 3] 1)", "2"},
      {"(concat [1] '(2) [3])", "(1 2 3)"},
      {"(vec '(1 2))", "[1 2]"},
      {"(drop 1 [1 2 3])", "[2 3]"},
      {"(let [f get] (f {:k 3} :k))", "3"},
  });
}

// ---------------------------------------------------------------------------------------------
// Error texts of each layer

struct ErrorCase {
  const char* source;
  EngineError::Kind kind;
  const char* text;
};

TEST_F(Engine, ErrorTextsOfEachLayer) {
  using K = EngineError::Kind;
  const ErrorCase cases[] = {
      {"(", K::Core, "Reader error: Unclosed list"},
      {"(def a 1) (", K::Core, "Reader error: Unclosed list"},
      {"(if)", K::Compile, "compile error: invalid syntax: if requires a test expression"},
      {"(let x 1)", K::Compile, "compile error: invalid syntax: let bindings must be a vector"},
      {"(let [x] x)", K::Compile,
       "compile error: invalid syntax: let bindings must have even count"},
      {"(quote)", K::Compile, "compile error: invalid syntax: quote expects exactly 1 argument"},
      {"(recur 1)", K::Compile, "compile error: invalid syntax: recur outside of loop"},
      {"(loop [i 0] (+ 1 (recur i)))", K::Compile,
       "compile error: invalid syntax: recur must be in tail position"},
      {"(loop [i 0] (recur))", K::Compile,
       "compile error: invalid syntax: recur arity mismatch: expected 1, got 0"},
      {"(fn)", K::Compile, "compile error: invalid syntax: fn requires parameters"},
      {"(fn [x x] x)", K::Compile, "compile error: duplicate parameter: x"},
      {"(def 1 2)", K::Compile, "compile error: invalid syntax: def name must be a symbol"},
      {"nope", K::Runtime, "Undefined variable: nope"},
      {"(nope 1)", K::Runtime, "Undefined variable: nope"},
      {"(/ 1 0)", K::Runtime, "Division by zero"},
      {"(1 2)", K::Runtime, "Value is not callable"},
      {"(\"s\" 1)", K::Runtime, "Value is not callable"},
      {"([10 20 30] 5)", K::Runtime, "Index 5 out of bounds for length 3"},
      {"(assert false)", K::Runtime, "Assertion failed: assertion failed"},
      {"(assert (= 1 2) \"boom\")", K::Runtime, "Assertion failed: boom"},
      {"((fn [x :when (> x 0)] :pos) -1)", K::Runtime, "No matching clause"},
      {"(< 1 :a)", K::Runtime, "Type error: expected numbers"},
      {"(console/println \"x\")", K::Runtime, "Unhandled effect: console"},
      // Calls other than `match` clauses take a frame each; past the limit the run ends in order.
      {"(defn down [n] (if (= n 0) :done (down (- n 1)))) (down 200000)", K::Runtime,
       "Stack overflow"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> fresh = vm_new_bare();
    std::expected<Value, EngineError> r = vm_eval(*fresh, c.source);
    ASSERT_FALSE(r.has_value()) << readable(*fresh, *r);
    EXPECT_EQ(r.error().kind(), c.kind);
    EXPECT_EQ(to_string(r.error()), c.text);
    std::string appended = "prefix: ";
    format_engine_error(r.error(), appended);
    EXPECT_EQ(appended, std::string("prefix: ") + c.text);
    expect_machine_at_rest(*fresh);
  }
}

TEST_F(Engine, ErrorsKeepTheirLocationsWithoutPrintingThem) {
  std::expected<Value, EngineError> r = vm_eval(*vm, "1\n  (if)");
  ASSERT_FALSE(r);
  const CompileFailure* failure = r.error().as_compile();
  ASSERT_NE(failure, nullptr);
  ASSERT_TRUE(failure->location.has_value());
  EXPECT_EQ(failure->location->line, 1u);
  EXPECT_EQ(vm->interner.resolve(failure->location->source), "<eval>");

  r = vm_eval(*vm, "(defn boom [] (/ 1 0))\n(boom)");
  ASSERT_FALSE(r);
  const RuntimeError* runtime = r.error().as_runtime();
  ASSERT_NE(runtime, nullptr);
  ASSERT_TRUE(runtime->location.has_value());
  EXPECT_EQ(runtime->location->line, 0u);
  EXPECT_EQ(to_string(r.error()), "Division by zero");

  Spur custom = vm->interner.get_or_intern("<notebook>");
  r = eval_source(*vm, "\n\n)", custom);
  ASSERT_FALSE(r);
  ASSERT_NE(r.error().as_core(), nullptr);
  ASSERT_TRUE(r.error().as_core()->location.has_value());
  EXPECT_EQ(r.error().as_core()->location->source, custom);
}

// ---------------------------------------------------------------------------------------------
// Threads with small native stacks

// What `run` answers for each source, evaluated in order on a new thread whose native stack has
// `bytes` (0: the default size). The stack is ours, not one the thread library might hand out
// again from an earlier, larger thread.
std::vector<std::string> run_on_thread(Vm& vm, std::size_t bytes,
                                       const std::vector<std::string>& sources) {
  struct Job {
    Vm* vm;
    const std::vector<std::string>* sources;
    std::vector<std::string> answers;
  } job{&vm, &sources, {}};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  std::vector<std::byte> stack;
  if (bytes != 0) {
    constexpr std::size_t kPage = 4096;
    stack.resize(bytes + kPage);
    void* start = stack.data();
    std::size_t space = stack.size();
    EXPECT_NE(std::align(kPage, bytes, start, space), nullptr);
    EXPECT_EQ(pthread_attr_setstack(&attr, start, bytes), 0);
  }
  pthread_t thread;
  const int created = pthread_create(
      &thread, &attr,
      [](void* arg) -> void* {
        Job& j = *static_cast<Job*>(arg);
        for (const std::string& source : *j.sources)
          j.answers.push_back(run(*j.vm, source));
        return nullptr;
      },
      &job);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(created, 0);
  if (created == 0) pthread_join(thread, nullptr);
  return job.answers;
}

TEST_F(Engine, SmallStacksEvaluateSmallFormsAndStopDeepOnesWithTheNestingError) {
  const std::string deep_text = std::string(100000, '[') + std::string(100000, ']');
  const Case cases[] = {
      {"1", "1"},
      {"(+ 1 2)", "3"},
      {"(let [f (fn [x] [x x])] (f {:a #{1}}))", "[{:a #{1}} {:a #{1}}]"},
      {"(defn count-down [n] (if (= n 0) :done (count-down (- n 1)))) (count-down 1000)", ":done"},
      {deep_text.c_str(), "error: Reader error: Nesting too deep"},
      {"(defn nest [n] (if (= n 0) 0 (first (map (fn [x] (+ x (nest (- n 1)))) [1])))) "
       "(nest 100000)",
       "error: Stack overflow"},
  };
  std::vector<std::string> sources;
  std::vector<std::string> expected;
  for (const Case& c : cases) {
    sources.emplace_back(c.source);
    expected.emplace_back(c.expected);
  }
  for (const std::size_t bytes : {std::size_t{0}, std::size_t{256 * 1024}}) {
    SCOPED_TRACE(bytes);
    std::unique_ptr<Vm> fresh = vm_new_bare();
    EXPECT_EQ(run_on_thread(*fresh, bytes, sources), expected);
    expect_machine_at_rest(*fresh);
  }
  // Too small to start on: every evaluation says so, whatever it holds, and leaves no trace.
  std::unique_ptr<Vm> fresh = vm_new_bare();
  const std::vector<std::string> refused(sources.size(), "error: not enough native stack");
  EXPECT_EQ(run_on_thread(*fresh, 64 * 1024, sources), refused);
  expect_machine_at_rest(*fresh);
  EXPECT_EQ(run(*fresh, "(+ 1 2)"), "3");
}

// ---------------------------------------------------------------------------------------------
// Evaluation form by form

TEST_F(Engine, EarlierFormsStayWhenALaterFormFailsToRun) {
  EXPECT_EQ(run(*vm, "(def a 1) (undefined-thing) (def b 2)"),
            "error: Undefined variable: undefined-thing");
  EXPECT_EQ(run(*vm, "a"), "1");
  EXPECT_EQ(run(*vm, "b"), "error: Undefined variable: b");
}

TEST_F(Engine, AReadErrorRunsNothing) {
  EXPECT_EQ(run(*vm, "(def a 1) ("), "error: Reader error: Unclosed list");
  EXPECT_EQ(run(*vm, "a"), "error: Undefined variable: a");
}

TEST_F(Engine, ACompileErrorStopsBeforeLaterFormsAreCompiled) {
  const std::uint64_t prototypes = prototypes_made(*vm);
  EXPECT_EQ(run(*vm, "(def a 1) (if) (def c \"documented\" 3)"),
            "error: compile error: invalid syntax: if requires a test expression");
  // A compiled third form would have left its documentation entry and its prototype.
  EXPECT_FALSE(vm->docs.contains(vm->interner.get_or_intern("c")));
  EXPECT_EQ(prototypes_made(*vm), prototypes + 1);
  EXPECT_EQ(run(*vm, "a"), "1");
  EXPECT_EQ(run(*vm, "c"), "error: Undefined variable: c");
}

TEST_F(Engine, DocumentationOfDefinitionsIsMerged) {
  ASSERT_EQ(run(*vm, "(def x \"first\" 1) (defn f \"squares\" [n] (* n n))"), "<fn>");
  const Spur x = vm->interner.get_or_intern("x");
  const Spur f = vm->interner.get_or_intern("f");
  ASSERT_TRUE(vm->docs.contains(x));
  ASSERT_TRUE(vm->docs.contains(f));
  EXPECT_EQ(vm->docs[x].text, "first");
  EXPECT_EQ(vm->docs[f].text, "squares");
  ASSERT_EQ(run(*vm, "(def x \"second\" 2)"), "2");
  EXPECT_EQ(vm->docs[x].text, "second");
  // A form that fails to compile merges nothing.
  ASSERT_EQ(run(*vm, "(do (def x \"third\" 3) (if))").rfind("error: compile error", 0), 0u);
  EXPECT_EQ(vm->docs[x].text, "second");
}

TEST_F(Engine, DefinitionsMadeBeforeARuntimeErrorInTheSameFormStay) {
  EXPECT_EQ(run(*vm, "(do (def a 1) (/ a 0) (def b 2))"), "error: Division by zero");
  EXPECT_EQ(run(*vm, "[a (if (= 1 1) :ok)]"), "[1 :ok]");
  EXPECT_EQ(run(*vm, "b"), "error: Undefined variable: b");
}

TEST_F(Engine, FunctionsMayCallGlobalsDefinedAfterThem) {
  EXPECT_EQ(run(*vm, "(defn caller [] (later 2))"), "<fn>");
  EXPECT_EQ(run(*vm, "(caller)"), "error: Undefined variable: later");
  EXPECT_EQ(run(*vm, "(defn later [x] (* x 10)) (caller)"), "20");
}

namespace {

// How many words of the machine's code read `name` by name, and how many read its global slot.
std::pair<int, int> reads_of(const Vm& vm, std::string_view name) {
  const Spur spur = *vm.interner.get(name);
  int by_name = 0;
  int by_index = 0;
  for (const Prototype& p : vm.prototypes) {
    for (Instruction ins : p.code) {
      if (ins.op() == Opcode::GetGlobal && ins.ab() < p.constants.size() &&
          p.constants[ins.ab()].tag == Tag::Symbol && p.constants[ins.ab()].as.spur == spur)
        ++by_name;
      if (ins.op() == Opcode::GetGlobalIndexed) {
        const std::optional<std::uint32_t> slot = vm.find_global(spur);
        auto reserved = vm.reserved_globals.find(spur);
        if ((slot && *slot == ins.ab()) ||
            (reserved != vm.reserved_globals.end() && reserved->second == ins.ab()))
          ++by_index;
      }
    }
  }
  return {by_name, by_index};
}

} // namespace

// A qualified symbol reads the global of its name; a failed read names it as it was written, by
// name, through a reserved slot, and inside a function.
TEST_F(Engine, QualifiedReadsNameTheGlobalAsWritten) {
  struct Step {
    const char* source;
    const char* expected;
  };
  const Step steps[] = {
      {"foo/bar", "error: Undefined variable: foo/bar"},
      {"[1 a.b/c]", "error: Undefined variable: a.b/c"},
      {"(defn reader [] [x/later y/later])", "<fn>"},
      {"(reader)", "error: Undefined variable: x/later"},
      {"later", "error: Undefined variable: later"},
      {"(fn [] z/nope)", "<fn>"},
      {"((fn [] z/nope))", "error: Undefined variable: z/nope"},
      {"(def later 5) (def bar 2)", "2"},
      {"[(reader) foo/bar q/later later]", "[[5 5] 2 5 5]"},
      {"(let [v 1] q/v)", "1"},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.source);
    EXPECT_EQ(run(*vm, step.source), step.expected);
  }
}

TEST_F(Engine, ReadsOfNamesNotYetDefinedUseAReservedSlotThatReadsAsUndefined) {
  ASSERT_EQ(run(*vm, "(defn caller [] [later (later)])"), "<fn>");
  EXPECT_EQ(reads_of(*vm, "later"), std::make_pair(0, 2));
  // Reserved, the name is still no global: every way of reading it says it is undefined.
  EXPECT_EQ(global(*vm, "later"), std::nullopt);
  EXPECT_EQ(run(*vm, "(caller)"), "error: Undefined variable: later");
  EXPECT_EQ(run(*vm, "later"), "error: Undefined variable: later");
  EXPECT_EQ(run(*vm, "(later)"), "error: Undefined variable: later");
  EXPECT_EQ(effect_id(*vm, "later"), std::nullopt);
  std::expected<Value, EngineError> r = vm_eval(*vm, "\n(caller)");
  ASSERT_FALSE(r);
  ASSERT_NE(r.error().as_runtime(), nullptr);
  EXPECT_TRUE(r.error().as_runtime()->location.has_value());
  // The definition fills the reserved slot: reads by index and by name see the same value.
  EXPECT_EQ(run(*vm, "(def later (fn [] :called))"), "<fn>");
  EXPECT_EQ(vm->reserved_globals.size(), 0u);
  EXPECT_EQ(run(*vm, "[(caller) later]"), "[[<fn> :called] <fn>]");
  EXPECT_EQ(run(*vm, "(def later nil) [(caller) later]").rfind("error: ", 0), 0u);
  EXPECT_EQ(run(*vm, "(defn caller2 [] later) [(caller2) later]"), "[nil nil]");
  expect_machine_at_rest(*vm);
}

TEST_F(Engine, ReservedSlotsWithinOneFormAndAcrossEngines) {
  EXPECT_EQ(run(*vm, "(do (defn ping [n] (if (= n 0) :done (pong (- n 1))))"
                     "    (defn pong [n] (ping n))"
                     "    (ping 5))"),
            ":done");
  EXPECT_EQ(reads_of(*vm, "pong"), std::make_pair(0, 1));
  EXPECT_EQ(run(*vm, "(defn fact [n] (if (< n 2) 1 (* n (fact (- n 1))))) (fact 20)"),
            "2432902008176640000");
  EXPECT_EQ(reads_of(*vm, "fact"), std::make_pair(0, 2));
  // A definition that did not run leaves the slot reserved and undefined.
  EXPECT_EQ(run(*vm, "(do (defn uses [] (never)) (/ 1 0) (def never 1))"),
            "error: Division by zero");
  EXPECT_EQ(run(*vm, "(uses)"), "error: Undefined variable: never");
  EXPECT_EQ(run(*vm, "never"), "error: Undefined variable: never");
  // Another engine has slots of its own.
  std::unique_ptr<Vm> other = vm_new_bare();
  EXPECT_EQ(run(*other, "(defn uses [] never)"), "<fn>");
  EXPECT_EQ(run(*vm, "(def never 7) (uses)").rfind("error: ", 0), 0u);
  EXPECT_EQ(run(*other, "(uses)"), "error: Undefined variable: never");
  EXPECT_EQ(run(*other, "(def never 8) (uses)"), "8");
  EXPECT_EQ(run(*vm, "never"), "7");
  // A host definition fills the slot too.
  ASSERT_EQ(run(*vm, "(defn host-read [] from-host)"), "<fn>");
  define_global_by_name(*vm, "from-host", Value::from_int(3));
  EXPECT_EQ(run(*vm, "[(host-read) from-host]"), "[3 3]");
  expect_machine_at_rest(*vm);
  expect_machine_at_rest(*other);
}

TEST_F(Engine, TheMachineIsCleanAfterEveryKindOfFailure) {
  ASSERT_EQ(run(*vm, "(defn deep [n] (if (= n 0) (missing) [(deep (- n 1))]))"), "<fn>");
  const char* failing[] = {
      "(deep 300)",
      "(",
      "(if)",
      "((let [x 1] (fn [y] (deep 50))) 2)",
      "((fn [] (deep 10)))",
      "(console/print 1)",
      "(loop [i 0] (if (< i 10) (recur (+ i 1)) (deep i)))",
      "(defn down [n] (if (= n 0) :done [(down (- n 1))])) (down 200000)",
  };
  for (const char* source : failing) {
    SCOPED_TRACE(source);
    EXPECT_EQ(run(*vm, source).rfind("error: ", 0), 0u);
    expect_machine_at_rest(*vm);
    EXPECT_EQ(run(*vm, "(deep 0)"), "error: Undefined variable: missing");
    EXPECT_EQ(run(*vm, "(+ 40 2)"), "42");
  }
}

TEST_F(Engine, AFailedCompilationLeavesNoObjectOrPrototypeBehind) {
  ASSERT_EQ(run(*vm, "1"), "1");
  // The form's own prototype goes with the next collection, which the next form may run first.
  collect_now(*vm);
  const std::uint32_t live = vm->heap.live_count;
  const std::size_t slots = vm->heap.slots.size();
  const std::size_t prototypes = vm->prototypes.size();
  // Strings, quoted data and a closure template are staged before the failure.
  EXPECT_EQ(run(*vm, "(do \"text\" '[[1 2] {:a \"x\"}] (fn ([x] x) ([x y] y)) (if))")
                .rfind("error: compile error", 0),
            0u);
  EXPECT_EQ(vm->heap.live_count, live);
  EXPECT_EQ(vm->heap.slots.size(), slots);
  EXPECT_EQ(vm->prototypes.size(), prototypes);
}

// A macro defined before the compilation of its form fails was installed while compiling; it
// stays, and so does every macro the machine had.
TEST_F(Engine, MacrosSurviveAFormThatFailsToCompile) {
  std::expected<Value, EngineError> defined = vm_eval(*vm, "(defmacro ident [x] x)");
  ASSERT_TRUE(defined) << to_string(defined.error());
  EXPECT_EQ(run(*vm, "(do (defmacro later [x] [x x]) (if))"),
            "error: compile error: invalid syntax: if requires a test expression");
  EXPECT_EQ(run(*vm, "[(ident 3) (later 4)]"), "[3 [4 4]]");
  EXPECT_EQ(vm->macros.size(), 2u);
  EXPECT_EQ(vm->macro_roots.size(), 2u);
}

class ThrowingHostFunction final : public HostCallable {
public:
  NativeResult call(Vm&, std::span<const Value>) override { throw InternalError("host fault"); }
};

// An InternalError is the host's to report; the machine it went through must stay usable.
TEST_F(Engine, AnInternalErrorThrownThroughARunLeavesTheMachineUsable) {
  ASSERT_TRUE(define_host_function(*vm, "explode", std::make_shared<ThrowingHostFunction>()));
  ASSERT_EQ(run(*vm, "(defn wrap [n] (if (= n 0) [(explode)] [(wrap (- n 1))]))"), "<fn>");
  EXPECT_THROW(vm_eval(*vm, "(let [a 1] (wrap 20))"), InternalError);
  expect_machine_at_rest(*vm);
  EXPECT_EQ(run(*vm, "(+ 1 2)"), "3");
  EXPECT_EQ(run(*vm, "(wrap -1)"), "error: Stack overflow");
  expect_machine_at_rest(*vm);
}

// The macro table goes to the compiler for each form and must come back on every outcome, with
// the macro roots rebuilt from it: a macro closure referenced by nothing else must survive a
// collection.
TEST_F(Engine, TheMacroTableComesBackOnEveryOutcome) {
  ASSERT_EQ(run(*vm, "(def expander (fn [form] form))"), "<fn>");
  const Value closure = *global(*vm, "expander");
  ASSERT_EQ(closure.tag, Tag::Object);
  const Spur name = vm->interner.get_or_intern("my-macro");
  vm->macros.emplace(name, closure.as.key);
  ASSERT_EQ(run(*vm, "(def expander nil)"), "nil");

  const char* outcomes[] = {"(+ 1 2)", "(if)", "(", "(/ 1 0)", "(my-macro 5)"};
  for (const char* source : outcomes) {
    SCOPED_TRACE(source);
    run(*vm, source);
    ASSERT_EQ(vm->macros.size(), 1u);
    EXPECT_EQ(vm->macros.at(name), closure.as.key);
    ASSERT_EQ(vm->macro_roots.size(), 1u);
    EXPECT_EQ(vm->macro_roots[0], closure.as.key);
    std::vector<HeapKey> roots;
    vm->append_roots(roots);
    heap_collect(vm->heap, std::move(roots));
    EXPECT_TRUE(heap_is_live(vm->heap, closure.as.key));
  }
}

// ---------------------------------------------------------------------------------------------
// Adoption through evaluation

// A map literal's key is canonicalised when the map is built; a quoted key in a later form is
// hash-consed in that form's staging heap. Adoption must map it to the machine's canonical twin,
// or the lookup, which compares canonical keys by identity, misses.
TEST_F(Engine, LoopsThatBuildLiteralsCollectTheirGarbage) {
  // Every literal instruction is an allocation that may collect, so dropped literals do not pile
  // up in a long loop.
  const char* programs[] = {
      "(loop [i 0 v nil] (if (< i 200000) (recur (+ i 1) [i (+ i 1)]) (if v 1 0)))",
      "(loop [i 0 v nil] (if (< i 200000) (recur (+ i 1) ((fn [& xs] xs) i i)) (if v 1 0)))",
      "(loop [i 0 v nil] (if (< i 200000) (recur (+ i 1) {:i i}) (if v 1 0)))",
      "(loop [i 0 v nil] (if (< i 200000) (recur (+ i 1) #{i}) (if v 1 0)))",
  };
  for (const char* program : programs) {
    auto r = vm_eval(*vm, program);
    ASSERT_TRUE(r) << program << ": " << to_string(r.error());
    EXPECT_EQ(r->tag, Tag::Int) << program;
    EXPECT_LT(vm->heap.live_count, 100000u) << program;
  }
}

TEST_F(Engine, EqualKeysFromDifferentFormsAreOneKey) {
  const Case cases[] = {
      {"(def m {[1 2] :a}) (get m '[1 2])", ":a"},
      {"(def m '{[1 2] :a}) (get m '[1 2])", ":a"},
      {"(def m {'(1 [2]) :a}) (get m '(1 [2]))", ":a"},
      {"(def m {#{1 \"s\"} :a}) (get m '#{\"s\" 1})", ":a"},
      {"(def m {{:k [1]} :a}) (get m '{:k [1]})", ":a"},
      {"(def m {\"k\" :a}) (get m \"k\")", ":a"},
      {"(def s #{[1 2]}) (get s '[1 2])", "[1 2]"},
      {"(def m {[1 2] :a}) (m '[1 2])", ":a"},
      {"(def m {[1 2] :a}) ('[1 2] 0)", "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> fresh = vm_new_bare();
    std::expected<std::vector<Form>, CoreError> forms = read_all(c.source);
    ASSERT_TRUE(forms) << c.source;
    std::string last;
    for (const Form& form : *forms) {
      std::expected<Value, EngineError> r = compile_and_run(*fresh, form);
      ASSERT_TRUE(r) << to_string(r.error());
      last = readable(*fresh, *r);
    }
    EXPECT_EQ(last, c.expected);
  }
}

TEST_F(Engine, QuotedConstantsSurviveCollectionsAndLaterForms) {
  ASSERT_EQ(
      run(*vm, "(def q '[[1 2] {:a \"x\"} #{\"s\"} \"long string past the inline size\" [3]])"),
      "[[1 2] {:a \"x\"} #{\"s\"} \"long string past the inline size\" [3]]");
  for (int i = 0; i < 50; ++i) {
    ASSERT_EQ(run(*vm, "(def junk [\"a\" [1 2] {:k \"v\"}]) (def q2 '[[1 2] \"x\"]) 1"), "1");
    std::vector<HeapKey> roots;
    vm->append_roots(roots);
    heap_collect(vm->heap, std::move(roots));
  }
  EXPECT_EQ(run(*vm, "q"), "[[1 2] {:a \"x\"} #{\"s\"} \"long string past the inline size\" [3]]");
  EXPECT_EQ(run(*vm, "(= (q 0) (q2 0))"), "true");
  EXPECT_EQ(run(*vm, "(get (q 1) :a)"), "\"x\"");
}

// Prototype indices in closure words and closure templates are rebased by the machine's
// prototype count, which grows with every form.
TEST_F(Engine, FunctionsDefinedAfterManyFormsRunTheirOwnClauses) {
  for (int i = 0; i < 300; ++i) {
    const std::string src = "(defn f" + std::to_string(i) + " ([x] [" + std::to_string(i) +
                            " x]) ([x y] [:two " + std::to_string(i) + "]))";
    ASSERT_EQ(run(*vm, src), "<fn>");
  }
  EXPECT_EQ(run(*vm, "(f0 :a)"), "[0 :a]");
  EXPECT_EQ(run(*vm, "(f150 :a :b)"), "[:two 150]");
  EXPECT_EQ(run(*vm, "(f299 :z)"), "[299 :z]");
  EXPECT_EQ(run(*vm, "((fn [a] (fn [b] [a b])) 1)"), "<fn>");
}

// Prototypes of forms that have run are freed by the next collection and their positions reused;
// everything that can still run one keeps it: a closure, a closure template, a clause guard, a
// macro expander, a continuation's saved frames, a global holding an old definition. Each case
// defines something, then many forms run and collect (and reuse the freed positions with code of
// their own) before it is used.
TEST_F(Engine, CodeThatCanStillRunOutlivesTheFormsThatMadeIt) {
  struct Reach {
    const char* setup;
    const char* later;
    const char* answer;
  };
  const Reach cases[] = {
      // A closure returned from a form whose own code is gone.
      {"(def adder ((fn [n] (fn [x] (+ x n))) 5))", "(adder 1)", "6"},
      // Three levels: only the innermost function can still run.
      {"(def c3 (((fn [a] (fn [b] (fn [c] [a b c]))) 1) 2))", "(c3 3)", "[1 2 3]"},
      // A redefined function: the old one is still held by another global.
      {"(defn f [x] [:old x]) (def g f) (defn f [x] [:new x])", "[(g 1) (f 1)]",
       "[[:old 1] [:new 1]]"},
      // Clauses with a guard and patterns, made inside another function (a closure template).
      {"(def m ((fn [] (fn ([[a b] :when (> a b)] [:gt a]) ([x] [:one x]) ([x y] [:two x y])))))",
       "[(m [2 1]) (m [1 2]) (m 1 2)]", "[[:gt 2] [:one [1 2]] [:two 1 2]]"},
      // A closure kept only inside an atom's map.
      {"(def box (atom {:f (fn [x] (* x 10))}))", "((:f (deref box)) 4)", "40"},
      // A macro whose expander makes a function of its own while expanding.
      {"(defmacro twice [e] ((fn [x] (list 'do x x)) e))", "(twice (+ 2 3))", "5"},
      // A continuation whose saved frame is the only holder of a redefined function's code: the
      // clause drops the function and collects many times before resuming it.
      {"(def Ask (effect (ask))) (defn asker [] (+ 100 (Ask/ask)))"
       " (defn churn [] (reduce + (map (fn [i] (count [i i])) (range 20000))))",
       "(with-handler [Ask] :handle (ask [k] (do (def asker nil) (churn) (k 10))) (+ 1 (asker)))",
       "111"},
  };
  for (const Reach& c : cases) {
    SCOPED_TRACE(c.setup);
    std::unique_ptr<Vm> fresh = vm_new_bare();
    const std::string defined = run(*fresh, c.setup);
    ASSERT_NE(defined.rfind("error", 0), 0u) << defined;
    const std::size_t table = fresh->prototypes.size();
    const std::uint64_t freed = fresh->prototypes_freed;
    for (int round = 0; round < 40; ++round) {
      const std::string n = std::to_string(round);
      ASSERT_EQ(run(*fresh, "((fn [a] (count [a (fn [b] [b " + n + "])])) " + n + ")"), "2");
      ASSERT_EQ(run(*fresh, "(do (def junk (vec (range 300))) (count junk))"), "300");
      if (round % 8 == 0) collect_now(*fresh);
    }
    collect_now(*fresh);
    // The churn's code was freed and its positions reused: the table did not grow with it.
    EXPECT_GT(fresh->prototypes_freed, freed + 80);
    EXPECT_LE(fresh->prototypes.size(), table + 4);
    EXPECT_EQ(run(*fresh, c.later), c.answer);
    expect_machine_at_rest(*fresh);
  }
}

// Past 65,536 prototypes a closure word's 16-bit operand cannot name its prototype, and past
// 65,536 globals an indexed global read cannot name its slot: both must keep working.
TEST_F(Engine, ManyEvaluationsPastTheSixteenBitIndices) {
  // Each `def` form adds one global and allocates nothing at run time, which keeps this
  // affordable under the stress collector; its prototype is freed once it has run.
  const int count = 66'000;
  std::string src;
  for (int i = 0; i < count; ++i) {
    src = "(def g" + std::to_string(i) + " " + std::to_string(i) + ")";
    std::expected<Value, EngineError> r = vm_eval(*vm, src);
    ASSERT_TRUE(r) << src << ": " << to_string(r.error());
    ASSERT_EQ(r->tag, Tag::Int);
    ASSERT_EQ(r->as.integer, i);
  }
  ASSERT_GT(vm->globals.size(), 65'536u);
  // Functions that are never called keep their prototypes alive through the one that could make
  // them: 66 forms of 1,000 each fill the table past 16 bits with one closure per form.
  for (int group = 0; group < 66; ++group) {
    std::string fns;
    for (int i = 0; i < 1000; ++i)
      fns += " (fn [] " + std::to_string(group * 1000 + i) + ")";
    const std::string def = "(def keep" + std::to_string(group) + " (fn [] [" + fns + "]))";
    ASSERT_EQ(run(*vm, def), "<fn>");
  }
  collect_now(*vm);
  ASSERT_GT(vm->prototypes.size(), 65'536u);
  // The positions the forms' own prototypes left are reused first; with them taken, what
  // follows lands past 16 bits.
  std::string filler;
  for (std::size_t i = 0; i < vm->free_prototypes.size(); ++i)
    filler += " (fn [] " + std::to_string(i) + ")";
  ASSERT_EQ(run(*vm, "(def filler (fn [] [" + filler + "]))"), "<fn>");
  ASSERT_TRUE(vm->free_prototypes.empty());
  EXPECT_EQ(run(*vm, "[g0 g65535 g65999]"), "[0 65535 65999]");
  EXPECT_EQ(run(*vm, "(defn late [x] (* x 2)) (late 21)"), "42");
  const Closure* late = heap_get_as<Closure>(vm->heap, *global(*vm, "late"));
  ASSERT_NE(late, nullptr);
  EXPECT_GT(late->function[0].body_prototype, 0xFFFFu);
  EXPECT_EQ(run(*vm, "(((keep65) 999) )"), "65999");
  EXPECT_EQ(run(*vm, "(defn multi ([x] [:one x]) ([x y] [:two y])) [(multi 1) (multi 1 2)]"),
            "[[:one 1] [:two 2]]");
  EXPECT_EQ(run(*vm, "((((fn [x] (fn [y] (fn [z] [x y z g65999]))) 1) 2) 3)"), "[1 2 3 65999]");
  EXPECT_EQ(run(*vm, "(def after-wrap (fn [& r] r)) (after-wrap 1 2)"), "(1 2)");
  EXPECT_EQ(run(*vm, "(def g0 :rebound) [g0 (late g65999)]"), "[:rebound 131998]");
  expect_machine_at_rest(*vm);
}

// ---------------------------------------------------------------------------------------------
// Host operations

TEST_F(Engine, ABareEngineHasNoMacrosHandlersOrReduceTag) {
  EXPECT_TRUE(vm->macros.empty());
  EXPECT_TRUE(vm->macro_roots.empty());
  EXPECT_TRUE(vm->host_handlers.empty());
  EXPECT_TRUE(vm->host_functions.empty());
  EXPECT_FALSE(vm->reduce_signal_type.has_value());
  EXPECT_EQ(run(*vm, "[exn console random]"),
            "[<effect #4294901761> <effect #4294901762> <effect #4294901764>]");
}

TEST_F(Engine, DefineGlobalByNameBindsAndOverwrites) {
  define_global_by_name(*vm, "answer", Value::from_int(42));
  EXPECT_EQ(run(*vm, "answer"), "42");
  ASSERT_EQ(run(*vm, "(defn read-answer [] answer)"), "<fn>");
  define_global_by_name(*vm, "answer", Value::keyword(vm->interner.get_or_intern("changed")));
  EXPECT_EQ(run(*vm, "(read-answer)"), ":changed");
  // An effect's global is overwritten like any other.
  define_global_by_name(*vm, "console", Value::nil());
  EXPECT_EQ(effect_id(*vm, "console"), std::nullopt);
}

class SumHostFunction final : public HostCallable {
public:
  explicit SumHostFunction(std::int64_t offset) : offset_(offset) {}
  NativeResult call(Vm&, std::span<const Value> args) override {
    std::int64_t sum = offset_;
    for (const Value& v : args) {
      if (v.tag != Tag::Int) return std::unexpected(VmError::type_error("expected integers"));
      sum += v.as.integer;
    }
    return Value::from_int(sum);
  }

private:
  std::int64_t offset_;
};

TEST_F(Engine, HostFunctionsTakeTheIndicesAfterTheBuiltins) {
  std::expected<std::uint32_t, EngineError> first =
      define_host_function(*vm, "f", std::make_shared<SumHostFunction>(0));
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, BUILTIN_COUNT);
  EXPECT_EQ(run(*vm, "(f 1 2 3)"), "6");
  ASSERT_EQ(run(*vm, "(def old-f f)"), "<native-fn>");

  std::expected<std::uint32_t, EngineError> second =
      define_host_function(*vm, "f", std::make_shared<SumHostFunction>(100));
  ASSERT_TRUE(second);
  EXPECT_EQ(*second, BUILTIN_COUNT + 1);
  const std::optional<Value> bound = global(*vm, "f");
  ASSERT_TRUE(bound);
  ASSERT_EQ(bound->tag, Tag::NativeFn);
  EXPECT_EQ(bound->as.native, BUILTIN_COUNT + 1);
  EXPECT_EQ(run(*vm, "[(f 1) (old-f 1)]"), "[101 1]");
  EXPECT_EQ(vm->host_functions.size(), 2u);
  // A host function's error is a runtime error like a builtin's.
  EXPECT_EQ(run(*vm, "(f :x)"), "error: Type error: expected integers");
}

class RecordingHandler final : public HostHandler {
public:
  explicit RecordingHandler(HandlerOutcome answer) : answer_(answer) {}
  std::expected<HandlerOutcome, VmError> handle(Vm& vm, Spur operation,
                                                std::vector<Value> args) override {
    std::string call(vm.interner.resolve(operation));
    for (const Value& v : args)
      call += " " + readable(vm, v);
    calls.push_back(std::move(call));
    return answer_;
  }
  std::vector<std::string> calls;

private:
  HandlerOutcome answer_;
};

class FailingHandler final : public HostHandler {
public:
  std::expected<HandlerOutcome, VmError> handle(Vm&, Spur, std::vector<Value>) override {
    return std::unexpected(VmError::value_error("handler error: boom"));
  }
};

TEST_F(Engine, HostHandlersAnswerPerformsOfTheirEffect) {
  auto first = std::make_shared<RecordingHandler>(HandlerOutcome::resume(Value::from_int(1)));
  auto second = std::make_shared<RecordingHandler>(HandlerOutcome::abort(Value::from_int(2)));
  ASSERT_TRUE(register_host_handler(*vm, "console", first));
  EXPECT_EQ(run(*vm, "[(console/println \"hi\") (console/print 1 [2])]"), "[1 1]");
  EXPECT_EQ(first->calls, (std::vector<std::string>{"println \"hi\"", "print 1 [2]"}));

  // A second registration replaces the first; abort and resume both give the perform's value.
  ASSERT_TRUE(register_host_handler(*vm, "console", second));
  EXPECT_EQ(run(*vm, "(+ 40 (console/println :x))"), "42");
  EXPECT_EQ(first->calls.size(), 2u);
  EXPECT_EQ(second->calls, (std::vector<std::string>{"println :x"}));
  EXPECT_EQ(first.use_count(), 1);

  // The handler belongs to the effect's id, not to the global's name.
  ASSERT_EQ(run(*vm, "(def out console)"), "<effect #4294901762>");
  EXPECT_EQ(run(*vm, "(out/print 5)"), "2");

  ASSERT_TRUE(register_host_handler(*vm, "random", std::make_shared<FailingHandler>()));
  EXPECT_EQ(run(*vm, "(random/rand)"), "error: Value error: handler error: boom");
  expect_machine_at_rest(*vm);
}

TEST_F(Engine, HostHandlersNeedAGlobalHoldingAnEffect) {
  for (const char* name : {"never-bound", "first", "answer"}) {
    SCOPED_TRACE(name);
    define_global_by_name(*vm, "answer", Value::from_int(1));
    auto handler = std::make_shared<RecordingHandler>(HandlerOutcome::resume(Value::nil()));
    std::expected<void, EngineError> r = register_host_handler(*vm, name, handler);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), EngineError::Kind::Runtime);
    EXPECT_EQ(to_string(r.error()), "Type error: effect not found");
    EXPECT_FALSE(r.error().as_runtime()->location.has_value());
    EXPECT_EQ(handler.use_count(), 1); // dropped, not kept
  }
  EXPECT_TRUE(vm->host_handlers.empty());
}

TEST_F(Engine, EffectIdsOfGlobals) {
  EXPECT_EQ(effect_id(*vm, "exn"), std::optional<EffectId>(0xFFFF0001));
  EXPECT_EQ(effect_id(*vm, "console"), std::optional<EffectId>(0xFFFF0002));
  EXPECT_EQ(effect_id(*vm, "random"), std::optional<EffectId>(0xFFFF0004));
  EXPECT_EQ(effect_id(*vm, "first"), std::nullopt);
  const std::size_t names = vm->interner.size();
  EXPECT_EQ(effect_id(*vm, "a-name-never-used"), std::nullopt);
  EXPECT_EQ(vm->interner.size(), names);
  ASSERT_EQ(run(*vm, "(def shout console) (def unbound-yet 1)"), "1");
  EXPECT_EQ(effect_id(*vm, "shout"), std::optional<EffectId>(0xFFFF0002));
  EXPECT_EQ(effect_id(*vm, "unbound-yet"), std::nullopt);
}

// In a bare engine `println` is the builtin row, not the console effect.
TEST_F(Engine, PrintingInABareEngineCallsTheBuiltin) {
  auto handler = std::make_shared<RecordingHandler>(HandlerOutcome::resume(Value::nil()));
  ASSERT_TRUE(register_host_handler(*vm, "console", handler));
  const std::optional<std::uint16_t> row = find_builtin_index("println");
  ASSERT_TRUE(row);
  const std::optional<Value> bound = global(*vm, "println");
  ASSERT_TRUE(bound);
  ASSERT_EQ(bound->tag, Tag::NativeFn);
  EXPECT_EQ(bound->as.native, *row);

  testing::internal::CaptureStdout();
  std::expected<Value, EngineError> r = vm_eval(*vm, "(println \"x\")");
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(r) << to_string(r.error());
  EXPECT_EQ(out, "x\n");
  EXPECT_TRUE(handler->calls.empty());
}

// ---------------------------------------------------------------------------------------------
// adopt_compiled_objects on its own

// Compiles one form against the machine without running it; the caller adopts the staging heap.
struct Staged {
  CompilerTables tables;
  std::uint32_t top = 0;
};

Staged compile_only(Vm& vm, std::string_view source) {
  std::expected<std::vector<Form>, CoreError> forms = read_all(source);
  if (!forms || forms->size() != 1) throw InternalError("test source must be one form");
  VmCompilerHost host(vm);
  Compiler compiler = new_compiler(host);
  std::expected<std::uint32_t, CompileFailure> top = compile_toplevel(compiler, forms->front());
  if (!top) throw InternalError(format_compile_failure(top.error()));
  return Staged{take_compiler_tables(std::move(compiler)), *top};
}

std::vector<HeapKey> occupied_keys(const Heap& h) {
  std::vector<HeapKey> keys;
  for (std::uint32_t i = 1; i < h.slots.size(); ++i) {
    if ((h.slots[i].version & 1) != 0) keys.push_back(HeapKey{i, h.slots[i].version});
  }
  return keys;
}

// Every key reachable from `v` in the heap.
void reachable_keys(const Heap& h, const Value& v,
                    std::set<std::pair<std::uint32_t, std::uint32_t>>& out) {
  std::vector<HeapKey> work;
  if (v.tag == Tag::Object) work.push_back(v.as.key);
  while (!work.empty()) {
    HeapKey k = work.back();
    work.pop_back();
    if (!out.insert({k.index, k.version}).second) continue;
    const HeapObject* o = heap_get(h, k);
    if (o != nullptr) trace_object(*o, work);
  }
}

TEST(Adoption, AnEmptyStagingHeapChangesNothing) {
  Heap machine;
  heap_insert(machine, HeapObject(Atom{Value::from_int(1)}));
  const std::uint32_t live = machine.live_count;
  const std::size_t slots = machine.slots.size();
  HandleMap map = adopt_compiled_objects(machine, Heap());
  EXPECT_TRUE(map.empty());
  EXPECT_TRUE(map.inserted().empty());
  EXPECT_EQ(machine.live_count, live);
  EXPECT_EQ(machine.slots.size(), slots);
}

TEST(Adoption, ObjectsTakeVacantSlotsFirstThenNewOnes) {
  Heap machine;
  for (int i = 0; i < 3; ++i)
    heap_insert(machine, HeapObject(Atom{Value::from_int(i)}));
  heap_collect(machine, {}); // nothing is rooted: slots 1 to 3 become vacant
  ASSERT_EQ(machine.live_count, 0u);
  const std::uint32_t head = machine.free_head;
  ASSERT_LT(head, machine.slots.size());
  const std::uint32_t vacant_version = machine.slots[head].version;

  Heap staging;
  const HeapKey text = stage_string_object(staging, "text")->as.key;
  HandleMap map = adopt_compiled_objects(machine, std::move(staging));
  const std::optional<HeapKey> moved = map.find(text);
  ASSERT_TRUE(moved);
  EXPECT_EQ(moved->index, head);
  EXPECT_EQ(moved->version, vacant_version | 1u);
  EXPECT_EQ(machine.live_count, 1u);

  // With no vacant slot left, the next object gets a new slot of version 1.
  for (int i = 0; i < 2; ++i)
    heap_insert(machine, HeapObject(Atom{Value::nil()}));
  ASSERT_EQ(machine.free_head, machine.slots.size());
  const std::size_t next = machine.slots.size();
  Heap staging2;
  const HeapKey text2 = stage_string_object(staging2, "more")->as.key;
  HandleMap map2 = adopt_compiled_objects(machine, std::move(staging2));
  ASSERT_TRUE(map2.find(text2));
  EXPECT_EQ(*map2.find(text2), (HeapKey{static_cast<std::uint32_t>(next), 1}));
}

// The machine already holds objects in the low slots (the predefined optics, the effects), so a
// handle that kept its staging key would name one of them and print wrongly.
TEST(Adoption, NestedQuotedConstantsArriveWithMachineKeysOnly) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  Staged staged = compile_only(*vm, "'[[1 2] {:a \"x\"} #{\"s\" [3]} {\"k\" [1] [2] \"v\"}]");
  const std::vector<HeapKey> staging_keys = occupied_keys(staged.tables.staging_heap);
  ASSERT_FALSE(staging_keys.empty());

  HandleMap map = adopt_compiled_objects(vm->heap, std::move(staged.tables.staging_heap));
  std::set<std::pair<std::uint32_t, std::uint32_t>> mapped;
  for (HeapKey k : staging_keys) {
    std::optional<HeapKey> to = map.find(k);
    ASSERT_TRUE(to);
    EXPECT_TRUE(heap_is_live(vm->heap, *to));
    mapped.insert({to->index, to->version});
  }
  EXPECT_EQ(map.size(), staging_keys.size());

  Prototype& top = staged.tables.prototypes.at(staged.top);
  remap_value_handles(top, [&](HeapKey k) { return map.find(k); });
  std::optional<Value> quoted;
  for (const Value& c : top.constants) {
    if (c.tag == Tag::Object) quoted = c;
  }
  ASSERT_TRUE(quoted);
  std::set<std::pair<std::uint32_t, std::uint32_t>> reached;
  reachable_keys(vm->heap, *quoted, reached);
  for (const auto& key : reached) {
    EXPECT_TRUE(mapped.contains(key))
        << "key " << key.first << "/" << key.second << " is not one the adoption made";
  }
  std::string text = readable(*vm, *quoted);
  // Set and map orders are unspecified; check the parts.
  EXPECT_EQ(text.rfind("[[1 2] {:a \"x\"} #{", 0), 0u) << text;
  EXPECT_NE(text.find("\"s\""), std::string::npos) << text;
  EXPECT_NE(text.find("[3]"), std::string::npos) << text;
  EXPECT_NE(text.find("\"k\" [1]"), std::string::npos) << text;
  EXPECT_NE(text.find("[2] \"v\""), std::string::npos) << text;

  // The set and the map hold machine keys, each element once.
  const SeqObject* outer = heap_get_as<SeqObject>(vm->heap, *quoted);
  ASSERT_NE(outer, nullptr);
  const SetObject* set = heap_get_as<SetObject>(vm->heap, outer->items[2]);
  ASSERT_NE(set, nullptr);
  EXPECT_EQ(set->set.size(), 2u);
  for (const Value& e : set->set) {
    ASSERT_EQ(e.tag, Tag::Object);
    EXPECT_TRUE(mapped.contains({e.as.key.index, e.as.key.version}));
  }
  const MapObject* map_object = heap_get_as<MapObject>(vm->heap, outer->items[3]);
  ASSERT_NE(map_object, nullptr);
  EXPECT_EQ(map_object->map.size(), 2u);
}

TEST(Adoption, HashConsedObjectsMergeIntoEqualMachineObjects) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, "(def keep '[1 [2 :k]])"), "[1 [2 :k]]");
  const Value kept = *global(*vm, "keep");

  // Equal content alone: mapped to the existing object, nothing new in the heap.
  Staged same = compile_only(*vm, "'[1 [2 :k]]");
  const std::uint32_t live = vm->heap.live_count;
  HandleMap map = adopt_compiled_objects(vm->heap, std::move(same.tables.staging_heap));
  EXPECT_FALSE(map.empty());
  EXPECT_TRUE(map.inserted().empty());
  EXPECT_EQ(vm->heap.live_count, live);

  // Equal content inside a new object: the new parent holds the existing child.
  Staged outer = compile_only(*vm, "'[[1 [2 :k]] 3]");
  HandleMap map2 = adopt_compiled_objects(vm->heap, std::move(outer.tables.staging_heap));
  EXPECT_EQ(map2.inserted().size(), 1u);
  const SeqObject* parent = heap_get_as<SeqObject>(vm->heap, map2.inserted()[0]);
  ASSERT_NE(parent, nullptr);
  ASSERT_EQ(parent->items[0].tag, Tag::Object);
  EXPECT_EQ(parent->items[0].as.key, kept.as.key);

  // A later equal allocation finds the adopted parent through the intern tables.
  Guarded<std::optional<HeapKey>> found =
      find_interned(vm->heap, *heap_get(vm->heap, map2.inserted()[0]));
  ASSERT_TRUE(found);
  EXPECT_EQ(*found, std::optional<HeapKey>(map2.inserted()[0]));
}

// Children are mapped before their parents whatever the slot order, so a parent stored before
// its child still merges, and a cycle (through an atom) is rewritten completely.
TEST(Adoption, ParentsBeforeChildrenAndCyclesAreRewritten) {
  Heap machine;
  const HeapKey machine_text = intern_string(machine, *SmallString::from("x"));
  const HeapKey machine_seq =
      *intern_seq(machine, SeqObject{ValueVector().push_back(Value::object(machine_text)), true});

  Heap staging;
  const HeapKey parent = heap_insert(staging, HeapObject(Atom{Value::nil()})); // placeholder
  const HeapKey child = intern_string(staging, *SmallString::from("x"));
  {
    HeapEntry entry;
    entry.object = HeapObject(SeqObject{ValueVector().push_back(Value::object(child)), true});
    entry.cached_hash = **hash_heap_object(staging, entry.object);
    staging.slots[parent.index].entry = std::move(entry);
  }
  const HeapKey atom = heap_insert(staging, HeapObject(Atom{Value::nil()}));
  staging.slots[atom.index].entry.object.get_if<Atom>()->value = Value::object(atom);

  HandleMap map = adopt_compiled_objects(machine, std::move(staging));
  EXPECT_EQ(map.find(child), std::optional<HeapKey>(machine_text));
  EXPECT_EQ(map.find(parent), std::optional<HeapKey>(machine_seq));
  const std::optional<HeapKey> moved_atom = map.find(atom);
  ASSERT_TRUE(moved_atom);
  const Atom* a = heap_get_as<Atom>(machine, *moved_atom);
  ASSERT_NE(a, nullptr);
  ASSERT_EQ(a->value.tag, Tag::Object);
  EXPECT_EQ(a->value.as.key, *moved_atom);
}

} // namespace
} // namespace quorvex
