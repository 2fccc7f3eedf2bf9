"""An independent float32 model of the cache, written from the definitions.

Every quantity is a numpy float32 scalar or array, so each product, sum,
square root and quotient is rounded to 32 bits on its own, exactly as the
extension must round it. Arrays are only used to do the same scalar step for
many entries at once (one row per entry); no numpy reduction (`sum`, `dot`,
`mean`) appears, because those pick their own summation order.

The model is meant to be driven side by side with `PyKVCache`:

    ref = RefCache(d_k, d_v, "merge", threshold=0.9, merge_every=4)
    ref.append(k, v)      # DimMismatch (the extension's text) on a wrong
                          # length, with nothing changed
    ref.attend(q)         # float32 array of d_v components
    ref.attend_bits(q)    # comparable(ref.attend(q))
    ref.entries()         # [(key, value), ...] float32 copies, oldest first
    ref.current_len(), ref.clear()
    ref.stats()           # the same dict as PyKVCache.stats()
    ref.total_appends, ref.total_merges, ref.total_evictions,
    ref.current_size, ref.position

and compared through `comparable(...)`, which turns either side's output
into bit patterns. `probe_queries(ref.keys, d_k)` gives queries whose outputs
together pin the held entries down, since the extension cannot list them.
"""

from __future__ import annotations

import decimal
import fractions
import math
import struct
from collections.abc import Iterable, Sequence

import numpy as np

F32 = np.float32
U64_MAX = 2**64 - 1

# The float32 nearest to 1e-8; keeps the similarity's denominator positive.
EPS = F32(1e-8)

# The softmax's exponential: the function that glibc's expf computes when
# built for processors with fused multiply-add, written out here step by
# step in doubles, each fused step exact (math.fma, or exact fractions
# before Python 3.13). tests/test_exponential.py checks it against glibc.
EXP_INV_LN2_N = float.fromhex("0x1.71547652b82fep5")  # 32 / ln 2
EXP_SHIFT = float.fromhex("0x1.8p52")
EXP_C0 = float.fromhex("0x1.c6af84b912394p-20")
EXP_C1 = float.fromhex("0x1.ebfce50fac4f3p-13")
EXP_C2 = float.fromhex("0x1.62e42ff0c52d6p-6")
EXP_ZERO_BELOW = -float.fromhex("0x1.9fe368p6")  # exp(x) under half the smallest subnormal
EXP_INFINITY_ABOVE = float.fromhex("0x1.62e42ep6")


