// Effects: the handler stack, performs, host effect handlers, and the offer of runtime errors to
// the program as `raise` of `exn`.
//
// Handler clauses written in the language need one-shot continuations (capture at the perform,
// resumption through a boundary frame, the clause frame's return). Those come with a later piece
// of work; until then a perform that finds a handler entry of the program fails with a value error
// that says so, and so does resuming a continuation. Everything else here is complete: handler
// entries are installed and removed with the bookkeeping the continuations will need, host
// handlers answer performs, and unhandled effects and operations report their errors.
#include <algorithm>
#include <string>
#include <utility>

#include "value/strings.hpp"
#include "vm/instruction.hpp"
#include "vm/machine_internal.hpp"

namespace quorvex::machine {

namespace {

VmError handlers_not_available() {
  return VmError::value_error("effect handlers written in the language are not yet available");
}

} // namespace

std::expected<EffectId, VmError> resolve_effect_symbol(const Vm& vm, const Value& constant) {
  std::optional<std::uint32_t> slot = vm.find_global(constant.as.spur);
  if (!slot || *slot >= vm.globals.size()) {
    return std::unexpected(
        VmError::undefined_variable(std::string(vm.interner.resolve(constant.as.spur))));
  }
  const Effect* effect = heap_get_as<Effect>(vm.heap, vm.globals[*slot]);
  if (effect == nullptr) return std::unexpected(VmError::type_error("expected effect"));
  return effect->id;
}

std::expected<void, VmError> push_handler(Vm& vm, const Prototype& proto, std::uint32_t ip,
                                          std::uint16_t constant) {
  if (constant >= proto.constants.size()) internal_error("constant index outside the table");
  const Value operand = proto.constants[constant];
  EffectId id = 0;
  if (operand.tag == Tag::Symbol) {
    std::expected<EffectId, VmError> r = resolve_effect_symbol(vm, operand);
    if (!r) return std::unexpected(std::move(r.error()));
    id = *r;
  } else if (operand.tag == Tag::Object) {
    const Effect* effect = heap_get_as<Effect>(vm.heap, operand.as.key);
    if (effect == nullptr) return std::unexpected(VmError::type_error("expected effect"));
    id = effect->id;
  } else {
    return std::unexpected(VmError::type_error("expected symbol or effect for handler"));
  }

  if (vm.stack.empty()) return std::unexpected(VmError::stack_underflow());
  const Value handler = vm.stack.back();
  vm.stack.pop_back();
  HandlerEntry entry;
  entry.effect_id = id;
  if (handler.tag == Tag::Object) {
    const HeapObject* obj = heap_get(vm.heap, handler.as.key);
    if (obj != nullptr && obj->kind() == ObjectKind::Map) {
      entry.dispatch_map = handler.as.key;
    } else if (obj != nullptr && obj->kind() == ObjectKind::Closure) {
      entry.closure = handler.as.key;
      std::span<const FunctionClause> clauses = obj->get_if<Closure>()->function.clauses();
      if (!clauses.empty()) entry.handler_prototype = clauses.front().body_prototype;
    } else {
      return std::unexpected(VmError::type_error("expected closure or map for handler"));
    }
  } else if (handler.tag != Tag::Nil) {
    return std::unexpected(VmError::type_error("expected closure, map, or nil for handler"));
  }

  // The resume point: just past the PopHandler that closes this `with-handler`, found by
  // counting nested PushHandler/PopHandler pairs.
  std::uint32_t depth = 1;
  std::uint32_t resume_ip = static_cast<std::uint32_t>(proto.code.size());
  for (std::size_t j = ip; j < proto.code.size(); ++j) {
    std::uint8_t op = proto.code[j].op_byte();
    if (op == static_cast<std::uint8_t>(Opcode::PopHandler)) {
      if (--depth == 0) {
        resume_ip = static_cast<std::uint32_t>(j + 1);
        break;
      }
    } else if (op == static_cast<std::uint8_t>(Opcode::PushHandler)) {
      ++depth;
    }
  }
  entry.stack_height = static_cast<std::uint32_t>(vm.stack.size());
  entry.frame_count = static_cast<std::uint32_t>(vm.frames.size());
  entry.installed_height = entry.stack_height;
  entry.installed_frame_count = entry.frame_count;
  entry.resume_ip = resume_ip;
  vm.handlers.push_back(entry);
  return {};
}

std::expected<void, VmError> resume_continuation(Vm& vm, HeapKey continuation, Value value) {
  Continuation* k = heap_get_mut_as<Continuation>(vm.heap, continuation);
  if (k == nullptr) return std::unexpected(VmError::type_error("expected continuation"));
  if (k->resumed != 0) return std::unexpected(VmError::invalid_continuation());
  (void)value;
  return std::unexpected(handlers_not_available());
}

} // namespace quorvex::machine

