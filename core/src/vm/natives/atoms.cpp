// Atoms, the language's only mutable cells. `swap!` runs a function of the program between
// reading the cell and writing it back, so it keeps the atom and everything it passes alive
// across the call and looks the atom up again afterwards: the callback may allocate, and the
// slot table may grow or (should a collection run) the key go stale.
#include <cstddef>
#include <expected>
#include <span>
#include <vector>

#include "value/heap.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

NativeResult builtin_atom(Vm& vm, const Value* args, std::size_t argc) {
  const Value initial = argc == 0 ? Value::nil() : args[0];
  return Value::object(heap_alloc(vm.heap, HeapObject(Atom{initial})));
}

NativeResult builtin_deref(Vm& vm, const Value* args, std::size_t) {
  const Atom* atom = arg_as<Atom>(vm.heap, args[0]);
  if (atom == nullptr) return type_error("deref requires an atom");
  return atom->value;
}

NativeResult builtin_reset(Vm& vm, const Value* args, std::size_t) {
  Atom* atom = args[0].is_object() ? heap_get_mut_as<Atom>(vm.heap, args[0].as.key) : nullptr;
  if (atom == nullptr) return type_error("reset! requires an atom");
  atom->value = args[1];
  return args[1];
}

// (swap! a f x1 ... xk) stores (f @a x1 ... xk). No retry: when f itself changes the atom, its
// result overwrites that change.
NativeResult builtin_swap(Vm& vm, const Value* args, std::size_t argc) {
  const Atom* atom = arg_as<Atom>(vm.heap, args[0]);
  if (atom == nullptr) return type_error("swap! expects an atom");
  const HeapKey key = args[0].as.key;

  std::vector<Value> call_args;
  call_args.reserve(argc - 1);
  call_args.push_back(atom->value);
  call_args.insert(call_args.end(), args + 2, args + argc);

  RootScope roots(vm.heap);
  roots.add(args[0]);
  roots.add(args[1]);
  roots.add(std::span<const Value>(call_args));

  NativeResult result = call_value_from_native(vm, args[1], call_args);
  if (!result) return result;
  Atom* after = heap_get_mut_as<Atom>(vm.heap, key);
  if (after == nullptr) return type_error("atom was collected during swap!");
  after->value = *result;
  return result;
}

} // namespace quorvex
