// The text builtins through the whole engine: strings and format, symbols, keywords and number
// parsing, and regular expressions. The values they answer are conformance programs
// (tests/conformance/builtins); here are the tables of refused arguments, one program each, the
// parsers' answers checked to the bit and by kind, and which results are new objects.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine_cases.hpp"
#include "value/printer.hpp"
#include "value/strings.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace quorvex {
namespace {

using engine_cases::expect_cases;
using engine_cases::run;

constexpr const char* kArity1Of0 = "error: Wrong number of arguments: expected 1, got 0";
constexpr const char* kArity1Of2 = "error: Wrong number of arguments: expected 1, got 2";
constexpr const char* kNotString = "error: Type error: expected a string";

// What each string builtin refuses, in the order it checks: the count, then the arguments from
// the first to the last.
TEST(StringBuiltins, ArgumentErrors) {
  expect_cases({
      {"(pr-str 1 2)", kArity1Of2},
      {"(pr-str)", kArity1Of0},
      {"(format)", kArity1Of0},
      {"(format 1)", kNotString},
      {R"~((subs "hello" -1))~", "error: Type error: start must be non-negative"},
      {R"~((subs "hello" 1.0))~", "error: Type error: start must be integer"},
      {R"~((subs "hello" 0 -1))~", "error: Type error: end must be non-negative"},
      {R"~((subs "hello" 0 2.0))~", "error: Type error: end must be integer"},
      {R"~((subs :a 0))~", "error: Type error: subs requires a string"},
      {R"~((subs :a :b :c))~", "error: Type error: subs requires a string"},
      {R"~((subs "hello" -1 :x))~", "error: Type error: start must be non-negative"},
      {R"~((subs "hello"))~", "error: Wrong number of arguments: expected 2, got 1"},
      {"(string-length :a)", "error: Type error: string-length requires a string"},
      {"(string-length)", kArity1Of0},
      {R"~((split 1 ","))~", kNotString},
      {R"~((split "a" :b))~", kNotString},
      {R"~((split "a"))~", "error: Wrong number of arguments: expected 2, got 1"},
      {R"~((split "a" "b" "c"))~", "error: Wrong number of arguments: expected 2, got 3"},
      {R"~((join ", " #{1}))~", "error: Type error: join requires a sequence"},
      {R"~((join ", " "abc"))~", "error: Type error: join requires a sequence"},
      {"(join 1 [1])", kNotString},
      {"(trim 1)", kNotString},
      {"(triml :a)", kNotString},
      {"(trimr nil)", kNotString},
      {R"~((trim "a" "b"))~", kArity1Of2},
      {"(trimr)", kArity1Of0},
      {"(upper-case 1)", kNotString},
      {"(lower-case)", kArity1Of0},
      {R"~((starts-with? 1 "a"))~", kNotString},
      {R"~((ends-with? "a" :a))~", kNotString},
      {R"~((starts-with? "a"))~", "error: Wrong number of arguments: expected 2, got 1"},
  });
}

TEST(StringBuiltins, EveryResultIsANewString) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  ASSERT_EQ(run(*vm, R"~((def s "abc"))~"), R"~("abc")~");
  const char* programs[] = {"(str s)",        "(subs s 0)",      "(trim s)",
                            "(lower-case s)", "(join \"\" [s])", "(format s)"};
  const std::expected<Value, EngineError> original = vm_eval(*vm, "s");
  ASSERT_TRUE(original.has_value());
  for (const char* program : programs) {
    SCOPED_TRACE(program);
    const std::expected<Value, EngineError> made = vm_eval(*vm, program);
    ASSERT_TRUE(made.has_value());
    ASSERT_TRUE(made->is_object());
    EXPECT_NE(made->as.key, original->as.key);
    EXPECT_EQ(string_view_of(vm->heap, *made), std::optional<std::string_view>("abc"));
  }
  // `name` of a string is the string itself.
  const std::expected<Value, EngineError> named = vm_eval(*vm, "(name s)");
  ASSERT_TRUE(named && named->is_object());
  EXPECT_EQ(named->as.key, original->as.key);
}

