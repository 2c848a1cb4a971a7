// The run loop: one body, three kinds of run (RunKind in vm.hpp), 43 opcodes.
//
// Rules of correctness.
//
//  1. The loop keeps the running frame's state in locals: `ip`, `code`, `consts`, and the value
//     stack as `stack_lo`, `sp` (the top), `stack_hi` and `bp` (local slot 0). The frame's own
//     `ip` and the stack's own top are stale while the loop runs. OUT() writes both back before
//     every call out of the loop body (native functions, closure entry, allocation, the interrupt
//     hook, error construction, effects); IN() reloads every local from the machine afterwards,
//     since the call may have pushed or popped frames, grown the stack (moving it) or collected.
//     No local is live across such a call, which also keeps the register allocator from spilling
//     the hot ones. The inline closure call and return set the locals directly and call nothing.
//  2. `code` and `consts` point into a prototype's own arrays (or a checked copy of its code,
//     see Vm::PrototypeView). Prototypes are immutable while they live, and a running frame keeps
//     its prototype alive; growth of `vm.prototypes` moves the records, not their arrays, so the
//     pointers stay valid.
//  3. Each prototype's code is checked once before it first runs: constant operands lie inside
//     the constant table, jump targets inside the code, and the last word cannot fall through.
//     Code that breaks a rule runs from a copy with trap words, which end the run with an internal
//     error. So fetching needs no bounds test and operands no range test.
//  4. Nothing in the loop holds a pointer or reference into the value stack, the frame stack, the
//     globals or the heap's slot table across a push, an allocation, a collection or a call back
//     into the machine: such a call is bracketed by OUT()/IN(), values are copied first, and stack
//     slots are re-derived afterwards.
//  5. Which instructions may collect: MakeClosure and MakeTemplateClosure (before they build
//     anything, while the captured values are still on the stack), MakeList, MakeVector,
//     MakeMap, MakeSet and MakeVariant (before they build, and MakeMap and MakeSet again while
//     making canonical keys, the elements still on the stack), a closure call that builds a rest
//     list or matches patterns (arguments and prepared locals live on the stack), CallBuiltin's
//     `conj` of one element onto a vector (both operands on the stack), and an error offered to
//     the program. Every value such an instruction works on stays on the value stack until the
//     object built from it is in the heap, so the collector sees it as a root.
//  6. Native functions run with heap.native_depth raised, so nothing collects until they return
//     or call back into the language (a callback's run may collect). Their arguments are copied
//     into a buffer off the stack first and rooted for the call; the stack may then grow or
//     shrink freely under them.
//  7. The end test of a run compares the frame count with the run's frame
//     depth. The count falls only by a return (Return, a native tail call, a boundary return, the
//     unwinding return of a handler clause), so the test is made after those and nowhere else.
//     After a perform and after an error the program took over, the loop goes straight to the
//     next fetch. A run whose root frame an unwind cut away (RunRecord::cut) ends at the test.
//     The run of a walk (RunRecord::feed) hands each answer of its root frame to the feed, out
//     of the loop body like any call; when the feed has pushed the next call's root frame, the
//     loop reloads its registers (IN()) and goes on there, else the run ends.
//  8. A boundary frame runs a copy of its code with a stop word at its stop point; fetching the
//     stop word ends the frame before the instruction there runs.
//  9. Every call of compiled code and every backward jump counts down to a poll of the interrupt
//     hook; an error it answers ends every run in progress (Vm::run_aborting).
// 10. Integer arithmetic never wraps: a result outside 64 bits is "ratio overflow", and the
//     remainder by -1 is computed without executing the trapping division.
// 11. The threaded dispatch leaves scopes by computed goto, which runs no destructors: no object
//     with a destructor is alive at a DISPATCH(); slow paths live in functions of their own.
// 12. Ordinary frames run the threaded form of their code (vm/fusion.hpp): the same words at
//     the same positions, the first word of some common sequences replaced by a fused word
//     that runs the whole sequence in one step. A fused word runs whole only where it cannot
//     fail (integers without overflow, locals inside the frame, the cached callee of rule 13
//     when the call would not poll); otherwise it runs its first word alone, as that word's own
//     opcode, and the others follow one by one, so every error, poll and collection happens
//     exactly as without fusion. Boundary frames run the unfused checked code, so their stop
//     word (rule 8) is fetched as usual; trap words (rule 3) are never part of a sequence.
// 13. The inline call caches the last closure it entered: its key, the prototype of its plain
//     first clause, that clause's arity, and the heap's collection count at the time. A callee
//     with the same key, called with that many arguments while the count is unchanged, is that
//     closure: only a sweep frees a slot (bumping its version, so a reused slot never matches
//     the old key), every sweep raises the count, and a closure's function never changes.
//     Only a collection frees a prototype, and the closure keeps its own alive, so the cached
//     index stays valid while the count is unchanged, and so does the cache's copy of the view,
//     whose pointers name the prototype's own arrays (rule 2). The cache holds nothing of the
//     heap or the stacks and lives for one run of the loop; a cached call pushes the same frame,
//     polls and counts exactly as the uncached one.
// 14. The callee cache of rule 13 also keeps that closure's captured values (pointer and count).
//     A closure's captures are made with it and never change length, so their buffer stays
//     where it is until the closure is freed, which only a sweep does (raising the count). A
//     frame whose closure has the cached key, while the count is unchanged, reads its captured
//     values there instead of through the heap's slot table.
// 15. The inline call also leaves in the machine (Vm::inline_return) the frame it pushed and its
//     caller's registers. While that frame is on top, it is the one the call pushed and nothing
//     has left the loop body since: frames are pushed and popped outside it only by calls out,
//     and IN() clears the record, as does the return that uses it; the general fast return
//     cannot pop that frame (it tests what this one tests), and the frame stack does not move
//     without a call out. Its return then restores those registers without looking at the
//     caller's frame or view. The record lives in the machine rather than in locals of this
//     function: as locals, they cost every other path registers (`fib` slowed down by a tenth).
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "util/internal_error.hpp"
#include "value/equality.hpp"
#include "value/keys.hpp"
#include "value/numbers.hpp"
#include "value/scalar_store.hpp"
#include "vm/fusion.hpp"
#include "vm/instruction.hpp"
#include "vm/machine_internal.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

#if !defined(QUORVEX_SWITCH_DISPATCH) && (defined(__GNUC__) || defined(__clang__))
#define QV_COMPUTED_GOTO 1
#else
#define QV_COMPUTED_GOTO 0
#endif

