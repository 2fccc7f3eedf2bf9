"""The command-line options the cache benchmarks share."""

from __future__ import annotations

from pathlib import Path


def add_run_options(parser, out, quick_help):
    """--quick, --out (default `out`), --kernel and --keep-openblas-env."""
    parser.add_argument("--quick", action="store_true", help=quick_help)
    parser.add_argument("--out", type=Path, default=out, help=f"JSON output (default {out})")
    parser.add_argument("--kernel", help="the kernel set marrowvale uses (sets MARROWVALE_KERNEL)")
    parser.add_argument(
        "--keep-openblas-env", action="store_true", help="keep OPENBLAS_CORETYPE / OPENBLAS_L2_SIZE for NumPy"
    )
