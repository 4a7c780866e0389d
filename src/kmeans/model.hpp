#pragma once
// The k-means estimator record: parameters fixed at construction, fitted state
// replaced all-or-nothing by a successful fit.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvalinth::kmeans {

// Dense row-major k x d matrix; row c is centre c.
struct CentreMatrix {
    std::size_t rows = 0;
    std::size_t cols = 0;
    std::vector<double> values;  // rows * cols

    const double* row(std::size_t c) const { return values.data() + c * cols; }
    double* row(std::size_t c) { return values.data() + c * cols; }
};

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
