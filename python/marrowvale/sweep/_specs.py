"""Strategy specs of a sweep: the specs ``eval`` takes (see
``marrowvale._strategy_spec``: a count may be a share of the text, "12.5%",
less or more a few entries, "12.5%-16"), each with the one text that keys
its results in the store. A share is resolved per text, as ``evaluate``
resolves it: against the tokens of the text, or of one window of ``ctx``."""

from __future__ import annotations

import numbers
from collections.abc import Mapping
from dataclasses import dataclass

from .._selection_spec import SELECTION_PARAMETERS
from .._strategy_spec import (Share, StrategySpec, check_strategy, label, parse_share, parse_spec_text,
                              resolve_shares, spec_text)

__all__ = ["BudgetSpec", "Percent", "parse_spec"]

# The sweep's earlier name for a share of the text.
Percent = Share

Value = int | float | Share


@dataclass(frozen=True)
class BudgetSpec:
    """One strategy of a sweep, shares unresolved.

    ``key`` is the canonical text (parameters sorted by name) that the store
    keys a result by; ``label`` names it in reports, parameters in the order
    given; ``spec`` is the spec ``evaluate`` takes.
    """

    strategy: str
    params: tuple[tuple[str, Value], ...]

    @property
    def spec(self) -> dict[str, object]:
        return {"strategy": self.strategy, **{k: str(v) if isinstance(v, Share) else v for k, v in self.params}}

    @property
    def key(self) -> str:
        return spec_text(self.spec)

    @property
    def label(self) -> str:
        return label(self.strategy, dict(self.params))

    def resolve(self, tokens: int) -> StrategySpec:
        """The spec a cache takes, for a text (a window) of ``tokens`` tokens."""
        return resolve_shares(self.spec, tokens)


def _value(value: object) -> Value:
    share = parse_share(value)
    if share is not None:
        return share
    # check_strategy has made sure it is a number.
    assert isinstance(value, numbers.Real)
    return int(value) if isinstance(value, numbers.Integral) else float(value)


def parse_spec(spec: StrategySpec | BudgetSpec) -> BudgetSpec:
    """A sweep's strategy spec from ``NAME[:KEY=VALUE,...]`` or a mapping with
    the name under "strategy"; a count may be a share of the text ("12.5%",
    "12.5%-16").

    Parameters
    ----------
    spec : str or mapping or BudgetSpec
        The spec, as ``eval -s`` or a TOML table writes it.

    Returns
    -------
    BudgetSpec
        The spec, checked: the strategy exists and takes these parameters.

    Raises
    ------
    ValueError, TypeError or OverflowError
        What the cache's constructor would raise for the spec, and
        ValueError for a share given for a parameter that is not a count.
    """
    if isinstance(spec, BudgetSpec):
        return spec
    if isinstance(spec, str):
        spec = parse_spec_text(spec)
    elif not isinstance(spec, Mapping):
        raise TypeError(f"a strategy spec is a string or a mapping, not {type(spec).__name__}")
    check_strategy(spec, layer=True)
    if isinstance(spec, Mapping) and any(key in spec for key in SELECTION_PARAMETERS):
        raise ValueError(f"strategy spec {spec!r}: compress, keep and pool select at the end of a prompt, "
                         "which eval --prompt-tokens has and a sweep has not")
    if isinstance(spec, str):
        return BudgetSpec(spec, ())
    name = spec["strategy"]
    assert isinstance(name, str)
    return BudgetSpec(name, tuple((k, _value(v)) for k, v in spec.items() if k != "strategy"))
