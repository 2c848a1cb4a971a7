// The instruction format: the one contract between the compiler (the only writer of code words)
// and the run loop (the only reader). Code words never leave the process, so nothing else depends
// on it, but these two sides must agree on every bit below.
//
// One instruction is one 32-bit word:
//
//     31        24 23        16 15         8 7          0
//    +------------+------------+------------+------------+
//    |     c      |     b      |     a      |     op     |
//    +------------+------------+------------+------------+
//                 |<-------- ab (16 bits) -->|
//
//   op  bits 0-7    the Opcode, 0 to 44; a word with a larger op byte is refused by the run loop
//   a   bits 8-15   first 8-bit operand
//   b   bits 16-23  second 8-bit operand
//   c   bits 24-31  third 8-bit operand
//   ab  bits 8-23   a | b << 8, the 16-bit operand
//
// Each opcode reads a fixed set of operands (table below); operands it does not read are written 0.
//
// Operand kinds:
//   constant  16-bit index into the running prototype's constant table (8-bit in PerformOp)
//   slot      8-bit local slot counted from the frame's stack base (slot 0 = first parameter)
//   capture   8-bit index into the running closure's captured values
//   count     8-bit argument count (a or c); 16-bit element or pair count (ab)
//   proto     16-bit prototype index. While compiling it is local to one compilation; the host
//             rebases it when the prototypes join the machine's table (rebase_closure_operands).
//   builtin   16-bit row of the builtin table; the row order is part of this format
//   global    16-bit index into the machine's globals table
//   type      16-bit data-type index, with an 8-bit variant index in c
//   offset    ab read as a signed 16-bit number, added to the position of the NEXT word:
//             a jump at p with offset d continues at p + 1 + d
//
// Opcodes. "Stack" shows what the compiler has pushed before the word (top last) and what the
// word leaves. "Span" marks words the compiler gives a source-span entry so a runtime error can
// be located.
//
// clang-format off
//   #  name                 operands                    stack                       span
//   0  LoadConst            ab constant                 -> value
//   1  Pop                                              v ->
//   2  Dup                                              v -> v v
//   3  GetLocal             a slot                      -> value
//   4  SetLocal             a slot                      v ->
//   5  GetUpvalue           a capture                   -> value
//   6  SetUpvalue           a capture                   v ->                        (never emitted)
//   7  GetGlobal            ab constant (Symbol)        -> value                    when the symbol has one
//   8  SetGlobal            ab constant (Symbol)        v ->                        (never emitted)
//   9  DefineGlobal         ab constant (Symbol)        v ->
//  10  Add                                              x y -> x+y                  yes
//  11  Sub                                              x y -> x-y                  yes
//  12  Mul                                              x y -> x*y                  yes
//  13  Div                                              x y -> x/y                  yes
//  14  Rem                                              x y -> truncated remainder  yes
//  15  Neg                                              x -> -x                     yes
//  16  Eq                                               x y -> bool
//  17  NotEq                                            x y -> bool
//  18  Lt                                               x y -> bool                 yes
//  19  Le                                               x y -> bool                 yes
//  20  Gt                                               x y -> bool                 yes
//  21  Ge                                               x y -> bool                 yes
//  22  Not                                              x -> bool
//  23  Jump                 ab offset                   ->
//  24  JumpIfFalse          ab offset                   test ->
//  25  JumpIfTrue           ab offset                   test ->
//  26  Call                 a count                     args... callee -> result    when the form has one
//  27  TailCall             a count                     args... callee -> result
//  28  Return                                           result -> (frame ends)
//  29  MakeClosure          ab proto, c count           captures... -> closure
//  30  MakeTemplateClosure  ab constant, c count        captures... -> closure
//  31  MakeList             ab count                    elems... -> list
//  32  MakeVector           ab count                    elems... -> vector
//  33  MakeMap              ab pair count               k v k v ... -> map
//  34  MakeSet              ab count                    elems... -> set
//  35  PushHandler          ab constant (Symbol)        handler ->
//  36  PopHandler                                       ->
//  37  Perform              ab constant, c count        args... -> result
//  38  Resume                                           (never emitted)
//  39  PerformOp            a constant (effect),        args... -> result           when the form has one
//                           b constant (op), c count
//  40  CallBuiltin          ab builtin, c count         args... -> result           for call forms
//  41  GetGlobalIndexed     ab global                   -> value
//  42  MakeVariant          ab type, c variant          fields... -> variant
//  43  MatchVariant         ab type, c variant          v -> bool
//  44  VariantField         a field                     variant -> field
//  45  Quot                 ab builtin, c count         x y -> quotient             yes
//  46  Mod                  ab builtin, c count         x y -> modulus              yes
//  47  HandlerSite          ab constant, c skip         -> map (c > 0, when cached)
// clang-format on
//
// Notes on use:
// - Calls push the arguments left to right, then the callee (Call/TailCall only); CallBuiltin and
//   PerformOp push only the arguments.
// - TailCall is emitted only for the clause function of a `match` in tail position of a function.
// - MakeClosure builds a plain one-clause function from a prototype; every other function (several
//   clauses, patterns, guards, a rest parameter) is a ClosureTemplate constant. Captured values are
//   pushed in capture order before either word.
// - Quot and Mod are the CallBuiltin of `quot` and of `mod` with two arguments: two integers (the
//   divisor neither 0 nor -1) are divided in place, everything else goes to the builtin.
// - MatchVariant answers whether v is a variant of that type and variant; VariantField reads a
//   field by position and is emitted only after a MatchVariant of the same value succeeded (it
//   answers nil for anything else). Both come from `match` clauses compiled to inline tests.
// - HandlerSite keeps the dispatch map of a `with-handler` whose clauses capture nothing in a
//   constant of its own: with c > 0 it pushes the map kept there, if any, and skips the c words
//   that build it; with c = 0 it keeps the map on top of the stack there.
// - Forward jumps are written as a placeholder and patched once the target is known; backward
//   jumps (recur) are written with their final, negative offset.
#pragma once

