"""Abuse from Python: lying sequences, conversions that raise or call back
into the cache, panics raised by user code, non-finite numbers, extreme
dimensions, a million entries and a second interpreter.

Whatever happens, the process must not crash, and afterwards the cache must
hold exactly what a float32 model driven with the same successful calls holds
(every statistic, and attention outputs that pin the entries down), with its
borrow free for the next call.
"""

import itertools
import math
import os
import subprocess
import sys
import zlib

import numpy as np
import pytest

from _marrowvale import PyKVCache
from process_memory import heap_bytes, quiet_stderr
from reference import (
    U64_MAX,
    DimMismatch,
    RefCache,
    comparable,
    dim_message,
    expf,
    probe_queries,
)
from reference import vector as f32_vector


def _panic_type():
    with quiet_stderr():
        try:
            PyKVCache(d_k=1).append([], [0.0] * 64)
        except BaseException as caught:  # the panic is not an Exception
            return type(caught)
    raise AssertionError("a key of the wrong length did not panic")


PanicException = _panic_type()

D = 12  # more than one block of eight lanes, with leftovers


def pair(d_k=D, d_v=D, **params):
    """A cache and its model, built alike and holding a few entries."""
    cache, ref = PyKVCache(d_k, d_v, **params), RefCache(d_k, d_v, **params)
    rng = np.random.default_rng(d_k * 1000 + d_v)
    for _ in range(5):
        k = [float(x) for x in rng.standard_normal(d_k).astype(np.float32)]
        v = [float(x) for x in rng.standard_normal(d_v).astype(np.float32)]
        cache.append(k, v)
        ref.append(k, v)
    return cache, ref


def assert_consistent(cache, ref):
    assert cache.current_len() == ref.current_len()
    assert cache.stats() == ref.stats()
    for q in probe_queries(ref.keys, ref.d_k):
        assert comparable(cache.attend(q)) == ref.attend_bits(q)


def assert_usable(cache, ref):
    """The borrow is free and the cache still follows the model."""
    assert_consistent(cache, ref)
    k, v = [0.25] * ref.d_k, [-0.5] * ref.d_v
    cache.append(k, v)
    ref.append(k, v)
    assert_consistent(cache, ref)
    cache.clear()
    ref.clear()
    assert_consistent(cache, ref)
    cache.append(v[: ref.d_k] + [1.0] * (ref.d_k - len(v)), k[: ref.d_v] + [2.0] * (ref.d_v - len(k)))
    ref.append(v[: ref.d_k] + [1.0] * (ref.d_k - len(v)), k[: ref.d_v] + [2.0] * (ref.d_v - len(k)))
    assert_consistent(cache, ref)


def floats(n, start=0.5):
    return [start + 0.125 * i for i in range(n)]


# ---- sequences that lie about their length ---------------------------------


class Hinted:
    """Read by iteration (through __getitem__); __len__ says what it is told."""

    def __init__(self, items, length):
        self.items, self.length = list(items), length

    def __len__(self):
        if isinstance(self.length, type) and issubclass(self.length, BaseException):
            raise self.length("no length")
        return self.length

    def __getitem__(self, index):
        return self.items[index]


class HintedList(list):
    """A list whose own __len__ lies; its iterator reads the real items."""

    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


LENGTHS = [0, 1, D - 1, D + 1, 2**31, 2**62, sys.maxsize, 2**63, 2**64 + 5, -1, "12", 1.5, ValueError, MemoryError,
           ZeroDivisionError, RuntimeError]


@pytest.mark.parametrize("length", LENGTHS, ids=repr)
@pytest.mark.parametrize("kind", [Hinted, HintedList])
def test_a_lying_length_is_only_a_hint(kind, length):
    cache, ref = pair()
    before = heap_bytes()
    k, v, q = floats(D), floats(D, -3.0), floats(D, 0.0)
    cache.append(kind(k, length), kind(v, length))
    ref.append(k, v)
    assert comparable(cache.attend(kind(q, length))) == ref.attend_bits(q)
    # More items than the stack buffer holds, whatever the hint says.
    with quiet_stderr(), pytest.raises(PanicException, match="key dim mismatch\n  left: 1000\n"):
        cache.append(kind(floats(1000), length), v)
    if before is not None:
        # A hint of 2**62 must not have left (or needed) a giant reservation.
        assert heap_bytes() - before < 1 << 20
    assert_usable(cache, ref)


