// The machine: one object that holds all interpreter state of one engine, and the entry points
// through which the host, the compiler and the native functions run code on it.
//
// Ownership. A Vm owns its heap, interner, globals, the value, frame and handler stacks, the
// prototype table, the builtin table, host functions and host effect handlers, the
// documentation table, the data-type registry and the macro table. Nothing is shared between two
// machines. The heap keeps a pointer back to the machine (its root source), so a Vm never moves:
// vm_new hands it out behind a unique_ptr.
//
// Entry points.
//   call_prototype          the host runs a compiled top-level prototype (the outermost run);
//   call_value_from_native  a builtin, an optic engine or the macro expander calls any callable;
//   call_native             dispatch of a native index (builtin row or host function).
// A run of the loop on behalf of native code is a nested run on the same stacks; nested runs are
// bounded in number (DepthGuard) so that native recursion cannot exhaust the C stack, and the
// frame stack is bounded by kMaxFrames.
//
// Native code and the stacks. A builtin receives its arguments as a copy that is no longer on the
// value stack. It must not keep a pointer or reference into `stack`, `frames`, `globals` or the
// heap's slot table across anything that can push, allocate, collect or call back into the
// machine. No collection runs while a native function is in progress (heap.native_depth > 0),
// except inside a callback it makes: call_value_from_native lets the callback's run collect. So
// the arguments of every native call are rooted for the duration of the call (call_native), and a
// native that calls back roots whatever else it holds across the callback (RootScope): partial
// results, objects it made, the answers of earlier callbacks.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "reader/form.hpp"
#include "util/depth_guard.hpp"
#include "util/hash.hpp"
#include "util/interner.hpp"
#include "value/heap.hpp"
#include "value/type_registry.hpp"
#include "value/value.hpp"
#include "value/vm_error.hpp"
#include "vm/natives/builtins.hpp"
#include "vm/prototype.hpp"

namespace quorvex {

struct Vm;

// Identities of the three effects every machine is built with.
inline constexpr EffectId kExnEffectId = 0xFFFF0001;
inline constexpr EffectId kConsoleEffectId = 0xFFFF0002;
inline constexpr EffectId kRandomEffectId = 0xFFFF0004;

// The frame stack never holds more frames than this; a call beyond it fails with "Stack
// overflow", which ends the run (it is not offered to `exn`).
inline constexpr std::uint32_t kMaxFrames = 100000;

// Native indices are 16 bits: builtins and host functions together fit below this.
inline constexpr std::uint32_t kNativeIndexLimit = 65536;

// Why a run of the loop was started.
enum class RunKind : std::uint8_t {
  // The host runs a compiled top-level form. Ends when its root frame returns; errors are
  // offered to `exn`, an unhandled one ends the run.
  Outermost = 0,
  // A native or host function calls a closure back (call_value_from_native). Ends when its root
  // frame returns; errors are offered to `exn`, an unhandled one is returned to the native.
  Callback = 1,
  // A clause guard (and, like it, any run that must leave the stacks exactly as it found them).
  // Ends when its root frame returns, then cuts the value and handler stacks back to its start;
  // errors are returned at once.
  Guard = 2,
};

// One run of the loop in progress: where it began on the shared stacks. `Vm::runs` holds one per
// run, innermost last; a run pushes its record when it starts and pops it when it ends, so the
// records nest exactly as the C++ calls that started the runs.
//
// Invariants, while the run's loop is executing (not inside a call it made):
//  - frames.size() > frame_depth, and frames[frame_depth] is the root frame, whose run_root is
//    root_frame. The frames below frame_depth belong to enclosing runs and this run never pops
//    them by a return: the run ends when its root frame returns (frames.size() == frame_depth).
//  - stack_height and handler_count are the heights of the value and handler stacks before the
//    root frame was set up; a Guard run cuts back to them when it ends, a failed Callback or
//    Guard run is cut back to them by whoever started it.
//  - `cut` is set when something removed the root frame without returning from it: an unwind to
//    a `with-handler` installed outside the run (its clause returned without resuming). The stacks
//    then belong to an enclosing run, which continues with the `with-handler` form's value; the
//    cut run ends at once, returns an error to its native caller, and whatever that native returns
//    is dropped. Vm::unwind_past_native stays set until the run the unwind landed in takes over.
// The calls of one walk of a builtin (RepeatedCall::each) made in a single Callback run: when a
// call's root frame returns, the run hands the answer to next(), which takes it and either starts
// the next call (its root frame pushed where the last one was) or ends the run. Entering and
// leaving the loop once per element cost more than most callbacks' own work.
class CallbackFeed {
public:
  // Answers true once the next call's root frame is on top; false ends the run with `answer`.
  virtual bool next(Value answer) = 0;

protected:
  ~CallbackFeed() = default;
};

struct RunRecord {
  RunKind kind = RunKind::Outermost;
  std::uint32_t frame_depth = 0;
  std::uint32_t stack_height = 0;
  std::uint32_t handler_count = 0;
  // A number no other run of this machine had; stamped into the root frame's run_root.
  std::uint64_t root_frame = 0;
  bool cut = false;
  // Callback runs of a walk only: where each root frame's answer goes.
  CallbackFeed* feed = nullptr;
};

// One element of the handler stack, installed by PushHandler for the body of a `with-handler`.
using HandlerEntry = SavedHandlerEntry;

// The answer of a host effect handler. Both kinds push the value as the value of the perform.
struct HandlerOutcome {
  enum class Kind : std::uint8_t { Resume = 0, Abort = 1 };
  Kind kind = Kind::Resume;
  Value value;

