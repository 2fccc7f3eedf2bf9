"""Sweeps on the tests' tiny model: the stored figures are evaluate()'s,
reruns compute only what is missing, bad input is refused before any work,
and killed workers, drivers and writes lose no more than the cells in
flight."""

import json
import math
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time
from contextlib import closing
from pathlib import Path

import pytest

from model_files import WORDS, tiny_model, write_model

pytest.importorskip("safetensors", reason="the 'eval' extra (safetensors) is not installed")
pytest.importorskip("tokenizers", reason="the 'eval' extra (tokenizers) is not installed")

from marrowvale.__main__ import main  # noqa: E402
from marrowvale.models import evaluate, load_model  # noqa: E402
from marrowvale.sweep import Grid, Store, run_sweep  # noqa: E402
from marrowvale.sweep._cell import CellTask, blas_threads, run_cell  # noqa: E402
from marrowvale.sweep._local import THREAD_VARIABLES, threads_per_worker  # noqa: E402

STRATEGIES = ["full", "sliding:window_size=12.5%", "static:recent_k=8,static_k=2"]  # keys: sorted


def words(count: int, seed: int) -> str:
    rng = random.Random(seed)
    return " ".join(rng.choice(WORDS) for _ in range(count))


@pytest.fixture(scope="module")
def model(tmp_path_factory: pytest.TempPathFactory) -> Path:
    return write_model(tmp_path_factory.mktemp("sweep") / "tiny", tiny_model(seed=5))


@pytest.fixture(scope="module")
def texts(tmp_path_factory: pytest.TempPathFactory) -> Path:
    folder = tmp_path_factory.mktemp("texts")
    for i in range(3):
        (folder / f"t{i}.txt").write_text(words(40 + 20 * i, seed=i))
    return folder


def stored(path: Path) -> dict[tuple[str, str], dict]:
    with Store(path) as store:
        return {(Path(r.text).name, r.choice): {"figures": r.figures, "status": r.status, "run": r.run,
                                              "error": r.error} for r in store.rows()}


def by_key(path: Path) -> dict[str, tuple]:
    with Store(path) as store:
        return {r.key: (r.settings, r.choice, r.figures, r.run) for r in store.rows()}


# Figures a stored result must carry as evaluate() gives them.
FIGURES = ("kl_mean", "kl_se", "kl_median", "kl_p95", "kl_p999", "kl_max", "top1_agreement", "perplexity",
           "perplexity_ratio", "ln_ppl_ratio", "compression_ratio", "entries_held", "kv_bytes_held",
           "kv_bytes_per_token")


def half_up(share: float, tokens: int) -> int:
    return math.floor(share * tokens + 0.5)


