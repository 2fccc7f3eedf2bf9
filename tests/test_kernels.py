"""Every kernel set gives the bits of the scalar set and of a float32 model.

The extension chooses its kernels once, at import, and MARROWVALE_KERNEL
forces a set by name, so each set runs in a child interpreter of its own.
The parent builds the cases (key and value lengths 0 to 70, random data with
NaN, infinities, -0.0 and subnormals), a child feeds them through
`PyKVCache` and hands back the bit pattern of every output component, and
the parent compares them with the scalar set's and with the float32 model of
tests/reference.py, written in numpy float32 from the definition.

"full" caches reach the scores of several rows at once, the normaliser sum
and the weighted sum of the values; "merge" caches add the single dot
product (similarities, squared norms) and the blend of merged entries.

A second group of caches aims at the weighted sum of the values: every value
length 0 to 70 over more entries than the vector sets take in one run of
rows, weights that are subnormal or exactly zero beside values that are
infinite, NaN, -0.0 or subnormal, and two caches past the size from which
the kernels prefetch. Their keys and queries are small integers, so every
score is exact and a kernel set that rounded the value step differently
(say, by fusing its products into the sums) could not hide behind the
scores.

Every component must match bit for bit, -0.0 and +0.0 apart; any NaN matches
any NaN, because which NaN comes out (sign, payload) depends on the order in
which the compiler hands the operands of one addition to the processor, not
on the order of the sums.
"""

import functools
import json
import os
import platform
import subprocess
import sys

import numpy as np
import pytest

from reference import RefCache, attention, eight_lane_sum, expf, merge_pass
from reference import unrolled_dot as dot

F32 = np.float32
KERNEL_SETS = ("scalar", "sse2", "avx2", "avx512")
LENGTHS = range(71)


def model_weights(keys, q, d_k):
    """The softmax weights of the model's attention, for the coverage checks."""
    scores = dot(q, np.array(keys, F32).reshape(len(keys), d_k)) / np.sqrt(F32(d_k))
    finite = scores[~np.isnan(scores)]
    top = finite.max() if finite.size else F32(-np.inf)
    exps = np.array([expf(s - top) for s in scores], F32)
    return exps / eight_lane_sum(exps)


def comparable(items):
    """Bit patterns, with every NaN as the same marker."""
    return ["nan" if (p & 0x7F800000) == 0x7F800000 and p & 0x007FFFFF else p for p in items]


def model_run(case):
    """The held entry count and the outputs of every query for one case."""
    d_k, d_v = case["d_k"], case["d_v"]
    if case["strategy"] == "hybrid":
        cache = RefCache(d_k, d_v, "hybrid", static_k=case["static_k"], threshold=case["threshold"],
                         merge_every=case["merge_every"])
        with np.errstate(all="ignore"):
            for k, v in case["entries"]:
                cache.append(from_patterns(k), from_patterns(v))
            outputs = [cache.attend(from_patterns(q)) for q in case["queries"]]
        return {"len": cache.current_len(), "outputs": [comparable(o.view(np.uint32).tolist()) for o in outputs]}
    threshold = F32(case["threshold"])
    keys, values = [], []
    with np.errstate(all="ignore"):
        for position, (k, v) in enumerate(case["entries"]):
            keys.append(from_patterns(k))
            values.append(from_patterns(v))
            if case["strategy"] == "merge" and position != 0 and position % case["merge_every"] == 0:
                keys, values, _ = merge_pass(keys, values, threshold)
        outputs = [attention(keys, values, from_patterns(q), d_k, d_v) for q in case["queries"]]
    return {"len": len(keys), "outputs": [comparable(o.view(np.uint32).tolist()) for o in outputs]}


# ---------------------------------------------------------------------------
# Cases
# ---------------------------------------------------------------------------

# Signed zeros, subnormals, and tiny normals whose products are subnormal or
# underflow to zero.
TINY = np.array([-0.0, 0.0, 1e-45, -1e-45, 1.1754942e-38, -5e-39, 3e-20, -2e-23], F32)
# NaN, infinities, and values whose products or sums overflow.
HUGE = np.array([np.nan, np.inf, -np.inf, 3e38, -1e37], F32)
SPECIALS = np.concatenate([TINY, HUGE])


def make(rng, count, wild, odd_share=0.08):
    """count floats in [-1, 1] with tiny ones sprinkled in; `wild` adds any
    special value, NaN and infinities included, to about `odd_share` of them."""
    out = rng.uniform(-1.0, 1.0, count).astype(F32)
    tiny = rng.random(count) < 0.05
    out[tiny] = TINY[rng.integers(0, len(TINY), count)][tiny]
    if wild:
        odd = rng.random(count) < odd_share
        out[odd] = SPECIALS[rng.integers(0, len(SPECIALS), count)][odd]
    return out


