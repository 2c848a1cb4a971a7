"""The data layer: Python objects into data values and back, the EDN text of data values, their
equality and hashing, and the bounds on nesting. Driven through quorvex_probe (see conftest)."""

import collections
import decimal
import enum
import math
import os
import re
import resource
import sys
from fractions import Fraction

import pytest

import quorvex

# Under the address sanitizer (preloaded into the interpreter) freed memory is held back, so the
# resident size says nothing about leaks there.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


class Text:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return self.text


class BadStr:
    def __str__(self):
        raise ValueError("no text")


class MyInt(int):
    pass


class MyFloat(float):
    pass


class MyStr(str):
    pass


class MyList(list):
    pass


class MyTuple(tuple):
    pass


class MyDict(dict):
    pass


class MySet(set):
    pass


class MyFrozenSet(frozenset):
    pass


class MyFraction(Fraction):
    pass


class Colour(enum.IntEnum):
    RED = 7


def keyword(probe, name):
    return probe.Keyword(name)


# (Python object, EDN text of the data value it converts to)
EDN_CASES = [
    (None, "nil"),
    (True, "true"),
    (False, "false"),
    (0, "0"),
    (-5, "-5"),
    (2**63 - 1, "9223372036854775807"),
    (-(2**63), "-9223372036854775808"),
    (1.0, "1.0"),
    (2.5, "2.5"),
    (-0.0, "-0.0"),
    (0.1, "0.1"),
    (1e21, "1000000000000000000000.0"),
    (1e-7, "0.0000001"),
    (123456789.125, "123456789.125"),
    (2.0**60, "1152921504606847000.0"),
    (float("inf"), "inf"),
    (float("-inf"), "-inf"),
    (float("nan"), "NaN"),
    ("", '""'),
    ("hi", '"hi"'),
    ('say "hi"\n', '"say "hi"\n"'),
    ("ünï😀", '"ünï😀"'),
    ([], "[]"),
    ((), "[]"),
    ([1, [2, (3,)]], "[1 [2 [3]]]"),
    ({}, "{}"),
    ({"a": 1}, '{"a" 1}'),
    ({1: {2: [3]}}, "{1 {2 [3]}}"),
    (set(), "#{}"),
    (frozenset(), "#{}"),
    ({7}, "#{7}"),
    (Fraction(1, 3), "1/3"),
    (Fraction(-5, 7), "-5/7"),
    (Fraction(4, 2), "2"),
    (Fraction(-(2**63), 1), "-9223372036854775808"),
    (MyInt(3), "3"),
    (Colour.RED, "7"),
    (MyFloat(1.5), "1.5"),
    (MyStr("s"), '"s"'),
    (MyList([1]), "[1]"),
    (MyTuple((1, 2)), "[1 2]"),
    (MyDict(a=1), '{"a" 1}'),
    (collections.OrderedDict(a=None), '{"a" nil}'),
    (MySet([1]), "#{1}"),
    (MyFrozenSet([1]), "#{1}"),
    (MyFraction(1, 2), "1/2"),
    (Text("anything"), '"anything"'),
    (b"ab", "\"b'ab'\""),
    (re.compile("a+b"), "\"re.compile('a+b')\""),
    (decimal.Decimal("1.5"), '"1.5"'),
    (1 + 2j, '"(1+2j)"'),
    (range(2), '"range(0, 2)"'),
    (Text("\ud800x"), '"\ufffd\ufffd\ufffdx"'),
]


@pytest.mark.parametrize("obj, text", EDN_CASES)
def test_python_objects_print_as_edn(probe, obj, text):
    assert probe.to_edn(obj) == text


def test_keywords_print_with_one_colon_added(probe):
    assert probe.to_edn(probe.Keyword("a")) == ":a"
    assert probe.to_edn(probe.Keyword(":a")) == "::a"
    assert probe.to_edn([probe.Keyword("x/y")]) == "[:x/y]"


@pytest.mark.parametrize(
    "obj, texts",
    [
        ({"a": 1, "b": 2}, {'{"a" 1, "b" 2}', '{"b" 2, "a" 1}'}),
        ({1, 2}, {"#{1 2}", "#{2 1}"}),
        ([{1: None, 2: True}], {"[{1 nil, 2 true}]", "[{2 true, 1 nil}]"}),
    ],
)
def test_maps_and_sets_print_in_some_order(probe, obj, texts):
    assert probe.to_edn(obj) in texts


