// Builtins as programs: `+ - * /`, the integer and ratio rows, the math functions and
// constants, the comparison chains, the kind predicates and `type`, atoms, and the hidden rows
// that compiled forms call. Each case is source text and the expected printed
// value (a number followed by its kind, so that 7 and 7.0 differ) or "error: " and the error's
// display text.
//
// The arithmetic and comparison names are also inline operators, which the compiler turns into
// instructions whenever it sees them applied; the cases reach the builtins through globals
// bound to them (`plus` is `+`, and so on), the way a program that passes `+` around does.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "engine_cases.hpp"
#include "value/printer.hpp"
#include "vm/interface.hpp"

namespace quorvex {
namespace {

constexpr std::string_view kAliases =
    "(def plus +) (def minus -) (def times *) (def div /) (def eq =) (def lt <) (def le <=) "
    "(def gt >) (def ge >=)";

std::string kind_of(const Value& v) {
  switch (v.tag) {
  case Tag::Int:
    return " :int";
  case Tag::Float:
    return " :float";
  case Tag::Ratio:
    return " :ratio";
  default:
    return "";
  }
}

// The last form's value printed readably, with its kind when it is a number.
std::string run_with_kind(Vm& vm, std::string_view source) {
  std::expected<Value, EngineError> r = vm_eval(vm, source);
  if (!r) return "error: " + to_string(r.error());
  return engine_cases::readable(vm, *r) + kind_of(*r);
}

using engine_cases::Case;

// Each program on a fresh bare machine with the aliases defined, at rest afterwards.
void expect_cases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    ASSERT_EQ(run_with_kind(*vm, kAliases), "<native-fn>") << "the aliases must be defined";
    EXPECT_EQ(run_with_kind(*vm, c.source), c.expected);
    engine_cases::expect_machine_at_rest(*vm);
  }
}

constexpr const char* kOverflow = "error: Type error: ratio overflow";
constexpr const char* kDivByZero = "error: Division by zero";
constexpr const char* kValueDivByZero = "error: Value error: division by zero";

