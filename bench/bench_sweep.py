"""Speed of ``python -m marrowvale sweep``: the local backend with 2 jobs
against 1 job, and what a Ray task costs a cell on top of the cell's own
time.

The grid: ``--model`` (default ``smollm2``, the reference model, when it
loads; otherwise a model with random weights in its shape, written to a
temporary folder with a word-level tokenizer over the pydoc topics), the
first ``--texts`` pydoc topics cut to ``--max-tokens``, and the full cache
with sliding and static caches at 12.5% and 25% of each text. Each run goes
to a fresh store, so every cell is computed; the wall time of a run
includes checking the grid, starting the workers and their loading the
model, as a user's sweep does.

- Local: the grid with ``--jobs 1`` (its worker using every core) and with
  ``--jobs 2`` (each worker one core), one after the other, ``--repeat``
  times; the speed-up is the fastest 1-job run over the fastest 2-job run.
  Target: at least 1.7.
- Ray: a local Ray instance of one CPU, started before the timing (its
  start is reported apart), runs the grid one task at a time; the local
  backend with one job of one thread is its peer, run alternately. The
  overhead per cell is the difference of their wall times over the cells,
  set against the mean time of one cell (as the workers measured it).
  Target: under 5%.

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

from bench_eval import SHAPE
from harness.machine import machine_info
from harness.results import default_out, write_results
from harness.threads import drop_openblas_pinning

DEFAULT_OUT = default_out("bench_sweep")
STRATEGIES = ["full", "sliding:window_size=12.5%", "sliding:window_size=25%",
              "static:static_k=4,recent_k=12.5%-4", "static:static_k=4,recent_k=25%-4"]
TARGET_SPEEDUP = 1.7
TARGET_RAY_OVERHEAD = 0.05


def random_checkpoint(folder: Path, layers: int) -> Path:
    """A checkpoint folder in SmolLM2's shape with random weights, and a
    word-level tokenizer over the pydoc topics' words."""
    import numpy as np
    from pydoc_data.topics import topics
    from safetensors.numpy import save_file
    from tokenizers import Tokenizer, models, pre_tokenizers

    hidden, inter, vocab = SHAPE["hidden_size"], SHAPE["intermediate_size"], SHAPE["vocab_size"]
    heads, kv_heads = SHAPE["num_attention_heads"], SHAPE["num_key_value_heads"]
    d = hidden // heads
    rng = np.random.default_rng(0)

    def weight(rows: int, cols: int) -> Any:
        return rng.standard_normal((rows, cols), dtype=np.float32) / np.float32(np.sqrt(cols))

    tensors = {"model.embed_tokens.weight": weight(vocab, hidden), "model.norm.weight": np.ones(hidden, np.float32)}
    for i in range(layers):
        p = f"model.layers.{i}."
        tensors.update({p + "input_layernorm.weight": np.ones(hidden, np.float32),
                        p + "post_attention_layernorm.weight": np.ones(hidden, np.float32),
                        p + "self_attn.q_proj.weight": weight(heads * d, hidden),
                        p + "self_attn.k_proj.weight": weight(kv_heads * d, hidden),
                        p + "self_attn.v_proj.weight": weight(kv_heads * d, hidden),
                        p + "self_attn.o_proj.weight": weight(hidden, heads * d),
                        p + "mlp.gate_proj.weight": weight(inter, hidden),
                        p + "mlp.up_proj.weight": weight(inter, hidden),
                        p + "mlp.down_proj.weight": weight(hidden, inter)})
    folder.mkdir(parents=True, exist_ok=True)
    save_file(tensors, str(folder / "model.safetensors"))
    config = {"architectures": ["LlamaForCausalLM"], **SHAPE, "num_hidden_layers": layers,
              "tie_word_embeddings": True, "rms_norm_eps": 1e-5, "rope_theta": 100000.0, "hidden_act": "silu"}
    (folder / "config.json").write_text(json.dumps(config))
    words: dict[str, int] = {"<unk>": 0}
    for text in topics.values():
        for word in text.split():
            if len(words) < vocab:
                words.setdefault(word, len(words))
    tokenizer = Tokenizer(models.WordLevel(words, unk_token="<unk>"))
    tokenizer.pre_tokenizer = pre_tokenizers.WhitespaceSplit()
    tokenizer.save(str(folder / "tokenizer.json"))
    return folder


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


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default="smollm2", help="the model (default smollm2; see above)")
    parser.add_argument("--layers", type=int, default=SHAPE["num_hidden_layers"],
                        help="layers of the random model, when it is used (default 30)")
    parser.add_argument("--texts", type=int, default=4, help="pydoc topics in the grid (default 4)")
    parser.add_argument("--max-tokens", type=int, default=512, help="tokens per text (default 512)")
    parser.add_argument("--strategy", "-s", action="append", help="strategies (default: full, sliding, static)")
    parser.add_argument("--repeat", type=int, default=2, help="runs of each side (default 2)")
    parser.add_argument("--no-ray", action="store_true", help="leave out the Ray measure")
    parser.add_argument("--keep-openblas-env", action="store_true",
                        help="keep OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE for NumPy")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"JSON output (default {DEFAULT_OUT})")
    args = parser.parse_args(argv)
    if min(args.layers, args.texts, args.max_tokens, args.repeat) < 1:
        parser.error("--layers, --texts, --max-tokens and --repeat must be at least 1")
    if not args.keep_openblas_env:
        drop_openblas_pinning(os.environ)

    import numpy as np

    from marrowvale.models import load_model
    from marrowvale.sweep import Grid

    started = time.perf_counter()
    results: dict[str, Any] = {"machine": machine_info(None) | {"numpy": np.__version__},
                               "settings": vars(args) | {"out": str(args.out)}}
    with tempfile.TemporaryDirectory(prefix="bench-sweep-") as work:
        folder = Path(work)
        try:
            load_model(args.model)
            model = args.model
        except (ValueError, ImportError) as exc:
            print(f"model {args.model} does not load ({exc}); using random weights in its shape")
            model = str(random_checkpoint(folder / "model", args.layers))
        results["model"] = model
        grid = Grid([model], ["pydoc"], args.strategy or STRATEGIES, max_tokens=args.max_tokens,
                    limit_texts=args.texts, min_tokens=2)
        print(f"grid: {model} × {args.texts} pydoc topics × {len(grid.specs)} strategies, "
              f"{args.max_tokens} tokens; {args.repeat} runs of each side")

        # The first sweep also reads the model file from disk; a short one
        # takes that cost before the timing.
        timed_sweep(Grid([model], ["pydoc"], ["full"], max_tokens=8, limit_texts=1, min_tokens=2), folder, "warm-up")
        one: list[float] = []
        two: list[float] = []
        cell_times: list[float] = []
        for _ in range(args.repeat):
            seconds, cells = timed_sweep(grid, folder, "jobs1", jobs=1)
            one.append(seconds)
            cell_times += cells
            two.append(timed_sweep(grid, folder, "jobs2", jobs=2)[0])
            print(f"  local: 1 job {one[-1]:.1f} s, 2 jobs {two[-1]:.1f} s")
        speedup = min(one) / min(two)
        results["local"] = {"jobs1_seconds": one, "jobs2_seconds": two, "speedup": speedup,
                            "target": TARGET_SPEEDUP, "met": speedup >= TARGET_SPEEDUP,
                            "cell_seconds_jobs1": cell_times}
        print(f"local 2 jobs against 1: {speedup:.2f}x (target at least {TARGET_SPEEDUP}x)")

        if not args.no_ray:
            results["ray"] = ray_overhead(grid, folder, args.repeat)
    results["machine"]["loadavg_end"] = os.getloadavg()
    results["seconds"] = time.perf_counter() - started
    write_results(results, args.out)
    return 0


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
            print(f"  one core: local {local[-1]:.1f} s, ray {remote[-1]:.1f} s")
    finally:
        ray.shutdown()
    count = len(cells) // repeat
    per_cell = (min(remote) - min(local)) / count
    cell = statistics.fmean(cells)
    share = per_cell / cell
    print(f"ray: {per_cell * 1000:.0f} ms a cell over the local backend, {100 * share:.1f}% of a cell's "
          f"{cell:.2f} s (target under {100 * TARGET_RAY_OVERHEAD:.0f}%); ray.init {init_seconds:.1f} s apart")
    return {"init_seconds": init_seconds, "local_seconds": local, "ray_seconds": remote, "cells": count,
            "overhead_per_cell_seconds": per_cell, "cell_seconds_mean": cell, "overhead_share": share,
            "target": TARGET_RAY_OVERHEAD, "met": share < TARGET_RAY_OVERHEAD}


if __name__ == "__main__":
    sys.exit(main())
