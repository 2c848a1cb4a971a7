// The machine with hand-assembled prototypes: construction, every opcode's behaviour and errors,
// calls of every callee kind, clause selection and parameter patterns, native and host
// functions, nested runs, limits, error locations, the interrupt hook, host effect handlers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "builtins/builtin_info.hpp"
#include "util/internal_error.hpp"
#include "value/printer.hpp"
#include "value/small_string.hpp"
#include "vm/fusion.hpp"
#include "vm/instruction.hpp"
#include "vm/vm.hpp"

namespace quorvex {
namespace {

// The first index after the builtin rows: the first host function, and the first global that is
// not a builtin.
constexpr std::uint16_t kFirstHostIndex = BUILTIN_COUNT;
// The globals of a fresh machine: the builtins, three effects, six optics.
constexpr std::uint32_t kFreshGlobals = BUILTIN_COUNT + 9;

std::uint16_t quot_row() {
  return *find_builtin_index("quot");
}

std::uint16_t mod_row() {
  return *find_builtin_index("mod");
}

constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();

// A prototype under construction.
struct Code {
  Prototype p;

  std::uint16_t k(Value v) {
    p.constants.push_back(v);
    return static_cast<std::uint16_t>(p.constants.size() - 1);
  }
  Code& op(Opcode o, std::uint8_t a = 0, std::uint8_t b = 0, std::uint8_t c = 0) {
    p.code.push_back(Instruction::make(o, a, b, c));
    return *this;
  }
  Code& ab(Opcode o, std::uint16_t x, std::uint8_t c = 0) {
    p.code.push_back(Instruction::make_ab(o, x, c));
    return *this;
  }
  Code& raw(std::uint32_t word) {
    p.code.push_back(Instruction(word));
    return *this;
  }
  Code& load(Value v) { return ab(Opcode::LoadConst, k(v)); }
  Code& jump(Opcode o, std::int16_t offset) {
    p.code.push_back(Instruction::make_jump(o, offset));
    return *this;
  }
  Code& locals(std::uint16_t n) {
    p.local_count = n;
    return *this;
  }
  Code& params(std::uint8_t n, bool variadic = false) {
    p.arity = n;
    p.is_variadic = variadic ? 1 : 0;
    return *this;
  }
  std::uint32_t pc() const { return static_cast<std::uint32_t>(p.code.size()); }
};

class FnCallable final : public HostCallable {
public:
  using Fn = std::function<NativeResult(Vm&, std::span<const Value>)>;
  explicit FnCallable(Fn f) : f_(std::move(f)) {}
  NativeResult call(Vm& vm, std::span<const Value> args) override { return f_(vm, args); }

private:
  Fn f_;
};

class FnHandler final : public HostHandler {
public:
  using Fn = std::function<std::expected<HandlerOutcome, VmError>(Vm&, Spur, std::vector<Value>)>;
  explicit FnHandler(Fn f) : f_(std::move(f)) {}
  std::expected<HandlerOutcome, VmError> handle(Vm& vm, Spur op, std::vector<Value> args) override {
    return f_(vm, op, std::move(args));
  }

private:
  Fn f_;
};

class VmTest : public ::testing::Test {
public:
  std::unique_ptr<Vm> vm = vm_new();

  Spur name(std::string_view s) { return vm->interner.get_or_intern(s); }
  Value sym(std::string_view s) { return Value::symbol(name(s)); }
  Value kw(std::string_view s) { return Value::keyword(name(s)); }
  static Value i(std::int64_t n) { return Value::from_int(n); }
  static Value f(double d) { return Value::from_float(d); }
  static Value ratio(std::int64_t n, std::int64_t d) { return Value::from_ratio_unchecked(n, d); }
  // Objects made here are inserted without a collection check and become roots as constants.
  Value str(std::string_view s) {
    return Value::object(heap_insert(vm->heap, HeapObject(StringObject{*SmallString::from(s)})));
  }
  Value templ(std::vector<FunctionClause> clauses) {
    return Value::object(
        heap_insert(vm->heap, HeapObject(ClosureTemplate{FunctionRef(std::move(clauses))})));
  }

  // Hand-assembled code is installed piece by piece, prototypes naming one another before any
  // of them runs; the fixture keeps each one it adds, as a host holding a prototype's index must.
  std::uint32_t add(Code c) {
    const std::uint32_t p = add_prototype(*vm, std::move(c.p));
    vm->prototype_pins.push_back(p);
    return p;
  }

  std::expected<Value, RuntimeError> run(Code c, std::vector<Value> args = {}) {
    return call_prototype(*vm, add(std::move(c)), args);
  }

  std::string show(const Value& v) {
    Guarded<std::string> s = print_readable(PrintEnv{vm->heap, vm->interner, vm->types}, v);
    return s ? *s : "<print failed>";
  }

  // The printed value, or "error: " and the error's display text.
  std::string outcome(const std::expected<Value, RuntimeError>& r) {
    if (!r) return "error: " + to_string(r.error());
    return show(*r);
  }
  std::string eval(Code c, std::vector<Value> args = {}) {
    return outcome(run(std::move(c), args));
  }

  std::uint16_t host(std::string_view n, FnCallable::Fn fn) {
    auto idx = register_host_function(*vm, n, std::make_shared<FnCallable>(std::move(fn)));
    EXPECT_TRUE(idx.has_value());
    return static_cast<std::uint16_t>(*idx);
  }

