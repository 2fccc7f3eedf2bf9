"""Speed of ``python -m marrowvale sweep``: the local backend with 2 jobs
against 1 job, a worker's BLAS threads, and what a Ray task costs a cell on
top of the cell's own time.

The grid: ``--model`` (default ``smollm2``, the reference model), the first
``--texts`` pydoc topics cut to ``--max-tokens``, and the reference grid's
strategies (``examples/sweep_smollm2.toml``: the full cache and six
strategies at 12.5% and 25%). Each run goes to a fresh store, so every cell
is computed; the wall time of a run includes checking the grid, starting
the workers and their loading the model, as a user's sweep does.

- Local: the grid with ``--jobs 1`` (its worker using every core) and with
  ``--jobs 2`` (each worker one core), one after the other, ``--repeat``
  times; the speed-up is the fastest 1-job run over the fastest 2-job run.
  Target: at least 1.7 on 2 cores.
- BLAS: the cells of a 1-job worker (the cores' LayerCache threads), run by
  the sweep's own cell runner in a child process whose BLAS has 1 thread
  and in one whose BLAS has 2, alternately; reported, not a target. It is
  what ``blas_threads`` in ``marrowvale/sweep/_cell.py`` was chosen by.
- Ray: a local Ray instance of one CPU, started before the timing (its
  start is reported apart), runs the grid one task at a time; the local
  backend with one job of one thread is its peer, run alternately. The
  overhead per cell is the difference of their wall times over the cells,
  set against the mean time of one cell (as the workers measured it).
  Target: under 5%.

``--quick``: 2 topics of 128 tokens, full + sliding + static at 12.5%, one
run of each side, for a look in about a minute; its figures are dominated
by starting workers and loading the model, so its targets say little.

OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE are dropped for the run unless
--keep-openblas-env: they slow a current NumPy.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from harness.child import run_json_child
from harness.machine import machine_info
from harness.results import default_out, finish
from harness.tables import fmt_ratio, print_table
from harness.threads import drop_openblas_pinning, set_blas_threads

BENCH = Path(__file__).resolve().parent
DEFAULT_OUT = default_out("bench_sweep")
REFERENCE_GRID = BENCH.parent / "examples" / "sweep_smollm2.toml"
QUICK_STRATEGIES = ["full", "sliding:window_size=12.5%", "static:static_k=4,recent_k=12.5%-4"]
TARGET_SPEEDUP = 1.7
TARGET_RAY_OVERHEAD = 0.05


def grid_of(settings: dict[str, Any]) -> Any:
    from marrowvale.sweep import Grid
    return Grid([settings["model"]], ["pydoc"], settings["strategies"], max_tokens=settings["max_tokens"],
                limit_texts=settings["texts"], min_tokens=2)


def timed_sweep(grid: Any, folder: Path, name: str, **options: Any) -> tuple[float, list[float]]:
    """Wall time of a sweep into a fresh store, and each cell's own time."""
    from marrowvale.sweep import Store, run_sweep

    store = folder / f"{name}-{time.monotonic_ns()}.sqlite"
    start = time.perf_counter()
    summary = run_sweep(grid, store, **options)
    elapsed = time.perf_counter() - start
    if summary.failed:
        raise RuntimeError(f"{summary.failed} results failed in {store}")
    with Store(store) as db:
        cells = {row.text: row.seconds for row in db.rows()}
    return elapsed, list(cells.values())


def cells_child(settings: dict[str, Any]) -> dict[str, Any]:
    """In a child process of fixed BLAS threads: the grid's cells through
    the sweep's cell runner, as a 1-job worker of ``threads`` cores runs
    them; the model's loading is left out."""
    from marrowvale.sweep._cell import run_cell
    from marrowvale.sweep._plan import make_plan

    plan = make_plan(grid_of(settings), lambda keys: {}, version="bench", threads=settings["threads"])
    results = [run_cell(cell.task) for cell in plan.cells]
    failed = [r.error for r in results if r.error]
    if failed:
        raise RuntimeError(failed[0])
    return {"seconds": [r.seconds for r in results], "blas": os.environ.get("OPENBLAS_NUM_THREADS")}


