// The path compiler: a path text such as /users/*[.age > 30]/name becomes an optic, one kind per
// step, joined into a composition. Parsing evaluates nothing: names become keywords, literals
// plain values. White space is skipped only before the leading "/", around "/" separators, after
// "[" in a predicate, after a predicate's field name and operator, and before "]"; anywhere else
// it ends the step, and the path loop then ignores the rest of the text.
#include <charconv>
#include <string>
#include <utility>

#include <unicode/uchar.h>

#include "optics/walk.hpp"
#include "util/utf8.hpp"
#include "value/strings.hpp"

namespace quorvex {

using namespace optics;

namespace {

std::unexpected<VmError> parse_error(const char* text) {
  return std::unexpected(VmError::value_error(text));
}

bool is_ascii_digit(char32_t c) {
  return c >= '0' && c <= '9';
}

bool is_alphabetic(char32_t c) {
  return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC);
}

bool is_ident_char(char32_t c) {
  if (c == '-' || c == '?' || c == '_') return true;
  if (c < 0x80) return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_ascii_digit(c);
  return is_alphabetic(c) ||
         u_getIntPropertyValue(static_cast<UChar32>(c), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

class XpathCursor {
public:
  XpathCursor(Vm& vm, std::string text) : vm_(vm), text_(std::move(text)), scope_(vm.heap) {}

  bool at_end() const { return pos_ >= text_.size(); }
  // The character at the cursor; 0 at the end of the text.
  char32_t peek() const { return at_end() ? 0 : utf8_decode(text_, pos_).scalar; }
  char32_t peek_next() const {
    if (at_end()) return 0;
    const std::size_t next = pos_ + utf8_decode(text_, pos_).length;
    return next >= text_.size() ? 0 : utf8_decode(text_, next).scalar;
  }
  void advance() {
    if (!at_end()) pos_ += utf8_decode(text_, pos_).length;
  }
  void skip_ws() {
    while (!at_end() && u_isUWhiteSpace(static_cast<UChar32>(peek())))
      advance();
  }
  std::string_view read_ident() {
    const std::size_t start = pos_;
    while (!at_end() && is_ident_char(peek()))
      advance();
    return std::string_view(text_).substr(start, pos_ - start);
  }
  bool take_bytes(std::string_view bytes) {
    if (std::string_view(text_).substr(pos_).starts_with(bytes)) {
      pos_ += bytes.size();
      return true;
    }
    return false;
  }
  // An optional "-" and the ASCII digits after it, consumed even when they make no value.
  std::optional<std::int64_t> parse_integer() {
    const std::size_t start = pos_;
    if (peek() == '-') advance();
    while (is_ascii_digit(peek()))
      advance();
    std::int64_t value = 0;
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    auto [end, ec] = std::from_chars(first, last, value);
    if (ec != std::errc() || end != last) return std::nullopt;
    return value;
  }

  Result<Value> parse_literal();
  Result<OpticKind> parse_step();
  Result<OpticKind> parse_index();
  Result<OpticKind> parse_predicate();
  Result<OpticKind> with_predicate(OpticKind step);

  // New objects, kept alive until the compilation ends.
  HeapKey optic(OpticKind kind) {
    const HeapKey k = alloc_optic(vm_, std::move(kind));
    scope_.add(k);
    return k;
  }
  HeapKey key_box(std::string_view name) {
    const Value key = Value::keyword(vm_.interner.get_or_intern(name));
    const HeapKey k = heap_alloc(vm_.heap, HeapObject(KeyBox{key}));
    scope_.add(k);
    return k;
  }
  OpticKind compose(std::initializer_list<OpticKind> kinds) {
    OpticKind::Compose c;
    for (const OpticKind& k : kinds)
      c.steps.push_back(optic(k));
    return OpticKind{std::move(c)};
  }

private:
  Vm& vm_;
  std::string text_;
  std::size_t pos_ = 0;
  RootScope scope_;
};

Result<Value> XpathCursor::parse_literal() {
  const char32_t c = peek();
  if (c == '"') {
    advance();
    const std::size_t start = pos_;
    while (!at_end() && peek() != '"')
      advance();
    const std::string_view text = std::string_view(text_).substr(start, pos_ - start);
    advance();
    Guarded<Value> made = alloc_string(vm_.heap, text);
    if (!made) return std::unexpected(to_vm_error(made.error()));
    scope_.add(*made);
    return *made;
  }
  if (is_ascii_digit(c) || c == '-') {
    const std::size_t start = pos_;
    if (peek() == '-') advance();
    while (is_ascii_digit(peek()))
      advance();
    const bool is_float = peek() == '.';
    if (is_float) {
      advance();
      while (is_ascii_digit(peek()))
        advance();
    }
    const char* first = text_.data() + start;
    const char* last = text_.data() + pos_;
    if (is_float) {
      double d = 0;
      auto [end, ec] = std::from_chars(first, last, d, std::chars_format::fixed);
      if (ec != std::errc() || end != last) return parse_error("invalid float");
      return Value::from_float(d);
    }
    std::int64_t i = 0;
    auto [end, ec] = std::from_chars(first, last, i);
    if (ec != std::errc() || end != last) return parse_error("invalid integer");
    return Value::from_int(i);
  }
  if ((c < 0x80 && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_')) ||
      (c >= 0x80 && is_alphabetic(c))) {
    const std::string_view word = read_ident();
    Guarded<Value> made = alloc_string(vm_.heap, word);
    if (!made) return std::unexpected(to_vm_error(made.error()));
    scope_.add(*made);
    return *made;
  }
  return parse_error("expected literal value");
}

Result<OpticKind> XpathCursor::with_predicate(OpticKind step) {
  if (peek() != '[') return step;
  Result<OpticKind> p = parse_predicate();
  if (!p) return p;
  return compose({std::move(step), std::move(*p)});
}

Result<OpticKind> XpathCursor::parse_step() {
  skip_ws();
  if (at_end()) return parse_error("unexpected end of xpath");
  const char32_t c = peek();
  if (c == '*') {
    advance();
    return with_predicate(OpticKind{OpticKind::Each{}});
  }
  if (c == '@') {
    advance();
    if (take_bytes("keys")) return OpticKind{OpticKind::Keys{}};
    return OpticKind{OpticKind::Vals{}};
  }
  if (is_ascii_digit(c) || c == '-' || c == ':') return parse_index();
  if (c == '#') {
    advance();
    const std::string_view name = read_ident();
    if (peek() != '=') return parse_error("expected '=' after #identifier in xpath");
    const HeapKey box = key_box(name);
    advance();
    Result<Value> literal = parse_literal();
    if (!literal) return std::unexpected(std::move(literal.error()));
    OpticKind search = compose({OpticKind{OpticKind::Deep{}},
                                OpticKind{OpticKind::KeyCompare{CompareOp::Eq, box, *literal}}});
    return OpticKind{OpticKind::First{optic(std::move(search))}};
  }
  const std::string_view name = read_ident();
  return with_predicate(OpticKind{OpticKind::Key{key_box(name)}});
}

Result<OpticKind> XpathCursor::parse_index() {
  const std::optional<std::int64_t> a = parse_integer();
  if (peek() == ':') {
    advance();
    const std::optional<std::int64_t> b = parse_integer();
    return with_predicate(OpticKind{OpticKind::Slice{a, b}});
  }
  if (!a) return parse_error("expected number in xpath");
  return with_predicate(OpticKind{OpticKind::Index{*a}});
}

Result<OpticKind> XpathCursor::parse_predicate() {
  if (peek() != '[') return parse_error("expected [ in predicate");
  advance();
  skip_ws();
  Result<OpticKind> result = parse_error("unsupported predicate syntax");
  const char32_t c = peek();
  if (c == ':') {
    advance();
    result = OpticKind{OpticKind::Filtered{key_box(read_ident())}};
  } else if (c == '!') {
    advance();
    if (peek() != ':') return parse_error("expected : after ! in predicate");
    advance();
    result = OpticKind{OpticKind::NotKey{key_box(read_ident())}};
  } else if (c == '.') {
    advance();
    const HeapKey field = key_box(read_ident());
    skip_ws();
    CompareOp op = CompareOp::Eq;
    switch (peek()) {
    case '=':
      op = CompareOp::Eq;
      break;
    case '!':
      advance();
      if (peek() != '=') return parse_error("expected = after !");
      op = CompareOp::Ne;
      break;
    case '<':
      op = peek_next() == '=' ? CompareOp::Le : CompareOp::Lt;
      if (op == CompareOp::Le) advance();
      break;
    case '>':
      op = peek_next() == '=' ? CompareOp::Ge : CompareOp::Gt;
      if (op == CompareOp::Ge) advance();
      break;
    default:
      return parse_error("expected comparison operator");
    }
    advance();
    skip_ws();
    Result<Value> literal = parse_literal();
    if (!literal) return std::unexpected(std::move(literal.error()));
    result = OpticKind{OpticKind::KeyCompare{op, field, *literal}};
  }
  skip_ws();
  if (peek() != ']' || at_end()) return parse_error("expected ] after predicate");
  advance();
  return result;
}

} // namespace

std::expected<Value, VmError> xpath_compile(Vm& vm, std::string text) {
  XpathCursor cursor(vm, std::move(text));
  cursor.skip_ws();
  if (cursor.peek() != '/' || cursor.at_end()) return parse_error("xpath must start with /");
  cursor.advance();
  Kinds steps;
  while (true) {
    cursor.skip_ws();
    if (cursor.at_end()) break;
    if (cursor.peek() != '/') {
      if (cursor.peek() == '*' && cursor.peek_next() == '*') {
        cursor.advance();
        cursor.advance();
        steps.push_back(OpticKind{OpticKind::Deep{}});
      } else {
        Result<OpticKind> step = cursor.parse_step();
        if (!step) return std::unexpected(std::move(step.error()));
        steps.push_back(std::move(*step));
      }
    }
    cursor.skip_ws();
    if (cursor.at_end() || cursor.peek() != '/') break;
    cursor.advance();
    if (cursor.at_end()) break;
  }
  if (steps.size() == 1) return Value::object(cursor.optic(std::move(steps[0])));
  OpticKind::Compose compose;
  for (OpticKind& step : steps)
    compose.steps.push_back(cursor.optic(std::move(step)));
  return Value::object(cursor.optic(OpticKind{std::move(compose)}));
}

} // namespace quorvex
