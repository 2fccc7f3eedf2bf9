"""What the binding tests share: the panic type, oracles taken from the
interpreter, an exact float32 rounding of rationals, objects whose
conversions answer, raise or call back, sequences whose length and iteration
a test chooses, calls back into a cache with the borrow conflict each meets,
and a cache driven side by side with the float32 model.

Wherever a helper takes a `result` (an answer, a length, an item), an
exception instance is raised as it is and an exception class is raised
afresh on every call (re-raising one instance would grow its traceback over
thousands of calls).
"""

import ctypes
import fractions
import math

import numpy as np

from _marrowvale import PyKVCache
from process_memory import quiet_stderr
from reference import RefCache, comparable, probe_queries

Fraction = fractions.Fraction


def _panic_type():
    with quiet_stderr():
        try:
            PyKVCache(d_k=1).append([], [0.0] * 64)
        except BaseException as caught:  # noqa: B036 - the panic is not an Exception
            return type(caught)
    raise AssertionError("a key of the wrong length did not panic")


# What a broken precondition raises; the module does not export it.
PanicException = _panic_type()


# ---- oracles taken from the interpreter ------------------------------------------


def _capi(name, restype):
    function = getattr(ctypes.pythonapi, name)
    function.argtypes = [ctypes.py_object]
    function.restype = restype
    return function


# The interpreter's own conversions, so that expected messages do not depend
# on one CPython version's wording.
as_u64 = _capi("PyLong_AsUnsignedLongLong", ctypes.c_ulonglong)
as_double = _capi("PyFloat_AsDouble", ctypes.c_double)


def interpreter_error(function, value):
    """The exception the interpreter raises for `function(value)`."""
    try:
        function(value)
    except BaseException as error:  # noqa: B036 - the oracle wants every kind
        return error
    raise AssertionError(f"{function!r} accepted {value!r}")


def round_to_f32(exact):
    """The float32 nearest to a rational (ties to even, beyond the largest
    finite float to infinity), as a Python float. Exact arithmetic, so that it
    is an oracle independent of numpy's and the processor's rounding."""
    if exact == 0:
        return 0.0
    sign = -1.0 if exact < 0 else 1.0
    magnitude = abs(Fraction(exact))
    exponent = magnitude.numerator.bit_length() - magnitude.denominator.bit_length()
    if Fraction(2) ** exponent > magnitude:
        exponent -= 1
    ulp = Fraction(2) ** (max(exponent, -126) - 23)
    steps, rest = divmod(magnitude, ulp)
    if 2 * rest > ulp or (2 * rest == ulp and steps % 2 == 1):
        steps += 1
    rounded = steps * ulp
    if rounded >= 2**128:
        return sign * math.inf
    return sign * float(rounded)


# ---- objects whose conversions a test controls -----------------------------------


def _answer(result, message):
    if isinstance(result, type) and issubclass(result, BaseException):
        raise result(message)
    if isinstance(result, BaseException):
        raise result
    return result


def raises(error, message="raised by the test"):
    """A callback that raises `error`."""

    def action():
        _answer(error, message)

    return action


class Real:
    """Not a float, but converted through __float__, which runs `action` (if
    any) and then answers `result` (a class raises with "from __float__")."""

    def __init__(self, result, action=None):
        self.result, self.action, self.calls = result, action, 0

    def __float__(self):
        self.calls += 1
        if self.action is not None:
            self.action()
        return _answer(self.result, "from __float__")


class Index:
    """Not an int, but converted through __index__, like Real."""

    def __init__(self, result, action=None):
        self.result, self.action, self.calls = result, action, 0

    def __index__(self):
        self.calls += 1
        if self.action is not None:
            self.action()
        return _answer(self.result, "from __index__")


class Indexed:
    """A sequence by __len__ and __getitem__ only, so that it is iterated
    through __getitem__. __len__ answers `length` (the true length when None;
    a class raises with "no length"); an item that is an exception is raised
    when it is fetched, with "broken at <index>"."""

    def __init__(self, items, length=None):
        self.items, self.length = list(items), length

    def __len__(self):
        return len(self.items) if self.length is None else _answer(self.length, "no length")

    def __getitem__(self, index):
        return _answer(self.items[index], f"broken at {index}")


