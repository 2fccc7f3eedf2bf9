// LayerCache's methods that add entries, attend and clear: each converts
// its arguments under a borrow, then works on the heads under the lock.
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "binding/arg_binding.hpp"
#include "binding/errors.hpp"
#include "binding/panic.hpp"
#include "binding/recursion_guard.hpp"
#include "layer_cache/array_input.hpp"
#include "layer_cache/array_output.hpp"
#include "layer_cache/head_tasks.hpp"
#include "layer_cache/layer_cache_object.hpp"
#include "layer_cache/messages.hpp"

namespace marrowvale {
namespace {

// Refuses appends past what the counters hold (reachable only from a state
// that counted nearly that many), before anything changes.
void check_appends_left(const Layer& layer, std::uint64_t tokens) {
    if (tokens > layer.appends_left()) {
        raise_format(PyExc_OverflowError, messages::kTooManyAppends,
                     static_cast<unsigned long long>(most_appends(layer.config().n_heads)));
    }
}

// An int8 cache refuses a value no block scale can hold, checked over
// every head before any head changes: a head that refused one after
// another had appended would leave them out of step.
void check_finite(const Layer& layer, const FloatArgument& argument, const char* parameter) {
    if (layer.config().tier != StorageTier::int8) return;
    if (!all_finite(argument.data(), argument.size())) {
        raise_format(PyExc_ValueError, messages::kInt8NotFinite, parameter);
    }
}

constexpr std::array<const char*, 2> kAppendParams = {"k", "v"};
constexpr std::array<const char*, 2> kExtendParams = {"K", "V"};
constexpr std::array<const char*, 3> kAttendParams = {"q", "out", "weights"};
std::array<PyObject*, 2> g_append_names{};
std::array<PyObject*, 2> g_extend_names{};
std::array<PyObject*, 3> g_attend_names{};

// The entries of the head that holds the most, read under the lock.
Py_ssize_t longest_head(LayerCacheState& state) {
    CacheAccess::Lock lock(state.access);
    return static_cast<Py_ssize_t>(state.layer.longest());
}

}  // namespace

PyObject* layer_cache_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.append", kAppendParams, 2, g_append_names};
        std::array<PyObject*, 2> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        RecursionGuard depth(messages::kLayerRecursion);
        LayerCacheState& state = state_of(self);
        const LayerConfig& config = state.layer.config();
        CacheAccess::Borrow borrow(state.access, Access::write);
        FloatArgument keys;
        keys.read(slots[0], "k", {2, {ssize(config.n_heads), ssize(config.d_k)}});
        FloatArgument values;
        values.read(slots[1], "v", {2, {ssize(config.n_heads), ssize(config.d_v)}});
        check_finite(state.layer, keys, "k");
        check_finite(state.layer, values, "v");
        CacheAccess::Lock lock(state.access);
        check_appends_left(state.layer, 1);
        // Room in every head first: a head that ran out of memory after
        // another had appended would leave them out of step.
        const Layer::AppendRoom room = state.layer.reserve_for_appends(1);
        const auto d_k = static_cast<std::size_t>(config.d_k);
        const auto d_v = static_cast<std::size_t>(config.d_v);
        // Straight to each head's cache: this runs once per head per token.
        auto task = [&](std::size_t h) {
            state.layer.head(h).append(std::span<const float>(keys.data() + h * d_k, d_k),
                                       std::span<const float>(values.data() + h * d_v, d_v));
        };
        for_each_head(state, state.layer.append_work(1), task);
        Py_RETURN_NONE;
    });
}

