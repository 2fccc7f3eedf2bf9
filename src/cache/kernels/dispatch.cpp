#include "cache/kernels/kernels.hpp"

#include <atomic>

namespace marrowvale {
namespace {

// The widest supported set. Each set is meant to be no slower than the
// narrower ones on any kernel: where 512-bit registers bring nothing (a
// single sum is one chain of additions whatever the width) the AVX-512 set
// works in 256-bit registers, and its wide kernels keep masked loads and
// stores to the tail of a row. Measured on an AMD EPYC (Zen 5), its scores
// are as fast as the AVX2 set's and its weighted sums and divisions up to
// 1.7 and 2 times faster.
const Kernels* best_supported() {
    const Kernels* best = &kScalarKernels;
    for (const Kernels* candidate : built_kernels()) {
        if (kernels_supported(*candidate)) best = candidate;
    }
    return best;
}

// Atomic because the core may be used from several threads (each on its own
// cache) before anything selected a set: each then computes the same choice.
std::atomic<const Kernels*> g_active{nullptr};

}  // namespace

std::vector<const Kernels*> built_kernels() {
#if defined(MARROWVALE_X86_KERNELS)
    return {&kScalarKernels, &kSse2Kernels, &kAvx2Kernels, &kAvx512Kernels};
#else
    return {&kScalarKernels};
#endif
}

bool kernels_supported(const Kernels& kernels) {
#if defined(MARROWVALE_X86_KERNELS)
    // libgcc's probe also checks that the operating system saves the wide
    // registers, not only that the processor has them.
    __builtin_cpu_init();
    if (&kernels == &kSse2Kernels) return __builtin_cpu_supports("sse2");
    // The exponential of the AVX2 and AVX-512 sets fuses its multiply-adds,
    // so both need FMA; without it the SSE2 set gives the same bits.
    const bool fma = __builtin_cpu_supports("fma");
    if (&kernels == &kAvx2Kernels) return __builtin_cpu_supports("avx2") && fma;
    if (&kernels == &kAvx512Kernels) return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx2") && fma;
#endif
    return &kernels == &kScalarKernels;
}

const Kernels& active_kernels() noexcept {
    // Computed on first use when no selection was made (the core used on
    // its own); the module selects at import, before any cache exists.
    const Kernels* active = g_active.load(std::memory_order_acquire);
    if (active == nullptr) {
        active = best_supported();
        g_active.store(active, std::memory_order_release);
    }
    return *active;
}

std::string select_kernels(std::string_view forced) {
    if (forced.empty()) {
        g_active.store(best_supported(), std::memory_order_release);
        return {};
    }
    std::string names;
    for (const Kernels* candidate : built_kernels()) {
        if (forced == candidate->name) {
            if (!kernels_supported(*candidate)) {
                return "kernel set '" + std::string(forced) + "' is not supported by this processor";
            }
            g_active.store(candidate, std::memory_order_release);
            return {};
        }
        if (!names.empty()) names += ", ";
        names += candidate->name;
    }
    return "unknown kernel set '" + std::string(forced) + "'; built: " + names;
}

}  // namespace marrowvale
