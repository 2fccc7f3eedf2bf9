"""Tiny Llama-family checkpoints written by the tests themselves, and a
forward pass over a whole sequence to check a decoder against.

A ``TinyModel`` holds a config.json object, random weights by tensor name
and the rotary settings it stands for, so that the reference below reads
them in its own terms, not through the loader. Weights are rounded to values
that bfloat16 and float16 both hold exactly, so that a float32, a bfloat16
and a float16 file of them hold the same numbers.
"""

from __future__ import annotations

import json
import math
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

WORDS = ("the cat sat on a mat and then it ran to see what was under old red door while dog slept "
         "near warm fire because night came fast over quiet hills where birds sang songs of long "
         "lost days").split()


@dataclass
class TinyModel:
    config: dict
    tensors: dict[str, np.ndarray]
    # theta, kind ("default", "linear", "llama3") and the scaling fields.
    rope: dict = field(default_factory=dict)


def bfloat16_values(x: np.ndarray) -> np.ndarray:
    """float32 values rounded to the nearest bfloat16 (ties to even), those
    below float16's smallest normal number flushed to 0: 8 significant bits
    in float16's normal range, which both types hold exactly."""
    bits = x.astype(np.float32).view(np.uint32).astype(np.uint64)
    rounded = (bits + 0x7FFF + ((bits >> 16) & 1)) >> 16
    values = (rounded.astype(np.uint32) << 16).view(np.float32)
    return np.where(np.abs(values) < 2.0 ** -14, np.float32(0), values)


def bfloat16_bits(x: np.ndarray) -> np.ndarray:
    return (x.astype(np.float32).view(np.uint32) >> 16).astype(np.uint16)


def tiny_model(*, seed: int = 0, architecture: str = "LlamaForCausalLM", hidden: int = 32, heads: int = 4,
               kv_heads: int = 2, head_dim: int | None = None, layers: int = 2, intermediate: int = 48,
               vocab: int = len(WORDS) + 2, tie: bool = False, qkv_bias: bool = False, o_bias: bool = False,
               rope: dict | None = None, extra: dict | None = None) -> TinyModel:
    rng = np.random.default_rng(seed)
    d = head_dim or hidden // heads
    rope = rope or {"theta": 10000.0, "kind": "default"}

    def weight(*shape: int, scale: float = 1.0) -> np.ndarray:
        return bfloat16_values(rng.standard_normal(shape).astype(np.float32) * scale / math.sqrt(shape[-1]))

    def norm() -> np.ndarray:
        return bfloat16_values(1.0 + 0.2 * rng.standard_normal(hidden).astype(np.float32))

    tensors = {"model.embed_tokens.weight": bfloat16_values(rng.standard_normal((vocab, hidden)).astype(np.float32))}
    for i in range(layers):
        p = f"model.layers.{i}."
        tensors[p + "input_layernorm.weight"] = norm()
        tensors[p + "self_attn.q_proj.weight"] = weight(heads * d, hidden, scale=2.0)
        tensors[p + "self_attn.k_proj.weight"] = weight(kv_heads * d, hidden, scale=2.0)
        tensors[p + "self_attn.v_proj.weight"] = weight(kv_heads * d, hidden)
        tensors[p + "self_attn.o_proj.weight"] = weight(hidden, heads * d)
        if qkv_bias:
            tensors[p + "self_attn.q_proj.bias"] = weight(heads * d, 1)[:, 0].copy()
            tensors[p + "self_attn.k_proj.bias"] = weight(kv_heads * d, 1)[:, 0].copy()
            tensors[p + "self_attn.v_proj.bias"] = weight(kv_heads * d, 1)[:, 0].copy()
        if o_bias:
            tensors[p + "self_attn.o_proj.bias"] = weight(hidden, 1)[:, 0].copy()
        tensors[p + "post_attention_layernorm.weight"] = norm()
        tensors[p + "mlp.gate_proj.weight"] = weight(intermediate, hidden)
        tensors[p + "mlp.up_proj.weight"] = weight(intermediate, hidden)
        tensors[p + "mlp.down_proj.weight"] = weight(hidden, intermediate)
    tensors["model.norm.weight"] = norm()
    if not tie:
        tensors["lm_head.weight"] = weight(vocab, hidden, scale=4.0)

    config = {
        "architectures": [architecture],
        "hidden_size": hidden,
        "intermediate_size": intermediate,
        "num_hidden_layers": layers,
        "num_attention_heads": heads,
        "num_key_value_heads": kv_heads,
        "rms_norm_eps": 1e-2,  # large enough that leaving it out shows
        "vocab_size": vocab,
        "hidden_act": "silu",
        "tie_word_embeddings": tie,
        "rope_theta": rope["theta"],
    }
    if head_dim is not None:
        config["head_dim"] = head_dim
    if architecture == "MistralForCausalLM":
        config["sliding_window"] = None
    config.update(extra or {})
    return TinyModel(config, tensors, rope)


