"""What each cache strategy does to a model's predictions, measured against
the full cache on one text, teacher-forced, layer by layer (see
``_layerwise``)."""

from __future__ import annotations

import math
import os
import time
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field

import numpy as np
import numpy.typing as npt

from .. import _layer_cache
from .._selection_choice import Selection, split_selection
from .._strategy_choice import StrategyChoice, parse_strategy, resolve_shares
from ._decoder import check_window, linear, rms_norm
from ._layerwise import CHUNK_TOKENS, Run, chunk_hidden_states, new_caches
from ._model import Matrix, Model, load_model
from ._progress import Progress, progress_bar
from ._prompt import PromptPass, runs_after_prompt
from ._statistics import LogitBlock, kv_storage_bytes, pool, position_figures
from ._text import token_hash

__all__ = ["DEFAULT_EVAL_STRATEGIES", "Evaluation", "StrategyEvaluation", "evaluate", "prepare_tokens"]

# Each strategy at a mild and a strong setting, for texts of about a
# thousand tokens.
DEFAULT_EVAL_STRATEGIES: tuple[StrategyChoice, ...] = (
    {"strategy": "sliding", "window_size": 128},
    {"strategy": "sliding", "window_size": 64},
    {"strategy": "static", "static_k": 16, "recent_k": 112},
    {"strategy": "static", "static_k": 16, "recent_k": 48},
    {"strategy": "merge", "threshold": 0.9},
    {"strategy": "hybrid", "static_k": 16, "threshold": 0.9},
)

# Rows of logits scored at once: two (rows, vocabulary) float32 blocks stay
# near 25 MB for a vocabulary of 49,152.
HEAD_ROWS = 64


@dataclass(frozen=True)
class StrategyEvaluation:
    """One run's figures against the full-cache run on the same text.

    The KL figures are of KL(full ‖ this run) of the next-token
    distributions, in nats, over every predicted position (of every window):
    ``kl_mean`` with its standard error ``kl_se``, ``kl_median``, ``kl_p90``,
    ``kl_p95``, ``kl_p99``, ``kl_p999`` (99.9th percentile) and ``kl_max``.
    ``kl_by_position[i]`` is the mean KL at position i of a window (over the
    windows), the position of the token that predicts.
    ``top1_agreement`` is the share of positions where both runs rank the
    same token first, ``top1_se`` its standard error. ``perplexity`` is exp
    of the mean negative log-likelihood of the text's next tokens under this
    run, ``perplexity_change`` its difference from the full cache's and
    ``perplexity_ratio`` its ratio; ``ln_ppl_ratio`` is ln of that ratio
    (the mean per-position difference of log-likelihoods) and
    ``ln_ppl_ratio_se`` its standard error. Standard errors take positions
    as independent (see ``_statistics``).
    ``entries_held`` counts the entries all caches (every layer, every
    key/value head) hold at the end of a window (the mean over windows,
    rounded), ``entries_per_head`` the same per layer and key/value head,
    ``compression_ratio`` sets it against the entries appended.
    ``kv_bytes_held`` is the key/value storage those entries take (see
    ``kv_storage_bytes``), ``kv_bytes_per_token`` the same per token fed.
    ``attention_error[layer]`` is the relative L2 distance of this run's
    attention outputs from the full run's at that layer, over all tokens and
    query heads taken as one vector: the runs' inputs differ after the first
    layer, so it is the end-to-end deviation seen at that layer.
    ``choice`` is the strategy as it was asked for (shares of the text
    unresolved); ``params`` the parameters it ran with.
    """

    label: str
    strategy: str
    params: Mapping[str, float | int | str] = field(repr=False)
    kl_mean: float
    kl_p95: float
    top1_agreement: float
    perplexity: float
    perplexity_change: float
    entries_held: int
    entries_per_head: float
    compression_ratio: float
    attention_error: tuple[float, ...]
    kl_se: float = math.nan
    kl_median: float = math.nan
    kl_p90: float = math.nan
    kl_p99: float = math.nan
    kl_p999: float = math.nan
    kl_max: float = math.nan
    top1_se: float = math.nan
    perplexity_ratio: float = math.nan
    ln_ppl_ratio: float = math.nan
    ln_ppl_ratio_se: float = math.nan
    kv_bytes_held: float = math.nan
    kv_bytes_per_token: float = math.nan
    kl_by_position: tuple[float, ...] = field(default=(), repr=False)
    choice: StrategyChoice = field(default="", repr=False)


