// Effects: the handler stack, performs, one-shot continuations and the returns of handler
// clauses, host effect handlers, and the offer of runtime errors to the program as `raise` of
// `exn`.
//
// A perform handled by an entry of the program suspends everything above the entry's heights:
// the values, the frames and the handler entries installed there are copied into a continuation
// object and cut off the stacks, and the clause runs in a frame of its own right above the entry's
// handler frame. Resuming pushes a boundary frame that runs the handler frame's code (with its
// locals and its closure) from the perform to the `with-handler`'s PopHandler, then the saved
// frames and entries rebased to the new heights.
//
// Entries are told apart by serial, never by position: a continuation resumes the entry that
// captured it, and a clause frame's return finds its own entry, wherever the program's other
// handlers have put it. A continuation whose entry is gone (it escaped its `with-handler`) is
// refused before anything changes, so it can never run code on another frame's locals.
#include <algorithm>
#include <string>
#include <utility>

#include "value/strings.hpp"
#include "vm/instruction.hpp"
#include "vm/machine_internal.hpp"

namespace quorvex::machine {

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

namespace {

// The code index just past the PopHandler that closes the `with-handler` whose PushHandler is the
// word before `ip`, found by counting nested PushHandler/PopHandler pairs.
std::uint32_t handler_end(const Prototype& proto, std::uint32_t ip) {
  std::uint32_t depth = 1;
  for (std::size_t j = ip; j < proto.code.size(); ++j) {
    std::uint8_t op = proto.code[j].op_byte();
    if (op == static_cast<std::uint8_t>(Opcode::PopHandler)) {
      if (--depth == 0) return static_cast<std::uint32_t>(j + 1);
    } else if (op == static_cast<std::uint8_t>(Opcode::PushHandler)) {
      ++depth;
    }
  }
  return static_cast<std::uint32_t>(proto.code.size());
}

std::expected<void, VmError> install_handler(Vm& vm, const Prototype& proto, std::uint32_t ip,
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

  const std::uint32_t resume_ip = handler_end(proto, ip);
  entry.stack_height = static_cast<std::uint32_t>(vm.stack.size());
  entry.frame_count = static_cast<std::uint32_t>(vm.frames.size());
  entry.installed_height = entry.stack_height;
  entry.installed_frame_count = entry.frame_count;
  entry.resume_ip = resume_ip;
  entry.serial = vm.next_handler_serial++;
  vm.handlers.push_back(entry);
  return {};
}

} // namespace

std::expected<void, VmError> push_handler(Vm& vm, const Prototype& proto, std::uint32_t ip,
                                          std::uint16_t constant) {
  const std::size_t height = vm.stack.size();
  std::expected<void, VmError> r = install_handler(vm, proto, ip, constant);
  if (r) return r;
  // The handler value goes with the refused form, which ends where its PopHandler would have.
  if (height > 0 && vm.stack.size() >= height) vm.stack.truncate(height - 1);
  vm.refused_handler_end = handler_end(proto, ip);
  return r;
}

namespace {

// Heights inside a continuation are relative to the capturing entry's; one below it (which no
// well-formed code records) is kept as 0.
std::uint32_t relative(std::uint32_t height, std::uint32_t base) {
  return height > base ? height - base : 0;
}

} // namespace

std::optional<std::size_t> find_handler_entry(const Vm& vm, std::uint64_t serial) {
  for (std::size_t i = vm.handlers.size(); i-- > 0;) {
    if (vm.handlers[i].serial == serial) return i;
  }
  return std::nullopt;
}

std::size_t first_saved_entry(const Vm& vm, std::size_t index) {
  const std::uint32_t f = vm.handlers[index].frame_count;
  std::size_t j = vm.handlers.size();
  while (j > index + 1 && vm.handlers[j - 1].frame_count >= f)
    --j;
  return j;
}

HeapKey capture_continuation(Vm& vm, std::size_t index, bool resumable, std::size_t& first_saved) {
  const HandlerEntry& entry = vm.handlers[index];
  const std::uint32_t h = entry.stack_height;
  const std::uint32_t f = entry.frame_count;
  Continuation k;

  // The entries installed by the captured frames or by the handler frame's body: the run of
  // entries at the top whose frames lie at or above the entry's level. An entry a clause of this
  // entry installed before resuming it sits between them and stays where it is.
  const std::size_t j = first_saved_entry(vm, index);
  first_saved = j;

  if (!vm.spare_values.empty()) {
    k.values = std::move(vm.spare_values.back());
    vm.spare_values.pop_back();
    k.values.clear();
  }
  if (!vm.spare_frames.empty()) {
    k.frames = std::move(vm.spare_frames.back());
    vm.spare_frames.pop_back();
    k.frames.clear();
  }
  if (h < vm.stack.size()) k.values.assign(vm.stack.data() + h, vm.stack.data() + vm.stack.size());
  k.frames.reserve(vm.frames.size() > f ? vm.frames.size() - f : 0);
  for (std::size_t x = f; x < vm.frames.size(); ++x) {
    CallFrame saved = vm.frames[x];
    saved.run_root = 0;
    if (saved.has_saved_height()) saved.saved_height = relative(saved.saved_height, h);
    saved.base = relative(saved.base, h);
    if (saved.has_handler_index() && saved.handler_index >= j) {
      saved.handler_index =
          static_cast<std::uint32_t>(saved.handler_index - j) | Continuation::kSavedEntryFlag;
    } else if (saved.kind == FrameKind::Boundary && saved.has_handler_index() &&
               saved.handler_index < vm.handlers.size() &&
               std::none_of(k.outer_entries.begin(), k.outer_entries.end(),
                            [&](const Continuation::OuterEntry& o) {
                              return o.index == saved.handler_index;
                            })) {
      // A resumption of an entry below: its state goes with the capture.
      const HandlerEntry& outer = vm.handlers[saved.handler_index];
      k.outer_entries.push_back({outer.serial, saved.handler_index, relative(outer.stack_height, h),
                                 relative(outer.frame_count, f), outer.active});
    }
    if (saved.abort_to.present() || saved.kind == FrameKind::AbortOnly) {
      saved.abort_to.stack_height = relative(saved.abort_to.stack_height, h);
      saved.abort_to.frame_count = relative(saved.abort_to.frame_count, f);
    }
    k.frames.push_back(saved);
  }
  k.handlers.reserve(vm.handlers.size() - j);
  for (std::size_t x = j; x < vm.handlers.size(); ++x) {
    SavedHandlerEntry saved = vm.handlers[x];
    saved.stack_height = relative(saved.stack_height, h);
    saved.installed_height = relative(saved.installed_height, h);
    saved.frame_count = relative(saved.frame_count, f);
    saved.installed_frame_count = relative(saved.installed_frame_count, f);
    k.handlers.push_back(saved);
  }

  const CallFrame& top = vm.frames.back();
  const CallFrame& handler_frame = f > 0 ? vm.frames[f - 1] : top;
  k.handler_frame_prototype = handler_frame.prototype;
  k.handler_frame_ip = handler_frame.ip;
  k.handler_frame_base = f > 0 ? handler_frame.base : h;
  k.handler_frame_closure = handler_frame.closure;
  k.perform_ip = top.ip;
  k.perform_prototype = top.prototype;
  k.base_height = h;
  k.base_frame_count = f;
  k.stop_ip = entry.resume_ip > 0 ? entry.resume_ip - 1 : 0;
  k.entry_serial = entry.serial;
  k.crosses_native = resumable ? 0 : 1;
  std::vector<std::uint32_t> suspended;
  for (const Continuation::OuterEntry& outer : k.outer_entries)
    suspended.push_back(outer.index);
  // The copied values, closures and continuations are the pending object's references: roots if
  // this allocation collects, while the stacks still hold them as well.
  const HeapKey key = heap_alloc(vm.heap, HeapObject(std::move(k)));
  for (std::uint32_t index : suspended)
    vm.handlers[index].active = 1;
  return key;
}

namespace {

// Puts a capture's frames and entries back on the stacks, rebased to the value height `n` and
// the frame level `level`; the entries it saved are appended to the `e0` kept below them. The
// captured values must already be in place.
void reinstate(Vm& vm, const Continuation& k, std::uint32_t n, std::uint32_t level,
               std::uint32_t e0, std::optional<std::size_t> skip) {
  for (const CallFrame& saved : k.frames) {
    CallFrame frame = saved;
    if (frame.has_saved_height()) frame.saved_height += n;
    frame.base += n;
    if (frame.has_handler_index() && (frame.handler_index & Continuation::kSavedEntryFlag) != 0)
      frame.handler_index = e0 + (frame.handler_index & ~Continuation::kSavedEntryFlag);
    if (frame.abort_to.present() || frame.kind == FrameKind::AbortOnly) {
      frame.abort_to.stack_height += n;
      frame.abort_to.frame_count += level;
    }
    vm.frames.push_back(frame);
  }
  for (const SavedHandlerEntry& saved : k.handlers) {
    HandlerEntry entry = saved;
    entry.stack_height += n;
    entry.installed_height += n;
    entry.frame_count += level;
    entry.installed_frame_count += level;
    vm.handlers.push_back(entry);
  }
  for (const Continuation::OuterEntry& outer : k.outer_entries) {
    if (outer.index >= e0 || outer.index == skip || vm.handlers[outer.index].serial != outer.serial)
      continue;
    HandlerEntry& entry = vm.handlers[outer.index];
    entry.active = outer.active;
    entry.stack_height = outer.stack_height + n;
    entry.frame_count = outer.frame_count + level;
  }
}

} // namespace

std::expected<void, VmError> resume_continuation(Vm& vm, HeapKey continuation, Value value) {
  Continuation* k = heap_get_mut_as<Continuation>(vm.heap, continuation);
  if (k == nullptr) return std::unexpected(VmError::type_error("expected continuation"));
  if (k->resumed != 0) return std::unexpected(VmError::invalid_continuation());
  // Only a clause of the capturing entry can be running when the continuation is legitimately
  // called; once the entry is gone, its handler frame may be gone too.
  const std::optional<std::size_t> at = find_handler_entry(vm, k->entry_serial);
  if (!at || vm.handlers[*at].active == 0) {
    return std::unexpected(VmError::invalid_continuation());
  }
  if (k->crosses_native != 0) {
    return std::unexpected(VmError::value_error(
        "a continuation captured across a native function call cannot be resumed"));
  }
  if (vm.frames.size() + 1 + k->frames.size() > kMaxFrames) {
    return std::unexpected(frame_limit_error(vm));
  }
  k->resumed = 1;

  // Nothing below allocates on the heap: `k` stays in place.
  const auto n = static_cast<std::uint32_t>(vm.stack.size());
  const auto c0 = static_cast<std::uint32_t>(vm.frames.size());
  const auto e0 = static_cast<std::uint32_t>(vm.handlers.size());
  vm.handlers[*at].active = 0;

  vm.stack.reserve_extra(k->values.size() + 1);
  for (const Value& v : k->values)
    vm.stack.push_back(v);

  CallFrame boundary;
  boundary.kind = FrameKind::Boundary;
  boundary.stop_ip = k->stop_ip;
  boundary.saved_height = n;
  boundary.handler_index = static_cast<std::uint32_t>(*at);
  boundary.ip = k->handler_frame_ip;
  boundary.base = k->handler_frame_base;
  boundary.prototype = k->handler_frame_prototype;
  boundary.closure = k->handler_frame_closure;
  vm.frames.push_back(boundary);

  reinstate(vm, *k, n, c0 + 1, e0, *at);
  // Resumed once, the continuation never reads its copies again: the next capture reuses them.
  if (vm.spare_values.size() < Vm::kSpareBuffers && k->values.capacity() <= Vm::kSpareCapacity) {
    vm.spare_values.push_back(std::move(k->values));
    k->values.clear();
  }
  if (vm.spare_frames.size() < Vm::kSpareBuffers && k->frames.capacity() <= Vm::kSpareCapacity) {
    vm.spare_frames.push_back(std::move(k->frames));
    k->frames.clear();
  }
  // A further perform handled by the entry captures from this resumption.
  vm.handlers[*at].stack_height = n;
  vm.handlers[*at].frame_count = c0 + 1;
  vm.stack.push_back(value);
  return {};
}

void undo_capture(Vm& vm, HeapKey continuation, std::size_t index) {
  Continuation* k = heap_get_mut_as<Continuation>(vm.heap, continuation);
  if (k == nullptr) internal_error("a capture to undo is gone");
  // Never handed to the program: it must not run the computation a second time.
  k->resumed = 1;
  const std::uint32_t h = k->base_height;
  const std::uint32_t f = k->base_frame_count;
  vm.stack.truncate(h);
  if (vm.frames.size() > f) vm.frames.resize(f);
  vm.stack.reserve_extra(k->values.size());
  for (const Value& v : k->values)
    vm.stack.push_back(v);
  const auto e0 = static_cast<std::uint32_t>(vm.handlers.size());
  reinstate(vm, *k, h, f, e0, std::nullopt);
  vm.handlers[index].active = 0;
}

void finish_in_place(Vm& vm, Value result) {
  const CallFrame frame = vm.frames.back();
  vm.frames.pop_back();
  if (frame.handler_index < vm.handlers.size()) vm.handlers[frame.handler_index].active = 0;
  vm.stack.truncate(frame.base);
  vm.stack.push_back(result);
}

bool return_from_clause(Vm& vm, const AbortTarget& target, Value result,
                        std::optional<std::size_t> entry) {
  ValueStack& st = vm.stack;
  if (!entry) {
    const Continuation* k = heap_get_as<Continuation>(vm.heap, target.continuation);
    if (k != nullptr) entry = find_handler_entry(vm, k->entry_serial);
  }
  if (entry && !vm.frames.empty()) {
    CallFrame& below = vm.frames.back();
    if (below.kind == FrameKind::Boundary && below.handler_index == *entry) {
      // The clause ran inside a resumption of its own entry, begun by an outer clause: its value
      // ends that resumption and becomes the value of the outer clause's call of its
      // continuation. The boundary return marks the entry active again.
      HandlerEntry& e = vm.handlers[*entry];
      e.active = 0;
      e.stack_height = target.stack_height;
      e.frame_count = target.frame_count;
      st.truncate(target.stack_height);
      st.push_back(result);
      below.ip = below.stop_ip;
      return false;
    }
  }
  // Unwind: the `with-handler` form whose clause returned receives the value, after its
  // PopHandler; the entry goes with everything installed above it. A clause runs only in the run
  // that holds its entry (perform_effect), so this stays within the run; should it still take a
  // run's root frame, that run ends at once (RunRecord::cut).
  for (auto run = vm.runs.rbegin(); run != vm.runs.rend() && run->frame_depth >= target.frame_count;
       ++run) {
    run->cut = true;
    vm.unwind_past_native = true;
  }
  cut_stacks(vm, target.stack_height, target.frame_count, vm.handlers.size());
  if (entry) {
    vm.handlers.resize(*entry);
  } else {
    const std::uint32_t level = target.frame_count;
    std::erase_if(vm.handlers, [level](const HandlerEntry& e) { return e.frame_count >= level; });
  }
  if (vm.frames.empty()) return true;
  vm.frames.back().ip = target.resume_ip;
  st.push_back(result);
  return false;
}

} // namespace quorvex::machine

