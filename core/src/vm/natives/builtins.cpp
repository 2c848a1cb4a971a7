// The table itself: the builtin list with its handlers.
#include "vm/natives/builtins.hpp"

#include <cstddef>
#include <expected>

#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"

namespace quorvex {

namespace {

const Builtin ROWS[] = {
#define QV_BUILTIN(index, name, arity, handler, doc) {name, doc, builtin_arity::arity, handler},
#include "builtins/builtin_list.def"
#undef QV_BUILTIN
};

static_assert(std::size(ROWS) == BUILTIN_COUNT);

} // namespace

std::span<const Builtin, BUILTIN_COUNT> builtin_rows() {
  return std::span(ROWS);
}

std::vector<Builtin> builtin_table() {
  return std::vector<Builtin>(std::begin(ROWS), std::end(ROWS));
}

NativeResult call_builtin_row(Vm& vm, const Builtin& row, const Value* args, std::size_t argc) {
  if (!row.arity.accepts(argc)) return arity_error(row.arity.min, argc);
  return row.handler(vm, args, argc);
}

} // namespace quorvex
