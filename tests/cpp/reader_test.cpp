#include "reader/reader.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "regex/regex.hpp"
#include "util/depth_guard.hpp"
#include "util/internal_error.hpp"

namespace quorvex {
namespace {

// A compact text of a form for comparisons: wrappers are transparent, floats carry a #f prefix
// and ratios #r, a symbol or keyword shows its namespace as ns/name, and a name without
// namespace that contains '/' is written |name|. Map entries and set elements are sorted, since
// their order is random.
std::string show(const Form& form) {
  const Form& f = form.peeled();
  auto name_of = [](const Form& s) {
    std::string out;
    if (s.ns()) {
      out += *s.ns();
      out += '/';
    }
    if (s.name().find('/') != std::string_view::npos) {
      out += '|';
      out += s.name();
      out += '|';
    } else {
      out += s.name();
    }
    return out;
  };
  auto join = [](std::vector<std::string> parts, bool sort) {
    if (sort) std::sort(parts.begin(), parts.end());
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      if (i != 0) out += ' ';
      out += parts[i];
    }
    return out;
  };
  switch (f.kind()) {
  case Form::Kind::Nil:
    return "nil";
  case Form::Kind::Bool:
    return f.as_bool() ? "true" : "false";
  case Form::Kind::Int:
    return std::to_string(f.as_int());
  case Form::Kind::Ratio:
    return "#r" + std::to_string(f.as_ratio().num) + "/" + std::to_string(f.as_ratio().den);
  case Form::Kind::Float: {
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, f.as_float());
    return "#f" + std::string(buf, r.ptr);
  }
  case Form::Kind::String: {
    std::string out = "\"";
    for (char c : f.as_string()) {
      if (c == '\n') {
        out += "\\n";
      } else if (c == '"' || c == '\\') {
        out += '\\';
        out += c;
      } else {
        out += c;
      }
    }
    return out + "\"";
  }
  case Form::Kind::Symbol:
    return name_of(f);
  case Form::Kind::Keyword:
    return ":" + name_of(f);
  case Form::Kind::List:
  case Form::Kind::Vector: {
    std::vector<std::string> parts;
    for (const Form& item : f.items())
      parts.push_back(show(item));
    bool list = f.is(Form::Kind::List);
    return (list ? "(" : "[") + join(parts, false) + (list ? ")" : "]");
  }
  case Form::Kind::Map: {
    std::vector<std::string> parts;
    for (const auto& [k, v] : f.as_map())
      parts.push_back(show(k) + " " + show(v));
    return "{" + join(parts, true) + "}";
  }
  case Form::Kind::Set: {
    std::vector<std::string> parts;
    for (const Form& e : f.as_set())
      parts.push_back(show(e));
    return "#{" + join(parts, true) + "}";
  }
  case Form::Kind::Regex:
    return "#\"" + f.as_regex()->pattern() + "\"";
  default:
    return "<" + std::string(form_type_name(f.kind())) + ">";
  }
}

std::string read_shown(std::string_view text) {
  auto forms = read_all(text);
  if (!forms) return "error: " + forms.error().message();
  std::vector<std::string> parts;
  for (const Form& f : *forms)
    parts.push_back(show(f));
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i)
    out += (i ? " | " : "") + parts[i];
  return out;
}

struct ReadCase {
  std::string text;
  std::string shown;
};

void expect_reads(const std::vector<ReadCase>& cases) {
  for (const auto& c : cases)
    EXPECT_EQ(read_shown(c.text), c.shown) << "text: " << c.text;
}

