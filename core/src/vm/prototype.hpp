// A finished function: what the compiler hands to the machine and what a call frame runs.
//
// Prototypes live in one table of the machine and are named by their position there; the
// collector frees those nothing can run any more and their positions are reused. While a
// top-level form compiles, its prototypes are numbered within that compilation; the host maps
// those numbers to the positions they get (see vm/compiler/adoption.hpp).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "reader/form.hpp" // SourceSpan
#include "value/value.hpp"
#include "vm/instruction.hpp"

namespace quorvex {

// Locates the instruction at `pc` in the source; recorded just before words that can fail at run
// time. Entries of one prototype are in non-decreasing pc order.
struct SpanEntry {
  std::uint32_t pc = 0;
  SourceSpan span{};
};

// A global read written with a qualifier (`foo/bar` reads the global `bar`): the name as written,
// which an "Undefined variable" error shows. Entries are in increasing pc order.
struct WrittenName {
  std::uint32_t pc = 0;
  Spur written = 0;
};

// One captured variable of a closure. When the closure is made, the enclosing function pushes
// GetLocal index (from_upvalue 0: a local slot of the directly enclosing function) or GetUpvalue
// index (from_upvalue 1: one of the enclosing function's own captures), in descriptor order.
struct UpvalueDesc {
  std::uint8_t from_upvalue = 0;
  std::uint8_t index = 0;

  friend constexpr bool operator==(UpvalueDesc x, UpvalueDesc y) = default;
};
static_assert(sizeof(UpvalueDesc) == 2);

// The most local slots one frame may need, and the most captures one closure may hold (the
// capture count travels in the 8-bit c operand of the closure-making words).
inline constexpr std::uint32_t kMaxLocals = 256;
inline constexpr std::uint32_t kMaxUpvalues = 255;

struct Prototype {
  std::vector<Instruction> code;
  // Object constants hold keys of the compilation's staging heap until the host adopts them.
  std::vector<Value> constants;
  std::vector<SpanEntry> spans;
  std::vector<WrittenName> written_names;
  std::vector<UpvalueDesc> upvalue_descs;
  // Labels the function in runtime-error traces; 0 when anonymous or top level.
  Spur name = 0;
  // Number of fixed parameters.
  std::uint8_t arity = 0;
  std::uint8_t is_variadic = 0;
  // Equals upvalue_descs.size(); at most kMaxUpvalues.
  std::uint8_t upvalue_count = 0;
  // Local slots a frame needs, parameters included; at most kMaxLocals (hence 16 bits).
  std::uint16_t local_count = 0;
  // A handler clause whose last parameter (its continuation) is used only by the clause's final
  // form, `(k v)`, compiled to Resume: a perform may run it in place, without capturing.
  std::uint8_t resumes_in_tail = 0;
  // A handler clause that never names its continuation: a perform need not capture one for it.
  std::uint8_t ignores_continuation = 0;
};

// The span recorded for the instruction at `pc`, when there is one: the last entry whose pc is at
// most `pc` and equal to it. Binary search over the sorted table.
inline const SourceSpan* find_span_at(const Prototype& proto, std::uint32_t pc) {
  std::size_t lo = 0;
  std::size_t hi = proto.spans.size();
  while (lo < hi) {
    std::size_t mid = lo + (hi - lo) / 2;
    if (proto.spans[mid].pc <= pc) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == 0 || proto.spans[lo - 1].pc != pc) return nullptr;
  return &proto.spans[lo - 1].span;
}

// The name as written of the global read at `pc`, when it was written with a qualifier.
inline std::optional<Spur> find_written_name(const Prototype& proto, std::uint32_t pc) {
  for (const WrittenName& w : proto.written_names) {
    if (w.pc == pc) return w.written;
  }
  return std::nullopt;
}

} // namespace quorvex
