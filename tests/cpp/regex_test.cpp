#include "regex/regex.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quorvex {
namespace {

std::shared_ptr<const Regex> must_compile(std::string_view pattern) {
  auto re = Regex::compile(pattern);
  EXPECT_TRUE(re.has_value()) << pattern << ": " << (re ? "" : re.error());
  return re ? *re : nullptr;
}

std::optional<std::string> first_match(std::string_view pattern, std::string_view text) {
  auto re = must_compile(pattern);
  if (!re) return std::nullopt;
  auto m = re->find(text);
  if (!m) return std::nullopt;
  return std::string(m->in(text));
}

struct FindCase {
  const char* pattern;
  const char* text;
  std::optional<std::string> match;
};

TEST(Regex, UnicodeAwareClassesAndSyntax) {
  const FindCase cases[] = {
      // \d, \w, \s and their negations cover Unicode, outside and inside classes.
      {R"(\d+)", "x\u0663\u06645y", "\u0663\u06645"},
      {R"(\D+)", "12ab\u0663", "ab"},
      {R"(\w+)", "h\u00e9llo w\u00f6rld", "h\u00e9llo"},
      {R"(\w+)", "e\u0301_\u203f", "e\u0301_\u203f"}, // marks and connector punctuation
      {R"(\W+)", "ab, \u00bfcd", ", \u00bf"},
      {R"(\s+)", "a\u00a0\u3000\u2028b", "\u00a0\u3000\u2028"},
      {R"(\S+)", "\u2003abc ", "abc"},
      {R"(\s)", "a\u200bb", std::nullopt}, // zero-width space is not White_Space
      {R"([\d_]+)", "a_\u06631b", "_\u06631"},
      {R"([\w-]+)", "!-\u00e99x!", "-\u00e99x"},
      {R"([^\W\d]+)", "\u0663ab\u00e91", "ab\u00e9"},
      {R"([\W\d]+)", "ab\u0663, c", "\u0663, "},
      {R"([\S]+)", " \u00a0xy\u00a0", "xy"},
      {R"([^\s]+)", "\u3000z\u3000", "z"},
      {R"([\D]+)", "1\u00e9\u0664", "\u00e9"},
      // Classes of RE2's own syntax pass through.
      {R"(\p{Greek}+)", "abc\u03b1\u03b2", "\u03b1\u03b2"},
      {R"([[:alpha:]]+)", "\u00e9ab", "ab"},
      {R"([^[:^digit:]]+)", "ab12", "12"},
      // A nested class is a union.
      {R"([a[bc]]+)", "xabcay", "abca"},
      {R"([[x]y]+)", "zyxy", "yxy"},
      // Escapes that name a code point.
      {R"(\u00e9)", "caf\u00e9", "\u00e9"},
      {R"(\u{1F600})", "a\U0001F600", "\U0001F600"},
      {R"(\U0001F600)", "a\U0001F600", "\U0001F600"},
      {R"(\x{e9}\x41)", "\u00e9A", "\u00e9A"},
      // Verbose mode drops white space and comments, and only where it is on.
      {"(?x) a b # comment\n c", "abc", "abc"},
      {"(?x: a b ) c", "ab c", "ab c"},
      {"(?x)a\\ b[ c]", "a bc", "a bc"},
      {"(?ix) A B", "xab", "ab"},
      {"(?x-i)A(?-x) B", "A B", "A B"},
      // Other flags are RE2's.
      {R"((?i)\u00c9T\u00c9)", "\u00e9t\u00e9", "\u00e9t\u00e9"},
      {"(?s)a.b", "a\nb", "a\nb"},
      {"a.b", "a\nb", std::nullopt},
      {"(?m)^b$", "a\nb\nc", "b"},
      {"^b$", "a\nb\nc", std::nullopt},
      {"(?U)a+", "aaa", "a"},
      // Counted repetitions: leading zeros are digits like any other, verbose mode allows space
      // inside the braces, and braces that count nothing are literal text.
      {"a{01}", "aa{01}", "a"},
      {"a{002,0003}", "aaaa", "aaa"},
      {"a{0001,}", "aaaa", "aaaa"},
      {"(?x)a{ 2 , 3 }", "aaaa", "aaa"},
      {"a{,5}", "a{,5}", "a{,5}"},
      {"a{1,2", "a{1,2", "a{1,2"},
      {"x{", "x{", "x{"},
      {R"(\x{e9}{2}\p{Greek}{1})", "\u00e9\u00e9\u03b1", "\u00e9\u00e9\u03b1"},
      // Word boundaries keep RE2's ASCII meaning.
      {R"(\bfoo\b)", "a foo.", "foo"},
      {R"(\bfoo\b)", "afoo", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(first_match(c.pattern, c.text), c.match) << c.pattern;
  }
}

TEST(Regex, KeepsThePatternAsWritten) {
  auto re = must_compile(R"((?<w>\w+)\s\d)");
  ASSERT_TRUE(re);
  EXPECT_EQ(re->pattern(), R"((?<w>\w+)\s\d)");
}

TEST(Regex, NamedGroupsInBothSpellings) {
  auto re = must_compile(R"((?<year>\d{4})-(?P<month>\d\d)(-(\d\d))?)");
  ASSERT_TRUE(re);
  ASSERT_EQ(re->group_count(), 4u);
  EXPECT_EQ(re->group_names(), (std::vector<std::string>{"", "year", "month", "", ""}));
  EXPECT_EQ(re->group_index("year"), 1u);
  EXPECT_EQ(re->group_index("month"), 2u);
  EXPECT_EQ(re->group_index("day"), std::nullopt);

  std::string text = "on 2024-06 and";
  auto caps = re->find_captures(text);
  ASSERT_TRUE(caps);
  EXPECT_EQ(caps->whole(), (MatchSpan{3, 10}));
  EXPECT_EQ(caps->text(text, 1), "2024");
  EXPECT_EQ(caps->text(text, 2), "06");
  EXPECT_FALSE((*caps)[3]); // the optional day did not take part
  EXPECT_FALSE((*caps)[4]);
  EXPECT_EQ(caps->text(text, 9), std::nullopt);
}

TEST(Regex, RefusesWhatItCannotHonour) {
  struct Case {
    std::string pattern;
    std::string message_start;
  };
  const Case cases[] = {
      {"(", "missing closing ) for the group opened at character 0"},
      {"a)", "unmatched ) (at character 1)"},
      {"(a)(b", "missing closing ) for the group opened at character 3"},
      {"[a", "missing closing ] for the class opened at character 0"},
      {"x[a[b]", "missing closing ] for the class opened at character 1"},
      {R"(\d(?<x)", "invalid capture group name: (?P<x (at character 2)"},
      {R"(\e)", "invalid escape sequence: \\e (at character 0)"},
      {"\u00e9a**", "invalid repetition operator: ** (at character 2)"},
      {"xy[z-a]", "invalid character range or class name: z-a (at character 3)"},
      {"a*(*)", "repetition operator without anything to repeat: * (at character 3)"},
      {"a{1001}", "invalid repetition count (at most 1000): {1001} (at character 1)"},
      // However long the count, it is a count, not literal text.
      {"a{4294967297}", "invalid repetition count (at most 1000): {4294967297} (at character 1)"},
      {"\u00e9{2,99999999999999999999}",
       "invalid repetition count (at most 1000): {2,99999999999999999999} (at character 1)"},
      {"a{100000000,}", "invalid repetition count (at most 1000): {100000000,} (at character 1)"},
      {"ab\\", "trailing \\ at the end of the pattern (at character 2)"},
      {"(?<a>x)(?P<a>y)", "duplicate capture group name: a"},
      {"[a[^b]]", "negated nested character classes are not supported"},
      {"[a-z&&[^aeiou]]", "character class set operations are not supported"},
      {R"(\C)", "invalid escape sequence: \\C"},
      {R"(\Qa.b\E)", "invalid escape sequence: \\Q"},
      {"a(?=b)", "look-around is not supported: (?= (at character 1)"},
      {"(?<!a)b", "look-around is not supported: (?< (at character 0)"},
      {R"((a)\1)", "back-references are not supported: \\1 (at character 3)"},
      {std::string(251, '(') + std::string(251, ')'),
       "nesting limit of 250 exceeded (at character 250)"},
      {std::string(240, '(') + std::string(11, '[') + "a" + std::string(11, ']') +
           std::string(240, ')'),
       "nesting limit of 250 exceeded"},
      {R"(\pL{1000})", "pattern too large"},
  };
  for (const auto& c : cases) {
    auto re = Regex::compile(c.pattern);
    ASSERT_FALSE(re.has_value()) << c.pattern;
    EXPECT_EQ(re.error().substr(0, c.message_start.size()), c.message_start) << c.pattern;
  }
  EXPECT_TRUE(Regex::compile(std::string(250, '(') + "a" + std::string(250, ')')).has_value());
}

TEST(Regex, FindFromAPositionSeesTheWholeText) {
  auto re = must_compile(R"(^a|\bb)");
  ASSERT_TRUE(re);
  EXPECT_EQ(re->find("aab", 0), (MatchSpan{0, 1}));
  EXPECT_EQ(re->find("aab", 1), std::nullopt); // neither ^ nor \b holds inside "aab"
  EXPECT_EQ(re->find("a b", 1), (MatchSpan{2, 3}));
  EXPECT_EQ(re->find("a b", 4), std::nullopt);
}

TEST(Regex, FullMatch) {
  struct Case {
    const char* pattern;
    const char* text;
    bool full;
  };
  const Case cases[] = {
      {"[0-9]+", "123", true}, {"[0-9]+", "123a", false}, {"a|b", "b", true}, {"a|ab", "ab", true},
      {"", "", true},          {"(?m)^a$", "a\n", false},
  };
  for (const auto& c : cases) {
    auto re = must_compile(c.pattern);
    ASSERT_TRUE(re);
    EXPECT_EQ(re->full_match(c.text), c.full) << c.pattern << " on " << c.text;
    EXPECT_EQ(re->full_match_captures(c.text).has_value(), c.full) << c.pattern;
  }
}

TEST(Regex, IterationSkipsAnEmptyMatchRightAfterAMatch) {
  struct Case {
    const char* pattern;
    std::string text;
    std::vector<MatchSpan> matches;
  };
  const Case cases[] = {
      {"a*", "baaa", {{0, 0}, {1, 4}}},
      {"a*", "", {{0, 0}}},
      {"", "a\u00e9", {{0, 0}, {1, 1}, {3, 3}}}, // advances by a whole character
      {"[0-9]+", "ab12cd345", {{2, 4}, {6, 9}}},
      {"x", "abc", {}},
      {"a|", "aba", {{0, 1}, {2, 3}}},
      {R"(\b)", "ab cd", {{0, 0}, {2, 2}, {3, 3}, {5, 5}}},
      // An ASCII non-boundary also holds between the bytes of "é": never a match of ours.
      {R"(\B)", "a\u00e9b", {}},
      {R"(\B)", "\u00e9", {{0, 0}, {2, 2}}},
  };
  for (const auto& c : cases) {
    auto re = must_compile(c.pattern);
    ASSERT_TRUE(re);
    EXPECT_EQ(re->find_all(c.text), c.matches) << c.pattern << " on " << c.text;
    // The captures walk visits the same matches.
    MatchIterator it(*re, c.text);
    std::vector<MatchSpan> seen;
    Captures caps;
    while (it.next_captures(caps))
      seen.push_back(caps.whole());
    EXPECT_EQ(seen, c.matches) << c.pattern;
    EXPECT_EQ(re->is_match(c.text), !c.matches.empty()) << c.pattern;
  }
}

TEST(Regex, DollarExpansion) {
  auto re = must_compile(R"((?<first>\w+) (\w+)(x)?)");
  ASSERT_TRUE(re);
  struct Case {
    const char* replacement;
    const char* result;
  };
  const Case cases[] = {
      {"$2 $1", "smith john!"},
      {"${2}x", "smithx!"},
      {"$2x", "!"}, // the reference is "2x", a group that does not exist
      {"$first", "john!"},
      {"${first}-", "john-!"},
      {"$0", "john smith!"},
      {"$3", "!"}, // did not take part
      {"$9", "!"},
      {"${+1}", "john!"},
      {"${99999999999999999999999}", "!"},
      {"$$1", "$1!"},
      {"$", "$!"},
      {"a$", "a$!"},
      {"$!", "$!!"},
      {"${1", "${1!"},
      {"${}", "!"},
      {"\\1", "\\1!"},
      {"[$1]", "[john]!"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(re->replace_all("john smith!", c.replacement), c.result) << c.replacement;
  }
}

TEST(Regex, ReplaceAllAndFirst) {
  struct Case {
    const char* pattern;
    const char* text;
    const char* replacement;
    const char* all;
    const char* first;
  };
  const Case cases[] = {
      {"[.]", "a.b.c", "-", "a-b-c", "a-b.c"},
      {"", "abc", "-", "-a-b-c-", "-abc"},
      {"a*", "baaa", "-", "-b-", "-baaa"},
      {"x", "abc", "-", "abc", "abc"},
      {R"((\w+) (\w+))", "john smith", "$2 $1", "smith john", "smith john"},
      {R"(\d)", "a1b22", "<$0>", "a<1>b<2><2>", "a<1>b22"},
      {"", "\u00e9", "|", "|\u00e9|", "|\u00e9"},
  };
  for (const auto& c : cases) {
    auto re = must_compile(c.pattern);
    ASSERT_TRUE(re);
    EXPECT_EQ(re->replace_all(c.text, c.replacement), c.all) << c.pattern;
    EXPECT_EQ(re->replace_first(c.text, c.replacement), c.first) << c.pattern;
  }
}

TEST(Regex, BoundedReplacementStopsAtTheLimit) {
  struct Case {
    const char* pattern;
    const char* text;
    const char* replacement;
    std::size_t max_size;
    std::optional<std::string> result;
  };
  const Case cases[] = {
      {"a", "aaaa", "$0$0", 8, "aaaaaaaa"},
      {"a", "aaaa", "$0$0", 7, std::nullopt},
      {"a", "aaaa", "bb", 8, "bbbbbbbb"},
      {"a", "aaaa", "bb", 7, std::nullopt},
      {"", "ab", "-", 5, "-a-b-"},
      {"", "ab", "-", 4, std::nullopt},
      // One expansion that repeats a group is checked as it grows.
      {"(.+)", "abcd", "$1$1$1", 11, std::nullopt},
      {"(.+)", "abcd", "$1$1$1", 12, "abcdabcdabcd"},
      {"x", "abc", "-", 3, "abc"},
      {"x", "abc", "-", 2, std::nullopt},
  };
  for (const auto& c : cases) {
    auto re = must_compile(c.pattern);
    ASSERT_TRUE(re);
    EXPECT_EQ(re->replace_bounded(c.text, c.replacement, true, c.max_size), c.result)
        << c.pattern << " " << c.max_size;
  }
  auto re = must_compile("a");
  ASSERT_TRUE(re);
  EXPECT_EQ(re->replace_bounded("aaaa", "bbbbbb", false, 9), "bbbbbbaaa");
  EXPECT_EQ(re->replace_bounded("aaaa", "bbbbbb", false, 8), std::nullopt);
}

// The engine's work per match grows with the number of groups it reports: a replacement asks
// only for the groups it names, however it spells them.
TEST(Regex, ReplacementReportsOnlyTheGroupsItNames) {
  auto pattern = [](int groups) {
    std::string out;
    for (int i = 0; i < groups; ++i)
      out += "()";
    return out + "(?P<last>x?)";
  };
  auto many = must_compile(pattern(20000));
  ASSERT_TRUE(many);
  // Reporting all 20001 groups would take seconds for each of these matches; the replacements
  // name low groups only, and must still expand as if every group had been reported.
  EXPECT_EQ(many->replace_all("ab", "<$1>"), "<>a<>b<>");
  EXPECT_EQ(many->replace_all("ab", "${2}|$$1"), "|$1a|$1b|$1");
  EXPECT_EQ(many->replace_first("xb", "[${+1}]"), "[]b");

  auto few = must_compile(pattern(50));
  ASSERT_TRUE(few);
  const struct {
    const char* replacement;
    const char* result;
  } cases[] = {
      {"[$last]", "[x]b[]"}, {"[${51}]", "[x]b[]"}, {"[$51]", "[x]b[]"},
      {"[$52]", "[]b[]"},    {"[$50]", "[]b[]"},    {"[$$51]", "[$51]b[$51]"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(few->replace_all("xb", c.replacement), c.result) << c.replacement;
  }
}

TEST(Regex, MatchingStaysLinearOnPathologicalPatterns) {
  // A backtracking engine takes exponential time here; this finishes at once.
  auto re = must_compile("(a*)*b");
  ASSERT_TRUE(re);
  std::string text(100000, 'a');
  EXPECT_FALSE(re->is_match(text));
}

} // namespace
} // namespace quorvex
