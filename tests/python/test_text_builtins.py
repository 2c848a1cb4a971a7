"""The text builtins against Python's own answers: `parse-double` against `float()` and
`upper-case`/`lower-case` against `str.upper`/`str.lower`, on random input.

Deliberate differences, kept out of the comparisons:
- `float()` accepts more than the language's number grammar (white space around the text,
  underscores between digits); such texts are only checked to be refused.
- Case mapping follows the machine's Unicode tables, which may be newer than Python's; characters
  that Python's tables do not know (category Cn) are left out.
"""

import math
import struct
import unicodedata

import pytest
from hypothesis import assume, example, given, settings
from hypothesis import strategies as st

from quorvex import Engine


@pytest.fixture(scope="module")
def engine():
    return Engine.bare()


def call(engine, builtin, text):
    engine.define("text", text)
    return engine.eval(f"({builtin} text)")


def same_float(a, b):
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return struct.pack("<d", a) == struct.pack("<d", b)


digits = st.text(alphabet="0123456789", max_size=30)
exponents = st.one_of(
    st.integers(min_value=-400, max_value=400),
    st.integers(min_value=-(10**25), max_value=10**25),
).map(str)


@st.composite
def decimal_texts(draw):
    """Texts of the language's number grammar: a sign, digits with at most one point (at least
    one digit), an optional exponent."""
    sign = draw(st.sampled_from(["", "+", "-"]))
    whole = draw(digits)
    point = draw(st.booleans())
    fraction = draw(digits) if point else ""
    assume(whole or fraction)
    text = sign + whole + ("." if point else "") + fraction
    if draw(st.booleans()):
        exponent = draw(exponents)
        if not exponent.startswith("-"):
            exponent = draw(st.sampled_from(["", "+"])) + exponent
        text += draw(st.sampled_from(["e", "E"])) + exponent
    return text


@settings(max_examples=1500, deadline=None)
@given(decimal_texts())
@example("1e400")
@example("-1e-400")
@example("2.4703282292062328e-324")  # just above half the least subnormal: rounds up to it
@example("2.4703282292062327e-324")  # just below: rounds to zero
@example("1.7976931348623158e308")  # rounds down to the greatest double
@example("1.7976931348623159e308")  # rounds up to infinity
@example("0." + "0" * 400 + "1e400")
@example("9" * 400)
def test_parse_double_agrees_with_float(engine, text):
    ours = call(engine, "parse-double", text)
    assert ours is not None, text
    assert same_float(ours, float(text)), (text, ours, float(text))


@settings(max_examples=1500, deadline=None)
@given(st.text(alphabet="0123456789+-.eEinfatyINFATY_ \t", max_size=12))
def test_parse_double_never_accepts_what_float_refuses(engine, text):
    ours = call(engine, "parse-double", text)
    if ours is None:
        return
    expected = float(text)
    assert same_float(ours, expected), (text, ours, expected)
    # What we accept has no white space or underscores, which float() alone tolerates.
    assert text == text.strip() and "_" not in text


@pytest.mark.parametrize("text", [" 1", "1 ", "1_000", "\t2.5", "1e5\n"])
def test_parse_double_refuses_what_only_float_accepts(engine, text):
    float(text)  # Python takes it
    assert call(engine, "parse-double", text) is None


def known_to_python(text):
    return all(unicodedata.category(c) != "Cn" for c in text)


unicode_text = st.text(
    alphabet=st.characters(blacklist_categories=("Cs", "Cn")), max_size=40
) | st.text(alphabet="ΣσςΑΒΓ ßİIıiǅﬁ.'-\u0301", max_size=12)


@settings(max_examples=1000, deadline=None)
@given(unicode_text)
@example("ΟΔΟΣ ΣΑΣ.")
@example("Σ")
@example("aΣ\u0301b")
@example("ß ǆ ﬃ")
def test_case_mapping_agrees_with_python(engine, text):
    assume(known_to_python(text))
    assert call(engine, "upper-case", text) == text.upper()
    assert call(engine, "lower-case", text) == text.lower()