class TestFigures:
    def test_each_result_is_what_evaluate_gives_on_its_text(self, model: Path, texts: Path, tmp_path: Path) -> None:
        summary = run_sweep(Grid([model], [texts], STRATEGIES, max_tokens=70), tmp_path / "r.sqlite", jobs=2)
        assert (summary.cells, summary.results, summary.computed, summary.failed) == (3, 9, 9, 0)
        rows = stored(tmp_path / "r.sqlite")
        loaded = load_model(model)
        for i in range(3):
            tokens = loaded.encode((texts / f"t{i}.txt").read_text())[:70]
            # 12.5% of the text's tokens, rounded half up, as eval resolves it.
            window = half_up(0.125, len(tokens))
            expected = evaluate(loaded, tokens, [{"strategy": "sliding", "window_size": window},
                                                 {"strategy": "static", "static_k": 2, "recent_k": 8}])
            full = rows[f"t{i}.txt", "full"]["figures"]
            assert full["kl_mean"] == 0.0 and full["perplexity_ratio"] == 1.0 and full["tokens"] == len(tokens)
            for choice, result in zip(STRATEGIES[1:], expected.results[1:]):
                figures = rows[f"t{i}.txt", choice]["figures"]
                assert figures["params"] == dict(result.params)
                for name in FIGURES:
                    assert figures[name] == pytest.approx(getattr(result, name), rel=1e-6), name
                assert figures["kl_by_position"] == pytest.approx(list(result.kl_by_position), rel=1e-6, abs=1e-12)
                assert figures["perplexity_ratio"] == pytest.approx(
                    result.perplexity / expected.results[0].perplexity, rel=1e-6)
                # float32 keys and values of head size 8, per token fed.
                assert figures["kv_bytes_per_token"] == pytest.approx(
                    result.entries_held * 2 * 8 * 4 / expected.predictions)
                assert (figures["token_hash"], figures["windows"]) == (expected.token_hash, 1)
            assert rows[f"t{i}.txt", STRATEGIES[1]]["figures"]["params"]["window_size"] == window

    def test_windows_of_ctx_are_evaluate_s_and_hold_their_share_of_a_window(self, model: Path, tmp_path: Path) -> None:
        (tmp_path / "long.txt").write_text(words(90, seed=3))
        choices = ["full", "sliding:window_size=12.5%", "static:recent_k=25%-2,static_k=2"]  # keys: sorted
        summary = run_sweep(Grid([model], [tmp_path / "long.txt"], choices, max_tokens=70, ctx=32),
                            tmp_path / "r.sqlite")
        assert (summary.computed, summary.failed) == (3, 0)
        rows = stored(tmp_path / "r.sqlite")
        loaded = load_model(model)
        tokens = loaded.encode((tmp_path / "long.txt").read_text())[:70]
        expected = evaluate(loaded, tokens, [{"strategy": "sliding", "window_size": "12.5%"},
                                             {"strategy": "static", "static_k": 2, "recent_k": "25%-2"}],
                            ctx=32, max_tokens=None)
        assert expected.windows == 2
        for choice, result in zip(choices[1:], expected.results[1:]):
            figures = rows["long.txt", choice]["figures"]
            assert (figures["windows"], figures["window_tokens"], figures["predictions"]) == (2, 32, 62)
            for name in FIGURES:
                assert figures[name] == pytest.approx(getattr(result, name), rel=1e-6), name
        # A share is of one window: 4 entries of 32, in each of 2 layers × 2
        # key/value heads, at the end of each window; 16 float32 numbers an
        # entry, over the 31 tokens a window feeds.
        sliding = rows["long.txt", choices[1]]["figures"]
        assert sliding["params"] == {"window_size": 4}
        assert sliding["kv_bytes_per_token"] == pytest.approx(2 * 2 * 4 * 16 * 4 / 31)
        assert rows["long.txt", choices[2]]["figures"]["params"] == {"static_k": 2, "recent_k": 6}

    def test_a_text_shorter_than_one_window_is_refused_before_any_work(self, model: Path, texts: Path,
                                                                       tmp_path: Path) -> None:
        with pytest.raises(ValueError, match=r"texts too short: .*t0.txt \(41 tokens\); each needs at least 50 "
                                             r"tokens \(one window of ctx\)"):
            run_sweep(Grid([model], [texts], STRATEGIES, ctx=50), tmp_path / "r.sqlite")
        assert not (tmp_path / "r.sqlite").exists()


def test_each_worker_loads_each_model_it_is_given_once(model: Path, texts: Path, tmp_path: Path) -> None:
    other = write_model(tmp_path / "other", tiny_model(seed=6))
    run_sweep(Grid([model, other], [texts], STRATEGIES[:2], max_tokens=40), tmp_path / "r.sqlite", jobs=2)
    with Store(tmp_path / "r.sqlite") as store:
        cells = {(r.model, r.text): (r.worker, r.load_seconds) for r in store.rows()}
    assert len(cells) == 6
    for worker in {w for w, _ in cells.values()}:
        models = {m for (m, _), (w, _) in cells.items() if w == worker}
        loads = [m for (m, _), (w, seconds) in cells.items() if w == worker and seconds > 0]
        assert sorted(loads) == sorted(models)


class TestResume:
    def test_reruns_compute_only_what_is_missing_and_never_overwrite(self, model: Path, texts: Path,
                                                                      tmp_path: Path) -> None:
        store = tmp_path / "r.sqlite"
        grid = Grid([model], [texts], STRATEGIES[:2], max_tokens=60)
        first = run_sweep(grid, store)
        before = by_key(store)
        again = run_sweep(grid, store)
        assert (again.stored, again.computed) == (6, 0) and by_key(store) == before
        # A new strategy computes only its own results.
        more = run_sweep(Grid([model], [texts], STRATEGIES, max_tokens=60), store)
        assert (more.stored, more.computed) == (6, 3)
        # A changed setting is a new key: the old results stay as they were.
        longer = run_sweep(Grid([model], [texts], STRATEGIES[:2], max_tokens=50), store)
        assert (longer.stored, longer.computed) == (0, 6)
        after = by_key(store)
        assert len(after) == 15 and all(after[k] == v for k, v in before.items())
        with Store(store) as db:
            runs = db.runs()
            assert len(list(db.rows())) == 15
        assert [r["done"] for r in runs] == [6, 0, 3, 6] and first.run == 1
        assert all(r["finished"] is not None for r in runs)


