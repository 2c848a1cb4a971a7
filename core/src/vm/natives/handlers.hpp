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

// Internal rows that compiled forms call by name (internal.cpp).
NativeResult builtin_throw_arity(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_make_effect(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_assert_failed(Vm& vm, const Value* args, std::size_t argc);

} // namespace quorvex
