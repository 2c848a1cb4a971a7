// Entry points and the two dispatchers every other part of the compiler hangs from:
// compile_expr (any form) and compile_list (what a parenthesised form means).
#include <algorithm>
#include <span>
#include <string>

#include "builtins/builtin_info.hpp"
#include "util/depth_guard.hpp"
#include "util/interner.hpp"
#include "value/numbers.hpp"
#include "value/strings.hpp"
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

std::uint16_t builtin_row_of(std::string_view name) {
  auto index = find_builtin_index(name);
  if (!index) throw InternalError("builtin table has no " + std::string(name));
  return *index;
}

std::uint16_t builtin_mod_row() {
  static const std::uint16_t row = builtin_row_of("mod");
  return row;
}

std::uint16_t builtin_quot_row() {
  static const std::uint16_t row = builtin_row_of("quot");
  return row;
}

constexpr std::size_t kMaxArguments = 255;
constexpr std::size_t kMaxLiteralCount = 0xFFFF;

CompileFailure too_many_arguments(const Span& span) {
  return syntax_error("too many arguments (max 255)", span);
}

// Arguments are values the call goes on with: compiled with both tail flags cleared.
CompileResult compile_arguments(Compiler& c, FormSpan args) {
  NotTail scope(c);
  for (const Form* arg : args)
    QV_TRY(compile_expr(c, *arg));
  return {};
}

// ---- Literals ----

CompileResult compile_collection(Compiler& c, const Form& form, FormKind kind, const Span& span) {
  std::size_t count = 0;
  {
    NotTail scope(c);
    if (kind == FormKind::Map) {
      auto entries = entries_of(form);
      for (const auto& [key, value] : entries) {
        QV_TRY(compile_expr(c, *key));
        QV_TRY(compile_expr(c, *value));
      }
      count = entries.size();
    } else {
      FormList elements = elements_of(form);
      for (const Form* element : elements)
        QV_TRY(compile_expr(c, *element));
      count = elements.size();
    }
  }
  Opcode op = Opcode::MakeVector;
  const char* too_large = "vector too large";
  if (kind == FormKind::Map) {
    op = Opcode::MakeMap;
    too_large = "map too large";
  } else if (kind == FormKind::Set) {
    op = Opcode::MakeSet;
    too_large = "set too large";
  }
  if (count > kMaxLiteralCount) return fail(too_large, span);
  current(c).emit_ab(op, static_cast<std::uint16_t>(count));
  return {};
}

// ---- Inline operators ----

enum class InlineKind : std::uint8_t { Fold, Unary, Binary, Mod };

struct InlineOp {
  std::string_view name;
  InlineKind kind;
  Opcode op;
  bool spanned;
};

// `-` appears twice: Neg with one argument, the Sub fold with two or more.
constexpr InlineOp kInlineOps[] = {
    {"+", InlineKind::Fold, Opcode::Add, true},
    {"-", InlineKind::Unary, Opcode::Neg, true},
    {"-", InlineKind::Fold, Opcode::Sub, true},
    {"*", InlineKind::Fold, Opcode::Mul, true},
    {"/", InlineKind::Fold, Opcode::Div, true},
    {"rem", InlineKind::Binary, Opcode::Rem, true},
    {"mod", InlineKind::Mod, Opcode::Mod, true},
    {"=", InlineKind::Binary, Opcode::Eq, false},
    {"not=", InlineKind::Binary, Opcode::NotEq, false},
    {"<", InlineKind::Binary, Opcode::Lt, true},
    {"<=", InlineKind::Binary, Opcode::Le, true},
    {">", InlineKind::Binary, Opcode::Gt, true},
    {">=", InlineKind::Binary, Opcode::Ge, true},
    {"not", InlineKind::Unary, Opcode::Not, false},
};

