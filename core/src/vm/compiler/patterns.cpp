// Patterns, compiled two ways.
//
// Binding positions (`let`, the destructuring parameters of handler clauses, and everything nested
// in those) emit code: `compile_destructure` takes the value on top of the stack apart with calls
// of `nth`, `drop` and `get` and stores the parts in new locals. A mismatch of shape is never an
// error there; the builtins answer nil for what is missing.
//
// Clause positions (`fn` parameters, `match` clauses, the predicates `defdata` makes) build
// `Pattern` records instead, which the machine's clause matcher tests at call time: a mismatch
// moves on to the next clause.
//
// Both read vector and map patterns by the same rules; where they differ is spelled out at each
// compiler. Entries of a map pattern are read in the order they were written, so that which of
// two defaults applies, or which of two bad entries is reported, never depends on hashing.
#include <algorithm>
#include <string>

#include "builtins/builtin_info.hpp"
#include "util/depth_guard.hpp"
#include "value/numbers.hpp"
#include "value/type_registry.hpp"
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

CompileFailure nested_too_deeply(const Span& span) {
  return syntax_error("pattern nested too deeply", span);
}

// ---- Reading vector patterns ----

// One walk over a vector pattern's elements, shared by both compilers. The callbacks see the
// `:as` name, each positional element and the rest pattern in the order they are written; the
// walk reports the shape errors at the point it meets them.
struct VectorWalk {
  // Where "expected symbol after :as" points when `:as` is the last element: the whole vector in
  // binding positions, the `:as` keyword in clause positions.
  bool missing_as_at_vector = false;
  Span vector_span;
};

template <class OnAs, class OnElement, class OnRest>
CompileResult walk_vector_pattern(const Form& vector, VectorWalk how, OnAs on_as,
                                  OnElement on_element, OnRest on_rest) {
  const FormList elements = elements_of(vector);
  bool seen_rest = false;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const Form& element = *elements[i];
    if (is_plain_keyword(element, "as")) {
      if (i + 1 == elements.size()) {
        return fail("expected symbol after :as",
                    how.missing_as_at_vector ? how.vector_span : span_of(element));
      }
      const Form& name = *elements[++i];
      if (kind_of(name) != FormKind::Symbol) {
        return fail("expected symbol after :as", span_of(name));
      }
      QV_TRY(on_as(name));
    } else if (is_plain_symbol(element, "&")) {
      if (seen_rest) return fail("multiple & in pattern", span_of(element));
      if (i + 1 == elements.size()) return fail("expected pattern after &", span_of(element));
      seen_rest = true;
      QV_TRY(on_rest(*elements[++i]));
    } else if (seen_rest) {
      return fail("only :as allowed after rest parameter", span_of(element));
    } else {
      QV_TRY(on_element(element));
    }
  }
  return {};
}

// ---- Reading map patterns ----

struct NamedBinding {
  std::string_view name;
  Span span;
};

// The entries of a map pattern, sorted out and checked.
struct MapPatternParts {
  std::optional<NamedBinding> as;
  // :keys, :strs, :syms, in that order.
  std::vector<NamedBinding> lists[3];
  // (key form, default form) of the :or map, in text order.
  std::vector<std::pair<const Form*, const Form*>> defaults;
  // (sub-pattern, lookup key form), in text order.
  std::vector<std::pair<const Form*, const Form*>> pairs;
};

enum ListKind : std::size_t { kKeys = 0, kStrs = 1, kSyms = 2 };

// The entries of a map form in the order they were written. Keys without a position (forms a
// macro built) come after the others, in the map's own order.
std::vector<std::pair<const Form*, const Form*>> entries_in_text_order(const Form& map) {
  auto entries = entries_of(map);
  std::stable_sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) {
    const Span sx = span_of(*x.first);
    const Span sy = span_of(*y.first);
    if (sx && sy) return sx->start < sy->start;
    return sx.has_value() && !sy.has_value();
  });
  return entries;
}

