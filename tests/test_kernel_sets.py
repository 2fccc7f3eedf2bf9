"""Every kernel of every vector set, called directly, gives the scalar set's
bits and touches nothing outside its buffers.

The test-only module _marrowvale_kernel_probe calls a named kernel set on
float32 buffers that the test places itself. For every set the processor
supports, every length 0 to 3W + 1 (W the set's floats per register) and
every start offset 0 to W - 1 from a 64-byte boundary, each input and output
sits inside a larger buffer whose other floats are signalling-NaN canaries:

- a stray read feeds a canary into the arithmetic, which turns a sum or a
  lane's result into a NaN that the scalar result does not have;
- a stray write stores a computed value, or a canary that went through
  arithmetic (and so came out quiet), where the canary's own bits must stay.

Every output float and every returned float must have the scalar set's
bits (any NaN matching any NaN), and every canary must be untouched, the
scalar set's own included.
"""

import numpy as np
import pytest

from kernel_probe import probe
from reference import blend, similarity

F32 = np.float32
# A signalling NaN: any arithmetic on it gives a quiet NaN, other bits.
CANARY = 0x7F80DEAD
# Canaries after the data: more than one register of the widest set.
AFTER = 40

BUILT = {name: (lanes, supported) for name, lanes, supported in probe.built()}


def supported_set(name):
    if name not in BUILT:
        pytest.skip(f"kernel set {name!r} is not built on this platform")
    if not BUILT[name][1]:
        pytest.skip(f"kernel set {name!r} is not supported by this processor")
    return BUILT[name][0]


class Arena:
    """Buffers placed at chosen offsets among canaries."""

    def __init__(self):
        self.buffers = []

    def place(self, data, offset):
        data = np.asarray(data, F32)
        count = offset + data.size + AFTER
        raw = np.empty(count * 4 + 64, np.uint8)
        start = -raw.ctypes.data % 64
        whole = raw[start : start + count * 4].view(np.uint32)
        whole[:] = CANARY
        view = whole.view(F32)[offset : offset + data.size]
        view[:] = data
        self.buffers.append((whole, offset, data.size))
        return view

    def damaged(self):
        """Where canaries changed: (buffer number, index from the data start)."""
        found = []
        for number, (whole, offset, size) in enumerate(self.buffers):
            outside = np.ones(whole.size, bool)
            outside[offset : offset + size] = False
            for index in np.flatnonzero(outside & (whole != CANARY)):
                found.append((number, int(index) - offset))
        return found


def data(rng, count, special=False):
    """Floats of a few sizes, with -0.0 and subnormals; `special` adds
    infinities, NaNs and huge values for the kernels without sums."""
    out = (rng.standard_normal(count) * rng.choice([0.25, 1.0, 30.0], count)).astype(F32)
    odd = rng.random(count)
    out[odd < 0.05] = F32(-0.0)
    out[(odd >= 0.05) & (odd < 0.08)] = F32(3e-39)
    if special:
        pool = np.array([np.inf, -np.inf, np.nan, -1e30, 1e30, -104.0, 89.0], F32)
        pick = odd > 0.9
        out[pick] = pool[rng.integers(0, pool.size, count)][pick]
    return out


def bits(values):
    """Bit patterns, every NaN as one marker: which NaN an operation on two
    NaNs, or an invalid one, gives depends on the order in which the
    compiler hands its operands to the processor, not on the kernel."""
    values = np.asarray(values, F32).reshape(-1)
    return ["nan" if np.isnan(x) else int(p) for x, p in zip(values, values.view(np.uint32))]


def run(kernel_set, offset, call, inputs):
    """Places `inputs` (a list of arrays) at `offset` and calls
    call(kernel_set, *views). Returns the bits of every view and of the
    returned value, and the damaged canaries."""
    arena = Arena()
    views = [arena.place(array, (offset + 3 * k) % max(1, BUILT[kernel_set][0])) for k, array in enumerate(inputs)]
    returned = call(kernel_set, *views)
    outputs = [bits(view) for view in views]
    if returned is not None:
        outputs.append(bits([returned]))
    return outputs, arena.damaged()


