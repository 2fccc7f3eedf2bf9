"""The module, the class PyKVCache and its constructor, seen from Python.

Interpreter messages (index protocol, float conversion, unsigned reads) are
taken from the interpreter itself, so the expectations do not depend on one
CPython version's wording.
"""

import gc
import importlib
import inspect
import operator
import pickle
import re
import sys
import weakref

import pytest

import _marrowvale
from _marrowvale import PyKVCache
from helpers import Index, PanicException, Real, as_double, as_u64, interpreter_error
from reference import U64_MAX

CHOOSE = "'. choose: full, sliding, static, merge, hybrid"
PARAMS = ["d_k", "d_v", "strategy", "window_size", "static_k", "recent_k", "threshold", "merge_every"]
COUNT_PARAMS = ["d_k", "d_v", "window_size", "static_k", "recent_k", "merge_every"]


# ---- helpers ---------------------------------------------------------------------

def length_failure(cache, key, value):
    """(which, required length) from the length check a bad append trips."""
    before = cache.current_len()
    with pytest.raises(PanicException) as info:
        cache.append(key, value)
    match = re.fullmatch(
        r"assertion `left == right` failed: (key|value) dim mismatch\n  left: (\d+)\n right: (\d+)",
        str(info.value),
    )
    assert match, str(info.value)
    assert int(match.group(2)) == len(key if match.group(1) == "key" else value)
    assert cache.current_len() == before
    return match.group(1), int(match.group(3))


def assert_dims(cache, d_k, d_v):
    assert length_failure(cache, [0.0] * (0 if d_k else 1), []) == ("key", d_k)
    if d_k <= 4096:
        assert length_failure(cache, [0.0] * d_k, [0.0] * (0 if d_v else 1)) == ("value", d_v)


def drive(cache, keys):
    """Appends one entry per key (values of matching length) and reports what stayed."""
    d_v = length_failure(cache, [0.0] * len(keys[0]), [0.0] * 9999)[1] if keys else 0
    for key in keys:
        cache.append(key, [1.0] * d_v)
    stats = cache.stats()
    assert stats["current_size"] == cache.current_len()
    return cache.current_len(), stats["total_merges"]


class IntWithBrokenIndex(int):
    def __index__(self):
        raise AssertionError("an int is read directly")


class Holder:
    class Inner:
        pass


class CustomTypeError(TypeError):
    pass


class CustomBase(BaseException):
    pass


# ---- binding, defaults and the reach of every parameter --------------------------

@pytest.mark.parametrize(
    "args, kwargs, d_k, d_v",
    [
        ((8, 4, "sliding", 16), {}, 8, 4),
        ((), {"d_v": 3, "d_k": 5}, 5, 3),
        ((7,), {"d_v": 2}, 7, 2),
        ((0, 0), {}, 0, 0),
        ((True, False), {}, 1, 0),
        ((U64_MAX, 1), {}, U64_MAX, 1),
        ((Index(6), Index(2)), {}, 6, 2),
        ((Index(U64_MAX), 1), {}, U64_MAX, 1),
        ((), {}, 64, 64),
        # an int subclass is read as an int, not through its __index__
        ((IntWithBrokenIndex(5), 1), {}, 5, 1),
    ],
)
def test_vector_lengths_bind_by_position_and_keyword(args, kwargs, d_k, d_v):
    assert_dims(PyKVCache(*args, **kwargs), d_k, d_v)


def test_zero_lengths_store_empty_vectors():
    cache = PyKVCache(0, 0)
    cache.append([], [])
    cache.append((), range(0))
    assert cache.current_len() == 2
    assert cache.attend([]) == []


ONES64 = [1.0] * 64
ONES2 = [1.0, 1.0]


