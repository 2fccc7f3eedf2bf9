"""Typed reads of a GGUF file's metadata, each error naming the key and the
type that the file gave it."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._config import MAX_SIZE
from ._files import describe

__all__ = ["Field", "Metadata"]

# Value type numbers of the format.
_INTEGERS = frozenset({0, 1, 2, 3, 4, 5, 10, 11})
_FLOATS = frozenset({6, 12})
_BOOL, _STRING, _ARRAY = 7, 8, 9
_TYPE_NAMES = ("UINT8", "INT8", "UINT16", "INT16", "UINT32", "INT32", "FLOAT32", "BOOL", "STRING",
               "ARRAY", "UINT64", "INT64", "FLOAT64")


@dataclass(frozen=True)
class Field:
    """One metadata value: ``kind`` is the value type; an array's ``value``
    is a NumPy array of numbers or a list of strings, of type ``item``."""

    kind: int
    value: Any
    item: int | None = None

    def type_name(self) -> str:
        if self.item is None:
            return _TYPE_NAMES[self.kind]
        return f"array of {_TYPE_NAMES[self.item]}"


class Metadata:
    """The metadata of one file. ``where`` begins every error message."""

    def __init__(self, fields: dict[str, Field], where: str) -> None:
        self.fields = fields
        self.where = where

    def __contains__(self, key: str) -> bool:
        return key in self.fields

    def fail(self, key: str, message: str) -> ValueError:
        return ValueError(f"{self.where} {key} {message}")

    def _field(self, key: str, default: Any, expected: str) -> Field | None:
        field = self.fields.get(key)
        if field is None and default is None:
            raise self.fail(key, f"is missing (expected {expected})")
        return field

    def _wrong(self, key: str, field: Field, expected: str) -> ValueError:
        shown = describe(field.value) if field.item is None else f"of {len(field.value)}"
        return self.fail(key, f"must be {expected}, not {field.type_name()} {shown}")

    def integer(self, key: str, default: int | None = None, *, minimum: int = 1) -> int:
        field = self._field(key, default, "an integer")
        if field is None:
            return int(default)  # type: ignore[arg-type]
        if field.kind not in _INTEGERS:
            raise self._wrong(key, field, "an integer")
        value = int(field.value)
        if not minimum <= value <= MAX_SIZE:
            raise self.fail(key, f"must be from {minimum} to {MAX_SIZE}, not {value}")
        return value

    def number(self, key: str, default: float | None = None) -> float:
        """A positive finite number, of any numeric type."""
        field = self._field(key, default, "a number")
        if field is None:
            return float(default)  # type: ignore[arg-type]
        if field.kind not in _INTEGERS | _FLOATS:
            raise self._wrong(key, field, "a number")
        value = float(field.value)
        if not (math.isfinite(value) and value > 0):
            raise self.fail(key, f"must be a positive number, not {value}")
        return value

    def flag(self, key: str, default: bool) -> bool:
        field = self.fields.get(key)
        if field is None:
            return default
        if field.kind != _BOOL:
            raise self._wrong(key, field, "true or false")
        return bool(field.value)

    def string(self, key: str, default: str | None = None) -> str:
        field = self._field(key, default, "a string")
        if field is None:
            return str(default)
        if field.kind != _STRING:
            raise self._wrong(key, field, "a string")
        value: str = field.value
        return value

    def strings(self, key: str) -> list[str]:
        field = self._field(key, None, "an array of strings")
        assert field is not None
        if field.item != _STRING:
            raise self._wrong(key, field, "an array of strings")
        values: list[str] = field.value
        return values

    def numbers(self, key: str, length: int) -> npt.NDArray[np.float64]:
        """A numeric array of ``length`` values (finite, any sign)."""
        field = self._field(key, None, "an array of numbers")
        assert field is not None
        if field.item is None or field.item not in _INTEGERS | _FLOATS:
            raise self._wrong(key, field, "an array of numbers")
        values = field.value.astype(np.float64)
        if values.shape != (length,):
            raise self.fail(key, f"holds {values.size} values, expected {length}")
        if not np.isfinite(values).all():
            raise self.fail(key, "holds values that are not finite")
        result: npt.NDArray[np.float64] = values
        return result
