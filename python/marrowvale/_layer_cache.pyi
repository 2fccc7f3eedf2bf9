# Type information for the native extension module marrowvale._layer_cache.

from collections.abc import Buffer, Sequence
from typing import Any, Literal, Self, SupportsFloat, SupportsIndex, TypedDict, final, type_check_only

import numpy as np
import numpy.typing as npt

__all__ = ["LayerCache", "PanicException", "build_settings", "kernel_set"]

_Number = SupportsFloat | SupportsIndex
# Arrays are anything with the buffer protocol (NumPy arrays of any real or
# bool dtype, memoryview, array.array) or nested sequences of numbers.
_Rows = Buffer | Sequence[Buffer | Sequence[_Number]]
_Tokens = Buffer | Sequence[_Rows]

_StrategyName = Literal["full", "sliding", "static", "merge", "hybrid", "h2o", "tova", "knorm"]
# What retain takes: a boolean mask (n_heads, entries), or per head an
# index array or a mask.
_Index = Buffer | Sequence[Buffer | Sequence[SupportsIndex]]

@type_check_only
class _BuildSettings(TypedDict):
    compiler: str
    build_type: str
    flags: str

class PanicException(BaseException):
    """The exception raised when native code called from Python fails.

    Like SystemExit, it derives from BaseException, so that it usually travels
    all the way up and ends the interpreter."""

def kernel_set() -> Literal["scalar", "sse2", "avx2", "avx512"]:
    """The kernel set every computation uses: "scalar", "sse2", "avx2" or "avx512"
    (the best the processor supports, or the one MARROWVALE_KERNEL named at import)."""

def build_settings() -> _BuildSettings:
    """How the native modules were compiled: a dict of "compiler", "build_type" and
    "flags" (the compiler options beyond the build type's)."""

_Dtype = Literal["float32", "bfloat16", "int8"]

@type_check_only
class _LayerStats(TypedDict):
    total_appends: int
    total_merges: int
    total_evictions: int
    current_size: int
    compression_ratio: float
    strategy: str
    per_head_size: list[int]
    nbytes: int
    dtype: _Dtype

