"""An evaluation as plain-text tables: the figures per strategy, then the
attention-output error per layer."""

from __future__ import annotations

from collections.abc import Sequence

from ._evaluate import Evaluation

__all__ = ["format_evaluation"]


def _small(x: float) -> str:
    return "0" if x == 0.0 else f"{x:.2e}"


def _aligned(header: Sequence[str], rows: Sequence[Sequence[str]], left: int = 1) -> list[str]:
    """Columns padded to their widest cell: the first ``left`` to the left,
    the others (numbers) to the right; a rule under the header."""
    table = [list(header), *map(list, rows)]
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    lines = ["  ".join(cell.ljust(w) if i < left else cell.rjust(w)
                       for i, (cell, w) in enumerate(zip(row, widths))).rstrip()
             for row in table]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return lines


def format_evaluation(evaluation: Evaluation) -> str:
    """Both tables. Strategies are numbered in the first; the second names
    them by those numbers, one column each, one row per layer."""
    header = ("#", "strategy", "KL mean", "KL p95", "top-1", "perplexity", "change",
              "held/head", "ratio", "attn err")
    rows = [(str(i), r.label, _small(r.kl_mean), _small(r.kl_p95), f"{100 * r.top1_agreement:.1f}%",
             f"{r.perplexity:.3f}", f"{r.perplexity_change:+.3f}", f"{r.entries_per_head:.1f}",
             f"{r.compression_ratio:.3f}", _small(max(r.attention_error, default=0.0)))
            for i, r in enumerate(evaluation.results)]
    lines = _aligned(header, rows, left=2)
    strategies = range(1, len(evaluation.results))
    if strategies:
        layers = len(evaluation.results[0].attention_error)
        lines += ["", "attention-output error by layer (relative L2 against the full cache), per strategy #"]
        lines += _aligned(("layer", *map(str, strategies)),
                          [(str(layer), *(_small(evaluation.results[i].attention_error[layer]) for i in strategies))
                           for layer in range(layers)])
    return "\n".join(lines)
