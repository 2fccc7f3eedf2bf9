"""The model configuration read from a checkpoint's config.json.

Only what the decoder needs is kept, already checked: a field of the wrong
type, an impossible value or a setting the decoder does not implement is a
ValueError naming the field, raised before any weight is read.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from ._files import HugeInteger, describe, read_json

__all__ = ["ARCHITECTURES", "MAX_SIZE", "ModelConfig", "RopeConfig", "load_config", "parse_config"]

# Architecture name in config.json -> the model_type that names it too.
ARCHITECTURES = {
    "LlamaForCausalLM": "llama",
    "MistralForCausalLM": "mistral",
    "Qwen2ForCausalLM": "qwen2",
}

ROPE_TYPES = ("default", "linear", "llama3")

# No size or count of a model comes near this; larger ones are damage.
MAX_SIZE = 2 ** 31 - 1


@dataclass(frozen=True)
class RopeConfig:
    """Rotary embedding: base ``theta`` and the scaling of its frequencies.

    ``kind`` is "default" (no scaling), "linear" (frequencies divided by
    ``factor``) or "llama3" (long wavelengths divided by ``factor``, short ones
    kept, a smooth blend between, as set by the other three fields).
    ``frequency_factors``, when given, divide the inverse frequencies one by
    one after that (GGUF files store Llama 3's scaling that way).
    """

    theta: float
    kind: str = "default"
    factor: float = 1.0
    low_freq_factor: float = 1.0
    high_freq_factor: float = 4.0
    original_max_position_embeddings: int = 8192
    frequency_factors: tuple[float, ...] | None = None


@dataclass(frozen=True)
class ModelConfig:
    """A Llama-family decoder's shape and settings.

    ``qkv_bias`` and ``o_bias`` say which attention projections carry a bias
    (Qwen2: query, key and value; Llama with ``attention_bias``: all four).
    ``sliding_window`` is the model's own attention window in tokens, or None
    when every token sees all earlier ones. ``context_length`` is the
    longest text the model was trained for (max_position_embeddings), or
    None when the checkpoint does not say.
    """

    architecture: str
    hidden_size: int
    intermediate_size: int
    num_hidden_layers: int
    num_attention_heads: int
    num_key_value_heads: int
    head_dim: int
    rms_norm_eps: float
    vocab_size: int
    tie_word_embeddings: bool
    qkv_bias: bool
    o_bias: bool
    rope: RopeConfig
    sliding_window: int | None
    context_length: int | None = None


class _Fields:
    """Typed reads of one JSON object, each error naming the field."""

    def __init__(self, data: Mapping[str, Any], where: str, prefix: str = "") -> None:
        self.data = data
        self.where = where
        self.prefix = prefix

    def fail(self, key: str, message: str) -> ValueError:
        return ValueError(f"{self.where}: {self.prefix}{key} {message}")

    def _get(self, key: str, default: Any) -> Any:
        value = self.data.get(key, default)
        if value is None:
            raise self.fail(key, "is missing")
        if isinstance(value, HugeInteger):
            raise self.fail(key, f"is an integer of {value.digits} digits, far beyond any real setting")
        return value

    def integer(self, key: str, default: int | None = None, *, minimum: int = 1) -> int:
        value = self._get(key, default)
        if isinstance(value, bool) or not isinstance(value, int):
            raise self.fail(key, f"must be an integer, not {describe(value)}")
        if value < minimum:
            raise self.fail(key, f"must be at least {minimum}, not {value}")
        if value > MAX_SIZE:
            raise self.fail(key, f"must be at most {MAX_SIZE}, not {value}")
        return value

    def number(self, key: str, default: float | None = None, *, positive: bool = True) -> float:
        value = self._get(key, default)
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise self.fail(key, f"must be a number, not {describe(value)}")
        result = float(value)
        if not math.isfinite(result) or (positive and result <= 0.0):
            raise self.fail(key, f"must be a positive number, not {describe(value)}")
        return result

    def flag(self, key: str, default: bool) -> bool:
        value = self.data.get(key, default)
        if value is None:
            return default
        if not isinstance(value, bool):
            raise self.fail(key, f"must be true or false, not {describe(value)}")
        return value


def _rope(config: Mapping[str, Any], where: str) -> RopeConfig:
    # Current libraries write one "rope_parameters" object holding the base
    # and the scaling; older files keep "rope_theta" at the top and the
    # scaling in "rope_scaling", its type under "rope_type" or "type".
    parameters = config.get("rope_parameters")
    if parameters is not None:
        if not isinstance(parameters, dict):
            raise ValueError(f"{where}: rope_parameters must be an object, not {describe(parameters)}")
        if any(isinstance(value, dict) for value in parameters.values()):
            raise ValueError(f"{where}: rope_parameters with settings per layer type are not supported")
        scaling: Mapping[str, Any] = parameters
        prefix = "rope_parameters."
        theta = _Fields(parameters, where, prefix).number(
            "rope_theta", _Fields(config, where).number("rope_theta", 10000.0))
    else:
        theta = _Fields(config, where).number("rope_theta", 10000.0)
        raw = config.get("rope_scaling")
        if raw is not None and not isinstance(raw, dict):
            raise ValueError(f"{where}: rope_scaling must be an object or null, not {describe(raw)}")
        scaling = raw or {}
        prefix = "rope_scaling."
    type_key = "rope_type" if "rope_type" in scaling else "type"
    kind = scaling.get(type_key) or "default"
    if not isinstance(kind, str) or kind not in ROPE_TYPES:
        raise ValueError(f"{where}: {prefix}{type_key} {describe(kind)} is not supported; "
                         f"supported: {', '.join(ROPE_TYPES)}")
    fields = _Fields(scaling, where, prefix)
    for holder in (_Fields(config, where), fields):
        if holder.number("partial_rotary_factor", 1.0) != 1.0:
            raise holder.fail("partial_rotary_factor", "other than 1 is not supported")
    if kind == "default":
        return RopeConfig(theta)
    if kind == "linear":
        return RopeConfig(theta, kind, factor=fields.number("factor"))
    low = fields.number("low_freq_factor")
    high = fields.number("high_freq_factor")
    if high <= low:
        raise fields.fail("high_freq_factor", f"({high}) must be greater than low_freq_factor ({low})")
    return RopeConfig(theta, kind, factor=fields.number("factor"), low_freq_factor=low,
                      high_freq_factor=high,
                      original_max_position_embeddings=fields.integer("original_max_position_embeddings"))


def _architecture(config: Mapping[str, Any], where: str) -> str:
    names = config.get("architectures")
    if names is None:
        model_type = config.get("model_type")
        for name, kind in ARCHITECTURES.items():
            if kind == model_type:
                return name
        raise ValueError(f"{where}: architectures is missing and model_type {describe(model_type)} "
                         f"is not one of {', '.join(ARCHITECTURES.values())}")
    if (not isinstance(names, list) or len(names) != 1 or not isinstance(names[0], str)
            or names[0] not in ARCHITECTURES):
        raise ValueError(f"{where}: architectures {describe(names)} is not supported; "
                         f"supported: {', '.join(ARCHITECTURES)}")
    architecture: str = names[0]
    return architecture


def _sliding_window(config: Mapping[str, Any], architecture: str, layers: int, where: str) -> int | None:
    fields = _Fields(config, where)
    layer_types = config.get("layer_types")
    if architecture == "MistralForCausalLM":
        # Mistral's own default is a 4096-token window; null turns it off.
        if "sliding_window" in config and config["sliding_window"] is None:
            return None
        return fields.integer("sliding_window", 4096)
    if architecture == "Qwen2ForCausalLM" and fields.flag("use_sliding_window", False):
        if config.get("sliding_window") is None:
            return None
        window = fields.integer("sliding_window")
        if isinstance(layer_types, list):
            windowed = "sliding_attention" in layer_types
        else:
            # Layers from max_window_layers on use the window.
            windowed = fields.integer("max_window_layers", 28, minimum=0) < layers
        return window if windowed else None
    return None


def parse_config(config: Mapping[str, Any], where: str = "config.json") -> ModelConfig:
    """Check a config.json object and keep what the decoder needs.

    ``where`` names the file in error messages.
    """
    if not isinstance(config, Mapping):
        raise ValueError(f"{where}: the configuration must be a JSON object")
    architecture = _architecture(config, where)
    fields = _Fields(config, where)
    if config.get("quantization_config") is not None:
        raise ValueError(f"{where}: quantization_config: quantized weights are not supported")
    act = config.get("hidden_act", "silu")
    if act != "silu":
        raise ValueError(f"{where}: hidden_act {describe(act)} is not supported (only 'silu')")
    if architecture == "LlamaForCausalLM" and fields.flag("mlp_bias", False):
        raise ValueError(f"{where}: mlp_bias true is not supported")
    hidden = fields.integer("hidden_size")
    heads = fields.integer("num_attention_heads")
    kv_heads = fields.integer("num_key_value_heads", heads)
    if heads % kv_heads:
        raise fields.fail("num_key_value_heads",
                          f"({kv_heads}) must divide num_attention_heads ({heads})")
    head_dim = config.get("head_dim")
    if head_dim is None:
        if hidden % heads:
            raise fields.fail("hidden_size", f"({hidden}) is not a multiple of num_attention_heads "
                                             f"({heads}) and head_dim is not given")
        head_dim = hidden // heads
    else:
        head_dim = fields.integer("head_dim")
    if head_dim % 2:
        raise fields.fail("head_dim", f"({head_dim}) must be even for the rotary embedding")
    layers = fields.integer("num_hidden_layers")
    attention_bias = architecture == "LlamaForCausalLM" and fields.flag("attention_bias", False)
    return ModelConfig(
        architecture=architecture,
        hidden_size=hidden,
        intermediate_size=fields.integer("intermediate_size"),
        num_hidden_layers=layers,
        num_attention_heads=heads,
        num_key_value_heads=kv_heads,
        head_dim=head_dim,
        rms_norm_eps=fields.number("rms_norm_eps", 1e-6),
        vocab_size=fields.integer("vocab_size"),
        tie_word_embeddings=fields.flag("tie_word_embeddings", False),
        qkv_bias=architecture == "Qwen2ForCausalLM" or attention_bias,
        o_bias=attention_bias,
        rope=_rope(config, where),
        sliding_window=_sliding_window(config, architecture, layers, where),
        context_length=(fields.integer("max_position_embeddings")
                        if config.get("max_position_embeddings") is not None else None),
    )


def load_config(folder: str | Path) -> ModelConfig:
    """Read and check ``folder/config.json``.

    Parameters
    ----------
    folder
        A checkpoint folder.

    Returns
    -------
    ModelConfig

    Raises
    ------
    ValueError
        When config.json is missing, not a regular file, not JSON (or
        nested too deeply), or a field is missing, of the wrong type or
        unsupported; the message names the file and the field.
    """
    path = Path(folder) / "config.json"
    if not path.exists() and not path.is_symlink():
        raise ValueError(f"{folder}: no config.json (is this a model folder?)")
    return parse_config(read_json(path), str(path))
