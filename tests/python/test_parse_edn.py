"""parse_edn: text read with the language's reader, the last form returned as Python data."""

import gc
import os
import re
import weakref
from fractions import Fraction

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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
        # The third map is a copy of the keys of the first two (see the map shapes test).
        ("[" + "{:a [6] :b 2 :c 3 :d 4 :e 5 :f 6} " * 3 + "]", [2, Keyword("a")]),
        # Past the first few containers of a document, which stay seen throughout.
        ("[" + "[0] " * 40 + "{:a [7]}]", [40, Keyword("a")]),
        ("[" + "[0] " * 40 + "#_ 1 {:a [8]}]", [40, Keyword("a")]),
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


@pytest.mark.parametrize(
    "make_key, edn_key",
    [
        (str, lambda k: '"%s"' % k),
        (Keyword, lambda k: ":" + k),
        (lambda k: Keyword("ns/" + k), lambda k: ":ns/" + k),
    ],
)
def test_keys_stay_right_across_calls_and_documents(make_key, edn_key):
    # Short keys are shared from one call to the next and the sharing is bounded, so a run of
    # documents with many different keys pushes earlier ones out; every result must still have
    # exactly its own keys. Lengths around the longest key that is shared, ASCII and not.
    names = ["k%d" % i for i in range(3000)]
    names += ["x" * n for n in (45, 46, 47, 48, 200)]
    names += ["é" * n for n in (22, 23, 24, 60)] + ["ключ%d" % i for i in range(50)]
    for round_ in range(2):
        for start in range(0, len(names), 97):
            chunk = names[start : start + 97]
            text = "{" + " ".join("%s %d" % (edn_key(k), i + round_) for i, k in enumerate(chunk)) + "}"
            expected = {make_key(k): i + round_ for i, k in enumerate(chunk)}
            result = parse_edn(text)
            assert result == expected
            assert list(result) == list(expected)
            assert all(type(k) is type(e) for k, e in zip(result, expected))
    # The same small record read over and over, as a service reading requests would.
    for i in range(200):
        assert parse_edn('{"id" %d, :name "n", "tags" [:a :b]}' % i) == {
            "id": i, Keyword("name"): "n", "tags": [Keyword("a"), Keyword("b")],
        }


@pytest.mark.parametrize(
    "template, expected",
    [
        # Maps of six or more keys that repeat are made from a copy of an earlier map's keys:
        # each read must still give exactly its own entries, in its own order.
        ('{:a %d :b 2 :c 3 :d 4 :e 5 :f 6}', lambda i: {K(c): v for c, v in zip("abcdef", [i, 2, 3, 4, 5, 6])}),
        ('{:f %d :e 2 :d 3 :c 4 :b 5 :a 6}', lambda i: {K(c): v for c, v in zip("fedcba", [i, 2, 3, 4, 5, 6])}),
        ('{"a" %d "b" [1] "c" {:x 1} "d" nil "e" #{1} "f" "s" "g" 1.5}',
         lambda i: {"a": i, "b": [1], "c": {K("x"): 1}, "d": None, "e": frozenset({1}), "f": "s", "g": 1.5}),
        # Keys equal in Python fold, in the first key's place with the last value.
        ('{1 %d true 2 nil 3 false 4 0 5 "x" 6 :y 7}', lambda i: {1: 2, None: 3, False: 5, "x": 6, K("y"): 7}),
        ('{:a %d :b 2 :c 3 :d 4 :e 5 :a 6}', lambda i: {K(c): v for c, v in zip("abcde", [6, 2, 3, 4, 5])}),
        ('{nil %d true 2 false 3 1 4 2 5 3 6}', lambda i: {None: i, True: 4, False: 3, 2: 5, 3: 6}),
    ],
)
def test_repeated_map_shapes_read_as_their_own_text(template, expected):
    for i in range(5):
        result = parse_edn(template % i)
        assert result == expected(i)
        assert list(result.items()) == list(expected(i).items())
    # The same shape in a document of many, mixed with other shapes.
    doc = "[" + " ".join(template % i for i in range(40)) + "]"
    assert parse_edn(doc) == [expected(i) for i in range(40)]


def K(name):
    return Keyword(name)


def test_map_shapes_survive_documents_read_by_finalizers():
    # A collection set off while a document is read may run finalizers that read documents of
    # the same shapes, replacing the templates the outer reading is using.
    shaped = "{:a %d :b 2 :c 3 :d 4 :e 5 :f 6}"
    other = '{"p" %d "q" 2 "r" 3 "s" 4 "t" 5 "u" 6 "v" 7}'
    inner_results = []

    class Reader:
        def __del__(self):
            for i in range(3):
                inner_results.append(parse_edn(other % i) == {k: v for k, v in zip("pqrstuv", [i, 2, 3, 4, 5, 6, 7])})
                inner_results.append(parse_edn(shaped % i)[K("a")] == i)

    old = gc.get_threshold()
    gc.set_threshold(5, 1, 1)
    try:
        for round_ in range(20):
            for _ in range(10):
                r = Reader()
                r.cycle = r
                del r
            doc = "[" + " ".join((shaped if i % 2 else other) % i for i in range(60)) + "]"
            result = parse_edn(doc)
            for i, m in enumerate(result):
                assert (m[K("a")] if i % 2 else m["p"]) == i
    finally:
        gc.set_threshold(*old)
        gc.collect()
    assert inner_results and all(inner_results)


# ---------------------------------------------------------------------------------------------
# Data files are read by a route of their own that gives a text up to the general reader as soon
# as it meets anything else. Both must read every text alike, wherever the switch happens.

