#include "binding/panic.hpp"

#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "binding/messages.hpp"
#include "cache/precondition.hpp"

namespace marrowvale {
namespace {

PyObject* g_panic_type = nullptr;

// Both native modules carry this code, and both must raise one type, so the
// type is kept where either finds it: in the interpreter's dictionary for
// extensions' state, under its own name. Either module makes it on first
// need. Null with an error set on failure.
PyObject* shared_panic_type() {
    PyObject* registry = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (registry != nullptr) {
        PyObject* found = PyDict_GetItemString(registry, messages::kPanicTypeName);  // borrowed
        if (found != nullptr && PyExceptionClass_Check(found)) return Py_NewRef(found);
    }
    PyObject* made = PyErr_NewExceptionWithDoc(messages::kPanicTypeName, messages::kPanicDoc, PyExc_BaseException,
                                               nullptr);
    if (made != nullptr && registry != nullptr && PyDict_SetItemString(registry, messages::kPanicTypeName, made) < 0) {
        Py_DECREF(made);
        return nullptr;
    }
    return made;
}

// Source paths arrive absolute from the build; the part from "src/" on is
// the one a reader can find.
const char* project_path(const char* file) {
    const char* found = std::strstr(file, "src/");
    return found != nullptr ? found : file;
}

}  // namespace

PyObject* panic_exception_type() {
    if (g_panic_type == nullptr) g_panic_type = shared_panic_type();
    return g_panic_type;
}

void raise_panic(std::string_view message, const char* file, int line) {
    std::fprintf(stderr, "marrowvale panicked at %s:%d:\n%.*s\n", project_path(file), line,
                 static_cast<int>(message.size()), message.data());
    std::fflush(stderr);
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;
    PyErr_SetObject(type, text.get());
}

bool repanic_if_panic() {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return false;
    if (!PyErr_ExceptionMatches(type)) return false;
    PyRef caught = PyRef::steal(PyErr_GetRaisedException());
    std::fputs("marrowvale: a PanicException was raised by Python code during a conversion\n", stderr);
    std::fflush(stderr);
    PyErr_DisplayException(caught.get());
    PyRef text = PyRef::steal(PyObject_Str(caught.get()));
    if (!text) {
        PyErr_Clear();
        text = PyRef::steal(PyUnicode_FromString(messages::kUnwrappedPanic));
        if (!text) return true;
    }
    PyErr_SetObject(type, text.get());
    return true;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PythonErrorSet&) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, messages::kNoErrorSet);
    } catch (const PreconditionFailure& failure) {
        raise_panic(failure.what(), failure.file(), failure.line());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what(), __FILE__, __LINE__);
    } catch (...) {
        raise_panic(messages::kUnknownFailure, __FILE__, __LINE__);
    }
}

}  // namespace marrowvale
