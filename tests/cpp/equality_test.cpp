// Language equality (`=`): numbers across kinds, strings by bytes, collections structurally,
// everything else by identity.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "regex/regex.hpp"
#include "value/equality.hpp"
#include "value/heap.hpp"

namespace quorvex {
namespace {

// Builds values the way literal instructions do (plain insertion, no hash-consing), so that
// equality is exercised on distinct objects.
class Values {
public:
  Value str(std::string_view s) { return put(HeapObject(StringObject{*SmallString::from(s)})); }
  Value vec(std::vector<Value> xs) { return seq(std::move(xs), true); }
  Value list(std::vector<Value> xs) { return seq(std::move(xs), false); }
  Value set(std::vector<Value> xs) {
    ValueSet s;
    for (const Value& x : xs)
      s.insert_mut(x);
    return put(HeapObject(SetObject{s}));
  }
  Value map(std::vector<std::pair<Value, Value>> kvs) {
    ValueMap m;
    for (const auto& [k, v] : kvs)
      m.insert_mut(k, v);
    return put(HeapObject(MapObject{m}));
  }
  Value atom(Value v) { return put(HeapObject(Atom{v})); }
  Value keybox(Value v) { return put(HeapObject(KeyBox{v})); }
  Value variant(std::uint32_t type, std::uint32_t index, std::vector<Value> fields) {
    return put(HeapObject(Variant{std::move(fields), VariantTag::make(type, index)}));
  }
  Value regex(std::string_view pattern) {
    return put(HeapObject(RegexObject{*Regex::compile(pattern)}));
  }
  Value closure() { return put(HeapObject(Closure{FunctionRef::plain(0, 0, 0), {}})); }
  Value tmpl() { return put(HeapObject(ClosureTemplate{FunctionRef::plain(0, 0, 0)})); }
  Value optic() { return put(HeapObject(Optic{OpticKind{OpticKind::Each{}}})); }
  Value effect(EffectId id) { return put(HeapObject(Effect{{}, id, 0})); }
  Value continuation() { return put(HeapObject(Continuation{})); }

