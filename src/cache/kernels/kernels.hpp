// The float kernels under attention and merging. Every sum follows the
// eight-lane order: eight partial sums take the terms of whole blocks of
// eight (term 8b + r goes to partial r), a total starting at +0.0 takes
// (p0 + p4), (p1 + p5), (p2 + p6), (p3 + p7) in turn, and the leftover terms
// follow one at a time. Each product is rounded to float before it is added.
// The vector implementations keep exactly this order, so every kernel set
// gives the same bits as the scalar one.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace marrowvale {

struct Kernels {
    const char* name;
    // Floats per vector register: the width the tests step lengths and
    // start offsets by.
    std::size_t lanes;
    // The eight-lane dot product of x and y, n terms.
    float (*dot)(const float* x, const float* y, std::size_t n);
    // scores[g * stride + i] = dot(q + g * n, rows + i * n, n) for `queries`
    // contiguous queries and count contiguous rows, all of n floats (stride
    // >= count: each query's scores a row of `stride`, so that a caller may
    // score a list of rows run by run). Several rows are scored at once so
    // that their additions overlap, and each such pass of rows is scored
    // against every query while it is in the L1 cache: the rows are read
    // from memory once for all the queries.
    void (*dot_rows)(const float* q, std::size_t queries, const float* rows, std::size_t n, std::size_t count,
                     float* scores, std::size_t stride);
    // The eight-lane sum of a[0] ... a[n - 1].
    float (*sum)(const float* a, std::size_t n);
    // a[i] = a[i] / divisor for i < n, a true division each; returns the
    // largest result, NaN skipped, -inf when there is none. When the largest
    // is a zero, which of +0.0 and -0.0 comes back is left open: attention
    // subtracts it from every score, and x - (+0.0) and x - (-0.0) differ
    // only for x = -0.0, whose exponential is 1 either way.
    float (*divide_max)(float* a, std::size_t n, float divisor);
    // For every output o < outputs and column j < width, out[o * width + j]
    // receives the products rows[i * width + j] * weights[o * stride + i]
    // for i = 0, 1, ..., count - 1 (stride >= count), one at a time and in
    // that order: out[o * width + j] = out[o * width + j] + product, the
    // product rounded first. Each column is a left-to-right sum over the
    // rows, so a caller may split the rows into consecutive runs and call
    // once per run; the rows are read from memory once for all the outputs.
    void (*weighted_sum_rows)(float* out, std::size_t outputs, const float* rows, const float* weights,
                              std::size_t count, std::size_t width, std::size_t stride);
    // out[j] = a[j] * wa + b[j] * wb for j < n: two rounded products, then
    // their rounded sum. out may be a (each element is read before written).
    void (*blend)(float* out, const float* a, float wa, const float* b, float wb, std::size_t n);
    // a[i] = exp(a[i] - top) for i < n: the difference rounded to float,
    // then the exponential of exp_steps.inc, which gives the bits of glibc's
    // expf built for processors with fused multiply-add, on every float.
    void (*exp_minus)(float* a, std::size_t n, float top);
    // For count contiguous rows of width floats: norms[i] = dot(row i, row i)
    // for i < count and dots[i] = dot(row i, row i + 1) for i + 1 < count,
    // each the eight-lane dot product. Every row is read once for both.
    void (*norms_and_dots)(const float* rows, std::size_t width, std::size_t count, float* norms, float* dots);
    // The cosine of each neighbouring pair from the outputs above: for
    // i < pairs, dots[i] = dots[i] / (sqrt(norms[i]) * sqrt(norms[i + 1]) +
    // epsilon), every step rounded on its own. The pairs + 1 norms (none
    // when pairs is 0) are replaced by their square roots on the way.
    void (*cosines)(float* dots, float* norms, std::size_t pairs, float epsilon);
    // Which of a[0] ... a[n - 1] lie strictly above `threshold`: bit i % 64
    // of bits[i / 64] is set when a[i] > threshold (never for a NaN on
    // either side). All (n + 63) / 64 words are written; bits from n on are
    // clear.
    void (*mark_above)(const float* a, std::size_t n, float threshold, std::uint64_t* bits);
    // For i < n: total[i] = total[i] + rows[r * stride + i] for r = 0, 1,
    // ..., count - 1, one rounded addition at a time and in that order:
    // `count` rows of n floats, `stride` floats apart, added into `total`
    // element by element.
    void (*add_rows)(float* total, const float* rows, std::size_t count, std::size_t n, std::size_t stride);
    // The index of the lowest of a[0] ... a[n - 1], n >= 1: a NaN ranks below
    // every number, and of equal elements (+0.0 equals -0.0) the first wins.
    std::size_t (*lowest)(const float* a, std::size_t n);

