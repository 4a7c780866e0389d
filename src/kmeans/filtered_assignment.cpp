// Filtered assignment: centre preparation, the certified margin, and the
// decision between the filter and the exact kernels for every sample.
#include "kmeans/filtered_assignment.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "kmeans/filter_margin_testing.hpp"
#include "kmeans/row_copy.hpp"
#include "runtime/float_mode.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

std::atomic<double> g_margin_scale{1.0};
std::atomic<double> g_margin32_relative{1.0};
std::atomic<double> g_margin32_absolute{1.0};
std::atomic<std::size_t> g_decided32{0};

// Least e with 2^e >= v (v >= 1).
int ceil_log2(std::size_t v) { return v <= 1 ? 0 : static_cast<int>(std::bit_width(v - 1)); }

// Every coordinate of a centre the filter takes lies in [-limit, limit], and
// every sample it decides has a centred squared norm of at most
// 16 * dims * limit^2, with limit = 2^e and dims * limit^2 <= 2^1016: then no
// score, norm, distance or margin can overflow (docs/exact-assignment.md,
// section 5).
double guard_limit(std::size_t dims) { return std::ldexp(1.0, (1016 - ceil_log2(dims)) / 2); }

// The float32 stage's guard: every centred centre coordinate it takes lies in
// [-limit, limit], and every sample it decides has a centred squared norm of
// at most 4 * dims * limit^2, with limit = 2^e and dims * limit^2 <= 2^116:
// then no float conversion, product, sum or score can overflow
// (docs/exact-assignment.md, section 9).
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

namespace testing {
void set_filter_margin_scale(double scale) { g_margin_scale.store(scale, std::memory_order_relaxed); }
double filter_margin_scale() { return g_margin_scale.load(std::memory_order_relaxed); }
void set_filter32_margin_scales(double relative, double absolute) {
    g_margin32_relative.store(relative, std::memory_order_relaxed);
    g_margin32_absolute.store(absolute, std::memory_order_relaxed);
}
double filter32_relative_scale() { return g_margin32_relative.load(std::memory_order_relaxed); }
double filter32_absolute_scale() { return g_margin32_absolute.load(std::memory_order_relaxed); }
std::size_t filter32_decided_total() { return g_decided32.load(std::memory_order_relaxed); }
}  // namespace testing

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

kernels::FilterCentres FilterPanel::view() const {
    return {centred_.data(), norms_.data(), mean_.data(), k_, dims_};
}

kernels::Filter32Centres FilterPanel::view32() const {
    return {centred32_.data(), norms32_.data(), mean_.data(), k_, dims_};
}

// E = fl(fl(relative * fl(sample_norm + norm_max)) + absolute); every rounding
// here is accounted for in the derivation (section 4).
double FilterPanel::margin(double sample_norm, double scale) const {
    const double s = sample_norm + norm_max_;
    const double e = relative_ * s + absolute_;
    return e * scale;
}

