// LayerCache's methods that choose which entries stay, beside the
// strategy: compress (by the attention of a prompt's last queries) and
// retain (by the caller's indices or mask). Each reads its arguments under
// a borrow, then decides for every head before it changes any, so that a
// failure leaves the cache as it was.
#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "binding/arg_binding.hpp"
#include "binding/errors.hpp"
#include "binding/panic.hpp"
#include "binding/recursion_guard.hpp"
#include "cache/float_array.hpp"
#include "layer_cache/array_input.hpp"
#include "layer_cache/head_tasks.hpp"
#include "layer_cache/layer_arguments.hpp"
#include "layer_cache/layer_cache_object.hpp"
#include "layer_cache/messages.hpp"
#include "layer_cache/retain_argument.hpp"

namespace marrowvale {
namespace {

constexpr std::array<const char*, 3> kCompressParams = {"queries", "keep", "pool"};
constexpr std::array<const char*, 1> kRetainParams = {"index"};
std::array<PyObject*, 3> g_compress_names{};
std::array<PyObject*, 1> g_retain_names{};

// A row of kept flags for every head, as long as the longest head.
struct KeptRows {
    explicit KeptRows(const Layer& layer)
        : stride(layer.longest()), flags(allocate_array<unsigned char>(layer.n_heads() * stride)) {}
    std::size_t stride;
    HeapArray<unsigned char> flags;
    unsigned char* row(std::size_t h) const noexcept { return flags.get() + h * stride; }
};

}  // namespace

PyObject* layer_cache_compress(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.compress", kCompressParams, 2, g_compress_names};
        std::array<PyObject*, 3> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        RecursionGuard depth(messages::kLayerRecursion);
        LayerCacheState& state = state_of(self);
        const LayerConfig& config = state.layer.config();
        CacheAccess::Borrow borrow(state.access, Access::write);
        const ExpectedShape shape{3, {ExpectedShape::kFree, ExpectedShape::kFree, ssize(config.d_k)}, {"n_q", "w"}};
        FloatArgument queries;
        queries.read(slots[0], "queries", shape);
        const Py_ssize_t n_q = queries.dim(0);
        const Py_ssize_t window = queries.dim(1);
        const auto heads = ssize(config.n_heads);
        if (n_q % heads != 0) {
            const Py_ssize_t found[3] = {n_q, window, ssize(config.d_k)};
            raise_format(PyExc_ValueError, messages::kCompressQueriesNotGrouped, ssize(config.d_k), heads,
                         shape_text(found, 3).c_str());
        }
        const std::uint64_t keep = count_argument(slots[1], "keep", 0);
        if (keep < static_cast<std::uint64_t>(window)) {
            raise_format(PyExc_ValueError, messages::kKeepBelowWindow, window, static_cast<unsigned long long>(keep));
        }
        const std::uint64_t pool = slots[2] == nullptr ? 7 : count_argument(slots[2], "pool", 1);
        if (pool % 2 == 0) raise_format(PyExc_ValueError, messages::kPoolNotOdd, static_cast<unsigned long long>(pool));

        CacheAccess::Lock lock(state.access);
        const KeptRows kept(state.layer);
        const auto per_head = static_cast<std::size_t>(n_q / heads * window);
        const auto d_k = static_cast<std::size_t>(config.d_k);
        // Counts beyond any head's length keep everything: no need to carry
        // more than a size_t.
        const auto most = static_cast<std::size_t>(std::min<std::uint64_t>(keep, SIZE_MAX));
        auto task = [&](std::size_t h) {
            state.layer.select_for_compress(h, queries.data() + h * per_head * d_k, per_head,
                                            static_cast<std::size_t>(window), most, static_cast<std::size_t>(pool),
                                            kept.row(h));
        };
        for_each_head(state, state.layer.attend_work(static_cast<std::size_t>(n_q * window)), task);
        state.layer.retain(kept.flags.get(), kept.stride);
        Py_RETURN_NONE;
    });
}

PyObject* layer_cache_retain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.retain", kRetainParams, 1, g_retain_names};
        std::array<PyObject*, 1> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        RecursionGuard depth(messages::kLayerRecursion);
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::write);
        RetainArgument index;
        index.read(slots[0], state.layer.n_heads());
        CacheAccess::Lock lock(state.access);
        const KeptRows kept(state.layer);
        std::vector<std::size_t> lengths;
        for (std::size_t h = 0; h < state.layer.n_heads(); ++h) lengths.push_back(state.layer.head(h).length());
        index.mark(lengths, kept.flags.get(), kept.stride);
        state.layer.retain(kept.flags.get(), kept.stride);
        Py_RETURN_NONE;
    });
}

}  // namespace marrowvale
