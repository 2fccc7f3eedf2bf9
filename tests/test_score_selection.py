"""Choosing entries beside the strategy: compress (the one-shot selection
by a prompt's last queries) and retain (by indices or a mask) against the
model of tests/score_model.py, and the softmax weights attend writes.
Every bad argument is refused with the cache as it was."""

import numpy as np
import pytest

from helpers import Index, Real
from layer_helpers import bits, expected_attention, head_caches, token_stream
from marrowvale import LayerCache
from reference import F32, attention_weights
from score_model import compress_flags

H, D_K, D_V = 2, 8, 4


def filled(strategy="full", tokens=30, seed=1, **params):
    layer = LayerCache(H, D_K, D_V, strategy, **params)
    keys, values = token_stream(tokens, H, D_K, D_V, seed=seed)
    layer.extend(keys, values)
    return layer


def per_head_caches(layer):
    """One PyKVCache per head holding the layer's entries, a full cache each."""
    caches = head_caches(H, D_K, D_V, "full", {})
    for h, cache in enumerate(caches):
        for k, v in zip(layer.keys(h), layer.values(h)):
            cache.append(k.tolist(), v.tolist())
    return caches


def assert_attends_like_full_caches(layer, seed=0):
    q = np.random.default_rng(seed).standard_normal((2 * H, D_K)).astype(F32)
    assert np.array_equal(bits(layer.attend(q)), bits(expected_attention(per_head_caches(layer), q)))


@pytest.mark.parametrize("pool", [1, 3, 7, 101])
@pytest.mark.parametrize("window, keep", [(4, 12), (1, 1), (6, 6), (0, 5), (3, 40)])
def test_compress_keeps_what_the_model_keeps(pool, window, keep):
    layer = filled()
    before = [layer.keys(h) for h in range(H)]
    spans = [layer.spans(h)[:, 0] for h in range(H)]
    # Two query heads per key/value head, `window` queries each.
    queries = np.random.default_rng(window).standard_normal((2 * H, window, D_K)).astype(F32)
    layer.compress(queries, keep, pool=pool)
    for h in range(H):
        group = queries[2 * h : 2 * h + 2].reshape(-1, D_K)
        flags = compress_flags(before[h], group, window, keep, pool)
        assert layer.spans(h)[:, 0].tolist() == spans[h][flags].tolist()
        assert len(layer.spans(h)) == min(keep, 30)
    assert_attends_like_full_caches(layer)
    assert layer.stats()["total_evictions"] == H * (30 - min(keep, 30))


def test_compress_ties_keep_the_newer_and_the_strategy_goes_on():
    # A zero query weighs all alike: the newest of the candidates stay.
    layer = filled("sliding", window_size=100)
    layer.compress(np.zeros((H, 2, D_K)), keep=5)
    assert layer.spans(0)[:, 0].tolist() == [25, 26, 27, 28, 29]
    scored = filled("h2o", budget=20, recent=2)
    scored.attend(np.ones((H, D_K)))
    scores = [scored.scores(h)[-10:] for h in range(H)]
    scored.compress(np.zeros((H, 3, D_K)), keep=10)
    assert [s.tolist() for s in map(scored.scores, range(H))] == [s.tolist() for s in scores]
    keys, values = token_stream(15, H, D_K, D_V, seed=2)
    scored.extend(keys, values)
    assert scored.lengths() == [20, 20]


def test_compress_refuses_bad_arguments_and_changes_nothing():
    layer = filled()
    state = layer.to_bytes()
    q = np.zeros((H, 4, D_K))
    for call, kind, message in [
        (lambda: layer.compress(q, 3), ValueError, r"^argument 'keep': must be at least w \(4\), the queries"),
        (lambda: layer.compress(q, 8, pool=4), ValueError, r"^argument 'pool': must be odd, got 4$"),
        (lambda: layer.compress(q, 8, pool=0), ValueError, "argument 'pool': must be at least 1"),
        (lambda: layer.compress(np.zeros((3, 4, D_K)), 8), ValueError,
         r"^argument 'queries': expected \(n_q, w, 8\) with n_q a multiple of n_heads \(2\), got \(3, 4, 8\)$"),
        (lambda: layer.compress(np.zeros((2, 4, 7)), 8), ValueError,
         r"^argument 'queries': expected \(n_q, w, 8\), got \(2, 4, 7\)$"),
        (lambda: layer.compress(q), TypeError, "missing 1 required positional argument: 'keep'"),
    ]:
        with pytest.raises(kind, match=message):
            call()
        assert layer.to_bytes() == state


@pytest.mark.parametrize("index, kept", [
    (np.array([[True, False] * 15, [False, True] * 15]), [list(range(0, 30, 2)), list(range(1, 30, 2))]),
    ([[29, 0, -2], np.array([3], np.uint8)], [[0, 28, 29], [3]]),
    ([[True] * 30, np.zeros(30, bool)], [list(range(30)), []]),
    ([[], range(5, 30, 5)], [[], [5, 10, 15, 20, 25]]),
    (np.array([[1, 2], [2, 1]], np.int16), [[1, 2], [1, 2]]),
    ((np.array([], float), [False] * 30), [[], []]),
])
def test_retain_keeps_the_given_entries_in_order(index, kept):
    layer = filled()
    keys = [layer.keys(h) for h in range(H)]
    layer.retain(index)
    for h in range(H):
        assert layer.spans(h)[:, 0].tolist() == kept[h]
        assert np.array_equal(bits(layer.keys(h)), bits(keys[h][kept[h]]))
    assert_attends_like_full_caches(layer)


