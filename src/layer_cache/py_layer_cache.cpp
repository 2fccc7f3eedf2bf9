#include "layer_cache/py_layer_cache.hpp"

#include <memory>
#include <string>

#include "binding/arg_binding.hpp"
#include "binding/panic.hpp"
#include "layer_cache/layer_arguments.hpp"
#include "layer_cache/layer_cache_object.hpp"
#include "layer_cache/messages.hpp"

namespace marrowvale {

LayerCacheState& state_of(PyObject* self) {
    LayerCacheState* state = reinterpret_cast<LayerCacheObject*>(self)->state;
    if (state == nullptr) {
        PyErr_SetString(PyExc_TypeError, messages::kLayerNotInitialised);
        throw PythonErrorSet{};
    }
    return *state;
}

PyObject* wrap(PyTypeObject* type, Layer layer, std::size_t threads) {
    std::unique_ptr<LayerCacheState> state(new LayerCacheState{std::move(layer), {}, threads});
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) throw PythonErrorSet{};
    reinterpret_cast<LayerCacheObject*>(self)->state = state.release();
    return self;
}

namespace {

PyObject* g_class = nullptr;

// ---- construction ----------------------------------------------------------

PyObject* layer_cache_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        ConstructorArguments arguments = constructor_arguments(args, kwargs);
        return wrap(type, Layer(std::move(arguments.config)), arguments.threads);
    });
}

void layer_cache_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<LayerCacheObject*>(self)->state;
    type->tp_free(self);
    Py_DECREF(type);
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

PyObject* get_dtype(PyObject* self, void*) {
    return guarded([&] {
        const std::string_view name = tier_name(config_of(self).tier);
        return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
    });
}

PyObject* layer_cache_repr(PyObject* self) {
    return guarded([&] {
        const LayerCacheState& state = state_of(self);
        const LayerConfig& config = state.layer.config();
        // The default tier is left out, as a call would leave it out.
        const std::string tier = config.tier == StorageTier::float32
                                     ? std::string()
                                     : ", dtype='" + std::string(tier_name(config.tier)) + "'";
        return PyUnicode_FromFormat("LayerCache(%llu, %llu, %llu, '%s', threads=%zu%s)",
                                    static_cast<unsigned long long>(config.n_heads),
                                    static_cast<unsigned long long>(config.d_k),
                                    static_cast<unsigned long long>(config.d_v), config.strategy.c_str(),
                                    state.threads, tier.c_str());
    });
}

