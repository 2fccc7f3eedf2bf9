"""Which tokens each held entry covers, against a model of the strategies in
terms of tokens: drops take tokens away, merges join neighbouring runs."""

import numpy as np
import pytest

from layer_helpers import STRATEGIES, SpanModel, bits, token_stream
from marrowvale import LayerCache

H, D = 3, 9


@pytest.mark.parametrize("strategy", STRATEGIES)
def test_spans_and_held_keys_follow_the_model_of_each_strategy(strategy):
    params = STRATEGIES[strategy]
    layer = LayerCache(H, D, 2, strategy, **params)
    models = [SpanModel(strategy, **params) for _ in range(H)]
    keys, values = token_stream(45, H, D, 2, seed=7)
    for t in range(45):
        layer.append(keys[t], values[t])
        for head, model in enumerate(models):
            model.append(keys[t][head])
            spans = layer.spans(head)
            assert spans.dtype == np.int64 and spans.shape == (len(model.spans), 2)
            assert [tuple(span) for span in spans.tolist()] == model.spans, (t, head)
            assert np.array_equal(bits(layer.keys(head)), bits(np.array(model.keys).reshape(-1, D)))
        if t == 30:
            layer.clear()
            for model in models:
                model.clear()
            assert all(layer.spans(h).shape == (0, 2) for h in range(H))


def test_merged_entries_cover_runs_that_tile_the_tokens_kept():
    # Keys all alike: every pass merges, and nothing is ever dropped, so the
    # runs must cover every token since the clear exactly once, in order.
    layer = LayerCache(2, 4, 1, "merge", merge_every=1, threshold=0.5)
    for t in range(33):
        layer.append(np.ones((2, 4)), np.full((2, 1), t))
        for head in range(2):
            spans = layer.spans(head)
            assert spans[0, 0] == 0 and spans[-1, 1] == t
            assert np.array_equal(spans[1:, 0], spans[:-1, 1] + 1)
    assert layer.lengths() == [1, 1]


def test_hybrid_keeps_its_prefix_as_single_tokens():
    layer = LayerCache(1, 4, 1, "hybrid", static_k=3, merge_every=1, threshold=0.5)
    for t in range(10):
        layer.append(np.ones((1, 4)), [[t]])
    assert layer.spans(0).tolist() == [[0, 0], [1, 1], [2, 2], [3, 9]]