namespace {

// Section 10 of docs/exact-assignment.md: a lower bound on the true distance
// to every centre but the best, from a stage's second smallest score, its
// margin and the sample's computed norm. `norm_factor` keeps the norm below
// the one the stage's scores leave out and `absolute` exceeds every absolute
// error; every other factor leaves room for the rounding of its step.
double certified_lower_bound(double second, double margin, double sample_norm, double norm_factor,
                             double absolute, std::size_t dims) {
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
// in section 9; scales of 1 leave both coefficients exactly as they are.
double FilterPanel::margin32(double sample_norm, double relative_scale, double absolute_scale) const {
    const double s = sample_norm + norm_max_;
    return (relative32_ * relative_scale) * s + absolute32_ * absolute_scale;
}

bool filter32_pays(std::size_t k, std::size_t /*dims*/) {
    // Measured with bench_assign against the float64 filter alone (AVX-512
    // and AVX2): from 16 centres the float scores win at every width the
    // filter takes. Below 16
    // centres the float64 filter scores long rows in place (row form, no tile
    // copy); against that, the float tile measured 1.09x faster alone on
    // (60,000 x 784, k = 10) but 1.2x slower inside the fit's pass, where the
    // rows come from the cache in short ranges (bench_phases, one worker:
    // 70-73 ms against 83-87 ms).
    return k >= 16;
}

double* FilterScratch::doubles(std::size_t slot, std::size_t count) {
    if (slot > 1) throw InternalFailure("filter scratch slot out of range");
    if (double_counts_[slot] < count) {
        doubles_[slot].reset(new (std::nothrow) double[count]);
        double_counts_[slot] = doubles_[slot] ? count : 0;
    }
    return doubles_[slot].get();
}

float* FilterScratch::floats(std::size_t count) {
    if (float_count_ < count) {
        floats_.reset(new (std::nothrow) float[count]);
        float_count_ = floats_ ? count : 0;
    }
    return floats_.get();
}

bool filter_worthwhile(std::size_t n, std::size_t x_cols, std::size_t k, std::size_t dims) {
    // Few coordinates: the exact kernels keep whole tiles in registers and
    // are faster than the float64 filter; only the float32 stage beats them,
    // from 256 centres on rows of 2 to 7 coordinates (bench_assign, 2 workers,
    // exact against the float32 stage: (200000, 2, 1000) 17.6 against 13.9 ms,
    // (200000, 2, 256) 4.0 against 3.6, (200000, 4, 256) 7.0 against 4.6,
    // (100000, 2, 4096) 29.1 against 24.1; (200000, 2, 128) and
    // (200000, 4, 64) even; one coordinate 2.5x slower). The labeller drops
    // the filter on such rows when the float32 stage cannot serve. Few
    // centres on short rows: the exact pass is about as cheap as reading the
    // samples, and the filter's per-score work shows.
    if (dims < 2 || k < 3 || dims > kFilterMaxDims) return false;
    if (dims < kFilterMinDims && !(k >= 256 && filter32_pays(k, dims))) return false;
    if (k < 16 && dims < 128) return false;
    // Extra memory: the centred centres and norms, and one tile buffer per
    // thread (workers and the caller); with the float32 stage also the float
    // centres and norms, and per thread a float tile and a gathered tile of
    // the samples it leaves undecided. At most half the input.
    const std::size_t threads = runtime::pool_thread_count() + 1;
    const bool float32 = filter32_pays(k, dims) && dims <= kFilter32MaxDims;
    const double centre_copies = float32 ? 1.5 : 1.0;
    const double tiles = float32 ? 2.5 : 1.0;  // in doubles per coordinate, kFilterTileMax samples each
    const double extra = centre_copies * static_cast<double>(k) * static_cast<double>(dims + 1) +
                         static_cast<double>(dims) +
                         tiles * static_cast<double>(threads) * static_cast<double>(dims) * kernels::kFilterTileMax;
    return 2.0 * extra <= static_cast<double>(n) * static_cast<double>(x_cols);
}

namespace {

void check_filter_call(std::size_t tile, const SampleMatrix& x, std::size_t begin, std::size_t end,
                       const FilterPanel& filter, const CentrePanel& exact) {
    if (begin > end || end > x.n_rows) throw InternalFailure("nearest-centre range out of bounds");
    if (filter.dims() > x.n_cols || exact.dims() != filter.dims() || exact.k() != filter.k())
        throw InternalFailure("filter panel does not match the samples");
    if (tile == 0 || tile > kernels::kFilterTileMax) throw InternalFailure("filter tile width out of range");
}

// Whether the float64 scores of sample t prove that its best centre is the
// exact nearest one. A sample with a NaN, infinite or too large coordinate
// has a norm beyond the limit (or NaN) and is not decided. Otherwise a centre
// other than the best one has a score >= second; if that exceeds best + 2E,
// its exact distance exceeds the best centre's (section 3).
// A decided sample's lower bound goes to *lower when that is given.
bool decided_by_scores(const FilterPanel& filter, const kernels::FilterTileResult& r, std::size_t t, double scale,
                       double* lower) {
    if (!(r.norm[t] <= filter.sample_norm_limit())) return false;
    const double e = filter.margin(r.norm[t], scale);
    const double threshold = r.best[t] + (e + e);
    if (!(r.second[t] > threshold)) return false;
    if (lower != nullptr) *lower = filter.others_lower_bound(r.second[t], e, r.norm[t]);
    return true;
}

template <class Out>
Out label_of(double index) {
    return static_cast<Out>(static_cast<std::int64_t>(index));
}

// A tile buffer from the scratch when there is one, else one of the call's own.
template <class T>
T* tile_buffer(FilterScratch* scratch, std::size_t slot, std::size_t count, std::unique_ptr<T[]>& own) {
    if (scratch != nullptr) {
        if constexpr (std::is_same_v<T, float>)
            return scratch->floats(count);
        else
            return scratch->doubles(slot, count);
    }
    own.reset(new (std::nothrow) T[count]);
    return own.get();
}

template <class Out>
std::size_t filter_range(FilterScoresFn scores, std::size_t tile, NearestKernelVariant exact_variant,
                         const SampleMatrix& x, std::size_t begin, std::size_t end, const FilterPanel& filter,
                         const CentrePanel& exact, Out* out, double* lower = nullptr,
                         FilterScratch* scratch = nullptr) {
    check_filter_call(tile, x, begin, end, filter, exact);
    if (begin == end) return 0;
    const std::size_t dims = filter.dims();
    std::unique_ptr<double[]> own_pack;
    // The bound assumes gradual underflow: a thread that flushes subnormals
    // labels by the exact kernel alone.
    double* const pack = runtime::subnormals_flushed() ? nullptr : tile_buffer(scratch, 0, dims * tile, own_pack);
    if (pack == nullptr) {
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
        scores(view, i0, count, centres, pack, r);
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t i = i0 + t;
            if (decided_by_scores(filter, r, t, scale, lower != nullptr ? lower + (i - begin) : nullptr)) {
                out[i - begin] = label_of<Out>(r.index[t]);
                ++decided;
                continue;
            }
            nearest_centres_with(exact_variant, x, i, i + 1, exact, out + (i - begin));
            if (lower != nullptr) lower[i - begin] = 0.0;
        }
    }
    return decided;
}

// The float32 stage over tiles of the range; the samples it leaves undecided
// are gathered (copied row by row, exactly) and scored by the float64 filter
// a tile at a time, and what that leaves undecided goes to the exact kernel.
template <class Out>
std::size_t staged_range(const FilterStages& stages, NearestKernelVariant exact_variant, const SampleMatrix& x,
                         std::size_t begin, std::size_t end, const FilterPanel& filter, const CentrePanel& exact,
                         Out* out, std::size_t* decided32_out, double* lower = nullptr,
                         FilterScratch* scratch = nullptr) {
    if (decided32_out != nullptr) *decided32_out = 0;
    if (!filter.has_float32())
        return filter_range(stages.scores64, stages.tile64, exact_variant, x, begin, end, filter, exact, out, lower,
                            scratch);
    check_filter_call(stages.tile64, x, begin, end, filter, exact);
    if (stages.tile32 == 0 || stages.tile32 > kernels::kFilterTileMax)
        throw InternalFailure("filter tile width out of range");
    if (begin == end) return 0;
    if (runtime::subnormals_flushed())
        return filter_range(stages.scores64, stages.tile64, exact_variant, x, begin, end, filter, exact, out, lower);
    const std::size_t dims = filter.dims();
    const std::size_t tile64 = stages.tile64;
    std::unique_ptr<float[]> own_pack32;
    std::unique_ptr<double[]> own_gathered;
    std::unique_ptr<double[]> own_pack64;
    float* const pack32 = tile_buffer(scratch, 0, dims * stages.tile32, own_pack32);
    double* const gathered = tile_buffer(scratch, 1, dims * tile64, own_gathered);
    double* const pack64 = tile_buffer(scratch, 0, dims * tile64, own_pack64);
    if (pack32 == nullptr || gathered == nullptr || pack64 == nullptr) {
        own_pack32.reset();
        own_gathered.reset();
        own_pack64.reset();
        return filter_range(stages.scores64, tile64, exact_variant, x, begin, end, filter, exact, out, lower);
    }
    const kernels::Filter32Centres centres32 = filter.view32();
    const kernels::FilterCentres centres64 = filter.view();
    const kernels::SampleView view{x.data, x.row_stride, x.col_stride};
    const kernels::SampleView gathered_view{gathered, static_cast<std::ptrdiff_t>(dims), 1};
    const double scale = testing::filter_margin_scale();
    const double relative32 = testing::filter32_relative_scale();
    const double absolute32 = testing::filter32_absolute_scale();
    kernels::FilterTileResult r32;
    kernels::FilterTileResult r64;
    std::size_t pending[kernels::kFilterTileMax];
    std::size_t waiting = 0;
    std::size_t decided32 = 0;
    std::size_t decided64 = 0;
    auto flush = [&] {
        for (std::size_t q = 0; q < waiting; ++q) copy_sample_row(x, pending[q], gathered + q * dims, dims);
        stages.scores64(gathered_view, 0, waiting, centres64, pack64, r64);
        for (std::size_t q = 0; q < waiting; ++q) {
            const std::size_t i = pending[q];
            if (decided_by_scores(filter, r64, q, scale, lower != nullptr ? lower + (i - begin) : nullptr)) {
                out[i - begin] = label_of<Out>(r64.index[q]);
                ++decided64;
            } else {
                nearest_centres_with(exact_variant, x, i, i + 1, exact, out + (i - begin));
                if (lower != nullptr) lower[i - begin] = 0.0;
            }
        }
        waiting = 0;
    };
    for (std::size_t i0 = begin; i0 < end; i0 += stages.tile32) {
        const std::size_t count = end - i0 < stages.tile32 ? end - i0 : stages.tile32;
        stages.scores32(view, i0, count, centres32, pack32, r32);
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t i = i0 + t;
            // The norm guard keeps every float operation in range (and sends
            // NaN, infinite and huge samples on); then, as in section 3 with
            // the float32 margin of section 9, a second-best score above
            // best + 2 E32 proves the best centre is the exact nearest one.
            if (r32.norm[t] <= filter.sample_norm_limit32()) {
                const double e = filter.margin32(r32.norm[t], relative32, absolute32);
                const double threshold = r32.best[t] + (e + e);
                if (r32.second[t] > threshold) {
                    out[i - begin] = label_of<Out>(r32.index[t]);
                    if (lower != nullptr) lower[i - begin] = filter.others_lower_bound32(r32.second[t], e, r32.norm[t]);
                    ++decided32;
                    continue;
                }
            }
            pending[waiting++] = i;
            if (waiting == tile64) flush();
        }
    }
    if (waiting > 0) flush();
    g_decided32.fetch_add(decided32, std::memory_order_relaxed);
    if (decided32_out != nullptr) *decided32_out = decided32;
    return decided32 + decided64;
}

template <class Out>
std::size_t filter_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin, std::size_t end,
                        const FilterPanel& filter, const CentrePanel& exact, Out* out, double* lower = nullptr,
                        FilterScratch* scratch = nullptr) {
    if (!nearest_kernel_available(variant)) throw InternalFailure("nearest-centre kernel not available");
    return staged_range(filter_stages(variant), variant, x, begin, end, filter, exact, out, nullptr, lower, scratch);
}

}  // namespace

