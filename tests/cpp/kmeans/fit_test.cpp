#include "kmeans/fit.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <new>
#include <numeric>
#include <variant>
#include <vector>

#include "kmeans/predict.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::bits;
using testing::Layout;
using testing::Samples;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

KMeansModel model_with(std::uint64_t k, std::uint64_t max_iters, double tol, std::optional<std::uint64_t> seed) {
    KMeansModel m;
    m.params = KMeansParams{k, max_iters, tol, seed};
    return m;
}

const InterruptCheck kNever = [] { return false; };

std::vector<double> zero_to_nine() {
    std::vector<double> v(10);
    std::iota(v.begin(), v.end(), 0.0);
    return v;
}

// A model that already holds a fit, to check that failures leave it alone.
KMeansModel previously_fitted(std::uint64_t k, std::uint64_t max_iters, double tol, std::optional<std::uint64_t> seed) {
    KMeansModel m = model_with(k, max_iters, tol, seed);
    m.cluster_centers_ = CentreMatrix{1, 2, {-3.0, 4.0}};
    m.n_iter_ = 17;
    m.inertia_ = 2.75;
    return m;
}

void expect_previous_state(const KMeansModel& m) {
    ASSERT_TRUE(m.fitted());
    EXPECT_EQ(m.cluster_centers_->rows, 1u);
    EXPECT_EQ(m.cluster_centers_->values, (std::vector<double>{-3.0, 4.0}));
    EXPECT_EQ(m.n_iter_, 17u);
    EXPECT_EQ(m.inertia_, 2.75);
}

// ---- known answers ----

struct KnownFit {
    std::uint64_t k, max_iters;
    std::vector<double> centres;
    std::uint64_t n_iter;
    double inertia;
    std::vector<std::int32_t> labels;
};

class FitKnownAnswer : public ::testing::TestWithParam<std::tuple<KnownFit, Layout>> {};

// Seed 0, samples 0..9 as one feature (in every memory layout).
TEST_P(FitKnownAnswer, SeedZeroOnZeroToNine) {
    const auto& [p, layout] = GetParam();
    Samples x(zero_to_nine(), 10, 1, layout);
    KMeansModel m = model_with(p.k, p.max_iters, 1e-4, 0);
    ASSERT_FALSE(fit(m, x, kNever).has_value());
    ASSERT_TRUE(m.fitted());
    EXPECT_EQ(m.cluster_centers_->rows, p.k);
    EXPECT_EQ(m.cluster_centers_->cols, 1u);
    EXPECT_EQ(m.cluster_centers_->values, p.centres);
    EXPECT_EQ(m.n_iter_, p.n_iter);
    EXPECT_EQ(m.inertia_, p.inertia);
    if (!p.labels.empty()) {
        EXPECT_EQ(testing::predict_labels(m, x), p.labels);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FitKnownAnswer,
    ::testing::Combine(::testing::Values(KnownFit{2, 300, {6.5, 1.5}, 2, 22.5, {1, 1, 1, 1, 0, 0, 0, 0, 0, 0}},
                                         KnownFit{3, 300, {7.5, 1.5, 4.5}, 2, 10.5, {1, 1, 1, 1, 2, 2, 0, 0, 0, 0}},
                                         // max_iters = 0: the seeded centres, n_iter_/inertia_ untouched.
                                         KnownFit{2, 0, {7.0, 1.0}, 0, 0.0, {}},
                                         KnownFit{3, 0, {7.0, 1.0, 5.0}, 0, 0.0, {}},
                                         // One iteration: labels against 7 and 1, centres 6.5 and 1.5.
                                         KnownFit{2, 1, {6.5, 1.5}, 1, 22.5, {}}),
                       ::testing::ValuesIn(testing::kAllLayouts)));

TEST(Fit, MaxItersZeroKeepsEarlierIterationFields) {
    Samples x(zero_to_nine(), 10, 1);
    KMeansModel m = previously_fitted(2, 0, 1e-4, 0);
    ASSERT_FALSE(fit(m, x, kNever).has_value());
    EXPECT_EQ(m.cluster_centers_->values, (std::vector<double>{7.0, 1.0}));
    EXPECT_EQ(m.n_iter_, 17u);
    EXPECT_EQ(m.inertia_, 2.75);
}

TEST(Fit, TwoSeparatedGroupsConvergeAfterTwoIterations) {
    std::vector<double> v;
    for (int i = 0; i < 5; ++i) v.insert(v.end(), {0.0, 0.0});
    for (int i = 0; i < 5; ++i) v.insert(v.end(), {10.0, 10.0});
    for (std::uint64_t seed : {0ull, 1ull, 2ull, 3ull, 1000ull}) {
        Samples x(v, 10, 2);
        KMeansModel m = model_with(2, 300, 1e-4, seed);
        ASSERT_FALSE(fit(m, x, kNever).has_value());
        EXPECT_EQ(m.n_iter_, 2u);
        EXPECT_EQ(m.inertia_, 0.0);
        auto c = m.cluster_centers_->values;
        if (c[0] == 10.0) std::swap_ranges(c.begin(), c.begin() + 2, c.begin() + 2);
        EXPECT_EQ(c, (std::vector<double>{0.0, 0.0, 10.0, 10.0})) << "seed " << seed;
    }
}

// ---- failures ----

TEST(Fit, FewerSamplesThanClustersIsAValueError) {
    Samples x(zero_to_nine(), 10, 1);
    KMeansModel m = previously_fitted(11, 300, 1e-4, 0);
    auto err = fit(m, x, kNever);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->kind, EngineError::Kind::Value);
    EXPECT_EQ(err->message, "n_samples < n_clusters");
    expect_previous_state(m);

    // n = k is accepted.
    KMeansModel ok = model_with(10, 300, 1e-4, 0);
    EXPECT_FALSE(fit(ok, x, kNever).has_value());
}