def write_tokenizer(path: Path, vocab: int) -> None:
    from tokenizers import Tokenizer, models, pre_tokenizers, processors

    words = {"<unk>": 0, "<s>": 1}
    for word in WORDS[:vocab - 2]:
        words.setdefault(word, len(words))
    tokenizer = Tokenizer(models.WordLevel(words, unk_token="<unk>"))
    tokenizer.pre_tokenizer = pre_tokenizers.Whitespace()
    tokenizer.post_processor = processors.TemplateProcessing(single="<s> $A", special_tokens=[("<s>", 1)])
    tokenizer.save(str(path))


def _save(path: Path, tensors: dict[str, np.ndarray], dtype: str) -> None:
    from safetensors import TensorSpec, serialize_file
    from safetensors.numpy import save_file

    if dtype == "float32":
        save_file({k: np.ascontiguousarray(v, dtype=np.float32) for k, v in tensors.items()}, str(path))
        return
    buffers = {name: (bfloat16_bits(v) if dtype == "bfloat16" else v.astype(np.float16)) for name, v in tensors.items()}
    tensors = {name: TensorSpec(dtype=dtype, shape=list(b.shape), data_ptr=b.ctypes.data, data_len=b.nbytes)
             for name, b in buffers.items()}
    serialize_file(tensors, str(path))


def write_model(folder: Path, model: TinyModel, *, dtype: str = "float32", shards: int = 1,
                tokenizer: bool = True) -> Path:
    """Write config.json, the weights (one file, or ``shards`` files and an
    index) in ``dtype`` ("float32", "bfloat16" or "float16") and a
    tokenizer.json; return the folder."""
    folder.mkdir(parents=True, exist_ok=True)
    (folder / "config.json").write_text(json.dumps(model.config))
    names = list(model.tensors)
    if shards == 1:
        _save(folder / "model.safetensors", model.tensors, dtype)
    else:
        weight_map = {}
        for s in range(shards):
            filename = f"model-{s + 1:05d}-of-{shards:05d}.safetensors"
            part = names[s::shards]
            _save(folder / filename, {n: model.tensors[n] for n in part}, dtype)
            weight_map.update(dict.fromkeys(part, filename))
        (folder / "model.safetensors.index.json").write_text(
            json.dumps({"metadata": {}, "weight_map": weight_map}))
    if tokenizer:
        write_tokenizer(folder / "tokenizer.json", model.config["vocab_size"])
    return folder


# ---- the reference: the whole sequence at once, a mask, float64 ------------------------


