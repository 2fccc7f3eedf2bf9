#include "binding/conversions.hpp"

#include <cstring>

#include "binding/buffer_view.hpp"
#include "binding/element_format.hpp"
#include "binding/errors.hpp"
#include "binding/messages.hpp"

namespace marrowvale {
namespace {

// Every integer of at most this magnitude is a double exactly.
constexpr Py_ssize_t kExactIntInDouble = Py_ssize_t{1} << 53;

inline float item_to_f32(PyObject* item) {
    double value;
    if (PyFloat_CheckExact(item)) {
        value = PyFloat_AS_DOUBLE(item);
    } else if (PyLong_CheckExact(item)) {
        // An int becomes the correctly rounded double first, then the
        // nearest float, as the interpreter's own float conversion does.
        // Small ints convert to double exactly without the general routine.
        const auto* number = reinterpret_cast<PyLongObject*>(item);
        if (PyUnstable_Long_IsCompact(number)) {
            const Py_ssize_t small = PyUnstable_Long_CompactValue(number);
            if (small >= -kExactIntInDouble && small <= kExactIntInDouble) {
                return static_cast<float>(static_cast<double>(small));
            }
        }
        value = PyLong_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
    } else {
        value = PyFloat_AsDouble(item);
        if (value == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
    }
    return static_cast<float>(value);
}

// Exact lists are read by index the way their iterator reads them: the
// length is looked at again before every item, since converting an item can
// run Python code that changes the list, and an item is held while it is
// converted.
void list_to_floats(PyObject* list, FloatBuffer& out) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        PyObject* item = PyList_GET_ITEM(list, i);
        if (PyFloat_CheckExact(item)) {
            out.push_back(static_cast<float>(PyFloat_AS_DOUBLE(item)));
            continue;
        }
        if (PyLong_CheckExact(item)) {
            // Converting an exact int runs no Python code, so the list
            // cannot drop the item meanwhile.
            out.push_back(item_to_f32(item));
            continue;
        }
        PyRef held = PyRef::borrow(item);
        out.push_back(item_to_f32(held.get()));
    }
}

// A tuple cannot change while it is read, and it holds its items.
void tuple_to_floats(PyObject* tuple, FloatBuffer& out) {
    const Py_ssize_t n = PyTuple_GET_SIZE(tuple);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        out.push_back(PyFloat_CheckExact(item) ? static_cast<float>(PyFloat_AS_DOUBLE(item)) : item_to_f32(item));
    }
}

// Array types whose items, read one by one, are exactly the floats in their
// buffer: NumPy's ndarray (a static type, so no Python class can pose as
// it), array.array and memoryview. Subclasses may change iteration and take
// the general path.
bool is_plain_array(PyObject* object) {
    PyTypeObject* type = Py_TYPE(object);
    if (type == &PyMemoryView_Type) return true;
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) && std::strcmp(type->tp_name, "numpy.ndarray") == 0) return true;
    static PyObject* array_type = nullptr;
    if (array_type == nullptr) {
        PyRef module = PyRef::steal(PyImport_ImportModule("array"));
        if (module) array_type = PyObject_GetAttrString(module.get(), "array");
        if (array_type == nullptr) {
            PyErr_Clear();
            return false;
        }
    }
    return reinterpret_cast<PyObject*>(type) == array_type;
}

// Reads a contiguous one-dimensional array of native float32 or float64 in
// one pass, with the result of converting its items one by one (each
// float64 rounded to the nearest float). Returns false, with no error set,
// when the object is not such an array.
bool buffer_to_floats(PyObject* object, FloatBuffer& out) {
    if (!PyObject_CheckBuffer(object) || !is_plain_array(object)) return false;
    BufferView buffer;
    if (!buffer.acquire(object, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS)) {
        PyErr_Clear();
        return false;
    }
    const Py_buffer& view = buffer.view();
    const std::optional<ElementFormat> format = view.ndim == 1 ? element_format(view) : std::nullopt;
    if (!format || !(format->is_native_float32() || format->is_native_float64())) return false;
    const auto count = static_cast<std::size_t>(view.shape[0]);
    out.resize_for_overwrite(count);
    const auto* bytes = static_cast<const unsigned char*>(view.buf);
    if (format->is_native_float32()) {
        if (count != 0) std::memcpy(out.data(), bytes, count * sizeof(float));
    } else {
        for (std::size_t i = 0; i < count; ++i) {
            double value;
            std::memcpy(&value, bytes + i * sizeof(double), sizeof(double));
            out.data()[i] = static_cast<float>(value);
        }
    }
    return true;
}

void iterate_to_floats(PyObject* object, FloatBuffer& out) {
    PyRef iterator = checked(PyObject_GetIter(object));
    while (PyObject* raw = PyIter_Next(iterator.get())) {
        PyRef item = PyRef::steal(raw);
        out.push_back(item_to_f32(item.get()));
    }
    if (PyErr_Occurred()) throw PythonErrorSet{};
}

}  // namespace

PyRef type_qualname(PyObject* object) {
    return PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
}

std::uint64_t to_u64(PyObject* object) {
    PyRef index;
    if (!PyLong_Check(object)) {
        index = checked(PyNumber_Index(object));
        object = index.get();
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(object);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonErrorSet{};
    return value;
}

float to_f32(PyObject* object) {
    double value;
    if (PyFloat_CheckExact(object)) {
        value = PyFloat_AS_DOUBLE(object);
    } else {
        value = PyFloat_AsDouble(object);
        if (value == -1.0 && PyErr_Occurred()) throw PythonErrorSet{};
    }
    return static_cast<float>(value);
}

std::string_view to_utf8(PyObject* object) {
    if (!PyUnicode_Check(object)) {
        PyRef name = type_qualname(object);
        if (!name) {
            PyErr_Clear();
            raise_type_error(PyUnicode_FromString(messages::kNotAStringUnnamed));
        }
        raise_type_error(PyUnicode_FromFormat(messages::kNotAString, name.get()));
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(object, &size);
    if (bytes == nullptr) throw PythonErrorSet{};
    return {bytes, static_cast<std::size_t>(size)};
}

void sequence_to_floats(PyObject* object, FloatBuffer& out) {
    if (PyUnicode_Check(object)) raise_type_error(PyUnicode_FromString(messages::kStrIsNotAVector));
    if (!PySequence_Check(object)) {
        PyRef name = type_qualname(object);
        if (!name) throw PythonErrorSet{};
        raise_type_error(PyUnicode_FromFormat(messages::kNotASequence, name.get()));
    }
    if (buffer_to_floats(object, out)) return;
    const Py_ssize_t hint = PySequence_Size(object);
    if (hint < 0) {
        // A failing __len__ only costs us the hint. Exceptions outside
        // Exception (a panic raised by Python code, KeyboardInterrupt,
        // SystemExit) are requests to stop, not answers about the length,
        // and are never swallowed.
        if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonErrorSet{};
        PyErr_Clear();
    } else {
        out.reserve_hint(hint);
    }
    if (PyList_CheckExact(object)) {
        list_to_floats(object, out);
    } else if (PyTuple_CheckExact(object)) {
        tuple_to_floats(object, out);
    } else {
        iterate_to_floats(object, out);
    }
}

void fill_float_list(PyObject* list, std::span<const float> values) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
        if (item == nullptr) throw PythonErrorSet{};
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
    }
}

}  // namespace marrowvale
