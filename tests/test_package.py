"""The Python package marrowvale: compare(), the synthetic stream, the table,
the command line and the optional plot."""

from __future__ import annotations

import dataclasses
import math
import struct
import subprocess
import sys
from array import array
from pathlib import Path

import numpy as np
import pytest

import marrowvale
from marrowvale import CompareResult, PyKVCache, compare, format_table, synthetic_stream
import marrowvale.__main__
from marrowvale.__main__ import main


def f32(x: float) -> float:
    return struct.unpack("f", struct.pack("f", x))[0]


def without_timing(results: list[CompareResult]) -> list[CompareResult]:
    return [dataclasses.replace(r, us_per_token=0.0) for r in results]


# A two-token stream small enough to work out by hand. Both keys are equal, so
# the full cache weighs both entries 0.5 at step 1: outputs (2, 0) and (3, 2).
# A sliding window of 1 holds only the newest entry: outputs (2, 0) and
# (4, 4). The difference is (1, 2) at step 1 only.
TINY_KEYS = [[1.0], [1.0]]
TINY_VALUES = [[2.0, 0.0], [4.0, 4.0]]
TINY_QUERIES = [[1.0], [1.0]]


@pytest.fixture(scope="module")
def stream() -> marrowvale.Stream:
    return synthetic_stream(96, 16, 8, seed=3)


class TestCompareAgainstFullCache:
    def test_the_first_row_is_the_full_cache_with_no_error(self, stream: marrowvale.Stream) -> None:
        results = compare(*stream, strategies=["sliding"])
        full = results[0]
        assert (full.label, full.strategy, full.entries) == ("full", "full", 96)
        assert (full.compression_ratio, full.rel_l2, full.max_abs) == (1.0, 0.0, 0.0)
        assert [r.label for r in results] == ["full", "sliding"]

    def test_a_window_as_long_as_the_stream_equals_the_full_cache(self, stream: marrowvale.Stream) -> None:
        results = compare(*stream, strategies=[
            {"strategy": "sliding", "window_size": 96},
            {"strategy": "sliding", "window_size": 1000},
            {"strategy": "static", "static_k": 50, "recent_k": 46},
            "full",
        ])
        for r in results:
            assert (r.entries, r.compression_ratio, r.rel_l2, r.max_abs) == (96, 1.0, 0.0, 0.0), r.label

    def test_errors_follow_their_definitions_on_a_stream_worked_by_hand(self) -> None:
        full, window = compare(TINY_KEYS, TINY_VALUES, TINY_QUERIES,
                               strategies=[{"strategy": "sliding", "window_size": 1}])
        assert window.label == "sliding(window_size=1)"
        assert window.entries == 1
        assert window.compression_ratio == 0.5
        # |(1, 2)| over |(2, 0, 3, 2)|: every output of the stream counts.
        assert window.rel_l2 == pytest.approx(math.sqrt(5.0 / 17.0), rel=1e-15)
        assert window.max_abs == 2.0

    def test_zero_reference_with_a_difference_is_an_infinite_relative_error(self) -> None:
        # The second key scores 200 below the first, so its weight underflows
        # to 0 in the full cache, whose outputs stay 0; the window holds only
        # that second entry and outputs its value.
        _, window = compare([[100.0], [-100.0]], [[0.0], [3.0]], TINY_QUERIES,
                            strategies=[{"strategy": "sliding", "window_size": 1}])
        assert window.max_abs == 3.0
        assert window.rel_l2 == math.inf

    def test_a_nan_output_shows_in_both_errors(self) -> None:
        _, window = compare(TINY_KEYS, [[2.0, 0.0], [math.nan, 4.0]], TINY_QUERIES,
                            strategies=[{"strategy": "sliding", "window_size": 1}])
        assert math.isnan(window.max_abs)
        assert math.isnan(window.rel_l2)

    def test_merge_compresses_a_stream_of_repeated_keys(self) -> None:
        # Nine equal keys, passes after the 5th and the 9th append (every 4):
        # 5 entries -> 3, then 7 -> 4.
        keys = [[1.0] * 64] * 9
        values = [[float(k), float(k)] for k in range(1, 10)]
        results = compare(keys, values, keys, strategies=["merge", {"strategy": "merge", "threshold": 1.5}])
        merged, untouched = results[1], results[2]
        assert merged.entries == 4
        assert merged.compression_ratio == f32(4 / 9)
        assert merged.rel_l2 > 0.0
        assert (untouched.entries, untouched.rel_l2) == (9, 0.0)

    def test_compression_ratio_is_held_over_appended_for_every_row(self, stream: marrowvale.Stream) -> None:
        for r in compare(*stream):
            assert r.compression_ratio == f32(f32(r.entries) / f32(96)), r.label
            assert r.rel_l2 >= 0.0 and r.max_abs >= 0.0 and r.us_per_token > 0.0

    def test_results_are_deterministic_except_for_the_timing(self, stream: marrowvale.Stream) -> None:
        first = compare(*stream)
        second = compare(*synthetic_stream(96, 16, 8, seed=3))
        assert without_timing(first) == without_timing(second)
        assert len(first) == 1 + len(marrowvale.DEFAULT_STRATEGIES)

    def test_numpy_rows_give_the_same_results_as_lists(self, stream: marrowvale.Stream) -> None:
        np = pytest.importorskip("numpy")
        arrays = [np.array(rows, dtype=np.float32) for rows in stream]
        tuples = [[tuple(row) for row in rows] for rows in stream]
        expected = without_timing(compare(*stream))
        assert without_timing(compare(*arrays)) == expected
        assert without_timing(compare(*tuples)) == expected


