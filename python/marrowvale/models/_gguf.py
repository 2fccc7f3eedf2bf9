"""The weights of a GGUF file, as float32 arrays in the layout that the
safetensors form of the same model has.

The tool that writes llama-architecture GGUF files reorders the rows of the
query and key weights (and biases) within each head, from the half-split
rotary layout (dimension i paired with i + d/2) to the interleaved one
(2i with 2i + 1) that its own runtime rotates. That is undone here, so one
decoder serves both forms. qwen2 files keep the half-split layout.
"""

from __future__ import annotations

from collections.abc import Callable

import numpy as np

from ._config import ModelConfig
from ._gguf_file import GGUFFile
from ._model import LayerWeights, Matrix, Weights

__all__ = ["gguf_weights", "half_split_rows"]

# Each model tensor and the one it reads; "{i}" is the layer.
_LAYER_TENSORS = {
    "input_norm": "blk.{i}.attn_norm.weight",
    "q": "blk.{i}.attn_q.weight",
    "k": "blk.{i}.attn_k.weight",
    "v": "blk.{i}.attn_v.weight",
    "o": "blk.{i}.attn_output.weight",
    "q_bias": "blk.{i}.attn_q.bias",
    "k_bias": "blk.{i}.attn_k.bias",
    "v_bias": "blk.{i}.attn_v.bias",
    "o_bias": "blk.{i}.attn_output.bias",
    "post_norm": "blk.{i}.ffn_norm.weight",
    "gate": "blk.{i}.ffn_gate.weight",
    "up": "blk.{i}.ffn_up.weight",
    "down": "blk.{i}.ffn_down.weight",
}


def half_split_rows(weight: Matrix, heads: int) -> Matrix:
    """Rows (or values, for a bias) of ``heads`` heads in the interleaved
    rotary layout, put back in the half-split one: within a head, row 2j
    goes to j and row 2j + 1 to j + d/2."""
    head_dim = weight.shape[0] // heads
    split = weight.reshape(heads, head_dim // 2, 2, *weight.shape[1:]).swapaxes(1, 2)
    result: Matrix = np.ascontiguousarray(split.reshape(weight.shape))
    return result


def _shapes(config: ModelConfig) -> dict[str, tuple[int, ...]]:
    hidden, inter = config.hidden_size, config.intermediate_size
    q_out = config.num_attention_heads * config.head_dim
    kv_out = config.num_key_value_heads * config.head_dim
    shapes: dict[str, tuple[int, ...]] = {
        "input_norm": (hidden,), "q": (q_out, hidden), "k": (kv_out, hidden), "v": (kv_out, hidden),
        "o": (hidden, q_out), "post_norm": (hidden,), "gate": (inter, hidden), "up": (inter, hidden),
        "down": (hidden, inter),
    }
    if config.qkv_bias:
        shapes.update(q_bias=(q_out,), k_bias=(kv_out,), v_bias=(kv_out,))
    if config.o_bias:
        shapes["o_bias"] = (hidden,)
    return shapes


def gguf_weights(file: GGUFFile, config: ModelConfig) -> Weights:
    """Every tensor the configuration calls for, dequantised to float32.

    All are checked (present, of the expected shape, of a type that can be
    dequantised) before the first is dequantised, so a damaged file is
    refused at once; then they are dequantised one at a time.

    Raises
    ------
    ValueError
        Naming the tensor that is missing, mis-shaped or of an unsupported type.
    """
    shapes = _shapes(config)
    vocab_shape = (config.vocab_size, config.hidden_size)
    wanted = {"token_embd.weight": vocab_shape, "output_norm.weight": (config.hidden_size,)}
    if not config.tie_word_embeddings:
        wanted["output.weight"] = vocab_shape
    for i in range(config.num_hidden_layers):
        wanted.update({_LAYER_TENSORS[field].format(i=i): shape for field, shape in shapes.items()})
    for name, shape in wanted.items():
        file.info(name, shape)

    reorder: dict[str, Callable[[Matrix], Matrix]] = {}
    if config.architecture == "LlamaForCausalLM":
        reorder = {"q": lambda w: half_split_rows(w, config.num_attention_heads),
                   "k": lambda w: half_split_rows(w, config.num_key_value_heads)}
        reorder.update(q_bias=reorder["q"], k_bias=reorder["k"])

    def layer(i: int) -> LayerWeights:
        fields: dict[str, Matrix | None] = dict.fromkeys(_LAYER_TENSORS)
        for field, shape in shapes.items():
            weight = file.read(_LAYER_TENSORS[field].format(i=i), shape)
            fields[field] = reorder[field](weight) if field in reorder else weight
        return LayerWeights(**fields)  # type: ignore[arg-type]

    embed = file.read("token_embd.weight", vocab_shape)
    layers = tuple(layer(i) for i in range(config.num_hidden_layers))
    norm = file.read("output_norm.weight", (config.hidden_size,))
    lm_head = embed if config.tie_word_embeddings else file.read("output.weight", vocab_shape)
    return Weights(embed, layers, norm, lm_head)