TEST(CoreBuiltins, Arithmetic) {
  expect_cases({
      // Empty and single-argument forms.
      {"(plus)", "0 :int"},
      {"(times)", "1 :int"},
      {"(minus)", "0 :int"},
      {"(div)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(plus 5)", "5 :int"},
      {"(minus 5)", "-5 :int"},
      {"(minus 1/3)", "-1/3 :ratio"},
      {"(minus 0.0)", "-0 :float"},
      {"(minus (NaN))", "NaN :float"},
      {"(minus -9223372036854775808)", kOverflow},
      {"(minus -9223372036854775808/3)", kOverflow},
      {"(minus nil)", "error: Type error: - requires numbers"},
      // Exact results and their reduction.
      {"(plus 1/2 1/2)", "1 :int"},
      {"(plus 1/3 2/3)", "1 :int"},
      {"(minus 1/2 1/2)", "0 :int"},
      {"(times 2/3 3/2)", "1 :int"},
      {"(plus 1/2 1/3)", "5/6 :ratio"},
      {"(minus 1/2 1)", "-1/2 :ratio"},
      {"(times -1/2 1/3)", "-1/6 :ratio"},
      {"(plus 1 2 3 4)", "10 :int"},
      {"(minus 10 1 2 3)", "4 :int"},
      // The 64-bit range is tested on the final result only.
      {"(plus 9223372036854775807 1)", kOverflow},
      {"(minus -9223372036854775808 1)", kOverflow},
      {"(times -9223372036854775808 -1)", kOverflow},
      {"(minus 0 -9223372036854775808)", kOverflow},
      {"(plus 9223372036854775807 1 -1)", "9223372036854775807 :int"},
      {"(minus -9223372036854775808 1 -1)", "-9223372036854775808 :int"},
      {"(times -9223372036854775808 -1 -1)", "-9223372036854775808 :int"},
      {"(times 9223372036854775807 2 1/2)", "9223372036854775807 :int"},
      {"(plus 9223372036854775807 1 nil)", "error: Type error: + requires numbers"},
      // Partial results are reduced at every step; a step beyond 128 bits fails at once.
      {"(plus 1/4611686018427387904 1/4611686018427387904 1/4611686018427387904 "
       "1/4611686018427387904 1/4611686018427387904)",
       "5/4611686018427387904 :ratio"},
      {"(times 1/4611686018427387904 1/4611686018427387904 1/4611686018427387904)", kOverflow},
      {"(times 1099511627776 1099511627776 1099511627776 1099511627776)", kOverflow},
      {"(times 1099511627776 1099511627776 1099511627776 1099511627776 nil)", kOverflow},
      {"(times 1099511627776 1099511627776 1099511627776 0)", "0 :int"},
      {"(plus 9223372036854775807/2 9223372036854775807/3)", kOverflow},
      // One Float anywhere makes the whole computation a double one.
      {"(plus 9007199254740992 1 0.0)", "9007199254740992 :float"},
      {"(plus 1 1.5)", "2.5 :float"},
      {"(plus 1.5 1)", "2.5 :float"},
      {"(plus 1/2 0.25)", "0.75 :float"},
      {"(times 1/2 3.0)", "1.5 :float"},
      {"(minus 1 2 0.5)", "-1.5 :float"},
      {"(plus -0.0)", "0 :float"},
      {"(times -0.0)", "-0 :float"},
      {"(plus 1.0 true)", "error: Type error: + requires numbers"},
      {"(plus true 1.0)", "error: Type error: + requires numbers"},
      {"(plus 1 nil)", "error: Type error: + requires numbers"},
      {"(times 2 :k)", "error: Type error: * requires numbers"},
      {"(minus 1 \"s\" 2.0)", "error: Type error: - requires numbers"},
      // Division, pair by pair.
      {"(div 7 2)", "7/2 :ratio"},
      {"(div -7 2)", "-7/2 :ratio"},
      {"(div 7 -2)", "-7/2 :ratio"},
      {"(div 6 3)", "2 :int"},
      {"(div 1 2 3)", "1/6 :ratio"},
      {"(div 1/2 1/3)", "3/2 :ratio"},
      {"(div 1 1/2)", "2 :int"},
      {"(div 2)", "1/2 :ratio"},
      {"(div 1/3)", "3 :int"},
      {"(div 1 3 2.0)", "0.16666666666666666 :float"},
      {"(div 1 0)", kDivByZero},
      {"(div 0 0)", kDivByZero},
      {"(div 1/2 0)", kDivByZero},
      {"(div 1.0 0)", kDivByZero},
      {"(div 1 0.0)", kDivByZero},
      {"(div 1 -0.0)", kDivByZero},
      {"(div 0.0 0.0)", kDivByZero},
      {"(div 1/2 0.0)", kDivByZero},
      {"(div 0)", kDivByZero},
      {"(div 0.0)", "inf :float"},
      {"(div -0.0)", "-inf :float"},
      {"(div 1 2 0)", kDivByZero},
      {"(div 1 0 true)", kDivByZero},
      {"(div true 0)", "error: Type error: / requires numbers"},
      {"(div 0 true)", "error: Type error: / requires numbers"},
      {"(div 1.0 nil)", "error: Type error: / requires numbers"},
      {"(div -9223372036854775808 -1)", kOverflow},
      {"(div -9223372036854775808 -1 -1)", kOverflow},
      {"(div -9223372036854775808)", kOverflow},
      {"(div 9223372036854775807 -1)", "-9223372036854775807 :int"},
      {"(div 3 -9223372036854775808)", kOverflow},
      {"(div 2 -9223372036854775808/3)", "-3/4611686018427387904 :ratio"},
      {"(div 1.0 (NaN))", "NaN :float"},
      {"(div (NaN) 1)", "NaN :float"},
      {"(div 5 (Infinity))", "0 :float"},
      {"(div 0 -5.0)", "-0 :float"},
  });
}

