// AVX-512 kernels. A row's eight partial sums are eight lanes, so a 512-bit
// register carries the accumulators of two rows side by side: lanes 0..7 for
// one row, lanes 8..15 for another. Both rows receive their terms in block
// order, exactly as in the scalar sum; only the rows share a register.
//
// A single sum has one chain of dependent additions whatever the register
// width, so `dot` and `sum` are the AVX2 set's (one row's eight lanes).
// The element-wise kernels and the weighted sum of rows use all sixteen
// lanes, with plain loads and stores for whole registers and a mask only for
// the tail.
//
// AVX-512F brings fused multiply-add with it: only -ffp-contract=off keeps
// the compiler from fusing the products below into the sums that follow.
//
// Shuffles, inserts, extracts, broadcasts and maxima use their zero-masked
// forms with every lane selected (the same instructions): GCC 12's plain
// forms start from an "undefined" register that trips its own
// -Wmaybe-uninitialized.
#include <algorithm>
#include <limits>
#include <utility>

#include <immintrin.h>

#include "cache/kernels.hpp"
#include "cache/kernels_tuning.hpp"

namespace marrowvale {

namespace {

constexpr __mmask8 kAll8 = 0xFF;
constexpr __mmask16 kAll16 = 0xFFFF;

// The totals of eight rows in row order, from registers that hold
// [row k | row k + 4], k = 0..3. Adding 128-bit quarters 0 and 2 to quarters
// 1 and 3 gives [pairs of row k | pairs of row k + 4]; a 4x4 transpose inside
// each 256-bit half puts pair j of every row in register j, and the totals
// take registers 0..3 in turn, as one row's total takes its pairs.
__m256 fold8(const __m512 partial[4]) {
    __m256 pair[4];
#pragma GCC unroll 2
    for (int k = 0; k < 4; k += 2) {
        const __m512 low = _mm512_maskz_shuffle_f32x4(kAll16, partial[k], partial[k + 1], _MM_SHUFFLE(2, 0, 2, 0));
        const __m512 high = _mm512_maskz_shuffle_f32x4(kAll16, partial[k], partial[k + 1], _MM_SHUFFLE(3, 1, 3, 1));
        const __m512d pairs = _mm512_castps_pd(_mm512_add_ps(low, high));
        pair[k] = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(kAll8, pairs, 0));
        pair[k + 1] = _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(kAll8, pairs, 1));
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

// Eight floats from `low` in lanes 0..7 and eight from `high` in lanes 8..15.
__m512 halves(const float* low, const float* high) {
    const __m512d first = _mm512_castpd256_pd512(_mm256_castps_pd(_mm256_loadu_ps(low)));
    return _mm512_castpd_ps(_mm512_maskz_insertf64x4(kAll8, first, _mm256_castps_pd(_mm256_loadu_ps(high)), 1));
}

// The same eight floats in lanes 0..7 and in lanes 8..15.
__m512 twice(const float* block) {
    return _mm512_castpd_ps(_mm512_maskz_broadcast_f64x4(kAll8, _mm256_castps_pd(_mm256_loadu_ps(block))));
}

// The lanes below `left` (all sixteen when at least sixteen are left).
__mmask16 first_lanes(std::size_t left) {
    return left >= 16 ? kAll16 : static_cast<__mmask16>((1u << left) - 1u);
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


// Eight rows per pass in four registers, register k carrying rows k and
// k + 4: four independent 512-bit chains keep the adders busy, and each
// block of q is loaded once (into both halves) for all eight rows.
void dot_rows_avx512(const float* q, const float* rows, std::size_t n, std::size_t count, float* scores) {
    constexpr std::size_t kRows = 8;
    const bool prefetch = count * n * sizeof(float) > kernel_tuning::kPrefetchAboveBytes;
    const std::size_t whole = n - n % 8;
    std::size_t i = 0;
    for (; i + kRows <= count; i += kRows) {
        const float* row = rows + i * n;
        const bool ask = prefetch && i + (kPassesAhead + 1) * kRows <= count;
        const float* ahead = ask ? row + kPassesAhead * kRows * n : nullptr;
        __m512 partial[4];
#pragma GCC unroll 4
        for (int k = 0; k < 4; ++k) partial[k] = _mm512_setzero_ps();
        for (std::size_t b = 0; b < whole; b += 8) {
            const __m512 q_block = twice(q + b);
            if (ahead != nullptr) prefetch_lines(ahead + b * kRows, kRows / 2);
#pragma GCC unroll 4
            for (std::size_t k = 0; k < 4; ++k) {
                const __m512 keys = halves(row + k * n + b, row + (k + 4) * n + b);
                partial[k] = _mm512_add_ps(partial[k], _mm512_mul_ps(q_block, keys));
            }
        }
        _mm256_storeu_ps(scores + i, fold8(partial));
        for (std::size_t r = 0; r < kRows; ++r) {
            for (std::size_t b = whole; b < n; ++b) scores[i + r] = scores[i + r] + q[b] * row[r * n + b];
        }
    }
    for (; i < count; ++i) scores[i] = dot_avx2(q, rows + i * n, n);
}


// Masked-off lanes are neither read from memory nor stored.
float divide_max_avx512(float* a, std::size_t n, float divisor) {
    const __m512 by = _mm512_set1_ps(divisor);
    // max_ps(x, m) is x when x > m and m otherwise (a NaN x included): the
    // scalar fold, lane by lane.
    __m512 lanes = _mm512_set1_ps(-std::numeric_limits<float>::infinity());
    const std::size_t whole = n - n % 16;
    for (std::size_t i = 0; i < whole; i += 16) {
        const __m512 quotient = _mm512_div_ps(_mm512_loadu_ps(a + i), by);
        _mm512_storeu_ps(a + i, quotient);
        lanes = _mm512_maskz_max_ps(kAll16, quotient, lanes);
    }
    if (whole < n) {
        const __mmask16 left = first_lanes(n - whole);
        const __m512 quotient = _mm512_maskz_div_ps(left, _mm512_maskz_loadu_ps(left, a + whole), by);
        _mm512_mask_storeu_ps(a + whole, left, quotient);
        lanes = _mm512_mask_max_ps(lanes, left, quotient, lanes);
    }
    float lane[16];
    _mm512_storeu_ps(lane, lanes);
    float largest = lane[0];
    for (std::size_t r = 1; r < 16; ++r) {
        if (lane[r] > largest) largest = lane[r];
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
// sums are independent chains whose additions overlap. Only the tail is
// masked, and it is stored once per block, not once per row.
template <std::size_t kWhole, bool kTail>
void weighted_block(float* out, const float* rows, const float* weights, std::size_t count, std::size_t width,
                    __mmask16 tail, std::size_t ahead, std::size_t rows_left) {
    constexpr std::size_t kSums = kWhole + (kTail ? 1 : 0);
    __m512 sum[kSums];
#pragma GCC unroll 16
    for (std::size_t k = 0; k < kWhole; ++k) sum[k] = _mm512_loadu_ps(out + 16 * k);
    if constexpr (kTail) sum[kWhole] = _mm512_maskz_loadu_ps(tail, out + 16 * kWhole);
    for (std::size_t i = 0; i < count; ++i) {
        const float* row = rows + i * width;
        if (ahead != 0 && i + ahead < rows_left) prefetch_columns<kSums * 16>(row + ahead * width);
        const __m512 weight = _mm512_set1_ps(weights[i]);
#pragma GCC unroll 16
        for (std::size_t k = 0; k < kWhole; ++k) {
            sum[k] = _mm512_add_ps(sum[k], _mm512_mul_ps(_mm512_loadu_ps(row + 16 * k), weight));
        }
        if constexpr (kTail) {
            const __m512 part = _mm512_maskz_loadu_ps(tail, row + 16 * kWhole);
            sum[kWhole] = _mm512_add_ps(sum[kWhole], _mm512_mul_ps(part, weight));
        }
    }
#pragma GCC unroll 16
    for (std::size_t k = 0; k < kWhole; ++k) _mm512_storeu_ps(out + 16 * k, sum[k]);
    if constexpr (kTail) _mm512_mask_storeu_ps(out + 16 * kWhole, tail, sum[kWhole]);
}

using WeightedBlock = void (*)(float*, const float*, const float*, std::size_t, std::size_t, __mmask16, std::size_t,
                              std::size_t);

// Eight sums of sixteen columns fill a quarter of the registers.
constexpr std::size_t kBlockVectors = 8;
constexpr std::size_t kBlockColumns = 16 * kBlockVectors;

// The block function for a block of `columns` columns (1 ... kBlockColumns).
template <std::size_t... kWhole>
WeightedBlock block_for(std::size_t columns, std::index_sequence<kWhole...>) {
    static constexpr WeightedBlock whole[] = {nullptr, weighted_block<kWhole + 1, false>...};
    static constexpr WeightedBlock with_tail[] = {weighted_block<kWhole, true>...};
    return columns % 16 == 0 ? whole[columns / 16] : with_tail[columns / 16];
}

void weighted_sum_rows_avx512(float* out, const float* rows, const float* weights, std::size_t count,
                              std::size_t width) {
    kernel_tuning::for_each_weighted_block<kBlockColumns>(
        count, width,
        [&](std::size_t column, std::size_t columns, std::size_t start, std::size_t length, std::size_t ahead) {
            const __mmask16 tail = first_lanes(columns % 16);
            const WeightedBlock block = block_for(columns, std::make_index_sequence<kBlockVectors>());
            block(out + column, rows + start * width + column, weights + start, length, width, tail, ahead,
                  count - start);
        });
}

// Each block of a and b is loaded before the same block of out is stored, so
// out may be a. Only the tail is masked: a masked store to a line that is not
// in the cache waits for the line, where a plain one need not, and a pass
// that blends rows of a large cache misses on almost every row it writes.
void blend_avx512(float* out, const float* a, float wa, const float* b, float wb, std::size_t n) {
    const __m512 weight_a = _mm512_set1_ps(wa);
    const __m512 weight_b = _mm512_set1_ps(wb);
    const std::size_t whole = n - n % 16;
    for (std::size_t j = 0; j < whole; j += 16) {
        const __m512 from_a = _mm512_mul_ps(_mm512_loadu_ps(a + j), weight_a);
        const __m512 from_b = _mm512_mul_ps(_mm512_loadu_ps(b + j), weight_b);
        _mm512_storeu_ps(out + j, _mm512_add_ps(from_a, from_b));
    }
    if (whole < n) {
        const __mmask16 lanes = first_lanes(n - whole);
        const __m512 from_a = _mm512_mul_ps(_mm512_maskz_loadu_ps(lanes, a + whole), weight_a);
        const __m512 from_b = _mm512_mul_ps(_mm512_maskz_loadu_ps(lanes, b + whole), weight_b);
        _mm512_mask_storeu_ps(out + whole, lanes, _mm512_add_ps(from_a, from_b));
    }
}

}  // namespace

const Kernels kAvx512Kernels = {
    .name = "avx512",
    .dot = dot_avx2,
    .dot_rows = dot_rows_avx512,
    .sum = sum_avx2,
    .divide_max = divide_max_avx512,
    .weighted_sum_rows = weighted_sum_rows_avx512,
    .blend = blend_avx512,
};

}  // namespace marrowvale
