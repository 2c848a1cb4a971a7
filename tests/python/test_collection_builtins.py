"""Properties of `sort` and `sort-by` over random data, and the printing builtins as another
process sees them on its standard output."""

import os
import pathlib
import random
import subprocess
import sys
import textwrap
from collections import Counter

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import quorvex
from quorvex import Engine, EvalError

MODULE_DIR = str(pathlib.Path(quorvex.__file__).resolve().parent)

ints = st.lists(st.integers(min_value=-(2**63), max_value=2**63 - 1), max_size=300)


@settings(max_examples=150, deadline=None)
@given(ints)
def test_sort_agrees_with_python_sorted(xs):
    engine = Engine()
    engine.define_fn("data", lambda: xs)
    assert engine.eval("(sort (data))") == sorted(xs)
    assert engine.eval("(sort < (data))") == sorted(xs)
    assert engine.eval("(sort > (data))") == sorted(xs, reverse=True)
    assert engine.eval("(sort (fn [a b] (if (< a b) -1 (if (> a b) 1 0))) (data))") == sorted(xs)


# Long lists of integers are sorted by their digits, not by comparisons: full-range values, a
# narrow range (most digits shared, many duplicates) and values past 32 bits.
many_ints = st.one_of(
    st.lists(st.integers(min_value=-(2**63), max_value=2**63 - 1), min_size=256, max_size=2000),
    st.lists(st.integers(-300, 300), min_size=256, max_size=2000),
    st.lists(st.integers(-(2**40), 2**40), min_size=256, max_size=2000),
)


@settings(max_examples=60, deadline=None)
@given(many_ints)
def test_sort_of_many_integers_agrees_with_python_sorted(xs):
    engine = Engine.bare()
    engine.define_fn("data", lambda: xs)
    assert engine.eval("(sort (data))") == sorted(xs)
    # One float among them sends the list through the comparison sort, in the same order.
    engine.define_fn("mixed", lambda: [x % 1000 for x in xs] + [499.5])
    assert engine.eval("(sort (mixed))") == sorted([x % 1000 for x in xs] + [499.5])


# Past 65,536 integers the sort first splits by the top bits the values differ in, then sorts
# each bucket by the rest in one or more passes: ranges whose span is a byte or less (no split),
# 16, 20 and 35 bits (one, two and three passes per bucket), across zero, the full range, all
# negative, and most values equal with a few far away (nearly every bucket empty).
@pytest.mark.parametrize(
    "lo,hi,extremes",
    [(0, 200, False), (0, 2**16 - 1, False), (0, 2**20, False), (0, 2**35, False),
     (-300, 300, False), (-(2**40), 2**40, False),
     (-(2**63), 2**63 - 1, False), (-(2**30), -1, False), (5, 5, True)],
)
def test_sort_of_a_long_list_of_integers_agrees_with_python_sorted(lo, hi, extremes):
    rng = random.Random(lo ^ hi)
    xs = [rng.randint(lo, hi) for _ in range(70_000)]
    if extremes:
        xs[100:103] = [-(2**63), 2**63 - 1, 0]
    engine = Engine.bare()
    engine.define_fn("data", lambda: xs)
    assert engine.eval("(sort (data))") == sorted(xs)


@settings(max_examples=100, deadline=None)
@given(st.lists(st.tuples(st.integers(-5, 5), st.integers(-(2**63), 2**63 - 1)), max_size=200))
def test_sort_by_is_stable(pairs):
    engine = Engine()
    engine.define_fn("data", lambda: [list(p) for p in pairs])
    expected = [list(p) for p in sorted(pairs, key=lambda p: p[0])]
    assert engine.eval("(sort-by (fn [p] (nth p 0)) (data))") == expected


# Whatever a comparator answers, the result holds each element exactly once.
ANSWERS = [-1, 0, 1, 7, -9, True, False, None, "x", [1]]