def check(kernel_set, lanes, label, call, inputs):
    """Runs every start offset for one set of inputs: the set must give the
    scalar set's bits and leave every canary alone."""
    failures = []
    for offset in range(lanes):
        got, damaged = run(kernel_set, offset, call, inputs)
        expected, scalar_damaged = run("scalar", offset, call, inputs)
        assert scalar_damaged == [], f"scalar {label}: canaries changed at {scalar_damaged}"
        if damaged:
            failures.append(f"{label} offset {offset}: canaries changed at (buffer, index) {damaged[:4]}")
        if got != expected:
            failures.append(f"{label} offset {offset}: results differ from the scalar set's")
    return failures


def lengths(lanes):
    return range(3 * lanes + 2)


def norms_and_dots_of(width):
    """The probe's norms_and_dots over rows of `width` floats, called as
    check() calls a kernel."""
    return lambda kernel_set, rows, norms, dots: probe.norms_and_dots(kernel_set, rows, width, norms, dots)


VECTOR_SETS = ["scalar", "sse2", "avx2", "avx512"]


# ---------------------------------------------------------------------------
# Sums: dot, dot_rows, sum and the merging pass's norms and dots
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_sums_match_scalar_at_every_length_and_offset(kernel_set):
    lanes = supported_set(kernel_set)
    rng = np.random.default_rng(1)
    failures = []
    for n in lengths(lanes):
        failures += check(kernel_set, lanes, f"dot n={n}", probe.dot, [data(rng, n), data(rng, n)])
        failures += check(kernel_set, lanes, f"sum n={n}", probe.sum, [data(rng, n)])
        # Row width n, and row count n: both the pass of several rows and
        # the rows left after the last whole pass; one query, and groups of
        # queries that share each pass.
        for queries, width, count in ((1, n, 9), (1, n, 17), (1, 3, n), (1, 8, n), (1, 21, n), (2, n, 17), (3, 8, n),
                                      (3, 21, n)):
            inputs = [data(rng, queries * width), data(rng, width * count), np.zeros(queries * count, F32)]

            def dot_rows(kernel_set, q, rows, scores, queries=queries):
                probe.dot_rows(kernel_set, q, rows, scores, queries)

            failures += check(kernel_set, lanes, f"dot_rows queries={queries} n={width} count={count}", dot_rows, inputs)
        # Each query's scores a row longer than the count: the floats past
        # the count stay as they were.
        for queries, width, count, gap in ((2, n, 17, 3), (3, 8, n, 5)):
            scores = np.full((queries, count + gap), 7.0, F32)
            inputs = [data(rng, queries * width), data(rng, width * count), scores.reshape(-1)]

            def strided(kernel_set, q, rows, scores, queries=queries, gap=gap):
                probe.dot_rows(kernel_set, q, rows, scores, queries, gap)

            failures += check(kernel_set, lanes, f"dot_rows queries={queries} n={width} count={count} gap={gap}",
                              strided, inputs)
            probe.dot_rows("scalar", inputs[0], inputs[1], scores.reshape(-1), queries, gap)
            assert (scores[:, count:] == 7.0).all()
        for width, count in ((n, 2), (n, 5), (n, 6), (n, 11), (3, n), (8, n), (19, n)):
            inputs = [data(rng, width * count), np.zeros(count, F32), np.zeros(max(count - 1, 0), F32)]
            label = f"norms_and_dots width={width} count={count}"
            failures += check(kernel_set, lanes, label, norms_and_dots_of(width), inputs)
    assert failures == []


@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_norms_and_dots_keep_the_sign_of_zero_sums(kernel_set):
    # Rows of +0.0, rows of -0.0 and rows of signed zeros and ones: a +0.0
    # row beside a -0.0 row has only -0.0 products, whose sum is +0.0
    # (partial sums and total start at +0.0), which the vector sets must
    # give as the scalar one does, however they start their partial sums.
    lanes = supported_set(kernel_set)
    rng = np.random.default_rng(6)
    pool = np.array([0.0, -0.0, 1.0, -1.0], F32)
    failures = []
    for width in (8, 16, 17, 24, 64):
        for count in (5, 9):
            rows = pool[rng.integers(0, pool.size, (count, width))]
            kind = rng.integers(0, 3, count)
            rows[kind == 0] = F32(0.0)
            rows[kind == 1] = F32(-0.0)
            rows = rows.reshape(-1)
            inputs = [rows, np.zeros(count, F32), np.zeros(count - 1, F32)]
            label = f"signed zeros width={width} count={count}"
            failures += check(kernel_set, lanes, label, norms_and_dots_of(width), inputs)
    assert failures == []