#include <cstdint>

namespace quorvex {

enum class Opcode : std::uint8_t {
  LoadConst = 0,
  Pop = 1,
  Dup = 2,
  GetLocal = 3,
  SetLocal = 4,
  GetUpvalue = 5,
  SetUpvalue = 6,
  GetGlobal = 7,
  SetGlobal = 8,
  DefineGlobal = 9,
  Add = 10,
  Sub = 11,
  Mul = 12,
  Div = 13,
  Rem = 14,
  Neg = 15,
  Eq = 16,
  NotEq = 17,
  Lt = 18,
  Le = 19,
  Gt = 20,
  Ge = 21,
  Not = 22,
  Jump = 23,
  JumpIfFalse = 24,
  JumpIfTrue = 25,
  Call = 26,
  TailCall = 27,
  Return = 28,
  MakeClosure = 29,
  MakeTemplateClosure = 30,
  MakeList = 31,
  MakeVector = 32,
  MakeMap = 33,
  MakeSet = 34,
  PushHandler = 35,
  PopHandler = 36,
  Perform = 37,
  Resume = 38,
  PerformOp = 39,
  CallBuiltin = 40,
  GetGlobalIndexed = 41,
  MakeVariant = 42,
  MatchVariant = 43,
  VariantField = 44,
  Quot = 45,
  Mod = 46,
  HandlerSite = 47,
};

inline constexpr std::uint8_t kOpcodeCount = 48;
inline constexpr std::uint8_t kMaxOpcode = 47;

constexpr bool is_valid_opcode(std::uint8_t op) {
  return op <= kMaxOpcode;
}

// Names as the disassembler prints them, indexed by opcode.
inline constexpr const char* kOpcodeNames[kOpcodeCount] = {
    "LoadConst",
    "Pop",
    "Dup",
    "GetLocal",
    "SetLocal",
    "GetUpvalue",
    "SetUpvalue",
    "GetGlobal",
    "SetGlobal",
    "DefineGlobal",
    "Add",
    "Sub",
    "Mul",
    "Div",
    "Rem",
    "Neg",
    "Eq",
    "NotEq",
    "Lt",
    "Le",
    "Gt",
    "Ge",
    "Not",
    "Jump",
    "JumpIfFalse",
    "JumpIfTrue",
    "Call",
    "TailCall",
    "Return",
    "MakeClosure",
    "MakeTemplateClosure",
    "MakeList",
    "MakeVector",
    "MakeMap",
    "MakeSet",
    "PushHandler",
    "PopHandler",
    "Perform",
    "Resume",
    "PerformOp",
    "CallBuiltin",
    "GetGlobalIndexed",
    "MakeVariant",
    "MatchVariant",
    "VariantField",
    "Quot",
    "Mod",
    "HandlerSite",
};

// One code word. A plain 32-bit value with named accessors, through which both sides read and
// write the fields; they compile to the same shifts and masks as spelled out by hand.
struct Instruction {
  std::uint32_t word = 0;

