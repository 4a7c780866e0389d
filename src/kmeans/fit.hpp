#pragma once
// The fit of a k-means model: k-means++ seeding, then Lloyd iterations.
#include <optional>

#include "kmeans/base/engine_error.hpp"
#include "kmeans/base/interrupt_check.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"

namespace corvalinth::kmeans {

// k-means++ seeding then Lloyd iterations. Returns nullopt on success, and
// EngineError::Kind::Interrupted when `interrupted` stopped the fit. The
// results are those of IEEE arithmetic with gradual underflow whatever the
// calling thread's floating-point mode (interrupted() runs in that mode).
// Throws InternalFailure for internal failures, std::bad_alloc on memory
// exhaustion; in both cases (and on every error) cluster_centers_ is unchanged.
std::optional<EngineError> fit(KMeansModel& model, const SampleMatrix& x, const InterruptCheck& interrupted);

}  // namespace corvalinth::kmeans
