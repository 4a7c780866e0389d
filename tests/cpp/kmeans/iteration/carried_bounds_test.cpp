// Bounds carried across iterations: the certified centre movement, the lower
// bounds the filter leaves and their decay, the test that keeps a label, and
// whole fits that skip scoring yet match the plain reference bit for bit. The
// fault-injection case ignores the movement and must then go wrong.
#include "kmeans/iteration/carried_bounds.hpp"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <utility>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/assignment/filtered_labels.hpp"
#include "kmeans/fit.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/cpu/float_mode.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::blobs;
using testing::Layout;
using testing::Samples;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

long double true_distance(const double* a, const double* b, std::size_t d) {
    long double s = 0.0L;
    for (std::size_t j = 0; j < d; ++j) {
        const long double e = static_cast<long double>(a[j]) - static_cast<long double>(b[j]);
        s += e * e;
    }
    return std::sqrt(s);
}

// ---- the movement bound ----

TEST(CentreMoves, BoundEachCentreTightlyAndNameTheLargest) {
    std::mt19937_64 gen(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    for (const std::size_t d : {1u, 3u, 16u, 300u}) {
        for (const double scale : {1e-140, 1e-3, 1.0, 1e120}) {
            const std::size_t k = 9;
            CentreMatrix before{k, d, std::vector<double>(k * d)}, after{k, d, std::vector<double>(k * d)};
            for (double& v : before.values) v = normal(gen) * scale;
            for (std::size_t i = 0; i < k * d; ++i) after.values[i] = before.values[i] + normal(gen) * scale * 1e-3;
            const CentreMoves m = largest_moves(before, after, d);
            long double most = 0.0L, rest = 0.0L;
            std::size_t at = 0;
            for (std::size_t c = 0; c < k; ++c) {
                const long double t = true_distance(before.row(c), after.row(c), d);
                if (t > most)
                    rest = most, most = t, at = c;
                else if (t > rest)
                    rest = t;
            }
            EXPECT_EQ(m.largest_at, at);
            EXPECT_GE(static_cast<long double>(m.largest), most) << d << " " << scale;
            EXPECT_GE(static_cast<long double>(m.other), rest) << d << " " << scale;
            EXPECT_LE(static_cast<long double>(m.largest), most * (1.0L + 1e-12L) + 1e-150L);
            EXPECT_EQ(m.except(at), m.other);
            EXPECT_EQ(m.except(at == 0 ? 1 : 0), m.largest);
        }
    }
}

TEST(CentreMoves, UnboundedWhenAnythingIsNotFinite) {
    for (const double bad : {kNaN, kInf, 1e200}) {
        CentreMatrix before{2, 2, {0.0, 0.0, 1.0, 1.0}}, after{2, 2, {0.0, 0.0, 1.0, 1.0}};
        after.values[3] = bad;
        if (bad == 1e200) before.values[3] = -1e200;  // the square overflows
        const CentreMoves m = largest_moves(before, after, 2);
        EXPECT_EQ(m.largest, kInf) << bad;
        EXPECT_EQ(m.except(0), kInf) << bad;
    }
    const CentreMatrix same{3, 1, {1.0, 2.0, 3.0}};
    const CentreMoves still = largest_moves(same, same, 1);
    EXPECT_GT(still.largest, 0.0);  // the absolute part of the bound
    EXPECT_LT(still.largest, 1e-140);
}

// ---- decay and the keep test ----

TEST(CarriedBounds, DecayNeverOvershoots) {
    std::mt19937_64 gen(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int r = 0; r < 20000; ++r) {
        const double lower = std::ldexp(u(gen) + 0.5, static_cast<int>(gen() % 400) - 200);
        const double move = lower * u(gen) * 1.2;
        const double got = moved_lower_bound(lower, move);
        const long double rest = static_cast<long double>(lower) - move;
        EXPECT_LE(static_cast<long double>(got), rest > 0.0L ? rest : 0.0L);
        EXPECT_GE(got, 0.0);
    }
    EXPECT_EQ(moved_lower_bound(1.0, 1.0), 0.0);
    EXPECT_EQ(moved_lower_bound(kNaN, 0.0), 0.0);
    EXPECT_EQ(moved_lower_bound(1.0, kInf), 0.0);
    EXPECT_EQ(moved_lower_bound(0x1p-899, 0.0), 0.0);
    EXPECT_GT(moved_lower_bound(3.0, 1.0), 1.999999999);
}

TEST(CarriedBounds, KeepsALabelOnlyWithRoomForRounding) {
    EXPECT_TRUE(keeps_label(2.0, 3.99, 4));
    // 2^2 = 4: another centre at true distance 2 could have a computed
    // squared distance of 4 too, and the lower index would win a tie.
    EXPECT_FALSE(keeps_label(2.0, 4.0, 4));
    EXPECT_FALSE(keeps_label(2.0, std::nextafter(4.0, 0.0), 4));
    EXPECT_FALSE(keeps_label(2.0, 4.0 * (1.0 - 4.0 * 0x1p-53), 64));
    EXPECT_FALSE(keeps_label(2.0, kNaN, 4));
    EXPECT_FALSE(keeps_label(kNaN, 1.0, 4));
    EXPECT_FALSE(keeps_label(0.0, 0.0, 4));
    EXPECT_FALSE(keeps_label(0x1p-501, 0.0, 4));  // lower^2 would underflow
    EXPECT_FALSE(keeps_label(0x1p501, 1.0, 4));  // lower^2 could overflow
    EXPECT_TRUE(keeps_label(0x1p-499, 0.0, 4));
}

// ---- the bounds the filter leaves ----

// Every certified bound lies below the true distance to every other centre,
// on data where the filter's margin matters: Gaussian, offset by 1e8, tiny,
// huge, integer grids with duplicates, samples far from the centres' mean.
TEST(FilterLowerBounds, NeverAboveTheTrueDistanceToAnotherCentre) {
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> grid(-3, 3);
    struct Kind {
        double offset, scale;
        bool integers, far;
    };
    for (const Kind kind : {Kind{0.0, 1.0, false, false}, Kind{1e8, 1.0, false, false}, Kind{0.0, 1e-150, false, false},
                            Kind{0.0, 1e140, false, false}, Kind{0.5, 1.0, true, false}, Kind{0.0, 1.0, false, true}}) {
        // 24 centres: the float32 stage decides most samples; 10 centres on
        // 130 coordinates: the float64 filter alone.
        for (const auto& [d, k] : {std::pair<std::size_t, std::size_t>{8, 24}, {33, 24}, {130, 24}, {130, 10}}) {
            const std::size_t n = 600;
            auto draw = [&] {
                return kind.integers ? grid(gen) + kind.offset : normal(gen) * kind.scale + kind.offset;
            };
            std::vector<double> v(n * d);
            for (double& e : v) e = draw();
            CentreMatrix c{k, d, std::vector<double>(k * d)};
            for (double& e : c.values) e = draw();
            if (kind.far) {
                // Samples and half the centres near a point far from the
                // centres' mean: large norms, small distances, so the
                // scores' rounding is large against the distances.
                for (std::size_t i = 0; i < n * d; i += d) v[i] += 1e4;
                for (std::size_t r = 0; r < k; ++r) c.row(r)[0] += r % 2 == 0 ? 1e4 : -1e4;
            }
            const Samples x(v, n, d);
            const CentreLabeller labeller(x, c);
            ASSERT_TRUE(labeller.certifies());
            std::vector<std::uint64_t> labels(n);
            std::vector<double> lower(n, -1.0);
            labeller.label(x, 0, n, labels.data(), lower.data());
            EXPECT_EQ(labels, testing::reference_labels(x, c));
            std::size_t useful = 0;
            for (std::size_t i = 0; i < n; ++i) {
                ASSERT_GE(lower[i], 0.0);
                useful += lower[i] > 0.0;
                for (std::size_t r = 0; r < k; ++r) {
                    if (r == labels[i]) continue;
                    ASSERT_LE(static_cast<long double>(lower[i]), true_distance(x.view().row(i), c.row(r), d))
                        << "sample " << i << " centre " << r << " d " << d << " offset " << kind.offset;
                }
            }
            // Squared distances below 2^-900 get no bound at all (tiny data).
            if (!kind.integers && kind.scale >= 1.0) {
                EXPECT_GT(useful, n / 2) << "d " << d << " offset " << kind.offset << " scale " << kind.scale;
            }
        }
    }
}

// ---- flush-to-zero ----

// A thread that flushes subnormals (as -ffast-math libraries make it) gets no
// certified decisions and no bounds: the exact kernel labels every sample.
TEST(FlushToZero, FiltersStandAside) {
    const unsigned saved = _mm_getcsr();
    struct Restore {
        unsigned mode;
        ~Restore() { _mm_setcsr(mode); }
    } restore{saved};
    ASSERT_FALSE(runtime::subnormals_flushed());
    std::mt19937_64 gen(13);
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t n = 512, d = 16, k = 32;
    std::vector<double> v(n * d);
    // Ordinary data, which the filter decides in either mode: it must still
    // stand aside.
    for (double& e : v) e = normal(gen);
    CentreMatrix c{k, d, std::vector<double>(k * d)};
    for (double& e : c.values) e = normal(gen);
    const Samples x(v, n, d);
    const auto filter = FilterPanel::prepare(c, d);
    ASSERT_TRUE(filter.has_value());
    const CentrePanel exact(c, d);
    std::vector<std::uint64_t> labels(n);
    std::vector<double> lower(n, -1.0);
    ASSERT_GT(filtered_nearest_centres(x, 0, n, *filter, exact, labels.data(), FilterOutputs{lower.data()}), 0u);
    for (const unsigned bits : {1u << 15, 1u << 6, (1u << 15) | (1u << 6)}) {
        _mm_setcsr(saved | bits);
        EXPECT_TRUE(runtime::subnormals_flushed());
        EXPECT_EQ(filtered_nearest_centres(x, 0, n, *filter, exact, labels.data(), FilterOutputs{lower.data()}), 0u)
            << bits;
        std::vector<std::uint64_t> want(n);
        nearest_centres(x, 0, n, exact, want.data());
        EXPECT_EQ(labels, want);
        for (const double l : lower) EXPECT_EQ(l, 0.0);
        _mm_setcsr(saved);
    }
    EXPECT_FALSE(runtime::subnormals_flushed());
}

// ---- whole fits ----

struct FitCase {
    std::size_t n, d, k, groups;
    double spread, offset;
    bool integers;
    Layout layout;
};

// Fits x as the plain reference does, bit for bit (centres, n_iter, and the
// inertia up to its last bits unless told not to); returns how many labels
// the bounds kept.
std::uint64_t fit_matches_reference(const Samples& x, std::size_t k, std::uint64_t iters, std::uint64_t seed,
                                    bool check_inertia = true) {
    const std::uint64_t kept_before = testing::kept_label_count();
    KMeansModel m;
    m.params = KMeansParams{k, iters, 0.0, seed};
    EXPECT_FALSE(fit(m, x, nullptr).has_value());
    if (!m.cluster_centers_) return 0;
    const auto ref = testing::reference_fit(x, k, iters, seed);
    EXPECT_EQ(m.n_iter_, ref.n_iter);
    EXPECT_EQ(testing::centre_mismatch(*m.cluster_centers_, ref.centres), "");
    if (check_inertia) EXPECT_NEAR(m.inertia_, ref.last_inertia, std::abs(ref.last_inertia) * 1e-12);
    return testing::kept_label_count() - kept_before;
}

class CarriedBoundsFit : public ::testing::TestWithParam<FitCase> {};

TEST_P(CarriedBoundsFit, SkipsScoringAndMatchesTheReference) {
    const auto& p = GetParam();
    const auto v = blobs(p.n + p.d, p.n, p.d, p.groups, p.spread, p.offset, p.integers);
    const Samples x(v, p.n, p.d, p.layout);
    EXPECT_GT(fit_matches_reference(x, p.k, 25, 17), p.n) << "the bounds never kept a label";
}

INSTANTIATE_TEST_SUITE_P(Blobs, CarriedBoundsFit,
                         ::testing::Values(FitCase{3000, 8, 16, 12, 1.0, 0.0, false, Layout::RowMajor},
                                           FitCase{3000, 8, 16, 12, 1.0, 0.0, false, Layout::ColumnMajor},
                                           FitCase{2000, 20, 24, 20, 2.0, 1e8, false, Layout::ReversedRows},
                                           FitCase{2000, 12, 20, 6, 1.0, 0.5, true, Layout::PaddedRows},
                                           FitCase{1500, 130, 5, 5, 3.0, 0.0, true, Layout::RowMajor},
                                           FitCase{1500, 40, 64, 30, 0.5, -3e5, false, Layout::ReversedBoth}));

// Rows of 1 to 7 features: bounds from the exact kernels (and, from 256
// centres, from the float32 stage); every fit equal to the plain reference
// bit for bit. Near-ties (centres seeded on duplicated integer points), huge
// and tiny scales, every layout kind, and a NaN, after which no bound may be
// used. Rows of one feature keep no bounds.
struct NarrowCase {
    std::size_t n, d, k, groups;
    double spread, offset, scale;
    bool integers, nan;
    Layout layout;
};

class NarrowBoundsFit : public ::testing::TestWithParam<NarrowCase> {};

// Turns the exact kernels' bounds on for one scope.
struct ExactBoundsOn {
    ExactBoundsOn() { testing::set_exact_bounds_in_fits(testing::ExactBoundsInFits::Always); }
    ~ExactBoundsOn() { testing::set_exact_bounds_in_fits(testing::ExactBoundsInFits::ByWidth); }
};

TEST_P(NarrowBoundsFit, SkipsScoringAndMatchesTheReference) {
    const auto& p = GetParam();
    const ExactBoundsOn exact_bounds;
    auto v = blobs(p.n * 3 + p.d, p.n, p.d, p.groups, p.spread, p.offset, p.integers);
    for (double& e : v) e *= p.scale;
    if (p.nan) v[(p.n / 2) * p.d + p.d - 1] = kNaN;
    const Samples x(v, p.n, p.d, p.layout);
    const std::uint64_t kept = fit_matches_reference(x, p.k, 30, 23, !p.nan);
    if (p.d == 1 || p.nan)
        EXPECT_EQ(kept, 0u);
    else
        EXPECT_GT(kept, 5 * p.n) << "the bounds kept too few labels";
}

INSTANTIATE_TEST_SUITE_P(
    Blobs, NarrowBoundsFit,
    ::testing::Values(NarrowCase{3000, 1, 5, 5, 1.0, 0.0, 1.0, false, false, Layout::RowMajor},
                      NarrowCase{3000, 2, 3, 3, 1.0, 0.0, 1.0, false, false, Layout::RowMajor},
                      NarrowCase{3000, 2, 8, 8, 1.0, 0.0, 1.0, false, false, Layout::ColumnMajor},
                      NarrowCase{3000, 3, 16, 16, 2.0, 1e8, 1.0, false, false, Layout::ReversedRows},
                      NarrowCase{3000, 3, 64, 40, 0.5, 0.0, 1.0, false, false, Layout::PaddedRows},
                      NarrowCase{2000, 4, 12, 6, 1.0, 0.5, 1.0, true, false, Layout::RowMajor},
                      NarrowCase{2000, 4, 20, 12, 1.0, 0.0, 1e-120, false, false, Layout::ReversedBoth},
                      NarrowCase{2000, 5, 9, 9, 1.0, 0.0, 1e140, false, false, Layout::Strided},
                      NarrowCase{2000, 5, 33, 20, 1.0, 0.5, 1.0, true, false, Layout::ColumnMajor},
                      NarrowCase{2000, 6, 7, 7, 1.0, -3e5, 1.0, false, false, Layout::ReversedColumnMajor},
                      NarrowCase{2000, 7, 17, 10, 1.0, 0.0, 1.0, false, false, Layout::ReversedCols},
                      NarrowCase{2000, 7, 40, 30, 0.5, 0.0, 1.0, true, false, Layout::RowMajor},
                      NarrowCase{4000, 3, 300, 60, 0.5, 0.0, 1.0, false, false, Layout::RowMajor},
                      NarrowCase{1500, 3, 10, 10, 1.0, 0.0, 1.0, false, true, Layout::RowMajor}));

// The inertia a fit reports, and the one its stop on tol compares, is its
// last iteration's bit for bit: every sample's distance to its new centre
// under the labels it was summed with, added as compute_inertia adds them,
// whichever loop measured the distances (the keep test's kernel into the
// distances' buffer on rows of 4 to 7 features, the inertia's own loop on
// narrower rows, the kernels' tiles from 8). Each fit stops on a tol that
// lies between the change of inertia of the iteration it must stop at and
// the smallest change before it, so the reported inertia is the one the pass that
// labels the next iteration measured, and a stop one iteration early or late
// shows an inertia taken wrongly. With the vector keep test and the scalar
// one (on wider rows the vector kernel tests the distances measured). The data are below the inline thresholds, so both sums take the
// calling thread's tree.
struct InertiaCase {
    std::size_t n, d, k;
    Layout layout;
};

class FitInertia : public ::testing::TestWithParam<InertiaCase> {};

TEST_P(FitInertia, IsTheLastIterationsBitForBit) {
    const auto& p = GetParam();
    struct Restore {
        ~Restore() { testing::set_vector_keep_test(true); }
    } restore;
    const auto v = testing::random_values(5 + p.d, p.n, p.d, p.n);
    const Samples x(v, p.n, p.d, p.layout);
    constexpr std::uint64_t kIters = 14;
    // The iterations' inertias, each of the labels of the centres before.
    std::vector<double> inertia;
    CentreMatrix before = testing::reference_fit(x, p.k, 0, 41).centres;
    for (std::uint64_t t = 1; t <= kIters; ++t) {
        const auto after = testing::reference_fit(x, p.k, t, 41).centres;
        inertia.push_back(compute_inertia(x, testing::reference_labels(x, before), after));
        before = after;
    }
    std::size_t stops = 0;
    for (std::uint64_t t = 2; t < kIters; ++t) {
        const double change = std::fabs(inertia[t - 2] - inertia[t - 1]);
        double earlier = kInf;
        for (std::uint64_t s = 2; s < t; ++s) earlier = std::min(earlier, std::fabs(inertia[s - 2] - inertia[s - 1]));
        if (!(change > 0.0 && earlier > change)) continue;
        stops += 1;
        for (const bool vector : {true, false}) {
            testing::set_vector_keep_test(vector);
            KMeansModel m;
            m.params = KMeansParams{p.k, 100, change + (earlier - change) / 2, 41};
            ASSERT_FALSE(fit(m, x, nullptr).has_value());
            EXPECT_EQ(m.n_iter_, t) << (vector ? "" : "scalar keep test");
            EXPECT_EQ(testing::bits(m.inertia_), testing::bits(inertia[t - 1]))
                << t << " iterations" << (vector ? "" : ", scalar keep test");
        }
    }
    EXPECT_GE(stops, 2u) << "too few iterations to stop at";
}

INSTANTIATE_TEST_SUITE_P(
    Widths, FitInertia,
    ::testing::Values(InertiaCase{3000, 2, 7, Layout::RowMajor}, InertiaCase{3000, 3, 9, Layout::ColumnMajor},
                      InertiaCase{3000, 4, 3, Layout::RowMajor}, InertiaCase{2500, 4, 20, Layout::ReversedRows},
                      InertiaCase{2000, 5, 9, Layout::Strided}, InertiaCase{2000, 6, 17, Layout::ColumnMajor},
                      InertiaCase{1500, 7, 40, Layout::PaddedRows}, InertiaCase{1000, 7, 5, Layout::ReversedBoth},
                      InertiaCase{1000, 9, 12, Layout::RowMajor}, InertiaCase{1200, 16, 40, Layout::ColumnMajor},
                      InertiaCase{700, 33, 9, Layout::PaddedRows}));

// Where the exact kernels leave bounds in a fit (rows of 1, 3, 6, 8 and 64
// features, few centres, where no filter labels): by default on rows of 2 or
// more features (never on one), on every width, or never. Each fit equals
// the reference, and the bounds keep labels exactly where they are on.
struct ModeCase {
    testing::ExactBoundsInFits when;
    std::size_t d, k;
    bool keeps;
};

class ExactBoundsMode : public ::testing::TestWithParam<ModeCase> {};

TEST_P(ExactBoundsMode, KeepLabelsWhereOnAndMatchTheReference) {
    const auto& p = GetParam();
    struct Restore {
        ~Restore() { testing::set_exact_bounds_in_fits(testing::ExactBoundsInFits::ByWidth); }
    } restore;
    testing::set_exact_bounds_in_fits(p.when);
    const auto v = blobs(11 + p.d, 3000, p.d, p.k, 2.0, 0.0, false);
    const Samples x(v, 3000, p.d);
    const std::uint64_t kept = fit_matches_reference(x, p.k, 30, 23);
    if (p.keeps)
        EXPECT_GT(kept, 10 * 3000u) << "the bounds kept too few labels";
    else
        EXPECT_EQ(kept, 0u);
}

using Mode = testing::ExactBoundsInFits;
INSTANTIATE_TEST_SUITE_P(Modes, ExactBoundsMode,
                         ::testing::Values(ModeCase{Mode::ByWidth, 3, 16, true}, ModeCase{Mode::ByWidth, 6, 12, true},
                                           ModeCase{Mode::ByWidth, 1, 5, false}, ModeCase{Mode::ByWidth, 8, 8, true},
                                           ModeCase{Mode::ByWidth, 64, 10, true}, ModeCase{Mode::Always, 3, 16, true},
                                           ModeCase{Mode::Always, 64, 10, true}, ModeCase{Mode::Never, 3, 16, false},
                                           ModeCase{Mode::Never, 8, 8, false}));

// Fault injection: bounds that ignore how far the centres moved keep labels
// they must not, and the fit leaves the reference.
TEST(CarriedBoundsFit, IgnoringTheMovementGoesWrong) {
    struct Restore {
        ~Restore() { testing::set_move_scale(1.0); }
    } restore;
    testing::set_move_scale(0.0);
    std::size_t wrong = 0;
    for (std::uint64_t seed = 1; seed <= 4; ++seed) {
        const auto v = blobs(seed, 2000, 8, 10, 4.0, 0.0, false);
        const Samples x(v, 2000, 8);
        KMeansModel m;
        m.params = KMeansParams{20, 15, 0.0, seed};
        ASSERT_FALSE(fit(m, x, nullptr).has_value());
        const auto ref = testing::reference_fit(x, 20, 15, seed);
        wrong += testing::centre_mismatch(*m.cluster_centers_, ref.centres) != "";
    }
    EXPECT_GT(wrong, 0u);
}

// The same where the bounds come from the exact kernels: rows of 2, 3, 6 and
// 12 features, 16 or 20 centres (and 8 and 12 on 3 features: the vector keep test's
// lookups by one and by two permutes), each width on its own, the keep test
// of narrow rows in the vector kernel and in the scalar code.
TEST(NarrowBoundsFit, IgnoringTheMovementGoesWrong) {
    struct Restore {
        ~Restore() {
            testing::set_move_scale(1.0);
            testing::set_vector_keep_test(true);
        }
    } restore;
    testing::set_move_scale(0.0);
    const ExactBoundsOn exact_bounds;
    struct Width {
        std::size_t d, k;
        bool vector;
    };
    for (const Width w :
         {Width{2, 20, true}, Width{3, 20, true}, Width{3, 8, true}, Width{3, 12, true}, Width{6, 16, true},
          Width{12, 20, true}, Width{2, 20, false}, Width{3, 20, false}, Width{12, 20, false}}) {
        testing::set_vector_keep_test(w.vector);
        const std::size_t d = w.d;
        std::size_t wrong = 0;
        for (std::uint64_t seed = 1; seed <= 3; ++seed) {
            const auto v = blobs(seed, 2000, d, 10, 4.0, 0.0, false);
            const Samples x(v, 2000, d);
            KMeansModel m;
            m.params = KMeansParams{w.k, 15, 0.0, seed};
            ASSERT_FALSE(fit(m, x, nullptr).has_value());
            const auto ref = testing::reference_fit(x, w.k, 15, seed);
            wrong += testing::centre_mismatch(*m.cluster_centers_, ref.centres) != "";
        }
        EXPECT_GT(wrong, 0u) << d << " features, " << w.k << " centres" << (w.vector ? "" : ", scalar keep test");
    }
}

}  // namespace
}  // namespace corvalinth::kmeans
