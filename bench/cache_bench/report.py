"""The printed report of a run: the machine, then a table per case and the
targets."""

from harness.tables import fmt_pair, fmt_ratio, fmt_time, print_table, ratio

from .targets import ATTEND_BANDWIDTH_N, ATTEND_FLOOR_EXP_SECONDS

UNKNOWN_BLAS = "unknown (threadpoolctl not installed)"


def report(results):
    report_machine(results)
    report_append(results)
    report_attend(results)
    report_strategies(results)
    report_merge_passes(results)
    report_targets(results)


def report_machine(results):
    m = results["machine"]
    print(f"machine: {m['cpu']}, {m['cpus']} cpus, {' '.join(m['cpu_flags'])}; {m['platform']}")
    print(
        f"python {m['python']}, numpy {results['numpy']}; marrowvale kernels: {m['marrowvale_kernels']};"
        f" checkout {m.get('checkout', '?')}"
    )
    print(f"NumPy, 1 thread: BLAS {results['blas_1_thread'] or UNKNOWN_BLAS}")
    child = results["numpy_default_threads"]
    if "error" in child:
        print(f"NumPy, default threads: {child['error']}")
    else:
        print(f"NumPy, default threads: BLAS {child.get('blas') or UNKNOWN_BLAS}")
    print(
        f"append baseline: {results['append']['baseline']}"
        + (f" ({results['baseline_note']})" if results.get("baseline_note") else "")
    )
    load = max(m["loadavg_start"][0], m["loadavg_end"][0])
    print(f"load average at start {m['loadavg_start'][0]:.2f}, at end {m['loadavg_end'][0]:.2f}")
    if load > (m["cpus"] or 1) - 0.5:
        print(
            "  the machine was busy: times of this process are its own processor time and hold up,"
            " but NumPy with default threads is timed by the wall clock and waits for cores"
        )
    print("times are per call, min / median; ratios from the minimum")


def report_append(results):
    append = results["append"]
    base = append["references"][append["baseline"]]["min"]
    npd = results["numpy_default_threads"].get("append", {})
    rows = []
    for label, t in append["marrowvale"].items():
        one = append["numpy_1_thread"][label]["min"]
        many = npd.get(label, {}).get("min")
        rows.append(
            [
                label,
                fmt_pair(t),
                fmt_ratio(ratio(t["min"], base)),
                fmt_time(one),
                fmt_time(many),
                fmt_ratio(ratio(one, t["min"]), 1),
                fmt_ratio(ratio(many, t["min"]), 1),
            ]
        )
    print_table(
        "append(k, v), d_k = d_v = 64, steady state (a full sliding window: storage in place)",
        ["input", "marrowvale", "/ baseline", "NumPy 1 thr", "NumPy dflt", "speedup 1 thr", "speedup dflt"],
        rows,
    )
    rows = [[label, fmt_pair(t), fmt_ratio(ratio(t["min"], base))] for label, t in append["references"].items()]
    print_table("reference calls for append", ["call", "time", "/ baseline"], rows)


ATTEND_COLUMNS = [
    "n x d",
    "marrowvale",
    "NumPy 1 thr",
    "NumPy dflt",
    "speedup 1 thr",
    "speedup dflt",
    "MiB read",
    "GB/s",
    "1-core read GB/s, same size",
    "share",
    "share of memory",
    "floor",
    "floor / time",
]


def report_attend(results):
    many = {(r["n"], r["d"]): r["time"]["min"] for r in results["numpy_default_threads"].get("attend", [])}
    memory = results["memory_bandwidth"]
    rows = [attend_cells(row, many.get((row["n"], row["d"])), memory) for row in results["attend"]]
    print_table(
        "attend(q), full cache, n entries x d = d_k = d_v; GB/s: keys and values read per call / time",
        ATTEND_COLUMNS,
        rows,
    )
    bare = ", ".join(
        f"d {row['d']}: {fmt_time(row['bare_call']['min'])}" for row in results["attend"] if row.get("bare_call")
    )
    print(
        "floor: keys and values read at the same-size bandwidth + the bare call reading q and returning d floats"
        f" ({bare or 'not measured: no compiler'}) + {ATTEND_FLOOR_EXP_SECONDS * 1e9:g} ns per entry"
    )
    fixed = ", ".join(f"d {d}: {fmt_pair(t)}" for d, t in results["attend_one_entry"].items())
    print(f"attend on a cache of one entry (call, conversions, result list): {fixed}")
    print(
        f"1-core read bandwidth from main memory ({memory['bytes'] >> 20} MiB array, {memory['method']}): "
        f"{memory['gb_per_s']:.1f} GB/s"
    )


