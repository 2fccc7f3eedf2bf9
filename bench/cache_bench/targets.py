"""The goals of the performance work, as ratios so that they carry across
machines, and how a run's figures are set against them."""

import math

from harness.tables import ratio

ATTEND_MIN_SPEEDUP = 1.0  # over the single-threaded NumPy cache, at every n
# ... and these speedups at these sizes (n, d).
ATTEND_SPEEDUP_TARGETS = {(512, 64): 2.6, (4096, 64): 1.25, (262144, 64): 1.1}
# attend's floor: reading the keys and values at the single-core read
# bandwidth measured for their size, plus the bare call that reads q and
# returns a list of d floats, plus this much per entry for the exponential.
ATTEND_FLOOR_EXP_SECONDS = 0.5e-9
ATTEND_FLOOR_SHARE = 0.80  # floor / time, at every n
ATTEND_BANDWIDTH_N = 32768  # from this n on, the share of main-memory bandwidth is shown too
# A merging pass's floor: reading the keys once at the bandwidth measured
# for their size. Wanted: this share of it with nothing merging, for the
# size below, whose keys stay in the processor's caches.
MERGE_FLOOR_SHARE = 0.50
MERGE_FLOOR_CASE = (4096, 64)  # entries, d
APPEND_BASELINE_FACTOR = 2.0  # append of two lists of 64 floats vs the baseline
APPEND_NUMPY_SPEEDUP = 5.0  # append vs the NumPy cache's append, both given lists
MERGE_EXPONENT_LIMIT = 1.5  # a merging pass costs O(n): well below quadratic


def evaluate(results):
    """Every target with its value, its goal and whether it was met."""
    return [
        *attend_targets(results["attend"]),
        *append_targets(results["append"]),
        *merge_floor_targets(results["merge_pass_in_cache"]),
        *merge_exponent_targets(results["merge_pass"]),
    ]


def target(name, value, goal, met):
    return {"target": name, "value": value, "goal": goal, "met": bool(met)}


def floor_target(name, share, goal):
    """A share of a floor (floor / time) that must reach `goal`."""
    return target(name, share, f">= {goal:.0%}", share >= goal)


def attend_targets(rows):
    for row in rows:
        speedup = ratio(row["numpy_1_thread"]["min"], row["marrowvale"]["min"])
        goal = ATTEND_SPEEDUP_TARGETS.get((row["n"], row["d"]), ATTEND_MIN_SPEEDUP)
        size = f"attend n={row['n']} d={row['d']}"
        yield target(f"{size}: speedup over NumPy, 1 thread", speedup, f">= {goal:g}x", speedup >= goal)
        yield floor_target(f"{size}: floor / time", row["floor_share"], ATTEND_FLOOR_SHARE)


def append_targets(append):
    mine = append["marrowvale"]["list of 64 floats"]["min"]
    base = append["references"][append["baseline"]]["min"]
    factor = ratio(mine, base)
    name = "append of two lists of 64 floats / " + append["baseline"].split(":")[0]
    yield target(name, factor, f"<= {APPEND_BASELINE_FACTOR:.0f}x", factor <= APPEND_BASELINE_FACTOR)
    speedup = ratio(append["numpy_1_thread"]["list of 64 floats"]["min"], mine)
    yield target(
        "append of two lists of 64 floats: speedup over NumPy",
        speedup,
        f">= {APPEND_NUMPY_SPEEDUP:.0f}x",
        speedup >= APPEND_NUMPY_SPEEDUP,
    )


def merge_floor_targets(rows):
    for row in rows:
        if (row["entries"], row["d"]) == MERGE_FLOOR_CASE:
            name = f"merge pass of {row['entries']} entries d={row['d']} in cache, nothing merges: floor / time"
            yield floor_target(name, row["floor_share"], MERGE_FLOOR_SHARE)


def merge_exponent_targets(passes):
    # Cost per pass ~ n**exponent, fitted from the smallest and largest n:
    # 1 for a linear pass, 2 for a quadratic one. Caches make the largest
    # passes dearer per entry than the small ones, hence the margin.
    for d in sorted({r["d"] for r in passes}):
        for case in ("nothing merges", "every pair merges"):
            rows = sorted((r for r in passes if r["d"] == d and r["case"] == case), key=lambda r: r["entries"])
            if len(rows) >= 2 and rows[-1]["entries"] > rows[0]["entries"]:
                exponent = math.log(rows[-1]["time"]["min"] / rows[0]["time"]["min"]) / math.log(
                    rows[-1]["entries"] / rows[0]["entries"]
                )
                name = f"merge pass d={d}, {case}: exponent of n in its cost"
                yield target(name, exponent, f"1 (linear), < {MERGE_EXPONENT_LIMIT}", exponent < MERGE_EXPONENT_LIMIT)
