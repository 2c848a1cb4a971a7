// Syntax-quote: a template compiled into the code that builds the data it denotes. Constant parts
// become constants, `unquote` parts are ordinary expressions, `unquote-splicing` parts are joined
// in by calling the global `concat` (and `vec` for a vector), looked up by name when the code
// runs, so a program that redefines them changes what templates build. Symbols ending in `#`
// become generated names, numbered per template: every expansion of a macro builds the same
// names, and two templates use the same names for the same bases.
#include <string>
#include <unordered_map>

#include "util/depth_guard.hpp"
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

constexpr std::size_t kMaxTemplateCount = 0xFFFF;

// The generated names of one template.
struct Gensyms {
  std::uint32_t counter = 0;
  std::unordered_map<std::string, std::string> names;

  const std::string& name_for(std::string_view base) {
    auto it = names.find(std::string(base));
    if (it != names.end()) return it->second;
    ++counter;
    std::string generated = std::string(base) + "__" + std::to_string(counter) + "__auto";
    return names.emplace(std::string(base), std::move(generated)).first->second;
  }
};

// Whether `form` is a list whose first element is a symbol named `name` (any namespace).
bool is_headed_by(const Form& form, std::string_view name) {
  if (kind_of(form) != FormKind::List) return false;
  const FormVec& items = unwrap(form).items();
  if (items.empty()) return false;
  const Form& head = unwrap(*items.begin());
  return head.kind() == FormKind::Symbol && head.name() == name;
}

CompileResult expand(Compiler& c, const Form& form, Gensyms& gensyms);

CompileResult emit_global_call(Compiler& c, std::string_view callee, std::uint8_t argc,
                               const Span& span) {
  QV_TRY_ASSIGN(std::uint16_t k, symbol_constant(c, intern_name(c, callee), span));
  FunctionContext& ctx = current(c);
  ctx.emit_ab(Opcode::GetGlobal, k);
  ctx.emit_instruction(Opcode::Call, argc);
  return {};
}

CompileResult expand_sequence(Compiler& c, const Form& form, bool is_vector, Gensyms& gensyms) {
  const Span span = span_of(form);
  const FormList elements = elements_of(form);
  bool splices = false;
  for (const Form* element : elements)
    splices = splices || is_headed_by(*element, "unquote-splicing");
  if (!splices) {
    if (elements.size() > kMaxTemplateCount) {
      return fail(is_vector ? "vector too large" : "list too large", span);
    }
    for (const Form* element : elements)
      QV_TRY(expand(c, *element, gensyms));
    current(c).emit_ab(is_vector ? Opcode::MakeVector : Opcode::MakeList,
                       static_cast<std::uint16_t>(elements.size()));
    return {};
  }
  // (concat (concat (concat () part1) part2) ...), each plain element a one-element list.
  current(c).emit_ab(Opcode::MakeList, 0);
  for (const Form* element : elements) {
    if (is_headed_by(*element, "unquote-splicing")) {
      const FormList splice = elements_of(*element);
      if (splice.size() != 2) return fail("unquote-splicing expects 1 argument", span_of(*element));
      QV_TRY(compile_expr(c, *splice[1]));
    } else {
      QV_TRY(expand(c, *element, gensyms));
      current(c).emit_ab(Opcode::MakeList, 1);
    }
    QV_TRY(emit_global_call(c, "concat", 2, span));
  }
  if (is_vector) QV_TRY(emit_global_call(c, "vec", 1, span));
  return {};
}

CompileResult expand(Compiler& c, const Form& outer, Gensyms& gensyms) {
  DepthGuard guard;
  const Span span = span_of(outer);
  if (!guard) return fail("form nested too deeply", span);
  const Form& form = unwrap(outer);
  switch (form.kind()) {
  case FormKind::Symbol: {
    const std::string_view name = form.name();
    if (name.empty() || name.back() != '#') break;
    const std::string& generated = gensyms.name_for(name.substr(0, name.size() - 1));
    return emit_constant(c, Value::symbol(intern_name(c, generated)), span);
  }
  case FormKind::List: {
    if (is_headed_by(form, "unquote")) {
      const FormList items = elements_of(form);
      if (items.size() != 2) return fail("unquote expects 1 argument", span);
      return compile_expr(c, *items[1]);
    }
    if (is_headed_by(form, "unquote-splicing")) {
      return fail("unquote-splicing not in list context", span);
    }
    return expand_sequence(c, outer, false, gensyms);
  }
  case FormKind::Vector:
    return expand_sequence(c, outer, true, gensyms);
  default:
    break;
  }
  QV_TRY_ASSIGN(Value value, form_to_value(c, outer));
  return emit_constant(c, value, span);
}

} // namespace

CompileResult compile_syntax_quote(Compiler& c, FormSpan items) {
  if (items.size() != 2) return fail("syntax-quote expects exactly 1 argument", span_of(*items[0]));
  // The template builds a value the form goes on working with: no part of it is a tail call.
  NotTail scope(c);
  Gensyms gensyms;
  return expand(c, *items[1], gensyms);
}

} // namespace quorvex