def patterns(array):
    return array.view(np.uint32).tolist()


def from_patterns(items):
    return np.array(items, np.uint32).view(F32)


@np.errstate(all="ignore")
def build_cases():
    rng = np.random.default_rng(20240611)
    cases = []
    for d_k in LENGTHS:
        # Every value length also appears once, paired with another key length.
        d_v = (d_k * 29 + 3) % len(LENGTHS)
        for strategy in ("full", "merge"):
            # A NaN or infinity in any key makes every output NaN, so keys
            # are wild in fewer cases than values.
            wild_keys, wild_values = rng.random() < 0.15, rng.random() < 0.3
            # Up to 40 entries: several passes of four or eight rows, the
            # rows left after them, and now and then an empty cache.
            count = int(rng.integers(0, 41)) if d_k % 9 else 0
            keys = [make(rng, d_k, wild_keys) for _ in range(count)]
            if strategy == "merge" and d_k % 2:
                # Keys that drift slowly: neighbours are nearly parallel.
                for i in range(1, count):
                    keys[i] = (keys[i - 1] + make(rng, d_k, wild_keys) * F32(0.05)).astype(F32)
            values = [make(rng, d_v, wild_values) for _ in range(count)]
            # The zero query scores every finite key 0, weighting the values
            # evenly; the sharper one weights them unevenly and now and then
            # holds one special value.
            sharp = make(rng, d_k, False) * F32(8)
            if d_k and rng.random() < 0.3:
                sharp[rng.integers(0, d_k)] = rng.choice(SPECIALS)
            queries = [np.zeros(d_k, F32), make(rng, d_k, False), sharp]
            cases.append(
                {
                    "d_k": d_k,
                    "d_v": d_v,
                    "strategy": strategy,
                    "threshold": float(rng.choice([0.0, 0.9, -2.0])),
                    "merge_every": int(rng.integers(1, 6)),
                    "entries": [[patterns(k), patterns(v)] for k, v in zip(keys, values)],
                    "queries": [patterns(q) for q in queries],
                }
            )
    return cases


