"""The builtins `+ - * / < =` against a model in Python's exact `Fraction` and IEEE `float`.

The model follows the language's rules step by step: without a float, `+ - *` fold the whole list
exactly, reducing after every step, and fail with "ratio overflow" when a step's products or sum
leave 128 bits or the final result leaves 64 bits; `/` divides pair by pair and tests 64 bits at
every step; one float makes `+ - *` a left-to-right double computation. Ratios become doubles as
numerator over denominator, each rounded to a double first (not Fraction's correctly rounded
conversion). Operands reach the engine through `define`, the builtins through globals bound to
them, so neither the reader nor the inline operators take part.
"""

import math
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from quorvex import Engine, EvalError

INT64_MIN, INT64_MAX = -(2**63), 2**63 - 1
INT128_MIN, INT128_MAX = -(2**127), 2**127 - 1

OVERFLOW = "Type error: ratio overflow"
DIV_ZERO = "Division by zero"
INVALID_FLOAT = "Type error: invalid float"


class Failed(Exception):
    """The error text the language must answer."""


def fits64(n):
    return INT64_MIN <= n <= INT64_MAX


def check128(*values):
    for v in values:
        if not INT128_MIN <= v <= INT128_MAX:
            raise Failed(OVERFLOW)


def parts(x):
    return (x, 1) if isinstance(x, int) else (x.numerator, x.denominator)


def as_double(x):
    if isinstance(x, float):
        return x
    if isinstance(x, int):
        return float(x)
    return float(x.numerator) / float(x.denominator)


def make_ratio(n, d):
    if d == 0:
        raise Failed(DIV_ZERO)
    r = Fraction(n, d)
    if not fits64(r.numerator) or not fits64(r.denominator):
        raise Failed(OVERFLOW)
    return r.numerator if r.denominator == 1 else r


def fold(op, args):
    if any(isinstance(a, float) for a in args):
        if op == "-" and len(args) == 1:
            return -args[0]
        if op == "-":
            s = as_double(args[0])
            for a in args[1:]:
                s -= as_double(a)
            return s
        s = 1.0 if op == "*" else 0.0
        for a in args:
            s = s * as_double(a) if op == "*" else s + as_double(a)
        return s
    if op == "-" and len(args) == 1:
        return make_ratio(-parts(args[0])[0], parts(args[0])[1])
    if op == "-":
        (pn, pd), rest = parts(args[0]), args[1:]
    else:
        (pn, pd), rest = (1 if op == "*" else 0, 1), args
    for a in rest:
        an, ad = parts(a)
        if op == "*":
            n, d = pn * an, pd * ad
            check128(n, d)
        else:
            x, y = pn * ad, an * pd
            check128(x, y)
            n, d = (x + y if op == "+" else x - y), pd * ad
            check128(n, d)
        g = math.gcd(n, d)
        pn, pd = n // g, d // g
    return make_ratio(pn, pd)


def divide_step(a, b):
    if isinstance(a, float) or isinstance(b, float):
        divisor = as_double(b)
        if divisor == 0.0:
            raise Failed(DIV_ZERO)
        return as_double(a) / divisor
    an, ad = parts(a)
    bn, bd = parts(b)
    if bn == 0:
        raise Failed(DIV_ZERO)
    return make_ratio(an * bd, ad * bn)


def divide(args):
    if len(args) == 1:
        if isinstance(args[0], float):
            return math.copysign(math.inf, args[0]) if args[0] == 0 else 1.0 / args[0]
        return divide_step(1, args[0])
    r = args[0]
    for b in args[1:]:
        r = divide_step(r, b)
    return r


def order(a, b):
    if isinstance(a, float) or isinstance(b, float):
        x, y = as_double(a), as_double(b)
        if math.isnan(x) or math.isnan(y):
            raise Failed(INVALID_FLOAT)
        return (x > y) - (x < y)
    x, y = Fraction(a), Fraction(b)
    return (x > y) - (x < y)


def less_chain(args):
    for a, b in zip(args, args[1:]):
        if order(a, b) >= 0:
            return False
    return True


def equal(a, b):
    if isinstance(a, float) or isinstance(b, float):
        return as_double(a) == as_double(b)
    return Fraction(a) == Fraction(b)


def equal_chain(args):
    return all(equal(a, b) for a, b in zip(args, args[1:]))


MODELS = {
    "+": lambda args: fold("+", args),
    "-": lambda args: fold("-", args),
    "*": lambda args: fold("*", args),
    "/": divide,
    "<": less_chain,
    "=": equal_chain,
}


def expected(name, args):
    try:
        return MODELS[name](args)
    except Failed as failure:
        return ("error", str(failure))


def answer(engine, name, args):
    for i, a in enumerate(args):
        engine.define(f"x{i}", a)
    call = f"(builtin {' '.join(f'x{i}' for i in range(len(args)))})"
    engine.eval(f"(def builtin {name})")
    try:
        return engine.eval(call)
    except EvalError as exc:
        return ("error", str(exc))


