// Per-thread tile buffers of the filter, kept across the ranges of a pass.
#include "kmeans/assignment/filter_scratch.hpp"

#include <new>

#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {

double* FilterScratch::doubles(std::size_t slot, std::size_t count) {
    if (slot > 1) throw InternalFailure("filter scratch slot out of range");
    if (double_counts_[slot] < count) {
        doubles_[slot].reset(new (std::nothrow) double[count]);
        double_counts_[slot] = doubles_[slot] ? count : 0;
    }
    return doubles_[slot].get();
}

float* FilterScratch::floats(std::size_t count) {
    if (float_count_ < count) {
        floats_.reset(new (std::nothrow) float[count]);
        float_count_ = floats_ ? count : 0;
    }
    return floats_.get();
}

}  // namespace corvalinth::kmeans
