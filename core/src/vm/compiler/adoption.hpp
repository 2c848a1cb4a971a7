// Installing a compilation into the machine. The host moves the staging heap's objects into the
// machine's heap (building a map from old to new keys), then, for every new prototype:
//
//   remap_value_handles(proto, remap);             staged keys in constants -> machine keys
//   rebase_closure_operands(proto, placement);     compilation-local prototype indices ->
//   machine-wide link_global_reads(proto, index_of);            optional: by-name global reads ->
//   indexed reads
//
// and once, over the adopted objects:
//
//   fixup_adopted_templates(heap, placement, keys);  prototype indices inside closure templates
//
// where placement[i] is the machine-wide index local prototype i gets (CompilerHost::
// next_prototype_indices). compile_toplevel has already turned every closure word whose target's
// index would not fit 16 bits into a template-based one, for the placement at the end of the
// compilation, so rebasing never wraps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "util/internal_error.hpp"
#include "value/heap.hpp"
#include "vm/prototype.hpp"

namespace quorvex {

// Where the objects of a staging heap went: staging key -> machine key. Staging heaps never
// collect, so their slot indices are dense and the map is a table indexed by slot.
class HandleMap {
public:
  // The machine key of a staging key; none for a key the adoption did not move.
  std::optional<HeapKey> find(HeapKey staging_key) const {
    if (staging_key.index >= entries_.size()) return std::nullopt;
    const Entry& e = entries_[staging_key.index];
    if (e.staging_version != staging_key.version || e.staging_version == 0) return std::nullopt;
    return e.machine_key;
  }
  // Objects moved or merged.
  std::size_t size() const { return mapped_; }
  bool empty() const { return mapped_ == 0; }
  // Machine keys of the objects that entered the machine heap as new objects in the latest move,
  // in adoption order. Objects merged into an equal hash-consed object already in the machine are
  // not among them.
  std::span<const HeapKey> inserted() const { return inserted_; }

private:
  friend void move_staged_objects(Heap& machine, Heap& staging,
                                  std::optional<std::span<const HeapKey>> roots, HandleMap& map);
  struct Entry {
    std::uint32_t staging_version = 0; // 0: not mapped (live versions are odd)
    HeapKey machine_key{};
  };
  void set(HeapKey staging_key, HeapKey machine_key);

  std::vector<Entry> entries_;
  std::vector<HeapKey> inserted_;
  std::size_t mapped_ = 0;
};

// Moves staging objects into the machine heap and rewrites the keys held inside the moved
// objects, recording every move in `map` (whose earlier entries stay: keys of objects moved
// before translate as well). With `roots`, the objects reachable from those keys move; without,
// every live object. A hash-consed staging object equal to a live hash-consed object of the
// machine is not moved but mapped to that object, so that content stays one key across forms;
// objects are processed children first so that the comparison sees machine keys. New
// hash-consed objects are entered into the machine's intern tables. A moved object's slot is
// left vacant in the staging heap and never reused there, so its old key stays a valid key of
// `map`. Runs no collection; cannot fail.
void move_staged_objects(Heap& machine, Heap& staging,
                         std::optional<std::span<const HeapKey>> roots, HandleMap& map);

// Moves every object of the staging heap (consumed) into the machine heap; `moved` holds what
// was moved out of it before (a macro's objects, installed while the form compiled).
HandleMap adopt_compiled_objects(Heap& machine, Heap&& staging, HandleMap moved = {});

// Rewrites every Object constant whose key `remap` maps (remap(key) -> optional new key).
template <class F>
  requires std::is_invocable_r_v<std::optional<HeapKey>, F&, HeapKey>
void remap_value_handles(Prototype& proto, F&& remap) {
  for (Value& v : proto.constants) {
    if (v.tag != Tag::Object) continue;
    if (std::optional<HeapKey> to = remap(v.as.key)) v = Value::object(*to);
  }
}

template <class Hash, class Eq>
void remap_value_handles(Prototype& proto,
                         const std::unordered_map<HeapKey, HeapKey, Hash, Eq>& remap) {
  remap_value_handles(proto, [&](HeapKey k) -> std::optional<HeapKey> {
    auto it = remap.find(k);
    if (it == remap.end()) return std::nullopt;
    return it->second;
  });
}

// Replaces the prototype index i of every MakeClosure word by placement[i]. An index outside the
// placement, or one that would leave 16 bits, is an InternalError: compile_toplevel rules the
// latter out for the placement it was given.
void rebase_closure_operands(Prototype& proto, std::span<const std::uint32_t> placement);

// For every live ClosureTemplate among `keys`: gives it a function record of its own (copying a
// shared one) and replaces each clause's body and guard prototype index i by placement[i]. Other
// keys are skipped.
void fixup_adopted_templates(Heap& heap, std::span<const std::uint32_t> placement,
                             std::span<const HeapKey> keys);

// Turns `GetGlobal k` (k a Symbol constant) into `GetGlobalIndexed i` wherever
// index_of(symbol) -> optional<uint32_t> answers an index that fits 16 bits. Compiled code reads
// a global by name when the machine did not know the name at compile time (a definition in the
// same form, a forward reference); a machine that reserves a slot for such a name at adoption, a
// slot whose reads fail as an undefined variable until it is defined, can make those reads
// indexed with this. Reading by index a slot that holds that very name's global is always the
// same as reading by name, since globals never move.
template <class F> void link_global_reads(Prototype& proto, F&& index_of) {
  for (Instruction& ins : proto.code) {
    if (ins.op_byte() != static_cast<std::uint8_t>(Opcode::GetGlobal)) continue;
    if (ins.ab() >= proto.constants.size()) continue;
    const Value& name = proto.constants[ins.ab()];
    if (name.tag != Tag::Symbol) continue;
    std::optional<std::uint32_t> index = index_of(name.as.spur);
    if (!index || *index > 0xFFFF) continue;
    ins = Instruction::make_ab(Opcode::GetGlobalIndexed, static_cast<std::uint16_t>(*index));
  }
}

} // namespace quorvex
