// The run loop: one body, three entry modes (machine_internal.hpp), 43 opcodes.
//
// Rules of correctness.
//
//  1. `ip`, `code`, `consts`, `base` and `closure_key` are the top frame's state held in locals.
//     The frame's own `ip` is stale while the loop runs. SAVE_IP writes it back before anything
//     that looks at the frames from outside the loop body: a call of any kind, a native function,
//     the interrupt hook, an error (its location is read from the frame), an effect instruction.
//     LOAD_FRAME reloads all of them after anything that may have changed the frame stack: a
//     closure call or tail call, a return, a native function (it may run nested code), a perform,
//     an error the program took over.
//  2. `code` and `consts` point into a Prototype's own arrays. Prototypes are append-only and
//     immutable once appended; growth of `vm.prototypes` moves the records, not their arrays, so
//     the pointers stay valid for the whole run.
//  3. Nothing in the loop holds a pointer or reference into the value stack, the frame stack, the
//     globals or the heap's slot table across a push, an allocation, a collection or a call back
//     into the machine: values are copied into locals first, and slots are addressed by index.
//  4. Which instructions may collect: MakeClosure and MakeTemplateClosure (before they build
//     anything, while the captured values are still on the stack), MakeMap and MakeSet (while
//     making canonical keys, the pairs still on the stack), a closure call that builds a rest list
//     or matches patterns (arguments and prepared locals live on the stack), and an error offered
//     to the program. Every value such an instruction works on stays on the value stack until the
//     object built from it is in the heap, so the collector sees it as a root.
//  5. Native functions run with heap.native_depth raised, so nothing collects until they return.
//     Their arguments are copied into a local buffer off the stack first; the stack may then grow
//     or shrink freely under them.
//  6. The end test of the UntilDepth and Nested modes compares the frame count with the entry
//     depth. The count falls only by a return (Return, a native tail call, a boundary return), so
//     the test is made after those and nowhere else. After a perform and after an error the
//     program took over, the loop goes straight to the next fetch, as the modes require.
//  7. Every call of compiled code and every backward jump counts down to a poll of the interrupt
//     hook; an error it answers ends every run in progress (Vm::run_aborting).
//  8. Integer arithmetic never wraps: a result outside 64 bits is "ratio overflow", and the
//     remainder by -1 is computed without executing the trapping division.
#include <cmath>
#include <cstring>
#include <utility>

#include "util/internal_error.hpp"
#include "value/equality.hpp"
#include "value/keys.hpp"
#include "value/numbers.hpp"
#include "vm/instruction.hpp"
#include "vm/machine_internal.hpp"
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

bool take(std::expected<Value, VmError>&& r, ValueStack& st, VmError& err) {
  if (!r) {
    err = std::move(r.error());
    return false;
  }
  st.push_back(*r);
  return true;
}

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

// Lt, Le, Gt, Ge of operands that are not both Ints.
[[gnu::noinline]] bool compare_slow(ValueStack& st, Value a, Value b, Opcode op, VmError& err) {
  const bool a_plain = a.tag == Tag::Int || a.tag == Tag::Float;
  const bool b_plain = b.tag == Tag::Int || b.tag == Tag::Float;
  if (a_plain && b_plain) {
    st.push_back(Value::from_bool(double_test(double_view(a), double_view(b), op)));
    return true;
  }
  std::expected<int, VmError> ordering = compare_numbers(a, b);
  if (!ordering) {
    err = std::move(ordering.error());
    return false;
  }
  st.push_back(Value::from_bool(ordering_test(*ordering, op)));
  return true;
}

[[gnu::noinline]] bool arith_slow(ValueStack& st, Value a, Value b, RationalOp op, VmError& err) {
  return take(arith_values(a, b, op), st, err);
}

