// Optics: the reading, writing and updating engines and the constructors of optic values. The
// engines themselves live in core/src/optics; these handlers check the arguments, coerce the
// optic and keep it and the target alive while user code runs.
#include <utility>

#include "optics/optics.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

// Roots the arguments and the objects the coerced optic names for the rest of the call: a
// collection may run inside a predicate, a lens or the function of `over`.
struct OpticCall {
  explicit OpticCall(Vm& vm, const Value* args, std::size_t argc) : scope(vm.heap) {
    scope.add(std::span<const Value>(args, argc));
  }
  RootScope scope;
};

Value wrap(Vm& vm, OpticKind kind) {
  return Value::object(alloc_optic(vm, std::move(kind)));
}

NativeResult compose(Vm& vm, const Value* args, std::size_t argc, bool reversed) {
  RootScope scope(vm.heap);
  OpticKind::Compose steps;
  steps.steps.reserve(argc);
  for (std::size_t n = 0; n < argc; ++n) {
    const Value arg = args[reversed ? argc - 1 - n : n];
    std::expected<OpticKind, VmError> kind = to_optic(vm, arg);
    if (!kind) return std::unexpected(std::move(kind.error()));
    const HeapKey step = alloc_optic(vm, std::move(*kind));
    scope.add(step);
    steps.steps.push_back(step);
  }
  return wrap(vm, OpticKind{std::move(steps)});
}

// A predicate argument: a heap object is held directly, a native function (and for `filtered` a
// keyword) in a new key box.
std::optional<HeapKey> predicate_handle(Vm& vm, Value arg, bool keyword_allowed) {
  if (arg.is_object()) return arg.as.key;
  if (arg.is_native_fn() || (keyword_allowed && arg.is_keyword()))
    return heap_alloc(vm.heap, HeapObject(KeyBox{arg}));
  return std::nullopt;
}

} // namespace

NativeResult builtin_view(Vm& vm, const Value* args, std::size_t argc) {
  OpticCall call(vm, args, argc);
  std::expected<OpticKind, VmError> kind = to_optic(vm, args[0]);
  if (!kind) return std::unexpected(std::move(kind.error()));
  root_optic_kind(call.scope, *kind);
  return view_optic(vm, *kind, args[1]);
}

NativeResult builtin_view_all(Vm& vm, const Value* args, std::size_t argc) {
  OpticCall call(vm, args, argc);
  std::expected<OpticKind, VmError> kind = to_optic(vm, args[0]);
  if (!kind) return std::unexpected(std::move(kind.error()));
  root_optic_kind(call.scope, *kind);
  std::expected<std::vector<Value>, VmError> foci = view_all_optic(vm, *kind, args[1]);
  if (!foci) return std::unexpected(std::move(foci.error()));
  call.scope.add(std::span<const Value>(*foci));
  return alloc_seq_object(vm.heap, ValueVector::from_range(foci->begin(), foci->end()), true);
}

NativeResult builtin_over(Vm& vm, const Value* args, std::size_t argc) {
  OpticCall call(vm, args, argc);
  std::expected<OpticKind, VmError> kind = to_optic(vm, args[0]);
  if (!kind) return std::unexpected(std::move(kind.error()));
  root_optic_kind(call.scope, *kind);
  return over_optic(vm, *kind, args[1], args[2]);
}

NativeResult builtin_sett(Vm& vm, const Value* args, std::size_t argc) {
  OpticCall call(vm, args, argc);
  std::expected<OpticKind, VmError> kind = to_optic(vm, args[0]);
  if (!kind) return std::unexpected(std::move(kind.error()));
  root_optic_kind(call.scope, *kind);
  return set_optic(vm, *kind, args[1], args[2]);
}

NativeResult builtin_compose(Vm& vm, const Value* args, std::size_t argc) {
  return compose(vm, args, argc, false);
}

NativeResult builtin_compose_back(Vm& vm, const Value* args, std::size_t argc) {
  return compose(vm, args, argc, true);
}

NativeResult builtin_idx(Vm& vm, const Value* args, std::size_t argc) {
  if (!args[0].is_int()) return type_error("_idx requires an integer");
  return wrap(vm, OpticKind{OpticKind::Index{args[0].as.integer}});
}

NativeResult builtin_filtered(Vm& vm, const Value* args, std::size_t argc) {
  std::optional<HeapKey> predicate = predicate_handle(vm, args[0], true);
  if (!predicate) return type_error("filtered requires a predicate function or keyword");
  return wrap(vm, OpticKind{OpticKind::Filtered{*predicate}});
}

NativeResult builtin_slice(Vm& vm, const Value* args, std::size_t argc) {
  auto bound = [](Value v) -> std::optional<std::optional<std::int64_t>> {
    if (v.is_nil()) return std::optional<std::int64_t>();
    if (v.is_int()) return std::optional<std::int64_t>(v.as.integer);
    return std::nullopt;
  };
  const auto start = bound(args[0]);
  if (!start) return type_error("_slice start must be integer or nil");
  const auto end = bound(args[1]);
  if (!end) return type_error("_slice end must be integer or nil");
  return wrap(vm, OpticKind{OpticKind::Slice{*start, *end}});
}

NativeResult builtin_when(Vm& vm, const Value* args, std::size_t argc) {
  std::optional<HeapKey> predicate = predicate_handle(vm, args[0], false);
  if (!predicate) return type_error("_when requires a predicate function");
  return wrap(vm, OpticKind{OpticKind::When{*predicate}});
}

NativeResult builtin_first_optic(Vm& vm, const Value* args, std::size_t argc) {
  std::expected<OpticKind, VmError> kind = to_optic(vm, args[0]);
  if (!kind) return std::unexpected(std::move(kind.error()));
  const HeapKey inner = alloc_optic(vm, std::move(*kind));
  return wrap(vm, OpticKind{OpticKind::First{inner}});
}

NativeResult builtin_lens(Vm& vm, const Value* args, std::size_t argc) {
  if (!args[0].is_object()) return type_error("lens getter must be a function");
  if (!args[1].is_object()) return type_error("lens setter must be a function");
  return wrap(vm, OpticKind{OpticKind::Lens{args[0].as.key, args[1].as.key}});
}

NativeResult builtin_is_optic(Vm& vm, const Value* args, std::size_t argc) {
  return Value::from_bool(args[0].is_keyword() || arg_as<Optic>(vm.heap, args[0]) != nullptr);
}

NativeResult builtin_xpath(Vm& vm, const Value* args, std::size_t) {
  std::expected<std::string, VmError> text = expect_string(vm, args[0]);
  if (!text) return type_error("xpath requires a string");
  return xpath_compile(vm, std::move(*text));
}

} // namespace quorvex
