"""What the LayerCache tests share: strategy settings that make every
strategy act within a few dozen tokens, token streams whose heads diverge
under merging, one PyKVCache per head driven beside a LayerCache, and a
small model of which tokens each held entry covers."""

import os
import subprocess
import sys

import numpy as np
import pytest

from _marrowvale import PyKVCache
from reference import F32, merge_pass, vector

# Parameters under which each strategy drops or merges early.
STRATEGIES = {
    "full": {},
    "sliding": {"window_size": 7},
    "static": {"static_k": 3, "recent_k": 5},
    "merge": {"merge_every": 3, "threshold": 0.9},
    "hybrid": {"static_k": 4, "merge_every": 2, "threshold": 0.9},
}


def token_stream(tokens, n_heads, d_k, d_v, seed=0):
    """Keys (tokens, n_heads, d_k) and values (tokens, n_heads, d_v), float32.

    Each head's keys scatter around a direction of its own, closely for
    head 0 and ever more widely for later heads, so that under merging the
    heads keep different numbers of entries."""
    rng = np.random.default_rng(seed)
    directions = rng.standard_normal((n_heads, d_k))
    spread = np.array([0.05 * 4.0**h for h in range(n_heads)])[:, None]
    keys = directions + spread * rng.standard_normal((tokens, n_heads, d_k))
    values = rng.standard_normal((tokens, n_heads, d_v))
    return keys.astype(F32), values.astype(F32)


def head_caches(n_heads, d_k, d_v, strategy, params):
    """One PyKVCache per head, built like the LayerCache's heads."""
    return [PyKVCache(d_k, d_v, strategy, **params) for _ in range(n_heads)]


def append_to_heads(caches, k, v):
    for head, cache in enumerate(caches):
        cache.append(k[head].tolist(), v[head].tolist())


def bits(array):
    """The bit patterns of a float32 array, NaNs made alike."""
    array = np.asarray(array, dtype=F32)
    patterns = array.view(np.uint32).copy()
    patterns[np.isnan(array)] = 0x7FC00000
    return patterns


def expected_attention(caches, q):
    """Row j: PyKVCache.attend of query row j on the cache of head
    j // (n_q // n_heads)."""
    group = len(q) // len(caches)
    rows = [caches[j // group].attend(q[j].tolist()) for j in range(len(q))]
    return np.array(rows, dtype=F32).reshape(len(q), -1)


class SpanModel:
    """One head of a cache, in terms of tokens: which tokens each held entry
    covers, with the keys that decide the merges (float32, from the model's
    merging pass). A new entry covers its own token; dropping an entry drops
    its tokens; a merged pair covers the tokens of both."""

    def __init__(self, strategy, window_size=512, static_k=32, recent_k=128, threshold=0.9, merge_every=4):
        self.strategy = strategy
        self.window_size, self.static_k, self.recent_k = window_size, static_k, recent_k
        self.threshold, self.merge_every = F32(threshold), merge_every
        self.keys, self.spans, self.position = [], [], 0

    def append(self, key):
        self.keys.append(vector(key))
        self.spans.append((self.position, self.position))
        if self.strategy == "sliding":
            del self.keys[: max(0, len(self.keys) - self.window_size)]
            del self.spans[: max(0, len(self.spans) - self.window_size)]
        elif self.strategy == "static":
            while len(self.keys) > self.static_k + self.recent_k:
                del self.keys[self.static_k], self.spans[self.static_k]
        elif self.strategy in ("merge", "hybrid"):
            due = self.position > 0 and self.merge_every > 0 and self.position % self.merge_every == 0
            start = self.static_k if self.strategy == "hybrid" else 0
            if due and len(self.keys) >= start + 2:
                self._merge_from(start)
        self.position += 1

    def clear(self):
        self.keys, self.spans, self.position = [], [], 0

    def _merge_from(self, start):
        def join(older, newer, s, w):
            return (older[0], newer[1])

        kept = merge_pass(self.keys[start:], self.spans[start:], self.threshold, join)
        self.keys[start:], self.spans[start:], _ = kept


def run_with_kernels(kernel_set, source, *args):
    """What a child interpreter running `source` with the kernel set
    `kernel_set` forced (MARROWVALE_KERNEL) prints; skips the test where the
    set cannot run."""
    env = dict(os.environ, MARROWVALE_KERNEL=kernel_set)
    done = subprocess.run([sys.executable, "-c", source, *args], env=env, capture_output=True, text=True,
                          timeout=300)
    if done.returncode != 0:
        if "not supported" in done.stderr or "unknown kernel set" in done.stderr:
            pytest.skip(f"kernel set {kernel_set!r} cannot run on this machine")
        raise AssertionError(done.stderr)
    return done.stdout
