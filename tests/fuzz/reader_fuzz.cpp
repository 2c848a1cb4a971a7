// Any byte string goes through the reader without a crash, a hang or undefined behaviour; what it
// answers keeps its invariants: spans and error locations lie inside the text, forms equal
// themselves and hash alike when copied, and an error displays with the reader's prefix.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "reader/reader.hpp"

namespace {

using quorvex::Form;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void check_spans(const Form& form, std::size_t size, int depth) {
  if (depth > 64) return; // the walk itself need not go deep to check the invariants
  const Form* f = &form;
  while (f->is(Form::Kind::Spanned)) {
    check(f->span().start <= f->span().end && f->span().end <= size);
    f = &f->inner();
  }
  switch (f->kind()) {
  case Form::Kind::List:
  case Form::Kind::Vector:
    for (const Form& item : f->items())
      check_spans(item, size, depth + 1);
    break;
  case Form::Kind::Map:
    for (const auto& entry : f->as_map()) {
      check_spans(entry.first, size, depth + 1);
      check_spans(entry.second, size, depth + 1);
    }
    break;
  case Form::Kind::Set:
    for (const Form& element : f->as_set())
      check_spans(element, size, depth + 1);
    break;
  default:
    break;
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto forms = quorvex::read_all(text, quorvex::Spur{1});
  if (!forms) {
    const quorvex::CoreError& e = forms.error();
    check(e.location.has_value());
    check(e.location->start <= e.location->end && e.location->end <= size);
    check(quorvex::format_core_error(e).starts_with("Reader error: "));
    return 0;
  }
  for (const Form& form : *forms) {
    check(form.is(Form::Kind::Spanned));
    check_spans(form, size, 0);
    Form copy = form;
    check(quorvex::form_eq(form, copy));
    quorvex::SipHasher13 a(1, 2), b(1, 2);
    quorvex::form_hash(form, a);
    quorvex::form_hash(copy, b);
    check(a.finish() == b.finish());
  }
  return 0;
}
