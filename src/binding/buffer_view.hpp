// Owning holder for a Py_buffer: released when the holder goes, or earlier
// with release(). The one way this code holds a buffer, so that no path can
// forget to give one back.
#pragma once

#include "binding/py_ref.hpp"

#include <utility>

namespace marrowvale {

class BufferView {
public:
    // The view is filled only by acquire: zeroing its eleven words on every
    // conversion would be a measurable part of a short vector's.
    BufferView() noexcept {}
    ~BufferView() { release(); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView(BufferView&& other) noexcept { take(other); }
    BufferView& operator=(BufferView&& other) noexcept {
        if (this != &other) {
            release();
            take(other);
        }
        return *this;
    }

    // Asks `object` for its buffer with PyObject_GetBuffer's `flags`; false,
    // with the exporter's error set, when refused. Releases any buffer held
    // before.
    bool acquire(PyObject* object, int flags) noexcept {
        release();
        held_ = PyObject_GetBuffer(object, &view_, flags) == 0;
        return held_;
    }

    void release() noexcept {
        if (held_) PyBuffer_Release(&view_);
        held_ = false;
    }

    bool held() const noexcept { return held_; }
    const Py_buffer& view() const noexcept { return view_; }
    const Py_buffer* operator->() const noexcept { return &view_; }

private:
    void take(BufferView& other) noexcept {
        if (other.held_) view_ = other.view_;
        held_ = std::exchange(other.held_, false);
    }

    Py_buffer view_;  // meaningful only while held_
    bool held_ = false;
};

// Whether the error a refused acquire set says only that the object has no
// buffer of the kind asked for: TypeError (no buffer protocol), BufferError
// (a request the exporter cannot serve) or ValueError (NumPy's answer for a
// dtype a buffer cannot describe). A caller may then read the object another
// way or report a wrong kind of argument. Any other error (MemoryError, a
// RuntimeError such as a borrow conflict met by Python code the exporter
// ran) is the caller's to see, unchanged.
inline bool buffer_request_refused() noexcept {
    return PyErr_ExceptionMatches(PyExc_TypeError) || PyErr_ExceptionMatches(PyExc_BufferError) ||
           PyErr_ExceptionMatches(PyExc_ValueError);
}

}  // namespace marrowvale
