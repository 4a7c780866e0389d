#include "kmeans/fit.hpp"

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "kmeans/init_centres.hpp"
#include "kmeans/lloyd.hpp"
#include "runtime/entropy.hpp"
#include "runtime/random_source.hpp"

namespace corvalinth::kmeans {

std::optional<EngineError> fit(KMeansModel& model, const SampleMatrix& x, const InterruptCheck& interrupted) {
    const std::size_t n = x.n_rows;
    const std::size_t d = x.n_cols;
    const std::uint64_t k = model.params.n_clusters;
    if (n < k) return EngineError{EngineError::Kind::Value, "n_samples < n_clusters"};

    runtime::RandomSource rng = model.params.random_state.has_value()
                                    ? runtime::RandomSource::from_seed(*model.params.random_state)
                                    : runtime::from_entropy();

    // k <= n, so k fits in size_t.
    CentreMatrix centres = zero_centres(static_cast<std::size_t>(k), d);
    // An interrupt during seeding leaves the whole record as it was.
    if (!init_centres(x, centres, rng, interrupted)) return EngineError{EngineError::Kind::Interrupted, ""};

    const std::uint64_t max_iters = model.params.max_iters;
    const double tol = model.params.tol;
    if (max_iters != 0) {
        double prev_inertia = std::numeric_limits<double>::infinity();
        std::uint64_t t = 0;
        // Rewritten in full by every iteration, so they live for the whole fit.
        std::vector<std::uint64_t> labels;
        CentreMatrix updated;
        std::vector<std::uint64_t> counts;
        for (;;) {
            if (interrupted && interrupted()) return EngineError{EngineError::Kind::Interrupted, ""};
            assign_labels(x, centres, labels);
            update_centres(x, labels, static_cast<std::size_t>(k), rng, updated, counts);
            t += 1;
            const double inertia = compute_inertia(x, labels, updated);
            model.n_iter_ = t;
            model.inertia_ = inertia;
            std::swap(centres, updated);
            // Strict, ordered: a NaN on either side never converges, and the
            // first iteration cannot (prev_inertia is +infinity).
            if (std::fabs(prev_inertia - inertia) < tol) break;
            prev_inertia = inertia;
            if (t == max_iters) break;
        }
    }

    // All-or-nothing: the fitted centres appear only on success.
    model.cluster_centers_ = std::move(centres);
    return std::nullopt;
}

}  // namespace corvalinth::kmeans
