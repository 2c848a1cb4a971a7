#include "value/vm_error.hpp"

namespace quorvex {

void format_vm_error(const VmError& e, std::string& out) {
  switch (e.kind) {
    case VmErrorKind::TypeError:
      out += "Type error: ";
      out += e.text;
      return;
    case VmErrorKind::ValueError:
      out += "Value error: ";
      out += e.text;
      return;
    case VmErrorKind::StackUnderflow:
      out += "Stack underflow";
      return;
    case VmErrorKind::InvalidOpcode:
      out += "Invalid opcode: ";
      out += std::to_string(e.a);
      return;
    case VmErrorKind::UndefinedVariable:
      out += "Undefined variable: ";
      out += e.text;
      return;
    case VmErrorKind::NotCallable:
      out += "Value is not callable";
      return;
    case VmErrorKind::ArityError:
      out += "Wrong number of arguments: expected ";
      out += std::to_string(e.a);
      out += ", got ";
      out += std::to_string(e.b);
      return;
    case VmErrorKind::IndexOutOfBounds:
      out += "Index ";
      out += std::to_string(e.index);
      out += " out of bounds for length ";
      out += std::to_string(e.number);
      return;
    case VmErrorKind::InvalidContinuation:
      out += "Invalid continuation";
      return;
    case VmErrorKind::UnhandledEffect:
      out += "Unhandled effect: ";
      if (e.has_name) {
        out += e.text;
      } else {
        out += "effect #";
        out += std::to_string(e.number);
      }
      return;
    case VmErrorKind::UnhandledOperation:
      if (e.has_name) {
        out += "Unhandled operation '";
        out += e.text;
        out += "/";
        out += e.text2;
        out += "' ";
      } else {
        out += "Unhandled operation '";
        out += e.text2;
        out += "' on effect #";
        out += std::to_string(e.number);
      }
      return;
    case VmErrorKind::DivisionByZero:
      out += "Division by zero";
      return;
    case VmErrorKind::AssertionFailed:
      out += "Assertion failed: ";
      out += e.text;
      return;
    case VmErrorKind::NoMatchingClause:
      out += "No matching clause";
      return;
    case VmErrorKind::StackOverflow:
      out += e.text.empty() ? "Stack overflow" : e.text;
      return;
  }
}

std::string to_string(const VmError& e) {
  std::string s;
  format_vm_error(e, s);
  return s;
}

}  // namespace quorvex
