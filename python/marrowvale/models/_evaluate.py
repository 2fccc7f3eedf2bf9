"""What each cache strategy does to a model's predictions, measured against
the full cache on one text, all runs in lockstep."""

from __future__ import annotations

import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from .._compare import StrategySpec
from ._decoder import Decoder, check_window
from ._model import Matrix, Model, load_model
from ._progress import progress_bar

__all__ = ["DEFAULT_EVAL_STRATEGIES", "Evaluation", "StrategyEvaluation", "evaluate", "prepare_tokens"]

# Each strategy at a mild and a strong setting for texts of a few hundred
# tokens.
DEFAULT_EVAL_STRATEGIES: tuple[StrategySpec, ...] = (
    {"strategy": "sliding", "window_size": 128},
    {"strategy": "sliding", "window_size": 64},
    {"strategy": "static", "static_k": 16, "recent_k": 112},
    {"strategy": "static", "static_k": 16, "recent_k": 48},
    {"strategy": "merge", "threshold": 0.9},
    {"strategy": "hybrid", "static_k": 16, "threshold": 0.9},
)


@dataclass(frozen=True)
class StrategyEvaluation:
    """One run's figures against the full-cache run on the same text.

    ``kl_mean`` and ``kl_p95`` are the mean and 95th percentile over the
    predicted positions of KL(full ‖ this run) of the next-token
    distributions, in nats. ``top1_agreement`` is the fraction of positions
    where both runs rank the same token first. ``perplexity`` is exp of the
    mean negative log-likelihood of the text's next tokens under this run,
    ``perplexity_change`` its difference from the full cache's.
    ``entries_held`` counts the entries all caches (every layer, every
    key/value head) hold at the end, ``compression_ratio`` sets it against
    the entries appended. ``attention_error[layer]`` is the relative L2
    distance of this run's attention outputs from the full run's at that
    layer, over all tokens and query heads taken as one vector: the runs'
    inputs differ after the first layer, so it is the end-to-end deviation
    seen at that layer.
    """

    label: str
    strategy: str
    params: Mapping[str, float | int] = field(repr=False)
    kl_mean: float
    kl_p95: float
    top1_agreement: float
    perplexity: float
    perplexity_change: float
    entries_held: int
    entries_per_head: float
    compression_ratio: float
    attention_error: tuple[float, ...]


@dataclass(frozen=True)
class Evaluation:
    """The figures of one text: ``results[0]`` is the full cache itself,
    then one per strategy in the order given. ``tokens`` is the length of the
    text in tokens; the first ``predictions`` = tokens - 1 of them are fed and
    each predicts the next."""

    model: str
    architecture: str
    tokens: int
    predictions: int
    results: tuple[StrategyEvaluation, ...]


def prepare_tokens(model: Model, text: str | Sequence[int], max_tokens: int | None,
                   *, minimum: int = 2) -> list[int]:
    """The token ids of ``text`` (a string, or token ids already), cut to
    ``max_tokens``; ValueError for fewer than ``minimum`` and for ids outside
    the vocabulary, before any work starts."""
    tokens = model.encode(text) if isinstance(text, str) else [int(t) for t in text]
    if max_tokens is not None:
        if max_tokens < minimum:
            raise ValueError(f"max_tokens must be at least {minimum}, not {max_tokens}")
        tokens = tokens[:max_tokens]
    if len(tokens) < minimum:
        raise ValueError(f"the text has {len(tokens)} tokens; at least {minimum} are needed")
    vocabulary = model.config.vocab_size
    outside = [t for t in tokens if not 0 <= t < vocabulary]
    if outside:
        raise ValueError(f"token id {outside[0]} is outside the vocabulary of {vocabulary}")
    return tokens


def _log_softmax(logits: npt.NDArray[np.float32]) -> npt.NDArray[np.float64]:
    z = logits.astype(np.float64)
    z -= z.max(axis=-1, keepdims=True)
    z -= np.log(np.exp(z).sum(axis=-1, keepdims=True))
    return z


class _Tally:
    """Running sums of the per-layer attention differences against run 0."""

    def __init__(self, layers: int, runs: int) -> None:
        self.diff = np.zeros((layers, runs))
        self.reference = np.zeros(layers)

    def __call__(self, layer: int, q: Matrix, k: Matrix, v: Matrix, attention: Matrix) -> None:
        outputs = attention.reshape(attention.shape[0], -1).astype(np.float64)
        self.diff[layer] += np.square(outputs - outputs[0]).sum(axis=1)
        self.reference[layer] += np.square(outputs[0]).sum()

    def relative(self) -> npt.NDArray[np.float64]:
        """(runs, layers): 0 where both are 0, infinite where only the
        difference is not."""
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = np.sqrt(self.diff / self.reference[:, np.newaxis])
        ratio[self.diff == 0.0] = 0.0
        return ratio.T


def evaluate(model: str | os.PathLike[str] | Model, text: str | Sequence[int],
             strategies: Sequence[StrategySpec] = DEFAULT_EVAL_STRATEGIES, *,
             max_tokens: int | None = 512, progress: bool = False) -> Evaluation:
    """Run ``text`` teacher-forced through a full-cache run and one run per
    strategy, in lockstep, and measure each against the full cache.

    ``model`` is a folder (see ``load_model``) or a loaded model; ``text`` a
    string, or token ids. ``progress`` shows a progress bar on standard error
    for work longer than a few seconds. Raises ValueError for a text of fewer
    than two tokens, one longer than the model's attention window, and
    unknown strategies or parameters.
    """
    if not isinstance(model, Model):
        model = load_model(model)
    config = model.config
    tokens = prepare_tokens(model, text, max_tokens)
    steps = len(tokens) - 1
    # The last token is only predicted, never fed.
    check_window(config, steps)
    tally = _Tally(config.num_hidden_layers, len(strategies) + 1)
    decoder = Decoder(model, ["full", *strategies], observer=tally)
    runs = decoder.runs
    kl = np.zeros((runs, steps))
    agree = np.zeros(runs)
    nll = np.zeros(runs)
    with progress_bar(steps, "tokens", enabled=progress) as bar:
        for t in range(steps):
            logp = _log_softmax(decoder.step(tokens[t]))
            reference = logp[0]
            kl[:, t] = np.maximum((np.exp(reference) * (reference - logp)).sum(axis=1), 0.0)
            top = logp.argmax(axis=1)
            agree += top == top[0]
            nll -= logp[:, tokens[t + 1]]
            bar.update(1)
    perplexity = np.exp(nll / steps)
    errors = tally.relative()
    results = []
    heads = config.num_hidden_layers * config.num_key_value_heads
    for run, label in enumerate(decoder.labels):
        held = sum(layer[run].stats()["current_size"] for layer in decoder.caches)
        results.append(StrategyEvaluation(
            label=label,
            strategy=decoder.strategies[run],
            params=decoder.params[run],
            kl_mean=float(kl[run].mean()),
            kl_p95=float(np.percentile(kl[run], 95)),
            top1_agreement=float(agree[run] / steps),
            perplexity=float(perplexity[run]),
            perplexity_change=float(perplexity[run] - perplexity[0]),
            entries_held=int(held),
            entries_per_head=held / heads,
            compression_ratio=held / (heads * steps),
            attention_error=tuple(float(e) for e in errors[run]),
        ))
    return Evaluation(str(model.path), config.architecture, len(tokens), steps, tuple(results))
