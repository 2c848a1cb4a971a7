// The machine's builtin table: each row of the builtin list (builtins/builtin_list.def) with its
// handler. The rows, their order and their names are described in builtins/builtin_info.hpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "builtins/builtin_info.hpp"
#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {

struct Vm;

// A handler gets the machine and the argument values, whose count the row's arity already
// accepted. The arguments are a copy that is no longer on the value stack, so the handler may
// push, allocate or call back without invalidating them.
// No collection runs while a handler is in progress, except inside a callback it makes
// (call_value_from_native): the arguments are rooted for the whole call, and a handler that calls
// back roots what else it holds across the callback in a RootScope. The slot table may grow at
// any allocation, so a pointer into it must not be held across one.
using BuiltinFn = NativeResult (*)(Vm& vm, const Value* args, std::size_t argc);

struct Builtin {
  std::string_view name;
  std::string_view doc;
  Arity arity;
  BuiltinFn handler;
};

// The rows in index order, static storage; the dispatcher indexes this directly.
std::span<const Builtin, BUILTIN_COUNT> builtin_rows();

// A fresh copy of the rows, for the machine to own as its table.
std::vector<Builtin> builtin_table();

// Runs row `index` (below BUILTIN_COUNT) after checking the argument count against its arity.
NativeResult call_builtin_row(Vm& vm, const Builtin& row, const Value* args, std::size_t argc);

} // namespace quorvex