TEST(Reader, Atoms) {
  expect_reads({
      {"nil", "nil"},
      {"true false", "true | false"},
      {"nil?", "nil?"},
      // Decimal integers.
      {"42", "42"},
      {"+5", "5"},
      {"-0", "0"},
      {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"9223372036854775808", "9223372036854775808"}, // too large: a symbol
      {"-9223372036854775809", "-9223372036854775809"},
      {"1_000", "1_000"},
      // Ratios keep their reduced parts, even with denominator 1.
      {"1/2", "#r1/2"},
      {"-2/4", "#r-1/2"},
      {"1/-2", "#r-1/2"},
      {"+3/-6", "#r-1/2"},
      {"0/5", "#r0/1"},
      {"0/-5", "#r0/1"},
      {"4/2", "#r2/1"},
      {"-9223372036854775808/2", "#r-4611686018427387904/1"},
      {"-9223372036854775808/-2", "#r4611686018427387904/1"},
      {"9223372036854775807/-1", "#r-9223372036854775807/1"},
      {"-9223372036854775808/-9223372036854775808", "#r1/1"},
      {"1/x", "1/x"},
      {"1/2/3", "1/|2/3|"},
      // Hexadecimal and radix literals.
      {"0x1F", "31"},
      {"0X1f", "31"},
      {"0x-1F", "-31"},
      {"0x+10", "16"},
      {"0x7FFFFFFFFFFFFFFF", "9223372036854775807"},
      {"0x-8000000000000000", "-9223372036854775808"},
      {"2r1010", "10"},
      {"36rZZ", "1295"},
      {"36rzz", "1295"},
      {"+8r17", "15"},
      {"16r-FF", "-255"},
      {"1r0", "1r0"},
      {"37r1", "37r1"},
      {"str", "str"},
      {"-2r1", "-2r1"},
      // Floats.
      {"1.5", "#f1.5"},
      {".5", "#f0.5"},
      {"5.", "#f5"},
      {"1e3", "#f1000"},
      {"1E3", "#f1000"},
      {"-1.5e-3", "#f-0.0015"},
      {"+.5", "#f0.5"},
      {"1.e2", "#f100"},
      {"1e400", "#finf"},
      {"-1e400", "#f-inf"},
      {"1e-400", "#f0"},
      {"-1e-400", "#f-0"},
      {"0.000000000000000000001e-310", "#f0"},
      {"0.1", "#f0.1"},
      {"1.2.3", "1.2.3"},
      {"e", "e"},
      {"1e", "1e"},
      {"1e+", "1e+"},
      {".e1", ".e1"},
      {".", "."},
      // Symbols: every character that is no delimiter belongs to the token.
      {"foo-bar?", "foo-bar?"},
      {"a'b", "a'b"},
      {"a#b", "a#b"},
      {"a@b:c", "a@b:c"},
      {"-", "-"},
      {"+", "+"},
      {"->x", "->x"},
      {"\u00e9t\u00e9", "\u00e9t\u00e9"},
      {"a/b", "a/b"},
      {"a/b/c", "a/|b/c|"},
      {"/", "|/|"},
      {"/a", "|/a|"},
      {"a/", "|a/|"},
      // Keywords.
      {":a", ":a"},
      {":a/b", ":a/b"},
      {":1", ":1"},
      {"::a", "::a"},
      {":a.b", ":a.b"},
      {":/", ":|/|"},
  });
}

TEST(Reader, NamespacesAreSplitAtTheFirstSlash) {
  auto forms = read_all("a/b :x/y/z c/");
  ASSERT_TRUE(forms);
  const Form& sym = (*forms)[0].peeled();
  ASSERT_TRUE(sym.is(Form::Kind::Symbol));
  EXPECT_EQ(sym.ns(), "a");
  EXPECT_EQ(sym.name(), "b");
  const Form& kw = (*forms)[1].peeled();
  ASSERT_TRUE(kw.is(Form::Kind::Keyword));
  EXPECT_EQ(kw.ns(), "x");
  EXPECT_EQ(kw.name(), "y/z");
  const Form& bare = (*forms)[2].peeled();
  EXPECT_EQ(bare.ns(), std::nullopt);
  EXPECT_EQ(bare.name(), "c/");
}

