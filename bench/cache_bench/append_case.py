"""append(k, v) on a cache whose storage is already there, with every kind of
input, next to the NumPy cache and the reference calls."""

import array
import math

from .numpy_peer import NumpyCache, append_inputs

D = 64
# The reference calls for append, timed with the same lists: label ->
# (statement, setup). The first that runs is the baseline.
REFERENCES = {
    "reader.read(k, v): bare method call reading both lists (C)": ("reader.read(k, v)", "pass"),
    "k == k_twin: list equality, every value compared": ("k == twin", "pass"),
    "math.sumprod(k, v)": ("sumprod(k, v)", "pass"),
    "sum(k, 0.0); sum(v, 0.0)": ("sum(k, 0.0); sum(v, 0.0)", "pass"),
    "array('f', k); array('f', v)": ("array_f('f', k); array_f('f', v)", "pass"),
    "cache.current_len(): method call, no arguments": ("cache.current_len()", "pass"),
    "append([], []) with d_k = d_v = 0: fixed cost of append": ("empty.append(nothing, nothing)", "pass"),
}


def bench_append(np, PyKVCache, timing, cfg, reader):
    cap = cfg["append_cap"]
    inputs = append_inputs(np, D)
    common = append_namespace(np, PyKVCache, cap, reader, *inputs[f"list of {D} floats"])
    entries = {}
    for label, (key, value) in inputs.items():
        ns = dict(common, k=key, v=value)
        entries[("marrowvale", label)] = ("cache.append(k, v)", ns, "pass")
        entries[("numpy", label)] = ("npcache.append(k, v)", ns, "npcache.n = 0")
    for label, (stmt, setup) in REFERENCES.items():
        if reader is None and label.startswith("reader."):
            continue
        entries[("reference", label)] = (stmt, common, setup)
    timed = timing.compare(entries, max_number=cap, repeat=cfg["append_repeat"])
    return {
        "marrowvale": of_kind(timed, "marrowvale"),
        "numpy_1_thread": of_kind(timed, "numpy"),
        "references": of_kind(timed, "reference"),
        "baseline": next(label for kind, label in timed if kind == "reference"),
    }


def append_namespace(np, PyKVCache, cap, reader, k, v):
    """The caches and lists every append statement runs with."""
    # A sliding window as long as the run, filled beforehand: every timed
    # append stores into storage that is already there (clear() gives the
    # storage back, so a cleared full cache would time its regrowth too).
    cache = PyKVCache(D, D, "sliding", window_size=cap)
    for _ in range(cap):
        cache.append(k, v)
    twin = [float(repr(x)) for x in k]
    assert twin == k and all(a is not b for a, b in zip(twin, k)), "the twin list must hold other objects"
    empty = PyKVCache(0, 0, "sliding", window_size=cap)
    for _ in range(cap):
        empty.append([], [])
    return {
        "cache": cache,
        "npcache": NumpyCache(np, D, D, cap),
        "empty": empty,
        "reader": reader,
        "k": k,
        "v": v,
        "twin": twin,
        "nothing": [],
        "sumprod": math.sumprod,
        "array_f": array.array,
    }


def of_kind(timed, kind):
    return {label: t for (k, label), t in timed.items() if k == kind}
