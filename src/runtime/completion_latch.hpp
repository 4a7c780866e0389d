#pragma once
// A one-shot signal a calling thread blocks on while the pool runs its loop.
// Each calling thread owns one, created on its first hand-off and reused.
#include <condition_variable>
#include <mutex>

namespace corvalinth::runtime {

class CompletionLatch {
public:
    // Marks the operation finished and wakes the owner. The notification is
    // sent under the mutex, so the owner cannot return (and reuse or drop
    // the latch) while the setter still touches it.
    void set() {
        std::lock_guard<std::mutex> lock(mutex_);
        done_ = true;
        ready_.notify_one();
    }

    // Blocks until set, with no time limit, then puts the latch back to unset.
    void wait_and_reset() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) ready_.wait(lock);
        done_ = false;
    }

    // The calling thread's own latch.
    static CompletionLatch& for_this_thread() {
        thread_local CompletionLatch latch;
        return latch;
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    bool done_ = false;
};

}  // namespace corvalinth::runtime
