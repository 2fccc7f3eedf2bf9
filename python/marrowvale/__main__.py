"""Command line: ``python -m marrowvale COMMAND [options]``.

Each command registers its parser in a function of its own (listed in
``_COMMANDS``) and names the function that runs it. Every bad argument is
refused while the arguments are parsed, or through the command's
``parser.error``: the usage line and one ``error:`` line on standard error,
exit status 2, never a traceback.
"""

from __future__ import annotations

import argparse
import functools
import sys
from collections.abc import Callable, Sequence
from typing import TypeAlias

from ._compare import DEFAULT_STRATEGIES, StrategySpec, check_strategy, compare, format_table
from ._plot import plot_comparison, plot_target_problem
from ._stream import synthetic_stream

# What add_subparsers returns, which each command adds its parser to.
_Commands: TypeAlias = "argparse._SubParsersAction[argparse.ArgumentParser]"


def _count(minimum: int) -> Callable[[str], int]:
    """An argument type: a whole number of at least `minimum`."""

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


def _strategy(text: str) -> StrategySpec:
    """Parse NAME or NAME:KEY=VALUE,KEY=VALUE into a strategy spec that a
    cache accepts."""
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


def _plot_target(text: str) -> str:
    problem = plot_target_problem(text)
    if problem is not None:
        raise argparse.ArgumentTypeError(problem)
    return text


def _add_compare(commands: _Commands) -> None:
    parser = commands.add_parser(
        "compare", help="compare cache strategies on a synthetic stream",
        description="Replay the built-in synthetic stream (attention sinks, runs of related keys, "
                    "drifting topics, repeated tokens) through a full cache and each strategy, and "
                    "print entries held, compression ratio, attention-output error against the full "
                    "cache and time per token.")
    parser.add_argument("--tokens", type=_count(1), default=512, help="stream length (default 512)")
    parser.add_argument("--d-k", type=_count(1), default=64, help="key length (default 64)")
    parser.add_argument("--d-v", type=_count(0), default=64, help="value length (default 64)")
    parser.add_argument("--seed", type=int, default=0, help="stream seed (default 0)")
    parser.add_argument("-s", "--strategy", type=_strategy, action="append", metavar="SPEC",
                        help="a strategy to compare, NAME or NAME:KEY=VALUE,..., e.g. "
                             "sliding:window_size=128 or merge:threshold=0.8,merge_every=2; "
                             "repeat for several (default: a built-in selection)")
    parser.add_argument("--plot", type=_plot_target, metavar="PATH",
                        help="also draw error against compression to PATH (e.g. out.png); "
                             "needs matplotlib: pip install 'marrowvale[plot]'")
    parser.set_defaults(run=functools.partial(_run_compare, parser=parser))


def _run_compare(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    strategies: Sequence[StrategySpec] = args.strategy or DEFAULT_STRATEGIES
    results = compare(*synthetic_stream(args.tokens, args.d_k, args.d_v, seed=args.seed), strategies=strategies)
    print(f"synthetic stream: {args.tokens} tokens, d_k {args.d_k}, d_v {args.d_v}, seed {args.seed}")
    print(format_table(results))
    if args.plot is not None:
        try:
            plot_comparison(results, args.plot,
                            title=f"synthetic stream, {args.tokens} tokens, seed {args.seed}")
        except OSError as exc:
            # Checked before the replay; this is what changed since.
            parser.error(f"argument --plot: cannot write {args.plot}: {exc.strerror or exc}")
        print(f"plot written to {args.plot}")
    return 0


# One registering function per command.
_COMMANDS: tuple[Callable[[_Commands], None], ...] = (_add_compare,)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m marrowvale",
                                     description="Tools around the marrowvale key/value cache.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    for add in _COMMANDS:
        add(commands)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    status: int = args.run(args)
    return status


if __name__ == "__main__":
    sys.exit(main())
