"""Strategy choices: what ``compare``, ``eval`` and the command line take to
name a cache strategy and its parameters, checked before any work starts.

A choice is a name alone ("merge", the constructor's defaults) or a mapping
with the name under "strategy" and any of the constructor's strategy
parameters, e.g. ``{"strategy": "sliding", "window_size": 128}``, and, for
``eval --prompt-tokens``, the selection at the end of the prompt
(``compress``, ``keep``, ``pool``: see ``_selection_choice``). A count
parameter (a window or a number of entries) may also be a share of the
text, a string such as ``"12.5%"``, less or more a few entries
(``"12.5%-16"``, so that a static cache's 16 first entries and its recent
ones hold 12.5% together): ``resolve_shares`` turns it into entries once the
text's length in tokens is known. For ``eval``, ``dtype`` ("bfloat16",
"int8"; default "float32") stores the cache's keys and values in that tier,
so that quantisation stacks with the strategy's eviction.
"""

from __future__ import annotations

import math
import numbers
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any, TypeAlias

from _marrowvale import PyKVCache

from ._layer_cache import LayerCache
from ._selection_choice import SCORED_STRATEGIES, SELECTION_PARAMETERS, split_selection

__all__ = ["COUNT_PARAMETERS", "DTYPES", "PARAMETERS", "Share", "StrategyChoice", "budget_strategies",
           "check_strategy", "parse_share", "parse_choice_text", "parse_strategy", "resolve_shares", "share_of",
           "choice_text", "with_dtype"]

StrategyChoice: TypeAlias = str | Mapping[str, object]

# The caches' strategy parameters; budget and recent are LayerCache's alone.
PARAMETERS = ("window_size", "static_k", "recent_k", "threshold", "merge_every", "budget", "recent")
# LayerCache's storage tiers, which a choice names under "dtype".
DTYPES = ("float32", "bfloat16", "int8")
DTYPE = "dtype"
# The parameters that count entries, and so may be given as a share of the text.
COUNT_PARAMETERS = ("window_size", "static_k", "recent_k", "budget", "recent", "keep")

# Entries a static cache keeps from the start of the text when its budget is
# given as a share: the first tokens draw much of every query's attention.
BUDGET_STATIC_ENTRIES = 16
# The strategies that choose by score keep this part of their budget as the
# never-evicted recent entries in budget_strategies (1/4, chosen before any
# figure was measured).
BUDGET_RECENT_SHARE = 4


@dataclass(frozen=True)
class Share:
    """A count given as ``percent`` of the text's tokens plus ``offset``
    entries (negative: fewer), as ``"12.5%"`` or ``"12.5%-16"`` write it."""

    percent: float
    offset: int = 0

    def __str__(self) -> str:
        return f"{self.percent:.15g}%" + (f"{self.offset:+d}" if self.offset else "")

    @property
    def fraction(self) -> float:
        """The share as a fraction of the text (0.125 for 12.5%)."""
        return self.percent / 100.0

    def entries(self, tokens: int) -> int:
        """The count for a text of ``tokens`` tokens: the share rounded half
        up (at least one entry for a share above 0), then the offset, down to
        no fewer than 0."""
        return max(_entries(self.fraction, tokens) + self.offset, 0)


def _share(text: str) -> Share:
    """The share ``text`` writes; ValueError with what is wrong, as the end
    of a sentence about the text."""
    body, _, rest = text.partition("%")
    try:
        percent = float(body)
    except ValueError:
        raise ValueError("is not a percentage") from None
    if not 0.0 <= percent <= 100.0:
        raise ValueError("is not a share of the text from 0% to 100%")
    offset = 0
    if rest:
        try:
            if rest[0] not in "+-":
                raise ValueError
            offset = int(rest)
        except ValueError:
            raise ValueError("is not a share of the text: after the % comes nothing, +N or -N entries") from None
    return Share(percent, offset)


def parse_share(value: object) -> Share | None:
    """The share of the text that ``value`` names ("12.5%", "12.5%-16", or a
    ``Share``), or None when it is not a string with a "%".

    Raises
    ------
    ValueError
        For a string with a "%" that is not a percentage from 0 to 100,
        optionally followed by +N or -N.
    """
    if isinstance(value, Share):
        return value
    if not isinstance(value, str) or "%" not in value:
        return None
    try:
        return _share(value)
    except ValueError as exc:
        raise ValueError(f"{value!r} {exc}") from None


def share_of(value: object) -> float | None:
    """The share of the text that ``value`` names, as a fraction (0.125 for
    "12.5%"; an offset of entries aside), or None when it is not a share.

    Raises
    ------
    ValueError
        As ``parse_share``.
    """
    share = parse_share(value)
    return None if share is None else share.fraction


