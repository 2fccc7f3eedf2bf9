"""LayerCache against one PyKVCache per head, bit for bit: every strategy,
grouped-query attention, extend against appends, clear, and any number of
threads; and the kernel set chosen at import gives the scalar bits."""

import functools
import json
import os

import numpy as np
import pytest

from layer_helpers import (STRATEGIES, append_to_heads, bits, expected_attention, head_caches, run_with_kernels,
                           token_stream)
from marrowvale import LayerCache

H, D_K, D_V = 3, 12, 10  # d_k and d_v differ, and neither is a whole number of eight-lane blocks


def assert_matches_heads(layer, caches, q):
    assert layer.lengths() == [c.current_len() for c in caches]
    per_head = [c.stats() for c in caches]
    stats = layer.stats()
    for key in ("total_appends", "total_merges", "total_evictions", "current_size"):
        assert stats[key] == sum(s[key] for s in per_head), key
    assert stats["per_head_size"] == [s["current_size"] for s in per_head]
    # Held over appended, summed over heads, divided in float32.
    appended = np.float32(stats["total_appends"])
    assert stats["compression_ratio"] == (np.float32(stats["current_size"]) / appended if appended else 1.0)
    assert np.array_equal(bits(layer.attend(q)), bits(expected_attention(caches, q)))


@pytest.mark.parametrize("strategy", STRATEGIES)
@pytest.mark.parametrize("n_q", [H, 2 * H])
def test_appends_and_grouped_attention_match_one_pykvcache_per_head(strategy, n_q):
    params = STRATEGIES[strategy]
    layer = LayerCache(H, D_K, D_V, strategy, **params)
    caches = head_caches(H, D_K, D_V, strategy, params)
    keys, values = token_stream(40, H, D_K, D_V)
    queries, _ = token_stream(40, n_q, D_K, 1, seed=1)
    for t in range(40):
        layer.append(keys[t], values[t])
        append_to_heads(caches, keys[t], values[t])
        assert_matches_heads(layer, caches, queries[t] * np.float32(0.25))
        if t == 25:
            layer.clear()
            for cache in caches:
                cache.clear()
            assert layer.lengths() == [0] * H
            assert_matches_heads(layer, caches, queries[t])
    if strategy in ("merge", "hybrid"):
        # The stream makes the heads keep different numbers of entries.
        assert len(set(layer.lengths())) > 1


@pytest.mark.parametrize("strategy", STRATEGIES)
def test_extend_leaves_the_state_that_appends_leave(strategy):
    params = STRATEGIES[strategy]
    keys, values = token_stream(60, H, D_K, D_V, seed=2)
    by_appends = LayerCache(H, D_K, D_V, strategy, **params)
    by_extends = LayerCache(H, D_K, D_V, strategy, **params)
    start = 0
    for size in [0, 1, 5, 2, 13, 0, 39]:
        by_extends.extend(keys[start:start + size], values[start:start + size])
        for t in range(start, start + size):
            by_appends.append(keys[t], values[t])
        start += size
        # The state holds every entry, span and counter, and the schedule.
        assert by_extends.to_bytes() == by_appends.to_bytes()
        assert by_extends.stats() == by_appends.stats()


def test_attend_writes_into_out_and_returns_it():
    layer = LayerCache(H, D_K, D_V)
    keys, values = token_stream(5, H, D_K, D_V)
    layer.extend(keys, values)
    q = keys[0] * np.float32(0.5)
    out = np.full((H, D_V), np.nan, dtype=np.float32)
    assert layer.attend(q, out=out) is out
    assert np.array_equal(bits(out), bits(layer.attend(q)))
    target = np.zeros((H, D_V), dtype=np.float32)
    view = memoryview(target)
    assert layer.attend(q, view) is view  # any writable float32 buffer
    assert np.array_equal(bits(target), bits(out))


def test_attend_reads_every_query_before_its_output_overwrites_it():
    layer = LayerCache(2, 8, 8)
    keys, values = token_stream(6, 2, 8, 8)
    layer.extend(keys, values)
    q = np.ascontiguousarray(np.concatenate([keys[1], keys[4]]) * np.float32(0.3))
    expected = layer.attend(q)
    layer.attend(q, out=q)  # the output is the query array itself
    assert np.array_equal(bits(q), bits(expected))


def test_an_empty_cache_attends_to_zeros_and_no_queries_give_no_rows():
    layer = LayerCache(2, 4, 3)
    assert np.array_equal(layer.attend(np.ones((4, 4), np.float32)), np.zeros((4, 3), np.float32))
    assert layer.attend(np.zeros((0, 4), np.float32)).shape == (0, 3)


@pytest.mark.parametrize("strategy", ["full", "merge", "hybrid"])
def test_results_do_not_depend_on_the_thread_count(strategy):
    # Large enough to be spread over threads without the interpreter lock.
    heads, d = 6, 48
    keys, values = token_stream(900, heads, d, d, seed=3)
    queries = keys[::300].reshape(-1, d)[: 2 * heads] * np.float32(0.2)
    layers = [LayerCache(heads, d, d, strategy, threads=t, **STRATEGIES[strategy]) for t in (1, 2, 5)]
    for layer in layers:
        layer.extend(keys[:700], values[:700])
        for t in range(700, 900):
            layer.append(keys[t], values[t])
    states = {layer.to_bytes() for layer in layers}
    assert len(states) == 1
    outputs = [bits(layer.attend(queries)) for layer in layers]
    assert all(np.array_equal(outputs[0], o) for o in outputs[1:])
    caches = head_caches(heads, d, d, strategy, STRATEGIES[strategy])
    for t in range(900):
        append_to_heads(caches, keys[t], values[t])
    assert np.array_equal(outputs[0], bits(expected_attention(caches, queries)))


KERNEL_CHILD = r"""
import json, sys
import numpy as np
sys.path.insert(0, sys.argv[1])
from layer_helpers import STRATEGIES, token_stream
from marrowvale import LayerCache
out = {}
for strategy, params in STRATEGIES.items():
    layer = LayerCache(4, 20, 9, strategy, threads=2, **params)
    keys, values = token_stream(300, 4, 20, 9, seed=5)
    layer.extend(keys, values)
    q = keys[-2:].reshape(8, 20) * np.float32(0.3)
    out[strategy] = [layer.to_bytes().hex(), layer.attend(q).view(np.uint32).tolist()]
json.dump(out, sys.stdout)
"""


@functools.cache
def kernel_run(kernel_set):
    return json.loads(run_with_kernels(kernel_set, KERNEL_CHILD, os.path.dirname(__file__)))


@pytest.mark.parametrize("kernel_set", ["sse2", "avx2", "avx512"])
def test_each_kernel_set_gives_the_layer_cache_the_scalar_bits(kernel_set):
    assert kernel_run(kernel_set) == kernel_run("scalar")
