"""Attention output compared bit for bit with the float32 reference model.

The reference (tests/reference.py) computes every rounding step of the
definition in numpy float32; the extension must agree with it on every bit
of every component, except that any NaN matches any NaN.
"""

import math

import numpy as np
import pytest

from _marrowvale import PyKVCache
from helpers import PanicException, pair
from process_memory import quiet_stderr
from reference import (
    DimMismatch,
    F32,
    RefCache,
    attention,
    bits,
    comparable,
    eight_lane_sum,
    plain_sum,
    f32,
    from_bits,
    moderate_query,
    vector,
)

SMALLEST_SUBNORMAL = float(from_bits(0x00000001))
LARGEST_SUBNORMAL = float(from_bits(0x007FFFFF))
SMALLEST_NORMAL = float(from_bits(0x00800000))
LARGEST_FINITE = float(from_bits(0x7F7FFFFF))
INF = math.inf
NAN = math.nan


def assert_attend_matches(ext, ref, q):
    got = ext.attend(q)
    assert isinstance(got, list)
    assert comparable(got) == ref.attend_bits(q), f"query {q!r}"


# ---------------------------------------------------------------------------
# Worked cases with known results
# ---------------------------------------------------------------------------


class TestKnownResults:
    def test_single_entry_returns_its_value_bit_for_bit(self):
        value = [1.5, -0.0, 0.0, SMALLEST_SUBNORMAL, -LARGEST_SUBNORMAL, LARGEST_FINITE,
                 -INF, INF, 0.1, -3.0e-38]
        ext, ref = pair(3, len(value), [([0.25, -2.0, 7.0], value)])
        got = comparable(ext.attend([1.0, 2.0, 3.0]))
        # The output starts at +0.0, so only the sign of a zero is lost.
        expected = tuple(bits(0.0) if x == 0 else bits(f32(x)) for x in value)
        assert got == expected
        assert got == ref.attend_bits([1.0, 2.0, 3.0])

    def test_single_entry_nan_value_component_stays_nan_alone(self):
        ext, _ = pair(2, 3, [([1.0, 1.0], [NAN, 2.0, -0.0])])
        assert comparable(ext.attend([0.5, 0.5])) == ("nan", bits(2.0), bits(0.0))

    def test_two_equal_keys_share_the_weight_equally(self):
        key = [0.3, -1.7, 2.2, 0.0, 5.0]
        ext, ref = pair(5, 2, [(key, [1.0, 0.0]), (key, [0.0, 1.0])])
        for q in ([1.0] * 5, [0.0] * 5, [-3.0, 0.5, 9.0, 1.0, -0.25]):
            assert comparable(ext.attend(q)) == (bits(0.5), bits(0.5))
            assert_attend_matches(ext, ref, q)

    def test_large_scores_do_not_overflow(self):
        # d_k 1 makes the divisor 1, so the scores are exactly 1000 and 999.
        ext, ref = pair(1, 2, [([1000.0], [1.0, 0.0]), ([999.0], [0.0, 1.0])])
        got = comparable(ext.attend([1.0]))
        assert got == (bits(f32(0.7310586)), bits(f32(0.26894143)))
        assert got == ref.attend_bits([1.0])

    def test_score_sum_uses_eight_lanes(self):
        # Summed left to right these products give exactly 1.0; in eight
        # lanes the two 2**-24 terms meet in the pair (1, 5) first and
        # survive, giving 1 + 2**-23. Against a key scoring exactly 1.0, the
        # first entry must then get the larger weight.
        tiny = 2.0**-24
        q = [1.0, tiny, 0.0, 0.0, 0.0, tiny, 0.0, 0.0]
        ones = [1.0] * 8
        unit = [1.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0, 0.0]
        assert float(eight_lane_sum(vector(q) * vector(ones))) == 1.0 + 2.0**-23
        ext, ref = pair(8, 2, [(ones, [1.0, 0.0]), (unit, [0.0, 1.0])])
        got = ext.attend(q)
        assert got[0] > got[1]
        assert comparable(got) != (bits(0.5), bits(0.5))
        assert comparable(got) == ref.attend_bits(q)

    @pytest.mark.parametrize("where", [0, 3, 8, 12])
    def test_nan_in_query_makes_every_component_nan(self, where):
        d_k = 13
        entries = [([float(i + j) for j in range(d_k)], [1.0, -2.0, 3.0]) for i in range(4)]
        ext, ref = pair(d_k, 3, entries)
        q = [0.5] * d_k
        q[where] = NAN
        assert comparable(ext.attend(q)) == ("nan",) * 3
        assert_attend_matches(ext, ref, q)

    def test_infinite_score_makes_every_component_nan(self):
        ext, ref = pair(1, 2, [([1.0], [1.0, 2.0]), ([-1.0], [3.0, 4.0])])
        assert comparable(ext.attend([INF])) == ("nan", "nan")
        assert_attend_matches(ext, ref, [INF])

    def test_all_scores_minus_infinity_make_every_component_nan(self):
        ext, ref = pair(1, 2, [([1.0], [1.0, 2.0]), ([2.0], [3.0, 4.0])])
        assert comparable(ext.attend([-INF])) == ("nan", "nan")
        assert_attend_matches(ext, ref, [-INF])

    def test_minus_infinity_score_beside_a_finite_one_gets_weight_zero(self):
        ext, ref = pair(1, 2, [([-INF], [7.0, -7.0]), ([0.0], [1.0, 2.0])])
        # Score -inf / 1 against score 0: exp(-inf) = 0 exactly.
        assert comparable(ext.attend([1.0])) == (bits(1.0), bits(2.0))
        assert_attend_matches(ext, ref, [1.0])

    def test_underflowing_exponential_gives_weight_zero(self):
        ext, ref = pair(1, 1, [([0.0], [5.0]), ([200.0], [3.0])])
        assert comparable(ext.attend([1.0])) == (bits(3.0),)
        assert_attend_matches(ext, ref, [1.0])

    def test_zero_key_length_with_entries_gives_nan(self):
        ext, ref = pair(0, 3, [([], [1.0, 2.0, 3.0]), ([], [4.0, 5.0, 6.0])])
        assert comparable(ext.attend([])) == ("nan",) * 3
        assert_attend_matches(ext, ref, [])

    @pytest.mark.parametrize("q", [[], [1.0], [1.0] * 4, [NAN] * 9])
    def test_empty_cache_returns_positive_zeros_for_any_query(self, q):
        cleared, _ = pair(4, 5, [([1.0] * 4, [-1.0] * 5)])
        cleared.clear()
        for ext in (PyKVCache(d_k=4, d_v=5), cleared):
            assert comparable(ext.attend(q)) == (bits(0.0),) * 5
        assert comparable(RefCache(4, 5).attend(q)) == (bits(0.0),) * 5

    def test_divisor_is_rounded_square_root_of_key_length(self):
        # For d_k 3 the divisor is sqrt(3) rounded to float32; a score
        # multiplied by a reciprocal instead of divided would differ here.
        entries = [([1.0, 1.0, 1.0], [1.0, 0.0]), ([0.0, 0.0, 0.0], [0.0, 1.0])]
        ext, ref = pair(3, 2, entries)
        for q in ([0.1, 0.2, 0.3], [7.0, 1.0, -2.5], [1e-3, 0.0, 0.0], [33.0, 0.0, 0.0]):
            assert_attend_matches(ext, ref, q)

    def test_subnormal_keys_and_values(self):
        entries = [
            ([SMALLEST_SUBNORMAL, LARGEST_SUBNORMAL, -SMALLEST_NORMAL], [LARGEST_SUBNORMAL, -SMALLEST_SUBNORMAL]),
            ([SMALLEST_NORMAL, -0.0, 1e-40], [SMALLEST_NORMAL, 1e-42]),
            ([1e-39, 1e-39, 1e-39], [-1e-41, 3e-39]),
        ]
        ext, ref = pair(3, 2, entries)
        for q in ([1.0, 1.0, 1.0], [2.0**100, -(2.0**100), 2.0**120], [1e-30, 1e30, 0.0]):
            assert_attend_matches(ext, ref, q)

