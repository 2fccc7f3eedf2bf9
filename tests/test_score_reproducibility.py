"""The strategies that choose by score give the same bits whatever runs
them: every thread count from 1 to 8 and every kernel set the processor has
(MARROWVALE_KERNEL, one child interpreter each) keep the same entries with
the same scores and give the same outputs and weights. The work is large
enough that extend, attend and compress spread the heads over threads."""

import functools
import hashlib
import os
import subprocess
import sys

import numpy as np
import pytest

from marrowvale import LayerCache

H, D = 8, 32
SCORED = ("h2o", "tova", "knorm")


def scenario(strategy, threads):
    """A prompt, decoding steps (append, attend with weights), a compress and
    more steps; the digest of every output, weight and the final state."""
    rng = np.random.default_rng(len(strategy))
    data = rng.standard_normal((440, 2, H, D)).astype(np.float32)
    data[:4, 0] *= np.float32(6)  # a few keys that draw attention
    layer = LayerCache(H, D, D, strategy, budget=300, recent=20, threads=threads)
    layer.extend(data[:400, 0], data[:400, 1])
    digest = hashlib.sha256()
    for t in range(400, 440):
        layer.append(data[t, 0], data[t, 1])
        q = rng.standard_normal((4 * H, D)).astype(np.float32)
        weights = np.empty((4 * H, max(layer.lengths())), np.float32)
        digest.update(layer.attend(q, weights=weights).tobytes() + weights.tobytes())
        if t == 420:
            layer.compress(rng.standard_normal((2 * H, 8, D)).astype(np.float32), keep=250, pool=5)
    digest.update(layer.to_bytes())
    return digest.hexdigest()


@pytest.mark.parametrize("strategy", SCORED)
def test_every_thread_count_gives_the_same_bits(strategy):
    one = scenario(strategy, 1)
    assert [scenario(strategy, threads) for threads in range(2, 9)] == [one] * 7


CHILD = """
import sys
sys.path.insert(0, {tests!r})
from test_score_reproducibility import SCORED, scenario
print(" ".join(scenario(strategy, 2) for strategy in SCORED))
"""


# Each child runs once per test process, the scalar one for every set.
@functools.cache
def digests(kernel_set):
    env = dict(os.environ, MARROWVALE_KERNEL=kernel_set)
    source = CHILD.format(tests=os.path.dirname(os.path.abspath(__file__)))
    done = subprocess.run([sys.executable, "-c", source], env=env, capture_output=True, text=True, timeout=300)
    if done.returncode != 0:
        if "not supported" in done.stderr:
            pytest.skip(f"kernel set {kernel_set!r} is not supported by this processor")
        if "unknown kernel set" in done.stderr:
            pytest.skip(f"kernel set {kernel_set!r} is not built on this platform")
        raise AssertionError(done.stderr)
    return done.stdout.split()


@pytest.mark.parametrize("kernel_set", ["sse2", "avx2", "avx512"])
def test_every_kernel_set_gives_the_scalar_bits(kernel_set):
    assert digests(kernel_set) == digests("scalar")
