"""From a grid to the cells left to compute. Everything that can be refused
is refused here, before any cell runs: a model that does not load, a text
that cannot be read or is too short, a strategy that a budget makes unfit.
Then each result gets its key, and the results a store holds already are
left out."""

from __future__ import annotations

import hashlib
import json
import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .._strategy_choice import check_strategy
from ._cell import CellResult, CellTask, encode, load, model_path, tokens_digest, window_tokens
from ._grid import Grid
from ._choices import BudgetChoice
from ._texts import Text, read_texts

__all__ = ["Cell", "Plan", "make_plan", "model_digest", "result_key"]

# The files of a checkpoint folder that its results depend on.
_MODEL_SUFFIXES = (".json", ".safetensors", ".gguf", ".model")
# A GGUF file's tokenizer, when this file stands beside it (see load_model).
_TOKENIZER_FILE = "tokenizer.json"


def _file_digest(path: Path) -> str:
    with open(path, "rb") as f:
        return hashlib.file_digest(f, "sha256").hexdigest()


def model_digest(path: Path) -> str:
    """SHA-256 of what a model's figures depend on: a GGUF file (and the
    tokenizer.json beside it, which ``load_model`` reads in place of the
    file's own), or a folder's configuration, weight and tokenizer files
    (their names and contents, by name)."""
    if path.is_file():
        beside = path.parent / _TOKENIZER_FILE
        if not beside.is_file():
            return _file_digest(path)
        files = [path, beside]
    else:
        files = sorted(p for p in path.iterdir() if p.is_file() and p.suffix in _MODEL_SUFFIXES)
    digest = hashlib.sha256()
    for file in files:
        digest.update(f"{file.name}\0{_file_digest(file)}\0".encode())
    return digest.hexdigest()


def result_key(model_digest: str, text_digest: str, settings: dict[str, Any], choice: str, version: str) -> str:
    """The key of one result: a digest of everything its figures depend on,
    so that a changed setting makes a new key and never overwrites."""
    identity = {"model": model_digest, "text": text_digest, "settings": settings, "choice": choice, "version": version}
    return hashlib.sha256(json.dumps(identity, sort_keys=True).encode()).hexdigest()


@dataclass(frozen=True)
class Cell:
    """One model on one text, and the results it is to compute."""

    model: str
    model_digest: str
    text: Text
    tokens_digest: str
    keys: dict[str, str]  # choice key -> result key
    labels: dict[str, str]  # choice key -> label
    task: CellTask

    def rows(self, result: CellResult, settings: dict[str, Any], version: str) -> list[dict[str, Any]]:
        """The store's rows for a worker's result: one per strategy, each
        done with its figures or failed with the cell's error."""
        rows = []
        for choice, key in self.keys.items():
            figures = None if result.records is None else result.records.get(choice)
            error = result.error if figures is None else None
            if figures is None and error is None:
                error = "the evaluation returned no figures for this strategy"
            rows.append({"key": key, "model": self.model, "model_digest": self.model_digest,
                         "text": self.text.name, "text_source": self.text.source,
                         "text_digest": self.text.digest, "tokens_digest": self.tokens_digest,
                         "settings": settings, "choice": choice, "label": self.labels[choice], "version": version,
                         "status": "failed" if figures is None else "done", "error": error,
                         "details": result.details if figures is None else None, "figures": figures,
                         "seconds": result.seconds, "load_seconds": result.load_seconds,
                         "worker": result.worker})
        return rows


@dataclass(frozen=True)
class Plan:
    """The cells left to compute (grouped by model, in the grid's order),
    with the size of the whole grid and what the store held already."""

    cells: tuple[Cell, ...]
    grid_cells: int
    grid_results: int
    stored: int
    retried: int

    @property
    def results(self) -> int:
        return sum(len(c.keys) for c in self.cells)


def _resolve(choice: BudgetChoice, tokens: int, text: Text) -> None:
    """Refuse, naming the text, a choice that its share of this text makes
    unfit (``evaluate`` resolves the same share against the same length)."""
    try:
        check_strategy(choice.resolve(tokens), layer=True)
    except (ValueError, TypeError, OverflowError) as exc:
        raise ValueError(f"strategy {choice.key} on text {text.name} ({tokens} tokens): {exc}") from None


def make_plan(grid: Grid, statuses: Callable[[Iterable[str]], dict[str, str]], *, version: str,
              threads: int) -> Plan:
    """Check the grid's models and texts and plan its cells.

    ``statuses`` gives the stored status of result keys (a store's
    ``statuses``); results done are left out, failed ones are tried again.
    Raises ValueError naming the model, text or strategy at fault.
    """
    texts = read_texts(grid.texts, grid.limit_texts)
    settings = grid.settings
    cells: list[Cell] = []
    too_short: list[str] = []
    # A window is only ever whole: a text shorter than one is too short.
    shortest = max(grid.min_tokens, grid.ctx or 0)
    for reference in grid.models:
        try:
            path = model_path(reference)
            model = load(path)
        except (ValueError, ImportError) as exc:
            raise ValueError(f"model {reference}: {exc}") from None
        digest = model_digest(path)
        for text in texts:
            try:
                tokens = encode(model, text.content, grid.max_tokens, grid.ctx)
            except ValueError as exc:
                raise ValueError(f"model {reference}, text {text.name}: {exc}") from None
            if len(tokens) < shortest:
                too_short.append(f"{text.name} ({len(tokens)} tokens)")
                continue
            window = window_tokens(len(tokens), grid.ctx)
            for choice in grid.choices:
                _resolve(choice, window, text)
            choices = tuple((choice.key, choice.choice) for choice in grid.choices)
            keys = {choice.key: result_key(digest, text.digest, settings, choice.key, version) for choice in grid.choices}
            task = CellTask(len(cells), str(path), tuple(tokens), choices, grid.ctx, threads)
            cells.append(Cell(os.fspath(reference), digest, text,
                              tokens_digest(tokens), keys, {s.key: s.label for s in grid.choices}, task))
        del model
    if too_short:
        shown = ", ".join(too_short[:5]) + (f" and {len(too_short) - 5} more" if len(too_short) > 5 else "")
        needs = "min_tokens" if shortest == grid.min_tokens else "one window of ctx"
        raise ValueError(f"texts too short: {shown}; each needs at least {shortest} tokens ({needs})")
    known = statuses(key for cell in cells for key in cell.keys.values())
    left: list[Cell] = []
    for cell in cells:
        wanted = {choice: key for choice, key in cell.keys.items() if known.get(key) != "done"}
        if not wanted:
            continue
        task = cell.task
        strategies = tuple((choice, resolved) for choice, resolved in task.strategies if choice in wanted)
        left.append(Cell(cell.model, cell.model_digest, cell.text, cell.tokens_digest, wanted, cell.labels,
                         CellTask(len(left), task.model, task.tokens, strategies, task.ctx, task.threads)))
    total = sum(len(c.keys) for c in cells)
    done = sum(status == "done" for status in known.values())
    return Plan(tuple(left), len(cells), total, done, len(known) - done)