const InlineOp* find_inline_op(std::string_view name, std::size_t argc) {
  for (const InlineOp& op : kInlineOps) {
    if (op.name != name) continue;
    switch (op.kind) {
    case InlineKind::Fold:
      if (argc >= 2) return &op;
      break;
    case InlineKind::Unary:
      if (argc == 1) return &op;
      break;
    case InlineKind::Binary:
    case InlineKind::Mod:
      if (argc == 2) return &op;
      break;
    }
  }
  return nullptr;
}

CompileResult compile_inline(Compiler& c, const InlineOp& op, FormSpan args, const Span& span) {
  NotTail scope(c);
  auto emit_op = [&] {
    FunctionContext& ctx = current(c);
    if (op.spanned) ctx.record_span(span);
    ctx.emit_instruction(op.op);
  };
  switch (op.kind) {
  case InlineKind::Unary:
    QV_TRY(compile_expr(c, *args[0]));
    emit_op();
    return {};
  case InlineKind::Binary:
    QV_TRY(compile_expr(c, *args[0]));
    QV_TRY(compile_expr(c, *args[1]));
    emit_op();
    return {};
  case InlineKind::Fold:
    QV_TRY(compile_expr(c, *args[0]));
    for (std::size_t i = 1; i < args.size(); ++i) {
      QV_TRY(compile_expr(c, *args[i]));
      emit_op();
    }
    return {};
  case InlineKind::Mod: {
    // `mod` floors: (mod -7 2) is 1. Rem truncates, so Mod does the work: the builtin's call,
    // two integers divided in place.
    QV_TRY(compile_expr(c, *args[0]));
    QV_TRY(compile_expr(c, *args[1]));
    FunctionContext& ctx = current(c);
    ctx.record_span(span);
    ctx.emit_ab(Opcode::Mod, builtin_mod_row(), 2);
    return {};
  }
  }
  return {};
}

// ---- Special-form dispatch ----

using SpecialForm = CompileResult (*)(Compiler&, FormSpan);

CompileResult compile_unquote(Compiler&, FormSpan items) {
  return fail("unquote outside of syntax-quote", span_of(*items[0]));
}

CompileResult compile_unquote_splicing(Compiler&, FormSpan items) {
  return fail("unquote-splicing outside of syntax-quote", span_of(*items[0]));
}

// The special form named `name`, compared by length first as the names are few and short.
SpecialForm find_special_form(std::string_view name) {
  switch (name.size()) {
  case 2:
    if (name == "if") return compile_if;
    if (name == "do") return compile_do;
    if (name == "fn") return compile_fn;
    if (name == "or") return compile_or;
    return nullptr;
  case 3:
    if (name == "let") return compile_let;
    if (name == "def") return compile_def;
    if (name == "and") return compile_and;
    return nullptr;
  case 4:
    if (name == "defn") return compile_defn;
    if (name == "loop") return compile_loop;
    return nullptr;
  case 5:
    if (name == "quote") return compile_quote;
    if (name == "recur") return compile_recur;
    if (name == "match") return compile_match;
    return nullptr;
  case 6:
    if (name == "assert") return compile_assert;
    if (name == "effect") return compile_effect;
    return nullptr;
  case 7:
    if (name == "unquote") return compile_unquote;
    if (name == "perform") return compile_perform;
    if (name == "defdata") return compile_defdata;
    return nullptr;
  case 8:
    if (name == "defmacro") return compile_defmacro;
    return nullptr;
  case 12:
    if (name == "syntax-quote") return compile_syntax_quote;
    if (name == "with-handler") return compile_with_handler;
    return nullptr;
  case 16:
    if (name == "unquote-splicing") return compile_unquote_splicing;
    return nullptr;
  default:
    return nullptr;
  }
}

// Whether a call by `name` may go straight to builtin row `row`: the global of that name must
// still hold that very builtin, and no definition of this form may rebind it.
bool calls_builtin_directly(Compiler& c, Spur name, std::uint16_t row) {
  if (c.redefined_names.contains(name)) return false;
  std::optional<std::uint32_t> index = c.host->global_index(name);
  if (!index) return false;
  Value held = c.host->global_value(*index);
  return held.tag == Tag::NativeFn && held.as.native == row;
}

} // namespace

