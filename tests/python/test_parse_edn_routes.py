"""parse_edn has two routes that must give the same answers: the direct one (quorvex.parse_edn),
which builds Python objects as it reads, and the one through reader forms
(quorvex_probe.parse_edn_via_forms), which reads every form first and converts the last.

They differ on purpose in one way: the direct route keeps map entries in text order, the forms
route in hash order, which changes from call to call. So results are compared without regard to
the order of dicts and sets, and where that order decides the outcome (keys equal in Python but
distinct in the language, such as 1 and 1.0, or conversion errors in different entries of one
map) the forms route is asked again until it shows the direct route's outcome or fails to."""

import contextlib
import math
import os
import re
import sys

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from quorvex import Keyword, parse_edn

# Under the sanitizers frames are several times larger, and from a few thousand levels on it is
# the reader's bound on native stack, not its count of 10,000 levels, that ends a deep text: at a
# depth that depends on each route's frame sizes. Deep comparisons are for the plain build.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
needs_plain_stack = pytest.mark.skipif(
    SANITIZED, reason="under the sanitizers the native stack bound depends on the route"
)

# How often the forms route is asked again before a difference counts as a disagreement. A text
# holds few maps whose order matters, so a handful of orders cover them all.
RETRIES = 300


# Each route is called from a call site of its own, warmed up. Python 3.11 counts a call to a
# builtin as one level of recursion on the generic call path but not on the fast path a warmed
# call site switches to, and a site shared by the two routes (builtins of different calling
# conventions) keeps one of them on the generic path: that route would meet the recursion limit
# one level early.
def _direct(text):
    return parse_edn(text)


def _through_forms(route, text):
    return route(text)


@pytest.fixture(scope="session")
def via_forms(probe):
    route = getattr(probe, "parse_edn_via_forms", None)
    if route is None:
        pytest.skip("quorvex_probe.parse_edn_via_forms is not in this build")
    for _ in range(64):
        _direct("1")
        _through_forms(route, "1")
    return route


# ---------------------------------------------------------------------------------------------
# Outcomes: a canonical text of the result, or the exception that ended the parse.


def _type_name(cls):
    # The probe carries its own copy of the data layer, hence its own Keyword and exception
    # classes under the same qualified names; a name stands for both copies.
    return f"{cls.__module__}.{cls.__qualname__}"


def _atom(obj):
    cls = type(obj)
    if obj is None:
        return "nil"
    if cls is bool:
        return f"bool:{obj}"
    if cls is int:
        return f"int:{obj}"
    if cls is float:
        # hex keeps the sign of zero; every NaN is one NaN.
        return "float:nan" if math.isnan(obj) else f"float:{obj.hex()}"
    if cls is str:
        return f"str:{obj!r}"
    if cls.__qualname__ == "Keyword":
        return f"{_type_name(cls)}:{str(obj)!r}"
    if cls.__module__ == "fractions" and cls.__qualname__ == "Fraction":
        return f"ratio:{obj.numerator}/{obj.denominator}"
    if isinstance(obj, re.Pattern):
        return f"regex:{obj.pattern!r}:{obj.flags}"
    return f"other:{_type_name(cls)}:{obj!r}"


def canonical(root):
    """A text that is equal for two results exactly when they hold the same types and values,
    dicts and sets taken without order. Built without recursion: results nest as deep as the
    interpreter's limit allows."""
    out = []
    todo = [(root, None)]
    while todo:
        obj, closing = todo.pop()
        if closing is not None:
            count, kind = closing
            parts = out[len(out) - count :]
            del out[len(out) - count :]
            if kind == "list":
                out.append("[" + " ".join(parts) + "]")
            elif kind == "dict":
                pairs = sorted(f"{k} => {v}" for k, v in zip(parts[0::2], parts[1::2]))
                out.append("{" + ", ".join(pairs) + "}")
            else:
                out.append("#{" + " ".join(sorted(parts)) + "}")
            continue
        cls = type(obj)
        if cls is list:
            children = obj
            kind = "list"
        elif cls is dict:
            children = [x for pair in obj.items() for x in pair]
            kind = "dict"
        elif cls is frozenset:
            children = list(obj)
            kind = "set"
        else:
            out.append(_atom(obj))
            continue
        todo.append((obj, (len(children), kind)))
        todo.extend((child, None) for child in reversed(children))
    return out[0]