  static HandlerOutcome resume(Value v) { return {Kind::Resume, v}; }
  static HandlerOutcome abort(Value v) { return {Kind::Abort, v}; }
};

// The callable behind a host function (`define_fn`). Called with the machine borrowed
// exclusively; the arguments are a copy off the value stack.
class HostCallable {
public:
  virtual ~HostCallable() = default;
  virtual NativeResult call(Vm& vm, std::span<const Value> args) = 0;
};

// A host-side effect handler, consulted when the program has no non-active handler entry for the
// effect. It receives the operation's name and the arguments (no continuation).
class HostHandler {
public:
  virtual ~HostHandler() = default;
  virtual std::expected<HandlerOutcome, VmError> handle(Vm& vm, Spur operation,
                                                        std::vector<Value> args) = 0;
};

struct HostFunction {
  std::string name;
  std::shared_ptr<HostCallable> callable;
};

enum class DocKind : std::uint8_t { Def = 0, Defn = 1, Defmacro = 2, Builtin = 3 };

struct DocEntry {
  std::optional<SourceSpan> location;
  std::string text;
  DocKind kind = DocKind::Builtin;
};

struct TraceEntry {
  std::optional<SourceSpan> location;
  // The prototype's name; none for anonymous functions and top-level forms.
  std::optional<std::string> function_name;
};

// The error of a failed outermost run: the VmError with where it happened. Its display text is
// the VmError's; location and trace are data for the host and are never printed.
struct RuntimeError {
  std::optional<SourceSpan> location;
  VmError error;
  std::vector<TraceEntry> trace;
};

void format_runtime_error(const RuntimeError& e, std::string& out);
std::string to_string(const RuntimeError& e);

// Polled by the run loop at a bounded interval of backward jumps and calls, and by long walks over
// data (through Vm::stop_walk). Answering an error ends the run with it: the error is not offered
// to `exn`, and nested runs pass it outwards unchanged. The Python layer uses it for Ctrl-C.
using InterruptHook = std::optional<VmError> (*)(void* data);

// How many backward jumps and calls pass between two polls of the interrupt hook.
inline constexpr std::uint32_t kInterruptInterval = 4096;

// The value stack: a growable array of Values. Indices stay valid across growth; pointers into it
// (data(), operator[] references) do not survive a push.
class ValueStack {
public:
  ValueStack() = default;
  ValueStack(const ValueStack&) = delete;
  ValueStack& operator=(const ValueStack&) = delete;
  ~ValueStack() { std::free(data_); }

