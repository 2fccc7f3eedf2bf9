#include "layer_cache/array_output.hpp"

#include <cstdint>
#include <string>

#include "binding/conversions.hpp"
#include "binding/errors.hpp"
#include "layer_cache/array_input.hpp"
#include "layer_cache/messages.hpp"

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
    if (!view_.acquire(array_.get(), PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS)) throw PythonErrorSet{};
}

OutputArgument::OutputArgument(PyObject* out, const char* parameter, Py_ssize_t rows, Py_ssize_t columns)
    : out_(PyRef::borrow(out)), parameter_(parameter) {
    if (!PyObject_CheckBuffer(out)) {
        PyRef name = type_qualname(out);
        if (!name) throw PythonErrorSet{};
        raise_format(PyExc_TypeError, messages::kOutNotAnArray, parameter, name.get());
    }
    if (!view_.acquire(out, PyBUF_RECORDS_RO)) {
        // A buffer that cannot be described by strides and a format (an
        // array of dates, say) is no float32 array either.
        if (!buffer_request_refused()) throw PythonErrorSet{};
        PyErr_Clear();
        raise_format(PyExc_TypeError, messages::kOutNoFormat, parameter);
    }
    const Py_buffer& view = view_.view();
    if (!holds_native_float32(view)) raise_format(PyExc_TypeError, messages::kOutNotFloat32, parameter);
    if (view.ndim != 2 || view.shape[0] != rows || view.shape[1] != columns) {
        const std::string got = shape_text(view.shape, view.ndim);
        raise_format(PyExc_ValueError, messages::kOutWrongShape, parameter, rows, columns, got.c_str());
    }
    if (view.readonly) raise_format(PyExc_ValueError, messages::kOutReadOnly, parameter);
    if (!PyBuffer_IsContiguous(&view, 'C')) raise_format(PyExc_ValueError, messages::kOutNotContiguous, parameter);
    if (reinterpret_cast<std::uintptr_t>(view.buf) % alignof(float) != 0) {
        raise_format(PyExc_ValueError, messages::kOutNotAligned, parameter);
    }
}

void OutputArgument::check_columns(Py_ssize_t columns) const {
    const Py_buffer& view = view_.view();
    if (view.shape[1] == columns) return;
    const std::string got = shape_text(view.shape, view.ndim);
    raise_format(PyExc_ValueError, messages::kOutWrongShape, parameter_, view.shape[0], columns, got.c_str());
}

bool OutputArgument::overlaps(const OutputArgument& other) const noexcept {
    const auto* begin = static_cast<const unsigned char*>(view_->buf);
    const auto* other_begin = static_cast<const unsigned char*>(other.view_->buf);
    return begin < other_begin + other.view_->len && other_begin < begin + view_->len && view_->len != 0 &&
           other.view_->len != 0;
}

}  // namespace marrowvale
