"""Rotary position embedding in the half-split layout of Llama-family
checkpoints: dimension i of a head is paired with dimension i + d/2."""

from __future__ import annotations

import math

import numpy as np
import numpy.typing as npt

from ._config import RopeConfig

__all__ = ["inverse_frequencies", "rotate", "rotation"]


def inverse_frequencies(rope: RopeConfig, head_dim: int) -> npt.NDArray[np.float64]:
    """theta^(-2i/d) for i < d/2, scaled as ``rope`` says, in double precision."""
    exponents = np.arange(0, head_dim, 2, dtype=np.float64) / head_dim
    inv = 1.0 / rope.theta ** exponents
    if rope.frequency_factors is not None:
        inv = inv / np.asarray(rope.frequency_factors, dtype=np.float64)
    if rope.kind == "linear":
        return inv / rope.factor
    if rope.kind == "llama3":
        context = rope.original_max_position_embeddings
        wavelength = 2.0 * math.pi / inv
        smooth = (context / wavelength - rope.low_freq_factor) / (rope.high_freq_factor - rope.low_freq_factor)
        blended = (1.0 - smooth) * inv / rope.factor + smooth * inv
        long_waves = wavelength > context / rope.low_freq_factor
        short_waves = wavelength < context / rope.high_freq_factor
        return np.where(long_waves, inv / rope.factor, np.where(short_waves, inv, blended))
    return inv


def rotation(inv_freq: npt.NDArray[np.float64], position: int) -> tuple[npt.NDArray[np.float32], npt.NDArray[np.float32]]:
    """cos and sin of the angles at ``position``, one per pair of dimensions.

    The angles are taken in double precision, so that positions in the
    hundred thousands keep their fraction, and rounded once to float32.
    """
    angles = position * inv_freq
    return np.cos(angles).astype(np.float32), np.sin(angles).astype(np.float32)


def rotate(x: npt.NDArray[np.float32], cos: npt.NDArray[np.float32],
           sin: npt.NDArray[np.float32]) -> npt.NDArray[np.float32]:
    """x·cos + rotate_half(x)·sin over the last axis, rotate_half(x) being
    (-x[d/2:], x[:d/2]) and cos, sin repeated over both halves."""
    half = x.shape[-1] // 2
    first, second = x[..., :half], x[..., half:]
    return np.concatenate((first * cos - second * sin, second * cos + first * sin), axis=-1)
