#include "vm/compiler/macro_values.hpp"

#include <string>

#include "util/depth_guard.hpp"
#include "value/keys.hpp"
#include "value/strings.hpp"
#include "vm/compiler/compiler_internal.hpp"

namespace quorvex {

namespace {

CompileFailure invalid_result(const char* text) {
  return CompileFailure::make(CompileErrorKind::Tag::InvalidMacroResult, text, std::nullopt);
}

Spur intern_qualified_in(Interner& interner, const NameView& name) {
  if (!name.ns) return interner.get_or_intern(name.name);
  std::string text;
  text.reserve(name.ns->size() + 1 + name.name.size());
  text.append(*name.ns).append("/").append(name.name);
  return interner.get_or_intern(text);
}

// The machine's heap: every object new, and rooted, since a collection may run while later parts
// are converted.
class MachineDestination final : public FormDestination {
public:
  MachineDestination(Interner& interner, Heap& heap, RootScope& roots)
      : interner_(interner), heap_(heap), roots_(roots) {}
  Spur intern(const NameView& name) override { return intern_qualified_in(interner_, name); }
  Guarded<Value> string(std::string_view text) override {
    return rooted(alloc_string(heap_, text));
  }
  Guarded<Value> object(HeapObject object) override {
    return rooted(Value::object(heap_alloc(heap_, std::move(object))));
  }
  Guarded<Value> key(Value v) override { return rooted(canonical_key(heap_, v)); }
  bool interrupted() override { return walk_interrupted(heap_); }

private:
  Guarded<Value> rooted(Guarded<Value> v) {
    if (v) roots_.add(*v);
    return v;
  }

  Interner& interner_;
  Heap& heap_;
  RootScope& roots_;
};

// "a/b/c": namespace a, name b/c; "/" alone is the name "/"; "/x" and "x/" have an empty part.
Form name_form(std::string_view text, bool keyword) {
  std::size_t slash = text.find('/');
  if (text == "/" || slash == std::string_view::npos) {
    return keyword ? Form::keyword(SharedText(text)) : Form::symbol(SharedText(text));
  }
  SharedText ns(text.substr(0, slash));
  SharedText name(text.substr(slash + 1));
  return keyword ? Form::keyword(std::move(name), std::move(ns))
                 : Form::symbol(std::move(name), std::move(ns));
}

struct MacroResult {
  const Heap& heap;
  const Interner& interner;

  CompileOr<Form> convert(const Value& v) {
    DepthGuard guard;
    if (!guard) return std::unexpected(invalid_result("value nested too deeply"));
    // A result that shares its parts ([v v] nested forty times) becomes a form with one node per
    // path, far more than the objects: the walk monitor may stop it.
    if (walk_interrupted(heap)) return std::unexpected(invalid_result("interrupted"));
    switch (v.tag) {
    case Tag::Nil:
      return Form::nil();
    case Tag::Bool:
      return Form::boolean(v.as.boolean & 1);
    case Tag::Int:
      return Form::integer(v.as.integer);
    case Tag::Float:
      return Form::floating(v.as.floating);
    case Tag::Ratio:
      return Form::ratio(v.as.ratio.num, v.as.ratio.den);
    case Tag::Symbol:
    case Tag::Keyword: {
      auto text = interner.try_resolve(v.as.spur);
      if (!text) throw InternalError("symbol id unknown to the interner");
      return name_form(*text, v.tag == Tag::Keyword);
    }
    case Tag::NativeFn:
      return std::unexpected(invalid_result("cannot convert native function to AST"));
    case Tag::Object:
      return convert_object(v.as.key);
    }
    return Form::nil();
  }

  CompileOr<Form> convert_object(HeapKey key) {
    const HeapObject* o = heap_get(heap, key);
    if (o == nullptr) return std::unexpected(invalid_result("invalid heap reference"));
    switch (o->kind()) {
    case ObjectKind::String:
      return Form::string(o->get_if<StringObject>()->text.view());
    case ObjectKind::Seq: {
      // Copied: converting the elements does not touch the heap, but the copy is O(1) anyway.
      const SeqObject seq = *o->get_if<SeqObject>();
      FormVec items;
      for (const Value& element : seq.items) {
        QV_TRY_ASSIGN(Form f, convert(element));
        items.push_back_mut(std::move(f));
      }
      return seq.is_vector ? Form::vector(std::move(items)) : Form::list(std::move(items));
    }
    case ObjectKind::Map: {
      const ValueMap map = o->get_if<MapObject>()->map;
      FormMap out(next_random_keys());
      for (const auto& entry : map) {
        QV_TRY_ASSIGN(Form k, convert(entry.first));
        QV_TRY_ASSIGN(Form val, convert(entry.second));
        out.insert_mut(std::move(k), std::move(val));
      }
      return Form::map(std::move(out));
    }
    case ObjectKind::Set: {
      const ValueSet set = o->get_if<SetObject>()->set;
      FormSet out(next_random_keys());
      for (const Value& element : set) {
        QV_TRY_ASSIGN(Form f, convert(element));
        out.insert_mut(std::move(f));
      }
      return Form::set(std::move(out));
    }
    case ObjectKind::KeyBox:
      return convert(o->get_if<KeyBox>()->value);
    case ObjectKind::Regex:
      return Form::regex(o->get_if<RegexObject>()->regex);
    case ObjectKind::Closure:
      return std::unexpected(invalid_result("cannot convert closure to AST"));
    case ObjectKind::ClosureTemplate:
      return std::unexpected(invalid_result("cannot convert closure template to AST"));
    case ObjectKind::Continuation:
      return std::unexpected(invalid_result("cannot convert continuation to AST"));
    case ObjectKind::Atom:
      return std::unexpected(invalid_result("cannot convert atom to AST"));
    case ObjectKind::Optic:
      return std::unexpected(invalid_result("cannot convert optic to AST"));
    case ObjectKind::Effect:
      return std::unexpected(invalid_result("cannot convert effect to AST"));
    case ObjectKind::Variant:
      return std::unexpected(invalid_result("cannot convert variant to AST"));
    }
    return std::unexpected(invalid_result("invalid heap reference"));
  }
};

} // namespace

std::expected<Value, CompileFailure> form_to_value_for_macro(Interner& interner, Heap& heap,
                                                             const Form& form, RootScope& roots) {
  MachineDestination to(interner, heap, roots);
  return convert_form(to, form);
}

std::expected<Form, CompileFailure> value_to_form(const Heap& heap, const Interner& interner,
                                                  const Value& value) {
  MacroResult result{heap, interner};
  return result.convert(value);
}

} // namespace quorvex
