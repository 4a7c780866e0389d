#pragma once
// Exact nearest-centre labels at the speed of a dot-product kernel. A cheap
// score (the expanded form of the squared distance on centred data) is
// computed for every centre; a centre whose score lies further above the best
// score than the certified error bound cannot be the exact nearest centre. A
// sample whose best centre is alone inside the bound takes it; any other
// sample (near ties, exact ties, NaN, infinite or huge coordinates) is decided
// by the exact kernels. The labels are therefore exactly those of
// nearest_centre. Where many centres make the scores the bulk of the work, a
// float32 stage with its own certified bound runs first (twice the lanes per
// instruction) and hands the samples it cannot decide to the float64 filter.
// Derivation of the bounds: docs/exact-assignment.md.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "kmeans/kernels/filter_entry.hpp"
#include "kmeans/model.hpp"
#include "kmeans/kernels/nearest_variants.hpp"
#include "kmeans/nearest_kernels.hpp"
#include "kmeans/sample_matrix.hpp"

namespace corvalinth::kmeans {

// Whether a panel gets the float32 stage: when it pays for this many centres
// and coordinates (filter32_pays), always (tests), or never.
enum class Float32Stage { when_it_pays, always, never };

// The centres prepared for the filter: centred (less the mean of the centres),
// their squared norms, the margin's coefficients and the sample guard; and,
// for the float32 stage, the centred centres rounded to float and their norms.
class FilterPanel {
public:
    // Uses the first `dims` coordinates of every centre (dims <= centres.cols).
    // Empty when the filter cannot serve these centres: k == 0, dims == 0 or
    // wider than kFilterMaxDims, a centre coordinate NaN, infinite or beyond
    // the guard, or no memory for the copy. The float32 stage is left out
    // (has_float32() false) when not asked for, when dims > kFilter32MaxDims or
    // k >= 2^24, when a centred coordinate is beyond its guard, or when its
    // copy cannot be allocated.
    static std::optional<FilterPanel> prepare(const CentreMatrix& centres, std::size_t dims,
                                              Float32Stage stage = Float32Stage::when_it_pays);

