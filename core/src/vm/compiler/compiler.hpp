// The compiler: one top-level form at a time into prototypes.
//
// Protocol, once per top-level form (the engine host drives it):
//   1. Compiler c = new_compiler(host);            over the machine's name tables
//   2. the host lends the machine's macro table    (c.macros)
//   3. compile_toplevel(c, form)                   -> index of the top-level prototype
//   4. the host takes the macro table back; on success take_compiler_tables(std::move(c)) hands
//      out the prototypes (numbered from 0 within this compilation, the top-level one last), the
//      staging heap holding every object the code refers to, the record of staged objects that
//      macro definitions already moved into the machine, and the docstrings; the host then
//      adopts them (vm/compiler/adoption.hpp) and runs the top-level prototype.
//
// A `defmacro` installs its expander at once: the expander's prototype, the prototypes of the
// functions its body makes and the staged objects they refer to go into the machine while the
// form compiles, so that the macro can expand later in the same form. Those prototypes leave the
// compilation's own numbering; nothing else in the form refers to them.
//
// Objects the compiler makes (string and regex literals, quoted data, closure templates) live in
// the staging heap, a collector-free heap of the compilation's own; their keys in constants are
// staging keys until adoption rewrites them.
#pragma once

#include <cstdint>
#include <deque>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "reader/form.hpp"
#include "value/heap.hpp"
#include "value/type_registry.hpp"
#include "value/value.hpp"
#include "value/vm_error.hpp"
#include "vm/compiler/adoption.hpp"
#include "vm/compiler/compile_error.hpp"
#include "vm/compiler/context.hpp"
#include "vm/prototype.hpp"
#include "vm/vm.hpp" // DocEntry

namespace quorvex {

class Interner;

// What the compiler needs of the machine it compiles for. The machine implements it over its own
// tables; tests implement it over plain ones.
class CompilerHost {
public:
  virtual Interner& interner() = 0;
  // Position of the global bound to `name` in the machine's globals table, when there is one.
  virtual std::optional<std::uint32_t> global_index(Spur name) const = 0;
  // The value of global `index` (a position global_index returned).
  virtual Value global_value(std::uint32_t index) const = 0;
  // The machine-wide indices the next `count` prototypes installed or adopted will get, in order
  // (a compilation's own numbering maps to these). Nothing frees prototypes between this call
  // and the installation it plans, since no code runs in between.
  virtual std::vector<std::uint32_t> next_prototype_indices(std::size_t count) const = 0;
  // The machine's data types: patterns name their variants, and `defdata` registers new ones.
  virtual TypeRegistry& types() = 0;
  // Puts an object straight into the machine's heap, without a collection: the shared instance of
  // a variant without fields, which `defdata` makes at compile time and the type registry roots
  // from its registration on.
  virtual HeapKey insert_machine_object(HeapObject object) = 0;

  // Macros run in the machine while the form compiles.
  // The machine's heap: macro arguments are built there, expanders answer there, and the objects
  // an expander's code refers to move there when the macro is defined.
  virtual Heap& machine_heap() = 0;
  // Puts a finished prototype into the machine's table at once; answers its index.
  virtual std::uint32_t install_prototype(Prototype prototype) = 0;
  // Keeps an expander closure alive from now on: the lent macro table is not a collector root.
  virtual void keep_macro(HeapKey closure) = 0;
  // Calls an expander in a nested run of the machine (collection allowed). After a failure the
  // machine's stacks are back at their heights before the call.
  virtual NativeResult call_macro(Value expander, std::span<const Value> arguments) = 0;

protected:
  ~CompilerHost() = default;
};

struct CompilerTables {
  std::vector<Prototype> prototypes;
  Heap staging_heap;
  // Staged objects that macro definitions already moved into the machine, and where to.
  HandleMap moved_objects;
  std::unordered_map<Spur, DocEntry> docstring_table;
};

// A variant as patterns name it.
struct ConstructorEntry {
  std::uint16_t type_id = 0;
  std::uint8_t variant_index = 0;
  std::uint32_t field_count = 0;
};

// One compilation. Its fields are the compiler's working state; only the host protocol below
// and the compiler's own sources touch them.
struct Compiler {
  explicit Compiler(CompilerHost& h) : host(&h) {}
  Compiler(Compiler&&) noexcept = default;
  Compiler& operator=(Compiler&&) noexcept = default;

  CompilerHost* host;
  // Every object the compiled code refers to, until the host adopts them.
  Heap staging_heap;
  // Functions under construction; the current one last. A deque, so that a reference to one
  // context stays valid while functions nested in it are pushed and popped.
  std::deque<FunctionContext> contexts;
  // Finished prototypes; a position here is a prototype index until the host rebases it.
  std::vector<Prototype> prototypes;
  // The machine's macro table while it is lent: macro name -> expander closure.
  std::unordered_map<Spur, HeapKey, FxHash> macros;
  // Staged objects already in the machine because an expander's code refers to them.
  HandleMap moved_objects;
  // Macro calls being expanded, one inside another (an expansion compiles where the call was).
  std::uint32_t expansion_depth = 0;
  // Forms left to compile before the machine is next asked whether to give up (Ctrl-C).
  std::uint32_t poll_countdown = 4096;
  // Inline `match` attempts undone for want of room, and those under way (see match.cpp).
  std::uint32_t inline_matches_undone = 0;
  std::uint32_t inline_matches_under_way = 0;
  std::unordered_map<Spur, DocEntry> docstring_table;
  // Every variant the machine knows (and this form declares), by name: the later declaration of
  // a name wins.
  std::unordered_map<Spur, ConstructorEntry> variant_constructors;
  // Names a `def` or `defn` compiled earlier in this form rebinds: calls by such a name go
  // through the global, whatever it holds now.
  std::unordered_set<Spur> redefined_names;
};

// Builds a compiler for one top-level form over the machine's tables. Cannot fail.
Compiler new_compiler(CompilerHost& host);

// Compiles one top-level form; answers the compilation-local index of its prototype, which is
// always the last one. On failure the compiler is to be discarded.
std::expected<std::uint32_t, CompileFailure> compile_toplevel(Compiler& compiler, const Form& form);

// Consumes the compiler after a successful compile_toplevel.
CompilerTables take_compiler_tables(Compiler&& compiler);

} // namespace quorvex
