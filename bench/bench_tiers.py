#!/usr/bin/env python3
"""What LayerCache's storage tiers buy: attention over bfloat16 and int8
keys and values against the float32 LayerCache and against NumPy over
float32, what an append costs in each tier, and the bytes an entry takes.

    python bench/bench_tiers.py [--quick] [--out PATH] [--kernel NAME]

It prints the tables, checks the targets and writes every number to a JSON
file (by default bench/results/bench_tiers.json).

What is measured
----------------
attend   LayerCache.attend(q, out=out) of "full" caches of n entries per
         head (512, 4,096, 32,768), 32 key/value heads, one query each,
         d = 64, threads = 1, in each tier, the same appended keys and
         values; beside them NumPy over float32 arrays (n, d) per head, one
         BLAS thread: scores = K @ q / sqrt(d), an exponential of the
         shifted scores, their sum and the weighted values, head by head.
         The caches are copies (LayerCache.copy), so that their lists are
         allocated alike, at their size.
append   LayerCache.append of the next token (from a pool of 512) on a
         "sliding" cache (window 1,024, full, so every append drops one),
         32 heads, d = 64, in each tier against float32.
memory   stats()["nbytes"] of a copy of each tier's cache at n = 4,096 per
         entry and head, less the span (two int64) every entry carries:
         the key and value bytes.

How
---
The sides of each comparison are timed in turn by harness.timing (one run
of each, then again), in the processor time of the thread that does all the
work, which other work on the machine does not add to; each figure is the
minimum over its runs, and the ratios are of minimums. Memory bandwidth is
shared with whatever else runs, which processor time does not hide: the
load average at the start and the end goes into the JSON.
"""

import argparse
import math
import os
import sys
import time

from harness.machine import machine_info
from harness.options import add_run_options
from harness.results import default_out, finish
from harness.tables import fmt_ratio, fmt_time, print_table
from harness.threads import drop_openblas_pinning, set_blas_threads
from harness.timing import Timing

DEFAULT_OUT = default_out("bench_tiers")
SEED = 20261210
HEADS = 32
D = 64
TIERS = ("float32", "bfloat16", "int8")
WINDOW = 1024

# attend at the largest n over the float32 LayerCache's, and an append
# over float32's.
ATTEND_TARGETS = {"bfloat16": 1.7, "int8": 2.5}
APPEND_TARGET = 1.3

FULL = {"min_time": 0.1, "repeat": 5, "ns": [512, 4096, 32768]}
QUICK = {"min_time": 0.02, "repeat": 3, "ns": [512, 4096]}


def numpy_attend(np, keys, values, q, scale):
    """What a user would write with NumPy, head by head."""
    out = np.empty((len(keys), values[0].shape[1]), np.float32)
    for h, (k, v) in enumerate(zip(keys, values)):
        scores = k @ q[h] / scale
        weights = np.exp(scores - scores.max())
        weights /= weights.sum()
        out[h] = weights @ v
    return out


def attend_rows(np, LayerCache, settings):
    timing = Timing(settings["min_time"], settings["repeat"])
    rng = np.random.default_rng(SEED)
    rows = []
    for n in settings["ns"]:
        keys = rng.standard_normal((n, HEADS, D), dtype=np.float32)
        values = rng.standard_normal((n, HEADS, D), dtype=np.float32)
        q = rng.standard_normal((HEADS, D), dtype=np.float32)
        out = np.empty((HEADS, D), np.float32)
        namespace = {"q": q, "out": out, "np": np, "numpy_attend": numpy_attend, "scale": np.float32(math.sqrt(D)),
                     "K": [np.ascontiguousarray(keys[:, h]) for h in range(HEADS)],
                     "V": [np.ascontiguousarray(values[:, h]) for h in range(HEADS)]}
        entries = {}
        for tier in TIERS:
            built = LayerCache(HEADS, D, D, "full", dtype=tier, threads=1)
            built.extend(keys, values)
            namespace[tier] = built.copy()
            del built
            entries[tier] = (f"{tier}.attend(q, out=out)", namespace, "pass")
        entries["numpy"] = ("numpy_attend(np, K, V, q, scale)", namespace, "pass")
        times = timing.compare(entries)
        base = times["float32"]["min"]
        rows.append({"n": n, "times": times,
                     "vs_float32": {tier: base / times[tier]["min"] for tier in TIERS},
                     "vs_numpy": {tier: times["numpy"]["min"] / times[tier]["min"] for tier in TIERS}})
        del namespace, entries, keys, values
    return rows