    // The storage tiers (cache/storage_tier.hpp). A bfloat16 row is n
    // 16-bit values; an int8 row is the float32 scales of its blocks of
    // kInt8Block values (the last block shorter when n is not a multiple),
    // then the n int8 values. Rows lie row_bytes apart. Widening a stored
    // value to float32 is exact (bfloat16: the bits shifted up; int8: the
    // integer converted), and the sums that follow are float32 sums in the
    // eight-lane order. The processors' bfloat16 and 8-bit dot products
    // (vdpbf16ps, VNNI) are not used: they take both operands narrow, so the
    // float32 query would have to be rounded too, and they fuse and reorder
    // their sums, which would change every score.
    //
    // Value i of out (two bytes) = x[i] rounded to bfloat16, nearest-even, for i < n; a NaN stays
    // a NaN of the same sign (quiet bit set), infinities stay infinite.
    void (*bf16_from_floats)(const float* x, std::size_t n, unsigned char* out);
    // The int8 row of x[0 .. n): each block's scale is its largest |x| over
    // 127 (one float division), each value round-to-nearest-even(x / scale)
    // clamped to [-127, 127], or 0 throughout a block whose scale is 0.
    // Returns false, the row's contents then unspecified, when some x[i] is
    // not finite: a block has no scale for it.
    bool (*int8_from_floats)(const float* x, std::size_t n, unsigned char* row);
    // As dot_rows, over bfloat16 rows: each score the eight-lane dot product
    // of the query with the widened row.
    void (*dot_rows_bf16)(const float* q, std::size_t queries, const unsigned char* rows, std::size_t row_bytes,
                          std::size_t n, std::size_t count, float* scores, std::size_t stride);
    // As dot_rows, over int8 rows: each score starts at +0.0 and adds, block
    // after block, the block's eight-lane dot product of the query's values
    // with the converted integers times the block's scale (two roundings).
    void (*dot_rows_int8)(const float* q, std::size_t queries, const unsigned char* rows, std::size_t row_bytes,
                          std::size_t n, std::size_t count, float* scores, std::size_t stride);
    // As weighted_sum_rows, over bfloat16 rows: the product is the widened
    // value times the weight.
    void (*weighted_sum_rows_bf16)(float* out, std::size_t outputs, const unsigned char* rows, std::size_t row_bytes,
                                   const float* weights, std::size_t count, std::size_t width, std::size_t stride);
    // As weighted_sum_rows, over int8 rows: the product is the dequantised
    // value (the integer converted, times its block's scale, rounded) times
    // the weight: exactly the weighted sum of the dequantised rows.
    void (*weighted_sum_rows_int8)(float* out, std::size_t outputs, const unsigned char* rows, std::size_t row_bytes,
                                   const float* weights, std::size_t count, std::size_t width, std::size_t stride);
};

// Values per int8 block, each block with one scale.
inline constexpr std::size_t kInt8Block = 32;

// The scale of an int8 block whose largest magnitude is `largest`: largest /
// 127, one step lower where 127 times it would round past the largest float,
// so that every stored value decodes to a finite float (the top value's
// quotient then passes 127 and is clamped to it). Internal to each kernel
// set's object, which compiles it for its own instructions.
static inline float int8_scale(float largest) noexcept {
    const float scale = largest / 127.0f;
    return std::isinf(scale * 127.0f) ? std::nextafter(scale, 0.0f) : scale;
}

// The scalar reference, written to read like the definition above.
extern const Kernels kScalarKernels;
// Its dot product (kScalarKernels.dot): the eight-lane order over the
// products x[i] * y[i], each rounded to float before it is added.
float unrolled_dot(const float* x, const float* y, std::size_t n);
#if defined(MARROWVALE_X86_KERNELS)
extern const Kernels kSse2Kernels;
extern const Kernels kAvx2Kernels;
extern const Kernels kAvx512Kernels;

// The AVX2 set's kernels that the AVX-512 set shares: a single sum is one
// chain of dependent additions, and wider registers do not shorten it. The
// norms and neighbour dots would gain from two rows per 512-bit register,
// but stay the AVX2 set's until a processor with AVX-512 can test and time
// such a version.
namespace avx2 {
float dot(const float* x, const float* y, std::size_t n);
float sum(const float* a, std::size_t n);
void norms_and_dots(const float* rows, std::size_t width, std::size_t count, float* norms, float* dots);
// Its `lowest`: in 512-bit registers the comparisons and their masks ran at
// half the speed (Zen 5, 1,000 scores: 70 against 35 ns).
std::size_t lowest_index(const float* a, std::size_t n);
// The storage tiers' kernels: their work is widening eight narrow values
// into the eight lanes of a row's partial sums, which 256-bit registers do
// whole; 512-bit ones would carry two rows each, like the float scores, and
// wait for a version that is measured to gain.
void bf16_from_floats(const float* x, std::size_t n, unsigned char* out);
bool int8_from_floats(const float* x, std::size_t n, unsigned char* row);
void dot_rows_bf16(const float* q, std::size_t queries, const unsigned char* rows, std::size_t row_bytes,
                   std::size_t n, std::size_t count, float* scores, std::size_t stride);
void dot_rows_int8(const float* q, std::size_t queries, const unsigned char* rows, std::size_t row_bytes,
                   std::size_t n, std::size_t count, float* scores, std::size_t stride);
void weighted_sum_rows_bf16(float* out, std::size_t outputs, const unsigned char* rows, std::size_t row_bytes,
                            const float* weights, std::size_t count, std::size_t width, std::size_t stride);
void weighted_sum_rows_int8(float* out, std::size_t outputs, const unsigned char* rows, std::size_t row_bytes,
                            const float* weights, std::size_t count, std::size_t width, std::size_t stride);
}  // namespace avx2
#endif

// Every kernel set built into this binary, scalar first.
std::vector<const Kernels*> built_kernels();

// Whether the processor and the operating system can run this set.
bool kernels_supported(const Kernels& kernels);

// The set every computation uses. Until select_kernels runs it is the best
// supported set.
const Kernels& active_kernels() noexcept;

// Chooses the active set once: the one named by `forced` (an empty name
// means the best supported). Returns an empty string on success, otherwise
// why the named set cannot be used.
std::string select_kernels(std::string_view forced);

}  // namespace marrowvale
