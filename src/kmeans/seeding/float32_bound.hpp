#pragma once
// The seeding's float32 lower bound: from float copies of a sample and of the
// newest centre, both less one offset row, their radii and the float32
// distance between the copies, a value certified not to exceed the exact
// squared_distance of the doubles. Samples are copied as bfloat16 (a float's
// upper 16 bits: 8 significant bits), the centre as float32.
//
// A sample whose bound is at least its closest distance cannot be lowered by
// the newest centre (lowering needs strictly smaller), so the lowering pass
// skips it and measures every other sample exactly. Derivation, constants and
// range guard: docs/proofs/seeding-float32.md. It assumes gradual underflow in
// both precisions.
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/kernels/views.hpp"

namespace corvalinth::kmeans {

// Widest rows for which the bound is proven.
inline constexpr std::size_t kFloat32MaxDims = std::size_t{1} << 16;

// The range guard: float copies and centres whose every coordinate is at most
// this in magnitude (a power of two, 2^floor((122 - ceil(log2 d)) / 2)); no
// float sum of d squared differences of such values overflows.
double float32_limit(std::size_t d);

// Rounds the d coordinates of a row (`stride` doubles apart) less the
// offset's to floats at out[0], out[out_stride], ... and returns its radius: a
// double at least the Euclidean distance between the row less the offset and
// its float copy, or +infinity when a copied value is beyond `limit` (NaN and
// infinities included). The offset's coordinates are finite.
double round_to_float32(const double* row, std::ptrdiff_t stride, const double* offset, std::size_t d, float* out,
                        std::ptrdiff_t out_stride, double limit);
// The same with bfloat16 copies: out holds the upper 16 bits of each float.
double round_to_bfloat16(const double* row, std::ptrdiff_t stride, const double* offset, std::size_t d,
                         std::uint16_t* out, std::ptrdiff_t out_stride, double limit);

// The offset of the copies: per feature, the median of the finite values of
// up to kOffsetSamples samples spread evenly over x (the lower middle one of
// an even count), or 0 where that is beyond `limit` or there is none. Near
// the bulk of the data, whatever a few outliers do.
inline constexpr std::size_t kOffsetSamples = 63;
void choose_offset(const SampleMatrix& x, double limit, double* offset);

// The bound's constants for rows of d features (section 4 of the proof);
// testing::seeding_f32_margin_scale() scales every margin (1 leaves them exact).
using Float32Margin = kernels::SeedingMargin;
Float32Margin float32_margin(std::size_t d);

// The certified lower bound L <= squared_distance(x, c) from s = the float
// distance of the copies and the radii ex of the sample and ec of the centre
// (section 4 of the proof); 0 when nothing better is certified.
inline double float32_lower_bound(float s32, double ex, double ec, const Float32Margin& m) {
    const double s = s32;  // exact
    const double p = s * m.scale_down - m.absolute;
    const double r = std::sqrt(p > 0.0 ? p : 0.0);
    const double q = r - (ex + ec) * m.radius_scale;
    if (!(q > 0.0)) return 0.0;
    const double l = q * q * m.square_down - m.floor;
    return l > 0.0 ? l : 0.0;
}

}  // namespace corvalinth::kmeans
