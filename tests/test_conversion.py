"""Python sequences to 32-bit vectors and back.

What the cache stored is read back through attention over a single entry
(weight exactly 1.0, so the output is the stored value, -0.0 turning into
+0.0). The expected floats come from a reference rounding written here with
exact rationals: an element becomes a double the way the interpreter's float
conversion makes it, then the nearest 32-bit float, ties to even.
"""

import array
import collections
import ctypes
import fractions
import math
import re
import struct
import sys

import pytest

from _marrowvale import PyKVCache

Fraction = fractions.Fraction


# ---- reference ------------------------------------------------------------------------

def round_to_f32(exact):
    """The 32-bit float nearest to a rational (ties to even), as a Python float."""
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


def double_to_f32(value):
    if math.isnan(value) or math.isinf(value) or value == 0:
        return value
    return round_to_f32(Fraction(value))


_as_double = ctypes.pythonapi.PyFloat_AsDouble
_as_double.argtypes = [ctypes.py_object]
_as_double.restype = ctypes.c_double


def model_element(item):
    """An element as the cache should read it: exact floats as they are,
    anything else through the interpreter's own float conversion."""
    return double_to_f32(item if type(item) is float else _as_double(item))


def model_read(sequence):
    return [model_element(item) for item in sequence]


def interpreter_error(function, value):
    try:
        function(value)
    except BaseException as error:  # noqa: B036
        return error
    raise AssertionError(f"{value!r} was accepted")


def bits(values):
    return [struct.pack("<d", value) for value in values]


def as_read_back(values):
    """Attention output of a one-entry cache: +0.0 + v * 1.0, so -0.0 turns +0.0."""
    return [0.0 if value == 0 else value for value in values]


# ---- reading back what the cache stored ------------------------------------------------

PROBE_LEN = 2**63


def stored_length(make):
    """How many floats the cache takes from make(), read from the length check."""
    cache = PyKVCache(d_k=PROBE_LEN, d_v=0)
    with pytest.raises(BaseException) as info:
        cache.append(make(), [])
    match = re.search(r"key dim mismatch\n  left: (\d+)\n", str(info.value))
    assert match, str(info.value)
    return int(match.group(1))


def stored(make):
    """The floats the cache stores for make() (called afresh for every use)."""
    cache = PyKVCache(d_k=1, d_v=stored_length(make))
    cache.append([0.0], make())
    assert cache.current_len() == 1
    return cache.attend([0.0])


def assert_unchanged(cache, snapshot):
    assert (cache.current_len(), cache.stats()) == snapshot


def snapshot(cache):
    return cache.current_len(), cache.stats()


# ---- helper classes ---------------------------------------------------------------------------

class Real:
    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result


class Index:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        return self.result


class FloatWithOwnFloat(float):
    def __float__(self):
        return 42.0


class IntWithOwnFloat(int):
    def __float__(self):
        return 0.25


class GetitemOnly:
    """A sequence by the old protocol: __getitem__ until IndexError, no __len__."""

    def __init__(self, items):
        self.items = items

    def __getitem__(self, index):
        return self.items[index]


class Sequence:
    """A sequence whose length hint and iterator are chosen by the test."""

    def __init__(self, items, length=None, iterate=None):
        self.items = list(items)
        self.length = length
        self.iterate = iterate

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        if self.iterate is not None:
            return self.iterate(self.items)
        return iter(self.items)


class Outer:
    class IterableOnly:
        def __iter__(self):
            return iter([1.0])


class Renamed:
    def __iter__(self):
        return iter([1.0])


Renamed.__qualname__ = "Some.Other.Name"


class CustomTypeError(TypeError):
    pass


# ---- accepted sequences and elements --------------------------------------------------------------

TWICE_ROUNDED = [
    # exponent 60: the 32-bit ulp is 2**37, the double ulp 2**8. Directly the
    # int lies just above a 32-bit tie and rounds up; as a double it lands
    # exactly on the tie and rounds to even (down).
    2**60 + 2**36 + 1,
    -(2**60 + 2**36 + 1),
    2**100 + 2**76 + 3,
    # just below the tie between the largest finite float and 2**128: the
    # double is the tie itself, which rounds to even, that is to infinity
    2**128 - 2**103 - 1,
]


class PlainInt(int):
    pass