namespace quorvex {

void cut_stacks(Vm& vm, std::size_t stack_height, std::size_t frame_count,
                std::size_t handler_count) {
  vm.stack.truncate(stack_height);
  if (vm.frames.size() > frame_count) {
    for (std::size_t x = frame_count; x < vm.frames.size(); ++x) {
      const CallFrame& frame = vm.frames[x];
      if (frame.kind == FrameKind::Boundary && frame.has_handler_index() &&
          frame.handler_index < vm.handlers.size())
        vm.handlers[frame.handler_index].active = 1;
    }
    vm.frames.resize(frame_count);
  }
  if (vm.handlers.size() > handler_count) vm.handlers.resize(handler_count);
}

namespace {

// What became of a perform.
enum class PerformOutcome : std::uint8_t {
  // A clause frame was pushed, or the host handler's value.
  Done,
  // The handling entry lies below the run in progress (outside a native function that called
  // back into the language): nothing changed.
  OutsideRun,
};

// A clause that resumes in tail position, selected by the innermost entry (index i) with nothing
// installed above it, runs right above the perform: its value comes back there as the perform's,
// so nothing needs capturing, and a handler resuming each of a million performs stays one frame
// deep. The entry is busy meanwhile, as for any clause; the entries a captured computation would
// hold are exactly the ones above it, and there are none. Answers false, having changed nothing,
// when the clause cannot run this way.
// The clause's single plain clause when it can run in place for `argc` arguments.
const FunctionClause* in_place_clause(const Vm& vm, HeapKey clause, std::size_t argc) {
  const Closure* closure = machine::live_closure(vm.heap, clause);
  if (closure == nullptr || closure->function.clauses().size() != 1) return nullptr;
  const FunctionClause& only = closure->function.clauses()[0];
  if (only.is_variadic || only.has_guard || !only.patterns.empty() || only.arity != argc + 1 ||
      only.body_prototype >= vm.prototypes.size() ||
      vm.prototypes[only.body_prototype].resumes_in_tail == 0 || vm.frames.size() >= kMaxFrames) {
    return nullptr;
  }
  return &only;
}

// Starts the clause's frame over its arguments, the top `argc` values of the stack.
void start_in_place(Vm& vm, std::size_t i, HeapKey clause, const FunctionClause& only,
                    std::size_t argc) {
  ValueStack& st = vm.stack;
  const auto base = static_cast<std::uint32_t>(st.size() - argc);
  const std::uint32_t locals =
      std::max<std::uint32_t>(vm.prototypes[only.body_prototype].local_count, only.arity);
  // The continuation's slot: the clause never reads it but in its Resume.
  st.push_nils(locals - static_cast<std::uint32_t>(argc));
  CallFrame frame;
  frame.kind = FrameKind::InPlace;
  frame.handler_index = static_cast<std::uint32_t>(i);
  frame.base = base;
  frame.prototype = only.body_prototype;
  frame.closure = clause;
  frame.arg_count = only.arity;
  vm.frames.push_back(frame);
  vm.handlers[i].active = 1;
}

bool enter_in_place(Vm& vm, std::size_t i, HeapKey clause, std::span<const Value> args) {
  const FunctionClause* only = in_place_clause(vm, clause, args.size());
  if (only == nullptr) return false;
  vm.stack.reserve_extra(args.size());
  for (const Value& v : args)
    vm.stack.push_back(v);
  start_in_place(vm, i, clause, *only, args.size());
  return true;
}

// Whether the clause is one that never names its continuation and takes `argc` arguments and the
// continuation: a call that could be refused needs the capture, to fail with nothing cut.
bool ignores_continuation(const Vm& vm, HeapKey clause, std::size_t argc) {
  const Closure* closure = machine::live_closure(vm.heap, clause);
  if (closure == nullptr || closure->function.clauses().size() != 1) return false;
  const FunctionClause& only = closure->function.clauses()[0];
  if (only.is_variadic || only.has_guard || !only.patterns.empty() || only.arity != argc + 1)
    return false;
  const std::uint32_t body = only.body_prototype;
  return body < vm.prototypes.size() && vm.prototypes[body].ignores_continuation != 0;
}

// perform_effect within the run in progress. A continuation captured here is resumable unless
// `resumable` says otherwise.
std::expected<PerformOutcome, VmError> perform_here(Vm& vm, EffectId id, Spur op,
                                                    std::vector<Value>& args, bool resumable) {
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
    // The handler's answer was built with collection held off, as in a native; a loop whose only
    // allocations are such answers must still collect. The answer is on the stack, a root.
    collect_if_threshold_reached(vm.heap);
    return PerformOutcome::Done;
  }