def outcome(parse, text, *route):
    try:
        result = parse(*route, text)
    except Exception as error:  # noqa: BLE001 - every failure is part of the outcome
        kind = _type_name(type(error))
        # Only the reader's message is the same text in both routes; a conversion error may come
        # from another element when several fail.
        if type(error).__qualname__ == "CompileError":
            return ("raise", kind, error.args)
        return ("raise", kind)
    return ("ok", canonical(result))


def _short(value, limit=400):
    text = repr(value)
    return text if len(text) <= limit else text[:limit] + f"... ({len(text)} chars)"


def assert_routes_agree(via_forms, text):
    direct = outcome(_direct, text)
    forms = outcome(_through_forms, text, via_forms)
    if direct == forms:
        return
    seen = {forms}
    for _ in range(RETRIES):
        again = outcome(_through_forms, text, via_forms)
        if again == direct:
            return
        seen.add(again)
    pytest.fail(
        "routes disagree on "
        + _short(text)
        + "\n  direct:     "
        + _short(direct)
        + "\n  via forms:  "
        + "\n              ".join(_short(s) for s in sorted(seen, key=repr))
    )


# ---------------------------------------------------------------------------------------------
# Texts from the reader's grammar, well formed or not.

SEPARATORS = [" ", " ", " ", ",", ", ", "\n", "\t", "\r\n", "\x0b", " ; note\n", ";\n",
              "\u00a0", "\u2028", "\u3000", "\u2009", "\u0085", ""]
separators = st.sampled_from(SEPARATORS)

# Values that fold into one entry of a Python dict or set while the language keeps them apart,
# and different spellings of one language value, which the language itself folds.
FOLDING = ["1", "1.0", "true", "0", "0.0", "-0.0", "false", "1/2", "0.5", "2/4", "0x1",
           "foo", '"foo"', '"\\u0066oo"', "+1", "1e0", "2r1"]

NUMBERS = [".5", "-.5", "1.", "1e3", "1E+3", "1e-3", "-0.0", "+0.0", "1e999", "-1e999",
           "1e-999", "5.e", "1.5x", "1..2", "1e", ".", "-", "+", "+.e1", "00.5", "1_000",
           "9223372036854775807", "-9223372036854775808", "9223372036854775808",
           "-9223372036854775809", "99999999999999999999", "0x7fffffffffffffff", "-0x1",
           "36rZZ", "36rzz", "37r1", "1r0", "0r1", "16rFF", "-6/4", "4/2", "0/5", "1/-2",
           "1/2/3", "9223372036854775807/1", "-9223372036854775808/1", "1/9223372036854775808",
           "inf", "-inf", "nan", "+nan"]
BAD_NUMBERS = ["0x", "0xg", "0x8000000000000000", "2r2", "2r-101", "1/0", "0/0",
               "-9223372036854775808/-1", "1/-9223372036854775808"]

SYMBOLS = ["/", "a/b", "a/b/c", "a/", "/a", "//", "%", "%1", "%2", "%&", "%0", "%10", "%x",
           "&", "nil?", "true-ish", "nil/a", "é", "λ/x", "😀", "a'b", "a#b", "a:b", "a@b",
           "a\\b", "-a", "+a", ".a", "->", "a.b/c.d"]

KEYWORDS = ["::", ":a/b", ":/", ":a/", ":1", ":nil", ":::a", ":a:b", ":é", ":%", ":#"]

