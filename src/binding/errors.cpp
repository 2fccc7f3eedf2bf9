#include "binding/errors.hpp"

#include <cstdarg>

#include "binding/messages.hpp"
#include "binding/panic.hpp"

namespace marrowvale {

void raise_format(PyObject* type, const char* format, ...) {
    std::va_list arguments;
    va_start(arguments, format);
    PyErr_FormatV(type, format, arguments);
    va_end(arguments);
    throw PythonErrorSet{};
}

void raise_type_error(PyObject* message) {
    if (message != nullptr) {
        PyErr_SetObject(PyExc_TypeError, message);
        Py_DECREF(message);
    }
    throw PythonErrorSet{};
}

void raise_value_error(std::string_view message) {
    PyRef text = checked(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    PyErr_SetObject(PyExc_ValueError, text.get());
    throw PythonErrorSet{};
}

void raise_argument_error(const char* parameter) {
    if (repanic_if_panic()) throw PythonErrorSet{};
    PyRef raised = PyRef::steal(PyErr_GetRaisedException());
    if (Py_TYPE(raised.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(raised.release());
        throw PythonErrorSet{};
    }
    PyRef text = checked(PyObject_Str(raised.get()));
    PyRef message = checked(PyUnicode_FromFormat(messages::kArgumentPrefix, parameter, text.get()));
    PyRef replacement = checked(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    PyException_SetCause(replacement.get(), PyException_GetCause(raised.get()));
    PyErr_SetRaisedException(replacement.release());
    throw PythonErrorSet{};
}

}  // namespace marrowvale
