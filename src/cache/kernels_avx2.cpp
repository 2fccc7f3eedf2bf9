// AVX2 kernels. One 256-bit register holds the eight partial sums of a row,
// lane r being p_r; its low half (p0..p3) plus its high half (p4..p7) is
// exactly the pair step. Products and sums stay separate instructions: this
// file is built without FMA and with contraction off.
#include <algorithm>
#include <limits>
#include <utility>

#include <immintrin.h>

#include "cache/kernels.hpp"
#include "cache/kernels_tuning.hpp"

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


// Eight rows per pass: eight independent accumulator chains hide the latency
// of the additions, and each block of q is loaded once for all eight rows.
void dot_rows_avx2(const float* q, const float* rows, std::size_t n, std::size_t count, float* scores) {
    constexpr std::size_t kRows = 8;
    const bool prefetch = count * n * sizeof(float) > kernel_tuning::kPrefetchAboveBytes;
    const std::size_t whole = n - n % 8;
    std::size_t i = 0;
    for (; i + kRows <= count; i += kRows) {
        const float* row = rows + i * n;
        const bool ask = prefetch && i + (kPassesAhead + 1) * kRows <= count;
        const float* ahead = ask ? row + kPassesAhead * kRows * n : nullptr;
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


float divide_max_avx2(float* a, std::size_t n, float divisor) {
    const __m256 by = _mm256_set1_ps(divisor);
    // max_ps(x, m) is x when x > m and m otherwise (a NaN x included): the
    // scalar fold, lane by lane.
    __m256 lanes = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    const std::size_t whole = n - n % 8;
    for (std::size_t i = 0; i < whole; i += 8) {
        const __m256 quotient = _mm256_div_ps(_mm256_loadu_ps(a + i), by);
        _mm256_storeu_ps(a + i, quotient);
        lanes = _mm256_max_ps(quotient, lanes);
    }
    float lane[8];
    _mm256_storeu_ps(lane, lanes);
    float largest = lane[0];
    for (std::size_t r = 1; r < 8; ++r) {
        if (lane[r] > largest) largest = lane[r];
    }
    for (std::size_t i = whole; i < n; ++i) {
        a[i] = a[i] / divisor;
        if (a[i] > largest) largest = a[i];
    }
    return largest;
}

// Asks for the cache lines that hold first[0 .. kFloats).
template <std::size_t kFloats>
void prefetch_columns(const float* first) {
    const char* begin = reinterpret_cast<const char*>(first);
#pragma GCC unroll 16
    for (std::size_t offset = 0; offset < kFloats * sizeof(float); offset += 64) {
        _mm_prefetch(begin + offset, _MM_HINT_T0);
    }
    _mm_prefetch(begin + kFloats * sizeof(float) - 1, _MM_HINT_T0);
}

// One block of columns over a run of rows: kWhole whole vectors and, with
// kTail, one more vector of which only the `tail` lanes are read and
// written. The block's sums stay in registers from the first row to the
// last, so each row costs loads, products and additions only; the kWhole
// sums are independent chains whose additions overlap. With `ahead` set,
// each row also asks for the block's columns of the row `ahead` rows on, as
// long as that row is among the `rows_left` rows from the start of the run.
template <std::size_t kWhole, bool kTail>
void weighted_block(float* out, const float* rows, const float* weights, std::size_t count, std::size_t width,
                    __m256i tail, std::size_t ahead, std::size_t rows_left) {
    constexpr std::size_t kSums = kWhole + (kTail ? 1 : 0);
    __m256 sum[kSums];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kWhole; ++k) sum[k] = _mm256_loadu_ps(out + 8 * k);
    if constexpr (kTail) sum[kWhole] = _mm256_maskload_ps(out + 8 * kWhole, tail);
    for (std::size_t i = 0; i < count; ++i) {
        const float* row = rows + i * width;
        if (ahead != 0 && i + ahead < rows_left) prefetch_columns<kSums * 8>(row + ahead * width);
        const __m256 weight = _mm256_broadcast_ss(weights + i);
#pragma GCC unroll 8
        for (std::size_t k = 0; k < kWhole; ++k) {
            sum[k] = _mm256_add_ps(sum[k], _mm256_mul_ps(_mm256_loadu_ps(row + 8 * k), weight));
        }
        if constexpr (kTail) {
            sum[kWhole] = _mm256_add_ps(sum[kWhole], _mm256_mul_ps(_mm256_maskload_ps(row + 8 * kWhole, tail), weight));
        }
    }
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kWhole; ++k) _mm256_storeu_ps(out + 8 * k, sum[k]);
    if constexpr (kTail) _mm256_maskstore_ps(out + 8 * kWhole, tail, sum[kWhole]);
}

using WeightedBlock = void (*)(float*, const float*, const float*, std::size_t, std::size_t, __m256i, std::size_t,
                              std::size_t);

// Eight sums of eight columns fill half the registers and leave the rest
// for the row's vectors and the weight.
constexpr std::size_t kBlockVectors = 8;
constexpr std::size_t kBlockColumns = 8 * kBlockVectors;

// The block function for a block of `columns` columns (1 ... kBlockColumns).
template <std::size_t... kWhole>
WeightedBlock block_for(std::size_t columns, std::index_sequence<kWhole...>) {
    static constexpr WeightedBlock whole[] = {nullptr, weighted_block<kWhole + 1, false>...};
    static constexpr WeightedBlock with_tail[] = {weighted_block<kWhole, true>...};
    return columns % 8 == 0 ? whole[columns / 8] : with_tail[columns / 8];
}

void weighted_sum_rows_avx2(float* out, const float* rows, const float* weights, std::size_t count,
                            std::size_t width) {
    const __m256i lane_index = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    kernel_tuning::for_each_weighted_block<kBlockColumns>(
        count, width,
        [&](std::size_t column, std::size_t columns, std::size_t start, std::size_t length, std::size_t ahead) {
            const __m256i tail = _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(columns % 8)), lane_index);
            const WeightedBlock block = block_for(columns, std::make_index_sequence<kBlockVectors>());
            block(out + column, rows + start * width + column, weights + start, length, width, tail, ahead,
                  count - start);
        });
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

// The single sums are one chain of dependent additions at any register
// width, so the AVX-512 set uses these two as they are.
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

float sum_avx2(const float* a, std::size_t n) {
    const std::size_t whole = n - n % 8;
    __m256 partial = _mm256_setzero_ps();
    for (std::size_t i = 0; i < whole; i += 8) partial = _mm256_add_ps(partial, _mm256_loadu_ps(a + i));
    float total = fold(partial);
    for (std::size_t i = whole; i < n; ++i) total = total + a[i];
    return total;
}

const Kernels kAvx2Kernels = {
    .name = "avx2",
    .dot = dot_avx2,
    .dot_rows = dot_rows_avx2,
    .sum = sum_avx2,
    .divide_max = divide_max_avx2,
    .weighted_sum_rows = weighted_sum_rows_avx2,
    .blend = blend_avx2,
};

}  // namespace marrowvale
