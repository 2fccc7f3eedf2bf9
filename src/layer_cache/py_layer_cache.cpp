#include "layer_cache/py_layer_cache.hpp"

#include <array>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "cache/messages.hpp"
#include "arg_binding.hpp"
#include "layer_cache/array_input.hpp"
#include "layer_cache/array_output.hpp"
#include "layer_cache/cache_access.hpp"
#include "layer_cache/fork_safety.hpp"
#include "layer_cache/layer.hpp"
#include "layer_cache/layer_arguments.hpp"
#include "layer_cache/layer_state.hpp"
#include "layer_cache/worker_pool.hpp"
#include "panic.hpp"
#include "recursion_guard.hpp"

namespace marrowvale {
namespace {

// Below this many multiply-adds a call computes on the calling thread and
// keeps the interpreter lock: waking helpers and handing the lock over
// would cost more than the work (a few tens of microseconds).
constexpr std::uint64_t kParallelWork = std::uint64_t{1} << 17;

struct LayerCacheState {
    Layer layer;
    CacheAccess access;
    std::size_t threads;
};

struct LayerCacheObject {
    PyObject_HEAD
    // Null only in an instance the constructor never made; the class is
    // immutable, so Python code cannot replace __new__ to make one, and the
    // allocator's zeros would show it if it could.
    LayerCacheState* state;
};

PyObject* g_class = nullptr;

LayerCacheState& state_of(PyObject* self) {
    LayerCacheState* state = reinterpret_cast<LayerCacheObject*>(self)->state;
    if (state == nullptr) {
        PyErr_SetString(PyExc_TypeError, messages::kLayerNotInitialised);
        throw PythonErrorSet{};
    }
    return *state;
}

// Python code run by a conversion may call into a cache again, and again:
// each level keeps our frames on the thread's stack.
class LayerRecursionGuard : public RecursionGuard {
public:
    LayerRecursionGuard() : RecursionGuard(messages::kLayerRecursionWhere, messages::kLayerStackNearlyFull) {}
};

PyObject* wrap(PyTypeObject* type, Layer layer, std::size_t threads) {
    std::unique_ptr<LayerCacheState> state(new LayerCacheState{std::move(layer), {}, threads});
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PythonErrorSet{};
    reinterpret_cast<LayerCacheObject*>(self)->state = state.release();
    return self;
}

// Runs task(h) for every head. Large work runs without the interpreter
// lock, spread over the cache's threads; each head's result is the same
// whichever thread computes it.
template <typename Task>
void for_each_head(const LayerCacheState& state, std::uint64_t work, Task& task) {
    const std::size_t heads = state.layer.n_heads();
    if (work < kParallelWork) {
        for (std::size_t h = 0; h < heads; ++h) task(h);
        return;
    }
    WithoutInterpreterLock released;
    ComputePhase phase;
    run_tasks(heads, state.threads - 1, task);
}

Py_ssize_t ssize(std::uint64_t value) { return static_cast<Py_ssize_t>(value); }

// ---- constructor ---------------------------------------------------------

PyObject* layer_cache_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* keywords[] = {"n_heads",  "d_k",         "d_v",     "strategy",
                                         "window_size", "static_k", "recent_k", "threshold",
                                         "merge_every", "threads",  nullptr};
        PyObject* values[10] = {};
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO|O$OOOOOO:LayerCache", const_cast<char**>(keywords),
                                         &values[0], &values[1], &values[2], &values[3], &values[4], &values[5],
                                         &values[6], &values[7], &values[8], &values[9])) {
            throw PythonErrorSet{};
        }
        LayerRecursionGuard depth;
        LayerConfig config = layer_config(values[0], values[1], values[2], values[3], values[4], values[5],
                                          values[6], values[7], values[8]);
        const std::size_t threads = thread_count(values[9], config.n_heads);
        return wrap(type, Layer(std::move(config)), threads);
    });
}

void layer_cache_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<LayerCacheObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- adding entries ------------------------------------------------------

constexpr std::array<const char*, 2> kAppendParams = {"k", "v"};
constexpr std::array<const char*, 2> kExtendParams = {"K", "V"};
std::array<PyObject*, 2> g_append_names{};
std::array<PyObject*, 2> g_extend_names{};

