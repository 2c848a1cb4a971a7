// The table itself. Rows whose family is not built yet answer a plain value error that names
// them; as each family lands its handlers replace those entries.
#include "vm/natives/builtins.hpp"

#include <algorithm>
#include <cstddef>
#include <expected>
#include <string>
#include <utility>

#include "vm/natives/handlers.hpp"

namespace quorvex {
namespace {

// A name as a template argument, so that each transitional row gets its own plain function
// pointer that knows which row it stands for.
template <std::size_t N> struct RowName {
  char text[N];
  constexpr RowName(const char (&s)[N]) { std::copy_n(s, N, text); }
  constexpr std::string_view view() const { return {text, N - 1}; }
};

template <RowName Name> NativeResult pending(Vm&, const Value*, std::size_t) {
  std::string message(Name.view());
  message += " is not yet available";
  return std::unexpected(VmError::value_error(std::move(message)));
}

// clang-format off
constexpr Builtin ROWS[] = {
    /*   0 */ {"nth", "Coll a × Int -> a\nReturns element at index.", builtin_nth},
    /*   1 */ {"first", "Coll a -> a | Nil\nReturns the first element.", pending<"first">},
    /*   2 */ {"rest", "Coll a -> Coll a\nReturns all but the first element.", pending<"rest">},
    /*   3 */ {"cons", "a × Coll a -> List a\nPrepends element to collection.", pending<"cons">},
    /*   4 */ {"conj", "Coll a × a -> Coll a\nAdds element to collection.", pending<"conj">},
    /*   5 */ {"count", "Coll a -> Int\nReturns number of elements.", pending<"count">},
    /*   6 */ {"empty?", "Coll a -> Bool\nTrue if collection has no elements.", pending<"empty?">},
    /*   7 */ {"seq", "Coll a -> List a | Nil\nCoerces to seq; nil if empty.", pending<"seq">},
    /*   8 */ {"get", "Coll a × k -> a | Nil\nLooks up key in collection.", builtin_get},
    /*   9 */ {"assoc", "Map k v × k × v -> Map k v\nAssociates key with value.", pending<"assoc">},
    /*  10 */ {"dissoc", "Map k v × k -> Map k v\nRemoves key from map.", pending<"dissoc">},
    /*  11 */ {"keys", "Map k v -> Vector k\nReturns keys of map.", pending<"keys">},
    /*  12 */ {"vals", "Map k v -> Vector v\nReturns values of map.", pending<"vals">},
    /*  13 */ {"contains?", "Coll a × a -> Bool\nTrue if collection contains key.", pending<"contains?">},
    /*  14 */ {"atom", "a -> Atom a\nCreates a mutable reference.", builtin_atom},
    /*  15 */ {"deref", "Atom a -> a\nReturns current value of atom.", builtin_deref},
    /*  16 */ {"reset!", "Atom a × a -> a\nSets atom to new value.", builtin_reset},
    /*  17 */ {"swap!", "Atom a × (a -> a) -> a\nApplies f to atom value and sets result.", builtin_swap},
    /*  18 */ {"+", "Num ... -> Num\nAddition.", builtin_add},
    /*  19 */ {"-", "Num ... -> Num\nSubtraction.", builtin_subtract},
    /*  20 */ {"*", "Num ... -> Num\nMultiplication.", builtin_multiply},
    /*  21 */ {"/", "Num × Num -> Num\nDivision.", builtin_divide},
    /*  22 */ {"=", "a × a -> Bool\nEquality.", builtin_equal},
    /*  23 */ {"<", "Num × Num -> Bool\nLess than.", builtin_less},
    /*  24 */ {"<=", "Num × Num -> Bool\nLess than or equal.", builtin_less_equal},
    /*  25 */ {">", "Num × Num -> Bool\nGreater than.", builtin_greater},
    /*  26 */ {">=", "Num × Num -> Bool\nGreater than or equal.", builtin_greater_equal},
    /*  27 */ {"nil?", "a -> Bool\nTrue if nil.", builtin_is_nil},
    /*  28 */ {"number?", "a -> Bool\nTrue if number.", builtin_is_number},
    /*  29 */ {"string?", "a -> Bool\nTrue if string.", builtin_is_string},
    /*  30 */ {"keyword?", "a -> Bool\nTrue if keyword.", builtin_is_keyword},
    /*  31 */ {"symbol?", "a -> Bool\nTrue if symbol.", builtin_is_symbol},
    /*  32 */ {"fn?", "a -> Bool\nTrue if function.", builtin_is_fn},
    /*  33 */ {"list?", "a -> Bool\nTrue if list.", builtin_is_list},
    /*  34 */ {"vector?", "a -> Bool\nTrue if vector.", builtin_is_vector},
    /*  35 */ {"map?", "a -> Bool\nTrue if map.", builtin_is_map},
    /*  36 */ {"set?", "a -> Bool\nTrue if set.", builtin_is_set},
    /*  37 */ {"coll?", "a -> Bool\nTrue if collection.", builtin_is_coll},
    /*  38 */ {"seq?", "a -> Bool\nTrue if sequential.", builtin_is_list},
    /*  39 */ {"ratio?", "a -> Bool\nTrue if ratio.", builtin_is_ratio},
    /*  40 */ {"str", "a ... -> String\nConcatenates arguments as strings.", pending<"str">},
    /*  41 */ {"subs", "String × Int -> String\nSubstring from index.", pending<"subs">},
    /*  42 */ {"string-length", "String -> Int\nReturns length of string.", pending<"string-length">},
    /*  43 */ {"pr-str", "a ... -> String\nPrint-readable string representation.", pending<"pr-str">},
    /*  44 */ {"re-pattern", "String -> Regex\nCompiles a regex pattern.", pending<"re-pattern">},
    /*  45 */ {"re-find", "Regex × String -> String | Nil\nFinds first match.", pending<"re-find">},
    /*  46 */ {"re-matches", "Regex × String -> String | Nil\nFull-string match.", pending<"re-matches">},
    /*  47 */ {"re-seq", "Regex × String -> Vector String\nAll matches as vector.", pending<"re-seq">},
    /*  48 */ {"view", "Optic s a × s -> a\nReads value at optic focus.", pending<"view">},
    /*  49 */ {"view-all", "Optic s a × s -> Vector a\nReads all values at optic foci.", pending<"view-all">},
    /*  50 */ {"over", "Optic s a × (a -> a) × s -> s\nApplies f at optic focus.", pending<"over">},
    /*  51 */ {"sett", "Optic s a × a × s -> s\nSets value at optic focus.", pending<"sett">},
    /*  52 */ {"*>", "Optic s a × Optic a b -> Optic s b\nComposes optics left-to-right.", pending<"*>">},
    /*  53 */ {"<*", "Optic a b × Optic s a -> Optic s b\nComposes optics right-to-left.", pending<"<*">},
    /*  54 */ {"_idx", "Int -> Optic (Vector a) a\nFocuses on index in vector.", pending<"_idx">},
    /*  55 */ {"filtered", "(a -> Bool) -> Optic (Vector a) a\nTraversal over matching elements.", pending<"filtered">},
    /*  56 */ {"_slice", "Int × Int -> Optic (Vector a) (Vector a)\nFocuses on a sub-range.", pending<"_slice">},
    /*  57 */ {"_when", "(a -> Bool) -> Optic a a\nFocuses when predicate holds.", pending<"_when">},
    /*  58 */ {"_first", "Optic s a -> Optic s a\nFocuses on first match of traversal.", pending<"_first">},
    /*  59 */ {"lens", "(s -> a) × (s × a -> s) -> Optic s a\nCreates a lens from getter and setter.", pending<"lens">},
    /*  60 */ {"xpath", "String -> Optic s a\nCreates optic from XPath-like path.", pending<"xpath">},
    /*  61 */ {"println", "a ... -> <console> Nil\nPrints to console with newline.", pending<"println">},
    /*  62 */ {"print", "a ... -> <console> Nil\nPrints to console.", pending<"print">},
    /*  63 */ {"map", "(a -> b) × Coll a -> Vector b\nApplies f to each element.", pending<"map">},
    /*  64 */ {"filter", "(a -> Bool) × Coll a -> Vector a\nElements satisfying pred.", pending<"filter">},
    /*  65 */ {"reduce", "(b × a -> b) × b × Coll a -> b\nReduces collection with f.", pending<"reduce">},
    /*  66 */ {"take", "Int × Coll a -> Vector a\nFirst n elements.", pending<"take">},
    /*  67 */ {"drop", "Int × Coll a -> Vector a\nAll but first n elements.", builtin_drop},
    /*  68 */ {"split", "String × String -> Vector String\nSplits string by separator.", pending<"split">},
    /*  69 */ {"join", "String × Coll String -> String\nJoins with separator.", pending<"join">},
    /*  70 */ {"upper-case", "String -> String\nConverts to upper case.", pending<"upper-case">},
    /*  71 */ {"lower-case", "String -> String\nConverts to lower case.", pending<"lower-case">},
    /*  72 */ {"__subvec", "", pending<"__subvec">},
    /*  73 */ {"__throw-arity", "", builtin_throw_arity},
    /*  74 */ {"__make_effect__", "", builtin_make_effect},
    /*  75 */ {"effect?", "a -> Bool\nTrue if value is an effect.", builtin_is_effect},
    /*  76 */ {"list", "a ... -> List a\nCreates a list.", pending<"list">},
    /*  77 */ {"assert-failed", "", builtin_assert_failed},
    /*  78 */ {"symbol", "String -> Symbol\nCreates a symbol from string.", pending<"symbol">},
    /*  79 */ {"keyword", "String -> Keyword\nCreates a keyword from string.", pending<"keyword">},
    /*  80 */ {"name", "Symbol | Keyword | String -> String\nReturns name part.", pending<"name">},
    /*  81 */ {"namespace", "Symbol | Keyword -> String | Nil\nReturns namespace part.", pending<"namespace">},
    /*  82 */ {"concat", "Coll a ... -> List a\nConcatenates collections.", builtin_concat},
    /*  83 */ {"vec", "Coll a -> Vector a\nCoerces to vector.", builtin_vec},
    /*  84 */ {"vector", "a ... -> Vector a\nCreates a vector.", pending<"vector">},
    /*  85 */ {"set", "Coll a -> Set a\nCreates a set from collection.", pending<"set">},
    /*  86 */ {"apply", "(a ... -> b) × a ... × Coll a -> b\nApplies f with args spread from collection.", pending<"apply">},
    /*  87 */ {"type", "a -> Keyword\nReturns type tag of value.", builtin_type},
    /*  88 */ {"hash-map", "k × v ... -> Map k v\nCreates a map from key-value pairs.", pending<"hash-map">},
    /*  89 */ {"hash-set", "a ... -> Set a\nCreates a set from arguments.", pending<"hash-set">},
    /*  90 */ {"empty", "Coll a -> Coll a\nReturns empty collection of same type.", pending<"empty">},
    /*  91 */ {"last", "Coll a -> a | Nil\nReturns the last element.", pending<"last">},
    /*  92 */ {"into", "Coll a × Coll a -> Coll a\nAdds all elements of source into target.", pending<"into">},
    /*  93 */ {"reverse", "Coll a -> Vector a\nReverses collection.", pending<"reverse">},
    /*  94 */ {"drop-last", "Coll a -> Vector a\nAll but last element.", pending<"drop-last">},
    /*  95 */ {"repeat", "Int × a -> Vector a\nVector of n copies of value.", pending<"repeat">},
    /*  96 */ {"range", "Int -> Vector Int\nIntegers from 0 to n-1.", pending<"range">},
    /*  97 */ {"mod", "Int × Int -> Int\nModulus.", builtin_mod},
    /*  98 */ {"read-string", "String -> a\nParses a Quorvex value from string.", pending<"read-string">},
    /*  99 */ {"even?", "Int -> Bool\nTrue if even.", builtin_even},
    /* 100 */ {"odd?", "Int -> Bool\nTrue if odd.", builtin_odd},
    /* 101 */ {"floor", "Num -> Int\nFloor.", builtin_floor},
    /* 102 */ {"ceil", "Num -> Int\nCeiling.", builtin_ceil},
    /* 103 */ {"round", "Num -> Int\nRounds to nearest integer.", builtin_round},
    /* 104 */ {"pow", "Num × Num -> Float\nExponentiation.", builtin_pow},
    /* 105 */ {"sqrt", "Num -> Float\nSquare root.", builtin_sqrt},
    /* 106 */ {"exp", "Num -> Float\nNatural exponential.", builtin_exp},
    /* 107 */ {"log", "Num -> Float\nNatural logarithm.", builtin_log},
    /* 108 */ {"log2", "Num -> Float\nBase-2 logarithm.", builtin_log2},
    /* 109 */ {"log10", "Num -> Float\nBase-10 logarithm.", builtin_log10},
    /* 110 */ {"sin", "Num -> Float\nSine.", builtin_sin},
    /* 111 */ {"cos", "Num -> Float\nCosine.", builtin_cos},
    /* 112 */ {"tan", "Num -> Float\nTangent.", builtin_tan},
    /* 113 */ {"asin", "Num -> Float\nArcsine.", builtin_asin},
    /* 114 */ {"acos", "Num -> Float\nArccosine.", builtin_acos},
    /* 115 */ {"atan", "Num -> Float\nArctangent.", builtin_atan},
    /* 116 */ {"atan2", "Num × Num -> Float\nTwo-argument arctangent.", builtin_atan2},
    /* 117 */ {"sinh", "Num -> Float\nHyperbolic sine.", builtin_sinh},
    /* 118 */ {"cosh", "Num -> Float\nHyperbolic cosine.", builtin_cosh},
    /* 119 */ {"tanh", "Num -> Float\nHyperbolic tangent.", builtin_tanh},
    /* 120 */ {"asinh", "Num -> Float\nInverse hyperbolic sine.", builtin_asinh},
    /* 121 */ {"acosh", "Num -> Float\nInverse hyperbolic cosine.", builtin_acosh},
    /* 122 */ {"atanh", "Num -> Float\nInverse hyperbolic tangent.", builtin_atanh},
    /* 123 */ {"hypot", "Num × Num -> Float\nHypotenuse length.", builtin_hypot},
    /* 124 */ {"signum", "Num -> Int\nSign: -1, 0, or 1.", builtin_signum},
    /* 125 */ {"quot", "Int × Int -> Int\nInteger quotient.", builtin_quot},
    /* 126 */ {"rem", "Int × Int -> Int\nRemainder.", builtin_rem},
    /* 127 */ {"gcd", "Int × Int -> Int\nGreatest common divisor.", builtin_gcd},
    /* 128 */ {"lcm", "Int × Int -> Int\nLeast common multiple.", builtin_lcm},
    /* 129 */ {"numerator", "Ratio -> Int\nNumerator of ratio.", builtin_numerator},
    /* 130 */ {"denominator", "Ratio -> Int\nDenominator of ratio.", builtin_denominator},
    /* 131 */ {"parse-int", "String -> Int | Nil\nParses integer from string.", pending<"parse-int">},
    /* 132 */ {"parse-double", "String -> Float | Nil\nParses float from string.", pending<"parse-double">},
    /* 133 */ {"bit-and", "Int × Int -> Int\nBitwise AND.", builtin_bit_and},
    /* 134 */ {"bit-or", "Int × Int -> Int\nBitwise OR.", builtin_bit_or},
    /* 135 */ {"bit-xor", "Int × Int -> Int\nBitwise XOR.", builtin_bit_xor},
    /* 136 */ {"bit-not", "Int -> Int\nBitwise NOT.", builtin_bit_not},
    /* 137 */ {"bit-shift-left", "Int × Int -> Int\nLeft bit shift.", builtin_bit_shift_left},
    /* 138 */ {"bit-shift-right", "Int × Int -> Int\nRight bit shift.", builtin_bit_shift_right},
    /* 139 */ {"pi", "-> Float\nPi constant.", builtin_pi},
    /* 140 */ {"e", "-> Float\nEuler's number.", builtin_e},
    /* 141 */ {"Infinity", "-> Float\nPositive infinity.", builtin_infinity},
    /* 142 */ {"-Infinity", "-> Float\nNegative infinity.", builtin_negative_infinity},
    /* 143 */ {"NaN", "-> Float\nNot a number.", builtin_nan},
    /* 144 */ {"int?", "a -> Bool\nTrue if integer.", builtin_is_int},
    /* 145 */ {"float?", "a -> Bool\nTrue if float.", builtin_is_float},
    /* 146 */ {"optic?", "a -> Bool\nTrue if optic.", pending<"optic?">},
    /* 147 */ {"trim", "String -> String\nRemoves leading and trailing whitespace.", pending<"trim">},
    /* 148 */ {"triml", "String -> String\nRemoves leading whitespace.", pending<"triml">},
    /* 149 */ {"trimr", "String -> String\nRemoves trailing whitespace.", pending<"trimr">},
    /* 150 */ {"starts-with?", "String × String -> Bool\nTrue if string starts with prefix.", pending<"starts-with?">},
    /* 151 */ {"ends-with?", "String × String -> Bool\nTrue if string ends with suffix.", pending<"ends-with?">},
    /* 152 */ {"replace", "String × String × String -> String\nReplaces all occurrences.", pending<"replace">},
    /* 153 */ {"replace-first", "String × String × String -> String\nReplaces first occurrence.", pending<"replace-first">},
    /* 154 */ {"format", "String × a ... -> String\nFormats string with arguments.", pending<"format">},
    /* 155 */ {"prn", "a ... -> <console> Nil\nPrints readable representation with newline.", pending<"prn">},
    /* 156 */ {"sort", "Coll a -> Vector a\nSorts elements in natural order.", pending<"sort">},
    /* 157 */ {"sort-by", "(a -> b) × Coll a -> Vector a\nSorts by key function.", pending<"sort-by">},
    /* 158 */ {"nano-time", "-> Int\nCurrent time in nanoseconds.", pending<"nano-time">},
};
// clang-format on

constexpr bool names_are_distinct() {
  for (std::size_t i = 0; i < std::size(ROWS); ++i) {
    for (std::size_t j = i + 1; j < std::size(ROWS); ++j) {
      if (ROWS[i].name == ROWS[j].name) return false;
    }
  }
  return true;
}

constexpr bool row_is(std::uint16_t index, std::string_view name) {
  return ROWS[index].name == name;
}

static_assert(std::size(ROWS) == BUILTIN_COUNT);
static_assert(names_are_distinct());
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

std::span<const Builtin, BUILTIN_COUNT> builtin_rows() {
  return std::span(ROWS);
}

std::vector<Builtin> builtin_table() {
  return std::vector<Builtin>(std::begin(ROWS), std::end(ROWS));
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
