"""The tensors of a checkpoint folder: ``model.safetensors``, or shards listed
in ``model.safetensors.index.json``, read as float32.

A safetensors file is an 8-byte header length, a JSON header naming each
tensor's type, shape and byte range, and the bytes. It is read here, in one
pass over one read-only mapping of the file, rather than through the
safetensors library: that library's NumPy tensors are copies, and it has
none for bfloat16, which NumPy lacks. The whole header is checked when the
file is opened (every range inside the file and of the size its type and
shape call for), so a damaged file is refused before any weight is used.
A float32 tensor stays a view of the mapping; float16 and bfloat16 are
widened once, exactly: a bfloat16 is the upper half of the float32 of the
same value.
"""

from __future__ import annotations

import mmap
import os
from dataclasses import dataclass
from math import prod
from pathlib import Path
from types import TracebackType
from typing import Any

import numpy as np
import numpy.typing as npt

from ._files import describe, open_regular, parse_json, read_json

__all__ = ["Checkpoint", "INDEX_FILE", "SINGLE_FILE"]

SINGLE_FILE = "model.safetensors"
INDEX_FILE = "model.safetensors.index.json"

# The safetensors format's own bound on the header.
MAX_HEADER_BYTES = 100 << 20

# Bytes per value of every type the format names; those that widen
# exactly to float32 are read, the others refused by name.
_WIDTHS = {"BOOL": 1, "U8": 1, "I8": 1, "F8_E5M2": 1, "F8_E4M3": 1, "I16": 2, "U16": 2, "F16": 2,
           "BF16": 2, "I32": 4, "U32": 4, "F32": 4, "F64": 8, "I64": 8, "U64": 8}
_READABLE = ("F32", "F16", "BF16")


@dataclass(frozen=True)
class _Entry:
    dtype: str
    shape: tuple[int, ...]
    begin: int
    end: int


def _is_count(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


class _TensorFile:
    """One .safetensors file, mapped and its header checked."""

    def __init__(self, path: Path) -> None:
        self.path = path
        with open_regular(path) as f:
            size = os.fstat(f.fileno()).st_size
            if size < 8:
                raise self.invalid(f"{size} bytes, shorter than the header length")
            # A plain array over the mapping: NumPy's memmap subclass would
            # make every product with a weight several times slower.
            self.data = np.frombuffer(mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ), dtype=np.uint8)
        length = int.from_bytes(self.data[:8].tobytes(), "little")
        if length > min(size - 8, MAX_HEADER_BYTES):
            raise self.invalid(f"header of {length} bytes in a file of {size}")
        self.start = 8 + length
        self.entries = self._parse(self.data[8:self.start].tobytes())
        self.names = frozenset(self.entries)

    def invalid(self, what: str) -> ValueError:
        return ValueError(f"{self.path}: not a valid safetensors file: {what}")

    def _parse(self, header_bytes: bytes) -> dict[str, _Entry]:
        header = parse_json(header_bytes, f"{self.path}: not a valid safetensors file: header")
        if not isinstance(header, dict):
            raise self.invalid("header is not a JSON object")
        entries: dict[str, _Entry] = {}
        available = self.data.size - self.start
        for name, entry in header.items():
            if name == "__metadata__":
                continue
            fields = entry if isinstance(entry, dict) else {}
            dtype, shape, offsets = fields.get("dtype"), fields.get("shape"), fields.get("data_offsets")
            if not isinstance(dtype, str) or dtype not in _WIDTHS:
                raise self.invalid(f"tensor {name}: dtype {describe(dtype)} is not a safetensors type")
            if not isinstance(shape, list) or not all(_is_count(n) for n in shape):
                raise self.invalid(f"tensor {name}: shape {describe(shape)} is not a list of sizes")
            if not isinstance(offsets, list) or len(offsets) != 2 or not all(_is_count(n) for n in offsets):
                raise self.invalid(f"tensor {name}: data_offsets {describe(offsets)} are not two byte offsets")
            begin, end = offsets
            nbytes = _WIDTHS[dtype] * prod(shape)
            if end - begin != nbytes:
                raise self.invalid(f"tensor {name}: data_offsets {offsets} hold {end - begin} bytes, "
                                   f"and {dtype} of shape {tuple(shape)} takes {nbytes}")
            if end > available:
                raise self.invalid(f"tensor {name} ends at byte {self.start + end}, past the end of the "
                                   f"file ({self.data.size} bytes): truncated?")
            entries[name] = _Entry(dtype, tuple(shape), begin, end)
        return entries

    def read(self, name: str, shape: tuple[int, ...]) -> npt.NDArray[np.float32]:
        entry = self.entries.get(name)
        if entry is None:
            raise ValueError(f"{self.path}: tensor {name} is missing")
        if entry.shape != shape:
            raise ValueError(f"{self.path}: tensor {name} has shape {entry.shape}, expected {shape}")
        if entry.dtype not in _READABLE:
            raise ValueError(f"{self.path}: tensor {name} has dtype {entry.dtype}; "
                             f"supported: {', '.join(_READABLE)}")
        raw = self.data[self.start + entry.begin:self.start + entry.end]
        if entry.dtype == "F32":
            array = raw.view("<f4")
        elif entry.dtype == "F16":
            array = raw.view("<f2").astype(np.float32)
        else:
            array = (raw.view("<u2").astype(np.uint32) << 16).view(np.float32)
        # Aligned and contiguous, so that no matrix product copies it again;
        # an aligned float32 tensor stays a view of the mapped file.
        result: npt.NDArray[np.float32] = np.require(array.reshape(shape), np.float32, ["C", "A"])
        return result


def _weight_map(index: Path) -> dict[str, str]:
    data: Any = read_json(index)
    weight_map = data.get("weight_map") if isinstance(data, dict) else None
    if not isinstance(weight_map, dict):
        raise ValueError(f"{index}: weight_map is missing or not an object")
    for name, filename in weight_map.items():
        # Only files beside the index: a listed name never leads elsewhere.
        if not isinstance(filename, str) or Path(filename).name != filename or filename in ("", ".", ".."):
            raise ValueError(f"{index}: weight_map: tensor {name} is in {describe(filename)}, "
                             "which is not a file name in this folder")
    return weight_map


class Checkpoint:
    """The tensor files of a model folder, open until ``close`` (or the end of
    a ``with`` block). ``read(name, shape)`` returns a float32 array."""

    def __init__(self, folder: str | os.PathLike[str]) -> None:
        self.folder = Path(folder)
        self._files: dict[str, _TensorFile] = {}
        single = self.folder / SINGLE_FILE
        if os.path.lexists(single):
            self._where = dict.fromkeys(self._file(SINGLE_FILE).names, SINGLE_FILE)
            return
        index = self.folder / INDEX_FILE
        if not os.path.lexists(index):
            raise ValueError(f"{self.folder}: neither {SINGLE_FILE} nor {INDEX_FILE} is there")
        self._where = _weight_map(index)

    def _file(self, filename: str) -> _TensorFile:
        opened = self._files.get(filename)
        if opened is None:
            opened = self._files[filename] = _TensorFile(self.folder / filename)
        return opened

    def read(self, name: str, shape: tuple[int, ...]) -> npt.NDArray[np.float32]:
        filename = self._where.get(name)
        if filename is None:
            raise ValueError(f"{self.folder}: tensor {name} is missing")
        return self._file(filename).read(name, shape)

    def close(self) -> None:
        # The mappings close when the last array over them goes.
        self._files.clear()

    def __enter__(self) -> Checkpoint:
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.close()
