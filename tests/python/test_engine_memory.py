"""A long-lived engine: evaluating one small form after another keeps memory flat. Each case runs
in a child process, which reports how much its resident set grew over the loop after a warm-up."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import quorvex

MODULE_DIR = str(pathlib.Path(quorvex.__file__).resolve().parent)

# Evaluations per case, and the growth they may cause: 20 MB per million evaluations.
EVALS = 200_000
BOUND_MB = 20 * EVALS / 1_000_000


def resident_growth_mb(setup, loop_body):
    script = textwrap.dedent(
        f"""
        import quorvex

        def resident_mb():
            with open("/proc/self/statm") as f:
                return int(f.read().split()[1]) * {os.sysconf("SC_PAGE_SIZE")} / 1e6

        e = quorvex.Engine()
        e.eval({setup!r})
        def step(i):
            {loop_body}
        for i in range(20_000):
            step(i)
        before = resident_mb()
        for i in range({EVALS}):
            step(i)
        print(resident_mb() - before)
        """
    )
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    done = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=900, check=False
    )
    assert done.returncode == 0, done.stderr
    return float(done.stdout.strip())


@pytest.mark.skipif(not os.path.exists("/proc/self/statm"), reason="reads /proc/self/statm")
@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizer's allocator keeps and pads freed memory; its resident set says nothing "
    "of the program's",
)
@pytest.mark.parametrize(
    "setup, loop_body",
    [
        # The same text again and again: its forms are read once, compiled every time.
        ("(defn f [x] (+ x 1))", 'assert e.eval("(f 1)") == 2'),
        # A new text every time.
        ("(defn f [x] (+ x 1))", 'assert e.eval(f"(f {i})") == i + 1'),
        # A function redefined every time; the old ones are garbage.
        ("nil", 'e.eval(f"(defn g [x] (+ x {i})) (g 1)")'),
        # Forms that make closures and drop them.
        ("nil", 'assert e.eval("((fn [x] ((fn [y] (+ x y)) 2)) 1)") == 3'),
    ],
)
def test_many_small_evaluations_keep_memory_flat(setup, loop_body):
    grown = resident_growth_mb(setup, loop_body)
    assert grown < BOUND_MB, f"resident set grew {grown:.1f} MB over {EVALS} evaluations"
