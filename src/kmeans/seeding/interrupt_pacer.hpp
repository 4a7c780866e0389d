#pragma once
// The seeding's interrupt cadence: a check every few milliseconds, on the calling thread.
#include <chrono>

#include "kmeans/base/interrupt_check.hpp"

namespace corvalinth::kmeans {

class InterruptPacer {
public:
    // The clock starts now; an empty check never stops.
    explicit InterruptPacer(const InterruptCheck& check);

    // Called by the calling thread between pieces of work (never while the
    // workers are busy): runs the check when the interval has passed since
    // the last one (or since the start) and returns true when it asks to stop.
    bool stop_now();

    // Whether there is a check at all (without one, work need not be cut up).
    bool active() const { return static_cast<bool>(check_); }

private:
    using Clock = std::chrono::steady_clock;
    const InterruptCheck& check_;
    Clock::time_point checked_;
};

}  // namespace corvalinth::kmeans
