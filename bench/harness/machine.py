"""What a run ran on: the processor, the Python, the checkout, the BLAS."""

from __future__ import annotations

import os
import platform
import subprocess
import sys
from pathlib import Path

BENCH = Path(__file__).resolve().parents[1]
# The instruction sets the kernel sets are built for, as /proc/cpuinfo names them.
CPU_FLAGS = ("sse2", "avx", "avx2", "fma", "avx512f", "avx512vl")


def machine_info(kernel):
    """The machine, the Python and the checkout; `kernel` is the kernel set
    marrowvale was told to use, or None for the best one supported."""
    info = {
        "platform": platform.platform(),
        "processor": platform.machine(),
        "python": sys.version.split()[0],
        "cpus": os.cpu_count(),
        **cpu_info(),
        "marrowvale_kernels": kernel or "best supported (MARROWVALE_KERNEL unset)",
        "loadavg_start": os.getloadavg(),
    }
    checkout = checkout_info()
    if checkout is not None:
        info["checkout"] = checkout
    return info


def cpu_info():
    """The processor's model name and which of CPU_FLAGS it has."""
    info = {"cpu": None, "cpu_flags": []}
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("model name") and info["cpu"] is None:
                    info["cpu"] = line.split(":", 1)[1].strip()
                if line.startswith("flags"):
                    flags = set(line.split(":", 1)[1].split())
                    info["cpu_flags"] = [f for f in CPU_FLAGS if f in flags]
                    break
    except OSError:
        pass
    return info


def checkout_info():
    """The commit the figures belong to, and whether src/ differs from it;
    None outside a git checkout."""
    try:
        head = subprocess.run(["git", "-C", str(BENCH), "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
        dirty = subprocess.run(
            ["git", "-C", str(BENCH.parent), "status", "--porcelain", "--", "src"], capture_output=True, text=True
        )
    except OSError:
        return None
    if head.returncode != 0:
        return None
    return head.stdout.strip() + (" (src/ has uncommitted changes)" if dirty.stdout.strip() else "")


def blas_info():
    """The BLAS libraries NumPy loaded, their kernel and threads; None
    without threadpoolctl."""
    try:
        import threadpoolctl
    except ImportError:
        return None
    return [
        {key: entry.get(key) for key in ("internal_api", "version", "architecture", "num_threads")}
        for entry in threadpoolctl.threadpool_info()
    ]