TEST(SymbolBuiltins, ArgumentErrorsAndEqualNames) {
  expect_cases({
      {"(name 1)", "error: Type error: name requires a symbol, keyword, or string"},
      {R"~((namespace "a/b"))~", "error: Type error: namespace requires a symbol or keyword"},
      {"(name)", kArity1Of0},
      {"(namespace)", kArity1Of0},
      {"(symbol 1)", kNotString},
      {"(keyword :k)", kNotString},
      {"(symbol)", kArity1Of0},
  });
  // Equal texts give equal values, whichever way the name came to be.
  std::unique_ptr<Vm> vm = vm_new_bare();
  const auto made = vm_eval(*vm, R"~((keyword "k"))~");
  const auto literal = vm_eval(*vm, ":k");
  ASSERT_TRUE(made && literal);
  EXPECT_TRUE(same_tag_payload_equal(*made, *literal) && made->tag == literal->tag);
  const auto symbol = vm_eval(*vm, R"~((symbol "a/b"))~");
  const auto quoted = vm_eval(*vm, "'a/b");
  ASSERT_TRUE(symbol && quoted);
  EXPECT_TRUE(same_tag_payload_equal(*symbol, *quoted) && symbol->tag == quoted->tag);
}

// A parse outcome: nil, or the exact Int or Float value.
struct Parsed {
  enum Kind { Nil, Int, Float } kind;
  std::int64_t integer = 0;
  double floating = 0.0;
};
Parsed nil_result() {
  return {Parsed::Nil};
}
Parsed int_result(std::int64_t i) {
  return {Parsed::Int, i};
}
Parsed float_result(double d) {
  return {Parsed::Float, 0, d};
}

struct ParseCase {
  const char* source;
  Parsed expected;
};

void expect_parses(std::initializer_list<ParseCase> cases) {
  std::unique_ptr<Vm> vm = vm_new_bare();
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.source);
    const std::expected<Value, EngineError> r = vm_eval(*vm, c.source);
    ASSERT_TRUE(r.has_value()) << to_string(r.error());
    switch (c.expected.kind) {
    case Parsed::Nil:
      EXPECT_TRUE(r->is_nil()) << run(*vm, c.source);
      break;
    case Parsed::Int:
      ASSERT_TRUE(r->is_int()) << run(*vm, c.source);
      EXPECT_EQ(r->as.integer, c.expected.integer);
      break;
    case Parsed::Float:
      ASSERT_TRUE(r->is_float()) << run(*vm, c.source);
      if (std::isnan(c.expected.floating)) {
        EXPECT_TRUE(std::isnan(r->as.floating));
      } else {
        // Bit for bit, so that the sign of a zero counts.
        EXPECT_EQ(std::bit_cast<std::uint64_t>(r->as.floating),
                  std::bit_cast<std::uint64_t>(c.expected.floating))
            << r->as.floating;
      }
      break;
    }
  }
}

TEST(NumberParsing, ParseInt) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  expect_parses({
      {R"~((parse-int "42"))~", int_result(42)},
      {R"~((parse-int "-17"))~", int_result(-17)},
      {R"~((parse-int "+5"))~", int_result(5)},
      {R"~((parse-int "0007"))~", int_result(7)},
      {R"~((parse-int "-0"))~", int_result(0)},
      {R"~((parse-int "ff" 16))~", int_result(255)},
      {R"~((parse-int "FF" 16))~", int_result(255)},
      {R"~((parse-int "-101" 2))~", int_result(-5)},
      {R"~((parse-int "zZ" 36))~", int_result(35 * 36 + 35)},
      {R"~((parse-int "9223372036854775807"))~", int_result(kMax)},
      {R"~((parse-int "-9223372036854775808"))~", int_result(kMin)},
      {R"~((parse-int "7fffffffffffffff" 16))~", int_result(kMax)},
      {R"~((parse-int "-8000000000000000" 16))~", int_result(kMin)},
      {R"~((parse-int "9223372036854775808"))~", nil_result()},
      {R"~((parse-int "-9223372036854775809"))~", nil_result()},
      {R"~((parse-int "8000000000000000" 16))~", nil_result()},
      {R"~((parse-int "99999999999999999999999"))~", nil_result()},
      {R"~((parse-int " 1"))~", nil_result()},
      {R"~((parse-int "1 "))~", nil_result()},
      {R"~((parse-int ""))~", nil_result()},
      {R"~((parse-int "-"))~", nil_result()},
      {R"~((parse-int "+-1"))~", nil_result()},
      {R"~((parse-int "1.0"))~", nil_result()},
      {R"~((parse-int "2" 2))~", nil_result()},
      {R"~((parse-int "0x10" 16))~", nil_result()},
      {R"~((parse-int "1_000"))~", nil_result()},
      {"(parse-int \"\u0663\")", nil_result()}, // an Arabic-Indic digit
      {"(parse-int \"\uff11\")", nil_result()}, // a full-width digit
  });
  expect_cases({
      {R"~((parse-int "10" 2.0))~", "error: Type error: radix must be integer"},
      {R"~((parse-int 10 2.0))~", kNotString},
      {R"~((parse-int "10" 1))~", "error: Type error: radix must be between 2 and 36"},
      {R"~((parse-int "10" 37))~", "error: Type error: radix must be between 2 and 36"},
      {R"~((parse-int "10" -16))~", "error: Type error: radix must be between 2 and 36"},
      {R"~((parse-int "1" 10 3))~", "error: Wrong number of arguments: expected 1, got 3"},
      {"(parse-int)", kArity1Of0},
  });
}

