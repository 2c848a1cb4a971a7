// Collection update and sequence builtins: new sequences made from existing ones. Every result is
// a fresh object; the arguments are never changed. `drop` is also reached by index from compiled
// destructuring (the rest of a vector pattern), and `concat` is what syntax-quote splices with.
#include <span>
#include <string>
#include <string_view>

#include "util/hash.hpp"
#include "util/utf8.hpp"
#include "value/fault.hpp"
#include "value/hash_cons.hpp"
#include "value/keys.hpp"
#include "value/strings.hpp"
#include "vm/natives/handlers.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex {

namespace {

Value alloc_map_object(Heap& heap, ValueMap map) {
  return Value::object(heap_alloc(heap, HeapObject(MapObject{std::move(map)})));
}

Value alloc_set_object(Heap& heap, ValueSet set) {
  return Value::object(heap_alloc(heap, HeapObject(SetObject{std::move(set)})));
}

// Adds a [key value] sequence to the map (further elements ignored); anything else is skipped
// without error, as `conj` and `into` onto a map do.
Guarded<void> add_map_entry(Heap& heap, ValueMap& map, const Value& entry) {
  const SeqObject* seq = heap_get_as<SeqObject>(heap, entry);
  if (seq == nullptr || seq->items.size() < 2) return {};
  const Value key = seq->items[0];
  const Value value = seq->items[1];
  Guarded<ValueMap> next = map_insert_value(heap, map, key, value);
  if (!next) return std::unexpected(next.error());
  map = std::move(*next);
  return {};
}

Guarded<void> add_set_element(Heap& heap, ValueSet& set, const Value& element) {
  Guarded<ValueSet> next = set_insert_value(heap, set, element);
  if (!next) return std::unexpected(next.error());
  set = std::move(*next);
  return {};
}

// The elements `into` takes from its source: a sequence's elements, a set's, or one new
// [key value] vector per map entry. None for an unsupported source.
std::optional<std::expected<ValueVector, VmError>> source_elements(Vm& vm, const Value& source) {
  if (source.is_nil()) return ValueVector();
  if (const SeqObject* seq = arg_as<SeqObject>(vm.heap, source)) return seq->items;
  if (const SetObject* set = arg_as<SetObject>(vm.heap, source)) {
    ValueVector elements;
    for (const Value& v : set->set)
      elements.push_back_mut(v);
    return elements;
  }
  if (const MapObject* map = arg_as<MapObject>(vm.heap, source)) {
    return map_entry_vectors(vm, map->map);
  }
  return std::nullopt;
}

// Adds `elements` to the collection `target` the way `conj` and `into` do: at the back of a
// vector, at the front of a list (so the list shows them reversed), as canonical elements of a
// set or as entries of a map. `refused` is the kind error for any other target.
NativeResult add_all(Vm& vm, const Value& target, const ValueVector& elements,
                     const char* refused) {
  const HeapObject* object = target.is_object() ? heap_get(vm.heap, target.as.key) : nullptr;
  if (object == nullptr) return type_error(refused);
  switch (object->kind()) {
  case ObjectKind::Seq: {
    const bool is_vector = object->get_if<SeqObject>()->is_vector;
    ValueVector items = object->get_if<SeqObject>()->items;
    if (is_vector && elements.size() > 32) {
      if (!items.concat_fits(elements)) return too_large_error();
      items = items.empty() ? elements : items.concat(elements);
    } else if (is_vector) {
      for (const Value& v : elements)
        items.push_back_mut(v);
    } else {
      if (elements.size() > kMaxCopiedElements) return too_large_error();
      for (const Value& v : elements) {
        if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
        items.push_front_mut(v);
      }
    }
    return alloc_seq_object(vm.heap, std::move(items), is_vector);
  }
  case ObjectKind::Set: {
    ValueSet set = object->get_if<SetObject>()->set;
    for (const Value& v : elements) {
      if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
      if (Guarded<void> added = add_set_element(vm.heap, set, v); !added)
        return std::unexpected(to_vm_error(added.error()));
    }
    return alloc_set_object(vm.heap, std::move(set));
  }
  case ObjectKind::Map: {
    ValueMap map = object->get_if<MapObject>()->map;
    for (const Value& v : elements) {
      if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
      if (Guarded<void> added = add_map_entry(vm.heap, map, v); !added)
        return std::unexpected(to_vm_error(added.error()));
    }
    return alloc_map_object(vm.heap, std::move(map));
  }
  default:
    return type_error(refused);
  }
}

// A list of the elements in reverse order.
std::expected<ValueVector, VmError> reversed(Vm& vm, const ValueVector& items) {
  if (items.size() > kMaxCopiedElements) return too_large_error();
  ValueVector out;
  for (const Value& v : items) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    out.push_front_mut(v);
  }
  return out;
}

} // namespace