PyObject* layer_cache_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.append", kAppendParams, 2, g_append_names};
        std::array<PyObject*, 2> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        LayerRecursionGuard depth;
        LayerCacheState& state = state_of(self);
        const LayerConfig& config = state.layer.config();
        CacheAccess::Borrow borrow(state.access, Access::write);
        FloatArgument keys;
        keys.read(slots[0], "k", {2, {ssize(config.n_heads), ssize(config.d_k)}});
        FloatArgument values;
        values.read(slots[1], "v", {2, {ssize(config.n_heads), ssize(config.d_v)}});
        CacheAccess::Lock lock(state.access);
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
        LayerRecursionGuard depth;
        LayerCacheState& state = state_of(self);
        const LayerConfig& config = state.layer.config();
        CacheAccess::Borrow borrow(state.access, Access::write);
        // Every token of every head is read and checked before the first
        // is stored.
        FloatArgument keys;
        keys.read(slots[0], "K", {3, {ExpectedShape::kFree, ssize(config.n_heads), ssize(config.d_k)}, "T"});
        const Py_ssize_t tokens = keys.dim(0);
        FloatArgument values;
        values.read(slots[1], "V", {3, {tokens, ssize(config.n_heads), ssize(config.d_v)}});
        CacheAccess::Lock lock(state.access);
        const auto d_k = static_cast<std::size_t>(config.d_k);
        const auto d_v = static_cast<std::size_t>(config.d_v);
        const auto heads = static_cast<std::size_t>(config.n_heads);
        auto task = [&](std::size_t h) {
            state.layer.append_tokens(h, keys.data() + h * d_k, heads * d_k, values.data() + h * d_v, heads * d_v,
                                      static_cast<std::size_t>(tokens));
        };
        for_each_head(state, state.layer.append_work(static_cast<std::size_t>(tokens)), task);
        Py_RETURN_NONE;
    });
}

// ---- attention -----------------------------------------------------------

constexpr std::array<const char*, 2> kAttendParams = {"q", "out"};
std::array<PyObject*, 2> g_attend_names{};

PyObject* layer_cache_attend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.attend", kAttendParams, 1, g_attend_names};
        std::array<PyObject*, 2> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        LayerRecursionGuard depth;
        LayerCacheState& state = state_of(self);
        const LayerConfig& config = state.layer.config();
        CacheAccess::Borrow borrow(state.access, Access::read);
        FloatArgument queries;
        queries.read(slots[0], "q", {2, {ExpectedShape::kFree, ssize(config.d_k)}, "n_q"});
        const Py_ssize_t n_q = queries.dim(0);
        const auto heads = ssize(config.n_heads);
        if (n_q % heads != 0) {
            PyErr_Format(PyExc_ValueError, messages::kQueriesNotGrouped, ssize(config.d_k), heads, n_q,
                         ssize(config.d_k));
            throw PythonErrorSet{};
        }
        std::optional<NewArray> fresh;
        std::optional<OutputArgument> given;
        float* out;
        if (slots[1] == nullptr || slots[1] == Py_None) {
            fresh.emplace(Element::float32, std::initializer_list<Py_ssize_t>{n_q, ssize(config.d_v)});
            out = static_cast<float*>(fresh->data());
        } else {
            given.emplace(slots[1], n_q, ssize(config.d_v));
            out = given->data();
            // Each output row is written while later queries are still read.
            queries.separate_from(out, out + given->size());
        }
        {
            CacheAccess::Lock lock(state.access);
            const auto group = static_cast<std::size_t>(n_q / heads);
            const auto d_k = static_cast<std::size_t>(config.d_k);
            const auto d_v = static_cast<std::size_t>(config.d_v);
            auto task = [&](std::size_t h) {
                state.layer.attend_queries(h, queries.data() + h * group * d_k, group, out + h * group * d_v);
            };
            for_each_head(state, state.layer.attend_work(static_cast<std::size_t>(n_q)), task);
        }
        return fresh ? fresh->release() : given->result();
    });
}

