// Text listings of compiled code, for tests and debugging.
//
//   fn fib  arity 1  locals 1  captures 0
//     constants: 0 = 2, 1 = fib
//     0000  GetLocal 0
//     0001  LoadConst 0          ; 2
//     0002  Lt                   @ 1:7
//     ...
#pragma once

#include <cstdint>
#include <string>

#include "vm/instruction.hpp"
#include "vm/prototype.hpp"

namespace quorvex {

class Interner;

// Optional sources of names; without them ids are printed as numbers.
struct DisassemblyNames {
  const Interner* interner = nullptr;
};

// One value as the listing shows it: ints, floats, ratios, nil and booleans as written; symbols by
// name; keywords with their colon; objects as #<object index:version>.
std::string describe_constant(const Value& v, const DisassemblyNames& names);

// The instruction at `pc` without position or span: "LoadConst 0 ; 2", "Jump +3 -> 7".
std::string format_instruction(const Prototype& proto, std::uint32_t pc,
                               const DisassemblyNames& names);

// Only the instructions, one per line, without positions or spans: the compact shape the golden
// tests compare against.
std::string disassemble_code(const Prototype& proto, const DisassemblyNames& names = {});

// The full listing: header, constants, every instruction with its position and span.
std::string disassemble(const Prototype& proto, const DisassemblyNames& names = {});

} // namespace quorvex
