#include "cache/kernels.hpp"

namespace marrowvale {
namespace {

// The eight-lane order over the terms term(0) ... term(n - 1).
template <typename Term>
float eight_lane_sum(std::size_t n, Term term) {
    float partial[8] = {0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
    const std::size_t blocks = n / 8;
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t r = 0; r < 8; ++r) partial[r] = partial[r] + term(8 * b + r);
    }
    float total = 0.0f;
    for (std::size_t r = 0; r < 4; ++r) total = total + (partial[r] + partial[r + 4]);
    for (std::size_t i = 8 * blocks; i < n; ++i) total = total + term(i);
    return total;
}

float dot_scalar(const float* x, const float* y, std::size_t n) {
    return eight_lane_sum(n, [&](std::size_t i) { return x[i] * y[i]; });
}

void dot_rows_scalar(const float* q, const float* rows, std::size_t n, std::size_t count, float* scores) {
    for (std::size_t i = 0; i < count; ++i) scores[i] = dot_scalar(q, rows + i * n, n);
}

float sum_scalar(const float* a, std::size_t n) {
    return eight_lane_sum(n, [&](std::size_t i) { return a[i]; });
}

void add_scaled_scalar(float* out, const float* v, float w, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) out[j] = out[j] + v[j] * w;
}

void blend_scalar(float* out, const float* a, float wa, const float* b, float wb, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) out[j] = a[j] * wa + b[j] * wb;
}

}  // namespace

const Kernels kScalarKernels = {"scalar", dot_scalar, dot_rows_scalar, sum_scalar, add_scaled_scalar, blend_scalar};

}  // namespace marrowvale
