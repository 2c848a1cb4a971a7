// Many evaluations of small forms in one bare engine, as a host drives it: every call reads,
// compiles, adopts and runs one short text.
//
//   engine_evals_bench [COUNT]
//
// COUNT (default 100,000) evaluations cycle through five kinds of form: arithmetic, a new global,
// a new two-clause function, a call of a function defined earlier, and a quoted constant. Each
// answer is checked. The engine's prototype table and globals grow past 65,536 on the way, where
// 16-bit operands would wrap. Prints one line of key=value pairs: evaluations, seconds, µs per
// evaluation, prototypes, globals, heap objects, and µs per evaluation of `(+ 1 2)` alone in the
// grown engine.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "value/printer.hpp"
#include "vm/interface.hpp"

namespace {

using quorvex::EngineError;
using quorvex::Value;
using quorvex::Vm;

std::string printed(const Vm& vm, const Value& v) {
  auto text = quorvex::print_readable(quorvex::PrintEnv{vm.heap, vm.interner, vm.types}, v);
  return text ? *text : "<print fault>";
}

bool check(Vm& vm, const std::string& source, const std::string& expected) {
  std::expected<Value, EngineError> r = quorvex::vm_eval(vm, source);
  if (!r) {
    std::fprintf(stderr, "%s: %s\n", source.c_str(), quorvex::to_string(r.error()).c_str());
    return false;
  }
  if (std::string got = printed(vm, *r); got != expected) {
    std::fprintf(stderr, "%s: expected %s, got %s\n", source.c_str(), expected.c_str(),
                 got.c_str());
    return false;
  }
  return true;
}

} // namespace

int main(int argc, char** argv) {
  const long count = argc > 1 ? std::max(5L, std::atol(argv[1])) : 100'000L;
  std::unique_ptr<Vm> vm = quorvex::vm_new_bare();

  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  for (long i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    bool ok = true;
    switch (i % 5) {
    case 0:
      ok = check(*vm, "(+ " + n + " 1)", std::to_string(i + 1));
      break;
    case 1:
      ok = check(*vm, "(def g" + n + " " + n + ")", n);
      break;
    case 2:
      ok = check(*vm, "(defn f" + n + " ([x] (* x 2)) ([x y] [x y " + n + "]))", "<fn>");
      break;
    case 3: {
      const std::string f = "f" + std::to_string(i - 1);
      ok = check(*vm, "[(" + f + " 21) (" + f + " 1 2) g" + std::to_string(i - 2) + "]",
                 "[42 [1 2 " + std::to_string(i - 1) + "] " + std::to_string(i - 2) + "]");
      break;
    }
    default:
      ok = check(*vm, "'[" + n + " \"s\" {:k [1 2]}]", "[" + n + " \"s\" {:k [1 2]}]");
      break;
    }
    if (!ok) return 1;
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();

  const long tiny = 100'000;
  const Clock::time_point tiny_start = Clock::now();
  for (long i = 0; i < tiny; ++i) {
    if (!quorvex::vm_eval(*vm, "(+ 1 2)")) return 1;
  }
  const double tiny_seconds = std::chrono::duration<double>(Clock::now() - tiny_start).count();

  std::printf(
      "evaluations=%ld seconds=%.3f us_per_eval=%.3f prototypes=%zu globals=%zu heap_objects=%u "
      "tiny_us_per_eval=%.3f\n",
      count, seconds, seconds * 1e6 / static_cast<double>(count), vm->prototypes.size(),
      vm->globals.size(), vm->heap.live_count, tiny_seconds * 1e6 / static_cast<double>(tiny));
  return 0;
}