# (Python object, what comes back after a trip into data and out again)
ROUND_TRIPS = [
    (None, None),
    (True, True),
    (False, False),
    (-(2**63), -(2**63)),
    (2**63 - 1, 2**63 - 1),
    (1.5, 1.5),
    ("text", "text"),
    ([1, "a", None], [1, "a", None]),
    ((1, (2, 3)), [1, [2, 3]]),
    ([], []),
    ({"a": [1, 2], "b": {"c": None}}, {"a": [1, 2], "b": {"c": None}}),
    ({1, 2}, frozenset({1, 2})),
    (frozenset({"x"}), frozenset({"x"})),
    (Fraction(1, 3), Fraction(1, 3)),
    (Fraction(-7, 2), Fraction(-7, 2)),
    (MyInt(3), 3),
    (MyDict(a=1), {"a": 1}),
    (re.compile("x+"), "re.compile('x+')"),
    (Text("t"), "t"),
]


@pytest.mark.parametrize("obj, back", ROUND_TRIPS)
def test_round_trip(probe, obj, back):
    result = probe.roundtrip(obj)
    assert result == back
    assert type(result) is type(back)


def test_round_trip_types_inside_collections(probe):
    result = probe.roundtrip({"l": (1,), "s": {2}, "f": Fraction(1, 2), "k": probe.Keyword("k")})
    assert [type(result[k]) for k in "lsfk"] == [list, frozenset, Fraction, probe.Keyword]
    assert result["k"] == probe.Keyword("k")


def test_special_floats_keep_their_bits(probe):
    assert math.isnan(probe.roundtrip(float("nan")))
    assert math.copysign(1.0, probe.roundtrip(-0.0)) == -1.0
    assert probe.roundtrip(float("-inf")) == float("-inf")


def test_bool_is_not_an_integer(probe):
    assert probe.roundtrip(True) is True
    assert probe.to_edn([True, 1]) == "[true 1]"


def test_fraction_with_denominator_one_becomes_an_integer(probe):
    # Fraction(4, 2) is kept by Python as 2/1; it arrives as the integer 2.
    result = probe.roundtrip(Fraction(4, 2))
    assert result == 2 and type(result) is int


def test_keys_that_python_folds_together_fold_in_python_only(probe):
    text, obj, count = probe.table("map", [(1, "a"), (1.0, "b")])
    assert count == 2 and text == '{1 "a", 1.0 "b"}'
    assert obj == {1: "b"}
    text, obj, count = probe.table("set", [1, 1.0, True])
    assert count == 3 and text == "#{1 1.0 true}"
    assert obj == frozenset({1}) and type(next(iter(obj))) is int


def test_equal_keys_in_data_keep_the_first_key_and_the_last_value(probe):
    text, obj, count = probe.table("map", [("k", 1), ("j", 2), ("k", 3)])
    assert (text, count) == ('{"k" 3, "j" 2}', 2)
    text, obj, count = probe.table("set", ["k", Text("k"), MyStr("k"), "j"])
    assert (text, obj, count) == ('#{"k" "j"}', frozenset({"k", "j"}), 2)


def test_unhashable_keys_fail_on_the_way_out(probe):
    with pytest.raises(TypeError, match="unhashable"):
        probe.roundtrip({(1, 2): 3})
    with pytest.raises(TypeError, match="unhashable"):
        probe.roundtrip({(1,)})


@pytest.mark.parametrize(
    "num, den, text, back",
    [
        (1, 3, "1/3", Fraction(1, 3)),
        (2, 4, "1/2", Fraction(1, 2)),
        (3, -6, "-1/2", Fraction(-1, 2)),
        (-4, -2, "2", 2),
        (0, 5, "0", 0),
        (-(2**63), 2, "-4611686018427387904", -(2**62)),
        (6, 1, "6", 6),
    ],
)
def test_ratios_are_reduced_and_whole_ratios_are_integers(probe, num, den, text, back):
    assert probe.ratio(num, den) == (text, back)
    assert type(probe.ratio(num, den)[1]) is type(back)