// The names of a :keys, :strs or :syms list: symbols without namespace.
CompileOr<std::vector<NamedBinding>> collect_binding_names(const Form& list) {
  if (kind_of(list) != FormKind::Vector) return fail("expected vector of symbols", span_of(list));
  std::vector<NamedBinding> names;
  for (const Form* element : elements_of(list)) {
    const Form& e = unwrap(*element);
    if (e.kind() != FormKind::Symbol || e.ns()) {
      return fail("expected symbol in binding list", span_of(*element));
    }
    names.push_back(NamedBinding{e.name(), span_of(*element)});
  }
  return names;
}

CompileOr<MapPatternParts> read_map_pattern(const Form& map) {
  MapPatternParts parts;
  for (const auto& [key_form, value_form] : entries_in_text_order(map)) {
    const Form& key = unwrap(*key_form);
    const bool option = key.kind() == FormKind::Keyword && !key.ns();
    if (option && key.name() == "or") {
      if (kind_of(*value_form) != FormKind::Map) {
        return fail("expected map after :or", span_of(*value_form));
      }
      parts.defaults = entries_in_text_order(*value_form);
    } else if (option && key.name() == "as") {
      if (kind_of(*value_form) != FormKind::Symbol) {
        return fail("expected symbol after :as", span_of(*value_form));
      }
      parts.as = NamedBinding{name_of(*value_form).name, span_of(*value_form)};
    } else if (option && (key.name() == "keys" || key.name() == "strs" || key.name() == "syms")) {
      const ListKind list = key.name() == "keys" ? kKeys : key.name() == "strs" ? kStrs : kSyms;
      QV_TRY_ASSIGN(parts.lists[list], collect_binding_names(*value_form));
    } else {
      // Any other key is a sub-pattern, looked up under the entry's value.
      parts.pairs.emplace_back(key_form, value_form);
    }
  }
  return parts;
}

// The lookup key of a name of one of the three lists: `:n`, the string "n" or the symbol `n`.
CompileOr<Value> list_key(Compiler& c, ListKind list, std::string_view name, const Span& span) {
  switch (list) {
  case kKeys:
    return Value::keyword(intern_name(c, name));
  case kStrs:
    return stage_string(c, name, span);
  case kSyms:
    return Value::symbol(intern_name(c, name));
  }
  return Value::nil();
}

// ---- Variant constructors ----

// The constructor a list pattern's head names: a symbol without namespace that `defdata` declared
// and that no local of the current function (or of the inline `match` clause) hides.
std::optional<ConstructorEntry> constructor_named(Compiler& c, const Form& head) {
  const Form& h = unwrap(head);
  if (h.kind() != FormKind::Symbol || h.ns()) return std::nullopt;
  const Spur name = intern_name(c, h.name());
  auto it = c.variant_constructors.find(name);
  if (it == c.variant_constructors.end() || current(c).resolve_clause_local(name)) {
    return std::nullopt;
  }
  return it->second;
}

CompileFailure wrong_field_count(std::string_view name, std::size_t expected, std::size_t got,
                                 const Span& span) {
  return syntax_error("variant " + std::string(name) + " expects " + std::to_string(expected) +
                          " fields, got " + std::to_string(got),
                      span);
}

using SubPatternCompiler = CompileOr<Pattern> (*)(Compiler&, const Form&, BoundNames&);

struct ListPatternTexts {
  const char* message;
  const char* non_symbol_hint;
};

// `(Head p1 ... pk)` in clause positions: a variant test whose fields match the sub-patterns.
CompileOr<Pattern> compile_variant_pattern(Compiler& c, const FormList& items, const Span& span,
                                           BoundNames& bound, SubPatternCompiler sub,
                                           const ListPatternTexts& texts) {
  const Form& head = *items[0];
  std::optional<ConstructorEntry> ctor = constructor_named(c, head);
  if (!ctor) {
    std::string hint = texts.non_symbol_hint;
    if (kind_of(head) == FormKind::Symbol) {
      const std::string name(name_of(head).name);
      hint = "`" + name + "` is not a known variant constructor \xE2\x80\x94 define it with " +
             "(defdata Type (" + name + " [...]))";
    }
    return std::unexpected(CompileFailure::syntax(texts.message, span, std::move(hint)));
  }
  const std::size_t k = items.size() - 1;
  if (ctor->field_count != k) {
    return std::unexpected(wrong_field_count(name_of(head).name, ctor->field_count, k, span));
  }
  Pattern p;
  p.kind = Pattern::Kind::Variant;
  p.type_id = ctor->type_id;
  p.variant_index = ctor->variant_index;
  p.elements.reserve(k);
  for (std::size_t i = 1; i < items.size(); ++i) {
    QV_TRY_ASSIGN(Pattern field, sub(c, *items[i], bound));
    p.elements.push_back(std::move(field));
  }
  return p;
}