@settings(max_examples=150, deadline=None)
@given(
    st.lists(st.integers(-20, 20), max_size=120),
    st.integers(min_value=0, max_value=2**32),
    st.booleans(),
)
def test_sort_with_a_random_comparator_is_a_permutation(xs, seed, may_fail):
    rng = random.Random(seed)
    calls = {"n": 0}

    def comparator(a, b):
        calls["n"] += 1
        if may_fail and rng.random() < 0.02:
            raise ValueError("comparator gave up")
        return rng.choice(ANSWERS)

    engine = Engine()
    engine.define_fn("data", lambda: xs)
    engine.define_fn("cmp", comparator)
    try:
        result = engine.eval("(sort cmp (data))")
    except EvalError as exc:
        assert may_fail
        assert "comparator gave up" in str(exc)
        # The engine stays usable after a failed sort.
        assert engine.eval("(count (sort [3 1 2]))") == 3
        return
    assert Counter(result) == Counter(xs)


def test_a_failing_comparator_is_called_once():
    engine = Engine()
    calls = []

    def comparator(a, b):
        calls.append((a, b))
        raise ValueError("no")

    engine.define_fn("cmp", comparator)
    with pytest.raises(EvalError, match="no"):
        engine.eval("(sort cmp [5 4 3 2 1 0])")
    assert len(calls) == 1


def test_mixed_kinds_keep_their_places_in_natural_order():
    engine = Engine()
    assert engine.eval('(sort ["b" 2 "a" 1 :k 1.5])') == ["b", 2, "a", 1, quorvex.Keyword("k"), 1.5]
    assert engine.eval('(sort [3 "s" 2 1])') == [3, "s", 1, 2]


def run_child(body):
    script = "import quorvex\n" + textwrap.dedent(body)
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [MODULE_DIR, env.get("PYTHONPATH")]))
    return subprocess.run(
        [sys.executable, "-c", script], capture_output=True, env=env, timeout=60, check=False
    )


@pytest.mark.parametrize(
    "src, out",
    [
        ('(print 1 "a" nil)', b"1 a "),
        ("(println)", b"\n"),
        ('(println "x" [1] :k 2.5)', b"x <seq> :k 2.5\n"),
        ('(prn "a" :k)', b'"a" :k\n'),
        ('(prn [1 "q\\"" nil] {:a \'s})', b'[1 "q\\"" nil] {:a s}\n'),
        ('(do (print "a") (print "b") (println "c") (prn "d"))', b'abc\n"d"\n'),
    ],
)
def test_printing_builtins_write_to_standard_output(src, out):
    # A bare engine: with the prelude, these names print through the console effect instead.
    done = run_child(f"quorvex.Engine.bare().eval({src!r})")
    assert done.returncode == 0, done.stderr
    assert done.stdout == out


# Keys of every kind that meet in maps: integers, floats (NaN, both zeros, one equal to an
# integer), strings, keywords, booleans, nil and vectors (canonical keys).
mixed_keys = st.one_of(
    st.integers(-3, 3),
    st.sampled_from([0.0, -0.0, float("nan"), 1.0, 2.5]),
    st.sampled_from(["a", "b", ""]),
    st.sampled_from([quorvex.Keyword("k"), quorvex.Keyword("j")]),
    st.booleans(),
    st.none(),
    st.lists(st.integers(0, 2), max_size=2),
)

# What frequencies and group-by were written as, reducing from the same empty map `m0`.
FREQUENCIES_BY_REDUCE = "(reduce (fn [acc x] (assoc acc x (+ 1 (get acc x 0)))) m0 xs)"
GROUP_BY_BY_REDUCE = (
    "(reduce (fn [acc x] (let [k (key-of x)] (assoc acc k (conj (get acc k []) x)))) m0 xs)"
)


@settings(max_examples=200, deadline=None)
@given(st.lists(mixed_keys, max_size=80))
def test_frequencies_and_group_by_answer_what_their_reductions_answered(xs):
    engine = Engine()
    engine.define_fn("data", lambda: xs)
    engine.eval(
        "(def m0 {})"
        "(def xs (concat (data) [1/2 2/4 1/3]))"
        "(defn key-of [x] (if (int? x) (mod x 2) (if (float? x) x [x])))"
    )
    # Printed, so that the order of the entries counts too. (A vector holding NaN would be a new
    # key object at every use, printed in an order of its own; key-of leaves floats bare.)
    for built, reduced in [
        ("(__frequencies m0 xs)", FREQUENCIES_BY_REDUCE),
        ("(__group-by m0 key-of xs)", GROUP_BY_BY_REDUCE),
    ]:
        assert engine.eval(f"(pr-str {built})") == engine.eval(f"(pr-str {reduced})")


