#pragma once
#include <cstddef>
#include <cstdint>
#include <variant>

#include "kmeans/base/engine_error.hpp"
#include "kmeans/base/label_buffer.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"

namespace corvalinth::kmeans {

// Labels every row of x with its nearest fitted centre. Value error
// "Model not fitted yet. Call fit() first." on an unfitted model.
std::variant<LabelBuffer, EngineError> predict(const KMeansModel& model, const SampleMatrix& x);

}  // namespace corvalinth::kmeans
