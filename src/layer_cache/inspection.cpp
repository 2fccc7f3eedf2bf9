// LayerCache's methods that look inside: a head's rows (keys, values,
// spans, scores) as arrays, the lengths, the statistics and the memory held. Each copies what it needs
// under the lock, then builds Python objects after it.
#include <cstdint>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "binding/errors.hpp"
#include "binding/panic.hpp"
#include "binding/recursion_guard.hpp"
#include "binding/stats.hpp"
#include "layer_cache/array_output.hpp"
#include "layer_cache/layer_arguments.hpp"
#include "layer_cache/layer_cache_object.hpp"
#include "layer_cache/messages.hpp"

namespace marrowvale {
namespace {

enum class Rows { keys, values, spans, scores };

PyObject* head_rows(PyObject* self, PyObject* arg, Rows rows) {
    return guarded([&]() -> PyObject* {
        RecursionGuard depth(messages::kLayerRecursion);
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::read);
        const std::size_t h = head_index(arg, state.layer.n_heads());
        if (rows == Rows::scores && !strategy_keeps_scores(state.layer.config().strategy)) {
            raise_format(PyExc_ValueError, messages::kNoScores, state.layer.config().strategy.c_str());
        }
        CacheAccess::Lock lock(state.access);
        // NumPy's array constructor, called under the lock, runs no Python
        // code (the collector only runs from the interpreter's loop), so
        // nothing can call back into this cache meanwhile.
        KVCache& head = state.layer.head(h);
        head.settle();
        const auto held = static_cast<Py_ssize_t>(head.length());
        const void* source = nullptr;
        std::size_t bytes = 0;
        std::optional<NewArray> array;
        if (rows == Rows::scores) {
            array.emplace(Element::float32, std::initializer_list<Py_ssize_t>{held});
            source = held != 0 ? head.scores().row(0) : nullptr;
            bytes = static_cast<std::size_t>(held) * sizeof(float);
        } else if (rows == Rows::spans) {
            array.emplace(Element::int64, std::initializer_list<Py_ssize_t>{held, 2});
            source = held != 0 ? head.spans().row(0) : nullptr;
            bytes = static_cast<std::size_t>(held) * 2 * sizeof(std::int64_t);
        } else {
            const EntryList& list = rows == Rows::keys ? head.keys() : head.values();
            const auto width = static_cast<std::size_t>(rows == Rows::keys ? head.d_k() : head.d_v());
            array.emplace(Element::float32, std::initializer_list<Py_ssize_t>{held, static_cast<Py_ssize_t>(width)});
            if (head.tier() != StorageTier::float32) {
                // The floats the stored rows stand for, row by row.
                float* out = static_cast<float*>(array->data());
                for (std::size_t i = 0; i < static_cast<std::size_t>(held); ++i) {
                    decode_row(head.tier(), list.row(i), width, out + i * width);
                }
                return array->release();
            }
            source = held != 0 ? list.row(0) : nullptr;
            bytes = static_cast<std::size_t>(held) * width * sizeof(float);
        }
        if (bytes != 0) std::memcpy(array->data(), source, bytes);
        return array->release();
    });
}

}  // namespace

PyObject* layer_cache_keys(PyObject* self, PyObject* head) { return head_rows(self, head, Rows::keys); }
PyObject* layer_cache_values(PyObject* self, PyObject* head) { return head_rows(self, head, Rows::values); }
PyObject* layer_cache_spans(PyObject* self, PyObject* head) { return head_rows(self, head, Rows::spans); }
PyObject* layer_cache_scores(PyObject* self, PyObject* head) { return head_rows(self, head, Rows::scores); }

PyObject* layer_cache_lengths(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        LayerCacheState& state = state_of(self);
        CacheAccess::Borrow borrow(state.access, Access::read);
        std::vector<std::uint64_t> lengths;
        {
            CacheAccess::Lock lock(state.access);
            for (std::size_t h = 0; h < state.layer.n_heads(); ++h) lengths.push_back(state.layer.head(h).length());
        }
        return int_list(lengths).release();
    });
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
                KVCache& head = state.layer.head(h);
                head.settle();
                totals.total_appends += head.total_appends();
                totals.total_merges += head.total_merges();
                totals.total_evictions += head.total_evictions();
                totals.current_size += head.current_size();
                sizes.push_back(head.current_size());
            }
            bytes = state.layer.storage_bytes();
        }
        // The compression ratio over all heads, as PyKVCache reports one.
        PyRef dict = stats_dict(totals, state.layer.config().strategy);
        set_item(dict.get(), "per_head_size", int_list(sizes));
        set_item(dict.get(), "nbytes", PyRef::steal(PyLong_FromUnsignedLongLong(bytes)));
        const std::string_view tier = tier_name(state.layer.config().tier);
        set_item(dict.get(), "dtype",
                 PyRef::steal(PyUnicode_FromStringAndSize(tier.data(), static_cast<Py_ssize_t>(tier.size()))));
        return dict.release();
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

}  // namespace marrowvale
