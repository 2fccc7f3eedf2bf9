"""The printed report: times, ratios and aligned tables."""

from __future__ import annotations


def fmt_time(seconds):
    if seconds is None:
        return "-"
    if seconds < 1e-6:
        return f"{seconds * 1e9:.0f} ns"
    if seconds < 1e-3:
        return f"{seconds * 1e6:.2f} us"
    if seconds < 1:
        return f"{seconds * 1e3:.2f} ms"
    return f"{seconds:.2f} s"


def fmt_pair(result):
    """A measurement as "minimum / median"."""
    return f"{fmt_time(result['min'])} / {fmt_time(result['median'])}"


def fmt_ratio(value, digits=2):
    return "-" if value is None else f"{value:.{digits}f}x"


def ratio(numerator, denominator):
    """numerator / denominator, None where either is missing."""
    if numerator is None or denominator is None or denominator <= 0:
        return None
    return numerator / denominator


def print_table(title, header, rows):
    """The first column left-aligned, the others right-aligned."""
    print()
    print(f"== {title}")
    widths = [max(len(str(cell)) for cell in column) for column in zip(header, *rows)]
    for index, line in enumerate([header, *rows]):
        cells = [str(c).ljust(w) if n == 0 else str(c).rjust(w) for n, (c, w) in enumerate(zip(line, widths))]
        print("  ".join(cells).rstrip())
        if index == 0:
            print("  ".join("-" * w for w in widths))
