#include "kmeans/lloyd.hpp"

#include "kmeans/buffer_size.hpp"
#include "kmeans/distance.hpp"
#include "kmeans/nearest_kernels.hpp"
#include "kmeans/row_copy.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/worker_pool.hpp"

namespace corvalinth::kmeans {

CentreMatrix zero_centres(std::size_t k, std::size_t d) {
    CentreMatrix out;
    out.rows = k;
    out.cols = d;
    out.values = make_buffer<double>(checked_product(k, d), 0.0);
    return out;
}

namespace {

template <class Label>
void label_rows(const SampleMatrix& x, const CentreMatrix& centres, Label* out) {
    const std::size_t dims = x.n_cols < centres.cols ? x.n_cols : centres.cols;
    const CentrePanel panel(centres, dims);
    runtime::parallel_for(x.n_rows, [&](std::size_t begin, std::size_t end) {
        if (begin < end) nearest_centres(x, begin, end, panel, out + begin);
    });
}

}  // namespace

void nearest_labels(const SampleMatrix& x, const CentreMatrix& centres, std::uint64_t* out) {
    label_rows(x, centres, out);
}

void nearest_labels(const SampleMatrix& x, const CentreMatrix& centres, std::int32_t* out) {
    label_rows(x, centres, out);
}

std::vector<std::uint64_t> assign_labels(const SampleMatrix& x, const CentreMatrix& centres) {
    std::vector<std::uint64_t> labels;
    assign_labels(x, centres, labels);
    return labels;
}

void assign_labels(const SampleMatrix& x, const CentreMatrix& centres, std::vector<std::uint64_t>& labels) {
    if (labels.size() != x.n_rows) labels = make_buffer<std::uint64_t>(x.n_rows, 0);
    nearest_labels(x, centres, labels.data());
}

CentreMatrix update_centres(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                            runtime::RandomSource& rng) {
    const std::size_t n = x.n_rows;
    const std::size_t d = x.n_cols;
    if (labels.size() != n) throw InternalFailure("label count differs from sample count");
    CentreMatrix sums = zero_centres(k, d);
    std::vector<std::uint64_t> counts = make_buffer<std::uint64_t>(k, 0);

    // Every sums[c][j] is the left-to-right sum over the cluster's samples in
    // sample order, starting from +0.0.
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t c = labels[i];
        if (c >= k) throw InternalFailure("label out of range");
        double* sum = sums.row(c);
        const double* row = x.row(i);
        if (x.col_stride == 1) {
            for (std::size_t j = 0; j < d; ++j) sum[j] = sum[j] + row[j];
        } else {
            for (std::size_t j = 0; j < d; ++j) sum[j] = sum[j] + row[static_cast<std::ptrdiff_t>(j) * x.col_stride];
        }
        counts[c] += 1;
    }

    for (std::size_t c = 0; c < k; ++c) {
        double* centre = sums.row(c);
        if (counts[c] == 0) {
            // Empty cluster: re-seed from a random sample (draws in cluster order).
            const std::uint64_t r = rng.uniform_index(n);
            copy_sample_row(x, r, centre, d);
        } else {
            const double count = static_cast<double>(counts[c]);
            for (std::size_t j = 0; j < d; ++j) centre[j] = centre[j] / count;
        }
    }
    return sums;
}

double compute_inertia(const SampleMatrix& x, const std::vector<std::uint64_t>& labels,
                       const CentreMatrix& centres) {
    if (labels.size() != x.n_rows) throw InternalFailure("label count differs from sample count");
    const std::size_t d = x.n_cols;
    const std::size_t k = centres.rows;
    const std::uint64_t* lab = labels.data();
    auto leaf = [&](std::size_t begin, std::size_t end) -> double {
        double s = -0.0;
        for (std::size_t i = begin; i < end; ++i) {
            if (lab[i] >= k) throw InternalFailure("label out of range");
            const double* centre = centres.row(lab[i]);
            // Same arithmetic either way; the unit-stride call lets the
            // compiler drop the stride multiplication.
            const double dist = x.col_stride == 1 ? squared_distance(x.row(i), 1, d, centre, centres.cols)
                                                  : squared_distance(x.row(i), x.col_stride, d, centre, centres.cols);
            s = s + dist;
        }
        return s;
    };
    auto combine = [](double lower, double upper) { return lower + upper; };
    return runtime::parallel_reduce<double>(x.n_rows, leaf, combine);
}

}  // namespace corvalinth::kmeans
