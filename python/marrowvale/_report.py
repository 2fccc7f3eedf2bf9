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

__all__ = ["compare_records", "evaluation_records", "write_json"]


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
    return [{
        "label": r.label,
        "strategy": r.strategy,
        "params": dict(r.params),
        "kl_mean_nats": r.kl_mean,
        "kl_p95_nats": r.kl_p95,
        "top1_agreement": r.top1_agreement,
        "perplexity": r.perplexity,
        "perplexity_change": r.perplexity_change,
        "entries_held": r.entries_held,
        "entries_held_per_head": r.entries_per_head,
        "compression_ratio": r.compression_ratio,
        "attention_rel_l2_error_max": max(r.attention_error, default=0.0),
        "attention_rel_l2_error_by_layer": list(r.attention_error),
    } for r in evaluation.results]


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
