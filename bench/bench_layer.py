#!/usr/bin/env python3
"""Speed and memory of marrowvale.LayerCache for one layer of 32 key/value
heads and 32 query heads, next to NumPy caches and to one PyKVCache per head.

Run it with the Python into which marrowvale is installed:

    python bench/bench_layer.py [--quick] [--out PATH] [--kernel NAME]

It prints a table, checks the targets and writes every number to a JSON file
(by default bench/results/bench_layer.json).

What is measured
----------------
attend   One attend of 32 queries over 32 heads of n entries, d_k = d_v = d.
         The NumPy caches hold preallocated (H, n, d) float32 arrays K and V
         and write into a preallocated output:
           batched   np.matmul(K, q[:, :, None]), the softmax over all heads
                     at once, np.matmul(w[:, None, :], V);
           loop      per head K[h] @ q[h], its softmax, w @ V[h].
         LayerCache.attend(q, out=out) holds the same keys and values. With
         n = 512, 32 PyKVCache.attend calls with lists (one cache per head) are
         timed too, and torch's scaled_dot_product_attention if torch is
         installed.
append   One LayerCache.append of a token for 32 heads from float32 arrays,
         d = 64, on a full sliding window of 64 entries (storage in place,
         and in the processor's caches, so that the call is measured rather
         than the memory traffic of 32 heads), against one PyKVCache.append
         of two lists of 64 floats on the same kind of cache.
gqa      Grouped-query attention: 8 key/value heads, 32 queries (4 per
         head), d and n as above. LayerCache.attend of all 32 queries reads
         each head's entries once for its 4 queries; "4 calls" attends 8
         queries (one per head) 4 times, which reads every entry once per
         query, as LayerCache did before it grouped queries. The NumPy
         caches hold (8, n, d) arrays: batched matmul of the 4 queries of
         each head at once, or a loop over heads.
memory   Bytes per entry per head of a 32-head LayerCache of n entries against
         32 PyKVCache of n entries: the storage both hold by their capacity
         (the same growth, so the difference is the spans), and the heap
         growth (glibc's mallinfo2), which adds the allocator's rounding of
         each block to whole pages.

How
---
The two sides of each comparison run in one child process, timed in turn
(one run of each, then again), so that a change of load on the machine
falls on both; times are wall clock, the minimum over the runs. The
thread counts are fixed per child before NumPy loads its BLAS library:
  "1 thread"  NumPy (and torch) with one thread, LayerCache(threads=1);
  "default"   NumPy with its default threads, LayerCache(threads=2) (torch
              with 2).
OpenBLAS's OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE pinning is dropped unless
--keep-openblas-env is given, which gives NumPy its best kernel. Every
output is checked against float64 attention.
"""

import argparse
import json
import math
import os
import sys
import time
from pathlib import Path

from harness.child import run_json_child
from harness.machine import blas_info, machine_info
from harness.process_memory import heap_bytes
from harness.options import add_run_options
from harness.results import default_out, finish
from harness.tables import fmt_ratio, fmt_time, print_table
from harness.threads import clear_blas_threads, drop_openblas_pinning, set_blas_threads
from harness.timing import Timing

DEFAULT_OUT = default_out("bench_layer")
HEADS = 32
GQA_KV_HEADS = 8  # the grouped-query case: 32 queries over 8 key/value heads
SEED = 20261208

FULL = {"min_time": 0.05, "repeat": 7, "dims": [64, 128], "ns": [512, 4096, 32768], "memory_n": 16384}
QUICK = {"min_time": 0.02, "repeat": 3, "dims": [64], "ns": [512, 4096], "memory_n": 4096}

# The goals, as ratios so that they carry across machines.
DEFAULT_SPEEDUP_SMALL = 2.0  # threads=2 against NumPy's default threads, n up to 4096
DEFAULT_SPEEDUP_LARGE = 1.5  # ... at n 32768
ONE_THREAD_SPEEDUP = 1.0  # threads=1 against single-threaded NumPy, every n
PYKVCACHE_SPEEDUP = 1.5  # against 32 PyKVCache.attend calls with lists, n 512
APPEND_PYKVCACHE_FACTOR = 4.0  # one LayerCache append under this many PyKVCache appends
MEMORY_EXTRA_BYTES = 16  # per entry per head over PyKVCache


