// Panel construction, variant dispatch and the portable kernels.
#include "kmeans/nearest_kernels.hpp"

#include <limits>

#include "kmeans/distance.hpp"
#include "kmeans/nearest_kernel_panel.hpp"
#include "kmeans/nearest_kernel_variants.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {

CentrePanel::CentrePanel(const CentreMatrix& centres, std::size_t dims) : impl_(std::make_unique<Impl>()) {
    if (dims > centres.cols) throw InternalFailure("centre panel wider than the centres");
    if (centres.values.size() != centres.rows * centres.cols) throw InternalFailure("centre matrix size mismatch");
    Impl& p = *impl_;
    p.k = centres.rows;
    p.dims = dims;
    p.blocks = (p.k + kPanelLanes - 1) / kPanelLanes;
    p.panel = allocate_aligned_doubles(p.blocks * dims * kPanelLanes);
    p.rows = allocate_aligned_doubles(p.k * dims);
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
}

CentrePanel::~CentrePanel() = default;
CentrePanel::CentrePanel(CentrePanel&&) noexcept = default;
CentrePanel& CentrePanel::operator=(CentrePanel&&) noexcept = default;
std::size_t CentrePanel::k() const { return impl_->k; }
std::size_t CentrePanel::dims() const { return impl_->dims; }

namespace {

void check_range(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel) {
    if (begin > end || end > x.n_rows) throw InternalFailure("nearest-centre range out of bounds");
    if (panel.dims() > x.n_cols) throw InternalFailure("centre panel wider than the samples");
}

template <class Out>
void portable_nearest(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel::Impl& p,
                      Out* out) {
    for (std::size_t i = begin; i < end; ++i)
        out[i - begin] = static_cast<Out>(nearest_centre(x.row(i), x.col_stride, p.dims, p.rows.get(), p.k, p.dims));
}

void portable_distances(const SampleMatrix& x, const double* centre, std::size_t dims, double* out) {
    for (std::size_t i = 0; i < x.n_rows; ++i) out[i] = squared_distance(x.row(i), x.col_stride, dims, centre, dims);
}

template <class Out>
void nearest_dispatch(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin, std::size_t end,
                      const CentrePanel& panel, Out* out) {
    check_range(x, begin, end, panel);
    if (!nearest_kernel_available(variant)) throw InternalFailure("nearest-centre kernel not available");
    portable_nearest(x, begin, end, panel.impl(), out);
}

}  // namespace

bool nearest_kernel_available(NearestKernelVariant variant) {
    return variant == NearestKernelVariant::portable;
}

const char* nearest_kernel_name(NearestKernelVariant variant) {
    switch (variant) {
        case NearestKernelVariant::avx512: return "avx512";
        case NearestKernelVariant::avx2: return "avx2";
        case NearestKernelVariant::portable: return "portable";
    }
    return "portable";
}

NearestKernelVariant nearest_kernel_selected() { return NearestKernelVariant::portable; }

void nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin, std::size_t end,
                          const CentrePanel& panel, std::uint64_t* out) {
    nearest_dispatch(variant, x, begin, end, panel, out);
}
void nearest_centres_with(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin, std::size_t end,
                          const CentrePanel& panel, std::int32_t* out) {
    nearest_dispatch(variant, x, begin, end, panel, out);
}
void distances_to_centre_with(NearestKernelVariant variant, const SampleMatrix& x, const double* centre,
                              std::size_t dims, double* out) {
    if (dims > x.n_cols) throw InternalFailure("centre wider than the samples");
    if (!nearest_kernel_available(variant)) throw InternalFailure("nearest-centre kernel not available");
    portable_distances(x, centre, dims, out);
}

void nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel,
                     std::uint64_t* out) {
    nearest_centres_with(nearest_kernel_selected(), x, begin, end, panel, out);
}
void nearest_centres(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel,
                     std::int32_t* out) {
    nearest_centres_with(nearest_kernel_selected(), x, begin, end, panel, out);
}
void distances_to_centre(const SampleMatrix& x, const double* centre, std::size_t dims, double* out) {
    distances_to_centre_with(nearest_kernel_selected(), x, centre, dims, out);
}
const char* nearest_kernel_variant() { return nearest_kernel_name(nearest_kernel_selected()); }

}  // namespace corvalinth::kmeans
