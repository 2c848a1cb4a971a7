// `defdata`: a data type and its variants. The type is registered while the form compiles, so
// that patterns later in the same form (and in every later form) can name its variants; the
// constructors and predicates are global functions that exist once the emitted code has run.
//
// Everything that can fail is checked before the registration: a failing `defdata` leaves no type
// behind.
#include <string>

#include "value/type_registry.hpp"
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

struct VariantDecl {
  std::string text;
  Spur name = 0;
  std::vector<Spur> fields;
};

CompileOr<VariantDecl> read_variant_decl(Compiler& c, const Form& decl) {
  if (kind_of(decl) != FormKind::List) {
    return fail("variant spec must be a list like (Name [field1 field2])", span_of(decl));
  }
  const FormList items = elements_of(decl);
  if (items.empty()) return fail("empty variant spec", span_of(decl));
  if (kind_of(*items[0]) != FormKind::Symbol) {
    return fail("variant name must be a symbol", span_of(*items[0]));
  }
  VariantDecl out;
  out.text = std::string(name_of(*items[0]).name);
  out.name = intern_name(c, out.text);
  // Items after the field vector are ignored.
  if (items.size() >= 2) {
    if (kind_of(*items[1]) != FormKind::Vector) {
      return fail("variant fields must be a vector", span_of(*items[1]));
    }
    for (const Form* field : elements_of(*items[1])) {
      if (kind_of(*field) != FormKind::Symbol) {
        return fail("field name must be a symbol", span_of(*field));
      }
      out.fields.push_back(intern_name(c, name_of(*field).name));
    }
  }
  if (out.fields.size() > TypeRegistry::kMaxFields) {
    return fail(registry_error_text(RegistryError::TooManyFields), span_of(decl));
  }
  return out;
}

// Binds the closure on top of the stack to the global `name` and drops it. Calls by that name
// later in this form go through the global.
CompileResult define_and_drop(Compiler& c, Spur name) {
  QV_TRY_ASSIGN(std::uint16_t k, symbol_constant(c, name, std::nullopt));
  FunctionContext& ctx = current(c);
  ctx.emit_instruction(Opcode::Dup);
  ctx.emit_ab(Opcode::DefineGlobal, k);
  ctx.emit_instruction(Opcode::Pop);
  c.redefined_names.insert(name);
  return {};
}

CompileResult emit_constructor(Compiler& c, const VariantDecl& decl, std::uint16_t type_id,
                               std::uint8_t variant_index) {
  const auto arity = static_cast<std::uint8_t>(decl.fields.size());
  push_function(c, decl.name, arity, false);
  current(c).push_scope();
  for (Spur field : decl.fields)
    QV_TRY(current(c).declare_local(field, std::nullopt));
  for (std::uint8_t i = 0; i < arity; ++i)
    current(c).emit_instruction(Opcode::GetLocal, i);
  current(c).emit_ab(Opcode::MakeVariant, type_id, variant_index);
  current(c).emit_instruction(Opcode::Return);
  const std::uint32_t proto = register_prototype(c, finish_function(c));
  if (proto <= kMaxU16Operand) {
    QV_TRY(emit_closure(c, {}, proto, nullptr, std::nullopt));
  } else {
    FunctionRef record = FunctionRef::plain(proto, arity, 0);
    QV_TRY(emit_closure(c, {}, 0, &record, std::nullopt));
  }
  return define_and_drop(c, decl.name);
}

// One clause of a predicate: true for a value of the variant (its fields bound to slots 1..n and
// not used), or false for anything (a wildcard).
CompileOr<FunctionClause> predicate_clause(Compiler& c, Spur name, const VariantDecl* variant,
                                           std::uint16_t type_id, std::uint8_t variant_index) {
  push_function(c, name, 1, false);
  current(c).push_scope();
  QV_TRY(current(c).declare_local(intern_name(c, "x__match"), std::nullopt));
  FunctionClause clause;
  clause.arity = 1;
  Pattern pattern = Pattern::wildcard();
  if (variant != nullptr) {
    pattern.kind = Pattern::Kind::Variant;
    pattern.type_id = type_id;
    pattern.variant_index = variant_index;
    for (std::size_t i = 0; i < variant->fields.size(); ++i) {
      QV_TRY_ASSIGN(std::uint8_t slot, current(c).declare_local(
                                           intern_name(c, "_f" + std::to_string(i)), std::nullopt));
      pattern.elements.push_back(Pattern::bind(slot));
    }
  }
  QV_TRY(emit_constant(c, Value::from_bool(variant != nullptr), std::nullopt));
  current(c).emit_instruction(Opcode::Return);
  clause.body_prototype = register_prototype(c, finish_function(c));
  clause.patterns.push_back(std::move(pattern));
  return clause;
}