# --------------------------------------------------------------------------
# In the child processes


def numpy_batched(np, K, V, q, out, scale):
    scores = np.matmul(K, q[:, :, None])[:, :, 0]
    scores *= scale
    scores -= scores.max(axis=1, keepdims=True)
    np.exp(scores, out=scores)
    scores /= scores.sum(axis=1, keepdims=True)
    np.matmul(scores[:, None, :], V, out=out[:, None, :])


def numpy_loop(np, K, V, q, out, scale):
    for h in range(K.shape[0]):
        scores = K[h] @ q[h]
        scores *= scale
        scores -= scores.max()
        np.exp(scores, out=scores)
        scores /= scores.sum()
        np.matmul(scores, V[h], out=out[h])


def numpy_batched_groups(np, K, V, q, out, scale):
    # q: (H, G, d) -> scores (H, G, n)
    scores = np.matmul(q, K.transpose(0, 2, 1))
    scores *= scale
    scores -= scores.max(axis=2, keepdims=True)
    np.exp(scores, out=scores)
    scores /= scores.sum(axis=2, keepdims=True)
    np.matmul(scores, V, out=out)


def numpy_loop_groups(np, K, V, q, out, scale):
    for h in range(K.shape[0]):
        scores = q[h] @ K[h].T
        scores *= scale
        scores -= scores.max(axis=1, keepdims=True)
        np.exp(scores, out=scores)
        scores /= scores.sum(axis=1, keepdims=True)
        np.matmul(scores, V[h], out=out[h])


def reference(np, K, V, q):
    scores = np.einsum("hnd,hd->hn", K.astype(np.float64), q.astype(np.float64)) / math.sqrt(K.shape[2])
    weights = np.exp(scores - scores.max(axis=1, keepdims=True))
    weights /= weights.sum(axis=1, keepdims=True)
    return np.einsum("hn,hnd->hd", weights, V.astype(np.float64))


def torch_sdpa(threads):
    try:
        import torch
    except ImportError:
        return None
    torch.set_num_threads(threads)

    def run(K, V, q, out):
        result = torch.nn.functional.scaled_dot_product_attention(
            torch.from_numpy(q)[:, None, :], torch.from_numpy(K), torch.from_numpy(V))
        out[:] = result[:, 0, :].numpy()

    return run


def attend_child(config):
    import numpy as np

    from marrowvale import LayerCache, PyKVCache

    timing = Timing(config["min_time"], config["repeat"], clock=time.perf_counter)
    layer_threads = config["layer_threads"]
    sdpa = torch_sdpa(config["torch_threads"])
    rng = np.random.default_rng(SEED)
    rows = []
    gqa_rows = []
    for d in config["dims"]:
        scale = np.float32(1 / math.sqrt(d))
        for n in config["ns"]:
            K = rng.standard_normal((HEADS, n, d), dtype=np.float32)
            V = rng.standard_normal((HEADS, n, d), dtype=np.float32)
            q = rng.standard_normal((HEADS, d), dtype=np.float32)
            layer = LayerCache(HEADS, d, d, threads=layer_threads)
            for start in range(0, n, 4096):
                layer.extend(K[:, start:start + 4096].transpose(1, 0, 2), V[:, start:start + 4096].transpose(1, 0, 2))
            outs = {name: np.empty((HEADS, d), np.float32) for name in ("layer", "batched", "loop", "torch", "py")}
            namespace = {"np": np, "K": K, "V": V, "q": q, "scale": scale, "layer": layer, "outs": outs,
                         "batched": numpy_batched, "loop": numpy_loop, "sdpa": sdpa}
            entries = {
                "layer": ("layer.attend(q, out=outs['layer'])", namespace, "pass"),
                "numpy_batched": ("batched(np, K, V, q, outs['batched'], scale)", namespace, "pass"),
                "numpy_loop": ("loop(np, K, V, q, outs['loop'], scale)", namespace, "pass"),
            }
            if sdpa is not None:
                entries["torch"] = ("sdpa(K, V, q, outs['torch'])", namespace, "pass")
            if config["pykvcache"] and n == 512:
                caches = [PyKVCache(d, d) for _ in range(HEADS)]
                for h, cache in enumerate(caches):
                    for k, v in zip(K[h].tolist(), V[h].tolist()):
                        cache.append(k, v)
                namespace.update(caches=caches, qlists=q.tolist())
                entries["pykvcache"] = ("[c.attend(x) for c, x in zip(caches, qlists)]", namespace, "pass")
            times = timing.compare(entries)
            exact = reference(np, K, V, q)
            for name, out in outs.items():
                if name == "py" or (name == "torch" and sdpa is None):
                    continue
                if not np.allclose(out, exact, rtol=1e-3, atol=1e-5):
                    raise AssertionError(f"{name} computed a wrong attention at n={n}, d={d}")
            rows.append({"n": n, "d": d, "times": times})
            del layer, K, V
            gqa_rows.append(gqa_times(np, timing, LayerCache, rng, n, d, scale, layer_threads))
    result = {"attend": rows, "gqa": gqa_rows, "blas": blas_info(), "numpy": np.__version__}
    if config["append"]:
        result["append"] = append_times(np, timing, LayerCache, PyKVCache)
    return result


