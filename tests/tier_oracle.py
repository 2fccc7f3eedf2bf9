"""The storage tiers in NumPy, written from their definition: bfloat16 by
rounding the float32 bits to nearest-even, int8 by blocks of 32 values with
scale = absmax / 127 in float32 and np.rint of value / scale."""

import numpy as np

F32 = np.float32


def row_floats(tier, d):
    if tier == "bfloat16":
        return (d + 1) // 2
    return -(-d // 32) + -(-d // 4)


def bf16_bits(x):
    """bfloat16 of float32 x, nearest-even on the bits, NaN kept quiet."""
    u = np.asarray(x, F32).view(np.uint32).astype(np.uint64)
    rounded = (u + 0x7FFF + ((u >> 16) & 1)) >> 16
    quiet = (u >> 16) | 0x40
    return np.where(np.isnan(np.asarray(x, F32)), quiet, rounded).astype(np.uint16)


def int8_parts(x):
    """(scales, integers) of an int8 row of finite x."""
    x = np.asarray(x, F32)
    scales, integers = [], []
    for start in range(0, x.size, 32):
        block = x[start : start + 32]
        scale = F32(np.max(np.abs(block)) / F32(127))
        with np.errstate(over="ignore"):
            if np.isinf(scale * F32(127)):  # 127 * scale must decode finite
                scale = np.nextafter(scale, F32(0))
        scales.append(scale)
        q = np.zeros(block.size) if scale == 0 else np.rint(np.clip(block / scale, F32(-127), F32(127)))
        integers.append(q.astype(np.int8))
    return np.array(scales, F32), np.concatenate(integers) if integers else np.zeros(0, np.int8)


def int8_row(x):
    """The int8 row of x as a cache holds it, padding zero."""
    scales, integers = int8_parts(x)
    raw = scales.tobytes() + integers.tobytes()
    raw += bytes(4 * row_floats("int8", len(x)) - len(raw))
    return np.frombuffer(raw, F32).copy()


def bf16_row(x):
    halves = bf16_bits(x)
    if halves.size % 2:
        halves = np.append(halves, np.uint16(0))
    return halves.view(F32).copy()


def rows_of(tier, matrix, d):
    encode = bf16_row if tier == "bfloat16" else int8_row
    return np.concatenate([encode(r) for r in matrix]) if len(matrix) else np.zeros(0, F32)


def dequantised(tier, x):
    """The float32 values a row of the tier stands for."""
    x = np.asarray(x, F32)
    if tier == "float32":
        return x.copy()
    if tier == "bfloat16":
        return (bf16_bits(x).astype(np.uint32) << 16).view(F32)
    scales, integers = int8_parts(x)
    return integers.astype(F32) * np.repeat(scales, 32)[: x.size]