def test_a_length_of_2_to_the_62_reserves_nothing_it_cannot_get():
    cache, ref = pair(d_k=3, d_v=3)
    cache.append(Hinted([1.0, 2.0, 3.0], 2**62), Hinted([4.0, 5.0, 6.0], 2**62))
    ref.append([1.0, 2.0, 3.0], [4.0, 5.0, 6.0])
    assert_usable(cache, ref)


# ---- iteration that fails or changes what it reads ------------------------


class BreaksAt:
    def __init__(self, items, at, error):
        self.items, self.at, self.error = list(items), at, error

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if i == self.at:
                raise self.error("broken at %d" % i)
            yield item


ERRORS = [ValueError, KeyError, MemoryError, RecursionError, StopIteration, KeyboardInterrupt, SystemExit,
          GeneratorExit, ArithmeticError]


@pytest.mark.parametrize("at", [0, 5, D - 1, 300])
@pytest.mark.parametrize("error", ERRORS, ids=lambda e: e.__name__)
@pytest.mark.parametrize("where", ["k", "v", "q"])
def test_iteration_failing_midway_changes_nothing(where, error, at):
    cache, ref = pair()
    items = floats(max(D, at + 1))
    broken = BreaksAt(items, at, error)
    # A StopIteration raised inside a generator body turns into RuntimeError.
    expected = RuntimeError if error is StopIteration else error
    with pytest.raises(expected) as caught:
        if where == "q":
            cache.attend(broken)
        elif where == "k":
            cache.append(broken, floats(D))
        else:
            cache.append(floats(D), broken)
    if expected is not RuntimeError:
        assert caught.value.args == (f"broken at {at}",)
    assert_usable(cache, ref)


def test_iteration_type_error_midway_is_rewrapped_and_changes_nothing():
    cache, ref = pair()
    with pytest.raises(TypeError, match=r"^argument 'v': broken at 7$"):
        cache.append(floats(D), BreaksAt(floats(D), 7, TypeError))
    assert_usable(cache, ref)


class Rewriting:
    """__iter__ changes the list it is reading while it reads it."""

    def __init__(self, items, change):
        self.items, self.change = list(items), change

    def __len__(self):
        return len(self.items)

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        i = 0
        while i < len(self.items):
            item = self.items[i]
            self.change(self.items, i)
            yield item
            i += 1


def _grow(items, i):
    if len(items) < 2 * D:
        items.append(float(i))


