// Macros: `defmacro` compiles an expander and installs it in the machine at once; a call of a
// macro runs the expander on the unevaluated argument forms and compiles what it answers in place
// of the call; `macroexpand` and `macroexpand-1` compile to the expansion as quoted data.
//
// Installing at definition time. The expander must be able to run later in the same top-level
// form, long before the form's code is adopted. So its prototype, the prototypes of the functions
// its body makes (registered after the defmacro began, and referred to by nothing else) and the
// staged objects they reach move into the machine as soon as the defmacro compiles; the final
// adoption finds those objects in `Compiler::moved_objects` and reuses them.
//
// Collection. The expander runs with collection allowed. Its closure is kept by the machine as
// soon as it exists (CompilerHost::keep_macro), the argument values live in a RootScope until the
// nested run has them on its stack, and the objects the expander's code refers to are constants
// of installed prototypes, which the kept closure keeps alive.
#include <string>

#include "util/interner.hpp"
#include "vm/compiler/compiler_internal.hpp"
#include "vm/compiler/macro_values.hpp"

namespace quorvex {

namespace {

// How many macro calls may expand one inside another (or, for `macroexpand`, one after another):
// a macro that expands to a call of itself ends here with an error instead of exhausting the
// native stack or running forever.
constexpr std::uint32_t kMaxExpansionDepth = 500;

constexpr std::size_t kMaxMacroParameters = 255;

CompileFailure expansion_too_deep(const Span& span) {
  return CompileFailure::make(CompileErrorKind::Tag::MacroExpansion,
                              "expansion deeper than " + std::to_string(kMaxExpansionDepth) +
                                  " levels",
                              span);
}

// Counts one level of nested expansion for as long as it lives.
class ExpansionLevel {
public:
  explicit ExpansionLevel(Compiler& c) : c_(c) { ++c_.expansion_depth; }
  ~ExpansionLevel() { --c_.expansion_depth; }
  ExpansionLevel(const ExpansionLevel&) = delete;
  ExpansionLevel& operator=(const ExpansionLevel&) = delete;

