// Owning holder for a Py_buffer: released when the holder goes, or earlier
// with release(). The one way this code holds a buffer, so that no path can
// forget to give one back.
#pragma once

#include "binding/py_ref.hpp"

#include <utility>

namespace marrowvale {

class BufferView {
public:
    BufferView() noexcept = default;
    ~BufferView() { release(); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    BufferView(BufferView&& other) noexcept : view_(other.view_), held_(std::exchange(other.held_, false)) {}
    BufferView& operator=(BufferView&& other) noexcept {
        if (this != &other) {
            release();
            view_ = other.view_;
            held_ = std::exchange(other.held_, false);
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
    Py_buffer view_{};
    bool held_ = false;
};

}  // namespace marrowvale
