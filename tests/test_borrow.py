"""Calls back into the same instance while its arguments are being converted.

append and clear borrow the cache exclusively, attend, stats and current_len
share it; the borrow is held while the arguments are converted, so Python code
run by a conversion meets it. Every failure gives the borrow back, and the
cache then holds exactly what the float32 model driven with the same
successful calls holds.
"""

import json
import os
import resource
import subprocess
import sys

import pytest

from helpers import (
    D,
    NESTED,
    HookedList,
    Index,
    PanicException,
    Real,
    Reentry,
    assert_usable,
    borrow_conflict,
    floats,
    nested_call,
    pair,
    raises,
)
from process_memory import quiet_stderr
from reference import comparable

SITES = ["__float__", "__index__", "__len__", "__iter__"]
AT = 5


def carrying(site, items, action):
    """The items as an argument whose conversion runs `action` at `site`:
    in the element at AT (read through __float__ or __index__), or in the
    __len__ or __iter__ of a list subclass."""
    items = list(items)
    if site == "__float__":
        items[AT] = Real(items[AT], action=action)
    elif site == "__index__":
        items[AT] = Index(int(items[AT]), action=action)
    elif site == "__len__":
        return HookedList(items, on_len=action)
    else:
        return HookedList(items, on_iter=action)
    return items


def call(cache, where, argument):
    """append with `argument` as the key or the value, or attend with it."""
    if where == "q":
        return cache.attend(argument)
    if where == "k":
        return cache.append(argument, floats(D, -1.0))
    return cache.append(floats(D, -1.0), argument)


@pytest.mark.parametrize("inner", NESTED)
@pytest.mark.parametrize("where", ["k", "v", "q"])
@pytest.mark.parametrize("site", SITES)
@pytest.mark.parametrize("swallow", [True, False], ids=["caught", "propagated"])
def test_nested_calls_meet_the_borrow_rules(swallow, site, where, inner):
    cache, ref = pair(strategy="merge", merge_every=1, threshold=0.0)
    items = floats(D)
    items[AT] = -2.0
    reentry = Reentry(lambda: nested_call(cache, inner, D, D), swallow=swallow)
    outer = "attend" if where == "q" else "append"
    message = borrow_conflict(outer, inner)
    # What a shared borrow inside attend sees: the cache as it is.
    seen = {"attend": ref.attend_bits([0.25] * D), "stats": ref.stats(), "current_len": ref.current_len()}
    # A borrow error raised by __len__ costs only the length hint.
    if message is not None and not swallow and site != "__len__":
        with pytest.raises(RuntimeError) as info:
            call(cache, where, carrying(site, items, reentry))
        assert info.value is reentry.outcome[1]
    else:
        result = call(cache, where, carrying(site, items, reentry))
        if where == "q":
            assert comparable(result) == ref.attend_bits(items)
        else:
            assert result is None
            ref.append(*((items, floats(D, -1.0)) if where == "k" else (floats(D, -1.0), items)))
    assert reentry.runs == 1
    kind, outcome = reentry.outcome
    if message is None:
        assert kind == "ok"
        assert (comparable(outcome) if inner == "attend" else outcome) == seen[inner]
    else:
        assert kind == "error"
        assert type(outcome) is RuntimeError
        assert str(outcome) == message
    assert_usable(cache, ref)


def test_every_nested_method_in_one_conversion_during_attend():
    cache, ref = pair(strategy="hybrid", static_k=1, merge_every=2, threshold=0.5)
    reentries = [Reentry(lambda name=name: nested_call(cache, name, D, D)) for name in NESTED]
    out = cache.attend([Real(1.0, action=reentry) for reentry in reentries] + floats(D - len(NESTED)))
    assert comparable(out) == ref.attend_bits([1.0] * len(NESTED) + floats(D - len(NESTED)))
    for name, reentry in zip(NESTED, reentries):
        if name in ("append", "clear"):
            assert reentry.outcome[0] == "error" and str(reentry.outcome[1]) == "Already borrowed"
        else:
            assert reentry.outcome[0] == "ok"
    assert_usable(cache, ref)


