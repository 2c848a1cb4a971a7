// `effect`, `perform` and `with-handler`, and the handler clauses of `with-handler`.
//
// The code between PushHandler and PopHandler is straight-line code of the current function: the
// machine finds a `with-handler`'s end by scanning for the balanced PopHandler, so every form here
// emits its PopHandler right after the body, and nothing in the body is in tail position.
//
// Operand widths bound what these forms can emit: perform arguments and clause parameters and
// captures travel in 8-bit operands, operations in MakeVector's 16-bit count (two words each),
// clauses in MakeMap's 16-bit count. Past those limits the form is refused instead of wrapping.
#include <string>

#include "util/interner.hpp"
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kMaxPerformArguments = 255;
constexpr std::size_t kMaxClauseParameters = 255;
constexpr std::size_t kMaxOperations = 0xFFFF / 2;
constexpr std::size_t kMaxClauses = 0xFFFF;

constexpr const char* kNamedEffectOnly = "with-handler requires a named effect; local effects from "
                                         "let bindings are not supported — use def instead";

// One `:handle` clause once its shape is checked: the operation's name, its parameter forms and
// its body forms.
struct HandlerClause {
  Spur operation = 0;
  FormList params;
  FormList body;
};

// The constant symbol an effect operand names; only the symbol's name counts.
CompileOr<std::uint16_t> effect_symbol(Compiler& c, const Form& form, const Span& span) {
  return symbol_constant(c, intern_name(c, name_of(form).name), span);
}

CompileResult emit_push_handler(Compiler& c, const Form& effect) {
  QV_TRY_ASSIGN(std::uint16_t k, effect_symbol(c, effect, span_of(effect)));
  FunctionContext& ctx = current(c);
  ctx.record_span(span_of(effect));
  ctx.emit_ab(Opcode::PushHandler, k);
  return {};
}

CompileOr<HandlerClause> check_clause(Compiler& c, const Form& clause) {
  const Span span = span_of(clause);
  if (kind_of(clause) != FormKind::List) return fail(":handle clause must be a list", span);
  FormList items = elements_of(clause);
  if (items.size() < 3) return fail(":handle clause requires (op-name [params] body...)", span);
  if (kind_of(*items[0]) != FormKind::Symbol) {
    return fail("handler operation name must be a symbol", span_of(*items[0]));
  }
  if (kind_of(*items[1]) != FormKind::Vector) {
    return fail("handler params must be a vector", span_of(*items[1]));
  }
  HandlerClause out;
  out.operation = intern_name(c, name_of(*items[0]).name);
  out.params = elements_of(*items[1]);
  out.body.assign(items.begin() + 2, items.end());
  if (out.params.size() > kMaxClauseParameters) {
    return fail("too many parameters (max 255)", span_of(*items[1]));
  }
  return out;
}

} // namespace

