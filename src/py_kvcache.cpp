#include "py_kvcache.hpp"

#include <array>
#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "binding/arg_binding.hpp"
#include "binding/borrow.hpp"
#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "binding/float_buffer.hpp"
#include "binding/panic.hpp"
#include "binding/recursion_guard.hpp"
#include "binding/stats.hpp"
#include "cache/kv_cache.hpp"
#include "strategies/make_strategy.hpp"

namespace marrowvale {
namespace {

constexpr char kNotInitialised[] =
    "this PyKVCache was not initialised: it was made without PyKVCache's constructor, so it holds no cache";
// The interpreter's "maximum recursion depth exceeded" comes first.
constexpr RecursionMessages kRecursion{
    " while calling a PyKVCache method",
    "maximum recursion depth exceeded while calling a PyKVCache method (the thread's stack is nearly full)"};

struct PyKVCacheObject {
    PyObject_HEAD
    // Valid only while `initialised`: Python code can replace __new__ of
    // this (mutable) class and so make an instance that the constructor
    // never saw. The allocator fills such an instance with zeros, so the
    // flag reads false there.
    bool initialised;
    KVCache cache;
    // Calls never overlap across threads (the interpreter lock is held
    // throughout); the flag guards against Python code run by an argument's
    // conversion calling back into this instance.
    BorrowFlag borrows;
};

PyObject* g_class = nullptr;

// The instance behind a method's receiver. The method descriptor has
// already refused a receiver of another type; an instance without a cache
// is refused here.
PyKVCacheObject* receiver(PyObject* self) {
    auto* object = reinterpret_cast<PyKVCacheObject*>(self);
    if (!object->initialised) {
        PyErr_SetString(PyExc_TypeError, kNotInitialised);
        throw PythonErrorSet{};
    }
    return object;
}

void convert_sequence(PyObject* object, const char* parameter, FloatBuffer& out) {
    try {
        sequence_to_floats(object, out);
    } catch (const PythonErrorSet&) {
        raise_argument_error(parameter);
    }
}

// ---- constructor ---------------------------------------------------------

constexpr std::array<const char*, 8> kConstructorParams = {
    "d_k", "d_v", "strategy", "window_size", "static_k", "recent_k", "threshold", "merge_every"};
std::array<PyObject*, kConstructorParams.size()> g_constructor_names{};

struct ConstructorArgs {
    std::uint64_t d_k = 64;
    std::uint64_t d_v = 64;
    std::string_view strategy = "full";
    StrategyParameters parameters;
};

template <typename Value, typename Convert>
void convert_parameter(const PyRef& slot, std::size_t index, Value& out, Convert convert) {
    if (!slot) return;
    try {
        out = convert(slot.get());
    } catch (const PythonErrorSet&) {
        raise_argument_error(kConstructorParams[index]);
    }
}

std::unique_ptr<CacheStrategy> select_strategy(const ConstructorArgs& args) {
    const std::string_view name = args.strategy;
    // PyKVCache's attend only reads, so it offers no strategy that scores.
    if (std::unique_ptr<CacheStrategy> strategy = make_strategy(name, args.parameters, StrategySet::unscored)) {
        return strategy;
    }
    raise_value_error(unknown_strategy_message(name, StrategySet::unscored));
}

PyObject* kvcache_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"PyKVCache.__new__", kConstructorParams, 0, g_constructor_names};
        std::array<PyRef, kConstructorParams.size()> slots;
        bind_tuple(signature, args, kwargs, slots);
        RecursionGuard depth(kRecursion);

        ConstructorArgs converted;
        convert_parameter(slots[0], 0, converted.d_k, to_u64);
        convert_parameter(slots[1], 1, converted.d_v, to_u64);
        convert_parameter(slots[2], 2, converted.strategy, to_utf8);
        convert_parameter(slots[3], 3, converted.parameters.window_size, to_u64);
        convert_parameter(slots[4], 4, converted.parameters.static_k, to_u64);
        convert_parameter(slots[5], 5, converted.parameters.recent_k, to_u64);
        convert_parameter(slots[6], 6, converted.parameters.threshold, to_f32);
        convert_parameter(slots[7], 7, converted.parameters.merge_every, to_u64);