std::optional<Value> conj_onto_vector(Heap& heap, Value coll, Value x) {
  const SeqObject* seq = heap_get_as<SeqObject>(heap, coll);
  if (seq == nullptr || !seq->is_vector) return std::nullopt;
  ValueVector items = seq->items;
  items.push_back_mut(x);
  return Value::object(heap_alloc_seq(heap, std::move(items), true));
}

// Onto a list the arguments go to the front from the last to the first, so that they keep
// their own order there: (conj '(1 2) 3 4) is (3 4 1 2).
NativeResult builtin_conj(Vm& vm, const Value* args, std::size_t argc) {
  if (args[0].is_nil()) {
    return alloc_seq_object(vm.heap, ValueVector::from_range(args + 1, args + argc), false);
  }
  // Sequences take the arguments straight from the argument buffer: conj in a loop is the
  // common way to build a vector, and an intermediate vector per call would double its cost.
  if (const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[0])) {
    const bool is_vector = seq->is_vector;
    ValueVector items = seq->items;
    if (is_vector) {
      for (std::size_t i = 1; i < argc; ++i)
        items.push_back_mut(args[i]);
    } else {
      for (std::size_t i = argc - 1; i >= 1; --i)
        items.push_front_mut(args[i]);
    }
    return alloc_seq_object(vm.heap, std::move(items), is_vector);
  }
  return add_all(vm, args[0], ValueVector::from_range(args + 1, args + argc),
                 "conj requires a collection");
}

NativeResult builtin_cons(Vm& vm, const Value* args, std::size_t) {
  const Value x = args[0];
  const Value coll = args[1];
  ValueVector items;
  if (coll.is_nil()) {
    // just x
  } else if (const SeqObject* seq = arg_as<SeqObject>(vm.heap, coll)) {
    items = seq->items;
  } else if (const StringObject* str = arg_as<StringObject>(vm.heap, coll)) {
    const SmallString text = str->text;
    if (Guarded<void> made = append_string_chars(vm.heap, text.view(), 0, items); !made)
      return std::unexpected(to_vm_error(made.error()));
  } else {
    return type_error("cons requires a sequence");
  }
  items.push_front_mut(x);
  return alloc_seq_object(vm.heap, std::move(items), false);
}

// Pairs come from positions (1, 2), (3, 4)...; a last key without a value is ignored.
NativeResult builtin_assoc(Vm& vm, const Value* args, std::size_t argc) {
  const Value coll = args[0];
  const std::size_t pairs = (argc - 1) / 2;
  const HeapObject* object = coll.is_object() ? heap_get(vm.heap, coll.as.key) : nullptr;
  if (coll.is_nil() || (object != nullptr && object->kind() == ObjectKind::Map)) {
    ValueMap map = coll.is_nil() ? ValueMap(next_random_keys()) : object->get_if<MapObject>()->map;
    for (std::size_t i = 0; i < pairs; ++i) {
      Guarded<ValueMap> next = map_insert_value(vm.heap, map, args[1 + 2 * i], args[2 + 2 * i]);
      if (!next) return std::unexpected(to_vm_error(next.error()));
      map = std::move(*next);
    }
    return alloc_map_object(vm.heap, std::move(map));
  }
  if (object == nullptr) return type_error("assoc requires a map, vector, or variant");
  if (const SeqObject* seq = object->get_if<SeqObject>(); seq != nullptr && seq->is_vector) {
    ValueVector items = seq->items;
    for (std::size_t i = 0; i < pairs; ++i) {
      const Value index = args[1 + 2 * i];
      if (!index.is_int()) return type_error("vector index must be integer");
      // An index equal to the count does not append.
      if (index.as.integer < 0 || static_cast<std::uint64_t>(index.as.integer) >= items.size())
        return std::unexpected(VmError::value_error("vector index out of bounds"));
      items.set_mut(static_cast<std::size_t>(index.as.integer), args[2 + 2 * i]);
    }
    return alloc_seq_object(vm.heap, std::move(items), true);
  }
  if (const Variant* variant = object->get_if<Variant>()) {
    const VariantInfo* info = vm.types.find_variant(variant->tag);
    if (info == nullptr) return type_error("unknown variant type");
    Variant changed{variant->fields, variant->tag};
    bool replaced = false;
    for (std::size_t i = 0; i < pairs; ++i) {
      const Value key = args[1 + 2 * i];
      if (!key.is_keyword()) continue;
      const std::optional<std::uint8_t> field = info->find_field(key.as.spur);
      if (!field || *field >= changed.fields.size()) continue;
      changed.fields[*field] = args[2 + 2 * i];
      replaced = true;
    }
    if (!replaced) return coll;
    Guarded<HeapKey> key = intern_variant(vm.heap, std::move(changed));
    if (!key) return std::unexpected(to_vm_error(key.error()));
    return Value::object(*key);
  }
  return type_error("assoc requires a map, vector, or variant");
}