  std::size_t size() const { return static_cast<std::size_t>(top_ - data_); }
  bool empty() const { return top_ == data_; }
  std::size_t capacity() const { return static_cast<std::size_t>(end_ - data_); }
  void reserve(std::size_t n) {
    if (n > capacity()) grow_to(n);
  }

  Value& operator[](std::size_t i) { return data_[i]; }
  const Value& operator[](std::size_t i) const { return data_[i]; }
  Value* data() { return data_; }
  const Value* data() const { return data_; }
  Value& back() { return top_[-1]; }
  std::span<const Value> view() const { return {data_, size()}; }

  [[gnu::always_inline]] void push_back(const Value& v) {
    if (top_ == end_) [[unlikely]] {
      push_grow(v);
      return;
    }
    *top_++ = v;
  }
  void pop_back() { --top_; }
  // Appends n nils.
  void push_nils(std::size_t n) {
    reserve_extra(n);
    for (std::size_t i = 0; i < n; ++i)
      top_[i] = Value::nil();
    top_ += n;
  }
  void reserve_extra(std::size_t n) {
    const std::size_t used = size();
    const std::size_t cap = capacity();
    if (cap - used < n) grow_to(used + n > cap * 2 ? used + n : cap * 2);
  }
  // Cuts the stack to `n` values when it is longer; never lengthens it.
  void truncate(std::size_t n) {
    if (n < size()) top_ = data_ + n;
  }
  void clear() { top_ = data_; }

  // The run loop keeps the top of the stack in a register and writes it back with this: `top`
  // lies within the buffer and the values below it are initialised.
  void set_top(Value* top) { top_ = top; }
  Value* top() { return top_; }
  Value* end() { return end_; }

private:
  void grow_to(std::size_t n);
  [[gnu::noinline]] void push_grow(Value v);

  Value* data_ = nullptr;
  Value* top_ = nullptr;
  Value* end_ = nullptr;
};

// The frame stack: a growable array of CallFrames (trivially copyable), with the few vector
// operations the machine and its host use. Pointers into it do not survive a push.
class FrameStack {
public:
  FrameStack() = default;
  FrameStack(const FrameStack&) = delete;
  FrameStack& operator=(const FrameStack&) = delete;
  ~FrameStack() { std::free(data_); }

  std::size_t size() const { return static_cast<std::size_t>(top_ - data_); }
  bool empty() const { return top_ == data_; }
  std::size_t capacity() const { return static_cast<std::size_t>(end_ - data_); }
  bool full() const { return top_ == end_; }
  void reserve(std::size_t n) {
    if (n > capacity()) grow_to(n);
  }

  CallFrame& operator[](std::size_t i) { return data_[i]; }
  const CallFrame& operator[](std::size_t i) const { return data_[i]; }
  CallFrame& back() { return top_[-1]; }
  const CallFrame& back() const { return top_[-1]; }
  CallFrame* begin() { return data_; }
  CallFrame* end() { return top_; }
  const CallFrame* begin() const { return data_; }
  const CallFrame* end() const { return top_; }
  std::reverse_iterator<const CallFrame*> rbegin() const {
    return std::reverse_iterator<const CallFrame*>(top_);
  }
  std::reverse_iterator<const CallFrame*> rend() const {
    return std::reverse_iterator<const CallFrame*>(data_);
  }