  Heap heap;

private:
  Value seq(std::vector<Value> xs, bool is_vector) {
    return put(HeapObject(SeqObject{ValueVector::from_range(xs.begin(), xs.end()), is_vector}));
  }
  Value put(HeapObject o) { return Value::object(heap_insert(heap, std::move(o))); }
};

Value I(std::int64_t i) {
  return Value::from_int(i);
}
Value F(double d) {
  return Value::from_float(d);
}
Value R(std::int64_t n, std::int64_t d) {
  return Value::from_ratio_unchecked(n, d);
}
Value K(Spur s) {
  return Value::keyword(s);
}

struct Case {
  const char* name;
  Value a;
  Value b;
  bool equal;
};

void check(const Heap& h, const Case& c) {
  Guarded<bool> ab = values_equal(h, c.a, c.b);
  Guarded<bool> ba = values_equal(h, c.b, c.a);
  ASSERT_TRUE(ab.has_value()) << c.name;
  ASSERT_TRUE(ba.has_value()) << c.name;
  EXPECT_EQ(*ab, c.equal) << c.name;
  EXPECT_EQ(*ba, c.equal) << c.name << " (swapped)";
}

TEST(Equality, Scalars) {
  Values v;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {"int int", I(3), I(3), true},
      {"int int differ", I(3), I(4), false},
      {"int float", I(1), F(1.0), true},
      {"int float differ", I(1), F(1.5), false},
      {"ratio float", R(1, 2), F(0.5), true},
      {"ratio float by double view", R(1, 3), F(0.3333333333333333), true},
      {"ratio float differ", R(1, 3), F(0.333), false},
      {"ratio int", R(3, 2), I(1), false},
      {"ratio ratio", R(3, 2), R(3, 2), true},
      {"int beyond 2^53 rounds to the float", I(9007199254740993), F(9007199254740992.0), true},
      {"smallest int and its float", I(std::numeric_limits<std::int64_t>::min()),
       F(-9223372036854775808.0), true},
      {"NaN", F(nan), F(nan), false},
      {"zero and negative zero", F(0.0), F(-0.0), true},
      {"nil nil", Value::nil(), Value::nil(), true},
      {"nil false", Value::nil(), Value::from_bool(false), false},
      {"bools", Value::from_bool(true), Value::from_bool(true), true},
      {"bools differ", Value::from_bool(true), Value::from_bool(false), false},
      {"symbol keyword same id", Value::symbol(5), K(5), false},
      {"keywords", K(5), K(5), true},
      {"native fns", Value::native_fn(2), Value::native_fn(2), true},
      {"native fns differ", Value::native_fn(2), Value::native_fn(3), false},
      {"int and string", I(1), v.str("1"), false},
      {"nil and empty list", Value::nil(), v.list({}), false},
  };
  for (const Case& c : cases)
    check(v.heap, c);
}

TEST(Equality, StringsAndSequences) {
  Values v;
  const Value nan_list = v.list({F(std::nan(""))});
  const Case cases[] = {
      {"distinct equal strings", v.str("abc"), v.str("abc"), true},
      {"long strings", v.str("a text longer than eleven"), v.str("a text longer than eleven"),
       true},
      {"string prefix", v.str("abc"), v.str("ab"), false},
      {"string and symbol", v.str("abc"), Value::symbol(1), false},
      {"vector and list", v.vec({I(1), I(2)}), v.list({I(1), I(2)}), true},
      {"lengths differ", v.vec({I(1), I(2)}), v.vec({I(1), I(2), I(3)}), false},
      {"nested numbers", v.vec({I(1), v.vec({I(2)})}), v.vec({I(1), v.vec({F(2.0)})}), true},
      {"empty list and vector", v.list({}), v.vec({}), true},
      {"list holding NaN, same object", nan_list, nan_list, true},
      {"lists holding NaN", nan_list, v.list({F(std::nan(""))}), false},
      {"string and vector", v.str(""), v.vec({}), false},
  };
  for (const Case& c : cases)
    check(v.heap, c);
}

TEST(Equality, SetsAndMaps) {
  Values v;
  const Case cases[] = {
      {"sets in any order", v.set({I(1), I(2)}), v.set({I(2), I(1)}), true},
      {"sets by value", v.set({I(1)}), v.set({F(1.0)}), true},
      {"set sizes differ", v.set({I(1)}), v.set({I(1), I(2)}), false},
      {"sets of uncanonical strings", v.set({v.str("a")}), v.set({v.str("a")}), true},
      // Symmetric: 2 finds no equal element in the first set.
      {"set with 1 and 1.0 against 1 and 2", v.set({I(1), F(1.0)}), v.set({I(1), I(2)}), false},
      {"set with 1 and 1.0 against 1.0 and 1", v.set({I(1), F(1.0)}), v.set({F(1.0), I(1)}), true},
      {"maps by value", v.map({{K(1), I(1)}}), v.map({{K(1), F(1.0)}}), true},
      {"map sizes differ", v.map({{K(1), I(1)}}), v.map({{K(1), I(1)}, {K(2), I(2)}}), false},
      {"map values differ", v.map({{K(1), I(1)}}), v.map({{K(1), I(2)}}), false},
      {"map keys by value", v.map({{I(1), K(7)}}), v.map({{F(1.0), K(7)}}), true},
      {"map keys uncanonical", v.map({{v.str("k"), I(1)}}), v.map({{v.str("k"), I(1)}}), true},
      {"map with 1 and 1.0 against 1 and 2", v.map({{I(1), K(1)}, {F(1.0), K(1)}}),
       v.map({{I(1), K(1)}, {I(2), K(1)}}), false},
      {"empty set and empty map", v.set({}), v.map({}), false},
  };
  for (const Case& c : cases)
    check(v.heap, c);
}

TEST(Equality, IdentityKindsAndStructuralOthers) {
  Values v;
  const Value atom = v.atom(I(1));
  const Value f = v.closure();
  const Value o = v.optic();
  const Value e = v.effect(3);
  const Value k = v.continuation();
  const Value t = v.tmpl();
  const Case cases[] = {
      {"atoms holding equal values", v.atom(I(1)), v.atom(I(1)), false},
      {"atom and itself", atom, atom, true},
      {"closures", v.closure(), v.closure(), false},
      {"closure and itself", f, f, true},
      {"templates", v.tmpl(), v.tmpl(), false},
      {"template and itself", t, t, true},
      {"optics", v.optic(), v.optic(), false},
      {"optic and itself", o, o, true},
      {"effects with one id", v.effect(3), v.effect(3), false},
      {"effect and itself", e, e, true},
      {"continuations", v.continuation(), v.continuation(), false},
      {"continuation and itself", k, k, true},
      {"key boxes", v.keybox(v.str("k")), v.keybox(v.str("k")), true},
      {"key boxes differ", v.keybox(K(1)), v.keybox(K(2)), false},
      {"regexes with one pattern", v.regex("a+b"), v.regex("a+b"), true},
      {"regexes matching alike", v.regex("aa*b"), v.regex("a+b"), false},
      {"variants", v.variant(1, 0, {I(1), v.str("s")}), v.variant(1, 0, {F(1.0), v.str("s")}),
       true},
      {"variants of two constructors", v.variant(1, 0, {I(1)}), v.variant(1, 1, {I(1)}), false},
      {"variants of two types", v.variant(1, 0, {I(1)}), v.variant(2, 0, {I(1)}), false},
      {"variant and vector", v.variant(1, 0, {I(1)}), v.vec({I(1)}), false},
  };
  for (const Case& c : cases)
    check(v.heap, c);
}

TEST(Equality, StaleKeys) {
  Values v;
  const Value gone = v.str("abc");
  heap_collect(v.heap, {});
  const Value fresh = v.str("abc");
  EXPECT_FALSE(*values_equal(v.heap, gone, fresh));
  EXPECT_TRUE(*values_equal(v.heap, gone, gone)) << "the same key, even stale";
  const Value stale_other{Value::object(HeapKey{gone.as.key.index, gone.as.key.version + 2})};
  EXPECT_FALSE(*values_equal(v.heap, gone, stale_other));
}

TEST(Equality, CyclesThroughAtomsTerminate) {
  Values v;
  const Value a = v.atom(Value::nil());
  const Value la = v.list({a});
  heap_get_mut_as<Atom>(v.heap, a.as.key)->value = la;
  const Value b = v.atom(Value::nil());
  const Value lb = v.list({b});
  heap_get_mut_as<Atom>(v.heap, b.as.key)->value = lb;
  EXPECT_FALSE(*values_equal(v.heap, la, lb));
  EXPECT_TRUE(*values_equal(v.heap, la, v.list({a})));
}

TEST(Equality, SharedStructureComparesOncePerPairOfObjects) {
  // Each kind nested sixty times around two references to the level below: 2^60 paths to the
  // leaf. `last` replaces the leaf on the rightmost path only.
  Values v;
  using Wrap = Value (*)(Values&, Value, Value);
  struct Shape {
    const char* name;
    Wrap wrap;
  };
  const Shape shapes[] = {
      {"vector",
       [](Values& v, Value l, Value r) {
         return v.vec({l, r});
       }},
      {"list",
       [](Values& v, Value l, Value r) {
         return v.list({l, r});
       }},
      {"map",
       [](Values& v, Value l, Value r) {
         return v.map({{K(1), l}, {K(2), r}});
       }},
      {"set",
       [](Values& v, Value l, Value r) {
         return v.set({v.vec({l}), v.list({r})});
       }},
      {"variant",
       [](Values& v, Value l, Value r) {
         return v.variant(1, 0, {l, r});
       }},
      {"key box",
       [](Values& v, Value l, Value r) {
         return v.vec({v.keybox(l), r});
       }},
  };
  for (const Shape& shape : shapes) {
    auto tree = [&](Value leaf, Value last) {
      Value t = v.vec({leaf});
      Value odd = v.vec({last});
      for (int i = 0; i < 60; ++i) {
        odd = shape.wrap(v, t, odd);
        t = shape.wrap(v, t, t);
      }
      return odd;
    };
    const Value a = tree(I(1), I(1));
    const Case cases[] = {
        {"equal copies", a, tree(I(1), I(1)), true},
        {"equal across number kinds", a, tree(F(1.0), F(1.0)), true},
        {"the last leaf differs", a, tree(I(1), I(2)), false},
        {"every leaf differs", a, tree(I(2), I(2)), false},
        {"NaN leaves", tree(F(NAN), F(NAN)), tree(F(NAN), F(NAN)), false},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(shape.name);
      check(v.heap, c);
    }
  }
}

TEST(Equality, DeepNestingIsAnOrderlyError) {
  Values v;
  Value a = I(1);
  Value b = I(1);
  for (int i = 0; i < 50000; ++i) {
    a = v.vec({a});
    b = v.list({b});
  }
  Guarded<bool> r = values_equal(v.heap, a, b);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error(), ValueFault::TooDeep);
  EXPECT_EQ(to_vm_error(r.error()).kind, VmErrorKind::ValueError);
  EXPECT_EQ(to_vm_error(r.error()).text, "data nested too deeply");
  // Shallow enough data still compares after a failure (the guard unwound).
  EXPECT_TRUE(*values_equal(v.heap, v.vec({I(1)}), v.vec({I(1)})));
}

} // namespace
} // namespace quorvex