def _entries(share: float, tokens: int) -> int:
    # Half up, so that 12.5% of 1,000 tokens is 125 entries on every
    # platform; a share above 0 of a short text still holds one entry.
    count = math.floor(share * tokens + 0.5)
    return max(count, 1) if share > 0.0 else count


def label(name: str, params: Mapping[str, object]) -> str:
    """"name(key=value, ...)", or the name alone without parameters."""
    if not params:
        return name
    inner = ", ".join(f"{key}={value:g}" if isinstance(value, float) else f"{key}={value}"
                      for key, value in params.items())
    return f"{name}({inner})"


def _split(choice: StrategyChoice) -> tuple[str, dict[str, object]]:
    if isinstance(choice, str):
        return choice, {}
    if not isinstance(choice, Mapping):
        raise TypeError(f"a strategy choice is a name or a mapping, not {type(choice).__name__}")
    given = dict(choice)
    name = given.pop("strategy", None)
    if not isinstance(name, str):
        raise ValueError(f"strategy choice {choice!r} has no strategy name under 'strategy'")
    for key in given:
        if key not in PARAMETERS and key not in SELECTION_PARAMETERS and key != DTYPE:
            raise ValueError(f"strategy choice {choice!r}: unknown parameter {key!r}; "
                             f"choose from {', '.join(PARAMETERS + SELECTION_PARAMETERS + (DTYPE,))} "
                             "(d_k and d_v come from the stream)")
    return name, given


def resolve_shares(choice: StrategyChoice, tokens: int) -> StrategyChoice:
    """``choice`` with every share of the text ("12.5%") turned into entries of
    a text of ``tokens`` tokens, rounded half up; a choice without shares comes
    back as it is.

    Parameters
    ----------
    choice
        A strategy choice.
    tokens
        The length of the text (of each window, when it is evaluated in
        windows) in tokens.

    Returns
    -------
    StrategyChoice
        The same choice, with counts in place of shares.

    Raises
    ------
    ValueError
        For a share given to a parameter that is not a count, or a bad share.
    TypeError
        For a choice that is neither a name nor a mapping.
    """
    name, given = _split(choice)
    resolved: dict[str, object] = {"strategy": name}
    changed = False
    for key, value in given.items():
        share = parse_share(value)
        if share is not None:
            if key not in COUNT_PARAMETERS:
                raise ValueError(f"strategy choice {choice!r}: {key} cannot be a share of the text; "
                                 f"only {', '.join(COUNT_PARAMETERS)} can")
            value, changed = share.entries(tokens), True
        resolved[key] = value
    return resolved if changed else choice


def parse_strategy(choice: StrategyChoice) -> tuple[str, str, dict[str, float | int | str]]:
    """The label, name and parameters of a strategy choice, its parameter names
    and types checked (the cache's constructor checks the rest).

    Raises
    ------
    ValueError
        For a mapping without a name, an unknown parameter, or a share of the
        text not yet resolved (see ``resolve_shares``).
    TypeError
        For a choice of the wrong kind or a parameter that is not a number.
    """
    name, given = _split(choice)
    params: dict[str, float | int | str] = {}
    for key, value in given.items():
        if key == DTYPE:
            if value not in DTYPES:
                raise ValueError(f"strategy choice {choice!r}: dtype must be one of {', '.join(DTYPES)}, not {value!r}")
            params[key] = str(value)
            continue
        if parse_share(value) is not None:
            raise ValueError(f"strategy choice {choice!r}: {key} is a share of the text ({value}); "
                             "it needs the text's length (resolve_shares)")
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise TypeError(f"strategy choice {choice!r}: {key} must be a number, not {type(value).__name__}")
        params[key] = int(value) if isinstance(value, numbers.Integral) else float(value)
    return label(name, params), name, params


def check_strategy(choice: StrategyChoice, *, layer: bool = False) -> None:
    """Raise what a cache's constructor would raise for ``choice``
    (ValueError, TypeError or OverflowError), shares of the text checked as
    shares of a text of 1,000 tokens: PyKVCache's (what ``compare`` runs),
    or with ``layer`` LayerCache's (what ``eval`` runs), which also takes
    the strategies that choose by score and a selection at the end of a
    prompt."""
    _, name, params = parse_strategy(resolve_shares(choice, 1000))
    if not layer:
        selection = [key for key in params if key in SELECTION_PARAMETERS]
        if selection:
            raise ValueError(f"{selection[0]} is for eval --prompt-tokens, not for a single head's cache")
        if DTYPE in params:
            raise ValueError("dtype is for eval's LayerCache, not for a single head's cache")
        arguments: dict[str, Any] = params
        PyKVCache(1, 1, name, **arguments)
        return
    cache_params, _ = split_selection(name, params)
    arguments = dict(cache_params)
    try:
        LayerCache(1, 1, 1, name, **arguments)
    except ValueError as exc:
        # The name is the choice's, not a constructor argument's here.
        raise ValueError(str(exc).removeprefix("argument 'strategy': ")) from None


