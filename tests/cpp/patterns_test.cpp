// Destructuring, `match` and `defdata` end to end: programs through the reader, the compiler and
// the machine, with their printed value or error text, and the locations of pattern errors.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine_cases.hpp"

namespace quorvex {
namespace {

using engine_cases::expect_cases;
using engine_cases::expect_located;
using engine_cases::run;

constexpr const char* kOpt = "(defdata Opt (None) (Some [v])) ";

std::string with_opt(std::string_view program) {
  return std::string(kOpt) + std::string(program);
}

// ---------------------------------------------------------------------------------------------
// Sequential destructuring in binding positions

TEST(Destructuring, VectorsInLet) {
  expect_cases({
      {"(let [[a b] [1 2]] [b a])", "[2 1]"},
      {"(let [[a :as x :as y] [1]] y)", "[1]"},
      {"(let [[a [b & [c]]] [1 [2 3]]] [a b c])", "[1 2 3]"},
      // The hidden local is an ordinary name, and an inner pattern's shadows the outer one's.
      {"(let [[a [b]] [1 [2]]] __destruct_coll__)", "[2]"},
      {"(let [x 1 [x y] [x 2]] [x y])", "[1 2]"},
      {"((fn [v] (let [[a & r] v] [a r])) '(1))", "[1 ()]"},
  });
}

TEST(Destructuring, ShapeErrorsWithTheirLocations) {
  expect_located({
      {"(let [[a & r b] [1]] a)",
       "compile error: invalid syntax: only :as allowed after rest parameter", 1, 14},
      {"(let [[a & r & s] [1]] a)", "compile error: invalid syntax: multiple & in pattern", 1, 14},
      {"(let [[a &] [1]] a)", "compile error: invalid syntax: expected pattern after &", 1, 10},
      // `:as` last points at the whole vector pattern; a non-symbol after it at that element.
      {"(let [[a :as] [1]] a)", "compile error: invalid syntax: expected symbol after :as", 1, 7},
      {"(let [[a :as \"s\"] [1]] a)", "compile error: invalid syntax: expected symbol after :as", 1,
       14},
      // `&` takes whatever follows as the rest pattern, `:as` included.
      {"(let [[a & :as x] [1]] a)",
       "compile error: invalid syntax: only :as allowed after rest parameter", 1, 16},
      {"(let [[a & :as] [1]] a)",
       "compile error: invalid syntax: only simple symbol patterns supported in let bindings", 1,
       12},
      {"(let [ns/x 1] x)",
       "compile error: invalid syntax: only simple symbol patterns supported in let bindings", 1,
       7},
      {"(let [:k 1] 1)",
       "compile error: invalid syntax: only simple symbol patterns supported in let bindings", 1,
       7},
      {"(let [() 1] 1)",
       "compile error: invalid syntax: only simple symbol patterns supported in let bindings", 1,
       7},
      {"(let [\"s\" 1] 1)",
       "compile error: invalid syntax: only simple symbol patterns supported in let bindings", 1,
       7},
      {"(let [[a (f x)] [1]] a)",
       "compile error: invalid syntax: list patterns in let bindings are only supported for ADT "
       "variant destructuring",
       1, 10},
      // In clause positions `:as` last points at the keyword.
      {"(fn [[a :as]] a)", "compile error: invalid syntax: expected symbol after :as", 1, 9},
      {"(fn [[a & r b]] a)", "compile error: invalid syntax: only :as allowed after rest parameter",
       1, 13},
      {"(fn [[& r & s]] r)", "compile error: invalid syntax: multiple & in pattern", 1, 11},
      {"(fn [[a &]] a)", "compile error: invalid syntax: expected pattern after &", 1, 9},
  });
}

TEST(Destructuring, RunTimeErrorsOfTheBuiltinsPointAtThePattern) {
  expect_located({
      {"(let [[a] 5] a)", "Type error: nth requires a sequence", 1, 7},
      {"(let [x 1\n      [& r] :k] r)", "Type error: drop requires a sequence", 2, 7},
  });
}

// ---------------------------------------------------------------------------------------------
// Map destructuring, in binding and in clause positions

TEST(Destructuring, MapsInLetAndInParameters) {
  expect_cases({
      {"((fn [{:syms [a] :strs [b]}] [a b]) {'a 1 \"b\" 2})", "[1 2]"},
      // A default expression sees the names bound before it.
      {"(let [b 7 {:keys [a] :or {a b}} {}] a)", "7"},
      {"((fn [{:keys [a]}] a) nil)", "error: No matching clause"},
      {"((fn ([{:keys [a]}] a) ([x] :other)) nil)", ":other"},
      {"(let [{{:keys [z]} :inner} {:inner {:z 3}}] z)", "3"},
      {"((fn [{:keys [a] :as m}] [a m]) {:a 1})", "[1 {:a 1}]"},
      // In a parameter the sub-pattern of a pair is a clause pattern: `:a` is a literal.
      {"((fn ([{:a b}] :yes) ([x] :no)) {'b :z})", ":no"},
      {"(defn q [{:keys [a] :or {a 9}}] a) [(q {:a 1}) (q {}) (q {:a nil})]", "[1 9 9]"},
  });
}

// A string key is a string object of the compilation that made the pattern; lookups compare
// text, and a default written with the same string applies to that key.
TEST(Destructuring, StringKeysMatchByContentAcrossForms) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, "(def m {\"a\" 1 \"b\" 2}) :ok"), ":ok");
  EXPECT_EQ(run(*vm, "((fn [{x \"b\" :or {\"b\" 0}}] x) m)"), "2");
  EXPECT_EQ(run(*vm, "((fn [{x \"c\" :or {\"c\" 0}}] x) m)"), "0");
  EXPECT_EQ(run(*vm, "(let [{x \"b\"} m] x)"), "2");
}