FilterStages filter_stages(NearestKernelVariant variant) {
    switch (variant) {
        case NearestKernelVariant::avx512:
            return {&kernels::filter32_scores_avx512, kernels::filter32_tile_avx512(), &kernels::filter_scores_avx512,
                    kernels::filter_tile_avx512()};
        case NearestKernelVariant::avx2:
            return {&kernels::filter32_scores_avx2, kernels::filter32_tile_avx2(), &kernels::filter_scores_avx2,
                    kernels::filter_tile_avx2()};
        case NearestKernelVariant::portable: break;
    }
    return {&kernels::filter32_scores_portable, kernels::filter32_tile_portable(), &kernels::filter_scores_portable,
            kernels::filter_tile_portable()};
}

std::size_t filtered_nearest_centres_staged(const FilterStages& stages, NearestKernelVariant exact_variant,
                                            const SampleMatrix& x, std::size_t begin, std::size_t end,
                                            const FilterPanel& filter, const CentrePanel& exact, std::uint64_t* out,
                                            std::size_t* decided32) {
    return staged_range(stages, exact_variant, x, begin, end, filter, exact, out, decided32);
}
std::size_t filtered_nearest_centres_staged(const FilterStages& stages, NearestKernelVariant exact_variant,
                                            const SampleMatrix& x, std::size_t begin, std::size_t end,
                                            const FilterPanel& filter, const CentrePanel& exact, std::int32_t* out,
                                            std::size_t* decided32) {
    return staged_range(stages, exact_variant, x, begin, end, filter, exact, out, decided32);
}

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
                                     double* lower, FilterScratch* scratch) {
    return filter_with(nearest_kernel_selected(), x, begin, end, filter, exact, out, lower, scratch);
}
std::size_t filtered_nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end,
                                     const FilterPanel& filter, const CentrePanel& exact, std::int32_t* out) {
    return filter_with(nearest_kernel_selected(), x, begin, end, filter, exact, out);
}

}  // namespace corvalinth::kmeans
