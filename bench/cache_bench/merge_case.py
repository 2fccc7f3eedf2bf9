"""Merging passes: one pass over a cache just filled, for the scaling, and
passes over a cache that stays in the processor's caches, against their
read floor."""

from .bandwidth import read_bandwidth
from .settings import SEED

# Filling a cache with merge_every 1 runs a pass per append too, so only
# caches up to this size are measured in cache.
IN_CACHE_MAX_ENTRIES = 10_000
# The thresholds that make every pass merge nothing or every pair.
CASES = (("nothing merges", 1.5), ("every pair merges", -2.0))


def bench_merge_pass(np, PyKVCache, timing, cfg):
    """One merging pass over n + 1 entries, run by the (n + 1)-th append to a
    merge cache whose period is n."""
    rows = []
    for d in cfg["merge_pass_dims"]:
        rng = np.random.default_rng([SEED, d, 7])
        keys = rng.standard_normal((max(cfg["merge_pass_n"]) + 1, d), dtype=np.float32)
        values = rng.standard_normal(keys.shape, dtype=np.float32)
        for case, threshold in CASES:
            for n in cfg["merge_pass_n"]:
                rows.append(one_pass(PyKVCache, timing, keys, values, n, case, threshold))
    return rows


def one_pass(PyKVCache, timing, keys, values, n, case, threshold):
    d = keys.shape[1]

    def build():
        cache = PyKVCache(d, d, "merge", merge_every=n, threshold=threshold)
        append = cache.append
        for i in range(n):
            append(keys[i], values[i])
        return cache

    probe = build()
    probe.append(keys[n], values[n])
    expected = n + 1 if threshold > 1 else (n + 2) // 2
    assert probe.current_len() == expected, (case, n, probe.current_len())
    del probe
    result = timing.time("cache.append(k, v)", {"build": build, "k": keys[n], "v": values[n]}, "cache = build()",
                         number=1)
    entries = n + 1
    return {
        "d": d,
        "case": case,
        "entries": entries,
        "time": result,
        "ns_per_entry": result["min"] / entries * 1e9,
        "ns_per_entry_and_dim": result["min"] / (entries * 2 * d) * 1e9,
    }


def bench_merge_pass_in_cache(np, PyKVCache, timing, cfg):
    """Merging passes over a cache that stays in the processor's caches,
    against their floor. With merge_every 1 every append runs a pass over
    the whole cache. The keys are random, their similarities far below the
    threshold of 0.99, except that every timed append repeats the newest
    key: the pass merges that last pair alone (a blend of two rows), so the
    cache keeps its size from run to run, and otherwise reads the keys once,
    which is its floor: the keys' size at the read bandwidth measured for
    that size, the same hot-cache measure as attend's."""
    rows = []
    for d in cfg["merge_pass_dims"]:
        rng = np.random.default_rng([SEED, d, 8])
        for n in cfg["merge_pass_n"]:
            if n + 1 <= IN_CACHE_MAX_ENTRIES:
                keys = rng.standard_normal((n + 1, d), dtype=np.float32)
                rows.append(pass_in_cache(np, PyKVCache, timing, keys))
    return rows


def pass_in_cache(np, PyKVCache, timing, keys):
    entries, d = keys.shape
    cache = PyKVCache(d, d, "merge", merge_every=1, threshold=0.99)
    for i in range(entries):
        cache.append(keys[i], keys[i])
    ns = {"cache": cache, "k": keys[-1], "v": keys[-1]}
    cache.append(keys[-1], keys[-1])
    assert cache.current_len() == entries, "only the repeated newest key may merge"
    size = entries * d * 4
    bandwidth, method, _, timed = read_bandwidth(np, timing, size, {"pass": ("cache.append(k, v)", ns)})
    assert cache.current_len() == entries, "only the repeated newest key may merge"
    floor = size / (bandwidth * 1e9)
    return {
        "d": d,
        "entries": entries,
        "time": timed["pass"],
        "ns_per_entry": timed["pass"]["min"] / entries * 1e9,
        "keys_read_gb_per_s": bandwidth,
        "keys_read_method": method,
        "floor": floor,
        "floor_share": floor / timed["pass"]["min"],
    }
