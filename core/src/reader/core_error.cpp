#include "reader/core_error.hpp"

#include <utility>

namespace quorvex {

CoreError CoreError::reader(std::string message, std::uint32_t start, std::uint32_t end,
                            Spur source) {
  CoreError error;
  error.location = SourceSpan{start, end, 0, 0, source};
  error.kind.tag = CoreErrorTag::Reader;
  error.kind.text = std::move(message);
  return error;
}

std::string format_core_error(const CoreError& error) {
  const CoreErrorKind& k = error.kind;
  switch (k.tag) {
  case CoreErrorTag::Reader:
    return "Reader error: " + k.text;
  case CoreErrorTag::Message:
  case CoreErrorTag::OtherMessage:
    return k.text;
  case CoreErrorTag::Arity:
    return "Arity error: expected " + k.text + ", got " + std::to_string(k.count);
  case CoreErrorTag::Type:
    return "Type error: expected " + k.text + ", got " + k.got;
  case CoreErrorTag::IndexOutOfBounds:
    return "Index " + std::to_string(k.index) + " out of bounds for length " +
           std::to_string(k.count);
  case CoreErrorTag::RecurSignal:
    return "Internal recur signal";
  case CoreErrorTag::OneShotViolation:
    return "Continuation resumed more than once (one-shot violation)";
  }
  return k.text;
}

} // namespace quorvex