# (text, Python value)
GIVEN_UP_PARTWAY = [
    ("[1 2 'a]", [1, 2, ["quote", "a"]]),
    ('{"a" [1 #_2 3] "b" @c}', {"a": [1, 3], "b": ["deref", "c"]}),
    ('[{"k" 1} #{2} #"x+"]', [{"k": 1}, frozenset({2}), re.compile("x+")]),
    ('{"a" 1} [2 3] `x', ["syntax-quote", "x"]),
    # Handed to the cursor, not given up: escapes, wide white space, comments, tokens beyond ASCII.
    ('["a\\nb" \u00a0 1 ; note\n é :é/x 1/2 0x10 "ü"]',
     ["a\nb", 1, "é", Keyword("é/x"), Fraction(1, 2), 16, "ü"]),
    ("{:a\u2028:b}", {Keyword("a"): Keyword("b")}),
]


# Tokens that start like the common ones and turn out otherwise once they end.
TOKEN_ENDS = [
    ("[12#]", ["12#"]),
    ("[1:a 2/x]", ["1:a", "2/x"]),
    ("[7é 7\u00a08]", ["7é", 7, 8]),
    ("[123456789012345678 1234567890123456789]", [123456789012345678, 1234567890123456789]),
    ("[99999999999999999999 -12 +0]", ["99999999999999999999", -12, 0]),
    ("[1.5x 1.5.5 1. .5 1.e3]", ["1.5x", "1.5.5", 1.0, 0.5, 1000.0]),
    ("[nil? true-ish falsey nil/a]", ["nil?", "true-ish", "falsey", "nil/a"]),
    ("[nil true false]", [None, True, False]),
    ("{nil 1 true 2}", {None: 1, True: 2}),
    ("[- + -a +b -1a +1.5 -2.5e1 -0x10]", ["-", "+", "-a", "+b", "-1a", 1.5, -25.0, "-0x10"]),
    ("[nil true false]", [None, True, False]),
    ("[1.2345678901234567890 12345678901234567.8x]", [1.2345678901234567, "12345678901234567.8x"]),
]


@pytest.mark.parametrize("text, value", TOKEN_ENDS)
def test_tokens_read_by_where_they_end(text, value):
    result = parse_edn(text)
    assert result == value
    assert [type(x) for x in result] == [type(x) for x in value]


@pytest.mark.parametrize("text, value", GIVEN_UP_PARTWAY)
def test_texts_given_up_partway_read_as_the_general_reader_reads_them(text, value):
    result = parse_edn(text)
    assert result == value
    assert type(result) is type(value)


@pytest.mark.parametrize(
    "text, message",
    [
        ('{"a" [1 2 3] "b"}', "invalid EDN: Reader error: Map literal requires even number of forms"),
        ('[{"a" 1} {"b" 2}', "invalid EDN: Reader error: Unclosed vector"),
        ('[1 2 "abc\\q"]', "invalid EDN: Reader error: Unsupported escape"),
        ("[1 2 #?]", "invalid EDN: Reader error: Unsupported reader macro"),
        ('{"a" 1} )', "invalid EDN: Reader error: Unexpected token"),
        ("[:]", "invalid EDN: Reader error: Invalid keyword"),
        # A failed conversion counts for nothing when the text does not read.
        ("[{[1] 2} (", "invalid EDN: Reader error: Unclosed list"),
    ],
)
def test_errors_after_common_text_are_the_general_readers(text, message):
    with pytest.raises(CompileError) as info:
        parse_edn(text)
    assert info.value.args == (message,)


@pytest.mark.parametrize(
    "text",
    [
        "0.1", "59.007", "-0.0", "+1.5", "0.000000000000001", "123456789012345.0",
        "1.23456789012345", "999999999999999.9", "9007199254740993.0", "1234567890123456.7",
        "0.30000000000000004", "00012.500", "3.14159265358979323846", "1e22", "1.5e-7",
        # Digits beyond what a double holds exactly, up to and past what the quick route takes.
        "9007199254740992.5", "-9007199254740993.25", "0.1234567890123456789",
        "12345678901234567.89", "1.00000000000000000001", "374540.11884736254",
        "0.0000000000000000000001", "9999999999999999999.0",
    ],
)
def test_decimals_read_exactly(text):
    # Python's float() rounds correctly; hex() tells every bit, the sign of zero included.
    assert parse_edn(text).hex() == float(text).hex()
    assert parse_edn("[%s]" % text)[0].hex() == float(text).hex()


@settings(max_examples=400, deadline=None)
@given(
    sign=st.sampled_from(["", "-", "+"]),
    whole=st.text(alphabet="0123456789", min_size=1, max_size=12),
    fraction=st.text(alphabet="0123456789", min_size=1, max_size=12),
)
def test_generated_decimals_read_exactly(sign, whole, fraction):
    text = "%s%s.%s" % (sign, whole, fraction)
    assert parse_edn("{:x %s}" % text)[Keyword("x")].hex() == float(text).hex()


def test_threads_read_alongside_each_other():
    # Each thread lends itself the room it reads in; threads that end take theirs with them.
    import threading

    doc = "[" + " ".join('{"id" %d "tags" [:a "b" 1.5] "m" {:x nil}}' % i for i in range(300)) + "]"
    big = "[" + " ".join(str(i) for i in range(6000)) + "]"
    expected = [{"id": i, "tags": [Keyword("a"), "b", 1.5], "m": {Keyword("x"): None}} for i in range(300)]
    failures = []

    def work():
        for _ in range(20):
            if parse_edn(doc) != expected or parse_edn(big) != list(range(6000)):
                failures.append(True)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not failures
    assert parse_edn(doc) == expected
