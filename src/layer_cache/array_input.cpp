#include "layer_cache/array_input.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "cache/messages.hpp"
#include "conversions.hpp"

namespace marrowvale {
namespace {

// Up to this many floats are reserved from a sequence's length before its
// rows are read; a longer one grows as rows arrive, so that a lying __len__
// cannot make us reserve memory up front.
constexpr std::size_t kMaxReserveFromLength = std::size_t{1} << 20;

enum class Kind { floating, signed_integer, unsigned_integer, boolean };

struct ElementFormat {
    Kind kind;
    std::size_t size;
    bool swap;  // stored in the other byte order
};

// The element type of a buffer, from its struct-module format and item
// size; false for anything that is not one plain number type.
bool parse_format(const Py_buffer& view, ElementFormat& format) {
    const char* text = view.format == nullptr ? "B" : view.format;
    char order = '@';
    if (std::strchr("@=<>!", text[0]) != nullptr && text[0] != '\0') order = *text++;
    if (text[0] == '\0' || text[1] != '\0') return false;
    const bool little = std::endian::native == std::endian::little;
    format.swap = (order == '<' && !little) || ((order == '>' || order == '!') && little);
    format.size = static_cast<std::size_t>(view.itemsize);
    const char type = text[0];
    if (std::strchr("bhilqn", type) != nullptr) {
        format.kind = Kind::signed_integer;
    } else if (std::strchr("BHILQN", type) != nullptr) {
        format.kind = Kind::unsigned_integer;
    } else if (type == '?') {
        format.kind = Kind::boolean;
        return format.size == 1;
    } else if (type == 'e' || type == 'f' || type == 'd') {
        format.kind = Kind::floating;
        return format.size == (type == 'e' ? 2u : type == 'f' ? 4u : 8u);
    } else if (type == 'g') {
        // Long double exists only in native form.
        format.kind = Kind::floating;
        return order == '@' && format.size == sizeof(long double);
    } else {
        return false;
    }
    return format.size == 1 || format.size == 2 || format.size == 4 || format.size == 8;
}

bool is_native_float32(const ElementFormat& format) {
    return format.kind == Kind::floating && format.size == sizeof(float) && !format.swap;
}

std::uint64_t load_bits(const unsigned char* at, std::size_t size, bool swap) {
    std::uint64_t bits = 0;
    unsigned char bytes[8];
    for (std::size_t i = 0; i < size; ++i) bytes[i] = at[swap ? size - 1 - i : i];
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&bits, bytes, size);
    } else {
        std::memcpy(reinterpret_cast<unsigned char*>(&bits) + (8 - size), bytes, size);
    }
    return bits;
}

// Every float16 is a float32 exactly.
float half_to_float(std::uint16_t half) {
    const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
    const std::uint32_t exponent = (half >> 10) & 0x1fu;
    const std::uint32_t mantissa = half & 0x3ffu;
    if (exponent == 0) {
        const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
        return sign != 0 ? -magnitude : magnitude;
    }
    const std::uint32_t bits = exponent == 0x1f ? sign | 0x7f800000u | (mantissa << 13)
                                                : sign | ((exponent + 112) << 23) | (mantissa << 13);
    return std::bit_cast<float>(bits);
}

float read_element(const unsigned char* at, const ElementFormat& format) {
    switch (format.kind) {
        case Kind::boolean:
            return at[0] != 0 ? 1.0f : 0.0f;
        case Kind::floating:
            if (format.size == sizeof(long double) && format.size > 8) {
                long double value;
                std::memcpy(&value, at, sizeof(value));
                return static_cast<float>(static_cast<double>(value));
            }
            if (format.size == 2) return half_to_float(static_cast<std::uint16_t>(load_bits(at, 2, format.swap)));
            if (format.size == 4) return std::bit_cast<float>(static_cast<std::uint32_t>(load_bits(at, 4, format.swap)));
            return static_cast<float>(std::bit_cast<double>(load_bits(at, 8, format.swap)));
        case Kind::signed_integer: {
            // Sign-extend from the element's width.
            const unsigned shift = static_cast<unsigned>(64 - 8 * format.size);
            const auto value =
                static_cast<std::int64_t>(load_bits(at, format.size, format.swap) << shift) >> shift;
            return static_cast<float>(static_cast<double>(value));
        }
        case Kind::unsigned_integer:
            return static_cast<float>(static_cast<double>(load_bits(at, format.size, format.swap)));
    }
    return 0.0f;
}

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

// The view of `object`'s buffer with strides and format; false, with no
// error set, when it has none (or refuses this kind of request: then the
// object is read as a sequence).
bool get_view(PyObject* object, Py_buffer& view) {
    if (!PyObject_CheckBuffer(object)) return false;
    if (PyObject_GetBuffer(object, &view, PyBUF_RECORDS_RO) == 0) return true;
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonErrorSet{};
    PyErr_Clear();
    return false;
}

class ViewRelease {
public:
    explicit ViewRelease(Py_buffer& view) noexcept : view_(&view) {}
    ~ViewRelease() {
        if (view_ != nullptr) PyBuffer_Release(view_);
    }
    void keep() noexcept { view_ = nullptr; }

private:
    Py_buffer* view_;
};

}  // namespace

