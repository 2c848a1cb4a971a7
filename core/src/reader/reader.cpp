#include "reader/reader.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cstring>
#include <iterator>
#include <limits>
#include <string>
#include <utility>

#include "reader/string_run.hpp"
#include "regex/regex.hpp"
#include "util/depth_guard.hpp"
#include "util/hash.hpp"
#include "util/utf8.hpp"

namespace quorvex {

namespace {

constexpr std::uint32_t kMaxAnonParam = SynthesisedNames::kMaxAnonParam;

constexpr std::array<bool, 256> kAsciiDelimiter = [] {
  std::array<bool, 256> t{};
  for (unsigned char c : std::string_view("\"(),;[]`{}~ "))
    t[c] = true;
  for (unsigned char c = 0x09; c <= 0x0D; ++c)
    t[c] = true;
  return t;
}();

// Bytes that end a run of plain token bytes: the delimiters, and every byte beyond ASCII (which
// may begin wide white space).
constexpr std::array<bool, 256> kTokenStop = [] {
  std::array<bool, 256> t = kAsciiDelimiter;
  for (unsigned b = 0x80; b < 0x100; ++b)
    t[b] = true;
  return t;
}();

// White space beyond ASCII: the rest of the Unicode White_Space property.
bool is_wide_space(char32_t c) {
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// A signed 64-bit integer in the given base: an optional sign and at least one digit.
std::optional<std::int64_t> parse_i64(std::string_view s, int base) {
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Accumulate the magnitude, which may reach 2^63 for the smallest integer.
  const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
  std::uint64_t magnitude = 0;
  for (char c : s) {
    int d = digit_value(c);
    if (d >= base) return std::nullopt;
    // No division per digit: the wide product cannot overflow, and its high half says whether
    // the narrow one did.
    const unsigned __int128 next =
        static_cast<unsigned __int128>(magnitude) * static_cast<unsigned>(base) +
        static_cast<unsigned>(d);
    if (next > limit) return std::nullopt;
    magnitude = static_cast<std::uint64_t>(next);
  }
  if (negative) return static_cast<std::int64_t>(0 - magnitude); // wraps to INT64_MIN at 2^63
  return static_cast<std::int64_t>(magnitude);
}

// An unsigned 32-bit decimal: an optional '+' and at least one digit.
std::optional<std::uint32_t> parse_u32(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
}

// A decimal floating-point number: optional sign, digits with an optional fraction (at least one
// digit in all), optional exponent. The nearest double; beyond the range, an infinity or zero.
std::optional<double> parse_float(std::string_view s) {
  std::size_t i = 0;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  std::size_t body = i;
  std::size_t int_digits = 0, frac_digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9')
    ++i, ++int_digits;
  std::size_t point = i;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9')
      ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  std::int64_t exponent = 0;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
      exp_negative = s[i] == '-';
      ++i;
    }
    std::size_t exp_start = i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
      if (exponent < 1'000'000'000) exponent = exponent * 10 + (s[i] - '0');
      ++i;
    }
    if (i == exp_start) return std::nullopt;
    if (exp_negative) exponent = -exponent;
  }
  if (i != s.size()) return std::nullopt;