        KVCache cache(converted.d_k, converted.d_v, select_strategy(converted));
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) throw PythonErrorSet{};
        auto* object = reinterpret_cast<PyKVCacheObject*>(self);
        new (&object->cache) KVCache(std::move(cache));
        new (&object->borrows) BorrowFlag();
        object->initialised = true;
        return self;
    });
}

void kvcache_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    auto* object = reinterpret_cast<PyKVCacheObject*>(self);
    if (object->initialised) object->cache.~KVCache();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- methods -------------------------------------------------------------

constexpr std::array<const char*, 2> kAppendParams = {"k", "v"};
constexpr std::array<const char*, 1> kAttendParams = {"q"};
std::array<PyObject*, kAppendParams.size()> g_append_names{};
std::array<PyObject*, kAttendParams.size()> g_attend_names{};

// append, attend and the constructor run Python code while they convert
// their arguments, which may call in again: each of them holds a
// RecursionGuard from after binding to the end. The other methods run no
// Python code and cannot nest.

PyObject* kvcache_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"PyKVCache.append", kAppendParams, kAppendParams.size(), g_append_names};
        std::array<PyObject*, 2> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        PyKVCacheObject* object = receiver(self);
        RecursionGuard depth(kRecursion);
        Borrow borrow(object->borrows, Access::write);
        FloatBuffer key;
        FloatBuffer value;
        convert_sequence(slots[0], "k", key);
        convert_sequence(slots[1], "v", value);
        object->cache.append(key.span(), value.span());
        Py_RETURN_NONE;
    });
}

PyObject* kvcache_attend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"PyKVCache.attend", kAttendParams, kAttendParams.size(), g_attend_names};
        std::array<PyObject*, 1> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        PyKVCacheObject* object = receiver(self);
        RecursionGuard depth(kRecursion);
        Borrow borrow(object->borrows, Access::read);
        FloatBuffer query;
        convert_sequence(slots[0], "q", query);
        const std::uint64_t d_v = object->cache.d_v();
        if (d_v > static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
        // The result list comes first: an impossible d_v fails here, before
        // the output is computed.
        PyRef result = checked(PyList_New(static_cast<Py_ssize_t>(d_v)));
        FloatBuffer output;
        output.resize_for_overwrite(static_cast<std::size_t>(d_v));
        object->cache.attend(query.span(), output.data());
        fill_float_list(result.get(), output.span());
        return result.release();
    });
}

PyObject* kvcache_current_len(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyKVCacheObject* object = receiver(self);
        Borrow borrow(object->borrows, Access::read);
        return PyLong_FromSize_t(object->cache.length());
    });
}

PyObject* kvcache_clear(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyKVCacheObject* object = receiver(self);
        Borrow borrow(object->borrows, Access::write);
        object->cache.clear();
        Py_RETURN_NONE;
    });
}

PyObject* kvcache_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyKVCacheObject* object = receiver(self);
        Borrow borrow(object->borrows, Access::read);
        const KVCache& cache = object->cache;
        return stats_dict(cache.counters(), cache.strategy_name()).release();
    });
}

PyMethodDef kMethods[] = {
    {"append", as_method(kvcache_append),
     METH_FASTCALL | METH_KEYWORDS, "append($self, k, v)\n--\n\n"},
    {"attend", as_method(kvcache_attend),
     METH_FASTCALL | METH_KEYWORDS, "attend($self, q)\n--\n\n"},
    {"current_len", kvcache_current_len, METH_NOARGS, "current_len($self)\n--\n\n"},
    {"clear", kvcache_clear, METH_NOARGS, "clear($self)\n--\n\n"},
    {"stats", kvcache_stats, METH_NOARGS, "stats($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char* kClassDoc =
    "PyKVCache(d_k=64, d_v=64, strategy=\"full\", window_size=512, static_k=32, recent_k=128, "
    "threshold=0.90, merge_every=4)\n--\n\n";

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(kvcache_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(kvcache_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.PyKVCache",
    static_cast<int>(sizeof(PyKVCacheObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* kvcache_class() {
    if (g_class == nullptr) g_class = PyType_FromSpec(&kSpec);
    return g_class;
}

}  // namespace marrowvale