NativeResult builtin_dissoc(Vm& vm, const Value* args, std::size_t argc) {
  const MapObject* source = arg_as<MapObject>(vm.heap, args[0]);
  if (source == nullptr) return type_error("dissoc requires a map");
  ValueMap map = source->map;
  for (std::size_t i = 1; i < argc; ++i) {
    Guarded<ValueMap> next = map_remove_value(vm.heap, map, args[i]);
    if (!next) return std::unexpected(to_vm_error(next.error()));
    map = std::move(*next);
  }
  return alloc_map_object(vm.heap, std::move(map));
}

// The source is checked before the target.
NativeResult builtin_into(Vm& vm, const Value* args, std::size_t) {
  auto elements = source_elements(vm, args[1]);
  if (!elements) return type_error("into requires a seqable source");
  if (!*elements) return std::unexpected(std::move(elements->error()));
  if (args[0].is_nil()) {
    std::expected<ValueVector, VmError> items = reversed(vm, **elements);
    if (!items) return std::unexpected(std::move(items.error()));
    return alloc_seq_object(vm.heap, std::move(*items), false);
  }
  return add_all(vm, args[0], **elements, "into requires a collection");
}

NativeResult builtin_take(Vm& vm, const Value* args, std::size_t) {
  if (!args[0].is_int()) return type_error("take requires integer count");
  const std::uint64_t n =
      args[0].as.integer < 0 ? 0 : static_cast<std::uint64_t>(args[0].as.integer);
  if (args[1].is_nil()) return alloc_seq_object(vm.heap, ValueVector(), false);
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[1]);
  if (seq == nullptr) return type_error("take requires a sequence");
  const bool is_vector = seq->is_vector;
  const std::size_t keep = static_cast<std::size_t>(std::min<std::uint64_t>(n, seq->items.size()));
  return alloc_seq_object(vm.heap, seq->items.take(keep), is_vector);
}

// (drop-last coll) drops one element, (drop-last n coll) n of them; a negative n, taken as an
// unsigned count, drops everything.
NativeResult builtin_drop_last(Vm& vm, const Value* args, std::size_t argc) {
  std::uint64_t n = 1;
  Value coll = args[0];
  if (argc >= 2) {
    if (!args[0].is_int()) return type_error("drop-last n must be integer");
    n = static_cast<std::uint64_t>(args[0].as.integer);
    coll = args[1];
  }
  if (coll.is_nil()) return alloc_seq_object(vm.heap, ValueVector(), true);
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, coll);
  if (seq == nullptr) return type_error("drop-last requires a sequence");
  const std::size_t count = seq->items.size();
  const std::size_t keep = count - static_cast<std::size_t>(std::min<std::uint64_t>(n, count));
  return alloc_seq_object(vm.heap, seq->items.take(keep), true);
}

// Start and end are unsigned counts: a negative start lies past every element, a negative end
// stands for the count.
NativeResult builtin_subvec(Vm& vm, const Value* args, std::size_t argc) {
  if (!args[1].is_int()) return type_error("start must be integer");
  const auto start = static_cast<std::uint64_t>(args[1].as.integer);
  if (args[0].is_nil()) return alloc_seq_object(vm.heap, ValueVector(), true);
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[0]);
  if (seq == nullptr) return type_error("subvec requires a sequence");
  const std::size_t count = seq->items.size();
  std::uint64_t end = count;
  if (argc >= 3) {
    if (!args[2].is_int()) return type_error("end must be integer");
    end = static_cast<std::uint64_t>(args[2].as.integer);
  }
  const std::uint64_t stop = std::min<std::uint64_t>(end, count);
  if (start >= stop) return alloc_seq_object(vm.heap, ValueVector(), true);
  return alloc_seq_object(
      vm.heap, seq->items.slice(static_cast<std::size_t>(start), static_cast<std::size_t>(stop)),
      true);
}

namespace {

std::unexpected<VmError> too_many_elements(const char* builtin) {
  std::string text(builtin);
  text += " would make more than ";
  append_uint_text(text, kMaxGeneratedElements);
  text += " elements";
  return std::unexpected(VmError::value_error(std::move(text)));
}

} // namespace

