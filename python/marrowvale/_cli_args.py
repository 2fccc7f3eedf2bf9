"""Argument types and parser set-up the commands share. Each type refuses a
bad value while the arguments are parsed, so that argparse reports it as a
usage error (the usage line and one ``error:`` line, exit status 2) before
any work starts."""

from __future__ import annotations

import argparse
import os
from collections.abc import Callable
from typing import TypeAlias

from ._strategy_choice import StrategyChoice, check_strategy, parse_choice_text
from ._plot import plot_format_problem

__all__ = ["Commands", "add_command", "add_output_options", "count", "layer_strategy_choice", "output_path",
           "plot_path", "strategy_choice", "write_output"]

# What add_subparsers returns, which each command adds its parser to.
Commands: TypeAlias = "argparse._SubParsersAction[argparse.ArgumentParser]"


def add_command(commands: Commands, name: str, run: Callable[[argparse.Namespace, argparse.ArgumentParser], int],
                *, help: str, description: str) -> argparse.ArgumentParser:
    """The parser of command `name`, whose ``args.run(args)`` calls `run`
    with the arguments and this parser (for its usage errors)."""
    parser = commands.add_parser(name, help=help, description=description)
    parser.set_defaults(run=lambda args: run(args, parser))
    return parser


def add_output_options(parser: argparse.ArgumentParser, plot_help: str) -> None:
    """--plot PATH (described by `plot_help`) and --json PATH, both checked
    before the work starts."""
    parser.add_argument("--plot", type=plot_path, metavar="PATH",
                        help=f"{plot_help}; needs matplotlib: pip install 'marrowvale[plot]'")
    parser.add_argument("--json", type=output_path, metavar="PATH", help="also write every figure as JSON to PATH")


def count(minimum: int, maximum: int | None = None) -> Callable[[str], int]:
    """A whole number of at least `minimum` and, if given, at most `maximum`."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        if maximum is not None and value > maximum:
            raise argparse.ArgumentTypeError(f"must be at most {maximum}, not {value}")
        return value

    return parse


def strategy_choice(text: str, *, layer: bool = False) -> StrategyChoice:
    """NAME or NAME:KEY=VALUE,KEY=VALUE, as a strategy choice that a cache
    accepts (a PyKVCache, or with `layer` a LayerCache); a count may be a
    share of the text ("window_size=12.5%")."""
    try:
        choice = parse_choice_text(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None
    try:
        check_strategy(choice, layer=layer)
    except (TypeError, ValueError, OverflowError) as exc:
        raise argparse.ArgumentTypeError(f"{text!r}: {exc}") from None
    return choice


def layer_strategy_choice(text: str) -> StrategyChoice:
    """A strategy choice that a LayerCache accepts (see strategy_choice)."""
    return strategy_choice(text, layer=True)


def output_path(text: str) -> str:
    """A path a file can be written to: its folder exists, it is not one,
    and this process may write there."""
    if not text:
        raise argparse.ArgumentTypeError("the path is empty")
    folder = os.path.dirname(os.path.abspath(text))
    if not os.path.isdir(folder):
        raise argparse.ArgumentTypeError(f"cannot write {text}: the folder {folder} does not exist")
    if os.path.isdir(text):
        raise argparse.ArgumentTypeError(f"cannot write {text}: it is a folder")
    # Checked now, not after a run of minutes: the file itself if it is
    # there, else the folder it would be made in.
    target = text if os.path.exists(text) else folder
    if not os.access(target, os.W_OK):
        raise argparse.ArgumentTypeError(f"cannot write {text}: permission denied")
    return text


def plot_path(text: str) -> str:
    """An output path, as above, that matplotlib is installed to write in
    its format."""
    problem = plot_format_problem(text)
    if problem is not None:
        raise argparse.ArgumentTypeError(problem)
    return output_path(text)


def write_output(parser: argparse.ArgumentParser, option: str, path: str, write: Callable[[], None]) -> None:
    """Writes an output file with `write`, or fails with a usage error. The
    path was checked before the work; this is what changed since."""
    try:
        write()
    except OSError as exc:
        parser.error(f"argument {option}: cannot write {path}: {exc.strerror or exc}")
    print(f"{option.removeprefix('--')} written to {path}")