  // The innermost non-active entry handles the perform.
  std::size_t i = vm.handlers.size();
  while (i-- > 0) {
    if (vm.handlers[i].effect_id == id && vm.handlers[i].active == 0) break;
  }
  if (machine::outside_current_run(vm, vm.handlers[i].frame_count)) {
    return PerformOutcome::OutsideRun;
  }
  std::optional<HeapKey> clause;
  if (HandlerEntry& entry = vm.handlers[i]; entry.dispatch_map) {
    if (entry.cached_clause.version != 0 && entry.cached_operation == op) {
      clause = entry.cached_clause;
    } else {
      const MapObject* table = heap_get_as<MapObject>(vm.heap, *entry.dispatch_map);
      if (table == nullptr)
        return std::unexpected(VmError::type_error("expected dispatch table map"));
      const Value* found = table->map.find(Value::symbol(op));
      if (found == nullptr || found->tag != Tag::Object) {
        return std::unexpected(VmError::unhandled_operation(
            find_effect_name(vm, id), std::string(vm.interner.resolve(op)), id));
      }
      clause = found->as.key;
      entry.cached_operation = op;
      entry.cached_clause = found->as.key;
    }
  } else {
    clause = entry.closure;
  }

  if (clause && resumable && i + 1 == vm.handlers.size() && enter_in_place(vm, i, *clause, args)) {
    return PerformOutcome::Done;
  }

