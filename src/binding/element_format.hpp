// The elements of a caller's buffer: what its struct-module format and item
// size say each element is, and reading one as the nearest float32, as a
// Python number of that value converts (float64 to the nearest float,
// float16 exactly, an integer of any width to the nearest double first, as
// the interpreter converts an int, a bool to 0.0 or 1.0).
#pragma once

#include "binding/py_ref.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace marrowvale {

enum class ElementKind { floating, signed_integer, unsigned_integer, boolean };

struct ElementFormat {
    ElementKind kind;
    std::size_t size;
    bool swap;  // stored in the other byte order

    bool is_native_float32() const noexcept { return kind == ElementKind::floating && size == 4 && !swap; }
    bool is_native_float64() const noexcept { return kind == ElementKind::floating && size == 8 && !swap; }
};

// The element type of a buffer, or nothing for a format that is not one
// plain number type (a struct, a pointer, complex numbers). Inline: every
// NumPy array PyKVCache reads comes through here, twice per append.
inline std::optional<ElementFormat> element_format(const Py_buffer& view) noexcept {
    const char* text = view.format == nullptr ? "B" : view.format;
    char order = '@';
    if (text[0] == '@' || text[0] == '=' || text[0] == '<' || text[0] == '>' || text[0] == '!') order = *text++;
    if (text[0] == '\0' || text[1] != '\0') return std::nullopt;
    constexpr bool little = std::endian::native == std::endian::little;
    ElementFormat format;
    format.swap = (order == '<' && !little) || ((order == '>' || order == '!') && little);
    format.size = static_cast<std::size_t>(view.itemsize);
    const std::size_t size = format.size;
    bool fits;
    switch (text[0]) {
        case 'e':
        case 'f':
        case 'd':
            format.kind = ElementKind::floating;
            fits = size == (text[0] == 'e' ? 2u : text[0] == 'f' ? 4u : 8u);
            break;
        case 'g':
            // Long double exists only in native form.
            format.kind = ElementKind::floating;
            fits = order == '@' && size == sizeof(long double);
            break;
        case 'b':
        case 'h':
        case 'i':
        case 'l':
        case 'q':
        case 'n':
        case 'B':
        case 'H':
        case 'I':
        case 'L':
        case 'Q':
        case 'N':
            // Lower case for signed, upper for unsigned.
            format.kind = text[0] >= 'a' ? ElementKind::signed_integer : ElementKind::unsigned_integer;
            fits = size == 1 || size == 2 || size == 4 || size == 8;
            break;
        case '?':
            format.kind = ElementKind::boolean;
            fits = size == 1;
            break;
        default:
            return std::nullopt;
    }
    if (!fits) return std::nullopt;
    return format;
}

// The element at `at`, as the nearest float32.
float read_element(const unsigned char* at, const ElementFormat& format) noexcept;

// The integer or bool element at `at` (not a float one), or nothing for an
// unsigned one beyond the range of int64.
std::optional<std::int64_t> read_integer_element(const unsigned char* at, const ElementFormat& format) noexcept;

}  // namespace marrowvale
