// The one error type of every machine step, builtin, host function and host handler.
// It lives beside Value because the numeric routines already report with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "value/value.hpp"

namespace quorvex {

using EffectId = std::uint64_t;

// The order is fixed: the tag indexes the kind-name table and the mask of kinds offered to `exn`.
enum class VmErrorKind : std::uint8_t {
  TypeError = 0,
  ValueError = 1,
  StackUnderflow = 2,
  InvalidOpcode = 3,
  UndefinedVariable = 4,
  NotCallable = 5,
  ArityError = 6,
  IndexOutOfBounds = 7,
  InvalidContinuation = 8,
  UnhandledEffect = 9,
  UnhandledOperation = 10,
  DivisionByZero = 11,
  AssertionFailed = 12,
  NoMatchingClause = 13,
  // Past the machine's frame limit or the nesting limit of native callbacks. Never offered to
  // `exn`: it ends the run.
  StackOverflow = 14,
};

inline constexpr const char* VM_ERROR_KIND_NAMES[] = {
    "type-error",           "value-error",          "stack-underflow",      "invalid-opcode",
    "undefined-variable",   "not-callable",         "arity-error",          "index-out-of-bounds",
    "invalid-continuation", "effect-not-handled",   "operation-not-handled", "division-by-zero",
    "assertion-failed",     "no-matching-clause",   "stack-overflow",
};

struct VmError {
  VmError() = default;
  explicit VmError(VmErrorKind k) : kind(k) {}

  VmErrorKind kind = VmErrorKind::TypeError;
  // InvalidOpcode: the opcode. ArityError: expected (a) and got (b).
  std::uint8_t a = 0;
  std::uint8_t b = 0;
  // UnhandledEffect / UnhandledOperation: whether `text` holds the effect's name.
  bool has_name = false;
  // IndexOutOfBounds: the index.
  std::int64_t index = 0;
  // IndexOutOfBounds: the length. Unhandled effect/operation: the effect id.
  std::uint64_t number = 0;
  // The message, variable name, or effect name.
  std::string text;
  // UnhandledOperation: the operation's name.
  std::string text2;
  // Set when the error left a run of the machine that native code started (a callback or a
  // guard): whatever was running in that run is gone, so a continuation captured for this error
  // cannot go back to it.
  bool crossed_native = false;

  static VmError type_error(std::string message) {
    return with_text(VmErrorKind::TypeError, std::move(message));
  }
  static VmError value_error(std::string message) {
    return with_text(VmErrorKind::ValueError, std::move(message));
  }
  static VmError stack_underflow() { return VmError{VmErrorKind::StackUnderflow}; }
  static VmError invalid_opcode(std::uint8_t op) {
    VmError e{VmErrorKind::InvalidOpcode};
    e.a = op;
    return e;
  }
  static VmError undefined_variable(std::string name) {
    return with_text(VmErrorKind::UndefinedVariable, std::move(name));
  }
  static VmError not_callable() { return VmError{VmErrorKind::NotCallable}; }
  static VmError arity(std::uint8_t expected, std::uint8_t got) {
    VmError e{VmErrorKind::ArityError};
    e.a = expected;
    e.b = got;
    return e;
  }
  static VmError index_out_of_bounds(std::int64_t index, std::uint64_t length) {
    VmError e{VmErrorKind::IndexOutOfBounds};
    e.index = index;
    e.number = length;
    return e;
  }
  static VmError invalid_continuation() { return VmError{VmErrorKind::InvalidContinuation}; }
  static VmError unhandled_effect(std::optional<std::string> name, EffectId id) {
    VmError e{VmErrorKind::UnhandledEffect};
    e.has_name = name.has_value();
    if (name) e.text = std::move(*name);
    e.number = id;
    return e;
  }
  static VmError unhandled_operation(std::optional<std::string> name, std::string op, EffectId id) {
    VmError e{VmErrorKind::UnhandledOperation};
    e.has_name = name.has_value();
    if (name) e.text = std::move(*name);
    e.text2 = std::move(op);
    e.number = id;
    return e;
  }
  static VmError division_by_zero() { return VmError{VmErrorKind::DivisionByZero}; }
  static VmError assertion_failed(std::string message) {
    return with_text(VmErrorKind::AssertionFailed, std::move(message));
  }
  static VmError no_matching_clause() { return VmError{VmErrorKind::NoMatchingClause}; }
  static VmError stack_overflow() { return VmError{VmErrorKind::StackOverflow}; }
  // The thread has too little native stack left to start a run at all; displayed as the text.
  static VmError native_stack_short(std::string text) {
    return with_text(VmErrorKind::StackOverflow, std::move(text));
  }

  const char* kind_name() const { return VM_ERROR_KIND_NAMES[static_cast<int>(kind)]; }

 private:
  static VmError with_text(VmErrorKind k, std::string t) {
    VmError e{k};
    e.text = std::move(t);
    return e;
  }
};

// Display text of an error, as users see it.
void format_vm_error(const VmError& e, std::string& out);
std::string to_string(const VmError& e);

using NativeResult = std::expected<Value, VmError>;

}  // namespace quorvex
