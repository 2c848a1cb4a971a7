"""The Engine class: construction, evaluation, errors, arguments, define, effect ids, borrowing,
threads and the cycle collector."""

import gc
import math
import re
import threading
import weakref
from fractions import Fraction

import pytest

import quorvex
from quorvex import CompileError, EffectNotFoundError, Engine, EvalError, Keyword


@pytest.fixture
def bare():
    return Engine.bare()


# ---------------------------------------------------------------------------------------------
# Construction and the class


@pytest.mark.parametrize("make", [Engine, Engine.with_defaults, Engine.bare])
def test_every_constructor_makes_an_independent_engine(make):
    a, b = make(), make()
    assert type(a) is Engine
    a.eval("(def x 1)")
    with pytest.raises(EvalError, match="^Undefined variable: x$"):
        b.eval("x")


@pytest.mark.parametrize(
    "call",
    [
        lambda: Engine(1),
        lambda: Engine(x=1),
        lambda: Engine.bare(1),
        lambda: Engine.with_defaults(1),
    ],
)
def test_constructors_take_no_arguments(call):
    with pytest.raises(TypeError):
        call()


def test_engine_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (Engine,), {})


@pytest.mark.parametrize(
    "name, signature",
    [
        ("bare", "()"),
        ("with_defaults", "()"),
        ("eval", "($self, src)"),
        ("eval_with_source", "($self, src, source_name)"),
        ("define", "($self, name, val)"),
        ("define_fn", "($self, name, func)"),
        ("register_handler", "($self, effect, handler)"),
        ("effect_id", "($self, name)"),
    ],
)
def test_method_signatures(name, signature):
    method = getattr(Engine, name)
    assert method.__text_signature__ == signature
    assert method.__doc__ is None


def test_class_signature_and_plain_object_behaviour(bare):
    assert Engine.__text_signature__ == "()"
    assert Engine.__module__ == "quorvex"
    assert bare == bare and bare != Engine.bare()
    assert repr(bare).startswith("<quorvex.Engine object at ")


# ---------------------------------------------------------------------------------------------
# Evaluation


@pytest.mark.parametrize(
    "src, expected",
    [
        ("", None),
        ("   \n\t ", None),
        (";; only a comment\n", None),
        ("1 2 3", 3),
        ("(+ 1 2)", 3),
        ("(def x 1) (def y 2) (+ x y)", 3),
        ("(defn sq [x] (* x x)) (sq 12)", 144),
        ("(let [a 2 b 5] (- b a))", 3),
        ("(loop [i 0 acc 0] (if (< i 5) (recur (+ i 1) (+ acc i)) acc))", 10),
        ("((fn [& xs] xs) 1 2 3)", [1, 2, 3]),
        ('[1 "a" :k nil true 2.5]', [1, "a", Keyword("k"), None, True, 2.5]),
        ("{:a #{1}}", {Keyword("a"): frozenset({1})}),
        ("(/ 1 3)", Fraction(1, 3)),
        ("'sym", "sym"),
    ],
)
def test_eval_answers_the_last_form(bare, src, expected):
    assert bare.eval(src) == expected


def test_globals_persist_between_calls(bare):
    bare.eval("(def x 40)")
    bare.eval("(defn add2 [n] (+ n 2))")
    assert bare.eval("(add2 x)") == 42


ERRORS = [
    ("(", CompileError, r"^Reader error: "),
    ('"unterminated', CompileError, r"^Reader error: "),
    ("(if)", CompileError, r"^compile error: "),
    ("(recur 1)", CompileError, r"^compile error: "),
    ("(undefined-thing)", EvalError, r"^Undefined variable: undefined-thing$"),
    ("foo/bar", EvalError, r"^Undefined variable: foo/bar$"),
    ("(/ 1 0)", EvalError, r"^Division by zero$"),
    ("(1 2)", EvalError, r"^Value is not callable$"),
    ('(assert false "boom")', EvalError, r"^Assertion failed: boom$"),
    ("(console/println 1)", EvalError, r"^Unhandled effect: console$"),
    ("(random/rand)", EvalError, r"^Unhandled effect: random$"),
]


