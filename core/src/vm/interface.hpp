// The engine host interface: the one road from a host (the Python module, agent evaluation, the
// tests) into a machine.
//
//   std::unique_ptr<Vm> vm = vm_new_bare();
//   std::expected<Value, EngineError> r = vm_eval(*vm, "(defn sq [x] (* x x)) (sq 12)");
//   if (!r) report(to_string(r.error()));
//
// Evaluating text reads all of it first (a read error runs nothing), then compiles and runs one
// top-level form at a time; the first compile or runtime error stops the rest, and what earlier
// forms did stays. One top-level form (compile_and_run):
//
//   1. a compiler over the machine's name tables borrows the macro table;
//   2. the form compiles into prototypes numbered from 0, whose objects live in a staging heap;
//   3. the macro table comes back to the machine, whatever the outcome, and the macro roots are
//      rebuilt from it;
//   4. on success: documentation entries are merged, the staging objects are adopted into the
//      machine heap, constants are remapped to machine keys, prototype indices (closure words and
//      closure templates) are mapped to the positions the prototypes get in the machine's table
//      (freed positions first), and the prototypes are stored there;
//   5. the top-level prototype runs with no arguments.
//
// Whatever fails (read, compilation, macro expansion, run, or an InternalError thrown through),
// the machine is left ready for the next evaluation: value, frame and handler stacks back at
// their heights before the form, the macro table in the machine, and nothing of a failed
// compilation reachable.
//
// Values answered by the evaluation functions are not rooted: convert or bind them before
// anything else runs on the machine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "reader/core_error.hpp"
#include "reader/form.hpp"
#include "value/heap.hpp"
#include "value/value.hpp"
#include "vm/compiler/adoption.hpp"
#include "vm/compiler/compile_error.hpp"
#include "vm/vm.hpp"

namespace quorvex {

// The error of every host operation: one of the three layers' errors, unchanged.
struct EngineError {
  enum class Kind : std::uint8_t { Core = 0, Compile = 1, Runtime = 2 };

  std::variant<CoreError, CompileFailure, RuntimeError> error;

  static EngineError core(CoreError e) { return EngineError{std::move(e)}; }
  static EngineError compile(CompileFailure e) { return EngineError{std::move(e)}; }
  static EngineError runtime(RuntimeError e) { return EngineError{std::move(e)}; }

  Kind kind() const { return static_cast<Kind>(error.index()); }
  const CoreError* as_core() const { return std::get_if<CoreError>(&error); }
  const CompileFailure* as_compile() const { return std::get_if<CompileFailure>(&error); }
  const RuntimeError* as_runtime() const { return std::get_if<RuntimeError>(&error); }
};

// The display text: the reader's own text ("Reader error: ..."), "compile error: " followed by
// the compile failure's text, or the runtime error's text. Locations are never printed.
void format_engine_error(const EngineError& e, std::string& out);
std::string to_string(const EngineError& e);

// A machine without the prelude: builtins, the effects exn, console and random, the optic
// globals, an empty macro table, no host handlers.
std::unique_ptr<Vm> vm_new_bare();

// Evaluates the prelude under the source name "<stdlib>" and caches the tag of its `Reduced`
// variant for `reduce`. An error is answered unchanged; what the forms before it defined stays.
std::expected<void, EngineError> load_prelude(Vm& vm);

// A machine with the prelude loaded (no host handlers: the host adds them).
std::expected<std::unique_ptr<Vm>, EngineError> vm_with_prelude();

// Reads the whole text under the source name, then compiles and runs its forms in order. Answers
// the last form's value, nil for a text without forms.
std::expected<Value, EngineError> eval_source(Vm& vm, std::string_view text, Spur source);

// eval_source under the source name "<eval>".
std::expected<Value, EngineError> vm_eval(Vm& vm, std::string_view text);

// The forms of the last text a host evaluated, kept so that evaluating the same text again (a
// host calling `(run ...)` in a loop) skips reading it. Forms are immutable and do not depend on
// the machine's state, only on the text and the source name, so reusing them is exact. Texts
// longer than kMaxText are not kept.
struct ReadMemo {
  static constexpr std::size_t kMaxText = 4096;
  std::string text;
  Spur source = 0;
  bool filled = false;
  std::vector<Form> forms;
};

// vm_eval, reading through the memo. The memo belongs to one machine and must not be used by a
// second evaluation while one is running (the Python engine's exclusive borrow ensures it).
std::expected<Value, EngineError> vm_eval_memo(Vm& vm, std::string_view text, ReadMemo& memo);

// Compiles one top-level form against the machine, installs what the compilation made and runs
// it. Errors are EngineError::Compile or EngineError::Runtime.
std::expected<Value, EngineError> compile_and_run(Vm& vm, const Form& form);

// Binds the global `name` (interned when new) to the value, replacing whatever it held.
void define_global_by_name(Vm& vm, std::string_view name, Value value);

// Registers a host function and binds the global `name` to its native value; answers its native
// index (159 for a machine's first host function). Fails only past the 65,536 native indices that
// a native value can name.
std::expected<std::uint32_t, EngineError>
define_host_function(Vm& vm, std::string_view name, std::shared_ptr<HostCallable> callable);

// Binds the handler to the id of the effect held by the global `name`, replacing an earlier
// handler for that id. A name that does not hold an effect fails with "Type error: effect not
// found" and drops the handler.
std::expected<void, EngineError> register_host_handler(Vm& vm, std::string_view name,
                                                       std::shared_ptr<HostHandler> handler);

// The id of the effect held by the global `name`; none when the name was never interned, has no
// global, or its global holds anything but a live effect. Interns nothing.
std::optional<EffectId> effect_id(const Vm& vm, std::string_view name);

} // namespace quorvex
