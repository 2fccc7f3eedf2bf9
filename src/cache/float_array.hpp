// Heap float arrays for the entry lists and working buffers.
//
// Allocation failure is always std::bad_alloc, also under sanitizers whose
// allocators abort on an impossible size instead of throwing from plain new.
// Large arrays are aligned to 2 MiB and offered to the kernel for huge pages:
// attention streams through every row, and on 4 KiB pages a large cache
// spends a noticeable share of its time on TLB misses and page faults.
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

struct FreeFloats {
    void operator()(float* block) const noexcept { std::free(block); }
};

using FloatArray = std::unique_ptr<float[], FreeFloats>;

inline FloatArray allocate_floats(std::size_t count) {
    constexpr std::size_t kHugePage = std::size_t{2} << 20;
    constexpr std::size_t kHugeFrom = 2 * kHugePage;
    if (count > (std::numeric_limits<std::size_t>::max() - kHugePage) / sizeof(float)) throw std::bad_alloc();
    const std::size_t bytes = count * sizeof(float);
    void* block = nullptr;
    if (bytes >= kHugeFrom) {
        const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
        block = std::aligned_alloc(kHugePage, rounded);
#if defined(__linux__) && defined(MADV_HUGEPAGE)
        // Only advice: without transparent huge pages nothing changes.
        if (block != nullptr) madvise(block, rounded, MADV_HUGEPAGE);
#endif
    } else {
        block = std::malloc(bytes == 0 ? 1 : bytes);
    }
    if (block == nullptr) throw std::bad_alloc();
    return FloatArray(static_cast<float*>(block));
}

}  // namespace marrowvale
