"""Strategy choices of a sweep: the choices ``eval`` takes (see
``marrowvale._strategy_choice``: a count may be a share of the text, "12.5%",
less or more a few entries, "12.5%-16"), each with the one text that keys
its results in the store. A share is resolved per text, as ``evaluate``
resolves it: against the tokens of the text, or of one window of ``ctx``."""

from __future__ import annotations

import numbers
from collections.abc import Mapping
from dataclasses import dataclass
from functools import cached_property

from .._selection_choice import SELECTION_PARAMETERS
from .._strategy_choice import (Share, StrategyChoice, check_strategy, label, parse_share, parse_choice_text,
                              resolve_shares, choice_text)

__all__ = ["BudgetChoice", "Percent", "parse_choice"]

# The sweep's earlier name for a share of the text.
Percent = Share

Value = int | float | str | Share


@dataclass(frozen=True)
class BudgetChoice:
    """One strategy of a sweep, shares unresolved.

    ``key`` is the canonical text (parameters sorted by name) that the store
    keys a result by; ``label`` names it in reports, parameters in the order
    given; ``choice`` is the choice ``evaluate`` takes.
    """

    strategy: str
    params: tuple[tuple[str, Value], ...]

    @property
    def choice(self) -> dict[str, object]:
        return {"strategy": self.strategy, **{k: str(v) if isinstance(v, Share) else v for k, v in self.params}}

    @cached_property
    def key(self) -> str:
        return choice_text(self.choice)

    @property
    def label(self) -> str:
        return label(self.strategy, dict(self.params))

    def resolve(self, tokens: int) -> StrategyChoice:
        """The choice a cache takes, for a text (a window) of ``tokens`` tokens."""
        return resolve_shares(self.choice, tokens)


def _value(value: object) -> Value:
    share = parse_share(value)
    if share is not None:
        return share
    if isinstance(value, str):
        return value  # a storage tier, which check_strategy has checked
    # check_strategy has made sure it is a number.
    assert isinstance(value, numbers.Real)
    return int(value) if isinstance(value, numbers.Integral) else float(value)


def parse_choice(choice: StrategyChoice | BudgetChoice) -> BudgetChoice:
    """A sweep's strategy choice from ``NAME[:KEY=VALUE,...]`` or a mapping with
    the name under "strategy"; a count may be a share of the text ("12.5%",
    "12.5%-16").

    Parameters
    ----------
    choice : str or mapping or BudgetChoice
        The choice, as ``eval -s`` or a TOML table writes it.

    Returns
    -------
    BudgetChoice
        The choice, checked: the strategy exists and takes these parameters.

    Raises
    ------
    ValueError, TypeError or OverflowError
        What the cache's constructor would raise for the choice, and
        ValueError for a share given for a parameter that is not a count.
    """
    if isinstance(choice, BudgetChoice):
        return choice
    if isinstance(choice, str):
        choice = parse_choice_text(choice)
    elif not isinstance(choice, Mapping):
        raise TypeError(f"a strategy choice is a string or a mapping, not {type(choice).__name__}")
    check_strategy(choice, layer=True)
    if isinstance(choice, Mapping) and any(key in choice for key in SELECTION_PARAMETERS):
        raise ValueError(f"strategy choice {choice!r}: compress, keep and pool select at the end of a prompt, "
                         "which eval --prompt-tokens has and a sweep has not")
    if isinstance(choice, str):
        return BudgetChoice(choice, ())
    name = choice["strategy"]
    assert isinstance(name, str)
    return BudgetChoice(name, tuple((k, _value(v)) for k, v in choice.items() if k != "strategy"))