// ---- Clause positions ----

CompileOr<std::uint8_t> declare_bound(Compiler& c, std::string_view text, const Span& span,
                                      BoundNames& bound) {
  const Spur name = intern_name(c, text);
  QV_TRY_ASSIGN(std::uint8_t slot, current(c).declare_local(name, span));
  bound.push_back(BoundName{name, span});
  return slot;
}

CompileOr<Pattern> compile_seq_pattern(Compiler& c, const Form& vector, BoundNames& bound) {
  Pattern p;
  p.kind = Pattern::Kind::Seq;
  QV_TRY(walk_vector_pattern(
      vector, VectorWalk{false, std::nullopt},
      [&](const Form& name) -> CompileResult {
        // The whole-value name is not compared with the names bound before it.
        QV_TRY_ASSIGN(p.as_slot, declare_bound(c, name_of(name).name, span_of(name), bound));
        p.has_as = 1;
        return {};
      },
      [&](const Form& element) -> CompileResult {
        QV_TRY_ASSIGN(Pattern e, compile_pattern(c, element, bound));
        p.elements.push_back(std::move(e));
        return {};
      },
      [&](const Form& rest) -> CompileResult {
        QV_TRY_ASSIGN(Pattern r, compile_pattern(c, rest, bound));
        p.rest = std::make_unique<Pattern>(std::move(r));
        return {};
      }));
  return p;
}

} // namespace

CompileOr<Pattern> compile_map_destructure(Compiler& c, const Form& map, BoundNames& bound) {
  QV_TRY_ASSIGN(MapPatternParts parts, read_map_pattern(map));
  Pattern p;
  p.kind = Pattern::Kind::Map;
  if (parts.as) {
    QV_TRY_ASSIGN(p.as_slot, declare_bound(c, parts.as->name, parts.as->span, bound));
    p.has_as = 1;
  }
  // The key constant of each list name, for the defaults below.
  std::vector<std::pair<std::string_view, std::uint16_t>> list_keys[3];
  for (ListKind list : {kKeys, kStrs, kSyms}) {
    for (const NamedBinding& n : parts.lists[list]) {
      QV_TRY_ASSIGN(Value key, list_key(c, list, n.name, n.span));
      QV_TRY_ASSIGN(std::uint16_t k, constant_index(c, key, n.span));
      QV_TRY_ASSIGN(std::uint8_t slot, declare_bound(c, n.name, n.span, bound));
      list_keys[list].emplace_back(n.name, k);
      p.entries.push_back(MapPatternEntry{k, Pattern::bind(slot)});
    }
  }
  std::vector<std::pair<const Form*, std::uint16_t>> pair_keys;
  for (const auto& [sub, lookup] : parts.pairs) {
    QV_TRY_ASSIGN(Value key, form_to_value(c, *lookup));
    QV_TRY_ASSIGN(std::uint16_t k, constant_index(c, key, span_of(*lookup)));
    QV_TRY_ASSIGN(Pattern e, compile_pattern(c, *sub, bound));
    pair_keys.emplace_back(lookup, k);
    p.entries.push_back(MapPatternEntry{k, std::move(e)});
  }
  // Defaults are data, fixed now. One for a list name shares that name's key constant; any other
  // key is a quoted lookup key, so explicit pairs can have defaults too.
  for (const auto& [key_form, value_form] : parts.defaults) {
    std::optional<std::uint16_t> key;
    if (kind_of(*key_form) == FormKind::Symbol) {
      const std::string_view name = name_of(*key_form).name;
      for (const auto& keys : list_keys) {
        for (const auto& [n, k] : keys) {
          if (!key && n == name) key = k;
        }
      }
    }
    // A default written with the same key as a pair shares that pair's constant: each string
    // literal is an object of its own, so converting the key again would never meet the pair.
    for (const auto& [lookup, k] : pair_keys) {
      if (!key && form_eq(*lookup, *key_form)) key = k;
    }
    if (!key) {
      QV_TRY_ASSIGN(Value v, form_to_value(c, *key_form));
      QV_TRY_ASSIGN(key, constant_index(c, v, span_of(*key_form)));
    }
    QV_TRY_ASSIGN(Value d, form_to_value(c, *value_form));
    QV_TRY_ASSIGN(std::uint16_t dk, constant_index(c, d, span_of(*value_form)));
    p.defaults.push_back(MapPatternDefault{*key, dk});
  }
  return p;
}

