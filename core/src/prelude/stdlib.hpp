// The prelude's text, written in the language itself (core/src/prelude/stdlib.qv) and compiled
// into the library at build time.
#pragma once

#include <string_view>

namespace quorvex {

std::string_view stdlib_source();

} // namespace quorvex
