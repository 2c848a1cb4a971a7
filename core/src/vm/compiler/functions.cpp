// `fn`: clauses into prototypes, the function record, captures, and the code that makes the
// closure, and the capture list that several separately compiled prototypes share.
#include <algorithm>
#include <string>

#include "util/interner.hpp"
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kMaxParameters = 255;

// What one clause yields while the form compiles; only the record survives.
struct ClauseProduct {
  Prototype body;
  std::optional<Prototype> guard;
  std::vector<Pattern> patterns;
  std::uint8_t arity = 0;
  bool is_variadic = false;
};

// What `recur` in a clause body stores: a plain parameter's slot, nothing for a parameter that
// binds nothing. A destructuring parameter cannot be rebound by a jump to the body.
RecurTarget clause_recur_target(const std::vector<Pattern>& patterns, std::uint32_t start) {
  RecurTarget target;
  target.start = start;
  for (const Pattern& p : patterns) {
    switch (p.kind) {
    case Pattern::Kind::Bind:
      target.stores.push_back(p.slot);
      break;
    case Pattern::Kind::Wildcard:
    case Pattern::Kind::Literal:
      target.stores.push_back(RecurTarget::kDiscard);
      break;
    case Pattern::Kind::Seq:
    case Pattern::Kind::Map:
    case Pattern::Kind::Variant:
      target.refusal = "recur cannot rebind destructuring parameters; use loop inside the function";
      target.stores.push_back(RecurTarget::kDiscard);
      break;
    }
  }
  return target;
}

CompileOr<ClauseProduct> compile_clause(Compiler& c, FormSpan clause, Spur name) {
  const Form& params_form = *clause[0];
  if (kind_of(params_form) != FormKind::Vector) {
    return fail("fn clause requires a parameter vector", span_of(params_form));
  }
  FormList params = elements_of(params_form);

  // A `:when` keyword ends the parameters; the form after it is the guard.
  const Form* guard = nullptr;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (!is_plain_keyword(*params[i], "when")) continue;
    if (i + 1 == params.size()) return fail(":when requires an expression", span_of(*params[i]));
    guard = params[i + 1];
    params.resize(i);
    break;
  }

  FormList fixed;
  const Form* rest = nullptr;
  bool seen_ampersand = false;
  for (const Form* p : params) {
    if (is_plain_symbol(*p, "&")) {
      seen_ampersand = true;
    } else if (!seen_ampersand) {
      fixed.push_back(p);
    } else if (rest == nullptr) {
      rest = p;
    } else {
      return fail("multiple rest parameters", span_of(*p));
    }
  }
  if (seen_ampersand && rest == nullptr) return fail("missing rest parameter after &", {});
  if (fixed.size() > kMaxParameters) {
    return fail("too many parameters (max 255)", span_of(params_form));
  }

  ClauseProduct product;
  product.arity = static_cast<std::uint8_t>(fixed.size());
  product.is_variadic = rest != nullptr;

  push_function(c, name, product.arity, product.is_variadic);
  current(c).push_scope();
  BoundNames bound;
  for (const Form* p : fixed) {
    QV_TRY_ASSIGN(Pattern pattern, compile_pattern(c, *p, bound));
    product.patterns.push_back(std::move(pattern));
  }
  if (rest != nullptr) {
    QV_TRY_ASSIGN(Pattern pattern, compile_pattern(c, *rest, bound));
    product.patterns.push_back(std::move(pattern));
  }

  current(c).recur_targets.push_back(clause_recur_target(product.patterns, current(c).code_size()));
  QV_TRY(compile_body(c, clause.subspan(1)));
  current(c).recur_targets.pop_back();
  current(c).emit_instruction(Opcode::Return);
  product.body = finish_function(c);

  if (guard != nullptr) {
    push_function(c, name, 0, false);
    current(c).push_scope();
    // The guard sees the parameters in the slots the body has them in.
    for (const BoundName& b : bound)
      QV_TRY(current(c).declare_local(b.name, b.span));
    QV_TRY(compile_expr(c, *guard));
    current(c).emit_instruction(Opcode::Return);
    product.guard = finish_function(c);
  }
  return product;
}

// Rewrites the capture operands of `proto` from its own numbering to positions in `all`, and
// gives it the whole list.
void renumber_captures(Prototype& proto, const std::vector<UpvalueDesc>& all) {
  std::vector<std::uint8_t> map;
  map.reserve(proto.upvalue_descs.size());
  for (const UpvalueDesc& d : proto.upvalue_descs) {
    std::size_t pos = 0;
    while (pos < all.size() && !(all[pos] == d))
      ++pos;
    if (pos == all.size()) throw InternalError("missing upvalue in union map");
    map.push_back(static_cast<std::uint8_t>(pos));
  }
  for (Instruction& ins : proto.code) {
    const std::uint8_t op = ins.op_byte();
    if (op != static_cast<std::uint8_t>(Opcode::GetUpvalue) &&
        op != static_cast<std::uint8_t>(Opcode::SetUpvalue)) {
      continue;
    }
    if (ins.a() >= map.size()) throw InternalError("upvalue index out of range");
    ins = ins.with_a(map[ins.a()]);
  }
  proto.upvalue_descs = all;
  proto.upvalue_count = static_cast<std::uint8_t>(all.size());
}

