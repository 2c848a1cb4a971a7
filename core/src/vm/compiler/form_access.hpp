// A narrow view of reader forms for the compiler: kind, payload, span, elements. Every look at a
// form goes through unwrap() first, since a form may sit in any number of span wrappers, or none.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "reader/form.hpp"

namespace quorvex {

using FormKind = Form::Kind;

// The innermost form, every span wrapper removed.
inline const Form& unwrap(const Form& form) {
  return form.peeled();
}

// The span of the outermost wrapper, when there is one.
inline std::optional<SourceSpan> span_of(const Form& form) {
  if (form.kind() == FormKind::Spanned) return form.span();
  return std::nullopt;
}

// Kind of the unwrapped form.
inline FormKind kind_of(const Form& form) {
  return form.peeled().kind();
}

// Name and namespace of a symbol or keyword (unwrapped).
struct NameView {
  std::string_view name;
  std::optional<std::string_view> ns;
};
inline NameView name_of(const Form& form) {
  const Form& f = form.peeled();
  return NameView{f.name(), f.ns()};
}

// The elements of a list, vector or set (sets in their iteration order). The pointers stay valid
// while `form` lives.
std::vector<const Form*> elements_of(const Form& form);
// The entries of a map, in its iteration order.
std::vector<std::pair<const Form*, const Form*>> entries_of(const Form& form);

// Whether `form` is a symbol without namespace named `name`.
inline bool is_plain_symbol(const Form& form, std::string_view name) {
  const Form& f = form.peeled();
  return f.kind() == FormKind::Symbol && !f.ns() && f.name() == name;
}
// Whether `form` is a keyword without namespace named `name`.
inline bool is_plain_keyword(const Form& form, std::string_view name) {
  const Form& f = form.peeled();
  return f.kind() == FormKind::Keyword && !f.ns() && f.name() == name;
}

} // namespace quorvex
