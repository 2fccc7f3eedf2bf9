"""Abuse from Python beyond single conversions: non-finite numbers
everywhere, extreme dimensions, a million entries, a receiver dropped in the
middle of its own call, an instance the constructor never saw and a second
interpreter.

Whatever happens, the process must not crash, and afterwards the cache must
hold exactly what a float32 model driven with the same successful calls holds
(every statistic, and attention outputs that pin the entries down), with its
borrow free for the next call.
"""

import itertools
import json
import math
import os
import subprocess
import sys
import zlib

import numpy as np
import pytest

from _marrowvale import PyKVCache
from helpers import PanicException, assert_consistent, assert_usable, floats, random_floats
from process_memory import heap_bytes, quiet_stderr
from reference import QUERY_MISMATCH, U64_MAX, RefCache, comparable, expf


# ---- NaN and infinity everywhere -------------------------------------------

SPECIALS = [math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, 1e39, -1e39, 1e-45, 3.4028234663852886e38,
            1.401298464324817e-45, 2.0**-149, 2.0**127]


def _special_vector(rng, d, rate):
    out = random_floats(rng, d)
    for i in range(d):
        if rng.random() < rate:
            out[i] = SPECIALS[rng.integers(len(SPECIALS))]
    return out


STRATEGY_PARAMS = [
    dict(strategy="full"),
    dict(strategy="sliding", window_size=5),
    dict(strategy="static", static_k=2, recent_k=3),
    dict(strategy="merge", merge_every=1, threshold=0.0),
    dict(strategy="merge", merge_every=2, threshold=-1.0),
    dict(strategy="hybrid", static_k=1, merge_every=1, threshold=-0.5),
]
THRESHOLDS = [math.nan, math.inf, -math.inf, 1e39, -1e39, 0.0, -0.0]


@pytest.mark.parametrize("params", STRATEGY_PARAMS + [
    dict(strategy=s, merge_every=1, threshold=t) for s, t in itertools.product(["merge", "hybrid"], THRESHOLDS)
], ids=lambda p: "-".join(str(v) for v in p.values()))
@pytest.mark.parametrize("rate", [0.05, 0.5, 1.0])
@pytest.mark.parametrize("d_k,d_v", [(1, 1), (8, 3), (13, 17)])
def test_non_finite_numbers_everywhere(params, rate, d_k, d_v):
    rng = np.random.default_rng(zlib.crc32(repr((params, rate, d_k, d_v)).encode()))
    cache, ref = PyKVCache(d_k, d_v, **params), RefCache(d_k, d_v, **params)
    for step in range(24):
        k, v = _special_vector(rng, d_k, rate), _special_vector(rng, d_v, rate)
        # The array reading path and the item-by-item path must agree.
        with np.errstate(over="ignore"):
            as_k = np.array(k, dtype=np.float64) if step % 3 == 1 else k
            as_v = np.array(v, dtype=np.float32) if step % 3 == 2 else v
        cache.append(as_k, as_v)
        ref.append(k, v)
        q = _special_vector(rng, d_k, rate)
        assert comparable(cache.attend(q)) == ref.attend_bits(q)
        assert cache.stats() == ref.stats()
        assert cache.current_len() == ref.current_len()
        if step == 15:
            cache.clear()
            ref.clear()
    assert_consistent(cache, ref)


# ---- extreme dimensions ----------------------------------------------------

HUGE = U64_MAX


def test_construction_with_huge_dimensions_allocates_nothing_for_them():
    before = heap_bytes()
    caches = [PyKVCache(HUGE, HUGE, strategy=s) for s in ("full", "sliding", "static", "merge", "hybrid")
              for _ in range(40)]
    if before is not None:
        # An object and a strategy each: nowhere near d_k floats.
        assert heap_bytes() - before < len(caches) * 4096
    for cache in caches[::40]:
        assert cache.current_len() == 0
        assert cache.stats()["current_size"] == 0


@pytest.mark.parametrize("d_v", [HUGE, 2**63 - 1, 2**63, 2**62, 2**62 - 1, 2**61, 2**50, 2**40])
def test_attend_on_an_empty_cache_with_an_unallocatable_d_v_raises_memory_error(d_v):
    cache = PyKVCache(3, d_v)
    for q in ([], [1.0, 2.0, 3.0], [math.nan] * 7):
        with pytest.raises(MemoryError):
            cache.attend(q)
    # Nothing was held by the failed calls: the cache still works.
    assert cache.current_len() == 0
    cache.clear()
    assert cache.stats()["total_appends"] == 0


