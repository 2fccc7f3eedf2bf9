"""Python sequences to 32-bit vectors and back.

What the cache stored is read back through attention over a single entry
(weight exactly 1.0, so the output is the stored value, -0.0 turning into
+0.0). The expected floats come from an exact rational rounding: an element
becomes a double the way the interpreter's float conversion makes it, then
the nearest 32-bit float, ties to even.

Arguments that lie about their length, fail, or change while they are read
must leave the cache exactly as a float32 model driven with the same
successful calls leaves it, with its borrow free for the next call.
"""

import array
import collections
import fractions
import math
import re
import sys

import numpy as np
import pytest

from _marrowvale import PyKVCache
from helpers import (
    D,
    HookedList,
    Index,
    Indexed,
    PanicException,
    Real,
    Sequence,
    as_double,
    assert_usable,
    floats,
    interpreter_error,
    pair,
    round_to_f32,
)
from process_memory import heap_bytes, quiet_stderr
from reference import QUERY_MISMATCH, DimMismatch, comparable, vector

Fraction = fractions.Fraction


# ---- reference ------------------------------------------------------------------------

def double_to_f32(value):
    if math.isnan(value) or math.isinf(value) or value == 0:
        return value
    return round_to_f32(Fraction(value))


def model_element(item):
    """An element as the cache should read it: exact floats as they are,
    anything else through the interpreter's own float conversion."""
    return double_to_f32(item if type(item) is float else as_double(item))


def model_read(sequence):
    return [model_element(item) for item in sequence]


def as_read_back(values):
    """Attention output of a one-entry cache: +0.0 + v * 1.0, so -0.0 turns +0.0."""
    return [0.0 if value == 0 else value for value in values]


# ---- reading back what the cache stored ------------------------------------------------

PROBE_LEN = 2**63


def stored_length(make):
    """How many floats the cache takes from make(), read from the length check."""
    cache = PyKVCache(d_k=PROBE_LEN, d_v=0)
    with quiet_stderr(), pytest.raises(PanicException) as info:
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


# ---- helper classes ---------------------------------------------------------------------------

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
    assert comparable(stored(lambda: container(value))) == comparable([via_double] * 3)


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
    assert comparable(stored(make)) == comparable(as_read_back(model_read(make())))


def test_nan_elements_stay_nan():
    assert all(math.isnan(value) for value in stored(lambda: [math.nan, Real(math.nan), -math.nan]))


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
    """The call with `value` for `parameter` fails with exactly this error and
    changes nothing; a value after a failing key is not read."""
    cache, ref = pair(4, 4)
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
    assert_usable(cache, ref)
    return info.value


# ---- element errors ---------------------------------------------------------------------------------

@pytest.mark.parametrize("element", ["a", None, [1.0], 1j, object(), Real("x"), Real(2), Real(TypeError("mine")),
                                     Index(TypeError("mine"))])
@pytest.mark.parametrize("parameter", ["k", "v", "q"])
def test_element_type_error_is_rewrapped_with_the_parameter_name(element, parameter):
    expected = interpreter_error(as_double, element)
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


# Errors other than exactly TypeError go through as they were raised.
PASSING_ERRORS = [CustomTypeError, OverflowError, ValueError, ZeroDivisionError, KeyError, MemoryError, RecursionError,
                  StopIteration, KeyboardInterrupt, SystemExit, GeneratorExit, ArithmeticError]


@pytest.mark.parametrize("element", [Real, Index], ids=["__float__", "__index__"])
@pytest.mark.parametrize("error", PASSING_ERRORS, ids=lambda e: e.__name__)
@pytest.mark.parametrize("parameter", ["k", "v", "q"])
def test_other_element_errors_pass_unchanged(parameter, error, element):
    original = error("from the element")
    raised = check_refusal(parameter, [0.0, element(original), 0.0, 0.0], str(original), error)
    assert raised is original


