#!/usr/bin/env python3
"""Language benchmarks: quorvex side by side with CPython and Lua 5.4, in one process run.

    python3 bench/run.py                 all rows, median of 5 repetitions
    python3 bench/run.py --quick         one repetition per cell
    python3 bench/run.py --only fib,eval
    python3 bench/run.py --list
    python3 bench/run.py --check         answers only, at small sizes, nothing timed
    python3 bench/run.py --profile fib [--seconds 30 | --iterations 3] [--n 27]

Every row runs the same algorithm three times: as a quorvex program (bench/programs/*.qv, in an
engine made with Engine.bare()), as the idiomatic CPython program (*.py) and as the idiomatic
Lua 5.4 program (*.lua, through the lupa package, which the runner installs with pip when it
is missing). Each cell's result is
checked before it is timed: a quorvex or Lua result that differs from CPython's is reported as
WRONG and not timed. A cell that cannot run (module not built, evaluation error) shows "failed"
or "cannot run" with the reason below the table; the other columns still run. The cells of a
row are timed in rounds in which they take turns.

Before a quorvex cell runs in this process, a small instance of it runs once in a child process,
so that a crash or a hang costs that row only, not the whole table.
"""

from __future__ import annotations

import argparse
import builtins
import gc
import importlib
import os
import platform
import signal
import statistics
import subprocess
import sys
import time
import types
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable

HERE = Path(__file__).resolve().parent
PROGRAMS = HERE / "programs"

Thunk = Callable[[], Any]

# The small runs of a child process take milliseconds even on a slow interpreter.
PROBE_TIMEOUT = 20.0


def signal_name(returncode: int) -> str:
    try:
        return signal.Signals(-returncode).name
    except ValueError:
        return f"signal {-returncode}"


# ---------------------------------------------------------------------------------------------
# Optional runtimes


def load_quorvex(guarded: bool = False) -> tuple[Any, str | None]:
    """The quorvex module, or None and the reason it cannot be used.

    Guarded, the import is tried in a child process first, so that a module that crashes on
    import costs the quorvex column only.
    """
    if guarded:
        try:
            proc = subprocess.run(  # noqa: S603
                [sys.executable, "-c", "import quorvex"],
                capture_output=True, text=True, timeout=PROBE_TIMEOUT, check=False,
            )
        except subprocess.TimeoutExpired:
            return None, f"importing the module did not finish in {PROBE_TIMEOUT:.0f} s"
        if proc.returncode < 0:
            return None, f"importing the module crashed the process ({signal_name(proc.returncode)})"
    try:
        import quorvex  # noqa: PLC0415
    except ImportError as exc:
        return None, f"module does not import ({exc}); build it with `make module`"
    except Exception as exc:  # noqa: BLE001 - a half-built module may raise anything on import
        return None, f"module import failed: {type(exc).__name__}: {exc}"
    if not hasattr(quorvex, "Engine"):
        return None, "module has no Engine class yet"
    return quorvex, None


@dataclass
class Lua:
    factory: Callable[[], Any] | None
    label: str
    is_54: bool
    reason: str | None  # why there is no Lua column


def install_lupa() -> str | None:
    """Installs lupa with pip; answers None on success or the reason it did not install."""
    print("lupa is not installed: installing it with pip for the Lua column", file=sys.stderr)
    try:
        proc = subprocess.run(  # noqa: S603
            [sys.executable, "-m", "pip", "install", "-q", "lupa"],
            capture_output=True, text=True, timeout=600, check=False,
        )
    except subprocess.TimeoutExpired:
        return "pip install lupa did not finish in 600 s"
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return f"pip install lupa failed: {tail}"
    importlib.invalidate_caches()
    return None


def load_lua(install: bool) -> Lua:
    try:
        import lupa  # noqa: PLC0415
    except ImportError:
        problem = install_lupa() if install else "lupa is not installed (pip install lupa)"
        if problem:
            return Lua(None, "Lua 5.4", False, problem)
        try:
            import lupa  # noqa: PLC0415
        except ImportError as exc:
            return Lua(None, "Lua 5.4", False, f"lupa does not import after installing: {exc}")
    try:
        from lupa import lua54  # noqa: PLC0415

        factory = lua54.LuaRuntime
    except ImportError:
        factory = lupa.LuaRuntime
    try:
        version = str(factory().eval("_VERSION"))
    except Exception as exc:  # noqa: BLE001
        return Lua(None, "Lua 5.4", False, f"lupa cannot start a Lua runtime: {exc}")
    return Lua(factory, version, version == "Lua 5.4", None)


# ---------------------------------------------------------------------------------------------
# Rows


@dataclass
class Target:
    text: str
    kind: str  # "py" (ratio to CPython), "lua" (ratio to Lua 5.4) or "abs" (seconds per op)
    limit: float

    def judge(self, qv: float | None, py: float | None, lua: float | None, lua_is_54: bool):
        """True, False, or None when this run cannot tell."""
        if qv is None:
            return None
        if self.kind == "abs":
            return qv < self.limit
        if self.kind == "py":
            return None if py is None else qv / py <= self.limit
        if self.kind == "lua":
            return None if lua is None or not lua_is_54 else qv / lua <= self.limit
        raise ValueError(self.kind)


@dataclass
class Bench:
    name: str
    title: str
    unit: str  # "ms" per run, or "us"/"ns" per operation
    ops: int  # operations per timed run; the reported time is divided by it
    setup_qv: Callable[[Any, bool], Thunk]  # (quorvex module, small) -> thunk
    setup_py: Callable[[bool], Thunk]
    setup_lua: Callable[[Callable[[], Any], bool], Thunk]
    expected: Callable[[bool], Any]  # closed form of the right answer, also guards the .py file
    targets: list[Target] = field(default_factory=list)
    ratio_to_py: bool = True  # False where the CPython column is only a reference point
    note: str = ""
    resize: Callable[[int], Bench] | None = None  # the same program row at another size
    size: int | None = None  # the problem size of a program row
    growth: bool = False  # also timed at a tenth of its size: the per-element cost must stay flat


def read_program(stem: str, ext: str) -> str:
    return (PROGRAMS / f"{stem}.{ext}").read_text(encoding="utf-8")


def python_namespace(stem: str) -> dict[str, Any]:
    """Executes a .py program as a module would be: its functions see its own globals."""
    path = PROGRAMS / f"{stem}.py"
    ns: dict[str, Any] = {"__name__": f"bench_{stem}", "__builtins__": builtins}
    exec(compile(path.read_text(encoding="utf-8"), str(path), "exec"), ns)  # noqa: S102
    return ns


def lua_to_python(value: Any) -> Any:
    """Lua tables come back as lupa proxies; sequences are compared as Python lists."""
    if type(value).__name__ == "_LuaTable":
        return [lua_to_python(v) for v in value.values()]
    return value


def host_inc(x):
    return x + 1


def program_bench(
    name: str,
    stem: str,
    title: str,
    n: int,
    small_n: int,
    expected: Callable[[int], Any],
    targets: list[Target] | None = None,
    globals_fn: dict[str, Any] | None = None,
    per_call: bool = False,
    unit: str = "ms",
    note: str = "",
    prepared: bool = False,
    with_prelude: bool = False,
    growth: bool = False,
) -> Bench:
    """A row whose three cells each call `run(n)` of one program file.

    Times are per run, or per call (of the n calls one run makes) with `per_call`. With
    `prepared`, each program also defines `prepare(n)`, whose answer is made once, outside the
    timing, and the timed call is `run(data)` (the Lua file returns prepare and run).
    """
    host_fns = globals_fn or {}

    def size(small: bool) -> int:
        return small_n if small else n

    def setup_qv(qv, small):
        engine = qv.Engine() if with_prelude else qv.Engine.bare()
        for fn_name, fn in host_fns.items():
            engine.define_fn(fn_name.replace("_", "-"), fn)
        engine.eval(read_program(stem, "qv"))
        if prepared:
            engine.eval(f"(def bench-data (prepare {size(small)}))")
            call = "(run bench-data)"
        else:
            call = f"(run {size(small)})"
        return lambda: engine.eval(call)

    def setup_py(small):
        ns = python_namespace(stem)
        ns.update(host_fns)
        run, k = ns["run"], size(small)
        if prepared:
            data = ns["prepare"](k)
            return lambda: run(data)
        return lambda: run(k)

    def setup_lua(factory, small):
        lua = factory()
        loaded = lua.execute(read_program(stem, "lua"))
        for fn_name, fn in host_fns.items():
            lua.globals()[fn_name] = fn
        k = size(small)
        if prepared:
            prepare, run = loaded
            data = prepare(k)
            return lambda: lua_to_python(run(data))
        run = loaded
        return lambda: lua_to_python(run(k))

    return Bench(
        name=name,
        title=title,
        unit=unit,
        ops=n if per_call else 1,
        setup_qv=setup_qv,
        setup_py=setup_py,
        setup_lua=setup_lua,
        expected=lambda small: expected(size(small)),
        targets=targets or [],
        note=note,
        resize=lambda m: program_bench(
            name, stem, title, m, small_n, expected, targets, globals_fn, per_call, unit, note,
            prepared, with_prelude, growth,
        ),
        size=n,
        growth=growth,
    )


