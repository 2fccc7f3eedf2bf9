"""Copies and saved states of a LayerCache: round trips that restore every
bit and the strategy's schedule, and states that are truncated, corrupted,
foreign or hostile, which are refused with ValueError without a crash or an
allocation their size does not justify."""

import copy
import pickle
import struct

import numpy as np
import pytest

from layer_helpers import STRATEGIES, bits, token_stream
from marrowvale import LayerCache

H, D_K, D_V = 2, 5, 3


def built(strategy, tokens=17, **extra):
    layer = LayerCache(H, D_K, D_V, strategy, **STRATEGIES[strategy], **extra)
    keys, values = token_stream(tokens, H, D_K, D_V, seed=11)
    layer.extend(keys, values)
    return layer


@pytest.mark.parametrize("strategy", STRATEGIES)
@pytest.mark.parametrize("how", ["from_bytes", "pickle", "copy", "copy.copy", "copy.deepcopy"])
def test_a_restored_or_copied_cache_goes_on_exactly_like_the_original(strategy, how):
    original = built(strategy)
    twin = {
        "from_bytes": lambda: LayerCache.from_bytes(original.to_bytes()),
        "pickle": lambda: pickle.loads(pickle.dumps(original)),
        "copy": original.copy,
        "copy.copy": lambda: copy.copy(original),
        "copy.deepcopy": lambda: copy.deepcopy(original),
    }[how]()
    assert type(twin) is LayerCache and twin is not original
    assert twin.to_bytes() == original.to_bytes()
    assert twin.stats()["per_head_size"] == original.stats()["per_head_size"]
    # The schedule goes on from where it was: merges come at the same appends.
    keys, values = token_stream(9, H, D_K, D_V, seed=12)
    for t in range(9):
        original.append(keys[t], values[t])
        twin.append(keys[t], values[t])
        assert twin.to_bytes() == original.to_bytes()
    q = np.concatenate([keys[0], keys[1]]) * np.float32(0.5)
    assert np.array_equal(bits(twin.attend(q)), bits(original.attend(q)))
    # Independent from here on.
    twin.clear()
    assert original.lengths() != [0, 0]


def test_threads_are_not_part_of_the_state():
    layer = built("full", threads=2)
    assert LayerCache.from_bytes(layer.to_bytes(), threads=1).threads == 1
    assert LayerCache.from_bytes(bytearray(layer.to_bytes())).to_bytes() == layer.to_bytes()
    assert LayerCache.from_bytes(memoryview(layer.to_bytes()), 2).threads == 2
    with pytest.raises(TypeError, match="argument 'data': expected a bytes-like object, got 'str'"):
        LayerCache.from_bytes("state")


def test_the_state_is_little_endian_and_versioned():
    state = built("sliding").to_bytes()
    assert state[:8] == b"MVLAYER\0"
    assert struct.unpack_from("<IQQQB", state, 8) == (3, H, D_K, D_V, len("sliding"))


# ---- hostile states -----------------------------------------------------------

def refused(data, match=None):
    with pytest.raises(ValueError, match=match) as raised:
        LayerCache.from_bytes(data)
    assert str(raised.value).startswith("invalid LayerCache state: ")


def test_every_truncation_is_refused():
    state = built("hybrid", tokens=9).to_bytes()
    for end in range(len(state)):
        refused(state[:end])
    refused(state + b"\0", "unexpected bytes after the last head")


def flipped_bits_accepted(state):
    """Flips every bit of a state in turn: each is refused, or read as a
    whole cache. Returns how many were read."""
    accepted = 0
    for index in range(len(state)):
        for bit in range(8):
            mutated = bytearray(state)
            mutated[index] ^= 1 << bit
            try:
                layer = LayerCache.from_bytes(mutated)
            except ValueError:
                continue
            accepted += 1
            # What was accepted is a whole cache: it says the same state and works.
            assert layer.to_bytes() == bytes(mutated)
            layer.append(np.ones((H, D_K)), np.ones((H, D_V)))
            layer.attend(np.ones((H, D_K)))
    return accepted


def test_every_flipped_bit_is_refused_or_gives_a_consistent_cache():
    state = built("merge", tokens=9).to_bytes()
    assert flipped_bits_accepted(state) > 0  # the keys and values themselves may hold any bits


def header(n_heads=H, d_k=D_K, d_v=D_V, name=b"full", version=1, magic=b"MVLAYER\0", appends=0, position=0):
    return (magic + struct.pack("<IQQQB", version, n_heads, d_k, d_v, len(name)) + name
            + struct.pack("<QQQIQ", 512, 32, 128, 0x3F666666, 4) + struct.pack("<QQ", appends, position))


def as_version3(state):
    """A version 2 state as version 3 writes it: the storage tier (0,
    float32) after the parameters."""
    at = 37 + state[36] + 6 * 8 + 4
    return state[:8] + struct.pack("<I", 3) + state[12:at] + b"\0" + state[at:]


