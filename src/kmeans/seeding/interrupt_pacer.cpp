// The seeding's interrupt cadence.
#include "kmeans/seeding/interrupt_pacer.hpp"

#include "kmeans/testing/knobs.hpp"

namespace corvalinth::kmeans {

InterruptPacer::InterruptPacer(const InterruptCheck& check) : check_(check), checked_(Clock::now()) {}

bool InterruptPacer::stop_now() {
    if (!check_) return false;
    const Clock::time_point now = Clock::now();
    if (now - checked_ < testing::seeding_check_interval()) return false;
    if (check_()) return true;
    checked_ = Clock::now();
    return false;
}

}  // namespace corvalinth::kmeans
