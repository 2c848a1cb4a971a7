// The hidden rows that compiled forms call by name: `effect` builds its effect object through
// `__make_effect__`, a failing `assert` raises through `assert-failed`. Being ordinary globals,
// both can be rebound by a program, which then changes what those forms do.
#include <string>
#include <utility>
#include <vector>

#include "value/strings.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

bool is_builtin_effect_id(EffectId id) {
  return id == kExnEffectId || id == kConsoleEffectId || id == kRandomEffectId;
}

} // namespace

NativeResult builtin_throw_arity(Vm&, const Value* args, std::size_t argc) {
  const std::uint8_t expected = argc >= 1 && args[0].is_int() ? low_byte(args[0].as.integer) : 0;
  const std::uint8_t given = argc >= 2 && args[1].is_int() ? low_byte(args[1].as.integer) : 0;
  return std::unexpected(VmError::arity(expected, given));
}

// The argument alternates operation names and declared arities: [ask 1 tell 2]. A last name
// without an arity is ignored. A failed call makes nothing and consumes no id.
NativeResult builtin_make_effect(Vm& vm, const Value* args, std::size_t argc) {
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[0]);
  if (seq == nullptr) return type_error("expected ops vector");
  const ValueVector items = seq->items;

  std::vector<EffectOp> operations;
  operations.reserve(items.size() / 2);
  for (std::size_t i = 0; i + 1 < items.size(); i += 2) {
    const Value& name = items[i];
    const Value& arity = items[i + 1];
    if (!name.is_symbol()) return type_error("operation name must be a symbol");
    if (!arity.is_int()) return type_error("operation arity must be an integer");
    operations.push_back(EffectOp{name.as.spur, low_byte(arity.as.integer)});
  }

  // The ids of the built-in effects are never handed out, so that a program's effect can never
  // be mistaken for `exn`, `console` or `random`.
  while (is_builtin_effect_id(vm.next_effect_id))
    ++vm.next_effect_id;
  const EffectId id = vm.next_effect_id++;
  const HeapKey key = heap_alloc(vm.heap, HeapObject(Effect{std::move(operations), id, 0}));
  return Value::object(key);
}

NativeResult builtin_assert_failed(Vm& vm, const Value* args, std::size_t argc) {
  if (argc == 0) return std::unexpected(VmError::assertion_failed("assertion failed"));
  if (const std::optional<std::string_view> text = string_view_of(vm.heap, args[0])) {
    return std::unexpected(VmError::assertion_failed(std::string(*text)));
  }
  std::string debug;
  format_value_debug(args[0], debug);
  return std::unexpected(VmError::assertion_failed(std::move(debug)));
}

} // namespace quorvex
