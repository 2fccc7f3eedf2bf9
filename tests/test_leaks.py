"""Memory and reference counts stay flat over many calls.

Each case drives one method or one failure path a few thousand times and
checks, after a warm-up, that

* the reference counts of the objects handed in are unchanged,
* the interpreter's count of allocated blocks did not grow (a leaked Python
  object per call shows up here),
* the bytes in use on the C heap did not grow (a leaked vector or buffer
  shows up here), and, outside the sanitizer build, the resident set size.
"""

import gc
import sys

import pytest

from _marrowvale import PyKVCache
from helpers import (
    NESTED,
    HookedList,
    Index,
    Indexed,
    PanicException,
    Real,
    borrow_conflict,
    nested_call,
)
from process_memory import heap_bytes, quiet_stderr, rss_bytes

ITERATIONS = 3000
WARM_UP = 300
# No leak is smaller than one allocation per call, and the smallest
# allocation is above 8 bytes: 8 bytes a call (plus a constant for caches
# filled once) separates noise from a leak.
HEAP_SLACK = 32 * 1024 + 8 * ITERATIONS
# Printing a traceback (panics raised by Python code) fills caches that
# move the block count by a hundred or so either way; a leak moves it by at
# least one block a call.
BLOCK_SLACK = ITERATIONS // 6
RSS_SLACK = 1024 * 1024 + 8 * ITERATIONS


def snapshot(watched):
    gc.collect()
    return {
        "refs": [sys.getrefcount(obj) for obj in watched],
        "blocks": sys.getallocatedblocks(),
        "heap": heap_bytes(),
        "rss": rss_bytes(),
    }


# A round that grows memory may be noise from another thread of the test
# runner (pytest-xdist's channel to its worker receives the next tests at
# any time); a leak grows memory in every round. So memory must stay flat in
# one of ROUNDS rounds in a row, while reference counts must stay exact in
# every round.
ROUNDS = 3


def memory_growth(before, after):
    """What grew beyond its slack, by name; empty when nothing did."""
    grown = {}
    if after["blocks"] - before["blocks"] > BLOCK_SLACK:
        grown["blocks"] = (before["blocks"], after["blocks"])
    if before["heap"] is not None and after["heap"] - before["heap"] > HEAP_SLACK:
        grown["heap"] = (before["heap"], after["heap"])
    if before["rss"] is not None and after["rss"] - before["rss"] > RSS_SLACK:
        grown["rss"] = (before["rss"], after["rss"])
    return grown


def assert_flat(action, *watched):
    """Runs `action` WARM_UP times, then rounds of ITERATIONS times; no round
    may change the reference counts of `watched`, and memory must not grow
    in at least one of ROUNDS rounds."""
    rounds = []
    with quiet_stderr():
        for _ in range(WARM_UP):
            action()
        for _ in range(ROUNDS):
            before = snapshot(watched)
            for _ in range(ITERATIONS):
                action()
            after = snapshot(watched)
            assert after["refs"] == before["refs"], "reference counts of the arguments changed"
            rounds.append(memory_growth(before, after))
            if not rounds[-1]:
                return
    raise AssertionError(f"memory grew in each of {ROUNDS} rounds: {rounds}")


def raising(exc_type, fn, *args, match=None, **kwargs):
    """An action that calls fn and insists on the exception, so that a path
    that stopped failing cannot pass as leak-free."""
    # Checked once in full, with the message.
    with pytest.raises(exc_type, match=match):
        fn(*args, **kwargs)

    def action():
        try:
            fn(*args, **kwargs)
        except exc_type:
            return
        raise AssertionError(f"{fn} no longer raises {exc_type.__name__}")

    return action


def vector(n, value=0.25):
    # Floats that are not cached singletons, so their counts move if they leak.
    return [value * (i + 1) for i in range(n)]


STRATEGIES = [
    dict(strategy="full"),
    dict(strategy="sliding", window_size=8),
    dict(strategy="static", static_k=3, recent_k=5),
    dict(strategy="merge", merge_every=2, threshold=0.5),
    dict(strategy="hybrid", static_k=2, merge_every=2, threshold=0.5),
]


# ---- successful calls ------------------------------------------------------


@pytest.mark.parametrize("params", STRATEGIES, ids=lambda p: p["strategy"])
@pytest.mark.parametrize("d", [8, 300], ids=["inline", "heap"])
def test_every_method_on_every_strategy(params, d):
    # 300 floats do not fit a call's stack buffer, so conversion allocates.
    cache = PyKVCache(d, d, **params)
    k, v, q = vector(d), vector(d, 0.5), vector(d, -0.125)
    step = [0]

    def action():
        step[0] += 1
        cache.append(k, v)
        # Alternate the key so that merges happen as well as pass-throughs.
        cache.append(q if step[0] % 2 else k, v)
        out = cache.attend(q)
        assert len(out) == d
        cache.stats()
        cache.current_len()
        if step[0] % 50 == 0:
            cache.clear()

    assert_flat(action, cache, k, v, q, k[0], v[-1])


