"""Printed data reads back: Python data converted to data values, printed as EDN and read by
parse_edn comes back equal (lists for sequences, frozensets for sets). The printer does not escape
strings, so the generated strings hold no double quote and no backslash."""

import math

from hypothesis import given, settings
from hypothesis import strategies as st

from quorvex import parse_edn

texts = st.text(
    alphabet=st.characters(blacklist_characters='"\\', blacklist_categories=("Cs",)), max_size=12
)
scalars = (
    st.none()
    | st.booleans()
    | st.integers(min_value=-(2**63), max_value=2**63 - 1)
    | st.floats(allow_nan=False, allow_infinity=False)
    | texts
)
data = st.recursive(
    scalars,
    lambda inner: st.lists(inner, max_size=5)
    | st.dictionaries(texts, inner, max_size=5)
    | st.frozensets(st.integers(min_value=-50, max_value=50) | texts, max_size=5),
    max_leaves=25,
)


def normalised(value):
    if isinstance(value, list):
        return [normalised(v) for v in value]
    if isinstance(value, dict):
        return {k: normalised(v) for k, v in value.items()}
    return value


def same(a, b):
    if isinstance(a, float) and isinstance(b, float):
        return a == b and math.copysign(1, a) == math.copysign(1, b)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[k], b[k]) for k in a)
    return type(a) is type(b) and a == b


@settings(max_examples=300, deadline=None)
@given(data)
def test_printed_data_reads_back(probe, value):
    text = probe.to_edn(value)
    assert same(parse_edn(text), normalised(value)), text