namespace quorvex::machine {

namespace {

// Helpers for the instructions that build objects or take a slow path. They run out of the loop
// body so that no object with a destructor is alive when the loop dispatches: a computed goto
// leaves a scope without running destructors. Each answers false and sets `err` on failure.

bool take(std::expected<void, VmError>&& r, VmError& err) {
  if (!r) {
    err = std::move(r.error());
    return false;
  }
  return true;
}

// The one-clause record of a plain prototype, made once and shared by all its closures.
const FunctionRef& plain_function(Vm& vm, std::uint32_t proto) {
  if (vm.plain_functions.size() <= proto) vm.plain_functions.resize(vm.prototypes.size());
  FunctionRef& ref = vm.plain_functions[proto];
  if (ref.empty()) {
    const Prototype& p = vm.prototypes[proto];
    ref = FunctionRef::plain(proto, p.arity, p.is_variadic);
  }
  return ref;
}

bool ordering_test(int ordering, Opcode op) {
  switch (op) {
  case Opcode::Lt:
    return ordering < 0;
  case Opcode::Le:
    return ordering <= 0;
  case Opcode::Gt:
    return ordering > 0;
  default:
    return ordering >= 0;
  }
}

bool double_test(double x, double y, Opcode op) {
  switch (op) {
  case Opcode::Lt:
    return x < y;
  case Opcode::Le:
    return x <= y;
  case Opcode::Gt:
    return x > y;
  default:
    return x >= y;
  }
}

// The slow paths of the two-operand instructions. Each pops its operands off the machine's stack
// (which the loop has synchronised) and pushes the result, or fails with `err`.
[[gnu::noinline]] bool binary_op(Vm& vm, Opcode op, VmError& err) {
  ValueStack& st = vm.stack;
  const Value b = st[st.size() - 1];
  const Value a = st[st.size() - 2];
  st.truncate(st.size() - 2);
  std::expected<Value, VmError> r;
  switch (op) {
  case Opcode::Add:
    r = arith_values(a, b, RationalOp::Add);
    break;
  case Opcode::Sub:
    r = arith_values(a, b, RationalOp::Subtract);
    break;
  case Opcode::Mul:
    r = arith_values(a, b, RationalOp::Multiply);
    break;
  case Opcode::Div:
    r = divide_values(a, b);
    break;
  case Opcode::Rem:
    r = remainder_values(a, b);
    break;
  case Opcode::Eq:
  case Opcode::NotEq: {
    Guarded<bool> eq = values_equal(vm.heap, a, b);
    if (!eq) {
      err = to_vm_error(eq.error());
      return false;
    }
    r = Value::from_bool(op == Opcode::Eq ? *eq : !*eq);
    break;
  }
  default: {
    const bool a_plain = a.tag == Tag::Int || a.tag == Tag::Float;
    const bool b_plain = b.tag == Tag::Int || b.tag == Tag::Float;
    if (a_plain && b_plain) {
      r = Value::from_bool(double_test(double_view(a), double_view(b), op));
      break;
    }
    std::expected<int, VmError> ordering = compare_numbers(a, b);
    if (!ordering) {
      err = std::move(ordering.error());
      return false;
    }
    r = Value::from_bool(ordering_test(*ordering, op));
    break;
  }
  }
  if (!r) {
    err = std::move(r.error());
    return false;
  }
  st.push_back(*r);
  return true;
}

[[gnu::noinline]] bool negate_op(Vm& vm, VmError& err) {
  const Value a = vm.stack.back();
  vm.stack.pop_back();
  std::expected<Value, VmError> r = negate_value(a);
  if (!r) {
    err = std::move(r.error());
    return false;
  }
  vm.stack.push_back(*r);
  return true;
}

void define_global_op(Vm& vm, Spur name, Value v) {
  define_global(vm, name, v);
  // An effect takes its name from the first global it is bound to.
  Effect* effect = v.tag == Tag::Object ? heap_get_mut_as<Effect>(vm.heap, v.as.key) : nullptr;
  if (effect != nullptr && effect->name == 0) effect->name = name;
}

bool poll_failed(Vm& vm, VmError& err) {
  std::optional<VmError> e = poll_interrupt(vm);
  if (!e) return false;
  err = std::move(*e);
  return true;
}

VmError local_out_of_bounds(const Vm& vm, std::uint32_t slot) {
  return VmError::index_out_of_bounds(slot, vm.stack.size());
}

// MakeClosure and MakeTemplateClosure, once the record is known: the `count` captured values are
// still on the stack, so they are roots if the collection test collects.
void make_closure(Vm& vm, const FunctionRef& function, std::uint32_t count) {
  ValueStack& st = vm.stack;
  collect_if_due(vm.heap);
  Closure clo{function, {}};
  const std::size_t n = st.size();
  if (count > 0) clo.captures.assign(st.data() + (n - count), st.data() + n);
  HeapKey key = heap_insert(vm.heap, HeapObject(std::move(clo)));
  st.truncate(n - count);
  st.push_back(Value::object(key));
}

bool make_template_closure(Vm& vm, const Value* consts, std::size_t const_count,
                           std::uint32_t index, std::uint32_t count, VmError& err) {
  if (index >= const_count || consts[index].tag != Tag::Object) {
    err = VmError::type_error("expected closure template constant");
    return false;
  }
  const ClosureTemplate* tpl = heap_get_as<ClosureTemplate>(vm.heap, consts[index].as.key);
  if (tpl == nullptr) {
    err = VmError::type_error("expected closure template");
    return false;
  }
  FunctionRef function = tpl->function;
  if (vm.stack.size() < count) {
    vm.stack.clear();
    err = VmError::stack_underflow();
    return false;
  }
  make_closure(vm, function, count);
  return true;
}

// Literal instructions test for a collection like every other allocation: a loop that builds a
// literal per iteration and drops it must not grow without bound. The elements are still on the
// value stack, so they are roots while the collector runs.
void make_seq(Vm& vm, std::size_t count, bool is_vector) {
  ValueStack& st = vm.stack;
  collect_if_due(vm.heap);
  const std::size_t n = st.size();
  if (count > n) count = n;
  SeqObject seq;
  seq.items = ValueVector::from_range(st.data() + (n - count), st.data() + n);
  seq.is_vector = is_vector;
  HeapKey key = heap_insert(vm.heap, HeapObject(std::move(seq)));
  st.truncate(n - count);
  st.push_back(Value::object(key));
}

// MakeMap and MakeSet. The taken values stay on the stack, as roots, while canonical keys are
// made (which may collect); the builders work from a copy.
bool make_map_or_set(Vm& vm, std::size_t count, bool is_map, VmError& err) {
  ValueStack& st = vm.stack;
  collect_if_due(vm.heap);
  const std::size_t n = st.size();
  if (count > n) count = n;
  std::vector<Value> values(st.data() + (n - count), st.data() + n);
  HeapObject object;
  if (is_map) {
    Guarded<ValueMap> map = build_map_from_pairs(vm.heap, values);
    if (!map) {
      st.truncate(n - count);
      err = to_vm_error(map.error());
      return false;
    }
    object = HeapObject(MapObject{std::move(*map)});
  } else {
    Guarded<ValueSet> set = build_set_from_values(vm.heap, values);
    if (!set) {
      st.truncate(n - count);
      err = to_vm_error(set.error());
      return false;
    }
    object = HeapObject(SetObject{std::move(*set)});
  }
  HeapKey key = heap_insert(vm.heap, std::move(object));
  st.truncate(n - count);
  st.push_back(Value::object(key));
  return true;
}

bool make_variant(Vm& vm, std::uint32_t type_id, std::uint32_t variant_index, VmError& err) {
  ValueStack& st = vm.stack;
  const TypeInfo* type = vm.types.find(type_id);
  if (type == nullptr) {
    err = VmError::type_error("unknown variant type");
    return false;
  }
  if (variant_index >= type->variants.size()) internal_error("variant index outside its type");
  const VariantInfo& info = type->variants[variant_index];
  std::size_t fields = info.field_names.size();
  if (fields == 0) {
    if (!info.singleton) internal_error("singleton missing for zero-field variant");
    st.push_back(Value::object(*info.singleton));
    return true;
  }
  collect_if_due(vm.heap);
  const std::size_t n = st.size();
  if (fields > n) fields = n;
  Variant variant;
  variant.fields.assign(st.data() + (n - fields), st.data() + n);
  variant.tag = VariantTag::make(type_id, variant_index);
  HeapKey key = heap_insert(vm.heap, HeapObject(std::move(variant)));
  st.truncate(n - fields);
  st.push_back(Value::object(key));
  return true;
}

// Perform (constant ab names the effect, which is also the operation) and PerformOp (constants
// a and b). The checks come before the global lookup, the lookup before the arguments are taken.
bool perform(Vm& vm, std::uint32_t word, const Value* consts, std::size_t const_count,
             VmError& err) {
  const bool qualified = Instruction(word).op() == Opcode::PerformOp;
  // A refused perform takes its arguments with it, so that an `exn` clause that resumes puts its
  // value where the perform's would have gone.
  auto refuse = [&vm, word, &err](VmError e) {
    const std::size_t n = vm.stack.size();
    vm.stack.truncate(n - std::min<std::size_t>(Instruction(word).c(), n));
    err = std::move(e);
    return false;
  };
  const std::uint32_t effect_index = qualified ? Instruction(word).a() : Instruction(word).ab();
  if (effect_index >= const_count) internal_error("constant index outside the table");
  const Value effect_sym = consts[effect_index];
  if (effect_sym.tag != Tag::Symbol)
    return refuse(VmError::type_error("expected symbol for effect"));
  Spur operation = effect_sym.as.spur;
  if (qualified) {
    const std::uint32_t op_index = Instruction(word).b();
    if (op_index >= const_count) internal_error("constant index outside the table");
    if (consts[op_index].tag != Tag::Symbol) {
      return refuse(VmError::type_error("expected symbol for operation"));
    }
    operation = consts[op_index].as.spur;
  }
  std::expected<EffectId, VmError> id = resolve_effect_symbol(vm, effect_sym);
  if (!id) return refuse(std::move(id.error()));
  ValueStack& st = vm.stack;
  std::size_t count = Instruction(word).c();
  const std::size_t n = st.size();
  if (count > n) count = n;
  if (perform_in_place(vm, *id, operation, count)) return true;
  // Room for the continuation a handler clause receives after the arguments.
  std::vector<Value> args;
  args.reserve(count + 1);
  args.assign(st.data() + (n - count), st.data() + n);
  st.truncate(n - count);
  return take(perform_effect(vm, *id, operation, std::move(args)), err);
}

bool resume(Vm& vm, VmError& err) {
  ValueStack& st = vm.stack;
  if (st.size() < 2) {
    st.clear();
    err = VmError::stack_underflow();
    return false;
  }
  const Value v = st.back();
  st.pop_back();
  const Value k = st.back();
  st.pop_back();
  if (!vm.frames.empty() && vm.frames.back().kind == FrameKind::InPlace) {
    finish_in_place(vm, v);
    return true;
  }
  if (k.tag != Tag::Object) {
    err = VmError::type_error("expected continuation");
    return false;
  }
  return take(resume_continuation(vm, k.as.key, v), err);
}

enum class CallOutcome : std::uint8_t { Failed, Continue, Finished };

// Every callee but a live closure, which the loop enters itself.
[[gnu::noinline]] CallOutcome call_other(Vm& vm, Value callee, std::uint32_t argc, bool tail,
                                         Value& result, VmError& err) {
  std::expected<OtherCallResult, VmError> r = call_non_closure(vm, callee, argc, tail);
  if (!r) {
    err = std::move(r.error());
    return CallOutcome::Failed;
  }
  if (r->finished) {
    result = r->value;
    return CallOutcome::Finished;
  }
  return CallOutcome::Continue;
}

// The size of the running frame's constant table, for the few words that check an operand
// against it at run time.
std::size_t frame_constant_count(Vm& vm) {
  return prototype_view(vm, vm.frames.back().prototype).constant_count;
}

// A failed global read names the global as the program wrote it: `foo/bar` reads `bar` but is
// reported as `foo/bar`. Needs the frame's ip saved (OUT()).
[[gnu::cold]] VmError as_written(const Vm& vm, VmError e) {
  if (vm.frames.empty()) return e;
  const CallFrame& frame = vm.frames.back();
  if (frame.prototype >= vm.prototypes.size() || frame.ip == 0) return e;
  if (std::optional<Spur> written = find_written_name(vm.prototypes[frame.prototype], frame.ip - 1))
    e.text = std::string(vm.interner.resolve(*written));
  return e;
}

[[gnu::cold]] VmError undefined_global(const Vm& vm, Spur name) {
  return as_written(vm, VmError::undefined_variable(std::string(vm.interner.resolve(name))));
}

// Whether a `with-handler` inside a guard's own run takes the error that ends a step of it: the
// innermost free entry for the effect the error would be offered as (`exn`, or the effect of a
// perform carried out of a callback) was installed by this run. Everything else a guard raises
// goes back to the call that ran the guard, which offers it in the caller's run.
bool guard_takes(const Vm& vm, const RunRecord& run, const VmError& e) {
  const EffectId id = carries_pending_perform(vm, e) ? vm.pending_perform->effect : kExnEffectId;
  for (std::size_t i = vm.handlers.size(); i-- > 0;) {
    const HandlerEntry& entry = vm.handlers[i];
    if (entry.effect_id == id && entry.active == 0) return i >= run.handler_count;
  }
  return false;
}

} // namespace

// Whether a vector has an element at `i`. Compares bytes, so that the test needs no division by
// the element's size as size() does.
template <class T>
[[gnu::always_inline]] inline bool has_index(const std::vector<T>& v, std::uint32_t i) {
  const auto bytes =
      static_cast<std::size_t>(reinterpret_cast<const char*>(std::to_address(v.end())) -
                               reinterpret_cast<const char*>(v.data()));
  return static_cast<std::size_t>(i) * sizeof(T) < bytes;
}

[[gnu::always_inline]] inline void put(Value* slot, Tag tag, std::uint64_t payload) {
  put_scalar(*slot, tag, payload);
}
[[gnu::always_inline]] inline void put_int(Value* slot, std::int64_t i) {
  put(slot, Tag::Int, static_cast<std::uint64_t>(i));
}
[[gnu::always_inline]] inline void put_bool(Value* slot, bool b) {
  put(slot, Tag::Bool, b ? 1 : 0);
}
[[gnu::always_inline]] inline void put_float(Value* slot, double d) {
  put(slot, Tag::Float, std::bit_cast<std::uint64_t>(d));
}

// One operation of a whole loop (LoopShape): whether it overflows, else its result in `r`.
[[gnu::always_inline]] inline bool loop_op(LoopShape::Op op, std::int64_t x, std::int64_t y,
                                           std::int64_t& r) {
  // Tests rather than a switch: a table jump per operation costs more than the operation.
  if (op == LoopShape::Add) [[likely]]
    return __builtin_add_overflow(x, y, &r);
  if (op == LoopShape::Sub) return __builtin_sub_overflow(x, y, &r);
  if (op == LoopShape::Mul) return __builtin_mul_overflow(x, y, &r);
  r = x;
  return false;
}
static_assert(LoopShape::kMaxCount == 3);
// CallBuiltin holds one across a DISPATCH() (rule 11).
static_assert(std::is_trivially_destructible_v<std::optional<Value>>);

std::expected<Value, VmError> execute(Vm& vm, RunRecord run) {
  ActiveRun active(vm, run);
  ValueStack& st = vm.stack;

  // The loop's registers. Nothing declared here may have a destructor that matters: the
  // threaded dispatch leaves scopes by computed goto.
  //
  // None of them is live across a call out of the loop body: OUT() writes ip and the stack top
  // back to the machine before every call, IN() reloads all of them afterwards. That keeps them
  // out of the way of the register allocator at the calls, which are all on cold paths.
  //
  // Fetches need no bounds test and constant operands no range test: prototype views are
  // checked once (refresh_prototype_views). A boundary frame runs a copy of its code whose word
  // at the stop point is kStopWord, which dispatches to the invalid-opcode path; that path ends
  // the frame.
  const Instruction* code = nullptr;
  const Value* consts = nullptr;
  const Instruction* ip = nullptr;
  // The value stack: bottom, top (one past the last value), end of the buffer, and the running
  // frame's local slot 0.
  Value* stack_lo = nullptr;
  Value* sp = nullptr;
  Value* stack_hi = nullptr;
  Value* bp = nullptr;
  std::uint32_t word = 0;
  // Operands of a call in progress, and the result of a finished run.
  std::uint32_t call_argc = 0;
  bool call_tail = false;
  Value callee;
  Value result;
  VmError err;
  // The last closure entered by the inline call (rule 13): its key, the body prototype of its
  // plain first clause and that clause's arity, and the collection count when it was entered.
  HeapKey cached_key{};
  std::uint32_t cached_proto = 0;
  std::uint32_t cached_argc = 0;
  std::uint64_t cached_epoch = ~std::uint64_t{0};
  // A copy of that prototype's view: its arrays never move (rule 2), the table of views may.
  Vm::PrototypeView cached_view{};
  // That closure's captured values (rule 14).
  const Value* cached_captures = nullptr;
  std::size_t cached_capture_count = 0;

#define SAVE_IP() (vm.frames.back().ip = static_cast<std::uint32_t>(ip - code))
#define SYNC() st.set_top(sp)
#define OUT()                                                                                      \
  do {                                                                                             \
    SAVE_IP();                                                                                     \
    SYNC();                                                                                        \
  } while (0)
#define IN() LOAD_FRAME()

#define LOAD_FRAME()                                                                               \
  do {                                                                                             \
    if (vm.frames.empty()) [[unlikely]] {                                                          \
      err = VmError::stack_underflow();                                                            \
      goto fail;                                                                                   \
    }                                                                                              \
    const CallFrame& lf_frame = vm.frames.back();                                                  \
    const Vm::PrototypeView& lf_view = prototype_view(vm, lf_frame.prototype);                     \
    code = lf_view.code;                                                                           \
    consts = lf_view.constants;                                                                    \
    if (lf_frame.ip >= lf_view.code_size + lf_view.patched) [[unlikely]]                           \
      internal_error("instruction pointer past the end of the code");                              \
    if (lf_frame.kind == FrameKind::Boundary) [[unlikely]]                                         \
      code = boundary_code(vm, lf_frame.prototype, lf_frame.stop_ip);                              \
    ip = code + lf_frame.ip;                                                                       \
    stack_lo = st.data();                                                                          \
    sp = st.top();                                                                                 \
    stack_hi = st.end();                                                                           \
    bp = stack_lo + lf_frame.base;                                                                 \
    vm.inline_return.frame = nullptr;                                                              \
  } while (0)

// Fails the instruction; the error may be built only after OUT(), since that takes a call.
#define FAIL(e)                                                                                    \
  do {                                                                                             \
    OUT();                                                                                         \
    err = (e);                                                                                     \
    goto fail;                                                                                     \
  } while (0)

// Pops need this many values; with fewer, the ones there are popped and the step fails.
#define NEED(n)                                                                                    \
  do {                                                                                             \
    if (sp < stack_lo + (n)) [[unlikely]] {                                                        \
      sp = stack_lo;                                                                               \
      FAIL(VmError::stack_underflow());                                                            \
    }                                                                                              \
  } while (0)

// Pushes a copy of the value `src` names, which may be a stack slot.
#define PUSH(src)                                                                                  \
  do {                                                                                             \
    if (sp == stack_hi) [[unlikely]] {                                                             \
      const Value pushed = (src);                                                                  \
      OUT();                                                                                       \
      st.push_back(pushed);                                                                        \
      IN();                                                                                        \
    } else {                                                                                       \
      *sp = (src);                                                                                 \
      ++sp;                                                                                        \
    }                                                                                              \
  } while (0)

#define POLL()                                                                                     \
  do {                                                                                             \
    if (--vm.interrupt_countdown == 0) [[unlikely]] {                                              \
      OUT();                                                                                       \
      if (poll_failed(vm, err)) goto fail;                                                         \
      IN();                                                                                        \
    }                                                                                              \
  } while (0)

#define END_TEST()                                                                                 \
  do {                                                                                             \
    if (vm.frames.size() <= run.frame_depth) goto finish_at_depth;                                 \
  } while (0)

// A jump (its target is inside the code, checked with the prototype); backward jumps count
// towards the interrupt poll.
#define JUMP()                                                                                     \
  do {                                                                                             \
    const std::int16_t offset = Instruction(word).offset();                                        \
    ip += offset;                                                                                  \
    if (offset < 0) POLL();                                                                        \
  } while (0)

// A slow path run out of line on the synchronised machine.
#define SLOW(call)                                                                                 \
  do {                                                                                             \
    OUT();                                                                                         \
    const bool slow_ok = (call);                                                                   \
    IN();                                                                                          \
    if (!slow_ok) goto fail;                                                                       \
  } while (0)

// Whether a callee is the cached closure, called with the arity of its plain first clause.
#define CACHED_CALLEE(value, argc)                                                                 \
  ((value).tag == Tag::Object && (value).as.key == cached_key && (argc) == cached_argc &&          \
   vm.heap.collections == cached_epoch)

// Enters the plain first clause of a closure inline when the stack and the frame stack have
// room: `argc` arguments from `args` on, the rest of the locals nil. Sets the loop's registers
// and dispatches; otherwise does nothing. Calls nothing.
#define ENTER_PLAIN(proto, view, args_at, argc, key, before)                                       \
  do {                                                                                             \
    const Vm::PrototypeView& ep_view = (view);                                                     \
    Value* const ep_args = (args_at);                                                              \
    if (ep_args + ep_view.local_count <= stack_hi && vm.frames.size() < kMaxFrames &&              \
        !vm.frames.full()) [[likely]] {                                                            \
      before;                                                                                      \
      sp = ep_args + (argc);                                                                       \
      while (sp < ep_args + ep_view.local_count)                                                   \
        *sp++ = Value::nil();                                                                      \
      SAVE_IP();                                                                                   \
      CallFrame& ep_frame = vm.frames.push_unchecked();                                            \
      ep_frame.base = static_cast<std::uint32_t>(ep_args - stack_lo);                              \
      ep_frame.prototype = (proto);                                                                \
      ep_frame.closure = (key);                                                                    \
      ep_frame.arg_count = static_cast<std::uint8_t>(argc);                                        \
      vm.inline_return = {&ep_frame, code, consts, ip, bp};                                        \
      code = ep_view.code;                                                                         \
      consts = ep_view.constants;                                                                  \
      ip = code;                                                                                   \
      bp = ep_args;                                                                                \
      DISPATCH();                                                                                  \
    }                                                                                              \
  } while (0)

#define BOTH(a, b, t) ((a)->tag == (t) && (b)->tag == (t))

// The captured values of the running closure and their count (rule 14); `none` runs when the
// frame runs no live closure.
#define FRAME_CAPTURES(caps, count, none)                                                          \
  const Value* caps = cached_captures;                                                             \
  std::size_t count = cached_capture_count;                                                        \
  do {                                                                                             \
    const HeapKey fc_key = vm.frames.back().closure;                                               \
    if (fc_key == cached_key && vm.heap.collections == cached_epoch) [[likely]]                    \
      break;                                                                                       \
    const Closure* fc_clo = fc_key.version != 0 ? live_closure(vm.heap, fc_key) : nullptr;         \
    if (fc_clo == nullptr) none;                                                                   \
    caps = fc_clo->captures.data();                                                                \
    count = fc_clo->captures.size();                                                               \
  } while (0)

// A jump by `by` words from ip; backward jumps count towards the interrupt poll.
#define JUMP_BY(by)                                                                                \
  do {                                                                                             \
    const std::int16_t jb_offset = (by);                                                           \
    ip += jb_offset;                                                                               \
    if (jb_offset < 0) POLL();                                                                     \
  } while (0)

// A fused word that cannot run its whole sequence runs its first word alone, as that word's own
// opcode (rule 12).
#define UNFUSED(name)                                                                              \
  do {                                                                                             \
    word = Instruction(word).with_op(Opcode::name).word;                                           \
    goto op_##name;                                                                                \
  } while (0)

#if QV_COMPUTED_GOTO
  // Every byte value has an entry, so dispatch needs no range test: the 181 that name neither
  // an opcode nor a fused word lead to the invalid-opcode error.
#define QV_INV4 &&invalid_op, &&invalid_op, &&invalid_op, &&invalid_op
#define QV_INV16 QV_INV4, QV_INV4, QV_INV4, QV_INV4
#define QV_INV64 QV_INV16, QV_INV16, QV_INV16, QV_INV16
  // clang-format off
  static const void* const kLabels[] = {
      &&op_LoadConst, &&op_Pop, &&op_Dup, &&op_GetLocal, &&op_SetLocal, &&op_GetUpvalue,
      &&op_SetUpvalue, &&op_GetGlobal, &&op_SetGlobal, &&op_DefineGlobal, &&op_Add, &&op_Sub,
      &&op_Mul, &&op_Div, &&op_Rem, &&op_Neg, &&op_Eq, &&op_NotEq, &&op_Lt, &&op_Le, &&op_Gt,
      &&op_Ge, &&op_Not, &&op_Jump, &&op_JumpIfFalse, &&op_JumpIfTrue, &&op_Call, &&op_TailCall,
      &&op_Return, &&op_MakeClosure, &&op_MakeTemplateClosure, &&op_MakeList, &&op_MakeVector,
      &&op_MakeMap, &&op_MakeSet, &&op_PushHandler, &&op_PopHandler, &&op_Perform, &&op_Resume,
      &&op_PerformOp, &&op_CallBuiltin, &&op_GetGlobalIndexed, &&op_MakeVariant,
      &&op_MatchVariant, &&op_VariantField, &&op_Quot, &&op_Mod, &&op_HandlerSite,
      // 48 .. 63
      QV_INV16,
      // 64 .. 90: fused words of the threaded code (vm/fusion.hpp)
      &&fu_LocLoc, &&fu_LocConstAdd, &&fu_LocConstSub, &&fu_LocLocAdd, &&fu_LocLocSub,
      &&fu_LocLocMul, &&fu_LocConstTest, &&fu_LocLocTest, &&fu_ConstAdd, &&fu_ConstSub,
      &&fu_ConstTest, &&fu_Test, &&fu_StoreJump, &&fu_LocalReturn, &&fu_AddReturn,
      &&fu_GlobalCall, &&fu_LocalCall, &&fu_UpvalLocMul, &&fu_UpvalAdd, &&fu_VariantTest,
      &&fu_LocConstAddCall, &&fu_LocConstSubCall, &&fu_LocLocAddStore, &&fu_LocLocSubStore,
      &&fu_LocLocMulStore, &&fu_LocConstAddStore, &&fu_LocConstSubStore, &&fu_IntLoop,
      &&fu_UpvalAddReturn, &&fu_AddStoreJump,
      // 94 .. 255
      &&invalid_op, &&invalid_op,
      QV_INV16, QV_INV16, QV_INV64, QV_INV64,
  };
  // clang-format on
  static_assert(sizeof(kLabels) / sizeof(kLabels[0]) == 256);
#undef QV_INV4
#undef QV_INV16
#undef QV_INV64
#define DISPATCH()                                                                                 \
  do {                                                                                             \
    word = (ip++)->word;                                                                           \
    goto* kLabels[Instruction(word).op_byte()];                                                    \
  } while (0)
#define OP(name) op_##name:
#define FUSED(name) fu_##name:
#define BEGIN_DISPATCH() goto* kLabels[Instruction(word).op_byte()];
#define REDISPATCH() goto* kLabels[Instruction(word).op_byte()]
#define END_DISPATCH()
#else
#define DISPATCH() goto next_instruction
#define OP(name)                                                                                   \
  case static_cast<std::uint32_t>(Opcode::name):                                                   \
    op_##name:
#define FUSED(name)                                                                                \
  case static_cast<std::uint32_t>(Fused::name):                                                    \
    fu_##name:
#define REDISPATCH() goto redispatch
#define BEGIN_DISPATCH() switch (Instruction(word).op_byte()) {
#define END_DISPATCH()                                                                             \
  default:                                                                                         \
    goto invalid_op;                                                                               \
    }
#endif

