"""LayerCache when memory runs out in the middle of append or extend: the
call raises MemoryError and the cache is as it was, every head in step, so
that it can still be saved and restored, and the same call succeeds once
memory is there.

Each case runs in a process of its own under an address-space limit set
just above what the process holds, with room for one head's growth but not
for every head's. The sanitizers reserve address space of their own, so the
limit means nothing under them."""

import json
import os
import subprocess
import sys

import pytest

pytestmark = pytest.mark.skipif(bool(os.environ.get("MARROWVALE_SANITIZED")),
                                reason="a sanitizer's shadow memory defeats an address-space limit")

_SCRIPT = r"""
import ctypes, json, resource, sys
import numpy as np
from marrowvale import LayerCache

# Every block of a megabyte or more is mapped and unmapped on its own, so
# that freeing one gives its address space back at once.
M_MMAP_THRESHOLD = -3
ctypes.CDLL(None).mallopt(M_MMAP_THRESHOLD, 1 << 20)
MB = 1 << 20
H, D = 2, 4096  # a key of 16 KiB: 1024 entries of a head are 16 MiB


def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no VmSize")


def observed(layer):
    return {"lengths": layer.lengths(), "stats": layer.stats(), "state": layer.to_bytes().hex()}


strategy, dtype, window, held, tokens, room = sys.argv[1], sys.argv[2], *map(int, sys.argv[3:])
rng = np.random.default_rng(5)
layer = LayerCache(H, D, 1, strategy, window_size=window, threads=1, dtype=dtype)
if held:
    layer.extend(rng.standard_normal((held, H, D), dtype=np.float32), np.ones((held, H, 1), np.float32))
keys = rng.standard_normal((tokens, H, D), dtype=np.float32)
values = np.ones((tokens, H, 1), np.float32)
call = (lambda: layer.append(keys[0], values[0])) if tokens == 1 else (lambda: layer.extend(keys, values))
room *= MB
before = observed(layer)
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + room, hard))
try:
    call()
    raised = None
except MemoryError:
    raised = "MemoryError"
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
after = observed(layer)
restored = observed(LayerCache.from_bytes(layer.to_bytes()))
restored["stats"]["nbytes"] = after["stats"]["nbytes"]  # a restored head holds no room to grow
call()
print(json.dumps({"raised": raised, "unchanged": after == before, "restores": restored == after,
                  "then": layer.lengths(), "appends": layer.stats()["total_appends"]}))
"""


# The room each case leaves lies halfway between what one head needs and
# what all need (a block of 2 MiB or more costs 2 MiB of alignment besides).
@pytest.mark.parametrize("strategy, window, held, tokens, room, lengths", [
    # Heads full to their capacity of 1024 entries: an append grows each to
    # 2048 (32 MiB, while the 16 MiB it replaces is still held).
    ("full", 0, 1024, 1, 42, [1025, 1025]),
    # Empty heads: the room set aside for 1024 appends is twice what the
    # last may find, 2046 entries (32 MiB).
    ("full", 0, 0, 1024, 51, [1024, 1024]),
    # A window of 256 needs room for 512 entries (8 MiB), whatever the
    # number of tokens.
    ("sliding", 256, 0, 1024, 15, [256, 256]),
    # A budget of 512 (the default) keeps up to 560 rows with those its
    # evictions vacated: room for 1118 (17.5 MiB).
    ("h2o", 0, 0, 1024, 27, [512, 512]),
    # A merging cache of int8 rows decodes a block of 257 keys and more to
    # compare and blend them: 4.2 MiB of working room a head, had before
    # the first append.
    ("merge:int8", 0, 0, 1, 6, [1, 1]),
])
def test_running_out_of_memory_changes_nothing(strategy, window, held, tokens, room, lengths):
    name, _, dtype = strategy.partition(":")
    arguments = [name, dtype or "float32", str(window), str(held), str(tokens), str(room)]
    run = subprocess.run([sys.executable, "-c", _SCRIPT, *arguments], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    report = json.loads(run.stdout.strip().splitlines()[-1])
    assert report["raised"] == "MemoryError"
    assert report["unchanged"] and report["restores"]
    # With memory back, the same call does what it would have done.
    assert report["then"] == lengths and report["appends"] == (held + tokens) * 2
