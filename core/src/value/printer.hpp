// The two printers.
//
// The display form is what `str`, `format`, `print` and `println` show: strings as their raw text,
// nil as nothing, collections and behavioural objects as a fixed tag in angle brackets
// ("<seq>", "<map>", "<fn>", "<keybox>"...). The readable form is what `pr-str`, `prn` and the
// console handler show: nil as "nil", strings quoted and escaped, lists, vectors, sets and maps
// written out in reader syntax. Both print variants through format_variant and numbers alike.
// A stale key prints "<invalid>", a variant of an unknown type "<unknown-variant>".
//
// Printing recurses once per level of nesting; past the depth guard it stops with TooDeep (what
// was appended so far stays in the output). A long print stops with Interrupted when the heap's
// walk monitor says so, and with StringTooLong once the text outgrows what a string can hold. Printers allocate only the text they produce, so
// nothing collects while they run.
#pragma once

#include <string>
#include <string_view>

#include "util/interner.hpp"
#include "value/fault.hpp"
#include "value/heap.hpp"
#include "value/type_registry.hpp"

namespace quorvex {

// What the printers read: the heap, the interner behind symbol, keyword and type names, and the
// data types.
struct PrintEnv {
  const Heap& heap;
  const Interner& names;
  const TypeRegistry& types;
};

Guarded<void> append_display(const PrintEnv& env, const Value& v, std::string& out);
Guarded<void> append_readable(const PrintEnv& env, const Value& v, std::string& out);
Guarded<std::string> display_value(const PrintEnv& env, const Value& v);
Guarded<std::string> print_readable(const PrintEnv& env, const Value& v);

// "#T/V" for a variant without fields, "#T/V{a: 1, b: 2}" otherwise; `readable` chooses the
// printer of the field values.
Guarded<void> append_variant(const PrintEnv& env, const Variant& v, bool readable,
                             std::string& out);
Guarded<std::string> format_variant(const PrintEnv& env, const Variant& v, bool readable);

// Backslashes doubled, then double quotes escaped; nothing else (a newline stays a newline).
void append_escaped(std::string& out, std::string_view text);
std::string escape_string(std::string_view text);

} // namespace quorvex
