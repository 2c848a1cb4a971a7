// The reader's cursor and the lexical rules that build nothing.
//
// The reader is split in two so that one set of rules serves two kinds of output: this cursor
// knows the bytes (white space, tokens, string and regex literals, what a token denotes, and the
// first error), and BasicReader (basic_reader.hpp) knows the brackets and hands every value it
// finds to a builder. The compiler's builder makes forms; parse_edn's makes Python objects
// without any form in between. Whatever the builder, the same text reads the same way and fails
// with the same error at the same place.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "reader/core_error.hpp"
#include "regex/regex.hpp"
#include "util/interner.hpp"

namespace quorvex {

// Splits a token at its first '/' unless that is its first or last character: "a/b/c" has the
// namespace "a" and the name "b/c"; "/", "/a" and "a/" have no namespace.
struct SplitName {
  std::string_view name;
  std::optional<std::string_view> ns;
};
SplitName split_namespace(std::string_view token);

// What a bare token denotes. Views point into the text being read.
struct TokenValue {
  enum class Kind : std::uint8_t { Nil, Bool, Int, Ratio, Float, Symbol };
  Kind kind = Kind::Nil;
  bool boolean = false;
  std::int64_t integer = 0; // Int, and the numerator of a Ratio (in lowest terms)
  std::int64_t denominator = 1;
  double floating = 0;
  std::string_view token; // the whole token (Symbol)
  SplitName name;         // Symbol
};

// Whether the cursor keeps lines and columns, which only source spans use (errors carry byte
// offsets). Without them, a string literal is crossed in one scan for its closing quote.
enum class Positions : bool { LinesAndColumns, OffsetsOnly };

class ReadCursor {
public:
  // The text is borrowed and must outlive the cursor. Texts of 4 GiB or more are refused (spans
  // hold 32-bit offsets).
  explicit ReadCursor(std::string_view text, std::optional<Spur> source = std::nullopt,
                      Positions positions = Positions::LinesAndColumns);
  ReadCursor(const ReadCursor&) = delete;
  ReadCursor& operator=(const ReadCursor&) = delete;

  // Skips white space and comments; answers whether the text is exhausted.
  bool at_end();

  std::uint32_t position() const { return pos_; }
  std::uint32_t line() const { return line_; }
  std::uint32_t column() const { return column_; }
  std::uint32_t length() const { return length_; }
  Spur source() const { return source_; }
  bool too_large() const { return too_large_; }
  bool exhausted() const { return pos_ >= length_; }
  char peek() const { return bytes_[pos_]; }
  char peek_next() const { return pos_ + 1 < length_ ? bytes_[pos_ + 1] : '\0'; }

  // The first error; later failures keep it. Always answers false, for `return fail(...)`.
  bool fail(const char* message, std::size_t start, std::size_t end);
  bool fail(std::string message, std::size_t start, std::size_t end);
  const std::optional<CoreError>& error() const { return error_; }
  CoreError take_error() { return std::move(*error_); }

  void skip_whitespace_and_comments() {
    // Inline for the common cases: nothing to skip, or spaces and commas.
    while (pos_ < length_) {
      const auto b = static_cast<unsigned char>(bytes_[pos_]);
      if (b == ' ' || b == ',') {
        ++pos_;
        ++column_;
      } else if (b > ' ' && b < 0x80 && b != ';') {
        return;
      } else {
        skip_other_whitespace();
        return;
      }
    }
  }
  // Moves past one ASCII byte, counting a line feed as a new line.
  void advance_ascii() {
    if (bytes_[pos_] == '\n') {
      ++line_;
      column_ = 0;
    } else {
      ++column_;
    }
    ++pos_;
  }
  // Moves past one character (a whole UTF-8 sequence, or one byte of an ill-formed one).
  void next_char();
  // The token starting here: everything up to a delimiter or white space (possibly nothing).
  std::string_view read_token();

  // A string literal starting at its opening quote. `text` receives its contents: a view of the
  // source when it holds no escape, else a view of `buffer`, which the caller keeps alive.
  bool lex_string(std::string& buffer, std::string_view& text, bool& escaped);
  // A keyword starting at its colon; `token` receives what follows the colon.
  bool lex_keyword(std::string_view& token);
  // The token starting here, classified.
  bool lex_bare_token(TokenValue& out);
  // A regex literal starting at its opening quote (after the '#'), compiled; null on failure.
  std::shared_ptr<const Regex> lex_regex();
  // What `token`, which starts at byte `start`, denotes (`start` places its errors).
  bool classify_token(std::string_view token, std::size_t start, TokenValue& out);

  // For a reader that crosses the common cases on its own and hands the cursor only the rest:
  // moves to byte `pos`. Lines and columns are not kept across a move.
  void seek(std::uint32_t pos) { pos_ = pos; }

private:
  // White space beyond spaces and commas, and comments.
  void skip_other_whitespace();
  // next_char inside a string literal, with the common multi-byte characters taken inline.
  void step_in_string();

  std::string_view text_;
  const char* bytes_;
  std::uint32_t length_;
  std::uint32_t pos_ = 0;
  std::uint32_t line_ = 0;
  std::uint32_t column_ = 0;
  Spur source_ = 0;
  bool too_large_ = false;
  bool offsets_only_ = false;
  std::optional<CoreError> error_;
};

} // namespace quorvex
