"""BLAS thread settings, which must be in the environment before NumPy loads
its BLAS library: in this process's os.environ before `import numpy`, or in
a child process's environment."""

from __future__ import annotations

from collections.abc import MutableMapping

# The thread-count variables of the BLAS and OpenMP libraries NumPy may load.
THREAD_VARIABLES = (
    "OMP_NUM_THREADS",
    "OPENBLAS_NUM_THREADS",
    "MKL_NUM_THREADS",
    "BLIS_NUM_THREADS",
    "VECLIB_MAXIMUM_THREADS",
    "NUMEXPR_NUM_THREADS",
)
# OpenBLAS on this kind of machine is often pinned to an older core type by
# these, which slows NumPy.
OPENBLAS_PINNING = ("OPENBLAS_CORETYPE", "OPENBLAS_L2_SIZE")


def drop_openblas_pinning(env: MutableMapping[str, str]) -> None:
    """Lets OpenBLAS pick its kernel for the processor it runs on."""
    for name in OPENBLAS_PINNING:
        env.pop(name, None)


def set_blas_threads(env: MutableMapping[str, str], count: int) -> None:
    """Fixes every BLAS library's thread count."""
    for name in THREAD_VARIABLES:
        env[name] = str(count)


def clear_blas_threads(env: MutableMapping[str, str]) -> None:
    """Leaves every BLAS library its default thread count."""
    for name in THREAD_VARIABLES:
        env.pop(name, None)