// A predicate answering true for the given variants of the type and false for anything else.
CompileResult emit_predicate(Compiler& c, const std::string& subject, std::uint16_t type_id,
                             const std::vector<VariantDecl>& decls, std::size_t first,
                             std::size_t count) {
  const Spur name = intern_name(c, subject + "?");
  std::vector<FunctionClause> clauses;
  for (std::size_t i = first; i < first + count; ++i) {
    QV_TRY_ASSIGN(FunctionClause clause,
                  predicate_clause(c, name, &decls[i], type_id, static_cast<std::uint8_t>(i)));
    clauses.push_back(std::move(clause));
  }
  QV_TRY_ASSIGN(FunctionClause otherwise, predicate_clause(c, name, nullptr, type_id, 0));
  clauses.push_back(std::move(otherwise));
  FunctionRef record(std::move(clauses));
  QV_TRY(emit_closure(c, {}, 0, &record, std::nullopt));
  return define_and_drop(c, name);
}

} // namespace

CompileResult compile_defdata(Compiler& c, FormSpan items) {
  const Span head = span_of(*items[0]);
  if (items.size() < 2) return fail("defdata requires a type name", head);
  if (kind_of(*items[1]) != FormKind::Symbol) {
    return fail("defdata name must be a symbol", span_of(*items[1]));
  }
  const std::string type_text(name_of(*items[1]).name);
  const Spur type_name = intern_name(c, type_text);

  std::vector<VariantDecl> decls;
  decls.reserve(items.size() - 2);
  for (std::size_t i = 2; i < items.size(); ++i) {
    QV_TRY_ASSIGN(VariantDecl decl, read_variant_decl(c, *items[i]));
    decls.push_back(std::move(decl));
  }
  if (decls.size() > TypeRegistry::kMaxVariants) {
    return fail(registry_error_text(RegistryError::TooManyVariants), head);
  }
  TypeRegistry& types = c.host->types();
  std::expected<std::uint32_t, RegistryError> next_id = types.next_type_id();
  if (!next_id) return fail(registry_error_text(next_id.error()), head);

  // The shared instance of each variant without fields, made with the id the type is about to
  // receive; the registry roots it from the registration on.
  std::vector<VariantInfo> infos;
  infos.reserve(decls.size());
  for (std::size_t i = 0; i < decls.size(); ++i) {
    std::optional<HeapKey> singleton;
    if (decls[i].fields.empty()) {
      singleton = c.host->insert_machine_object(
          HeapObject(Variant{{}, VariantTag::make(*next_id, static_cast<std::uint32_t>(i))}));
    }
    std::expected<VariantInfo, RegistryError> info =
        make_variant_info(decls[i].name, decls[i].fields, singleton);
    if (!info) throw InternalError("variant checked before registration was refused");
    infos.push_back(std::move(*info));
  }
  std::expected<std::uint32_t, RegistryError> registered =
      types.register_data_type(type_name, std::move(infos));
  if (!registered || *registered != *next_id) {
    throw InternalError("data type checked before registration was refused");
  }
  const auto type_id = static_cast<std::uint16_t>(*registered);
  for (std::size_t i = 0; i < decls.size(); ++i) {
    c.variant_constructors.insert_or_assign(
        decls[i].name, ConstructorEntry{type_id, static_cast<std::uint8_t>(i),
                                        static_cast<std::uint32_t>(decls[i].fields.size())});
  }

  // Definitions in this order: constructors, variant predicates, the type predicate.
  for (std::size_t i = 0; i < decls.size(); ++i)
    QV_TRY(emit_constructor(c, decls[i], type_id, static_cast<std::uint8_t>(i)));
  for (std::size_t i = 0; i < decls.size(); ++i)
    QV_TRY(emit_predicate(c, decls[i].text, type_id, decls, i, 1));
  QV_TRY(emit_predicate(c, type_text, type_id, decls, 0, decls.size()));
  return emit_constant(c, Value::nil(), std::nullopt);
}

} // namespace quorvex