class TestRefusals:
    @pytest.mark.parametrize(("change", "message"), [
        (lambda m, t, p: ([p / "nowhere"], [t], {}), "model .*nowhere: .*not a folder"),
        (lambda m, t, p: ([m], [p / "none.txt"], {}), "none.txt: no such file or folder"),
        (lambda m, t, p: ([m], [t], {"min_tokens": 50}), r"texts too short: .*t0.txt \(41 tokens\)"),
        (lambda m, t, p: ([m], [t], {"max_tokens": 8}), r"texts too short: .*8 tokens"),
    ])
    def test_bad_grids_are_refused_before_a_store_is_made(self, model: Path, texts: Path, tmp_path: Path,
                                                         change, message: str) -> None:
        models, sources, options = change(model, texts, tmp_path)
        with pytest.raises(ValueError, match=message):
            run_sweep(Grid(models, sources, STRATEGIES, **options), tmp_path / "r.sqlite")
        assert not (tmp_path / "r.sqlite").exists()

    @pytest.mark.parametrize(("spoil", "message"), [
        (lambda db: db.execute("PRAGMA user_version = 7"), "schema version 7"),
        (lambda db: db.execute("PRAGMA application_id = 1"), "not a marrowvale sweep store"),
    ])
    def test_a_store_of_another_kind_is_refused_untouched(self, model: Path, texts: Path, tmp_path: Path,
                                                         spoil, message: str) -> None:
        path = tmp_path / "r.sqlite"
        Store(path, create=True).close()
        with closing(sqlite3.connect(path, isolation_level=None)) as db:
            spoil(db)
        before = path.read_bytes()
        with pytest.raises(ValueError, match=message):
            run_sweep(Grid([model], [texts], STRATEGIES), path)
        assert path.read_bytes() == before
        (tmp_path / "junk.sqlite").write_text("not a database, only text " * 100)
        with pytest.raises(ValueError, match="not a sweep store"):
            run_sweep(Grid([model], [texts], STRATEGIES), tmp_path / "junk.sqlite")

    def test_the_command_line_reports_them_as_usage_errors(self, model: Path, texts: Path, tmp_path: Path,
                                                         capsys: pytest.CaptureFixture[str]) -> None:
        base = ["sweep", "--model", str(model), "--text", str(texts), "--store", str(tmp_path / "r.sqlite")]
        for extra, message in ((["--min-tokens", "500"], "texts too short"),
                               (["-s", "sliding:window_size=200%"], "0% to 100%"),
                               (["--address", "127.0.0.1:1"], "only the ray backend")):
            with pytest.raises(SystemExit) as exited:
                main(base + extra)
            assert exited.value.code == 2
            err = capsys.readouterr().err
            assert message in err and "Traceback" not in err
        with pytest.raises(SystemExit):
            main(["sweep", "--text", str(texts)])
        assert "give --model" in capsys.readouterr().err


def test_a_cell_that_fails_returns_its_error_instead_of_raising(tmp_path: Path) -> None:
    task = CellTask(0, str(tmp_path / "gone"), (1, 2, 3), (("full", {"strategy": "full"}),), None, 1)
    result = run_cell(task)
    assert result.records is None and result.error.startswith("ValueError: ") and "gone" in result.error
    assert "Traceback" in result.details


def _children(pid: int) -> list[int]:
    path = Path(f"/proc/{pid}/task/{pid}/children")
    return [int(p) for p in path.read_text().split()] if path.exists() else []


def _workers(pid: int) -> list[int]:
    return [c for c in _children(pid) if b"spawn_main" in Path(f"/proc/{c}/cmdline").read_bytes()
            and b"resource_tracker" not in Path(f"/proc/{c}/cmdline").read_bytes()]


def _wait_for(check, seconds: float = 60.0):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = check()
        if found:
            return found
        time.sleep(0.02)
    raise AssertionError("timed out")


def _count(path: Path, status: str) -> int:
    if not path.exists():
        return 0
    try:
        with closing(sqlite3.connect(f"file:{path}?mode=ro", uri=True)) as db:
            return db.execute("SELECT count(*) FROM results WHERE status = ?", (status,)).fetchone()[0]
    except sqlite3.OperationalError:  # the schema is not there yet
        return 0


