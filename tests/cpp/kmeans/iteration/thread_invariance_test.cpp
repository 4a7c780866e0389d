// Run by ctest under several pool sizes (RAYON_NUM_THREADS = 1, 2, 3, 8):
// every result that must not depend on the number of workers is compared
// bit for bit with a purely sequential reference.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <variant>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/fit.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/iteration/lloyd_pass.hpp"
#include "kmeans/predict.hpp"
#include "kmeans/seeding/init_centres.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::Layout;
using testing::Samples;

struct DataSet {
    std::size_t n, d, k, distinct;
    std::uint64_t data_seed, fit_seed, max_iters;
    Layout layout;
    bool seeded = false;  // the first pass takes the seeding's labels
};

// tol = 0 keeps the iteration count away from inertia rounding; centres,
// n_iter_ and predicted labels must then equal the sequential reference, and
// every iteration's inertia (read between iterations) lie within rounding of
// the reference's.
void expect_fit_matches_reference(const SampleMatrix& x, std::size_t k, std::uint64_t max_iters,
                                  std::uint64_t fit_seed) {
    KMeansModel m;
    m.params = KMeansParams{k, max_iters, 0.0, fit_seed};
    std::vector<double> inertias;
    ASSERT_FALSE(fit(m, x, [&] {
                     // The seeding's checks come before any iteration.
                     if (m.n_iter_ > inertias.size()) inertias.push_back(m.inertia_);
                     return false;
                 }).has_value());
    const auto ref = testing::reference_fit(x, k, max_iters, fit_seed);
    EXPECT_EQ(m.n_iter_, ref.n_iter);
    ASSERT_EQ(inertias.size() + 1, ref.inertias.size());
    for (std::size_t t = 0; t < inertias.size(); ++t)
        EXPECT_NEAR(inertias[t], ref.inertias[t], std::abs(ref.inertias[t]) * 1e-12) << "iteration " << t + 1;
    EXPECT_EQ(testing::centre_mismatch(*m.cluster_centers_, ref.centres), "")
        << "workers: " << runtime::pool_thread_count();
    // The inertia's association follows the split tree; it only has to lie
    // within rounding of the sequential sum.
    EXPECT_NEAR(m.inertia_, ref.last_inertia, std::abs(ref.last_inertia) * 1e-12);

    auto r = predict(m, x);
    ASSERT_TRUE(std::holds_alternative<LabelBuffer>(r));
    const auto& labels = std::get<LabelBuffer>(r);
    const auto want = testing::reference_labels(x, ref.centres);
    ASSERT_EQ(labels.size(), want.size());
    std::size_t mismatches = 0;
    for (std::size_t i = 0; i < want.size(); ++i) mismatches += static_cast<std::uint64_t>(labels[i]) != want[i];
    EXPECT_EQ(mismatches, 0u);
}

class ThreadInvarianceFit : public ::testing::TestWithParam<DataSet> {};

TEST_P(ThreadInvarianceFit, MatchesSequentialReference) {
    const auto& p = GetParam();
    const auto v = testing::random_values(p.data_seed, p.n, p.d, p.distinct);
    Samples x(v, p.n, p.d, p.layout);
    // Fits that may take the seeding's labels take them whatever their
    // number of centres.
    const testing::ScopedSeededLabels when(p.seeded ? testing::SeededLabels::Always : testing::SeededLabels::Automatic);
    const std::uint64_t seeded_before = testing::seeded_pass_count();
    expect_fit_matches_reference(x, p.k, p.max_iters, p.fit_seed);
    EXPECT_EQ(testing::seeded_pass_count() != seeded_before, p.seeded);
}