CompileOr<Pattern> compile_pattern(Compiler& c, const Form& form, BoundNames& bound) {
  DepthGuard guard;
  const Span span = span_of(form);
  if (!guard) return std::unexpected(nested_too_deeply(span));
  const Form& p = unwrap(form);
  auto literal = [&](const Value& v) -> CompileOr<Pattern> {
    QV_TRY_ASSIGN(std::uint16_t k, constant_index(c, v, span));
    return Pattern::literal(k);
  };
  switch (p.kind()) {
  case FormKind::Nil:
    return literal(Value::nil());
  case FormKind::Bool:
    return literal(Value::from_bool(p.as_bool()));
  case FormKind::Int:
    return literal(Value::from_int(p.as_int()));
  case FormKind::Float:
    return literal(Value::from_float(p.as_float()));
  case FormKind::Ratio: {
    FormRatio ratio = p.as_ratio();
    auto value = normalize_fraction(ratio.num, ratio.den);
    if (!value) return fail("invalid ratio literal", span);
    return literal(*value);
  }
  case FormKind::String: {
    QV_TRY_ASSIGN(Value text, stage_string(c, p.as_string(), span));
    return literal(text);
  }
  case FormKind::Keyword:
    return literal(Value::keyword(intern_qualified(c, name_of(p))));
  case FormKind::Symbol: {
    // A namespaced symbol is a literal of its name part; a plain one binds.
    if (p.ns()) return literal(Value::symbol(intern_name(c, p.name())));
    if (p.name() == "_") return Pattern::wildcard();
    const Spur name = intern_name(c, p.name());
    for (const BoundName& b : bound) {
      if (b.name != name) continue;
      CompileFailure f = CompileFailure::make(CompileErrorKind::Tag::DuplicateParameter,
                                              std::string(p.name()), span);
      if (b.span) f.labels.push_back(CompileLabel{"first defined here", *b.span, 1});
      return std::unexpected(std::move(f));
    }
    QV_TRY_ASSIGN(std::uint8_t slot, declare_bound(c, p.name(), span, bound));
    return Pattern::bind(slot);
  }
  case FormKind::Vector:
    return compile_seq_pattern(c, p, bound);
  case FormKind::Map:
    return compile_map_destructure(c, p, bound);
  case FormKind::List: {
    FormList items = elements_of(p);
    if (items.empty()) return fail("invalid pattern", span);
    return compile_variant_pattern(
        c, items, span, bound, compile_pattern,
        {"list patterns require a variant constructor",
         "list patterns like (Foo x) require Foo to be a variant constructor defined via defdata"});
  }
  default:
    return fail("invalid pattern", span);
  }
}

