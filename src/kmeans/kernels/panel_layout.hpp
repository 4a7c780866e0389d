#pragma once
// Layout of a prepared centre set (CentrePanel::Impl), shared by the kernel
// variants.
//
// Centres are grouped in blocks of kPanelLanes. Block b holds, for every
// coordinate j < dims, the j-th coordinates of centres b*kPanelLanes ...
// b*kPanelLanes + kPanelLanes - 1 side by side (one lane per centre):
//   panel[(b * dims + j) * kPanelLanes + lane].
// Lanes past the last centre hold NaN, so their distances are NaN and never
// win (for dims >= 1; with dims == 0 every label is 0 and no kernel runs).
// `rows` keeps the same centres as a dense row-major k x dims matrix. For
// dims <= kSplatMaxDims, `splat` repeats every value over kPanelLanes lanes
// so kernels load whole vectors: centre c owns dims + 1 groups of lanes, its
// coordinates and then its index as a double (exact below 2^53):
//   splat[((c * (dims + 1)) + j) * kPanelLanes + lane].
#include <cstddef>
#include <memory>
#include <new>

#include "kmeans/kernels/exact_kernels.hpp"

namespace corvalinth::kmeans {

inline constexpr std::size_t kPanelAlign = 64;

struct AlignedDoubleDelete {
    void operator()(double* p) const noexcept { ::operator delete[](p, std::align_val_t(kPanelAlign)); }
};
using AlignedDoubles = std::unique_ptr<double[], AlignedDoubleDelete>;

// The number of doubles a * b * c (at least 1, so that every buffer has an
// address); std::bad_alloc when the size overflows.
inline std::size_t aligned_double_count(std::size_t a, std::size_t b = 1, std::size_t c = 1) {
    std::size_t count = 0;
    if (__builtin_mul_overflow(a, b, &count) || __builtin_mul_overflow(count, c, &count) ||
        count > static_cast<std::size_t>(-1) / sizeof(double))
        throw std::bad_alloc();
    return count == 0 ? 1 : count;
}

// Storage for `count` doubles (from aligned_double_count).
inline AlignedDoubles allocate_aligned_doubles(std::size_t count) {
    return AlignedDoubles(
        static_cast<double*>(::operator new[](count * sizeof(double), std::align_val_t(kPanelAlign))));
}

struct CentrePanel::Impl {
    std::size_t k = 0;
    std::size_t dims = 0;
    std::size_t blocks = 0;  // ceil(k / kernels::kPanelLanes)
    AlignedDoubles panel;  // blocks * dims * kernels::kPanelLanes
    AlignedDoubles rows;  // k * dims
    AlignedDoubles splat;  // k * (dims + 1) * kernels::kPanelLanes, or unused (dims > kSplatMaxDims)
    // Doubles each buffer holds: a panel prepared again keeps the buffers
    // that are large enough.
    std::size_t panel_held = 0;
    std::size_t rows_held = 0;
    std::size_t splat_held = 0;
    bool has_splat = false;  // dims <= kSplatMaxDims

    const double* block(std::size_t b) const { return panel.get() + b * dims * kernels::kPanelLanes; }
    const double* row(std::size_t c) const { return rows.get() + c * dims; }
};

}  // namespace corvalinth::kmeans
