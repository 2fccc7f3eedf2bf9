#include "py_kvcache.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <string>

#include "arg_binding.hpp"
#include "cache/kv_cache.hpp"
#include "cache/precondition.hpp"
#include "conversions.hpp"
#include "float_buffer.hpp"
#include "panic.hpp"
#include "strategies/make_strategy.hpp"

namespace marrowvale {
namespace {

struct PyKVCacheObject {
    PyObject_HEAD
    KVCache cache;
    // 0 when free, n while n shared borrows are held, all ones while the one
    // exclusive borrow is held. Calls never overlap across threads (the
    // interpreter lock is held throughout); the flag guards against Python
    // code run by an argument's conversion calling back into this instance.
    std::uint64_t borrow_flag;
};

constexpr std::uint64_t kExclusive = std::numeric_limits<std::uint64_t>::max();

PyObject* g_class = nullptr;

class SharedBorrow {
public:
    explicit SharedBorrow(PyKVCacheObject* self) : flag_(self->borrow_flag) {
        if (flag_ == kExclusive) {
            PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
            throw PythonErrorSet{};
        }
        ++flag_;
    }
    ~SharedBorrow() { --flag_; }
    SharedBorrow(const SharedBorrow&) = delete;
    SharedBorrow& operator=(const SharedBorrow&) = delete;

private:
    std::uint64_t& flag_;
};

class ExclusiveBorrow {
public:
    explicit ExclusiveBorrow(PyKVCacheObject* self) : flag_(self->borrow_flag) {
        if (flag_ != 0) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            throw PythonErrorSet{};
        }
        flag_ = kExclusive;
    }
    ~ExclusiveBorrow() { flag_ = 0; }
    ExclusiveBorrow(const ExclusiveBorrow&) = delete;
    ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

private:
    std::uint64_t& flag_;
};

// The receiver of a method, checked against the class.
PyKVCacheObject* receiver(PyObject* self) {
    PyObject* cls = kvcache_class();
    if (cls == nullptr) {
        PyErr_Print();
        MARROWVALE_FAIL("failed to create type object for PyKVCache");
    }
    if (!PyObject_TypeCheck(self, reinterpret_cast<PyTypeObject*>(cls))) {
        PyRef name = type_qualname(self);
        if (!name) throw PythonErrorSet{};
        PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyKVCache'", name.get());
        throw PythonErrorSet{};
    }
    return reinterpret_cast<PyKVCacheObject*>(self);
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
    if (std::unique_ptr<CacheStrategy> strategy = make_strategy(name, args.parameters)) return strategy;
    std::string message = "unknown strategy '";
    message.append(name);
    message += "'. choose: full, sliding, static, merge, hybrid";
    PyRef text = checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "strict"));
    PyErr_SetObject(PyExc_ValueError, text.get());
    throw PythonErrorSet{};
}

PyObject* kvcache_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"PyKVCache.__new__", kConstructorParams, 0};
        std::array<PyRef, kConstructorParams.size()> slots;
        bind_tuple(signature, args, kwargs, slots);

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
        object->borrow_flag = 0;
        return self;
    });
}

void kvcache_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PyKVCacheObject*>(self)->cache.~KVCache();
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- methods -------------------------------------------------------------

constexpr std::array<const char*, 2> kAppendParams = {"k", "v"};
constexpr std::array<const char*, 1> kAttendParams = {"q"};

PyObject* kvcache_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        static constexpr Signature signature{"PyKVCache.append", kAppendParams, kAppendParams.size()};
        std::array<PyObject*, 2> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        PyKVCacheObject* object = receiver(self);
        ExclusiveBorrow borrow(object);
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
        static constexpr Signature signature{"PyKVCache.attend", kAttendParams, kAttendParams.size()};
        std::array<PyObject*, 1> slots{};
        bind_fastcall(signature, args, nargs, kwnames, slots);
        PyKVCacheObject* object = receiver(self);
        SharedBorrow borrow(object);
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
        SharedBorrow borrow(object);
        return PyLong_FromSize_t(object->cache.length());
    });
}

PyObject* kvcache_clear(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyKVCacheObject* object = receiver(self);
        ExclusiveBorrow borrow(object);
        object->cache.clear();
        Py_RETURN_NONE;
    });
}

constexpr Py_ssize_t kStatsKeys = 6;

// A dict with room for `count` keys, so that filling it never resizes.
PyObject* new_dict_for(Py_ssize_t count) {
#if PY_VERSION_HEX < 0x030E0000
    return _PyDict_NewPresized(count);
#else
    (void)count;  // the presizing call is private; later versions get a plain dict
    return PyDict_New();
#endif
}

void set_item(PyObject* dict, const char* key, PyRef value) {
    if (!value || PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonErrorSet{};
}

PyObject* kvcache_stats(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        PyKVCacheObject* object = receiver(self);
        SharedBorrow borrow(object);
        const KVCache& cache = object->cache;
        PyRef dict = checked(new_dict_for(kStatsKeys));
        set_item(dict.get(), "total_appends", PyRef::steal(PyLong_FromUnsignedLongLong(cache.total_appends())));
        set_item(dict.get(), "total_merges", PyRef::steal(PyLong_FromUnsignedLongLong(cache.total_merges())));
        set_item(dict.get(), "total_evictions", PyRef::steal(PyLong_FromUnsignedLongLong(cache.total_evictions())));
        set_item(dict.get(), "current_size", PyRef::steal(PyLong_FromUnsignedLongLong(cache.current_size())));
        // Held over appended, both as floats, divided in float.
        const float ratio = cache.total_appends() == 0
                                ? 1.0f
                                : static_cast<float>(cache.current_size()) / static_cast<float>(cache.total_appends());
        set_item(dict.get(), "compression_ratio", PyRef::steal(PyFloat_FromDouble(static_cast<double>(ratio))));
        const std::string_view name = cache.strategy_name();
        set_item(dict.get(), "strategy",
                 PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()))));
        return dict.release();
    });
}

PyMethodDef kMethods[] = {
    {"append", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kvcache_append)),
     METH_FASTCALL | METH_KEYWORDS, "append($self, k, v)\n--\n\n"},
    {"attend", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(kvcache_attend)),
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
