#pragma once
// Tile buffers of the filter for one thread, kept from one call to the next,
// so that a pass cut into many short ranges allocates them once (freed with
// the scratch). Every buffer is optional: a call that cannot have one falls
// back as it would without scratch.
#include <cstddef>
#include <memory>

namespace corvalinth::kmeans {

class FilterScratch {
public:
    // A buffer of at least `count` doubles (slot 0 or 1) or floats; null when
    // it cannot be allocated.
    double* doubles(std::size_t slot, std::size_t count);
    float* floats(std::size_t count);

private:
    std::unique_ptr<double[]> doubles_[2];
    std::size_t double_counts_[2] = {0, 0};
    std::unique_ptr<float[]> floats_;
    std::size_t float_count_ = 0;
};

}  // namespace corvalinth::kmeans