def test_constructing_and_dropping_caches_with_entries():
    k, v = vector(64), vector(64)
    name = "".join(["hyb", "rid"])  # not interned
    d_k, threshold = Index(64), Real(0.5)

    def action():
        for params in STRATEGIES:
            cache = PyKVCache(64, 64, **params)
            cache.append(k, v)
            cache.append(k, v)
        PyKVCache(d_k=64, d_v=64, strategy=name, static_k=0, merge_every=1).append(k, v)
        PyKVCache(d_k, 64, "merge", threshold=threshold).append(k, v)

    assert_flat(action, PyKVCache, k, v, name, d_k, threshold)


def test_tuples_ranges_bytes_arrays_and_number_objects():
    import array

    import numpy as np

    d = 16
    as_tuple = tuple(vector(d))
    as_range = range(d)
    as_bytes = bytes(range(d))
    as_array = array.array("f", vector(d))
    as_doubles = array.array("d", vector(d))
    as_ndarray = np.arange(d, dtype=np.float64)
    as_view = memoryview(array.array("f", vector(d)))
    numbers = [Real(0.5 + i) for i in range(d)]
    counts = [Index(i) for i in range(d)]
    cache = PyKVCache(d, d)

    def action():
        for k in (as_tuple, as_range, as_bytes, as_array, as_doubles, as_ndarray, as_view, numbers, counts):
            cache.append(k, k)
            cache.attend(k)
        cache.clear()

    assert_flat(action, cache, as_tuple, as_range, as_bytes, as_array, as_doubles, as_ndarray, as_view, numbers,
                numbers[3], counts, counts[5])


# ---- constructor failures ---------------------------------------------------

_huge = 2**64
_negative = -(2**70)
_surrogate = "full\udc80"
_threshold_text = "0.9"


@pytest.mark.parametrize(
    "exc_type, args, kwargs, match",
    [
        (TypeError, tuple(range(9)), {}, "takes from 0 to 8 positional arguments but 9 were given"),
        (TypeError, (), {"size": 1}, "unexpected keyword argument 'size'"),
        (TypeError, (64,), {"d_k": 64}, "multiple values for argument 'd_k'"),
        (TypeError, (), {"d_k": 1.5}, "^argument 'd_k': "),
        (TypeError, (), {"recent_k": None}, "^argument 'recent_k': "),
        (TypeError, (), {"threshold": _threshold_text}, "^argument 'threshold': "),
        (TypeError, (), {"strategy": b"full"}, "^argument 'strategy': 'bytes' object cannot be converted"),
        (OverflowError, (), {"d_v": -1}, None),
        (OverflowError, (), {"window_size": _huge}, None),
        (OverflowError, (), {"merge_every": _negative}, None),
        (OverflowError, (), {"static_k": Index(-5)}, None),
        (UnicodeEncodeError, (), {"strategy": _surrogate}, None),
        (LookupError, (), {"d_k": Index(LookupError)}, "from __index__"),
        (TypeError, (), {"d_k": Index(TypeError)}, "^argument 'd_k': from __index__"),
        (ZeroDivisionError, (), {"threshold": Real(ZeroDivisionError)}, "from __float__"),
        (ValueError, (), {"strategy": "Full"}, "unknown strategy 'Full'"),
        (ValueError, (Index(3), Index(2), "nope"), {"threshold": Real(0.5)}, "unknown strategy 'nope'"),
        (OverflowError, (Index(3), Index(2), "full", -1), {"threshold": Real(0.5)}, None),
        (ValueError, (), {"strategy": "", "d_k": 2**64 - 1}, "unknown strategy ''"),
    ],
    ids=lambda value: None,
)
def test_constructor_failures(exc_type, args, kwargs, match):
    action = raising(exc_type, PyKVCache, *args, match=match, **kwargs)
    assert_flat(action, *args, *kwargs.values())


def test_constructor_panic_from_user_code():
    bad = Index(PanicException)
    action = raising(PanicException, PyKVCache, d_v=bad, match="from __index__")
    assert_flat(action, bad)


# ---- method failures --------------------------------------------------------


def _cache(d=4, **params):
    cache = PyKVCache(d, d, **params)
    cache.append(vector(d), vector(d))
    return cache


_k4 = vector(4)
_v4 = vector(4)
_k300 = vector(300)
_text = "abcd"
_set = {1.0, 2.0, 3.0, 4.0}
_dict = {0: 1.0}
_generator = (x for x in _k4)


