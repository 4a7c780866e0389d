#pragma once
// A one-shot signal a calling thread blocks on while the pool runs its loop.
//
// Each calling thread owns one, created on its first hand-off and reused.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "runtime/pool/spin_wait.hpp"

namespace corvalinth::runtime {

class CompletionLatch {
public:
    // Marks the operation finished and wakes the owner. The notification is
    // sent under the mutex, so the owner cannot return (and reuse or drop
    // the latch) while the setter still touches it.
    void set() {
        std::lock_guard<std::mutex> lock(mutex_);
        done_.store(true, std::memory_order_release);
        ready_.notify_one();
    }

    // Blocks until set, with no time limit, then puts the latch back to unset.
    // Short loops finish within microseconds, so the flag is polled briefly
    // before sleeping; the reset still happens under the mutex, after the
    // setter has let go of it.
    void wait_and_reset() {
        spin_until(kPolling, [this] { return done_.load(std::memory_order_acquire); });
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_.load(std::memory_order_relaxed)) ready_.wait(lock);
        done_.store(false, std::memory_order_relaxed);
    }

    // The calling thread's own latch.
    static CompletionLatch& for_this_thread() {
        thread_local CompletionLatch latch;
        return latch;
    }

private:
    static constexpr std::chrono::microseconds kPolling{100};

    std::mutex mutex_;
    std::condition_variable ready_;
    std::atomic<bool> done_{false};
};

}  // namespace corvalinth::runtime
