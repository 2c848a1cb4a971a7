// The faults of the value layer. Most operations on values cannot fail; the few that can are
// bounded on purpose: recursion over user-built nesting (printers, equality, structural hashing,
// canonical keys) stops at the shared depth guard, a text longer than a signed 32-bit byte count
// is refused, and long walks over data stop when the heap's walk monitor says so. Both are reported as a small enum so that hot paths such as `=` return a
// two-byte result; callers in the machine wrap it with to_vm_error().
#pragma once

#include <cstdint>
#include <expected>

#include "value/vm_error.hpp"

namespace quorvex {

enum class ValueFault : std::uint8_t {
  // Data nested deeper than the depth guard allows.
  TooDeep = 0,
  // A text longer than 2^31 - 1 bytes.
  StringTooLong = 1,
  // The heap's walk monitor stopped a long walk (an interrupt from the host).
  Interrupted = 2,
};

template <class T> using Guarded = std::expected<T, ValueFault>;

// "data nested too deeply" / "string too long" / "interrupted".
const char* value_fault_text(ValueFault f);

// The runtime error a machine step reports for a fault: a ValueError with the fault's text.
VmError to_vm_error(ValueFault f);

// Guarded<T> into the machine's result type.
template <class T> std::expected<T, VmError> lift_fault(Guarded<T> r) {
  if (!r) return std::unexpected(to_vm_error(r.error()));
  return std::move(*r);
}

} // namespace quorvex
