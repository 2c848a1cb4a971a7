// Runtime values of a machine to and from DataValue.
//
// Every result that leaves a machine passes through value_to_data, every Python value that enters
// one through data_to_value. Both work on the machine's heap and name interner; neither runs
// language code.
#pragma once

#include <optional>

#include "data_value.hpp"
#include "util/interner.hpp"
#include "value/fault.hpp"
#include "value/heap.hpp"

namespace quorvex {

// The data form of a runtime value: numbers, names (the whole interned text, namespace included),
// strings and collections as themselves, regexes sharing their compiled expression; a stale
// object key is nil; closures, atoms, optics and the other objects without a data form are opaque
// texts ("closure", "atom", "variant(tag=N)", ...). Reads the heap and the interner without
// changing them. Fails with ValueFault::TooDeep for nesting beyond the depth guard, and with
// Interrupted when the heap's walk monitor stops a long conversion.
Guarded<DataValue> value_to_data(const Heap& heap, const Interner& names, const Value& value);

// The runtime value of nil, a boolean, an integer or a float, which needs neither heap nor
// interner; none for every other kind. Hot paths settle these before the general conversion.
inline std::optional<Value> immediate_value(const DataValue& d) {
  switch (d.kind()) {
  case DataKind::Nil:
    return Value::nil();
  case DataKind::Bool:
    return Value::from_bool(d.as_bool());
  case DataKind::Int:
    return Value::from_int(d.as_int());
  case DataKind::Float:
    return Value::from_float(d.as_float());
  default:
    return std::nullopt;
  }
}

// The runtime value of data, allocated in the machine's heap (strings and collections) and
// interner (keyword and symbol names). Maps and sets get canonical keys, so a string key made here
// finds the same key made by the program; sequences, sets and maps are hash-consed. Opaque data is
// nil. No collection runs while the conversion is under way: the objects it has made for the
// elements of an unfinished collection are reachable from nowhere else. The result itself is not
// rooted: the caller roots it before the next allocation.
//
// Fails with ValueFault::TooDeep (nesting beyond the depth guard), StringTooLong or Interrupted
// (the heap's walk monitor stopped a long conversion); an interner
// that can take no more names throws InternalError.
Guarded<Value> data_to_value(Heap& heap, Interner& names, const DataValue& data);

} // namespace quorvex