@pytest.mark.parametrize("big", [2**1024, -(2**1500), Index(2**1024)])
def test_ints_beyond_double_range_raise_overflow_error_unchanged(big):
    expected = interpreter_error(as_double, big)
    assert type(expected) is OverflowError
    check_refusal("v", [big, 0.0, 0.0, 0.0], str(expected), OverflowError)


# ---- the length is only a hint --------------------------------------------------------------------------

LENGTHS = [0, 1, D - 1, D + 1, 100, 2**31, 2**62, sys.maxsize, 2**63, 2**64 + 5, 2**100, -1, "12", 1.5,
           ValueError, TypeError, OverflowError, LookupError, MemoryError, ZeroDivisionError, RuntimeError]
SEQUENCE_KINDS = [Indexed, Sequence, HookedList]


@pytest.mark.parametrize("length", LENGTHS, ids=repr)
@pytest.mark.parametrize("kind", SEQUENCE_KINDS)
def test_a_lying_length_is_only_a_hint(kind, length):
    cache, ref = pair()
    before = heap_bytes()
    k, v, q = floats(D), floats(D, -3.0), floats(D, 0.0)
    k[1] = v[2] = 0.1  # rounded on the way in
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


@pytest.mark.parametrize("stop", [KeyboardInterrupt, SystemExit])
@pytest.mark.parametrize("kind", SEQUENCE_KINDS)
def test_a_length_hint_that_asks_to_stop_is_not_swallowed(kind, stop):
    # Only the hint is optional: an interrupt raised while asking for it
    # must reach the caller, and the cache must stay as it was.
    cache, ref = pair()
    with pytest.raises(stop):
        cache.append(kind(floats(D), stop), floats(D))
    assert_usable(cache, ref)


# ---- iteration ---------------------------------------------------------------------------------------------

ITERATION_ERRORS = [ValueError, KeyError, LookupError, MemoryError, RecursionError, KeyboardInterrupt, SystemExit,
                    GeneratorExit, ArithmeticError, CustomTypeError]
BREAKS_AT = [0, 5, D - 1, 300]  # 300: past the stack buffer


def _breaking(at, error):
    items = floats(max(D, at + 1))
    items[at] = error
    return Sequence(items)


@pytest.mark.parametrize("at", BREAKS_AT)
@pytest.mark.parametrize("error", ITERATION_ERRORS, ids=lambda e: e.__name__)
@pytest.mark.parametrize("parameter", ["k", "v", "q"])
def test_iteration_error_passes_unchanged(parameter, error, at):
    original = error("mid-way")
    assert check_refusal(parameter, _breaking(at, original), str(original), error) is original


@pytest.mark.parametrize("at", BREAKS_AT)
@pytest.mark.parametrize("parameter", ["k", "v", "q"])
def test_iteration_type_error_is_rewrapped(parameter, at):
    check_refusal(parameter, _breaking(at, TypeError("broken")), f"argument '{parameter}': broken")


@pytest.mark.parametrize("parameter", ["k", "v", "q"])
def test_stop_iteration_inside_a_generator_is_its_runtime_error(parameter):
    check_refusal(parameter, _breaking(5, StopIteration("early")), "generator raised StopIteration", RuntimeError)


def _not_an_iterator(items):
    return 17


def test_iter_returning_a_non_iterator_is_a_rewrapped_type_error():
    value = Sequence([0.0] * 4, iterate=_not_an_iterator)
    expected = interpreter_error(iter, value)
    assert type(expected) is TypeError
    check_refusal("v", value, f"argument 'v': {expected}")


def test_iterator_decides_the_count_whatever_the_indexing_says():
    # __getitem__ is never used once __iter__ exists
    make = lambda: Sequence([9.0] * 10, length=10, iterate=lambda items: iter([1.0, 2.0]))  # noqa: E731
    assert stored(make) == [1.0, 2.0]


# ---- a sequence changed while it is read -----------------------------------------------------------------

