#include "layer_cache/retain_argument.hpp"

#include <cstring>
#include <optional>

#include "binding/buffer_view.hpp"
#include "binding/conversions.hpp"
#include "binding/element_format.hpp"
#include "binding/errors.hpp"
#include "layer_cache/array_input.hpp"
#include "layer_cache/messages.hpp"

namespace marrowvale {
namespace {

[[noreturn]] void raise_with_type(const char* format, std::size_t head, PyObject* object) {
    PyRef name = type_qualname(object);
    if (!name) throw PythonErrorSet{};
    raise_format(PyExc_TypeError, format, head, name.get());
}

}  // namespace

void RetainArgument::read(PyObject* object, std::size_t n_heads) {
    heads_.assign(n_heads, Head{});
    BufferView view;
    if (get_view(object, view)) {
        const Py_buffer& rows = view.view();
        if (rows.ndim != 2) raise_format(PyExc_ValueError, messages::kRetainNotTwoDimensions, rows.ndim);
        if (rows.shape[0] != static_cast<Py_ssize_t>(n_heads)) {
            raise_format(PyExc_ValueError, messages::kRetainWrongHeads, n_heads, rows.shape[0]);
        }
        for (std::size_t h = 0; h < n_heads; ++h) {
            read_head_buffer(rows, h, static_cast<Py_ssize_t>(h) * rows.strides[0], rows.shape[1],
                             rows.strides[1]);
        }
        return;
    }
    if (PyUnicode_Check(object) || !PySequence_Check(object)) {
        PyRef name = type_qualname(object);
        if (!name) throw PythonErrorSet{};
        const char* text = PyUnicode_AsUTF8(name.get());
        if (text == nullptr) throw PythonErrorSet{};
        raise_format(PyExc_TypeError, messages::kRetainNotHeads, n_heads, n_heads, text);
    }
    const Py_ssize_t given = PySequence_Size(object);
    if (given < 0) throw PythonErrorSet{};
    if (given != static_cast<Py_ssize_t>(n_heads)) raise_format(PyExc_ValueError, messages::kRetainWrongHeads, n_heads, given);
    for (std::size_t h = 0; h < n_heads; ++h) {
        PyRef item = checked(PySequence_GetItem(object, static_cast<Py_ssize_t>(h)));
        BufferView row;
        if (get_view(item.get(), row)) {
            if (row->ndim != 1) raise_format(PyExc_ValueError, messages::kRetainNotOneDimension, h, row->ndim);
            read_head_buffer(row.view(), h, 0, row->shape[0], row->strides[0]);
        } else if (!PyUnicode_Check(item.get()) && PySequence_Check(item.get())) {
            read_head_sequence(item.get(), h);
        } else {
            raise_with_type(messages::kRetainHeadNotArray, h, item.get());
        }
    }
}

void RetainArgument::read_head_buffer(const Py_buffer& view, std::size_t h, Py_ssize_t offset, Py_ssize_t length,
                                      Py_ssize_t step) {
    Head& head = heads_[h];
    const std::optional<ElementFormat> format = element_format(view);
    if (format && format->kind == ElementKind::floating && length == 0) return;  // numpy.array([]) is float64
    if (!format || format->kind == ElementKind::floating) {
        raise_format(PyExc_TypeError, messages::kRetainNotIndices, h, view.format == nullptr ? "B" : view.format);
    }
    head.mask = format->kind == ElementKind::boolean;
    head.items.reserve(static_cast<std::size_t>(length));
    const auto* base = static_cast<const unsigned char*>(view.buf) + offset;
    for (Py_ssize_t j = 0; j < length; ++j) {
        const std::optional<std::int64_t> value = read_integer_element(base + j * step, *format);
        if (!value) raise_format(PyExc_IndexError, messages::kRetainIndexTooLarge, h);
        head.items.push_back(*value);
    }
}

void RetainArgument::read_head_sequence(PyObject* object, std::size_t h) {
    Head& head = heads_[h];
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) throw PythonErrorSet{};
    head.items.reserve(static_cast<std::size_t>(length));
    Py_ssize_t bools = 0;
    for (Py_ssize_t j = 0; j < length; ++j) {
        PyRef item = checked(PySequence_GetItem(object, j));
        if (PyBool_Check(item.get())) {
            ++bools;
            head.items.push_back(item.get() == Py_True ? 1 : 0);
            continue;
        }
        if (!PyIndex_Check(item.get())) raise_with_type(messages::kRetainItemNotIndex, h, item.get());
        PyRef index = checked(PyNumber_Index(item.get()));
        int overflow = 0;
        const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
        if (overflow != 0) raise_format(PyExc_IndexError, messages::kRetainIndexTooLarge, h);
        if (value == -1 && PyErr_Occurred()) throw PythonErrorSet{};
        head.items.push_back(value);
    }
    // A list of Python bools is a mask, as NumPy indexing reads it.
    head.mask = length != 0 && bools == length;
}

void RetainArgument::mark(std::span<const std::size_t> lengths, unsigned char* kept, std::size_t stride) const {
    for (std::size_t h = 0; h < heads_.size(); ++h) {
        const Head& head = heads_[h];
        const std::size_t length = lengths[h];
        unsigned char* row = kept + h * stride;
        std::memset(row, 0, stride);
        if (head.mask) {
            if (head.items.size() != length) {
                raise_format(PyExc_ValueError, messages::kRetainMaskLength, h, length, head.items.size());
            }
            for (std::size_t i = 0; i < length; ++i) row[i] = head.items[i] != 0 ? 1 : 0;
            continue;
        }
        const auto held = static_cast<std::int64_t>(length);
        for (const std::int64_t index : head.items) {
            const std::int64_t at = index < 0 ? index + held : index;
            if (at < 0 || at >= held) {
                raise_format(PyExc_IndexError, messages::kRetainIndexOutOfRange, static_cast<long long>(index), h, length);
            }
            if (row[at] != 0) raise_format(PyExc_ValueError, messages::kRetainIndexTwice, static_cast<long long>(index), h);
            row[at] = 1;
        }
    }
}

}  // namespace marrowvale
