#pragma once
#include <cstddef>
#include <cstdint>
#include <variant>

#include "kmeans/engine_error.hpp"
#include "kmeans/label_buffer.hpp"
#include "kmeans/model.hpp"
#include "kmeans/sample_matrix.hpp"

namespace corvalinth::kmeans {

// Labels every row of x with its nearest fitted centre. Value error
// "Model not fitted yet. Call fit() first." on an unfitted model.
std::variant<LabelBuffer, EngineError> predict(const KMeansModel& model, const SampleMatrix& x);

}  // namespace corvalinth::kmeans