def head(merges, current, held, keys=(), values=(), spans=()):
    return (struct.pack("<QQQ", merges, current, held) + struct.pack(f"<{len(keys)}f", *keys)
            + struct.pack(f"<{len(values)}f", *values) + struct.pack(f"<{len(spans)}q", *spans))


def one_entry_head(first=0, last=0, merges=0):
    return head(merges, 1, 1, [1.0] * D_K, [2.0] * D_V, [first, last])


@pytest.mark.parametrize("data, match", [
    (header(magic=b"MVLAYEr\0") + head(0, 0, 0) * H, "wrong magic"),
    (header(version=4) + head(0, 0, 0) * H, "unsupported version 4"),
    (header(version=0) + head(0, 0, 0) * H, "unsupported version 0"),
    # Version 1 knew only the strategies that keep no scores.
    (header(name=b"h2o") + head(0, 0, 0) * H, "unknown strategy 'h2o'"),
    (header(name=b"Full") + head(0, 0, 0) * H, "unknown strategy 'Full'"),
    (header(n_heads=0), "n_heads must be at least 1"),
    (header(d_v=0), "d_v must be at least 1"),
    (header(n_heads=2**40, d_k=2**20), "below 2\\*\\*48"),
    # sizes that would allocate without limit, declared in a few bytes
    (header(n_heads=2**47, d_k=1, d_v=1) + head(0, 0, 0), "truncated in the heads"),
    (header(appends=2**62, position=2**62) + head(2**62 - 2**60, 2**60, 2**60) + head(0, 0, 0),
     "truncated in the entries"),
    (header(appends=2**63, position=2**63) + head(0, 0, 0) * H, "too large for the number of heads"),
    (header(appends=1, position=2) + head(0, 0, 0) * H, "more tokens since clear than appends"),
    (header(appends=1, position=1) + head(0, 1, 2) * H, "holds more entries than tokens"),
    (header(appends=2, position=2) + head(1, 2, 1, [0.0] * D_K, [0.0] * D_V, [0, 1]) * H, "current_size differs"),
    (header(appends=2, position=2) + one_entry_head(0, 0, merges=0) * H, "total_merges does not fit"),
    (header(appends=3, position=3) + head(1, 2, 2, [0.0] * 2 * D_K, [0.0] * 2 * D_V, [1, 2, 0, 0]) * H,
     "span 1 \\(0, 0\\) is out of order"),
    (header(appends=3, position=3) + head(2, 1, 1, [0.0] * D_K, [0.0] * D_V, [2, 3]) * H, "beyond the 3 tokens"),
    (header(appends=3, position=3) + head(2, 1, 1, [0.0] * D_K, [0.0] * D_V, [-1, 0]) * H, "out of order"),
])
def test_foreign_and_inconsistent_states_are_refused(data, match):
    refused(data, match)


@pytest.mark.parametrize("name, shown", [(b"Full", "Full"), (b"full\0x", "full\0x"), (b"f\xffull", "f\ufffdull")])
def test_an_unknown_strategy_in_a_state_is_named_with_the_choices(name, shown):
    # The constructor's text, whole past a NUL; bytes that are not UTF-8 shown replaced.
    with pytest.raises(ValueError) as raised:
        LayerCache.from_bytes(header(name=name) + head(0, 0, 0) * H)
    assert str(raised.value) == ("invalid LayerCache state: unknown strategy '" + shown
                                 + "'. choose: full, sliding, static, merge, hybrid")


def test_a_handmade_state_within_the_rules_is_read():
    data = header(name=b"merge", appends=5, position=3) + one_entry_head(0, 2, merges=3) + head(3, 0, 0)
    layer = LayerCache.from_bytes(data)
    assert layer.lengths() == [1, 0]
    assert layer.spans(0).tolist() == [[0, 2]]
    assert layer.stats()["total_appends"] == 10
    # Written again in the current version: budget and recent after the
    # parameters, total_evictions after each head's total_merges.
    first = header(name=b"merge", version=2, appends=5, position=3)
    entry = one_entry_head(0, 2, merges=3)
    upgraded = (first[:-16] + struct.pack("<QQ", 512, 32) + first[-16:]
                + entry[:8] + struct.pack("<Q", 0) + entry[8:]
                + struct.pack("<QQQQ", 3, 0, 0, 0))
    assert layer.to_bytes() == as_version3(upgraded)


# ---- version 2: scores ----------------------------------------------------

SCORED = {"h2o": {"budget": 6, "recent": 1}, "tova": {"budget": 6, "recent": 2}, "knorm": {"budget": 5, "recent": 0}}


def scored(strategy, tokens=17):
    layer = LayerCache(H, D_K, D_V, strategy, **SCORED[strategy])
    keys, values = token_stream(tokens, H, D_K, D_V, seed=13)
    for t in range(tokens):
        layer.append(keys[t], values[t])
        if t % 4 == 0:
            layer.attend(keys[t] * np.float32(0.3))
    return layer


