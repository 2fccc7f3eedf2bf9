"""The statistics dictionary, clear, current_len and the argument binding of
append and attend."""

import array
import sys
from fractions import Fraction

import pytest

from _marrowvale import PyKVCache
from helpers import round_to_f32

KEYS = ["total_appends", "total_merges", "total_evictions", "current_size", "compression_ratio", "strategy"]


def expected_ratio(current_size, total_appends):
    """current_size over total_appends, each first made a 32-bit float, divided in 32 bits."""
    if total_appends == 0:
        return 1.0
    return round_to_f32(Fraction(round_to_f32(current_size)) / Fraction(round_to_f32(total_appends)))


def fill(cache, count, d_k=1, d_v=1):
    for i in range(count):
        cache.append([1.0] * d_k, [float(i)] * d_v)


# ---- the statistics dictionary ------------------------------------------------------------

def test_new_cache_statistics():
    stats = PyKVCache().stats()
    assert list(stats) == KEYS
    assert stats == {"total_appends": 0, "total_merges": 0, "total_evictions": 0, "current_size": 0,
                     "compression_ratio": 1.0, "strategy": "full"}
    assert [type(stats[key]) for key in KEYS] == [int, int, int, int, float, str]


@pytest.mark.parametrize(
    "kwargs, appends, size",
    [
        ({"strategy": "full"}, 7, 7),
        ({"strategy": "sliding", "window_size": 1}, 3, 1),
        ({"strategy": "sliding", "window_size": 2}, 3, 2),
        ({"strategy": "sliding", "window_size": 3}, 7, 3),
        ({"strategy": "sliding", "window_size": 5}, 11, 5),
        ({"strategy": "sliding", "window_size": 7}, 10, 7),
        ({"strategy": "sliding", "window_size": 0}, 4, 0),
        ({"strategy": "static", "static_k": 2, "recent_k": 1}, 9, 3),
        ({"strategy": "merge", "merge_every": 1}, 6, 1),
        ({"strategy": "hybrid", "static_k": 1, "merge_every": 1}, 5, 2),
    ],
)
def test_counters_and_compression_ratio(kwargs, appends, size):
    cache = PyKVCache(1, 1, **kwargs)
    fill(cache, appends)
    stats = cache.stats()
    assert list(stats) == KEYS
    assert [type(stats[key]) for key in KEYS] == [int, int, int, int, float, str]
    assert stats["total_appends"] == appends
    assert stats["current_size"] == size == cache.current_len()
    # entries a strategy removed are counted as merges, never as evictions
    assert stats["total_merges"] == appends - size
    assert stats["total_evictions"] == 0
    assert stats["compression_ratio"] == expected_ratio(size, appends)
    assert stats["strategy"] == kwargs["strategy"]


def test_statistics_are_a_new_dict_each_time():
    cache = PyKVCache(1, 1)
    first = cache.stats()
    first["total_appends"] = 99
    first.clear()
    second = cache.stats()
    assert second is not first
    assert second["total_appends"] == 0 and list(second) == KEYS


# ---- clear and current_len -----------------------------------------------------------------

def test_clear_empties_the_entries_and_keeps_the_counters():
    cache = PyKVCache(1, 2, "sliding", 2)
    for i in range(5):
        cache.append([0.0], [float(i), 1.0])
    before = cache.stats()
    assert cache.clear() is None
    assert cache.current_len() == 0
    assert cache.stats() == before
    assert before["current_size"] == 2
    # an empty cache answers zeros, whatever the query's length
    assert cache.attend([0.0]) == [0.0, 0.0]
    assert cache.attend([]) == [0.0, 0.0]
    assert cache.clear() is None
    assert cache.stats() == before

    cache.append([0.0], [7.0, 8.0])
    after = cache.stats()
    assert (after["total_appends"], after["current_size"], after["total_merges"]) == (6, 1, 3)
    assert after["compression_ratio"] == expected_ratio(1, 6)
    assert cache.attend([0.0]) == [7.0, 8.0]


def test_current_len_counts_held_entries():
    cache = PyKVCache(1, 1, "static", static_k=1, recent_k=2)
    lengths = []
    for _ in range(5):
        cache.append([0.0], [0.0])
        lengths.append(cache.current_len())
    assert lengths == [1, 2, 3, 3, 3]
    assert type(cache.current_len()) is int


def test_arguments_bind_by_keyword_in_any_order():
    cache = PyKVCache(3, 2)
    assert cache.append(k=(0.0, 0.0, 0.0), v=range(7, 9)) is None
    assert cache.attend(q=array.array("f", [1.0, 2.0, 3.0])) == [7.0, 8.0]
    assert cache.append(v=[7.0, 8.0], k=[0.0] * 3) is None
    assert cache.append([0.0] * 3, v=[7.0, 8.0]) is None
    assert cache.current_len() == 3


# ---- argument binding ---------------------------------------------------------------------------

class Keyword(str):
    """A keyword name that is equal to a parameter's name but never the same
    object, so that it can only match by its text."""


def made_at_run_time(name):
    """A str equal to `name`, built at run time, so not interned (names of
    one character are singletons and stay interned; a str subclass is not)."""
    made = "".join(list(name)) if len(name) > 1 else Keyword(name)
    assert made == name and made is not sys.intern(name)
    return made