CompileOr<Pattern> compile_match_pattern(Compiler& c, const Form& form, BoundNames& bound) {
  DepthGuard guard;
  const Span span = span_of(form);
  if (!guard) return std::unexpected(nested_too_deeply(span));
  if (is_plain_symbol(form, "_")) return Pattern::wildcard();
  if (kind_of(form) == FormKind::List) {
    FormList items = elements_of(form);
    if (!items.empty()) {
      return compile_variant_pattern(c, items, span, bound, compile_match_pattern,
                                     {"list patterns are only supported for variant constructors "
                                      "in match",
                                      "match patterns like (Foo x) require Foo to be a variant "
                                      "constructor defined via defdata"});
    }
  }
  return compile_pattern(c, form, bound);
}

// ---- Binding positions ----

namespace {

// Code for `(builtin args...)` whose arguments are already on the stack.
void emit_builtin_call(Compiler& c, std::uint16_t row, std::uint8_t argc, const Span& span) {
  FunctionContext& ctx = current(c);
  ctx.record_span(span);
  ctx.emit_ab(Opcode::CallBuiltin, row, argc);
}

CompileOr<std::uint8_t> declare_named(Compiler& c, std::string_view text, const Span& span) {
  return current(c).declare_local(intern_name(c, text), span);
}

CompileResult store_in_new_local(Compiler& c, std::string_view text, const Span& span) {
  QV_TRY_ASSIGN(std::uint8_t slot, declare_named(c, text, span));
  current(c).emit_instruction(Opcode::SetLocal, slot);
  return {};
}

// Declares the hidden local that holds the value being taken apart and stores a copy of it there;
// the value itself stays on the stack until the pattern's final Pop.
CompileOr<std::uint8_t> hold_destructured_value(Compiler& c, std::string_view hidden_name) {
  QV_TRY_ASSIGN(std::uint8_t slot, declare_named(c, hidden_name, std::nullopt));
  FunctionContext& ctx = current(c);
  ctx.emit_instruction(Opcode::Dup);
  ctx.emit_instruction(Opcode::SetLocal, slot);
  return slot;
}

CompileResult destructure_vector(Compiler& c, const Form& vector, const Span& span) {
  // First the shape, with nothing emitted; then the code.
  const Form* as_name = nullptr;
  FormList positional;
  const Form* rest = nullptr;
  QV_TRY(walk_vector_pattern(
      vector, VectorWalk{true, span},
      [&](const Form& name) -> CompileResult {
        as_name = &name;
        return {};
      },
      [&](const Form& element) -> CompileResult {
        positional.push_back(&element);
        return {};
      },
      [&](const Form& r) -> CompileResult {
        rest = &r;
        return {};
      }));

  QV_TRY_ASSIGN(std::uint8_t coll, hold_destructured_value(c, "__destruct_coll__"));
  if (as_name != nullptr) {
    current(c).emit_instruction(Opcode::GetLocal, coll);
    QV_TRY(store_in_new_local(c, name_of(*as_name).name, span_of(*as_name)));
  }
  for (std::size_t i = 0; i < positional.size(); ++i) {
    current(c).emit_instruction(Opcode::GetLocal, coll);
    QV_TRY(emit_constant(c, Value::from_int(static_cast<std::int64_t>(i)), span));
    emit_builtin_call(c, BUILTIN_NTH, 2, span);
    QV_TRY(compile_destructure(c, *positional[i]));
  }
  if (rest != nullptr) {
    QV_TRY(emit_constant(c, Value::from_int(static_cast<std::int64_t>(positional.size())), span));
    current(c).emit_instruction(Opcode::GetLocal, coll);
    emit_builtin_call(c, BUILTIN_DROP, 2, span);
    QV_TRY(compile_destructure(c, *rest));
  }
  current(c).emit_instruction(Opcode::Pop);
  return {};
}

} // namespace

