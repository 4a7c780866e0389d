// The centre panel's construction and the checked entry to the exact kernels.
#include "kmeans/kernels/exact_kernels.hpp"

#include <limits>
#include <utility>

#include "kmeans/base/engine_error.hpp"
#include "kmeans/kernels/panel_layout.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {

using kernels::kPanelLanes;

CentrePanel::CentrePanel() : impl_(std::make_unique<Impl>()) {}

CentrePanel::CentrePanel(const CentreMatrix& centres, std::size_t dims) : CentrePanel() { prepare(centres, dims); }

void CentrePanel::prepare(const CentreMatrix& centres, std::size_t dims) {
    if (dims > centres.cols) throw InternalFailure("centre panel wider than the centres");
    std::size_t size = 0;
    if (__builtin_mul_overflow(centres.rows, centres.cols, &size) || centres.values.size() != size)
        throw InternalFailure("centre matrix size mismatch");
    Impl& p = *impl_;
    const std::size_t k = centres.rows;
    const std::size_t blocks = (k + kPanelLanes - 1) / kPanelLanes;
    const bool splat = dims <= kernels::kSplatMaxDims;
    const std::size_t panel_count = aligned_double_count(blocks, dims, kPanelLanes);
    const std::size_t rows_count = aligned_double_count(k, dims);
    const std::size_t splat_count = splat ? aligned_double_count(k, dims + 1, kPanelLanes) : 0;
    // Every allocation first: when one fails the panel stays as it was.
    AlignedDoubles new_panel = panel_count > p.panel_held ? allocate_aligned_doubles(panel_count) : nullptr;
    AlignedDoubles new_rows = rows_count > p.rows_held ? allocate_aligned_doubles(rows_count) : nullptr;
    AlignedDoubles new_splat = splat_count > p.splat_held ? allocate_aligned_doubles(splat_count) : nullptr;
    if (new_panel) p.panel = std::move(new_panel), p.panel_held = panel_count;
    if (new_rows) p.rows = std::move(new_rows), p.rows_held = rows_count;
    if (new_splat) p.splat = std::move(new_splat), p.splat_held = splat_count;
    p.k = k;
    p.dims = dims;
    p.blocks = blocks;
    p.has_splat = splat;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t b = 0; b < p.blocks; ++b) {
        double* blk = p.panel.get() + b * dims * kPanelLanes;
        for (std::size_t lane = 0; lane < kPanelLanes; ++lane) {
            const std::size_t c = b * kPanelLanes + lane;
            for (std::size_t j = 0; j < dims; ++j) blk[j * kPanelLanes + lane] = c < p.k ? centres.row(c)[j] : nan;
        }
    }
    for (std::size_t c = 0; c < p.k; ++c)
        for (std::size_t j = 0; j < dims; ++j) p.rows[c * dims + j] = centres.row(c)[j];
    if (splat) {
        double* out = p.splat.get();
        for (std::size_t c = 0; c < p.k; ++c)
            for (std::size_t j = 0; j <= dims; ++j)
                for (std::size_t lane = 0; lane < kPanelLanes; ++lane)
                    *out++ = j < dims ? centres.row(c)[j] : static_cast<double>(c);
    }
}

CentrePanel::~CentrePanel() = default;
CentrePanel::CentrePanel(CentrePanel&&) noexcept = default;
CentrePanel& CentrePanel::operator=(CentrePanel&&) noexcept = default;
std::size_t CentrePanel::k() const { return impl_->k; }
std::size_t CentrePanel::dims() const { return impl_->dims; }
kernels::PanelView CentrePanel::view() const {
    const Impl& p = *impl_;
    return {p.panel.get(), p.rows.get(), p.has_splat ? p.splat.get() : nullptr, p.k, p.dims, p.blocks};
}

