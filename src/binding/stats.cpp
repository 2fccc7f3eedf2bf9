#include "binding/stats.hpp"

#include <array>
#include <cstddef>

namespace marrowvale {
namespace {

// The keys, in the order the dict shows them.
enum StatsKey : std::size_t { kTotalAppends, kTotalMerges, kTotalEvictions, kCurrentSize, kRatio, kName };
constexpr std::array<const char*, 6> kStatsKeys = {"total_appends",   "total_merges",      "total_evictions",
                                                   "current_size",    "compression_ratio", "strategy"};

// The keys as interned strings, and a dict holding all of them (with None),
// made on the first call and kept for the life of the process. A copy of
// that dict has its final size at once, so filling it never resizes.
std::array<PyObject*, kStatsKeys.size()> g_stats_keys{};
PyObject* g_stats_template = nullptr;

PyRef new_stats_dict() {
    if (g_stats_template == nullptr) {
        PyRef fresh = checked(PyDict_New());
        for (std::size_t i = 0; i < kStatsKeys.size(); ++i) {
            if (g_stats_keys[i] == nullptr) {
                g_stats_keys[i] = checked(PyUnicode_InternFromString(kStatsKeys[i])).release();
            }
            if (PyDict_SetItem(fresh.get(), g_stats_keys[i], Py_None) < 0) throw PythonErrorSet{};
        }
        g_stats_template = fresh.release();
    }
    return checked(PyDict_Copy(g_stats_template));
}

void set_stat(PyObject* dict, StatsKey key, PyRef value) {
    if (!value || PyDict_SetItem(dict, g_stats_keys[key], value.get()) < 0) throw PythonErrorSet{};
}

}  // namespace

PyRef stats_dict(const KVCacheCounters& counters, std::string_view strategy) {
    PyRef dict = new_stats_dict();
    set_stat(dict.get(), kTotalAppends, PyRef::steal(PyLong_FromUnsignedLongLong(counters.total_appends)));
    set_stat(dict.get(), kTotalMerges, PyRef::steal(PyLong_FromUnsignedLongLong(counters.total_merges)));
    set_stat(dict.get(), kTotalEvictions, PyRef::steal(PyLong_FromUnsignedLongLong(counters.total_evictions)));
    set_stat(dict.get(), kCurrentSize, PyRef::steal(PyLong_FromUnsignedLongLong(counters.current_size)));
    const float ratio = counters.compression_ratio();
    set_stat(dict.get(), kRatio, PyRef::steal(PyFloat_FromDouble(static_cast<double>(ratio))));
    set_stat(dict.get(), kName,
             PyRef::steal(PyUnicode_FromStringAndSize(strategy.data(), static_cast<Py_ssize_t>(strategy.size()))));
    return dict;
}

void set_item(PyObject* dict, const char* key, PyRef value) {
    if (!value || PyDict_SetItemString(dict, key, value.get()) < 0) throw PythonErrorSet{};
}

PyRef int_list(std::span<const std::uint64_t> values) {
    PyRef list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* value = PyLong_FromUnsignedLongLong(values[i]);
        if (value == nullptr) throw PythonErrorSet{};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), value);
    }
    return list;
}

}  // namespace marrowvale
