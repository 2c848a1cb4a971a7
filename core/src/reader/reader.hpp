// The reader: source text in, forms out.
//
// One forward pass over the bytes with no backtracking; the cursor counts lines and columns as
// it advances (columns in characters), and every form read from the text comes back wrapped in
// Form::Spanned. Nesting goes through the depth guard, so hostile text (read-string and
// parse_edn read untrusted input) ends in a "Nesting too deep" reader error, never in a native
// stack overflow. The first error ends the reading; the reader never resynchronises.
//
// Reader syntax beyond atoms and brackets: 'x (quote x), @x (deref x), `x (syntax-quote x),
// ~x (unquote x), ~@x (unquote-splicing x), #_ (discard the next form), #{...} (set), #"..."
// (regex, compiled while reading), #(...) (anonymous function with %, %1..%255 and %&) and
// #x"..." (path query: (xpath "...")).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/core_error.hpp"
#include "reader/form.hpp"

namespace quorvex {

// Whether forms come back wrapped in Form::Spanned. The compiler needs the spans; a consumer that
// only wants the data (parse_edn) saves one allocation per form without them. Errors carry the
// same texts and offsets either way, since those come from the cursor, not from the wrappers.
enum class Spans : bool { Keep, Drop };

class Reader {
public:
  // The text is borrowed and must outlive the reader. Texts of 4 GiB or more are refused (spans
  // hold 32-bit offsets).
  explicit Reader(std::string_view text, std::optional<Spur> source = std::nullopt,
                  Spans spans = Spans::Keep);

  // Skips white space and comments, reads one form and answers it wrapped in Form::Spanned
  // (unwrapped with Spans::Drop).
  std::expected<Form, CoreError> read_form();
  // Skips white space and comments; answers whether the text is exhausted.
  bool at_end();

  std::uint32_t position() const { return pos_; }
  std::uint32_t line() const { return line_; }
  std::uint32_t column() const { return column_; }

private:
  struct AnonParams;

  // The shared text of a name or short string, reused when the same text was read recently:
  // data repeats its keys, and sharing them saves an allocation each.
  SharedText shared_text(std::string_view text);

  bool read_form_into(Form& out);
  bool fail(const char* message, std::size_t start, std::size_t end);
  bool fail(std::string message, std::size_t start, std::size_t end);

  void skip_whitespace_and_comments();
  void advance_ascii();
  void next_char();
  std::string_view read_token();

  bool read_string_literal(Form& out);
  bool read_quote(const SharedText& head, std::uint32_t prefix_length, Form& out);
  bool read_sequence(char close, const char* unclosed, FormVec& items);
  bool read_map(Form& out);
  bool read_set(Form& out);
  bool read_keyword(Form& out);
  bool read_bare_token(Form& out);
  bool classify_token(std::string_view token, std::size_t start, Form& out);
  bool read_dispatch(Form& out);
  bool read_regex(Form& out);
  bool read_anonymous_fn(Form& out);
  bool rewrite_anon_params(const Form& form, const SourceSpan* around, AnonParams& params,
                           std::optional<Form>& replaced);

  std::string_view text_;
  const char* bytes_;
  std::uint32_t length_;
  std::uint32_t pos_ = 0;
  std::uint32_t line_ = 0;
  std::uint32_t column_ = 0;
  Spur source_ = 0;
  bool too_large_ = false;
  bool keep_spans_ = true;
  std::optional<CoreError> error_;
  std::array<SharedText, 256> recent_texts_;
  // Items and map entries of the collections being read, innermost last.
  std::vector<Form> item_stack_;
  std::vector<std::pair<Form, Form>> entry_stack_;
  // Drops what a collection left on its stack when it finishes, failed or not.
  template <class T> struct Truncate {
    std::vector<T>& stack;
    std::size_t base;
    ~Truncate() { stack.resize(base); }
  };
};

// Every form of a text in order (an empty vector for a text of white space and comments only),
// or the first error. `source` is the interned source name; none for read-string and parse_edn.
std::expected<std::vector<Form>, CoreError> read_all(std::string_view text,
                                                     std::optional<Spur> source = std::nullopt,
                                                     Spans spans = Spans::Keep);

// Splits a token at its first '/' unless that is its first or last character: "a/b/c" has the
// namespace "a" and the name "b/c"; "/", "/a" and "a/" have no namespace.
struct SplitName {
  std::string_view name;
  std::optional<std::string_view> ns;
};
SplitName split_namespace(std::string_view token);

} // namespace quorvex
