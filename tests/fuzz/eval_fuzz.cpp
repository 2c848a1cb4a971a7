// Any source text goes through the whole engine (reader, compiler, adoption, machine) without a
// crash, a hang in C++ recursion, undefined behaviour or a corrupted machine. Each input is
// evaluated on a long-lived machine, so that definitions made by earlier inputs meet later ones,
// as they would in a session; the machine is replaced every few hundred inputs, or sooner when
// its heap has grown large, to keep memory bounded. After each evaluation the stacks must be
// back to empty, the error (if any) must display, and the value must print both ways.
//
// Programs that loop or allocate forever are legitimate; the interrupt hook ends them after a
// budget of polls or when the heap grows past a bound, with an error of its own that is then
// expected to come back unchanged.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "value/printer.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace {

using quorvex::Vm;
using quorvex::VmError;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// Each poll stands for kInterruptInterval backward jumps or calls.
constexpr std::uint32_t kPollBudget = 64;
// Past this many live objects a run is stopped, and the machine is replaced after it.
constexpr std::uint32_t kLiveObjectLimit = 1u << 20;
constexpr int kInputsPerMachine = 500;

constexpr std::string_view kBudgetMessage = "fuzz: step budget spent";

struct Budget {
  Vm* vm = nullptr;
  std::uint32_t polls_left = 0;
  bool spent = false;
};

std::optional<VmError> on_poll(void* data) {
  auto* budget = static_cast<Budget*>(data);
  if (budget->polls_left == 0 || budget->vm->heap.live_count > kLiveObjectLimit) {
    budget->spent = true;
    return VmError::value_error(std::string(kBudgetMessage));
  }
  --budget->polls_left;
  return std::nullopt;
}

struct Session {
  std::unique_ptr<Vm> vm;
  Budget budget;
  int inputs = 0;

  Vm& fresh_if_due() {
    if (!vm || inputs >= kInputsPerMachine || vm->heap.live_count > kLiveObjectLimit / 2) {
      vm.reset();
      vm = quorvex::vm_new_bare();
      budget.vm = vm.get();
      vm->interrupt_hook = &on_poll;
      vm->interrupt_data = &budget;
      inputs = 0;
    }
    ++inputs;
    budget.polls_left = kPollBudget;
    budget.spent = false;
    return *vm;
  }
};

Session& session() {
  static Session s;
  return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Very long texts only slow the search down; the reader fuzzer covers them.
  if (size > 4096) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Session& s = session();
  Vm& vm = s.fresh_if_due();
  const std::size_t globals_before = vm.globals.size();

  auto result = quorvex::vm_eval(vm, text);

  // The outermost run is over, whatever happened: nothing of it stays on the stacks.
  check(vm.stack.empty());
  check(vm.frames.empty());
  check(vm.handlers.empty());
  check(vm.active_runs == 0);
  check(!vm.run_aborting);
  check(vm.heap.native_depth == 0);
  check(vm.globals.size() >= globals_before);
  check(vm.prototype_views.size() <= vm.prototypes.size());

  if (!result) {
    std::string shown = quorvex::to_string(result.error());
    check(!shown.empty());
    if (const quorvex::RuntimeError* r = result.error().as_runtime()) {
      std::string again;
      quorvex::format_runtime_error(*r, again);
      check(again == shown);
      // The hook's error comes back as it was made.
      if (s.budget.spent && r->error.kind == quorvex::VmErrorKind::ValueError &&
          r->error.text == kBudgetMessage)
        return 0;
    }
    return 0;
  }

  // The answer is not rooted; nothing runs on the machine before it is printed.
  const quorvex::PrintEnv env{vm.heap, vm.interner, vm.types};
  std::string display;
  std::string readable;
  auto d = quorvex::append_display(env, *result, display);
  auto r = quorvex::append_readable(env, *result, readable);
  (void)d;
  (void)r;
  auto d2 = quorvex::display_value(env, *result);
  if (d && d2) check(*d2 == display);
  return 0;
}
