"""The tensors of a checkpoint folder: ``model.safetensors``, or shards listed
in ``model.safetensors.index.json``, read as float32.

The safetensors library opens and checks each file (header size, offsets
inside the file, sizes that match shapes) and names each tensor's type and
shape. Its NumPy tensors are copies, and it has none for bfloat16, which
NumPy lacks; so the bytes are taken here from one read-only mapping of the
file, after the same checks. A float32 tensor stays a view of the mapping;
float16 and bfloat16 are widened once, exactly: a bfloat16 is the upper half
of the float32 of the same value.
"""

from __future__ import annotations

import json
import mmap
import os
from contextlib import ExitStack
from pathlib import Path
from types import TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt

__all__ = ["Checkpoint", "INDEX_FILE", "SINGLE_FILE"]

SINGLE_FILE = "model.safetensors"
INDEX_FILE = "model.safetensors.index.json"

_EVAL_EXTRA = "install it with: pip install 'marrowvale[eval]'"

# Bytes per value of the stored types that widen exactly to float32.
_WIDTHS = {"F32": 4, "F16": 2, "BF16": 2}


def _safe_open() -> Any:
    try:
        from safetensors import safe_open
    except ImportError as exc:
        raise ImportError(f"reading checkpoints needs safetensors, which is not installed; {_EVAL_EXTRA}") from exc
    return safe_open


class _TensorFile:
    """One open .safetensors file."""

    def __init__(self, path: Path, stack: ExitStack) -> None:
        self.path = path
        try:
            self.handle: Any = stack.enter_context(_safe_open()(str(path), framework="numpy"))
            self.names: frozenset[str] = frozenset(self.handle.keys())
        except FileNotFoundError:
            raise ValueError(f"{path}: no such file") from None
        except ImportError:
            raise
        except Exception as exc:  # the library's own error type, OSError, ...
            raise ValueError(f"{path}: not a valid safetensors file: {exc}") from None
        self._mapped: tuple[int, dict[str, Any], npt.NDArray[np.uint8]] | None = None

    def damaged(self, what: str) -> ValueError:
        return ValueError(f"{self.path}: damaged file: {what}")

    def read(self, name: str, shape: tuple[int, ...]) -> npt.NDArray[np.float32]:
        if name not in self.names:
            raise ValueError(f"{self.path}: tensor {name} is missing")
        view = self.handle.get_slice(name)
        dtype = view.get_dtype()
        actual = tuple(view.get_shape())
        if actual != shape:
            raise ValueError(f"{self.path}: tensor {name} has shape {actual}, expected {shape}")
        width = _WIDTHS.get(dtype)
        if width is None:
            raise ValueError(f"{self.path}: tensor {name} has dtype {dtype}; supported: F32, F16, BF16")
        raw = self._bytes(name, width * int(np.prod(shape, dtype=np.int64)))
        if dtype == "F32":
            array = raw.view("<f4")
        elif dtype == "F16":
            array = raw.view("<f2").astype(np.float32)
        else:
            array = (raw.view("<u2").astype(np.uint32) << 16).view(np.float32)
        # Aligned and contiguous, so that no matrix product copies it again;
        # an aligned float32 tensor stays a view of the mapped file.
        result: npt.NDArray[np.float32] = np.require(array.reshape(shape), np.float32, ["C", "A"])
        return result

    def _layout(self) -> tuple[int, dict[str, Any], npt.NDArray[np.uint8]]:
        if self._mapped is None:
            with open(self.path, "rb") as f:
                if os.fstat(f.fileno()).st_size < 8:
                    raise self.damaged("shorter than its header length")
                # A plain array over the mapping: NumPy's memmap subclass
                # would make every product with a weight several times slower.
                data = np.frombuffer(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ), dtype=np.uint8)
            if data.size < 8:
                raise self.damaged("shorter than its header length")
            length = int.from_bytes(data[:8].tobytes(), "little")
            if length > data.size - 8:
                raise self.damaged(f"header of {length} bytes in a file of {data.size}")
            try:
                header = json.loads(data[8:8 + length].tobytes())
            except (UnicodeDecodeError, json.JSONDecodeError) as exc:
                raise self.damaged(f"header is not JSON: {exc}") from None
            if not isinstance(header, dict):
                raise self.damaged("header is not a JSON object")
            self._mapped = (8 + length, header, data)
        return self._mapped

    def _bytes(self, name: str, nbytes: int) -> npt.NDArray[np.uint8]:
        """The bytes of one tensor, a view of the mapped file, checked
        against the header (which the library has checked as well)."""
        start, header, data = self._layout()
        entry = header.get(name)
        offsets = entry.get("data_offsets") if isinstance(entry, dict) else None
        if (not isinstance(offsets, list) or len(offsets) != 2
                or not all(isinstance(x, int) and not isinstance(x, bool) for x in offsets)):
            raise self.damaged(f"tensor {name} has no valid data_offsets")
        begin, end = offsets
        if not 0 <= begin <= end or end - begin != nbytes or start + end > data.size:
            raise self.damaged(f"tensor {name} has data_offsets {offsets} for {nbytes} bytes "
                               f"in a file of {data.size}")
        return data[start + begin:start + end]


class Checkpoint:
    """The tensor files of a model folder, open until ``close`` (or the end of
    a ``with`` block). ``read(name, shape)`` returns a float32 array."""

    def __init__(self, folder: str | os.PathLike[str]) -> None:
        self.folder = Path(folder)
        self._stack = ExitStack()
        self._files: dict[str, _TensorFile] = {}
        try:
            self._where = self._locate()
        except BaseException:
            self._stack.close()
            raise

    def _locate(self) -> dict[str, str]:
        if (self.folder / SINGLE_FILE).is_file():
            return dict.fromkeys(self._file(SINGLE_FILE).names, SINGLE_FILE)
        index = self.folder / INDEX_FILE
        if not index.is_file():
            raise ValueError(f"{self.folder}: neither {SINGLE_FILE} nor {INDEX_FILE} is there")
        try:
            data = json.loads(index.read_text(encoding="utf-8"))
        except (OSError, UnicodeDecodeError, json.JSONDecodeError) as exc:
            raise ValueError(f"{index}: cannot be read as JSON: {exc}") from None
        weight_map = data.get("weight_map") if isinstance(data, dict) else None
        if not isinstance(weight_map, dict):
            raise ValueError(f"{index}: weight_map is missing or not an object")
        for name, filename in weight_map.items():
            # Only files beside the index: a listed name never leads elsewhere.
            if not isinstance(filename, str) or Path(filename).name != filename or filename in ("", ".", ".."):
                raise ValueError(f"{index}: weight_map: tensor {name} is in {filename!r}, "
                                 "which is not a file name in this folder")
        return weight_map

    def _file(self, filename: str) -> _TensorFile:
        opened = self._files.get(filename)
        if opened is None:
            opened = self._files[filename] = _TensorFile(self.folder / filename, self._stack)
        return opened

    def read(self, name: str, shape: tuple[int, ...]) -> npt.NDArray[np.float32]:
        filename = self._where.get(name)
        if filename is None:
            raise ValueError(f"{self.folder}: tensor {name} is missing")
        return self._file(filename).read(name, shape)

    def close(self) -> None:
        self._stack.close()

    def __enter__(self) -> Checkpoint:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
