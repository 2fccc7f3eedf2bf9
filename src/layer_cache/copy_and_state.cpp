// LayerCache's copies and states: copy(), with_strategy(), copy.deepcopy,
// pickling, and to_bytes() / from_bytes() over the layer's state format.
#include <array>
#include <new>
#include <optional>

#include "binding/arg_binding.hpp"
#include "binding/buffer_view.hpp"
#include "binding/errors.hpp"
#include "binding/panic.hpp"
#include "binding/recursion_guard.hpp"
#include "layer/state_format.hpp"
#include "layer_cache/layer_arguments.hpp"
#include "layer_cache/layer_cache_object.hpp"
#include "layer_cache/messages.hpp"

namespace marrowvale {
namespace {

constexpr std::array<const char*, 2> kFromBytesParams = {"data", "threads"};
std::array<PyObject*, 2> g_from_bytes_names{};
constexpr std::array<const char*, kStrategySlots> kWithStrategyParams = {
    "strategy", "window_size", "static_k", "recent_k", "threshold", "merge_every", "budget", "recent"};
std::array<PyObject*, kStrategySlots> g_with_strategy_names{};

}  // namespace

PyObject* layer_cache_copy(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::read);
        std::optional<Layer> copy;
        {
            CacheAccess::Lock lock(state.access);
            copy.emplace(state.layer);
        }
        return wrap(Py_TYPE(self), std::move(*copy), state.threads);
    });
}

PyObject* layer_cache_with_strategy(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.with_strategy", kWithStrategyParams, 1,
                                             g_with_strategy_names, kStrategySlots - 1};
        std::array<PyRef, kStrategySlots> slots;
        bind_tuple(signature, args, kwargs, slots);
        RecursionGuard depth(messages::kLayerRecursion);
        LayerCacheState& state = state_of(self);
        LayerConfig config;
        config.n_heads = state.layer.config().n_heads;
        config.d_k = state.layer.config().d_k;
        config.d_v = state.layer.config().d_v;
        config.tier = state.layer.config().tier;
        read_strategy(slots, config);
        CacheAccess::Borrow borrow(state.access, Access::read);
        std::optional<Layer> recast;
        {
            CacheAccess::Lock lock(state.access);
            recast.emplace(state.layer.recast(std::move(config)));
        }
        return wrap(Py_TYPE(self), std::move(*recast), state.threads);
    });
}

PyObject* layer_cache_deepcopy(PyObject* self, PyObject*) { return layer_cache_copy(self, nullptr); }

PyObject* layer_cache_to_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::read);
        CacheAccess::Lock lock(state.access);
        state.layer.settle();
        const std::size_t size = state_size(state.layer);
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        // A bytes object is allocated without running Python code.
        PyRef bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        write_state(state.layer, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get())));
        return bytes.release();
    });
}

PyObject* layer_cache_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.from_bytes", kFromBytesParams, 1, g_from_bytes_names};
        std::array<PyObject*, 2> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        RecursionGuard depth(messages::kLayerRecursion);
        std::optional<Layer> layer;
        {
            BufferView data;
            if (!data.acquire(slots[0], PyBUF_SIMPLE)) {
                if (!buffer_request_refused()) throw PythonErrorSet{};
                PyErr_Clear();
                raise_format(PyExc_TypeError, messages::kStateNotBytes, Py_TYPE(slots[0])->tp_name);
            }
            try {
                layer.emplace(read_state({static_cast<const unsigned char*>(data->buf), static_cast<std::size_t>(data->len)}));
            } catch (const StateError& problem) {
                raise_value_error(messages::kInvalidState + problem.text());
            }
        }
        const std::size_t threads = thread_count(slots[1], layer->config().n_heads);
        return wrap(reinterpret_cast<PyTypeObject*>(cls), std::move(*layer), threads);
    });
}

PyObject* layer_cache_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyRef restore = checked(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "from_bytes"));
        PyRef state = checked(layer_cache_to_bytes(self, nullptr));
        return checked(Py_BuildValue("(O(O))", restore.get(), state.get())).release();
    });
}

}  // namespace marrowvale
