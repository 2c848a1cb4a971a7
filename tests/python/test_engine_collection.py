"""Memory stays flat in loops whose only allocations happen outside compiled code: inside a
builtin, in a Python function's converted result, in a Python effect handler's answer.

Each loop runs in a child process of its own, which reports how far its peak RSS grew across a
million iterations after a warm-up; without a collection in those loops it grows by hundreds of
megabytes."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import quorvex

MODULE_DIR = str(pathlib.Path(quorvex.__file__).resolve().parent)
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")

ITERATIONS = 1_000_000
# Generous: the loops keep a few objects alive at a time, and the collector lets the garbage of
# about two thousand iterations pile up between collections.
GROWTH_LIMIT_KIB = 48 * 1024

CHILD = """
import resource
import quorvex

engine = quorvex.Engine.bare()
{setup}
loop = "(loop [i 0] (if (< i {{n}}) (do {body} (recur (+ i 1))) i))"
assert engine.eval(loop.format(n=20_000)) == 20_000
start = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
assert engine.eval(loop.format(n={n})) == {n}
print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - start)
"""


@pytest.mark.skipif(SANITIZED, reason="the address sanitizer keeps freed memory in quarantine")
@pytest.mark.parametrize(
    "setup, body",
    [
        # A builtin builds a new vector per call.
        ("engine.eval('(def v [1 2 3])')", "(concat v v)"),
        # A Python function's result is converted into a vector and a string per call.
        ("engine.define_fn('f', lambda x: [x, 'y' * 30])", "(f i)"),
        # A Python handler resumes the perform with a vector and a string.
        (
            "engine.register_handler('console', lambda op, args: ('resume', [args[0], 'y' * 30]))",
            "(console/println i)",
        ),
    ],
    ids=["builtin", "host-function", "host-handler"],
)
def test_a_loop_allocating_only_outside_compiled_code_stays_flat(setup, body):
    script = textwrap.dedent(CHILD).format(setup=setup, body=body, n=ITERATIONS)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, env=env, timeout=300,
        check=False,
    )
    assert done.returncode == 0, done.stderr
    grown_kib = int(done.stdout.strip().splitlines()[-1])
    assert grown_kib < GROWTH_LIMIT_KIB
