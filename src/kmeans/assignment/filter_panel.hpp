#pragma once
// The centres prepared for the certified filter: centred on their mean, their
// squared norms, the coefficients of the filter's certified margin and its
// range guards, and the lower bounds a decided sample carries; the same for
// the float32 stage. Derivation of every bound: docs/proofs/ (filter.md,
// float32-stage.md, carried-bounds.md).
#include <cstddef>
#include <optional>
#include <vector>

#include "kmeans/base/model.hpp"
#include "kmeans/kernels/views.hpp"

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

}  // namespace corvalinth::kmeans
