// The elements of a caller's buffer: what its struct-module format and item
// size say each element is, and reading one as the nearest float32, as a
// Python number of that value converts (float64 to the nearest float,
// float16 exactly, an integer of any width to the nearest double first, as
// the interpreter converts an int, a bool to 0.0 or 1.0).
#pragma once

#include "binding/py_ref.hpp"

#include <cstddef>
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
// plain number type (a struct, a pointer, complex numbers).
std::optional<ElementFormat> element_format(const Py_buffer& view) noexcept;

// The element at `at`, as the nearest float32.
float read_element(const unsigned char* at, const ElementFormat& format) noexcept;

}  // namespace marrowvale
