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
#include <vector>

#include "reader/basic_reader.hpp"
#include "reader/core_error.hpp"
#include "reader/form.hpp"
#include "reader/read_cursor.hpp"

namespace quorvex {

// Whether forms come back wrapped in Form::Spanned. The compiler needs the spans; a consumer that
// only wants the data saves one allocation per form without them. Errors carry the same texts and
// offsets either way, since those come from the cursor, not from the wrappers.
enum class Spans : bool { Keep, Drop };

// The builder that makes forms (see basic_reader.hpp for what a builder does).
class FormBuild {
public:
  using Node = Form;
  static constexpr bool kSpans = true;
  struct Nest {
    explicit Nest(FormBuild&) {}
  };
  struct Quiet {
    explicit Quiet(FormBuild&) {}
  };

  explicit FormBuild(bool keep_spans) : keep_spans_(keep_spans) {}

  bool keep_spans() const { return keep_spans_; }
  Form spanned(const SourceSpan& span, Form&& inner);
  Form atom(const TokenValue& atom, bool key);
  Form string(std::string_view text, bool escaped, bool key);
  Form keyword(std::string_view token, const SplitName& name);
  Form synthetic_symbol(const SharedText& name);
  Form sequence(SeqKind kind, Form* items, std::size_t n);
  SipKeys map_start();
  Form map(SipKeys keys, std::pair<Form, Form>* entries, std::size_t n);
  SipKeys set_start();
  Form set(SipKeys keys, Form* items, std::size_t n);
  Form regex(std::shared_ptr<const Regex> re);
  Form from_form(Form&& form, bool key);

private:
  // The shared text of a name or short string, reused when the same text was read recently:
  // data repeats its keys, and sharing them saves an allocation each.
  SharedText shared_text(std::string_view text);

  bool keep_spans_;
  std::array<SharedText, 256> recent_texts_;
};

class Reader {
public:
  // The text is borrowed and must outlive the reader. Texts of 4 GiB or more are refused (spans
  // hold 32-bit offsets).
  explicit Reader(std::string_view text, std::optional<Spur> source = std::nullopt,
                  Spans spans = Spans::Keep);
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // Skips white space and comments, reads one form and answers it wrapped in Form::Spanned
  // (unwrapped with Spans::Drop).
  std::expected<Form, CoreError> read_form();
  // Skips white space and comments; answers whether the text is exhausted.
  bool at_end() { return cursor_.at_end(); }

  std::uint32_t position() const { return cursor_.position(); }
  std::uint32_t line() const { return cursor_.line(); }
  std::uint32_t column() const { return cursor_.column(); }

private:
  ReadCursor cursor_;
  FormBuild build_;
  BasicReader<FormBuild> reader_;
};

// Every form of a text in order (an empty vector for a text of white space and comments only),
// or the first error. `source` is the interned source name; none for read-string and parse_edn.
std::expected<std::vector<Form>, CoreError> read_all(std::string_view text,
                                                     std::optional<Spur> source = std::nullopt,
                                                     Spans spans = Spans::Keep);

} // namespace quorvex
