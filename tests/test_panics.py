"""Broken preconditions of the cache reach Python as PanicException, a
BaseException, after a diagnostic on standard error; a PanicException
raised by Python code during a conversion comes back as a new one."""

import re
import subprocess
import sys

import pytest

import _marrowvale
import marrowvale
from marrowvale import _layer_cache
from _marrowvale import PyKVCache
from helpers import (
    D,
    HookedList,
    Index,
    Indexed,
    PanicException,
    Real,
    assert_consistent,
    assert_usable,
    floats,
    pair,
    raises,
)
from reference import QUERY_MISMATCH, U64_MAX, RefCache, dim_message

# A source location as a diagnostic names it: a file name with an extension, a
# colon and a line number.
LOCATION = re.compile(r"[\w./\\-]+\.\w+:\d+")


def caught(call):
    """The BaseException that `call` raises, checked not to be an Exception."""
    try:
        try:
            call()
        except Exception as error:  # a panic must get past this handler
            pytest.fail(f"caught as an Exception: {error!r}")
    except BaseException as error:  # noqa: B036
        return error
    pytest.fail("nothing raised")


# ---- the exception type -------------------------------------------------------------------

def test_panic_exception_is_a_base_exception_outside_the_module():
    panic = type(caught(lambda: PyKVCache(1, 1).append([], [0.0])))
    assert panic is PanicException
    assert panic.__name__ == "PanicException"
    assert panic.__bases__ == (BaseException,)
    assert not issubclass(panic, Exception)
    assert "BaseException" in panic.__doc__
    assert not hasattr(_marrowvale, "PanicException")
    assert "PanicException" not in _marrowvale.__all__
    assert panic not in vars(_marrowvale).values()
    # one type for every failure
    cache = PyKVCache(1, 1)
    cache.append([0.0], [0.0])
    assert type(caught(lambda: cache.attend([]))) is panic


def test_both_modules_raise_the_one_panic_type_the_package_exports():
    assert marrowvale.PanicException is PanicException
    assert _layer_cache.PanicException is PanicException
    assert "PanicException" in marrowvale.__all__ and "PanicException" in _layer_cache.__all__
    # A panic raised by Python code during a LayerCache conversion is one of
    # its own, and comes back as a new one.
    original = PanicException("raised by user code")
    layer = marrowvale.LayerCache(1, 2, 2)
    try:
        layer.append([[Real(original), 0.0]], [[0.0, 0.0]])
    except marrowvale.PanicException as error:
        assert error is not original and str(error) == "raised by user code"
    else:
        pytest.fail("nothing raised")
    assert layer.lengths() == [0]


# The type is made by whichever module needs it first; either way there is
# one. Fresh processes, as this one made it long ago.
_PANIC_ORDER = r"""
import os, sys
order = sys.argv[1]


def panic_type():
    saved = os.dup(2)
    os.dup2(os.open(os.devnull, os.O_WRONLY), 2)  # the diagnostic
    try:
        import _marrowvale
        _marrowvale.PyKVCache(1, 1).append([], [0.0])
    except BaseException as error:
        return type(error)
    finally:
        os.dup2(saved, 2)


first = panic_type() if order == "_marrowvale first" else None
import marrowvale
second = panic_type()
assert marrowvale.PanicException is second and (first is None or first is second), (first, second)
print("one type")
"""


@pytest.mark.parametrize("order", ["_marrowvale first", "package first"])
def test_the_panic_type_is_one_whichever_module_makes_it(order):
    run = subprocess.run([sys.executable, "-c", _PANIC_ORDER, order], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout == "one type\n"


# ---- length failures ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "d_k, d_v, key, value, message",
    [
        (64, 64, 3, 64, dim_message("key", 3, 64)),
        (64, 64, 65, 64, dim_message("key", 65, 64)),
        (64, 64, 64, 3, dim_message("value", 3, 64)),
        (4, 2, 4, 0, dim_message("value", 0, 2)),
        (64, 64, 3, 5, dim_message("key", 3, 64)),  # both wrong: the key is reported
        (0, 5, 1, 5, dim_message("key", 1, 0)),
        (5, 0, 5, 1, dim_message("value", 1, 0)),
        (U64_MAX, 1, 0, 0, dim_message("key", 0, U64_MAX)),
        (U64_MAX, 4, 1, 4, dim_message("key", 1, U64_MAX)),
        (U64_MAX, U64_MAX, 0, 0, dim_message("key", 0, U64_MAX)),
        (U64_MAX, 0, 3, 0, dim_message("key", 3, U64_MAX)),
        (1, U64_MAX, 1, 2, dim_message("value", 2, U64_MAX)),
        (4, U64_MAX, 4, 4, dim_message("value", 4, U64_MAX)),
        (0, U64_MAX, 0, 0, dim_message("value", 0, U64_MAX)),
    ],
)
def test_append_length_failure(d_k, d_v, key, value, message, capfd):
    cache = PyKVCache(d_k, d_v, strategy="hybrid", static_k=0, merge_every=1)
    for _ in range(3):
        error = caught(lambda: cache.append([0.0] * key, [0.0] * value))
        assert type(error) is PanicException
        assert str(error) == message
        assert error.args == (message,)
    assert message in capfd.readouterr().err
    assert cache.current_len() == 0
    assert cache.stats() == RefCache(d_k, d_v, strategy="hybrid").stats()


