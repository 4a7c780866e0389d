// The filter's centre panel: centred centres, the certified margins and the lower bounds they leave.
#include "kmeans/assignment/filter_panel.hpp"

#include <bit>
#include <cmath>
#include <new>
#include <utility>
#include <vector>

#include "kmeans/assignment/filter_policy.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {
namespace {

// Least e with 2^e >= v (v >= 1).
int ceil_log2(std::size_t v) { return v <= 1 ? 0 : static_cast<int>(std::bit_width(v - 1)); }

// Every coordinate of a centre the filter takes lies in [-limit, limit], and
// every sample it decides has a centred squared norm of at most
// 16 * dims * limit^2, with limit = 2^e and dims * limit^2 <= 2^1016: then no
// score, norm, distance or margin can overflow (docs/proofs/filter.md,
// section 5).
double guard_limit(std::size_t dims) { return std::ldexp(1.0, (1016 - ceil_log2(dims)) / 2); }

// The float32 stage's guard: every centred centre coordinate it takes lies in
// [-limit, limit], and every sample it decides has a centred squared norm of
// at most 4 * dims * limit^2, with limit = 2^e and dims * limit^2 <= 2^116:
// then no float conversion, product, sum or score can overflow
// (docs/proofs/float32-stage.md, section 9.5).
double guard_limit32(std::size_t dims) { return std::ldexp(1.0, (116 - ceil_log2(dims)) / 2); }

bool float32_wanted(Float32Stage stage, std::size_t k, std::size_t dims) {
    switch (stage) {
        case Float32Stage::always: return true;
        case Float32Stage::never: return false;
        case Float32Stage::when_it_pays: break;
    }
    return filter32_pays(k, dims);
}

}  // namespace

std::optional<FilterPanel> FilterPanel::prepare(const CentreMatrix& centres, std::size_t dims, Float32Stage stage) {
    if (dims > centres.cols) throw InternalFailure("filter panel wider than the centres");
    const std::size_t k = centres.rows;
    if (k == 0 || dims == 0 || dims > kFilterMaxDims) return std::nullopt;
    const double limit = guard_limit(dims);
    for (std::size_t c = 0; c < k; ++c)
        for (std::size_t j = 0; j < dims; ++j)
            if (!(std::fabs(centres.row(c)[j]) <= limit)) return std::nullopt;
    try {
        FilterPanel p;
        p.k_ = k;
        p.dims_ = dims;
        p.sample_norm_limit_ = 16.0 * static_cast<double>(dims) * limit * limit;  // exact: 2^(2e + 4) * dims
        // The mean may be any vector of doubles: it only moves the origin of
        // the filter's arithmetic, and the bound covers its rounding.
        p.mean_.assign(dims, 0.0);
        for (std::size_t c = 0; c < k; ++c)
            for (std::size_t j = 0; j < dims; ++j) p.mean_[j] += centres.row(c)[j];
        for (std::size_t j = 0; j < dims; ++j) p.mean_[j] /= static_cast<double>(k);
        p.centred_.resize(k * dims);
        p.norms_.resize(k);
        for (std::size_t c = 0; c < k; ++c) {
            double norm = 0.0;
            for (std::size_t j = 0; j < dims; ++j) {
                const double v = centres.row(c)[j] - p.mean_[j];
                p.centred_[c * dims + j] = v;
                norm = norm + v * v;
            }
            p.norms_[c] = norm;
            p.norm_max_ = norm > p.norm_max_ ? norm : p.norm_max_;
        }
        // Both exact: small integers times powers of two (dims <= 2^16).
        p.relative_ = static_cast<double>(4 * dims + 20) * 0x1p-53;
        p.absolute_ = static_cast<double>(dims + 1) * 0x1p-1070;
        if (float32_wanted(stage, k, dims) && dims <= kFilter32MaxDims && k < (std::size_t{1} << 24))
            p.prepare_float32();
        return p;
    } catch (const std::bad_alloc&) {
        return std::nullopt;  // the filter is optional: the exact kernels run instead
    }
}

