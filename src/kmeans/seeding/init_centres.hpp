#pragma once
// k-means++ seeding (D^2 weighting).
#include <cstdint>
#include <memory>

#include "kmeans/base/interrupt_check.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "runtime/random/random_source.hpp"

namespace corvalinth::kmeans {

// Overwrites rows of `centres` (k x d, d = x.n_cols, created as +0.0) with
// copies of sample rows chosen by k-means++; a row that receives no copy keeps
// its values. Draws, in order: one uniform_index(n) for the first centre, then
// per further centre one uniform_index(n) (all distances zero) or one
// uniform_unit (weighted pick). Throws InternalFailure "cannot sample empty
// range" when n = 0 (before any draw) and "assertion failed: index < dim" when
// k = 0 (after the first draw).
void init_centres(const SampleMatrix& x, CentreMatrix& centres, runtime::RandomSource& rng);

// The same, running `interrupted` on the calling thread once a few
// milliseconds of work have passed since the last check: between steps, and
// between the pieces of a step's pass and of the copy of the samples (never
// while the workers are busy). Returns false when it stopped the seeding;
// `centres` and `rng` are then partly advanced and must be discarded, and
// every buffer of the seeding is released.
//
// With `labels`, where the seeding keeps each sample's owning centre (rows of
// 16 or more features, within the budget of its optional buffers), it also
// lowers the distances against the last centre chosen, and *labels receives
// every sample's nearest centre among all k (the lowest index at the smallest
// distance, as the labelling of the first Lloyd pass names it). Otherwise,
// and on k = 1, *labels stays null. The seeds and the draws are the same
// either way.
bool init_centres(const SampleMatrix& x, CentreMatrix& centres, runtime::RandomSource& rng,
                  const InterruptCheck& interrupted, std::unique_ptr<std::uint32_t[]>* labels = nullptr);

}  // namespace corvalinth::kmeans
