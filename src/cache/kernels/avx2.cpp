// AVX2 kernels. One 256-bit register holds the eight partial sums of a row,
// lane r being p_r; its low half (p0..p3) plus its high half (p4..p7) is
// exactly the pair step. The set needs FMA as well, for the exponential
// alone: contraction is off, so every other product and sum stays two
// instructions.
//
// Everything is defined inside marrowvale::avx2, most of it file-local, so
// that nothing compiled for AVX2 can stand in for code of another file.
#include <cstddef>
#include <cstdint>
#include <utility>

#include <immintrin.h>

#include "cache/kernels/kernels.hpp"

namespace marrowvale::avx2 {
namespace {

struct WideLanes {
    using Vec = __m256d;
    using Bits = __m256i;
    static constexpr bool kFused = true;
    static Vec set1(double x) { return _mm256_set1_pd(x); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_pd(a, b); }
    static Vec mul_add(Vec a, Vec b, Vec c) { return _mm256_fmadd_pd(a, b, c); }
    static Bits bits(Vec x) { return _mm256_castpd_si256(x); }
    // Four plain loads rather than a gather: on Zen 3 the gather made the
    // whole exponential a quarter slower (1.8 against 1.4 ns per float).
    static Vec scale(const std::uint64_t* table, Bits ki) {
        alignas(32) std::uint64_t index[4];
        _mm256_store_si256(reinterpret_cast<__m256i*>(index), _mm256_and_si256(ki, _mm256_set1_epi64x(31)));
        const __m256i entry = _mm256_setr_epi64x(
            static_cast<long long>(table[index[0]]), static_cast<long long>(table[index[1]]),
            static_cast<long long>(table[index[2]]), static_cast<long long>(table[index[3]]));
        return _mm256_castsi256_pd(_mm256_add_epi64(entry, _mm256_slli_epi64(ki, 47)));
    }
};

struct Lanes {
    using Vec = __m256;
    using Mask = __m256;
    // A lane is used when its 32 bits are all ones.
    using Tail = __m256i;
    using Wide = WideLanes;
    static constexpr std::size_t kWidth = 8;

