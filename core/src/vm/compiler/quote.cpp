// Forms as constants of the code being compiled: the operand of `quote`. Objects are made in the
// staging heap; collections are hash-consed there, so quoting an equal vector twice gives one
// object, while every string literal is an object of its own.
#include <string>

#include "util/depth_guard.hpp"
#include "value/hash_cons.hpp"
#include "value/keys.hpp"
#include "value/numbers.hpp"
#include "value/strings.hpp"
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

CompileFailure cannot_quote(const Span& span) {
  return CompileFailure::make(CompileErrorKind::Tag::UnsupportedExpression,
                              "cannot quote this value", span);
}

CompileOr<HeapKey> guarded_key(Guarded<HeapKey> key, const Span& span) {
  if (!key) return fail(value_fault_text(key.error()), span);
  return *key;
}

// A map key or set element. Maps and sets compare keys by identity, so a key enters in its
// canonical form, exactly as canonical_key makes it at run time.
CompileOr<Value> form_to_key(Compiler& c, const Form& form) {
  QV_TRY_ASSIGN(Value v, form_to_value(c, form));
  Guarded<Value> key = canonical_key(c.staging_heap, v);
  if (!key) return fail(value_fault_text(key.error()), span_of(form));
  return *key;
}

} // namespace

CompileOr<Value> form_to_value(Compiler& c, const Form& outer) {
  DepthGuard guard;
  const Span span = span_of(outer);
  if (!guard) return fail("form nested too deeply", span);
  const Form& form = unwrap(outer);
  switch (form.kind()) {
  case FormKind::Nil:
    return Value::nil();
  case FormKind::Bool:
    return Value::from_bool(form.as_bool());
  case FormKind::Int:
    return Value::from_int(form.as_int());
  case FormKind::Float:
    return Value::from_float(form.as_float());
  case FormKind::Ratio: {
    // Runtime values are normalised: '4/2 is the integer 2.
    FormRatio ratio = form.as_ratio();
    auto value = normalize_fraction(ratio.num, ratio.den);
    if (!value) return fail("invalid ratio literal", span);
    return *value;
  }
  case FormKind::String:
    return stage_string(c, form.as_string(), span);
  case FormKind::Symbol:
    return Value::symbol(intern_qualified(c, name_of(form)));
  case FormKind::Keyword:
    return Value::keyword(intern_qualified(c, name_of(form)));
  case FormKind::List:
  case FormKind::Vector: {
    ValueVector items;
    for (const Form& element : form.items()) {
      QV_TRY_ASSIGN(Value v, form_to_value(c, element));
      items.push_back_mut(v);
    }
    QV_TRY_ASSIGN(HeapKey key, guarded_key(intern_seq(c.staging_heap,
                                                      SeqObject{std::move(items),
                                                                form.kind() == FormKind::Vector}),
                                           span));
    return Value::object(key);
  }
  case FormKind::Map: {
    ValueMap map(next_random_keys());
    for (const auto& entry : form.as_map()) {
      QV_TRY_ASSIGN(Value k, form_to_key(c, entry.first));
      QV_TRY_ASSIGN(Value v, form_to_value(c, entry.second));
      map.insert_mut(k, v);
    }
    QV_TRY_ASSIGN(HeapKey key,
                  guarded_key(intern_map(c.staging_heap, MapObject{std::move(map)}), span));
    return Value::object(key);
  }
  case FormKind::Set: {
    ValueSet set(next_random_keys());
    for (const Form& element : form.as_set()) {
      QV_TRY_ASSIGN(Value v, form_to_key(c, element));
      set.insert_mut(v);
    }
    QV_TRY_ASSIGN(HeapKey key,
                  guarded_key(intern_set(c.staging_heap, SetObject{std::move(set)}), span));
    return Value::object(key);
  }
  case FormKind::Regex: {
    HeapKey key = heap_insert(c.staging_heap, HeapObject(RegexObject{form.as_regex()}));
    return Value::object(key);
  }
  case FormKind::NativeFn:
  case FormKind::Optic:
  case FormKind::Effect:
  case FormKind::Atom:
  case FormKind::Spanned:
    break;
  }
  return std::unexpected(cannot_quote(span));
}

} // namespace quorvex
