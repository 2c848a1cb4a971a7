"""parse_edn: text read with the language's reader, the last form returned as Python data."""

import gc
import os
import re
import weakref
from fractions import Fraction

import pytest

from quorvex import CompileError, Keyword, QuorvexError, parse_edn

# (text, Python value)
VALUES = [
    ("", None),
    ("   \n\t", None),
    ("; only a comment", None),
    ("1 2 3", 3),
    ("nil", None),
    ("true", True),
    ("false", False),
    ("42", 42),
    ("-7", -7),
    ("+5", 5),
    ("9223372036854775807", 2**63 - 1),
    ("-9223372036854775808", -(2**63)),
    ("0x1F", 31),
    ("2r101", 5),
    ("1.5", 1.5),
    ("1e3", 1000.0),
    ("-0.0", -0.0),
    ("1/3", Fraction(1, 3)),
    ("-6/4", Fraction(-3, 2)),
    ("4/2", 2),
    ("0/5", 0),
    ('"hi"', "hi"),
    ('"a\\nb\\t\\"c\\\\"', 'a\nb\t"c\\'),
    ('"\\u00e9t\\u00e9"', "été"),
    ('"ünï 😀"', "ünï 😀"),
    (":a", Keyword("a")),
    (":a/b", Keyword("a/b")),
    ("::a", Keyword(":a")),
    ("foo", "foo"),
    ("foo/bar", "foo/bar"),
    ("a/b/c", "a/b/c"),
    ("/", "/"),
    ("99999999999999999999", "99999999999999999999"),
    ("()", []),
    ("[]", []),
    ("{}", {}),
    ("#{}", frozenset()),
    ("(1 (2 [3]))", [1, [2, [3]]]),
    ('[1 "two" :three 4.0 nil]', [1, "two", Keyword("three"), 4.0, None]),
    ('{:a 1, "b" [2]}', {Keyword("a"): 1, "b": [2]}),
    ("{:a 1 :a 2}", {Keyword("a"): 2}),
    ("#{1 2 :k}", frozenset({1, 2, Keyword("k")})),
    ("{#{1} {:x nil}}", {frozenset({1}): {Keyword("x"): None}}),
    ("[1 #_ 2 3]", [1, 3]),
    ("'x", ["quote", "x"]),
    ("@x", ["deref", "x"]),
    ("'(1 :a)", ["quote", [1, Keyword("a")]]),
    # Texts met inside an anonymous function and again after it.
    (
        '[#(vector :kw "key" {"key" 1} %) :kw {"key" 2}]',
        [["fn", ["%1"], ["vector", Keyword("kw"), "key", {"key": 1}, "%1"]], Keyword("kw"), {"key": 2}],
    ),
]


@pytest.mark.parametrize("text, value", VALUES)
def test_values(text, value):
    result = parse_edn(text)
    assert result == value
    assert type(result) is type(value)


def test_negative_zero_keeps_its_sign():
    assert str(parse_edn("-0.0")) == "-0.0"


def test_nested_containers_are_plain_python_types():
    result = parse_edn("[(1) [2] {:k #{3}}]")
    assert [type(x) for x in result] == [list, list, dict]
    assert type(result[2][Keyword("k")]) is frozenset


def test_regex_literal_becomes_a_compiled_pattern():
    result = parse_edn('#"a+b"')
    assert isinstance(result, re.Pattern)
    assert result.pattern == "a+b"
    assert result.match("aab")


def test_regex_that_python_rejects_raises_its_error():
    with pytest.raises(re.error):
        parse_edn('#"(?<name>a)"')


@pytest.mark.parametrize(
    "text, key, value",
    [
        # The first key in the text stays, with the last value, as in a dict display.
        ("{1 :a 1.0 :b}", 1, Keyword("b")),
        ("{1.0 :a 1 :b}", 1.0, Keyword("b")),
        ("{true :a 1 :b 1.0 :c}", True, Keyword("c")),
        ("{0 :a false :b -0.0 :c}", 0, Keyword("c")),
    ],
)
def test_keys_equal_in_python_fold_into_the_first_one(text, key, value):
    for _ in range(20):  # the same every time, whatever the per-call hash keys
        result = parse_edn(text)
        assert list(result.items()) == [(key, value)]
        assert type(next(iter(result))) is type(key)


def test_set_elements_equal_in_python_keep_the_first():
    (element,) = parse_edn("#{1 1.0 true}")
    assert type(element) is int
    (element,) = parse_edn("#{1.0 1 true}")
    assert type(element) is float