    static Vec load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, Vec v) { _mm256_storeu_ps(p, v); }
    static Tail tail(std::size_t count) {
        return _mm256_cmpgt_epi32(_mm256_set1_epi32(static_cast<int>(count)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    }
    static Vec load_tail(const float* p, Tail t) { return _mm256_maskload_ps(p, t); }
    static void store_tail(float* p, Tail t, Vec v) { _mm256_maskstore_ps(p, t, v); }
    static Vec set1(float x) { return _mm256_set1_ps(x); }
    static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm256_sub_ps(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
    static Vec div(Vec a, Vec b) { return _mm256_div_ps(a, b); }
    static Vec sqrt(Vec a) { return _mm256_sqrt_ps(a); }
    static Vec max_or_keep(Vec x, Vec m) { return _mm256_max_ps(x, m); }
    static Mask less(Vec a, Vec b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static Mask greater(Vec a, Vec b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
    static Mask equal(Vec a, Vec b) { return _mm256_cmp_ps(a, b, _CMP_EQ_OQ); }
    static Mask is_nan(Vec a) { return _mm256_cmp_ps(a, a, _CMP_UNORD_Q); }
    static Mask either_nan(Vec a, Vec b) { return _mm256_cmp_ps(a, b, _CMP_UNORD_Q); }
    static Vec select(Mask m, Vec yes, Vec no) { return _mm256_blendv_ps(no, yes, m); }
    static std::uint64_t lane_bits(Mask m) { return static_cast<std::uint64_t>(_mm256_movemask_ps(m)); }
    static Wide::Vec low_half(Vec v) { return _mm256_cvtps_pd(_mm256_castps256_ps128(v)); }
    static Wide::Vec high_half(Vec v) { return _mm256_cvtps_pd(_mm256_extractf128_ps(v, 1)); }
    static Vec from_halves(Wide::Vec low, Wide::Vec high) {
        return _mm256_set_m128(_mm256_cvtpd_ps(high), _mm256_cvtpd_ps(low));
    }
};

}  // namespace

#include "cache/kernels/exp_steps.inc"
#include "cache/kernels/generic.inc"

// The accumulators and their folds: where the eight-lane order lives.
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

// Sixteen rows, at least: rows.inc.
constexpr std::size_t kPassesAhead = 2;

constexpr std::size_t kPassRows = 8;

// Eight rows per pass: eight independent accumulator chains hide the latency
// of the additions, and each block of q is loaded once for all eight rows.
void score_pass(const float* q, const float* row, std::size_t n, const float* ahead, float* scores) {
    const std::size_t whole = n - n % 8;
    __m256 partial[kPassRows];
#pragma GCC unroll 8
    for (std::size_t r = 0; r < kPassRows; ++r) partial[r] = _mm256_setzero_ps();
    for (std::size_t k = 0; k < whole; k += 8) {
        const __m256 q_block = _mm256_loadu_ps(q + k);
        if (ahead != nullptr) prefetch_lines(ahead + k * kPassRows, kPassRows / 2);
#pragma GCC unroll 8
        for (std::size_t r = 0; r < kPassRows; ++r) {
            partial[r] = _mm256_add_ps(partial[r], _mm256_mul_ps(q_block, _mm256_loadu_ps(row + r * n + k)));
        }
    }
    _mm256_storeu_ps(scores, fold8(partial));
    for (std::size_t r = 0; r < kPassRows; ++r) {
        for (std::size_t k = whole; k < n; ++k) scores[r] = scores[r] + q[k] * row[r * n + k];
    }
}

float row_dot(const float* x, const float* y, std::size_t n) { return dot(x, y, n); }

// Eight floats of the storage tiers' kernels: one row's partial sums.
struct Eights {
    using Vec = __m256;
    static Vec zero() { return _mm256_setzero_ps(); }
    static Vec set1(float x) { return _mm256_set1_ps(x); }
    static Vec load(const float* p) { return _mm256_loadu_ps(p); }
    static void store(float* p, Vec v) { _mm256_storeu_ps(p, v); }
    static Vec add(Vec a, Vec b) { return _mm256_add_ps(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm256_mul_ps(a, b); }
    static Vec div(Vec a, Vec b) { return _mm256_div_ps(a, b); }
    static Vec min(Vec a, Vec b) { return _mm256_min_ps(a, b); }
    static Vec max(Vec a, Vec b) { return _mm256_max_ps(a, b); }
    static Vec abs(Vec v) { return _mm256_and_ps(v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF))); }
    static Vec from_bf16(const unsigned char* p) {
        const __m256i wide = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
        return _mm256_castsi256_ps(_mm256_slli_epi32(wide, 16));
    }
    static Vec from_int8(const unsigned char* p) {
        return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    }
    // The scalar reference's rounding on the bits (scalar.cpp), NaNs apart.
    static void to_bf16(Vec v, unsigned char* p) {
        const __m256i bits = _mm256_castps_si256(v);
        const __m256i high = _mm256_srli_epi32(bits, 16);
        const __m256i odd = _mm256_and_si256(high, _mm256_set1_epi32(1));
        const __m256i rounded =
            _mm256_srli_epi32(_mm256_add_epi32(_mm256_add_epi32(bits, _mm256_set1_epi32(0x7FFF)), odd), 16);
        const __m256i quiet = _mm256_or_si256(high, _mm256_set1_epi32(0x40));
        const __m256i nan = _mm256_castps_si256(_mm256_cmp_ps(v, v, _CMP_UNORD_Q));
        const __m256i halves = _mm256_blendv_epi8(rounded, quiet, nan);
        const __m128i packed = _mm_packus_epi32(_mm256_castsi256_si128(halves), _mm256_extracti128_si256(halves, 1));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), packed);
    }
    static void to_int8(Vec v, unsigned char* p) {
        const __m256i whole = _mm256_cvtps_epi32(v);
        const __m128i shorts = _mm_packs_epi32(_mm256_castsi256_si128(whole), _mm256_extracti128_si256(whole, 1));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packs_epi16(shorts, shorts));
    }
    static float fold_row(Vec partial) { return fold(partial); }
    static void fold_rows(const Vec partial[8], float* totals) { _mm256_storeu_ps(totals, fold8(partial)); }
};

// Eight sums fill half the registers.
constexpr std::size_t kTierVectors = 8;

}  // namespace

#include "cache/kernels/tiers.inc"

#include "cache/kernels/rows.inc"

float dot(const float* x, const float* y, std::size_t n) {
    const std::size_t whole = n - n % 8;
    __m256 partial = _mm256_setzero_ps();
    for (std::size_t i = 0; i < whole; i += 8) {
        partial = _mm256_add_ps(partial, _mm256_mul_ps(_mm256_loadu_ps(x + i), _mm256_loadu_ps(y + i)));
    }
    float total = fold(partial);
    for (std::size_t i = whole; i < n; ++i) total = total + x[i] * y[i];
    return total;
}

float sum(const float* a, std::size_t n) {
    const std::size_t whole = n - n % 8;
    __m256 partial = _mm256_setzero_ps();
    for (std::size_t i = 0; i < whole; i += 8) partial = _mm256_add_ps(partial, _mm256_loadu_ps(a + i));
    float total = fold(partial);
    for (std::size_t i = whole; i < n; ++i) total = total + a[i];
    return total;
}

