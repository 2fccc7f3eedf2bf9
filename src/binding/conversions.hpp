// Conversions between Python objects and the cache's plain types. Each
// throws PythonErrorSet with the Python error set when it fails.
#pragma once

#include "binding/float_buffer.hpp"
#include "binding/py_ref.hpp"

#include <cstdint>
#include <span>
#include <string_view>

namespace marrowvale {

// An int (or anything with __index__) in 0 .. 2**64 - 1.
std::uint64_t to_u64(PyObject* object);

// A real number, rounded to the nearest float.
float to_f32(PyObject* object);

// A str, as UTF-8 bytes that live as long as the object.
std::string_view to_utf8(PyObject* object);

// A sequence of real numbers, each rounded to the nearest float.
void sequence_to_floats(PyObject* object, FloatBuffer& out);

// Sets item i of a new list of values.size() empty slots to float i, as a
// Python float holding its exact value.
void fill_float_list(PyObject* list, std::span<const float> values);

// The qualified name of an object's type, for messages.
PyRef type_qualname(PyObject* object);

}  // namespace marrowvale
