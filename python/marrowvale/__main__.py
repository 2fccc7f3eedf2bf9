"""Command line: ``python -m marrowvale COMMAND [options]``.

Each command registers its parser in a function of its own (listed in
``_COMMANDS``) and names the function that runs it. Every bad argument is
refused while the arguments are parsed, or through the command's
``parser.error``: the usage line and one ``error:`` line on standard error,
exit status 2, never a traceback.
"""

from __future__ import annotations

import argparse
import sys
from collections.abc import Callable, Sequence
from typing import Any

from ._cli_args import Commands, add_command, add_output_options, count, strategy_choice, write_output
from ._cli_eval import add_capture_command, add_eval_command
from ._cli_sweep import add_sweep_command
from ._compare import DEFAULT_STRATEGIES, compare, format_table
from ._strategy_choice import StrategyChoice
from ._plot import plot_comparison
from ._report import compare_records, write_json
from ._stream import synthetic_stream
from ._stream_file import load_stream

# Bounds of the built-in stream, which is held as Python floats (about 32
# bytes each) and replayed once per strategy: each size alone, and the
# numbers of the whole stream (keys, queries and values of every token),
# about a gigabyte.
_MOST_TOKENS = 100_000
_MOST_WIDTH = 4096
_MOST_STREAM_NUMBERS = 2**25


def _add_compare(commands: Commands) -> None:
    parser = add_command(
        commands, "compare", _run_compare, help="compare cache strategies on a synthetic or captured stream",
        description="Replay the built-in synthetic stream (attention sinks, runs of related keys, "
                    "drifting topics, repeated tokens), or a stream that 'capture' wrote, through a "
                    "full cache and each strategy, and print entries held, compression ratio, "
                    "attention-output error against the full cache and time per token.")
    parser.add_argument("--tokens", type=count(1, _MOST_TOKENS), default=512,
                        help=f"stream length (default 512, at most {_MOST_TOKENS})")
    parser.add_argument("--d-k", type=count(1, _MOST_WIDTH), default=64,
                        help=f"key length (default 64, at most {_MOST_WIDTH})")
    parser.add_argument("--d-v", type=count(0, _MOST_WIDTH), default=64,
                        help=f"value length (default 64, at most {_MOST_WIDTH})")
    parser.add_argument("--seed", type=int, default=0, help="stream seed (default 0)")
    parser.add_argument("--stream", metavar="FILE.npz",
                        help="replay this stream (arrays queries, keys, values, as 'capture' writes) "
                             "instead of the synthetic one; --tokens, --d-k, --d-v and --seed are then unused")
    parser.add_argument("-s", "--strategy", type=strategy_choice, action="append", metavar="STRATEGY",
                        help="a strategy to compare, NAME or NAME:KEY=VALUE,..., e.g. "
                             "sliding:window_size=128 or merge:threshold=0.8,merge_every=2; "
                             "repeat for several (default: a built-in selection)")
    add_output_options(parser, "also draw error against compression to PATH (e.g. out.png)")


def _run_compare(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    strategies: Sequence[StrategyChoice] = args.strategy or DEFAULT_STRATEGIES
    keys: Any
    values: Any
    queries: Any
    if args.stream:
        try:
            keys, values, queries = load_stream(args.stream)
        except (OSError, ValueError) as exc:
            parser.error(f"argument --stream: {args.stream}: {exc}")
        described: dict[str, Any] = {"file": args.stream, "tokens": len(keys),
                                     "d_k": keys.shape[1], "d_v": values.shape[1]}
        source = f"stream {args.stream}: {len(keys)} tokens, d_k {keys.shape[1]}, d_v {values.shape[1]}"
        title = f"{args.stream}, {len(keys)} tokens"
    else:
        numbers = args.tokens * (2 * args.d_k + args.d_v)
        if numbers > _MOST_STREAM_NUMBERS:
            parser.error(f"argument --tokens: {args.tokens} tokens of d_k {args.d_k} and d_v {args.d_v} make "
                         f"{numbers} numbers, more than the {_MOST_STREAM_NUMBERS} a stream may hold")
        keys, values, queries = synthetic_stream(args.tokens, args.d_k, args.d_v, seed=args.seed)
        described = {"file": None, "tokens": args.tokens, "d_k": args.d_k, "d_v": args.d_v, "seed": args.seed}
        source = f"synthetic stream: {args.tokens} tokens, d_k {args.d_k}, d_v {args.d_v}, seed {args.seed}"
        title = f"synthetic stream, {args.tokens} tokens, seed {args.seed}"
    results = compare(keys, values, queries, strategies=strategies)
    print(source)
    print(format_table(results))
    if args.json is not None:
        write_output(parser, "--json", args.json,
                     lambda: write_json(args.json, {"stream": described, "results": compare_records(results)}))
    if args.plot is not None:
        write_output(parser, "--plot", args.plot, lambda: plot_comparison(results, args.plot, title=title))
    return 0


# One registering function per command.
_COMMANDS: tuple[Callable[[Commands], None], ...] = (
    _add_compare,
    add_eval_command,
    add_capture_command,
    add_sweep_command,
)


def _build_text() -> str:
    """The package's version and how it was built (``build_info``), and the
    Python and NumPy it runs on, on one line."""
    import platform

    import numpy

    from ._build_info import build_info

    info = build_info()
    return (f"marrowvale {info['version']}: kernel set {info['kernel_set']}; built by {info['compiler']} "
            f"({info['build_type']}, {info['flags']}); Python {platform.python_version()}, NumPy {numpy.__version__}")


class _PrintVersion(argparse.Action):
    # argparse's own version action would wrap the line at the terminal's
    # width, and would build the text on every run, not only when asked.
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, **kwargs)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace, values: Any,
                 option_string: str | None = None) -> None:
        print(_build_text())
        parser.exit()


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m marrowvale",
                                     description="Tools around the marrowvale key/value cache.")
    parser.add_argument("--version", action=_PrintVersion, help="print the version and build, and exit")
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
