// The runtime value: a 24-byte tagged record that is copied freely and owns nothing.
// Anything larger than a number or a name lives in the machine's heap behind a HeapKey.
#pragma once

#include <bit>
#include <charconv>
#include <cstdint>
#include <string>
#include <type_traits>

namespace quorvex {

// Interned name id; 0 is never handed out by the interner.
using Spur = std::uint32_t;

struct HeapKey {
  std::uint32_t index = 0;
  std::uint32_t version = 0;

  friend constexpr bool operator==(HeapKey a, HeapKey b) = default;
};

// The numbers are fixed: hashing writes them and every dispatcher switches on them.
enum class Tag : std::uint8_t {
  Nil = 0,
  Bool = 1,
  Int = 2,
  Float = 3,
  Ratio = 4,
  Symbol = 5,
  Keyword = 6,
  Object = 7,
  NativeFn = 8,
};

struct RatioParts {
  std::int64_t num;
  std::int64_t den;
};

struct Value {
  Tag tag = Tag::Nil;
  union {
    std::uint8_t boolean;
    std::int64_t integer;
    double floating;
    RatioParts ratio;
    Spur spur;
    HeapKey key;
    std::uint16_t native;
  } as{};

  static constexpr Value nil() { return Value{}; }
  static constexpr Value from_bool(bool b) {
    Value v;
    v.tag = Tag::Bool;
    v.as.boolean = b ? 1 : 0;
    return v;
  }
  static constexpr Value from_int(std::int64_t i) {
    Value v;
    v.tag = Tag::Int;
    v.as.integer = i;
    return v;
  }
  static constexpr Value from_float(double d) {
    Value v;
    v.tag = Tag::Float;
    v.as.floating = d;
    return v;
  }
  // The caller guarantees the invariants of a ratio (reduced, denominator above 1);
  // normalize_fraction is the checked way in.
  static constexpr Value from_ratio_unchecked(std::int64_t num, std::int64_t den) {
    Value v;
    v.tag = Tag::Ratio;
    v.as.ratio = {num, den};
    return v;
  }
  static constexpr Value symbol(Spur s) {
    Value v;
    v.tag = Tag::Symbol;
    v.as.spur = s;
    return v;
  }
  static constexpr Value keyword(Spur s) {
    Value v;
    v.tag = Tag::Keyword;
    v.as.spur = s;
    return v;
  }
  static constexpr Value object(HeapKey k) {
    Value v;
    v.tag = Tag::Object;
    v.as.key = k;
    return v;
  }
  static constexpr Value native_fn(std::uint16_t index) {
    Value v;
    v.tag = Tag::NativeFn;
    v.as.native = index;
    return v;
  }

  constexpr bool is_nil() const { return tag == Tag::Nil; }
  constexpr bool is_bool() const { return tag == Tag::Bool; }
  constexpr bool is_int() const { return tag == Tag::Int; }
  constexpr bool is_float() const { return tag == Tag::Float; }
  constexpr bool is_ratio() const { return tag == Tag::Ratio; }
  constexpr bool is_number() const {
    return tag == Tag::Int || tag == Tag::Float || tag == Tag::Ratio;
  }
  constexpr bool is_symbol() const { return tag == Tag::Symbol; }
  constexpr bool is_keyword() const { return tag == Tag::Keyword; }
  constexpr bool is_object() const { return tag == Tag::Object; }
  constexpr bool is_native_fn() const { return tag == Tag::NativeFn; }
};

static_assert(sizeof(Value) == 24, "Value must stay a 24-byte record");
static_assert(std::is_trivially_copyable_v<Value>);
static_assert(std::is_trivially_destructible_v<Value>);

// Whether two values of the same tag carry the same payload: the whole Bool byte, the integer,
// the double by IEEE comparison (a NaN differs from itself, 0.0 equals -0.0), both ratio parts,
// the name id, the heap key, the native index. Both the language's equality and the identity of
// map keys come down to this once the tags agree.
constexpr bool same_tag_payload_equal(const Value& a, const Value& b) {
  switch (a.tag) {
  case Tag::Nil:
    return true;
  case Tag::Bool:
    return a.as.boolean == b.as.boolean;
  case Tag::Int:
    return a.as.integer == b.as.integer;
  case Tag::Float:
    return a.as.floating == b.as.floating;
  case Tag::Ratio:
    return a.as.ratio.num == b.as.ratio.num && a.as.ratio.den == b.as.ratio.den;
  case Tag::Symbol:
  case Tag::Keyword:
    return a.as.spur == b.as.spur;
  case Tag::Object:
    return a.as.key == b.as.key;
  case Tag::NativeFn:
    return a.as.native == b.as.native;
  }
  return false;
}

// Nil and false are the only falsy values; only bit 0 of a Bool's byte counts.
constexpr bool is_truthy(const Value& v) {
  if (v.tag == Tag::Nil) return false;
  if (v.tag == Tag::Bool) return (v.as.boolean & 1) != 0;
  return true;
}

// Decimal digits of an integer, with a leading '-' when negative.
inline void append_int_text(std::string& out, std::int64_t i) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, res.ptr);
}
inline void append_uint_text(std::string& out, std::uint64_t i) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, i);
  out.append(buf, res.ptr);
}

// Shortest text that reads back to the same double, positional, no forced ".0".
void append_float_text(std::string& out, double d);
std::string float_text(double d);

// Debug text of a value: shows interned ids and heap keys, never looks into the heap.
void format_value_debug(const Value& v, std::string& out);

}  // namespace quorvex
