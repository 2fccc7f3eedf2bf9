"""A stream of keys, values and queries kept in a .npz file, as
``python -m marrowvale capture`` writes it and ``compare --stream`` reads it:
arrays ``queries``, ``keys`` and ``values``, each of shape (tokens, d)."""

from __future__ import annotations

import os
import zipfile
from typing import NamedTuple

import numpy as np
import numpy.typing as npt

__all__ = ["StreamArrays", "load_stream", "save_stream"]

Rows = npt.NDArray[np.float32]


class StreamArrays(NamedTuple):
    """``keys[t]`` and ``values[t]`` are appended at step t, then
    ``queries[t]`` is attended; the order ``compare`` takes them in."""

    keys: Rows
    values: Rows
    queries: Rows


def save_stream(path: str | os.PathLike[str], stream: StreamArrays) -> None:
    """Write the three arrays to ``path`` (uncompressed .npz)."""
    with open(path, "wb") as f:
        np.savez(f, queries=stream.queries, keys=stream.keys, values=stream.values)


def _read_member(archive: zipfile.ZipFile, name: str) -> Rows:
    """One array of the archive, its header checked before its data are
    read: the array must be real, 2-D, non-empty and no larger than the
    bytes the archive holds for it."""
    try:
        info = archive.getinfo(f"{name}.npy")
    except KeyError:
        present = sorted(n.removesuffix(".npy") for n in archive.namelist())
        raise ValueError(f"no array {name!r} (it has {', '.join(present) or 'none'})") from None
    try:
        with archive.open(info) as member:
            version = np.lib.format.read_magic(member)
            if version == (1, 0):
                shape, fortran_order, dtype = np.lib.format.read_array_header_1_0(member)
            elif version == (2, 0):
                shape, fortran_order, dtype = np.lib.format.read_array_header_2_0(member)
            else:
                raise ValueError(f"format version {version} is not supported")
            if len(shape) != 2 or shape[0] == 0 or dtype.kind not in "fiu" or dtype.hasobject:
                raise ValueError(f"must be a non-empty 2-D array of real numbers, not {dtype} of shape {shape}")
            if shape[0] * shape[1] * dtype.itemsize > info.file_size:
                raise ValueError(f"declares {shape} of {dtype}, more than its {info.file_size} bytes")
        with archive.open(info) as member:
            array = np.lib.format.read_array(member, allow_pickle=False)
    except ValueError as exc:
        raise ValueError(f"array {name!r}: {exc}") from None
    except (OSError, EOFError, zipfile.BadZipFile) as exc:
        raise ValueError(f"array {name!r} cannot be read: {exc}") from None
    converted: Rows = array.astype(np.float32)
    if not np.isfinite(converted).all():
        raise ValueError(f"array {name!r} holds values that are not finite as float32")
    return converted


def load_stream(path: str | os.PathLike[str]) -> StreamArrays:
    """Read and check a stream file: three finite real 2-D arrays with as many
    rows each, queries as wide as keys, at least one row.

    Raises OSError when the file cannot be opened and ValueError, naming the
    array, for anything else. Nothing is allocated beyond what the file's
    own sizes justify.
    """
    with open(path, "rb") as f:
        try:
            archive = zipfile.ZipFile(f)
        except (zipfile.BadZipFile, EOFError) as exc:
            raise ValueError(f"not a NumPy .npz file: {exc}") from None
        with archive:
            queries, keys, values = (_read_member(archive, name) for name in ("queries", "keys", "values"))
    if not queries.shape[0] == keys.shape[0] == values.shape[0]:
        raise ValueError(f"the arrays differ in length: queries {queries.shape[0]}, keys {keys.shape[0]}, "
                         f"values {values.shape[0]} rows")
    if queries.shape[1] != keys.shape[1]:
        raise ValueError(f"queries have {queries.shape[1]} columns and keys {keys.shape[1]}; "
                         "they must be equally wide")
    if keys.shape[1] == 0:
        raise ValueError("keys and queries have 0 columns; d_k must be at least 1")
    return StreamArrays(keys, values, queries)
