"""The machine's single-core read bandwidth, the floor's yardstick: NumPy
reading an array of a given size once."""

from .settings import SEED


def read_bandwidth(np, timing, size, extra=None):
    """Single-core read bandwidth for an array of `size` bytes: the best of
    NumPy's sum, max and single-threaded BLAS dot product of its halves,
    each of which reads every byte once. `extra` adds statements timed in
    turn with them (label -> (stmt, namespace)). Returns (GB/s, method,
    every method's GB/s, timings)."""
    rng = np.random.default_rng(SEED)
    a = rng.random(size // 4, dtype=np.float32)
    half = a.size // 2
    ns = {"a": a, "x": a[:half], "y": a[half:], "dot": np.dot}
    entries = {
        "sum": ("a.sum()", ns, "pass"),
        "max": ("a.max()", ns, "pass"),
        "dot": ("dot(x, y)", ns, "pass"),
    }
    for label, (stmt, namespace) in (extra or {}).items():
        entries[label] = (stmt, namespace, "pass")
    timed = timing.compare(entries)
    read = {method: size / timed[method]["min"] / 1e9 for method in ("sum", "max", "dot")}
    best = max(read, key=read.get)
    return read[best], best, read, timed


def bench_memory_bandwidth(np, timing, size):
    """Single-core read bandwidth from main memory: one array far larger
    than the processor's caches."""
    bandwidth, best, read, _ = read_bandwidth(np, timing, size)
    return {"bytes": size, "gb_per_s": bandwidth, "method": best, "all_methods_gb_per_s": read}
