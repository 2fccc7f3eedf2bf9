"""The storage tiers' kernels, called directly: every vector set gives the
scalar set's bits at every length and start offset, and touches nothing
outside its buffers (the canaries of tests/test_kernel_sets.py); the scalar
set's rounding is the tiers' definition, checked against NumPy.

Rows of a tier are held in float32 buffers, as a cache holds them: a
bfloat16 row is (d + 1) // 2 floats, an int8 row the float32 scales of its
blocks of 32 and then d bytes, rounded up to whole floats.
"""

import numpy as np
import pytest

from kernel_probe import probe
from test_kernel_sets import VECTOR_SETS, check, data, lengths, supported_set
from tier_oracle import bf16_bits, int8_parts, int8_row, row_floats, rows_of

F32 = np.float32
# Block-boundary lengths beside those of the registers.
BLOCK_LENGTHS = (31, 32, 33, 63, 64, 65, 70)
# A float no kernel writes by chance: a stray or partial write changes it.
FILL = F32(1234.5)


def finite(rng, count):
    return np.nan_to_num(data(rng, count), nan=0.5, posinf=2.0, neginf=-2.0)


# ---- rounding: the scalar set against NumPy, every set against scalar -------


def test_scalar_rounding_is_the_tiers_definition():
    rng = np.random.default_rng(7)
    for n in (*range(20), *BLOCK_LENGTHS, 100):
        x = data(rng, n, special=True)
        out = np.full(row_floats("bfloat16", n), FILL)
        probe.to_bf16("scalar", x, out)
        expected = bf16_bits(x)
        assert (out.view(np.uint16)[:n] == expected).all(), n
        x = finite(rng, n)
        x[: n // 3] = 0  # an all-zero first block when n <= 32 * 3
        row = np.full(row_floats("int8", n), FILL)
        assert probe.to_int8("scalar", x, row)
        used = 4 * -(-n // 32) + n  # the padding is the cache's to zero
        assert row.tobytes()[:used] == int8_row(x).tobytes()[:used], n


def test_rounding_edges():
    """Ties go to even, the largest floats to infinity, an all-zero block to
    scale 0, and a subnormal scale's quotients stay within [-127, 127]."""
    ties = np.array([1.00390625, 1.01171875, 3.4e38, -3.4e38, np.inf, np.nan], F32)
    out = np.zeros(3, F32)
    probe.to_bf16("scalar", ties, out)
    assert out.view(np.uint16).tolist() == [0x3F80, 0x3F82, 0x7F80, 0xFF80, 0x7F80, 0x7FC0]
    tiny = np.array([1.5 * 127 * 1.4e-45, 1.4e-45] + [0.0] * 30 + [0.0] * 32, F32)
    row = np.zeros(row_floats("int8", tiny.size), F32)
    assert probe.to_int8("scalar", tiny, row)
    scales, integers = row[:2], row[2:].view(np.int8)
    assert scales[1] == 0 and (integers[32:] == 0).all()
    assert -127 <= integers.min() and integers.max() <= 127


@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_rounding_matches_scalar(kernel_set):
    lanes = supported_set(kernel_set)
    rng = np.random.default_rng(11)
    failures = []
    for n in (*lengths(max(lanes, 8)), *BLOCK_LENGTHS):
        x = data(rng, n, special=True)
        out = np.full(row_floats("bfloat16", n), FILL)
        failures += check(kernel_set, lanes, f"to_bf16 n={n}", probe.to_bf16, [x, out])
        row = np.full(row_floats("int8", n), FILL)
        failures += check(kernel_set, lanes, f"to_int8 n={n}", probe.to_int8, [finite(rng, n), row])
    assert failures == []


@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_int8_refuses_what_is_not_finite(kernel_set):
    supported_set(kernel_set)
    for n in (1, 8, 33, 70):
        for where in {0, n // 2, n - 1}:
            for bad in (np.nan, np.inf, -np.inf):
                x = np.ones(n, F32)
                x[where] = bad
                assert probe.to_int8(kernel_set, x, np.zeros(row_floats("int8", n), F32)) is False
        assert probe.to_int8(kernel_set, np.ones(n, F32), np.zeros(row_floats("int8", n), F32)) is True


# ---- scores and weighted sums ---------------------------------------------------


def tier_offsets(kernel_set):
    """Start offsets to try: every set's tier kernels work on eight values
    (one row's eight partial sums) whatever its register width, with
    unaligned loads, so eight float offsets meet every misalignment."""
    return min(supported_set(kernel_set), 8)


@pytest.mark.parametrize("tier", ["bfloat16", "int8"])
def test_scalar_kernels_follow_their_definition(tier):
    """Scores: the eight-lane order (bfloat16 over the whole row, int8 per
    block, each block's sum times its scale added in turn); values: each
    dequantised value times its weight, added row after row."""
    from reference import eight_lane_sum

    rng = np.random.default_rng(5)
    for d in (5, 32, 45, 70):
        keys = finite(rng, 3 * d).reshape(3, d)
        q = finite(rng, d)
        scores = np.zeros(3, F32)
        probe.tier_dot_rows("scalar", tier, q, rows_of(tier, keys, d), scores, 1, 0)
        for i, key in enumerate(keys):
            if tier == "bfloat16":
                wide = (bf16_bits(key).astype(np.uint32) << 16).view(F32)
                expected = eight_lane_sum(q * wide)
            else:
                scale, integers = int8_parts(key)
                expected = F32(0)
                for b in range(scale.size):
                    part = eight_lane_sum(q[32 * b : 32 * b + 32] * integers[32 * b : 32 * b + 32].astype(F32))
                    expected = F32(expected + F32(part * scale[b]))
            assert scores[i].view(np.uint32) == F32(expected).view(np.uint32), (d, i)
        weights = rng.random(3).astype(F32)
        out = np.zeros(d, F32)
        probe.tier_weighted_sum_rows("scalar", tier, out, rows_of(tier, keys, d), weights, 1, 0)
        expected = np.zeros(d, F32)
        for key, w in zip(keys, weights):
            if tier == "bfloat16":
                dequantised = (bf16_bits(key).astype(np.uint32) << 16).view(F32)
            else:
                scale, integers = int8_parts(key)
                dequantised = integers.astype(F32) * np.repeat(scale, 32)[:d]
            expected = expected + dequantised * w
        assert (out.view(np.uint32) == expected.view(np.uint32)).all(), d


@pytest.mark.parametrize("tier", ["bfloat16", "int8"])
@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_tier_scores_match_scalar(kernel_set, tier):
    offsets = tier_offsets(kernel_set)
    rng = np.random.default_rng(13)
    failures = []
    # Past 32 KiB of rows (500 int8 rows of 64) the kernels ask for rows ahead.
    cases = [(n, count, queries) for n in (*range(0, 18, 3), 8, 16, *BLOCK_LENGTHS)
             for count, queries in ((0, 1), (1, 2), (7, 1), (8, 3), (17, 2))] + [(64, 500, 1), (70, 503, 2)]
    for n, count, queries in cases:
        keys = data(rng, count * n).reshape(count, n)
        q = data(rng, queries * n)
        scores = np.full(queries * (count + 1), FILL)

        def call(ks, q_, rows, s, queries=queries):
            return probe.tier_dot_rows(ks, tier, q_, rows, s, queries, 1)

        failures += check(kernel_set, offsets, f"{tier} scores n={n} count={count}", call,
                          [q, rows_of(tier, np.nan_to_num(keys), n), scores])
    assert failures == []


@pytest.mark.parametrize("tier", ["bfloat16", "int8"])
@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_tier_weighted_sums_match_scalar(kernel_set, tier):
    offsets = tier_offsets(kernel_set)
    rng = np.random.default_rng(17)
    failures = []
    # Past 64 rows a set's run of rows ends and the next begins; past 32 KiB
    # of rows the kernels ask for rows ahead.
    cases = [(width, count, outputs) for width in (*range(0, 18), *BLOCK_LENGTHS)
             for count, outputs in ((3, 1), (9, 2), (70, 2))] + [(64, 500, 1), (70, 503, 1), (130, 300, 2)]
    for width, count, outputs in cases:
        values = np.nan_to_num(data(rng, count * width)).reshape(count, width)
        weights = rng.random(outputs * (count + 1)).astype(F32)
        out = data(rng, outputs * width)

        def call(ks, o, rows, w, outputs=outputs):
            return probe.tier_weighted_sum_rows(ks, tier, o, rows, w, outputs, 1)

        failures += check(kernel_set, offsets, f"{tier} sums width={width} count={count}", call,
                          [out, rows_of(tier, values, width), weights])
    assert failures == []