def _shrink(items, i):
    if i == 3:
        del items[D // 2:]


def _reverse(items, i):
    items.reverse()


def _replace(items, i):
    if i + 1 < len(items):
        items[i + 1] = -items[i + 1] * 3


def _clear(items, i):
    if i == 4:
        items.clear()


def _grow_to_exact(items, i):
    if len(items) < D:
        items.append(100.0 + i)


CHANGES = [_grow, _shrink, _reverse, _replace, _clear, _grow_to_exact]


def _mirror(cache, ref, make_k, make_v):
    """Appends to both sides with fresh arguments; a wrong length must panic
    with the model's message and change nothing."""
    try:
        ref.append(make_k(), make_v())
    except DimMismatch as mismatch:
        with quiet_stderr(), pytest.raises(PanicException) as caught:
            cache.append(make_k(), make_v())
        assert str(caught.value) == mismatch.message
    else:
        cache.append(make_k(), make_v())


@pytest.mark.parametrize("change", CHANGES, ids=lambda c: c.__name__)
def test_iteration_changing_its_own_sequence(change):
    cache, ref = pair()
    start = floats(D) if change is not _grow_to_exact else floats(D // 2)
    _mirror(cache, ref, lambda: Rewriting(start, change), lambda: floats(D))
    _mirror(cache, ref, lambda: floats(D), lambda: Rewriting(start, change))
    q = Rewriting(start, change)
    q_model = list(Rewriting(start, change))
    if len(q_model) == D:
        assert comparable(cache.attend(q)) == ref.attend_bits(q_model)
    else:
        with quiet_stderr(), pytest.raises(PanicException, match=r"self\.len\(\) == rhs\.len\(\)"):
            cache.attend(q)
    assert_usable(cache, ref)


class Meddler:
    """An element that changes the plain list holding it while it is being
    converted, dropping the list's own reference to itself on the way."""

    def __init__(self, value, change):
        self.value, self.change, self.home = value, change, None

    def __float__(self):
        home, self.home = self.home, None
        if home is not None:
            self.change(home, self)
        return self.value


def _drop_self(home, me):
    home[home.index(me)] = 7.0


def _clear_home(home, me):
    home.clear()


def _truncate_after(home, me):
    del home[home.index(me) + 1:]


def _extend_home(home, me):
    home.extend([9.0] * 3)


def _swap_in_meddlers(home, me):
    # Items after this one become meddlers that clear the list in turn.
    for i in range(home.index(me) + 1, len(home)):
        m = Meddler(float(i), _clear_home)
        m.home = home
        home[i] = m


MEDDLING = [_drop_self, _clear_home, _truncate_after, _extend_home, _swap_in_meddlers]


def _meddled(change, at, n=D):
    def make():
        items = floats(n)
        meddler = Meddler(-1.5, change)
        meddler.home = items
        items[at] = meddler
        return items

    return make


@pytest.mark.parametrize("at", [0, 3, D - 3, D - 1])
@pytest.mark.parametrize("change", MEDDLING, ids=lambda c: c.__name__)
def test_elements_changing_the_list_being_read(change, at):
    cache, ref = pair()
    _mirror(cache, ref, _meddled(change, at), lambda: floats(D))
    _mirror(cache, ref, lambda: floats(D), _meddled(change, at))
    # The model reads the list as Python's own list iterator does.
    q_model = list(f32_vector(_meddled(change, at)()))
    if len(q_model) == D:
        assert comparable(cache.attend(_meddled(change, at)())) == ref.attend_bits(q_model)
    else:
        with quiet_stderr(), pytest.raises(PanicException):
            cache.attend(_meddled(change, at)())
    assert_usable(cache, ref)


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


# ---- conversions that raise or call back into the same cache ---------------


class Raising:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error("from __float__")


class RaisingIndex:
    """No __float__: the float conversion goes through __index__."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("from __index__")


@pytest.mark.parametrize("element", [Raising, RaisingIndex], ids=["__float__", "__index__"])
@pytest.mark.parametrize("error", [TypeError, *ERRORS], ids=lambda e: e.__name__)
@pytest.mark.parametrize("where", ["k", "v", "q"])
def test_element_conversion_errors_change_nothing(where, error, element):
    cache, ref = pair()
    items = floats(D)
    items[D // 2] = element(error)
    with pytest.raises(error) as caught:
        if where == "q":
            cache.attend(items)
        elif where == "k":
            cache.append(items, floats(D))
        else:
            cache.append(floats(D), items)
    text = "from __float__" if element is Raising else "from __index__"
    if error is TypeError:
        assert type(caught.value) is TypeError
        assert str(caught.value) == f"argument '{where}': {text}"
    else:
        assert caught.value.args == (text,)
    assert_usable(cache, ref)


NESTED = ["append", "clear", "attend", "stats", "current_len"]


def nested_call(cache, name, d_k=D, d_v=D):
    if name == "append":
        return cache.append([0.75] * d_k, [0.5] * d_v)
    if name == "attend":
        return cache.attend([0.25] * d_k)
    return getattr(cache, name)()


class CallsBack:
    """An element whose conversion calls a method of a cache; `catch` keeps
    the nested error inside the element, otherwise it propagates."""

    def __init__(self, cache, name, catch, value=1.0):
        self.cache, self.name, self.catch, self.value = cache, name, catch, value
        self.results = []

    def __float__(self):
        try:
            self.results.append(nested_call(self.cache, self.name))
        except RuntimeError as error:
            if not self.catch:
                raise
            self.results.append(error)
        return self.value


def _conflict(outer, inner):
    if inner in ("append", "clear"):
        return "Already borrowed"
    if outer == "append":
        return "Already mutably borrowed"
    return None


@pytest.mark.parametrize("inner", NESTED)
@pytest.mark.parametrize("outer,where", [("append", "k"), ("append", "v"), ("attend", "q")])
def test_nested_calls_that_propagate_leave_the_cache_as_it_was(outer, where, inner):
    cache, ref = pair()
    items = floats(D)
    items[2] = CallsBack(cache, inner, catch=False)
    message = _conflict(outer, inner)
    call = {"k": lambda: cache.append(items, floats(D)), "v": lambda: cache.append(floats(D), items),
            "q": lambda: cache.attend(items)}[where]
    if message is None:
        # A nested read during attend works and sees the cache as it is.
        out = call()
        q_model = floats(D)
        q_model[2] = 1.0
        assert comparable(out) == ref.attend_bits(q_model)
        result = items[2].results[0]
        if inner == "attend":
            assert comparable(result) == ref.attend_bits([0.25] * D)
        elif inner == "stats":
            assert result == ref.stats()
        else:
            assert result == ref.current_len()
    else:
        with pytest.raises(RuntimeError, match=f"^{message}$"):
            call()
    assert_usable(cache, ref)


@pytest.mark.parametrize("inner", NESTED)
@pytest.mark.parametrize("where", ["k", "v"])
def test_nested_calls_caught_by_the_element_let_append_store_its_entry(where, inner):
    cache, ref = pair(strategy="merge", merge_every=1, threshold=0.0)
    items = floats(D)
    element = CallsBack(cache, inner, catch=True, value=-2.0)
    items[5] = element
    other = floats(D, -1.0)
    if where == "k":
        cache.append(items, other)
    else:
        cache.append(other, items)
    model_items = floats(D)
    model_items[5] = -2.0
    ref.append(*((model_items, other) if where == "k" else (other, model_items)))
    (error,) = element.results
    assert isinstance(error, RuntimeError)
    assert str(error) == _conflict("append", inner)
    assert_usable(cache, ref)


def test_every_nested_method_in_one_conversion_during_attend():
    cache, ref = pair(strategy="hybrid", static_k=1, merge_every=2, threshold=0.5)
    elements = [CallsBack(cache, name, catch=True) for name in NESTED]
    out = cache.attend(elements + floats(D - len(elements)))
    assert comparable(out) == ref.attend_bits([1.0] * len(elements) + floats(D - len(elements)))
    for element in elements:
        (result,) = element.results
        if element.name in ("append", "clear"):
            assert isinstance(result, RuntimeError) and str(result) == "Already borrowed"
    assert_usable(cache, ref)


def test_deeply_nested_attends_stack_and_unwind_their_borrows():
    cache, ref = pair()
    depth = 200
    seen = []

    class Deeper:
        def __init__(self, level):
            self.level = level

        def __float__(self):
            if self.level < depth:
                q = [0.25] * D
                q[0] = Deeper(self.level + 1)
                seen.append(comparable(cache.attend(q)))
            else:
                # At the bottom every shared borrow is held: writing fails.
                with pytest.raises(RuntimeError, match="^Already borrowed$"):
                    cache.clear()
                seen.append(cache.current_len())
            return 0.25

    out = cache.attend([Deeper(1)] + [0.25] * (D - 1))
    expected = ref.attend_bits([0.25] * D)
    assert comparable(out) == expected
    assert seen[0] == ref.current_len()
    assert seen[1:] == [expected] * (depth - 1)
    assert_usable(cache, ref)


def test_nested_append_into_another_cache_during_append_and_failing_outer():
    cache, ref = pair()
    other, other_ref = pair(strategy="sliding", window_size=3)

    class Feeds:
        def __float__(self):
            other.append([1.0] * D, [2.0] * D)
            other_ref.append([1.0] * D, [2.0] * D)
            return 0.0

    # The outer append then fails on its length: only the other cache moved.
    with quiet_stderr(), pytest.raises(PanicException, match="value dim mismatch"):
        cache.append([Feeds()] * D, [Feeds()] * (D + 1))
    assert_usable(cache, ref)
    assert_usable(other, other_ref)


# ---- panics raised by Python code during a conversion -----------------------


class PanicFloat:
    def __float__(self):
        raise PanicException("user panic in __float__")


class PanicIndex:
    def __index__(self):
        raise PanicException("user panic in __index__")


class PanicLen(list):
    def __len__(self):
        raise PanicException("user panic in __len__")


class PanicIter:
    def __len__(self):
        return D

    def __getitem__(self, index):
        return 0.0

    def __iter__(self):
        raise PanicException("user panic in __iter__")


class PanicNext:
    def __len__(self):
        return D

    def __getitem__(self, index):
        if index == 4:
            raise PanicException("user panic in __getitem__")
        return 0.0


class PanicSubclass(PanicException):
    pass


class PanicSubclassFloat:
    def __float__(self):
        raise PanicSubclass("user panic subclass")


def _panicking(kind):
    if kind in (PanicFloat, PanicIndex, PanicSubclassFloat):
        items = floats(D)
        items[3] = kind()
        return items
    if kind is PanicLen:
        return PanicLen(floats(D))
    return kind()


PANICKING = [PanicFloat, PanicIndex, PanicLen, PanicIter, PanicNext, PanicSubclassFloat]


@pytest.mark.parametrize("kind", PANICKING, ids=lambda k: k.__name__)
@pytest.mark.parametrize("where", ["k", "v", "q"])
def test_panic_from_python_code_changes_nothing(where, kind, capfd):
    cache, ref = pair(strategy="static", static_k=2, recent_k=2)
    arg = _panicking(kind)
    with pytest.raises(PanicException) as caught:
        if where == "q":
            cache.attend(arg)
        elif where == "k":
            cache.append(arg, floats(D))
        else:
            cache.append(floats(D), arg)
    # A new panic of the base type, carrying the text of the one raised.
    assert type(caught.value) is PanicException
    assert str(caught.value).startswith("user panic")
    assert "user panic" in capfd.readouterr().err
    assert_usable(cache, ref)


@pytest.mark.parametrize("name", ["d_k", "d_v", "window_size", "static_k", "recent_k", "merge_every", "threshold"])
def test_panic_from_a_constructor_conversion(name, capfd):
    with pytest.raises(PanicException, match="^user panic in __index__$"):
        PyKVCache(**{name: PanicIndex()})
    capfd.readouterr()
    cache, ref = pair()
    assert_usable(cache, ref)


# ---- NaN and infinity everywhere -------------------------------------------

SPECIALS = [math.nan, -math.nan, math.inf, -math.inf, -0.0, 0.0, 1e39, -1e39, 1e-45, 3.4028234663852886e38,
            1.401298464324817e-45, 2.0**-149, 2.0**127]


def _special_vector(rng, d, rate):
    out = [float(x) for x in rng.standard_normal(d).astype(np.float32)]
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


@pytest.mark.parametrize("d_k,d_v,key,value,message", [
    (HUGE, 4, [1.0], [0.0] * 4, dim_message("key", 1, HUGE)),
    (HUGE, HUGE, [], [], dim_message("key", 0, HUGE)),
    (4, HUGE, [1.0] * 4, [1.0] * 4, dim_message("value", 4, HUGE)),
    (0, HUGE, [], [], dim_message("value", 0, HUGE)),
    (HUGE, 0, [0.0] * 3, [], dim_message("key", 3, HUGE)),
])
def test_append_with_a_huge_dimension_fails_with_the_length_panic(d_k, d_v, key, value, message, capfd):
    cache = PyKVCache(d_k, d_v, strategy="hybrid", static_k=0, merge_every=1)
    for _ in range(3):
        with pytest.raises(PanicException) as caught:
            cache.append(key, value)
        assert str(caught.value) == message
    assert str(HUGE) in capfd.readouterr().err
    assert cache.current_len() == 0
    assert cache.stats() == RefCache(d_k, d_v, strategy="hybrid").stats()


@pytest.mark.parametrize("d_v", [HUGE, 2**63 - 1, 2**63, 2**62, 2**62 - 1])
def test_attend_on_an_empty_cache_with_a_huge_d_v_raises_memory_error(d_v):
    cache = PyKVCache(3, d_v)
    for q in ([], [1.0, 2.0, 3.0], [math.nan] * 7):
        with pytest.raises(MemoryError):
            cache.attend(q)
    # Nothing was held by the failed calls: the cache still works.
    assert cache.current_len() == 0
    cache.clear()
    assert cache.stats()["total_appends"] == 0


@pytest.mark.parametrize("d_v", [2**40, 2**50, 2**61])
def test_attend_on_an_empty_cache_with_an_unallocatable_d_v_raises_memory_error(d_v):
    cache = PyKVCache(3, d_v)
    with pytest.raises(MemoryError):
        cache.attend([1.0, 2.0, 3.0])
    assert cache.current_len() == 0


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
        with quiet_stderr(), pytest.raises(PanicException, match=r"self\.len\(\) == rhs\.len\(\)"):
            cache.attend(floats(d_k + 2))
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
    import json

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