@pytest.mark.parametrize(
    "args, kwargs, keys, kept, dropped",
    [
        # window_size, by position (4th) and by keyword, and its default of 512
        ((1, 1, "sliding", 16), {}, [[0.0]] * 17, 16, 1),
        ((), {"d_k": 1, "d_v": 1, "strategy": "sliding", "window_size": 3}, [[0.0]] * 5, 3, 2),
        ((1, 1, "sliding"), {}, [[0.0]] * 513, 512, 1),
        ((1, 1, "sliding", U64_MAX), {}, [[0.0]] * 20, 20, 0),
        # static_k + recent_k, and their defaults 32 + 128
        ((1, 1, "static", 999, 2, 1), {}, [[0.0]] * 5, 3, 2),
        ((1, 1, "static"), {"recent_k": 0, "static_k": 4}, [[0.0]] * 6, 4, 2),
        ((1, 1, "static"), {}, [[0.0]] * 161, 160, 1),
        # merge_every: a pass on appends k * merge_every + 1; default 4
        ((2, 1, "merge"), {"merge_every": 1}, [ONES2] * 3, 1, 2),
        ((2, 1, "merge"), {"merge_every": 2}, [ONES2] * 3, 2, 1),
        ((2, 1, "merge"), {}, [ONES2] * 4, 4, 0),
        ((2, 1, "merge"), {}, [ONES2] * 5, 3, 2),
        # the default threshold (0.9) lies between similarities 0.8 and 0.96
        ((2, 1, "merge"), {"merge_every": 1}, [[1.0, 0.0], [4.0, 3.0]], 2, 0),
        ((2, 1, "merge"), {"merge_every": 1}, [[3.0, 4.0], [4.0, 3.0]], 1, 1),
        # all eight by position
        ((2, 1, "merge", 1, 1, 1, 0.5, 1), {}, [[1.0, 0.0], [4.0, 3.0]], 1, 1),
        # hybrid: static_k and merge_every, defaults 32 and 4
        ((2, 1, "hybrid"), {"static_k": 1, "merge_every": 1}, [ONES2] * 3, 2, 1),
        ((2, 1, "hybrid"), {"static_k": 0, "merge_every": 1}, [ONES2] * 3, 1, 2),
        ((2, 1, "hybrid"), {}, [ONES2] * 36, 36, 0),
        ((2, 1, "hybrid"), {}, [ONES2] * 37, 35, 2),
    ],
)
def test_each_parameter_reaches_its_strategy(args, kwargs, keys, kept, dropped):
    assert drive(PyKVCache(*args, **kwargs), keys) == (kept, dropped)


@pytest.mark.parametrize(
    "threshold, keys, kept",
    [
        # 0.99999999 becomes the 32-bit float 1.0: equal keys of 64 ones have
        # similarity exactly 1.0, which is not above it (it would be above
        # the double 0.99999999).
        (0.99999999, [ONES64] * 2, 2),
        (1, [ONES64] * 2, 2),
        (Index(1), [ONES64] * 2, 2),
        (True, [ONES64] * 2, 2),
        # (1, 1) has similarity 1.0000001, just above 1.0
        (1, [ONES2 + [0.0] * 62] * 2, 1),
        (0.5, [ONES64] * 2, 1),
        (Real(0.5), [ONES64] * 2, 1),
        (float("nan"), [ONES64] * 2, 2),
        (1e39, [ONES2 + [0.0] * 62] * 2, 2),
        (float("-inf"), [[1.0] + [0.0] * 63, [-1.0] + [0.0] * 63], 1),
        (-1e39, [[1.0] + [0.0] * 63, [-1.0] + [0.0] * 63], 1),
    ],
)
def test_threshold_is_stored_as_a_32_bit_float(threshold, keys, kept):
    cache = PyKVCache(64, 1, "merge", threshold=threshold, merge_every=1)
    assert drive(cache, keys)[0] == kept


# ---- binding errors ----------------------------------------------------------------

