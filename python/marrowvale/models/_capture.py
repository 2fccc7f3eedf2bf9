"""The queries, keys and values one attention head of a model sees on a
text, as a stream that ``compare`` replays."""

from __future__ import annotations

import os
from collections.abc import Sequence

import numpy as np

from .._stream_file import StreamArrays
from ._decoder import check_window
from ._evaluate import prepare_tokens
from ._layerwise import CHUNK_TOKENS, chunk_hidden_states, new_caches
from ._model import Matrix, Model, load_model
from ._progress import progress_bar

__all__ = ["capture"]


def capture(model: str | os.PathLike[str] | Model, text: str | Sequence[int], layer: int, query_head: int,
            *, max_tokens: int | None = None, progress: bool = False) -> StreamArrays:
    """Run ``text`` through the model with a full cache and keep, at every
    token, the query of ``query_head`` at ``layer`` and the key and value of
    the key/value head it reads, as the cache holds them (queries and keys
    rotated). Only the layers up to ``layer`` run.

    Parameters
    ----------
    model
        A model, or what ``load_model`` takes.
    text
        A string, or token ids.
    layer, query_head
        Which layer and query head, from 0.
    max_tokens
        Use at most the first ``max_tokens`` tokens (None: all).
    progress
        Show a progress bar on standard error for work longer than a few
        seconds.

    Returns
    -------
    StreamArrays
        Keys, values and queries, each float32 (tokens, head_dim).

    Raises
    ------
    ValueError
        For a layer or head out of range, an empty text, or one longer than
        the model's attention window.
    """
    if not isinstance(model, Model):
        model = load_model(model)
    config = model.config
    if not 0 <= layer < config.num_hidden_layers:
        raise ValueError(f"layer {layer} is not in 0..{config.num_hidden_layers - 1}")
    if not 0 <= query_head < config.num_attention_heads:
        raise ValueError(f"query head {query_head} is not in 0..{config.num_attention_heads - 1}")
    kv_head = query_head // (config.num_attention_heads // config.num_key_value_heads)
    tokens = prepare_tokens(model, text, max_tokens, minimum=1)
    check_window(config, len(tokens))
    shape = (len(tokens), config.head_dim)
    queries, keys, values = (np.empty(shape, dtype=np.float32) for _ in range(3))

    def keep(run: int, index: int, start: int, q: Matrix, k: Matrix, v: Matrix, attention: Matrix) -> None:
        if index == layer:
            at = slice(start, start + len(q))
            queries[at], keys[at], values[at] = q[:, query_head], k[:, kv_head], v[:, kv_head]

    run = new_caches(model, "full", {}, layers=layer + 1)
    with progress_bar(-(-len(tokens) // CHUNK_TOKENS), "chunk", enabled=progress) as bar:
        for _ in chunk_hidden_states(model, tokens, [run], observer=keep, on_run=lambda: bar.update(1)):
            pass
    return StreamArrays(keys, values, queries)
