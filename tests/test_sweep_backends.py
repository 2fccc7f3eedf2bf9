"""The Ray backend: the same grid stores the same figures as the local one,
and without Ray the message says how to install it."""

import json
import os
import sys
from pathlib import Path

import pytest

from model_files import WORDS, tiny_model, write_model

pytest.importorskip("safetensors", reason="the 'eval' extra (safetensors) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale.__main__ import main  # noqa: E402
from marrowvale.sweep import Grid, Store, run_sweep  # noqa: E402

STRATEGIES = ["full", "sliding:window_size=25%", "merge:threshold=0.5"]


@pytest.fixture(scope="module")
def grid(tmp_path_factory: pytest.TempPathFactory) -> Grid:
    root = tmp_path_factory.mktemp("backends")
    model = write_model(root / "tiny", tiny_model(seed=8))
    for i in range(3):
        (root / f"t{i}.txt").write_text(" ".join(WORDS[i:] + WORDS[:i]))
    return Grid([model], [root / f"t{i}.txt" for i in range(3)], STRATEGIES, max_tokens=40)


def figures(path: Path) -> dict[str, dict]:
    with Store(path) as store:
        rows = list(store.rows())
    assert rows and all(r.status == "done" for r in rows)
    return {r.key: r.figures for r in rows}


# Ray starts its own servers and worker interpreters, which inherit the
# sanitizer runtimes preloaded here; so slowed, a worker can miss Ray's
# registration deadline again and again, and the run never ends. Our code in
# those workers is the local pool's, which the sanitized run does cover.
@pytest.mark.skipif(bool(os.environ.get("MARROWVALE_SANITIZED")),
                    reason="Ray's workers under preloaded sanitizer runtimes can miss its start-up deadline without end")
def test_ray_stores_the_figures_the_local_pool_stores(grid: Grid, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                      capsys: pytest.CaptureFixture[str]) -> None:
    ray = pytest.importorskip("ray", reason="the 'ray' extra is not installed")
    # Ray gives a starting worker 60 s to register and then starts another
    # in its place, for ever; a loaded machine gets more time.
    monkeypatch.setenv("RAY_worker_register_timeout_seconds", "600")
    local = run_sweep(grid, tmp_path / "local.sqlite", jobs=2)
    assert local.computed == 9
    # The command line, on a local Ray instance of two CPUs that it starts
    # and shuts down itself.
    command = ["sweep", "--backend", "ray", "--store", str(tmp_path / "ray.sqlite"), "--max-tokens", "40"]
    command += [a for m in grid.models for a in ("--model", m)] + [a for t in grid.texts for a in ("--text", t)]
    command += [a for s in STRATEGIES for a in ("-s", s)] + ["--json", str(tmp_path / "run.json")]
    assert main(command) == 0
    assert "9 computed now, 0 failed" in capsys.readouterr().out
    run = json.loads((tmp_path / "run.json").read_text())
    assert (run["cells"], run["results"], run["stored"], run["computed"], run["failed"]) == (3, 9, 0, 9, 0)
    assert not ray.is_initialized()
    assert figures(tmp_path / "ray.sqlite") == figures(tmp_path / "local.sqlite")
    with Store(tmp_path / "ray.sqlite") as store:
        assert {r["backend"] for r in store.runs()} == {"ray"}


def test_without_ray_the_message_says_how_to_install_it(grid: Grid, tmp_path: Path,
                                                       monkeypatch: pytest.MonkeyPatch,
                                                       capsys: pytest.CaptureFixture[str]) -> None:
    monkeypatch.setitem(sys.modules, "ray", None)
    with pytest.raises(ImportError, match=r"pip install 'marrowvale\[ray\]'"):
        run_sweep(grid, tmp_path / "r.sqlite", backend="ray")
    with pytest.raises(SystemExit) as exited:
        main(["sweep", "--backend", "ray", "--model", grid.models[0], "--text", grid.texts[0],
              "--store", str(tmp_path / "r.sqlite")])
    assert exited.value.code == 2 and "pip install 'marrowvale[ray]'" in capsys.readouterr().err
    assert not (tmp_path / "r.sqlite").exists()


def test_a_ray_that_does_not_start_is_refused_before_a_store_is_made(grid: Grid, tmp_path: Path,
                                                                     monkeypatch: pytest.MonkeyPatch) -> None:
    ray = pytest.importorskip("ray", reason="the 'ray' extra is not installed")

    def unreachable(**options: object) -> None:
        raise ConnectionError("no cluster there")

    monkeypatch.setattr(ray, "is_initialized", lambda: False)
    monkeypatch.setattr(ray, "init", unreachable)
    with pytest.raises(ValueError, match="Ray did not start at 127.0.0.1:6379: no cluster there"):
        run_sweep(grid, tmp_path / "r.sqlite", backend="ray", address="127.0.0.1:6379")
    assert not (tmp_path / "r.sqlite").exists()
