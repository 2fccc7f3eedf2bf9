#include "binding/element_format.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace marrowvale {
namespace {

std::uint64_t load_bits(const unsigned char* at, std::size_t size, bool swap) noexcept {
    std::uint64_t bits = 0;
    unsigned char bytes[8];
    for (std::size_t i = 0; i < size; ++i) bytes[i] = at[swap ? size - 1 - i : i];
    if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&bits, bytes, size);
    } else {
        std::memcpy(reinterpret_cast<unsigned char*>(&bits) + (8 - size), bytes, size);
    }
    return bits;
}

// Every float16 is a float32 exactly.
float half_to_float(std::uint16_t half) noexcept {
    const std::uint32_t sign = static_cast<std::uint32_t>(half & 0x8000u) << 16;
    const std::uint32_t exponent = (half >> 10) & 0x1fu;
    const std::uint32_t mantissa = half & 0x3ffu;
    if (exponent == 0) {
        const float magnitude = std::ldexp(static_cast<float>(mantissa), -24);
        return sign != 0 ? -magnitude : magnitude;
    }
    const std::uint32_t bits = exponent == 0x1f ? sign | 0x7f800000u | (mantissa << 13)
                                                : sign | ((exponent + 112) << 23) | (mantissa << 13);
    return std::bit_cast<float>(bits);
}

// Sign-extended from the element's width.
std::int64_t signed_element(const unsigned char* at, const ElementFormat& format) noexcept {
    const unsigned shift = static_cast<unsigned>(64 - 8 * format.size);
    return static_cast<std::int64_t>(load_bits(at, format.size, format.swap) << shift) >> shift;
}

}  // namespace

float read_element(const unsigned char* at, const ElementFormat& format) noexcept {
    switch (format.kind) {
        case ElementKind::boolean:
            return at[0] != 0 ? 1.0f : 0.0f;
        case ElementKind::floating:
            if (format.size == sizeof(long double) && format.size > 8) {
                long double value;
                std::memcpy(&value, at, sizeof(value));
                return static_cast<float>(static_cast<double>(value));
            }
            if (format.size == 2) return half_to_float(static_cast<std::uint16_t>(load_bits(at, 2, format.swap)));
            if (format.size == 4) return std::bit_cast<float>(static_cast<std::uint32_t>(load_bits(at, 4, format.swap)));
            return static_cast<float>(std::bit_cast<double>(load_bits(at, 8, format.swap)));
        case ElementKind::signed_integer:
            return static_cast<float>(static_cast<double>(signed_element(at, format)));
        case ElementKind::unsigned_integer:
            return static_cast<float>(static_cast<double>(load_bits(at, format.size, format.swap)));
    }
    return 0.0f;
}

std::optional<std::int64_t> read_integer_element(const unsigned char* at, const ElementFormat& format) noexcept {
    switch (format.kind) {
        case ElementKind::boolean:
            return at[0] != 0 ? 1 : 0;
        case ElementKind::signed_integer:
            return signed_element(at, format);
        case ElementKind::unsigned_integer: {
            const std::uint64_t value = load_bits(at, format.size, format.swap);
            if (value > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
            return static_cast<std::int64_t>(value);
        }
        case ElementKind::floating:
            break;
    }
    return std::nullopt;
}

}  // namespace marrowvale