  void expect_clean_stacks() {
    EXPECT_EQ(vm->stack.size(), 0u);
    EXPECT_EQ(vm->frames.size(), 0u);
    EXPECT_EQ(vm->handlers.size(), 0u);
    EXPECT_EQ(vm->heap.native_depth, 0u);
  }
};

// ---------------------------------------------------------------------------------------------
// Construction

TEST_F(VmTest, FreshMachineHasTheGlobalsInConstructionOrder) {
  ASSERT_EQ(vm->globals.size(), kFreshGlobals);
  EXPECT_EQ(vm->globals[0].tag, Tag::NativeFn);
  EXPECT_EQ(vm->globals[0].as.native, 0);
  EXPECT_EQ(vm->globals[158].tag, Tag::NativeFn);
  EXPECT_EQ(vm->globals[158].as.native, 158);
  EXPECT_EQ(vm->global_index.at(name("nth")), 0u);
  EXPECT_EQ(vm->global_index.at(name("nano-time")), 158u);

  const char* rest[] = {"exn",   "console", "random", "each", "_vals",
                        "_keys", "deep",    "DEEP",   "_some"};
  for (std::uint32_t j = 0; j < 9; ++j)
    EXPECT_EQ(vm->global_index.at(name(rest[j])), BUILTIN_COUNT + j) << rest[j];

  const Effect* exn = heap_get_as<Effect>(vm->heap, vm->globals[BUILTIN_COUNT]);
  ASSERT_NE(exn, nullptr);
  EXPECT_EQ(exn->id, kExnEffectId);
  EXPECT_EQ(vm->interner.resolve(exn->name), "exn");
  const Effect* console = heap_get_as<Effect>(vm->heap, vm->globals[BUILTIN_COUNT + 1]);
  ASSERT_NE(console, nullptr);
  ASSERT_EQ(console->operations.size(), 3u);
  EXPECT_EQ(vm->interner.resolve(console->operations[2].name), "read-line");
  EXPECT_EQ(console->operations[2].arity, 0);

  const Optic* some = heap_get_as<Optic>(vm->heap, vm->globals[BUILTIN_COUNT + 8]);
  ASSERT_NE(some, nullptr);
  EXPECT_EQ(some->kind.tag(), OpticTag::Some);
  // The optics occupy slots 1 to 5 at version 1.
  EXPECT_EQ(vm->builtin_optics[0], (HeapKey{1, 1}));
  EXPECT_EQ(vm->builtin_optics[4], (HeapKey{5, 1}));
  // deep and DEEP
  EXPECT_EQ(vm->globals[BUILTIN_COUNT + 6].as.key, vm->globals[BUILTIN_COUNT + 7].as.key);

  EXPECT_EQ(vm->next_effect_id, 1u);
  EXPECT_FALSE(vm->reduce_signal_type.has_value());
  EXPECT_TRUE(vm->macros.empty());
}

TEST_F(VmTest, DocumentationCoversTheDocumentedBuiltinsOnly) {
  EXPECT_EQ(vm->docs.size(), 155u);
  EXPECT_EQ(vm->docs.count(name("__make_effect__")), 0u);
  EXPECT_EQ(vm->docs.count(name("assert-failed")), 0u);
  const DocEntry& nth = vm->docs.at(name("nth"));
  EXPECT_EQ(nth.kind, DocKind::Builtin);
  EXPECT_FALSE(nth.location.has_value());
  EXPECT_EQ(nth.text, "Coll a × Int -> a\nReturns element at index.");
}

TEST_F(VmTest, FindEffectIdLooksAtTheGlobalsWithoutInterning) {
  EXPECT_EQ(find_effect_id(*vm, "exn"), kExnEffectId);
  EXPECT_EQ(find_effect_id(*vm, "console"), kConsoleEffectId);
  EXPECT_EQ(find_effect_id(*vm, "random"), kRandomEffectId);
  EXPECT_EQ(find_effect_id(*vm, "each"), std::nullopt);
  const std::size_t interned = vm->interner.size();
  EXPECT_EQ(find_effect_id(*vm, "never-seen-name"), std::nullopt);
  EXPECT_EQ(vm->interner.size(), interned);
  define_global(*vm, name("exn"), i(1));
  EXPECT_EQ(find_effect_id(*vm, "exn"), std::nullopt);
}

TEST_F(VmTest, DefineGlobalKeepsPositionsAndAppendsNewNames) {
  define_global(*vm, name("nth"), i(5));
  EXPECT_EQ(vm->globals.size(), kFreshGlobals);
  EXPECT_EQ(vm->globals[0].as.integer, 5);
  define_global(*vm, name("fresh"), i(6));
  EXPECT_EQ(vm->global_index.at(name("fresh")), kFreshGlobals);
  EXPECT_EQ(add_prototype(*vm, Prototype{}), 0u);
  EXPECT_EQ(add_prototype(*vm, Prototype{}), 1u);
}

TEST_F(VmTest, ReservedGlobalSlotsAreFilledByTheirDefinition) {
  EXPECT_EQ(reserve_global(*vm, name("nth")), 0u);
  EXPECT_EQ(reserve_global(*vm, name("pending")), kFreshGlobals);
  EXPECT_EQ(reserve_global(*vm, name("pending")), kFreshGlobals);
  EXPECT_EQ(vm->globals.size(), kFreshGlobals + 1);
  EXPECT_EQ(vm->find_global(name("pending")), std::nullopt);
  EXPECT_TRUE(may_be_unbound_global(vm->globals[kFreshGlobals]));
  ASSERT_TRUE(unbound_global_read(*vm, kFreshGlobals).has_value());
  EXPECT_EQ(unbound_global_read(*vm, kFreshGlobals)->kind, VmErrorKind::UndefinedVariable);
  EXPECT_EQ(unbound_global_read(*vm, kFreshGlobals)->text, "pending");
  define_global(*vm, name("other"), i(1));
  EXPECT_EQ(vm->find_global(name("other")), kFreshGlobals + 1);
  define_global(*vm, name("pending"), i(2));
  EXPECT_EQ(vm->find_global(name("pending")), kFreshGlobals);
  EXPECT_EQ(vm->globals[kFreshGlobals].as.integer, 2);
  EXPECT_FALSE(unbound_global_read(*vm, kFreshGlobals).has_value());
  EXPECT_EQ(reserve_global(*vm, name("pending")), kFreshGlobals);
  EXPECT_EQ(vm->globals.size(), kFreshGlobals + 2);
}

TEST_F(VmTest, PredefinedOpticsSurviveRedefinitionAndCollection) {
  define_global(*vm, name("deep"), Value::nil());
  define_global(*vm, name("DEEP"), Value::nil());
  const std::uint64_t before = vm->heap.collections;
  vm->heap.gc_threshold = 0;
  collect_if_due(vm->heap);
  EXPECT_GT(vm->heap.collections, before);
  EXPECT_NE(heap_get_as<Optic>(vm->heap, vm->builtin_optics[3]), nullptr);
}

// ---------------------------------------------------------------------------------------------
// Error texts

TEST(VmErrorText, EveryKindDisplaysItsText) {
  struct Case {
    VmError error;
    const char* text;
    const char* kind;
  };
  const Case cases[] = {
      {VmError::type_error("expected numbers"), "Type error: expected numbers", "type-error"},
      {VmError::value_error("bad"), "Value error: bad", "value-error"},
      {VmError::stack_underflow(), "Stack underflow", "stack-underflow"},
      {VmError::invalid_opcode(43), "Invalid opcode: 43", "invalid-opcode"},
      {VmError::undefined_variable("foo"), "Undefined variable: foo", "undefined-variable"},
      {VmError::not_callable(), "Value is not callable", "not-callable"},
      {VmError::arity(1, 2), "Wrong number of arguments: expected 1, got 2", "arity-error"},
      {VmError::index_out_of_bounds(-1, 3), "Index -1 out of bounds for length 3",
       "index-out-of-bounds"},
      {VmError::invalid_continuation(), "Invalid continuation", "invalid-continuation"},
      {VmError::unhandled_effect("Ask", 5), "Unhandled effect: Ask", "effect-not-handled"},
      {VmError::unhandled_effect(std::nullopt, 5), "Unhandled effect: effect #5",
       "effect-not-handled"},
      {VmError::unhandled_operation("Ask", "ask", 5), "Unhandled operation 'Ask/ask' ",
       "operation-not-handled"},
      {VmError::unhandled_operation(std::nullopt, "ask", 5),
       "Unhandled operation 'ask' on effect #5", "operation-not-handled"},
      {VmError::division_by_zero(), "Division by zero", "division-by-zero"},
      {VmError::assertion_failed("x"), "Assertion failed: x", "assertion-failed"},
      {VmError::no_matching_clause(), "No matching clause", "no-matching-clause"},
      {VmError::stack_overflow(), "Stack overflow", "stack-overflow"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(to_string(c.error), c.text);
    EXPECT_STREQ(c.error.kind_name(), c.kind);
    RuntimeError wrapped{std::nullopt, c.error, {}};
    EXPECT_EQ(to_string(wrapped), c.text);
  }
}

// ---------------------------------------------------------------------------------------------
// Data movement, arithmetic and comparison, one small program per case

TEST_F(VmTest, InstructionTable) {
  struct Case {
    const char* what;
    std::function<void(VmTest&, Code&)> build;
    const char* expected;
  };
  using O = Opcode;
  const Case cases[] = {
      {"load and return", [](VmTest& t, Code& c) { c.load(t.i(7)); }, "7"},
      {"pop takes the top", [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.i(2)).op(O::Pop); },
       "1"},
      {"pop on empty", [](VmTest&, Code& c) { c.op(O::Pop); }, "error: Stack underflow"},
      {"dup", [](VmTest& t, Code& c) { c.load(t.i(3)).op(O::Dup).op(O::Add); }, "6"},
      {"dup on empty", [](VmTest&, Code& c) { c.op(O::Dup); }, "error: Stack underflow"},
      {"get local at the stack length", [](VmTest&, Code& c) { c.op(O::GetLocal, 0); },
       "error: Index 0 out of bounds for length 0"},
      {"get local index is absolute", [](VmTest& t, Code& c) { c.load(t.i(1)).op(O::GetLocal, 1); },
       "error: Index 1 out of bounds for length 1"},
      {"set local then get",
       [](VmTest& t, Code& c) { c.locals(1).load(t.i(9)).op(O::SetLocal, 0).op(O::GetLocal, 0); },
       "9"},
      {"set local beyond the stack", [](VmTest& t, Code& c) { c.load(t.i(9)).op(O::SetLocal, 0); },
       "error: Index 0 out of bounds for length 0"},
      {"upvalue without closure", [](VmTest&, Code& c) { c.op(O::GetUpvalue, 0); },
       "error: Type error: no closure for upvalue access"},
      {"set upvalue without closure", [](VmTest&, Code& c) { c.op(O::SetUpvalue, 0); },
       "error: Type error: no closure for upvalue access"},
      {"undefined global", [](VmTest& t, Code& c) { c.ab(O::GetGlobal, c.k(t.sym("nope"))); },
       "error: Undefined variable: nope"},
      {"global name not a symbol", [](VmTest& t, Code& c) { c.ab(O::GetGlobal, c.k(t.i(1))); },
       "error: Type error: expected symbol"},
      {"define then read",
       [](VmTest& t, Code& c) {
         c.load(t.i(4)).ab(O::DefineGlobal, c.k(t.sym("x"))).ab(O::GetGlobal, c.k(t.sym("x")));
       },
       "4"},
      {"define with a non-symbol",
       [](VmTest& t, Code& c) { c.load(t.i(4)).ab(O::DefineGlobal, c.k(t.i(0))); },
       "error: Type error: expected symbol"},
      {"set global on empty stack", [](VmTest& t, Code& c) { c.ab(O::SetGlobal, c.k(t.sym("x"))); },
       "error: Stack underflow"},
      {"indexed global",
       [](VmTest& t, Code& c) {
         c.load(t.i(4)).ab(O::DefineGlobal, c.k(t.sym("x"))).ab(O::GetGlobalIndexed, kFreshGlobals);
       },
       "4"},
      {"indexed global past the table", [](VmTest&, Code& c) { c.ab(O::GetGlobalIndexed, 500); },
       "error: Undefined variable: global #500"},
      {"add", [](VmTest& t, Code& c) { c.load(t.i(2)).load(t.i(40)).op(O::Add); }, "42"},
      {"add overflows", [](VmTest& t, Code& c) { c.load(t.i(kMax)).load(t.i(1)).op(O::Add); },
       "error: Type error: ratio overflow"},
      {"sub overflows", [](VmTest& t, Code& c) { c.load(t.i(kMin)).load(t.i(1)).op(O::Sub); },
       "error: Type error: ratio overflow"},
      {"mul overflows",
       [](VmTest& t, Code& c) { c.load(t.i(4611686018427387904)).load(t.i(2)).op(O::Mul); },
       "error: Type error: ratio overflow"},
      {"neg overflows", [](VmTest& t, Code& c) { c.load(t.i(kMin)).op(O::Neg); },
       "error: Type error: ratio overflow"},
      {"neg of a float flips the sign", [](VmTest& t, Code& c) { c.load(t.f(0.0)).op(O::Neg); },
       "-0"},
      {"neg of a string", [](VmTest& t, Code& c) { c.load(t.str("s")).op(O::Neg); },
       "error: Type error: expected number"},
      {"halves add to an int",
       [](VmTest& t, Code& c) { c.load(t.ratio(1, 2)).load(t.ratio(1, 2)).op(O::Add); }, "1"},
      {"int plus ratio", [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.ratio(1, 2)).op(O::Add); },
       "3/2"},
      {"ratio plus float",
       [](VmTest& t, Code& c) { c.load(t.ratio(1, 2)).load(t.f(0.5)).op(O::Add); }, "1"},
      {"int plus string", [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.str("a")).op(O::Add); },
       "error: Type error: expected numbers"},
      {"string plus int", [](VmTest& t, Code& c) { c.load(t.str("a")).load(t.i(1)).op(O::Add); },
       "error: Type error: expected numbers"},
      {"add with one operand", [](VmTest& t, Code& c) { c.load(t.i(1)).op(O::Add); },
       "error: Stack underflow"},
      {"div exact", [](VmTest& t, Code& c) { c.load(t.i(6)).load(t.i(4)).op(O::Div); }, "3/2"},
      {"div by zero", [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.i(0)).op(O::Div); },
       "error: Division by zero"},
      {"smallest int over -1",
       [](VmTest& t, Code& c) { c.load(t.i(kMin)).load(t.i(-1)).op(O::Div); },
       "error: Type error: ratio overflow"},
      {"rem truncates", [](VmTest& t, Code& c) { c.load(t.i(-7)).load(t.i(2)).op(O::Rem); }, "-1"},
      {"smallest int rem -1",
       [](VmTest& t, Code& c) { c.load(t.i(kMin)).load(t.i(-1)).op(O::Rem); }, "0"},
      {"rem by zero", [](VmTest& t, Code& c) { c.load(t.i(7)).load(t.i(0)).op(O::Rem); },
       "error: Division by zero"},
      {"float rem", [](VmTest& t, Code& c) { c.load(t.f(7.5)).load(t.i(2)).op(O::Rem); }, "1.5"},
      {"rem by float zero is NaN",
       [](VmTest& t, Code& c) { c.load(t.i(7)).load(t.f(0.0)).op(O::Rem); }, "NaN"},
      {"rem of a ratio", [](VmTest& t, Code& c) { c.load(t.ratio(1, 2)).load(t.i(1)).op(O::Rem); },
       "error: Type error: expected numbers"},
      // Quot carries the row of `quot`: integers divide in place, the rest is the builtin's.
      {"quot truncates",
       [](VmTest& t, Code& c) { c.load(t.i(-7)).load(t.i(2)).ab(O::Quot, quot_row(), 2); }, "-3"},
      {"quot by -1",
       [](VmTest& t, Code& c) { c.load(t.i(7)).load(t.i(-1)).ab(O::Quot, quot_row(), 2); }, "-7"},
      {"smallest int quot -1",
       [](VmTest& t, Code& c) { c.load(t.i(kMin)).load(t.i(-1)).ab(O::Quot, quot_row(), 2); },
       "error: Type error: ratio overflow"},
      {"quot by zero",
       [](VmTest& t, Code& c) { c.load(t.i(7)).load(t.i(0)).ab(O::Quot, quot_row(), 2); },
       "error: Value error: division by zero"},
      {"quot of a float",
       [](VmTest& t, Code& c) { c.load(t.f(7.0)).load(t.i(2)).ab(O::Quot, quot_row(), 2); },
       "error: Type error: quot requires integers"},
      {"mod floors",
       [](VmTest& t, Code& c) { c.load(t.i(-7)).load(t.i(2)).ab(O::Mod, mod_row(), 2); }, "1"},
      {"mod by a negative divisor",
       [](VmTest& t, Code& c) { c.load(t.i(7)).load(t.i(-3)).ab(O::Mod, mod_row(), 2); }, "-2"},
      {"smallest int mod -1",
       [](VmTest& t, Code& c) { c.load(t.i(kMin)).load(t.i(-1)).ab(O::Mod, mod_row(), 2); }, "0"},
      {"mod by zero",
       [](VmTest& t, Code& c) { c.load(t.i(7)).load(t.i(0)).ab(O::Mod, mod_row(), 2); },
       "error: Value error: division by zero"},
      {"mod of a float",
       [](VmTest& t, Code& c) { c.load(t.i(7)).load(t.f(2.0)).ab(O::Mod, mod_row(), 2); },
       "error: Type error: mod requires integers"},
      {"quot with one operand",
       [](VmTest& t, Code& c) { c.load(t.i(7)).ab(O::Quot, quot_row(), 2); },
       "error: Stack underflow"},
      {"eq across kinds", [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.f(1.0)).op(O::Eq); },
       "true"},
      {"not-eq across kinds",
       [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.f(1.0)).op(O::NotEq); }, "false"},
      {"eq of equal strings",
       [](VmTest& t, Code& c) { c.load(t.str("a")).load(t.str("a")).op(O::Eq); }, "true"},
      {"lt ints", [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.i(2)).op(O::Lt); }, "true"},
      {"ge ints", [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.i(2)).op(O::Ge); }, "false"},
      {"le equal", [](VmTest& t, Code& c) { c.load(t.i(2)).load(t.f(2.0)).op(O::Le); }, "true"},
      {"nan compares false",
       [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.f(std::nan(""))).op(O::Gt); }, "false"},
      {"ratio against nan",
       [](VmTest& t, Code& c) { c.load(t.ratio(1, 2)).load(t.f(std::nan(""))).op(O::Lt); },
       "error: Type error: invalid float"},
      {"ratio against float",
       [](VmTest& t, Code& c) { c.load(t.ratio(1, 3)).load(t.f(0.3333)).op(O::Lt); }, "false"},
      {"ratios exactly",
       [](VmTest& t, Code& c) { c.load(t.ratio(1, 3)).load(t.ratio(1, 2)).op(O::Lt); }, "true"},
      {"int against string", [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.str("s")).op(O::Lt); },
       "error: Type error: expected numbers"},
      {"not of nil", [](VmTest&, Code& c) { c.load(Value::nil()).op(O::Not); }, "true"},
      {"not of zero", [](VmTest& t, Code& c) { c.load(t.i(0)).op(O::Not); }, "false"},
      {"not uses the low bit of a bool",
       [](VmTest&, Code& c) {
         Value odd_false = Value::from_bool(false);
         odd_false.as.boolean = 2;
         c.load(odd_false).op(O::Not);
       },
       "true"},
      {"jump skips", [](VmTest& t, Code& c) { c.load(t.i(1)).jump(O::Jump, 1).load(t.i(2)); }, "1"},
      {"jump by zero", [](VmTest& t, Code& c) { c.jump(O::Jump, 0).load(t.i(5)); }, "5"},
      {"jump-if-false on false",
       [](VmTest& t, Code& c) {
         c.load(Value::from_bool(false))
             .jump(O::JumpIfFalse, 2)
             .load(t.i(1))
             .op(O::Return)
             .load(t.i(2));
       },
       "2"},
      {"jump-if-false on nil",
       [](VmTest& t, Code& c) {
         c.load(Value::nil()).jump(O::JumpIfFalse, 2).load(t.i(1)).op(O::Return).load(t.i(2));
       },
       "2"},
      {"jump-if-false ignores zero",
       [](VmTest& t, Code& c) {
         c.load(t.i(0)).jump(O::JumpIfFalse, 2).load(t.i(1)).op(O::Return).load(t.i(2));
       },
       "1"},
      {"jump-if-false ignores the empty string",
       [](VmTest& t, Code& c) {
         c.load(t.str("")).jump(O::JumpIfFalse, 2).load(t.i(1)).op(O::Return).load(t.i(2));
       },
       "1"},
      {"jump-if-true pops its test",
       [](VmTest& t, Code& c) {
         c.load(t.i(9)).load(t.i(0)).jump(O::JumpIfTrue, 0).op(O::Pop).load(t.i(3));
       },
       "3"},
      {"builtin by row",
       [](VmTest& t, Code& c) {
         c.load(t.i(10)).load(t.i(20)).ab(O::MakeVector, 2).load(t.i(1)).ab(O::CallBuiltin, 0, 2);
       },
       "20"},
      {"resume a non-object",
       [](VmTest& t, Code& c) { c.load(t.i(1)).load(t.i(2)).op(O::Resume); },
       "error: Type error: expected continuation"},
      {"resume a stale key",
       [](VmTest& t, Code& c) { c.load(Value::object(HeapKey{999, 1})).load(t.i(2)).op(O::Resume); },
       "error: Type error: expected continuation"},
      {"resume with one value", [](VmTest& t, Code& c) { c.load(t.i(1)).op(O::Resume); },
       "error: Stack underflow"},
      {"handler constant of another kind",
       [](VmTest& t, Code& c) { c.load(Value::nil()).ab(O::PushHandler, c.k(t.i(3))); },
       "error: Type error: expected symbol or effect for handler"},
      {"handler for a global that is no effect",
       [](VmTest& t, Code& c) { c.load(Value::nil()).ab(O::PushHandler, c.k(t.sym("each"))); },
       "error: Type error: expected effect"},
      {"handler value of another kind",
       [](VmTest& t, Code& c) { c.load(t.str("h")).ab(O::PushHandler, c.k(t.sym("exn"))); },
       "error: Type error: expected closure or map for handler"},
      {"perform-op with a non-symbol operation",
       [](VmTest& t, Code& c) {
         auto e = static_cast<std::uint8_t>(c.k(t.sym("console")));
         auto o = static_cast<std::uint8_t>(c.k(t.i(1)));
         c.op(O::PerformOp, e, o, 0);
       },
       "error: Type error: expected symbol for operation"},
      {"invalid opcode", [](VmTest&, Code& c) { c.raw(48); }, "error: Invalid opcode: 48"},
      {"invalid opcode 255", [](VmTest&, Code& c) { c.raw(0x000000FF); },
       "error: Invalid opcode: 255"},
  };
  for (const Case& c : cases) {
    Code code;
    c.build(*this, code);
    code.op(Opcode::Return);
    EXPECT_EQ(eval(std::move(code)), c.expected) << c.what;
    EXPECT_EQ(vm->stack.size(), 0u) << c.what;
    EXPECT_EQ(vm->frames.size(), 0u) << c.what;
  }
}

