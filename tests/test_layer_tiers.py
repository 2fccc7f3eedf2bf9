"""LayerCache's storage tiers (dtype="bfloat16", "int8") as a user sees
them: what is stored is NumPy's rounding of what was appended, attention is
float32 attention over exactly that, the bits do not depend on the kernel
set or the thread count, and copies, states and strategies keep the tier.
"""

import copy
import functools
import json
import pickle
import struct

import numpy as np
import pytest

from layer_helpers import STRATEGIES, bits, run_with_kernels, token_stream
from marrowvale import LayerCache
from reference import merge_pass
from test_layer_state import D_K as STATE_D_K
from test_layer_state import D_V as STATE_D_V
from test_layer_state import H as STATE_H
from test_layer_state import flipped_bits_accepted, head, header, header2, head2
from tier_oracle import dequantised

F32 = np.float32
TIERS = ("bfloat16", "int8")
SCORED = {"h2o": {"budget": 6, "recent": 1}, "tova": {"budget": 6, "recent": 2}, "knorm": {"budget": 5, "recent": 0}}
EVERY_STRATEGY = {**STRATEGIES, **SCORED}
H, D_K, D_V = 3, 45, 70  # a last int8 block of 13 keys' and 6 values' floats


def filled(tier, strategy="full", tokens=20, seed=0, **extra):
    cache = LayerCache(H, D_K, D_V, strategy, dtype=tier, **EVERY_STRATEGY.get(strategy, {}), **extra)
    keys, values = token_stream(tokens, H, D_K, D_V, seed)
    cache.extend(keys, values)
    return cache, keys, values


def oracle_attention(keys, values, q):
    """Softmax attention in float64."""
    scores = keys.astype(np.float64) @ q.astype(np.float64) / np.sqrt(keys.shape[1])
    weights = np.exp(scores - scores.max())
    return (weights / weights.sum()) @ values.astype(np.float64)


def assert_float32_attention(cache, q):
    """attend equals float64 attention over the stored keys and values, to
    float32 rounding."""
    out = cache.attend(q)
    group = len(q) // cache.n_heads
    for j in range(len(q)):
        h = j // group
        values = cache.values(h)
        expected = oracle_attention(cache.keys(h), values, q[j])
        tolerance = 1e-5 * max(1.0, float(np.abs(values).max()))
        np.testing.assert_allclose(out[j], expected, rtol=1e-5, atol=tolerance)


# ---- what is stored ------------------------------------------------------------


@pytest.mark.parametrize("tier", TIERS)
def test_stored_values_are_numpys_rounding(tier):
    cache, keys, values = filled(tier)
    keys[3, 1, :] = 0  # an all-zero row: every block scale 0
    values[4, 2, :32] = 0
    cache.clear()
    cache.extend(keys, values)
    for h in range(H):
        for stored, given in ((cache.keys(h), keys[:, h]), (cache.values(h), values[:, h])):
            expected = np.stack([dequantised(tier, row) for row in given])
            assert (bits(stored) == bits(expected)).all()


def test_bfloat16_keeps_infinities_and_nans():
    cache = LayerCache(1, 2, 2, dtype="bfloat16")
    cache.append([[np.inf, np.nan]], [[-np.inf, 3.4e38]])
    assert np.isposinf(cache.keys(0)[0, 0]) and np.isnan(cache.keys(0)[0, 1])
    assert cache.values(0).tolist() == [[-np.inf, np.inf]]


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_int8_refuses_what_is_not_finite_and_stays_as_it_was(bad):
    cache, keys, values = filled("int8", tokens=4)
    before = cache.to_bytes()
    k, v = keys[0].copy(), values[0].copy()
    v[H - 1, -1] = bad
    with pytest.raises(ValueError, match="^argument 'v': int8 storage holds finite values only$"):
        cache.append(k, v)
    batch = keys[:2].copy()
    batch[1, 0, 0] = bad
    with pytest.raises(ValueError, match="^argument 'K': int8 storage holds finite values only$"):
        cache.extend(batch, values[:2])
    assert cache.to_bytes() == before


def test_int8_keeps_the_largest_floats_finite_and_merges_them_unchanged():
    top = np.finfo(F32).max
    k = np.ones((1, 32), F32)
    v = np.full((1, 32), top, F32)
    v[0, 1::2] = -top
    cache = LayerCache(1, 32, 32, "merge", threshold=0.5, merge_every=1, dtype="int8")
    cache.append(k, v)
    first = cache.values(0)
    assert np.isfinite(first).all() and np.allclose(first, v, rtol=1 / 127)
    assert (bits(first) == bits(dequantised("int8", v[0])[None])).all()
    # Identical entries merge into themselves: whether or not a blend at the
    # top of the range overflows, the merged entry is the same values.
    for _ in range(5):
        cache.append(k, v)
    assert cache.lengths() == [1]
    assert (bits(cache.values(0)) == bits(first)).all()


