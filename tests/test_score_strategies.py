"""The strategies that choose by score ("h2o", "tova", "knorm") against the
model of tests/score_model.py: after every append and every attend, each
head holds the tokens the model holds, with the model's scores to the bit,
and attends to the bit as a full cache holding the same entries does.
Also the tie rule, NaN scores, extend as appends, the parameters and the
counters."""

import numpy as np
import pytest

from _marrowvale import PyKVCache
from layer_helpers import bits, token_stream
from marrowvale import LayerCache
from reference import F32, unrolled_dot
from score_model import BUDGETS, Layer

SCORED = ("h2o", "tova", "knorm")
H, D_K, D_V = 2, 8, 4


def full_cache_outputs(model, q):
    """The attention of q over a full cache holding the model's entries."""
    full = LayerCache(H, D_K, D_V, "full")
    held = len(model.heads[0].tokens)
    if held:
        keys = np.stack([model.keys(h) for h in range(H)], axis=1)
        values = np.stack([model.values(h) for h in range(H)], axis=1)
        full.extend(keys, values)
    return full.attend(q)


def assert_like_model(layer, model):
    for h, head in enumerate(model.heads):
        assert layer.spans(h)[:, 0].tolist() == head.tokens
        assert np.array_equal(bits(layer.scores(h)), bits(np.array(head.scores, F32)))
        assert np.array_equal(bits(layer.keys(h)), bits(model.keys(h)))


@pytest.mark.parametrize("strategy", SCORED)
@pytest.mark.parametrize("group", [1, 3])
def test_every_step_keeps_the_model_entries_and_scores(strategy, group):
    rng = np.random.default_rng(len(strategy) + group)
    layer = LayerCache(H, D_K, D_V, strategy, **BUDGETS)
    model = Layer(H, strategy)
    keys, values = token_stream(40, H, D_K, D_V, seed=group)
    not_a_window = 0
    for t in range(40):
        layer.append(keys[t], values[t])
        model.append(keys[t], values[t])
        assert_like_model(layer, model)
        not_a_window += model.heads[0].tokens != list(range(t + 1))[-BUDGETS["budget"]:]
        # Attends now and then, so that "tova" meets entries no attend has
        # weighed beside ones it has.
        if t % 3 != 1:
            q = (rng.standard_normal((H * group, D_K)) * 0.7).astype(F32)
            out = layer.attend(q)
            assert np.array_equal(bits(out), bits(full_cache_outputs(model, q)))
            model.attend(q)
            assert_like_model(layer, model)
    # The scores chose: most of the time the heads hold more than the
    # newest tokens.
    assert not_a_window > 20
    assert layer.stats()["total_merges"] == model.merges == H * (40 - BUDGETS["budget"])
    assert layer.lengths() == [BUDGETS["budget"]] * H


@pytest.mark.parametrize("strategy", SCORED)
def test_extend_is_appends_without_attends(strategy):
    keys, values = token_stream(30, H, D_K, D_V, seed=4)
    q = keys[3] * F32(0.5)
    one, many = LayerCache(H, D_K, D_V, strategy, **BUDGETS), LayerCache(H, D_K, D_V, strategy, **BUDGETS)
    for layer in (one, many):
        layer.extend(keys[:5], values[:5])
        layer.attend(q)
    for t in range(5, 30):
        one.append(keys[t], values[t])
    many.extend(keys[5:], values[5:])
    assert one.to_bytes() == many.to_bytes()


def test_ties_evict_the_oldest():
    # Keys of one norm: every "knorm" score is equal.
    same_norm = np.zeros((12, 1, 4), F32)
    same_norm[np.arange(12), 0, np.arange(12) % 4] = F32(2)
    knorm = LayerCache(1, 4, 4, "knorm", budget=5, recent=2)
    knorm.extend(same_norm, same_norm)
    assert knorm.spans(0)[:, 0].tolist() == [7, 8, 9, 10, 11]
    # A zero query weighs every entry alike: entries that saw the same
    # attends tie, and the oldest of them goes first.
    h2o = LayerCache(1, 4, 4, "h2o", budget=4, recent=1)
    tova = LayerCache(1, 4, 4, "tova", budget=4, recent=1)
    keys, values = token_stream(8, 1, 4, 4, seed=5)
    for layer in (h2o, tova):
        layer.extend(keys[:4], values[:4])
        layer.attend(np.zeros((1, 4)))
        layer.append(keys[4], values[4])
        assert layer.spans(0)[:, 0].tolist() == [1, 2, 3, 4]
        layer.append(keys[5], values[5])
    # "h2o": token 4 has scored nothing, below the others' 1/4; "tova": no
    # attend has weighed it, so it counts as recent, and the oldest of the
    # equal others goes.
    assert h2o.spans(0)[:, 0].tolist() == [1, 2, 3, 5]
    assert tova.spans(0)[:, 0].tolist() == [2, 3, 4, 5]
    # Before any attend every "tova" entry counts as recent: the oldest goes.
    fresh = LayerCache(1, 4, 4, "tova", budget=3, recent=1)
    fresh.extend(keys, values)
    assert fresh.spans(0)[:, 0].tolist() == [5, 6, 7]