# ---------------------------------------------------------------------------
# The generic body: element-wise kernels and the weighted sum
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_elementwise_kernels_match_scalar_at_every_length_and_offset(kernel_set):
    lanes = supported_set(kernel_set)
    rng = np.random.default_rng(2)
    failures = []
    for n in lengths(lanes):
        for divisor in (8.0, -0.3):
            values = data(rng, n, special=True)
            failures += check(
                kernel_set, lanes, f"divide_max n={n} by {divisor}", lambda s, a: probe.divide_max(s, a, divisor), [values]
            )
        negative = -np.abs(data(rng, n)) * F32(4)
        for top in (0.0, 2.5):
            failures += check(
                kernel_set, lanes, f"exp_minus n={n} top={top}", lambda s, a: probe.exp_minus(s, a, top), [negative]
            )
        failures += check(
            kernel_set, lanes, f"exp_minus n={n} specials", lambda s, a: probe.exp_minus(s, a, 0.0), [data(rng, n, True)]
        )
        a, b = data(rng, n, special=True), data(rng, n, special=True)
        failures += check(
            kernel_set,
            lanes,
            f"blend n={n}",
            lambda s, out, x, y: probe.blend(s, out, x, 0.93, y, 0.07),
            [np.zeros(n, F32), a, b],
        )
        failures += check(
            kernel_set, lanes, f"blend into a, n={n}", lambda s, x, y: probe.blend(s, x, x, 0.93, y, -0.5), [a, b]
        )
        norms = np.abs(data(rng, n + 1)) * F32(3)
        failures += check(
            kernel_set,
            lanes,
            f"cosines pairs={n}",
            lambda s, dots, roots: probe.cosines(s, dots, roots, 1e-8),
            [data(rng, n), norms],
        )
    assert failures == []


@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_mark_above_matches_a_comparison_at_every_length_and_offset(kernel_set):
    # The merging pass reads these bits for the pairs that merge. Lengths
    # past 64 fill several words; a negative threshold lies below the +0.0
    # that a partial vector loads past its tail, so stray bits would show.
    lanes = supported_set(kernel_set)
    rng = np.random.default_rng(4)
    failures = []
    for n in [*lengths(lanes), 63, 64, 65, 129, 256]:
        values = data(rng, n, special=True)
        values[rng.random(n) < 0.1] = F32(0.5)
        for threshold in (0.5, 0.0, -0.0, -2.0, -np.inf, np.nan):
            want = sum(1 << i for i in np.flatnonzero(values > F32(threshold)).tolist())
            for offset in range(lanes):
                arena = Arena()
                got = probe.mark_above(kernel_set, arena.place(values, offset), threshold)
                if got != want or arena.damaged():
                    failures.append(f"n={n} threshold={threshold} offset={offset}: {got:#x}, want {want:#x}")
    assert failures == []