# Values that are equal across kinds (1 and 1.0, 1/2 and 0.5, a list and a vector, [1] and
# [1.0]), integers next to floats that round to them, NaN and both zeros, and values equal only
# to themselves.
set_values = st.one_of(
    st.integers(-3, 3),
    st.sampled_from([2**53, 2**53 + 1, -(2**63), 2**63 - 1]),
    st.sampled_from([0.0, -0.0, float("nan"), 1.0, 0.5, -1.5, 2.0**53, float("inf")]),
    st.sampled_from(["a", "b", ""]),
    st.sampled_from([quorvex.Keyword("k"), quorvex.Keyword("j")]),
    st.booleans(),
    st.none(),
    st.lists(st.sampled_from([1, 1.0, 2]), max_size=2),
)
ratio_parts = st.lists(st.tuples(st.integers(-4, 4), st.integers(2, 4)), max_size=4)


@settings(max_examples=300, deadline=None)
@given(st.lists(set_values, max_size=30), ratio_parts, st.lists(set_values, max_size=30),
       ratio_parts)
def test_set_membership_answers_what_a_scan_by_equality_answers(members, member_ratios,
                                                                 probes, probe_ratios):
    engine = Engine()
    engine.define_fn("members", lambda: members)
    engine.define_fn("probes", lambda: probes)
    engine.define_fn("member-ratios", lambda: [list(p) for p in member_ratios])
    engine.define_fn("probe-ratios", lambda: [list(p) for p in probe_ratios])
    answers = engine.eval(
        """
        (let [ratio (fn [p] (/ (nth p 0) (nth p 1)))
              s (into (set (members)) (map ratio (member-ratios)))
              qs (concat (members) (probes) (map ratio (probe-ratios)) (map ratio (member-ratios))
                         (map (fn [x] (if (vector? x) (apply list x) x)) (members)))]
          (vec (map (fn [q]
                      [(contains? s q)
                       (reduce (fn [found e] (or found (= e q))) false s)
                       (= (get s q :absent) :absent)])
                    qs)))
        """
    )
    for in_set, by_scan, absent in answers:
        assert in_set == by_scan
        assert absent == (not by_scan)


# What distinct was written as: a loop over (vec coll) keeping each element that `contains?` does
# not find in the set of the elements kept before.
DISTINCT_BY_LOOP = """
(loop [seen #{} result [] remaining (vec xs)]
  (if (empty? remaining)
    result
    (let [x (first remaining)]
      (if (contains? seen x)
        (recur seen result (vec (rest remaining)))
        (recur (conj seen x) (conj result x) (vec (rest remaining)))))))
"""


@settings(max_examples=300, deadline=None)
@given(st.lists(set_values, max_size=40), ratio_parts, st.booleans())
def test_distinct_keeps_what_its_loop_kept(values, ratios, as_list):
    engine = Engine()
    engine.define_fn("data", lambda: values)
    engine.define_fn("ratios", lambda: [list(p) for p in ratios])
    # Collections equal across kinds: each vector also comes as a list.
    engine.eval(
        "(def xs (concat (data) (map (fn [p] (/ (nth p 0) (nth p 1))) (ratios))"
        "                (map (fn [x] (if (vector? x) (apply list x) x)) (data))))"
    )
    if as_list:
        engine.eval("(def xs (apply list xs))")
    # Printed, so that which of two equal elements was kept (1 or 1.0, a list or a vector) counts.
    assert engine.eval("(pr-str (distinct xs))") == engine.eval(f"(pr-str {DISTINCT_BY_LOOP})")


@pytest.mark.parametrize(
    "coll", ["nil", "'(3 1 3.0 [1] (1))", "(range 5)", '"abcab"', "#{1 2.0 2}", "{:a 1 :b 1}", "7"]
)
def test_distinct_takes_and_refuses_what_its_loop_did(coll):
    engine = Engine()
    engine.eval(f"(def xs {coll})")

    def outcome(src):
        try:
            return engine.eval(f"(pr-str {src})")
        except EvalError as e:
            return ("error", str(e))

    assert outcome("(distinct xs)") == outcome(DISTINCT_BY_LOOP)
