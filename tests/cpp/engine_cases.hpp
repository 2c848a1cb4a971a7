// Programs run through the whole engine, for the test tables of language behaviour: each case is
// a program and the readable print of its value, or "error: " and the error's display text.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "value/printer.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace quorvex::engine_cases {

inline std::string readable(const Vm& vm, const Value& v) {
  Guarded<std::string> text = print_readable(PrintEnv{vm.heap, vm.interner, vm.types}, v);
  return text ? *text : "<print fault>";
}

// The readable print of the last form's value, or "error: " and the error's display text. The
// value is printed at once: nothing roots it.
inline std::string run(Vm& vm, std::string_view source) {
  std::expected<Value, EngineError> r = vm_eval(vm, source);
  if (!r) return "error: " + to_string(r.error());
  return readable(vm, *r);
}

// What every evaluation leaves behind, whatever its outcome.
inline void expect_machine_at_rest(const Vm& vm) {
  EXPECT_EQ(vm.stack.size(), 0u);
  EXPECT_TRUE(vm.frames.empty());
  EXPECT_TRUE(vm.handlers.empty());
  EXPECT_EQ(vm.heap.native_depth, 0u);
  EXPECT_TRUE(vm.runs.empty());
}

// An interrupt hook that lets two polls pass and ends the run at the third with a value error of
// `text`, so that the stop lands inside whatever loop polls rather than at its first step. It
// stays the machine's hook until replaced.
struct StopAtThirdPoll {
  explicit StopAtThirdPoll(Vm& vm, const char* stop_text = "stop now") : text(stop_text) {
    vm.interrupt_data = this;
    vm.interrupt_hook = [](void* data) -> std::optional<VmError> {
      auto* self = static_cast<StopAtThirdPoll*>(data);
      if (++self->polls < 3) return std::nullopt;
      return VmError::value_error(self->text);
    };
  }
  StopAtThirdPoll(const StopAtThirdPoll&) = delete;
  StopAtThirdPoll& operator=(const StopAtThirdPoll&) = delete;

  const char* text;
  int polls = 0;
};

struct Case {
  const char* source;
  const char* expected;
};

// Each program on a fresh bare machine, which must be at rest afterwards.
inline void expect_cases(std::span<const Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    EXPECT_EQ(run(*vm, c.source), c.expected);
    expect_machine_at_rest(*vm);
  }
}

inline void expect_cases(std::initializer_list<Case> cases) {
  expect_cases(std::span<const Case>(cases.begin(), cases.size()));
}

// An error's display text and its 1-based line and column (0, 0: no location).
struct LocatedCase {
  const char* source;
  const char* text;
  int line;
  int column;
};

// Each program on a fresh bare machine: it must fail with that text at that place, and leave the
// machine at rest.
inline void expect_located(std::initializer_list<LocatedCase> cases) {
  for (const LocatedCase& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    std::expected<Value, EngineError> r = vm_eval(*vm, c.source);
    expect_machine_at_rest(*vm);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(to_string(r.error()), c.text);
    std::optional<SourceSpan> at;
    if (const CompileFailure* f = r.error().as_compile()) at = f->location;
    if (const RuntimeError* e = r.error().as_runtime()) at = e->location;
    if (c.line == 0) {
      EXPECT_FALSE(at.has_value());
    } else if (at) {
      EXPECT_EQ(static_cast<int>(at->line) + 1, c.line);
      EXPECT_EQ(static_cast<int>(at->column) + 1, c.column);
    } else {
      ADD_FAILURE() << "no location";
    }
  }
}

} // namespace quorvex::engine_cases