// Where the order of a map's entries decides, the order they were written in decides.
TEST(Destructuring, TextOrderDecides) {
  expect_cases({
      {"(let [{:keys [a] :or {a 1 ns/a 2}} {}] a)", "1"},
      {"(let [{:keys [a] :or {ns/a 2 a 1}} {}] a)", "2"},
      {"((fn [{:keys [a] :or {a 1 ns/a 2}}] a) {})", "1"},
      {"((fn [{:keys [a] :or {ns/a 2 a 1}}] a) {})", "2"},
      {"(let [{:or 1 :as \"m\"} {}] 1)",
       "error: compile error: invalid syntax: expected map after :or"},
      {"(let [{:as \"m\" :or 1} {}] 1)",
       "error: compile error: invalid syntax: expected symbol after :as"},
      {"(fn [{:keys a :strs [1]}] 1)",
       "error: compile error: invalid syntax: expected vector of symbols"},
      {"(fn [{:strs [1] :keys a}] 1)",
       "error: compile error: invalid syntax: expected symbol in binding list"},
  });
}

TEST(Destructuring, MapPatternErrors) {
  expect_located({
      {"(let [{:keys a} {}] 1)", "compile error: invalid syntax: expected vector of symbols", 1,
       14},
      {"(let [{:keys [a :b]} {}] 1)",
       "compile error: invalid syntax: expected symbol in binding list", 1, 17},
      {"(fn [{:keys [ns/a]}] 1)", "compile error: invalid syntax: expected symbol in binding list",
       1, 14},
      {"(let [{:or [a 1]} {}] 1)", "compile error: invalid syntax: expected map after :or", 1, 12},
      {"(fn [{:as \"m\"}] 1)", "compile error: invalid syntax: expected symbol after :as", 1, 11},
      {"(let [{:a b} {'b 1}] b)",
       "compile error: invalid syntax: only simple symbol patterns supported in let bindings", 1,
       8},
      {"(fn [{:keys [a]} a] a)", "compile error: duplicate parameter: a", 1, 18},
      {"(fn [{:keys [b] :as a} [a]] a)", "compile error: duplicate parameter: a", 1, 25},
  });
}

// ---------------------------------------------------------------------------------------------
// Clause patterns of `fn`