def test_a_nan_score_is_evicted_first():
    keys, values = token_stream(6, 1, 4, 4, seed=6)
    keys[1, 0, 2] = np.nan
    layer = LayerCache(1, 4, 4, "knorm", budget=5, recent=1)
    layer.extend(keys, values)
    assert layer.spans(0)[:, 0].tolist() == [0, 2, 3, 4, 5]
    # A NaN query makes every weight a NaN: "h2o" then ties everywhere.
    h2o = LayerCache(1, 4, 4, "h2o", budget=3, recent=1)
    h2o.extend(keys[2:5], values[2:5])
    h2o.attend(np.full((1, 4), np.nan))
    assert np.isnan(h2o.scores(0)).all()
    h2o.append(keys[5], values[5])
    assert h2o.spans(0)[:, 0].tolist() == [1, 2, 3]


def test_parameters_are_checked():
    with pytest.raises(ValueError, match=r"^argument 'recent': must be below budget \(4\), got 4$"):
        LayerCache(1, 4, 4, "h2o", budget=4, recent=4)
    with pytest.raises(ValueError, match=r"^argument 'recent': must be below budget \(0\), got 0$"):
        LayerCache(1, 4, 4, "knorm", budget=0, recent=0)
    with pytest.raises(ValueError, match="argument 'budget': must be an integer from 0"):
        LayerCache(1, 4, 4, "tova", budget=-1)
    # Strategies that do not use them check their type and range only.
    assert LayerCache(1, 4, 4, "sliding", budget=0, recent=9).lengths() == [0]
    defaults = LayerCache(1, 4, 4, "h2o")
    defaults.extend(np.ones((600, 1, 4)), np.ones((600, 1, 4)))
    assert defaults.lengths() == [512]
    with pytest.raises(ValueError, match="^strategy 'sliding' keeps no scores$"):
        LayerCache(1, 4, 4, "sliding").scores(0)


@pytest.mark.parametrize("strategy", SCORED)
def test_pykvcache_offers_none_of_them(strategy):
    with pytest.raises(ValueError) as raised:
        PyKVCache(4, 4, strategy)
    assert str(raised.value) == f"unknown strategy '{strategy}'. choose: full, sliding, static, merge, hybrid"


def test_counters_tell_strategy_evictions_from_selections():
    keys, values = token_stream(20, H, D_K, D_V, seed=7)
    layer = LayerCache(H, D_K, D_V, "h2o", budget=10, recent=2)
    layer.extend(keys, values)
    layer.retain([[0, 1, 2], [-1]])
    stats = layer.stats()
    assert (stats["total_merges"], stats["total_evictions"]) == (2 * 10, 7 + 9)
    assert stats["per_head_size"] == [3, 1] and stats["current_size"] == 4
    restored = LayerCache.from_bytes(layer.to_bytes())
    assert restored.stats() | {"nbytes": 0} == stats | {"nbytes": 0}


def test_with_strategy_keeps_the_entries_and_the_scores_of_one_strategy():
    keys, values = token_stream(20, H, D_K, D_V, seed=8)
    unbounded = LayerCache(H, D_K, D_V, "h2o", budget=2**64 - 1, recent=0)
    model = Layer(H, "h2o", budget=10**9, recent=0)
    rng = np.random.default_rng(8)
    for t in range(20):
        q = rng.standard_normal((H, D_K)).astype(F32)
        for layer in (unbounded, model):
            layer.append(keys[t], values[t])
            layer.attend(q)
    bounded = unbounded.with_strategy("h2o", budget=6, recent=2)
    assert bounded.lengths() == [20, 20] and bounded.stats() | {"nbytes": 0} == unbounded.stats() | {"nbytes": 0}
    assert_like_model(bounded, model)
    # The new budget holds from the next append on: one append evicts 15.
    for head in model.heads:
        head.budget, head.recent = 6, 2
    bounded.append(keys[0], values[0])
    model.append(keys[0], values[0])
    assert_like_model(bounded, model)
    assert bounded.stats()["total_merges"] == 2 * 15 and unbounded.lengths() == [20, 20]
    # Another strategy scores every entry as a new one.
    knorm = unbounded.with_strategy("knorm", budget=4, recent=1)
    held = unbounded.keys(1)
    assert np.array_equal(bits(knorm.scores(1)), bits(-np.sqrt(unrolled_dot(held, held))))
    assert (unbounded.with_strategy("tova", budget=40).scores(0) == np.inf).all()
    sliding = unbounded.with_strategy("sliding", window_size=3)
    sliding.append(keys[1], values[1])
    assert sliding.spans(0)[:, 0].tolist() == [18, 19, 20]
    with pytest.raises(ValueError, match="argument 'recent': must be below budget"):
        unbounded.with_strategy("h2o", budget=3, recent=3)
    with pytest.raises(TypeError, match=r"^LayerCache.with_strategy\(\) takes 1 positional arguments but 2 were given$"):
        unbounded.with_strategy("h2o", 3)
    with pytest.raises(ValueError, match="unknown strategy 'H2O'"):
        unbounded.with_strategy("H2O")
