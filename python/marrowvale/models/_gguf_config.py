"""The model configuration of a GGUF file, from its metadata: the same
``ModelConfig`` as a config.json gives, checked the same way."""

from __future__ import annotations

from collections.abc import Mapping

from ._config import ModelConfig, RopeConfig
from ._files import describe
from ._gguf_file import GGUFFile, TensorInfo
from ._gguf_metadata import Metadata

__all__ = ["ARCHITECTURES", "ROPE_FACTORS", "gguf_config"]

# general.architecture -> the name config.json gives the same model.
ARCHITECTURES = {"llama": "LlamaForCausalLM", "qwen2": "Qwen2ForCausalLM"}

# Llama 3's frequency scaling, stored as one factor per pair of dimensions.
ROPE_FACTORS = "rope_freqs.weight"


def _rope(metadata: Metadata, arch: str, head_dim: int, factors: tuple[float, ...] | None) -> RopeConfig:
    theta = metadata.number(f"{arch}.rope.freq_base", 10000.0)
    rotated = f"{arch}.rope.dimension_count"
    if rotated in metadata and metadata.integer(rotated) != head_dim:
        raise metadata.fail(rotated, f"({metadata.integer(rotated)}) differs from the head size "
                                     f"({head_dim}); partial rotary embeddings are not supported")
    scaling = metadata.string(f"{arch}.rope.scaling.type", "none")
    if scaling == "linear":
        return RopeConfig(theta, "linear", factor=metadata.number(f"{arch}.rope.scaling.factor"),
                          frequency_factors=factors)
    if scaling != "none":
        raise metadata.fail(f"{arch}.rope.scaling.type",
                            f"{describe(scaling)} is not supported; supported: none, linear")
    # Older files give linear scaling as a bare factor.
    linear = metadata.number(f"{arch}.rope.scale_linear", 1.0)
    if linear != 1.0:
        return RopeConfig(theta, "linear", factor=linear, frequency_factors=factors)
    return RopeConfig(theta, frequency_factors=factors)


def _vocabulary(metadata: Metadata, arch: str) -> int:
    if "tokenizer.ggml.tokens" in metadata:
        return len(metadata.strings("tokenizer.ggml.tokens"))
    return metadata.integer(f"{arch}.vocab_size")


def _has_layer_tensor(tensors: Mapping[str, TensorInfo], suffix: str) -> bool:
    return f"blk.0.{suffix}" in tensors


def gguf_config(file: GGUFFile) -> ModelConfig:
    """Check a GGUF file's metadata and keep what the decoder needs.

    Biases are present when the file holds them (``blk.0.attn_q.bias``...);
    the output shares the embedding when ``output.weight`` is absent.
    Llama 3's frequency scaling is read from ``rope_freqs.weight``.

    Parameters
    ----------
    file
        An open GGUF file.

    Returns
    -------
    ModelConfig

    Raises
    ------
    ValueError
        Naming the key for a missing, mistyped, impossible or unsupported
        setting, or an architecture other than llama and qwen2.
    """
    metadata = file.metadata
    arch = metadata.string("general.architecture")
    if arch not in ARCHITECTURES:
        raise metadata.fail("general.architecture", f"{describe(arch)} is not supported; "
                                                    f"supported: {', '.join(ARCHITECTURES)}")
    hidden = metadata.integer(f"{arch}.embedding_length")
    heads = metadata.integer(f"{arch}.attention.head_count")
    kv_heads = metadata.integer(f"{arch}.attention.head_count_kv", heads)
    if heads % kv_heads:
        raise metadata.fail(f"{arch}.attention.head_count_kv",
                            f"({kv_heads}) must divide {arch}.attention.head_count ({heads})")
    if f"{arch}.attention.key_length" in metadata:
        head_dim = metadata.integer(f"{arch}.attention.key_length")
    elif hidden % heads:
        raise metadata.fail(f"{arch}.embedding_length", f"({hidden}) is not a multiple of the head count "
                                                        f"({heads}) and attention.key_length is not given")
    else:
        head_dim = hidden // heads
    if head_dim % 2:
        raise metadata.fail(f"{arch}.attention.key_length", f"({head_dim}) must be even for the rotary embedding")
    value_length = metadata.integer(f"{arch}.attention.value_length", head_dim)
    if value_length != head_dim:
        raise metadata.fail(f"{arch}.attention.value_length",
                            f"({value_length}) differs from the key length ({head_dim}), which is not supported")
    factors = None
    if ROPE_FACTORS in file.tensors:
        factors = tuple(float(f) for f in file.read(ROPE_FACTORS, (head_dim // 2,)))
        if not all(f > 0 for f in factors):
            raise ValueError(f"{file.path}: tensor {ROPE_FACTORS} holds factors that are not positive")
    qkv_bias = _has_layer_tensor(file.tensors, "attn_q.bias")
    return ModelConfig(
        architecture=ARCHITECTURES[arch],
        hidden_size=hidden,
        intermediate_size=metadata.integer(f"{arch}.feed_forward_length"),
        num_hidden_layers=metadata.integer(f"{arch}.block_count"),
        num_attention_heads=heads,
        num_key_value_heads=kv_heads,
        head_dim=head_dim,
        rms_norm_eps=metadata.number(f"{arch}.attention.layer_norm_rms_epsilon"),
        vocab_size=_vocabulary(metadata, arch),
        tie_word_embeddings="output.weight" not in file.tensors,
        qkv_bias=qkv_bias,
        o_bias=_has_layer_tensor(file.tensors, "attn_output.bias"),
        rope=_rope(metadata, arch, head_dim, factors),
        sliding_window=None,
        context_length=metadata.integer(f"{arch}.context_length") if f"{arch}.context_length" in metadata else None,
    )