TEST(ClausePatterns, DispatchOnLiteralsSequencesAndVariants) {
  expect_cases({
      {"(defn p [[a b]] [a b]) (p nil)", "error: No matching clause"},
      {"(defn p [[a b]] [a b]) (p 5)", "error: Type error: expected sequential"},
      {"((fn [[a :as all]] all) \"z\")", "\"z\""},
      {"((fn [[x :as x]] x) [1])", "[1]"},
      {"((fn ([a/b] :sym) ([_] :other)) 'a/c)", ":other"},
      {with_opt("(defn f ([(Some (Some x))] x) ([(Some x)] [:one x]) ([(None)] :none) ([_] :else))"
                " [(f (Some (Some 1))) (f (Some 2)) (f (None)) (f {:v 1}) (f 5)]")
           .c_str(),
       "[1 [:one 2] :none :else :else]"},
      {with_opt("((fn [None] None) 5)").c_str(), "5"},
      // A guard sees the names a pattern bound, in the slots the body has them in.
      {"(defn g ([[a b] :when (> a b)] [:gt a]) ([_] :other)) "
       "(defn h ([{:keys [k] :as m} :when k] m) ([_] :other)) "
       "[(g [2 1]) (g [1 2]) (h {:k 1}) (h {:j 1})]",
       "[[:gt 2] :other {:k 1} :other]"},
      {"((fn [x :when (match x 1 true _ false)] :one) 1)", ":one"},
  });
}

TEST(ClausePatterns, Errors) {
  const std::string undeclared =
      "compile error: invalid syntax: list patterns require a variant constructor";
  expect_located({
      {"(fn [(Foo x)] x)", undeclared.c_str(), 1, 6},
      {"(fn [(1 x)] x)", undeclared.c_str(), 1, 6},
      {"(fn [()] 1)", "compile error: invalid syntax: invalid pattern", 1, 6},
      {"(fn [#{1}] 1)", "compile error: invalid syntax: invalid pattern", 1, 6},
      {"(fn [[x x]] x)", "compile error: duplicate parameter: x", 1, 9},
  });
  expect_cases({
      {with_opt("(fn [(Some)] 1)").c_str(),
       "error: compile error: invalid syntax: variant Some expects 1 fields, got 0"},
      {with_opt("(fn [(Some a b)] 1)").c_str(),
       "error: compile error: invalid syntax: variant Some expects 1 fields, got 2"},
      // A name bound earlier in the same clause hides the constructor.
      {with_opt("(fn [Some (Some x)] x)").c_str(), ("error: " + undeclared).c_str()},
  });
}

TEST(ClausePatterns, HintsNameTheConstructor) {
  struct HintCase {
    const char* source;
    const char* hint;
  };
  const HintCase cases[] = {
      {"(fn [(Foo x)] x)", "`Foo` is not a known variant constructor \xE2\x80\x94 define it with "
                           "(defdata Type (Foo [...]))"},
      {"(fn [(ns/Foo x)] x)", "`Foo` is not a known variant constructor \xE2\x80\x94 define it "
                              "with (defdata Type (Foo [...]))"},
      {"(fn [(1 x)] x)",
       "list patterns like (Foo x) require Foo to be a variant constructor defined via defdata"},
      {"(match 1 ([a] x) 1)",
       "match patterns like (Foo x) require Foo to be a variant constructor defined via defdata"},
  };
  for (const HintCase& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    std::expected<Value, EngineError> r = vm_eval(*vm, c.source);
    ASSERT_FALSE(r.has_value());
    const CompileFailure* f = r.error().as_compile();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->hint.value_or("<none>"), c.hint);
  }
}

