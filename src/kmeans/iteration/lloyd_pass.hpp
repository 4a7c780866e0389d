#pragma once
// One pass of a fit over the samples, in blocks small enough to stay in the
// processor's cache from one step of the iteration to the next.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/iteration/carried_bounds.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/pass_storage.hpp"

namespace corvalinth::kmeans {

// For every block of samples, in sample order:
//  1. when `distances` is given, distances[i] = squared_distance of sample i
//     to the centre its current label names (the terms of the inertia of the
//     iteration that produced `centres`); in parallel over the samples;
//  2. labels[i] = index of the nearest centre to sample i (as assign_labels);
//  3. the block's samples are added to `sums` under their new labels.
// Steps 1 and 2 read a sample back to back, and step 3 finds the block still
// in the cache, so the samples come from memory once per iteration instead of
// three times. Results are those of assign_labels, label_distances and
// CentreSums::add over the whole range.
//
// With `bounds`, each sample also carries a lower bound on its true distance
// to every centre other than its own (0: none known). When the distances are
// measured and bounds.moves (how far the centres moved since the bounds were
// taken) are finite, a sample whose bound, less that move, still certainly
// exceeds its exact distance keeps its label without being scored; every
// other sample is labelled and gets a new bound from the filter.
//
// Where the filter does not label, the exact kernels leave bounds only with
// bounds.exact (0 otherwise, which keeps no label).
//
// With `storage`, the pass prepares `centres` in its labeller (in the storage
// of the previous pass's centres) and its ranges work in its range spaces,
// instead of in storage of their own.
//
// With `inertia` and no `distances`, the pass runs as one loop over all the
// samples instead of block by block: *inertia = the sum of step 1's distances
// as compute_inertia forms it (the same split tree), and the sums take the
// samples after the labelling (they come from memory once more, but no
// distances are written or read back).
struct CarriedBounds {
    double* lower;  // one per sample
    CentreMoves moves;  // largest +infinity: the bounds are not usable in this pass
    bool exact = false;  // the exact kernels leave bounds
};

// What a pass learns, and may be told, of whole clusters:
//  - `changed` (one flag per centre, cleared by the caller): the pass sets
//    the flags of both clusters of every sample whose label it changes, so a
//    cluster left unflagged has the same members, in the same order, after
//    the pass as before it;
//  - `measured` (one flag per centre, or null): with `distances`, a flagged
//    centre's samples already hold in distances[i] their distance to it, as
//    step 1 would measure it; step 1 leaves them as they are;
//  - `defer_sums`: step 3 is left to the caller, who adds the clusters that
//    need it once the labels are known.
struct ClusterChanges {
    std::uint8_t* changed = nullptr;
    const std::uint8_t* measured = nullptr;
    bool defer_sums = false;
};

void lloyd_pass(const SampleMatrix& x, const CentreMatrix& centres, std::vector<std::uint64_t>& labels,
                double* distances, CentreSums& sums, const CarriedBounds* bounds = nullptr,
                PassStorage* storage = nullptr, double* inertia = nullptr, const ClusterChanges* changes = nullptr);

}  // namespace corvalinth::kmeans
