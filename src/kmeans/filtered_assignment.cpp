// Filtered assignment: centre preparation, the certified margin, and the
// decision between the filter and the exact kernels for every sample.
#include "kmeans/filtered_assignment.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <memory>
#include <new>

#include "kmeans/filter_margin_testing.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

std::atomic<double> g_margin_scale{1.0};

// Least e with 2^e >= v (v >= 1).
int ceil_log2(std::size_t v) { return v <= 1 ? 0 : static_cast<int>(std::bit_width(v - 1)); }

// Every coordinate of a centre the filter takes lies in [-limit, limit], and
// every sample it decides has a centred squared norm of at most
// 16 * dims * limit^2, with limit = 2^e and dims * limit^2 <= 2^1016: then no
// score, norm, distance or margin can overflow (docs/exact-assignment.md,
// section 5).
double guard_limit(std::size_t dims) { return std::ldexp(1.0, (1016 - ceil_log2(dims)) / 2); }

}  // namespace

namespace testing {
void set_filter_margin_scale(double scale) { g_margin_scale.store(scale, std::memory_order_relaxed); }
double filter_margin_scale() { return g_margin_scale.load(std::memory_order_relaxed); }
}  // namespace testing

std::optional<FilterPanel> FilterPanel::prepare(const CentreMatrix& centres, std::size_t dims) {
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
        return p;
    } catch (const std::bad_alloc&) {
        return std::nullopt;  // the filter is optional: the exact kernels run instead
    }
}

kernels::FilterCentres FilterPanel::view() const {
    return {centred_.data(), norms_.data(), mean_.data(), k_, dims_};
}

// E = fl(fl(relative * fl(sample_norm + norm_max)) + absolute); every rounding
// here is accounted for in the derivation (section 4).
double FilterPanel::margin(double sample_norm, double scale) const {
    const double s = sample_norm + norm_max_;
    const double e = relative_ * s + absolute_;
    return e * scale;
}

// Section 9 of docs/exact-assignment.md: every factor below leaves room for
// the rounding of the step it sits in.
double FilterPanel::others_lower_bound(double second, double margin, double sample_norm) const {
    const double d = static_cast<double>(dims_);
    const double q1 = second - (margin + margin);
    const double q2 = sample_norm * (1.0 - (2.0 * d + 8.0) * 0x1p-53);
    const double q = (q1 + q2) - 0x1p-1000;
    const double low = q * (1.0 - (2.0 * d + 16.0) * 0x1p-53);
    if (!(low > 0x1p-900)) return 0.0;  // NaN included
    return std::sqrt(low) * (1.0 - 0x1p-50);
}

bool filter_worthwhile(std::size_t n, std::size_t x_cols, std::size_t k, std::size_t dims) {
    // Few coordinates: the exact kernels keep whole tiles in registers and
    // are faster. Few centres on short rows: the exact pass is about as cheap
    // as reading the samples, and the filter's per-score work shows (measured
    // with bench_assign).
    if (dims < 8 || k < 3 || dims > kFilterMaxDims) return false;
    if (k < 16 && dims < 128) return false;
    // Extra memory: the centred centres and norms, and one tile buffer per
    // thread (workers and the caller), at most half the input.
    const std::size_t threads = runtime::pool_thread_count() + 1;
    const double extra = static_cast<double>(k) * static_cast<double>(dims + 1) + static_cast<double>(dims) +
                         static_cast<double>(threads) * static_cast<double>(dims) * kernels::kFilterTileMax;
    return 2.0 * extra <= static_cast<double>(n) * static_cast<double>(x_cols);
}