  if (clause && ignores_continuation(vm, *clause, args.size())) {
    // Nothing to capture for a clause that cannot resume: the stacks are cut as below.
    const HandlerEntry entry = vm.handlers[i];
    cut_stacks(vm, entry.stack_height, entry.frame_count, machine::first_saved_entry(vm, i));
    vm.handlers[i].active = 1;
    args.push_back(Value::nil());
    std::expected<void, VmError> called = machine::call_closure(vm, *clause, args);
    if (!called) return std::unexpected(std::move(called.error()));
    CallFrame& top = vm.frames.back();
    top.kind = FrameKind::AbortOnly;
    top.handler_index = static_cast<std::uint32_t>(i);
    top.abort_to = AbortTarget{HeapKey{}, entry.stack_height, entry.frame_count, entry.resume_ip};
    return PerformOutcome::Done;
  }

  // A perform that no clause takes fails where it stands, with the suspended computation whole:
  // the error is the perform's, and a handler of `exn` that resumes gives the perform its value.
  if (!clause) return std::unexpected(VmError::type_error("handler closure is None"));
  std::size_t first_saved = i + 1;
  const HeapKey k = machine::capture_continuation(vm, i, resumable, first_saved);
  roots.add(k);
  const HandlerEntry entry = vm.handlers[i];
  vm.stack.truncate(entry.stack_height);
  if (vm.frames.size() > entry.frame_count) vm.frames.resize(entry.frame_count);
  vm.handlers.resize(first_saved);

