"""Python callables inside a run: effect handlers (register_handler) and host functions
(define_fn), their answer protocol, and every failure on the Python side."""

import re
from fractions import Fraction

import pytest

from quorvex import EffectNotFoundError, Engine, EvalError, Keyword


@pytest.fixture
def bare():
    return Engine.bare()


def handled(engine, answer, src="(console/println 1)"):
    engine.register_handler("console", lambda op, args: answer)
    return engine.eval(src)


def handler_error(text):
    return f"Value error: handler error: {text}"


# ---------------------------------------------------------------------------------------------
# Handlers


@pytest.mark.parametrize(
    "answer, expected",
    [
        (("resume", 42), 42),
        (["abort", 42], 42),
        (("resume", None), None),
        (("abort", [1, {"a": Keyword("b")}]), [1, {"a": Keyword("b")}]),
        (("resume", (1, 2), "ignored", "items"), [1, 2]),
        ({0: "resume", 1: "from a dict"}, "from a dict"),
    ],
)
def test_handler_answers(bare, answer, expected):
    assert handled(bare, answer) == expected
    # The answer is the value of the perform, wherever the perform stands.
    assert bare.eval("(let [v (console/println 1)] [v v])") == [expected, expected]


class Outer:
    class Inner(Exception):
        pass


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


@pytest.mark.parametrize(
    "answer, text",
    [
        (("Resume", 42), "expected 'resume' or 'abort', got 'Resume'"),
        (("resume ", 42), "expected 'resume' or 'abort', got 'resume '"),
        (("", 42), "expected 'resume' or 'abort', got ''"),
        ("resume", "expected 'resume' or 'abort', got 'r'"),
        (("resume",), "IndexError: tuple index out of range"),
        ((), "IndexError: tuple index out of range"),
        (42, "TypeError: 'int' object is not subscriptable"),
        (None, "TypeError: 'NoneType' object is not subscriptable"),
        ({1: 2}, "KeyError: 0"),
        ((1, 2), "TypeError: 'int' object cannot be converted to 'PyString'"),
        ((b"resume", 2), "TypeError: 'bytes' object cannot be converted to 'PyString'"),
        (("resume", 2**64), "OverflowError: int too big to convert"),
        # The value is converted before the operation word is judged.
        (("Resume", 2**64), "OverflowError: int too big to convert"),
    ],
)
def test_bad_handler_answers(bare, answer, text):
    with pytest.raises(EvalError) as info:
        handled(bare, answer)
    assert info.value.args == (handler_error(text),)


@pytest.mark.parametrize(
    "exc, text",
    [
        (ValueError("bad"), "ValueError: bad"),
        (ValueError(), "ValueError: "),
        (KeyError("k"), "KeyError: 'k'"),
        (Outer.Inner("deep"), "Outer.Inner: deep"),
        (BadStr(), "BadStr: <exception str() failed>"),
        (RuntimeError("caf\udce9"), "RuntimeError: caf\ufffd\ufffd\ufffd"),
    ],
)
def test_exceptions_in_a_handler(bare, exc, text):
    def handler(op, args):
        raise exc

    bare.register_handler("console", handler)
    with pytest.raises(EvalError) as info:
        bare.eval("(console/println 1)")
    assert info.value.args == (handler_error(text),)
    assert bare.eval("(+ 1 2)") == 3


def test_a_handler_that_is_not_callable(bare):
    bare.register_handler("console", 5)
    with pytest.raises(EvalError) as info:
        bare.eval("(console/println 1)")
    assert info.value.args == (handler_error("TypeError: 'int' object is not callable"),)


def test_a_handler_with_the_wrong_parameters(bare):
    bare.register_handler("console", lambda op: ("resume", 1))
    with pytest.raises(EvalError, match=r"^Value error: handler error: TypeError: .*positional"):
        bare.eval("(console/println 1)")


@pytest.mark.parametrize(
    "src, call",
    [
        ("(console/println 1 \"two\" [3])", ("println", [1, "two", [3]])),
        ("(console/print)", ("print", [])),
        ("(console/read-line)", ("read-line", [])),
        ("(random/rand-int 9)", ("rand-int", [9])),
        (
            "(console/println {:a #{1}} 'sym 1/2)",
            ("println", [{Keyword("a"): frozenset({1})}, "sym", Fraction(1, 2)]),
        ),
    ],
)
def test_a_handler_receives_the_operation_name_and_a_list(bare, src, call):
    calls = []

    def handler(op, args):
        calls.append((op, args))
        return ("resume", None)

    bare.register_handler("console", handler)
    bare.register_handler("random", handler)
    assert bare.eval(src) is None
    assert len(calls) == 1
    op, args = calls[0]
    assert type(op) is str and type(args) is list
    assert (op, args) == call
    assert [type(a) for a in args] == [type(a) for a in call[1]]


def test_a_regex_argument_reaches_python_compiled_and_one_python_rejects_fails(bare):
    seen = []
    bare.register_handler("console", lambda op, args: seen.append(args[0]) or ("resume", None))
    bare.eval('(console/println #"a+b")')
    assert isinstance(seen[0], re.Pattern) and seen[0].pattern == "a+b"
    with pytest.raises(EvalError, match=r"^Value error: handler error: error: bad escape \\p"):
        bare.eval(r'(console/println #"\p{L}+")')


