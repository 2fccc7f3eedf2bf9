"""A model of the layer cache's strategies that choose by score, and of
compress and retain, written from their rules in the tests' own terms: a
head is a list of entries, each the token it came with, its key, its value
and its score, in numpy float32.

- A new entry scores 0 ("h2o": no attend has weighed it), +inf ("tova":
  none has yet, so it counts as recent) or minus the L2 norm of its key
  ("knorm").
- When an append leaves more than `budget` entries, the entry with the
  lowest score among all but the newest `recent` goes: a NaN below every
  number, and of equal scores the oldest.
- An attend gives each entry the weights of its group's queries added up in
  query order, w0 + w1 + ...; "h2o" adds that to the score, "tova" makes it
  the score, "knorm" ignores it.
- compress keeps the newest w entries and, of the others, those with the
  highest scores max-pooled among themselves, the newer of equals first.
"""

import math

import numpy as np

from reference import F32, attention_weights, unrolled_dot

BUDGETS = {"budget": 7, "recent": 2}


def ranks_below(a, b):
    """The order of scores: NaN lowest; equal numbers (+0.0, -0.0) alike."""
    return (math.isnan(a) and not math.isnan(b)) or a < b


def first_lowest(scores):
    best = 0
    for i in range(1, len(scores)):
        if ranks_below(scores[i], scores[best]):
            best = i
    return best


def weight_sums(keys, queries):
    """Each entry's softmax weights under the queries, added in query order
    (zeros without a query)."""
    d_k = keys.shape[1]
    total = np.zeros(len(keys), F32) if len(queries) == 0 else None
    with np.errstate(all="ignore"):
        for q in queries:
            weights = attention_weights(list(keys), q, d_k)
            total = weights if total is None else total + weights
    return total


class Head:
    def __init__(self, strategy, budget, recent):
        self.strategy, self.budget, self.recent = strategy, budget, recent
        self.tokens, self.keys, self.values, self.scores = [], [], [], []

    def append(self, token, key, value):
        if self.strategy == "h2o":
            score = F32(0)
        elif self.strategy == "tova":
            score = F32(np.inf)
        else:
            with np.errstate(all="ignore"):
                score = -np.sqrt(unrolled_dot(key, key))
        for column, item in zip(self.columns(), (token, key, value, score)):
            column.append(item)
        evicted = 0
        while len(self.tokens) > self.budget:
            self.drop(first_lowest(self.scores[: len(self.tokens) - self.recent]))
            evicted += 1
        return evicted

    def attend(self, queries):
        if not self.keys or len(queries) == 0:
            return
        sums = weight_sums(np.stack(self.keys), queries)
        if self.strategy == "h2o":
            with np.errstate(all="ignore"):
                self.scores = list(np.array(self.scores, F32) + sums)
        elif self.strategy == "tova":
            self.scores = list(sums)

    def columns(self):
        return self.tokens, self.keys, self.values, self.scores

    def drop(self, index):
        for column in self.columns():
            del column[index]

    def keep(self, kept):
        """Keeps the entries whose flags are set, in order."""
        for column in self.columns():
            column[:] = [item for item, flag in zip(column, kept) if flag]


class Layer:
    """A model LayerCache: every head sees every token; query row j reads
    head j // (n_q / n_heads)."""

    def __init__(self, n_heads, strategy, budget=BUDGETS["budget"], recent=BUDGETS["recent"]):
        self.heads = [Head(strategy, budget, recent) for _ in range(n_heads)]
        self.position = 0
        self.merges = 0

    def append(self, k, v):
        for h, head in enumerate(self.heads):
            self.merges += head.append(self.position, k[h], v[h])
        self.position += 1

    def attend(self, q):
        group = len(q) // len(self.heads)
        for h, head in enumerate(self.heads):
            head.attend(q[h * group : (h + 1) * group])

    def keys(self, h):
        return np.array(self.heads[h].keys, F32).reshape(len(self.heads[h].keys), -1)

    def values(self, h):
        return np.array(self.heads[h].values, F32).reshape(len(self.heads[h].values), -1)


def max_pool(scores, half):
    pooled = []
    for i in range(len(scores)):
        best = scores[max(0, i - half)]
        for j in range(max(0, i - half), min(len(scores), i + half + 1)):
            if ranks_below(best, scores[j]):
                best = scores[j]
        pooled.append(best)
    return pooled


def compress_flags(keys, queries, window, keep, pool):
    """Which entries of a head compress keeps, from the queries of its group
    (query head after query head, each head's w queries in order)."""
    n = len(keys)
    if n <= keep:
        return [True] * n
    newest = min(window, n)
    candidates = n - newest
    pooled = max_pool(list(weight_sums(keys, queries)[:candidates]), pool // 2)

    def sort_key(i):
        value = pooled[i]
        return (not math.isnan(value), value if not math.isnan(value) else 0.0, i)

    best = sorted(range(candidates), key=sort_key, reverse=True)[: keep - newest]
    return [i in best or i >= candidates for i in range(n)]