def with_dtype(choice: StrategyChoice, dtype: str) -> StrategyChoice:
    """``choice`` with its keys and values stored as ``dtype``, unless it names
    a dtype of its own (what ``eval --kv-dtype`` does to every choice).

    Raises
    ------
    ValueError or TypeError
        As ``parse_strategy``, for a choice that is not well formed.
    """
    name, given = _split(choice)
    if DTYPE in given:
        return choice
    return {"strategy": name, **given, DTYPE: dtype}


def _number(text: str) -> int | float | str:
    """A parameter's value from its text; ValueError with what is wrong, as
    the end of a sentence about the text."""
    if "%" in text:
        _share(text)
        return text  # a share, kept as such until the text's length is known
    try:
        return int(text)
    except ValueError:
        try:
            return float(text)
        except ValueError:
            raise ValueError("is not a number") from None


def parse_choice_text(text: str) -> StrategyChoice:
    """A choice from its command-line form: NAME, or NAME:KEY=VALUE,... with
    each VALUE a number or, for a count, a share of the text ("12.5%",
    "12.5%-16").

    Raises
    ------
    ValueError
        For an item that is not KEY=VALUE, a value that is not a number or
        a share, or a parameter given twice, naming the item.
    """
    name, _, rest = text.partition(":")
    choice: dict[str, object] = {"strategy": name}
    for item in filter(None, rest.split(",")):
        key, sep, value = item.partition("=")
        if not sep:
            raise ValueError(f"{item!r} in {text!r} is not KEY=VALUE")
        key, value = key.strip(), value.strip()
        # Not the last one silently: two values for one parameter is a slip.
        if key in choice:
            raise ValueError(f"{key} is given twice in {text!r}")
        if key == DTYPE:
            choice[key] = value  # a name, checked with the choice
            continue
        try:
            choice[key] = _number(value)
        except ValueError as exc:
            raise ValueError(f"{value!r} in {text!r} {exc}") from None
    return choice


def choice_text(choice: StrategyChoice) -> str:
    """The command-line form of a choice with its parameters sorted by name,
    which ``parse_choice_text`` reads back: one text for choices that differ only
    in the order or the spelling of their parameters ("12.50%" is "12.5%").

    Raises
    ------
    ValueError or TypeError
        As ``resolve_shares``, for a choice that is not well formed.
    """
    name, given = _split(choice)
    resolve_shares(choice, 0)  # the shares checked, and only for counts
    items = []
    for key, value in sorted(given.items()):
        share = parse_share(value)
        items.append(f"{key}={share if share is not None else repr(value) if isinstance(value, float) else value}")
    return f"{name}:{','.join(items)}" if items else name


def budget_strategies(share: float, tokens: int) -> list[dict[str, object]]:
    """The built-in strategies whose size can be set, each holding ``share``
    of a text of ``tokens`` tokens: a sliding window of that many entries;
    a static cache of the first 16 (half the budget when it is smaller
    than 32) and the most recent for the rest; and h2o, tova and knorm with
    that budget, a quarter of it (rounded down) recent. Merging strategies
    have no size to set: what they hold follows from their threshold and
    the text.

    Parameters
    ----------
    share
        The fraction of the text to hold, from 0 to 1 (0.125 for 12.5%).
    tokens
        The length of the text (of each window) in tokens.

    Returns
    -------
    list of dict
        Strategy choices, ready for ``evaluate``.

    Raises
    ------
    ValueError
        For a share outside 0..1 or a negative length.
    """
    if not 0.0 <= share <= 1.0:
        raise ValueError(f"share must be from 0 to 1, not {share}")
    if tokens < 0:
        raise ValueError(f"tokens must be at least 0, not {tokens}")
    budget = _entries(share, tokens)
    static = min(BUDGET_STATIC_ENTRIES, budget // 2)
    recent = budget // BUDGET_RECENT_SHARE
    return [{"strategy": "sliding", "window_size": budget},
            {"strategy": "static", "static_k": static, "recent_k": budget - static},
            *({"strategy": name, "budget": budget, "recent": recent} for name in SCORED_STRATEGIES)]