// A pair of exact operands gives the same answer, or the same error, whether the inline
// operator or the builtin computes it.
TEST(CoreBuiltins, InlineOperatorsAndBuiltinsAgreeOnExactPairs) {
  const char* operands[] = {"0",
                            "1",
                            "-1",
                            "7",
                            "-3",
                            "9223372036854775807",
                            "-9223372036854775808",
                            "1/2",
                            "-2/3",
                            "9223372036854775807/2",
                            "-9223372036854775808/9223372036854775807",
                            "1/4611686018427387904"};
  const std::pair<const char*, const char*> ops[] = {{"+", "plus"}, {"-", "minus"}, {"*", "times"},
                                                     {"/", "div"},  {"<", "lt"},    {"<=", "le"},
                                                     {"=", "eq"},   {">=", "ge"}};
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run_with_kind(*vm, kAliases), "<native-fn>");
  int overflows = 0;
  for (const char* a : operands) {
    for (const char* b : operands) {
      for (const auto& [inline_name, builtin_name] : ops) {
        const std::string args = std::string(" ") + a + " " + b + ")";
        const std::string inline_source = std::string("(") + inline_name + args;
        const std::string builtin_source = std::string("(") + builtin_name + args;
        SCOPED_TRACE(inline_source);
        const std::string inline_answer = run_with_kind(*vm, inline_source);
        EXPECT_EQ(run_with_kind(*vm, builtin_source), inline_answer);
        if (inline_answer == kOverflow) ++overflows;
      }
    }
  }
  // The table reaches the overflow on both roads, not only the ordinary results.
  EXPECT_GT(overflows, 0);
}

