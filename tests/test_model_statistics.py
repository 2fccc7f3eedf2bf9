"""The per-position figures and their pooling against definitions computed
here in float64 and with the standard library's statistics."""

import math
import statistics

import numpy as np
import pytest

from marrowvale.models import kv_storage_bytes
from marrowvale.models._statistics import LogitBlock, pool, position_figures


def log_softmax(x: np.ndarray) -> np.ndarray:
    x = x.astype(np.float64)
    top = x.max(axis=1, keepdims=True)
    return x - top - np.log(np.exp(x - top).sum(axis=1, keepdims=True))


def test_kl_agreement_and_nll_follow_their_definitions() -> None:
    rng = np.random.default_rng(0)
    full = (4 * rng.standard_normal((6, 500))).astype(np.float32)
    # From far apart to a divergence near 1e-9, which float32 sums would lose.
    scales = np.array([3.0, 1.0, 0.1, 1e-2, 1e-3, 1e-4], dtype=np.float32)[:, None]
    other = (full + scales * rng.standard_normal((6, 500))).astype(np.float32)
    p, q = log_softmax(full), log_softmax(other)
    expected = (np.exp(p) * (p - q)).sum(axis=1)
    kl, agree = position_figures(LogitBlock(full), LogitBlock(other))
    np.testing.assert_allclose(kl, expected, rtol=1e-4, atol=1e-12)
    assert expected[-1] < 1e-8 and kl[-1] > 0
    np.testing.assert_array_equal(agree, p.argmax(axis=1) == q.argmax(axis=1))
    ids = rng.integers(0, 500, 6)
    np.testing.assert_allclose(LogitBlock(other).nll(ids), -q[np.arange(6), ids], rtol=1e-6)
    block = LogitBlock(full)
    same_kl, same = position_figures(block, block)
    assert not same_kl.any() and same.all()


def test_pooled_figures_follow_their_definitions() -> None:
    rng = np.random.default_rng(1)
    kl = rng.exponential(0.2, (2, 50))
    agree = rng.random((2, 50)) < 0.8
    full_nll = rng.exponential(2.0, (2, 50))
    nll = full_nll + rng.exponential(0.3, (2, 50))
    pooled = pool(kl, agree, nll, full_nll)
    flat = list(kl.ravel())
    assert pooled.kl_mean == pytest.approx(statistics.fmean(flat))
    assert pooled.kl_se == pytest.approx(statistics.stdev(flat) / math.sqrt(100))
    assert pooled.kl_median == pytest.approx(statistics.median(flat))
    cuts = statistics.quantiles(flat, n=10, method="inclusive")
    assert pooled.kl_p90 == pytest.approx(cuts[8]) and pooled.kl_max == max(flat)
    share = agree.sum() / 100
    assert pooled.top1_agreement == share and pooled.top1_se == pytest.approx(math.sqrt(share * (1 - share) / 100))
    ppl, full_ppl = math.exp(statistics.fmean(nll.ravel())), math.exp(statistics.fmean(full_nll.ravel()))
    assert pooled.perplexity == pytest.approx(ppl) and pooled.perplexity_ratio == pytest.approx(ppl / full_ppl)
    assert pooled.ln_ppl_ratio == pytest.approx(math.log(ppl / full_ppl))
    assert pooled.ln_ppl_ratio_se == pytest.approx(statistics.stdev((nll - full_nll).ravel()) / 10)
    assert pooled.kl_by_position == pytest.approx(tuple((kl[0] + kl[1]) / 2))


def test_key_value_storage_is_a_float32_key_and_value_per_entry() -> None:
    assert kv_storage_bytes(10, 64, 32) == 10 * 96 * 4