@pytest.mark.parametrize("query", [0, 1, 3, 5, 100])
@pytest.mark.parametrize("d_v", [0, 2])
def test_query_of_the_wrong_length_on_held_entries(query, d_v, capfd):
    cache, ref = pair(4, d_v)
    error = caught(lambda: cache.attend([0.0] * query))
    assert type(error) is PanicException
    assert str(error) == QUERY_MISMATCH
    capfd.readouterr()
    assert_usable(cache, ref)


FAILING_CALLS = {
    "short key": lambda cache: cache.append([1.0] * 3, [1.0] * 2),
    "long key": lambda cache: cache.append([1.0] * 5, [1.0] * 2),
    "short value": lambda cache: cache.append([1.0] * 4, [1.0]),
    "both wrong": lambda cache: cache.append([], []),
    "short query": lambda cache: cache.attend([1.0] * 3),
    "empty query": lambda cache: cache.attend(()),
}


@pytest.mark.parametrize("name", FAILING_CALLS)
def test_a_failure_leaves_the_cache_as_it_was(name, capfd):
    cache, ref = pair(4, 2, strategy="sliding", window_size=3)
    for _ in range(2):
        assert type(caught(lambda: FAILING_CALLS[name](cache))) is PanicException
        assert_consistent(cache, ref)
    capfd.readouterr()
    assert_usable(cache, ref)


# ---- the diagnostic ------------------------------------------------------------------------------

def _with_entry(cache):
    cache.append([0.0] * 2, [0.0] * 3)
    return cache


@pytest.mark.parametrize(
    "build, call, message",
    [
        (lambda: PyKVCache(), lambda c: c.append([0.0] * 3, [0.0] * 64), dim_message("key", 3, 64)),
        (lambda: PyKVCache(2, 3), lambda c: c.append([0.0] * 2, [0.0] * 7), dim_message("value", 7, 3)),
        (lambda: _with_entry(PyKVCache(2, 3)), lambda c: c.attend([0.0]), QUERY_MISMATCH),
    ],
)
def test_diagnostic_on_stderr_names_message_and_location(capfd, build, call, message):
    cache = build()
    capfd.readouterr()
    error = caught(lambda: call(cache))
    out, err = capfd.readouterr()
    assert str(error) == message
    assert out == ""
    assert message in err
    assert LOCATION.search(err), err


def test_successful_calls_write_nothing(capfd):
    capfd.readouterr()
    cache = PyKVCache(2, 2, "merge", merge_every=1)
    for _ in range(3):
        cache.append([1.0, 1.0], [1.0, 2.0])
    cache.attend([1.0, 0.0])
    cache.stats()
    cache.clear()
    cache.attend([])
    assert capfd.readouterr() == ("", "")


# ---- a PanicException raised by Python code during a conversion ------------------------------------

class PanicSubclass(PanicException):
    pass


def panicking(site, error):
    """D zeros as an argument whose conversion raises `error` at `site`."""
    items = [0.0] * D
    if site == "__float__":
        items[3] = Real(error)
    elif site == "__index__":
        items[0] = Index(error)
    elif site == "__len__":
        return HookedList(items, length=error)
    elif site == "__iter__":
        return HookedList(items, on_iter=raises(error))
    else:
        items[4] = error
        return Indexed(items)
    return items


CALLS = {
    "k": lambda cache, argument: cache.append(argument, floats(D)),
    "v": lambda cache, argument: cache.append(floats(D), argument),
    "q": lambda cache, argument: cache.attend(argument),
}


@pytest.mark.parametrize("parameter", CALLS)
@pytest.mark.parametrize("site, panic", [
    ("__float__", PanicException), ("__index__", PanicException), ("__len__", PanicException),
    ("__iter__", PanicException), ("__getitem__", PanicException), ("__float__", PanicSubclass),
])
def test_panic_from_python_code_becomes_a_new_panic(capfd, parameter, site, panic):
    original = panic("raised by user code\nsecond line")
    cache, ref = pair(strategy="static", static_k=2, recent_k=2)
    capfd.readouterr()
    error = caught(lambda: CALLS[parameter](cache, panicking(site, original)))
    _, err = capfd.readouterr()
    # A new panic of the base type, carrying the text of the one raised.
    assert type(error) is PanicException
    assert error is not original
    assert str(error) == "raised by user code\nsecond line"
    assert "raised by user code" in err
    # one notice and one traceback: the panic is re-raised once, not again
    # by every layer it passes through
    assert err.count("PanicException was raised by Python code") == 1
    assert_usable(cache, ref)


def test_panic_whose_str_fails_is_reported_as_unwrapped(capfd):
    class Unprintable(PanicException):
        def __str__(self):
            raise ValueError("no text")

    cache = PyKVCache(2, 3)
    error = caught(lambda: cache.append([0.0, Real(Unprintable())], [0.0] * 3))
    assert type(error) is PanicException
    assert str(error) == "Unwrapped panic from Python code"
    assert capfd.readouterr().err != ""
    assert cache.current_len() == 0
    cache.append([0.0] * 2, [0.0] * 3)


@pytest.mark.parametrize("name", ["d_k", "d_v", "window_size", "static_k", "recent_k", "merge_every", "threshold"])
def test_panic_from_constructor_conversion_keeps_its_type_and_text(name, capfd):
    error = caught(lambda: PyKVCache(**{name: Index(PanicException("in index"))}))
    assert type(error) is PanicException
    assert str(error) == "in index"
