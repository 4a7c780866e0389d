// Panel construction, variant dispatch and the portable kernels.
#include "kmeans/nearest_kernels.hpp"

#include <bit>
#include <cstdint>
#include <limits>

#include "kmeans/kernels/nearest_entry.hpp"
#include "kmeans/kernels/nearest_panel.hpp"
#include "kmeans/kernels/vector_scalar.hpp"
#include "kmeans/kernels/nearest_simd.hpp"
#include "kmeans/kernels/nearest_variants.hpp"
#include "runtime/cpu_features.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {
namespace kernels {
namespace {

using PortableKernels = Kernels<Scalar, 1, 4, 2, 4>;

}  // namespace
}  // namespace kernels
}  // namespace corvalinth::kmeans

CORVALINTH_DEFINE_NEAREST_VARIANT(portable, PortableKernels)

namespace corvalinth::kmeans {

CentrePanel::CentrePanel(const CentreMatrix& centres, std::size_t dims) : impl_(std::make_unique<Impl>()) {
    static_assert(kPanelLanes == kernels::kLanesPerBlock);
    if (dims > centres.cols) throw InternalFailure("centre panel wider than the centres");
    std::size_t size = 0;
    if (__builtin_mul_overflow(centres.rows, centres.cols, &size) || centres.values.size() != size)
        throw InternalFailure("centre matrix size mismatch");
    Impl& p = *impl_;
    p.k = centres.rows;
    p.dims = dims;
    p.blocks = (p.k + kPanelLanes - 1) / kPanelLanes;
    p.panel = allocate_aligned_doubles(p.blocks, dims, kPanelLanes);
    p.rows = allocate_aligned_doubles(p.k, dims);
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
    if (dims <= kernels::kSplatMaxDims) {
        p.splat = allocate_aligned_doubles(p.k, dims + 1, kPanelLanes);
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

namespace {

bool cpu_has_avx2() { return runtime::cpu_features().avx2; }
bool cpu_has_avx512() { return runtime::cpu_features().avx512; }

kernels::SampleView sample_view(const SampleMatrix& x) { return {x.data, x.row_stride, x.col_stride}; }

template <class Out>
void nearest_dispatch(NearestKernelVariant variant, const SampleMatrix& x, std::size_t begin, std::size_t end,
                      const CentrePanel& panel, Out* out) {
    if (begin > end || end > x.n_rows) throw InternalFailure("nearest-centre range out of bounds");
    if (panel.dims() > x.n_cols) throw InternalFailure("centre panel wider than the samples");
    if (!nearest_kernel_available(variant)) throw InternalFailure("nearest-centre kernel not available");
    const CentrePanel::Impl& p = panel.impl();
    if (begin == end) return;
    if (p.k == 0 || p.dims == 0) {
        // Every distance is -0.0 (or there is no centre): the first centre wins.
        for (std::size_t i = begin; i < end; ++i) out[i - begin] = 0;
        return;
    }
    const kernels::PanelView view{p.panel.get(), p.rows.get(), p.splat.get(), p.k, p.dims, p.blocks};
    switch (variant) {
        case NearestKernelVariant::avx512:
            kernels::nearest_avx512(sample_view(x), begin, end, view, out);
            return;
        case NearestKernelVariant::avx2:
            kernels::nearest_avx2(sample_view(x), begin, end, view, out);
            return;
        case NearestKernelVariant::portable:
            kernels::nearest_portable(sample_view(x), begin, end, view, out);
            return;
    }
}

NearestKernelVariant choose_variant() {
    if (cpu_has_avx512()) return NearestKernelVariant::avx512;
    if (cpu_has_avx2()) return NearestKernelVariant::avx2;
    return NearestKernelVariant::portable;
}

}  // namespace

bool nearest_kernel_available(NearestKernelVariant variant) {
    switch (variant) {
        case NearestKernelVariant::avx512: return cpu_has_avx512();
        case NearestKernelVariant::avx2: return cpu_has_avx2();
        case NearestKernelVariant::portable: return true;
    }
    return false;
}

const char* nearest_kernel_name(NearestKernelVariant variant) {
    switch (variant) {
        case NearestKernelVariant::avx512: return "avx512";
        case NearestKernelVariant::avx2: return "avx2";
        case NearestKernelVariant::portable: return "portable";
    }
    return "unknown";
}

NearestKernelVariant nearest_kernel_selected() {
    static const NearestKernelVariant chosen = choose_variant();
    return chosen;
}

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
    switch (variant) {
        case NearestKernelVariant::avx512:
            kernels::distances_avx512(sample_view(x), x.n_rows, centre, dims, out);
            return;
        case NearestKernelVariant::avx2:
            kernels::distances_avx2(sample_view(x), x.n_rows, centre, dims, out);
            return;
        case NearestKernelVariant::portable:
            kernels::distances_portable(sample_view(x), x.n_rows, centre, dims, out);
            return;
    }
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
