"""The default text of an evaluation: real English that every Python
carries, the language reference's topics from ``pydoc_data.topics`` (the
text ``help()`` shows), so that nothing is downloaded.

The topics are taken in a fixed order, mostly prose first (the data model,
the execution model, names, exceptions, imports), each once, separated by a
blank line; topics a Python version lacks are skipped. The text differs a
little between Python versions, which is why a report records the hash of
the token ids it evaluated.
"""

from __future__ import annotations

import hashlib
from collections.abc import Sequence

import numpy as np

__all__ = ["DEFAULT_TEXT_SOURCE", "TOPIC_ORDER", "default_text", "token_hash"]

DEFAULT_TEXT_SOURCE = "pydoc_data.topics"

# About 263,000 characters (61,000 tokens of SmolLM2) with Python 3.13:
# room for several windows of 8,192 tokens.
TOPIC_ORDER = ("objects", "types", "specialnames", "customization", "attribute-access", "execmodel",
               "naming", "exceptions", "import", "assignment", "typesseq", "typesmapping", "string-methods")


def default_text() -> str:
    """The topics of ``TOPIC_ORDER`` that this Python has, joined by a blank line.

    Returns
    -------
    str
        The text.
    """
    from pydoc_data.topics import topics

    return "\n\n".join(topics[name].strip() for name in TOPIC_ORDER if name in topics)


def token_hash(tokens: Sequence[int]) -> str:
    """SHA-256 of the token ids as little-endian 32-bit integers, in hex: two
    evaluations with the same hash read the same tokens."""
    return hashlib.sha256(np.asarray(tokens, dtype="<i4").tobytes()).hexdigest()
