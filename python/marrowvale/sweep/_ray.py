"""The Ray backend: one Ray task per cell, on a local Ray instance or an
existing cluster. Ray reuses its worker processes, and each keeps the model
it loaded (``run_cell`` holds it), so cells handed out by model load each
model about once per worker. Ray is the optional ``ray`` extra."""

from __future__ import annotations

import logging
from collections.abc import Iterator, Mapping, Sequence
from contextlib import contextmanager
from types import ModuleType
from typing import Any

from ._cell import CellResult, CellTask, blas_threads, run_cell
from ._local import THREAD_VARIABLES

__all__ = ["RAY_UNAVAILABLE", "import_ray", "ray_session", "run_ray"]

RAY_UNAVAILABLE = ("the ray backend needs Ray, which is not installed; "
                   "install it with: pip install 'marrowvale[ray]'")

# Cells handed to Ray ahead of those running, per slot: enough that no slot
# waits for the driver, few enough that a killed driver leaves little work.
_AHEAD = 2


def import_ray() -> ModuleType:
    """The ``ray`` module, or ImportError saying how to install it."""
    try:
        import ray
    except ImportError as exc:
        raise ImportError(RAY_UNAVAILABLE) from exc
    return ray


def _failed(task: CellTask, exc: BaseException) -> CellResult:
    return CellResult(task.index, None, f"{type(exc).__name__}: {exc}".splitlines()[0], str(exc), 0.0, "ray")


@contextmanager
def ray_session(*, threads: int = 1, address: str | None = None,
                init_options: Mapping[str, Any] | None = None) -> Iterator[ModuleType]:
    """Ray, started with ``ray.init(address=address, **init_options)``
    unless this process has started it already, and shut down at the end if
    it was started here.

    Raises ImportError without Ray, and ValueError when Ray does not start
    (a cluster that cannot be reached, say).
    """
    ray = import_ray()
    started = not ray.is_initialized()
    if started:
        options: dict[str, Any] = {"logging_level": logging.WARNING, "log_to_driver": False,
                                   **(init_options or {})}
        # Each worker's BLAS gets at most the CPUs its task holds.
        options.setdefault("runtime_env", {"env_vars": {name: str(blas_threads(threads))
                                                        for name in THREAD_VARIABLES}})
        try:
            ray.init(address=address, **options)
        except Exception as exc:  # Ray reports an unreachable cluster in several ways
            where = f" at {address}" if address else ""
            raise ValueError(f"Ray did not start{where}: {exc}") from None
    try:
        yield ray
    finally:
        if started:
            ray.shutdown()


def run_ray(ray: Any, tasks: Sequence[CellTask], threads: int = 1) -> Iterator[CellResult]:
    """Evaluate ``tasks`` as Ray tasks of ``threads`` CPUs each on the Ray
    of ``ray_session`` and yield each result as it comes; a task that Ray
    loses (its worker died) yields a failed result for its cell."""
    # A cell whose worker dies is stored as failed and tried on the next
    # run, as with the local backend, not retried here without end.
    remote = ray.remote(run_cell).options(num_cpus=threads, max_retries=0)
    slots = max(1, int(ray.cluster_resources().get("CPU", 1) // threads))
    queue = iter(tasks)
    running: dict[Any, CellTask] = {}

    def submit() -> None:
        for task in queue:
            running[remote.remote(task)] = task
            if len(running) >= slots * _AHEAD:
                return

    submit()
    try:
        while running:
            ready, _ = ray.wait(list(running), num_returns=1)
            task = running.pop(ready[0])
            try:
                result: CellResult = ray.get(ready[0])
            except Exception as exc:  # Ray's errors for a lost task or worker
                result = _failed(task, exc)
            yield result
            submit()
    finally:
        for ref in running:
            ray.cancel(ref, force=True)
