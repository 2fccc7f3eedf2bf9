"""An evaluation as plain-text tables: the figures per strategy, then the
attention-output error per layer."""

from __future__ import annotations

from .._table_layout import aligned_lines, error_text
from ._evaluate import Evaluation

__all__ = ["format_evaluation"]


def format_evaluation(evaluation: Evaluation) -> str:
    """Both tables. Strategies are numbered in the first; the second names
    them by those numbers, one column each, one row per layer."""
    header = ("#", "strategy", "KL mean", "KL p95", "top-1", "perplexity", "change",
              "held/head", "ratio", "attn err")
    rows = [(str(i), r.label, error_text(r.kl_mean), error_text(r.kl_p95), f"{100 * r.top1_agreement:.1f}%",
             f"{r.perplexity:.3f}", f"{r.perplexity_change:+.3f}", f"{r.entries_per_head:.1f}",
             f"{r.compression_ratio:.3f}", error_text(max(r.attention_error, default=0.0)))
            for i, r in enumerate(evaluation.results)]
    lines = aligned_lines(header, rows, left=2)
    strategies = range(1, len(evaluation.results))
    if strategies:
        layers = len(evaluation.results[0].attention_error)
        lines += ["", "attention-output error by layer (relative L2 against the full cache), per strategy #"]
        lines += aligned_lines(("layer", *map(str, strategies)),
                               [(str(layer), *(error_text(evaluation.results[i].attention_error[layer])
                                               for i in strategies))
                                for layer in range(layers)])
    return "\n".join(lines)
