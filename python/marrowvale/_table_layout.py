"""Plain-text tables, laid out alike for ``compare`` and ``eval``: columns
padded to their widest cell, a rule under the header, error figures in one
format."""

from __future__ import annotations

from collections.abc import Sequence

__all__ = ["aligned_lines", "error_text"]


def error_text(x: float) -> str:
    """An error figure in a table: "0" when there is none, else three digits."""
    return "0" if x == 0.0 else f"{x:.2e}"


def aligned_lines(header: Sequence[str], rows: Sequence[Sequence[str]], left: int = 1) -> list[str]:
    """Columns padded to their widest cell: the first ``left`` to the left,
    the others (numbers) to the right; a rule under the header."""
    table = [list(header), *map(list, rows)]
    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    lines = ["  ".join(cell.ljust(w) if i < left else cell.rjust(w)
                       for i, (cell, w) in enumerate(zip(row, widths))).rstrip()
             for row in table]
    lines.insert(1, "  ".join("-" * w for w in widths))
    return lines
