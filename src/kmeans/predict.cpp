#include "kmeans/predict.hpp"

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/base/interface_texts.hpp"
#include "runtime/cpu/float_mode.hpp"

namespace corvalinth::kmeans {

std::variant<LabelBuffer, EngineError> predict(const KMeansModel& model, const SampleMatrix& x) {
    if (!model.fitted()) return EngineError{EngineError::Kind::Value, texts::kNotFitted};
    LabelBuffer labels(x.n_rows);
    // Labels are those of IEEE arithmetic, whatever the caller's mode.
    const runtime::IeeeFloatMode mode;
    // No feature-count check: distances pair the common prefix of the sample
    // and centre rows.
    nearest_labels(x, *model.cluster_centers_, labels.data());
    return labels;
}

}  // namespace corvalinth::kmeans
