"""Command line: ``python -m marrowvale eval`` and ``capture``, which run a
model from a checkpoint folder with marrowvale's caches in the loop."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TYPE_CHECKING

from ._cli_args import Commands, add_command, add_output_options, count, output_path, strategy_spec, write_output
from ._plot import plot_evaluation
from ._report import evaluation_records, write_json
from ._stream_file import save_stream

if TYPE_CHECKING:
    from .models import Model

__all__ = ["add_capture_command", "add_eval_command"]


def _model_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", required=True, metavar="DIR",
                        help="a checkpoint folder: config.json, model.safetensors (or shards with "
                             "model.safetensors.index.json) and tokenizer.json")
    text = parser.add_mutually_exclusive_group(required=True)
    text.add_argument("--text", metavar="FILE", help="read the text from FILE (UTF-8)")
    text.add_argument("--prompt", metavar="TEXT", help="the text itself")


def add_eval_command(commands: Commands) -> None:
    parser = add_command(
        commands, "eval", _run_eval, help="measure what cache strategies do to a model's predictions",
        description="Run a text teacher-forced through a model with a full cache and with each "
                    "strategy, all in lockstep, and print per strategy the KL divergence of the "
                    "next-token distributions from the full cache's (mean and 95th percentile, "
                    "nats), top-1 agreement, perplexity and its change, entries held, compression "
                    "ratio and the attention-output error per layer.")
    _model_arguments(parser)
    parser.add_argument("-s", "--strategy", type=strategy_spec, action="append", metavar="SPEC",
                        help="a strategy, NAME or NAME:KEY=VALUE,..., e.g. sliding:window_size=128; "
                             "repeat for several (default: a built-in selection)")
    parser.add_argument("--max-tokens", type=count(2), default=512, metavar="N",
                        help="use at most the first N tokens of the text (default 512)")
    add_output_options(parser, "also draw KL divergence against compression ratio to PATH")


def add_capture_command(commands: Commands) -> None:
    parser = add_command(
        commands, "capture", _run_capture, help="write one attention head's queries, keys and values on a text",
        description="Decode a text with a full cache and write, for one layer and query head, the "
                    "queries and the keys and values of the key/value head it reads (as cached: "
                    "rotated), as arrays queries, keys, values of shape (tokens, head_dim) in a "
                    ".npz file that 'compare --stream' replays.")
    _model_arguments(parser)
    parser.add_argument("--layer", type=count(0), required=True, help="layer index, from 0")
    parser.add_argument("--query-head", type=count(0), required=True, help="query head index, from 0")
    parser.add_argument("--max-tokens", type=count(1), default=None, metavar="N",
                        help="use at most the first N tokens of the text (default: all)")
    parser.add_argument("output", type=output_path, metavar="OUT.npz", help="the file to write")


def _text(parser: argparse.ArgumentParser, args: argparse.Namespace) -> str:
    if args.prompt is not None:
        text: str = args.prompt
        return text
    try:
        return Path(args.text).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        parser.error(f"argument --text: {args.text} cannot be read: {exc}")


def _model(parser: argparse.ArgumentParser, folder: str) -> Model:
    from .models import load_model
    try:
        return load_model(folder)
    except (ValueError, ImportError) as exc:
        parser.error(f"argument --model: {exc}")


def _run_eval(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .models import DEFAULT_EVAL_STRATEGIES, evaluate, format_evaluation
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
    if args.json is not None:
        document = {"model": result.model, "architecture": result.architecture, "tokens": result.tokens,
                    "predictions": result.predictions, "results": evaluation_records(result)}
        write_output(parser, "--json", args.json, lambda: write_json(args.json, document))
    if args.plot is not None:
        title = f"{Path(args.model).resolve().name}, {result.tokens} tokens"
        write_output(parser, "--plot", args.plot, lambda: plot_evaluation(result, args.plot, title=title))
    return 0


def _run_capture(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .models import capture
    text = _text(parser, args)
    model = _model(parser, args.model)
    try:
        stream = capture(model, text, args.layer, args.query_head, max_tokens=args.max_tokens)
    except ValueError as exc:
        parser.error(str(exc))
    try:
        save_stream(args.output, stream)
    except OSError as exc:
        parser.error(f"argument OUT.npz: cannot write {args.output}: {exc.strerror or exc}")
    tokens, width = stream.queries.shape
    print(f"wrote {tokens} queries, keys and values of width {width} (layer {args.layer}, "
          f"query head {args.query_head}) to {args.output}")
    return 0
