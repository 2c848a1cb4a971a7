#include "value_data.hpp"

#include <string>
#include <unordered_map>
#include <vector>

#include "util/depth_guard.hpp"
#include "value/hash_cons.hpp"
#include "value/keys.hpp"
#include "value/strings.hpp"

namespace quorvex {

namespace {

class ValueToData {
public:
  ValueToData(const Heap& heap, const Interner& names) : heap_(heap), names_(names) {}
  ValueToData(const ValueToData&) = delete;
  ValueToData& operator=(const ValueToData&) = delete;
  ~ValueToData() {
    for (auto& [spur, text] : name_texts_)
      text->release();
  }

  Guarded<DataValue> convert(const Value& v) {
    switch (v.tag) {
    case Tag::Nil:
      return DataValue();
    case Tag::Bool:
      return DataValue::boolean((v.as.boolean & 1) != 0);
    case Tag::Int:
      return DataValue::integer(v.as.integer);
    case Tag::Float:
      return DataValue::floating(v.as.floating);
    case Tag::Ratio:
      return DataValue::ratio(v.as.ratio.num, v.as.ratio.den);
    case Tag::Symbol:
      return DataValue::share_text(DataKind::Symbol, name_text(v.as.spur));
    case Tag::Keyword:
      return DataValue::share_text(DataKind::Keyword, name_text(v.as.spur));
    case Tag::NativeFn:
      return DataValue::opaque("native-fn");
    case Tag::Object:
      return convert_object(v.as.key);
    }
    return DataValue();
  }

private:
  // A program names the same keywords over and over (the keys of its maps): one shared text per
  // name and conversion.
  const DataText& name_text(Spur spur) {
    auto [it, fresh] = name_texts_.try_emplace(spur, nullptr);
    if (fresh) it->second = DataText::make(names_.resolve(spur));
    return *it->second;
  }

  Guarded<DataValue> convert_object(HeapKey key) {
    const HeapObject* object = heap_get(heap_, key);
    if (object == nullptr) return DataValue();
    switch (object->kind()) {
    case ObjectKind::String:
      return DataValue::string(object->get_if<StringObject>()->text.view());
    case ObjectKind::Seq: {
      const SeqObject& seq = *object->get_if<SeqObject>();
      return convert_seq(seq.items, seq.is_vector);
    }
    case ObjectKind::Set:
      return convert_set(object->get_if<SetObject>()->set);
    case ObjectKind::Map:
      return convert_map(object->get_if<MapObject>()->map);
    case ObjectKind::Closure:
    case ObjectKind::ClosureTemplate:
      return DataValue::opaque("closure");
    case ObjectKind::Continuation:
      return DataValue::opaque("continuation");
    case ObjectKind::Atom:
      return DataValue::opaque("atom");
    case ObjectKind::Optic:
      return DataValue::opaque("optic");
    case ObjectKind::KeyBox:
      return DataValue::opaque("keybox");
    case ObjectKind::Regex:
      return DataValue::regex(object->get_if<RegexObject>()->regex);
    case ObjectKind::Effect:
      return DataValue::opaque("effect");
    case ObjectKind::Variant:
      return DataValue::opaque(
          "variant(tag=" + std::to_string(object->get_if<Variant>()->tag.word) + ")");
    }
    return DataValue();
  }

  // Nothing here allocates in the heap, so the payloads read below stay where they are.
  Guarded<DataValue> convert_seq(const ValueVector& items, bool is_vector) {
    DepthGuard guard;
    if (!guard) return std::unexpected(ValueFault::TooDeep);
    DataSeqBuilder seq(items.size());
    for (const Value& item : items) {
      if (walk_interrupted(heap_)) return std::unexpected(ValueFault::Interrupted);
      Guarded<DataValue> v = convert(item);
      if (!v) return v;
      seq.push_back(std::move(*v));
    }
    return seq.finish(is_vector ? DataKind::Vector : DataKind::List);
  }

  Guarded<DataValue> convert_set(const ValueSet& set) {
    DepthGuard guard;
    if (!guard) return std::unexpected(ValueFault::TooDeep);
    DataTableBuilder table(set.size());
    for (const Value& element : set) {
      if (walk_interrupted(heap_)) return std::unexpected(ValueFault::Interrupted);
      Guarded<DataValue> e = convert(element);
      if (!e) return e;
      table.insert(std::move(*e));
    }
    return table.finish(DataKind::Set);
  }