@pytest.mark.parametrize("make", [str, made_at_run_time, Keyword], ids=["interned", "built", "subclass"])
def test_keywords_match_by_text_whatever_object_names_them(make):
    cache = PyKVCache(**{make("d_k"): 2, make("d_v"): 1, make("strategy"): "sliding", make("window_size"): 2})
    assert cache.append(**{make("v"): [3.0], make("k"): [1.0, 0.0]}) is None
    cache.append(**{make("k"): [0.0, 1.0], make("v"): [5.0]})
    cache.append([0.0, 1.0], **{make("v"): [7.0]})
    # The window of 2 keeps the last two entries, which score alike.
    assert cache.attend(**{make("q"): [0.0, 0.0]}) == [6.0]
    assert cache.stats()["strategy"] == "sliding"
    with pytest.raises(TypeError, match=r"^PyKVCache.append\(\) got multiple values for argument 'k'$"):
        cache.append([0.0, 0.0], **{make("k"): [0.0, 0.0]})

class Untouched:
    """A sequence that fails the test if anything reads it."""

    def __len__(self):
        pytest.fail("argument read although binding failed")

    def __getitem__(self, index):
        pytest.fail("argument read although binding failed")

    def __iter__(self):
        pytest.fail("argument read although binding failed")


X = Untouched()


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.append(X, X, X), "PyKVCache.append() takes 2 positional arguments but 3 were given"),
        (lambda c: c.append(X, X, X, X), "PyKVCache.append() takes 2 positional arguments but 4 were given"),
        (lambda c: c.attend(X, X), "PyKVCache.attend() takes 1 positional arguments but 2 were given"),
        (lambda c: c.attend(X, X, X), "PyKVCache.attend() takes 1 positional arguments but 3 were given"),
        (lambda c: c.append(k=X, v=X, x=X), "PyKVCache.append() got an unexpected keyword argument 'x'"),
        (lambda c: c.attend(q=X, k=X), "PyKVCache.attend() got an unexpected keyword argument 'k'"),
        (lambda c: c.attend(X, Q=X), "PyKVCache.attend() got an unexpected keyword argument 'Q'"),
        (lambda c: c.append(X, k=X), "PyKVCache.append() got multiple values for argument 'k'"),
        (lambda c: c.append(X, X, v=X), "PyKVCache.append() got multiple values for argument 'v'"),
        (lambda c: c.attend(X, q=X), "PyKVCache.attend() got multiple values for argument 'q'"),
        (lambda c: c.append(), "PyKVCache.append() missing 2 required positional arguments: 'k' and 'v'"),
        (lambda c: c.append(X), "PyKVCache.append() missing 1 required positional argument: 'v'"),
        (lambda c: c.append(v=X), "PyKVCache.append() missing 1 required positional argument: 'k'"),
        (lambda c: c.attend(), "PyKVCache.attend() missing 1 required positional argument: 'q'"),
        # too many first, keywords next, missing last
        (lambda c: c.append(X, X, X, y=X), "PyKVCache.append() takes 2 positional arguments but 3 were given"),
        (lambda c: c.append(x=X), "PyKVCache.append() got an unexpected keyword argument 'x'"),
        (lambda c: c.append(X, k=X), "PyKVCache.append() got multiple values for argument 'k'"),
        (lambda c: c.attend(z=X), "PyKVCache.attend() got an unexpected keyword argument 'z'"),
        (lambda c: c.append(v=X, w=X), "PyKVCache.append() got an unexpected keyword argument 'w'"),
    ],
)
def test_append_and_attend_binding_errors(call, message):
    cache = PyKVCache(1, 1)
    cache.append([0.0], [3.0])
    before = cache.stats()
    with pytest.raises(TypeError) as info:
        call(cache)
    assert type(info.value) is TypeError
    assert str(info.value) == message
    assert cache.stats() == before and cache.current_len() == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda c: c.stats(1),
        lambda c: c.stats(x=1),
        lambda c: c.clear(None),
        lambda c: c.clear(all=True),
        lambda c: c.current_len(0),
        lambda c: c.current_len(None, None),
    ],
)
def test_methods_without_parameters_refuse_arguments(call):
    cache = PyKVCache(1, 1)
    cache.append([0.0], [3.0])
    with pytest.raises(TypeError):
        call(cache)
    # a refused clear(None) must not have cleared
    assert cache.current_len() == 1
    assert cache.stats()["total_appends"] == 1


class Impostor:
    """Looks like a cache to duck typing, but is not one."""

    def current_len(self):
        return 0


@pytest.mark.parametrize("name", ["append", "attend", "current_len", "clear", "stats"])
@pytest.mark.parametrize("receiver", [5, None, Impostor(), PyKVCache], ids=["int", "None", "impostor", "class"])
def test_a_receiver_of_another_type_is_refused_by_the_method_itself(name, receiver):
    method = getattr(PyKVCache, name)
    arguments = {"append": ([0.0], [0.0]), "attend": ([0.0],)}.get(name, ())
    with pytest.raises(TypeError, match=f"'{name}'.*'{type(receiver).__name__}'"):
        method(receiver, *arguments)
    if receiver is not None:  # __get__(None) is the unbound method itself
        with pytest.raises(TypeError, match=f"'{name}'.*'{type(receiver).__name__}'"):
            method.__get__(receiver)
