#include "layer_cache/array_output.hpp"

#include <cstdint>
#include <string>

#include "cache/messages.hpp"
#include "conversions.hpp"
#include "layer_cache/array_input.hpp"

namespace marrowvale {
namespace {

// Held for the life of the process, like the class.
PyObject* g_empty = nullptr;
PyObject* g_float32 = nullptr;
PyObject* g_int64 = nullptr;

PyObject* dtype(PyObject* numpy, const char* name) {
    PyRef function = checked(PyObject_GetAttrString(numpy, "dtype"));
    return checked(PyObject_CallFunction(function.get(), "s", name)).release();
}

}  // namespace

void load_numpy() {
    if (g_empty != nullptr) return;
    PyRef numpy = checked(PyImport_ImportModule("numpy"));
    PyRef empty = checked(PyObject_GetAttrString(numpy.get(), "empty"));
    PyRef float32 = PyRef::steal(dtype(numpy.get(), "float32"));
    PyRef int64 = PyRef::steal(dtype(numpy.get(), "int64"));
    g_empty = empty.release();
    g_float32 = float32.release();
    g_int64 = int64.release();
}

NewArray::NewArray(Element element, std::initializer_list<Py_ssize_t> shape) {
    PyRef dims = checked(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
    Py_ssize_t i = 0;
    for (const Py_ssize_t size : shape) {
        PyObject* number = PyLong_FromSsize_t(size);
        if (number == nullptr) throw PythonErrorSet{};
        PyTuple_SET_ITEM(dims.get(), i++, number);
    }
    PyObject* type = element == Element::float32 ? g_float32 : g_int64;
    array_ = checked(PyObject_CallFunctionObjArgs(g_empty, dims.get(), type, nullptr));
    if (PyObject_GetBuffer(array_.get(), &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) < 0) throw PythonErrorSet{};
    holds_view_ = true;
}

NewArray::~NewArray() {
    if (holds_view_) PyBuffer_Release(&view_);
}

PyObject* NewArray::release() {
    PyBuffer_Release(&view_);
    holds_view_ = false;
    return array_.release();
}

OutputArgument::OutputArgument(PyObject* out, Py_ssize_t rows, Py_ssize_t columns) : out_(PyRef::borrow(out)) {
    if (!PyObject_CheckBuffer(out)) {
        PyRef name = type_qualname(out);
        if (!name) throw PythonErrorSet{};
        PyErr_Format(PyExc_TypeError, messages::kOutNotAnArray, name.get());
        throw PythonErrorSet{};
    }
    if (PyObject_GetBuffer(out, &view_, PyBUF_RECORDS_RO) < 0) {
        // A buffer that cannot be described by strides and a format (an
        // array of Python objects, say) is no float32 array either.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonErrorSet{};
        PyErr_Clear();
        PyErr_SetString(PyExc_TypeError, messages::kOutNoFormat);
        throw PythonErrorSet{};
    }
    const char* problem = nullptr;
    PyObject* kind = PyExc_ValueError;
    if (!holds_native_float32(view_)) {
        problem = messages::kOutNotFloat32;
        kind = PyExc_TypeError;
    } else if (view_.ndim != 2 || view_.shape[0] != rows || view_.shape[1] != columns) {
        const std::string got = shape_text(view_.shape, view_.ndim);
        PyErr_Format(PyExc_ValueError, messages::kOutWrongShape, rows, columns, got.c_str());
        PyBuffer_Release(&view_);
        throw PythonErrorSet{};
    } else if (view_.readonly) {
        problem = messages::kOutReadOnly;
    } else if (!PyBuffer_IsContiguous(&view_, 'C')) {
        problem = messages::kOutNotContiguous;
    } else if (reinterpret_cast<std::uintptr_t>(view_.buf) % alignof(float) != 0) {
        problem = messages::kOutNotAligned;
    }
    if (problem != nullptr) {
        PyErr_SetString(kind, problem);
        PyBuffer_Release(&view_);
        throw PythonErrorSet{};
    }
}

OutputArgument::~OutputArgument() { PyBuffer_Release(&view_); }

}  // namespace marrowvale
