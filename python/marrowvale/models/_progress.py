"""A progress bar on standard error for long work (tqdm, part of the eval
extra); without tqdm, or when not asked for, a counter that shows nothing."""

from __future__ import annotations

import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import Any, Protocol

__all__ = ["progress_bar"]

# Work that ends sooner never shows a bar.
DELAY_SECONDS = 3.0


class Progress(Protocol):
    def update(self, n: int = 1) -> Any: ...


class _Silent:
    def update(self, n: int = 1) -> None:
        pass


@contextmanager
def progress_bar(total: int, unit: str, *, enabled: bool) -> Iterator[Progress]:
    """A bar of ``total`` steps, shown on standard error once the work has
    taken more than a few seconds, and only when standard error is a
    terminal (a log file gets no bar)."""
    if not enabled:
        yield _Silent()
        return
    try:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
    except ImportError:
        yield _Silent()
        return
    bar = tqdm(total=total, unit=unit, file=sys.stderr, delay=DELAY_SECONDS, disable=None,
               leave=False, dynamic_ncols=True)
    try:
        yield bar
    finally:
        bar.close()
