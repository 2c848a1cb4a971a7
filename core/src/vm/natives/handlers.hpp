// Handlers of the builtin rows. Each handler named in the builtin list is declared here from the
// list itself, so adding a builtin means its row and its definition in the family file
// (core/src/vm/natives/<family>.cpp), nothing else. Only the table refers to handlers by name;
// everything else reaches a builtin through its index.
#pragma once

#include <cstddef>

#include "value/value.hpp"
#include "value/vm_error.hpp"

namespace quorvex {

struct Vm;

#define QV_BUILTIN(index, name, arity, handler, doc)                                               \
  NativeResult handler(Vm& vm, const Value* args, std::size_t argc);
#include "builtins/builtin_list.def"
#undef QV_BUILTIN

} // namespace quorvex