class Sequence(Indexed):
    """An Indexed with an __iter__ of its own, which is what gets read: a
    generator over the items (exceptions among them raised as __getitem__
    raises them), or `iterate(items)` when that is given."""

    def __init__(self, items, length=None, iterate=None):
        super().__init__(items, length)
        self.iterate = iterate

    def __iter__(self):
        if self.iterate is not None:
            return self.iterate(self.items)
        return (_answer(item, f"broken at {i}") for i, item in enumerate(self.items))


class HookedList(list):
    """A list subclass, so that its own __len__ and __iter__ are called:
    `on_len` and `on_iter` run first, and __len__ answers `length` (the true
    length when None; a class raises with "no length")."""

    def __init__(self, items, length=None, on_len=None, on_iter=None):
        super().__init__(items)
        self.length, self.on_len, self.on_iter = length, on_len, on_iter

    def __len__(self):
        if self.on_len is not None:
            self.on_len()
        return list.__len__(self) if self.length is None else _answer(self.length, "no length")

    def __iter__(self):
        if self.on_iter is not None:
            self.on_iter()
        return list.__iter__(self)


# ---- calls back into the cache ---------------------------------------------------

NESTED = ["append", "clear", "attend", "stats", "current_len"]


def nested_call(cache, name, d_k, d_v):
    """Method `name` of cache, called with arguments of the right lengths."""
    if name == "append":
        return cache.append([0.75] * d_k, [0.5] * d_v)
    if name == "attend":
        return cache.attend([0.25] * d_k)
    return getattr(cache, name)()


def borrow_conflict(outer, inner):
    """The RuntimeError text for method `inner` called while `outer`
    ("append" or "attend") converts its arguments; None where both read."""
    if inner in ("append", "clear"):
        return "Already borrowed"
    if outer == "append":
        return "Already mutably borrowed"
    return None


class Reentry:
    """A callback that calls `call` the first time it runs and keeps what it
    returned or the RuntimeError it raised in `outcome`; the error goes on
    to the caller unless `swallow`."""

    def __init__(self, call, swallow=True):
        self.call, self.swallow = call, swallow
        self.runs, self.outcome = 0, None

    def __call__(self):
        if self.runs:
            return
        self.runs += 1
        try:
            self.outcome = ("ok", self.call())
        except RuntimeError as error:
            self.outcome = ("error", error)
            if not self.swallow:
                raise


# ---- a cache beside its model ----------------------------------------------------

D = 12  # more than one block of eight lanes, with leftovers


def floats(n, start=0.5):
    """n distinct floats, exact in 32 bits."""
    return [start + 0.125 * i for i in range(n)]


def random_floats(rng, n):
    return [float(x) for x in rng.standard_normal(n).astype(np.float32)]


def pair(d_k=D, d_v=D, entries=5, **params):
    """A cache and its model, built alike and holding the same entries: the
    (key, value) pairs given, or that many seeded random ones."""
    cache, ref = PyKVCache(d_k, d_v, **params), RefCache(d_k, d_v, **params)
    if isinstance(entries, int):
        rng = np.random.default_rng(d_k * 1000 + d_v)
        entries = [(random_floats(rng, d_k), random_floats(rng, d_v)) for _ in range(entries)]
    for k, v in entries:
        cache.append(k, v)
        ref.append(k, v)
    return cache, ref


def assert_consistent(cache, ref, seed=0):
    """Length, statistics and the outputs of queries that pin every held
    key and value down are the model's, to the bit."""
    assert cache.current_len() == ref.current_len()
    assert cache.stats() == ref.stats()
    for q in probe_queries(ref.keys, ref.d_k, seed):
        assert comparable(cache.attend(q)) == ref.attend_bits(q), q


def assert_usable(cache, ref):
    """The cache still follows the model, and its borrow is free for appends,
    a clear and attends."""
    assert_consistent(cache, ref)
    cache.append([0.25] * ref.d_k, [-0.5] * ref.d_v)
    ref.append([0.25] * ref.d_k, [-0.5] * ref.d_v)
    assert_consistent(cache, ref)
    cache.clear()
    ref.clear()
    assert_consistent(cache, ref)
    cache.append(floats(ref.d_k, -1.0), floats(ref.d_v, 2.0))
    ref.append(floats(ref.d_k, -1.0), floats(ref.d_v, 2.0))
    assert_consistent(cache, ref)