@pytest.mark.parametrize(
    "exc_type, method, args, kwargs, match",
    [
        # binding
        (TypeError, "append", (_k4, _v4, _k4), {}, "takes 2 positional arguments but 3 were given"),
        (TypeError, "append", (_k4,), {"x": _v4}, "unexpected keyword argument 'x'"),
        (TypeError, "append", (_k4, _v4), {"k": _k4}, "multiple values for argument 'k'"),
        (TypeError, "append", (_k4,), {}, "missing 1 required positional argument: 'v'"),
        (TypeError, "append", (), {}, "missing 2 required positional arguments: 'k' and 'v'"),
        (TypeError, "attend", (_k4, _k4), {}, "takes 1 positional arguments but 2 were given"),
        (TypeError, "attend", (), {"p": _k4}, "unexpected keyword argument 'p'"),
        (TypeError, "attend", (_k4,), {"q": _k4}, "multiple values for argument 'q'"),
        (TypeError, "attend", (), {}, "missing 1 required positional argument: 'q'"),
        (TypeError, "stats", (_k4,), {}, None),
        (TypeError, "clear", (None,), {}, None),
        (TypeError, "current_len", (), {"x": 1}, None),
        # conversion
        (TypeError, "append", (_text, _v4), {}, "argument 'k': Can't extract `str` to `Vec`"),
        (TypeError, "append", (_k4, _set), {}, "argument 'v': 'set' object cannot be converted to 'Sequence'"),
        (TypeError, "attend", (_dict,), {}, "argument 'q': 'dict' object cannot be converted to 'Sequence'"),
        (TypeError, "append", (_generator, _v4), {}, "argument 'k': 'generator' object cannot be converted"),
        (TypeError, "append", (_k4, [0.0, 1.0, "x", 3.0]), {}, "^argument 'v': "),
        (TypeError, "append", (_k300[:-1] + [None], _v4), {}, "^argument 'k': "),
        (TypeError, "attend", ([0.0, Real(TypeError)],), {}, "^argument 'q': from __float__"),
        (ArithmeticError, "append", ([0.0, Real(ArithmeticError)], _v4), {}, "^from __float__$"),
        (LookupError, "append", (_k4, Indexed([0.5, 0.5, LookupError, 0.5])), {}, "broken at 2"),
        (LookupError, "attend", (Indexed([0.5] * 299 + [LookupError]),), {}, "broken at 299"),
        # panics
        (PanicException, "append", (_k4[:3], _v4), {}, "key dim mismatch"),
        (PanicException, "append", (_k4, _v4 + [1.0]), {}, "value dim mismatch"),
        (PanicException, "append", (_k300, _k300), {}, "key dim mismatch"),
        (PanicException, "attend", (_k300,), {}, r"self\.len\(\) == rhs\.len\(\)"),
        (PanicException, "append", ([Real(PanicException)], _v4), {}, "from __float__"),
        (PanicException, "attend", (HookedList([Real(PanicException)], length=ValueError),), {}, "from __float__"),
        # a panic from __len__ is not swallowed with the length hint
        (PanicException, "append", (HookedList(_k4, length=PanicException), _v4), {}, "no length"),
    ],
    ids=lambda value: None,
)
def test_method_failures(exc_type, method, args, kwargs, match):
    cache = _cache()
    action = raising(exc_type, getattr(cache, method), *args, match=match, **kwargs)
    assert_flat(action, cache, *args, *kwargs.values())
    assert cache.current_len() == 1
    assert cache.stats()["total_appends"] == 1


def test_wrong_receiver():
    stranger = [1.0, 2.0]
    append = PyKVCache.append
    action = raising(TypeError, append, stranger, _k4, _v4)
    assert_flat(action, stranger)


# ---- borrow conflicts -------------------------------------------------------


@pytest.mark.parametrize("outer", ["append", "attend"])
@pytest.mark.parametrize("inner", NESTED)
def test_borrow_conflicts(outer, inner):
    cache = _cache()
    element = Real(1.0, action=lambda: nested_call(cache, inner, 4, 4))
    arg = [0.0, element, 0.0, 0.0]
    if outer == "append":
        call = lambda: cache.append(_k4, arg)  # noqa: E731
    else:
        call = lambda: cache.attend(arg)  # noqa: E731
    message = borrow_conflict(outer, inner)
    action = call if message is None else raising(RuntimeError, call, match=message)
    assert_flat(action, cache, element, arg)
    # The flag came back each time: an exclusive borrow is possible.
    cache.clear()
    assert cache.current_len() == 0


def test_clear_gives_the_memory_of_the_entries_back():
    if heap_bytes() is None:
        pytest.skip("no allocator statistics on this platform")
    row = [0.5] * 64
    cache = PyKVCache(64, 64)
    before = heap_bytes()
    for _ in range(20_000):
        cache.append(row, row)
    grown = heap_bytes() - before
    assert grown >= 20_000 * 2 * 64 * 4
    cache.clear()
    assert heap_bytes() - before < grown // 20
    # and the cache fills again from nothing
    cache.append(row, row)
    assert cache.current_len() == 1
