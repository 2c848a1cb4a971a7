// `match`: the clauses become one multi-clause function of one parameter, called with the
// scrutinee. The machine's clause selection does all the testing and binding, so `match` has no
// code of its own for patterns, and a scrutinee no clause accepts fails as a call with no
// matching clause does.
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

CompileResult compile_match(Compiler& c, FormSpan items) {
  const Span head = span_of(*items[0]);
  const std::size_t operands = items.size() - 1;
  if (operands < 3 || operands % 2 == 0) {
    return fail("match requires a scrutinee and pattern/body pairs", head);
  }
  const Spur name = intern_name(c, "match__fn");

  struct Clause {
    Prototype body;
    Pattern pattern;
  };
  std::vector<Clause> clauses;
  clauses.reserve(operands / 2);
  for (std::size_t i = 2; i + 1 < items.size(); i += 2) {
    push_function(c, name, 1, false);
    current(c).push_scope();
    BoundNames bound;
    QV_TRY_ASSIGN(Pattern pattern, compile_match_pattern(c, *items[i], bound));
    // The body is the clause function's value: a `match` or call in it is a tail call.
    QV_TRY(compile_expr(c, *items[i + 1]));
    current(c).emit_instruction(Opcode::Return);
    clauses.push_back(Clause{finish_function(c), std::move(pattern)});
  }

  std::vector<Prototype*> parts;
  for (Clause& clause : clauses)
    parts.push_back(&clause.body);
  QV_TRY_ASSIGN(std::vector<UpvalueDesc> captures, unify_captures(parts));

  // Registered only now, so functions nested in the clause bodies have the smaller indices.
  std::vector<FunctionClause> records;
  records.reserve(clauses.size());
  for (Clause& clause : clauses) {
    FunctionClause record;
    record.arity = 1;
    record.body_prototype = register_prototype(c, std::move(clause.body));
    record.patterns.push_back(std::move(clause.pattern));
    records.push_back(std::move(record));
  }

  // The scrutinee last, so that an error in a clause is the one reported; it is evaluated once,
  // as the argument of the call.
  const bool tail = current(c).in_tail_position;
  {
    NotTail scope(c);
    QV_TRY(compile_expr(c, *items[1]));
  }
  FunctionRef record(std::move(records));
  QV_TRY(emit_closure(c, captures, 0, &record, head));
  FunctionContext& ctx = current(c);
  ctx.record_span(head);
  ctx.emit_instruction(tail ? Opcode::TailCall : Opcode::Call, 1);
  return {};
}

} // namespace quorvex