def fib_value(n: int) -> int:
    a, b = 0, 1
    for _ in range(n):
        a, b = b, a + b
    return a


# Engine.bare() creation -----------------------------------------------------------------------

BARE_COUNT = 1_000


def setup_bare_qv(qv, small):
    count = 10 if small else BARE_COUNT
    bare = qv.Engine.bare

    def go():
        for _ in range(count):
            bare()
        return True

    return go


def setup_bare_py(small):
    # The nearest thing CPython makes cheaply in-process: a fresh module namespace.
    count = 10 if small else BARE_COUNT
    module_type = types.ModuleType

    def go():
        for _ in range(count):
            module_type("scratch")
        return True

    return go


def setup_bare_lua(factory, small):
    count = 10 if small else BARE_COUNT

    def go():
        for _ in range(count):
            factory()
        return True

    return go


# Engine() creation, with the prelude ------------------------------------------------------------

ENGINE_COUNT = 200


def setup_engine_qv(qv, small):
    count = 2 if small else ENGINE_COUNT
    make = qv.Engine

    def go():
        for _ in range(count):
            make()
        return True

    return go


def setup_engine_py(small):
    return setup_bare_py(small)


def setup_engine_lua(factory, small):
    return setup_bare_lua(factory, small)


# eval of a tiny form ----------------------------------------------------------------------------

EVAL_COUNT = 100_000


def setup_eval_qv(qv, small):
    count = 10 if small else EVAL_COUNT
    engine = qv.Engine.bare()
    evaluate = engine.eval

    def go():
        result = None
        for _ in range(count):
            result = evaluate("(+ 1 2)")
        return result

    return go


def setup_eval_py(small):
    count = 10 if small else EVAL_COUNT

    def go():
        result = None
        for _ in range(count):
            result = eval("1 + 2")  # noqa: S307 - text in, compiled and run, like Engine.eval
        return result

    return go


def setup_eval_lua(factory, small):
    count = 10 if small else EVAL_COUNT
    evaluate = factory().eval

    def go():
        result = None
        for _ in range(count):
            result = evaluate("1 + 2")
        return result

    return go


# define + eval round trip of a list ----------------------------------------------------------

ROUND_TRIP_LEN = 1_000
ROUND_TRIP_COUNT = 1_000


def round_trip_data() -> list[int]:
    return list(range(ROUND_TRIP_LEN))


def setup_round_trip_qv(qv, small):
    count = 2 if small else ROUND_TRIP_COUNT
    data = round_trip_data()
    engine = qv.Engine.bare()

    def go():
        back = None
        for _ in range(count):
            engine.define("data", data)
            back = engine.eval("data")
        return back

    return go


def setup_round_trip_py(small):
    # Into a namespace as a copy, and back out as a copy: the two conversions of the round trip.
    count = 2 if small else ROUND_TRIP_COUNT
    data = round_trip_data()
    ns: dict[str, Any] = {}

    def go():
        back = None
        for _ in range(count):
            ns["data"] = list(data)
            back = list(ns["data"])
        return back

    return go


def setup_round_trip_lua(factory, small):
    count = 2 if small else ROUND_TRIP_COUNT
    data = round_trip_data()
    lua = factory()
    lua_globals, table_from, evaluate = lua.globals(), lua.table_from, lua.eval

    def go():
        back = None
        for _ in range(count):
            lua_globals.data = table_from(data)
            back = list(evaluate("data").values())
        return back

    return go


# over of [each :a] on a vector of maps --------------------------------------------------------

OPTICS_LEN = 100_000


def setup_optics_qv(qv, small):
    n = 100 if small else OPTICS_LEN
    engine = qv.Engine.bare()
    engine.eval("(def inc (fn [x] (+ x 1)))")
    engine.eval(f"(def data (map (fn [i] {{:a i :b i}}) (range {n})))")
    # Only the last element crosses back to Python, so the row times the update, not conversion.
    return lambda: engine.eval("(view [-1 :a] (over [each :a] inc data))")


def setup_optics_py(small):
    n = 100 if small else OPTICS_LEN
    data = [{"a": i, "b": i} for i in range(n)]

    def go():
        updated = [{**d, "a": d["a"] + 1} for d in data]
        return updated[-1]["a"]

    return go


def setup_optics_lua(factory, small):
    n = 100 if small else OPTICS_LEN
    lua = factory()
    run = lua.execute(
        """
        local data = {}
        for i = 0, %d - 1 do data[#data + 1] = { a = i, b = i } end
        return function()
          local out = {}
          for i, d in ipairs(data) do
            local e = {}
            for k, v in pairs(d) do e[k] = v end
            e.a = d.a + 1
            out[i] = e
          end
          return out[#out].a
        end
        """
        % n
    )
    return lambda: run()


HOST_CALLS = 1_000_000

