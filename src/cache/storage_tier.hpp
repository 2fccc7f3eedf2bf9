// How a cache stores its keys and values. float32 holds the appended floats
// as they came. bfloat16 rounds each to nearest-even and holds its top 16
// bits. int8 cuts each row into blocks of kInt8Block values (the last one
// shorter when the width is not a multiple) and holds per block one float32
// scale, the block's largest magnitude over 127, and per value the nearest
// integer to value / scale, ties to even: about 9 bits a value. A block of
// zeros has scale 0 and zeros; an int8 row holds finite values only (a
// block cannot scale an infinity or a NaN), so appending anything else is
// refused, while bfloat16 keeps infinities and NaNs as float32 does.
//
// A row of any tier lives in the same float rows as float32's (EntryList),
// as many floats as its bytes need: rows move, drop and compact as raw
// bytes, and only appending, reading back and attention see the tier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace marrowvale {

enum class StorageTier : std::uint8_t { float32 = 0, bfloat16 = 1, int8 = 2 };

// What a strategy that rewrites entries needs to know of their rows: their
// tier and widths in values, and working floats for decoded rows (`room`
// of them, made by the cache before the append: see KVCache::kDecodedRows).
struct RowFormat {
    StorageTier tier = StorageTier::float32;
    std::size_t key_width = 0;
    std::size_t value_width = 0;
    float* working = nullptr;
    std::size_t room = 0;
};

// "float32", "bfloat16", "int8"; the tier of such a name, none for others.
std::string_view tier_name(StorageTier tier) noexcept;
std::optional<StorageTier> tier_from_name(std::string_view name) noexcept;
// The tier a state stores as this byte, none for an unknown byte.
std::optional<StorageTier> tier_from_byte(std::uint8_t byte) noexcept;

// Blocks, each with a scale, of an int8 row of `width` values.
std::uint64_t int8_blocks(std::uint64_t width) noexcept;
// The bytes a row of `width` values holds in this tier (without padding):
// what a state stores per row.
std::uint64_t tier_row_bytes(StorageTier tier, std::uint64_t width) noexcept;
// The floats of an EntryList row that hold it: the bytes rounded up to
// whole floats, the padding zero.
std::uint64_t tier_row_floats(StorageTier tier, std::uint64_t width) noexcept;

// Whether each of the `n` floats at `x` is finite: what an int8 row can hold.
bool all_finite(const float* x, std::size_t n) noexcept;

// Stores the `width` floats of `values` as one row of the tier at `row`
// (tier_row_floats(tier, width) floats). Returns false, `row` then
// unspecified, for a non-finite value in an int8 row.
bool encode_row(StorageTier tier, const float* values, std::size_t width, float* row) noexcept;

// The `width` floats a row of the tier stands for: bfloat16 widened,
// int8 each integer times its block's scale (one rounding). Exactly the
// floats attention weighs.
void decode_row(StorageTier tier, const float* row, std::size_t width, float* out) noexcept;

// Why the int8 row at `row` (its tier_row_bytes bytes) cannot be held, or
// null: every scale finite and not negative. What a saved state must pass.
const char* int8_row_problem(const unsigned char* row, std::size_t width) noexcept;

}  // namespace marrowvale
