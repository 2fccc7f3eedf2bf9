// Conversions of LayerCache's constructor arguments and head indexes, with
// errors that name the parameter: ValueError for a wrong value, TypeError
// for a wrong type.
#pragma once

#include "py_ref.hpp"

#include <cstddef>
#include <cstdint>

#include "layer_cache/layer.hpp"

namespace marrowvale {

// An integer of at least `minimum` (anything with __index__).
std::uint64_t count_argument(PyObject* object, const char* parameter, std::uint64_t minimum);

// The configuration from the constructor's arguments (null where not given).
LayerConfig layer_config(PyObject* n_heads, PyObject* d_k, PyObject* d_v, PyObject* strategy,
                         PyObject* window_size, PyObject* static_k, PyObject* recent_k, PyObject* threshold,
                         PyObject* merge_every);

// The threads a call may use: `threads` (None or null for the usable
// cores), at most one per head.
std::size_t thread_count(PyObject* threads, std::uint64_t n_heads);

// A head index, negative ones counted from the end as for a sequence.
// Throws PythonErrorSet with TypeError or IndexError set.
std::size_t head_index(PyObject* object, std::size_t n_heads);

}  // namespace marrowvale