// ---- Shared helpers ----

Spur intern_name(Compiler& c, std::string_view text) {
  return c.host->interner().get_or_intern(text);
}

Spur intern_qualified(Compiler& c, const NameView& name) {
  if (!name.ns) return intern_name(c, name.name);
  std::string text;
  text.reserve(name.ns->size() + 1 + name.name.size());
  text.append(*name.ns).append("/").append(name.name);
  return intern_name(c, text);
}

CompileOr<std::uint16_t> constant_index(Compiler& c, const Value& v, const Span& span) {
  return current(c).add_constant_checked(v, span);
}

CompileResult emit_constant(Compiler& c, const Value& v, const Span& span) {
  QV_TRY_ASSIGN(std::uint16_t index, constant_index(c, v, span));
  current(c).emit_load_const(index);
  return {};
}

CompileOr<std::uint16_t> symbol_constant(Compiler& c, Spur name, const Span& span) {
  return constant_index(c, Value::symbol(name), span);
}

CompileOr<Value> stage_string(Compiler& c, std::string_view text, const Span& span) {
  Guarded<Value> v = stage_string_object(c.staging_heap, text);
  if (!v) return fail(value_fault_text(v.error()), span);
  return *v;
}

// ---- Names ----

bool is_lexically_bound(const Compiler& c, Spur name) {
  for (const FunctionContext& ctx : c.contexts) {
    if (ctx.resolve_local(name)) return true;
  }
  return false;
}

CompileOr<Resolution> resolve_symbol(Compiler& c, Spur name) {
  if (c.contexts.empty()) throw InternalError("no function context");
  const std::size_t top = c.contexts.size() - 1;
  if (auto slot = c.contexts[top].find_local(name)) {
    return Resolution{Resolution::Kind::Local, *slot};
  }
  // The innermost enclosing function that binds the name; every function between it and the
  // current one captures the variable from the one below it.
  std::size_t level = top;
  std::optional<std::uint8_t> slot;
  while (level > 0) {
    if (c.contexts[level].isolated) {
      // A macro expander runs while the form compiles, before any enclosing local has a value.
      if (is_lexically_bound(c, name)) {
        return fail("a macro cannot use the local `" +
                        std::string(c.host->interner().resolve(name)) +
                        "` of an enclosing form: its expander runs at compile time",
                    std::nullopt);
      }
      return Resolution{Resolution::Kind::Global, 0};
    }
    --level;
    slot = c.contexts[level].find_local(name);
    if (slot) break;
  }
  if (!slot) return Resolution{Resolution::Kind::Global, 0};
  UpvalueDesc desc{0, *slot};
  std::uint8_t index = 0;
  for (std::size_t k = level + 1; k <= top; ++k) {
    QV_TRY_ASSIGN(index, c.contexts[k].add_upvalue(desc));
    desc = UpvalueDesc{1, index};
  }
  return Resolution{Resolution::Kind::Upvalue, index};
}

CompileResult emit_global_read(Compiler& c, Spur name, const Span& span, Spur written) {
  // Only a global the machine already holds is read by index: its position never changes. A
  // name first defined by this very form is read by name (adoption may link it to an index).
  std::optional<std::uint32_t> index = c.host->global_index(name);
  std::optional<std::uint16_t> k;
  if (!index || *index > kMaxU16Operand) {
    QV_TRY_ASSIGN(k, symbol_constant(c, name, span));
  }
  FunctionContext& ctx = current(c);
  if (written != 0 && written != name) ctx.written_names.push_back({ctx.code_size(), written});
  if (k) {
    ctx.record_span(span);
    ctx.emit_ab(Opcode::GetGlobal, *k);
  } else {
    ctx.emit_ab(Opcode::GetGlobalIndexed, static_cast<std::uint16_t>(*index));
  }
  return {};
}

