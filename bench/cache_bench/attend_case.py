"""attend(q) on full caches of growing n, next to the NumPy cache, against
the read bandwidth for the same size and the floor built from it."""

from .bandwidth import read_bandwidth
from .numpy_peer import matches_reference, numpy_attend_cache
from .settings import CHECK_MAX_N
from .targets import ATTEND_FLOOR_EXP_SECONDS


def bench_attend(np, PyKVCache, timing, cfg, reader):
    rows = []
    for d in cfg["dims"]:
        npcache, query = numpy_attend_cache(np, d, max(cfg["attend_n"]))
        cache = PyKVCache(d, d, "full")
        for n in sorted(cfg["attend_n"]):
            # Both caches hold the same n entries.
            for i in range(cache.current_len(), n):
                cache.append(npcache.keys[i], npcache.values[i])
            npcache.n = n
            rows.append(attend_row(np, timing, cache, npcache, query, reader))
        del cache, npcache
    return rows


def attend_row(np, timing, cache, npcache, query, reader):
    """Both caches at one size, timed in turn with the read of as many bytes."""
    n, d = npcache.n, npcache.keys.shape[1]
    q = query.tolist()
    size = n * 2 * d * 4
    ns = {"cache": cache, "npcache": npcache, "q": q, "query": query, "reader": reader}
    extra = {"marrowvale": ("cache.attend(q)", ns), "numpy": ("npcache.attend(query)", ns)}
    if reader is not None:
        extra["echo"] = ("reader.echo(q)", ns)
    bandwidth, best, read, timed = read_bandwidth(np, timing, size, extra)
    # Without the compiled baseline the floor leaves out the call.
    call = timed["echo"]["min"] if reader is not None else 0.0
    floor = size / (bandwidth * 1e9) + call + ATTEND_FLOOR_EXP_SECONDS * n
    row = {
        "n": n,
        "d": d,
        "bytes": size,
        "marrowvale": timed["marrowvale"],
        "numpy_1_thread": timed["numpy"],
        "gb_per_s": size / timed["marrowvale"]["min"] / 1e9,
        "read_gb_per_s": bandwidth,
        "read_method": best,
        "read_all_methods_gb_per_s": read,
        "bare_call": timed.get("echo"),
        "floor": floor,
        "floor_share": floor / timed["marrowvale"]["min"],
    }
    if n <= CHECK_MAX_N:
        keys, values = npcache.keys[:n], npcache.values[:n]
        row["matches_float64"] = matches_reference(np, cache.attend(q), keys, values, query) and matches_reference(
            np, npcache.attend(query), keys, values, query
        )
    return row


def bench_attend_fixed(np, PyKVCache, timing, cfg):
    """attend on a cache of one entry: the call, the conversion of q and the
    building of the result list, with next to no attention."""
    out = {}
    for d in cfg["dims"]:
        cache = PyKVCache(d, d, "full")
        cache.append([0.5] * d, [0.5] * d)
        q = [0.25] * d
        out[d] = timing.time("cache.attend(q)", {"cache": cache, "q": q})
    return out