def test_a_handler_belongs_to_the_effect_not_the_name(bare):
    bare.eval("(def out console)")
    bare.register_handler("out", lambda op, args: ("resume", "via out"))
    assert bare.eval("(console/println 1)") == "via out"
    bare.define("out", 1)  # rebinding the global does not move the handler
    assert bare.eval("(console/println 1)") == "via out"


def test_registering_again_replaces_the_handler(bare):
    bare.register_handler("console", lambda op, args: ("resume", 1))
    bare.register_handler("console", lambda op, args: ("resume", 2))
    assert bare.eval("(console/println 0)") == 2


def test_a_failed_registration_keeps_the_previous_handler(bare):
    bare.register_handler("console", lambda op, args: ("resume", "kept"))
    bare.eval("(def fake 1)")
    with pytest.raises(EffectNotFoundError, match="^effect not found: fake$"):
        bare.register_handler("fake", lambda op, args: ("resume", "new"))
    assert bare.eval("(console/println 0)") == "kept"


def test_a_python_handler_replaces_the_default_console_handler(capfd):
    engine = Engine()
    engine.register_handler("console", lambda op, args: ("resume", op))
    assert engine.eval('(console/println "not printed")') == "println"
    assert capfd.readouterr().out == ""


def test_the_program_catches_a_failing_handler_through_exn(bare):
    bare.register_handler("console", lambda op, args: ("Resume", 1))
    src = "(with-handler [exn] :handle (raise [err k] err) (console/println 1))"
    caught = bare.eval(src)
    assert caught == {
        Keyword("type"): Keyword("value-error"),
        Keyword("message"): handler_error("expected 'resume' or 'abort', got 'Resume'"),
    }


# ---------------------------------------------------------------------------------------------
# Host functions


def test_a_host_function_gets_positional_arguments_and_none_is_nil(bare):
    calls = []
    bare.define_fn("record", lambda *args: calls.append(args))
    assert bare.eval('(record 1 "two" [3])') is None
    assert bare.eval("(record)") is None
    assert calls == [(1, "two", [3]), ()]


@pytest.mark.parametrize(
    "result",
    [0, -5, 2.5, "text", Keyword("k"), [1, [2]], {"a": [1, 2]}, frozenset({3}), True, None],
)
def test_a_host_function_result_enters_the_machine(bare, result):
    bare.define_fn("give", lambda: result)
    assert bare.eval("(give)") == result
    assert bare.eval("(let [x (give)] [x x])") == [bare.eval("(give)")] * 2


def test_host_functions_are_values(bare):
    bare.define_fn("twice", lambda n: 2 * n)
    assert bare.eval("(def g twice) (g 21)") == 42
    assert bare.eval("((fn [f x] (f x)) twice 4)") == 8
    assert bare.eval("twice") == "native-fn"


def test_defining_a_name_again_rebinds_it_and_keeps_old_values_working(bare):
    bare.define_fn("f", lambda: "first")
    bare.eval("(def old f)")
    bare.define_fn("f", lambda: "second")
    assert bare.eval("[(f) (old)]") == ["second", "first"]


@pytest.mark.parametrize(
    "func, src, text",
    [
        (lambda: 1 / 0, "(f)", "ZeroDivisionError: division by zero"),
        (lambda a: a, "(f 1 2)", None),  # Python's own arity TypeError
        (lambda: 2**64, "(f)", "OverflowError: int too big to convert"),
        ("not callable", "(f)", "TypeError: 'str' object is not callable"),
    ],
)
def test_failing_host_functions(bare, func, src, text):
    bare.define_fn("f", func)
    with pytest.raises(EvalError) as info:
        bare.eval(src)
    message = info.value.args[0]
    if text is None:
        assert message.startswith(handler_error("TypeError: ")) and "positional" in message
    else:
        assert message == handler_error(text)
    assert bare.eval("(+ 1 2)") == 3


def test_a_host_function_called_from_a_loop(bare):
    total = []
    bare.define_fn("collect", lambda i: total.append(i) or i * i)
    src = "(loop [i 0 acc 0] (if (< i 100) (recur (+ i 1) (+ acc (collect i))) acc))"
    assert bare.eval(src) == sum(i * i for i in range(100))
    assert total == list(range(100))


def test_custom_effects_with_a_python_handler(bare):
    bare.eval("(def ask (effect (ask [prompt]) (ping [])))")
    assert bare.effect_id("ask") == 1
    bare.register_handler("ask", lambda op, args: ("resume", [op, args]))
    assert bare.eval('(ask/ask "q")') == ["ask", ["q"]]
    assert bare.eval("(ask/ping)") == ["ping", []]


# ---------------------------------------------------------------------------------------------
# Reference counts


def test_callbacks_keep_exact_reference_counts(bare):
    import sys

    value = [1, 2]
    answer = ("resume", value)
    failure = ValueError("counted")
    state = {"fail": False}

    def handler(op, args):
        if state["fail"]:
            raise failure
        return answer

    def function(*args):
        return value

    bare.register_handler("console", handler)
    bare.define_fn("f", function)
    watched = (answer, value, failure, handler, function, Keyword, ValueError)

    def counts():
        return [sys.getrefcount(obj) for obj in watched]

    def exercise():
        for _ in range(200):
            bare.eval('(f 1 "s" [2] {:k 3})')
            bare.eval("(console/println [:k 1])")
        state["fail"] = True
        for _ in range(200):
            with pytest.raises(EvalError):
                bare.eval("(console/println 1)")
        state["fail"] = False

    exercise()  # warm-up: first uses may cache objects (keyword classes, interned texts)
    before = counts()
    exercise()
    assert counts() == before
