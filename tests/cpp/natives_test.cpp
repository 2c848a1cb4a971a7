#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "value/equality.hpp"
#include "value/keys.hpp"
#include "value/strings.hpp"
#include "vm/natives/builtins.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {
namespace {

const std::set<std::string_view> HIDDEN_ROWS = {"__subvec",      "__throw-arity", "__make_effect__",
                                                "assert-failed", "__frequencies", "__group-by",
                                                "__distinct"};

TEST(BuiltinTable, HasEveryRowOnceInTheStaticOrder) {
  const auto table = builtin_table();
  const auto rows = builtin_rows();
  const auto infos = builtin_infos();
  ASSERT_EQ(table.size(), 162u);
  std::set<std::string_view> names;
  for (std::size_t i = 0; i < table.size(); ++i) {
    EXPECT_EQ(table[i].name, rows[i].name) << i;
    EXPECT_EQ(infos[i].name, rows[i].name) << i;
    EXPECT_EQ(infos[i].arity, rows[i].arity) << i;
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
      {159, "__frequencies"},
      {160, "__group-by"},
      {161, "__distinct"},
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

// ---------------------------------------------------------------------------------------------
// Handlers. Each test runs like a native function: nothing collects while it builds its values
// and calls the handlers, just as nothing collects while a builtin runs in the machine.

class Natives : public ::testing::Test {
protected:
  std::unique_ptr<Vm> vm = vm_new();
  NativeCallScope no_collection{vm->heap};

public:
  NativeResult call(std::string_view name, std::initializer_list<Value> args) {
    const std::optional<std::uint16_t> index = find_builtin_index(name);
    EXPECT_TRUE(index.has_value()) << name;
    const std::vector<Value> copy(args);
    return call_builtin_row(*vm, vm->natives.at(*index), copy.data(), copy.size());
  }

  Value str(std::string_view text) { return *alloc_string(vm->heap, text); }
  Value kw(std::string_view name) { return Value::keyword(vm->interner.get_or_intern(name)); }
  Value sym(std::string_view name) { return Value::symbol(vm->interner.get_or_intern(name)); }
  static Value i(std::int64_t n) { return Value::from_int(n); }
  static Value f(double d) { return Value::from_float(d); }
  Value seq(std::initializer_list<Value> items, bool is_vector) {
    return alloc_seq_object(vm->heap, ValueVector::from_range(items.begin(), items.end()),
                            is_vector);
  }
  Value vec(std::initializer_list<Value> items) { return seq(items, true); }
  Value list(std::initializer_list<Value> items) { return seq(items, false); }
  Value set(std::initializer_list<Value> items) {
    const std::vector<Value> values(items);
    ValueSet s = *build_set_from_values(vm->heap, values);
    return Value::object(heap_alloc(vm->heap, HeapObject(SetObject{std::move(s)})));
  }
  Value map(std::initializer_list<Value> pairs) {
    const std::vector<Value> values(pairs);
    ValueMap m = *build_map_from_pairs(vm->heap, values);
    return Value::object(heap_alloc(vm->heap, HeapObject(MapObject{std::move(m)})));
  }
  Value atom(Value v) { return Value::object(heap_alloc(vm->heap, HeapObject(Atom{v}))); }
  // A key whose object has been freed: the slot's version has moved on.
  Value stale() {
    const Value v = str("gone");
    return Value::object(HeapKey{v.as.key.index, v.as.key.version + 2});
  }

  bool same(const Value& a, const Value& b) { return *values_equal(vm->heap, a, b); }
  std::string text_of(const Value& v) {
    const auto t = string_view_of(vm->heap, v);
    return t ? std::string(*t) : std::string("<not a string>");
  }

  // A list or vector with these elements (language equality) and this kind.
  ::testing::AssertionResult is_seq(const NativeResult& r, std::initializer_list<Value> expected,
                                    bool is_vector) {
    if (!r) return ::testing::AssertionFailure() << "error: " << to_string(r.error());
    const SeqObject* s = heap_get_as<SeqObject>(vm->heap, *r);
    if (s == nullptr) return ::testing::AssertionFailure() << "not a sequence";
    if (s->is_vector != is_vector) {
      return ::testing::AssertionFailure() << (s->is_vector ? "a vector" : "a list");
    }
    if (s->items.size() != expected.size()) {
      return ::testing::AssertionFailure() << "length " << s->items.size();
    }
    std::size_t k = 0;
    for (const Value& e : expected) {
      if (!same(s->items[k], e)) return ::testing::AssertionFailure() << "element " << k;
      ++k;
    }
    return ::testing::AssertionSuccess();
  }

  // The value itself: same tag and equal.
  ::testing::AssertionResult yields(const NativeResult& r, const Value& expected) {
    if (!r) return ::testing::AssertionFailure() << "error: " << to_string(r.error());
    if (r->tag != expected.tag || !same(*r, expected)) {
      std::string got;
      format_value_debug(*r, got);
      return ::testing::AssertionFailure() << "got " << got;
    }
    return ::testing::AssertionSuccess();
  }
};

::testing::AssertionResult fails_with(const NativeResult& r, VmErrorKind kind,
                                      std::string_view text) {
  if (r) return ::testing::AssertionFailure() << "succeeded";
  if (r.error().kind != kind || r.error().text != text) {
    return ::testing::AssertionFailure() << "failed with " << to_string(r.error());
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult fails_with_arity(const NativeResult& r, int expected, int given) {
  if (r) return ::testing::AssertionFailure() << "succeeded";
  const VmError& e = r.error();
  if (e.kind != VmErrorKind::ArityError || e.a != expected || e.b != given) {
    return ::testing::AssertionFailure() << "failed with " << to_string(e);
  }
  return ::testing::AssertionSuccess();
}

TEST_F(Natives, NthReadsSequencesAndStrings) {
  const Value v = vec({i(10), i(20), i(30)});
  const Value l = list({i(1), i(2)});
  const Value s = str("h\xC3\xA9llo");
  struct Case {
    Value coll, index;
    std::optional<Value> fallback;
    Value expected;
  };
  const Case cases[] = {
      {v, i(1), {}, i(20)},
      {v, i(0), {}, i(10)},
      {v, i(3), {}, Value::nil()},
      {v, i(5), kw("d"), kw("d")},
      {v, i(-1), kw("d"), kw("d")},
      {v, i(INT64_MIN), {}, Value::nil()},
      {l, i(1), {}, i(2)},
      {Value::nil(), i(0), {}, Value::nil()},
      {Value::nil(), i(0), kw("d"), kw("d")},
      {s, i(5), {}, Value::nil()},
      {s, i(-1), kw("d"), kw("d")},
      {str(""), i(0), {}, Value::nil()},
  };
  for (const auto& c : cases) {
    const NativeResult r =
        c.fallback ? call("nth", {c.coll, c.index, *c.fallback}) : call("nth", {c.coll, c.index});
    EXPECT_TRUE(yields(r, c.expected)) << c.index.as.integer;
  }
}

TEST_F(Natives, NthOfAStringMakesANewOneCharacterString) {
  const Value s = str("h\xC3\xA9l\xF0\x9F\x98\x80o");
  struct Case {
    std::int64_t index;
    std::string expected;
  };
  const Case cases[] = {{0, "h"}, {1, "\xC3\xA9"}, {2, "l"}, {3, "\xF0\x9F\x98\x80"}, {4, "o"}};
  for (const auto& c : cases) {
    const NativeResult r = call("nth", {s, i(c.index)});
    ASSERT_TRUE(r.has_value()) << c.index;
    EXPECT_EQ(text_of(*r), c.expected) << c.index;
  }
  const NativeResult a = call("nth", {s, i(0)});
  const NativeResult b = call("nth", {s, i(0)});
  EXPECT_FALSE(a->as.key == b->as.key);
}

TEST_F(Natives, NthRefusesBadArguments) {
  EXPECT_TRUE(fails_with_arity(call("nth", {}), 2, 0));
  EXPECT_TRUE(fails_with_arity(call("nth", {vec({i(1)})}), 2, 1));
  // The index is checked before the collection.
  for (const Value& index : {f(1.0), kw("a"), Value::nil(), str("0")}) {
    EXPECT_TRUE(fails_with(call("nth", {Value::nil(), index}), VmErrorKind::TypeError,
                           "index must be integer"));
    EXPECT_TRUE(fails_with(call("nth", {set({i(1)}), index}), VmErrorKind::TypeError,
                           "index must be integer"));
  }
  for (const Value& coll : {set({i(1)}), map({kw("a"), i(1)}), i(5), f(1.5), kw("k"), sym("s"),
                            Value::from_bool(true), atom(i(1)), stale(), Value::native_fn(0)}) {
    EXPECT_TRUE(
        fails_with(call("nth", {coll, i(0)}), VmErrorKind::TypeError, "nth requires a sequence"));
  }
}

TEST_F(Natives, GetBySequenceIndex) {
  const Value v = vec({i(10), i(20)});
  EXPECT_TRUE(yields(call("get", {v, i(1)}), i(20)));
  EXPECT_TRUE(yields(call("get", {list({i(10), i(20)}), i(0)}), i(10)));
  for (const Value& key : {i(2), i(-1), kw("x"), f(1.0)}) {
    EXPECT_TRUE(yields(call("get", {v, key}), Value::nil()));
  }
  EXPECT_TRUE(yields(call("get", {v, i(5), kw("none")}), kw("none")));
}

TEST_F(Natives, GetFindsMapKeysByContent) {
  const Value m =
      map({str("a"), i(1), kw("n"), Value::nil(), vec({i(1), i(2)}), kw("v"), i(1), kw("one")});
  struct Case {
    Value key;
    Value expected;
  };
  const Case cases[] = {
      {str("a"), i(1)},                   // another string object with the same text
      {kw("n"), Value::nil()},            // present with nil: nil, not the default
      {vec({i(1), i(2)}), kw("v")},       // an equal vector made separately
      {list({i(1), i(2)}), kw("absent")}, // a list is another key than a vector
      {f(1.0), kw("absent")},             // 1.0 is another key than 1
      {i(1), kw("one")},
      {str("b"), kw("absent")},
  };
  for (const auto& c : cases) {
    EXPECT_TRUE(yields(call("get", {m, c.key, kw("absent")}), c.expected));
  }
}

TEST_F(Natives, GetOnASetAnswersTheArgumentWhenAnElementEqualsIt) {
  const Value s = set({i(1), i(2), str("a")});
  EXPECT_TRUE(yields(call("get", {s, i(2)}), i(2)));
  // Found by numeric equality; the answer is the argument, a float.
  EXPECT_TRUE(yields(call("get", {s, f(2.0)}), f(2.0)));
  const Value probe = str("a");
  const NativeResult found = call("get", {s, probe});
  ASSERT_TRUE(found.has_value());
  EXPECT_TRUE(found->as.key == probe.as.key);
  EXPECT_TRUE(yields(call("get", {s, i(3)}), Value::nil()));
  EXPECT_TRUE(yields(call("get", {s, i(3), kw("d")}), kw("d")));
}

TEST_F(Natives, GetReadsVariantFieldsByKeyword) {
  const Spur x = vm->interner.get_or_intern("x");
  const Spur y = vm->interner.get_or_intern("y");
  auto info = make_variant_info(vm->interner.get_or_intern("P"), {x, y});
  ASSERT_TRUE(info.has_value());
  std::vector<VariantInfo> variants;
  variants.push_back(std::move(*info));
  const auto type_id =
      vm->types.register_data_type(vm->interner.get_or_intern("Point"), std::move(variants));
  ASSERT_TRUE(type_id.has_value());
  const Value p = Value::object(
      heap_alloc(vm->heap, HeapObject(Variant{{i(1), i(2)}, VariantTag::make(*type_id, 0)})));
  const Value unknown = Value::object(
      heap_alloc(vm->heap, HeapObject(Variant{{i(1), i(2)}, VariantTag::make(*type_id + 7, 0)})));

  EXPECT_TRUE(yields(call("get", {p, kw("y")}), i(2)));
  EXPECT_TRUE(yields(call("get", {p, kw("x")}), i(1)));
  EXPECT_TRUE(yields(call("get", {p, kw("z")}), Value::nil()));
  EXPECT_TRUE(yields(call("get", {p, i(0), kw("d")}), kw("d")));
  EXPECT_TRUE(yields(call("get", {p, sym("x"), kw("d")}), kw("d")));
  EXPECT_TRUE(yields(call("get", {unknown, kw("x"), kw("d")}), kw("d")));
}

TEST_F(Natives, GetAnswersTheDefaultForEverythingElse) {
  for (const Value& coll : {Value::nil(), str("abc"), i(42), kw("k"), atom(i(1)), stale(),
                            Value::native_fn(3), f(0.5)}) {
    EXPECT_TRUE(yields(call("get", {coll, i(0)}), Value::nil()));
    EXPECT_TRUE(yields(call("get", {coll, kw("a"), kw("d")}), kw("d")));
  }
  EXPECT_TRUE(fails_with_arity(call("get", {map({kw("a"), i(1)})}), 2, 1));
  EXPECT_TRUE(fails_with_arity(call("get", {}), 2, 0));
}

TEST_F(Natives, DropKeepsTheSequenceKind) {
  const Value v = vec({i(1), i(2), i(3)});
  const Value l = list({i(1), i(2), i(3)});
  EXPECT_TRUE(is_seq(call("drop", {i(1), v}), {i(2), i(3)}, true));
  EXPECT_TRUE(is_seq(call("drop", {i(1), l}), {i(2), i(3)}, false));
  EXPECT_TRUE(is_seq(call("drop", {i(9), v}), {}, true));
  EXPECT_TRUE(is_seq(call("drop", {i(3), l}), {}, false));
  EXPECT_TRUE(is_seq(call("drop", {i(-2), v}), {i(1), i(2), i(3)}, true));
  EXPECT_TRUE(is_seq(call("drop", {i(INT64_MIN), l}), {i(1), i(2), i(3)}, false));
  EXPECT_TRUE(is_seq(call("drop", {i(INT64_MAX), l}), {}, false));
  EXPECT_TRUE(is_seq(call("drop", {i(0), Value::nil()}), {}, false));
  // A new object every time; the argument is unchanged.
  const NativeResult whole = call("drop", {i(0), v});
  ASSERT_TRUE(whole.has_value());
  EXPECT_FALSE(whole->as.key == v.as.key);
  EXPECT_TRUE(is_seq(v, {i(1), i(2), i(3)}, true));
}

TEST_F(Natives, DropOfAStringListsTheRemainingCharacters) {
  const Value s = str("h\xC3\xA9llo");
  EXPECT_TRUE(
      is_seq(call("drop", {i(1), s}), {str("\xC3\xA9"), str("l"), str("l"), str("o")}, false));
  EXPECT_TRUE(is_seq(call("drop", {i(3), s}), {str("l"), str("o")}, false));
  EXPECT_TRUE(is_seq(call("drop", {i(5), s}), {}, false));
  EXPECT_TRUE(is_seq(call("drop", {i(0), str("")}), {}, false));
  // Long text lives outside the slot; the characters still come out right.
  EXPECT_TRUE(
      is_seq(call("drop", {i(38), str(std::string(40, 'x'))}), {str("x"), str("x")}, false));
}

TEST_F(Natives, DropRefusesBadArguments) {
  EXPECT_TRUE(fails_with_arity(call("drop", {i(1)}), 2, 1));
  EXPECT_TRUE(fails_with_arity(call("drop", {i(1), vec({}), i(2)}), 2, 3));
  for (const Value& n : {f(1.5), Value::nil(), vec({i(1)}), kw("n")}) {
    EXPECT_TRUE(fails_with(call("drop", {n, vec({i(1)})}), VmErrorKind::TypeError,
                           "drop requires integer count"));
  }
  for (const Value& coll : {set({i(1)}), map({}), i(5), kw("k"), stale(), atom(Value::nil())}) {
    EXPECT_TRUE(
        fails_with(call("drop", {i(1), coll}), VmErrorKind::TypeError, "drop requires a sequence"));
  }
}

TEST_F(Natives, ConcatJoinsSequencesIntoANewList) {
  EXPECT_TRUE(is_seq(call("concat", {}), {}, false));
  EXPECT_TRUE(is_seq(call("concat", {vec({i(1)}), Value::nil(), list({i(2), i(3)})}),
                     {i(1), i(2), i(3)}, false));
  EXPECT_TRUE(is_seq(call("concat", {vec({i(1), i(2)})}), {i(1), i(2)}, false));
  EXPECT_TRUE(is_seq(call("concat", {Value::nil(), Value::nil()}), {}, false));
  const Value only = list({i(7)});
  const NativeResult r = call("concat", {only});
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->as.key == only.as.key);
}

// Syntax-quote grows its result one part at a time: (concat (concat acc a) b) ...
TEST_F(Natives, ConcatAccumulatesManyPartsInOrder) {
  Value acc = list({});
  std::int64_t next = 0;
  for (int part = 0; part < 300; ++part) {
    const Value piece = part % 2 == 0 ? vec({i(next), i(next + 1), i(next + 2)})
                                      : list({i(next), i(next + 1), i(next + 2)});
    next += 3;
    const NativeResult r = call("concat", {acc, piece});
    ASSERT_TRUE(r.has_value());
    acc = *r;
  }
  const SeqObject* s = heap_get_as<SeqObject>(vm->heap, acc);
  ASSERT_NE(s, nullptr);
  ASSERT_EQ(s->items.size(), 900u);
  for (std::size_t k = 0; k < 900; ++k) {
    ASSERT_EQ(s->items[k].as.integer, static_cast<std::int64_t>(k)) << k;
  }
}

TEST_F(Natives, ConcatRefusesNonSequences) {
  for (const Value& bad : {set({i(2)}), map({}), str("ab"), i(5), kw("k"), stale()}) {
    EXPECT_TRUE(fails_with(call("concat", {vec({i(1)}), bad}), VmErrorKind::TypeError,
                           "concat requires sequences"));
    EXPECT_TRUE(
        fails_with(call("concat", {bad}), VmErrorKind::TypeError, "concat requires sequences"));
  }
}

TEST_F(Natives, VecMakesANewVector) {
  EXPECT_TRUE(is_seq(call("vec", {list({i(1), i(2)})}), {i(1), i(2)}, true));
  EXPECT_TRUE(is_seq(call("vec", {Value::nil()}), {}, true));
  EXPECT_TRUE(is_seq(call("vec", {vec({i(1)}), kw("ignored")}), {i(1)}, true));
  const Value v = vec({i(1), i(2)});
  const NativeResult a = call("vec", {v});
  const NativeResult b = call("vec", {v});
  ASSERT_TRUE(a.has_value() && b.has_value());
  EXPECT_FALSE(a->as.key == v.as.key);
  EXPECT_FALSE(a->as.key == b->as.key);
  EXPECT_TRUE(fails_with_arity(call("vec", {}), 1, 0));
  for (const Value& bad : {set({i(1)}), map({}), str("ab"), i(1), stale()}) {
    EXPECT_TRUE(fails_with(call("vec", {bad}), VmErrorKind::TypeError, "vec requires a sequence"));
  }
}

TEST_F(Natives, AssertFailedCarriesItsMessage) {
  struct Case {
    std::vector<Value> args;
    std::string text;
  };
  const Case cases[] = {
      {{}, "assertion failed"},
      {{str("boom")}, "boom"},
      {{str("")}, ""},
      {{i(42)}, "42"},
      {{Value::nil()}, "nil"},
      {{Value::from_bool(false)}, "false"},
      {{f(1.5)}, "1.5"},
      {{Value::from_ratio_unchecked(-1, 3)}, "-1/3"},
      {{str("first"), str("second")}, "first"},
  };
  const Builtin& row = vm->natives.at(BUILTIN_ASSERT_FAILED);
  for (const auto& c : cases) {
    const NativeResult r = call_builtin_row(*vm, row, c.args.data(), c.args.size());
    EXPECT_TRUE(fails_with(r, VmErrorKind::AssertionFailed, c.text)) << c.text;
  }
  EXPECT_EQ(to_string(call("assert-failed", {str("boom")}).error()), "Assertion failed: boom");
  // Anything but a live string is shown by its debug text, which never looks into the heap.
  const NativeResult gone = call("assert-failed", {stale()});
  ASSERT_FALSE(gone.has_value());
  EXPECT_TRUE(gone.error().text.starts_with("heap(")) << gone.error().text;
}

TEST_F(Natives, MakeEffectRecordsOperationsAndTakesTheNextId) {
  const EffectId first = vm->next_effect_id;
  const NativeResult r =
      call("__make_effect__", {list({sym("ask"), i(1), sym("tell"), i(2), sym("extra")})});
  ASSERT_TRUE(r.has_value());
  const Effect* e = heap_get_as<Effect>(vm->heap, *r);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->id, first);
  EXPECT_EQ(e->name, 0u);
  ASSERT_EQ(e->operations.size(), 2u);
  EXPECT_EQ(e->operations[0].name, vm->interner.get_or_intern("ask"));
  EXPECT_EQ(e->operations[0].arity, 1);
  EXPECT_EQ(e->operations[1].name, vm->interner.get_or_intern("tell"));
  EXPECT_EQ(e->operations[1].arity, 2);
  EXPECT_EQ(vm->next_effect_id, first + 1);

  const NativeResult none = call("__make_effect__", {vec({})});
  ASSERT_TRUE(none.has_value());
  EXPECT_TRUE(heap_get_as<Effect>(vm->heap, *none)->operations.empty());
  EXPECT_EQ(heap_get_as<Effect>(vm->heap, *none)->id, first + 1);

  const NativeResult wrapped = call("__make_effect__", {vec({sym("op"), i(257)})});
  ASSERT_TRUE(wrapped.has_value());
  EXPECT_EQ(heap_get_as<Effect>(vm->heap, *wrapped)->operations.at(0).arity, 1);
}

TEST_F(Natives, MakeEffectFailuresConsumeNoId) {
  struct Case {
    std::vector<Value> args;
    std::string text;
  };
  const Case cases[] = {
      {{list({i(1), sym("ask")})}, "operation name must be a symbol"},
      {{list({sym("ask"), str("1")})}, "operation arity must be an integer"},
      {{list({sym("ask"), i(1), kw("tell"), i(2)})}, "operation name must be a symbol"},
      {{list({sym("ask"), f(1.0)})}, "operation arity must be an integer"},
      {{map({kw("a"), i(1)})}, "expected ops vector"},
      {{Value::nil()}, "expected ops vector"},
      {{stale()}, "expected ops vector"},
  };
  const EffectId before = vm->next_effect_id;
  const Builtin& row = vm->natives.at(BUILTIN_MAKE_EFFECT);
  for (const auto& c : cases) {
    EXPECT_TRUE(
        fails_with(call_builtin_row(*vm, row, c.args.data(), c.args.size()), VmErrorKind::TypeError,
                   c.text))
        << c.text;
  }
  EXPECT_TRUE(fails_with_arity(call("__make_effect__", {}), 1, 0));
  EXPECT_EQ(vm->next_effect_id, before);
  const NativeResult a = call("__make_effect__", {vec({})});
  const NativeResult b = call("__make_effect__", {vec({})});
  EXPECT_EQ(heap_get_as<Effect>(vm->heap, *b)->id, heap_get_as<Effect>(vm->heap, *a)->id + 1);
}

TEST_F(Natives, MakeEffectNeverHandsOutTheBuiltInIds) {
  struct Case {
    EffectId counter;
    EffectId id;
  };
  const Case cases[] = {
      {kExnEffectId, 0xFFFF0003}, // exn and console are skipped
      {kConsoleEffectId, 0xFFFF0003},
      {0xFFFF0003, 0xFFFF0003},
      {kRandomEffectId, 0xFFFF0005},
  };
  for (const auto& c : cases) {
    vm->next_effect_id = c.counter;
    const NativeResult r = call("__make_effect__", {vec({})});
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(heap_get_as<Effect>(vm->heap, *r)->id, c.id) << c.counter;
    EXPECT_EQ(vm->next_effect_id, c.id + 1);
  }
}

// Handles to objects that are gone answer false to every question about objects, and `type`
// names what it cannot see "unknown".
TEST_F(Natives, PredicatesTreatAStaleHandleAsNoObject) {
  const char* predicates[] = {"string?", "fn?",   "list?", "vector?", "map?",
                              "set?",    "coll?", "seq?",  "effect?"};
  const Value gone = stale();
  for (const char* name : predicates) {
    EXPECT_TRUE(yields(call(name, {gone}), Value::from_bool(false))) << name;
  }
  EXPECT_TRUE(yields(call("type", {gone}), kw("unknown")));
}

// A variant answers the declared name of its data type, or "variant" when no type is
// registered under its id.
TEST_F(Natives, TypeOfAVariantIsItsDataTypeName) {
  VariantInfo circle = *make_variant_info(vm->interner.get_or_intern("Circle"), {});
  const std::uint32_t id =
      *vm->types.register_data_type(vm->interner.get_or_intern("Shape"), {std::move(circle)});
  auto variant_of = [&](std::uint32_t type_id) {
    return Value::object(
        heap_alloc(vm->heap, HeapObject(Variant{{i(1)}, VariantTag::make(type_id, 0)})));
  };
  EXPECT_TRUE(yields(call("type", {variant_of(id)}), kw("Shape")));
  EXPECT_TRUE(yields(call("type", {variant_of(id + 1)}), kw("variant")));
}

// A host function that runs the collector in the middle of a swap!: a full collection from no
// roots of its own, or a bare sweep that frees everything, rooted or not.
struct CollectingCallback final : HostCallable {
  bool sweep_everything = false;
  NativeResult call(Vm& vm, std::span<const Value> args) override {
    if (sweep_everything) {
      heap_sweep(vm.heap);
    } else {
      heap_collect(vm.heap, {});
    }
    return args.empty() ? Value::nil() : args[0];
  }
};

TEST_F(Natives, SwapKeepsTheAtomAndItsValueAliveAcrossTheCallback) {
  auto callback = std::make_shared<CollectingCallback>();
  const std::uint32_t index = *register_host_function(*vm, "collect-now", callback);
  const Value held = vec({i(1), i(2)});
  const Value a = atom(held);
  const NativeResult r = call("swap!", {a, Value::native_fn(static_cast<std::uint16_t>(index))});
  EXPECT_TRUE(is_seq(r, {i(1), i(2)}, true));
  const Atom* after = heap_get_as<Atom>(vm->heap, a);
  ASSERT_NE(after, nullptr) << "the atom was freed during the callback";
  EXPECT_TRUE(is_seq(after->value, {i(1), i(2)}, true));
}

TEST_F(Natives, SwapRefusesToWriteAnAtomThatIsGoneAfterTheCallback) {
  auto callback = std::make_shared<CollectingCallback>();
  callback->sweep_everything = true;
  const std::uint32_t index = *register_host_function(*vm, "sweep-now", callback);
  const NativeResult r =
      call("swap!", {atom(i(1)), Value::native_fn(static_cast<std::uint16_t>(index))});
  EXPECT_TRUE(fails_with(r, VmErrorKind::TypeError, "atom was collected during swap!"));
}

TEST_F(Natives, ThrowArityBuildsTheErrorFromItsArguments) {
  EXPECT_TRUE(fails_with_arity(call("__throw-arity", {i(2), i(3)}), 2, 3));
  EXPECT_TRUE(fails_with_arity(call("__throw-arity", {}), 0, 0));
  EXPECT_TRUE(fails_with_arity(call("__throw-arity", {i(2), str("x")}), 2, 0));
  EXPECT_TRUE(fails_with_arity(call("__throw-arity", {i(258), i(-1)}), 2, 255));
  EXPECT_TRUE(fails_with_arity(call("__throw-arity", {f(2.0), i(1), i(9)}), 0, 1));
}

// Arity errors keep the given count modulo 256.
TEST_F(Natives, ArityErrorsKeepTheLowByteOfTheCount) {
  const std::vector<Value> many(257, Value::nil());
  const Builtin& drop = vm->natives.at(BUILTIN_DROP);
  EXPECT_TRUE(fails_with_arity(call_builtin_row(*vm, drop, many.data(), many.size()), 2, 1));
}

// The count is checked before the handler runs, whatever the handler is, and the error carries
// the lowest acceptable count even when there were too many. Rows without a count rule reach
// their handler with any count.
TEST_F(Natives, TheDispatcherChecksTheCountFirst) {
  struct Case {
    std::string_view name;
    std::size_t given;
    int expected; // -1: the count is accepted
  };
  const Case cases[] = {
      {"nth", 1, 2},        {"nth", 3, -1},      {"get", 1, 2},        {"take", 3, 2},
      {"take", 1, 2},       {"sort", 3, 1},      {"sort", 0, 1},       {"sort", 2, -1},
      {"reduce", 4, 2},     {"reduce", 1, 2},    {"reduce", 3, -1},    {"first", 0, 1},
      {"assoc", 2, 3},      {"pr-str", 2, 1},    {"parse-int", 3, 1},  {"sett", 2, 3},
      {"+", 0, -1},         {"list", 300, -1},   {"even?", 0, -1},     {"pi", 4, -1},
      {"vec", 0, 1},        {"concat", 0, -1},
  };
  for (const auto& c : cases) {
    const std::vector<Value> args(c.given, Value::nil());
    const NativeResult r =
        call_builtin_row(*vm, vm->natives.at(*find_builtin_index(c.name)), args.data(), c.given);
    const bool arity_failure = !r && r.error().kind == VmErrorKind::ArityError;
    if (c.expected < 0) {
      EXPECT_FALSE(arity_failure) << c.name << " with " << c.given;
    } else {
      EXPECT_TRUE(fails_with_arity(r, static_cast<std::uint8_t>(c.expected),
                                   static_cast<std::uint8_t>(c.given)))
          << c.name << " with " << c.given;
    }
  }
}

} // namespace
} // namespace quorvex