TEST(NumberParsing, ParseDouble) {
  constexpr double kInf = std::numeric_limits<double>::infinity();
  expect_parses({
      {R"~((parse-double "1.5"))~", float_result(1.5)},
      {R"~((parse-double ".5"))~", float_result(0.5)},
      {R"~((parse-double "5."))~", float_result(5.0)},
      {R"~((parse-double "+.5"))~", float_result(0.5)},
      {R"~((parse-double "1e3"))~", float_result(1000.0)},
      {R"~((parse-double "1E+3"))~", float_result(1000.0)},
      {R"~((parse-double "-1.5e-3"))~", float_result(-0.0015)},
      {R"~((parse-double "-0"))~", float_result(-0.0)},
      {R"~((parse-double "42"))~", float_result(42.0)},
      {R"~((parse-double "0.1"))~", float_result(0.1)},
      {R"~((parse-double "1e0000000000000000000000001"))~", float_result(10.0)},
      {R"~((parse-double "1.7976931348623157e308"))~",
       float_result(std::numeric_limits<double>::max())},
      {R"~((parse-double "4.9e-324"))~", float_result(std::numeric_limits<double>::denorm_min())},
      {R"~((parse-double "2.2250738585072014e-308"))~",
       float_result(std::numeric_limits<double>::min())},
      // Beyond the range: an infinity or a zero, with the text's sign.
      {R"~((parse-double "1e400"))~", float_result(kInf)},
      {R"~((parse-double "-1.8e308"))~", float_result(-kInf)},
      {R"~((parse-double "1e99999999999999999999"))~", float_result(kInf)},
      {R"~((parse-double "1e-400"))~", float_result(0.0)},
      {R"~((parse-double "-1e-400"))~", float_result(-0.0)},
      {R"~((parse-double "2e-324"))~", float_result(0.0)},
      {R"~((parse-double "-0.00000e-99999999999999999999"))~", float_result(-0.0)},
      {R"~((parse-double "0e99999999999999999999"))~", float_result(0.0)},
      {R"~((parse-double "0.0000000000000000000001e99999"))~", float_result(kInf)},
      {R"~((parse-double "100000000000000000000000e-99999"))~", float_result(0.0)},
      {R"~((parse-double "inf"))~", float_result(kInf)},
      {R"~((parse-double "-INF"))~", float_result(-kInf)},
      {R"~((parse-double "+Infinity"))~", float_result(kInf)},
      {R"~((parse-double "iNfInItY"))~", float_result(kInf)},
      {R"~((parse-double "nan"))~", float_result(std::nan(""))},
      {R"~((parse-double "-NaN"))~", float_result(std::nan(""))},
      {R"~((parse-double "1e"))~", nil_result()},
      {R"~((parse-double "1e+"))~", nil_result()},
      {R"~((parse-double "e5"))~", nil_result()},
      {R"~((parse-double "."))~", nil_result()},
      {R"~((parse-double ".e1"))~", nil_result()},
      {R"~((parse-double "1.2.3"))~", nil_result()},
      {R"~((parse-double "abc"))~", nil_result()},
      {R"~((parse-double " 1"))~", nil_result()},
      {R"~((parse-double "1 "))~", nil_result()},
      {R"~((parse-double ""))~", nil_result()},
      {R"~((parse-double "+"))~", nil_result()},
      {R"~((parse-double "--1"))~", nil_result()},
      {R"~((parse-double "1_0"))~", nil_result()},
      {R"~((parse-double "0x1p3"))~", nil_result()},
      {R"~((parse-double "infin"))~", nil_result()},
      {R"~((parse-double "nan(1)"))~", nil_result()},
      {R"~((parse-double "1/2"))~", nil_result()},
      {"(parse-double \"\u0661.5\")", nil_result()},
  });
  expect_cases({
      {"(parse-double 1.5)", kNotString},
      {R"~((parse-double "1" "2"))~", kArity1Of2},
      {"(parse-double)", kArity1Of0},
  });
}