// Code the compiler cannot produce is refused with an internal error (never read out of bounds),
// and the failed run leaves nothing behind.
TEST_F(VmTest, MalformedCodeIsAnInternalError) {
  using O = Opcode;
  struct Case {
    const char* what;
    std::function<void(VmTest&, Code&)> build;
  };
  const Case cases[] = {
      {"runs off the end", [](VmTest& t, Code& c) { c.load(t.i(1)); }},
      {"empty code", [](VmTest&, Code&) {}},
      {"constant past the table", [](VmTest&, Code& c) { c.ab(O::LoadConst, 3).op(O::Return); }},
      {"global name past the table", [](VmTest&, Code& c) { c.ab(O::GetGlobal, 0).op(O::Return); }},
      {"jump past the end",
       [](VmTest& t, Code& c) { c.load(t.i(1)).jump(O::Jump, 5).op(O::Return); }},
      {"jump before the start", [](VmTest&, Code& c) { c.jump(O::Jump, -3).op(O::Return); }},
  };
  for (const Case& c : cases) {
    Code code;
    c.build(*this, code);
    EXPECT_THROW(run(std::move(code)), InternalError) << c.what;
    expect_clean_stacks();
  }
  // A malformed word that is never executed does no harm.
  Code fine;
  fine.load(i(4)).op(O::Return).ab(O::LoadConst, 99);
  EXPECT_EQ(eval(std::move(fine)), "4");
}

TEST_F(VmTest, DefineGlobalNamesAnUnnamedEffectOnce) {
  Effect effect;
  effect.id = 77;
  Value e = Value::object(heap_insert(vm->heap, HeapObject(std::move(effect))));
  Code c;
  c.load(e).ab(Opcode::DefineGlobal, c.k(sym("Ask")));
  c.load(e).ab(Opcode::DefineGlobal, c.k(sym("Other")));
  c.load(e).op(Opcode::Return);
  ASSERT_TRUE(run(std::move(c)).has_value());
  EXPECT_EQ(vm->interner.resolve(heap_get_as<Effect>(vm->heap, e)->name), "Ask");
  EXPECT_EQ(find_effect_id(*vm, "Other"), 77u);
  EXPECT_EQ(find_effect_name(*vm, 77), "Ask");
}

// ---------------------------------------------------------------------------------------------
// Objects

TEST_F(VmTest, CollectionLiterals) {
  using O = Opcode;
  {
    Code c;
    c.load(i(1)).load(i(2)).ab(O::MakeVector, 2).op(O::Return);
    EXPECT_EQ(eval(std::move(c)), "[1 2]");
  }
  {
    Code c; // more elements asked for than the stack holds: all of them, no error
    c.load(i(1)).ab(O::MakeList, 5).op(O::Return);
    EXPECT_EQ(eval(std::move(c)), "(1)");
  }
  {
    Code c; // a later equal key keeps the later value; equal strings are one key
    c.load(str("k")).load(i(1)).load(str("k")).load(i(2)).ab(O::MakeMap, 2).op(O::Return);
    EXPECT_EQ(eval(std::move(c)), "{\"k\" 2}");
  }
  {
    Code c;
    c.load(i(1)).load(i(1)).load(str("a")).load(str("a")).ab(O::MakeSet, 4).op(O::Return);
    auto r = run(std::move(c));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(heap_get_as<SetObject>(vm->heap, *r)->set.size(), 2u);
  }
  {
    Code c; // two empty lists are distinct objects that compare equal
    c.ab(O::MakeList, 0).ab(O::MakeList, 0).op(O::Eq).op(O::Return);
    EXPECT_EQ(eval(std::move(c)), "true");
  }
}

TEST_F(VmTest, VariantsAndKeywordFieldLookup) {
  Spur x = name("x");
  Spur y = name("y");
  std::vector<VariantInfo> variants;
  variants.push_back(*make_variant_info(name("Pt"), {x, y}));
  HeapKey none = heap_insert(vm->heap, HeapObject(Variant{{}, VariantTag::make(0, 1)}));
  variants.push_back(*make_variant_info(name("Origin"), {}, none));
  ASSERT_EQ(vm->types.register_data_type(name("P"), std::move(variants)), 0u);

  using O = Opcode;
  {
    Code c;
    c.load(i(1)).load(i(2)).op(O::MakeVariant, 0, 0, 0);
    c.load(kw("y")).op(O::Call, 1).op(O::Return);
    EXPECT_EQ(eval(std::move(c)), "2");
  }
  {
    Code c; // an absent field gives the default
    c.load(i(1)).load(i(2)).op(O::MakeVariant, 0, 0, 0).load(i(9));
    c.load(kw("z")).op(O::Call, 2).op(O::Return);
    EXPECT_EQ(eval(std::move(c)), "9");
  }
  {
    Code c; // a field-less variant is its shared instance
    c.op(O::MakeVariant, 0, 0, 1).op(O::Return);
    auto r = run(std::move(c));
    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(r->as.key, none);
  }
  {
    Code c;
    c.op(O::MakeVariant, 7, 0, 0).op(O::Return);
    EXPECT_EQ(eval(std::move(c)), "error: Type error: unknown variant type");
  }
  // The test of a variant's tag and the read of a field by position, alone and before the jump
  // they are compiled ahead of.
  struct Case {
    const char* what;
    void (*build)(VmTest&, Code&);
    const char* result;
  };
  const Case cases[] = {
      {"the variant tested for",
       [](VmTest& t, Code& c) {
         c.load(t.i(1)).load(t.i(2)).op(O::MakeVariant, 0, 0, 0).op(O::MatchVariant, 0, 0, 0);
       },
       "true"},
      {"another variant of the type",
       [](VmTest& t, Code& c) {
         c.load(t.i(1)).load(t.i(2)).op(O::MakeVariant, 0, 0, 0).op(O::MatchVariant, 0, 0, 1);
       },
       "false"},
      {"another type",
       [](VmTest& t, Code& c) {
         c.load(t.i(1)).load(t.i(2)).op(O::MakeVariant, 0, 0, 0).op(O::MatchVariant, 1, 0, 0);
       },
       "false"},
      {"not a variant", [](VmTest& t, Code& c) { c.load(t.i(1)).op(O::MatchVariant, 0, 0, 0); },
       "false"},
      {"a match before a jump",
       [](VmTest& t, Code& c) {
         c.op(O::MakeVariant, 0, 0, 1).op(O::MatchVariant, 0, 0, 1).jump(O::JumpIfFalse, 2);
         c.load(t.i(5)).op(O::Return).load(t.i(6));
       },
       "5"},
      {"a mismatch before a jump",
       [](VmTest& t, Code& c) {
         c.op(O::MakeVariant, 0, 0, 1).op(O::MatchVariant, 0, 0, 0).jump(O::JumpIfFalse, 2);
         c.load(t.i(5)).op(O::Return).load(t.i(6));
       },
       "6"},
      {"a field",
       [](VmTest& t, Code& c) {
         c.load(t.i(1)).load(t.i(2)).op(O::MakeVariant, 0, 0, 0).op(O::VariantField, 1);
       },
       "2"},
      {"a field past the last",
       [](VmTest& t, Code& c) {
         c.load(t.i(1)).load(t.i(2)).op(O::MakeVariant, 0, 0, 0).op(O::VariantField, 2);
       },
       "nil"},
      {"a field of a vector",
       [](VmTest& t, Code& c) { c.load(t.i(1)).ab(O::MakeVector, 1).op(O::VariantField, 0); },
       "nil"},
  };
  for (const Case& k : cases) {
    Code c;
    k.build(*this, c);
    c.op(O::Return);
    EXPECT_EQ(eval(std::move(c)), k.result) << k.what;
  }
  expect_clean_stacks();
}

TEST_F(VmTest, ClosuresCaptureAndSetUpvalues) {
  using O = Opcode;
  // inner(n) = n + capture0, and capture0 := n as a side effect.
  Code inner;
  inner.params(1).locals(1);
  inner.op(O::GetLocal, 0).op(O::GetUpvalue, 0).op(O::Add);
  inner.op(O::GetLocal, 0).op(O::SetUpvalue, 0).op(O::Return);
  std::uint32_t p = add(std::move(inner));

  Code top;
  top.load(i(10)).ab(O::MakeClosure, static_cast<std::uint16_t>(p), 1);
  top.ab(O::DefineGlobal, top.k(sym("g")));
  top.load(i(5)).ab(O::GetGlobal, top.k(sym("g"))).op(O::Call, 1);
  top.load(i(1)).ab(O::GetGlobal, top.k(sym("g"))).op(O::Call, 1);
  top.op(O::Add).op(O::Return);
  EXPECT_EQ(eval(std::move(top)), "21"); // (5 + 10) + (1 + 5)
}

TEST_F(VmTest, TemplateClosuresShareTheirRecord) {
  using O = Opcode;
  Code body;
  body.params(0).locals(0).op(O::GetUpvalue, 0).op(O::Return);
  std::uint32_t b = add(std::move(body));
  FunctionClause clause;
  clause.body_prototype = b;
  Value t = templ({clause});
  Code c;
  c.load(i(1)).ab(O::MakeTemplateClosure, c.k(t), 1).op(O::Call, 0);
  c.load(i(2)).ab(O::MakeTemplateClosure, c.k(t), 1).op(O::Call, 0).op(O::Add).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "3");

  Code bad;
  bad.ab(O::MakeTemplateClosure, 3, 0).op(O::Return);
  EXPECT_EQ(eval(std::move(bad)), "error: Type error: expected closure template constant");
  Code wrong;
  wrong.ab(O::MakeTemplateClosure, wrong.k(str("s")), 0).op(O::Return);
  EXPECT_EQ(eval(std::move(wrong)), "error: Type error: expected closure template");
}

// ---------------------------------------------------------------------------------------------
// Calls and frames

// loop(n, acc): n = 0 ? acc : loop(n - 1, acc + n), the call made by `via`.
std::uint32_t add_sum_loop(VmTest& t, Opcode via, Code& top) {
  using O = Opcode;
  Code f;
  f.params(2).locals(2);
  f.op(O::GetLocal, 0).load(Value::from_int(0)).op(O::Eq).jump(O::JumpIfFalse, 2);
  f.op(O::GetLocal, 1).op(O::Return);
  f.op(O::GetLocal, 0).load(Value::from_int(1)).op(O::Sub);
  f.op(O::GetLocal, 1).op(O::GetLocal, 0).op(O::Add);
  f.ab(O::GetGlobal, f.k(Value::symbol(t.vm->interner.get_or_intern("loop"))))
      .op(via, 2)
      .op(O::Return);
  std::uint32_t p = t.add(std::move(f));
  top.ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0);
  top.ab(O::DefineGlobal, top.k(Value::symbol(t.vm->interner.get_or_intern("loop"))));
  return p;
}

TEST_F(VmTest, TailCallsReuseTheFrame) {
  Code top;
  add_sum_loop(*this, Opcode::TailCall, top);
  // Far more iterations than the frame limit allows nested frames.
  top.load(i(300000)).load(i(0)).ab(Opcode::GetGlobal, top.k(sym("loop"))).op(Opcode::Call, 2);
  top.op(Opcode::Return);
  EXPECT_EQ(eval(std::move(top)), "45000150000");
  expect_clean_stacks();
}

TEST_F(VmTest, DeepRecursionFailsWithStackOverflowAndIsNotOffered) {
  int offered = 0;
  vm->host_handlers[kExnEffectId] = std::make_shared<FnHandler>([&](Vm&, Spur, std::vector<Value>) {
    ++offered;
    return HandlerOutcome::resume(Value::nil());
  });
  Code top;
  add_sum_loop(*this, Opcode::Call, top);
  top.load(i(300000)).load(i(0)).ab(Opcode::GetGlobal, top.k(sym("loop"))).op(Opcode::Call, 2);
  top.op(Opcode::Return);
  auto r = run(std::move(top));
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(to_string(r.error()), "Stack overflow");
  EXPECT_EQ(offered, 0);
  EXPECT_EQ(r.error().trace.size(), kMaxFrames);
  expect_clean_stacks();

  // The machine goes on: the same function within the limit.
  Code again;
  again.load(i(1000)).load(i(0)).ab(Opcode::GetGlobal, again.k(sym("loop"))).op(Opcode::Call, 2);
  again.op(Opcode::Return);
  EXPECT_EQ(eval(std::move(again)), "500500");
}

