"""A GGUF file: its metadata and tensor layout, read and checked in one pass
over a read-only mapping, and its tensors dequantised to float32 by the
``gguf`` package, one tensor at a time.

The layout: "GGUF", a version, the counts of tensors and of metadata
entries, the entries (key, type, value), one record per tensor (name,
dimensions, type, offset), padding to the alignment, then the tensor data.

Every length and count is checked against the bytes that remain before
anything is read or allocated for it, so a truncated or hostile file is a
ValueError naming the field, found at once. The ``gguf`` package's own
reader is not used for this part: it makes one NumPy view per array element
(about 700 bytes and 16 µs each: 2.4 s and 150 MB for SmolLM2's vocabulary,
9 s and 630 MB for Llama 3's), and it loops over an array count taken from
the file without checking it against the file's size.
"""

from __future__ import annotations

import mmap
import os
import struct
from dataclasses import dataclass
from functools import cache
from math import prod
from pathlib import Path

import numpy as np
import numpy.typing as npt

from ._files import open_regular
from ._gguf_metadata import Field, Metadata

from gguf import GGML_QUANT_SIZES, GGMLQuantizationType, GGUFValueType, dequantize

__all__ = ["GGUFFile", "TensorInfo"]

MAGIC = b"GGUF"
VERSIONS = (2, 3)
DEFAULT_ALIGNMENT = 32
MAX_DIMENSIONS = 4
# Arrays of strings cost a Python object per entry; the largest real ones
# (vocabularies and merge lists) hold a few hundred thousand.
MAX_STRINGS = 1 << 22
# Dequantised in slices of about this many input bytes, so that the
# library's working arrays stay small beside the float32 result.
SLICE_BYTES = 1 << 20

_SCALARS = {
    GGUFValueType.UINT8: "<B", GGUFValueType.INT8: "<b", GGUFValueType.UINT16: "<H",
    GGUFValueType.INT16: "<h", GGUFValueType.UINT32: "<I", GGUFValueType.INT32: "<i",
    GGUFValueType.FLOAT32: "<f", GGUFValueType.BOOL: "<B", GGUFValueType.UINT64: "<Q",
    GGUFValueType.INT64: "<q", GGUFValueType.FLOAT64: "<d",
}
_WIDTHS = {kind: struct.calcsize(code) for kind, code in _SCALARS.items()}
# The smallest metadata entry (key length, type, one byte) and tensor record
# (name length, dimension count, one dimension, type, offset).
_MIN_ENTRY = 8 + 4 + 1
_MIN_RECORD = 8 + 4 + 8 + 4 + 8


@dataclass(frozen=True)
class TensorInfo:
    """Where one tensor is: ``shape`` in NumPy's order (the file lists the
    dimensions innermost first), ``offset`` from the start of the file."""

    name: str
    kind: GGMLQuantizationType
    shape: tuple[int, ...]
    offset: int
    nbytes: int


@cache
def dequantisable(kind: GGMLQuantizationType) -> bool:
    """Whether the gguf package can dequantise tensors of ``kind``: tried on
    one block of zeros."""
    _, block_bytes = GGML_QUANT_SIZES[kind]
    try:
        dequantize(np.zeros((1, block_bytes), dtype=np.uint8), kind)
    except NotImplementedError:
        return False
    return True


class _Cursor:
    """Reads little-endian values from the mapping, each checked to lie
    inside the file first."""

    def __init__(self, data: mmap.mmap, path: Path) -> None:
        self.data = data
        self.path = path
        self.size = len(data)
        self.pos = 0

    def remaining(self) -> int:
        return self.size - self.pos

    def take(self, nbytes: int, what: str) -> int:
        if nbytes > self.remaining():
            raise ValueError(f"{self.path}: {what} runs past the end of the file "
                             f"({self.size} bytes): truncated or damaged")
        start = self.pos
        self.pos += nbytes
        return start

    def scalar(self, kind: GGUFValueType, what: str) -> int | float:
        start = self.take(_WIDTHS[kind], what)
        value: int | float = struct.unpack_from(_SCALARS[kind], self.data, start)[0]
        return value

    def u32(self, what: str) -> int:
        return int(self.scalar(GGUFValueType.UINT32, what))

    def u64(self, what: str) -> int:
        return int(self.scalar(GGUFValueType.UINT64, what))

    def string(self, what: str) -> str:
        length = self.u64(f"the length of {what}")
        start = self.take(length, f"{what} ({length} bytes)")
        try:
            return self.data[start:start + length].decode("utf-8")
        except UnicodeDecodeError as exc:
            raise ValueError(f"{self.path}: {what} is not UTF-8: {exc}") from None

    def value_type(self, what: str) -> GGUFValueType:
        raw = self.u32(f"the type of {what}")
        try:
            return GGUFValueType(raw)
        except ValueError:
            raise ValueError(f"{self.path}: {what} has unknown value type {raw}") from None