def test_a_bad_dtype_names_the_choices():
    with pytest.raises(ValueError, match=r"^argument 'dtype': must be 'float32', 'bfloat16' or 'int8', got 'float16'$"):
        LayerCache(1, 4, 4, dtype="float16")
    with pytest.raises(TypeError, match=r"^argument 'dtype': must be str, not int$"):
        LayerCache(1, 4, 4, dtype=8)
    with pytest.raises(TypeError):
        LayerCache(1, 4, 4, "full", 512, dtype="int8")  # keyword-only, as threads


@pytest.mark.parametrize("tier, key_bytes", [("float32", 4 * 64), ("bfloat16", 2 * 64), ("int8", 2 * 4 + 64)])
def test_stats_report_the_tier_and_its_bytes(tier, key_bytes):
    cache = LayerCache(2, 64, 64, dtype=tier)
    assert cache.dtype == tier and cache.stats()["dtype"] == tier
    cache.extend(np.ones((16, 2, 64), F32), np.ones((16, 2, 64), F32))
    # Sixteen rows of room per head to begin with: keys, values and spans.
    assert cache.stats()["nbytes"] == 2 * 16 * (2 * key_bytes + 16)
    assert ("dtype=" in repr(cache)) == (tier != "float32")


# ---- attention ---------------------------------------------------------------


@pytest.mark.parametrize("tier", TIERS)
def test_attention_is_float32_attention_over_what_is_stored(tier):
    cache, _, _ = filled(tier, tokens=37)
    q = np.random.default_rng(1).standard_normal((2 * H, D_K)).astype(F32)
    assert_float32_attention(cache, q)


CHILD = """
import json, sys
import numpy as np
from marrowvale import LayerCache
from marrowvale._layer_cache import kernel_set
out = {"set": kernel_set()}
rng = np.random.default_rng(3)
keys = rng.standard_normal((120, 3, 45)).astype(np.float32)
values = rng.standard_normal((120, 3, 70)).astype(np.float32)
q = rng.standard_normal((12, 45)).astype(np.float32)
for tier in ("bfloat16", "int8"):
    for threads in (1, 2):
        cache = LayerCache(3, 45, 70, "tova", budget=100, recent=4, dtype=tier, threads=threads)
        cache.extend(keys[:60], values[:60])
        cache.attend(q)
        cache.extend(keys[60:], values[60:])
        out[f"{tier} {threads}"] = cache.attend(q).view(np.uint32).tolist() + cache.scores(1).view(np.uint32).tolist()
json.dump(out, sys.stdout)
"""


# Each child runs once per test process, the scalar one for every set.
@functools.cache
def child_bits(kernel_set):
    return json.loads(run_with_kernels(kernel_set, CHILD))


@pytest.mark.parametrize("kernel_set", ["sse2", "avx2", "avx512"])
def test_every_kernel_set_and_thread_count_gives_the_scalar_bits(kernel_set):
    scalar, other = child_bits("scalar"), child_bits(kernel_set)
    assert other["set"] == kernel_set
    for key in scalar:
        if key != "set":
            assert other[key] == scalar[key], key
            assert scalar[key] == scalar[key.split()[0] + " 1"], key


@pytest.mark.parametrize("tier", TIERS)
def test_threads_give_the_bits_of_one_thread(tier):
    """Large enough work to spread the heads over threads, merging and
    scoring too: each head's working rows are its own."""
    keys, values = token_stream(160, 4, 64, 64, seed=6)
    q = np.random.default_rng(2).standard_normal((16, 64)).astype(F32)
    for strategy, params in (("hybrid", {"static_k": 4, "merge_every": 8, "threshold": 0.5}),
                             ("knorm", {"budget": 100, "recent": 8})):
        outputs = []
        for threads in (1, 2):
            cache = LayerCache(4, 64, 64, strategy, dtype=tier, threads=threads, **params)
            cache.extend(keys, values)
            outputs.append([bits(cache.attend(q)), *(bits(cache.keys(h)) for h in range(4))])
        assert all((a == b).all() for a, b in zip(*outputs)), strategy


# ---- copies and states -----------------------------------------------------------


@pytest.mark.parametrize("tier", TIERS)
def test_copies_and_states_keep_the_tier_and_the_bits(tier):
    cache, keys, values = filled(tier, "h2o")
    q = keys[-1]
    state = cache.to_bytes()
    assert struct.unpack_from("<I", state, 8) == (3,)
    for twin in (cache.copy(), copy.deepcopy(cache), pickle.loads(pickle.dumps(cache)), LayerCache.from_bytes(state)):
        assert twin.dtype == tier and twin.to_bytes() == state
        assert (bits(twin.attend(q)) == bits(cache.attend(q))).all()
    recast = cache.with_strategy("full")
    assert recast.dtype == tier and (bits(recast.keys(0)) == bits(cache.keys(0))).all()
    # The state holds the tier's bytes, not float32.
    float32_state = filled("float32", "h2o")[0].to_bytes()
    assert len(state) < len(float32_state) * (0.6 if tier == "bfloat16" else 0.4)


