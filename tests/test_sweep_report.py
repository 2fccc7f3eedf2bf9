"""sweep report: a store's results pooled over texts per model and strategy,
with Student-t intervals, as a table, JSON, CSV and one plot per model."""

import csv
import json
import math
import re
import sqlite3
import statistics
from contextlib import closing
from pathlib import Path

import pytest

from marrowvale.__main__ import main
from marrowvale.sweep import Store, format_summary, summarize

# KL means, top-1 agreements and perplexity ratios of three texts.
KL = (0.10, 0.20, 0.60)
TOP1 = (0.9, 0.8, 0.7)
RATIO = (1.1, 1.2, 1.5)
T_95_2 = 4.302652729911275  # Student's t, two degrees of freedom


def row(model: str, text: int, choice: str, figures: dict | None, settings: dict | None = None) -> dict:
    return {"key": f"{model}/{text}/{choice}/{settings}", "model": model, "model_digest": f"digest of {model}",
            "text": f"t{text}", "text_source": "test", "text_digest": str(text), "tokens_digest": str(text),
            "settings": settings or {"max_tokens": 512, "ctx": None}, "choice": choice, "label": f"{choice}!",
            "version": "1", "status": "done" if figures else "failed", "error": None if figures else "boom",
            "details": None, "figures": figures, "seconds": 1.0, "load_seconds": 0.0, "worker": "here"}


def window(text: int, held: float) -> dict:
    return {"kl_mean": KL[text], "top1_agreement": TOP1[text], "perplexity_ratio": RATIO[text],
            "kv_bytes_per_token": held, "compression_ratio": held / 1000}


@pytest.fixture()
def store(tmp_path: Path) -> Path:
    path = tmp_path / "r.sqlite"
    with Store(path, create=True) as db:
        run = db.begin_run(backend="local", jobs=1, version="1", cells=0, planned=0)
        full = {"kl_mean": 0.0, "top1_agreement": 1.0, "perplexity_ratio": 1.0, "kv_bytes_per_token": 1000.0,
                "compression_ratio": 1.0}
        for text in range(3):
            db.put_cell(run, [row("a", text, "full", full), row("a", text, "sliding", window(text, 100 + text)),
                              row("b", text, "sliding", window(text, 50))])
        db.put_cell(run, [row("b", 3, "sliding", None)])
        db.put_cell(run, [row("a", 0, "sliding", window(0, 80), {"max_tokens": 256, "ctx": None})])
    return path


def test_figures_are_pooled_over_texts_per_model_settings_and_strategy(store: Path) -> None:
    full, sliding, other, shorter = summarize(store)
    assert (full.model, full.choice, full.texts, full.kl_mean, full.kl_interval) == ("a", "full", 3, 0.0, 0.0)
    assert (sliding.model, sliding.label, sliding.texts, sliding.failed) == ("a", "sliding!", 3, 0)
    assert sliding.kl_mean == pytest.approx(0.3)
    assert sliding.kl_interval == pytest.approx(T_95_2 * statistics.stdev(KL) / math.sqrt(3))
    assert sliding.top1_agreement == pytest.approx(0.8)
    assert sliding.top1_interval == pytest.approx(T_95_2 * 0.1 / math.sqrt(3))
    # The geometric mean of the ratios, and the interval of the mean log.
    logs = [math.log(r) for r in RATIO]
    half = T_95_2 * statistics.stdev(logs) / math.sqrt(3)
    assert sliding.perplexity_ratio == pytest.approx((1.1 * 1.2 * 1.5) ** (1 / 3))
    assert (sliding.perplexity_ratio_low, sliding.perplexity_ratio_high) == pytest.approx(
        (math.exp(statistics.fmean(logs) - half), math.exp(statistics.fmean(logs) + half)))
    assert sliding.bytes_per_token == pytest.approx(101.0)
    assert (other.model, other.texts, other.failed, other.bytes_per_token) == ("b", 3, 1, 50.0)
    # Another setting is another group, of one text: no interval.
    assert shorter.settings["max_tokens"] == 256 and shorter.texts == 1 and math.isnan(shorter.kl_interval)
    table = format_summary([full, sliding, other, shorter]).splitlines()
    assert table[0].split()[:4] == ["model", "strategy", "texts", "failed"] and "settings" in table[0]
    assert "3.00e-01 ± 6.57e-01" in table[3] and "256 tokens" in table[5]


def test_the_table_in_markdown_has_the_same_cells_between_pipes(store: Path,
                                                               capsys: pytest.CaptureFixture[str]) -> None:
    summaries = summarize(store)
    plain = [re.split(r"\s{2,}", line.strip()) for line in format_summary(summaries).splitlines()]
    assert main(["sweep", "report", "--store", str(store), "--markdown"]) == 0
    lines = capsys.readouterr().out.splitlines()
    header, rule, *rows = lines
    cells = [[c.strip() for c in line.strip("|").split(" | ")] for line in [header, *rows]]
    assert cells[0][:5] == ["model", "strategy", "texts", "failed", "KL mean ± 95%"] and cells[0][-1] == "settings"
    # Text columns to the left, numbers to the right.
    assert rule == "|---|---|" + "---:|" * (len(cells[0]) - 2)
    assert len(rows) == 4 and all(len(c) == len(cells[0]) for c in cells)
    assert cells[2][:5] == ["a", "sliding!", "3", "0", "3.00e-01 ± 6.57e-01"]
    # The same cells as the aligned table's.
    assert cells == [plain[0], *plain[2:]]


def test_the_command_writes_json_csv_and_a_plot_per_model(store: Path, tmp_path: Path,
                                                          capsys: pytest.CaptureFixture[str]) -> None:
    pytest.importorskip("matplotlib", reason="the 'plot' extra is not installed")
    out = tmp_path / "out"
    assert main(["sweep", "report", "--store", str(store), "--json", f"{out}.json", "--csv", f"{out}.csv",
                 "--plot", f"{out}.png"]) == 0
    printed = capsys.readouterr().out
    assert "sliding!" in printed and f"plots: {out}-a.png, {out}-b.png" in printed
    records = json.loads(Path(f"{out}.json").read_text())["results"]
    with open(f"{out}.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert [r["choice"] for r in records] == [r["choice"] for r in rows] == ["full", "sliding", "sliding", "sliding"]
    assert float(rows[1]["kl_mean"]) == pytest.approx(records[1]["kl_mean"]) == pytest.approx(0.3)
    assert records[3]["kl_interval"] is None  # NaN in JSON is null
    for model in ("a", "b"):
        assert Path(f"{out}-{model}.png").read_bytes()[:4] == b"\x89PNG"


@pytest.mark.parametrize(("make", "message"), [
    (lambda p: None, "no such file"),
    (lambda p: p.write_text("text"), "not a sweep store"),
    # A store of the first schema, whose figures had other names.
    (lambda p: Store(p, create=True).close() or _set_version(p, 1), "schema version 1"),
])
def test_a_missing_or_foreign_store_is_a_usage_error(tmp_path: Path, make, message: str,
                                                     capsys: pytest.CaptureFixture[str]) -> None:
    path = tmp_path / "r.sqlite"
    make(path)
    with pytest.raises(SystemExit) as exited:
        main(["sweep", "report", "--store", str(path)])
    err = capsys.readouterr().err
    assert exited.value.code == 2 and message in err and "Traceback" not in err


def _set_version(path: Path, version: int) -> None:
    with closing(sqlite3.connect(path, isolation_level=None)) as db:
        db.execute(f"PRAGMA user_version = {version}")
