#include "optics/walk.hpp"

#include <cmath>
#include <utility>

#include "util/internal_error.hpp"
#include "value/equality.hpp"
#include "value/fault.hpp"
#include "value/hash_cons.hpp"
#include "value/keys.hpp"
#include "vm/natives/support.hpp"

namespace quorvex::optics {

std::unexpected<VmError> too_deep() {
  return std::unexpected(to_vm_error(ValueFault::TooDeep));
}

bool may_drop(const Vm& vm, const VmError& e) {
  if (vm.run_aborting || e.kind == VmErrorKind::StackOverflow) return false;
  return !(e.kind == VmErrorKind::ValueError &&
           (e.text == value_fault_text(ValueFault::TooDeep) || e.text == kTooLargeText));
}

bool is_droppable_type_error(const Vm& vm, const VmError& e) {
  return e.kind == VmErrorKind::TypeError && may_drop(vm, e);
}

Result<void> tick(Vm& vm) {
  if (std::optional<VmError> e = count_native_step(vm)) return std::unexpected(std::move(*e));
  return {};
}

// ---------------------------------------------------------------------------------------------
// Targets

std::optional<SeqObject> seq_of(const Vm& vm, Value v) {
  const SeqObject* seq = heap_get_as<SeqObject>(vm.heap, v);
  if (seq == nullptr) return std::nullopt;
  return *seq;
}

std::optional<ValueSet> set_of(const Vm& vm, Value v) {
  const SetObject* set = heap_get_as<SetObject>(vm.heap, v);
  if (set == nullptr) return std::nullopt;
  return set->set;
}

std::optional<ValueMap> map_of(const Vm& vm, Value v) {
  const MapObject* map = heap_get_as<MapObject>(vm.heap, v);
  if (map == nullptr) return std::nullopt;
  return map->map;
}

std::optional<Variant> variant_of(const Vm& vm, Value v) {
  const Variant* variant = heap_get_as<Variant>(vm.heap, v);
  if (variant == nullptr) return std::nullopt;
  return *variant;
}

Result<Value> key_of_box(const Vm& vm, HeapKey box) {
  const KeyBox* key = heap_get_as<KeyBox>(vm.heap, box);
  if (key == nullptr) return fail("expected a key box");
  return key->value;
}

Result<Value> map_get(const Vm& vm, const ValueMap& map, Value key) {
  Guarded<std::optional<Value>> found = map_lookup_value(vm.heap, map, key);
  if (!found) return std::unexpected(to_vm_error(found.error()));
  return found->value_or(Value::nil());
}

Result<ValueMap> map_put(Vm& vm, const ValueMap& map, Value key, Value value) {
  return lift_fault(map_insert_value(vm.heap, map, key, value));
}

ValueMap fresh_map() {
  return ValueMap(next_random_keys());
}

std::optional<FieldRef> variant_field(const Vm& vm, const Variant& variant, Value key) {
  if (!key.is_keyword()) return std::nullopt;
  return variant_get_field(vm.types, variant, key.as.spur);
}

Value new_seq(Vm& vm, ValueVector items, bool is_vector) {
  return alloc_seq_object(vm.heap, std::move(items), is_vector);
}

Value new_map(Vm& vm, ValueMap map) {
  return Value::object(heap_alloc(vm.heap, HeapObject(MapObject{std::move(map)})));
}

Value new_set(Vm& vm, ValueSet set) {
  return Value::object(heap_alloc(vm.heap, HeapObject(SetObject{std::move(set)})));
}

Result<Value> new_variant(Vm& vm, std::vector<Value> fields, VariantTag tag) {
  Guarded<HeapKey> made = intern_variant(vm.heap, Variant{std::move(fields), tag});
  if (!made) return std::unexpected(to_vm_error(made.error()));
  return Value::object(*made);
}

Result<Value> variant_with_field(Vm& vm, const Variant& variant, std::uint8_t index, Value value) {
  std::vector<Value> fields = variant.fields;
  fields[index] = value;
  return new_variant(vm, std::move(fields), variant.tag);
}

std::optional<std::size_t> index_position(std::size_t length, std::int64_t index) {
  // In unsigned arithmetic, so that no index overflows; a position still negative wraps to a
  // huge number and is out of range like any other.
  std::uint64_t j = static_cast<std::uint64_t>(index);
  if (index < 0) j += length;
  if (j >= length) return std::nullopt;
  return static_cast<std::size_t>(j);
}

namespace {

// A slice bound: counted from the end when negative, then raised to 0.
std::size_t slice_bound(std::size_t length, std::int64_t bound) {
  if (bound >= 0) return static_cast<std::size_t>(bound);
  const std::uint64_t back = 0 - static_cast<std::uint64_t>(bound);
  return back >= length ? 0 : length - static_cast<std::size_t>(back);
}

} // namespace

Window slice_window(std::size_t length, const OpticKind::Slice& slice) {
  Window w;
  w.begin = slice.start ? slice_bound(length, *slice.start) : 0;
  w.end = slice.end ? std::min(slice_bound(length, *slice.end), length) : length;
  return w;
}

// ---------------------------------------------------------------------------------------------
// Optics

Result<Kinds> resolve_steps(const Vm& vm, const OpticKind::Compose& compose) {
  Kinds kinds;
  kinds.reserve(compose.steps.size());
  for (HeapKey step : compose.steps) {
    Result<OpticKind> kind = optic_from_handle(vm, step);
    if (!kind) return std::unexpected(std::move(kind.error()));
    kinds.push_back(std::move(*kind));
  }
  return kinds;
}

Result<OpticKind> resolve_inner(const Vm& vm, const OpticKind::First& first) {
  const Optic* inner = heap_get_as<Optic>(vm.heap, first.inner);
  if (inner == nullptr) return fail("first requires an optic");
  return inner->kind;
}

Result<Kinds> as_chain(const Vm& vm, const OpticKind& kind) {
  if (const auto* compose = std::get_if<OpticKind::Compose>(&kind.data))
    return resolve_steps(vm, *compose);
  return Kinds{kind};
}

Result<Kinds> prepend_chain(const Vm& vm, const OpticKind& head, KindSpan rest) {
  Result<Kinds> chain = as_chain(vm, head);
  if (!chain) return chain;
  chain->insert(chain->end(), rest.begin(), rest.end());
  return chain;
}

} // namespace quorvex::optics