namespace {

template <class Out>
std::size_t filter_range(FilterScoresFn scores, std::size_t tile, NearestKernelVariant exact_variant,
                         const SampleMatrix& x, std::size_t begin, std::size_t end, const FilterPanel& filter,
                         const CentrePanel& exact, Out* out, double* lower = nullptr) {
    if (begin > end || end > x.n_rows) throw InternalFailure("nearest-centre range out of bounds");
    if (filter.dims() > x.n_cols || exact.dims() != filter.dims() || exact.k() != filter.k())
        throw InternalFailure("filter panel does not match the samples");
    if (tile == 0 || tile > kernels::kFilterTileMax) throw InternalFailure("filter tile width out of range");
    if (begin == end) return 0;
    const std::size_t dims = filter.dims();
    std::unique_ptr<double[]> pack(new (std::nothrow) double[dims * tile]);
    if (!pack) {
        nearest_centres_with(exact_variant, x, begin, end, exact, out);
        if (lower != nullptr) std::fill(lower, lower + (end - begin), 0.0);
        return 0;
    }
    const kernels::FilterCentres centres = filter.view();
    const kernels::SampleView view{x.data, x.row_stride, x.col_stride};
    const double scale = testing::filter_margin_scale();
    kernels::FilterTileResult r;
    std::size_t decided = 0;
    for (std::size_t i0 = begin; i0 < end; i0 += tile) {
        const std::size_t count = end - i0 < tile ? end - i0 : tile;
        scores(view, i0, count, centres, pack.get(), r);
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t i = i0 + t;
            // A sample with a NaN, infinite or too large coordinate has a norm
            // beyond the limit (or NaN) and goes to the exact kernel.
            if (r.norm[t] <= filter.sample_norm_limit()) {
                // A centre other than the best one has a score >= second; if
                // that exceeds best + 2E, its exact distance exceeds the best
                // centre's (section 3), so the best centre is the exact nearest one.
                const double e = filter.margin(r.norm[t], scale);
                const double threshold = r.best[t] + (e + e);
                if (r.second[t] > threshold) {
                    out[i - begin] = static_cast<Out>(static_cast<std::int64_t>(r.index[t]));
                    if (lower != nullptr) lower[i - begin] = filter.others_lower_bound(r.second[t], e, r.norm[t]);
                    ++decided;
                    continue;
                }
            }
            nearest_centres_with(exact_variant, x, i, i + 1, exact, out + (i - begin));
            if (lower != nullptr) lower[i - begin] = 0.0;
        }
    }
    return decided;
}

struct FilterVariant {
    FilterScoresFn scores;
    std::size_t tile;
};

FilterVariant filter_variant(NearestKernelVariant variant) {
    switch (variant) {
        case NearestKernelVariant::avx512: return {&kernels::filter_scores_avx512, kernels::filter_tile_avx512()};
        case NearestKernelVariant::avx2: return {&kernels::filter_scores_avx2, kernels::filter_tile_avx2()};
        case NearestKernelVariant::portable: break;
    }
    return {&kernels::filter_scores_portable, kernels::filter_tile_portable()};
}

template <class Out>
std::size_t filter_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin, std::size_t end,
                        const FilterPanel& filter, const CentrePanel& exact, Out* out, double* lower = nullptr) {
    if (!nearest_kernel_available(variant)) throw InternalFailure("nearest-centre kernel not available");
    const FilterVariant f = filter_variant(variant);
    return filter_range(f.scores, f.tile, variant, x, begin, end, filter, exact, out, lower);
}

}  // namespace

std::size_t filtered_nearest_centres_by(FilterScoresFn scores, std::size_t tile, NearestKernelVariant exact_variant,
                                        const SampleMatrix& x, std::size_t begin, std::size_t end,
                                        const FilterPanel& filter, const CentrePanel& exact, std::uint64_t* out) {
    return filter_range(scores, tile, exact_variant, x, begin, end, filter, exact, out);
}
std::size_t filtered_nearest_centres_by(FilterScoresFn scores, std::size_t tile, NearestKernelVariant exact_variant,
                                        const SampleMatrix& x, std::size_t begin, std::size_t end,
                                        const FilterPanel& filter, const CentrePanel& exact, std::int32_t* out) {
    return filter_range(scores, tile, exact_variant, x, begin, end, filter, exact, out);
}
std::size_t filtered_nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin,
                                          std::size_t end, const FilterPanel& filter, const CentrePanel& exact,
                                          std::uint64_t* out) {
    return filter_with(variant, x, begin, end, filter, exact, out);
}
std::size_t filtered_nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin,
                                          std::size_t end, const FilterPanel& filter, const CentrePanel& exact,
                                          std::int32_t* out) {
    return filter_with(variant, x, begin, end, filter, exact, out);
}
std::size_t filtered_nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end,
                                     const FilterPanel& filter, const CentrePanel& exact, std::uint64_t* out,
                                     double* lower) {
    return filter_with(nearest_kernel_selected(), x, begin, end, filter, exact, out, lower);
}
std::size_t filtered_nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end,
                                     const FilterPanel& filter, const CentrePanel& exact, std::int32_t* out) {
    return filter_with(nearest_kernel_selected(), x, begin, end, filter, exact, out);
}

}  // namespace corvalinth::kmeans
