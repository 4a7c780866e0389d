#pragma once
// Plain views handed to the kernels of every instruction set: the samples,
// the exact kernels' centre panel, the filters' centres and what a filter tile
// leaves behind. Aggregates without member functions, so code compiled for one
// instruction set never shares an inline function with code compiled for
// another.
#include <bit>
#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::kernels {

struct SampleView {
    const double* data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
};

// Centres per block of the exact kernels' panel (panel_layout.hpp).
inline constexpr std::size_t kPanelLanes = 8;

struct PanelView {
    const double* panel;  // blocks of kPanelLanes centres, see panel_layout.hpp
    const double* rows;  // dense row-major k x dims
    const double* splat;  // dims <= kSplatMaxDims only, see panel_layout.hpp
    std::size_t k;
    std::size_t dims;
    std::size_t blocks;
};

// Widest centre set given a splat table (kept small: it is 8 * (dims + 1)
// doubles per centre).
inline constexpr std::size_t kSplatMaxDims = 4;

// Centres as the filter sees them.
struct FilterCentres {
    const double* centred;  // k x dims, row-major: fl(c_j - mean_j)
    const double* norms;  // k computed squared norms of the centred rows
    const double* mean;  // dims
    std::size_t k;
    std::size_t dims;
};

// Centres as the float32 pre-filter sees them.
struct Filter32Centres {
    const float* centred;  // k x dims, row-major: fl32(fl(c_j - mean_j))
    const float* norms;  // k: fl32 of the double sum of the squares of the centred floats
    const double* mean;  // dims
    std::size_t k;
    std::size_t dims;
};

// Below this many centres, rows with adjacent coordinates and at least this
// many of them are scored in place by both filters (their row forms) instead
// of through a transposed tile: with few centres the copy costs as much as
// the products, and with short rows the per-score lane sums do.
inline constexpr std::size_t kRowScoreMaxCentres = 16;
inline constexpr std::size_t kRowScoreMinDims = 128;

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

// Widest rows the keep test's vector kernel takes.
inline constexpr std::size_t kKeepMaxDims = 7;

// Centres as the keep test of rows of up to kKeepMaxDims features sees them:
// coordinate j of centre c at coords[j * cap + c], the carried bound's move
// for a sample labelled c at except[c] (cap >= 16 entries each; those from k
// on are 0), and the test's constants, given by its caller.
struct KeepCentres {
    const double* coords;
    const double* except;
    std::size_t k;
    std::size_t cap;
    std::size_t dims;
    double rest_floor;  // a moved bound not above this is 0
    double shrink;  // a moved bound above it is scaled by this
    double low, high;  // a bound keeps a label only strictly between these
    double reach;  // the bound's square, scaled by this, must exceed the distance
};

// The constants of the seeding's float32 lower bound for rows of d features
// (seeding/float32_bound.hpp, float32_margin).
struct SeedingMargin {
    double scale_down;  // K = 1 - (2d + 4) 2^-24
    double absolute;  // A = d 2^-148
    double radius_scale;  // 1
    double square_down;  // K2 = 1 - (d + 8) 2^-52
    double floor;  // F2 = 2^-1000
};

// The centre update's sums held in registers (generic/register_sums.hpp):
// at most this many values, a cluster's w features in a pitch of the next
// power of two, which must not pass the lanes of a register.
inline constexpr std::size_t kRegisterSumsSlots = 16;

// The centre update's sums with the current cluster's row carried in a
// register (generic/carried_sums.hpp): the bytes of the clusters' cells and
// the decoy, which live on the stack (a worker's stack may be as small as the
// thread library allows), and calls of fewer than this many samples (the
// counts are sums of ones in doubles).
inline constexpr std::size_t kCarriedSumsCellBytes = 8192;
inline constexpr std::size_t kCarriedSumsMaxSamples = std::size_t{1} << 53;

namespace {

constexpr std::size_t register_sums_pitch(std::size_t w) { return std::bit_ceil(w); }

// Whether k clusters of rows of w features fit the carried sums of a kernel
// of `lanes` lanes (0: a table without the kernel): the w sums and the count
// in one vector.
constexpr bool carried_sums_fits(std::size_t lanes, std::size_t w, std::size_t k) {
    return lanes != 0 && w >= 1 && w < lanes && k >= 1 && k < kCarriedSumsCellBytes / (sizeof(double) * lanes);
}

// Whether k clusters of rows of w features fit the registers of a kernel of
// `lanes` lanes (0: a table without the kernel).
constexpr bool register_sums_fits(std::size_t lanes, std::size_t w, std::size_t k) {
    return lanes != 0 && w >= 1 && k >= 1 && register_sums_pitch(w) <= lanes &&
           k <= kRegisterSumsSlots / register_sums_pitch(w);
}

// The vectors the sums in registers add to at every sample, for k clusters of
// rows of w features (the sums' and, when counted, the counts').
constexpr std::size_t register_sums_vectors(std::size_t lanes, std::size_t w, std::size_t k, bool counted) {
    return (k * register_sums_pitch(w) + lanes - 1) / lanes + (counted ? (k + lanes - 1) / lanes : 0);
}

}  // namespace

}  // namespace corvalinth::kmeans::kernels