  void push_back(const CallFrame& f) {
    if (top_ == end_) [[unlikely]] {
      const CallFrame copy = f; // f may live in the buffer that grows
      grow_to(capacity() < 32 ? 64 : capacity() * 2);
      *top_++ = copy;
      return;
    }
    *top_++ = f;
  }
  // A new default frame on top; the caller has made sure there is room (!full()).
  CallFrame& push_unchecked() {
    static constexpr CallFrame kFresh{};
#if defined(__GNUC__) || defined(__clang__)
    // Four 16-byte moves. A plain 64-byte copy may be compiled as a string move, whose start-up
    // alone costs more than the rest of an inline call.
    typedef long long Chunk __attribute__((vector_size(16), may_alias, aligned(8)));
    const Chunk* from = reinterpret_cast<const Chunk*>(&kFresh);
    Chunk* to = reinterpret_cast<Chunk*>(top_);
    to[0] = from[0];
    to[1] = from[1];
    to[2] = from[2];
    to[3] = from[3];
#else
    std::memcpy(static_cast<void*>(top_), &kFresh, sizeof(CallFrame));
#endif
    return *top_++;
  }
  void pop_back() { --top_; }
  // Cuts the stack to n frames, or grows it with default frames.
  void resize(std::size_t n) {
    if (n <= size()) {
      top_ = data_ + n;
      return;
    }
    reserve(n);
    while (size() < n)
      *top_++ = CallFrame{};
  }
  void clear() { top_ = data_; }

private:
  void grow_to(std::size_t n);

  CallFrame* data_ = nullptr;
  CallFrame* top_ = nullptr;
  CallFrame* end_ = nullptr;
};

// See Vm::host_root_sets.
struct HostRootSet {
  std::vector<Value> values;
};

struct Vm final : RootSource, WalkMonitor {
  Vm();
  Vm(const Vm&) = delete;
  Vm& operator=(const Vm&) = delete;
  Vm(Vm&&) = delete;
  Vm& operator=(Vm&&) = delete;
  ~Vm();

  // The variant tag of `Reduced` (variant 0 of the prelude type `ReduceSignal`), set by the host
  // after the prelude has run; read by `reduce` only.
  std::optional<VariantTag> reduce_signal_type;
  Heap heap;
  Interner interner;
  // A global's name to its position in `globals`.
  std::unordered_map<Spur, std::uint32_t, FxHash> global_index;
  // Names compiled code reads before they have a global, to the slot of `globals` kept for each
  // (see reserve_global). A name leaves this table for global_index when it is defined.
  std::unordered_map<Spur, std::uint32_t, FxHash> reserved_globals;
  // Each, Vals, Keys, Deep, Some: roots, so they live even when their globals are redefined.
  std::array<HeapKey, 5> builtin_optics{};
  std::unordered_map<EffectId, std::shared_ptr<HostHandler>> host_handlers;
  std::unordered_map<Spur, DocEntry, FxHash> docs;
  // Id of the next effect made at run time; the built-in ids are never handed out.
  EffectId next_effect_id = 1;
  ValueStack stack;
  FrameStack frames;
  std::vector<HandlerEntry> handlers;
  std::vector<Value> globals;
  // A prototype is named by its index and never changes while it lives. The collector frees the
  // prototypes that nothing can run any more (see PrototypeSlot); add_prototype reuses their
  // positions, lowest first, so the table stays as large as what is reachable. A freed position
  // holds an empty prototype.
  std::vector<Prototype> prototypes;
  // The builtin table; a row's position is its native index.
  std::vector<Builtin> natives;
  // The closures of the macro table; collector roots. Rebuilt by the host after each compile.
  std::vector<HeapKey> macro_roots;
  TypeRegistry types;
  // Host function k has the native index natives.size() + k.
  std::vector<HostFunction> host_functions;
  // Macro name to its expander closure; lent to the compiler for each top-level form.
  std::unordered_map<Spur, HeapKey, FxHash> macros;
  // Values a host keeps for this machine between evaluations (an agent journal's revisions):
  // roots for as long as the host keeps its set alive. Expired sets are dropped when a new one
  // is added.
  std::vector<std::weak_ptr<const HostRootSet>> host_root_sets;
  // Unique among the machines of this process and never reused, so that host data bound to one
  // machine (an agent journal) can tell it from any other, even one at the same address.
  const std::uint64_t serial;

  // Polled by the run loop (see InterruptHook); none by default.
  InterruptHook interrupt_hook = nullptr;
  void* interrupt_data = nullptr;

