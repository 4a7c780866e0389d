#pragma once
// When the certified filter, and its float32 stage, label a pass: enough work
// per sample for them to pay, and their buffers within the memory budget. The
// thresholds were measured with bench_assign and bench_phases; docs/tuning.md
// has the figures.
#include <cstddef>

namespace corvalinth::kmeans {

// Rows narrower than this take the filter only with its float32 stage.
inline constexpr std::size_t kFilterMinDims = 8;

// With fewer than 16 centres, rows narrower than this keep the exact kernels
// (the float32 stage in front of the filter from this width on).
inline constexpr std::size_t kFewCentresMinDims = 16;

// Widest rows the filter takes, and the float32 stage.
inline constexpr std::size_t kFilterMaxDims = 1u << 16;
inline constexpr std::size_t kFilter32MaxDims = 1u << 12;

// Whether the float32 stage pays for k centres over dims coordinates.
bool filter32_pays(std::size_t k, std::size_t dims);

// Whether a pass of n samples (x_cols coordinates each) against k centres
// over dims coordinates should use the filter: enough work per sample for it
// to pay, and its buffers within half the input's size.
bool filter_worthwhile(std::size_t n, std::size_t x_cols, std::size_t k, std::size_t dims);

}  // namespace corvalinth::kmeans