REGEXES = ["a+b", "(?P<n>a)", "a\\\"b", "\\\\", "\\d+", "[a-z]+", "[^\\]]", "", ".*",
           "a{2,3}", "\\u00e9", "é+", "(?i)abc", "x*?", "\\\\\\\\"]
# Read by the reader, refused by Python's re, or refused by the reader's own regex engine.
PYTHON_REFUSES = ["(?<n>a)", "\\pL", "\\p{Greek}"]
READER_REFUSES = ["(", "(?=a)", "\\1", "(a)\\1", "\\", "a**"]

_symbol_start = "abcxyzABZ*+!-_?<>=.%&$éλß😀"
_symbol_rest = _symbol_start + "0123456789/:#'"
_digits = "0123456789abcdefghijklmnopqrstuvwxyz"

ints = st.integers(min_value=-(2**64), max_value=2**64)
in_range = st.integers(min_value=-(2**63), max_value=2**63 - 1)
non_zero = in_range.filter(lambda n: n != 0) | st.sampled_from([1, -1, 2, 3])

numbers = st.one_of(
    ints.map(str),
    st.integers(min_value=0, max_value=2**64).map(lambda n: f"+{n}"),
    st.integers(min_value=0, max_value=2**63 - 1).map(lambda n: f"0x{n:x}"),
    st.integers(min_value=2, max_value=36).flatmap(
        lambda base: st.text(alphabet=_digits[:base], min_size=1, max_size=12).map(
            lambda digits: f"{base}r{digits}"
        )
    ),
    st.builds(lambda a, b: f"{a}/{b}", in_range, non_zero),
    st.floats(allow_nan=False).map(repr),
    st.sampled_from(NUMBERS),
)
bad_numbers = st.one_of(
    st.builds(lambda sign, d: f"{sign}0x{d}", st.sampled_from(["", "-", "+"]),
              st.text(alphabet="0123456789abcdefABCDEFxg", max_size=17)),
    st.builds(lambda b, d: f"{b}r{d}", st.integers(min_value=0, max_value=40),
              st.text(alphabet="0123456789abcdefxyzXYZ-", max_size=14)),
    st.builds(lambda a, b: f"{a}/{b}", ints, ints | st.sampled_from([0, 1, -1])),
    st.sampled_from(BAD_NUMBERS),
)

_escape_good = st.sampled_from(["\\n", "\\t", "\\r", "\\\\", '\\"'])
_escape_unicode = st.one_of(
    st.integers(min_value=0, max_value=0xD7FF), st.integers(min_value=0xE000, max_value=0xFFFF)
).flatmap(lambda c: st.sampled_from([f"\\u{c:04x}", f"\\u{c:04X}"]))
_escape_bad = st.sampled_from(["\\q", "\\u12", "\\u12G4", "\\x41", "\\u", "\\ ", "\\\n",
                               "\\ud800", "\\uDFFF", "\\ud83d\\ude00", "\\U0041"])
_plain = st.text(
    alphabet=st.characters(blacklist_characters='"\\', blacklist_categories=("Cs",)), max_size=6
)
string_bodies = st.lists(st.one_of(_plain, _plain, _escape_good, _escape_unicode), max_size=5).map(
    "".join
)
bad_string_bodies = st.tuples(string_bodies, _escape_bad, string_bodies).map("".join)

symbols = st.one_of(
    st.builds(
        lambda a, b: a + b,
        st.sampled_from(_symbol_start),
        st.text(alphabet=_symbol_rest, max_size=7),
    ),
    st.sampled_from(SYMBOLS),
)
keywords = st.one_of(
    st.builds(lambda colons, name: colons + name, st.sampled_from([":", "::"]), symbols),
    st.sampled_from(KEYWORDS),
)
regex = st.sampled_from(REGEXES).map(lambda p: f'#"{p}"')

