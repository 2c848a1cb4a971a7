// Plain values standing for optics, and the optic objects a composition's steps name.
#include <algorithm>
#include <utility>

#include "optics/walk.hpp"
#include "vm/natives/support.hpp"

namespace quorvex {

using namespace optics;

HeapKey alloc_optic(Vm& vm, OpticKind kind) {
  return heap_alloc(vm.heap, HeapObject(Optic{std::move(kind)}));
}

namespace {

OpticKind key_kind(Vm& vm, Value key) {
  return OpticKind{OpticKind::Key{heap_alloc(vm.heap, HeapObject(KeyBox{key}))}};
}

std::expected<OpticKind, VmError> coerce(Vm& vm, Value value) {
  switch (value.tag) {
  case Tag::Symbol:
  case Tag::Keyword:
    return key_kind(vm, value);
  case Tag::Int:
    return OpticKind{OpticKind::Index{value.as.integer}};
  case Tag::Object:
    break;
  default:
    return fail("expected an optic");
  }
  const HeapObject* object = heap_get(vm.heap, value.as.key);
  if (object == nullptr) return fail("expected an optic");
  switch (object->kind()) {
  case ObjectKind::String:
    return key_kind(vm, value);
  case ObjectKind::Optic:
    return object->get_if<Optic>()->kind;
  case ObjectKind::Seq:
    break;
  default:
    return fail("expected an optic");
  }
  const SeqObject* seq = object->get_if<SeqObject>();
  if (!seq->is_vector) return fail("expected an optic");
  // Nested vectors nest compositions; the steps made so far are reachable from nothing else.
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  const ValueVector items = seq->items;
  // Vectors share storage and parts: one of a few kilobytes can stand for more steps than memory
  // holds, each of them made into an optic object here.
  if (items.size() > kMaxCopiedElements) return too_large_error();
  RootScope scope(vm.heap);
  OpticKind::Compose compose;
  compose.steps.reserve(std::min<std::size_t>(items.size(), 4096));
  for (const Value& item : items) {
    if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
    std::expected<OpticKind, VmError> step = coerce(vm, item);
    if (!step) return step;
    const HeapKey handle = alloc_optic(vm, std::move(*step));
    scope.add(handle);
    compose.steps.push_back(handle);
  }
  return OpticKind{std::move(compose)};
}

} // namespace

std::expected<OpticKind, VmError> to_optic(Vm& vm, Value value) {
  return coerce(vm, value);
}

std::expected<OpticKind, VmError> optic_from_handle(const Vm& vm, HeapKey handle) {
  const Optic* optic = heap_get_as<Optic>(vm.heap, handle);
  if (optic == nullptr) return fail("compose requires optics");
  return optic->kind;
}

} // namespace quorvex
