// `match`, compiled one of two ways.
//
// The general way: the clauses become one multi-clause function of one parameter, called with the
// scrutinee. The machine's clause selection does all the testing and binding, and a scrutinee no
// clause accepts fails as a call with no matching clause does.
//
// The inline way, taken when every pattern is a name, `_`, a literal or a variant pattern of
// those: the scrutinee stays in a local of the enclosing function, and each clause is a chain of
// tests that jumps to the next clause on a mismatch, then the clause's bindings and its body. No
// closure is made. When no clause matches, the code calls the clause function the general way
// would have called, with the same patterns and bodies that never run: its clause selection fails
// with the same error at the same place. Vector and map patterns stay with the general way: their
// type errors and the characters of a string matched against them belong to the clause matcher.
// The inline way puts the clauses' names, the bodies' locals and constants and the jumps over the
// bodies into the enclosing function; when that function runs out of room for them, the attempt
// is undone and the general way compiles the `match`, as it would any clause function.
//
// Both ways compile each clause's pattern and then its body, in clause order, and the scrutinee
// after every clause, so a form with several faults reports the same one. An inline clause body
// is compiled as if it were a function of its own wherever that can be seen: `recur` in it reaches
// no loop outside the `match`, and a local from outside does not hide a variant constructor in a
// pattern inside it.
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

constexpr int kMaxInlinePatternDepth = 32;
// A clause's locals come after the enclosing function's. Past this many live locals, the clauses
// get a frame of their own, so that a large function does not run out of slots.
constexpr std::uint32_t kMaxSlotsBeforeInline = 160;

// The inline way puts the bodies between the jumps of the tests, which reach 32,767 words. A
// `match` larger than this many forms keeps its clause function, where a body may be as large as
// any function's.
constexpr std::size_t kMaxInlineForms = 4096;
constexpr int kMaxInlineFormDepth = 256;

// An undone attempt compiles its clauses once more, and with them every `match` nested in them,
// whose own attempts may be undone in turn: a nesting of such attempts would cost two to the
// power of its depth. After this many undone attempts in one top-level form, every later `match`
// of the form takes the general way at once, and an attempt undone then undoes the attempts it
// is nested in as well, up to the outermost, whose clauses are compiled once more the general
// way. Each of them would otherwise compile its clauses once more for itself, at a cost that
// grows with the square of the nesting. So a form costs at most a few times this many times
// what compiling it once costs.
constexpr std::uint32_t kMaxUndoneInline = 8;

// Whether the form holds at most `budget` forms, counting them off the budget.
bool fits_inline(const Form& form, std::size_t& budget, int depth) {
  if (budget == 0 || depth > kMaxInlineFormDepth) return false;
  --budget;
  switch (kind_of(form)) {
  case FormKind::List:
  case FormKind::Vector:
  case FormKind::Set:
    for (const Form* element : elements_of(form)) {
      if (!fits_inline(*element, budget, depth + 1)) return false;
    }
    return true;
  case FormKind::Map:
    for (const auto& [key, value] : entries_of(form)) {
      if (!fits_inline(*key, budget, depth + 1) || !fits_inline(*value, budget, depth + 1)) {
        return false;
      }
    }
    return true;
  default:
    return true;
  }
}

// Whether the pattern form is one the inline way compiles. Only the shape counts here; whether a
// list's head is a variant constructor is for the pattern compiler to say, with its own errors.
bool is_inline_pattern(const Form& form, int depth) {
  if (depth > kMaxInlinePatternDepth) return false;
  switch (kind_of(form)) {
  case FormKind::Nil:
  case FormKind::Bool:
  case FormKind::Int:
  case FormKind::Ratio:
  case FormKind::Float:
  case FormKind::String:
  case FormKind::Symbol:
  case FormKind::Keyword:
    return true;
  case FormKind::List: {
    const FormList items = elements_of(form);
    if (items.empty() || kind_of(*items[0]) != FormKind::Symbol) return false;
    for (std::size_t i = 1; i < items.size(); ++i) {
      if (!is_inline_pattern(*items[i], depth + 1)) return false;
    }
    return true;
  }
  default:
    return false;
  }
}

