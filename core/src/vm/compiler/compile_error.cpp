#include "vm/compiler/compile_error.hpp"

namespace quorvex {

std::string format_compile_error_kind(const CompileErrorKind& kind) {
  using T = CompileErrorKind::Tag;
  switch (kind.tag) {
  case T::UnsupportedExpression:
    return "unsupported expression: " + kind.text;
  case T::EmptyList:
    return "empty list";
  case T::InvalidSyntax:
    return "invalid syntax: " + kind.text;
  case T::TooManyLocals:
    return "too many locals (max 256)";
  case T::TooManyConstants:
    return "too many constants (max 65536)";
  case T::UndefinedMacro:
    return "undefined macro: " + kind.text;
  case T::MacroExpansion:
    return "macro expansion error: " + kind.text;
  case T::InvalidMacroResult:
    return "invalid macro result: " + kind.text;
  case T::DuplicateParameter:
    return "duplicate parameter: " + kind.text;
  }
  return "invalid syntax: " + kind.text;
}

std::string format_compile_failure(const CompileFailure& failure) {
  return format_compile_error_kind(failure.kind);
}

} // namespace quorvex
