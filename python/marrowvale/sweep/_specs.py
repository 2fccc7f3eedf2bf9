"""Strategy specs of a sweep. A spec is a strategy name and its parameters,
as ``eval`` takes them, except that a count may be given as a share of each
text ("12.5%"): the same spec then holds the same share of a short text and
of a long one. The share is resolved per text, against the tokens the cache
is fed (every token of the text but the last, or of one window of ``ctx``).
A share may carry an offset ("12.5%-4"), so that a static cache's recent
part plus its 4 first entries make the same budget as a window of 12.5%."""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass

from .._strategy_spec import StrategySpec, check_strategy

__all__ = ["BudgetSpec", "Percent", "parse_spec"]


@dataclass(frozen=True)
class Percent:
    """A count given as ``value`` percent of the tokens a cache is fed, plus
    ``offset`` entries."""

    value: float
    offset: int = 0

    def __str__(self) -> str:
        return f"{self.value:.15g}%" + (f"{self.offset:+d}" if self.offset else "")

    def of(self, fed: int) -> int:
        """The count for a text of ``fed`` tokens: the share rounded half up,
        at least one entry for any share above 0; then the offset, down to
        no fewer than 0."""
        count = math.floor(self.value / 100.0 * fed + 0.5)
        share = max(count, 1) if self.value > 0 else 0
        return max(share + self.offset, 0)


Value = int | float | Percent


def _format(value: Value) -> str:
    return repr(value) if isinstance(value, float) else str(value)


@dataclass(frozen=True)
class BudgetSpec:
    """One strategy of a sweep, fractions unresolved.

    ``key`` is the canonical text (parameters sorted by name) that the store
    keys a result by; ``label`` names it in reports, parameters in the order
    given.
    """

    strategy: str
    params: tuple[tuple[str, Value], ...]

    @property
    def key(self) -> str:
        if not self.params:
            return self.strategy
        return f"{self.strategy}:{','.join(f'{k}={_format(v)}' for k, v in sorted(self.params))}"

    @property
    def label(self) -> str:
        if not self.params:
            return self.strategy
        return f"{self.strategy}({', '.join(f'{k}={_format(v)}' for k, v in self.params)})"

    def resolve(self, fed: int) -> dict[str, object]:
        """The spec a cache takes, for a text of ``fed`` tokens."""
        spec: dict[str, object] = {"strategy": self.strategy}
        for key, value in self.params:
            spec[key] = value.of(fed) if isinstance(value, Percent) else value
        return spec


def _value(text: str, where: str) -> Value:
    text = text.strip()
    share, offset = _share_and_offset(text, where)
    body = share if share is not None else text
    number: int | float
    try:
        number = int(body)
    except ValueError:
        try:
            number = float(body)
        except ValueError:
            raise ValueError(f"{where}: {text!r} is not a number or a percentage") from None
    if share is None:
        return number
    if not 0.0 <= number <= 100.0:
        raise ValueError(f"{where}: a share of the text is 0% to 100%, not {text}")
    return Percent(float(number), offset)


def _share_and_offset(text: str, where: str) -> tuple[str | None, int]:
    """``"12.5%-4"`` is ``("12.5", -4)``; text without a % is no share."""
    body, percent, rest = text.partition("%")
    if not percent:
        return None, 0
    if not rest:
        return body, 0
    try:
        if rest[0] not in "+-":
            raise ValueError
        return body, int(rest)
    except ValueError:
        raise ValueError(f"{where}: {text!r}: after a share comes nothing or +N or -N entries") from None


def _from_text(text: str) -> tuple[str, list[tuple[str, Value]]]:
    name, _, rest = text.partition(":")
    params = []
    for item in filter(None, (part.strip() for part in rest.split(","))):
        key, sep, value = item.partition("=")
        if not sep:
            raise ValueError(f"strategy spec {text!r}: {item!r} is not KEY=VALUE")
        params.append((key.strip(), _value(value, f"strategy spec {text!r}")))
    return name.strip(), params


def _from_mapping(spec: Mapping[str, object]) -> tuple[str, list[tuple[str, Value]]]:
    given = dict(spec)
    name = given.pop("strategy", None)
    if not isinstance(name, str):
        raise ValueError(f"strategy spec {spec!r} has no strategy name under 'strategy'")
    params: list[tuple[str, Value]] = []
    for key, value in given.items():
        if isinstance(value, str):
            params.append((key, _value(value, f"strategy spec {spec!r}")))
        elif isinstance(value, numbers.Real) and not isinstance(value, bool):
            params.append((key, int(value) if isinstance(value, numbers.Integral) else float(value)))
        else:
            raise TypeError(f"strategy spec {spec!r}: {key} must be a number or a percentage, "
                            f"not {type(value).__name__}")
    return name, params


def parse_spec(spec: StrategySpec | BudgetSpec) -> BudgetSpec:
    """A sweep's strategy spec from ``NAME[:KEY=VALUE,...]`` or a mapping with
    the name under "strategy"; a VALUE may be a percentage ("12.5%") for a
    count parameter.

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
        name, params = _from_text(spec)
    elif isinstance(spec, Mapping):
        name, params = _from_mapping(spec)
    else:
        raise TypeError(f"a strategy spec is a string or a mapping, not {type(spec).__name__}")
    names = [key for key, _ in params]
    twice = sorted({key for key in names if names.count(key) > 1})
    if twice:
        raise ValueError(f"strategy spec {spec!r}: {twice[0]} is given twice")
    parsed = BudgetSpec(name, tuple(params))
    check_strategy(parsed.resolve(1000))
    for key, value in params:
        # A parameter that takes a fraction is not a count of entries, so a
        # share of the text means nothing for it.
        if isinstance(value, Percent) and _takes_fractions(parsed, key):
            raise ValueError(f"strategy spec {parsed.key!r}: {key} is not a count of entries, "
                             "so it cannot be a percentage of the text")
    return parsed


def _takes_fractions(spec: BudgetSpec, key: str) -> bool:
    trial = spec.resolve(1000)
    trial[key] = 0.5
    try:
        check_strategy(trial)
    except TypeError:
        return False
    return True