def same(got, want):
    if isinstance(want, float):
        if not isinstance(got, float):
            return False
        if math.isnan(want):
            return math.isnan(got)
        return got == want and math.copysign(1, got) == math.copysign(1, want)
    return type(got) is type(want) and got == want


# Values near the ends of the 64-bit range, where overflow starts.
EDGES = [
    INT64_MAX, INT64_MIN, INT64_MAX - 1, INT64_MIN + 1, 2**62, -(2**62), 2**53, 2**53 + 1, 0, 1, -1
]
int64s = st.one_of(st.integers(INT64_MIN, INT64_MAX), st.sampled_from(EDGES), st.integers(-50, 50))


def ratio_parts(pair):
    r = Fraction(*pair)
    return r.denominator != 1 and fits64(r.numerator) and fits64(r.denominator)


ratios = (
    st.tuples(st.one_of(int64s, st.integers(-50, 50)), st.one_of(int64s, st.integers(2, 50)))
    .filter(lambda p: p[1] != 0)
    .filter(ratio_parts)
    .map(lambda p: Fraction(*p))
)
# Ratios with large power-of-two denominators: sums of a few stay in range only because every
# partial result is reduced.
binary_ratios = st.builds(
    lambda n, k: Fraction(2 * n + 1, 2**k), st.integers(-20, 20), st.integers(1, 62)
)
exact_numbers = st.one_of(int64s, ratios, binary_ratios)
special_floats = st.sampled_from([0.0, -0.0, math.nan, math.inf, -math.inf, 0.5, 2.0**53])
numbers = st.one_of(exact_numbers, exact_numbers, st.floats(), special_floats)


@pytest.fixture(scope="module")
def engine():
    return Engine.bare()


@settings(max_examples=400, deadline=None)
@given(name=st.sampled_from(sorted(MODELS)), args=st.lists(exact_numbers, min_size=1, max_size=4))
def test_exact_operands_agree_with_fractions(engine, name, args):
    got, want = answer(engine, name, args), expected(name, args)
    assert same(got, want), (name, args, got, want)


@settings(max_examples=300, deadline=None)
@given(name=st.sampled_from(sorted(MODELS)), args=st.lists(numbers, min_size=1, max_size=4))
def test_mixed_operands_agree_with_the_double_rules(engine, name, args):
    got, want = answer(engine, name, args), expected(name, args)
    assert same(got, want), (name, args, got, want)


@settings(max_examples=300, deadline=None)
@given(a=int64s, b=int64s, name=st.sampled_from(["+", "-", "*"]))
def test_integer_overflow_happens_exactly_where_the_result_leaves_64_bits(engine, a, b, name):
    exact = {"+": a + b, "-": a - b, "*": a * b}[name]
    got = answer(engine, name, [a, b])
    if fits64(exact):
        assert same(got, exact), (name, a, b, got)
    else:
        assert got == ("error", OVERFLOW), (name, a, b, got)


@settings(max_examples=200, deadline=None)
@given(a=exact_numbers, b=exact_numbers, name=st.sampled_from(["+", "-", "*", "/", "<", "="]))
def test_inline_operators_answer_exact_pairs_as_the_builtins_do(engine, a, b, name):
    engine.define("a", a)
    engine.define("b", b)
    try:
        inline = engine.eval(f"({name} a b)")
    except EvalError as exc:
        inline = ("error", str(exc))
    assert same(answer(engine, name, [a, b]), inline), (name, a, b, inline)


def test_the_sum_leaves_and_reenters_the_range(engine):
    assert answer(engine, "+", [INT64_MAX, 1, -1]) == INT64_MAX
    assert answer(engine, "+", [INT64_MAX, 1]) == ("error", OVERFLOW)
    assert answer(engine, "*", [INT64_MIN, -1, -1]) == INT64_MIN


@pytest.mark.parametrize(
    "name,args",
    [
        ("+", [-0.0]),
        ("+", [-0.0, -0.0]),
        ("*", [-0.0]),
        ("-", [0.0]),
        ("-", [0, 0.0]),
        ("/", [-0.0]),
        ("/", [0, -5.0]),
        ("+", [2**53, 1, 0.0]),
        ("<", [1, 1, math.nan]),
        ("<", [math.nan, 1]),
        ("=", [math.nan, math.nan]),
    ],
)
def test_signed_zeros_and_nans(engine, name, args):
    got, want = answer(engine, name, args), expected(name, args)
    assert same(got, want), (name, args, got, want)


def test_a_non_number_beside_a_nan_is_a_kind_error(engine):
    got = answer(engine, "<", [math.nan, "s"])
    assert got == ("error", "Type error: comparison requires numbers")