def test_retain_refuses_bad_indices_and_changes_nothing():
    layer = filled(tokens=6)
    state = layer.to_bytes()
    for index, kind, message in [
        ([[0], [6]], IndexError, r"^argument 'index': index 6 out of range for head 1, which holds 6 entries$"),
        ([[-7], [0]], IndexError, "index -7 out of range for head 0"),
        ([[1, 1], [0]], ValueError, r"^argument 'index': index 1 given twice for head 0$"),
        ([[0, -6], [0]], ValueError, "index -6 given twice for head 0"),
        ([[True] * 5, [0]], ValueError, r"^argument 'index': head 0 holds 6 entries, its mask has 5$"),
        (np.ones((2, 7), bool), ValueError, "head 0 holds 6 entries, its mask has 7"),
        ([[0]], ValueError, r"^argument 'index': expected 2 heads, got 1$"),
        (np.ones((3, 6), bool), ValueError, "expected 2 heads, got 3"),
        (np.ones(6, bool), ValueError, "expected 2 dimensions"),
        ([np.ones((1, 2), int), [0]], ValueError, "head 0: expected 1 dimension, got 2"),
        ([[0.5], [0]], TypeError, r"^argument 'index': head 0: expected an integer or a boolean, got 'float'$"),
        ([np.array([0.5]), [0]], TypeError, "head 0: expected integers or booleans, got format 'd'"),
        ([[0], 3], TypeError, "head 1: expected indices or a mask, got 'int'"),
        ("ab", TypeError, r"expected a boolean mask \(2, entries\) or 2 index arrays, got str"),
        ([[2**70], [0]], IndexError, "head 0: an index is out of range"),
        ([np.array([2**63], np.uint64), [0]], IndexError, "head 0: an index is out of range"),
    ]:
        with pytest.raises(kind, match=message):
            layer.retain(index)
        assert layer.to_bytes() == state


def test_attend_writes_each_querys_weights():
    layer = filled()
    layer.retain([range(30), range(0, 30, 3)])  # heads that differ in length
    lengths = layer.lengths()
    q = np.random.default_rng(3).standard_normal((2 * H, D_K)).astype(F32)
    weights = np.full((2 * H, max(lengths)), np.nan, F32)
    out = layer.attend(q, weights=weights)
    assert np.array_equal(bits(out), bits(layer.attend(q)))
    for j in range(2 * H):
        h = j // 2
        want = attention_weights(list(layer.keys(h)), q[j], D_K)
        assert np.array_equal(bits(weights[j, : lengths[h]]), bits(want))
        assert not weights[j, lengths[h]:].any()
    # Shapes and overlaps, refused with nothing written.
    for wrong, kind, message in [
        (np.zeros((2 * H, max(lengths) + 1), F32), ValueError,
         rf"^argument 'weights': expected \(4, {max(lengths)}\), got \(4, {max(lengths) + 1}\)$"),
        (np.zeros((2 * H, max(lengths)), np.float64), TypeError, "^argument 'weights': must have dtype float32$"),
        ([[0.0]], TypeError, "^argument 'weights': expected a float32 array, got 'list'$"),
    ]:
        with pytest.raises(kind, match=message):
            layer.attend(q, weights=wrong)
    both = np.zeros(2 * H * (D_V + max(lengths)), F32)
    out, weights = both[: 2 * H * D_V].reshape(2 * H, D_V), both[-2 * H * max(lengths) - 1 : -1].reshape(2 * H, -1)
    with pytest.raises(ValueError, match="^argument 'weights': must not overlap 'out'$"):
        layer.attend(q, out=out, weights=weights)
    # An empty cache has no weights to give.
    empty = LayerCache(H, D_K, D_V)
    assert empty.attend(q, weights=np.ones((2 * H, 0), F32)).shape == (2 * H, D_V)


def test_weights_are_written_from_queries_they_overlap():
    layer = filled(tokens=D_K)
    q = np.random.default_rng(4).standard_normal((H, D_K)).astype(F32)
    want = np.zeros((H, D_K), F32)
    layer.attend(q, weights=want)
    shared = q.copy()
    layer.attend(shared, weights=shared)
    assert np.array_equal(bits(shared), bits(want))


def test_conversions_that_call_back_meet_the_borrow_rules():
    layer = filled(tokens=6)
    seen = []

    def read():
        try:
            seen.append(layer.lengths())
        except RuntimeError as error:
            seen.append(str(error))

    layer.retain([[0, Index(1, read)], [Index(2, read)]])
    queries = np.zeros((H, 1, D_K)).tolist()
    queries[1][0][3] = Real(0.5, read)
    layer.compress(queries, 1)
    assert seen == ["Already mutably borrowed"] * 3
    assert layer.lengths() == [1, 1] and layer.spans(1).tolist() == [[2, 2]]
