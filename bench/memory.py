"""Memory held by a cache: bytes per entry, and the peak of a merging pass.

A cache of n entries has n keys of d_k floats and n values of d_v floats to
keep, n * (d_k + d_v) * 4 bytes. This script builds caches of 1e5 to 1e6
entries with d_k = d_v = 64 (512 bytes an entry), some of them just past a
doubling of the lists' capacity, and reports how much the process grew:

* resident: the growth of the resident set size (VmRSS), what the operating
  system actually gave the process;
* allocated: the growth of the bytes the C heap has handed out (glibc's
  mallinfo2, in-use chunks plus mmapped ones), which also counts capacity
  reserved but not yet touched.

Both are set against the ideal n * (d_k + d_v) * 4 with the allowance
"within 10 % plus 1 MiB".

For the merging pass, a "merge" cache with merge_every = n holds n entries;
the next append runs one pass over all n + 1 of them. The peak resident set
during that append (VmHWM, reset through /proc/self/clear_refs just before)
is reported above the resident set before it, once with keys that never
merge and once with keys that all merge pairwise.

Every measurement runs in a process of its own, so one does not inherit the
heap of another. The table goes to stdout and every number to
bench/results/memory.json.

    .venv/bin/python bench/memory.py            # about half a minute
    .venv/bin/python bench/memory.py --quick    # 1e5 and 2e5 only
"""

import argparse
import json
import os
import sys
import time
from pathlib import Path

from harness.child import run_json_child
from harness.machine import machine_info
from harness.process_memory import heap_bytes, reset_peak, status_bytes
from harness.results import default_out, write_results

D = 64
# 131 073 and 524 289 entries lie just past a doubling of the lists'
# capacity (16 rows times a power of two): the worst case for reserved but
# untouched room.
SIZES = [100_000, 131_073, 200_000, 500_000, 524_289, 1_000_000]
QUICK_SIZES = [100_000, 200_000]
SLACK_FRACTION = 0.10
SLACK_BYTES = 1 << 20


# ---- measurements inside the child process -------------------------------------


def child(kind, n):
    import numpy as np

    from _marrowvale import PyKVCache

    rng = np.random.default_rng(7)
    # A few distinct rows, reused: the inputs cost nothing that grows with n.
    if kind == "merge-all":
        keys = [np.ones(D, dtype=np.float32) * (1 + i % 2) for i in range(64)]
    else:
        keys = [rng.standard_normal(D).astype(np.float32) for _ in range(64)]
    values = [rng.standard_normal(D).astype(np.float32) for _ in range(64)]

    if kind == "full":
        cache = PyKVCache(D, D, "full")
    else:
        # The pass comes with the append after the n-th; keys that never
        # merge are random (similarity far below 0.9), the others parallel.
        cache = PyKVCache(D, D, "merge", merge_every=n, threshold=0.9)

    rss_before, heap_before = status_bytes("VmRSS"), heap_bytes()
    started = time.perf_counter()
    for i in range(n):
        cache.append(keys[i % 64], values[(i * 7) % 64])
    fill_seconds = time.perf_counter() - started
    rss_after, heap_after = status_bytes("VmRSS"), heap_bytes()
    result = {
        "kind": kind, "n": n, "d_k": D, "d_v": D, "ideal_bytes": n * 2 * D * 4,
        "resident_growth": rss_after - rss_before,
        "allocated_growth": None if heap_before is None else heap_after - heap_before,
        "fill_seconds": fill_seconds, "current_len": cache.current_len(),
    }
    if kind != "full":
        result.update(merging_pass(cache, keys[n % 64], values[n % 64]))
    print(json.dumps(result))


def merging_pass(cache, k, v):
    """The append that runs the pass: its time and the resident set's peak
    during it above the resident set before it."""
    reset_peak()
    base = status_bytes("VmRSS")
    started = time.perf_counter()
    cache.append(k, v)
    return {
        "pass_seconds": time.perf_counter() - started,
        "pass_peak_above_before": status_bytes("VmHWM") - base,
        "entries_after_pass": cache.current_len(),
        "merged": cache.stats()["total_merges"],
    }


# ---- the driver -----------------------------------------------------------------------


def measure(kind, n):
    """One measurement in a process of its own, whose heap no other grew."""
    return run_json_child(Path(__file__).resolve(), ["--child", kind, str(n)], f"{kind} child for n = {n}")


def within(growth, ideal):
    return growth is not None and abs(growth - ideal) <= SLACK_FRACTION * ideal + SLACK_BYTES


def fill_rows(sizes):
    """The caches filled to each size, printed as they come."""
    print(f"cache of n entries, d_k = d_v = {D}: ideal {2 * D * 4} bytes an entry")
    print(f"{'n':>9}  {'resident B/entry':>16}  {'allocated B/entry':>17}  {'resident vs ideal':>17}  "
          f"{'allocated vs ideal':>18}  {'fill s':>6}")
    rows = []
    for n in sizes:
        row = measure("full", n)
        ideal = row["ideal_bytes"]
        row["resident_per_entry"] = row["resident_growth"] / n
        row["allocated_per_entry"] = None if row["allocated_growth"] is None else row["allocated_growth"] / n
        row["resident_within_10pct"] = within(row["resident_growth"], ideal)
        row["allocated_within_10pct"] = within(row["allocated_growth"], ideal)
        rows.append(row)
        allocated = row["allocated_per_entry"]
        print(f"{n:>9}  {row['resident_per_entry']:>16.1f}  "
              f"{allocated if allocated is not None else float('nan'):>17.1f}  "
              f"{row['resident_growth'] / ideal:>16.3f}x  "
              f"{(row['allocated_growth'] or 0) / ideal:>17.3f}x  {row['fill_seconds']:>6.2f}"
              + ("" if row["resident_within_10pct"] else "   resident outside 10% + 1 MiB")
              + ("" if row["allocated_within_10pct"] else "   allocated outside 10% + 1 MiB"))
    return rows


def pass_rows(sizes):
    """One merging pass over each size, with no pair and every pair merging."""
    print()
    print("one merging pass over n + 1 entries (merge strategy, merge_every = n)")
    print(f"{'n':>9}  {'keys':>11}  {'merged':>7}  {'held before':>12}  {'peak above':>11}  {'peak/held':>9}  "
          f"{'pass s':>6}")
    passes = []
    for n in sizes:
        for kind in ("merge-none", "merge-all"):
            row = measure(kind, n)
            passes.append(row)
            held = row["resident_growth"]
            print(f"{n:>9}  {kind[6:]:>11}  {row['merged']:>7}  {held / 2**20:>9.1f} MiB  "
                  f"{row['pass_peak_above_before'] / 2**20:>7.1f} MiB  "
                  f"{row['pass_peak_above_before'] / held:>9.3f}  {row['pass_seconds']:>6.3f}")
    return passes


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="only the two smallest sizes")
    out = default_out("memory")
    parser.add_argument("--out", type=Path, default=out, help=f"JSON output (default {out})")
    parser.add_argument("--child", nargs=2, metavar=("KIND", "N"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child[0], int(args.child[1]))
        return 0

    sizes = QUICK_SIZES if args.quick else SIZES
    started = time.perf_counter()
    results = {"machine": machine_info(os.environ.get("MARROWVALE_KERNEL")),
               "d_k": D, "d_v": D, "ideal_bytes_per_entry": 2 * D * 4,
               "allowance": {"fraction": SLACK_FRACTION, "bytes": SLACK_BYTES}}
    results["fill"] = fill_rows(sizes)
    results["merging_pass"] = pass_rows(sizes)
    results["seconds"] = time.perf_counter() - started
    write_results(results, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
