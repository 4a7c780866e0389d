#include "kmeans/predict.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <variant>
#include <vector>

#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::Layout;
using testing::Samples;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();

KMeansModel fitted_with(std::size_t k, std::size_t d, std::vector<double> centres) {
    KMeansModel m;
    m.params.n_clusters = k;
    m.cluster_centers_ = CentreMatrix{k, d, std::move(centres)};
    return m;
}

class PredictUnfitted : public ::testing::TestWithParam<std::pair<std::size_t, std::size_t>> {};

// Refused whatever the shape of the samples; the model stays as it was.
TEST_P(PredictUnfitted, IsAValueError) {
    const auto [n, d] = GetParam();
    Samples x(std::vector<double>(n * d, 1.0), n, d);
    KMeansModel m;
    m.n_iter_ = 3;
    m.inertia_ = 1.5;
    auto r = predict(m, x);
    ASSERT_TRUE(std::holds_alternative<EngineError>(r));
    const auto& e = std::get<EngineError>(r);
    EXPECT_EQ(e.kind, EngineError::Kind::Value);
    EXPECT_EQ(e.message, "Model not fitted yet. Call fit() first.");
    EXPECT_FALSE(m.fitted());
    EXPECT_EQ(m.n_iter_, 3u);
    EXPECT_EQ(m.inertia_, 1.5);
}

INSTANTIATE_TEST_SUITE_P(Shapes, PredictUnfitted,
                         ::testing::Values(std::pair<std::size_t, std::size_t>{0, 0},
                                           std::pair<std::size_t, std::size_t>{0, 3},
                                           std::pair<std::size_t, std::size_t>{4, 0},
                                           std::pair<std::size_t, std::size_t>{5, 2}));

TEST(Predict, EmptySampleSet) {
    const auto m = fitted_with(2, 2, {0.0, 0.0, 1.0, 1.0});
    Samples x(std::vector<double>{}, 0, 2);
    EXPECT_TRUE(testing::predict_labels(m, x).empty());
}

// Equally near centres 2 and 5 and nearer to them than to any other: label 2.
TEST(Predict, TiesGoToTheLowestIndex) {
    const auto m = fitted_with(6, 2, {9, 9, -9, -9, 0, 1, 50, 50, -50, 50, 0, -1});
    Samples x(std::vector<double>{0.0, 0.0, 9.0, 9.0, 0.0, -0.5}, 3, 2);
    EXPECT_EQ(testing::predict_labels(m, x), (std::vector<std::int32_t>{2, 0, 5}));
}

TEST(Predict, NanSampleTakesLabelZero) {
    const auto m = fitted_with(3, 1, {5.0, 1.0, 2.0});
    Samples x(std::vector<double>{kNan, 1.9}, 2, 1);
    EXPECT_EQ(testing::predict_labels(m, x), (std::vector<std::int32_t>{0, 2}));
}

// No feature-count check: distances use the common prefix of sample and
// centre rows.
TEST(Predict, FewerFeaturesUseTheCentresPrefix) {
    // Centres on 3 features; by the first 2 the nearest is centre 1, by all 3
    // it would be centre 0.
    const auto m = fitted_with(2, 3, {0.0, 0.0, 0.0, 1.0, 1.0, 100.0});
    Samples x(std::vector<double>{1.0, 1.0}, 1, 2);
    EXPECT_EQ(testing::predict_labels(m, x), (std::vector<std::int32_t>{1}));
}

TEST(Predict, ExtraFeaturesAreIgnored) {
    const auto m = fitted_with(2, 1, {0.0, 10.0});
    Samples x(std::vector<double>{9.0, -1000.0, 1.0, 1000.0}, 2, 2, Layout::ColumnMajor);
    EXPECT_EQ(testing::predict_labels(m, x), (std::vector<std::int32_t>{1, 0}));
}

TEST(Predict, ZeroFeaturesGiveLabelZero) {
    const auto m = fitted_with(3, 2, {5, 5, 1, 1, 0, 0});
    Samples x(std::vector<double>{}, 7, 0);
    EXPECT_EQ(testing::predict_labels(m, x), std::vector<std::int32_t>(7, 0));
}

struct Shape {
    std::size_t n, d_x, d, k;
};

class PredictReference : public ::testing::TestWithParam<std::tuple<Shape, Layout>> {};

// Labels equal the scalar nearest_centre over min(d_x, d) coordinates.
TEST_P(PredictReference, MatchesScalarNearestCentre) {
    const auto& [s, layout] = GetParam();
    const auto v = testing::random_values(s.n + s.d_x, s.n, s.d_x, s.n / 2 + 1);
    Samples x(v, s.n, s.d_x, layout);
    const auto m = fitted_with(s.k, s.d, testing::random_values(s.k * 3 + s.d, s.k, s.d, s.k));
    const auto got = testing::predict_labels(m, x);
    const std::size_t dims = std::min(s.d_x, s.d);
    CentreMatrix prefix{s.k, dims, {}};
    for (std::size_t c = 0; c < s.k; ++c)
        for (std::size_t j = 0; j < dims; ++j) prefix.values.push_back(m.cluster_centers_->row(c)[j]);
    const SampleMatrix x_prefix{x.view().data, s.n, dims, x.view().row_stride, x.view().col_stride};
    const auto want = testing::reference_labels(x_prefix, prefix);
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) ASSERT_EQ(static_cast<std::uint64_t>(got[i]), want[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Shapes, PredictReference,
                         ::testing::Combine(::testing::Values(Shape{1, 2, 2, 1}, Shape{100, 3, 3, 4},
                                                              Shape{1000, 2, 5, 7}, Shape{777, 6, 2, 12},
                                                              Shape{4097, 4, 4, 33}, Shape{50, 0, 3, 3},
                                                              Shape{65, 3, 0, 2}),
                                            ::testing::ValuesIn(testing::kAllLayouts)));

}  // namespace
}  // namespace corvalinth::kmeans
