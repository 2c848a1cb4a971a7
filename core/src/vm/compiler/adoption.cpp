#include "vm/compiler/adoption.hpp"

#include "value/hash_cons.hpp"

namespace quorvex {

namespace {

std::uint32_t placed(std::span<const std::uint32_t> placement, std::uint32_t local) {
  if (local >= placement.size()) throw InternalError("prototype index outside the compilation");
  return placement[local];
}

} // namespace

void rebase_closure_operands(Prototype& proto, std::span<const std::uint32_t> placement) {
  for (Instruction& ins : proto.code) {
    if (ins.op_byte() != static_cast<std::uint8_t>(Opcode::MakeClosure)) continue;
    const std::uint32_t index = placed(placement, ins.ab());
    if (index > kMaxU16Operand) {
      throw InternalError("closure prototype index out of range after rebasing");
    }
    ins = ins.with_ab(static_cast<std::uint16_t>(index));
  }
}

void fixup_adopted_templates(Heap& heap, std::span<const std::uint32_t> placement,
                             std::span<const HeapKey> keys) {
  for (HeapKey key : keys) {
    ClosureTemplate* tmpl = heap_get_mut_as<ClosureTemplate>(heap, key);
    if (tmpl == nullptr) continue;
    tmpl->function.make_unique();
    for (FunctionClause& clause : tmpl->function.mutable_clauses()) {
      clause.body_prototype = placed(placement, clause.body_prototype);
      if (clause.has_guard == 1) clause.guard_prototype = placed(placement, clause.guard_prototype);
    }
  }
}

void HandleMap::set(HeapKey staging_key, HeapKey machine_key) {
  Entry& e = entries_[staging_key.index];
  if (e.staging_version == 0) ++mapped_;
  e.staging_version = staging_key.version;
  e.machine_key = machine_key;
}

namespace {

InternTable* intern_table_for(Heap& h, ObjectKind kind) {
  switch (kind) {
  case ObjectKind::String:
    return &h.intern_string;
  case ObjectKind::Seq:
    return &h.intern_seq;
  case ObjectKind::Set:
    return &h.intern_set;
  case ObjectKind::Map:
    return &h.intern_map;
  case ObjectKind::Variant:
    return &h.intern_variant;
  default:
    return nullptr;
  }
}

bool is_live_slot(const Heap& h, HeapKey k) {
  return k.index != 0 && live_slot(h, k) != nullptr;
}

// The live hash-consed machine object equal to a hash-consed staging object whose handles already
// name machine objects; none when there is none or the comparison ran too deep.
std::optional<HeapKey> find_machine_twin(const Heap& machine, const HeapEntry& entry) {
  const InternTable* table = intern_table_for(const_cast<Heap&>(machine), entry.object.kind());
  if (table == nullptr) return std::nullopt;
  const HeapKey* candidate = table->find(*entry.cached_hash);
  if (candidate == nullptr) return std::nullopt;
  const HeapEntry* existing = heap_entry(machine, *candidate);
  if (existing == nullptr || !existing->cached_hash) return std::nullopt;
  Guarded<bool> same = objects_equal_for_intern(machine, existing->object, entry.object);
  if (!same || !*same) return std::nullopt;
  return *candidate;
}

} // namespace

void move_staged_objects(Heap& machine, Heap& staging,
                         std::optional<std::span<const HeapKey>> roots, HandleMap& map) {
  map.inserted_.clear();
  if (staging.live_count == 0) return;
  const std::size_t n = staging.slots.size();
  if (map.entries_.size() < n) map.entries_.resize(n);

  // Children before parents: a hash-consed parent is compared with machine objects only after
  // its elements have become machine keys (merged ones included). The staging heap hands out
  // slots in allocation order, which is already children-first for everything the compiler
  // builds; the depth-first walk makes no assumption about it.
  enum : std::uint8_t { kUnseen = 0, kOpen = 1, kDone = 2 };
  std::vector<std::uint8_t> state(n, kUnseen);
  std::vector<std::uint32_t> order;
  std::vector<std::pair<std::uint32_t, bool>> walk;
  std::vector<HeapKey> children;
  auto visit = [&](std::uint32_t root) {
    walk.emplace_back(root, false);
    while (!walk.empty()) {
      auto [index, expanded] = walk.back();
      walk.pop_back();
      if (expanded) {
        state[index] = kDone;
        order.push_back(index);
        continue;
      }
      if (state[index] != kUnseen) continue;
      state[index] = kOpen;
      walk.emplace_back(index, true);
      children.clear();
      trace_object(staging.slots[index].entry.object, children);
      for (HeapKey child : children) {
        if (is_live_slot(staging, child) && state[child.index] == kUnseen) {
          walk.emplace_back(child.index, false);
        }
      }
    }
  };
  if (roots) {
    for (HeapKey root : *roots) {
      if (is_live_slot(staging, root) && state[root.index] == kUnseen) visit(root.index);
    }
  } else {
    order.reserve(staging.live_count);
    for (std::uint32_t root = 1; root < n; ++root) {
      if ((staging.slots[root].version & 1) != 0 && state[root] == kUnseen) visit(root);
    }
  }
  map.inserted_.reserve(order.size());

  // A handle to a staging object not moved yet can only come from a cycle (through an atom or a
  // closure); such objects are never merged and get their handles rewritten again at the end.
  std::vector<HeapKey> unfinished;
  for (std::uint32_t index : order) {
    HeapSlot& slot = staging.slots[index];
    const HeapKey old_key{index, slot.version};
    HeapEntry entry = std::move(slot.entry);
    // Vacated for good: not on the free list, so the index is never handed out again and the old
    // key keeps naming this object in the map.
    slot.entry = HeapEntry{};
    ++slot.version;
    --staging.live_count;
    bool pending = false;
    remap_object_handles(entry.object, [&](HeapKey k) -> std::optional<HeapKey> {
      if (std::optional<HeapKey> to = map.find(k)) return to;
      if (is_live_slot(staging, k)) pending = true;
      return std::nullopt;
    });
    if (entry.cached_hash && !pending) {
      if (std::optional<HeapKey> twin = find_machine_twin(machine, entry)) {
        map.set(old_key, *twin);
        continue;
      }
    }
    const std::optional<std::uint64_t> hash = entry.cached_hash;
    const ObjectKind kind = entry.object.kind();
    const HeapKey new_key = heap_insert_entry(machine, std::move(entry));
    if (hash) {
      if (InternTable* table = intern_table_for(machine, kind)) table->set(*hash, new_key);
    }
    map.set(old_key, new_key);
    map.inserted_.push_back(new_key);
    if (pending) unfinished.push_back(new_key);
  }
  for (HeapKey key : unfinished) {
    if (HeapObject* object = heap_get_mut(machine, key)) {
      remap_object_handles(*object, [&](HeapKey k) { return map.find(k); });
    }
  }
}

HandleMap adopt_compiled_objects(Heap& machine, Heap&& staging, HandleMap moved) {
  move_staged_objects(machine, staging, std::nullopt, moved);
  Heap consumed = std::move(staging);
  return moved;
}

} // namespace quorvex
