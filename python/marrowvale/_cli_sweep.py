"""Command line: ``python -m marrowvale sweep``, which evaluates a grid of
models × texts × strategies into a resumable store, and ``sweep report``,
which pools a store's results per model and strategy."""

from __future__ import annotations

import argparse
import sys
from dataclasses import asdict
from pathlib import Path
from typing import TYPE_CHECKING

from ._cli_args import Commands, add_command, count, layer_strategy_choice, output_path, plot_path, write_output
from ._report import write_json

if TYPE_CHECKING:
    from .sweep import Grid

__all__ = ["add_sweep_command"]

DEFAULT_STORE = "results.sqlite"


def add_sweep_command(commands: Commands) -> None:
    parser = add_command(
        commands, "sweep", _run_sweep, help="evaluate strategies over many models and texts, resumably",
        description="Evaluate every model on every text with every strategy in lockstep (one cell per "
                    "model and text), storing each result in an SQLite file as it comes. A rerun computes "
                    "only what the store lacks. 'sweep report' pools the results over the texts.")
    parser.add_argument("--config", metavar="GRID.toml",
                        help="read the grid from a TOML file (keys models, texts, strategies, max_tokens, "
                             "ctx, limit_texts, min_tokens); options given here replace its values")
    parser.add_argument("--model", action="append", metavar="MODEL",
                        help="a GGUF file, a checkpoint folder or smollm2 (the installed reference model), as "
                             "eval --model takes it; repeat for several")
    parser.add_argument("--text", action="append", metavar="TEXT",
                        help="a text file, a folder of .txt files, or 'pydoc' (each topic of "
                             "pydoc_data.topics one text); repeat for several")
    parser.add_argument("-s", "--strategy", type=layer_strategy_choice, action="append", metavar="STRATEGY",
                        help="a strategy as eval takes it, NAME or NAME:KEY=VALUE,..., where a count may be a "
                             "share of each text (of each window with --ctx), e.g. sliding:window_size=12.5%% "
                             "or static:static_k=16,recent_k=12.5%%-16; repeat for several (default: full and "
                             "eval's selection)")
    parser.add_argument("--max-tokens", type=count(2), metavar="N", help="cut each text to N tokens (default 512)")
    parser.add_argument("--ctx", type=count(2), metavar="N",
                        help="evaluate each text as whole windows of N tokens, each from empty caches, and pool "
                             "the figures (as eval --ctx)")
    parser.add_argument("--limit-texts", type=count(1), metavar="N", help="take only the first N texts")
    parser.add_argument("--min-tokens", type=count(2), metavar="N",
                        help="refuse texts of fewer tokens, before any work (default 16)")
    parser.add_argument("--store", type=output_path, default=DEFAULT_STORE, metavar="PATH",
                        help=f"the SQLite file of results, made if missing (default {DEFAULT_STORE})")
    parser.add_argument("--backend", choices=("local", "ray"), default="local",
                        help="local: a pool of --jobs processes (default); ray: one Ray task per cell, "
                             "needs pip install 'marrowvale[ray]'")
    parser.add_argument("--jobs", type=count(1), default=1, metavar="N",
                        help="worker processes of the local backend (default 1); each loads every model it "
                             "is given once, and the cores are shared among them")
    parser.add_argument("--address", metavar="ADDRESS",
                        help="the Ray cluster to join (default: start a local Ray instance)")
    parser.add_argument("--json", type=output_path, metavar="PATH",
                        help="also write what the run did (cells, results stored before, computed, failed, "
                             "seconds) as JSON")
    reports = parser.add_subparsers(dest="sweep_command", title="subcommand", metavar="report", required=False)
    report = reports.add_parser(
        "report", help="pool a store's results per model and strategy",
        description="Print per model and strategy the mean over texts of the mean KL divergence with its "
                    "95% interval, top-1 agreement, perplexity ratio and key/value bytes held per token.")
    report.set_defaults(run=lambda args: _run_report(args, report))
    report.add_argument("--store", type=_existing_store, default=DEFAULT_STORE, metavar="PATH",
                        help=f"the SQLite file of results (default {DEFAULT_STORE})")
    report.add_argument("--markdown", action="store_true", help="print the table in Markdown (for a README)")
    report.add_argument("--json", type=output_path, metavar="PATH", help="also write every figure as JSON")
    report.add_argument("--csv", type=output_path, metavar="PATH", help="also write every figure as CSV")
    report.add_argument("--plot", type=plot_path, metavar="PATH",
                        help="also draw KL against bytes per token, one file per model (with several, the "
                             "model's name goes before the extension); needs pip install 'marrowvale[plot]'")


def _existing_store(text: str) -> str:
    if not Path(text).is_file():
        raise argparse.ArgumentTypeError(f"{text}: no such file")
    return text


def _grid(args: argparse.Namespace, parser: argparse.ArgumentParser) -> Grid:
    from .sweep import Grid, load_grid
    from .sweep._cell import default_strategies
    given = {"models": args.model, "texts": args.text, "strategies": args.strategy, "max_tokens": args.max_tokens,
             "ctx": args.ctx, "limit_texts": args.limit_texts, "min_tokens": args.min_tokens}
    try:
        if args.config is not None:
            return load_grid(args.config, **given)
        for option, value in (("--model", args.model), ("--text", args.text)):
            if value is None:
                parser.error(f"give {option} (or a grid with --config)")
        return Grid(**{**{k: v for k, v in given.items() if v is not None},
                       "strategies": args.strategy or default_strategies()})
    except (ValueError, TypeError) as exc:
        parser.error(str(exc))


def _run_sweep(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .sweep import run_sweep
    from .sweep._progress import format_duration
    grid = _grid(args, parser)
    if args.address is not None and args.backend != "ray":
        parser.error("argument --address: only the ray backend joins a cluster; add --backend ray")
    try:
        summary = run_sweep(grid, args.store, backend=args.backend, jobs=args.jobs, address=args.address,
                            progress=True)
    except (ValueError, ImportError) as exc:
        parser.error(str(exc))
    print(f"grid: {summary.cells} cells, {summary.results} results; {summary.stored} stored before this run, "
          f"{summary.computed} computed now, {summary.failed} failed; {format_duration(summary.seconds)}")
    print(f"store: {summary.store}; report: {sys.executable} -m marrowvale sweep report --store {summary.store}")
    if args.json is not None:
        document = {**asdict(summary), "store": str(summary.store)}
        write_output(parser, "--json", args.json, lambda: write_json(args.json, document))
    return 1 if summary.failed else 0


def _run_report(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    from .sweep import format_summary, plot_summaries, summarize, summary_records, write_summary_csv
    try:
        summaries = summarize(args.store)
    except ValueError as exc:
        parser.error(str(exc))
    if not summaries:
        print(f"store {args.store} holds no results")
        return 0
    print(format_summary(summaries, markdown=args.markdown))
    if args.json is not None:
        write_output(parser, "--json", args.json,
                     lambda: write_json(args.json, {"store": args.store, "results": summary_records(summaries)}))
    if args.csv is not None:
        write_output(parser, "--csv", args.csv, lambda: write_summary_csv(args.csv, summaries))
    if args.plot is not None:
        written: list[object] = []
        write_output(parser, "--plot", args.plot, lambda: written.extend(plot_summaries(summaries, args.plot)))
        if len(written) > 1:
            print("plots: " + ", ".join(map(str, written)))
    return 0