  vm.handlers[i].active = 1;
  args.push_back(Value::object(k));
  std::expected<void, VmError> called = machine::call_closure(vm, *clause, args);
  if (!called) {
    // A refused clause call (its arity, its clauses, a key that names no closure) leaves the
    // computation as the perform found it. A guard's run that was cut by a clause return has
    // already taken the stacks past it: nothing is left to put back.
    VmError& e = called.error();
    // A perform carried out of the clause's guard is performed next by the run that holds its
    // handler, as the guard saw the stacks: this entry busy, so that it cannot take the perform
    // itself and run the guard again. Its continuation is never resumed.
    if (!machine::carries_pending_perform(vm, e) && !vm.unwind_past_native &&
        vm.handlers.size() == first_saved && vm.frames.size() == entry.frame_count &&
        vm.handlers[i].serial == entry.serial) {
      machine::undo_capture(vm, k, i);
      // An error that ended the clause's guard is then the perform's own, as at a compiled call.
      if (resumable) e.crossed_native = false;
    }
    return std::unexpected(std::move(e));
  }
  vm.frames.back().abort_to =
      AbortTarget{k, entry.stack_height, entry.frame_count, entry.resume_ip};
  return PerformOutcome::Done;
}

// The error that carries a pending perform out of the runs it cannot be handled in.
VmError pending_perform_error(const Vm& vm, EffectId id) {
  VmError e = VmError::unhandled_effect(find_effect_name(vm, id), id);
  e.crossed_native = true;
  return e;
}

} // namespace