namespace {

kernels::SampleView sample_view(const SampleMatrix& x) { return {x.data, x.row_stride, x.col_stride}; }

void call(const kernels::KernelTable& table, const kernels::SampleView& x, std::size_t begin, std::size_t end,
          const kernels::PanelView& p, std::uint64_t* out) {
    table.nearest64(x, begin, end, p, out);
}
void call(const kernels::KernelTable& table, const kernels::SampleView& x, std::size_t begin, std::size_t end,
          const kernels::PanelView& p, std::int32_t* out) {
    table.nearest32(x, begin, end, p, out);
}

}  // namespace

template <class Label>
void nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel, Label* out,
                     const kernels::KernelTable& table) {
    if (begin > end || end > x.n_rows) throw InternalFailure("nearest-centre range out of bounds");
    if (panel.dims() > x.n_cols) throw InternalFailure("centre panel wider than the samples");
    if (begin == end) return;
    if (panel.k() == 0 || panel.dims() == 0) {
        // Every distance is -0.0 (or there is no centre): the first centre wins.
        for (std::size_t i = begin; i < end; ++i) out[i - begin] = 0;
        return;
    }
    call(table, sample_view(x), begin, end, panel.view(), out);
}

template void nearest_centres(const SampleMatrix&, std::size_t, std::size_t, const CentrePanel&, std::uint64_t*,
                              const kernels::KernelTable&);
template void nearest_centres(const SampleMatrix&, std::size_t, std::size_t, const CentrePanel&, std::int32_t*,
                              const kernels::KernelTable&);

void nearest_centres_with_second(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel,
                                 std::uint64_t* out, double* second, const kernels::KernelTable& table) {
    if (begin > end || end > x.n_rows) throw InternalFailure("nearest-centre range out of bounds");
    if (panel.dims() > x.n_cols) throw InternalFailure("centre panel wider than the samples");
    if (begin == end) return;
    if (panel.k() == 0 || panel.dims() == 0) {
        // Every distance is -0.0 (or there is no centre): the first centre
        // wins, and the second smallest is -0.0 too when there is another.
        const double rest = panel.k() > 1 ? -0.0 : std::numeric_limits<double>::infinity();
        for (std::size_t i = begin; i < end; ++i) {
            out[i - begin] = 0;
            second[i - begin] = rest;
        }
        return;
    }
    table.nearest_second(sample_view(x), begin, end, panel.view(), out, second);
}

void distances_to_centre(const SampleMatrix& x, const double* centre, std::size_t dims, double* out,
                         const kernels::KernelTable& table) {
    if (dims > x.n_cols) throw InternalFailure("centre wider than the samples");
    table.distances(sample_view(x), x.n_rows, centre, dims, out);
}

void listed_distances(const SampleMatrix& x, std::size_t base, const std::uint32_t* pick, std::size_t m,
                      const double* centre, std::size_t dims, double* out, const kernels::KernelTable& table) {
    if (dims > x.n_cols) throw InternalFailure("centre wider than the samples");
    if (base > x.n_rows) throw InternalFailure("listed row out of bounds");
    for (std::size_t p = 0; p < m; ++p)
        if (pick[p] >= x.n_rows - base) throw InternalFailure("listed row out of bounds");
    if (m == 0) return;
    table.listed_distances(sample_view(x), base, pick, m, centre, dims, out);
}

void assigned_distances(const SampleMatrix& x, std::size_t begin, std::size_t end, const std::uint64_t* labels,
                        const CentreMatrix& centres, std::size_t dims, double* out, const kernels::KernelTable& table) {
    if (begin > end || end > x.n_rows) throw InternalFailure("distance range out of bounds");
    if (dims > x.n_cols || dims > centres.cols) throw InternalFailure("distances wider than the rows");
    const std::size_t k = centres.rows;
    for (std::size_t i = begin; i < end; ++i)
        if (labels[i - begin] >= k) label_out_of_range();
    if (begin == end) return;
    table.assigned_distances(sample_view(x), begin, end, labels, centres.values.data(), centres.cols, dims, out);
}

}  // namespace corvalinth::kmeans