TEST(CoreBuiltins, IntegersAndRatios) {
  expect_cases({
      {"(quot 7 2)", "3 :int"},
      {"(quot -7 2)", "-3 :int"},
      {"(quot 7 -2)", "-3 :int"},
      {"(quot 7 0)", kValueDivByZero},
      // `rem` with two arguments is the inline instruction; `r` reaches the builtin.
      {"(let [r rem] (r 7 0))", kValueDivByZero},
      {"(rem 7 0)", kDivByZero},
      {"(mod 7 0)", kValueDivByZero},
      {"(quot 0 0)", kValueDivByZero},
      {"(quot 7 2.0)", "error: Type error: quot requires integers"},
      {"(let [r rem] (r 1/2 1))", "error: Type error: rem requires integers"},
      {"(mod 7.0 3)", "error: Type error: mod requires integers"},
      {"(quot 7)", "error: Wrong number of arguments: expected 2, got 1"},
      {"(rem 7 1 1)", "error: Wrong number of arguments: expected 2, got 3"},
      {"(quot -9223372036854775808 -1)", kOverflow},
      {"(let [r rem] (r -9223372036854775808 -1))", "0 :int"},
      {"(rem -9223372036854775808 -1)", "0 :int"},
      {"(mod -9223372036854775808 -1)", "0 :int"},
      {"(mod 5 -1)", "0 :int"},
      // The sign tables: rem follows the dividend, mod the divisor.
      {"(let [r rem] [(r 7 3) (r -7 3) (r 7 -3) (r -7 -3)])", "[1 -1 1 -1]"},
      {"[(rem 7 3) (rem -7 3) (rem 7 -3) (rem -7 -3)]", "[1 -1 1 -1]"},
      {"[(mod 7 3) (mod -7 3) (mod 7 -3) (mod -7 -3) (mod -6 3)]", "[1 2 -2 -1 0]"},
      {"(mod -7 2)", "1 :int"},
      {"(mod 7 -3)", "-2 :int"},
      {"(let [m mod] (m -7 2))", "1 :int"},
      {"(mod 9223372036854775806 9223372036854775807)", "9223372036854775806 :int"},
      {"(mod -9223372036854775807 -9223372036854775808)", "-9223372036854775807 :int"},
      {"(mod -2 9223372036854775807)", "9223372036854775805 :int"},
      {"(mod 2 -9223372036854775808)", "-9223372036854775806 :int"},
      // Divisors.
      {"[(gcd 12 18) (gcd -12 18) (gcd 12 -18) (gcd -5 0) (gcd 0 5) (gcd 0 0)]", "[6 6 6 5 5 0]"},
      {"(gcd -9223372036854775808 6)", "2 :int"},
      {"(gcd -9223372036854775808 3)", "1 :int"},
      {"(gcd -9223372036854775808 0)", kOverflow},
      {"(gcd -9223372036854775808 -9223372036854775808)", kOverflow},
      {"(gcd 1/2 2)", "error: Type error: gcd requires integers"},
      {"[(lcm 4 6) (lcm -4 6) (lcm 4 -6) (lcm 0 6) (lcm 6 0)]", "[12 12 12 0 0]"},
      {"(lcm 9223372036854775807 9223372036854775806)", kOverflow},
      {"(lcm 4611686018427387904 3)", kOverflow},
      {"(lcm -9223372036854775808 1)", kOverflow},
      {"(lcm 4611686018427387904 2)", "4611686018427387904 :int"},
      {"(lcm 2 nil)", "error: Type error: lcm requires integers"},
      // Parts of a ratio.
      {"[(numerator -3/4) (denominator -3/4) (numerator 5) (denominator 5)]", "[-3 4 5 1]"},
      {"(numerator 1.5)", "error: Type error: numerator requires a ratio or integer"},
      {"(denominator nil)", "error: Type error: denominator requires a ratio or integer"},
      {"(numerator)", "error: Wrong number of arguments: expected 1, got 0"},
      // Sign: an Int for an Int, a Float for a Float, after the sign bit alone.
      {"(signum -9223372036854775808)", "-1 :int"},
      {"(signum 0)", "0 :int"},
      {"(signum 2.5)", "1 :float"},
      {"(signum 0.0)", "1 :float"},
      {"(signum -0.0)", "-1 :float"},
      {"(signum (Infinity))", "1 :float"},
      {"(signum (NaN))", "NaN :float"},
      {"(signum 1/2)", "error: Type error: signum requires a number"},
      {"(signum 1 2)", "error: Wrong number of arguments: expected 1, got 2"},
      // Parity: no count test, only the first argument is looked at.
      {"[(odd? -3) (even? 0) (even? -9223372036854775808) (odd? 3 nil)]", "[true true true true]"},
      {"(even?)", "error: Type error: even? requires an integer"},
      {"(odd? 3.0)", "error: Type error: odd? requires an integer"},
      // Bits, counts modulo 64.
      {"[(bit-and 12 10) (bit-or 12 10) (bit-xor 12 10) (bit-not 0) (bit-not 5)]",
       "[8 14 6 -1 -6]"},
      {"[(bit-shift-left 1 64) (bit-shift-left 1 65) (bit-shift-left -1 4)]", "[1 2 -16]"},
      {"(bit-shift-left 1 -1)", "-9223372036854775808 :int"},
      {"(bit-shift-left 1 63)", "-9223372036854775808 :int"},
      {"(bit-shift-left 3 62)", "-4611686018427387904 :int"},
      {"[(bit-shift-right 16 64) (bit-shift-right 16 -1) (bit-shift-right -16 2)]", "[16 0 -4]"},
      {"[(bit-shift-right -1 70) (bit-shift-right -9223372036854775808 63)]", "[-1 -1]"},
      {"(bit-shift-right 16 -9223372036854775808)", "16 :int"},
      {"(bit-and 1 1.0)", "error: Type error: bit-and requires integers"},
      {"(bit-not 1/2)", "error: Type error: bit-not requires an integer"},
      {"(bit-shift-left nil 1)", "error: Type error: bit-shift-left requires integers"},
      {"(bit-xor 1)", "error: Wrong number of arguments: expected 2, got 1"},
  });
}