def gqa_times(np, timing, LayerCache, rng, n, d, scale, layer_threads):
    """8 key/value heads and 32 queries, 4 per head."""
    kv_heads, group = GQA_KV_HEADS, HEADS // GQA_KV_HEADS
    K = rng.standard_normal((kv_heads, n, d), dtype=np.float32)
    V = rng.standard_normal((kv_heads, n, d), dtype=np.float32)
    q = rng.standard_normal((kv_heads, group, d), dtype=np.float32)
    layer = LayerCache(kv_heads, d, d, threads=layer_threads)
    for start in range(0, n, 4096):
        layer.extend(K[:, start:start + 4096].transpose(1, 0, 2), V[:, start:start + 4096].transpose(1, 0, 2))
    flat = q.reshape(HEADS, d)
    # Query j of head h in call j: one query per head per call.
    singles = [np.ascontiguousarray(q[:, j]) for j in range(group)]
    outs = {name: np.empty((kv_heads, group, d), np.float32) for name in ("layer", "batched", "loop")}
    single_outs = [np.empty((kv_heads, d), np.float32) for _ in range(group)]
    namespace = {"np": np, "K": K, "V": V, "q": q, "flat": flat, "scale": scale, "layer": layer, "outs": outs,
                 "singles": singles, "single_outs": single_outs, "layer_out": outs["layer"].reshape(HEADS, d),
                 "batched": numpy_batched_groups, "loop": numpy_loop_groups}
    times = timing.compare({
        "layer": ("layer.attend(flat, out=layer_out)", namespace, "pass"),
        "layer_per_query": ("for x, o in zip(singles, single_outs): layer.attend(x, out=o)", namespace, "pass"),
        "numpy_batched": ("batched(np, K, V, q, outs['batched'], scale)", namespace, "pass"),
        "numpy_loop": ("loop(np, K, V, q, outs['loop'], scale)", namespace, "pass"),
    })
    exact = reference(np, np.repeat(K, group, axis=0), np.repeat(V, group, axis=0), flat)
    grouped = outs["layer"].reshape(HEADS, d)
    if not np.array_equal(np.stack(single_outs, axis=1).reshape(HEADS, d).view(np.uint32), grouped.view(np.uint32)):
        raise AssertionError(f"grouped attention differs from one query per call at n={n}, d={d}")
    for name in ("layer", "batched", "loop"):
        if not np.allclose(outs[name].reshape(HEADS, d), exact, rtol=1e-3, atol=1e-5):
            raise AssertionError(f"{name} computed a wrong grouped attention at n={n}, d={d}")
    return {"n": n, "d": d, "kv_heads": kv_heads, "times": times}


def append_times(np, timing, LayerCache, PyKVCache):
    rng = np.random.default_rng(SEED)
    layer = LayerCache(HEADS, 64, 64, "sliding", window_size=64, threads=1)
    single = PyKVCache(64, 64, "sliding", window_size=64)
    k = rng.standard_normal((HEADS, 64), dtype=np.float32)
    v = rng.standard_normal((HEADS, 64), dtype=np.float32)
    k_list, v_list = k[0].tolist(), v[0].tolist()
    for _ in range(256):  # full windows: each append stores in place
        layer.append(k, v)
        single.append(k_list, v_list)
    namespace = {"layer": layer, "single": single, "k": k, "v": v, "kl": k_list, "vl": v_list}
    return timing.compare({
        "layer": ("layer.append(k, v)", namespace, "pass"),
        "pykvcache": ("single.append(kl, vl)", namespace, "pass"),
    })


