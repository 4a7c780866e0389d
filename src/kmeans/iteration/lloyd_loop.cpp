// The Lloyd loop of a fit, with the inertia of one iteration fused into the pass that labels the next.
#include "kmeans/iteration/lloyd_loop.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "kmeans/assignment/filter_policy.hpp"
#include "kmeans/base/buffers.hpp"
#include "kmeans/base/engine_error.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/iteration/lloyd_pass.hpp"
#include "kmeans/testing/knobs.hpp"

namespace corvalinth::kmeans {

namespace {

// Where no filter labels, the exact kernels leave bounds from the first pass
// on every row of 2 or more features: on rows of 2 to 7 features the keep
// test runs in the vector kernel, and costs less than scoring the centres
// (docs/tuning.md); rows of one feature keep no bounds (a double per sample
// would be as large as the input).
constexpr std::size_t kExactBoundsMinDims = 2;

// Samples from which, and centres up to which, a pass without the distances'
// buffer sums the inertia itself: the sum's tree cuts the pass into up to 16
// ranges per two workers (more with more workers), ranges of a few hundred
// samples label slowly, and where labelling costs much more than the inertia
// the finer ranges of a pass block by block share the work out better
// (docs/tuning.md).
constexpr std::size_t kPassSumsInertiaFrom = std::size_t{1} << 15;
constexpr std::size_t kPassSumsInertiaMaxCentres = 16;

// Rows of this many features or more keep the distances' buffer (and the
// loop follows which clusters each pass changed).
constexpr std::size_t kDistancesMinDims = 8;
// Narrower rows of at least this many features keep it too where the pass
// does not sum the inertia itself and the carried bounds are kept: the keep
// test measures every distance the inertia needs, and the buffer takes them
// over instead of a loop of its own reading the samples again. From 4
// features the buffer and the bounds (a double each per sample) stay within
// half the input (docs/tuning.md).
constexpr std::size_t kNarrowDistancesMinDims = 4;

bool pass_sums_inertia(std::size_t n, std::size_t k) {
    return n >= kPassSumsInertiaFrom && k <= kPassSumsInertiaMaxCentres;
}

// With more centres, such a pass sums the inertia itself once the last pass
// scored at most 1 / kSettledShare of the samples against every centre: the
// bounds then keep most labels, labelling costs little beside the inertia,
// and a loop of its own would read the samples again (docs/tuning.md).
constexpr std::size_t kSettledShare = 2;

bool settled_pass_sums_inertia(std::size_t n, std::size_t last_scored) {
    return n >= kPassSumsInertiaFrom && last_scored <= n / kSettledShare;
}

bool same_rows(const CentreMatrix& a, const CentreMatrix& b, std::size_t c) {
    return std::memcmp(a.row(c), b.row(c), a.cols * sizeof(double)) == 0;
}

}  // namespace

LloydLoop::LloydLoop(const SampleMatrix& x, std::size_t k)
    : x_(x),
      labels_(make_buffer<std::uint64_t>(x.n_rows, 0)),
      sums_(x, k),
      changed_(make_buffer<std::uint8_t>(k, 0)),
      mean_(make_buffer<std::uint8_t>(k, 0)),
      measured_(make_buffer<std::uint8_t>(k, 0)),
      redo_(make_buffer<std::uint8_t>(k, 0)) {
    // Rows of fewer than 8 features keep the bounds (one double per sample,
    // at most half the input from 2 features) where the filter will label
    // (it leaves the bounds), or where the exact kernels leave bounds (every
    // width from 2 unless a test turns them off); each pass measures the
    // distances the keep test needs itself. Where the pass sums the inertia
    // too (kPassSumsInertiaFrom) they cost less to read again than the
    // distances' buffer does to write and read back; elsewhere rows of 4 to 7
    // features keep the buffer as well.
    const bool narrow_bounds = x.n_rows != 0 && x.n_cols >= kExactBoundsMinDims &&
                               (filter_worthwhile(x.n_rows, x.n_cols, k, x.n_cols) ||
                                testing::exact_bounds_in_fits() != testing::ExactBoundsInFits::Never);
    const bool narrow_distances = narrow_bounds && x.n_cols >= kNarrowDistancesMinDims &&
                                  x.n_cols < kDistancesMinDims && !pass_sums_inertia(x.n_rows, k);
    try {
        if (x.n_rows != 0 && (x.n_cols >= kDistancesMinDims || narrow_distances))
            distances_ = make_buffer<double>(x.n_rows, 0.0);
        if (!distances_.empty() || narrow_bounds) lower_ = make_buffer<double>(x.n_rows, 0.0);
    } catch (const std::bad_alloc&) {
        // Both optional: the inertia then takes a pass of its own. Narrow
        // rows keep the distances only beside the bounds.
        lower_.clear();
        if (x.n_cols < kDistancesMinDims) distances_.clear();
    }
}

void LloydLoop::take_labels(const std::uint32_t* seeded, std::uint8_t* changed) {
    const std::size_t n = x_.n_rows;
    const std::size_t k = changed_.size();
    std::uint32_t largest = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t label = seeded[i];
        labels_[i] = label;
        largest = largest < label ? label : largest;
    }
    if (largest >= k) label_out_of_range();
    if (changed == nullptr || largest == 0) return;
    changed[0] = 1;
    for (std::size_t i = 0; i < n; ++i) changed[seeded[i]] = 1;
}

