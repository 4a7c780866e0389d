#pragma once
// Exact nearest-centre labels at the speed of a dot-product kernel. A cheap
// score (the expanded form of the squared distance on centred data) is
// computed for every centre; a centre whose score lies further above the best
// score than the certified error bound cannot be the exact nearest centre. A
// sample whose best centre is alone inside the bound takes it; any other
// sample (near ties, exact ties, NaN, infinite or huge coordinates) is decided
// by the exact kernels. The labels are therefore exactly those of
// nearest_centre. Derivation of the bound: docs/exact-assignment.md.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kmeans/kernels/filter_entry.hpp"
#include "kmeans/model.hpp"
#include "kmeans/kernels/nearest_variants.hpp"
#include "kmeans/nearest_kernels.hpp"
#include "kmeans/sample_matrix.hpp"

namespace corvalinth::kmeans {

// The centres prepared for the filter: centred (less the mean of the centres),
// their squared norms, the margin's coefficients and the sample guard.
class FilterPanel {
public:
    // Uses the first `dims` coordinates of every centre (dims <= centres.cols).
    // Empty when the filter cannot serve these centres: k == 0, dims == 0 or
    // wider than kFilterMaxDims, a centre coordinate NaN, infinite or beyond
    // the guard, or no memory for the copy.
    static std::optional<FilterPanel> prepare(const CentreMatrix& centres, std::size_t dims);

    kernels::FilterCentres view() const;
    std::size_t k() const { return k_; }
    std::size_t dims() const { return dims_; }
    // Samples whose computed centred squared norm is not at most this (NaN
    // included) are left to the exact kernel.
    double sample_norm_limit() const { return sample_norm_limit_; }
    // Certified bound on |score - exact distance| for every centre, for a
    // sample whose centred squared norm was computed as `sample_norm`; the
    // run-time margin scale (1 except in fault-injection tests) multiplies it.
    double margin(double sample_norm, double scale) const;
    // For a sample the filter decided (best centre b): a number at most the
    // true Euclidean distance from the sample to every centre other than b,
    // from the second smallest score, the margin and the sample's computed
    // norm; 0 when nothing useful can be certified.
    double others_lower_bound(double second, double margin, double sample_norm) const;

private:
    FilterPanel() = default;
    std::size_t k_ = 0;
    std::size_t dims_ = 0;
    double sample_norm_limit_ = 0.0;
    double norm_max_ = 0.0;
    double relative_ = 0.0;  // (4 * dims + 20) * 2^-53
    double absolute_ = 0.0;  // (dims + 1) * 2^-1070
    std::vector<double> centred_;
    std::vector<double> norms_;
    std::vector<double> mean_;
};

// Widest rows the filter takes.
inline constexpr std::size_t kFilterMaxDims = 1u << 16;

// Whether a pass of n samples (x_cols coordinates each) against k centres
// over dims coordinates should use the filter: enough work per sample for it
// to pay, and its buffers within half the input's size.
bool filter_worthwhile(std::size_t n, std::size_t x_cols, std::size_t k, std::size_t dims);

// A tile function of one filter variant.
using FilterScoresFn = void (*)(const kernels::SampleView& x, std::size_t i0, std::size_t count,
                                const kernels::FilterCentres& c, double* pack, kernels::FilterTileResult& out);

// out[i - begin] = nearest_centre of row i, for i in [begin, end): scores from
// `scores` (tiles of `tile` samples), undecided samples by the exact kernel
// `exact_variant` over `exact` (built over the same centres and dims). Returns
// how many samples the filter decided alone. When the tile buffer cannot be
// allocated the exact kernel labels the whole range.
std::size_t filtered_nearest_centres_by(FilterScoresFn scores, std::size_t tile, NearestKernelVariant exact_variant,
                                        const SampleMatrix& x, std::size_t begin, std::size_t end,
                                        const FilterPanel& filter, const CentrePanel& exact, std::uint64_t* out);
std::size_t filtered_nearest_centres_by(FilterScoresFn scores, std::size_t tile, NearestKernelVariant exact_variant,
                                        const SampleMatrix& x, std::size_t begin, std::size_t end,
                                        const FilterPanel& filter, const CentrePanel& exact, std::int32_t* out);

// The same with one library variant for both the filter and the exact kernel.
std::size_t filtered_nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin,
                                          std::size_t end, const FilterPanel& filter, const CentrePanel& exact,
                                          std::uint64_t* out);
std::size_t filtered_nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin,
                                          std::size_t end, const FilterPanel& filter, const CentrePanel& exact,
                                          std::int32_t* out);

// With the variant chosen for this processor.
// With `lower` given, lower[i - begin] receives others_lower_bound for the
// samples the filter decided, 0 for the others.
std::size_t filtered_nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end,
                                     const FilterPanel& filter, const CentrePanel& exact, std::uint64_t* out,
                                     double* lower = nullptr);
std::size_t filtered_nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end,
                                     const FilterPanel& filter, const CentrePanel& exact, std::int32_t* out);

}  // namespace corvalinth::kmeans
