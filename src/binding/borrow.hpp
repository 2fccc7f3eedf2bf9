// The borrow rules both classes keep: Python code that a call runs while it
// converts its arguments (an element's __float__) may call back into the
// same object, and must not see it change under the call, nor change it
// under a call that reads it. Reads nest in reads; a write excludes every
// other borrow. A refused borrow raises RuntimeError.
#pragma once

#include "binding/py_ref.hpp"

#include <cstdint>
#include <limits>

namespace marrowvale {

enum class Access { read, write };

// One object's borrows: 0 when free, n while n reads are held, all ones
// while the one write is held.
class BorrowFlag {
public:
    // Throws PythonErrorSet with RuntimeError set ("Already borrowed" for a
    // write, "Already mutably borrowed" for a read) on a conflict.
    void acquire(Access mode) {
        if (mode == Access::write) {
            if (state_ != 0) refuse(mode);
            state_ = kWriting;
        } else {
            if (state_ == kWriting) refuse(mode);
            ++state_;
        }
    }
    void release(Access mode) noexcept {
        if (mode == Access::write) {
            state_ = 0;
        } else {
            --state_;
        }
    }
    bool free() const noexcept { return state_ == 0; }

private:
    static constexpr std::uint64_t kWriting = std::numeric_limits<std::uint64_t>::max();
    [[noreturn]] static void refuse(Access mode);

    std::uint64_t state_ = 0;
};

// Holds one borrow of a flag for its lifetime.
class Borrow {
public:
    Borrow(BorrowFlag& flag, Access mode) : flag_(flag), mode_(mode) { flag.acquire(mode); }
    ~Borrow() { flag_.release(mode_); }
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;

private:
    BorrowFlag& flag_;
    Access mode_;
};

}  // namespace marrowvale
