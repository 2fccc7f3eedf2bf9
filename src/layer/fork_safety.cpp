#include "layer/fork_safety.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <system_error>

#include "layer/worker_pool.hpp"

namespace marrowvale {
namespace {

struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t running = 0;
    bool forking = false;
};

// Never freed; the child replaces it without touching the parent's, whose
// mutex another thread may have held at the moment of the fork.
std::atomic<Gate*> g_gate{new Gate()};
std::atomic<std::uint64_t> g_generation{0};
std::atomic<unsigned long> g_forking_thread{0};

void before_fork() {
    Gate& gate = *g_gate.load();
    std::unique_lock<std::mutex> lock(gate.mutex);
    gate.forking = true;
    gate.changed.wait(lock, [&] { return gate.running == 0; });
}

void after_fork_in_parent() {
    Gate& gate = *g_gate.load();
    {
        std::lock_guard<std::mutex> lock(gate.mutex);
        gate.forking = false;
    }
    gate.changed.notify_all();
}

void after_fork_in_child() {
    g_gate.store(new Gate());
    g_forking_thread.store(static_cast<unsigned long>(pthread_self()));
    g_generation.fetch_add(1);
    forget_pool_in_child();
}

}  // namespace

void install_fork_handlers() {
    static const int installed = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
    if (installed != 0) throw std::system_error(installed, std::generic_category(), "pthread_atfork");
}

std::uint64_t fork_generation() noexcept { return g_generation.load(); }

unsigned long forking_thread() noexcept { return g_forking_thread.load(); }

ComputePhase::ComputePhase() {
    Gate* gate = g_gate.load();
    std::unique_lock<std::mutex> lock(gate->mutex);
    gate->changed.wait(lock, [&] { return !gate->forking; });
    ++gate->running;
    gate_ = gate;
}

ComputePhase::~ComputePhase() {
    auto* gate = static_cast<Gate*>(gate_);
    {
        std::lock_guard<std::mutex> lock(gate->mutex);
        --gate->running;
    }
    gate->changed.notify_all();
}

}  // namespace marrowvale