// A string whose length no clause's sequence pattern takes is turned away before it is split:
// trying a long text against short patterns makes no object per character.
TEST(ClausePatterns, AStringOfTheWrongLengthIsNotSplit) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(engine_cases::run(*vm, "(def text (apply str (repeat 100000 \"\xC3\xA9\"))) "
                                   "(defn shape ([[a]] :one) ([[a b c]] :three) "
                                   "([[a b & r]] (count r)) ([s] :other)) "
                                   "(defn fixed ([[a b]] :two) ([s] :other)) nil"),
            "nil");
  std::vector<HeapKey> roots;
  vm->append_roots(roots);
  heap_collect(vm->heap, std::move(roots));
  const std::uint32_t live = vm->heap.live_count;
  EXPECT_EQ(engine_cases::run(*vm, "(fixed text)"), ":other");
  EXPECT_EQ(engine_cases::run(*vm, "((fn [[a b c d]] a) \"xyz\")"), "error: No matching clause");
  EXPECT_LT(vm->heap.live_count, live + 100);
  // Lengths that fit are still split character by character.
  EXPECT_EQ(engine_cases::run(*vm, "[(shape \"\xC3\xA9\") (shape \"ab\") (shape \"xyz\") "
                                   "(shape \"abcd\") (fixed \"ab\") (shape [1 2]) (shape text)]"),
            "[:one 0 :three 2 :two 0 99998]");
}

// `recur` never writes outside the frame: into plain parameters it stores, across a
// destructuring one it is refused.
TEST(ClausePatterns, RecurWithPatternParameters) {
  expect_cases({
      {"((fn [_ n acc] (if (= n 0) acc (recur :x (- n 1) (+ acc n)))) :y 4 0)", "10"},
      {"((fn [a & r] (if (= a 0) r (recur (- a 1) [a]))) 2)", "[1]"},
      {"(fn [[a b] n] (recur [1 2] n))",
       "error: compile error: invalid syntax: recur cannot rebind destructuring parameters; use "
       "loop inside the function"},
      {"((fn [[a b]] (loop [x a] (if (< x b) (recur (+ x 1)) x))) [1 5])", "5"},
      {"(loop [[a] [1]] a)",
       "error: compile error: invalid syntax: only simple symbol patterns supported in loop "
       "bindings"},
      {"(loop [i 0 [a b] [1 2]] i)",
       "error: compile error: invalid syntax: only simple symbol patterns supported in loop "
       "bindings"},
      // A let inside a loop body destructures into slots after the loop's own.
      {"(loop [i 0 acc 0] (if (= i 3) acc (let [[x y] [i (* i i)]] (recur (+ i 1) (+ acc y)))))",
       "5"},
  });
}

// ---------------------------------------------------------------------------------------------
// match

TEST(Match, ClausesInOrder) {
  expect_cases({
      // A map pattern meeting a number is a type error, not a fall-through.
      {"(match 5 {:keys [a]} 1 _ 2)", "error: Type error: expected map"},
      {"(def x (match 1 1 :one))", ":one"},
  });
}

TEST(Match, ShapeAndPatternErrors) {
  const char* shape =
      "compile error: invalid syntax: match requires a scrutinee and pattern/body pairs";
  expect_located({
      {"(match x)", shape, 1, 2},
      {"(match x 1)", shape, 1, 2},
      {"(match x 1 :a 2)", shape, 1, 2},
      // The clauses compile before the scrutinee.
      {"(match (if) 1 (fn))", "compile error: invalid syntax: fn requires parameters", 1, 16},
      {"(match 1 1 (recur 2))", "compile error: invalid syntax: recur outside of loop", 1, 13},
      {"(match p [a a] a)", "compile error: duplicate parameter: a", 1, 13},
      {"(match 1 (Foo x) 1)",
       "compile error: invalid syntax: list patterns are only supported for variant constructors "
       "in match",
       1, 10},
      // Inside a vector the clause-parameter texts apply again.
      {"(match 1 [(Foo x)] 1)",
       "compile error: invalid syntax: list patterns require a variant constructor", 1, 11},
      {"(match 1 () 1)", "compile error: invalid syntax: invalid pattern", 1, 10},
  });
}

TEST(Match, TheScrutineeIsEvaluatedOnce) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, "(def n 0) (defn bump [] (def n (+ n 1)) n)"), "<fn>");
  EXPECT_EQ(run(*vm, "(match (bump) 5 :five 1 :one _ :other)"), ":one");
  EXPECT_EQ(run(*vm, "n"), "1");
  EXPECT_EQ(run(*vm, "(match (bump) 5 :five 6 :six)"), "error: No matching clause");
  EXPECT_EQ(run(*vm, "n"), "2");
}

