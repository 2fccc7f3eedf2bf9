"""Strategy choices: shares of the text, their resolution into entries, the
command-line form, the built-in budgets, and compare resolving shares
against its stream."""

import numpy as np
import pytest

from marrowvale import LayerCache, budget_strategies, compare, synthetic_stream
from marrowvale._strategy_choice import (Share, check_strategy, parse_share, parse_choice_text, parse_strategy,
                                       resolve_shares, share_of, choice_text)


@pytest.mark.parametrize(("text", "share"), [("12.5%", 0.125), ("0%", 0.0), ("100%", 1.0), ("3", None), (3, None)])
def test_shares_are_percentages_from_0_to_100(text: object, share: float | None) -> None:
    assert share_of(text) == share


@pytest.mark.parametrize(("text", "message"), [("101%", "from 0% to 100%"), ("-1%", "from 0% to 100%"),
                                               ("a%", "is not a percentage")])
def test_bad_shares_are_refused(text: str, message: str) -> None:
    with pytest.raises(ValueError, match=message):
        share_of(text)


def test_shares_resolve_half_up_against_the_length_and_leave_the_rest() -> None:
    choice = {"strategy": "static", "static_k": 16, "recent_k": "12.5%"}
    # 12.5% of 1,000 is 125; of 1,004 it is 125.5, which rounds up.
    assert resolve_shares(choice, 1000) == {"strategy": "static", "static_k": 16, "recent_k": 125}
    assert resolve_shares(choice, 1004)["recent_k"] == 126
    assert resolve_shares({"strategy": "sliding", "window_size": "25%"}, 8)["window_size"] == 2
    plain = {"strategy": "merge", "threshold": 0.5}
    assert resolve_shares(plain, 100) is plain and resolve_shares("full", 100) == "full"
    with pytest.raises(ValueError, match="merge_every cannot be a share"):
        resolve_shares({"strategy": "merge", "merge_every": "10%"}, 100)
    with pytest.raises(ValueError, match=r"a share of the text \(25%\); it needs the text's length"):
        parse_strategy({"strategy": "sliding", "window_size": "25%"})


def test_a_share_may_carry_an_offset_of_entries() -> None:
    # A static cache's 16 first entries and its recent ones hold 12.5%
    # together: 128 of 1,024 tokens.
    choice = {"strategy": "static", "static_k": 16, "recent_k": "12.5%-16"}
    assert resolve_shares(choice, 1024) == {"strategy": "static", "static_k": 16, "recent_k": 112}
    assert resolve_shares({"strategy": "sliding", "window_size": "10%+3"}, 100)["window_size"] == 13
    # Never fewer than no entries.
    assert resolve_shares(choice, 64)["recent_k"] == 0
    assert parse_share("12.5%-16") == Share(12.5, -16) and str(Share(12.5, -16)) == "12.5%-16"
    assert share_of("12.5%-16") == 0.125 and parse_share("x") is None and parse_share(16) is None
    assert parse_choice_text("static:static_k=16,recent_k=12.5%-16")["recent_k"] == "12.5%-16"
    check_strategy(choice)
    for bad in ("10%4", "10%-x", "10%-1.5", "10%%"):
        with pytest.raises(ValueError, match=f"'{bad}' is not a share of the text: after the % comes nothing, "
                                             r"\+N or -N entries"):
            parse_share(bad)
    with pytest.raises(ValueError, match="from 0% to 100%"):
        parse_share("120%-30")


def test_a_share_above_0_holds_at_least_one_entry() -> None:
    # 1% of 40 tokens is 0.4 entries, which would round to none at all.
    assert resolve_shares({"strategy": "sliding", "window_size": "1%"}, 40)["window_size"] == 1
    assert resolve_shares({"strategy": "sliding", "window_size": "0%"}, 40)["window_size"] == 0
    assert resolve_shares({"strategy": "static", "static_k": 4, "recent_k": "1%-4"}, 40)["recent_k"] == 0


def test_the_canonical_text_sorts_the_parameters_and_reads_back() -> None:
    for choice in (parse_choice_text("static:static_k=4, recent_k=12.50%"),
                 {"strategy": "static", "recent_k": "12.5%", "static_k": 4}):
        assert choice_text(choice) == "static:recent_k=12.5%,static_k=4"
    assert choice_text("merge") == "merge"
    assert choice_text({"strategy": "merge", "threshold": 0.85, "merge_every": 1}) == "merge:merge_every=1,threshold=0.85"
    assert parse_choice_text("merge:merge_every=1,threshold=0.85") == {"strategy": "merge", "merge_every": 1,
                                                                    "threshold": 0.85}
    with pytest.raises(ValueError, match="threshold cannot be a share"):
        choice_text({"strategy": "merge", "threshold": "50%"})


def test_the_command_line_form() -> None:
    assert parse_choice_text("sliding:window_size=12.5%") == {"strategy": "sliding", "window_size": "12.5%"}
    assert parse_choice_text("merge:threshold=0.8, merge_every=2") == {"strategy": "merge", "threshold": 0.8,
                                                                     "merge_every": 2}
    assert parse_choice_text("hybrid") == {"strategy": "hybrid"}
    for text, message in [("merge:threshold", "'threshold' in 'merge:threshold' is not KEY=VALUE"),
                          ("merge:threshold=x", "'x' in 'merge:threshold=x' is not a number"),
                          ("sliding:window_size=200%",
                           "'200%' in 'sliding:window_size=200%' is not a share of the text from 0% to 100%"),
                          # Not the last value silently: two values for one parameter is a slip.
                          ("sliding:window_size=4,window_size=8",
                           "window_size is given twice in 'sliding:window_size=4,window_size=8'")]:
        with pytest.raises(ValueError, match=message):
            parse_choice_text(text)


def test_budgets_hold_the_share_in_every_sized_strategy() -> None:
    assert budget_strategies(0.125, 1024) == [{"strategy": "sliding", "window_size": 128},
                                              {"strategy": "static", "static_k": 16, "recent_k": 112},
                                              {"strategy": "h2o", "budget": 128, "recent": 32},
                                              {"strategy": "tova", "budget": 128, "recent": 32},
                                              {"strategy": "knorm", "budget": 128, "recent": 32}]
    # Every one of them is a strategy LayerCache builds, and holds the budget.
    layers = [LayerCache(1, 4, 4, **choice) for choice in budget_strategies(0.25, 40)]
    for layer in layers:
        layer.extend(np.ones((40, 1, 4), np.float32), np.ones((40, 1, 4), np.float32))
    assert [layer.lengths() for layer in layers] == [[10]] * 5
    # Below 32 entries the static part is half the budget.
    assert budget_strategies(0.25, 40)[1] == {"strategy": "static", "static_k": 5, "recent_k": 5}
    for bad in (-0.1, 1.5):
        with pytest.raises(ValueError, match="share must be from 0 to 1"):
            budget_strategies(bad, 100)


def test_compare_resolves_shares_against_the_stream() -> None:
    stream = synthetic_stream(80, 8, 4, seed=3)
    shared, counted = (compare(*stream, strategies=[{"strategy": "sliding", "window_size": w}])[1]
                       for w in ("25%", 20))
    assert (shared.label, shared.entries, shared.rel_l2) == (counted.label, counted.entries, counted.rel_l2)