def test_deeply_nested_attends_stack_and_unwind_their_borrows():
    cache, ref = pair()
    depth = 200
    seen = []

    def deeper(level):
        if level == depth:
            # At the bottom every shared borrow is held: writing fails.
            for write in ("append", "clear"):
                with pytest.raises(RuntimeError, match="^Already borrowed$"):
                    nested_call(cache, write, D, D)
            seen.append(cache.current_len())
        else:
            site = "__float__" if level % 2 else "__iter__"
            seen.append(comparable(cache.attend(carrying(site, [0.25] * D, lambda: deeper(level + 1)))))

    out = cache.attend(carrying("__float__", [0.25] * D, lambda: deeper(1)))
    expected = ref.attend_bits([0.25] * D)
    assert comparable(out) == expected
    assert seen[0] == ref.current_len()
    assert seen[1:] == [expected] * (depth - 1)
    assert_usable(cache, ref)


# Chains of calls, each made from a conversion of the one before, as deep as
# they go: on the same cache through attend (shared borrows nest), through
# append on a fresh cache each level, and through the constructor. The
# recursion limit is raised far beyond what the stack holds, so that only a
# check of the stack can stop them; a thread with a small stack and a main
# thread without a stack limit are tried as well. A process of its own, as
# a fault here is a crash.
_DEEP_REENTRY_SCRIPT = r"""
import json, resource, sys, threading

from _marrowvale import PyKVCache

sys.setrecursionlimit(100_000)
shared = PyKVCache(2, 2)
shared.append([1.0, 0.0], [3.0, 4.0])


# A number whose conversion, as a float or as an index, runs `call` first.
class Calling:
    def __init__(self, call):
        self.call = call

    def __float__(self):
        self.call()
        return 0.5

    def __index__(self):
        self.call()
        return 2


def chain(step):
    depth = [0]

    def level():
        depth[0] += 1
        step(level)

    try:
        level()
    except RecursionError as error:
        return ["RecursionError", depth[0], str(error)]
    return ["returned", depth[0], ""]


CHAINS = {
    "attend": lambda level: shared.attend([Calling(level), 0.5]),
    "append": lambda level: PyKVCache(2, 2).append([Calling(level), 0.5], [1.0, 1.0]),
    "constructor": lambda level: PyKVCache(Calling(level)),
}


def run_all(report, where):
    for name, step in CHAINS.items():
        report[where + " " + name] = chain(step)
    # Every borrow was given back on the way out.
    report[where + " after"] = [shared.attend([1.0, 0.0]), shared.current_len()]
    shared.clear()
    shared.append([1.0, 0.0], [3.0, 4.0])


report = {}
run_all(report, "main")
threading.stack_size(1 << 20)
thread = threading.Thread(target=run_all, args=(report, "thread"))
thread.start()
thread.join()
print(json.dumps(report))
"""


def _unlimited_stack():
    hard = resource.getrlimit(resource.RLIMIT_STACK)[1]
    resource.setrlimit(resource.RLIMIT_STACK, (hard, hard))


@pytest.mark.parametrize("stack", ["limited", "unlimited"])
def test_deep_reentry_ends_in_recursion_error_not_a_crash(stack):
    if stack == "unlimited" and resource.getrlimit(resource.RLIMIT_STACK)[1] != resource.RLIM_INFINITY:
        pytest.skip("the hard limit of the stack size is not unlimited here")
    run = subprocess.run([sys.executable, "-c", _DEEP_REENTRY_SCRIPT], capture_output=True, text=True,
                         timeout=600, env=dict(os.environ),
                         preexec_fn=_unlimited_stack if stack == "unlimited" else None)
    assert run.returncode == 0, run.stderr[-3000:]
    report = json.loads(run.stdout.strip().splitlines()[-1])
    for where in ("main", "thread"):
        for name in ("attend", "append", "constructor"):
            outcome, depth, message = report[f"{where} {name}"]
            assert outcome == "RecursionError", (where, name)
            assert message.startswith("maximum recursion depth exceeded"), (where, name, message)
            # Refused deep down, not at the first nested call.
            assert depth > 100, (where, name, depth)
        assert report[f"{where} after"] == [[3.0, 4.0], 1], where