def test_states_of_earlier_versions_load_as_float32():
    for state in (header(appends=1, position=1) + head(0, 1, 1, [1.0] * STATE_D_K, [2.0] * STATE_D_V, [0, 0]) * STATE_H,
                  header2(appends=1, position=1) + head2(0, 0, 1, 1, [0.5]) * STATE_H):
        layer = LayerCache.from_bytes(state)
        assert layer.dtype == "float32" and layer.keys(0).tolist() == [[1.0] * STATE_D_K]


def int8_state_parts(cache):
    """The state and where head 0's first key row (its block scales) starts."""
    state = cache.to_bytes()
    name = len(cache.strategy)
    header = 8 + 4 + 24 + 1 + name + 52 + 1 + 16
    return bytearray(state), header + 32


@pytest.mark.parametrize("scale", [np.nan, np.inf, -1.0])
def test_a_state_with_a_bad_int8_scale_is_refused(scale):
    state, first_scale = int8_state_parts(filled("int8", tokens=3)[0])
    struct.pack_into("<f", state, first_scale + 4, scale)
    with pytest.raises(ValueError, match="the keys: an int8 block's scale must be finite and not negative"):
        LayerCache.from_bytes(bytes(state))


def test_a_state_of_an_unknown_tier_or_cut_short_is_refused():
    cache = filled("int8", tokens=2)[0]
    state, _ = int8_state_parts(cache)
    tier_at = 8 + 4 + 24 + 1 + len("full") + 52
    assert state[tier_at] == 2
    state[tier_at] = 3
    with pytest.raises(ValueError, match=r"unknown storage tier 3 \(0 float32, 1 bfloat16, 2 int8\)"):
        LayerCache.from_bytes(bytes(state))
    whole = cache.to_bytes()
    for end in range(tier_at, len(whole), 7):
        with pytest.raises(ValueError, match="^invalid LayerCache state: "):
            LayerCache.from_bytes(whole[:end])


def test_every_flipped_bit_of_a_tier_state_is_refused_or_a_whole_cache():
    for tier in TIERS:
        cache = LayerCache(STATE_H, STATE_D_K, STATE_D_V, dtype=tier)
        cache.extend(*token_stream(2, STATE_H, STATE_D_K, STATE_D_V))
        assert flipped_bits_accepted(cache.to_bytes()) > 0


# ---- strategies ------------------------------------------------------------------


@pytest.mark.parametrize("tier", TIERS)
@pytest.mark.parametrize("strategy", sorted(EVERY_STRATEGY))
def test_every_strategy_works_on_every_tier(tier, strategy):
    cache, keys, _ = filled(tier, strategy, tokens=24)
    q = keys[-1]
    cache.attend(q)
    cache.extend(*token_stream(6, H, D_K, D_V, seed=4))
    assert max(cache.lengths()) <= 30
    assert_float32_attention(cache, q)
    if strategy == "knorm":
        for h in range(H):
            # The score of the stored key, in float32.
            norms = np.sqrt((cache.keys(h).astype(np.float64) ** 2).sum(axis=1))
            np.testing.assert_allclose(cache.scores(h), -norms, rtol=1e-6)


@pytest.mark.parametrize("tier", TIERS)
def test_a_recast_to_a_scored_strategy_scores_the_stored_keys(tier):
    cache, _, _ = filled(tier)
    knorm = cache.with_strategy("knorm", budget=40)
    for h in range(H):
        norms = np.sqrt((cache.keys(h).astype(np.float64) ** 2).sum(axis=1))
        np.testing.assert_allclose(knorm.scores(h), -norms, rtol=1e-6)
        # Scores that start without the key: no attend has weighed them.
        assert (cache.with_strategy("h2o", budget=40).scores(h) == 0).all()
        assert (cache.with_strategy("tova", budget=40).scores(h) == np.inf).all()


@pytest.mark.parametrize("tier", TIERS)
def test_a_merge_stores_the_tiers_rounding_of_the_float32_blend(tier):
    cache = LayerCache(1, D_K, D_V, "merge", merge_every=5, threshold=0.5, dtype=tier)
    keys, values = token_stream(6, 1, D_K, D_V, seed=2)
    cache.extend(keys[:5], values[:5])
    # The pass runs once the sixth entry is in.
    stored_keys = [*cache.keys(0), dequantised(tier, keys[5, 0])]
    stored_values = [*cache.values(0), dequantised(tier, values[5, 0])]
    cache.append(keys[5], values[5])
    new_keys, new_values, merged = merge_pass(stored_keys, stored_values, 0.5)
    assert merged > 0 and cache.stats()["total_merges"] == merged
    spans = cache.spans(0).tolist()
    assert len(spans) == len(new_keys)
    for i, (first, last) in enumerate(spans):
        blended = first != last
        expected_key = dequantised(tier, new_keys[i]) if blended else new_keys[i]
        expected_value = dequantised(tier, new_values[i]) if blended else new_values[i]
        assert (bits(cache.keys(0)[i]) == bits(expected_key)).all()
        assert (bits(cache.values(0)[i]) == bits(expected_value)).all()
