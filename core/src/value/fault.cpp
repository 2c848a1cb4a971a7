#include "value/fault.hpp"

namespace quorvex {

const char* value_fault_text(ValueFault f) {
  switch (f) {
  case ValueFault::TooDeep:
    return "data nested too deeply";
  case ValueFault::StringTooLong:
    return "string too long";
  case ValueFault::Interrupted:
    return "interrupted";
  }
  return "data nested too deeply";
}

VmError to_vm_error(ValueFault f) {
  return VmError::value_error(value_fault_text(f));
}

} // namespace quorvex