def memory_child(config):
    import numpy as np

    from marrowvale import LayerCache, PyKVCache

    n, d = config["memory_n"], 64
    rng = np.random.default_rng(SEED)
    K = rng.standard_normal((n, HEADS, d), dtype=np.float32)
    rows = K[:, 0].tolist()
    before = heap_bytes()
    layer = LayerCache(HEADS, d, d)
    layer.extend(K, K)
    layer_bytes = heap_bytes() - before
    nbytes = layer.stats()["nbytes"]
    del layer
    before = heap_bytes()
    caches = [PyKVCache(d, d) for _ in range(HEADS)]
    for cache in caches:
        for row in rows:
            cache.append(row, row)
    single_bytes = heap_bytes() - before
    per = HEADS * n
    # The capacity both grew to: the first of 16 rows times a power of two
    # that holds n.
    capacity = 16
    while capacity < n:
        capacity *= 2
    return {"n": n, "d": d, "layer": layer_bytes / per, "layer_nbytes": nbytes / per, "pykvcache": single_bytes / per,
            "pykvcache_storage": HEADS * capacity * 2 * d * 4 / per}


# --------------------------------------------------------------------------
# In the parent


def run_child(kind, config, env):
    return run_json_child(Path(__file__).resolve(), ["--child", kind, json.dumps(config)], f"{kind} child", env)


def best_numpy(times):
    return min(times["numpy_batched"]["min"], times["numpy_loop"]["min"])


def evaluate(results):
    checks = []

    def target(name, value, goal):
        checks.append({"target": name, "value": value, "goal": goal, "met": value >= goal})

    for side, goal_of in (("default", lambda n: DEFAULT_SPEEDUP_SMALL if n <= 4096 else DEFAULT_SPEEDUP_LARGE),
                          ("one", lambda n: ONE_THREAD_SPEEDUP)):
        for row in results[side]["attend"]:
            times = row["times"]
            label = "threads=2 vs NumPy default threads" if side == "default" else "threads=1 vs NumPy 1 thread"
            target(f"attend {label}, n={row['n']} d={row['d']}", best_numpy(times) / times["layer"]["min"],
                   goal_of(row["n"]))
            if "pykvcache" in times:
                target(f"attend threads=1 vs 32 PyKVCache.attend with lists, n={row['n']} d={row['d']}",
                       times["pykvcache"]["min"] / times["layer"]["min"], PYKVCACHE_SPEEDUP)
    append = results["one"]["append"]
    appends = append["layer"]["min"] / append["pykvcache"]["min"]
    checks.append({"target": f"append of 32 heads (arrays), in PyKVCache appends of lists (under "
                             f"{APPEND_PYKVCACHE_FACTOR:g})",
                   "value": appends, "goal": APPEND_PYKVCACHE_FACTOR, "met": appends < APPEND_PYKVCACHE_FACTOR})
    memory = results["memory"]
    extra = memory["layer_nbytes"] - memory["pykvcache_storage"]
    checks.append({"target": f"storage per entry per head over PyKVCache, bytes (at most {MEMORY_EXTRA_BYTES})",
                   "value": extra, "goal": MEMORY_EXTRA_BYTES, "met": extra <= MEMORY_EXTRA_BYTES})
    return checks


SIDES = (("one", "1 thread: NumPy 1 thread, LayerCache threads=1"),
         ("default", "default: NumPy default threads, LayerCache threads=2"))