  bool too_deep() const { return c_.expansion_depth > kMaxExpansionDepth; }

private:
  Compiler& c_;
};

// Moves the expander (and the prototypes in c.prototypes from `first_local` on, which its body
// made) into the machine, with every staged object they refer to; answers the closure over it.
CompileOr<HeapKey> install_expander(Compiler& c, std::size_t first_local, Prototype expander) {
  std::vector<Prototype> code;
  code.reserve(c.prototypes.size() - first_local + 1);
  for (std::size_t i = first_local; i < c.prototypes.size(); ++i)
    code.push_back(std::move(c.prototypes[i]));
  c.prototypes.resize(first_local);
  code.push_back(std::move(expander));

  Heap& heap = c.host->machine_heap();
  std::vector<HeapKey> staged;
  for (const Prototype& proto : code) {
    for (const Value& v : proto.constants)
      if (v.tag == Tag::Object) staged.push_back(v.as.key);
  }
  move_staged_objects(heap, c.staging_heap, std::span<const HeapKey>(staged), c.moved_objects);

  // code[k] was local prototype first_local + k and becomes machine prototype placement[k].
  const std::vector<std::uint32_t> placement = c.host->next_prototype_indices(code.size());
  auto machine_index = [&](std::uint32_t local) {
    if (local < first_local || local - first_local >= code.size()) {
      throw InternalError("macro code refers to a prototype outside its body");
    }
    return placement[local - first_local];
  };
  for (HeapKey key : c.moved_objects.inserted()) {
    ClosureTemplate* tmpl = heap_get_mut_as<ClosureTemplate>(heap, key);
    if (tmpl == nullptr) continue;
    tmpl->function.make_unique();
    for (FunctionClause& clause : tmpl->function.mutable_clauses()) {
      clause.body_prototype = machine_index(clause.body_prototype);
      if (clause.has_guard == 1) clause.guard_prototype = machine_index(clause.guard_prototype);
    }
  }
  for (Prototype& proto : code) {
    remap_value_handles(proto, [&](HeapKey k) { return c.moved_objects.find(k); });
    for (Instruction& ins : proto.code) {
      if (ins.op_byte() != static_cast<std::uint8_t>(Opcode::MakeClosure)) continue;
      const std::uint32_t local = ins.ab();
      const std::uint32_t index = machine_index(local);
      if (index <= kMaxU16Operand) {
        ins = ins.with_ab(static_cast<std::uint16_t>(index));
        continue;
      }
      // Past 16 bits the closure is made from a one-clause template, whose record holds 32.
      const Prototype& target = code[local - first_local];
      HeapKey key = heap_insert(heap, HeapObject(ClosureTemplate{FunctionRef::plain(
                                          index, target.arity, target.is_variadic)}));
      if (proto.constants.size() > kMaxU16Operand) {
        return std::unexpected(CompileFailure::too_many_constants(std::nullopt));
      }
      proto.constants.push_back(Value::object(key));
      ins = Instruction::make_ab(Opcode::MakeTemplateClosure,
                                 static_cast<std::uint16_t>(proto.constants.size() - 1), ins.c());
    }
  }

  const std::uint8_t arity = code.back().arity;
  const std::uint8_t is_variadic = code.back().is_variadic;
  for (std::size_t k = 0; k < code.size(); ++k) {
    if (c.host->install_prototype(std::move(code[k])) != placement[k]) {
      throw InternalError("machine prototype table changed while installing a macro");
    }
  }
  const std::uint32_t expander_index = placement.back();
  // Nothing refers to the installed prototypes until the closure is kept: it is made without a
  // collection, which could free them.
  HeapKey closure = heap_insert(
      heap, HeapObject(Closure{FunctionRef::plain(expander_index, arity, is_variadic), {}}));
  c.host->keep_macro(closure);
  return closure;
}

// The macro named by the head of a list form, when the head is a symbol without namespace that
// names one.
std::optional<Spur> macro_named_by(Compiler& c, const Form& list) {
  if (kind_of(list) != FormKind::List) return std::nullopt;
  const auto& items = unwrap(list).items();
  if (items.empty()) return std::nullopt;
  const Form& head = unwrap(*items.begin());
  if (kind_of(head) != FormKind::Symbol || head.ns()) return std::nullopt;
  std::optional<Spur> id = c.host->interner().get(head.name());
  if (!id || !c.macros.contains(*id)) return std::nullopt;
  return id;
}

} // namespace

CompileResult compile_defmacro(Compiler& c, FormSpan items) {
  const Span head = span_of(*items[0]);
  if (items.size() < 3) return fail("defmacro requires a name and parameter vector", head);
  if (kind_of(*items[1]) != FormKind::Symbol) {
    return fail("defmacro name must be a symbol", span_of(*items[1]));
  }
  const Spur name = intern_name(c, name_of(*items[1]).name);
  std::size_t params_at = 2;
  std::optional<DocEntry> doc;
  if (kind_of(*items[2]) == FormKind::String) {
    doc = DocEntry{head, std::string(unwrap(*items[2]).as_string()), DocKind::Defmacro};
    params_at = 3;
  }
  if (params_at >= items.size() || kind_of(*items[params_at]) != FormKind::Vector) {
    return fail("defmacro parameters must be a vector", head);
  }

  std::vector<Spur> fixed;
  std::optional<Spur> rest;
  bool rest_mode = false;
  for (const Form* p : elements_of(*items[params_at])) {
    if (kind_of(*p) != FormKind::Symbol || unwrap(*p).ns()) {
      return fail("defmacro parameter must be a symbol", span_of(*p));
    }
    const std::string_view text = name_of(*p).name;
    if (text == "&") {
      if (rest_mode) return fail("multiple & in parameters", head);
      rest_mode = true;
    } else if (!rest_mode) {
      fixed.push_back(intern_name(c, text));
    } else if (!rest) {
      rest = intern_name(c, text);
    } else {
      return fail("only one rest parameter allowed", head);
    }
  }
  if (rest_mode && !rest) return fail("missing rest parameter after &", head);
  if (fixed.size() > kMaxMacroParameters) {
    return fail("too many parameters (max 255)", span_of(*items[params_at]));
  }
  if (doc) c.docstring_table[name] = std::move(*doc);

  const std::size_t first_local = c.prototypes.size();
  push_function(c, name, static_cast<std::uint8_t>(fixed.size()), rest.has_value());
  FunctionContext& ctx = current(c);
  ctx.isolated = true;
  ctx.push_scope();
  RecurTarget target;
  for (Spur param : fixed) {
    QV_TRY_ASSIGN(std::uint8_t slot, current(c).declare_local(param, head));
    target.stores.push_back(slot);
  }
  if (rest) {
    QV_TRY_ASSIGN(std::uint8_t slot, current(c).declare_local(*rest, head));
    target.stores.push_back(slot);
  }
  current(c).recur_targets.push_back(std::move(target));
  QV_TRY(compile_body(c, items.subspan(params_at + 1)));
  current(c).recur_targets.pop_back();
  current(c).emit_instruction(Opcode::Return);
  Prototype expander = finish_function(c);
  if (!expander.upvalue_descs.empty()) throw InternalError("macro expander with captures");

  QV_TRY_ASSIGN(HeapKey closure, install_expander(c, first_local, std::move(expander)));
  c.macros.insert_or_assign(name, closure);
  return emit_constant(c, Value::nil(), head);
}

CompileOr<Form> invoke_macro(Compiler& c, Spur name, FormSpan args, const Span& call_span) {
  auto it = c.macros.find(name);
  if (it == c.macros.end()) throw InternalError("macro call of a name that is no macro");
  const Value expander = Value::object(it->second);
  Heap& heap = c.host->machine_heap();
  RootScope roots(heap);
  roots.add(expander);
  std::vector<Value> values;
  values.reserve(args.size());
  for (const Form* arg : args) {
    QV_TRY_ASSIGN(Value v, form_to_value_for_macro(c.host->interner(), heap, *arg, roots));
    values.push_back(v);
  }
  NativeResult result = c.host->call_macro(expander, values);
  if (!result) {
    std::string text;
    format_vm_error(result.error(), text);
    return std::unexpected(
        CompileFailure::make(CompileErrorKind::Tag::MacroExpansion, std::move(text), call_span));
  }
  std::expected<Form, CompileFailure> form = value_to_form(heap, c.host->interner(), *result);
  if (!form) {
    CompileFailure failure = std::move(form.error());
    failure.location = call_span;
    return std::unexpected(std::move(failure));
  }
  if (!call_span) return std::move(*form);
  return Form::spanned(*call_span, std::move(*form));
}

CompileResult compile_macro_call(Compiler& c, Spur name, FormSpan items) {
  const Span head = span_of(*items[0]);
  ExpansionLevel level(c);
  if (level.too_deep()) return std::unexpected(expansion_too_deep(head));
  QV_TRY_ASSIGN(Form expansion, invoke_macro(c, name, items.subspan(1), head));
  CompileResult compiled = compile_expr(c, expansion);
  // The forms inside an expansion have no spans of their own: a failure among them is located
  // at the call.
  if (!compiled && !compiled.error().location) compiled.error().location = head;
  return compiled;
}

CompileResult compile_macroexpand(Compiler& c, FormSpan items, const Span& span, bool repeat) {
  if (items.size() != 2) return fail("macroexpand expects exactly 1 argument", span);
  Form subject = *items[1];
  if (kind_of(subject) == FormKind::List) {
    FormList quoted = elements_of(subject);
    if (quoted.size() == 2 && kind_of(*quoted[0]) == FormKind::Symbol &&
        name_of(*quoted[0]).name == "quote") {
      Form inner = *quoted[1];
      subject = std::move(inner);
    }
  }
  for (std::uint32_t steps = 0; std::optional<Spur> name = macro_named_by(c, subject);) {
    if (++steps > kMaxExpansionDepth) return std::unexpected(expansion_too_deep(span));
    FormList elements = elements_of(subject);
    QV_TRY_ASSIGN(Form next, invoke_macro(c, *name, FormSpan(elements).subspan(1), span));
    subject = std::move(next);
    if (!repeat) break;
  }
  QV_TRY_ASSIGN(Value value, form_to_value(c, subject));
  return emit_constant(c, value, span);
}

} // namespace quorvex
