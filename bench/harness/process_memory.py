"""What this process holds: the bytes its C heap handed out, its resident
set and the resident set's peak."""

from __future__ import annotations

import ctypes


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")]


_MALLINFO2 = getattr(ctypes.CDLL(None), "mallinfo2", None)
if _MALLINFO2 is not None:
    _MALLINFO2.restype = _MallInfo2


def heap_bytes():
    """Bytes the C heap has handed out, in-use chunks plus mmapped ones; None
    without glibc's mallinfo2."""
    if _MALLINFO2 is None:
        return None
    info = _MALLINFO2()
    return info.uordblks + info.hblkhd


def status_bytes(field):
    """A size from /proc/self/status (VmRSS, VmHWM, ...), in bytes."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


def reset_peak():
    """Sets VmHWM back to the current resident set."""
    # Writing 5 resets VmHWM to the current resident set (Linux 4.0 on).
    with open("/proc/self/clear_refs", "w") as refs:
        refs.write("5")
