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

// Optics (optics.cpp).
NativeResult builtin_view(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_view_all(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_over(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_sett(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_compose(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_compose_back(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_idx(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_filtered(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_slice(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_when(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_first_optic(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_lens(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_optic(Vm& vm, const Value* args, std::size_t argc);

// Internal rows that compiled forms call by name (internal.cpp).
NativeResult builtin_throw_arity(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_make_effect(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_assert_failed(Vm& vm, const Value* args, std::size_t argc);

} // namespace quorvex
