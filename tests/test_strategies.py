"""The five strategies, checked against the float32 reference model.

The extension has no accessor for the held entries, so they are pinned down
through what it does expose:

- `census`: every value is one-hot (component j set for the j-th append)
  and the query is zero, so every held entry weighs exactly 1/n and the
  output shows which appends are held, one component each. Merging equal
  keys has similarity exactly 1.0 and keeps the older value as it was, so
  the census also works across merges of equal keys.
- `assert_consistent`: current_len and stats equal the model's, and attend
  gives the model's bits for queries along held keys and random directions,
  scaled so that a last-bit change in any key or value shows.
"""

import math
import subprocess
import sys

import numpy as np
import pytest

from _marrowvale import PyKVCache
from helpers import assert_consistent, pair, random_floats
from reference import (
    F32,
    U64_MAX,
    RefCache,
    attention,
    bits,
    comparable,
    f32,
    probe_queries,
    similarity,
    vector,
)

ONES64 = [1.0] * 64


@pytest.fixture(params=["extension", "model"])
def make(request):
    """Builds either cache: the worked examples hold for the extension and,
    as a check on the model itself, for the reference model too."""
    if request.param == "extension":
        return lambda strategy, d_k, d_v, **params: PyKVCache(d_k=d_k, d_v=d_v, strategy=strategy, **params)
    return lambda strategy, d_k, d_v, **params: RefCache(d_k, d_v, strategy, **params)


def one_hots(width, start=0, stop=None):
    """Values j = start, start + 1, ... of `width` components, component j set."""
    return [[1.0 if i == j else 0.0 for i in range(width)] for j in range(start, width if stop is None else stop)]


def append(k, v, *caches):
    for cache in caches:
        cache.append(k, v)


def census(cache, d_k):
    """Indices of the one-hot values the cache holds (see module docstring)."""
    n = cache.current_len()
    out = cache.attend([0.0] * d_k)
    held = [j for j, x in enumerate(out) if x != 0.0]
    if n:
        weight = F32(1) / F32(n)
        assert [bits(out[j]) for j in held] == [bits(weight)] * len(held), out
    assert len(held) == n
    return held


def merges_per_append(cache, keys, values, *others):
    """Appends each pair to the cache (and to the others alike) and returns
    how many entries each append took away."""
    counts = []
    for k, v in zip(keys, values):
        before = cache.stats()["total_merges"]
        append(k, v, cache, *others)
        counts.append(cache.stats()["total_merges"] - before)
    return counts


def assert_holds(ext, d_k, d_v, keys, values):
    """The cache holds exactly these entries, oldest first, as far as attend
    on probing queries can tell."""
    keys = [vector(k) for k in keys]
    values = [vector(v) for v in values]
    assert ext.current_len() == len(keys)
    for q in probe_queries(keys, d_k, seed=len(keys)):
        assert comparable(ext.attend(q)) == comparable(attention(keys, values, q, d_k, d_v)), q


# ---------------------------------------------------------------------------
# full
# ---------------------------------------------------------------------------


def test_full_keeps_everything_in_order():
    rng = np.random.default_rng(1)
    keys = [[float(x) for x in rng.standard_normal(3)] for _ in range(12)]  # rounded on the way in
    ext, ref = pair(3, 12, list(zip(keys, one_hots(12))), strategy="full")
    assert census(ext, 3) == list(range(12))
    assert ext.stats() == {"total_appends": 12, "total_merges": 0, "total_evictions": 0,
                           "current_size": 12, "compression_ratio": 1.0, "strategy": "full"}
    assert_consistent(ext, ref)


# ---------------------------------------------------------------------------
# sliding
# ---------------------------------------------------------------------------


