"""The default console and random handlers of Engine() and Engine.with_defaults().

The console writes to the process's own standard output and reads its standard input, so these
tests run a child process with piped streams."""

import os
import pathlib
import subprocess
import sys
import textwrap

import pytest

import quorvex
from quorvex import Engine, EvalError

MODULE_DIR = str(pathlib.Path(quorvex.__file__).resolve().parent)


def run_child(body, stdin=b"", timeout=60):
    script = "import quorvex\n" + textwrap.dedent(body)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", script],
        input=stdin,
        capture_output=True,
        env=env,
        timeout=timeout,
        check=False,
    )


CONSOLE_TEXTS = [
    ('"hello"', b"hello"),
    ('"say \\"hi\\""', b'say "hi"'),
    ('"back\\\\slash"', b"back\\slash"),
    ('"\\""', b'"'),
    ('""', b""),
    ('"line\\nbreak"', b"line\nbreak"),
    ('"ünïcödé ×"', "ünïcödé ×".encode()),
    ("42", b"42"),
    ("-2.5", b"-2.5"),
    ("1/3", b"1/3"),
    (":k", b":k"),
    ("nil", b"nil"),
    ("true", b"true"),
    ('[1 "a"]', b'[1 "a"]'),
    ("'(1 [2])", b"(1 [2])"),
    ('{:a "x"}', b'{:a "x"}'),
    ("'sym", b"sym"),
]


@pytest.mark.parametrize("make", ["Engine()", "quorvex.Engine.with_defaults()"])
def test_console_println_and_print(make):
    forms = "".join(
        f'(console/println {src}) (console/print {src}) (console/print "|")'
        for src, _ in CONSOLE_TEXTS
    )
    child = run_child(
        f"""
        from quorvex import Engine
        e = {make}
        assert e.eval({forms!r}) is None
        """
    )
    assert child.returncode == 0, child.stderr.decode()
    expected = b"".join(text + b"\n" + text + b"|" for _, text in CONSOLE_TEXTS)
    assert child.stdout == expected


def test_console_arguments_beyond_the_first_are_ignored_and_none_writes_nothing_or_a_newline():
    child = run_child(
        """
        e = quorvex.Engine()
        e.eval('(console/print "a" "b") (console/print) (console/println)')
        e.eval('(console/println "c" "d")')
        e.eval('(console/print "no newline at exit")')
        """
    )
    assert child.returncode == 0, child.stderr.decode()
    assert child.stdout == b"a\nc\nno newline at exit"


def test_console_output_is_line_buffered_and_shares_the_stream_in_order():
    child = run_child(
        """
        import os
        e = quorvex.Engine()
        e.eval('(console/print "partial ")')
        os.write(1, b"[direct]")
        e.eval('(console/println "line")')
        os.write(1, b"[after]")
        """
    )
    assert child.returncode == 0, child.stderr.decode()
    # The unfinished line waits in the buffer; the newline sends it.
    assert child.stdout == b"[direct]partial line\n[after]"


def test_read_line():
    child = run_child(
        """
        e = quorvex.Engine()
        got = [e.eval("(console/read-line)") for _ in range(4)]
        print(repr(got), flush=True)
        """,
        stdin=b"abc\r\ndef\rx\n\r\nlast",
    )
    assert child.returncode == 0, child.stderr.decode()
    assert child.stdout == b"['abc', 'def\\rx', '', 'last']\n"


def test_read_line_at_the_end_of_input_and_on_a_closed_stream():
    child = run_child(
        """
        import os
        e = quorvex.Engine()
        first = e.eval("(console/read-line)")
        second = e.eval("(console/read-line)")
        os.close(0)
        closed = e.eval("(console/read-line)")
        print(repr([first, second, closed]), flush=True)
        """,
        stdin=b"only\n",
    )
    assert child.returncode == 0, child.stderr.decode()
    assert child.stdout == b"['only', '', '']\n"


