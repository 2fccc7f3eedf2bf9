"""What the quality benchmarks on a model share: their options (--model,
--tokens, --threads, --out) and the model and tokens those name, with the
BLAS threads set before NumPy loads its BLAS."""

from __future__ import annotations

import argparse
import os
from pathlib import Path
from typing import Any

from harness.threads import drop_openblas_pinning, set_blas_threads


def add_model_options(parser: argparse.ArgumentParser, out: Path, threads: int) -> None:
    """--model (default smollm2), --tokens (1024), --threads (``threads``; 0:
    the library's own) and --out (default ``out``)."""
    parser.add_argument("--model", default="smollm2", help="what load_model takes (default smollm2)")
    parser.add_argument("--tokens", type=int, default=1024, help="tokens of the default text (default 1024)")
    parser.add_argument("--threads", type=int, default=threads,
                        help=f"BLAS threads (default {threads}; 0: the library's own)")
    parser.add_argument("--out", type=Path, default=out, help=f"JSON output (default {out})")


def model_and_tokens(args: argparse.Namespace) -> tuple[Any, Any]:
    """The model ``args.model`` names and the first ``args.tokens`` tokens of
    the default text; the BLAS threads are set first, since loading the
    model loads NumPy."""
    drop_openblas_pinning(os.environ)
    if args.threads:
        set_blas_threads(os.environ, args.threads)
    from marrowvale.models import default_text, load_model

    model = load_model(args.model)
    return model, model.encode(default_text())[:args.tokens]
