#pragma once
// Plain views handed from the dispatcher to the kernel variants, and the entry
// points each variant's translation unit defines. The views are aggregates
// without member functions, so code compiled for one instruction set never
// shares an inline function with code compiled for another.
#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::kernels {

struct SampleView {
    const double* data;
    std::ptrdiff_t row_stride;
    std::ptrdiff_t col_stride;
};

struct PanelView {
    const double* panel;  // blocks of kPanelLanes centres, see nearest_panel.hpp
    const double* rows;   // dense row-major k x dims
    const double* splat;  // dims <= kSplatMaxDims only, see nearest_panel.hpp
    std::size_t k;
    std::size_t dims;
    std::size_t blocks;
};

// Widest centre set given a splat table (kept small: it is 8 * (dims + 1)
// doubles per centre).
inline constexpr std::size_t kSplatMaxDims = 4;

// Preconditions (checked by the dispatcher): k >= 1, dims >= 1, rows
// [begin, end) exist and have at least dims coordinates.
#define CORVALINTH_DECLARE_NEAREST_VARIANT(isa)                                                                    \
    void nearest_##isa(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p,                  \
                       std::uint64_t* out);                                                                        \
    void nearest_##isa(const SampleView& x, std::size_t begin, std::size_t end, const PanelView& p,                  \
                       std::int32_t* out);                                                                         \
    void distances_##isa(const SampleView& x, std::size_t n, const double* centre, std::size_t dims,               \
                         double* out);

CORVALINTH_DECLARE_NEAREST_VARIANT(portable)
CORVALINTH_DECLARE_NEAREST_VARIANT(avx2)
CORVALINTH_DECLARE_NEAREST_VARIANT(avx512)

#undef CORVALINTH_DECLARE_NEAREST_VARIANT

}  // namespace corvalinth::kmeans::kernels
