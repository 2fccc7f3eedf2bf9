"""A built-in synthetic stream of keys, values and queries.

Real decoder keys are not independent noise: neighbouring tokens often belong
to the same phrase and point in nearly the same direction, topics drift
slowly, and some tokens recur verbatim. The first few tokens are attention
sinks: every query parks a large share of its attention on them, which is
why a cache that keeps them does better than a window of recent tokens
alone. This stream imitates all that, so that the compression strategies
have structure to find.

The stream is a pure function of its arguments, bit for bit on every machine
and Python version: it draws only on ``random.Random.random()`` (whose
sequence for a given seed Python keeps stable across versions) and on
additions, multiplications, divisions and square roots, which IEEE 754
rounds the same way everywhere. Every number is rounded to a 32-bit float,
the precision the cache works in.
"""

from __future__ import annotations

import math
import random
from array import array
from typing import NamedTuple

__all__ = ["Stream", "synthetic_stream"]

# A few recurring themes; each run of tokens belongs to one of them.
_TOPICS = 8
# Runs of related tokens are 1 to _MAX_RUN tokens long.
_MAX_RUN = 6
# How far a topic's direction turns per token of it (the length of the step
# on the unit sphere), and how far keys, values and queries scatter around
# their centres (per component, the components being of unit size).
_DRIFT = 0.05
_JITTER = 0.25
_VALUE_NOISE = 0.3
_QUERY_NOISE = 0.5
# Chance that a run replays the key and value of an earlier token.
_REPEAT = 0.2
# Chance that a query looks for one of the last _RECENT tokens rather than
# anywhere in the past.
_RECENT_QUERY = 0.5
_RECENT = 32
# Attention sinks: the first _SINKS tokens' keys point along one direction
# that no topic shares, and every query leans toward it, so that together
# they draw a large share of every query's attention, as the first tokens
# do in real decoders. Each sink scores about _SINK_LEAD above what a
# query's own key scores, whatever d_k; their values lie around a centre of
# their own, like a topic's.
_SINKS = 4
_SINK_LEAD = 2.5


class Stream(NamedTuple):
    """One stream: ``keys[t]`` and ``values[t]`` are appended at step t, and
    ``queries[t]`` is attended right after."""

    keys: list[list[float]]
    values: list[list[float]]
    queries: list[list[float]]


def _gauss(rng: random.Random) -> float:
    # Sum of four uniforms, scaled to unit variance: close enough to a normal
    # distribution for test data, and free of the platform's log/sin/cos.
    total = 0.0
    for _ in range(4):
        total += rng.random()
    return (total - 2.0) * math.sqrt(3.0)


def _noise(rng: random.Random, n: int, scale: float) -> list[float]:
    return [_gauss(rng) * scale for _ in range(n)]


def _dot(a: list[float], b: list[float]) -> float:
    total = 0.0
    for x, y in zip(a, b):
        total += x * y
    return total


def _unit(v: list[float]) -> list[float]:
    norm = math.sqrt(_dot(v, v))
    if norm == 0.0:
        return [0.0] * len(v)
    return [x / norm for x in v]


def _add(a: list[float], b: list[float]) -> list[float]:
    return [x + y for x, y in zip(a, b)]


def _orthogonal(v: list[float], unit: list[float]) -> list[float]:
    """v without its component along the unit vector `unit`."""
    along = _dot(v, unit)
    return [x - along * u for x, u in zip(v, unit)]


def _f32(v: list[float]) -> list[float]:
    return array("f", v).tolist()


def synthetic_stream(n_tokens: int = 512, d_k: int = 64, d_v: int = 64, *, seed: int = 0) -> Stream:
    """Build a deterministic stream of ``n_tokens`` keys, values and queries.

    The first four tokens are attention sinks: their keys share a direction
    that every query leans toward, so that together they draw a large part
    of each query's attention (about 70% for a typical query of a stream of
    512 tokens, less in longer streams), as the first tokens do in real
    decoders. After them, tokens come in runs of 1 to 6 that share a topic:
    their keys point in nearly the same direction and their values lie close
    together. Each of eight topics drifts a little with every token of it,
    and about one run in five repeats an earlier token exactly. Each query
    is a noisy copy of an earlier key, half the time one of the last 32,
    plus the lean toward the sinks. Keys have components of about unit size,
    so a query's own key scores about sqrt(d_k) before the softmax, and
    each sink a little more.

    Raises ValueError for a negative size and for ``d_k`` 0, for which the
    cache's scores (divided by sqrt(d_k)) have no meaning.
    """
    if n_tokens < 0 or d_k < 0 or d_v < 0:
        raise ValueError(f"n_tokens, d_k and d_v must not be negative; got {n_tokens}, {d_k} and {d_v}")
    if d_k == 0:
        raise ValueError("d_k must be at least 1: attention divides the scores by sqrt(d_k)")
    rng = random.Random(seed)
    key_scale = math.sqrt(d_k)
    sink = _unit(_noise(rng, d_k, 1.0))
    topics = [_unit(_orthogonal(_noise(rng, d_k, 1.0), sink)) for _ in range(_TOPICS)]
    centres = [_noise(rng, d_v, 1.0) for _ in range(_TOPICS)]
    sink_centre = _noise(rng, d_v, 1.0)
    sink_key = [x * key_scale for x in sink]
    # A query's own key scores about sqrt(d_k) * (1 + _JITTER**2); a sink
    # key scores the query's length along the sink direction.
    lean_length = key_scale * (1.0 + _JITTER * _JITTER) + _SINK_LEAD
    lean = [x * lean_length for x in sink]

    keys: list[list[float]] = []
    values: list[list[float]] = []
    queries: list[list[float]] = []
    run_left = 0
    topic = 0
    replay: tuple[list[float], list[float]] | None = None
    for t in range(n_tokens):
        if t < _SINKS:
            key = _f32(_add(sink_key, _noise(rng, d_k, _JITTER)))
            value = _f32(_add(sink_centre, _noise(rng, d_v, _VALUE_NOISE)))
        else:
            if run_left == 0:
                run_left = 1 + int(rng.random() * _MAX_RUN)
                topic = int(rng.random() * _TOPICS)
                replay = None
                # A repeated token is an ordinary one: the sinks stay four.
                if len(keys) > _SINKS and rng.random() < _REPEAT:
                    j = _SINKS + int(rng.random() * (len(keys) - _SINKS))
                    replay = (keys[j], values[j])
            run_left -= 1
            if replay is not None:
                key, value = replay
            else:
                # A topic moves a little each time one of its tokens arrives,
                # and never toward the sinks.
                moved = _add(topics[topic], _noise(rng, d_k, _DRIFT / key_scale))
                topics[topic] = _unit(_orthogonal(moved, sink))
                direction = [x * key_scale for x in topics[topic]]
                key = _f32(_add(direction, _noise(rng, d_k, _JITTER)))
                value = _f32(_add(centres[topic], _noise(rng, d_v, _VALUE_NOISE)))
        keys.append(key)
        values.append(value)
        if rng.random() < _RECENT_QUERY:
            lo = max(0, t + 1 - _RECENT)
            j = lo + int(rng.random() * (t + 1 - lo))
        else:
            j = int(rng.random() * (t + 1))
        query = _add(_add(keys[j], _noise(rng, d_k, _QUERY_NOISE)), lean)
        queries.append(_f32(query))
    return Stream(keys, values, queries)