TEST(Reader, StringLiterals) {
  expect_reads({
      {R"("")", R"("")"},
      {R"("a\u0041")", R"("aA")"},
      {R"("\n\t\r\\\"")", "\"\\n\t\r\\\\\\\"\""},
      {R"("\u00e9\u00E9")", "\"\u00e9\u00e9\""},
      {"\"multi\nline\"", "\"multi\\nline\""},
      {"\"\u00e9\U0001F600\"", "\"\u00e9\U0001F600\""},
      {R"("a;b,c")", R"("a;b,c")"},
  });
  auto forms = read_all(R"("\u0000x")");
  ASSERT_TRUE(forms);
  EXPECT_EQ((*forms)[0].peeled().as_string(), std::string_view("\0x", 2));
}

TEST(Reader, CollectionsAndShorthands) {
  expect_reads({
      {"(a b c)", "(a b c)"},
      {"()", "()"},
      {"[1 [2 []]]", "[1 [2 []]]"},
      {"{:a 1 :b [2]}", "{:a 1 :b [2]}"},
      {"{:a 1 :a 2}", "{:a 2}"},
      {"{}", "{}"},
      {"#{1 1 2}", "#{1 2}"},
      {"#{}", "#{}"},
      {"a,b", "a | b"},
      {"a;b", "a"},
      {"(1 2 3) ; to the end", "(1 2 3)"},
      {"; only a comment\n  ,,, ", ""},
      {"", ""},
      {"'x", "(quote x)"},
      {"@x", "(deref x)"},
      {"`(a ~b ~@c)", "(syntax-quote (a (unquote b) (unquote-splicing c)))"},
      {"' ; c\n x", "(quote x)"},
      {"''x", "(quote (quote x))"},
      {"a\u00a0b\u3000c\u2028d", "a | b | c | d"},
      {"a\u200bb", "a\u200bb"}, // zero-width space is no white space
  });
}

TEST(Reader, DispatchForms) {
  expect_reads({
      {"#_ 1 2", "2"},
      {"(a #_ b c)", "(a c)"},
      {"#_#_ 1 2 3", "3"},
      {"#(+ % 1)", "(fn [%1] (+ %1 1))"},
      {"#(apply f %1 %&)", "(fn [%1 & %&] (apply f %1 %&))"},
      {"#()", "(fn [] ())"},
      {"#(* %2 %2)", "(fn [%1 %2] (* %2 %2))"},
      {"#(list %&)", "(fn [& %&] (list %&))"},
      {"#(f %0)", "(fn [] (f %0))"},
      {"#(f %02)", "(fn [%1 %2] (f %02))"},
      {"#(f [%] {% %3} #{%})", "(fn [%1 %2 %3] (f [%1] {%1 %3} #{%1}))"},
      {"#(f x/%)", "(fn [%1] (f %1))"},
      {"#(map #(+ % %2) %)", "(fn [%1 %2] (map (fn [%1 %2] (+ %1 %2)) %1))"},
      {"#x\"/a/b\"", "(xpath \"/a/b\")"},
      {"#x\"a\\nb\"", "(xpath \"a\\nb\")"},
      {"#\"a\\d+\"", "#\"a\\d+\""},
      {"#\"a\\\"b\"", "#\"a\"b\""},
      {"#\"\\\\\"", "#\"\\\\\""},
      {"#\"\\\\\\\"\"", "#\"\\\\\"\""},
      {"#\"[\\w-]\"", "#\"[\\w-]\""},
  });
}

TEST(Reader, AnonymousFnTakesParametersUpTo255) {
  auto forms = read_all("#(f %255)");
  ASSERT_TRUE(forms);
  const Form& fn = (*forms)[0].peeled();
  ASSERT_EQ(fn.items().size(), 3u);
  const FormVec& params = fn.items()[1].items();
  ASSERT_EQ(params.size(), 255u);
  EXPECT_EQ(params[0].name(), "%1");
  EXPECT_EQ(params[254].name(), "%255");
}