CompileResult emit_variable(Compiler& c, Spur name, const Span& span, Spur written) {
  CompileOr<Resolution> resolved = resolve_symbol(c, name);
  if (!resolved) {
    CompileFailure failure = std::move(resolved.error());
    if (!failure.location) failure.location = span;
    return std::unexpected(std::move(failure));
  }
  const Resolution r = *resolved;
  switch (r.kind) {
  case Resolution::Kind::Local:
    current(c).emit_instruction(Opcode::GetLocal, r.index);
    return {};
  case Resolution::Kind::Upvalue:
    current(c).emit_instruction(Opcode::GetUpvalue, r.index);
    return {};
  case Resolution::Kind::Global:
    return emit_global_read(c, name, span, written);
  }
  return {};
}

// ---- Functions ----

void push_function(Compiler& c, Spur name, std::uint8_t arity, bool is_variadic) {
  FunctionContext& ctx = c.contexts.emplace_back();
  ctx.name = name;
  ctx.arity = arity;
  ctx.is_variadic = is_variadic;
  ctx.in_tail_position = true;
  ctx.in_recur_tail = true;
}

Prototype finish_function(Compiler& c) {
  if (c.contexts.empty()) throw InternalError("no function to finish");
  Prototype proto = c.contexts.back().to_prototype();
  c.contexts.pop_back();
  return proto;
}

std::uint32_t register_prototype(Compiler& c, Prototype proto) {
  c.prototypes.push_back(std::move(proto));
  return static_cast<std::uint32_t>(c.prototypes.size() - 1);
}

// ---- Dispatch ----

CompileResult compile_body(Compiler& c, FormSpan forms) {
  if (forms.empty()) return emit_constant(c, Value::nil(), std::nullopt);
  FunctionContext& ctx = current(c);
  const bool tail = ctx.in_tail_position;
  const bool recur_tail = ctx.in_recur_tail;
  for (std::size_t i = 0; i < forms.size(); ++i) {
    const bool last = i + 1 == forms.size();
    TailScope scope(c, tail && last, recur_tail && last);
    QV_TRY(compile_expr(c, *forms[i]));
    if (!last) current(c).emit_instruction(Opcode::Pop);
  }
  return {};
}

CompileFailure compile_interrupted_failure(const Span& span) {
  return CompileFailure::syntax("interrupted", span);
}

CompileResult compile_expr(Compiler& c, const Form& outer) {
  DepthGuard guard;
  const Span span = span_of(outer);
  if (!guard) return fail("form nested too deeply", span);
  // A form can hold millions of forms, read from a source or made by a macro.
  if (compile_interrupted(c)) return std::unexpected(compile_interrupted_failure(span));
  const Form& form = unwrap(outer);
  const FormKind kind = kind_of(form);
  switch (kind) {
  case FormKind::Nil:
    return emit_constant(c, Value::nil(), span);
  case FormKind::Bool:
    return emit_constant(c, Value::from_bool(form.as_bool()), span);
  case FormKind::Int:
    return emit_constant(c, Value::from_int(form.as_int()), span);
  case FormKind::Float:
    return emit_constant(c, Value::from_float(form.as_float()), span);
  case FormKind::Ratio: {
    // A literal becomes the number it denotes: 4/2 is the integer 2.
    FormRatio ratio = form.as_ratio();
    auto value = normalize_fraction(ratio.num, ratio.den);
    if (!value) return fail("invalid ratio literal", span);
    return emit_constant(c, *value, span);
  }
  case FormKind::String: {
    QV_TRY_ASSIGN(Value text, stage_string(c, form.as_string(), span));
    return emit_constant(c, text, span);
  }
  case FormKind::Regex: {
    HeapKey key = heap_insert(c.staging_heap, HeapObject(RegexObject{form.as_regex()}));
    return emit_constant(c, Value::object(key), span);
  }
  case FormKind::Keyword:
    return emit_constant(c, Value::keyword(intern_qualified(c, name_of(form))), span);
  case FormKind::Symbol: {
    // Only the name counts: `a/b` used as a value reads `b`. Errors still show it as written.
    const NameView name = name_of(form);
    return emit_variable(c, intern_name(c, name.name), span,
                         name.ns ? intern_qualified(c, name) : 0);
  }
  case FormKind::List: {
    FormList items = elements_of(form);
    if (items.empty()) {
      current(c).emit_ab(Opcode::MakeList, 0);
      return {};
    }
    return compile_list(c, items, span);
  }
  case FormKind::Vector:
  case FormKind::Map:
  case FormKind::Set:
    return compile_collection(c, form, kind, span);
  case FormKind::NativeFn:
  case FormKind::Optic:
  case FormKind::Effect:
  case FormKind::Atom:
  case FormKind::Spanned:
    return std::unexpected(CompileFailure::make(CompileErrorKind::Tag::UnsupportedExpression,
                                                std::string(form_type_name(kind)), span));
  }
  return {};
}

