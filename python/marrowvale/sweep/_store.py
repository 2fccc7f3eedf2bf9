"""The results of a sweep in one SQLite file, which only the driver writes.

A row of ``results`` is one strategy's figures on one cell, under a key that
digests everything the figures depend on: the model file, the text, the
settings, the strategy choice and the package version. A cell's rows go in
with one transaction, so a run killed at any moment, even in the middle of
a write, leaves every cell either whole or absent. ``runs`` has a row per
run with what it set out to compute and what it computed, so the store
itself shows that no result was computed twice.
"""

from __future__ import annotations

import json
import os
import sqlite3
import time
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

__all__ = ["SCHEMA_VERSION", "Store", "StoredRow"]

# 2: the figures as the layer-by-layer evaluation names them (kv_bytes_per_token
# in place of bytes_per_token), with its quantiles, standard errors and KL by
# position.
SCHEMA_VERSION = 2
# "MVSW" in the file's header: a marrowvale sweep store, not some other
# SQLite database.
APPLICATION_ID = 0x4D565357

_SCHEMA = """
CREATE TABLE runs (
    id INTEGER PRIMARY KEY,
    started TEXT NOT NULL,
    finished TEXT,
    backend TEXT NOT NULL,
    jobs INTEGER NOT NULL,
    version TEXT NOT NULL,
    cells INTEGER NOT NULL,
    planned INTEGER NOT NULL,
    computed_cells INTEGER NOT NULL DEFAULT 0,
    done INTEGER NOT NULL DEFAULT 0,
    failed INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE results (
    key TEXT PRIMARY KEY,
    model TEXT NOT NULL,
    model_digest TEXT NOT NULL,
    text TEXT NOT NULL,
    text_source TEXT NOT NULL,
    text_digest TEXT NOT NULL,
    tokens_digest TEXT NOT NULL,
    settings TEXT NOT NULL,
    choice TEXT NOT NULL,
    label TEXT NOT NULL,
    version TEXT NOT NULL,
    status TEXT NOT NULL CHECK (status IN ('done', 'failed')),
    error TEXT,
    details TEXT,
    figures TEXT,
    seconds REAL NOT NULL,
    load_seconds REAL NOT NULL,
    worker TEXT NOT NULL,
    run INTEGER NOT NULL REFERENCES runs (id),
    attempts INTEGER NOT NULL DEFAULT 1,
    finished TEXT NOT NULL
);
"""

_COLUMNS = ("key", "model", "model_digest", "text", "text_source", "text_digest", "tokens_digest", "settings",
            "choice", "label", "version", "status", "error", "details", "figures", "seconds", "load_seconds",
            "worker", "run", "finished")

# A failed row may be replaced by a new attempt; a done one never is.
_PUT = (f"INSERT INTO results ({', '.join(_COLUMNS)}) VALUES ({', '.join('?' * len(_COLUMNS))}) "
        "ON CONFLICT (key) DO UPDATE SET "
        + ", ".join(f"{c} = excluded.{c}" for c in _COLUMNS[_COLUMNS.index("status"):])
        + ", attempts = results.attempts + 1 WHERE results.status = 'failed'")


@dataclass(frozen=True)
class StoredRow:
    """One result as the store holds it; ``figures`` is None for a failed
    one, whose ``error`` says why. ``seconds`` is the cell's evaluation time,
    ``load_seconds`` what its worker spent loading the model for it (0 when
    it held the model already). ``run`` is the run that stored it,
    ``attempts`` how many runs tried it."""

    key: str
    model: str
    model_digest: str
    text: str
    text_source: str
    text_digest: str
    tokens_digest: str
    settings: dict[str, Any]
    choice: str
    label: str
    version: str
    status: str
    error: str | None
    details: str | None
    figures: dict[str, Any] | None
    seconds: float
    load_seconds: float
    worker: str
    run: int
    attempts: int


def _now() -> str:
    return time.strftime("%Y-%m-%dT%H:%M:%S%z")


