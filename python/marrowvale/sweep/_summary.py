"""What a sweep store says, per model and strategy: the figures of each text
pooled over the texts, with 95% intervals, as a table, JSON records and
CSV."""

from __future__ import annotations

import csv
import json
import math
import os
import statistics
from collections.abc import Sequence
from dataclasses import asdict, dataclass, field
from typing import Any

from .._table_layout import aligned_lines, error_text, markdown_lines
from ._store import Store, StoredRow

__all__ = ["StrategySummary", "format_summary", "student_t_quantile", "summarize", "summary_records",
           "write_summary_csv"]

# Past this many degrees of freedom the t quantile is the normal one to
# better than 1e-4, and the exact sum below grows long.
_NORMAL_BEYOND = 10_000


def _two_sided(t: float, df: int) -> float:
    """P(|T| <= t) for Student's t with ``df`` degrees of freedom, in closed
    form for whole ``df`` (Abramowitz and Stegun 26.7.3 and 26.7.4)."""
    theta = math.atan(t / math.sqrt(df))
    c2, s = math.cos(theta) ** 2, math.sin(theta)
    total, term = 1.0, 1.0
    if df % 2 == 0:
        for k in range(1, df // 2):
            term *= c2 * (2 * k - 1) / (2 * k)
            total += term
        return s * total
    if df == 1:
        return 2.0 * theta / math.pi
    for k in range(1, (df - 1) // 2):
        term *= c2 * (2 * k) / (2 * k + 1)
        total += term
    return 2.0 / math.pi * (theta + s * math.cos(theta) * total)


def student_t_quantile(confidence: float, df: int) -> float:
    """The t with P(|T| <= t) = ``confidence``: the half-width of a
    two-sided interval in standard errors (12.71 for 95% and one degree of
    freedom, 1.96 for many)."""
    if df < 1:
        raise ValueError(f"degrees of freedom must be at least 1, not {df}")
    if df > _NORMAL_BEYOND:
        return statistics.NormalDist().inv_cdf(0.5 + confidence / 2)
    low, high = 0.0, 1.0
    while _two_sided(high, df) < confidence:
        high *= 2.0
    for _ in range(100):
        middle = (low + high) / 2
        if _two_sided(middle, df) < confidence:
            low = middle
        else:
            high = middle
    return (low + high) / 2


def _mean_and_half(values: Sequence[float]) -> tuple[float, float]:
    """The mean and the half-width of its 95% interval (NaN for one value)."""
    mean = statistics.fmean(values)
    if len(values) < 2:
        return mean, math.nan
    error = statistics.stdev(values) / math.sqrt(len(values))
    return mean, student_t_quantile(0.95, len(values) - 1) * error


@dataclass(frozen=True)
class StrategySummary:
    """One strategy on one model, over the texts it was done on.

    ``kl_mean`` is the mean over texts of each text's mean KL(full ‖
    strategy) in nats, ``kl_interval`` the half-width of its 95% interval
    (Student's t over the texts); ``top1_agreement`` likewise. The
    perplexity ratio (strategy over full cache) is the geometric mean over
    texts, with its interval from that of the mean log ratio.
    ``bytes_per_token`` is the key and value bytes the caches hold at the
    end per token fed, ``compression_ratio`` the entries held over those
    appended; both means over texts. ``failed`` counts texts whose cell
    failed.
    """

    model: str
    model_digest: str
    settings: dict[str, Any] = field(repr=False)
    version: str
    choice: str
    label: str
    texts: int
    failed: int
    kl_mean: float
    kl_interval: float
    top1_agreement: float
    top1_interval: float
    perplexity_ratio: float
    perplexity_ratio_low: float
    perplexity_ratio_high: float
    bytes_per_token: float
    compression_ratio: float


def _summarize(rows: list[StoredRow]) -> StrategySummary:
    first = rows[0]
    done = [r.figures for r in rows if r.figures is not None]
    nan = math.nan
    kl = top1 = (nan, nan)
    ratio = (nan, nan, nan)
    bytes_per_token = compression = nan
    if done:
        kl = _mean_and_half([f["kl_mean"] for f in done])
        top1 = _mean_and_half([f["top1_agreement"] for f in done])
        logs = _mean_and_half([math.log(f["perplexity_ratio"]) for f in done])
        ratio = (math.exp(logs[0]), math.exp(logs[0] - logs[1]), math.exp(logs[0] + logs[1]))
        bytes_per_token = statistics.fmean(f["kv_bytes_per_token"] for f in done)
        compression = statistics.fmean(f["compression_ratio"] for f in done)
    return StrategySummary(first.model, first.model_digest, first.settings, first.version, first.choice,
                           first.label, len(done), len(rows) - len(done), kl[0], kl[1], top1[0], top1[1],
                           *ratio, bytes_per_token, compression)


def summarize(store: str | os.PathLike[str]) -> list[StrategySummary]:
    """Pool a store's results per model, settings, package version and
    strategy, in the order they were first stored.

    Parameters
    ----------
    store : str or path
        A sweep's SQLite file.

    Returns
    -------
    list of StrategySummary

    Raises
    ------
    ValueError
        For a missing file, one that is not a sweep store, and a store of
        another schema version.
    """
    groups: dict[tuple[str, ...], list[StoredRow]] = {}
    with Store(store) as database:
        for row in database.rows():
            key = (row.model, row.model_digest, json.dumps(row.settings, sort_keys=True), row.version, row.choice)
            groups.setdefault(key, []).append(row)
    return [_summarize(rows) for rows in groups.values()]


def _settings_text(settings: dict[str, Any]) -> str:
    parts = [f"{settings.get('max_tokens') or 'all'} tokens"]
    if settings.get("ctx") is not None:
        parts.append(f"ctx {settings['ctx']}")
    return ", ".join(parts)


def _interval_text(mean: float, half: float) -> str:
    return error_text(mean) if math.isnan(half) else f"{error_text(mean)} ± {error_text(half)}"


def format_summary(summaries: Sequence[StrategySummary], *, markdown: bool = False) -> str:
    """A table, one line per model and strategy; the settings and version
    are shown when the store holds more than one of them. ``markdown``:
    the same table in Markdown."""
    settings = {json.dumps(s.settings, sort_keys=True) for s in summaries}
    versions = {s.version for s in summaries}
    header = ["model", "strategy", "texts", "failed", "KL mean ± 95%", "top-1", "ppl ratio", "bytes/token",
              "ratio"]
    extra = (["settings"] if len(settings) > 1 else []) + (["version"] if len(versions) > 1 else [])
    rows = []
    for s in summaries:
        rows.append([s.model, s.label, str(s.texts), str(s.failed), _interval_text(s.kl_mean, s.kl_interval),
                     f"{100 * s.top1_agreement:.1f}%", f"{s.perplexity_ratio:.4f}", f"{s.bytes_per_token:.0f}",
                     f"{s.compression_ratio:.3f}"]
                    + ([_settings_text(s.settings)] if len(settings) > 1 else [])
                    + ([s.version] if len(versions) > 1 else []))
    layout = markdown_lines if markdown else aligned_lines
    return "\n".join(layout(header + extra, rows, left=2))


def summary_records(summaries: Sequence[StrategySummary]) -> list[dict[str, Any]]:
    """One dict per summary, every field under its own name."""
    return [asdict(s) for s in summaries]


def write_summary_csv(path: str | os.PathLike[str], summaries: Sequence[StrategySummary]) -> None:
    """The summaries as CSV, one row each, the settings as JSON."""
    names = [f for f in StrategySummary.__dataclass_fields__]
    with open(path, "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=names)
        writer.writeheader()
        for record in summary_records(summaries):
            writer.writerow({**record, "settings": json.dumps(record["settings"], sort_keys=True)})
