"""Grouped-query attention reads each head's entries once for its whole
group of queries; every output row keeps the bits of one attend per query.

The group is scored pass of rows by pass of rows, summed run of value rows
by run, and taken eight queries at a time, so the lengths and group sizes
here cross each of those boundaries: passes of 4 and 8 rows, runs of
16 KiB of value rows, the 8-query chunks, and caches large enough for the
kernels to ask for rows ahead."""

import numpy as np
import pytest

from _marrowvale import PyKVCache
from layer_helpers import bits, expected_attention, head_caches, token_stream
from marrowvale import LayerCache
from reference import attention

# d_k of three eight-lane blocks; d_v of 72 floats spans two blocks of
# columns on AVX2 and makes a 16 KiB run 56 rows long.
H, D_K, D_V = 2, 24, 72
LENGTHS = [1, 7, 9, 31, 33, 56, 57, 113, 229, 2300]
GROUPS = [1, 3, 8, 9, 17]


def queries(rng, count):
    return (rng.standard_normal((count, D_K)) * 0.4).astype(np.float32)


def test_every_group_size_matches_one_attend_per_query_at_lengths_across_blocks():
    rng = np.random.default_rng(11)
    layer = LayerCache(H, D_K, D_V)
    caches = head_caches(H, D_K, D_V, "full", {})
    keys, values = token_stream(LENGTHS[-1], H, D_K, D_V, seed=4)
    held = 0
    for length in LENGTHS:
        layer.extend(keys[held:length], values[held:length])
        for t in range(held, length):
            for head, cache in enumerate(caches):
                cache.append(keys[t, head].tolist(), values[t, head].tolist())
        held = length
        for group in GROUPS:
            q = queries(rng, H * group)
            got = layer.attend(q)
            assert np.array_equal(bits(got), bits(expected_attention(caches, q))), (length, group)


@pytest.mark.parametrize("threads", [1, 2])
def test_a_group_matches_the_float32_model(threads):
    # Nine queries (two chunks) over 130 entries (three runs of value rows).
    rng = np.random.default_rng(12)
    d_k, d_v, n, group = 20, 70, 130, 9
    keys = rng.standard_normal((n, 1, d_k)).astype(np.float32)
    values = rng.standard_normal((n, 1, d_v)).astype(np.float32)
    layer = LayerCache(1, d_k, d_v, threads=threads)
    layer.extend(keys, values)
    q = (rng.standard_normal((group, d_k)) * 0.5).astype(np.float32)
    got = layer.attend(q)
    key_rows, value_rows = list(keys[:, 0]), list(values[:, 0])
    for row in range(group):
        expected = attention(key_rows, value_rows, q[row], d_k, d_v)
        assert np.array_equal(bits(got[row]), bits(expected)), row


def test_special_values_stay_in_their_own_query_rows():
    # A query of NaN makes its own row NaN and leaves its neighbours in the
    # group alone; a key that scores +inf makes every query of its head NaN.
    rng = np.random.default_rng(13)
    keys, values = token_stream(40, H, D_K, D_V, seed=6)
    keys[17, 1, 3] = np.inf
    layer = LayerCache(H, D_K, D_V)
    layer.extend(keys, values)
    caches = head_caches(H, D_K, D_V, "full", {})
    for t in range(40):
        for head, cache in enumerate(caches):
            cache.append(keys[t, head].tolist(), values[t, head].tolist())
    q = queries(rng, 2 * H * 3)[: H * 3]
    q[1, 5] = np.nan
    q[3:, 3] = np.abs(q[3:, 3]) + np.float32(0.1)
    got = layer.attend(q)
    assert np.isnan(got[1]).all() and not np.isnan(got[[0, 2]]).any()
    assert np.isnan(got[3:]).all()
    assert np.array_equal(bits(got), bits(expected_attention(caches, q)))


def test_attention_does_not_depend_on_earlier_calls_on_the_same_thread():
    # The working array is kept from call to call: a large cache whose
    # weights are NaN, then a small one, then the large one again.
    rng = np.random.default_rng(14)
    large = PyKVCache(8, 8)
    for _ in range(3000):
        large.append(rng.standard_normal(8).tolist(), [float("nan")] * 8)
    small = PyKVCache(8, 8)
    small_keys = rng.standard_normal((5, 8)).astype(np.float32)
    small_values = rng.standard_normal((5, 8)).astype(np.float32)
    for k, v in zip(small_keys, small_values):
        small.append(k.tolist(), v.tolist())
    q = rng.standard_normal(8).astype(np.float32)
    expected = attention(list(small_keys), list(small_values), q, 8, 8)
    assert np.isnan(large.attend(q.tolist())).all()
    assert np.array_equal(bits(small.attend(q.tolist())), bits(expected))
    layer = LayerCache(1, 8, 8)
    layer.extend(small_keys[:, None], small_values[:, None])
    assert np.isnan(large.attend(q.tolist())).all()
    assert np.array_equal(bits(layer.attend(np.stack([q] * 9))), bits(np.stack([expected] * 9)))
