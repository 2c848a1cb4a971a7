// Handlers of the builtin rows, by family. Only the table refers to them by name; everything else
// reaches a builtin through its index.
#pragma once

#include <cstddef>

#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {

struct Vm;

// Collection construction and access (collection_access.cpp).
NativeResult builtin_nth(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_get(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_vec(Vm& vm, const Value* args, std::size_t argc);

// Collection update and sequences (collection_update.cpp).
NativeResult builtin_drop(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_concat(Vm& vm, const Value* args, std::size_t argc);

// Strings and format (strings.cpp).
NativeResult builtin_str(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_pr_str(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_format(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_subs(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_string_length(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_split(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_join(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_trim(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_triml(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_trimr(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_upper_case(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_lower_case(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_starts_with(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_ends_with(Vm& vm, const Value* args, std::size_t argc);

// Symbols, keywords and number parsing (symbols.cpp).
NativeResult builtin_symbol(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_keyword(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_name(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_namespace(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_parse_int(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_parse_double(Vm& vm, const Value* args, std::size_t argc);

// Regular expressions (regex_builtins.cpp).
NativeResult builtin_re_pattern(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_re_find(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_re_matches(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_re_seq(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_replace(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_replace_first(Vm& vm, const Value* args, std::size_t argc);

// Internal rows that compiled forms call by name (internal.cpp).
NativeResult builtin_throw_arity(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_make_effect(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_assert_failed(Vm& vm, const Value* args, std::size_t argc);

} // namespace quorvex
