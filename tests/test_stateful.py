"""Random sequences of calls, checked step by step against the float32 model.

Two drivers share one harness. A Hypothesis state machine (which shrinks a
failure to a short sequence) and a seeded random walk (which covers many
more cache configurations per second) build caches of every strategy with
parameters taken from the corners (0, 1, the 64-bit maximum, NaN and
infinite thresholds, empty vectors), then append, attend, clear, ask for the
statistics and make calls that must fail: wrong lengths, bad arguments,
conversions that raise or call back into the cache, bad constructor
arguments. After every step the cache must agree with `RefCache` on its
length and on every statistic; every attend must agree to the bit; after
every failed call the attention outputs that pin the held entries down must
be what they were before it.

Both drivers are deterministic, so CI sees the same sequences every time;
MARROWVALE_STATEFUL_EXAMPLES and MARROWVALE_STATEFUL_WALKS explore more.
"""

import math
import os

import numpy as np
import pytest
from hypothesis import HealthCheck, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, rule

from _marrowvale import PyKVCache
from helpers import NESTED, Index, PanicException, Real, borrow_conflict, nested_call
from process_memory import quiet_stderr
from reference import QUERY_MISMATCH, U64_MAX, DimMismatch, RefCache, comparable, probe_queries


EXAMPLES = int(os.environ.get("MARROWVALE_STATEFUL_EXAMPLES", "80"))
WALKS = int(os.environ.get("MARROWVALE_STATEFUL_WALKS", "240"))
WALK_STEPS = 80

STRATEGIES = ["full", "sliding", "static", "merge", "hybrid"]
DIMS = [0, 1, 2, 3, 7, 8, 9, 16, 17]
COUNT_CORNERS = [U64_MAX, U64_MAX - 1, 2**63]
PERIOD_CORNERS = [U64_MAX, 2**63, 0]
MERGING_THRESHOLDS = [0.9, 0.5, 0.0, -1.0, 0.999]
ODD_THRESHOLDS = [-0.0, 1.0, 1.5, math.nan, math.inf, -math.inf, 1e39, -1e39]
SPECIALS = [0.0, -0.0, 1.0, -1.0, 0.5, 2.0, math.nan, math.inf, -math.inf, 1e-45, -3.4028234663852886e38, 1e39,
            2**70, -(2**70), True]
SCALES = [1.0, 2.0, 0.25, 3.0, -1.0, 1.0000001]


BAD_CONSTRUCTOR_ARGUMENTS = [
    ("d_k", -1, OverflowError),
    ("d_v", 2**64, OverflowError),
    ("window_size", 1.5, TypeError),
    ("threshold", "0.9", TypeError),
    ("strategy", "Full", ValueError),
    ("strategy", b"full", TypeError),
    ("merge_every", None, TypeError),
    ("static_k", Index(ZeroDivisionError), ZeroDivisionError),
    ("recent_k", Index(TypeError), TypeError),
]
SPOILERS = ["x", None, [1.0], Real(TypeError), Real(ValueError)]
BAD_CALLS = ["str_key", "set_value", "iterator_query", "spoiled_key", "spoiled_value", "spoiled_query",
             "missing_value", "unknown_keyword", "stats_argument"]


def as_argument(items, kind):
    """The same items as a list, a tuple, or a float32 or float64 array."""
    if kind == 1:
        return tuple(items)
    if kind in (2, 3):
        with np.errstate(all="ignore"):
            return np.array([float(x) for x in items], dtype=np.float32 if kind == 2 else np.float64)
    return list(items)


def scaled(key, scale):
    with np.errstate(all="ignore"):
        return [float(np.float32(x) * np.float32(scale)) for x in key]


