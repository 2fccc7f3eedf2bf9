// AVX-512 kernels. A row's eight partial sums are eight lanes, so a 512-bit
// register carries the accumulators of two rows side by side: lanes 0..7 for
// one row, lanes 8..15 for another. Both rows receive their terms in block
// order, exactly as in the scalar sum; only the rows share a register.
//
// A single sum has one chain of dependent additions whatever the register
// width, so `dot` and `sum` are the AVX2 set's (one row's eight lanes), and
// so is `norms_and_dots` for now (see kernels.hpp), and `lowest`, whose
// comparisons and masks came out half as fast in 512-bit registers on Zen,
// and the storage tiers' kernels (kernels.hpp says why). The element-wise kernels and the
// weighted sum of rows use all sixteen lanes, with plain loads and stores
// for whole registers and a mask only for the tail: a masked store to a line
// that is not in the cache waits for the line, where a plain one need not.
//
// AVX-512F brings fused multiply-add with it: only -ffp-contract=off keeps
// the compiler from fusing products into the sums that follow; the
// exponential fuses on purpose.
//
// Shuffles, inserts, extracts, broadcasts, conversions, gathers, maxima
// and roots use their
// zero-masked forms with every lane selected (the same instructions):
// GCC 12's plain forms start from an "undefined" register that trips its own
// -Wmaybe-uninitialized.
//
// Everything is defined inside marrowvale::avx512, most of it file-local, so
// that nothing compiled for AVX-512 can stand in for code of another file.
#include <cstddef>
#include <cstdint>
#include <utility>

#include <immintrin.h>

#include "cache/kernels/kernels.hpp"

namespace marrowvale::avx512 {
namespace {

constexpr __mmask8 kAll8 = 0xFF;
constexpr __mmask16 kAll16 = 0xFFFF;

struct WideLanes {
    using Vec = __m512d;
    using Bits = __m512i;
    static constexpr bool kFused = true;
    static Vec set1(double x) { return _mm512_set1_pd(x); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_pd(a, b); }
    static Vec mul_add(Vec a, Vec b, Vec c) { return _mm512_fmadd_pd(a, b, c); }
    static Bits bits(Vec x) { return _mm512_castpd_si512(x); }
    static Vec scale(const std::uint64_t* table, Bits ki) {
        const __m512i index = _mm512_and_si512(ki, _mm512_set1_epi64(31));
        const __m512i entry = _mm512_mask_i64gather_epi64(_mm512_setzero_si512(), kAll8, index, table, 8);
        return _mm512_castsi512_pd(_mm512_add_epi64(entry, _mm512_maskz_slli_epi64(kAll8, ki, 47)));
    }
};

struct Lanes {
    using Vec = __m512;
    using Mask = __mmask16;
    using Tail = __mmask16;
    using Wide = WideLanes;
    static constexpr std::size_t kWidth = 16;