def append_rows(np, LayerCache, settings):
    timing = Timing(settings["min_time"], settings["repeat"])
    rng = np.random.default_rng(SEED + 1)
    warm = rng.standard_normal((WINDOW + 64, 2, HEADS, D), dtype=np.float32)
    pool = [(k, v) for k, v in rng.standard_normal((512, 2, HEADS, D), dtype=np.float32)]
    entries = {}
    for tier in TIERS:
        cache = LayerCache(HEADS, D, D, "sliding", window_size=WINDOW, dtype=tier, threads=1)
        cache.extend(warm[:, 0], warm[:, 1])
        namespace = {"cache": cache, "tokens": __import__("itertools").cycle(pool)}
        entries[tier] = ("cache.append(*next(tokens))", namespace, "pass")
    times = timing.compare(entries)
    return {"times": times, "ratios": {tier: times[tier]["min"] / times["float32"]["min"] for tier in TIERS}}


def memory_rows(np, LayerCache):
    n = 4096
    rng = np.random.default_rng(SEED + 2)
    keys = rng.standard_normal((n, HEADS, D), dtype=np.float32)
    rows = {}
    for tier in TIERS:
        cache = LayerCache(HEADS, D, D, "full", dtype=tier, threads=1)
        cache.extend(keys, keys)
        held = cache.copy().stats()["nbytes"] / (n * HEADS) - 16
        rows[tier] = {"bytes_per_entry_per_head": held, "bytes_per_value": held / (2 * D)}
    return rows


def evaluate(results):
    targets = []
    largest = results["attend"][-1]
    for tier, target in ATTEND_TARGETS.items():
        value = largest["vs_float32"][tier]
        targets.append({"name": f"attend {tier} vs float32, n={largest['n']}", "target": f">= {target}x",
                        "value": value, "met": value >= target})
    for tier in ("bfloat16", "int8"):
        value = results["append"]["ratios"][tier]
        targets.append({"name": f"append {tier} vs float32, {HEADS} heads", "target": f"<= {APPEND_TARGET}x",
                        "value": value, "met": value <= APPEND_TARGET})
    return targets


def report(results):
    print_table(f"attend, {HEADS} heads × 1 query, d = {D}, one thread: time, and speed-up over float32 "
                "LayerCache / over NumPy float32",
                ["n", "numpy", *TIERS, *(f"{t} vs f32 / np" for t in TIERS)],
                [[r["n"], fmt_time(r["times"]["numpy"]["min"]), *(fmt_time(r["times"][t]["min"]) for t in TIERS),
                  *(f"{fmt_ratio(r['vs_float32'][t])} / {fmt_ratio(r['vs_numpy'][t])}" for t in TIERS)]
                 for r in results["attend"]])
    append = results["append"]
    print_table(f"append of one token, {HEADS} heads, sliding window {WINDOW}",
                ["tier", "time", "vs float32"],
                [[t, fmt_time(append["times"][t]["min"]), fmt_ratio(append["ratios"][t])] for t in TIERS])
    print_table("bytes per entry per head (key and value, d = 64), from stats()['nbytes']",
                ["tier", "bytes", "per value"],
                [[t, f"{m['bytes_per_entry_per_head']:.1f}", f"{m['bytes_per_value']:.3f}"]
                 for t, m in results["memory"].items()])
    print()
    for target in results["targets"]:
        print(f"{'met' if target['met'] else 'MISSED':6} {target['name']}: {target['value']:.3g} "
              f"(target {target['target']})")
    load = results["machine"]
    print(f"load average at start {load['loadavg_start']}, at end {load['loadavg_end']}")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_run_options(parser, DEFAULT_OUT, "n up to 4,096, fewer runs")
    args = parser.parse_args(argv)
    if args.kernel:
        os.environ["MARROWVALE_KERNEL"] = args.kernel
    # NumPy on one thread, beside LayerCache on one.
    set_blas_threads(os.environ, 1)
    if not args.keep_openblas_env:
        drop_openblas_pinning(os.environ)
    started = time.perf_counter()
    import numpy as np

    from marrowvale import LayerCache, build_info

    settings = QUICK if args.quick else FULL
    results = {"settings": settings, "machine": machine_info(os.environ.get("MARROWVALE_KERNEL")),
               "build": build_info()}
    results["memory"] = memory_rows(np, LayerCache)
    results["append"] = append_rows(np, LayerCache, settings)
    results["attend"] = attend_rows(np, LayerCache, settings)
    finish(results, started, evaluate, report, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