// ---- looking inside ------------------------------------------------------

enum class Rows { keys, values, spans };

PyObject* head_rows(PyObject* self, PyObject* arg, Rows rows) {
    return guarded([&]() -> PyObject* {
        LayerRecursionGuard depth;
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::read);
        const std::size_t h = head_index(arg, state.layer.n_heads());
        CacheAccess::Lock lock(state.access);
        // NumPy's array constructor, called under the lock, runs no Python
        // code (the collector only runs from the interpreter's loop), so
        // nothing can call back into this cache meanwhile.
        const KVCache& head = state.layer.head(h);
        const auto held = static_cast<Py_ssize_t>(head.length());
        const void* source = nullptr;
        std::size_t bytes = 0;
        std::optional<NewArray> array;
        if (rows == Rows::spans) {
            array.emplace(Element::int64, std::initializer_list<Py_ssize_t>{held, 2});
            source = held != 0 ? head.spans().row(0) : nullptr;
            bytes = static_cast<std::size_t>(held) * 2 * sizeof(std::int64_t);
        } else {
            const EntryList& list = rows == Rows::keys ? head.keys() : head.values();
            array.emplace(Element::float32, std::initializer_list<Py_ssize_t>{held, ssize(list.width())});
            source = held != 0 ? list.row(0) : nullptr;
            bytes = static_cast<std::size_t>(held) * static_cast<std::size_t>(list.width()) * sizeof(float);
        }
        if (bytes != 0) std::memcpy(array->data(), source, bytes);
        return array->release();
    });
}

PyObject* layer_cache_keys(PyObject* self, PyObject* arg) { return head_rows(self, arg, Rows::keys); }
PyObject* layer_cache_values(PyObject* self, PyObject* arg) { return head_rows(self, arg, Rows::values); }
PyObject* layer_cache_spans(PyObject* self, PyObject* arg) { return head_rows(self, arg, Rows::spans); }

PyObject* layer_cache_lengths(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::read);
        std::vector<std::size_t> lengths;
        {
            CacheAccess::Lock lock(state.access);
            for (std::size_t h = 0; h < state.layer.n_heads(); ++h) lengths.push_back(state.layer.head(h).length());
        }
        PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(lengths.size())));
        for (std::size_t h = 0; h < lengths.size(); ++h) {
            PyObject* length = PyLong_FromSize_t(lengths[h]);
            if (length == nullptr) throw PythonErrorSet{};
            PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(h), length);
        }
        return list.release();
    });
}

void set_item(PyObject* dict, const char* key, PyRef value) {
    if (!value || PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonErrorSet{};
}

PyObject* layer_cache_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::read);
        KVCacheCounters totals;
        std::vector<std::uint64_t> sizes;
        std::uint64_t bytes;
        {
            CacheAccess::Lock lock(state.access);
            // Sums cannot wrap: every head counts the same appends, and a
            // restored state is refused when their sum would not fit.
            for (std::size_t h = 0; h < state.layer.n_heads(); ++h) {
                const KVCache& head = state.layer.head(h);
                totals.total_appends += head.total_appends();
                totals.total_merges += head.total_merges();
                totals.total_evictions += head.total_evictions();
                totals.current_size += head.current_size();
                sizes.push_back(head.current_size());
            }
            bytes = state.layer.storage_bytes();
        }
        PyRef dict = checked(PyDict_New());
        set_item(dict.get(), "total_appends", PyRef::steal(PyLong_FromUnsignedLongLong(totals.total_appends)));
        set_item(dict.get(), "total_merges", PyRef::steal(PyLong_FromUnsignedLongLong(totals.total_merges)));
        set_item(dict.get(), "total_evictions", PyRef::steal(PyLong_FromUnsignedLongLong(totals.total_evictions)));
        set_item(dict.get(), "current_size", PyRef::steal(PyLong_FromUnsignedLongLong(totals.current_size)));
        // Over all heads, as PyKVCache reports one head.
        const float ratio = totals.compression_ratio();
        set_item(dict.get(), "compression_ratio", PyRef::steal(PyFloat_FromDouble(static_cast<double>(ratio))));
        const std::string& name = state.layer.config().strategy;
        set_item(dict.get(), "strategy",
                 PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))));
        PyRef per_head = checked(PyList_New(static_cast<Py_ssize_t>(sizes.size())));
        for (std::size_t h = 0; h < sizes.size(); ++h) {
            PyObject* size = PyLong_FromUnsignedLongLong(sizes[h]);
            if (size == nullptr) throw PythonErrorSet{};
            PyList_SET_ITEM(per_head.get(), static_cast<Py_ssize_t>(h), size);
        }
        set_item(dict.get(), "per_head_size", std::move(per_head));
        set_item(dict.get(), "nbytes", PyRef::steal(PyLong_FromUnsignedLongLong(bytes)));
        return dict.release();
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

