"""Sweeps: many models × texts × strategies, evaluated cell by cell into a
resumable SQLite store, on a pool of local processes or on Ray.

A cell is one model on one text under one window setting, with every
strategy of the grid in lockstep. Each result is keyed by the model file's
digest, the text's digest, the settings, the strategy choice and the package
version, so a rerun computes only what is missing and a changed setting
never overwrites. ``summarize`` pools a store's results over the texts.

Evaluating needs the ``eval`` extra; the Ray backend the ``ray`` extra;
plots the ``plot`` extra.
"""

from ._grid import DEFAULT_MAX_TOKENS, DEFAULT_MIN_TOKENS, Grid, load_grid
from ._plots import plot_summaries
from ._run import BACKENDS, SweepSummary, run_sweep
from ._choices import BudgetChoice, Percent, parse_choice
from ._store import SCHEMA_VERSION, Store, StoredRow
from ._summary import StrategySummary, format_summary, summarize, summary_records, write_summary_csv
from ._texts import Text, read_texts

__all__ = [
    "BACKENDS",
    "DEFAULT_MAX_TOKENS",
    "DEFAULT_MIN_TOKENS",
    "SCHEMA_VERSION",
    "BudgetChoice",
    "Grid",
    "Percent",
    "Store",
    "StoredRow",
    "StrategySummary",
    "SweepSummary",
    "Text",
    "format_summary",
    "load_grid",
    "parse_choice",
    "plot_summaries",
    "read_texts",
    "run_sweep",
    "summarize",
    "summary_records",
    "write_summary_csv",
]

# Public classes report the module users import them from.
# (Percent is the choice grammar's Share, which reports its own module.)
for _public in (BudgetChoice, Grid, Store, StoredRow, StrategySummary, SweepSummary, Text):
    _public.__module__ = __name__
del _public
