"""Argument types the commands share. Each refuses a bad value while the
arguments are parsed, so that argparse reports it as a usage error (the
usage line and one ``error:`` line, exit status 2) before any work starts."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable

from ._compare import StrategySpec, check_strategy
from ._plot import plot_target_problem

__all__ = ["count", "output_path", "plot_path", "strategy_spec", "write_output"]


def count(minimum: int) -> Callable[[str], int]:
    """A whole number of at least `minimum`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value

    return parse


def _number(text: str) -> int | float:
    try:
        return int(text)
    except ValueError:
        return float(text)


def strategy_spec(text: str) -> StrategySpec:
    """NAME or NAME:KEY=VALUE,KEY=VALUE, as a strategy spec that a cache
    accepts."""
    name, _, rest = text.partition(":")
    spec: dict[str, object] = {"strategy": name}
    for item in filter(None, rest.split(",")):
        key, sep, value = item.partition("=")
        if not sep:
            raise argparse.ArgumentTypeError(f"{item!r} in {text!r} is not KEY=VALUE")
        try:
            spec[key.strip()] = _number(value.strip())
        except ValueError:
            raise argparse.ArgumentTypeError(f"{value!r} in {text!r} is not a number") from None
    try:
        check_strategy(spec)
    except (TypeError, ValueError, OverflowError) as exc:
        raise argparse.ArgumentTypeError(f"{text!r}: {exc}") from None
    return spec


def plot_path(text: str) -> str:
    """A path a plot can be written to, with matplotlib installed."""
    problem = plot_target_problem(text)
    if problem is not None:
        raise argparse.ArgumentTypeError(problem)
    return text


def output_path(text: str) -> str:
    """A path a file can be written to: its folder exists and it is not one."""
    if not text:
        raise argparse.ArgumentTypeError("the path is empty")
    folder = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(folder):
        raise argparse.ArgumentTypeError(f"cannot write {text}: the folder {folder} does not exist")
    if os.path.isdir(text):
        raise argparse.ArgumentTypeError(f"cannot write {text}: it is a folder")
    return text


def write_output(parser: argparse.ArgumentParser, option: str, path: str, write: Callable[[], None]) -> None:
    """Writes an output file with `write`, or fails with a usage error. The
    path was checked before the work; this is what changed since."""
    try:
        write()
    except OSError as exc:
        parser.error(f"argument {option}: cannot write {path}: {exc.strerror or exc}")
    print(f"{option.removeprefix('--')} written to {path}")
