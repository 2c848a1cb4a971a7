// Writing a scalar value in place: tag word, payload word, zero word, the same bytes as
// Value::from_int / from_bool / from_float, without a temporary.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "value/value.hpp"

namespace quorvex {

static_assert(sizeof(Value) == 24 && offsetof(Value, as) == 8);
static_assert(std::endian::native == std::endian::little);

// Tag and payload go in one 16-byte store: whoever reads the value next (the run loop's next
// word, or the code that copies a host function's answer on) usually loads it 16 bytes at a
// time, and such a load cannot be forwarded from two separate 8-byte stores and would stall.
[[gnu::always_inline]] inline void put_scalar(Value& out, Tag tag, std::uint64_t payload) {
  const std::uint64_t tag_word = static_cast<std::uint64_t>(tag);
  const std::uint64_t zero = 0;
  char* bytes = reinterpret_cast<char*>(&out);
#if defined(__GNUC__) || defined(__clang__)
  typedef long long Pair __attribute__((vector_size(16), may_alias, aligned(8)));
  *reinterpret_cast<Pair*>(bytes) =
      Pair{static_cast<long long>(tag_word), static_cast<long long>(payload)};
#else
  std::memcpy(bytes, &tag_word, 8);
  std::memcpy(bytes + 8, &payload, 8);
#endif
  std::memcpy(bytes + 16, &zero, 8);
}

} // namespace quorvex
