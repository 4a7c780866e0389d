#pragma once
// Exact copy of one sample row into a dense centre row.
#include <cstddef>

#include "kmeans/base/sample_matrix.hpp"

namespace corvalinth::kmeans {

// out[j] = x(i, j) for the first `count` coordinates (count <= x.n_cols).
inline void copy_sample_row(const SampleMatrix& x, std::size_t i, double* out, std::size_t count) {
    const double* row = x.row(i);
    if (x.col_stride == 1) {
        for (std::size_t j = 0; j < count; ++j) out[j] = row[j];
    } else {
        for (std::size_t j = 0; j < count; ++j) out[j] = row[static_cast<std::ptrdiff_t>(j) * x.col_stride];
    }
}

}  // namespace corvalinth::kmeans