class PartsFraction(Fraction):
    """Reports parts of its own choosing, as a subclass may."""

    def __new__(cls, num, den):
        self = super().__new__(cls, 1, 2)
        self.parts = (num, den)
        return self

    numerator = property(lambda self: self.parts[0])
    denominator = property(lambda self: self.parts[1])


def overflow_or(work):
    try:
        return work()
    except OverflowError as exc:
        return OverflowError, str(exc)


RATIO_OVERFLOW = (OverflowError, "ratio overflow")


# (numerator, denominator, EDN text, what an engine reads back)
@pytest.mark.parametrize(
    "num, den, text, back",
    [
        (-(2**63), -1, RATIO_OVERFLOW, RATIO_OVERFLOW),
        (1, -(2**63), RATIO_OVERFLOW, RATIO_OVERFLOW),
        (-3, -(2**63), RATIO_OVERFLOW, RATIO_OVERFLOW),
        (-(2**63), -(2**63), "1", 1),
        (2, -(2**63), "-1/4611686018427387904", Fraction(-1, 2**62)),
        (-(2**63), 2, "-4611686018427387904", -(2**62)),
        (6, -4, "-3/2", Fraction(-3, 2)),
    ],
)
def test_ratio_parts_are_reduced_or_overflow(probe, num, den, text, back):
    engine = quorvex.Engine.bare()

    def define_and_read():
        engine.define("r", PartsFraction(num, den))
        return engine.eval("r")

    assert overflow_or(lambda: probe.to_edn(PartsFraction(num, den))) == text
    assert overflow_or(lambda: probe.ratio(num, den)[0]) == text
    assert overflow_or(define_and_read) == back


@pytest.mark.parametrize(
    "kind, text, edn, back",
    [
        ("symbol", "a/b", "a/b", "a/b"),
        ("symbol", "x", "x", "x"),
        ("opaque", "closure", "#<closure>", "closure"),
        ("opaque", "variant(tag=256)", "#<variant(tag=256)>", "variant(tag=256)"),
        ("string", "q\"", '"q""', 'q"'),
    ],
)
def test_symbols_and_opaque_values_leave_as_str(probe, kind, text, edn, back):
    assert probe.text(kind, text) == (edn, back)


def test_keyword_data_leaves_as_a_keyword(probe):
    edn, back = probe.text("keyword", "a")
    assert edn == ":a" and back == probe.Keyword("a")


def test_regex_prints_its_pattern_and_leaves_as_a_compiled_pattern(probe):
    edn, back = probe.regex("a+b")
    assert edn == '#"a+b"'
    assert isinstance(back, re.Pattern) and back.pattern == "a+b"


def test_regex_that_python_rejects_raises_its_error(probe):
    # The language accepts both spellings of a named group; Python's re only one of them.
    with pytest.raises(re.error):
        probe.regex("(?<n>a)")


def test_list_and_vector_differ(probe):
    assert probe.list_vs_vector([1, "a"]) == ('(1 "a")', '[1 "a"]', False)
    assert probe.list_vs_vector([]) == ("()", "[]", False)


@pytest.mark.parametrize(
    "a, b, equal",
    [
        ([1, 2], (1, 2), True),
        (1, 1.0, False),
        (1, True, False),
        (0.0, -0.0, False),
        (float("nan"), float("nan"), True),
        ("a", "a", True),
        ("a", "b", False),
        (Fraction(1, 2), Fraction(2, 4), True),
        (Fraction(1, 2), 0.5, False),
        ({1: "x"}, {1.0: "x"}, False),
        ({1: "x"}, {1: "y"}, False),
        ({"a": 1, "b": 2}, {"b": 2, "a": 1}, True),
        ({i: i for i in range(40)}, {i: i for i in reversed(range(40))}, True),
        ({i: i for i in range(40)}, {i: i for i in range(1, 41)}, False),
        (set(range(30)), set(reversed(range(30))), True),
        (set(range(30)), set(range(31)), False),
        ([{"k": {1, 2}}], [{"k": {2, 1}}], True),
        ([], {}, False),
        (None, [], False),
    ],
)
def test_data_equality(probe, a, b, equal):
    assert probe.data_equal(a, b) is equal
    if equal:
        assert probe.data_hash(a) == probe.data_hash(b)


