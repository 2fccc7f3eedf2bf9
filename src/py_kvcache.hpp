// The Python class PyKVCache: one KVCache per instance, behind a borrow
// flag that refuses re-entrant calls which would see the cache mid-change.
#pragma once

#include "binding/py_ref.hpp"

namespace marrowvale {

// The class, created on first need and kept for the life of the process.
// Null with an error set when it cannot be created.
PyObject* kvcache_class();

}  // namespace marrowvale