  LOAD_FRAME();

#if !QV_COMPUTED_GOTO
next_instruction:
#endif
  word = (ip++)->word;
#if !QV_COMPUTED_GOTO
redispatch:
#endif
  BEGIN_DISPATCH()

  OP(LoadConst) {
    PUSH(consts[Instruction(word).ab()]);
    DISPATCH();
  }
  OP(Pop) {
    NEED(1);
    --sp;
    DISPATCH();
  }
  OP(Dup) {
    NEED(1);
    PUSH(sp[-1]);
    DISPATCH();
  }
  OP(GetLocal) {
    const Value* slot = bp + Instruction(word).a();
    if (slot >= sp) [[unlikely]] {
      const auto index = static_cast<std::uint32_t>(slot - stack_lo);
      FAIL(local_out_of_bounds(vm, index));
    }
    PUSH(*slot);
    DISPATCH();
  }
  OP(SetLocal) {
    NEED(1);
    --sp;
    Value* slot = bp + Instruction(word).a();
    if (slot >= sp) [[unlikely]] {
      const auto index = static_cast<std::uint32_t>(slot - stack_lo);
      FAIL(local_out_of_bounds(vm, index));
    }
    *slot = *sp;
    DISPATCH();
  }
  OP(GetUpvalue) {
    const HeapKey key = vm.frames.back().closure;
    if (key == cached_key && vm.heap.collections == cached_epoch &&
        Instruction(word).a() < cached_capture_count) [[likely]] {
      PUSH(cached_captures[Instruction(word).a()]);
      DISPATCH();
    }
    if (key.version == 0) FAIL(VmError::type_error("no closure for upvalue access"));
    const Closure* clo = live_closure(vm.heap, key);
    if (clo == nullptr) FAIL(VmError::type_error("expected closure"));
    const std::uint32_t index = Instruction(word).a();
    if (index >= clo->captures.size()) internal_error("capture index outside the closure");
    PUSH(clo->captures[index]);
    DISPATCH();
  }
  OP(SetUpvalue) {
    const HeapKey key = vm.frames.back().closure;
    if (key.version == 0) FAIL(VmError::type_error("no closure for upvalue access"));
    NEED(1);
    --sp;
    Closure* clo = const_cast<Closure*>(live_closure(vm.heap, key));
    if (clo == nullptr) FAIL(VmError::type_error("expected closure"));
    const std::uint32_t index = Instruction(word).a();
    if (index >= clo->captures.size()) internal_error("capture index outside the closure");
    clo->captures[index] = *sp;
    DISPATCH();
  }
  OP(GetGlobal) {
    const std::uint32_t index = Instruction(word).ab();
    if (consts[index].tag != Tag::Symbol) FAIL(VmError::type_error("expected symbol"));
    const Spur spur = consts[index].as.spur;
    const std::uint32_t slot = spur < vm.global_slots.size() ? vm.global_slots[spur] : 0;
    if (slot == 0 || slot > vm.globals.size()) [[unlikely]]
      FAIL(undefined_global(vm, spur));
    PUSH(vm.globals[slot - 1]);
    DISPATCH();
  }
  OP(SetGlobal)
  OP(DefineGlobal) {
    const std::uint32_t index = Instruction(word).ab();
    if (consts[index].tag != Tag::Symbol) FAIL(VmError::type_error("expected symbol"));
    const Spur name = consts[index].as.spur;
    NEED(1);
    --sp;
    callee = *sp;
    OUT();
    define_global_op(vm, name, callee);
    IN();
    DISPATCH();
  }
  OP(GetGlobalIndexed) {
    const std::uint32_t index = Instruction(word).ab();
    // The compiler predicts the positions of globals defined earlier in the same form; when such
    // a definition did not run, the position may not exist yet.
    if (index >= vm.globals.size()) [[unlikely]]
      FAIL(as_written(vm, VmError::undefined_variable("global #" + std::to_string(index))));
    // A slot reserved for a name not defined yet reads as that undefined name.
    if (may_be_unbound_global(vm.globals[index])) [[unlikely]] {
      OUT();
      if (std::optional<VmError> unbound = unbound_global_read(vm, index)) {
        err = as_written(vm, std::move(*unbound));
        goto fail;
      }
      IN();
    }
    PUSH(vm.globals[index]);
    DISPATCH();
  }