[[gnu::noinline]] bool equality(Vm& vm, Value a, Value b, bool negate, VmError& err) {
  Guarded<bool> eq = values_equal(vm.heap, a, b);
  if (!eq) {
    err = to_vm_error(eq.error());
    return false;
  }
  vm.stack.push_back(Value::from_bool(negate ? !*eq : *eq));
  return true;
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

void make_seq(Vm& vm, std::size_t count, bool is_vector) {
  ValueStack& st = vm.stack;
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
  const bool qualified = static_cast<Opcode>(word & 0xFF) == Opcode::PerformOp;
  const std::uint32_t effect_index = qualified ? (word >> 8) & 0xFF : (word >> 8) & 0xFFFF;
  if (effect_index >= const_count) internal_error("constant index outside the table");
  const Value effect_sym = consts[effect_index];
  if (effect_sym.tag != Tag::Symbol) {
    err = VmError::type_error("expected symbol for effect");
    return false;
  }
  Spur operation = effect_sym.as.spur;
  if (qualified) {
    const std::uint32_t op_index = (word >> 16) & 0xFF;
    if (op_index >= const_count) internal_error("constant index outside the table");
    if (consts[op_index].tag != Tag::Symbol) {
      err = VmError::type_error("expected symbol for operation");
      return false;
    }
    operation = consts[op_index].as.spur;
  }
  std::expected<EffectId, VmError> id = resolve_effect_symbol(vm, effect_sym);
  if (!id) {
    err = std::move(id.error());
    return false;
  }
  ValueStack& st = vm.stack;
  std::size_t count = word >> 24;
  const std::size_t n = st.size();
  if (count > n) count = n;
  std::vector<Value> args(st.data() + (n - count), st.data() + n);
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

VmError undefined_global(const Vm& vm, Spur name) {
  return VmError::undefined_variable(std::string(vm.interner.resolve(name)));
}

}  // namespace

std::expected<Value, VmError> execute(Vm& vm, RunSpec spec) {
  ActiveRun active(vm);
  ValueStack& st = vm.stack;

  // Nothing declared in this function may have a destructor that matters: the threaded dispatch
  // leaves scopes by computed goto. `err` lives across the whole run and is only assigned.
  const Instruction* code = nullptr;
  const Instruction* code_end = nullptr;
  // Fetches below this address need no check: the code's end, or a boundary frame's stop point.
  const Instruction* fetch_limit = nullptr;
  const Value* consts = nullptr;
  std::size_t const_count = 0;
  const Instruction* ip = nullptr;
  std::uint32_t base = 0;
  HeapKey closure_key{};
  std::uint32_t word = 0;
  std::uint32_t call_argc = 0;
  bool call_tail = false;
  Value result;
  VmError err;

#define SAVE_IP() (vm.frames.back().ip = static_cast<std::uint32_t>(ip - code))

#define LOAD_FRAME()                                                                           \
  do {                                                                                         \
    if (vm.frames.empty()) [[unlikely]] {                                                      \
      err = VmError::stack_underflow();                                                        \
      goto fail_no_frame;                                                                      \
    }                                                                                          \
    const CallFrame& lf_frame = vm.frames.back();                                              \
    if (lf_frame.prototype >= vm.prototypes.size()) [[unlikely]]                               \
      internal_error("frame prototype outside the prototype table");                           \
    const Prototype& lf_proto = vm.prototypes[lf_frame.prototype];                             \
    code = lf_proto.code.data();                                                               \
    code_end = code + lf_proto.code.size();                                                    \
    consts = lf_proto.constants.data();                                                        \
    const_count = lf_proto.constants.size();                                                   \
    if (lf_frame.ip > lf_proto.code.size()) [[unlikely]]                                       \
      internal_error("instruction pointer past the end of the code");                          \
    ip = code + lf_frame.ip;                                                                   \
    base = lf_frame.base;                                                                      \
    closure_key = lf_frame.closure;                                                            \
    fetch_limit = code_end;                                                                    \
    if (lf_frame.kind == FrameKind::Boundary && lf_frame.stop_ip < lf_proto.code.size())       \
      fetch_limit = code + lf_frame.stop_ip;                                                   \
  } while (0)

#define FAIL(e)                                                                                \
  do {                                                                                         \
    err = (e);                                                                                 \
    goto fail;                                                                                 \
  } while (0)

// Pops need this many values; with fewer, the ones there are popped and the step fails.
#define NEED(n)                                                                                \
  do {                                                                                         \
    if (st.size() < (n)) [[unlikely]] {                                                        \
      st.clear();                                                                              \
      FAIL(VmError::stack_underflow());                                                        \
    }                                                                                          \
  } while (0)

#define CONSTANT(index)                                                                        \
  ((index) < const_count ? consts[(index)]                                                     \
                         : (internal_error("constant index outside the table"), Value()))

#define POLL()                                                                                 \
  do {                                                                                         \
    if (--vm.interrupt_countdown == 0) [[unlikely]] {                                          \
      SAVE_IP();                                                                               \
      if (std::optional<VmError> pe = poll_interrupt(vm)) FAIL(std::move(*pe));                \
    }                                                                                          \
  } while (0)

#define END_TEST()                                                                             \
  do {                                                                                         \
    if (spec.mode != RunMode::ToCompletion && vm.frames.size() == spec.depth)                  \
      goto finish_at_depth;                                                                    \
  } while (0)

#define JUMP_BY(offset)                                                                        \
  do {                                                                                         \
    const std::ptrdiff_t jt = (ip - code) + static_cast<std::ptrdiff_t>(offset);               \
    if (jt < 0 || jt > code_end - code) [[unlikely]]                                           \
      internal_error("jump target outside the code");                                          \
    ip = code + jt;                                                                            \
  } while (0)

#define POP2(a, b)                                                                             \
  NEED(2);                                                                                     \
  const Value b = st[st.size() - 1];                                                           \
  const Value a = st[st.size() - 2];                                                           \
  st.truncate(st.size() - 2)

#define OFFSET() static_cast<std::int16_t>((word >> 8) & 0xFFFF)

#if QV_COMPUTED_GOTO
  // clang-format off
  static const void* const kLabels[kOpcodeCount] = {
      &&op_LoadConst, &&op_Pop, &&op_Dup, &&op_GetLocal, &&op_SetLocal, &&op_GetUpvalue,
      &&op_SetUpvalue, &&op_GetGlobal, &&op_SetGlobal, &&op_DefineGlobal, &&op_Add, &&op_Sub,
      &&op_Mul, &&op_Div, &&op_Rem, &&op_Neg, &&op_Eq, &&op_NotEq, &&op_Lt, &&op_Le, &&op_Gt,
      &&op_Ge, &&op_Not, &&op_Jump, &&op_JumpIfFalse, &&op_JumpIfTrue, &&op_Call, &&op_TailCall,
      &&op_Return, &&op_MakeClosure, &&op_MakeTemplateClosure, &&op_MakeList, &&op_MakeVector,
      &&op_MakeMap, &&op_MakeSet, &&op_PushHandler, &&op_PopHandler, &&op_Perform, &&op_Resume,
      &&op_PerformOp, &&op_CallBuiltin, &&op_GetGlobalIndexed, &&op_MakeVariant,
  };
  // clang-format on
#define DISPATCH()                                                                             \
  do {                                                                                         \
    if (ip >= fetch_limit) [[unlikely]]                                                        \
      goto fetch_slow;                                                                         \
    word = (ip++)->word;                                                                       \
    if ((word & 0xFF) > kMaxOpcode) [[unlikely]]                                               \
      goto invalid_op;                                                                         \
    goto* kLabels[word & 0xFF];                                                                \
  } while (0)
#define OP(name) op_##name:
#define BEGIN_DISPATCH()                                                                       \
  if ((word & 0xFF) > kMaxOpcode) goto invalid_op;                                             \
  goto* kLabels[word & 0xFF];
#define END_DISPATCH()
#else
#define DISPATCH() goto next_instruction
#define OP(name) case static_cast<std::uint32_t>(Opcode::name):
#define BEGIN_DISPATCH() switch (word & 0xFF) {
#define END_DISPATCH()                                                                         \
  default:                                                                                     \
    goto invalid_op;                                                                           \
    }
#endif

  LOAD_FRAME();

#if !QV_COMPUTED_GOTO
next_instruction:
#endif
  if (ip >= fetch_limit) [[unlikely]]
    goto fetch_slow;
  word = (ip++)->word;
dispatch_word:
  BEGIN_DISPATCH()

  OP(LoadConst) {
    st.push_back(CONSTANT((word >> 8) & 0xFFFF));
    DISPATCH();
  }
  OP(Pop) {
    NEED(1);
    st.pop_back();
    DISPATCH();
  }
  OP(Dup) {
    NEED(1);
    st.push_back(st.back());
    DISPATCH();
  }
  OP(GetLocal) {
    const std::size_t slot = static_cast<std::size_t>(base) + ((word >> 8) & 0xFF);
    if (slot >= st.size()) [[unlikely]]
      FAIL(VmError::index_out_of_bounds(static_cast<std::int64_t>(slot), st.size()));
    st.push_back(st[slot]);
    DISPATCH();
  }
  OP(SetLocal) {
    NEED(1);
    const Value v = st.back();
    st.pop_back();
    const std::size_t slot = static_cast<std::size_t>(base) + ((word >> 8) & 0xFF);
    if (slot >= st.size()) [[unlikely]]
      FAIL(VmError::index_out_of_bounds(static_cast<std::int64_t>(slot), st.size()));
    st[slot] = v;
    DISPATCH();
  }
  OP(GetUpvalue) {
    if (closure_key.version == 0) FAIL(VmError::type_error("no closure for upvalue access"));
    const Closure* clo = heap_get_as<Closure>(vm.heap, closure_key);
    if (clo == nullptr) FAIL(VmError::type_error("expected closure"));
    const std::uint32_t index = (word >> 8) & 0xFF;
    if (index >= clo->captures.size()) internal_error("capture index outside the closure");
    const Value v = clo->captures[index];
    st.push_back(v);
    DISPATCH();
  }
  OP(SetUpvalue) {
    if (closure_key.version == 0) FAIL(VmError::type_error("no closure for upvalue access"));
    NEED(1);
    const Value v = st.back();
    st.pop_back();
    Closure* clo = heap_get_mut_as<Closure>(vm.heap, closure_key);
    if (clo == nullptr) FAIL(VmError::type_error("expected closure"));
    const std::uint32_t index = (word >> 8) & 0xFF;
    if (index >= clo->captures.size()) internal_error("capture index outside the closure");
    clo->captures[index] = v;
    DISPATCH();
  }
  OP(GetGlobal) {
    const Value name = CONSTANT((word >> 8) & 0xFFFF);
    if (name.tag != Tag::Symbol) FAIL(VmError::type_error("expected symbol"));
    const auto it = vm.global_index.find(name.as.spur);
    if (it == vm.global_index.end() || it->second >= vm.globals.size()) [[unlikely]]
      FAIL(undefined_global(vm, name.as.spur));
    st.push_back(vm.globals[it->second]);
    DISPATCH();
  }
  OP(SetGlobal)
  OP(DefineGlobal) {
    const Value name = CONSTANT((word >> 8) & 0xFFFF);
    if (name.tag != Tag::Symbol) FAIL(VmError::type_error("expected symbol"));
    NEED(1);
    const Value v = st.back();
    st.pop_back();
    define_global(vm, name.as.spur, v);
    // An effect takes its name from the first global it is bound to.
    Effect* effect = v.tag == Tag::Object ? heap_get_mut_as<Effect>(vm.heap, v.as.key) : nullptr;
    if (effect != nullptr && effect->name == 0) effect->name = name.as.spur;
    DISPATCH();
  }
  OP(GetGlobalIndexed) {
    const std::uint32_t index = (word >> 8) & 0xFFFF;
    // The compiler predicts the positions of globals defined earlier in the same form; when such
    // a definition did not run, the position may not exist yet.
    if (index >= vm.globals.size()) [[unlikely]]
      FAIL(VmError::undefined_variable("global #" + std::to_string(index)));
    st.push_back(vm.globals[index]);
    DISPATCH();
  }
  OP(Add) {
    POP2(a, b);
    std::int64_t r;
    if (a.tag == Tag::Int && b.tag == Tag::Int) [[likely]] {
      if (__builtin_add_overflow(a.as.integer, b.as.integer, &r)) [[unlikely]]
        FAIL(VmError::type_error("ratio overflow"));
      st.push_back(Value::from_int(r));
    } else if (a.tag == Tag::Float && b.tag == Tag::Float) {
      st.push_back(Value::from_float(a.as.floating + b.as.floating));
    } else if (!arith_slow(st, a, b, RationalOp::Add, err)) {
      goto fail;
    }
    DISPATCH();
  }
  OP(Sub) {
    POP2(a, b);
    std::int64_t r;
    if (a.tag == Tag::Int && b.tag == Tag::Int) [[likely]] {
      if (__builtin_sub_overflow(a.as.integer, b.as.integer, &r)) [[unlikely]]
        FAIL(VmError::type_error("ratio overflow"));
      st.push_back(Value::from_int(r));
    } else if (a.tag == Tag::Float && b.tag == Tag::Float) {
      st.push_back(Value::from_float(a.as.floating - b.as.floating));
    } else if (!arith_slow(st, a, b, RationalOp::Subtract, err)) {
      goto fail;
    }
    DISPATCH();
  }
  OP(Mul) {
    POP2(a, b);
    std::int64_t r;
    if (a.tag == Tag::Int && b.tag == Tag::Int) [[likely]] {
      if (__builtin_mul_overflow(a.as.integer, b.as.integer, &r)) [[unlikely]]
        FAIL(VmError::type_error("ratio overflow"));
      st.push_back(Value::from_int(r));
    } else if (a.tag == Tag::Float && b.tag == Tag::Float) {
      st.push_back(Value::from_float(a.as.floating * b.as.floating));
    } else if (!arith_slow(st, a, b, RationalOp::Multiply, err)) {
      goto fail;
    }
    DISPATCH();
  }
  OP(Div) {
    POP2(a, b);
    if (!take(divide_values(a, b), st, err)) goto fail;
    DISPATCH();
  }
  OP(Rem) {
    POP2(a, b);
    // The remainder by -1 is 0 (remainder_values); the hardware division would trap on the
    // smallest integer, so that pair never reaches it.
    if (a.tag == Tag::Int && b.tag == Tag::Int && b.as.integer != 0 && b.as.integer != -1)
        [[likely]] {
      st.push_back(Value::from_int(a.as.integer % b.as.integer));
    } else if (!take(remainder_values(a, b), st, err)) {
      goto fail;
    }
    DISPATCH();
  }
  OP(Neg) {
    NEED(1);
    const Value a = st.back();
    st.pop_back();
    if (!take(negate_value(a), st, err)) goto fail;
    DISPATCH();
  }
  OP(Eq)
  OP(NotEq) {
    POP2(a, b);
    const bool negate = static_cast<Opcode>(word & 0xFF) == Opcode::NotEq;
    if (a.tag != Tag::Object || b.tag != Tag::Object) {
      const bool eq = scalar_values_equal(a, b);
      st.push_back(Value::from_bool(negate ? !eq : eq));
    } else if (!equality(vm, a, b, negate, err)) {
      goto fail;
    }
    DISPATCH();
  }
  OP(Lt)
  OP(Le)
  OP(Gt)
  OP(Ge) {
    POP2(a, b);
    const auto cmp = static_cast<Opcode>(word & 0xFF);
    if (a.tag == Tag::Int && b.tag == Tag::Int) [[likely]] {
      const std::int64_t x = a.as.integer;
      const std::int64_t y = b.as.integer;
      st.push_back(Value::from_bool(ordering_test(x < y ? -1 : (x > y ? 1 : 0), cmp)));
    } else if (!compare_slow(st, a, b, cmp, err)) {
      goto fail;
    }
    DISPATCH();
  }
  OP(Not) {
    NEED(1);
    st.back() = Value::from_bool(!is_truthy(st.back()));
    DISPATCH();
  }
  OP(Jump) {
    if (OFFSET() < 0) POLL();
    JUMP_BY(OFFSET());
    DISPATCH();
  }
  OP(JumpIfFalse) {
    NEED(1);
    const bool truthy = is_truthy(st.back());
    st.pop_back();
    if (!truthy) {
      if (OFFSET() < 0) POLL();
      JUMP_BY(OFFSET());
    }
    DISPATCH();
  }
  OP(JumpIfTrue) {
    NEED(1);
    const bool truthy = is_truthy(st.back());
    st.pop_back();
    if (truthy) {
      if (OFFSET() < 0) POLL();
      JUMP_BY(OFFSET());
    }
    DISPATCH();
  }
  OP(Call) {
    call_argc = (word >> 8) & 0xFF;
    call_tail = false;
    goto do_call;
  }
  OP(TailCall) {
    call_argc = (word >> 8) & 0xFF;
    call_tail = true;
    goto do_call;
  }
  OP(Return) {
    NEED(1);
    result = st.back();
    st.pop_back();
    if (return_from_frame(vm, result)) goto done;
    END_TEST();
    LOAD_FRAME();
    DISPATCH();
  }
  OP(MakeClosure) {
    const std::uint32_t proto = (word >> 8) & 0xFFFF;
    const std::uint32_t count = word >> 24;
    if (proto >= vm.prototypes.size()) internal_error("closure prototype outside the table");
    NEED(count);
    make_closure(vm, plain_function(vm, proto), count);
    DISPATCH();
  }
  OP(MakeTemplateClosure) {
    if (!make_template_closure(vm, consts, const_count, (word >> 8) & 0xFFFF, word >> 24, err))
      goto fail;
    DISPATCH();
  }
  OP(MakeList)
  OP(MakeVector) {
    make_seq(vm, (word >> 8) & 0xFFFF, static_cast<Opcode>(word & 0xFF) == Opcode::MakeVector);
    DISPATCH();
  }
  OP(MakeMap) {
    if (!make_map_or_set(vm, static_cast<std::size_t>((word >> 8) & 0xFFFF) * 2, true, err))
      goto fail;
    DISPATCH();
  }
  OP(MakeSet) {
    if (!make_map_or_set(vm, (word >> 8) & 0xFFFF, false, err)) goto fail;
    DISPATCH();
  }
  OP(MakeVariant) {
    if (!make_variant(vm, (word >> 8) & 0xFFFF, word >> 24, err)) goto fail;
    DISPATCH();
  }
  OP(PushHandler) {
    SAVE_IP();
    if (!take(push_handler(vm, vm.prototypes[vm.frames.back().prototype],
                           static_cast<std::uint32_t>(ip - code),
                           static_cast<std::uint16_t>(word >> 8)),
              err))
      goto fail;
    DISPATCH();
  }
  OP(PopHandler) {
    if (!vm.handlers.empty()) vm.handlers.pop_back();
    DISPATCH();
  }
  OP(Perform)
  OP(PerformOp) {
    SAVE_IP();
    if (!perform(vm, word, consts, const_count, err)) goto fail;
    // A clause frame may have been pushed; the loop goes on without the end test.
    LOAD_FRAME();
    DISPATCH();
  }
  OP(Resume) {
    SAVE_IP();
    if (!resume(vm, err)) goto fail;
    LOAD_FRAME();
    DISPATCH();
  }
  OP(CallBuiltin) {
    SAVE_IP();
    if (!take(call_native_from_stack(vm, static_cast<std::uint16_t>((word >> 8) & 0xFFFF),
                                     word >> 24),
              err))
      goto fail;
    LOAD_FRAME();
    DISPATCH();
  }

  END_DISPATCH()

do_call: {
  NEED(1);
  const Value callee = st.back();
  st.pop_back();
  NEED(call_argc);
  SAVE_IP();
  POLL();
  if (callee.tag == Tag::Object && heap_get_as<Closure>(vm.heap, callee.as.key) != nullptr)
      [[likely]] {
    if (!take(enter_closure(vm, callee.as.key, static_cast<std::uint32_t>(st.size() - call_argc),
                            call_argc, call_tail ? CallSite::CompiledTail : CallSite::Compiled),
              err))
      goto fail;
    LOAD_FRAME();
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
  LOAD_FRAME();
  DISPATCH();
}

fetch_slow: {
  // Either a boundary frame reached its stop point, or ip is past its fast-fetch limit.
  const CallFrame& top = vm.frames.back();
  if (top.kind == FrameKind::Boundary && static_cast<std::uint32_t>(ip - code) == top.stop_ip) {
    NEED(1);
    result = st.back();
    st.pop_back();
    const CallFrame frame = top;
    vm.frames.pop_back();
    st.truncate(frame.has_saved_height() ? frame.saved_height : frame.base);
    if (frame.has_handler_index() && frame.handler_index < vm.handlers.size())
      vm.handlers[frame.handler_index].active = 1;
    if (vm.frames.empty()) goto done;
    st.push_back(result);
    END_TEST();
    LOAD_FRAME();
    DISPATCH();
  }
  if (ip >= code_end) internal_error("instruction pointer past the end of the code");
  word = (ip++)->word;
  goto dispatch_word;
}

invalid_op:
  err = VmError::invalid_opcode(static_cast<std::uint8_t>(word & 0xFF));
  goto fail;

finish_at_depth:
  if (st.empty()) {
    err = VmError::stack_underflow();
    goto fail_no_frame;
  }
  result = st.back();
  st.pop_back();
  if (spec.mode == RunMode::Nested) {
    st.truncate(spec.stack_height);
    if (spec.handler_count < vm.handlers.size()) vm.handlers.resize(spec.handler_count);
  }
  return result;

done:
  if (spec.mode == RunMode::Nested) {
    st.truncate(spec.stack_height);
    if (spec.handler_count < vm.handlers.size()) vm.handlers.resize(spec.handler_count);
  }
  return result;

fail:
  if (!vm.frames.empty()) SAVE_IP();
fail_no_frame:
  if (spec.mode == RunMode::Nested) return std::unexpected(std::move(err));
  if (!take(raise_runtime_error(vm, std::move(err)), err)) return std::unexpected(std::move(err));
  // The program took the error over; the loop goes on where the offer left the machine.
  LOAD_FRAME();
  DISPATCH();

#undef SAVE_IP
#undef LOAD_FRAME
#undef FAIL
#undef NEED
#undef CONSTANT
#undef POLL
#undef END_TEST
#undef JUMP_BY
#undef POP2
#undef OFFSET
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

  auto cut_back = [&] {
    vm.stack.truncate(h0);
    if (vm.frames.size() > f0) vm.frames.resize(f0);
    if (vm.handlers.size() > e0) vm.handlers.resize(e0);
  };
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
    // The arguments are on the stack (rooted) while the rest list is made.
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

  std::expected<Value, VmError> r = execute(vm, RunSpec{RunMode::ToCompletion, 0, h0, e0});
  if (!r) {
    RuntimeError e = attach_error_location(vm, std::move(r.error()));
    cut_back();
    return std::unexpected(std::move(e));
  }
  return *r;
}

} // namespace quorvex
