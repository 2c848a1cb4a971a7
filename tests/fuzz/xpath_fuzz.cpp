// Any path text either compiles to an optic or is refused with one of the compiler's value
// errors; a compiled optic then reads, writes and updates a fixed nested datum without a crash,
// with an answer or an orderly error.
#include <cstddef>
#include <cstdint>
#include <memory>
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

// A fresh machine now and then keeps memory bounded: nothing here runs the collector.
Vm& machine() {
  static std::unique_ptr<Vm> vm;
  static int uses = 0;
  if (vm == nullptr || ++uses > 256) {
    vm = quorvex::vm_new_bare();
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
  Vm& vm = machine();
  const std::string text(reinterpret_cast<const char*>(bytes), size);
  std::expected<Value, quorvex::VmError> optic = quorvex::xpath_compile(vm, text);
  if (!optic) {
    check(optic.error().kind == quorvex::VmErrorKind::ValueError);
    check(PARSE_ERRORS.contains(optic.error().text));
    return 0;
  }
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