TEST(Reader, RegexLiteralsCompileWhileReading) {
  auto forms = read_all(R"(#"\\" #"a\"b" #"\d+")");
  ASSERT_TRUE(forms);
  const auto& backslash = (*forms)[0].peeled().as_regex();
  EXPECT_EQ(backslash->pattern(), "\\\\");
  EXPECT_TRUE(backslash->full_match("\\"));
  EXPECT_TRUE((*forms)[1].peeled().as_regex()->full_match("a\"b"));
  EXPECT_TRUE((*forms)[2].peeled().as_regex()->full_match("\u0663\u0664"));
}

struct ErrorCase {
  std::string text;
  std::string message;
  std::uint32_t start;
  std::uint32_t end;
};

TEST(Reader, ErrorsCarryMessageAndLocation) {
  const std::vector<ErrorCase> cases = {
      {"(a b", "Unclosed list", 0, 4},
      {"x (a\n b", "Unclosed list", 2, 7},
      {"[1 2", "Unclosed vector", 0, 4},
      {"{:a 1", "Unclosed map", 0, 5},
      {"{:a 1 :b}", "Map literal requires even number of forms", 0, 9},
      {"{:a}", "Map literal requires even number of forms", 0, 4},
      {")", "Unexpected token", 0, 0},
      {"(a ]", "Unexpected token", 3, 3},
      {"'", "Unexpected EOF", 1, 1},
      {"'  ; c", "Unexpected EOF", 6, 6},
      {"~@", "Unexpected EOF", 2, 2},
      {": a", "Invalid keyword", 0, 1},
      {"x :", "Invalid keyword", 2, 3},
      {":)", "Invalid keyword", 0, 1},
      {"1/0", "Division by zero in ratio literal", 0, 3},
      {"[-7/00]", "Division by zero in ratio literal", 1, 6},
      {"1/-9223372036854775808", "Ratio literal overflow", 0, 22},
      {"-9223372036854775808/-1", "Ratio literal overflow", 0, 23},
      {" 0x", "Invalid hex literal", 1, 3},
      {"0xG", "Invalid hex literal", 0, 3},
      {"0x8000000000000000", "Invalid hex literal", 0, 18},
      {"0x1/2", "Invalid hex literal", 0, 5},
      {"3rd", "Invalid radix literal", 0, 3},
      {"2r", "Invalid radix literal", 0, 2},
      {"2r2", "Invalid radix literal", 0, 3},
      {"\"abc", "Unclosed string", 0, 4},
      {"\"ab\\", "Invalid escape", 0, 4},
      {"\"a\\q\"", "Unsupported escape", 0, 4},
      {"\"\\\u00e9\"", "Unsupported escape", 0, 4},
      {"\"\\u12G4\"", "Invalid unicode escape", 0, 6},
      {"\"\\u1\u00e9\"", "Invalid unicode escape", 0, 6},
      {"\"\\u12", "Invalid unicode escape", 0, 5},
      {"\"\\uD800\"", "Invalid unicode code point", 0, 7},
      {"\"\\udfff\"", "Invalid unicode code point", 0, 7},
      {"#", "Unsupported reader macro", 0, 1},
      {"#y", "Unsupported reader macro", 0, 1},
      {" #\u00e9", "Unsupported reader macro", 1, 2},
      {"#x \"a\"", "Expected string after #x", 2, 2},
      {"#x", "Expected string after #x", 2, 2},
      {"#x\"a\\q\"", "Unsupported escape", 2, 6},
      {"#{1", "Unclosed set", 1, 3},
      {"#\"abc", "Unclosed regex", 1, 5},
      {"#\"ab\\\"", "Unclosed regex", 1, 6},
      {"#(a", "Unclosed anonymous fn", 1, 3},
      {"#(% %256)", "Anonymous fn parameter out of range", 4, 8},
      {"#(f [%99999999999])", "Anonymous fn parameter out of range", 5, 17},
      {"#_", "Unexpected EOF", 2, 2},
      {"[1 #_2]", "Unexpected token", 6, 6},
      // The innermost error wins.
      {"[1 \"abc", "Unclosed string", 3, 7},
      {"(a [b {:c #{\"d", "Unclosed string", 12, 14},
  };
  // Reading without spans must not change what an error says or where it points.
  for (Spans spans : {Spans::Keep, Spans::Drop}) {
    for (const auto& c : cases) {
      auto result = read_all(c.text, std::nullopt, spans);
      ASSERT_FALSE(result.has_value()) << c.text;
      const CoreError& e = result.error();
      EXPECT_EQ(e.kind.tag, CoreErrorTag::Reader);
      EXPECT_EQ(e.message(), c.message) << c.text;
      ASSERT_TRUE(e.location) << c.text;
      EXPECT_EQ(e.location->start, c.start) << c.text;
      EXPECT_EQ(e.location->end, c.end) << c.text;
      EXPECT_EQ(e.location->line, 0u) << c.text;
      EXPECT_EQ(e.location->column, 0u) << c.text;
    }
  }
}

TEST(Reader, DroppingSpansKeepsTheFormsAndUnwrapsThem) {
  const char* texts[] = {
      "1 -2/4 3.5 \"s\\n\" sym ns/sym :kw :ns/kw nil true",
      "(a [b {:c #{d}}] 'e `(f ~g ~@h) @i)",
      "#(+ % %2 %&) #_ skipped #\"a+\" #x\"/a/b\"",
      "{[1 2] {:deep [#{3}]}}",
  };
  for (const char* text : texts) {
    auto kept = read_all(text, std::nullopt, Spans::Keep);
    auto dropped = read_all(text, std::nullopt, Spans::Drop);
    ASSERT_TRUE(kept && dropped) << text;
    ASSERT_EQ(kept->size(), dropped->size()) << text;
    for (std::size_t i = 0; i < kept->size(); ++i) {
      EXPECT_TRUE(form_eq((*kept)[i], (*dropped)[i])) << text;
      EXPECT_EQ(show((*kept)[i]), show((*dropped)[i])) << text;
      EXPECT_EQ((*kept)[i].kind(), Form::Kind::Spanned) << text;
      EXPECT_NE((*dropped)[i].kind(), Form::Kind::Spanned) << text;
    }
  }
}

TEST(Reader, InvalidRegexQuotesTheEngine) {
  auto result = read_all("x #\"a(b\" y");
  ASSERT_FALSE(result);
  const std::string prefix = "Invalid regex: ";
  EXPECT_EQ(result.error().message().substr(0, prefix.size()), prefix);
  EXPECT_GT(result.error().message().size(), prefix.size());
  EXPECT_EQ(result.error().location->start, 3u);
  EXPECT_EQ(result.error().location->end, 8u);
}

TEST(Reader, ErrorDisplayAndSource) {
  auto result = read_all("(a", Spur{7});
  ASSERT_FALSE(result);
  EXPECT_EQ(format_core_error(result.error()), "Reader error: Unclosed list");
  EXPECT_EQ(result.error().location->source_name(), Spur{7});

  CoreError arity;
  arity.kind.tag = CoreErrorTag::Arity;
  arity.kind.text = "2";
  arity.kind.count = 3;
  EXPECT_EQ(format_core_error(arity), "Arity error: expected 2, got 3");
  CoreError index;
  index.kind.tag = CoreErrorTag::IndexOutOfBounds;
  index.kind.index = -1;
  index.kind.count = 4;
  EXPECT_EQ(format_core_error(index), "Index -1 out of bounds for length 4");
}

TEST(Reader, DeepNestingIsAnOrderlyError) {
  const std::vector<std::string> hostile = {
      std::string(100000, '['),
      std::string(100000, '(') + std::string(100000, ')'),
      std::string(100000, '\'') + "x",
      std::string(50000, '@') + std::string(50000, '`') + "x",
      [] {
        std::string s;
        for (int i = 0; i < 50000; ++i)
          s += "#_";
        return s + "1 2";
      }(),
      [] {
        std::string s;
        for (int i = 0; i < 50000; ++i)
          s += "#(";
        return s;
      }(),
      std::string(100000, '{'),
      [] {
        std::string s;
        for (int i = 0; i < 50000; ++i)
          s += "#{";
        return s;
      }(),
  };
  for (const auto& text : hostile) {
    auto result = read_all(text);
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().message(), "Nesting too deep") << text.substr(0, 8);
  }
}

