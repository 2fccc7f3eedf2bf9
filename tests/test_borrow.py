"""Calls back into the same instance while its arguments are being converted.

append and clear borrow the cache exclusively, attend, stats and current_len
share it; the borrow is held while the arguments are converted, so Python code
run by a conversion meets it. Every failure gives the borrow back.
"""

import pytest

from _marrowvale import PyKVCache

D_K, D_V = 2, 3
KEY = [0.0] * D_K
VALUE = [1.0, 2.0, 3.0]

NESTED = {
    "append": lambda cache: cache.append(KEY, VALUE),
    "clear": lambda cache: cache.clear(),
    "attend": lambda cache: cache.attend(KEY),
    "stats": lambda cache: cache.stats(),
    "current_len": lambda cache: cache.current_len(),
}


class Hook:
    """Runs `action` once, from whichever conversion hook the test picks, and
    records what the nested call gave or raised."""

    def __init__(self, action, swallow=True):
        self.action = action
        self.swallow = swallow
        self.outcome = None
        self.runs = 0

    def run(self):
        if self.runs:
            return
        self.runs += 1
        try:
            self.outcome = ("ok", self.action())
        except RuntimeError as error:
            self.outcome = ("error", error)
            if not self.swallow:
                raise


class FloatElement:
    def __init__(self, hook):
        self.hook = hook

    def __float__(self):
        self.hook.run()
        return 0.0


class IndexElement:
    def __init__(self, hook):
        self.hook = hook

    def __index__(self):
        self.hook.run()
        return 0


class LenSequence(list):
    """A list subclass (so it is read through its iterator) whose __len__ runs the hook."""

    def __init__(self, items, hook):
        super().__init__(items)
        self.hook = hook

    def __len__(self):
        self.hook.run()
        return super().__len__()


class IterSequence(list):
    def __init__(self, items, hook):
        super().__init__(items)
        self.hook = hook

    def __iter__(self):
        self.hook.run()
        return super().__iter__()


def carrying(site, length, hook):
    """A sequence of `length` zeros whose conversion runs `hook` at `site`."""
    if site == "__float__":
        return [0.0] * (length - 1) + [FloatElement(hook)]
    if site == "__index__":
        return [IndexElement(hook)] + [0.0] * (length - 1)
    if site == "__len__":
        return LenSequence([0.0] * length, hook)
    return IterSequence([0.0] * length, hook)


def outer_call(cache, outer, argument):
    if outer == "append(k)":
        return cache.append(carrying(argument[0], D_K, argument[1]), VALUE)
    if outer == "append(v)":
        return cache.append(KEY, carrying(argument[0], D_V, argument[1]))
    return cache.attend(carrying(argument[0], D_K, argument[1]))


def filled_cache():
    cache = PyKVCache(D_K, D_V)
    cache.append(KEY, VALUE)
    return cache


def assert_free(cache):
    """The borrow flag is back at 0: an exclusive borrow and a shared one both succeed."""
    held = cache.current_len()
    cache.append(KEY, VALUE)
    assert cache.current_len() == held + 1
    assert cache.stats()["current_size"] == held + 1


SITES = ["__float__", "__index__", "__len__", "__iter__"]

EXPECTED = {
    ("append", "append"): "Already borrowed",
    ("append", "clear"): "Already borrowed",
    ("append", "attend"): "Already mutably borrowed",
    ("append", "stats"): "Already mutably borrowed",
    ("append", "current_len"): "Already mutably borrowed",
    ("attend", "append"): "Already borrowed",
    ("attend", "clear"): "Already borrowed",
    ("attend", "attend"): None,
    ("attend", "stats"): None,
    ("attend", "current_len"): None,
}


@pytest.mark.parametrize("nested", NESTED)
@pytest.mark.parametrize("outer", ["append(k)", "append(v)", "attend(q)"])
@pytest.mark.parametrize("site", SITES)
def test_nested_calls_meet_the_borrow_rules(site, outer, nested):
    cache = filled_cache()
    hook = Hook(lambda: NESTED[nested](cache))
    result = outer_call(cache, outer, (site, hook))
    assert hook.runs == 1
    expected = EXPECTED[(outer[:6], nested)]
    if expected is None:
        kind, value = hook.outcome
        assert kind == "ok"
        # a shared borrow inside attend sees the cache as it is: one entry
        if nested == "current_len":
            assert value == 1
        elif nested == "stats":
            assert value == cache.stats()
        else:
            assert value == VALUE
    else:
        kind, error = hook.outcome
        assert kind == "error"
        assert type(error) is RuntimeError
        assert str(error) == expected
    if outer.startswith("append"):
        assert result is None
        assert cache.current_len() == 2
    else:
        assert result == VALUE
        assert cache.current_len() == 1
    assert_free(cache)


