// The panic channel: a broken precondition inside a call (a vector of the
// wrong length) reaches Python as PanicException, a BaseException, after a
// diagnostic on standard error.
#pragma once

#include "binding/py_ref.hpp"

#include <string_view>

namespace marrowvale {

// The exception type, one for both native modules, created on first need by
// either; null with an error set if it cannot be created.
PyObject* panic_exception_type();

// Writes the diagnostic and sets PanicException with `message`.
void raise_panic(std::string_view message, const char* file, int line);

// If the pending Python error is a PanicException raised by Python code,
// replaces it with a fresh PanicException carrying its text (after printing
// a notice and its traceback) and returns true.
bool repanic_if_panic();

// Sets the Python error for the C++ exception being handled.
void set_error_from_current_exception() noexcept;

// Runs an entry point's body, turning every C++ failure into a Python error
// so that no exception crosses into the interpreter.
template <typename Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace marrowvale
