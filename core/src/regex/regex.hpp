// Compiled regular expressions of the language, over RE2.
//
// The language's pattern syntax is Unicode-aware where RE2's is not, so a pattern is translated
// before RE2 sees it:
//   \d \D            -> \p{Nd} \P{Nd}
//   \w \W            -> letters, marks, decimal digits and connector punctuation, or their
//   complement \s \S            -> the Unicode White_Space characters, or their complement
//   (?<name>...)     -> (?P<name>...)  (both spellings name a group; a name may be used once)
//   (?x) verbose     -> white space and #-comments are dropped here, since RE2 has no such flag
//   \u{..} \uXXXX \U{..} \UXXXXXXXX -> \x{..}
//   [a[bc]]          -> [abc]  (a nested class is a union)
// and \C, \Q and \E, which would let a match split a character or bypass the translation, are
// refused. Group nesting deeper than 250 is refused here; RE2 keeps the compiled program within
// 10 MiB. Matching is RE2's, hence linear in the length of the text. Word boundaries (\b, \B) keep
// RE2's ASCII meaning.
//
// A Regex is immutable and safe to share between threads; copies of a value share one compiled
// expression through std::shared_ptr<const Regex>. All offsets are byte offsets into the searched
// text, which must be valid UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace re2 {
class RE2;
}

namespace quorvex {

struct MatchSpan {
  std::size_t start = 0;
  std::size_t end = 0;

  std::size_t size() const { return end - start; }
  bool empty() const { return start == end; }
  std::string_view in(std::string_view text) const { return text.substr(start, end - start); }
  friend bool operator==(const MatchSpan&, const MatchSpan&) = default;
};

// Offsets of one match: group 0 is the whole match, groups that did not take part are empty
// optionals.
class Captures {
public:
  Captures() = default;
  explicit Captures(std::size_t groups) : groups_(groups) {}

  std::size_t size() const { return groups_.size(); }
  const std::optional<MatchSpan>& operator[](std::size_t i) const { return groups_[i]; }
  std::optional<MatchSpan>& operator[](std::size_t i) { return groups_[i]; }
  // The whole match.
  MatchSpan whole() const { return *groups_[0]; }
  // Text of group i, or nothing when the group did not take part or does not exist.
  std::optional<std::string_view> text(std::string_view subject, std::size_t i) const;

private:
  std::vector<std::optional<MatchSpan>> groups_;
};

class Regex {
public:
  static constexpr std::size_t kSizeLimit = 10 * 1024 * 1024;
  static constexpr int kNestLimit = 250;

  // The error text says what is wrong, quotes the offending part of the pattern where there is
  // one, and gives its position in characters: "look-around is not supported: (?= (at character
  // 1)", "missing closing ) for the group opened at character 3".
  static std::expected<std::shared_ptr<const Regex>, std::string> compile(std::string_view pattern);

  ~Regex();
  Regex(const Regex&) = delete;
  Regex& operator=(const Regex&) = delete;

  // The text the expression was compiled from, before translation.
  const std::string& pattern() const { return pattern_; }
  // Number of capture groups, not counting the whole match.
  std::size_t group_count() const { return names_.size() - 1; }
  // Name of each group by number; empty for unnamed groups and for group 0.
  const std::vector<std::string>& group_names() const { return names_; }
  std::optional<std::size_t> group_index(std::string_view name) const;

  bool is_match(std::string_view text) const;
  // Leftmost-first match starting at or after byte `from` (a character boundary). Anchors and
  // word boundaries see the whole text, not just the part after `from`.
  std::optional<MatchSpan> find(std::string_view text, std::size_t from = 0) const;
  // Only the first `groups` groups (the whole match being group 0) are reported; the others are
  // left out of the result, as groups that do not exist.
  std::optional<Captures> find_captures(std::string_view text, std::size_t from = 0,
                                        std::size_t groups = SIZE_MAX) const;
  // Whether the expression matches all of text.
  bool full_match(std::string_view text) const;
  // The pattern wrapped as ^(?:pattern)$ and compiled on its own, once per expression and then
  // shared. It can fail where the pattern compiled: a verbose-mode comment swallows the wrapper's
  // closing parenthesis.
  const std::expected<std::shared_ptr<const Regex>, std::string>& anchored() const;
  std::optional<Captures> full_match_captures(std::string_view text) const;

  // Every non-overlapping match, left to right. An empty match that ends where the previous
  // match ended is skipped, and the search goes on one character further.
  std::vector<MatchSpan> find_all(std::string_view text) const;

  // Replacement with $-expansion: $n and ${n} insert group n, $name and ${name} the named group
  // (nothing when the group did not take part or does not exist), $$ inserts one $. Unbraced
  // references take the longest run of [0-9A-Za-z_]; a $ that starts no reference stays as is.
  std::string replace_all(std::string_view text, std::string_view replacement) const;
  std::string replace_first(std::string_view text, std::string_view replacement) const;
  // The same with a bound on the result: nothing once it would exceed max_size bytes, so that a
  // short text with many matches cannot build an arbitrarily large one. `stop`, when given, is
  // asked before each match whether to give up (a text of millions of matches takes seconds);
  // nothing is answered then too.
  std::optional<std::string> replace_bounded(std::string_view text, std::string_view replacement,
                                             bool all, std::size_t max_size,
                                             const std::function<bool()>& stop = {}) const;
  // Appends the expansion to out; false, with out cut short, once out would pass max_size.
  bool expand(std::string_view text, const Captures& caps, std::string_view replacement,
              std::string& out, std::size_t max_size = SIZE_MAX) const;

private:
  Regex() = default;
  // One more than the highest group number a replacement may refer to, at least 1.
  std::size_t groups_referenced(std::string_view replacement) const;
  std::optional<std::string> replace_n(std::string_view text, std::string_view replacement,
                                       std::size_t limit, std::size_t max_size,
                                       const std::function<bool()>& stop) const;

  std::string pattern_;
  std::unique_ptr<re2::RE2> re_;
  std::vector<std::string> names_;
  mutable std::once_flag anchored_once_;
  mutable std::expected<std::shared_ptr<const Regex>, std::string> anchored_;
};

// Walks the successive matches of a regex over a text, with the empty-match rule of find_all.
// Holds references: the regex and the text must outlive it.
class MatchIterator {
public:
  MatchIterator(const Regex& re, std::string_view text) : re_(re), text_(text) {}

  std::optional<MatchSpan> next();
  // Same walk, reporting every group; answers false when there are no more matches.
  bool next_captures(Captures& out, std::size_t groups = SIZE_MAX);

private:
  // Applies the empty-match rule to a match found from start_: false when the match must be
  // skipped (start_ has then moved one character on).
  bool accept(const MatchSpan& m);

  const Regex& re_;
  std::string_view text_;
  std::size_t start_ = 0;
  std::optional<std::size_t> last_end_;
  bool done_ = false;
};

} // namespace quorvex
