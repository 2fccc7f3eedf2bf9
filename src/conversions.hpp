// Conversions between Python objects and the cache's plain types. Each
// throws PythonErrorSet with the Python error set when it fails.
#pragma once

#include "float_buffer.hpp"
#include "py_ref.hpp"

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

// Gives a failed argument conversion its final form: a PanicException raised
// by Python code becomes a fresh panic; an exact TypeError gets the
// "argument 'NAME': " prefix; anything else passes unchanged. Always throws.
[[noreturn]] void raise_argument_error(const char* parameter);

// Raises ValueError with the whole of a UTF-8 message, NULs included (a
// user's strategy name may hold one). Always throws.
[[noreturn]] void raise_value_error(std::string_view message);

// The qualified name of an object's type, for messages.
PyRef type_qualname(PyObject* object);

}  // namespace marrowvale
