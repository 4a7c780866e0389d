#include "kmeans/fit.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "kmeans/buffer_size.hpp"
#include "kmeans/carried_bounds.hpp"
#include "kmeans/centre_update.hpp"
#include "kmeans/init_centres.hpp"
#include "kmeans/lloyd.hpp"
#include "kmeans/lloyd_pass.hpp"
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
        if (interrupted && interrupted()) return EngineError{EngineError::Kind::Interrupted, ""};
        double prev_inertia = std::numeric_limits<double>::infinity();
        std::uint64_t t = 0;
        // Rewritten in full by every iteration, so they live for the whole fit.
        std::vector<std::uint64_t> labels = make_buffer<std::uint64_t>(n, 0);
        CentreSums sums(x, static_cast<std::size_t>(k));
        CentreMatrix updated;
        // Where it can be had, a buffer of per-sample distances lets the
        // inertia of one iteration come from the pass that labels the next.
        // Rows of fewer than 8 features cost less to read again than the
        // buffer does to write and read back.
        // With them, per-sample lower bounds on the distances to the other
        // centres let samples that certainly keep their label skip scoring.
        std::vector<double> distances;
        std::vector<double> lower;
        try {
            if (n != 0 && d >= 8) distances = make_buffer<double>(n, 0.0);
            if (!distances.empty()) lower = make_buffer<double>(n, 0.0);
        } catch (const std::bad_alloc&) {
            lower.clear();  // both optional: the inertia then takes a pass of its own
        }
        double* dist = distances.empty() ? nullptr : distances.data();
        const double inf = std::numeric_limits<double>::infinity();
        const CentreMoves no_move{inf, 0, inf};
        CarriedBounds bounds{lower.data(), no_move};
        const CarriedBounds* carried = lower.empty() ? nullptr : &bounds;
        lloyd_pass(x, centres, labels, nullptr, sums, carried);
        for (;;) {
            sums.finish(rng, updated);
            t += 1;
            // The inertia of iteration t is taken against the updated centres;
            // unless this is the last iteration, the pass that measures it also
            // labels the samples for iteration t + 1 (wasted if it converges).
            double inertia;
            const bool fused = t != max_iters && dist != nullptr;
            if (fused) {
                sums.clear();
                bounds.moves = carried != nullptr ? largest_moves(centres, updated, d) : no_move;
                lloyd_pass(x, updated, labels, dist, sums, carried);
                inertia = sum_distances(dist, n);
            } else {
                inertia = compute_inertia(x, labels, updated);
            }
            model.n_iter_ = t;
            model.inertia_ = inertia;
            std::swap(centres, updated);
            // Strict, ordered: a NaN on either side never converges, and the
            // first iteration cannot (prev_inertia is +infinity).
            if (std::fabs(prev_inertia - inertia) < tol) break;
            prev_inertia = inertia;
            if (t == max_iters) break;
            if (interrupted && interrupted()) return EngineError{EngineError::Kind::Interrupted, ""};
            if (!fused) {
                sums.clear();
                bounds.moves = no_move;
                lloyd_pass(x, centres, labels, nullptr, sums, carried);
            }
        }
    }

    // All-or-nothing: the fitted centres appear only on success.
    model.cluster_centers_ = std::move(centres);
    return std::nullopt;
}

}  // namespace corvalinth::kmeans
