// Handlers of the builtin rows, by family. Only the table refers to them by name; everything else
// reaches a builtin through its index.
#pragma once

#include <cstddef>

#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {

struct Vm;

} // namespace quorvex
