// The inertia: each sample's squared distance to the centre its label names, and their split-tree sum.
#include "kmeans/iteration/inertia.hpp"

#include <algorithm>

#include "kmeans/base/engine_error.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/reference.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::kmeans {

namespace {

// Rows at least this wide, of adjacent features, take the kernels' tiles.
constexpr std::size_t kAssignedKernelMinDims = 8;
// Distances summed as they come (the inertia of its own, after the last
// update) take the kernels' terms from rows this wide, a stack buffer at a
// time; narrower rows keep the scalar chains of for_each_label_distance,
// which cost less there (docs/tuning.md).
constexpr std::size_t kSummedKernelMinDims = 32;
constexpr std::size_t kSummedTerms = 256;

// The squared distance of every sample in [begin, end) to the centre its
// label names, handed to sink(i, distance) in sample order. Four samples at
// once, each its own left-to-right chain over the features from -0.0: one
// distance is one chain of dependent additions however wide the row, so four
// interleaved chains keep the adder busy. D is the feature count when fixed
// at compile time (0: `dims` at run time).
template <std::size_t D, bool Unit, class Sink>
void label_distance_leaf(const SampleMatrix& x, const std::uint64_t* lab, const CentreMatrix& centres, std::size_t dims,
                         std::size_t begin, std::size_t end, Sink&& sink) {
    const std::size_t d = D != 0 ? D : dims;
    const std::size_t k = centres.rows;
    const std::size_t cstride = centres.cols;
    const double* cbase = centres.values.data();
    const std::ptrdiff_t rs = x.row_stride;
    const std::ptrdiff_t cs = Unit ? 1 : x.col_stride;
    std::size_t i = begin;
    for (; i + 4 <= end; i += 4) {
        const std::uint64_t l0 = lab[i], l1 = lab[i + 1], l2 = lab[i + 2], l3 = lab[i + 3];
        if ((l0 >= k) | (l1 >= k) | (l2 >= k) | (l3 >= k)) label_out_of_range();
        const double* c0 = cbase + l0 * cstride;
        const double* c1 = cbase + l1 * cstride;
        const double* c2 = cbase + l2 * cstride;
        const double* c3 = cbase + l3 * cstride;
        const double* x0 = x.row(i);
        const double* x1 = x0 + rs;
        const double* x2 = x1 + rs;
        const double* x3 = x2 + rs;
        double a0 = -0.0, a1 = -0.0, a2 = -0.0, a3 = -0.0;
        // Wide rows of adjacent features: the next four rows are fetched a
        // cache line each per cache line of these, ahead of their use.
        const bool ahead = D == 0 && Unit && i + 8 <= end;
        for (std::size_t j = 0; j < d; ++j) {
            if (ahead && j % 8 == 0) {
                __builtin_prefetch(x3 + rs + static_cast<std::ptrdiff_t>(j));
                __builtin_prefetch(x3 + 2 * rs + static_cast<std::ptrdiff_t>(j));
                __builtin_prefetch(x3 + 3 * rs + static_cast<std::ptrdiff_t>(j));
                __builtin_prefetch(x3 + 4 * rs + static_cast<std::ptrdiff_t>(j));
            }
            const std::ptrdiff_t o = static_cast<std::ptrdiff_t>(j) * cs;
            const double e0 = x0[o] - c0[j];
            const double e1 = x1[o] - c1[j];
            const double e2 = x2[o] - c2[j];
            const double e3 = x3[o] - c3[j];
            const double q0 = e0 * e0;
            const double q1 = e1 * e1;
            const double q2 = e2 * e2;
            const double q3 = e3 * e3;
            a0 = a0 + q0;
            a1 = a1 + q1;
            a2 = a2 + q2;
            a3 = a3 + q3;
        }
        sink(i, a0);
        sink(i + 1, a1);
        sink(i + 2, a2);
        sink(i + 3, a3);
    }
    for (; i < end; ++i) {
        if (lab[i] >= k) label_out_of_range();
        sink(i, squared_distance(x.row(i), cs, d, cbase + lab[i] * cstride, d));
    }
}

template <bool Unit, class Sink>
void label_distances_any_width(const SampleMatrix& x, const std::uint64_t* lab, const CentreMatrix& centres,
                               std::size_t dims, std::size_t begin, std::size_t end, Sink&& sink) {
    switch (dims) {
        case 1: return label_distance_leaf<1, Unit>(x, lab, centres, dims, begin, end, sink);
        case 2: return label_distance_leaf<2, Unit>(x, lab, centres, dims, begin, end, sink);
        case 3: return label_distance_leaf<3, Unit>(x, lab, centres, dims, begin, end, sink);
        case 4: return label_distance_leaf<4, Unit>(x, lab, centres, dims, begin, end, sink);
        case 8: return label_distance_leaf<8, Unit>(x, lab, centres, dims, begin, end, sink);
        case 16: return label_distance_leaf<16, Unit>(x, lab, centres, dims, begin, end, sink);
        default: return label_distance_leaf<0, Unit>(x, lab, centres, dims, begin, end, sink);
    }
}

template <class Sink>
void for_each_label_distance(const SampleMatrix& x, const std::uint64_t* lab, const CentreMatrix& centres,
                             std::size_t begin, std::size_t end, Sink&& sink) {
    // Distances run over the common prefix of sample and centre rows.
    const std::size_t dims = x.n_cols < centres.cols ? x.n_cols : centres.cols;
    if (x.col_stride == 1)
        label_distances_any_width<true>(x, lab, centres, dims, begin, end, sink);
    else
        label_distances_any_width<false>(x, lab, centres, dims, begin, end, sink);
}

}  // namespace

