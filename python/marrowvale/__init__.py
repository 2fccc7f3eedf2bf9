"""marrowvale: a bit-exact key/value attention cache with compression
strategies, and tools to measure what each strategy costs in accuracy.

``PyKVCache`` is the native cache (from the extension ``_marrowvale``);
``LayerCache`` keeps every head of one attention layer, read and written as
NumPy arrays (from the extension ``marrowvale._layer_cache``);
``PanicException`` is what both raise for a broken precondition (a
BaseException, like SystemExit); ``build_info`` says how the installation
was built and which kernels it runs; ``compare`` replays a stream of keys, values and queries through several
strategies and a full cache; ``synthetic_stream`` builds a deterministic test
stream with structure for the strategies to find.
"""

from importlib.metadata import PackageNotFoundError, version

from _marrowvale import PyKVCache

from ._build_info import build_info
from ._compare import DEFAULT_STRATEGIES, CompareResult, compare, format_table
from ._layer_cache import LayerCache, PanicException
from ._plot import plot_comparison
from ._strategy_choice import StrategyChoice, budget_strategies
from ._stream import Stream, synthetic_stream

try:
    __version__ = version("marrowvale")
except PackageNotFoundError:  # imported from a source tree, not installed
    __version__ = "0+unknown"

__all__ = [
    "DEFAULT_STRATEGIES",
    "CompareResult",
    "LayerCache",
    "PanicException",
    "PyKVCache",
    "Stream",
    "StrategyChoice",
    "budget_strategies",
    "build_info",
    "compare",
    "format_table",
    "plot_comparison",
    "synthetic_stream",
]