class Harness:
    """One cache and its model, driven alike and compared after each call."""

    def __init__(self, params):
        self.params = params
        self.cache = PyKVCache(**params)
        self.ref = RefCache(**params)
        self.d_k, self.d_v = self.ref.d_k, self.ref.d_v
        self.operations = 1

    # -- calls that succeed --------------------------------------------------------

    def append(self, k, v, k_kind=0, v_kind=0):
        self.cache.append(as_argument(k, k_kind), as_argument(v, v_kind))
        self.ref.append(k, v)
        self.operations += 1

    def attend(self, q, kind=0):
        assert comparable(self.cache.attend(as_argument(q, kind))) == self.ref.attend_bits(q)
        self.operations += 1

    def attend_any_length_on_empty(self, length):
        if self.ref.keys:
            return
        assert comparable(self.cache.attend([1.0] * length)) == comparable([0.0] * self.d_v)
        self.operations += 1

    def clear(self):
        self.cache.clear()
        self.ref.clear()
        self.operations += 1

    def stats(self):
        assert list(self.cache.stats().items()) == list(self.ref.stats().items())
        self.operations += 1

    def current_len(self):
        assert self.cache.current_len() == self.ref.current_len()
        self.operations += 1

    def check(self):
        assert self.cache.current_len() == self.ref.current_len()
        assert list(self.cache.stats().items()) == list(self.ref.stats().items())

    def check_entries(self):
        for q in probe_queries(self.ref.keys, self.d_k):
            assert comparable(self.cache.attend(q)) == self.ref.attend_bits(q)

    # -- calls that must fail and change nothing -------------------------------------

    def _pin(self):
        """What the cache shows of itself: length, statistics and the outputs
        of queries that depend on every held key and value."""
        shown = [self.cache.current_len(), list(self.cache.stats().items())]
        shown += [comparable(self.cache.attend(q)) for q in probe_queries(self.ref.keys, self.d_k, count=2)]
        return shown

    def fails(self, call, error, message=None):
        pinned = self._pin()
        with quiet_stderr():
            try:
                call()
            except error as caught:
                if message is not None:
                    assert str(caught) == message
            else:
                raise AssertionError(f"no {error.__name__}")
        assert self._pin() == pinned
        self.operations += 1

    def construct_badly(self, index):
        name, value, error = BAD_CONSTRUCTOR_ARGUMENTS[index]
        params = dict(self.params, **{name: value})
        self.fails(lambda: PyKVCache(**params), error)

    def append_wrong_length(self, k_len, v_len):
        if (k_len, v_len) == (self.d_k, self.d_v):
            v_len += 1
        k, v = [1.0] * k_len, [2.0] * v_len
        try:
            self.ref.append(k, v)
        except DimMismatch as mismatch:
            message = mismatch.message
        else:
            raise AssertionError("the model accepted a wrong length")
        self.fails(lambda: self.cache.append(k, v), PanicException, message)

    def attend_wrong_length(self, extra, shorter):
        if not self.ref.keys:
            return  # an empty cache checks no length
        n = self.d_k - extra if shorter and self.d_k >= extra else self.d_k + extra
        self.fails(lambda: self.cache.attend([0.5] * n), PanicException, QUERY_MISMATCH)

    def bad_call(self, which, spoiler):
        d_k, d_v = self.d_k, self.d_v
        spoiled = [1.0] * max(d_k, d_v, 1)
        spoiled[-1] = spoiler
        error = spoiler.result if isinstance(spoiler, Real) else TypeError
        cache = self.cache
        call = {
            "str_key": (lambda: cache.append("ab", [0.0] * d_v), TypeError),
            "set_value": (lambda: cache.append([0.0] * d_k, {1.0}), TypeError),
            "iterator_query": (lambda: cache.attend(iter([0.0] * d_k)), TypeError),
            "spoiled_key": (lambda: cache.append(spoiled, [0.0] * d_v), error),
            "spoiled_value": (lambda: cache.append([0.0] * d_k, spoiled), error),
            "spoiled_query": (lambda: cache.attend(spoiled), error),
            "missing_value": (lambda: cache.append([0.0] * d_k), TypeError),
            "unknown_keyword": (lambda: cache.attend(q=[0.0] * d_k, k=1), TypeError),
            "stats_argument": (lambda: cache.stats(1), TypeError),
        }[which]
        self.fails(*call)

    def nested_call_during_append(self, name, in_key):
        k, v = [0.0] * max(self.d_k, 1), [0.0] * max(self.d_v, 1)
        (k if in_key else v)[0] = Real(0.0, action=lambda: nested_call(self.cache, name, self.d_k, self.d_v))
        self.fails(lambda: self.cache.append(k, v), RuntimeError, borrow_conflict("append", name))

    def nested_write_during_attend(self, name):
        q = [0.0] * max(self.d_k, 1)
        q[0] = Real(0.0, action=lambda: nested_call(self.cache, name, self.d_k, self.d_v))
        self.fails(lambda: self.cache.attend(q), RuntimeError, borrow_conflict("attend", name))


# ---- the Hypothesis state machine --------------------------------------------

# Small values most of the time, so that windows fill and passes run; the
# 64-bit corners a quarter of the time.
counts = st.one_of(*[st.integers(0, 6)] * 3, st.sampled_from(COUNT_CORNERS))
periods = st.one_of(*[st.integers(1, 4)] * 3, st.sampled_from(PERIOD_CORNERS))
thresholds = st.one_of(st.sampled_from(MERGING_THRESHOLDS), st.sampled_from(ODD_THRESHOLDS),
                       st.floats(-1.5, 1.5, width=32))