bool perform_in_place(Vm& vm, EffectId id, Spur op, std::size_t argc) {
  if (vm.handlers.empty() || vm.stack.size() < argc) return false;
  const std::size_t i = vm.handlers.size() - 1;
  const HandlerEntry& entry = vm.handlers[i];
  if (entry.effect_id != id || entry.active != 0 ||
      machine::outside_current_run(vm, entry.frame_count)) {
    return false;
  }
  HeapKey clause{};
  if (entry.dispatch_map) {
    // The clause the map gave last time; a first perform looks it up on the general path.
    if (entry.cached_clause.version == 0 || entry.cached_operation != op) return false;
    clause = entry.cached_clause;
  } else if (entry.closure) {
    clause = *entry.closure;
  } else {
    return false;
  }
  const FunctionClause* only = in_place_clause(vm, clause, argc);
  if (only == nullptr) return false;
  start_in_place(vm, i, clause, *only, argc);
  return true;
}

std::expected<void, VmError> perform_effect(Vm& vm, EffectId id, Spur op, std::vector<Value> args) {
  std::expected<PerformOutcome, VmError> r = perform_here(vm, id, op, args, true);
  if (!r) return std::unexpected(std::move(r.error()));
  if (*r == PerformOutcome::Done) return {};
  // The run ends; the native function that started it passes the error on, and the run that
  // holds the entry performs the operation there (see raise_runtime_error).
  vm.pending_perform = Vm::PendingPerform{id, op, std::move(args)};
  return std::unexpected(pending_perform_error(vm, id));
}

