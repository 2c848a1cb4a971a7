// Any path text either compiles to an optic or is refused with one of the compiler's value
// errors; a compiled optic then reads, writes and updates a fixed nested datum without a crash,
// with an answer or an orderly error.
//
// A short path can ask for much work: each `**` step walks the subtree below every node the
// steps before it reached, so n nested ones cost the datum's size to the power n, and `over`
// with a function that wraps its argument walks what it made. The walks poll the interrupt hook
// at every node; the hook here ends an input after a budget of steps, as Ctrl-C would.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "optics/optics.hpp"
#include "value/heap.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace {

using quorvex::Value;
using quorvex::Vm;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

const std::set<std::string_view> PARSE_ERRORS = {
    "xpath must start with /",
    "unexpected end of xpath",
    "expected number in xpath",
    "expected '=' after #identifier in xpath",
    "expected [ in predicate",
    "unsupported predicate syntax",
    "expected ] after predicate",
    "expected : after ! in predicate",
    "expected comparison operator",
    "expected = after !",
    "expected literal value",
    "invalid integer",
    "invalid float",
};

constexpr std::uint32_t kStepBudget = 1u << 16;
std::uint32_t steps_left = 0;

std::optional<quorvex::VmError> on_poll(void* data) {
  static_cast<Vm*>(data)->interrupt_countdown = 1;
  if (steps_left == 0) return quorvex::VmError::value_error("fuzz: step budget spent");
  --steps_left;
  return std::nullopt;
}

// A fresh machine now and then keeps memory bounded: nothing here runs the collector.
Vm& machine() {
  static std::unique_ptr<Vm> vm;
  static int uses = 0;
  if (vm == nullptr || ++uses > 256) {
    vm = quorvex::vm_new_bare();
    vm->interrupt_hook = &on_poll;
    vm->interrupt_data = vm.get();
    auto data = quorvex::vm_eval(*vm, "(def data {:users [{:name \"ann\" :id 7 :age 30} "
                                      "{:name \"bo\" :c [{:id 7}] :tags #{:x}}] :n -1 :s \"t\"})"
                                      "(def f (fn [x] [x]))");
    check(data.has_value());
    uses = 0;
  }
  return *vm;
}

Value global(Vm& vm, std::string_view name) {
  const auto spur = vm.interner.get(name);
  check(spur.has_value());
  const auto index = vm.find_global(*spur);
  check(index.has_value());
  return vm.globals[*index];
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  steps_left = kStepBudget;
  Vm& vm = machine();
  vm.interrupt_countdown = 1;
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  std::expected<Value, quorvex::VmError> optic = quorvex::xpath_compile(vm, text);
  if (!optic) {
    check(optic.error().kind == quorvex::VmErrorKind::ValueError);
    check(PARSE_ERRORS.contains(optic.error().text));
    return 0;
  }
  // The optic is held by nothing else, and `over` calls back into the language, where the
  // collector may run.
  quorvex::RootScope scope(vm.heap);
  scope.add(*optic);
  const quorvex::Optic* compiled = quorvex::heap_get_as<quorvex::Optic>(vm.heap, *optic);
  check(compiled != nullptr);
  const quorvex::OpticKind kind = compiled->kind;
  const Value data = global(vm, "data");
  const Value f = global(vm, "f");
  // Answers and errors are both fine; the machine must be left at rest either way.
  (void)quorvex::view_optic(vm, kind, data);
  (void)quorvex::view_all_optic(vm, kind, data);
  (void)quorvex::set_optic(vm, kind, Value::from_int(0), data);
  (void)quorvex::over_optic(vm, kind, f, data);
  vm.run_aborting = false;
  check(vm.stack.empty() && vm.frames.empty());
  return 0;
}