bool is_plain_clause(const ClauseProduct& clause) {
  if (clause.guard || clause.is_variadic) return false;
  for (std::size_t i = 0; i < clause.patterns.size(); ++i) {
    if (!clause.patterns[i].is_bind_of(static_cast<std::uint8_t>(i))) return false;
  }
  return true;
}

} // namespace

CompileResult compile_fn(Compiler& c, FormSpan items) {
  const Span head = span_of(*items[0]);
  if (items.size() < 2) return fail("fn requires parameters", head);
  FormSpan rest = items.subspan(1);
  Spur name = 0;
  if (kind_of(*rest[0]) == FormKind::Symbol) {
    name = intern_name(c, name_of(*rest[0]).name);
    rest = rest.subspan(1);
    if (rest.empty()) return fail("fn requires parameters", head);
  }

  // Either every element is a clause `([params] body...)`, or together they are the one clause.
  // Clauses are checked and compiled one after the other, so the first bad one is reported.
  std::vector<ClauseProduct> products;
  if (kind_of(*rest[0]) == FormKind::List) {
    products.reserve(rest.size());
    for (const Form* clause : rest) {
      if (kind_of(*clause) != FormKind::List) {
        return fail("fn clause must be a list", span_of(*clause));
      }
      FormList elements = elements_of(*clause);
      if (elements.empty()) return fail("fn clause is empty", span_of(*clause));
      QV_TRY_ASSIGN(ClauseProduct product, compile_clause(c, FormSpan(elements), name));
      products.push_back(std::move(product));
    }
  } else {
    QV_TRY_ASSIGN(ClauseProduct product, compile_clause(c, rest, name));
    products.push_back(std::move(product));
  }

  std::vector<Prototype*> parts;
  for (ClauseProduct& p : products) {
    parts.push_back(&p.body);
    if (p.guard) parts.push_back(&*p.guard);
  }
  QV_TRY_ASSIGN(std::vector<UpvalueDesc> captures, unify_captures(parts));

  const bool plain_shape = products.size() == 1 && is_plain_clause(products[0]);

  // Registered only now, so functions nested in the clauses have the smaller indices.
  std::vector<FunctionClause> records;
  records.reserve(products.size());
  for (ClauseProduct& p : products) {
    FunctionClause record;
    record.arity = p.arity;
    record.is_variadic = p.is_variadic ? 1 : 0;
    record.body_prototype = register_prototype(c, std::move(p.body));
    if (p.guard) {
      record.has_guard = 1;
      record.guard_prototype = register_prototype(c, std::move(*p.guard));
    }
    record.patterns = std::move(p.patterns);
    records.push_back(std::move(record));
  }

  if (plain_shape && records[0].body_prototype <= kMaxU16Operand) {
    return emit_closure(c, captures, records[0].body_prototype, nullptr, head);
  }
  FunctionRef record(std::move(records));
  return emit_closure(c, captures, 0, &record, head);
}

CompileOr<std::vector<UpvalueDesc>> unify_captures(std::span<Prototype* const> protos) {
  std::vector<UpvalueDesc> all;
  for (const Prototype* p : protos) {
    for (const UpvalueDesc& d : p->upvalue_descs) {
      if (std::find(all.begin(), all.end(), d) == all.end()) all.push_back(d);
    }
  }
  // 255 at most: the closure word's capture count is one byte.
  if (all.size() > kMaxUpvalues) return std::unexpected(too_many_upvalues());
  for (Prototype* p : protos)
    renumber_captures(*p, all);
  return all;
}

CompileResult emit_closure(Compiler& c, std::span<const UpvalueDesc> captures,
                           std::uint32_t body_prototype, const FunctionRef* tmpl,
                           const Span& span) {
  std::uint16_t template_constant = 0;
  if (tmpl != nullptr) {
    HeapKey key = heap_insert(c.staging_heap, HeapObject(ClosureTemplate{*tmpl}));
    QV_TRY_ASSIGN(template_constant, constant_index(c, Value::object(key), span));
  }
  FunctionContext& ctx = current(c);
  for (const UpvalueDesc& d : captures) {
    ctx.emit_instruction(d.from_upvalue ? Opcode::GetUpvalue : Opcode::GetLocal, d.index);
  }
  const auto count = static_cast<std::uint8_t>(captures.size());
  if (tmpl == nullptr) {
    ctx.emit_ab(Opcode::MakeClosure, static_cast<std::uint16_t>(body_prototype), count);
  } else {
    ctx.emit_ab(Opcode::MakeTemplateClosure, template_constant, count);
  }
  return {};
}

} // namespace quorvex
