// The record of one function while its code is being written, and the operations that write it:
// emitting words, patching jumps, the constant table, scopes and local slots.
//
// Every limit of the instruction format is checked here, where the operand is produced, so that no
// operand ever wraps: constants past 65,535, locals past 256, captures past 255 and jumps farther
// than a signed 16-bit offset reaches all end in a compile error.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <unordered_map>
#include <vector>

#include "value/value.hpp"
#include "vm/compiler/compile_error.hpp"
#include "vm/instruction.hpp"
#include "vm/prototype.hpp"

namespace quorvex {

struct Local {
  Spur symbol = 0;
  std::uint8_t slot = 0;
  // How many times code looked the name up (reads, captures, shadowing checks): a handler
  // clause whose continuation is named only by its final call resumes in place.
  mutable std::uint32_t lookups = 0;
};

struct Scope {
  std::vector<Local> locals;
};

// Where `recur` may jump, and what it stores. `stores` has one entry per `recur` argument: the
// slot that argument is written to, or kDiscard when the argument is evaluated and dropped (a
// wildcard or literal parameter). Recording the slots themselves, rather than a first slot and a
// count, keeps `recur` exact when a loop's binding values declare locals of their own.
struct RecurTarget {
  static constexpr std::int16_t kDiscard = -1;

  std::uint32_t start = 0;
  std::vector<std::int16_t> stores;
  // Set for a clause whose parameters destructure: `recur` cannot rebind those patterns and is
  // refused with this text.
  const char* refusal = nullptr;
};

// A constant's identity: its tag and raw payload bits. Floats compare by bits, so 0.0 and -0.0
// are two constants; objects compare by key, so two staged strings are two constants.
struct ConstantKey {
  std::uint8_t tag = 0;
  std::uint64_t first = 0;
  std::uint64_t second = 0;

  friend bool operator==(const ConstantKey&, const ConstantKey&) = default;
};

struct ConstantKeyHash {
  std::size_t operator()(const ConstantKey& k) const noexcept;
};

ConstantKey constant_key(const Value& v);

struct FunctionContext {
  std::vector<Instruction> code;
  std::vector<Value> constants;
  // Filled only once there are more than kScannedConstants constants.
  std::unordered_map<ConstantKey, std::uint32_t, ConstantKeyHash> constant_index;
  static constexpr std::uint32_t kScannedConstants = 16;
  std::vector<SpanEntry> spans;
  std::vector<WrittenName> written_names;
  std::vector<UpvalueDesc> upvalue_descs;
  std::vector<Scope> scopes;
  std::vector<RecurTarget> recur_targets;
  Spur name = 0;
  bool is_variadic = false;
  // A macro expander: it runs at compile time, so it can capture nothing of enclosing functions.
  bool isolated = false;
  // The value being compiled is the value this function returns (TailCall may be used).
  bool in_tail_position = true;
  // The value being compiled is the value of the innermost loop body or of the function body
  // (`recur` is allowed). Differs from in_tail_position inside a loop that is not itself in tail
  // position of its function.
  bool in_recur_tail = true;
  std::uint8_t arity = 0;
  // Next free local slot. Up to kMaxLocals. It grows, except that an inline `match` clause hands
  // its slots back when it ends (no code after it can reach them).
  std::uint32_t next_slot = 0;
  // The most slots the function has needed at any point: its frame's size.
  std::uint32_t peak_slot = 0;
  // Scopes from this index on belong to the inline `match` clause being compiled. A local
  // declared below it does not hide a variant constructor in a pattern of the clause body, as it
  // would not if the body were a function of its own.
  std::size_t clause_scope_floor = 0;

  std::uint32_t code_size() const { return static_cast<std::uint32_t>(code.size()); }

  void emit(Instruction ins) { code.push_back(ins); }
  void emit_instruction(Opcode op, std::uint8_t a = 0, std::uint8_t b = 0, std::uint8_t c = 0) {
    code.push_back(Instruction::make(op, a, b, c));
  }
  void emit_ab(Opcode op, std::uint16_t ab, std::uint8_t c = 0) {
    code.push_back(Instruction::make_ab(op, ab, c));
  }
  // A word with only the opcode set; returns its position (for patch_jump).
  std::uint32_t emit_op(Opcode op) {
    code.push_back(Instruction::make(op));
    return code_size() - 1;
  }
  void emit_load_const(std::uint16_t index) { emit_ab(Opcode::LoadConst, index); }

  // Points the forward jump at `at` to the current end of the code.
  std::expected<void, CompileFailure> patch_jump(std::uint32_t at);
  // Emits a jump back to `target` (an earlier position).
  std::expected<void, CompileFailure> emit_backward_jump(Opcode op, std::uint32_t target);

  void record_span(const std::optional<SourceSpan>& span) {
    if (span) spans.push_back(SpanEntry{code_size(), *span});
  }

  // Index of an identical constant, appending the value when there is none. The index may be past
  // the 16-bit range; add_constant_checked refuses that.
  std::uint32_t add_constant(const Value& v);
  std::expected<std::uint16_t, CompileFailure>
  add_constant_checked(const Value& v, const std::optional<SourceSpan>& span);

  void push_scope() { scopes.emplace_back(); }
  void pop_scope() {
    if (!scopes.empty()) scopes.pop_back();
  }
  // Takes the next slot for `symbol` (recorded in the innermost scope when there is one).
  std::expected<std::uint8_t, CompileFailure> declare_local(Spur symbol,
                                                            const std::optional<SourceSpan>& span);
  // The slot of the innermost visible local of that name; counts the lookup.
  std::optional<std::uint8_t> find_local(Spur symbol) const;
  // The innermost visible local of that name, without counting a lookup.
  const Local* peek_local(Spur symbol) const;
  bool resolve_local(Spur symbol) const { return find_local(symbol).has_value(); }
  // Whether a local of that name is visible in the scopes from clause_scope_floor on.
  bool resolve_clause_local(Spur symbol) const;

  // Position of the descriptor in this function's capture list, appending it when new.
  std::expected<std::uint8_t, CompileFailure> add_upvalue(UpvalueDesc desc);

  // Pops nothing: builds the prototype out of this context's tables (which are moved).
  Prototype to_prototype();
};

// "too many upvalues": a function would need more captures than one closure word can load.
CompileFailure too_many_upvalues();

// "function body too large (...)": a jump would reach farther than a signed 16-bit offset.
CompileFailure jump_out_of_range();

} // namespace quorvex
