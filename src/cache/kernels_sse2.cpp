// SSE2 kernels. A 128-bit register holds four floats, so the eight partial
// sums of a row live in two registers: `low` holds p0..p3 and `high` p4..p7.
// Adding them lane by lane is exactly the pair step (p_r + p_(r+4)).
#include <algorithm>
#include <limits>
#include <utility>

#include <emmintrin.h>

#include "cache/kernels.hpp"
#include "cache/kernels_tuning.hpp"

namespace marrowvale {
namespace {

// The total of one row: +0.0, then each pair sum in lane order.
float fold(__m128 low, __m128 high) {
    float pairs[4];
    _mm_storeu_ps(pairs, _mm_add_ps(low, high));
    float total = 0.0f;
    for (const float pair : pairs) total = total + pair;
    return total;
}

// A pass reads its rows as interleaved streams, which the hardware
// prefetcher follows poorly once the keys no longer fit in the caches. So
// each pass also asks for the pass that starts sixteen rows further on,
// spread over its blocks: block k of a pass of R rows asks for floats
// [k * R, (k + 8) * R) of that pass, R / 2 cache lines.
constexpr std::size_t kPassesAhead = 4;  // sixteen rows
void prefetch_lines(const float* first, std::size_t lines) {
#pragma GCC unroll 4
    for (std::size_t line = 0; line < lines; ++line) {
        _mm_prefetch(reinterpret_cast<const char*>(first) + 64 * line, _MM_HINT_T0);
    }
}

float dot_sse2(const float* x, const float* y, std::size_t n) {
    const std::size_t whole = n - n % 8;
    __m128 low = _mm_setzero_ps();
    __m128 high = _mm_setzero_ps();
    for (std::size_t i = 0; i < whole; i += 8) {
        low = _mm_add_ps(low, _mm_mul_ps(_mm_loadu_ps(x + i), _mm_loadu_ps(y + i)));
        high = _mm_add_ps(high, _mm_mul_ps(_mm_loadu_ps(x + i + 4), _mm_loadu_ps(y + i + 4)));
    }
    float total = fold(low, high);
    for (std::size_t i = whole; i < n; ++i) total = total + x[i] * y[i];
    return total;
}

// Four rows per pass: their eight accumulators are independent chains, so
// the additions overlap, and each block of q is loaded once for all four.
void dot_rows_sse2(const float* q, const float* rows, std::size_t n, std::size_t count, float* scores) {
    constexpr std::size_t kRows = 4;
    const bool prefetch = count * n * sizeof(float) > kernel_tuning::kPrefetchAboveBytes;
    const std::size_t whole = n - n % 8;
    std::size_t i = 0;
    for (; i + kRows <= count; i += kRows) {
        const float* row = rows + i * n;
        const bool ask = prefetch && i + (kPassesAhead + 1) * kRows <= count;
        const float* ahead = ask ? row + kPassesAhead * kRows * n : nullptr;
        __m128 low[kRows];
        __m128 high[kRows];
#pragma GCC unroll 4
        for (std::size_t r = 0; r < kRows; ++r) low[r] = high[r] = _mm_setzero_ps();
        for (std::size_t k = 0; k < whole; k += 8) {
            const __m128 q_low = _mm_loadu_ps(q + k);
            const __m128 q_high = _mm_loadu_ps(q + k + 4);
            if (ahead != nullptr) prefetch_lines(ahead + k * kRows, kRows / 2);
#pragma GCC unroll 4
            for (std::size_t r = 0; r < kRows; ++r) {
                low[r] = _mm_add_ps(low[r], _mm_mul_ps(q_low, _mm_loadu_ps(row + r * n + k)));
                high[r] = _mm_add_ps(high[r], _mm_mul_ps(q_high, _mm_loadu_ps(row + r * n + k + 4)));
            }
        }
        // Transposing the four rows' pair sums lines up pair j of every row
        // in one register, so the four totals take their pairs side by side.
        __m128 pair[kRows];
#pragma GCC unroll 4
        for (std::size_t r = 0; r < kRows; ++r) pair[r] = _mm_add_ps(low[r], high[r]);
        _MM_TRANSPOSE4_PS(pair[0], pair[1], pair[2], pair[3]);
        __m128 total = _mm_setzero_ps();
#pragma GCC unroll 4
        for (std::size_t j = 0; j < 4; ++j) total = _mm_add_ps(total, pair[j]);
        _mm_storeu_ps(scores + i, total);
        for (std::size_t r = 0; r < kRows; ++r) {
            for (std::size_t k = whole; k < n; ++k) scores[i + r] = scores[i + r] + q[k] * row[r * n + k];
        }
    }
    for (; i < count; ++i) scores[i] = dot_sse2(q, rows + i * n, n);
}

float sum_sse2(const float* a, std::size_t n) {
    const std::size_t whole = n - n % 8;
    __m128 low = _mm_setzero_ps();
    __m128 high = _mm_setzero_ps();
    for (std::size_t i = 0; i < whole; i += 8) {
        low = _mm_add_ps(low, _mm_loadu_ps(a + i));
        high = _mm_add_ps(high, _mm_loadu_ps(a + i + 4));
    }
    float total = fold(low, high);
    for (std::size_t i = whole; i < n; ++i) total = total + a[i];
    return total;
}

float divide_max_sse2(float* a, std::size_t n, float divisor) {
    const __m128 by = _mm_set1_ps(divisor);
    // max_ps(x, m) is x when x > m and m otherwise (a NaN x included): the
    // scalar fold, lane by lane.
    __m128 lanes = _mm_set1_ps(-std::numeric_limits<float>::infinity());
    const std::size_t whole = n - n % 4;
    for (std::size_t i = 0; i < whole; i += 4) {
        const __m128 quotient = _mm_div_ps(_mm_loadu_ps(a + i), by);
        _mm_storeu_ps(a + i, quotient);
        lanes = _mm_max_ps(quotient, lanes);
    }
    float lane[4];
    _mm_storeu_ps(lane, lanes);
    float largest = lane[0];
    for (std::size_t r = 1; r < 4; ++r) {
        if (lane[r] > largest) largest = lane[r];
    }
    for (std::size_t i = whole; i < n; ++i) {
        a[i] = a[i] / divisor;
        if (a[i] > largest) largest = a[i];
    }
    return largest;
}

// The first `count` (1 ... 3) floats at p in the low lanes, zeros above.
__m128 load_first(const float* p, std::size_t count) {
    switch (count) {
        case 1:
            return _mm_load_ss(p);
        case 2:
            return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p));
        default:
            return _mm_movelh_ps(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)), _mm_load_ss(p + 2));
    }
}

