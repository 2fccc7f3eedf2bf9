"""What LayerCache reads as keys, values and queries, and what it refuses:
every number dtype rounded as PyKVCache rounds a Python number, strided and
byte-swapped arrays, nested sequences; wrong shapes and kinds raise with the
parameter named and leave the cache as it was."""

import array
import os
import subprocess
import sys

import numpy as np
import pytest

from helpers import Real
from layer_helpers import append_to_heads, bits, expected_attention, head_caches
from marrowvale import LayerCache
from reference import vector

H, D = 2, 5


def stored(k, v=None):
    """The keys a fresh cache holds after appending k (and the same as v)."""
    layer = LayerCache(H, D, D)
    layer.append(k, k if v is None else v)
    return np.stack([layer.keys(h)[0] for h in range(H)])


def as_pykvcache_stores(rows):
    """What PyKVCache stores for rows of Python numbers, in the model's terms:
    each number read as a Python float, then rounded to float32."""
    return np.stack([vector(row) for row in rows])


WIDE = [[1.0000000596046448, -3.4028235677973366e38, 1e-46, 2.5, float("nan")],
        [0.1, -0.0, 16777217.0, 1e39, -7.0]]
BIG_INTS = [[2**60 + 2**36 + 1, -(2**53) - 1, 16777217, 3, 0], [2**63 - 1, -(2**63), 1, -1, 255]]


@pytest.mark.parametrize("rows, dtype", [
    (WIDE, np.float64),
    (WIDE, ">f8"),
    ([[1.5, -2.0, 65504.0, 6e-8, -0.0], [1e-5, 0.333, -1.0, 2.0, 3.0]], np.float16),
    (BIG_INTS, np.int64),
    ([[2**64 - 1, 2**53 + 1, 0, 7, 9], [1, 2, 3, 4, 5]], np.uint64),
    ([[-128, 127, 0, 1, -1], [5, 6, 7, 8, 9]], np.int8),
    ([[-70000, 70000, 0, 1, -1], [5, 6, 7, 8, 9]], ">i4"),
    ([[True, False, True, True, False], [False] * 5], np.bool_),
])
def test_every_number_dtype_is_rounded_as_pykvcache_rounds_its_python_numbers(rows, dtype):
    with np.errstate(all="ignore"):
        given = np.array(rows, dtype=dtype)
    assert np.array_equal(bits(stored(given)), bits(as_pykvcache_stores(given.tolist())))


def test_float16_is_exact_for_every_pattern():
    patterns = np.arange(2**16, dtype=np.uint16).view(np.float16)
    layer = LayerCache(1, 2**16, 1)
    layer.append(patterns[None, :], [[0.0]])
    assert np.array_equal(bits(layer.keys(0)[0]), bits(patterns.astype(np.float32)))


def test_strided_and_nested_inputs_read_the_same_numbers():
    base = np.arange(40, dtype=np.float32).reshape(4, 10) / np.float32(7)
    expected = bits(np.ascontiguousarray(base[::2, ::2]))
    for given in [
        base[::2, ::2],                           # strided
        np.asfortranarray(base[::2, ::2]),        # column-major
        base[::2, ::2].astype(">f4"),             # byte-swapped
        base[::2, ::2].tolist(),                  # nested lists
        tuple(tuple(row) for row in base[::2, ::2].tolist()),
        [row for row in base[::2, ::2]],          # a list of arrays
        [array.array("f", row) for row in base[::2, ::2].tolist()],
        memoryview(np.ascontiguousarray(base[::2, ::2])),
    ]:
        assert np.array_equal(bits(stored(given)), expected), type(given)
    backwards = base[::-2, ::-2]  # negative strides
    assert np.array_equal(bits(stored(backwards)), bits(np.ascontiguousarray(backwards)))


def test_unaligned_float32_is_copied_not_misread():
    data = np.ascontiguousarray(np.arange(10, dtype=np.float32))
    raw = np.frombuffer(b"\0" + data.tobytes(), dtype=np.uint8)[1:]
    unaligned = raw.view(np.float32).reshape(H, D)
    assert unaligned.ctypes.data % 4 != 0
    assert np.array_equal(bits(stored(unaligned)), bits(data.reshape(H, D)))


def test_extend_reads_nested_tokens_and_attend_reads_nested_queries():
    keys = np.arange(3 * H * D, dtype=np.float32).reshape(3, H, D) / np.float32(50)
    a, b = LayerCache(H, D, D), LayerCache(H, D, D)
    a.extend(keys, keys)
    b.extend(keys.tolist(), [list(token) for token in keys])
    assert a.to_bytes() == b.to_bytes()
    q = keys[0]
    assert np.array_equal(bits(a.attend(q.tolist())), bits(a.attend(q)))


