#pragma once
// Lower bounds left by the exact kernels: when every centre is scored, the
// second smallest computed distance certifies how far every centre other
// than the label is at least. Derivation: docs/proofs/carried-bounds.md,
// section 10.2''.
#include <cstddef>
#include <cstdint>

#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/kernels/exact_kernels.hpp"

namespace corvalinth::kmeans {

// A lower bound on the true Euclidean distance to every centre other than
// the label, from `second`, the smallest computed squared distance (over
// `dims` coordinates) to a centre other than one instance of the label; 0
// when none can be certified (NaN, +inf, or near the underflow range).
double lower_bound_from_second(double second, std::size_t dims);

// out[i - begin] = index of the nearest centre to row i, for i in [begin,
// end), by the exact kernels, and lower[i - begin] = a certified lower bound
// on the true distance from row i to every other centre (all 0 when this
// thread flushes subnormals).
void exact_labels_with_bounds(const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel,
                              std::uint64_t* out, double* lower,
                              const kernels::KernelTable& table = kernels::selected_kernels());

}  // namespace corvalinth::kmeans