void store_first(float* p, __m128 x, std::size_t count) {
    float lane[4];
    _mm_storeu_ps(lane, x);
    for (std::size_t j = 0; j < count; ++j) p[j] = lane[j];
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
// kTail, one more vector of which only the first `tail` lanes are read and
// written. The block's sums stay in registers from the first row to the
// last, so each row costs loads, products and additions only; the kWhole
// sums are independent chains whose additions overlap. With `ahead` set,
// each row also asks for the block's columns of the row `ahead` rows on, as
// long as that row is among the `rows_left` rows from the start of the run.
template <std::size_t kWhole, bool kTail>
void weighted_block(float* out, const float* rows, const float* weights, std::size_t count, std::size_t width,
                    std::size_t tail, std::size_t ahead, std::size_t rows_left) {
    constexpr std::size_t kSums = kWhole + (kTail ? 1 : 0);
    __m128 sum[kSums];
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kWhole; ++k) sum[k] = _mm_loadu_ps(out + 4 * k);
    if constexpr (kTail) sum[kWhole] = load_first(out + 4 * kWhole, tail);
    for (std::size_t i = 0; i < count; ++i) {
        const float* row = rows + i * width;
        if (ahead != 0 && i + ahead < rows_left) prefetch_columns<kSums * 4>(row + ahead * width);
        const __m128 weight = _mm_set1_ps(weights[i]);
#pragma GCC unroll 8
        for (std::size_t k = 0; k < kWhole; ++k) {
            sum[k] = _mm_add_ps(sum[k], _mm_mul_ps(_mm_loadu_ps(row + 4 * k), weight));
        }
        if constexpr (kTail) {
            sum[kWhole] = _mm_add_ps(sum[kWhole], _mm_mul_ps(load_first(row + 4 * kWhole, tail), weight));
        }
    }
#pragma GCC unroll 8
    for (std::size_t k = 0; k < kWhole; ++k) _mm_storeu_ps(out + 4 * k, sum[k]);
    if constexpr (kTail) store_first(out + 4 * kWhole, sum[kWhole], tail);
}

using WeightedBlock = void (*)(float*, const float*, const float*, std::size_t, std::size_t, std::size_t, std::size_t,
                              std::size_t);

// Eight sums of four columns take half the registers and leave the rest for
// the row's vectors and the weight.
constexpr std::size_t kBlockVectors = 8;
constexpr std::size_t kBlockColumns = 4 * kBlockVectors;

// The block function for a block of `columns` columns (1 ... kBlockColumns).
template <std::size_t... kWhole>
WeightedBlock block_for(std::size_t columns, std::index_sequence<kWhole...>) {
    static constexpr WeightedBlock whole[] = {nullptr, weighted_block<kWhole + 1, false>...};
    static constexpr WeightedBlock with_tail[] = {weighted_block<kWhole, true>...};
    return columns % 4 == 0 ? whole[columns / 4] : with_tail[columns / 4];
}

void weighted_sum_rows_sse2(float* out, const float* rows, const float* weights, std::size_t count,
                            std::size_t width) {
    kernel_tuning::for_each_weighted_block<kBlockColumns>(
        count, width,
        [&](std::size_t column, std::size_t columns, std::size_t start, std::size_t length, std::size_t ahead) {
            const std::size_t tail = columns % 4;
            const WeightedBlock block = block_for(columns, std::make_index_sequence<kBlockVectors>());
            block(out + column, rows + start * width + column, weights + start, length, width, tail, ahead,
                  count - start);
        });
}

// Each block of a and b is loaded before the same block of out is stored, so
// out may be a.
void blend_sse2(float* out, const float* a, float wa, const float* b, float wb, std::size_t n) {
    const __m128 weight_a = _mm_set1_ps(wa);
    const __m128 weight_b = _mm_set1_ps(wb);
    const std::size_t whole = n - n % 4;
    for (std::size_t j = 0; j < whole; j += 4) {
        const __m128 from_a = _mm_mul_ps(_mm_loadu_ps(a + j), weight_a);
        const __m128 from_b = _mm_mul_ps(_mm_loadu_ps(b + j), weight_b);
        _mm_storeu_ps(out + j, _mm_add_ps(from_a, from_b));
    }
    for (std::size_t j = whole; j < n; ++j) out[j] = a[j] * wa + b[j] * wb;
}

}  // namespace

const Kernels kSse2Kernels = {
    .name = "sse2",
    .dot = dot_sse2,
    .dot_rows = dot_rows_sse2,
    .sum = sum_sse2,
    .divide_max = divide_max_sse2,
    .weighted_sum_rows = weighted_sum_rows_sse2,
    .blend = blend_sse2,
};

}  // namespace marrowvale