PyObject* layer_cache_sizeof(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::read);
        CacheAccess::Lock lock(state.access);
        const std::uint64_t size = static_cast<std::uint64_t>(Py_TYPE(self)->tp_basicsize) + sizeof(LayerCacheState) +
                                   state.layer.n_heads() * sizeof(KVCache) + state.layer.storage_bytes();
        return PyLong_FromUnsignedLongLong(size);
    });
}

// ---- copies and states ---------------------------------------------------

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

PyObject* layer_cache_deepcopy(PyObject* self, PyObject*) { return layer_cache_copy(self, nullptr); }

PyObject* layer_cache_to_bytes(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::read);
        CacheAccess::Lock lock(state.access);
        const std::size_t size = state_size(state.layer);
        if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        // A bytes object is allocated without running Python code.
        PyRef bytes = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
        write_state(state.layer, reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(bytes.get())));
        return bytes.release();
    });
}

constexpr std::array<const char*, 2> kFromBytesParams = {"data", "threads"};
std::array<PyObject*, 2> g_from_bytes_names{};

PyObject* layer_cache_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"LayerCache.from_bytes", kFromBytesParams, 1, g_from_bytes_names};
        std::array<PyObject*, 2> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        LayerRecursionGuard depth;
        Py_buffer view;
        if (PyObject_GetBuffer(slots[0], &view, PyBUF_SIMPLE) < 0) {
            if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonErrorSet{};
            PyErr_Clear();
            PyErr_Format(PyExc_TypeError, messages::kStateNotBytes, Py_TYPE(slots[0])->tp_name);
            throw PythonErrorSet{};
        }
        std::optional<Layer> layer;
        try {
            layer.emplace(read_state({static_cast<const unsigned char*>(view.buf), static_cast<std::size_t>(view.len)}));
        } catch (const StateError& problem) {
            PyBuffer_Release(&view);
            PyErr_Format(PyExc_ValueError, messages::kInvalidState, problem.what());
            throw PythonErrorSet{};
        } catch (...) {
            PyBuffer_Release(&view);
            throw;
        }
        PyBuffer_Release(&view);
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

// ---- attributes ----------------------------------------------------------

// The configuration never changes after construction: read without a lock.
const LayerConfig& config_of(PyObject* self) { return state_of(self).layer.config(); }

PyObject* get_n_heads(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLongLong(config_of(self).n_heads); });
}
PyObject* get_d_k(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLongLong(config_of(self).d_k); });
}
PyObject* get_d_v(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromUnsignedLongLong(config_of(self).d_v); });
}
PyObject* get_threads(PyObject* self, void*) {
    return guarded([&] { return PyLong_FromSize_t(state_of(self).threads); });
}
PyObject* get_strategy(PyObject* self, void*) {
    return guarded([&] {
        const std::string& name = config_of(self).strategy;
        return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    });
}

PyObject* layer_cache_repr(PyObject* self) {
    return guarded([&] {
        const LayerCacheState& state = state_of(self);
        const LayerConfig& config = state.layer.config();
        return PyUnicode_FromFormat("LayerCache(%llu, %llu, %llu, '%s', threads=%zu)",
                                    static_cast<unsigned long long>(config.n_heads),
                                    static_cast<unsigned long long>(config.d_k),
                                    static_cast<unsigned long long>(config.d_v), config.strategy.c_str(),
                                    state.threads);
    });
}

