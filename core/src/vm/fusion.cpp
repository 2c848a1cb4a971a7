#include "vm/fusion.hpp"

#include <cstring>
#include <optional>
#include <utility>
#include <vector>

namespace quorvex::machine {

namespace {

constexpr std::uint8_t op_of(Opcode op) {
  return static_cast<std::uint8_t>(op);
}

constexpr bool is_jump_op(std::uint8_t op) {
  return op == op_of(Opcode::Jump) || op == op_of(Opcode::JumpIfFalse) ||
         op == op_of(Opcode::JumpIfTrue);
}

// The fused word for a sequence and how many words it covers; none when the length is 0.
struct Match {
  Instruction word;
  std::uint32_t length = 0;
};

// The shape of the loop from `head` to its backward Jump at `jump`, when it is one (LoopShape).
std::optional<LoopShape> loop_shape(const Instruction* code, std::uint32_t head,
                                    std::uint32_t jump) {
  LoopShape shape;
  std::uint32_t i = head;
  std::uint32_t operands = 0;
  // Reads an operand word at i into the next operand position.
  auto operand = [&](std::uint32_t at) {
    const Instruction w = code[at];
    if (w.op_byte() == op_of(Opcode::GetLocal)) {
      shape.operand[operands++] = w.a();
      return true;
    }
    if (w.op_byte() == op_of(Opcode::LoadConst)) {
      shape.is_const |= static_cast<std::uint8_t>(1u << operands);
      shape.operand[operands++] = w.ab();
      return true;
    }
    return false;
  };
  if (jump < head + 4 || !operand(i) || !operand(i + 1)) return std::nullopt;
  shape.mask = comparison_mask(code[i + 2].op_byte());
  if (shape.mask == 0 || code[i + 3].op_byte() != op_of(Opcode::JumpIfFalse) ||
      code[i + 3].offset() < 0)
    return std::nullopt;
  // The exit counts from the word after the head: three words on, then the jump's own offset.
  shape.exit = static_cast<std::uint16_t>(3 + code[i + 3].offset());
  i += 4;
  while (i < jump && code[i].op_byte() != op_of(Opcode::SetLocal)) {
    if (shape.count == LoopShape::kMaxCount || !operand(i)) return std::nullopt;
    const std::uint8_t e = shape.count++;
    const std::uint8_t op = i + 2 < jump ? code[i + 2].op_byte() : 0;
    const bool binary =
        op == op_of(Opcode::Add) || op == op_of(Opcode::Sub) || op == op_of(Opcode::Mul);
    if (binary && operand(i + 1)) {
      shape.op[e] = op == op_of(Opcode::Add)   ? LoopShape::Add
                    : op == op_of(Opcode::Sub) ? LoopShape::Sub
                                               : LoopShape::Mul;
      i += 3;
    } else if (binary) {
      return std::nullopt;
    } else {
      // A copy: its one operand counts twice, so every expression has two.
      shape.operand[operands] = shape.operand[operands - 1];
      if (shape.is_const & (1u << (operands - 1)))
        shape.is_const |= static_cast<std::uint8_t>(1u << operands);
      ++operands;
      shape.op[e] = LoopShape::Copy;
      i += 1;
    }
  }
  // One store per expression, the last value first, then the jump back.
  if (shape.count == 0 || jump - i != shape.count) return std::nullopt;
  for (std::uint32_t s = 0; s < shape.count; ++s) {
    if (code[i + s].op_byte() != op_of(Opcode::SetLocal)) return std::nullopt;
    shape.store[shape.count - 1 - s] = code[i + s].a();
  }
  return shape;
}

} // namespace

std::unique_ptr<Instruction[]> thread_code(const Instruction* code, std::uint32_t size,
                                           std::uint32_t extra) {
  auto out = std::make_unique<Instruction[]>(size + extra);
  for (std::uint32_t i = 0; i < size + extra; ++i)
    out[i] = code[i];

  // A compiled word with a fused op byte must not run as one.
  for (std::uint32_t i = 0; i < size; ++i) {
    const std::uint8_t op = code[i].op_byte();
    if (op >= kFirstFused && op <= kLastFused) out[i] = Instruction(kInvalidMarkWord);
  }
  // A forward jump to a Return returns.
  for (std::uint32_t i = 0; i < size; ++i) {
    const Instruction w = code[i];
    if (w.op_byte() != op_of(Opcode::Jump) || w.offset() < 0) continue;
    const std::int64_t t = static_cast<std::int64_t>(i) + 1 + w.offset();
    if (t < size && code[t].op_byte() == op_of(Opcode::Return))
      out[i] = Instruction::make(Opcode::Return);
  }

  // Jump targets, once the jumps that return are gone.
  std::vector<bool> target(size, false);
  for (std::uint32_t i = 0; i < size; ++i) {
    const Instruction w = out[i];
    if (!is_jump_op(w.op_byte())) continue;
    const std::int64_t t = static_cast<std::int64_t>(i) + 1 + w.offset();
    if (t >= 0 && t < size) target[static_cast<std::size_t>(t)] = true;
  }
  auto op_at = [&](std::uint32_t i) -> std::uint8_t { return out[i].op_byte(); };
  // Whether words at+1 .. at+n-1 exist and none is a jump target.
  auto span_ok = [&](std::uint32_t at, std::uint32_t n) {
    if (at + n > size) return false;
    for (std::uint32_t k = 1; k < n; ++k)
      if (target[at + k]) return false;
    return true;
  };
  auto is_op = [&](std::uint32_t i, Opcode op) { return i < size && op_at(i) == op_of(op); };

  // The number of SetLocal words from `at` when a Jump follows them (a recur's stores), else 0.
  auto stores_then_jump = [&](std::uint32_t at) -> std::uint32_t {
    std::uint32_t n = 0;
    while (n < 255 && is_op(at + n, Opcode::SetLocal))
      ++n;
    return n > 0 && is_op(at + n, Opcode::Jump) ? n : 0;
  };

  std::uint32_t i = 0;
  while (i < size) {
    const Instruction w = out[i];
    Match m;
    switch (static_cast<Opcode>(w.op_byte())) {
    case Opcode::GetLocal: {
      const std::uint8_t x = w.a();
      if (is_op(i + 1, Opcode::GetLocal)) {
        const std::uint8_t y = out[i + 1].a();
        const std::uint8_t mask = i + 2 < size ? comparison_mask(op_at(i + 2)) : 0;
        const std::uint32_t stores = stores_then_jump(i + 3);
        const bool store_ok = stores > 0 && span_ok(i, 4 + stores);
        const auto n = static_cast<std::uint8_t>(stores);
        if (mask != 0 && is_op(i + 3, Opcode::JumpIfFalse) && span_ok(i, 4)) {
          m = {fused(Fused::LocLocTest, x, y, mask), 4};
        } else if (store_ok && is_op(i + 2, Opcode::Add)) {
          m = {fused(Fused::LocLocAddStore, x, y, n), 4 + stores};
        } else if (store_ok && is_op(i + 2, Opcode::Sub)) {
          m = {fused(Fused::LocLocSubStore, x, y, n), 4 + stores};
        } else if (store_ok && is_op(i + 2, Opcode::Mul)) {
          m = {fused(Fused::LocLocMulStore, x, y, n), 4 + stores};
        } else if (is_op(i + 2, Opcode::Add) && span_ok(i, 3)) {
          m = {fused(Fused::LocLocAdd, x, y), 3};
        } else if (is_op(i + 2, Opcode::Sub) && span_ok(i, 3)) {
          m = {fused(Fused::LocLocSub, x, y), 3};
        } else if (is_op(i + 2, Opcode::Mul) && span_ok(i, 3)) {
          m = {fused(Fused::LocLocMul, x, y), 3};
        } else if (span_ok(i, 2)) {
          m = {fused(Fused::LocLoc, x, y), 2};
        }
      } else if (is_op(i + 1, Opcode::LoadConst)) {
        const std::uint16_t k = out[i + 1].ab();
        const std::uint8_t mask = i + 2 < size ? comparison_mask(op_at(i + 2)) : 0;
        const bool call_1 = k <= 0xFF && is_op(i + 3, Opcode::GetGlobalIndexed) &&
                            is_op(i + 4, Opcode::Call) && out[i + 4].a() == 1 && span_ok(i, 5);
        const std::uint32_t stores = k <= 0xFF ? stores_then_jump(i + 3) : 0;
        const bool store_ok = stores > 0 && span_ok(i, 4 + stores);
        const auto n = static_cast<std::uint8_t>(stores);
        if (mask != 0 && k <= 0xFF && is_op(i + 3, Opcode::JumpIfFalse) && span_ok(i, 4)) {
          m = {fused(Fused::LocConstTest, x, static_cast<std::uint8_t>(k), mask), 4};
        } else if (store_ok && is_op(i + 2, Opcode::Add)) {
          m = {fused(Fused::LocConstAddStore, x, static_cast<std::uint8_t>(k), n), 4 + stores};
        } else if (store_ok && is_op(i + 2, Opcode::Sub)) {
          m = {fused(Fused::LocConstSubStore, x, static_cast<std::uint8_t>(k), n), 4 + stores};
        } else if (call_1 && is_op(i + 2, Opcode::Add)) {
          m = {fused(Fused::LocConstAddCall, x, static_cast<std::uint8_t>(k)), 5};
        } else if (call_1 && is_op(i + 2, Opcode::Sub)) {
          m = {fused(Fused::LocConstSubCall, x, static_cast<std::uint8_t>(k)), 5};
        } else if (is_op(i + 2, Opcode::Add) && span_ok(i, 3)) {
          m = {fused(Fused::LocConstAdd, x, static_cast<std::uint8_t>(k),
                     static_cast<std::uint8_t>(k >> 8)),
               3};
        } else if (is_op(i + 2, Opcode::Sub) && span_ok(i, 3)) {
          m = {fused(Fused::LocConstSub, x, static_cast<std::uint8_t>(k),
                     static_cast<std::uint8_t>(k >> 8)),
               3};
        }
      } else if (is_op(i + 1, Opcode::Return) && span_ok(i, 2)) {
        m = {fused(Fused::LocalReturn, x), 2};
      } else if (is_op(i + 1, Opcode::Call) && span_ok(i, 2)) {
        m = {fused(Fused::LocalCall, x, 0, out[i + 1].a()), 2};
      }
      break;
    }
    case Opcode::LoadConst: {
      const std::uint16_t k = w.ab();
      const std::uint8_t mask = i + 1 < size ? comparison_mask(op_at(i + 1)) : 0;
      if (mask != 0 && is_op(i + 2, Opcode::JumpIfFalse) && span_ok(i, 3)) {
        m = {fused_ab(Fused::ConstTest, k, mask), 3};
      } else if (is_op(i + 1, Opcode::Add) && span_ok(i, 2)) {
        m = {fused_ab(Fused::ConstAdd, k), 2};
      } else if (is_op(i + 1, Opcode::Sub) && span_ok(i, 2)) {
        m = {fused_ab(Fused::ConstSub, k), 2};
      }
      break;
    }
    case Opcode::Eq:
    case Opcode::NotEq:
    case Opcode::Lt:
    case Opcode::Le:
    case Opcode::Gt:
    case Opcode::Ge:
      if (is_op(i + 1, Opcode::JumpIfFalse) && span_ok(i, 2))
        m = {fused(Fused::Test, 0, 0, comparison_mask(w.op_byte())), 2};
      break;
    case Opcode::SetLocal: {
      std::uint32_t n = 1;
      while (n < 255 && is_op(i + n, Opcode::SetLocal))
        ++n;
      if (is_op(i + n, Opcode::Jump) && span_ok(i, n + 1)) {
        const std::uint8_t second = n >= 2 ? out[i + 1].a() : 0;
        m = {fused(Fused::StoreJump, w.a(), second, static_cast<std::uint8_t>(n)), n + 1};
      }
      break;
    }
    case Opcode::Add: {
      const std::uint32_t stores = stores_then_jump(i + 1);
      if (is_op(i + 1, Opcode::Return) && span_ok(i, 2)) {
        m = {fused(Fused::AddReturn), 2};
      } else if ((stores == 1 || stores == 2) && span_ok(i, stores + 2)) {
        const std::uint8_t second = stores == 2 ? out[i + 2].a() : 0;
        m = {fused(Fused::AddStoreJump, out[i + 1].a(), second, static_cast<std::uint8_t>(stores)),
             stores + 2};
      }
      break;
    }
    case Opcode::GetGlobalIndexed:
      if (is_op(i + 1, Opcode::Call) && span_ok(i, 2))
        m = {fused_ab(Fused::GlobalCall, w.ab(), out[i + 1].a()), 2};
      break;
    case Opcode::GetUpvalue:
      if (is_op(i + 1, Opcode::Add) && is_op(i + 2, Opcode::Return) && span_ok(i, 3)) {
        m = {fused(Fused::UpvalAddReturn, w.a()), 3};
      } else if (is_op(i + 1, Opcode::GetLocal) && is_op(i + 2, Opcode::Mul) && span_ok(i, 3)) {
        m = {fused(Fused::UpvalLocMul, w.a(), out[i + 1].a()), 3};
      } else if (is_op(i + 1, Opcode::Add) && span_ok(i, 2)) {
        m = {fused(Fused::UpvalAdd, w.a()), 2};
      }
      break;
    case Opcode::MatchVariant:
      if (is_op(i + 1, Opcode::JumpIfFalse) && span_ok(i, 2))
        m = {fused_ab(Fused::VariantTest, w.ab(), w.c()), 2};
      break;
    default:
      break;
    }
    if (m.length == 0) {
      ++i;
      continue;
    }
    out[i] = m.word;
    i += m.length;
  }

  // Whole loops (LoopShape), found from their backward jumps. The shapes go after the code, at
  // an even word position: the array itself is aligned to at least 8 bytes.
  std::vector<std::pair<std::uint32_t, LoopShape>> loops;
  for (std::uint32_t j = 0; j < size; ++j) {
    const Instruction w = code[j];
    if (w.op_byte() != op_of(Opcode::Jump) || w.offset() >= 0) continue;
    const std::int64_t head = static_cast<std::int64_t>(j) + 1 + w.offset();
    if (head < 0 ||
        !span_ok(static_cast<std::uint32_t>(head), j + 1 - static_cast<std::uint32_t>(head)))
      continue;
    if (std::optional<LoopShape> shape = loop_shape(code, static_cast<std::uint32_t>(head), j)) {
      shape->fallback = out[head].word;
      loops.emplace_back(static_cast<std::uint32_t>(head), *shape);
    }
  }
  if (loops.empty()) return out;
  const std::uint32_t first = (size + extra + 1) / 2 * 2;
  if (first + loops.size() * kLoopShapeWords > 0xFFFFFF) return out;
  auto grown = std::make_unique<Instruction[]>(first + loops.size() * kLoopShapeWords);
  for (std::uint32_t i = 0; i < size + extra; ++i)
    grown[i] = out[i];
  std::uint32_t at = first;
  for (const auto& [head, shape] : loops) {
    std::memcpy(static_cast<void*>(grown.get() + at), &shape, sizeof(LoopShape));
    grown[head] = Instruction(static_cast<std::uint32_t>(Fused::IntLoop) | at << 8);
    at += kLoopShapeWords;
  }
  return grown;
}

} // namespace quorvex::machine
