// What every part of the LayerCache type shares: the instance's layout and
// the C functions each part contributes to the type (methods, selection,
// inspection, copies and states; the type object itself is in
// py_layer_cache.cpp).
#pragma once

#include "binding/py_ref.hpp"

#include <cstddef>
#include <cstdint>

#include "layer/layer.hpp"
#include "layer_cache/cache_access.hpp"

namespace marrowvale {

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

// The state behind a receiver; throws PythonErrorSet with TypeError set for
// an instance without one.
LayerCacheState& state_of(PyObject* self);

// A new instance of `type` holding `layer`.
PyObject* wrap(PyTypeObject* type, Layer layer, std::size_t threads);

inline Py_ssize_t ssize(std::uint64_t value) { return static_cast<Py_ssize_t>(value); }

// ---- methods.cpp: adding entries, attention, clearing ----
PyObject* layer_cache_append(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* layer_cache_extend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* layer_cache_attend(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* layer_cache_clear(PyObject* self, PyObject*);

// ---- selection.cpp: choosing what stays ----
PyObject* layer_cache_compress(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* layer_cache_retain(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// ---- inspection.cpp: looking inside ----
PyObject* layer_cache_keys(PyObject* self, PyObject* head);
PyObject* layer_cache_values(PyObject* self, PyObject* head);
PyObject* layer_cache_spans(PyObject* self, PyObject* head);
PyObject* layer_cache_scores(PyObject* self, PyObject* head);
PyObject* layer_cache_lengths(PyObject* self, PyObject*);
PyObject* layer_cache_stats(PyObject* self, PyObject*);
PyObject* layer_cache_sizeof(PyObject* self, PyObject*);

// ---- copy_and_state.cpp: copies, pickling and states ----
PyObject* layer_cache_copy(PyObject* self, PyObject*);
PyObject* layer_cache_with_strategy(PyObject* self, PyObject* args, PyObject* kwargs);
PyObject* layer_cache_deepcopy(PyObject* self, PyObject* memo);
PyObject* layer_cache_to_bytes(PyObject* self, PyObject*);
PyObject* layer_cache_from_bytes(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* layer_cache_reduce(PyObject* self, PyObject*);

}  // namespace marrowvale
