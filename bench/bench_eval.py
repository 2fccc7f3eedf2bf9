"""Speed and memory of ``python -m marrowvale eval`` on SmolLM2-135M, side by
side in one run with two peers.

(a) the evaluator: the full cache, a sliding window of 128 and a static cache
    of 16 + 112, teacher-forced layer by layer over the first 1,024 tokens of
    the default text (the language reference's topics);
(b) three masked batched forward passes of the same model over the same
    tokens in torch (causal, and the masks of the two strategies), run by a
    peer interpreter that has torch (--peer-python), with the same threads;
(c) the token-by-token lockstep of the same three runs (``Decoder``, with
    the figures that ``evaluate`` took per token before it went layer by
    layer), over the first --lockstep-tokens tokens, scaled per token to the
    length of (a). Its cost per token grows with the position, so the
    scaling favours it.

Targets: (a) at most 1.5x (b); (c) at least 5x (a); the peak resident
memory of (a) above the interpreter's own at most the float32 weights x 1.3
plus the caches plus one chunk of activations. The peer's KL and
perplexity, computed in float64 from its own logits, are set beside (a)'s.

BLAS, LayerCache and torch threads are all --threads (default 1); times are
wall-clock seconds.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

from harness.machine import blas_info, machine_info
from harness.process_memory import reset_peak, status_bytes
from harness.results import default_out, finish
from harness.tables import fmt_ratio, print_table
from harness.threads import drop_openblas_pinning, set_blas_threads

BENCH = Path(__file__).resolve().parent
DEFAULT_OUT = default_out("bench_eval")
STRATEGIES = [{"strategy": "sliding", "window_size": 128}, {"strategy": "static", "static_k": 16, "recent_k": 112}]
TARGET_PEER = 1.5
TARGET_LOCKSTEP = 5.0
TARGET_WEIGHTS_FACTOR = 1.3
MIB = 2.0 ** 20


def weight_arrays(model: Any) -> dict[str, Any]:
    """Every float32 weight by a flat name, the tied head once."""
    w = model.weights
    arrays = {"embed": w.embed, "norm": w.norm}
    if w.lm_head is not w.embed:
        arrays["lm_head"] = w.lm_head
    for i, layer in enumerate(w.layers):
        for name in ("input_norm", "q", "k", "v", "o", "post_norm", "gate", "up", "down"):
            arrays[f"layer{i}.{name}"] = getattr(layer, name)
    return arrays


def chunk_activation_bytes(config: Any, runs: int, tokens: int) -> int:
    """What one chunk of the evaluator holds beside the weights and caches:
    every run's hidden states of the chunk, one layer's working arrays (norm,
    projections, attention, MLP), the full run's attention outputs of every
    layer (for the attention error), the scoring blocks of logits, and the
    per-position figures."""
    from marrowvale.models._evaluate import HEAD_ROWS
    from marrowvale.models._layerwise import CHUNK_TOKENS

    chunk = min(CHUNK_TOKENS, tokens)
    hidden, inter = config.hidden_size, config.intermediate_size
    q_width, kv_width = config.num_attention_heads * config.head_dim, config.num_key_value_heads * config.head_dim
    per_layer = chunk * (4 * hidden + 3 * q_width + 2 * kv_width + 3 * inter)
    kept = runs * chunk * hidden + config.num_hidden_layers * chunk * q_width
    scoring = 4 * HEAD_ROWS * config.vocab_size
    return 4 * (per_layer + kept + scoring) + 3 * 8 * runs * tokens


def run_evaluator(model: Any, tokens: list[int], threads: int) -> dict[str, Any]:
    from marrowvale.models import evaluate

    before = status_bytes("VmRSS")
    reset_peak()
    start = time.perf_counter()
    result = evaluate(model, tokens, STRATEGIES, max_tokens=None, threads=threads)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "rss_before": before, "peak": status_bytes("VmHWM"),
            "kernel_set": result.kernel_set, "token_hash": result.token_hash,
            "figures": [{"label": r.label, "kl_mean": r.kl_mean, "perplexity": r.perplexity,
                         "top1_agreement": r.top1_agreement, "kv_bytes_held": r.kv_bytes_held}
                        for r in result.results]}


def run_lockstep(model: Any, tokens: list[int]) -> dict[str, Any]:
    """Today's token-by-token loop: the stacked decode step and, per token,
    the log-softmax and KL of every run in float64."""
    import numpy as np

    from marrowvale.models import Decoder

    decoder = Decoder(model, ["full", *STRATEGIES])
    kl = np.zeros(decoder.runs)
    start = time.perf_counter()
    for t in range(len(tokens) - 1):
        z = decoder.step(tokens[t]).astype(np.float64)
        z -= z.max(axis=1, keepdims=True)
        z -= np.log(np.exp(z).sum(axis=1, keepdims=True))
        kl += (np.exp(z[0]) * (z[0] - z)).sum(axis=1)
        _ = -z[:, tokens[t + 1]], z.argmax(axis=1)
    seconds = time.perf_counter() - start
    return {"seconds": seconds, "steps": len(tokens) - 1, "seconds_per_step": seconds / (len(tokens) - 1)}


def run_peer(python: str, model: Any, tokens: list[int], threads: int, env: dict[str, str]) -> dict[str, Any]:
    import numpy as np

    config = model.config
    with tempfile.TemporaryDirectory(prefix="bench-eval-") as folder:
        for name, array in weight_arrays(model).items():
            np.save(Path(folder) / f"{name}.npy", np.ascontiguousarray(array, dtype=np.float32))
        if model.weights.lm_head is model.weights.embed:
            os.link(Path(folder) / "embed.npy", Path(folder) / "lm_head.npy")
        (Path(folder) / "config.json").write_text(json.dumps({
            "layers": config.num_hidden_layers, "heads": config.num_attention_heads,
            "kv_heads": config.num_key_value_heads, "head_dim": config.head_dim, "theta": config.rope.theta,
            "eps": config.rms_norm_eps, "tokens": tokens, "masks": [{"strategy": "full"}, *STRATEGIES]}))
        done = subprocess.run([python, str(BENCH / "eval_torch_peer.py"), folder, str(threads)], env=env,
                              capture_output=True, text=True)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"the torch peer ({python}) failed with code {done.returncode}")
    peer: dict[str, Any] = json.loads(done.stdout.strip().splitlines()[-1])
    peer["interpreter"] = python
    return peer


def evaluate_targets(results: dict[str, Any]) -> list[dict[str, Any]]:
    a = results["evaluator"]["seconds"]
    targets = []
    peer = results.get("peer")
    if peer is not None:
        ratio = a / sum(peer["seconds"])
        targets.append({"target": f"(a) at most {TARGET_PEER}x (b), torch's three masked passes",
                        "value": ratio, "met": ratio <= TARGET_PEER})
    lockstep = results["lockstep"]["seconds_per_step"] * results["predictions"]
    speedup = lockstep / a
    targets.append({"target": f"(a) at least {TARGET_LOCKSTEP}x faster than (c), the token-by-token lockstep",
                    "value": speedup, "met": speedup >= TARGET_LOCKSTEP})
    memory = results["memory"]
    targets.append({"target": "(a)'s peak memory within weights x 1.3 + caches + one chunk",
                    "value": memory["used"] / memory["bound"], "met": memory["used"] <= memory["bound"]})
    return targets


def report(results: dict[str, Any]) -> None:
    a = results["evaluator"]
    rows = [["(a) marrowvale eval, layer by layer", f"{a['seconds']:.2f} s", f"{results['threads']}"]]
    peer = results.get("peer")
    if peer is not None:
        rows.append([f"(b) torch {peer['torch']}, 3 masked passes", f"{sum(peer['seconds']):.2f} s "
                     f"({', '.join(f'{s:.2f}' for s in peer['seconds'])})", str(peer["threads"])])
    lock = results["lockstep"]
    rows.append([f"(c) lockstep, {lock['steps']} steps scaled to {results['predictions']}",
                 f"{lock['seconds_per_step'] * results['predictions']:.2f} s ({lock['seconds']:.2f} measured)",
                 str(results["threads"])])
    print_table(f"{results['predictions'] + 1} tokens of SmolLM2, full + sliding 128 + static 16+112",
                ["side", "wall time", "threads"], rows)
    memory = results["memory"]
    print_table("memory of (a), MiB", ["what", "MiB"], [[k, f"{v / MIB:.1f}"] for k, v in memory.items()])
    if peer is not None:
        print_table("figures: (a) against torch's float64 from its own logits", ["run", "KL (a)", "KL torch",
                    "PPL (a)", "PPL torch", "top-1 (a)", "top-1 torch"],
                    [[f["label"], f"{f['kl_mean']:.5f}", f"{p['kl_mean']:.5f}", f"{f['perplexity']:.4f}",
                      f"{p['perplexity']:.4f}", f"{f['top1_agreement']:.4f}", f"{p['top1_agreement']:.4f}"]
                     for f, p in zip(a["figures"], peer["figures"])])
    print_table("targets", ["target", "value", ""],
                [[t["target"], fmt_ratio(t["value"]), "met" if t["met"] else "MISSED"] for t in results["targets"]])
    machine = results["machine"]
    print(f"\nload average {machine['loadavg_start'][0]:.2f} at start, {machine['loadavg_end'][0]:.2f} at end")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--model", default="smollm2", help="what load_model takes (default smollm2)")
    parser.add_argument("--tokens", type=int, default=1024, help="tokens of the default text for (a), (b)")
    parser.add_argument("--lockstep-tokens", type=int, default=128, help="tokens for (c) (default 128)")
    parser.add_argument("--threads", type=int, default=1, help="threads of every side (default 1)")
    parser.add_argument("--peer-python", default=os.environ.get("MARROWVALE_TORCH_PYTHON"),
                        help="an interpreter with torch and NumPy for (b) (default $MARROWVALE_TORCH_PYTHON; "
                             "without one, (b) is left out)")
    parser.add_argument("--keep-openblas-env", action="store_true",
                        help="keep OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE for NumPy")
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"JSON output (default {DEFAULT_OUT})")
    args = parser.parse_args(argv)
    if args.tokens < 2 or args.lockstep_tokens < 2 or args.threads < 1:
        parser.error("--tokens and --lockstep-tokens must be at least 2, --threads at least 1")

    # The BLAS reads its thread count when NumPy loads it, so it is set first.
    if not args.keep_openblas_env:
        drop_openblas_pinning(os.environ)
    set_blas_threads(os.environ, args.threads)
    started = time.perf_counter()
    from marrowvale.models import default_text, load_model

    machine = machine_info(os.environ.get("MARROWVALE_KERNEL"))
    baseline = status_bytes("VmRSS")
    model = load_model(args.model)
    loaded = status_bytes("VmRSS")
    load_peak = status_bytes("VmHWM")
    tokens = model.encode(default_text())[:args.tokens]
    results: dict[str, Any] = {"machine": machine, "blas": blas_info(), "model": str(model.path),
                               "threads": args.threads, "predictions": len(tokens) - 1}
    print("[1/3] (a) the evaluator", file=sys.stderr, flush=True)
    results["evaluator"] = a = run_evaluator(model, tokens, args.threads)
    weights = sum(array.nbytes for array in weight_arrays(model).values())
    # A cache's lists double as they grow, so up to twice what they hold.
    caches = 2 * sum(f["kv_bytes_held"] for f in a["figures"])
    activations = chunk_activation_bytes(model.config, len(STRATEGIES) + 1, len(tokens))
    results["memory"] = {
        "interpreter and libraries (before the model)": baseline,
        "float32 weights": weights,
        "resident after loading": loaded,
        "peak while loading": load_peak,
        "peak during (a)": a["peak"],
        "used": a["peak"] - baseline,
        "bound": TARGET_WEIGHTS_FACTOR * weights + caches + activations,
        "bound: caches (twice the entries held)": caches,
        "bound: one chunk of activations": activations,
    }
    if args.peer_python:
        print("[2/3] (b) torch's masked forward passes", file=sys.stderr, flush=True)
        results["peer"] = run_peer(args.peer_python, model, tokens, args.threads, dict(os.environ))
    else:
        print("[2/3] (b) skipped: no --peer-python", file=sys.stderr, flush=True)
    print("[3/3] (c) the token-by-token lockstep", file=sys.stderr, flush=True)
    results["lockstep"] = run_lockstep(model, tokens[:args.lockstep_tokens])
    finish(results, started, evaluate_targets, report, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