// A `match` in a loop body is the loop's tail but not necessarily the function's: its clause
// bodies are functions of their own (no `recur` there), and it returns to the loop's user.
TEST(Match, InsideLoops) {
  expect_cases({
      {"(defn loopy [n] (loop [i n] (match i 0 :done _ (recur (- i 1))))) (loopy 3)",
       "error: compile error: invalid syntax: recur outside of loop"},
      {"(defn inner [n] (let [r (loop [i 0] (if (< i n) (recur (+ i 1)) (match i 3 :three _ "
       ":other)))] [r])) (inner 3)",
       "[:three]"},
  });
}

// ---------------------------------------------------------------------------------------------
// defdata

TEST(Defdata, ConstructorsAndPredicates) {
  expect_cases({
      {"(defdata RS (Reduced [value])) [(:value (Reduced 5)) (RS? (Reduced 1)) (Reduced? 5)]",
       "[5 true false]"},
      {"(defdata T (A [x]) (A [x y])) [(:y (A 1 2)) (A? (A 1 2)) (match (A 3 4) (A p q) [p q])]",
       "[2 true [3 4]]"},
      {"(defdata T (A [x])) (A 1 2)", "error: Value error: Wrong number of arguments (2), "
                                      "function expects [1]"},
      // Variants of another type, and of an earlier declaration of the same name.
      {"(defdata A (X)) (defdata B (Y)) [(A? (Y)) (X? (Y)) (B? (Y)) (B? (X))]",
       "[false false true false]"},
      // A builtin's name declared as a variant: calls in the same form reach the constructor.
      {"(do (defdata Box (count [n])) (:n (count 4)))", "4"},
  });
}

TEST(Defdata, Errors) {
  expect_located({
      {"(defdata)", "compile error: invalid syntax: defdata requires a type name", 1, 2},
      {"(defdata \"T\" (A))", "compile error: invalid syntax: defdata name must be a symbol", 1,
       10},
      {"(defdata T [A])",
       "compile error: invalid syntax: variant spec must be a list like (Name [field1 field2])", 1,
       12},
      {"(defdata T (A) ())", "compile error: invalid syntax: empty variant spec", 1, 16},
      {"(defdata T (1))", "compile error: invalid syntax: variant name must be a symbol", 1, 13},
      {"(defdata T (A x))", "compile error: invalid syntax: variant fields must be a vector", 1,
       15},
      {"(defdata T (A [1]))", "compile error: invalid syntax: field name must be a symbol", 1, 16},
  });
  expect_cases({
      {with_opt("(let [(Some) 1] 1)").c_str(),
       "error: compile error: invalid syntax: variant Some expects 1 fields, got 0"},
      {with_opt("(let [Some 1 (Some v) 2] v)").c_str(),
       "error: compile error: invalid syntax: list patterns in let bindings are only supported "
       "for ADT variant destructuring"},
  });
}

TEST(Defdata, AFailingDeclarationRegistersNothing) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  const std::size_t types = vm->types.size();
  EXPECT_EQ(run(*vm, "(defdata T (A) (B [1]))"),
            "error: compile error: invalid syntax: field name must be a symbol");
  EXPECT_EQ(vm->types.size(), types);
  EXPECT_EQ(run(*vm, "(defdata T (A) (B [x]))"), "nil");
  EXPECT_EQ(vm->types.size(), types + 1);
  // Patterns of later forms know the variants; the constructors are globals now.
  EXPECT_EQ(run(*vm, "(match (B 2) (A) :a (B x) x)"), "2");
}

// ---------------------------------------------------------------------------------------------
// Limits: orderly compile errors, never a wrapped operand

std::string names(const char* prefix, int from, int to) {
  std::string out;
  for (int i = from; i < to; ++i)
    out += std::string(prefix) + std::to_string(i) + " ";
  return out;
}