  // Two-operand instructions work in place: a at sp[-2] becomes the result, b at sp[-1] goes.
#define BINARY_ARITH(OPNAME, BUILTIN_OVERFLOW, FLOAT_OP)                                           \
  {                                                                                                \
    NEED(2);                                                                                       \
    Value* const a = sp - 2;                                                                       \
    const Value* const b = sp - 1;                                                                 \
    std::int64_t r;                                                                                \
    if (BOTH(a, b, Tag::Int)) [[likely]] {                                                         \
      if (BUILTIN_OVERFLOW(a->as.integer, b->as.integer, &r)) [[unlikely]] {                       \
        sp -= 2;                                                                                   \
        FAIL(VmError::type_error("ratio overflow"));                                               \
      }                                                                                            \
      put_int(a, r);                                                                               \
      --sp;                                                                                        \
    } else if (BOTH(a, b, Tag::Float)) {                                                           \
      put_float(a, a->as.floating FLOAT_OP b->as.floating);                                        \
      --sp;                                                                                        \
    } else {                                                                                       \
      SLOW(binary_op(vm, Opcode::OPNAME, err));                                                    \
    }                                                                                              \
    DISPATCH();                                                                                    \
  }

  OP(Add)
  BINARY_ARITH(Add, __builtin_add_overflow, +)
  OP(Sub)
  BINARY_ARITH(Sub, __builtin_sub_overflow, -)
  OP(Mul)
  BINARY_ARITH(Mul, __builtin_mul_overflow, *)
#undef BINARY_ARITH