class TestCompareRefusals:
    def test_an_empty_stream(self) -> None:
        with pytest.raises(ValueError, match="empty"):
            compare([], [], [])

    def test_streams_of_unequal_lengths(self) -> None:
        with pytest.raises(ValueError, match="1 keys, 2 values and 2 queries"):
            compare(TINY_KEYS[:1], TINY_VALUES, TINY_QUERIES)

    @pytest.mark.parametrize(("which", "message"), [(0, r"keys\[1\] has 2"), (1, r"values\[1\] has 1"),
                                                    (2, r"queries\[1\] has 2")])
    def test_a_row_of_the_wrong_length_is_a_value_error_not_a_panic(self, which: int, message: str) -> None:
        rows = [list(TINY_KEYS), list(TINY_VALUES), list(TINY_QUERIES)]
        rows[which][1] = [1.0, 2.0] if which != 1 else [1.0]
        with pytest.raises(ValueError, match=message):
            compare(*rows)

    @pytest.mark.parametrize(("choice", "error", "message"), [
        ("Sliding", ValueError, "unknown strategy 'Sliding'"),
        ({"window_size": 4}, ValueError, "no strategy name"),
        ({"strategy": "sliding", "window": 4}, ValueError, "unknown parameter 'window'"),
        ({"strategy": "sliding", "d_k": 4}, ValueError, "d_k and d_v come from the stream"),
        ({"strategy": "sliding", "window_size": "4"}, TypeError, "must be a number"),
        ({"strategy": "sliding", "window_size": True}, TypeError, "must be a number"),
        ({"strategy": "sliding", "window_size": 1.5}, TypeError, "argument 'window_size'"),
        ({"strategy": "static", "recent_k": -1}, OverflowError, None),
        (7, TypeError, "name or a mapping"),
    ])
    def test_bad_strategy_choices(self, choice: object, error: type[Exception], message: str | None) -> None:
        with pytest.raises(error, match=message):
            compare(TINY_KEYS, TINY_VALUES, TINY_QUERIES, strategies=["sliding", choice])  # type: ignore[list-item]