TEST_F(VmTest, NonFunctionCallees) {
  using O = Opcode;
  struct Case {
    const char* what;
    std::function<void(VmTest&, Code&)> build;
    const char* expected;
  };
  auto map_a1 = [](VmTest& t, Code& c) {
    c.load(t.kw("a")).load(Value::from_int(1)).ab(O::MakeMap, 1);
  };
  auto vec3 = [](Code& c) {
    c.load(Value::from_int(10))
        .load(Value::from_int(20))
        .load(Value::from_int(30))
        .ab(O::MakeVector, 3);
  };
  const Case cases[] = {
      {"keyword on a map",
       [&](VmTest& t, Code& c) {
         map_a1(t, c);
         c.load(t.kw("a")).op(O::Call, 1);
       },
       "1"},
      {"keyword default",
       [&](VmTest& t, Code& c) {
         map_a1(t, c);
         c.load(t.i(0)).load(t.kw("b")).op(O::Call, 2);
       },
       "0"},
      {"keyword finds a nil value",
       [](VmTest& t, Code& c) {
         c.load(t.kw("a"))
             .load(Value::nil())
             .ab(O::MakeMap, 1)
             .load(t.i(0))
             .load(t.kw("a"))
             .op(O::Call, 2);
       },
       "nil"},
      {"keyword on a number",
       [](VmTest& t, Code& c) { c.load(t.i(5)).load(t.kw("a")).op(O::Call, 1); }, "nil"},
      {"keyword on nil with default",
       [](VmTest& t, Code& c) { c.load(Value::nil()).load(t.i(7)).load(t.kw("a")).op(O::Call, 2); },
       "7"},
      {"keyword without arguments", [](VmTest& t, Code& c) { c.load(t.kw("a")).op(O::Call, 0); },
       "error: Wrong number of arguments: expected 1, got 0"},
      {"keyword with three",
       [](VmTest& t, Code& c) {
         c.load(t.i(1)).load(t.i(1)).load(t.i(1)).load(t.kw("a")).op(O::Call, 3);
       },
       "error: Wrong number of arguments: expected 1, got 3"},
      {"vector index",
       [&](VmTest& t, Code& c) {
         c.load(t.i(1));
         vec3(c);
         c.op(O::Call, 1);
       },
       "20"},
      {"vector index at the length",
       [&](VmTest& t, Code& c) {
         c.load(t.i(3));
         vec3(c);
         c.op(O::Call, 1);
       },
       "error: Index 3 out of bounds for length 3"},
      {"vector negative index",
       [&](VmTest& t, Code& c) {
         c.load(t.i(-1));
         vec3(c);
         c.op(O::Call, 1);
       },
       "error: Index -1 out of bounds for length 3"},
      {"vector index beyond 32 bits",
       [&](VmTest& t, Code& c) {
         c.load(t.i(4294967296));
         vec3(c);
         c.op(O::Call, 1);
       },
       "error: Index 4294967296 out of bounds for length 3"},
      {"vector float index",
       [&](VmTest& t, Code& c) {
         c.load(t.f(1.0));
         vec3(c);
         c.op(O::Call, 1);
       },
       "error: Type error: vector index must be integer"},
      {"vector two arguments",
       [&](VmTest& t, Code& c) {
         c.load(t.i(1)).load(t.i(1));
         vec3(c);
         c.op(O::Call, 2);
       },
       "error: Wrong number of arguments: expected 1, got 2"},
      {"list is not callable",
       [](VmTest& t, Code& c) { c.load(t.i(0)).load(t.i(1)).ab(O::MakeList, 1).op(O::Call, 1); },
       "error: Value is not callable"},
      {"set member",
       [](VmTest& t, Code& c) {
         c.load(t.i(2)).load(t.i(1)).load(t.i(2)).ab(O::MakeSet, 2).op(O::Call, 1);
       },
       "2"},
      {"set non-member",
       [](VmTest& t, Code& c) {
         c.load(t.i(3)).load(t.i(1)).load(t.i(2)).ab(O::MakeSet, 2).op(O::Call, 1);
       },
       "nil"},
      {"set holding false",
       [](VmTest&, Code& c) {
         c.load(Value::from_bool(false))
             .load(Value::from_bool(false))
             .ab(O::MakeSet, 1)
             .op(O::Call, 1);
       },
       "false"},
      {"map call",
       [&](VmTest& t, Code& c) {
         c.load(t.kw("a"));
         map_a1(t, c);
         c.op(O::Call, 1);
       },
       "1"},
      {"map call default",
       [&](VmTest& t, Code& c) {
         c.load(t.kw("b")).load(t.kw("none"));
         map_a1(t, c);
         c.op(O::Call, 2);
       },
       ":none"},
      {"map call without arguments",
       [&](VmTest& t, Code& c) {
         map_a1(t, c);
         c.op(O::Call, 0);
       },
       "error: Wrong number of arguments: expected 1, got 0"},
      {"int", [](VmTest& t, Code& c) { c.load(t.i(2)).load(t.i(1)).op(O::Call, 1); },
       "error: Value is not callable"},
      {"string", [](VmTest& t, Code& c) { c.load(t.i(0)).load(t.str("s")).op(O::Call, 1); },
       "error: Value is not callable"},
      {"nil", [](VmTest&, Code& c) { c.load(Value::nil()).op(O::Call, 0); },
       "error: Value is not callable"},
      {"effect object",
       [](VmTest&, Code& c) { c.ab(O::GetGlobalIndexed, kFirstHostIndex).op(O::Call, 0); },
       "error: Value is not callable"},
      {"stale key",
       [](VmTest&, Code& c) {
         c.load(Value::object(HeapKey{4000, 3})).op(O::Call, 0);
       },
       "error: Value is not callable"},
      {"call on empty stack", [](VmTest&, Code& c) { c.op(O::Call, 0); }, "error: Stack underflow"},
  };
  for (const Case& c : cases) {
    Code code;
    c.build(*this, code);
    code.op(Opcode::Return);
    EXPECT_EQ(eval(std::move(code)), c.expected) << c.what;
  }
}

TEST_F(VmTest, FailedFormLeavesNothingForTheNext) {
  using O = Opcode;
  Code inner;
  inner.params(0).locals(0).load(i(1)).load(i(0)).op(O::Div).op(O::Return);
  std::uint32_t p = add(std::move(inner));
  Code top;
  top.load(i(5)).ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0).op(O::Call, 0).op(O::Return);
  EXPECT_EQ(eval(std::move(top)), "error: Division by zero");
  expect_clean_stacks();
  Code next;
  next.load(i(3)).op(O::Return);
  EXPECT_EQ(eval(std::move(next)), "3");
}

TEST_F(VmTest, RuntimeErrorCarriesLocationAndTrace) {
  using O = Opcode;
  Code inner;
  inner.params(0).locals(0);
  inner.p.name = name("inner");
  inner.load(i(1)).load(i(0));
  inner.p.spans.push_back(SpanEntry{0, SourceSpan{0, 1, 3, 0, 0}});
  inner.p.spans.push_back(SpanEntry{2, SourceSpan{4, 9, 7, 2, 0}});
  inner.p.spans.push_back(SpanEntry{3, SourceSpan{9, 12, 8, 0, 0}});
  inner.op(O::Div).op(O::Return);
  std::uint32_t p = add(std::move(inner));
  Code top; // no span entries at all
  top.ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0).op(O::Call, 0).op(O::Return);
  auto r = run(std::move(top));
  ASSERT_FALSE(r.has_value());
  ASSERT_TRUE(r.error().location.has_value());
  EXPECT_EQ(r.error().location->line, 7u);
  ASSERT_EQ(r.error().trace.size(), 2u);
  EXPECT_EQ(r.error().trace[0].function_name, "inner");
  EXPECT_EQ(r.error().trace[0].location->line, 7u);
  EXPECT_FALSE(r.error().trace[1].function_name.has_value());
  EXPECT_FALSE(r.error().trace[1].location.has_value());
}

TEST_F(VmTest, VariadicTopLevelPrototype) {
  using O = Opcode;
  Code c;
  c.params(1, true).locals(2).op(O::GetLocal, 1).op(O::Return);
  std::uint32_t p = add(std::move(c));
  auto r = call_prototype(*vm, p, std::vector<Value>{i(1), i(2), i(3)});
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(show(*r), "(2 3)");
  auto too_few = call_prototype(*vm, p, {});
  ASSERT_FALSE(too_few.has_value());
  EXPECT_EQ(to_string(too_few.error()), "Wrong number of arguments: expected 1, got 0");
}

// ---------------------------------------------------------------------------------------------
// Clause selection and parameter patterns

class ClauseTest : public VmTest {
protected:
  // A body that returns its local `slot`, with k locals.
  std::uint32_t body_returning_local(std::uint8_t slot, std::uint16_t k) {
    Code b;
    b.locals(k).op(Opcode::GetLocal, slot).op(Opcode::Return);
    return add(std::move(b));
  }
  // A body that returns a constant; `extra` constants are placed first (for patterns).
  std::uint32_t body_returning(Value v, std::uint16_t k, std::vector<Value> extra = {}) {
    Code b;
    b.locals(k);
    for (const Value& e : extra)
      b.k(e);
    b.load(v).op(Opcode::Return);
    return add(std::move(b));
  }
  static FunctionClause clause(std::uint32_t body, std::uint8_t arity,
                               std::vector<Pattern> pats = {}, bool variadic = false) {
    FunctionClause c;
    c.body_prototype = body;
    c.arity = arity;
    c.patterns = std::move(pats);
    c.is_variadic = variadic ? 1 : 0;
    return c;
  }
  // Calls a function built from the clauses with the arguments, from compiled code.
  std::string call(std::vector<FunctionClause> clauses, std::vector<Value> args,
                   Opcode via = Opcode::Call) {
    Value t = templ(std::move(clauses));
    Code c;
    for (const Value& a : args)
      c.load(a);
    c.ab(Opcode::MakeTemplateClosure, c.k(t), 0).op(via, static_cast<std::uint8_t>(args.size()));
    c.op(Opcode::Return);
    return eval(std::move(c));
  }
  Value vec(std::vector<Value> items) {
    SeqObject s;
    s.items = ValueVector::from_range(items.begin(), items.end());
    s.is_vector = true;
    return Value::object(heap_insert(vm->heap, HeapObject(std::move(s))));
  }
  Value map(std::vector<std::pair<Value, Value>> entries) {
    ValueMap m(next_random_keys());
    for (auto& [k, v] : entries)
      m.insert_mut(k, v);
    return Value::object(heap_insert(vm->heap, HeapObject(MapObject{std::move(m)})));
  }
};

TEST_F(ClauseTest, ArityMismatchTexts) {
  std::uint32_t b = body_returning(i(1), 2);
  EXPECT_EQ(call({clause(b, 1), clause(b, 2)}, {i(1), i(2), i(3)}),
            "error: Value error: Wrong number of arguments (3), function expects [1, 2]");
  EXPECT_EQ(call({clause(b, 1), clause(b, 1, {}, true)}, {}),
            "error: Value error: Wrong number of arguments (0), function expects [1, 1+]");
}

TEST_F(ClauseTest, NativeCallersGetArityErrors) {
  Code body;
  body.params(2).locals(2).op(Opcode::GetLocal, 0).op(Opcode::Return);
  std::uint32_t p = add(std::move(body));
  Code top;
  top.ab(Opcode::MakeClosure, static_cast<std::uint16_t>(p), 0).op(Opcode::Return);
  auto fn = run(std::move(top));
  ASSERT_TRUE(fn.has_value());
  RootScope keep(vm->heap);
  keep.add(*fn);
  NativeResult r = call_value_from_native(*vm, *fn, std::vector<Value>{i(1)});
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(to_string(r.error()), "Wrong number of arguments: expected 2, got 1");
  NativeResult ok = call_value_from_native(*vm, *fn, std::vector<Value>{i(4), i(5)});
  ASSERT_TRUE(ok.has_value());
  EXPECT_EQ(ok->as.integer, 4);
  // A compiled call of the same function with one argument.
  Code bad;
  bad.load(i(1)).load(*fn).op(Opcode::Call, 1).op(Opcode::Return);
  EXPECT_EQ(eval(std::move(bad)),
            "error: Value error: Wrong number of arguments (1), function expects [2]");
}

TEST_F(ClauseTest, LiteralPatternsUseLanguageEquality) {
  std::uint32_t zero = body_returning(kw("zero"), 1, {i(0)});
  std::uint32_t other = body_returning(kw("other"), 1);
  std::vector<FunctionClause> fn{clause(zero, 1, {Pattern::literal(0)}),
                                 clause(other, 1, {Pattern::bind(0)})};
  EXPECT_EQ(call(fn, {i(0)}), ":zero");
  EXPECT_EQ(call(fn, {f(0.0)}), ":zero");
  EXPECT_EQ(call(fn, {i(1)}), ":other");
}

TEST_F(ClauseTest, SequencePatterns) {
  // [[a b]] -> [a b]
  Code b;
  b.locals(3).op(Opcode::GetLocal, 1).op(Opcode::GetLocal, 2).ab(Opcode::MakeVector, 2);
  b.op(Opcode::Return);
  std::uint32_t body = add(std::move(b));
  Pattern seq;
  seq.kind = Pattern::Kind::Seq;
  seq.elements.push_back(Pattern::bind(1));
  seq.elements.push_back(Pattern::bind(2));
  std::vector<FunctionClause> fn{clause(body, 1, {seq})};
  EXPECT_EQ(call(fn, {str("xy")}), "[\"x\" \"y\"]");
  EXPECT_EQ(call(fn, {vec({i(1), i(2)})}), "[1 2]");
  EXPECT_EQ(call(fn, {Value::nil()}), "error: No matching clause");
  EXPECT_EQ(call(fn, {i(5)}), "error: Type error: expected sequential");
  EXPECT_EQ(call(fn, {vec({i(1), i(2), i(3)})}), "error: No matching clause");
  EXPECT_EQ(call(fn, {str("xyz")}), "error: No matching clause");
}

TEST_F(ClauseTest, SequenceRestAndAs) {
  // [[a & r :as all]] -> [a r all]
  Code b;
  b.locals(4);
  b.op(Opcode::GetLocal, 1)
      .op(Opcode::GetLocal, 2)
      .op(Opcode::GetLocal, 3)
      .ab(Opcode::MakeVector, 3);
  b.op(Opcode::Return);
  std::uint32_t body = add(std::move(b));
  Pattern seq;
  seq.kind = Pattern::Kind::Seq;
  seq.elements.push_back(Pattern::bind(1));
  seq.rest = std::make_unique<Pattern>(Pattern::bind(2));
  seq.has_as = 1;
  seq.as_slot = 3;
  std::vector<FunctionClause> fn{clause(body, 1, {seq})};
  EXPECT_EQ(call(fn, {str("héllo")}), "[\"h\" (\"é\" \"l\" \"l\" \"o\") \"héllo\"]");
  EXPECT_EQ(call(fn, {vec({i(1)})}), "[1 () [1]]");
  EXPECT_EQ(call(fn, {vec({})}), "error: No matching clause");
}

TEST_F(ClauseTest, MapPatternsWithDefaults) {
  // [{:keys [a] :or {a 9}}] -> a; constants: 0 :a, 1 9
  std::uint32_t body = [&] {
    Code b;
    b.locals(2);
    b.k(kw("a"));
    b.k(i(9));
    b.op(Opcode::GetLocal, 1).op(Opcode::Return);
    return add(std::move(b));
  }();
  Pattern m;
  m.kind = Pattern::Kind::Map;
  m.entries.push_back(MapPatternEntry{0, Pattern::bind(1)});
  m.defaults.push_back(MapPatternDefault{0, 1});
  std::vector<FunctionClause> fn{clause(body, 1, {m})};
  EXPECT_EQ(call(fn, {map({{kw("a"), i(1)}})}), "1");
  EXPECT_EQ(call(fn, {map({})}), "9");
  EXPECT_EQ(call(fn, {map({{kw("a"), Value::nil()}})}), "9");
  EXPECT_EQ(call(fn, {Value::nil()}), "error: No matching clause");
  EXPECT_EQ(call(fn, {i(5)}), "error: Type error: expected map");
}