def blas_threads(settings: dict[str, Any], repeat: int) -> dict[str, Any]:
    """A 1-job worker's cells with BLAS on 1 and on 2 threads, alternately."""
    from marrowvale.sweep._local import threads_per_worker

    child = settings | {"threads": threads_per_worker(1)}
    runs: dict[str, list[float]] = {"1": [], "2": []}
    for _ in range(repeat):
        for count in runs:
            env = dict(os.environ)
            set_blas_threads(env, int(count))
            done = run_json_child(__file__, ["--cells-child", json.dumps(child)], f"cells with {count} BLAS threads",
                                  env=env)
            runs[count].append(sum(done["seconds"]))
            print(f"  {settings['texts']} cells, BLAS {count} thread(s), LayerCache {child['threads']}: "
                  f"{runs[count][-1]:.1f} s", flush=True)
    return {"layer_cache_threads": child["threads"], "seconds": runs,
            "two_over_one": min(runs["2"]) / min(runs["1"])}


def ray_overhead(grid: Any, folder: Path, repeat: int) -> dict[str, Any]:
    """Ray against the local backend, both one cell at a time on one core."""
    from marrowvale.sweep._local import THREAD_VARIABLES
    from marrowvale.sweep._ray import import_ray

    ray = import_ray()
    start = time.perf_counter()
    ray.init(num_cpus=1, log_to_driver=False, logging_level="warning",
             runtime_env={"env_vars": {name: "1" for name in THREAD_VARIABLES}})
    init_seconds = time.perf_counter() - start
    try:
        local: list[float] = []
        remote: list[float] = []
        cells: list[float] = []
        for _ in range(repeat):
            seconds, times = timed_sweep(grid, folder, "local", jobs=1, threads=1)
            local.append(seconds)
            cells += times
            remote.append(timed_sweep(grid, folder, "ray", backend="ray", threads=1)[0])
            print(f"  one core: local {local[-1]:.1f} s, ray {remote[-1]:.1f} s", flush=True)
    finally:
        ray.shutdown()
    count = len(cells) // repeat
    per_cell = (min(remote) - min(local)) / count
    cell = statistics.fmean(cells)
    return {"init_seconds": init_seconds, "local_seconds": local, "ray_seconds": remote, "cells": count,
            "overhead_per_cell_seconds": per_cell, "cell_seconds_mean": cell, "overhead_share": per_cell / cell}


def evaluate_targets(results: dict[str, Any]) -> list[dict[str, Any]]:
    speedup = results["local"]["speedup"]
    targets = [{"target": f"local, 2 jobs at least {TARGET_SPEEDUP}x as fast as 1", "value": speedup,
                "met": speedup >= TARGET_SPEEDUP}]
    ray = results.get("ray")
    if ray is not None:
        share = ray["overhead_share"]
        targets.append({"target": f"ray's cost per cell under {100 * TARGET_RAY_OVERHEAD:.0f}% of a cell",
                        "value": share, "met": share < TARGET_RAY_OVERHEAD})
    return targets