TEST(RegexBuiltins, SearchAndMatch) {
  expect_cases({
      // Unicode classes.
      // Argument checks: the regex first, then the text.
      {R"~((re-find "a" "a"))~", "error: Type error: expected a regex"},
      {R"~((re-find "a" 1))~", "error: Type error: expected a regex"},
      {R"~((re-seq #"a" :a))~", kNotString},
      {R"~((re-matches #"a" nil))~", kNotString},
      {R"~((re-find #"a"))~", "error: Wrong number of arguments: expected 2, got 1"},
      {R"~((re-seq #"a" "a" "a"))~", "error: Wrong number of arguments: expected 2, got 3"},
      {R"~((re-pattern (re-pattern "a")))~", kNotString},
      {"(re-pattern)", kArity1Of0},
  });
}

TEST(RegexBuiltins, Replace) {
  expect_cases({
      // $ expansion.
      // Argument checks: the text, then the replacement, then the pattern.
      {R"~((replace "abc" :b "x"))~", "error: Type error: replace pattern must be string or regex"},
      {R"~((replace-first "abc" 1 "x"))~",
       "error: Type error: replace-first pattern must be string or regex"},
      {R"~((replace 1 "a" "b"))~", kNotString},
      {R"~((replace "a" :b 1))~", kNotString},
      {R"~((replace "a" "a"))~", "error: Wrong number of arguments: expected 3, got 2"},
  });
}