CompileResult compile_match_function(Compiler& c, FormSpan items, const Span& head) {
  const Spur name = intern_name(c, "match__fn");
  struct Clause {
    Prototype body;
    Pattern pattern;
  };
  std::vector<Clause> clauses;
  clauses.reserve(items.size() / 2);
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

// ---- The inline way ----

// One clause being emitted: its pattern was compiled as the clause function's, so its constants
// are in `pattern_proto` and its bound names in that function's slots 0, 1, ...; `slots` maps
// those to the enclosing function's slots.
struct InlineClause {
  const Prototype& pattern_proto;
  std::vector<std::uint8_t> slots;
  // Forward jumps taken on a mismatch, to the next clause.
  std::vector<std::uint32_t> misses;
};

std::uint8_t bound_slot(const InlineClause& clause, std::uint8_t slot) {
  if (slot >= clause.slots.size()) throw InternalError("pattern slot outside the clause's names");
  return clause.slots[slot];
}

// The value on top of the stack equals the literal, or the clause is missed.
CompileResult emit_literal_test(Compiler& c, InlineClause& clause, const Pattern& p) {
  if (p.constant >= clause.pattern_proto.constants.size()) {
    throw InternalError("pattern constant outside the clause's constants");
  }
  QV_TRY(emit_constant(c, clause.pattern_proto.constants[p.constant], std::nullopt));
  FunctionContext& ctx = current(c);
  ctx.emit_instruction(Opcode::Eq);
  clause.misses.push_back(ctx.emit_op(Opcode::JumpIfFalse));
  return {};
}

// Tests the value in slot `value` against the pattern and binds its names, in the order the clause
// matcher does both; a mismatch jumps to the next clause.
CompileResult emit_pattern_test(Compiler& c, InlineClause& clause, const Pattern& p,
                                std::uint8_t value) {
  switch (p.kind) {
  case Pattern::Kind::Wildcard:
    return {};
  case Pattern::Kind::Bind:
    current(c).emit_instruction(Opcode::GetLocal, value);
    current(c).emit_instruction(Opcode::SetLocal, bound_slot(clause, p.slot));
    return {};
  case Pattern::Kind::Literal:
    current(c).emit_instruction(Opcode::GetLocal, value);
    return emit_literal_test(c, clause, p);
  case Pattern::Kind::Variant: {
    FunctionContext& ctx = current(c);
    ctx.emit_instruction(Opcode::GetLocal, value);
    ctx.emit_ab(Opcode::MatchVariant, p.type_id, p.variant_index);
    clause.misses.push_back(ctx.emit_op(Opcode::JumpIfFalse));
    for (std::size_t i = 0; i < p.elements.size(); ++i) {
      const Pattern& field = p.elements[i];
      if (field.kind == Pattern::Kind::Wildcard) continue;
      current(c).emit_instruction(Opcode::GetLocal, value);
      current(c).emit_instruction(Opcode::VariantField, static_cast<std::uint8_t>(i));
      switch (field.kind) {
      case Pattern::Kind::Bind:
        current(c).emit_instruction(Opcode::SetLocal, bound_slot(clause, field.slot));
        break;
      case Pattern::Kind::Literal:
        QV_TRY(emit_literal_test(c, clause, field));
        break;
      default: {
        // A nested pattern reads the field from a local of its own.
        QV_TRY_ASSIGN(std::uint8_t held, current(c).declare_local(0, std::nullopt));
        current(c).emit_instruction(Opcode::SetLocal, held);
        QV_TRY(emit_pattern_test(c, clause, field, held));
        break;
      }
      }
    }
    return {};
  }
  default:
    throw InternalError("pattern kind without an inline test");
  }
}

// Compiles the body with everything a function of its own would reset: its tail flags, and no
// loop for `recur` to reach. Restores them whether or not the body compiles.
CompileResult compile_clause_body(Compiler& c, const Form& body, bool tail) {
  FunctionContext& ctx = current(c);
  const std::size_t floor = ctx.clause_scope_floor;
  std::vector<RecurTarget> loops = std::move(ctx.recur_targets);
  ctx.recur_targets.clear();
  ctx.clause_scope_floor = ctx.scopes.size() - 1;
  CompileResult result;
  {
    TailScope scope(c, tail, true);
    result = compile_expr(c, body);
  }
  ctx.recur_targets = std::move(loops);
  ctx.clause_scope_floor = floor;
  return result;
}

CompileResult compile_match_inline(Compiler& c, FormSpan items, const Span& head) {
  const Spur name = intern_name(c, "match__fn");
  const bool tail = current(c).in_tail_position;
  const std::uint32_t outer_slots = current(c).next_slot;
  current(c).push_scope();

  // A scrutinee that is a local of this function is tested where it is. Any other is compiled
  // after the clauses (see above) and reached by a jump; it is stored in a slot with no name and
  // jumps back to the first clause.
  const Form& scrutinee = *items[1];
  std::optional<std::uint8_t> value;
  if (kind_of(scrutinee) == FormKind::Symbol) {
    value = current(c).find_local(intern_name(c, name_of(scrutinee).name));
  }
  const bool direct = value.has_value();
  std::uint32_t to_scrutinee = 0;
  std::uint32_t first_clause = 0;
  if (!direct) {
    QV_TRY_ASSIGN(value, current(c).declare_local(0, std::nullopt));
    to_scrutinee = current(c).emit_op(Opcode::Jump);
    first_clause = current(c).code_size();
  }

  std::vector<Prototype> pattern_protos;
  std::vector<Pattern> patterns;
  std::vector<std::uint32_t> to_end;
  bool last_irrefutable = false;
  for (std::size_t i = 2; i + 1 < items.size(); i += 2) {
    push_function(c, name, 1, false);
    current(c).push_scope();
    BoundNames bound;
    QV_TRY_ASSIGN(Pattern pattern, compile_match_pattern(c, *items[i], bound));
    // This function is called only after no clause matched inline, so none of its clauses
    // matches either and no body of it runs.
    QV_TRY(emit_constant(c, Value::nil(), std::nullopt));
    current(c).emit_instruction(Opcode::Return);
    pattern_protos.push_back(finish_function(c));
    if (bound.size() != pattern_protos.back().local_count) {
      throw InternalError("a match pattern declared locals of its own");
    }

    FunctionContext& ctx = current(c);
    const std::uint32_t clause_slots = ctx.next_slot;
    ctx.push_scope();
    InlineClause clause{pattern_protos.back(), {}, {}};
    for (const BoundName& b : bound) {
      QV_TRY_ASSIGN(std::uint8_t slot, ctx.declare_local(b.name, b.span));
      clause.slots.push_back(slot);
    }
    QV_TRY(emit_pattern_test(c, clause, pattern, *value));
    QV_TRY(compile_clause_body(c, *items[i + 1], tail));
    to_end.push_back(ctx.emit_op(Opcode::Jump));
    for (std::uint32_t at : clause.misses)
      QV_TRY(ctx.patch_jump(at));
    last_irrefutable = clause.misses.empty();
    ctx.pop_scope();
    ctx.peak_slot = std::max(ctx.peak_slot, ctx.next_slot);
    ctx.next_slot = clause_slots;
    patterns.push_back(std::move(pattern));
  }

  if (!last_irrefutable) {
    // No clause matched: the clause function fails with the general way's error.
    std::vector<FunctionClause> records;
    records.reserve(patterns.size());
    for (std::size_t i = 0; i < patterns.size(); ++i) {
      FunctionClause record;
      record.arity = 1;
      record.body_prototype = register_prototype(c, std::move(pattern_protos[i]));
      record.patterns.push_back(std::move(patterns[i]));
      records.push_back(std::move(record));
    }
    current(c).emit_instruction(Opcode::GetLocal, *value);
    FunctionRef record(std::move(records));
    QV_TRY(emit_closure(c, {}, 0, &record, head));
    current(c).record_span(head);
    current(c).emit_instruction(tail ? Opcode::TailCall : Opcode::Call, 1);
    to_end.push_back(current(c).emit_op(Opcode::Jump));
  }
  if (!direct) {
    QV_TRY(current(c).patch_jump(to_scrutinee));
    {
      NotTail scope(c);
      QV_TRY(compile_expr(c, scrutinee));
    }
    current(c).emit_instruction(Opcode::SetLocal, *value);
    QV_TRY(current(c).emit_backward_jump(Opcode::Jump, first_clause));
  }
  // A jump to the very next word is dropped.
  FunctionContext& ctx = current(c);
  if (!to_end.empty() && to_end.back() + 1 == ctx.code_size()) {
    ctx.code.pop_back();
    to_end.pop_back();
  }
  for (std::uint32_t at : to_end)
    QV_TRY(ctx.patch_jump(at));
  ctx.pop_scope();
  ctx.peak_slot = std::max(ctx.peak_slot, ctx.next_slot);
  ctx.next_slot = outer_slots;
  return {};
}

// What an inline attempt changes in the compiler, so that an attempt that runs out of room can be
// undone. The enclosing function's code, constants and slots go back to where they were, captures
// that the bodies added to the enclosing functions are dropped (the general way adds them again),
// and functions the attempt began and did not finish are popped. Prototypes it finished stay in
// the list, unreachable: templates it left in the staging heap still name them by index.
struct InlineRestorePoint {
  std::size_t contexts = 0;
  std::vector<std::size_t> upvalues;
  std::size_t code = 0;
  std::size_t spans = 0;
  std::size_t written_names = 0;
  std::size_t constants = 0;
  std::size_t scopes = 0;
  std::uint32_t next_slot = 0;
  std::uint32_t peak_slot = 0;
};

InlineRestorePoint restore_point(const Compiler& c) {
  InlineRestorePoint r;
  r.contexts = c.contexts.size();
  for (const FunctionContext& ctx : c.contexts)
    r.upvalues.push_back(ctx.upvalue_descs.size());
  const FunctionContext& ctx = c.contexts.back();
  r.code = ctx.code.size();
  r.spans = ctx.spans.size();
  r.written_names = ctx.written_names.size();
  r.constants = ctx.constants.size();
  r.scopes = ctx.scopes.size();
  r.next_slot = ctx.next_slot;
  r.peak_slot = ctx.peak_slot;
  return r;
}

template <class T> void truncate(std::vector<T>& v, std::size_t n) {
  if (v.size() > n) v.erase(v.begin() + static_cast<std::ptrdiff_t>(n), v.end());
}

void restore(Compiler& c, const InlineRestorePoint& r) {
  while (c.contexts.size() > r.contexts)
    c.contexts.pop_back();
  for (std::size_t i = 0; i < r.contexts; ++i)
    truncate(c.contexts[i].upvalue_descs, r.upvalues[i]);
  FunctionContext& ctx = c.contexts.back();
  truncate(ctx.code, r.code);
  truncate(ctx.spans, r.spans);
  truncate(ctx.written_names, r.written_names);
  if (ctx.constants.size() > r.constants) {
    truncate(ctx.constants, r.constants);
    // Rebuilt from the constants when next needed.
    ctx.constant_index.clear();
  }
  truncate(ctx.scopes, r.scopes);
  ctx.next_slot = r.next_slot;
  ctx.peak_slot = r.peak_slot;
}

// Limits of the enclosing function that the inline way reaches and a clause function, with a frame,
// constants and code of its own, may not.
bool out_of_room(const CompileFailure& f) {
  using T = CompileErrorKind::Tag;
  return f.kind.tag == T::TooManyLocals || f.kind.tag == T::TooManyConstants ||
         (f.kind.tag == T::InvalidSyntax && f.kind.text == jump_out_of_range().kind.text);
}

} // namespace

