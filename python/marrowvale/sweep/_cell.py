"""The one place where the sweep meets the model evaluation: loading a model,
turning a text into the token ids of a cell, evaluating one cell, and turning
the ``Evaluation`` into the records the store keeps. The driver, both
backends and the report reach ``marrowvale.models`` through here only.

A cell is one model, one text and one window setting, evaluated with all of
its strategies in lockstep, so the weights are read once per chunk of tokens
for all of them.
A record holds one strategy's figures on that cell.
"""

from __future__ import annotations

import dataclasses
import os
import socket
import time
import traceback
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from .._strategy_choice import StrategyChoice

if TYPE_CHECKING:
    from ..models import Evaluation, Model

__all__ = ["CellResult", "CellTask", "blas_threads", "default_strategies", "encode", "load", "model_path",
           "run_cell", "tokens_digest", "window_tokens"]

# Records the report reads; the evaluator may add more, and they are kept.
Record = dict[str, Any]

# The choice of the full cache, which every evaluation runs first anyway.
FULL = {"strategy": "full"}


@dataclass(frozen=True)
class CellTask:
    """What a worker needs for one cell: the model to load (a path), the
    token ids, and each strategy's choice key with its choice (shares of the
    text unresolved: ``evaluate`` resolves them). ``threads`` is the
    worker's share of the cores."""

    index: int
    model: str
    tokens: tuple[int, ...]
    strategies: tuple[tuple[str, Mapping[str, object]], ...]
    ctx: int | None
    threads: int


@dataclass(frozen=True)
class CellResult:
    """A worker's answer: one record per choice key, or the error that ended
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


def blas_threads(cores: int) -> int:
    """The BLAS threads for a cell given ``cores``: one, whatever the
    cores. The evaluation takes a chunk of tokens through a layer as one
    matrix product, but each is small (a few hundred rows by a few hundred
    columns) and the LayerCaches' own threads use the cores meanwhile. A
    1-job worker's cell (SmolLM2, 512 tokens, 13 runs) took 26 to 34 s with
    one BLAS thread and 27 to 164 s with two, on a 2-core machine shared
    with other work: no gain at best, and OpenBLAS threads that wait for a
    busy core at worst."""
    return 1


def default_strategies() -> tuple[StrategyChoice, ...]:
    """The full cache and ``eval``'s selection, for a grid that names none."""
    from ..models import DEFAULT_EVAL_STRATEGIES
    return ("full", *DEFAULT_EVAL_STRATEGIES)


def load(model: str | os.PathLike[str]) -> Model:
    """The model a name or path stands for, as ``eval --model`` takes it.
    Raises ValueError (or ImportError for the missing ``eval`` extra) naming
    what is wrong."""
    from ..models import load_model
    return load_model(model)


def model_path(model: str | os.PathLike[str]) -> Path:
    """The file or folder a model given by name or path is read from, as
    ``load_model`` finds it ("smollm2" is the installed reference model's
    GGUF file). Raises ImportError for a named model not installed."""
    from ..models import resolve_model_path
    return resolve_model_path(model)


def tokens_digest(tokens: Sequence[int]) -> str:
    """The digest of a cell's token ids, as ``evaluate`` records it
    (``token_hash``)."""
    from ..models import token_hash
    return token_hash(tokens)


def window_tokens(tokens: int, ctx: int | None) -> int:
    """The tokens of one window, which a share of the text is a share of:
    the whole text, or ``ctx`` tokens."""
    return tokens if ctx is None else ctx


def encode(model: Model, text: str, max_tokens: int | None, ctx: int | None) -> list[int]:
    """The token ids a cell evaluates: the text's, cut to ``max_tokens``,
    each window checked against the model's own attention window as
    ``evaluate`` checks it (a short text is the caller's to refuse)."""
    from ..models._decoder import check_window
    from ..models._evaluate import prepare_tokens
    tokens = prepare_tokens(model, text, max_tokens, minimum=0)
    # The last token of a window is only predicted, never fed.
    check_window(model.config, max(window_tokens(len(tokens), ctx) - 1, 0))
    return tokens


def _figures(result: Any) -> Record:
    """Every figure of one strategy's result under its own name, and its
    parameters and choice; the attention error also as its largest layer's."""
    record: Record = {}
    for field in dataclasses.fields(result):
        value = getattr(result, field.name)
        if isinstance(value, Mapping):
            value = dict(value)
        elif isinstance(value, tuple):
            value = list(value)
        record[field.name] = value
    record["attention_error_max"] = max(result.attention_error, default=0.0)
    return record


def _records(evaluation: Evaluation, keys: Sequence[str | None]) -> dict[str, Record]:
    """One record per choice key; ``keys[run]`` names run ``run + 1`` (run 0
    is the full cache itself, which the key of a full-cache choice reads
    directly). The figures are the evaluation's own, as it names them; its
    time is the result's ``seconds``, not a figure, so that the same cell
    stores the same figures wherever it runs."""
    reference = evaluation.results[0]
    shared = {"tokens": evaluation.tokens, "predictions": evaluation.predictions, "windows": evaluation.windows,
              "window_tokens": evaluation.window_tokens, "token_hash": evaluation.token_hash,
              "kernel_set": evaluation.kernel_set, "full_perplexity": reference.perplexity}
    return {key: {**_figures(result), **shared}
            for key, result in zip(keys, evaluation.results) if key is not None}


def evaluate_cell(model: Model, task: CellTask) -> dict[str, Record]:
    """Evaluate every strategy of ``task`` in lockstep on its tokens.

    A choice that is the full cache alone reads the reference run instead of
    adding a copy of it to the lockstep.
    """
    from ..models import evaluate
    runs = [choice for _, choice in task.strategies if dict(choice) != FULL]
    keys: list[str | None] = [None] * (len(runs) + 1)
    run = 1
    for key, choice in task.strategies:
        if dict(choice) == FULL:
            keys[0] = key
        else:
            keys[run] = key
            run += 1
    evaluation = evaluate(model, list(task.tokens), runs, max_tokens=None, ctx=task.ctx, threads=task.threads)
    return _records(evaluation, keys)


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
