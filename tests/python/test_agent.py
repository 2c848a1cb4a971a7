"""Agent evaluation at the Python surface: AgentJournal, Engine.eval_agent and Engine.eval_text."""

import sys
import threading

import pytest

from quorvex import AgentJournal, Engine, EvalError, CompileError, Keyword

# The journal's rules look at names only, so an update function of the test's own shows them
# without depending on any library function.
OWN_ASSOC = "(defn assoc [m k v] (conj-free m k v)) (defn conj-free [m k v] [m k v])"


def _in_thread(fn):
    box = {}

    def run():
        try:
            box["value"] = fn()
        except BaseException as exc:  # PanicException derives from BaseException
            box["error"] = exc

    t = threading.Thread(target=run)
    t.start()
    t.join()
    return box


@pytest.fixture
def engine():
    e = Engine.bare()
    e.eval(OWN_ASSOC)
    return e


def test_the_m_sequence(engine):
    j = AgentJournal()
    assert engine.eval_agent("(def m [1])", j) == [
        {"value": [1], "lineage_message": "Recorded as m@1."}
    ]
    assert engine.eval_agent("(assoc m :b 2)", j) == [
        {"value": [[1], Keyword("b"), 2], "lineage_message": "Recorded as m@2 (from m@1)."}
    ]
    # The update recorded a revision but left m alone.
    assert engine.eval("m") == [1]
    assert engine.eval("[m@1 m@2]") == [[1], [[1], Keyword("b"), 2]]
    revisions = engine.eval_agent("(revisions 'm)", j)
    assert revisions == [
        {
            "value": [
                {Keyword("index"): 1, Keyword("name"): "m@1", Keyword("value"): [1]},
                {
                    Keyword("index"): 2,
                    Keyword("name"): "m@2",
                    Keyword("value"): [[1], Keyword("b"), 2],
                },
            ],
            "lineage_message": None,
        }
    ]


def test_results_are_dicts_with_two_keys_in_order(engine):
    j = AgentJournal()
    results = engine.eval_agent('(def x "a") 7 (def x "a")', j)
    assert [list(r) for r in results] == [["value", "lineage_message"]] * 3
    assert [r["lineage_message"] for r in results] == ["Recorded as x@1.", None, None]


@pytest.mark.parametrize(
    "src, expected",
    [
        ("", "nil"),
        ("; only a comment", "nil"),
        ("nil", "nil"),
        ("1 2", "1\n2"),
        ("(def m [1])", "[1]\nRecorded as m@1."),
        ("(def m [1]) (def m [1 2]) :k", "[1]\nRecorded as m@1.\n[1 2]\nRecorded as m@2 (from m@1).\n:k"),
        # Strings print unescaped, so a newline inside one spreads it over two lines.
        ('"a\\nb"', '"a\nb"'),
        ("1.0", "1.0"),
    ],
)
def test_eval_text_layout(engine, src, expected):
    assert engine.eval_text(src, AgentJournal()) == expected


def test_empty_text_answers_one_nil_result(engine):
    assert engine.eval_agent("", AgentJournal()) == [{"value": None, "lineage_message": None}]


def test_a_failing_form_raises_and_keeps_what_earlier_forms_recorded(engine):
    j = AgentJournal()
    with pytest.raises(EvalError, match="Undefined variable: nope"):
        engine.eval_agent("(def a [1]) (def b 2) (nope)", j)
    with pytest.raises(EvalError):
        engine.eval_text("(def c 3) (nope)", j)
    assert engine.eval("[a@1 b@1 c@1]") == [[1], 2, 3]
    assert engine.eval_agent("(def a [1])", j)[0]["lineage_message"] is None
    with pytest.raises(CompileError):
        engine.eval_agent("(def d 1) (", j)
    assert engine.eval_agent("(revisions 'd)", j) == [{"value": None, "lineage_message": None}]


def test_names_with_an_at_sign_are_never_recorded(engine):
    j = AgentJournal()
    assert engine.eval_agent("(def x@1 5)", j) == [{"value": 5, "lineage_message": None}]
    assert engine.eval_agent("(revisions 'x@1)", j)[0]["value"] is None


def test_a_revision_outlives_its_global(engine):
    j = AgentJournal()
    engine.eval_agent('(def m [[1] "kept"])', j)
    engine.eval("(def m@1 nil) (def m nil)")
    # Enough allocation for many collections.
    engine.eval("(loop [i 0] (if (< i 50000) (do [i [i]] (recur (+ i 1))) i))")
    [answer] = engine.eval_agent("(revisions 'm)", j)
    assert answer["value"][0][Keyword("value")] == [[1], "kept"]


