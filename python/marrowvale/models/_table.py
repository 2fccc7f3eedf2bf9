"""An evaluation as plain-text tables: cost and accuracy per strategy, the
distribution of its KL divergence, then the attention-output error per
layer."""

from __future__ import annotations

import math

from .._table_layout import aligned_lines, error_text
from ._evaluate import Evaluation

__all__ = ["format_evaluation"]


def _share(x: float) -> str:
    return "-" if math.isnan(x) else f"{100 * x:.1f}%"


def _error(x: float) -> str:
    return "-" if math.isnan(x) else error_text(x)


def format_evaluation(evaluation: Evaluation) -> str:
    """The three tables. Strategies are numbered in the first; the others
    name them by those numbers."""
    results = evaluation.results
    header = ("#", "strategy", "KL mean", "± SE", "top-1", "± SE", "perplexity", "PPL ratio",
              "held/head", "ratio", "KV bytes/token", "attn err")
    rows = [(str(i), r.label, error_text(r.kl_mean), _error(r.kl_se), _share(r.top1_agreement), _share(r.top1_se),
             f"{r.perplexity:.3f}", f"{r.perplexity_ratio:.4f}", f"{r.entries_per_head:.1f}",
             f"{r.compression_ratio:.3f}", f"{r.kv_bytes_per_token:,.0f}",
             error_text(max(r.attention_error, default=0.0)))
            for i, r in enumerate(results)]
    lines = aligned_lines(header, rows, left=2)
    strategies = range(1, len(results))
    if not strategies:
        return "\n".join(lines)
    lines += ["", "KL(full || strategy) over the predicted positions, nats; ln of the perplexity ratio, per strategy #"]
    lines += aligned_lines(("#", "median", "p90", "p95", "p99", "p99.9", "max", "ln PPL ratio", "± SE"),
                           [(str(i), *(error_text(x) for x in (r.kl_median, r.kl_p90, r.kl_p95, r.kl_p99,
                                                                r.kl_p999, r.kl_max)),
                             f"{r.ln_ppl_ratio:+.4f}", _error(r.ln_ppl_ratio_se))
                            for i, r in ((i, results[i]) for i in strategies)])
    layers = len(results[0].attention_error)
    lines += ["", "attention-output error by layer (relative L2 against the full cache), per strategy #"]
    lines += aligned_lines(("layer", *map(str, strategies)),
                           [(str(layer), *(error_text(results[i].attention_error[layer]) for i in strategies))
                            for layer in range(layers)])
    return "\n".join(lines)
