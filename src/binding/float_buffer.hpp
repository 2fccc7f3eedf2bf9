// A growable float array that keeps short vectors (a key, a value, a
// query) on the stack, so a call converts its arguments without touching
// the heap.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>
#include <span>

#include "cache/float_array.hpp"

namespace marrowvale {

class FloatBuffer {
public:
    FloatBuffer() noexcept = default;
    FloatBuffer(const FloatBuffer&) = delete;
    FloatBuffer& operator=(const FloatBuffer&) = delete;

    float* data() noexcept { return data_; }
    const float* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::span<const float> span() const noexcept { return {data_, size_}; }

    void reserve(std::size_t count) {
        if (count <= capacity_) return;
        FloatArray fresh = allocate_floats(count);
        if (size_ != 0) std::memcpy(fresh.get(), data_, size_ * sizeof(float));
        heap_ = std::move(fresh);
        data_ = heap_.get();
        capacity_ = count;
    }

    // Room for `count` floats (at least 0) where the count comes from the
    // caller (a sequence's __len__, a nested sequence's outer lengths): only
    // a hint, so at most kMaxHintedFloats are reserved up front, and a lying
    // length cannot make us take memory before the items arrive. The count
    // keeps its own integer type: a Py_ssize_t cast to size_t first made
    // PyKVCache.append of tuples measurably slower.
    template <typename Count>
    void reserve_hint(Count count) {
        reserve(static_cast<std::size_t>(std::min(count, static_cast<Count>(kMaxHintedFloats))));
    }

    void push_back(float value) {
        if (size_ == capacity_) reserve(capacity_ * 2);
        data_[size_++] = value;
    }

    // Sets the size to `count` floats of unspecified value.
    void resize_for_overwrite(std::size_t count) {
        reserve(count);
        size_ = count;
    }

    static constexpr std::size_t kMaxHintedFloats = std::size_t{1} << 20;

private:
    static constexpr std::size_t kInline = 256;
    float inline_[kInline];
    FloatArray heap_;
    float* data_ = inline_;
    std::size_t size_ = 0;
    std::size_t capacity_ = kInline;
};

}  // namespace marrowvale
