#pragma once
// Reference distance kernels. The fast kernels must give exactly the same
// results; these stay as the definition.
#include <cstddef>
#include <cstdint>
#include <limits>

namespace corvalinth::kmeans {

// Left-to-right sum from -0.0 of (a_j - b_j)^2 over the common prefix of the
// two rows; each product is rounded before it is added.
inline double squared_distance(const double* a, std::ptrdiff_t a_stride, std::size_t a_len, const double* b,
                               std::size_t b_len) {
    const std::size_t len = a_len < b_len ? a_len : b_len;
    double acc = -0.0;
    for (std::size_t j = 0; j < len; ++j) {
        const double diff = a[static_cast<std::ptrdiff_t>(j) * a_stride] - b[j];
        const double sq = diff * diff;
        acc = acc + sq;
    }
    return acc;
}

// Index of the nearest of k centres (rows of a dense row-major k x d matrix):
// strict ordered less-than, so ties go to the lowest index, a NaN distance is
// never chosen, and 0 is returned when nothing is below +infinity.
inline std::uint64_t nearest_centre(const double* a, std::ptrdiff_t a_stride, std::size_t a_len, const double* centres,
                                    std::size_t k, std::size_t d) {
    double best = std::numeric_limits<double>::infinity();
    std::uint64_t label = 0;
    for (std::size_t c = 0; c < k; ++c) {
        const double dist = squared_distance(a, a_stride, a_len, centres + c * d, d);
        if (dist < best) {
            best = dist;
            label = c;
        }
    }
    return label;
}

}  // namespace corvalinth::kmeans
