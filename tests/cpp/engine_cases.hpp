// Programs run through the whole engine, for the test tables of language behaviour: each case is
// a program and the readable print of its value, or "error: " and the error's display text.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "value/printer.hpp"
#include "vm/interface.hpp"
#include "vm/vm.hpp"

namespace quorvex::engine_cases {

// The readable print of the last form's value, or "error: " and the error's display text. The
// value is printed at once: nothing roots it.
inline std::string run(Vm& vm, std::string_view source) {
  std::expected<Value, EngineError> r = vm_eval(vm, source);
  if (!r) return "error: " + to_string(r.error());
  Guarded<std::string> text = print_readable(PrintEnv{vm.heap, vm.interner, vm.types}, *r);
  return text ? *text : "<print fault>";
}

// What every evaluation leaves behind, whatever its outcome.
inline void expect_machine_at_rest(const Vm& vm) {
  EXPECT_EQ(vm.stack.size(), 0u);
  EXPECT_TRUE(vm.frames.empty());
  EXPECT_TRUE(vm.handlers.empty());
  EXPECT_EQ(vm.heap.native_depth, 0u);
}

struct Case {
  const char* source;
  const char* expected;
};

// Each program on a fresh bare machine, which must be at rest afterwards.
inline void expect_cases(std::initializer_list<Case> cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    std::unique_ptr<Vm> vm = vm_new_bare();
    EXPECT_EQ(run(*vm, c.source), c.expected);
    expect_machine_at_rest(*vm);
  }
}

} // namespace quorvex::engine_cases
