// Run by ctest under several pool sizes (RAYON_NUM_THREADS = 1, 2, 3, 8):
// every result that must not depend on the number of workers is compared
// bit for bit with a purely sequential reference.
#include <gtest/gtest.h>

#include <cmath>
#include <variant>
#include <vector>

#include "kmeans/fit.hpp"
#include "kmeans/init_centres.hpp"
#include "kmeans/lloyd.hpp"
#include "kmeans/predict.hpp"
#include "kmeans_reference.hpp"
#include "runtime/worker_pool.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::Layout;
using testing::Samples;

struct DataSet {
    std::size_t n, d, k, distinct;
    std::uint64_t data_seed, fit_seed, max_iters;
    Layout layout;
};

class ThreadInvarianceFit : public ::testing::TestWithParam<DataSet> {};

// tol = 0 keeps the iteration count away from inertia rounding; centres,
// n_iter_ and predicted labels must then equal the sequential reference.
TEST_P(ThreadInvarianceFit, MatchesSequentialReference) {
    const auto& p = GetParam();
    const auto v = testing::random_values(p.data_seed, p.n, p.d, p.distinct);
    Samples x(v, p.n, p.d, p.layout);
    KMeansModel m;
    m.params = KMeansParams{p.k, p.max_iters, 0.0, p.fit_seed};
    ASSERT_FALSE(fit(m, x, [] { return false; }).has_value());
    const auto ref = testing::reference_fit(x, p.k, p.max_iters, p.fit_seed);
    EXPECT_EQ(m.n_iter_, ref.n_iter);
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

INSTANTIATE_TEST_SUITE_P(
    DataSets, ThreadInvarianceFit,
    ::testing::Values(DataSet{1000, 2, 5, 1000, 1, 0, 20, Layout::Contiguous},
                      DataSet{2048, 3, 8, 2048, 2, 42, 25, Layout::ColumnMajor},
                      // Few distinct points: duplicate centres and empty clusters re-seeded.
                      DataSet{600, 2, 12, 7, 3, 7, 15, Layout::ReversedRows},
                      DataSet{3001, 5, 16, 3001, 4, 123, 12, Layout::PaddedRows},
                      DataSet{257, 9, 40, 257, 5, 99, 10, Layout::ReversedBoth},
                      DataSet{5000, 1, 3, 5000, 6, 2024, 30, Layout::ReversedCols}));

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
