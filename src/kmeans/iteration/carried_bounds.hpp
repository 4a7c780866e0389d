#pragma once
// Bounds carried from one iteration to the next: a sample whose exact
// distance to its centre is certainly below its distance to every other
// centre keeps its label without being scored. Derivation:
// docs/proofs/carried-bounds.md, section 10.
#include <cstddef>

#include "kmeans/base/model.hpp"

namespace corvalinth::kmeans {

// How far the centres moved: `largest` is at least the true Euclidean
// distance between row c of `before` and row c of `after` (first `dims`
// coordinates) for every c, and `other` for every c except `largest_at`.
// +infinity when a coordinate is NaN or infinite or a distance overflows.
struct CentreMoves {
    double largest;
    std::size_t largest_at;
    double other;
    // The bound for the centres other than c.
    double except(std::size_t c) const { return c == largest_at ? other : largest; }
};
CentreMoves largest_moves(const CentreMatrix& before, const CentreMatrix& after, std::size_t dims);

// The keep test's constants (the vector kernels' copy of the test takes
// them from here): a moved bound not above kRestFloor is 0, one above it is
// scaled by kRestShrink; a bound keeps a label only strictly between
// kKeepLow and kKeepHigh, where its square scaled by keep_reach(dims) must
// exceed the distance.
inline constexpr double kRestFloor = 0x1p-899;
inline constexpr double kRestShrink = 1.0 - 0x1p-50;
inline constexpr double kKeepLow = 0x1p-500;
inline constexpr double kKeepHigh = 0x1p500;
inline double keep_reach(std::size_t dims) {
    const double d = static_cast<double>(dims);
    return 1.0 - (2.0 * d + 16.0) * 0x1p-53;
}

// A lower bound on the distances to the other centres after they moved by at
// most `move`, from one before (0 when nothing useful remains). Inline: the
// pass runs it for every sample.
inline double moved_lower_bound(double lower, double move) {
    const double rest = lower - move;
    if (!(rest > kRestFloor)) return 0.0;  // NaN included
    return rest * kRestShrink;
}

// Whether the label of a sample stays: its exact computed squared distance to
// its centre, `distance`, is certainly below the computed squared distance to
// every other centre, all of which are at least `lower` away in truth.
inline bool keeps_label(double lower, double distance, std::size_t dims) {
    // Far from underflow and overflow of lower^2 (NaN fails too).
    if (!(lower > kKeepLow && lower < kKeepHigh)) return false;
    const double reach = (lower * lower) * keep_reach(dims);
    // A NaN distance compares false and is scored again.
    return reach > distance;
}

}  // namespace corvalinth::kmeans
