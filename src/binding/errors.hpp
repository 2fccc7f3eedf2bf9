// Setting a Python error and leaving the C++ call that found it: each
// helper sets the error, then throws PythonErrorSet, which the entry point
// turns into a null return.
#pragma once

#include "binding/py_ref.hpp"

#include <string_view>

namespace marrowvale {

// Sets `type` with PyUnicode_FromFormat's text of `format` and its
// arguments.
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

// Sets TypeError with `message`, a new reference (null after a failed call,
// whose error then stands).
[[noreturn]] void raise_type_error(PyObject* message);

// Raises ValueError with the whole of a UTF-8 message, NULs included (a
// user's strategy name may hold one); bytes that are not UTF-8 (a name read
// from a state) show as U+FFFD.
[[noreturn]] void raise_value_error(std::string_view message);

// Gives a failed argument conversion its final form: a PanicException raised
// by Python code becomes a fresh panic; an exact TypeError gets the
// "argument 'NAME': " prefix; anything else passes unchanged.
[[noreturn]] void raise_argument_error(const char* parameter);

}  // namespace marrowvale