def changed_by_element(change, n, at):
    """make() for a list of n floats whose element at `at` reads as -1.5 and,
    the first time it is read, calls change(list, element)."""

    def make():
        items = floats(n)
        element = Real(-1.5)

        def action():
            # Let go of the element first: when the change drops the list's
            # reference, only the conversion under way holds the element.
            element.action = None
            change(items, element)

        element.action = action
        items[at] = element
        return items

    return make


def _drop_self(items, me):
    items[items.index(me)] = 7.0  # the list lets go of the element being read


def _truncate_after(items, me):
    del items[items.index(me) + 1:]


def _extend(items, me):
    items.extend([9.0] * 3)


def _clear(items, me):
    items.clear()


def _swap_in_clearers(items, me):
    # Items after this one become elements that clear the list in turn.
    for i in range(items.index(me) + 1, len(items)):
        items[i] = Real(float(i), action=items.clear)


class Rewriting(Indexed):
    """__iter__ changes the list it is reading while it reads it."""

    def __init__(self, items, change):
        super().__init__(items)
        self.change = change

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


def _clear_at_4(items, i):
    if i == 4:
        items.clear()


CHANGED = {
    "shrinks": changed_by_element(lambda items, me: items.pop(), 4, 0),
    "drops earlier": changed_by_element(lambda items, me: items.pop(0), 5, 1),
    "next replaced": changed_by_element(lambda items, me: items.__setitem__(1, 9.5), 3, 0),
    "inserted before": changed_by_element(lambda items, me: items.insert(0, 8.0), 3, 1),
    "rebuilt longer": changed_by_element(lambda items, me: items.__setitem__(slice(None), [3.0] * 6), 1, 0),
    "last grows": changed_by_element(lambda items, me: items.append(Real(0.1)), 2, 1),
    **{f"{change.__name__[1:]}-at-{at}": changed_by_element(change, D, at)
       for change in (_drop_self, _clear, _truncate_after, _extend, _swap_in_clearers) for at in (0, 3, D - 3, D - 1)},
    **{f"iterator-{change.__name__[1:]}": (lambda change=change: Rewriting(floats(D), change))
       for change in (_grow, _shrink, _reverse, _replace, _clear_at_4)},
}


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


@pytest.mark.parametrize("name", CHANGED)
def test_a_sequence_changed_while_it_is_read_is_taken_as_its_iterator_hands_it_over(name):
    make = CHANGED[name]
    # The model converts each item as the iterator hands it over, as the
    # cache must.
    read = vector(make())
    n = len(read)
    assert comparable(stored(make)) == comparable(read + np.float32(0.0))
    # As key, value and query of a cache holding entries: with n the call
    # works, with n + 1 it fails on the length that was read.
    for d in (n, n + 1):
        cache, ref = pair(d, d)
        _mirror(cache, ref, make, lambda: floats(d))
        _mirror(cache, ref, lambda: floats(d), make)
        if d == n:
            assert comparable(cache.attend(make())) == ref.attend_bits(read)
        else:
            with quiet_stderr(), pytest.raises(PanicException) as caught:
                cache.attend(make())
            assert str(caught.value) == QUERY_MISMATCH
        assert_usable(cache, ref)


# ---- results come back as new lists --------------------------------------------------------------------

def test_attend_returns_a_new_list_of_the_exact_doubles_each_time():
    cache = PyKVCache(d_k=1, d_v=4)
    cache.append([0.0], [0.1, 1 / 3, 1e-45, 0.2])
    exact = [0.10000000149011612, 0.3333333432674408, 1.401298464324817e-45, 0.20000000298023224]
    first = cache.attend([0.0])
    assert type(first) is list and all(type(value) is float for value in first)
    assert first == exact
    first[0] = 99.0
    first.append(1.0)
    second = cache.attend([0.0])
    assert second is not first
    assert second == exact


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
