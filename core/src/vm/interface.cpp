#include "vm/interface.hpp"

#include <exception>
#include <utility>

#include "prelude/stdlib.hpp"
#include "reader/reader.hpp"
#include "util/depth_guard.hpp"
#include "util/internal_error.hpp"
#include "vm/compiler/adoption.hpp"
#include "vm/compiler/compiler.hpp"
#include "vm/compiler/vm_host.hpp"

namespace quorvex {

// ---------------------------------------------------------------------------------------------
// Errors

void format_engine_error(const EngineError& e, std::string& out) {
  switch (e.kind()) {
  case EngineError::Kind::Core:
    out += format_core_error(*e.as_core());
    return;
  case EngineError::Kind::Compile:
    out += "compile error: ";
    out += format_compile_failure(*e.as_compile());
    return;
  case EngineError::Kind::Runtime:
    format_runtime_error(*e.as_runtime(), out);
    return;
  }
}

std::string to_string(const EngineError& e) {
  std::string s;
  format_engine_error(e, s);
  return s;
}

// ---------------------------------------------------------------------------------------------
// Evaluation

namespace {

// The heights of the machine's stacks when a form starts; every way out of the form that is not
// a success puts them back.
class StackMark {
public:
  explicit StackMark(Vm& vm)
      : vm_(vm), stack_(vm.stack.size()), frames_(vm.frames.size()), handlers_(vm.handlers.size()),
        exceptions_(std::uncaught_exceptions()) {}
  ~StackMark() {
    if (std::uncaught_exceptions() > exceptions_) restore();
  }
  StackMark(const StackMark&) = delete;
  StackMark& operator=(const StackMark&) = delete;

  void restore() { cut_stacks(vm_, stack_, frames_, handlers_); }

private:
  Vm& vm_;
  std::size_t stack_;
  std::size_t frames_;
  std::size_t handlers_;
  int exceptions_;
};

// The macro table, lent to a compiler for one form. It comes back to the machine when the loan
// ends by give_back() or by any exception, and the macro roots are rebuilt from it.
class MacroLoan {
public:
  MacroLoan(Vm& vm, Compiler& compiler) : vm_(vm), compiler_(compiler) {
    compiler_.macros = std::move(vm_.macros);
    vm_.macros.clear();
  }
  ~MacroLoan() { give_back(); }
  MacroLoan(const MacroLoan&) = delete;
  MacroLoan& operator=(const MacroLoan&) = delete;

