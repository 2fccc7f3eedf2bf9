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
    // Only the forking thread's borrows survive: the others' threads, and
    // the stacks their borrows live on, do not exist here.
    const unsigned long survivor = forking_thread();
    Borrow::ThreadBorrows** link = &threads_;
    while (*link != nullptr) {
        if ((*link)->thread == survivor) {
            link = &(*link)->next;
        } else {
            *link = (*link)->next;
        }
    }
    generation_ = fork_generation();
}

CacheAccess::Borrow::Borrow(CacheAccess& access, Access mode)
    : access_(access), mode_(mode), own_{this_thread(), {}, nullptr}, used_(nullptr) {
    if (access.generation_ != fork_generation()) access.start_afresh_after_fork();
    for (Borrow::ThreadBorrows* held = access.threads_; held != nullptr; held = held->next) {
        if (held->thread == own_.thread) used_ = held;
    }
    if (used_ != nullptr) {
        used_->flag.acquire(mode);
        return;
    }
    // The thread's first borrow: a free flag, which cannot refuse.
    own_.flag.acquire(mode);
    own_.next = access.threads_;
    access.threads_ = &own_;
    used_ = &own_;
}

CacheAccess::Borrow::~Borrow() {
    used_->flag.release(mode_);
    if (used_ != &own_) return;
    Borrow::ThreadBorrows** link = &access_.threads_;
    while (*link != nullptr && *link != &own_) link = &(*link)->next;
    if (*link == &own_) *link = own_.next;
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