# ---- refusals -----------------------------------------------------------------

SHAPE_ERRORS = [
    ("append", lambda: (np.zeros((H, D - 1)), np.zeros((H, D))), "argument 'k': expected (2, 5), got (2, 4)"),
    ("append", lambda: (np.zeros((H, D)), np.zeros((H + 1, D))), "argument 'v': expected (2, 5), got (3, 5)"),
    ("append", lambda: (np.zeros(H * D), np.zeros((H, D))), "argument 'k': expected (2, 5), got (10,)"),
    ("append", lambda: ([[0.0] * D, [0.0] * (D + 1)], np.zeros((H, D))), "argument 'k': expected (2, 5), got (2, 6)"),
    ("append", lambda: ([[0.0] * D], np.zeros((H, D))), "argument 'k': expected (2, 5), got (1, 5)"),
    ("extend", lambda: (np.zeros((H, D)), np.zeros((H, D))), "argument 'K': expected (T, 2, 5), got (2, 5)"),
    ("extend", lambda: (np.zeros((3, H, D)), np.zeros((2, H, D))), "argument 'V': expected (3, 2, 5), got (2, 2, 5)"),
    ("extend", lambda: ([np.zeros((H, D)), np.zeros((H, D - 1))], np.zeros((2, H, D))),
     "argument 'K': expected (T, 2, 5), got (2, 2, 4)"),
    ("attend", lambda: (np.zeros((3, D)),), "argument 'q': expected (n_q, 5) with n_q a multiple of n_heads (2), "
     "got (3, 5)"),
    ("attend", lambda: (np.zeros((H, D + 1)),), "argument 'q': expected (n_q, 5), got (2, 6)"),
    ("attend", lambda: (np.zeros((H, D)), np.zeros((H, D), np.float32)[:, :3]), "argument 'out': expected (2, 5), "
     "got (2, 3)"),
    ("attend", lambda: (np.zeros((H, D)), np.zeros(H * D, np.float32)), "argument 'out': expected (2, 5), got (10,)"),
    ("attend", lambda: (np.zeros((H, D)), np.zeros((H, D), np.float32)[:, ::-1]), "argument 'out': must be "
     "C-contiguous"),
]

TYPE_ERRORS = [
    ("append", lambda: (np.zeros((H, D), np.complex64), np.zeros((H, D))),
     "argument 'k': cannot read elements of format 'Zf' as numbers"),
    ("append", lambda: ("ab", np.zeros((H, D))), "argument 'k': Can't extract `str` to `Vec`"),
    ("append", lambda: (np.zeros((H, D)), 3.0), "argument 'v': 'float' object cannot be converted to 'Sequence'"),
    ("append", lambda: (np.zeros((H, D)), [[0.0] * D, [0.0] * (D - 1) + ["x"]]),
     "argument 'v': must be real number, not str"),
    ("extend", lambda: (np.zeros((2, H, D)), [np.zeros((H, D)), [[0.0] * D, [None] * D]]),
     "argument 'V': must be real number, not NoneType"),
    ("attend", lambda: (np.zeros((H, D)), np.zeros((H, D))), "argument 'out': must have dtype float32"),
    ("attend", lambda: (np.zeros((H, D)), np.zeros((H, D), ">f4")), "argument 'out': must have dtype float32"),
    ("attend", lambda: (np.zeros((H, D)), [[0.0] * D] * H), "argument 'out': expected a float32 array, got 'list'"),
]


def filled():
    layer = LayerCache(H, D, D, "merge", merge_every=2)
    for t in range(5):
        layer.append(np.full((H, D), t, np.float32), np.ones((H, D)))
    return layer


@pytest.mark.parametrize("kind, method, args, message",
                         [(ValueError, *case) for case in SHAPE_ERRORS] + [(TypeError, *case) for case in TYPE_ERRORS])
def test_a_refused_argument_names_itself_and_changes_nothing(kind, method, args, message):
    layer = filled()
    before = layer.to_bytes()
    with pytest.raises(kind) as raised:
        getattr(layer, method)(*args())
    assert str(raised.value) == message
    assert layer.to_bytes() == before


def test_a_read_only_out_is_refused():
    layer = filled()
    out = np.zeros((H, D), np.float32)
    out.setflags(write=False)
    with pytest.raises(ValueError, match="argument 'out': is read-only"):
        layer.attend(np.zeros((H, D)), out=out)


