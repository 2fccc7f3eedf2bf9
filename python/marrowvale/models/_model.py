"""A Llama-family model loaded from a checkpoint folder: its configuration,
its weights as float32 arrays and its tokenizer."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ._checkpoint import Checkpoint
from ._config import ModelConfig, load_config

__all__ = ["LayerWeights", "Model", "Weights", "load_model"]

Matrix = npt.NDArray[np.float32]

TOKENIZER_FILE = "tokenizer.json"


@dataclass(frozen=True)
class LayerWeights:
    """One decoder layer. A linear weight is (out, in): y = x Wᵀ (+ b)."""

    input_norm: Matrix
    q: Matrix
    k: Matrix
    v: Matrix
    o: Matrix
    q_bias: Matrix | None
    k_bias: Matrix | None
    v_bias: Matrix | None
    o_bias: Matrix | None
    post_norm: Matrix
    gate: Matrix
    up: Matrix
    down: Matrix


@dataclass(frozen=True)
class Weights:
    embed: Matrix
    layers: tuple[LayerWeights, ...]
    norm: Matrix
    # The embedding itself when the config ties them.
    lm_head: Matrix


def _read_layer(checkpoint: Checkpoint, config: ModelConfig, i: int) -> LayerWeights:
    hidden, inter = config.hidden_size, config.intermediate_size
    q_out = config.num_attention_heads * config.head_dim
    kv_out = config.num_key_value_heads * config.head_dim
    prefix = f"model.layers.{i}."

    def read(name: str, *shape: int) -> Matrix:
        return checkpoint.read(prefix + name, shape)

    def bias(name: str, size: int, present: bool) -> Matrix | None:
        return read(name, size) if present else None

    return LayerWeights(
        input_norm=read("input_layernorm.weight", hidden),
        q=read("self_attn.q_proj.weight", q_out, hidden),
        k=read("self_attn.k_proj.weight", kv_out, hidden),
        v=read("self_attn.v_proj.weight", kv_out, hidden),
        o=read("self_attn.o_proj.weight", hidden, q_out),
        q_bias=bias("self_attn.q_proj.bias", q_out, config.qkv_bias),
        k_bias=bias("self_attn.k_proj.bias", kv_out, config.qkv_bias),
        v_bias=bias("self_attn.v_proj.bias", kv_out, config.qkv_bias),
        o_bias=bias("self_attn.o_proj.bias", hidden, config.o_bias),
        post_norm=read("post_attention_layernorm.weight", hidden),
        gate=read("mlp.gate_proj.weight", inter, hidden),
        up=read("mlp.up_proj.weight", inter, hidden),
        down=read("mlp.down_proj.weight", hidden, inter),
    )


def read_weights(folder: str | os.PathLike[str], config: ModelConfig) -> Weights:
    """Every tensor the config calls for, checked against its shape."""
    with Checkpoint(folder) as checkpoint:
        embed = checkpoint.read("model.embed_tokens.weight", (config.vocab_size, config.hidden_size))
        layers = tuple(_read_layer(checkpoint, config, i) for i in range(config.num_hidden_layers))
        norm = checkpoint.read("model.norm.weight", (config.hidden_size,))
        # A tied checkpoint may still store lm_head; the embedding rules.
        lm_head = embed if config.tie_word_embeddings else checkpoint.read(
            "lm_head.weight", (config.vocab_size, config.hidden_size))
    return Weights(embed, layers, norm, lm_head)


def _load_tokenizer(path: Path) -> Any:
    try:
        from tokenizers import Tokenizer
    except ImportError as exc:
        raise ImportError("reading tokenizer.json needs tokenizers, which is not installed; "
                          "install it with: pip install 'marrowvale[eval]'") from exc
    try:
        return Tokenizer.from_file(str(path))
    except Exception as exc:  # the library reports every fault as a plain Exception
        raise ValueError(f"{path}: not a valid tokenizer: {exc}") from None


@dataclass(frozen=True)
class Model:
    """A model ready to decode. ``tokenizer`` is a ``tokenizers.Tokenizer``,
    or None when the folder has no tokenizer.json."""

    path: Path
    config: ModelConfig
    weights: Weights
    tokenizer: Any

    def encode(self, text: str) -> list[int]:
        """The token ids of ``text``, with the special tokens the tokenizer
        adds (a beginning-of-text token, for most models)."""
        if self.tokenizer is None:
            raise ValueError(f"{self.path}: no {TOKENIZER_FILE}, so text cannot be tokenized")
        ids: list[int] = self.tokenizer.encode(text).ids
        for token in ids:
            if token >= self.config.vocab_size:
                raise ValueError(f"{self.path}: the tokenizer gives token id {token}, outside the "
                                 f"model's vocabulary of {self.config.vocab_size} (vocab_size)")
        return ids


def load_model(folder: str | os.PathLike[str]) -> Model:
    """Load config.json, the weights (float32, float16 or bfloat16, widened to
    float32) and tokenizer.json from a folder in the layout of model hubs.

    Raises ValueError naming the field, file or tensor for anything missing,
    damaged, mis-shaped or unsupported. Nothing is downloaded.
    """
    path = Path(folder)
    if not path.is_dir():
        raise ValueError(f"{folder}: not a folder")
    config = load_config(path)
    weights = read_weights(path, config)
    tokenizer_path = path / TOKENIZER_FILE
    tokenizer = _load_tokenizer(tokenizer_path) if tokenizer_path.is_file() else None
    return Model(path, config, weights, tokenizer)
