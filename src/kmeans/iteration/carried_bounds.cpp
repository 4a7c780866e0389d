// Certified movement of the centres, the lower bounds it leaves, and the test that keeps a label.
#include "kmeans/iteration/carried_bounds.hpp"

#include <cmath>
#include <limits>

#include "kmeans/kernels/reference.hpp"
#include "kmeans/testing/knobs.hpp"

namespace corvalinth::kmeans {
CentreMoves largest_moves(const CentreMatrix& before, const CentreMatrix& after, std::size_t dims) {
    const double inf = std::numeric_limits<double>::infinity();
    CentreMoves out{0.0, 0, 0.0};
    if (before.rows != after.rows || dims > before.cols || dims > after.cols) return {inf, 0, inf};
    const double d = static_cast<double>(dims);
    const double scale = testing::move_scale();
    for (std::size_t c = 0; c < before.rows; ++c) {
        const double s = squared_distance(after.row(c), 1, dims, before.row(c), dims);
        // s_up >= s / (1 - gamma_{d+2}); then the square root, the absolute
        // part and the rounding of both, upwards.
        const double s_up = s * (1.0 + (2.0 * d + 16.0) * 0x1p-53);
        double move = (std::sqrt(s_up) + 0x1p-500) * (1.0 + 0x1p-50);
        if (!(move <= std::numeric_limits<double>::max())) move = inf;
        move *= scale;
        if (move > out.largest) {
            out.other = out.largest;
            out.largest = move;
            out.largest_at = c;
        } else if (move > out.other) {
            out.other = move;
        }
        if (out.other == inf) break;
    }
    return out;
}

}  // namespace corvalinth::kmeans
