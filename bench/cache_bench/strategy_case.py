"""Cost per append of every strategy on a stream of different lists, and
the windows' cost over large caches."""

import timeit

from .settings import SEED

D = 64
STREAM = "for k, v in stream: cache.append(k, v)"


def list_pool(rng, count, d, near_parallel=False):
    """Pairs of float lists; near-parallel keys have cosine above 0.99."""
    if near_parallel:
        keys = rng.standard_normal(d) + 0.05 * rng.standard_normal((count, d))
    else:
        keys = rng.standard_normal((count, d))
    values = rng.standard_normal((count, d))
    return list(zip(keys.tolist(), values.tolist()))


def cycle(pool, length):
    return (pool * (length // len(pool) + 1))[:length]


def prefill(cache, count, source):
    for k, v in cycle(source, count):
        cache.append(k, v)
    return cache


def time_stream(timing, cache, pool, cap, setup="pass"):
    """Per-append cost over a stream of different pairs, long enough to last
    min_time (at most cap appends). The cache stays at its steady state."""
    namespace = {"cache": cache}
    length = 16
    while True:
        namespace["stream"] = cycle(pool, length)
        elapsed = timeit.Timer(STREAM, setup, timer=timing.clock, globals=namespace).timeit(1)
        if elapsed >= timing.min_time or length >= cap:
            break
        length = min(cap, length * 4 if elapsed < timing.min_time / 8 else length * 2)
    return timing.time(STREAM, namespace, setup, per=length, number=1)


def bench_strategies(np, PyKVCache, timing, cfg):
    """(rows per strategy, rows of the windows over large caches)."""
    rng = np.random.default_rng(SEED + 1)
    pool = list_pool(rng, cfg["pool"], D)
    parallel = list_pool(rng, cfg["pool"], D, near_parallel=True)
    cap = cfg["stream_cap"]
    rows = [
        *steady_rows(PyKVCache, timing, pool, cap),
        *growing_merge_rows(PyKVCache, timing, pool, cfg["merge_grow_from"]),
        *parallel_merge_rows(PyKVCache, timing, parallel, cap),
    ]
    return rows, window_scaling(PyKVCache, timing, pool, cfg)


def steady_rows(PyKVCache, timing, pool, cap):
    """full regrowing from clear(), and the windows at their fixed size."""
    full = prefill(PyKVCache(D, D, "full"), cap, pool)
    full.clear()
    yield {"label": "full, regrowing from clear()", "time": time_stream(timing, full, pool, cap, "cache.clear()"),
           "held": []}
    for strategy, label in (("sliding", "sliding, default window 512"), ("static", "static, default 32 + 128")):
        cache = prefill(PyKVCache(D, D, strategy), 1024, pool)
        yield {"label": label, "time": time_stream(timing, cache, pool, cap), "held": [cache.current_len()]}


def growing_merge_rows(PyKVCache, timing, pool, grow_from):
    """merge and hybrid with random keys: nothing merges and the cache only
    grows, so each run starts from grow_from held entries and appends a
    quarter as many."""
    stream = cycle(pool, grow_from // 4)
    for strategy in ("merge", "hybrid"):

        def build(strategy=strategy):
            return prefill(PyKVCache(D, D, strategy), grow_from, pool)

        probe = build()
        held = [probe.current_len()]
        for k, v in stream:
            probe.append(k, v)
        held.append(probe.current_len())
        result = timing.time(
            STREAM,
            {"build": build, "stream": stream},
            "cache = build()",
            per=len(stream),
            number=1,
            repeat=timing.repeat * 3,
        )
        yield {"label": f"{strategy}, default, random keys (nothing merges)", "time": result, "held": held}


def parallel_merge_rows(PyKVCache, timing, parallel, cap):
    """merge and hybrid with near-parallel keys, which merges keep small."""
    for strategy in ("merge", "hybrid"):
        cache = prefill(PyKVCache(D, D, strategy), 1024, parallel)
        yield {
            "label": f"{strategy}, default, near-parallel keys",
            "time": time_stream(timing, cache, parallel, cap),
            "held": [cache.current_len()],
        }


def window_scaling(PyKVCache, timing, pool, cfg):
    """A sliding window and static windows over large caches: a static
    window should cost O(min(static_k, recent_k)) per append, not O(n)."""
    rows = []
    for size in cfg["window_sizes"]:
        for strategy, params in (
            ("sliding", {"window_size": size}),
            ("static", {"static_k": 32, "recent_k": size - 32}),
            ("static", {"static_k": size - 128, "recent_k": 128}),
            ("static", {"static_k": size // 2, "recent_k": size - size // 2}),
        ):
            cache = prefill(PyKVCache(D, D, strategy, **params), size + 16, pool)
            rows.append(
                {
                    "strategy": strategy,
                    "params": params,
                    "held": cache.current_len(),
                    "min_static_recent": min(params["static_k"], params["recent_k"]) if strategy == "static" else 0,
                    "time": time_stream(timing, cache, pool, cap=cfg["stream_cap"]),
                }
            )
            del cache
    return rows