// Without a seed the check comes first as well: no entropy is needed.
TEST(Fit, FewerSamplesThanClustersWithoutSeed) {
    Samples x(std::vector<double>{1.0}, 1, 1);
    KMeansModel m = model_with(2, 300, 1e-4, std::nullopt);
    auto err = fit(m, x, kNever);
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->message, "n_samples < n_clusters");
    EXPECT_FALSE(m.fitted());
}

struct SeedingFailure {
    std::size_t n;
    const char* message;
};

class FitSeedingFailure : public ::testing::TestWithParam<SeedingFailure> {};

TEST_P(FitSeedingFailure, LeavesTheModelUnchanged) {
    const auto& p = GetParam();
    std::vector<double> v(p.n * 2, 1.5);
    Samples x(v, p.n, 2);
    KMeansModel m = previously_fitted(0, 300, 1e-4, 0);
    EXPECT_EQ(testing::internal_failure_message([&] { fit(m, x, kNever); }), p.message);
    expect_previous_state(m);
}

INSTANTIATE_TEST_SUITE_P(ZeroClusters, FitSeedingFailure,
                         ::testing::Values(SeedingFailure{0, "cannot sample empty range"},
                                           SeedingFailure{1, "assertion failed: index < dim"},
                                           SeedingFailure{5, "assertion failed: index < dim"}));

// Sizes the caller controls (a zero-stride view can claim 2^62 rows) are
// checked: an impossible buffer is memory exhaustion, the model unchanged.
TEST(Fit, OversizedBuffersAreMemoryExhaustion) {
    std::vector<double> row(8, 1.0);
    const std::size_t huge = std::size_t{1} << 62;
    {
        SampleMatrix x{row.data(), huge, 8, 0, 1};  // k * d overflows
        KMeansModel m = previously_fitted(huge, 300, 1e-4, 0);
        EXPECT_THROW(fit(m, x, kNever), std::bad_alloc);
        expect_previous_state(m);
    }
    {
        SampleMatrix x{row.data(), huge, 0, 0, 1};  // n distances during seeding
        KMeansModel m = previously_fitted(2, 300, 1e-4, 0);
        EXPECT_THROW(fit(m, x, kNever), std::bad_alloc);
        expect_previous_state(m);
    }
    {
        SampleMatrix x{row.data(), huge, 0, 0, 1};  // n labels in the first iteration
        KMeansModel m = previously_fitted(1, 300, 1e-4, 0);
        EXPECT_THROW(fit(m, x, kNever), std::bad_alloc);
        expect_previous_state(m);
    }
}

// ---- interrupts ----

class FitInterrupt : public ::testing::TestWithParam<std::uint64_t> {};

// Stopping at the start of iteration m + 1: n_iter_ = m, inertia_ of
// iteration m, cluster_centers_ of the previous fit.
TEST_P(FitInterrupt, KeepsIterationFieldsAndPreviousCentres) {
    const std::uint64_t stop_after = GetParam();
    const auto v = testing::random_values(5, 200, 2, 200);
    Samples x(v, 200, 2);
    KMeansModel m = previously_fitted(4, 50, 0.0, 21);
    std::uint64_t calls = 0;
    auto err = fit(m, x, [&] { return calls++ == stop_after; });
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->kind, EngineError::Kind::Interrupted);
    EXPECT_EQ(calls, stop_after + 1);
    ASSERT_TRUE(m.fitted());
    EXPECT_EQ(m.cluster_centers_->values, (std::vector<double>{-3.0, 4.0}));
    if (stop_after == 0) {
        EXPECT_EQ(m.n_iter_, 17u);
        EXPECT_EQ(m.inertia_, 2.75);
        return;
    }
    EXPECT_EQ(m.n_iter_, stop_after);
    // The same fit capped at stop_after iterations reports the same inertia.
    KMeansModel capped = model_with(4, stop_after, 0.0, 21);
    ASSERT_FALSE(fit(capped, x, kNever).has_value());
    const auto ref = testing::reference_fit(x, 4, stop_after, 21);
    EXPECT_NEAR(m.inertia_, ref.last_inertia, std::abs(ref.last_inertia) * 1e-12);
    EXPECT_EQ(testing::centre_mismatch(*capped.cluster_centers_, ref.centres), "");
}