@dataclass(frozen=True)
class Evaluation:
    """The figures of one text: ``results[0]`` is the full cache itself,
    then one per strategy in the order given.

    ``tokens`` is the number of the text's tokens evaluated, in ``windows``
    windows of ``window_tokens`` each, every window from empty caches; in
    each, every token but the last is fed and predicts the next, so there
    are ``predictions`` = windows × (window_tokens - 1) predictions. With
    ``prompt_tokens`` P, the first P tokens of a window are a prompt that
    every run takes with full attention, and only the continuation's
    predictions are measured: windows × (window_tokens - 1 - P).
    ``model`` names the model's file or folder, ``text_source`` where the
    text came from (a file name, "pydoc_data.topics", or None when the
    caller did not say), ``token_hash`` the SHA-256 of the token ids
    evaluated (see ``token_hash``), ``kernel_set`` the LayerCache kernel set
    that ran (``marrowvale._layer_cache.kernel_set()``), ``seconds`` the wall time
    of ``evaluate`` (loading the model included when it was given by name
    or path).
    """

    model: str
    architecture: str
    tokens: int
    predictions: int
    results: tuple[StrategyEvaluation, ...]
    windows: int = 1
    window_tokens: int = 0
    text_source: str | None = None
    token_hash: str = ""
    kernel_set: str | None = None
    seconds: float = math.nan
    prompt_tokens: int = 0


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


def _windows(tokens: list[int], ctx: int | None) -> list[list[int]]:
    if ctx is None:
        return [tokens]
    if ctx < 2:
        raise ValueError(f"ctx must be at least 2, not {ctx}")
    if len(tokens) < ctx:
        raise ValueError(f"the text has {len(tokens)} tokens, fewer than one window of {ctx}")
    # Whole windows only, so that every position is averaged over as many.
    return [tokens[start:start + ctx] for start in range(0, len(tokens) - ctx + 1, ctx)]


class _AttentionTally:
    """Running sums of the per-layer attention differences against run 0,
    which the layerwise pass visits first in every chunk."""

    def __init__(self, layers: int, runs: int) -> None:
        self.diff = np.zeros((layers, runs))
        self.reference = np.zeros(layers)
        self._full: list[Matrix | None] = [None] * layers

    def __call__(self, run: int, layer: int, start: int, q: Matrix, k: Matrix, v: Matrix,
                 attention: Matrix) -> None:
        if run == 0:
            self._full[layer] = attention.copy()
            self.reference[layer] += np.square(attention, dtype=np.float64).sum()
            return
        full = self._full[layer]
        assert full is not None
        self.diff[layer, run] += np.square(attention.astype(np.float64) - full).sum()

    def relative(self) -> npt.NDArray[np.float64]:
        """(runs, layers): 0 where both are 0, infinite where only the
        difference is not."""
        with np.errstate(divide="ignore", invalid="ignore"):
            ratio = np.sqrt(self.diff / self.reference[:, np.newaxis])
        ratio[self.diff == 0.0] = 0.0
        return ratio.T


class _Scores:
    """Per-position figures of every run: KL against run 0, top-1
    agreement and the next token's negative log-likelihood,
    (runs, windows, positions)."""

    def __init__(self, runs: int, windows: int, positions: int) -> None:
        self.kl = np.zeros((runs, windows, positions))
        self.agree = np.zeros((runs, windows, positions), dtype=bool)
        self.nll = np.zeros((runs, windows, positions))

    def add(self, model: Model, window: int, start: int, hidden: list[Matrix],
            next_ids: npt.NDArray[np.int64]) -> None:
        """Score one chunk: ``hidden[run]`` are the run's final hidden
        states at positions start.., ``next_ids`` the tokens they predict."""
        weights, eps = model.weights, model.config.rms_norm_eps

        def block(run: int, rows: slice) -> LogitBlock:
            return LogitBlock(linear(rms_norm(hidden[run][rows], weights.norm, eps), weights.lm_head))

        for first in range(0, len(next_ids), HEAD_ROWS):
            rows = slice(first, first + HEAD_ROWS)
            ids = next_ids[rows]
            at = (window, slice(start + first, start + first + len(ids)))
            full = block(0, rows)
            for run in range(len(hidden)):
                scored = full if run == 0 else block(run, rows)
                self.kl[run][at], self.agree[run][at] = position_figures(full, scored)
                self.nll[run][at] = scored.nll(ids)