TEST_F(ClauseTest, MapPatternFindsStringKeysByContent) {
  // {:strs [name]}: the key constant is a string object distinct from the map's key.
  std::uint32_t body = [&] {
    Code b;
    b.locals(2);
    b.k(str("name"));
    b.op(Opcode::GetLocal, 1).op(Opcode::Return);
    return add(std::move(b));
  }();
  Pattern m;
  m.kind = Pattern::Kind::Map;
  m.entries.push_back(MapPatternEntry{0, Pattern::bind(1)});
  std::vector<FunctionClause> fn{clause(body, 1, {m})};
  Code c; // a map literal, so that its key is made canonical
  c.load(str("name")).load(i(42)).ab(Opcode::MakeMap, 1);
  c.ab(Opcode::MakeTemplateClosure, c.k(templ(fn)), 0).op(Opcode::Call, 1).op(Opcode::Return);
  EXPECT_EQ(eval(std::move(c)), "42");
}

TEST_F(ClauseTest, VariantPatternsRejectOtherValuesWithoutError) {
  std::vector<VariantInfo> variants;
  variants.push_back(*make_variant_info(name("Some"), {name("value")}));
  ASSERT_EQ(vm->types.register_data_type(name("Option"), std::move(variants)), 0u);
  std::uint32_t some = body_returning_local(1, 2);
  std::uint32_t other = body_returning(kw("other"), 1);
  Pattern v;
  v.kind = Pattern::Kind::Variant;
  v.type_id = 0;
  v.variant_index = 0;
  v.elements.push_back(Pattern::bind(1));
  std::vector<FunctionClause> fn{clause(some, 1, {v}), clause(other, 1, {Pattern::wildcard()})};
  Code c;
  c.load(i(5)).op(Opcode::MakeVariant, 0, 0, 0);
  c.ab(Opcode::MakeTemplateClosure, c.k(templ(fn)), 0).op(Opcode::Call, 1).op(Opcode::Return);
  EXPECT_EQ(eval(std::move(c)), "5");
  EXPECT_EQ(call(fn, {map({})}), ":other");
  EXPECT_EQ(call(fn, {i(3)}), ":other");
}

TEST_F(ClauseTest, Guards) {
  using O = Opcode;
  // ([x :when (> x 0)] :pos) ([x] :other)
  Code g;
  g.locals(1).op(O::GetLocal, 0).load(i(0)).op(O::Gt).op(O::Return);
  std::uint32_t guard = add(std::move(g));
  FunctionClause pos = clause(body_returning(kw("pos"), 1), 1);
  pos.has_guard = 1;
  pos.guard_prototype = guard;
  std::vector<FunctionClause> fn{pos, clause(body_returning(kw("other"), 1), 1)};
  EXPECT_EQ(call(fn, {i(1)}), ":pos");
  EXPECT_EQ(call(fn, {i(-1)}), ":other");
  EXPECT_EQ(call(fn, {i(1)}, O::TailCall), ":pos");

  // A guard that fails ends the call even though a later clause would accept.
  Code bad;
  bad.locals(1).load(i(1)).load(i(0)).op(O::Div).op(O::Return);
  FunctionClause failing = pos;
  failing.guard_prototype = add(std::move(bad));
  EXPECT_EQ(call({failing, fn[1]}, {i(1)}), "error: Division by zero");
  expect_clean_stacks();
}

TEST_F(ClauseTest, GuardGetsAllTheLocalsItDeclares) {
  using O = Opcode;
  // The body has one local; the guard binds a `let` in its own third slot.
  Code g;
  g.locals(3).load(i(5)).op(O::SetLocal, 2).op(O::GetLocal, 2).op(O::GetLocal, 0).op(O::Lt);
  g.op(O::Return);
  FunctionClause big = clause(body_returning(kw("big"), 1), 1);
  big.has_guard = 1;
  big.guard_prototype = add(std::move(g));
  std::vector<FunctionClause> fn{big, clause(body_returning(kw("small"), 1), 1)};
  EXPECT_EQ(call(fn, {i(1)}), ":small");
  EXPECT_EQ(call(fn, {i(10)}), ":big");
}

TEST_F(ClauseTest, RestParameters) {
  using O = Opcode;
  // (fn [& xs] xs) and (fn [a & r] r) as plain variadic prototypes.
  Code all;
  all.params(0, true).locals(1).op(O::GetLocal, 0).op(O::Return);
  std::uint32_t p_all = add(std::move(all));
  Code tail;
  tail.params(1, true).locals(2).op(O::GetLocal, 1).op(O::Return);
  std::uint32_t p_tail = add(std::move(tail));

  Code c1;
  c1.ab(O::MakeClosure, static_cast<std::uint16_t>(p_all), 0).op(O::Call, 0).op(O::Return);
  EXPECT_EQ(eval(std::move(c1)), "()");
  Code c2;
  c2.load(i(1)).load(i(2)).load(i(3)).ab(O::MakeClosure, static_cast<std::uint16_t>(p_tail), 0);
  c2.op(O::Call, 3).op(O::Return);
  EXPECT_EQ(eval(std::move(c2)), "(2 3)");

  // The same function called in tail position: (defn g [] (f 1 2 3)).
  Code g;
  g.locals(0).load(i(1)).load(i(2)).load(i(3)).ab(O::GetGlobal, g.k(sym("f"))).op(O::TailCall, 3);
  g.op(O::Return);
  std::uint32_t p_g = add(std::move(g));
  Code c3;
  c3.ab(O::MakeClosure, static_cast<std::uint16_t>(p_tail), 0).ab(O::DefineGlobal, c3.k(sym("f")));
  c3.ab(O::MakeClosure, static_cast<std::uint16_t>(p_g), 0).op(O::Call, 0).op(O::Return);
  EXPECT_EQ(eval(std::move(c3)), "(2 3)");

  // A rest pattern: ([& [a b]] [b a]).
  Code swap;
  swap.locals(3).op(O::GetLocal, 2).op(O::GetLocal, 1).ab(O::MakeVector, 2).op(O::Return);
  Pattern pair;
  pair.kind = Pattern::Kind::Seq;
  pair.elements.push_back(Pattern::bind(1));
  pair.elements.push_back(Pattern::bind(2));
  EXPECT_EQ(call({clause(add(std::move(swap)), 0, {pair}, true)}, {i(1), i(2)}), "[2 1]");
}

TEST_F(ClauseTest, PatternErrorsStopLaterClauses) {
  Pattern seq;
  seq.kind = Pattern::Kind::Seq;
  std::vector<FunctionClause> fn{clause(body_returning(i(1), 1), 1, {seq}),
                                 clause(body_returning(i(2), 1), 1)};
  EXPECT_EQ(call(fn, {i(5)}), "error: Type error: expected sequential");
  EXPECT_EQ(call(fn, {vec({})}), "1");
}

// ---------------------------------------------------------------------------------------------
// Native and host functions

TEST_F(VmTest, HostFunctionIndicesAndRebinding) {
  std::uint16_t a =
      host("h", [](Vm&, std::span<const Value>) -> NativeResult { return Value::from_int(1); });
  std::uint16_t b =
      host("k", [](Vm&, std::span<const Value>) -> NativeResult { return Value::from_int(2); });
  std::uint16_t c =
      host("h", [](Vm&, std::span<const Value>) -> NativeResult { return Value::from_int(3); });
  EXPECT_EQ(a, kFirstHostIndex);
  EXPECT_EQ(b, kFirstHostIndex + 1);
  EXPECT_EQ(c, kFirstHostIndex + 2);
  EXPECT_EQ(vm->globals[vm->global_index.at(name("h"))].as.native, kFirstHostIndex + 2);
  EXPECT_EQ(call_native(*vm, kFirstHostIndex, {})->as.integer, 1);
  EXPECT_EQ(call_value_from_native(*vm, Value::native_fn(kFirstHostIndex + 2), {})->as.integer, 3);
}

TEST_F(VmTest, HostFunctionsBeyondTheIndexSpaceAreRefused) {
  auto callable = std::make_shared<FnCallable>(
      [](Vm&, std::span<const Value>) -> NativeResult { return Value::nil(); });
  std::uint32_t last = 0;
  for (std::uint32_t n = kFirstHostIndex; n < kNativeIndexLimit; ++n) {
    auto r = register_host_function(*vm, "same-name", callable);
    ASSERT_TRUE(r.has_value());
    last = *r;
  }
  EXPECT_EQ(last, 65535u);
  auto refused = register_host_function(*vm, "one-more", callable);
  ASSERT_FALSE(refused.has_value());
  EXPECT_EQ(refused.error().kind, VmErrorKind::ValueError);
  EXPECT_FALSE(vm->global_index.contains(name("one-more")));
}

TEST_F(VmTest, NativeCallsFromCompiledCode) {
  using O = Opcode;
  std::vector<Value> seen;
  std::uint32_t depth_seen = 99;
  host("sum", [&](Vm& m, std::span<const Value> args) -> NativeResult {
    seen.assign(args.begin(), args.end());
    depth_seen = m.heap.native_depth;
    std::int64_t total = 0;
    for (const Value& v : args)
      total += v.as.integer;
    return Value::from_int(total);
  });
  host("fail", [](Vm&, std::span<const Value>) -> NativeResult {
    return std::unexpected(VmError::type_error("fail requires nothing"));
  });
  Code c;
  c.load(i(1)).load(i(2)).load(i(3)).ab(O::GetGlobal, c.k(sym("sum"))).op(O::Call, 3).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "6");
  EXPECT_EQ(seen.size(), 3u);
  EXPECT_EQ(depth_seen, 1u);

  Code by_index; // CallBuiltin reaches host indices too
  by_index.load(i(4)).load(i(5)).ab(O::CallBuiltin, kFirstHostIndex, 2).op(O::Return);
  EXPECT_EQ(eval(std::move(by_index)), "9");

  Code failing;
  failing.ab(O::GetGlobal, failing.k(sym("fail"))).op(O::Call, 0).op(O::Return);
  EXPECT_EQ(eval(std::move(failing)), "error: Type error: fail requires nothing");
  expect_clean_stacks();
}

TEST_F(VmTest, NativeTailCallReturnsFromTheCallersFrame) {
  using O = Opcode;
  host("seven", [](Vm&, std::span<const Value>) -> NativeResult { return Value::from_int(7); });
  Code g;
  g.locals(0).ab(O::GetGlobal, g.k(sym("seven"))).op(O::TailCall, 0).raw(45); // never reached
  std::uint32_t p = add(std::move(g));
  Code c;
  c.load(i(1)).ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0).op(O::Call, 0).op(O::Add);
  c.op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "8");

  Code top; // a native tail call in the entry frame ends the run
  top.ab(O::GetGlobal, top.k(sym("seven"))).op(O::TailCall, 0).raw(45);
  EXPECT_EQ(eval(std::move(top)), "7");
  expect_clean_stacks();
}

// What a native allocates is allocated with collection held off; the machine collects once the
// native has returned, when the threshold is reached, with the result on the stack as a root.
TEST_F(VmTest, TheReturnOfANativeCollectsAndItsResultSurvives) {
  using O = Opcode;
  std::optional<HeapKey> garbage;
  const std::uint16_t index =
      host("fresh-pair", [&](Vm& m, std::span<const Value>) -> NativeResult {
        garbage = heap_alloc(m.heap, HeapObject(Atom{Value::nil()}));
        const Value inner = Value::object(heap_alloc(
            m.heap, HeapObject(SeqObject{ValueVector{}.push_back(i(7)).push_back(i(8)), true})));
        HeapKey outer =
            heap_alloc(m.heap, HeapObject(SeqObject{ValueVector{}.push_back(inner), true}));
        m.heap.gc_threshold = 0;
        return Value::object(outer);
      });
  Code tail_body;
  tail_body.locals(0).ab(O::GetGlobal, tail_body.k(sym("fresh-pair"))).op(O::TailCall, 0).raw(43);
  const std::uint32_t tail_proto = add(std::move(tail_body));
  struct Case {
    const char* how;
    std::function<Code()> code;
  };
  const Case cases[] = {
      {"a call",
       [&] {
         Code c;
         c.ab(O::GetGlobal, c.k(sym("fresh-pair"))).op(O::Call, 0).op(O::Return);
         return c;
       }},
      {"a builtin call by index",
       [&] {
         Code c;
         c.ab(O::CallBuiltin, index, 0).op(O::Return);
         return c;
       }},
      {"a tail call from a closure's frame",
       [&] {
         Code c;
         c.ab(O::MakeClosure, static_cast<std::uint16_t>(tail_proto), 0).op(O::Call, 0);
         c.op(O::Return);
         return c;
       }},
  };
  for (const Case& c : cases) {
    const std::uint64_t before = vm->heap.collections;
    EXPECT_EQ(eval(c.code()), "[[7 8]]") << c.how;
    EXPECT_GT(vm->heap.collections, before) << c.how;
    ASSERT_TRUE(garbage) << c.how;
    EXPECT_FALSE(heap_is_live(vm->heap, *garbage)) << c.how;
    expect_clean_stacks();
  }
}

TEST_F(VmTest, CallValueFromNativeByCalleeKind) {
  using O = Opcode;
  Code setup; // [{:a 1} #{2} [1]]
  setup.load(kw("a")).load(i(1)).ab(O::MakeMap, 1);
  setup.load(i(2)).ab(O::MakeSet, 1);
  setup.load(i(1)).ab(O::MakeVector, 1);
  setup.ab(O::MakeVector, 3).op(O::Return);
  auto r = run(std::move(setup));
  ASSERT_TRUE(r.has_value());
  RootScope keep(vm->heap);
  keep.add(*r);
  const ValueVector items = heap_get_as<SeqObject>(vm->heap, *r)->items;
  Value m = items[0], s = items[1], v = items[2];

  EXPECT_EQ(call_value_from_native(*vm, kw("a"), std::vector<Value>{m})->as.integer, 1);
  EXPECT_EQ(call_value_from_native(*vm, kw("b"), std::vector<Value>{m, i(5)})->as.integer, 5);
  auto three = call_value_from_native(*vm, kw("a"), std::vector<Value>{m, m, m});
  ASSERT_FALSE(three.has_value());
  EXPECT_EQ(to_string(three.error()), "Wrong number of arguments: expected 1, got 3");
  EXPECT_EQ(call_value_from_native(*vm, s, std::vector<Value>{i(2)})->as.integer, 2);
  EXPECT_TRUE(call_value_from_native(*vm, s, std::vector<Value>{i(3)})->is_nil());
  // A map looks its key up, as keywords and sets do; a vector is not callable from here.
  EXPECT_EQ(call_value_from_native(*vm, m, std::vector<Value>{kw("a")})->as.integer, 1);
  EXPECT_EQ(call_value_from_native(*vm, m, std::vector<Value>{kw("b"), i(5)})->as.integer, 5);
  EXPECT_EQ(call_value_from_native(*vm, v, std::vector<Value>{i(0)}).error().kind,
            VmErrorKind::NotCallable);
  EXPECT_EQ(call_value_from_native(*vm, i(3), {}).error().kind, VmErrorKind::NotCallable);
  expect_clean_stacks();
}