TEST(Reader, ModerateNestingReadsHashesAndDrops) {
  const int depth = 2000;
  std::string text = "{" + std::string(depth, '[') + std::string(depth, ']') + " 1}";
  auto forms = read_all(text);
  ASSERT_TRUE(forms) << forms.error().message();
  const Form& map = (*forms)[0].peeled();
  ASSERT_EQ(map.as_map().size(), 1u);
  auto again = read_all(text);
  ASSERT_TRUE(again);
  EXPECT_TRUE(form_eq((*forms)[0], (*again)[0]));
}

struct SpanCase {
  std::uint32_t start, end, line, column;
};

TEST(Reader, SpansCountLinesAndCharacters) {
  // Bytes: ( a \n sp sp b é(2) sp c ) \r \n sp d \r x é(2) x
  const std::string text = "(a\n  b\u00e9 c)\r\n d\rx\u00e9x";
  auto forms = read_all(text, Spur{3});
  ASSERT_TRUE(forms) << forms.error().message();
  ASSERT_EQ(forms->size(), 3u);
  auto span_of = [](const Form& f) {
    const SourceSpan& s = f.span();
    return SpanCase{s.start, s.end, s.line, s.column};
  };
  auto expect_span = [&](const Form& f, SpanCase want, const char* what) {
    ASSERT_TRUE(f.is(Form::Kind::Spanned)) << what;
    SpanCase got = span_of(f);
    EXPECT_EQ(got.start, want.start) << what;
    EXPECT_EQ(got.end, want.end) << what;
    EXPECT_EQ(got.line, want.line) << what;
    EXPECT_EQ(got.column, want.column) << what;
    EXPECT_EQ(f.span().source, Spur{3}) << what;
  };
  const Form& list = (*forms)[0];
  expect_span(list, {0, 11, 0, 0}, "list");
  const FormVec& items = list.peeled().items();
  expect_span(items[0], {1, 2, 0, 1}, "a");
  expect_span(items[1], {5, 8, 1, 2}, "b\u00e9");
  expect_span(items[2], {9, 10, 1, 5}, "c");
  expect_span((*forms)[1], {14, 15, 2, 1}, "d");
  // A carriage return is white space and one column like any other character.
  expect_span((*forms)[2], {16, 20, 2, 3}, "x\u00e9x");
}