class Store:
    """A sweep store, opened (or made, with ``create``) at ``path``.

    Raises ValueError before anything is written for a path that is a
    folder, a file that is not SQLite or not a sweep store, and a store of
    another schema version.
    """

    def __init__(self, path: str | os.PathLike[str], *, create: bool = False) -> None:
        self.path = Path(path)
        if self.path.is_dir():
            raise ValueError(f"store {path}: is a folder")
        fresh = not self.path.exists() or self.path.stat().st_size == 0
        if fresh and not create:
            raise ValueError(f"store {path}: " + ("an empty file" if self.path.exists() else "no such file"))
        try:
            self._db = sqlite3.connect(self.path, isolation_level=None, timeout=30.0)
        except sqlite3.Error as exc:
            raise ValueError(f"store {path}: cannot be opened: {exc}") from None
        try:
            self._check(fresh)
        except BaseException:
            self._db.close()
            raise

    def _check(self, fresh: bool) -> None:
        try:
            application = self._db.execute("PRAGMA application_id").fetchone()[0]
            version = self._db.execute("PRAGMA user_version").fetchone()[0]
            tables = self._db.execute("SELECT count(*) FROM sqlite_schema").fetchone()[0]
        except sqlite3.DatabaseError as exc:
            raise ValueError(f"store {self.path}: not a sweep store ({exc})") from None
        if fresh or (application == 0 and tables == 0):
            self._db.executescript(f"BEGIN; {_SCHEMA} PRAGMA application_id = {APPLICATION_ID}; "
                                   f"PRAGMA user_version = {SCHEMA_VERSION}; COMMIT;")
        elif application != APPLICATION_ID:
            raise ValueError(f"store {self.path}: an SQLite database, but not a marrowvale sweep store")
        elif version != SCHEMA_VERSION:
            raise ValueError(f"store {self.path}: written with store schema version {version}, and this "
                             f"marrowvale reads version {SCHEMA_VERSION}; give another --store, or use the "
                             "marrowvale that wrote it")
        # The write-ahead log lets a report read while a sweep writes.
        self._db.execute("PRAGMA journal_mode = WAL")
        self._db.execute("PRAGMA synchronous = NORMAL")

    def close(self) -> None:
        self._db.close()

    def __enter__(self) -> Store:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def statuses(self, keys: Iterable[str]) -> dict[str, str]:
        """The status ('done' or 'failed') of each of ``keys`` that is
        stored."""
        found: dict[str, str] = {}
        wanted = list(keys)
        for start in range(0, len(wanted), 500):
            chunk = wanted[start:start + 500]
            query = f"SELECT key, status FROM results WHERE key IN ({', '.join('?' * len(chunk))})"
            found.update(self._db.execute(query, chunk).fetchall())
        return found

    def begin_run(self, *, backend: str, jobs: int, version: str, cells: int, planned: int) -> int:
        """Record the start of a run that sets out to compute ``planned``
        results in ``cells`` cells; returns its number."""
        cursor = self._db.execute(
            "INSERT INTO runs (started, backend, jobs, version, cells, planned) VALUES (?, ?, ?, ?, ?, ?)",
            (_now(), backend, jobs, version, cells, planned))
        assert cursor.lastrowid is not None
        return cursor.lastrowid

    def end_run(self, run: int) -> None:
        self._db.execute("UPDATE runs SET finished = ? WHERE id = ?", (_now(), run))

    def put_cell(self, run: int, rows: Sequence[dict[str, Any]]) -> None:
        """Store one cell's rows (dicts of the columns, ``figures`` a dict
        or None) and count them to ``run``, in one transaction.

        Raises RuntimeError, storing nothing, when a row would replace a
        result already done: that result would have been computed twice.
        """
        stamp = _now()
        done = sum(row["status"] == "done" for row in rows)
        self._db.execute("BEGIN IMMEDIATE")
        try:
            for row in rows:
                values = {**row, "run": run, "finished": stamp,
                          "settings": json.dumps(row["settings"], sort_keys=True),
                          "figures": None if row["figures"] is None else json.dumps(row["figures"])}
                if self._db.execute(_PUT, [values[c] for c in _COLUMNS]).rowcount != 1:
                    raise RuntimeError(f"result {row['key']} ({row['label']} on {row['text']}) is stored "
                                       "already, and was computed again")
            self._db.execute("UPDATE runs SET computed_cells = computed_cells + 1, done = done + ?, "
                             "failed = failed + ? WHERE id = ?", (done, len(rows) - done, run))
        except BaseException:
            self._db.execute("ROLLBACK")
            raise
        self._db.execute("COMMIT")

    def rows(self) -> Iterator[StoredRow]:
        """Every stored result, in the order stored."""
        names = (*_COLUMNS[:-1], "attempts")
        query = f"SELECT {', '.join(names)} FROM results ORDER BY rowid"
        for values in self._db.execute(query).fetchall():
            row = dict(zip(names, values))
            row["settings"] = json.loads(row["settings"])
            row["figures"] = None if row["figures"] is None else json.loads(row["figures"])
            yield StoredRow(**row)

    def runs(self) -> list[dict[str, Any]]:
        """Every run, oldest first, as a dict of the ``runs`` columns."""
        cursor = self._db.execute("SELECT * FROM runs ORDER BY id")
        names = [d[0] for d in cursor.description]
        return [dict(zip(names, values)) for values in cursor.fetchall()]
