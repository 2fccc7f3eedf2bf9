"""evaluate() and capture() against figures computed here from the forward
pass over the whole sequence, and the eval, capture and compare --stream
commands."""

import hashlib
import json
import struct
import sys
import zipfile
from pathlib import Path

import numpy as np
import pytest

from model_files import WORDS, reference_forward, tiny_model, write_gguf, write_model

pytest.importorskip("safetensors", reason="the 'eval' extra (safetensors) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale import compare  # noqa: E402
from marrowvale.__main__ import main  # noqa: E402
from marrowvale._stream_file import load_stream  # noqa: E402
from marrowvale.models import capture, evaluate, load_model  # noqa: E402

TEXT = " ".join(WORDS + WORDS[:11])  # 51 tokens with the first one
WINDOW = 7


@pytest.fixture(scope="module")
def tiny():
    return tiny_model(seed=11)


@pytest.fixture(scope="module")
def folder(tiny, tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_model(tmp_path_factory.mktemp("eval") / "tiny", tiny)


def log_softmax(logits: np.ndarray) -> np.ndarray:
    shifted = logits - logits.max(axis=-1, keepdims=True)
    return shifted - np.log(np.exp(shifted).sum(axis=-1, keepdims=True))


class TestEvaluate:
    def test_figures_match_those_of_the_masked_forward_passes(self, tiny, folder: Path) -> None:
        model = load_model(folder)
        tokens = model.encode(TEXT)
        result = evaluate(model, TEXT, ["full", {"strategy": "sliding", "window_size": WINDOW}])
        assert (result.tokens, result.predictions) == (51, 50)
        assert [r.label for r in result.results] == ["full", "full", f"sliding(window_size={WINDOW})"]

        fed = tokens[:-1]
        t, s = np.indices((50, 50))
        full = reference_forward(tiny, fed)
        window = reference_forward(tiny, fed, (s <= t) & (s > t - WINDOW))
        p, q = log_softmax(full.logits), log_softmax(window.logits)
        kl = (np.exp(p) * (p - q)).sum(axis=1)
        nll = -p[np.arange(50), tokens[1:]], -q[np.arange(50), tokens[1:]]
        sliding = result.results[2]
        assert sliding.kl_mean == pytest.approx(kl.mean(), rel=1e-4)
        ranked, rank = np.sort(kl), 0.95 * 49  # between the 47th and 48th smallest
        assert sliding.kl_p95 == pytest.approx(ranked[46] + (rank - 46) * (ranked[47] - ranked[46]), rel=1e-4)
        assert sliding.top1_agreement == np.mean(p.argmax(1) == q.argmax(1))
        assert result.results[0].perplexity == pytest.approx(np.exp(nll[0].mean()), rel=1e-5)
        assert sliding.perplexity == pytest.approx(np.exp(nll[1].mean()), rel=1e-5)
        assert sliding.perplexity_change == pytest.approx(sliding.perplexity - result.results[0].perplexity)
        # 2 layers × 2 key/value heads, each holding the window.
        assert (sliding.entries_held, sliding.entries_per_head) == (4 * WINDOW, WINDOW)
        assert sliding.compression_ratio == pytest.approx(WINDOW / 50)
        for layer in range(2):
            diff = window.attention[layer] - full.attention[layer]
            expected = np.linalg.norm(diff) / np.linalg.norm(full.attention[layer])
            assert sliding.attention_error[layer] == pytest.approx(expected, rel=1e-4)
        assert sliding.kl_mean > 0.01 and sliding.top1_agreement < 1.0

    def test_a_full_strategy_agrees_with_the_reference_run(self, folder: Path) -> None:
        result = evaluate(folder, TEXT, ["full", {"strategy": "static", "static_k": 25, "recent_k": 25}])
        for same in result.results:
            assert same.kl_mean < 1e-9 and same.kl_p95 < 1e-9 and same.top1_agreement == 1.0
            assert same.perplexity_change == pytest.approx(0.0, abs=1e-6 * same.perplexity)
            assert max(same.attention_error) < 1e-5 and same.compression_ratio == 1.0

    def test_token_ids_cut_to_max_tokens_and_refused_texts(self, folder: Path) -> None:
        result = evaluate(folder, list(range(2, 30)), ["merge"], max_tokens=12)
        assert (result.tokens, result.predictions) == (12, 11)
        with pytest.raises(ValueError, match="the text has 1 tokens; at least 2 are needed"):
            evaluate(folder, "", ["merge"])
        with pytest.raises(ValueError, match="unknown strategy"):
            evaluate(folder, TEXT, ["bogus"])
        with pytest.raises(ValueError, match="token id 41 is outside the vocabulary of 41"):
            evaluate(folder, [1, 2, 41], ["merge"])

    def test_the_model_window_limits_the_text(self, tmp_path: Path) -> None:
        folder = write_model(tmp_path, tiny_model(architecture="MistralForCausalLM", extra={"sliding_window": 9}))
        assert evaluate(folder, list(range(10)), ["full"]).predictions == 9
        with pytest.raises(ValueError, match=r"at most 9 tokens \(sliding_window in config\.json\), and 10"):
            evaluate(folder, list(range(11)), ["full"])


def test_capture_keeps_the_head_as_the_forward_pass_computes_it(tiny, folder: Path) -> None:
    tokens = load_model(folder).encode(TEXT)
    forward = reference_forward(tiny, tokens)
    keys, values, queries = capture(folder, TEXT, layer=1, query_head=3)
    # Query head 3 of 4 reads key/value head 1 of 2.
    for got, expected in [(queries, forward.queries[1][:, 3]), (keys, forward.keys[1][:, 1]),
                          (values, forward.values[1][:, 1])]:
        assert got.shape == (51, 8) and got.dtype == np.float32
        np.testing.assert_allclose(got, expected, rtol=1e-4, atol=1e-5 * np.abs(expected).max())
    with pytest.raises(ValueError, match=r"query head 4 is not in 0\.\.3"):
        capture(folder, TEXT, layer=0, query_head=4)


def run(argv: list[str], capsys: pytest.CaptureFixture[str]) -> tuple[int, str, str]:
    try:
        status = main(argv)
    except SystemExit as exit:
        status = exit.code
    out, err = capsys.readouterr()
    return status, out, err


def assert_usage_error(argv: list[str], capsys: pytest.CaptureFixture[str], message: str) -> None:
    status, out, err = run(argv, capsys)
    lines = err.strip().splitlines()
    assert status == 2 and out == "", err
    assert lines[0].startswith("usage: python -m marrowvale") and "Traceback" not in err
    assert lines[-1].startswith(f"python -m marrowvale {argv[0]}: error: ") and message in lines[-1], err


class TestCommands:
    def test_eval_prints_the_table_and_writes_every_figure(self, folder: Path, tmp_path: Path,
                                                           capsys: pytest.CaptureFixture[str]) -> None:
        (tmp_path / "text.txt").write_text(TEXT)
        out_json = tmp_path / "out.json"
        status, out, err = run(["eval", "--model", str(folder), "--text", str(tmp_path / "text.txt"),
                                "-s", "sliding:window_size=7", "-s", "merge", "--json", str(out_json)], capsys)
        assert status == 0 and err == ""
        lines = out.splitlines()
        assert "2 layers, 4 query and 2 key/value heads of 8" in lines[0]
        assert lines[1] == f"text {tmp_path / 'text.txt'}: 51 tokens, 50 predictions"
        assert lines[2].split()[:4] == ["#", "strategy", "KL", "mean"]
        assert [line.split()[1] for line in lines[4:7]] == ["full", "sliding(window_size=7)", "merge"]
        assert lines[-1] == f"json written to {out_json}"
        expected = evaluate(folder, TEXT, [{"strategy": "sliding", "window_size": 7}, "merge"])
        document = json.loads(out_json.read_text())
        assert (document["tokens"], document["predictions"]) == (51, 50)
        ids = load_model(folder).encode(TEXT)
        assert document["text_source"] == str(tmp_path / "text.txt") and document["model"] == str(folder)
        assert document["token_hash_sha256"] == hashlib.sha256(struct.pack(f"<{len(ids)}i", *ids)).hexdigest()
        assert "kernel_set" in document and document["seconds"] > 0
        for record, result in zip(document["results"], expected.results, strict=True):
            assert record["label"] == result.label and record["kl_mean_nats"] == result.kl_mean
            assert record["kl_p95_nats"] == result.kl_p95 and record["top1_agreement"] == result.top1_agreement
            assert record["perplexity_change"] == result.perplexity_change
            assert record["entries_held"] == result.entries_held
            assert record["compression_ratio"] == result.compression_ratio
            assert record["attention_rel_l2_error_by_layer"] == list(result.attention_error)
            assert record["kl_by_position_nats"] == list(result.kl_by_position)
            assert len(record["kl_by_position_nats"]) == 50
            for key, field in [("kl_mean_se_nats", "kl_se"), ("kl_p99_9_nats", "kl_p999"),
                               ("ln_perplexity_ratio_se", "ln_ppl_ratio_se"),
                               ("kv_bytes_held_per_token", "kv_bytes_per_token")]:
                assert record[key] == getattr(result, field), key

    def test_eval_draws_kl_against_compression(self, folder: Path, tmp_path: Path,
                                               capsys: pytest.CaptureFixture[str]) -> None:
        pytest.importorskip("matplotlib", reason="matplotlib (the 'plot' extra) is not installed")
        target, positions = tmp_path / "kl.png", tmp_path / "positions.png"
        status, out, _ = run(["eval", "--model", str(folder), "--prompt", TEXT, "--plot", str(target),
                              "--plot-positions", str(positions)], capsys)
        assert status == 0 and out.splitlines()[-2:] == [f"plot written to {target}",
                                                         f"plot-positions written to {positions}"]
        for path in (target, positions):
            data = path.read_bytes()
            assert data.startswith(b"\x89PNG") and struct.unpack(">II", data[16:24])[0] > 400

    def test_eval_reads_the_default_text_in_windows(self, folder: Path, tmp_path: Path,
                                                    capsys: pytest.CaptureFixture[str]) -> None:
        out_json = tmp_path / "out.json"
        status, out, _ = run(["eval", "--model", str(folder), "--max-tokens", "35", "--ctx", "10",
                              "-s", "sliding:window_size=30%", "--json", str(out_json)], capsys)
        assert status == 0 and out.splitlines()[1] == "text pydoc_data.topics: 30 tokens in 3 windows of 10, " \
                                                      "27 predictions"
        document = json.loads(out_json.read_text())
        assert (document["text_source"], document["windows"], document["window_tokens"]) == \
            ("pydoc_data.topics", 3, 10)
        sliding = document["results"][1]
        assert sliding["label"] == "sliding(window_size=3)" and sliding["choice"]["window_size"] == "30%"
        assert len(sliding["kl_by_position_nats"]) == 9

    def test_capture_writes_a_stream_that_compare_replays(self, folder: Path, tmp_path: Path,
                                                          capsys: pytest.CaptureFixture[str]) -> None:
        target = tmp_path / "head.npz"
        status, out, _ = run(["capture", "--model", str(folder), "--prompt", TEXT, "--layer", "0",
                              "--query-head", "1", str(target)], capsys)
        assert status == 0 and "wrote 51 queries, keys and values of width 8" in out
        with np.load(target) as saved:
            assert sorted(saved.files) == ["keys", "queries", "values"]
            np.testing.assert_array_equal(saved["keys"], capture(folder, TEXT, 0, 1).keys)
        status, out, _ = run(["compare", "--stream", str(target), "-s", "sliding:window_size=8",
                              "--json", str(tmp_path / "c.json")], capsys)
        assert status == 0 and out.startswith(f"stream {target}: 51 tokens, d_k 8, d_v 8\n")
        expected = compare(*load_stream(target), strategies=[{"strategy": "sliding", "window_size": 8}])
        document = json.loads((tmp_path / "c.json").read_text())
        assert document["stream"] == {"file": str(target), "tokens": 51, "d_k": 8, "d_v": 8}
        records = document["results"]
        assert [(r["label"], r["entries_held"], r["attention_rel_l2_error"]) for r in records] == \
            [(e.label, e.entries, e.rel_l2) for e in expected]

    def test_bad_arguments_and_folders_are_usage_errors(self, folder: Path, tmp_path: Path,
                                                        capsys: pytest.CaptureFixture[str]) -> None:
        model = ["--model", str(folder)]
        for argv, message in [
            (["eval", "--model", str(tmp_path / "none"), "--prompt", "x"], "--model: "),
            (["eval", "--model", str(tmp_path), "--prompt", "x"], "no config.json"),
            (["eval", *model, "--prompt", "x", "-s", "merge:threshold=high"], "is not a number"),
            (["eval", *model, "--prompt", TEXT, "-s", "bogus"], "unknown strategy 'bogus'"),
            (["eval", *model, "--prompt", TEXT, "--max-tokens", "1"], "--max-tokens: must be at least 2"),
            (["eval", *model, "--text", str(tmp_path / "none.txt")], "--text"),
            (["eval", *model, "--prompt", "x", "--text", "y"], "not allowed with argument"),
            (["eval", *model, "--prompt", "", ], "at least 2 are needed"),
            (["eval", *model, "--prompt", TEXT, "--json", str(tmp_path / "no" / "x.json")], "--json"),
            (["capture", *model, "--prompt", TEXT, "--layer", "2", "--query-head", "0", "x.npz"],
             "layer 2 is not in 0..1"),
            (["capture", *model, "--prompt", TEXT, "--layer", "0", "x.npz"], "--query-head"),
            (["eval", *model, "--prompt", TEXT, "--ctx", "60"], "the text has 51 tokens, fewer than one window"),
            (["eval", *model, "--prompt", TEXT, "--ctx", "1"], "--ctx: must be at least 2"),
            (["eval", *model, "--prompt", TEXT, "-s", "sliding:window_size=101%"], "from 0% to 100%"),
            (["eval", *model, "--prompt", TEXT, "-s", "merge:threshold=50%"], "threshold cannot be a share"),
        ]:
            assert_usage_error(argv, capsys, message)

    @pytest.mark.parametrize("missing", ["gguf", "tokenizers", "matplotlib"])
    def test_a_missing_extra_is_a_usage_error_with_the_install_line(
            self, missing: str, folder: Path, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
            capsys: pytest.CaptureFixture[str]) -> None:
        if missing == "gguf":
            # Checkpoint folders are read without it; GGUF files need it.
            folder = write_gguf(folder / "model.gguf", tiny_model())
        # A None entry makes the import fail as if the package were absent.
        for name in (missing, f"{missing}.numpy", f"{missing}.figure"):
            monkeypatch.setitem(sys.modules, name, None)
        extra = "plot" if missing == "matplotlib" else "eval"
        assert_usage_error(["eval", "--model", str(folder), "--prompt", TEXT, "--plot", str(tmp_path / "p.png")],
                           capsys, f"pip install 'marrowvale[{extra}]'")


def write_npz(path: Path, **arrays: np.ndarray) -> Path:
    np.savez(path, **arrays)
    return path


@pytest.mark.parametrize(("arrays", "message"), [
    ({"queries": np.ones((3, 2)), "keys": np.ones((3, 2))}, "no array 'values' (it has keys, queries)"),
    ({"queries": np.ones((3, 2)), "keys": np.ones((3, 2)), "values": np.ones(3)}, "array 'values': must be"),
    ({"queries": np.ones((3, 4)), "keys": np.ones((3, 2)), "values": np.ones((3, 2))}, "equally wide"),
    ({"queries": np.ones((3, 2)), "keys": np.ones((2, 2)), "values": np.ones((3, 2))}, "differ in length"),
    ({"queries": np.full((3, 2), np.nan), "keys": np.ones((3, 2)), "values": np.ones((3, 2))}, "not finite"),
    ({"queries": np.array([["a", "b"]]), "keys": np.ones((1, 2)), "values": np.ones((1, 2))}, "real numbers"),
    # As --d-k 0 is refused for the built-in stream.
    ({"queries": np.ones((3, 0)), "keys": np.ones((3, 0)), "values": np.ones((3, 2))}, "d_k must be at least 1"),
])
def test_compare_refuses_bad_streams(arrays: dict, message: str, tmp_path: Path,
                                     capsys: pytest.CaptureFixture[str]) -> None:
    path = write_npz(tmp_path / "s.npz", **arrays)
    assert_usage_error(["compare", "--stream", str(path)], capsys, message)


def test_a_stream_declaring_more_than_it_holds_is_refused_before_reading(tmp_path: Path) -> None:
    path = write_npz(tmp_path / "s.npz", queries=np.ones((2, 2)), keys=np.ones((2, 2)), values=np.ones((2, 2)))
    with zipfile.ZipFile(path) as archive:
        members = {name: archive.read(name) for name in archive.namelist()}
    # The header claims 10**12 rows; the member holds 32 bytes of data.
    members["keys.npy"] = members["keys.npy"].replace(b"(2, 2)", b"(1000000000000, 2)")
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in members.items():
            archive.writestr(name, data)
    with pytest.raises(ValueError, match=r"array 'keys': declares \(1000000000000, 2\)"):
        load_stream(path)
    path.write_bytes(path.read_bytes()[:100])
    with pytest.raises(ValueError, match="not a NumPy .npz file"):
        load_stream(path)