INSTANTIATE_TEST_SUITE_P(DataSets, ThreadInvarianceFit,
                         ::testing::Values(DataSet{1000, 2, 5, 1000, 1, 0, 20, Layout::RowMajor},
                                           DataSet{2048, 3, 8, 2048, 2, 42, 25, Layout::ColumnMajor},
                                           // Few distinct points: duplicate centres and empty clusters re-seeded.
                                           DataSet{600, 2, 12, 7, 3, 7, 15, Layout::ReversedRows},
                                           DataSet{3001, 5, 16, 3001, 4, 123, 12, Layout::PaddedRows},
                                           DataSet{257, 9, 40, 257, 5, 99, 10, Layout::ReversedBoth},
                                           DataSet{5000, 1, 3, 5000, 6, 2024, 30, Layout::ReversedCols},
                                           // Rows of 1 to 7 features from 2^15 samples: the pass sums the
                                           // inertia itself (with the filter's bounds from 256 centres).
                                           DataSet{40000, 2, 6, 40000, 7, 3, 12, Layout::RowMajor},
                                           DataSet{33000, 3, 16, 500, 8, 5, 10, Layout::ColumnMajor},
                                           DataSet{36000, 1, 4, 36000, 9, 11, 8, Layout::ReversedRows},
                                           DataSet{35000, 3, 300, 35000, 10, 1, 8, Layout::RowMajor},
                                           // More than 16 centres on few distinct points: once the bounds
                                           // keep most labels, the pass sums the inertia itself.
                                           DataSet{34000, 2, 40, 600, 11, 9, 20, Layout::RowMajor},
                                           DataSet{33000, 3, 24, 400, 12, 4, 16, Layout::ReversedCols},
                                           // Rows of 16 or more features: the seeding's labels open the
                                           // fit (with the float copy; with the owners of the certificate;
                                           // few distinct rows, so ties and empty clusters), one iteration too.
                                           DataSet{3000, 16, 12, 3000, 13, 5, 8, Layout::RowMajor, true},
                                           DataSet{2000, 24, 5, 2000, 14, 6, 10, Layout::ColumnMajor, true},
                                           DataSet{1500, 20, 10, 40, 15, 8, 12, Layout::ReversedRows, true},
                                           DataSet{2500, 33, 30, 2500, 16, 9, 1, Layout::PaddedRows, true}));

// Clusters no sample joins or leaves: where the fit follows them it takes
// their centres over and reuses their samples' distances, and must still
// equal the reference bit for bit, in every way the sums are shared out
// (one block, feature blocks, whole clusters: by pool size and width) and
// on narrow rows too (where only tests turn it on). Data `distinct` > 0:
// random values with that many distinct rows (empty clusters re-seeded),
// else blobs of `groups` groups.
struct UnchangedCase {
    testing::UnchangedClusters when;
    std::size_t n, d, k, groups, distinct;
    Layout layout;
    bool follows;
};

class ThreadInvarianceUnchangedClusters : public ::testing::TestWithParam<UnchangedCase> {
protected:
    void TearDown() override { testing::set_unchanged_clusters(testing::UnchangedClusters::Automatic); }
};

TEST_P(ThreadInvarianceUnchangedClusters, TakesCentresOverAndMatchesTheReference) {
    const auto& p = GetParam();
    testing::set_unchanged_clusters(p.when);
    const auto v = p.distinct != 0 ? testing::random_values(p.n + p.d, p.n, p.d, p.distinct)
                                   : testing::blobs(p.n + p.d, p.n, p.d, p.groups, 1.0, 0.0, false);
    Samples x(v, p.n, p.d, p.layout);
    const std::uint64_t centres_before = testing::kept_centre_count();
    const std::uint64_t reused_before = testing::reused_distance_count();
    expect_fit_matches_reference(x, p.k, 25, 31);
    const std::uint64_t kept = testing::kept_centre_count() - centres_before;
    const std::uint64_t reused = testing::reused_distance_count() - reused_before;
    if (p.follows) {
        EXPECT_GT(kept, 2 * p.k) << "no centre was taken over";
        // The distances' buffer is kept from 8 features.
        if (p.d >= 8)
            EXPECT_GT(reused, p.n) << "no distance was reused";
        else
            EXPECT_EQ(reused, 0u);
    } else {
        EXPECT_EQ(kept, 0u);
        EXPECT_EQ(reused, 0u);
    }
}