@pytest.mark.parametrize("params", STRATEGY_PARAMS, ids=lambda p: "-".join(str(v) for v in p.values()))
@pytest.mark.parametrize("d_k,d_v", [(0, 0), (0, 3), (3, 0)])
def test_zero_dimensions(params, d_k, d_v):
    cache, ref = PyKVCache(d_k, d_v, **params), RefCache(d_k, d_v, **params)
    for i in range(20):
        k, v = floats(d_k, i), floats(d_v, -i)
        cache.append(k, v)
        ref.append(k, v)
        assert comparable(cache.attend(floats(d_k))) == ref.attend_bits(floats(d_k))
        assert cache.stats() == ref.stats()
    with quiet_stderr(), pytest.raises(PanicException):
        cache.append(floats(d_k + 1), floats(d_v))
    with quiet_stderr(), pytest.raises(PanicException):
        cache.append(floats(d_k), floats(d_v + 1))
    if cache.current_len():
        with quiet_stderr(), pytest.raises(PanicException) as caught:
            cache.attend(floats(d_k + 2))
        assert str(caught.value) == QUERY_MISMATCH
    assert_usable(cache, ref)


# ---- a million entries -------------------------------------------------------


def _eight_lane_sum(terms):
    """The eight-lane order over a long float32 array, vectorised by lane:
    np.add.accumulate adds strictly left to right, one rounding a step."""
    n = len(terms)
    whole = n - n % 8
    partial = np.add.accumulate(terms[:whole].reshape(-1, 8), axis=0)[-1] if whole else np.zeros(8, np.float32)
    total = np.float32(0.0)
    for r in range(4):
        total = np.float32(total + np.float32(partial[r] + partial[r + 4]))
    for x in terms[whole:]:
        total = np.float32(total + x)
    return total


def test_a_million_entries():
    n = 1_000_000
    cache = PyKVCache(1, 1)
    # Three distinct keys and seven distinct values, so the softmax has three
    # distinct weights and every product is one of 21.
    key_choices = [[0.0], [0.5], [-0.25]]
    value_choices = [[float(x)] for x in (0.5, -1.0, 3.0, 0.125, -7.5, 2.0, 1e-3)]
    for i in range(n):
        cache.append(key_choices[i % 3], value_choices[i % 7])
    assert cache.current_len() == n
    stats = cache.stats()
    assert stats["total_appends"] == n and stats["current_size"] == n and stats["compression_ratio"] == 1.0

    q = 1.5
    scores = np.array([np.float32(np.float32(0.0) + np.float32(k[0]) * np.float32(q)) for k in key_choices],
                      dtype=np.float32)  # / sqrt(1) = 1 changes nothing
    m = scores.max()
    exps_choice = np.array([expf(np.float32(s - m)) for s in scores], dtype=np.float32)
    index = np.arange(n)
    exps = exps_choice[index % 3]
    total = _eight_lane_sum(exps)
    weights = exps / total
    values = np.array([v[0] for v in value_choices], dtype=np.float32)[index % 7]
    expected = np.add.accumulate(np.concatenate([[np.float32(0.0)], values * weights]).astype(np.float32))[-1]
    assert comparable(cache.attend([q])) == comparable([expected])

    cache.clear()
    assert cache.current_len() == 0
    assert cache.stats()["current_size"] == n


# ---- a receiver dropped during its own call -----------------------------------


def test_an_element_dropping_the_last_reference_to_the_cache():
    holder = [PyKVCache(2, 2)]

    class Dropper:
        def __float__(self):
            holder.clear()
            return 1.0

    cache_ref = RefCache(2, 2)
    cache = holder[0]
    cache.append([Dropper(), 2.0], [3.0, 4.0])
    cache_ref.append([1.0, 2.0], [3.0, 4.0])
    assert holder == []
    assert_usable(cache, cache_ref)
    holder.append(PyKVCache(2, 2))
    # The unbound call holds the receiver only through its argument array.
    PyKVCache.append(holder[0], [Dropper(), 2.0], [3.0, 4.0])
    assert holder == []


# ---- an instance the constructor never saw ------------------------------------

# The class is mutable, so Python code can replace its __new__ with object's
# and get an instance that holds no cache. A process of its own: the class
# is changed for everyone, and a fault here would be a crash.
_UNINITIALISED_SCRIPT = r"""
import gc, json

from _marrowvale import PyKVCache

cache = PyKVCache(2, 2)
PyKVCache.__new__ = lambda cls, *args, **kwargs: object.__new__(cls)
bare = PyKVCache(8, 8, "sliding")
calls = {
    "append": lambda: bare.append([1.0], [2.0]),
    "append by keyword": lambda: bare.append(k=[], v=[]),
    "attend": lambda: bare.attend([0.5]),
    "current_len": bare.current_len,
    "clear": bare.clear,
    "stats": bare.stats,
    "unbound stats": lambda: PyKVCache.stats(bare),
}
outcomes = {}
for name, call in calls.items():
    for _ in range(2):
        try:
            outcomes[name] = ["returned", repr(call())]
        except BaseException as error:
            outcomes[name] = [type(error).__name__, str(error)]
flags = [type(bare).__flags__, type(bare).__module__]
del bare, calls
gc.collect()
cache.append([1.0, 0.0], [3.0, 4.0])
print(json.dumps({"outcomes": outcomes, "flags": flags, "after": cache.attend([1.0, 0.0])}))
"""