BENCHES: list[Bench] = [
    program_bench(
        "fib", "fib", "fib 30 (recursive)", 30, 15, fib_value,
        targets=[Target("<=0.8x CPython", "py", 0.8), Target("<=1.0x Lua 5.4", "lua", 1.0)],
    ),
    program_bench(
        "loop", "loop_sum", "loop/recur sum to 10M", 10_000_000, 1_000,
        lambda n: n * (n + 1) // 2,
        targets=[Target("<=0.5x CPython", "py", 0.5), Target("<=1.5x Lua 5.4", "lua", 1.5)],
    ),
    program_bench(
        "closures", "closures", "closure calls x1M", 1_000_000, 1_000,
        lambda n: 3 * n * (n - 1) // 2 + n,
        targets=[Target("<=1.0x Lua 5.4", "lua", 1.0)],
    ),
    program_bench(
        "builtin_arith", "builtin_arith", "builtins + * < as values x1M", 1_000_000, 1_000,
        lambda n: 3 * n * (n - 1) // 2,
        note="CPython column: operator.add, mul and lt held as values",
    ),
    program_bench(
        "alloc", "alloc", "small vector per iter x1M", 1_000_000, 1_000,
        lambda n: [n - 1, n, 2 * (n - 1)],
    ),
    program_bench(
        "match", "match_shapes", "match on variants x1M", 1_000_000, 1_000,
        lambda n: 19 * (n // 3) + (3 if n % 3 >= 1 else 0) + (6 if n % 3 == 2 else 0),
    ),
    program_bench(
        "map", "seq_map", "map over a 1M vector", 1_000_000, 1_000, lambda n: n,
        targets=[Target("<=2x CPython", "py", 2.0), Target("<=1.5x CPython", "py", 1.5)],
        growth=True, prepared=True,
        note="(map (fn [x] (* x 2)) v); [x * 2 for x in data]",
    ),
    program_bench(
        "filter", "seq_filter", "filter over a 1M vector", 1_000_000, 1_000, lambda n: n // 2,
        targets=[Target("<=2x CPython", "py", 2.0), Target("<=1.5x CPython", "py", 1.5)],
        growth=True, prepared=True,
    ),
    program_bench(
        "reduce", "seq_reduce", "reduce over a 1M vector", 1_000_000, 1_000,
        lambda n: n * (n - 1) // 2,
        targets=[Target("<=2x CPython", "py", 2.0), Target("<=1.5x CPython", "py", 1.5)],
        growth=True, prepared=True,
        note="(reduce (fn [acc x] (+ acc x)) 0 v); functools.reduce with a lambda",
    ),
    program_bench(
        "sort", "seq_sort", "sort of 1M integers", 1_000_000, 1_000,
        lambda n: [0, n // 2, n - 1],
        targets=[Target("<=2x CPython", "py", 2.0), Target("<=1.5x CPython", "py", 1.5)],
        growth=True, prepared=True,
    ),
    program_bench(
        "conj", "seq_conj", "1M-element vector by conj", 1_000_000, 1_000, lambda n: n,
        targets=[Target("<=2x CPython", "py", 2.0)], growth=True,
        note="conj in a loop/recur; list.append in a for loop",
    ),
    program_bench(
        "catapp5", "concat_append", "1e5 appends by (vec (concat acc [x]))", 100_000, 1_000,
        lambda n: n, note="the same loop as catapp6 at a tenth of the length",
    ),
    program_bench(
        "catapp6", "concat_append", "1e6 appends by (vec (concat acc [x]))", 1_000_000, 1_000,
        lambda n: n, note="n log n: about 10-13x the catapp5 time; CPython: list.append",
    ),
    program_bench(
        "reducerange", "reduce_range", "(reduce + (range 1M))", 1_000_000, 1_000,
        lambda n: n * (n - 1) // 2,
        targets=[Target("<=2x CPython", "py", 2.0)], growth=True,
        note="functools.reduce(operator.add, range(n))",
    ),
    program_bench(
        "generator", "generator", "generator-style perform+resume x1M", 1_000_000, 1_000,
        lambda n: (n // 1000) * 499_500,
        per_call=True,
        unit="ns",
        note="1000 yields per with-handler, resumed by its clause; a Python generator; a Lua "
        "coroutine",
    ),
    program_bench(
        "perform_resume", "perform_resume", "perform+resume with a value x1M", 1_000_000, 1_000,
        lambda n: (n // 1000) * 500_500,
        targets=[Target("<=2x CPython", "py", 2.0)],
        per_call=True,
        unit="ns",
        note="1000 per with-handler, each resumed by (k (+ x 1)); a Python generator driven by "
        "send; a Lua coroutine resumed with the value",
    ),
    program_bench(
        "exn_catch", "exn_catch", "exn catch of a division by zero x100K", 100_000, 1_000,
        lambda n: n,
        targets=[Target("<=2x CPython", "py", 2.0)],
        per_call=True,
        unit="ns",
        note="with-handler of exn around (quot i 0); try/except ZeroDivisionError; Lua pcall",
    ),
    Bench(
        name="bare",
        title="Engine.bare() creation",
        unit="us",
        ops=BARE_COUNT,
        setup_qv=setup_bare_qv,
        setup_py=setup_bare_py,
        setup_lua=setup_bare_lua,
        expected=lambda small: True,
        targets=[Target("<200 us", "abs", 200e-6)],
        ratio_to_py=False,
        note="CPython column: a fresh module namespace; Lua column: a fresh LuaRuntime",
    ),
    Bench(
        name="engine",
        title="Engine() creation (prelude)",
        unit="us",
        ops=ENGINE_COUNT,
        setup_qv=setup_engine_qv,
        setup_py=setup_engine_py,
        setup_lua=setup_engine_lua,
        expected=lambda small: True,
        targets=[Target("<=2 ms", "abs", 2e-3)],
        ratio_to_py=False,
        note="the prelude's 106 definitions compiled and run; columns as in the row above",
    ),
    Bench(
        name="eval",
        title="eval of a tiny form",
        unit="us",
        ops=EVAL_COUNT,
        setup_qv=setup_eval_qv,
        setup_py=setup_eval_py,
        setup_lua=setup_eval_lua,
        expected=lambda small: 3,
        targets=[Target("<5 us", "abs", 5e-6), Target("<=1.0 us", "abs", 1.0e-6)],
        note='"(+ 1 2)" through Engine.eval; eval("1 + 2"); LuaRuntime.eval("1 + 2")',
    ),
    program_bench(
        "host", "host_call", "host function call x1M", HOST_CALLS, 1_000,
        lambda n: n,
        targets=[Target("<300 ns", "abs", 300e-9), Target("<=100 ns", "abs", 100e-9)],
        globals_fn={"host_inc": host_inc},
        per_call=True,
        unit="ns",
        note="the same Python function, called from a quorvex / CPython / Lua loop",
    ),
    Bench(
        name="optics",
        title="over [each :a] inc, 1e5 maps",
        unit="ms",
        ops=1,
        setup_qv=setup_optics_qv,
        setup_py=setup_optics_py,
        setup_lua=setup_optics_lua,
        expected=lambda small: 100 if small else OPTICS_LEN,
        note="CPython column: a list comprehension of updated dict copies; Lua: a loop of "
        "table copies",
    ),
    Bench(
        name="roundtrip",
        title="define+eval 1000-elt list",
        unit="us",
        ops=ROUND_TRIP_COUNT,
        setup_qv=setup_round_trip_qv,
        setup_py=setup_round_trip_py,
        setup_lua=setup_round_trip_lua,
        expected=lambda small: round_trip_data(),
        targets=[Target("<=40 us", "abs", 40e-6)],
        note="CPython column: copy in and copy out; Lua column: table_from and back",
    ),
]
BENCHES += [
    program_bench(
        "freq", "freq", "frequencies of 100k ints", 100_000, 1_000, lambda n: [1000, n // 1000],
        targets=[Target("<=1.5x CPython", "py", 1.5)], with_prelude=True,
        note="the prelude's frequencies against a dict loop",
    ),
    program_bench(
        "group", "group", "group-by of 100k ints", 100_000, 1_000, lambda n: [100, n // 100],
        targets=[Target("<=1.5x CPython", "py", 1.5)], with_prelude=True,
        note="the prelude's group-by against dict.setdefault(...).append",
    ),
    program_bench(
        "distinct", "distinct", "distinct of 100k ints", 100_000, 1_000,
        lambda n: min(n, 5000),
        targets=[Target("<=1.5x CPython", "py", 1.5)], with_prelude=True,
        note="the prelude's distinct against a set and a list",
    ),
]
BY_NAME = {b.name: b for b in BENCHES}


# ---------------------------------------------------------------------------------------------
# Memory rows
#
# Each runs in a child process of its own, so the allocator starts clean. The quorvex figure is
# the growth of the C allocator's bytes in use (glibc's mallinfo2: uordblks + hblkhd) across one
# Engine.define of the structure, the Python structure having been built beforehand: it counts
# the machine's objects, its trie or hash nodes and the names interned for keywords, and not the
# conversion's temporary data, which is freed before the define returns. The CPython figure is
# what tracemalloc counts while the same structure is built as Python objects (container, keys
# and int objects).


@dataclass
class MemoryRow:
    name: str
    title: str
    target_text: str
    limit: float
    per_element: bool  # judged in bytes per element (else as the ratio to CPython's bytes)
    note: str = ""


MEMORY_ROWS = [
    MemoryRow("vecmem", "vector of 1e6 small ints", "<=32 B/element", 32.0, True,
              "bytes per element; CPython column: a list of the same ints"),
    MemoryRow("mapmem", "map of 1e5 keyword->int", "<=3x CPython", 3.0, False,
              "CPython column: a dict of str keys to the same ints"),
]
MEMORY_BY_NAME = {m.name: m for m in MEMORY_ROWS}
VECMEM_N = 1_000_000
MAPMEM_N = 100_000


def malloc_in_use() -> int | None:
    import ctypes  # noqa: PLC0415

    class MallInfo2(ctypes.Structure):
        _fields_ = [(f, ctypes.c_size_t) for f in (
            "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
            "fordblks", "keepcost")]

    try:
        mallinfo2 = ctypes.CDLL(None).mallinfo2
    except (OSError, AttributeError):
        return None
    mallinfo2.restype = MallInfo2
    info = mallinfo2()
    return info.uordblks + info.hblkhd


def python_bytes(build: Callable[[], Any]) -> tuple[int, Any]:
    import tracemalloc  # noqa: PLC0415

    gc.collect()
    tracemalloc.start()
    try:
        base = tracemalloc.get_traced_memory()[0]
        made = build()
        return tracemalloc.get_traced_memory()[0] - base, made
    finally:
        tracemalloc.stop()


def run_memory_child(name: str) -> int:
    """Child side of a memory row: prints `memory QV_BYTES PY_BYTES COUNT` or a problem."""
    row = MEMORY_BY_NAME[name]
    if name == "vecmem":
        n = VECMEM_N
        py, data = python_bytes(lambda: list(range(n)))
    else:
        n = MAPMEM_N
        py, _ = python_bytes(lambda: {f"key-{i}": i for i in range(n)})
        data = None
    qv, reason = load_quorvex()
    if qv is None:
        print(f"memory-problem cannot run: {reason}", flush=True)
        return 0
    engine = qv.Engine.bare()
    if data is None:
        data = {qv.Keyword(f"key-{i}"): i for i in range(n)}
    engine.eval("(+ 1 2)")  # settles the machine's first allocations
    gc.collect()
    before = malloc_in_use()
    if before is None:
        print("memory-problem cannot run: the C library has no mallinfo2", flush=True)
        return 0
    engine.define("data", data)
    used = malloc_in_use() - before
    if engine.eval("(count data)") != n:
        print(f"memory-problem WRONG: {row.title} did not hold {n} elements", flush=True)
        return 0
    print(f"memory {used} {py} {n}", flush=True)
    return 0


def measure_memory(row: MemoryRow) -> tuple[int | None, int | None, int, str | None]:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--memory-child", row.name]
    try:
        proc = subprocess.run(  # noqa: S603
            cmd, capture_output=True, text=True, timeout=120, check=False
        )
    except subprocess.TimeoutExpired:
        return None, None, 0, "failed: the measurement did not finish in 120 s"
    last = (proc.stdout.strip().splitlines() or [""])[-1]
    if proc.returncode != 0 or not last.startswith("memory"):
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return None, None, 0, f"failed: status {proc.returncode}: {tail}"
    if last.startswith("memory-problem "):
        return None, None, 0, last[len("memory-problem "):]
    _, qv, py, n = last.split()
    return int(qv), int(py), int(n), None


def print_memory_table(rows: list[MemoryRow], notes: Notes) -> bool:
    """Prints the memory rows; answers whether one of them was wrong."""
    headers = ["memory", "quorvex", "CPython", "qv/CPython", "target", "status"]
    table = []
    wrong = False
    for row in rows:
        qv, py, n, problem = measure_memory(row)
        if problem:
            wrong = wrong or problem.startswith("WRONG")
            table.append([row.title, f"{problem.split(':')[0]} {notes.mark(problem)}", "-", "-",
                          row.target_text, "-"])
            continue
        if row.per_element:
            figure = qv / n
            qv_text, py_text = f"{qv / n:.1f} B/elt", f"{py / n:.1f} B/elt"
        else:
            figure = qv / py
            qv_text, py_text = f"{qv / 1e6:.2f} MB", f"{py / 1e6:.2f} MB"
        table.append([row.title, qv_text, py_text, f"{qv / py:.2f}x", row.target_text,
                      "met" if figure <= row.limit else "MISSED"])
    widths = [max(len(r[i]) for r in [headers, *table]) for i in range(len(headers))]
    for r in [headers, ["-" * w for w in widths], *table]:
        print("  ".join(c.rjust(w) if i in (1, 2, 3) else c.ljust(w)
                        for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    return wrong


# ---------------------------------------------------------------------------------------------
# Collector pacing rows
#
# The `alloc` program's run (a million three-element vectors, all but the last garbage) in an
# engine that holds something the collector must deal with, against the same run in an engine
# that holds nothing. Both engines live in one child process, so the large structures are freed
# with it; their runs alternate, and each figure is the mean of all timed runs: a collection of
# the large structure falls into some runs and not others, and a median would leave it out.


@dataclass
class PacingRow:
    name: str
    title: str
    limit: float  # the ratio to the empty engine's time
    note: str = ""


PACING_ROWS = [
    PacingRow("pacebig", "1M allocs, 20M-elt vector live", 2.0,
              "a 20,000,000-element vector defined from a Python list stays live"),
    PacingRow("paceburst", "1M allocs after a dropped burst", 1.5,
              "3,000,000 small vectors built in a loop and dropped; timed after 6M further "
              "allocations, by which the collector has found the burst dead"),
]
PACING_BY_NAME = {r.name: r for r in PACING_ROWS}
PACING_ALLOCS = 1_000_000
PACING_RUNS = 10


def run_pacing_child(name: str) -> int:
    """Child side of a pacing row: prints `pacing ROW_SECONDS EMPTY_SECONDS` or a problem."""
    qv, reason = load_quorvex()
    if qv is None:
        print(f"pacing-problem cannot run: {reason}", flush=True)
        return 0
    n = PACING_ALLOCS
    run = f"(run {n})"
    expected = [n - 1, n, 2 * (n - 1)]
    empty = qv.Engine.bare()
    loaded = qv.Engine.bare()
    for engine in (empty, loaded):
        engine.eval(read_program("alloc", "qv"))
    if name == "pacebig":
        data = list(range(20_000_000))
        loaded.define("big", data)
        del data
        gc.collect()
    else:
        loaded.eval("(def burst (loop [i 0 acc []] "
                    "(if (< i 3000000) (recur (+ i 1) (conj acc [i])) acc)))")
        loaded.eval("(def burst nil)")
        for _ in range(6):
            loaded.eval(run)
    totals = [0.0, 0.0]
    for rep in range(PACING_RUNS + 1):  # the first pair is the warm-up
        for k, engine in enumerate((loaded, empty)):
            start = time.perf_counter()
            got = engine.eval(run)
            seconds = time.perf_counter() - start
            if got != expected:
                print(f"pacing-problem WRONG: got {short(got)}", flush=True)
                return 0
            if rep > 0:
                totals[k] += seconds
    print(f"pacing {totals[0] / PACING_RUNS} {totals[1] / PACING_RUNS}", flush=True)
    return 0


def measure_pacing(row: PacingRow) -> tuple[float | None, float | None, str | None]:
    cmd = [sys.executable, str(Path(__file__).resolve()), "--pacing-child", row.name]
    try:
        proc = subprocess.run(  # noqa: S603
            cmd, capture_output=True, text=True, timeout=600, check=False
        )
    except subprocess.TimeoutExpired:
        return None, None, "failed: the measurement did not finish in 600 s"
    last = (proc.stdout.strip().splitlines() or [""])[-1]
    if last.startswith("pacing-problem "):
        return None, None, last[len("pacing-problem "):]
    if proc.returncode != 0 or not last.startswith("pacing "):
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return None, None, f"failed: status {proc.returncode}: {tail}"
    _, loaded, empty = last.split()
    return float(loaded), float(empty), None


def print_pacing_table(rows: list[PacingRow], notes: Notes) -> bool:
    """Prints the pacing rows; answers whether one of them was wrong."""
    headers = ["collector pacing", "quorvex", "empty engine", "ratio", "target", "status"]
    table = []
    wrong = False
    for row in rows:
        target = f"<={row.limit:g}x empty"
        loaded, empty, problem = measure_pacing(row)
        if problem:
            wrong = wrong or problem.startswith("WRONG")
            table.append([row.title, f"{problem.split(':')[0]} {notes.mark(problem)}", "-", "-",
                          target, "-"])
            continue
        ratio = loaded / empty
        table.append([row.title, fmt_time(loaded, "ms"), fmt_time(empty, "ms"), f"{ratio:.2f}x",
                      target, "met" if ratio <= row.limit else "MISSED"])
    widths = [max(len(r[i]) for r in [headers, *table]) for i in range(len(headers))]
    for r in [headers, ["-" * w for w in widths], *table]:
        print("  ".join(c.rjust(w) if i in (1, 2, 3) else c.ljust(w)
                        for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    return wrong


# ---------------------------------------------------------------------------------------------
# Long-lived engine rows
#
# A row's child process times one program on a fresh engine and on an engine that has evaluated
# many small forms first, alternating the two, and reports the medians: the ratio says how much
# the forms an engine has run and dropped still cost it.


@dataclass
class AgingRow:
    name: str
    title: str
    target_text: str
    limit: float  # aged/fresh
    note: str = ""


AGING_ROWS = [
    AgingRow("aged", "alloc loop after 1e5 evals", "<=1.2x fresh", 1.2,
             "(run 200000) of alloc.qv on an Engine.bare() that first evaluated 1e5 small forms "
             "(alternately (f 1) and a form with a string constant), against a fresh one"),
]
AGING_BY_NAME = {a.name: a for a in AGING_ROWS}
AGED_EVALS = 100_000
AGED_ALLOC_N = 200_000


def run_aging_child(name: str, reps: int) -> int:
    """Child side of an aging row: prints `aging FRESH_S AGED_S` or a problem."""
    qv, reason = load_quorvex()
    if qv is None:
        print(f"aging-problem cannot run: {reason}", flush=True)
        return 0
    program = read_program("alloc", "qv")
    call = f"(run {AGED_ALLOC_N})"
    expected = [AGED_ALLOC_N - 1, AGED_ALLOC_N, 2 * (AGED_ALLOC_N - 1)]
    fresh = qv.Engine.bare()
    fresh.eval(program)
    aged = qv.Engine.bare()
    aged.eval(program)
    aged.eval("(defn f [x] (+ x 1))")
    for i in range(AGED_EVALS // 2):
        aged.eval("(f 1)")
        aged.eval(f'(count "a string constant of form number {i}")')
    samples: dict[str, list[float]] = {"fresh": [], "aged": []}
    for _ in range(reps + 1):  # the first round warms up and checks
        for label, engine in (("fresh", fresh), ("aged", aged)):
            start = time.perf_counter()
            result = engine.eval(call)
            samples[label].append(time.perf_counter() - start)
            if not same(result, expected):
                print(f"aging-problem WRONG: got {short(result)}", flush=True)
                return 0
    fresh_s = statistics.median(samples["fresh"][1:])
    aged_s = statistics.median(samples["aged"][1:])
    print(f"aging {fresh_s} {aged_s}", flush=True)
    return 0


def print_aging_table(rows: list[AgingRow], notes: Notes, reps: int) -> bool:
    """Prints the aging rows; answers whether one of them was wrong."""
    headers = ["long-lived engine", "fresh", "aged", "aged/fresh", "target", "status"]
    table = []
    wrong = False
    for row in rows:
        cmd = [sys.executable, str(Path(__file__).resolve()), "--aging-child", row.name,
               "--reps", str(reps)]
        try:
            proc = subprocess.run(  # noqa: S603
                cmd, capture_output=True, text=True, timeout=600, check=False
            )
            last = (proc.stdout.strip().splitlines() or [""])[-1]
            if proc.returncode != 0 or not last.startswith("aging"):
                tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
                last = f"aging-problem failed: status {proc.returncode}: {tail}"
        except subprocess.TimeoutExpired:
            last = "aging-problem failed: the measurement did not finish in 600 s"
        if last.startswith("aging-problem "):
            problem = last[len("aging-problem "):]
            wrong = wrong or problem.startswith("WRONG")
            table.append([row.title, f"{problem.split(':')[0]} {notes.mark(problem)}", "-", "-",
                          row.target_text, "-"])
            continue
        _, fresh, aged = last.split()
        ratio = float(aged) / float(fresh)
        table.append([row.title, fmt_time(float(fresh), "ms"), fmt_time(float(aged), "ms"),
                      f"{ratio:.2f}x", row.target_text, "met" if ratio <= row.limit else "MISSED"])
    widths = [max(len(r[i]) for r in [headers, *table]) for i in range(len(headers))]
    for r in [headers, ["-" * w for w in widths], *table]:
        print("  ".join(c.rjust(w) if i in (1, 2, 3) else c.ljust(w)
                        for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    return wrong


# ---------------------------------------------------------------------------------------------
# Measuring


@dataclass
class Cell:
    seconds: float | None = None  # median seconds per operation
    runs: int = 0
    problem: str | None = None  # "failed: ...", "cannot run: ..." or "WRONG: ..."

    @property
    def wrong(self) -> bool:
        return bool(self.problem and self.problem.startswith("WRONG"))


def same(a: Any, b: Any) -> bool:
    """Equality that also tells True from 1 and 3.0 from 3: a wrong type is a wrong answer."""
    if type(a) is not type(b):
        return False
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    return a == b


def short(value: Any, limit: int = 70) -> str:
    text = repr(value)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def describe(exc: BaseException) -> str:
    text = f"{type(exc).__name__}: {exc}".strip()
    return " ".join(text.split())


def measure(
    setup: Callable[[], Thunk], bench: Bench, expected: Any, reps: int, budget: float
) -> Cell:
    return measure_side_by_side([setup], bench, expected, reps, budget)[0]


def measure_side_by_side(
    setups: list[Callable[[], Thunk]], bench: Bench, expected: Any, reps: int, budget: float
) -> list[Cell]:
    """Times the cells of one row in rounds, each round running every cell once in turn.

    On a shared machine the speed drifts over seconds; cells timed one after the other would
    each see a different machine, and their ratio would carry the drift. Taking turns puts the
    same drift into every column of the row.
    """
    thunks: list[Thunk | None] = []
    cells: list[Cell] = []

    def timed(thunk: Thunk) -> tuple[float, Any]:
        start = time.perf_counter_ns()
        result = thunk()
        return (time.perf_counter_ns() - start) * 1e-9, result

    wanted = []
    for setup in setups:
        thunks.append(None)
        cells.append(Cell())
        wanted.append(0)
        try:
            thunk = setup()
        except Exception as exc:  # noqa: BLE001 - every failure is the cell's note, not the run's
            cells[-1] = Cell(problem=f"failed: setup: {describe(exc)}")
            continue
        try:
            first, result = timed(thunk)  # warm-up, and the check before anything is reported
        except Exception as exc:  # noqa: BLE001
            cells[-1] = Cell(problem=f"failed: {describe(exc)}")
            continue
        if not same(result, expected):
            cells[-1] = Cell(problem=f"WRONG: got {short(result)}, expected {short(expected)}")
            continue
        # A cell that is far slower than planned still finishes: fewer repetitions, down to the
        # warm-up run alone.
        wanted[-1] = min(reps, int(budget / first)) if first > 0 else reps
        if wanted[-1] < 1:
            cells[-1] = Cell(seconds=first / bench.ops, runs=1)
        else:
            thunks[-1] = thunk

    samples: list[list[float]] = [[] for _ in setups]
    for round_ in range(max(wanted, default=0)):
        for i, thunk in enumerate(thunks):
            if thunk is None or round_ >= wanted[i]:
                continue
            try:
                seconds, result = timed(thunk)
            except Exception as exc:  # noqa: BLE001
                cells[i] = Cell(problem=f"failed on a repeated run: {describe(exc)}")
                thunks[i] = None
                continue
            if not same(result, expected):
                cells[i] = Cell(problem=f"WRONG on a repeated run: got {short(result)}")
                thunks[i] = None
                continue
            samples[i].append(seconds)
    for i, thunk in enumerate(thunks):
        if thunk is not None:
            cells[i] = Cell(seconds=statistics.median(samples[i]) / bench.ops, runs=wanted[i])
    return cells


def probe_quorvex(bench: Bench) -> str | None:
    """Runs a small instance of the row's quorvex cell in a child process.

    Answers None when it ran to completion (right or wrong: the real run decides that), or the
    reason the row cannot be run here: a crash, a hang, or the error it raised.
    """
    cmd = [sys.executable, str(Path(__file__).resolve()), "--probe", bench.name]
    try:
        proc = subprocess.run(  # noqa: S603
            cmd, capture_output=True, text=True, timeout=PROBE_TIMEOUT, check=False
        )
    except subprocess.TimeoutExpired:
        return f"failed: a small run did not finish in {PROBE_TIMEOUT:.0f} s"
    if proc.returncode < 0:
        return f"failed: a small run crashed the process ({signal_name(proc.returncode)})"
    lines = proc.stdout.strip().splitlines()
    last = lines[-1] if lines else ""
    if proc.returncode == 0 and last.startswith("probe-ok"):
        return None
    if last.startswith("probe-problem "):
        return last[len("probe-problem ") :]
    tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
    return f"failed: a small run exited with status {proc.returncode}: {tail}"


def run_probe(name: str) -> int:
    """Child side of probe_quorvex: one small, unchecked-for-speed run of one quorvex cell."""
    qv, reason = load_quorvex()
    if qv is None:
        print(f"probe-problem cannot run: {reason}", flush=True)
        return 0
    bench = BY_NAME[name]
    cell = measure(lambda: bench.setup_qv(qv, True), bench, bench.expected(True), 0, 0.0)
    # A wrong answer is left to the full-size run, whose report names the real sizes.
    ok = cell.problem is None or cell.wrong
    print("probe-ok" if ok else f"probe-problem {cell.problem}", flush=True)
    return 0


# ---------------------------------------------------------------------------------------------
# Reporting


UNIT_SCALE = {"ms": 1e3, "us": 1e6, "ns": 1e9}


def fmt_time(seconds: float, unit: str) -> str:
    value = seconds * UNIT_SCALE[unit]
    label = "µs" if unit == "us" else unit
    if value >= 100:
        return f"{value:.0f} {label}"
    if value >= 10:
        return f"{value:.1f} {label}"
    return f"{value:.2f} {label}"


def fmt_ratio(a: float | None, b: float | None) -> str:
    if a is None or b is None or b == 0:
        return "-"
    return f"{a / b:.2f}x"


class Notes:
    """Numbered footnotes, one per distinct text, so a reason shared by every row prints once."""

    def __init__(self) -> None:
        self.texts: list[str] = []

    def mark(self, text: str) -> str:
        if text not in self.texts:
            self.texts.append(text)
        return f"[{self.texts.index(text) + 1}]"


def cell_text(cell: Cell | None, unit: str, notes: Notes, missing: str, reps: int) -> str:
    if cell is None:
        return missing
    if cell.problem:
        head = "WRONG" if cell.wrong else cell.problem.split(":")[0]
        return f"{head} {notes.mark(cell.problem)}"
    text = fmt_time(cell.seconds, unit)
    # Marks a cell whose repetitions were cut because one run took longer than the budget.
    return text if cell.runs >= reps else f"{text} ({cell.runs} run)"


def print_table(rows, lua: Lua, notes: Notes, reps: int) -> None:
    lua_head = lua.label
    headers = ["benchmark", "quorvex", "CPython", lua_head, "qv/CPython", f"qv/{lua_head}",
               "target", "status"]
    table = []
    for bench, qv, py, lu in rows:
        qs = qv.seconds if qv else None
        ps = py.seconds if py else None
        ls = lu.seconds if lu else None
        verdicts = [t.judge(qs, ps, ls, lua.is_54) for t in bench.targets]
        if not bench.targets:
            status = ""
        elif qs is None:
            status = "-"
        elif len(verdicts) > 1 and any(v is False for v in verdicts) and any(v for v in verdicts):
            # Rows that answer to more than one target say which of them this run met.
            status = "; ".join(
                f"{t.text.split()[0]} {'met' if v else '?' if v is None else 'MISSED'}"
                for t, v in zip(bench.targets, verdicts))
        elif any(v is False for v in verdicts):
            status = "MISSED"
        elif all(v is True for v in verdicts):
            status = "met"
        elif any(v is True for v in verdicts):
            status = "partly met"
        else:
            status = "unknown"
        lua_missing = "n/a " + notes.mark(f"Lua: {lua.reason}") if lua.reason else "-"
        table.append([
            bench.title,
            cell_text(qv, bench.unit, notes, "-", reps),
            cell_text(py, bench.unit, notes, "-", reps),
            cell_text(lu, bench.unit, notes, lua_missing, reps),
            fmt_ratio(qs, ps) if bench.ratio_to_py else "-",
            fmt_ratio(qs, ls),
            ", ".join(t.text for t in bench.targets),
            status,
        ])
    widths = [max(len(r[i]) for r in [headers, *table]) for i in range(len(headers))]
    numeric = {1, 2, 3, 4, 5}

    def line(row):
        return "  ".join(
            c.rjust(w) if i in numeric else c.ljust(w) for i, (c, w) in enumerate(zip(row, widths))
        ).rstrip()

    print(line(headers))
    print("  ".join("-" * w for w in widths))
    for row in table:
        print(line(row))


# The per-element cost at the full size over the per-element cost at a tenth of it: 1.0 is
# linear growth. Caches and the collector's pacing move it a little either way.
GROWTH_BOUND = 1.5


def growth_samples(thunks, expected, rounds: int, batch: int):
    """Times each size of one implementation in turn, `rounds` times over, and answers the
    least time per run of each and the figure of every round, or a problem.

    The time is the thread's processor time, so the moments another process holds the
    processor do not count. `thunks` maps "small" and "full" to thunks; a small sample runs
    `batch` times back to back, so that both samples last about as long and what the machine's
    load still does (caches shared with other processes) falls on both alike. The order
    alternates from round to round. Each thunk's answer is checked first."""
    for size_key, thunk in thunks.items():
        try:
            result = thunk()
        except Exception as exc:  # noqa: BLE001 - every failure is the row's note
            return None, f"failed: {describe(exc)}"
        if not same(result, expected[size_key]):
            return None, f"WRONG: got {short(result)}"
    best = {"small": float("inf"), "full": float("inf")}
    per_round = []
    for r in range(rounds):
        order = ["small", "full"] if r % 2 == 0 else ["full", "small"]
        this_round = {}
        for size_key in order:
            thunk, count = thunks[size_key], (batch if size_key == "small" else 1)
            start = time.thread_time_ns()
            for _ in range(count):
                thunk()
            this_round[size_key] = (time.thread_time_ns() - start) * 1e-9 / count
            best[size_key] = min(best[size_key], this_round[size_key])
        per_round.append(this_round["full"] / this_round["small"] / batch)
    return (best, per_round), None


def print_growth_table(rows, qv, args) -> None:
    """Times each growth row at a tenth of its size and at its full size, interleaved, for
    quorvex and CPython, and compares the per-element costs.

    Each size is timed in processor time, in several rounds that alternate between the sizes
    (a tenth of the size in batches of ten runs, as long as one run of the full size), and the
    figure takes the least sample of each size: the machine's load only ever adds time. The
    column before the target shows how far the figures of single rounds spread."""
    rounds = max(3, 2 * args.reps - 1)
    headers = ["growth", "quorvex n/10", "quorvex n", "qv per-element n : n/10",
               "CPython per-element n : n/10", "qv single rounds", "target", "status"]
    table = []
    for bench, qv_cell, _, _ in rows:
        if not bench.growth or bench.size is None or bench.resize is None:
            continue
        small = bench.resize(bench.size // 10)
        batch = bench.size // small.size
        expected = {"small": small.expected(False), "full": bench.expected(False)}

        def figure(setup):
            try:
                thunks = {"small": setup(small), "full": setup(bench)}
            except Exception as exc:  # noqa: BLE001
                return None, f"failed: setup: {describe(exc)}"
            return growth_samples(thunks, expected, rounds, batch)

        py_samples, _ = figure(lambda b: b.setup_py(False))
        qv_samples = None
        if qv is not None and qv_cell is not None and qv_cell.seconds is not None:
            qv_samples, _ = figure(lambda b: b.setup_qv(qv, False))

        def grow(samples):
            if samples is None:
                return None
            best, _ = samples
            return best["full"] / best["small"] / batch

        qv_grow, py_grow = grow(qv_samples), grow(py_samples)
        status = "-" if qv_grow is None else ("met" if qv_grow <= GROWTH_BOUND else "MISSED")
        spread = "-"
        if qv_samples is not None:
            singles = qv_samples[1]
            spread = f"{min(singles):.2f}-{max(singles):.2f}"
        table.append([
            f"{bench.name} {small.size:,} -> {bench.size:,}",
            fmt_time(qv_samples[0]["small"], bench.unit) if qv_samples else "-",
            fmt_time(qv_samples[0]["full"], bench.unit) if qv_samples else "-",
            "-" if qv_grow is None else f"{qv_grow:.2f}",
            "-" if py_grow is None else f"{py_grow:.2f}",
            spread,
            f"<={GROWTH_BOUND}",
            status,
        ])
    if not table:
        return
    widths = [max(len(r[i]) for r in [headers, *table]) for i in range(len(headers))]
    print()
    for row in [headers, ["-" * w for w in widths], *table]:
        print("  ".join(c.rjust(w) if 0 < i < 6 else c.ljust(w)
                        for i, (c, w) in enumerate(zip(row, widths))).rstrip())


def print_header(args, qv_reason: str | None, lua: Lua) -> None:
    print("quorvex language benchmarks")
    print(f"  CPython {platform.python_version()} on {platform.machine()}, "
          f"{os.cpu_count()} cpus, {platform.system()} {platform.release()}")
    lua_text = f"{lua.label} through lupa" if lua.factory else f"none ({lua.reason})"
    if lua.factory and not lua.is_54:
        lua_text += " (not 5.4: the Lua targets are not judged)"
    print(f"  Lua: {lua_text}")
    print(f"  quorvex: {'Engine.bare()' if qv_reason is None else 'cannot run'}")
    reps = "1 repetition" if args.reps == 1 else f"median of {args.reps} repetitions"
    print(f"  {reps} after a checked warm-up run; times per run (ms) or per operation (µs, ns)")
    print()


# ---------------------------------------------------------------------------------------------
# Profiling


def run_profile(args) -> int:
    qv, reason = load_quorvex()
    if qv is None:
        print(f"cannot profile: quorvex {reason}", file=sys.stderr)
        return 2
    bench = BY_NAME[args.profile]
    if args.n is not None:
        if bench.resize is None:
            print(f"--n applies to the program rows only, not {bench.name}", file=sys.stderr)
            return 2
        bench = bench.resize(args.n)
    thunk = bench.setup_qv(qv, False)
    print(f"profiling {bench.name} in pid {os.getpid()}", file=sys.stderr)
    print(f"  perf:      perf record -g -p {os.getpid()}", file=sys.stderr)
    print(f"  callgrind: valgrind --tool=callgrind {sys.executable} {' '.join(sys.argv)}"
          " (with --iterations)", file=sys.stderr)
    if args.iterations is None:
        limit = "until interrupted" if args.seconds <= 0 else f"for {args.seconds:g} s"
        print(f"  running {limit}", file=sys.stderr)
    count = 0
    start = time.perf_counter()
    try:
        while True:
            thunk()
            count += 1
            if args.iterations is not None:
                if count >= args.iterations:
                    break
            elif 0 < args.seconds <= time.perf_counter() - start:
                break
    except KeyboardInterrupt:
        pass
    elapsed = time.perf_counter() - start
    if count:
        per = fmt_time(elapsed / count / bench.ops, bench.unit)
        print(f"{count} runs in {elapsed:.2f} s, {per} each", file=sys.stderr)
    return 0


# ---------------------------------------------------------------------------------------------
# Checking


def run_check(names: list[str], qv, qv_reason: str | None, lua: Lua) -> int:
    """Runs every cell once at its small size and compares the answers; nothing is timed."""
    failures = 0
    print("answers at small sizes (nothing timed):")
    for name in names:
        bench = BY_NAME[name]
        expected = bench.expected(True)
        cells = [("CPython", lambda b=bench: b.setup_py(True))]
        if qv is not None:
            cells.insert(0, ("quorvex", lambda b=bench: b.setup_qv(qv, True)))
        if lua.factory:
            cells.append((lua.label, lambda b=bench: b.setup_lua(lua.factory, True)))
        parts = []
        for label, setup in cells:
            cell = measure(setup, bench, expected, 0, 0.0)
            failures += cell.problem is not None
            parts.append(f"{label}: {cell.problem or 'ok'}")
        if qv is None:
            failures += 1
            parts.insert(0, f"quorvex: cannot run: {qv_reason}")
        if not lua.factory:
            parts.append(f"Lua: {lua.reason}")
        print(f"  {bench.name}")
        for part in parts:
            print(f"    {part}")
    return 1 if failures else 0


# ---------------------------------------------------------------------------------------------
# In-language rows
#
# A language form against the same algorithm written by hand in the language, both in one
# Engine.bare() of this process: the ratio is form / hand-written, and the target bounds it.


@dataclass
class PairRow:
    name: str
    title: str
    stem: str  # the program that uses the form
    hand_stem: str  # the same algorithm written by hand
    n: int
    small_n: int
    expected: Callable[[int], Any]
    limit: float
    note: str = ""

    def bench(self, stem: str) -> Bench:
        return program_bench(self.name, stem, self.title, self.n, self.small_n, self.expected)


def shapes_sum(n: int) -> int:
    return 19 * (n // 3) + (3 if n % 3 >= 1 else 0) + (6 if n % 3 == 2 else 0)


PAIR_ROWS = [
    PairRow("matchif", "match on variants x1M", "match_shapes", "match_shapes_if", 1_000_000,
            1_000, shapes_sum, 1.5,
            "the `match` row's program against variant predicates and get"),
    PairRow("letvec", "let [a b] in a loop x1M", "destructure_vec", "destructure_vec_nth",
            1_000_000, 1_000,
            lambda n: 44 * (n // 3) + (2 if n % 3 >= 1 else 0) + (12 if n % 3 == 2 else 0), 1.5,
            "against (nth p 0) and (nth p 1)"),
    PairRow("letmap", "let {:keys [x y]} in a loop x1M", "destructure_map",
            "destructure_map_get", 1_000_000, 1_000,
            lambda n: 21 * (n // 3) + (3 if n % 3 >= 1 else 0) + (7 if n % 3 == 2 else 0), 1.5,
            "against (get p :x) and (get p :y)"),
]
PAIR_BY_NAME = {r.name: r for r in PAIR_ROWS}


def print_pair_table(rows: list[PairRow], qv, qv_reason: str | None, reps: int, budget: float,
                     notes: Notes) -> bool:
    """Measures and prints the in-language rows; answers whether one of them was wrong."""
    headers = ["in the language", "form", "by hand", "form/hand", "target", "status"]
    table = []
    wrong = False
    for row in rows:
        form_bench, hand_bench = row.bench(row.stem), row.bench(row.hand_stem)
        expected = form_bench.expected(False)
        if qv is None:
            form = hand = Cell(problem=f"cannot run: {qv_reason}")
        else:
            # Both programs in one engine module, taking turns (see measure_side_by_side).
            form, hand = measure_side_by_side(
                [lambda: form_bench.setup_qv(qv, False), lambda: hand_bench.setup_qv(qv, False)],
                form_bench, expected, reps, budget)
        gc.collect()
        wrong = wrong or form.wrong or hand.wrong
        fs, hs = form.seconds, hand.seconds
        status = "-" if fs is None or hs is None else (
            "met" if fs / hs <= row.limit else "MISSED")
        table.append([row.title, cell_text(form, "ms", notes, "-", reps),
                      cell_text(hand, "ms", notes, "-", reps), fmt_ratio(fs, hs),
                      f"<={row.limit:g}x by hand", status])
    widths = [max(len(r[i]) for r in [headers, *table]) for i in range(len(headers))]
    for r in [headers, ["-" * w for w in widths], *table]:
        print("  ".join(c.rjust(w) if i in (1, 2, 3) else c.ljust(w)
                        for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    return wrong


def check_pairs(rows: list[PairRow], qv) -> int:
    """The answers of both programs of each in-language row at the small size."""
    failures = 0
    for row in rows:
        print(f"  {row.name}")
        for stem in (row.stem, row.hand_stem):
            bench = row.bench(stem)
            if qv is None:
                print(f"    {stem}: quorvex cannot run")
                failures += 1
                continue
            cell = measure(lambda b=bench: b.setup_qv(qv, True), bench, bench.expected(True), 0,
                           0.0)
            failures += cell.problem is not None
            print(f"    {stem}: {cell.problem or 'ok'}")
    return 1 if failures else 0


# ---------------------------------------------------------------------------------------------
# parse_edn against orjson.loads
#
# The documents of bench/edn_bench.py, each written as EDN for parse_edn and as JSON for
# json.loads and orjson.loads (the fastest JSON parser for Python, installed with pip when it is
# missing unless --no-install is given). The answers are checked against json.loads first; each
# time is the best of --reps rounds (at least three) in which the three parsers take turns, so
# that a change in the machine's load falls on all of them alike. Each row runs in a child
# process of its own: the same small document was seen to run at 1.1 us or at 2.1 us a call
# depending on what the process had done before (the other rows' documents, the Lua runtime),
# and not by the same factor for both parsers.


@dataclass
class EdnRow:
    name: str
    title: str
    document: str  # the name of the document in bench/edn_bench.py
    limit: float = 1.0  # parse_edn / orjson.loads


EDN_ROWS = [
    EdnRow("ednrecs", "parse_edn, 2,000 records", "records, string keys"),
    EdnRow("ednkw", "parse_edn, keyword keys", "records, keyword keys"),
    EdnRow("edn20k", "parse_edn, 20,000 records", "20k records"),
    EdnRow("ednnums", "parse_edn, numbers", "numbers"),
    EdnRow("ednstrs", "parse_edn, strings", "strings"),
    EdnRow("ednnest", "parse_edn, nested maps", "nested maps"),
    EdnRow("ednsmall", "parse_edn, a 168-byte record", "small record"),
]
EDN_BY_NAME = {r.name: r for r in EDN_ROWS}
EDN_MIN_SECONDS = 0.2


def edn_case(row: EdnRow, qv):
    """(edn_bench module, EDN text, JSON text, problem): the problem is None when parse_edn
    answers as json.loads does (keyword keys aside, which JSON has not)."""
    import json  # noqa: PLC0415

    sys.path.insert(0, str(HERE))
    try:
        import edn_bench  # noqa: PLC0415
        from edn_text import edn_text  # noqa: PLC0415
    finally:
        sys.path.remove(str(HERE))
    documents = {name: (data, kw) for name, data, kw in edn_bench.bench_documents()}
    data, keyword_keys = documents[row.document]
    edn, js = edn_text(data, keyword_keys), json.dumps(data, ensure_ascii=False)
    problem = None
    try:
        answer = qv.parse_edn(edn)
        if not keyword_keys and answer != json.loads(js):
            problem = f"WRONG: parse_edn answers differently from json.loads on {row.document}"
    except Exception as exc:  # noqa: BLE001
        problem = f"failed: {describe(exc)}"
    return edn_bench, edn, js, problem


def run_edn_child(name: str, reps: int, install: bool) -> int:
    """Child side of a parse_edn row: prints `edn BYTES QV JSON ORJSON` (seconds per call) or
    `edn-problem TEXT`."""
    import json  # noqa: PLC0415

    row = EDN_BY_NAME[name]
    qv, reason = load_quorvex()
    if qv is None:
        print(f"edn-problem cannot run: {reason}", flush=True)
        return 0
    edn_bench, edn, js, problem = edn_case(row, qv)
    if problem:
        print(f"edn-problem {problem}", flush=True)
        return 0
    orjson, reason = edn_bench.load_orjson(install)
    if orjson is None:
        print(f"edn-problem no orjson column: {reason}", flush=True)
        return 0
    times = edn_bench.best_times([(qv.parse_edn, edn), (json.loads, js), (orjson.loads, js)],
                                 max(reps, 3), EDN_MIN_SECONDS)
    print("edn %d %r %r %r" % (len(edn.encode()), *times), flush=True)
    return 0


def measure_edn(row: EdnRow, reps: int, install: bool):
    """(bytes, parse_edn, json.loads, orjson.loads seconds, problem) of one row, from a child."""
    cmd = [sys.executable, str(Path(__file__).resolve()), "--edn-child", row.name,
           "--reps", str(reps)]
    if not install:
        cmd.append("--no-install")
    try:
        proc = subprocess.run(  # noqa: S603
            cmd, capture_output=True, text=True, timeout=900, check=False
        )
    except subprocess.TimeoutExpired:
        return None, "failed: the measurement did not finish in 900 s"
    last = (proc.stdout.strip().splitlines() or [""])[-1]
    if proc.returncode != 0 or not last.startswith("edn"):
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return None, f"failed: status {proc.returncode}: {tail}"
    if last.startswith("edn-problem "):
        return None, last[len("edn-problem "):]
    _, size, qs, js_s, os_ = last.split()
    return (int(size), float(qs), float(js_s), float(os_)), None


def print_edn_table(rows: list[EdnRow], qv, qv_reason: str | None, reps: int, install: bool,
                    notes: Notes) -> bool:
    """Measures and prints the parse_edn rows; answers whether one of them was wrong."""
    headers = ["parse_edn", "bytes", "quorvex", "json.loads", "orjson.loads", "qv/orjson",
               "target", "status"]
    table = []
    wrong = False
    for row in rows:
        target = f"<={row.limit:g}x orjson"
        if qv is None:
            figures, problem = None, f"cannot run: {qv_reason}"
        else:
            figures, problem = measure_edn(row, reps, install)
        if problem:
            wrong = wrong or problem.startswith("WRONG")
            table.append([row.title, "-", f"{problem.split(':')[0]} {notes.mark(problem)}", "-",
                          "-", "-", target, "-"])
            continue
        size, qs, js_s, os_ = figures
        unit = "ms" if os_ >= 1e-3 else "us"
        table.append([row.title, f"{size:,}", fmt_time(qs, unit), fmt_time(js_s, unit),
                      fmt_time(os_, unit), fmt_ratio(qs, os_), target,
                      "met" if qs / os_ <= row.limit else "MISSED"])
    widths = [max(len(r[i]) for r in [headers, *table]) for i in range(len(headers))]
    for r in [headers, ["-" * w for w in widths], *table]:
        print("  ".join(c.rjust(w) if i in (1, 2, 3, 4, 5) else c.ljust(w)
                        for i, (c, w) in enumerate(zip(r, widths))).rstrip())
    return wrong


def check_edn(rows: list[EdnRow], qv) -> int:
    """parse_edn's answers on the documents of the parse_edn rows, nothing timed."""
    failures = 0
    for row in rows:
        if qv is None:
            print(f"  {row.name}: quorvex cannot run")
            failures += 1
            continue
        problem = edn_case(row, qv)[3]
        failures += problem is not None
        print(f"  {row.name}: {problem or 'ok'}")
    return 1 if failures else 0


# ---------------------------------------------------------------------------------------------
# Main


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--quick", action="store_true", help="one repetition per cell")
    p.add_argument("--reps", type=int, default=5, help="timed repetitions per cell (default 5)")
    p.add_argument("--only", default="", help="comma-separated row names (see --list)")
    p.add_argument("--list", action="store_true", help="list the rows and exit")
    p.add_argument("--check", action="store_true",
                   help="only compare every cell's answer at a small size, in this process")
    p.add_argument("--budget", type=float, default=30.0,
                   help="seconds one cell may take before its repetitions are cut (default 30)")
    p.add_argument("--no-probe", action="store_true",
                   help="run quorvex cells in this process without a trial run in a child")
    p.add_argument("--no-install", action="store_true",
                   help="do not pip-install lupa when it is missing (the Lua column stays empty)")
    p.add_argument("--no-quorvex", action="store_true", help="leave the quorvex column out")
    p.add_argument("--profile", metavar="NAME", choices=sorted(BY_NAME),
                   help="run one quorvex row in a loop for a profiler to attach")
    p.add_argument("--seconds", type=float, default=60.0,
                   help="with --profile: how long to loop, 0 for until interrupted (default 60)")
    p.add_argument("--iterations", type=int, help="with --profile: loop this many runs instead")
    p.add_argument("--n", type=int, help="with --profile: problem size of a program row")
    p.add_argument("--probe", choices=sorted(BY_NAME), help=argparse.SUPPRESS)
    p.add_argument("--memory-child", choices=sorted(MEMORY_BY_NAME), help=argparse.SUPPRESS)
    p.add_argument("--pacing-child", choices=sorted(PACING_BY_NAME), help=argparse.SUPPRESS)
    p.add_argument("--aging-child", choices=sorted(AGING_BY_NAME), help=argparse.SUPPRESS)
    p.add_argument("--edn-child", choices=sorted(EDN_BY_NAME), help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.quick:
        args.reps = 1
    if args.reps < 1:
        p.error("--reps must be at least 1")
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.probe:
        return run_probe(args.probe)
    if args.memory_child:
        return run_memory_child(args.memory_child)
    if args.pacing_child:
        return run_pacing_child(args.pacing_child)
    if args.aging_child:
        return run_aging_child(args.aging_child, args.reps)
    if args.edn_child:
        return run_edn_child(args.edn_child, args.reps, not args.no_install)
    if args.list:
        for b in BENCHES:
            print(f"{b.name:10} {b.title}")
        for m in MEMORY_ROWS:
            print(f"{m.name:10} {m.title} (memory)")
        for r in PAIR_ROWS:
            print(f"{r.name:10} {r.title} (against the language by hand)")
        for r in EDN_ROWS:
            print(f"{r.name:10} {r.title} (against orjson.loads)")
        for r in PACING_ROWS:
            print(f"{r.name:10} {r.title} (collector pacing)")
        for a in AGING_ROWS:
            print(f"{a.name:10} {a.title} (long-lived engine)")
        return 0
    if args.profile:
        return run_profile(args)

    names = [n.strip() for n in args.only.split(",") if n.strip()] or [
        *(b.name for b in BENCHES), *(m.name for m in MEMORY_ROWS), *(r.name for r in PAIR_ROWS),
        *(r.name for r in EDN_ROWS), *(r.name for r in PACING_ROWS),
        *(a.name for a in AGING_ROWS)]
    unknown = [n for n in names if n not in BY_NAME and n not in MEMORY_BY_NAME
               and n not in PAIR_BY_NAME and n not in EDN_BY_NAME and n not in PACING_BY_NAME
               and n not in AGING_BY_NAME]
    if unknown:
        print(f"unknown benchmark(s): {', '.join(unknown)}; see --list", file=sys.stderr)
        return 2

    if args.no_quorvex:
        qv, qv_reason = None, "left out (--no-quorvex)"
    else:
        qv, qv_reason = load_quorvex(guarded=not args.no_probe)
    lua = load_lua(install=not args.no_install)
    memory_rows = [MEMORY_BY_NAME[n] for n in names if n in MEMORY_BY_NAME]
    pair_rows = [PAIR_BY_NAME[n] for n in names if n in PAIR_BY_NAME]
    edn_rows = [EDN_BY_NAME[n] for n in names if n in EDN_BY_NAME]
    pacing_rows = [PACING_BY_NAME[n] for n in names if n in PACING_BY_NAME]
    aging_rows = [AGING_BY_NAME[n] for n in names if n in AGING_BY_NAME]
    names = [n for n in names if n in BY_NAME]
    if args.check:
        return max(run_check(names, qv, qv_reason, lua), check_pairs(pair_rows, qv),
                   check_edn(edn_rows, qv))
    print_header(args, qv_reason, lua)

    progress = sys.stderr.isatty()
    rows = []
    for name in names:
        bench = BY_NAME[name]
        if progress:
            print(f"  running {bench.title} ...", end="\r", file=sys.stderr, flush=True)
        expected = bench.expected(False)
        # The columns that run take turns (see measure_side_by_side); the others get their
        # reason.
        setups: list[Callable[[], Thunk]] = [lambda b=bench: b.setup_py(False)]
        qv_cell: Cell | None = None
        if qv is None:
            qv_cell = Cell(problem=f"cannot run: {qv_reason}")
        else:
            problem = None if args.no_probe else probe_quorvex(bench)
            if problem:
                qv_cell = Cell(problem=problem)
            else:
                setups.append(lambda b=bench: b.setup_qv(qv, False))
        if lua.factory:
            setups.append(lambda b=bench: b.setup_lua(lua.factory, False))
        cells = measure_side_by_side(setups, bench, expected, args.reps, args.budget)
        py = cells.pop(0)
        if qv_cell is None:
            qv_cell = cells.pop(0)
        lua_cell = cells.pop(0) if lua.factory else None
        rows.append((bench, qv_cell, py, lua_cell))
        gc.collect()
    if progress:
        print(" " * 60, end="\r", file=sys.stderr, flush=True)

    notes = Notes()
    if rows:
        print_table(rows, lua, notes, args.reps)
        print_growth_table(rows, qv, args)
    memory_wrong = False
    if memory_rows:
        if rows:
            print()
        memory_wrong = print_memory_table(memory_rows, notes)
    pair_wrong = False
    if pair_rows:
        if rows or memory_rows:
            print()
        pair_wrong = print_pair_table(pair_rows, qv, qv_reason, args.reps, args.budget, notes)
    if edn_rows:
        if rows or memory_rows or pair_rows:
            print()
        pair_wrong = print_edn_table(edn_rows, qv, qv_reason, args.reps,
                                     not args.no_install, notes) or pair_wrong
    if pacing_rows:
        if rows or memory_rows or pair_rows or edn_rows:
            print()
        pair_wrong = print_pacing_table(pacing_rows, notes) or pair_wrong
    if aging_rows:
        if rows or memory_rows or pair_rows or edn_rows or pacing_rows:
            print()
        memory_wrong = print_aging_table(aging_rows, notes, args.reps) or memory_wrong
    if notes.texts:
        print()
        for i, text in enumerate(notes.texts, 1):
            print(f"[{i}] {text}")
    row_notes = [(b.title, b.note) for b, *_ in rows if b.note]
    row_notes += [(m.title, m.note) for m in memory_rows if m.note]
    row_notes += [(r.title, r.note) for r in pair_rows if r.note]
    row_notes += [(r.title, r.note) for r in pacing_rows if r.note]
    row_notes += [(a.title, a.note) for a in aging_rows if a.note]
    if row_notes:
        print()
        for title, note in row_notes:
            print(f"{title}: {note}")
    wrong = any(c is not None and c.wrong for _, *cells in rows for c in cells)
    return 1 if wrong or memory_wrong or pair_wrong else 0


if __name__ == "__main__":
    sys.exit(main())
