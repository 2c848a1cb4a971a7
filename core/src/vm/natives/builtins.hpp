// The builtin table: every function the language offers without a definition in the language.
//
// A row's position is its builtin index. Compiled code carries three of those indices in
// `CallBuiltin` words (`nth` 0, `get` 8, `drop` 67) and every `Value::NativeFn` a program holds
// carries one, so the order of the rows is part of the bytecode format and never changes.
// Host functions take the native indices after the last row (BUILTIN_COUNT + k).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {

struct Vm;

// A handler gets the machine and the argument values. The arguments are a copy that is no longer
// on the value stack, so the handler may push, allocate or call back without invalidating them.
// No collection runs while a handler is in progress, so heap keys in locals stay valid; the slot
// table may still grow, so a pointer into it must not be held across an allocation.
using BuiltinFn = NativeResult (*)(Vm& vm, const Value* args, std::size_t argc);

struct Builtin {
  std::string_view name; // the global the machine binds to Value::native_fn(index)
  std::string_view doc;  // signature line, '\n', one sentence; empty for the hidden rows
  BuiltinFn handler;
};

inline constexpr std::size_t BUILTIN_COUNT = 159;

// Indices that compiled code carries or that the machine reaches by position.
inline constexpr std::uint16_t BUILTIN_NTH = 0;
inline constexpr std::uint16_t BUILTIN_GET = 8;
inline constexpr std::uint16_t BUILTIN_XPATH = 60;
inline constexpr std::uint16_t BUILTIN_DROP = 67;
inline constexpr std::uint16_t BUILTIN_SUBVEC = 72;
inline constexpr std::uint16_t BUILTIN_THROW_ARITY = 73;
inline constexpr std::uint16_t BUILTIN_MAKE_EFFECT = 74;
inline constexpr std::uint16_t BUILTIN_ASSERT_FAILED = 77;
inline constexpr std::uint16_t BUILTIN_CONCAT = 82;
inline constexpr std::uint16_t BUILTIN_VEC = 83;
inline constexpr std::uint16_t BUILTIN_NANO_TIME = 158;

// The rows in index order, static storage; the dispatcher indexes this directly.
std::span<const Builtin, BUILTIN_COUNT> builtin_rows();

// A fresh copy of the rows, for the machine to own as its table.
std::vector<Builtin> builtin_table();

// Index of the row with that name, for the compiler and the machine.
std::optional<std::uint16_t> find_builtin_index(std::string_view name);

} // namespace quorvex
