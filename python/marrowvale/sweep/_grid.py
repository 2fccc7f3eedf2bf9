"""The grid of a sweep: models × texts × one window setting, each cell
evaluated with every strategy; given in Python, on the command line, or in a
TOML file."""

from __future__ import annotations

import os
import tomllib
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field, fields
from pathlib import Path
from typing import Any

from .._strategy_choice import StrategyChoice
from ._choices import BudgetChoice, parse_choice

__all__ = ["DEFAULT_MAX_TOKENS", "DEFAULT_MIN_TOKENS", "Grid", "load_grid"]

DEFAULT_MAX_TOKENS = 512
# Fewer predictions than this make a mean that says little; an empty or
# near-empty file given by mistake is caught here.
DEFAULT_MIN_TOKENS = 16


def _count(name: str, value: object, minimum: int, *, optional: bool) -> int | None:
    if value is None and optional:
        return None
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be a whole number, not {type(value).__name__}")
    if value < minimum:
        raise ValueError(f"{name} must be at least {minimum}, not {value}")
    return value


def _paths(name: str, value: object) -> tuple[str, ...]:
    if isinstance(value, (str, os.PathLike)):
        value = [value]
    if not isinstance(value, Sequence) or not all(isinstance(v, (str, os.PathLike)) for v in value):
        raise TypeError(f"{name} must be a list of paths or names")
    if not value:
        raise ValueError(f"{name}: give at least one")
    return tuple(os.fspath(v) for v in value)


@dataclass(frozen=True)
class Grid:
    """What a sweep evaluates: every model on every text, each cell with
    every strategy in lockstep.

    Parameters
    ----------
    models : sequence of str or path
        Models as ``eval --model`` takes them: GGUF files, checkpoint
        folders, or the name of a reference model ("smollm2").
    texts : sequence of str or path
        Text files, folders of ``.txt`` files, and ``"pydoc"`` (each topic
        of ``pydoc_data.topics`` one text).
    strategies : sequence of strategy choices
        Names, ``NAME:KEY=VALUE,...`` strings or mappings, where a count may
        be a share of each text (``"sliding:window_size=12.5%"``).
    max_tokens : int or None
        Cut each text to this many tokens (default 512); None keeps all.
    ctx : int or None
        Evaluate each text as whole windows of this many tokens, each from
        empty caches, the figures pooled over them (as ``eval --ctx``); a
        share of the text is then a share of a window.
    limit_texts : int or None
        Take only the first this many texts.
    min_tokens : int
        A text with fewer tokens (after the cut) is refused (default 16).

    Raises
    ------
    ValueError or TypeError
        For an empty list, a bad strategy choice, or a count out of range.
    """

    models: Sequence[str | os.PathLike[str]]
    texts: Sequence[str | os.PathLike[str]]
    strategies: Sequence[StrategyChoice | BudgetChoice]
    max_tokens: int | None = DEFAULT_MAX_TOKENS
    ctx: int | None = None
    limit_texts: int | None = None
    min_tokens: int = DEFAULT_MIN_TOKENS
    choices: tuple[BudgetChoice, ...] = field(init=False, repr=False)

    def __post_init__(self) -> None:
        set_field = object.__setattr__
        set_field(self, "models", _paths("models", self.models))
        set_field(self, "texts", _paths("texts", self.texts))
        if isinstance(self.strategies, (str, Mapping)) or not self.strategies:
            raise ValueError("strategies: give a list of at least one strategy choice")
        choices = tuple(parse_choice(s) for s in self.strategies)
        keys = [s.key for s in choices]
        repeated = sorted({k for k in keys if keys.count(k) > 1})
        if repeated:
            raise ValueError(f"strategies: {', '.join(repeated)} given twice")
        set_field(self, "choices", choices)
        set_field(self, "strategies", tuple(self.strategies))
        _count("max_tokens", self.max_tokens, 2, optional=True)
        _count("ctx", self.ctx, 2, optional=True)
        _count("limit_texts", self.limit_texts, 1, optional=True)
        _count("min_tokens", self.min_tokens, 2, optional=False)

    @property
    def settings(self) -> dict[str, int | None]:
        """The settings every result of this grid is keyed by."""
        return {"max_tokens": self.max_tokens, "ctx": self.ctx}


_GRID_KEYS = tuple(f.name for f in fields(Grid) if f.init)


def _relative_to(folder: Path, value: object) -> object:
    # A relative path in the file means one beside the file, when there is
    # one there; otherwise it is a name (pydoc, a model's shortcut) or a path
    # from the working folder.
    if isinstance(value, str) and not os.path.isabs(value) and (folder / value).exists():
        return str(folder / value)
    return value


def load_grid(path: str | os.PathLike[str], **overrides: Any) -> Grid:
    """Read a grid from a TOML file: keys ``models``, ``texts`` and
    ``strategies`` (lists), and optionally ``max_tokens``, ``ctx``,
    ``limit_texts`` and ``min_tokens``. A strategy is a choice string or a
    table with ``strategy`` and its parameters.

    Parameters
    ----------
    path : str or path
        The TOML file. Relative paths in it are taken from its folder when
        they exist there.
    **overrides
        Grid fields that replace the file's (the command line's options);
        those given as None are ignored.

    Returns
    -------
    Grid

    Raises
    ------
    ValueError
        For a file that cannot be read or parsed, an unknown key, and
        whatever ``Grid`` refuses, each naming the file.
    """
    file = Path(path)
    try:
        document = tomllib.loads(file.read_text(encoding="utf-8"))
    except OSError as exc:
        raise ValueError(f"grid {path}: cannot be read: {exc.strerror or exc}") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as exc:
        raise ValueError(f"grid {path}: not valid TOML: {exc}") from None
    unknown = sorted(set(document) - set(_GRID_KEYS))
    if unknown:
        raise ValueError(f"grid {path}: unknown key {unknown[0]!r}; the keys are {', '.join(_GRID_KEYS)}")
    folder = file.resolve().parent
    for key in ("models", "texts"):
        if isinstance(document.get(key), list):
            document[key] = [_relative_to(folder, v) for v in document[key]]
    document.update({k: v for k, v in overrides.items() if v is not None})
    missing = [k for k in ("models", "texts", "strategies") if k not in document]
    if missing:
        raise ValueError(f"grid {path}: no {missing[0]!r}")
    try:
        return Grid(**document)
    except (ValueError, TypeError, OverflowError) as exc:
        raise ValueError(f"grid {path}: {exc}") from None

