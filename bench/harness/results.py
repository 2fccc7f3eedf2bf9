"""Where a run's figures go: every one of them, as JSON."""

from __future__ import annotations

import json
import os
import time
from pathlib import Path

RESULTS = Path(__file__).resolve().parents[1] / "results"


def default_out(script):
    """bench/results/SCRIPT.json, which git ignores."""
    return RESULTS / f"{script}.json"


def write_results(results, out):
    """Every figure of a run, as JSON; says where, and how long the run took
    when results holds its "seconds"."""
    out = Path(out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(results, indent=1) + "\n")
    took = f" in {results['seconds']:.0f} s" if "seconds" in results else ""
    print(f"\nwrote {out}{took}")


def finish(results, started, evaluate, report, out):
    """Closes a run begun at perf_counter() `started`: the load at its end,
    its targets (evaluate(results)), its length; prints report(results) and
    writes the JSON."""
    results["machine"]["loadavg_end"] = os.getloadavg()
    results["targets"] = evaluate(results)
    results["seconds"] = time.perf_counter() - started
    report(results)
    write_results(results, out)