sound_atoms = st.one_of(
    st.sampled_from(["nil", "true", "false"]),
    numbers,
    string_bodies.map(lambda body: f'"{body}"'),
    symbols,
    keywords,
    st.sampled_from(FOLDING),
    regex,
    string_bodies.map(lambda body: f'#x"{body}"'),
)
# Atoms the reader refuses (some only in one place: a parameter out of range only inside #()),
# and regexes that Python refuses when the last form holds them.
risky_atoms = st.one_of(
    bad_numbers,
    bad_string_bodies.map(lambda body: f'"{body}"'),
    bad_string_bodies.map(lambda body: f'#x"{body}"'),
    st.sampled_from([":", "#x", "#x 1", "#x'a'", '#x "a"', "#x(", "%99999999999999999999"]),
    st.sampled_from(["#", "#?", "#!", "##", "#:", "#1", "#)", "#_", "#é"]),
    st.sampled_from(PYTHON_REFUSES + READER_REFUSES).map(lambda p: f'#"{p}"'),
    st.text(alphabet='ab.*+?(){}|^$\\dws"-01<>=!P:é', max_size=8).map(lambda p: f'#"{p}"'),
)


@st.composite
def joined(draw, items, opener, closer):
    """Items between an opener and a closer, each followed by a separator; a separator may be
    empty, which glues two tokens into one."""
    parts = [opener, draw(separators) if draw(st.booleans()) else ""]
    for item in items:
        parts.append(item)
        plain = draw(st.booleans())
        parts.append(draw(st.sampled_from([" ", "\n"])) if plain else draw(separators))
    parts.append(closer)
    return "".join(parts)


def _collections(inner, odd_maps=False):
    items = st.lists(inner, max_size=5)
    pairs = st.lists(st.tuples(inner, inner), max_size=4).map(lambda ps: [x for p in ps for x in p])
    # Now and then one form more or fewer than a map wants.
    odd = st.builds(
        lambda flat, extra: flat[:-1] if extra is None else flat + [extra], pairs, st.none() | inner
    )
    return st.one_of(
        items.flatmap(lambda xs: joined(xs, "(", ")")),
        items.flatmap(lambda xs: joined(xs, "[", "]")),
        pairs.flatmap(lambda xs: joined(xs, "{", "}")),
        pairs.flatmap(lambda xs: joined(xs, "{", "}")),
        *([odd.flatmap(lambda xs: joined(xs, "{", "}"))] if odd_maps else []),
        items.flatmap(lambda xs: joined(xs, "#{", "}")),
        items.flatmap(lambda xs: joined(xs, "#(", ")")),
        st.builds(lambda q, sep, x: q + sep + x, st.sampled_from(["'", "@", "`", "~", "~@"]),
                  st.sampled_from(["", "", " "]), inner),
        # #_ takes the next form away and reads the one after it in its place.
        st.builds(lambda sep, x, sep2, y: "#_" + sep + x + sep2 + y,
                  st.sampled_from(["", " "]), inner, separators, inner),
    )


forms = st.recursive(sound_atoms, _collections, max_leaves=18)
# About one atom in twelve risky: enough of them to meet every seam, few enough that most texts
# still read through.
risky_forms = st.recursive(
    st.integers(0, 11).flatmap(lambda n: risky_atoms if n == 0 else sound_atoms),
    lambda inner: _collections(inner, odd_maps=True),
    max_leaves=18,
)

# One level of nesting each: (opener, closer); a form goes between.
LEVELS = [("[", "]"), ("(", ")"), ("#{", "}"), ("{:k ", "}"), ("{", " 1}"), ("'", ""),
          ("@", ""), ("#(", ")"), ("#_0 ", ""), ("[1 ", " 2]")]


@st.composite
def deep_forms(draw, inner):
    # Mostly well inside the interpreter's recursion limit, now and then across it.
    depth = draw(st.integers(1, 400) | st.integers(700, 1300))
    pattern = draw(st.lists(st.sampled_from(LEVELS), min_size=1, max_size=3))
    core = draw(inner)
    openers = "".join(pattern[i % len(pattern)][0] for i in range(depth))
    closers = "".join(pattern[i % len(pattern)][1] for i in reversed(range(depth)))
    return openers + core + closers