@final
class LayerCache:
    """Key/value caches of every head of one attention layer, one compressing
    cache per head, read and written as arrays.

    Each head keeps its own cache with the given strategy (see PyKVCache), so
    heads diverge under merging; results are bit-identical to one PyKVCache
    per head.

    Arrays in: C-contiguous float32 is read in place; any other real dtype is
    rounded to float32 element by element as PyKVCache rounds a Python
    number (float64 to the nearest float32, float16 exactly, integers to the
    nearest double first and then to float32, bool to 0.0 or 1.0); strided
    arrays are copied; nested sequences are read like PyKVCache reads a
    vector. Complex and other dtypes raise TypeError, a wrong shape
    ValueError ("argument 'k': expected (4, 64), got (4, 63)"); after any
    error the cache is as it was.

    threads: how many threads attend and extend may spread the heads over
    (None: the usable cores); at most n_heads are used. Large calls run
    without the interpreter lock; results do not depend on the count.

    Strategies that choose by a score per entry: "h2o" (the weights every
    attend since the entry's append gave it, summed over the query heads of
    its group), "tova" (those of the latest attend; entries appended since
    count as recent) and "knorm" (minus the L2 norm of its key). Each keeps
    at most budget entries per head after an append, evicting the lowest
    score among all but the newest recent (recent < budget); a NaN score
    ranks lowest, and of equal scores the oldest entry goes.

    dtype: how keys and values are stored. "float32" (the default) holds
    them as given. "bfloat16" rounds each to nearest-even (2 bytes a value).
    "int8" cuts each row into blocks of 32 values along the head dimension
    (the last block shorter), each with one float32 scale, its largest
    magnitude over 127, and stores round-to-nearest-even(value / scale) (an
    all-zero block has scale 0; about 1.13 bytes a value at d = 64); it
    holds finite values only, and appending an infinity or a NaN raises
    ValueError. keys() and values() return the stored values as float32,
    and attend computes in float32 over exactly those, in a fixed order:
    the same bits for every kernel set and thread count. Merging blends in
    float32 and stores the blend in the tier; scores stay float32.
    """

    def __new__(
        cls,
        n_heads: SupportsIndex,
        d_k: SupportsIndex,
        d_v: SupportsIndex,
        strategy: _StrategyName | str = "full",
        *,
        window_size: SupportsIndex = 512,
        static_k: SupportsIndex = 32,
        recent_k: SupportsIndex = 128,
        threshold: SupportsFloat | SupportsIndex = 0.9,
        merge_every: SupportsIndex = 4,
        budget: SupportsIndex = 512,
        recent: SupportsIndex = 32,
        threads: SupportsIndex | None = None,
        dtype: _Dtype | str = "float32",
    ) -> Self: ...
    @property
    def n_heads(self) -> int:
        """Key/value heads."""

    @property
    def d_k(self) -> int:
        """Length of a key (and of a query)."""

    @property
    def d_v(self) -> int:
        """Length of a value."""

    @property
    def strategy(self) -> str:
        """Name of the compression strategy."""

    @property
    def threads(self) -> int:
        """Threads a call may use (at most one per head)."""

    @property
    def dtype(self) -> str:
        """How keys and values are stored: 'float32', 'bfloat16' or 'int8'."""

    def append(self, k: _Rows, v: _Rows) -> None:
        """Store one token: k of shape (n_heads, d_k), v of shape (n_heads, d_v)."""

    def extend(self, K: _Tokens, V: _Tokens) -> None:
        """Store T tokens: K of shape (T, n_heads, d_k), V of shape (T, n_heads, d_v);
        the same as T appends."""

    def attend(
        self,
        q: _Rows,
        out: npt.NDArray[np.float32] | None = None,
        weights: npt.NDArray[np.float32] | None = None,
    ) -> npt.NDArray[np.float32]:
        """Attention of q, shape (n_q, d_k) with n_q a multiple of n_heads: query
        row j reads head j // (n_q // n_heads). Returns a float32 array (n_q, d_v),
        or writes into out (C-contiguous float32 of that shape) and returns it.
        weights, a C-contiguous float32 array (n_q, entries of the longest head),
        receives each query's softmax weights over its head's entries, oldest
        first, and zeros after them. On an "h2o" or "tova" cache this also
        updates the scores."""

    def compress(self, queries: _Tokens, keep: SupportsIndex, pool: SupportsIndex = 7) -> None:
        """Keep at most keep entries per head, chosen once by the attention of
        queries, shape (n_q, w, d_k): the last w queries of each query head.
        Each entry scores its softmax weights summed over the w queries of every
        query head of its group; the newest w entries stay, and the others are
        ranked by their scores max-pooled among themselves over pool (odd)
        neighbouring positions, the newer of equal scores first. keep must be
        at least w. The cache goes on with its own strategy afterwards; the
        entries dropped count in total_evictions."""

    def retain(self, index: _Index) -> None:
        """Keep only the given entries of each head, in their order: index is a
        boolean mask (n_heads, entries), or one index array (integers, negative
        ones from the end, each at most once) or boolean mask per head. The
        entries dropped count in total_evictions."""

    def scores(self, head: SupportsIndex, /) -> npt.NDArray[np.float32]:
        """The strategy's score of each held entry of the head: float32 (held,),
        oldest first ("tova": inf for an entry no attend has weighed yet).
        ValueError for a strategy that keeps no scores."""

    def spans(self, head: SupportsIndex, /) -> npt.NDArray[np.int64]:
        """First and last token index (from 0 since construction or clear) each
        held entry of the head covers: int64 (held, 2). Negative heads count
        from the end."""

    def lengths(self) -> list[int]:
        """Entries held by each head."""

    def keys(self, head: SupportsIndex, /) -> npt.NDArray[np.float32]:
        """A copy of the head's keys: float32 (held, d_k)."""

    def values(self, head: SupportsIndex, /) -> npt.NDArray[np.float32]:
        """A copy of the head's values: float32 (held, d_v)."""

    def stats(self) -> _LayerStats:
        """PyKVCache's counters summed over heads (compression_ratio over all
        heads), per_head_size (current_size of each head), nbytes (bytes
        of storage held, room for growth included) and dtype (the tier)."""

    def clear(self) -> None:
        """Drop every entry; the cumulative counters stay."""

    def copy(self) -> LayerCache:
        """An independent copy."""

    def with_strategy(
        self,
        strategy: _StrategyName | str,
        *,
        window_size: SupportsIndex = 512,
        static_k: SupportsIndex = 32,
        recent_k: SupportsIndex = 128,
        threshold: SupportsFloat | SupportsIndex = 0.9,
        merge_every: SupportsIndex = 4,
        budget: SupportsIndex = 512,
        recent: SupportsIndex = 32,
    ) -> LayerCache:
        """A copy holding the same entries, spans and counters under another
        strategy, which acts from the next append on (an append then evicts
        or drops as many entries as the strategy's rule asks). The scores stay
        when the strategy is the same one; otherwise each entry scores as a
        new entry would ("h2o": 0, "tova": inf, "knorm": minus its key's
        norm). So a prompt can fill an unbounded cache with full attention,
        and the decoding go on within a budget."""

    def __copy__(self) -> LayerCache: ...
    def __deepcopy__(self, memo: Any, /) -> LayerCache: ...
    def __reduce__(self) -> tuple[Any, tuple[bytes]]: ...
    def to_bytes(self) -> bytes:
        """The cache's state: versioned, little-endian bytes (threads not included)."""

    @classmethod
    def from_bytes(cls, data: Buffer, threads: SupportsIndex | None = None) -> LayerCache:
        """The cache a state from to_bytes describes; ValueError for bytes that
        are not one."""