def _held(run: Run) -> int:
    return sum(cache.stats()["current_size"] for cache in run.caches)


@dataclass(frozen=True)
class _Plan:
    """A run as asked: its caches' strategy and parameters, and what it
    selects at the end of a prompt."""

    label: str
    name: str
    params: dict[str, float | int | str]
    selection: Selection | None


def _plans(parsed: Sequence[tuple[str, str, dict[str, float | int | str]]], prompt: int) -> list[_Plan]:
    plans = []
    for label, name, params in parsed:
        cache_params, selection = split_selection(name, params)
        if prompt and "dtype" in cache_params:
            # After the prompt each run's caches come from the full cache's
            # float32 entries.
            raise ValueError(f"{label}: dtype is not yet available with a prompt (prompt_tokens, --prompt-tokens)")
        if selection is not None and prompt == 0:
            raise ValueError(f"{label}: compress selects at the end of a prompt; give prompt_tokens (--prompt-tokens)")
        if selection is not None and selection.window > prompt:
            raise ValueError(f"{label}: compress={selection.window} needs at least as many prompt tokens, "
                             f"not {prompt}")
        plans.append(_Plan(label, name, cache_params, selection))
    return plans


def _runs_after_prompt(model: Model, ids: list[int], plans: Sequence[_Plan], prompt: int, threads: int | None,
                       chunk_tokens: int, bar: Progress) -> list[Run]:
    """The prompt through a full cache (and the unbounded caches of the
    strategies that choose by score, see ``_prompt``), then every run's
    caches made from them; run 0, the full cache, goes on with its own."""
    full = new_caches(model, "full", {}, threads=threads)
    windows = [plan.selection.window for plan in plans if plan.selection is not None]
    observer = PromptPass(full, [plan.name for plan in plans[1:]], max(windows, default=1), threads=threads)
    for _ in chunk_hidden_states(model, ids[:prompt], [full], chunk_tokens=chunk_tokens, observer=observer,
                                 on_run=lambda: bar.update(1)):
        pass
    return [full] + runs_after_prompt(full, observer, [(plan.name, plan.params, plan.selection) for plan in plans[1:]])


