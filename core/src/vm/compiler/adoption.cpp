#include "vm/compiler/adoption.hpp"

namespace quorvex {

void rebase_closure_operands(Prototype& proto, std::uint32_t base) {
  for (Instruction& ins : proto.code) {
    if (ins.op_byte() != static_cast<std::uint8_t>(Opcode::MakeClosure)) continue;
    const std::uint64_t rebased = static_cast<std::uint64_t>(ins.ab()) + base;
    if (rebased > kMaxU16Operand) {
      throw InternalError("closure prototype index out of range after rebasing");
    }
    ins = ins.with_ab(static_cast<std::uint16_t>(rebased));
  }
}

void fixup_adopted_templates(Heap& heap, std::uint32_t base, std::span<const HeapKey> keys) {
  for (HeapKey key : keys) {
    ClosureTemplate* tmpl = heap_get_mut_as<ClosureTemplate>(heap, key);
    if (tmpl == nullptr) continue;
    tmpl->function.make_unique();
    for (FunctionClause& clause : tmpl->function.mutable_clauses()) {
      clause.body_prototype += base;
      if (clause.has_guard == 1) clause.guard_prototype += base;
    }
  }
}

} // namespace quorvex
