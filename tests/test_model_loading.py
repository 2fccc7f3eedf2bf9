"""Reading config.json and checkpoint folders: the config variants, and a
ValueError naming the field, file or tensor for everything unsupported,
missing or damaged."""

import json
import os
import re
import struct
import threading
from pathlib import Path

import numpy as np
import pytest

from model_files import WORDS, tiny_model, write_model, write_tokenizer

pytest.importorskip("safetensors", reason="the 'eval' extra (safetensors) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale.models import RopeConfig, load_model, parse_config  # noqa: E402

BASE = {"architectures": ["LlamaForCausalLM"], "hidden_size": 32, "intermediate_size": 48,
        "num_hidden_layers": 2, "num_attention_heads": 4, "num_key_value_heads": 2, "vocab_size": 50}
LLAMA3 = {"factor": 8.0, "low_freq_factor": 1.0, "high_freq_factor": 4.0,
          "original_max_position_embeddings": 8192}


def config(**fields: object) -> dict:
    return {k: v for k, v in {**BASE, **fields}.items() if v is not None}


class TestConfig:
    def test_both_forms_of_rotary_settings_read_alike(self) -> None:
        expected = RopeConfig(500000.0, "llama3", **LLAMA3)
        assert parse_config(config(rope_parameters={"rope_theta": 500000.0, "rope_type": "llama3", **LLAMA3})
                            ).rope == expected
        assert parse_config(config(rope_theta=500000.0, rope_scaling={"rope_type": "llama3", **LLAMA3})
                            ).rope == expected
        assert parse_config(config(rope_theta=500000.0, rope_scaling={"type": "llama3", **LLAMA3})).rope == expected
        assert parse_config(config(rope_scaling={"type": "linear", "factor": 2})).rope == RopeConfig(10000.0, "linear", 2.0)
        assert parse_config(config(rope_scaling=None)).rope == RopeConfig(10000.0)
        assert parse_config(config(rope_parameters={"rope_type": "default", "rope_theta": 7.0})).rope == RopeConfig(7.0)

    def test_biases_head_dim_and_defaults(self) -> None:
        llama = parse_config(config())
        assert (llama.head_dim, llama.num_key_value_heads, llama.qkv_bias, llama.o_bias) == (8, 2, False, False)
        assert (llama.tie_word_embeddings, llama.rms_norm_eps, llama.sliding_window) == (False, 1e-6, None)
        assert parse_config(config(num_key_value_heads=None)).num_key_value_heads == 4
        assert parse_config(config(head_dim=6)).head_dim == 6
        biased = parse_config(config(attention_bias=True))
        assert (biased.qkv_bias, biased.o_bias) == (True, True)
        qwen = parse_config(config(architectures=["Qwen2ForCausalLM"]))
        assert (qwen.qkv_bias, qwen.o_bias) == (True, False)
        mistral = parse_config(config(architectures=["MistralForCausalLM"], attention_bias=True))
        assert (mistral.qkv_bias, mistral.o_bias) == (False, False)

    @pytest.mark.parametrize(("fields", "window"), [
        ({"architectures": ["MistralForCausalLM"]}, 4096),
        ({"architectures": ["MistralForCausalLM"], "sliding_window": 100}, 100),
        ({"architectures": ["MistralForCausalLM"], "sliding_window": None}, None),
        ({"architectures": ["Qwen2ForCausalLM"], "sliding_window": 100}, None),
        ({"architectures": ["Qwen2ForCausalLM"], "use_sliding_window": True, "sliding_window": 100,
          "max_window_layers": 1}, 100),
        ({"architectures": ["Qwen2ForCausalLM"], "use_sliding_window": True, "sliding_window": 100,
          "max_window_layers": 2}, None),
        ({"architectures": ["LlamaForCausalLM"], "sliding_window": 100}, None),
    ])
    def test_model_attention_windows(self, fields: dict, window: int | None) -> None:
        raw = {**BASE, **fields}
        assert parse_config(raw).sliding_window == window

    @pytest.mark.parametrize(("fields", "named"), [
        ({"architectures": ["GPT2LMHeadModel"]}, "architectures"),
        ({"architectures": None, "model_type": "gpt2"}, "model_type"),
        ({"hidden_size": None}, "hidden_size is missing"),
        ({"num_hidden_layers": True}, "num_hidden_layers must be an integer"),
        ({"vocab_size": 0}, "vocab_size must be at least 1"),
        ({"num_key_value_heads": 3}, "num_key_value_heads (3) must divide"),
        ({"head_dim": 7}, "head_dim (7) must be even"),
        ({"hidden_act": "gelu"}, "hidden_act 'gelu'"),
        ({"rms_norm_eps": -1}, "rms_norm_eps must be a positive number"),
        ({"mlp_bias": True}, "mlp_bias"),
        ({"tie_word_embeddings": "yes"}, "tie_word_embeddings must be true or false"),
        ({"quantization_config": {"bits": 4}}, "quantization_config"),
        ({"rope_scaling": {"rope_type": "yarn", "factor": 4}}, "rope_scaling.rope_type 'yarn'"),
        ({"rope_scaling": {"type": "dynamic", "factor": 4}}, "rope_scaling.type 'dynamic'"),
        ({"rope_parameters": {"rope_type": "longrope"}}, "rope_parameters.rope_type 'longrope'"),
        ({"rope_scaling": {"rope_type": "linear"}}, "rope_scaling.factor is missing"),
        ({"rope_scaling": {"rope_type": "llama3", **LLAMA3, "low_freq_factor": None}},
         "rope_scaling.low_freq_factor is missing"),
        ({"rope_parameters": {"rope_type": "llama3", **LLAMA3, "high_freq_factor": 1.0}},
         "rope_parameters.high_freq_factor (1.0) must be greater"),
        ({"partial_rotary_factor": 0.5}, "partial_rotary_factor"),
        ({"architectures": ["MistralForCausalLM"], "sliding_window": "big"}, "sliding_window must be an integer"),
    ])
    def test_unsupported_or_broken_fields_are_named(self, fields: dict, named: str) -> None:
        with pytest.raises(ValueError, match=re.escape(named)):
            parse_config(config(**fields))


@pytest.fixture
def folder(tmp_path: Path) -> Path:
    return write_model(tmp_path / "model", tiny_model())


class TestDamagedFolders:
    def test_a_good_folder_loads(self, folder: Path, tmp_path: Path) -> None:
        model = load_model(folder)
        assert model.config.num_hidden_layers == 2 and len(model.weights.layers) == 2
        assert model.encode("the cat")[0] == 1
        # float32 weights stay read-only views of the mapped file, as plain
        # arrays (NumPy's memmap subclass slows every product); bfloat16
        # ones are widened copies.
        mapped = model.weights.layers[0].q
        assert type(mapped) is np.ndarray and not mapped.flags.writeable and mapped.flags.aligned
        widened = load_model(write_model(tmp_path / "bf16", tiny_model(), dtype="bfloat16")).weights.layers[0].q
        assert type(widened) is np.ndarray and widened.flags.writeable
        np.testing.assert_array_equal(widened, mapped)

    @pytest.mark.parametrize("cut", [0, 5, 8, 30, -500, -1])
    def test_a_truncated_weight_file_names_the_file(self, folder: Path, cut: int) -> None:
        path = folder / "model.safetensors"
        data = path.read_bytes()
        path.write_bytes(data[:cut] if cut >= 0 else data[:len(data) + cut])
        with pytest.raises(ValueError, match=r"model\.safetensors: not a valid safetensors file"):
            load_model(folder)

    @pytest.mark.parametrize("length", [2 ** 63, 2 ** 40, 10 ** 6])
    def test_a_huge_header_length_is_refused(self, folder: Path, length: int) -> None:
        path = folder / "model.safetensors"
        path.write_bytes(struct.pack("<Q", length) + path.read_bytes()[8:])
        with pytest.raises(ValueError, match=r"model\.safetensors"):
            load_model(folder)

    def test_missing_tensors_wrong_shapes_and_types_are_named(self, tmp_path: Path) -> None:
        model = tiny_model()
        del model.tensors["model.layers.1.mlp.up_proj.weight"]
        with pytest.raises(ValueError, match=r"tensor model\.layers\.1\.mlp\.up_proj\.weight is missing"):
            load_model(write_model(tmp_path / "missing", model, shards=2))
        model = tiny_model()
        model.tensors["model.norm.weight"] = model.tensors["model.norm.weight"][:-1]
        with pytest.raises(ValueError, match=r"tensor model\.norm\.weight has shape \(31,\), expected \(32,\)"):
            load_model(write_model(tmp_path / "shape", model))
        model = tiny_model(tie=True)
        model.config["tie_word_embeddings"] = False
        with pytest.raises(ValueError, match=r"tensor lm_head\.weight is missing"):
            load_model(write_model(tmp_path / "untied", model))
        from safetensors.numpy import save_file
        model = tiny_model()
        write_model(tmp_path / "int", model)
        model.tensors["model.norm.weight"] = model.tensors["model.norm.weight"].astype("int8")
        save_file(model.tensors, str(tmp_path / "int" / "model.safetensors"))
        with pytest.raises(ValueError, match=r"tensor model\.norm\.weight has dtype I8"):
            load_model(tmp_path / "int")

    @pytest.mark.parametrize(("change", "message"), [
        (lambda idx: idx["weight_map"].update({"model.norm.weight": "absent.safetensors"}),
         r"absent\.safetensors: no such file"),
        (lambda idx: idx["weight_map"].update({"model.norm.weight": "../model/x.safetensors"}),
         r"tensor model\.norm\.weight is in '\.\./model/x\.safetensors', which is not a file name"),
        (lambda idx: idx.pop("weight_map"), "weight_map is missing"),
    ])
    def test_a_bad_index_is_named(self, tmp_path: Path, change, message: str) -> None:
        folder = write_model(tmp_path / "model", tiny_model(), shards=2)
        index_path = folder / "model.safetensors.index.json"
        index = json.loads(index_path.read_text())
        change(index)
        index_path.write_text(json.dumps(index))
        with pytest.raises(ValueError, match=message):
            load_model(folder)

    def test_missing_or_broken_files_are_named(self, folder: Path, tmp_path: Path) -> None:
        with pytest.raises(ValueError, match="not a folder"):
            load_model(tmp_path / "nowhere")
        (folder / "tokenizer.json").write_text("{")
        with pytest.raises(ValueError, match=r"tokenizer\.json: not a valid tokenizer"):
            load_model(folder)
        (folder / "tokenizer.json").unlink()
        with pytest.raises(ValueError, match=r"no tokenizer\.json, so text cannot be tokenized"):
            load_model(folder).encode("the cat")
        (folder / "model.safetensors").unlink()
        with pytest.raises(ValueError, match=r"neither model\.safetensors nor model\.safetensors\.index\.json"):
            load_model(folder)
        (folder / "config.json").write_text("{'not json'")
        with pytest.raises(ValueError, match=r"config\.json: not valid JSON"):
            load_model(folder)
        (folder / "config.json").unlink()
        with pytest.raises(ValueError, match=r"no config\.json"):
            load_model(folder)

    def test_a_tokenizer_beyond_the_vocabulary_is_refused(self, tmp_path: Path) -> None:
        folder = write_model(tmp_path, tiny_model(vocab=10))
        write_tokenizer(folder / "tokenizer.json", 20)
        model = load_model(folder)
        assert model.encode(" ".join(WORDS[:8])) == list(range(1, 10))
        with pytest.raises(ValueError, match="token id 10, outside the model's vocabulary of 10"):
            model.encode(WORDS[8])


def deeply_nested(depth: int) -> str:
    return "[" * depth + "]" * depth


class TestHostileJson:
    """config.json and the index come from outside: whatever they hold is a
    ValueError naming the file and the field, never another exception."""

    @pytest.mark.parametrize(("fields", "message"), [
        ({"architectures": [["LlamaForCausalLM"]]}, r"architectures \[\['LlamaForCausalLM'\]\] is not supported"),
        ({"architectures": [{}]}, r"architectures \[\{\}\] is not supported"),
        ({"architectures": None, "model_type": {"a": 1}}, "architectures is missing and model_type {'a': 1} is not"),
        ({"rope_scaling": {"rope_type": ["linear"]}}, r"rope_scaling\.rope_type \['linear'\] is not supported"),
        ({"hidden_size": 2 ** 40}, "hidden_size must be at most 2147483647"),
    ])
    def test_values_of_the_wrong_kind_are_named(self, folder: Path, fields: dict, message: str) -> None:
        (folder / "config.json").write_text(json.dumps(config(**fields)))
        with pytest.raises(ValueError, match=r"config\.json: " + message):
            load_model(folder)

    def test_a_deeply_nested_config_names_the_file_and_field(self, folder: Path) -> None:
        text = json.dumps(config(architectures="X")).replace('"X"', deeply_nested(100_000))
        (folder / "config.json").write_text(text)
        with pytest.raises(ValueError, match=r"config\.json: architectures: nested more than 64 levels deep"):
            load_model(folder)

    def test_a_deeply_nested_index_names_the_file_and_field(self, tmp_path: Path) -> None:
        folder = write_model(tmp_path / "model", tiny_model(), shards=2)
        index = folder / "model.safetensors.index.json"
        index.write_text('{"metadata": {}, "weight_map": {"x": ' + deeply_nested(50_000) + "}}")
        with pytest.raises(ValueError, match=r"index\.json: weight_map: nested more than 64 levels deep"):
            load_model(folder)

    def test_an_integer_of_thousands_of_digits_names_the_file_and_field(self, folder: Path, tmp_path: Path) -> None:
        (folder / "config.json").write_text(json.dumps(config(vocab_size="X")).replace('"X"', "7" * 5000))
        with pytest.raises(ValueError, match=r"config\.json: vocab_size is an integer of 5000 digits"):
            load_model(folder)
        # In a field that nothing reads, it does no harm.
        sharded = write_model(tmp_path / "sharded", tiny_model(), shards=2)
        index = sharded / "model.safetensors.index.json"
        index.write_text(index.read_text().replace('"metadata": {}', '"metadata": {"total_size": ' + "9" * 5000 + "}"))
        assert load_model(sharded).config.vocab_size == tiny_model().config["vocab_size"]

    def test_the_command_line_makes_it_a_usage_error(self, folder: Path, capsys: pytest.CaptureFixture[str]) -> None:
        from marrowvale.__main__ import main
        (folder / "config.json").write_text(json.dumps(config(architectures=[["LlamaForCausalLM"]])))
        with pytest.raises(SystemExit) as exit:
            main(["eval", "--model", str(folder), "--prompt", "the cat"])
        err = capsys.readouterr().err
        assert exit.value.code == 2 and "config.json: architectures" in err and "Traceback" not in err


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="the system has no FIFOs")
class TestNotRegularFiles:
    """A FIFO in place of a model file would block the reader for ever."""

    @staticmethod
    def refused(folder: Path, name: str, message: str) -> None:
        fifo = folder / name
        if fifo.exists():
            fifo.unlink()
        os.mkfifo(fifo)
        outcome: list[BaseException | None] = []

        def attempt() -> None:
            try:
                load_model(folder)
                outcome.append(None)
            except BaseException as exc:  # handed to the test thread
                outcome.append(exc)

        worker = threading.Thread(target=attempt, daemon=True)
        worker.start()
        worker.join(20)
        if worker.is_alive():
            # Release the reader that opened the FIFO, so that the run goes on.
            os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
            worker.join(20)
            pytest.fail(f"loading a folder with a FIFO named {name} blocked")
        assert isinstance(outcome[0], ValueError), outcome
        assert re.search(message, str(outcome[0])), str(outcome[0])

    @pytest.mark.parametrize("name", ["config.json", "model.safetensors", "tokenizer.json"])
    def test_a_fifo_in_a_folder_is_refused_unopened(self, folder: Path, name: str) -> None:
        self.refused(folder, name, re.escape(name) + r": not a regular file \(a FIFO\), so it is not read")

    @pytest.mark.parametrize("listed", ["index", "shard"])
    def test_a_fifo_as_the_index_or_a_listed_shard_is_refused(self, tmp_path: Path, listed: str) -> None:
        folder = write_model(tmp_path / "model", tiny_model(), shards=2)
        name = "model.safetensors.index.json" if listed == "index" else "model-00002-of-00002.safetensors"
        self.refused(folder, name, re.escape(name) + r": not a regular file \(a FIFO\)")

    def test_a_folder_in_place_of_a_file_is_refused(self, folder: Path) -> None:
        (folder / "config.json").unlink()
        (folder / "config.json").mkdir()
        with pytest.raises(ValueError, match=r"config\.json: not a regular file \(a folder\)"):
            load_model(folder)