# ---------------------------------------------------------------------------
# Sweeps over lengths and values against the reference
# ---------------------------------------------------------------------------

KEY_LENGTHS = [1, 2, 7, 8, 9, 15, 16, 17, 24, 31, 33, 64, 71]
VALUE_LENGTHS = [1, 3, 8, 13]
ENTRY_COUNTS = [1, 2, 3, 7, 8, 9, 17]

SPECIALS = [0.0, -0.0, INF, -INF, NAN, SMALLEST_SUBNORMAL, -LARGEST_SUBNORMAL, SMALLEST_NORMAL,
            LARGEST_FINITE, -LARGEST_FINITE, 1e-30, 2.0**-24]


def wide_floats(rng, n):
    """Finite floats spanning many binades, so rounding order matters."""
    mantissa = rng.standard_normal(n)
    exponent = rng.integers(-12, 13, n)
    return [float(F32(m * 2.0**e)) for m, e in zip(mantissa, exponent)]


def sprinkle(rng, xs, rate):
    xs = list(xs)
    for i in range(len(xs)):
        if rng.random() < rate:
            xs[i] = SPECIALS[rng.integers(len(SPECIALS))]
    return xs


def run_sweep(seed=20240611, special_rate=0.0):
    """Compare attend on many shapes and values; returns how many outputs
    were compared and how many of them a left-to-right sum would change."""
    rng = np.random.default_rng(seed)
    compared = order_sensitive = 0
    for d_k in KEY_LENGTHS:
        d_v = VALUE_LENGTHS[d_k % len(VALUE_LENGTHS)]
        for n in ENTRY_COUNTS[d_k % 3::3]:
            entries = [(sprinkle(rng, wide_floats(rng, d_k), special_rate),
                        sprinkle(rng, wide_floats(rng, d_v), special_rate)) for _ in range(n)]
            ext, ref = pair(d_k, d_v, entries)
            queries = [moderate_query(ref.keys, wide_floats(rng, d_k)) for _ in range(3)]
            queries.append([0.0] * d_k)
            queries.append(moderate_query(ref.keys, list(entries[0][0])))
            queries.append(sprinkle(rng, wide_floats(rng, d_k), max(special_rate, 0.05)))
            for q in queries:
                assert_attend_matches(ext, ref, q)
                compared += 1
                plain = attention(ref.keys, ref.values, q, d_k, d_v, sum_rule=plain_sum)
                if comparable(plain) != ref.attend_bits(q):
                    order_sensitive += 1
    return compared, order_sensitive