  // The machine's roots, in the collector's order.
  void append_roots(std::vector<HeapKey>& out) const override;
  // A collection marks the prototypes that can still run: those of the call frames, of the
  // handler entries, the pinned ones, and, transitively, those a marked prototype makes closures
  // of (its MakeClosure words; templates are constants and so heap objects) and those named by
  // marked closures, templates and continuations. A marked prototype's constants are marked with
  // it. The unmarked ones are freed at the end of the mark.
  void begin_collection(std::vector<HeapKey>& work) override;
  void trace_code(const HeapObject& object, std::vector<HeapKey>& work) override;
  void end_collection() override;

  // What the collector keeps of each position of `prototypes` (same length).
  struct PrototypeSlot {
    // The prototypes its MakeClosure words name.
    std::vector<std::uint32_t> children;
    bool live = false;
    bool marked = false;
  };
  std::vector<PrototypeSlot> prototype_slots;
  // Freed positions below the table's end, highest first: add_prototype takes the last.
  std::vector<std::uint32_t> free_prototypes;
  // Prototypes kept whatever else refers to them, for as long as a PrototypePin lives: a host
  // holds the index of one it is about to run (call_prototype before its frame exists).
  std::vector<std::uint32_t> prototype_pins;
  // Prototypes freed so far (statistics for tests and benchmarks).
  std::uint64_t prototypes_freed = 0;
  // Prototypes added since the last collection, and how many were live after it: code that
  // allocates nothing on the heap (a host evaluating `(f 1)` again and again) still makes a
  // prototype per form, so forms pace a collection of their own (collect_code_if_due).
  std::uint64_t prototypes_added = 0;
  std::uint32_t prototypes_live = 0;
  // Polls the interrupt hook for a long walk over data (equality, hashing, printing, copying
  // out); an error ends every run in progress, as from the run loop, and is kept in
  // walk_stop_error: the walk itself can only report ValueFault::Interrupted.
  bool stop_walk() override;
  // The hook's error that stopped a walk, until the outermost run ends with it in place of the
  // fault's text.
  std::optional<VmError> walk_stop_error;

