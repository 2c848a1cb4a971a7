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
    /*  14 */ {"atom", "a -> Atom a\nCreates a mutable reference.", pending<"atom">},
    /*  15 */ {"deref", "Atom a -> a\nReturns current value of atom.", pending<"deref">},
    /*  16 */ {"reset!", "Atom a × a -> a\nSets atom to new value.", pending<"reset!">},
    /*  17 */ {"swap!", "Atom a × (a -> a) -> a\nApplies f to atom value and sets result.", pending<"swap!">},
    /*  18 */ {"+", "Num ... -> Num\nAddition.", pending<"+">},
    /*  19 */ {"-", "Num ... -> Num\nSubtraction.", pending<"-">},
    /*  20 */ {"*", "Num ... -> Num\nMultiplication.", pending<"*">},
    /*  21 */ {"/", "Num × Num -> Num\nDivision.", pending<"/">},
    /*  22 */ {"=", "a × a -> Bool\nEquality.", pending<"=">},
    /*  23 */ {"<", "Num × Num -> Bool\nLess than.", pending<"<">},
    /*  24 */ {"<=", "Num × Num -> Bool\nLess than or equal.", pending<"<=">},
    /*  25 */ {">", "Num × Num -> Bool\nGreater than.", pending<">">},
    /*  26 */ {">=", "Num × Num -> Bool\nGreater than or equal.", pending<">=">},
    /*  27 */ {"nil?", "a -> Bool\nTrue if nil.", pending<"nil?">},
    /*  28 */ {"number?", "a -> Bool\nTrue if number.", pending<"number?">},
    /*  29 */ {"string?", "a -> Bool\nTrue if string.", pending<"string?">},
    /*  30 */ {"keyword?", "a -> Bool\nTrue if keyword.", pending<"keyword?">},
    /*  31 */ {"symbol?", "a -> Bool\nTrue if symbol.", pending<"symbol?">},
    /*  32 */ {"fn?", "a -> Bool\nTrue if function.", pending<"fn?">},
    /*  33 */ {"list?", "a -> Bool\nTrue if list.", pending<"list?">},
    /*  34 */ {"vector?", "a -> Bool\nTrue if vector.", pending<"vector?">},
    /*  35 */ {"map?", "a -> Bool\nTrue if map.", pending<"map?">},
    /*  36 */ {"set?", "a -> Bool\nTrue if set.", pending<"set?">},
    /*  37 */ {"coll?", "a -> Bool\nTrue if collection.", pending<"coll?">},
    /*  38 */ {"seq?", "a -> Bool\nTrue if sequential.", pending<"seq?">},
    /*  39 */ {"ratio?", "a -> Bool\nTrue if ratio.", pending<"ratio?">},
    /*  40 */ {"str", "a ... -> String\nConcatenates arguments as strings.", builtin_str},
    /*  41 */ {"subs", "String × Int -> String\nSubstring from index.", builtin_subs},
    /*  42 */ {"string-length", "String -> Int\nReturns length of string.", builtin_string_length},
    /*  43 */ {"pr-str", "a ... -> String\nPrint-readable string representation.", builtin_pr_str},
    /*  44 */ {"re-pattern", "String -> Regex\nCompiles a regex pattern.", builtin_re_pattern},
    /*  45 */ {"re-find", "Regex × String -> String | Nil\nFinds first match.", builtin_re_find},
    /*  46 */ {"re-matches", "Regex × String -> String | Nil\nFull-string match.", builtin_re_matches},
    /*  47 */ {"re-seq", "Regex × String -> Vector String\nAll matches as vector.", builtin_re_seq},
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
    /*  68 */ {"split", "String × String -> Vector String\nSplits string by separator.", builtin_split},
    /*  69 */ {"join", "String × Coll String -> String\nJoins with separator.", builtin_join},
    /*  70 */ {"upper-case", "String -> String\nConverts to upper case.", builtin_upper_case},
    /*  71 */ {"lower-case", "String -> String\nConverts to lower case.", builtin_lower_case},
    /*  72 */ {"__subvec", "", pending<"__subvec">},
    /*  73 */ {"__throw-arity", "", builtin_throw_arity},
    /*  74 */ {"__make_effect__", "", builtin_make_effect},
    /*  75 */ {"effect?", "a -> Bool\nTrue if value is an effect.", pending<"effect?">},
    /*  76 */ {"list", "a ... -> List a\nCreates a list.", pending<"list">},
    /*  77 */ {"assert-failed", "", builtin_assert_failed},
    /*  78 */ {"symbol", "String -> Symbol\nCreates a symbol from string.", builtin_symbol},
    /*  79 */ {"keyword", "String -> Keyword\nCreates a keyword from string.", builtin_keyword},
    /*  80 */ {"name", "Symbol | Keyword | String -> String\nReturns name part.", builtin_name},
    /*  81 */ {"namespace", "Symbol | Keyword -> String | Nil\nReturns namespace part.", builtin_namespace},
    /*  82 */ {"concat", "Coll a ... -> List a\nConcatenates collections.", builtin_concat},
    /*  83 */ {"vec", "Coll a -> Vector a\nCoerces to vector.", builtin_vec},
    /*  84 */ {"vector", "a ... -> Vector a\nCreates a vector.", pending<"vector">},
    /*  85 */ {"set", "Coll a -> Set a\nCreates a set from collection.", pending<"set">},
    /*  86 */ {"apply", "(a ... -> b) × a ... × Coll a -> b\nApplies f with args spread from collection.", pending<"apply">},
    /*  87 */ {"type", "a -> Keyword\nReturns type tag of value.", pending<"type">},
    /*  88 */ {"hash-map", "k × v ... -> Map k v\nCreates a map from key-value pairs.", pending<"hash-map">},
    /*  89 */ {"hash-set", "a ... -> Set a\nCreates a set from arguments.", pending<"hash-set">},
    /*  90 */ {"empty", "Coll a -> Coll a\nReturns empty collection of same type.", pending<"empty">},
    /*  91 */ {"last", "Coll a -> a | Nil\nReturns the last element.", pending<"last">},
    /*  92 */ {"into", "Coll a × Coll a -> Coll a\nAdds all elements of source into target.", pending<"into">},
    /*  93 */ {"reverse", "Coll a -> Vector a\nReverses collection.", pending<"reverse">},
    /*  94 */ {"drop-last", "Coll a -> Vector a\nAll but last element.", pending<"drop-last">},
    /*  95 */ {"repeat", "Int × a -> Vector a\nVector of n copies of value.", pending<"repeat">},
    /*  96 */ {"range", "Int -> Vector Int\nIntegers from 0 to n-1.", pending<"range">},
    /*  97 */ {"mod", "Int × Int -> Int\nModulus.", pending<"mod">},
    /*  98 */ {"read-string", "String -> a\nParses a Quorvex value from string.", pending<"read-string">},
    /*  99 */ {"even?", "Int -> Bool\nTrue if even.", pending<"even?">},
    /* 100 */ {"odd?", "Int -> Bool\nTrue if odd.", pending<"odd?">},
    /* 101 */ {"floor", "Num -> Int\nFloor.", pending<"floor">},
    /* 102 */ {"ceil", "Num -> Int\nCeiling.", pending<"ceil">},
    /* 103 */ {"round", "Num -> Int\nRounds to nearest integer.", pending<"round">},
    /* 104 */ {"pow", "Num × Num -> Float\nExponentiation.", pending<"pow">},
    /* 105 */ {"sqrt", "Num -> Float\nSquare root.", pending<"sqrt">},
    /* 106 */ {"exp", "Num -> Float\nNatural exponential.", pending<"exp">},
    /* 107 */ {"log", "Num -> Float\nNatural logarithm.", pending<"log">},
    /* 108 */ {"log2", "Num -> Float\nBase-2 logarithm.", pending<"log2">},
    /* 109 */ {"log10", "Num -> Float\nBase-10 logarithm.", pending<"log10">},
    /* 110 */ {"sin", "Num -> Float\nSine.", pending<"sin">},
    /* 111 */ {"cos", "Num -> Float\nCosine.", pending<"cos">},
    /* 112 */ {"tan", "Num -> Float\nTangent.", pending<"tan">},
    /* 113 */ {"asin", "Num -> Float\nArcsine.", pending<"asin">},
    /* 114 */ {"acos", "Num -> Float\nArccosine.", pending<"acos">},
    /* 115 */ {"atan", "Num -> Float\nArctangent.", pending<"atan">},
    /* 116 */ {"atan2", "Num × Num -> Float\nTwo-argument arctangent.", pending<"atan2">},
    /* 117 */ {"sinh", "Num -> Float\nHyperbolic sine.", pending<"sinh">},
    /* 118 */ {"cosh", "Num -> Float\nHyperbolic cosine.", pending<"cosh">},
    /* 119 */ {"tanh", "Num -> Float\nHyperbolic tangent.", pending<"tanh">},
    /* 120 */ {"asinh", "Num -> Float\nInverse hyperbolic sine.", pending<"asinh">},
    /* 121 */ {"acosh", "Num -> Float\nInverse hyperbolic cosine.", pending<"acosh">},
    /* 122 */ {"atanh", "Num -> Float\nInverse hyperbolic tangent.", pending<"atanh">},
    /* 123 */ {"hypot", "Num × Num -> Float\nHypotenuse length.", pending<"hypot">},
    /* 124 */ {"signum", "Num -> Int\nSign: -1, 0, or 1.", pending<"signum">},
    /* 125 */ {"quot", "Int × Int -> Int\nInteger quotient.", pending<"quot">},
    /* 126 */ {"rem", "Int × Int -> Int\nRemainder.", pending<"rem">},
    /* 127 */ {"gcd", "Int × Int -> Int\nGreatest common divisor.", pending<"gcd">},
    /* 128 */ {"lcm", "Int × Int -> Int\nLeast common multiple.", pending<"lcm">},
    /* 129 */ {"numerator", "Ratio -> Int\nNumerator of ratio.", pending<"numerator">},
    /* 130 */ {"denominator", "Ratio -> Int\nDenominator of ratio.", pending<"denominator">},
    /* 131 */ {"parse-int", "String -> Int | Nil\nParses integer from string.", builtin_parse_int},
    /* 132 */ {"parse-double", "String -> Float | Nil\nParses float from string.", builtin_parse_double},
    /* 133 */ {"bit-and", "Int × Int -> Int\nBitwise AND.", pending<"bit-and">},
    /* 134 */ {"bit-or", "Int × Int -> Int\nBitwise OR.", pending<"bit-or">},
    /* 135 */ {"bit-xor", "Int × Int -> Int\nBitwise XOR.", pending<"bit-xor">},
    /* 136 */ {"bit-not", "Int -> Int\nBitwise NOT.", pending<"bit-not">},
    /* 137 */ {"bit-shift-left", "Int × Int -> Int\nLeft bit shift.", pending<"bit-shift-left">},
    /* 138 */ {"bit-shift-right", "Int × Int -> Int\nRight bit shift.", pending<"bit-shift-right">},
    /* 139 */ {"pi", "-> Float\nPi constant.", pending<"pi">},
    /* 140 */ {"e", "-> Float\nEuler's number.", pending<"e">},
    /* 141 */ {"Infinity", "-> Float\nPositive infinity.", pending<"Infinity">},
    /* 142 */ {"-Infinity", "-> Float\nNegative infinity.", pending<"-Infinity">},
    /* 143 */ {"NaN", "-> Float\nNot a number.", pending<"NaN">},
    /* 144 */ {"int?", "a -> Bool\nTrue if integer.", pending<"int?">},
    /* 145 */ {"float?", "a -> Bool\nTrue if float.", pending<"float?">},
    /* 146 */ {"optic?", "a -> Bool\nTrue if optic.", pending<"optic?">},
    /* 147 */ {"trim", "String -> String\nRemoves leading and trailing whitespace.", builtin_trim},
    /* 148 */ {"triml", "String -> String\nRemoves leading whitespace.", builtin_triml},
    /* 149 */ {"trimr", "String -> String\nRemoves trailing whitespace.", builtin_trimr},
    /* 150 */ {"starts-with?", "String × String -> Bool\nTrue if string starts with prefix.", builtin_starts_with},
    /* 151 */ {"ends-with?", "String × String -> Bool\nTrue if string ends with suffix.", builtin_ends_with},
    /* 152 */ {"replace", "String × String × String -> String\nReplaces all occurrences.", builtin_replace},
    /* 153 */ {"replace-first", "String × String × String -> String\nReplaces first occurrence.", builtin_replace_first},
    /* 154 */ {"format", "String × a ... -> String\nFormats string with arguments.", builtin_format},
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