class TestSliding:
    def test_window_512_over_600_appends(self):
        ext, ref = pair(1, 600, 0, strategy="sliding", window_size=512)
        counts = merges_per_append(ext, [[j / 64] for j in range(600)], one_hots(600), ref)
        assert counts == [0] * 512 + [1] * 88
        assert census(ext, 1) == list(range(88, 600))
        assert ext.stats()["total_evictions"] == 0
        assert_consistent(ext, ref)

    def test_window_zero_keeps_nothing(self, make):
        cache = make("sliding", 2, 3, window_size=0)
        for j in range(5):
            cache.append([1.0, float(j)], [1.0, 2.0, 3.0])
            assert cache.current_len() == 0
            assert cache.stats()["total_merges"] == j + 1
        assert cache.stats()["current_size"] == 0
        assert cache.stats()["compression_ratio"] == 0.0
        assert comparable(cache.attend([1.0, 1.0])) == (bits(0.0),) * 3

    def test_exactly_window_entries_drop_nothing(self, make):
        cache = make("sliding", 1, 7, window_size=6)
        counts = merges_per_append(cache, [[float(j)] for j in range(7)], one_hots(7))
        assert counts == [0] * 6 + [1]
        assert census(cache, 1) == [1, 2, 3, 4, 5, 6]

    def test_window_one_ratio(self, make):
        cache = make("sliding", 1, 3, window_size=1)
        merges_per_append(cache, [[1.0]] * 3, one_hots(3))
        assert cache.stats()["current_size"] == 1
        assert cache.stats()["compression_ratio"] == 0.3333333432674408
        assert census(cache, 1) == [2]

    def test_largest_window_never_drops(self, make):
        cache = make("sliding", 1, 20, window_size=U64_MAX)
        assert merges_per_append(cache, [[1.0]] * 20, one_hots(20)) == [0] * 20
        assert census(cache, 1) == list(range(20))


# ---------------------------------------------------------------------------
# static
# ---------------------------------------------------------------------------


class TestStatic:
    def test_prefix_32_recent_128_over_200_appends(self):
        ext, ref = pair(1, 200, 0, strategy="static", static_k=32, recent_k=128)
        counts = merges_per_append(ext, [[j / 64] for j in range(200)], one_hots(200), ref)
        assert counts == [0] * 160 + [1] * 40
        assert census(ext, 1) == list(range(32)) + list(range(72, 200))
        assert ext.stats()["total_evictions"] == 0
        assert_consistent(ext, ref)

    def test_exactly_the_limit_drops_nothing(self, make):
        cache = make("static", 1, 8, static_k=3, recent_k=4)
        assert merges_per_append(cache, [[1.0]] * 8, one_hots(8)) == [0] * 7 + [1]
        assert census(cache, 1) == [0, 1, 2, 4, 5, 6, 7]

    def test_no_prefix_is_a_sliding_window(self):
        rng = np.random.default_rng(3)
        static = PyKVCache(d_k=4, d_v=3, strategy="static", static_k=0, recent_k=5)
        sliding = PyKVCache(d_k=4, d_v=3, strategy="sliding", window_size=5)
        for _ in range(30):
            k = [float(x) for x in rng.standard_normal(4)]
            append(k, [float(x) for x in rng.standard_normal(3)], static, sliding)
            for q in ([0.0] * 4, k):
                assert comparable(static.attend(q)) == comparable(sliding.attend(q))
            s, w = static.stats(), sliding.stats()
            assert s.pop("strategy") == "static" and w.pop("strategy") == "sliding"
            assert s == w

    def test_no_recent_entries_keeps_only_the_prefix(self, make):
        cache = make("static", 1, 9, static_k=4, recent_k=0)
        assert merges_per_append(cache, [[1.0]] * 9, one_hots(9)) == [0] * 4 + [1] * 5
        assert census(cache, 1) == [0, 1, 2, 3]

    def test_both_zero_keeps_nothing(self, make):
        cache = make("static", 1, 4, static_k=0, recent_k=0)
        assert merges_per_append(cache, [[1.0]] * 4, one_hots(4)) == [1] * 4
        assert census(cache, 1) == []

    def test_prefix_longer_than_the_appends(self, make):
        cache = make("static", 1, 10, static_k=50, recent_k=0)
        merges_per_append(cache, [[1.0]] * 10, one_hots(10))
        assert census(cache, 1) == list(range(10))


