"""What a sweep's grid is made of, before any model runs: strategy choices with
budgets as shares of a text, the text sources, TOML grids, and the interval
arithmetic of the report."""

import math
from pathlib import Path

import pytest

from marrowvale.sweep import Grid, Percent, load_grid, parse_choice, read_texts
from marrowvale.sweep._summary import student_t_quantile


class TestChoices:
    def test_a_share_resolves_per_text_and_keys_stay_canonical(self) -> None:
        choice = parse_choice("static:recent_k=12.5%,static_k=4")
        assert choice.params == (("recent_k", Percent(12.5)), ("static_k", 4))
        assert choice.label == "static(recent_k=12.5%, static_k=4)"
        assert choice.key == "static:recent_k=12.5%,static_k=4"
        # Parameter order and spelling do not change the key.
        assert parse_choice({"strategy": "static", "static_k": 4, "recent_k": "12.5%"}).key == choice.key
        assert parse_choice("static:static_k=4, recent_k=12.50%").key == choice.key
        assert choice.resolve(511) == {"strategy": "static", "recent_k": 64, "static_k": 4}
        assert choice.resolve(100) == {"strategy": "static", "recent_k": 13, "static_k": 4}  # 12.5 rounds up
        assert choice.resolve(3) == {"strategy": "static", "recent_k": 1, "static_k": 4}  # never 0 for a share
        assert parse_choice("sliding:window_size=0%").resolve(100) == {"strategy": "sliding", "window_size": 0}
        # An offset makes a static cache's recent part and its first entries
        # one budget, never below 0.
        sinks = parse_choice("static:static_k=4,recent_k=12.5%-4")
        assert sinks.key == "static:recent_k=12.5%-4,static_k=4"
        assert sinks.resolve(511)["recent_k"] == 60 and sinks.resolve(16)["recent_k"] == 0
        assert parse_choice("merge:threshold=0.9").key != parse_choice("merge:threshold=0.95").key

    def test_a_storage_tier_is_part_of_the_choice_and_its_key(self) -> None:
        choice = parse_choice("sliding:window_size=25%,dtype=int8")
        assert choice.key == "sliding:dtype=int8,window_size=25%"
        assert choice.key != parse_choice("sliding:window_size=25%").key
        assert choice.resolve(100) == {"strategy": "sliding", "dtype": "int8", "window_size": 25}
        with pytest.raises(ValueError, match="int4"):
            parse_choice("sliding:window_size=25%,dtype=int4")

    @pytest.mark.parametrize(("choice", "message"), [
        ("merge:threshold=50%", "threshold cannot be a share of the text"),
        ("sliding:window_size=120%", "0% to 100%"),
        ("sliding:window_size=big", "'big' in 'sliding:window_size=big' is not a number"),
        ("sliding:window_size=10%4", r"'10%4' .* after the % comes nothing, \+N or -N entries"),
        ("sliding:window_size", "is not KEY=VALUE"),
        ("sliding:window=4", "unknown parameter 'window'"),
        ("sliding:window_size=4,window_size=8", "window_size is given twice"),
        ("nearest", "unknown strategy 'nearest'"),
        ({"window_size": 4}, "no strategy name"),
    ])
    def test_bad_choices_are_refused_with_their_reason(self, choice: object, message: str) -> None:
        with pytest.raises(ValueError, match=message):
            parse_choice(choice)  # type: ignore[arg-type]

    def test_a_float_for_a_count_is_a_type_error(self) -> None:
        with pytest.raises(TypeError, match="window_size"):
            parse_choice({"strategy": "sliding", "window_size": 1.5})
        with pytest.raises(TypeError, match="window_size must be a number, not list"):
            parse_choice({"strategy": "sliding", "window_size": [4]})


class TestTexts:
    def test_pydoc_is_every_topic_by_name_and_folders_their_txt_files(self, tmp_path: Path) -> None:
        from pydoc_data.topics import topics

        texts = read_texts(["pydoc"])
        # A topic whose text repeats an earlier one's ("if" is "else") is
        # left out: its results would be the same.
        first = {topics[name]: name for name in sorted(topics, reverse=True)}
        assert [t.name for t in texts] == [f"pydoc:{name}" for name in sorted(first.values())]
        assert len(texts) >= len(topics) - 2
        assert texts[0].content == topics[sorted(topics)[0]] and texts[0].source == "pydoc_data.topics"
        for name, body in (("b.txt", "second"), ("a.txt", "first"), ("c.md", "not a text"), ("d.txt", "first")):
            (tmp_path / name).write_text(body)
        folder = read_texts([tmp_path])
        # d.txt repeats a.txt, so its results would be a.txt's.
        assert [Path(t.name).name for t in folder] == ["a.txt", "b.txt"]
        assert [t.name for t in read_texts(["pydoc", tmp_path], limit=3)] == [t.name for t in texts[:3]]

    @pytest.mark.parametrize(("make", "message"), [
        (lambda p: p / "missing.txt", "no such file or folder"),
        (lambda p: p, "holds no .txt file"),
        (lambda p: (p / "latin1.txt").write_bytes(b"caf\xe9") and p / "latin1.txt", "not UTF-8"),
    ])
    def test_unreadable_sources_are_named(self, tmp_path: Path, make, message: str) -> None:
        with pytest.raises(ValueError, match=message):
            read_texts([make(tmp_path)])


