"""Reader speed beside Python's json.loads, on the same data written as EDN and as JSON.

    python3 bench/reader_bench.py [--records N] [--rounds R] [--build-dir DIR] [--no-build]

The data is a list of records (nested maps and vectors of strings, integers, floats, booleans
and nil), generated once and written as JSON and as EDN, the EDN in two spellings: keyword keys
(the usual EDN) and string keys (the same tokens as the JSON). The C++ program
bench/reader_bench.cpp times the reader (read_all, forms dropped again); this script times
json.loads on the JSON in the same run. Both take the best of R rounds after a warm-up. The
ratio is reader time / json.loads time for the same data: below 1 the reader is faster.

Unless --no-build is given, the script configures and builds the benchmark first:
cmake -S . -B build/bench -DQUORVEX_BUILD_BENCH=ON (Release, tests and module off).
"""

import argparse
import json
import os
import random
import subprocess
import sys
import tempfile
import time

from edn_text import edn_text

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def make_data(n, seed=7):
    rng = random.Random(seed)
    words = ["alpha", "beta", "gamma", "delta", "epsilon", "zeta", "eta", "theta", "café", "naïve"]
    data = []
    for i in range(n):
        data.append({
            "id": i,
            "name": " ".join(rng.choice(words) for _ in range(3)),
            "score": round(rng.uniform(-1000, 1000), 4),
            "active": rng.random() < 0.5,
            "parent": None if i % 3 else i // 3,
            "tags": [rng.choice(words) for _ in range(rng.randint(0, 5))],
            "position": {"x": rng.randint(-10**6, 10**6), "y": rng.randint(-10**6, 10**6),
                         "z": rng.random()},
            "history": [{"at": rng.randint(0, 2**40), "delta": rng.randint(-50, 50)}
                        for _ in range(rng.randint(0, 4))],
        })
    return data


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DQUORVEX_BUILD_BENCH=ON",
                    "-DQUORVEX_BUILD_TESTS=OFF", "-DQUORVEX_BUILD_PYTHON=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "reader_bench", "-j", "3"],
                   check=True, stdout=subprocess.DEVNULL)


def run_reader(binary, path, rounds):
    out = subprocess.run([binary, path, str(rounds)], check=True, capture_output=True,
                         text=True).stdout
    return dict(kv.split("=") for kv in out.split())


def time_json(text, rounds):
    json.loads(text)  # warm-up
    best = float("inf")
    for _ in range(rounds):
        start = time.perf_counter()
        json.loads(text)
        best = min(best, time.perf_counter() - start)
    return best


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--records", type=int, default=100_000)
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build", "bench"))
    ap.add_argument("--no-build", action="store_true")
    args = ap.parse_args()

    if not args.no_build:
        build(args.build_dir)
    binary = os.path.join(args.build_dir, "bench", "reader_bench")
    if not os.path.exists(binary):
        sys.exit(f"{binary} not found: build with -DQUORVEX_BUILD_BENCH=ON or drop --no-build")

    data = make_data(args.records)
    json_text = json.dumps(data, ensure_ascii=False)
    json_bytes = len(json_text.encode())
    json_s = time_json(json_text, args.rounds)

    rows = [("json.loads (JSON)", json_bytes, json_s, None)]
    with tempfile.TemporaryDirectory() as tmp:
        for label, keyword_keys in (("reader (EDN, keyword keys)", True),
                                    ("reader (EDN, string keys)", False)):
            path = os.path.join(tmp, "data.edn")
            with open(path, "w", encoding="utf-8") as f:
                f.write(edn_text(data, keyword_keys))
            r = run_reader(binary, path, args.rounds)
            seconds = float(r["best"])
            rows.append((label, int(r["bytes"]), seconds, seconds / json_s))

    print(f"{args.records} records, best of {args.rounds} rounds each")
    print(f"{'':30} {'bytes':>12} {'ms':>9} {'MB/s':>8} {'time / json.loads':>18}")
    for label, size, seconds, ratio in rows:
        ratio_text = "" if ratio is None else f"{ratio:.2f}x"
        print(f"{label:30} {size:12,d} {seconds * 1e3:9.1f} {size / seconds / 1e6:8.1f} "
              f"{ratio_text:>18}")


if __name__ == "__main__":
    main()
