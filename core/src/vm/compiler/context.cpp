#include "vm/compiler/context.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "util/internal_error.hpp"

namespace quorvex {

CompileFailure jump_out_of_range() {
  return CompileFailure::syntax("function body too large (jump farther than 32767 instructions)",
                                std::nullopt);
}

std::size_t ConstantKeyHash::operator()(const ConstantKey& k) const noexcept {
  // Fx-style mixing; the keys are small and the table is per function.
  std::uint64_t h = k.tag;
  h = (std::rotl(h, 5) ^ k.first) * 0x517cc1b727220a95ull;
  h = (std::rotl(h, 5) ^ k.second) * 0x517cc1b727220a95ull;
  return static_cast<std::size_t>(h);
}

ConstantKey constant_key(const Value& v) {
  ConstantKey k;
  k.tag = static_cast<std::uint8_t>(v.tag);
  switch (v.tag) {
  case Tag::Nil:
    break;
  case Tag::Bool:
    k.first = v.as.boolean & 1;
    break;
  case Tag::Int:
    k.first = static_cast<std::uint64_t>(v.as.integer);
    break;
  case Tag::Float:
    k.first = std::bit_cast<std::uint64_t>(v.as.floating);
    break;
  case Tag::Ratio:
    k.first = static_cast<std::uint64_t>(v.as.ratio.num);
    k.second = static_cast<std::uint64_t>(v.as.ratio.den);
    break;
  case Tag::Symbol:
  case Tag::Keyword:
    k.first = v.as.spur;
    break;
  case Tag::Object:
    k.first = v.as.key.index;
    k.second = v.as.key.version;
    break;
  case Tag::NativeFn:
    k.first = v.as.native;
    break;
  }
  return k;
}

std::expected<void, CompileFailure> FunctionContext::patch_jump(std::uint32_t at) {
  if (at >= code.size() || !is_valid_opcode(code[at].op_byte())) {
    throw InternalError("patch_jump: no jump at that position");
  }
  std::int64_t offset = static_cast<std::int64_t>(code.size()) - at - 1;
  if (offset > kMaxJumpOffset) return std::unexpected(jump_out_of_range());
  code[at] = Instruction::make_jump(code[at].op(), static_cast<std::int16_t>(offset));
  return {};
}

std::expected<void, CompileFailure> FunctionContext::emit_backward_jump(Opcode op,
                                                                        std::uint32_t target) {
  std::int64_t offset =
      static_cast<std::int64_t>(target) - (static_cast<std::int64_t>(code.size()) + 1);
  if (offset < kMinJumpOffset || offset > kMaxJumpOffset) {
    return std::unexpected(jump_out_of_range());
  }
  emit(Instruction::make_jump(op, static_cast<std::int16_t>(offset)));
  return {};
}

std::uint32_t FunctionContext::add_constant(const Value& v) {
  ConstantKey key = constant_key(v);
  const auto next = static_cast<std::uint32_t>(constants.size());
  // Most functions have a handful of constants: a scan of those costs less than a hash table
  // (a top-level `(+ 1 2)` would otherwise allocate one). The table takes over past that.
  if (next < kScannedConstants) {
    for (std::uint32_t i = 0; i < next; ++i) {
      if (constant_key(constants[i]) == key) return i;
    }
    constants.push_back(v);
    return next;
  }
  if (constant_index.empty()) {
    for (std::uint32_t i = 0; i < next; ++i)
      constant_index.try_emplace(constant_key(constants[i]), i);
  }
  auto [it, inserted] = constant_index.try_emplace(key, next);
  if (inserted) constants.push_back(v);
  return it->second;
}

std::expected<std::uint16_t, CompileFailure>
FunctionContext::add_constant_checked(const Value& v, const std::optional<SourceSpan>& span) {
  std::uint32_t index = add_constant(v);
  if (index > kMaxU16Operand) return std::unexpected(CompileFailure::too_many_constants(span));
  return static_cast<std::uint16_t>(index);
}

std::expected<std::uint8_t, CompileFailure>
FunctionContext::declare_local(Spur symbol, const std::optional<SourceSpan>& span) {
  if (next_slot >= kMaxLocals) return std::unexpected(CompileFailure::too_many_locals(span));
  auto slot = static_cast<std::uint8_t>(next_slot);
  ++next_slot;
  if (!scopes.empty()) scopes.back().locals.push_back(Local{symbol, slot});
  return slot;
}

const Local* FunctionContext::peek_local(Spur symbol) const {
  for (auto scope = scopes.rbegin(); scope != scopes.rend(); ++scope) {
    for (auto local = scope->locals.rbegin(); local != scope->locals.rend(); ++local) {
      if (local->symbol == symbol) return &*local;
    }
  }
  return nullptr;
}

std::optional<std::uint8_t> FunctionContext::find_local(Spur symbol) const {
  const Local* local = peek_local(symbol);
  if (local == nullptr) return std::nullopt;
  ++local->lookups;
  return local->slot;
}

bool FunctionContext::resolve_clause_local(Spur symbol) const {
  for (std::size_t i = scopes.size(); i-- > clause_scope_floor;) {
    for (const Local& local : scopes[i].locals) {
      if (local.symbol == symbol) return true;
    }
  }
  return false;
}

std::expected<std::uint8_t, CompileFailure> FunctionContext::add_upvalue(UpvalueDesc desc) {
  for (std::size_t i = 0; i < upvalue_descs.size(); ++i) {
    if (upvalue_descs[i] == desc) return static_cast<std::uint8_t>(i);
  }
  if (upvalue_descs.size() >= kMaxUpvalues) return std::unexpected(too_many_upvalues());
  upvalue_descs.push_back(desc);
  return static_cast<std::uint8_t>(upvalue_descs.size() - 1);
}

Prototype FunctionContext::to_prototype() {
  Prototype p;
  p.code = std::move(code);
  p.code.shrink_to_fit();
  p.constants = std::move(constants);
  p.constants.shrink_to_fit();
  p.spans = std::move(spans);
  p.spans.shrink_to_fit();
  p.written_names = std::move(written_names);
  p.upvalue_descs = std::move(upvalue_descs);
  p.name = name;
  p.arity = arity;
  p.is_variadic = is_variadic ? 1 : 0;
  p.upvalue_count = static_cast<std::uint8_t>(p.upvalue_descs.size());
  p.local_count = static_cast<std::uint16_t>(std::max(next_slot, peak_slot));
  return p;
}

CompileFailure too_many_upvalues() {
  return CompileFailure::syntax("too many upvalues", std::nullopt);
}

} // namespace quorvex