TEST(CoreBuiltins, MathFunctionsAndConstants) {
  expect_cases({
      {"(sqrt 2)", "1.4142135623730951 :float"},
      {"(sqrt 1/4)", "0.5 :float"},
      {"(sqrt -1)", "NaN :float"},
      {"(sqrt -0.0)", "-0 :float"},
      {"(log 0)", "-inf :float"},
      {"(log -1)", "NaN :float"},
      {"(log2 8)", "3 :float"},
      {"(log10 1000)", "3 :float"},
      {"(exp 0)", "1 :float"},
      {"[(floor 2.5) (floor -2.5) (ceil 2.1) (round 2.5) (round 0.5) (round -0.5) (round -2.5)]",
       "[2 -3 3 3 1 -1 -3]"},
      {"(floor 7)", "7 :float"},
      {"(round 1/2)", "1 :float"},
      {"(ceil -0.5)", "-0 :float"},
      {"(floor (NaN))", "NaN :float"},
      {"(floor (Infinity))", "inf :float"},
      {"(floor 9007199254740993)", "9007199254740992 :float"},
      {"(pow 2 3)", "8 :float"},
      {"(pow 2.0 1/2)", "1.4142135623730951 :float"},
      {"(pow 1/2 2)", "0.25 :float"},
      {"(atan2 1 0)", "1.5707963267948966 :float"},
      {"(hypot 3 4)", "5 :float"},
      {"[(sin 0) (cos 0) (tan 0) (asin 1) (acos 1) (atan 1)]",
       "[0 1 0 1.5707963267948966 0 0.7853981633974483]"},
      {"[(sinh 0) (cosh 0) (tanh 0)]", "[0 1 0]"},
      {"(acosh 1)", "0 :float"},
      {"(acosh 0.5)", "NaN :float"},
      {"(acosh (NaN))", "NaN :float"},
      {"(atanh 1)", "inf :float"},
      {"(atanh -1)", "-inf :float"},
      {"(atanh 2)", "NaN :float"},
      {"(atanh 0.5)", "0.5493061443340548 :float"},
      {"(asinh -0.0)", "-0 :float"},
      {"(asinh (Infinity))", "inf :float"},
      {"(asinh (-Infinity))", "-inf :float"},
      {"(asinh 1)", "0.881373587019543 :float"},
      {"(acosh 2)", "1.3169578969248166 :float"},
      {"(sin nil)", "error: Type error: sin requires a number"},
      {"(atanh \"x\")", "error: Type error: atanh requires a number"},
      {"(pow 2 nil)", "error: Type error: pow requires numbers"},
      {"(atan2 nil 1)", "error: Type error: atan2 requires numbers"},
      {"(sqrt)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(sqrt 1 2)", "error: Wrong number of arguments: expected 1, got 2"},
      {"(hypot 3)", "error: Wrong number of arguments: expected 2, got 1"},
      {"(pow 1 2 3)", "error: Wrong number of arguments: expected 2, got 3"},
      // Constants ignore their arguments.
      {"(pi)", "3.141592653589793 :float"},
      {"(pi 1 2)", "3.141592653589793 :float"},
      {"(pi nil)", "3.141592653589793 :float"},
      {"(e)", "2.718281828459045 :float"},
      {"[(Infinity) (-Infinity) (NaN)]", "[inf -inf NaN]"},
      {"(eq (NaN) (NaN))", "false"},
      {"(gt (Infinity) 9223372036854775807)", "true"},
  });
}

TEST(CoreBuiltins, NaNConstantHasTheQuietNaNBits) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  std::expected<Value, EngineError> r = vm_eval(*vm, "(NaN)");
  ASSERT_TRUE(r.has_value());
  ASSERT_EQ(r->tag, Tag::Float);
  EXPECT_EQ(std::bit_cast<std::uint64_t>(r->as.floating), 0x7FF8000000000000u);
}