@pytest.mark.parametrize("src, cls, message", ERRORS)
def test_error_mapping(bare, src, cls, message):
    with pytest.raises(cls) as info:
        bare.eval(src)
    assert len(info.value.args) == 1
    assert re.search(message, info.value.args[0])
    assert info.value.__cause__ is None
    # The engine stays usable after every kind of failure.
    assert bare.eval("(+ 20 22)") == 42


def test_forms_before_a_runtime_error_stay_and_later_forms_do_not_run(bare):
    with pytest.raises(EvalError):
        bare.eval("(def a 1) (missing) (def b 2)")
    assert bare.eval("a") == 1
    with pytest.raises(EvalError, match="Undefined variable: b"):
        bare.eval("b")


def test_a_read_error_runs_nothing(bare):
    with pytest.raises(CompileError):
        bare.eval("(def a 1) (")
    with pytest.raises(EvalError, match="Undefined variable: a"):
        bare.eval("a")


@pytest.mark.parametrize("source_name", ["<eval>", "my-file.qv", ""])
def test_eval_with_source_behaves_as_eval(bare, source_name):
    assert bare.eval_with_source("(def z 5) (* z 2)", source_name) == 10
    with pytest.raises(EvalError, match="^Undefined variable: nope$"):
        bare.eval_with_source("nope", source_name)
    with pytest.raises(CompileError, match="^Reader error: "):
        bare.eval_with_source("(", source_name)


# ---------------------------------------------------------------------------------------------
# Argument matching and extraction


def _type_text(param, given):
    return f"argument '{param}': '{given}' object cannot be converted to 'PyString'"


ARGUMENT_ERRORS = [
    (lambda e: e.eval(42), _type_text("src", "int")),
    (lambda e: e.eval(b"1"), _type_text("src", "bytes")),
    (lambda e: e.eval(None), _type_text("src", "NoneType")),
    (lambda e: e.eval_with_source("1", 5), _type_text("source_name", "int")),
    (lambda e: e.eval_with_source(5, 5), _type_text("src", "int")),
    (lambda e: e.define(1, 2), _type_text("name", "int")),
    (lambda e: e.define_fn(1, print), _type_text("name", "int")),
    (lambda e: e.register_handler(None, print), _type_text("effect", "NoneType")),
    (lambda e: e.effect_id(3.5), _type_text("name", "float")),
    (lambda e: e.eval(), "Engine.eval() missing 1 required positional argument: 'src'"),
    (lambda e: e.eval("1", "2"), "Engine.eval() takes 1 positional argument but 2 were given"),
    (lambda e: e.eval(source="1"), "Engine.eval() got an unexpected keyword argument 'source'"),
    (lambda e: e.eval("1", src="1"), "Engine.eval() got multiple values for argument 'src'"),
    (
        lambda e: e.define("x"),
        "Engine.define() missing 1 required positional argument: 'val'",
    ),
]


@pytest.mark.parametrize("call, message", ARGUMENT_ERRORS)
def test_argument_errors(bare, call, message):
    with pytest.raises(TypeError) as info:
        call(bare)
    assert str(info.value) == message
    assert bare.eval("(+ 1 1)") == 2  # the borrow was given back


def test_str_subclasses_and_keywords_are_accepted(bare):
    class Text(str):
        pass

    assert bare.eval(src=Text("(+ 1 2)")) == 3
    assert bare.eval_with_source(source_name="x", src="7") == 7
    bare.define(val=[1], name=Text("v"))
    assert bare.eval("v") == [1]


def test_a_str_that_is_not_unicode_raises_the_encoding_error(bare):
    with pytest.raises(UnicodeEncodeError):
        bare.eval("\ud800")


# ---------------------------------------------------------------------------------------------
# define


class Opaque:
    def __str__(self):
        return "an opaque thing"


