"""Llama-family models in NumPy with marrowvale's caches in the loop: load
a checkpoint folder, a GGUF file or a named reference model, run a text
through it with several cache strategies, layer by layer, and measure what
each strategy does to the model's predictions.

Reading GGUF files and tokenizers needs the ``eval`` extra
(``pip install 'marrowvale[eval]'``: gguf, tokenizers, tqdm).
"""

from ._capture import capture
from ._config import ModelConfig, RopeConfig, load_config, parse_config
from ._decoder import Decoder, Observer
from ._evaluate import DEFAULT_EVAL_STRATEGIES, Evaluation, StrategyEvaluation, evaluate
from ._statistics import kv_storage_bytes
from ._model import LayerWeights, Model, Weights, load_model
from ._reference import REFERENCE_MODELS, reference_model_path, resolve_model_path
from ._table import format_evaluation
from ._text import DEFAULT_TEXT_SOURCE, TOPIC_ORDER, default_text, token_hash

__all__ = [
    "DEFAULT_EVAL_STRATEGIES",
    "DEFAULT_TEXT_SOURCE",
    "Decoder",
    "Evaluation",
    "LayerWeights",
    "Model",
    "ModelConfig",
    "Observer",
    "REFERENCE_MODELS",
    "RopeConfig",
    "StrategyEvaluation",
    "TOPIC_ORDER",
    "Weights",
    "capture",
    "default_text",
    "evaluate",
    "format_evaluation",
    "kv_storage_bytes",
    "load_config",
    "load_model",
    "parse_config",
    "reference_model_path",
    "resolve_model_path",
    "token_hash",
]
