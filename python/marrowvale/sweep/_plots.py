"""One plot per model of a sweep: mean KL against the bytes the caches hold
per token, one labelled point per strategy and budget, with its 95%
interval as a bar. matplotlib is the optional ``plot`` extra."""

from __future__ import annotations

import math
import os
import re
from collections.abc import Sequence
from pathlib import Path

from .._plot import _figure_class, save_figure
from ._summary import StrategySummary

__all__ = ["plot_paths", "plot_summaries"]


def _slug(name: str) -> str:
    return re.sub(r"[^A-Za-z0-9._-]+", "_", Path(name.rstrip("/")).name or name).strip("_") or "model"


def _by_model(summaries: Sequence[StrategySummary]) -> dict[str, list[StrategySummary]]:
    models: dict[str, list[StrategySummary]] = {}
    for s in summaries:
        if s.texts:
            models.setdefault(s.model, []).append(s)
    return models


def plot_paths(path: str | os.PathLike[str], models: Sequence[str]) -> list[Path]:
    """Where the plots of ``models`` go: ``path`` itself for one model, else
    ``path`` with each model's name before the extension."""
    target = Path(path)
    if len(models) == 1:
        return [target]
    suffix = target.suffix or ".png"
    return [target.with_name(f"{target.stem}-{_slug(m)}{suffix}") for m in models]


def _draw(model: str, summaries: list[StrategySummary], path: Path) -> None:
    figure = _figure_class()(figsize=(8.0, 5.5), layout="constrained")
    axes = figure.add_subplot()
    markers = "osD^vP*X<>"
    strategies = list(dict.fromkeys(s.choice.partition(":")[0] for s in summaries))
    positive = [s.kl_mean for s in summaries if s.kl_mean > 0]
    # KL spans decades between a mild and a strong budget; the full cache's
    # 0 has no place on a log axis and is named in the title instead.
    logarithmic = len(positive) > 1 and max(positive) > 10 * min(positive)
    left_off = []
    for index, name in enumerate(strategies):
        group = [s for s in summaries if s.choice.partition(":")[0] == name]
        shown = [s for s in group if s.kl_mean > 0 or not logarithmic]
        left_off += [s for s in group if s not in shown]
        if not shown:
            continue
        errors = [0.0 if math.isnan(s.kl_interval) else s.kl_interval for s in shown]
        # On a log axis a bar cannot reach below 0: clip it above the axis.
        lower = [min(e, s.kl_mean * 0.999) if logarithmic else e for s, e in zip(shown, errors)]
        axes.errorbar([s.bytes_per_token for s in shown], [s.kl_mean for s in shown], yerr=[lower, errors],
                      fmt=markers[index % len(markers)], markersize=7, capsize=3, alpha=0.85, label=name)
        for s in shown:
            axes.annotate(s.label, (s.bytes_per_token, s.kl_mean), textcoords="offset points",
                          xytext=(5, 4), fontsize=7)
    if logarithmic:
        axes.set_yscale("log")
    held = [s.bytes_per_token for s in summaries if s.bytes_per_token > 0]
    if held and max(held) > 10 * min(held):
        axes.set_xscale("log")
    axes.set_xlabel("key and value bytes held per token")
    axes.set_ylabel("mean KL(full || strategy) over texts, nats")
    axes.grid(True, alpha=0.3)
    if strategies:
        axes.legend()
    texts = max(s.texts for s in summaries)
    title = f"{model}: {texts} texts, 95% intervals"
    if left_off:
        title += "\n" + "; ".join(f"{s.label}: KL 0 at {s.bytes_per_token:.0f} B/token" for s in left_off)
    axes.set_title(title, fontsize=9)
    save_figure(figure, path)


def plot_summaries(summaries: Sequence[StrategySummary], path: str | os.PathLike[str]) -> list[Path]:
    """Draw one plot per model and save each (see ``plot_paths``).

    Parameters
    ----------
    summaries : sequence of StrategySummary
        As ``summarize`` returns them.
    path : str or path
        The file for one model; with several, each model's name goes before
        the extension. The format follows the extension (PNG without one).

    Returns
    -------
    list of Path
        The files written.

    Raises
    ------
    ImportError
        When matplotlib is missing, with how to install it.
    """
    models = _by_model(summaries)
    paths = plot_paths(path, list(models))
    for (model, group), target in zip(models.items(), paths):
        _draw(model, group, target)
    return paths