  void give_back() {
    if (returned_) return;
    returned_ = true;
    vm_.macros = std::move(compiler_.macros);
    compiler_.macros.clear();
    vm_.macro_roots.clear();
    vm_.macro_roots.reserve(vm_.macros.size());
    for (const auto& [name, closure] : vm_.macros)
      vm_.macro_roots.push_back(closure);
  }

private:
  Vm& vm_;
  Compiler& compiler_;
  bool returned_ = false;
};

} // namespace

std::unique_ptr<Vm> vm_new_bare() {
  std::unique_ptr<Vm> vm = vm_new();
  vm->macros.clear();
  vm->macro_roots.clear();
  return vm;
}

std::expected<Value, EngineError> compile_and_run(Vm& vm, const Form& form) {
  collect_code_if_due(vm);
  StackMark mark(vm);
  VmCompilerHost host(vm);
  Compiler compiler = new_compiler(host);

  std::expected<std::uint32_t, CompileFailure> top;
  {
    MacroLoan loan(vm, compiler);
    top = compile_toplevel(compiler, form);
  }
  if (!top) {
    // A failed macro expansion ran in the machine; leave nothing of it on the stacks.
    mark.restore();
    // The interrupt hook may have stopped a walk over a macro's result, which runs outside any
    // run: no run's end closes the abort that started.
    if (vm.runs.empty()) {
      vm.run_aborting = false;
      vm.walk_stop_error.reset();
    }
    return std::unexpected(EngineError::compile(std::move(top.error())));
  }

  CompilerTables tables = take_compiler_tables(std::move(compiler));
  for (auto& [name, entry] : tables.docstring_table) {
    vm.docs.insert_or_assign(name, std::move(entry));
  }

  // Planned after compiling: macro definitions install their prototypes while the form compiles,
  // and the compiler widened its closure words for exactly this placement. Nothing collects from
  // here until the top-level prototype runs.
  const std::vector<std::uint32_t> placement = next_prototype_indices(vm, tables.prototypes.size());
  const HandleMap handles = adopt_compiled_objects(vm.heap, std::move(tables.staging_heap),
                                                   std::move(tables.moved_objects));
  for (Prototype& proto : tables.prototypes) {
    if (!handles.empty()) remap_value_handles(proto, [&](HeapKey k) { return handles.find(k); });
    rebase_closure_operands(proto, placement);
    // A name this form reads before it has a global (a recursive or forward reference) gets a
    // reserved slot, so the read costs an index instead of a lookup by name on every run.
    link_global_reads(proto, [&](Spur name) { return reserve_global(vm, name); });
  }
  fixup_adopted_templates(vm.heap, placement, handles.inserted());

  for (std::size_t i = 0; i < tables.prototypes.size(); ++i) {
    if (add_prototype(vm, std::move(tables.prototypes[i])) != placement[i]) {
      throw InternalError("machine prototype table changed while adopting a form");
    }
  }

  std::expected<Value, RuntimeError> result = call_prototype(vm, placement.at(*top), {});
  if (!result) {
    mark.restore();
    return std::unexpected(EngineError::runtime(std::move(result.error())));
  }
  return *result;
}

namespace {

// A thread with too little native stack left is told so before anything starts, rather than
// failing inside with a nesting error for a text that nests nothing.
std::optional<EngineError> short_of_native_stack() {
  if (enough_native_stack()) return std::nullopt;
  return EngineError::runtime(
      RuntimeError{std::nullopt, VmError::native_stack_short(kNotEnoughNativeStack), {}});
}

std::expected<Value, EngineError> run_forms(Vm& vm, const std::vector<Form>& forms) {
  Value last = Value::nil();
  for (const Form& form : forms) {
    std::expected<Value, EngineError> r = compile_and_run(vm, form);
    if (!r) return r;
    last = *r;
  }
  return last;
}

} // namespace

std::expected<Value, EngineError> eval_source(Vm& vm, std::string_view text, Spur source) {
  if (std::optional<EngineError> short_stack = short_of_native_stack())
    return std::unexpected(std::move(*short_stack));
  std::expected<std::vector<Form>, CoreError> forms = read_all(text, source);
  if (!forms) return std::unexpected(EngineError::core(std::move(forms.error())));
  return run_forms(vm, *forms);
}

namespace {

// The prelude's forms, read once per process: forms are immutable and may be shared between
// threads. Their spans name the source by the id a fresh machine gives "<stdlib>", which is the
// same in every machine built the same way; a machine where it differs reads the text itself.
struct PreludeForms {
  Spur source = 0;
  std::expected<std::vector<Form>, CoreError> forms;
};

const PreludeForms& prelude_forms(Spur source) {
  static const PreludeForms cached{source, read_all(stdlib_source(), source)};
  return cached;
}

} // namespace

std::expected<void, EngineError> load_prelude(Vm& vm) {
  if (std::optional<EngineError> short_stack = short_of_native_stack())
    return std::unexpected(std::move(*short_stack));
  const Spur source = vm.interner.get_or_intern("<stdlib>");
  const PreludeForms& cached = prelude_forms(source);
  std::expected<std::vector<Form>, CoreError> own;
  const std::expected<std::vector<Form>, CoreError>* forms = &cached.forms;
  if (cached.source != source) {
    own = read_all(stdlib_source(), source);
    forms = &own;
  }
  if (!*forms) return std::unexpected(EngineError::core(forms->error()));
  for (const Form& form : **forms) {
    std::expected<Value, EngineError> r = compile_and_run(vm, form);
    if (!r) return std::unexpected(std::move(r.error()));
  }
  if (std::optional<std::uint32_t> id =
          vm.types.find_by_name(vm.interner.get_or_intern("ReduceSignal"));
      id && *id < vm.types.size()) {
    vm.reduce_signal_type = VariantTag::make(*id, 0);
  }
  return {};
}

std::expected<std::unique_ptr<Vm>, EngineError> vm_with_prelude() {
  std::unique_ptr<Vm> vm = vm_new_bare();
  if (std::expected<void, EngineError> loaded = load_prelude(*vm); !loaded) {
    return std::unexpected(std::move(loaded.error()));
  }
  return vm;
}

std::expected<Value, EngineError> vm_eval(Vm& vm, std::string_view text) {
  return eval_source(vm, text, vm.interner.get_or_intern("<eval>"));
}

std::expected<Value, EngineError> vm_eval_memo(Vm& vm, std::string_view text, ReadMemo& memo) {
  if (std::optional<EngineError> short_stack = short_of_native_stack())
    return std::unexpected(std::move(*short_stack));
  if (!memo.filled || memo.text != text) {
    if (text.size() > ReadMemo::kMaxText) return vm_eval(vm, text);
    if (memo.source == 0) memo.source = vm.interner.get_or_intern("<eval>");
    memo.filled = false;
    memo.forms.clear();
    std::expected<std::vector<Form>, CoreError> forms = read_all(text, memo.source);
    if (!forms) return std::unexpected(EngineError::core(std::move(forms.error())));
    memo.text.assign(text);
    memo.forms = std::move(*forms);
    memo.filled = true;
  }
  return run_forms(vm, memo.forms);
}

// ---------------------------------------------------------------------------------------------
// Globals, host functions and host handlers

void define_global_by_name(Vm& vm, std::string_view name, Value value) {
  define_global(vm, vm.interner.get_or_intern(name), value);
}

std::expected<std::uint32_t, EngineError>
define_host_function(Vm& vm, std::string_view name, std::shared_ptr<HostCallable> callable) {
  std::expected<std::uint32_t, VmError> index =
      register_host_function(vm, name, std::move(callable));
  if (!index) {
    return std::unexpected(
        EngineError::runtime(RuntimeError{std::nullopt, std::move(index.error()), {}}));
  }
  return *index;
}

std::expected<void, EngineError> register_host_handler(Vm& vm, std::string_view name,
                                                       std::shared_ptr<HostHandler> handler) {
  std::optional<EffectId> id = find_effect_id(vm, name);
  if (!id) {
    return std::unexpected(EngineError::runtime(
        RuntimeError{std::nullopt, VmError::type_error("effect not found"), {}}));
  }
  vm.host_handlers.insert_or_assign(*id, std::move(handler));
  return {};
}

std::optional<EffectId> effect_id(const Vm& vm, std::string_view name) {
  return find_effect_id(vm, name);
}

} // namespace quorvex
