#pragma once
// Certified test that a seeding step cannot lower a sample's closest distance.
//
// Setting. Sample x has the stored closest distance D = fl(S(x, a)), computed
// by squared_distance against the chosen centre a that gave it (its owner).
// The newest centre is b, and G = fl(S(a, b)) is computed by the same kernel.
// S(p, q) denotes the exact squared Euclidean distance and fl(S) the value
// squared_distance returns. The step lowers x only when fl(S(x, b)) < D, so it
// is enough to prove fl(S(x, b)) >= D.
//
// Rounding of squared_distance over d coordinates (u = 2^-53, eta = 2^-1075,
// the largest absolute error of a product that underflows; sums and
// differences whose result is subnormal are exact). Each term
// fl(fl(p_j - q_j)^2) = (p_j - q_j)^2 (1 + e1)^2 (1 + e2) + h_j with |e| <= u
// and |h_j| <= eta; the first addition (to -0.0) is exact and each of the
// d - 1 further ones adds one factor (1 + e). Hence, when nothing overflows,
//     |fl(S) - S| <= g S + e,  g = gamma_{d+2} = (d+2)u / (1 - (d+2)u),
//                               e = d eta (1 + g) <= d 2^-1074.
// When something overflows, fl(S) = +inf (all terms are non-negative), which
// only helps the inequality we want.
//
// Claim. If d <= 2^20, D and G are finite and G >= B(D), where
//     B(D) = fl(fl(kGapFactor * D) + kGapFloor),
//     kGapFactor = 4 (1 + 2^-28),  kGapFloor = 2^-1000,
// then fl(S(x, b)) >= D.
//
// Proof. Let Q = (D + e) / (1 - g). From D >= S(x, a)(1 - g) - e we get
// S(x, a) <= Q. From G <= S(a, b)(1 + g) + e we get S(a, b) >= (G - e)/(1 + g).
// The triangle inequality gives sqrt S(x, b) >= sqrt S(a, b) - sqrt S(x, a),
// so sqrt S(a, b) >= 2 sqrt Q implies sqrt S(x, b) >= sqrt Q, i.e.
// S(x, b) >= Q, and then fl(S(x, b)) >= S(x, b)(1 - g) - e >= D (or it is
// +inf). It remains to show S(a, b) >= 4Q, for which it suffices that
//     G >= 4 (D + e) (1 + g)/(1 - g) + e.                               (*)
// For d <= 2^20, g < 2^-32.9, so (1 + g)/(1 - g) < 1 + 2^-31.8. The two
// roundings of B lose at most a factor (1 - u)^2 and an absolute eta:
//     B(D) >= ((4 + 2^-26) D (1 - u) - eta + 2^-1000)(1 - u)
//          >= 4 (1 + 2^-29) D + 2^-1001,
// since (1 + 2^-28)(1 - u)^2 > 1 + 2^-29. And 4(1 + 2^-29) > 4(1 + g)/(1 - g),
// while 2^-1001 > 4 e (1 + 2^-31) + e for e <= 2^20 2^-1074. So G >= B(D)
// implies (*). D >= 0 always (a sum of squares, or -0.0), and rounding is
// monotone, so B is non-decreasing in D: a bound that holds for the largest D
// of a centre's samples holds for every one of them.
//
// NaN never passes: a NaN G or D makes the comparison false, and +inf in D
// gives B = +inf, which no finite G reaches.
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
