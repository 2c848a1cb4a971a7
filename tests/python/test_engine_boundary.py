"""The common crossings of the Python boundary take shortcuts: scalars and flat lists of scalars
convert directly, host functions with scalar arguments are called without converting through
data, and Engine.eval reuses the forms of a text it has just read. Each must answer exactly what
the general road answers."""

import enum
import math

import pytest

from quorvex import CompileError, Engine, EvalError, Keyword


@pytest.fixture
def bare():
    return Engine.bare()


class Small(int):
    pass


class Color(enum.IntEnum):
    RED = 1


class Ratio(float):
    pass


# Flat sequences of scalars, with sub-types and neighbours that leave the shortcut mid-way.
FLAT = [
    ([], []),
    ((), []),
    ([None, True, False, 0, -1, 1.5, -0.0], [None, True, False, 0, -1, 1.5, -0.0]),
    ((1, 2.0, None), [1, 2.0, None]),
    ([-(2**63), 2**63 - 1], [-(2**63), 2**63 - 1]),
    ([1, Small(2)], [1, 2]),
    ([Color.RED, 3], [1, 3]),
    ([1.0, Ratio(2.5)], [1.0, 2.5]),
    ([1, "two", Keyword("k")], [1, "two", Keyword("k")]),
    ([1, [2, 3]], [1, [2, 3]]),
    (list(range(70_000)), list(range(70_000))),  # beyond the direct bound
]


@pytest.mark.parametrize("value, expected", FLAT)
def test_flat_sequences_round_trip_with_exact_types(bare, value, expected):
    bare.define("v", value)
    back = bare.eval("v")
    assert back == expected
    assert [type(x) for x in back] == [type(x) for x in expected]
    assert [math.copysign(1, x) for x in back if type(x) is float] == [
        math.copysign(1, x) for x in expected if type(x) is float
    ]
    assert bare.eval("(count v)") == len(expected)


def test_a_defined_flat_list_is_a_vector_equal_to_a_literal(bare):
    bare.define("v", [1, 2.5, None, True])
    assert bare.eval("[(vector? v) (= v [1 2.5 nil true]) (get v 1) (conj v 9)]") == [
        True,
        True,
        2.5,
        [1, 2.5, None, True, 9],
    ]


@pytest.mark.parametrize("value", [[1, 2**64], (2**70,), [-(2**63) - 1]])
def test_a_flat_list_with_an_int_out_of_range_defines_nothing(bare, value):
    bare.define("v", 0)
    with pytest.raises(OverflowError, match="int too big to convert"):
        bare.define("v", value)
    assert bare.eval("v") == 0


@pytest.mark.parametrize(
    "src, expected",
    [
        ("[1 2.5 nil true false]", [1, 2.5, None, True, False]),
        ("'(1 2)", [1, 2]),
        ("[]", []),
        ("[1 :k]", [1, Keyword("k")]),
        ('[1 "s" [2]]', [1, "s", [2]]),
        ("(range 3)", [0, 1, 2]),
    ],
)
def test_sequence_results_have_exact_element_types(bare, src, expected):
    back = bare.eval(src)
    assert back == expected
    assert [type(x) for x in back] == [type(x) for x in expected]


# Host functions: every argument count around the direct calls, every scalar type, and answers
# that are not scalars.
@pytest.mark.parametrize("count", range(7))
def test_host_functions_get_scalar_arguments_of_exact_types(bare, count):
    seen = []
    bare.define_fn("f", lambda *args: seen.append(args) or len(args))
    values = ["nil", "true", "false", "-7", "2.5", "9223372036854775807"][:count]
    assert bare.eval(f"(f {' '.join(values)})") == count
    expected = (None, True, False, -7, 2.5, 2**63 - 1)[:count]
    assert seen == [expected]
    assert [type(x) for x in seen[0]] == [type(x) for x in expected]


@pytest.mark.parametrize(
    "answer, expected",
    [
        (True, True),
        (Small(5), 5),
        (Ratio(0.5), 0.5),
        ((1, 2), [1, 2]),
        ("s", "s"),
    ],
)
def test_host_function_answers_of_any_type(bare, answer, expected):
    bare.define_fn("f", lambda x: answer)
    back = bare.eval("(f 1)")
    assert back == expected
    assert type(back) is type(expected)


def test_a_host_function_may_keep_its_arguments(bare):
    kept = []
    bare.define_fn("keep", lambda *args: kept.append(args))
    bare.eval("(keep 1 2) (keep 3 4) (keep 1 2 3 4 5 6)")
    assert kept == [(1, 2), (3, 4), (1, 2, 3, 4, 5, 6)]


def test_a_host_function_error_with_scalar_arguments(bare):
    bare.define_fn("f", lambda a, b: a / b)
    with pytest.raises(EvalError, match="ZeroDivisionError: division by zero"):
        bare.eval("(f 1 0)")
    assert bare.eval("(f 1 2)") == 0.5


# The same text evaluated again is compiled again: only its reading is reused.
def test_the_same_text_sees_changes_made_in_between(bare):
    bare.define("x", 1)
    assert bare.eval("(+ x 1)") == 2
    bare.define("x", 41)
    assert bare.eval("(+ x 1)") == 42
    bare.eval("(defn f [a] (* a 10))")
    assert bare.eval("(f x)") == 410
    bare.eval("(defn f [a] (- a))")
    assert bare.eval("(f x)") == -41


def test_the_same_text_sees_a_macro_defined_in_between(bare):
    with pytest.raises(EvalError, match="Undefined variable: m"):
        bare.eval("(m 5)")
    bare.eval("(defmacro m [x] `(* ~x 2))")
    assert bare.eval("(m 5)") == 10


@pytest.mark.parametrize(
    "src, cls",
    [("(car", CompileError), ("(undefined-name)", EvalError), ("(1 2)", EvalError)],
)
def test_the_same_failing_text_fails_the_same_way_each_time(bare, src, cls):
    messages = []
    for _ in range(3):
        with pytest.raises(cls) as info:
            bare.eval(src)
        messages.append(str(info.value))
    assert messages == [messages[0]] * 3
    assert bare.eval("(+ 1 2)") == 3


def test_texts_that_alternate_and_long_texts_run_each_time(bare):
    bare.define("n", 0)
    long_src = "(def n (+ n " + " ".join(["1"] * 3000) + "))"  # longer than what is kept
    for _ in range(2):
        bare.eval("(def n (+ n 1))")
        assert bare.eval("[1 2]") == [1, 2]
        bare.eval(long_src)
    assert bare.eval("n") == 2 * 3001
