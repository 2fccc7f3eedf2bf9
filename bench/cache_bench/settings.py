"""How much a run measures: the full run and the quick one."""

SEED = 20240611

FULL = {
    "min_time": 0.02,
    "repeat": 5,
    "append_cap": 2048,
    "append_repeat": 20,
    "attend_n": [64, 512, 4096, 32768, 262144],
    "dims": [64, 128],
    "pool": 4096,
    "stream_cap": 32768,
    "merge_grow_from": 512,
    "window_sizes": [10_000, 100_000],
    # Not powers of two: the append that runs the pass must not also be the
    # one that doubles the buffers.
    "merge_pass_n": [1000, 4095, 8000, 64000],
    "merge_pass_dims": [64, 128],
    "memory_bytes": 512 << 20,
}
QUICK = {
    "min_time": 0.008,
    "repeat": 3,
    "append_cap": 2048,
    "append_repeat": 9,
    "attend_n": [64, 4096, 32768],
    "dims": [64],
    "pool": 1024,
    "stream_cap": 8192,
    "merge_grow_from": 512,
    "window_sizes": [10_000],
    "merge_pass_n": [1000, 4095, 8000],
    "merge_pass_dims": [64],
    "memory_bytes": 256 << 20,
}

# Results are checked against float64 up to this many entries; beyond it the
# float64 copies would cost more than they tell.
CHECK_MAX_N = 32768