class TestSafetensorsHeader:
    """The header is read by the loader alone: each fault in it named."""

    @staticmethod
    def rewrite(folder: Path, change) -> None:
        path = folder / "model.safetensors"
        data = path.read_bytes()
        length = int.from_bytes(data[:8], "little")
        header = json.loads(data[8:8 + length])
        change(header)
        raw = json.dumps(header).encode()
        raw += b" " * (-len(raw) % 8)
        path.write_bytes(len(raw).to_bytes(8, "little") + raw + data[8 + length:])

    @pytest.mark.parametrize(("change", "message"), [
        (lambda h: h["model.norm.weight"].update(dtype="F33"), r"tensor model\.norm\.weight: dtype 'F33' is not"),
        (lambda h: h["model.norm.weight"].update(shape=[-1]), r"tensor model\.norm\.weight: shape \[-1\] is not"),
        (lambda h: h["model.norm.weight"].update(shape=[16]), r"tensor model\.norm\.weight: data_offsets \[\d+, \d+\] "
                                                              r"hold 128 bytes, and F32 of shape \(16,\) takes 64"),
        (lambda h: h["model.norm.weight"].update(data_offsets=[0, 2 ** 70]),
         r"tensor model\.norm\.weight: data_offsets \[0, 1180591620717411303424\] hold"),
        (lambda h: h.update({"model.norm.weight": [1, 2]}), r"tensor model\.norm\.weight: dtype None"),
        (lambda h: h["model.norm.weight"].update(data_offsets=[10 ** 9, 10 ** 9 + 128]),
         r"tensor model\.norm\.weight ends at byte \d+, past the end of the file"),
    ])
    def test_a_damaged_entry_is_named(self, folder: Path, change, message: str) -> None:
        self.rewrite(folder, change)
        with pytest.raises(ValueError, match=r"model\.safetensors: not a valid safetensors file: " + message):
            load_model(folder)

    def test_a_deeply_nested_header_is_named(self, folder: Path) -> None:
        raw = ('{"x": ' + deeply_nested(100_000) + "}").encode()
        (folder / "model.safetensors").write_bytes(len(raw).to_bytes(8, "little") + raw)
        with pytest.raises(ValueError, match=r"not a valid safetensors file: header: x: nested more than 64"):
            load_model(folder)
