#include "kmeans/lloyd.hpp"

#include <optional>

#include "kmeans/buffer_size.hpp"
#include "kmeans/distance.hpp"
#include "kmeans/filtered_assignment.hpp"
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
    if (filter_worthwhile(x.n_rows, x.n_cols, centres.rows, dims)) {
        if (const std::optional<FilterPanel> filter = FilterPanel::prepare(centres, dims)) {
            runtime::parallel_for(x.n_rows, [&](std::size_t begin, std::size_t end) {
                if (begin < end) filtered_nearest_centres(x, begin, end, *filter, panel, out + begin);
            });
            return;
        }
    }
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

void label_out_of_range() { throw InternalFailure("label out of range"); }

namespace {

// Squared distances of four samples at once, each its own left-to-right chain
// over the features from -0.0, then added into `s` in sample order. D is the
// feature count when fixed at compile time (0: `d` at run time).
template <std::size_t D, bool Unit>
double inertia_leaf(const SampleMatrix& x, const std::uint64_t* lab, const CentreMatrix& centres, std::size_t dims,
                    std::size_t begin, std::size_t end) {
    const std::size_t d = D != 0 ? D : dims;
    const std::size_t k = centres.rows;
    const std::size_t cstride = centres.cols;
    const double* cbase = centres.values.data();
    const std::ptrdiff_t rs = x.row_stride;
    const std::ptrdiff_t cs = Unit ? 1 : x.col_stride;
    double s = -0.0;
    std::size_t i = begin;
    // Wide rows already give one distance enough independent work; four
    // interleaved chains only pay off for the short fixed widths.
    for (; D != 0 && i + 4 <= end; i += 4) {
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
        for (std::size_t j = 0; j < d; ++j) {
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
        s = s + a0;
        s = s + a1;
        s = s + a2;
        s = s + a3;
    }
    for (; i < end; ++i) {
        if (lab[i] >= k) label_out_of_range();
        s = s + squared_distance(x.row(i), cs, d, cbase + lab[i] * cstride, d);
    }
    return s;
}

template <bool Unit>
double inertia_leaf_any_width(const SampleMatrix& x, const std::uint64_t* lab, const CentreMatrix& centres,
                              std::size_t dims, std::size_t begin, std::size_t end) {
    switch (dims) {
        case 1: return inertia_leaf<1, Unit>(x, lab, centres, dims, begin, end);
        case 2: return inertia_leaf<2, Unit>(x, lab, centres, dims, begin, end);
        case 3: return inertia_leaf<3, Unit>(x, lab, centres, dims, begin, end);
        case 4: return inertia_leaf<4, Unit>(x, lab, centres, dims, begin, end);
        case 8: return inertia_leaf<8, Unit>(x, lab, centres, dims, begin, end);
        case 16: return inertia_leaf<16, Unit>(x, lab, centres, dims, begin, end);
        default: return inertia_leaf<0, Unit>(x, lab, centres, dims, begin, end);
    }
}

}  // namespace

double compute_inertia(const SampleMatrix& x, const std::vector<std::uint64_t>& labels,
                       const CentreMatrix& centres) {
    if (labels.size() != x.n_rows) throw InternalFailure("label count differs from sample count");
    // Distances run over the common prefix of sample and centre rows.
    const std::size_t dims = x.n_cols < centres.cols ? x.n_cols : centres.cols;
    const std::uint64_t* lab = labels.data();
    auto leaf = [&](std::size_t begin, std::size_t end) -> double {
        return x.col_stride == 1 ? inertia_leaf_any_width<true>(x, lab, centres, dims, begin, end)
                                 : inertia_leaf_any_width<false>(x, lab, centres, dims, begin, end);
    };
    auto combine = [](double lower, double upper) { return lower + upper; };
    return runtime::parallel_reduce<double>(x.n_rows, leaf, combine);
}

}  // namespace corvalinth::kmeans