elements = st.one_of(
    st.sampled_from(SPECIALS),
    st.integers(-4, 4).map(float),
    st.floats(-8.0, 8.0, width=32),
    st.floats(),
)
kinds = st.integers(0, 5)


@st.composite
def vectors(draw, length, like=()):
    """Mostly small integers (so low-dimensional keys are often parallel),
    now and then a scaled copy of a held key, sometimes anything at all."""
    choice = draw(st.integers(0, 3))
    if length and like and choice == 0:
        out = scaled(draw(st.sampled_from(like)), draw(st.sampled_from(SCALES)))
        if draw(st.booleans()):
            out[draw(st.integers(0, length - 1))] = draw(elements)
        return out
    if choice == 1:
        return draw(st.lists(elements, min_size=length, max_size=length))
    return draw(st.lists(st.integers(-3, 3).map(float), min_size=length, max_size=length))


class CacheMachine(RuleBasedStateMachine):
    # One cache a run: a second construction would throw away the history
    # that makes windows and merging passes interesting.
    @initialize(d_k=st.sampled_from(DIMS), d_v=st.sampled_from(DIMS), strategy=st.sampled_from(STRATEGIES),
                window_size=counts, static_k=counts, recent_k=counts, threshold=thresholds, merge_every=periods)
    def construct(self, **params):
        self.h = Harness(params)

    @rule(index=st.integers(0, len(BAD_CONSTRUCTOR_ARGUMENTS) - 1))
    def construct_badly(self, index):
        self.h.construct_badly(index)

    @rule(data=st.data(), k_kind=kinds, v_kind=kinds)
    def append(self, data, k_kind, v_kind):
        k = data.draw(vectors(self.h.d_k, like=self.h.ref.keys), label="k")
        v = data.draw(vectors(self.h.d_v), label="v")
        self.h.append(k, v, k_kind, v_kind)

    @rule(data=st.data(), scale=st.sampled_from(SCALES))
    def append_parallel(self, data, scale):
        # A scaled copy of the newest key: a neighbour pair that merges
        # unless the threshold is 1 or more (or the key is not finite).
        if self.h.ref.keys:
            self.h.append(scaled(self.h.ref.keys[-1], scale), data.draw(vectors(self.h.d_v), label="v"))

    @rule(data=st.data(), times=st.integers(2, 12))
    def append_many(self, data, times):
        base = data.draw(vectors(self.h.d_k), label="base")
        for i in range(times):
            self.h.append(scaled(base, SCALES[i % len(SCALES)]), [float(i)] * self.h.d_v)

    @rule(data=st.data(), kind=kinds)
    def attend(self, data, kind):
        self.h.attend(data.draw(vectors(self.h.d_k, like=self.h.ref.keys), label="q"), kind)

    @rule(length=st.integers(0, 20))
    def attend_any_length_on_empty(self, length):
        self.h.attend_any_length_on_empty(length)

    @rule()
    def clear(self):
        self.h.clear()

    @rule()
    def stats(self):
        self.h.stats()

    @rule()
    def current_len(self):
        self.h.current_len()

    @rule(k_delta=st.sampled_from([0, 1, -1, 9]), v_delta=st.sampled_from([0, 1, -1, 300]))
    def append_wrong_length(self, k_delta, v_delta):
        self.h.append_wrong_length(max(self.h.d_k + k_delta, 0), max(self.h.d_v + v_delta, 0))

    @rule(extra=st.sampled_from([1, 2, 8, 300]), shorter=st.booleans())
    def attend_wrong_length(self, extra, shorter):
        self.h.attend_wrong_length(extra, shorter)

    @rule(which=st.sampled_from(BAD_CALLS), spoiler=st.sampled_from(SPOILERS))
    def bad_call(self, which, spoiler):
        self.h.bad_call(which, spoiler)

    @rule(name=st.sampled_from(NESTED), in_key=st.booleans())
    def nested_call_during_append(self, name, in_key):
        self.h.nested_call_during_append(name, in_key)

    @rule(name=st.sampled_from(["append", "clear"]))
    def nested_write_during_attend(self, name):
        self.h.nested_write_during_attend(name)

    @invariant()
    def agrees_with_the_model(self):
        if hasattr(self, "h"):
            self.h.check()

    def teardown(self):
        if hasattr(self, "h"):
            self.h.check_entries()


class MergingCacheMachine(CacheMachine):
    """The same calls on merging caches with parameters under which passes
    run and merge: Hypothesis, left to itself, favours the corners."""

    @initialize(d_k=st.sampled_from([1, 2, 3, 8, 9]), d_v=st.sampled_from(DIMS),
                strategy=st.sampled_from(["merge", "hybrid"]), static_k=st.integers(0, 4),
                threshold=st.sampled_from(MERGING_THRESHOLDS), merge_every=st.integers(1, 4))
    def construct(self, **params):
        self.h = Harness(params)