bool compiles_to_plain_call(Compiler& c, const Form& head_form, std::size_t argc) {
  const Form& head = unwrap(head_form);
  if (kind_of(head) != FormKind::Symbol) return true;
  const NameView name = name_of(head);
  if (name.ns) return false;
  if (find_special_form(name.name) != nullptr) return false;
  if (name.name == "macroexpand" || name.name == "macroexpand-1") return false;
  if (!c.macros.empty()) {
    if (auto id = c.host->interner().get(name.name); id && c.macros.contains(*id)) return false;
  }
  if (find_inline_op(name.name, argc) != nullptr) return false;
  const Spur spur = intern_name(c, name.name);
  if (std::optional<std::uint16_t> row = find_builtin_index(name.name);
      row && !is_lexically_bound(c, spur) && calls_builtin_directly(c, spur, *row)) {
    return false;
  }
  return true;
}

CompileResult compile_list(Compiler& c, const FormList& items, const Span& span) {
  if (items.empty())
    return std::unexpected(CompileFailure::make(CompileErrorKind::Tag::EmptyList, {}, span));
  const Form& head = unwrap(*items[0]);
  const bool head_is_symbol = kind_of(head) == FormKind::Symbol;
  NameView head_name;
  if (head_is_symbol) {
    head_name = name_of(head);
    // Special forms first, by name alone: they cannot be shadowed or redefined.
    if (SpecialForm special = find_special_form(head_name.name)) {
      return special(c, FormSpan(items));
    }
    // The two special forms whose errors are located at the whole list.
    if (head_name.name == "macroexpand" || head_name.name == "macroexpand-1") {
      return compile_macroexpand(c, FormSpan(items), span, head_name.name == "macroexpand");
    }
    if (!head_name.ns && !c.macros.empty()) {
      if (auto id = c.host->interner().get(head_name.name); id && c.macros.contains(*id)) {
        return compile_macro_call(c, *id, FormSpan(items));
      }
    }
  }
  const FormSpan args = FormSpan(items).subspan(1);

  if (head_is_symbol && head_name.ns) {
    // (effect/op args...) performs an operation of the effect bound to the global `effect`.
    if (args.size() > kMaxArguments) return std::unexpected(too_many_arguments(std::nullopt));
    QV_TRY(compile_arguments(c, args));
    Spur effect = intern_name(c, *head_name.ns);
    Spur op = intern_name(c, head_name.name);
    FunctionContext& ctx = current(c);
    std::uint32_t effect_k = ctx.add_constant(Value::symbol(effect));
    std::uint32_t op_k = ctx.add_constant(Value::symbol(op));
    if (effect_k > kMaxU8Operand || op_k > kMaxU8Operand) {
      return std::unexpected(CompileFailure::too_many_constants(span));
    }
    ctx.record_span(span);
    ctx.emit_instruction(Opcode::PerformOp, static_cast<std::uint8_t>(effect_k),
                         static_cast<std::uint8_t>(op_k), static_cast<std::uint8_t>(args.size()));
    return {};
  }

  if (head_is_symbol) {
    if (const InlineOp* op = find_inline_op(head_name.name, args.size())) {
      return compile_inline(c, *op, args, span);
    }
    Spur name = intern_name(c, head_name.name);
    if (std::optional<std::uint16_t> row = find_builtin_index(head_name.name);
        row && !is_lexically_bound(c, name) && calls_builtin_directly(c, name, *row)) {
      if (args.size() > kMaxArguments) return std::unexpected(too_many_arguments(span));
      QV_TRY(compile_arguments(c, args));
      FunctionContext& ctx = current(c);
      ctx.record_span(span);
      // Two-argument `quot` is the same call with the division of two integers done in place.
      const Opcode call =
          *row == builtin_quot_row() && args.size() == 2 ? Opcode::Quot : Opcode::CallBuiltin;
      ctx.emit_ab(call, *row, static_cast<std::uint8_t>(args.size()));
      return {};
    }
  }

  if (args.size() > kMaxArguments) return std::unexpected(too_many_arguments(span));
  {
    NotTail scope(c);
    for (const Form* arg : args)
      QV_TRY(compile_expr(c, *arg));
    QV_TRY(compile_expr(c, *items[0]));
  }
  FunctionContext& ctx = current(c);
  ctx.record_span(span);
  ctx.emit_instruction(Opcode::Call, static_cast<std::uint8_t>(args.size()));
  return {};
}

