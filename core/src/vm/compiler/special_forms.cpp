// The special forms of control flow and definition: if, do, let, def, defn, and, or, loop, recur,
// quote, assert. Each leaves exactly one value on the stack (recur leaves none: control never
// reaches its end).
#include <string>

#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

Span head_span(FormSpan items) {
  return span_of(*items[0]);
}

CompileOr<std::uint32_t> emit_jump(Compiler& c, Opcode op) {
  return current(c).emit_op(op);
}

CompileResult patch(Compiler& c, std::uint32_t at) {
  return current(c).patch_jump(at);
}

// The name of a `def`-like form: a symbol, its namespace ignored.
CompileOr<Spur> definition_name(Compiler& c, const Form& form, const char* message,
                                const char* hint) {
  if (kind_of(form) != FormKind::Symbol) {
    return std::unexpected(CompileFailure::syntax(message, span_of(form), hint));
  }
  return intern_name(c, name_of(form).name);
}

CompileResult emit_define(Compiler& c, Spur name, const Span& span) {
  QV_TRY_ASSIGN(std::uint16_t k, symbol_constant(c, name, span));
  FunctionContext& ctx = current(c);
  ctx.emit_instruction(Opcode::Dup);
  ctx.emit_ab(Opcode::DefineGlobal, k);
  return {};
}

CompileResult compile_and_or(Compiler& c, FormSpan items, bool is_and) {
  const FormSpan operands = items.subspan(1);
  if (operands.empty()) return emit_constant(c, is_and ? Value::from_bool(true) : Value::nil(), {});
  if (operands.size() == 1) return compile_expr(c, *operands[0]);
  std::vector<std::uint32_t> exits;
  exits.reserve(operands.size() - 1);
  for (std::size_t i = 0; i + 1 < operands.size(); ++i) {
    {
      NotTail scope(c);
      QV_TRY(compile_expr(c, *operands[i]));
    }
    FunctionContext& ctx = current(c);
    ctx.emit_instruction(Opcode::Dup);
    exits.push_back(ctx.emit_op(is_and ? Opcode::JumpIfFalse : Opcode::JumpIfTrue));
    ctx.emit_instruction(Opcode::Pop);
  }
  QV_TRY(compile_expr(c, *operands.back()));
  for (std::uint32_t at : exits)
    QV_TRY(patch(c, at));
  return {};
}

// The bindings vector of `let` and `loop`, checked.
CompileOr<FormList> binding_pairs(FormSpan items, const char* missing, const char* not_vector,
                                  const char* odd, const char* hint) {
  if (items.size() < 2) return fail(missing, head_span(items));
  const Form& bindings = *items[1];
  if (kind_of(bindings) != FormKind::Vector) {
    if (hint != nullptr) {
      return std::unexpected(CompileFailure::syntax(not_vector, span_of(bindings), hint));
    }
    return fail(not_vector, span_of(bindings));
  }
  FormList elements = elements_of(bindings);
  if (elements.size() % 2 != 0) return fail(odd, span_of(bindings));
  return elements;
}

} // namespace

CompileResult compile_if(Compiler& c, FormSpan items) {
  if (items.size() < 2) return fail("if requires a test expression", head_span(items));
  {
    NotTail scope(c);
    QV_TRY(compile_expr(c, *items[1]));
  }
  QV_TRY_ASSIGN(std::uint32_t to_else, emit_jump(c, Opcode::JumpIfFalse));
  // Both branches are in the form's own tail position.
  if (items.size() >= 3) {
    QV_TRY(compile_expr(c, *items[2]));
  } else {
    QV_TRY(emit_constant(c, Value::nil(), {}));
  }
  QV_TRY_ASSIGN(std::uint32_t to_end, emit_jump(c, Opcode::Jump));
  QV_TRY(patch(c, to_else));
  if (items.size() >= 4) {
    QV_TRY(compile_expr(c, *items[3]));
  } else {
    QV_TRY(emit_constant(c, Value::nil(), {}));
  }
  return patch(c, to_end);
}

CompileResult compile_do(Compiler& c, FormSpan items) {
  return compile_body(c, items.subspan(1));
}

CompileResult compile_let(Compiler& c, FormSpan items) {
  QV_TRY_ASSIGN(FormList pairs,
                binding_pairs(items, "let requires bindings vector",
                              "let bindings must be a vector", "let bindings must have even count",
                              "use [name value ...] form"));
  current(c).push_scope();
  {
    NotTail scope(c);
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
      // The value first: it sees the earlier bindings, not its own name.
      QV_TRY(compile_expr(c, *pairs[i + 1]));
      QV_TRY(compile_destructure(c, *pairs[i]));
    }
  }
  QV_TRY(compile_body(c, items.subspan(2)));
  current(c).pop_scope();
  return {};
}

CompileResult compile_def(Compiler& c, FormSpan items) {
  if (items.size() < 3) return fail("def requires a name and value", head_span(items));
  QV_TRY_ASSIGN(Spur name, definition_name(c, *items[1], "def name must be a symbol",
                                           "def expects (def name value)"));
  const Form* value = items[2];
  if (items.size() >= 4 && kind_of(*items[2]) == FormKind::String) {
    c.docstring_table[name] =
        DocEntry{head_span(items), std::string(unwrap(*items[2]).as_string()), DocKind::Def};
    value = items[3];
  }
  // Calls by this name, from here on, go through the global (a function value calling itself by
  // its name included).
  c.redefined_names.insert(name);
  {
    NotTail scope(c);
    QV_TRY(compile_expr(c, *value));
  }
  return emit_define(c, name, span_of(*items[1]));
}