INSERTED = list("()[]{}#_\"\\:;'@`~%^&/ ,\n\t0a.") + ["\u00a0", "\u2028", "é", "😀", "\x00"]


@st.composite
def mutated(draw, text):
    """The text with up to three edits: cut short, a stray closer, a character added or lost."""
    for _ in range(draw(st.integers(min_value=0, max_value=3))):
        at = draw(st.integers(min_value=0, max_value=len(text)))
        edit = draw(st.sampled_from(["cut", "closer", "insert", "insert", "drop"]))
        if edit == "cut":
            text = text[:at]
        elif edit == "closer":
            text = text[:at] + draw(st.sampled_from(")]}")) + text[at:]
        elif edit == "insert":
            char = draw(st.sampled_from(INSERTED) | st.characters(blacklist_categories=("Cs",)))
            text = text[:at] + char + text[at:]
        else:
            text = text[:at] + text[at + 1 :]
    return text


@st.composite
def documents(draw):
    """Several top-level forms, with white space and comments around them, then edits."""
    inner = draw(st.sampled_from([forms, risky_forms]))
    parts = [draw(separators)]
    for _ in range(draw(st.integers(min_value=0, max_value=4))):
        deep = draw(st.integers(min_value=0, max_value=9)) == 0
        parts.append(draw(deep_forms(inner) if deep else inner))
        parts.append(draw(separators) or " ")
    return draw(mutated("".join(parts)))