@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_weighted_sum_matches_scalar_at_every_length_and_offset(kernel_set):
    lanes = supported_set(kernel_set)
    rng = np.random.default_rng(3)
    failures = []
    # Widths past one block of columns (eight registers) reach the blocks
    # after the first; several outputs share each run of rows.
    cases = [(outputs, width, count) for n in [*lengths(lanes), 8 * lanes + 3]
             for outputs, width, count in ((1, n, 1), (1, n, 3), (1, n, 9), (1, 5, n), (1, 13, n), (2, n, 9), (3, 13, n))]
    # Rows are taken in runs of 16 KiB when they are wider than a block or
    # serve several outputs: counts that cross two run boundaries.
    for width in (8 * lanes + 3, 2 * lanes + 1):
        count = 2 * max(8, 16384 // (4 * width)) + 3
        cases += [(1, width, count), (3, width, count)]
    for outputs, width, count in cases:
        weights = np.abs(data(rng, outputs * count)) / F32(max(count, 1))
        # Infinities and NaNs only in short columns: in a long one they
        # would make every sum NaN, which hides a wrong weight or row.
        inputs = [data(rng, outputs * width), data(rng, width * count, special=count < 16), weights]

        def weighted_sum_rows(kernel_set, out, rows, weights, outputs=outputs):
            probe.weighted_sum_rows(kernel_set, out, rows, weights, outputs)

        label = f"weighted_sum_rows outputs={outputs} width={width} count={count}"
        failures += check(kernel_set, lanes, label, weighted_sum_rows, inputs)
    # Each output's weights a row longer than the count, NaN past it: a
    # weight read from there would make a sum NaN.
    for outputs, width, count, gap in ((2, 2 * lanes + 1, 9, 4), (3, 13, 3 * lanes + 1, 2)):
        weights = np.full((outputs, count + gap), np.nan, F32)
        weights[:, :count] = np.abs(data(rng, outputs * count)).reshape(outputs, count) / F32(count)
        inputs = [data(rng, outputs * width), data(rng, width * count), weights.reshape(-1)]

        def strided(kernel_set, out, rows, weights, outputs=outputs, gap=gap):
            probe.weighted_sum_rows(kernel_set, out, rows, weights, outputs, gap)

        failures += check(kernel_set, lanes, f"weighted_sum_rows outputs={outputs} count={count} gap={gap}", strided,
                          inputs)
        out = inputs[0].copy()
        probe.weighted_sum_rows("scalar", out, inputs[1], inputs[2], outputs, gap)
        assert not np.isnan(out).any()
    assert failures == []


# ---------------------------------------------------------------------------
# The probe itself
# ---------------------------------------------------------------------------


@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_added_rows_match_scalar_at_every_length_and_offset(kernel_set):
    lanes = supported_set(kernel_set)
    rng = np.random.default_rng(7)
    failures = []
    for n in lengths(lanes):
        for count, gap in ((0, 0), (1, 0), (3, 0), (2, 5)):
            stride = n + gap
            rows = data(rng, (count - 1) * stride + n if count else 0, special=True)

            def add_rows(kernel_set, total, rows, count=count, stride=stride):
                probe.add_rows(kernel_set, total, rows, count, stride)

            total = data(rng, n, special=True)
            failures += check(kernel_set, lanes, f"add_rows n={n} count={count} stride={stride}", add_rows, [total, rows])
            # The scalar set adds the rows one after another.
            expected = total.copy()
            with np.errstate(all="ignore"):
                for r in range(count):
                    expected = expected + rows[r * stride : r * stride + n]
            got = total.copy()
            probe.add_rows("scalar", got, rows, count, stride)
            assert bits(got) == bits(expected)
    assert failures == []


def first_lowest(values):
    """The first NaN, or else the first of the smallest."""
    nans = np.flatnonzero(np.isnan(values))
    return int(nans[0]) if nans.size else int(np.flatnonzero(values == values.min())[0])


@pytest.mark.parametrize("kernel_set", VECTOR_SETS)
def test_lowest_matches_a_search_at_every_length_and_offset(kernel_set):
    lanes = supported_set(kernel_set)
    rng = np.random.default_rng(8)
    pool = np.array([1.5, 0.0, -0.0, 3e-39, np.inf, -np.inf, -2.0, 7.0], F32)
    failures = []
    for n in [*range(1, 3 * lanes + 2), 63, 64, 65, 129, 1000]:
        ties = pool[rng.integers(0, pool.size, n)]
        spread = data(rng, n)
        one_nan = spread.copy()
        one_nan[rng.integers(n)] = np.nan
        for label, values in (("ties", ties), ("spread", spread), ("one NaN", one_nan),
                              ("all inf", np.full(n, np.inf, F32)), ("last is least", np.append(spread[1:], F32(-9)))):
            want = first_lowest(values)
            for offset in range(lanes):
                arena = Arena()
                got = probe.lowest(kernel_set, arena.place(values, offset))
                if got != want or arena.damaged():
                    failures.append(f"{label} n={n} offset={offset}: {got}, want {want}")
    assert failures == []


def test_canaries_catch_one_float_too_many():
    # A kernel handed one float past the data reads a canary into its sum
    # and writes over it.
    arena = Arena()
    arena.place(np.ones(9, F32), 1)
    whole, offset, size = arena.buffers[0]
    one_more = whole.view(F32)[offset : offset + size + 1]
    assert np.isnan(probe.sum("scalar", one_more))
    assert arena.damaged() == []
    probe.exp_minus("scalar", one_more, 0.0)
    assert arena.damaged() == [(0, 9)]


def test_probe_refuses_mismatched_buffers():
    with pytest.raises(ValueError, match="differ in length"):
        probe.dot("scalar", np.zeros(3, F32), np.zeros(4, F32))
    with pytest.raises(ValueError, match="rows must hold"):
        probe.dot_rows("scalar", np.zeros(3, F32), np.zeros(8, F32), np.zeros(3, F32), 1)
    with pytest.raises(TypeError, match="float32"):
        probe.sum("scalar", np.zeros(3, np.float64))
    with pytest.raises(ValueError, match="unknown kernel set"):
        probe.sum("no-such-set", np.zeros(3, F32))


# ---------------------------------------------------------------------------
# The merging pass keeps the token spans with their entries
# ---------------------------------------------------------------------------


def expected_pass(keys, values, first, threshold):
    """The model's pass from entry `first` on, with the tokens each entry
    covers: a merged entry covers both of its pair's."""
    sims = similarity(keys[:-1], keys[1:])
    out_keys, out_values = list(keys[:first]), list(values[:first])
    spans = [(i, i) for i in range(first)]
    i = first
    while i < len(keys):
        if i + 1 < len(keys) and sims[i] > threshold:
            s, w = sims[i], F32(1) - sims[i]
            out_keys.append(blend(keys[i], keys[i + 1], s, w))
            out_values.append(blend(values[i], values[i + 1], s, w))
            spans.append((i, i + 1))
            i += 2
        else:
            out_keys.append(keys[i])
            out_values.append(values[i])
            spans.append((i, i))
            i += 1
    return out_keys, out_values, spans


def assert_pass_matches_model(keys, values, first, threshold):
    d_k, d_v = keys.shape[1], values.shape[1]
    count, got_keys, got_values, spans = probe.merge_spans(keys, d_k, values, d_v, first, threshold)
    want_keys, want_values, want_spans = expected_pass(keys, values, first, F32(threshold))
    assert spans == want_spans
    assert count == len(keys) - len(want_spans)
    assert np.frombuffer(got_keys, np.uint32).tolist() == np.concatenate(want_keys).view(np.uint32).tolist()
    assert np.frombuffer(got_values, np.uint32).tolist() == np.concatenate(want_values).view(np.uint32).tolist()
    return count


@pytest.mark.parametrize("first", [0, 1, 255, 256, 257, 300])
def test_merging_pass_moves_and_merges_spans_with_their_entries(first):
    # Runs of near-parallel keys between unrelated ones, over several
    # blocks of similarities: entries stay, move down and merge on both
    # sides of every block boundary.
    rng = np.random.default_rng(first)
    d_k, d_v, n = 9, 3, 900
    keys = [rng.standard_normal(d_k).astype(F32)]
    for _ in range(n - 1):
        drift = keys[-1] + F32(0.02) * rng.standard_normal(d_k).astype(F32)
        keys.append(drift.astype(F32) if rng.random() < 0.6 else rng.standard_normal(d_k).astype(F32))
    keys = np.array(keys, F32)
    values = rng.standard_normal((n, d_v)).astype(F32)
    assert assert_pass_matches_model(keys, values, first, 0.9) > 100


# Pairs that merge on either side of the pass's blocks of similarities
# (256 pairs each, the next block starting where the scan stands), at the
# first and last entry, and none: every other neighbour is unrelated.
EDGE_CASES = {
    "block edges": [0, 254, 256, 258, 510, 513, 768, 1019],
    "last pair of a block": [255, 511, 767],
    "first pair of a block": [256, 512, 769],
    "end": [1021],
    "none": [],
}


@pytest.mark.parametrize("first", [0, 2, 255, 256])
@pytest.mark.parametrize("case", EDGE_CASES)
def test_merging_pass_at_block_edges(case, first):
    rng = np.random.default_rng([first, len(case)])
    keys = rng.standard_normal((1023, 16)).astype(F32)
    for older in EDGE_CASES[case]:
        keys[older + 1] = keys[older] * F32(3)
    values = rng.standard_normal((len(keys), 5)).astype(F32)
    count = assert_pass_matches_model(keys, values, first, 0.9)
    assert count == sum(older >= first for older in EDGE_CASES[case])


@pytest.mark.parametrize("threshold", [-2.0, 1.5])
def test_merging_pass_over_several_blocks_merging_all_or_nothing(threshold):
    rng = np.random.default_rng(5)
    keys = rng.standard_normal((777, 8)).astype(F32)
    values = rng.standard_normal((777, 3)).astype(F32)
    count = assert_pass_matches_model(keys, values, 3, threshold)
    assert count == (387 if threshold < 0 else 0)
