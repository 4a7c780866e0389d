#pragma once
// Certified test that a seeding step cannot lower a sample's closest distance.
//
// A sample whose stored closest distance D was computed against its owner a
// (the chosen centre that gave it) cannot be lowered by the newest centre b
// when the computed centre-to-centre distance G = fl(S(a, b)) is finite and
// at least fl(fl(kGapFactor * D) + kGapFloor), for rows of at most
// kGapMaxDims coordinates: by the triangle inequality with every rounding of
// squared_distance counted, fl(S(x, b)) >= D. The bound is non-decreasing in
// D, so one that holds for the largest D a centre owns holds for every sample
// it owns. NaN never passes. It assumes gradual underflow. Derivation:
// docs/proofs/seeding-gap.md.
#include <cstddef>
#include <limits>

namespace corvalinth::kmeans {

inline constexpr double kGapFactor = 4.0 + 0x1p-26;
inline constexpr double kGapFloor = 0x1p-1000;
// Widest rows for which the margin above is proven.
inline constexpr std::size_t kGapMaxDims = std::size_t{1} << 20;

// The smallest computed centre-to-centre distance that certifies a sample
// with stored distance `closest` cannot be lowered.
inline double gap_needed(double closest) { return kGapFactor * closest + kGapFloor; }

// True when a sample with stored distance `closest`, whose owner lies at the
// computed squared distance `gap` from the newest centre, provably keeps its
// distance (valid for rows of at most kGapMaxDims coordinates).
inline bool gap_certifies(double gap, double closest) {
    return gap < std::numeric_limits<double>::infinity() && gap >= gap_needed(closest);
}

}  // namespace corvalinth::kmeans
