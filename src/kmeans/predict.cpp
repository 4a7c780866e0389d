#include "kmeans/predict.hpp"

#include "kmeans/nearest_kernels.hpp"
#include "runtime/worker_pool.hpp"

namespace corvalinth::kmeans {

std::variant<LabelBuffer, EngineError> predict(const KMeansModel& model, const SampleMatrix& x) {
    if (!model.fitted()) return EngineError{EngineError::Kind::Value, "Model not fitted yet. Call fit() first."};
    const CentreMatrix& centres = *model.cluster_centers_;
    LabelBuffer labels(x.n_rows);
    // No feature-count check: distances pair the common prefix of the sample
    // and centre rows.
    const std::size_t dims = x.n_cols < centres.cols ? x.n_cols : centres.cols;
    const CentrePanel panel(centres, dims);
    std::int32_t* out = labels.data();
    runtime::parallel_for(x.n_rows, [&](std::size_t begin, std::size_t end) {
        if (begin < end) nearest_centres(x, begin, end, panel, out + begin);
    });
    return labels;
}

}  // namespace corvalinth::kmeans
