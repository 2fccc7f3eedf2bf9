"""The NumPy cache with NumPy's default threads, in a child process whose
environment leaves the BLAS its threads (this process runs it on one)."""

import json
import time
from pathlib import Path

from harness.child import ChildFailed, run_json_child
from harness.machine import blas_info
from harness.timing import Timing

from .numpy_peer import NumpyCache, append_inputs, matches_reference, numpy_attend_cache
from .settings import CHECK_MAX_N

SCRIPT = Path(__file__).resolve().parents[1] / "bench_cache.py"
# What the child measures, taken from the run's settings.
CHILD_SETTINGS = ("min_time", "repeat", "append_cap", "append_repeat", "attend_n", "dims")


def run_numpy_child(cfg, env):
    """The child's figures, or {"error": why} if it failed."""
    config = {key: cfg[key] for key in CHILD_SETTINGS}
    try:
        return run_json_child(SCRIPT, ["--numpy-child", json.dumps(config)], "NumPy child with default threads", env)
    except ChildFailed as failure:
        return {"error": str(failure)}


def numpy_child(config):
    """Runs in a child process with NumPy's default threads."""
    import numpy as np

    # Wall-clock time: the work is spread over several threads.
    timing = Timing(config["min_time"], config["repeat"], clock=time.perf_counter)
    out = {"numpy": np.__version__, "append": child_append(np, timing, config), "attend": []}
    for d in config["dims"]:
        out["attend"].extend(child_attend(np, timing, config, d))
    out["blas"] = blas_info()
    return out


def child_append(np, timing, config):
    cap = config["append_cap"]
    cache = NumpyCache(np, 64, 64, cap)
    entries = {}
    for label, (k, v) in append_inputs(np, 64).items():
        entries[label] = ("cache.append(k, v)", {"cache": cache, "k": k, "v": v}, "cache.n = 0")
    return timing.compare(entries, max_number=cap, repeat=config["append_repeat"])


def child_attend(np, timing, config, d):
    cache, query = numpy_attend_cache(np, d, max(config["attend_n"]))
    rows = []
    for n in sorted(config["attend_n"]):
        cache.n = n
        row = {"n": n, "d": d, "time": timing.time("cache.attend(q)", {"cache": cache, "q": query})}
        if n <= CHECK_MAX_N:
            row["matches_float64"] = matches_reference(np, cache.attend(query), cache.keys[:n], cache.values[:n], query)
        rows.append(row)
    return rows
