// Owning holder for a strong Python reference: released when the holder
// goes, handed back to the interpreter explicitly with release().
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace marrowvale {

class PyRef {
public:
    PyRef() noexcept = default;
    ~PyRef() { Py_XDECREF(ptr_); }

    // Takes over a new reference (which may be null after a failed call).
    static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
    // Adds a reference of its own to a borrowed one.
    static PyRef borrow(PyObject* object) noexcept { return PyRef(Py_XNewRef(object)); }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        PyObject* old = std::exchange(ptr_, std::exchange(other.ptr_, nullptr));
        Py_XDECREF(old);
        return *this;
    }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

private:
    explicit PyRef(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

// Thrown by helpers that have left a Python exception set; the entry point
// that catches it returns null to the interpreter.
struct PythonErrorSet {};

// Throws PythonErrorSet when `object` is null (a failed API call).
inline PyRef checked(PyObject* object) {
    if (object == nullptr) throw PythonErrorSet{};
    return PyRef::steal(object);
}

}  // namespace marrowvale
