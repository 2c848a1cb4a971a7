// The display and readable printers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "regex/regex.hpp"
#include "util/interner.hpp"
#include "value/heap.hpp"
#include "value/printer.hpp"
#include "value/type_registry.hpp"

namespace quorvex {
namespace {

class PrinterTest : public ::testing::Test {
protected:
  PrinterTest() {
    // T with variants V (fields x, y), W (no fields), U (one field name, for short field lists).
    auto v = make_variant_info(names.get_or_intern("V"),
                               {names.get_or_intern("x"), names.get_or_intern("y")});
    auto w = make_variant_info(names.get_or_intern("W"), {});
    auto u = make_variant_info(names.get_or_intern("U"), {names.get_or_intern("only")});
    type_t = *types.register_data_type(names.get_or_intern("T"), {*v, *w, *u});
  }

  Value put(HeapObject o) { return Value::object(heap_insert(heap, std::move(o))); }
  Value str(std::string_view s) { return put(HeapObject(StringObject{*SmallString::from(s)})); }
  Value seq(std::vector<Value> xs, bool is_vector) {
    return put(HeapObject(SeqObject{ValueVector::from_range(xs.begin(), xs.end()), is_vector}));
  }
  Value kw(std::string_view name) { return Value::keyword(names.get_or_intern(name)); }
  Value sym(std::string_view name) { return Value::symbol(names.get_or_intern(name)); }
  Value variant(std::uint32_t type, std::uint32_t index, std::vector<Value> fields) {
    return put(HeapObject(Variant{std::move(fields), VariantTag::make(type, index)}));
  }

  std::string display(const Value& v) { return *display_value(env(), v); }
  std::string readable(const Value& v) { return *print_readable(env(), v); }
  PrintEnv env() const { return PrintEnv{heap, names, types}; }

