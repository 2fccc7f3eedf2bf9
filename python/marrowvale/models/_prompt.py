"""The prompt-then-continuation protocol of selection methods
(``evaluate(..., prompt_tokens=P)``).

The first P tokens of a window fill the caches with full attention: the
full run takes them, and beside its cache, for each run whose strategy
chooses by score, a cache of that strategy without a budget takes the same
keys, values and queries, so that it holds the whole prompt and keeps the
scores its strategy keeps ("h2o" the weights of every query of the prompt).
At the end of the prompt each run's caches are those caches under the run's
own strategy and parameters (``LayerCache.with_strategy``), compressed by
the prompt's last W queries when its choice asks for ``compress=W``; the
strategy acts from the first token of the continuation on, and only the
continuation is measured."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np

from .._layer_cache import LayerCache
from .._selection_choice import SCORED_STRATEGIES, Selection
from ._layerwise import Run
from ._model import Matrix

__all__ = ["PromptPass", "runs_after_prompt"]

# A budget no prompt reaches.
UNBOUNDED = 2**64 - 1


class PromptPass:
    """The observer of the full run's prompt (see ``AttentionObserver``):
    steps each layer's unbounded caches of the runs that choose by score as
    the full cache was stepped (append, then attend, token by token), and
    keeps each layer's last ``queries`` rotated queries."""

    def __init__(self, full: Run, strategies: Sequence[str], queries: int, *, threads: int | None = None) -> None:
        self.queries = queries
        self.last: list[Matrix | None] = [None] * len(full.caches)
        self.unbounded: dict[str, tuple[LayerCache, ...]] = {
            name: tuple(LayerCache(cache.n_heads, cache.d_k, cache.d_v, name, budget=UNBOUNDED, recent=0,
                                   threads=threads) for cache in full.caches)
            for name in dict.fromkeys(strategies) if name in SCORED_STRATEGIES}

    def __call__(self, run: int, layer: int, start: int, q: Matrix, k: Matrix, v: Matrix,
                 attention: Matrix) -> None:
        out = np.empty(q.shape[1:], dtype=np.float32)
        for caches in self.unbounded.values():
            cache = caches[layer]
            for t in range(q.shape[0]):
                cache.append(k[t], v[t])
                cache.attend(q[t], out=out)
        kept = self.last[layer]
        joined = q if kept is None else np.concatenate([kept, q])
        self.last[layer] = joined[-self.queries:].copy()

    def queries_of(self, layer: int, count: int) -> Matrix:
        """The layer's last ``count`` queries as compress takes them:
        (query heads, count, head_dim)."""
        kept = self.last[layer]
        assert kept is not None and len(kept) >= count
        return np.ascontiguousarray(kept[-count:].transpose(1, 0, 2))


def runs_after_prompt(full: Run, prompt: PromptPass, plans: Sequence[tuple[str, dict[str, float | int | str], Selection | None]]
                      ) -> list[Run]:
    """Each run's caches at the end of the prompt, from the full run's (or
    the unbounded caches of its strategy), under its strategy, compressed
    where it asks. The full run goes on with its own caches."""
    runs = []
    for name, params, selection in plans:
        arguments: dict[str, Any] = dict(params)
        sources = prompt.unbounded.get(name, full.caches)
        caches = [source.with_strategy(name, **arguments) for source in sources]
        if selection is not None:
            for layer, cache in enumerate(caches):
                cache.compress(prompt.queries_of(layer, selection.window), selection.keep, pool=selection.pool)
        runs.append(Run(name, params, tuple(caches)))
    return runs