TEST(Reader, SpansAfterWideSpaceAndWrappedDiscard) {
  auto forms = read_all("\u3000x #_ 1 2");
  ASSERT_TRUE(forms);
  EXPECT_EQ((*forms)[0].span().start, 3u);
  EXPECT_EQ((*forms)[0].span().column, 1u);
  // The discard form wraps twice: the outer span starts at '#', the inner at the kept form.
  const Form& outer = (*forms)[1];
  ASSERT_TRUE(outer.is(Form::Kind::Spanned));
  EXPECT_EQ(outer.span().start, 5u);
  EXPECT_EQ(outer.span().end, 11u);
  ASSERT_TRUE(outer.inner().is(Form::Kind::Spanned));
  EXPECT_EQ(outer.inner().span().start, 10u);
  EXPECT_EQ(outer.inner().span().column, 8u);
  // Synthesised heads are not wrapped, what was read is.
  auto quoted = read_all("'x");
  ASSERT_TRUE(quoted);
  const FormVec& pair = (*quoted)[0].peeled().items();
  EXPECT_TRUE(pair[0].is(Form::Kind::Symbol));
  EXPECT_TRUE(pair[1].is(Form::Kind::Spanned));
  EXPECT_EQ(pair[1].span().start, 1u);
}

std::uint64_t digest(const Form& f, SipKeys keys) {
  SipHasher13 h(keys);
  form_hash(f, h);
  return h.finish();
}