CompileResult compile_map_destructure_let(Compiler& c, const Form& map, const Span& span) {
  QV_TRY_ASSIGN(MapPatternParts parts, read_map_pattern(map));
  if (parts.as) {
    current(c).emit_instruction(Opcode::Dup);
    QV_TRY(store_in_new_local(c, parts.as->name, parts.as->span));
  }
  for (ListKind list : {kKeys, kStrs, kSyms}) {
    for (const NamedBinding& n : parts.lists[list]) {
      current(c).emit_instruction(Opcode::Dup);
      QV_TRY_ASSIGN(Value key, list_key(c, list, n.name, n.span));
      QV_TRY(emit_constant(c, key, n.span));
      // A default is an expression, evaluated each time, before the lookup and whether or not
      // the key is there; it applies only when the key is absent (that is `get`'s rule).
      std::uint8_t argc = 2;
      for (const auto& [key_form, value_form] : parts.defaults) {
        if (kind_of(*key_form) != FormKind::Symbol || name_of(*key_form).name != n.name) continue;
        NotTail scope(c);
        QV_TRY(compile_expr(c, *value_form));
        argc = 3;
        break;
      }
      emit_builtin_call(c, BUILTIN_GET, argc, span);
      QV_TRY(store_in_new_local(c, n.name, n.span));
    }
  }
  for (const auto& [sub, lookup] : parts.pairs) {
    current(c).emit_instruction(Opcode::Dup);
    QV_TRY_ASSIGN(Value key, form_to_value(c, *lookup));
    QV_TRY(emit_constant(c, key, span_of(*lookup)));
    emit_builtin_call(c, BUILTIN_GET, 2, std::nullopt);
    QV_TRY(compile_destructure(c, *sub));
  }
  current(c).emit_instruction(Opcode::Pop);
  return {};
}

CompileResult compile_variant_destructure(Compiler& c, Spur constructor, FormSpan sub_patterns,
                                          const Span& span) {
  auto entry = c.variant_constructors.find(constructor);
  if (entry == c.variant_constructors.end()) throw InternalError("variant constructor vanished");
  const TypeInfo* type = c.host->types().find(entry->second.type_id);
  if (type == nullptr || entry->second.variant_index >= type->variants.size()) {
    throw InternalError("variant constructor without its type");
  }
  // A copy: compiling the sub-patterns may declare further types' names, never this one's fields.
  const std::vector<Spur> fields = type->variants[entry->second.variant_index].field_names;
  if (fields.size() != sub_patterns.size()) throw InternalError("variant field count changed");

  QV_TRY_ASSIGN(std::uint8_t held, hold_destructured_value(c, "__destruct_variant__"));
  // No test of the type: each field is `(get value :field)`, whatever the value is.
  for (std::size_t i = 0; i < fields.size(); ++i) {
    current(c).emit_instruction(Opcode::GetLocal, held);
    QV_TRY(emit_constant(c, Value::keyword(fields[i]), span));
    emit_builtin_call(c, BUILTIN_GET, 2, span);
    QV_TRY(compile_destructure(c, *sub_patterns[i]));
  }
  current(c).emit_instruction(Opcode::Pop);
  return {};
}

CompileResult compile_destructure(Compiler& c, const Form& pattern) {
  DepthGuard guard;
  const Span span = span_of(pattern);
  if (!guard) return std::unexpected(nested_too_deeply(span));
  const Form& p = unwrap(pattern);
  switch (p.kind()) {
  case FormKind::Symbol:
    if (p.ns()) break;
    if (p.name() == "_") {
      current(c).emit_instruction(Opcode::Pop);
      return {};
    }
    return store_in_new_local(c, p.name(), span);
  case FormKind::Vector:
    return destructure_vector(c, p, span);
  case FormKind::Map:
    return compile_map_destructure_let(c, p, span);
  case FormKind::List: {
    FormList items = elements_of(p);
    if (items.empty()) break;
    std::optional<ConstructorEntry> ctor = constructor_named(c, *items[0]);
    if (!ctor) {
      return fail("list patterns in let bindings are only supported for ADT variant destructuring",
                  span);
    }
    const std::size_t k = items.size() - 1;
    const std::string_view name = name_of(*items[0]).name;
    if (ctor->field_count != k) {
      return std::unexpected(wrong_field_count(name, ctor->field_count, k, span));
    }
    return compile_variant_destructure(c, intern_name(c, name), FormSpan(items).subspan(1), span);
  }
  default:
    break;
  }
  return fail("only simple symbol patterns supported in let bindings", span);
}

} // namespace quorvex