TEST_F(VmTest, FailedCallbackCutsTheStacksBack) {
  using O = Opcode;
  Code bad;
  bad.params(1).locals(1).op(O::GetLocal, 0).load(i(0)).op(O::Div).op(O::Return);
  std::uint32_t p = add(std::move(bad));
  std::size_t before_stack = 0, after_stack = 1, before_frames = 0, after_frames = 1;
  std::uint32_t depth_during = 0;
  host("apply1", [&](Vm& m, std::span<const Value> args) -> NativeResult {
    before_stack = m.stack.size();
    before_frames = m.frames.size();
    NativeResult r = call_value_from_native(m, args[0], args.subspan(1));
    after_stack = m.stack.size();
    after_frames = m.frames.size();
    depth_during = m.heap.native_depth;
    return r;
  });
  Code c;
  c.load(i(9)).ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0).load(i(5));
  c.ab(O::GetGlobal, c.k(sym("apply1"))).op(O::Call, 2).op(O::Add).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "error: Division by zero");
  EXPECT_EQ(after_stack, before_stack);
  EXPECT_EQ(after_frames, before_frames);
  EXPECT_EQ(depth_during, 1u);
  expect_clean_stacks();
}

TEST_F(VmTest, NestedNativeCallbacksAreBounded) {
  using O = Opcode;
  // again() calls the host function, which calls again() back: unbounded native recursion.
  host("reenter", [&](Vm& m, std::span<const Value>) -> NativeResult {
    Value again = m.globals[m.global_index.at(m.interner.get_or_intern("again"))];
    return call_value_from_native(m, again, {});
  });
  Code again;
  again.locals(0).ab(O::GetGlobal, again.k(sym("reenter"))).op(O::Call, 0).op(O::Return);
  std::uint32_t p = add(std::move(again));
  Code c;
  c.ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0).ab(O::DefineGlobal, c.k(sym("again")));
  c.ab(O::GetGlobal, c.k(sym("again"))).op(O::Call, 0).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "error: Stack overflow");
  expect_clean_stacks();
}

TEST_F(VmTest, NativesApplyingNativesAreBounded) {
  // A host function that applies itself through call_value_from_native, without end.
  std::uint16_t self = 0;
  self = host("self-apply", [&](Vm& m, std::span<const Value>) -> NativeResult {
    return call_value_from_native(m, Value::native_fn(self), {});
  });
  Code c;
  c.ab(Opcode::GetGlobal, c.k(sym("self-apply"))).op(Opcode::Call, 0).op(Opcode::Return);
  EXPECT_EQ(eval(std::move(c)), "error: Stack overflow");
  expect_clean_stacks();
}

TEST_F(VmTest, CollectionDuringMakeMapKeepsStackValues) {
  using O = Opcode;
  Code body;
  body.locals(0).load(i(11)).op(O::Return);
  std::uint32_t p = add(std::move(body));
  // Hands out a closure that nothing but the value stack refers to, and sets the threshold one
  // object above the live count: the test after the call does not collect, the closure made
  // next reaches the threshold, and MakeMap collects.
  host("fresh-fn", [&](Vm& m, std::span<const Value>) -> NativeResult {
    HeapKey k = heap_insert(m.heap, HeapObject(Closure{FunctionRef::plain(p, 0, 0), {}}));
    m.heap.gc_threshold = m.heap.live_count + 1;
    return Value::object(k);
  });
  const std::uint64_t collections = vm->heap.collections;
  Code d;
  d.load(str("key")).ab(O::GetGlobal, d.k(sym("fresh-fn"))).op(O::Call, 0);
  d.ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0).op(O::Pop);
  d.ab(O::MakeMap, 1).op(O::Return);
  auto r = run(std::move(d));
  ASSERT_TRUE(r.has_value());
  EXPECT_GT(vm->heap.collections, collections);
  if (!gc_stress_mode()) {
    EXPECT_EQ(vm->heap.collections, collections + 1) << "the one in MakeMap";
  }
  const MapObject* m = heap_get_as<MapObject>(vm->heap, *r);
  ASSERT_NE(m, nullptr);
  ASSERT_EQ(m->map.size(), 1u);
  const Value stored = m->map.begin()->second;
  RootScope keep(vm->heap);
  keep.add(*r);
  EXPECT_NE(heap_get_as<Closure>(vm->heap, stored), nullptr);
  EXPECT_EQ(call_value_from_native(*vm, stored, {})->as.integer, 11);
}

// ---------------------------------------------------------------------------------------------
// Callbacks: collection inside them, and the record of each run

// A closure of one parameter x that allocates: (do [x x x] [x x]), the first vector garbage.
std::uint32_t add_allocating_closure(VmTest& t) {
  using O = Opcode;
  Code body;
  body.params(1).locals(1);
  body.op(O::GetLocal, 0).op(O::GetLocal, 0).op(O::GetLocal, 0).ab(O::MakeVector, 3).op(O::Pop);
  body.op(O::GetLocal, 0).op(O::GetLocal, 0).ab(O::MakeVector, 2).op(O::Return);
  return t.add(std::move(body));
}

// Whether `v` is the vector [x x].
bool is_pair_of(const Heap& heap, const Value& v, std::int64_t x) {
  const SeqObject* seq = heap_get_as<SeqObject>(heap, v);
  return seq != nullptr && seq->is_vector && seq->items.size() == 2 && seq->items[0].is_int() &&
         seq->items[0].as.integer == x && seq->items[1].is_int() && seq->items[1].as.integer == x;
}

// Collecting at every allocation makes each callback cost a full collection: fewer of them
// there prove the same.
const std::int64_t kCallbacks = gc_stress_mode() ? 20000 : 1000000;

TEST_F(VmTest, CallbacksFromAHostFunctionCollect) {
  using O = Opcode;
  const std::uint32_t p = add_allocating_closure(*this);
  std::uint32_t most_live = 0;
  std::int64_t wrong = 0;
  host("call-n", [&](Vm& m, std::span<const Value> args) -> NativeResult {
    const Value f = args[0];
    for (std::int64_t x = 0; x < args[1].as.integer; ++x) {
      NativeResult r = call_value_from_native(m, f, std::vector<Value>{i(x)});
      if (!r) return r;
      if (!is_pair_of(m.heap, *r, x)) ++wrong;
      most_live = std::max(most_live, m.heap.live_count);
    }
    return i(args[1].as.integer);
  });
  const std::uint64_t collections = vm->heap.collections;
  Code c;
  c.ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0).load(i(kCallbacks));
  c.ab(O::GetGlobal, c.k(sym("call-n"))).op(O::Call, 2).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), std::to_string(kCallbacks));
  EXPECT_EQ(wrong, 0);
  // Held off for the whole call, the callbacks would leave two objects each.
  EXPECT_GT(vm->heap.collections, collections + (gc_stress_mode() ? kCallbacks : 100));
  EXPECT_LT(most_live, 20000u);
  expect_clean_stacks();
}

// The native keeps the collection it walks only through its argument, which the call roots, and
// its partial results in a root scope; the callbacks' garbage is collected meanwhile.
TEST_F(VmTest, ANativeWalkingACollectionWhileItsCallbacksAllocate) {
  using O = Opcode;
  const std::uint32_t p = add_allocating_closure(*this);
  const std::int64_t n = gc_stress_mode() ? 3000 : 100000;
  std::uint32_t most_live = 0;
  host("map-pairs", [&](Vm& m, std::span<const Value> args) -> NativeResult {
    const Value f = args[0];
    const SeqObject* seq = heap_get_as<SeqObject>(m.heap, args[1]);
    if (seq == nullptr)
      return std::unexpected(VmError::type_error("map-pairs requires a sequence"));
    const ValueVector items = seq->items; // copied: the slot table may move under the callbacks
    RootScope results_held(m.heap);
    ValueVector results;
    for (const Value& item : items) {
      NativeResult r = call_value_from_native(m, f, std::vector<Value>{item});
      if (!r) return r;
      results_held.add(*r);
      results.push_back_mut(*r);
      most_live = std::max(most_live, m.heap.live_count);
    }
    return Value::object(heap_alloc(m.heap, HeapObject(SeqObject{std::move(results), true})));
  });
  host("range-vec", [&](Vm& m, std::span<const Value> args) -> NativeResult {
    ValueVector items;
    for (std::int64_t x = 0; x < args[0].as.integer; ++x)
      items.push_back_mut(i(x));
    return Value::object(heap_alloc(m.heap, HeapObject(SeqObject{std::move(items), true})));
  });
  Code c;
  c.ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0);
  c.load(i(n)).ab(O::GetGlobal, c.k(sym("range-vec"))).op(O::Call, 1);
  c.ab(O::GetGlobal, c.k(sym("map-pairs"))).op(O::Call, 2).op(O::Return);
  auto r = run(std::move(c));
  ASSERT_TRUE(r.has_value()) << outcome(r);
  const SeqObject* out = heap_get_as<SeqObject>(vm->heap, *r);
  ASSERT_NE(out, nullptr);
  ASSERT_EQ(out->items.size(), static_cast<std::size_t>(n));
  for (std::int64_t x = 0; x < n; ++x) {
    ASSERT_TRUE(is_pair_of(vm->heap, out->items[static_cast<std::size_t>(x)], x)) << x;
  }
  // Without collections the garbage alone would be n objects on top of the n results.
  EXPECT_LT(most_live, static_cast<std::uint32_t>(n + n / 2 + 2048));
  expect_clean_stacks();
}

TEST_F(VmTest, EachRunRecordsWhereItBegan) {
  using O = Opcode;
  std::vector<RunRecord> runs;
  std::vector<std::uint64_t> roots;
  host("probe", [&](Vm& m, std::span<const Value>) -> NativeResult {
    runs = m.runs;
    roots.clear();
    for (const CallFrame& f : m.frames)
      roots.push_back(f.run_root);
    return i(5);
  });
  host("call1", [&](Vm& m, std::span<const Value> args) -> NativeResult {
    return call_value_from_native(m, args[0], args.subspan(1));
  });
  Code body; // (fn [x] (+ x (probe)))
  body.params(1).locals(1).op(O::GetLocal, 0);
  body.ab(O::GetGlobal, body.k(sym("probe"))).op(O::Call, 0).op(O::Add).op(O::Return);
  const std::uint32_t p = add(std::move(body));
  Code c; // (+ 100 (call1 f 7)), with a handler entry installed around it
  c.load(Value::nil()).ab(O::PushHandler, c.k(sym("exn")));
  c.load(i(100)).ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0).load(i(7));
  c.ab(O::GetGlobal, c.k(sym("call1"))).op(O::Call, 2).op(O::Add).op(O::PopHandler);
  c.op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "112");
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].kind, RunKind::Outermost);
  EXPECT_EQ(runs[0].frame_depth, 0u);
  EXPECT_EQ(runs[1].kind, RunKind::Callback);
  EXPECT_EQ(runs[1].frame_depth, 1u);
  EXPECT_EQ(runs[1].stack_height, 1u); // 100: the handler went into its entry, the operands off
  EXPECT_EQ(runs[1].handler_count, 1u);
  EXPECT_FALSE(runs[1].cut);
  EXPECT_NE(runs[0].root_frame, runs[1].root_frame);
  EXPECT_EQ(roots, (std::vector<std::uint64_t>{runs[0].root_frame, runs[1].root_frame}));
  EXPECT_TRUE(vm->runs.empty());
  expect_clean_stacks();
}

// A handler clause that returns without resuming unwinds to its `with-handler`. When that lies
// outside a callback, the callback's run and the native that started it end, whatever the native
// answers, and the run that installed the handler continues with the clause's value.
TEST_F(VmTest, AnUnwindPastANativeEndsTheCallbacksRun) {
  using O = Opcode;
  std::optional<VmError> seen_by_native;
  bool called_again = false;
  // Turns the calling frame into a clause frame whose return unwinds to frame count 1, as a
  // handler clause of the outermost run's `with-handler` would.
  host("as-clause", [&](Vm& m, std::span<const Value> args) -> NativeResult {
    CallFrame& clause = m.frames.back();
    clause.abort_to.continuation = HeapKey{1, 2}; // never a live key: not resumed
    clause.abort_to.stack_height = static_cast<std::uint32_t>(args[0].as.integer);
    clause.abort_to.frame_count = 1;
    clause.abort_to.resume_ip = static_cast<std::uint32_t>(args[1].as.integer);
    return Value::nil();
  });
  host("call1", [&](Vm& m, std::span<const Value> args) -> NativeResult {
    NativeResult r = call_value_from_native(m, args[0], {});
    if (!r) seen_by_native = r.error();
    // Whatever the native does next stays out of the run the unwind landed in.
    called_again = call_value_from_native(m, Value::keyword(m.interner.get_or_intern("k")),
                                          std::vector<Value>{Value::nil()})
                       .has_value();
    return i(1000);
  });
  Code body; // (fn [] (as-clause 1 7) 42): the clause's value is 42
  body.locals(0).load(i(1)).load(i(7)).ab(O::GetGlobal, body.k(sym("as-clause")));
  body.op(O::Call, 2).op(O::Pop).load(i(42)).op(O::Return);
  const std::uint32_t p = add(std::move(body));
  Code c;
  c.load(i(-1));                                            // 0: below the handler
  c.load(Value::nil()).ab(O::PushHandler, c.k(sym("exn"))); // 1, 2
  c.ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0);   // 3
  c.ab(O::GetGlobal, c.k(sym("call1"))).op(O::Call, 1);     // 4, 5
  c.op(O::PopHandler).op(O::Return);                        // 6, 7 (not reached)
  c.op(O::Add).op(O::Return);                               // 8, 9 (unused)
  EXPECT_EQ(eval(std::move(c)), "42");
  ASSERT_TRUE(seen_by_native.has_value());
  EXPECT_TRUE(called_again);
  EXPECT_TRUE(vm->runs.empty());
  EXPECT_FALSE(vm->unwind_past_native);
  expect_clean_stacks();
}