_settings = settings(
    max_examples=EXAMPLES,
    stateful_step_count=60,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
TestCacheMachine = CacheMachine.TestCase
TestCacheMachine.settings = _settings
TestMergingCacheMachine = MergingCacheMachine.TestCase
TestMergingCacheMachine.settings = _settings


# ---- the seeded random walk ----------------------------------------------------


def random_params(rng):
    def count():
        return int(rng.integers(0, 7)) if rng.random() < 0.8 else COUNT_CORNERS[rng.integers(len(COUNT_CORNERS))]

    r = rng.random()
    if r < 0.6:
        threshold = MERGING_THRESHOLDS[rng.integers(len(MERGING_THRESHOLDS))]
    elif r < 0.8:
        threshold = ODD_THRESHOLDS[rng.integers(len(ODD_THRESHOLDS))]
    else:
        threshold = float(np.float32(rng.uniform(-1.5, 1.5)))
    merge_every = int(rng.integers(1, 5)) if rng.random() < 0.85 else PERIOD_CORNERS[rng.integers(3)]
    return dict(d_k=DIMS[rng.integers(len(DIMS))], d_v=DIMS[rng.integers(len(DIMS))],
                strategy=STRATEGIES[rng.integers(len(STRATEGIES))], window_size=count(), static_k=count(),
                recent_k=count(), threshold=threshold, merge_every=merge_every)


def random_vector(rng, length, like=()):
    choice = rng.integers(0, 5)
    if length and like and choice < 2:
        out = scaled(like[rng.integers(len(like))], SCALES[rng.integers(len(SCALES))])
        if rng.random() < 0.3:
            out[rng.integers(length)] = SPECIALS[rng.integers(len(SPECIALS))]
        return out
    if choice == 2:
        return [SPECIALS[i] if rng.random() < 0.2 else float(x)
                for i, x in zip(rng.integers(0, len(SPECIALS), length), rng.standard_normal(length))]
    return [float(x) for x in rng.integers(-3, 4, length)]


def walk(h, rng, steps):
    ops = ["append"] * 6 + ["append_parallel"] * 3 + ["attend"] * 3 + [
        "clear", "stats", "current_len", "append_wrong_length", "attend_wrong_length", "bad_call",
        "nested_append", "nested_attend", "construct_badly", "attend_empty"]
    for _ in range(steps):
        op = ops[rng.integers(len(ops))]
        if op == "append":
            h.append(random_vector(rng, h.d_k, h.ref.keys), random_vector(rng, h.d_v), int(rng.integers(6)),
                     int(rng.integers(6)))
        elif op == "append_parallel":
            if h.ref.keys:
                h.append(scaled(h.ref.keys[-1], SCALES[rng.integers(len(SCALES))]), random_vector(rng, h.d_v))
        elif op == "attend":
            h.attend(random_vector(rng, h.d_k, h.ref.keys), int(rng.integers(6)))
        elif op == "clear":
            if rng.random() < 0.3:
                h.clear()
        elif op == "stats":
            h.stats()
        elif op == "current_len":
            h.current_len()
        elif op == "append_wrong_length":
            h.append_wrong_length(max(h.d_k + int(rng.choice([0, 1, -1, 9])), 0),
                                  max(h.d_v + int(rng.choice([0, 1, -1, 300])), 0))
        elif op == "attend_wrong_length":
            h.attend_wrong_length(int(rng.choice([1, 2, 8, 300])), bool(rng.integers(2)))
        elif op == "bad_call":
            h.bad_call(BAD_CALLS[rng.integers(len(BAD_CALLS))], SPOILERS[rng.integers(len(SPOILERS))])
        elif op == "nested_append":
            h.nested_call_during_append(NESTED[rng.integers(len(NESTED))], bool(rng.integers(2)))
        elif op == "nested_attend":
            h.nested_write_during_attend(["append", "clear"][rng.integers(2)])
        elif op == "construct_badly":
            h.construct_badly(int(rng.integers(len(BAD_CONSTRUCTOR_ARGUMENTS))))
        else:
            h.attend_any_length_on_empty(int(rng.integers(0, 20)))
        h.check()
    h.check_entries()


@pytest.mark.parametrize("chunk", range(4))
def test_seeded_random_walks(chunk):
    for seed in range(chunk, WALKS, 4):
        rng = np.random.default_rng([seed, 0x6D76])
        h = Harness(random_params(rng))
        try:
            walk(h, rng, WALK_STEPS)
        except AssertionError as failure:
            raise AssertionError(f"walk {seed} with {h.params} after {h.operations} operations") from failure