class TestSyntheticStream:
    def test_same_arguments_same_stream_and_seeds_differ(self) -> None:
        assert synthetic_stream(40, 8, 4, seed=5) == synthetic_stream(40, 8, 4, seed=5)
        assert synthetic_stream(40, 8, 4, seed=5).keys != synthetic_stream(40, 8, 4, seed=6).keys

    def test_shapes_and_float32_values(self) -> None:
        keys, values, queries = synthetic_stream(40, 8, 4, seed=1)
        assert (len(keys), len(values), len(queries)) == (40, 40, 40)
        assert {len(k) for k in keys} == {len(q) for q in queries} == {8}
        assert {len(v) for v in values} == {4}
        for row in keys + values + queries:
            assert array("f", row).tolist() == row
            assert all(math.isfinite(x) for x in row)

    def test_it_holds_structure_for_merging(self) -> None:
        keys, values, queries = synthetic_stream(256, 32, 8, seed=0)

        def cosine(a: list[float], b: list[float]) -> float:
            dot = sum(x * y for x, y in zip(a, b))
            return dot / math.sqrt(sum(x * x for x in a) * sum(y * y for y in b))

        neighbours = [cosine(a, b) for a, b in zip(keys, keys[1:])]
        # Runs of related tokens: many neighbours nearly parallel, but not all.
        assert 0.3 < sum(c > 0.9 for c in neighbours) / len(neighbours) < 0.95
        # Repeated tokens: some keys occur more than once, not next to each other only.
        first_seen: dict[tuple[float, ...], int] = {}
        distant_repeats = 0
        for t, k in enumerate(keys):
            j = first_seen.setdefault(tuple(k), t)
            distant_repeats += t - j > 8
        assert distant_repeats > 0
        # The cache merges a real part of it away.
        merged = compare(keys, values, queries, strategies=["merge"])[1]
        assert merged.compression_ratio < 0.5

    @pytest.mark.parametrize(("args", "message"), [
        ((-1,), "must not be negative"),
        ((8, -1, 4), "must not be negative"),
        ((8, 4, -1), "must not be negative"),
        ((8, 0, 4), r"d_k must be at least 1"),
    ])
    def test_sizes_it_cannot_build_are_refused(self, args: tuple[int, ...], message: str) -> None:
        with pytest.raises(ValueError, match=message):
            synthetic_stream(*args)

    def test_empty_values_and_an_empty_stream_are_built(self) -> None:
        assert synthetic_stream(0, 4, 4) == ([], [], [])
        keys, values, _ = synthetic_stream(6, 1, 0)
        assert values == [[]] * 6 and {len(k) for k in keys} == {1}


def sink_shares(n: int, d: int, seed: int) -> np.ndarray:
    """For every query from token 16 on, the share of its attention (the
    softmax of its scaled scores over every key so far, in float64) that
    falls on the first four tokens."""
    keys, _, queries = (np.array(rows, dtype=np.float64) for rows in synthetic_stream(n, d, d, seed=seed))
    shares = []
    for t in range(16, n):
        scores = keys[: t + 1] @ queries[t] / math.sqrt(d)
        weights = np.exp(scores - scores.max())
        shares.append(weights[:4].sum() / weights.sum())
    return np.array(shares)


class TestAttentionSinks:
    @pytest.mark.parametrize(("n", "d", "seed"), [(512, 64, 0), (512, 64, 7), (256, 16, 1), (384, 128, 2)])
    def test_the_first_four_tokens_draw_a_large_share_of_attention(self, n: int, d: int, seed: int) -> None:
        shares = sink_shares(n, d, seed)
        assert np.median(shares) >= 0.3
        # Most queries, not a few, lean on them.
        assert np.mean(shares >= 0.2) >= 0.75

    def test_only_the_first_four_are_sinks(self) -> None:
        keys, _, queries = (np.array(rows, dtype=np.float64) for rows in synthetic_stream(512, 64, 64, seed=0))
        unit = keys / np.linalg.norm(keys, axis=1, keepdims=True)
        # The sinks' keys share a direction, which no later key shares.
        sink = unit[:4].mean(axis=0)
        along = unit @ (sink / np.linalg.norm(sink))
        assert along[:4].min() > 0.9
        assert np.abs(along[4:]).max() < 0.3
        # Every query leans toward it.
        assert (queries @ sink > 0).all()

    def test_static_keeps_the_sinks_and_beats_sliding_of_the_same_size(self) -> None:
        # The demo's comparison: the default strategies on its stream.
        results = compare(*synthetic_stream(512, 64, 64, seed=0))
        sliding = {r.entries: r.rel_l2 for r in results if r.strategy == "sliding"}
        static = {r.entries: r.rel_l2 for r in results if r.strategy == "static"}
        assert sorted(sliding) == sorted(static) == [64, 128, 256]
        for entries in sliding:
            assert static[entries] <= 0.5 * sliding[entries], entries