namespace quorvex {

void root_optic_kind(RootScope& scope, const OpticKind& kind) {
  std::visit(
      [&](const auto& p) {
        using P = std::decay_t<decltype(p)>;
        if constexpr (std::is_same_v<P, OpticKind::Key> || std::is_same_v<P, OpticKind::NotKey>) {
          scope.add(p.key_box);
        } else if constexpr (std::is_same_v<P, OpticKind::Filtered> ||
                             std::is_same_v<P, OpticKind::When>) {
          scope.add(p.predicate);
        } else if constexpr (std::is_same_v<P, OpticKind::First>) {
          scope.add(p.inner);
        } else if constexpr (std::is_same_v<P, OpticKind::Compose>) {
          for (HeapKey k : p.steps)
            scope.add(k);
        } else if constexpr (std::is_same_v<P, OpticKind::Lens>) {
          scope.add(p.getter);
          scope.add(p.setter);
        } else if constexpr (std::is_same_v<P, OpticKind::KeyCompare>) {
          scope.add(p.key_box);
          scope.add(p.literal);
        }
      },
      kind.data);
}

} // namespace quorvex

namespace quorvex::optics {

NativeResult call1(Vm& vm, Value f, Value x) {
  const Value args[1] = {x};
  return call_value_from_native(vm, f, args);
}

NativeResult call2(Vm& vm, Value f, Value x, Value y) {
  const Value args[2] = {x, y};
  return call_value_from_native(vm, f, args);
}

namespace {

// Whether the entry or field k of v is present and truthy; false for anything but a map or a
// variant.
Result<bool> key_truthy(const Vm& vm, Value v, Value k) {
  if (std::optional<ValueMap> map = map_of(vm, v)) {
    Result<Value> entry = map_get(vm, *map, k);
    if (!entry) return std::unexpected(std::move(entry.error()));
    return is_truthy(*entry);
  }
  if (std::optional<Variant> variant = variant_of(vm, v)) {
    std::optional<FieldRef> field = variant_field(vm, *variant, k);
    return field && is_truthy(field->value);
  }
  return false;
}

} // namespace

Result<bool> predicate_test(Vm& vm, HeapKey predicate, bool keyword_allowed, Value v) {
  if (const KeyBox* box = heap_get_as<KeyBox>(vm.heap, predicate)) {
    const Value boxed = box->value;
    if (boxed.is_native_fn()) {
      NativeResult r = call1(vm, boxed, v);
      if (!r) return std::unexpected(std::move(r.error()));
      return is_truthy(*r);
    }
    if (keyword_allowed) {
      if (boxed.is_keyword()) return key_truthy(vm, v, boxed);
      return false;
    }
  }
  // Whatever else the handle names is called; the machine refuses what is not callable.
  NativeResult r = call1(vm, Value::object(predicate), v);
  if (!r) return std::unexpected(std::move(r.error()));
  return is_truthy(*r);
}

Result<bool> focus_test(Vm& vm, const OpticKind& kind, Value v) {
  switch (kind.tag()) {
  case OpticTag::Filtered:
    return predicate_test(vm, std::get<OpticKind::Filtered>(kind.data).predicate, true, v);
  case OpticTag::When:
    return predicate_test(vm, std::get<OpticKind::When>(kind.data).predicate, false, v);
  case OpticTag::NotKey: {
    Result<Value> k = key_of_box(vm, std::get<OpticKind::NotKey>(kind.data).key_box);
    if (!k) return std::unexpected(std::move(k.error()));
    Result<bool> set = key_truthy(vm, v, *k);
    if (!set) return set;
    return !*set;
  }
  case OpticTag::KeyCompare: {
    const auto& compare = std::get<OpticKind::KeyCompare>(kind.data);
    Result<Value> k = key_of_box(vm, compare.key_box);
    if (!k) return std::unexpected(std::move(k.error()));
    Value field = Value::nil();
    if (std::optional<ValueMap> map = map_of(vm, v)) {
      Result<Value> entry = map_get(vm, *map, *k);
      if (!entry) return std::unexpected(std::move(entry.error()));
      field = *entry;
    } else if (std::optional<Variant> variant = variant_of(vm, v)) {
      if (std::optional<FieldRef> f = variant_field(vm, *variant, *k)) field = f->value;
    }
    return compare_with_op(vm, field, compare.literal, compare.op);
  }
  default:
    throw InternalError("focus_test: not a test kind");
  }
}

} // namespace quorvex::optics

namespace quorvex {

std::expected<bool, VmError> compare_with_op(const Vm& vm, Value field, Value literal,
                                             CompareOp op) {
  if (op == CompareOp::Eq || op == CompareOp::Ne) {
    Guarded<bool> same = values_equal(vm.heap, field, literal);
    if (!same) return std::unexpected(to_vm_error(same.error()));
    return op == CompareOp::Eq ? *same : !*same;
  }
  auto as_double = [](Value v) -> std::optional<double> {
    if (v.is_int()) return static_cast<double>(v.as.integer);
    if (v.is_float()) return v.as.floating;
    return std::nullopt;
  };
  const std::optional<double> a = as_double(field);
  const std::optional<double> b = as_double(literal);
  if (!a || !b) return false;
  // Every comparison with NaN is false, as the operators below already answer.
  switch (op) {
  case CompareOp::Gt:
    return *a > *b;
  case CompareOp::Lt:
    return *a < *b;
  case CompareOp::Ge:
    return *a >= *b;
  case CompareOp::Le:
    return *a <= *b;
  default:
    return false;
  }
}

} // namespace quorvex
