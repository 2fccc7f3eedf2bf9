"""A Llama-family model loaded from a checkpoint folder or a GGUF file: its
configuration, its weights as float32 arrays and its tokenizer."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ._checkpoint import Checkpoint
from ._config import ModelConfig, load_config
from ._extras import require_extra
from ._files import read_text
from ._reference import REFERENCE_MODELS, resolve_model_path

__all__ = ["LayerWeights", "Model", "Weights", "load_model"]

Matrix = npt.NDArray[np.float32]

TOKENIZER_FILE = "tokenizer.json"
# Tokenizer files of large vocabularies are tens of megabytes.
MAX_TOKENIZER_BYTES = 1 << 30


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
    tokenizers = require_extra("tokenizers", "reading tokenizer.json")
    text = read_text(path, MAX_TOKENIZER_BYTES)
    try:
        return tokenizers.Tokenizer.from_str(text)
    except Exception as exc:  # the library reports every fault as a plain Exception
        raise ValueError(f"{path}: not a valid tokenizer: {exc}") from None


def _tokenizer_beside(path: Path) -> Any:
    """The tokenizer.json in folder ``path`` (or beside file ``path``), or None."""
    tokenizer_path = (path if path.is_dir() else path.parent) / TOKENIZER_FILE
    return _load_tokenizer(tokenizer_path) if os.path.lexists(tokenizer_path) else None


@dataclass(frozen=True)
class Model:
    """A model ready to decode. ``path`` is the checkpoint folder or the GGUF
    file. ``tokenizer`` is a ``tokenizers.Tokenizer``, or None when there is
    no tokenizer.json (and, for a GGUF file, none in its metadata)."""

    path: Path
    config: ModelConfig
    weights: Weights
    tokenizer: Any

    def encode(self, text: str) -> list[int]:
        """The token ids of ``text``, with the special tokens the tokenizer
        adds (a beginning-of-text token, for most models)."""
        if self.tokenizer is None:
            where = f"no {TOKENIZER_FILE}"
            if self.path.suffix.lower() == ".gguf":
                where = f"no tokenizer in its metadata and {where} beside it"
            raise ValueError(f"{self.path}: {where}, so text cannot be tokenized")
        ids: list[int] = self.tokenizer.encode(text).ids
        for token in ids:
            if token >= self.config.vocab_size:
                raise ValueError(f"{self.path}: the tokenizer gives token id {token}, outside the "
                                 f"model's vocabulary of {self.config.vocab_size} (vocab_size)")
        return ids


def _load_gguf(path: Path) -> Model:
    require_extra("gguf", "reading GGUF files")
    from ._gguf import gguf_weights
    from ._gguf_config import gguf_config
    from ._gguf_file import GGUFFile
    from ._gguf_tokenizer import gguf_tokenizer

    file = GGUFFile(path)
    config = gguf_config(file)
    tokenizer = _tokenizer_beside(path)
    if tokenizer is None:
        tokenizer = gguf_tokenizer(file.metadata)
    return Model(path, config, gguf_weights(file, config), tokenizer)


def load_model(path: str | os.PathLike[str]) -> Model:
    """Load a model: a checkpoint folder, a GGUF file or a named reference model.

    Parameters
    ----------
    path
        A folder in the layout of model hubs (config.json; model.safetensors
        or shards listed in model.safetensors.index.json, in float32,
        float16 or bfloat16; tokenizer.json), a ``.gguf`` file (llama or
        qwen2, float or quantised; its tokenizer from its metadata unless a
        tokenizer.json is beside it), or a name from ``REFERENCE_MODELS``
        ("smollm2") when no file of that name is there.

    Returns
    -------
    Model
        Its weights in float32, dequantised one tensor at a time.

    Raises
    ------
    ValueError
        Naming the field, file or tensor for anything missing, damaged,
        mis-shaped or unsupported. Nothing is downloaded.
    ImportError
        When a library the format needs (the ``eval`` extra) or the package
        of a named model is not installed.
    """
    where = resolve_model_path(path)
    if where.is_dir():
        config = load_config(where)
        weights = read_weights(where, config)
        return Model(where, config, weights, _tokenizer_beside(where))
    if not os.path.lexists(where):
        raise ValueError(f"{path}: not a folder or a file, nor a named model ({', '.join(REFERENCE_MODELS)})")
    if where.suffix.lower() == ".safetensors":
        raise ValueError(f"{path}: give the folder that holds it, with its config.json")
    return _load_gguf(where)
