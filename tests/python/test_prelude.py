"""Engines with the prelude: what Engine() and Engine.with_defaults() add over Engine.bare()."""

import re

import pytest

from quorvex import Engine, EvalError, Keyword


def _recording_engine(answer=None):
    """An engine whose console and random effects are answered by recording handlers."""
    engine = Engine()
    performed = []

    def console(op, args):
        performed.append(("console", op, list(args)))
        return ("resume", None)

    def random(op, args):
        performed.append(("random", op, list(args)))
        return ("resume", 0 if answer is None else answer(args))

    engine.register_handler("console", console)
    engine.register_handler("random", random)
    return engine, performed


@pytest.mark.parametrize("make", [Engine, Engine.with_defaults])
def test_default_engines_have_the_prelude_and_bare_ones_do_not(make):
    assert make().eval("(inc 41)") == 42
    with pytest.raises(EvalError, match="Undefined variable: inc"):
        Engine.bare().eval("(inc 41)")


@pytest.mark.parametrize(
    "src, performed",
    [
        ('(print "a" 1)', [("console", "print", ["a1"])]),
        ('(println "b" :c)', [("console", "println", ["b:c"])]),
        ('(prn "s" [1])', [("console", "println", ['"s" [1]'])]),
        ("(prn)", [("console", "println", [""])]),
        ("(dotimes [i 3] (print i))", [("console", "print", [str(i)]) for i in range(3)]),
        ("(doseq [x [:a :b]] (println x))", [("console", "println", [":a"]), ("console", "println", [":b"])]),
        ("(shuffle [])", []),
        ("(shuffle [7])", []),
        ("(rand-nth [])", []),
        ("(rand-nth [1 2 3])", [("random", "rand-int", [3])]),
        ("(shuffle [1 2 3 4 5])", [("random", "rand-int", [n]) for n in (5, 4, 3, 2)]),
    ],
)
def test_printing_and_random_functions_perform_their_effects(src, performed):
    engine, seen = _recording_engine()
    engine.eval(src)
    assert seen == performed


def test_shuffle_swaps_from_the_last_index_down():
    # Always answering the highest index leaves every element where it was; answering 0 rotates.
    engine, _ = _recording_engine(lambda args: args[0] - 1)
    assert engine.eval("(shuffle [1 2 3 4])") == [1, 2, 3, 4]
    engine, _ = _recording_engine(lambda args: 0)
    assert engine.eval("(shuffle [1 2 3 4])") == [2, 3, 4, 1]


def test_time_prints_the_elapsed_milliseconds_and_answers_the_value():
    engine, seen = _recording_engine()
    assert engine.eval("(time (+ 1 2))") == 3
    [(effect, op, [text])] = seen
    assert (effect, op) == ("console", "println")
    assert re.fullmatch(r"Elapsed time: [0-9.e-]+ msecs", text), text


def test_reduce_stops_at_reduced_only_with_the_prelude():
    src = "(reduce (fn [acc x] (if (> x 2) (Reduced acc) (+ acc x))) 0 [1 2 3 4])"
    assert Engine().eval(src) == 3
    bare = Engine.bare()
    with pytest.raises(EvalError, match="Undefined variable: Reduced"):
        bare.eval(src)
    # A type of the same name declared by a program is not the prelude's: nothing stops early.
    bare.eval("(defdata ReduceSignal (Reduced [value]))")
    assert bare.eval(f"(Reduced? {src})") is True


def test_the_printing_builtins_are_replaced_by_the_prelude():
    engine, seen = _recording_engine()
    engine.eval('(println "x")')
    assert seen == [("console", "println", ["x"])]


def test_a_failed_form_leaves_the_prelude_macros_working():
    engine = Engine()
    with pytest.raises(Exception):
        engine.eval("(let [x] x)")
    assert engine.eval("(when true 1)") == 1
    assert engine.eval("(-> {:a 1} (assoc :b 2) (get :b))") == 2


def test_engines_with_the_prelude_are_independent():
    first, second = Engine(), Engine()
    first.eval("(def inc dec) (defmacro when [& _] :hijacked)")
    assert first.eval("[(inc 1) (when true 1)]") == [0, Keyword("hijacked")]
    assert second.eval("[(inc 1) (when true 1)]") == [2, 1]
    assert Engine().eval("(inc 1)") == 2


def test_large_inputs_to_prelude_functions():
    engine = Engine()
    assert engine.eval("(count (map-indexed vector (range 100000)))") == 100000
    assert engine.eval("(some (fn [x] (= x 99999)) (range 100000))") == 99999
    assert engine.eval("(every? int? (range 100000))") is True
    assert engine.eval("(count (distinct (range 20000)))") == 20000
