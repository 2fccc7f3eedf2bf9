"""Replay one stream through several cache strategies and measure what each
one costs in attention accuracy against a full cache."""

from __future__ import annotations

import math
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, SupportsFloat, SupportsIndex, TypeAlias

from _marrowvale import PyKVCache

from ._strategy_choice import StrategyChoice, parse_strategy, resolve_shares
from ._table_layout import aligned_lines, error_text

__all__ = ["CompareResult", "DEFAULT_STRATEGIES", "StrategyChoice", "compare", "format_table", "parse_strategy"]

# Suited to streams of a few hundred tokens, such as the built-in synthetic
# one: each strategy at a mild, a middle and a strong setting.
DEFAULT_STRATEGIES: tuple[StrategyChoice, ...] = (
    {"strategy": "sliding", "window_size": 256},
    {"strategy": "sliding", "window_size": 128},
    {"strategy": "sliding", "window_size": 64},
    {"strategy": "static", "static_k": 16, "recent_k": 240},
    {"strategy": "static", "static_k": 16, "recent_k": 112},
    {"strategy": "static", "static_k": 16, "recent_k": 48},
    {"strategy": "merge", "threshold": 0.97},
    {"strategy": "merge", "threshold": 0.94},
    {"strategy": "merge", "threshold": 0.9},
    {"strategy": "hybrid", "static_k": 16, "threshold": 0.97},
    {"strategy": "hybrid", "static_k": 16, "threshold": 0.94},
    {"strategy": "hybrid", "static_k": 16, "threshold": 0.9},
)


@dataclass(frozen=True)
class CompareResult:
    """What one strategy held at the end of the stream and how far its
    attention outputs were from those of the full cache.

    ``rel_l2`` is the L2 norm of the difference of all outputs, taken as one
    long vector, divided by the L2 norm of the full cache's outputs (0 when
    both are 0, infinite when only the difference is non-zero). ``max_abs``
    is the largest absolute difference of one output component.
    ``us_per_token`` is the wall time of one append and one attend, in
    microseconds, averaged over the stream; it is the only field that varies
    from run to run.
    """

    label: str
    strategy: str
    params: Mapping[str, float | int | str] = field(repr=False)
    entries: int
    compression_ratio: float
    rel_l2: float
    max_abs: float
    us_per_token: float


@dataclass
class _Run:
    label: str
    strategy: str
    params: dict[str, float | int | str]
    cache: PyKVCache


def _prepare(choice: StrategyChoice, d_k: int, d_v: int) -> _Run:
    label, name, params = parse_strategy(choice)
    # The constructor refuses unknown names and unfit parameters (a float
    # for a count, a negative count) here, before any replay has started.
    arguments: dict[str, Any] = params
    cache = PyKVCache(d_k, d_v, name, **arguments)
    return _Run(label, name, params, cache)


Rows: TypeAlias = Sequence[Sequence[SupportsFloat | SupportsIndex]]


def _replay(run: _Run, keys: Rows, values: Rows, queries: Rows) -> tuple[list[list[float]], int]:
    cache = run.cache
    append = cache.append
    attend = cache.attend
    outputs: list[list[float]] = []
    start = time.perf_counter_ns()
    for k, v, q in zip(keys, values, queries):
        append(k, v)
        outputs.append(attend(q))
    return outputs, time.perf_counter_ns() - start


def _errors(outputs: list[list[float]], reference: list[list[float]]) -> tuple[float, float]:
    diff_sq = 0.0
    ref_sq = 0.0
    max_abs = 0.0
    for out, ref in zip(outputs, reference):
        for x, y in zip(out, ref):
            d = abs(x - y)
            diff_sq += d * d
            ref_sq += y * y
            # A NaN difference must show, and max() would drop it.
            if d > max_abs or d != d:
                max_abs = d
    if diff_sq == 0.0:
        rel = 0.0
    elif ref_sq == 0.0:
        rel = math.inf
    else:
        rel = math.sqrt(diff_sq) / math.sqrt(ref_sq)
    return rel, max_abs


def _check_rows(name: str, rows: Rows, width: int) -> None:
    for t, row in enumerate(rows):
        if len(row) != width:
            raise ValueError(f"{name}[{t}] has {len(row)} components, expected {width}")


def compare(
    keys: Rows,
    values: Rows,
    queries: Rows,
    strategies: Sequence[StrategyChoice] = DEFAULT_STRATEGIES,
) -> list[CompareResult]:
    """Replay a stream through a full cache and through each strategy.

    At step t each cache appends ``keys[t]`` and ``values[t]`` and then
    attends ``queries[t]``; the outputs are compared with those of the full
    cache at the same step. The rows may be any sequences of numbers (lists,
    tuples, NumPy arrays). The first result is always the full cache itself,
    the reference; then one result per strategy, in the order given. A
    strategy's count may be a share of the stream ("25%"), resolved against
    its length.

    Raises ValueError for an empty stream, streams of unequal lengths, rows
    of the wrong length and unknown strategy names or parameters.
    """
    keys, values, queries = list(keys), list(values), list(queries)
    n = len(keys)
    if n == 0:
        raise ValueError("the stream is empty")
    if len(values) != n or len(queries) != n:
        raise ValueError(f"the stream has {n} keys, {len(values)} values and {len(queries)} queries; "
                         "they must be equally many")
    d_k, d_v = len(keys[0]), len(values[0])
    # A row of the wrong length would make the cache raise PanicException,
    # which ends the program; refuse it here instead.
    _check_rows("keys", keys, d_k)
    _check_rows("values", values, d_v)
    _check_rows("queries", queries, d_k)

    runs = [_prepare("full", d_k, d_v)] + [_prepare(resolve_shares(choice, n), d_k, d_v) for choice in strategies]
    # The first replay would otherwise also pay for cold processor caches and
    # the first growth of the process heap, and look slower than it is; a
    # throwaway replay takes that cost.
    _replay(_prepare("full", d_k, d_v), keys, values, queries)
    results: list[CompareResult] = []
    reference: list[list[float]] = []
    for index, run in enumerate(runs):
        outputs, elapsed_ns = _replay(run, keys, values, queries)
        if index == 0:
            reference = outputs
        rel, max_abs = _errors(outputs, reference)
        stats = run.cache.stats()
        results.append(CompareResult(
            label=run.label,
            strategy=run.strategy,
            params=run.params,
            entries=run.cache.current_len(),
            compression_ratio=stats["compression_ratio"],
            rel_l2=rel,
            max_abs=max_abs,
            us_per_token=elapsed_ns / n / 1000.0,
        ))
    return results


def format_table(results: Sequence[CompareResult]) -> str:
    """The results as a plain-text table, one line per strategy."""
    header = ("strategy", "entries", "ratio", "rel L2 err", "max abs err", "us/token")
    rows = [(r.label, str(r.entries), f"{r.compression_ratio:.3f}", error_text(r.rel_l2),
             error_text(r.max_abs), f"{r.us_per_token:.1f}") for r in results]
    return "\n".join(aligned_lines(header, rows))
