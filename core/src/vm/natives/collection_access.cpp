// Collection construction and access: the builtins that read an element out of a collection or
// make a vector out of a sequence. `nth` and `get` are also reached by index from compiled
// destructuring, so their behaviour on odd inputs is part of what patterns do.
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

#include "util/hash.hpp"
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
    auto found = set_find_equal(vm, object->get_if<SetObject>()->set, key);
    if (!found) return std::unexpected(std::move(found.error()));
    return *found ? key : fallback;
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

NativeResult builtin_list(Vm& vm, const Value* args, std::size_t argc) {
  return alloc_seq_object(vm.heap, ValueVector::from_range(args, args + argc), false);
}

NativeResult builtin_vector(Vm& vm, const Value* args, std::size_t argc) {
  return alloc_seq_object(vm.heap, ValueVector::from_range(args, args + argc), true);
}

NativeResult builtin_hash_map(Vm& vm, const Value* args, std::size_t argc) {
  if (argc % 2 != 0) return type_error("hash-map requires even number of arguments");
  Guarded<ValueMap> map = build_map_from_pairs(vm.heap, std::span(args, argc));
  if (!map) return std::unexpected(to_vm_error(map.error()));
  return Value::object(heap_alloc(vm.heap, HeapObject(MapObject{std::move(*map)})));
}

NativeResult builtin_hash_set(Vm& vm, const Value* args, std::size_t argc) {
  Guarded<ValueSet> set = build_set_from_values(vm.heap, std::span(args, argc));
  if (!set) return std::unexpected(to_vm_error(set.error()));
  return Value::object(heap_alloc(vm.heap, HeapObject(SetObject{std::move(*set)})));
}

// A map's entries become [key value] vectors, a string its characters.
NativeResult builtin_set(Vm& vm, const Value* args, std::size_t) {
  const Value coll = args[0];
  ValueVector elements;
  if (coll.is_nil()) {
    // no elements
  } else if (const SeqObject* seq = arg_as<SeqObject>(vm.heap, coll)) {
    elements = seq->items;
  } else if (const SetObject* set = arg_as<SetObject>(vm.heap, coll)) {
    const ValueSet copy = set->set;
    for (const Value& v : copy)
      elements.push_back_mut(v);
  } else if (const MapObject* map = arg_as<MapObject>(vm.heap, coll)) {
    auto pairs = map_entry_vectors(vm, map->map);
    if (!pairs) return std::unexpected(std::move(pairs.error()));
    elements = std::move(*pairs);
  } else if (const StringObject* str = arg_as<StringObject>(vm.heap, coll)) {
    const SmallString text = str->text;
    Guarded<void> chars = append_string_chars(vm.heap, text.view(), 0, elements);
    if (!chars) return std::unexpected(to_vm_error(chars.error()));
  } else {
    return type_error("seqable required");
  }
  ValueSet built(next_random_keys());
  for (const Value& v : elements) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    Guarded<ValueSet> next = set_insert_value(vm.heap, built, v);
    if (!next) return std::unexpected(to_vm_error(next.error()));
    built = std::move(*next);
  }
  return Value::object(heap_alloc(vm.heap, HeapObject(SetObject{std::move(built)})));
}

NativeResult builtin_seq(Vm& vm, const Value* args, std::size_t) {
  if (args[0].is_nil()) return Value::nil();
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[0]);
  if (seq == nullptr) return type_error("seq requires a seqable");
  if (seq->items.empty()) return Value::nil();
  ValueVector items = seq->items;
  return alloc_seq_object(vm.heap, std::move(items), false);
}

NativeResult builtin_first(Vm& vm, const Value* args, std::size_t) {
  if (args[0].is_nil()) return Value::nil();
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[0]);
  if (seq == nullptr) return type_error("first requires a sequence");
  return seq->items.empty() ? Value::nil() : seq->items.front();
}

NativeResult builtin_last(Vm& vm, const Value* args, std::size_t) {
  if (args[0].is_nil()) return Value::nil();
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[0]);
  if (seq == nullptr) return type_error("last requires a sequence");
  return seq->items.empty() ? Value::nil() : seq->items.back();
}

// Shares the input's structure: a loop of `rest` over a long vector stays linear.
NativeResult builtin_rest(Vm& vm, const Value* args, std::size_t) {
  if (args[0].is_nil()) return alloc_seq_object(vm.heap, ValueVector(), false);
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[0]);
  if (seq == nullptr) return type_error("rest requires a sequence");
  const bool is_vector = seq->is_vector;
  ValueVector items = seq->items.empty() ? ValueVector() : seq->items.pop_front();
  return alloc_seq_object(vm.heap, std::move(items), is_vector);
}

