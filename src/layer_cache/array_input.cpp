#include "layer_cache/array_input.hpp"

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>

#include "binding/conversions.hpp"
#include "binding/element_format.hpp"
#include "binding/errors.hpp"
#include "binding/messages.hpp"
#include "layer_cache/messages.hpp"

namespace marrowvale {
namespace {

// Appends the elements of a buffer of any strides, in C order.
void convert_strided(const Py_buffer& view, const ElementFormat& format, FloatBuffer& out) {
    std::size_t total = 1;
    for (int i = 0; i < view.ndim; ++i) total *= static_cast<std::size_t>(view.shape[i]);
    if (total == 0) return;
    const std::size_t start = out.size();
    out.resize_for_overwrite(start + total);
    float* target = out.data() + start;
    const int last = view.ndim - 1;
    const Py_ssize_t row_length = view.ndim == 0 ? 1 : view.shape[last];
    const Py_ssize_t step = view.ndim == 0 ? 0 : view.strides[last];
    Py_ssize_t index[3] = {0, 0, 0};
    for (;;) {
        const auto* row = static_cast<const unsigned char*>(view.buf);
        for (int i = 0; i < last; ++i) row += index[i] * view.strides[i];
        for (Py_ssize_t j = 0; j < row_length; ++j) *target++ = read_element(row + j * step, format);
        int i = last - 1;
        while (i >= 0 && ++index[i] == view.shape[i]) index[i--] = 0;
        if (i < 0) return;
    }
}

// `name(i)` stands for a dimension of kFree.
template <typename Name>
std::string dims_text(const Py_ssize_t* dims, int ndim, Name name) {
    std::string text = "(";
    for (int i = 0; i < ndim; ++i) {
        if (i != 0) text += ", ";
        text += dims[i] == ExpectedShape::kFree ? std::string(name(i)) : std::to_string(dims[i]);
    }
    return text + (ndim == 1 ? ",)" : ")");
}

}  // namespace

bool get_view(PyObject* object, BufferView& view) {
    if (!PyObject_CheckBuffer(object)) return false;
    if (view.acquire(object, PyBUF_RECORDS_RO)) return true;
    if (!buffer_request_refused()) throw PythonErrorSet{};
    PyErr_Clear();
    return false;
}

std::string shape_text(const Py_ssize_t* dims, int ndim) {
    return dims_text(dims, ndim, [](int) { return ""; });
}

std::string shape_text(const ExpectedShape& expected) {
    return dims_text(expected.dims.data(), expected.ndim, [&](int i) {
        const char* name = expected.free_names[static_cast<std::size_t>(i)];
        return name == nullptr ? "" : name;
    });
}

bool holds_native_float32(const Py_buffer& view) {
    const std::optional<ElementFormat> format = element_format(view);
    return format && format->is_native_float32();
}

void FloatArgument::read(PyObject* object, const char* parameter, const ExpectedShape& expected) {
    open(object, parameter, expected);
    convert();
}

void FloatArgument::open(PyObject* object, const char* parameter, const ExpectedShape& expected) {
    object_ = object;
    parameter_ = parameter;
    expected_ = expected;
    shape_ = expected.dims;
    try {
        if (get_view(object, opened_)) {
            if (!check_buffer_shape(opened_.view(), 0)) buffer_shape_error(opened_.view(), 0);
            return;
        }
        sequence_length(object, 0);
    } catch (const PythonErrorSet&) {
        raise_argument_error(parameter_);
    }
}

void FloatArgument::convert() {
    try {
        if (opened_.held()) {
            read_buffer(std::move(opened_), 0);
        } else {
            read_nested(object_, 0);
        }
    } catch (const PythonErrorSet&) {
        raise_argument_error(parameter_);
    }
    size_ = 1;
    for (int i = 0; i < expected_.ndim; ++i) size_ *= static_cast<std::size_t>(shape_[static_cast<std::size_t>(i)]);
    if (!view_.held()) data_ = converted_.data();
}

// Whether the buffer, read at nesting `depth`, has the dimensions expected
// from there on; takes the size of a free dimension.
bool FloatArgument::check_buffer_shape(const Py_buffer& view, int depth) {
    const int ndim = expected_.ndim - depth;
    if (view.ndim != ndim) return false;
    for (int i = 0; i < ndim; ++i) {
        const auto d = static_cast<std::size_t>(depth + i);
        if (shape_[d] == ExpectedShape::kFree) {
            shape_[d] = view.shape[i];
        } else if (view.shape[i] != shape_[d]) {
            return false;
        }
    }
    return true;
}

void FloatArgument::read_buffer(BufferView buffer, int depth) {
    const Py_buffer& view = buffer.view();
    if (!check_buffer_shape(view, depth)) buffer_shape_error(view, depth);
    const std::optional<ElementFormat> format = element_format(view);
    if (!format) raise_format(PyExc_TypeError, messages::kNotNumbers, view.format == nullptr ? "B" : view.format);
    const bool in_place = depth == 0 && format->is_native_float32() && PyBuffer_IsContiguous(&view, 'C') &&
                          reinterpret_cast<std::uintptr_t>(view.buf) % alignof(float) == 0;
    if (in_place) {
        data_ = static_cast<const float*>(view.buf);
        view_ = std::move(buffer);
        return;
    }
    convert_strided(view, *format, converted_);
}

void FloatArgument::buffer_shape_error(const Py_buffer& view, int depth) {
    Py_ssize_t found[6] = {};
    for (int i = 0; i < depth; ++i) found[i] = shape_[static_cast<std::size_t>(i)];
    for (int i = 0; i < view.ndim && depth + i < 6; ++i) found[depth + i] = view.shape[i];
    const std::string wanted = shape_text(expected_);
    const std::string got = shape_text(found, std::min(depth + view.ndim, 6));
    raise_format(PyExc_ValueError, messages::kWrongShape, parameter_, wanted.c_str(), got.c_str());
}

Py_ssize_t FloatArgument::sequence_length(PyObject* object, int depth) {
    if (PyUnicode_Check(object)) raise_type_error(PyUnicode_FromString(messages::kStrIsNotAVector));
    if (!PySequence_Check(object)) {
        PyRef name = type_qualname(object);
        if (!name) throw PythonErrorSet{};
        raise_type_error(PyUnicode_FromFormat(messages::kNotASequence, name.get()));
    }
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) throw PythonErrorSet{};
    const auto d = static_cast<std::size_t>(depth);
    if (shape_[d] == ExpectedShape::kFree) {
        shape_[d] = length;
    } else if (length != shape_[d]) {
        shape_error(depth, length, object);
    }
    return length;
}

