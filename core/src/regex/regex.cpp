#include "regex/regex.hpp"

#include <re2/re2.h>
#include <unicode/uset.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <unordered_set>

#include "util/utf8.hpp"

namespace quorvex {

namespace {

// The Unicode White_Space property, as RE2 class items.
constexpr std::string_view kSpaceItems =
    "\\x{9}-\\x{D}\\x{20}\\x{85}\\x{A0}\\x{1680}\\x{2000}-\\x{200A}\\x{2028}\\x{2029}"
    "\\x{202F}\\x{205F}\\x{3000}";
// The complement of White_Space, for \S inside a class.
constexpr std::string_view kNonSpaceItems =
    "\\x{0}-\\x{8}\\x{E}-\\x{1F}\\x{21}-\\x{84}\\x{86}-\\x{9F}\\x{A1}-\\x{167F}"
    "\\x{1681}-\\x{1FFF}\\x{200B}-\\x{2027}\\x{202A}-\\x{202E}\\x{2030}-\\x{205E}"
    "\\x{2060}-\\x{2FFF}\\x{3001}-\\x{10FFFF}";
constexpr std::string_view kWordItems = "\\p{L}\\p{M}\\p{Nd}\\p{Pc}";

bool is_unicode_space(char32_t c) {
  return (c >= 0x9 && c <= 0xD) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

bool is_hex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Length of the UTF-8 sequence that starts with byte b (1 for bytes that cannot start one, so
// that a walk over malformed text still advances).
std::size_t utf8_length(unsigned char b) {
  if (b < 0xC0) return 1;
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  if (b < 0xF8) return 4;
  return 1;
}

// Decodes the character at text[i]; len receives its byte length.
char32_t decode_at(std::string_view text, std::size_t i, std::size_t& len) {
  auto b = static_cast<unsigned char>(text[i]);
  len = utf8_length(b);
  if (len == 1 || i + len > text.size()) {
    len = 1;
    return b;
  }
  char32_t c = len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
  for (std::size_t k = 1; k < len; ++k) {
    auto cont = static_cast<unsigned char>(text[i + k]);
    if ((cont & 0xC0) != 0x80) {
      len = 1;
      return b;
    }
    c = (c << 6) | (cont & 0x3F);
  }
  return c;
}

std::size_t next_boundary(std::string_view text, std::size_t i) {
  ++i;
  while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
    ++i;
  return i;
}

void append_hex_item(std::string& out, std::uint32_t c) {
  char buf[16];
  int n = std::snprintf(buf, sizeof buf, "\\x{%X}", static_cast<unsigned>(c));
  out.append(buf, static_cast<std::size_t>(n));
}

// \W inside a class cannot be written with RE2's property names (it is an intersection of
// negated properties), so it is spelled out as code-point ranges, computed once from ICU.
const std::string& non_word_items() {
  static const std::string items = [] {
    std::string out;
    UErrorCode status = U_ZERO_ERROR;
    static const UChar kPattern[] = u"[^\\p{L}\\p{M}\\p{Nd}\\p{Pc}]";
    USet* set = uset_openPattern(kPattern, -1, &status);
    if (U_FAILURE(status) || set == nullptr) {
      // Without ICU's tables, fall back to everything outside ASCII word characters; the
      // property names then still decide outside classes.
      return std::string("\\x{0}-\\x{2F}\\x{3A}-\\x{40}\\x{5B}-\\x{5E}\\x{60}\\x{7B}-\\x{7F}");
    }
    int32_t count = uset_getItemCount(set);
    for (int32_t k = 0; k < count; ++k) {
      UChar32 lo = 0, hi = 0;
      UErrorCode item_status = U_ZERO_ERROR;
      int32_t len = uset_getItem(set, k, &lo, &hi, nullptr, 0, &item_status);
      if (len != 0) continue; // a string item; a pattern of properties has none
      append_hex_item(out, static_cast<std::uint32_t>(lo));
      if (hi != lo) {
        out += '-';
        append_hex_item(out, static_cast<std::uint32_t>(hi));
      }
    }
    uset_close(set);
    return out;
  }();
  return items;
}

// " (at character N)": where in the pattern, counted in characters, a fault lies.
std::string at_character(std::string_view pattern, std::size_t byte_offset) {
  return " (at character " + std::to_string(utf8_count_scalars(pattern.substr(0, byte_offset))) +
         ")";
}

// Rewrites the language's pattern syntax into RE2's. Works in one pass over the bytes; only
// nested classes recurse, and their depth is bounded by the nesting limit.
class Translator {
public:
  // RE2's bound on a repetition count.
  static constexpr std::uint32_t kMaxRepeat = 1000;

  explicit Translator(std::string_view pattern) : p_(pattern) {}

  std::expected<std::string, std::string> run() {
    out_.reserve(p_.size() + 16);
    groups_.push_back(Group{false, 0});
    while (i_ < p_.size() && error_.empty())
      step();
    if (!error_.empty()) return std::unexpected(error_);
    return std::move(out_);
  }

  // Where the structure of the pattern went wrong, as far as this walk sees it: the first group
  // still open at the end, the first ) that closed nothing, the first class never closed.
  std::optional<std::size_t> unclosed_group() const {
    if (groups_.size() < 2) return std::nullopt;
    return groups_[1].open_at;
  }
  std::optional<std::size_t> unmatched_close() const { return unmatched_close_; }
  std::optional<std::size_t> unclosed_class() const { return unclosed_class_; }

private:
  struct Group {
    bool verbose;
    std::size_t open_at; // byte offset of the opening parenthesis
  };

  bool verbose() const { return groups_.back().verbose; }

  void fail(std::string message, std::size_t at) {
    if (error_.empty()) error_ = std::move(message) + at_character(p_, at);
  }

  // The construct that opened at `at` nests too deeply.
  bool enter_nesting(std::size_t at) {
    if (++depth_ > Regex::kNestLimit) {
      fail("nesting limit of " + std::to_string(Regex::kNestLimit) + " exceeded", at);
      return false;
    }
    return true;
  }

  // In verbose mode, skips one run of white space or one comment; answers whether it did.
  bool skip_verbose_space() {
    if (!verbose()) return false;
    std::size_t len = 1;
    char32_t c = decode_at(p_, i_, len);
    if (is_unicode_space(c)) {
      i_ += len;
      return true;
    }
    if (c == '#') {
      while (i_ < p_.size() && p_[i_] != '\n')
        ++i_;
      if (i_ < p_.size()) ++i_;
      return true;
    }
    return false;
  }

  void copy_char() {
    std::size_t len = utf8_length(static_cast<unsigned char>(p_[i_]));
    if (i_ + len > p_.size()) len = p_.size() - i_;
    out_.append(p_.substr(i_, len));
    i_ += len;
  }

  void step() {
    if (skip_verbose_space()) return;
    char c = p_[i_];
    switch (c) {
    case '\\':
      escape(false);
      return;
    case '[': {
      const std::size_t open_at = i_++;
      if (!enter_nesting(open_at)) return;
      out_ += '[';
      if (i_ < p_.size() && p_[i_] == '^') {
        out_ += '^';
        ++i_;
      }
      if (class_body()) {
        --depth_;
      } else if (error_.empty() && !unclosed_class_) {
        unclosed_class_ = open_at;
      }
      return;
    }
    case '(':
      open_group();
      return;
    case '{':
      counted_repetition();
      return;
    case ')':
      if (groups_.size() > 1) {
        groups_.pop_back();
        --depth_;
      } else if (!unmatched_close_) {
        unmatched_close_ = i_;
      }
      out_ += ')';
      ++i_;
      return;
    default:
      copy_char();
    }
  }

  void open_group() {
    const std::size_t open_at = i_++;
    if (!enter_nesting(open_at)) return;
    bool inherited = verbose();
    if (i_ >= p_.size() || p_[i_] != '?') {
      out_ += '(';
      groups_.push_back(Group{inherited, open_at});
      return;
    }
    // (?<name>  and  (?P<name>, but not the look-behinds (?<= and (?<!, which RE2 refuses.
    std::size_t name_at = 0;
    if (i_ + 1 < p_.size() && p_[i_ + 1] == '<' &&
        (i_ + 2 >= p_.size() || (p_[i_ + 2] != '=' && p_[i_ + 2] != '!'))) {
      name_at = i_ + 2;
    } else if (i_ + 2 < p_.size() && p_[i_ + 1] == 'P' && p_[i_ + 2] == '<') {
      name_at = i_ + 3;
    }
    if (name_at != 0) {
      std::size_t close = p_.find('>', name_at);
      out_ += "(?P<";
      i_ = name_at;
      if (close != std::string_view::npos) {
        std::string name(p_.substr(name_at, close - name_at));
        if (!names_.insert(name).second) {
          fail("duplicate capture group name: " + name, open_at);
          return;
        }
        out_ += name;
        out_ += '>';
        i_ = close + 1;
      }
      groups_.push_back(Group{inherited, open_at});
      return;
    }
    // Flag groups: (?flags) and (?flags:...). RE2 has no verbose flag, so x is applied here and
    // removed from what RE2 sees.
    std::size_t k = i_ + 1;
    std::string on, off;
    bool negate = false;
    bool saw_x = false;
    bool verbose_now = inherited;
    while (k < p_.size() && p_[k] != ')' && p_[k] != ':') {
      char f = p_[k];
      if (f == '-' && !negate) {
        negate = true;
      } else if (f == 'x') {
        saw_x = true;
        verbose_now = !negate;
      } else if ((f >= 'a' && f <= 'z') || (f >= 'A' && f <= 'Z')) {
        (negate ? off : on) += f;
      } else {
        break;
      }
      ++k;
    }
    bool flag_group = k < p_.size() && (p_[k] == ')' || p_[k] == ':') && k > i_ + 1;
    if (!flag_group || !saw_x) {
      // Nothing to rewrite (or not a flag group at all): RE2 judges the text as written.
      out_ += "(?";
      ++i_;
      groups_.push_back(Group{inherited, open_at});
      if (flag_group && p_[k] == ')') {
        // (?i) applies to the rest of the enclosing group; it opens none.
        out_.append(p_.substr(i_, k + 1 - i_));
        i_ = k + 1;
        groups_.pop_back();
        --depth_;
      }
      return;
    }
    std::string flags = on;
    if (!off.empty()) flags += "-" + off;
    if (p_[k] == ')') {
      --depth_;
      groups_.back().verbose = verbose_now;
      if (!flags.empty()) out_ += "(?" + flags + ")";
    } else {
      out_ += "(?" + flags + ":";
      groups_.push_back(Group{verbose_now, open_at});
    }
    i_ = k + 1;
  }

  // The character after a backslash. Outside classes the Unicode classes become bracketed RE2
  // classes; inside a class they become class items.
  void escape(bool in_class) {
    ++i_;
    if (i_ >= p_.size()) {
      out_ += '\\'; // RE2 reports the trailing backslash
      return;
    }
    char c = p_[i_];
    switch (c) {
    case 'd':
      out_ += "\\p{Nd}";
      ++i_;
      return;
    case 'D':
      out_ += "\\P{Nd}";
      ++i_;
      return;
    case 'w':
      if (!in_class) out_ += '[';
      out_ += kWordItems;
      if (!in_class) out_ += ']';
      ++i_;
      return;
    case 'W':
      if (in_class) {
        out_ += non_word_items();
      } else {
        out_ += "[^";
        out_ += kWordItems;
        out_ += ']';
      }
      ++i_;
      return;
    case 's':
      if (!in_class) out_ += '[';
      out_ += kSpaceItems;
      if (!in_class) out_ += ']';
      ++i_;
      return;
    case 'S':
      if (in_class) {
        out_ += kNonSpaceItems;
      } else {
        out_ += "[^";
        out_ += kSpaceItems;
        out_ += ']';
      }
      ++i_;
      return;
    case 'C':
    case 'Q':
    case 'E':
      fail(std::string("invalid escape sequence: \\") + c, i_ - 1);
      return;
    case 'p':
    case 'P':
    case 'x':
      // The braces of \p{..} and \x{..} belong to the escape, not to a repetition.
      out_ += '\\';
      out_ += c;
      ++i_;
      if (i_ < p_.size() && p_[i_] == '{') {
        std::size_t close = p_.find('}', i_);
        std::size_t end = close == std::string_view::npos ? p_.size() : close + 1;
        out_.append(p_.substr(i_, end - i_));
        i_ = end;
      } else if (i_ < p_.size()) {
        copy_char();
      }
      return;
    case 'u':
    case 'U':
      unicode_escape(c == 'u' ? 4 : 8);
      return;
    default:
      out_ += '\\';
      copy_char();
    }
  }

  // A brace outside a class: a counted repetition {n}, {n,} or {n,m} (white space between its
  // parts allowed in verbose mode), or else a literal brace. RE2 reads a count with a leading
  // zero, or one too long for its parser, as literal text, so a{01} and a{4294967297} would
  // match braces and digits; the counts are read here instead, written out plainly, and a count
  // past the limit is refused whatever its size.
  void counted_repetition() {
    const std::size_t open_at = i_;
    std::size_t k = i_ + 1;
    auto skip_space = [&] {
      while (verbose() && k < p_.size()) {
        std::size_t len = 1;
        if (!is_unicode_space(decode_at(p_, k, len))) break;
        k += len;
      }
    };
    // The count's value, capped just past the limit; nothing when there are no digits.
    auto number = [&]() -> std::optional<std::uint32_t> {
      skip_space();
      const std::size_t digits = k;
      std::uint32_t value = 0;
      while (k < p_.size() && p_[k] >= '0' && p_[k] <= '9') {
        value = std::min<std::uint32_t>(value * 10 + static_cast<std::uint32_t>(p_[k] - '0'),
                                        kMaxRepeat + 1);
        ++k;
      }
      skip_space();
      if (k == digits) return std::nullopt;
      return value;
    };
    const std::optional<std::uint32_t> min = number();
    std::optional<std::uint32_t> max;
    bool open_ended = false;
    if (min && k < p_.size() && p_[k] == ',') {
      ++k;
      max = number();
      open_ended = !max;
    }
    if (!min || k >= p_.size() || p_[k] != '}') {
      out_ += "\\{";
      ++i_;
      return;
    }
    i_ = k + 1;
    if (*min > kMaxRepeat || (max && *max > kMaxRepeat)) {
      fail("invalid repetition count (at most " + std::to_string(kMaxRepeat) +
               "): " + std::string(p_.substr(open_at, i_ - open_at)),
           open_at);
      return;
    }
    out_ += '{';
    out_ += std::to_string(*min);
    if (max || open_ended) out_ += ',';
    if (max) out_ += std::to_string(*max);
    out_ += '}';
  }

  // \u{X..}, \uXXXX, \U{X..} and \UXXXXXXXX name a code point; RE2 spells them \x{..}.
  void unicode_escape(std::size_t digits) {
    std::size_t start = i_ + 1;
    if (start < p_.size() && p_[start] == '{') {
      std::size_t close = p_.find('}', start);
      if (close != std::string_view::npos) {
        out_ += "\\x";
        out_.append(p_.substr(start, close + 1 - start));
        i_ = close + 1;
        return;
      }
    } else if (start + digits <= p_.size()) {
      bool all_hex = true;
      for (std::size_t k = 0; k < digits; ++k)
        all_hex = all_hex && is_hex(p_[start + k]);
      if (all_hex) {
        out_ += "\\x{";
        out_.append(p_.substr(start, digits));
        out_ += '}';
        i_ = start + digits;
        return;
      }
    }
    // Malformed: hand it over unchanged for RE2 to report.
    out_ += '\\';
    copy_char();
  }

  // Length of a named ASCII class ([:alpha:], [:^digit:]) at the cursor, or 0.
  std::size_t ascii_class_length() const {
    if (p_.substr(i_, 2) != "[:") return 0;
    std::size_t k = i_ + 2;
    if (k < p_.size() && p_[k] == '^') ++k;
    std::size_t letters = k;
    while (k < p_.size() && p_[k] >= 'a' && p_[k] <= 'z')
      ++k;
    if (k == letters || p_.substr(k, 2) != ":]") return 0;
    return k + 2 - i_;
  }

  // Items of a class up to and including its closing bracket; the opening bracket (and ^) are
  // already consumed and written. Nested classes are unions and are written inline. Answers
  // false when the pattern ends first (RE2 then reports the missing bracket).
  bool class_body() {
    bool first = true;
    while (error_.empty()) {
      if (i_ >= p_.size()) return false;
      if (skip_verbose_space()) continue;
      char c = p_[i_];
      if (c == ']' && !first) {
        out_ += ']';
        ++i_;
        return true;
      }
      if (c == '-' && first) {
        out_ += "\\-";
        ++i_;
      } else if (c == ']' && first) {
        out_ += "\\]";
        ++i_;
      } else if (c == '\\') {
        escape(true);
      } else if (std::size_t len = ascii_class_length(); len != 0) {
        // A named ASCII class [:alpha:] is RE2 syntax too.
        out_.append(p_.substr(i_, len));
        i_ += len;
      } else if (c == '[') {
        const std::size_t open_at = i_++;
        if (!enter_nesting(open_at)) return false;
        if (i_ < p_.size() && p_[i_] == '^') {
          fail("negated nested character classes are not supported", open_at);
          return false;
        }
        // The nested items go straight into the enclosing class.
        if (!class_body()) return false;
        out_.pop_back(); // the nested class's closing bracket
        --depth_;
      } else if ((c == '&' || c == '~') && i_ + 1 < p_.size() && p_[i_ + 1] == c) {
        fail("character class set operations are not supported", i_);
        return false;
      } else {
        copy_char();
      }
      first = false;
    }
    return false;
  }

  std::string_view p_;
  std::size_t i_ = 0;
  int depth_ = 0;
  std::string out_;
  std::string error_;
  std::vector<Group> groups_;
  std::unordered_set<std::string> names_;
  std::optional<std::size_t> unmatched_close_;
  std::optional<std::size_t> unclosed_class_;
};

RE2::Options engine_options() {
  RE2::Options options;
  options.set_encoding(RE2::Options::EncodingUTF8);
  options.set_log_errors(false);
  options.set_max_mem(static_cast<int64_t>(Regex::kSizeLimit));
  options.set_longest_match(false);
  options.set_posix_syntax(false);
  options.set_case_sensitive(true);
  return options;
}

std::string too_large_message() {
  return "pattern too large: the compiled program exceeds the limit of " +
         std::to_string(Regex::kSizeLimit) + " bytes";
}

// Byte offset where the fault RE2 reports first shows: the end of the shortest prefix of the
// pattern (on a character boundary) that fails with the same error, stepped back over the
// offending fragment. RE2 reads left to right and stops at its first error, so prefixes that end
// before the fault do not fail that way and every longer one does.
std::size_t locate_fault(std::string_view pattern, RE2::ErrorCode code, const std::string& arg,
                         std::string_view fragment) {
  std::vector<std::size_t> ends{0};
  for (std::size_t i = 0; i < pattern.size();) {
    i += utf8_decode(pattern, i).length;
    ends.push_back(std::min(i, pattern.size()));
  }
  auto fails_the_same = [&](std::size_t length) {
    auto translated = Translator(pattern.substr(0, length)).run();
    if (!translated) return false;
    RE2 prefix(*translated, engine_options());
    return !prefix.ok() && prefix.error_code() == code && prefix.error_arg() == arg;
  };
  std::size_t lo = 0;
  std::size_t hi = ends.size() - 1;
  while (hi - lo > 1) {
    const std::size_t mid = lo + (hi - lo) / 2;
    (fails_the_same(ends[mid]) ? hi : lo) = mid;
  }
  const std::string_view prefix = pattern.substr(0, ends[hi]);
  std::size_t found = fragment.empty() ? std::string_view::npos : prefix.rfind(fragment);
  // A named group RE2 quotes in its own spelling may be written (?<name> in the pattern.
  if (found == std::string_view::npos && fragment.starts_with("(?P<")) {
    found = prefix.rfind("(?<" + std::string(fragment.substr(4)));
  }
  return found != std::string_view::npos ? found : ends[hi - 1];
}

// Our own account of a pattern RE2 refused: the reason in words, the offending text and where
// it lies.
std::string describe_failure(std::string_view pattern, const std::string& translated, const RE2& re,
                             const Translator& walk) {
  const RE2::ErrorCode code = re.error_code();
  // RE2 quotes the text it saw; quote the pattern as written when RE2 finds the same fault there.
  std::string fragment = re.error_arg();
  if (translated != pattern) {
    RE2 original(std::string(pattern), engine_options());
    if (!original.ok() && original.error_code() == code) fragment = original.error_arg();
  }
  auto opened_at = [&](std::size_t at) {
    return " opened at character " + std::to_string(utf8_count_scalars(pattern.substr(0, at)));
  };
  switch (code) {
  case RE2::ErrorMissingParen:
  case RE2::ErrorUnexpectedParen:
    if (auto at = walk.unmatched_close();
        at && (code == RE2::ErrorUnexpectedParen || !walk.unclosed_group())) {
      return "unmatched )" + at_character(pattern, *at);
    }
    if (auto at = walk.unclosed_group()) {
      return "missing closing ) for the group" + opened_at(*at);
    }
    break;
  case RE2::ErrorMissingBracket:
    if (auto at = walk.unclosed_class()) {
      return "missing closing ] for the class" + opened_at(*at);
    }
    break;
  case RE2::ErrorTrailingBackslash:
    return "trailing \\ at the end of the pattern" +
           at_character(pattern, pattern.empty() ? 0 : pattern.size() - 1);
  case RE2::ErrorPatternTooLarge:
    return too_large_message();
  case RE2::ErrorBadUTF8:
    return "invalid UTF-8 in the pattern";
  default:
    break;
  }
  std::string reason;
  const std::string_view f = fragment;
  switch (code) {
  case RE2::ErrorBadEscape:
    reason = f.size() == 2 && f[1] >= '1' && f[1] <= '9' ? "back-references are not supported"
                                                         : "invalid escape sequence";
    break;
  case RE2::ErrorBadCharClass:
    reason = "invalid character class";
    break;
  case RE2::ErrorBadCharRange:
    reason = "invalid character range or class name";
    break;
  case RE2::ErrorRepeatArgument:
    reason = "repetition operator without anything to repeat";
    break;
  case RE2::ErrorRepeatSize:
    reason = "invalid repetition count (at most 1000)";
    break;
  case RE2::ErrorRepeatOp:
    reason = "invalid repetition operator";
    break;
  case RE2::ErrorBadPerlOp:
    reason = f.starts_with("(?=") || f.starts_with("(?!") || f.starts_with("(?<")
                 ? "look-around is not supported"
                 : "invalid group syntax";
    break;
  case RE2::ErrorBadNamedCapture:
    reason = "invalid capture group name";
    break;
  default:
    reason = re.error();
    break;
  }
  if (!fragment.empty()) reason += ": " + fragment;
  return reason + at_character(pattern, locate_fault(pattern, code, re.error_arg(), fragment));
}

MatchSpan span_of(const re2::StringPiece& piece, std::string_view text) {
  auto start = static_cast<std::size_t>(piece.data() - text.data());
  return MatchSpan{start, start + piece.size()};
}

} // namespace

std::optional<std::string_view> Captures::text(std::string_view subject, std::size_t i) const {
  if (i >= groups_.size() || !groups_[i]) return std::nullopt;
  return groups_[i]->in(subject);
}

Regex::~Regex() = default;

std::expected<std::shared_ptr<const Regex>, std::string> Regex::compile(std::string_view pattern) {
  Translator walk(pattern);
  auto translated = walk.run();
  if (!translated) return std::unexpected(std::move(translated.error()));
  auto re = std::make_unique<RE2>(*translated, engine_options());
  if (!re->ok()) return std::unexpected(describe_failure(pattern, *translated, *re, walk));
  // RE2 builds the reverse program on first use and fails the search silently if it does not
  // fit; build it now so that such a pattern is refused up front.
  if (re->ReverseProgramSize() < 0) return std::unexpected(too_large_message());
  std::shared_ptr<Regex> out(new Regex());
  out->pattern_.assign(pattern);
  out->names_.assign(static_cast<std::size_t>(re->NumberOfCapturingGroups()) + 1, std::string());
  for (const auto& [index, name] : re->CapturingGroupNames()) {
    if (index > 0 && static_cast<std::size_t>(index) < out->names_.size()) {
      out->names_[static_cast<std::size_t>(index)] = name;
    }
  }
  out->re_ = std::move(re);
  return std::shared_ptr<const Regex>(std::move(out));
}

std::optional<std::size_t> Regex::group_index(std::string_view name) const {
  if (name.empty()) return std::nullopt; // unnamed groups have no name to find
  for (std::size_t i = 1; i < names_.size(); ++i) {
    if (names_[i] == name) return i;
  }
  return std::nullopt;
}

bool Regex::is_match(std::string_view text) const {
  return find(text, 0).has_value();
}

namespace {

bool on_char_boundary(std::string_view text, std::size_t i) {
  return i >= text.size() || (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
}

} // namespace

// The engine's ASCII word boundaries can hold between the bytes of one character (`\B` inside
// "é"); such an empty match is no match of ours, so the search goes on from the next character.
std::optional<MatchSpan> Regex::find(std::string_view text, std::size_t from) const {
  re2::StringPiece subject(text.data(), text.size());
  re2::StringPiece whole;
  while (from <= text.size()) {
    if (!re_->Match(subject, from, text.size(), RE2::UNANCHORED, &whole, 1)) return std::nullopt;
    MatchSpan m = span_of(whole, text);
    if (on_char_boundary(text, m.start) && on_char_boundary(text, m.end)) return m;
    from = next_boundary(text, m.start);
  }
  return std::nullopt;
}

namespace {

std::optional<Captures> match_groups(const RE2& re, std::size_t groups, std::string_view text,
                                     std::size_t from, RE2::Anchor anchor) {
  std::vector<re2::StringPiece> pieces(groups);
  re2::StringPiece subject(text.data(), text.size());
  for (;;) {
    if (from > text.size()) return std::nullopt;
    if (!re.Match(subject, from, text.size(), anchor, pieces.data(), static_cast<int>(groups))) {
      return std::nullopt;
    }
    MatchSpan whole = span_of(pieces[0], text);
    if (on_char_boundary(text, whole.start) && on_char_boundary(text, whole.end)) break;
    if (anchor != RE2::UNANCHORED) return std::nullopt;
    from = next_boundary(text, whole.start);
  }
  Captures caps(groups);
  for (std::size_t g = 0; g < groups; ++g) {
    if (pieces[g].data() != nullptr) caps[g] = span_of(pieces[g], text);
  }
  return caps;
}

} // namespace

std::optional<Captures> Regex::find_captures(std::string_view text, std::size_t from,
                                             std::size_t groups) const {
  return match_groups(*re_, std::clamp<std::size_t>(groups, 1, names_.size()), text, from,
                      RE2::UNANCHORED);
}

bool Regex::full_match(std::string_view text) const {
  re2::StringPiece subject(text.data(), text.size());
  return re_->Match(subject, 0, text.size(), RE2::ANCHOR_BOTH, nullptr, 0);
}

const std::expected<std::shared_ptr<const Regex>, std::string>& Regex::anchored() const {
  std::call_once(anchored_once_, [this] {
    std::string wrapped;
    wrapped.reserve(pattern_.size() + 6);
    wrapped.append("^(?:").append(pattern_).append(")$");
    anchored_ = compile(wrapped);
    if (!anchored_) anchored_.error().insert(0, "when anchored as ^(?:pattern)$, ");
  });
  return anchored_;
}

std::optional<Captures> Regex::full_match_captures(std::string_view text) const {
  return match_groups(*re_, names_.size(), text, 0, RE2::ANCHOR_BOTH);
}

std::vector<MatchSpan> Regex::find_all(std::string_view text) const {
  std::vector<MatchSpan> out;
  MatchIterator it(*this, text);
  while (auto m = it.next())
    out.push_back(*m);
  return out;
}

bool MatchIterator::accept(const MatchSpan& m) {
  if (m.empty() && last_end_ && m.end == *last_end_) {
    if (start_ >= text_.size()) {
      done_ = true;
    } else {
      start_ = next_boundary(text_, start_);
    }
    return false;
  }
  start_ = m.end;
  last_end_ = m.end;
  return true;
}

std::optional<MatchSpan> MatchIterator::next() {
  while (!done_) {
    auto m = re_.find(text_, start_);
    if (!m) {
      done_ = true;
      break;
    }
    if (accept(*m)) return m;
  }
  return std::nullopt;
}

bool MatchIterator::next_captures(Captures& out, std::size_t groups) {
  while (!done_) {
    auto caps = re_.find_captures(text_, start_, groups);
    if (!caps) {
      done_ = true;
      break;
    }
    if (accept(caps->whole())) {
      out = std::move(*caps);
      return true;
    }
  }
  return false;
}

namespace {

bool is_reference_char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

// A group reference is a number when the whole name is a decimal number (a leading + allowed,
// as for an unsigned parse); a number too large for any group refers to none.
std::optional<std::size_t> parse_group_number(std::string_view name, bool& is_number) {
  std::string_view digits = name;
  if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
  is_number = !digits.empty();
  std::size_t value = 0;
  bool fits = true;
  for (char c : digits) {
    if (c < '0' || c > '9') {
      is_number = false;
      return std::nullopt;
    }
    if (value > (SIZE_MAX - 9) / 10) fits = false;
    if (fits) value = value * 10 + static_cast<std::size_t>(c - '0');
  }
  if (!is_number) return std::nullopt;
  if (!fits) {
    // Too large to be a number: the reference names a group of that name, which cannot exist.
    is_number = false;
    return std::nullopt;
  }
  return value;
}

} // namespace

// Reads every $ as the start of a reference, $$ included, so that it may answer more groups than
// expand inserts, never fewer.
std::size_t Regex::groups_referenced(std::string_view replacement) const {
  std::size_t wanted = 1;
  for (std::size_t i = replacement.find('$'); i != std::string_view::npos;
       i = replacement.find('$', i + 1)) {
    std::string_view name;
    if (i + 1 < replacement.size() && replacement[i + 1] == '{') {
      const std::size_t close = replacement.find('}', i + 2);
      if (close == std::string_view::npos) continue;
      name = replacement.substr(i + 2, close - (i + 2));
    } else {
      std::size_t end = i + 1;
      while (end < replacement.size() && is_reference_char(replacement[end]))
        ++end;
      name = replacement.substr(i + 1, end - (i + 1));
    }
    bool is_number = false;
    std::optional<std::size_t> index = parse_group_number(name, is_number);
    if (!is_number) index = group_index(name);
    if (index && *index < names_.size()) wanted = std::max(wanted, *index + 1);
  }
  return wanted;
}

bool Regex::expand(std::string_view text, const Captures& caps, std::string_view replacement,
                   std::string& out, std::size_t max_size) const {
  // One expansion can repeat a long group many times, so the bound is checked per insertion.
  bool within = true;
  auto insert_group = [&](std::string_view name) {
    bool is_number = false;
    auto number = parse_group_number(name, is_number);
    std::optional<std::string_view> piece;
    if (is_number) {
      piece = caps.text(text, *number);
    } else if (auto index = group_index(name)) {
      piece = caps.text(text, *index);
    }
    if (!piece) return;
    if (piece->size() > max_size || out.size() > max_size - piece->size()) {
      within = false;
      return;
    }
    out.append(*piece);
  };
  std::size_t i = 0;
  while (within && i < replacement.size()) {
    std::size_t dollar = replacement.find('$', i);
    if (dollar == std::string_view::npos) break;
    out.append(replacement.substr(i, dollar - i));
    i = dollar;
    if (i + 1 >= replacement.size()) break; // a lone $ at the end stays
    char next = replacement[i + 1];
    if (next == '$') {
      out += '$';
      i += 2;
      continue;
    }
    if (next == '{') {
      std::size_t close = replacement.find('}', i + 2);
      if (close == std::string_view::npos) {
        out += '$';
        i += 1;
        continue;
      }
      insert_group(replacement.substr(i + 2, close - (i + 2)));
      i = close + 1;
      continue;
    }
    std::size_t end = i + 1;
    while (end < replacement.size() && is_reference_char(replacement[end]))
      ++end;
    if (end == i + 1) {
      out += '$';
      i += 1;
      continue;
    }
    insert_group(replacement.substr(i + 1, end - (i + 1)));
    i = end;
  }
  if (!within) return false;
  out.append(replacement.substr(i));
  return out.size() <= max_size;
}

std::optional<std::string> Regex::replace_n(std::string_view text, std::string_view replacement,
                                            std::size_t limit, std::size_t max_size,
                                            const std::function<bool()>& stop) const {
  std::string out;
  std::size_t copied = 0;
  std::size_t done = 0;
  MatchIterator it(*this, text);
  if (replacement.find('$') == std::string_view::npos) {
    while (done < limit) {
      if (stop && stop()) return std::nullopt;
      auto m = it.next();
      if (!m) break;
      out.append(text.substr(copied, m->start - copied));
      out.append(replacement);
      if (out.size() > max_size) return std::nullopt;
      copied = m->end;
      ++done;
    }
  } else {
    // The engine's work for each match grows with the number of groups it reports, which for a
    // pattern of thousands of groups is seconds per match: only those the replacement names.
    const std::size_t groups = groups_referenced(replacement);
    Captures caps;
    while (done < limit) {
      if (stop && stop()) return std::nullopt;
      if (!it.next_captures(caps, groups)) break;
      MatchSpan m = caps.whole();
      out.append(text.substr(copied, m.start - copied));
      if (!expand(text, caps, replacement, out, max_size)) return std::nullopt;
      copied = m.end;
      ++done;
    }
  }
  out.append(text.substr(copied));
  if (out.size() > max_size) return std::nullopt;
  return out;
}

std::string Regex::replace_all(std::string_view text, std::string_view replacement) const {
  return *replace_n(text, replacement, SIZE_MAX, SIZE_MAX, {});
}

std::string Regex::replace_first(std::string_view text, std::string_view replacement) const {
  return *replace_n(text, replacement, 1, SIZE_MAX, {});
}

std::optional<std::string> Regex::replace_bounded(std::string_view text,
                                                  std::string_view replacement, bool all,
                                                  std::size_t max_size,
                                                  const std::function<bool()>& stop) const {
  return replace_n(text, replacement, all ? SIZE_MAX : 1, max_size, stop);
}

} // namespace quorvex
