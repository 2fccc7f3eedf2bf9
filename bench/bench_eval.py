"""Speed of the model decoder behind ``python -m marrowvale eval``, as ratios
against its own matrix products.

The model has random weights in the shape of a small real one (hidden 576,
30 layers, 9 query heads and 3 key/value heads of 64, intermediate 1536,
vocabulary 49152, embedding tied to the output head) and decodes 256 random
tokens. Measured per token, every side taking its step for a token before
any takes the next (so a change of load falls on all alike), the minimum
over repeats:

- one run (a full cache): a decode step against its matrix products alone
  (the same products, one row each, on inputs made beforehand);
- a lockstep of the full cache and six strategies: a step against its
  stacked matrix products alone (seven rows), and against the seven runs
  one after another.

Targets: one run at most 1.3x its products; the lockstep at most 1.3x its
stacked products and at most 0.6x the seven runs one after another.

BLAS threads are 1 unless --blas-threads says otherwise (the variables are
set before NumPy loads its BLAS); with one thread, times are the processor
time of the thread, which waiting for a core on a shared machine does not
inflate, else the wall clock. OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE are
dropped for the run unless --keep-openblas-env: they slow a current NumPy.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import sys
import time
from pathlib import Path
from typing import Any

from harness.threads import OPENBLAS_PINNING, THREAD_VARIABLES

DEFAULT_OUT = Path(__file__).resolve().parent / "results" / "bench_eval.json"

SHAPE = {"hidden_size": 576, "num_hidden_layers": 30, "num_attention_heads": 9, "num_key_value_heads": 3,
         "intermediate_size": 1536, "vocab_size": 49152}
TARGET_ONE_RUN = 1.3
TARGET_LOCKSTEP = 1.3
TARGET_LOCKSTEP_VS_SEQUENTIAL = 0.6


def blas_name(np: Any) -> str:
    """The BLAS NumPy runs: threadpoolctl's report, else NumPy's build."""
    try:
        import threadpoolctl
    except ImportError:
        config = np.show_config(mode="dicts")
        blas = config.get("Build Dependencies", {}).get("blas", {})
        return f"{blas.get('name', 'unknown')} {blas.get('version', '')} (from NumPy's build; " \
               "install threadpoolctl for the kernel and threads)"
    return "; ".join(f"{e.get('internal_api')} {e.get('version')}, {e.get('architecture')} kernel, "
                     f"{e.get('num_threads')} threads" for e in threadpoolctl.threadpool_info()
                     if e.get("user_api") == "blas") or "none found"


def random_model(np: Any, layers: int) -> Any:
    from marrowvale.models import LayerWeights, Model, Weights, parse_config

    config = parse_config({"architectures": ["LlamaForCausalLM"], **SHAPE, "num_hidden_layers": layers,
                           "tie_word_embeddings": True, "rms_norm_eps": 1e-5}, "benchmark model")
    rng = np.random.default_rng(0)
    hidden, inter, d = config.hidden_size, config.intermediate_size, config.head_dim

    def weight(rows: int, cols: int) -> Any:
        return (rng.standard_normal((rows, cols), dtype=np.float32) / np.float32(np.sqrt(cols)))

    def norm() -> Any:
        return np.ones(hidden, dtype=np.float32)

    layer_weights = tuple(LayerWeights(
        input_norm=norm(), q=weight(config.num_attention_heads * d, hidden),
        k=weight(config.num_key_value_heads * d, hidden), v=weight(config.num_key_value_heads * d, hidden),
        o=weight(hidden, config.num_attention_heads * d), q_bias=None, k_bias=None, v_bias=None, o_bias=None,
        post_norm=norm(), gate=weight(inter, hidden), up=weight(inter, hidden), down=weight(hidden, inter))
        for _ in range(layers))
    embed = rng.standard_normal((config.vocab_size, hidden), dtype=np.float32)
    return Model(Path("random"), config, Weights(embed, layer_weights, norm(), embed), None)


class Products:
    """A decode step's matrix products alone, on ``rows`` stacked rows: every
    projection of every layer and the head, on inputs made beforehand."""

    def __init__(self, np: Any, model: Any, rows: int) -> None:
        config = model.config
        rng = np.random.default_rng(1)
        self.weights = model.weights
        self.x = rng.standard_normal((rows, config.hidden_size), dtype=np.float32)
        self.attended = rng.standard_normal((rows, config.num_attention_heads * config.head_dim), dtype=np.float32)
        self.gated = rng.standard_normal((rows, config.intermediate_size), dtype=np.float32)

    def step(self, token: int) -> None:
        x, attended, gated = self.x, self.attended, self.gated
        for layer in self.weights.layers:
            x @ layer.q.T, x @ layer.k.T, x @ layer.v.T, attended @ layer.o.T
            x @ layer.gate.T, x @ layer.up.T, gated @ layer.down.T
        x @ self.weights.lm_head.T


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--tokens", type=int, default=256, help="tokens decoded per run (default 256)")
    parser.add_argument("--layers", type=int, default=SHAPE["num_hidden_layers"],
                        help="layers of the model (default 30)")
    parser.add_argument("--repeat", type=int, default=2, help="repeats; the minimum counts (default 2)")
    parser.add_argument("--blas-threads", type=int, default=1,
                        help="BLAS threads (default 1; 0 leaves the library's default)")
    parser.add_argument("--keep-openblas-env", action="store_true",
                        help="keep OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE for NumPy")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"JSON output (default {DEFAULT_OUT})")
    args = parser.parse_args(argv)
    if args.tokens < 1 or args.layers < 1 or args.repeat < 1 or args.blas_threads < 0:
        parser.error("--tokens, --layers and --repeat must be at least 1, --blas-threads at least 0")

    # The environment has to be right before NumPy loads its BLAS library.
    if not args.keep_openblas_env:
        for name in OPENBLAS_PINNING:
            os.environ.pop(name, None)
    if args.blas_threads:
        for name in THREAD_VARIABLES:
            os.environ[name] = str(args.blas_threads)
    import numpy as np

    from marrowvale.models import DEFAULT_EVAL_STRATEGIES, Decoder

    strategies: list[Any] = ["full", *DEFAULT_EVAL_STRATEGIES]
    model = random_model(np, args.layers)
    tokens = [int(t) for t in np.random.default_rng(2).integers(0, SHAPE["vocab_size"], args.tokens)]
    load_before = os.getloadavg()[0]
    print(f"machine: {platform.processor() or platform.machine()}, {os.cpu_count()} cpus; "
          f"python {platform.python_version()}, numpy {np.__version__}")
    print(f"BLAS: {blas_name(np)}")
    print(f"model: {args.layers} layers, hidden 576, 9/3 heads of 64, intermediate 1536, vocabulary 49152; "
          f"{args.tokens} tokens; {len(strategies)} runs in the lockstep")

    clock = time.thread_time if args.blas_threads == 1 else time.perf_counter
    print(f"clock: {'processor time of this thread' if args.blas_threads == 1 else 'wall clock'}")
    sides: dict[str, list[float]] = {}
    for repeat in range(args.repeat):
        # Every side takes its step for a token before any side takes the
        # next token, so that a change of load falls on all of them alike.
        lockstep = Decoder(model, strategies)
        alone = [Decoder(model, [strategy]) for strategy in strategies]
        stacked, single = Products(np, model, len(strategies)), Products(np, model, 1)
        spent = dict.fromkeys(["lockstep", "stacked products", *(f"alone {i}" for i in range(len(alone))),
                               "single products"], 0.0)
        for token in tokens:
            for name, step in [("lockstep", lockstep.step), ("stacked products", stacked.step),
                               *((f"alone {i}", run.step) for i, run in enumerate(alone)),
                               ("single products", single.step)]:
                start = clock()
                step(token)
                spent[name] += clock() - start
        per_token = {name: seconds / len(tokens) for name, seconds in spent.items()}
        measured = {
            "one run (full cache)": per_token["alone 0"],
            "one run: its products alone": per_token["single products"],
            "lockstep of 7": per_token["lockstep"],
            "lockstep: its stacked products alone": per_token["stacked products"],
            "7 runs one after another": sum(per_token[f"alone {i}"] for i in range(len(alone))),
        }
        print(f"repeat {repeat + 1} of {args.repeat}", file=sys.stderr)
        for name, seconds in measured.items():
            sides.setdefault(name, []).append(seconds)
            print(f"  {name:<42} {seconds * 1e3:8.2f} ms/token", file=sys.stderr, flush=True)

    best = {name: min(times) for name, times in sides.items()}
    ratios = {
        "one run / its products": (best["one run (full cache)"] / best["one run: its products alone"],
                                   TARGET_ONE_RUN),
        "lockstep / its stacked products": (best["lockstep of 7"] / best["lockstep: its stacked products alone"],
                                            TARGET_LOCKSTEP),
        "lockstep / 7 runs one after another": (best["lockstep of 7"] / best["7 runs one after another"],
                                                TARGET_LOCKSTEP_VS_SEQUENTIAL),
    }
    print(f"\n{'per token (minimum of repeats)':<42} {'ms':>8}")
    for name, seconds in best.items():
        print(f"{name:<42} {seconds * 1e3:8.2f}")
    print(f"\n{'ratio':<42} {'value':>8}  target")
    for name, (value, target) in ratios.items():
        print(f"{name:<42} {value:8.3f}  <= {target}  {'met' if value <= target else 'MISSED'}")
    load_after = os.getloadavg()[0]
    spread = {name: max(times) / min(times) - 1.0 for name, times in sides.items()}
    print(f"\nload average {load_before:.2f} at start, {load_after:.2f} at end; largest spread between "
          f"repeats {100 * max(spread.values()):.0f}%")

    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({
        "tokens": args.tokens, "layers": args.layers, "repeat": args.repeat, "blas": blas_name(np),
        "blas_threads": args.blas_threads or "library default", "numpy": np.__version__,
        "seconds_per_token": sides, "best": best, "ratios": {k: v for k, (v, _) in ratios.items()},
        "load_average": [load_before, load_after]}, indent=2) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
