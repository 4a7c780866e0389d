#pragma once
// The three steps of one Lloyd iteration: assignment (parallel over samples),
// centre update (split by ownership of the sums where that pays; the only
// step that draws, on the calling thread), inertia (parallel sum).
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "kmeans/filtered_assignment.hpp"
#include "kmeans/model.hpp"
#include "kmeans/nearest_kernels.hpp"
#include "kmeans/sample_matrix.hpp"
#include "runtime/random_source.hpp"

namespace corvalinth::kmeans {

// A k x d centre matrix of +0.0. std::bad_alloc when k * d overflows.
CentreMatrix zero_centres(std::size_t k, std::size_t d);

// The centres prepared once (exact kernels' panel, and the filter's where it
// pays) for labelling any number of ranges of the rows of x.
class CentreLabeller {
public:
    CentreLabeller(const SampleMatrix& x, const CentreMatrix& centres);
    // out[i - begin] = index of the nearest centre to row i, for i in [begin, end).
    // With `lower` given, lower[i - begin] = a certified lower bound on the
    // true distance from row i to every other centre (0 where the filter did
    // not decide the sample, or does not run).
    // With `scratch` (one per thread), the filter's tile buffers come from it.
    void label(const SampleMatrix& x, std::size_t begin, std::size_t end, std::uint64_t* out,
               double* lower = nullptr, FilterScratch* scratch = nullptr) const;
    void label(const SampleMatrix& x, std::size_t begin, std::size_t end, std::int32_t* out) const;
    // Whether labelling certifies lower bounds (the filter runs).
    bool certifies() const { return filter_.has_value(); }
    std::size_t dims() const { return dims_; }

private:
    template <class Label>
    void label_range(const SampleMatrix& x, std::size_t begin, std::size_t end, Label* out, double* lower,
                     FilterScratch* scratch) const;
    std::size_t dims_;
    CentrePanel panel_;
    std::optional<FilterPanel> filter_;
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

// New k x d centres: the mean of each cluster's samples, summed from +0.0 in
// sample order and truly divided by the count. Each empty cluster, in
// increasing cluster order, takes a copy of sample uniform_index(n).
// Labels must be below k (InternalFailure otherwise). When the update is
// split, each worker owns a block of features or whole clusters and scans all
// samples in order, so the centres are the same for any number of workers.
CentreMatrix update_centres(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                            runtime::RandomSource& rng);
// The same into `out`, with `counts` as the per-cluster counts; both keep
// their storage from one call to the next (a fit keeps them for all its
// iterations).
void update_centres(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                    runtime::RandomSource& rng, CentreMatrix& out, std::vector<std::uint64_t>& counts);

// Sum over samples of the squared distance to the centre their label names.
// Each unsplit range of the pool's split tree is summed left to right from
// -0.0, and neighbouring ranges are joined as lower + upper.
double compute_inertia(const SampleMatrix& x, const std::vector<std::uint64_t>& labels,
                       const CentreMatrix& centres);

// out[i] = squared_distance of row i to the centre labels[i] names, for i in
// [begin, end) (common prefix of the rows, as the inertia uses).
void label_distances(const SampleMatrix& x, const std::uint64_t* labels, const CentreMatrix& centres,
                     std::size_t begin, std::size_t end, double* out);

// The inertia from per-sample distances: the same split-tree sum as
// compute_inertia (each unsplit range left to right from -0.0, neighbours
// joined as lower + upper).
double sum_distances(const double* distances, std::size_t n);

// The internal failure of a label vector naming a centre that does not exist.
[[noreturn]] void label_out_of_range();

}  // namespace corvalinth::kmeans
