// SSE2 kernels. A 128-bit register holds four floats, so the eight partial
// sums of a row live in two registers: `low` holds p0..p3 and `high` p4..p7.
// Adding them lane by lane is exactly the pair step (p_r + p_(r+4)).
//
// Everything is defined inside marrowvale::sse2, most of it file-local: this
// file is compiled for SSE2 alone, but so that no file built for a set
// defines anything another file could also define, none of them does.
#include <cstddef>
#include <cstdint>
#include <utility>

#include <emmintrin.h>

#include "cache/kernels/kernels.hpp"

namespace marrowvale::sse2 {
namespace {

// SSE2 has no fused multiply-add: the exponential rounds each product and
// sum on its own and puts its two exceptions right.
struct WideLanes {
    using Vec = __m128d;
    using Bits = __m128i;
    static constexpr bool kFused = false;
    static Vec set1(double x) { return _mm_set1_pd(x); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_pd(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm_sub_pd(a, b); }
    static Vec mul_add(Vec a, Vec b, Vec c) { return _mm_add_pd(_mm_mul_pd(a, b), c); }
    static Bits bits(Vec x) { return _mm_castpd_si128(x); }
    // No gather before AVX2: the two table entries are fetched one by one.
    static Vec scale(const std::uint64_t* table, Bits ki) {
        alignas(16) std::uint64_t k[2];
        _mm_store_si128(reinterpret_cast<__m128i*>(k), ki);
        const __m128i entry = _mm_set_epi64x(static_cast<long long>(table[k[1] % 32]),
                                             static_cast<long long>(table[k[0] % 32]));
        return _mm_castsi128_pd(_mm_add_epi64(entry, _mm_slli_epi64(ki, 47)));
    }
};

struct Lanes {
    using Vec = __m128;
    using Mask = __m128;
    // SSE2 has no masked loads: a partial vector is its number of lanes.
    using Tail = std::size_t;
    using Wide = WideLanes;
    static constexpr std::size_t kWidth = 4;

    static Vec load(const float* p) { return _mm_loadu_ps(p); }
    static void store(float* p, Vec v) { _mm_storeu_ps(p, v); }
    static Tail tail(std::size_t count) { return count; }
    static Vec load_tail(const float* p, Tail count) {
        switch (count) {
            case 1:
                return _mm_load_ss(p);
            case 2:
                return _mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p));
            default:
                return _mm_movelh_ps(_mm_loadl_pi(_mm_setzero_ps(), reinterpret_cast<const __m64*>(p)),
                                     _mm_load_ss(p + 2));
        }
    }
    static void store_tail(float* p, Tail count, Vec v) {
        float lane[kWidth];
        _mm_storeu_ps(lane, v);
        for (std::size_t j = 0; j < count; ++j) p[j] = lane[j];
    }
    static Vec set1(float x) { return _mm_set1_ps(x); }
    static Vec add(Vec a, Vec b) { return _mm_add_ps(a, b); }
    static Vec sub(Vec a, Vec b) { return _mm_sub_ps(a, b); }
    static Vec mul(Vec a, Vec b) { return _mm_mul_ps(a, b); }
    static Vec div(Vec a, Vec b) { return _mm_div_ps(a, b); }
    static Vec sqrt(Vec a) { return _mm_sqrt_ps(a); }
    static Vec max_or_keep(Vec x, Vec m) { return _mm_max_ps(x, m); }
    static Mask less(Vec a, Vec b) { return _mm_cmplt_ps(a, b); }
    static Mask greater(Vec a, Vec b) { return _mm_cmpgt_ps(a, b); }
    static Mask equal(Vec a, Vec b) { return _mm_cmpeq_ps(a, b); }
    static Mask is_nan(Vec a) { return _mm_cmpunord_ps(a, a); }
    static Mask either_nan(Vec a, Vec b) { return _mm_cmpunord_ps(a, b); }
    static Vec select(Mask m, Vec yes, Vec no) { return _mm_or_ps(_mm_and_ps(m, yes), _mm_andnot_ps(m, no)); }
    static std::uint64_t lane_bits(Mask m) { return static_cast<std::uint64_t>(_mm_movemask_ps(m)); }
    static Wide::Vec low_half(Vec v) { return _mm_cvtps_pd(v); }
    static Wide::Vec high_half(Vec v) { return _mm_cvtps_pd(_mm_movehl_ps(v, v)); }
    static Vec from_halves(Wide::Vec low, Wide::Vec high) { return _mm_movelh_ps(_mm_cvtpd_ps(low), _mm_cvtpd_ps(high)); }
};

}  // namespace

