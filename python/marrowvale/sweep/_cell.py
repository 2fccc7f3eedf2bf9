"""The one place where the sweep meets the model evaluation: loading a model,
turning a text into the token ids of a cell, evaluating one cell, and turning
the ``Evaluation`` into the records the store keeps. The driver, both
backends and the report reach ``marrowvale.models`` through here only.

A cell is one model, one text and one window setting, evaluated with all of
its strategies in lockstep, so the weights are read once per token for all.
A record holds one strategy's figures on that cell.
"""

from __future__ import annotations

import dataclasses
import inspect
import os
import socket
import time
import traceback
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .._strategy_spec import StrategySpec

if TYPE_CHECKING:
    from ..models import Evaluation, Model

__all__ = ["CellResult", "CellTask", "blas_threads", "check_settings", "default_strategies", "encode",
           "fed_tokens", "load", "model_path", "run_cell"]

# Bytes of one cached float32 key or value component.
FLOAT32_BYTES = 4

# Records the report reads; the evaluator may add more, and they are kept.
Record = dict[str, Any]


@dataclass(frozen=True)
class CellTask:
    """What a worker needs for one cell: the model to load (a path), the
    token ids, and each strategy's spec key with the spec resolved for this
    text. ``threads`` is the worker's share of the cores."""

    index: int
    model: str
    tokens: tuple[int, ...]
    strategies: tuple[tuple[str, Mapping[str, object]], ...]
    ctx: int | None
    threads: int


@dataclass(frozen=True)
class CellResult:
    """A worker's answer: one record per spec key, or the error that ended
    the cell (``error`` one line, ``details`` the traceback). ``seconds`` is
    the evaluation's own time in the worker, ``load_seconds`` the time it
    spent loading the model for this cell (0 when it held it already);
    ``worker`` says where it ran."""

    index: int
    records: dict[str, Record] | None
    error: str | None
    details: str | None
    seconds: float
    worker: str
    load_seconds: float = 0.0


def _evaluate_takes(name: str) -> bool:
    from ..models import evaluate
    return name in inspect.signature(evaluate).parameters


def blas_threads(cores: int) -> int:
    """The BLAS threads for a cell given ``cores``. The evaluation steps one
    token at a time, so its matrix products have a row per run: split over
    threads, such products wait on each other more than they gain (a cell
    took 5x as long with 2 threads as with 1 on a busy 2-core machine).
    An evaluation that multiplies whole chunks of tokens would use them."""
    return 1


def check_settings(ctx: int | None) -> None:
    """Refuse settings the evaluator cannot honour, before any work."""
    if ctx is not None and not _evaluate_takes("ctx"):
        raise ValueError("ctx: this version of marrowvale evaluates a text as one window; "
                         "leave ctx out, or set max_tokens instead")


def default_strategies() -> tuple[StrategySpec, ...]:
    """The full cache and ``eval``'s selection, for a grid that names none."""
    from ..models import DEFAULT_EVAL_STRATEGIES
    return ("full", *DEFAULT_EVAL_STRATEGIES)


def load(model: str | os.PathLike[str]) -> Model:
    """The model a name or path stands for, as ``eval --model`` takes it.
    Raises ValueError (or ImportError for the missing ``eval`` extra) naming
    what is wrong."""
    from ..models import load_model
    return load_model(model)


def model_path(model: Model) -> Path:
    """The file or folder the model was read from."""
    return model.path


def encode(model: Model, text: str, max_tokens: int | None) -> list[int]:
    """The token ids a cell evaluates: the text's, cut to ``max_tokens``,
    checked against the model's own attention window."""
    from ..models._decoder import check_window
    tokens = model.encode(text)
    if max_tokens is not None:
        tokens = tokens[:max_tokens]
    check_window(model.config, max(len(tokens) - 1, 0))
    return tokens


def fed_tokens(tokens: int, ctx: int | None) -> int:
    """How many tokens one cache is fed at most: every one but the last of
    the text, or of one window of ``ctx``."""
    return max((tokens if ctx is None else min(tokens, ctx)) - 1, 0)


def _figures(result: Any) -> Record:
    """Every scalar figure of one strategy's result, under its own name, and
    its parameters; a per-layer list keeps only its largest value."""
    record: Record = {"params": dict(result.params)}
    for field in dataclasses.fields(result):
        value = getattr(result, field.name)
        if isinstance(value, (int, float, str)):
            record[field.name] = value
        elif field.name == "attention_error":
            record["attention_error_max"] = max(value, default=0.0)
    return record


def _records(evaluation: Evaluation, model: Model, keys: Sequence[str | None]) -> dict[str, Record]:
    """One record per spec key; ``keys[run]`` names run ``run + 1`` (run 0
    is the full cache itself, which the key ``"full"`` reads directly).
    Figures the evaluation gives are kept as it names them; the report's
    perplexity ratio and bytes per token are derived when it gives none."""
    entry_bytes = 2 * model.config.head_dim * FLOAT32_BYTES
    reference = evaluation.results[0]
    by_key: dict[str, Record] = {}
    for key, result in zip(keys, evaluation.results):
        if key is None:
            continue
        record = _figures(result)
        record.update(tokens=evaluation.tokens, predictions=evaluation.predictions,
                      full_perplexity=reference.perplexity)
        record.setdefault("perplexity_ratio", result.perplexity / reference.perplexity)
        # float32 keys and values held at the end, per token fed.
        record.setdefault("bytes_per_token", result.entries_held * entry_bytes / evaluation.predictions)
        by_key[key] = record
    return by_key


def evaluate_cell(model: Model, task: CellTask) -> dict[str, Record]:
    """Evaluate every strategy of ``task`` in lockstep on its tokens.

    A spec that is the full cache alone reads the reference run instead of
    adding a copy of it to the lockstep.
    """
    from ..models import evaluate
    full = {"strategy": "full"}
    runs = [spec for _, spec in task.strategies if dict(spec) != full]
    keys: list[str | None] = [None] * (len(runs) + 1)
    run = 1
    for key, spec in task.strategies:
        if dict(spec) == full:
            keys[0] = key
        else:
            keys[run] = key
            run += 1
    options: dict[str, Any] = {}
    if task.ctx is not None:
        options["ctx"] = task.ctx
    if _evaluate_takes("threads"):
        options["threads"] = task.threads
    evaluation = evaluate(model, list(task.tokens), runs, max_tokens=None, **options)
    return _records(evaluation, model, keys)


# The model this process holds, by path: a worker loads each model once and
# keeps it for the cells it is given.
_held: dict[str, Model] = {}


def run_cell(task: CellTask) -> CellResult:
    """Evaluate one cell in this process (a pool worker or a Ray task),
    loading the model unless this process holds it already. Every error is
    returned, not raised, so that the sweep goes on."""
    worker = f"{socket.gethostname()}:{os.getpid()}"
    start = time.perf_counter()
    loading = 0.0
    try:
        model = _held.get(task.model)
        if model is None:
            _held.clear()
            model = _held[task.model] = load(task.model)
            loading = time.perf_counter() - start
        start = time.perf_counter()
        records = evaluate_cell(model, task)
    except Exception as exc:
        return CellResult(task.index, None, f"{type(exc).__name__}: {exc}", traceback.format_exc(),
                          time.perf_counter() - start, worker, loading)
    return CellResult(task.index, records, None, None, time.perf_counter() - start, worker, loading)