  OP(Div) {
    NEED(2);
    SLOW(binary_op(vm, Opcode::Div, err));
    DISPATCH();
  }
  OP(Rem) {
    NEED(2);
    Value* const a = sp - 2;
    const Value* const b = sp - 1;
    // The remainder by -1 is 0 (remainder_values); the hardware division would trap on the
    // smallest integer, so that pair never reaches it.
    if (BOTH(a, b, Tag::Int) && b->as.integer != 0 && b->as.integer != -1) [[likely]] {
      put_int(a, a->as.integer % b->as.integer);
      --sp;
    } else {
      SLOW(binary_op(vm, Opcode::Rem, err));
    }
    DISPATCH();
  }
  OP(Neg) {
    NEED(1);
    SLOW(negate_op(vm, err));
    DISPATCH();
  }
  OP(Eq)
  OP(NotEq) {
    NEED(2);
    Value* const a = sp - 2;
    const Value* const b = sp - 1;
    if (BOTH(a, b, Tag::Int)) [[likely]] {
      const bool holds = (a->as.integer == b->as.integer) == (Instruction(word).op() == Opcode::Eq);
      put_bool(a, holds);
      --sp;
    } else if (a->tag != Tag::Object || b->tag != Tag::Object) {
      // Out of line, so the loop's registers are not live across a call (rule 1).
      OUT();
      const bool eq = scalar_values_equal(st.data()[st.size() - 2], st.data()[st.size() - 1]);
      IN();
      put_bool(sp - 2, Instruction(word).op() == Opcode::Eq ? eq : !eq);
      --sp;
    } else {
      SLOW(binary_op(vm, Instruction(word).op(), err));
    }
    DISPATCH();
  }

#define COMPARE(OPNAME, CMP)                                                                       \
  {                                                                                                \
    NEED(2);                                                                                       \
    Value* const a = sp - 2;                                                                       \
    const Value* const b = sp - 1;                                                                 \
    if (BOTH(a, b, Tag::Int)) [[likely]] {                                                         \
      const bool holds = a->as.integer CMP b->as.integer;                                          \
      put_bool(a, holds);                                                                          \
      --sp;                                                                                        \
    } else {                                                                                       \
      SLOW(binary_op(vm, Opcode::OPNAME, err));                                                    \
    }                                                                                              \
    DISPATCH();                                                                                    \
  }

  OP(Lt)
  COMPARE(Lt, <)
  OP(Le)
  COMPARE(Le, <=)
  OP(Gt)
  COMPARE(Gt, >)
  OP(Ge)
  COMPARE(Ge, >=)
#undef COMPARE

  OP(Not) {
    NEED(1);
    put_bool(sp - 1, !is_truthy(sp[-1]));
    DISPATCH();
  }
  OP(Jump) {
    JUMP();
    DISPATCH();
  }
  OP(JumpIfFalse) {
    NEED(1);
    --sp;
    if (!is_truthy(*sp)) JUMP();
    DISPATCH();
  }
  OP(JumpIfTrue) {
    NEED(1);
    --sp;
    if (is_truthy(*sp)) JUMP();
    DISPATCH();
  }
  OP(Call) {
    call_argc = Instruction(word).a();
    call_tail = false;
    goto do_call;
  }
  OP(TailCall) {
    call_argc = Instruction(word).a();
    call_tail = true;
    goto do_call;
  }
  OP(Return) {
    NEED(1);
    {
      // A frame the last inline call pushed returns to the registers its caller had then
      // (rule 15).
      if (&vm.frames.back() == vm.inline_return.frame && stack_lo + vm.frames.back().base < sp)
          [[likely]] {
        Value* const to = stack_lo + vm.frames.back().base;
        *to = sp[-1];
        sp = to + 1;
        code = vm.inline_return.code;
        consts = vm.inline_return.consts;
        ip = vm.inline_return.ip;
        bp = vm.inline_return.bp;
        vm.frames.pop_back();
        vm.inline_return.frame = nullptr;
        DISPATCH();
      }
      // The common return: a plain frame with a plain caller below it whose view exists, and no
      // end of the run here. The caller's state is loaded straight from its frame; nothing is
      // called, so the loop's registers stay where they are.
      const std::size_t depth = vm.frames.size();
      if (depth >= 2) [[likely]] {
        const CallFrame& top = vm.frames.back();
        const CallFrame& caller = vm.frames.end()[-2];
        if (!top.has_handler_index() && !top.abort_to.present() && stack_lo + top.base < sp &&
            caller.kind == FrameKind::Normal && has_index(vm.prototype_views, caller.prototype) &&
            depth - 1 != run.frame_depth) [[likely]] {
          const Vm::PrototypeView& view = vm.prototype_views[caller.prototype];
          if (caller.ip >= view.code_size + view.patched) [[unlikely]]
            internal_error("instruction pointer past the end of the code");
          Value* const to = stack_lo + top.base;
          *to = sp[-1];
          sp = to + 1;
          code = view.code;
          consts = view.constants;
          ip = code + caller.ip;
          bp = stack_lo + caller.base;
          vm.frames.pop_back();
          DISPATCH();
        }
      }
      // The root frame of a callback's run returning plainly: the run ends here, as the path
      // through return_from_frame and finish_at_depth would end it, without pushing the answer
      // only to pop it again. Builtins walking a collection end one such run per element.
      if (depth == run.frame_depth + 1 && run.kind != RunKind::Guard) [[likely]] {
        const CallFrame& top = vm.frames.back();
        if (!top.has_handler_index() && !top.abort_to.present() && stack_lo + top.base < sp &&
            !vm.runs.back().cut) [[likely]] {
          result = sp[-1];
          st.set_top(stack_lo + top.base);
          vm.frames.pop_back();
          if (run.feed == nullptr || !run.feed->next(result)) return result;
          IN();
          DISPATCH();
        }
      }
    }
    result = *--sp;
    OUT();
    if (return_from_frame(vm, result)) goto done;
    END_TEST();
    IN();
    DISPATCH();
  }
  OP(MakeClosure) {
    const std::uint32_t proto = Instruction(word).ab();
    const std::uint32_t count = Instruction(word).c();
    if (proto >= vm.prototypes.size()) internal_error("closure prototype outside the table");
    NEED(count);
    OUT();
    make_closure(vm, plain_function(vm, proto), count);
    IN();
    DISPATCH();
  }
  OP(MakeTemplateClosure) {
    SLOW(make_template_closure(vm, consts, frame_constant_count(vm), Instruction(word).ab(),
                               Instruction(word).c(), err));
    DISPATCH();
  }
  OP(MakeList)
  OP(MakeVector) {
    OUT();
    make_seq(vm, Instruction(word).ab(), Instruction(word).op() == Opcode::MakeVector);
    IN();
    DISPATCH();
  }
  OP(MakeMap)
  OP(MakeSet) {
    SLOW(make_map_or_set(vm,
                         static_cast<std::size_t>(Instruction(word).ab()) *
                             (Instruction(word).op() == Opcode::MakeMap ? 2 : 1),
                         Instruction(word).op() == Opcode::MakeMap, err));
    DISPATCH();
  }
  OP(MakeVariant) {
    SLOW(make_variant(vm, Instruction(word).ab(), Instruction(word).c(), err));
    DISPATCH();
  }
  OP(MatchVariant) {
    NEED(1);
    const Variant* variant = heap_get_as<Variant>(vm.heap, sp[-1]);
    const bool holds =
        variant != nullptr &&
        variant->tag.word == VariantTag::make(Instruction(word).ab(), Instruction(word).c()).word;
    put_bool(sp - 1, holds);
    DISPATCH();
  }
  OP(VariantField) {
    NEED(1);
    const Variant* variant = heap_get_as<Variant>(vm.heap, sp[-1]);
    const std::uint32_t field = Instruction(word).a();
    sp[-1] = variant != nullptr && field < variant->fields.size() ? variant->fields[field]
                                                                  : Value::nil();
    DISPATCH();
  }
  OP(PushHandler) {
    SLOW(take(push_handler(vm, vm.prototypes[vm.frames.back().prototype],
                           static_cast<std::uint32_t>(ip - code), Instruction(word).ab()),
              err));
    DISPATCH();
  }
  OP(HandlerSite) {
    const std::uint32_t at = Instruction(word).ab();
    const std::uint32_t skip = Instruction(word).c();
    if (skip != 0) {
      // The map made the first time this `with-handler` ran, its clauses being the same closures
      // every time: nothing they capture differs.
      const Value kept = consts[at];
      if (kept.tag == Tag::Object && heap_get_as<MapObject>(vm.heap, kept.as.key) != nullptr) {
        PUSH(kept);
        ip += skip;
      }
    } else {
      NEED(1);
      // The constant table the loop reads is this prototype's own.
      vm.prototypes[vm.frames.back().prototype].constants[at] = sp[-1];
    }
    DISPATCH();
  }
  OP(PopHandler) {
    if (!vm.handlers.empty()) vm.handlers.pop_back();
    DISPATCH();
  }
  OP(Perform)
  OP(PerformOp) {
    // A clause frame may be pushed; the loop goes on there without the end test.
    SLOW(perform(vm, word, consts, frame_constant_count(vm), err));
    DISPATCH();
  }
  OP(Resume) {
    SLOW(resume(vm, err));
    DISPATCH();
  }
  OP(CallBuiltin) {
    // `conj` of one element onto a vector, the way a loop builds a vector, runs here: it calls
    // nothing back and pushes nothing, so the stack does not move and no frame changes; only
    // the collection its allocation may run needs the stack's top written back (rule 5: both
    // operands stay on the stack until the new vector replaces them). Any other call, or an
    // operand that is not a vector, is the native call.
    if (Instruction(word).c() == 2 && Instruction(word).ab() == builtin_conj_row() &&
        sp >= stack_lo + 2 && Instruction(word).ab() < vm.natives.size()) {
      OUT();
      const std::optional<Value> conj = conj_onto_vector(vm.heap, sp[-2], sp[-1]);
      if (conj) [[likely]] {
        sp[-2] = *conj;
        --sp;
        DISPATCH();
      }
    }
    SLOW(take(call_native_from_stack(vm, Instruction(word).ab(), Instruction(word).c()), err));
    DISPATCH();
  }
  OP(Quot) {
    NEED(2);
    Value* const a = sp - 2;
    const Value* const b = sp - 1;
    // Zero and -1 (the smallest integer's quotient overflows) go to the builtin with every other
    // kind of operand, and it reports them.
    if (BOTH(a, b, Tag::Int) && b->as.integer != 0 && b->as.integer != -1) [[likely]] {
      put_int(a, a->as.integer / b->as.integer);
      --sp;
    } else {
      SLOW(take(call_native_from_stack(vm, Instruction(word).ab(), Instruction(word).c()), err));
    }
    DISPATCH();
  }
  OP(Mod) {
    NEED(2);
    Value* const a = sp - 2;
    const Value* const b = sp - 1;
    // The remainder takes the divisor's sign (floored). Zero and -1 go to the builtin as in Quot.
    if (BOTH(a, b, Tag::Int) && b->as.integer != 0 && b->as.integer != -1) [[likely]] {
      std::int64_t r = a->as.integer % b->as.integer;
      if (r != 0 && ((r < 0) != (b->as.integer < 0))) r += b->as.integer;
      put_int(a, r);
      --sp;
    } else {
      SLOW(take(call_native_from_stack(vm, Instruction(word).ab(), Instruction(word).c()), err));
    }
    DISPATCH();
  }