def test_string_and_keyword_with_one_text_differ(probe):
    assert not probe.data_equal("a", probe.Keyword("a"))
    assert probe.data_hash("a") != probe.data_hash(probe.Keyword("a"))


@pytest.mark.parametrize(
    "obj, error",
    [
        (2**63, OverflowError),
        (2**64, OverflowError),
        (-(2**63) - 1, OverflowError),
        ([1, {"a": 2**70}], OverflowError),
        (Fraction(2**64, 3), OverflowError),
        ("\ud800", UnicodeEncodeError),
        ({"\udc00": 1}, UnicodeEncodeError),
        (BadStr(), ValueError),
        ([1, BadStr()], ValueError),
    ],
)
def test_conversion_errors_propagate(probe, obj, error):
    with pytest.raises(error):
        probe.to_edn(obj)


def self_containing_list():
    x = [1]
    x.append(x)
    return x


def self_containing_dict():
    d = {}
    d["me"] = d
    return d


def deep_list(depth):
    x = []
    for _ in range(depth):
        x = [x]
    return x


@pytest.mark.parametrize(
    "make", [self_containing_list, self_containing_dict, lambda: deep_list(100_000)]
)
def test_unbounded_python_data_raises_recursion_error(probe, make):
    with pytest.raises(RecursionError):
        probe.to_edn(make())


def test_raised_recursion_limit_still_cannot_exhaust_the_native_stack(probe):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(10_000_000)
    try:
        with pytest.raises(RecursionError):
            probe.to_edn(deep_list(1_000_000))
        with pytest.raises(RecursionError):
            probe.nested(1_000_000, "to_py")
    finally:
        sys.setrecursionlimit(old)


def test_moderate_nesting_converts(probe):
    assert probe.to_edn(deep_list(500)) == "[" * 501 + "]" * 501
    back = probe.nested(500, "to_py")
    for _ in range(500):
        back = back[0]
    assert back == 1


@pytest.mark.parametrize(
    "action, expected",
    [("drop", None), ("equal", False)],
)
def test_very_deep_data_is_handled_in_order(probe, action, expected):
    # Dropping a million levels must not recurse per level; comparing them stops at the depth
    # guard with an answer instead of a crash.
    assert probe.nested(1_000_000, action) is expected


def test_very_deep_data_refuses_to_print(probe):
    with pytest.raises(RecursionError):
        probe.nested(1_000_000, "edn")


def test_item_code_that_shrinks_a_list_cannot_break_the_conversion(probe):
    victim = []

    class Clearer:
        def __str__(self):
            victim.clear()
            return "cleared"

    victim.extend([Clearer(), Text("gone"), Text("gone too")])
    assert probe.to_edn(victim) == '["cleared"]'


def test_item_code_that_grows_a_dict_is_reported(probe):
    victim = {}

    class Grower:
        def __str__(self):
            victim["new"] = 1
            return "grew"

    victim["k"] = Grower()
    with pytest.raises(RuntimeError, match="dictionary changed size during iteration"):
        probe.to_edn(victim)


def test_item_code_that_frees_a_dict_value_cannot_break_the_conversion(probe):
    victim = {}

    class Dropper:
        def __str__(self):
            victim.clear()
            victim["k"] = None
            return "dropped"

    victim["k"] = [Dropper(), Text("held")]
    assert probe.to_edn(victim) == '{"k" ["dropped" "held"]}'


def test_references_are_balanced_on_success_and_failure(probe):
    marker = Text("m")
    key = probe.Keyword("k")
    frac = Fraction(1, 3)
    before = [sys.getrefcount(o) for o in (marker, key, frac)]
    for _ in range(200):
        probe.to_edn([marker, {"k": marker}, key, frac, (marker,)])
        probe.roundtrip([marker, key, frac])
        with pytest.raises(OverflowError):
            probe.to_edn([marker, key, frac, 2**64])
    after = [sys.getrefcount(o) for o in (marker, key, frac)]
    assert after == before


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer keeps freed memory in quarantine")
def test_repeated_conversions_do_not_grow_memory(probe):
    data = {
        "names": ["alpha", "beta", "gamma" * 20],
        "set": {1, 2, 3},
        "nested": [{"k": [i, float(i), Fraction(i, 7)]} for i in range(50)],
        "kw": [probe.Keyword("kw%d" % i) for i in range(20)],
    }
    for _ in range(300):
        probe.roundtrip(data)
    start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(6000):
        probe.roundtrip(data)
        probe.to_edn(data)
        with pytest.raises(OverflowError):
            probe.to_edn([data, 2**64])
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start
    assert grown_kib < 8 * 1024


