"""The queries, keys and values one attention head of a model sees on a
text, as a stream that ``compare`` replays."""

from __future__ import annotations

import os
from collections.abc import Sequence

import numpy as np

from .._stream_file import StreamArrays
from ._decoder import Decoder, check_window
from ._evaluate import prepare_tokens
from ._model import Matrix, Model, load_model

__all__ = ["capture"]


def capture(model: str | os.PathLike[str] | Model, text: str | Sequence[int], layer: int, query_head: int,
            *, max_tokens: int | None = None) -> StreamArrays:
    """Decode ``text`` with a full cache and keep, at every token, the query
    of ``query_head`` at ``layer`` and the key and value of the key/value
    head it reads, as the cache holds them (queries and keys rotated).
    Each array has shape (tokens, head_dim)."""
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

    def keep(index: int, q: Matrix, k: Matrix, v: Matrix, attention: Matrix) -> None:
        if index == layer:
            t = decoder.position
            queries[t], keys[t], values[t] = q[0, query_head], k[0, kv_head], v[0, kv_head]

    decoder = Decoder(model, ["full"], observer=keep)
    for token in tokens:
        decoder.advance(token)
    return StreamArrays(keys, values, queries)