CompileResult compile_handler_clause(Compiler& c, FormSpan params, FormSpan body) {
  push_function(c, 0, static_cast<std::uint8_t>(params.size()), false);
  current(c).push_scope();
  // Parameters take slots 0, 1, ... in order; a pattern parameter holds its argument in a hidden
  // local and is destructured once all parameters have their slots.
  std::vector<std::pair<const Form*, std::uint8_t>> patterns;
  for (std::size_t i = 0; i < params.size(); ++i) {
    const Form& p = unwrap(*params[i]);
    if (p.kind() == FormKind::Symbol && !p.ns()) {
      QV_TRY(current(c).declare_local(intern_name(c, p.name()), span_of(*params[i])));
      continue;
    }
    const std::string hidden = "__arg" + std::to_string(i) + "__";
    QV_TRY_ASSIGN(std::uint8_t slot,
                  current(c).declare_local(intern_name(c, hidden), span_of(*params[i])));
    patterns.emplace_back(params[i], slot);
  }
  // A clause whose last form calls its continuation, the last parameter, with one value ends with
  // Resume: the call of the continuation in tail position. The parameters are the first locals of
  // the clause's scope; the destructuring and the body may add more there, and look it up.
  auto continuation_lookups = [&c, &params]() -> std::uint32_t {
    return params.empty() ? 0 : current(c).scopes.front().locals[params.size() - 1].lookups;
  };
  const std::uint32_t lookups_before = continuation_lookups();
  for (const auto& [form, slot] : patterns) {
    current(c).emit_instruction(Opcode::GetLocal, slot);
    QV_TRY(compile_destructure(c, *form));
  }
  const Form* resumed_value = nullptr;
  if (!params.empty() && !body.empty()) {
    const Form& k = unwrap(*params.back());
    const Form& last = unwrap(*body.back());
    if (k.kind() == FormKind::Symbol && !k.ns() && last.kind() == FormKind::List) {
      FormList call = elements_of(last);
      // The name must still mean the parameter (a destructured one of that name hides it).
      if (call.size() == 2 && kind_of(*call[0]) == FormKind::Symbol && !name_of(*call[0]).ns &&
          name_of(*call[0]).name == k.name() &&
          current(c).peek_local(intern_name(c, k.name())) ==
              &current(c).scopes.front().locals[params.size() - 1] &&
          compiles_to_plain_call(c, *call[0], 1)) {
        resumed_value = call[1];
      }
    }
  }
  bool resumes_in_tail = false;
  bool ignores_continuation = false;
  if (resumed_value == nullptr) {
    QV_TRY(compile_body(c, body));
    ignores_continuation = !params.empty() && unwrap(*params.back()).kind() == FormKind::Symbol &&
                           !unwrap(*params.back()).ns() && continuation_lookups() == lookups_before;
  } else {
    const auto k_slot = static_cast<std::uint8_t>(params.size() - 1);
    {
      NotTail scope(c);
      for (const Form* form : body.first(body.size() - 1)) {
        QV_TRY(compile_expr(c, *form));
        current(c).emit_instruction(Opcode::Pop);
      }
      current(c).emit_instruction(Opcode::GetLocal, k_slot);
      QV_TRY(compile_expr(c, *resumed_value));
    }
    current(c).record_span(span_of(*body.back()));
    current(c).emit_instruction(Opcode::Resume);
    // Any other use of the continuation (a read, a capture by an inner function, a macro's
    // expansion naming it) needs the captured one: the clause then runs as every other does.
    resumes_in_tail = continuation_lookups() == lookups_before;
  }
  current(c).emit_instruction(Opcode::Return);
  Prototype proto = finish_function(c);
  proto.resumes_in_tail = resumes_in_tail ? 1 : 0;
  proto.ignores_continuation = ignores_continuation ? 1 : 0;
  const std::vector<UpvalueDesc> captures = proto.upvalue_descs;
  const std::uint32_t index = register_prototype(c, std::move(proto));
  // At most 255 captures (add_upvalue refuses more); an index past 16 bits becomes a template
  // closure once the compilation is adopted.
  return emit_closure(c, captures, index, nullptr, std::nullopt);
}

CompileResult compile_effect(Compiler& c, FormSpan items) {
  const FormSpan definitions = items.subspan(1);
  if (definitions.size() > kMaxOperations) {
    return fail("too many operations in one effect (max 32767)", span_of(*items[0]));
  }
  {
    NotTail scope(c);
    for (const Form* item : definitions) {
      const Span span = span_of(*item);
      if (kind_of(*item) != FormKind::List) return fail("effect operation must be a list", span);
      FormList parts = elements_of(*item);
      if (parts.empty()) return fail("empty operation definition", span);
      const Form& name = *parts[0];
      if (kind_of(name) != FormKind::Symbol || name_of(name).ns) {
        return fail("operation name must be an unqualified symbol", span_of(name));
      }
      std::size_t arity = 0;
      if (parts.size() >= 2 && kind_of(*parts[1]) == FormKind::Vector) {
        arity = elements_of(*parts[1]).size();
      }
      QV_TRY(emit_constant(c, Value::symbol(intern_name(c, name_of(name).name)), span));
      // The declared arity is informational; the effect keeps its low 8 bits.
      QV_TRY(emit_constant(c, Value::from_int(static_cast<std::int64_t>(arity % 256)), span));
    }
  }
  FunctionContext& ctx = current(c);
  ctx.emit_ab(Opcode::MakeVector, static_cast<std::uint16_t>(definitions.size() * 2));
  // Through the global, so the form follows whatever `__make_effect__` holds when it runs.
  QV_TRY_ASSIGN(std::uint16_t maker,
                symbol_constant(c, intern_name(c, "__make_effect__"), span_of(*items[0])));
  current(c).emit_ab(Opcode::GetGlobal, maker);
  current(c).record_span(span_of(*items[0]));
  current(c).emit_instruction(Opcode::Call, 1);
  return {};
}

CompileResult compile_perform(Compiler& c, FormSpan items) {
  const Span head = span_of(*items[0]);
  if (items.size() < 2) return fail("perform requires an effect", head);
  const Form& effect = *items[1];
  if (kind_of(effect) != FormKind::Symbol) {
    return fail("perform effect must be a symbol", span_of(effect));
  }
  const FormSpan args = items.subspan(2);
  if (args.size() > kMaxPerformArguments) return fail("too many arguments (max 255)", head);
  {
    NotTail scope(c);
    for (const Form* arg : args)
      QV_TRY(compile_expr(c, *arg));
  }
  QV_TRY_ASSIGN(std::uint16_t k, effect_symbol(c, effect, span_of(effect)));
  FunctionContext& ctx = current(c);
  ctx.record_span(head);
  ctx.emit_ab(Opcode::Perform, k, static_cast<std::uint8_t>(args.size()));
  return {};
}

