// The fit: validate, seed the centres, run the Lloyd loop, store the centres.
#include "kmeans/fit.hpp"

#include <cstdint>
#include <memory>
#include <utility>

#include "kmeans/base/interface_texts.hpp"
#include "kmeans/iteration/lloyd_loop.hpp"
#include "kmeans/seeding/init_centres.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/cpu/float_mode.hpp"
#include "runtime/random/entropy.hpp"
#include "runtime/random/random_source.hpp"

namespace corvalinth::kmeans {

namespace {

// Centres from which the first pass takes the seeding's labels where it kept
// them: the pass then skips a full labelling, but the seeding lowers once
// more, the sums read the samples apart and the second pass, left without
// bounds, labels in full; with fewer centres that costs about what it saves
// (docs/tuning.md).
constexpr std::uint64_t kSeededLabelsMinCentres = 256;

bool seeded_labels_pay(std::uint64_t k) {
    const testing::SeededLabels when = testing::seeded_labels();
    return when == testing::SeededLabels::Always ||
           (when == testing::SeededLabels::Automatic && k >= kSeededLabelsMinCentres);
}

}  // namespace

std::optional<EngineError> fit(KMeansModel& model, const SampleMatrix& x, const InterruptCheck& check) {
    const EngineError stopped{EngineError::Kind::Interrupted, ""};
    // The whole fit computes with gradual underflow, whatever the caller's
    // mode; the interrupt check runs Python code, in the caller's mode, and
    // whatever mode that code leaves is the caller's from then on.
    runtime::IeeeFloatMode mode;
    InterruptCheck interrupted;
    if (check) {
        interrupted = [&] {
            mode.suspend();
            const bool stop = check();
            mode.resume();
            return stop;
        };
    }
    const std::uint64_t k = model.params.n_clusters;
    if (x.n_rows < k) return EngineError{EngineError::Kind::Value, texts::kTooFewSamples};

    runtime::RandomSource rng = model.params.random_state.has_value()
                                    ? runtime::RandomSource::from_seed(*model.params.random_state)
                                    : runtime::from_entropy();

    // k <= n, so k fits in size_t.
    CentreMatrix centres = zero_centres(static_cast<std::size_t>(k), x.n_cols);
    // An interrupt during seeding leaves the whole record as it was. Where
    // iterations follow with many centres, the seeding hands over the first
    // pass's labels when it kept them.
    std::unique_ptr<std::uint32_t[]> seeded;
    const bool iterate = model.params.max_iters != 0;
    if (!init_centres(x, centres, rng, interrupted, iterate && seeded_labels_pay(k) ? &seeded : nullptr))
        return stopped;

    if (iterate) {
        if (interrupted && interrupted()) return stopped;
        LloydLoop loop(x, static_cast<std::size_t>(k));
        if (!loop.run(centres, rng, model.params.max_iters, model.params.tol, model, interrupted, std::move(seeded)))
            return stopped;
    }

    // All-or-nothing: the fitted centres appear only on success.
    model.cluster_centers_ = std::move(centres);
    return std::nullopt;
}

}  // namespace corvalinth::kmeans
