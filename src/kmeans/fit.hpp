#pragma once
#include <functional>
#include <optional>

#include "kmeans/engine_error.hpp"
#include "kmeans/model.hpp"
#include "kmeans/sample_matrix.hpp"

namespace corvalinth::kmeans {

// Called on the calling thread between seeding steps (every few milliseconds
// of work) and at the start of every Lloyd iteration. Returns
// true to stop the fit (the caller keeps the reason, e.g. a pending
// interpreter exception); the fit then returns EngineError::Kind::Interrupted.
using InterruptCheck = std::function<bool()>;

// k-means++ seeding then Lloyd iterations. Returns nullopt on success.
// Throws InternalFailure for internal failures, std::bad_alloc on memory
// exhaustion; in both cases (and on every error) cluster_centers_ is unchanged.
std::optional<EngineError> fit(KMeansModel& model, const SampleMatrix& x, const InterruptCheck& interrupted);

}  // namespace corvalinth::kmeans