  constexpr Instruction() = default;
  constexpr explicit Instruction(std::uint32_t w) : word(w) {}

  static constexpr Instruction make(Opcode op, std::uint8_t a = 0, std::uint8_t b = 0,
                                    std::uint8_t c = 0) {
    return Instruction(static_cast<std::uint32_t>(op) | static_cast<std::uint32_t>(a) << 8 |
                       static_cast<std::uint32_t>(b) << 16 | static_cast<std::uint32_t>(c) << 24);
  }
  static constexpr Instruction make_ab(Opcode op, std::uint16_t ab, std::uint8_t c = 0) {
    return Instruction(static_cast<std::uint32_t>(op) | static_cast<std::uint32_t>(ab) << 8 |
                       static_cast<std::uint32_t>(c) << 24);
  }
  // A jump with a signed offset relative to the word after it.
  static constexpr Instruction make_jump(Opcode op, std::int16_t offset) {
    return make_ab(op, static_cast<std::uint16_t>(offset));
  }

  constexpr std::uint8_t op_byte() const { return static_cast<std::uint8_t>(word & 0xFF); }
  // Only meaningful when is_valid_opcode(op_byte()).
  constexpr Opcode op() const { return static_cast<Opcode>(op_byte()); }
  constexpr std::uint8_t a() const { return static_cast<std::uint8_t>(word >> 8); }
  constexpr std::uint8_t b() const { return static_cast<std::uint8_t>(word >> 16); }
  constexpr std::uint8_t c() const { return static_cast<std::uint8_t>(word >> 24); }
  constexpr std::uint16_t ab() const { return static_cast<std::uint16_t>(word >> 8); }
  constexpr std::int16_t offset() const { return static_cast<std::int16_t>(ab()); }

  // Same opcode and c, new ab.
  constexpr Instruction with_ab(std::uint16_t ab) const {
    return Instruction((word & 0xFF0000FFu) | static_cast<std::uint32_t>(ab) << 8);
  }
  // Same operands, new opcode.
  constexpr Instruction with_op(Opcode op) const {
    return Instruction((word & 0xFFFFFF00u) | static_cast<std::uint32_t>(op));
  }
  // Same opcode, b and c, new a.
  constexpr Instruction with_a(std::uint8_t a) const {
    return Instruction((word & 0xFFFF00FFu) | static_cast<std::uint32_t>(a) << 8);
  }

  friend constexpr bool operator==(Instruction x, Instruction y) = default;
};

static_assert(sizeof(Instruction) == 4);

// Widths of the operand fields: the compiler refuses anything beyond them with a compile error.
inline constexpr std::uint32_t kMaxU8Operand = 0xFF;
inline constexpr std::uint32_t kMaxU16Operand = 0xFFFF;
inline constexpr std::int32_t kMinJumpOffset = -32768;
inline constexpr std::int32_t kMaxJumpOffset = 32767;

} // namespace quorvex
