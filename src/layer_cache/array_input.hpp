// Reading a caller's array argument as float32 rows in C order: anything
// with the buffer protocol (NumPy arrays of any number type, memoryviews,
// array.array) or nested sequences of numbers.
//
// Aligned C-contiguous native float32 is used in place, without a copy;
// every other input is converted element by element into a buffer of our
// own, each element rounded to the nearest float32 as PyKVCache rounds a
// Python number: float64 directly, float16 exactly, an integer of any width
// to the nearest double first (as the interpreter converts an int), a bool
// to 0.0 or 1.0. Nested sequences go through PyKVCache's own conversion.
#pragma once

#include "binding/buffer_view.hpp"
#include "binding/float_buffer.hpp"
#include "binding/py_ref.hpp"

#include <array>
#include <cstddef>
#include <string>

namespace marrowvale {

// The shape an argument must have, at most three dimensions. A dimension of
// kFree takes the argument's own size and is shown by its name in messages
// ("expected (T, 4, 64), got (4, 64)").
struct ExpectedShape {
    static constexpr Py_ssize_t kFree = -1;
    int ndim;
    std::array<Py_ssize_t, 3> dims;
    // The name of each kFree dimension, by its place.
    std::array<const char*, 3> free_names{};
};

// A shape as messages show it: "(4, 64)", "(64,)".
std::string shape_text(const Py_ssize_t* dims, int ndim);
// An expected shape, kFree dimensions by their names ("(T, 4, 64)").
std::string shape_text(const ExpectedShape& expected);

// The view of `object`'s buffer with strides and format; false, with no
// error set, when it has none (or refuses this kind of request: then the
// object is read as a sequence). Any other failure of the export is raised.
bool get_view(PyObject* object, BufferView& view);

// Whether a buffer holds float32 in this machine's byte order, which is read
// (and written, for out=) in place.
bool holds_native_float32(const Py_buffer& view);

class FloatArgument {
public:
    FloatArgument() noexcept = default;
    FloatArgument(const FloatArgument&) = delete;
    FloatArgument& operator=(const FloatArgument&) = delete;

    // Reads `object`, the argument `parameter`: open, then convert. Throws
    // PythonErrorSet with ValueError for a wrong shape, TypeError for
    // elements that are not numbers (messages begin "argument 'NAME': ").
    void read(PyObject* object, const char* parameter, const ExpectedShape& expected);

    // The first half of read: takes the buffer of `object` and checks its
    // whole shape or, for nested sequences, the length of the outermost, so
    // that a caller can check every argument's shape (the work a conversion
    // will cost) before converting any. dim(i) is then known for every
    // dimension of a buffer, and the first of nested sequences.
    void open(PyObject* object, const char* parameter, const ExpectedShape& expected);
    // The second half: reads the floats of an opened argument (nested
    // sequences have their inner shapes checked on the way).
    void convert();

    const float* data() const noexcept { return data_; }
    // The size of dimension i as read.
    Py_ssize_t dim(int i) const noexcept { return shape_[static_cast<std::size_t>(i)]; }
    std::size_t size() const noexcept { return size_; }

    // Makes the floats a copy of our own if they are the caller's memory
    // and overlap [begin, end) (an output the caller also passed as input).
    void separate_from(const void* begin, const void* end);

private:
    bool check_buffer_shape(const Py_buffer& view, int depth);
    [[noreturn]] void buffer_shape_error(const Py_buffer& view, int depth);
    // The length of nested sequences at `depth`, checked against the shape.
    Py_ssize_t sequence_length(PyObject* object, int depth);
    void read_buffer(BufferView buffer, int depth);
    void read_nested(PyObject* object, int depth);
    [[noreturn]] void shape_error(int depth, Py_ssize_t found, PyObject* object);

    PyObject* object_ = nullptr;  // borrowed: arguments outlive the call
    const char* parameter_ = nullptr;
    ExpectedShape expected_{};
    BufferView opened_;  // the buffer open took, until convert reads it
    std::array<Py_ssize_t, 3> shape_{};
    BufferView view_;  // held while the floats are the caller's own memory
    FloatBuffer converted_;
    const float* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace marrowvale