class TestGrid:
    def test_a_toml_grid_reads_paths_beside_it_and_options_replace_its_values(self, tmp_path: Path) -> None:
        (tmp_path / "texts").mkdir()
        (tmp_path / "grid.toml").write_text(
            'models = ["smollm2", "models/tiny"]\ntexts = ["pydoc", "texts"]\nmax_tokens = 256\n'
            'strategies = ["full", {strategy = "sliding", window_size = "25%"}]\n')
        (tmp_path / "models" / "tiny").mkdir(parents=True)
        grid = load_grid(tmp_path / "grid.toml", limit_texts=5, max_tokens=None)
        assert grid.models == ("smollm2", str(tmp_path / "models" / "tiny"))
        assert grid.texts == ("pydoc", str(tmp_path / "texts"))
        assert [s.key for s in grid.choices] == ["full", "sliding:window_size=25%"]
        assert (grid.max_tokens, grid.limit_texts, grid.ctx) == (256, 5, None)
        assert grid.settings == {"max_tokens": 256, "ctx": None}

    @pytest.mark.parametrize(("body", "message"), [
        ('models = ["m"]\ntexts = ["pydoc"]\nstrategy = ["full"]\n', "unknown key 'strategy'"),
        ('models = ["m"]\ntexts = ["pydoc"]\n', "no 'strategies'"),
        ('models = ["m"\n', "not valid TOML"),
        ('models = ["m"]\ntexts = ["pydoc"]\nstrategies = ["full", "full"]\n', "full given twice"),
        ('models = ["m"]\ntexts = ["pydoc"]\nstrategies = ["full"]\nmax_tokens = 1\n', "at least 2"),
        ('models = []\ntexts = ["pydoc"]\nstrategies = ["full"]\n', "models: give at least one"),
    ])
    def test_bad_grid_files_name_the_file_and_the_fault(self, tmp_path: Path, body: str, message: str) -> None:
        path = tmp_path / "grid.toml"
        path.write_text(body)
        with pytest.raises(ValueError, match=message) as caught:
            load_grid(path)
        assert str(path) in str(caught.value)

    def test_a_grid_in_python_checks_its_fields(self) -> None:
        with pytest.raises(ValueError, match="strategies: give a list"):
            Grid(["m"], ["pydoc"], "full")
        with pytest.raises(TypeError, match="min_tokens must be a whole number"):
            Grid(["m"], ["pydoc"], ["full"], min_tokens=2.5)  # type: ignore[arg-type]


def test_the_t_quantile_is_students() -> None:
    # Two-sided 95% points from the tables, and the normal one for many.
    for df, expected in ((1, 12.7062), (2, 4.3027), (3, 3.1824), (10, 2.2281), (30, 2.0423), (101, 1.9837)):
        assert student_t_quantile(0.95, df) == pytest.approx(expected, abs=1e-4)
    assert student_t_quantile(0.95, 10 ** 6) == pytest.approx(1.95996, abs=1e-5)
    assert math.isclose(student_t_quantile(0.99, 4), 4.6041, abs_tol=1e-4)


def test_progress_in_a_log_is_a_line_per_cell_with_the_time_left() -> None:
    import io

    from marrowvale.sweep._progress import CellProgress, format_duration

    log = io.StringIO()
    progress = CellProgress(3, enabled=True, stream=log)
    progress.update("tiny × t0", 1.54, None)
    progress.update("tiny × t1", 0.2, "ValueError: boom")
    progress.update("tiny × t2", 0.3, None)
    first, second, last = log.getvalue().splitlines()
    assert first.startswith("[1/3] tiny × t0: done in 1.5 s; about ") and first.endswith(" s left")
    assert second.startswith("[2/3] tiny × t1: failed: ValueError: boom; about ")
    assert last == "[3/3] tiny × t2: done in 0.3 s" and progress.failed == 1
    assert [format_duration(s) for s in (42.4, 185, 7620)] == ["42 s", "3 min 05 s", "2 h 07 min"]
    silent = io.StringIO()
    CellProgress(3, enabled=False, stream=silent).update("x", 1.0, None)
    assert silent.getvalue() == ""