@pytest.mark.parametrize(
    "nested, error_type, message",
    [
        # arguments are bound before the borrow is taken ...
        (lambda cache: cache.append(floats(D)), TypeError,
         "PyKVCache.append() missing 1 required positional argument: 'v'"),
        (lambda cache: cache.attend(floats(D), floats(D)), TypeError,
         "PyKVCache.attend() takes 1 positional arguments but 2 were given"),
        # ... and converted after it
        (lambda cache: cache.append("abc", floats(D)), RuntimeError, "Already borrowed"),
        (lambda cache: cache.attend({1.0}), RuntimeError, "Already mutably borrowed"),
        (lambda cache: cache.append([0.0] * 99, floats(D)), RuntimeError, "Already borrowed"),
    ],
)
def test_binding_comes_before_the_borrow_and_conversion_after_it(nested, error_type, message):
    cache, ref = pair()
    seen = []

    def action():
        try:
            nested(cache)
        except BaseException as error:  # noqa: B036
            seen.append(error)

    cache.append(carrying("__float__", floats(D), action), floats(D))
    ref.append(floats(D), floats(D))
    assert len(seen) == 1
    assert type(seen[0]) is error_type
    assert str(seen[0]) == message
    assert_usable(cache, ref)


@pytest.mark.parametrize("outer_fails", [False, True])
def test_other_instances_are_not_borrowed(outer_fails):
    cache, ref = pair()
    other, other_ref = pair(strategy="sliding", window_size=3)
    calls = []

    def feed():
        calls.append(None)
        for c in (other, other_ref):
            if len(calls) % 7 == 0:
                c.clear()
            c.append([1.0] * D, floats(D, float(len(calls))))
        assert other.current_len() == other_ref.current_len()

    k = [Real(0.0, action=feed) for _ in range(D)]
    v = [Real(0.0, action=feed) for _ in range(D + outer_fails)]
    if outer_fails:
        # The outer append fails on its length: only the other cache moved.
        with quiet_stderr(), pytest.raises(PanicException, match="value dim mismatch"):
            cache.append(k, v)
    else:
        cache.append(k, v)
        ref.append([0.0] * D, [0.0] * D)
    assert len(calls) == 2 * D + outer_fails
    assert_usable(cache, ref)
    assert_usable(other, other_ref)


FAILURES = {
    "binding": lambda cache: cache.append(floats(D)),
    "noargs binding": lambda cache: cache.stats(1),
    "key conversion": lambda cache: cache.append("abc", floats(D)),
    "value conversion": lambda cache: cache.append(floats(D), [0.0, None] + floats(D - 2)),
    "query conversion": lambda cache: cache.attend({0.0, 1.0}),
    "element error": lambda cache: cache.attend([0.0, Real(ZeroDivisionError)] + floats(D - 2)),
    "iteration error": lambda cache: cache.append(floats(D), HookedList(floats(D), on_iter=raises(KeyError))),
    "key length": lambda cache: cache.append([0.0], floats(D)),
    "value length": lambda cache: cache.append(floats(D), [0.0]),
    "query length": lambda cache: cache.attend([0.0] * (D + 3)),
    "nested in attend": lambda cache: cache.attend(
        carrying("__float__", floats(D), Reentry(cache.clear, swallow=False))),
    "nested in append": lambda cache: cache.append(
        floats(D), carrying("__iter__", floats(D), Reentry(cache.stats, swallow=False))),
}


@pytest.mark.parametrize("name", FAILURES)
def test_every_failure_gives_the_borrow_back(name, capfd):
    cache, ref = pair()
    for _ in range(3):
        with pytest.raises(BaseException):
            FAILURES[name](cache)
    capfd.readouterr()
    assert_usable(cache, ref)