Form read_one(std::string_view text) {
  auto forms = read_all(text);
  EXPECT_TRUE(forms && forms->size() == 1) << text;
  return forms && !forms->empty() ? (*forms)[0] : Form();
}

TEST(Forms, KeysIgnoreSpansAndKeepKindsApart) {
  struct Case {
    const char* text;
    std::size_t size;
  };
  const Case cases[] = {
      {"{a 1 a 2}", 1},        {"{1 :a 1.0 :b}", 2},    {"{0.0 :a -0.0 :b}", 2},
      {"#{[1 2] (1 2)}", 2},   {"#{a/b b}", 2},         {"#{1/2 2/4}", 1},
      {"#{\"a\" a :a}", 3},    {"#{#\"a\" #\"a\"}", 1}, {"#{{:a 1} {:a 1}}", 1},
      {"#{#{1 2} #{2 1}}", 1}, {"{nil 1 false 2}", 2},
  };
  for (const auto& c : cases) {
    Form f = read_one(c.text);
    const Form& inner = f.peeled();
    std::size_t size = inner.is(Form::Kind::Map) ? inner.as_map().size() : inner.as_set().size();
    EXPECT_EQ(size, c.size) << c.text;
  }
}

TEST(Forms, EqualFormsHashAlike) {
  const SipKeys keys{12345, 678};
  const std::pair<const char*, const char*> equal[] = {
      {"{:a 1 :b [2 3] :c #{4 5}}", "{:c #{5 4} :b [2 3] :a 1}"},
      {"(a b/c \"d\")", "( a  b/c \"d\" )"},
      {"#(+ % 1)", "#(+ %1 1)"},
      {"[1/2 1.5 nil true]", "[2/4 1.5 nil true]"},
  };
  for (const auto& [x, y] : equal) {
    Form a = read_one(x), b = read_one(y);
    EXPECT_TRUE(form_eq(a, b)) << x;
    EXPECT_EQ(digest(a, keys), digest(b, keys)) << x;
  }
  const std::pair<const char*, const char*> different[] = {
      {"[1 2]", "(1 2)"}, {"1", "1.0"},         {"a/b", "b"},    {"{:a 1}", "{:a 2}"},
      {":a", "a"},        {"\"a\"", "a"},       {"0.0", "-0.0"}, {"#{1}", "#{1 2}"},
      {"[[1]]", "[[2]]"}, {"#\"a\"", "#\"b\""}, {"1/2", "1/3"},
  };
  for (const auto& [x, y] : different) {
    EXPECT_FALSE(form_eq(read_one(x), read_one(y))) << x << " vs " << y;
  }
  // Wrappers, however many, are looked through.
  Form bare = Form::integer(7);
  Form twice = Form::spanned(SourceSpan{1, 2, 0, 0, 0}, Form::spanned(SourceSpan{}, bare));
  EXPECT_TRUE(form_eq(bare, twice));
  EXPECT_EQ(digest(bare, keys), digest(twice, keys));
  // Floats compare by bit pattern, so a NaN is equal to itself.
  Form nan = Form::floating(std::nan(""));
  EXPECT_TRUE(form_eq(nan, nan));
}