INSTANTIATE_TEST_SUITE_P(Iterations, FitInterrupt, ::testing::Values(0u, 1u, 2u, 5u));

TEST(Fit, InterruptCheckRunsOncePerIteration) {
    Samples x(zero_to_nine(), 10, 1);
    for (std::uint64_t max_iters : {0u, 1u, 2u, 7u}) {
        KMeansModel m = model_with(3, max_iters, 0.0, 0);
        std::uint64_t calls = 0;
        ASSERT_FALSE(fit(m, x, [&] { return ++calls, false; }).has_value());
        EXPECT_EQ(calls, max_iters);
        EXPECT_EQ(m.n_iter_, max_iters);
    }
}

// ---- the convergence test ----

struct NoConvergence {
    double tol;
    std::uint64_t max_iters;
};

class FitRunsMaxIters : public ::testing::TestWithParam<NoConvergence> {};

// tol = 0, negative or NaN never satisfies |prev - inertia| < tol.
TEST_P(FitRunsMaxIters, OnStableData) {
    const auto& p = GetParam();
    Samples x(zero_to_nine(), 10, 1);
    KMeansModel m = model_with(2, p.max_iters, p.tol, 0);
    ASSERT_FALSE(fit(m, x, kNever).has_value());
    EXPECT_EQ(m.n_iter_, p.max_iters);
    EXPECT_EQ(m.inertia_, 22.5);
    EXPECT_EQ(m.cluster_centers_->values, (std::vector<double>{6.5, 1.5}));
}

INSTANTIATE_TEST_SUITE_P(Tolerances, FitRunsMaxIters,
                         ::testing::Values(NoConvergence{0.0, 9}, NoConvergence{-1.0, 4}, NoConvergence{kNan, 6},
                                           NoConvergence{-0.0, 3}));

// A tolerance wider than the first change still needs two iterations.
TEST(Fit, FirstIterationNeverConverges) {
    Samples x(zero_to_nine(), 10, 1);
    KMeansModel m = model_with(2, 300, std::numeric_limits<double>::infinity(), 0);
    ASSERT_FALSE(fit(m, x, kNever).has_value());
    EXPECT_EQ(m.n_iter_, 2u);
}

// A NaN sample takes label 0 and turns centre 0 NaN; the inertia is NaN and
// the fit runs to max_iters.
TEST(Fit, NanSampleNeverConverges) {
    std::vector<double> v = zero_to_nine();
    v[3] = kNan;
    Samples x(v, 10, 1);
    KMeansModel m = model_with(2, 12, 1e-4, 0);
    ASSERT_FALSE(fit(m, x, kNever).has_value());
    EXPECT_EQ(m.n_iter_, 12u);
    EXPECT_TRUE(std::isnan(m.inertia_));
    EXPECT_TRUE(std::isnan(m.cluster_centers_->values[0]));
    const auto labels = testing::predict_labels(m, x);
    EXPECT_EQ(labels[3], 0);
}

// No features: every label is 0, every other cluster is re-seeded in each
// iteration, the inertia is -0.0 and the fit stops after two iterations.
TEST(Fit, ZeroFeatures) {
    Samples x(std::vector<double>{}, 6, 0);
    for (std::uint64_t max_iters : {1u, 300u}) {
        KMeansModel m = model_with(3, max_iters, 1e-4, 4);
        ASSERT_FALSE(fit(m, x, kNever).has_value());
        EXPECT_EQ(m.n_iter_, std::min<std::uint64_t>(max_iters, 2));
        EXPECT_EQ(bits(m.inertia_), bits(-0.0));
        EXPECT_EQ(m.cluster_centers_->rows, 3u);
        EXPECT_EQ(m.cluster_centers_->cols, 0u);
        EXPECT_EQ(testing::predict_labels(m, x), std::vector<std::int32_t>(6, 0));
    }
}

// ---- refits, layouts, entropy ----

