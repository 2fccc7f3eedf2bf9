"""What the plots show: every point labelled with its parameters, points on
the same spot kept apart, a log-scale compression axis when the ratios span
more than a decade, and KL by position on a log scale, one line per
strategy."""

from types import SimpleNamespace

import pytest

pytest.importorskip("matplotlib", reason="matplotlib (the 'plot' extra) is not installed")

from marrowvale import _plot, compare, synthetic_stream  # noqa: E402


@pytest.fixture
def drawn(monkeypatch: pytest.MonkeyPatch) -> list:
    """The figures the plot functions would save."""
    figures: list = []
    monkeypatch.setattr(_plot, "save_figure", lambda figure, path: figures.append(figure))
    return figures


def result(strategy: str, ratio: float, kl: float, by_position=(), **params) -> SimpleNamespace:
    return SimpleNamespace(strategy=strategy, params=params, compression_ratio=ratio, kl_mean=kl,
                           label=f"{strategy}{params or ''}", kl_by_position=tuple(by_position))


def test_points_are_labelled_and_overlapping_ones_stay_apart(drawn: list) -> None:
    evaluation = SimpleNamespace(results=[
        result("full", 1.0, 0.0), result("sliding", 0.25, 0.5, window_size=64),
        result("static", 0.25, 0.5, static_k=16, recent_k=48), result("merge", 0.7, 0.2, threshold=0.9)])
    _plot.plot_evaluation(evaluation, "unused.png", title="a title")
    axes = drawn[0].axes[0]
    labels = {text.get_text(): text for text in axes.texts}
    assert set(labels) == {"window_size=64", "static_k=16, recent_k=48", "threshold=0.9"}
    # The two points at (0.25, 0.5): different markers, labels a line apart.
    markers = [line.get_marker() for line in axes.lines]
    assert len(set(markers)) == 4
    assert labels["window_size=64"].xyann != labels["static_k=16, recent_k=48"].xyann
    assert axes.get_xscale() == "linear" and axes.get_title() == "a title"


def test_ratios_spanning_more_than_a_decade_get_a_log_axis(drawn: list) -> None:
    results = compare(*synthetic_stream(200, 8, 4, seed=1), strategies=[
        {"strategy": "sliding", "window_size": 4}, {"strategy": "sliding", "window_size": 100}])
    _plot.plot_comparison(results, "unused.png")
    axes = drawn[0].axes[0]
    assert axes.get_xscale() == "log" and "log scale" in axes.get_xlabel()
    assert {text.get_text() for text in axes.texts} == {"window_size=4", "window_size=100"}


def test_kl_by_position_is_one_line_per_strategy_on_a_log_scale(drawn: list) -> None:
    positions = 1000
    evaluation = SimpleNamespace(results=[
        result("full", 1.0, 0.0, [0.0] * positions),
        result("sliding", 0.1, 0.3, [0.0] * 100 + [0.5] * 900, window_size=100),
        result("static", 0.1, 0.1, [0.0] * 100 + [0.1] * 900, static_k=4, recent_k=96)])
    _plot.plot_positions(evaluation, "unused.png", title="t")
    axes = drawn[0].axes[0]
    assert axes.get_yscale() == "log"
    assert [line.get_label() for line in axes.lines] == [r.label for r in evaluation.results[1:]]
    assert "mean over 10 positions" in axes.get_xlabel() and "KL" in axes.get_ylabel()
    # The positions where a window has not yet dropped anything have KL 0, no point.
    x, y = axes.lines[0].get_data()
    assert len(x) == 90 and min(y) == pytest.approx(0.5)
    assert [text.get_text() for text in axes.get_legend().get_texts()] == [r.label for r in evaluation.results[1:]]
