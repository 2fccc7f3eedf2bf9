"""Command line: ``python -m marrowvale eval`` and ``capture``, which run a
model from a checkpoint folder with marrowvale's caches in the loop."""

from __future__ import annotations

import argparse
import functools
import sys
from collections.abc import Callable
from pathlib import Path
from typing import TYPE_CHECKING, Any

from ._compare import StrategySpec
from ._plot import PLOT_UNAVAILABLE, plot_evaluation, plotting_available
from ._report import evaluation_records, write_json
from ._stream_file import save_stream

if TYPE_CHECKING:
    from .models import Model

__all__ = ["add_eval_commands"]

Subcommands = Any  # argparse's _SubParsersAction, which it does not export


def _model_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", required=True, metavar="DIR",
                        help="a checkpoint folder: config.json, model.safetensors (or shards with "
                             "model.safetensors.index.json) and tokenizer.json")
    text = parser.add_mutually_exclusive_group(required=True)
    text.add_argument("--text", metavar="FILE", help="read the text from FILE (UTF-8)")
    text.add_argument("--prompt", metavar="TEXT", help="the text itself")


def add_eval_commands(commands: Subcommands, strategy: Callable[[str], StrategySpec]) -> None:
    """Add ``eval`` and ``capture`` to the subcommands; ``strategy`` parses one
    -s argument, as ``compare`` does. Each sets ``run(args) -> exit status``."""
    evaluate = commands.add_parser(
        "eval", help="measure what cache strategies do to a model's predictions",
        description="Run a text teacher-forced through a model with a full cache and with each "
                    "strategy, all in lockstep, and print per strategy the KL divergence of the "
                    "next-token distributions from the full cache's (mean and 95th percentile, "
                    "nats), top-1 agreement, perplexity and its change, entries held, compression "
                    "ratio and the attention-output error per layer.")
    _model_arguments(evaluate)
    evaluate.add_argument("-s", "--strategy", type=strategy, action="append", metavar="SPEC",
                          help="a strategy, NAME or NAME:KEY=VALUE,..., e.g. sliding:window_size=128; "
                               "repeat for several (default: a built-in selection)")
    evaluate.add_argument("--max-tokens", type=int, default=512, metavar="N",
                          help="use at most the first N tokens of the text (default 512)")
    evaluate.add_argument("--plot", metavar="PATH",
                          help="also draw KL divergence against compression ratio to PATH; "
                               "needs matplotlib: pip install 'marrowvale[plot]'")
    evaluate.add_argument("--json", metavar="PATH", help="also write every figure as JSON to PATH")
    evaluate.set_defaults(run=functools.partial(_run_eval, evaluate))

    capture = commands.add_parser(
        "capture", help="write one attention head's queries, keys and values on a text",
        description="Decode a text with a full cache and write, for one layer and query head, the "
                    "queries and the keys and values of the key/value head it reads (as cached: "
                    "rotated), as arrays queries, keys, values of shape (tokens, head_dim) in a "
                    ".npz file that 'compare --stream' replays.")
    _model_arguments(capture)
    capture.add_argument("--layer", type=int, required=True, help="layer index, from 0")
    capture.add_argument("--query-head", type=int, required=True, help="query head index, from 0")
    capture.add_argument("--max-tokens", type=int, default=None, metavar="N",
                         help="use at most the first N tokens of the text (default: all)")
    capture.add_argument("output", metavar="OUT.npz", help="the file to write")
    capture.set_defaults(run=functools.partial(_run_capture, capture))


def _text(parser: argparse.ArgumentParser, args: argparse.Namespace) -> str:
    if args.prompt is not None:
        text: str = args.prompt
        return text
    try:
        return Path(args.text).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        parser.error(f"--text {args.text}: cannot be read: {exc}")


def _writable(parser: argparse.ArgumentParser, option: str, path: str | None) -> None:
    # Refuse before a long run, not after it.
    if path is not None and not (Path(path).parent.is_dir() and not Path(path).is_dir()):
        parser.error(f"{option} {path}: the folder does not exist, or the path is a folder")


def _model(parser: argparse.ArgumentParser, folder: str) -> Model:
    from .models import load_model
    try:
        return load_model(folder)
    except (ValueError, ImportError) as exc:
        parser.error(f"--model: {exc}")


def _run_eval(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    from .models import DEFAULT_EVAL_STRATEGIES, evaluate, format_evaluation
    if args.max_tokens < 2:
        parser.error(f"--max-tokens must be at least 2, not {args.max_tokens}")
    if args.plot and not plotting_available():
        parser.error(f"--plot: {PLOT_UNAVAILABLE}")
    _writable(parser, "--plot", args.plot)
    _writable(parser, "--json", args.json)
    text = _text(parser, args)
    model = _model(parser, args.model)
    try:
        result = evaluate(model, text, args.strategy or DEFAULT_EVAL_STRATEGIES,
                          max_tokens=args.max_tokens, progress=True)
    except (ValueError, TypeError, OverflowError) as exc:
        parser.error(str(exc))
    config = model.config
    print(f"model {args.model}: {config.architecture}, {config.num_hidden_layers} layers, "
          f"{config.num_attention_heads} query and {config.num_key_value_heads} key/value heads of "
          f"{config.head_dim}; text of {result.tokens} tokens, {result.predictions} predictions")
    print(format_evaluation(result))
    if args.json and not _save("--json", args.json, lambda: write_json(args.json, {
            "model": result.model, "architecture": result.architecture, "tokens": result.tokens,
            "predictions": result.predictions, "results": evaluation_records(result)})):
        return 1
    title = f"{Path(args.model).resolve().name}, {result.tokens} tokens"
    if args.plot and not _save("--plot", args.plot, lambda: plot_evaluation(result, args.plot, title=title)):
        return 1
    return 0


def _save(option: str, path: str, write: Callable[[], None]) -> bool:
    try:
        write()
    except OSError as exc:
        print(f"error: {option}: cannot write {path}: {exc.strerror or exc}", file=sys.stderr)
        return False
    print(f"{option.removeprefix('--')} written to {path}")
    return True


def _run_capture(parser: argparse.ArgumentParser, args: argparse.Namespace) -> int:
    from .models import capture
    _writable(parser, "output", args.output)
    text = _text(parser, args)
    model = _model(parser, args.model)
    try:
        stream = capture(model, text, args.layer, args.query_head, max_tokens=args.max_tokens)
    except ValueError as exc:
        parser.error(str(exc))
    try:
        save_stream(args.output, stream)
    except OSError as exc:
        print(f"error: cannot write {args.output}: {exc.strerror or exc}", file=sys.stderr)
        return 1
    tokens, width = stream.queries.shape
    print(f"wrote {tokens} queries, keys and values of width {width} (layer {args.layer}, "
          f"query head {args.query_head}) to {args.output}")
    return 0