TEST(Fit, RefitReplacesTheMatrixWithTheNewWidth) {
    const auto v5 = testing::random_values(1, 40, 5, 40);
    const auto v3 = testing::random_values(2, 30, 3, 30);
    Samples x5(v5, 40, 5), x3(v3, 30, 3);
    KMeansModel m = model_with(4, 20, 1e-4, 9);
    ASSERT_FALSE(fit(m, x5, kNever).has_value());
    EXPECT_EQ(m.cluster_centers_->cols, 5u);
    ASSERT_FALSE(fit(m, x3, kNever).has_value());
    EXPECT_EQ(m.cluster_centers_->rows, 4u);
    EXPECT_EQ(m.cluster_centers_->cols, 3u);
    EXPECT_EQ(m.cluster_centers_->values.size(), 12u);
    KMeansModel fresh = model_with(4, 20, 1e-4, 9);
    ASSERT_FALSE(fit(fresh, x3, kNever).has_value());
    EXPECT_EQ(testing::centre_mismatch(*m.cluster_centers_, *fresh.cluster_centers_), "");
}

class FitLayouts : public ::testing::TestWithParam<Layout> {};

// Strided, reversed and column-major views give bit-identical centres and
// labels to the contiguous copy; with one iteration count fixed (tol = 0).
TEST_P(FitLayouts, MatchContiguousCopy) {
    const std::size_t n = 500, d = 4;
    const auto v = testing::random_values(77, n, d, 60);
    Samples base(v, n, d), x(v, n, d, GetParam());
    KMeansModel a = model_with(7, 15, 0.0, 5), b = model_with(7, 15, 0.0, 5);
    ASSERT_FALSE(fit(a, base, kNever).has_value());
    ASSERT_FALSE(fit(b, x, kNever).has_value());
    EXPECT_EQ(testing::centre_mismatch(*a.cluster_centers_, *b.cluster_centers_), "");
    EXPECT_EQ(a.n_iter_, b.n_iter_);
    EXPECT_NEAR(a.inertia_, b.inertia_, std::abs(a.inertia_) * 1e-12);
    EXPECT_EQ(testing::predict_labels(a, base), testing::predict_labels(b, x));
}

INSTANTIATE_TEST_SUITE_P(Views, FitLayouts, ::testing::ValuesIn(testing::kAllLayouts),
                         [](const auto& info) { return std::string(testing::layout_name(info.param)); });

// A zero row stride repeats one row: the same as an explicit copy.
TEST(Fit, ZeroRowStrideMatchesRepeatedRows) {
    std::vector<double> row{1.0, -2.0, 0.5};
    SampleMatrix x{row.data(), 8, 3, 0, 1};
    std::vector<double> v;
    for (int i = 0; i < 8; ++i) v.insert(v.end(), row.begin(), row.end());
    Samples copy(v, 8, 3);
    KMeansModel a = model_with(3, 5, 0.0, 1), b = model_with(3, 5, 0.0, 1);
    ASSERT_FALSE(fit(a, x, kNever).has_value());
    ASSERT_FALSE(fit(b, copy, kNever).has_value());
    EXPECT_EQ(testing::centre_mismatch(*a.cluster_centers_, *b.cluster_centers_), "");
    for (std::size_t c = 0; c < 3; ++c) EXPECT_EQ(a.cluster_centers_->row(c)[1], -2.0);
}

TEST(Fit, SameSeedSameResult) {
    const auto v = testing::random_values(8, 300, 3, 300);
    Samples x(v, 300, 3);
    KMeansModel a = model_with(5, 100, 1e-4, 123), b = model_with(5, 100, 1e-4, 123);
    ASSERT_FALSE(fit(a, x, kNever).has_value());
    ASSERT_FALSE(fit(b, x, kNever).has_value());
    EXPECT_EQ(testing::centre_mismatch(*a.cluster_centers_, *b.cluster_centers_), "");
}

// Without a seed the source comes from the operating system; identical
// samples make the result independent of the draws.
TEST(Fit, EntropySeededFit) {
    std::vector<double> v(12, 0.25);
    Samples x(v, 6, 2);
    KMeansModel m = model_with(3, 10, 1e-4, std::nullopt);
    ASSERT_FALSE(fit(m, x, kNever).has_value());
    EXPECT_EQ(m.cluster_centers_->values, std::vector<double>(6, 0.25));
    EXPECT_EQ(m.n_iter_, 2u);
    EXPECT_EQ(m.inertia_, 0.0);
}

// An empty interrupt check means none.
TEST(Fit, EmptyInterruptCheck) {
    Samples x(zero_to_nine(), 10, 1);
    KMeansModel m = model_with(2, 300, 1e-4, 0);
    ASSERT_FALSE(fit(m, x, InterruptCheck{}).has_value());
    EXPECT_EQ(m.n_iter_, 2u);
}

}  // namespace
}  // namespace corvalinth::kmeans
