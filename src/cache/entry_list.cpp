#include "cache/entry_list.hpp"

#include "cache/float_array.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace marrowvale {
namespace {

constexpr std::size_t kMinRows = 16;

template <typename T>
std::size_t row_bytes(std::uint64_t width) {
    if (width > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<std::size_t>(width) * sizeof(T);
}

}  // namespace

template <typename T>
void RowList<T>::reserve(std::size_t rows) {
    if (rows <= capacity_ - head_) return;
    const std::size_t bytes_per_row = row_bytes<T>(width_);
    if (rows > capacity_ && rows <= block_rows_) {
        // A growth that the block set aside holds: the rows move where a
        // new buffer would have them.
        if (head_ != 0 && size_ != 0 && bytes_per_row != 0) std::memmove(data_.get(), row(0), size_ * bytes_per_row);
        head_ = 0;
        capacity_ = rows;
        return;
    }
    move_to_block(rows, 0);
    head_ = 0;
    capacity_ = rows;
}

template <typename T>
void RowList<T>::move_to_block(std::size_t rows, std::size_t first) {
    const std::size_t bytes_per_row = row_bytes<T>(width_);
    if (bytes_per_row != 0 && rows > std::numeric_limits<std::size_t>::max() / bytes_per_row) {
        throw std::bad_alloc();
    }
    HeapArray<T> fresh = allocate_array<T>(rows * static_cast<std::size_t>(width_));
    if (size_ != 0 && bytes_per_row != 0) std::memcpy(fresh.get() + first * width_, row(0), size_ * bytes_per_row);
    data_ = std::move(fresh);
    block_rows_ = rows;
}

template <typename T>
void RowList<T>::reserve_for_pushes(std::size_t pushes, std::size_t most_rows) {
    if (room_at_back() >= pushes) return;
    // A push finds at most `live` rows. When the back is full it slides the
    // rows down if at least half as many were dropped at the front as are
    // live, which a capacity of twice the live rows guarantees; otherwise it
    // grows the list to twice its live rows (grow_for_push). A block of that
    // size serves every growth in place.
    const std::size_t live = std::max(most_rows, size_ + 1) - 1;
    if (live > std::numeric_limits<std::size_t>::max() / 2) throw std::bad_alloc();
    if (capacity_ >= std::max(live + 1, 2 * live)) return;
    const std::size_t block = std::max(kMinRows, 2 * live);
    // Each row keeps its place: the list's layout does not change.
    if (block > block_rows_) move_to_block(block, head_);
}

template <typename T>
void RowList<T>::give_back_spare_rows() noexcept {
    if (block_rows_ == capacity_) return;
    if (capacity_ == 0) {
        data_.reset();
        block_rows_ = 0;
        return;
    }
    // Shrunk where it lies: the rows stay put, nothing is copied, and no
    // more memory is needed. A block that cannot shrink stays as it is,
    // its spare rows unused.
    const std::size_t bytes = capacity_ * row_bytes<T>(width_);
    if (bytes == 0) {
        block_rows_ = capacity_;
        return;
    }
    if (void* shrunk = std::realloc(data_.get(), bytes)) {
        (void)data_.release();
        data_.reset(static_cast<T*>(shrunk));
        block_rows_ = capacity_;
    }
}

template <typename T>
void RowList<T>::grow_for_push() {
    // Slide the rows down when the slack at the front is at least half the
    // rows: at most two rows move for each row dropped there, which keeps
    // the cost of front removal amortised O(1), and a list whose length
    // wavers (one whose compactions drop rows at the front, say) settles
    // on a buffer instead of growing it each time it is a little longer.
    if (head_ != 0 && head_ >= size_ / 2) {
        if (size_ != 0 && width_ != 0) {
            std::memmove(data_.get(), row(0), size_ * row_bytes<T>(width_));
        }
        head_ = 0;
        return;
    }
    std::size_t rows = std::max(kMinRows, size_ * 2);
    if (rows < size_ + 1) throw std::bad_alloc();
    reserve(rows);
}

template <typename T>
void RowList<T>::erase(std::size_t index) noexcept {
    const std::size_t bytes = static_cast<std::size_t>(width_) * sizeof(T);
    const std::size_t before = index;
    const std::size_t after = size_ - index - 1;
    if (before < after) {
        // Shift the older rows up by one and drop the now-duplicate front.
        if (bytes != 0 && before != 0) std::memmove(row(1), row(0), before * bytes);
        pop_front(1);
    } else {
        if (bytes != 0 && after != 0) std::memmove(row(index), row(index + 1), after * bytes);
        --size_;
        if (size_ == 0) head_ = 0;
    }
}

template <typename T>
void RowList<T>::truncate(std::size_t count) noexcept {
    if (count < size_) size_ = count;
    if (size_ == 0) head_ = 0;
}

template <typename T>
void RowList<T>::move_rows(std::size_t from, std::size_t to, std::size_t count) noexcept {
    if (from == to || count == 0 || width_ == 0) return;
    std::memmove(row(to), row(from), count * row_bytes<T>(width_));
}

template <typename T>
void RowList<T>::clear() noexcept {
    // The storage goes too: a cleared cache gives its memory back, as an
    // emptied Python list does.
    data_.reset();
    head_ = 0;
    size_ = 0;
    capacity_ = 0;
    block_rows_ = 0;
}

template <typename T>
RowList<T> RowList<T>::copy() const {
    RowList result(width_);
    result.append_for_overwrite(size_);
    if (size_ != 0 && width_ != 0) std::memcpy(result.row(0), row(0), size_ * row_bytes<T>(width_));
    return result;
}

template <typename T>
T* RowList<T>::append_for_overwrite(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() - size_) throw std::bad_alloc();
    reserve(size_ + count);
    T* first = row(size_);
    size_ += count;
    return first;
}

template class RowList<float>;
template class RowList<std::int64_t>;

}  // namespace marrowvale
