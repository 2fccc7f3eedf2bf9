"""The driver of a sweep: check the grid, plan the cells the store lacks,
hand them to a backend, and store each result as it comes. Only the driver
writes the store; a result is stored whole the moment it arrives, so a run
killed at any point loses only the cells in flight, and the next run with
the same grid and store computes only what is missing."""

from __future__ import annotations

import os
import sys
import time
from collections.abc import Callable, Iterator, Mapping, Sequence
from contextlib import AbstractContextManager, ExitStack, contextmanager, nullcontext
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from .. import __version__
from ._cell import CellResult, CellTask
from ._grid import Grid
from ._local import run_local, threads_per_worker
from ._plan import Plan, make_plan
from ._progress import CellProgress
from ._ray import import_ray, ray_session, run_ray
from ._store import Store

__all__ = ["BACKENDS", "SweepSummary", "run_sweep"]

BACKENDS = ("local", "ray")

# A started backend: the cells' tasks in, their results out as they come.
Backend = Callable[[Sequence[CellTask]], Iterator[CellResult]]


@dataclass(frozen=True)
class SweepSummary:
    """What a run did. ``results`` counts the grid's results (a cell has one
    per strategy); ``stored`` those done before this run; ``computed`` and
    ``failed`` those this run stored done and failed; ``seconds`` its wall
    time from the first check to the last write."""

    store: Path
    run: int
    cells: int
    results: int
    stored: int
    computed: int
    failed: int
    seconds: float


def _check_store_path(path: Path) -> None:
    folder = path.resolve().parent
    if not folder.is_dir():
        raise ValueError(f"store {path}: the folder {folder} does not exist")
    if not os.access(path if path.exists() else folder, os.W_OK):
        raise ValueError(f"store {path}: permission denied")


def _plan(path: Path, grid: Grid, threads: int) -> tuple[Store | None, Plan]:
    """The store if there is one, checked, and the plan against it. A new
    store is made only once the grid has passed every check and the backend
    has started, so a refused run leaves no file behind."""
    _check_store_path(path)
    existing = path.exists() and path.stat().st_size > 0
    store = Store(path) if existing else None
    try:
        return store, make_plan(grid, store.statuses if store else lambda keys: {}, version=__version__,
                                threads=threads)
    except BaseException:
        if store is not None:
            store.close()
        raise


def _backend(backend: str, jobs: int, threads: int, address: str | None,
             ray_options: Mapping[str, Any] | None) -> AbstractContextManager[Backend]:
    """The backend, started: Ray is started (or joined) here, so that a
    cluster that cannot be reached is refused before the run begins."""
    if backend == "ray":
        @contextmanager
        def on_ray() -> Iterator[Backend]:
            with ray_session(threads=threads, address=address, init_options=ray_options) as ray:
                yield lambda tasks: run_ray(ray, tasks, threads)
        return on_ray()
    return nullcontext(lambda tasks: run_local(tasks, jobs, threads))


def run_sweep(grid: Grid, store: str | os.PathLike[str] = "results.sqlite", *, backend: str = "local",
              jobs: int = 1, threads: int | None = None, address: str | None = None,
              ray_options: Mapping[str, Any] | None = None, progress: bool = False) -> SweepSummary:
    """Evaluate every cell of ``grid`` that ``store`` does not hold yet.

    Parameters
    ----------
    grid : Grid
        The models, texts, strategies and settings.
    store : str or path
        The SQLite file the results go to (made if missing). A rerun with
        the same grid computes only what is missing; a failed result is
        tried again.
    backend : {"local", "ray"}
        A pool of ``jobs`` processes here, or one Ray task per cell.
    jobs : int
        Worker processes of the local backend.
    threads : int, optional
        Threads per cell (BLAS and the caches). Default: the usable cores
        shared among ``jobs`` (local), 1 (Ray).
    address : str, optional
        The Ray cluster to join; default: a local Ray instance.
    ray_options : mapping, optional
        More arguments for ``ray.init``.
    progress : bool
        Show cells done out of the total, and the time left, on standard
        error.

    Returns
    -------
    SweepSummary

    Raises
    ------
    ValueError
        Before any cell runs: an unknown backend, a bad store, a model that
        does not load, a text that cannot be read or is too short, a
        strategy that a budget makes unfit.
    ImportError
        For the ray backend without Ray, with how to install it.
    """
    start = time.monotonic()
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(BACKENDS)}, not {backend!r}")
    if isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1:
        raise ValueError(f"jobs must be a whole number of at least 1, not {jobs!r}")
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError(f"threads must be a whole number of at least 1, not {threads!r}")
    if backend == "ray":
        import_ray()
    per_cell = threads or (threads_per_worker(jobs) if backend == "local" else 1)
    path = Path(store)
    existing, plan = _plan(path, grid, per_cell)
    with ExitStack() as stack:
        if existing is not None:
            stack.enter_context(existing)
        execute = stack.enter_context(_backend(backend, jobs, per_cell, address, ray_options))
        database = existing or stack.enter_context(Store(path, create=True))
        run = database.begin_run(backend=backend, jobs=jobs, version=__version__, cells=len(plan.cells),
                                 planned=plan.results)
        computed = failed = 0
        if progress:
            print(f"sweep: {len(plan.cells)} cells ({plan.results} results) to compute; {plan.stored} results "
                  f"stored already" + (f", {plan.retried} failed before and tried again" if plan.retried else ""),
                  file=sys.stderr, flush=True)
        bar = CellProgress(len(plan.cells), enabled=progress)
        results = execute([c.task for c in plan.cells])
        try:
            for result in results:
                cell = plan.cells[result.index]
                rows = cell.rows(result, grid.settings, __version__)
                database.put_cell(run, rows)
                done = sum(row["status"] == "done" for row in rows)
                computed += done
                failed += len(rows) - done
                bar.update(f"{cell.model} × {cell.text.name}", result.seconds, result.error)
        finally:
            close = getattr(results, "close", None)
            if close is not None:
                close()  # stops the workers of a run cut short
            bar.close()
        database.end_run(run)
    return SweepSummary(path, run, plan.grid_cells, plan.grid_results, plan.stored, computed, failed,
                        time.monotonic() - start)
