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

// Arithmetic: n-ary + - * / (arithmetic.cpp).
NativeResult builtin_add(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_subtract(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_multiply(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_divide(Vm& vm, const Value* args, std::size_t argc);

// Integers and ratios (integers.cpp).
NativeResult builtin_quot(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_rem(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_mod(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_gcd(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_lcm(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_numerator(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_denominator(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_signum(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_even(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_odd(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_bit_and(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_bit_or(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_bit_xor(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_bit_not(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_bit_shift_left(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_bit_shift_right(Vm& vm, const Value* args, std::size_t argc);

// Math functions and constants (math.cpp).
NativeResult builtin_floor(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_ceil(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_round(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_sqrt(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_exp(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_log(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_log2(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_log10(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_sin(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_cos(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_tan(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_asin(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_acos(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_atan(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_sinh(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_cosh(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_tanh(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_asinh(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_acosh(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_atanh(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_pow(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_atan2(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_hypot(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_pi(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_e(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_infinity(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_negative_infinity(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_nan(Vm& vm, const Value* args, std::size_t argc);

// Comparison chains (comparison.cpp).
NativeResult builtin_equal(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_less(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_less_equal(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_greater(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_greater_equal(Vm& vm, const Value* args, std::size_t argc);

// Type predicates and type (predicates.cpp).
NativeResult builtin_is_nil(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_number(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_string(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_keyword(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_symbol(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_fn(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_list(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_vector(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_map(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_set(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_coll(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_ratio(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_effect(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_int(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_is_float(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_type(Vm& vm, const Value* args, std::size_t argc);

// Atoms (atoms.cpp).
NativeResult builtin_atom(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_deref(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_reset(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_swap(Vm& vm, const Value* args, std::size_t argc);

// Internal rows that compiled forms call by name (internal.cpp).
NativeResult builtin_throw_arity(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_make_effect(Vm& vm, const Value* args, std::size_t argc);
NativeResult builtin_assert_failed(Vm& vm, const Value* args, std::size_t argc);

} // namespace quorvex
