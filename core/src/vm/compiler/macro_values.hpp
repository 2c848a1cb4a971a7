// Forms and runtime values across a macro call: the argument forms become values in the
// machine's heap (the expander runs there at once), and the value the expander returns becomes a
// form again, which the compiler compiles in place of the call.
#pragma once

#include "reader/form.hpp"
#include "util/interner.hpp"
#include "value/heap.hpp"
#include "vm/compiler/compile_error.hpp"

namespace quorvex {

// A form as a value in the machine's heap. Collections and strings are new objects (map keys and
// set elements in their canonical form); every object made is added to `roots`, so a collection
// that runs while later parts are converted keeps the earlier ones, and the caller keeps them
// alive until the macro call has received them. Failures: "cannot quote this value"
// (UnsupportedExpression) at the refused form.
std::expected<Value, CompileFailure> form_to_value_for_macro(Interner& interner, Heap& heap,
                                                             const Form& form, RootScope& roots);

// The value a macro returned, as a form without spans. Failures are InvalidMacroResult without a
// location: "cannot convert closure to AST" and the like, "invalid heap reference" for a stale
// key.
std::expected<Form, CompileFailure> value_to_form(const Heap& heap, const Interner& interner,
                                                  const Value& value);

} // namespace quorvex
