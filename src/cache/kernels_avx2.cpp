// AVX2 kernels. One 256-bit register holds the eight partial sums of a row,
// lane r being p_r; its low half (p0..p3) plus its high half (p4..p7) is
// exactly the pair step. Products and sums stay separate instructions: this
// file is built without FMA and with contraction off.
#include <immintrin.h>

#include "cache/kernels.hpp"

namespace marrowvale {
namespace {

// The total of one row: +0.0, then each pair sum in lane order.
float fold(__m256 partial) {
    float pairs[4];
    _mm_storeu_ps(pairs, _mm_add_ps(_mm256_castps256_ps128(partial), _mm256_extractf128_ps(partial, 1)));
    float total = 0.0f;
    for (const float pair : pairs) total = total + pair;
    return total;
}

// The totals of eight rows at once, in row order. Register k first gets
// [pairs of row k | pairs of row k + 4]; a 4x4 transpose inside each half
// then puts pair j of rows 0..3 (and 4..7) in register j, and the totals
// take registers 0..3 in turn, as one row's total takes its pairs.
__m256 fold8(const __m256 partial[8]) {
    __m256 pair[4];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) {
        const __m256 low = _mm256_permute2f128_ps(partial[k], partial[k + 4], 0x20);
        const __m256 high = _mm256_permute2f128_ps(partial[k], partial[k + 4], 0x31);
        pair[k] = _mm256_add_ps(low, high);
    }
    const __m256 t0 = _mm256_unpacklo_ps(pair[0], pair[1]);
    const __m256 t1 = _mm256_unpackhi_ps(pair[0], pair[1]);
    const __m256 t2 = _mm256_unpacklo_ps(pair[2], pair[3]);
    const __m256 t3 = _mm256_unpackhi_ps(pair[2], pair[3]);
    __m256 total = _mm256_setzero_ps();
    total = _mm256_add_ps(total, _mm256_shuffle_ps(t0, t2, 0x44));
    total = _mm256_add_ps(total, _mm256_shuffle_ps(t0, t2, 0xEE));
    total = _mm256_add_ps(total, _mm256_shuffle_ps(t1, t3, 0x44));
    total = _mm256_add_ps(total, _mm256_shuffle_ps(t1, t3, 0xEE));
    return total;
}

// A pass reads its rows as interleaved streams, which the hardware
// prefetcher follows poorly once the keys no longer fit in the caches. So
// each pass also asks for the pass that starts sixteen rows further on,
// spread over its blocks: block k of a pass of R rows asks for floats
// [k * R, (k + 8) * R) of that pass, R / 2 cache lines.
constexpr std::size_t kPassesAhead = 2;  // sixteen rows
void prefetch_lines(const float* first, std::size_t lines) {
#pragma GCC unroll 4
    for (std::size_t line = 0; line < lines; ++line) {
        _mm_prefetch(reinterpret_cast<const char*>(first) + 64 * line, _MM_HINT_T0);
    }
}

float dot_avx2(const float* x, const float* y, std::size_t n) {
    const std::size_t whole = n - n % 8;
    __m256 partial = _mm256_setzero_ps();
    for (std::size_t i = 0; i < whole; i += 8) {
        partial = _mm256_add_ps(partial, _mm256_mul_ps(_mm256_loadu_ps(x + i), _mm256_loadu_ps(y + i)));
    }
    float total = fold(partial);
    for (std::size_t i = whole; i < n; ++i) total = total + x[i] * y[i];
    return total;
}

// Eight rows per pass: eight independent accumulator chains hide the latency
// of the additions, and each block of q is loaded once for all eight rows.
void dot_rows_avx2(const float* q, const float* rows, std::size_t n, std::size_t count, float* scores) {
    constexpr std::size_t kRows = 8;
    const std::size_t whole = n - n % 8;
    std::size_t i = 0;
    for (; i + kRows <= count; i += kRows) {
        const float* row = rows + i * n;
        const float* ahead = i + (kPassesAhead + 1) * kRows <= count ? row + kPassesAhead * kRows * n : nullptr;
        __m256 partial[kRows];
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kRows; ++r) partial[r] = _mm256_setzero_ps();
        for (std::size_t k = 0; k < whole; k += 8) {
            const __m256 q_block = _mm256_loadu_ps(q + k);
            if (ahead != nullptr) prefetch_lines(ahead + k * kRows, kRows / 2);
#pragma GCC unroll 8
            for (std::size_t r = 0; r < kRows; ++r) {
                partial[r] = _mm256_add_ps(partial[r], _mm256_mul_ps(q_block, _mm256_loadu_ps(row + r * n + k)));
            }
        }
        _mm256_storeu_ps(scores + i, fold8(partial));
        for (std::size_t r = 0; r < kRows; ++r) {
            for (std::size_t k = whole; k < n; ++k) scores[i + r] = scores[i + r] + q[k] * row[r * n + k];
        }
    }
    for (; i < count; ++i) scores[i] = dot_avx2(q, rows + i * n, n);
}

float sum_avx2(const float* a, std::size_t n) {
    const std::size_t whole = n - n % 8;
    __m256 partial = _mm256_setzero_ps();
    for (std::size_t i = 0; i < whole; i += 8) partial = _mm256_add_ps(partial, _mm256_loadu_ps(a + i));
    float total = fold(partial);
    for (std::size_t i = whole; i < n; ++i) total = total + a[i];
    return total;
}

// Element-wise: every lane does what the scalar loop does for its element.
void add_scaled_avx2(float* out, const float* v, float w, std::size_t n) {
    const __m256 weight = _mm256_set1_ps(w);
    const std::size_t whole = n - n % 8;
    for (std::size_t j = 0; j < whole; j += 8) {
        _mm256_storeu_ps(out + j,
                         _mm256_add_ps(_mm256_loadu_ps(out + j), _mm256_mul_ps(_mm256_loadu_ps(v + j), weight)));
    }
    for (std::size_t j = whole; j < n; ++j) out[j] = out[j] + v[j] * w;
}

// Each block of a and b is loaded before the same block of out is stored, so
// out may be a.
void blend_avx2(float* out, const float* a, float wa, const float* b, float wb, std::size_t n) {
    const __m256 weight_a = _mm256_set1_ps(wa);
    const __m256 weight_b = _mm256_set1_ps(wb);
    const std::size_t whole = n - n % 8;
    for (std::size_t j = 0; j < whole; j += 8) {
        const __m256 from_a = _mm256_mul_ps(_mm256_loadu_ps(a + j), weight_a);
        const __m256 from_b = _mm256_mul_ps(_mm256_loadu_ps(b + j), weight_b);
        _mm256_storeu_ps(out + j, _mm256_add_ps(from_a, from_b));
    }
    for (std::size_t j = whole; j < n; ++j) out[j] = a[j] * wa + b[j] * wb;
}

}  // namespace

const Kernels kAvx2Kernels = {"avx2", dot_avx2, dot_rows_avx2, sum_avx2, add_scaled_avx2, blend_avx2};

}  // namespace marrowvale
