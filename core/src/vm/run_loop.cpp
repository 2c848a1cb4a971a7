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

VmError type_error(const char* text) {
  return VmError::type_error(text);
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

bool float_compare(double x, double y, Opcode op) {
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

// Lt, Le, Gt, Ge of two numbers of any kinds.
std::expected<bool, VmError> compare_op(const Value& a, const Value& b, Opcode op) {
  if (a.tag == Tag::Int && b.tag == Tag::Int) {
    const std::int64_t x = a.as.integer;
    const std::int64_t y = b.as.integer;
    return ordering_test(x < y ? -1 : (x > y ? 1 : 0), op);
  }
  bool a_simple = a.tag == Tag::Int || a.tag == Tag::Float;
  bool b_simple = b.tag == Tag::Int || b.tag == Tag::Float;
  if (a_simple && b_simple) return float_compare(double_view(a), double_view(b), op);
  std::expected<int, VmError> ord = compare_numbers(a, b);
  if (!ord) return std::unexpected(std::move(ord.error()));
  return ordering_test(*ord, op);
}

} // namespace

std::expected<Value, VmError> execute(Vm& vm, RunSpec spec) {
  ActiveRun active(vm);
  ValueStack& st = vm.stack;

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
  std::uint32_t op = 0;
  std::uint32_t call_argc = 0;
  bool call_tail = false;
  Value result;
  VmError err;

#define SAVE_IP() (vm.frames.back().ip = static_cast<std::uint32_t>(ip - code))

#define LOAD_FRAME()                                                                               \
  do {                                                                                             \
    if (vm.frames.empty()) [[unlikely]] {                                                          \
      err = VmError::stack_underflow();                                                            \
      goto fail_no_frame;                                                                          \
    }                                                                                              \
    const CallFrame& lf_frame = vm.frames.back();                                                  \
    if (lf_frame.prototype >= vm.prototypes.size()) [[unlikely]]                                   \
      internal_error("frame prototype outside the prototype table");                               \
    const Prototype& lf_proto = vm.prototypes[lf_frame.prototype];                                 \
    code = lf_proto.code.data();                                                                   \
    code_end = code + lf_proto.code.size();                                                        \
    consts = lf_proto.constants.data();                                                            \
    const_count = lf_proto.constants.size();                                                       \
    if (lf_frame.ip > lf_proto.code.size()) [[unlikely]]                                           \
      internal_error("instruction pointer past the end of the code");                              \
    ip = code + lf_frame.ip;                                                                       \
    base = lf_frame.base;                                                                          \
    closure_key = lf_frame.closure;                                                                \
    fetch_limit = code_end;                                                                        \
    if (lf_frame.kind == FrameKind::Boundary && lf_frame.stop_ip < lf_proto.code.size())           \
      fetch_limit = code + lf_frame.stop_ip;                                                       \
  } while (0)

#define FAIL(e)                                                                                    \
  do {                                                                                             \
    err = (e);                                                                                     \
    goto fail;                                                                                     \
  } while (0)

// Pops need this many values; with fewer, the ones there are popped and the step fails.
#define NEED(n)                                                                                    \
  do {                                                                                             \
    if (st.size() < (n)) [[unlikely]] {                                                            \
      st.clear();                                                                                  \
      FAIL(VmError::stack_underflow());                                                            \
    }                                                                                              \
  } while (0)

#define CONSTANT(index)                                                                            \
  ((index) < const_count ? consts[(index)]                                                         \
                         : (internal_error("constant index outside the table"), Value()))

#define POLL()                                                                                     \
  do {                                                                                             \
    if (--vm.interrupt_countdown == 0) [[unlikely]] {                                              \
      SAVE_IP();                                                                                   \
      if (std::optional<VmError> pe = poll_interrupt(vm)) FAIL(std::move(*pe));                    \
    }                                                                                              \
  } while (0)

#define END_TEST()                                                                                 \
  do {                                                                                             \
    if (spec.mode != RunMode::ToCompletion && vm.frames.size() == spec.depth)                      \
      goto finish_at_depth;                                                                        \
  } while (0)

#define JUMP_BY(offset)                                                                            \
  do {                                                                                             \
    std::ptrdiff_t jt = (ip - code) + static_cast<std::ptrdiff_t>(offset);                         \
    if (jt < 0 || jt > code_end - code) [[unlikely]]                                               \
      internal_error("jump target outside the code");                                              \
    ip = code + jt;                                                                                \
  } while (0)

#if QV_COMPUTED_GOTO
  static const void* const kLabels[kOpcodeCount] = {
      &&op_LoadConst,
      &&op_Pop,
      &&op_Dup,
      &&op_GetLocal,
      &&op_SetLocal,
      &&op_GetUpvalue,
      &&op_SetUpvalue,
      &&op_GetGlobal,
      &&op_SetGlobal,
      &&op_DefineGlobal,
      &&op_Add,
      &&op_Sub,
      &&op_Mul,
      &&op_Div,
      &&op_Rem,
      &&op_Neg,
      &&op_Eq,
      &&op_NotEq,
      &&op_Lt,
      &&op_Le,
      &&op_Gt,
      &&op_Ge,
      &&op_Not,
      &&op_Jump,
      &&op_JumpIfFalse,
      &&op_JumpIfTrue,
      &&op_Call,
      &&op_TailCall,
      &&op_Return,
      &&op_MakeClosure,
      &&op_MakeTemplateClosure,
      &&op_MakeList,
      &&op_MakeVector,
      &&op_MakeMap,
      &&op_MakeSet,
      &&op_PushHandler,
      &&op_PopHandler,
      &&op_Perform,
      &&op_Resume,
      &&op_PerformOp,
      &&op_CallBuiltin,
      &&op_GetGlobalIndexed,
      &&op_MakeVariant,
  };
#define DISPATCH()                                                                                 \
  do {                                                                                             \
    if (ip >= fetch_limit) [[unlikely]]                                                            \
      goto fetch_slow;                                                                             \
    word = (ip++)->word;                                                                           \
    op = word & 0xFF;                                                                              \
    if (op > kMaxOpcode) [[unlikely]]                                                              \
      goto invalid_op;                                                                             \
    goto* kLabels[op];                                                                             \
  } while (0)
#define OP(name) op_##name:
#define BEGIN_DISPATCH()                                                                           \
  op = word & 0xFF;                                                                                \
  if (op > kMaxOpcode) goto invalid_op;                                                            \
  goto* kLabels[op];
#define END_DISPATCH()
#else
#define DISPATCH() goto next_instruction
#define OP(name) case static_cast<std::uint32_t>(Opcode::name):
#define BEGIN_DISPATCH() switch (word & 0xFF) {
#define END_DISPATCH()                                                                             \
  default:                                                                                         \
    goto invalid_op;                                                                               \
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
    std::uint32_t ab = (word >> 8) & 0xFFFF;
    st.push_back(CONSTANT(ab));
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
    std::size_t slot = static_cast<std::size_t>(base) + ((word >> 8) & 0xFF);
    if (slot >= st.size()) [[unlikely]]
      FAIL(VmError::index_out_of_bounds(static_cast<std::int64_t>(slot), st.size()));
    st.push_back(st[slot]);
    DISPATCH();
  }
  OP(SetLocal) {
    NEED(1);
    Value v = st.back();
    st.pop_back();
    std::size_t slot = static_cast<std::size_t>(base) + ((word >> 8) & 0xFF);
    if (slot >= st.size()) [[unlikely]]
      FAIL(VmError::index_out_of_bounds(static_cast<std::int64_t>(slot), st.size()));
    st[slot] = v;
    DISPATCH();
  }
  OP(GetUpvalue) {
    if (closure_key.version == 0) FAIL(type_error("no closure for upvalue access"));
    const Closure* clo = heap_get_as<Closure>(vm.heap, closure_key);
    if (clo == nullptr) FAIL(type_error("expected closure"));
    std::uint32_t index = (word >> 8) & 0xFF;
    if (index >= clo->captures.size()) internal_error("capture index outside the closure");
    Value v = clo->captures[index];
    st.push_back(v);
    DISPATCH();
  }
  OP(SetUpvalue) {
    if (closure_key.version == 0) FAIL(type_error("no closure for upvalue access"));
    NEED(1);
    Value v = st.back();
    st.pop_back();
    Closure* clo = heap_get_mut_as<Closure>(vm.heap, closure_key);
    if (clo == nullptr) FAIL(type_error("expected closure"));
    std::uint32_t index = (word >> 8) & 0xFF;
    if (index >= clo->captures.size()) internal_error("capture index outside the closure");
    clo->captures[index] = v;
    DISPATCH();
  }
  OP(GetGlobal) {
    Value name = CONSTANT((word >> 8) & 0xFFFF);
    if (name.tag != Tag::Symbol) FAIL(type_error("expected symbol"));
    auto it = vm.global_index.find(name.as.spur);
    if (it == vm.global_index.end() || it->second >= vm.globals.size()) [[unlikely]]
      FAIL(VmError::undefined_variable(std::string(vm.interner.resolve(name.as.spur))));
    st.push_back(vm.globals[it->second]);
    DISPATCH();
  }
  OP(SetGlobal)
  OP(DefineGlobal) {
    Value name = CONSTANT((word >> 8) & 0xFFFF);
    if (name.tag != Tag::Symbol) FAIL(type_error("expected symbol"));
    NEED(1);
    Value v = st.back();
    st.pop_back();
    define_global(vm, name.as.spur, v);
    if (Effect* effect =
            v.tag == Tag::Object ? heap_get_mut_as<Effect>(vm.heap, v.as.key) : nullptr;
        effect != nullptr && effect->name == 0) {
      effect->name = name.as.spur;
    }
    DISPATCH();
  }
  OP(GetGlobalIndexed) {
    std::uint32_t index = (word >> 8) & 0xFFFF;
    // The compiler predicts the positions of globals defined earlier in the same form; when such
    // a definition did not run, the position may not exist yet.
    if (index >= vm.globals.size()) [[unlikely]]
      FAIL(VmError::undefined_variable("global #" + std::to_string(index)));
    st.push_back(vm.globals[index]);
    DISPATCH();
  }

#define ARITH(OPNAME, BUILTIN_OVERFLOW, FLOAT_OP, RATIONAL)                                        \
  {                                                                                                \
    NEED(2);                                                                                       \
    std::size_t n = st.size();                                                                     \
    Value b = st[n - 1];                                                                           \
    Value a = st[n - 2];                                                                           \
    st.truncate(n - 2);                                                                            \
    if (a.tag == Tag::Int && b.tag == Tag::Int) [[likely]] {                                       \
      std::int64_t r;                                                                              \
      if (BUILTIN_OVERFLOW(a.as.integer, b.as.integer, &r)) [[unlikely]]                           \
        FAIL(VmError::type_error("ratio overflow"));                                               \
      st.push_back(Value::from_int(r));                                                            \
      DISPATCH();                                                                                  \
    }                                                                                              \
    if (a.tag == Tag::Float && b.tag == Tag::Float) {                                              \
      st.push_back(Value::from_float(a.as.floating FLOAT_OP b.as.floating));                       \
      DISPATCH();                                                                                  \
    }                                                                                              \
    std::expected<Value, VmError> r = arith_values(a, b, RATIONAL);                                \
    if (!r) FAIL(std::move(r.error()));                                                            \
    st.push_back(*r);                                                                              \
    DISPATCH();                                                                                    \
  }

  OP(Add)
  ARITH(Add, __builtin_add_overflow, +, RationalOp::Add) OP(Sub)
      ARITH(Sub, __builtin_sub_overflow, -, RationalOp::Subtract) OP(Mul)
          ARITH(Mul, __builtin_mul_overflow, *, RationalOp::Multiply)
#undef ARITH

              OP(Div) {
    NEED(2);
    std::size_t n = st.size();
    Value b = st[n - 1];
    Value a = st[n - 2];
    st.truncate(n - 2);
    std::expected<Value, VmError> r = divide_values(a, b);
    if (!r) FAIL(std::move(r.error()));
    st.push_back(*r);
    DISPATCH();
  }
  OP(Rem) {
    NEED(2);
    std::size_t n = st.size();
    Value b = st[n - 1];
    Value a = st[n - 2];
    st.truncate(n - 2);
    if (a.tag == Tag::Int && b.tag == Tag::Int && b.as.integer != 0 && b.as.integer != -1)
        [[likely]] {
      st.push_back(Value::from_int(a.as.integer % b.as.integer));
      DISPATCH();
    }
    std::expected<Value, VmError> r = remainder_values(a, b);
    if (!r) FAIL(std::move(r.error()));
    st.push_back(*r);
    DISPATCH();
  }
  OP(Neg) {
    NEED(1);
    Value a = st.back();
    st.pop_back();
    std::expected<Value, VmError> r = negate_value(a);
    if (!r) FAIL(std::move(r.error()));
    st.push_back(*r);
    DISPATCH();
  }
  OP(Eq)
  OP(NotEq) {
    NEED(2);
    std::size_t n = st.size();
    Value b = st[n - 1];
    Value a = st[n - 2];
    st.truncate(n - 2);
    Guarded<bool> eq = values_equal(vm.heap, a, b);
    if (!eq) FAIL(to_vm_error(eq.error()));
    bool r = static_cast<Opcode>(word & 0xFF) == Opcode::Eq ? *eq : !*eq;
    st.push_back(Value::from_bool(r));
    DISPATCH();
  }
  OP(Lt)
  OP(Le)
  OP(Gt)
  OP(Ge) {
    NEED(2);
    std::size_t n = st.size();
    Value b = st[n - 1];
    Value a = st[n - 2];
    st.truncate(n - 2);
    auto cmp_op = static_cast<Opcode>(word & 0xFF);
    if (a.tag == Tag::Int && b.tag == Tag::Int) [[likely]] {
      bool r;
      switch (cmp_op) {
      case Opcode::Lt:
        r = a.as.integer < b.as.integer;
        break;
      case Opcode::Le:
        r = a.as.integer <= b.as.integer;
        break;
      case Opcode::Gt:
        r = a.as.integer > b.as.integer;
        break;
      default:
        r = a.as.integer >= b.as.integer;
        break;
      }
      st.push_back(Value::from_bool(r));
      DISPATCH();
    }
    std::expected<bool, VmError> r = compare_op(a, b, cmp_op);
    if (!r) FAIL(std::move(r.error()));
    st.push_back(Value::from_bool(*r));
    DISPATCH();
  }
  OP(Not) {
    NEED(1);
    bool falsy = !is_truthy(st.back());
    st.back() = Value::from_bool(falsy);
    DISPATCH();
  }
  OP(Jump) {
    auto offset = static_cast<std::int16_t>((word >> 8) & 0xFFFF);
    if (offset < 0) POLL();
    JUMP_BY(offset);
    DISPATCH();
  }
  OP(JumpIfFalse) {
    NEED(1);
    bool truthy = is_truthy(st.back());
    st.pop_back();
    if (!truthy) {
      auto offset = static_cast<std::int16_t>((word >> 8) & 0xFFFF);
      if (offset < 0) POLL();
      JUMP_BY(offset);
    }
    DISPATCH();
  }
  OP(JumpIfTrue) {
    NEED(1);
    bool truthy = is_truthy(st.back());
    st.pop_back();
    if (truthy) {
      auto offset = static_cast<std::int16_t>((word >> 8) & 0xFFFF);
      if (offset < 0) POLL();
      JUMP_BY(offset);
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
    std::uint32_t proto = (word >> 8) & 0xFFFF;
    std::uint32_t count = word >> 24;
    if (proto >= vm.prototypes.size()) internal_error("closure prototype outside the table");
    NEED(count);
    // The captured values stay on the stack, so they are roots if this collects.
    collect_if_due(vm.heap);
    Closure clo{plain_function(vm, proto), {}};
    std::size_t n = st.size();
    clo.captures.assign(st.data() + (n - count), st.data() + n);
    HeapKey key = heap_insert(vm.heap, HeapObject(std::move(clo)));
    st.truncate(n - count);
    st.push_back(Value::object(key));
    DISPATCH();
  }
  OP(MakeTemplateClosure) {
    std::uint32_t index = (word >> 8) & 0xFFFF;
    std::uint32_t count = word >> 24;
    if (index >= const_count || consts[index].tag != Tag::Object)
      FAIL(type_error("expected closure template constant"));
    const ClosureTemplate* tpl = heap_get_as<ClosureTemplate>(vm.heap, consts[index].as.key);
    if (tpl == nullptr) FAIL(type_error("expected closure template"));
    FunctionRef function = tpl->function;
    NEED(count);
    collect_if_due(vm.heap);
    Closure clo{std::move(function), {}};
    std::size_t n = st.size();
    clo.captures.assign(st.data() + (n - count), st.data() + n);
    HeapKey key = heap_insert(vm.heap, HeapObject(std::move(clo)));
    st.truncate(n - count);
    st.push_back(Value::object(key));
    DISPATCH();
  }
  OP(MakeList)
  OP(MakeVector) {
    std::size_t count = (word >> 8) & 0xFFFF;
    std::size_t n = st.size();
    if (count > n) count = n;
    SeqObject seq;
    seq.items = ValueVector::from_range(st.data() + (n - count), st.data() + n);
    seq.is_vector = static_cast<Opcode>(word & 0xFF) == Opcode::MakeVector;
    HeapKey key = heap_insert(vm.heap, HeapObject(std::move(seq)));
    st.truncate(n - count);
    st.push_back(Value::object(key));
    DISPATCH();
  }
  OP(MakeMap) {
    std::size_t count = static_cast<std::size_t>((word >> 8) & 0xFFFF) * 2;
    std::size_t n = st.size();
    if (count > n) count = n;
    // A copy of the pairs to work from; the originals stay on the stack as roots while canonical
    // keys are made (which may collect).
    std::vector<Value> pairs(st.data() + (n - count), st.data() + n);
    Guarded<ValueMap> map = build_map_from_pairs(vm.heap, pairs);
    if (!map) {
      st.truncate(n - count);
      FAIL(to_vm_error(map.error()));
    }
    HeapKey key = heap_insert(vm.heap, HeapObject(MapObject{std::move(*map)}));
    st.truncate(n - count);
    st.push_back(Value::object(key));
    DISPATCH();
  }
  OP(MakeSet) {
    std::size_t count = (word >> 8) & 0xFFFF;
    std::size_t n = st.size();
    if (count > n) count = n;
    std::vector<Value> elements(st.data() + (n - count), st.data() + n);
    Guarded<ValueSet> set = build_set_from_values(vm.heap, elements);
    if (!set) {
      st.truncate(n - count);
      FAIL(to_vm_error(set.error()));
    }
    HeapKey key = heap_insert(vm.heap, HeapObject(SetObject{std::move(*set)}));
    st.truncate(n - count);
    st.push_back(Value::object(key));
    DISPATCH();
  }
  OP(MakeVariant) {
    std::uint32_t type_id = (word >> 8) & 0xFFFF;
    std::uint32_t variant_index = word >> 24;
    const TypeInfo* type = vm.types.find(type_id);
    if (type == nullptr) FAIL(type_error("unknown variant type"));
    if (variant_index >= type->variants.size()) internal_error("variant index outside its type");
    const VariantInfo& info = type->variants[variant_index];
    std::size_t fields = info.field_names.size();
    if (fields == 0) {
      if (!info.singleton) internal_error("singleton missing for zero-field variant");
      st.push_back(Value::object(*info.singleton));
      DISPATCH();
    }
    std::size_t n = st.size();
    if (fields > n) fields = n;
    Variant variant;
    variant.fields.assign(st.data() + (n - fields), st.data() + n);
    variant.tag = VariantTag::make(type_id, variant_index);
    HeapKey key = heap_insert(vm.heap, HeapObject(std::move(variant)));
    st.truncate(n - fields);
    st.push_back(Value::object(key));
    DISPATCH();
  }
  OP(PushHandler) {
    SAVE_IP();
    const Prototype& proto = vm.prototypes[vm.frames.back().prototype];
    std::expected<void, VmError> r = push_handler(vm, proto, static_cast<std::uint32_t>(ip - code),
                                                  static_cast<std::uint16_t>(word >> 8));
    if (!r) FAIL(std::move(r.error()));
    DISPATCH();
  }
  OP(PopHandler) {
    if (!vm.handlers.empty()) vm.handlers.pop_back();
    DISPATCH();
  }
  OP(Perform)
  OP(PerformOp) {
    bool qualified = static_cast<Opcode>(word & 0xFF) == Opcode::PerformOp;
    Value effect_sym = qualified ? CONSTANT((word >> 8) & 0xFF) : CONSTANT((word >> 8) & 0xFFFF);
    if (effect_sym.tag != Tag::Symbol) FAIL(type_error("expected symbol for effect"));
    Spur operation = effect_sym.as.spur;
    if (qualified) {
      Value op_sym = CONSTANT((word >> 16) & 0xFF);
      if (op_sym.tag != Tag::Symbol) FAIL(type_error("expected symbol for operation"));
      operation = op_sym.as.spur;
    }
    std::expected<EffectId, VmError> id = resolve_effect_symbol(vm, effect_sym);
    if (!id) FAIL(std::move(id.error()));
    std::size_t count = word >> 24;
    std::size_t n = st.size();
    if (count > n) count = n;
    std::vector<Value> args(st.data() + (n - count), st.data() + n);
    st.truncate(n - count);
    SAVE_IP();
    std::expected<void, VmError> r = perform_effect(vm, *id, operation, std::move(args));
    if (!r) FAIL(std::move(r.error()));
    LOAD_FRAME();
    DISPATCH();
  }
  OP(Resume) {
    NEED(2);
    Value v = st.back();
    st.pop_back();
    Value k = st.back();
    st.pop_back();
    if (k.tag != Tag::Object) FAIL(type_error("expected continuation"));
    SAVE_IP();
    std::expected<void, VmError> r = resume_continuation(vm, k.as.key, v);
    if (!r) FAIL(std::move(r.error()));
    LOAD_FRAME();
    DISPATCH();
  }
  OP(CallBuiltin) {
    SAVE_IP();
    std::expected<void, VmError> r =
        call_native_from_stack(vm, static_cast<std::uint16_t>((word >> 8) & 0xFFFF), word >> 24);
    if (!r) FAIL(std::move(r.error()));
    LOAD_FRAME();
    DISPATCH();
  }

  END_DISPATCH()

do_call : {
  NEED(1);
  Value callee = st.back();
  st.pop_back();
  NEED(call_argc);
  SAVE_IP();
  POLL();
  if (callee.tag == Tag::Object) {
    if (heap_get_as<Closure>(vm.heap, callee.as.key) != nullptr) [[likely]] {
      auto base_of_args = static_cast<std::uint32_t>(st.size() - call_argc);
      std::expected<void, VmError> r =
          enter_closure(vm, callee.as.key, base_of_args, call_argc,
                        call_tail ? CallSite::CompiledTail : CallSite::Compiled);
      if (!r) FAIL(std::move(r.error()));
      LOAD_FRAME();
      DISPATCH();
    }
  }
  std::expected<OtherCallResult, VmError> r = call_non_closure(vm, callee, call_argc, call_tail);
  if (!r) FAIL(std::move(r.error()));
  if (r->finished) {
    result = r->value;
    goto done;
  }
  if (call_tail && callee.tag == Tag::NativeFn) END_TEST();
  LOAD_FRAME();
  DISPATCH();
}

fetch_slow : {
  // Either a boundary frame reached its stop point, or ip is past its fast-fetch limit.
  const CallFrame& top = vm.frames.back();
  if (top.kind == FrameKind::Boundary && static_cast<std::uint32_t>(ip - code) == top.stop_ip) {
    NEED(1);
    result = st.back();
    st.pop_back();
    CallFrame frame = top;
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
  {
    std::expected<void, VmError> offered = raise_runtime_error(vm, std::move(err));
    if (!offered) return std::unexpected(std::move(offered.error()));
  }
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