TEST(Forms, DigestsKeptByMapsAndSetsAreNeverPartial) {
  // A map or set keeps the digest of its entries once computed. One computed while the thread
  // was already deep stops at the depth guard part-way down, covers only part of the contents
  // and must not be kept, or the form would hash unlike its twin from then on.
  const SipKeys keys{99, 7};
  for (const char* open : {"#{", "{:k "}) {
    const std::string text = open + std::string(40, '[') + "1" + std::string(40, ']') + "}";
    Form deep = read_one(text);
    Form twin = read_one(text);
    std::uint64_t partial = 0;
    {
      std::vector<std::unique_ptr<DepthGuard>> held;
      while (DepthGuard::current_depth() < DepthGuard::kMaxDepth - 10)
        held.push_back(std::make_unique<DepthGuard>());
      partial = digest(deep, keys);
    }
    const std::uint64_t full = digest(twin, keys);
    EXPECT_NE(partial, full) << open;
    EXPECT_EQ(digest(deep, keys), full) << open;
    EXPECT_EQ(digest(deep, keys), digest(twin, keys)) << open; // both kept now, still alike
  }
  // Sets nested in sets: each level's digest is kept while reading, and a copy read apart from
  // it hashes the same.
  std::string nested;
  for (int i = 0; i < 3000; ++i)
    nested += "#{";
  nested += "1" + std::string(3000, '}');
  EXPECT_EQ(digest(read_one(nested), keys), digest(read_one(nested), keys));
}

TEST(Forms, KindsTheReaderNeverMakes) {
  auto handle = std::make_shared<int>(1);
  Form optic = Form::optic(handle);
  EXPECT_TRUE(form_eq(optic, Form::optic(handle)));
  EXPECT_FALSE(form_eq(optic, Form::optic(std::make_shared<int>(1))));
  EXPECT_FALSE(form_eq(optic, Form::atom(handle)));
  EXPECT_TRUE(form_eq(Form::effect(5), Form::effect(5)));
  EXPECT_FALSE(form_eq(Form::effect(5), Form::effect(6)));
  EXPECT_TRUE(
      form_eq(Form::native_fn(1, SharedText("nth")), Form::native_fn(2, SharedText("nth"))));
  const std::pair<Form::Kind, const char*> names[] = {
      {Form::Kind::Nil, "nil"},
      {Form::Kind::Bool, "bool"},
      {Form::Kind::Int, "int"},
      {Form::Kind::Ratio, "ratio"},
      {Form::Kind::Float, "float"},
      {Form::Kind::String, "string"},
      {Form::Kind::Symbol, "symbol"},
      {Form::Kind::Keyword, "keyword"},
      {Form::Kind::List, "list"},
      {Form::Kind::Vector, "vector"},
      {Form::Kind::Map, "map"},
      {Form::Kind::Set, "set"},
      {Form::Kind::NativeFn, "native-fn"},
      {Form::Kind::Optic, "optic"},
      {Form::Kind::Regex, "regex"},
      {Form::Kind::Effect, "effect"},
      {Form::Kind::Atom, "atom"},
  };
  for (const auto& [kind, name] : names)
    EXPECT_EQ(form_type_name(kind), name);
}

TEST(Forms, CopiesShareAndOutliveTheOriginal) {
  Form copy;
  {
    Form original = read_one("[\"text\" sym :kw {1 2} #{3} (4)]");
    copy = original;
    Form moved = std::move(original);
    EXPECT_TRUE(original.is(Form::Kind::Nil));
    EXPECT_TRUE(form_eq(moved, copy));
  }
  EXPECT_EQ(show(copy), "[\"text\" sym :kw {1 2} #{3} (4)]");
}

TEST(Forms, AccessorOfTheWrongKindIsAnInternalError) {
  EXPECT_THROW((void)Form::integer(1).as_string(), InternalError);
  EXPECT_THROW((void)read_one("x").name(), InternalError); // still wrapped
}

} // namespace
} // namespace quorvex
