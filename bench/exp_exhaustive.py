#!/usr/bin/env python3
"""The softmax's exponential against the platform's expf on every input.

    python bench/exp_exhaustive.py [--set NAME ...] [--all-floats] [--out PATH]

Runs every kernel set the processor supports (or the named ones) over all
2^31 floats with the sign bit set and +0, the inputs attention can give the
exponential (`--all-floats` adds the 2^31 - 1 positive ones), compares each
result bit for bit with the C library's expf, and prints every mismatch
(the first 20 of each set; bench/results/exp_exhaustive.json has the count
and the first 1000).

On glibc with a processor that has FMA it must find none: the exponential is
built to give the bits of glibc's FMA build of expf. Run it again with
GLIBC_TUNABLES=glibc.cpu.hwcaps=-FMA, which makes glibc pick its build
without FMA: that build differs at exactly one non-positive input,
-0x1.f8cbb2p+5 (and at 0x1.04845ep+5 among the positive ones), and our
results do not change.

It needs the test-only module _marrowvale_kernel_probe, which
`bash scripts/test.sh` builds into the project's environment.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

import _marrowvale_kernel_probe as probe
from harness.machine import machine_info
from harness.results import default_out, write_results

CHUNK = 1 << 24
PRINTED = 20  # mismatches printed per set
KEPT = 1000  # mismatches kept per set for the JSON


def ranges(all_floats):
    """Bit-pattern ranges to check, as (first, end) pairs."""
    yield 0x80000000, 0x100000000  # every float with the sign bit set
    if all_floats:
        yield 0, 0x80000000
    else:
        yield 0, 1  # +0


def chunks(all_floats):
    """The inputs, CHUNK floats at a time."""
    for first, end in ranges(all_floats):
        for start in range(first, end, CHUNK):
            patterns = np.arange(start, min(start + CHUNK, end), dtype=np.uint64).astype(np.uint32)
            yield patterns.view(np.float32)


def check_chunk(sets, x, mismatches):
    """Adds every input of x where a set's bits differ from expf's."""
    expected = x.copy()
    probe.platform_expf(expected)
    for name in sets:
        got = x.copy()
        probe.exp_minus(name, got, 0.0)
        differ = np.flatnonzero(got.view(np.uint32) != expected.view(np.uint32))
        for index in differ:
            mismatches[name].append((float(x[index]), float(got[index]), float(expected[index])))


def run(sets, all_floats, out=sys.stdout):
    mismatches = {name: [] for name in sets}
    checked = 0
    started = time.perf_counter()
    for x in chunks(all_floats):
        check_chunk(sets, x, mismatches)
        checked += x.size
        if sys.stderr.isatty():
            print(f"\r{checked / 2**32:6.1%} of all floats, {time.perf_counter() - started:.0f} s", end="",
                  file=sys.stderr, flush=True)
    if sys.stderr.isatty():
        print(file=sys.stderr)
    seconds = time.perf_counter() - started
    print(f"GLIBC_TUNABLES={os.environ.get('GLIBC_TUNABLES', '')!r}; {checked} inputs per set "
          f"({'every float' if all_floats else 'every float with the sign bit set, and +0'}); "
          f"{seconds:.0f} s", file=out)
    for name, found in mismatches.items():
        print(f"{name}: {len(found)} mismatches", file=out)
        for x, ours, theirs in found[:PRINTED]:
            print(f"  x = {x.hex()}: ours {ours.hex()}, platform expf {theirs.hex()}", file=out)
    return mismatches, checked, seconds


def results_of(machine, all_floats, mismatches, checked, seconds):
    """Every figure of the run, as write_results takes them."""
    machine["loadavg_end"] = os.getloadavg()
    return {
        "machine": machine,
        "glibc_tunables": os.environ.get("GLIBC_TUNABLES", ""),
        "all_floats": all_floats,
        "inputs_per_set": checked,
        "seconds": seconds,
        "mismatches": {
            name: {
                "count": len(found),
                "first": [{"x": x.hex(), "ours": ours.hex(), "platform_expf": theirs.hex()}
                          for x, ours, theirs in found[:KEPT]],
            }
            for name, found in mismatches.items()
        },
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--set", action="append", dest="sets", metavar="NAME",
                        help="a kernel set to check (repeatable; default: every supported set)")
    parser.add_argument("--all-floats", action="store_true", help="also every positive float")
    out = default_out("exp_exhaustive")
    parser.add_argument("--out", type=Path, default=out, help=f"JSON output (default {out})")
    args = parser.parse_args(argv)
    supported = [name for name, _, ok in probe.built() if ok]
    sets = args.sets or supported
    for name in sets:
        if name not in supported:
            parser.error(f"kernel set {name!r} is not supported here (supported: {', '.join(supported)})")
    machine = machine_info(", ".join(sets))
    mismatches, checked, seconds = run(sets, args.all_floats)
    write_results(results_of(machine, args.all_floats, mismatches, checked, seconds), args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
