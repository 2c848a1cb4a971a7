// The threaded form of a prototype's code: what the run loop executes in ordinary frames.
//
// It is made once, when the prototype's view is made, from the checked code: a copy of the same
// length in which the first word of some common sequences carries a fused op byte instead of its
// own. Positions do not change, so frame ips, spans, jump offsets and the stop points of boundary
// frames mean the same in both forms. Only the first word of a sequence changes; the words after
// it keep their own op bytes, so a frame that resumes or jumps into the middle runs them one by
// one. No sequence spans a jump target other than its first word, so every loop head and branch
// target starts its own fused word.
//
// A fused word runs its whole sequence only when it cannot fail (integers without overflow,
// locals inside the frame, a cached callee); otherwise it runs just its first word as that
// word's own opcode would, and the rest follow one by one. Boundary frames run the unfused
// checked code (with their stop word), so a stop point never hides inside a fused word.
#pragma once

#include <cstdint>
#include <memory>
#include <type_traits>

#include "vm/instruction.hpp"

namespace quorvex::machine {

// Op bytes of fused words. They lie outside the opcode range, so the compiler cannot write them;
// a compiled word that uses one of these bytes is replaced by kInvalidMarkWord in the threaded
// form and still fails as an invalid opcode.
//
// clang-format off
//   byte  name            sequence                                     fused operands
//   64    LocLoc          GetLocal x, GetLocal y                       a x, b y
//   65    LocConstAdd     GetLocal x, LoadConst k, Add                 a x, b|c<<8 k
//   66    LocConstSub     GetLocal x, LoadConst k, Sub                 a x, b|c<<8 k
//   67    LocLocAdd       GetLocal x, GetLocal y, Add                  a x, b y
//   68    LocLocSub       GetLocal x, GetLocal y, Sub                  a x, b y
//   69    LocLocMul       GetLocal x, GetLocal y, Mul                  a x, b y
//   70    LocConstTest    GetLocal x, LoadConst k, <cmp>, JumpIfFalse  a x, b k (< 256), c mask
//   71    LocLocTest      GetLocal x, GetLocal y, <cmp>, JumpIfFalse   a x, b y, c mask
//   72    ConstAdd        LoadConst k, Add                             ab k
//   73    ConstSub        LoadConst k, Sub                             ab k
//   74    ConstTest       LoadConst k, <cmp>, JumpIfFalse              ab k, c mask
//   75    Test            <cmp>, JumpIfFalse                           c mask
//   76    StoreJump       SetLocal x, ... SetLocal z, Jump             a x, b second slot, c count
//   77    LocalReturn     GetLocal x, Return                           a x
//   78    AddReturn       Add, Return
//   79    GlobalCall      GetGlobalIndexed g, Call n                   ab g, c n
//   80    LocalCall       GetLocal f, Call n                           a f, c n
//   81    UpvalLocMul     GetUpvalue u, GetLocal x, Mul                a u, b x
//   82    UpvalAdd        GetUpvalue u, Add                            a u
//   83    VariantTest     MatchVariant t v, JumpIfFalse                ab t, c v
//   84    LocConstAddCall GetLocal x, LoadConst k, Add,                a x, b k (< 256)
//                         GetGlobalIndexed g, Call 1
//   85    LocConstSubCall GetLocal x, LoadConst k, Sub,                a x, b k (< 256)
//                         GetGlobalIndexed g, Call 1
//   86    LocLocAddStore  GetLocal x, GetLocal y, Add,                 a x, b y, c count
//                         SetLocal ... (count words), Jump
//   87    LocLocSubStore  the same with Sub                            a x, b y, c count
//   88    LocLocMulStore  the same with Mul                            a x, b y, c count
//   89    LocConstAddStore GetLocal x, LoadConst k, Add,               a x, b k (< 256), c count
//                         SetLocal ... (count words), Jump
//   90    LocConstSubStore the same with Sub                           a x, b k (< 256), c count
//   91    IntLoop         a whole loop iteration: test, recur, Jump    a|b<<8|c<<16 shape position
//                         back to this word (see LoopShape)
//   92    UpvalAddReturn  GetUpvalue u, Add, Return                    a u
//   93    AddStoreJump    Add, SetLocal x, [SetLocal y], Jump          a x, b y, c count (1 or 2)
// clang-format on
//
// A forward Jump whose target is a Return becomes a Return word.
//
// <cmp> is Eq, NotEq, Lt, Le, Gt or Ge; its mask has bit 0 set when the test holds for x < y,
// bit 1 for x == y and bit 2 for x > y.
enum class Fused : std::uint8_t {
  LocLoc = 64,
  LocConstAdd = 65,
  LocConstSub = 66,
  LocLocAdd = 67,
  LocLocSub = 68,
  LocLocMul = 69,
  LocConstTest = 70,
  LocLocTest = 71,
  ConstAdd = 72,
  ConstSub = 73,
  ConstTest = 74,
  Test = 75,
  StoreJump = 76,
  LocalReturn = 77,
  AddReturn = 78,
  GlobalCall = 79,
  LocalCall = 80,
  UpvalLocMul = 81,
  UpvalAdd = 82,
  VariantTest = 83,
  LocConstAddCall = 84,
  LocConstSubCall = 85,
  LocLocAddStore = 86,
  LocLocSubStore = 87,
  LocLocMulStore = 88,
  LocConstAddStore = 89,
  LocConstSubStore = 90,
  IntLoop = 91,
  UpvalAddReturn = 92,
  AddStoreJump = 93,
};

inline constexpr std::uint8_t kFirstFused = 64;
inline constexpr std::uint8_t kLastFused = 93;

// A loop whose every iteration is an integer test and a recur of integer sums, differences,
// products or copies of locals and constants:
//
//   head: <operand> <operand> <cmp> JumpIfFalse exit
//         (<operand> | <operand> <operand> Add/Sub/Mul) ... count times
//         SetLocal ... count times
//         Jump head
//
// where an operand is GetLocal or LoadConst. The head word becomes IntLoop, and its shape is kept
// after the code in the same array (the word's 24-bit operand is its position there, a multiple of
// two words from the start). IntLoop runs iterations until the test fails, an operation would
// overflow or the interrupt countdown reaches its poll; it reads and writes only the payloads of
// slots whose tags it found integer on entry, and it needs every slot below the stack top and
// every constant an integer, as the words it stands for would find them. Otherwise it runs
// `fallback`, the word the head would hold without it, and the words follow one by one.
struct LoopShape {
  static constexpr std::uint32_t kMaxCount = 3;
  static constexpr std::uint32_t kMaxOperands = 2 + 2 * kMaxCount;
  enum Op : std::uint8_t { Copy, Add, Sub, Mul };
  // Operand 0 and 1 are the test's; 2 + 2e and 3 + 2e are those of expression e (a copy has
  // its operand twice). Operand i is a local slot, or a constant index when bit i of is_const is
  // set.
  std::uint16_t operand[kMaxOperands] = {};
  std::uint8_t is_const = 0;
  std::uint8_t count = 0;
  std::uint8_t mask = 0;
  Op op[kMaxCount] = {};
  // The slot expression e is stored into.
  std::uint8_t store[kMaxCount] = {};
  // The exit of the test, in words from the word after the head.
  std::uint16_t exit = 0;
  std::uint32_t fallback = 0;
};
static_assert(std::is_trivially_copyable_v<LoopShape> && LoopShape::kMaxOperands <= 8);
inline constexpr std::uint32_t kLoopShapeWords = (sizeof(LoopShape) + 7) / 8 * 2;

// Stands in the threaded form for a compiled word whose op byte is a fused one; the run loop
// reports the compiled word's own byte.
inline constexpr std::uint32_t kInvalidMarkWord = 0xFDFFFFFFu;

// Fused words with 8-bit operands a, b, c, or with a 16-bit ab and c.
constexpr Instruction fused(Fused op, std::uint8_t a = 0, std::uint8_t b = 0, std::uint8_t c = 0) {
  return Instruction(static_cast<std::uint32_t>(op) | static_cast<std::uint32_t>(a) << 8 |
                     static_cast<std::uint32_t>(b) << 16 | static_cast<std::uint32_t>(c) << 24);
}
constexpr Instruction fused_ab(Fused op, std::uint16_t ab, std::uint8_t c = 0) {
  return Instruction(static_cast<std::uint32_t>(op) | static_cast<std::uint32_t>(ab) << 8 |
                     static_cast<std::uint32_t>(c) << 24);
}

// The comparison mask of a comparison opcode, 0 for any other op byte.
constexpr std::uint8_t comparison_mask(std::uint8_t op) {
  switch (static_cast<Opcode>(op)) {
  case Opcode::Eq:
    return 0b010;
  case Opcode::NotEq:
    return 0b101;
  case Opcode::Lt:
    return 0b001;
  case Opcode::Le:
    return 0b011;
  case Opcode::Gt:
    return 0b100;
  case Opcode::Ge:
    return 0b110;
  default:
    return 0;
  }
}

// The comparison opcode with that mask.
constexpr Opcode comparison_of_mask(std::uint8_t mask) {
  switch (mask) {
  case 0b010:
    return Opcode::Eq;
  case 0b101:
    return Opcode::NotEq;
  case 0b001:
    return Opcode::Lt;
  case 0b011:
    return Opcode::Le;
  case 0b100:
    return Opcode::Gt;
  default:
    return Opcode::Ge;
  }
}

// Whether the integer test of `mask` holds for x and y.
[[gnu::always_inline]] inline bool mask_holds(std::uint8_t mask, std::int64_t x, std::int64_t y) {
  const int at = (x > y) - (x < y) + 1;
  return (mask >> at) & 1;
}

// The threaded form of `size` checked words at `code`, followed by `extra` words (a trailing trap)
// copied as they are.
std::unique_ptr<Instruction[]> thread_code(const Instruction* code, std::uint32_t size,
                                           std::uint32_t extra);

} // namespace quorvex::machine
