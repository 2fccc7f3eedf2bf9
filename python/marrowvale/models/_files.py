"""Opening the files of a model, which come from outside: only regular files
are opened (a FIFO would block the reader for ever, a device would stream
without end), and JSON is read with bounds on its size, its nesting and the
length of its integers, each fault a ValueError naming the file and field.
"""

from __future__ import annotations

import json
import os
import re
import reprlib
import stat
from pathlib import Path
from typing import Any, BinaryIO

__all__ = ["HugeInteger", "describe", "open_regular", "parse_json", "read_json", "read_text", "require_regular"]

# Model configurations and indexes are kilobytes; this bounds what a
# damaged or hostile one makes us read into memory.
MAX_JSON_BYTES = 64 << 20
# Configurations nest four or five levels deep.
MAX_JSON_DEPTH = 64
# More digits than any size or count has; longer integers stay unparsed.
MAX_INTEGER_DIGITS = 40

_KINDS = ((stat.S_ISDIR, "a folder"), (stat.S_ISFIFO, "a FIFO"), (stat.S_ISCHR, "a character device"),
          (stat.S_ISBLK, "a block device"), (stat.S_ISSOCK, "a socket"))

_short = reprlib.Repr()
_short.maxstring = _short.maxother = 60
_short.maxlist = _short.maxdict = 4
_short.maxlevel = 2


def describe(value: object) -> str:
    """A short repr of a value read from a file, for error messages: bounded
    in length and depth, whatever the file holds."""
    return _short.repr(value)


def _refuse(path: Path, mode: int) -> None:
    if not stat.S_ISREG(mode):
        kind = next((name for test, name in _KINDS if test(mode)), "not a plain file")
        raise ValueError(f"{path}: not a regular file ({kind}), so it is not read")


def require_regular(path: str | os.PathLike[str]) -> Path:
    """``path`` as a Path, checked to be a regular file (symbolic links
    followed) before anything opens it.

    Raises
    ------
    ValueError
        When nothing is there, or it is a folder, FIFO, device or socket.
    """
    where = Path(path)
    try:
        mode = os.stat(where).st_mode
    except FileNotFoundError:
        raise ValueError(f"{where}: no such file") from None
    except OSError as exc:
        raise ValueError(f"{where}: cannot be read: {exc.strerror or exc}") from None
    _refuse(where, mode)
    return where


def open_regular(path: str | os.PathLike[str]) -> BinaryIO:
    """Open a regular file for reading in binary mode.

    The file is checked before it is opened, and again once open (opened
    without blocking, so that a FIFO put in its place meanwhile cannot hang
    the call).

    Raises
    ------
    ValueError
        As ``require_regular``, or when the file cannot be opened.
    """
    where = require_regular(path)
    try:
        descriptor = os.open(where, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0))
    except OSError as exc:
        raise ValueError(f"{where}: cannot be read: {exc.strerror or exc}") from None
    try:
        _refuse(where, os.fstat(descriptor).st_mode)
    except BaseException:
        os.close(descriptor)
        raise
    return os.fdopen(descriptor, "rb")


def read_text(path: str | os.PathLike[str], limit: int) -> str:
    """The UTF-8 text of a regular file of at most ``limit`` bytes.

    Raises
    ------
    ValueError
        As ``open_regular``; when the file is larger than ``limit`` or is not UTF-8.
    """
    with open_regular(path) as f:
        size = os.fstat(f.fileno()).st_size
        if size > limit:
            raise ValueError(f"{path}: {size} bytes, more than the {limit} that such a file may have")
        try:
            data = f.read(limit + 1)
        except OSError as exc:
            raise ValueError(f"{path}: cannot be read: {exc.strerror or exc}") from None
    if len(data) > limit:
        raise ValueError(f"{path}: more than the {limit} bytes that such a file may have")
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as exc:
        raise ValueError(f"{path}: not UTF-8 text: {exc}") from None


class HugeInteger:
    """An integer in a JSON file with more digits than any real setting has;
    kept unconverted, so that the field that holds it can be named."""

    def __init__(self, digits: int) -> None:
        self.digits = digits

    def __repr__(self) -> str:
        return f"<an integer of {self.digits} digits>"


def _integer(text: str) -> int | HugeInteger:
    digits = len(text.lstrip("-"))
    return int(text) if digits <= MAX_INTEGER_DIGITS else HugeInteger(digits)


# A JSON string (escapes included) or a bracket: enough to measure nesting
# without the recursion of a parser.
_JSON_TOKENS = re.compile(r'"(?:[^"\\]|\\.)*"|[\[\]{}]', re.DOTALL)


def _check_depth(text: str, where: str) -> None:
    depth = 0
    field = ""
    for token in _JSON_TOKENS.finditer(text):
        char = token.group()
        if char in "[{":
            depth += 1
            if depth > MAX_JSON_DEPTH:
                inside = f"{field}: " if field else ""
                raise ValueError(f"{where}: {inside}nested more than {MAX_JSON_DEPTH} levels deep")
        elif char in "]}":
            depth -= 1
        elif depth == 1:
            # At the top level, the last string before a nested value is its key.
            field = char[1:-1][:60]


def parse_json(text: str | bytes, where: str) -> Any:
    """Parse JSON from outside. ``where`` begins every error message.

    Integers longer than any real setting are kept as ``HugeInteger``, so
    that the check of the field holding one names it.

    Raises
    ------
    ValueError
        For text that is not UTF-8 or not JSON, or is nested too deeply
        (naming the top-level field).
    """
    if isinstance(text, bytes):
        try:
            text = text.decode("utf-8")
        except UnicodeDecodeError as exc:
            raise ValueError(f"{where}: not UTF-8 text: {exc}") from None
    _check_depth(text, where)
    try:
        return json.loads(text, parse_int=_integer)
    except json.JSONDecodeError as exc:
        raise ValueError(f"{where}: not valid JSON: {exc}") from None
    except RecursionError:  # the depth check makes this unreachable; kept as a backstop
        raise ValueError(f"{where}: nested too deeply") from None


def read_json(path: str | os.PathLike[str]) -> Any:
    """Parse a JSON file of a model folder (config.json, an index).

    Raises
    ------
    ValueError
        As ``read_text`` and ``parse_json``, naming the file.
    """
    return parse_json(read_text(path, MAX_JSON_BYTES), str(path))
