// The float kernels under attention and merging. Every sum follows the
// eight-lane order: eight partial sums take the terms of whole blocks of
// eight (term 8b + r goes to partial r), a total starting at +0.0 takes
// (p0 + p4), (p1 + p5), (p2 + p6), (p3 + p7) in turn, and the leftover terms
// follow one at a time. Each product is rounded to float before it is added.
// The vector implementations keep exactly this order, so every kernel set
// gives the same bits as the scalar one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace marrowvale {

struct Kernels {
    const char* name;
    // The eight-lane dot product of x and y, n terms.
    float (*dot)(const float* x, const float* y, std::size_t n);
    // scores[i] = dot(q, rows + i * n, n) for count contiguous rows of n
    // floats; several rows are scored at once so their additions overlap.
    void (*dot_rows)(const float* q, const float* rows, std::size_t n, std::size_t count, float* scores);
    // The eight-lane sum of a[0] ... a[n - 1].
    float (*sum)(const float* a, std::size_t n);
    // a[i] = a[i] / divisor for i < n, a true division each; returns the
    // largest result, NaN skipped, -inf when there is none. When the largest
    // is a zero, which of +0.0 and -0.0 comes back is left open: attention
    // subtracts it from every score, and x - (+0.0) and x - (-0.0) differ
    // only for x = -0.0, whose exponential is 1 either way.
    float (*divide_max)(float* a, std::size_t n, float divisor);
    // For every column j < width, out[j] receives the products
    // rows[i * width + j] * weights[i] for i = 0, 1, ..., count - 1, one at a
    // time and in that order: out[j] = out[j] + product, the product rounded
    // first. Each column is a left-to-right sum over the rows, so a caller
    // may split the rows into consecutive runs and call once per run.
    void (*weighted_sum_rows)(float* out, const float* rows, const float* weights, std::size_t count,
                              std::size_t width);
    // out[j] = a[j] * wa + b[j] * wb for j < n: two rounded products, then
    // their rounded sum. out may be a (each element is read before written).
    void (*blend)(float* out, const float* a, float wa, const float* b, float wb, std::size_t n);
};

// The scalar reference, written to read like the definition above.
extern const Kernels kScalarKernels;
#if defined(MARROWVALE_X86_KERNELS)
extern const Kernels kSse2Kernels;
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;

// The AVX2 set's single dot product and sum, which the AVX-512 set shares: a
// single sum is one chain of dependent additions, and wider registers do not
// shorten it.
float dot_avx2(const float* x, const float* y, std::size_t n);
float sum_avx2(const float* a, std::size_t n);
#endif

// Every kernel set built into this binary, scalar first.
std::vector<const Kernels*> built_kernels();

// Whether the processor and the operating system can run this set.
bool kernels_supported(const Kernels& kernels);

// The set every computation uses. Until select_kernels runs it is the best
// supported set.
const Kernels& active_kernels() noexcept;

// Chooses the active set once: the one named by `forced` (an empty name
// means the best supported). Returns an empty string on success, otherwise
// why the named set cannot be used.
std::string select_kernels(std::string_view forced);

}  // namespace marrowvale