std::string shape_text(const Py_ssize_t* dims, int ndim, const char* free_name) {
    std::string text = "(";
    for (int i = 0; i < ndim; ++i) {
        if (i != 0) text += ", ";
        text += dims[i] == ExpectedShape::kFree ? std::string(free_name) : std::to_string(dims[i]);
    }
    return text + (ndim == 1 ? ",)" : ")");
}

bool holds_native_float32(const Py_buffer& view) {
    ElementFormat format;
    return parse_format(view, format) && is_native_float32(format);
}

FloatArgument::~FloatArgument() {
    if (holds_view_) PyBuffer_Release(&view_);
}

void FloatArgument::read(PyObject* object, const char* parameter, const ExpectedShape& expected) {
    parameter_ = parameter;
    expected_ = &expected;
    shape_ = expected.dims;
    try {
        Py_buffer view;
        if (get_view(object, view)) {
            read_buffer(view, 0);
        } else {
            read_nested(object, 0);
        }
    } catch (const PythonErrorSet&) {
        raise_argument_error(parameter_);
    }
    size_ = 1;
    for (int i = 0; i < expected.ndim; ++i) size_ *= static_cast<std::size_t>(shape_[static_cast<std::size_t>(i)]);
    if (!holds_view_) data_ = converted_.data();
}

void FloatArgument::read_buffer(Py_buffer& view, int depth) {
    ViewRelease release(view);
    const int ndim = expected_->ndim - depth;
    bool fits = view.ndim == ndim;
    for (int i = 0; fits && i < ndim; ++i) {
        const auto d = static_cast<std::size_t>(depth + i);
        if (shape_[d] == ExpectedShape::kFree) {
            shape_[d] = view.shape[i];
        } else {
            fits = view.shape[i] == shape_[d];
        }
    }
    if (!fits) {
        Py_ssize_t found[6] = {};
        for (int i = 0; i < depth; ++i) found[i] = shape_[static_cast<std::size_t>(i)];
        for (int i = 0; i < view.ndim && depth + i < 6; ++i) found[depth + i] = view.shape[i];
        const std::string wanted = shape_text(expected_->dims.data(), expected_->ndim, expected_->free_name);
        const std::string got = shape_text(found, std::min(depth + view.ndim, 6));
        PyErr_Format(PyExc_ValueError, messages::kWrongShape, parameter_, wanted.c_str(), got.c_str());
        throw PythonErrorSet{};
    }
    ElementFormat format;
    if (!parse_format(view, format)) {
        PyErr_Format(PyExc_TypeError, messages::kNotNumbers, view.format == nullptr ? "B" : view.format);
        throw PythonErrorSet{};
    }
    const bool in_place = depth == 0 && is_native_float32(format) && PyBuffer_IsContiguous(&view, 'C') &&
                          reinterpret_cast<std::uintptr_t>(view.buf) % alignof(float) == 0;
    if (in_place) {
        view_ = view;
        holds_view_ = true;
        release.keep();
        data_ = static_cast<const float*>(view.buf);
        return;
    }
    convert_strided(view, format, converted_);
}

void FloatArgument::read_nested(PyObject* object, int depth) {
    const auto d = static_cast<std::size_t>(depth);
    if (depth == expected_->ndim - 1) {
        Py_buffer view;
        if (get_view(object, view)) return read_buffer(view, depth);
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
        Py_buffer view;
        if (get_view(object, view)) return read_buffer(view, depth);
    }
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, messages::kStrIsNotAVector);
        throw PythonErrorSet{};
    }
    if (!PySequence_Check(object)) {
        PyRef name = type_qualname(object);
        if (!name) throw PythonErrorSet{};
        PyErr_Format(PyExc_TypeError, messages::kNotASequence, name.get());
        throw PythonErrorSet{};
    }
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) throw PythonErrorSet{};
    if (shape_[d] == ExpectedShape::kFree) {
        shape_[d] = length;
    } else if (length != shape_[d]) {
        shape_error(depth, length, object);
    }
    if (depth == 0) {
        std::size_t total = static_cast<std::size_t>(length);
        for (int i = 1; i < expected_->ndim; ++i) total *= static_cast<std::size_t>(shape_[static_cast<std::size_t>(i)]);
        converted_.reserve(std::min(total, kMaxReserveFromLength));
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
    while (item && found > 0 && ndim < expected_->ndim) {
        item = PyRef::steal(PySequence_GetItem(item.get(), 0));
        if (!item) break;
        found = PyObject_Length(item.get());
        if (found < 0) break;
        got[ndim++] = found;
    }
    PyErr_Clear();
    const std::string wanted = shape_text(expected_->dims.data(), expected_->ndim, expected_->free_name);
    const std::string text = shape_text(got, ndim);
    PyErr_Format(PyExc_ValueError, messages::kWrongShape, parameter_, wanted.c_str(), text.c_str());
    throw PythonErrorSet{};
}

void FloatArgument::separate_from(const void* begin, const void* end) {
    if (!holds_view_ || size_ == 0) return;
    const auto* first = reinterpret_cast<const unsigned char*>(data_);
    const auto* last = first + size_ * sizeof(float);
    if (last <= static_cast<const unsigned char*>(begin) || first >= static_cast<const unsigned char*>(end)) return;
    converted_.resize_for_overwrite(size_);
    std::memcpy(converted_.data(), data_, size_ * sizeof(float));
    data_ = converted_.data();
    PyBuffer_Release(&view_);
    holds_view_ = false;
}

}  // namespace marrowvale