  // ---- Run-loop bookkeeping. Not for use outside the machine's own sources. ----
  // Backward jumps and calls left until the next poll of the interrupt hook.
  std::uint32_t interrupt_countdown = kInterruptInterval;
  // Set when the hook or a stack overflow has ended the run: every enclosing run passes the
  // error on without offering it to the program. Cleared when the outermost run returns.
  bool run_aborting = false;
  // Set by a PushHandler that failed: the code index just past its `with-handler` form. A program
  // that takes the error over goes on from there with its value as the form's value; the body,
  // whose PopHandler would remove some other entry, does not run.
  std::optional<std::uint32_t> refused_handler_end;
  // Runs of the loop in progress, innermost last (see RunRecord).
  std::vector<RunRecord> runs;
  // The id the next run gets; ids are never reused.
  std::uint64_t next_run_id = 1;
  // An unwind removed the root frame of one or more runs (RunRecord::cut): set until the run the
  // unwind landed in sees its native call come back.
  bool unwind_past_native = false;
  // A perform whose handler entry lies outside the run it was made in (below a native function
  // that called back into the language). The run ends with an unhandled-effect error for the
  // effect, which travels out through the native functions until the run that holds the entry
  // takes it and performs this there. Its arguments are roots.
  struct PendingPerform {
    EffectId effect = 0;
    Spur operation = 0;
    std::vector<Value> args;
  };
  std::optional<PendingPerform> pending_perform;
  // The names an error offered to `exn` is made with (:type, :message, raise, then one per error
  // kind), each its interned id + 1 once first used.
  std::array<std::uint32_t, 3 + 32> error_names{};
  // The map the last error offered to `exn` was described by, with its kind and display text:
  // maps and strings never change once made, so while it lives an error of the same kind and
  // text gets it again (the key goes stale when it is collected).
  HeapKey last_error_map{};
  std::uint32_t last_error_kind = 0;
  std::string last_error_text;
  // The value and frame copies of continuations already resumed, for the next captures to
  // reuse (at most kSpareBuffers of each, none longer than kSpareCapacity).
  static constexpr std::size_t kSpareBuffers = 4;
  static constexpr std::size_t kSpareCapacity = 256;
  std::vector<std::vector<Value>> spare_values;
  std::vector<std::vector<CallFrame>> spare_frames;
  // The serial the next installed handler entry receives.
  std::uint64_t next_handler_serial = 1;
  // The frame the run loop's last inline call pushed and the caller's registers at that call;
  // valid only while that run's registers are (see run_loop.cpp).
  struct InlineReturn {
    const CallFrame* frame = nullptr;
    const Instruction* code = nullptr;
    const Value* consts = nullptr;
    const Instruction* ip = nullptr;
    Value* bp = nullptr;
  } inline_return;
  // One-clause function records of plain prototypes, made once per prototype for MakeClosure.
  std::vector<FunctionRef> plain_functions;
  // What the run loop reads of each prototype, gathered in one small record and checked once
  // when it is made: constant operands lie inside the constant table, jumps land inside the
  // code, and the code cannot run off its end. Code that breaks one of these rules runs from a
  // copy in which each offending word is replaced by a trap (an internal error when executed)
  // and a trap word follows the last instruction; `trapped` lists the replaced positions.
  // Prototypes never change while they live and their arrays do not move when `prototypes`
  // grows, so the pointers stay valid; records for newly appended prototypes are made on first
  // use, and a reused position gets its record at once.
  struct PrototypeView {
    // The threaded form (vm/fusion.hpp), and the checked words it was made from.
    const Instruction* code = nullptr;
    const Instruction* plain = nullptr;
    const Value* constants = nullptr;
    std::uint32_t code_size = 0;
    std::uint32_t constant_count = 0;
    std::uint32_t local_count = 0;
    std::uint32_t patched = 0;
  };
  std::vector<PrototypeView> prototype_views;
  // The patched copies of code that failed the checks and the threaded forms, by prototype, and
  // the trapped positions.
  std::unordered_map<std::uint32_t, std::vector<std::unique_ptr<Instruction[]>>> patched_code;
  std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> trapped_positions;
  // Code for boundary frames: a copy of a prototype's code with the stop word in place of the
  // instruction at the frame's stop point, by (prototype << 32 | stop point).
  std::unordered_map<std::uint64_t, std::unique_ptr<Instruction[]>> boundary_code;
  // global_index as a dense table by name id (position + 1; 0 for an unbound name), kept by
  // define_global, so that reading a global by name costs no hashing.
  std::vector<std::uint32_t> global_slots;

