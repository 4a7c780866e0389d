#pragma once
// Plain views handed from the filtered assignment to the filter kernel
// variants, and the entry points each variant's translation unit defines.
// Aggregates only, so no inline function is shared between code compiled for
// different instruction sets.
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/nearest_entry.hpp"

namespace corvalinth::kmeans::kernels {

// Centres as the filter sees them.
struct FilterCentres {
    const double* centred;  // k x dims, row-major: fl(c_j - mean_j)
    const double* norms;    // k computed squared norms of the centred rows
    const double* mean;     // dims
    std::size_t k;
    std::size_t dims;
};

// Centres as the float32 pre-filter sees them.
struct Filter32Centres {
    const float* centred;  // k x dims, row-major: fl32(fl(c_j - mean_j))
    const float* norms;    // k: fl32 of the double sum of the squares of the centred floats
    const double* mean;    // dims
    std::size_t k;
    std::size_t dims;
};

// Widest tile of any variant.
inline constexpr std::size_t kFilterTileMax = 32;

// What one tile of samples leaves behind, per sample t < count: best[t] and
// second[t] are the smallest and second smallest score (|c~|^2 - 2 x~.c~) over
// all centres (second over the centres other than one that gives best), index[t]
// a centre whose score is best[t], norm[t] the computed squared norm of the
// centred sample (NaN or +inf when a coordinate is). The float32 pre-filter
// leaves its float scores here converted to double (exactly), and the norm of
// the centred sample computed in double before the conversion to float.
struct FilterTileResult {
    double best[kFilterTileMax];
    double second[kFilterTileMax];
    double index[kFilterTileMax];
    double norm[kFilterTileMax];
};

// Preconditions (checked by the caller): k >= 1, dims >= 1, 1 <= count <=
// filter_tile_<isa>(), rows i0 .. i0 + count - 1 exist with >= dims
// coordinates, `pack` holds dims * filter_tile_<isa>() doubles.
#define CORVALINTH_DECLARE_FILTER_VARIANT(isa)                                                                    \
    std::size_t filter_tile_##isa();                                                                              \
    void filter_scores_##isa(const SampleView& x, std::size_t i0, std::size_t count, const FilterCentres& c,       \
                             double* pack, FilterTileResult& out);

CORVALINTH_DECLARE_FILTER_VARIANT(portable)
CORVALINTH_DECLARE_FILTER_VARIANT(avx2)
CORVALINTH_DECLARE_FILTER_VARIANT(avx512)

#undef CORVALINTH_DECLARE_FILTER_VARIANT

// The float32 pre-filter, same preconditions; `pack` holds dims *
// filter32_tile_<isa>() floats.
#define CORVALINTH_DECLARE_FILTER32_VARIANT(isa)                                                                  \
    std::size_t filter32_tile_##isa();                                                                            \
    void filter32_scores_##isa(const SampleView& x, std::size_t i0, std::size_t count, const Filter32Centres& c,   \
                               float* pack, FilterTileResult& out);

CORVALINTH_DECLARE_FILTER32_VARIANT(portable)
CORVALINTH_DECLARE_FILTER32_VARIANT(avx2)
CORVALINTH_DECLARE_FILTER32_VARIANT(avx512)

#undef CORVALINTH_DECLARE_FILTER32_VARIANT

}  // namespace corvalinth::kmeans::kernels
