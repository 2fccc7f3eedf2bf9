// SSE2 kernels. A 128-bit register holds four floats, so the eight partial
// sums of a row live in two registers: `low` holds p0..p3 and `high` p4..p7.
// Adding them lane by lane is exactly the pair step (p_r + p_(r+4)).
#include <emmintrin.h>

#include "cache/kernels.hpp"

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
    const std::size_t whole = n - n % 8;
    std::size_t i = 0;
    for (; i + kRows <= count; i += kRows) {
        const float* row = rows + i * n;
        const float* ahead = i + (kPassesAhead + 1) * kRows <= count ? row + kPassesAhead * kRows * n : nullptr;
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

// Element-wise: every lane does what the scalar loop does for its element.
void add_scaled_sse2(float* out, const float* v, float w, std::size_t n) {
    const __m128 weight = _mm_set1_ps(w);
    const std::size_t whole = n - n % 4;
    for (std::size_t j = 0; j < whole; j += 4) {
        _mm_storeu_ps(out + j, _mm_add_ps(_mm_loadu_ps(out + j), _mm_mul_ps(_mm_loadu_ps(v + j), weight)));
    }
    for (std::size_t j = whole; j < n; ++j) out[j] = out[j] + v[j] * w;
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

const Kernels kSse2Kernels = {"sse2", dot_sse2, dot_rows_sse2, sum_sse2, add_scaled_sse2, blend_sse2};

}  // namespace marrowvale
