"""The texts of a sweep: files, folders of ``.txt`` files, and ``pydoc``, the
documentation topics every Python carries (``pydoc_data.topics``), each topic
one text."""

from __future__ import annotations

import hashlib
import os
from collections.abc import Sequence
from dataclasses import dataclass, field
from functools import cached_property
from pathlib import Path

__all__ = ["PYDOC", "Text", "read_texts"]

# The source name that stands for every topic of pydoc_data.topics; a file of
# that name is reached as ./pydoc.
PYDOC = "pydoc"


@dataclass(frozen=True)
class Text:
    """One text: ``name`` says which in reports (``pydoc:lambda``, or the
    file's path), ``source`` where it came from (``pydoc_data.topics``, or
    the file's path)."""

    name: str
    source: str
    content: str = field(repr=False)

    @cached_property
    def digest(self) -> str:
        """SHA-256 of the text in UTF-8, which keys its results."""
        return hashlib.sha256(self.content.encode("utf-8")).hexdigest()


def _pydoc_topics() -> list[Text]:
    from pydoc_data.topics import topics
    return [Text(f"pydoc:{name}", "pydoc_data.topics", topics[name]) for name in sorted(topics)]


def _read_file(path: Path, given: str) -> Text:
    try:
        return Text(given, str(path), path.read_text(encoding="utf-8"))
    except UnicodeDecodeError as exc:
        raise ValueError(f"text {given}: not UTF-8 ({exc.reason} at byte {exc.start})") from None
    except OSError as exc:
        raise ValueError(f"text {given}: cannot be read: {exc.strerror or exc}") from None


def _read_source(source: str | os.PathLike[str]) -> list[Text]:
    given = os.fspath(source)
    if given == PYDOC:
        return _pydoc_topics()
    path = Path(given)
    if path.is_dir():
        files = sorted(p for p in path.iterdir() if p.suffix == ".txt" and p.is_file())
        if not files:
            raise ValueError(f"text {given}: the folder holds no .txt file")
        return [_read_file(p, str(p)) for p in files]
    if path.is_file():
        return [_read_file(path, given)]
    if path.exists():
        raise ValueError(f"text {given}: not a regular file or a folder")
    raise ValueError(f"text {given}: no such file or folder (write {PYDOC} for the pydoc topics)")


def read_texts(sources: Sequence[str | os.PathLike[str]], limit: int | None = None) -> list[Text]:
    """Every text the sources name, in order: a file is one text, a folder
    its ``.txt`` files by name, ``pydoc`` each of pydoc's topics by name.

    Parameters
    ----------
    sources : sequence of str or path
        Files, folders and ``"pydoc"``.
    limit : int, optional
        Keep only the first ``limit`` texts.

    Returns
    -------
    list of Text
        The texts; one whose content repeats an earlier one is left out, as
        its results would be the same.

    Raises
    ------
    ValueError
        For a missing or unreadable file, a folder without ``.txt`` files, a
        file that is not UTF-8, and no sources at all.
    """
    if not sources:
        raise ValueError("no texts: give at least one file, folder or 'pydoc'")
    if limit is not None and limit < 1:
        raise ValueError(f"limit_texts must be at least 1, not {limit}")
    texts: list[Text] = []
    seen: set[str] = set()
    for source in sources:
        for text in _read_source(source):
            if text.digest not in seen:
                seen.add(text.digest)
                texts.append(text)
    return texts if limit is None else texts[:limit]
