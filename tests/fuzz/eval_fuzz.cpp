// Any source text goes through the whole engine (reader, compiler, adoption, machine) without a
// crash, a hang in C++ recursion, undefined behaviour or a corrupted machine. Each input is
// evaluated on a long-lived machine, so that definitions made by earlier inputs meet later ones,
// as they would in a session; the machine is replaced every few hundred inputs, or sooner when
// its heap has grown large, to keep memory bounded. After each evaluation the stacks must be
// back to empty, the error (if any) must display, and the value must print both ways.
//
// The machine outlives each input by design, so libFuzzer's leak check (run with
// -detect_leaks=0) would only see its growth; leaks are the sanitizer test suite's business.
//
// Programs that loop or allocate forever are legitimate; the interrupt hook ends them after a
// budget of polls, after a budget of processor time, or when the heap grows past a bound, with an
// error of its own that is then expected to come back unchanged. Heavy work that polls is
// legitimate too: the time budget stops it well within libFuzzer's -timeout, which is left to
// catch work that never polls.
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sanitizer/allocator_interface.h>

#include "value/objects.hpp"
#include "value/printer.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace {

using quorvex::Vm;
using quorvex::VmError;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// The hook asks to be polled at every backward jump or call, not at the machine's interval, so
// that natives working on ever larger collections (a function that doubles a vector, applied to
// its own result a few dozen times) are stopped by the allocation bound before a step takes
// seconds. The budget is then a count of backward jumps and calls.
constexpr std::uint32_t kPollInterval = 1;
constexpr std::uint32_t kPollBudget = 1u << 14;
// Past this many live objects, or this many bytes allocated in the process, a run is stopped;
// the machine is replaced after it.
constexpr std::uint32_t kLiveObjectLimit = 1u << 20;
constexpr std::size_t kAllocatedByteLimit = std::size_t{384} << 20;
constexpr int kInputsPerMachine = 500;
// Processor time one input may use, in seconds; looked at every 32nd poll, a clock read costing
// about as much as a short run between two polls.
constexpr double kCpuSecondsPerInput = 2.0;

constexpr std::string_view kBudgetMessage = "fuzz: step budget spent";

double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Budget {
  Vm* vm = nullptr;
  std::uint32_t polls_left = 0;
  double cpu_deadline = 0;
  bool spent = false;
};

std::optional<VmError> on_poll(void* data) {
  auto* budget = static_cast<Budget*>(data);
  budget->vm->interrupt_countdown = kPollInterval;
  if (budget->polls_left == 0 || budget->vm->heap.live_count > kLiveObjectLimit ||
      __sanitizer_get_current_allocated_bytes() > kAllocatedByteLimit ||
      ((budget->polls_left & 31) == 0 && cpu_seconds() > budget->cpu_deadline)) {
    budget->spent = true;
    return VmError::value_error(std::string(kBudgetMessage));
  }
  --budget->polls_left;
  return std::nullopt;
}

// Whether the value, written out, stays below a bound: collections share structure, so a small
// program can answer a list of billions of elements that the printers would take minutes to
// write. Counts elements and string bytes without recursing; stops at the bound.
bool small_enough_to_print(const quorvex::Heap& heap, quorvex::Value root) {
  using namespace quorvex;
  constexpr std::size_t kBound = 1u << 18;
  std::size_t seen = 0;
  std::vector<Value> work{root};
  auto visit = [&](const Value& v) {
    ++seen;
    if (seen <= kBound) work.push_back(v);
  };
  while (!work.empty() && seen <= kBound) {
    const Value v = work.back();
    work.pop_back();
    if (const auto* seq = heap_get_as<SeqObject>(heap, v)) {
      for (const Value& item : seq->items) {
        visit(item);
        if (seen > kBound) break;
      }
    } else if (const auto* set = heap_get_as<SetObject>(heap, v)) {
      if (set->set.size() > kBound) return false;
      set->set.for_each([&](const Value& item) { visit(item); });
    } else if (const auto* map = heap_get_as<MapObject>(heap, v)) {
      if (map->map.size() > kBound) return false;
      map->map.for_each([&](const Value& k, const Value& val) {
        visit(k);
        visit(val);
      });
    } else if (const auto* str = heap_get_as<StringObject>(heap, v)) {
      seen += str->text.size();
    }
  }
  return seen <= kBound;
}

struct Session {
  std::unique_ptr<Vm> vm;
  Budget budget;
  int inputs = 0;

  Vm& fresh_if_due() {
    if (!vm || inputs >= kInputsPerMachine || vm->heap.live_count > kLiveObjectLimit / 2 ||
        __sanitizer_get_current_allocated_bytes() > kAllocatedByteLimit / 2) {
      vm.reset();
      vm = quorvex::vm_new_bare();
      budget.vm = vm.get();
      vm->interrupt_hook = &on_poll;
      vm->interrupt_data = &budget;
      inputs = 0;
    }
    ++inputs;
    budget.polls_left = kPollBudget;
    budget.cpu_deadline = cpu_seconds() + kCpuSecondsPerInput;
    vm->interrupt_countdown = kPollInterval;
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
  check(vm.runs.empty());
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
  if (!small_enough_to_print(vm.heap, *result)) return 0;
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
