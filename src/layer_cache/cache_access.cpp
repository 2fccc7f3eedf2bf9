#include "layer_cache/cache_access.hpp"

#include <pthread.h>

#include "cache/messages.hpp"
#include "layer_cache/fork_safety.hpp"

namespace marrowvale {

unsigned long this_thread() noexcept { return static_cast<unsigned long>(pthread_self()); }

CacheAccess::CacheAccess() : mutex_(std::make_unique<std::mutex>()), generation_(fork_generation()) {}

void CacheAccess::start_afresh_after_fork() {
    // The old mutex may be held by a thread that is gone: leave it be.
    (void)mutex_.release();
    mutex_ = std::make_unique<std::mutex>();
    holder_.store(0);
    const unsigned long survivor = forking_thread();
    Borrow** link = &borrows_;
    while (*link != nullptr) {
        if ((*link)->thread_ == survivor) {
            link = &(*link)->next_;
        } else {
            *link = (*link)->next_;
        }
    }
    generation_ = fork_generation();
}

CacheAccess::Borrow::Borrow(CacheAccess& access, Access mode)
    : access_(access), thread_(this_thread()), mode_(mode), next_(nullptr) {
    if (access.generation_ != fork_generation()) access.start_afresh_after_fork();
    for (const Borrow* held = access.borrows_; held != nullptr; held = held->next_) {
        if (held->thread_ != thread_) continue;
        // Reads may nest in reads; anything else would see the cache
        // change under a call that is still converting its arguments.
        if (mode == Access::write) {
            PyErr_SetString(PyExc_RuntimeError, messages::kAlreadyBorrowed);
            throw PythonErrorSet{};
        }
        if (held->mode_ == Access::write) {
            PyErr_SetString(PyExc_RuntimeError, messages::kAlreadyMutablyBorrowed);
            throw PythonErrorSet{};
        }
    }
    next_ = access.borrows_;
    access.borrows_ = this;
}

CacheAccess::Borrow::~Borrow() {
    Borrow** link = &access_.borrows_;
    while (*link != nullptr && *link != this) link = &(*link)->next_;
    if (*link == this) *link = next_;
}

CacheAccess::Lock::Lock(CacheAccess& access) : access_(access) {
    if (access.generation_ != fork_generation()) access.start_afresh_after_fork();
    const unsigned long me = this_thread();
    // Only code that runs inside the locked stretch could call back here (a
    // finalizer), and waiting would never end.
    if (access.holder_.load() == me) {
        PyErr_SetString(PyExc_RuntimeError, messages::kAlreadyBorrowed);
        throw PythonErrorSet{};
    }
    if (!access.mutex_->try_lock()) {
        WithoutInterpreterLock released;
        access.mutex_->lock();
    }
    access.holder_.store(me);
}

CacheAccess::Lock::~Lock() {
    access_.holder_.store(0);
    access_.mutex_->unlock();
}

}  // namespace marrowvale