// The sequence ends where the next step would leave the 64-bit range, instead of wrapping.
NativeResult builtin_range(Vm& vm, const Value* args, std::size_t argc) {
  const std::size_t read = std::min<std::size_t>(argc, 3);
  for (std::size_t i = 0; i < read; ++i)
    if (!args[i].is_int()) return type_error("range requires integer arguments");
  std::int64_t start = 0;
  std::int64_t end = 0;
  std::int64_t step = 1;
  if (argc == 1) {
    end = args[0].as.integer;
  } else {
    start = args[0].as.integer;
    end = args[1].as.integer;
    if (argc >= 3) step = args[2].as.integer;
  }
  // How many elements: ceil(|end - start| / |step|) in unsigned 128-bit arithmetic.
  unsigned __int128 count = 0;
  if (step > 0 && start < end) {
    const auto span = static_cast<unsigned __int128>(static_cast<__int128>(end) - start);
    count =
        (span + static_cast<unsigned __int128>(step) - 1) / static_cast<unsigned __int128>(step);
  } else if (step < 0 && start > end) {
    const auto span = static_cast<unsigned __int128>(static_cast<__int128>(start) - end);
    const auto magnitude = static_cast<unsigned __int128>(-static_cast<__int128>(step));
    count = (span + magnitude - 1) / magnitude;
  }
  if (count > kMaxGeneratedElements) return too_many_elements("range");
  ValueVector items;
  __int128 value = start;
  for (unsigned __int128 i = 0; i < count; ++i) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    items.push_back_mut(Value::from_int(static_cast<std::int64_t>(value)));
    value += step;
  }
  return alloc_seq_object(vm.heap, std::move(items), false);
}

NativeResult builtin_repeat(Vm& vm, const Value* args, std::size_t) {
  if (!args[0].is_int()) return type_error("repeat n must be integer");
  const std::int64_t n = args[0].as.integer;
  if (n > 0 && static_cast<std::uint64_t>(n) > kMaxGeneratedElements)
    return too_many_elements("repeat");
  ValueVector items;
  for (std::int64_t i = 0; i < n; ++i) {
    if (auto stop = count_native_step(vm)) return std::unexpected(std::move(*stop));
    items.push_back_mut(args[1]);
  }
  return alloc_seq_object(vm.heap, std::move(items), false);
}

NativeResult builtin_reverse(Vm& vm, const Value* args, std::size_t) {
  if (args[0].is_nil()) return alloc_seq_object(vm.heap, ValueVector(), false);
  const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[0]);
  if (seq == nullptr) return type_error("reverse requires a sequence");
  const ValueVector items = seq->items;
  std::expected<ValueVector, VmError> out = reversed(vm, items);
  if (!out) return std::unexpected(std::move(out.error()));
  return alloc_seq_object(vm.heap, std::move(*out), false);
}

NativeResult builtin_drop(Vm& vm, const Value* args, std::size_t argc) {
  if (!args[0].is_int()) return type_error("drop requires integer count");
  const std::uint64_t n =
      args[0].as.integer < 0 ? 0 : static_cast<std::uint64_t>(args[0].as.integer);
  const Value coll = args[1];

  if (coll.is_nil()) return alloc_seq_object(vm.heap, ValueVector(), false);
  if (const SeqObject* seq = arg_as<SeqObject>(vm.heap, coll)) {
    const bool is_vector = seq->is_vector;
    return alloc_seq_object(vm.heap, seq->items.drop(n), is_vector);
  }
  if (const StringObject* str = arg_as<StringObject>(vm.heap, coll)) {
    // The copy keeps the text while the slot table grows under the allocations below.
    const SmallString text = str->text;
    ValueVector chars;
    Guarded<void> made = append_string_chars(vm.heap, text.view(), n, chars);
    if (!made) return std::unexpected(to_vm_error(made.error()));
    return alloc_seq_object(vm.heap, std::move(chars), false);
  }
  return type_error("drop requires a sequence");
}

NativeResult builtin_concat(Vm& vm, const Value* args, std::size_t argc) {
  ValueVector all;
  for (std::size_t i = 0; i < argc; ++i) {
    if (args[i].is_nil()) continue;
    const SeqObject* seq = arg_as<SeqObject>(vm.heap, args[i]);
    if (seq == nullptr) return type_error("concat requires sequences");
    if (!all.concat_fits(seq->items)) return too_large_error();
    all = all.empty() ? seq->items : all.concat(seq->items);
  }
  return alloc_seq_object(vm.heap, std::move(all), false);
}

} // namespace quorvex