@settings(
    max_examples=200,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
@given(text=documents())
def test_routes_agree_on_generated_text(via_forms, text):
    assert_routes_agree(via_forms, text)


# ---------------------------------------------------------------------------------------------
# Hand-picked texts where structure and atoms meet.

BAD_REGEX = '#"(?<n>a)"'

SEAMS = [
    # Nothing to read, or nothing but separators.
    "", " ", ";c", ";c\n", ",", "\u00a0", "\u2028", "\ufeff", "\ufeff1",
    # Discarded forms: in collections, at the end, chained, inside maps and sets.
    "[1 #_2]", "[1 #_ #_ 2 3 4]", "[1 #_ #_ 2 3]", "[1 #_2 3]", "{:a #_1 2}", "{:a 1 #_:b}",
    "{#_:a :b 1}", "{:a #_1}", "#{1 #_2}", "#{1 #_2 3}", "#_", "#_ 1", "1 #_2", "#_1 2",
    "#_#_1 2 3", "#_[1 2] 3", "#_)", "#_ 1 )", "(#_)", "#_{[1] 2} 3", "#_ " + BAD_REGEX + " 1",
    # Prefix forms.
    "'", "'x", "''x", "' x", "'[1 #_2 3]", "@", "~@", "~", "`", "`(a ~b ~@c)", "'#_1 2",
    "'#{1}", "'{[1] 2}", "'" + BAD_REGEX, "~@)", "'\u00a0x",
    # Closers that do not match, and stray ones.
    "[1 )", "(1]", "{1 ]", "#{1 )", "#(1 ]", ")", "]", "}", "} 1", "1 }", "1 2 (", "(", "[",
    "{", "#{", "#(", "[[]", "[]]", "{:a 1}}", "({)}",
    # Anonymous functions and their parameters.
    "#(+ % %2)", "#(%&)", "#(% %&)", "#(%3)", "#({:a %})", "#({% 1})", "#(#{%})", "#(#(%))",
    "#(%0)", "#(%99999999999)", "#(%99999999999999999999)", "#('%)", "#(#_% 1)",
    "#([%] {%2 [1]})", "%", "[% %1 %&]",
    # Path literals.
    '#x"a" 1', '#x"a"', "#x", "#x 1", '#x"\\q"', '[#x"a\\nb"]', '#x"', '{#x"a" 1}',
    # Keywords and dispatch characters on their own.
    ":", "::", ":a", "::a", ":a/b", "[:]", "{: 1}", "#", "#?", "#!", "##", "#:", "(#)",
    # Several forms: only the last is converted, and a reader error anywhere wins.
    "{[1] 2} 3", "3 {[1] 2}", "{[1] 2} (", "{[1] 2} )", "[{[1] 2}] #{[1]}", "{{} 1} 2",
    BAD_REGEX + " 1", "1 " + BAD_REGEX, BAD_REGEX + " (", "( " + BAD_REGEX,
    "{[1] 2} " + BAD_REGEX, BAD_REGEX + " {[1] 2}", "{[1] 2} 1/0", "1 2 3", "1 2 :",
    # Conversion errors meeting inside one form.
    "{[1] " + BAD_REGEX + "}", "{" + BAD_REGEX + " [1]}", "[" + BAD_REGEX + " {[1] 2}]",
    "[{[1] 2} " + BAD_REGEX + "]", "#{[1] " + BAD_REGEX + "}", "#{" + BAD_REGEX + " [1]}",
    "[" + BAD_REGEX + " " + "[" * 3000 + "]" * 3000 + "]",
    "[" + "[" * 3000 + "]" * 3000 + " " + BAD_REGEX + "]",
    "{[1] " + "[" * 3000 + "]" * 3000 + "}",
    # Regex literals the reader or Python refuses.
    '#"("', '#"(?=a)"', '#"\\pL"', '#"a\\"b"', '#"\\\\"', '#"', '#"a', '#"\\"', '#"\\1"',
    # Maps: odd counts, repeated keys, keys that fold in Python.
    "{:a}", "{:a 1 :b}", "{:a 1 :a 2}", "{:a 1 :b 2 :a 3}", "{1 :a 0x1 :b}",
    '{"a" 1 "\\u0061" 2}', "{1/2 :a 2/4 :b}", "{1 :a 1.0 :b}", "{0 :a 0.0 :b -0.0 :c false :d}",
    "#{1 1.0 true}", "#{0 0.0 -0.0 false}", '{foo 1 "foo" 2}', '#{foo "foo"}', "{1/2 :a 0.5 :b}",
    "{{} 1}", "{#{} 1}", "{() 1}", "{'x 1}", "{#x\"a\" 1}", "{#(%) 1}", "#{[]}", "#{{}}",
    "#{#{}}", "{#{[1]} 2}", "{nil 1 nil 2}", "#{1 1}", "{:a {:b {:c [1]}}}",
    # Numbers at their bounds.
    "1/0", "0/0", "9223372036854775807/1", "-9223372036854775808/-1", "9223372036854775808",
    "-9223372036854775809", "0x", "0xG", "36rZZ", "37r1", "1r0", "2r2", "1e999", "-1e999",
    "1e-999", ".5", "-.5", "1.", "+", "-", "+-1", "[1/0]", "{1/0 1}",
    # Strings and their escapes.
    '"abc', '"\\q"', '"\\u12"', '"\\ud800"', '"\\uDBFF\\uDC00"', '"\\', '"\\u00e9"',
    '"a\u2028b"', '"\\u"', '["\\u004"]', '"a" "b', '{"a" "\\x"}',
    # White space beyond ASCII between and inside tokens.
    "1\u00a02", "[1\u20282]", "(\u3000)", "[a\u00a0b]", "[a\u200bb]", "{:a\u20281}",
    # Characters the reader does not expect, and the NUL character.
    "\x00", "[\x00]", "a\x00b", "\x7f", "[\x01]", "\ud800", "[1 \udfff]",
    # Depth: Python's limit (converting) against the reader's (reading), and which one wins.
    "[" * 3000 + "]" * 3000,
    "[" * 3000 + "]" * 3000 + " 1",
    "[" * 3000 + "]" * 3000 + " (",
    "[" * 3000 + " )",
    "[" * 3000,
    "{:a " * 3000 + "1" + "}" * 3000,
    "#{" * 3000 + "}" * 3000,
    "'" * 3000 + "x",
    "#(" * 1500 + ")" * 1500,
    "#_ " * 3000 + "1 " * 3001,
    "[" * 9999 + "]" * 9999,
    "[" * 10000 + "]" * 10000,
    "[" * 10001 + "]" * 10001,
    "'" * 10000 + "x",
    "#_ " * 10000 + "1 " * 10001,
    "[" * 20000 + "]" * 20000 + " 1",
    "1 " + "[" * 20000,
]


@pytest.mark.parametrize(
    "text",
    [pytest.param(t, marks=needs_plain_stack) if len(t) > 4000 else t for t in SEAMS],
    ids=[_short(t, 40) for t in SEAMS],
)
def test_routes_agree_on_seams(via_forms, text):
    assert_routes_agree(via_forms, text)


# ---------------------------------------------------------------------------------------------
# Nesting around the interpreter's recursion limit and the reader's own bound.

# (opener, core, closer, cheap): nested anonymous functions take time quadratic in their depth
# to read (each level rewrites the parameters of everything inside it), so they stay near the
# interpreter's default limit.
SHAPES = {
    "vector": ("[", "1", "]", True),
    "list": ("(", "1", ")", True),
    "map value": ("{:k ", "1", "}", True),
    "quote": ("'", "x", "", True),
    "discard": ("#_0 ", "1", "", True),
    "set": ("#{", "1", "}", True),
    # Collections beside the deeper one, before it and after it: only the depth counts.
    "sibling before": ("[{} ", "1", "]", True),
    "sibling after": ("[", "1", " #{[]}]", True),
    "anonymous fn": ("#(", "%", ")", False),
}


def _nested(shape, depth):
    opener, core, closer, _ = SHAPES[shape]
    return opener * depth + core + closer * depth


def _first_failing_depth(shape):
    # Smallest depth the direct route does not read back; below it every depth reads.
    low, high = 0, 1
    while outcome(_direct, _nested(shape, high))[0] == "ok":
        low, high = high, high * 2
        if high > 16384:
            return high
    while high - low > 1:
        mid = (low + high) // 2
        if outcome(_direct, _nested(shape, mid))[0] == "ok":
            low = mid
        else:
            high = mid
    return high


@contextlib.contextmanager
def recursion_limit(limit):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        yield
    finally:
        sys.setrecursionlimit(old)


# Depths around the reader's bound of 10,000 levels, and around half of it, where one count
# shared by reading and converting would run out.
READER_BOUNDS = [4999, 5000, 5001, 9998, 9999, 10000, 10001]


@pytest.mark.parametrize("shape", SHAPES)
def test_routes_agree_around_the_recursion_limit(via_forms, shape):
    edge = _first_failing_depth(shape)
    if SANITIZED and edge > 2000:
        pytest.skip("the reader's own bound ends this shape: under the sanitizers it depends on the route")
    depths = {edge - 2, edge - 1, edge, edge + 1}
    if SHAPES[shape][3] and not SANITIZED:
        depths.update(READER_BOUNDS)
    for depth in sorted(d for d in depths if d > 0):
        for suffix in ("", " 1", " ("):
            assert_routes_agree(via_forms, _nested(shape, depth) + suffix)


@needs_plain_stack
@pytest.mark.parametrize("shape", [name for name, (*_, cheap) in SHAPES.items() if cheap])
def test_routes_agree_with_the_recursion_limit_above_the_readers_bound(via_forms, shape):
    with recursion_limit(60000):
        edge = _first_failing_depth(shape)
        for depth in sorted({edge - 1, edge, edge + 1, *READER_BOUNDS}):
            for suffix in ("", " 1", " ("):
                assert_routes_agree(via_forms, _nested(shape, depth) + suffix)


# ---------------------------------------------------------------------------------------------
# The direct route's text order. These go with the differential tests (the via_forms fixture):
# a build without the forms route is one from before the direct route.

_distinct_keys = st.one_of(
    st.integers(min_value=-(2**63), max_value=2**63 - 1).map(lambda n: (str(n), n)),
    st.text(alphabet="abcxyz-", min_size=1, max_size=5).map(lambda s: (":" + s, Keyword(s))),
    st.text(alphabet="abcé \u00a0", max_size=5).map(lambda s: ('"' + s + '"', s)),
    st.text(alphabet="pqr", min_size=1, max_size=4).map(lambda s: (s + "?", s + "?")),
)


def _entries(result):
    return [(canonical(k), canonical(v)) for k, v in result.items()]


@settings(max_examples=200, deadline=None)
@given(
    entries=st.lists(
        st.tuples(_distinct_keys, st.integers(min_value=0, max_value=9)), min_size=1, max_size=12
    ),
    sep=st.sampled_from([s for s in SEPARATORS if s]),
)
def test_map_entries_keep_text_order(via_forms, entries, sep):
    # Repeated keys keep their first place and take their last value, as a dict built from the
    # pairs in text order does. Ints and texts never fold into each other, so Python and the
    # language see the same keys.
    text = "{" + sep.join(f"{k} {v}" for (k, _), v in entries) + "}"
    expected = _entries(dict((key, v) for (_, key), v in entries))
    nested = f"[{text} {{:outer {text}}}]"
    for _ in range(20):
        assert _entries(parse_edn(text)) == expected
        inside = parse_edn(nested)
        assert _entries(inside[0]) == expected
        assert _entries(inside[1][Keyword("outer")]) == expected


@pytest.mark.parametrize(
    "pairs",
    [
        [(":b", Keyword("b")), (":a", Keyword("a")), (":c", Keyword("c")), (":e", Keyword("e")),
         (":d", Keyword("d")), (":f", Keyword("f")), (":h", Keyword("h")), (":g", Keyword("g"))],
        [('"z"', "z"), ("3", 3), (":y", Keyword("y")), ("-1", -1), ('"a"', "a"), ("x", "x")],
        [(str(n), n) for n in (40, 3, 17, 8, 25, 1, 33, 12, 29, 5, 38, 21, 9, 14, 2, 36, 19)],
    ],
    ids=["keywords", "mixed", "ints"],
)
def test_map_keys_come_out_in_text_order(via_forms, pairs):
    text = "{" + " ".join(f"{k} #_:gone {i}" for i, (k, _) in enumerate(pairs)) + "}"
    for _ in range(50):
        assert list(parse_edn(text)) == [key for _, key in pairs]


@pytest.mark.parametrize(
    "text, pairs",
    [
        ("{1 :a 1.0 :b}", [(1, Keyword("a")), (1.0, Keyword("b"))]),
        ("{1.0 :a true :b 1 :c}", [(1.0, Keyword("a")), (True, Keyword("b")), (1, Keyword("c"))]),
        ("{-0.0 :a 0.0 :b false :c 0 :d}",
         [(-0.0, Keyword("a")), (0.0, Keyword("b")), (False, Keyword("c")), (0, Keyword("d"))]),
        ('{"foo" 1 foo 2 :k 3}', [("foo", 1), ("foo", 2), (Keyword("k"), 3)]),
    ],
)
def test_keys_that_fold_in_python_resolve_by_text_order(via_forms, text, pairs):
    # The first key stays (its type and the sign of a zero included), with the last value.
    expected = _entries(dict(pairs))
    for _ in range(200):
        assert _entries(parse_edn(text)) == expected


@pytest.mark.parametrize(
    "text, elements",
    [
        ("#{1 1.0 true}", [1, 1.0, True]),
        ("#{0.0 -0.0 false 0}", [0.0, -0.0, False, 0]),
        ("#{-0.0 0.0}", [-0.0, 0.0]),
    ],
)
def test_elements_that_fold_in_python_resolve_by_text_order(via_forms, text, elements):
    # The first element stays, as in a set display.
    expected = canonical(frozenset(elements))
    for _ in range(200):
        assert canonical(parse_edn(text)) == expected
