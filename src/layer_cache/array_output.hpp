// Arrays handed back to Python: new NumPy arrays, and a caller's `out=`.
// NumPy's functions are looked up once, when the module is imported, and
// called through the interpreter; the module needs no NumPy headers.
#pragma once

#include "binding/buffer_view.hpp"
#include "binding/py_ref.hpp"

#include <cstddef>
#include <initializer_list>

namespace marrowvale {

// Looks up numpy.empty and the float32 and int64 dtypes. Throws
// PythonErrorSet (ImportError without NumPy).
void load_numpy();

enum class Element { float32, int64 };

// A new C-contiguous array with its memory at hand.
class NewArray {
public:
    // Throws PythonErrorSet (MemoryError for an impossible size).
    NewArray(Element element, std::initializer_list<Py_ssize_t> shape);

    void* data() const noexcept { return view_->buf; }
    // Hands the array to the caller.
    PyObject* release() noexcept {
        view_.release();
        return array_.release();
    }

private:
    PyRef array_;
    BufferView view_;
};

// An array the caller gives to be written (`out`, `weights`): a writable,
// aligned, C-contiguous float32 array of exactly the given shape, held (and
// its buffer with it) until this goes.
class OutputArgument {
public:
    // Throws PythonErrorSet: TypeError for something that is not a float32
    // array, ValueError for a wrong shape, a read-only or non-contiguous one.
    // Messages begin "argument 'PARAMETER': ".
    OutputArgument(PyObject* out, const char* parameter, Py_ssize_t rows, Py_ssize_t columns);

    // Throws PythonErrorSet with ValueError unless the array has `columns`
    // columns: for a shape that may have changed since the check of the
    // constructor.
    void check_columns(Py_ssize_t columns) const;

    float* data() const noexcept { return static_cast<float*>(view_->buf); }
    std::size_t size() const noexcept { return static_cast<std::size_t>(view_->len) / sizeof(float); }
    // Whether the arrays' memory overlaps.
    bool overlaps(const OutputArgument& other) const noexcept;
    // A new reference to the caller's object.
    PyObject* result() const noexcept { return Py_NewRef(out_.get()); }

private:
    PyRef out_;
    BufferView view_;
    const char* parameter_;
};

}  // namespace marrowvale
