#include "layer_cache/cache_access.hpp"

#include <pthread.h>

#include "binding/errors.hpp"
#include "binding/messages.hpp"
#include "layer/fork_safety.hpp"

namespace marrowvale {

unsigned long this_thread() noexcept { return static_cast<unsigned long>(pthread_self()); }

CacheAccess::CacheAccess() : mutex_(std::make_unique<std::mutex>()), generation_(fork_generation()) {}

void CacheAccess::start_afresh_after_fork() {
    // The old mutex may be held by a thread that is gone: leave it be.
    (void)mutex_.release();
    mutex_ = std::make_unique<std::mutex>();
    holder_.store(0);
    // Only the forking thread's borrows survive: the other threads do not
    // exist here, and their borrows never end.
    const unsigned long survivor = forking_thread();
    std::erase_if(borrows_, [&](const ThreadBorrows& held) { return held.thread != survivor; });
    generation_ = fork_generation();
}

CacheAccess::ThreadBorrows* CacheAccess::borrows_of(unsigned long thread) noexcept {
    for (ThreadBorrows& held : borrows_) {
        if (held.thread == thread) return &held;
    }
    return nullptr;
}

CacheAccess::Borrow::Borrow(CacheAccess& access, Access mode) : access_(access), thread_(this_thread()), mode_(mode) {
    if (access.generation_ != fork_generation()) access.start_afresh_after_fork();
    ThreadBorrows* held = access.borrows_of(thread_);
    if (held == nullptr) {
        // The thread's first borrow of this cache: a free flag cannot refuse.
        access.borrows_.push_back({thread_, {}});
        held = &access.borrows_.back();
    }
    held->flag.acquire(mode);
}

CacheAccess::Borrow::~Borrow() {
    ThreadBorrows* held = access_.borrows_of(thread_);
    if (held == nullptr) return;
    held->flag.release(mode_);
    if (held->flag.free()) std::erase_if(access_.borrows_, [&](const ThreadBorrows& b) { return &b == held; });
}

CacheAccess::Lock::Lock(CacheAccess& access) : access_(access) {
    if (access.generation_ != fork_generation()) access.start_afresh_after_fork();
    const unsigned long me = this_thread();
    // Only code that runs inside the locked stretch could call back here (a
    // finalizer), and waiting would never end.
    if (access.holder_.load() == me) raise_format(PyExc_RuntimeError, messages::kAlreadyBorrowed);
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