def _inverse_frequencies(rope: dict, d: int) -> np.ndarray:
    inv = np.array([rope["theta"] ** (-2.0 * i / d) for i in range(d // 2)])
    if rope["kind"] == "linear":
        inv = inv / rope["factor"]
    elif rope["kind"] == "llama3":
        scaled = []
        for f in inv:
            wavelen = 2 * math.pi / f
            low_wavelen = rope["original_max_position_embeddings"] / rope["low_freq_factor"]
            high_wavelen = rope["original_max_position_embeddings"] / rope["high_freq_factor"]
            if wavelen > low_wavelen:
                scaled.append(f / rope["factor"])
            elif wavelen < high_wavelen:
                scaled.append(f)
            else:
                smooth = ((rope["original_max_position_embeddings"] / wavelen - rope["low_freq_factor"])
                          / (rope["high_freq_factor"] - rope["low_freq_factor"]))
                scaled.append((1 - smooth) * f / rope["factor"] + smooth * f)
        inv = np.array(scaled)
    return inv


@dataclass
class Forward:
    """Per position: logits (tokens, vocab); per layer and position: the
    rotated queries and keys, the values and the attention outputs."""

    logits: np.ndarray
    queries: list[np.ndarray] = field(default_factory=list)
    keys: list[np.ndarray] = field(default_factory=list)
    values: list[np.ndarray] = field(default_factory=list)
    attention: list[np.ndarray] = field(default_factory=list)


def causal(n: int) -> np.ndarray:
    """visible[t, s]: position t sees every position s <= t."""
    return np.tril(np.ones((n, n), dtype=bool))


def reference_forward(model: TinyModel, tokens: list[int], visible: np.ndarray | None = None) -> Forward:
    """A plain forward pass, every position at once, in float64; ``visible``
    masks the attention (causal by default)."""
    c = model.config
    w = {name: t.astype(np.float64) for name, t in model.tensors.items()}
    heads, kv_heads = c["num_attention_heads"], c["num_key_value_heads"]
    d = c.get("head_dim") or c["hidden_size"] // heads
    n = len(tokens)
    visible = causal(n) if visible is None else visible

    def rms(x: np.ndarray, weight: np.ndarray) -> np.ndarray:
        return x / np.sqrt((x ** 2).mean(axis=-1, keepdims=True) + c["rms_norm_eps"]) * weight

    def proj(x: np.ndarray, name: str) -> np.ndarray:
        y = x @ w[name + ".weight"].T
        return y + w[name + ".bias"] if name + ".bias" in w else y

    angles = np.arange(n)[:, None] * _inverse_frequencies(model.rope, d)[None, :]
    cos = np.concatenate([np.cos(angles)] * 2, axis=1)[:, None, :]
    sin = np.concatenate([np.sin(angles)] * 2, axis=1)[:, None, :]

    def rope(x: np.ndarray) -> np.ndarray:
        rotated = np.concatenate([-x[..., d // 2:], x[..., :d // 2]], axis=-1)
        return x * cos + rotated * sin

    out = Forward(logits=np.empty(0))
    x = w["model.embed_tokens.weight"][tokens]
    for i in range(c["num_hidden_layers"]):
        p = f"model.layers.{i}."
        h = rms(x, w[p + "input_layernorm.weight"])
        q = rope(proj(h, p + "self_attn.q_proj").reshape(n, heads, d))
        k = rope(proj(h, p + "self_attn.k_proj").reshape(n, kv_heads, d))
        v = proj(h, p + "self_attn.v_proj").reshape(n, kv_heads, d)
        scores = np.einsum("thd,shd->hts", q, np.repeat(k, heads // kv_heads, axis=1)) / math.sqrt(d)
        scores[:, ~visible] = -np.inf
        weights = np.exp(scores - scores.max(axis=-1, keepdims=True))
        weights /= weights.sum(axis=-1, keepdims=True)
        attended = np.einsum("hts,shd->thd", weights, np.repeat(v, heads // kv_heads, axis=1))
        out.queries.append(q), out.keys.append(k), out.values.append(v), out.attention.append(attended)
        x = x + proj(attended.reshape(n, heads * d), p + "self_attn.o_proj")
        h = rms(x, w[p + "post_attention_layernorm.weight"])
        gate = proj(h, p + "mlp.gate_proj")
        x = x + proj(gate / (1 + np.exp(-gate)) * proj(h, p + "mlp.up_proj"), p + "mlp.down_proj")
    head = w.get("lm_head.weight", w["model.embed_tokens.weight"])
    out.logits = rms(x, w["model.norm.weight"]) @ head.T
    return out


# ---- the same model as a GGUF file ------------------------------------------------------

# Checkpoint tensor names and their GGUF names; "{i}" is the layer.
GGUF_NAMES = {
    "model.embed_tokens.weight": "token_embd.weight",
    "model.norm.weight": "output_norm.weight",
    "lm_head.weight": "output.weight",
    "model.layers.{i}.input_layernorm.weight": "blk.{i}.attn_norm.weight",
    "model.layers.{i}.self_attn.q_proj.weight": "blk.{i}.attn_q.weight",
    "model.layers.{i}.self_attn.k_proj.weight": "blk.{i}.attn_k.weight",
    "model.layers.{i}.self_attn.v_proj.weight": "blk.{i}.attn_v.weight",
    "model.layers.{i}.self_attn.o_proj.weight": "blk.{i}.attn_output.weight",
    "model.layers.{i}.self_attn.q_proj.bias": "blk.{i}.attn_q.bias",
    "model.layers.{i}.self_attn.k_proj.bias": "blk.{i}.attn_k.bias",
    "model.layers.{i}.self_attn.v_proj.bias": "blk.{i}.attn_v.bias",
    "model.layers.{i}.self_attn.o_proj.bias": "blk.{i}.attn_output.bias",
    "model.layers.{i}.post_attention_layernorm.weight": "blk.{i}.ffn_norm.weight",
    "model.layers.{i}.mlp.gate_proj.weight": "blk.{i}.ffn_gate.weight",
    "model.layers.{i}.mlp.up_proj.weight": "blk.{i}.ffn_up.weight",
    "model.layers.{i}.mlp.down_proj.weight": "blk.{i}.ffn_down.weight",
}


def gguf_name(name: str) -> str:
    parts = name.split(".")
    if parts[:2] == ["model", "layers"]:
        layer = parts[2]
        return GGUF_NAMES[".".join(parts[:2] + ["{i}"] + parts[3:])].format(i=layer)
    return GGUF_NAMES[name]


def interleave_rows(weight: np.ndarray, heads: int) -> np.ndarray:
    """The row order that llama GGUF files use for query and key weights:
    within each head of d rows, row j goes to 2j and row d/2 + j to 2j + 1."""
    d = weight.shape[0] // heads
    order = [h * d + (i // 2 if i % 2 == 0 else d // 2 + i // 2) for h in range(heads) for i in range(d)]
    return weight[order]


# Llama 3's scaling, with a short original window so that a few tokens show it.
LLAMA3_ROPE = {"theta": 500000.0, "kind": "llama3", "factor": 8.0, "low_freq_factor": 1.0,
               "high_freq_factor": 4.0, "original_max_position_embeddings": 64}


def llama3_factors(rope: dict, d: int) -> np.ndarray:
    """Llama 3's scaling as GGUF files store it: the default inverse
    frequencies divided by the scaled ones."""
    return _inverse_frequencies({"theta": rope["theta"], "kind": "default"}, d) / _inverse_frequencies(rope, d)


def write_gguf(path: Path, model: TinyModel, *, kind: str = "F32", metadata: dict | None = None,
               drop: tuple[str, ...] = (), types: dict[str, str] | None = None, interleave: bool = True) -> Path:
    """Write ``model`` as a GGUF file, its matrices in ``kind`` (F32, F16,
    BF16 or a type the gguf package quantises to), its vectors in F32, with
    the metadata the tool that writes these files gives; ``metadata`` adds
    or replaces entries (key -> value, or (value, GGUFValueType)), metadata
    keys or tensors named in ``drop`` are left out, and ``types`` gives some
    tensors (by GGUF name) another type (I8 among them). ``interleave``
    False keeps the checkpoint's row order in a llama file, as no real file
    has it."""
    import gguf

    c = model.config
    arch = "qwen2" if c["architectures"][0] == "Qwen2ForCausalLM" else "llama"
    heads, kv_heads = c["num_attention_heads"], c["num_key_value_heads"]
    d = c.get("head_dim") or c["hidden_size"] // heads
    entries: dict = {
        f"{arch}.block_count": (c["num_hidden_layers"], gguf.GGUFValueType.UINT32),
        f"{arch}.context_length": (4096, gguf.GGUFValueType.UINT32),
        f"{arch}.embedding_length": (c["hidden_size"], gguf.GGUFValueType.UINT32),
        f"{arch}.feed_forward_length": (c["intermediate_size"], gguf.GGUFValueType.UINT32),
        f"{arch}.attention.head_count": (heads, gguf.GGUFValueType.UINT32),
        f"{arch}.attention.head_count_kv": (kv_heads, gguf.GGUFValueType.UINT32),
        f"{arch}.rope.freq_base": (model.rope["theta"], gguf.GGUFValueType.FLOAT32),
        f"{arch}.attention.layer_norm_rms_epsilon": (c["rms_norm_eps"], gguf.GGUFValueType.FLOAT32),
        f"{arch}.rope.dimension_count": (d, gguf.GGUFValueType.UINT32),
        f"{arch}.vocab_size": (c["vocab_size"], gguf.GGUFValueType.UINT32),
    }
    if "head_dim" in c:
        entries[f"{arch}.attention.key_length"] = (d, gguf.GGUFValueType.UINT32)
        entries[f"{arch}.attention.value_length"] = (d, gguf.GGUFValueType.UINT32)
    if model.rope["kind"] == "linear":
        entries[f"{arch}.rope.scaling.type"] = ("linear", gguf.GGUFValueType.STRING)
        entries[f"{arch}.rope.scaling.factor"] = (model.rope["factor"], gguf.GGUFValueType.FLOAT32)
    for key, value in (metadata or {}).items():
        entries[key] = value if isinstance(value, tuple) else (value, gguf.GGUFValueType.get_type(value))
    writer = gguf.GGUFWriter(str(path), arch)
    for key, (value, value_type) in entries.items():
        if key in drop:
            continue
        if value_type == gguf.GGUFValueType.ARRAY:
            writer.add_array(key, value)
        else:
            writer.add_key_value(key, value, value_type)
    if model.rope["kind"] == "llama3":
        writer.add_tensor("rope_freqs.weight", llama3_factors(model.rope, d).astype(np.float32))
    for name, tensor in model.tensors.items():
        target = gguf_name(name)
        if target in drop:
            continue
        if arch == "llama" and interleave and ".q_proj." in name:
            tensor = interleave_rows(tensor, heads)
        elif arch == "llama" and interleave and ".k_proj." in name:
            tensor = interleave_rows(tensor, kv_heads)
        tensor = np.ascontiguousarray(tensor, dtype=np.float32)
        own = (types or {}).get(target, "F32" if tensor.ndim == 1 else kind)
        if own in ("F32", "F16", "I8"):
            writer.add_tensor(target, tensor.astype({"F32": np.float32, "F16": np.float16, "I8": np.int8}[own]))
        else:
            quantised = getattr(gguf.GGMLQuantizationType, own)
            writer.add_tensor(target, gguf.quantize(tensor, quantised), raw_dtype=quantised)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()
    return path


def dequantised(model: TinyModel, kind: str) -> TinyModel:
    """``model`` with its matrices as a GGUF file of ``kind`` holds them."""
    import gguf

    quantised = getattr(gguf.GGMLQuantizationType, kind)
    tensors = {name: (t if t.ndim == 1 else gguf.dequantize(gguf.quantize(t, quantised), quantised))
               for name, t in model.tensors.items()}
    return TinyModel(model.config, tensors, model.rope)