@pytest.mark.parametrize("strategy", SCORED)
@pytest.mark.parametrize("how", ["from_bytes", "pickle", "copy.deepcopy"])
def test_states_and_copies_keep_the_scores(strategy, how):
    original = scored(strategy)
    twin = {"from_bytes": lambda: LayerCache.from_bytes(original.to_bytes()),
            "pickle": lambda: pickle.loads(pickle.dumps(original)),
            "copy.deepcopy": lambda: copy.deepcopy(original)}[how]()
    for h in range(H):
        assert np.array_equal(bits(twin.scores(h)), bits(original.scores(h)))
    keys, values = token_stream(6, H, D_K, D_V, seed=14)
    for t in range(6):
        for layer in (original, twin):
            layer.append(keys[t], values[t])
            layer.attend(keys[t])
        assert twin.to_bytes() == original.to_bytes()


def test_every_truncation_of_a_scored_state_is_refused():
    state = scored("tova", tokens=9).to_bytes()
    for end in range(len(state)):
        refused(state[:end])


def test_every_flipped_bit_of_a_scored_state_is_refused_or_consistent():
    assert flipped_bits_accepted(scored("h2o", tokens=8).to_bytes()) > 0  # scores may hold any bits too


def header2(name=b"h2o", budget=4, recent=1, appends=0, position=0):
    first = header(name=name, version=2, appends=appends, position=position)
    return first[:-16] + struct.pack("<QQ", budget, recent) + first[-16:]


def head2(merges, evictions, current, held, scores=()):
    rows = head(merges, current, held, [1.0] * D_K * held, [2.0] * D_V * held,
                [t for token in range(held) for t in (token, token)])
    return rows[:8] + struct.pack("<Q", evictions) + rows[8:] + struct.pack(f"<{len(scores)}f", *scores)


@pytest.mark.parametrize("data, match", [
    (header2(budget=4, recent=4) + head2(0, 0, 0, 0) * H, "recent is not below budget"),
    (header2(name=b"H2O") + head2(0, 0, 0, 0) * H, "unknown strategy 'H2O'"),
    (header2(appends=3, position=3) + head2(2, 1, 1, 1, [0.5]) * H, "total_merges does not fit"),
    (header2(appends=3, position=3) + head2(1, 0, 1, 1, [0.5]) * H, "total_merges does not fit"),
    # The entries' size is checked, scores included, before any is read.
    (header2(appends=2, position=2) + head2(0, 0, 2, 2, [0.5, 0.5]) + head2(0, 0, 2, 2, [0.5]),
     "head 1: truncated in the entries"),
])
def test_inconsistent_scored_states_are_refused(data, match):
    refused(data, match)


def test_a_handmade_scored_state_is_read():
    data = header2(appends=5, position=5) + head2(2, 1, 2, 2, [0.25, np.inf]) + head2(3, 0, 2, 2, [np.nan, 1.0])
    layer = LayerCache.from_bytes(data)
    assert layer.to_bytes() == as_version3(data)
    assert layer.scores(0).tolist() == [0.25, np.inf] and np.isnan(layer.scores(1)[0])
    assert layer.stats()["total_evictions"] == 1


# ---- counters near their limit ------------------------------------------------

def counted_state(n_heads, appends):
    """A state of empty heads after `appends` appends and no clear: every
    entry appended was taken away."""
    return header(n_heads=n_heads, appends=appends, position=appends) + head(appends, 0, 0) * n_heads


@pytest.mark.parametrize("n_heads, appends", [
    (1, 2**63), (1, 2**64 - 1), (2, 2**63), (3, (2**64 - 1) // 3 + 1),
])
def test_counters_that_could_not_go_on_are_refused(n_heads, appends):
    # Token indices are signed 64-bit, and totals over heads must fit in 64 bits.
    refused(counted_state(n_heads, appends), "total_appends is too large for the number of heads")


@pytest.mark.parametrize("n_heads", [1, 2, 3])
def test_a_state_accepted_stays_loadable_after_further_appends(n_heads):
    most = min(2**63 - 1, (2**64 - 1) // n_heads)
    layer = LayerCache.from_bytes(counted_state(n_heads, most - 1))
    one = np.ones((n_heads, D_K), np.float32), np.ones((n_heads, D_V), np.float32)
    layer.append(*one)
    again = LayerCache.from_bytes(layer.to_bytes())
    assert again.spans(0).tolist() == [[most - 1, most - 1]]
    assert again.stats()["total_appends"] == most * n_heads
    # The counters are full: further appends are refused and change nothing.
    state = again.to_bytes()
    with pytest.raises(OverflowError, match=f"each head of a LayerCache counts at most {most} appends"):
        again.append(*one)
    with pytest.raises(OverflowError, match="at most"):
        again.extend(np.ones((2, n_heads, D_K), np.float32), np.ones((2, n_heads, D_V), np.float32))
    assert again.to_bytes() == state
    again.extend(np.ones((0, n_heads, D_K), np.float32), np.ones((0, n_heads, D_V), np.float32))
    layer.clear()  # clearing restarts the tokens, not the counters
    with pytest.raises(OverflowError):
        layer.append(*one)
