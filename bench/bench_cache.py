#!/usr/bin/env python3
"""Speed of _marrowvale.PyKVCache next to a plain NumPy cache and the memory floor.

Run it with the Python into which the extension is installed:

    python bench/bench_cache.py [--quick] [--out PATH] [--kernel NAME]

It prints a table and writes every number to a JSON file (by default
bench/results/bench_cache.json). Times are seconds per call, the minimum and
the median over several runs, each run long enough to swamp the timer
(timeit with a loop count chosen per measurement). They are the processor
time of the calling thread (time.thread_time), not the wall clock: on a
machine shared with other work a wall-clock run is often stretched by
waiting for a core, which says nothing about the code. (NumPy with its
default threads spreads the work over threads and is timed by the wall
clock.) Ratios and targets use the minimum, and the things that are compared
are timed in alternation (one run of each in turn), so that a change of
load on the machine falls on both sides alike.

This process runs NumPy on a single thread: the thread-count variables of
the BLAS libraries are set to 1 before NumPy is imported (marrowvale starts
no threads, so it does not care). NumPy with its default threads runs in a
child process. OpenBLAS on this kind of machine is often pinned to an older
core type by OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE, which slows NumPy; both
are dropped for the NumPy runs unless --keep-openblas-env is given, and the
BLAS kernel actually used is reported when threadpoolctl is installed.
Results of both caches are checked against a float64 reference, so a
miscomputing kernel would not go unnoticed.

What is measured
----------------
append   One `append(k, v)` on a "full" cache of d_k = d_v = 64 whose buffers
         have already grown (the cache is filled with 2048 entries once and
         cleared before each run of at most 2048 appends, so the rows stay in
         the processor's caches), so the figure is the call, the conversion and
         the store, not the growth of the buffers. Inputs: lists of 64 floats, tuples of 64
         floats, lists of 64 ints and NumPy float32 arrays; the same objects
         appended to the NumPy cache.

         Baseline: a bare method call that only reads the same two lists.
         Nothing in the standard library is that: list equality, `sum`,
         `math.fsum`, `math.sumprod` and `array.array('f', k)` all do more per
         element than an append must (iterator protocol, arithmetic, rich
         comparison, format parsing) and cost more than the append itself, so
         they would make any append look good. The script therefore compiles,
         with the C compiler Python was built with, a tiny extension type whose
         one method `read(k, v)` walks both lists by index, reads every float
         and stores it as a 32-bit float into a buffer: the least any append
         of two lists can do. If no compiler is available it falls back to
         list equality `k == k_twin` (two lists of equal floats that are
         distinct objects, so that every value is compared) and says so; the
         standard-library calls are listed for comparison either way, with
         two calls that read nothing: a method call without arguments and an
         append to a cache of d_k = d_v = 0.

attend   One `attend(q)` on a "full" cache of n entries, for d_k = d_v = 64
         and 128. `q` is a list of Python floats, the method's natural input.
         The NumPy cache (preallocated float32 arrays; the softmax of
         `K @ q / sqrt(d_k)` times `V`, with `q` a float32 array) does the same
         work. Speedups are NumPy's time over marrowvale's.

         Keys and values read per attend are n * (d_k + d_v) * 4 bytes; that,
         divided by the time, is set against the single-core read bandwidth
         measured here on one float32 array of the same size (best of
         `a.sum()`, `a.max()` and a single-threaded BLAS dot product of its
         two halves, each reading every byte once). Reading the same buffer
         over and over is what repeated attends do too, so sizes that fit
         run from the processor's caches; below a few hundred kilobytes
         NumPy's own call overhead makes that reference too low to mean much.
         The share of the read bandwidth from main memory (the same methods
         on an array of several hundred megabytes) is shown beside it; both
         are checked against the target for n of 32768 and more.

strategies  Cost per append of every strategy with its default parameters,
         on a stream of different 64-float lists. Sliding and static windows
         reach a fixed size. Merging depends on the keys: with random keys
         nothing merges and the cache only grows, so those rows start from 512
         held entries and append a quarter as many (held sizes are shown);
         with near-parallel keys merges keep the cache small. Then the scaling
         rows: a sliding window and static windows of 10,000 and 100,000
         entries (a static window should cost O(min(static_k, recent_k)) per
         append, not O(n)), and single merging passes over n entries with
         nothing merging and with every pair merging, which should cost
         O(n * (d_k + d_v)); the exponent of n is fitted from the smallest
         and the largest pass (1 is linear, 2 quadratic; the largest passes
         no longer fit the processor's caches, which lifts it a little).
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import time

from cache_bench.append_case import bench_append
from cache_bench.attend_case import bench_attend, bench_attend_fixed
from cache_bench.bandwidth import bench_memory_bandwidth
from cache_bench.baseline_reader import build_baseline_reader
from cache_bench.merge_case import bench_merge_pass, bench_merge_pass_in_cache
from cache_bench.numpy_threads_child import numpy_child, run_numpy_child
from cache_bench.report import report
from cache_bench.settings import FULL, QUICK
from cache_bench.strategy_case import bench_strategies
from cache_bench.targets import evaluate
from harness.machine import blas_info, machine_info
from harness.options import add_run_options
from harness.results import default_out, finish
from harness.threads import clear_blas_threads, drop_openblas_pinning, set_blas_threads
from harness.timing import Timing

DEFAULT_OUT = default_out("bench_cache")


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_run_options(parser, DEFAULT_OUT, "a short run with fewer sizes and repeats")
    parser.add_argument("--numpy-child", metavar="CONFIG", help=argparse.SUPPRESS)
    return parser.parse_args(argv)


def set_environment(args):
    """Fixes this process's BLAS to one thread and returns the environment
    of the child that runs NumPy with its default threads. The environment
    has to be right before NumPy loads its BLAS library."""
    if not args.keep_openblas_env:
        drop_openblas_pinning(os.environ)
    child_env = dict(os.environ)
    clear_blas_threads(child_env)
    set_blas_threads(os.environ, 1)
    if args.kernel:
        os.environ["MARROWVALE_KERNEL"] = args.kernel
    return child_env


def measure(np, PyKVCache, cfg, results, child_env):
    """Runs every case into results, saying on standard error what runs."""
    timing = Timing(cfg["min_time"], cfg["repeat"])
    started = time.perf_counter()

    def step(text):
        print(f"[{time.perf_counter() - started:5.1f} s] {text}", file=sys.stderr, flush=True)

    step("building the baseline reader")
    reader, why = build_baseline_reader()
    results["baseline_note"] = why
    step("append")
    results["append"] = bench_append(np, PyKVCache, timing, cfg, reader)
    step("attend")
    results["attend"] = bench_attend(np, PyKVCache, timing, cfg, reader)
    results["attend_one_entry"] = bench_attend_fixed(np, PyKVCache, timing, cfg)
    results["blas_1_thread"] = blas_info()
    step("main-memory read bandwidth")
    results["memory_bandwidth"] = bench_memory_bandwidth(np, timing, cfg["memory_bytes"])
    step("strategies")
    results["strategies"], results["window_scaling"] = bench_strategies(np, PyKVCache, timing, cfg)
    step("merging passes")
    results["merge_pass"] = bench_merge_pass(np, PyKVCache, timing, cfg)
    results["merge_pass_in_cache"] = bench_merge_pass_in_cache(np, PyKVCache, timing, cfg)
    step("NumPy with default threads (child process)")
    results["numpy_default_threads"] = run_numpy_child(cfg, child_env)
    step("done")


def main(argv=None):
    args = parse_args(argv)
    if args.numpy_child is not None:
        json.dump(numpy_child(json.loads(args.numpy_child)), sys.stdout)
        return 0

    child_env = set_environment(args)
    import numpy as np
    from _marrowvale import PyKVCache

    cfg = QUICK if args.quick else FULL
    started = time.perf_counter()
    results = {
        "mode": "quick" if args.quick else "full",
        "config": cfg,
        "machine": machine_info(os.environ.get("MARROWVALE_KERNEL")),
        "numpy": np.__version__,
    }
    measure(np, PyKVCache, cfg, results, child_env)
    finish(results, started, evaluate, report, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