TEST(PatternLimits, LocalsCapturesVariantsAndFields) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  // The hidden local and 255 names fill the 256 slots; one more name does not fit.
  EXPECT_EQ(run(*vm, "(let [[" + names("a", 0, 255) + "] [1 2]] a1)"), "2");
  EXPECT_EQ(run(*vm, "(let [[" + names("a", 0, 256) + "] [1 2]] a1)"),
            "error: compile error: too many locals (max 256)");
  EXPECT_EQ(run(*vm, "(fn [[" + names("a", 0, 257) + "]] 1)"),
            "error: compile error: too many locals (max 256)");
  EXPECT_EQ(run(*vm, "(match 1 {:keys [" + names("a", 0, 257) + "]} 1)"),
            "error: compile error: too many locals (max 256)");

  // A match whose clauses together capture 256 variables.
  std::string bindings;
  std::string all;
  for (int i = 0; i < 256; ++i) {
    bindings += "v" + std::to_string(i) + " " + std::to_string(i) + " ";
    all += "v" + std::to_string(i) + " ";
  }
  const std::string half_a = names("v", 0, 128);
  const std::string half_b = names("v", 128, 256);
  EXPECT_EQ(run(*vm, "(let [" + bindings + "] (match 1 1 [" + half_a + "] _ [" + half_b + "]))"),
            "error: compile error: invalid syntax: too many upvalues");
  EXPECT_EQ(run(*vm, "(let [" + bindings + "] (nth (match 1 1 [" + names("v", 1, 256) + "]) 254))"),
            "255");

  std::string many_variants = "(defdata Big";
  for (int i = 0; i < 257; ++i)
    many_variants += " (V" + std::to_string(i) + ")";
  EXPECT_EQ(
      run(*vm, many_variants + ")"),
      "error: compile error: invalid syntax: too many variants in one data type (at most 256)");
  std::string most_variants = many_variants.substr(0, many_variants.rfind(" (V256)")) + ")";
  EXPECT_EQ(run(*vm, most_variants + " [(V255? (V255)) (Big? (V0)) (V0? (V255))]"),
            "[true true false]");

  EXPECT_EQ(run(*vm, "(defdata Wide (W [" + names("f", 0, 256) + "]))"),
            "error: compile error: invalid syntax: too many fields in one variant (at most 255)");
  // 255 fields: the predicates need all 256 slots.
  EXPECT_EQ(run(*vm, "(defdata Wide (W [" + names("f", 0, 255) + "])) (W? (W " + names("", 0, 255) +
                         "))"),
            "true");
  EXPECT_EQ(run(*vm, "(:f254 (W " + names("", 0, 255) + "))"), "254");
}

// Clauses whose names, locals, constants or code do not fit in what the enclosing function has
// left still compile: they have a function of their own, as a `match` always may.
TEST(PatternLimits, MatchClausesBeyondTheRoomOfTheEnclosingFunction) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, "(defdata W (V [" + names("f", 0, 120) +
                         "])) "
                         "(defmacro big [] (cons 'do (range 40000))) nil"),
            "nil");
  const std::string outer = "(let [[" + names("o", 0, 150) + "] [1]] ";
  std::string constants;
  for (int i = 0; i < 65534; ++i)
    constants += ":k" + std::to_string(i) + " ";
  struct RoomCase {
    std::string source;
    const char* expected;
  };
  const RoomCase cases[] = {
      {outer + "(match (V " + names("", 0, 120) + ") (V " + names("a", 0, 120) +
           ") [o0 a119] _ :no))",
       "[1 119]"},
      {outer + "(match 7 x (let [[" + names("b", 0, 120) + "] [x]] [o0 b0]) _ :no))", "[1 7]"},
      {"(defn f [x] (match x 1 (big) _ 0)) [(f 1) (f 2)]", "[39999 0]"},
      {"(defn g [x] " + constants + "(match x 1 :one _ :other)) [(g 1) (g 2)]", "[:one :other]"},
  };
  for (const RoomCase& c : cases) {
    SCOPED_TRACE(c.source.substr(0, 120));
    EXPECT_EQ(run(*vm, c.source), c.expected);
  }
  // Where a clause function has no room either, the failure is its own.
  EXPECT_EQ(run(*vm, outer + "(match 7 x (let [[" + names("b", 0, 256) + "] [x]] b0) _ :no))"),
            "error: compile error: too many locals (max 256)");
}

} // namespace
} // namespace quorvex
