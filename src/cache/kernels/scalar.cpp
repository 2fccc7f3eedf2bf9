// The scalar kernels: the reference that every vector set must match bit
// for bit, written to read like the definitions in kernels.hpp.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// ---- The storage tiers ----

float bf16_at(const unsigned char* row, std::size_t i) {
    std::uint16_t half;
    std::memcpy(&half, row + 2 * i, sizeof half);
    return std::bit_cast<float>(static_cast<std::uint32_t>(half) << 16);
}

float scale_at(const unsigned char* row, std::size_t block) {
    float scale;
    std::memcpy(&scale, row + block * sizeof(float), sizeof scale);
    return scale;
}

std::size_t int8_blocks(std::size_t n) { return (n + kInt8Block - 1) / kInt8Block; }

float int8_at(const unsigned char* row, std::size_t n, std::size_t i) {
    return static_cast<float>(static_cast<signed char>(row[int8_blocks(n) * sizeof(float) + i]));
}

// Round to nearest-even on the float's bits: adding 0x7FFF plus the lowest
// kept bit carries into the kept bits exactly when the dropped half is
// above one half, or one half with an odd kept part. No finite float
// carries past the exponent (the largest ones round to infinity, as they
// should), and NaNs are kept apart so that none becomes an infinity.
std::uint16_t bf16_of(float x) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(x);
    if (std::isnan(x)) return static_cast<std::uint16_t>((bits >> 16) | 0x0040u);
    return static_cast<std::uint16_t>((bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16);
}

void bf16_from_floats_scalar(const float* x, std::size_t n, unsigned char* out) {
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint16_t half = bf16_of(x[i]);
        std::memcpy(out + 2 * i, &half, sizeof half);
    }
}

bool int8_from_floats_scalar(const float* x, std::size_t n, unsigned char* row) {
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(x[i])) return false;
    }
    unsigned char* values = row + int8_blocks(n) * sizeof(float);
    for (std::size_t b = 0; b < int8_blocks(n); ++b) {
        const std::size_t start = b * kInt8Block;
        const std::size_t end = std::min(n, start + kInt8Block);
        float largest = 0.0f;
        for (std::size_t i = start; i < end; ++i) largest = std::max(largest, std::fabs(x[i]));
        const float scale = int8_scale(largest);
        std::memcpy(row + b * sizeof(float), &scale, sizeof scale);
        for (std::size_t i = start; i < end; ++i) {
            // A quotient past 127 comes from a subnormal scale, whose
            // rounding is coarse, or from a scale lowered at the top of the
            // range; the clamp keeps it in the int8 range.
            const float quotient = scale == 0.0f ? 0.0f : std::clamp(x[i] / scale, -127.0f, 127.0f);
            values[i] = static_cast<unsigned char>(static_cast<signed char>(static_cast<int>(std::nearbyint(quotient))));
        }
    }
    return true;
}

// Query after query, row after row, as dot_rows_scalar, with
// score(query, row) the score of one row.
template <typename Score>
void tier_dot_rows(const float* q, std::size_t queries, const unsigned char* rows, std::size_t row_bytes,
                   std::size_t n, std::size_t count, float* scores, std::size_t stride, Score score) {
    for (std::size_t g = 0; g < queries; ++g) {
        for (std::size_t i = 0; i < count; ++i) scores[g * stride + i] = score(q + g * n, rows + i * row_bytes);
    }
}

void dot_rows_bf16_scalar(const float* q, std::size_t queries, const unsigned char* rows, std::size_t row_bytes,
                          std::size_t n, std::size_t count, float* scores, std::size_t stride) {
    tier_dot_rows(q, queries, rows, row_bytes, n, count, scores, stride, [&](const float* query, const unsigned char* row) {
        return eight_lane_sum(n, [&](std::size_t k) { return query[k] * bf16_at(row, k); });
    });
}

void dot_rows_int8_scalar(const float* q, std::size_t queries, const unsigned char* rows, std::size_t row_bytes,
                          std::size_t n, std::size_t count, float* scores, std::size_t stride) {
    tier_dot_rows(q, queries, rows, row_bytes, n, count, scores, stride, [&](const float* query, const unsigned char* row) {
        float score = 0.0f;
        for (std::size_t b = 0; b < int8_blocks(n); ++b) {
            const std::size_t start = b * kInt8Block;
            const float block = eight_lane_sum(std::min(kInt8Block, n - start), [&](std::size_t k) {
                return query[start + k] * int8_at(row, n, start + k);
            });
            score = score + block * scale_at(row, b);
        }
        return score;
    });
}

// Output after output, row after row, as weighted_sum_rows_scalar, with
// value(row, j) the dequantised value of column j.
template <typename Value>
void tier_weighted_sum(float* out, std::size_t outputs, const unsigned char* rows, std::size_t row_bytes,
                       const float* weights, std::size_t count, std::size_t width, std::size_t stride, Value value) {
    for (std::size_t o = 0; o < outputs; ++o) {
        float* sums = out + o * width;
        for (std::size_t i = 0; i < count; ++i) {
            const unsigned char* row = rows + i * row_bytes;
            const float weight = weights[o * stride + i];
            for (std::size_t j = 0; j < width; ++j) sums[j] = sums[j] + value(row, j) * weight;
        }
    }
}

void weighted_sum_rows_bf16_scalar(float* out, std::size_t outputs, const unsigned char* rows, std::size_t row_bytes,
                                   const float* weights, std::size_t count, std::size_t width, std::size_t stride) {
    tier_weighted_sum(out, outputs, rows, row_bytes, weights, count, width, stride, bf16_at);
}

void weighted_sum_rows_int8_scalar(float* out, std::size_t outputs, const unsigned char* rows, std::size_t row_bytes,
                                   const float* weights, std::size_t count, std::size_t width, std::size_t stride) {
    tier_weighted_sum(out, outputs, rows, row_bytes, weights, count, width, stride,
                      [&](const unsigned char* row, std::size_t j) {
                          return int8_at(row, width, j) * scale_at(row, j / kInt8Block);
                      });
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
    .bf16_from_floats = bf16_from_floats_scalar,
    .int8_from_floats = int8_from_floats_scalar,
    .dot_rows_bf16 = dot_rows_bf16_scalar,
    .dot_rows_int8 = dot_rows_int8_scalar,
    .weighted_sum_rows_bf16 = weighted_sum_rows_bf16_scalar,
    .weighted_sum_rows_int8 = weighted_sum_rows_int8_scalar,
};

}  // namespace marrowvale