TEST(RegexBuiltins, RefusedPatternsAreValueErrorsThatSayWhy) {
  struct ErrorCase {
    const char* source;
    const char* mentions; // a part of the reason that the message must carry
  };
  const ErrorCase cases[] = {
      {R"~((re-pattern "("))~", "missing closing )"},
      {R"~((re-pattern "a)"))~", "unmatched )"},
      {R"~((re-pattern "[a"))~", "missing closing ]"},
      {R"~((re-pattern "a(?=b)"))~", "look-around is not supported"},
      {R"~((re-pattern "(?<!a)b"))~", "look-around is not supported"},
      {R"~((re-pattern "(a)\\1"))~", "back-references are not supported"},
      {R"~((re-pattern "a**"))~", "repetition"},
      {R"~((re-pattern "[z-a]"))~", "range"},
      {R"~((re-pattern "\\e"))~", "escape"},
      {R"~((re-matches #"(?x)a#comment" "a"))~", "missing closing )"},
  };
  for (const ErrorCase& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    const std::string result = run(*vm, c.source);
    const std::string prefix = "error: Value error: invalid regex: ";
    EXPECT_EQ(result.substr(0, prefix.size()), prefix) << result;
    EXPECT_NE(result.find(c.mentions), std::string::npos) << result;
    EXPECT_NE(result.find("at character "), std::string::npos) << result;
  }
  // The verbose pattern itself compiles and searches.
  expect_cases({{R"~((re-find #"(?x)a  b # comment" "xab"))~", R"~("ab")~"}});
}

// Each source on a fresh bare machine where `setup` has defined `big` (answering `length`): the
// source stops with the hook's error at its third poll; then, without the hook, each of `after`
// answers what it must, so the machine is usable after the stop.
void expect_stops_at_third_poll(const char* setup, const char* length,
                                std::initializer_list<const char*> sources,
                                std::initializer_list<engine_cases::Case> after = {}) {
  for (const char* source : sources) {
    SCOPED_TRACE(source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    ASSERT_EQ(run(*vm, setup), length);
    engine_cases::StopAtThirdPoll counter(*vm);
    EXPECT_EQ(run(*vm, source), "error: Value error: stop now");
    EXPECT_EQ(counter.polls, 3);
    vm->interrupt_hook = nullptr;
    for (const engine_cases::Case& c : after)
      EXPECT_EQ(run(*vm, c.source), c.expected) << c.source;
  }
}

// A text of a million characters holds a million matches (or pieces): walking them polls the
// interrupt hook, and the engine is usable after the stop.
TEST(RegexBuiltins, LongMatchWalksStopAtAnInterrupt) {
  expect_stops_at_third_poll("(def big (apply str (repeat 1000000 \"a\"))) (string-length big)",
                             "1000000",
                             {
                                 R"~((re-seq #"" big))~",
                                 R"~((re-seq #"a" big))~",
                                 R"~((replace big #"" "-"))~",
                                 R"~((replace big #"(a)" "<$1>"))~",
                                 R"~((replace big #"a" "b"))~",
                                 R"~((replace big "" "-"))~",
                                 R"~((replace big "a" "b"))~",
                                 // Splitting walks the pieces the same way.
                                 R"~((split big ""))~",
                                 R"~((split big "a"))~",
                             },
                             {{"(count (re-seq #\"a\" (subs big 0 10)))", "10"}});
}

TEST(TextBuiltins, CaseMappingOfALongTextStopsAtAnInterrupt) {
  expect_stops_at_third_poll("(def big (apply str (repeat 1000000 \"ab 1 \"))) (string-length big)",
                             "5000000",
                             {R"~((count (upper-case big)))~", R"~((count (lower-case big)))~"});
}

TEST(TextBuiltins, CaseMappingOfALongTextAsOfEachPart) {
  // A long text is mapped in pieces: a final sigma (lower-cased as "ς" only when no letter
  // follows, past case-ignorable characters such as ":" and "'") must come out as it would in
  // a text short enough to be mapped whole.
  const char* units[] = {
      "ΟΔΟΣ 1 ΣΑ:1 ",
      "ΑΣ:12ΑΣ'3Σ4",
      "aΣ1.Σb'Σ:'x2",
  };
  for (const char* unit : units) {
    SCOPED_TRACE(unit);
    std::unique_ptr<Vm> vm = vm_new_bare();
    const std::string u = std::string("\"") + unit + "\"";
    for (const char* fn : {"lower-case", "upper-case"}) {
      EXPECT_EQ(run(*vm, std::string("(= (") + fn + " (apply str (repeat 100000 " + u +
                             "))) (apply str (repeat 100000 (" + fn + " " + u + "))))"),
                "true");
    }
  }
}

TEST(TextBuiltins, PrintingALongStringReadablyStopsAtAnInterrupt) {
  expect_stops_at_third_poll(
      "(def big (apply str (repeat 1000000 \"a\\\"\"))) (string-length big)", "2000000",
      {R"~((count (pr-str big)))~", R"~((count (pr-str [1 big])))~",
       R"~((count (pr-str {:k big})))~"},
      // Escaped in pieces, the text is the same as escaped whole.
      {{"(= big (read-string (pr-str big)))", "true"}, {"(count (pr-str big))", "3000002"}});
}

TEST(TextBuiltins, TrimmingLongWhiteSpaceStopsAtAnInterrupt) {
  expect_stops_at_third_poll(
      "(def big (apply str (repeat 1000000 \" \u3000 \"))) (string-length big)", "3000000",
      {R"~((trim big))~", R"~((triml big))~", R"~((trimr big))~", R"~((trimr (str "x" big)))~"});
}

TEST(TextBuiltins, TrimmingFromTheEndDecodesWholeCharacters) {
  // The end is read backwards: multi-byte white space goes, multi-byte content stays whole.
  const engine_cases::Case cases[] = {
      {R"~((trimr "x\u3000"))~", R"~("x")~"},
      {R"~((trimr "é\u00a0\u2028"))~", R"~("é")~"},
      {R"~((trimr "\u00a0é"))~", "\"\u00a0é\""},
      {R"~((trim "\u3000 \u3000"))~", R"~("")~"},
      {R"~((trim " a\u2028b\u2028 "))~", "\"a\u2028b\""},
      {R"~((trimr "😀 "))~", R"~("😀")~"},
      {R"~((trimr "\u1680"))~", R"~("")~"},
  };
  expect_cases(cases);
}

} // namespace
} // namespace quorvex
