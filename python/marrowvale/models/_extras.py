"""The optional libraries that model evaluation needs (the ``eval`` extra),
imported when first needed, with the line that installs them when missing."""

from __future__ import annotations

import importlib
from types import ModuleType

__all__ = ["require_extra"]


def require_extra(module: str, purpose: str) -> ModuleType:
    """Import ``module`` of the ``eval`` extra.

    Raises
    ------
    ImportError
        When it is not installed, saying what needs it (``purpose``) and how
        to install it.
    """
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        raise ImportError(f"{purpose} needs {module}, which is not installed; "
                          "install it with: pip install 'marrowvale[eval]'") from exc
