#pragma once
// The Lloyd iterations of a fit: assignment, centre update and inertia until
// the change of inertia falls below tol or max_iters iterations have run.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "kmeans/base/interrupt_check.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/iteration/carried_bounds.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/lloyd_pass.hpp"
#include "kmeans/iteration/pass_storage.hpp"
#include "runtime/random/random_source.hpp"

namespace corvalinth::kmeans {

// The loop's working state, allocated once for all its iterations: the
// labels, the sums and, where they can be had, the per-sample distances (so
// that the inertia of one iteration comes from the pass that labels the next)
// and the lower bounds carried across iterations (so that samples that
// certainly keep their label skip scoring).
class LloydLoop {
public:
    // std::bad_alloc when the labels or the sums cannot be allocated; the
    // distances and the bounds are optional.
    LloydLoop(const SampleMatrix& x, std::size_t k);

    // Runs the iterations from `centres`, which end as the last iteration's
    // centres. After every iteration t its count and inertia are written to
    // record.n_iter_ and record.inertia_. `interrupted` runs before every
    // iteration after the first; false when it stopped the loop. `seeded`,
    // when given, holds every sample's nearest centre of `centres` (the
    // labels the first pass would give, as the seeding leaves them); the first
    // pass then takes them instead of labelling, and is freed after it.
    bool run(CentreMatrix& centres, runtime::RandomSource& rng, std::uint64_t max_iters, double tol,
             KMeansModel& record, const InterruptCheck& interrupted, std::unique_ptr<std::uint32_t[]> seeded = nullptr);

private:
    // labels_[i] = seeded[i] for every sample (labels_ all 0 before), and
    // with `changed` the flags of both clusters of every sample so moved.
    void take_labels(const std::uint32_t* seeded, std::uint8_t* changed);

    SampleMatrix x_;
    std::vector<std::uint64_t> labels_;
    CentreSums sums_;
    std::vector<double> distances_;
    std::vector<double> lower_;
    CarriedBounds bounds_{};
    // One flag per cluster: its members changed in the last pass; its centre
    // is the mean of its members before the next pass (not a seed, nor an
    // empty cluster's sample); its samples' distances to the next pass's
    // centre are already measured; its sums are added after the pass.
    std::vector<std::uint8_t> changed_, mean_, measured_, redo_;
    // The prepared centres and the ranges' working space, kept from one pass
    // to the next.
    PassStorage storage_;
};

}  // namespace corvalinth::kmeans
