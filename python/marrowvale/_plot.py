"""Plots as PNG (or any format that matplotlib writes): error against
compression, one line per strategy (attention error for ``compare``, KL
divergence of the predictions for a model evaluation), and KL divergence by
token position. matplotlib is an optional extra: marrowvale[plot]."""

from __future__ import annotations

import math
import os
from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from ._compare import CompareResult

if TYPE_CHECKING:
    from .models import Evaluation

__all__ = ["PLOT_UNAVAILABLE", "plot_comparison", "plot_evaluation", "plot_format_problem", "plot_positions",
           "plotting_available"]

PLOT_UNAVAILABLE = ("plotting needs matplotlib, which is not installed; "
                    "install it with: pip install 'marrowvale[plot]'")


def _figure_class() -> Any:
    try:
        from matplotlib.figure import Figure  # type: ignore[import-not-found, unused-ignore]
    except ImportError as exc:
        raise ImportError(PLOT_UNAVAILABLE) from exc
    return Figure


def plotting_available() -> bool:
    """Whether plot_comparison can work here (matplotlib is importable)."""
    try:
        _figure_class()
    except ImportError:
        return False
    return True


def plot_format_problem(path: str | os.PathLike[str]) -> str | None:
    """Why matplotlib could not write ``path``: it is not installed, or the
    file's extension names a format it does not write; None when neither."""
    if not plotting_available():
        return PLOT_UNAVAILABLE
    extension = os.path.splitext(os.fspath(path))[1][1:].lower()
    if extension:
        formats = _figure_class()().canvas.get_supported_filetypes()
        if extension not in formats:
            return (f"matplotlib cannot write {extension!r} files; "
                    f"choose one of {', '.join(sorted(formats))}")
    return None


def _parameters(params: Mapping[str, float | int | str]) -> str:
    return ", ".join(f"{key}={value}" if isinstance(value, str) else f"{key}={value:g}" for key, value in params.items())


def save_figure(figure: Any, path: str | os.PathLike[str]) -> None:
    # Without an extension matplotlib would add ".png" to the name, and the
    # file would not be where the caller was told it is.
    text = os.fspath(path)
    figure.savefig(text, dpi=120, format=None if os.path.splitext(text)[1] else "png")


def _draw(points: Sequence[tuple[str, Mapping[str, float | int | str], float, float]], ylabel: str,
          path: str | os.PathLike[str], title: str | None) -> None:
    """One line per strategy through its (compression ratio, y) points, each
    point labelled with its parameters."""
    # Building the Figure directly, without pyplot, needs no display and
    # leaves matplotlib's global backend alone.
    figure = _figure_class()(figsize=(8.0, 5.0), layout="constrained")
    axes = figure.add_subplot()
    by_strategy: dict[str, list[tuple[float, float, str]]] = {}
    for strategy, params, x, y in points:
        by_strategy.setdefault(strategy, []).append((x, y, _parameters(params)))
    # Strategies often land on the same point (a sliding window and a static
    # one of the same size): distinct hollow markers keep both visible, and
    # the labels of points already drawn there move down a line each.
    markers = "osD^vP*X"
    seen: list[tuple[float, float]] = []
    for index, (name, group) in enumerate(by_strategy.items()):
        group.sort()
        axes.plot([x for x, _, _ in group], [y for _, y, _ in group], marker=markers[index % len(markers)],
                  markersize=8 - index % 3, fillstyle="none", alpha=0.9, label=name)
        for x, y, text in filter(lambda point: point[2], group):
            crowd = sum(1 for sx, sy in seen if math.isclose(sx, x, rel_tol=0.02, abs_tol=1e-3)
                        and math.isclose(sy, y, rel_tol=0.05, abs_tol=1e-3))
            seen.append((x, y))
            axes.annotate(text, (x, y), xytext=(6, 4 - 9 * crowd), textcoords="offset points", fontsize=6.5,
                          color=axes.lines[-1].get_color())
    ratios = [x for _, _, x, _ in points if x > 0]
    if ratios and max(ratios) / min(ratios) > 10.0:
        axes.set_xscale("log")
        axes.set_xlabel("compression ratio (entries held / appended, log scale)")
    else:
        axes.set_xlim(0.0, 1.05)
        axes.set_xlabel("compression ratio (entries held / appended)")
    axes.set_ylabel(ylabel)
    axes.grid(True, alpha=0.3)
    axes.legend()
    if title:
        axes.set_title(title)
    save_figure(figure, path)


def plot_comparison(results: Sequence[CompareResult], path: str | os.PathLike[str],
                    *, title: str | None = None) -> None:
    """Draw relative L2 error against compression ratio for each strategy and
    save the figure to ``path`` (the format follows the file's extension; a
    path without one gets PNG, written to exactly that path).

    Parameters
    ----------
    results
        What ``compare`` returned.
    path
        The file to write.
    title
        A title above the plot.

    Raises
    ------
    ImportError
        With an installation hint, when matplotlib is missing.
    """
    _draw([(r.strategy, r.params, r.compression_ratio, r.rel_l2) for r in results],
          "relative L2 error of attention output", path, title)


def plot_evaluation(evaluation: Evaluation, path: str | os.PathLike[str], *, title: str | None = None) -> None:
    """Draw the mean KL divergence of the next-token distributions from the
    full cache's against compression ratio, one line per strategy, and save
    the figure to ``path``; as ``plot_comparison`` otherwise."""
    _draw([(r.strategy, r.params, r.compression_ratio, r.kl_mean) for r in evaluation.results],
          "mean KL(full || strategy) of next-token distributions, nats", path, title)


def smoothing_width(positions: int) -> int:
    """Positions averaged together in a line of KL by position: about a
    hundred points per line, whatever the length."""
    return max(1, positions // 100)


def plot_positions(evaluation: Evaluation, path: str | os.PathLike[str], *, title: str | None = None) -> None:
    """Draw the KL divergence from the full cache by token position, one
    line per strategy, on a log scale, and save the figure to ``path``.
    Each point is the mean over a run of neighbouring positions (and over
    the windows); a run equal to the full cache everywhere has no line.
    Raises ImportError as ``plot_comparison`` does."""
    figure = _figure_class()(figsize=(8.0, 5.0), layout="constrained")
    axes = figure.add_subplot()
    width = 1
    for r in evaluation.results[1:]:
        kl = np.asarray(r.kl_by_position, dtype=np.float64)
        if not kl.size or not kl.any():
            continue
        width = smoothing_width(kl.size)
        means = kl[:kl.size - kl.size % width].reshape(-1, width).mean(axis=1)
        centres = np.arange(means.size) * width + (width - 1) / 2
        shown = means > 0  # a log scale has no place for 0
        axes.plot(centres[shown], means[shown], label=r.label, linewidth=1.2)
    axes.set_yscale("log")
    axes.set_xlabel("token position in the window" + (f" (mean over {width} positions)" if width > 1 else ""))
    axes.set_ylabel("KL(full || strategy), nats")
    axes.grid(True, which="both", alpha=0.3)
    if axes.lines:
        axes.legend(fontsize=8)
    if title:
        axes.set_title(title)
    save_figure(figure, path)