@pytest.mark.parametrize(
    "kind, error, message",
    [
        ("internal", "PanicException", "Failed to get or intern string"),
        ("other", "PanicException", "a broken invariant"),
        ("bad_alloc", "MemoryError", ""),
    ],
)
def test_cpp_exceptions_become_python_exceptions(probe, kind, error, message):
    with pytest.raises(BaseException) as info:
        probe.fault(kind)
    assert type(info.value).__name__ == error
    assert str(info.value) == message
    if error == "PanicException":
        assert not isinstance(info.value, Exception)
        assert type(info.value).__module__ == "quorvex"


# --- runtime values -------------------------------------------------------------------------


@pytest.mark.parametrize(
    "obj, text, back",
    [
        (None, "nil", None),
        ([1, "a", None, True], '[1 "a" nil true]', [1, "a", None, True]),
        ((1.5, -0.0), "[1.5 -0.0]", [1.5, -0.0]),
        ({"k": [1, {"n": None}]}, '{"k" [1 {"n" nil}]}', {"k": [1, {"n": None}]}),
        ({3}, "#{3}", frozenset({3})),
        (Fraction(1, 3), "1/3", Fraction(1, 3)),
        (Fraction(4, 2), "2", 2),
        (Text("t"), '"t"', "t"),
    ],
)
def test_data_through_runtime_values_and_back(probe, obj, text, back):
    edn, result, _ = probe.runtime_roundtrip(obj)
    assert (edn, result) == (text, back)
    assert type(result) is type(back)


def test_keywords_through_runtime_values_keep_their_text(probe):
    edn, result, _ = probe.runtime_roundtrip([probe.Keyword("a"), probe.Keyword(":b")])
    assert edn == "[:a ::b]"
    assert result == [probe.Keyword("a"), probe.Keyword(":b")]


def test_map_keys_that_are_equal_as_runtime_keys_collapse(probe):
    # Distinct keys in Python, one string key in the language.
    assert probe.runtime_roundtrip({"k": 1, Text("k"): 2})[:2] == ('{"k" 2}', {"k": 2})


def test_no_collection_runs_while_data_becomes_runtime_values(probe):
    # The heap of the probe collects everything unrooted whenever it is allowed to: every string
    # must survive the conversion of the list that holds them.
    strings = ["string number %d " % i * 4 for i in range(3000)]
    _, result, collections = probe.runtime_roundtrip(strings)
    assert result == strings
    assert collections == 0


def test_runtime_objects_without_a_data_form(probe):
    objects = probe.runtime_objects()
    assert objects == {
        "stale": ("nil", None),
        "atom": ("#<atom>", "atom"),
        "variant": ("#<variant(tag=773)>", "variant(tag=773)"),
        "effect": ("#<effect>", "effect"),
        "keybox": ("#<keybox>", "keybox"),
        "optic": ("#<optic>", "optic"),
        "closure": ("#<closure>", "closure"),
        "continuation": ("#<continuation>", "continuation"),
        "native": ("#<native-fn>", "native-fn"),
        "symbol": ("ns/name", "ns/name"),
        "keyword": (":ns/kw", probe.Keyword("ns/kw")),
        "ratio": ("-3/4", Fraction(-3, 4)),
        "list": ('("text" nil)', ["text", None]),
        "vector": ('[("text" nil)]', [["text", None]]),
    }


def test_deep_runtime_data_converts_or_fails_in_order(probe):
    assert probe.runtime_nested(40) == "[" * 40 + "1" + "]" * 40
    assert probe.runtime_nested(1500) is None
    with pytest.raises(RecursionError, match="data nested too deeply"):
        probe.runtime_nested(1_000_000)
