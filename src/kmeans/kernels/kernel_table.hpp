#pragma once
// One table of kernel entry points per instruction set. Every kernel is
// written once over vector traits (generic/) and instantiated by the
// translation unit of each instruction set (isa_*.cpp), which defines that
// set's table; callers look a table up by Isa, or take the selected one.
// Adding an instruction set: traits in traits/, a translation unit that
// instantiates the generic kernels and defines its table, a value of Isa.
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/isa.hpp"
#include "kmeans/kernels/views.hpp"

namespace corvalinth::kmeans::kernels {

// Preconditions of every entry (checked by its callers): k >= 1, dims >= 1,
// the rows read exist and have at least dims coordinates.
//
// out[i - begin] = index of the nearest centre of the panel to row i, for i
// in [begin, end).
using NearestFn64 = void (*)(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p,
                             std::uint64_t* out);
using NearestFn32 = void (*)(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p,
                             std::int32_t* out);
// The same, and second[i - begin] = the smallest distance from row i to a
// centre other than (one instance of) its label, NaN distances left out,
// +inf when there is none (docs/proofs/carried-bounds.md, section 10.2'').
using NearestSecondFn = void (*)(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p,
                                 std::uint64_t* out, double* second);
// out[i] = squared distance of row i to `centre` over `dims` coordinates, for i < n.
using DistancesFn = void (*)(const SampleView& x, std::size_t n, const double* centre, std::size_t dims, double* out);
// out[p] = squared distance of row base + pick[p] to `centre` over `dims`
// coordinates, for p < m.
using ListedDistancesFn = void (*)(const SampleView& x, std::size_t base, const std::uint32_t* pick, std::size_t m,
                                   const double* centre, std::size_t dims, double* out);
// out[i - begin] = squared distance of row i to row labels[i - begin] of
// `centres` (k rows, `cstride` doubles apart), for i in [begin, end); every
// label is below k.
using AssignedDistancesFn = void (*)(const SampleView& x, std::size_t begin, std::size_t end,
                                     const std::uint64_t* labels, const double* centres, std::size_t cstride,
                                     std::size_t dims, double* out);
// The float64 filter's scores of rows [i0, i0 + count), 1 <= count <= the
// table's filter_tile; `pack` holds dims * filter_tile doubles.
using FilterScoresFn = void (*)(const SampleView& x, std::size_t i0, std::size_t count, const FilterCentres& c,
                                double* pack, FilterTileResult& out);
// The float32 stage's scores, the same with float32_tile; `pack` holds
// dims * float32_tile floats.
using Filter32ScoresFn = void (*)(const SampleView& x, std::size_t i0, std::size_t count, const Filter32Centres& c,
                                  float* pack, FilterTileResult& out);

// Rows per panel of the seeding's bfloat16 copy of the samples.
inline constexpr std::size_t kSeedingPanelRows = 32;

// The seeding's float32 distances of `count` panels of the bfloat16 copy
// (generic/seeding32.hpp, each value a float's upper 16 bits) to a float
// centre: out[p * 32 + r] for row r of panel p.
using Seeding32Fn = void (*)(const std::uint16_t* panels, std::size_t count, std::size_t dims, const float* centre,
                             float* out);
// The first pass over the kSeedingPanelRows rows of x from i0
// (generic/seeding32.hpp): their exact distances to `centre` into dist, and
// the rows less `offset` rounded to bfloat16, laid out feature by feature
// into panel, with their radii: what squared_distance and round_to_bfloat16
// give. With `ahead` not 0, the lines that many values further on are
// fetched while the rows are read.
using SeedingCopyPanelFn = void (*)(const SampleView& x, std::size_t i0, const double* centre, const double* offset,
                                    std::size_t dims, double limit, std::ptrdiff_t ahead, double* dist,
                                    std::uint16_t* panel, double* radius);
// The rows whose float bound does not rule them out (generic/seeding32.hpp):
// count a multiple of kSeedingPanelRows; returns how many are listed in pick
// (room for count entries; those past the listed ones may be written).
using SeedingPickFn = std::size_t (*)(const float* approx, const double* radius, const double* entries,
                                      std::size_t count, double centre_radius, const SeedingMargin& m,
                                      std::uint32_t* pick);

// The keep test of rows of up to kSplatMaxDims features (generic/keep.hpp):
// for the whole vectors of samples of [begin, end), own[i - begin] and lower[i]
// are row i's distance to centre labels[i] and its moved bound, and the rows
// whose label is not kept are appended to todo at m; returns where the rest
// starts (fewer than a vector, or the first vector with a label of k or more).
// With `sum`, each of those distances is added to *sum in sample order.
using KeepFn = std::size_t (*)(const SampleView& x, std::size_t begin, std::size_t end, const std::uint64_t* labels,
                               const KeepCentres& c, double* lower, double* own, std::size_t* todo, std::size_t& m,
                               double* sum);

// The same keep test where each sample's distance to centre labels[i] is
// given in own[i - begin] (rows of any width; c.coords not read).
using KeepGivenFn = std::size_t (*)(std::size_t begin, std::size_t end, const std::uint64_t* labels,
                                    const KeepCentres& c, double* lower, const double* own, std::size_t* todo,
                                    std::size_t& m);

// The centre update's sums of rows [begin, end) (features 0 .. w - 1 of
// each, adjacent) into sums[c * w + j] and counts[c] (when set) for c =
// labels[i], in sample order, held in registers; returns how many samples
// were added (all, or up to the first label of k or more).
// register_sums_fits(register_sums_lanes, w, k) must hold.
using RegisterSumsFn = std::size_t (*)(const SampleView& x, std::size_t begin, std::size_t end, std::size_t w,
                                       const std::uint64_t* labels, std::size_t k, double* sums, std::uint64_t* counts);

// The same sums with the current cluster's row carried in a register from one
// sample to the next (generic/carried_sums.hpp), of the samples whose label
// lies in [c_lo, c_hi) alone (the other clusters' sums and counts are neither
// read nor written); returns how many samples were scanned (all, or up to the first
// label of k or more). carried_sums_fits(carried_sums_lanes, w, k) must hold.
using CarriedSumsFn = std::size_t (*)(const SampleView& x, std::size_t begin, std::size_t end, std::size_t w,
                                      const std::uint64_t* labels, std::size_t k, std::size_t c_lo, std::size_t c_hi,
                                      double* sums, std::uint64_t* counts);

// The centre update's sums of rows of adjacent features, a vector of features
// at a time (generic/row_sums.hpp): rows [begin, end) in order, each whose
// label c lies in [c_lo, c_hi) and (with `only`) is flagged there adding its
// features 0 .. w - 1 into sums[c * stride + j] and 1 into counts[c] (when
// set); returns how many rows were scanned (all, or up to the first label of
// k or more).
using RowSumsFn = std::size_t (*)(const SampleView& x, std::size_t begin, std::size_t end, std::size_t w,
                                  const std::uint64_t* labels, std::size_t k, std::size_t c_lo, std::size_t c_hi,
                                  const std::uint8_t* only, double* sums, std::size_t stride, std::uint64_t* counts);

struct KernelTable {
    NearestFn64 nearest64;
    NearestFn32 nearest32;
    NearestSecondFn nearest_second;
    DistancesFn distances;
    ListedDistancesFn listed_distances;
    AssignedDistancesFn assigned_distances;
    FilterScoresFn filter_scores;
    std::size_t filter_tile;
    Filter32ScoresFn filter32_scores;
    std::size_t filter32_tile;
    Seeding32Fn seeding32;
    SeedingCopyPanelFn seeding_copy_panel;
    SeedingPickFn seeding_pick;
    KeepFn keep;
    KeepGivenFn keep_given;
    RegisterSumsFn register_sums;  // null where the table has none
    std::size_t register_sums_lanes;  // 0 where the table has none
    CarriedSumsFn carried_sums;  // null where the table has none
    std::size_t carried_sums_lanes;  // 0 where the table has none
    RowSumsFn row_sums;
};

// The table of one set of kernel instantiations: Exact (nearest, nearest with second, distances, listed distances,
// assigned distances), Filter64 and Filter32 (scores, tile width T), Seeding32 (the seeding's float distances),
// SeedingBound (its first pass over a panel and the rows its bound leaves open), Keep (the keep test, distances
// measured or given), RegisterSums (the update's sums in registers; its entry null and lanes 0 where there is none),
// CarriedSums (the update's sums with the current cluster's row carried in a register; likewise), RowSums (the update's sums of rows a vector of features at a time).
template <class Exact, class Filter64, class Filter32, class Seeding32, class SeedingBound, class Keep,
          class RegisterSums, class CarriedSums, class RowSums>
constexpr KernelTable make_kernel_table() {
    return {&Exact::template nearest<std::uint64_t>,
            &Exact::template nearest<std::int32_t>,
            &Exact::nearest_second,
            &Exact::distances,
            &Exact::listed_distances,
            &Exact::assigned_distances,
            &Filter64::scores,
            Filter64::T,
            &Filter32::scores,
            Filter32::T,
            &Seeding32::distances,
            &SeedingBound::copy_panel,
            &SeedingBound::pick,
            &Keep::run,
            &Keep::given,
            RegisterSums::entry,
            RegisterSums::lanes,
            CarriedSums::entry,
            CarriedSums::lanes,
            &RowSums::run};
}

// Defined by isa_portable.cpp, isa_avx2.cpp and isa_avx512.cpp.
extern const KernelTable kPortableKernels;
extern const KernelTable kAvx2Kernels;
extern const KernelTable kAvx512Kernels;

// The table of `isa`; InternalFailure when this processor cannot run it.
const KernelTable& kernel_table(Isa isa);
// The table of isa_selected().
const KernelTable& selected_kernels();

}  // namespace corvalinth::kmeans::kernels
