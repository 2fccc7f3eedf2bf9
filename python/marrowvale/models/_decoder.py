"""A NumPy decoder for Llama-family models that runs several caches in
lockstep, one token at a time.

Each run has its own LayerCache per layer, with its own strategy, and its own
hidden state. The runs' hidden states are stacked into one matrix, so each
weight matrix is read once per token for all of them: the weights are most
of the memory traffic, so several runs cost little more than one.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from .._strategy_choice import StrategyChoice, parse_strategy
from .._layer_cache import LayerCache
from ._config import ModelConfig
from ._model import LayerWeights, Matrix, Model
from ._rope import inverse_frequencies, rotate, rotation

__all__ = ["Decoder", "Observer", "check_window"]

# Called for every layer at every token with the layer's index and, stacked
# over the runs, the rotated queries (runs, query heads, head_dim), the
# rotated keys and the values that were cached (runs, key/value heads,
# head_dim) and the attention outputs (runs, query heads, head_dim). The
# arrays are reused: copy what you keep.
Observer = Callable[[int, Matrix, Matrix, Matrix, Matrix], None]


def check_window(config: ModelConfig, tokens: int) -> None:
    """Refuse to feed more tokens than the model's own attention window
    holds, or than it was trained for: past either, the full cache would
    not be the reference a cache strategy is measured against."""
    window = config.sliding_window
    if window is not None and tokens > window:
        raise ValueError(f"the model attends to at most {window} tokens (sliding_window in config.json), "
                         f"and {tokens} would be fed to it")
    # The length the model was trained for, where its file gives one: past
    # it the full cache itself would be out of its depth.
    context = getattr(config, "context_length", None)
    if context is not None and tokens > context:
        raise ValueError(f"the model was trained on texts of at most {context} tokens (its context length), "
                         f"and {tokens} would be fed to it; evaluate a longer text in windows (ctx)")


def rms_norm(x: Matrix, weight: Matrix, eps: float) -> Matrix:
    """x / sqrt(mean(x²) + eps) × weight, per row."""
    mean_square: Matrix = np.mean(x * x, axis=-1, keepdims=True, dtype=np.float32)
    root: Matrix = np.sqrt(mean_square + np.float32(eps))
    normed: Matrix = x / root * weight
    return normed


def linear(x: Matrix, weight: Matrix, bias: Matrix | None = None) -> Matrix:
    y: Matrix = x @ weight.T
    return y if bias is None else y + bias


def silu(x: Matrix) -> Matrix:
    # exp(-x) overflows to infinity for very negative x, and x / inf is the
    # right limit, -0.
    with np.errstate(over="ignore"):
        y: Matrix = x / (1 + np.exp(-x))
    return y


class Decoder:
    """Decode token by token through ``model`` with one run per strategy.

    ``strategies`` are names or mappings as ``compare`` takes them
    ("full", {"strategy": "sliding", "window_size": 128}, ...). All runs read
    the same tokens (teacher forcing); ``step`` returns their next-token
    logits stacked, row r for ``strategies[r]``.
    """

    def __init__(self, model: Model, strategies: Sequence[StrategyChoice], *,
                 observer: Observer | None = None) -> None:
        if not strategies:
            raise ValueError("at least one strategy is needed")
        config = model.config
        self.model = model
        self.labels: list[str] = []
        self.strategies: list[str] = []
        self.params: list[dict[str, float | int | str]] = []
        self.observer = observer
        runs: list[list[LayerCache]] = []
        for choice in strategies:
            label, name, params = parse_strategy(choice)
            arguments: dict[str, Any] = params
            runs.append([LayerCache(config.num_key_value_heads, config.head_dim, config.head_dim, name,
                                    **arguments) for _ in range(config.num_hidden_layers)])
            self.labels.append(label)
            self.strategies.append(name)
            self.params.append(params)
        # caches[layer][run]: a layer's caches are visited together.
        self.caches: list[list[LayerCache]] = [list(layer) for layer in zip(*runs)]
        self.position = 0
        self._inv_freq = inverse_frequencies(config.rope, config.head_dim)
        self._attention = np.empty((len(strategies), config.num_attention_heads, config.head_dim),
                                   dtype=np.float32)
        self._hidden = np.zeros((len(strategies), config.hidden_size), dtype=np.float32)

    @property
    def runs(self) -> int:
        return len(self.labels)

    def advance(self, token: int) -> None:
        """Feed one token through every layer of every run."""
        config = self.model.config
        if not 0 <= token < config.vocab_size:
            raise ValueError(f"token id {token} is outside the vocabulary of {config.vocab_size}")
        check_window(config, self.position + 1)
        cos, sin = rotation(self._inv_freq, self.position)
        x = np.repeat(self.model.weights.embed[token][np.newaxis], self.runs, axis=0)
        for index, layer in enumerate(self.model.weights.layers):
            x = self._layer(index, layer, x, cos, sin)
        self._hidden = x
        self.position += 1

    def _layer(self, index: int, layer: LayerWeights, x: Matrix, cos: Matrix, sin: Matrix) -> Matrix:
        config = self.model.config
        runs, head_dim = self.runs, config.head_dim
        h = rms_norm(x, layer.input_norm, config.rms_norm_eps)
        q = linear(h, layer.q, layer.q_bias).reshape(runs, config.num_attention_heads, head_dim)
        k = linear(h, layer.k, layer.k_bias).reshape(runs, config.num_key_value_heads, head_dim)
        v = linear(h, layer.v, layer.v_bias).reshape(runs, config.num_key_value_heads, head_dim)
        q = rotate(q, cos, sin)
        k = rotate(k, cos, sin)
        attention = self._attention
        for run, cache in enumerate(self.caches[index]):
            cache.append(k[run], v[run])
            cache.attend(q[run], out=attention[run])
        if self.observer is not None:
            self.observer(index, q, k, v, attention)
        x = x + linear(attention.reshape(runs, -1), layer.o, layer.o_bias)
        h = rms_norm(x, layer.post_norm, config.rms_norm_eps)
        mlp: Matrix = silu(linear(h, layer.gate)) * linear(h, layer.up)
        return x + linear(mlp, layer.down)

    def logits(self) -> npt.NDArray[np.float32]:
        """Next-token logits of every run after the last token, (runs, vocab)."""
        weights = self.model.weights
        return linear(rms_norm(self._hidden, weights.norm, self.model.config.rms_norm_eps), weights.lm_head)

    def step(self, token: int) -> npt.NDArray[np.float32]:
        """``advance(token)``, then the logits."""
        self.advance(token)
        return self.logits()
