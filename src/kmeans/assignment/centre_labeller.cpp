// The assignment step: centres prepared once per pass, then labels for any range of samples.
#include "kmeans/assignment/centre_labeller.hpp"

#include <algorithm>
#include <type_traits>

#include "kmeans/assignment/exact_bounds.hpp"
#include "kmeans/assignment/filter_policy.hpp"
#include "kmeans/assignment/filtered_labels.hpp"
#include "kmeans/base/buffers.hpp"
#include "runtime/pool/worker_pool.hpp"

namespace corvalinth::kmeans {

CentreLabeller::CentreLabeller(const SampleMatrix& x, const CentreMatrix& centres, bool exact_bounds) {
    prepare(x, centres, exact_bounds);
}

void CentreLabeller::prepare(const SampleMatrix& x, const CentreMatrix& centres, bool exact_bounds) {
    dims_ = x.n_cols < centres.cols ? x.n_cols : centres.cols;
    panel_.prepare(centres, dims_);
    const Shape shape{x.n_rows, x.n_cols, centres.rows, dims_};
    if (decided_for_ != shape) {
        filter_worthwhile_ = filter_worthwhile(shape.n, shape.x_cols, shape.k, shape.dims);
        decided_for_ = shape;
    }
    filter_.reset();
    if (filter_worthwhile_) filter_ = FilterPanel::prepare(centres, dims_);
    // On short rows only the float32 stage beats the exact kernels.
    if (filter_ && dims_ < kFilterMinDims && !filter_->has_float32()) filter_.reset();
    // Tracking the second distance costs a little in every pass; the caller
    // asks for it where the bounds pay (a fit on rows of 8 or more features).
    exact_bounds_ = !filter_ && exact_bounds;
}

template <class Label>
void CentreLabeller::label_range(const SampleMatrix& x, std::size_t begin, std::size_t end, Label* out, double* lower,
                                 FilterScratch* scratch) const {
    if (begin >= end) return;
    if (!filter_) {
        if constexpr (std::is_same_v<Label, std::uint64_t>) {
            if (lower != nullptr && exact_bounds_) {
                exact_labels_with_bounds(x, begin, end, panel_, out, lower);
                return;
            }
        }
        nearest_centres(x, begin, end, panel_, out);
        if (lower != nullptr) std::fill(lower, lower + (end - begin), 0.0);
    } else {
        filtered_nearest_centres(x, begin, end, *filter_, panel_, out, FilterOutputs{lower, scratch});
    }
}

void CentreLabeller::label(const SampleMatrix& x, std::size_t begin, std::size_t end, std::uint64_t* out, double* lower,
                           FilterScratch* scratch) const {
    label_range(x, begin, end, out, lower, scratch);
}

void CentreLabeller::label(const SampleMatrix& x, std::size_t begin, std::size_t end, std::int32_t* out) const {
    label_range(x, begin, end, out, nullptr, nullptr);
}

namespace {

template <class Label>
void label_rows(const SampleMatrix& x, const CentreMatrix& centres, Label* out) {
    const CentreLabeller labeller(x, centres);
    const std::size_t work =
        runtime::work_units(x.n_rows, runtime::work_units(centres.rows, std::max<std::size_t>(1, labeller.dims())));
    runtime::parallel_for(x.n_rows, work,
                          [&](std::size_t begin, std::size_t end) { labeller.label(x, begin, end, out + begin); });
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

}  // namespace corvalinth::kmeans