def report(results: dict[str, Any]) -> None:
    local = results["local"]
    settings = results["settings"]
    rows = [["local, 1 job", f"{min(local['jobs1_seconds']):.1f} s", ""],
            ["local, 2 jobs", f"{min(local['jobs2_seconds']):.1f} s", fmt_ratio(local["speedup"])]]
    blas = results.get("blas")
    if blas is not None:
        rows += [[f"1 job's cells, BLAS {n} thread(s)", f"{min(s):.1f} s", ""] for n, s in blas["seconds"].items()]
    ray = results.get("ray")
    if ray is not None:
        rows += [["one core, local", f"{min(ray['local_seconds']):.1f} s", ""],
                 ["one core, ray", f"{min(ray['ray_seconds']):.1f} s",
                  f"{1000 * ray['overhead_per_cell_seconds']:+.0f} ms a cell, "
                  f"{100 * ray['overhead_share']:+.1f}% of {ray['cell_seconds_mean']:.2f} s"]]
    print_table(f"{settings['model']} × {settings['texts']} pydoc topics × {len(settings['strategies'])} strategies, "
                f"{settings['max_tokens']} tokens; fastest of {settings['repeat']}", ["side", "wall time", ""], rows)
    print_table("targets", ["target", "value", ""],
                [[t["target"], fmt_ratio(t["value"]) if "ray" not in t["target"] else f"{100 * t['value']:.1f}%",
                  "met" if t["met"] else "MISSED"] for t in results["targets"]])
    machine = results["machine"]
    print(f"\nload average {machine['loadavg_start'][0]:.2f} at start, {machine['loadavg_end'][0]:.2f} at end "
          f"on {machine['cpus']} cores")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default="smollm2", help="what load_model takes (default smollm2)")
    parser.add_argument("--texts", type=int, help="pydoc topics in the grid (default 4; --quick 2)")
    parser.add_argument("--max-tokens", type=int, help="tokens per text (default 512; --quick 128)")
    parser.add_argument("--strategy", "-s", action="append",
                        help="strategies (default: the reference grid's; --quick: full, sliding, static)")
    parser.add_argument("--repeat", type=int, help="runs of each side (default 2; --quick 1)")
    parser.add_argument("--quick", action="store_true", help="a short look: see above")
    parser.add_argument("--no-blas", action="store_true", help="leave out the BLAS threads measure")
    parser.add_argument("--no-ray", action="store_true", help="leave out the Ray measure")
    parser.add_argument("--keep-openblas-env", action="store_true",
                        help="keep OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE for NumPy")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"JSON output (default {DEFAULT_OUT})")
    parser.add_argument("--cells-child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)
    if args.cells_child is not None:
        print(json.dumps(cells_child(json.loads(args.cells_child))))
        return 0
    texts = args.texts or (2 if args.quick else 4)
    max_tokens = args.max_tokens or (128 if args.quick else 512)
    repeat = args.repeat or (1 if args.quick else 2)
    if min(texts, max_tokens, repeat) < 1:
        parser.error("--texts, --max-tokens and --repeat must be at least 1")
    if not args.keep_openblas_env:
        drop_openblas_pinning(os.environ)

    from marrowvale.sweep import load_grid

    strategies = args.strategy or (QUICK_STRATEGIES if args.quick else list(load_grid(REFERENCE_GRID).strategies))
    settings = {"model": args.model, "texts": texts, "max_tokens": max_tokens, "strategies": strategies,
                "repeat": repeat, "quick": args.quick}
    started = time.perf_counter()
    results: dict[str, Any] = {"machine": machine_info(os.environ.get("MARROWVALE_KERNEL")), "settings": settings}
    grid = grid_of(settings)
    print(f"grid: {args.model} × {texts} pydoc topics × {len(grid.choices)} strategies, {max_tokens} tokens; "
          f"{repeat} runs of each side", flush=True)
    with tempfile.TemporaryDirectory(prefix="bench-sweep-") as work:
        folder = Path(work)
        # The first sweep also reads the model file from disk; a short one
        # takes that cost before the timing.
        timed_sweep(grid_of(settings | {"texts": 1, "max_tokens": 8, "strategies": ["full"]}), folder, "warm-up")
        one: list[float] = []
        two: list[float] = []
        for _ in range(repeat):
            one.append(timed_sweep(grid, folder, "jobs1", jobs=1)[0])
            two.append(timed_sweep(grid, folder, "jobs2", jobs=2)[0])
            print(f"  local: 1 job {one[-1]:.1f} s, 2 jobs {two[-1]:.1f} s", flush=True)
        results["local"] = {"jobs1_seconds": one, "jobs2_seconds": two, "speedup": min(one) / min(two)}
        if not args.no_blas:
            results["blas"] = blas_threads(settings, repeat)
        if not args.no_ray:
            results["ray"] = ray_overhead(grid, folder, repeat)
    finish(results, started, evaluate_targets, report, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