    static Vec load(const float* p) { return _mm512_loadu_ps(p); }
    static void store(float* p, Vec v) { _mm512_storeu_ps(p, v); }
    static Tail tail(std::size_t count) { return static_cast<__mmask16>((1u << count) - 1u); }
    // Masked-off lanes are neither read from memory nor stored.
    static Vec load_tail(const float* p, Tail t) { return _mm512_maskz_loadu_ps(t, p); }
    static void store_tail(float* p, Tail t, Vec v) { _mm512_mask_storeu_ps(p, t, v); }
    static Vec set1(float x) { return _mm512_set1_ps(x); }
    static Vec add(Vec a, Vec b) { return _mm512_add_ps(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm512_sub_ps(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm512_mul_ps(a, b); }
    static Vec div(Vec a, Vec b) { return _mm512_div_ps(a, b); }
    static Vec sqrt(Vec a) { return _mm512_maskz_sqrt_ps(kAll16, a); }
    static Vec max_or_keep(Vec x, Vec m) { return _mm512_maskz_max_ps(kAll16, x, m); }
    static Mask less(Vec a, Vec b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    static Mask greater(Vec a, Vec b) { return _mm512_cmp_ps_mask(a, b, _CMP_GT_OQ); }
    static Mask equal(Vec a, Vec b) { return _mm512_cmp_ps_mask(a, b, _CMP_EQ_OQ); }
    static Mask is_nan(Vec a) { return _mm512_cmp_ps_mask(a, a, _CMP_UNORD_Q); }
    static Mask either_nan(Vec a, Vec b) { return _mm512_cmp_ps_mask(a, b, _CMP_UNORD_Q); }
    static Vec select(Mask m, Vec yes, Vec no) { return _mm512_mask_blend_ps(m, no, yes); }
    static std::uint64_t lane_bits(Mask m) { return m; }
    static Wide::Vec low_half(Vec v) {
        return _mm512_maskz_cvtps_pd(kAll8, _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(kAll8, _mm512_castps_pd(v), 0)));
    }
    static Wide::Vec high_half(Vec v) {
        return _mm512_maskz_cvtps_pd(kAll8, _mm256_castpd_ps(_mm512_maskz_extractf64x4_pd(kAll8, _mm512_castps_pd(v), 1)));
    }
    static Vec from_halves(Wide::Vec low, Wide::Vec high) {
        const __m512d first = _mm512_castpd256_pd512(_mm256_castps_pd(_mm512_maskz_cvtpd_ps(kAll8, low)));
        return _mm512_castpd_ps(_mm512_maskz_insertf64x4(kAll8, first, _mm256_castps_pd(_mm512_maskz_cvtpd_ps(kAll8, high)), 1));
    }
};

}  // namespace

#include "cache/kernels/exp_steps.inc"
#include "cache/kernels/generic.inc"

// The accumulators and their fold: where the eight-lane order lives.
namespace {

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

// Sixteen rows, at least: rows.inc.
constexpr std::size_t kPassesAhead = 2;

constexpr std::size_t kPassRows = 8;

// Eight rows per pass in four registers, register k carrying rows k and
// k + 4: four independent 512-bit chains keep the adders busy, and each
// block of q is loaded once (into both halves) for all eight rows.
void score_pass(const float* q, const float* row, std::size_t n, const float* ahead, float* scores) {
    const std::size_t whole = n - n % 8;
    __m512 partial[4];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) partial[k] = _mm512_setzero_ps();
    for (std::size_t b = 0; b < whole; b += 8) {
        const __m512 q_block = twice(q + b);
        if (ahead != nullptr) prefetch_lines(ahead + b * kPassRows, kPassRows / 2);
#pragma GCC unroll 4
        for (std::size_t k = 0; k < 4; ++k) {
            const __m512 keys = halves(row + k * n + b, row + (k + 4) * n + b);
            partial[k] = _mm512_add_ps(partial[k], _mm512_mul_ps(q_block, keys));
        }
    }
    _mm256_storeu_ps(scores, fold8(partial));
    for (std::size_t r = 0; r < kPassRows; ++r) {
        for (std::size_t b = whole; b < n; ++b) scores[r] = scores[r] + q[b] * row[r * n + b];
    }
}

float row_dot(const float* x, const float* y, std::size_t n) { return avx2::dot(x, y, n); }

}  // namespace

#include "cache/kernels/rows.inc"

}  // namespace marrowvale::avx512

namespace marrowvale {

const Kernels kAvx512Kernels = {
    .name = "avx512",
    .lanes = avx512::kWidth,
    .dot = avx2::dot,
    .dot_rows = avx512::dot_rows,
    .sum = avx2::sum,
    .divide_max = avx512::divide_max,
    .weighted_sum_rows = avx512::weighted_sum_rows,
    .blend = avx512::blend,
    .exp_minus = avx512::exp_minus,
    .norms_and_dots = avx2::norms_and_dots,
    .cosines = avx512::cosines,
    .mark_above = avx512::mark_above,
    .add_rows = avx512::add_rows,
    .lowest = avx2::lowest_index,
    .bf16_from_floats = avx2::bf16_from_floats,
    .int8_from_floats = avx2::int8_from_floats,
    .dot_rows_bf16 = avx2::dot_rows_bf16,
    .dot_rows_int8 = avx2::dot_rows_int8,
    .weighted_sum_rows_bf16 = avx2::weighted_sum_rows_bf16,
    .weighted_sum_rows_int8 = avx2::weighted_sum_rows_int8,
};

}  // namespace marrowvale