ROUND_TRIPS = [
    (None, None),
    (True, True),
    (False, False),
    (0, 0),
    (-(2**63), -(2**63)),
    (2**63 - 1, 2**63 - 1),
    (1.5, 1.5),
    (float("inf"), float("inf")),
    ("text", "text"),
    ("ünï \"quoted\" \\", "ünï \"quoted\" \\"),
    ("", ""),
    (Keyword("k"), Keyword("k")),
    ([1, [2, [3]]], [1, [2, [3]]]),
    ((1, "two"), [1, "two"]),
    ({"a": 1, Keyword("b"): [2]}, {"a": 1, Keyword("b"): [2]}),
    ({1, 2}, frozenset({1, 2})),
    (frozenset({"x"}), frozenset({"x"})),
    (Fraction(1, 3), Fraction(1, 3)),
    (Fraction(4, 2), 2),
    (re.compile("a+"), "re.compile('a+')"),
    (Opaque(), "an opaque thing"),
]


@pytest.mark.parametrize("value, expected", ROUND_TRIPS)
def test_define_round_trips(bare, value, expected):
    assert bare.define("v", value) is None
    back = bare.eval("v")
    assert back == expected
    assert type(back) is type(expected)


def test_define_nan_round_trips(bare):
    bare.define("v", float("nan"))
    assert math.isnan(bare.eval("v"))


def test_defined_values_are_usable_by_code(bare):
    bare.define("n", 41)
    bare.define("m", {"k": [1, 2]})
    assert bare.eval("(+ n 1)") == 42
    assert bare.eval('(get m "k")') == [1, 2]


def test_define_replaces_a_global_for_code_compiled_earlier(bare):
    bare.eval("(def limit 1) (defn over? [x] (> x limit))")
    bare.define("limit", 10)
    assert bare.eval("(over? 5)") is False


@pytest.mark.parametrize("value, error", [(2**64, OverflowError), (-(2**63) - 1, OverflowError)])
def test_define_with_an_unconvertible_value_defines_nothing(bare, value, error):
    with pytest.raises(error):
        bare.define("big", value)
    with pytest.raises(EvalError, match="Undefined variable: big"):
        bare.eval("big")


def test_define_of_a_value_whose_str_raises(bare):
    class Broken:
        def __str__(self):
            raise LookupError("no text")

    with pytest.raises(LookupError, match="no text"):
        bare.define("b", Broken())


# ---------------------------------------------------------------------------------------------
# Effect ids


@pytest.mark.parametrize(
    "name, expected",
    [
        ("exn", 4294901761),
        ("console", 4294901762),
        ("random", 4294901764),
        ("+", None),
        ("first", None),
        ("never-mentioned-anywhere", None),
        ("", None),
    ],
)
def test_effect_id(bare, name, expected):
    assert bare.effect_id(name) == expected


def test_effect_id_follows_the_global(bare):
    bare.eval("(def also-console console)")
    assert bare.effect_id("also-console") == 4294901762
    bare.define("console", 5)
    assert bare.effect_id("console") is None


@pytest.mark.parametrize("name", ["nothing-here", "+", "first"])
def test_register_handler_for_a_non_effect(bare, name):
    with pytest.raises(EffectNotFoundError) as info:
        bare.register_handler(name, lambda op, args: ("resume", None))
    assert info.value.args == (f"effect not found: {name}",)


def test_register_handler_for_a_global_holding_a_number(bare):
    bare.define("n", 5)
    with pytest.raises(EffectNotFoundError, match="^effect not found: n$"):
        bare.register_handler("n", print)


# ---------------------------------------------------------------------------------------------
# Borrowing: callbacks into the engine that is running them


def _reentry_cases():
    return [
        (lambda e: e.eval("1"), "Already borrowed"),
        (lambda e: e.eval_with_source("1", "x"), "Already borrowed"),
        (lambda e: e.define("x", 1), "Already borrowed"),
        (lambda e: e.define_fn("x", print), "Already borrowed"),
        (lambda e: e.register_handler("console", print), "Already borrowed"),
        (lambda e: e.effect_id("console"), "Already mutably borrowed"),
    ]


@pytest.mark.parametrize("reenter, message", _reentry_cases())
def test_a_handler_cannot_reenter_its_engine(bare, reenter, message):
    seen = []

    def handler(op, args):
        try:
            reenter(bare)
        except RuntimeError as exc:
            seen.append(str(exc))
            raise
        return ("resume", "reentered")

    bare.register_handler("console", handler)
    with pytest.raises(EvalError) as info:
        bare.eval("(console/println 1)")
    assert seen == [message]
    assert str(info.value) == f"Value error: handler error: RuntimeError: {message}"
    # Nothing the re-entry tried happened, and the engine is free again.
    assert bare.effect_id("x") is None
    assert bare.eval("(+ 1 2)") == 3