def test_maps_keep_the_order_of_the_text():
    text = "{:k9 1 :k3 2 :k7 3 :k1 4 :k5 5 :k0 6 :k8 7 :k2 8 :k6 9 :k4 10 :k3 11}"
    expected = ["k9", "k3", "k7", "k1", "k5", "k0", "k8", "k2", "k6", "k4"]
    assert [k.name for k in parse_edn(text)] == expected
    assert parse_edn(text)[Keyword("k3")] == 11


def test_unhashable_key_raises_type_error():
    with pytest.raises(TypeError, match="unhashable"):
        parse_edn("{[1 2] 3}")


@pytest.mark.parametrize(
    "text, message",
    [
        ("(1 2", "invalid EDN: Reader error: Unclosed list"),
        ("[1", "invalid EDN: Reader error: Unclosed vector"),
        ("{:a 1", "invalid EDN: Reader error: Unclosed map"),
        ('"abc', "invalid EDN: Reader error: Unclosed string"),
        ("{:a}", "invalid EDN: Reader error: Map literal requires even number of forms"),
        ("1/0", "invalid EDN: Reader error: Division by zero in ratio literal"),
        ("1 2 (", "invalid EDN: Reader error: Unclosed list"),
        ("[" * 100_000 + "]" * 100_000, "invalid EDN: Reader error: Nesting too deep"),
    ],
)
def test_unreadable_text_raises_compile_error(text, message):
    with pytest.raises(CompileError) as info:
        parse_edn(text)
    assert info.value.args == (message,)
    assert isinstance(info.value, QuorvexError)


def test_nesting_beyond_the_recursion_limit_raises_recursion_error():
    # The reader takes it; the conversion follows the interpreter's limit, as json.loads does.
    with pytest.raises(RecursionError):
        parse_edn("[" * 3000 + "]" * 3000)


def test_moderate_nesting_reads():
    result = parse_edn("[" * 500 + "]" * 500)
    for _ in range(499):
        result = result[0]
    assert result == []


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((42,), {}, TypeError, "argument 'src': 'int' object cannot be converted to 'PyString'"),
        ((None,), {}, TypeError, "argument 'src': 'NoneType' object cannot be converted to 'PyString'"),
        ((), {}, TypeError, "parse_edn() missing 1 required positional argument: 'src'"),
        (("1", "2"), {}, TypeError, "parse_edn() takes 1 positional argument but 2 were given"),
        ((), {"text": "1"}, TypeError, "parse_edn() got an unexpected keyword argument 'text'"),
        (("\ud800",), {}, UnicodeEncodeError, None),
    ],
)
def test_argument_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        parse_edn(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message


def test_src_by_keyword_and_str_subclass():
    class S(str):
        pass

    assert parse_edn(src=S("[1]")) == [1]


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the address sanitizer keeps freed memory in quarantine",
)
def test_repeated_parsing_and_failing_does_not_grow_memory():
    import resource

    doc = "[" + " ".join('{:id %d, "name" "n%d", :tags #{:a :b}, :r 1/3}' % (i, i) for i in range(200)) + "]"
    bad = ["(1 2", "{[1] 2}", '#"(?<n>a)"', "[" * 3000 + "]" * 3000]
    for _ in range(50):
        parse_edn(doc)
    start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    for _ in range(1500):
        parse_edn(doc)
        for text in bad:
            with pytest.raises((CompileError, TypeError, re.error, RecursionError)):
                parse_edn(text)
    grown_kib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start
    assert grown_kib < 8 * 1024


@pytest.mark.parametrize(
    "text, path",
    [
        ("[{:a [1]}]", [0, Keyword("a")]),
        ("[1] [{:a [2]}]", [0, Keyword("a")]),  # an earlier form's objects were dropped
        ("{[1] 2} [{:a [3]}]", [0, Keyword("a")]),  # an earlier form failed to convert
        ("[#_ [9] {:a [4]}]", [0, Keyword("a")]),
        ("{:x [{:a [5]}]}", [Keyword("x"), 0, Keyword("a")]),
    ],
)
def test_results_are_seen_by_the_cyclic_collector(text, path):
    # Containers are hidden from the collector while a document is read; the result must be
    # tracked again, or a cycle made through it later would never be freed.
    class Probe:
        pass

    def make_cycle():
        result = parse_edn(text)
        chain = [result]
        for step in path:
            chain.append(chain[-1][step])
        # Every container on the way holds a container, so Python itself would track each one.
        assert all(gc.is_tracked(container) for container in chain)
        probe = Probe()
        chain[-1].append(probe)
        probe.back = result
        return weakref.ref(probe)

    gone = make_cycle()
    gc.collect()
    assert gone() is None
