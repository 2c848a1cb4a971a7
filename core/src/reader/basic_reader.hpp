// The structure of the reader's syntax over any builder.
//
// BasicReader reads brackets, quote shorthands and dispatch forms, and hands each value to its
// builder, which decides what a value becomes. A builder provides:
//
//   using Node                   what it makes (default-constructible, movable)
//   kSpans                       whether it can wrap nodes in source spans; if so, keep_spans()
//                                says whether to, and spanned(span, node) does it
//   atom(atom, key)              nil, booleans, numbers and symbols
//   string(text, escaped, key)   a string literal; `text` lives only until the call returns when
//                                `escaped`, else as long as the source text
//   keyword(token, split)        `token` is what follows the colon
//   synthetic_symbol(name)       the head of a shorthand: quote, deref, xpath, ...
//   sequence(kind, items, n)     lists and vectors; the items may be moved from
//   map_start(), map(start, entries, n)   start is taken before the entries are read
//   set_start(), set(start, items, n)
//   regex(compiled)
//   from_form(form, key)         a value the form reader made (anonymous functions)
//   Nest(build)                  constructed around the contents of each collection, the
//                                shorthands' lists included
//   Quiet(build)                 constructed around a discarded form (#_)
//
// `key` is true for the key of a map entry, where a builder may share equal values.
//
// Nesting goes through the depth guard, so hostile text ends in a "Nesting too deep" reader
// error, never in a native stack overflow. The first error ends the reading; the reader never
// resynchronises.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "reader/form.hpp"
#include "reader/read_cursor.hpp"
#include "util/depth_guard.hpp"

