// Installing a compilation into the machine. The host moves the staging heap's objects into the
// machine's heap (building a map from old to new keys), then, for every new prototype:
//
//   remap_value_handles(proto, remap);          staged keys in constants -> machine keys
//   rebase_closure_operands(proto, base);       compilation-local prototype indices -> machine-wide
//   link_global_reads(proto, index_of);         optional: by-name global reads -> indexed reads
//
// and once, over the adopted objects:
//
//   fixup_adopted_templates(heap, base, keys);  prototype indices inside closure templates
//
// where `base` is the number of prototypes the machine holds just before it appends the new ones.
// compile_toplevel has already turned every closure word whose rebased index would not fit 16 bits
// into a template-based one, provided that `base` is the machine's prototype count at the end of
// the compilation, so rebasing never wraps.
#pragma once

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

// Adds `base` to the prototype index of every MakeClosure word. An index that would leave 16 bits
// is an InternalError: compile_toplevel rules it out for the base it was given.
void rebase_closure_operands(Prototype& proto, std::uint32_t base);

// For every live ClosureTemplate among `keys`: gives it a function record of its own (copying a
// shared one) and adds `base` to each clause's body and guard prototype indices. Other keys are
// skipped.
void fixup_adopted_templates(Heap& heap, std::uint32_t base, std::span<const HeapKey> keys);

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
