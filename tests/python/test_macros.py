"""Macros through the Python module: definitions persist across eval calls, expansions come back
as Python data, a failing expander raises CompileError and leaves the engine usable, and a host
function can serve as a helper of an expander."""

import pytest

from quorvex import CompileError, Engine


def test_a_macro_defined_in_one_eval_expands_in_later_ones():
    engine = Engine.bare()
    assert engine.eval("(defmacro unless [c & body] `(if ~c nil (do ~@body)))") is None
    assert engine.eval("(unless false 1 2)") == 2
    assert engine.eval("(unless true 1 2)") is None


def test_an_expansion_comes_back_as_data():
    engine = Engine.bare()
    engine.eval("(defmacro when [c & body] `(if ~c (do ~@body) nil))")
    assert engine.eval("(vec (macroexpand '(when x 1)))") == [
        engine.eval("'if"),
        engine.eval("'x"),
        engine.eval("'(do 1)"),
        None,
    ]


@pytest.mark.parametrize(
    "source, message",
    [
        ("(m 1 2)", r"^compile error: macro expansion error: Wrong number of arguments: expected 1, got 2$"),
        ("(boom)", r"^compile error: macro expansion error: Division by zero$"),
        ("(again)", r"^compile error: macro expansion error: expansion deeper than 500 levels$"),
    ],
)
def test_a_failing_expansion_raises_and_the_engine_goes_on(source, message):
    engine = Engine.bare()
    engine.eval("(defmacro m [x] x) (defmacro boom [] (/ 1 0)) (defmacro again [] `(again))")
    with pytest.raises(CompileError, match=message):
        engine.eval(source)
    assert engine.eval("[(m 5) (+ 1 2)]") == [5, 3]


def test_an_expander_can_call_a_host_function():
    engine = Engine.bare()
    engine.define_fn("double", lambda n: n * 2)
    engine.eval("(defmacro at-compile-time [n] (double n))")
    assert engine.eval("(at-compile-time 21)") == 42
    assert engine.eval("(macroexpand '(at-compile-time 4))") == 8