def test_package_reexports_the_native_class() -> None:
    import _marrowvale

    assert marrowvale.PyKVCache is _marrowvale.PyKVCache is PyKVCache
    assert set(marrowvale.__all__) <= set(dir(marrowvale))


def test_table_has_a_header_a_rule_and_one_line_per_result() -> None:
    results = compare(TINY_KEYS, TINY_VALUES, TINY_QUERIES, strategies=[{"strategy": "sliding", "window_size": 1}])
    lines = format_table(results).splitlines()
    assert len(lines) == 4
    assert lines[0].split()[:3] == ["strategy", "entries", "ratio"]
    assert set(lines[1]) == {"-", " "}
    assert lines[2].split()[:5] == ["full", "2", "1.000", "0", "0"]
    assert lines[3].split()[:5] == ["sliding(window_size=1)", "1", "0.500", f"{math.sqrt(5 / 17):.2e}", "2.00e+00"]
    # Columns line up under the header.
    assert len({len(line) for line in lines}) == 1


def assert_usage_error(err: str, message: str, command: str | None) -> None:
    """argparse's usage error: the command's usage line (and its
    continuations), then one line "PROG: error: MESSAGE..."."""
    lines = err.splitlines()
    prog = "python -m marrowvale" + (f" {command}" if command else "")
    assert lines[0].startswith(f"usage: {prog} ")
    assert all(line.startswith(" ") for line in lines[1:-1])
    assert lines[-1].startswith(f"{prog}: error: {message}")
    assert "Traceback" not in err


