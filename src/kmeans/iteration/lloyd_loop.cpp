// The Lloyd loop of a fit, with the inertia of one iteration fused into the pass that labels the next.
#include "kmeans/iteration/lloyd_loop.hpp"

#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "kmeans/assignment/filter_policy.hpp"
#include "kmeans/base/buffers.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/iteration/lloyd_pass.hpp"
#include "kmeans/testing/knobs.hpp"

namespace corvalinth::kmeans {

namespace {

// Where no filter labels, the exact kernels leave bounds on rows of 8 or more
// features from the first pass; on narrower rows tracking the second
// distance and the keep test cost more than the scoring they save, and they
// run only where a test turns them on (docs/tuning.md).
constexpr std::size_t kExactBoundsMinDims = 8;

// Samples from which, and centres up to which, a pass without the distances'
// buffer sums the inertia itself: the sum's tree cuts the pass into up to 16
// ranges per two workers (more with more workers), ranges of a few hundred
// samples label slowly, and where labelling costs much more than the inertia
// the finer ranges of a pass block by block share the work out better
// (docs/tuning.md).
constexpr std::size_t kPassSumsInertiaFrom = std::size_t{1} << 15;
constexpr std::size_t kPassSumsInertiaMaxCentres = 16;

}  // namespace

LloydLoop::LloydLoop(const SampleMatrix& x, std::size_t k)
    : x_(x), labels_(make_buffer<std::uint64_t>(x.n_rows, 0)), sums_(x, k) {
    // Rows of fewer than 8 features cost less to read again than the
    // distances' buffer does to write and read back: they keep the bounds
    // alone (one double per sample, at most half the input from 2 features),
    // and each pass measures the distances the keep test needs itself. They
    // are kept where the filter will label (it leaves the bounds), or where
    // the exact kernels' bounds are turned on.
    const bool narrow_bounds = x.n_rows != 0 && x.n_cols >= 2 &&
                               (filter_worthwhile(x.n_rows, x.n_cols, k, x.n_cols) ||
                                testing::exact_bounds_in_fits() == testing::ExactBoundsInFits::Always);
    try {
        if (x.n_rows != 0 && x.n_cols >= 8) distances_ = make_buffer<double>(x.n_rows, 0.0);
        if (!distances_.empty() || narrow_bounds) lower_ = make_buffer<double>(x.n_rows, 0.0);
    } catch (const std::bad_alloc&) {
        lower_.clear();  // both optional: the inertia then takes a pass of its own
    }
}

bool LloydLoop::run(CentreMatrix& centres, runtime::RandomSource& rng, std::uint64_t max_iters, double tol,
                    KMeansModel& record, const InterruptCheck& interrupted) {
    const std::size_t d = x_.n_cols;
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
    lloyd_pass(x_, centres, labels_, nullptr, sums_, carried, &storage_);
    for (;;) {
        sums_.finish(rng, updated);
        t += 1;
        // The inertia of iteration t is taken against the updated centres;
        // unless this is the last iteration, the pass that measures it also
        // labels the samples for iteration t + 1 (wasted if it converges).
        // Without the distances' buffer (rows of fewer than 8 features) the
        // pass sums the inertia itself, as compute_inertia does, when the
        // leaves of that sum are long enough for the labelling.
        double inertia;
        const bool fused =
            t != max_iters &&
            (dist != nullptr || (x_.n_rows >= kPassSumsInertiaFrom && centres.rows <= kPassSumsInertiaMaxCentres));
        if (fused) {
            sums_.clear();
            bounds_.moves = carried != nullptr ? largest_moves(centres, updated, d) : no_move;
            lloyd_pass(x_, updated, labels_, dist, sums_, carried, &storage_, dist == nullptr ? &inertia : nullptr);
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
            sums_.clear();
            // `updated` now holds the centres the bounds were taken against.
            bounds_.moves = carried != nullptr ? largest_moves(updated, centres, d) : no_move;
            lloyd_pass(x_, centres, labels_, nullptr, sums_, carried, &storage_);
        }
    }
}

}  // namespace corvalinth::kmeans
