"""A short tour of marrowvale: a generation loop over a compressing cache,
then every strategy compared with a full cache on one synthetic stream.

Run it with ``bash scripts/demo.sh``, which builds the extension first and
then evaluates the strategies on a real model (``python -m marrowvale eval``).
"""

from __future__ import annotations

from marrowvale import PyKVCache, compare, format_table, plot_comparison, synthetic_stream
from marrowvale._plot import plotting_available

PLOT_PATH = "demo-compare.png"


def _short(xs: list[float]) -> str:
    return "[" + ", ".join(f"{x:+.3f}" for x in xs) + "]"


def generation_loop() -> None:
    # A decoder would compute each token's key, value and query from its
    # hidden state; the synthetic stream stands in for that. Small vectors
    # keep the lines short.
    keys, values, queries = synthetic_stream(24, d_k=8, d_v=3, seed=1)
    cache = PyKVCache(d_k=8, d_v=3, strategy="merge", threshold=0.9, merge_every=4)
    print("generation loop: merge cache, threshold 0.9, a merging pass every 4 appends")
    for t, (k, v, q) in enumerate(zip(keys, values, queries)):
        cache.append(k, v)
        out = cache.attend(q)
        if t % 4 == 0 or t == len(keys) - 1:
            print(f"  token {t:2d}: holds {cache.current_len():2d} entries, attention output {_short(out)}")
    print(f"  stats: {cache.stats()}")
    cache.clear()
    print(f"  after clear(): holds {cache.current_len()} entries; the counters are kept: "
          f"total_appends {cache.stats()['total_appends']}")


def comparison() -> None:
    n, d = 512, 64
    print(f"\ncomparison on the synthetic stream ({n} tokens, d_k = d_v = {d}, seed 0):")
    print("every strategy replays the same keys, values and queries; errors are against the full cache")
    print("the first 4 tokens are attention sinks, as in real decoders: static and hybrid keep them,")
    print("a sliding window loses them")
    results = compare(*synthetic_stream(n, d, d, seed=0))
    print(format_table(results))
    if plotting_available():
        plot_comparison(results, PLOT_PATH, title=f"synthetic stream, {n} tokens, seed 0")
        print(f"\nerror against compression, per strategy: {PLOT_PATH}")
    print("\nthe same as a command, with a plot: python -m marrowvale compare --plot out.png")


if __name__ == "__main__":
    generation_loop()
    comparison()