class TestCommandLine:
    def test_compare_prints_the_table(self, capsys: pytest.CaptureFixture[str]) -> None:
        assert main(["compare", "--tokens", "48", "--d-k", "8", "--d-v", "4",
                     "-s", "sliding:window_size=16", "-s", "merge:threshold=0.8,merge_every=2"]) == 0
        out = capsys.readouterr().out.splitlines()
        assert out[0] == "synthetic stream: 48 tokens, d_k 8, d_v 4, seed 0"
        assert len(out) == 6
        assert out[3].startswith("full ")
        assert out[4].startswith("sliding(window_size=16) ")
        assert out[5].startswith("merge(threshold=0.8, merge_every=2) ")
        assert out[4].split()[1:3] == ["16", f"{16 / 48:.3f}"]

    def test_default_selection(self, capsys: pytest.CaptureFixture[str]) -> None:
        assert main(["compare", "--tokens", "32", "--d-k", "8", "--d-v", "4"]) == 0
        out = capsys.readouterr().out.splitlines()
        assert len(out) == 3 + 1 + len(marrowvale.DEFAULT_STRATEGIES)

    @pytest.mark.parametrize(("argv", "message", "command"), [
        (["compare", "-s", "merge:threshold"],
         "argument -s/--strategy: 'threshold' in 'merge:threshold' is not KEY=VALUE", "compare"),
        (["compare", "-s", "merge:threshold=high"],
         "argument -s/--strategy: 'high' in 'merge:threshold=high' is not a number", "compare"),
        (["compare", "-s", "nope"],
         "argument -s/--strategy: 'nope': unknown strategy 'nope'. choose: full, sliding, static, merge, hybrid",
         "compare"),
        (["compare", "-s", "sliding:window=3"], "argument -s/--strategy: 'sliding:window=3': strategy choice",
         "compare"),
        (["compare", "-s", "static:recent_k=-1"], "argument -s/--strategy: 'static:recent_k=-1': ", "compare"),
        (["compare", "-s", "sliding:window_size=1.5"],
         "argument -s/--strategy: 'sliding:window_size=1.5': argument 'window_size': ", "compare"),
        (["compare", "--tokens", "x"], "argument --tokens: 'x' is not a whole number", "compare"),
        (["compare", "--tokens", "0"], "argument --tokens: must be at least 1, not 0", "compare"),
        (["compare", "--d-k", "0"], "argument --d-k: must be at least 1, not 0", "compare"),
        (["compare", "--d-k", "-3"], "argument --d-k: must be at least 1, not -3", "compare"),
        (["compare", "--d-v", "-1"], "argument --d-v: must be at least 0, not -1", "compare"),
        (["compare", "--tokens", "10000000000000"], "argument --tokens: must be at most 100000, not 10000000000000",
         "compare"),
        (["compare", "--d-k", "100000000000"], "argument --d-k: must be at most 4096, not 100000000000", "compare"),
        (["compare", "--d-v", "4097"], "argument --d-v: must be at most 4096, not 4097", "compare"),
        (["compare", "--tokens", "100000", "--d-k", "4096"], "argument --tokens: 100000 tokens of d_k 4096 and "
         "d_v 64 make 825600000 numbers, more than the 33554432 a stream may hold", "compare"),
        (["compare", "--seed", "1.5"], "argument --seed: invalid int value: '1.5'", "compare"),
        (["compare", "--plot", ""], "argument --plot: the path is empty", "compare"),
        (["compare", "--plot", "out.nope"], "argument --plot: matplotlib cannot write 'nope' files", "compare"),
        (["compare", "--plot", "missing/out.png"], "argument --plot: cannot write missing/out.png: the folder ",
         "compare"),
        (["compare", "--plot", "."], "argument --plot: cannot write .: it is a folder", "compare"),
        (["compare", "--size", "3"], "unrecognized arguments: --size 3", None),
        ([], "the following arguments are required: COMMAND", None),
    ])
    def test_every_bad_argument_is_a_usage_error(self, argv: list[str], message: str, command: str | None,
                                                  tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
                                                  capsys: pytest.CaptureFixture[str]) -> None:
        if "--plot" in argv:
            pytest.importorskip("matplotlib", reason="matplotlib (the 'plot' extra) is not installed")
        monkeypatch.chdir(tmp_path)
        # Refused before the stream is built (a stream too large would grow without end).
        monkeypatch.setattr(marrowvale.__main__, "synthetic_stream",
                            lambda *a, **k: pytest.fail("the stream was built"))
        with pytest.raises(SystemExit) as exit_info:
            main(argv)
        assert exit_info.value.code == 2
        captured = capsys.readouterr()
        assert captured.out == ""
        assert_usage_error(captured.err, message, command)
        # Refused before anything was drawn or written.
        assert not any(tmp_path.iterdir())

    # Root may write anywhere, so the refusal is staged through os.access.
    @pytest.mark.parametrize("option", ["--json", "--plot"])
    def test_an_output_that_may_not_be_written_is_refused_before_the_run(
            self, option: str, tmp_path: Path, monkeypatch: pytest.MonkeyPatch,
            capsys: pytest.CaptureFixture[str]) -> None:
        if option == "--plot":
            pytest.importorskip("matplotlib", reason="matplotlib (the 'plot' extra) is not installed")
        target = f"{tmp_path}/out.{option.removeprefix('--').replace('plot', 'png')}"
        monkeypatch.setattr(marrowvale._cli_args.os, "access", lambda path, mode: False)
        monkeypatch.setattr(marrowvale.__main__, "compare", lambda *a, **k: pytest.fail("the replay ran"))
        with pytest.raises(SystemExit) as exit_info:
            main(["compare", "--tokens", "8", option, target])
        assert exit_info.value.code == 2
        assert_usage_error(capsys.readouterr().err, f"argument {option}: cannot write {target}: permission denied",
                           "compare")
        assert not any(tmp_path.iterdir())

    def test_a_bad_argument_from_python_dash_m_is_one_error_line(self, tmp_path: Path) -> None:
        done = subprocess.run([sys.executable, "-m", "marrowvale", "compare", "--d-k", "0"],
                              capture_output=True, text=True, cwd=str(tmp_path), timeout=120)
        assert done.returncode == 2
        assert done.stdout == ""
        assert_usage_error(done.stderr, "argument --d-k: must be at least 1, not 0", "compare")

    def test_runs_as_python_dash_m(self, tmp_path: Path) -> None:
        done = subprocess.run([sys.executable, "-m", "marrowvale", "compare", "--tokens", "16",
                               "--d-k", "4", "--d-v", "2", "-s", "static:static_k=2,recent_k=4"],
                              capture_output=True, text=True, cwd=str(tmp_path), timeout=120)
        assert done.returncode == 0, done.stderr
        assert "static(static_k=2, recent_k=4)" in done.stdout