@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        (range(9), {}, "PyKVCache.__new__() takes from 0 to 8 positional arguments but 9 were given"),
        (range(12), {}, "PyKVCache.__new__() takes from 0 to 8 positional arguments but 12 were given"),
        ((64,), {"d_k": 64}, "PyKVCache.__new__() got multiple values for argument 'd_k'"),
        ((1, 1, "full", 1, 1, 1, 0.5, 1), {"merge_every": 1},
         "PyKVCache.__new__() got multiple values for argument 'merge_every'"),
        ((), {"size": 1}, "PyKVCache.__new__() got an unexpected keyword argument 'size'"),
        ((), {"D_K": 1}, "PyKVCache.__new__() got an unexpected keyword argument 'D_K'"),
        # keywords are checked in the order given; the first problem is reported
        ((1,), {"size": 1, "d_k": 1}, "PyKVCache.__new__() got an unexpected keyword argument 'size'"),
        ((1,), {"d_k": 1, "size": 1}, "PyKVCache.__new__() got multiple values for argument 'd_k'"),
        # binding comes before any conversion
        ((-1,), {"d_k": -1}, "PyKVCache.__new__() got multiple values for argument 'd_k'"),
        ((), {"d_k": 1.5, "nope": 1}, "PyKVCache.__new__() got an unexpected keyword argument 'nope'"),
        ((-1, -1, 3, -1, -1, -1, "x", -1, -1), {},
         "PyKVCache.__new__() takes from 0 to 8 positional arguments but 9 were given"),
    ],
)
def test_binding_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        PyKVCache(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == message


def test_binding_error_converts_nothing():
    spies = [Index(1) for _ in range(8)]
    with pytest.raises(TypeError, match="unexpected keyword argument 'bogus'"):
        PyKVCache(*spies[:7], merge_every=spies[7], bogus=0)
    assert [spy.calls for spy in spies] == [0] * 8


# ---- integer and float conversion ---------------------------------------------------------

@pytest.mark.parametrize("name, value, oracle, error, rewrapped", [
    *[(name, value, as_u64, OverflowError, False) for name in COUNT_PARAMS
      for value in (-1, -(2**70), 2**64, 2**100, Index(-3), Index(2**64))],
    *[(name, value, operator.index, TypeError, True) for name in COUNT_PARAMS
      for value in (1.5, 2.0, None, "3", b"3", [1], Index("x"), Index(2.0))],
    *[("threshold", value, as_double, TypeError, True)
      for value in ("0.9", None, [0.5], object(), 1j, Real("x"), Real(1))],
    *[("threshold", value, as_double, OverflowError, False) for value in (2**1024, -(2**2000), Index(2**1024))],
])
def test_conversion_errors_carry_the_interpreters_message(name, value, oracle, error, rewrapped):
    # The unsigned read of an Index goes through __index__ first.
    raw = value.result if oracle is as_u64 and isinstance(value, Index) else value
    expected = interpreter_error(oracle, raw)
    assert type(expected) is error
    with pytest.raises(error) as info:
        PyKVCache(**{name: value})
    assert type(info.value) is error
    # An exact TypeError gets the parameter's name; the rest stay as raised.
    assert str(info.value) == (f"argument '{name}': {expected}" if rewrapped else str(expected))
    assert info.value.__cause__ is None


# ---- text conversion --------------------------------------------------------------------------

class Name(str):
    pass


@pytest.mark.parametrize(
    "value, type_name",
    [(b"full", "bytes"), (1, "int"), (None, "NoneType"), (["full"], "list"), (Holder.Inner(), "Holder.Inner")],
)
def test_non_string_strategy_names_its_type(value, type_name):
    with pytest.raises(TypeError) as info:
        PyKVCache(strategy=value)
    assert type(info.value) is TypeError
    assert str(info.value) == f"argument 'strategy': '{type_name}' object cannot be converted to 'PyString'"


def test_str_subclass_is_a_strategy_name():
    assert PyKVCache(strategy=Name("sliding")).stats()["strategy"] == "sliding"


@pytest.mark.parametrize("name", ["\ud800", "full\udfff"])
def test_unencodable_strategy_raises_unicode_encode_error_unchanged(name):
    with pytest.raises(UnicodeEncodeError) as info:
        PyKVCache(strategy=name)
    assert type(info.value) is UnicodeEncodeError
    assert not str(info.value).startswith("argument")


# ---- which errors are rewrapped ----------------------------------------------------------------

def _with_cause(error, cause):
    error.__cause__ = cause
    return error


def _hook(kind, error):
    return (Index if kind == "index" else Real)(error)


@pytest.mark.parametrize("kind, name", [("index", "d_k"), ("index", "merge_every"), ("float", "threshold")])
@pytest.mark.parametrize("cause", [None, KeyError("why")])
def test_exact_type_error_from_user_code_is_rewrapped(kind, name, cause):
    original = _with_cause(TypeError("nope, not today"), cause)
    with pytest.raises(TypeError) as info:
        PyKVCache(**{name: _hook(kind, original)})
    raised = info.value
    assert raised is not original
    assert type(raised) is TypeError
    assert str(raised) == f"argument '{name}': nope, not today"
    assert raised.__cause__ is cause
    assert raised.__context__ is not original


@pytest.mark.parametrize("kind, name", [("index", "d_v"), ("index", "recent_k"), ("float", "threshold")])
@pytest.mark.parametrize(
    "make",
    [lambda: CustomTypeError("sub"), lambda: ValueError("v"), lambda: OverflowError("o"),
     lambda: ZeroDivisionError("z"), lambda: CustomBase("b")],
    ids=["type-error-subclass", "value-error", "overflow-error", "zero-division", "base-exception"],
)
def test_other_errors_from_user_code_pass_unchanged(kind, name, make):
    original = make()
    with pytest.raises(BaseException) as info:
        PyKVCache(**{name: _hook(kind, original)})
    assert info.value is original
    assert str(info.value) == str(original)


# ---- conversion order and strategy selection --------------------------------------------------------

def test_arguments_are_converted_in_parameter_order_whatever_the_keyword_order():
    order = []

    class Spy(Index):
        def __init__(self, name, result):
            super().__init__(result)
            self.name = name

        def __index__(self):
            order.append(self.name)
            return super().__index__()

        def __float__(self):
            order.append(self.name)
            return 0.5

    kwargs = {name: Spy(name, 1) for name in reversed(PARAMS) if name != "strategy"}
    PyKVCache(strategy="static", **kwargs)
    assert order == [name for name in PARAMS if name != "strategy"]


def test_first_failing_conversion_ends_the_call():
    later = [Index(1) for _ in range(3)]
    with pytest.raises(OverflowError):
        PyKVCache(merge_every=later[0], static_k=later[1], d_v=-1, window_size=later[2], d_k=Index(3))
    assert [spy.calls for spy in later] == [0, 0, 0]


@pytest.mark.parametrize(
    "kwargs, error, prefix",
    [
        ({"strategy": "nope", "d_k": -1}, OverflowError, None),
        ({"strategy": "nope", "merge_every": -1}, OverflowError, None),
        ({"strategy": "nope", "threshold": "x"}, TypeError, "argument 'threshold': "),
        ({"strategy": "full", "window_size": -1}, OverflowError, None),
        ({"strategy": "sliding", "static_k": 2**64}, OverflowError, None),
        ({"recent_k": 1.5}, TypeError, "argument 'recent_k': "),
        ({"strategy": "static", "threshold": None}, TypeError, "argument 'threshold': "),
    ],
)
def test_unused_parameters_are_converted_before_the_name_is_examined(kwargs, error, prefix):
    with pytest.raises(error) as info:
        PyKVCache(**kwargs)
    assert type(info.value) is error
    if prefix:
        assert str(info.value).startswith(prefix)


@pytest.mark.parametrize("name", ["full", "sliding", "static", "merge", "hybrid"])
def test_known_strategy_names(name):
    assert PyKVCache(strategy=name).stats()["strategy"] == name


@pytest.mark.parametrize(
    "name",
    ["", "Full", "FULL", "full ", " full", "ful", "fulls", "slide", "statics", "merg", "Hybrid",
     "merge\x00", "static\n", "hybrid!", "stätic", "全部"],
)
def test_unknown_strategy_names_are_refused_byte_for_byte(name):
    with pytest.raises(ValueError) as info:
        PyKVCache(strategy=name)
    assert type(info.value) is ValueError
    assert str(info.value) == "unknown strategy '" + name + CHOOSE


# ---- the module -------------------------------------------------------------------------------------------

def test_module_attributes():
    assert _marrowvale.__name__ == "_marrowvale"
    assert _marrowvale.__doc__ == ""
    assert type(_marrowvale.__all__) is list
    assert _marrowvale.__all__ == ["PyKVCache"]
    assert _marrowvale.PyKVCache is PyKVCache
    public = [name for name in vars(_marrowvale) if not name.startswith("__")]
    assert public == ["PyKVCache"]


def test_reimport_returns_the_same_module_unchanged():
    saved = sys.modules.pop("_marrowvale")
    try:
        again = importlib.import_module("_marrowvale")
        assert again is saved
        assert again.PyKVCache is PyKVCache
        assert again.__all__ == ["PyKVCache"]
    finally:
        sys.modules["_marrowvale"] = saved


# ---- the class --------------------------------------------------------------------------------------------

def test_class_names():
    assert PyKVCache.__module__ == "builtins"
    assert PyKVCache.__name__ == "PyKVCache"
    assert PyKVCache.__qualname__ == "PyKVCache"
    assert PyKVCache.__bases__ == (object,)


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        type("Sub", (PyKVCache,), {})


def test_instances_have_no_dict_no_weakref_and_are_not_gc_tracked():
    cache = PyKVCache()
    assert not hasattr(cache, "__dict__")
    with pytest.raises(AttributeError):
        cache.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(cache)
    assert not gc.is_tracked(cache)


def test_class_defines_only_its_constructor_and_five_methods_in_table_order():
    own = list(PyKVCache.__dict__)
    assert set(own) == {"__new__", "append", "attend", "current_len", "clear", "stats", "__doc__", "__module__"}
    methods = [name for name in own if not name.startswith("__")]
    assert methods == ["append", "attend", "current_len", "clear", "stats"]


def test_interpreter_defaults_apply():
    cache = PyKVCache()
    with pytest.raises(TypeError):
        len(cache)
    with pytest.raises(TypeError):
        pickle.dumps(cache)
    assert re.fullmatch(r"<(builtins\.)?PyKVCache object at 0x[0-9a-f]+>", repr(cache))


def test_calling_init_again_changes_nothing():
    cache = PyKVCache(2, 1, "sliding", 2)
    for value in (1.0, 2.0, 3.0):
        cache.append([0.0, 0.0], [value])
    before = cache.stats(), cache.attend([0.0, 0.0])
    cache.__init__(5, 5, "nope", window_size=-1)
    assert (cache.stats(), cache.attend([0.0, 0.0])) == before
    assert_dims(cache, 2, 1)


def test_instances_share_nothing():
    first, second = PyKVCache(1, 1), PyKVCache(1, 1)
    first.append([0.0], [5.0])
    assert (first.current_len(), second.current_len()) == (1, 0)
    assert second.attend([0.0]) == [0.0]


# ---- docstrings and signatures ----------------------------------------------------------------------------

SIGNATURE = (
    '(d_k=64, d_v=64, strategy="full", window_size=512, static_k=32, recent_k=128, threshold=0.90, merge_every=4)'
)


def test_class_docstring_and_signature():
    assert PyKVCache.__text_signature__ == SIGNATURE
    assert PyKVCache.__doc__ == ""
    parameters = inspect.signature(PyKVCache).parameters
    assert list(parameters) == PARAMS
    assert {p.kind for p in parameters.values()} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert [p.default for p in parameters.values()] == [64, 64, "full", 512, 32, 128, 0.9, 4]


@pytest.mark.parametrize(
    "name, text, bound",
    [
        ("append", "($self, k, v)", ["k", "v"]),
        ("attend", "($self, q)", ["q"]),
        ("current_len", "($self)", []),
        ("clear", "($self)", []),
        ("stats", "($self)", []),
    ],
)
def test_method_docstrings_and_signatures(name, text, bound):
    method = getattr(PyKVCache, name)
    assert method.__text_signature__ == text
    assert not method.__doc__
    parameters = inspect.signature(getattr(PyKVCache(), name)).parameters
    assert list(parameters) == bound
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD and p.default is p.empty
               for p in parameters.values())
