// Forms as values, for two destinations: constants of the code being compiled (the operand of
// `quote`), made in the staging heap, where collections are hash-consed, so quoting an equal
// vector twice gives one object, while every string literal is an object of its own; and the
// arguments of a macro call, made in the machine's heap (macro_values.cpp).
#include <string>

#include "util/depth_guard.hpp"
#include "value/hash_cons.hpp"
#include "value/keys.hpp"
#include "value/numbers.hpp"
#include "value/strings.hpp"
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

// The staging heap of the code being compiled: collections hash-consed, a string per literal.
class StagingDestination final : public FormDestination {
public:
  explicit StagingDestination(Compiler& c) : c_(c) {}
  Spur intern(const NameView& name) override { return intern_qualified(c_, name); }
  Guarded<Value> string(std::string_view text) override {
    return stage_string_object(c_.staging_heap, text);
  }
  Guarded<Value> object(HeapObject object) override {
    Guarded<HeapKey> key = HeapKey{};
    switch (object.kind()) {
    case ObjectKind::Seq:
      key = intern_seq(c_.staging_heap, std::move(*object.get_if<SeqObject>()));
      break;
    case ObjectKind::Map:
      key = intern_map(c_.staging_heap, std::move(*object.get_if<MapObject>()));
      break;
    case ObjectKind::Set:
      key = intern_set(c_.staging_heap, std::move(*object.get_if<SetObject>()));
      break;
    default:
      key = heap_insert(c_.staging_heap, std::move(object));
      break;
    }
    if (!key) return std::unexpected(key.error());
    return Value::object(*key);
  }
  Guarded<Value> key(Value v) override { return canonical_key(c_.staging_heap, v); }
  bool interrupted() override { return compile_interrupted(c_); }

private:
  Compiler& c_;
};

} // namespace

CompileOr<Value> convert_form(FormDestination& to, const Form& outer) {
  DepthGuard guard;
  const Span span = span_of(outer);
  if (!guard) return fail("form nested too deeply", span);
  if (to.interrupted()) return std::unexpected(compile_interrupted_failure(span));
  auto made = [&span](Guarded<Value> v) -> CompileOr<Value> {
    if (!v) return fail(value_fault_text(v.error()), span);
    return *v;
  };
  // Maps and sets compare keys by identity, so a map key or set element enters in its canonical
  // form, exactly as canonical_key makes it at run time.
  auto key = [&to](const Form& form) -> CompileOr<Value> {
    QV_TRY_ASSIGN(Value v, convert_form(to, form));
    Guarded<Value> k = to.key(v);
    if (!k) return fail(value_fault_text(k.error()), span_of(form));
    return *k;
  };
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
    return made(to.string(form.as_string()));
  case FormKind::Symbol:
    return Value::symbol(to.intern(name_of(form)));
  case FormKind::Keyword:
    return Value::keyword(to.intern(name_of(form)));
  case FormKind::List:
  case FormKind::Vector: {
    ValueVector items;
    for (const Form& element : form.items()) {
      QV_TRY_ASSIGN(Value v, convert_form(to, element));
      items.push_back_mut(v);
    }
    return made(
        to.object(HeapObject(SeqObject{std::move(items), form.kind() == FormKind::Vector})));
  }
  case FormKind::Map: {
    ValueMap map(next_random_keys());
    for (const auto& entry : form.as_map()) {
      QV_TRY_ASSIGN(Value k, key(entry.first));
      QV_TRY_ASSIGN(Value v, convert_form(to, entry.second));
      map.insert_mut(k, v);
    }
    return made(to.object(HeapObject(MapObject{std::move(map)})));
  }
  case FormKind::Set: {
    ValueSet set(next_random_keys());
    for (const Form& element : form.as_set()) {
      QV_TRY_ASSIGN(Value v, key(element));
      set.insert_mut(v);
    }
    return made(to.object(HeapObject(SetObject{std::move(set)})));
  }
  case FormKind::Regex:
    return made(to.object(HeapObject(RegexObject{form.as_regex()})));
  case FormKind::NativeFn:
  case FormKind::Optic:
  case FormKind::Effect:
  case FormKind::Atom:
  case FormKind::Spanned:
    break;
  }
  return std::unexpected(CompileFailure::make(CompileErrorKind::Tag::UnsupportedExpression,
                                              "cannot quote this value", span));
}

CompileOr<Value> form_to_value(Compiler& c, const Form& form) {
  StagingDestination to(c);
  return convert_form(to, form);
}

} // namespace quorvex
