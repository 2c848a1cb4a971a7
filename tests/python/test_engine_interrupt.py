"""Ctrl-C and other exceptions outside Exception stop a run and leave the engine usable.

Each case runs in a child process with a timeout, so that a run that cannot be stopped fails the
test instead of hanging the suite. The engine holds the interpreter lock for the whole run, so no
other Python thread runs meanwhile: interruptions come as signals, whose Python handlers the run
polls, either from a timer (SIGALRM) or from outside the process (SIGINT, which is Ctrl-C)."""

import os
import pathlib
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quorvex

MODULE_DIR = str(pathlib.Path(quorvex.__file__).resolve().parent)

PRELUDE = """
import os, signal, sys, time
import quorvex
from quorvex import Engine

# A process started with SIGINT ignored (a script's background job) passes that on, and Python
# then installs no Ctrl-C handler of its own: the child sets it up itself.
signal.signal(signal.SIGINT, signal.default_int_handler)

def on_alarm(signum, frame):
    raise KeyboardInterrupt("from the timer")

def after(seconds, action):
    if action == "setitimer":
        signal.signal(signal.SIGALRM, on_alarm)
        signal.setitimer(signal.ITIMER_REAL, seconds)
    else:
        # Ctrl-C: the parent sends SIGINT once it reads this line.
        print("ready")
        sys.stdout.flush()

def expect_interrupt(engine, src, action):
    after(0.2, action)
    started = time.monotonic()
    try:
        engine.eval(src)
    except KeyboardInterrupt:
        pass
    else:
        raise AssertionError("the run was not interrupted")
    assert time.monotonic() - started < 20
"""


# Every child starts with SIGINT ignored, as it would under a parent that ignores it, so that
# the cases hold however the test run itself was started. exec keeps an ignored signal ignored.
IGNORING_SIGINT = (
    "import os, signal, sys; signal.signal(signal.SIGINT, signal.SIG_IGN); "
    "os.execv(sys.executable, [sys.executable, '-c', sys.argv[1]])"
)


def run_child(body, action="setitimer", timeout=60):
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    with subprocess.Popen(
        [sys.executable, "-c", IGNORING_SIGINT, PRELUDE + textwrap.dedent(body)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
    ) as child:
        try:
            if action == "sigint":
                assert child.stdout.readline() == b"ready\n"
                time.sleep(0.2)
                child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=timeout)
        finally:
            child.kill()
    assert child.returncode == 0, err.decode()
    return out.decode()


RUNAWAY = [
    "(loop [] (recur))",
    "(loop [i 0] (recur (+ i 1)))",
    "(loop [i 0 n 0] (if (>= i 0) (recur (+ i 1) (- n 1)) n))",
    "(defn step [i] (+ i 1)) (loop [i 0] (recur (step i)))",
    "(defn forever [] (loop [] (recur))) (forever)",
    # Ten billion callbacks of short closures and of a builtin from builtins' own loops, with no
    # loop of the program's own to poll.
    "(def big (vec (range 100000))) (reduce (fn [a x] (reduce (fn [b y] b) a big)) 0 big)",
    "(def big (vec (range 100000))) (map (fn [x] (reduce + x big)) big)",
]


@pytest.mark.parametrize("action", ["setitimer", "sigint"])
@pytest.mark.parametrize("src", RUNAWAY)
def test_keyboard_interrupt_stops_a_runaway_run(src, action):
    out = run_child(
        f"""
        e = Engine.bare()
        e.eval("(def before 1)")
        expect_interrupt(e, {src!r}, {action!r})
        # The engine is usable afterwards, keeps its globals, and the interruption is not replayed.
        assert e.eval("(+ before 2)") == 3
        assert e.eval("(loop [i 0] (if (< i 100000) (recur (+ i 1)) i))") == 100000
        print("ok")
        """,
        action,
    )
    assert out.endswith("ok\n")


def test_the_signal_handlers_exception_is_raised_unchanged():
    out = run_child(
        """
        class Stop(Exception):
            pass

        def stop(signum, frame):
            raise Stop("stop now")

        signal.signal(signal.SIGALRM, stop)
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        e = Engine.bare()
        try:
            e.eval("(loop [] (recur))")
        except Stop as exc:
            print(type(exc).__name__, exc)
        """
    )
    assert out == "Stop stop now\n"


def test_an_interrupt_inside_a_python_callback_ends_the_run_as_itself():
    out = run_child(
        """
        e = Engine.bare()
        calls = []
        def handler(op, args):
            calls.append(op)
            raise KeyboardInterrupt("in the handler")
        e.register_handler("console", handler)
        try:
            e.eval("(console/println 1) (def after 1)")
        except KeyboardInterrupt as exc:
            print("interrupted:", exc)
        e.define_fn("quit", lambda: (_ for _ in ()).throw(SystemExit(3)))
        try:
            e.eval("(loop [i 0] (if (< i 10) (do (quit) (recur (+ i 1))) i))")
        except SystemExit as exc:
            print("exit:", exc.code)
        assert calls == ["println"]
        try:
            e.eval("after")
        except quorvex.EvalError as exc:
            print(exc)
        print(e.eval("(+ 1 2)"))
        """
    )
    assert out == "interrupted: in the handler\nexit: 3\nUndefined variable: after\n3\n"


@pytest.mark.parametrize("action", ["setitimer", "sigint"])
def test_keyboard_interrupt_while_read_line_waits(action):
    out = run_child(
        f"""
        # Standard input that stays open and never delivers anything.
        never_read, never_written = os.pipe()
        os.dup2(never_read, 0)
        e = Engine()
        expect_interrupt(e, "(console/read-line)", {action!r})
        print("ok")
        """,
        action,
    )
    assert out.endswith("ok\n")


def test_a_python_loop_over_short_evaluations_is_interrupted_in_python_or_in_the_engine():
    out = run_child(
        """
        e = Engine.bare()
        e.eval("(defn work [] (loop [i 0] (if (< i 20000) (recur (+ i 1)) i)))")
        after(0.2, "setitimer")
        try:
            while True:
                e.eval("(work)")
        except KeyboardInterrupt:
            pass
        print(e.eval("(work)"))
        """
    )
    assert out == "20000\n"
