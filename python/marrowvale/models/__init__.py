"""Llama-family models in NumPy with marrowvale's caches in the loop: load a
model, run a text through it with several cache strategies, layer by layer,
and measure what each strategy does to the model's predictions.

Reading checkpoints and tokenizers needs the ``eval`` extra
(``pip install 'marrowvale[eval]'``: safetensors, tokenizers, tqdm).
"""

from ._capture import capture
from ._config import ModelConfig, RopeConfig, load_config, parse_config
from ._decoder import Decoder, Observer
from ._evaluate import DEFAULT_EVAL_STRATEGIES, Evaluation, StrategyEvaluation, evaluate
from ._statistics import kv_storage_bytes
from ._model import LayerWeights, Model, Weights, load_model
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
    "token_hash",
]
