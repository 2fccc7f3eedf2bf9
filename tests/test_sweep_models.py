"""The models of a sweep: a GGUF file is keyed by its own digest (and that of
a tokenizer.json beside it, which replaces the file's tokenizer), and the
reference model is reached by name, keyed by its GGUF file."""

import hashlib
import json
from pathlib import Path

import pytest

from model_files import WORDS, tiny_model, write_gguf, write_tokenizer

pytest.importorskip("gguf", reason="the 'eval' extra (gguf) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale.__main__ import main  # noqa: E402
from marrowvale.models import evaluate, load_model, reference_model_path  # noqa: E402
from marrowvale.sweep import Grid, Store, run_sweep  # noqa: E402
from marrowvale.sweep._plan import model_digest  # noqa: E402

STRATEGIES = ["full", "sliding:window_size=25%"]


def sha256(path: Path) -> str:
    return hashlib.sha256(path.read_bytes()).hexdigest()


def stored(path: Path) -> list:
    with Store(path) as store:
        return list(store.rows())


def test_a_gguf_file_is_keyed_by_its_bytes_and_the_tokenizer_beside_it(tmp_path: Path) -> None:
    folder = tmp_path / "model"
    folder.mkdir()
    gguf_file = write_gguf(folder / "tiny.gguf", tiny_model(seed=5))
    write_tokenizer(folder / "tokenizer.json", len(WORDS) + 2)
    (tmp_path / "t.txt").write_text(" ".join(WORDS * 2))
    grid = Grid([gguf_file], [tmp_path / "t.txt"], STRATEGIES, max_tokens=40)
    store = tmp_path / "r.sqlite"
    assert run_sweep(grid, store).computed == 2
    first = stored(store)
    # Both files, by name and digest, in that order.
    both = hashlib.sha256(f"tiny.gguf\0{sha256(gguf_file)}\0tokenizer.json\0"
                          f"{sha256(folder / 'tokenizer.json')}\0".encode()).hexdigest()
    assert {r.model_digest for r in first} == {both}
    tokens = load_model(gguf_file).encode((tmp_path / "t.txt").read_text())[:40]
    expected = evaluate(load_model(gguf_file), tokens, [{"strategy": "sliding", "window_size": 10}])
    sliding = next(r for r in first if r.choice == STRATEGIES[1])
    assert sliding.figures["kl_mean"] == pytest.approx(expected.results[1].kl_mean, rel=1e-6)
    assert sliding.figures["token_hash"] == expected.token_hash == sliding.tokens_digest

    # Another tokenizer beside the file gives other tokens: new results,
    # the old ones kept.
    tokenizer = json.loads((folder / "tokenizer.json").read_text())
    tokenizer["post_processor"] = None
    (folder / "tokenizer.json").write_text(json.dumps(tokenizer))
    again = run_sweep(grid, store)
    assert (again.stored, again.computed) == (0, 2)
    digests = {r.model_digest for r in stored(store)}
    assert len(digests) == 2 and both in digests

    # Without it the key is the file's own digest; this file has no
    # tokenizer of its own, which is refused before any work.
    (folder / "tokenizer.json").unlink()
    assert model_digest(gguf_file) == sha256(gguf_file)
    with pytest.raises(ValueError, match="no tokenizer in its metadata and no tokenizer.json beside it"):
        run_sweep(grid, tmp_path / "other.sqlite")
    assert not (tmp_path / "other.sqlite").exists()


def test_the_reference_model_is_reached_by_name(smollm2, tmp_path: Path,
                                                capsys: pytest.CaptureFixture[str]) -> None:
    store = tmp_path / "r.sqlite"
    command = ["sweep", "--model", "smollm2", "--text", "pydoc", "--limit-texts", "1", "--max-tokens", "48",
               "-s", "full", "-s", STRATEGIES[1], "--store", str(store)]
    assert main(command) == 0
    assert "2 computed now, 0 failed" in capsys.readouterr().out
    rows = stored(store)
    file = reference_model_path("smollm2")
    assert {(r.model, r.model_digest) for r in rows} == {("smollm2", sha256(file))}
    from pydoc_data.topics import topics
    tokens = smollm2.encode(topics[sorted(topics)[0]])[:48]
    expected = evaluate(smollm2, tokens, [{"strategy": "sliding", "window_size": 12}])
    sliding = next(r for r in rows if r.choice == STRATEGIES[1])
    assert sliding.figures["params"] == {"window_size": 12}
    assert sliding.figures["kv_bytes_per_token"] == expected.results[1].kv_bytes_per_token
    # The worker's BLAS runs one thread and this process's its own count:
    # float32 sums in another order, over 30 layers, move the last digits.
    for name in ("kl_mean", "top1_agreement", "perplexity_ratio"):
        assert sliding.figures[name] == pytest.approx(getattr(expected.results[1], name), rel=1e-4), name