def report(results):
    machine = results["machine"]
    print(f"machine: {machine['cpu']}, {machine['cpus']} cpus, {' '.join(machine['cpu_flags'])}; {machine['platform']}")
    print(f"python {machine['python']}, numpy {results['one']['numpy']}; checkout {machine.get('checkout', '?')}")
    print(f"load average at start {machine['loadavg_start'][0]:.2f}, at end {machine['loadavg_end'][0]:.2f}")
    print("wall clock per call, minimum over runs (median in the JSON); ratios: the other side's time over LayerCache's")
    def attend_cells(row, t, layer):
        return [fmt_time(t["numpy_batched"]["min"]), fmt_time(t["numpy_loop"]["min"]), fmt_ratio(best_numpy(t) / layer),
                fmt_time(t["torch"]["min"]) if "torch" in t else "-",
                fmt_ratio(t["pykvcache"]["min"] / layer) if "pykvcache" in t else "-"]

    def gqa_cells(row, t, layer):
        return [fmt_time(t["layer_per_query"]["min"]), fmt_ratio(t["layer_per_query"]["min"] / layer),
                fmt_time(t["numpy_batched"]["min"]), fmt_time(t["numpy_loop"]["min"]), fmt_ratio(best_numpy(t) / layer)]

    tables = (
        ("attend", "attend, 32 heads", ["NumPy batched", "NumPy loop", "speedup", "torch sdpa", "vs 32 PyKVCache"],
         attend_cells),
        ("gqa", f"grouped-query attend, {GQA_KV_HEADS} kv heads x {HEADS // GQA_KV_HEADS} queries",
         ["4 calls", "grouping gains", "NumPy batched", "NumPy loop", "speedup"], gqa_cells),
    )
    for key, heading, columns, cells in tables:
        for side, title in SIDES:
            rows = []
            for row in results[side][key]:
                t = row["times"]
                layer = t["layer"]["min"]
                rows.append([f"n={row['n']} d={row['d']}", fmt_time(layer), *cells(row, t, layer)])
            print_table(f"{heading}, {title}", ["size", "LayerCache", *columns], rows)
    append = results["one"]["append"]
    print_table("append, one token for 32 heads, d=64", ["call", "time"], [
        ["LayerCache.append(k, v), float32 (32, 64) arrays", fmt_time(append["layer"]["min"])],
        ["PyKVCache.append(k, v), lists of 64 floats", fmt_time(append["pykvcache"]["min"])],
        ["LayerCache.append in PyKVCache appends", f"{append['layer']['min'] / append['pykvcache']['min']:.2f}"],
    ])
    memory = results["memory"]
    print_table(f"memory per entry per head, n={memory['n']}, d={memory['d']}", ["cache", "storage", "heap growth"], [
        ["LayerCache", f"{memory['layer_nbytes']:.1f}", f"{memory['layer']:.1f}"],
        ["PyKVCache", f"{memory['pykvcache_storage']:.1f}", f"{memory['pykvcache']:.1f}"],
    ])
    # Three decimals, so that 0.997 against a goal of 1.0 does not read "1.00 NO".
    print_table("targets", ["target", "value", "goal", "met"],
                [[c["target"], f"{c['value']:.3f}", f"{c['goal']}", "yes" if c["met"] else "NO"]
                 for c in results["targets"]])


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_run_options(parser, DEFAULT_OUT, "fewer sizes and runs")
    parser.add_argument("--child", nargs=2, metavar=("KIND", "CONFIG"), help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child is not None:
        kind, config = args.child[0], json.loads(args.child[1])
        json.dump(memory_child(config) if kind == "memory" else attend_child(config), sys.stdout)
        return 0

    env = dict(os.environ)
    if not args.keep_openblas_env:
        drop_openblas_pinning(env)
    if args.kernel:
        env["MARROWVALE_KERNEL"] = args.kernel
    one_thread, default = dict(env), dict(env)
    set_blas_threads(one_thread, 1)
    clear_blas_threads(default)
    cfg = QUICK if args.quick else FULL
    started = time.perf_counter()
    results = {"mode": "quick" if args.quick else "full", "config": cfg,
               "machine": machine_info(env.get("MARROWVALE_KERNEL"))}
    common = {key: cfg[key] for key in ("min_time", "repeat", "dims", "ns")}
    print("[1/3] 1 thread", file=sys.stderr, flush=True)
    results["one"] = run_child("attend", dict(common, layer_threads=1, torch_threads=1, pykvcache=True, append=True),
                               one_thread)
    print("[2/3] default threads", file=sys.stderr, flush=True)
    results["default"] = run_child("attend", dict(common, layer_threads=2, torch_threads=2, pykvcache=False,
                                                  append=False), default)
    print("[3/3] memory", file=sys.stderr, flush=True)
    results["memory"] = run_child("memory", {"memory_n": cfg["memory_n"]}, one_thread)
    finish(results, started, evaluate, report, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
