// The compiler's one error type. A failure is a plain value: the first one ends the compilation of
// the top-level form and travels unchanged to the host. Users see only the display text of its
// kind; location, hint and labels travel with it for tools and tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "reader/form.hpp" // SourceSpan

namespace quorvex {

struct CompileErrorKind {
  // The order is fixed.
  enum class Tag : std::uint8_t {
    UnsupportedExpression = 0, // text: the type name of the form, or "cannot quote this value"
    EmptyList = 1,
    InvalidSyntax = 2, // text
    TooManyLocals = 3,
    TooManyConstants = 4,
    UndefinedMacro = 5,     // text: the macro's name
    MacroExpansion = 6,     // text: the runtime error's display text
    InvalidMacroResult = 7, // text
    DuplicateParameter = 8, // text: the parameter's name
  };

  Tag tag = Tag::InvalidSyntax;
  std::string text;

  friend bool operator==(const CompileErrorKind&, const CompileErrorKind&) = default;
};

struct CompileLabel {
  std::string text;
  SourceSpan span{};
  std::uint8_t primary = 1;
};

struct CompileFailure {
  std::optional<SourceSpan> location;
  std::optional<std::string> hint;
  CompileErrorKind kind;
  std::vector<CompileLabel> labels;

  static CompileFailure make(CompileErrorKind::Tag tag, std::string text,
                             std::optional<SourceSpan> location) {
    CompileFailure f;
    f.kind = CompileErrorKind{tag, std::move(text)};
    f.location = location;
    return f;
  }
  static CompileFailure syntax(std::string text, std::optional<SourceSpan> location) {
    return make(CompileErrorKind::Tag::InvalidSyntax, std::move(text), location);
  }
  static CompileFailure syntax(std::string text, std::optional<SourceSpan> location,
                               std::string hint) {
    CompileFailure f = syntax(std::move(text), location);
    f.hint = std::move(hint);
    return f;
  }
  static CompileFailure too_many_locals(std::optional<SourceSpan> location) {
    return make(CompileErrorKind::Tag::TooManyLocals, {}, location);
  }
  static CompileFailure too_many_constants(std::optional<SourceSpan> location) {
    return make(CompileErrorKind::Tag::TooManyConstants, {}, location);
  }
};

// "invalid syntax: {}" and the other display texts, payload in place of "{}".
std::string format_compile_error_kind(const CompileErrorKind& kind);

// Exactly the kind's display text: location, hint and labels are never printed.
std::string format_compile_failure(const CompileFailure& failure);

} // namespace quorvex