CompileResult compile_match(Compiler& c, FormSpan items) {
  const Span head = span_of(*items[0]);
  const std::size_t operands = items.size() - 1;
  if (operands < 3 || operands % 2 == 0) {
    return fail("match requires a scrutinee and pattern/body pairs", head);
  }
  bool inline_tests =
      current(c).next_slot <= kMaxSlotsBeforeInline && c.inline_matches_undone < kMaxUndoneInline;
  for (std::size_t i = 2; inline_tests && i + 1 < items.size(); i += 2) {
    inline_tests = is_inline_pattern(*items[i], 0);
  }
  std::size_t budget = kMaxInlineForms;
  for (std::size_t i = 1; inline_tests && i < items.size(); ++i) {
    inline_tests = fits_inline(*items[i], budget, 0);
  }
  if (inline_tests) {
    // The clauses' names, the bodies' locals and constants and the jumps over the bodies all go
    // to the enclosing function, which may not hold them where the clause function would.
    const InlineRestorePoint point = restore_point(c);
    ++c.inline_matches_under_way;
    CompileResult inlined = compile_match_inline(c, items, head);
    --c.inline_matches_under_way;
    if (inlined || !out_of_room(inlined.error())) return inlined;
    restore(c, point);
    ++c.inline_matches_undone;
    // The attempt this one is nested in takes the failure as its own and is undone in turn.
    if (c.inline_matches_undone >= kMaxUndoneInline && c.inline_matches_under_way > 0) {
      return inlined;
    }
  }
  return compile_match_function(c, items, head);
}

} // namespace quorvex
