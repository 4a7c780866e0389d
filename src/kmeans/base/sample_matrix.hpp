#pragma once
// Read-only strided view of n_rows x n_cols float64 values owned elsewhere.
// Element (i, j) lies at data + i*row_stride + j*col_stride elements; strides
// may be negative, zero or non-unit. The engine never writes through it.
#include <cstddef>

namespace corvalinth::kmeans {

struct SampleMatrix {
    const double* data = nullptr;
    std::size_t n_rows = 0;
    std::size_t n_cols = 0;
    std::ptrdiff_t row_stride = 0;
    std::ptrdiff_t col_stride = 0;

    const double& at(std::size_t i, std::size_t j) const {
        return data[static_cast<std::ptrdiff_t>(i) * row_stride + static_cast<std::ptrdiff_t>(j) * col_stride];
    }
    const double* row(std::size_t i) const { return data + static_cast<std::ptrdiff_t>(i) * row_stride; }
};

}  // namespace corvalinth::kmeans