@pytest.mark.parametrize(
    "container",
    [
        lambda v: [v, Index(v), PlainInt(v)],
        lambda v: (v, Index(v), PlainInt(v)),
        lambda v: Sequence([v, Index(v), PlainInt(v)]),
        lambda v: range(v, v + 3),
    ],
    ids=["list", "tuple", "iterated", "range"],
)
@pytest.mark.parametrize("value", TWICE_ROUNDED)
def test_int_is_rounded_to_double_first_then_to_f32(value, container):
    via_double = round_to_f32(Fraction(float(value)))
    direct = round_to_f32(Fraction(value))
    assert via_double != direct  # the case only means something if the routes differ
    assert bits(stored(lambda: container(value))) == bits([via_double] * 3)


@pytest.mark.parametrize(
    "make",
    [
        lambda: [0.1, 1 / 3, -2.5, 1e-45, 1e-46, 7e-46, 3.4028235677973366e38, 3.4028235677973366e38 * (1 + 2**-25),
                 (2 - 2**-24) * 2.0**127, (2 - 2**-24) * 2.0**127 * (1 - 2**-52), 1e39, -1e39, math.inf, -math.inf,
                 5e-324, 2**-149 * 1.5, 2**-149 * 2.5, 1 + 2**-24, 1 + 3 * 2**-24, -0.0],
        lambda: (1, -7, 2**24 + 1, 2**53 + 1, True, False, 16777217),
        lambda: range(-3, 64, 7),
        lambda: b"\x00\x01\x7f\xff",
        lambda: bytearray(b"\x10\x20"),
        lambda: memoryview(b"\x05\x06"),
        lambda: array.array("f", [0.1, 3.0e38]),
        lambda: array.array("d", [0.1, 1e300, 2**-140]),
        lambda: array.array("i", [-5, 2**31 - 1]),
        lambda: collections.deque([1.5, 2]),
        lambda: collections.UserList([0.7, 8]),
        lambda: [Real(0.1), Real(1e-40), Index(3), Index(2**64 + 1), fractions.Fraction(1, 3)],
        lambda: [FloatWithOwnFloat(0.5), IntWithOwnFloat(3), float.fromhex("0x1.000001p0")],
        lambda: GetitemOnly([1.0, 2, 0.3]),
        lambda: Sequence([4.0, 0.2]),
        lambda: [],
    ],
    ids=["floats", "ints", "range", "bytes", "bytearray", "memoryview", "array-f", "array-d", "array-i", "deque",
         "userlist", "number-likes", "subclasses", "getitem-only", "iterated", "empty"],
)
def test_accepted_sequences_store_the_nearest_f32_of_each_element(make):
    assert bits(stored(make)) == bits(as_read_back(model_read(make())))


def test_float32_values_come_back_as_their_exact_doubles():
    values = stored(lambda: [0.1, 1 / 3, 1e-45, 0.2])
    assert values == [0.10000000149011612, 0.3333333432674408, 1.401298464324817e-45, 0.20000000298023224]
    assert all(type(value) is float for value in values)


def test_nan_elements_stay_nan():
    assert all(math.isnan(value) for value in stored(lambda: [math.nan, Real(math.nan), -math.nan]))


def test_each_argument_reaches_its_own_parameter():
    cache = PyKVCache(d_k=3, d_v=2)
    cache.append(k=(0.0, 0.0, 0.0), v=range(7, 9))
    assert cache.attend(q=array.array("f", [1.0, 2.0, 3.0])) == [7.0, 8.0]


# ---- refused arguments ------------------------------------------------------------------------------

def _generator():
    yield 1.0


@pytest.mark.parametrize(
    "value, type_name",
    [
        ({1.0, 2.0}, "set"),
        (frozenset(), "frozenset"),
        ({0: 1.0}, "dict"),
        (collections.OrderedDict(), "OrderedDict"),
        ({}.keys(), "dict_keys"),
        (iter([1.0]), "list_iterator"),
        (_generator(), "generator"),
        (5, "int"),
        (1.5, "float"),
        (None, "NoneType"),
        (object(), "object"),
        (Outer.IterableOnly(), "Outer.IterableOnly"),
        (Renamed(), "Some.Other.Name"),
    ],
)
@pytest.mark.parametrize("parameter", ["k", "v", "q"])
def test_non_sequences_are_refused_with_their_type_qualname(value, type_name, parameter):
    message = f"argument '{parameter}': '{type_name}' object cannot be converted to 'Sequence'"
    check_refusal(parameter, value, message)