void FloatArgument::read_nested(PyObject* object, int depth) {
    const auto d = static_cast<std::size_t>(depth);
    if (depth == expected_.ndim - 1) {
        BufferView view;
        if (get_view(object, view)) return read_buffer(std::move(view), depth);
        FloatBuffer row;
        sequence_to_floats(object, row);
        if (static_cast<Py_ssize_t>(row.size()) != shape_[d]) {
            shape_error(depth, static_cast<Py_ssize_t>(row.size()), nullptr);
        }
        const std::size_t start = converted_.size();
        converted_.resize_for_overwrite(start + row.size());
        if (row.size() != 0) std::memcpy(converted_.data() + start, row.data(), row.size() * sizeof(float));
        return;
    }
    if (depth != 0) {
        BufferView view;
        if (get_view(object, view)) return read_buffer(std::move(view), depth);
    }
    const Py_ssize_t length = sequence_length(object, depth);
    if (depth == 0) {
        std::size_t total = static_cast<std::size_t>(length);
        for (int i = 1; i < expected_.ndim; ++i) total *= static_cast<std::size_t>(shape_[static_cast<std::size_t>(i)]);
        converted_.reserve_hint(total);
    }
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyRef item = checked(PySequence_GetItem(object, i));
        read_nested(item.get(), depth + 1);
    }
}

void FloatArgument::shape_error(int depth, Py_ssize_t found, PyObject* object) {
    // What was found: the sizes matched so far, the one that did not, and
    // below it the sizes of first items, which is what a reader of the
    // message needs to see the mistake.
    Py_ssize_t got[3] = {};
    int ndim = 0;
    for (; ndim < depth; ++ndim) got[ndim] = shape_[static_cast<std::size_t>(ndim)];
    got[ndim++] = found;
    PyRef item = PyRef::borrow(object);
    while (item && found > 0 && ndim < expected_.ndim) {
        item = PyRef::steal(PySequence_GetItem(item.get(), 0));
        if (!item) break;
        found = PyObject_Length(item.get());
        if (found < 0) break;
        got[ndim++] = found;
    }
    PyErr_Clear();
    const std::string wanted = shape_text(expected_);
    const std::string text = shape_text(got, ndim);
    raise_format(PyExc_ValueError, messages::kWrongShape, parameter_, wanted.c_str(), text.c_str());
}

void FloatArgument::separate_from(const void* begin, const void* end) {
    if (!view_.held() || size_ == 0) return;
    const auto* first = reinterpret_cast<const unsigned char*>(data_);
    const auto* last = first + size_ * sizeof(float);
    if (last <= static_cast<const unsigned char*>(begin) || first >= static_cast<const unsigned char*>(end)) return;
    converted_.resize_for_overwrite(size_);
    std::memcpy(converted_.data(), data_, size_ * sizeof(float));
    data_ = converted_.data();
    view_.release();
}

}  // namespace marrowvale