void FilterPanel::prepare_float32() {
    const double limit = guard_limit32(dims_);
    for (const double v : centred_)
        if (!(std::fabs(v) <= limit)) return;  // beyond the float guard: the float64 filter serves alone
    try {
        std::vector<float> centred(k_ * dims_);
        std::vector<float> norms(k_);
        for (std::size_t c = 0; c < k_; ++c) {
            // The squares of floats are exact doubles; their double sum is
            // rounded to float once.
            double norm = 0.0;
            for (std::size_t j = 0; j < dims_; ++j) {
                const float v = static_cast<float>(centred_[c * dims_ + j]);
                centred[c * dims_ + j] = v;
                norm = norm + static_cast<double>(v) * static_cast<double>(v);
            }
            norms[c] = static_cast<float>(norm);
        }
        // All exact: small integers and halves times powers of two (dims <= 2^12).
        const auto d = static_cast<double>(dims_);
        sample_norm_limit32_ = 4.0 * d * limit * limit;
        relative32_ = (d + d / 512.0 + 12.0) * 0x1p-24;
        absolute32_ = (4.0 * d + 8.0) * 0x1p-150;
        centred32_ = std::move(centred);
        norms32_ = std::move(norms);
    } catch (const std::bad_alloc&) {
        // The float32 stage is optional: the float64 filter serves alone.
    }
}

kernels::FilterCentres FilterPanel::view() const { return {centred_.data(), norms_.data(), mean_.data(), k_, dims_}; }

kernels::Filter32Centres FilterPanel::view32() const {
    return {centred32_.data(), norms32_.data(), mean_.data(), k_, dims_};
}

// E = fl(fl(relative * fl(sample_norm + norm_max)) + absolute); every rounding
// here is accounted for in the derivation (docs/proofs/filter.md, section 4).
double FilterPanel::margin(double sample_norm, double scale) const {
    const double s = sample_norm + norm_max_;
    const double e = relative_ * s + absolute_;
    return e * scale;
}

namespace {

// docs/proofs/carried-bounds.md, sections 10.2 and 10.2': a lower bound on the true distance
// to every centre but the best, from a stage's second smallest score, its
// margin and the sample's computed norm. `norm_factor` keeps the norm below
// the one the stage's scores leave out and `absolute` exceeds every absolute
// error; every other factor leaves room for the rounding of its step.
double certified_lower_bound(double second, double margin, double sample_norm, double norm_factor, double absolute,
                             std::size_t dims) {
    const double d = static_cast<double>(dims);
    const double q1 = second - (margin + margin);
    const double q2 = sample_norm * norm_factor;
    const double q = (q1 + q2) - absolute;
    const double low = q * (1.0 - (2.0 * d + 16.0) * 0x1p-53);
    if (!(low > 0x1p-900)) return 0.0;  // NaN included
    return std::sqrt(low) * (1.0 - 0x1p-50);
}

}  // namespace

double FilterPanel::others_lower_bound(double second, double margin, double sample_norm) const {
    const double d = static_cast<double>(dims_);
    return certified_lower_bound(second, margin, sample_norm, 1.0 - (2.0 * d + 8.0) * 0x1p-53, 0x1p-1000, dims_);
}

// The float32 stage's scores estimate the distances less the norm of the
// float sample, which the factor 1 - 2^-22 keeps below.
double FilterPanel::others_lower_bound32(double second, double margin, double sample_norm) const {
    return certified_lower_bound(second, margin, sample_norm, 1.0 - 0x1p-22, 0x1p-250, dims_);
}

// E32 = fl(fl(relative32 * fl(sample_norm + norm_max)) + absolute32), derived
// in docs/proofs/float32-stage.md, section 9.3; scales of 1 leave both coefficients exactly as they are.
double FilterPanel::margin32(double sample_norm, double relative_scale, double absolute_scale) const {
    const double s = sample_norm + norm_max_;
    return (relative32_ * relative_scale) * s + absolute32_ * absolute_scale;
}

}  // namespace corvalinth::kmeans