using Unchanged = testing::UnchangedClusters;
INSTANTIATE_TEST_SUITE_P(
    Modes, ThreadInvarianceUnchangedClusters,
    ::testing::Values(UnchangedCase{Unchanged::Automatic, 3000, 16, 24, 12, 0, Layout::RowMajor, true},
                      UnchangedCase{Unchanged::Always, 3000, 12, 20, 10, 0, Layout::ColumnMajor, true},
                      UnchangedCase{Unchanged::Automatic, 2500, 40, 30, 16, 0, Layout::RowMajor, true},
                      UnchangedCase{Unchanged::Always, 2500, 40, 30, 16, 0, Layout::ColumnMajor, true},
                      UnchangedCase{Unchanged::Always, 2000, 70, 12, 8, 0, Layout::ReversedRows, true},
                      UnchangedCase{Unchanged::Automatic, 2000, 70, 12, 8, 0, Layout::PaddedRows, true},
                      UnchangedCase{Unchanged::Always, 600, 9, 12, 0, 7, Layout::RowMajor, true},
                      UnchangedCase{Unchanged::Always, 40000, 2, 6, 5, 0, Layout::RowMajor, true},
                      UnchangedCase{Unchanged::Always, 5000, 3, 40, 30, 0, Layout::ReversedCols, true},
                      UnchangedCase{Unchanged::Automatic, 5000, 3, 40, 30, 0, Layout::RowMajor, false},
                      UnchangedCase{Unchanged::Never, 3000, 16, 24, 12, 0, Layout::RowMajor, false}));

// The labels of one assignment pass equal the scalar reference whatever the
// pool size, including for sizes around the pool's split points.
TEST(ThreadInvarianceAssign, MatchesScalarReference) {
    for (std::size_t n : {2u, 3u, 7u, 8u, 9u, 63u, 64u, 65u, 1000u, 4099u}) {
        const auto v = testing::random_values(n, n, 3, n);
        Samples x(v, n, 3, Layout::ColumnMajor);
        const CentreMatrix c{6, 3, testing::random_values(n + 1, 6, 3, 6)};
        EXPECT_EQ(assign_labels(x, c), testing::reference_labels(x, c)) << "n = " << n;
    }
}

// Inertia over exactly representable terms is the same for every split tree.
TEST(ThreadInvarianceInertia, ExactTermsGiveTheExactSum) {
    const std::size_t n = 10007;
    std::vector<double> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(static_cast<int>(i % 29) - 14);
    Samples x(v, n, 1);
    const CentreMatrix c{2, 1, {0.5, -3.0}};
    const auto labels = testing::reference_labels(x, c);
    double exact = 0.0;
    for (std::size_t i = 0; i < n; ++i) exact += testing::ref_distance(x, i, c, labels[i]);
    for (int repeat = 0; repeat < 20; ++repeat) EXPECT_EQ(compute_inertia(x, labels, c), exact);
}

// The fit's single pass, cut into blocks of `block_bytes` of samples: the
// distances to the old labels' centres, the new labels and the sums must equal
// the separate reference steps bit for bit, for every way the sums are shared
// out (one block, feature blocks, whole clusters) and every layout.
struct PassCase {
    std::size_t n, d, k, distinct;
    Layout layout;
    std::size_t block_bytes;
};

class ThreadInvariancePass : public ::testing::TestWithParam<PassCase> {
protected:
    void TearDown() override { testing::set_pass_block_bytes(0); }
};

