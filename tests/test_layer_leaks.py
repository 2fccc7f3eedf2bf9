"""LayerCache keeps memory and reference counts flat over many calls, on
success and on every failure path (the measures of test_leaks)."""

import pickle

import numpy as np
import pytest

from marrowvale import LayerCache
from test_leaks import assert_flat, raising

H, D = 3, 8
K = np.arange(H * D, dtype=np.float32).reshape(H, D) / 10
K64 = K.astype(np.float64)
NESTED = K.tolist()
TOKENS = np.stack([K] * 4)


def window():
    layer = LayerCache(H, D, D, "sliding", window_size=16, threads=2)
    layer.extend(np.stack([K] * 40), np.stack([K] * 40))
    return layer


CASES = {
    "append arrays": lambda c: lambda: c.append(K, K),
    "append converted": lambda c: lambda: c.append(K64[:, ::-1], NESTED),
    "extend": lambda c: lambda: c.extend(TOKENS, TOKENS.tolist()),
    "attend": lambda c: lambda: c.attend(K),
    "attend into out": lambda c: (lambda out: lambda: c.attend(K, out=out))(np.empty((H, D), np.float32)),
    "rows and stats": lambda c: lambda: (c.keys(0), c.values(-1), c.spans(1), c.lengths(), c.stats()),
    "state": lambda c: lambda: LayerCache.from_bytes(c.to_bytes()),
    "copies": lambda c: lambda: (c.copy(), pickle.loads(pickle.dumps(c))),
    "wrong shape": lambda c: raising(ValueError, c.append, K[:, 1:], K),
    "bad element": lambda c: raising(TypeError, c.extend, TOKENS, [NESTED, NESTED, NESTED, [["x"] * D] * H]),
    "bad out": lambda c: raising(TypeError, c.attend, K, out=np.empty((H, D))),
    "bad state": lambda c: raising(ValueError, LayerCache.from_bytes, c.to_bytes()[:-1]),
    "bad head": lambda c: raising(IndexError, c.keys, H),
    "bad constructor": lambda c: raising(ValueError, LayerCache, H, D, D, "nope"),
    "attend with weights": lambda c: (lambda w: lambda: c.attend(K, weights=w))(np.empty((H, 16), np.float32)),
    "retain all": lambda c: lambda: c.retain([range(16)] * H),
    "retain by mask": lambda c: lambda: c.retain(np.ones((H, 16), bool)),
    "compress nothing away": lambda c: lambda: c.compress(np.stack([K] * 2, axis=1), 16),
    "bad retain": lambda c: raising(IndexError, c.retain, [[0], [1], [99]]),
    "bad compress": lambda c: raising(ValueError, c.compress, np.stack([K] * 2, axis=1), 16, 2),
}


def scored():
    layer = LayerCache(H, D, D, "h2o", budget=16, recent=4, threads=2)
    layer.extend(np.stack([K] * 40), np.stack([K] * 40))
    return layer


SCORED_CASES = {
    "append and evict": lambda c: lambda: c.append(K, K),
    "attend and score": lambda c: lambda: c.attend(K),
    "scores": lambda c: lambda: c.scores(0),
    "state": lambda c: lambda: LayerCache.from_bytes(c.to_bytes()),
}


@pytest.mark.parametrize("case", SCORED_CASES)
def test_scored_calls_leave_memory_and_reference_counts_flat(case):
    layer = scored()
    assert_flat(SCORED_CASES[case](layer), K, layer)


@pytest.mark.parametrize("case", CASES)
def test_calls_leave_memory_and_reference_counts_flat(case):
    layer = window()
    assert_flat(CASES[case](layer), K, K64, TOKENS, layer)


def tiered(tier):
    layer = LayerCache(H, D, D, "hybrid", static_k=2, merge_every=2, threshold=0.5, dtype=tier, threads=2)
    layer.extend(np.stack([K] * 40), np.stack([K] * 40))
    return layer


NOT_FINITE = np.where(K > 1, np.inf, K).astype(np.float32)
TIER_CASES = {
    "append and merge": lambda c: lambda: c.append(K, K),
    "attend": lambda c: lambda: c.attend(K),
    "rows": lambda c: lambda: (c.keys(0), c.values(1), c.stats()),
    "state and copies": lambda c: lambda: (LayerCache.from_bytes(c.to_bytes()), c.copy(), c.with_strategy("full")),
    "bad dtype": lambda c: raising(ValueError, LayerCache, H, D, D, dtype="int4"),
}


@pytest.mark.parametrize("tier", ["bfloat16", "int8"])
@pytest.mark.parametrize("case", TIER_CASES)
def test_tier_calls_leave_memory_and_reference_counts_flat(case, tier):
    layer = tiered(tier)
    assert_flat(TIER_CASES[case](layer), K, layer)


def test_a_refused_int8_append_leaves_memory_flat():
    layer = tiered("int8")
    assert_flat(raising(ValueError, layer.append, K, NOT_FINITE), K, NOT_FINITE, layer)