CompileResult compile_defn(Compiler& c, FormSpan items) {
  if (items.size() < 3) {
    return fail("defn requires a name and parameter vector", head_span(items));
  }
  QV_TRY_ASSIGN(Spur name, definition_name(c, *items[1], "defn name must be a symbol",
                                           "defn expects (defn name [params] body)"));
  std::size_t rest = 2;
  if (kind_of(*items[2]) == FormKind::String) {
    c.docstring_table[name] =
        DocEntry{head_span(items), std::string(unwrap(*items[2]).as_string()), DocKind::Defn};
    rest = 3;
  }
  // Before the body compiles: calls by this name inside it must reach the new function.
  c.redefined_names.insert(name);
  // (fn name clauses...), the head kept for its span.
  FormList fn_items;
  fn_items.reserve(items.size() - rest + 2);
  fn_items.push_back(items[0]);
  fn_items.push_back(items[1]);
  for (std::size_t i = rest; i < items.size(); ++i)
    fn_items.push_back(items[i]);
  QV_TRY(compile_fn(c, FormSpan(fn_items)));
  return emit_define(c, name, span_of(*items[1]));
}

CompileResult compile_and(Compiler& c, FormSpan items) {
  return compile_and_or(c, items, true);
}

CompileResult compile_or(Compiler& c, FormSpan items) {
  return compile_and_or(c, items, false);
}

CompileResult compile_loop(Compiler& c, FormSpan items) {
  QV_TRY_ASSIGN(FormList pairs, binding_pairs(items, "loop requires bindings vector",
                                              "loop bindings must be a vector",
                                              "loop bindings must have even count", nullptr));
  const bool function_tail = current(c).in_tail_position;
  current(c).push_scope();
  RecurTarget target;
  {
    NotTail scope(c);
    for (std::size_t i = 0; i < pairs.size(); i += 2) {
      QV_TRY(compile_expr(c, *pairs[i + 1]));
      const Form& name = unwrap(*pairs[i]);
      if (name.kind() != FormKind::Symbol || name.ns()) {
        return fail("only simple symbol patterns supported in loop bindings", span_of(*pairs[i]));
      }
      QV_TRY_ASSIGN(std::uint8_t slot,
                    current(c).declare_local(intern_name(c, name.name()), span_of(*pairs[i])));
      current(c).emit_instruction(Opcode::SetLocal, slot);
      target.stores.push_back(slot);
    }
  }
  FunctionContext& ctx = current(c);
  target.start = ctx.code_size();
  ctx.recur_targets.push_back(std::move(target));
  {
    // The body is the loop's tail for `recur`, and the function's tail only if the loop is.
    TailScope scope(c, function_tail, true);
    QV_TRY(compile_body(c, items.subspan(2)));
  }
  current(c).recur_targets.pop_back();
  current(c).pop_scope();
  return {};
}

CompileResult compile_recur(Compiler& c, FormSpan items) {
  const Span span = head_span(items);
  if (!current(c).in_recur_tail) return fail("recur must be in tail position", span);
  if (current(c).recur_targets.empty()) return fail("recur outside of loop", span);
  const RecurTarget target = current(c).recur_targets.back();
  if (target.refusal != nullptr) return fail(target.refusal, span);
  const FormSpan args = items.subspan(1);
  if (args.size() != target.stores.size()) {
    return fail("recur arity mismatch: expected " + std::to_string(target.stores.size()) +
                    ", got " + std::to_string(args.size()),
                span);
  }
  {
    NotTail scope(c);
    for (const Form* arg : args)
      QV_TRY(compile_expr(c, *arg));
  }
  FunctionContext& ctx = current(c);
  for (std::size_t i = target.stores.size(); i-- > 0;) {
    const std::int16_t store = target.stores[i];
    if (store == RecurTarget::kDiscard) {
      ctx.emit_instruction(Opcode::Pop);
    } else {
      ctx.emit_instruction(Opcode::SetLocal, static_cast<std::uint8_t>(store));
    }
  }
  QV_TRY(ctx.emit_backward_jump(Opcode::Jump, target.start));
  // Never reached; keeps the one-value shape of every expression.
  return emit_constant(c, Value::nil(), {});
}

CompileResult compile_quote(Compiler& c, FormSpan items) {
  if (items.size() != 2) return fail("quote expects exactly 1 argument", head_span(items));
  QV_TRY_ASSIGN(Value value, form_to_value(c, *items[1]));
  return emit_constant(c, value, span_of(*items[1]));
}

CompileResult compile_assert(Compiler& c, FormSpan items) {
  if (items.size() < 2) return fail("assert requires an expression", head_span(items));
  NotTail scope(c);
  QV_TRY(compile_expr(c, *items[1]));
  QV_TRY_ASSIGN(std::uint32_t to_ok, emit_jump(c, Opcode::JumpIfTrue));
  if (items.size() >= 3) {
    QV_TRY(compile_expr(c, *items[2]));
  } else {
    QV_TRY_ASSIGN(Value message, stage_string(c, "assertion failed", head_span(items)));
    QV_TRY(emit_constant(c, message, {}));
  }
  // `assert-failed` is whatever that global holds when the assertion fails; no span entry.
  QV_TRY(emit_global_read(c, intern_name(c, "assert-failed"), std::nullopt));
  current(c).emit_instruction(Opcode::Call, 1);
  QV_TRY_ASSIGN(std::uint32_t to_end, emit_jump(c, Opcode::Jump));
  QV_TRY(patch(c, to_ok));
  QV_TRY(emit_constant(c, Value::nil(), {}));
  return patch(c, to_end);
}

} // namespace quorvex
