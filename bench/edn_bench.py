"""parse_edn speed, side by side with json.loads and orjson.loads on the same data and, when it is
installed, with the pure-Python edn_format package.

    python3 bench/edn_bench.py [--quick] [--no-install]

Each document is generated from one Python structure and written both as JSON and as EDN, so the
parsers do the same work: the "string keys" documents give parse_edn and json.loads equal results
(checked before timing). Every figure is the best of several rounds, in which the parsers take
turns; ratios are per document.
orjson (the fastest JSON parser for Python) is installed with pip when it is missing, unless
--no-install is given; without it that column is left out. edn_format is optional
(`pip install edn_format`); without it that column is left out.
"""

import argparse
import importlib
import json
import random
import subprocess
import sys
import time

import quorvex

from edn_text import edn_text

try:
    import edn_format
except ImportError:  # optional comparison
    edn_format = None


def load_orjson(install):
    """The orjson module, or None and the reason it is missing."""
    try:
        import orjson  # noqa: PLC0415

        return orjson, None
    except ImportError:
        pass
    if not install:
        return None, "orjson is not installed (pip install orjson)"
    print("orjson is not installed: installing it with pip for its column", file=sys.stderr)
    proc = subprocess.run(  # noqa: S603
        [sys.executable, "-m", "pip", "install", "-q", "orjson"],
        capture_output=True, text=True, timeout=600, check=False,
    )
    if proc.returncode != 0:
        tail = (proc.stderr.strip().splitlines() or ["no output"])[-1]
        return None, "pip install orjson failed: %s" % tail
    importlib.invalidate_caches()
    try:
        import orjson  # noqa: PLC0415

        return orjson, None
    except ImportError as exc:
        return None, "orjson does not import after installing: %s" % exc


def records(n, rng):
    return [
        {
            "id": i,
            "name": "user %d" % i,
            "email": "user%d@example.org" % i,
            "score": round(rng.random() * 100, 3),
            "active": i % 3 != 0,
            "manager": None if i % 5 else i // 5,
            "tags": rng.sample(["red", "green", "blue", "ops", "dev", "qa"], 3),
            "address": {"city": rng.choice(["Lyon", "Graz", "Turku"]), "zip": 10000 + i},
        }
        for i in range(n)
    ]


def numbers(n, rng):
    return [[rng.randint(-(10**9), 10**9), rng.random() * 1e6] for _ in range(n)]


def strings(n, rng):
    words = ["alpha", "beta", "gamma", "delta", "épsilon", "zeta", "ηta", "theta"]
    return [" ".join(rng.choice(words) for _ in range(8)) for _ in range(n)]


def nested(depth, width):
    node = {"leaf": [1, 2, 3]}
    for level in range(depth):
        node = {"level": level, "children": [node] * width}
    return node


def bench_documents():
    """The documents of this benchmark (and of bench/run.py's parse_edn rows), always the same:
    (name, data, keyword_keys)."""
    rng = random.Random(7)
    return [
        ("records, string keys", records(2000, rng), False),
        ("records, keyword keys", records(2000, rng), True),
        ("20k records", records(20000, rng), False),
        ("numbers", numbers(20000, rng), False),
        ("strings", strings(10000, rng), False),
        ("nested maps", nested(7, 3), False),
        ("small record", records(1, rng)[0], False),
    ]


def one_round(fn, text, min_seconds):
    count = 0
    start = time.perf_counter()
    while True:
        fn(text)
        count += 1
        elapsed = time.perf_counter() - start
        if elapsed >= min_seconds:
            return elapsed / count


def best_times(cells, rounds, min_seconds):
    """Best time per call of each (fn, text) cell. The cells take turns round by round, so that
    a change in the machine's load or in the collector's state falls on all of them alike."""
    best = [float("inf")] * len(cells)
    for _ in range(rounds):
        for i, (fn, text) in enumerate(cells):
            best[i] = min(best[i], one_round(fn, text, min_seconds))
    return best


def fmt(seconds):
    if seconds >= 1e-3:
        return "%8.2f ms" % (seconds * 1e3)
    return "%8.1f us" % (seconds * 1e6)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter rounds")
    parser.add_argument("--no-install", action="store_true",
                        help="do not pip-install orjson when it is missing")
    args = parser.parse_args()
    orjson, orjson_reason = load_orjson(not args.no_install)
    rounds, min_seconds = (3, 0.05) if args.quick else (7, 0.2)
    documents = bench_documents()

    print("python %s, quorvex %s" % (sys.version.split()[0], quorvex.__spec__.origin))
    header = "%-22s %9s %11s %11s %8s" % ("document", "bytes", "parse_edn", "json.loads", "ratio")
    if orjson is not None:
        header += " %12s %8s" % ("orjson.loads", "ratio")
    if edn_format is not None:
        header += " %12s %9s" % ("edn_format", "speed-up")
    print(header)
    worst_json = 0.0
    least_speedup = float("inf")
    orjson_ratios = {}
    for name, data, keyword_keys in documents:
        edn = edn_text(data, keyword_keys)
        js = json.dumps(data, ensure_ascii=False)
        if not keyword_keys:
            assert quorvex.parse_edn(edn) == json.loads(js), name
        cells = [(quorvex.parse_edn, edn), (json.loads, js)]
        if orjson is not None:
            if not keyword_keys:
                assert orjson.loads(js) == json.loads(js), name
            cells.append((orjson.loads, js))
        if edn_format is not None:
            cells.append((edn_format.loads, edn))
        times = best_times(cells, rounds, min_seconds)
        t_edn, t_json = times[0], times[1]
        ratio = t_edn / t_json
        worst_json = max(worst_json, ratio)
        line = "%-22s %9d %11s %11s %7.2fx" % (name, len(edn.encode()), fmt(t_edn), fmt(t_json), ratio)
        if orjson is not None:
            orjson_ratios[name] = t_edn / times[2]
            line += " %12s %7.2fx" % (fmt(times[2]), orjson_ratios[name])
        if edn_format is not None:
            t_ref = times[-1]
            speedup = t_ref / t_edn
            least_speedup = min(least_speedup, speedup)
            line += " %12s %8.0fx" % (fmt(t_ref), speedup)
        print(line)
    print()
    print("parse_edn / json.loads, worst document: %.2fx (target: at most 3x)" % worst_json)
    if orjson is not None:
        target = orjson_ratios["20k records"]
        print("parse_edn / orjson.loads, 20k records: %.2fx (target: at most 1x): %s"
              % (target, "met" if target <= 1.0 else "MISSED"))
        worst = max(orjson_ratios, key=orjson_ratios.get)
        print("parse_edn / orjson.loads, worst document (%s): %.2fx (target: at most 1x): %s"
              % (worst, orjson_ratios[worst], "met" if orjson_ratios[worst] <= 1.0 else "MISSED"))
    else:
        print("no orjson column: %s" % orjson_reason)
    if edn_format is not None:
        print("edn_format / parse_edn, least speed-up: %.0fx (target: at least 50x)" % least_speedup)
    else:
        print("edn_format is not installed: pip install edn_format to compare")


if __name__ == "__main__":
    main()
