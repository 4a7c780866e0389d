#pragma once
// The assignment step: every sample's nearest centre, by the certified filter
// where it pays and by the exact kernels otherwise; the labels are always
// those of nearest_centre.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kmeans/assignment/filter_panel.hpp"
#include "kmeans/assignment/filter_scratch.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/kernels/exact_kernels.hpp"

namespace corvalinth::kmeans {

// The centres prepared once (exact kernels' panel, and the filter's where it
// pays) for labelling any number of ranges of the rows of x.
class CentreLabeller {
public:
    // No centres until prepared.
    CentreLabeller() = default;
    CentreLabeller(const SampleMatrix& x, const CentreMatrix& centres, bool exact_bounds = false);
    // Prepares `centres` in place of the present ones, for the rows of x:
    // the exact kernels' panel keeps its storage, and whether the filter can
    // pay is decided again only when the shape of x or of the centres
    // changes (a fit prepares new centres in every pass). With
    // `exact_bounds`, the exact kernels (where they label) leave bounds too.
    // std::bad_alloc when the panel cannot be had.
    void prepare(const SampleMatrix& x, const CentreMatrix& centres, bool exact_bounds = false);
    // out[i - begin] = index of the nearest centre to row i, for i in [begin, end).
    // With `lower` given, lower[i - begin] = a certified lower bound on the
    // true distance from row i to every other centre (0 where none is
    // certified: the filter did not decide the sample, or neither the filter
    // nor the exact kernels' bounds serve these centres).
    // With `scratch` (one per thread), the filter's tile buffers come from it.
    void label(const SampleMatrix& x, std::size_t begin, std::size_t end, std::uint64_t* out, double* lower = nullptr,
               FilterScratch* scratch = nullptr) const;
    void label(const SampleMatrix& x, std::size_t begin, std::size_t end, std::int32_t* out) const;
    // Whether labelling certifies lower bounds: the filter runs, or the exact
    // kernels were asked for bounds and leave the second smallest distance.
    bool certifies() const { return filter_.has_value() || exact_bounds_; }
    std::size_t dims() const { return dims_; }

private:
    template <class Label>
    void label_range(const SampleMatrix& x, std::size_t begin, std::size_t end, Label* out, double* lower,
                     FilterScratch* scratch) const;
    // The shape whether the filter is worthwhile was decided for: rows and
    // columns of x, centres, coordinates used.
    struct Shape {
        std::size_t n, x_cols, k, dims;
        bool operator==(const Shape&) const = default;
    };
    std::size_t dims_ = 0;
    CentrePanel panel_;
    std::optional<FilterPanel> filter_;
    bool exact_bounds_ = false;
    std::optional<Shape> decided_for_;
    bool filter_worthwhile_ = false;
};

// out[i] = index of the nearest centre to row i of x, over the first
// min(x.n_cols, centres.cols) coordinates; parallel over the rows, one centre
// panel per call. Shared by the assignment step and prediction.
void nearest_labels(const SampleMatrix& x, const CentreMatrix& centres, std::uint64_t* out);
void nearest_labels(const SampleMatrix& x, const CentreMatrix& centres, std::int32_t* out);

// Label i = index of the nearest centre to sample i (ties to the lowest index,
// NaN distances never chosen, 0 when nothing is below +infinity). Parallel map
// over the samples; the result does not depend on the pool's scheduling.
std::vector<std::uint64_t> assign_labels(const SampleMatrix& x, const CentreMatrix& centres);
// The same into `labels`, reusing its storage when it already holds n labels
// (a fit keeps one label vector for all its iterations).
void assign_labels(const SampleMatrix& x, const CentreMatrix& centres, std::vector<std::uint64_t>& labels);

}  // namespace corvalinth::kmeans
