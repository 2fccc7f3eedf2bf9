#include "cache/storage_tier.hpp"

#include <bit>
#include <cmath>
#include <cstring>

#include "cache/kernels/kernels.hpp"
#include "cache/messages.hpp"

namespace marrowvale {

std::string_view tier_name(StorageTier tier) noexcept {
    switch (tier) {
        case StorageTier::bfloat16:
            return "bfloat16";
        case StorageTier::int8:
            return "int8";
        case StorageTier::float32:
            break;
    }
    return "float32";
}

std::optional<StorageTier> tier_from_name(std::string_view name) noexcept {
    for (const StorageTier tier : {StorageTier::float32, StorageTier::bfloat16, StorageTier::int8}) {
        if (name == tier_name(tier)) return tier;
    }
    return std::nullopt;
}

std::optional<StorageTier> tier_from_byte(std::uint8_t byte) noexcept {
    if (byte > static_cast<std::uint8_t>(StorageTier::int8)) return std::nullopt;
    return static_cast<StorageTier>(byte);
}

std::uint64_t int8_blocks(std::uint64_t width) noexcept { return (width + kInt8Block - 1) / kInt8Block; }

std::uint64_t tier_row_bytes(StorageTier tier, std::uint64_t width) noexcept {
    switch (tier) {
        case StorageTier::bfloat16:
            return 2 * width;
        case StorageTier::int8:
            return int8_blocks(width) * sizeof(float) + width;
        case StorageTier::float32:
            break;
    }
    return width * sizeof(float);
}

std::uint64_t tier_row_floats(StorageTier tier, std::uint64_t width) noexcept {
    return (tier_row_bytes(tier, width) + sizeof(float) - 1) / sizeof(float);
}

bool all_finite(const float* x, std::size_t n) noexcept {
    // An infinity or a NaN has every exponent bit set: one pass of integer
    // operations, which the compiler vectorises, where a test per value
    // that stopped at the first would not be.
    std::uint32_t unfinite = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, x + i, sizeof bits);
        unfinite |= static_cast<std::uint32_t>((bits & 0x7F800000u) == 0x7F800000u);
    }
    return unfinite == 0;
}

bool encode_row(StorageTier tier, const float* values, std::size_t width, float* row) noexcept {
    unsigned char* bytes = reinterpret_cast<unsigned char*>(row);
    const std::size_t used = static_cast<std::size_t>(tier_row_bytes(tier, width));
    // The padding is zeroed, so that equal rows are equal bytes.
    const std::size_t held = static_cast<std::size_t>(tier_row_floats(tier, width)) * sizeof(float);
    if (held != used) std::memset(bytes + used, 0, held - used);
    switch (tier) {
        case StorageTier::bfloat16:
            active_kernels().bf16_from_floats(values, width, bytes);
            return true;
        case StorageTier::int8:
            return active_kernels().int8_from_floats(values, width, bytes);
        case StorageTier::float32:
            break;
    }
    if (width != 0) std::memcpy(row, values, width * sizeof(float));
    return true;
}

void decode_row(StorageTier tier, const float* row, std::size_t width, float* out) noexcept {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(row);
    switch (tier) {
        case StorageTier::bfloat16:
            for (std::size_t j = 0; j < width; ++j) {
                std::uint16_t half;
                std::memcpy(&half, bytes + 2 * j, sizeof half);
                out[j] = std::bit_cast<float>(static_cast<std::uint32_t>(half) << 16);
            }
            return;
        case StorageTier::int8: {
            const unsigned char* integers = bytes + int8_blocks(width) * sizeof(float);
            for (std::size_t j = 0; j < width; ++j) {
                float scale;
                std::memcpy(&scale, bytes + (j / kInt8Block) * sizeof(float), sizeof scale);
                out[j] = static_cast<float>(static_cast<signed char>(integers[j])) * scale;
            }
            return;
        }
        case StorageTier::float32:
            break;
    }
    if (width != 0) std::memcpy(out, row, width * sizeof(float));
}

const char* int8_row_problem(const unsigned char* row, std::size_t width) noexcept {
    for (std::size_t b = 0; b < int8_blocks(width); ++b) {
        float scale;
        std::memcpy(&scale, row + b * sizeof(float), sizeof scale);
        if (!std::isfinite(scale) || std::signbit(scale)) return messages::kBadInt8Scale;
    }
    return nullptr;
}

}  // namespace marrowvale
