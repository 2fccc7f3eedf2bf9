# Type information for the native extension module _marrowvale.
#
# The wheel installs this file twice: as _marrowvale.pyi beside the extension,
# where editors look for it, and as _marrowvale-stubs/__init__.pyi, the stub
# package that mypy looks for (mypy ignores single-file stubs of top-level
# modules in site-packages).

from typing import Literal, Protocol, Self, SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

__all__ = ["PyKVCache"]

# Any sequence of numbers (float, int, bool, or anything with __float__ or
# __index__): list, tuple, range, bytes, array.array, a NumPy array. A str is
# refused at run time although it is a sequence; its items are neither
# SupportsFloat nor SupportsIndex, so the protocol refuses it as well.
@type_check_only
class _Vector(Protocol):
    def __len__(self) -> int: ...
    def __getitem__(self, index: int, /) -> SupportsFloat | SupportsIndex: ...

# The listed names complete in editors; any other str type-checks, since an
# unknown name is refused at run time with ValueError.
_StrategyName = Literal["full", "sliding", "static", "merge", "hybrid"]

@type_check_only
class _Stats(TypedDict):
    total_appends: int
    total_merges: int
    total_evictions: int
    current_size: int
    compression_ratio: float
    strategy: str

@final
class PyKVCache:
    """A key/value attention cache with a compression strategy.

    strategy "full" keeps every entry; "sliding" the newest window_size;
    "static" the oldest static_k plus the newest recent_k; "merge" blends
    neighbouring entries whose keys have cosine similarity above threshold,
    every merge_every appends; "hybrid" merges like "merge" but spares the
    oldest static_k entries.
    """

    def __new__(
        cls,
        d_k: SupportsIndex = 64,
        d_v: SupportsIndex = 64,
        strategy: _StrategyName | str = "full",
        window_size: SupportsIndex = 512,
        static_k: SupportsIndex = 32,
        recent_k: SupportsIndex = 128,
        threshold: SupportsFloat | SupportsIndex = 0.9,
        merge_every: SupportsIndex = 4,
    ) -> Self: ...
    def append(self, k: _Vector, v: _Vector) -> None:
        """Store one entry: a key of d_k numbers and a value of d_v numbers."""

    def attend(self, q: _Vector) -> list[float]:
        """Attention output of query q over the held entries: d_v floats."""

    def current_len(self) -> int:
        """Number of entries held now."""

    def clear(self) -> None:
        """Drop every entry; the cumulative statistics are kept."""

    def stats(self) -> _Stats:
        """Counters: total_appends, total_merges, total_evictions, current_size,
        compression_ratio (current_size / total_appends) and strategy."""
