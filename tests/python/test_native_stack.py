"""Threads with small native stacks.

The engine bounds its recursion by the room left on the calling thread's stack, keeping a reserve
that scales with the stack's size. On a thread of 256 KB small inputs work as on a thread of the default size
and deep nesting still ends in the nesting error; a thread too small to start on says so."""

import threading

import pytest

from quorvex import CompileError, Engine, Keyword, parse_edn

DEEP = "[" * 100_000 + "]" * 100_000
DEEP_AT_RUN_TIME = "(loop [i 0 x []] (if (< i 100000) (recur (+ i 1) [x]) x))"


def on_thread(stack_size, work):
    """What `work()` answers or raises on a new thread with that stack size."""
    outcome = {}

    def body():
        try:
            outcome["value"] = work()
        except BaseException as exc:  # noqa: BLE001 - the outcome is the test's subject
            outcome["error"] = exc

    previous = threading.stack_size(stack_size)
    try:
        thread = threading.Thread(target=body)
        thread.start()
    finally:
        threading.stack_size(previous)
    thread.join()
    if "error" in outcome:
        return type(outcome["error"]), str(outcome["error"])
    return outcome["value"]


def defined_and_read(value):
    engine = Engine.bare()
    engine.define("d", value)
    return engine.eval("d")


# (work, what it answers on a thread of the default size and on one of 256 KB)
SMALL_STACK_CASES = [
    (lambda: Engine.bare().eval("1"), 1),
    (lambda: Engine.bare().eval("(let [sq (fn [x] (* x x))] (sq 12))"), 144),
    (lambda: Engine().eval("(reduce + (map inc [1 2 3]))"), 9),
    (lambda: Engine.bare().eval('{:a [1 "s" #{2}]}'), {Keyword("a"): [1, "s", frozenset({2})]}),
    (lambda: defined_and_read([[1, {"k": (2,)}]]), [[1, {"k": [2]}]]),
    (lambda: parse_edn("1"), 1),
    (lambda: parse_edn('{:a [1 2 #{3}] "s" (4)}'), {Keyword("a"): [1, 2, frozenset({3})], "s": [4]}),
    (lambda: Engine.bare().eval(DEEP), (CompileError, "Reader error: Nesting too deep")),
    (lambda: parse_edn(DEEP), (CompileError, "invalid EDN: Reader error: Nesting too deep")),
    (lambda: Engine.bare().eval(DEEP_AT_RUN_TIME), (RecursionError, "data nested too deeply")),
]


@pytest.mark.parametrize("work, expected", SMALL_STACK_CASES)
def test_a_thread_of_256_kb_answers_as_a_thread_of_the_default_size(work, expected):
    assert on_thread(0, work) == expected
    assert on_thread(256 * 1024, work) == expected


@pytest.mark.parametrize(
    "work",
    [
        Engine.bare,
        Engine,
        lambda: parse_edn("1"),
        lambda: parse_edn(DEEP),
    ],
)
def test_a_thread_too_small_to_start_on_says_so(work):
    assert on_thread(32 * 1024, work) == (RecursionError, "not enough native stack")
