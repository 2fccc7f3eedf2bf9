// The scalar kernels: the reference that every vector set must match bit
// for bit, written to read like the definitions in kernels.hpp.
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include "cache/kernels/kernels.hpp"

namespace marrowvale {
namespace {

// The doubles of the exponential one at a time. Products and sums are
// rounded on their own (contraction is off), so two inputs need a fix.
struct WideScalar {
    using Vec = double;
    using Bits = std::uint64_t;
    static constexpr bool kFused = false;
    static double set1(double x) { return x; }
    static double mul(double a, double b) { return a * b; }
    static double sub(double a, double b) { return a - b; }
    static double mul_add(double a, double b, double c) { return a * b + c; }
    static Bits bits(double x) { return std::bit_cast<Bits>(x); }
    static double scale(const std::uint64_t* table, Bits ki) { return std::bit_cast<double>(table[ki % 32] + (ki << 47)); }
};

#include "cache/kernels/exp_steps.inc"

float exp_scalar(float x) {
    if (std::isnan(x)) return x + x;
    if (x < kExpZeroBelow) return 0.0f;
    if (x > kExpInfinityAbove) return std::numeric_limits<float>::infinity();
    if (x == kExpUnfusedMissLow) return kExpUnfusedFixLow;
    if (x == kExpUnfusedMissHigh) return kExpUnfusedFixHigh;
    return static_cast<float>(exp_unrounded<WideScalar>(static_cast<double>(x)));
}

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

}  // namespace

float unrolled_dot(const float* x, const float* y, std::size_t n) {
    return eight_lane_sum(n, [&](std::size_t i) { return x[i] * y[i]; });
}

namespace {

void dot_rows_scalar(const float* q, std::size_t queries, const float* rows, std::size_t n, std::size_t count,
                     float* scores, std::size_t stride) {
    for (std::size_t g = 0; g < queries; ++g) {
        for (std::size_t i = 0; i < count; ++i) scores[g * stride + i] = unrolled_dot(q + g * n, rows + i * n, n);
    }
}

float sum_scalar(const float* a, std::size_t n) {
    return eight_lane_sum(n, [&](std::size_t i) { return a[i]; });
}

float divide_max_scalar(float* a, std::size_t n, float divisor) {
    float largest = -std::numeric_limits<float>::infinity();
    for (std::size_t i = 0; i < n; ++i) {
        a[i] = a[i] / divisor;
        // A NaN compares false, so it never becomes the largest.
        if (a[i] > largest) largest = a[i];
    }
    return largest;
}

// Output after output; for each, row after row, each row added into every
// column before the next starts.
void weighted_sum_rows_scalar(float* out, std::size_t outputs, const float* rows, const float* weights,
                              std::size_t count, std::size_t width, std::size_t stride) {
    for (std::size_t o = 0; o < outputs; ++o) {
        float* sums = out + o * width;
        const float* weight = weights + o * stride;
        for (std::size_t i = 0; i < count; ++i) {
            const float* row = rows + i * width;
            for (std::size_t j = 0; j < width; ++j) sums[j] = sums[j] + row[j] * weight[i];
        }
    }
}

void blend_scalar(float* out, const float* a, float wa, const float* b, float wb, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) out[j] = a[j] * wa + b[j] * wb;
}

void exp_minus_scalar(float* a, std::size_t n, float top) {
    for (std::size_t i = 0; i < n; ++i) a[i] = exp_scalar(a[i] - top);
}

void norms_and_dots_scalar(const float* rows, std::size_t width, std::size_t count, float* norms, float* dots) {
    for (std::size_t i = 0; i < count; ++i) {
        const float* row = rows + i * width;
        norms[i] = unrolled_dot(row, row, width);
        if (i + 1 < count) dots[i] = unrolled_dot(row, row + width, width);
    }
}

void cosines_scalar(float* dots, float* norms, std::size_t pairs, float epsilon) {
    if (pairs == 0) return;
    for (std::size_t i = 0; i <= pairs; ++i) norms[i] = std::sqrt(norms[i]);
    for (std::size_t i = 0; i < pairs; ++i) dots[i] = dots[i] / (norms[i] * norms[i + 1] + epsilon);
}

void mark_above_scalar(const float* a, std::size_t n, float threshold, std::uint64_t* bits) {
    for (std::size_t word = 0; word < (n + 63) / 64; ++word) bits[word] = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (a[i] > threshold) bits[i / 64] |= std::uint64_t{1} << (i % 64);
    }
}

void add_rows_scalar(float* total, const float* rows, std::size_t count, std::size_t n, std::size_t stride) {
    for (std::size_t r = 0; r < count; ++r) {
        for (std::size_t i = 0; i < n; ++i) total[i] = total[i] + rows[r * stride + i];
    }
}

std::size_t lowest_scalar(const float* a, std::size_t n) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < n && !std::isnan(a[best]); ++i) {
        if (std::isnan(a[i]) || a[i] < a[best]) best = i;
    }
    return best;
}

}  // namespace

const Kernels kScalarKernels = {
    .name = "scalar",
    .lanes = 1,
    .dot = unrolled_dot,
    .dot_rows = dot_rows_scalar,
    .sum = sum_scalar,
    .divide_max = divide_max_scalar,
    .weighted_sum_rows = weighted_sum_rows_scalar,
    .blend = blend_scalar,
    .exp_minus = exp_minus_scalar,
    .norms_and_dots = norms_and_dots_scalar,
    .cosines = cosines_scalar,
    .mark_above = mark_above_scalar,
    .add_rows = add_rows_scalar,
    .lowest = lowest_scalar,
};

}  // namespace marrowvale
