#pragma once
// The inertia of an iteration: the squared distance of every sample to the
// centre its label names, summed as a tree of two-way splits over the pool.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"

namespace corvalinth::kmeans {

// Sum over samples of the squared distance to the centre their label names.
// Each unsplit range of the pool's split tree is summed left to right from
// -0.0, and neighbouring ranges are joined as lower + upper.
double compute_inertia(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, const CentreMatrix& centres);

// out[i] = squared_distance of row i to the centre labels[i] names, for i in
// [begin, end) (common prefix of the rows, as the inertia uses).
void label_distances(const SampleMatrix& x, const std::uint64_t* labels, const CentreMatrix& centres, std::size_t begin,
                     std::size_t end, double* out);

// s plus the squared distance of every row in [begin, end) to the centre its
// label names, added left to right (an unsplit range of compute_inertia's sum
// starts from s = -0.0).
double add_label_distances(const SampleMatrix& x, const std::uint64_t* labels, const CentreMatrix& centres,
                           std::size_t begin, std::size_t end, double s);

// The inertia from per-sample distances: the same split-tree sum as
// compute_inertia (each unsplit range left to right from -0.0, neighbours
// joined as lower + upper).
double sum_distances(const double* distances, std::size_t n);

}  // namespace corvalinth::kmeans