def evaluate(model: str | os.PathLike[str] | Model, text: str | Sequence[int],
             strategies: Sequence[StrategyChoice] = DEFAULT_EVAL_STRATEGIES, *,
             max_tokens: int | None = 1024, ctx: int | None = None, progress: bool = False,
             threads: int | None = None, chunk_tokens: int = CHUNK_TOKENS,
             text_source: str | None = None, prompt_tokens: int | None = None) -> Evaluation:
    """Run ``text`` teacher-forced through a full-cache run and one run per
    strategy, and measure each against the full cache.

    Parameters
    ----------
    model
        A model, or what ``load_model`` takes.
    text
        A string, or token ids.
    strategies
        Strategy choices as ``compare`` takes them, and the strategies that
        choose by score; a count may be a share of the text ("12.5%"),
        resolved against the window's length in tokens. With
        ``prompt_tokens``, a choice may also ask for a selection at the end of
        the prompt (``compress=W``, ``keep``, ``pool``: see
        ``_selection_choice``).
    max_tokens
        Use at most the first ``max_tokens`` tokens (None: all).
    ctx
        Evaluate in windows of ``ctx`` tokens, each from empty caches, the
        figures pooled over them; None: the whole text is one window. Only
        whole windows are used.
    progress
        Show a progress bar on standard error for work longer than a few
        seconds.
    threads
        Threads each LayerCache may use (None: the usable cores).
    chunk_tokens
        Tokens that go through a layer together: more is faster, up to a
        few hundred, and needs more memory.
    text_source
        Where the text came from, recorded in the result.
    prompt_tokens
        The prompt-then-continuation protocol of selection methods: the
        first ``prompt_tokens`` tokens of each window fill every run's
        caches with full attention (a strategy that chooses by score keeps
        its scores of them); then each run goes on under its own strategy,
        which acts from the first token of the continuation (compressed
        first by the prompt's last W queries for a choice with
        ``compress=W``); the figures are those of the continuation's
        predictions (see ``_prompt``). None: every run takes the whole
        window with its own strategy.

    Returns
    -------
    Evaluation
        ``results[0]`` is the full cache itself.

    Raises
    ------
    ValueError
        For a text of fewer than two tokens (or than one window), a window
        longer than the model's own attention window, a prompt that leaves
        no prediction, and unknown strategies or parameters, before any work
        starts.
    """
    began = time.perf_counter()
    if not isinstance(model, Model):
        model = load_model(model)
    config = model.config
    tokens = prepare_tokens(model, text, max_tokens)
    windows = _windows(tokens, ctx)
    length = len(windows[0])
    fed = length - 1
    # The last token of a window is only predicted, never fed.
    check_window(config, fed)
    prompt = 0 if prompt_tokens is None else prompt_tokens
    if prompt_tokens is not None and not 1 <= prompt < fed:
        raise ValueError(f"prompt_tokens must be from 1 to {fed - 1}, leaving a continuation to measure, "
                         f"not {prompt_tokens}")
    measured = fed - prompt
    choices: list[StrategyChoice] = ["full", *strategies]
    plans = _plans([parse_strategy(resolve_shares(choice, length)) for choice in choices], prompt)
    # Built once before the work, so that a bad strategy is refused at once.
    for plan in plans:
        new_caches(model, plan.name, plan.params, threads=threads, layers=1)

    layers = config.num_hidden_layers
    tally = _AttentionTally(layers, len(choices))
    scores = _Scores(len(choices), len(windows), measured)
    held = np.zeros(len(choices))
    chunks = -(-measured // chunk_tokens)
    prompt_chunks = -(-prompt // chunk_tokens)
    # One step is one run taking one chunk through every layer.
    with progress_bar(len(windows) * (prompt_chunks + chunks * len(choices)), "chunk", enabled=progress) as bar:
        for window, ids in enumerate(windows):
            if prompt:
                runs = _runs_after_prompt(model, ids, plans, prompt, threads, chunk_tokens, bar)
            else:
                runs = [new_caches(model, plan.name, plan.params, threads=threads) for plan in plans]
            following = np.asarray(ids[1:], dtype=np.int64)
            for start, hidden in chunk_hidden_states(model, ids[prompt:-1], runs, chunk_tokens=chunk_tokens,
                                                     observer=tally, on_run=lambda: bar.update(1),
                                                     first_position=prompt):
                scores.add(model, window, start - prompt, hidden, following[start:start + len(hidden[0])])
            held += [_held(run) for run in runs]
    held /= len(windows)
    errors = tally.relative()
    heads = layers * config.num_key_value_heads
    def entry_bytes(plan: _Plan) -> float:
        return kv_storage_bytes(1, config.head_dim, config.head_dim, str(plan.params.get("dtype", "float32")))

    results = []
    pooled = [pool(scores.kl[run], scores.agree[run], scores.nll[run], scores.nll[0]) for run in range(len(choices))]
    for run, (plan, figures) in enumerate(zip(plans, pooled)):
        selection = {} if plan.selection is None else {
            "compress": plan.selection.window, "keep": plan.selection.keep, "pool": plan.selection.pool}
        results.append(StrategyEvaluation(
            label=plan.label,
            strategy=plan.name,
            params={**plan.params, **selection},
            kl_mean=figures.kl_mean,
            kl_p95=figures.kl_p95,
            top1_agreement=figures.top1_agreement,
            perplexity=figures.perplexity,
            perplexity_change=figures.perplexity - pooled[0].perplexity,
            entries_held=round(held[run]),
            entries_per_head=float(held[run] / heads),
            compression_ratio=float(held[run] / (heads * fed)),
            attention_error=tuple(float(e) for e in errors[run]),
            kl_se=figures.kl_se,
            kl_median=figures.kl_median,
            kl_p90=figures.kl_p90,
            kl_p99=figures.kl_p99,
            kl_p999=figures.kl_p999,
            kl_max=figures.kl_max,
            top1_se=figures.top1_se,
            perplexity_ratio=figures.perplexity_ratio,
            ln_ppl_ratio=figures.ln_ppl_ratio,
            ln_ppl_ratio_se=figures.ln_ppl_ratio_se,
            kv_bytes_held=float(held[run] * entry_bytes(plan)),
            kv_bytes_per_token=float(held[run] * entry_bytes(plan) / fed),
            kl_by_position=figures.kl_by_position,
            choice=choices[run],
        ))
    evaluated = [t for ids in windows for t in ids]
    return Evaluation(str(model.path), config.architecture, len(evaluated), len(windows) * measured,
                      tuple(results), windows=len(windows), window_tokens=length, text_source=text_source,
                      token_hash=token_hash(evaluated), kernel_set=_layer_cache.kernel_set(),
                      seconds=time.perf_counter() - began, prompt_tokens=prompt)
