// The compiler's view of a machine: its interner, its globals, its prototype table, and the heap
// and run loop in which macro expanders run.
//
//   VmCompilerHost host(vm);
//   Compiler compiler = new_compiler(host);   // host must outlive the compiler
#pragma once

#include "vm/compiler/compiler.hpp"
#include "vm/vm.hpp"

namespace quorvex {

class VmCompilerHost final : public CompilerHost {
public:
  explicit VmCompilerHost(Vm& vm) : vm_(vm) {}

  Interner& interner() override { return vm_.interner; }
  std::optional<std::uint32_t> global_index(Spur name) const override {
    auto it = vm_.global_index.find(name);
    if (it == vm_.global_index.end() || it->second >= vm_.globals.size()) return std::nullopt;
    return it->second;
  }
  Value global_value(std::uint32_t index) const override {
    return index < vm_.globals.size() ? vm_.globals[index] : Value::nil();
  }
  std::vector<std::uint32_t> next_prototype_indices(std::size_t count) const override {
    return quorvex::next_prototype_indices(vm_, count);
  }

  TypeRegistry& types() override { return vm_.types; }
  HeapKey insert_machine_object(HeapObject object) override {
    return heap_insert(vm_.heap, std::move(object));
  }

  Heap& machine_heap() override { return vm_.heap; }
  std::uint32_t install_prototype(Prototype prototype) override {
    return add_prototype(vm_, std::move(prototype));
  }
  // The host rebuilds the roots from the table when the loan ends; until then the closure is
  // kept here (a replaced one too, harmlessly).
  void keep_macro(HeapKey closure) override { vm_.macro_roots.push_back(closure); }
  NativeResult call_macro(Value expander, std::span<const Value> arguments) override {
    return call_value_from_native(vm_, expander, arguments);
  }

  Vm& vm() { return vm_; }

private:
  Vm& vm_;
};

} // namespace quorvex