def run_length(width):
    """The most rows the narrowest vector set (four floats a register, blocks
    of 32 columns) takes in one run when a row is wider than one block."""
    return max(8, 4096 // width) if width > 32 else 0


def full_case(d_k, d_v, keys, values, queries):
    return {
        "d_k": d_k,
        "d_v": d_v,
        "strategy": "full",
        "threshold": 0.9,
        "merge_every": 4,
        "entries": [[patterns(k), patterns(v)] for k, v in zip(keys, values)],
        "queries": [patterns(q) for q in queries],
    }


def small_integers(rng, low, high, count):
    return rng.integers(low, high + 1, count).astype(F32)


@np.errstate(all="ignore")
def build_weighted_cases():
    rng = np.random.default_rng(20240612)
    cases = []
    for d_v in LENGTHS:
        # A few more entries than one run, so that every run boundary of
        # every set is crossed at least once.
        count = run_length(d_v) + int(rng.integers(5, 30)) if d_v > 32 else int(rng.integers(20, 70))
        wild = rng.random() < 0.4
        values = [make(rng, d_v, wild, odd_share=0.01) for _ in range(count)]
        if d_v % 3 == 0:
            # One key component over 0 ... 115 below the largest: the
            # weights run from 1 down through the subnormals (differences
            # of 88 to 103) to exactly zero. Doubling or halving the query
            # shifts the share of each.
            d_k = 1
            keys = [small_integers(rng, -115, 0, 1) for _ in range(count)]
            queries = [np.array([q], F32) for q in (1.0, 2.0, 0.5)]
        else:
            # Scores of -12 ... 12 in steps of 0.5; the zero query weights
            # every entry 1 / count, rounded.
            d_k = 4
            keys = [small_integers(rng, -3, 3, d_k) for _ in range(count)]
            queries = [np.zeros(d_k, F32), small_integers(rng, -2, 2, d_k), small_integers(rng, -2, 2, d_k)]
        cases.append(full_case(d_k, d_v, keys, values, queries))
    # Keys and values both past the size from which the kernels ask for rows
    # ahead of use (512 KiB): 70 columns take two blocks of the AVX2 set and
    # one of the AVX-512 set, 64 columns one block of either.
    for d_k, d_v, count in ((67, 70, 2000), (3, 64, 2100)):
        keys = [small_integers(rng, -1, 1, d_k) for _ in range(count)]
        values = [make(rng, d_v, True, odd_share=0.001) for _ in range(count)]
        queries = [small_integers(rng, -1, 1, d_k), small_integers(rng, -1, 1, d_k)]
        cases.append(full_case(d_k, d_v, keys, values, queries))
    return cases


@np.errstate(all="ignore")
def build_long_merge_cases():
    """Passes over more entries than the merging pass takes in one block of
    similarities (64), with runs of near-parallel keys between unrelated
    ones, so that merged and unmerged pairs fall on both sides of every
    block boundary, from the start of the cache and after a hybrid's
    protected entries."""
    rng = np.random.default_rng(20240613)
    cases = []
    for d_k, count, strategy, static_k in (
        (1, 150, "merge", 0), (7, 200, "merge", 0), (8, 131, "hybrid", 5), (64, 300, "merge", 0),
        (67, 260, "hybrid", 64), (16, 400, "hybrid", 1), (3, 129, "merge", 0),
    ):
        keys = []
        for _ in range(count):
            if keys and rng.random() < 0.7:
                keys.append((keys[-1] + make(rng, d_k, False) * F32(0.02)).astype(F32))
            else:
                keys.append(make(rng, d_k, False))
        values = [make(rng, 5, False) for _ in range(count)]
        queries = [make(rng, d_k, False), np.zeros(d_k, F32)]
        cases.append(
            {
                "d_k": d_k,
                "d_v": 5,
                "strategy": strategy,
                "static_k": static_k,
                "threshold": 0.9,
                # One pass over nearly every entry, then one over what it left.
                "merge_every": count - 20,
                "entries": [[patterns(k), patterns(v)] for k, v in zip(keys, values)],
                "queries": [patterns(q) for q in queries],
            }
        )
    return cases


CASES = build_cases()
WEIGHTED_CASES = build_weighted_cases()
LONG_MERGE_CASES = build_long_merge_cases()
GROUPS = {"mixed": CASES, "weighted": WEIGHTED_CASES, "long merges": LONG_MERGE_CASES}


# ---------------------------------------------------------------------------
# Running a kernel set
# ---------------------------------------------------------------------------

CHILD = r"""
import json, struct, sys
from _marrowvale import PyKVCache

def floats(items):
    return list(struct.unpack(f"<{len(items)}f", struct.pack(f"<{len(items)}I", *items)))

def patterns(items):
    return list(struct.unpack(f"<{len(items)}I", struct.pack(f"<{len(items)}f", *items)))

results = []
for case in json.load(sys.stdin):
    cache = PyKVCache(d_k=case["d_k"], d_v=case["d_v"], strategy=case["strategy"],
                      threshold=case["threshold"], merge_every=case["merge_every"],
                      static_k=case.get("static_k", 32))
    for k, v in case["entries"]:
        cache.append(floats(k), floats(v))
    outputs = [patterns(cache.attend(floats(q))) for q in case["queries"]]
    results.append({"len": cache.current_len(), "outputs": outputs})
json.dump(results, sys.stdout)
"""


def run_child(kernel_set, source, stdin=""):
    env = dict(os.environ, MARROWVALE_KERNEL=kernel_set)
    return subprocess.run(
        [sys.executable, "-c", source], input=stdin, env=env, capture_output=True, text=True, timeout=300
    )


@functools.cache
def results_of(kernel_set, group):
    """The child's results for every case of the group, or why the set cannot
    run here."""
    done = run_child(kernel_set, CHILD, json.dumps(GROUPS[group]))
    if done.returncode != 0:
        if "not supported" in done.stderr:
            return f"kernel set {kernel_set!r} is not supported by this processor"
        if "unknown kernel set" in done.stderr and platform.machine().lower() not in ("x86_64", "amd64"):
            return f"kernel set {kernel_set!r} is not built on {platform.machine()}"
        raise AssertionError(f"the child for {kernel_set!r} failed:\n{done.stderr}")
    results = json.loads(done.stdout)
    for result in results:
        result["outputs"] = [comparable(o) for o in result["outputs"]]
    return results


def results_or_skip(kernel_set, group):
    results = results_of(kernel_set, group)
    if isinstance(results, str):
        pytest.skip(results)
    return results


def mismatches(group, got, expected):
    cases = GROUPS[group]
    assert len(got) == len(expected) == len(cases)
    found = []
    for case, g, e in zip(cases, got, expected):
        where = f"{case['strategy']} d_k={case['d_k']} d_v={case['d_v']} entries={len(case['entries'])}"
        if g["len"] != e["len"]:
            found.append(f"{where}: {g['len']} entries held, expected {e['len']}")
        for index, (go, eo) in enumerate(zip(g["outputs"], e["outputs"])):
            if go != eo:
                first = next(j for j, (a, b) in enumerate(zip(go, eo)) if a != b)
                found.append(f"{where} query {index} component {first}: {go[first]} != {eo[first]}")
    return found


# ---------------------------------------------------------------------------
# Tests
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("group", GROUPS)
@pytest.mark.parametrize("kernel_set", KERNEL_SETS[1:])
def test_vector_kernel_set_gives_the_scalar_bits(kernel_set, group):
    expected = results_or_skip("scalar", group)
    got = results_or_skip(kernel_set, group)
    assert mismatches(group, got, expected) == []


@functools.cache
def model_results(group):
    return [model_run(case) for case in GROUPS[group]]


@pytest.mark.parametrize("group", GROUPS)
@pytest.mark.parametrize("kernel_set", KERNEL_SETS)
def test_kernel_set_gives_the_float32_model_bits(kernel_set, group):
    got = results_or_skip(kernel_set, group)
    assert mismatches(group, got, model_results(group)) == []


def test_long_merge_cases_merge_around_block_boundaries():
    # Each pass must merge some pairs and keep others on both sides of the
    # 64-row blocks, or the cases would not test the blocks.
    for case, model in zip(LONG_MERGE_CASES, model_results("long merges")):
        merged = len(case["entries"]) - model["len"]
        assert 0.15 * len(case["entries"]) < merged < 0.45 * len(case["entries"]), (case["d_k"], merged)


def test_cases_reach_merges_and_ordinary_numbers():
    # Comparisons in which every output is NaN, or in which nothing merges,
    # would say little about the sums and blends.
    model = model_results("mixed")
    merged = sum(len(c["entries"]) - m["len"] for c, m in zip(CASES, model) if c["strategy"] == "merge")
    components = [x for m in model for output in m["outputs"] for x in output]
    ordinary = [x for x in components if x != "nan" and x & 0x7FFFFFFF not in (0, 0x7F800000)]
    assert merged >= 200
    assert len(ordinary) >= 0.6 * len(components)


@np.errstate(all="ignore")
def test_weighted_cases_reach_awkward_weights_and_products():
    # The value step is only tested where the cases take it: weights that are
    # subnormal or exactly zero, a zero weight on an infinite value (a NaN
    # product), products that are subnormal or -0.0, and enough ordinary
    # outputs that rounding differences would show.
    smallest_normal = np.finfo(F32).tiny
    found = dict.fromkeys(
        ("subnormal weight", "zero weight", "zero weight on infinity", "subnormal product", "-0.0 product"), 0
    )
    for case in WEIGHTED_CASES:
        keys = [from_patterns(k) for k, _ in case["entries"]]
        values = np.array([from_patterns(v) for _, v in case["entries"]], F32).reshape(len(keys), case["d_v"])
        for q in case["queries"]:
            query = from_patterns(q)
            key_rows = np.array(keys, F32).reshape(len(keys), case["d_k"])
            exact = key_rows.astype(np.float64) @ query.astype(np.float64)
            assert np.array_equal(dot(query, key_rows), exact), "the dot products must be exact"
            weights = model_weights(keys, query, case["d_k"])
            products = values * weights[:, None]
            found["subnormal weight"] += np.count_nonzero((weights > 0) & (weights < smallest_normal))
            found["zero weight"] += np.count_nonzero(weights == 0)
            found["zero weight on infinity"] += np.count_nonzero(np.isinf(values) & (weights == 0)[:, None])
            found["subnormal product"] += np.count_nonzero((products != 0) & (np.abs(products) < smallest_normal))
            found["-0.0 product"] += np.count_nonzero((products == 0) & np.signbit(products))
    assert min(found.values()) >= 10, found
    components = [x for m in model_results("weighted") for output in m["outputs"] for x in output]
    ordinary = [x for x in components if x != "nan" and x & 0x7FFFFFFF not in (0, 0x7F800000)]
    assert len(ordinary) >= 0.6 * len(components)


def test_model_tells_eight_lanes_from_a_plain_sum():
    # 1 + 2^-24 + 2^-24: the plain sum rounds each half away, the lanes keep
    # them apart until the pair step.
    terms = np.array([1.0, 2.0**-24, 0, 0, 0, 2.0**-24, 0, 0], F32)
    plain = F32(0)
    for term in terms:
        plain = plain + term
    assert plain == F32(1.0)
    assert eight_lane_sum(terms) == F32(1.0000001)
    assert dot(terms, np.ones(8, F32)) == F32(1.0000001)


def test_an_unknown_kernel_set_fails_the_import():
    done = run_child("no-such-set", "import _marrowvale")
    assert done.returncode != 0
    assert "ImportError: unknown kernel set 'no-such-set'" in done.stderr
