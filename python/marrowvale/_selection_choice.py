"""The selection a run of ``eval --prompt-tokens`` makes at the end of the
prompt, given in its strategy choice beside the cache's parameters:

- ``compress=W``: compress the cache by the attention of the prompt's last
  W queries (``LayerCache.compress``), then go on with the strategy;
- ``keep=K``: the entries per head it keeps (default: the strategy's own
  size, its window, static_k + recent_k or budget);
- ``pool=P``: the width of the max-pooling, odd (default 7).
"""

from __future__ import annotations

from collections.abc import Mapping
from dataclasses import dataclass

__all__ = ["SCORED_STRATEGIES", "SELECTION_PARAMETERS", "Selection", "split_selection", "strategy_size"]

SELECTION_PARAMETERS = ("compress", "keep", "pool")
# LayerCache's strategies that choose by a score per entry, and take a budget.
SCORED_STRATEGIES = ("h2o", "tova", "knorm")
DEFAULT_POOL = 7


@dataclass(frozen=True)
class Selection:
    """compress(last ``window`` queries of the prompt, ``keep``, ``pool``)."""

    window: int
    keep: int
    pool: int = DEFAULT_POOL


def strategy_size(name: str, params: Mapping[str, float | int | str]) -> int | None:
    """The most entries per head the strategy keeps, with the caches'
    defaults for what ``params`` leave out; None for one without a size
    ("full", and the merging strategies, whose size follows from the text)."""
    if name == "sliding":
        return int(params.get("window_size", 512))
    if name == "static":
        return int(params.get("static_k", 32)) + int(params.get("recent_k", 128))
    if name in SCORED_STRATEGIES:
        return int(params.get("budget", 512))
    return None


def split_selection(name: str, params: Mapping[str, float | int | str]) -> tuple[dict[str, float | int | str], Selection | None]:
    """The cache's parameters, and the selection the choice asks for (None
    without ``compress``).

    Raises
    ------
    ValueError
        For keep or pool without compress, a window below 1, an even pool,
        keep below the window, or no keep for a strategy without a size.
    TypeError
        For a selection parameter that is not a whole number.
    """
    cache = {key: value for key, value in params.items() if key not in SELECTION_PARAMETERS}
    given: dict[str, int] = {}
    for key in SELECTION_PARAMETERS:
        if key not in params:
            continue
        value = params[key]
        if not isinstance(value, int):
            raise TypeError(f"{key} must be a whole number, not {value!r}")
        given[key] = value
    if "compress" not in given:
        if given:
            raise ValueError(f"{next(iter(given))} needs compress=W, the prompt's last queries to select by")
        return cache, None
    window = given["compress"]
    if window < 1:
        raise ValueError(f"compress must be at least 1, not {window}")
    pool = given.get("pool", DEFAULT_POOL)
    if pool < 1 or pool % 2 == 0:
        raise ValueError(f"pool must be odd and at least 1, not {pool}")
    keep = given.get("keep", strategy_size(name, cache))
    if keep is None:
        raise ValueError(f"strategy {name!r} has no size: give keep=K with compress")
    if keep < window:
        raise ValueError(f"keep ({keep}) must be at least compress ({window}), the newest entries it always keeps")
    return cache, Selection(window, keep, pool)
