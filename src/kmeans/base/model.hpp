#pragma once
// The k-means estimator record: parameters fixed at construction, fitted state
// replaced all-or-nothing by a successful fit.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kmeans/base/buffers.hpp"

namespace corvalinth::kmeans {

// Dense row-major k x d matrix; row c is centre c.
struct CentreMatrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> values;  // rows * cols

    const double* row(std::size_t c) const { return values.data() + c * cols; }
    double* row(std::size_t c) { return values.data() + c * cols; }
};

// A k x d centre matrix of +0.0. std::bad_alloc when k * d overflows.
inline CentreMatrix zero_centres(std::size_t k, std::size_t d) {
    CentreMatrix out;
    out.rows = k;
    out.cols = d;
    out.values = make_buffer<double>(checked_product(k, d), 0.0);
    return out;
}

struct KMeansParams {
    std::uint64_t n_clusters = 8;
    std::uint64_t max_iters = 300;
    double tol = 1e-4;
    std::optional<std::uint64_t> random_state;
};

struct KMeansModel {
    KMeansParams params;
    std::optional<CentreMatrix> cluster_centers_;
    std::uint64_t n_iter_ = 0;
    double inertia_ = 0.0;

    bool fitted() const { return cluster_centers_.has_value(); }
};

}  // namespace corvalinth::kmeans
