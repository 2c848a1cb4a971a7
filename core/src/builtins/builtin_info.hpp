// What the layers above know about a builtin without its behaviour: name, position, documentation
// and argument count. The compiler resolves builtin names here without linking the machine; the
// machine pairs each row with its handler (vm/natives/builtins.hpp).
//
// A row's position is its builtin index. Compiled code carries three of those indices in
// `CallBuiltin` words (`nth` 0, `get` 8, `drop` 67) and every `Value::NativeFn` a program holds
// carries one, so the order of the rows is part of the bytecode format and never changes.
// Host functions take the native indices after the last row (BUILTIN_COUNT + k).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace quorvex {

// How many arguments a builtin accepts. A count outside [min, max] is refused before the handler
// runs, with min as the expected count of the arity error (also when there were too many).
struct Arity {
  std::uint16_t min = 0;
  std::uint16_t max = UNBOUNDED;

  static constexpr std::uint16_t UNBOUNDED = 0xFFFF;

  static constexpr Arity exactly(std::uint16_t n) { return {n, n}; }
  static constexpr Arity at_least(std::uint16_t n) { return {n, UNBOUNDED}; }
  static constexpr Arity between(std::uint16_t lo, std::uint16_t hi) { return {lo, hi}; }
  static constexpr Arity any() { return {0, UNBOUNDED}; }

  constexpr bool accepts(std::size_t count) const {
    return count >= min && (max == UNBOUNDED || count <= max);
  }
  constexpr bool operator==(const Arity&) const = default;
};

// The spellings of the list's arity column.
namespace builtin_arity {
constexpr Arity exactly(std::uint16_t n) { return Arity::exactly(n); }
constexpr Arity at_least(std::uint16_t n) { return Arity::at_least(n); }
constexpr Arity between(std::uint16_t lo, std::uint16_t hi) { return Arity::between(lo, hi); }
constexpr Arity any() { return Arity::any(); }
} // namespace builtin_arity

struct BuiltinInfo {
  std::string_view name; // the global the machine binds to Value::native_fn(index)
  std::string_view doc;  // signature line, '\n', one sentence; empty for the hidden rows
  Arity arity;
};

inline constexpr std::size_t BUILTIN_COUNT = 162;

// Indices that compiled code carries or that the machine reaches by position.
inline constexpr std::uint16_t BUILTIN_NTH = 0;
inline constexpr std::uint16_t BUILTIN_GET = 8;
inline constexpr std::uint16_t BUILTIN_XPATH = 60;
inline constexpr std::uint16_t BUILTIN_DROP = 67;
inline constexpr std::uint16_t BUILTIN_SUBVEC = 72;
inline constexpr std::uint16_t BUILTIN_THROW_ARITY = 73;
inline constexpr std::uint16_t BUILTIN_MAKE_EFFECT = 74;
inline constexpr std::uint16_t BUILTIN_ASSERT_FAILED = 77;
inline constexpr std::uint16_t BUILTIN_CONCAT = 82;
inline constexpr std::uint16_t BUILTIN_VEC = 83;
inline constexpr std::uint16_t BUILTIN_NANO_TIME = 158;

// The rows in index order, static storage.
std::span<const BuiltinInfo, BUILTIN_COUNT> builtin_infos();

// Index of the row with that name.
std::optional<std::uint16_t> find_builtin_index(std::string_view name);

} // namespace quorvex