@pytest.mark.parametrize(
    "bad",
    [b"a\xffb", b"\xc3", b"\xed\xa0\x80", b"\xf8\x88\x80\x80\x80", b"ok\xc0\xaf"],
)
def test_a_line_that_is_not_utf8_reads_as_empty_and_is_consumed(bad):
    child = run_child(
        """
        e = quorvex.Engine()
        got = [e.eval("(console/read-line)") for _ in range(3)]
        print(repr(got), flush=True)
        """,
        stdin=b"\xc3\xa9t\xc3\xa9\n" + bad + b"\r\nnext\n",
    )
    assert child.returncode == 0, child.stderr.decode()
    assert child.stdout == "['été', '', 'next']\n".encode()


def test_a_prompt_is_flushed_before_reading():
    child = run_child(
        """
        e = quorvex.Engine()
        e.eval('(console/print "name? ")')
        import os
        os.write(1, b"<" + e.eval("(console/read-line)").encode() + b">")
        """,
        stdin=b"ada\n",
    )
    assert child.stdout == b"name? <ada>"


def test_a_closed_standard_output_does_not_end_the_process():
    child = run_child(
        """
        import os, sys
        os.close(1)
        e = quorvex.Engine()
        e.eval('(loop [i 0] (if (< i 2000) (do (console/println "lost") (recur (+ i 1))) i))')
        e.eval('(console/print "unfinished")')
        sys.stderr.write("still here")
        """
    )
    assert child.returncode == 0
    assert child.stderr.endswith(b"still here")


def test_bare_engines_have_no_console_or_random():
    bare = Engine.bare()
    cases = [
        ("(console/println 1)", "console"),
        ("(console/read-line)", "console"),
        ("(random/rand)", "random"),
        ("(random/rand-int 3)", "random"),
    ]
    for src, effect in cases:
        with pytest.raises(EvalError, match=f"^Unhandled effect: {effect}$"):
            bare.eval(src)


# ---------------------------------------------------------------------------------------------
# random


@pytest.fixture(scope="module")
def engine():
    return Engine()


def test_rand_is_a_multiple_of_two_to_the_minus_53_in_the_unit_interval(engine):
    flat = [engine.eval("(random/rand)") for _ in range(2000)]
    assert len(flat) == 2000
    assert all(type(f) is float and 0.0 <= f < 1.0 for f in flat)
    assert all((f * 2**53).is_integer() for f in flat)
    assert len(set(flat)) == 2000
    assert 0.4 < sum(flat) / len(flat) < 0.6


@pytest.mark.parametrize("n", [1, 2, 3, 7, 10])
def test_rand_int_covers_its_range_and_nothing_else(engine, n):
    seen = {engine.eval(f"(random/rand-int {n})") for _ in range(60 * n)}
    assert seen == set(range(n))


@pytest.mark.parametrize("n", [3 * 2**61, 2**63 - 1])
def test_rand_int_with_large_ranges(engine, n):
    draws = [engine.eval(f"(random/rand-int {n})") for _ in range(200)]
    assert all(0 <= d < n for d in draws)
    assert any(d >= n // 2 for d in draws) and any(d < n // 2 for d in draws)


@pytest.mark.parametrize(
    "src, message",
    [
        ("(random/rand-int 2.5)", "Type error: rand-int expects an integer argument"),
        ("(random/rand-int 1/2)", "Type error: rand-int expects an integer argument"),
        ("(random/rand-int nil)", "Type error: rand-int expects an integer argument"),
        ('(random/rand-int "3")', "Type error: rand-int expects an integer argument"),
        ("(random/rand-int)", "Type error: rand-int expects an integer argument"),
        ("(random/rand-int 0)", "Value error: cannot sample empty range"),
        ("(random/rand-int -4)", "Value error: cannot sample empty range"),
    ],
)
def test_rand_int_errors(engine, src, message):
    with pytest.raises(EvalError) as info:
        engine.eval(src)
    assert info.value.args == (message,)


def test_rand_ignores_its_arguments(engine):
    assert 0.0 <= engine.eval("(random/rand 1 2 3)") < 1.0
