"""Layer-by-layer teacher-forced evaluation against token-by-token decoding:
the same logits to float32 rounding and the same cache decisions, for every
strategy, chunk size and model variant; and its windows and shares of the
text against evaluations of the parts on their own."""

from pathlib import Path

import numpy as np
import pytest

from model_files import WORDS, tiny_model, write_model

pytest.importorskip("safetensors", reason="the 'eval' extra (safetensors) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale.models import Decoder, evaluate, load_model  # noqa: E402
from marrowvale.models._decoder import linear, rms_norm  # noqa: E402
from marrowvale.models._layerwise import chunk_hidden_states, new_caches  # noqa: E402

TEXT = " ".join(WORDS + WORDS[:20])

# Small enough that every strategy evicts or merges within the text.
STRATEGIES = [
    "full",
    {"strategy": "sliding", "window_size": 6},
    {"strategy": "static", "static_k": 2, "recent_k": 5},
    {"strategy": "merge", "threshold": 0.3, "merge_every": 2},
    {"strategy": "merge", "threshold": 0.6, "merge_every": 1},
    {"strategy": "hybrid", "static_k": 3, "threshold": 0.3, "merge_every": 3},
    {"strategy": "h2o", "budget": 7, "recent": 2},
    {"strategy": "tova", "budget": 6, "recent": 0},
    {"strategy": "knorm", "budget": 8, "recent": 3},
]


def layerwise(model, tokens: list[int], strategies: list, chunk: int) -> tuple[np.ndarray, list]:
    """Logits (runs, tokens, vocab) of the layer-by-layer pass, and its runs."""
    from marrowvale._strategy_choice import parse_strategy

    runs = [new_caches(model, *parse_strategy(choice)[1:]) for choice in strategies]
    hidden = [[] for _ in runs]
    for _, outputs in chunk_hidden_states(model, tokens, runs, chunk_tokens=chunk):
        for kept, x in zip(hidden, outputs):
            kept.append(x)
    w, eps = model.weights, model.config.rms_norm_eps
    logits = np.stack([linear(rms_norm(np.concatenate(h), w.norm, eps), w.lm_head) for h in hidden])
    return logits, runs


def decoded(model, tokens: list[int], strategies: list) -> tuple[np.ndarray, Decoder]:
    decoder = Decoder(model, strategies)
    return np.stack([decoder.step(t) for t in tokens], axis=1), decoder


def assert_same_runs(model, tokens: list[int], strategies: list, chunk: int, relative: float = 2e-6) -> None:
    """Logits within ``relative`` of the largest (float32 rounding, which
    grows with the depth), and the very same entries in every cache."""
    expected, decoder = decoded(model, tokens, strategies)
    actual, runs = layerwise(model, tokens, strategies, chunk)
    for r, choice in enumerate(strategies):
        scale = np.abs(expected[r]).max()
        assert np.abs(actual[r] - expected[r]).max() <= relative * scale, choice
        # Same entries kept, merged and evicted: every head's spans agree.
        for layer, cache in enumerate(runs[r].caches):
            other = decoder.caches[layer][r]
            assert cache.lengths() == other.lengths(), choice
            for head in range(cache.n_heads):
                np.testing.assert_array_equal(cache.spans(head), other.spans(head))


@pytest.fixture(scope="module")
def tiny_folder(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_model(tmp_path_factory.mktemp("layerwise") / "tiny", tiny_model(seed=21))


@pytest.mark.parametrize("chunk", [1, 7, 256])
def test_every_strategy_agrees_with_token_by_token_decoding(tiny_folder: Path, chunk: int) -> None:
    model = load_model(tiny_folder)
    tokens = model.encode(TEXT)
    assert len(tokens) == 60
    assert_same_runs(model, tokens, STRATEGIES, chunk)


@pytest.mark.parametrize("arguments", [
    {"architecture": "Qwen2ForCausalLM", "qkv_bias": True},
    {"qkv_bias": True, "o_bias": True, "tie": True, "head_dim": 16},
    {"kv_heads": 4, "rope": {"theta": 500.0, "kind": "linear", "factor": 4.0}},
], ids=["qwen2 biases", "llama biases, tied, head_dim", "no grouping, linear rope"])
def test_model_variants_agree_with_token_by_token_decoding(arguments: dict, tmp_path: Path) -> None:
    model = tiny_model(seed=4, **arguments)
    if arguments.get("rope"):
        model.config["rope_scaling"] = {"rope_type": "linear", "factor": 4.0}
        model.config["rope_theta"] = 500.0
    loaded = load_model(write_model(tmp_path, model))
    assert_same_runs(loaded, loaded.encode(TEXT), STRATEGIES[:2] + STRATEGIES[3:4], 16)


def test_windows_pool_the_evaluations_of_each_window_alone(tiny_folder: Path) -> None:
    model = load_model(tiny_folder)
    tokens = model.encode(TEXT)
    strategies = [{"strategy": "sliding", "window_size": 5}, {"strategy": "merge", "threshold": 0.3}]
    pooled = evaluate(model, tokens, strategies, ctx=20)
    assert (pooled.windows, pooled.window_tokens, pooled.tokens, pooled.predictions) == (3, 20, 60, 57)
    alone = [evaluate(model, tokens[w * 20:(w + 1) * 20], strategies) for w in range(3)]
    for run in range(3):
        parts = [a.results[run] for a in alone]
        together = pooled.results[run]
        assert together.kl_mean == pytest.approx(np.mean([p.kl_mean for p in parts]), rel=1e-12, abs=1e-15)
        assert together.top1_agreement == pytest.approx(np.mean([p.top1_agreement for p in parts]))
        # A perplexity pools the log-likelihoods, not the perplexities.
        log_ppl = np.mean([np.log(p.perplexity) for p in parts])
        assert together.perplexity == pytest.approx(np.exp(log_ppl), rel=1e-12)
        np.testing.assert_allclose(together.kl_by_position,
                                   np.mean([p.kl_by_position for p in parts], axis=0), rtol=1e-12, atol=1e-15)
        assert together.entries_held == round(np.mean([p.entries_held for p in parts]))
    with pytest.raises(ValueError, match="the text has 60 tokens, fewer than one window of 62"):
        evaluate(model, tokens, strategies, ctx=62, max_tokens=None)


def test_shares_of_the_text_resolve_against_the_window(tiny_folder: Path) -> None:
    tokens = list(range(1, 41))
    shares = evaluate(tiny_folder, tokens, [{"strategy": "sliding", "window_size": "25%"},
                                            {"strategy": "static", "static_k": 2, "recent_k": "12.5%"}], ctx=20)
    counts = evaluate(tiny_folder, tokens, [{"strategy": "sliding", "window_size": 5},
                                            {"strategy": "static", "static_k": 2, "recent_k": 3}], ctx=20)
    for share, count in zip(shares.results, counts.results, strict=True):
        assert (share.label, share.kl_mean, share.entries_held) == (count.label, count.kl_mean, count.entries_held)
    assert shares.results[1].choice == {"strategy": "sliding", "window_size": "25%"}
    with pytest.raises(ValueError, match="threshold cannot be a share"):
        evaluate(tiny_folder, tokens, [{"strategy": "merge", "threshold": "50%"}])


def test_the_full_cache_against_itself_is_exactly_zero(tiny_folder: Path) -> None:
    result = evaluate(tiny_folder, TEXT, ["full", {"strategy": "static", "static_k": 40, "recent_k": 40}])
    for same in result.results[1:]:
        assert same.kl_max == 0.0 and same.top1_agreement == 1.0 and same.ln_ppl_ratio == 0.0
        assert same.perplexity == result.results[0].perplexity and same.kl_by_position == (0.0,) * 59


def test_smollm2_layerwise_agrees_with_token_by_token_decoding(smollm2) -> None:
    model = smollm2
    tokens = model.encode("The cache keeps the first tokens and a window of the most recent ones, so that "
                          "long texts fit in a fixed budget of memory.")[:24]
    assert_same_runs(model, tokens, ["full", {"strategy": "static", "static_k": 2, "recent_k": 6},
                                     {"strategy": "merge", "threshold": 0.8, "merge_every": 2}], 10,
                     relative=1e-5)  # 30 layers, against the tiny models' 2


def test_a_text_past_the_context_length_is_refused_with_the_way_round() -> None:
    from types import SimpleNamespace

    from marrowvale.models._decoder import check_window

    config = SimpleNamespace(sliding_window=None, context_length=8)
    check_window(config, 8)
    with pytest.raises(ValueError, match=r"at most 8 tokens \(its context length\), and 9 would be fed to it; "
                                         r"evaluate a longer text in windows"):
        check_window(config, 9)