TEST(CoreBuiltins, Comparison) {
  expect_cases({
      {"[(lt) (lt 5) (lt nil) (eq) (eq (NaN))]", "[true true true true true]"},
      {"[(lt 1 2 3) (le 1 1 2) (lt 1 3 2) (gt 1 3 2) (ge 3 3 1)]", "[true true false false true]"},
      // The chain stops at the first false pair, before later arguments are examined.
      {"(lt 2 1 nil)", "false"},
      {"(lt 1 2 nil)", "error: Type error: comparison requires numbers"},
      {"(lt nil 1)", "error: Type error: comparison requires numbers"},
      {"(gt 1 nil)", "error: Type error: comparison requires numbers"},
      {"(lt true true)", "error: Type error: comparison requires numbers"},
      {"(eq true true)", "true"},
      {"(lt (NaN) 1)", "error: Type error: invalid float"},
      {"(lt 1 (NaN))", "error: Type error: invalid float"},
      {"(le (NaN) (NaN))", "error: Type error: invalid float"},
      {"(lt (NaN) nil)", "error: Type error: comparison requires numbers"},
      {"(lt 1 1 (NaN))", "false"},
      {"(le 1 1 (NaN))", "error: Type error: invalid float"},
      // Across kinds: exact between integers and ratios, through doubles with a float.
      {"[(le 1/2 0.5) (ge 0.5 1/2) (lt 1/3 1/2) (lt 1 1.0) (le 1 1.0)]",
       "[true true true false true]"},
      {"[(le -0.0 0.0) (ge -0.0 0.0) (lt -0.0 0.0)]", "[true true false]"},
      {"(lt 9223372036854775807/9223372036854775806 9223372036854775806/9223372036854775805)",
       "true"},
      {"(gt 9223372036854775807 9223372036854775807/2)", "true"},
      {"(lt -9223372036854775808 -9223372036854775807/9223372036854775806)", "true"},
      {"(lt 9007199254740993 9007199254740992.0)", "false"},
      {"(le 9007199254740993 9007199254740992.0)", "true"},
      {"(lt 9007199254740992 9007199254740993)", "true"},
      {"(gt (Infinity) 9223372036854775807)", "true"},
      // `=` tests adjacent pairs only, so equality is not carried along the chain.
      {"(eq 9007199254740993 9007199254740992.0 9007199254740992)", "true"},
      {"(eq 9007199254740993 9007199254740992)", "false"},
      {"[(eq 1/2 0.5) (eq 1 1.0) (eq (NaN) (NaN)) (eq 1 nil) (eq 1 2 nil)]",
       "[true true false false false]"},
      {"[(eq [1 2] '(1 2)) (eq {:a [1]} {:a [1]}) (eq \"a\" \"a\" \"b\")]", "[true true false]"},
  });
}

TEST(CoreBuiltins, PredicatesAndType) {
  expect_cases({
      // Any count: the first argument is tested, none at all answers false.
      {"[(nil?) (nil? nil 5) (number? 1/2) (ratio? 1/2) (number? \"1\") (number? 1.5)]",
       "[false true true true false true]"},
      {"[(int? 1.0) (float? 1.0) (int? 1) (float? 1)]", "[false true true false]"},
      {"(int? 1 2)", "error: Wrong number of arguments: expected 1, got 2"},
      {"(float?)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(effect?)", "error: Wrong number of arguments: expected 1, got 0"},
      {"[(coll? nil) (coll? \"abc\") (coll? [1]) (coll? #{1}) (coll? {:a 1}) (coll? '())]",
       "[true false true true true true]"},
      {"[(list? '(1)) (seq? '(1)) (seq? [1]) (vector? [1]) (list? [1]) (vector? '(1))]",
       "[true true false true false false]"},
      {"[(map? {}) (map? #{}) (set? #{}) (set? []) (map? nil)]", "[true false true false false]"},
      // Functions are builtins and closures; keywords, sets and maps are callable but are not.
      {"[(fn? first) (fn? (fn [x] x)) (fn? :k) (fn? #{1}) (fn? {:a 1}) (fn? nil)]",
       "[true true false false false false]"},
      {"[(string? \"s\") (string? :s) (symbol? :s) (keyword? :s) (symbol? 's) (keyword? 's)]",
       "[true false false true true false]"},
      {"(effect? (__make_effect__ []) 1)", "true"},
      {"[(effect? 1) (effect? (atom 1))]", "[false false]"},
      {"[(type nil) (type true) (type 1) (type 1.5) (type 1/2) (type 'a) (type :a)]",
       "[:nil :bool :int :float :ratio :symbol :keyword]"},
      {"[(type \"a\") (type '(1)) (type [1]) (type #{}) (type {}) (type first) "
       "(type (fn [] 1)) (type (atom 1))]",
       "[:string :list :vector :set :map :fn :fn :atom]"},
      {"[(type (__make_effect__ [])) (type #\"a\")]", "[:effect :regex]"},
      {"(= (type 1) :int)", "true"},
      {"(type)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(type 1 2)", "error: Wrong number of arguments: expected 1, got 2"},
  });
}