// Clusters no sample joins or leaves. A centre is the left-to-right sum of
// its members in sample order from +0.0, divided by their count; when no
// sample joined or left cluster c in a pass, its members, their order and so
// every operand of that sum are those of the update before, so the sum, the
// count and the centre come out bit for bit as they did then. That centre is
// at hand (the pass's own input) unless it was no mean: a seed, or the
// sample an empty cluster took; `mean_` says which. Such clusters are not
// summed when the pass leaves its sums to the loop (chosen when the last
// pass changed clusters holding fewer than half the samples: their rows are
// then read again, after the labelling, for fewer samples than a full
// update reads), and their centres are taken over.
// The distances: a sample of a cluster no sample joined in the last pass had
// its label before that pass too, so the distance step 1 measured (or kept)
// for it there is its distance to that pass's centre; where the next pass's
// centre has the same bits, the same operations on the same operands would
// measure the same distance again.
bool LloydLoop::run(CentreMatrix& centres, runtime::RandomSource& rng, std::uint64_t max_iters, double tol,
                    KMeansModel& record, const InterruptCheck& interrupted, std::unique_ptr<std::uint32_t[]> seeded) {
    const std::size_t n = x_.n_rows;
    const std::size_t d = x_.n_cols;
    const std::size_t k = centres.rows;
    double prev_inertia = std::numeric_limits<double>::infinity();
    std::uint64_t t = 0;
    CentreMatrix updated;
    double* dist = distances_.empty() ? nullptr : distances_.data();
    const double inf = std::numeric_limits<double>::infinity();
    const CentreMoves no_move{inf, 0, inf};
    const CarriedBounds* carried = lower_.empty() ? nullptr : &bounds_;
    // The filter leaves bounds in every pass; the exact kernels by width.
    const testing::ExactBoundsInFits when = testing::exact_bounds_in_fits();
    const bool exact = when == testing::ExactBoundsInFits::Always ||
                       (when == testing::ExactBoundsInFits::ByWidth && d >= kExactBoundsMinDims);
    bounds_ = CarriedBounds{lower_.data(), no_move, exact};
    // Clusters are followed where the distances' buffer is kept on rows of 8
    // or more features; on narrower rows copying and comparing each piece's
    // labels costs more than the sums it saves (docs/tuning.md), and only
    // tests turn it on.
    const testing::UnchangedClusters unchanged = testing::unchanged_clusters();
    const bool track =
        k != 0 && changed_.size() == k &&
        (unchanged == testing::UnchangedClusters::Always ||
         (unchanged == testing::UnchangedClusters::Automatic && dist != nullptr && d >= kDistancesMinDims));
    std::fill(mean_.begin(), mean_.end(), std::uint8_t{0});
    // Whether the last pass left its sums to the loop (and so the next
    // finish takes the unflagged centres over), and whether it measured
    // `dist` against its input (measured_ is then set for the next pass).
    bool defer = track && unchanged == testing::UnchangedClusters::Always;
    bool dist_measured = false;
    // Whether the last pass left bounds the next one may use (a pass that
    // took the seeding's labels left none), and how far the centres moved
    // since for the next pass.
    bool bounded = true;
    auto moves_since = [&](const CentreMatrix& from, const CentreMatrix& to) {
        return carried != nullptr && bounded ? largest_moves(from, to, d) : no_move;
    };
    // One pass over `input`, its sums complete afterwards but for the
    // clusters whose centres finish takes over (those of redo_ not set).
    auto pass = [&](const CentreMatrix& input, double* distances, double* inertia) {
        ClusterChanges changes{changed_.data(), dist_measured ? measured_.data() : nullptr, defer};
        if (track) std::fill(changed_.begin(), changed_.end(), std::uint8_t{0});
        if (!defer) sums_.clear();
        if (seeded) {
            // The labels of a pass over `input` from the seeding: the same
            // labels, so the same sums and the same clusters flagged as
            // having changed (every sample starts in cluster 0); no bounds.
            take_labels(seeded.get(), track ? changed_.data() : nullptr);
            seeded.reset();
            testing::count_seeded_pass();
            if (!defer) sums_.add(labels_.data(), 0, n);
            storage_.last_scored = n;
            bounded = false;
        } else {
            lloyd_pass(x_, input, labels_, distances, sums_, carried, &storage_, inertia, track ? &changes : nullptr);
            bounded = true;
        }
        dist_measured = distances != nullptr;
        if (!defer) return;
        for (std::size_t c = 0; c < k; ++c) redo_[c] = changed_[c] != 0 || mean_[c] == 0;
        sums_.clear(redo_.data());
        // Each sum is its cluster's chain in sample order, however the range
        // is cut: all the samples at once.
        sums_.add(labels_.data(), 0, n, redo_.data());
    };
    pass(centres, nullptr, nullptr);
    for (;;) {
        if (defer)
            sums_.finish(rng, updated, &centres, redo_.data());
        else
            sums_.finish(rng, updated);
        t += 1;
        if (track) {
            // What the pass just run says of the next one.
            const std::vector<std::uint64_t>& counts = sums_.counts();
            std::size_t moving = 0;
            for (std::size_t c = 0; c < k; ++c) {
                mean_[c] = counts[c] != 0;
                if (changed_[c] != 0 || mean_[c] == 0) moving += counts[c];
                measured_[c] = changed_[c] == 0 && same_rows(updated, centres, c);
            }
            defer = unchanged == testing::UnchangedClusters::Always || 2 * moving < n;
        }
        // The inertia of iteration t is taken against the updated centres;
        // unless this is the last iteration, the pass that measures it also
        // labels the samples for iteration t + 1 (wasted if it converges).
        // Without the distances' buffer (rows of fewer than 8 features) the
        // pass sums the inertia itself, as compute_inertia does, when the
        // leaves of that sum are long enough for the labelling (with more
        // than 16 centres, once the bounds keep most labels); with it, the
        // inertia is the same tree's sum of the distances the pass measured.
        double inertia;
        const bool fused =
            t != max_iters && (dist != nullptr || pass_sums_inertia(x_.n_rows, centres.rows) ||
                               (carried != nullptr && settled_pass_sums_inertia(x_.n_rows, storage_.last_scored)));
        if (fused) {
            bounds_.moves = moves_since(centres, updated);
            pass(updated, dist, dist == nullptr ? &inertia : nullptr);
            if (dist != nullptr) inertia = sum_distances(dist, x_.n_rows);
        } else {
            inertia = compute_inertia(x_, labels_, updated);
        }
        record.n_iter_ = t;
        record.inertia_ = inertia;
        std::swap(centres, updated);
        // Strict, ordered: a NaN on either side never converges, and the
        // first iteration cannot (prev_inertia is +infinity).
        if (std::fabs(prev_inertia - inertia) < tol) return true;
        prev_inertia = inertia;
        if (t == max_iters) return true;
        if (interrupted && interrupted()) return false;
        if (!fused) {
            // `updated` now holds the centres the bounds were taken against.
            bounds_.moves = moves_since(updated, centres);
            pass(centres, nullptr, nullptr);
        }
    }
}

}  // namespace corvalinth::kmeans
