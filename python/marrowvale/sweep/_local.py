"""The local backend: a pool of worker processes on this machine, each with
its share of the cores, each keeping the model it loaded for the next cells.

The pool is its own, not ``concurrent.futures``: the driver hands one cell
at a time to each worker, so when a worker dies it knows the one cell that
died with it, stores that cell as failed and starts another worker, and the
sweep goes on.
"""

from __future__ import annotations

import multiprocessing
import os
import signal
import threading
import time
from collections import deque
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from multiprocessing.connection import Connection, wait
from typing import Any

from ._cell import CellResult, CellTask, blas_threads, run_cell

__all__ = ["THREAD_VARIABLES", "run_local", "threads_per_worker", "usable_cores"]

# What the BLAS libraries NumPy may use read for their thread count.
THREAD_VARIABLES = ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "BLIS_NUM_THREADS",
                    "VECLIB_MAXIMUM_THREADS")

# How often a worker looks whether its driver is still there.
_ORPHAN_CHECK_SECONDS = 0.5


def usable_cores() -> int:
    """The cores this process may run on."""
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


def threads_per_worker(jobs: int) -> int:
    """Each of ``jobs`` workers' share of the cores, so that together they
    do not run more threads than there are cores."""
    return max(1, usable_cores() // jobs)


def _exit_with_driver(driver: int) -> None:
    # A driver killed outright cannot stop its workers; they stop themselves
    # rather than finish a cell nobody will store.
    while os.getppid() == driver:
        time.sleep(_ORPHAN_CHECK_SECONDS)
    os._exit(1)


def _serve(connection: Connection, driver: int) -> None:
    """A worker's loop: a cell in, its result out, until told to stop."""
    # The driver stops its workers itself; a Ctrl-C reaches the whole
    # process group, and must not end a worker mid-cell with a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    threading.Thread(target=_exit_with_driver, args=(driver,), daemon=True).start()
    while True:
        try:
            task = connection.recv()
        except EOFError:
            return
        if task is None:
            return
        try:
            connection.send(run_cell(task))
        except OSError:  # the driver is gone
            return


@contextmanager
def _environment(values: dict[str, str]) -> Iterator[None]:
    # A spawned child reads the environment at its start, before it imports
    # NumPy and its BLAS picks a thread count.
    saved = {name: os.environ.get(name) for name in values}
    os.environ.update(values)
    try:
        yield
    finally:
        for name, value in saved.items():
            if value is None:
                os.environ.pop(name, None)
            else:
                os.environ[name] = value


class _Worker:
    def __init__(self, context: Any, threads: int) -> None:
        self.connection, child = context.Pipe()
        self.process = context.Process(target=_serve, args=(child, os.getpid()), daemon=True,
                                       name="marrowvale-sweep-worker")
        with _environment({name: str(blas_threads(threads)) for name in THREAD_VARIABLES}):
            self.process.start()
        child.close()
        self.task: CellTask | None = None
        self.model: str | None = None

    def give(self, task: CellTask) -> None:
        self.task, self.model = task, task.model
        self.connection.send(task)

    def stop(self) -> None:
        if self.task is None and self.process.is_alive():
            try:
                self.connection.send(None)
            except OSError:
                pass
        else:
            # Mid-cell: its result would not be stored, so do not wait for it.
            self.process.kill()

    def close(self) -> None:
        self.process.join(timeout=10)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()
        self.connection.close()
        self.process.close()


def _death(worker: _Worker, task: CellTask) -> CellResult:
    code = worker.process.exitcode
    how = f"was killed by signal {-code}" if code is not None and code < 0 else f"exited with status {code}"
    return CellResult(task.index, None, f"the worker process {how} while evaluating this cell", None,
                      0.0, f"pid {worker.process.pid}")


class _Pool:
    """Workers and the cells not yet handed out, by model."""

    def __init__(self, tasks: Sequence[CellTask], jobs: int, threads: int) -> None:
        self.context = multiprocessing.get_context("spawn")
        self.threads = threads
        self.pending: dict[str, deque[CellTask]] = {}
        for task in tasks:
            self.pending.setdefault(task.model, deque()).append(task)
        self.workers = [_Worker(self.context, self.threads) for _ in range(min(jobs, len(tasks)))]

    def _next(self, model: str | None) -> CellTask | None:
        # The next cell of the model the worker holds, else of the first
        # model with cells left: each worker loads each model once.
        queue = self.pending.get(model) if model is not None else None
        if not queue:
            queue = next((q for q in self.pending.values() if q), None)
        return queue.popleft() if queue else None

    def replace(self, index: int) -> _Worker:
        self.workers[index].close()
        worker = self.workers[index] = _Worker(self.context, self.threads)
        return worker

    def assign(self, index: int) -> None:
        """Give worker ``index`` its next cell, if any is left."""
        worker = self.workers[index]
        task = self._next(worker.model)
        if task is None:
            return
        try:
            worker.give(task)
        except OSError:
            # It died since its last result; the cell never reached it.
            self.pending[task.model].appendleft(task)
            self.replace(index)
            self.assign(index)

    def collect(self, index: int, ready: set[Any]) -> CellResult | None:
        """Worker ``index``'s result if it has one, or a failed one for its
        cell if it died; None while it works."""
        worker = self.workers[index]
        task = worker.task
        assert task is not None
        if worker.connection in ready:
            try:
                result: CellResult = worker.connection.recv()
                worker.task = None
                return result
            except (EOFError, OSError):
                pass
        elif worker.process.sentinel not in ready:
            return None
        worker.process.join(timeout=10)
        result = _death(worker, task)
        self.replace(index)
        return result

    def close(self) -> None:
        for worker in self.workers:
            worker.stop()
        for worker in self.workers:
            worker.close()


def run_local(tasks: Sequence[CellTask], jobs: int, threads: int | None = None) -> Iterator[CellResult]:
    """Evaluate ``tasks`` on ``jobs`` worker processes of ``threads`` cores
    each (default: their share of the cores) and yield each result
    as it comes. A worker that dies yields a failed result for its cell and
    is replaced. Closing the iterator stops the workers."""
    pool = _Pool(tasks, jobs, threads or threads_per_worker(jobs))
    try:
        for index in range(len(pool.workers)):
            pool.assign(index)
        while busy := [w for w in pool.workers if w.task is not None]:
            ready = set(wait([w.connection for w in busy] + [w.process.sentinel for w in busy]))
            for index, worker in enumerate(list(pool.workers)):
                if worker.task is None:
                    continue
                result = pool.collect(index, ready)
                if result is not None:
                    yield result
                    pool.assign(index)
    finally:
        pool.close()