  // Fused words (vm/fusion.hpp). On entry ip is one past the fused word, the sequence's second
  // word; a sequence of n words that runs whole leaves ip n - 1 words further.
  FUSED(LocLoc) {
    const Value* const x = bp + Instruction(word).a();
    const Value* const y = bp + Instruction(word).b();
    if (x < sp && y < sp && stack_hi - sp >= 2) [[likely]] {
      sp[0] = *x;
      sp[1] = *y;
      sp += 2;
      ++ip;
      DISPATCH();
    }
    UNFUSED(GetLocal);
  }

#define LOC_CONST_ARITH(NAME, BUILTIN_OVERFLOW)                                                    \
  FUSED(NAME) {                                                                                    \
    const Value* const x = bp + Instruction(word).a();                                             \
    const Value* const k =                                                                         \
        consts + (Instruction(word).b() | static_cast<std::uint32_t>(Instruction(word).c()) << 8); \
    std::int64_t r;                                                                                \
    if (x < sp && sp < stack_hi && BOTH(x, k, Tag::Int) &&                                         \
        !BUILTIN_OVERFLOW(x->as.integer, k->as.integer, &r)) [[likely]] {                          \
      put_int(sp, r);                                                                              \
      ++sp;                                                                                        \
      ip += 2;                                                                                     \
      DISPATCH();                                                                                  \
    }                                                                                              \
    UNFUSED(GetLocal);                                                                             \
  }
  LOC_CONST_ARITH(LocConstAdd, __builtin_add_overflow)
  LOC_CONST_ARITH(LocConstSub, __builtin_sub_overflow)
#undef LOC_CONST_ARITH

#define LOC_LOC_ARITH(NAME, BUILTIN_OVERFLOW)                                                      \
  FUSED(NAME) {                                                                                    \
    const Value* const x = bp + Instruction(word).a();                                             \
    const Value* const y = bp + Instruction(word).b();                                             \
    std::int64_t r;                                                                                \
    if (x < sp && y < sp && sp < stack_hi && BOTH(x, y, Tag::Int) &&                               \
        !BUILTIN_OVERFLOW(x->as.integer, y->as.integer, &r)) [[likely]] {                          \
      put_int(sp, r);                                                                              \
      ++sp;                                                                                        \
      ip += 2;                                                                                     \
      DISPATCH();                                                                                  \
    }                                                                                              \
    UNFUSED(GetLocal);                                                                             \
  }
  LOC_LOC_ARITH(LocLocAdd, __builtin_add_overflow)
  LOC_LOC_ARITH(LocLocSub, __builtin_sub_overflow)
  LOC_LOC_ARITH(LocLocMul, __builtin_mul_overflow)
#undef LOC_LOC_ARITH

  FUSED(LocConstTest) {
    const Value* const x = bp + Instruction(word).a();
    const Value* const k = consts + Instruction(word).b();
    if (x < sp && BOTH(x, k, Tag::Int)) [[likely]] {
      const bool holds = mask_holds(Instruction(word).c(), x->as.integer, k->as.integer);
      ip += 3;
      if (!holds) JUMP_BY(ip[-1].offset());
      DISPATCH();
    }
    UNFUSED(GetLocal);
  }
  FUSED(LocLocTest) {
    const Value* const x = bp + Instruction(word).a();
    const Value* const y = bp + Instruction(word).b();
    if (x < sp && y < sp && BOTH(x, y, Tag::Int)) [[likely]] {
      const bool holds = mask_holds(Instruction(word).c(), x->as.integer, y->as.integer);
      ip += 3;
      if (!holds) JUMP_BY(ip[-1].offset());
      DISPATCH();
    }
    UNFUSED(GetLocal);
  }

#define CONST_ARITH(NAME, BUILTIN_OVERFLOW)                                                        \
  FUSED(NAME) {                                                                                    \
    const Value* const k = consts + Instruction(word).ab();                                        \
    std::int64_t r;                                                                                \
    if (sp > stack_lo && BOTH(sp - 1, k, Tag::Int) &&                                              \
        !BUILTIN_OVERFLOW(sp[-1].as.integer, k->as.integer, &r)) [[likely]] {                      \
      put_int(sp - 1, r);                                                                          \
      ++ip;                                                                                        \
      DISPATCH();                                                                                  \
    }                                                                                              \
    UNFUSED(LoadConst);                                                                            \
  }
  CONST_ARITH(ConstAdd, __builtin_add_overflow)
  CONST_ARITH(ConstSub, __builtin_sub_overflow)
#undef CONST_ARITH