    kernels::FilterCentres view() const;
    bool has_float32() const { return !centred32_.empty(); }
    kernels::Filter32Centres view32() const;
    // Samples whose centred squared norm (computed in double) is not at most
    // this are left by the float32 stage to the float64 filter.
    double sample_norm_limit32() const { return sample_norm_limit32_; }
    // Certified bound on |float32 score - exact distance| (less a term common
    // to all centres); the run-time scales (1 except in fault-injection tests)
    // multiply its relative and absolute parts.
    double margin32(double sample_norm, double relative_scale, double absolute_scale) const;
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
    // The same from the float32 stage's second smallest score and margin.
    double others_lower_bound32(double second, double margin, double sample_norm) const;

private:
    FilterPanel() = default;
    void prepare_float32();
    std::size_t k_ = 0;
    std::size_t dims_ = 0;
    double sample_norm_limit_ = 0.0;
    double norm_max_ = 0.0;
    double relative_ = 0.0;  // (4 * dims + 20) * 2^-53
    double absolute_ = 0.0;  // (dims + 1) * 2^-1070
    std::vector<double> centred_;
    std::vector<double> norms_;
    std::vector<double> mean_;
    double sample_norm_limit32_ = 0.0;
    double relative32_ = 0.0;  // (dims + dims / 512 + 12) * 2^-24
    double absolute32_ = 0.0;  // (4 * dims + 8) * 2^-150
    std::vector<float> centred32_;
    std::vector<float> norms32_;
};

// Tile buffers of the filter for one thread, kept from one call to the next,
// so that a pass cut into many short ranges allocates them once (freed with
// the scratch). Every buffer is optional: a call that cannot have one falls
// back as it would without scratch.
class FilterScratch {
public:
    // A buffer of at least `count` doubles (slot 0 or 1) or floats; null when
    // it cannot be allocated.
    double* doubles(std::size_t slot, std::size_t count);
    float* floats(std::size_t count);

private:
    std::unique_ptr<double[]> doubles_[2];
    std::size_t double_counts_[2] = {0, 0};
    std::unique_ptr<float[]> floats_;
    std::size_t float_count_ = 0;
};

// Rows narrower than this take the filter only with its float32 stage.
inline constexpr std::size_t kFilterMinDims = 8;

// Widest rows the filter takes, and the float32 stage.
inline constexpr std::size_t kFilterMaxDims = 1u << 16;
inline constexpr std::size_t kFilter32MaxDims = 1u << 12;

// Whether the float32 stage pays for k centres over dims coordinates
// (measured with bench_assign).
bool filter32_pays(std::size_t k, std::size_t dims);

// Whether a pass of n samples (x_cols coordinates each) against k centres
// over dims coordinates should use the filter: enough work per sample for it
// to pay, and its buffers within half the input's size.
bool filter_worthwhile(std::size_t n, std::size_t x_cols, std::size_t k, std::size_t dims);

// A tile function of one filter variant.
using FilterScoresFn = void (*)(const kernels::SampleView& x, std::size_t i0, std::size_t count,
                                const kernels::FilterCentres& c, double* pack, kernels::FilterTileResult& out);

// A tile function of one float32 pre-filter variant.
using Filter32ScoresFn = void (*)(const kernels::SampleView& x, std::size_t i0, std::size_t count,
                                  const kernels::Filter32Centres& c, float* pack, kernels::FilterTileResult& out);

// The filter kernels of one variant: the float32 stage and the float64 filter.
struct FilterStages {
    Filter32ScoresFn scores32;
    std::size_t tile32;
    FilterScoresFn scores64;
    std::size_t tile64;
};
FilterStages filter_stages(NearestKernelVariant variant);

// out[i - begin] = nearest_centre of row i, for i in [begin, end): float32
// scores first when the panel has them (tiles of stages.tile32 samples); the
// samples they leave undecided are gathered, tile64 at a time, for the
// float64 scores; what those leave undecided goes to the exact kernel
// `exact_variant`. Returns how many samples the filters decided alone, and
// stores in *decided32 (when given) how many of them the float32 stage did.
// When a buffer cannot be allocated the float64 filter alone (or the exact
// kernel) labels the range.
std::size_t filtered_nearest_centres_staged(const FilterStages& stages, NearestKernelVariant exact_variant,
                                            const SampleMatrix& x, std::size_t begin, std::size_t end,
                                            const FilterPanel& filter, const CentrePanel& exact, std::uint64_t* out,
                                            std::size_t* decided32 = nullptr);
std::size_t filtered_nearest_centres_staged(const FilterStages& stages, NearestKernelVariant exact_variant,
                                            const SampleMatrix& x, std::size_t begin, std::size_t end,
                                            const FilterPanel& filter, const CentrePanel& exact, std::int32_t* out,
                                            std::size_t* decided32 = nullptr);

// The float64 filter alone: out[i - begin] = nearest_centre of row i, for i
// in [begin, end): scores from `scores` (tiles of `tile` samples), undecided
// samples by the exact kernel `exact_variant` over `exact` (built over the
// same centres and dims). Returns how many samples the filter decided alone.
// When the tile buffer cannot be allocated the exact kernel labels the whole
// range.
std::size_t filtered_nearest_centres_by(FilterScoresFn scores, std::size_t tile, NearestKernelVariant exact_variant,
                                        const SampleMatrix& x, std::size_t begin, std::size_t end,
                                        const FilterPanel& filter, const CentrePanel& exact, std::uint64_t* out);
std::size_t filtered_nearest_centres_by(FilterScoresFn scores, std::size_t tile, NearestKernelVariant exact_variant,
                                        const SampleMatrix& x, std::size_t begin, std::size_t end,
                                        const FilterPanel& filter, const CentrePanel& exact, std::int32_t* out);

// The same with one library variant for both filter stages and the exact kernel.
std::size_t filtered_nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin,
                                          std::size_t end, const FilterPanel& filter, const CentrePanel& exact,
                                          std::uint64_t* out);
std::size_t filtered_nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin,
                                          std::size_t end, const FilterPanel& filter, const CentrePanel& exact,
                                          std::int32_t* out);

// With the variant chosen for this processor.
// With `lower` given, lower[i - begin] receives others_lower_bound for the
// samples the filter decided, 0 for the others.
// With `scratch`, the tile buffers come from it.
std::size_t filtered_nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end,
                                     const FilterPanel& filter, const CentrePanel& exact, std::uint64_t* out,
                                     double* lower = nullptr, FilterScratch* scratch = nullptr);
std::size_t filtered_nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end,
                                     const FilterPanel& filter, const CentrePanel& exact, std::int32_t* out);

}  // namespace corvalinth::kmeans