CompileResult compile_with_handler(Compiler& c, FormSpan items) {
  if (items.size() < 3)
    return fail("with-handler requires at least effect and body", span_of(*items[0]));
  const Form& first = *items[1];

  if (kind_of(first) != FormKind::Vector) {
    // (with-handler E handler body...)
    if (kind_of(first) != FormKind::Symbol) return fail(kNamedEffectOnly, span_of(first));
    {
      NotTail scope(c);
      QV_TRY(compile_expr(c, *items[2]));
    }
    QV_TRY(emit_push_handler(c, first));
    {
      NotTail scope(c);
      QV_TRY(compile_body(c, items.subspan(3)));
    }
    current(c).emit_instruction(Opcode::PopHandler);
    return {};
  }

  // (with-handler [E] item...): `:handle` marks the next item as a clause, every other item is a
  // body form; both keep their source order.
  const Span vector_span = span_of(first);
  FormList binding = elements_of(first);
  if (binding.size() != 1) {
    return fail("with-handler effect binding must contain exactly one expression", vector_span);
  }
  FormList clause_forms;
  FormList body;
  const FormSpan rest = items.subspan(2);
  for (std::size_t i = 0; i < rest.size(); ++i) {
    const Form& item = unwrap(*rest[i]);
    if (item.kind() == FormKind::Keyword && item.name() == "handle") {
      if (i + 1 < rest.size()) clause_forms.push_back(rest[++i]);
      continue;
    }
    body.push_back(rest[i]);
  }
  if (clause_forms.empty()) {
    return fail("with-handler requires at least one :handle clause", vector_span);
  }
  const Form& effect = *binding[0];
  if (kind_of(effect) != FormKind::Symbol) return fail(kNamedEffectOnly, span_of(effect));
  if (clause_forms.size() > kMaxClauses) {
    return fail("too many :handle clauses (max 65535)", vector_span);
  }

  // The dispatch map is made once per site when no clause captures anything: a constant of the
  // site's own (a fresh object, so no other constant shares its slot) keeps it, and HandlerSite
  // skips the words that would make it again. When a clause captures, the word becomes a jump
  // to the next one.
  HeapKey site_key = heap_insert(c.staging_heap, HeapObject(Atom{Value::nil()}));
  QV_TRY_ASSIGN(std::uint16_t site, constant_index(c, Value::object(site_key), vector_span));
  const std::uint32_t site_at = current(c).code_size();
  current(c).emit_ab(Opcode::HandlerSite, site, 0);

  // The dispatch map from operation symbols to clause closures. Each clause is checked and
  // compiled once, in order: compiling a clause a second time would double the work at every
  // level of handlers nested in clauses (exponential in the nesting) and run the macros in its
  // body twice.
  const std::uint32_t clauses_at = current(c).code_size();
  {
    NotTail scope(c);
    for (const Form* form : clause_forms) {
      QV_TRY_ASSIGN(HandlerClause clause, check_clause(c, *form));
      QV_TRY(emit_constant(c, Value::symbol(clause.operation), std::nullopt));
      QV_TRY(compile_handler_clause(c, clause.params, clause.body));
    }
  }
  current(c).emit_ab(Opcode::MakeMap, static_cast<std::uint16_t>(clause_forms.size()));
  {
    FunctionContext& ctx = current(c);
    bool captures = false;
    for (std::uint32_t pc = clauses_at; pc < ctx.code_size(); ++pc) {
      const Opcode op = ctx.code[pc].op();
      if ((op == Opcode::MakeClosure || op == Opcode::MakeTemplateClosure) && ctx.code[pc].c() != 0)
        captures = true;
    }
    const std::uint32_t skip = ctx.code_size() + 1 - (site_at + 1);
    if (!captures && skip <= 0xFF) {
      ctx.emit_ab(Opcode::HandlerSite, site, 0);
      ctx.code[site_at] =
          Instruction::make_ab(Opcode::HandlerSite, site, static_cast<std::uint8_t>(skip));
    } else {
      ctx.code[site_at] = Instruction::make_ab(Opcode::Jump, 0);
    }
  }
  QV_TRY(emit_push_handler(c, effect));
  {
    NotTail scope(c);
    QV_TRY(compile_body(c, body));
  }
  current(c).emit_instruction(Opcode::PopHandler);
  return {};
}

} // namespace quorvex