PyObject* layer_cache_extend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.extend", kExtendParams, 2, g_extend_names};
        std::array<PyObject*, 2> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        RecursionGuard depth(messages::kLayerRecursion);
        LayerCacheState& state = state_of(self);
        const LayerConfig& config = state.layer.config();
        CacheAccess::Borrow borrow(state.access, Access::write);
        // Both shapes are checked before either is converted (a stride of 0
        // lets a small array declare any number of tokens to convert), and
        // every token of every head before the first is stored.
        FloatArgument keys;
        keys.open(slots[0], "K", {3, {ExpectedShape::kFree, ssize(config.n_heads), ssize(config.d_k)}, {"T"}});
        const Py_ssize_t tokens = keys.dim(0);
        FloatArgument values;
        values.open(slots[1], "V", {3, {tokens, ssize(config.n_heads), ssize(config.d_v)}});
        keys.convert();
        values.convert();
        check_finite(state.layer, keys, "K");
        check_finite(state.layer, values, "V");
        CacheAccess::Lock lock(state.access);
        check_appends_left(state.layer, static_cast<std::uint64_t>(tokens));
        const Layer::AppendRoom room = state.layer.reserve_for_appends(static_cast<std::size_t>(tokens));
        const auto d_k = static_cast<std::size_t>(config.d_k);
        const auto d_v = static_cast<std::size_t>(config.d_v);
        const auto heads = static_cast<std::size_t>(config.n_heads);
        auto task = [&](std::size_t h) {
            state.layer.append_tokens(h, keys.data() + h * d_k, heads * d_k, values.data() + h * d_v, heads * d_v,
                                      static_cast<std::size_t>(tokens));
            // Here rather than when the room goes: a head's spare room goes
            // back by a copy of its rows, which its thread is placed to make.
            state.layer.head(h).give_back_spare_room();
        };
        for_each_head(state, state.layer.append_work(static_cast<std::size_t>(tokens)), task);
        Py_RETURN_NONE;
    });
}

PyObject* layer_cache_attend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.attend", kAttendParams, 1, g_attend_names};
        std::array<PyObject*, 3> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        RecursionGuard depth(messages::kLayerRecursion);
        LayerCacheState& state = state_of(self);
        const LayerConfig& config = state.layer.config();
        CacheAccess::Borrow borrow(state.access, Access::read);
        // Both shapes are checked before the queries are converted, as in extend.
        FloatArgument queries;
        queries.open(slots[0], "q", {2, {ExpectedShape::kFree, ssize(config.d_k)}, {"n_q"}});
        const Py_ssize_t n_q = queries.dim(0);
        const auto heads = ssize(config.n_heads);
        if (n_q % heads != 0) {
            raise_format(PyExc_ValueError, messages::kQueriesNotGrouped, ssize(config.d_k), heads, n_q,
                         ssize(config.d_k));
        }
        std::optional<NewArray> fresh;
        std::optional<OutputArgument> given;
        float* out;
        if (slots[1] == nullptr || slots[1] == Py_None) {
            fresh.emplace(Element::float32, std::initializer_list<Py_ssize_t>{n_q, ssize(config.d_v)});
            out = static_cast<float*>(fresh->data());
        } else {
            given.emplace(slots[1], "out", n_q, ssize(config.d_v));
            out = given->data();
        }
        std::optional<OutputArgument> weights;
        if (slots[2] != nullptr && slots[2] != Py_None) {
            weights.emplace(slots[2], "weights", n_q, longest_head(state));
            if (given && weights->overlaps(*given)) raise_format(PyExc_ValueError, messages::kWeightsOverlapOut);
        }
        queries.convert();
        // Each output row is written while later queries are still read.
        if (given) queries.separate_from(out, out + given->size());
        if (weights) queries.separate_from(weights->data(), weights->data() + weights->size());
        {
            CacheAccess::Lock lock(state.access);
            const auto columns = static_cast<std::size_t>(state.layer.longest());
            // Another thread may have changed the heads since the shape was
            // checked.
            if (weights) weights->check_columns(static_cast<Py_ssize_t>(columns));
            const auto group = static_cast<std::size_t>(n_q / heads);
            const auto d_k = static_cast<std::size_t>(config.d_k);
            const auto d_v = static_cast<std::size_t>(config.d_v);
            float* const weight_rows = weights ? weights->data() : nullptr;
            auto task = [&](std::size_t h) {
                state.layer.attend_queries(h, queries.data() + h * group * d_k, group, out + h * group * d_v,
                                           weight_rows == nullptr ? nullptr : weight_rows + h * group * columns,
                                           columns);
            };
            for_each_head(state, state.layer.attend_work(static_cast<std::size_t>(n_q)), task);
            // Only once every head has attended: a failure leaves every
            // head's scores as they were.
            state.layer.commit_scores();
        }
        return fresh ? fresh->release() : given->result();
    });
}

PyObject* layer_cache_clear(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::write);
        CacheAccess::Lock lock(state.access);
        state.layer.clear();
        Py_RETURN_NONE;
    });
}

}  // namespace marrowvale