  Guarded<DataValue> convert_map(const ValueMap& map) {
    DepthGuard guard;
    if (!guard) return std::unexpected(ValueFault::TooDeep);
    DataTableBuilder table(map.size());
    for (const auto& entry : map) {
      if (walk_interrupted(heap_)) return std::unexpected(ValueFault::Interrupted);
      Guarded<DataValue> k = convert(entry.first);
      if (!k) return k;
      Guarded<DataValue> v = convert(entry.second);
      if (!v) return v;
      table.insert(std::move(*k), std::move(*v));
    }
    return table.finish(DataKind::Map);
  }

  const Heap& heap_;
  const Interner& names_;
  std::unordered_map<Spur, const DataText*> name_texts_;
};

class DataToValue {
public:
  DataToValue(Heap& heap, Interner& names) : heap_(heap), names_(names) {}

  Guarded<Value> convert(const DataValue& d) {
    if (std::optional<Value> v = immediate_value(d)) return *v;
    switch (d.kind()) {
    case DataKind::Nil:
    case DataKind::Bool:
    case DataKind::Int:
    case DataKind::Float:
      break; // answered above
    case DataKind::Opaque:
      return Value::nil();
    case DataKind::Ratio:
      // Data ratios are reduced with a denominator above 1, the runtime's own invariant.
      return Value::from_ratio_unchecked(d.numerator(), d.denominator());
    case DataKind::String:
      return alloc_string(heap_, d.text().view());
    case DataKind::Keyword:
      return Value::keyword(names_.get_or_intern(d.text().view()));
    case DataKind::Symbol:
      return Value::symbol(names_.get_or_intern(d.text().view()));
    case DataKind::List:
    case DataKind::Vector:
      return convert_seq(d.seq(), d.kind() == DataKind::Vector);
    case DataKind::Map:
      return convert_map(d.table());
    case DataKind::Set:
      return convert_set(d.table());
    case DataKind::Regex:
      return Value::object(heap_insert(heap_, HeapObject(RegexObject{d.as_regex().compiled()})));
    }
    return Value::nil();
  }

private:
  Guarded<Value> convert_seq(const DataSeq& seq, bool is_vector) {
    DepthGuard guard;
    if (!guard) return std::unexpected(ValueFault::TooDeep);
    ValueVector items;
    for (const DataValue& e : seq) {
      if (walk_interrupted(heap_)) return std::unexpected(ValueFault::Interrupted);
      Guarded<Value> v = convert(e);
      if (!v) return v;
      items.push_back_mut(*v);
    }
    return alloc_seq(heap_, std::move(items), is_vector);
  }

  Guarded<Value> convert_map(const DataTable& table) {
    DepthGuard guard;
    if (!guard) return std::unexpected(ValueFault::TooDeep);
    std::vector<Value> pairs;
    pairs.reserve(table.size() * 2);
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (walk_interrupted(heap_)) return std::unexpected(ValueFault::Interrupted);
      Guarded<Value> k = convert(table.key(i));
      if (!k) return k;
      pairs.push_back(*k);
      Guarded<Value> v = convert(table.value(i));
      if (!v) return v;
      pairs.push_back(*v);
    }
    Guarded<ValueMap> map = build_map_from_pairs(heap_, pairs);
    if (!map) return std::unexpected(map.error());
    return alloc_map(heap_, std::move(*map));
  }

  Guarded<Value> convert_set(const DataTable& table) {
    DepthGuard guard;
    if (!guard) return std::unexpected(ValueFault::TooDeep);
    std::vector<Value> elements;
    elements.reserve(table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
      if (walk_interrupted(heap_)) return std::unexpected(ValueFault::Interrupted);
      Guarded<Value> e = convert(table.key(i));
      if (!e) return e;
      elements.push_back(*e);
    }
    Guarded<ValueSet> set = build_set_from_values(heap_, elements);
    if (!set) return std::unexpected(set.error());
    return alloc_set(heap_, std::move(*set));
  }

  Heap& heap_;
  Interner& names_;
};

} // namespace

Guarded<DataValue> value_to_data(const Heap& heap, const Interner& names, const Value& value) {
  ValueToData conversion(heap, names);
  return conversion.convert(value);
}

Guarded<Value> data_to_value(Heap& heap, Interner& names, const DataValue& data) {
  // Held for the whole conversion, on every way out.
  NativeCallScope no_collection(heap);
  DataToValue conversion(heap, names);
  return conversion.convert(data);
}

} // namespace quorvex