std::expected<void, VmError> raise_runtime_error(Vm& vm, VmError error) {
  if (machine::carries_pending_perform(vm, error)) {
    // The continuation cannot return into the runs the perform came out of.
    Vm::PendingPerform pending = std::move(*vm.pending_perform);
    vm.pending_perform.reset();
    std::expected<PerformOutcome, VmError> r =
        perform_here(vm, pending.effect, pending.operation, pending.args, false);
    if (!r) return raise_runtime_error(vm, std::move(r.error()));
    if (*r == PerformOutcome::Done) return {};
    vm.pending_perform = std::move(pending);
    return std::unexpected(std::move(error));
  }

  // Only these kinds are offered: type, value, undefined variable, not callable, arity, index out
  // of bounds, division by zero, assertion failed, no matching clause.
  constexpr std::uint32_t kOffered = 0x38F3;
  const auto kind = static_cast<std::uint32_t>(error.kind);
  if (vm.run_aborting || kind >= 32 || ((kOffered >> kind) & 1) == 0) {
    return std::unexpected(std::move(error));
  }
  // Interned once per machine: an error caught in a loop pays no hashing for them.
  auto interned = [&vm](std::size_t slot, std::string_view text) {
    std::uint32_t& held = vm.error_names[slot];
    if (held == 0) held = vm.interner.get_or_intern(text) + 1;
    return static_cast<Spur>(held - 1);
  };
  const Spur type_name = interned(0, "type");
  const Spur message_name = interned(1, "message");
  const Spur raise_name = interned(2, "raise");
  const Spur kind_name = interned(3 + kind, error.kind_name());

  std::string text = to_string(error);
  HeapKey key = vm.last_error_map;
  if (heap_get_as<MapObject>(vm.heap, key) == nullptr || kind != vm.last_error_kind ||
      text != vm.last_error_text) {
    Guarded<Value> message = alloc_string(vm.heap, text);
    if (!message) return std::unexpected(std::move(error));
    RootScope roots(vm.heap);
    roots.add(*message);
    ValueMap map(next_random_keys());
    map.insert_mut(Value::keyword(type_name), Value::keyword(kind_name));
    map.insert_mut(Value::keyword(message_name), *message);
    // The pending map's references (the message) are roots if this collects.
    key = heap_alloc(vm.heap, HeapObject(MapObject{std::move(map)}));
    vm.last_error_map = key;
    vm.last_error_kind = kind;
    vm.last_error_text = std::move(text);
  }

  // An exn entry outside this run takes the error once it has left the native function that
  // called back into the language; the continuation cannot return into that call.
  std::vector<Value> args;
  args.reserve(2);
  args.push_back(Value::object(key));
  std::expected<PerformOutcome, VmError> r =
      perform_here(vm, kExnEffectId, raise_name, args, !error.crossed_native);
  if (r && *r == PerformOutcome::Done) return {};
  return std::unexpected(std::move(error));
}

} // namespace quorvex
