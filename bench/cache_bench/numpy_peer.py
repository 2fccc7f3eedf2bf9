"""The peer of PyKVCache: what a user would write with NumPy, and the float64
attention both are checked against."""

import math

from .settings import SEED


class NumpyCache:
    """What a user would write with NumPy: preallocated float32 arrays."""

    def __init__(self, np, d_k, d_v, capacity):
        self.np = np
        self.keys = np.empty((capacity, d_k), dtype=np.float32)
        self.values = np.empty((capacity, d_v), dtype=np.float32)
        self.scale = np.float32(math.sqrt(d_k))
        self.n = 0

    def append(self, k, v):
        self.keys[self.n] = k
        self.values[self.n] = v
        self.n += 1

    def attend(self, q):
        np = self.np
        scores = self.keys[: self.n] @ q / self.scale
        weights = np.exp(scores - scores.max())
        weights /= weights.sum()
        return weights @ self.values[: self.n]


def numpy_attend_cache(np, d, capacity):
    """A NumPy cache filled with the keys and values every process uses for
    dimension d, and the query, as float32."""
    rng = np.random.default_rng([SEED, d])
    cache = NumpyCache(np, d, d, capacity)
    cache.keys[:] = rng.standard_normal((capacity, d), dtype=np.float32)
    cache.values[:] = rng.standard_normal((capacity, d), dtype=np.float32)
    cache.n = capacity
    return cache, rng.standard_normal(d, dtype=np.float32)


def append_inputs(np, d):
    """The inputs both caches' append is timed with, by label."""
    rng = np.random.default_rng(SEED)
    k = [float(x) for x in rng.standard_normal(d)]
    v = [float(x) for x in rng.standard_normal(d)]
    return {
        f"list of {d} floats": (k, v),
        f"tuple of {d} floats": (tuple(k), tuple(v)),
        f"list of {d} ints": ([int(x * 1000) for x in k], [int(x * 1000) for x in v]),
        "NumPy float32 array": (np.array(k, dtype=np.float32), np.array(v, dtype=np.float32)),
    }


def matches_reference(np, result, keys, values, query):
    """Whether an attention result agrees with attention in float64."""
    scores = keys.astype(np.float64) @ query.astype(np.float64) / math.sqrt(keys.shape[1])
    weights = np.exp(scores - scores.max())
    weights /= weights.sum()
    expected = weights @ values.astype(np.float64)
    return bool(np.allclose(np.asarray(result, dtype=np.float64), expected, rtol=1e-3, atol=1e-5))
