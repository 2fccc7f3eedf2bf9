"""What this installation is and runs with, for reports and benchmark
records."""

from __future__ import annotations

from . import _layer_cache


def build_info() -> dict[str, str]:
    """How this installation was built and which kernels it runs.

    Returns
    -------
    dict of str to str
        ``version``: the package's version. ``kernel_set``: the kernels every
        computation uses, ``"scalar"``, ``"sse2"``, ``"avx2"`` or ``"avx512"``
        (the best the processor supports, or the one the ``MARROWVALE_KERNEL``
        environment variable named when the package was imported).
        ``compiler``, ``build_type`` and ``flags``: how the native modules
        were compiled.
    """
    from . import __version__  # defined once the package has finished importing

    settings = _layer_cache.build_settings()
    return {
        "version": __version__,
        "kernel_set": _layer_cache.kernel_set(),
        "compiler": settings["compiler"],
        "build_type": settings["build_type"],
        "flags": settings["flags"],
    }
