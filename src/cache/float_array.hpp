// Heap arrays for the row lists and working buffers.
//
// Allocation failure is always std::bad_alloc, also under sanitizers whose
// allocators abort on an impossible size instead of throwing from plain new.
// Arrays of a huge page or more are aligned to 2 MiB and offered to the
// kernel for huge pages: attention streams through every row, and on 4 KiB
// pages it reads memory markedly slower (a page walk every 4 KiB, which a
// virtual machine makes dearer still, and hardware prefetchers that stop at
// each page's end). The array is rounded up to whole huge pages, so only
// where that wastes at most a quarter of it: with the row lists' doubling
// growth, lists of power-of-two rows are whole huge pages from 2 MiB on.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace marrowvale {

struct FreeBlock {
    void operator()(void* block) const noexcept { std::free(block); }
};

template <typename T>
using HeapArray = std::unique_ptr<T[], FreeBlock>;

using FloatArray = HeapArray<float>;

// An uninitialised array of `count` elements of a trivial type.
template <typename T>
HeapArray<T> allocate_array(std::size_t count) {
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    if (count > (std::numeric_limits<std::size_t>::max() - kHugePage) / sizeof(T)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(T);
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = nullptr;
    if (bytes >= kHugePage && rounded - bytes <= bytes / 4) {
        block = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Only advice: without transparent huge pages nothing changes.
        if (block != nullptr) madvise(block, rounded, MADV_HUGEPAGE);
#endif
    } else {
        block = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (block == nullptr) throw std::bad_alloc();
    return HeapArray<T>(static_cast<T*>(block));
}

inline FloatArray allocate_floats(std::size_t count) { return allocate_array<float>(count); }

// Working floats kept from call to call, so that a caller allocates (and,
// for a large array, maps and faults in) nothing once it has seen its
// largest need. Nothing is kept over a growth: the old contents need no
// copy, and the old array goes before the new one is asked for.
class ScratchFloats {
public:
    // Room for `count` floats; throws std::bad_alloc.
    float* get(std::size_t count) {
        if (count > capacity_) {
            floats_.reset();
            capacity_ = 0;
            floats_ = allocate_floats(count);
            capacity_ = count;
        }
        return floats_.get();
    }
    // Gives the floats back.
    void release() noexcept {
        floats_.reset();
        capacity_ = 0;
    }
    // What the last get returned.
    float* data() const noexcept { return floats_.get(); }
    std::size_t capacity() const noexcept { return capacity_; }

private:
    FloatArray floats_;
    std::size_t capacity_ = 0;
};

}  // namespace marrowvale
