#!/usr/bin/env python3
"""What keeping scores costs LayerCache: attention on a cache that scores by
it against plain attention over the same entries, an append that evicts
against an append into a sliding window, and the memory scoring takes.

    python bench/bench_scores.py [--quick] [--out PATH] [--kernel NAME]

It prints the tables, checks the targets and writes every number to a JSON
file (by default bench/results/bench_scores.json).

What is measured
----------------
attend   LayerCache.attend(q, out=out) of an "h2o" (and a "tova") cache of
         n entries per head (512, 2048, 4096), which adds each attend's
         weights to its scores, against a "full" cache holding the same
         entries, in the same order: 3 key/value heads of 3 queries each
         (SmolLM2's layer) and 8 of 4, d = 64, threads = 1, both copies
         (LayerCache.copy), so that their lists were allocated alike. The scoring cache got there by evictions, so
         it holds rows that evictions vacated (up to a sixteenth, which its
         attention scores and drops): it is measured at eight points of that
         cycle, eight appends apart, against a full cache rebuilt each time,
         and the ratio is given as the median and the largest of the eight.
append   LayerCache.append of the next token (from a pool of 512) on a cache
         that keeps 1,024 entries per head, d = 64, 3 and 8 heads:
         "h2o", "tova" and "knorm" (budget 1,024, recent 32; every append
         evicts one entry) against "sliding" (window 1,024; every append
         drops the oldest). Before the timing one attend scores every entry;
         the "tova" and "knorm" evictions then fall anywhere in the list
         (their scores are in random order), the "h2o" ones next to the
         recent entries (a new entry has scored nothing): the worst and the
         best case of where an eviction falls.
memory   The resident set's growth during one attend with scores and one
         compress (w = 32 queries per query head) of a cache of 3 heads of
         262,144 entries (1 MiB of weights a query), against what one row
         of weights per query head takes (9 MiB) and what a matrix of every
         query's weights would (w times that). In a child of its own.

How
---
The two sides of each comparison are timed in turn by harness.timing (one
run of each, then again), so that a change of load falls on both, in the
processor time of the thread that does all the work (threads = 1), which
other work on the machine does not add to; each figure is the minimum over
its runs, and the ratios are of minimums.
"""

import argparse
import ctypes
import os
import sys
import time
from pathlib import Path

from harness.child import run_json_child
from harness.machine import machine_info
from harness.options import add_run_options
from harness.process_memory import reset_peak, status_bytes
from harness.results import default_out, finish
from harness.tables import fmt_ratio, fmt_time, print_table
from harness.timing import Timing

DEFAULT_OUT = default_out("bench_scores")
SEED = 20261209
D = 64
LAYOUTS = ((3, 3), (8, 4))  # key/value heads, queries per head
BUDGET = 1024
RECENT = 32

ATTEND_TARGET = 1.15  # scoring attend over a plain attend, n >= 512
APPEND_TARGET = 2.0  # evicting append over a sliding window's, budget 1,024

FULL = {"min_time": 0.05, "repeat": 5, "ns": [512, 2048, 4096], "phases": 8, "memory_n": 262144}
QUICK = {"min_time": 0.02, "repeat": 3, "ns": [512, 2048], "phases": 3, "memory_n": 65536}


