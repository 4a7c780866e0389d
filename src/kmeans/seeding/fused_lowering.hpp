#pragma once
// The lowering pass of narrow rows fused with the running total: one add per sample.
#include <cstddef>

#include "kmeans/base/sample_matrix.hpp"

namespace corvalinth::kmeans {

// Rows narrower than this are lowered by fused_lower_and_sum on the calling
// thread (a compiled loop per width below it).
inline constexpr std::size_t kFusedMaxDims = 8;

// For i = begin, ..., end - 1 in order: dist = the left-to-right squared
// distance of sample i to `centre` (d features, d < kFusedMaxDims, from
// -0.0, each product rounded before it is added); closest[i] = dist where
// dist < closest[i] (a NaN never lowers); total = total + closest[i]. At the
// end of every chunk of `chunk` samples (i + 1 a multiple of `chunk`, or
// i + 1 = n) ends[i / chunk] = total. Returns the total.
//
// Each sample's arithmetic is that of the separate passes (the distance,
// the strict comparison, then the sum in sample order), so every value is
// bit-identical to them; only the instruction order differs: the sum's
// dependent additions run beside the next samples' independent distances
// instead of after a whole block of them.
double fused_lower_and_sum(const SampleMatrix& x, const double* centre, std::size_t d, std::size_t begin,
                           std::size_t end, std::size_t n, std::size_t chunk, double* closest, double total,
                           double* ends);

}  // namespace corvalinth::kmeans
