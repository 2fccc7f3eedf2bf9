"""Measures of the process's memory and a way to keep fd 2 quiet, shared by
the leak and hostile-input tests.

Under AddressSanitizer freed memory sits in a quarantine, so the resident set
is no measure there; the sanitizer's own count of live heap bytes is, and with
PYTHONMALLOC=malloc it covers every Python object as well. Elsewhere glibc's
mallinfo2 tells the bytes in use on the C heap, where the extension's vectors
live.
"""

import contextlib
import ctypes
import os
import sys

_process = ctypes.CDLL(None)
_sanitizer_bytes = getattr(_process, "__sanitizer_get_current_allocated_bytes", None)
if _sanitizer_bytes is not None:
    _sanitizer_bytes.restype = ctypes.c_size_t
    _sanitizer_bytes.argtypes = []

# Whether this process runs under AddressSanitizer.
SANITIZED = _sanitizer_bytes is not None


class _MallInfo2(ctypes.Structure):
    _fields_ = [
        (name, ctypes.c_size_t)
        for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                     "keepcost")
    ]


_mallinfo2 = getattr(_process, "mallinfo2", None)
if _mallinfo2 is not None:
    _mallinfo2.restype = _MallInfo2
    _mallinfo2.argtypes = []


def heap_bytes():
    """Bytes in use on the C heap, or None where no allocator tells."""
    if _sanitizer_bytes is not None:
        return _sanitizer_bytes()
    if _mallinfo2 is not None:
        info = _mallinfo2()
        return info.uordblks + info.hblkhd
    return None


def rss_bytes():
    """The resident set size, or None under the sanitizer or without /proc."""
    if SANITIZED:
        return None
    try:
        with open("/proc/self/statm") as statm:
            return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
    except OSError:
        return None


@contextlib.contextmanager
def quiet_stderr():
    """Sends fd 2 and sys.stderr to /dev/null: panics write a diagnostic to
    fd 2 (and a traceback to sys.stderr when Python code raised them) on every
    call, and thousands of them would drown the log."""
    sys.stderr.flush()
    saved = os.dup(2)
    devnull = os.open(os.devnull, os.O_WRONLY)
    try:
        os.dup2(devnull, 2)
        with open(os.devnull, "w") as sink, contextlib.redirect_stderr(sink):
            yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)
        os.close(devnull)
