"""Error against compression, one line per strategy, as a PNG (or any format
that matplotlib writes): attention error for ``compare``, KL divergence of
the predictions for a model evaluation. matplotlib is an optional extra: marrowvale[plot]."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ._compare import CompareResult

if TYPE_CHECKING:
    from .models import Evaluation

__all__ = ["PLOT_UNAVAILABLE", "plot_comparison", "plot_evaluation", "plot_format_problem", "plotting_available"]

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


def _draw(points: Sequence[tuple[str, float, float]], ylabel: str, path: str | os.PathLike[str],
          title: str | None) -> None:
    """One line per strategy through its (compression ratio, y) points."""
    # Building the Figure directly, without pyplot, needs no display and
    # leaves matplotlib's global backend alone.
    figure = _figure_class()(figsize=(7.0, 4.5), layout="constrained")
    axes = figure.add_subplot()
    by_strategy: dict[str, list[tuple[float, float]]] = {}
    for strategy, x, y in points:
        by_strategy.setdefault(strategy, []).append((x, y))
    # Strategies often land on the same point (a sliding window and a static
    # one of the same size); distinct markers keep both visible.
    markers = "osD^vP*X"
    for index, (name, group) in enumerate(by_strategy.items()):
        group.sort()
        axes.plot([x for x, _ in group], [y for _, y in group],
                  marker=markers[index % len(markers)], markersize=7, alpha=0.85, label=name)
    axes.set_xlabel("compression ratio (entries held / appended)")
    axes.set_ylabel(ylabel)
    axes.set_xlim(0.0, 1.05)
    axes.grid(True, alpha=0.3)
    axes.legend()
    if title:
        axes.set_title(title)
    # Without an extension matplotlib would add ".png" to the name, and the
    # file would not be where the caller was told it is.
    text = os.fspath(path)
    figure.savefig(text, dpi=120, format=None if os.path.splitext(text)[1] else "png")


def plot_comparison(results: Sequence[CompareResult], path: str | os.PathLike[str],
                    *, title: str | None = None) -> None:
    """Draw relative L2 error against compression ratio for each strategy and
    save the figure to ``path`` (the format follows the file's extension; a
    path without one gets PNG, written to exactly that path).

    Raises ImportError with an installation hint when matplotlib is missing.
    """
    _draw([(r.strategy, r.compression_ratio, r.rel_l2) for r in results],
          "relative L2 error of attention output", path, title)


def plot_evaluation(evaluation: Evaluation, path: str | os.PathLike[str], *, title: str | None = None) -> None:
    """Draw the mean KL divergence of the next-token distributions from the
    full cache's against compression ratio, one line per strategy, and save
    the figure to ``path``. Raises ImportError as ``plot_comparison`` does."""
    _draw([(r.strategy, r.compression_ratio, r.kl_mean) for r in evaluation.results],
          "mean KL(full || strategy) of next-token distributions, nats", path, title)