namespace {

// The element count of nil, a string (in scalar values), a sequence, set or map; none otherwise.
std::optional<std::size_t> collection_size(const Heap& heap, const Value& v) {
  if (v.is_nil()) return 0;
  const HeapObject* object = v.is_object() ? heap_get(heap, v.as.key) : nullptr;
  if (object == nullptr) return std::nullopt;
  switch (object->kind()) {
  case ObjectKind::String:
    return utf8_count_scalars(object->get_if<StringObject>()->text.view());
  case ObjectKind::Seq:
    return object->get_if<SeqObject>()->items.size();
  case ObjectKind::Set:
    return object->get_if<SetObject>()->set.size();
  case ObjectKind::Map:
    return object->get_if<MapObject>()->map.size();
  default:
    return std::nullopt;
  }
}

// The keys or the values of a map, as a list in the map's iteration order.
NativeResult map_column(Vm& vm, const Value& coll, bool keys, const char* refused) {
  if (coll.is_nil()) return Value::nil();
  const MapObject* map = arg_as<MapObject>(vm.heap, coll);
  if (map == nullptr) return type_error(refused);
  ValueVector column;
  for (const auto& entry : map->map)
    column.push_back_mut(keys ? entry.first : entry.second);
  return alloc_seq_object(vm.heap, std::move(column), false);
}

} // namespace

NativeResult builtin_count(Vm& vm, const Value* args, std::size_t) {
  const std::optional<std::size_t> size = collection_size(vm.heap, args[0]);
  if (!size) return type_error("count requires a collection");
  return Value::from_int(static_cast<std::int64_t>(*size));
}

NativeResult builtin_empty_p(Vm& vm, const Value* args, std::size_t) {
  if (const StringObject* str = arg_as<StringObject>(vm.heap, args[0])) {
    return Value::from_bool(str->text.view().empty());
  }
  const std::optional<std::size_t> size = collection_size(vm.heap, args[0]);
  if (!size) return type_error("empty? requires a collection");
  return Value::from_bool(*size == 0);
}

NativeResult builtin_keys(Vm& vm, const Value* args, std::size_t) {
  return map_column(vm, args[0], true, "keys requires a map");
}

NativeResult builtin_vals(Vm& vm, const Value* args, std::size_t) {
  return map_column(vm, args[0], false, "vals requires a map");
}

// On a sequence the key is an index, not an element: (contains? [5 6] 1) is true.
NativeResult builtin_contains_p(Vm& vm, const Value* args, std::size_t) {
  const Value coll = args[0];
  const Value key = args[1];
  if (coll.is_nil()) return Value::from_bool(false);
  if (const SeqObject* seq = arg_as<SeqObject>(vm.heap, coll)) {
    return Value::from_bool(key.is_int() && key.as.integer >= 0 &&
                            static_cast<std::uint64_t>(key.as.integer) < seq->items.size());
  }
  if (const SetObject* set = arg_as<SetObject>(vm.heap, coll)) {
    auto found = set_find_equal(vm, set->set, key);
    if (!found) return std::unexpected(std::move(found.error()));
    return Value::from_bool(*found);
  }
  if (const MapObject* map = arg_as<MapObject>(vm.heap, coll)) {
    Guarded<std::optional<Value>> found = map_lookup_value(vm.heap, map->map, key);
    if (!found) return std::unexpected(to_vm_error(found.error()));
    return Value::from_bool(found->has_value());
  }
  return type_error("contains? requires a map, set, or vector");
}

NativeResult builtin_empty(Vm& vm, const Value* args, std::size_t) {
  const Value coll = args[0];
  if (coll.is_nil()) return Value::nil();
  const HeapObject* object = coll.is_object() ? heap_get(vm.heap, coll.as.key) : nullptr;
  if (object == nullptr) return type_error("empty requires a collection");
  switch (object->kind()) {
  case ObjectKind::Seq:
    return alloc_seq_object(vm.heap, ValueVector(), object->get_if<SeqObject>()->is_vector);
  case ObjectKind::Set:
    return Value::object(heap_alloc(vm.heap, HeapObject(SetObject{ValueSet(next_random_keys())})));
  case ObjectKind::Map:
    return Value::object(heap_alloc(vm.heap, HeapObject(MapObject{ValueMap(next_random_keys())})));
  case ObjectKind::String:
    return lift_fault(alloc_string(vm.heap, ""));
  default:
    return type_error("empty requires a collection");
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
