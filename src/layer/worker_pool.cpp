#include "layer/worker_pool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>

namespace marrowvale {
namespace {

struct Job {
    TaskFunction task;
    void* context;
    std::size_t count;
    std::atomic<std::size_t> next{0};
    // Guarded by the pool's mutex:
    std::size_t wanted = 0;  // helpers that may still join
    std::size_t active = 0;  // helpers working on it now
    std::exception_ptr error;
};

class Pool {
public:
    // Makes sure at least `helpers` threads exist; fewer if the system
    // refuses more (the caller's own thread always works).
    void grow(std::size_t helpers) {
        std::lock_guard<std::mutex> lock(mutex_);
        while (threads_ < helpers) {
            if (!start_thread()) break;
            ++threads_;
        }
    }

    void run(Job& job) {
        bool queued;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            job.wanted = std::min(job.wanted, threads_);
            queued = job.wanted != 0;
            if (queued) queue_.push_back(&job);
        }
        // Not job.wanted: helpers that take the job count it down meanwhile,
        // under the lock this no longer holds.
        if (queued) work_.notify_all();
        work_on(job);
        std::unique_lock<std::mutex> lock(mutex_);
        // No helper may join once the caller is done: the job lives on the
        // caller's stack.
        if (job.wanted != 0) std::erase(queue_, &job);
        job.wanted = 0;
        idle_.wait(lock, [&] { return job.active == 0; });
    }

private:
    static void* thread_main(void* pool) {
        static_cast<Pool*>(pool)->serve();
        return nullptr;
    }

    bool start_thread() {
        pthread_attr_t attributes;
        if (pthread_attr_init(&attributes) != 0) return false;
        pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
        // Signals go to the interpreter's threads, never to a helper.
        sigset_t all;
        sigset_t previous;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &previous);
        pthread_t thread;
        const bool started = pthread_create(&thread, &attributes, thread_main, this) == 0;
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_attr_destroy(&attributes);
        return started;
    }

    void serve() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            work_.wait(lock, [&] { return !queue_.empty(); });
            Job& job = *queue_.front();
            ++job.active;
            if (--job.wanted == 0) queue_.pop_front();
            lock.unlock();
            work_on(job);
            lock.lock();
            if (--job.active == 0) idle_.notify_all();
        }
    }

    void work_on(Job& job) {
        for (;;) {
            const std::size_t index = job.next.fetch_add(1, std::memory_order_relaxed);
            if (index >= job.count) return;
            try {
                job.task(job.context, index);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (!job.error) job.error = std::current_exception();
                job.next.store(job.count, std::memory_order_relaxed);
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable idle_;
    std::deque<Job*> queue_;
    std::size_t threads_ = 0;
};

// Never freed: helper threads may still wait on it when the process ends,
// and a child after fork abandons the parent's.
std::atomic<Pool*> g_pool{nullptr};

Pool& pool() {
    Pool* current = g_pool.load(std::memory_order_acquire);
    if (current != nullptr) return *current;
    Pool* fresh = new Pool();
    if (g_pool.compare_exchange_strong(current, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *current;
}

}  // namespace

void run_tasks(std::size_t count, std::size_t helpers, TaskFunction task, void* context) {
    helpers = std::min(helpers, count == 0 ? 0 : count - 1);
    if (helpers == 0) {
        for (std::size_t i = 0; i < count; ++i) task(context, i);
        return;
    }
    Pool& shared = pool();
    shared.grow(helpers);
    Job job;
    job.task = task;
    job.context = context;
    job.count = count;
    job.wanted = helpers;
    shared.run(job);
    if (job.error) std::rethrow_exception(job.error);
}

void forget_pool_in_child() noexcept {
    // The parent's pool and its mutex stay allocated and untouched: its
    // threads do not exist here, and its mutex may have been held by one.
    g_pool.store(nullptr, std::memory_order_release);
}

}  // namespace marrowvale