def _double_bits(x: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", x))[0]


def _bits_double(bits: int) -> float:
    return struct.unpack("<d", struct.pack("<Q", bits % 2**64))[0]


def _two_to_the(i: int) -> float:
    """2^(i/32) rounded to the nearest double."""
    with decimal.localcontext() as context:
        context.prec = 60
        return float((decimal.Decimal(2).ln() * i / 32).exp())


# Entry i: the pattern of 2^(i/32) less i << 47, so that adding k << 47
# (k = i mod 32) adds k // 32 to the exponent.
EXP_TABLE = [_double_bits(_two_to_the(i)) - (i << 47) for i in range(32)]


def _exact_fma(a: float, b: float, c: float) -> float:
    """a * b + c rounded once (math.fma before Python 3.13)."""
    return float(fractions.Fraction(a) * fractions.Fraction(b) + fractions.Fraction(c))


fma = getattr(math, "fma", _exact_fma)


def exp_steps(x: float, fused=fma) -> float:
    """exp(x) in doubles before its rounding to float32, for x between the
    bounds; `fused` is the multiply-add."""
    shifted = fused(EXP_INV_LN2_N, x, EXP_SHIFT)
    ki = _double_bits(shifted)
    kd = shifted - EXP_SHIFT
    r = fused(EXP_INV_LN2_N, x, -kd)
    s = _bits_double(EXP_TABLE[ki % 32] + (ki << 47))
    z = fused(r, EXP_C0, EXP_C1)
    y = fused(z, r * r, fused(r, EXP_C2, 1.0))
    return y * s


def expf(x: np.float32) -> np.float32:
    value = float(x)
    if math.isnan(value):
        with np.errstate(invalid="ignore"):
            return F32(x) + F32(x)  # quiet, with the payload kept
    if value < EXP_ZERO_BELOW:
        return F32(0.0)
    if value > EXP_INFINITY_ABOVE:
        return F32(np.inf)
    return F32(exp_steps(value))


# ---------------------------------------------------------------------------
# Scalars, vectors and bit patterns
# ---------------------------------------------------------------------------


def f32(x: float) -> np.float32:
    """The float32 nearest to a Python number (ties to even, overflow to inf)."""
    with np.errstate(all="ignore"):
        return F32(float(x))


def u64_to_f32(n: int) -> np.float32:
    """An unsigned integer rounded once, to nearest even, to float32.

    Going through a double first would round twice, which can land on the
    wrong side of a float32 tie for integers beyond 2**53.
    """
    if n < 2**24:
        return F32(n)
    shift = n.bit_length() - 24
    mantissa, rest = divmod(n, 1 << shift)
    half = 1 << (shift - 1)
    if rest > half or (rest == half and mantissa & 1):
        mantissa += 1
    with np.errstate(all="ignore"):
        return F32(float(mantissa << shift))


def vector(seq: Iterable) -> np.ndarray:
    """A key, value or query as the extension stores it: each item read as a
    Python float (exact floats as they are, anything else through float())
    and rounded to the nearest float32."""
    if isinstance(seq, np.ndarray) and seq.dtype == np.float32:
        return seq.copy()
    items = [x if type(x) is float else float(x) for x in seq]
    with np.errstate(all="ignore"):
        return np.array(items, dtype=np.float64).astype(np.float32)


def bits(x) -> int:
    """The bit pattern of one float32 (a Python float must hold a float32)."""
    return int(np.array(x, dtype=np.float32).view(np.uint32))


def from_bits(pattern: int) -> np.float32:
    return np.array(pattern, dtype=np.uint32).view(np.float32)[()]


def comparable(xs) -> tuple:
    """Bit patterns of a float32 sequence, for exact comparison.

    Every NaN becomes the string "nan": which NaN an operation yields (sign
    and payload) is not part of any contract, whether a component is NaN is.
    -0.0 and +0.0 stay distinct.
    """
    arr = np.array(list(xs) if not isinstance(xs, np.ndarray) else xs, dtype=np.float64)
    with np.errstate(all="ignore"):
        narrowed = arr.astype(np.float32)
    # A Python float that is not a float32 would be a bug of the caller's
    # result, not a rounding question: refuse it loudly.
    assert np.array_equal(narrowed.astype(np.float64), arr, equal_nan=True), arr
    return tuple("nan" if math.isnan(v) else int(b) for v, b in zip(narrowed, narrowed.view(np.uint32)))


# ---------------------------------------------------------------------------
# Sums and dot products
# ---------------------------------------------------------------------------


def eight_lane_sum(terms: np.ndarray) -> np.ndarray:
    """The eight-lane sum of the terms along the last axis.

    Eight partial sums start at +0.0; term 8b + r of each whole block of
    eight goes to partial r. A total starting at +0.0 then takes
    (p0 + p4), (p1 + p5), (p2 + p6), (p3 + p7) in turn, and the leftover
    terms follow one at a time. Leading axes are independent rows.
    """
    terms = np.asarray(terms, dtype=np.float32)
    n = terms.shape[-1]
    whole = n - n % 8
    rows = terms.shape[:-1]
    partial = [np.zeros(rows, dtype=np.float32) for _ in range(8)]
    for start in range(0, whole, 8):
        for r in range(8):
            partial[r] = partial[r] + terms[..., start + r]
    total = np.zeros(rows, dtype=np.float32)
    for r in range(4):
        total = total + (partial[r] + partial[r + 4])
    for i in range(whole, n):
        total = total + terms[..., i]
    return total


def unrolled_dot(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """The eight-lane sum of the rounded products x[i] * y[i] (rows broadcast)."""
    assert x.shape[-1] == y.shape[-1]
    return eight_lane_sum(x * y)


# ---------------------------------------------------------------------------
# Attention
# ---------------------------------------------------------------------------


class DimMismatch(Exception):
    """A vector of the wrong length; the message is the extension's text."""

    def __init__(self, message: str):
        super().__init__(message)
        self.message = message


QUERY_MISMATCH = "assertion failed: self.len() == rhs.len()"


def dim_message(what: str, left: int, right: int) -> str:
    return f"assertion `left == right` failed: {what} dim mismatch\n  left: {left}\n right: {right}"


def plain_sum(terms: np.ndarray) -> np.ndarray:
    """A left-to-right sum along the last axis: not the cache's order, kept
    so that tests can show their data tells the two orders apart."""
    terms = np.asarray(terms, dtype=np.float32)
    total = np.zeros(terms.shape[:-1], dtype=np.float32)
    for i in range(terms.shape[-1]):
        total = total + terms[..., i]
    return total


def attention_weights(keys: Sequence[np.ndarray], q, d_k: int, sum_rule=eight_lane_sum) -> np.ndarray:
    """The softmax weights of q over the held keys, oldest first: scaled
    scores, the largest (NaN skipped) subtracted before the exponential, each
    exponential divided by their eight-lane sum."""
    with np.errstate(all="ignore"):
        r = np.sqrt(u64_to_f32(d_k))
        scores = sum_rule(np.stack(keys) * q) / r
        m = F32(-np.inf)
        for s in scores:
            if not np.isnan(s) and s > m:
                m = s
        exps = np.array([expf(s - m) for s in scores], dtype=np.float32)
        total = sum_rule(exps)[()]
        return exps / total


def attention(keys: Sequence[np.ndarray], values: Sequence[np.ndarray], q, d_k: int, d_v: int,
              sum_rule=eight_lane_sum) -> np.ndarray:
    """Scaled dot-product attention of q over the held entries, oldest first.

    `sum_rule` is the order of the score and normaliser sums; only tests of
    the tests pass anything but the cache's eight-lane order.
    """
    q = vector(q)
    out = np.zeros(d_v, dtype=np.float32)
    if not keys:
        return out
    if len(q) != len(keys[0]):
        raise DimMismatch(QUERY_MISMATCH)
    weights = attention_weights(keys, q, d_k, sum_rule)
    with np.errstate(all="ignore"):
        for value, w in zip(values, weights):
            out = out + value * w
    return out


# ---------------------------------------------------------------------------
# Merging
# ---------------------------------------------------------------------------


def similarity(a: np.ndarray, b: np.ndarray) -> np.ndarray:
    """Cosine similarity of key a with the key b after it (rows broadcast)."""
    with np.errstate(all="ignore"):
        d = unrolled_dot(a, b)
        na = unrolled_dot(a, a)
        nb = unrolled_dot(b, b)
        den = np.sqrt(na) * np.sqrt(nb) + EPS
        return d / den


def blend(a: np.ndarray, b: np.ndarray, s: np.float32, w: np.float32) -> np.ndarray:
    with np.errstate(all="ignore"):
        return a * s + b * w


def merge_pass(keys: list, values: list, threshold, join=blend) -> tuple[list, list, int]:
    """One merging pass; returns the new key and value lists and the count.

    Neighbours are compared oldest first on the entries as they stood before
    the pass; a pair whose similarity is strictly above the threshold becomes
    one entry leaning towards the older, and the scan resumes after the pair.
    The pair's value is join(older, newer, s, 1 - s): their blend, or what
    a caller tracks instead of values (the tokens each entry covers, say).
    """
    threshold = F32(threshold)
    n = len(keys)
    if n < 2:
        return list(keys), list(values), 0
    stacked = np.stack(keys)
    sims = similarity(stacked[:-1], stacked[1:])
    new_keys, new_values = [], []
    i = 0
    while i < n:
        if i + 1 < n and sims[i] > threshold:
            s = sims[i]
            w = F32(1) - s
            new_keys.append(blend(keys[i], keys[i + 1], s, w))
            new_values.append(join(values[i], values[i + 1], s, w))
            i += 2
        else:
            new_keys.append(keys[i])
            new_values.append(values[i])
            i += 1
    return new_keys, new_values, n - len(new_keys)


# ---------------------------------------------------------------------------
# The cache
# ---------------------------------------------------------------------------

STRATEGIES = ("full", "sliding", "static", "merge", "hybrid")


class RefCache:
    """A model of PyKVCache with the same constructor parameters.

    Counts are Python ints (the 64-bit range is modelled where it matters:
    the static limit saturates, the hybrid length test cannot wrap).
    `merge_every` 0 means the merging pass never runs.
    """

    def __init__(self, d_k=64, d_v=64, strategy="full", window_size=512, static_k=32,
                 recent_k=128, threshold=0.90, merge_every=4):
        if strategy not in STRATEGIES:
            raise ValueError(strategy)
        self.d_k = d_k
        self.d_v = d_v
        self.strategy = strategy
        self.window_size = window_size
        self.static_k = static_k
        self.recent_k = recent_k
        self.threshold = f32(threshold)
        self.merge_every = merge_every
        self.keys: list[np.ndarray] = []
        self.values: list[np.ndarray] = []
        self.total_appends = 0
        self.total_merges = 0
        self.total_evictions = 0
        self.current_size = 0
        self.position = 0

    # -- operations of PyKVCache --------------------------------------------

    def append(self, k, v) -> None:
        k, v = vector(k), vector(v)
        if len(k) != self.d_k:
            raise DimMismatch(dim_message("key", len(k), self.d_k))
        if len(v) != self.d_v:
            raise DimMismatch(dim_message("value", len(v), self.d_v))
        self.keys.append(k)
        self.values.append(v)
        self.total_appends += 1
        self.total_merges += self._on_append(self.position)
        self.current_size = len(self.keys)
        self.position += 1

    def attend(self, q) -> np.ndarray:
        return attention(self.keys, self.values, q, self.d_k, self.d_v)

    def attend_bits(self, q) -> tuple:
        return comparable(self.attend(q))

    def current_len(self) -> int:
        return len(self.keys)

    def clear(self) -> None:
        self.keys = []
        self.values = []
        self.position = 0

    def stats(self) -> dict:
        if self.total_appends == 0:
            ratio = F32(1.0)
        else:
            ratio = u64_to_f32(self.current_size) / u64_to_f32(self.total_appends)
        return {
            "total_appends": self.total_appends,
            "total_merges": self.total_merges,
            "total_evictions": self.total_evictions,
            "current_size": self.current_size,
            "compression_ratio": float(ratio),
            "strategy": self.strategy,
        }

    def entries(self) -> list[tuple[np.ndarray, np.ndarray]]:
        """Copies of the held (key, value) pairs, oldest first."""
        return [(k.copy(), v.copy()) for k, v in zip(self.keys, self.values)]

    # -- strategies -----------------------------------------------------------

    def _merge_due(self, position: int) -> bool:
        if position == 0 or self.merge_every == 0:
            return False
        return position % self.merge_every == 0

    def _on_append(self, position: int) -> int:
        n = len(self.keys)
        if self.strategy == "sliding":
            dropped = max(0, n - self.window_size)
            del self.keys[:dropped], self.values[:dropped]
            return dropped
        if self.strategy == "static":
            limit = min(self.static_k + self.recent_k, U64_MAX)
            dropped = max(0, n - limit)
            start = self.static_k
            del self.keys[start:start + dropped], self.values[start:start + dropped]
            return dropped
        if self.strategy == "merge":
            if not self._merge_due(position):
                return 0
            self.keys, self.values, count = merge_pass(self.keys, self.values, self.threshold)
            return count
        if self.strategy == "hybrid":
            if not self._merge_due(position) or n < self.static_k + 2:
                return 0
            p = self.static_k
            tail_keys, tail_values, count = merge_pass(self.keys[p:], self.values[p:], self.threshold)
            self.keys = self.keys[:p] + tail_keys
            self.values = self.values[:p] + tail_values
            return count
        return 0


# ---------------------------------------------------------------------------
# Probing a cache through attend
# ---------------------------------------------------------------------------


def moderate_query(keys: Sequence[np.ndarray], q) -> list[float]:
    """q scaled by a power of two until the largest |score| lies between 1
    and 4.

    Scaling by a power of two is exact, so the products keep their rounding
    pattern; with moderate scores the softmax weights are neither one-hot nor
    uniform, and a last-bit change in any held key or value shows in the
    output. Queries without a finite non-zero dot product come back as they
    were.
    """
    qv = vector(q)
    if not keys:
        return [float(x) for x in qv]
    with np.errstate(all="ignore"):
        dots = np.abs(unrolled_dot(np.stack(keys), qv))
    finite = dots[np.isfinite(dots) & (dots > 0)]
    if finite.size == 0:
        return [float(x) for x in qv]
    d_k = len(qv)
    # Brings the largest |dot| into [2**e, 2**(e + 1)) where sqrt(d_k) lies
    # in [2**(e - 1), 2**e).
    shift = math.frexp(math.sqrt(max(d_k, 1)))[1] - math.frexp(float(finite.max()))[1] + 1
    return [math.ldexp(float(x), shift) for x in qv]


def probe_queries(keys: Sequence[np.ndarray], d_k: int, seed: int = 0, count: int = 4) -> list[list[float]]:
    """Queries whose attend outputs together pin the held entries down.

    The zero query weighs every entry alike (all scores are 0 for finite
    keys), so it shows the values whatever the keys; queries along a few
    held keys and along random directions, moderated, show the keys.
    """
    rng = np.random.default_rng(seed)
    queries = [[0.0] * d_k]
    if keys:
        picks = sorted({0, len(keys) // 2, len(keys) - 1})
        queries += [moderate_query(keys, keys[i]) for i in picks]
    for _ in range(count):
        direction = [float(x) for x in rng.standard_normal(d_k).astype(np.float32)]
        queries.append(moderate_query(keys, direction))
    return queries