TEST_P(ThreadInvariancePass, MatchesTheSeparateSteps) {
    const auto& p = GetParam();
    testing::set_pass_block_bytes(p.block_bytes);
    const auto v = testing::random_values(p.n * 7 + p.d, p.n, p.d, p.distinct);
    Samples x(v, p.n, p.d, p.layout);
    const CentreMatrix old_centres{p.k, p.d, testing::random_values(p.k + 3, p.k, p.d, p.k)};
    const CentreMatrix centres{p.k, p.d, testing::random_values(p.k + 5, p.k, p.d, p.k)};
    const auto old_labels = testing::reference_labels(x, old_centres);

    std::vector<std::uint64_t> labels = old_labels;
    std::vector<double> dist(p.n, -1.0);
    CentreSums sums(x, p.k);
    lloyd_pass(x, centres, labels, dist.data(), sums);
    auto rng = runtime::RandomSource::from_seed(9);
    CentreMatrix got;
    sums.finish(rng, got);

    const auto want_labels = testing::reference_labels(x, centres);
    EXPECT_EQ(labels, want_labels);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < p.n; ++i)
        wrong += testing::bits(dist[i]) != testing::bits(testing::ref_distance(x, i, centres, old_labels[i]));
    EXPECT_EQ(wrong, 0u) << "distances differ";
    auto ref_rng = runtime::RandomSource::from_seed(9);
    EXPECT_EQ(testing::centre_mismatch(got, testing::reference_update(x, want_labels, p.k, ref_rng)), "");
    EXPECT_EQ(rng.uniform_index(1000), ref_rng.uniform_index(1000)) << "draws out of step";
    const double inertia = compute_inertia(x, old_labels, centres);
    EXPECT_NEAR(sum_distances(dist.data(), p.n), inertia, std::abs(inertia) * 1e-12);
}

