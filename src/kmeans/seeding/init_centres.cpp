// k-means++ seeding: the sequential steps around the parallel lowering pass.
#include "kmeans/seeding/init_centres.hpp"

#include <optional>
#include <vector>

#include "kmeans/base/buffers.hpp"
#include "kmeans/base/interface_texts.hpp"
#include "kmeans/base/row_copy.hpp"
#include "kmeans/seeding/interrupt_pacer.hpp"
#include "kmeans/seeding/seeding_distances.hpp"
#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans {
namespace {

constexpr std::size_t kChunk = kSeedingChunk;

// The first sample whose running sum of closest[] reaches `target` (ordered
// comparison), or n when there is none. Entries are never negative or NaN, so
// the running sum never decreases and the scan can start in the first chunk
// whose end sum reaches the target. The running sum from that chunk's start
// equals the one from sample 0 (they can differ only in the sign of an
// all-zero prefix, which no comparison sees).
std::size_t weighted_pick(const std::vector<double>& closest, const std::vector<double>& ends, double target) {
    std::size_t c = 0;
    while (c < ends.size() && !(ends[c] >= target)) ++c;
    if (c == ends.size()) return closest.size();
    double running = c == 0 ? +0.0 : ends[c - 1];
    const std::size_t end = c * kChunk + kChunk < closest.size() ? c * kChunk + kChunk : closest.size();
    for (std::size_t i = c * kChunk; i < end; ++i) {
        running = running + closest[i];
        if (running >= target) return i;
    }
    return closest.size();  // not reached: the chunk's end sum reaches the target
}

}  // namespace

bool init_centres(const SampleMatrix& x, CentreMatrix& centres, runtime::RandomSource& rng,
                  const InterruptCheck& interrupted, std::unique_ptr<std::uint32_t[]>* labels) {
    if (labels != nullptr) labels->reset();
    const std::size_t n = x.n_rows;
    const std::size_t k = centres.rows;
    const std::size_t d = centres.cols;
    if (d != x.n_cols || centres.values.size() != checked_product(k, d)) {
        throw InternalFailure("centre matrix does not match the samples");
    }

    // First centre: uniform over the samples; nothing is drawn for n = 0.
    if (n == 0) throw InternalFailure(texts::kEmptyRange);
    const std::uint64_t first = rng.uniform_index(n);
    if (k == 0) throw InternalFailure(texts::kNoClusters);
    copy_sample_row(x, first, centres.row(0), d);
    if (k == 1) return true;

    SeedingDistances distances(n, k, labels != nullptr);
    std::vector<double> ends = make_buffer<double>((n + kChunk - 1) / kChunk, 0.0);
    // Checks run between steps and between the pieces of a step's pass.
    InterruptPacer pacer(interrupted);
    for (std::size_t c = 1; c < k; ++c) {
        // The lowering may run on the pool; the total, the pick and every
        // draw stay on the calling thread in sample order.
        const std::optional<double> lowered = distances.lower(x, centres, c - 1, ends, pacer);
        if (!lowered) return false;
        const double total = *lowered;
        const std::vector<double>& closest = distances.closest();
        if (total == 0.0) {
            // Every sample coincides with a chosen centre.
            const std::uint64_t r = rng.uniform_index(n);
            copy_sample_row(x, r, centres.row(c), d);
        } else {
            // Weighted pick; a NaN target (an infinite total times a zero
            // draw) picks nothing and the row keeps its values.
            const std::size_t i = weighted_pick(closest, ends, total * rng.uniform_unit());
            if (i < n) copy_sample_row(x, i, centres.row(c), d);
        }
        if (c + 1 < k && pacer.stop_now()) return false;
    }
    if (labels != nullptr && distances.owners_kept()) {
        // One more step's lowering, without a draw: the owners then name
        // each sample's nearest centre among all k. The pass against centre
        // c lowers closest[i] to squared_distance(sample i, centre c) exactly
        // where that is strictly smaller (a NaN lowers nothing) and makes c
        // the owner of exactly those samples; the pass against centre 0
        // starts from +infinity with owner 0 for every sample. Rows a bound
        // skips are rows that comparison leaves as they are. So after the
        // passes against 0, 1, ..., k - 1 each owner is the label of the
        // plain scan over the centres in order (best +infinity and label 0,
        // then `distance < best`), the nearest centre that the labelling of a
        // Lloyd pass returns: ties to the lowest index, 0 where no distance
        // is below +infinity.
        if (pacer.stop_now()) return false;
        if (!distances.lower(x, centres, k - 1, ends, pacer)) return false;
        *labels = distances.take_owners();
    }
    return true;
}

void init_centres(const SampleMatrix& x, CentreMatrix& centres, runtime::RandomSource& rng) {
    init_centres(x, centres, rng, InterruptCheck{});
}

}  // namespace corvalinth::kmeans