  // The position of the global bound to `name`, when there is one.
  std::optional<std::uint32_t> find_global(Spur name) const {
    if (name >= global_slots.size() || global_slots[name] == 0) return std::nullopt;
    return global_slots[name] - 1;
  }
};

// A fresh machine without a macro table (the creator adds it empty before first use): the heap
// with the five predefined optics, the builtin table and its documentation, the stacks, the
// builtins bound as globals 0 to 158, the effects exn, console and random as globals 159 to 161,
// and the optic globals each, _vals, _keys, deep, DEEP and _some as 162 to 167.
std::unique_ptr<Vm> vm_new();

// Binds the name: overwrites an existing global in place, fills the slot reserved for the name,
// else appends a new one.
void define_global(Vm& vm, Spur name, Value value);

// What a reserved global slot holds until its name is defined: a nil with a payload no nil built
// by the value constructors has. Only `globals` ever holds it, and only GetGlobalIndexed reads a
// slot without going through global_index; it turns the marker into the error of an undefined
// variable (unbound_global_read), so no program, printer or host sees it. Being a nil, it is no
// collector root.
inline constexpr std::int64_t kUnboundGlobalPayload = 0x556e626f756e6421; // "!dnuobnU"
constexpr Value unbound_global() {
  Value v{};
  v.as.integer = kUnboundGlobalPayload;
  return v;
}
constexpr bool may_be_unbound_global(const Value& v) {
  return v.tag == Tag::Nil && v.as.integer == kUnboundGlobalPayload;
}

// The position of the global bound to `name`, or of the slot reserved for it; when the name has
// neither, a slot holding unbound_global() is appended for it, unless its position would not fit
// a 16-bit operand (then none). Compiled code can then read the name by index even before it is
// defined; define_global fills the slot, so reads by name and by index always agree.
std::optional<std::uint32_t> reserve_global(Vm& vm, Spur name);

// The error of an indexed read of slot `index` holding the marker: "Undefined variable" with the
// reserved name, as a read by name says it. None when the slot is not reserved (a plain nil that
// happens to carry the marker's payload), which then reads as that value.
std::optional<VmError> unbound_global_read(const Vm& vm, std::uint32_t index);

// The id of the effect the global spelled `name` holds, if it holds a live effect. Never interns.
std::optional<EffectId> find_effect_id(const Vm& vm, std::string_view name);

// Stores the prototype as it is and answers its index: the lowest freed position, else a new one
// at the end.
std::uint32_t add_prototype(Vm& vm, Prototype prototype);

// The indices the next `count` calls of add_prototype will answer, in order, as long as no
// collection runs in between.
std::vector<std::uint32_t> next_prototype_indices(const Vm& vm, std::size_t count);

// Collects when the prototypes added since the last collection are as many as the larger of
// 1024, the prototypes live after it and a quarter of the heap's live objects (a prototype holds
// a few objects' worth of memory), so that their memory stays proportional to what is live and
// the cost of collecting stays proportional to what was added. Never while a native function is
// in progress. The host calls it between top-level forms, when nothing but the machine's roots
// is held.
void collect_code_if_due(Vm& vm);

// Keeps one prototype from being freed while the pin lives. Pins nest (LIFO).
class PrototypePin {
public:
  PrototypePin(Vm& vm, std::uint32_t index) : vm_(vm) { vm_.prototype_pins.push_back(index); }
  ~PrototypePin() { vm_.prototype_pins.pop_back(); }
  PrototypePin(const PrototypePin&) = delete;
  PrototypePin& operator=(const PrototypePin&) = delete;

private:
  Vm& vm_;
};

// The name of the first live effect object with that id, when it has one.
std::optional<std::string> find_effect_name(const Vm& vm, EffectId id);

// Runs prototype `index` with `args` to completion as the outermost run. On failure the value,
// frame and handler stacks are cut back to their heights at entry.
std::expected<Value, RuntimeError> call_prototype(Vm& vm, std::uint32_t index,
                                                  std::span<const Value> args);

// Calls any callable value from native code: builtins and host functions directly, keywords,
// sets and maps by lookup, closures in a nested run of the loop. Vectors and continuations are
// not callable from here. After a failed nested run the stacks are cut back to their heights at
// entry before the error is returned. A closure's run may collect (CollectionAllowed), whatever
// natives are in progress. The answer is not rooted: the caller keeps it alive itself (RootScope)
// before anything else can collect, its own next callback included.
NativeResult call_value_from_native(Vm& vm, Value callee, std::span<const Value> args);

// The calls of one callee that a builtin makes for each element of a collection (`map`, `filter`,
// `reduce`...): each answers exactly what call_value_from_native would, but the nesting guard is
// taken once for the whole walk and a closure or native callee skips the general dispatch. The
// arguments must not point into the value stack. Polls for interrupts on every call.
class RepeatedCall {
public:
  RepeatedCall(Vm& vm, Value callee);
  RepeatedCall(const RepeatedCall&) = delete;
  RepeatedCall& operator=(const RepeatedCall&) = delete;

  NativeResult operator()(std::span<const Value> args);
  NativeResult operator()(const Value& x) { return (*this)(std::span<const Value>(&x, 1)); }
  NativeResult operator()(const Value& a, const Value& b) {
    const Value pair[2] = {a, b};
    return (*this)(std::span<const Value>(pair, 2));
  }