INSTANTIATE_TEST_SUITE_P(
    Blocks, ThreadInvariancePass,
    ::testing::Values(PassCase{3000, 8, 20, 3000, Layout::RowMajor, 1000},  // rows of one block each
                      PassCase{3000, 8, 20, 3000, Layout::ReversedRows, 4096},
                      PassCase{5000, 40, 9, 5000, Layout::RowMajor, 50'000},  // feature blocks
                      PassCase{5000, 40, 9, 5000, Layout::ColumnMajor, 50'000},
                      PassCase{2000, 70, 6, 2000, Layout::RowMajor, 60'000},  // whole clusters
                      PassCase{2000, 130, 40, 2000, Layout::PaddedRows, 100'000},
                      PassCase{1200, 130, 25, 4, Layout::RowMajor, 30'000},  // empty clusters drawn
                      PassCase{4000, 3, 5, 4000, Layout::ReversedBoth, 0}));

// Rows of 64 or more features are labelled and added piece by piece, each
// piece's sums after the piece before. A piece whose old label is out of
// range fails the pass with that failure: the workers waiting for their turn
// to add give up instead of waiting for ever.
TEST(ThreadInvariancePassFailure, ALabelOutOfRangeStopsThePass) {
    const std::size_t n = 3000, d = 70, k = 6;
    const auto v = testing::random_values(31, n, d, n);
    Samples x(v, n, d);
    const CentreMatrix centres{k, d, testing::random_values(37, k, d, k)};
    for (const std::size_t bytes : {std::size_t{1}, std::size_t{20'000}, std::size_t{0}})
        for (const std::size_t at : {std::size_t{0}, n / 2, n - 1}) {
            testing::set_pass_block_bytes(bytes);
            std::vector<std::uint64_t> labels(n, 1);
            labels[at] = k;
            std::vector<double> dist(n);
            CentreSums sums(x, k);
            EXPECT_EQ(testing::internal_failure_message([&] { lloyd_pass(x, centres, labels, dist.data(), sums); }),
                      "label out of range")
                << "bytes " << bytes << " at " << at;
            testing::set_pass_block_bytes(0);
        }
}

// A whole fit cut into small blocks equals the reference fit.
TEST(ThreadInvarianceFitBlocks, MatchesSequentialReference) {
    for (const std::size_t d : {2u, 8u, 40u, 70u}) {
        const std::size_t n = 1500;
        const auto v = testing::random_values(d, n, d, n);
        Samples x(v, n, d);
        for (const std::size_t bytes : {std::size_t{1}, std::size_t{20'000}, std::size_t{0}}) {
            testing::set_pass_block_bytes(bytes);
            KMeansModel m;
            m.params = KMeansParams{7, 6, 0.0, 3};
            ASSERT_FALSE(fit(m, x, nullptr).has_value());
            testing::set_pass_block_bytes(0);
            const auto ref = testing::reference_fit(x, 7, 6, 3);
            EXPECT_EQ(m.n_iter_, ref.n_iter);
            EXPECT_EQ(testing::centre_mismatch(*m.cluster_centers_, ref.centres), "")
                << "d " << d << " bytes " << bytes;
            EXPECT_NEAR(m.inertia_, ref.last_inertia, std::abs(ref.last_inertia) * 1e-12) << "d " << d;
        }
    }
}

// With a tolerance the fit stops on an inertia that came from the pass which
// also labelled the next iteration. The tolerance is set just above the third
// iteration's change, while labels still move: the stopping iteration, the
// centres and the inertia must be those of the plain loop.
TEST(ThreadInvarianceFitBlocks, StopsWhereThePlainLoopStops) {
    for (const std::size_t d : {8u, 70u}) {
        const std::size_t n = 2000;
        const auto v = testing::random_values(d + 1, n, d, n);
        Samples x(v, n, d);
        auto rng = runtime::RandomSource::from_seed(4);
        CentreMatrix centres = testing::reference_seeding(x, 6, rng);
        std::vector<double> inertias;
        std::vector<CentreMatrix> history;
        for (int t = 0; t < 3; ++t) {
            const auto labels = testing::reference_labels(x, centres);
            centres = testing::reference_update(x, labels, 6, rng);
            double s = -0.0;
            for (std::size_t i = 0; i < n; ++i) s += testing::ref_distance(x, i, centres, labels[i]);
            inertias.push_back(s);
            history.push_back(centres);
        }
        const double tol = std::fabs(inertias[1] - inertias[2]) * 1.001;
        ASSERT_GT(std::fabs(inertias[0] - inertias[1]), tol) << "d " << d;
        ASSERT_NE(testing::reference_labels(x, history[1]), testing::reference_labels(x, history[2])) << "d " << d;
        for (const std::size_t bytes : {std::size_t{5'000}, std::size_t{0}}) {
            testing::set_pass_block_bytes(bytes);
            KMeansModel m;
            m.params = KMeansParams{6, 200, tol, 4};
            ASSERT_FALSE(fit(m, x, nullptr).has_value());
            testing::set_pass_block_bytes(0);
            EXPECT_EQ(m.n_iter_, 3u) << "d " << d;
            EXPECT_EQ(testing::centre_mismatch(*m.cluster_centers_, history[2]), "") << "d " << d;
            EXPECT_NEAR(m.inertia_, inertias[2], std::abs(inertias[2]) * 1e-12) << "d " << d;
        }
    }
}

// Repeated fits in one process give identical centres despite scheduling.
TEST(ThreadInvarianceRepeat, SameSeedSameCentres) {
    const auto v = testing::random_values(11, 3000, 4, 3000);
    Samples x(v, 3000, 4);
    KMeansModel first;
    first.params = KMeansParams{10, 20, 0.0, 5};
    ASSERT_FALSE(fit(first, x, nullptr).has_value());
    for (int repeat = 0; repeat < 5; ++repeat) {
        KMeansModel again;
        again.params = first.params;
        ASSERT_FALSE(fit(again, x, nullptr).has_value());
        EXPECT_EQ(testing::centre_mismatch(*first.cluster_centers_, *again.cluster_centers_), "");
    }
}

}  // namespace
}  // namespace corvalinth::kmeans
