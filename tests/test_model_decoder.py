"""The NumPy decoder against a plain forward pass over the whole sequence,
through checkpoints the tests write: every config variant, every storage
type and layout, and runs in lockstep against runs alone."""

from pathlib import Path

import numpy as np
import pytest

from model_files import WORDS, reference_forward, tiny_model, write_model

pytest.importorskip("safetensors", reason="the 'eval' extra (safetensors) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale.models import Decoder, load_model  # noqa: E402

TEXT = " ".join(WORDS[:30])

LLAMA3 = {"factor": 8.0, "low_freq_factor": 1.0, "high_freq_factor": 4.0,
          "original_max_position_embeddings": 64}

# name -> (tiny_model arguments, config fields written over the defaults).
# head_dim 8 and theta 10000 give wavelengths 6.3, 63, 628 and 6283 (5000:
# 6.3, 53, 444, 3736): with a context of 64, llama3 keeps the first, blends
# the second and divides the others, so every branch of its scaling is used.
VARIANTS = {
    "llama": ({}, {}),
    "llama3 in rope_parameters": (
        {"rope": {"theta": 5000.0, "kind": "llama3", **LLAMA3}},
        {"rope_parameters": {"rope_theta": 5000.0, "rope_type": "llama3", **LLAMA3}, "rope_theta": None}),
    "llama3 in rope_scaling.type": (
        {"rope": {"theta": 10000.0, "kind": "llama3", **LLAMA3}},
        {"rope_scaling": {"type": "llama3", **LLAMA3}}),
    "linear in rope_scaling.rope_type": (
        {"rope": {"theta": 500.0, "kind": "linear", "factor": 4.0}},
        {"rope_scaling": {"rope_type": "linear", "factor": 4.0}}),
    "qwen2 biases": ({"architecture": "Qwen2ForCausalLM", "qkv_bias": True},
                     {"use_sliding_window": False, "sliding_window": 4}),
    "llama attention_bias": ({"qkv_bias": True, "o_bias": True}, {"attention_bias": True}),
    "tied embedding, head_dim given": ({"tie": True, "head_dim": 16}, {}),
    "mistral, window not reached": ({"architecture": "MistralForCausalLM"}, {"sliding_window": 64}),
    "no grouping": ({"kv_heads": 4}, {}),
}


def decode(folder: Path, strategies: list, text: str = TEXT) -> tuple[list[int], np.ndarray]:
    """Token ids and logits (runs, tokens, vocab), one token at a time."""
    model = load_model(folder)
    tokens = model.encode(text)
    decoder = Decoder(model, strategies)
    return tokens, np.stack([decoder.step(t) for t in tokens], axis=1)


def assert_close(actual: np.ndarray, expected: np.ndarray, relative: float) -> None:
    scale = np.abs(expected).max()
    assert np.abs(actual - expected).max() <= relative * scale


@pytest.mark.parametrize("variant", VARIANTS)
def test_logits_match_a_forward_pass_over_the_whole_sequence(variant: str, tmp_path: Path) -> None:
    arguments, fields = VARIANTS[variant]
    model = tiny_model(**arguments)
    model.config.update(fields)
    model.config = {k: v for k, v in model.config.items() if v is not None}
    tokens, logits = decode(write_model(tmp_path, model), ["full"])
    assert len(tokens) == 31 and tokens[0] == 1
    assert_close(logits[0], reference_forward(model, tokens).logits, 2e-5)


def test_float32_bfloat16_float16_and_sharded_files_give_identical_logits(tmp_path: Path) -> None:
    model = tiny_model(seed=5)
    results = [decode(write_model(tmp_path / f"{dtype}-{shards}", model, dtype=dtype, shards=shards), ["full"])[1]
               for dtype, shards in [("float32", 1), ("bfloat16", 1), ("float16", 1), ("float32", 3),
                                     ("bfloat16", 4)]]
    for other in results[1:]:
        np.testing.assert_array_equal(other, results[0])


def test_strategies_attend_as_a_mask_over_the_sequence_would(tmp_path: Path) -> None:
    # A sliding window of 6 sees positions t-5..t, a static cache the first 2
    # and the last 4: the forward pass with that mask is the oracle.
    model = tiny_model(seed=2)
    tokens, logits = decode(write_model(tmp_path, model), [
        {"strategy": "sliding", "window_size": 6}, {"strategy": "static", "static_k": 2, "recent_k": 4}])
    t, s = np.indices((len(tokens), len(tokens)))
    sliding = (s <= t) & (s > t - 6)
    static = (s <= t) & ((s < 2) | (s > t - 4))
    assert_close(logits[0], reference_forward(model, tokens, sliding).logits, 2e-5)
    assert_close(logits[1], reference_forward(model, tokens, static).logits, 2e-5)
    assert np.abs(logits[0] - logits[1]).max() > 0.1  # the masks differ, and so do the runs


def test_runs_in_lockstep_agree_with_runs_alone(tmp_path: Path) -> None:
    folder = write_model(tmp_path, tiny_model(seed=3))
    strategies = ["full", {"strategy": "sliding", "window_size": 8},
                  {"strategy": "merge", "threshold": 0.5, "merge_every": 2},
                  {"strategy": "hybrid", "static_k": 3, "threshold": 0.5}]
    _, together = decode(folder, strategies)
    for run, strategy in enumerate(strategies):
        assert_close(together[run], decode(folder, [strategy])[1][0], 1e-5)
    assert np.abs(together[2] - together[0]).max() > 1e-3  # merging changed something


def test_the_model_window_refuses_tokens_past_it(tmp_path: Path) -> None:
    model = tiny_model(architecture="MistralForCausalLM", extra={"sliding_window": 5})
    decoder = Decoder(load_model(write_model(tmp_path, model)), ["full"])
    for token in range(5):
        decoder.advance(token)
    with pytest.raises(ValueError, match=r"at most 5 tokens \(sliding_window"):
        decoder.advance(0)
    with pytest.raises(ValueError, match="outside the vocabulary"):
        Decoder(decoder.model, ["full"]).advance(model.config["vocab_size"])