  FUSED(ConstTest) {
    const Value* const k = consts + Instruction(word).ab();
    if (sp > stack_lo && BOTH(sp - 1, k, Tag::Int)) [[likely]] {
      const bool holds = mask_holds(Instruction(word).c(), sp[-1].as.integer, k->as.integer);
      --sp;
      ip += 2;
      if (!holds) JUMP_BY(ip[-1].offset());
      DISPATCH();
    }
    UNFUSED(LoadConst);
  }
  FUSED(Test) {
    if (sp >= stack_lo + 2 && BOTH(sp - 2, sp - 1, Tag::Int)) [[likely]] {
      const bool holds = mask_holds(Instruction(word).c(), sp[-2].as.integer, sp[-1].as.integer);
      sp -= 2;
      ++ip;
      if (!holds) JUMP_BY(ip[-1].offset());
      DISPATCH();
    }
    word = Instruction::make(comparison_of_mask(Instruction(word).c())).word;
    REDISPATCH();
  }
  FUSED(StoreJump) {
    // The stores of a recur: the new values are the top `count` values, the last one for the
    // first slot. All slots must lie below them, as each SetLocal would find.
    const std::uint32_t count = Instruction(word).c();
    if (sp >= stack_lo + count) [[likely]] {
      Value* const floor = sp - count;
      Value* const first = bp + Instruction(word).a();
      if (count == 1) {
        if (first < floor) [[likely]] {
          *first = *floor;
          sp = floor;
          ++ip;
          JUMP_BY(ip[-1].offset());
          DISPATCH();
        }
      } else if (count == 2) {
        Value* const second = bp + Instruction(word).b();
        if (first < floor && second < floor) [[likely]] {
          *first = sp[-1];
          *second = sp[-2];
          sp = floor;
          ip += 2;
          JUMP_BY(ip[-1].offset());
          DISPATCH();
        }
      } else {
        bool inside = first < floor;
        for (std::uint32_t i = 1; i < count; ++i)
          inside = inside && bp + ip[i - 1].a() < floor;
        if (inside) {
          *first = sp[-1];
          for (std::uint32_t i = 1; i < count; ++i)
            bp[ip[i - 1].a()] = sp[-1 - static_cast<std::ptrdiff_t>(i)];
          sp = floor;
          ip += count;
          JUMP_BY(ip[-1].offset());
          DISPATCH();
        }
      }
    }
    UNFUSED(SetLocal);
  }
  FUSED(LocalReturn) {
    const Value* const x = bp + Instruction(word).a();
    if (x < sp && sp < stack_hi) [[likely]] {
      *sp = *x;
      ++sp;
      ++ip;
      word = Instruction::make(Opcode::Return).word;
      goto op_Return;
    }
    UNFUSED(GetLocal);
  }
  FUSED(AddReturn) {
    std::int64_t r;
    if (sp >= stack_lo + 2 && BOTH(sp - 2, sp - 1, Tag::Int) &&
        !__builtin_add_overflow(sp[-2].as.integer, sp[-1].as.integer, &r)) [[likely]] {
      put_int(sp - 2, r);
      --sp;
      ++ip;
      word = Instruction::make(Opcode::Return).word;
      goto op_Return;
    }
    UNFUSED(Add);
  }
  FUSED(GlobalCall) {
    // The cached closure of rule 13 is entered without the callee reaching the stack. The call
    // counts towards the poll as usual; when the count would reach the poll, the words run one
    // by one.
    const std::uint32_t index = Instruction(word).ab();
    const std::uint32_t argc = Instruction(word).c();
    if (has_index(vm.globals, index) && CACHED_CALLEE(vm.globals[index], argc) &&
        vm.interrupt_countdown > 1 && sp >= stack_lo + argc) [[likely]] {
      const HeapKey key = vm.globals[index].as.key;
      ENTER_PLAIN(cached_proto, cached_view, sp - argc, argc, key,
                  (--vm.interrupt_countdown, ++ip));
    }
    UNFUSED(GetGlobalIndexed);
  }
  FUSED(LocalCall) {
    const Value* const f = bp + Instruction(word).a();
    const std::uint32_t argc = Instruction(word).c();
    if (f < sp && CACHED_CALLEE(*f, argc) && vm.interrupt_countdown > 1 && sp >= stack_lo + argc)
        [[likely]] {
      const HeapKey key = f->as.key;
      ENTER_PLAIN(cached_proto, cached_view, sp - argc, argc, key,
                  (--vm.interrupt_countdown, ++ip));
    }
    UNFUSED(GetLocal);
  }
  FUSED(UpvalLocMul) {
    FRAME_CAPTURES(caps, cap_count, UNFUSED(GetUpvalue));
    if (Instruction(word).a() < cap_count) [[likely]] {
      const Value* const u = caps + Instruction(word).a();
      const Value* const x = bp + Instruction(word).b();
      std::int64_t r;
      if (x < sp && sp < stack_hi && BOTH(u, x, Tag::Int) &&
          !__builtin_mul_overflow(u->as.integer, x->as.integer, &r)) [[likely]] {
        put_int(sp, r);
        ++sp;
        ip += 2;
        DISPATCH();
      }
    }
    UNFUSED(GetUpvalue);
  }
  // The last value of a recur computed and stored in one step: it goes straight to the first
  // store's slot, the values below it on the stack to the other slots, as the stores would.
#define ARITH_STORE(NAME, SECOND, SECOND_INSIDE, BUILTIN_OVERFLOW)                                 \
  FUSED(NAME) {                                                                                    \
    const Value* const x = bp + Instruction(word).a();                                             \
    const Value* const y = (SECOND);                                                               \
    const std::uint32_t count = Instruction(word).c();                                             \
    std::int64_t r;                                                                                \
    if (x < sp && (SECOND_INSIDE) && sp >= stack_lo + (count - 1) && BOTH(x, y, Tag::Int) &&       \
        !BUILTIN_OVERFLOW(x->as.integer, y->as.integer, &r)) [[likely]] {                          \
      Value* const floor = sp - (count - 1);                                                       \
      Value* const first = bp + ip[2].a();                                                         \
      if (count == 2) {                                                                            \
        Value* const second = bp + ip[3].a();                                                      \
        if (first < floor && second < floor) [[likely]] {                                          \
          put_int(first, r);                                                                       \
          *second = sp[-1];                                                                        \
          sp = floor;                                                                              \
          ip += 5;                                                                                 \
          JUMP_BY(ip[-1].offset());                                                                \
          DISPATCH();                                                                              \
        }                                                                                          \
      } else if (count == 1) {                                                                     \
        if (first < floor) [[likely]] {                                                            \
          put_int(first, r);                                                                       \
          ip += 4;                                                                                 \
          JUMP_BY(ip[-1].offset());                                                                \
          DISPATCH();                                                                              \
        }                                                                                          \
      } else {                                                                                     \
        bool inside = first < floor;                                                               \
        for (std::uint32_t i = 1; i < count; ++i)                                                  \
          inside = inside && bp + ip[2 + i].a() < floor;                                           \
        if (inside) {                                                                              \
          put_int(first, r);                                                                       \
          for (std::uint32_t i = 1; i < count; ++i)                                                \
            bp[ip[2 + i].a()] = sp[-static_cast<std::ptrdiff_t>(i)];                               \
          sp = floor;                                                                              \
          ip += 3 + count;                                                                         \
          JUMP_BY(ip[-1].offset());                                                                \
          DISPATCH();                                                                              \
        }                                                                                          \
      }                                                                                            \
    }                                                                                              \
    UNFUSED(GetLocal);                                                                             \
  }
  ARITH_STORE(LocLocAddStore, bp + Instruction(word).b(), y < sp, __builtin_add_overflow)
  ARITH_STORE(LocLocSubStore, bp + Instruction(word).b(), y < sp, __builtin_sub_overflow)
  ARITH_STORE(LocLocMulStore, bp + Instruction(word).b(), y < sp, __builtin_mul_overflow)
  ARITH_STORE(LocConstAddStore, consts + Instruction(word).b(), true, __builtin_add_overflow)
  ARITH_STORE(LocConstSubStore, consts + Instruction(word).b(), true, __builtin_sub_overflow)
#undef ARITH_STORE

#define LOC_CONST_CALL(NAME, BUILTIN_OVERFLOW)                                                     \
  FUSED(NAME) {                                                                                    \
    /* The argument goes straight into place; the call then runs as GlobalCall does. */            \
    const Value* const x = bp + Instruction(word).a();                                             \
    const Value* const k = consts + Instruction(word).b();                                         \
    std::int64_t r;                                                                                \
    if (x < sp && sp < stack_hi && BOTH(x, k, Tag::Int) &&                                         \
        !BUILTIN_OVERFLOW(x->as.integer, k->as.integer, &r)) [[likely]] {                          \
      put_int(sp, r);                                                                              \
      ++sp;                                                                                        \
      ip += 3;                                                                                     \
      word = fused_ab(Fused::GlobalCall, ip[-1].ab(), 1).word;                                     \
      goto fu_GlobalCall;                                                                          \
    }                                                                                              \
    UNFUSED(GetLocal);                                                                             \
  }
  LOC_CONST_CALL(LocConstAddCall, __builtin_add_overflow)
  LOC_CONST_CALL(LocConstSubCall, __builtin_sub_overflow)
#undef LOC_CONST_CALL

  FUSED(VariantTest) {
    if (sp > stack_lo) [[likely]] {
      const Variant* variant = heap_get_as<Variant>(vm.heap, sp[-1]);
      const bool holds =
          variant != nullptr &&
          variant->tag.word == VariantTag::make(Instruction(word).ab(), Instruction(word).c()).word;
      --sp;
      ++ip;
      if (!holds) JUMP_BY(ip[-1].offset());
      DISPATCH();
    }
    UNFUSED(MatchVariant);
  }
  FUSED(UpvalAdd) {
    FRAME_CAPTURES(caps, cap_count, UNFUSED(GetUpvalue));
    if (Instruction(word).a() < cap_count) [[likely]] {
      const Value* const u = caps + Instruction(word).a();
      std::int64_t r;
      if (sp > stack_lo && BOTH(sp - 1, u, Tag::Int) &&
          !__builtin_add_overflow(sp[-1].as.integer, u->as.integer, &r)) [[likely]] {
        put_int(sp - 1, r);
        ++ip;
        DISPATCH();
      }
    }
    UNFUSED(GetUpvalue);
  }

  FUSED(UpvalAddReturn) {
    FRAME_CAPTURES(caps, cap_count, UNFUSED(GetUpvalue));
    if (Instruction(word).a() < cap_count) [[likely]] {
      const Value* const u = caps + Instruction(word).a();
      std::int64_t r;
      if (sp > stack_lo && BOTH(sp - 1, u, Tag::Int) &&
          !__builtin_add_overflow(sp[-1].as.integer, u->as.integer, &r)) [[likely]] {
        put_int(sp - 1, r);
        ip += 2;
        word = Instruction::make(Opcode::Return).word;
        goto op_Return;
      }
    }
    UNFUSED(GetUpvalue);
  }
  FUSED(AddStoreJump) {
    // The last value of a recur is a sum of the two values on top, stored where it is computed;
    // the value below them goes to the second slot. Every slot lies below all of them.
    const std::uint32_t count = Instruction(word).c();
    std::int64_t r;
    if (sp >= stack_lo + count + 1 && BOTH(sp - 2, sp - 1, Tag::Int) &&
        !__builtin_add_overflow(sp[-2].as.integer, sp[-1].as.integer, &r)) [[likely]] {
      Value* const floor = sp - 1 - count;
      Value* const first = bp + Instruction(word).a();
      Value* const second = count == 2 ? bp + Instruction(word).b() : first;
      if (first < floor && second < floor) [[likely]] {
        put_int(first, r);
        if (count == 2) *second = sp[-3];
        sp = floor;
        ip += count + 1;
        JUMP_BY(ip[-1].offset());
        DISPATCH();
      }
    }
    UNFUSED(Add);
  }

  FUSED(IntLoop) {
    // A whole loop (vm/fusion.hpp, LoopShape). ip stays one past the head while it runs.
    LoopShape shape;
    std::memcpy(static_cast<void*>(&shape), code + (word >> 8), sizeof shape);
    const std::uint32_t operands = 2 + 2 * static_cast<std::uint32_t>(shape.count);
    const std::int64_t* from[LoopShape::kMaxOperands];
    std::int64_t* to[LoopShape::kMaxCount];
    bool fits = true;
    for (std::uint32_t i = 0; i < operands; ++i) {
      const Value* v =
          (shape.is_const >> i) & 1 ? consts + shape.operand[i] : bp + shape.operand[i];
      fits = fits && ((shape.is_const >> i) & 1 || v < sp) && v->tag == Tag::Int;
      from[i] = &v->as.integer;
    }
    for (std::uint32_t e = 0; e < shape.count; ++e) {
      Value* v = bp + shape.store[e];
      fits = fits && v < sp && v->tag == Tag::Int;
      to[e] = &v->as.integer;
    }
    if (fits) [[likely]] {
      for (;;) {
        if (!mask_holds(shape.mask, *from[0], *from[1])) {
          ip += shape.exit;
          DISPATCH();
        }
        // Unrolled, so that the values stay in registers; the tests of count and op go the same
        // way every time.
        const std::uint32_t count = shape.count;
        std::int64_t r0 = 0;
        std::int64_t r1 = 0;
        std::int64_t r2 = 0;
        bool overflow = loop_op(shape.op[0], *from[2], *from[3], r0);
        if (count > 1) overflow |= loop_op(shape.op[1], *from[4], *from[5], r1);
        if (count > 2) overflow |= loop_op(shape.op[2], *from[6], *from[7], r2);
        // The words one by one report the overflow where it happens.
        if (overflow) [[unlikely]]
          break;
        // In the stores' own order: the last value first.
        if (count > 2) *to[2] = r2;
        if (count > 1) *to[1] = r1;
        *to[0] = r0;
        // The backward jump to the head, and its count towards the poll.
        if (--vm.interrupt_countdown == 0) [[unlikely]] {
          --ip;
          OUT();
          if (poll_failed(vm, err)) goto fail;
          IN();
          DISPATCH();
        }
      }
    }
    word = shape.fallback;
    REDISPATCH();
  }