# ---------------------------------------------------------------------------
# 64-bit limits, each run in a fresh interpreter, so that a crash of the
# extension (a wrapped sum used as an index) fails one test instead of
# ending the run
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("params", [
    # A wrapped static_k + recent_k would make the limit tiny and the removal
    # index lie past the end of the list: the sum saturates.
    *[dict(strategy="static", static_k=s, recent_k=r)
      for s, r in [(U64_MAX, 5), (3, U64_MAX), (2**63, 2**63), (U64_MAX, U64_MAX), (2**64 - 2, 2)]],
    # A period of 0 never runs the merging pass.
    dict(strategy="merge", static_k=0, merge_every=0),
    dict(strategy="hybrid", static_k=0, merge_every=0),
    # static_k + 1 and static_k + 2 wrap in 64 bits; the hybrid length test
    # must not, or the tail would be cut from far past the end of the list.
    *[dict(strategy="hybrid", static_k=s, merge_every=1) for s in (U64_MAX, U64_MAX - 1, U64_MAX - 2)],
], ids=lambda p: "-".join(map(str, p.values())))
def test_limits_that_must_not_wrap_keep_every_entry(params):
    model = RefCache(2, 1, **params)
    for j in range(12):
        model.append([1.0, 1.0], [float(j)])
    assert (model.current_len(), model.total_merges) == (12, 0)
    code = (f"import _marrowvale as m\nc = m.PyKVCache(d_k=2, d_v=1, **{params!r})\n"
            "for j in range(12): c.append([1.0, 1.0], [float(j)])\n"
            "print(c.current_len(), c.stats()['total_merges'])\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"exit {done.returncode}: {done.stderr[-2000:]}"
    assert done.stdout.split() == ["12", "0"]


# ---------------------------------------------------------------------------
# merge
# ---------------------------------------------------------------------------


class TestMerge:
    def test_worked_pair(self):
        # (3, 4) and (4, 3): similarity 24 / 25 = 0.95999998 merges the pair
        # into key (3.04, 3.96) and value (0.95999998, 0.04000002). The third
        # key is orthogonal to (4, 3) and stays alone.
        entries = [([3.0, 4.0], [1.0, 0.0]), ([4.0, 3.0], [0.0, 1.0]), ([-3.0, 4.0], [5.0, -1.0])]
        ext, ref = pair(2, 2, entries, strategy="merge", merge_every=2)
        assert float(similarity(vector([3, 4]), vector([4, 3]))) == float(f32(0.95999998))
        assert ext.stats()["total_merges"] == 1
        assert_holds(ext, 2, 2, [[3.04, 3.96], [-3.0, 4.0]], [[0.95999998, 0.04000002], [5.0, -1.0]])
        assert_consistent(ext, ref)

    def test_worked_pair_alone_gives_the_blended_value(self, make):
        cache = make("merge", 2, 2, merge_every=1)
        cache.append([3.0, 4.0], [1.0, 0.0])
        cache.append([4.0, 3.0], [0.0, 1.0])
        assert cache.current_len() == 1
        assert comparable(cache.attend([1.0, -1.0])) == (bits(f32(0.95999998)), bits(f32(0.04000002)))

    def test_nine_appends_with_defaults(self, make):
        cache = make("merge", 64, 9)
        assert merges_per_append(cache, [ONES64] * 9, one_hots(9)) == [0, 0, 0, 0, 2, 0, 0, 0, 3]
        assert census(cache, 64) == [0, 4, 6, 8]

    def test_three_equal_keys_leave_two_entries(self, make):
        cache = make("merge", 64, 3, merge_every=2)
        assert merges_per_append(cache, [ONES64] * 3, one_hots(3)) == [0, 0, 1]
        assert census(cache, 64) == [0, 2]

    def test_orthogonal_then_equal_pair(self):
        # A = (1, 0, 0) and B = (0, 3, 4), norm 5: A stays, the Bs merge with
        # similarity exactly 25 / 25 = 1.
        keys = [[1.0, 0.0, 0.0], [0.0, 3.0, 4.0], [0.0, 3.0, 4.0]]
        ext, ref = pair(3, 3, list(zip(keys, one_hots(3))), strategy="merge", merge_every=2)
        assert ext.stats()["total_merges"] == 1
        assert census(ext, 3) == [0, 1]
        assert_consistent(ext, ref)

    @pytest.mark.parametrize("threshold", [0.0, 0.5, -0.0])
    def test_orthogonal_keys_stay_apart_at_non_negative_thresholds(self, make, threshold):
        cache = make("merge", 2, 2, merge_every=1, threshold=threshold)
        cache.append([1.0, 0.0], [1.0, 0.0])
        cache.append([0.0, 1.0], [0.0, 1.0])
        assert cache.current_len() == 2

    def test_opposite_keys_stay_apart_even_at_minus_one(self, make):
        assert float(similarity(vector([1, 0]), vector([-1, 0]))) == -1.0
        cache = make("merge", 2, 2, merge_every=1, threshold=-1.0)
        cache.append([1.0, 0.0], [1.0, 0.0])
        cache.append([-1.0, 0.0], [0.0, 1.0])
        assert cache.current_len() == 2
        assert cache.stats()["total_merges"] == 0

    def test_zero_keys(self, make):
        # Similarity 0 (epsilon keeps the denominator positive): apart at
        # 0.90, merged at -1.0 with weights 0 and 1, i.e. into the newer one.
        for threshold, held in ((0.90, [0, 1]), (-1.0, [1])):
            cache = make("merge", 3, 2, merge_every=1, threshold=threshold)
            merges_per_append(cache, [[0.0, 0.0, 0.0], [0.0, -0.0, 0.0]], one_hots(2))
            assert census(cache, 3) == held

    def test_zero_key_beside_a_finite_key(self):
        entries = [([0.0, 0.0], [3.0, 4.0]), ([2.0, -7.0], [5.0, 6.0])]
        ext, ref = pair(2, 2, entries, strategy="merge", merge_every=1, threshold=-0.5)
        assert_holds(ext, 2, 2, [[2.0, -7.0]], [[5.0, 6.0]])
        assert_consistent(ext, ref)

    def test_threshold_one_is_strict(self, make):
        # Sixty-four ones: similarity exactly 1.0, not above 1.0.
        cache = make("merge", 64, 1, merge_every=1, threshold=1.0)
        cache.append(ONES64, [1.0])
        cache.append(ONES64, [2.0])
        assert cache.current_len() == 2
        # (1, 1): rounding lifts the similarity to 1.0000001, which merges,
        # giving the newer value a tiny negative weight.
        assert bits(similarity(vector([1, 1]), vector([1, 1]))) == bits(f32(1.0000001))
        cache = make("merge", 2, 2, merge_every=1, threshold=1.0)
        cache.append([1.0, 1.0], [1.0, 3.0])
        cache.append([1.0, 1.0], [2.0, -5.0])
        assert cache.current_len() == 1
        s = F32(1.0000001)
        w = F32(1) - s
        expected = [F32(1.0) * s + F32(2.0) * w, F32(3.0) * s + F32(-5.0) * w]
        assert comparable(cache.attend([1.0, 1.0])) == comparable(expected)

    @pytest.mark.parametrize("threshold", [1.5, math.inf, math.nan])
    def test_thresholds_that_merge_nothing(self, make, threshold):
        cache = make("merge", 2, 20, merge_every=1, threshold=threshold)
        assert merges_per_append(cache, [[1.0, 1.0]] * 20, one_hots(20)) == [0] * 20
        assert census(cache, 2) == list(range(20))

    def test_negative_threshold_merges_with_negative_weights(self):
        ext, ref = pair(2, 2, 0, strategy="merge", merge_every=1, threshold=-1.0)
        for k, v in (([1.0, 0.0], [1.0, 2.0]), ([-1.0, 0.25], [3.0, -4.0]), ([0.5, 0.5], [0.0, 1.0])):
            append(k, v, ext, ref)
            assert_consistent(ext, ref)
        # The first pair (similarity about -0.97) and then the blend with the
        # third key both pass a threshold of -1.
        assert ext.stats()["total_merges"] == 2
        assert float(similarity(vector([1.0, 0.0]), vector([-1.0, 0.25]))) < -0.9

    @pytest.mark.parametrize("keys", [
        ([math.nan, 1.0], [math.nan, 1.0]),
        ([math.inf, 0.0], [math.inf, 0.0]),
        ([1.0, 1.0], [1.0, math.nan]),
        ([-math.inf, 1.0], [1.0, 1.0]),
    ])
    def test_non_finite_keys_never_merge(self, make, keys):
        cache = make("merge", 2, 1, merge_every=1, threshold=-1.0)
        assert merges_per_append(cache, keys, [[1.0], [2.0]]) == [0, 0]
        assert cache.current_len() == 2

    def test_every_append_merges_with_period_one(self, make):
        cache = make("merge", 64, 8, merge_every=1)
        assert merges_per_append(cache, [ONES64] * 8, one_hots(8)) == [0] + [1] * 7
        assert census(cache, 64) == [0]

    def test_period_longer_than_the_appends_never_merges(self, make):
        cache = make("merge", 64, 9, merge_every=10)
        assert merges_per_append(cache, [ONES64] * 9, one_hots(9)) == [0] * 9
        assert census(cache, 64) == list(range(9))

    def test_clear_restarts_the_schedule(self, make):
        cache = make("merge", 64, 9, merge_every=3)
        assert merges_per_append(cache, [ONES64] * 5, one_hots(9, 0, 5)) == [0, 0, 0, 2, 0]
        cache.clear()
        # Were the schedule to go on from position 5, the second append here
        # (position 6) would run a pass.
        assert merges_per_append(cache, [ONES64] * 4, one_hots(9, 5)) == [0, 0, 0, 2]
        assert census(cache, 64) == [5, 7]
        assert cache.stats()["total_merges"] == 4

    def test_similarities_come_from_the_entries_before_the_pass(self):
        # Keys a, b, c where a ~ b and b ~ c: the pair (a, b) merges, and c is
        # not compared with the merged entry, so it stays alone.
        keys = [[1.0, 0.0], [1.0, 0.1], [1.0, 0.2]]
        ext, ref = pair(2, 3, list(zip(keys, one_hots(3))), strategy="merge", merge_every=2)
        assert ext.current_len() == 2
        assert_consistent(ext, ref)


# ---------------------------------------------------------------------------
# hybrid
# ---------------------------------------------------------------------------


class TestHybrid:
    def test_defaults_first_pass_on_append_37(self, make):
        cache = make("hybrid", 64, 40)
        assert merges_per_append(cache, [ONES64] * 40, one_hots(40)) == [0] * 36 + [2, 0, 0, 0]
        assert census(cache, 64) == list(range(33)) + [34, 36, 37, 38, 39]

    def test_nine_appends_with_prefix_two(self, make):
        cache = make("hybrid", 64, 9, static_k=2, merge_every=4, threshold=0.90)
        assert merges_per_append(cache, [ONES64] * 9, one_hots(9)) == [0, 0, 0, 0, 1, 0, 0, 0, 3]
        assert census(cache, 64) == [0, 1, 2, 5, 7]

    def test_single_entry_past_the_prefix_is_left_alone(self, make):
        cache = make("hybrid", 64, 7, static_k=3, merge_every=3)
        # Append 4 is a trigger with static_k + 1 entries; append 7 runs the
        # pass over the four entries after the prefix.
        assert merges_per_append(cache, [ONES64] * 7, one_hots(7)) == [0, 0, 0, 0, 0, 0, 2]
        assert census(cache, 64) == [0, 1, 2, 3, 5]

    def test_prefix_covering_every_entry(self, make):
        cache = make("hybrid", 64, 30, static_k=30, merge_every=1)
        assert merges_per_append(cache, [ONES64] * 30, one_hots(30)) == [0] * 30
        assert census(cache, 64) == list(range(30))

    def test_prefix_equal_to_later_entries_is_kept(self, make):
        cache = make("hybrid", 64, 20, static_k=4, merge_every=1)
        assert merges_per_append(cache, [ONES64] * 20, one_hots(20)) == [0] * 5 + [1] * 15
        assert census(cache, 64) == [0, 1, 2, 3, 4]

    def test_prefix_kept_bit_for_bit_among_merges(self):
        # Odd prefix values (subnormals, values not exact in decimal) and a
        # tail whose drifting keys merge and blend on every pass.
        rng = np.random.default_rng(11)
        prefix = [
            ([0.1, -0.2, 0.3, 1e-39, 7.0], [1e-40, -3.3, 0.7, 2.0**-140]),
            ([0.1, -0.2, 0.3, 1e-39, 7.0], [5.5, 1e-38, -0.0, 0.3]),
            ([0.11, -0.21, 0.29, 0.0, 6.9], [-2.5, 0.1, 1e-45, 9.0]),
        ]
        ext, ref = pair(5, 4, prefix, strategy="hybrid", static_k=3, merge_every=1, threshold=0.5)
        key = np.array(prefix[2][0], dtype=np.float32)
        for _ in range(60):
            key = (key + rng.standard_normal(5).astype(np.float32) * F32(0.05)).astype(np.float32)
            append(list(map(float, key)), random_floats(rng, 4), ext, ref)
        assert ref.total_merges > 20
        for (k, v), (rk, rv) in zip(prefix, ref.entries()[:3]):
            assert comparable(vector(k)) == comparable(rk) and comparable(vector(v)) == comparable(rv)
        assert_consistent(ext, ref)

    def test_no_prefix_behaves_as_merge(self):
        rng = np.random.default_rng(12)
        hybrid = PyKVCache(d_k=9, d_v=3, strategy="hybrid", static_k=0, merge_every=3, threshold=0.9)
        merge, ref = pair(9, 3, 0, strategy="merge", merge_every=3, threshold=0.9)
        gen = KeyStream(rng, 9)
        for i in range(300):
            append(gen.next(), random_floats(rng, 3), hybrid, merge, ref)
            h, m = hybrid.stats(), merge.stats()
            assert h.pop("strategy") == "hybrid" and m.pop("strategy") == "merge"
            assert h == m
            if i % 10 == 0:
                for q in probe_queries(ref.keys, 9, seed=i):
                    assert comparable(hybrid.attend(q)) == comparable(merge.attend(q)) == ref.attend_bits(q)
        assert ref.total_merges > 30

    def test_threshold_above_one_keeps_everything_in_order(self, make):
        rng = np.random.default_rng(13)
        cache = make("hybrid", 3, 2, static_k=2, merge_every=1, threshold=1.5)
        keys = [random_floats(rng, 3) for _ in range(15)]
        keys[5] = keys[6] = keys[7] = [1.0, 1.0, 1.0]
        values = [random_floats(rng, 2) for _ in range(15)]
        assert merges_per_append(cache, keys, values) == [0] * 15
        assert_holds(cache, 3, 2, keys, values)

    def test_clear_refills_the_prefix(self, make):
        cache = make("hybrid", 64, 9, static_k=2, merge_every=1)
        merges_per_append(cache, [ONES64] * 5, one_hots(9, 0, 5))
        assert census(cache, 64) == [0, 1, 2]
        cache.clear()
        assert merges_per_append(cache, [ONES64] * 4, one_hots(9, 5)) == [0, 0, 0, 1]
        assert census(cache, 64) == [5, 6, 7]


# ---------------------------------------------------------------------------
# Long seeded sequences against the model
# ---------------------------------------------------------------------------


class KeyStream:
    """Keys with structure enough for merges to happen: exact repeats,
    slow drifts, parallel rescalings and sign flips of the previous key,
    mixed with fresh random keys and the odd all-zero key."""

    def __init__(self, rng, d_k):
        self.rng = rng
        self.d_k = d_k
        self.key = self.fresh()

    def fresh(self):
        return (self.rng.standard_normal(self.d_k) * 2.0 ** self.rng.integers(-3, 4)).astype(np.float32)

    def next(self):
        rng, key = self.rng, self.key
        kind = rng.choice(["repeat", "drift", "wander", "scale", "flip", "fresh", "zero"],
                          p=[0.2, 0.3, 0.15, 0.1, 0.05, 0.15, 0.05])
        scale = F32(np.sqrt(float(np.abs(key).max()) + 1e-3))
        if kind == "drift":
            key = key + rng.standard_normal(self.d_k).astype(np.float32) * F32(0.03) * scale
        elif kind == "wander":
            key = key + rng.standard_normal(self.d_k).astype(np.float32) * F32(0.3) * scale
        elif kind == "scale":
            key = key * F32(rng.choice([0.5, 2.0, 3.0, 0.7]))
        elif kind == "flip":
            key = -key
        elif kind == "fresh":
            key = self.fresh()
        elif kind == "zero":
            key = np.zeros(self.d_k, dtype=np.float32)
        if kind != "zero":
            self.key = key.astype(np.float32)
        return [float(x) for x in key.astype(np.float32)]


LONG_RUNS = [
    ("full", 400, {}),
    ("sliding", 2500, {"window_size": 37}),
    ("sliding", 300, {"window_size": 1}),
    ("static", 2500, {"static_k": 10, "recent_k": 25}),
    ("static", 600, {"static_k": 0, "recent_k": 16}),
    ("static", 400, {"static_k": 7, "recent_k": 0}),
    ("merge", 3000, {"merge_every": 4, "threshold": 0.9}),
    ("merge", 2000, {"merge_every": 1, "threshold": 0.99}),
    ("merge", 2000, {"merge_every": 3, "threshold": -0.2}),
    ("merge", 2000, {"merge_every": 2, "threshold": 0.9995}),
    ("hybrid", 3000, {"static_k": 5, "merge_every": 4, "threshold": 0.9}),
    ("hybrid", 2000, {"static_k": 0, "merge_every": 2, "threshold": 0.95}),
    ("hybrid", 2000, {"static_k": 40, "merge_every": 1, "threshold": 0.8}),
    ("hybrid", 2000, {"static_k": 3, "merge_every": 5, "threshold": 0.999}),
]


def run_long(strategy, appends, params, seed, d_k=13, d_v=5, check_every=150):
    """Drives the extension and the model with one seeded sequence, with a
    clear somewhere in it; compares stats after every append and the held
    entries through attend every `check_every` appends. Returns the model."""
    rng = np.random.default_rng(seed)
    ext, ref = pair(d_k, d_v, 0, strategy=strategy, **params)
    keys = KeyStream(rng, d_k)
    clear_at = int(rng.integers(appends // 3, 2 * appends // 3))
    for i in range(appends):
        if i == clear_at:
            ext.clear()
            ref.clear()
            assert ext.current_len() == 0
        k = keys.next()
        v = [float(x) for x in rng.standard_normal(d_v).astype(np.float32)]
        append(k, v, ext, ref)
        assert ext.stats() == ref.stats(), i
        if i % check_every == check_every - 1 or i == clear_at - 1:
            assert_consistent(ext, ref, seed=i)
    assert_consistent(ext, ref, seed=appends)
    return ref


@pytest.mark.parametrize("strategy, appends, params", LONG_RUNS,
                         ids=[f"{s}-{'-'.join(map(str, p.values()))}" for s, _, p in LONG_RUNS])
def test_long_sequence_matches_model(strategy, appends, params):
    seed = 100 + LONG_RUNS.index((strategy, appends, params))
    ref = run_long(strategy, appends, params, seed=seed)
    if strategy in ("merge", "hybrid"):
        # The sequence must actually exercise the merging pass.
        assert ref.total_merges > appends // 20


def test_long_sequence_key_lengths():
    # Key lengths that are multiples of eight, or shorter than one block.
    for d_k, d_v in ((16, 8), (3, 1), (24, 0), (8, 17)):
        run_long("hybrid", 500, {"static_k": 4, "merge_every": 3, "threshold": 0.9}, seed=d_k, d_k=d_k, d_v=d_v)
        run_long("merge", 500, {"merge_every": 2, "threshold": 0.95}, seed=d_k + 1, d_k=d_k, d_v=d_v)