@pytest.mark.parametrize("value", ["", "abc", "1" * 4])
@pytest.mark.parametrize("parameter", ["k", "v", "q"])
def test_strings_are_refused(value, parameter):
    class Text(str):
        pass

    for text in (value, Text(value)):
        check_refusal(parameter, text, f"argument '{parameter}': Can't extract `str` to `Vec`")


def check_refusal(parameter, value, message, error_type=TypeError):
    """The call with `value` for `parameter` fails as expected and changes nothing."""
    cache = PyKVCache(d_k=4, d_v=4)
    cache.append([0.0] * 4, [1.0] * 4)
    before = snapshot(cache)
    untouched = Sequence([0.0] * 4, iterate=lambda items: pytest.fail("the value was read after the key failed"))
    with pytest.raises(BaseException) as info:
        if parameter == "q":
            cache.attend(value)
        elif parameter == "k":
            cache.append(value, untouched)
        else:
            cache.append([0.0] * 4, value)
    assert type(info.value) is error_type
    assert str(info.value) == message
    assert_unchanged(cache, before)
    cache.append([0.0] * 4, [2.0] * 4)
    return info.value


# ---- element errors ---------------------------------------------------------------------------------

@pytest.mark.parametrize("element", ["a", None, [1.0], 1j, object(), Real("x"), Real(2), Real(TypeError("mine"))])
@pytest.mark.parametrize("parameter", ["k", "v", "q"])
def test_element_type_error_is_rewrapped_with_the_parameter_name(element, parameter):
    expected = interpreter_error(_as_double, element)
    assert type(expected) is TypeError
    check_refusal(parameter, [0.0, element, 0.0, 0.0], f"argument '{parameter}': {expected}")


def test_rewrapped_element_error_keeps_only_the_cause():
    cause = KeyError("underneath")
    original = TypeError("outer")
    original.__cause__ = cause
    raised = check_refusal("v", [Real(original)] * 4, "argument 'v': outer")
    assert raised is not original
    assert raised.__cause__ is cause
    assert raised.__context__ is not original


@pytest.mark.parametrize(
    "error", [OverflowError("o"), ValueError("v"), CustomTypeError("sub"), ZeroDivisionError("z")]
)
@pytest.mark.parametrize("parameter", ["k", "q"])
def test_other_element_errors_pass_unchanged(error, parameter):
    raised = check_refusal(parameter, [0.0, Real(error), 0.0, 0.0], str(error), type(error))
    assert raised is error


@pytest.mark.parametrize("big", [2**1024, -(2**1500), Index(2**1024)])
def test_ints_beyond_double_range_raise_overflow_error_unchanged(big):
    expected = interpreter_error(_as_double, big)
    assert type(expected) is OverflowError
    check_refusal("v", [big, 0.0, 0.0, 0.0], str(expected), OverflowError)


# ---- the length is only a hint --------------------------------------------------------------------------

ITEMS = [1.0, 0.1, 3.0]


@pytest.mark.parametrize(
    "length",
    [0, 1, 100, 2**31, 2**62, sys.maxsize, 2**63, 2**100, -1, "3", 3.0,
     ValueError("no length"), TypeError("no length"), OverflowError("no length"), LookupError("no length")],
)
def test_a_lying_length_hint_changes_nothing(length):
    make = lambda: Sequence(ITEMS, length=length)  # noqa: E731
    try:
        result = stored(make)
    except MemoryError:
        # Acceptable for an absurd hint, as long as the instance survives.
        cache = PyKVCache(1, 3)
        cache.append([0.0], ITEMS)
        assert cache.current_len() == 1
        return
    assert bits(result) == bits(model_read(ITEMS))


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
def test_a_length_hint_that_asks_to_stop_is_not_swallowed(stop):
    # Only the hint is optional: an interrupt raised while asking for it
    # must reach the caller, and the cache must stay as it was.
    cache = PyKVCache(3, 3)
    with pytest.raises(stop):
        cache.append(Sequence(ITEMS, length=stop()), ITEMS)
    assert cache.current_len() == 0
    cache.append(ITEMS, ITEMS)
    assert cache.current_len() == 1


# ---- iteration ---------------------------------------------------------------------------------------------

def _failing_after(count, error):
    def iterate(items):
        yield from items[:count]
        raise error

    return iterate


def _not_an_iterator(items):
    return 17


@pytest.mark.parametrize("count", [0, 2])
@pytest.mark.parametrize("error", [ValueError("mid-way"), LookupError("gone"), CustomTypeError("sub")])
def test_iteration_error_passes_unchanged(count, error):
    raised = check_refusal("k", Sequence([0.0] * 4, iterate=_failing_after(count, error)), str(error), type(error))
    assert raised is error