#include "cache/kernels/exp_steps.inc"
#include "cache/kernels/generic.inc"

// The accumulators and their folds: where the eight-lane order lives.
namespace {

// The total of one row: +0.0, then each pair sum in lane order.
float fold(__m128 low, __m128 high) {
    float pairs[4];
    _mm_storeu_ps(pairs, _mm_add_ps(low, high));
    float total = 0.0f;
    for (const float pair : pairs) total = total + pair;
    return total;
}

// The totals of four rows in row order from their pair sums: a transpose
// lines up pair j of every row in one register, and the four totals take
// their pairs side by side.
__m128 fold4(__m128 pair[4]) {
    _MM_TRANSPOSE4_PS(pair[0], pair[1], pair[2], pair[3]);
    __m128 total = _mm_setzero_ps();
#pragma GCC unroll 4
    for (std::size_t j = 0; j < 4; ++j) total = _mm_add_ps(total, pair[j]);
    return total;
}

// Sixteen rows, at least: rows.inc.
constexpr std::size_t kPassesAhead = 4;

float dot(const float* x, const float* y, std::size_t n) {
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

constexpr std::size_t kPassRows = 4;

// Four rows per pass: their eight accumulators are independent chains, so
// the additions overlap, and each block of q is loaded once for all four.
void score_pass(const float* q, const float* row, std::size_t n, const float* ahead, float* scores) {
    const std::size_t whole = n - n % 8;
    __m128 low[kPassRows];
    __m128 high[kPassRows];
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kPassRows; ++r) low[r] = high[r] = _mm_setzero_ps();
    for (std::size_t k = 0; k < whole; k += 8) {
        const __m128 q_low = _mm_loadu_ps(q + k);
        const __m128 q_high = _mm_loadu_ps(q + k + 4);
        if (ahead != nullptr) prefetch_lines(ahead + k * kPassRows, kPassRows / 2);
#pragma GCC unroll 4
        for (std::size_t r = 0; r < kPassRows; ++r) {
            low[r] = _mm_add_ps(low[r], _mm_mul_ps(q_low, _mm_loadu_ps(row + r * n + k)));
            high[r] = _mm_add_ps(high[r], _mm_mul_ps(q_high, _mm_loadu_ps(row + r * n + k + 4)));
        }
    }
    __m128 pair[kPassRows];
#pragma GCC unroll 4
    for (std::size_t r = 0; r < kPassRows; ++r) pair[r] = _mm_add_ps(low[r], high[r]);
    _mm_storeu_ps(scores, fold4(pair));
    for (std::size_t r = 0; r < kPassRows; ++r) {
        for (std::size_t k = whole; k < n; ++k) scores[r] = scores[r] + q[k] * row[r * n + k];
    }
}

float row_dot(const float* x, const float* y, std::size_t n) { return dot(x, y, n); }

// Eight floats of the storage tiers' kernels: one row's partial sums, p0..p3
// in `low` and p4..p7 in `high`, as for the float sums.
struct Eights {
    struct Vec {
        __m128 low;
        __m128 high;
    };
    static Vec zero() { return {_mm_setzero_ps(), _mm_setzero_ps()}; }
    static Vec set1(float x) { return {_mm_set1_ps(x), _mm_set1_ps(x)}; }
    static Vec load(const float* p) { return {_mm_loadu_ps(p), _mm_loadu_ps(p + 4)}; }
    static void store(float* p, Vec v) {
        _mm_storeu_ps(p, v.low);
        _mm_storeu_ps(p + 4, v.high);
    }
    static Vec add(Vec a, Vec b) { return {_mm_add_ps(a.low, b.low), _mm_add_ps(a.high, b.high)}; }
    static Vec mul(Vec a, Vec b) { return {_mm_mul_ps(a.low, b.low), _mm_mul_ps(a.high, b.high)}; }
    static Vec div(Vec a, Vec b) { return {_mm_div_ps(a.low, b.low), _mm_div_ps(a.high, b.high)}; }
    static Vec min(Vec a, Vec b) { return {_mm_min_ps(a.low, b.low), _mm_min_ps(a.high, b.high)}; }
    static Vec max(Vec a, Vec b) { return {_mm_max_ps(a.low, b.low), _mm_max_ps(a.high, b.high)}; }
    static Vec abs(Vec v) {
        const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
        return {_mm_and_ps(v.low, magnitude), _mm_and_ps(v.high, magnitude)};
    }
    // Each 16-bit value goes to the top of a 32-bit lane: its float.
    static Vec from_bf16(const unsigned char* p) {
        const __m128i halves = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i zero = _mm_setzero_si128();
        return {_mm_castsi128_ps(_mm_unpacklo_epi16(zero, halves)), _mm_castsi128_ps(_mm_unpackhi_epi16(zero, halves))};
    }
    // Each byte repeated four times in a lane, then shifted down with its
    // sign: the integer in 32 bits.
    static Vec from_int8(const unsigned char* p) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
        const __m128i twice = _mm_unpacklo_epi8(bytes, bytes);
        return {_mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(twice, twice), 24)),
                _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(twice, twice), 24))};
    }
    // The scalar reference's rounding on the bits (scalar.cpp), NaNs apart;
    // each 16-bit result is sign-extended so that the signed pack keeps it.
    static __m128i bf16_lanes(__m128 v) {
        const __m128i bits = _mm_castps_si128(v);
        const __m128i high = _mm_srli_epi32(bits, 16);
        const __m128i odd = _mm_and_si128(high, _mm_set1_epi32(1));
        const __m128i rounded = _mm_srli_epi32(_mm_add_epi32(_mm_add_epi32(bits, _mm_set1_epi32(0x7FFF)), odd), 16);
        const __m128i quiet = _mm_or_si128(high, _mm_set1_epi32(0x40));
        const __m128i nan = _mm_castps_si128(_mm_cmpunord_ps(v, v));
        const __m128i chosen = _mm_or_si128(_mm_and_si128(nan, quiet), _mm_andnot_si128(nan, rounded));
        return _mm_srai_epi32(_mm_slli_epi32(chosen, 16), 16);
    }
    static void to_bf16(Vec v, unsigned char* p) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p), _mm_packs_epi32(bf16_lanes(v.low), bf16_lanes(v.high)));
    }
    static void to_int8(Vec v, unsigned char* p) {
        const __m128i shorts = _mm_packs_epi32(_mm_cvtps_epi32(v.low), _mm_cvtps_epi32(v.high));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packs_epi16(shorts, shorts));
    }
    static float fold_row(Vec partial) { return fold(partial.low, partial.high); }
    static void fold_rows(const Vec partial[8], float* totals) {
        for (std::size_t r = 0; r < 8; ++r) totals[r] = fold(partial[r].low, partial[r].high);
    }
};

