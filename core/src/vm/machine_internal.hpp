// Declarations shared by the machine's own sources (run loop, calls, effects). Nothing outside
// core/src/vm includes this header.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>

#include "value/heap.hpp"
#include "vm/vm.hpp"

namespace quorvex::machine {

// Runs the loop from the root frame the caller has pushed at `run.frame_depth` (the top frame),
// as a run of `run.kind` (RunRecord in vm.hpp); the record's id is given here.
std::expected<Value, VmError> execute(Vm& vm, RunRecord run);

// What a run whose root frame was cut away answers its native caller. Never shown: the run the
// unwind landed in drops it (see RunRecord::cut).
VmError cut_run_error();

// After a native call made by the innermost run came back: whether an unwind cut away the runs
// it started. Then the native's answer is dropped; the innermost run continues when the unwind
// landed in it (answers false and clears the flag), or ends as cut as well (answers true).
bool native_call_was_cut(Vm& vm);

// Who is calling a closure: compiled code (Call, TailCall) or native code / effect handling.
// They differ in the error for a call that no clause's arity fits and in frame reuse.
enum class CallSite : std::uint8_t { Compiled, CompiledTail, Native };

[[noreturn]] void internal_error(const char* what);

// Whether a clause accepts argc arguments.
inline bool arity_fits(const FunctionClause& clause, std::uint32_t argc) {
  return clause.is_variadic ? clause.arity <= argc : clause.arity == argc;
}

// The arguments already are the first local slots: plain parameters in order, no rest parameter.
inline bool is_direct_form(const FunctionClause& clause) {
  if (clause.is_variadic) return false;
  for (std::size_t i = 0; i < clause.patterns.size(); ++i) {
    if (!clause.patterns[i].is_bind_of(static_cast<std::uint8_t>(i))) return false;
  }
  return true;
}

// The word that replaces instructions breaking the run loop's rules in a patched copy of code.
inline constexpr std::uint32_t kTrapWord = 0xFFFFFFFFu;

// Makes the views of the prototypes appended since the last call; `index` must be among them.
const Vm::PrototypeView& refresh_prototype_views(Vm& vm, std::uint32_t index);

// Makes the view at `index` (below the views' count) again for the prototype stored there now.
void remake_prototype_view(Vm& vm, std::uint32_t index);

// The word that marks a boundary frame's stop point in the copy of code that frame runs.
inline constexpr std::uint32_t kStopWord = 0xFEFFFFFFu;

// The code a boundary frame runs: the prototype's code with kStopWord at `stop_ip`.
const Instruction* boundary_code(Vm& vm, std::uint32_t prototype, std::uint32_t stop_ip);

// Whether the word at `position` of the prototype's code is a trap of its patched copy.
bool is_trap(const Vm& vm, std::uint32_t prototype, std::uint32_t position);

[[gnu::always_inline]] inline const Vm::PrototypeView& prototype_view(Vm& vm, std::uint32_t index) {
  if (index >= vm.prototype_views.size()) [[unlikely]]
    return refresh_prototype_views(vm, index);
  return vm.prototype_views[index];
}

inline std::uint32_t local_count_of(Vm& vm, std::uint32_t proto) {
  return prototype_view(vm, proto).local_count;
}

// The closure behind a key, when it is a live closure; the run loop's inline form of
// heap_get_as<Closure>.
[[gnu::always_inline]] inline const Closure* live_closure(const Heap& h, HeapKey k) {
  if (k.index >= h.slots.size()) return nullptr;
  const HeapSlot& slot = h.slots[k.index];
  if (slot.version != k.version || (k.version & 1) == 0) return nullptr;
  return std::get_if<Closure>(&slot.entry.object.storage());
}

// The error of a call past the frame limit; it ends every run in progress.
VmError frame_limit_error(Vm& vm);

// Pushes a new frame, refusing past the frame limit.
[[gnu::always_inline]] inline std::expected<void, VmError> push_frame(Vm& vm,
                                                                      const CallFrame& frame) {
  if (vm.frames.size() >= kMaxFrames) [[unlikely]]
    return std::unexpected(frame_limit_error(vm));
  vm.frames.push_back(frame);
  return {};
}

// Removes the handler entries installed by the frame about to be replaced by a tail call.
void drop_handlers_of_top_frame(Vm& vm);

// Clause selection for everything but the common case below: guards, patterns, rest parameters,
// and calls that no clause accepts.
std::expected<void, VmError> enter_closure_slow(Vm& vm, HeapKey closure, std::uint32_t base,
                                                std::uint32_t argc, CallSite site);

// Selects the clause of the closure at `closure` for the argc arguments at stack[base ..] and
// starts its body: a new frame (Compiled, Native) or the reused top frame (CompiledTail). On
// failure the arguments are gone from the stack, whether no clause was selected or a pattern or
// guard failed with an error: a program that resumes past the error sees no stray arguments.
//
// The common case is inline: the first clause that fits is plain, so the arguments already are
// its first local slots, and nothing is allocated. `clo` is the closure's payload when the caller
// has looked it up already.
[[gnu::always_inline]] inline std::expected<void, VmError>
enter_closure(Vm& vm, HeapKey closure, std::uint32_t base, std::uint32_t argc, CallSite site,
              const Closure* clo = nullptr) {
  if (clo == nullptr) clo = live_closure(vm.heap, closure);
  if (clo == nullptr) [[unlikely]] {
    vm.stack.truncate(base);
    return std::unexpected(VmError::not_callable());
  }
  for (const FunctionClause& clause : clo->function.clauses()) {
    if (!arity_fits(clause, argc)) continue;
    if (clause.has_guard || !is_direct_form(clause)) break;
    const std::uint32_t body = clause.body_prototype;
    const std::uint32_t k = local_count_of(vm, body);
    ValueStack& st = vm.stack;
    if (site == CallSite::CompiledTail) {
      if (vm.frames.empty()) [[unlikely]]
        return std::unexpected(VmError::stack_underflow());
      if (!vm.handlers.empty()) drop_handlers_of_top_frame(vm);
      CallFrame& top = vm.frames.back();
      const std::uint32_t to = top.base;
      const std::uint32_t moved = argc < k ? argc : k;
      for (std::uint32_t i = 0; i < moved; ++i)
        st[to + i] = st[base + i];
      st.truncate(to + moved);
      if (moved < k) st.push_nils(k - moved);
      top.prototype = body;
      top.ip = 0;
      top.closure = closure;
      top.arg_count = static_cast<std::uint8_t>(argc);
      return {};
    }
    if (argc < k) st.push_nils(k - argc);
    CallFrame frame;
    frame.base = base;
    frame.prototype = body;
    frame.closure = closure;
    frame.arg_count = static_cast<std::uint8_t>(argc);
    return push_frame(vm, frame);
  }
  return enter_closure_slow(vm, closure, base, argc, site);
}

// The closure call of native code and effect handling: pushes the arguments, selects a clause and
// pushes its frame; the caller runs the loop. On failure nothing it pushed is left.
std::expected<void, VmError> call_closure(Vm& vm, HeapKey closure, std::span<const Value> args);

// Runs a prototype to its return in a nested run (guards): the `count` values at
// stack[args_at ..] are copied above the stack as its first locals, padded with nil to the
// prototype's own local count. Errors come back unoffered; the stacks are cut back on failure.
std::expected<Value, VmError> run_nested(Vm& vm, std::uint32_t prototype, HeapKey closure,
                                         std::uint32_t args_at, std::uint32_t count);

// The native call of compiled code: moves argc arguments off the stack, calls native `index` with
// collection held off, pushes the result.
std::expected<void, VmError> call_native_from_stack(Vm& vm, std::uint16_t index,
                                                    std::uint32_t argc);

// The builtin table's row of `conj`, whose commonest call the machine runs without a native call.
std::uint16_t builtin_conj_row();

// Calls of keywords, natives, vectors, sets, maps and continuations with argc arguments below the
// (already popped) callee. Closures go through enter_closure. With `tail`, a native callee returns
// from the current frame; the answer is then the run's final value when no frame is left.
struct OtherCallResult {
  bool finished = false; // the call emptied the frame stack; `value` ends the run
  Value value;
};
std::expected<OtherCallResult, VmError> call_non_closure(Vm& vm, Value callee, std::uint32_t argc,
                                                         bool tail);

// The value of a keyword applied to a target: a map entry under the keyword or a variant field
// of that name; `fallback` otherwise.
Value keyword_lookup(const Vm& vm, Spur keyword, const Value& target, const Value& fallback);

// Returns through a frame that carries a handler index or an abort target.
bool return_from_frame_slow(Vm& vm, Value result);

// Leaves the top frame with `result` as Return does. Answers true when no frame is left (the run
// is then over with `result`, which is not pushed).
[[gnu::always_inline]] inline bool return_from_frame(Vm& vm, Value result) {
  const CallFrame& top = vm.frames.back();
  if (top.has_handler_index() || top.abort_to.present()) [[unlikely]]
    return return_from_frame_slow(vm, result);
  const std::uint32_t base = top.base;
  vm.frames.pop_back();
  vm.stack.truncate(base);
  if (vm.frames.empty()) return true;
  vm.stack.push_back(result);
  return false;
}

// Polls the interrupt hook; an error ends every run in progress.
std::optional<VmError> poll_interrupt(Vm& vm);

// Effect instructions.
std::expected<void, VmError> push_handler(Vm& vm, const Prototype& proto, std::uint32_t ip,
                                          std::uint16_t constant);
// Resolves the global a symbol constant names to an effect id.
std::expected<EffectId, VmError> resolve_effect_symbol(const Vm& vm, const Value& constant);
std::expected<void, VmError> resume_continuation(Vm& vm, HeapKey continuation, Value value);
// The position of the handler entry with that serial, searched from the top.
std::optional<std::size_t> find_handler_entry(const Vm& vm, std::uint64_t serial);
// Copies the computation above handler entry `index` (values, frames, and the entries installed
// at or above its level, whose first position goes to `first_saved`) into a new continuation
// object, resumable or not. May collect; leaves the stacks as they are, but an entry below whose
// resumption it saves is busy until that resumption goes on (Continuation::outer_entries).
HeapKey capture_continuation(Vm& vm, std::size_t index, bool resumable, std::size_t& first_saved);
// Puts back what a capture from entry `index` took once the stacks were cut to that entry, for a
// clause that could not be called: the stacks stand as at the perform, the entry is free again
// and the continuation can never be resumed.
void undo_capture(Vm& vm, HeapKey continuation, std::size_t index);
// Whether an error is the one that carries a pending perform out of a run that cannot handle it,
// to be performed again by the run that holds its handler.
inline bool carries_pending_perform(const Vm& vm, const VmError& e) {
  return vm.pending_perform && e.kind == VmErrorKind::UnhandledEffect && e.crossed_native &&
         e.number == vm.pending_perform->effect;
}
// Whether a handler entry installed with that frame count lies outside the innermost run, in
// frames below the native function (or the clause selection) that started it.
inline bool outside_current_run(const Vm& vm, std::uint32_t frame_count) {
  return !vm.runs.empty() && frame_count <= vm.runs.back().frame_depth;
}
// Ends the top frame, a clause run in place (FrameKind::InPlace), with `result` as the value of
// the perform it handled; its entry is free again.
void finish_in_place(Vm& vm, Value result);
// The return of a handler clause's frame (already popped) with `result`: into the resumption it
// ran in, or out of its `with-handler` form. Answers true when no frame is left.
// `entry` is the position of the clause's handler entry when the frame knows it (AbortOnly);
// otherwise the continuation names it.
bool return_from_clause(Vm& vm, const AbortTarget& target, Value result,
                        std::optional<std::size_t> entry = std::nullopt);
// The first of the entries above entry `index` that a perform it handles suspends: the run of
// entries at the top installed at or above its level.
std::size_t first_saved_entry(const Vm& vm, std::size_t index);

// The allocation of a rest list from the stack values [from, from + count): a new list object.
// May collect; the values stay on the stack meanwhile.
std::expected<Value, VmError> make_rest_list(Vm& vm, std::uint32_t from, std::uint32_t count);

// The record of a run for as long as it executes; when the outermost run ends, a pending abort
// or perform is over.
class ActiveRun {
public:
  [[gnu::always_inline]] ActiveRun(Vm& vm, RunRecord run) : vm_(vm) {
    if (vm_.runs.empty()) {
      vm_.run_aborting = false;
      vm_.unwind_past_native = false;
      vm_.pending_perform.reset();
    }
    run.root_frame = vm_.next_run_id++;
    run.cut = false;
    if (run.frame_depth >= vm_.frames.size()) internal_error("a run without its root frame");
    vm_.frames[run.frame_depth].run_root = run.root_frame;
    vm_.runs.push_back(run);
  }
  [[gnu::always_inline]] ~ActiveRun() {
    vm_.runs.pop_back();
    if (vm_.runs.empty()) {
      vm_.run_aborting = false;
      vm_.unwind_past_native = false;
      vm_.pending_perform.reset();
    }
  }
  ActiveRun(const ActiveRun&) = delete;
  ActiveRun& operator=(const ActiveRun&) = delete;

private:
  Vm& vm_;
};

} // namespace quorvex::machine

namespace quorvex {
// The common perform, taken before the arguments leave the stack: the innermost entry for the
// effect is the top one, free, inside this run, and its clause for the operation resumes in tail
// position. Starts that clause in place over the top `argc` values and answers true; answers
// false, having changed nothing, otherwise.
bool perform_in_place(Vm& vm, EffectId id, Spur op, std::size_t argc);
} // namespace quorvex