def test_an_instance_whose_constructor_never_ran_is_refused_by_every_method():
    run = subprocess.run([sys.executable, "-c", _UNINITIALISED_SCRIPT], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ))
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout.strip().splitlines()[-1])
    message = ("this PyKVCache was not initialised: it was made without PyKVCache's constructor, "
               "so it holds no cache")
    assert report["outcomes"] == {name: ["TypeError", message] for name in report["outcomes"]}
    assert len(report["outcomes"]) == 7
    # The type is what it always was.
    assert report["flags"] == [PyKVCache.__flags__, "builtins"]
    # A cache made before works on after the bare instance is gone.
    assert report["after"] == [3.0, 4.0]


# ---- a second interpreter ----------------------------------------------------

_SUBINTERPRETER_SCRIPT = r"""
import json, sys, tempfile, os

import _marrowvale

cache = _marrowvale.PyKVCache(2, 2, "sliding", 3)
cache.append([1.0, 2.0], [3.0, 4.0])
before = cache.attend([0.5, 0.5])

result_path = tempfile.mktemp()
child = f'''
try:
    import _marrowvale
except ImportError as error:
    result = "ImportError: " + str(error)
except BaseException as error:
    result = type(error).__name__ + ": " + str(error)
else:
    result = "imported"
with open({result_path!r}, "w") as out:
    out.write(result)
'''

def read_result():
    with open(result_path) as f:
        text = f.read()
    os.unlink(result_path)
    return text

results = {}
try:
    import _testcapi
except ImportError:
    _testcapi = None
if _testcapi is not None and hasattr(_testcapi, "run_in_subinterp"):
    # The classic Py_NewInterpreter: shares the lock and accepts
    # single-phase modules, so the module's own refusal is what answers.
    rc = _testcapi.run_in_subinterp(child)
    results["legacy"] = (rc, read_result())
try:
    import _interpreters as interpreters
except ImportError:
    try:
        import _xxsubinterpreters as interpreters
    except ImportError:
        interpreters = None
if interpreters is not None and hasattr(interpreters, "new_config"):
    for kind in ("legacy", "isolated"):
        ident = interpreters.create(interpreters.new_config(kind))
        try:
            interpreters.exec(ident, child)
        finally:
            interpreters.destroy(ident)
        results["interpreters-" + kind] = (0, read_result())
elif interpreters is not None:
    ident = interpreters.create(isolated=False)
    try:
        interpreters.run_string(ident, child)
    finally:
        interpreters.destroy(ident)
    results["xxsubinterpreters"] = (0, read_result())

# The first interpreter keeps working, old cache and new.
cache.append([2.0, 1.0], [5.0, 6.0])
again = _marrowvale.PyKVCache(2, 2)
again.append([1.0, 1.0], [1.0, 1.0])
print(json.dumps({"results": results, "before": before, "after": cache.attend([0.5, 0.5]),
                  "len": cache.current_len(), "again": again.attend([0.0, 0.0])}))
"""


def test_a_second_interpreter_is_refused_and_the_first_keeps_working():
    # A process of its own: interpreters created here would outlive the test.
    run = subprocess.run([sys.executable, "-c", _SUBINTERPRETER_SCRIPT], capture_output=True, text=True,
                         timeout=120, env=dict(os.environ))
    assert run.returncode == 0, run.stderr
    report = json.loads(run.stdout.strip().splitlines()[-1])
    if not report["results"]:
        pytest.skip("this Python offers no way to start a sub-interpreter")
    for kind, (rc, text) in report["results"].items():
        assert rc == 0, kind
        assert text.startswith("ImportError: "), (kind, text)
        if kind != "interpreters-isolated":
            # The module's own refusal (an isolated interpreter is turned
            # away by the import system before the module is asked).
            assert "sub-interpreters" in text, (kind, text)
    ref = RefCache(2, 2, "sliding", 3)
    ref.append([1.0, 2.0], [3.0, 4.0])
    assert comparable(report["before"]) == ref.attend_bits([0.5, 0.5])
    ref.append([2.0, 1.0], [5.0, 6.0])
    assert comparable(report["after"]) == ref.attend_bits([0.5, 0.5])
    assert report["len"] == 2
    assert report["again"] == [1.0, 1.0]