// ---------------------------------------------------------------------------------------------
// Effects: host handlers and the offer of errors

TEST_F(VmTest, HostHandlersAnswerPerforms) {
  using O = Opcode;
  std::string op_seen;
  std::vector<Value> args_seen;
  vm->host_handlers[kConsoleEffectId] =
      std::make_shared<FnHandler>([&](Vm& m, Spur op, std::vector<Value> args) {
        op_seen = std::string(m.interner.resolve(op));
        args_seen = args;
        return HandlerOutcome::abort(Value::from_int(42));
      });
  Code c;
  std::uint8_t e = static_cast<std::uint8_t>(c.k(sym("console")));
  std::uint8_t o = static_cast<std::uint8_t>(c.k(sym("println")));
  c.load(i(1)).load(i(2)).op(O::PerformOp, e, o, 2).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "42");
  EXPECT_EQ(op_seen, "println");
  ASSERT_EQ(args_seen.size(), 2u);
  EXPECT_EQ(args_seen[1].as.integer, 2);

  Code unhandled;
  unhandled.ab(O::Perform, unhandled.k(sym("random")), 0).op(O::Return);
  EXPECT_EQ(eval(std::move(unhandled)), "error: Unhandled effect: random");

  Effect anonymous;
  anonymous.id = 99;
  define_global(*vm, name("Anon"),
                Value::object(heap_insert(vm->heap, HeapObject(std::move(anonymous)))));
  Code unnamed;
  unnamed.ab(O::Perform, unnamed.k(sym("Anon")), 0).op(O::Return);
  EXPECT_EQ(eval(std::move(unnamed)), "error: Unhandled effect: effect #99");

  Code not_effect;
  not_effect.ab(O::Perform, not_effect.k(sym("each")), 0).op(O::Return);
  EXPECT_EQ(eval(std::move(not_effect)), "error: Type error: expected effect");
  Code unbound;
  unbound.ab(O::Perform, unbound.k(sym("Nope")), 0).op(O::Return);
  EXPECT_EQ(eval(std::move(unbound)), "error: Undefined variable: Nope");
  Code not_symbol;
  not_symbol.ab(O::Perform, not_symbol.k(i(1)), 0).op(O::Return);
  EXPECT_EQ(eval(std::move(not_symbol)), "error: Type error: expected symbol for effect");
}

TEST_F(VmTest, HandlerEntriesRecordTheirHeightsAndResumePoint) {
  using O = Opcode;
  std::vector<HandlerEntry> snapshot;
  host("probe", [&](Vm& m, std::span<const Value>) -> NativeResult {
    snapshot = m.handlers;
    return Value::nil();
  });
  Code c;
  c.load(i(7));                                             // 0
  c.load(Value::nil()).ab(O::PushHandler, c.k(sym("exn"))); // 1, 2
  c.ab(O::GetGlobal, c.k(sym("probe"))).op(O::Call, 0);     // 3, 4
  c.op(O::PopHandler);                                      // 5
  c.op(O::Pop).op(O::Return);                               // 6, 7
  EXPECT_EQ(eval(std::move(c)), "7");
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot[0].effect_id, kExnEffectId);
  EXPECT_EQ(snapshot[0].stack_height, 1u);
  EXPECT_EQ(snapshot[0].frame_count, 1u);
  EXPECT_EQ(snapshot[0].installed_height, 1u);
  EXPECT_EQ(snapshot[0].resume_ip, 6u);
  EXPECT_FALSE(snapshot[0].closure.has_value());
  EXPECT_FALSE(snapshot[0].dispatch_map.has_value());
  EXPECT_EQ(snapshot[0].active, 0);
  expect_clean_stacks();

  Code bad;
  bad.load(i(1)).ab(O::PushHandler, bad.k(sym("exn"))).op(O::Return);
  EXPECT_EQ(eval(std::move(bad)), "error: Type error: expected closure, map, or nil for handler");
  Code pop_empty;
  pop_empty.op(O::PopHandler).load(i(1)).op(O::Return);
  EXPECT_EQ(eval(std::move(pop_empty)), "1");
}

TEST_F(VmTest, DispatchMapWithoutTheOperation) {
  using O = Opcode;
  vm->host_handlers[kConsoleEffectId] = std::make_shared<FnHandler>(
      [](Vm&, Spur, std::vector<Value>) { return HandlerOutcome::resume(Value::nil()); });
  Code c; // the program's entry exists, so the host handler is not consulted
  c.ab(O::MakeMap, 0).ab(O::PushHandler, c.k(sym("console")));
  std::uint8_t e = static_cast<std::uint8_t>(c.k(sym("console")));
  std::uint8_t o = static_cast<std::uint8_t>(c.k(sym("print")));
  c.op(O::PerformOp, e, o, 0).op(O::PopHandler).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "error: Unhandled operation 'console/print' ");
}

TEST_F(VmTest, NilHandlerEntryRefusesPerforms) {
  using O = Opcode;
  // The host handler is not consulted: the program's entry exists and is not active.
  vm->host_handlers[kRandomEffectId] = std::make_shared<FnHandler>(
      [](Vm&, Spur, std::vector<Value>) { return HandlerOutcome::resume(Value::nil()); });
  Code c;
  c.load(Value::nil()).ab(O::PushHandler, c.k(sym("random")));
  c.load(i(1)).ab(O::Perform, c.k(sym("random")), 1).op(O::PopHandler).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "error: Type error: handler closure is None");
  expect_clean_stacks();
}

TEST_F(VmTest, ClosureHandlersGetTheArgumentsThenTheContinuation) {
  using O = Opcode;
  Code clause_body; // (fn [x k] (+ (resume k x) 1000))
  clause_body.params(2).locals(2);
  clause_body.op(O::GetLocal, 1).op(O::GetLocal, 0).op(O::Resume);
  clause_body.load(i(1000)).op(O::Add).op(O::Return);
  std::uint32_t p = add(std::move(clause_body));
  Code c; // (with-handler random <clause> (+ 100 (random/random 7)))
  c.ab(O::MakeClosure, static_cast<std::uint16_t>(p), 0).ab(O::PushHandler, c.k(sym("random")));
  c.load(i(100)).load(i(7)).ab(O::Perform, c.k(sym("random")), 1).op(O::Add);
  c.op(O::PopHandler).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "1107");
  expect_clean_stacks();

  Code not_continuation;
  not_continuation.load(i(1)).load(i(2)).op(O::Resume).op(O::Return);
  EXPECT_EQ(eval(std::move(not_continuation)), "error: Type error: expected continuation");
}

TEST_F(VmTest, RuntimeErrorsAreOfferedToTheExnHostHandler) {
  using O = Opcode;
  std::string type_seen;
  std::string message_seen;
  vm->host_handlers[kExnEffectId] =
      std::make_shared<FnHandler>([&](Vm& m, Spur op, std::vector<Value> args) {
        EXPECT_EQ(m.interner.resolve(op), "raise");
        Value type =
            *call_value_from_native(m, Value::keyword(m.interner.get_or_intern("type")), args);
        Value msg =
            *call_value_from_native(m, Value::keyword(m.interner.get_or_intern("message")), args);
        type_seen = std::string(m.interner.resolve(type.as.spur));
        message_seen = std::string(heap_get_as<StringObject>(m.heap, msg)->text.view());
        return HandlerOutcome::resume(Value::from_int(100));
      });
  Code c; // (+ 1 (/ 1 0)) with the error resumed as 100
  c.load(i(1)).load(i(1)).load(i(0)).op(O::Div).op(O::Add).op(O::Return);
  EXPECT_EQ(eval(std::move(c)), "101");
  EXPECT_EQ(type_seen, "division-by-zero");
  EXPECT_EQ(message_seen, "Division by zero");

  Code undefined;
  undefined.ab(O::GetGlobal, undefined.k(sym("ghost"))).op(O::Return);
  EXPECT_EQ(eval(std::move(undefined)), "100");
  EXPECT_EQ(type_seen, "undefined-variable");
  EXPECT_EQ(message_seen, "Undefined variable: ghost");

  // Never offered: stack underflow, invalid opcode.
  type_seen.clear();
  Code underflow;
  underflow.op(O::Pop).op(O::Return);
  EXPECT_EQ(eval(std::move(underflow)), "error: Stack underflow");
  Code invalid;
  invalid.raw(200);
  EXPECT_EQ(eval(std::move(invalid)), "error: Invalid opcode: 200");
  EXPECT_EQ(type_seen, "");
}

TEST_F(VmTest, InterruptHookEndsTheRunWithoutOffer) {
  int offered = 0;
  vm->host_handlers[kExnEffectId] = std::make_shared<FnHandler>([&](Vm&, Spur, std::vector<Value>) {
    ++offered;
    return HandlerOutcome::resume(Value::nil());
  });
  struct Counter {
    int polls = 0;
  } counter;
  vm->interrupt_data = &counter;
  vm->interrupt_hook = [](void* data) -> std::optional<VmError> {
    auto* c = static_cast<Counter*>(data);
    if (++c->polls < 3) return std::nullopt;
    return VmError::value_error("interrupted");
  };
  Code spin; // an endless loop: a jump to itself
  spin.jump(Opcode::Jump, -1);
  EXPECT_EQ(eval(std::move(spin)), "error: Value error: interrupted");
  EXPECT_EQ(counter.polls, 3);
  EXPECT_EQ(offered, 0);
  expect_clean_stacks();

  // A native looping over callbacks is interrupted too.
  counter.polls = 0;
  host("spin-natively", [](Vm& m, std::span<const Value>) -> NativeResult {
    for (;;) {
      NativeResult r = call_value_from_native(m, Value::keyword(m.interner.get_or_intern("k")),
                                              std::vector<Value>{Value::nil()});
      if (!r) return r;
    }
  });
  Code native;
  native.ab(Opcode::GetGlobal, native.k(sym("spin-natively"))).op(Opcode::Call, 0);
  native.op(Opcode::Return);
  EXPECT_EQ(eval(std::move(native)), "error: Value error: interrupted");
  EXPECT_EQ(offered, 0);

  // Later runs are offered again.
  vm->interrupt_hook = nullptr;
  Code div;
  div.load(i(1)).load(i(0)).op(Opcode::Div).op(Opcode::Return);
  EXPECT_EQ(eval(std::move(div)), "nil");
  EXPECT_EQ(offered, 1);
}

// ---------------------------------------------------------------------------------------------
// The threaded form

