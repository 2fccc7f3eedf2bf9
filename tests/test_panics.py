"""Broken preconditions of the cache reach Python as PanicException, a
BaseException, after a diagnostic on standard error."""

import re

import pytest

import _marrowvale
from _marrowvale import PyKVCache

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


def panic_type():
    return type(caught(lambda: PyKVCache(1, 1).append([], [0.0])))


def key_message(given, required, what="key"):
    return f"assertion `left == right` failed: {what} dim mismatch\n  left: {given}\n right: {required}"


QUERY_MESSAGE = "assertion failed: self.len() == rhs.len()"


def state(cache, d_k):
    return cache.current_len(), cache.stats(), cache.attend([0.5] * d_k)


# ---- the exception type -------------------------------------------------------------------

def test_panic_exception_is_a_base_exception_outside_the_module():
    panic = panic_type()
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


# ---- length failures ---------------------------------------------------------------------------

@pytest.mark.parametrize(
    "d_k, d_v, key, value, message",
    [
        (64, 64, 3, 64, key_message(3, 64)),
        (64, 64, 65, 64, key_message(65, 64)),
        (64, 64, 64, 3, key_message(3, 64, "value")),
        (4, 2, 4, 0, key_message(0, 2, "value")),
        (64, 64, 3, 5, key_message(3, 64)),  # both wrong: the key is reported
        (0, 5, 1, 5, key_message(1, 0)),
        (5, 0, 5, 1, key_message(1, 0, "value")),
        (2**64 - 1, 1, 0, 0, key_message(0, 2**64 - 1)),
        (1, 2**64 - 1, 1, 2, key_message(2, 2**64 - 1, "value")),
    ],
)
def test_append_length_failure(d_k, d_v, key, value, message):
    cache = PyKVCache(d_k, d_v)
    error = caught(lambda: cache.append([0.0] * key, [0.0] * value))
    assert type(error) is panic_type()
    assert str(error) == message
    assert error.args == (message,)
    assert cache.current_len() == 0
    assert cache.stats()["total_appends"] == 0


@pytest.mark.parametrize("query", [0, 1, 3, 5, 100])
@pytest.mark.parametrize("d_v", [0, 2])
def test_query_of_the_wrong_length_on_a_held_entry(query, d_v):
    cache = PyKVCache(4, d_v)
    cache.append([1.0] * 4, [1.0] * d_v)
    error = caught(lambda: cache.attend([0.0] * query))
    assert type(error) is panic_type()
    assert str(error) == QUERY_MESSAGE


@pytest.mark.parametrize("query", [[], [1.0], [1.0] * 5, [float("nan")] * 9])
def test_empty_cache_answers_positive_zeros_for_any_query(query):
    for cache in (PyKVCache(4, 3), _cleared()):
        result = cache.attend(query)
        assert result == [0.0] * 3
        assert all(str(value) == "0.0" for value in result)  # +0.0, not -0.0


def _cleared():
    cache = PyKVCache(4, 3)
    cache.append([1.0] * 4, [-1.0] * 3)
    cache.clear()
    return cache


FAILING_CALLS = {
    "short key": lambda cache: cache.append([1.0] * 3, [1.0] * 2),
    "long key": lambda cache: cache.append([1.0] * 5, [1.0] * 2),
    "short value": lambda cache: cache.append([1.0] * 4, [1.0]),
    "both wrong": lambda cache: cache.append([], []),
    "short query": lambda cache: cache.attend([1.0] * 3),
    "empty query": lambda cache: cache.attend(()),
}


@pytest.mark.parametrize("name", FAILING_CALLS)
def test_a_failure_leaves_the_cache_as_it_was(name):
    cache = PyKVCache(4, 2, "sliding", 3)
    for i in range(4):
        cache.append([float(i), 0.0, 1.0, 0.0], [float(i), -float(i)])
    before = state(cache, 4)
    for _ in range(2):
        assert type(caught(lambda: FAILING_CALLS[name](cache))) is panic_type()
        assert state(cache, 4) == before
    cache.append([0.0] * 4, [9.0, 9.0])
    assert cache.stats()["total_appends"] == 5


# ---- the diagnostic ------------------------------------------------------------------------------

@pytest.mark.parametrize(
    "build, call, message",
    [
        (lambda: PyKVCache(), lambda c: c.append([0.0] * 3, [0.0] * 64), key_message(3, 64)),
        (lambda: PyKVCache(2, 3), lambda c: c.append([0.0] * 2, [0.0] * 7), key_message(7, 3, "value")),
        (lambda: _with_entry(PyKVCache(2, 3)), lambda c: c.attend([0.0]), QUERY_MESSAGE),
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


def _with_entry(cache):
    cache.append([0.0] * 2, [0.0] * 3)
    return cache


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

class PanickingFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class PanickingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class PanickingSequence(list):
    def __init__(self, items, error, where):
        super().__init__(items)
        self.error = error
        self.where = where

    def __len__(self):
        if self.where == "__len__":
            raise self.error
        return super().__len__()

    def __iter__(self):
        if self.where == "__iter__":
            raise self.error
        return super().__iter__()


def _argument(where, length, error):
    if where == "__float__":
        return [0.0] * (length - 1) + [PanickingFloat(error)]
    if where == "__index__":
        return [PanickingIndex(error)] + [0.0] * (length - 1)
    return PanickingSequence([0.0] * length, error, where)


CALLS = {
    "k": lambda cache, argument: cache.append(argument, [0.0] * 3),
    "v": lambda cache, argument: cache.append([0.0] * 2, argument),
    "q": lambda cache, argument: cache.attend(argument),
}


@pytest.mark.parametrize("parameter", CALLS)
@pytest.mark.parametrize("where", ["__float__", "__index__", "__len__", "__iter__"])
def test_panic_from_python_code_becomes_a_new_panic(capfd, parameter, where):
    panic = panic_type()
    original = panic("raised by user code\nsecond line")
    cache = _with_entry(PyKVCache(2, 3))
    before = state(cache, 2)
    capfd.readouterr()
    error = caught(lambda: CALLS[parameter](cache, _argument(where, 3 if parameter == "v" else 2, original)))
    _, err = capfd.readouterr()
    assert type(error) is panic
    assert error is not original
    assert str(error) == "raised by user code\nsecond line"
    assert "raised by user code" in err
    assert "Traceback" in err
    assert state(cache, 2) == before
    cache.append([0.0] * 2, [0.0] * 3)  # the borrow is free again


def test_panic_whose_str_fails_is_reported_as_unwrapped(capfd):
    panic = panic_type()

    class Unprintable(panic):
        def __str__(self):
            raise ValueError("no text")

    cache = PyKVCache(2, 3)
    error = caught(lambda: cache.append([0.0, PanickingFloat(Unprintable())], [0.0] * 3))
    assert type(error) is panic
    assert str(error) == "Unwrapped panic from Python code"
    assert capfd.readouterr().err != ""
    assert cache.current_len() == 0
    cache.append([0.0] * 2, [0.0] * 3)


def test_panic_from_constructor_conversion_keeps_its_type_and_text():
    panic = panic_type()
    error = caught(lambda: PyKVCache(d_k=PanickingIndex(panic("in index"))))
    assert type(error) is panic
    assert str(error) == "in index"