namespace quorvex {

enum class SeqKind : bool { List, Vector };

// Texts of the symbols the reader synthesises, shared by every form that uses them.
struct SynthesisedNames {
  static constexpr std::uint32_t kMaxAnonParam = 255;
  SharedText quote{"quote"};
  SharedText deref{"deref"};
  SharedText syntax_quote{"syntax-quote"};
  SharedText unquote{"unquote"};
  SharedText unquote_splicing{"unquote-splicing"};
  SharedText fn{"fn"};
  SharedText xpath{"xpath"};
  SharedText ampersand{"&"};
  SharedText rest{"%&"};
  SharedText params[kMaxAnonParam + 1]; // params[n] is "%n"; [0] unused
  SynthesisedNames();
};
const SynthesisedNames& synthesised_names();

// `#(...)` from the '(' that follows the '#': the body is read as forms with their spans (an
// out-of-range parameter is reported at the form that holds it), then % becomes %1 and the
// parameter vector is built from the highest parameter used.
bool read_anonymous_fn(ReadCursor& cursor, Form& out);

template <class Build> class BasicReader {
public:
  using Node = typename Build::Node;

  BasicReader(ReadCursor& cursor, Build& build) : c_(cursor), b_(build) {}
  BasicReader(const BasicReader&) = delete;
  BasicReader& operator=(const BasicReader&) = delete;

  // Skips white space and comments and reads one form into `out`; false with the cursor's error
  // set when the text does not read.
  bool read_form_into(Node& out, bool key = false) {
    return read_nested(out, key, DepthGuard::current_depth());
  }

  // A list or vector from its opening bracket to `close`.
  bool read_sequence(char close, const char* unclosed, SeqKind kind, Node& out) {
    return read_sequence_at(close, unclosed, kind, out, DepthGuard::current_depth());
  }

private:
  // `outer` is the thread's nesting count around this form: each form is one level deeper.
  bool read_nested(Node& out, bool key, int outer) {
    if (c_.too_large()) return c_.fail("Source text too large", 0, 0);
    c_.skip_whitespace_and_comments();
    if (c_.exhausted()) return c_.fail("Unexpected EOF", c_.length(), c_.length());
    const std::uint32_t start = c_.position(), line = c_.line(), column = c_.column();
    if constexpr (Build::kSpans) {
      if (b_.keep_spans()) {
        Node inner;
        if (!read_level(inner, key, outer, start)) return false;
        out = b_.spanned(SourceSpan{start, c_.position(), line, column, c_.source()},
                         std::move(inner));
        return true;
      }
    }
    return read_level(out, key, outer, start);
  }

  bool read_level(Node& out, bool key, int outer, std::uint32_t start) {
    switch (c_.peek()) {
    case '\'':
    case '@':
    case '`':
    case '~':
    case '(':
    case '[':
    case '{':
    case '#': {
      DepthGuard guard;
      if (!guard) return c_.fail("Nesting too deep", start, start + 1);
      return read_nesting(out, key, guard.depth());
    }
    default:
      // Strings, keywords and bare tokens hold nothing: the count is all they need checked.
      if (outer >= DepthGuard::kMaxDepth) return c_.fail("Nesting too deep", start, start + 1);
      return read_atom(out, key);
    }
  }

  bool read_atom(Node& out, bool key) {
    switch (c_.peek()) {
    case '"': {
      std::string_view text;
      bool escaped = false;
      if (!c_.lex_string(buffer_, text, escaped)) return false;
      out = b_.string(text, escaped, key);
      return true;
    }
    case ':': {
      std::string_view token;
      if (!c_.lex_keyword(token)) return false;
      out = b_.keyword(token, split_namespace(token));
      return true;
    }
    default: {
      TokenValue atom;
      if (!c_.lex_bare_token(atom)) return false;
      out = b_.atom(atom, key);
      return true;
    }
    }
  }

  // Forms that contain forms; `level` is their own depth.
  bool read_nesting(Node& out, bool key, int level) {
    const SynthesisedNames& names = synthesised_names();
    switch (c_.peek()) {
    case '\'':
      return read_quote(names.quote, 1, out, level);
    case '@':
      return read_quote(names.deref, 1, out, level);
    case '`':
      return read_quote(names.syntax_quote, 1, out, level);
    case '~':
      if (c_.peek_next() == '@') return read_quote(names.unquote_splicing, 2, out, level);
      return read_quote(names.unquote, 1, out, level);
    case '(':
      return read_sequence_at(')', "Unclosed list", SeqKind::List, out, level);
    case '[':
      return read_sequence_at(']', "Unclosed vector", SeqKind::Vector, out, level);
    case '{':
      return read_map(out, level);
    default:
      return read_dispatch(out, key, level);
    }
  }

  bool read_quote(const SharedText& head, std::uint32_t prefix_length, Node& out, int level) {
    for (std::uint32_t k = 0; k < prefix_length; ++k)
      c_.advance_ascii();
    typename Build::Nest nest(b_);
    Node pair[2];
    if (!read_nested(pair[1], false, level)) return false;
    pair[0] = b_.synthetic_symbol(head);
    out = b_.sequence(SeqKind::List, pair, 2);
    return true;
  }

  bool read_sequence_at(char close, const char* unclosed, SeqKind kind, Node& out, int level) {
    return read_items(close, unclosed, level, out,
                      [&](Node* items, std::size_t n) { return b_.sequence(kind, items, n); });
  }

  // The items of a collection from its opening bracket to `close`, handed to `finish`.
  template <class Finish>
  bool read_items(char close, const char* unclosed, int level, Node& out, Finish finish) {
    const std::uint32_t open = c_.position();
    c_.advance_ascii();
    typename Build::Nest nest(b_);
    // Items gather on a stack shared by every level and become the collection in one piece,
    // which allocates a short one once at its final size instead of growing it item by item.
    // The first collection takes room for a small document's items at once, instead of
    // doubling the stack step by step; a text without collections allocates nothing.
    if (items_.capacity() == 0) items_.reserve(kFirstRoom);
    const std::size_t base = items_.size();
    Truncate<Node> tidy{items_, base};
    for (;;) {
      c_.skip_whitespace_and_comments();
      if (c_.exhausted()) return c_.fail(unclosed, open, c_.length());
      if (c_.peek() == close) {
        c_.advance_ascii();
        out = finish(items_.data() + base, items_.size() - base);
        return true;
      }
      Node item;
      if (!read_nested(item, false, level)) return false;
      items_.push_back(std::move(item));
    }
  }

  bool read_map(Node& out, int level) {
    const std::uint32_t open = c_.position();
    c_.advance_ascii();
    // Taken before the entries are read, so that nested maps draw theirs in text order.
    auto start = b_.map_start();
    typename Build::Nest nest(b_);
    if (entries_.capacity() == 0) entries_.reserve(kFirstRoom);
    const std::size_t base = entries_.size();
    Truncate<std::pair<Node, Node>> tidy{entries_, base};
    bool have_key = false;
    for (;;) {
      c_.skip_whitespace_and_comments();
      if (c_.exhausted()) return c_.fail("Unclosed map", open, c_.length());
      if (c_.peek() == '}') {
        c_.advance_ascii();
        if (have_key) {
          return c_.fail("Map literal requires even number of forms", open, c_.position());
        }
        out = b_.map(start, entries_.data() + base, entries_.size() - base);
        return true;
      }
      Node item;
      if (!read_nested(item, !have_key, level)) return false;
      if (have_key) {
        entries_.back().second = std::move(item);
      } else {
        entries_.emplace_back(std::move(item), Node());
      }
      have_key = !have_key;
    }
  }

  bool read_set(Node& out, int level) {
    auto start = b_.set_start();
    return read_items('}', "Unclosed set", level, out,
                      [&](Node* items, std::size_t n) { return b_.set(start, items, n); });
  }

  bool read_dispatch(Node& out, bool key, int level) {
    const std::uint32_t hash = c_.position();
    c_.advance_ascii();
    if (c_.exhausted()) return c_.fail("Unsupported reader macro", hash, hash + 1);
    switch (c_.peek()) {
    case '_': {
      c_.advance_ascii();
      {
        typename Build::Quiet quiet(b_);
        Node discarded;
        if (!read_nested(discarded, false, level)) return false;
      }
      return read_nested(out, key, level);
    }
    case '{':
      return read_set(out, level);
    case '"': {
      auto re = c_.lex_regex();
      if (!re) return false;
      out = b_.regex(std::move(re));
      return true;
    }
    case '(': {
      Form fn;
      if (!read_anonymous_fn(c_, fn)) return false;
      out = b_.from_form(std::move(fn), key);
      return true;
    }
    case 'x': {
      c_.advance_ascii();
      if (c_.exhausted() || c_.peek() != '"') {
        return c_.fail("Expected string after #x", c_.position(), c_.position());
      }
      std::string_view text;
      bool escaped = false;
      if (!c_.lex_string(buffer_, text, escaped)) return false;
      typename Build::Nest nest(b_);
      Node pair[2];
      pair[1] = b_.string(text, escaped, false);
      pair[0] = b_.synthetic_symbol(synthesised_names().xpath);
      out = b_.sequence(SeqKind::List, pair, 2);
      return true;
    }
    default:
      return c_.fail("Unsupported reader macro", hash, hash + 1);
    }
  }

  // Drops what a collection left on its stack when it finishes, failed or not.
  template <class T> struct Truncate {
    std::vector<T>& stack;
    std::size_t base;
    ~Truncate() { stack.resize(base); }
  };

  static constexpr std::size_t kFirstRoom = 16;

  ReadCursor& c_;
  Build& b_;
  // Items and map entries of the collections being read, innermost last.
  std::vector<Node> items_;
  std::vector<std::pair<Node, Node>> entries_;
  // Unescaped string contents; builders copy what they keep.
  std::string buffer_;
};

} // namespace quorvex
