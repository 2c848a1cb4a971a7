// The table itself: the builtin list with its handlers. Rows whose family is not built yet answer
// a plain value error that names them; as each family lands its handlers replace those entries.
#include "vm/natives/builtins.hpp"

#include <algorithm>
#include <cstddef>
#include <expected>
#include <string>
#include <utility>

#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"

namespace quorvex {

// Declared here as well as from the list, which names it only while some row is pending.
NativeResult pending(Vm&, const Value*, std::size_t);

namespace {

// A name as a template argument, so that each transitional row gets its own plain function
// pointer that knows which row it stands for.
template <std::size_t N> struct RowName {
  char text[N];
  constexpr RowName(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

template <RowName Name> NativeResult pending_row(Vm&, const Value*, std::size_t) {
  std::string message(Name.view());
  message += " is not yet available";
  return std::unexpected(VmError::value_error(std::move(message)));
}

// A row whose handler column says `pending` gets the transitional handler that names it. Not
// consteval: under the sanitizers GCC does not take the comparison of two functions' addresses as
// a constant, and the table is then filled when the program starts instead.
template <RowName Name> constexpr BuiltinFn resolve_handler(BuiltinFn listed) {
  return listed == &pending ? &pending_row<Name> : listed;
}

const Builtin ROWS[] = {
#define QV_BUILTIN(index, name, arity, handler, doc)                                               \
  {name, doc, builtin_arity::arity, resolve_handler<name>(handler)},
#include "builtins/builtin_list.def"
#undef QV_BUILTIN
};

static_assert(std::size(ROWS) == BUILTIN_COUNT);

} // namespace

// The handler column's placeholder; resolve_handler swaps every use for the row's own
// transitional handler, so no call ever reaches this one.
NativeResult pending(Vm&, const Value*, std::size_t) {
  return std::unexpected(VmError::value_error("a builtin is not yet available"));
}

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
