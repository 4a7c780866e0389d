// The filtered labelling of a range: float32 stage, float64 filter, and the exact kernel for what they leave.
#include "kmeans/assignment/filtered_labels.hpp"

#include <algorithm>
#include <memory>
#include <new>
#include <type_traits>

#include "kmeans/base/row_copy.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/cpu/float_mode.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {
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
// its exact distance exceeds the best centre's (docs/proofs/filter.md, section 3).
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
std::size_t filter_range(const kernels::KernelTable& table, const SampleMatrix& x, std::size_t begin, std::size_t end,
                         const FilterPanel& filter, const CentrePanel& exact, Out* out, double* lower = nullptr,
                         FilterScratch* scratch = nullptr) {
    const std::size_t tile = table.filter_tile;
    check_filter_call(tile, x, begin, end, filter, exact);
    if (begin == end) return 0;
    const std::size_t dims = filter.dims();
    std::unique_ptr<double[]> own_pack;
    // The bound assumes gradual underflow: a thread that flushes subnormals
    // labels by the exact kernel alone.
    double* const pack = runtime::subnormals_flushed() ? nullptr : tile_buffer(scratch, 0, dims * tile, own_pack);
    if (pack == nullptr) {
        nearest_centres(x, begin, end, exact, out, table);
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
        table.filter_scores(view, i0, count, centres, pack, r);
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t i = i0 + t;
            if (decided_by_scores(filter, r, t, scale, lower != nullptr ? lower + (i - begin) : nullptr)) {
                out[i - begin] = label_of<Out>(r.index[t]);
                ++decided;
                continue;
            }
            nearest_centres(x, i, i + 1, exact, out + (i - begin), table);
            if (lower != nullptr) lower[i - begin] = 0.0;
        }
    }
    return decided;
}

// The float32 stage over tiles of the range; the samples it leaves undecided
// are gathered (copied row by row, exactly) and scored by the float64 filter
// a tile at a time, and what that leaves undecided goes to the exact kernel.
template <class Out>
std::size_t staged_range(const kernels::KernelTable& table, const SampleMatrix& x, std::size_t begin, std::size_t end,
                         const FilterPanel& filter, const CentrePanel& exact, Out* out, std::size_t* decided32_out,
                         double* lower, FilterScratch* scratch) {
    if (decided32_out != nullptr) *decided32_out = 0;
    if (!filter.has_float32()) return filter_range(table, x, begin, end, filter, exact, out, lower, scratch);
    const std::size_t tile32 = table.filter32_tile;
    const std::size_t tile64 = table.filter_tile;
    check_filter_call(tile64, x, begin, end, filter, exact);
    if (tile32 == 0 || tile32 > kernels::kFilterTileMax) throw InternalFailure("filter tile width out of range");
    if (begin == end) return 0;
    if (runtime::subnormals_flushed()) return filter_range(table, x, begin, end, filter, exact, out, lower);
    const std::size_t dims = filter.dims();
    std::unique_ptr<float[]> own_pack32;
    std::unique_ptr<double[]> own_gathered;
    std::unique_ptr<double[]> own_pack64;
    float* const pack32 = tile_buffer(scratch, 0, dims * tile32, own_pack32);
    double* const gathered = tile_buffer(scratch, 1, dims * tile64, own_gathered);
    double* const pack64 = tile_buffer(scratch, 0, dims * tile64, own_pack64);
    if (pack32 == nullptr || gathered == nullptr || pack64 == nullptr) {
        own_pack32.reset();
        own_gathered.reset();
        own_pack64.reset();
        return filter_range(table, x, begin, end, filter, exact, out, lower);
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
        table.filter_scores(gathered_view, 0, waiting, centres64, pack64, r64);
        for (std::size_t q = 0; q < waiting; ++q) {
            const std::size_t i = pending[q];
            if (decided_by_scores(filter, r64, q, scale, lower != nullptr ? lower + (i - begin) : nullptr)) {
                out[i - begin] = label_of<Out>(r64.index[q]);
                ++decided64;
            } else {
                nearest_centres(x, i, i + 1, exact, out + (i - begin), table);
                if (lower != nullptr) lower[i - begin] = 0.0;
            }
        }
        waiting = 0;
    };
    for (std::size_t i0 = begin; i0 < end; i0 += tile32) {
        const std::size_t count = end - i0 < tile32 ? end - i0 : tile32;
        table.filter32_scores(view, i0, count, centres32, pack32, r32);
        for (std::size_t t = 0; t < count; ++t) {
            const std::size_t i = i0 + t;
            // The norm guard keeps every float operation in range (and sends
            // NaN, infinite and huge samples on); then, as in docs/proofs/filter.md,
            // section 3, with the float32 margin of docs/proofs/float32-stage.md, section 9, a second-best score above
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
    testing::count_filter32_decided(decided32);
    if (decided32_out != nullptr) *decided32_out = decided32;
    return decided32 + decided64;
}

}  // namespace

template <class Label>
std::size_t filtered_nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end,
                                     const FilterPanel& filter, const CentrePanel& exact, Label* out,
                                     const FilterOutputs& outputs, const kernels::KernelTable& table) {
    return staged_range(table, x, begin, end, filter, exact, out, outputs.decided32, outputs.lower, outputs.scratch);
}

template std::size_t filtered_nearest_centres(const SampleMatrix&, std::size_t, std::size_t, const FilterPanel&,
                                              const CentrePanel&, std::uint64_t*, const FilterOutputs&,
                                              const kernels::KernelTable&);
template std::size_t filtered_nearest_centres(const SampleMatrix&, std::size_t, std::size_t, const FilterPanel&,
                                              const CentrePanel&, std::int32_t*, const FilterOutputs&,
                                              const kernels::KernelTable&);

}  // namespace corvalinth::kmeans
