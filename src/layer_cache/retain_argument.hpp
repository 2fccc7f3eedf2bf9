// The argument of LayerCache.retain: which entries each head keeps, as a
// boolean mask of shape (n_heads, entries), or one index array (or mask)
// per head. Read in two steps, so that the Python code a conversion may run
// runs before the cache's lock is taken, and the entries are counted after.
#pragma once

#include "binding/py_ref.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace marrowvale {

class RetainArgument {
public:
    // Reads `object` for n_heads heads: a 2-D buffer (bool for a mask,
    // integers for one row of indices per head) or a sequence of n_heads
    // items, each a 1-D buffer of bools or integers, or a sequence of Python
    // ints (or of Python bools, a mask, as NumPy reads them). Throws
    // PythonErrorSet: TypeError for what is neither, ValueError for a wrong
    // number of heads or dimensions.
    void read(PyObject* object, std::size_t n_heads);

    // Sets kept[h * stride + i] to 1 for each entry i < lengths[h] that head
    // h keeps, 0 for the others. Throws PythonErrorSet: ValueError for a mask
    // whose length is not the head's or an index given twice, IndexError for
    // an index out of range (indices count from the end when negative).
    // Runs no Python code.
    void mark(std::span<const std::size_t> lengths, unsigned char* kept, std::size_t stride) const;

private:
    struct Head {
        bool mask = false;
        std::vector<std::int64_t> items;  // 0 or 1 for a mask
    };

    // Head h's items: `length` elements of the buffer from `offset` bytes
    // on, `step` bytes apart.
    void read_head_buffer(const Py_buffer& view, std::size_t h, Py_ssize_t offset, Py_ssize_t length, Py_ssize_t step);
    void read_head_sequence(PyObject* object, std::size_t h);

    std::vector<Head> heads_;
};

}  // namespace marrowvale