@pytest.mark.skipif(not Path("/proc/self/task").exists(), reason="finds the workers through /proc")
def test_killing_a_worker_and_then_the_driver_loses_only_the_cells_in_flight(model: Path, tmp_path: Path) -> None:
    folder = tmp_path / "long"
    folder.mkdir()
    for i in range(6):
        (folder / f"t{i}.txt").write_text(words(500, seed=10 + i))
    store = tmp_path / "r.sqlite"
    command = [sys.executable, "-m", "marrowvale", "sweep", "--model", str(model), "--text", str(folder),
               "-s", "sliding:window_size=10%", "-s", "merge", "--max-tokens", "500", "--jobs", "2",
               "--store", str(store)]
    driver = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        _wait_for(lambda: _count(store, "done") >= 2)
        victim = _wait_for(lambda: _workers(driver.pid))[0]
        # Two workers share the cores, each with its BLAS threads set so.
        environment = Path(f"/proc/{victim}/environ").read_bytes().split(b"\0")
        for variable in THREAD_VARIABLES:
            assert f"{variable}={blas_threads(threads_per_worker(2))}".encode() in environment
        os.kill(victim, signal.SIGKILL)
        _wait_for(lambda: _count(store, "failed") >= 1)
        survivors = _workers(driver.pid)
        driver.kill()
        driver.wait()
        # The driver's workers stop by themselves once it is gone.
        _wait_for(lambda: not any(Path(f"/proc/{w}").exists() for w in survivors), 10.0)
    finally:
        driver.kill()
        driver.wait()
    rows = stored(store)
    failed = [r for r in rows.values() if r["status"] == "failed"]
    assert failed and all("killed by signal 9" in r["error"] for r in failed)
    done_before = sum(r["status"] == "done" for r in rows.values())
    assert done_before < 12
    resumed = subprocess.run(command, capture_output=True, text=True, timeout=300)
    assert resumed.returncode == 0, resumed.stderr
    with Store(store) as db:
        runs = db.runs()
        final = list(db.rows())
    assert len(final) == 12 and all(r.status == "done" for r in final)
    # Each result was computed to the end once: the runs' counts add up to
    # the results, and the second run planned exactly what the first lacked.
    assert runs[0]["finished"] is None and runs[1]["finished"] is not None
    assert runs[0]["done"] == done_before and runs[1]["planned"] == 12 - done_before
    assert sum(r["done"] for r in runs) == 12
    retried = {(Path(r.text).name, r.choice): (r.run, r.attempts) for r in final}
    for where, row in rows.items():
        assert retried[where] == ((2, 2) if row["status"] == "failed" else (1, 1))


_WRITER = """
import sys
from marrowvale.sweep import Store
store = Store(sys.argv[1], create=True)
run = store.begin_run(backend="local", jobs=1, version="test", cells=0, planned=0)
n = 0
while True:
    n += 1
    rows = [{"key": f"{run}-{n}-{s}", "model": "m", "model_digest": "d", "text": f"text {n}", "text_source": "s",
             "text_digest": "t", "tokens_digest": "k", "settings": {}, "choice": str(s), "label": str(s),
             "version": "test", "status": "done", "error": None, "details": None, "seconds": 0.0, "load_seconds": 0.0,
             "worker": "w",
             "figures": {"cell": n, "choice": s, "padding": "x" * 30000}} for s in range(4)]
    store.put_cell(run, rows)
"""


def test_the_store_survives_a_kill_of_its_writer_mid_write(tmp_path: Path) -> None:
    store = tmp_path / "r.sqlite"
    rng = random.Random(1)
    for _ in range(4):
        writer = subprocess.Popen([sys.executable, "-c", _WRITER, str(store)])
        _wait_for(lambda: _count(store, "done") > 0)
        time.sleep(rng.uniform(0.05, 0.3))
        writer.kill()
        writer.wait()
        with closing(sqlite3.connect(store)) as db:
            assert db.execute("PRAGMA integrity_check").fetchone() == ("ok",)
        with Store(store) as db:
            rows = list(db.rows())
            runs = db.runs()
        # Every cell is whole (all four of its rows, each readable), and
        # the runs counted exactly what is stored.
        cells: dict[str, int] = {}
        for row in rows:
            assert row.figures["padding"] == "x" * 30000 and row.figures["cell"] == int(row.key.split("-")[1])
            cells[row.key.rsplit("-", 1)[0]] = cells.get(row.key.rsplit("-", 1)[0], 0) + 1
        assert set(cells.values()) == {4}
        assert sum(r["done"] for r in runs) == len(rows)
        assert sum(r["computed_cells"] for r in runs) == len(cells)