TEST(ThreadedCode, FusesSequencesAtTheirFirstWordOnly) {
  using O = Opcode;
  using F = machine::Fused;
  auto w = [](O o, std::uint8_t a = 0, std::uint8_t b = 0, std::uint8_t c = 0) {
    return Instruction::make(o, a, b, c);
  };
  auto j = [](O o, std::int16_t offset) { return Instruction::make_jump(o, offset); };
  auto f = [](F op, std::uint8_t a = 0, std::uint8_t b = 0, std::uint8_t c = 0) {
    return Instruction(static_cast<std::uint32_t>(op) | static_cast<std::uint32_t>(a) << 8 |
                       static_cast<std::uint32_t>(b) << 16 | static_cast<std::uint32_t>(c) << 24);
  };
  struct Case {
    const char* what;
    std::vector<Instruction> code;
    std::vector<Instruction> threaded;
  };
  const Instruction ret = w(O::Return);
  const std::vector<Case> cases = {
      {"local, constant, compare, branch",
       {w(O::GetLocal, 2), Instruction::make_ab(O::LoadConst, 7), w(O::Lt), j(O::JumpIfFalse, 0),
        ret},
       {f(F::LocConstTest, 2, 7, 0b001), Instruction::make_ab(O::LoadConst, 7), w(O::Lt),
        j(O::JumpIfFalse, 0), ret}},
      {"a constant past 255 leaves the local alone and the test starts at the constant",
       {w(O::GetLocal, 0), Instruction::make_ab(O::LoadConst, 300), w(O::Ge), j(O::JumpIfFalse, 0),
        ret},
       {w(O::GetLocal, 0), f(F::ConstTest, 300 & 0xFF, 300 >> 8, 0b110), w(O::Ge),
        j(O::JumpIfFalse, 0), ret}},
      {"two locals: test, arithmetic, plain pair",
       {w(O::GetLocal, 1), w(O::GetLocal, 0), w(O::NotEq), j(O::JumpIfFalse, 5), w(O::GetLocal, 3),
        w(O::GetLocal, 4), w(O::Mul), w(O::GetLocal, 0), w(O::GetLocal, 1), w(O::Return)},
       {f(F::LocLocTest, 1, 0, 0b101), w(O::GetLocal, 0), w(O::NotEq), j(O::JumpIfFalse, 5),
        f(F::LocLocMul, 3, 4), w(O::GetLocal, 4), w(O::Mul), f(F::LocLoc, 0, 1), w(O::GetLocal, 1),
        w(O::Return)}},
      {"local and constant arithmetic keeps a 16-bit constant",
       {w(O::GetLocal, 5), Instruction::make_ab(O::LoadConst, 0x1234), w(O::Sub), ret},
       {f(F::LocConstSub, 5, 0x34, 0x12), Instruction::make_ab(O::LoadConst, 0x1234), w(O::Sub),
        ret}},
      {"a recur of three slots jumps back to a loop head that starts its own word",
       {w(O::GetLocal, 0), w(O::SetLocal, 1), w(O::GetLocal, 2), w(O::GetLocal, 3), w(O::Add),
        w(O::GetLocal, 1), w(O::SetLocal, 1), w(O::SetLocal, 2), w(O::SetLocal, 3), j(O::Jump, -8),
        ret},
       {w(O::GetLocal, 0), w(O::SetLocal, 1), f(F::LocLocAdd, 2, 3), w(O::GetLocal, 3), w(O::Add),
        w(O::GetLocal, 1), f(F::StoreJump, 1, 2, 3), w(O::SetLocal, 2), w(O::SetLocal, 3),
        j(O::Jump, -8), ret}},
      {"the last value of a recur is stored where it is computed",
       {w(O::GetLocal, 1), Instruction::make_ab(O::LoadConst, 0), w(O::Add), w(O::GetLocal, 2),
        w(O::GetLocal, 1), w(O::Add), w(O::SetLocal, 2), w(O::SetLocal, 1), j(O::Jump, -9),
        w(O::GetLocal, 0), Instruction::make_ab(O::LoadConst, 4), w(O::Sub), w(O::SetLocal, 0),
        j(O::Jump, -14), ret},
       {f(F::LocConstAdd, 1, 0), Instruction::make_ab(O::LoadConst, 0), w(O::Add),
        f(F::LocLocAddStore, 2, 1, 2), w(O::GetLocal, 1), w(O::Add), w(O::SetLocal, 2),
        w(O::SetLocal, 1), j(O::Jump, -9), f(F::LocConstSubStore, 0, 4, 1),
        Instruction::make_ab(O::LoadConst, 4), w(O::Sub), w(O::SetLocal, 0), j(O::Jump, -14), ret}},
      {"no sequence swallows a jump target",
       {w(O::GetLocal, 0), w(O::GetLocal, 1), w(O::Add), j(O::JumpIfTrue, -2), ret},
       {f(F::LocLoc, 0, 1), w(O::GetLocal, 1), w(O::Add), j(O::JumpIfTrue, -2), ret}},
      {"a forward jump to a return returns; a local before it returns fused",
       {w(O::GetLocal, 0), j(O::Jump, 2), w(O::GetLocal, 1), w(O::Add), ret},
       {f(F::LocalReturn, 0), ret, w(O::GetLocal, 1), f(F::AddReturn), ret}},
      {"a backward jump to a return stays a jump",
       {ret, w(O::Pop), j(O::Jump, -3)},
       {ret, w(O::Pop), j(O::Jump, -3)}},
      {"constants with the top of the stack, calls, captures",
       {w(O::Dup), Instruction::make_ab(O::LoadConst, 1), w(O::Add),
        Instruction::make_ab(O::LoadConst, 2), w(O::Sub), Instruction::make_ab(O::LoadConst, 3),
        w(O::Eq), j(O::JumpIfFalse, 0), Instruction::make_ab(O::GetGlobalIndexed, 0x0102),
        w(O::Call, 2), w(O::GetLocal, 6), w(O::Call, 1), w(O::GetUpvalue, 1), w(O::GetLocal, 0),
        w(O::Mul), w(O::GetUpvalue, 0), w(O::Add), ret},
       {w(O::Dup), f(F::ConstAdd, 1), w(O::Add), f(F::ConstSub, 2), w(O::Sub),
        f(F::ConstTest, 3, 0, 0b010), w(O::Eq), j(O::JumpIfFalse, 0), f(F::GlobalCall, 2, 1, 2),
        w(O::Call, 2), f(F::LocalCall, 6, 0, 1), w(O::Call, 1), f(F::UpvalLocMul, 1, 0),
        w(O::GetLocal, 0), w(O::Mul), f(F::UpvalAddReturn, 0), w(O::Add), ret}},
      {"a captured value added, then stored or returned",
       {w(O::GetUpvalue, 1), w(O::Add), w(O::SetLocal, 0), w(O::GetUpvalue, 0), w(O::Add), ret},
       {f(F::UpvalAdd, 1), w(O::Add), w(O::SetLocal, 0), f(F::UpvalAddReturn, 0), w(O::Add), ret}},
      {"a sum stored by a recur of one, two and three values",
       {w(O::Add), w(O::SetLocal, 3), j(O::Jump, -3), w(O::Add), w(O::SetLocal, 1),
        w(O::SetLocal, 2), j(O::Jump, -7), w(O::Add), w(O::SetLocal, 1), w(O::SetLocal, 2),
        w(O::SetLocal, 3), j(O::Jump, -12), ret},
       {f(F::AddStoreJump, 3, 0, 1), w(O::SetLocal, 3), j(O::Jump, -3), f(F::AddStoreJump, 1, 2, 2),
        w(O::SetLocal, 1), w(O::SetLocal, 2), j(O::Jump, -7), w(O::Add), f(F::StoreJump, 1, 2, 3),
        w(O::SetLocal, 2), w(O::SetLocal, 3), j(O::Jump, -12), ret}},
      {"a variant test and its branch",
       {Instruction::make_ab(O::MatchVariant, 0x0304, 2), j(O::JumpIfFalse, 0), ret},
       {f(F::VariantTest, 4, 3, 2), j(O::JumpIfFalse, 0), ret}},
      {"a call of a global with a local and a constant as its one argument",
       {w(O::GetLocal, 0), Instruction::make_ab(O::LoadConst, 1), w(O::Sub),
        Instruction::make_ab(O::GetGlobalIndexed, 9), w(O::Call, 1), w(O::GetLocal, 0),
        Instruction::make_ab(O::LoadConst, 1), w(O::Add),
        Instruction::make_ab(O::GetGlobalIndexed, 9), w(O::Call, 2), ret},
       {f(F::LocConstSubCall, 0, 1), Instruction::make_ab(O::LoadConst, 1), w(O::Sub),
        Instruction::make_ab(O::GetGlobalIndexed, 9), w(O::Call, 1), f(F::LocConstAdd, 0, 1),
        Instruction::make_ab(O::LoadConst, 1), w(O::Add), f(F::GlobalCall, 9, 0, 2), w(O::Call, 2),
        ret}},
      {"a compiled word with a fused op byte is marked invalid",
       {Instruction(static_cast<std::uint32_t>(F::LocLoc)), ret},
       {Instruction(machine::kInvalidMarkWord), ret}},
  };
  for (const Case& c : cases) {
    const auto n = static_cast<std::uint32_t>(c.code.size());
    auto threaded = machine::thread_code(c.code.data(), n, 0);
    std::vector<Instruction> got(threaded.get(), threaded.get() + n);
    ASSERT_EQ(got.size(), c.threaded.size()) << c.what;
    for (std::uint32_t k = 0; k < n; ++k)
      EXPECT_EQ(got[k].word, c.threaded[k].word) << c.what << " at " << k;
  }
}

TEST(ThreadedCode, WholeLoopsBecomeOneWord) {
  using O = Opcode;
  using L = machine::LoopShape;
  auto w = [](O o, std::uint8_t a = 0) { return Instruction::make(o, a); };
  auto k = [](std::uint16_t index) { return Instruction::make_ab(O::LoadConst, index); };
  auto j = [](O o, std::int16_t offset) { return Instruction::make_jump(o, offset); };
  struct Case {
    const char* what;
    std::vector<Instruction> code;
    // Without a shape the head keeps the word it would have without whole loops, the shape's
    // fallback.
    std::optional<L> shape;
    Instruction fallback;
  };
  auto shape = [](std::vector<std::uint16_t> operands, std::uint8_t is_const, std::uint8_t mask,
                  std::vector<L::Op> ops, std::vector<std::uint8_t> stores, std::uint16_t exit) {
    L s;
    for (std::size_t i = 0; i < operands.size(); ++i)
      s.operand[i] = operands[i];
    s.is_const = is_const;
    s.count = static_cast<std::uint8_t>(ops.size());
    s.mask = mask;
    for (std::size_t e = 0; e < ops.size(); ++e) {
      s.op[e] = ops[e];
      s.store[e] = stores[e];
    }
    s.exit = exit;
    return s;
  };
  const std::vector<Case> cases = {
      {"sum to n: locals and a constant, the last value stored first",
       {w(O::GetLocal, 1), w(O::GetLocal, 0), w(O::Le), j(O::JumpIfFalse, 9), w(O::GetLocal, 1),
        k(0), w(O::Add), w(O::GetLocal, 2), w(O::GetLocal, 1), w(O::Add), w(O::SetLocal, 2),
        w(O::SetLocal, 1), j(O::Jump, -13), w(O::GetLocal, 2), w(O::Return)},
       shape({1, 0, 1, 0, 2, 1}, 0b1000, 0b011, {L::Add, L::Add}, {1, 2}, 12),
       machine::fused(machine::Fused::LocLocTest, 1, 0, 0b011)},
      {"a constant test, a copy, a product, a difference with a wide constant",
       {k(300), w(O::GetLocal, 0), w(O::NotEq), j(O::JumpIfFalse, 11), w(O::GetLocal, 3),
        w(O::GetLocal, 1), w(O::GetLocal, 2), w(O::Mul), w(O::GetLocal, 0), k(7), w(O::Sub),
        w(O::SetLocal, 0), w(O::SetLocal, 2), w(O::SetLocal, 1), j(O::Jump, -15), w(O::Return)},
       shape({300, 0, 3, 3, 1, 2, 0, 7}, 0b10000001, 0b101, {L::Copy, L::Mul, L::Sub}, {1, 2, 0},
             14),
       k(300)},
      {"four values are more than one word takes",
       {w(O::GetLocal, 0), k(0), w(O::Lt), j(O::JumpIfFalse, 9), w(O::GetLocal, 0),
        w(O::GetLocal, 1), w(O::GetLocal, 2), w(O::GetLocal, 3), w(O::SetLocal, 3),
        w(O::SetLocal, 2), w(O::SetLocal, 1), w(O::SetLocal, 0), j(O::Jump, -13), w(O::Return)},
       std::nullopt,
       machine::fused(machine::Fused::LocConstTest, 0, 0, 0b001)},
      {"a call in the body",
       {w(O::GetLocal, 0), k(0), w(O::Lt), j(O::JumpIfFalse, 4), w(O::GetLocal, 0), w(O::Call, 0),
        w(O::SetLocal, 0), j(O::Jump, -8), w(O::Return)},
       std::nullopt,
       machine::fused(machine::Fused::LocConstTest, 0, 0, 0b001)},
      {"a jump into the body",
       {w(O::GetLocal, 0), k(0), w(O::Lt), j(O::JumpIfFalse, 6), w(O::GetLocal, 0), k(1), w(O::Add),
        w(O::SetLocal, 0), j(O::Jump, -9), j(O::Jump, -4), w(O::Return)},
       std::nullopt,
       machine::fused(machine::Fused::LocConstTest, 0, 0, 0b001)},
      {"a store count other than the values",
       {w(O::GetLocal, 0), k(0), w(O::Lt), j(O::JumpIfFalse, 6), w(O::GetLocal, 0), k(1), w(O::Add),
        w(O::SetLocal, 0), w(O::SetLocal, 1), j(O::Jump, -10), w(O::Return)},
       std::nullopt,
       machine::fused(machine::Fused::LocConstTest, 0, 0, 0b001)},
  };
  for (const Case& c : cases) {
    const auto n = static_cast<std::uint32_t>(c.code.size());
    auto threaded = machine::thread_code(c.code.data(), n, 0);
    const Instruction head = threaded[0];
    if (!c.shape) {
      EXPECT_EQ(head.word, c.fallback.word) << c.what;
      continue;
    }
    ASSERT_EQ(head.op_byte(), static_cast<std::uint8_t>(machine::Fused::IntLoop)) << c.what;
    const std::uint32_t at = head.word >> 8;
    EXPECT_GE(at, n) << c.what;
    EXPECT_EQ(at % 2, 0u) << c.what;
    L got;
    std::memcpy(static_cast<void*>(&got), threaded.get() + at, sizeof got);
    EXPECT_EQ(got.fallback, c.fallback.word) << c.what;
    const L& want = *c.shape;
    EXPECT_EQ(got.count, want.count) << c.what;
    EXPECT_EQ(got.mask, want.mask) << c.what;
    EXPECT_EQ(got.is_const, want.is_const) << c.what;
    EXPECT_EQ(got.exit, want.exit) << c.what;
    for (std::uint32_t i = 0; i < 2 + 2u * want.count; ++i)
      EXPECT_EQ(got.operand[i], want.operand[i]) << c.what << " operand " << i;
    for (std::uint32_t e = 0; e < want.count; ++e) {
      EXPECT_EQ(got.op[e], want.op[e]) << c.what << " op " << e;
      EXPECT_EQ(got.store[e], want.store[e]) << c.what << " store " << e;
    }
  }
}

TEST_F(VmTest, FusedWordsKeepTheChecksOfTheirWords) {
  // A compiled word with a fused op byte fails as the invalid opcode it is.
  Code fused_byte;
  fused_byte.raw(static_cast<std::uint32_t>(machine::Fused::LocLocTest)).op(Opcode::Return);
  EXPECT_EQ(eval(std::move(fused_byte)), "error: Invalid opcode: 71");

  // A recur loop that never ends is still interrupted by its backward jump.
  int polls = 0;
  vm->interrupt_data = &polls;
  vm->interrupt_hook = [](void* data) -> std::optional<VmError> {
    if (++*static_cast<int*>(data) < 3) return std::nullopt;
    return VmError::value_error("interrupted");
  };
  Code spin;
  spin.locals(2).load(i(0)).op(Opcode::SetLocal, 0);
  spin.op(Opcode::GetLocal, 0).op(Opcode::GetLocal, 1).op(Opcode::SetLocal, 1);
  spin.op(Opcode::SetLocal, 0).jump(Opcode::Jump, -5);
  EXPECT_EQ(eval(std::move(spin)), "error: Value error: interrupted");
  EXPECT_EQ(polls, 3);
  vm->interrupt_hook = nullptr;
  expect_clean_stacks();

  // A whole loop stores its values in the order the stores would: the last value first, so a
  // slot stored twice keeps the first value.
  Code twice;
  twice.locals(1).load(i(0)).op(Opcode::SetLocal, 0);
  twice.op(Opcode::GetLocal, 0).load(i(3)).op(Opcode::Lt).jump(Opcode::JumpIfFalse, 9);
  twice.op(Opcode::GetLocal, 0).load(i(1)).op(Opcode::Add);
  twice.op(Opcode::GetLocal, 0).load(i(10)).op(Opcode::Add);
  twice.op(Opcode::SetLocal, 0).op(Opcode::SetLocal, 0).jump(Opcode::Jump, -13);
  twice.op(Opcode::GetLocal, 0).op(Opcode::Return);
  EXPECT_EQ(eval(std::move(twice)), "3");

  // A local read past the frame's values fails as the plain read does.
  Code past;
  past.op(Opcode::GetLocal, 3).op(Opcode::GetLocal, 0).op(Opcode::Add).op(Opcode::Return);
  EXPECT_EQ(eval(std::move(past)), "error: Index 3 out of bounds for length 0");
}

} // namespace
} // namespace quorvex