def test_extend_checks_every_token_before_storing_the_first():
    layer = filled()
    before = layer.to_bytes()
    tokens = [np.ones((H, D))] * 50 + [[[1.0] * D, [1.0] * (D - 1) + [Real(TypeError)]]]
    with pytest.raises(TypeError, match="argument 'K': from __float__"):
        layer.extend(tokens, np.ones((51, H, D)))
    assert layer.to_bytes() == before


def test_every_shape_is_checked_before_any_argument_is_converted():
    # The first argument's element would fail its conversion; the second's
    # shape is refused first.
    layer = filled()
    bad_row = [[1.0] * D, [1.0] * (D - 1) + ["x"]]
    with pytest.raises(ValueError, match=r"argument 'V': expected \(3, 2, 5\), got \(2, 2, 5\)"):
        layer.extend([bad_row] * 3, np.zeros((2, H, D)))
    with pytest.raises(ValueError, match=r"argument 'out': expected \(2, 5\), got \(2, 4\)"):
        layer.attend(bad_row, out=np.zeros((H, D - 1), np.float32))
    with pytest.raises(ValueError, match="with n_q a multiple of n_heads"):
        layer.attend([bad_row[0]] * 3)


# Tokens declared by a stride of 0 cost nothing to declare: a shape refused
# must cost nothing to refuse either. A process of its own under an address
# space limit far below the 2.7 GB that converting the keys would take.
_DECLARED_TOKENS = r"""
import resource
import numpy as np
from marrowvale import LayerCache

layer = LayerCache(2, 5, 5)
keys = np.broadcast_to(np.ones(5), (2**26, 2, 5))
with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), resource.getrlimit(resource.RLIMIT_AS)[1]))
for call in (lambda: layer.extend(keys, np.ones((3, 2, 5))),
             lambda: layer.attend(keys[:, 0], out=np.ones(3, np.float32))):
    try:
        call()
    except BaseException as error:
        print(type(error).__name__, error)
"""


@pytest.mark.skipif(bool(os.environ.get("MARROWVALE_SANITIZED")),
                    reason="a sanitizer's shadow memory defeats an address-space limit")
