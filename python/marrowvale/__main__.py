"""Command line: ``python -m marrowvale compare|eval|capture [options]``."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import Any

from ._cli_eval import add_eval_commands
from ._compare import DEFAULT_STRATEGIES, StrategySpec, compare, format_table
from ._plot import PLOT_UNAVAILABLE, plot_comparison, plotting_available
from ._report import compare_records, write_json
from ._stream import synthetic_stream
from ._stream_file import load_stream


def _number(text: str) -> int | float:
    try:
        return int(text)
    except ValueError:
        return float(text)


def _strategy(text: str) -> StrategySpec:
    """Parse NAME or NAME:KEY=VALUE,KEY=VALUE into a strategy spec."""
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
    return spec


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="python -m marrowvale",
                                     description="Tools around the marrowvale key/value cache.")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    cmp = commands.add_parser(
        "compare", help="compare cache strategies on a synthetic stream",
        description="Replay the built-in synthetic stream (runs of related keys, drifting topics, "
                    "repeated tokens) through a full cache and each strategy, and print entries "
                    "held, compression ratio, attention-output error against the full cache and "
                    "time per token.")
    cmp.add_argument("--tokens", type=int, default=512, help="stream length (default 512)")
    cmp.add_argument("--d-k", type=int, default=64, help="key length (default 64)")
    cmp.add_argument("--d-v", type=int, default=64, help="value length (default 64)")
    cmp.add_argument("--seed", type=int, default=0, help="stream seed (default 0)")
    cmp.add_argument("-s", "--strategy", type=_strategy, action="append", metavar="SPEC",
                     help="a strategy to compare, NAME or NAME:KEY=VALUE,..., e.g. "
                          "sliding:window_size=128 or merge:threshold=0.8,merge_every=2; "
                          "repeat for several (default: a built-in selection)")
    cmp.add_argument("--plot", metavar="PATH",
                     help="also draw error against compression to PATH (e.g. out.png); "
                          "needs matplotlib: pip install 'marrowvale[plot]'")
    cmp.add_argument("--stream", metavar="FILE.npz",
                     help="replay this stream (arrays queries, keys, values, as 'capture' writes) "
                          "instead of the synthetic one; --tokens, --d-k, --d-v and --seed are then unused")
    cmp.add_argument("--json", metavar="PATH", help="also write every figure as JSON to PATH")
    cmp.set_defaults(run=None, command_parser=cmp)
    add_eval_commands(commands, _strategy)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    if args.run is not None:
        status: int = args.run(args)
        return status
    if args.tokens < 1 or args.d_k < 0 or args.d_v < 0:
        print("error: --tokens must be at least 1, --d-k and --d-v not negative", file=sys.stderr)
        return 2
    # Refuse before the replay, not after it.
    if args.plot and not plotting_available():
        print(f"error: --plot: {PLOT_UNAVAILABLE}", file=sys.stderr)
        return 1
    strategies: Sequence[StrategySpec] = args.strategy or DEFAULT_STRATEGIES
    stream: tuple[Any, Any, Any]
    if args.stream:
        try:
            keys, values, _ = stream = load_stream(args.stream)
        except (OSError, ValueError) as exc:
            args.command_parser.error(f"--stream {args.stream}: {exc}")
        described = {"file": args.stream, "tokens": len(keys), "d_k": keys.shape[1], "d_v": values.shape[1]}
        source = f"stream {args.stream}: {len(keys)} tokens, d_k {keys.shape[1]}, d_v {values.shape[1]}"
    else:
        stream = synthetic_stream(args.tokens, args.d_k, args.d_v, seed=args.seed)
        described = {"file": None, "tokens": args.tokens, "d_k": args.d_k, "d_v": args.d_v, "seed": args.seed}
        source = f"synthetic stream: {args.tokens} tokens, d_k {args.d_k}, d_v {args.d_v}, seed {args.seed}"
    try:
        results = compare(*stream, strategies=strategies)
    except (TypeError, ValueError, OverflowError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 2
    print(source)
    print(format_table(results))
    if args.json:
        try:
            write_json(args.json, {"stream": described, "results": compare_records(results)})
        except OSError as exc:
            print(f"error: --json: cannot write {args.json}: {exc.strerror or exc}", file=sys.stderr)
            return 1
        print(f"json written to {args.json}")
    if args.plot:
        try:
            plot_comparison(results, args.plot,
                            title=f"synthetic stream, {args.tokens} tokens, seed {args.seed}")
        except OSError as exc:
            print(f"error: --plot: cannot write {args.plot}: {exc.strerror or exc}", file=sys.stderr)
            return 1
        print(f"plot written to {args.plot}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
