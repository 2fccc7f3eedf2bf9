// Who may touch one LayerCache, and when.
//
// A call first takes a Borrow, under the interpreter lock, for as long as it
// converts its arguments: Python code run by a conversion (an element's
// __float__) that calls back into the same cache meets the borrow rules of
// PyKVCache ("Already borrowed", "Already mutably borrowed"). Each thread
// has a borrow flag of its own: calls from other threads do not conflict,
// they wait for the Lock. Then it takes
// the Lock for the stretch in which it reads or changes the heads, which
// runs no Python code. So a call from another thread waits only for that
// stretch, and no thread ever waits for a cache's lock while it holds the
// interpreter lock: a Lock that is busy lets go of the interpreter lock
// while it waits.
#pragma once

#include "binding/borrow.hpp"
#include "binding/py_ref.hpp"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

namespace marrowvale {

class CacheAccess {
public:
    CacheAccess();

    class Borrow {
    public:
        // Throws PythonErrorSet with RuntimeError set on a conflict with a
        // borrow this thread already holds.
        Borrow(CacheAccess& access, Access mode);
        ~Borrow();
        Borrow(const Borrow&) = delete;
        Borrow& operator=(const Borrow&) = delete;

    private:
        CacheAccess& access_;
        unsigned long thread_;
        Access mode_;
    };

    // Exclusive use of the heads. Called with the interpreter lock held, and
    // returns with it held.
    class Lock {
    public:
        explicit Lock(CacheAccess& access);
        ~Lock();
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        CacheAccess& access_;
    };

private:
    // After a fork the child starts with a free lock and only the forking
    // thread's borrows (the other threads do not exist there).
    void start_afresh_after_fork();

    // The borrows of one thread. Kept here rather than in the first Borrow
    // of the thread: borrows need not end in the order they began (Python
    // code run by a conversion may switch to another greenlet, whose calls
    // outlive the first).
    struct ThreadBorrows {
        unsigned long thread;
        BorrowFlag flag;
    };
    ThreadBorrows* borrows_of(unsigned long thread) noexcept;

    std::unique_ptr<std::mutex> mutex_;
    std::atomic<unsigned long> holder_{0};  // thread holding mutex_, 0 when free
    std::vector<ThreadBorrows> borrows_;    // threads with borrows held; guarded by the interpreter lock
    std::uint64_t generation_;
};

// The calling thread, as the borrows and the lock name it.
unsigned long this_thread() noexcept;

// Runs with the interpreter lock released for its lifetime.
class WithoutInterpreterLock {
public:
    WithoutInterpreterLock() noexcept : state_(PyEval_SaveThread()) {}
    ~WithoutInterpreterLock() { PyEval_RestoreThread(state_); }
    WithoutInterpreterLock(const WithoutInterpreterLock&) = delete;
    WithoutInterpreterLock& operator=(const WithoutInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace marrowvale
