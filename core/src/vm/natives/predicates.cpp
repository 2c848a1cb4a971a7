// Questions about the kind of a value, and `type`. They read the value's tag, the kind of a
// live object behind a key, a sequence's vector flag and a variant's data type; a stale key
// answers false to every question about objects and "unknown" to `type`.
//
// Thirteen predicates take any count, test their first argument and answer false when there is
// none; `effect?` needs one argument, `int?` and `float?` exactly one, which the builtin list's
// arity rules ensure before these run.
#include <cstddef>
#include <optional>
#include <string_view>

#include "value/heap.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

std::optional<ObjectKind> first_kind(const Vm& vm, const Value* args, std::size_t argc) {
  return argc == 0 ? std::nullopt : object_kind(vm.heap, args[0]);
}

// The answer for a live sequence with the given vector flag.
NativeResult seq_with_flag(const Vm& vm, const Value* args, std::size_t argc, bool is_vector) {
  const SeqObject* seq = argc == 0 ? nullptr : arg_as<SeqObject>(vm.heap, args[0]);
  return Value::from_bool(seq != nullptr && seq->is_vector == is_vector);
}

template <ObjectKind K> NativeResult is_kind(Vm& vm, const Value* args, std::size_t argc) {
  return Value::from_bool(first_kind(vm, args, argc) == K);
}

template <Tag T> NativeResult has_tag(Vm&, const Value* args, std::size_t argc) {
  return Value::from_bool(argc != 0 && args[0].tag == T);
}

std::string_view type_name(const Vm& vm, const Value& v) {
  switch (v.tag) {
  case Tag::Nil:
    return "nil";
  case Tag::Bool:
    return "bool";
  case Tag::Int:
    return "int";
  case Tag::Float:
    return "float";
  case Tag::Ratio:
    return "ratio";
  case Tag::Symbol:
    return "symbol";
  case Tag::Keyword:
    return "keyword";
  case Tag::NativeFn:
    return "fn";
  case Tag::Object:
    break;
  }
  const HeapObject* object = heap_get(vm.heap, v.as.key);
  if (object == nullptr) return "unknown";
  switch (object->kind()) {
  case ObjectKind::String:
    return "string";
  case ObjectKind::Seq:
    return object->get_if<SeqObject>()->is_vector ? "vector" : "list";
  case ObjectKind::Set:
    return "set";
  case ObjectKind::Map:
    return "map";
  case ObjectKind::Closure:
    return "fn";
  case ObjectKind::ClosureTemplate:
    return "closure-template";
  case ObjectKind::Continuation:
    return "continuation";
  case ObjectKind::Atom:
    return "atom";
  case ObjectKind::Optic:
    return "optic";
  case ObjectKind::KeyBox:
    return "keybox";
  case ObjectKind::Regex:
    return "regex";
  case ObjectKind::Effect:
    return "effect";
  case ObjectKind::Variant: {
    // A variant answers its data type's declared name, not its own.
    const TypeInfo* type = vm.types.find(object->get_if<Variant>()->tag.type_id());
    if (type == nullptr) return "variant";
    return vm.interner.resolve(type->name);
  }
  }
  return "unknown";
}

} // namespace

NativeResult builtin_is_nil(Vm& vm, const Value* args, std::size_t argc) {
  return has_tag<Tag::Nil>(vm, args, argc);
}

NativeResult builtin_is_number(Vm&, const Value* args, std::size_t argc) {
  return Value::from_bool(argc != 0 && args[0].is_number());
}

NativeResult builtin_is_string(Vm& vm, const Value* args, std::size_t argc) {
  return is_kind<ObjectKind::String>(vm, args, argc);
}

NativeResult builtin_is_keyword(Vm& vm, const Value* args, std::size_t argc) {
  return has_tag<Tag::Keyword>(vm, args, argc);
}

NativeResult builtin_is_symbol(Vm& vm, const Value* args, std::size_t argc) {
  return has_tag<Tag::Symbol>(vm, args, argc);
}

// Builtins and closures only: keywords, sets and maps are callable but are not functions.
NativeResult builtin_is_fn(Vm& vm, const Value* args, std::size_t argc) {
  if (argc != 0 && args[0].is_native_fn()) return Value::from_bool(true);
  return is_kind<ObjectKind::Closure>(vm, args, argc);
}

// Also `seq?`: only lists are sequential here, vectors are not.
NativeResult builtin_is_list(Vm& vm, const Value* args, std::size_t argc) {
  return seq_with_flag(vm, args, argc, false);
}

NativeResult builtin_is_vector(Vm& vm, const Value* args, std::size_t argc) {
  return seq_with_flag(vm, args, argc, true);
}

NativeResult builtin_is_map(Vm& vm, const Value* args, std::size_t argc) {
  return is_kind<ObjectKind::Map>(vm, args, argc);
}

NativeResult builtin_is_set(Vm& vm, const Value* args, std::size_t argc) {
  return is_kind<ObjectKind::Set>(vm, args, argc);
}

// nil counts as the empty collection; strings do not count.
NativeResult builtin_is_coll(Vm& vm, const Value* args, std::size_t argc) {
  if (argc != 0 && args[0].is_nil()) return Value::from_bool(true);
  const std::optional<ObjectKind> kind = first_kind(vm, args, argc);
  return Value::from_bool(kind == ObjectKind::Seq || kind == ObjectKind::Set ||
                          kind == ObjectKind::Map);
}

NativeResult builtin_is_ratio(Vm& vm, const Value* args, std::size_t argc) {
  return has_tag<Tag::Ratio>(vm, args, argc);
}

NativeResult builtin_is_effect(Vm& vm, const Value* args, std::size_t argc) {
  return is_kind<ObjectKind::Effect>(vm, args, argc);
}

NativeResult builtin_is_int(Vm& vm, const Value* args, std::size_t argc) {
  return has_tag<Tag::Int>(vm, args, argc);
}

NativeResult builtin_is_float(Vm& vm, const Value* args, std::size_t argc) {
  return has_tag<Tag::Float>(vm, args, argc);
}

NativeResult builtin_type(Vm& vm, const Value* args, std::size_t) {
  return Value::keyword(vm.interner.get_or_intern(type_name(vm, args[0])));
}

} // namespace quorvex