namespace quorvex {

std::expected<void, VmError> perform_effect(Vm& vm, EffectId id, Spur op, std::vector<Value> args) {
  // The arguments are off the stack: keep them alive while handlers allocate.
  RootScope roots(vm.heap);
  roots.add(std::span<const Value>(args));

  const bool program_handles =
      std::any_of(vm.handlers.begin(), vm.handlers.end(),
                  [id](const auto& e) { return e.effect_id == id && e.active == 0; });
  if (!program_handles) {
    auto it = vm.host_handlers.find(id);
    if (it == vm.host_handlers.end() || !it->second) {
      return std::unexpected(VmError::unhandled_effect(find_effect_name(vm, id), id));
    }
    // An extra reference: the handler may be replaced while it runs.
    std::shared_ptr<HostHandler> handler = it->second;
    std::expected<HandlerOutcome, VmError> outcome = handler->handle(vm, op, std::move(args));
    if (!outcome) return std::unexpected(std::move(outcome.error()));
    // Resume and abort alike: the answered value is the value of the perform.
    vm.stack.push_back(outcome->value);
    return {};
  }

  // The innermost non-active entry handles the perform.
  std::size_t i = vm.handlers.size();
  while (i-- > 0) {
    if (vm.handlers[i].effect_id == id && vm.handlers[i].active == 0) break;
  }
  const HandlerEntry& entry = vm.handlers[i];
  if (entry.dispatch_map) {
    const MapObject* table = heap_get_as<MapObject>(vm.heap, *entry.dispatch_map);
    if (table == nullptr)
      return std::unexpected(VmError::type_error("expected dispatch table map"));
    const Value* clause = table->map.find(Value::symbol(op));
    if (clause == nullptr || clause->tag != Tag::Object) {
      return std::unexpected(VmError::unhandled_operation(
          find_effect_name(vm, id), std::string(vm.interner.resolve(op)), id));
    }
  } else if (!entry.closure) {
    // A nil handler: the stacks are cut to the entry's level as for any handled perform, and
    // there is no clause to run.
    const std::uint32_t height = entry.stack_height;
    const std::uint32_t frames = entry.frame_count;
    vm.stack.truncate(height);
    if (vm.frames.size() > frames) vm.frames.resize(frames);
    vm.handlers.resize(i + 1);
    return std::unexpected(VmError::type_error("handler closure is None"));
  }
  return std::unexpected(machine::handlers_not_available());
}

std::expected<void, VmError> raise_runtime_error(Vm& vm, VmError error) {
  // Only these kinds are offered: type, value, undefined variable, not callable, arity, index out
  // of bounds, division by zero, assertion failed, no matching clause.
  constexpr std::uint32_t kOffered = 0x38F3;
  const auto kind = static_cast<std::uint32_t>(error.kind);
  if (vm.run_aborting || kind >= 32 || ((kOffered >> kind) & 1) == 0) {
    return std::unexpected(std::move(error));
  }
  const Spur type_name = vm.interner.get_or_intern("type");
  const Spur message_name = vm.interner.get_or_intern("message");
  const Spur kind_name = vm.interner.get_or_intern(error.kind_name());
  const Spur raise_name = vm.interner.get_or_intern("raise");

  Guarded<Value> message = alloc_string_owned(vm.heap, to_string(error));
  if (!message) return std::unexpected(std::move(error));
  RootScope roots(vm.heap);
  roots.add(*message);
  ValueMap map(next_random_keys());
  map.insert_mut(Value::keyword(type_name), Value::keyword(kind_name));
  map.insert_mut(Value::keyword(message_name), *message);
  // The pending map's references (the message) are roots if this collects.
  HeapKey key = heap_alloc(vm.heap, HeapObject(MapObject{std::move(map)}));

  std::vector<Value> args{Value::object(key)};
  if (perform_effect(vm, kExnEffectId, raise_name, std::move(args))) return {};
  return std::unexpected(std::move(error));
}

} // namespace quorvex