def attend_rows(np, LayerCache, settings):
    # One thread does all the work: its processor time, which other work
    # on the machine does not add to.
    timing = Timing(settings["min_time"], settings["repeat"])
    rng = np.random.default_rng(SEED)
    rows = []
    for heads, group in LAYOUTS:
        for n in settings["ns"]:
            tokens = rng.standard_normal((2 * n + 8 * settings["phases"], 2, heads, D), dtype=np.float32)
            q = rng.standard_normal((heads * group, D), dtype=np.float32)
            out = np.empty((heads * group, D), np.float32)
            for strategy in ("h2o", "tova"):
                scored = LayerCache(heads, D, D, strategy, budget=n, recent=RECENT, threads=1)
                scored.extend(tokens[:2 * n, 0], tokens[:2 * n, 1])
                ratios = []
                times = None
                for phase in range(settings["phases"]):
                    at = 2 * n + 8 * phase
                    scored.extend(tokens[at:at + 8, 0], tokens[at:at + 8, 1])
                    # The same entries, settled, in a full cache; the scoring
                    # cache keeps its vacated rows (only the copy settles).
                    same = scored.copy()
                    full = LayerCache(heads, D, D, "full", threads=1)
                    full.extend(np.stack([same.keys(h) for h in range(heads)], axis=1),
                                np.stack([same.values(h) for h in range(heads)], axis=1))
                    # Both timed as copies, whose lists are allocated alike
                    # (at their size, below the huge pages' 2 MiB here): an
                    # extend's lists grow and shrink by other steps, which
                    # alone moved attention by 10% either way.
                    namespace = {"scored": scored.copy(), "full": full.copy(), "q": q, "out": out}
                    times = timing.compare({
                        "scored": ("scored.attend(q, out=out)", namespace, "pass"),
                        "plain": ("full.attend(q, out=out)", namespace, "pass"),
                    })
                    ratios.append(times["scored"]["min"] / times["plain"]["min"])
                rows.append({"strategy": strategy, "heads": heads, "group": group, "n": n,
                             "ratio_median": float(np.median(ratios)), "ratio_max": max(ratios),
                             "ratios": ratios, "last_times": times})
    return rows


def append_rows(np, LayerCache, settings):
    # One thread does all the work: its processor time, which other work
    # on the machine does not add to.
    timing = Timing(settings["min_time"], settings["repeat"])
    rng = np.random.default_rng(SEED + 1)
    rows = []
    for heads, group in LAYOUTS:
        warm = rng.standard_normal((BUDGET + 64, 2, heads, D), dtype=np.float32)
        pool = [(k, v) for k, v in rng.standard_normal((512, 2, heads, D), dtype=np.float32)]
        caches = {"sliding": LayerCache(heads, D, D, "sliding", window_size=BUDGET, threads=1)}
        for strategy in ("h2o", "tova", "knorm"):
            caches[strategy] = LayerCache(heads, D, D, strategy, budget=BUDGET, recent=RECENT, threads=1)
        entries = {}
        for name, cache in caches.items():
            cache.extend(warm[:, 0], warm[:, 1])
            cache.attend(rng.standard_normal((heads * group, D), dtype=np.float32))
            namespace = {"cache": cache, "tokens": __import__("itertools").cycle(pool)}
            entries[name] = ("cache.append(*next(tokens))", namespace, "pass")
        times = timing.compare(entries)
        base = times["sliding"]["min"]
        rows.append({"heads": heads, "times": times,
                     "ratios": {name: times[name]["min"] / base for name in caches if name != "sliding"}})
    return rows