@pytest.mark.parametrize("reenter, message", _reentry_cases())
def test_a_host_function_cannot_reenter_its_engine(bare, reenter, message):
    bare.define_fn("reenter", lambda: reenter(bare))
    with pytest.raises(EvalError, match=f"^Value error: handler error: RuntimeError: {message}$"):
        bare.eval("(reenter)")
    assert bare.eval("(+ 1 2)") == 3


def test_a_callback_may_use_another_engine(bare):
    other = Engine.bare()
    other.eval("(def base 100)")
    bare.define_fn("ask-other", lambda n: other.eval(f"(+ base {n})"))
    assert bare.eval("(ask-other 5)") == 105


# ---------------------------------------------------------------------------------------------
# Threads


def _in_thread(fn):
    box = {}

    def run():
        try:
            box["value"] = fn()
        except BaseException as exc:  # noqa: BLE001 - the test inspects what was raised
            box["error"] = exc

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return box


@pytest.mark.parametrize(
    "use",
    [
        lambda e: e.eval("(+ 1 2)"),
        lambda e: e.eval_with_source("1", "x"),
        lambda e: e.define("x", 1),
        lambda e: e.define_fn("f", print),
        lambda e: e.register_handler("console", print),
        lambda e: e.effect_id("console"),
    ],
)
def test_another_thread_gets_a_panic_and_the_engine_stays_usable(bare, use):
    bare.eval("(def kept 7)")
    box = _in_thread(lambda: use(bare))
    error = box.get("error")
    assert error is not None and "value" not in box
    assert type(error).__name__ == "PanicException"
    assert not isinstance(error, Exception)
    assert "is unsendable, but sent to another thread" in str(error)
    # Nothing changed and nothing stayed borrowed.
    assert bare.eval("kept") == 7
    assert bare.eval("(+ 1 2)") == 3
    assert bare.effect_id("f") is None


def test_argument_errors_come_before_the_thread_check(bare):
    box = _in_thread(lambda: bare.eval())
    assert isinstance(box["error"], TypeError)


def test_an_engine_made_in_a_thread_works_there_and_may_be_dropped_anywhere():
    box = _in_thread(lambda: Engine.bare())
    engine = box["value"]
    with pytest.raises(BaseException, match="unsendable"):
        engine.eval("1")
    assert _in_thread(lambda: Engine.bare().eval("(* 6 7)"))["value"] == 42
    del engine  # dropped on this thread, not the creating one
    gc.collect()


# ---------------------------------------------------------------------------------------------
# The cycle collector


def _engines_alive():
    return sum(1 for obj in gc.get_objects() if type(obj) is Engine)


class Marker:
    pass


@pytest.mark.parametrize("hold", ["handler", "function", "both"])
def test_an_engine_whose_callables_refer_to_it_is_collected(hold):
    gc.collect()
    before = _engines_alive()
    engine = Engine.bare()
    marker = Marker()
    alive = weakref.ref(marker)

    def callback(*args, _engine=engine, _marker=marker):
        return ("resume", None)

    if hold in ("handler", "both"):
        engine.register_handler("console", callback)
    if hold in ("function", "both"):
        engine.define_fn("cb", callback)
    assert _engines_alive() == before + 1
    del engine, marker, callback
    gc.collect()
    assert alive() is None
    assert _engines_alive() == before


def test_a_replaced_handler_is_released_at_once(bare):
    marker = Marker()
    alive = weakref.ref(marker)
    bare.register_handler("console", lambda op, args, _m=marker: ("resume", None))
    del marker
    assert alive() is not None
    bare.register_handler("console", lambda op, args: ("resume", None))
    assert alive() is None


def test_gc_during_a_callback_keeps_the_running_engine(bare):
    def collect(op, args):
        gc.collect()
        return ("resume", 9)

    bare.register_handler("console", collect)
    assert bare.eval("(+ 1 (console/println 0))") == 10
    assert bare.eval("(+ 1 (console/println 0))") == 10
