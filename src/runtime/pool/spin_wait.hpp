#pragma once
// Brief polling before a thread goes to sleep.
//
// A wait that ends within a few microseconds then costs no sleep and
// wake-up, and a longer one costs at most the polling budget in CPU time.
#include <sched.h>

#include <chrono>

namespace corvalinth::runtime {

inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#endif
}

// Polls `ready` for at most `budget`; true as soon as it holds. After a few
// pauses the thread yields between polls, so a thread it waits for that
// shares its processor can run.
template <class Ready>
bool spin_until(std::chrono::microseconds budget, Ready&& ready) {
    using Clock = std::chrono::steady_clock;
    for (int i = 0; i < 16; ++i) {
        if (ready()) return true;
        cpu_relax();
    }
    const auto deadline = Clock::now() + budget;
    while (Clock::now() < deadline) {
        if (ready()) return true;
        ::sched_yield();
    }
    return ready();
}

// Polls `ready` until it holds, never sleeping (yielding between polls after
// the first few): for a wait on another thread that is running and will make
// it hold, such as a turn in work handed on in order.
template <class Ready>
void poll_until(Ready&& ready) {
    while (!spin_until(std::chrono::microseconds(50), ready)) {}
}

}  // namespace corvalinth::runtime