  // One step of a walk: the arguments of call i (in order, each asked for once, not pointing into
  // the value stack; they must stay valid until the next step is asked for), and the taking of
  // its answer, which says whether the walk goes on. Both run as the builtin's own code: nothing
  // collects while they run.
  class Steps {
  public:
    virtual std::span<const Value> args(std::size_t i) = 0;
    virtual std::expected<bool, VmError> take(std::size_t i, Value answer) = 0;

  protected:
    ~Steps() = default;
  };
  // Makes calls 0 .. count-1 as operator() would, each answer taken before the next call starts,
  // and stops at the first error (a callback's, a poll's, or take's own) and answers it. A closure
  // callee's calls all run in one run of the loop.
  std::optional<VmError> each(std::size_t count, Steps& steps);
  template <class ArgsOf, class Take>
  std::optional<VmError> each(std::size_t count, ArgsOf&& args_of, Take&& take_answer) {
    struct Lambdas final : Steps {
      Lambdas(ArgsOf& a, Take& t) : a_(a), t_(t) {}
      std::span<const Value> args(std::size_t i) override { return a_(i); }
      std::expected<bool, VmError> take(std::size_t i, Value answer) override {
        return t_(i, answer);
      }
      ArgsOf& a_;
      Take& t_;
    } steps(args_of, take_answer);
    return each(count, static_cast<Steps&>(steps));
  }

private:
  class Feed;
  bool start_call(std::span<const Value> args, std::optional<VmError>& error);
  enum class Kind : std::uint8_t { Closure, Native, Other };
  static constexpr std::uint32_t kNoPlan = 0xFFFFFFFFu;
  void plan(std::uint32_t argc);

  Vm& vm_;
  Value callee_;
  Kind kind_;
  // For a closure called with plan_argc_ arguments, when the clause that takes them is plain:
  // its body prototype and local count, so a call only pushes the frame (kNoPlan: select the
  // clause at every call). The closure is rooted by the builtin and its clauses never change.
  std::uint32_t plan_argc_ = kNoPlan;
  std::uint32_t plan_body_ = kNoPlan;
  std::uint32_t plan_locals_ = 0;
  // Held from the first call on: every call nests one level below the builtin, never deeper.
  std::optional<DepthGuard> guard_;
};

// Counts one step of a long native walk that calls nothing back (calls back count themselves), and
// polls the interrupt hook every kInterruptInterval steps; an error ends every run in progress.
std::optional<VmError> count_native_step(Vm& vm);

// Calls builtin row `index`, or host function index - natives.size(). Leaves native_depth alone.
NativeResult call_native(Vm& vm, std::uint16_t index, std::span<const Value> args);

// Registers a host function and binds its name to Value::native_fn(index). Indices past 65,535
// are refused.
std::expected<std::uint32_t, VmError>
register_host_function(Vm& vm, std::string_view name, std::shared_ptr<HostCallable> callable);

// The location and frame trace of an error raised with the machine's current frames.
RuntimeError attach_error_location(const Vm& vm, VmError error);
std::vector<TraceEntry> collect_frame_trace(const Vm& vm);

// Offers a runtime error to the program as `raise` of `exn`. Answers success when the program
// took it over (execution continues where the perform left the machine), else the error itself.
std::expected<void, VmError> raise_runtime_error(Vm& vm, VmError error);

// Performs operation `op` of effect `id` with the arguments: an in-language handler entry or the
// host handler for the id. On success the perform's value is on the stack (host handler) or a
// clause frame was pushed.
std::expected<void, VmError> perform_effect(Vm& vm, EffectId id, Spur op, std::vector<Value> args);

// Cuts the value, frame and handler stacks back to those heights (never lengthens them). A
// resumption whose boundary frame is cut away gives its handler entry back to the clause that
// resumed it, as the boundary's return would: the entry is busy again.
void cut_stacks(Vm& vm, std::size_t stack_height, std::size_t frame_count,
                std::size_t handler_count);

} // namespace quorvex
