// Heap float arrays whose allocation failure is always std::bad_alloc,
// also under sanitizers whose allocators abort on an impossible size
// instead of throwing from plain new.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>

namespace marrowvale {

inline std::unique_ptr<float[]> allocate_floats(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(float)) throw std::bad_alloc();
    float* block = new (std::nothrow) float[count];
    if (block == nullptr) throw std::bad_alloc();
    return std::unique_ptr<float[]>(block);
}

}  // namespace marrowvale