class TestAgainstReference:
    def test_finite_values_over_many_lengths(self):
        compared, order_sensitive = run_sweep()
        assert compared >= 150
        # The data must be able to expose a wrong summation order.
        assert order_sensitive >= compared // 5

    @pytest.mark.parametrize("seed", [1, 2, 3])
    def test_with_special_values(self, seed):
        run_sweep(seed, special_rate=0.08)

    def test_entry_counts_around_eight(self):
        # The normaliser is an eight-lane sum over the entries.
        rng = np.random.default_rng(5)
        for n in range(1, 26):
            entries = [(wide_floats(rng, 4), wide_floats(rng, 3)) for _ in range(n)]
            ext, ref = pair(4, 3, entries)
            for _ in range(2):
                assert_attend_matches(ext, ref, [float(x) for x in rng.standard_normal(4) * 3])

    def test_outputs_equal_reference_attention_function(self):
        # The cache model and the stand-alone function agree (guards the model).
        rng = np.random.default_rng(9)
        entries = [(wide_floats(rng, 9), wide_floats(rng, 4)) for _ in range(6)]
        ext, ref = pair(9, 4, entries)
        q = wide_floats(rng, 9)
        direct = attention([vector(k) for k, _ in entries], [vector(v) for _, v in entries], q, 9, 4)
        assert comparable(direct) == ref.attend_bits(q) == comparable(ext.attend(q))


class TestModelFailures:
    """The model refuses wrong lengths with the extension's texts and keeps
    its state, so that a side-by-side driver can compare failures too."""

    def test_wrong_lengths_give_the_same_messages_and_change_nothing(self):
        ext, ref = pair(3, 2, [([1.0, 2.0, 3.0], [4.0, 5.0])])
        for k, v in (([1.0], [1.0, 2.0]), ([1.0, 2.0, 3.0], [1.0]), ([1.0] * 4, [1.0] * 5)):
            with quiet_stderr(), pytest.raises(PanicException) as caught:
                ext.append(k, v)
            with pytest.raises(DimMismatch) as modelled:
                ref.append(k, v)
            assert str(modelled.value) == str(caught.value)
        with pytest.raises(DimMismatch, match="self.len"):
            ref.attend([1.0])
        assert ref.stats() == ext.stats()
        assert ref.position == 1 and ref.current_len() == ext.current_len() == 1
        assert_attend_matches(ext, ref, [0.5, -1.0, 2.0])
