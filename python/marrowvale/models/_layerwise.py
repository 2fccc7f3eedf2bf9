"""Teacher-forced runs of a model, layer by layer over chunks of tokens.

In teacher forcing every token of the text is known beforehand, so a
layer's cache at token t depends only on that layer's keys, values and
queries of tokens up to t, which depend only on the layers below. A chunk of
tokens therefore goes through one layer at a time: its projections and its
MLP are matrix products over the whole chunk, and only the cache is stepped
token by token (append, then attend), which is exactly what decoding one
token at a time does to it. The predictions are those of ``Decoder``, to
float32 rounding, for every strategy whose decisions at a layer depend only
on that layer's entries.

Each run (one strategy) has its own caches and goes through its own
products: a run's figures never depend on which other runs share the pass.
Memory: the weights, the caches, and one chunk of activations per run.
"""

from __future__ import annotations

from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np

from .._layer_cache import LayerCache
from ._decoder import linear, rms_norm, silu
from ._model import LayerWeights, Matrix, Model
from ._rope import inverse_frequencies, rotate

__all__ = ["CHUNK_TOKENS", "AttentionObserver", "Run", "chunk_hidden_states", "new_caches"]

# Tokens per chunk: enough rows that each matrix product runs at the BLAS's
# full speed, few enough that a chunk's activations stay small beside the
# weights (7 runs × 256 tokens × 1,536 floats is 11 MB for SmolLM2's MLP).
CHUNK_TOKENS = 256

# Called for every run, layer and chunk with the run's index, the layer's
# index, the chunk's first position and the rotated queries
# (tokens, query heads, head_dim), the rotated keys and the values
# (tokens, key/value heads, head_dim) and the attention outputs
# (tokens, query heads, head_dim). The arrays are reused: copy what you keep.
AttentionObserver = Callable[[int, int, int, Matrix, Matrix, Matrix, Matrix], None]


@dataclass(frozen=True)
class Run:
    """One strategy's caches, one LayerCache per layer."""

    name: str
    params: dict[str, float | int | str]
    caches: tuple[LayerCache, ...]


def new_caches(model: Model, name: str, params: dict[str, float | int | str], *,
               threads: int | None = None, layers: int | None = None) -> Run:
    """Empty caches for every layer (or the first ``layers``) of ``model``,
    each with strategy ``name`` and its parameters; the constructor refuses
    unknown names and unfit parameters."""
    config = model.config
    arguments: dict[str, Any] = dict(params)
    count = config.num_hidden_layers if layers is None else layers
    caches = tuple(LayerCache(config.num_key_value_heads, config.head_dim, config.head_dim, name,
                              threads=threads, **arguments) for _ in range(count))
    return Run(name, params, caches)


def _rotations(inv_freq: np.ndarray, start: int, count: int) -> tuple[Matrix, Matrix]:
    """cos and sin at positions start..start+count-1, (count, 1, head_dim/2),
    each angle taken in double precision and rounded once, as ``rotation``
    does for one position."""
    angles = np.arange(start, start + count, dtype=np.float64)[:, np.newaxis] * inv_freq
    cos: Matrix = np.cos(angles).astype(np.float32)[:, np.newaxis, :]
    sin: Matrix = np.sin(angles).astype(np.float32)[:, np.newaxis, :]
    return cos, sin


def _step_cache(cache: LayerCache, q: Matrix, k: Matrix, v: Matrix, out: Matrix) -> None:
    # The only token-by-token part: the entry of token t is appended before
    # token t attends, and a strategy's pass after an append sees the cache
    # as it would while decoding.
    append, attend = cache.append, cache.attend
    for t in range(q.shape[0]):
        append(k[t], v[t])
        attend(q[t], out=out[t])


def _layer(model: Model, layer: LayerWeights, cache: LayerCache, x: Matrix, cos: Matrix,
           sin: Matrix) -> tuple[Matrix, Matrix, Matrix, Matrix, Matrix]:
    """One layer over a chunk of one run: the new residual stream, and the
    rotated queries, the keys, the values and the attention outputs."""
    config = model.config
    tokens, d = x.shape[0], config.head_dim
    eps = config.rms_norm_eps
    h = rms_norm(x, layer.input_norm, eps)
    q = rotate(linear(h, layer.q, layer.q_bias).reshape(tokens, config.num_attention_heads, d), cos, sin)
    k = rotate(linear(h, layer.k, layer.k_bias).reshape(tokens, config.num_key_value_heads, d), cos, sin)
    v = np.ascontiguousarray(linear(h, layer.v, layer.v_bias).reshape(tokens, config.num_key_value_heads, d))
    attention = np.empty((tokens, config.num_attention_heads, d), dtype=np.float32)
    _step_cache(cache, q, k, v, attention)
    x = x + linear(attention.reshape(tokens, -1), layer.o, layer.o_bias)
    h = rms_norm(x, layer.post_norm, eps)
    mlp: Matrix = silu(linear(h, layer.gate)) * linear(h, layer.up)
    return x + linear(mlp, layer.down), q, k, v, attention


def chunk_hidden_states(model: Model, tokens: Sequence[int], runs: Sequence[Run], *,
                        chunk_tokens: int = CHUNK_TOKENS,
                        observer: AttentionObserver | None = None,
                        on_run: Callable[[], object] | None = None,
                        first_position: int = 0) -> Iterator[tuple[int, list[Matrix]]]:
    """Feed ``tokens`` through every run, a chunk at a time, and yield for
    each chunk its first position and, per run, the hidden states after the
    last of the run's layers, (chunk tokens, hidden).

    The caches keep their entries from chunk to chunk; positions count from
    the caches' first token, which ``tokens[0]`` is unless the caches hold
    ``first_position`` tokens already. A run whose caches cover fewer layers than the
    model stops after them (and then yields those layers' output).
    ``observer`` sees every layer's attention (see ``AttentionObserver``);
    ``on_run`` is called each time a run has taken a chunk through all its
    layers (for a progress bar).
    """
    if chunk_tokens < 1:
        raise ValueError(f"chunk_tokens must be at least 1, not {chunk_tokens}")
    weights = model.weights
    inv_freq = inverse_frequencies(model.config.rope, model.config.head_dim)
    ids = np.asarray(tokens, dtype=np.int64)
    for offset in range(0, len(ids), chunk_tokens):
        chunk = ids[offset:offset + chunk_tokens]
        start = first_position + offset
        cos, sin = _rotations(inv_freq, start, len(chunk))
        embedded: Matrix = weights.embed[chunk]
        outputs = []
        for index, run in enumerate(runs):
            x = embedded
            for number, (layer, cache) in enumerate(zip(weights.layers, run.caches)):
                x, q, k, v, attention = _layer(model, layer, cache, x, cos, sin)
                if observer is not None:
                    observer(index, number, start, q, k, v, attention)
            outputs.append(x)
            if on_run is not None:
                on_run()
        yield start, outputs