PyGetSetDef kGetSet[] = {
    {"n_heads", get_n_heads, nullptr, "Key/value heads.", nullptr},
    {"d_k", get_d_k, nullptr, "Length of a key (and of a query).", nullptr},
    {"d_v", get_d_v, nullptr, "Length of a value.", nullptr},
    {"strategy", get_strategy, nullptr, "Name of the compression strategy.", nullptr},
    {"threads", get_threads, nullptr, "Threads a call may use (at most one per head).", nullptr},
    {"dtype", get_dtype, nullptr, "How keys and values are stored: 'float32', 'bfloat16' or 'int8'.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef kMethods[] = {
    {"append", as_method(layer_cache_append), METH_FASTCALL | METH_KEYWORDS,
     "append($self, k, v)\n--\n\nStore one token: k of shape (n_heads, d_k), v of shape (n_heads, d_v)."},
    {"extend", as_method(layer_cache_extend), METH_FASTCALL | METH_KEYWORDS,
     "extend($self, K, V)\n--\n\nStore T tokens: K of shape (T, n_heads, d_k), V of shape (T, n_heads, d_v);\n"
     "the same as T appends."},
    {"attend", as_method(layer_cache_attend), METH_FASTCALL | METH_KEYWORDS,
     "attend($self, q, out=None, weights=None)\n--\n\nAttention of q, shape (n_q, d_k) with n_q a multiple of n_heads: query\n"
     "row j reads head j // (n_q // n_heads). Returns a float32 array (n_q, d_v),\n"
     "or writes into out and returns it. weights, a float32 array (n_q, entries of\n"
     "the longest head), receives each query's softmax weights (zeros past its\n"
     "head's entries)."},
    {"compress", as_method(layer_cache_compress), METH_FASTCALL | METH_KEYWORDS,
     "compress($self, queries, keep, pool=7)\n--\n\nKeep at most keep entries per head, chosen once by the attention of\n"
     "queries, shape (n_q, w, d_k): the last w queries of each query head. The\n"
     "newest w entries stay; the others by their weights summed over the group's\n"
     "queries and max-pooled over pool (odd) neighbours, the newer of equals first."},
    {"retain", as_method(layer_cache_retain), METH_FASTCALL | METH_KEYWORDS,
     "retain($self, index)\n--\n\nKeep only the given entries of each head, in order: index is a boolean\n"
     "mask (n_heads, entries) or one index array (or mask) per head."},
    {"spans", as_method(layer_cache_spans), METH_O,
     "spans($self, head, /)\n--\n\nFirst and last token index each held entry of the head covers: int64 (held, 2)."},
    {"scores", as_method(layer_cache_scores), METH_O,
     "scores($self, head, /)\n--\n\nThe strategy's score of each held entry of the head: float32 (held,)."},
    {"lengths", as_method(layer_cache_lengths), METH_NOARGS,
     "lengths($self, /)\n--\n\nEntries held by each head, as a list of ints."},
    {"keys", as_method(layer_cache_keys), METH_O, "keys($self, head, /)\n--\n\nA copy of the head's keys: float32 (held, d_k)."},
    {"values", as_method(layer_cache_values), METH_O,
     "values($self, head, /)\n--\n\nA copy of the head's values: float32 (held, d_v)."},
    {"stats", as_method(layer_cache_stats), METH_NOARGS, "stats($self, /)\n--\n\nCounters summed over heads."},
    {"clear", as_method(layer_cache_clear), METH_NOARGS,
     "clear($self, /)\n--\n\nDrop every entry; the cumulative counters stay."},
    {"copy", as_method(layer_cache_copy), METH_NOARGS, "copy($self, /)\n--\n\nAn independent copy."},
    {"with_strategy", as_method(layer_cache_with_strategy), METH_VARARGS | METH_KEYWORDS,
     "with_strategy($self, strategy, *, window_size=512, static_k=32, recent_k=128, threshold=0.9, merge_every=4, "
     "budget=512, recent=32)\n--\n\n"
     "A copy holding the same entries, spans and counters under another strategy, which acts\n"
     "from the next append on. The scores stay when the strategy is the same one."},
    {"__copy__", as_method(layer_cache_copy), METH_NOARGS, "__copy__($self, /)\n--\n\nAn independent copy."},
    {"__deepcopy__", as_method(layer_cache_deepcopy), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\nAn independent copy."},
    {"__reduce__", as_method(layer_cache_reduce), METH_NOARGS, "__reduce__($self, /)\n--\n\nPickling, by the state."},
    {"__sizeof__", as_method(layer_cache_sizeof), METH_NOARGS, "__sizeof__($self, /)\n--\n\nBytes held, storage included."},
    {"to_bytes", as_method(layer_cache_to_bytes), METH_NOARGS,
     "to_bytes($self, /)\n--\n\nThe cache's state: versioned, little-endian bytes (threads not included)."},
    {"from_bytes", as_method(layer_cache_from_bytes), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_bytes($type, data, threads=None)\n--\n\nThe cache a state from to_bytes describes."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kClassDoc =
    "LayerCache(n_heads, d_k, d_v, strategy=\"full\", *, window_size=512, static_k=32, recent_k=128, "
    "threshold=0.9, merge_every=4, budget=512, recent=32, threads=None, dtype=\"float32\")\n--\n\n"
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
