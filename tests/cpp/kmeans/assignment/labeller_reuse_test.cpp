// Centres prepared again in the storage of earlier ones (the exact kernels'
// panel, the labeller of a fit's passes): no trace of the earlier centres,
// shapes or filter decision survives, bit for bit against freshly prepared
// centres and the plain reference.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/fit.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "support/kernel_tables.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using corvalinth::testing::Kernel;
using testing::Samples;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

CentreMatrix random_centres(std::size_t k, std::size_t d, double offset, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    CentreMatrix c{k, d, std::vector<double>(k * d)};
    for (double& v : c.values) v = offset + normal(gen);
    return c;
}

struct PanelShape {
    std::size_t k, d;
    double offset;  // centres far from the samples: stale lanes of earlier centres would win
};

// One panel prepared over a sequence of shapes, growing and shrinking in k
// and d (the padding lanes of a shorter last block, the splat of short rows
// that a wider panel must not use), labels the same as a fresh panel and as
// nearest_centre, for every kernel table.
class PanelPreparedAgain : public ::testing::TestWithParam<Kernel> {};

TEST_P(PanelPreparedAgain, LabelsAsAFreshPanelInEveryShape) {
    const Kernel variant = GetParam();
    if (!corvalinth::testing::kernel_available(variant))
        GTEST_SKIP() << corvalinth::testing::kernel_name(variant) << " not available";
    const auto& table = corvalinth::testing::kernels_of(variant);
    const std::size_t n = 203, width = 9;
    const Samples x(testing::random_values(5, n, width, n * width), n, width);
    const SampleMatrix& all = x;
    const PanelShape shapes[] = {{17, 3, 0.0}, {5, 3, 6.0}, {9, 6, 0.0},  {2, 6, 4.0}, {20, 2, 0.0},
                                 {3, 4, 5.0},  {1, 1, 0.0}, {11, 9, 0.0}, {4, 0, 0.0}, {7, 5, 3.0}};
    CentrePanel reused;
    std::uint64_t seed = 40;
    for (const PanelShape& s : shapes) {
        const CentreMatrix c = random_centres(s.k, s.d, s.offset, ++seed);
        reused.prepare(c, s.d);
        const CentrePanel fresh(c, s.d);
        ASSERT_EQ(reused.k(), s.k);
        ASSERT_EQ(reused.dims(), s.d);
        EXPECT_EQ(reused.view().splat == nullptr, fresh.view().splat == nullptr) << s.k << "x" << s.d;
        // The first s.d features of every sample.
        const SampleMatrix xd{all.data, n, s.d, all.row_stride, all.col_stride};
        std::vector<std::uint64_t> got(n), want(n);
        nearest_centres(xd, 0, n, reused, got.data(), table);
        nearest_centres(xd, 0, n, fresh, want.data(), table);
        EXPECT_EQ(got, want) << s.k << "x" << s.d;
        EXPECT_EQ(got, testing::reference_labels(xd, c)) << s.k << "x" << s.d;
        std::vector<double> got_second(n), want_second(n);
        nearest_centres_with_second(xd, 0, n, reused, got.data(), got_second.data(), table);
        nearest_centres_with_second(xd, 0, n, fresh, want.data(), want_second.data(), table);
        EXPECT_EQ(got, want);
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(testing::bits(got_second[i]), testing::bits(want_second[i])) << s.k << "x" << s.d << " " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, PanelPreparedAgain,
                         ::testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512, Kernel::emulated8));

TEST(PanelPreparedAgain, RejectsBadCentresAndKeepsThePanel) {
    const CentreMatrix c = random_centres(6, 4, 0.0, 3);
    CentrePanel panel(c, 4);
    EXPECT_THROW(panel.prepare(c, 5), InternalFailure);
    CentreMatrix broken = c;
    broken.values.pop_back();
    EXPECT_THROW(panel.prepare(broken, 3), InternalFailure);
    EXPECT_EQ(panel.k(), 6u);
    EXPECT_EQ(panel.dims(), 4u);
    const std::size_t n = 50;
    const Samples x(testing::random_values(8, n, 4, n * 4), n, 4);
    std::vector<std::uint64_t> got(n);
    nearest_centres(x, 0, n, panel, got.data());
    EXPECT_EQ(got, testing::reference_labels(x, c));
}

