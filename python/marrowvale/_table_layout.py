"""Plain-text tables, laid out alike for ``compare``, ``eval`` and ``sweep
report``: columns padded to their widest cell, a rule under the header,
error figures in one format; or the same table in Markdown, for a README."""

from __future__ import annotations

from collections.abc import Sequence

__all__ = ["aligned_lines", "error_text", "markdown_lines"]


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


def markdown_lines(header: Sequence[str], rows: Sequence[Sequence[str]], left: int = 1) -> list[str]:
    """The same table in Markdown: cells between pipes, the first ``left``
    columns aligned to the left and the others (numbers) to the right; a
    pipe inside a cell is escaped."""

    def line(cells: Sequence[str]) -> str:
        return "| " + " | ".join(cell.replace("|", "\\|") for cell in cells) + " |"

    rule = "|" + "|".join("---" if i < left else "---:" for i in range(len(header))) + "|"
    return [line(header), rule, *map(line, rows)]