def test_a_journal_belongs_to_the_engine_that_first_used_it(engine):
    j = AgentJournal()
    engine.eval_agent("(def m 1)", j)
    other = Engine.bare()
    with pytest.raises(EvalError, match="belongs to another engine"):
        other.eval_agent("(def m 2)", j)
    with pytest.raises(EvalError, match="belongs to another engine"):
        other.eval_text("(def m 2)", j)
    assert other.eval_agent("(def m 2)", AgentJournal())[0]["lineage_message"] == "Recorded as m@1."
    assert engine.eval_agent("(def m 3)", j)[0]["lineage_message"] == "Recorded as m@2 (from m@1)."


def test_a_journal_in_use_cannot_be_borrowed_again(engine):
    j = AgentJournal()
    other = Engine.bare()

    def reenter():
        other.eval_agent("1", j)
        return 0

    engine.define_fn("reenter", reenter)
    with pytest.raises(EvalError, match="handler error: RuntimeError: Already borrowed"):
        engine.eval_agent("(def before 1) (reenter)", j)
    # Nothing stayed borrowed.
    assert engine.eval_agent("(def after 1)", j)[0]["lineage_message"] == "Recorded as after@1."


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda e: e.eval_agent("1", 5), TypeError,
         "argument 'journal': 'int' object cannot be converted to 'AgentJournal'"),
        (lambda e: e.eval_text("1", None), TypeError,
         "argument 'journal': 'NoneType' object cannot be converted to 'AgentJournal'"),
        (lambda e: e.eval_agent(1, AgentJournal()), TypeError,
         "argument 'src': 'int' object cannot be converted to 'PyString'"),
        (lambda e: e.eval_agent("1"), TypeError, None),
        (lambda e: AgentJournal(1), TypeError, None),
    ],
)
def test_argument_errors(engine, call, error, message):
    with pytest.raises(error) as info:
        call(engine)
    if message is not None:
        assert str(info.value) == message


def test_a_journal_is_bound_to_its_thread(engine):
    j = AgentJournal()
    box = _in_thread(lambda: Engine.bare().eval_agent("(def m 1)", j))
    error = box.get("error")
    assert type(error).__name__ == "PanicException"
    assert "quorvex_embed::python::PyAgentJournal is unsendable, but sent to another thread" in str(error)
    assert engine.eval_agent("(def m 1)", j)[0]["lineage_message"] == "Recorded as m@1."


def test_a_journal_dropped_on_another_thread_reports_and_leaks():
    box = _in_thread(AgentJournal)
    seen = []
    old = sys.unraisablehook
    sys.unraisablehook = lambda info: seen.append(str(info.exc_value))
    try:
        del box["value"]
    finally:
        sys.unraisablehook = old
    assert seen == [
        "quorvex_embed::python::PyAgentJournal is unsendable, but is being dropped on another thread"
    ]


def test_journals_compare_by_identity():
    a, b = AgentJournal(), AgentJournal()
    assert a != b and a == a
    assert Engine.eval_text.__doc__ == (
        "Porcelain agent eval: text in, text out.\n"
        "Returns formatted output matching the CLI REPL experience."
    )
    assert Engine.eval_agent.__text_signature__ == "($self, src, journal)"


def test_realistic_updates_with_the_library():
    engine = Engine()
    j = AgentJournal()
    assert engine.eval_text("(def m {:a 1})", j) == "{:a 1}\nRecorded as m@1."
    [r] = engine.eval_agent("(assoc m :b 2)", j)
    assert r == {"value": {Keyword("a"): 1, Keyword("b"): 2},
                 "lineage_message": "Recorded as m@2 (from m@1)."}
    assert engine.eval("m") == {Keyword("a"): 1}
    results = engine.eval_agent(
        "(-> m (assoc :c 3) (dissoc :a)) (update m :a inc) (over [:a] inc m) (+>> [:a] inc m)"
        " (-> m (assoc :a 1) count)",
        j,
    )
    assert [r["lineage_message"] for r in results] == [
        "Recorded as m@3 (from m@2).",
        "Recorded as m@4 (from m@3).",
        # The same value as the revision before it: nothing new is recorded.
        None,
        None,
        None,
    ]
    [answer] = engine.eval_agent("(revisions 'm)", j)
    assert [(e[Keyword("index")], e[Keyword("name")]) for e in answer["value"]] == [
        (1, "m@1"), (2, "m@2"), (3, "m@3"), (4, "m@4"),
    ]


def test_a_journal_that_recorded_nothing_may_serve_another_engine(engine):
    j = AgentJournal()
    assert engine.eval_text("(+ 1 2) (revisions 'm)", j) == "3\nnil"
    other = Engine.bare()
    assert other.eval_agent("(def m 2)", j)[0]["lineage_message"] == "Recorded as m@1."
    with pytest.raises(EvalError, match="belongs to another engine"):
        engine.eval_agent("(def m 1)", j)
