// Declarations shared by the machine's own sources (run loop, calls, effects). Nothing outside
// core/src/vm includes this header.
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "value/heap.hpp"
#include "vm/vm.hpp"

namespace quorvex::machine {

// The three entry modes of the one loop body.
enum class RunMode : std::uint8_t {
  // The outermost run: ends when the frame stack is empty; errors are offered to `exn`.
  ToCompletion,
  // A callback from native code: ends when the frame count is back at `depth`; errors are
  // offered to `exn`, an unhandled one is returned.
  UntilDepth,
  // A guard: ends when the frame count is back at `depth`, then cuts the value and handler stacks
  // to `stack_height` and `handler_count`; errors are returned at once.
  Nested,
};

struct RunSpec {
  RunMode mode = RunMode::ToCompletion;
  std::uint32_t depth = 0;
  std::uint32_t stack_height = 0;
  std::uint32_t handler_count = 0;
};

// Runs the loop from the top frame (already pushed by the caller).
std::expected<Value, VmError> execute(Vm& vm, RunSpec spec);

// Who is calling a closure: compiled code (Call, TailCall) or native code / effect handling.
// They differ in the error for a call that no clause's arity fits and in frame reuse.
enum class CallSite : std::uint8_t { Compiled, CompiledTail, Native };

// Selects the clause of the closure at `closure` for the argc arguments at stack[base ..] and
// starts its body: a new frame (Compiled, Native) or the reused top frame (CompiledTail). On
// failure the arguments are gone from the stack when no clause was selected, and stay when a
// pattern or guard failed with an error (compiled calls), as the call protocol says.
std::expected<void, VmError> enter_closure(Vm& vm, HeapKey closure, std::uint32_t base,
                                           std::uint32_t argc, CallSite site);

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

// Leaves the top frame with `result` as Return does. Answers true when no frame is left (the run
// is then over with `result`, which is not pushed).
bool return_from_frame(Vm& vm, Value result);

// Removes the handler entries installed by the frame about to be replaced by a tail call.
void drop_handlers_of_top_frame(Vm& vm);

// Pushes a new frame, refusing past the frame limit.
std::expected<void, VmError> push_frame(Vm& vm, const CallFrame& frame);

// Polls the interrupt hook; an error ends every run in progress.
std::optional<VmError> poll_interrupt(Vm& vm);

// Effect instructions.
std::expected<void, VmError> push_handler(Vm& vm, const Prototype& proto, std::uint32_t ip,
                                          std::uint16_t constant);
// Resolves the global a symbol constant names to an effect id.
std::expected<EffectId, VmError> resolve_effect_symbol(const Vm& vm, const Value& constant);
std::expected<void, VmError> resume_continuation(Vm& vm, HeapKey continuation, Value value);

// The allocation of a rest list from the stack values [from, from + count): a new list object.
// May collect; the values stay on the stack meanwhile.
std::expected<Value, VmError> make_rest_list(Vm& vm, std::uint32_t from, std::uint32_t count);

[[noreturn]] void internal_error(const char* what);

// Keeps count of the runs in progress; when the outermost one ends, a pending abort is over.
class ActiveRun {
public:
  explicit ActiveRun(Vm& vm) : vm_(vm) {
    if (vm_.active_runs++ == 0) vm_.run_aborting = false;
  }
  ~ActiveRun() {
    if (--vm_.active_runs == 0) vm_.run_aborting = false;
  }
  ActiveRun(const ActiveRun&) = delete;
  ActiveRun& operator=(const ActiveRun&) = delete;

private:
  Vm& vm_;
};

} // namespace quorvex::machine