namespace {

// Block k (floats k to k + 7) of rows 0..4 from `row` on, for the partial
// sums of norms_and_dots: the products of each row with itself and with the
// next row. The first block's products start the partial sums instead of
// being added to +0.0: +0.0 + a differs from a only for a = -0.0, so a
// partial may differ from the eight-lane order's only in the sign of a zero,
// and only while it is a zero. Neither sign reaches the total: pairs of such
// partials are equal or both zeros, the total starts at +0.0 and takes the
// pairs in turn, and +0.0 + (-0.0) = +0.0 while x + (-0.0) = x for any other
// x. So every total keeps its bits, and every chain is an addition shorter.
template <bool kFirst>
void take_block(const float* row, std::size_t width, std::size_t k, __m256 partial[8]) {
    constexpr std::size_t kRows = 4;
    __m256 block[kRows + 1];
#pragma GCC unroll 5
    for (std::size_t r = 0; r <= kRows; ++r) block[r] = _mm256_loadu_ps(row + r * width + k);
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kRows; ++r) {
        const __m256 norm_term = _mm256_mul_ps(block[r], block[r]);
        const __m256 dot_term = _mm256_mul_ps(block[r], block[r + 1]);
        partial[r] = kFirst ? norm_term : _mm256_add_ps(partial[r], norm_term);
        partial[kRows + r] = kFirst ? dot_term : _mm256_add_ps(partial[kRows + r], dot_term);
    }
}

}  // namespace

// Four rows per pass, reading a fifth for the last dot: partial r < 4 is the
// norm of row i + r, partial 4 + r the dot of rows i + r and i + r + 1.
// Eight independent chains, folded at once; each row is loaded once per
// pass and serves its norm and both of its dots. The fold leaves the four
// norms in its low half and the four dots in its high half, which go out as
// two stores rather than float by float through the stack.
void norms_and_dots(const float* rows, std::size_t width, std::size_t count, float* norms, float* dots) {
    constexpr std::size_t kRows = 4;
    const std::size_t whole = width - width % 8;
    std::size_t i = 0;
    // Rows shorter than one block have leftover terms only: the rows are
    // left to finish_norms_and_dots.
    for (; whole != 0 && i + kRows < count; i += kRows) {
        const float* row = rows + i * width;
        __m256 partial[2 * kRows];
        take_block<true>(row, width, 0, partial);
        for (std::size_t k = 8; k < whole; k += 8) take_block<false>(row, width, k, partial);
        const __m256 total = fold8(partial);
        _mm_storeu_ps(norms + i, _mm256_castps256_ps128(total));
        _mm_storeu_ps(dots + i, _mm256_extractf128_ps(total, 1));
    }
    finish_norms_and_dots(rows, width, i, count, norms, dots, dot);
}

std::size_t lowest_index(const float* a, std::size_t n) { return lowest(a, n); }

void bf16_from_floats(const float* x, std::size_t n, unsigned char* out) { to_bf16_row(x, n, out); }
bool int8_from_floats(const float* x, std::size_t n, unsigned char* row) { return to_int8_row(x, n, row); }
void dot_rows_bf16(const float* q, std::size_t queries, const unsigned char* rows, std::size_t row_bytes,
                   std::size_t n, std::size_t count, float* scores, std::size_t stride) {
    bf16_dot_rows(q, queries, rows, row_bytes, n, count, scores, stride);
}
void dot_rows_int8(const float* q, std::size_t queries, const unsigned char* rows, std::size_t row_bytes,
                   std::size_t n, std::size_t count, float* scores, std::size_t stride) {
    int8_dot_rows(q, queries, rows, row_bytes, n, count, scores, stride);
}
void weighted_sum_rows_bf16(float* out, std::size_t outputs, const unsigned char* rows, std::size_t row_bytes,
                            const float* weights, std::size_t count, std::size_t width, std::size_t stride) {
    bf16_weighted_sum_rows(out, outputs, rows, row_bytes, weights, count, width, stride);
}
void weighted_sum_rows_int8(float* out, std::size_t outputs, const unsigned char* rows, std::size_t row_bytes,
                            const float* weights, std::size_t count, std::size_t width, std::size_t stride) {
    int8_weighted_sum_rows(out, outputs, rows, row_bytes, weights, count, width, stride);
}

}  // namespace marrowvale::avx2

namespace marrowvale {

const Kernels kAvx2Kernels = {
    .name = "avx2",
    .lanes = avx2::kWidth,
    .dot = avx2::dot,
    .dot_rows = avx2::dot_rows,
    .sum = avx2::sum,
    .divide_max = avx2::divide_max,
    .weighted_sum_rows = avx2::weighted_sum_rows,
    .blend = avx2::blend,
    .exp_minus = avx2::exp_minus,
    .norms_and_dots = avx2::norms_and_dots,
    .cosines = avx2::cosines,
    .mark_above = avx2::mark_above,
    .add_rows = avx2::add_rows,
    .lowest = avx2::lowest_index,
    .bf16_from_floats = avx2::bf16_from_floats,
    .int8_from_floats = avx2::int8_from_floats,
    .dot_rows_bf16 = avx2::dot_rows_bf16,
    .dot_rows_int8 = avx2::dot_rows_int8,
    .weighted_sum_rows_bf16 = avx2::weighted_sum_rows_bf16,
    .weighted_sum_rows_int8 = avx2::weighted_sum_rows_int8,
};

}  // namespace marrowvale
