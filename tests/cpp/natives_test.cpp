#include <gtest/gtest.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "vm/natives/builtins.hpp"

namespace quorvex {
namespace {

const std::set<std::string_view> HIDDEN_ROWS = {"__subvec", "__throw-arity", "__make_effect__",
                                                "assert-failed"};

TEST(BuiltinTable, HasEveryRowOnceInTheStaticOrder) {
  const auto table = builtin_table();
  const auto rows = builtin_rows();
  ASSERT_EQ(table.size(), 159u);
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].name, rows[i].name) << i;
    EXPECT_EQ(table[i].doc, rows[i].doc) << i;
    EXPECT_EQ(table[i].handler, rows[i].handler) << i;
    EXPECT_NE(table[i].handler, nullptr) << i;
    EXPECT_TRUE(names.insert(table[i].name).second) << "duplicate name " << table[i].name;
  }
}

TEST(BuiltinTable, RowsThatBytecodeAndCompiledFormsRelyOn) {
  struct Case {
    std::uint16_t index;
    std::string_view name;
  };
  const Case cases[] = {
      {0, "nth"},
      {1, "first"},
      {8, "get"},
      {18, "+"},
      {21, "/"},
      {33, "list?"},
      {38, "seq?"},
      {48, "view"},
      {60, "xpath"},
      {61, "println"},
      {67, "drop"},
      {72, "__subvec"},
      {73, "__throw-arity"},
      {74, "__make_effect__"},
      {77, "assert-failed"},
      {82, "concat"},
      {83, "vec"},
      {98, "read-string"},
      {139, "pi"},
      {142, "-Infinity"},
      {146, "optic?"},
      {154, "format"},
      {158, "nano-time"},
  };
  const auto rows = builtin_rows();
  for (const auto& c : cases) {
    EXPECT_EQ(rows[c.index].name, c.name) << c.index;
    EXPECT_EQ(find_builtin_index(c.name), c.index) << c.name;
  }
}

TEST(BuiltinTable, NameLookupFindsEveryRowAndNothingElse) {
  const auto rows = builtin_rows();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    EXPECT_EQ(find_builtin_index(rows[i].name), static_cast<std::uint16_t>(i)) << rows[i].name;
  }
  for (std::string_view absent : {"", "NTH", "nth ", "nt", "__subvec2", "each", "defn", "zzz"}) {
    EXPECT_EQ(find_builtin_index(absent), std::nullopt) << absent;
  }
}

TEST(BuiltinTable, NamesAreShortAsciiWithoutWhitespace) {
  for (const auto& row : builtin_rows()) {
    EXPECT_GE(row.name.size(), 1u);
    EXPECT_LE(row.name.size(), 15u) << row.name;
    for (char c : row.name) {
      EXPECT_TRUE(c > ' ' && c < 0x7f) << row.name;
    }
  }
}

TEST(BuiltinTable, HiddenRowsAloneLackDocumentation) {
  std::size_t documented = 0;
  for (const auto& row : builtin_rows()) {
    const bool hidden = HIDDEN_ROWS.contains(row.name);
    EXPECT_EQ(row.doc.empty(), hidden) << row.name;
    if (!row.doc.empty()) ++documented;
  }
  EXPECT_EQ(documented, 155u);
}

// Every documentation text is a signature line and one sentence.
TEST(BuiltinTable, DocumentationIsSignatureThenSentence) {
  for (const auto& row : builtin_rows()) {
    if (row.doc.empty()) continue;
    const auto newline = row.doc.find('\n');
    ASSERT_NE(newline, std::string_view::npos) << row.name;
    const auto signature = row.doc.substr(0, newline);
    const auto sentence = row.doc.substr(newline + 1);
    EXPECT_EQ(sentence.find('\n'), std::string_view::npos) << row.name;
    EXPECT_TRUE(signature.starts_with("-> ") || signature.find(" -> ") != std::string_view::npos)
        << row.name << ": " << signature;
    ASSERT_FALSE(sentence.empty()) << row.name;
    EXPECT_EQ(sentence.back(), '.') << row.name;
    EXPECT_TRUE(sentence.front() >= 'A' && sentence.front() <= 'Z') << row.name;
    // `×` is the only non-ASCII character the signatures use.
    for (std::size_t i = 0; i < signature.size(); ++i) {
      const auto byte = static_cast<unsigned char>(signature[i]);
      if (byte < 0x80) continue;
      EXPECT_EQ(signature.substr(i, 2), "\xC3\x97") << row.name;
      ++i;
    }
  }
}

TEST(BuiltinTable, DocumentationTextsAreExact) {
  struct Case {
    std::string_view name;
    std::string_view doc;
  };
  const Case cases[] = {
      {"nth", "Coll a \xC3\x97 Int -> a\nReturns element at index."},
      {"println", "a ... -> <console> Nil\nPrints to console with newline."},
      {"read-string", "String -> a\nParses a Quorvex value from string."},
      {"pi", "-> Float\nPi constant."},
      {"e", "-> Float\nEuler's number."},
      {"name", "Symbol | Keyword | String -> String\nReturns name part."},
      {"reduce", "(b \xC3\x97 a -> b) \xC3\x97 b \xC3\x97 Coll a -> b\nReduces collection with f."},
      {"over", "Optic s a \xC3\x97 (a -> a) \xC3\x97 s -> s\nApplies f at optic focus."},
      {"xpath", "String -> Optic s a\nCreates optic from XPath-like path."},
      {"type", "a -> Keyword\nReturns type tag of value."},
      {"signum", "Num -> Int\nSign: -1, 0, or 1."},
      {"seq", "Coll a -> List a | Nil\nCoerces to seq; nil if empty."},
      {"nano-time", "-> Int\nCurrent time in nanoseconds."},
  };
  const auto rows = builtin_rows();
  for (const auto& c : cases) {
    const auto index = find_builtin_index(c.name);
    ASSERT_TRUE(index.has_value()) << c.name;
    EXPECT_EQ(rows[*index].doc, c.doc) << c.name;
  }
}

} // namespace
} // namespace quorvex
