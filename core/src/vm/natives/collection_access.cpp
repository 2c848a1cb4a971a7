// Collection construction and access: the builtins that read an element out of a collection or
// make a vector out of a sequence. `nth` and `get` are also reached by index from compiled
// destructuring, so their behaviour on odd inputs is part of what patterns do.
#include <cstring>
#include <optional>
#include <string_view>

#include "util/utf8.hpp"
#include "value/equality.hpp"
#include "value/fault.hpp"
#include "value/keys.hpp"
#include "value/strings.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

// The character at scalar position `index` as a new one-character string, or none out of range.
std::expected<std::optional<Value>, VmError> string_char_at(Heap& heap, const Value& text_value,
                                                            std::int64_t index) {
  const std::optional<std::string_view> text = string_view_of(heap, text_value);
  if (index < 0) return std::nullopt;
  const std::size_t offset = utf8_offset_of_scalar(*text, static_cast<std::size_t>(index));
  if (offset == kUtf8NoOffset || offset >= text->size()) return std::nullopt;
  // The text lives in the slot table, which the allocation below may move: copy the character.
  char bytes[4];
  const std::size_t length = utf8_decode(*text, offset).length;
  std::memcpy(bytes, text->data() + offset, length);
  Guarded<Value> made = alloc_string_from_slice(heap, bytes, length);
  if (!made) return std::unexpected(to_vm_error(made.error()));
  return *made;
}

} // namespace

NativeResult builtin_nth(Vm& vm, const Value* args, std::size_t argc) {
  const Value coll = args[0];
  // The index is checked before the collection, so (nth nil :a) is an index error.
  if (!args[1].is_int()) return type_error("index must be integer");
  const std::int64_t index = args[1].as.integer;
  const Value fallback = argc >= 3 ? args[2] : Value::nil();

  if (coll.is_nil()) return fallback;
  if (const SeqObject* seq = arg_as<SeqObject>(vm.heap, coll)) {
    if (index < 0 || static_cast<std::uint64_t>(index) >= seq->items.size()) return fallback;
    return seq->items[static_cast<std::size_t>(index)];
  }
  if (arg_as<StringObject>(vm.heap, coll) != nullptr) {
    auto ch = string_char_at(vm.heap, coll, index);
    if (!ch) return std::unexpected(std::move(ch.error()));
    return ch->value_or(fallback);
  }
  return type_error("nth requires a sequence");
}

// Never a kind error: whatever finds nothing answers the default.
NativeResult builtin_get(Vm& vm, const Value* args, std::size_t argc) {
  const Value coll = args[0];
  const Value key = args[1];
  const Value fallback = argc >= 3 ? args[2] : Value::nil();

  const HeapObject* object = coll.is_object() ? heap_get(vm.heap, coll.as.key) : nullptr;
  if (object == nullptr) return fallback;
  switch (object->kind()) {
  case ObjectKind::Seq: {
    const ValueVector& items = object->get_if<SeqObject>()->items;
    if (!key.is_int() || key.as.integer < 0 ||
        static_cast<std::uint64_t>(key.as.integer) >= items.size()) {
      return fallback;
    }
    return items[static_cast<std::size_t>(key.as.integer)];
  }
  case ObjectKind::Set: {
    // Membership by the language's equality, not by key identity: (get #{1 2} 2.0) finds 2 and
    // answers the argument itself.
    const ValueSet set = object->get_if<SetObject>()->set;
    for (const Value& element : set) {
      Guarded<bool> same = values_equal(vm.heap, element, key);
      if (!same) return std::unexpected(to_vm_error(same.error()));
      if (*same) return key;
    }
    return fallback;
  }
  case ObjectKind::Map: {
    Guarded<std::optional<Value>> found =
        map_lookup_value(vm.heap, object->get_if<MapObject>()->map, key);
    if (!found) return std::unexpected(to_vm_error(found.error()));
    return found->value_or(fallback);
  }
  case ObjectKind::Variant: {
    if (!key.is_keyword()) return fallback;
    const std::optional<FieldRef> field =
        variant_get_field(vm.types, *object->get_if<Variant>(), key.as.spur);
    return field ? field->value : fallback;
  }
  default:
    return fallback;
  }
}

NativeResult builtin_vec(Vm& vm, const Value* args, std::size_t argc) {
  if (args[0].is_nil()) return alloc_seq_object(vm.heap, ValueVector(), true);
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[0]);
  if (seq == nullptr) return type_error("vec requires a sequence");
  ValueVector items = seq->items;
  return alloc_seq_object(vm.heap, std::move(items), true);
}

} // namespace quorvex