PyGetSetDef kGetSet[] = {
    {"n_heads", get_n_heads, nullptr, "Key/value heads.", nullptr},
    {"d_k", get_d_k, nullptr, "Length of a key (and of a query).", nullptr},
    {"d_v", get_d_v, nullptr, "Length of a value.", nullptr},
    {"strategy", get_strategy, nullptr, "Name of the compression strategy.", nullptr},
    {"threads", get_threads, nullptr, "Threads a call may use (at most one per head).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <typename Function>
PyCFunction method(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef kMethods[] = {
    {"append", method(layer_cache_append), METH_FASTCALL | METH_KEYWORDS,
     "append($self, k, v)\n--\n\nStore one token: k of shape (n_heads, d_k), v of shape (n_heads, d_v)."},
    {"extend", method(layer_cache_extend), METH_FASTCALL | METH_KEYWORDS,
     "extend($self, K, V)\n--\n\nStore T tokens: K of shape (T, n_heads, d_k), V of shape (T, n_heads, d_v);\n"
     "the same as T appends."},
    {"attend", method(layer_cache_attend), METH_FASTCALL | METH_KEYWORDS,
     "attend($self, q, out=None)\n--\n\nAttention of q, shape (n_q, d_k) with n_q a multiple of n_heads: query\n"
     "row j reads head j // (n_q // n_heads). Returns a float32 array (n_q, d_v),\n"
     "or writes into out and returns it."},
    {"spans", method(layer_cache_spans), METH_O,
     "spans($self, head, /)\n--\n\nFirst and last token index each held entry of the head covers: int64 (held, 2)."},
    {"lengths", method(layer_cache_lengths), METH_NOARGS,
     "lengths($self, /)\n--\n\nEntries held by each head, as a list of ints."},
    {"keys", method(layer_cache_keys), METH_O, "keys($self, head, /)\n--\n\nA copy of the head's keys: float32 (held, d_k)."},
    {"values", method(layer_cache_values), METH_O,
     "values($self, head, /)\n--\n\nA copy of the head's values: float32 (held, d_v)."},
    {"stats", method(layer_cache_stats), METH_NOARGS, "stats($self, /)\n--\n\nCounters summed over heads."},
    {"clear", method(layer_cache_clear), METH_NOARGS,
     "clear($self, /)\n--\n\nDrop every entry; the cumulative counters stay."},
    {"copy", method(layer_cache_copy), METH_NOARGS, "copy($self, /)\n--\n\nAn independent copy."},
    {"__copy__", method(layer_cache_copy), METH_NOARGS, "__copy__($self, /)\n--\n\nAn independent copy."},
    {"__deepcopy__", method(layer_cache_deepcopy), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nAn independent copy."},
    {"__reduce__", method(layer_cache_reduce), METH_NOARGS, "__reduce__($self, /)\n--\n\nPickling, by the state."},
    {"__sizeof__", method(layer_cache_sizeof), METH_NOARGS, "__sizeof__($self, /)\n--\n\nBytes held, storage included."},
    {"to_bytes", method(layer_cache_to_bytes), METH_NOARGS,
     "to_bytes($self, /)\n--\n\nThe cache's state: versioned, little-endian bytes (threads not included)."},
    {"from_bytes", method(layer_cache_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_bytes($type, data, threads=None)\n--\n\nThe cache a state from to_bytes describes."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kClassDoc =
    "LayerCache(n_heads, d_k, d_v, strategy=\"full\", *, window_size=512, static_k=32, recent_k=128, "
    "threshold=0.9, merge_every=4, threads=None)\n--\n\n"
    "Key/value caches of every head of one attention layer, one compressing cache per\n"
    "head, read and written as arrays.";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(layer_cache_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(layer_cache_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(layer_cache_repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "marrowvale.LayerCache",
    static_cast<int>(sizeof(LayerCacheObject)),
    0,
    // Immutable: Python code cannot replace __new__ and so make an instance
    // the constructor never saw.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

}  // namespace

PyObject* layer_cache_class() {
    if (g_class == nullptr) g_class = PyType_FromSpec(&kSpec);
    return g_class;
}

}  // namespace marrowvale