// ---- Host protocol ----

Compiler new_compiler(CompilerHost& host) {
  Compiler c(host);
  const auto& types = host.types().types();
  for (std::size_t t = 0; t < types.size(); ++t) {
    const auto& variants = types[t].variants;
    for (std::size_t v = 0; v < variants.size(); ++v) {
      c.variant_constructors.insert_or_assign(
          variants[v].name,
          ConstructorEntry{static_cast<std::uint16_t>(t), static_cast<std::uint8_t>(v),
                           static_cast<std::uint32_t>(variants[v].field_names.size())});
    }
  }
  return c;
}

namespace {

// A MakeClosure word carries the prototype's machine-wide index in 16 bits. Where the machine's
// table places a prototype beyond that, the closure is made from a one-clause template instead,
// whose record holds a 32-bit index: same function, no wrapped operand.
CompileResult widen_closure_operands(Compiler& c, std::span<const std::uint32_t> placement) {
  if (std::all_of(placement.begin(), placement.end(),
                  [](std::uint32_t index) { return index <= kMaxU16Operand; })) {
    return {};
  }
  for (Prototype& proto : c.prototypes) {
    for (Instruction& ins : proto.code) {
      if (ins.op_byte() != static_cast<std::uint8_t>(Opcode::MakeClosure)) continue;
      const std::uint32_t local = ins.ab();
      if (placement[local] <= kMaxU16Operand) continue;
      const Prototype& target = c.prototypes.at(local);
      FunctionRef record = FunctionRef::plain(local, target.arity, target.is_variadic);
      HeapKey key = heap_insert(c.staging_heap, HeapObject(ClosureTemplate{std::move(record)}));
      if (proto.constants.size() > kMaxU16Operand) {
        return std::unexpected(CompileFailure::too_many_constants(std::nullopt));
      }
      proto.constants.push_back(Value::object(key));
      ins = Instruction::make_ab(Opcode::MakeTemplateClosure,
                                 static_cast<std::uint16_t>(proto.constants.size() - 1), ins.c());
    }
  }
  return {};
}

} // namespace

std::expected<std::uint32_t, CompileFailure> compile_toplevel(Compiler& c, const Form& form) {
  push_function(c, 0, 0, false);
  QV_TRY(compile_expr(c, form));
  current(c).emit_instruction(Opcode::Return);
  std::uint32_t index = register_prototype(c, finish_function(c));
  QV_TRY(widen_closure_operands(c, c.host->next_prototype_indices(c.prototypes.size())));
  return index;
}

CompilerTables take_compiler_tables(Compiler&& c) {
  CompilerTables tables;
  tables.prototypes = std::move(c.prototypes);
  tables.staging_heap = std::move(c.staging_heap);
  tables.moved_objects = std::move(c.moved_objects);
  tables.docstring_table = std::move(c.docstring_table);
  return tables;
}

} // namespace quorvex
