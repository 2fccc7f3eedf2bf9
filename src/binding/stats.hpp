// The statistics dict both classes return, and the lists of counts in it.
#pragma once

#include "binding/py_ref.hpp"

#include <cstdint>
#include <span>
#include <string_view>

#include "cache/kv_cache.hpp"

namespace marrowvale {

// A new dict of the six statistics, in the order it shows them:
// total_appends, total_merges, total_evictions, current_size,
// compression_ratio (of the counters) and strategy. Throws PythonErrorSet.
PyRef stats_dict(const KVCacheCounters& counters, std::string_view strategy);

// Adds `value` under `key`; throws PythonErrorSet when `value` is null (a
// failed call) or the dict refuses it.
void set_item(PyObject* dict, const char* key, PyRef value);

// A new list of Python ints. Throws PythonErrorSet.
PyRef int_list(std::span<const std::uint64_t> values);

}  // namespace marrowvale