// Four column vectors: their sums take eight of the sixteen registers.
constexpr std::size_t kTierVectors = 4;

}  // namespace

#include "cache/kernels/tiers.inc"

namespace {

float sum(const float* a, std::size_t n) {
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

// Block k (floats k to k + 7) of rows a, b and c for norms_and_dots: the
// terms of the norms of a and b and of the dots (a, b) and (b, c), low and
// high halves apart. The first block's terms start the partial sums (why
// that keeps the totals' bits: take_block in avx2.cpp).
template <bool kFirst>
void take_block(const float* a, const float* b, const float* c, std::size_t k, __m128 low[4], __m128 high[4]) {
    const __m128 a_low = _mm_loadu_ps(a + k);
    const __m128 a_high = _mm_loadu_ps(a + k + 4);
    const __m128 b_low = _mm_loadu_ps(b + k);
    const __m128 b_high = _mm_loadu_ps(b + k + 4);
    const __m128 c_low = _mm_loadu_ps(c + k);
    const __m128 c_high = _mm_loadu_ps(c + k + 4);
    const __m128 low_terms[4] = {_mm_mul_ps(a_low, a_low), _mm_mul_ps(b_low, b_low), _mm_mul_ps(a_low, b_low),
                                 _mm_mul_ps(b_low, c_low)};
    const __m128 high_terms[4] = {_mm_mul_ps(a_high, a_high), _mm_mul_ps(b_high, b_high),
                                  _mm_mul_ps(a_high, b_high), _mm_mul_ps(b_high, c_high)};
#pragma GCC unroll 4
    for (std::size_t r = 0; r < 4; ++r) {
        low[r] = kFirst ? low_terms[r] : _mm_add_ps(low[r], low_terms[r]);
        high[r] = kFirst ? high_terms[r] : _mm_add_ps(high[r], high_terms[r]);
    }
}

// Two rows per pass, reading a third for the second dot: the norms of rows
// i and i + 1 and the dots of (i, i + 1) and (i + 1, i + 2) are four
// independent sums, each in a low and a high register. Their fold holds
// the two norms in its low half and the two dots in its high half, stored
// as they are.
void norms_and_dots(const float* rows, std::size_t width, std::size_t count, float* norms, float* dots) {
    constexpr std::size_t kRows = 2;
    const std::size_t whole = width - width % 8;
    std::size_t i = 0;
    // Rows shorter than one block have leftover terms only: the rows are
    // left to finish_norms_and_dots.
    for (; whole != 0 && i + kRows < count; i += kRows) {
        const float* a = rows + i * width;
        const float* b = a + width;
        const float* c = b + width;
        __m128 low[4];
        __m128 high[4];
        take_block<true>(a, b, c, 0, low, high);
        for (std::size_t k = 8; k < whole; k += 8) take_block<false>(a, b, c, k, low, high);
        __m128 pair[4];
#pragma GCC unroll 4
        for (std::size_t r = 0; r < 4; ++r) pair[r] = _mm_add_ps(low[r], high[r]);
        const __m128 total = fold4(pair);
        _mm_storel_pi(reinterpret_cast<__m64*>(norms + i), total);
        _mm_storeh_pi(reinterpret_cast<__m64*>(dots + i), total);
    }
    finish_norms_and_dots(rows, width, i, count, norms, dots, dot);
}

}  // namespace

#include "cache/kernels/rows.inc"

}  // namespace marrowvale::sse2

namespace marrowvale {

const Kernels kSse2Kernels = {
    .name = "sse2",
    .lanes = sse2::kWidth,
    .dot = sse2::dot,
    .dot_rows = sse2::dot_rows,
    .sum = sse2::sum,
    .divide_max = sse2::divide_max,
    .weighted_sum_rows = sse2::weighted_sum_rows,
    .blend = sse2::blend,
    .exp_minus = sse2::exp_minus,
    .norms_and_dots = sse2::norms_and_dots,
    .cosines = sse2::cosines,
    .mark_above = sse2::mark_above,
    .add_rows = sse2::add_rows,
    .lowest = sse2::lowest,
    .bf16_from_floats = sse2::to_bf16_row,
    .int8_from_floats = sse2::to_int8_row,
    .dot_rows_bf16 = sse2::bf16_dot_rows,
    .dot_rows_int8 = sse2::int8_dot_rows,
    .weighted_sum_rows_bf16 = sse2::bf16_weighted_sum_rows,
    .weighted_sum_rows_int8 = sse2::int8_weighted_sum_rows,
};

}  // namespace marrowvale
