// The error value of the reader. Only the reader kind is ever produced; the other kinds exist
// with their display texts for layers that wrap core errors. The display text never shows the
// location.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "reader/form.hpp"

namespace quorvex {

enum class CoreErrorTag : std::uint32_t {
  Reader = 0,
  Message = 1,
  OtherMessage = 2,
  Arity = 3,
  Type = 4,
  IndexOutOfBounds = 5,
  RecurSignal = 6,
  OneShotViolation = 7,
};

struct CoreErrorKind {
  CoreErrorTag tag = CoreErrorTag::Reader;
  // The message (Reader, Message, OtherMessage) or the expected text (Arity, Type).
  std::string text;
  // What a Type error got.
  std::string got;
  // What an Arity error got; the length of an IndexOutOfBounds error.
  std::uint64_t count = 0;
  // The index of an IndexOutOfBounds error.
  std::int64_t index = 0;
  // The forms of a RecurSignal.
  std::vector<Form> forms;
};

struct CoreError {
  // Where the failure lies: byte offsets and source name; line and column are 0 for reader
  // errors.
  std::optional<SourceSpan> location;
  CoreErrorKind kind;

  static CoreError reader(std::string message, std::uint32_t start, std::uint32_t end, Spur source);
  // The message of a reader error (the text of the other message kinds).
  const std::string& message() const { return kind.text; }
};

// "Reader error: {}" and the other kinds' display texts.
std::string format_core_error(const CoreError& error);

} // namespace quorvex
