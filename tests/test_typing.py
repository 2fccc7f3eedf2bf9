"""The type stubs of _marrowvale and the annotations of marrowvale, checked
with mypy: the stubs against the built module, typed callers against both."""

from __future__ import annotations

import importlib.util
import os
import re
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

if importlib.util.find_spec("mypy") is None:
    pytest.skip("mypy is not installed (requirements-dev.txt installs it)", allow_module_level=True)
if os.environ.get("MARROWVALE_SANITIZED") == "1":
    # mypy is a compiled program of its own; under the preloaded sanitizer
    # runtimes it would check nothing that the ordinary run does not.
    pytest.skip("type checks do not depend on the build; the ordinary test run makes them",
                allow_module_level=True)

ROOT = Path(__file__).resolve().parent.parent

# Calls that must type-check: every kind of sequence that the cache accepts.
GOOD_CALLS = """\
import array
from marrowvale import PyKVCache, compare, synthetic_stream

cache = PyKVCache(8, 2, "sliding", window_size=4, threshold=1)
cache.append([1.0] * 8, (1, 2))
cache.append(range(8), b"ab")
cache.append(array.array("f", [0.0] * 8), [True, 2.5])
output: list[float] = cache.attend([0.5] * 8)
ratio: float = cache.stats()["compression_ratio"]
name: str = cache.stats()["strategy"]
held: int = cache.current_len()
cache.clear()
rows = compare(*synthetic_stream(16, 4, 2), strategies=["full", {"strategy": "merge", "threshold": 0.8}])
error: float = rows[1].rel_l2
"""

NUMPY_CALLS = """\
import numpy as np
import numpy.typing as npt
from marrowvale import LayerCache, PyKVCache

cache = PyKVCache(4, 2)
cache.append(np.zeros(4, dtype=np.float32), np.arange(2))

layer = LayerCache(2, 4, 3, "merge", threshold=0.8, merge_every=2, threads=None)
layer.append(np.zeros((2, 4), np.float32), [[1.0, 2.0, 3.0], (4, 5, 6)])
layer.extend(np.zeros((5, 2, 4)), [np.zeros((2, 3))] * 5)
out: npt.NDArray[np.float32] = layer.attend(np.ones((4, 4), np.float32))
layer.attend([[0.5] * 4] * 2, out=np.empty((2, 3), np.float32))
spans: npt.NDArray[np.int64] = layer.spans(-1)
held: list[int] = layer.lengths()
size: int = layer.stats()["nbytes"] + layer.stats()["per_head_size"][0]
again: LayerCache = LayerCache.from_bytes(layer.to_bytes(), threads=1).copy()
"""

# Each line must draw exactly one error.
BAD_NUMPY_CALLS = """\
import numpy as np
from marrowvale import LayerCache

layer = LayerCache(2, 4, 3)
LayerCache(2, 4, 3, "full", 512)
layer.append("abcd", [[0.0]])
layer.attend(np.ones((2, 4)), out=[[0.0]])
layer.keys(0.0)
layer.stats()["nope"]
"""

# Each line must draw exactly one error.
BAD_CALLS = """\
from marrowvale import PyKVCache, compare

cache = PyKVCache()
PyKVCache(d_k="64")
PyKVCache(threshold="0.9")
PyKVCache(size=1)
cache.append("abcd", [0.0])
cache.append([0.0])
cache.attend(5)
cache.stats()["nope"]
count: int = cache.stats()["strategy"]
cache.current_len(1)
compare([[1.0]], [[1.0]], [[1.0]], strategies=[7])
"""


def mypy(*args: str, cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-m", "mypy", *args], capture_output=True, text=True,
                          cwd=cwd, timeout=300)


@pytest.mark.parametrize("module", ["_marrowvale", "marrowvale._layer_cache"])
def test_stubtest_finds_the_stubs_consistent_with_the_built_module(tmp_path: Path, module: str) -> None:
    # Run outside the source tree, so that only the installed stubs are found.
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", module], capture_output=True,
                          text=True, cwd=tmp_path, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


def test_the_stubs_are_installed_beside_the_extension_and_marrowvale_is_typed() -> None:
    import _marrowvale
    import marrowvale
    import marrowvale._layer_cache

    assert Path(_marrowvale.__file__).with_name("_marrowvale.pyi").is_file()
    assert Path(marrowvale._layer_cache.__file__).with_name("_layer_cache.pyi").is_file()
    assert (Path(marrowvale.__file__).parent / "py.typed").is_file()


@pytest.fixture(scope="module")
def checked(tmp_path_factory: pytest.TempPathFactory) -> str:
    # One strict run over the package's source, the examples and the calls
    # above; mypy's start-up dominates, so the files share it.
    work = tmp_path_factory.mktemp("typed")
    (work / "good_calls.py").write_text(GOOD_CALLS)
    (work / "bad_calls.py").write_text(BAD_CALLS)
    files = [str(ROOT / "python" / "marrowvale"), str(ROOT / "examples" / "quickstart.py"),
             str(ROOT / "examples" / "demo.py"), "good_calls.py", "bad_calls.py"]
    if importlib.util.find_spec("numpy") is not None:
        (work / "numpy_calls.py").write_text(NUMPY_CALLS)
        (work / "bad_numpy_calls.py").write_text(BAD_NUMPY_CALLS)
        files += ["numpy_calls.py", "bad_numpy_calls.py"]
    # The cache lives in the environment, like the build directory: later
    # runs skip re-reading the standard library's and NumPy's stubs.
    cache = Path(sys.prefix) / "mypy-cache"
    done = mypy("--strict", "--no-error-summary", "--cache-dir", str(cache), *files, cwd=work)
    assert done.stderr == ""
    return done.stdout


def test_typed_package_and_examples_pass_strict_mypy(checked: str) -> None:
    others = [line for line in checked.splitlines() if not line.startswith(("bad_calls.py:", "bad_numpy_calls.py:"))]
    assert others == []


@pytest.mark.parametrize("name, source", [("bad_calls", BAD_CALLS), ("bad_numpy_calls", BAD_NUMPY_CALLS)])
def test_mypy_rejects_each_wrong_call(checked: str, name: str, source: str) -> None:
    if name == "bad_numpy_calls" and importlib.util.find_spec("numpy") is None:
        pytest.skip("NumPy is not installed")
    lines = sorted({int(m.group(1)) for m in re.finditer(rf"^{name}\.py:(\d+): error:", checked, re.M)})
    expected = [n for n, text in enumerate(source.splitlines(), start=1)
                if text and not text.startswith(("from ", "import ", "cache = ", "layer = "))]
    assert lines == expected, textwrap.indent(checked, "  ")
