"""The figures of a strategy's next-token predictions against the full
cache's: per position, then pooled over positions and windows.

Per position, from the logits of both runs: KL(full ‖ run) of the
next-token distributions, whether both rank the same token first, and the
negative log-likelihood of the text's next token under each. Pooled: means
with their standard errors, quantiles, perplexities. A standard error takes
the positions as independent draws; neighbouring positions of one text are
not, so it is a lower bound, good for telling noise from a difference, not
a confidence interval.
"""

from __future__ import annotations

import math
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from ._model import Matrix

__all__ = ["LogitBlock", "Pooled", "kv_storage_bytes", "pool", "position_figures"]

Floats = npt.NDArray[np.float64]


def _row_bytes(width: int, dtype: str) -> int:
    """Bytes of a stored row of ``width`` values: float32 4 a value,
    bfloat16 2, int8 one and a float32 scale per block of 32, each row
    padded to whole 4 bytes as LayerCache holds it."""
    if dtype == "bfloat16":
        raw = 2 * width
    elif dtype == "int8":
        raw = 4 * -(-width // 32) + width
    else:
        raw = 4 * width
    return -(-raw // 4) * 4


def kv_storage_bytes(entries: int | float, d_k: int, d_v: int, dtype: str = "float32") -> float:
    """Bytes of key/value storage that ``entries`` cache entries hold: a key
    and a value each, in the storage tier ``dtype`` (float32: entries ×
    (d_k + d_v) × 4)."""
    return float(entries) * (_row_bytes(d_k, dtype) + _row_bytes(d_v, dtype))


class LogitBlock:
    """Rows of next-token logits (float32) with what every figure needs of
    them: the log of each row's partition function (float64), its
    exponentials shifted by the row's largest logit, and its top token.

    The exponentials are taken in float32 (the logits carry float32 rounding
    anyway) and summed in float64.
    """

    def __init__(self, logits: Matrix) -> None:
        self.logits = logits
        top = logits.max(axis=1, keepdims=True)
        self.shifted_exp: Matrix = np.exp(logits - top)
        total = self.shifted_exp.sum(axis=1, dtype=np.float64)
        self.log_partition: Floats = top[:, 0].astype(np.float64) + np.log(total)
        self.total = total
        self.top = logits.argmax(axis=1)

    def nll(self, next_ids: npt.NDArray[np.int64]) -> Floats:
        """−log p(next token) per row."""
        chosen = self.logits[np.arange(len(next_ids)), next_ids].astype(np.float64)
        result: Floats = self.log_partition - chosen
        return result


def position_figures(full: LogitBlock, run: LogitBlock) -> tuple[Floats, npt.NDArray[np.bool_]]:
    """KL(full ‖ run) per row, in nats, and whether the top tokens agree.

    With d = l_full − l_run and p the full run's probabilities,
    KL = Σ p d + log Σ p e^(−d). The difference of two close float32 logits
    is exact, e^(−d) − 1 keeps its digits for small d (expm1), and the sums
    are taken in float64, so a divergence of 1e-9 keeps its leading digits;
    subtracting two log partition functions, each rounded, would not. Where
    e^(−d) overflows float32 (logits 88 apart), the row falls back to that
    subtraction, whose rounding is negligible beside such a divergence. A
    run against itself gives exactly 0; no row is negative.
    """
    if run is full:
        return np.zeros(len(full.top)), np.ones(len(full.top), dtype=bool)
    weights, total = full.shifted_exp, full.total
    difference = full.logits - run.logits
    # Each product is rounded once in float32 (a relative 6e-8), each sum
    # taken in float64.
    mean = (weights * difference).sum(axis=1, dtype=np.float64) / total
    with np.errstate(over="ignore", invalid="ignore"):
        tilt = (weights * np.expm1(-difference)).sum(axis=1, dtype=np.float64) / total
        precise = mean + np.log1p(tilt)
    kl: Floats = np.where(np.isfinite(precise), precise, mean - (full.log_partition - run.log_partition))
    return np.maximum(kl, 0.0), full.top == run.top


@dataclass(frozen=True)
class Pooled:
    """One run's figures over every predicted position (see StrategyEvaluation)."""

    kl_mean: float
    kl_se: float
    kl_median: float
    kl_p90: float
    kl_p95: float
    kl_p99: float
    kl_p999: float
    kl_max: float
    top1_agreement: float
    top1_se: float
    perplexity: float
    perplexity_ratio: float
    ln_ppl_ratio: float
    ln_ppl_ratio_se: float
    kl_by_position: tuple[float, ...]


def _standard_error(x: Floats) -> float:
    return float(x.std(ddof=1) / math.sqrt(x.size)) if x.size > 1 else math.nan


def pool(kl: Floats, agree: npt.NDArray[np.bool_], nll: Floats, full_nll: Floats) -> Pooled:
    """Pool (windows, positions) arrays of one run: its KL against the full
    cache, its top-1 agreement, its negative log-likelihoods and the full
    cache's. Quantiles interpolate linearly between the ranked values."""
    flat = kl.ravel()
    median, p90, p95, p99, p999 = np.percentile(flat, [50, 90, 95, 99, 99.9])
    share = float(agree.mean())
    # ln(PPL_run / PPL_full) is the mean of the per-position differences.
    excess = (nll - full_nll).ravel()
    ln_ratio = float(excess.mean())
    return Pooled(
        kl_mean=float(flat.mean()),
        kl_se=_standard_error(flat),
        kl_median=float(median),
        kl_p90=float(p90),
        kl_p95=float(p95),
        kl_p99=float(p99),
        kl_p999=float(p999),
        kl_max=float(flat.max()),
        top1_agreement=share,
        top1_se=math.sqrt(share * (1.0 - share) / agree.size),
        perplexity=float(np.exp(nll.mean())),
        perplexity_ratio=math.exp(ln_ratio),
        ln_ppl_ratio=ln_ratio,
        ln_ppl_ratio_se=_standard_error(excess),
        kl_by_position=tuple(float(x) for x in kl.mean(axis=0)),
    )