TEST(CoreBuiltins, Atoms) {
  expect_cases({
      {"(deref (atom 5))", "5 :int"},
      {"(deref (atom))", "nil"},
      {"@(atom 5)", "5 :int"},
      {"(deref (atom 5 6))", "5 :int"},
      {"(def a (atom 1)) [(reset! a 3) @a]", "[3 3]"},
      {"(def a (atom 1)) [(reset! a 3 4) @a]", "[3 3]"},
      // Extra arguments follow the current value.
      {"(def a (atom 1)) [(swap! a plus 10 100) @a]", "[111 111]"},
      {"(def a (atom 1)) (swap! a minus 1) (swap! a times 5 2) (swap! a (fn [x] [x])) @a", "[0]"},
      // A function that resets the atom itself: its result overwrites that change.
      {"(def a (atom 1)) [(swap! a (fn [x] (reset! a 100) (+ x 1))) @a]", "[2 2]"},
      {"(def a (atom 1)) [(swap! a (fn [x] (swap! a (fn [y] (* y 10))) (+ x @a))) @a]", "[11 11]"},
      // A failing function leaves the atom as it left it, and its error comes back unchanged.
      {"(def a (atom 1)) (swap! a (fn [x] (/ x 0)))", "error: Division by zero"},
      {"(deref 5)", "error: Type error: deref requires an atom"},
      {"(reset! 5 1)", "error: Type error: reset! requires an atom"},
      {"(swap! 5 plus)", "error: Type error: swap! expects an atom"},
      {"(swap! (atom 1))", "error: Wrong number of arguments: expected 2, got 1"},
      {"(reset! (atom 1))", "error: Wrong number of arguments: expected 2, got 1"},
      {"(deref)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(swap! (atom 1) 5)", "error: Value is not callable"},
      {"[(= (atom 1) (atom 1)) (let [a (atom 1)] (= a a))]", "[false true]"},
  });
}

// A failed swap! keeps what the function left in the atom.
TEST(CoreBuiltins, AFailingSwapFunctionLeavesTheAtomAsItLeftIt) {
  struct Step {
    const char* source;
    const char* expected;
  };
  const Step steps[] = {
      {"(def a (atom 1))", "<atom>"},
      {"(swap! a (fn [x] (/ x 0)))", "error: Division by zero"},
      {"@a", "1 :int"},
      {"(swap! a (fn [x] (reset! a 7) (nil 1)))", "error: Value is not callable"},
      {"@a", "7 :int"},
      {"(swap! a (fn [x] (+ x 1)))", "8 :int"},
  };
  std::unique_ptr<Vm> vm = vm_new_bare();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.source);
    EXPECT_EQ(run_with_kind(*vm, step.source), step.expected);
  }
}

TEST(CoreBuiltins, HiddenRowsThatCompiledFormsCall) {
  expect_cases({
      {"(__make_effect__)", "error: Wrong number of arguments: expected 1, got 0"},
      {"(__make_effect__ {:a 1})", "error: Type error: expected ops vector"},
      {"(__make_effect__ '(1 ask))", "error: Type error: operation name must be a symbol"},
      {"(__make_effect__ '(ask \"1\"))", "error: Type error: operation arity must be an integer"},
      {"(assert-failed)", "error: Assertion failed: assertion failed"},
      {"(assert-failed \"boom\")", "error: Assertion failed: boom"},
      {"(assert-failed 42)", "error: Assertion failed: 42"},
      {"(assert-failed nil)", "error: Assertion failed: nil"},
      {"(__throw-arity 2 3)", "error: Wrong number of arguments: expected 2, got 3"},
      {"(__throw-arity)", "error: Wrong number of arguments: expected 0, got 0"},
      {"(__throw-arity 2 \"x\")", "error: Wrong number of arguments: expected 2, got 0"},
      // Rebinding the globals changes what the forms call.
      {"(def assert-failed (fn [msg] [:caught msg])) (assert false \"no\")", "[:caught \"no\"]"},
  });
}

} // namespace
} // namespace quorvex
