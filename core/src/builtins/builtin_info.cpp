#include "builtins/builtin_info.hpp"

#include <algorithm>
#include <array>
#include <iterator>

namespace quorvex {
namespace {

constexpr BuiltinInfo ROWS[] = {
#define QV_BUILTIN(index, name, arity, handler, doc) {name, doc, builtin_arity::arity},
#include "builtins/builtin_list.def"
#undef QV_BUILTIN
};

constexpr std::uint16_t LISTED_INDEX[] = {
#define QV_BUILTIN(index, name, arity, handler, doc) index,
#include "builtins/builtin_list.def"
#undef QV_BUILTIN
};

constexpr bool rows_are_in_index_order() {
  for (std::size_t i = 0; i < std::size(LISTED_INDEX); ++i) {
    if (LISTED_INDEX[i] != i) return false;
  }
  return true;
}

constexpr bool names_are_distinct() {
  for (std::size_t i = 0; i < std::size(ROWS); ++i) {
    for (std::size_t j = i + 1; j < std::size(ROWS); ++j) {
      if (ROWS[i].name == ROWS[j].name) return false;
    }
  }
  return true;
}

constexpr bool arities_are_ordered() {
  for (const BuiltinInfo& row : ROWS) {
    if (row.arity.min > row.arity.max) return false;
  }
  return true;
}

constexpr bool row_is(std::uint16_t index, std::string_view name) {
  return ROWS[index].name == name;
}

static_assert(std::size(ROWS) == BUILTIN_COUNT);
static_assert(rows_are_in_index_order(), "a row's index column must equal its position");
static_assert(names_are_distinct());
static_assert(arities_are_ordered());
static_assert(row_is(BUILTIN_NTH, "nth") && row_is(BUILTIN_GET, "get") &&
              row_is(BUILTIN_XPATH, "xpath") && row_is(BUILTIN_DROP, "drop") &&
              row_is(BUILTIN_SUBVEC, "__subvec") && row_is(BUILTIN_THROW_ARITY, "__throw-arity") &&
              row_is(BUILTIN_MAKE_EFFECT, "__make_effect__") &&
              row_is(BUILTIN_ASSERT_FAILED, "assert-failed") && row_is(BUILTIN_CONCAT, "concat") &&
              row_is(BUILTIN_VEC, "vec") && row_is(BUILTIN_NANO_TIME, "nano-time"));

// Row indices ordered by name, computed at compile time, for binary search.
constexpr auto ROWS_BY_NAME = [] {
  std::array<std::uint16_t, BUILTIN_COUNT> order{};
  for (std::size_t i = 0; i < order.size(); ++i)
    order[i] = static_cast<std::uint16_t>(i);
  std::sort(order.begin(), order.end(),
            [](std::uint16_t a, std::uint16_t b) { return ROWS[a].name < ROWS[b].name; });
  return order;
}();

} // namespace

std::span<const BuiltinInfo, BUILTIN_COUNT> builtin_infos() {
  return std::span(ROWS);
}

std::optional<std::uint16_t> find_builtin_index(std::string_view name) {
  const auto end = ROWS_BY_NAME.end();
  const auto it =
      std::lower_bound(ROWS_BY_NAME.begin(), end, name,
                       [](std::uint16_t row, std::string_view n) { return ROWS[row].name < n; });
  if (it == end || ROWS[*it].name != name) return std::nullopt;
  return *it;
}

} // namespace quorvex
