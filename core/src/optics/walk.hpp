// What the optic engines share: reading targets out of the heap, building results, the depth
// bound, the focus tests and the cross-engine entry points. Nothing outside core/src/optics
// includes this header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "optics/optics.hpp"
#include "util/depth_guard.hpp"
#include "value/heap.hpp"
#include "value/objects.hpp"
#include "vm/natives/support.hpp"
#include "vm/vm.hpp"

namespace quorvex::optics {

using Kinds = std::vector<OpticKind>;
using KindSpan = std::span<const OpticKind>;

template <class T> using Result = std::expected<T, VmError>;

inline std::unexpected<VmError> fail(const char* text) {
  return std::unexpected(VmError::type_error(text));
}

// ---------------------------------------------------------------------------------------------
// Depth. A walk stops short of the guard's own limit, so that a predicate or function called at
// the deepest level still gets its nested run.

class WalkDepth {
public:
  bool ok() const {
    return guard_.ok() && guard_.depth() <= DepthGuard::kMaxDepth - kCallbackRoom &&
           remaining_native_stack() > kStackRoom;
  }

private:
  static constexpr int kCallbackRoom = 64;
  static constexpr std::size_t kStackRoom = std::size_t{1536} * 1024;
  DepthGuard guard_;
};

std::unexpected<VmError> too_deep();

// Whether an error met for one value may be dropped where a walk skips values that do not fit.
// An interrupt or a stack overflow (which end the whole run), the depth bound and a result too
// large to hold never are.
bool may_drop(const Vm& vm, const VmError& e);
// A type error that may be dropped.
bool is_droppable_type_error(const Vm& vm, const VmError& e);

// Counts a step of a walk that calls nothing back; polls the interrupt hook now and then.
Result<void> tick(Vm& vm);

// ---------------------------------------------------------------------------------------------
// Targets, copied out of the heap (persistent collections copy in O(1)), so that nothing points
// into the slot table across an allocation or a callback.

std::optional<SeqObject> seq_of(const Vm& vm, Value v);
std::optional<ValueSet> set_of(const Vm& vm, Value v);
std::optional<ValueMap> map_of(const Vm& vm, Value v);
std::optional<Variant> variant_of(const Vm& vm, Value v);

// The Value a key box holds; "expected a key box" when the handle names no live KeyBox.
Result<Value> key_of_box(const Vm& vm, HeapKey box);

// The entry of a map (nil when absent).
Result<Value> map_get(const Vm& vm, const ValueMap& map, Value key);
// The map with key -> value inserted or replaced, keeping its hash keys.
Result<ValueMap> map_put(Vm& vm, const ValueMap& map, Value key, Value value);
// A new empty map with fresh hash keys.
ValueMap fresh_map();
// The field a key names in a variant: keywords only.
std::optional<FieldRef> variant_field(const Vm& vm, const Variant& variant, Value key);

// New result objects; never hash-consed except variants, which always are.
Value new_seq(Vm& vm, ValueVector items, bool is_vector);
Value new_map(Vm& vm, ValueMap map);
Value new_set(Vm& vm, ValueSet set);
Result<Value> new_variant(Vm& vm, std::vector<Value> fields, VariantTag tag);
// The variant with the field at `index` replaced.
Result<Value> variant_with_field(Vm& vm, const Variant& variant, std::uint8_t index, Value value);

// The position an index names in a sequence of `length`, if any.
std::optional<std::size_t> index_position(std::size_t length, std::int64_t index);
// The positions [begin, end) a slice names in a sequence of `length`; begin >= end when none.
struct Window {
  std::size_t begin = 0;
  std::size_t end = 0;
  bool empty() const { return begin >= end; }
};
Window slice_window(std::size_t length, const OpticKind::Slice& slice);

// ---------------------------------------------------------------------------------------------
// Rebuilding a target with each child replaced by write(child), into a new object. The children
// written so far are rooted while the next one is written.

// Each element of [begin, end) replaced.
template <class Write>
NativeResult rewrite_elements(Vm& vm, const SeqObject& seq, std::size_t begin, std::size_t end,
                              Write&& write) {
  // Shared parts let a vector stand for more elements than memory holds; rewritten, each needs
  // room of its own.
  if (begin < end && end - begin > kMaxCopiedElements) return too_large_error();
  RootScope scope(vm.heap);
  ValueVector items = seq.items;
  for (std::size_t i = begin; i < end; ++i) {
    if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
    NativeResult r = write(items[i]);
    if (!r) return r;
    scope.add(*r);
    items.set_mut(i, *r);
  }
  return new_seq(vm, std::move(items), seq.is_vector);
}

// Each value of the map replaced, under the same keys.
template <class Write> NativeResult rewrite_values(Vm& vm, const ValueMap& map, Write&& write) {
  RootScope scope(vm.heap);
  ValueMap out = fresh_map();
  for (const auto& entry : map) {
    NativeResult r = write(entry.second);
    if (!r) return r;
    scope.add(*r);
    Result<ValueMap> next = map_put(vm, out, entry.first, *r);
    if (!next) return std::unexpected(std::move(next.error()));
    out = std::move(*next);
  }
  return new_map(vm, std::move(out));
}

// Each field of the variant replaced.
template <class Write> NativeResult rewrite_fields(Vm& vm, const Variant& variant, Write&& write) {
  RootScope scope(vm.heap);
  std::vector<Value> fields = variant.fields;
  for (Value& field : fields) {
    NativeResult r = write(field);
    if (!r) return r;
    scope.add(*r);
    field = *r;
  }
  return new_variant(vm, std::move(fields), variant.tag);
}

// ---------------------------------------------------------------------------------------------
// Optics.

// The kinds a composition's steps name, in order.
Result<Kinds> resolve_steps(const Vm& vm, const OpticKind::Compose& compose);
// The kind a First optic's inner handle names; "first requires an optic" otherwise.
Result<OpticKind> resolve_inner(const Vm& vm, const OpticKind::First& first);
// The chain a kind stands for: a composition's steps, or the kind alone.
Result<Kinds> as_chain(const Vm& vm, const OpticKind& kind);
// `head`'s chain followed by `rest`.
Result<Kinds> prepend_chain(const Vm& vm, const OpticKind& head, KindSpan rest);

// Calls back into the machine with one or two arguments.
NativeResult call1(Vm& vm, Value f, Value x);
NativeResult call2(Vm& vm, Value f, Value x, Value y);

// The focus test of Filtered, When, NotKey and KeyCompare on v (NotKey and KeyCompare check their
// key box first).
Result<bool> focus_test(Vm& vm, const OpticKind& kind, Value v);
// The predicate test of Filtered and When alone.
Result<bool> predicate_test(Vm& vm, HeapKey predicate, bool keyword_allowed, Value v);

// ---------------------------------------------------------------------------------------------
// Entry points one engine offers the others.

// The first focus through a chain of kinds applied in order.
NativeResult first_focus_chain(Vm& vm, KindSpan kinds, Value target);

struct Written {
  Value value;
  bool found = false;
};

// The write of the first focus only, through a chain.
Result<Written> set_first_chain(Vm& vm, KindSpan kinds, Value value, Value target);
// The write through a chain of kinds.
NativeResult set_compose(Vm& vm, KindSpan kinds, Value value, Value target);
// A write of the single focus `position` of a traversal kind (Each or Slice: the element there;
// Vals: the entry whose key is `key`), used where only the first focus may change.
NativeResult write_one_focus(Vm& vm, const OpticKind& kind, Value target, std::size_t position,
                             Value key, Value value);
// Where the first focus of a traversal kind lies: the element's position (Each, Slice) or the
// entry's key (Vals); none when the kind has no such focus on the target.
struct FocusPlace {
  std::size_t position = 0;
  Value key;
};
std::optional<FocusPlace> first_place(const Vm& vm, const OpticKind& kind, Value target);

// Visits the children a search enters (variant fields, map values, sequence elements) until
// `visit` reports a hit or an error; answers the node rebuilt with the hit child replaced.
template <class Visit> Result<Written> rebuild_first_child(Vm& vm, Value node, Visit&& visit) {
  if (std::optional<Variant> variant = variant_of(vm, node)) {
    for (std::size_t i = 0; i < variant->fields.size(); ++i) {
      Result<Written> r = visit(variant->fields[i]);
      if (!r || !r->found) {
        if (!r) return r;
        continue;
      }
      RootScope scope(vm.heap);
      scope.add(r->value);
      Result<Value> rebuilt =
          variant_with_field(vm, *variant, static_cast<std::uint8_t>(i), r->value);
      if (!rebuilt) return std::unexpected(std::move(rebuilt.error()));
      return Written{*rebuilt, true};
    }
  } else if (std::optional<ValueMap> map = map_of(vm, node)) {
    for (const auto& entry : *map) {
      Result<Written> r = visit(entry.second);
      if (!r) return r;
      if (!r->found) continue;
      RootScope scope(vm.heap);
      scope.add(r->value);
      Result<ValueMap> next = map_put(vm, *map, entry.first, r->value);
      if (!next) return std::unexpected(std::move(next.error()));
      return Written{new_map(vm, std::move(*next)), true};
    }
  } else if (std::optional<SeqObject> seq = seq_of(vm, node)) {
    for (std::size_t i = 0; i < seq->items.size(); ++i) {
      Result<Written> r = visit(seq->items[i]);
      if (!r) return r;
      if (!r->found) continue;
      return Written{new_seq(vm, seq->items.set(i, r->value), seq->is_vector), true};
    }
  }
  return Written{node, false};
}

// A write of the first focus answered as found.
inline Result<Written> found_write(NativeResult r) {
  if (!r) return std::unexpected(std::move(r.error()));
  return Written{*r, true};
}

// The pre-order search below a Deep step of a first-focus write: `write_at(node)` first, then
// each child in turn until one holds a focus.
template <class WriteAt> Result<Written> first_below_deep(Vm& vm, Value node, WriteAt&& write_at) {
  WalkDepth depth;
  if (!depth.ok()) return too_deep();
  // Finding nothing visits every path to every node: far more than the nodes when they share.
  if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
  Result<Written> here = write_at(node);
  if (!here || here->found) return here;
  return rebuild_first_child(
      vm, node, [&](const Value& child) { return first_below_deep(vm, child, write_at); });
}

// The head of a chain of two or more kinds in a first-focus write (`over` or `set` under
// `_first`): `write_chain(kinds, x)` writes the first focus of a chain below x, and the head
// decides where that runs and how its answer is written back. A nil focus of the head ends the
// search, unless `key_index_enter_nil` and the head is a Key or Index: then the rest may still
// find (or make) its focus there.
template <class WriteChain>
Result<Written> first_through_head(Vm& vm, const OpticKind& head, KindSpan rest, Value target,
                                   bool key_index_enter_nil, WriteChain&& write_chain) {
  switch (head.tag()) {
  case OpticTag::Compose: {
    Result<Kinds> flat = prepend_chain(vm, head, rest);
    if (!flat) return std::unexpected(std::move(flat.error()));
    return write_chain(KindSpan(*flat), target);
  }
  case OpticTag::Each: {
    std::optional<SeqObject> seq = seq_of(vm, target);
    if (!seq) return Written{target, false};
    for (std::size_t i = 0; i < seq->items.size(); ++i) {
      // A search that finds nothing visits every element, which sharing makes many.
      if (Result<void> t = tick(vm); !t) return std::unexpected(std::move(t.error()));
      Result<Written> r = write_chain(rest, seq->items[i]);
      if (!r) return r;
      if (r->found) return Written{new_seq(vm, seq->items.set(i, r->value), seq->is_vector), true};
    }
    return Written{target, false};
  }
  case OpticTag::Deep:
    return first_below_deep(vm, target, [&](const Value& node) { return write_chain(rest, node); });
  case OpticTag::Filtered:
  case OpticTag::When:
  case OpticTag::NotKey:
  case OpticTag::KeyCompare: {
    Result<std::vector<Value>> foci = view_all_optic(vm, head, target);
    if (!foci) return std::unexpected(std::move(foci.error()));
    if (foci->empty()) return Written{target, false};
    return write_chain(rest, target);
  }
  default: {
    RootScope scope(vm.heap);
    NativeResult v = view_optic(vm, head, target);
    if (!v) return std::unexpected(std::move(v.error()));
    const bool enters_nil =
        key_index_enter_nil && (head.tag() == OpticTag::Key || head.tag() == OpticTag::Index);
    if (v->is_nil() && !enters_nil) return Written{target, false};
    scope.add(*v);
    Result<Written> r = write_chain(rest, *v);
    if (!r || !r->found) {
      if (!r) return r;
      return Written{target, false};
    }
    scope.add(r->value);
    // Only the element or entry the focus came from is written back.
    if (std::optional<FocusPlace> place = first_place(vm, head, target))
      return found_write(write_one_focus(vm, head, target, place->position, place->key, r->value));
    return found_write(set_optic(vm, head, r->value, target));
  }
  }
}

// The update of the first focus only.
Result<Written> over_first(Vm& vm, const OpticKind& inner, Value f, Value target);
Result<Written> over_first_chain(Vm& vm, KindSpan chain, Value f, Value target);
// The update through a chain of kinds.
NativeResult over_compose(Vm& vm, KindSpan kinds, Value f, Value target);

} // namespace quorvex::optics
