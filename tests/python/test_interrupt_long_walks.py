"""Ctrl-C stops every long walk over data, not only runaway loops of compiled code.

Concatenation shares storage, so a vector of 3 * 2^40 elements costs a few kilobytes: comparing,
hashing, printing or copying it walks for hours unless the walk polls for signals. Each case runs
in a child process that installs its own SIGINT handler (the parent may ignore SIGINT), starts the
walk and reports how long after the signal it was stopped; the engine stays usable afterwards."""

import os
import pathlib
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import quorvex

MODULE_DIR = str(pathlib.Path(quorvex.__file__).resolve().parent)

PRELUDE = """
import signal, sys, time
from quorvex import Engine

signal.signal(signal.SIGINT, signal.default_int_handler)
e = Engine()
e.eval('''
(defn dbl [v n] (loop [v v i 0] (if (< i n) (recur (vec (concat v v)) (+ i 1)) v)))
(def a (dbl [1 2 3] 40))
(def b (dbl [1 2 3] 40))
(def long-text (dbl [1 2 3] 26))
(def rows (vec (repeat 20000 (vec (range 5000)))))
nil''')

def walk(action):
    print("ready", flush=True)
    try:
        action()
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    else:
        print("finished", flush=True)
"""

# Each walk would take far longer than the test allows if nothing polled for signals.
WALKS = {
    "equality": 'e.eval("(= a b)")',
    "set element": 'e.eval("(hash-set a)")',
    "map key": 'e.eval("(assoc {} a 1)")',
    "map lookup": 'e.eval("(get {[1 2 3] 1} a)")',
    "printing": 'e.eval("(count (pr-str long-text))")',
    "console printing": 'e.eval("(prn long-text)")',
    "into a set": 'e.eval("(into #{} a)")',
    "join": 'e.eval("(count (join \\",\\" a))")',
    "collecting beside a shared vector": 'e.eval("(loop [i 0 x []] (recur (+ i 1) [i]))")',
    "conversion to Python": 'e.eval("rows")',
    "conversion from Python": 'e.define("big", [list(range(1000))] * 1_000_000)',
    "first focus through each": 'e.eval("(view (_first [each (filtered :none)]) a)")',
    "first-focus update through each": 'e.eval("(over (_first [each (filtered :none)]) inc a)")',
    "first-focus write through each": 'e.eval("(sett (_first [each (filtered :none)]) 0 a)")',
}


def stop_walk(body):
    """Sends SIGINT once the child has started the walk; answers the child's last line and how
    long after the signal it came."""
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    with subprocess.Popen(
        [sys.executable, "-c", PRELUDE + textwrap.dedent(body)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=env,
        # Unbuffered, so that reading a line leaves the rest of the output to communicate().
        bufsize=0,
    ) as child:
        try:
            assert child.stdout.readline() == b"ready\n"
            time.sleep(0.3)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            # A walk that never polls would keep the child busy for hours: give up long before.
            readable, _, _ = select.select([child.stdout], [], [], 60)
            if not readable:
                return "still walking", time.monotonic() - sent, ""
            outcome = child.stdout.readline().decode().strip()
            waited = time.monotonic() - sent
            rest, err = child.communicate(timeout=60)
        finally:
            child.kill()
    assert child.returncode == 0, err.decode()
    return outcome, waited, rest.decode()


@pytest.mark.parametrize("name", list(WALKS))
def test_sigint_stops_a_long_walk(name):
    outcome, waited, rest = stop_walk(
        f"""
        walk(lambda: {WALKS[name]})
        # The engine goes on working, its globals intact.
        print(e.eval("[(count a) (nth b 3298534883327) (+ 1 2)]"))
        """
    )
    assert outcome == "interrupted"
    # Stopped well within a second when the machine is quiet; the bound leaves room for a loaded
    # machine and a sanitizer build, while an unpolled walk takes hours.
    assert waited < 5, waited
    assert rest == "[3298534883328, 3, 3]\n"