def test_shared_borrows_stack_and_unwind():
    cache = filled_cache()
    innermost = Hook(lambda: NESTED["append"](cache))
    middle = Hook(lambda: (cache.current_len(), cache.attend(carrying("__float__", D_K, innermost))))
    assert cache.attend(carrying("__iter__", D_K, middle)) == VALUE
    assert middle.outcome == ("ok", (1, VALUE))
    assert innermost.outcome[0] == "error"
    assert str(innermost.outcome[1]) == "Already borrowed"
    assert_free(cache)


@pytest.mark.parametrize(
    "nested, error_type, message",
    [
        # arguments are bound before the borrow is taken ...
        (lambda cache: cache.append(KEY), TypeError, "PyKVCache.append() missing 1 required positional argument: 'v'"),
        (lambda cache: cache.attend(KEY, KEY), TypeError, "PyKVCache.attend() takes 1 positional arguments but 2 were given"),
        # ... and converted after it
        (lambda cache: cache.append("abc", VALUE), RuntimeError, "Already borrowed"),
        (lambda cache: cache.attend({1.0}), RuntimeError, "Already mutably borrowed"),
        (lambda cache: cache.append([0.0] * 99, VALUE), RuntimeError, "Already borrowed"),
    ],
)
def test_binding_comes_before_the_borrow_and_conversion_after_it(nested, error_type, message):
    cache = filled_cache()
    seen = []

    def action():
        try:
            nested(cache)
        except BaseException as error:  # noqa: B036
            seen.append(error)

    cache.append(carrying("__float__", D_K, Hook(action)), VALUE)
    assert len(seen) == 1
    assert type(seen[0]) is error_type
    assert str(seen[0]) == message
    assert cache.current_len() == 2
    assert_free(cache)


def test_other_instances_are_not_borrowed():
    cache, other = filled_cache(), PyKVCache(D_K, D_V)
    hook = Hook(lambda: (other.append(KEY, VALUE), other.clear(), other.append(KEY, VALUE), other.current_len()))
    cache.append(carrying("__float__", D_K, hook), VALUE)
    assert hook.outcome == ("ok", (None, None, None, 1))


@pytest.mark.parametrize("nested", ["append", "clear", "current_len"])
@pytest.mark.parametrize("outer", ["append(k)", "append(v)", "attend(q)"])
@pytest.mark.parametrize("site", ["__float__", "__index__", "__iter__"])
def test_a_propagating_borrow_error_fails_the_outer_call_unchanged(site, outer, nested):
    cache = filled_cache()
    before = cache.current_len(), cache.stats()
    hook = Hook(lambda: NESTED[nested](cache), swallow=False)
    if (outer[:6], nested) == ("attend", "current_len"):
        assert outer_call(cache, outer, (site, hook)) == VALUE  # allowed, nothing to propagate
    else:
        with pytest.raises(RuntimeError) as info:
            outer_call(cache, outer, (site, hook))
        assert info.value is hook.outcome[1]
    assert (cache.current_len(), cache.stats()) == before
    assert_free(cache)


@pytest.mark.parametrize("outer", ["append(k)", "append(v)", "attend(q)"])
def test_a_borrow_error_from_len_is_only_a_lost_length_hint(outer):
    cache = filled_cache()
    hook = Hook(lambda: NESTED["clear"](cache), swallow=False)
    outer_call(cache, outer, ("__len__", hook))
    assert str(hook.outcome[1]) == "Already borrowed"
    assert cache.current_len() == (2 if outer.startswith("append") else 1)
    assert_free(cache)


FAILURES = {
    "binding": lambda cache: cache.append(KEY),
    "noargs binding": lambda cache: cache.stats(1),
    "key conversion": lambda cache: cache.append("abc", VALUE),
    "value conversion": lambda cache: cache.append(KEY, [0.0, None, 0.0]),
    "query conversion": lambda cache: cache.attend({0.0, 1.0}),
    "element error": lambda cache: cache.attend([0.0, FloatElement(Hook(lambda: 1 / 0))]),
    "iteration error": lambda cache: cache.append(KEY, IterSequence(VALUE, Hook(lambda: {}["x"]))),
    "key length": lambda cache: cache.append([0.0], VALUE),
    "value length": lambda cache: cache.append(KEY, [0.0]),
    "query length": lambda cache: cache.attend([0.0] * 5),
    "nested in attend": lambda cache: cache.attend(
        carrying("__float__", D_K, Hook(lambda: cache.clear(), swallow=False))),
    "nested in append": lambda cache: cache.append(
        KEY, carrying("__iter__", D_V, Hook(lambda: cache.stats(), swallow=False))),
}


@pytest.mark.parametrize("name", FAILURES)
def test_every_failure_gives_the_borrow_back(name):
    cache = filled_cache()
    before = cache.current_len(), cache.stats(), cache.attend(KEY)
    for _ in range(3):
        with pytest.raises(BaseException):
            FAILURES[name](cache)
    assert (cache.current_len(), cache.stats(), cache.attend(KEY)) == before
    assert_free(cache)
    cache.clear()
    assert cache.current_len() == 0