  END_DISPATCH()

do_call : {
  POLL();
  NEED(call_argc + 1);
  {
    // The common call: a closure whose first clause takes exactly these arguments as plain
    // parameters. The new frame's state is set up here directly; everything else goes through
    // enter_closure.
    const Value* const f = sp - 1;
    if (!call_tail && CACHED_CALLEE(*f, call_argc)) [[likely]] {
      const HeapKey key = f->as.key;
      ENTER_PLAIN(cached_proto, cached_view, sp - 1 - call_argc, call_argc, key, (void)0);
    }
    const Closure* clo = f->tag == Tag::Object ? live_closure(vm.heap, f->as.key) : nullptr;
    if (clo != nullptr && !call_tail && !clo->function.empty()) [[likely]] {
      const FunctionClause& clause = clo->function.clauses()[0];
      if (!clause.is_variadic && clause.arity == call_argc && !clause.has_guard &&
          clause.patterns.empty() && clause.body_prototype < vm.prototype_views.size()) {
        const std::uint32_t proto = clause.body_prototype;
        const HeapKey key = f->as.key;
        cached_key = key;
        cached_proto = proto;
        cached_argc = call_argc;
        cached_epoch = vm.heap.collections;
        cached_view = vm.prototype_views[proto];
        cached_captures = clo->captures.data();
        cached_capture_count = clo->captures.size();
        ENTER_PLAIN(proto, cached_view, sp - 1 - call_argc, call_argc, key, (void)0);
      }
    }
  }
  callee = *--sp;
  OUT();
  if (const Closure* clo =
          callee.tag == Tag::Object ? live_closure(vm.heap, callee.as.key) : nullptr;
      clo != nullptr) [[likely]] {
    const bool ok =
        take(enter_closure(vm, callee.as.key, static_cast<std::uint32_t>(st.size() - call_argc),
                           call_argc, call_tail ? CallSite::CompiledTail : CallSite::Compiled, clo),
             err);
    if (!ok) goto fail;
    IN();
    DISPATCH();
  }
  switch (call_other(vm, callee, call_argc, call_tail, result, err)) {
  case CallOutcome::Failed:
    goto fail;
  case CallOutcome::Finished:
    goto done;
  case CallOutcome::Continue:
    break;
  }
  // A native tail call returned from the caller's frame.
  if (call_tail && callee.tag == Tag::NativeFn) END_TEST();
  IN();
  DISPATCH();
}

invalid_op : {
  // Everything here is cold; the machine is synchronised first (ip just past the word).
  OUT();
  const std::uint32_t bad_word = word;
  const std::uint32_t at = vm.frames.back().ip - 1;
  if (bad_word == kStopWord && vm.frames.back().kind == FrameKind::Boundary &&
      at == vm.frames.back().stop_ip) {
    // A boundary frame reached its stop point: it ends before that instruction runs, and the
    // value on top of the stack goes to the call that started the resumption.
    vm.frames.back().ip = at;
    if (st.empty()) {
      err = VmError::stack_underflow();
      goto fail;
    }
    result = st.back();
    st.pop_back();
    const CallFrame frame = vm.frames.back();
    vm.frames.pop_back();
    st.truncate(frame.has_saved_height() ? frame.saved_height : frame.base);
    if (frame.has_handler_index() && frame.handler_index < vm.handlers.size())
      vm.handlers[frame.handler_index].active = 1;
    if (vm.frames.empty()) goto done;
    st.push_back(result);
    END_TEST();
    IN();
    DISPATCH();
  }
  if (bad_word == kTrapWord && is_trap(vm, vm.frames.back().prototype, at))
    internal_error("malformed code: an operand or jump outside its table, or no final return");
  if (bad_word == kInvalidMarkWord) {
    // The threaded form's stand-in for a compiled word with a fused op byte: report that byte.
    const std::uint32_t proto = vm.frames.back().prototype;
    if (proto < vm.prototypes.size() && at < vm.prototypes[proto].code.size()) {
      err = VmError::invalid_opcode(vm.prototypes[proto].code[at].op_byte());
      goto fail;
    }
  }
  err = VmError::invalid_opcode(Instruction(bad_word).op_byte());
  goto fail;
}

finish_at_depth:
  // Reached with the machine synchronised. Either the root frame returned, or an unwind cut it
  // away and the stacks now belong to the run the unwind landed in.
  if (vm.runs.back().cut) return std::unexpected(cut_run_error());
  if (st.empty()) {
    err = VmError::stack_underflow();
    goto fail;
  }
  result = st.back();
  st.pop_back();
  if (run.feed != nullptr && run.feed->next(result)) {
    IN();
    DISPATCH();
  }
  if (run.kind == RunKind::Guard) {
    st.truncate(run.stack_height);
    if (run.handler_count < vm.handlers.size()) vm.handlers.resize(run.handler_count);
  }
  return result;

done:
  // Reached with the machine synchronised.
  if (vm.runs.back().cut) return std::unexpected(cut_run_error());
  if (run.feed != nullptr && run.feed->next(result)) {
    IN();
    DISPATCH();
  }
  if (run.kind == RunKind::Guard) {
    st.truncate(run.stack_height);
    if (run.handler_count < vm.handlers.size()) vm.handlers.resize(run.handler_count);
  }
  return result;

fail:
  // Reached with the machine synchronised (FAIL, SLOW and the call paths write ip and the stack
  // top back before they can fail). A cut run offers nothing: its stacks are gone. A guard offers
  // only to the handlers it installed itself.
  if (vm.runs.back().cut || (run.kind == RunKind::Guard && !guard_takes(vm, run, err))) {
    vm.refused_handler_end.reset();
    return std::unexpected(std::move(err));
  }
  if (std::optional<std::uint32_t> end = std::exchange(vm.refused_handler_end, std::nullopt)) {
    // A refused `with-handler` is offered from its end, so that a resumption gives the form its
    // value; an error nothing takes over is still located at the handler.
    CallFrame& frame = vm.frames.back();
    const std::uint32_t at = frame.ip;
    const std::size_t frames = vm.frames.size();
    frame.ip = *end;
    if (!take(raise_runtime_error(vm, std::move(err)), err)) {
      if (vm.frames.size() == frames) vm.frames.back().ip = at;
      return std::unexpected(std::move(err));
    }
    IN();
    DISPATCH();
  }
  if (!take(raise_runtime_error(vm, std::move(err)), err)) return std::unexpected(std::move(err));
  // The program took the error over; the loop goes on where the offer left the machine.
  IN();
  DISPATCH();

#undef SAVE_IP
#undef SYNC
#undef OUT
#undef IN
#undef LOAD_FRAME
#undef FAIL
#undef NEED
#undef PUSH
#undef POLL
#undef END_TEST
#undef JUMP
#undef SLOW
#undef BOTH
#undef CACHED_CALLEE
#undef FRAME_CAPTURES
#undef ENTER_PLAIN
#undef JUMP_BY
#undef UNFUSED
#undef FUSED
#undef REDISPATCH
#undef DISPATCH
#undef OP
#undef BEGIN_DISPATCH
#undef END_DISPATCH
}

std::optional<VmError> poll_interrupt(Vm& vm) {
  vm.interrupt_countdown = kInterruptInterval;
  if (vm.interrupt_hook == nullptr) return std::nullopt;
  std::optional<VmError> e = vm.interrupt_hook(vm.interrupt_data);
  if (e) vm.run_aborting = true;
  return e;
}

} // namespace quorvex::machine

namespace quorvex {

std::expected<Value, RuntimeError> call_prototype(Vm& vm, std::uint32_t index,
                                                  std::span<const Value> args) {
  using namespace machine;
  if (index >= vm.prototypes.size()) internal_error("call_prototype: no such prototype");
  const auto h0 = static_cast<std::uint32_t>(vm.stack.size());
  const auto f0 = static_cast<std::uint32_t>(vm.frames.size());
  const auto e0 = static_cast<std::uint32_t>(vm.handlers.size());

  auto cut_back = [&] { cut_stacks(vm, h0, f0, e0); };
  // An internal error or exhausted memory must not leave a half-run form on the stacks.
  struct CutOnThrow {
    decltype(cut_back)& cut;
    int pending = std::uncaught_exceptions();
    ~CutOnThrow() {
      if (std::uncaught_exceptions() > pending) cut();
    }
  } cut_on_throw{cut_back};

  const Prototype& proto = vm.prototypes[index];
  const std::uint32_t local_count = proto.local_count;
  const std::uint32_t arity = proto.arity;
  const std::size_t argc = args.size();

  if (proto.is_variadic && argc < arity) {
    return std::unexpected(attach_error_location(
        vm, VmError::arity(static_cast<std::uint8_t>(arity), static_cast<std::uint8_t>(argc))));
  }
  for (const Value& v : args)
    vm.stack.push_back(v);
  if (!proto.is_variadic) {
    if (argc < local_count) vm.stack.push_nils(local_count - argc);
  } else {
    // The arguments are on the stack (rooted) while the rest list is made; the prototype has no
    // frame yet to keep it.
    PrototypePin pin(vm, index);
    std::expected<Value, VmError> rest =
        make_rest_list(vm, h0 + arity, static_cast<std::uint32_t>(argc - arity));
    if (!rest) {
      RuntimeError e = attach_error_location(vm, std::move(rest.error()));
      cut_back();
      return std::unexpected(std::move(e));
    }
    vm.stack.truncate(h0 + arity);
    if (arity < local_count) {
      vm.stack.push_back(*rest);
      vm.stack.push_nils(local_count - arity - 1);
    }
  }
  CallFrame frame;
  frame.base = h0;
  frame.prototype = index;
  frame.arg_count = static_cast<std::uint8_t>(argc);
  if (std::expected<void, VmError> pushed = push_frame(vm, frame); !pushed) {
    RuntimeError e = attach_error_location(vm, std::move(pushed.error()));
    cut_back();
    return std::unexpected(std::move(e));
  }

  vm.walk_stop_error.reset();
  std::expected<Value, VmError> r = execute(vm, RunRecord{RunKind::Outermost, f0, h0, e0});
  if (!r) {
    // A walk over data stopped by the interrupt hook could only report that it was stopped;
    // the run ends with the hook's own error, as when the run loop polls it.
    if (vm.walk_stop_error) r = std::unexpected(*std::exchange(vm.walk_stop_error, std::nullopt));
    RuntimeError e = attach_error_location(vm, std::move(r.error()));
    cut_back();
    return std::unexpected(std::move(e));
  }
  return *r;
}

} // namespace quorvex
