#include "kmeans/predict.hpp"

#include "kmeans/lloyd.hpp"

namespace corvalinth::kmeans {

std::variant<LabelBuffer, EngineError> predict(const KMeansModel& model, const SampleMatrix& x) {
    if (!model.fitted()) return EngineError{EngineError::Kind::Value, "Model not fitted yet. Call fit() first."};
    LabelBuffer labels(x.n_rows);
    // No feature-count check: distances pair the common prefix of the sample
    // and centre rows.
    nearest_labels(x, *model.cluster_centers_, labels.data());
    return labels;
}

}  // namespace corvalinth::kmeans
