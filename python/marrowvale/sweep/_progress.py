"""Progress of a sweep on standard error: cells done out of the total, with
the time left estimated from the cells done so far. A terminal gets a bar
(tqdm, of the eval extra); a log file a line per cell."""

from __future__ import annotations

import sys
import time
from typing import Any, TextIO

__all__ = ["CellProgress", "format_duration"]


def format_duration(seconds: float) -> str:
    """``42 s``, ``3 min 05 s`` or ``2 h 07 min``."""
    whole = int(round(seconds))
    if whole < 60:
        return f"{whole} s"
    if whole < 3600:
        return f"{whole // 60} min {whole % 60:02d} s"
    return f"{whole // 3600} h {whole % 3600 // 60:02d} min"


class CellProgress:
    """Counts cells as they finish. Shows nothing when not ``enabled``."""

    def __init__(self, total: int, *, enabled: bool, stream: TextIO | None = None) -> None:
        self.total = total
        self.done = 0
        self.failed = 0
        self.enabled = enabled and total > 0
        self.stream = stream if stream is not None else sys.stderr
        self.start = time.monotonic()
        self._bar: Any = None
        if self.enabled and self.stream.isatty():
            try:
                from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]
            except ImportError:
                pass
            else:
                self._bar = tqdm(total=total, unit="cell", file=self.stream, dynamic_ncols=True, leave=False)

    def left(self) -> float:
        """Seconds left, at the pace of the cells done so far."""
        if self.done == 0:
            return float("nan")
        return (time.monotonic() - self.start) / self.done * (self.total - self.done)

    def update(self, name: str, seconds: float, error: str | None) -> None:
        """One more cell finished: ``name`` says which, ``error`` why it
        failed (None when it did not)."""
        self.done += 1
        self.failed += error is not None
        if not self.enabled:
            return
        if self._bar is not None:
            self._bar.set_postfix_str(f"{self.failed} failed" if self.failed else "", refresh=False)
            self._bar.update(1)
            return
        status = f"failed: {error}" if error is not None else f"done in {seconds:.1f} s"
        left = "" if self.done == self.total else f"; about {format_duration(self.left())} left"
        print(f"[{self.done}/{self.total}] {name}: {status}{left}", file=self.stream, flush=True)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()
