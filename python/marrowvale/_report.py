"""Tables as JSON for scripts: one record per strategy, every figure of the
printed table under a key that says what it is."""

from __future__ import annotations

import json
import math
import os
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

from ._compare import CompareResult

if TYPE_CHECKING:
    from .models import Evaluation

__all__ = ["compare_records", "evaluation_document", "evaluation_records", "write_json"]


def compare_records(results: Sequence[CompareResult]) -> list[dict[str, Any]]:
    return [{
        "label": r.label,
        "strategy": r.strategy,
        "params": dict(r.params),
        "entries_held": r.entries,
        "compression_ratio": r.compression_ratio,
        "attention_rel_l2_error": r.rel_l2,
        "attention_max_abs_error": r.max_abs,
        "microseconds_per_token": r.us_per_token,
    } for r in results]


def evaluation_records(evaluation: Evaluation) -> list[dict[str, Any]]:
    """One record per run, every figure under a name that gives its unit."""
    return [{
        "label": r.label,
        "strategy": r.strategy,
        "params": dict(r.params),
        "choice": r.choice if isinstance(r.choice, str) else dict(r.choice),
        "kl_mean_nats": r.kl_mean,
        "kl_mean_se_nats": r.kl_se,
        "kl_median_nats": r.kl_median,
        "kl_p90_nats": r.kl_p90,
        "kl_p95_nats": r.kl_p95,
        "kl_p99_nats": r.kl_p99,
        "kl_p99_9_nats": r.kl_p999,
        "kl_max_nats": r.kl_max,
        "top1_agreement": r.top1_agreement,
        "top1_agreement_se": r.top1_se,
        "perplexity": r.perplexity,
        "perplexity_change": r.perplexity_change,
        "perplexity_ratio": r.perplexity_ratio,
        "ln_perplexity_ratio": r.ln_ppl_ratio,
        "ln_perplexity_ratio_se": r.ln_ppl_ratio_se,
        "entries_held": r.entries_held,
        "entries_held_per_head": r.entries_per_head,
        "compression_ratio": r.compression_ratio,
        "kv_bytes_held": r.kv_bytes_held,
        "kv_bytes_held_per_token": r.kv_bytes_per_token,
        "attention_rel_l2_error_max": max(r.attention_error, default=0.0),
        "attention_rel_l2_error_by_layer": list(r.attention_error),
        "kl_by_position_nats": list(r.kl_by_position),
    } for r in evaluation.results]


def evaluation_document(evaluation: Evaluation) -> dict[str, Any]:
    """The whole evaluation as one JSON object: what ran on what (model file,
    text source, hash of the token ids, kernel set, time) and the records."""
    return {
        "model": evaluation.model,
        "architecture": evaluation.architecture,
        "text_source": evaluation.text_source,
        "token_hash_sha256": evaluation.token_hash,
        "tokens": evaluation.tokens,
        "windows": evaluation.windows,
        "window_tokens": evaluation.window_tokens,
        "prompt_tokens": evaluation.prompt_tokens,
        "predictions": evaluation.predictions,
        "kernel_set": evaluation.kernel_set,
        "seconds": evaluation.seconds,
        "results": evaluation_records(evaluation),
    }


def _finite(value: Any) -> Any:
    # JSON has no infinity or NaN; null stands for a figure that has none.
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, dict):
        return {key: _finite(item) for key, item in value.items()}
    if isinstance(value, list):
        return [_finite(item) for item in value]
    return value


def write_json(path: str | os.PathLike[str], document: dict[str, Any]) -> None:
    """Write ``document`` as strict JSON (non-finite numbers as null)."""
    text = json.dumps(_finite(document), indent=2, allow_nan=False)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text + "\n")