  Heap heap;
  Interner names;
  TypeRegistry types;
  std::uint32_t type_t = 0;
};

struct Case {
  const char* name;
  Value value;
  std::string display;
  std::string readable;
};

TEST_F(PrinterTest, ScalarsAndStrings) {
  const Value gone = str("gone");
  heap_collect(heap, {});
  const Case cases[] = {
      {"nil", Value::nil(), "", "nil"},
      {"true", Value::from_bool(true), "true", "true"},
      {"false", Value::from_bool(false), "false", "false"},
      {"int", Value::from_int(-5), "-5", "-5"},
      {"integral float", Value::from_float(1.0), "1", "1"},
      {"float", Value::from_float(-0.5), "-0.5", "-0.5"},
      {"ratio", Value::from_ratio_unchecked(1, 2), "1/2", "1/2"},
      {"symbol", sym("foo"), "foo", "foo"},
      {"namespaced symbol", sym("a/b"), "a/b", "a/b"},
      {"keyword", kw("k"), ":k", ":k"},
      {"native fn", Value::native_fn(3), "<native-fn>", "<native-fn>"},
      {"stale key", gone, "<invalid>", "<invalid>"},
      {"string", str("hello"), "hello", "\"hello\""},
      {"empty string", str(""), "", "\"\""},
      {"quotes and backslashes", str("a\"b\\c"), "a\"b\\c", "\"a\\\"b\\\\c\""},
      {"newline stays", str("a\nb"), "a\nb", "\"a\nb\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(display(c.value), c.display) << c.name;
    EXPECT_EQ(readable(c.value), c.readable) << c.name;
  }
}

TEST_F(PrinterTest, Collections) {
  ValueMap one_entry;
  one_entry.insert_mut(kw("a"), str("x"));
  ValueSet one_element;
  one_element.insert_mut(Value::from_int(1));
  ValueMap nested_map;
  nested_map.insert_mut(kw("k"), Value::nil());
  const Value nested = seq({Value::from_int(1), seq({Value::from_int(2), str("a")}, true),
                            put(HeapObject(MapObject{nested_map}))},
                           true);
  const Case cases[] = {
      {"vector", seq({Value::from_int(1), Value::from_int(2)}, true), "<seq>", "[1 2]"},
      {"list", seq({Value::from_int(1), Value::from_int(2)}, false), "<seq>", "(1 2)"},
      {"empty list", seq({}, false), "<seq>", "()"},
      {"empty vector", seq({}, true), "<seq>", "[]"},
      {"list of a string", seq({str("x")}, false), "<seq>", "(\"x\")"},
      {"map", put(HeapObject(MapObject{one_entry})), "<map>", "{:a \"x\"}"},
      {"empty map", put(HeapObject(MapObject{})), "<map>", "{}"},
      {"set", put(HeapObject(SetObject{one_element})), "<set>", "#{1}"},
      {"empty set", put(HeapObject(SetObject{})), "<set>", "#{}"},
      {"nested", nested, "<seq>", "[1 [2 \"a\"] {:k nil}]"},
      {"nil inside", seq({Value::nil(), Value::from_bool(false)}, false), "<seq>", "(nil false)"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(display(c.value), c.display) << c.name;
    EXPECT_EQ(readable(c.value), c.readable) << c.name;
  }
}

TEST_F(PrinterTest, LargeCollectionsPrintEveryElement) {
  ValueSet s;
  for (int i = 0; i < 100; ++i)
    s.insert_mut(Value::from_int(i));
  const std::string text = readable(put(HeapObject(SetObject{s})));
  ASSERT_GE(text.size(), 3u);
  EXPECT_EQ(text.substr(0, 2), "#{");
  EXPECT_EQ(text.back(), '}');
  for (int i = 0; i < 100; ++i) {
    const std::string n = std::to_string(i);
    const bool found = text.find("{" + n + " ") != std::string::npos ||
                       text.find(" " + n + " ") != std::string::npos ||
                       text.find(" " + n + "}") != std::string::npos;
    EXPECT_TRUE(found) << n;
  }
}

TEST_F(PrinterTest, ObjectsWithFixedTags) {
  const Case cases[] = {
      {"closure", put(HeapObject(Closure{FunctionRef::plain(0, 0, 0), {}})), "<fn>", "<fn>"},
      {"template", put(HeapObject(ClosureTemplate{FunctionRef::plain(0, 0, 0)})),
       "<closure-template>", "<closure-template>"},
      {"continuation", put(HeapObject(Continuation{})), "<continuation>", "<continuation>"},
      {"atom", put(HeapObject(Atom{Value::from_int(1)})), "<atom>", "<atom>"},
      {"optic", put(HeapObject(Optic{OpticKind{OpticKind::Each{}}})), "<optic>", "<optic>"},
      {"regex", put(HeapObject(RegexObject{*Regex::compile("a+")})), "<regex>", "<regex>"},
      {"effect", put(HeapObject(Effect{{}, 3, 0})), "<effect #3>", "<effect #3>"},
      {"exn effect", put(HeapObject(Effect{{}, 0xFFFF0001u, 0})), "<effect #4294901761>",
       "<effect #4294901761>"},
      {"key box", put(HeapObject(KeyBox{kw("k")})), "<keybox>", ":k"},
      {"key box of a string", put(HeapObject(KeyBox{str("s")})), "<keybox>", "\"s\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(display(c.value), c.display) << c.name;
    EXPECT_EQ(readable(c.value), c.readable) << c.name;
  }
}

TEST_F(PrinterTest, Variants) {
  const Case cases[] = {
      {"fields", variant(type_t, 0, {Value::from_int(1), str("s")}), "#T/V{x: 1, y: s}",
       "#T/V{x: 1, y: \"s\"}"},
      {"no fields", variant(type_t, 1, {}), "#T/W", "#T/W"},
      {"nested collection field", variant(type_t, 2, {seq({str("a")}, true)}), "#T/U{only: <seq>}",
       "#T/U{only: [\"a\"]}"},
      {"fewer names than fields", variant(type_t, 2, {Value::from_int(1), Value::from_int(2)}),
       "#T/U{only: 1}", "#T/U{only: 1}"},
      {"fewer fields than names", variant(type_t, 0, {Value::from_int(1)}), "#T/V{x: 1}",
       "#T/V{x: 1}"},
      {"unknown type", variant(77, 0, {}), "<unknown-variant>", "<unknown-variant>"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(display(c.value), c.display) << c.name;
    EXPECT_EQ(readable(c.value), c.readable) << c.name;
  }
  const Variant plain{{Value::from_int(2)}, VariantTag::make(type_t, 2)};
  EXPECT_EQ(*format_variant(env(), plain, false), "#T/U{only: 2}");
}

TEST_F(PrinterTest, EscapeString) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},
      {"plain", "plain"},
      {"\\", "\\\\"},
      {"\"", "\\\""},
      {"\\\"", "\\\\\\\""},
      {"tab\tnewline\n", "tab\tnewline\n"},
      {"\xC3\xA9", "\xC3\xA9"},
  };
  for (const auto& [in, out] : cases)
    EXPECT_EQ(escape_string(in), out) << in;
}

TEST_F(PrinterTest, DeepNestingIsAnOrderlyError) {
  Value v = Value::from_int(0);
  for (int i = 0; i < 50000; ++i)
    v = seq({v}, i % 2 == 0);
  EXPECT_EQ(display(v), "<seq>") << "the display form does not descend";
  Guarded<std::string> r = print_readable(env(), v);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), ValueFault::TooDeep);

  Value boxed = Value::from_int(0);
  for (int i = 0; i < 50000; ++i)
    boxed = put(HeapObject(KeyBox{boxed}));
  EXPECT_FALSE(print_readable(env(), boxed).has_value());
  EXPECT_EQ(readable(seq({Value::from_int(1)}, true)), "[1]") << "the guard unwound";
}

} // namespace
} // namespace quorvex
