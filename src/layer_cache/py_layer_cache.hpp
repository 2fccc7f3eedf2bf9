// The Python class marrowvale.LayerCache: a Layer (every head of one
// attention layer) behind the borrow rules and lock of CacheAccess.
#pragma once

#include "binding/py_ref.hpp"

namespace marrowvale {

// The class, created on first need and kept for the life of the process.
// Null with an error set when it cannot be created.
PyObject* layer_cache_class();

}  // namespace marrowvale