def attend_cells(row, dflt, memory):
    """One row of the attend table; dflt is NumPy's time with its default threads."""
    mine = row["marrowvale"]["min"]
    one = row["numpy_1_thread"]["min"]
    return [
        f"{row['n']:>6} x {row['d']}",
        fmt_pair(row["marrowvale"]),
        fmt_time(one),
        fmt_time(dflt),
        fmt_ratio(ratio(one, mine), 1),
        fmt_ratio(ratio(dflt, mine), 1),
        f"{row['bytes'] / 2**20:.2f}",
        f"{row['gb_per_s']:.1f}",
        f"{row['read_gb_per_s']:.1f} ({row['read_method']})",
        f"{row['gb_per_s'] / row['read_gb_per_s']:.0%}",
        f"{row['gb_per_s'] / memory['gb_per_s']:.0%}" if row["n"] >= ATTEND_BANDWIDTH_N else "-",
        fmt_time(row["floor"]),
        f"{row['floor_share']:.0%}",
    ]


def report_strategies(results):
    full = results["strategies"][0]["time"]["min"]
    rows = [
        [
            row["label"],
            fmt_pair(row["time"]),
            fmt_ratio(ratio(row["time"]["min"], full)),
            " -> ".join(map(str, row["held"])) or "-",
        ]
        for row in results["strategies"]
    ]
    print_table(
        "strategies, per append, d_k = d_v = 64, a stream of different 64-float lists",
        ["strategy", "time", "/ full", "held"],
        rows,
    )
    rows = []
    for row in results["window_scaling"]:
        params = ", ".join(f"{k} {v}" for k, v in row["params"].items())
        rows.append([f"{row['strategy']} ({params})", row["held"], row["min_static_recent"], fmt_pair(row["time"])])
    print_table("windows over large caches, per append", ["strategy", "held", "min(static_k, recent_k)", "time"], rows)


def report_merge_passes(results):
    rows = [
        [*pass_cells(f"{r['case']}, d {r['d']}", r), f"{r['ns_per_entry_and_dim']:.3f}"]
        for r in results["merge_pass"]
    ]
    print_table(
        "one merging pass, d = d_k = d_v, on a cache just filled",
        ["case", "entries", "time", "ns / entry", "ns / (entry x (d_k + d_v))"],
        rows,
    )
    rows = [
        [
            *pass_cells(f"d {r['d']}", r),
            f"{fmt_time(r['floor'])} ({r['keys_read_gb_per_s']:.0f} GB/s, {r['keys_read_method']})",
            f"{r['floor_share']:.0%}",
        ]
        for r in results["merge_pass_in_cache"]
    ]
    print_table(
        "merging passes in cache, nothing merges; floor: reading the keys once at the same-size bandwidth",
        ["d", "entries", "time", "ns / entry", "floor", "floor / time"],
        rows,
    )


def pass_cells(label, row):
    """The cells both tables of merging passes begin with."""
    return [label, row["entries"], fmt_pair(row["time"]), f"{row['ns_per_entry']:.1f}"]


def report_targets(results):
    # Three decimals, so that 0.798 against a goal of 80% does not read "0.80 MISSED".
    rows = [
        [t["target"], "-" if t["value"] is None else f"{t['value']:.3f}", t["goal"], "met" if t["met"] else "MISSED"]
        for t in results["targets"]
    ]
    print_table("targets (one run on a busy machine is a hint, not a verdict)", ["target", "value", "goal", ""], rows)
    child = results["numpy_default_threads"]
    checks = [r["matches_float64"] for r in [*results["attend"], *child.get("attend", [])] if "matches_float64" in r]
    print(f"\nattention results agree with a float64 reference: {'yes' if all(checks) else 'NO'}")