def test_a_shape_refused_costs_nothing_however_many_tokens_are_declared():
    run = subprocess.run([sys.executable, "-c", _DECLARED_TOKENS], capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr[-3000:]
    assert run.stdout.splitlines() == [
        "ValueError argument 'V': expected (67108864, 2, 5), got (3, 2, 5)",
        "ValueError argument 'out': expected (67108864, 5), got (3,)",
    ]


def test_a_conversion_that_calls_back_meets_the_borrow_rules():
    layer = filled()
    seen = []

    def call(method):
        def action():
            try:
                seen.append(("ok", method()))
            except RuntimeError as error:
                seen.append(("error", str(error)))
        return action

    q = np.ones((H, D)).tolist()
    q[1][2] = Real(0.5, call(layer.lengths))
    layer.attend(q)  # a read inside a read is allowed
    k = np.ones((H, D)).tolist()
    k[0][0] = Real(0.5, call(layer.lengths))
    layer.append(k, np.ones((H, D)))
    q[1][2] = Real(0.5, call(layer.clear))
    layer.attend(q)
    assert seen == [("ok", [3, 3]), ("error", "Already mutably borrowed"), ("error", "Already borrowed")]


class Exporter:
    """An object whose __buffer__ runs `action` first, then exports a
    float32 array (or raises what `action` raised)."""

    def __init__(self, action, shape=(H, D)):
        self.action, self.array = action, np.zeros(shape, np.float32)

    def __buffer__(self, flags):
        self.action()
        return memoryview(self.array)


def raising(error):
    def action():
        raise error
    return action


# Where a buffer is asked for: array input, out=, a state's bytes.
BUFFER_SITES = {
    "k": lambda layer, given: layer.append(given, np.zeros((H, D))),
    "out": lambda layer, given: layer.attend(np.zeros((H, D)), out=given),
    "data": lambda layer, given: LayerCache.from_bytes(given),
}


@pytest.mark.parametrize("site", BUFFER_SITES)
@pytest.mark.parametrize("error", [MemoryError("no room for the view"), RuntimeError("the exporter is busy")])
def test_an_error_raised_while_exporting_a_buffer_passes_unchanged(site, error):
    layer = filled()
    before = layer.to_bytes()
    with pytest.raises(type(error)) as raised:
        BUFFER_SITES[site](layer, Exporter(raising(error)))
    assert raised.value is error
    assert layer.to_bytes() == before


@pytest.mark.parametrize("site", ["k", "out"])
def test_a_borrow_conflict_met_while_exporting_a_buffer_passes_unchanged(site):
    # The exporter calls back into the cache whose call asked for the buffer.
    layer = filled()
    before = layer.to_bytes()
    exporter = Exporter(lambda: layer.append(np.zeros((H, D)), np.zeros((H, D))))
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        BUFFER_SITES[site](layer, exporter)
    assert layer.to_bytes() == before


@pytest.mark.parametrize("site, given, message", [
    ("k", 7, "argument 'k': 'int' object cannot be converted to 'Sequence'"),
    ("out", 7, "argument 'out': expected a float32 array, got 'int'"),
    ("data", 7, "argument 'data': expected a bytes-like object, got 'int'"),
    # NumPy exports no buffer of a date type: no numbers in it either.
    ("k", np.zeros((H, D), "M8[D]"), "argument 'k': float() argument must be a string or a real number, not "
     "'datetime.date'"),
    ("out", np.zeros((H, D), "M8[D]"), "argument 'out': expected a float32 array"),
    ("out", Exporter(raising(BufferError("no such view"))), "argument 'out': expected a float32 array"),
])
def test_what_exports_no_buffer_of_the_kind_asked_stays_a_type_error(site, given, message):
    with pytest.raises(TypeError) as raised:
        BUFFER_SITES[site](filled(), given)
    assert str(raised.value) == message


# ---- constructor and head indexes ---------------------------------------------

@pytest.mark.parametrize("kwargs, kind, message", [
    ({"n_heads": 0}, ValueError, "argument 'n_heads': must be at least 1, got 0"),
    ({"d_k": -1}, ValueError, "argument 'd_k': must be an integer from 1 to 2**64 - 1, got -1"),
    ({"d_v": 1.5}, TypeError, "argument 'd_v': 'float' object cannot be interpreted as an integer"),
    ({"d_k": 2**47, "n_heads": 4}, ValueError, "n_heads * d_k must be below 2**48"),
    ({"strategy": 3}, TypeError, "argument 'strategy': 'int' object cannot be converted to 'PyString'"),
    ({"strategy": "Full"}, ValueError,
     "argument 'strategy': unknown strategy 'Full'. choose: full, sliding, static, merge, hybrid, h2o, tova, knorm"),
    # The whole name, past a NUL.
    ({"strategy": "full\0x"}, ValueError,
     "argument 'strategy': unknown strategy 'full\0x'. choose: full, sliding, static, merge, hybrid, h2o, tova, knorm"),
    ({"window_size": -1}, ValueError, "argument 'window_size': must be an integer from 0 to 2**64 - 1, got -1"),
    ({"merge_every": 2**64}, ValueError,
     "argument 'merge_every': must be an integer from 0 to 2**64 - 1, got 18446744073709551616"),
    ({"threshold": "0.9"}, TypeError, "argument 'threshold': must be real number, not str"),
    ({"threads": 0}, ValueError, "argument 'threads': must be at least 1, got 0"),
    ({"threads": 2.0}, TypeError, "argument 'threads': 'float' object cannot be interpreted as an integer"),
])
def test_constructor_errors_name_the_parameter(kwargs, kind, message):
    arguments = {"n_heads": 2, "d_k": 4, "d_v": 4, **kwargs}
    with pytest.raises(kind) as raised:
        LayerCache(**arguments)
    assert str(raised.value) == message


def test_constructor_accepts_what_pykvcache_accepts_and_keyword_only_stays_keyword_only():
    layer = LayerCache(True, 3, 2, "static", window_size=0, static_k=0, recent_k=0, merge_every=0,
                       threshold=float("nan"), threads=100)
    assert (layer.n_heads, layer.d_k, layer.d_v, layer.strategy, layer.threads) == (1, 3, 2, "static", 1)
    layer.append([[1.0, 2.0, 3.0]], [[1.0, 2.0]])
    assert layer.lengths() == [0]
    with pytest.raises(TypeError):
        LayerCache(2, 4, 4, "full", 512)
    assert 1 <= LayerCache(64, 1, 1).threads <= 64


def constructor_signature(n_heads, d_k, d_v, strategy="full", *, window_size=512, static_k=32, recent_k=128,
                          threshold=0.9, merge_every=4, threads=None):
    """The signature the stubs give LayerCache, as a def: Python's own
    messages for it are the oracle of the binder's."""


# Each call has one binding mistake, so that the order in which they are
# found does not matter.
BINDING_MISTAKES = [
    ((), {}),
    ((2, 4), {}),
    ((2,), {"d_v": 4}),
    ((2, 4, 4, "full", 512), {}),
    ((2, 4, 4, "full", 512, 32), {}),
    ((2, 4, 4, "full", 512), {"threads": 1}),
    ((2, 4, 4, "full", 512, 32), {"threads": 1, "merge_every": 2}),
    ((2, 4, 4), {"size": 1}),
    ((2, 4, 4), {"n_heads": 2}),
    ((2, 4, 4, "merge"), {"strategy": "merge"}),
]


@pytest.mark.parametrize("args, kwargs", BINDING_MISTAKES)
def test_constructor_binds_as_python_binds_its_signature(args, kwargs):
    with pytest.raises(TypeError) as expected:
        constructor_signature(*args, **kwargs)
    with pytest.raises(TypeError) as raised:
        LayerCache(*args, **kwargs)
    assert str(raised.value) == str(expected.value).replace("constructor_signature()", "LayerCache.__new__()")


@pytest.mark.parametrize("args, kwargs, message", [
    ((), {}, "LayerCache.__new__() missing 3 required positional arguments: 'n_heads', 'd_k', and 'd_v'"),
    ((2, 4, 4, "full", 512), {}, "LayerCache.__new__() takes from 3 to 4 positional arguments but 5 were given"),
    ((2, 4, 4, "full", 512), {"threads": 1},
     "LayerCache.__new__() takes from 3 to 4 positional arguments but 5 positional arguments "
     "(and 1 keyword-only argument) were given"),
    ((2, 4, 4), {"window": 1}, "LayerCache.__new__() got an unexpected keyword argument 'window'"),
    ((2, 4, 4), {"d_k": 4}, "LayerCache.__new__() got multiple values for argument 'd_k'"),
])
def test_constructor_binding_messages(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        LayerCache(*args, **kwargs)
    assert str(raised.value) == message


def test_constructor_binds_keywords_by_text_and_in_any_order():
    layer = LayerCache(threads=1, d_v=3, **{"".join(["d", "_k"]): 2}, n_heads=1, strategy="sliding", window_size=1)
    assert (layer.n_heads, layer.d_k, layer.d_v, layer.strategy, layer.threads) == (1, 2, 3, "sliding", 1)
    for t in range(3):
        layer.append([[float(t), 0.0]], [[1.0, 2.0, 3.0]])
    assert layer.lengths() == [1]


def test_head_indexes_follow_sequence_conventions():
    layer = filled()
    assert np.array_equal(layer.keys(-1), layer.keys(H - 1))
    assert layer.spans(np.int64(0)).dtype == np.int64
    for bad in (H, -H - 1, 2**70):
        with pytest.raises(IndexError, match="out of range for 2 heads"):
            layer.values(bad)
    with pytest.raises(TypeError, match="head index must be an integer, not 'float'"):
        layer.spans(0.0)


def test_keys_and_values_are_copies():
    layer = filled()
    keys = layer.keys(0)
    keys[:] = 99
    assert not np.array_equal(layer.keys(0), keys)
    caches = head_caches(H, D, D, "merge", {"merge_every": 2})
    for t in range(5):
        append_to_heads(caches, np.full((H, D), t, np.float32), np.ones((H, D)))
    q = np.ones((H, D), np.float32)
    assert np.array_equal(bits(layer.attend(q)), bits(expected_attention(caches, q)))


def test_a_cache_the_constructor_never_made_cannot_exist():
    with pytest.raises(TypeError):
        LayerCache.__new__ = lambda cls, *args, **kwargs: object.__new__(cls)
    with pytest.raises(TypeError):
        object.__new__(LayerCache)


DEEP_REENTRY = r"""
from marrowvale import LayerCache

class Deeper:
    def __float__(self):
        LayerCache(1, 1, 1).append([[Deeper()]], [[0.0]])  # a new cache at every level
        return 0.0

layer = LayerCache(1, 1, 1)
try:
    layer.append([[Deeper()]], [[0.0]])
except RecursionError:
    layer.append([[1.0]], [[2.0]])
    print(layer.lengths())
"""


def test_deep_reentry_through_conversions_ends_in_recursion_error(tmp_path):
    # In a process of its own: a missing bound would crash it.
    script = tmp_path / "deep.py"
    script.write_text(DEEP_REENTRY)
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=300)
    assert (done.returncode, done.stdout) == (0, "[1]\n"), done.stderr