  double value = 0;
  auto [end, ec] =
      std::from_chars(s.data() + body, s.data() + s.size(), value, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Decide between overflow and underflow by the decimal magnitude of the first significant
    // digit.
    std::int64_t magnitude = exponent;
    std::size_t k = body;
    while (k < point && s[k] == '0')
      ++k;
    if (k < point) {
      magnitude += static_cast<std::int64_t>(point - k);
    } else {
      std::size_t f = point + 1;
      while (f < s.size() && s[f] == '0')
        ++f, --magnitude;
    }
    value = magnitude > 0 ? std::numeric_limits<double>::infinity() : 0.0;
  } else if (ec != std::errc() || end != s.data() + s.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::uint64_t magnitude_of(std::int64_t v) {
  return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

std::uint64_t gcd(std::uint64_t a, std::uint64_t b) {
  while (b != 0) {
    std::uint64_t t = a % b;
    a = b;
    b = t;
  }
  return a;
}

} // namespace

SynthesisedNames::SynthesisedNames() {
  for (std::uint32_t n = 1; n <= kMaxAnonParam; ++n) {
    std::string name = std::to_string(n);
    name.insert(name.begin(), '%');
    params[n] = SharedText(name);
  }
}

const SynthesisedNames& synthesised_names() {
  static const SynthesisedNames names;
  return names;
}

SplitName split_namespace(std::string_view token) {
  std::size_t slash = token.find('/');
  if (slash == std::string_view::npos || slash == 0 || slash + 1 == token.size()) {
    return SplitName{token, std::nullopt};
  }
  return SplitName{token.substr(slash + 1), token.substr(0, slash)};
}

// ---------------------------------------------------------------------------------------------
// Cursor

ReadCursor::ReadCursor(std::string_view text, std::optional<Spur> source, Positions positions)
    : text_(text), bytes_(text.data()),
      length_(static_cast<std::uint32_t>(
          std::min<std::size_t>(text.size(), std::numeric_limits<std::uint32_t>::max()))),
      source_(source.value_or(0)),
      too_large_(text.size() >= std::numeric_limits<std::uint32_t>::max()),
      offsets_only_(positions == Positions::OffsetsOnly) {}

bool ReadCursor::fail(const char* message, std::size_t start, std::size_t end) {
  return fail(std::string(message), start, end);
}

bool ReadCursor::fail(std::string message, std::size_t start, std::size_t end) {
  if (!error_) {
    error_ = CoreError::reader(std::move(message), static_cast<std::uint32_t>(start),
                               static_cast<std::uint32_t>(end), source_);
  }
  return false;
}

void ReadCursor::next_char() {
  auto b = static_cast<unsigned char>(bytes_[pos_]);
  if (b < 0x80) {
    advance_ascii();
    return;
  }
  pos_ += utf8_decode_slow(text_, pos_).length;
  ++column_;
}

void ReadCursor::skip_other_whitespace() {
  while (pos_ < length_) {
    auto b = static_cast<unsigned char>(bytes_[pos_]);
    if (b == ' ' || b == ',' || b == '\t' || b == '\r' || b == 0x0B || b == 0x0C) {
      ++pos_;
      ++column_;
    } else if (b == '\n') {
      ++pos_;
      ++line_;
      column_ = 0;
    } else if (b == ';') {
      // A comment runs to the line feed, which it consumes.
      const void* nl = std::memchr(bytes_ + pos_, '\n', length_ - pos_);
      if (nl != nullptr) {
        pos_ = static_cast<std::uint32_t>(static_cast<const char*>(nl) - bytes_) + 1;
        ++line_;
        column_ = 0;
      } else {
        while (pos_ < length_)
          next_char();
      }
    } else if (b >= 0x80) {
      Utf8Decoded d = utf8_decode_slow(text_, pos_);
      if (!d.valid || !is_wide_space(d.scalar)) return;
      pos_ += d.length;
      ++column_;
    } else {
      return;
    }
  }
}

void ReadCursor::step_in_string() {
  // Two- and three-byte sequences, which make up most text that is not ASCII, are recognised
  // here without a call; everything else (four bytes, ill-formed bytes) takes the general step.
  const auto* u = reinterpret_cast<const unsigned char*>(bytes_) + pos_;
  const std::uint32_t left = length_ - pos_;
  const unsigned char b = u[0];
  if (b >= 0xC2 && b <= 0xDF && left >= 2 && (u[1] & 0xC0) == 0x80) {
    pos_ += 2;
    ++column_;
    return;
  }
  if (b >= 0xE0 && b <= 0xEF && left >= 3 && (u[1] & 0xC0) == 0x80 && (u[2] & 0xC0) == 0x80 &&
      (b != 0xE0 || u[1] >= 0xA0) && (b != 0xED || u[1] <= 0x9F)) {
    pos_ += 3;
    ++column_;
    return;
  }
  next_char();
}

bool ReadCursor::at_end() {
  skip_whitespace_and_comments();
  return pos_ >= length_;
}

std::string_view ReadCursor::read_token() {
  const std::uint32_t start = pos_;
  while (pos_ < length_) {
    // A run of ASCII token bytes in a tight loop, then whatever stopped it.
    std::uint32_t end = pos_;
    while (end < length_ && !kTokenStop[static_cast<unsigned char>(bytes_[end])])
      ++end;
    column_ += end - pos_;
    pos_ = end;
    if (pos_ >= length_) break;
    auto b = static_cast<unsigned char>(bytes_[pos_]);
    if (b < 0x80) {
      break;
    } else {
      Utf8Decoded d = utf8_decode_slow(text_, pos_);
      if (d.valid && is_wide_space(d.scalar)) break;
      pos_ += d.length;
      ++column_;
    }
  }
  return text_.substr(start, pos_ - start);
}

bool ReadCursor::lex_keyword(std::string_view& token) {
  const std::uint32_t colon = pos_;
  advance_ascii();
  token = read_token();
  if (token.empty()) return fail("Invalid keyword", colon, colon + 1);
  return true;
}

bool ReadCursor::lex_bare_token(TokenValue& out) {
  const std::uint32_t start = pos_;
  std::string_view token = read_token();
  if (token.empty()) return fail("Unexpected token", start, start);
  return classify_token(token, start, out);
}

bool ReadCursor::classify_token(std::string_view token, std::size_t start, TokenValue& out) {
  const std::size_t end = start + token.size();
  if (token == "nil") {
    out.kind = TokenValue::Kind::Nil;
    return true;
  }
  if (token == "true" || token == "false") {
    out.kind = TokenValue::Kind::Bool;
    out.boolean = token == "true";
    return true;
  }
  const char first = token[0];
  // Every numeric rule needs a digit, a sign or a point up front; other tokens are symbols
  // (a radix prefix may also start with '+').
  const bool numeric_start =
      (first >= '0' && first <= '9') || first == '+' || first == '-' || first == '.';
  if (numeric_start) {
    // One pass tells which rules can apply. A plain decimal of up to 18 digits, the common case,
    // matches no other rule and cannot overflow.
    const std::size_t signs = (first == '+' || first == '-') ? 1 : 0;
    std::size_t digits = 0;
    std::uint64_t magnitude = 0;
    bool slash_seen = false, r_seen = false, float_mark = false;
    for (std::size_t i = signs; i < token.size(); ++i) {
      const char ch = token[i];
      if (ch >= '0' && ch <= '9') {
        magnitude = magnitude * 10 + static_cast<std::uint64_t>(ch - '0');
        ++digits;
      } else {
        slash_seen = slash_seen || ch == '/';
        r_seen = r_seen || ch == 'r';
        float_mark = float_mark || ch == '.' || ch == 'e' || ch == 'E';
      }
    }
    if (digits == token.size() - signs && digits >= 1 && digits <= 18) {
      out.kind = TokenValue::Kind::Int;
      out.integer = first == '-' ? -static_cast<std::int64_t>(magnitude)
                                 : static_cast<std::int64_t>(magnitude);
      return true;
    }
    if (slash_seen) {
      const std::size_t slash = token.find('/');
      auto num = parse_i64(token.substr(0, slash), 10);
      auto den = num ? parse_i64(token.substr(slash + 1), 10) : std::nullopt;
      if (num && den) {
        if (*den == 0) return fail("Division by zero in ratio literal", start, end);
        std::uint64_t g = gcd(magnitude_of(*num), magnitude_of(*den));
        __int128 n = static_cast<__int128>(*num) / g;
        __int128 d = static_cast<__int128>(*den) / g;
        if (d < 0) {
          n = -n;
          d = -d;
        }
        constexpr __int128 kMax = std::numeric_limits<std::int64_t>::max();
        constexpr __int128 kMin = std::numeric_limits<std::int64_t>::min();
        if (n > kMax || n < kMin || d > kMax) return fail("Ratio literal overflow", start, end);
        out.kind = TokenValue::Kind::Ratio;
        out.integer = static_cast<std::int64_t>(n);
        out.denominator = static_cast<std::int64_t>(d);
        return true;
      }
    }
    if (token.size() >= 2 && token[0] == '0' && (token[1] == 'x' || token[1] == 'X')) {
      auto value = parse_i64(token.substr(2), 16);
      if (!value) return fail("Invalid hex literal", start, end);
      out.kind = TokenValue::Kind::Int;
      out.integer = *value;
      return true;
    }
    if (r_seen) {
      const std::size_t r = token.find('r');
      auto base = parse_u32(token.substr(0, r));
      if (base && *base >= 2 && *base <= 36) {
        auto value = parse_i64(token.substr(r + 1), static_cast<int>(*base));
        if (!value) return fail("Invalid radix literal", start, end);
        out.kind = TokenValue::Kind::Int;
        out.integer = *value;
        return true;
      }
    }
    if (float_mark) {
      if (auto value = parse_float(token)) {
        out.kind = TokenValue::Kind::Float;
        out.floating = *value;
        return true;
      }
    }
    if (auto value = parse_i64(token, 10)) {
      out.kind = TokenValue::Kind::Int;
      out.integer = *value;
      return true;
    }
  }
  out.kind = TokenValue::Kind::Symbol;
  out.token = token;
  out.name = split_namespace(token);
  return true;
}

bool ReadCursor::lex_string(std::string& buffer, std::string_view& text, bool& escaped) {
  const std::uint32_t open = pos_;
  advance_ascii();
  buffer.clear();
  escaped = false;
  std::uint32_t segment = pos_;
  for (;;) {
    // Plain ASCII runs first: the common case, with nothing to decode.
    if (offsets_only_) {
      pos_ += string_run<false>(bytes_ + pos_, bytes_ + length_);
    } else {
      const std::uint32_t run = string_run<true>(bytes_ + pos_, bytes_ + length_);
      pos_ += run;
      column_ += run;
    }
    if (pos_ >= length_) return fail("Unclosed string", open, length_);
    char b = bytes_[pos_];
    if (b == '"') {
      std::string_view tail = text_.substr(segment, pos_ - segment);
      advance_ascii();
      if (escaped) {
        buffer.append(tail);
        text = buffer;
      } else {
        text = tail;
      }
      return true;
    }
    if (b != '\\') {
      step_in_string();
      continue;
    }
    buffer.append(text_.substr(segment, pos_ - segment));
    escaped = true;
    advance_ascii();
    if (pos_ >= length_) return fail("Invalid escape", open, length_);
    char e = bytes_[pos_];
    switch (e) {
    case 'n':
      buffer += '\n';
      advance_ascii();
      break;
    case 't':
      buffer += '\t';
      advance_ascii();
      break;
    case 'r':
      buffer += '\r';
      advance_ascii();
      break;
    case '\\':
    case '"':
      buffer += e;
      advance_ascii();
      break;
    case 'u': {
      advance_ascii();
      char32_t code = 0;
      for (int k = 0; k < 4; ++k) {
        if (pos_ >= length_) return fail("Invalid unicode escape", open, length_);
        int d = digit_value(bytes_[pos_]);
        if (d >= 16) {
          next_char();
          return fail("Invalid unicode escape", open, pos_);
        }
        code = code * 16 + static_cast<char32_t>(d);
        advance_ascii();
      }
      if (code >= 0xD800 && code <= 0xDFFF) {
        return fail("Invalid unicode code point", open, pos_);
      }
      utf8_append(buffer, code);
      break;
    }
    default:
      next_char();
      return fail("Unsupported escape", open, pos_);
    }
    segment = pos_;
  }
}

std::shared_ptr<const Regex> ReadCursor::lex_regex() {
  const std::uint32_t open = pos_;
  advance_ascii();
  // Escapes reach the regex compiler unchanged, except that \" stands for a bare quote. A
  // doubled backslash is taken as a pair, so #"\\" is the pattern \\ (one literal backslash).
  std::string pattern;
  std::uint32_t segment = pos_;
  for (;;) {
    if (pos_ >= length_) {
      fail("Unclosed regex", open, length_);
      return nullptr;
    }
    char b = bytes_[pos_];
    if (b == '"') break;
    if (b == '\\' && pos_ + 1 < length_ && bytes_[pos_ + 1] == '"') {
      pattern.append(text_.substr(segment, pos_ - segment));
      pattern += '"';
      advance_ascii();
      advance_ascii();
      segment = pos_;
    } else if (b == '\\' && pos_ + 1 < length_ && bytes_[pos_ + 1] == '\\') {
      advance_ascii();
      advance_ascii();
    } else {
      next_char();
    }
  }
  pattern.append(text_.substr(segment, pos_ - segment));
  advance_ascii();
  auto re = Regex::compile(pattern);
  if (!re) {
    fail("Invalid regex: " + re.error(), open, pos_);
    return nullptr;
  }
  return std::move(*re);
}

// ---------------------------------------------------------------------------------------------
// Forms

Form FormBuild::spanned(const SourceSpan& span, Form&& inner) {
  return Form::spanned(span, std::move(inner));
}

SharedText FormBuild::shared_text(std::string_view text) {
  if (text.size() > 32) return SharedText(text);
  std::uint32_t h = 2166136261u; // FNV-1a
  for (unsigned char c : text)
    h = (h ^ c) * 16777619u;
  SharedText& slot = recent_texts_[(h ^ (h >> 15)) % recent_texts_.size()];
  if (!slot.present() || slot.view() != text) slot = SharedText(text);
  return slot;
}

Form FormBuild::atom(const TokenValue& atom, bool) {
  switch (atom.kind) {
  case TokenValue::Kind::Nil:
    return Form::nil();
  case TokenValue::Kind::Bool:
    return Form::boolean(atom.boolean);
  case TokenValue::Kind::Int:
    return Form::integer(atom.integer);
  case TokenValue::Kind::Ratio:
    return Form::ratio(atom.integer, atom.denominator);
  case TokenValue::Kind::Float:
    return Form::floating(atom.floating);
  case TokenValue::Kind::Symbol:
    break;
  }
  return Form::symbol(shared_text(atom.name.name),
                      atom.name.ns ? shared_text(*atom.name.ns) : SharedText());
}

Form FormBuild::string(std::string_view text, bool escaped, bool) {
  return Form::string(escaped ? SharedText(text) : shared_text(text));
}

Form FormBuild::keyword(std::string_view, const SplitName& name) {
  return Form::keyword(shared_text(name.name), name.ns ? shared_text(*name.ns) : SharedText());
}

Form FormBuild::synthetic_symbol(const SharedText& name) {
  return Form::symbol(name);
}

Form FormBuild::sequence(SeqKind kind, Form* items, std::size_t n) {
  FormVec vec =
      FormVec::from_range(std::make_move_iterator(items), std::make_move_iterator(items + n));
  return kind == SeqKind::List ? Form::list(std::move(vec)) : Form::vector(std::move(vec));
}

SipKeys FormBuild::map_start() {
  return next_random_keys();
}

// Built in one pass from all the entries: each trie node is allocated once, at its final size.
Form FormBuild::map(SipKeys keys, std::pair<Form, Form>* entries, std::size_t n) {
  return Form::map(FormMap::from_moved(keys, entries, n));
}

SipKeys FormBuild::set_start() {
  return next_random_keys();
}

Form FormBuild::set(SipKeys keys, Form* items, std::size_t n) {
  return Form::set(FormSet::from_moved(keys, items, n));
}

Form FormBuild::regex(std::shared_ptr<const Regex> re) {
  return Form::regex(std::move(re));
}

Form FormBuild::from_form(Form&& form, bool) {
  return std::move(form);
}

// ---------------------------------------------------------------------------------------------
// Anonymous functions

namespace {

struct AnonParams {
  std::uint32_t highest = 0;
  bool bare = false;
  bool rest = false;
};

// Rewrites bare % into %1 and notes the parameters a body uses. `replaced` receives the new
// form only when something inside changed, so untouched parts stay shared.
bool rewrite_anon_params(ReadCursor& c, const Form& form, const SourceSpan* around,
                         AnonParams& params, std::optional<Form>& replaced) {
  switch (form.kind()) {
  case Form::Kind::Symbol: {
    std::string_view name = form.name();
    if (name.empty() || name[0] != '%') return true;
    if (name == "%") {
      params.bare = true;
      replaced = Form::symbol(synthesised_names().params[1]);
    } else if (name == "%&") {
      params.rest = true;
    } else if (name.find_first_not_of("0123456789", 1) == std::string_view::npos) {
      std::uint64_t n = 0;
      for (char ch : name.substr(1)) {
        n = n * 10 + static_cast<std::uint64_t>(ch - '0');
        if (n > kMaxAnonParam) {
          return around != nullptr
                     ? c.fail("Anonymous fn parameter out of range", around->start, around->end)
                     : c.fail("Anonymous fn parameter out of range", c.position(), c.position());
        }
      }
      params.highest = std::max(params.highest, static_cast<std::uint32_t>(n));
    }
    return true;
  }
  case Form::Kind::Spanned:
  case Form::Kind::List:
  case Form::Kind::Vector:
  case Form::Kind::Map:
  case Form::Kind::Set:
    break;
  default:
    return true;
  }
  DepthGuard guard;
  if (!guard) {
    return around != nullptr ? c.fail("Nesting too deep", around->start, around->end)
                             : c.fail("Nesting too deep", c.position(), c.position());
  }
  switch (form.kind()) {
  case Form::Kind::Spanned: {
    std::optional<Form> inner;
    if (!rewrite_anon_params(c, form.inner(), &form.span(), params, inner)) return false;
    if (inner) replaced = Form::spanned(form.span(), std::move(*inner));
    return true;
  }
  case Form::Kind::List:
  case Form::Kind::Vector: {
    const FormVec& items = form.items();
    std::optional<FormVec> rebuilt;
    std::size_t index = 0;
    for (const Form& item : items) {
      std::optional<Form> changed;
      if (!rewrite_anon_params(c, item, around, params, changed)) return false;
      if (changed && !rebuilt) {
        rebuilt.emplace();
        for (std::size_t k = 0; k < index; ++k)
          rebuilt->push_back_mut(items[k]);
      }
      if (rebuilt) rebuilt->push_back_mut(changed ? std::move(*changed) : item);
      ++index;
    }
    if (rebuilt) {
      replaced = form.is(Form::Kind::List) ? Form::list(std::move(*rebuilt))
                                           : Form::vector(std::move(*rebuilt));
    }
    return true;
  }
  case Form::Kind::Map: {
    bool any = false;
    std::vector<std::pair<Form, Form>> entries;
    for (const auto& entry : form.as_map()) {
      std::optional<Form> key, value;
      if (!rewrite_anon_params(c, entry.first, around, params, key)) return false;
      if (!rewrite_anon_params(c, entry.second, around, params, value)) return false;
      any = any || key || value;
      entries.emplace_back(key ? std::move(*key) : entry.first,
                           value ? std::move(*value) : entry.second);
    }
    if (any) {
      FormMap rebuilt(next_random_keys());
      for (auto& [key, value] : entries)
        rebuilt.insert_mut(std::move(key), std::move(value));
      replaced = Form::map(std::move(rebuilt));
    }
    return true;
  }
  case Form::Kind::Set: {
    bool any = false;
    std::vector<Form> elements;
    for (const Form& element : form.as_set()) {
      std::optional<Form> changed;
      if (!rewrite_anon_params(c, element, around, params, changed)) return false;
      any = any || changed;
      elements.push_back(changed ? std::move(*changed) : element);
    }
    if (any) {
      FormSet rebuilt(next_random_keys());
      for (Form& element : elements)
        rebuilt.insert_mut(std::move(element));
      replaced = Form::set(std::move(rebuilt));
    }
    return true;
  }
  default:
    return true;
  }
}

} // namespace

bool read_anonymous_fn(ReadCursor& cursor, Form& out) {
  FormBuild build(/*keep_spans=*/true);
  BasicReader<FormBuild> reader(cursor, build);
  Form body_list;
  if (!reader.read_sequence(')', "Unclosed anonymous fn", SeqKind::List, body_list)) return false;
  AnonParams params;
  std::optional<Form> rewritten;
  if (!rewrite_anon_params(cursor, body_list, nullptr, params, rewritten)) return false;
  if (rewritten) body_list = std::move(*rewritten);

  const SynthesisedNames& names = synthesised_names();
  std::uint32_t count = std::max(params.highest, params.bare ? 1u : 0u);
  FormVec vector;
  for (std::uint32_t n = 1; n <= count; ++n)
    vector.push_back_mut(Form::symbol(names.params[n]));
  if (params.rest) {
    vector.push_back_mut(Form::symbol(names.ampersand));
    vector.push_back_mut(Form::symbol(names.rest));
  }
  FormVec items;
  items.push_back_mut(Form::symbol(names.fn));
  items.push_back_mut(Form::vector(std::move(vector)));
  items.push_back_mut(std::move(body_list));
  out = Form::list(std::move(items));
  return true;
}

// ---------------------------------------------------------------------------------------------

Reader::Reader(std::string_view text, std::optional<Spur> source, Spans spans)
    : cursor_(text, source), build_(spans == Spans::Keep), reader_(cursor_, build_) {}

std::expected<Form, CoreError> Reader::read_form() {
  Form out;
  if (!reader_.read_form_into(out)) return std::unexpected(cursor_.take_error());
  return out;
}

std::expected<std::vector<Form>, CoreError> read_all(std::string_view text,
                                                     std::optional<Spur> source, Spans spans) {
  Reader reader(text, source, spans);
  std::vector<Form> forms;
  while (!reader.at_end()) {
    auto form = reader.read_form();
    if (!form) return std::unexpected(std::move(form.error()));
    forms.push_back(std::move(*form));
  }
  return forms;
}

} // namespace quorvex