@pytest.mark.parametrize("count", [0, 3])
def test_iteration_type_error_is_rewrapped(count):
    check_refusal("q", Sequence([0.0] * 4, iterate=_failing_after(count, TypeError("broken"))), "argument 'q': broken")


def test_iter_returning_a_non_iterator_is_a_rewrapped_type_error():
    value = Sequence([0.0] * 4, iterate=_not_an_iterator)
    expected = interpreter_error(iter, value)
    assert type(expected) is TypeError
    check_refusal("v", value, f"argument 'v': {expected}")


def test_iterator_decides_the_count_whatever_the_indexing_says():
    # __getitem__ is never used once __iter__ exists
    make = lambda: Sequence([9.0] * 10, length=10, iterate=lambda items: iter([1.0, 2.0]))  # noqa: E731
    assert stored(make) == [1.0, 2.0]


# ---- a list changed while it is read --------------------------------------------------------------------

class Mutating:
    """An element whose first conversion changes the list that holds it."""

    def __init__(self, value, change):
        self.value = value
        self.change = change
        self.target = None
        self.done = False

    def __float__(self):
        if not self.done:
            self.done = True
            self.change(self.target)
        return self.value


def _list_with(items):
    for item in items:
        if isinstance(item, Mutating):
            item.target = items
    return items


MUTATIONS = {
    "grows": lambda: _list_with([Mutating(1.0, lambda lst: lst.extend([5.0, 6.0])), 2.0]),
    "shrinks": lambda: _list_with([Mutating(1.0, lambda lst: lst.pop()), 2.0, 3.0, 4.0]),
    "drops earlier": lambda: _list_with([1.0, Mutating(2.0, lambda lst: lst.pop(0)), 3.0, 4.0, 5.0]),
    "cleared": lambda: _list_with([Mutating(1.0, lambda lst: lst.clear()), 2.0, 3.0]),
    "next replaced": lambda: _list_with([Mutating(1.0, lambda lst: lst.__setitem__(1, 9.5)), 2.0, 3.0]),
    "itself replaced": lambda: _list_with([Mutating(1.0, lambda lst: lst.__setitem__(0, 7.0)), 2.0]),
    "inserted before": lambda: _list_with([0.5, Mutating(1.0, lambda lst: lst.insert(0, 8.0)), 2.0]),
    "rebuilt longer": lambda: _list_with([Mutating(1.0, lambda lst: lst.__setitem__(slice(None), [3.0] * 6))]),
    "last grows": lambda: _list_with([1.0, Mutating(2.0, lambda lst: lst.append(Real(0.1)))]),
    "emptied at end": lambda: _list_with([1.0, 2.0, Mutating(3.0, lambda lst: lst.clear())]),
}


@pytest.mark.parametrize("name", MUTATIONS)
def test_list_changed_by_an_element_is_read_as_its_iterator_reads_it(name):
    make = MUTATIONS[name]
    expected = as_read_back(model_read(iter(make())))
    assert bits(stored(make)) == bits(expected)


# ---- results come back as new lists --------------------------------------------------------------------

def test_attend_returns_a_new_list_of_exact_floats_each_time():
    cache = PyKVCache(d_k=1, d_v=3)
    cache.append([0.0], [0.1, 2.0, -3.5])
    first = cache.attend([0.0])
    assert type(first) is list
    assert first == [0.10000000149011612, 2.0, -3.5]
    first[0] = 99.0
    first.append(1.0)
    second = cache.attend([0.0])
    assert second is not first
    assert second == [0.10000000149011612, 2.0, -3.5]



# ---- nothing is kept -------------------------------------------------------------------------------------

def test_conversions_keep_no_references():
    element = Real(0.5)
    big = 2**70 + 1
    values = [element, big, 1.0]
    iterated = Sequence([element, big, 2.0])
    counts = lambda: [sys.getrefcount(obj) for obj in (element, big, values, iterated)]  # noqa: E731
    before = counts()
    cache = PyKVCache(d_k=3, d_v=3)
    for _ in range(20):
        cache.append(values, iterated)
        cache.attend(iterated)
        cache.attend(values)
        with pytest.raises(TypeError):
            cache.append(values, [element, None, 0.0])
        with pytest.raises(BaseException):
            cache.append(values, [element, big])  # the value's length is wrong
    cache.clear()
    assert counts() == before