class GGUFFile:
    """A GGUF file, mapped and its header checked; ``read`` dequantises one
    tensor to float32.

    Raises ValueError naming the file and the field for a file that is not
    GGUF, is truncated, or holds a length, count, type or offset that it
    cannot hold.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)
        with open_regular(self.path) as f:
            if os.fstat(f.fileno()).st_size < 24:
                raise ValueError(f"{self.path}: not a GGUF file (too short for the header)")
            self._map = mmap.mmap(f.fileno(), 0, access=mmap.ACCESS_READ)
        self._data = np.frombuffer(self._map, dtype=np.uint8)
        cursor = _Cursor(self._map, self.path)
        self._check_start(cursor)
        tensor_count = cursor.u64("the tensor count")
        entry_count = cursor.u64("the metadata count")
        self._check_count(cursor, entry_count, _MIN_ENTRY, "metadata entries")
        fields: dict[str, Field] = {}
        for _ in range(entry_count):
            key = cursor.string("a metadata key")
            if key in fields:
                raise ValueError(f"{self.path}: metadata {key} appears twice")
            fields[key] = self._value(cursor, key)
        self.metadata = Metadata(fields, f"{self.path}: metadata")
        self._check_count(cursor, tensor_count, _MIN_RECORD, "tensors")
        records = [self._record(cursor) for _ in range(tensor_count)]
        alignment = self._alignment()
        data_start = -(-cursor.pos // alignment) * alignment
        self.tensors: dict[str, TensorInfo] = {}
        for name, kind, shape, offset in records:
            if name in self.tensors:
                raise ValueError(f"{self.path}: tensor {name} appears twice")
            self.tensors[name] = self._place(name, kind, shape, offset, data_start, alignment)

    def _check_start(self, cursor: _Cursor) -> None:
        if self._map[:4] != MAGIC:
            raise ValueError(f"{self.path}: not a GGUF file (it does not begin with {MAGIC!r})")
        cursor.take(4, "the magic")
        version = cursor.u32("the version")
        if version & 0xFFFF == 0 and version:
            raise ValueError(f"{self.path}: a big-endian GGUF file, which is not supported")
        if version not in VERSIONS:
            raise ValueError(f"{self.path}: GGUF version {version} is not supported "
                             f"(supported: {', '.join(map(str, VERSIONS))})")

    def _check_count(self, cursor: _Cursor, count: int, least: int, what: str) -> None:
        if count > cursor.remaining() // least:
            raise ValueError(f"{self.path}: {count} {what} cannot fit in the "
                             f"{cursor.remaining()} bytes that remain: damaged")

    def _value(self, cursor: _Cursor, key: str) -> Field:
        kind = cursor.value_type(f"metadata {key}")
        if kind == GGUFValueType.STRING:
            return Field(kind, cursor.string(f"metadata {key}"))
        if kind != GGUFValueType.ARRAY:
            return Field(kind, cursor.scalar(kind, f"metadata {key}"))
        item = cursor.value_type(f"the items of metadata {key}")
        count = cursor.u64(f"the length of metadata {key}")
        if item == GGUFValueType.ARRAY:
            raise ValueError(f"{self.path}: metadata {key} is an array of arrays, which is not supported")
        if item == GGUFValueType.STRING:
            if count > min(MAX_STRINGS, cursor.remaining() // 8):
                raise ValueError(f"{self.path}: metadata {key} claims {count} strings, more than "
                                 f"{'the file can hold' if count <= MAX_STRINGS else MAX_STRINGS}")
            return Field(kind, [cursor.string(f"metadata {key}[{i}]") for i in range(count)], item)
        width = _WIDTHS[item]
        start = cursor.take(count * width, f"metadata {key} ({count} values)")
        values = np.frombuffer(self._map, dtype=_SCALARS[item], count=count, offset=start).copy()
        return Field(kind, values, item)

    def _record(self, cursor: _Cursor) -> tuple[str, GGMLQuantizationType, tuple[int, ...], int]:
        name = cursor.string("a tensor name")
        dimensions = cursor.u32(f"the dimension count of tensor {name}")
        if not 1 <= dimensions <= MAX_DIMENSIONS:
            raise ValueError(f"{self.path}: tensor {name} has {dimensions} dimensions "
                             f"(a GGUF tensor has 1 to {MAX_DIMENSIONS})")
        # The file lists the innermost dimension first.
        shape = tuple(reversed([cursor.u64(f"the dimensions of tensor {name}") for _ in range(dimensions)]))
        raw = cursor.u32(f"the type of tensor {name}")
        offset = cursor.u64(f"the offset of tensor {name}")
        try:
            kind = GGMLQuantizationType(raw)
        except ValueError:
            raise ValueError(f"{self.path}: tensor {name} has unknown type {raw}") from None
        return name, kind, shape, offset

    def _alignment(self) -> int:
        if "general.alignment" not in self.metadata:
            return DEFAULT_ALIGNMENT
        alignment = self.metadata.integer("general.alignment")
        if alignment & (alignment - 1):
            raise self.metadata.fail("general.alignment", f"must be a power of two, not {alignment}")
        return alignment

    def _place(self, name: str, kind: GGMLQuantizationType, shape: tuple[int, ...], offset: int,
               data_start: int, alignment: int) -> TensorInfo:
        block, block_bytes = GGML_QUANT_SIZES[kind]
        if 0 in shape:
            raise ValueError(f"{self.path}: tensor {name} has shape {shape}, which holds no values")
        if shape[-1] % block:
            raise ValueError(f"{self.path}: tensor {name} has rows of {shape[-1]} values, "
                             f"not a whole number of {kind.name} blocks of {block}")
        nbytes = prod(shape) // block * block_bytes
        if offset % alignment:
            raise ValueError(f"{self.path}: tensor {name} starts at offset {offset}, "
                             f"not a multiple of the alignment {alignment}")
        start = data_start + offset
        if start + nbytes > self._data.size:
            raise ValueError(f"{self.path}: tensor {name} ({nbytes} bytes from byte {start}) lies past "
                             f"the end of the file ({self._data.size} bytes): truncated or damaged")
        return TensorInfo(name, kind, shape, start, nbytes)

    def info(self, name: str, shape: tuple[int, ...]) -> TensorInfo:
        """The record of tensor ``name``, checked to have ``shape`` and a
        type that can be dequantised."""
        info = self.tensors.get(name)
        if info is None:
            raise ValueError(f"{self.path}: tensor {name} is missing")
        if info.shape != shape:
            raise ValueError(f"{self.path}: tensor {name} has shape {info.shape}, expected {shape}")
        if not dequantisable(info.kind):
            raise ValueError(f"{self.path}: tensor {name} has type {info.kind.name}, which cannot be "
                             "dequantised (float, Q4_0..Q8_0 and K-quant types can)")
        return info

    def read(self, name: str, shape: tuple[int, ...]) -> npt.NDArray[np.float32]:
        """Tensor ``name`` as a new float32 array of ``shape``, checked as
        ``info`` checks it. Peak memory: the result and one slice."""
        info = self.info(name, shape)
        rows = prod(shape[:-1])
        raw = self._data[info.offset:info.offset + info.nbytes].reshape(rows, info.nbytes // rows)
        out = np.empty((rows, shape[-1]), dtype=np.float32)
        step = max(1, SLICE_BYTES // raw.shape[1])
        for first in range(0, rows, step):
            out[first:first + step] = dequantize(raw[first:first + step], info.kind)
        return out.reshape(shape)