void label_distances(const SampleMatrix& x, const std::uint64_t* labels, const CentreMatrix& centres, std::size_t begin,
                     std::size_t end, double* out) {
    // Rows of adjacent features, at least a vector wide: the kernels' tiles.
    const std::size_t dims = x.n_cols < centres.cols ? x.n_cols : centres.cols;
    if (x.col_stride == 1 && dims >= kAssignedKernelMinDims)
        return assigned_distances(x, begin, end, labels + begin, centres, dims, out + begin);
    for_each_label_distance(x, labels, centres, begin, end, [out](std::size_t i, double v) { out[i] = v; });
}

double add_label_distances(const SampleMatrix& x, const std::uint64_t* labels, const CentreMatrix& centres,
                           std::size_t begin, std::size_t end, double s) {
    const std::size_t dims = x.n_cols < centres.cols ? x.n_cols : centres.cols;
    if (x.col_stride != 1 || dims < kSummedKernelMinDims) {
        for_each_label_distance(x, labels, centres, begin, end, [&s](std::size_t, double v) { s = s + v; });
        return s;
    }
    // The kernels' terms are the scalar chains' bit for bit, added in the
    // same order.
    double terms[kSummedTerms];
    for (std::size_t b = begin; b < end; b += kSummedTerms) {
        const std::size_t e = end - b < kSummedTerms ? end : b + kSummedTerms;
        assigned_distances(x, b, e, labels + b, centres, dims, terms);
        for (std::size_t i = 0; i < e - b; ++i) s = s + terms[i];
    }
    return s;
}

double compute_inertia(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, const CentreMatrix& centres) {
    if (labels.size() != x.n_rows) throw InternalFailure("label count differs from sample count");
    const std::uint64_t* lab = labels.data();
    auto leaf = [&](std::size_t begin, std::size_t end) -> double {
        return add_label_distances(x, lab, centres, begin, end, -0.0);
    };
    auto combine = [](double lower, double upper) { return lower + upper; };
    return runtime::parallel_reduce<double>(x.n_rows, runtime::work_units(x.n_rows, std::max<std::size_t>(1, x.n_cols)),
                                            leaf, combine);
}

double sum_distances(const double* distances, std::size_t n) {
    auto leaf = [distances](std::size_t begin, std::size_t end) -> double {
        double s = -0.0;
        for (std::size_t i = begin; i < end; ++i) s = s + distances[i];
        return s;
    };
    auto combine = [](double lower, double upper) { return lower + upper; };
    return runtime::parallel_reduce<double>(n, n, leaf, combine);
}

}  // namespace corvalinth::kmeans
