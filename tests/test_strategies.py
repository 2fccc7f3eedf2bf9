"""The five strategies, checked against the float32 reference model.

The extension has no accessor for the held entries, so they are pinned down
through what it does expose:

- `census`: every value is one-hot (component j set for the j-th append)
  and the query is zero, so every held entry weighs exactly 1/n and the
  output shows which appends are held, one component each. Merging equal
  keys has similarity exactly 1.0 and keeps the older value as it was, so
  the census also works across merges of equal keys.
- `assert_same_state`: current_len and stats equal the model's, and attend
  gives the model's bits for queries along held keys and random directions,
  scaled so that a last-bit change in any key or value shows.
"""

import math
import subprocess
import sys

import numpy as np
import pytest

from _marrowvale import PyKVCache
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


def caches(strategy, d_k, d_v, **params):
    return PyKVCache(d_k=d_k, d_v=d_v, strategy=strategy, **params), RefCache(d_k, d_v, strategy, **params)


@pytest.fixture(params=["extension", "model"])
def make(request):
    """Builds either cache: the worked examples hold for the extension and,
    as a check on the model itself, for the reference model too."""
    if request.param == "extension":
        return lambda strategy, d_k, d_v, **params: PyKVCache(d_k=d_k, d_v=d_v, strategy=strategy, **params)
    return lambda strategy, d_k, d_v, **params: RefCache(d_k, d_v, strategy, **params)


def one_hot(j, n):
    v = [0.0] * n
    v[j] = 1.0
    return v


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


def merges_per_append(cache, keys, values):
    """Appends each pair and returns how many entries each append took away."""
    counts = []
    for k, v in zip(keys, values):
        before = cache.stats()["total_merges"]
        cache.append(k, v)
        counts.append(cache.stats()["total_merges"] - before)
    return counts


def assert_same_state(ext, ref, seed=0):
    assert ext.current_len() == ref.current_len()
    assert ext.stats() == ref.stats()
    for q in probe_queries(ref.keys, ref.d_k, seed):
        assert comparable(ext.attend(q)) == ref.attend_bits(q), q


def assert_holds(ext, d_k, d_v, keys, values):
    """The cache holds exactly these entries, oldest first, as far as attend
    on probing queries can tell."""
    keys = [vector(k) for k in keys]
    values = [vector(v) for v in values]
    assert ext.current_len() == len(keys)
    for q in probe_queries(keys, d_k, seed=len(keys)):
        assert comparable(ext.attend(q)) == comparable(attention(keys, values, q, d_k, d_v)), q


