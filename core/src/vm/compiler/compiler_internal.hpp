// Declarations shared by the compiler's own sources. Not part of the compiler's interface.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "util/internal_error.hpp"
#include "value/function.hpp"
#include "vm/compiler/compiler.hpp"
#include "vm/compiler/form_access.hpp"

// Early return of a failure, the way `?` would.
#define QV_TRY(expr)                                                                               \
  do {                                                                                             \
    auto qv_try_result_ = (expr);                                                                  \
    if (!qv_try_result_) return std::unexpected(std::move(qv_try_result_.error()));                \
  } while (0)

#define QV_CONCAT_INNER(a, b) a##b
#define QV_CONCAT(a, b) QV_CONCAT_INNER(a, b)
#define QV_TRY_ASSIGN_IMPL(tmp, decl, expr)                                                        \
  auto tmp = (expr);                                                                               \
  if (!tmp) return std::unexpected(std::move(tmp.error()));                                        \
  decl = std::move(*tmp)
// QV_TRY_ASSIGN(auto x, expr): declares x from the value of expr, or returns its failure.
#define QV_TRY_ASSIGN(decl, expr) QV_TRY_ASSIGN_IMPL(QV_CONCAT(qv_try_tmp_, __LINE__), decl, expr)

namespace quorvex {

using CompileResult = std::expected<void, CompileFailure>;
template <class T> using CompileOr = std::expected<T, CompileFailure>;

using FormList = std::vector<const Form*>;
using FormSpan = std::span<const Form* const>;
using Span = std::optional<SourceSpan>;

inline CompileFailure syntax_error(std::string text, const Span& span) {
  return CompileFailure::syntax(std::move(text), span);
}
inline std::unexpected<CompileFailure> fail(std::string text, const Span& span) {
  return std::unexpected(CompileFailure::syntax(std::move(text), span));
}

inline FunctionContext& current(Compiler& c) {
  if (c.contexts.empty()) throw InternalError("no function context");
  return c.contexts.back();
}

Spur intern_name(Compiler& c, std::string_view text);
// The interned text of a keyword or symbol value: "ns/name" with a namespace, else the name.
Spur intern_qualified(Compiler& c, const NameView& name);

// Saves both tail flags of the current function, sets them, and restores them when it ends
// (also on a failure path: the context it refers to is still there).
class TailScope {
public:
  TailScope(Compiler& c, bool tail, bool recur_tail) : ctx_(current(c)) {
    saved_tail_ = ctx_.in_tail_position;
    saved_recur_ = ctx_.in_recur_tail;
    ctx_.in_tail_position = tail;
    ctx_.in_recur_tail = recur_tail;
  }
  ~TailScope() {
    ctx_.in_tail_position = saved_tail_;
    ctx_.in_recur_tail = saved_recur_;
  }
  TailScope(const TailScope&) = delete;
  TailScope& operator=(const TailScope&) = delete;

