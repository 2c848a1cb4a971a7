#include "vm/compiler/disassemble.hpp"

#include <cstdio>

#include "util/interner.hpp"
#include "builtins/builtin_info.hpp"

namespace quorvex {

namespace {

std::string name_of(Spur id, const DisassemblyNames& names) {
  if (names.interner != nullptr) {
    if (auto text = names.interner->try_resolve(id)) return std::string(*text);
  }
  return "#" + std::to_string(id);
}

std::string constant_at(const Prototype& proto, std::uint32_t index,
                        const DisassemblyNames& names) {
  if (index >= proto.constants.size()) return "<no constant>";
  return describe_constant(proto.constants[index], names);
}

std::string builtin_name(std::uint32_t index) {
  auto rows = builtin_infos();
  if (index < rows.size()) return std::string(rows[index].name);
  return "?";
}

} // namespace

std::string describe_constant(const Value& v, const DisassemblyNames& names) {
  switch (v.tag) {
  case Tag::Nil:
    return "nil";
  case Tag::Bool:
    return (v.as.boolean & 1) ? "true" : "false";
  case Tag::Int:
    return std::to_string(v.as.integer);
  case Tag::Float: {
    std::string out = float_text(v.as.floating);
    // Tell floats from ints in listings.
    if (out.find_first_of(".eEnN") == std::string::npos) out += ".0";
    return out;
  }
  case Tag::Ratio:
    return std::to_string(v.as.ratio.num) + "/" + std::to_string(v.as.ratio.den);
  case Tag::Symbol:
    return name_of(v.as.spur, names);
  case Tag::Keyword:
    return ":" + name_of(v.as.spur, names);
  case Tag::Object:
    return "#<object " + std::to_string(v.as.key.index) + ":" + std::to_string(v.as.key.version) +
           ">";
  case Tag::NativeFn:
    return "#<native " + std::to_string(v.as.native) + ">";
  }
  return "?";
}

std::string format_instruction(const Prototype& proto, std::uint32_t pc,
                               const DisassemblyNames& names) {
  Instruction ins = proto.code[pc];
  if (!is_valid_opcode(ins.op_byte()))
    return "<invalid opcode " + std::to_string(ins.op_byte()) + ">";
  std::string out = kOpcodeNames[ins.op_byte()];
  auto num = [](std::uint32_t n) { return std::to_string(n); };
  switch (ins.op()) {
  case Opcode::LoadConst:
    out += " " + num(ins.ab()) + " ; " + constant_at(proto, ins.ab(), names);
    break;
  case Opcode::GetGlobal:
  case Opcode::SetGlobal:
  case Opcode::DefineGlobal:
  case Opcode::PushHandler:
    out += " " + num(ins.ab()) + " ; " + constant_at(proto, ins.ab(), names);
    break;
  case Opcode::GetLocal:
  case Opcode::SetLocal:
  case Opcode::GetUpvalue:
  case Opcode::SetUpvalue:
  case Opcode::Call:
  case Opcode::TailCall:
    out += " " + num(ins.a());
    break;
  case Opcode::Jump:
  case Opcode::JumpIfFalse:
  case Opcode::JumpIfTrue: {
    std::int32_t off = ins.offset();
    out += std::string(" ") + (off >= 0 ? "+" : "") + std::to_string(off) + " -> " +
           std::to_string(static_cast<std::int64_t>(pc) + 1 + off);
    break;
  }
  case Opcode::MakeClosure:
    out += " " + num(ins.ab()) + " " + num(ins.c());
    break;
  case Opcode::MakeTemplateClosure:
    out += " " + num(ins.ab()) + " " + num(ins.c()) + " ; " + constant_at(proto, ins.ab(), names);
    break;
  case Opcode::MakeList:
  case Opcode::MakeVector:
  case Opcode::MakeMap:
  case Opcode::MakeSet:
  case Opcode::GetGlobalIndexed:
    out += " " + num(ins.ab());
    break;
  case Opcode::Perform:
    out += " " + num(ins.ab()) + " " + num(ins.c()) + " ; " + constant_at(proto, ins.ab(), names);
    break;
  case Opcode::PerformOp:
    out += " " + num(ins.a()) + " " + num(ins.b()) + " " + num(ins.c()) + " ; " +
           constant_at(proto, ins.a(), names) + "/" + constant_at(proto, ins.b(), names);
    break;
  case Opcode::CallBuiltin:
  case Opcode::Quot:
  case Opcode::Mod:
    out += " " + num(ins.ab()) + " " + num(ins.c()) + " ; " + builtin_name(ins.ab());
    break;
  case Opcode::HandlerSite:
  case Opcode::MakeVariant:
  case Opcode::MatchVariant:
    out += " " + num(ins.ab()) + " " + num(ins.c());
    break;
  case Opcode::VariantField:
    out += " " + num(ins.a());
    break;
  default:
    break;
  }
  return out;
}

std::string disassemble_code(const Prototype& proto, const DisassemblyNames& names) {
  std::string out;
  for (std::uint32_t pc = 0; pc < proto.code.size(); ++pc) {
    out += format_instruction(proto, pc, names);
    out += '\n';
  }
  return out;
}

std::string disassemble(const Prototype& proto, const DisassemblyNames& names) {
  std::string out = "fn ";
  out += proto.name == 0 ? std::string("<anonymous>") : name_of(proto.name, names);
  out += "  arity " + std::to_string(proto.arity);
  if (proto.is_variadic) out += "+rest";
  out += "  locals " + std::to_string(proto.local_count);
  out += "  captures " + std::to_string(proto.upvalue_count);
  for (const UpvalueDesc& d : proto.upvalue_descs) {
    out += d.from_upvalue ? " up" : " local";
    out += std::to_string(d.index);
  }
  out += '\n';
  if (!proto.constants.empty()) {
    out += "  constants:";
    for (std::size_t i = 0; i < proto.constants.size(); ++i) {
      out += i == 0 ? " " : ", ";
      out += std::to_string(i) + " = " + describe_constant(proto.constants[i], names);
    }
    out += '\n';
  }
  std::size_t span_at = 0;
  char pos[16];
  for (std::uint32_t pc = 0; pc < proto.code.size(); ++pc) {
    std::snprintf(pos, sizeof pos, "  %04u  ", pc);
    std::string line = pos + format_instruction(proto, pc, names);
    while (span_at < proto.spans.size() && proto.spans[span_at].pc < pc)
      ++span_at;
    if (span_at < proto.spans.size() && proto.spans[span_at].pc == pc) {
      if (line.size() < 40) line.resize(40, ' ');
      const SourceSpan& s = proto.spans[span_at].span;
      line += "  @ " + std::to_string(s.line + 1) + ":" + std::to_string(s.column + 1);
    }
    out += line;
    out += '\n';
  }
  return out;
}

} // namespace quorvex