def run_isolated(code):
    """Runs code in a fresh interpreter, so that a crash of the extension
    fails one test instead of ending the run."""
    done = subprocess.run([sys.executable, "-c", "import _marrowvale as m\n" + code],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, f"exit {done.returncode}: {done.stderr[-2000:]}"
    return done.stdout.split()


# ---------------------------------------------------------------------------
# full
# ---------------------------------------------------------------------------


class TestFull:
    def test_keeps_everything_in_order(self):
        ext, ref = caches("full", 3, 12)
        rng = np.random.default_rng(1)
        for j in range(12):
            k = [float(x) for x in rng.standard_normal(3)]
            ext.append(k, one_hot(j, 12))
            ref.append(k, one_hot(j, 12))
        assert census(ext, 3) == list(range(12))
        assert ext.stats() == {"total_appends": 12, "total_merges": 0, "total_evictions": 0,
                               "current_size": 12, "compression_ratio": 1.0, "strategy": "full"}
        assert_same_state(ext, ref)


# ---------------------------------------------------------------------------
# sliding
# ---------------------------------------------------------------------------


class TestSliding:
    def test_window_512_over_600_appends(self):
        ext, ref = caches("sliding", 1, 600, window_size=512)
        for j in range(600):
            ext.append([j / 64], one_hot(j, 600))
            ref.append([j / 64], one_hot(j, 600))
            assert ext.current_len() == min(j + 1, 512)
        assert census(ext, 1) == list(range(88, 600))
        assert ext.stats()["total_merges"] == 88
        assert ext.stats()["total_evictions"] == 0
        assert_same_state(ext, ref)

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
        counts = merges_per_append(cache, [[float(j)] for j in range(7)], [one_hot(j, 7) for j in range(7)])
        assert counts == [0] * 6 + [1]
        assert census(cache, 1) == [1, 2, 3, 4, 5, 6]

    def test_window_one_ratio(self, make):
        cache = make("sliding", 1, 3, window_size=1)
        for j in range(3):
            cache.append([1.0], one_hot(j, 3))
        assert cache.stats()["current_size"] == 1
        assert cache.stats()["compression_ratio"] == 0.3333333432674408
        assert census(cache, 1) == [2]

    def test_largest_window_never_drops(self, make):
        cache = make("sliding", 1, 1, window_size=U64_MAX)
        for j in range(20):
            cache.append([1.0], [float(j)])
        assert cache.current_len() == 20
        assert cache.stats()["total_merges"] == 0


# ---------------------------------------------------------------------------
# static
# ---------------------------------------------------------------------------


class TestStatic:
    def test_prefix_32_recent_128_over_200_appends(self):
        ext, ref = caches("static", 1, 200, static_k=32, recent_k=128)
        for j in range(200):
            ext.append([j / 64], one_hot(j, 200))
            ref.append([j / 64], one_hot(j, 200))
            assert ext.current_len() == min(j + 1, 160)
        assert census(ext, 1) == list(range(32)) + list(range(72, 200))
        assert ext.stats()["total_merges"] == 40
        assert ext.stats()["total_evictions"] == 0
        assert_same_state(ext, ref)

    def test_exactly_the_limit_drops_nothing(self, make):
        cache = make("static", 1, 8, static_k=3, recent_k=4)
        counts = merges_per_append(cache, [[1.0]] * 8, [one_hot(j, 8) for j in range(8)])
        assert counts == [0] * 7 + [1]
        assert census(cache, 1) == [0, 1, 2, 4, 5, 6, 7]

    def test_no_prefix_is_a_sliding_window(self):
        rng = np.random.default_rng(3)
        static = PyKVCache(d_k=4, d_v=3, strategy="static", static_k=0, recent_k=5)
        sliding = PyKVCache(d_k=4, d_v=3, strategy="sliding", window_size=5)
        for _ in range(30):
            k = [float(x) for x in rng.standard_normal(4)]
            v = [float(x) for x in rng.standard_normal(3)]
            static.append(k, v)
            sliding.append(k, v)
            for q in ([0.0] * 4, k):
                assert comparable(static.attend(q)) == comparable(sliding.attend(q))
            s, w = static.stats(), sliding.stats()
            assert s.pop("strategy") == "static" and w.pop("strategy") == "sliding"
            assert s == w

    def test_no_recent_entries_keeps_only_the_prefix(self, make):
        cache = make("static", 1, 9, static_k=4, recent_k=0)
        counts = merges_per_append(cache, [[1.0]] * 9, [one_hot(j, 9) for j in range(9)])
        assert counts == [0] * 4 + [1] * 5
        assert census(cache, 1) == [0, 1, 2, 3]

    def test_both_zero_keeps_nothing(self, make):
        cache = make("static", 1, 1, static_k=0, recent_k=0)
        for j in range(4):
            cache.append([1.0], [2.0])
            assert cache.current_len() == 0
        assert cache.stats()["total_merges"] == 4

    def test_prefix_longer_than_the_appends(self, make):
        cache = make("static", 1, 10, static_k=50, recent_k=0)
        for j in range(10):
            cache.append([1.0], one_hot(j, 10))
        assert census(cache, 1) == list(range(10))

    @pytest.mark.parametrize("static_k, recent_k", [
        (U64_MAX, 5), (3, U64_MAX), (2**63, 2**63), (U64_MAX, U64_MAX), (2**64 - 2, 2),
    ])
    def test_limit_beyond_64_bits_saturates(self, static_k, recent_k):
        # A wrapped sum would make the limit tiny and the removal index lie
        # past the end of the list.
        model = RefCache(1, 1, "static", static_k=static_k, recent_k=recent_k)
        for j in range(12):
            model.append([1.0], [float(j)])
        assert (model.current_len(), model.total_merges) == (12, 0)
        out = run_isolated(
            f"c = m.PyKVCache(d_k=1, d_v=1, strategy='static', static_k={static_k}, recent_k={recent_k})\n"
            "for j in range(12): c.append([1.0], [float(j)])\n"
            "print(c.current_len(), c.stats()['total_merges'])\n")
        assert out == ["12", "0"]


# ---------------------------------------------------------------------------
# merge
# ---------------------------------------------------------------------------


class TestMerge:
    def test_worked_pair(self):
        # (3, 4) and (4, 3): similarity 24 / 25 = 0.95999998 merges the pair
        # into key (3.04, 3.96) and value (0.95999998, 0.04000002). The third
        # key is orthogonal to (4, 3) and stays alone.
        ext, ref = caches("merge", 2, 2, merge_every=2)
        entries = [([3.0, 4.0], [1.0, 0.0]), ([4.0, 3.0], [0.0, 1.0]), ([-3.0, 4.0], [5.0, -1.0])]
        for k, v in entries:
            ext.append(k, v)
            ref.append(k, v)
        assert float(similarity(vector([3, 4]), vector([4, 3]))) == float(f32(0.95999998))
        assert ext.stats()["total_merges"] == 1
        assert_holds(ext, 2, 2, [[3.04, 3.96], [-3.0, 4.0]], [[0.95999998, 0.04000002], [5.0, -1.0]])
        assert_same_state(ext, ref)

    def test_worked_pair_alone_gives_the_blended_value(self, make):
        cache = make("merge", 2, 2, merge_every=1)
        cache.append([3.0, 4.0], [1.0, 0.0])
        cache.append([4.0, 3.0], [0.0, 1.0])
        assert cache.current_len() == 1
        assert comparable(cache.attend([1.0, -1.0])) == (bits(f32(0.95999998)), bits(f32(0.04000002)))

    def test_nine_appends_with_defaults(self):
        ext, ref = caches("merge", 64, 2)
        values = [[float(k), float(k)] for k in range(1, 10)]
        lengths = []
        counts = []
        for v in values:
            before = ext.stats()["total_merges"]
            ext.append(ONES64, v)
            ref.append(ONES64, v)
            counts.append(ext.stats()["total_merges"] - before)
            lengths.append(ext.current_len())
        assert counts == [0, 0, 0, 0, 2, 0, 0, 0, 3]
        assert lengths == [1, 2, 3, 4, 3, 4, 5, 6, 4]
        assert ext.stats()["total_merges"] == 5
        assert ext.stats()["current_size"] == 4
        assert_holds(ext, 64, 2, [ONES64] * 4, [[1, 1], [5, 5], [7, 7], [9, 9]])
        assert_same_state(ext, ref)

    def test_nine_appends_census(self, make):
        cache = make("merge", 64, 9)
        for j in range(9):
            cache.append(ONES64, one_hot(j, 9))
        assert census(cache, 64) == [0, 4, 6, 8]

    def test_three_equal_keys_leave_two_entries(self, make):
        cache = make("merge", 64, 3, merge_every=2)
        counts = merges_per_append(cache, [ONES64] * 3, [one_hot(j, 3) for j in range(3)])
        assert counts == [0, 0, 1]
        assert census(cache, 64) == [0, 2]

    def test_orthogonal_then_equal_pair(self):
        # A = (1, 0, 0) and B = (0, 3, 4), norm 5: A stays, the Bs merge with
        # similarity exactly 25 / 25 = 1.
        ext, ref = caches("merge", 3, 3, merge_every=2)
        keys = [[1.0, 0.0, 0.0], [0.0, 3.0, 4.0], [0.0, 3.0, 4.0]]
        for j, k in enumerate(keys):
            ext.append(k, one_hot(j, 3))
            ref.append(k, one_hot(j, 3))
        assert ext.stats()["total_merges"] == 1
        assert census(ext, 3) == [0, 1]
        assert_same_state(ext, ref)

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
            cache.append([0.0, 0.0, 0.0], one_hot(0, 2))
            cache.append([0.0, -0.0, 0.0], one_hot(1, 2))
            assert census(cache, 3) == held

    def test_zero_key_beside_a_finite_key(self):
        ext, ref = caches("merge", 2, 2, merge_every=1, threshold=-0.5)
        for k, v in (([0.0, 0.0], [3.0, 4.0]), ([2.0, -7.0], [5.0, 6.0])):
            ext.append(k, v)
            ref.append(k, v)
        assert_holds(ext, 2, 2, [[2.0, -7.0]], [[5.0, 6.0]])
        assert_same_state(ext, ref)

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
        counts = merges_per_append(cache, [[1.0, 1.0]] * 20, [one_hot(j, 20) for j in range(20)])
        assert counts == [0] * 20
        assert census(cache, 2) == list(range(20))

    def test_negative_threshold_merges_with_negative_weights(self):
        ext, ref = caches("merge", 2, 2, merge_every=1, threshold=-1.0)
        for k, v in (([1.0, 0.0], [1.0, 2.0]), ([-1.0, 0.25], [3.0, -4.0]), ([0.5, 0.5], [0.0, 1.0])):
            ext.append(k, v)
            ref.append(k, v)
            assert_same_state(ext, ref)
        # The first pair (similarity about -0.97) and then the blend with the
        # third key both pass a threshold of -1.
        assert ext.stats()["total_merges"] == 2
        assert float(similarity(vector([1.0, 0.0]), vector([-1.0, 0.25]))) < -0.9

    @pytest.mark.parametrize("pair", [
        ([math.nan, 1.0], [math.nan, 1.0]),
        ([math.inf, 0.0], [math.inf, 0.0]),
        ([1.0, 1.0], [1.0, math.nan]),
        ([-math.inf, 1.0], [1.0, 1.0]),
    ])
    def test_non_finite_keys_never_merge(self, make, pair):
        cache = make("merge", 2, 1, merge_every=1, threshold=-1.0)
        cache.append(pair[0], [1.0])
        cache.append(pair[1], [2.0])
        assert cache.current_len() == 2
        assert cache.stats()["total_merges"] == 0

    def test_every_append_merges_with_period_one(self, make):
        cache = make("merge", 64, 8, merge_every=1)
        counts = merges_per_append(cache, [ONES64] * 8, [one_hot(j, 8) for j in range(8)])
        assert counts == [0] + [1] * 7
        assert census(cache, 64) == [0]

    def test_period_longer_than_the_appends_never_merges(self, make):
        cache = make("merge", 64, 9, merge_every=10)
        counts = merges_per_append(cache, [ONES64] * 9, [one_hot(j, 9) for j in range(9)])
        assert counts == [0] * 9
        assert census(cache, 64) == list(range(9))

    @pytest.mark.parametrize("strategy", ["merge", "hybrid"])
    def test_period_zero_never_merges(self, strategy):
        model = RefCache(2, 1, strategy, static_k=0, merge_every=0)
        for j in range(12):
            model.append([1.0, 1.0], [float(j)])
        assert (model.current_len(), model.total_merges) == (12, 0)
        out = run_isolated(
            f"c = m.PyKVCache(d_k=2, d_v=1, strategy='{strategy}', static_k=0, merge_every=0)\n"
            "for j in range(12): c.append([1.0, 1.0], [float(j)])\n"
            "print(c.current_len(), c.stats()['total_merges'])\n")
        assert out == ["12", "0"]

    def test_clear_restarts_the_schedule(self, make):
        cache = make("merge", 64, 9, merge_every=3)
        counts = merges_per_append(cache, [ONES64] * 5, [one_hot(j, 9) for j in range(5)])
        assert counts == [0, 0, 0, 2, 0]
        cache.clear()
        # Were the schedule to go on from position 5, the second append here
        # (position 6) would run a pass.
        counts = merges_per_append(cache, [ONES64] * 4, [one_hot(j, 9) for j in range(5, 9)])
        assert counts == [0, 0, 0, 2]
        assert census(cache, 64) == [5, 7]
        assert cache.stats()["total_merges"] == 4

    def test_similarities_come_from_the_entries_before_the_pass(self):
        # Keys a, b, c where a ~ b and b ~ c: the pair (a, b) merges, and c is
        # not compared with the merged entry, so it stays alone.
        ext, ref = caches("merge", 2, 3, merge_every=2)
        for j, k in enumerate(([1.0, 0.0], [1.0, 0.1], [1.0, 0.2])):
            ext.append(k, one_hot(j, 3))
            ref.append(k, one_hot(j, 3))
        assert ext.current_len() == 2
        assert_same_state(ext, ref)


# ---------------------------------------------------------------------------
# hybrid
# ---------------------------------------------------------------------------


class TestHybrid:
    def test_defaults_first_pass_on_append_37(self, make):
        cache = make("hybrid", 64, 40)
        counts = merges_per_append(cache, [ONES64] * 40, [one_hot(j, 40) for j in range(40)])
        assert counts == [0] * 36 + [2, 0, 0, 0]
        assert census(cache, 64) == list(range(33)) + [34, 36, 37, 38, 39]

    def test_nine_appends_with_prefix_two(self):
        ext, ref = caches("hybrid", 64, 2, static_k=2, merge_every=4, threshold=0.90)
        counts = []
        for k in range(1, 10):
            before = ext.stats()["total_merges"]
            ext.append(ONES64, [float(k), float(k)])
            ref.append(ONES64, [float(k), float(k)])
            counts.append(ext.stats()["total_merges"] - before)
        assert counts == [0, 0, 0, 0, 1, 0, 0, 0, 3]
        assert ext.stats()["total_merges"] == 4
        assert ext.stats()["current_size"] == 5
        assert_holds(ext, 64, 2, [ONES64] * 5, [[1, 1], [2, 2], [3, 3], [6, 6], [8, 8]])
        assert_same_state(ext, ref)

    def test_nine_appends_with_prefix_two_census(self, make):
        cache = make("hybrid", 64, 9, static_k=2)
        for j in range(9):
            cache.append(ONES64, one_hot(j, 9))
        assert census(cache, 64) == [0, 1, 2, 5, 7]

    def test_single_entry_past_the_prefix_is_left_alone(self, make):
        cache = make("hybrid", 64, 7, static_k=3, merge_every=3)
        counts = merges_per_append(cache, [ONES64] * 7, [one_hot(j, 7) for j in range(7)])
        # Append 4 is a trigger with static_k + 1 entries; append 7 runs the
        # pass over the four entries after the prefix.
        assert counts == [0, 0, 0, 0, 0, 0, 2]
        assert census(cache, 64) == [0, 1, 2, 3, 5]

    def test_prefix_covering_every_entry(self, make):
        cache = make("hybrid", 64, 30, static_k=30, merge_every=1)
        counts = merges_per_append(cache, [ONES64] * 30, [one_hot(j, 30) for j in range(30)])
        assert counts == [0] * 30
        assert census(cache, 64) == list(range(30))

    def test_prefix_equal_to_later_entries_is_kept(self, make):
        cache = make("hybrid", 64, 20, static_k=4, merge_every=1)
        counts = merges_per_append(cache, [ONES64] * 20, [one_hot(j, 20) for j in range(20)])
        assert counts == [0] * 5 + [1] * 15
        assert census(cache, 64) == [0, 1, 2, 3, 4]

    def test_prefix_kept_bit_for_bit_among_merges(self):
        # Odd prefix values (subnormals, values not exact in decimal) and a
        # tail whose drifting keys merge and blend on every pass.
        rng = np.random.default_rng(11)
        ext, ref = caches("hybrid", 5, 4, static_k=3, merge_every=1, threshold=0.5)
        prefix = [
            ([0.1, -0.2, 0.3, 1e-39, 7.0], [1e-40, -3.3, 0.7, 2.0**-140]),
            ([0.1, -0.2, 0.3, 1e-39, 7.0], [5.5, 1e-38, -0.0, 0.3]),
            ([0.11, -0.21, 0.29, 0.0, 6.9], [-2.5, 0.1, 1e-45, 9.0]),
        ]
        for k, v in prefix:
            ext.append(k, v)
            ref.append(k, v)
        key = np.array(prefix[2][0], dtype=np.float32)
        for _ in range(60):
            key = (key + rng.standard_normal(5).astype(np.float32) * F32(0.05)).astype(np.float32)
            v = [float(x) for x in rng.standard_normal(4).astype(np.float32)]
            ext.append(list(map(float, key)), v)
            ref.append(list(map(float, key)), v)
        assert ref.total_merges > 20
        for (k, v), (rk, rv) in zip(prefix, ref.entries()[:3]):
            assert comparable(vector(k)) == comparable(rk) and comparable(vector(v)) == comparable(rv)
        assert_same_state(ext, ref)

    def test_no_prefix_behaves_as_merge(self):
        rng = np.random.default_rng(12)
        hybrid = PyKVCache(d_k=9, d_v=3, strategy="hybrid", static_k=0, merge_every=3, threshold=0.9)
        merge, ref = caches("merge", 9, 3, merge_every=3, threshold=0.9)
        gen = KeyStream(rng, 9)
        for i in range(300):
            k = gen.next()
            v = [float(x) for x in rng.standard_normal(3).astype(np.float32)]
            for c in (hybrid, merge, ref):
                c.append(k, v)
            h, m = hybrid.stats(), merge.stats()
            assert h.pop("strategy") == "hybrid" and m.pop("strategy") == "merge"
            assert h == m
            if i % 10 == 0:
                for q in probe_queries(ref.keys, 9, seed=i):
                    assert comparable(hybrid.attend(q)) == comparable(merge.attend(q)) == ref.attend_bits(q)
        assert ref.total_merges > 30

    @pytest.mark.parametrize("static_k", [U64_MAX, U64_MAX - 1, U64_MAX - 2])
    def test_largest_prefixes_never_run_the_pass(self, static_k):
        # static_k + 1 and static_k + 2 wrap in 64 bits; the length test must
        # not, or the tail would be cut from far past the end of the list.
        model = RefCache(2, 1, "hybrid", static_k=static_k, merge_every=1)
        for j in range(12):
            model.append([1.0, 1.0], [float(j)])
        assert (model.current_len(), model.total_merges) == (12, 0)
        out = run_isolated(
            f"c = m.PyKVCache(d_k=2, d_v=1, strategy='hybrid', static_k={static_k}, merge_every=1)\n"
            "for j in range(12): c.append([1.0, 1.0], [float(j)])\n"
            "print(c.current_len(), c.stats()['total_merges'])\n")
        assert out == ["12", "0"]

    def test_threshold_above_one_keeps_everything_in_order(self, make):
        rng = np.random.default_rng(13)
        cache = make("hybrid", 3, 2, static_k=2, merge_every=1, threshold=1.5)
        keys = [[float(x) for x in rng.standard_normal(3).astype(np.float32)] for _ in range(15)]
        keys[5] = keys[6] = keys[7] = [1.0, 1.0, 1.0]
        values = [[float(x) for x in rng.standard_normal(2).astype(np.float32)] for _ in range(15)]
        counts = merges_per_append(cache, keys, values)
        assert counts == [0] * 15
        assert_holds(cache, 3, 2, keys, values)

    def test_clear_refills_the_prefix(self, make):
        cache = make("hybrid", 64, 9, static_k=2, merge_every=1)
        for j in range(5):
            cache.append(ONES64, one_hot(j, 9))
        assert census(cache, 64) == [0, 1, 2]
        cache.clear()
        counts = merges_per_append(cache, [ONES64] * 4, [one_hot(j, 9) for j in range(5, 9)])
        assert counts == [0, 0, 0, 1]
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
    ext, ref = caches(strategy, d_k, d_v, **params)
    keys = KeyStream(rng, d_k)
    clear_at = int(rng.integers(appends // 3, 2 * appends // 3))
    for i in range(appends):
        if i == clear_at:
            ext.clear()
            ref.clear()
            assert ext.current_len() == 0
        k = keys.next()
        v = [float(x) for x in rng.standard_normal(d_v).astype(np.float32)]
        ext.append(k, v)
        ref.append(k, v)
        assert ext.stats() == ref.stats(), i
        if i % check_every == check_every - 1 or i == clear_at - 1:
            assert_same_state(ext, ref, seed=i)
    assert_same_state(ext, ref, seed=appends)
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