  bool saved_tail() const { return saved_tail_; }
  bool saved_recur() const { return saved_recur_; }

private:
  FunctionContext& ctx_;
  bool saved_tail_;
  bool saved_recur_;
};

// A sub-expression whose value the construct goes on working with: neither tail.
struct NotTail : TailScope {
  explicit NotTail(Compiler& c) : TailScope(c, false, false) {}
};

// ---- Expressions ----

// Counts one form compiled: true when the compilation must give up, because the machine's walk
// monitor says so (Ctrl-C). Asks it every 4096 forms.
inline bool compile_interrupted(Compiler& c) {
  if (--c.poll_countdown != 0) [[likely]]
    return false;
  c.poll_countdown = 4096;
  return poll_walk_monitor(c.host->machine_heap());
}
// The failure of a compilation that gave up.
CompileFailure compile_interrupted_failure(const Span& span);

CompileResult compile_expr(Compiler& c, const Form& form);
CompileResult compile_list(Compiler& c, const FormList& items, const Span& span);
CompileResult compile_body(Compiler& c, FormSpan forms);
// Whether compile_list compiles a list with this head and that many arguments to an ordinary
// call (no special form, macro, effect operation, inline operator or direct builtin call).
bool compiles_to_plain_call(Compiler& c, const Form& head, std::size_t argc);

// Emits the load of a constant, refusing an index past 16 bits.
CompileResult emit_constant(Compiler& c, const Value& v, const Span& span);
CompileOr<std::uint16_t> constant_index(Compiler& c, const Value& v, const Span& span);
CompileOr<std::uint16_t> symbol_constant(Compiler& c, Spur name, const Span& span);
// A new String object in the staging heap (never shared with an equal literal).
CompileOr<Value> stage_string(Compiler& c, std::string_view text, const Span& span);

// ---- Names ----

struct Resolution {
  enum class Kind : std::uint8_t { Local, Upvalue, Global };
  Kind kind = Kind::Global;
  std::uint8_t index = 0;
};

// Local of the current function, else a capture of an enclosing one (any number of levels out,
// adding the capture descriptors on the way), else a global.
CompileOr<Resolution> resolve_symbol(Compiler& c, Spur name);
// Whether any function under construction has a local of that name in scope: the test that a
// name is not a global, without recording a capture.
bool is_lexically_bound(const Compiler& c, Spur name);
// Code that pushes the value of `name`.
CompileResult emit_variable(Compiler& c, Spur name, const Span& span, Spur written = 0);
// A read of a global by name, or by index when the machine knows the name and the index fits.
CompileResult emit_global_read(Compiler& c, Spur name, const Span& span, Spur written = 0);

// ---- Functions ----

void push_function(Compiler& c, Spur name, std::uint8_t arity, bool is_variadic);
Prototype finish_function(Compiler& c);
// Appends a finished prototype; its compilation-local index.
std::uint32_t register_prototype(Compiler& c, Prototype proto);
// One capture list for a function whose clauses (and guards) were compiled as prototypes of their
// own: the union of their descriptors in order of first appearance, each prototype's capture
// operands renumbered against it. "too many upvalues" past 255 entries.
CompileOr<std::vector<UpvalueDesc>> unify_captures(std::span<Prototype* const> protos);
// Emits the loads of the capture list, then the closure word: MakeClosure of `body_prototype`
// without a template, else MakeTemplateClosure of a new template holding `*tmpl`.
CompileResult emit_closure(Compiler& c, std::span<const UpvalueDesc> captures,
                           std::uint32_t body_prototype, const FunctionRef* tmpl, const Span& span);

// Names bound so far in one clause, to refuse a name bound twice.
struct BoundName {
  Spur name = 0;
  Span span;
};
using BoundNames = std::vector<BoundName>;

// ---- Patterns ----
//
// Clause positions build records that the machine's clause matcher tests. Each declares the
// pattern's names as locals of the current function context (the clause's own) and appends them
// to `bound`, one list per clause, which refuses a name bound twice.
//   compile_pattern        a parameter of `fn` and `defn`, and everything nested in one
//   compile_match_pattern  a `match` clause: `_`, and list patterns with match's own texts
CompileOr<Pattern> compile_pattern(Compiler& c, const Form& form, BoundNames& bound);
CompileOr<Pattern> compile_match_pattern(Compiler& c, const Form& form, BoundNames& bound);
CompileOr<Pattern> compile_map_destructure(Compiler& c, const Form& map, BoundNames& bound);

// Binding positions emit code. Precondition: the value to take apart is on top of the stack; the
// code consumes it and leaves the pattern's names as new locals of the current function. This is
// the entry for `let` and for the non-symbol parameters of handler clauses (push the parameter's
// slot with GetLocal, then call this with the parameter form).
CompileResult compile_destructure(Compiler& c, const Form& pattern);
CompileResult compile_map_destructure_let(Compiler& c, const Form& map, const Span& span);
// `constructor` must name a known variant whose field count is sub_patterns.size().
CompileResult compile_variant_destructure(Compiler& c, Spur constructor, FormSpan sub_patterns,
                                          const Span& span);

CompileResult compile_fn(Compiler& c, FormSpan items);

// ---- Special forms (items include the head) ----

CompileResult compile_if(Compiler& c, FormSpan items);
CompileResult compile_do(Compiler& c, FormSpan items);
CompileResult compile_let(Compiler& c, FormSpan items);
CompileResult compile_def(Compiler& c, FormSpan items);
CompileResult compile_defn(Compiler& c, FormSpan items);
CompileResult compile_and(Compiler& c, FormSpan items);
CompileResult compile_or(Compiler& c, FormSpan items);
CompileResult compile_loop(Compiler& c, FormSpan items);
CompileResult compile_recur(Compiler& c, FormSpan items);
CompileResult compile_quote(Compiler& c, FormSpan items);
CompileResult compile_assert(Compiler& c, FormSpan items);
CompileResult compile_match(Compiler& c, FormSpan items);
CompileResult compile_defdata(Compiler& c, FormSpan items);
CompileResult compile_effect(Compiler& c, FormSpan items);
CompileResult compile_perform(Compiler& c, FormSpan items);
CompileResult compile_with_handler(Compiler& c, FormSpan items);

// A handler clause as a new function of its parameters (the operation's arguments, then the
// continuation); emits the making of its closure into the current function.
CompileResult compile_handler_clause(Compiler& c, FormSpan params, FormSpan body);

// ---- Macros and syntax-quote ----

CompileResult compile_defmacro(Compiler& c, FormSpan items);
// Runs the expander of macro `name` on the argument forms; the expansion carries `call_span` as
// its only span.
CompileOr<Form> invoke_macro(Compiler& c, Spur name, FormSpan args, const Span& call_span);
// A list whose head names a macro: its expansion compiled in place of the call.
CompileResult compile_macro_call(Compiler& c, Spur name, FormSpan items);
// `macroexpand` (repeat) and `macroexpand-1`; `span` is the whole list's.
CompileResult compile_macroexpand(Compiler& c, FormSpan items, const Span& span, bool repeat);
CompileResult compile_syntax_quote(Compiler& c, FormSpan items);

// ---- Data at compile time ----

// Where the objects of a form converted to a value go (quote.cpp).
class FormDestination {
public:
  virtual Spur intern(const NameView& name) = 0;
  virtual Guarded<Value> string(std::string_view text) = 0;
  // A list, vector, map, set or regex object made of converted parts.
  virtual Guarded<Value> object(HeapObject object) = 0;
  // A map key or set element in its canonical form.
  virtual Guarded<Value> key(Value v) = 0;
  // Counts one part converted: true when the conversion must give up (Ctrl-C).
  virtual bool interrupted() = 0;

protected:
  ~FormDestination() = default;
};

// A form as a value made in `to`. Failures: "cannot quote this value" (UnsupportedExpression) at
// the refused form, "form nested too deeply", "invalid ratio literal" and the destination's faults.
CompileOr<Value> convert_form(FormDestination& to, const Form& form);

// A form as a constant of the code being compiled (quote); objects go to the staging heap.
CompileOr<Value> form_to_value(Compiler& c, const Form& form);

} // namespace quorvex