// One labeller through the centres of successive passes: the filter comes
// and goes with the centres (a NaN centre turns it off) and with the shape
// of the samples, and the labels and lower bounds are those of a labeller
// prepared afresh every time.
TEST(LabellerPreparedAgain, FollowsTheCentresAndTheSamplesOfEveryPass) {
    const std::size_t d = 16, k = 32;
    const std::size_t big = 20000, small = 300;
    const Samples xb(testing::random_values(11, big, d, big * d), big, d);
    const Samples xs(testing::random_values(12, small, d, small * d), small, d);
    CentreMatrix with_nan = random_centres(k, d, 0.0, 2);
    with_nan.row(7)[3] = kNaN;
    struct Pass {
        const Samples* x;
        CentreMatrix centres;
        bool filter;
    };
    const Pass passes[] = {{&xb, random_centres(k, d, 0.0, 1), true},  {&xb, with_nan, false},
                           {&xb, random_centres(k, d, 0.5, 3), true},  {&xs, random_centres(k, d, 0.0, 4), false},
                           {&xb, random_centres(k, d, -0.5, 5), true}, {&xb, random_centres(24, d, 0.0, 6), true}};
    CentreLabeller reused;
    for (const Pass& p : passes) {
        const SampleMatrix& x = *p.x;
        reused.prepare(x, p.centres);
        const CentreLabeller fresh(x, p.centres);
        EXPECT_EQ(reused.certifies(), p.filter);
        EXPECT_EQ(fresh.certifies(), p.filter);
        const std::size_t n = x.n_rows;
        std::vector<std::uint64_t> got(n), want(n);
        std::vector<double> got_lower(n, -1.0), want_lower(n, -2.0);
        FilterScratch scratch;
        reused.label(x, 0, n, got.data(), got_lower.data(), &scratch);
        fresh.label(x, 0, n, want.data(), want_lower.data());
        EXPECT_EQ(got, want);
        EXPECT_EQ(got, testing::reference_labels(x, p.centres));
        std::size_t bounded = 0;
        for (std::size_t i = 0; i < n; ++i) {
            ASSERT_EQ(testing::bits(got_lower[i]), testing::bits(want_lower[i])) << i;
            bounded += got_lower[i] > 0.0;
        }
        if (!p.filter) EXPECT_EQ(bounded, 0u);
    }
}

// One model fitted again and again on samples of other widths and counts:
// each fit and each prediction after it match the plain reference.
TEST(LabellerPreparedAgain, RefitsOfOtherShapesMatchTheReference) {
    struct Data {
        std::size_t n, d;
        std::uint64_t seed;
    };
    const Data data[] = {{342, 4, 1}, {6000, 16, 2}, {500, 2, 3}, {342, 4, 1}, {4000, 24, 4}};
    KMeansModel m;
    m.params = KMeansParams{20, 12, 0.0, 9};
    for (const Data& s : data) {
        const Samples x(testing::random_values(s.seed, s.n, s.d, s.n * s.d / 3), s.n, s.d);
        ASSERT_FALSE(fit(m, x, nullptr).has_value());
        const auto ref = testing::reference_fit(x, 20, 12, 9);
        EXPECT_EQ(m.n_iter_, ref.n_iter);
        ASSERT_TRUE(m.cluster_centers_.has_value());
        EXPECT_EQ(testing::centre_mismatch(*m.cluster_centers_, ref.centres), "") << s.n << "x" << s.d;
        const auto labels = testing::reference_labels(x, ref.centres);
        const auto predicted = testing::predict_labels(m, x);
        for (std::size_t i = 0; i < s.n; ++i) ASSERT_EQ(static_cast<std::uint64_t>(predicted[i]), labels[i]) << i;
    }
}

}  // namespace
}  // namespace corvalinth::kmeans