def memory_child(n):
    """Resident growth of one scored attend and one compress, in bytes."""
    import numpy as np

    from marrowvale import LayerCache

    heads, group, window = 3, 3, 32
    rng = np.random.default_rng(SEED + 2)
    cache = LayerCache(heads, D, D, "h2o", budget=n + 1, recent=0, threads=1)
    for start in range(0, n, 8192):
        block = rng.standard_normal((8192, 2, heads, D), dtype=np.float32)
        cache.extend(block[:, 0], block[:, 1])
    q = rng.standard_normal((heads * group, D), dtype=np.float32)
    queries = rng.standard_normal((heads * group, window, D), dtype=np.float32)
    # Freed memory goes back to the system first, so that what a call
    # takes shows as growth of the resident set.
    trim = ctypes.CDLL(None).malloc_trim
    grown = {}
    for name, call in (("attend", lambda: cache.attend(q)), ("compress", lambda: cache.compress(queries, n // 2))):
        trim(0)
        reset_peak()
        before = status_bytes("VmRSS")
        call()
        grown[name] = status_bytes("VmHWM") - before
    row = heads * group * n * 4
    return {"n": n, "queries": heads * group, "window": window, "row_per_query_head_bytes": row,
            "weights_matrix_bytes": row * window, "growth_bytes": grown}


def evaluate(results):
    targets = []
    for row in results["attend"]:
        targets.append({"name": f"attend {row['strategy']}, {row['heads']} heads × {row['group']}, n={row['n']}",
                        "target": f"<= {ATTEND_TARGET}×", "value": row["ratio_max"],
                        "met": row["ratio_max"] <= ATTEND_TARGET})
    for row in results["append"]:
        for name, ratio in row["ratios"].items():
            targets.append({"name": f"append {name}, {row['heads']} heads, budget {BUDGET}",
                            "target": f"<= {APPEND_TARGET}× sliding", "value": ratio, "met": ratio <= APPEND_TARGET})
    memory = results.get("memory")
    if memory:
        for name, growth in memory["growth_bytes"].items():
            targets.append({"name": f"{name} memory, n={memory['n']}", "target": "<= one row of weights per query head",
                            "value": growth, "met": growth <= memory["row_per_query_head_bytes"]})
    return targets


def report(results):
    print_table("attend with scores against plain attend over the same entries (ratio of minimums, 8 points)",
                ["strategy", "heads × queries", "n", "plain", "scored", "median", "largest"],
                [[r["strategy"], f"{r['heads']} × {r['group']}", r["n"], fmt_time(r["last_times"]["plain"]["min"]),
                  fmt_time(r["last_times"]["scored"]["min"]), fmt_ratio(r["ratio_median"]), fmt_ratio(r["ratio_max"])]
                 for r in results["attend"]])
    print()
    print_table(f"append at budget {BUDGET}, every append evicting, against a sliding window's",
                ["heads", "sliding", *[f"{name} (ratio)" for name in ("h2o", "tova", "knorm")]],
                [[r["heads"], fmt_time(r["times"]["sliding"]["min"]),
                  *[f"{fmt_time(r['times'][name]['min'])} ({fmt_ratio(r['ratios'][name])})"
                    for name in ("h2o", "tova", "knorm")]] for r in results["append"]])
    memory = results.get("memory")
    if memory:
        print(f"\nmemory, 3 heads of {memory['n']:,} entries, 9 query heads: one row of weights per query head "
              f"{memory['row_per_query_head_bytes'] / 2**20:.1f} MiB, every query's weights "
              f"{memory['weights_matrix_bytes'] / 2**20:.0f} MiB; resident growth "
              + ", ".join(f"{name} {grown / 2**20:.1f} MiB" for name, grown in memory["growth_bytes"].items()))
    print()
    for target in results["targets"]:
        print(f"{'met' if target['met'] else 'MISSED':6} {target['name']}: {target['value']:.3g} "
              f"(target {target['target']})")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_run_options(parser, DEFAULT_OUT, "n up to 2048, three points, a smaller memory case")
    parser.add_argument("--memory-child", type=int, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.memory_child:
        import json

        print(json.dumps(memory_child(args.memory_child)))
        return 0
    if args.kernel:
        os.environ["MARROWVALE_KERNEL"] = args.kernel
    started = time.perf_counter()
    import numpy as np

    from marrowvale import LayerCache, build_info

    settings = QUICK if args.quick else FULL
    results = {"settings": settings, "machine": machine_info(os.environ.get("MARROWVALE_KERNEL")),
               "build": build_info()}
    results["attend"] = attend_rows(np, LayerCache, settings)
    results["append"] = append_rows(np, LayerCache, settings)
    results["memory"] = run_json_child(Path(__file__), ["--memory-child", str(settings["memory_n"])], "memory child")
    finish(results, started, evaluate, report, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