class TestPlot:
    def test_without_matplotlib_the_command_fails_before_the_replay(
            self, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str], tmp_path: Path) -> None:
        # A None entry makes the import fail as if the package were absent.
        monkeypatch.setitem(sys.modules, "matplotlib", None)
        monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
        target = f"{tmp_path}/out.png"
        with pytest.raises(SystemExit) as exit_info:
            main(["compare", "--tokens", "8", "--plot", target])
        assert exit_info.value.code == 2
        captured = capsys.readouterr()
        assert_usage_error(captured.err, "argument --plot: plotting needs matplotlib", "compare")
        assert "pip install 'marrowvale[plot]'" in captured.err
        assert captured.out == ""
        with pytest.raises(ImportError, match=r"marrowvale\[plot\]"):
            marrowvale.plot_comparison([], target)
        assert not any(tmp_path.iterdir())

    # A path without an extension gets PNG at exactly that path, not at
    # "out.png" beside it.
    @pytest.mark.parametrize("name", ["out.png", "out"])
    def test_with_matplotlib_a_png_is_written(self, capsys: pytest.CaptureFixture[str], tmp_path: Path,
                                              name: str) -> None:
        pytest.importorskip("matplotlib", reason="matplotlib (the 'plot' extra) is not installed")
        target = f"{tmp_path}/{name}"
        assert main(["compare", "--tokens", "24", "--d-k", "8", "--d-v", "4", "--plot", target]) == 0
        assert capsys.readouterr().out.splitlines()[-1] == f"plot written to {target}"
        with open(target, "rb") as png:
            data = png.read()
        assert data.startswith(b"\x89PNG\r\n\x1a\n")
        # Width and height from the IHDR chunk: a real figure, not an empty file.
        width, height = struct.unpack(">II", data[16:24])
        assert width > 400 and height > 300
        assert [p.name for p in tmp_path.iterdir()] == [name]

    def test_a_plot_path_that_fails_while_drawing_is_a_usage_error(
            self, monkeypatch: pytest.MonkeyPatch, capsys: pytest.CaptureFixture[str], tmp_path: Path) -> None:
        pytest.importorskip("matplotlib", reason="matplotlib (the 'plot' extra) is not installed")
        target = f"{tmp_path}/out.png"

        # What the checks before the replay cannot see: the folder is taken
        # away meanwhile, say.
        def fail(*args: object, **kwargs: object) -> None:
            raise PermissionError(13, "Permission denied", target)

        monkeypatch.setattr(marrowvale.__main__, "plot_comparison", fail)
        with pytest.raises(SystemExit) as exit_info:
            main(["compare", "--tokens", "8", "--d-k", "4", "--d-v", "2", "--plot", target])
        assert exit_info.value.code == 2
        captured = capsys.readouterr()
        assert_usage_error(captured.err, f"argument --plot: cannot write {target}: Permission denied", "compare")


def test_version_prints_the_package_version_and_build(capsys: pytest.CaptureFixture[str]) -> None:
    with pytest.raises(SystemExit) as exit:
        main(["--version"])
    out = capsys.readouterr().out
    info = marrowvale.build_info()
    assert exit.value.code == 0 and len(out.splitlines()) == 1
    assert out.startswith(f"marrowvale {marrowvale.__version__}: kernel set {info['kernel_set']}; ")
    assert info["compiler"] in out and "NumPy" in out
