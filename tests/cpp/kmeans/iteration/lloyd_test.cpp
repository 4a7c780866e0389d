#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using runtime::RandomSource;
using testing::bits;
using testing::Layout;
using testing::same_value;
using testing::Samples;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

CentreMatrix centres_of(std::size_t k, std::size_t d, std::vector<double> v) {
    return CentreMatrix{k, d, std::move(v)};
}

// ---- assign_labels ----

TEST(AssignLabels, TiesGoToTheLowestIndex) {
    // Sample 4 is at squared distance 9 from both 7 and 1; sample 30 sits on
    // the duplicated centres 2 and 5.
    Samples x(std::vector<double>{4.0, 30.0, 100.0}, 3, 1);
    const auto c = centres_of(6, 1, {7.0, 1.0, 30.0, 50.0, 60.0, 30.0});
    EXPECT_EQ(assign_labels(x, c), (std::vector<std::uint64_t>{0, 2, 4}));
}

TEST(AssignLabels, NanAndInfiniteDistancesGiveLabelZero) {
    // Row 0 has a NaN coordinate; row 1 is infinitely far from every centre
    // (inf - inf is NaN for the infinite centre); row 2 is finite.
    Samples x(std::vector<double>{kNan, 1.0, kInf, 0.0, 3.0, 0.0}, 3, 2);
    const auto c = centres_of(3, 2, {10.0, 0.0, kInf, 0.0, 2.0, 0.0});
    EXPECT_EQ(assign_labels(x, c), (std::vector<std::uint64_t>{0, 0, 2}));
}

TEST(AssignLabels, ZeroFeaturesGiveLabelZero) {
    Samples x(std::vector<double>{}, 5, 0);
    const auto c = centres_of(3, 0, {});
    EXPECT_EQ(assign_labels(x, c), std::vector<std::uint64_t>(5, 0));
}

TEST(AssignLabels, EmptySampleSet) {
    Samples x(std::vector<double>{}, 0, 2);
    const auto c = centres_of(2, 2, {0.0, 0.0, 1.0, 1.0});
    EXPECT_TRUE(assign_labels(x, c).empty());
}

struct Shape {
    std::size_t n, d, k;
};

class AssignLabelsReference : public ::testing::TestWithParam<std::tuple<Shape, Layout>> {};

// Labels equal the scalar nearest_centre reference for every sample, in every
// layout, with centres that include exact duplicates (ties) and samples.
TEST_P(AssignLabelsReference, MatchesScalarNearestCentre) {
    const auto& [s, layout] = GetParam();
    const auto v = testing::random_values(s.n * 31 + s.d * 7 + s.k, s.n, s.d, s.n / 3 + 1);
    Samples x(v, s.n, s.d, layout);
    auto c = centres_of(s.k, s.d, testing::random_values(s.k + 1000, s.k, s.d, s.k / 2 + 1));
    if (s.k > 1 && s.n > 0)
        for (std::size_t j = 0; j < s.d; ++j) c.row(1)[j] = x.view().at(0, j);
    EXPECT_EQ(assign_labels(x, c), testing::reference_labels(x, c));
}

INSTANTIATE_TEST_SUITE_P(Shapes, AssignLabelsReference,
                         ::testing::Combine(::testing::Values(Shape{1, 1, 1}, Shape{2, 3, 2}, Shape{17, 1, 5},
                                                              Shape{100, 2, 3}, Shape{257, 5, 9}, Shape{1000, 3, 16},
                                                              Shape{513, 8, 33}, Shape{64, 31, 7}, Shape{4099, 2, 4},
                                                              Shape{300, 0, 4}),
                                            ::testing::ValuesIn(testing::kAllLayouts)));

// ---- update_centres ----

TEST(UpdateCentres, SumsInSampleOrderFromPositiveZero) {
    // Cluster 0 gets 1e16, 1, -1e16 in this order: (1e16 + 1) rounds to 1e16,
    // so the sum is 0 (any other order gives 1). Cluster 1 gets -0.0 twice:
    // +0.0 + -0.0 is +0.0. Cluster 2 is 1e16 alone.
    Samples x(std::vector<double>{1e16, -0.0, 1.0, 1e16, -1e16, -0.0}, 6, 1);
    const std::vector<std::uint64_t> labels{0, 1, 0, 2, 0, 1};
    auto rng = RandomSource::from_seed(0);
    const CentreMatrix c = update_centres(x, labels, 3, rng);
    ASSERT_EQ(c.rows, 3u);
    ASSERT_EQ(c.cols, 1u);
    EXPECT_EQ(bits(c.values[0]), bits(0.0));
    EXPECT_EQ(bits(c.values[1]), bits(0.0));
    EXPECT_EQ(c.values[2], 1e16);
    auto fresh = RandomSource::from_seed(0);
    EXPECT_EQ(rng.draw_u64(), fresh.draw_u64()) << "no cluster was empty, nothing may be drawn";
}

TEST(UpdateCentres, DividesTrulyByTheCount) {
    // Sums chosen so that sum / 3 and sum * (1/3) round differently.
    const double a = 1.0, b = 2.0, c3 = 7.0;
    const double sum = (a + b) + c3;
    ASSERT_NE(sum / 3.0, sum * (1.0 / 3.0)) << "precondition: the data must tell division from reciprocal";
    Samples x(std::vector<double>{a, b, c3}, 3, 1);
    auto rng = RandomSource::from_seed(0);
    const CentreMatrix c = update_centres(x, {0, 0, 0}, 1, rng);
    EXPECT_EQ(bits(c.values[0]), bits(sum / 3.0));
}

// Empty clusters are re-seeded in increasing cluster order, one
// uniform_index(n) each, with a copy of that sample (not a mean).
TEST(UpdateCentres, EmptyClustersDrawInClusterOrder) {
    const std::size_t n = 9, d = 2, k = 5;
    const auto v = testing::random_values(42, n, d, n);
    for (Layout layout : testing::kAllLayouts) {
        Samples x(v, n, d, layout);
        // Clusters 1, 2 and 4 are empty.
        const std::vector<std::uint64_t> labels{0, 3, 0, 3, 3, 0, 0, 3, 0};
        auto rng = RandomSource::from_seed(1234);
        const CentreMatrix c = update_centres(x, labels, k, rng);
        auto hand = RandomSource::from_seed(1234);
        for (std::size_t cluster : {1u, 2u, 4u}) {
            const std::uint64_t r = hand.uniform_index(n);
            for (std::size_t j = 0; j < d; ++j)
                EXPECT_EQ(bits(c.row(cluster)[j]), bits(v[r * d + j])) << testing::layout_name(layout);
        }
        EXPECT_EQ(rng.draw_u64(), hand.draw_u64());
        // The non-empty clusters are means of their members.
        for (std::size_t j = 0; j < d; ++j) {
            double s0 = 0.0, s3 = 0.0;
            for (std::size_t i : {0u, 2u, 5u, 6u, 8u}) s0 += v[i * d + j];
            for (std::size_t i : {1u, 3u, 4u, 7u}) s3 += v[i * d + j];
            EXPECT_EQ(bits(c.row(0)[j]), bits(s0 / 5.0));
            EXPECT_EQ(bits(c.row(3)[j]), bits(s3 / 4.0));
        }
    }
}

TEST(UpdateCentres, NanSampleMakesItsCentreNan) {
    Samples x(std::vector<double>{1.0, kNan, 3.0, 4.0}, 2, 2);
    auto rng = RandomSource::from_seed(0);
    const CentreMatrix c = update_centres(x, {0, 0}, 1, rng);
    EXPECT_EQ(c.values[0], 2.0);
    EXPECT_TRUE(std::isnan(c.values[1]));
}

TEST(UpdateCentres, ZeroFeaturesReseedEveryOtherCluster) {
    Samples x(std::vector<double>{}, 6, 0);
    auto rng = RandomSource::from_seed(8);
    const CentreMatrix c = update_centres(x, std::vector<std::uint64_t>(6, 0), 4, rng);
    EXPECT_EQ(c.rows, 4u);
    EXPECT_EQ(c.cols, 0u);
    auto hand = RandomSource::from_seed(8);
    for (int i = 0; i < 3; ++i) hand.uniform_index(6);
    EXPECT_EQ(rng.draw_u64(), hand.draw_u64());
}

TEST(UpdateCentres, RejectsLabelsOutOfRange) {
    Samples x(std::vector<double>{1.0, 2.0}, 2, 1);
    auto rng = RandomSource::from_seed(0);
    EXPECT_EQ(testing::internal_failure_message([&] { update_centres(x, {0, 2}, 2, rng); }), "label out of range");
}

// Random values with infinities, NaN and zeros of both signs mixed in.
std::vector<double> values_with_specials(std::uint64_t seed, std::size_t n, std::size_t d) {
    auto v = testing::random_values(seed, n, d, n / 2 + 1);
    const double special[] = {kInf, -kInf, kNan, -0.0, 0.0, 1e300, -1e300};
    for (std::size_t i = 0; i < v.size(); i += 37) v[i] = special[(i / 37) % 7];
    return v;
}

// Sample views the update and inertia loops treat specially, beyond the
// layouts of testing::kAllLayouts: every row the same storage (row stride 0)
// and every feature of a row the same value (feature stride 0).
enum class ZeroStride { Rows, Features };

SampleMatrix zero_stride_view(const std::vector<double>& v, std::size_t n, std::size_t d, ZeroStride z) {
    SampleMatrix m;
    m.data = v.data();
    m.n_rows = n;
    m.n_cols = d;
    m.row_stride = z == ZeroStride::Rows ? 0 : static_cast<std::ptrdiff_t>(d);
    m.col_stride = z == ZeroStride::Rows ? 1 : 0;
    return m;
}

// Labels for k clusters in which cluster k - 1 (when k > 2) stays empty, and
// long runs of one label occur next to alternating ones.
std::vector<std::uint64_t> mixed_labels(std::size_t n, std::size_t k, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    const std::size_t used = k > 2 ? k - 1 : k;
    std::vector<std::uint64_t> labels(n);
    for (std::size_t i = 0; i < n; ++i) labels[i] = (i / 7) % 3 == 0 ? 0 : gen() % used;
    return labels;
}

void expect_same_centres(const CentreMatrix& got, const CentreMatrix& want, const std::string& what) {
    ASSERT_EQ(got.rows, want.rows) << what;
    ASSERT_EQ(got.cols, want.cols) << what;
    for (std::size_t i = 0; i < want.values.size(); ++i)
        ASSERT_TRUE(same_value(got.values[i], want.values[i]))
            << what << " element " << i << ": got " << got.values[i] << " want " << want.values[i];
}

// Feature counts with their own loops (1, 2, 3, 4, 8, 16) and their
// neighbours, which take the general loop.
constexpr std::size_t kWidths[] = {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 32, 33, 64};

class UpdateCentresWidths : public ::testing::TestWithParam<std::size_t> {};

// The centres equal the scalar reference bit for bit in every layout, with
// special values in the data and an empty cluster to re-seed.
TEST_P(UpdateCentresWidths, MatchesReferenceInEveryLayout) {
    const std::size_t d = GetParam();
    for (std::size_t n : {1u, 3u, 4u, 5u, 301u}) {
        for (std::size_t k : {1u, 2u, 6u}) {
            const auto v = values_with_specials(n * 13 + d, n, d);
            const auto labels = mixed_labels(n, k, n + d + k);
            for (Layout layout : testing::kAllLayouts) {
                Samples x(v, n, d, layout);
                auto rng = RandomSource::from_seed(n + k);
                auto ref_rng = RandomSource::from_seed(n + k);
                const auto want = testing::reference_update(x, labels, k, ref_rng);
                expect_same_centres(
                    update_centres(x, labels, k, rng), want,
                    std::string(testing::layout_name(layout)) + " n=" + std::to_string(n) + " k=" + std::to_string(k));
                EXPECT_EQ(rng.draw_u64(), ref_rng.draw_u64());
            }
            for (ZeroStride z : {ZeroStride::Rows, ZeroStride::Features}) {
                const SampleMatrix x = zero_stride_view(v, n, d, z);
                auto rng = RandomSource::from_seed(n + k);
                auto ref_rng = RandomSource::from_seed(n + k);
                const auto want = testing::reference_update(x, labels, k, ref_rng);
                expect_same_centres(update_centres(x, labels, k, rng), want,
                                    std::string(z == ZeroStride::Rows ? "zero row stride" : "zero feature stride") +
                                        " n=" + std::to_string(n) + " k=" + std::to_string(k));
            }
        }
    }
}

// A label out of range is reported wherever it sits, whatever the width.
TEST_P(UpdateCentresWidths, RejectsALabelOutOfRangeAnywhere) {
    const std::size_t d = GetParam();
    const std::size_t n = 9;
    const auto v = testing::random_values(d, n, d, n);
    for (Layout layout : {Layout::RowMajor, Layout::ColumnMajor}) {
        Samples x(v, n, d, layout);
        for (std::size_t bad = 0; bad < n; ++bad) {
            std::vector<std::uint64_t> labels(n, 1);
            labels[bad] = 3;
            auto rng = RandomSource::from_seed(0);
            EXPECT_EQ(testing::internal_failure_message([&] { update_centres(x, labels, 3, rng); }),
                      "label out of range")
                << bad;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, UpdateCentresWidths, ::testing::ValuesIn(kWidths));

TEST(ZeroCentres, OversizedMatrixIsMemoryExhaustion) {
    EXPECT_THROW(zero_centres(std::size_t{1} << 61, 8), std::bad_alloc);
    EXPECT_THROW(zero_centres(std::size_t{1} << 60, 1), std::bad_alloc);
}

// ---- compute_inertia ----

TEST(ComputeInertia, UsesTheLabelledCentreNotTheNearest) {
    // Labels from an earlier assignment: sample 0 is labelled 1 although
    // centre 0 is nearer now.
    Samples x(std::vector<double>{0.0, 10.0, 4.0}, 3, 1);
    const auto c = centres_of(2, 1, {0.0, 8.0});
    EXPECT_EQ(compute_inertia(x, {1, 1, 0}, c), 64.0 + 4.0 + 16.0);
}

TEST(ComputeInertia, EmptyAndFeaturelessSumsAreNegativeZero) {
    Samples empty(std::vector<double>{}, 0, 3);
    const auto c3 = centres_of(1, 3, {1.0, 2.0, 3.0});
    EXPECT_EQ(bits(compute_inertia(empty, {}, c3)), bits(-0.0));
    for (std::size_t n : {1u, 2u, 7u, 1000u}) {
        Samples x(std::vector<double>{}, n, 0);
        const auto c0 = centres_of(2, 0, {});
        EXPECT_EQ(bits(compute_inertia(x, std::vector<std::uint64_t>(n, 0), c0)), bits(-0.0)) << n;
    }
}

TEST(ComputeInertia, NanPropagates) {
    Samples x(std::vector<double>{1.0, kNan, 2.0}, 3, 1);
    const auto c = centres_of(1, 1, {kNan});
    EXPECT_TRUE(std::isnan(compute_inertia(x, {0, 0, 0}, c)));
}

TEST(ComputeInertia, LayoutsGiveTheSameValue) {
    // Small integers: every partial sum is exact, so the value does not
    // depend on the split tree and must be identical for every layout.
    const std::size_t n = 777, d = 3, k = 4;
    std::vector<double> v(n * d);
    for (std::size_t i = 0; i < v.size(); ++i) v[i] = static_cast<double>(static_cast<int>((i * 37) % 101) - 50);
    const auto c = centres_of(k, d, {1, 2, 3, -20, 0, 5, 40, -40, 0, 9, 9, -9});
    Samples base(v, n, d);
    const auto labels = testing::reference_labels(base, c);
    double exact = -0.0;
    for (std::size_t i = 0; i < n; ++i) exact += testing::ref_distance(base, i, c, labels[i]);
    for (Layout layout : testing::kAllLayouts) {
        Samples x(v, n, d, layout);
        EXPECT_EQ(compute_inertia(x, labels, c), exact) << testing::layout_name(layout);
    }
}

// Split tree of a loop over [begin, end) for a pool of one worker: the caller
// splits the whole range and hands both halves to the worker (they count as
// moved: budget max(T, B/2)); everything below runs on that worker unmoved
// (budget B/2 while positive). Leaves sum left to right from -0.0.
double tree_sum_one_worker(const std::vector<double>& terms, std::size_t begin, std::size_t end, std::size_t budget,
                           bool moved, bool root) {
    const std::size_t len = end - begin;
    std::size_t child_budget = 0;
    bool split = false;
    if (len / 2 >= 1) {
        if (moved) {
            child_budget = std::max<std::size_t>(1, budget / 2);
            split = true;
        } else if (budget > 0) {
            child_budget = budget / 2;
            split = true;
        }
    }
    if (!split) {
        double s = -0.0;
        for (std::size_t i = begin; i < end; ++i) s = s + terms[i];
        return s;
    }
    const std::size_t mid = begin + len / 2;
    return tree_sum_one_worker(terms, begin, mid, child_budget, root, false) +
           tree_sum_one_worker(terms, mid, end, child_budget, root, false);
}

double tree_sum_one_worker(const std::vector<double>& terms) {
    return tree_sum_one_worker(terms, 0, terms.size(), 1, false, true);
}

// Runs in a fresh process (the pool is sized once per process) with one
// worker: the inertia must equal the fixed split-tree sum bit for bit.
void inertia_matches_one_worker_tree() {
    setenv("RAYON_NUM_THREADS", "1", 1);
    if (runtime::pool_thread_count() != 1) {
        std::fprintf(stderr, "pool has %zu workers\n", runtime::pool_thread_count());
        std::exit(2);
    }
    int mismatches = 0;
    for (std::size_t n : {0u, 1u, 2u, 3u, 5u, 8u, 13u, 100u, 1001u, 4096u}) {
        const std::size_t d = 3, k = 5;
        const auto v = testing::random_values(n + 17, n, d, n + 1);
        Samples x(v, n, d, Layout::ColumnMajor);
        const auto c = centres_of(k, d, testing::random_values(n + 18, k, d, k));
        const auto labels = testing::reference_labels(x, c);
        std::vector<double> terms(n);
        for (std::size_t i = 0; i < n; ++i) terms[i] = testing::ref_distance(x, i, c, labels[i]);
        const double want = tree_sum_one_worker(terms);
        const double got = compute_inertia(x, labels, c);
        if (bits(got) != bits(want)) {
            std::fprintf(stderr, "n=%zu: got %.17g want %.17g\n", n, got, want);
            ++mismatches;
        }
    }
    // The tree must actually matter for this data, or the check proves nothing.
    const std::size_t n = 1001;
    const auto v = testing::random_values(n + 17, n, 3, n + 1);
    Samples x(v, n, 3);
    const auto c = centres_of(5, 3, testing::random_values(n + 18, 5, 3, 5));
    const auto labels = testing::reference_labels(x, c);
    std::vector<double> terms(n);
    double sequential = -0.0;
    for (std::size_t i = 0; i < n; ++i) sequential += terms[i] = testing::ref_distance(x, i, c, labels[i]);
    if (bits(sequential) == bits(tree_sum_one_worker(terms))) {
        std::fprintf(stderr, "data does not distinguish the tree from a sequential sum\n");
        ++mismatches;
    }
    std::exit(mismatches == 0 ? 0 : 1);
}

// One worker: for every width, layout and a centre matrix wider than the
// samples, with special values in the data, the inertia equals the fixed
// split-tree sum of the scalar distances.
void inertia_matches_one_worker_tree_every_width() {
    setenv("RAYON_NUM_THREADS", "1", 1);
    if (runtime::pool_thread_count() != 1) std::exit(2);
    int mismatches = 0;
    auto check = [&](const SampleMatrix& x, const CentreMatrix& c, const std::vector<std::uint64_t>& labels,
                     const char* what) {
        std::vector<double> terms(x.n_rows);
        for (std::size_t i = 0; i < x.n_rows; ++i) terms[i] = testing::ref_distance(x, i, c, labels[i]);
        const double want = tree_sum_one_worker(terms);
        const double got = compute_inertia(x, labels, c);
        if (!same_value(got, want)) {
            std::fprintf(stderr, "%s n=%zu d=%zu centre width %zu: got %.17g want %.17g\n", what, x.n_rows, x.n_cols,
                         c.cols, got, want);
            ++mismatches;
        }
    };
    for (std::size_t d : kWidths) {
        for (std::size_t n : {1u, 3u, 4u, 5u, 8u, 9u, 103u, 1001u}) {
            const std::size_t k = 5;
            for (bool specials : {false, true}) {
                const auto v = specials ? values_with_specials(n * 3 + d, n, d)
                                        : testing::random_values(n * 3 + d, n, d, n / 2 + 1);
                const auto labels = mixed_labels(n, k, n * 5 + d);
                // Centres of width d, and of width d + 1 (only the first d
                // coordinates take part).
                for (std::size_t extra : {0u, 1u}) {
                    const auto c = centres_of(k, d + extra, testing::random_values(n + d, k, d + extra, k));
                    for (Layout layout : testing::kAllLayouts) {
                        Samples x(v, n, d, layout);
                        check(x, c, labels, testing::layout_name(layout));
                    }
                    check(zero_stride_view(v, n, d, ZeroStride::Rows), c, labels, "zero row stride");
                    check(zero_stride_view(v, n, d, ZeroStride::Features), c, labels, "zero feature stride");
                }
            }
        }
    }
    std::exit(mismatches == 0 ? 0 : 1);
}

TEST(ComputeInertia, OneWorkerFollowsTheSplitTreeForEveryWidthAndLayout) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(inertia_matches_one_worker_tree_every_width(), ::testing::ExitedWithCode(0), "");
}

class ComputeInertiaWidths : public ::testing::TestWithParam<std::size_t> {};

// A label out of range is reported wherever it sits (inside a group of
// samples handled together or in the tail), whatever the width.
TEST_P(ComputeInertiaWidths, RejectsALabelOutOfRangeAnywhere) {
    const std::size_t d = GetParam();
    const std::size_t n = 9;
    const auto v = testing::random_values(d, n, d, n);
    const auto c = centres_of(2, d, testing::random_values(d + 1, 2, d, 2));
    for (Layout layout : {Layout::RowMajor, Layout::ColumnMajor}) {
        Samples x(v, n, d, layout);
        for (std::size_t bad = 0; bad < n; ++bad) {
            std::vector<std::uint64_t> labels(n, 1);
            labels[bad] = 2;
            EXPECT_EQ(testing::internal_failure_message([&] { compute_inertia(x, labels, c); }), "label out of range")
                << bad;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, ComputeInertiaWidths, ::testing::ValuesIn(kWidths));

TEST(ComputeInertia, OneWorkerFollowsTheSplitTree) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(inertia_matches_one_worker_tree(), ::testing::ExitedWithCode(0), "");
}

// The reference tree itself: with one worker, 8 samples end in single-sample
// leaves and 100 samples in leaves of 12 or 13.
TEST(ComputeInertia, ReferenceTreeShape) {
    // 1e16 + 1 + 1 + ... distinguishes groupings: (1e16 + 1) + 1 loses both
    // ones, while 1e16 + (1 + 1) keeps them.
    std::vector<double> t{1e16, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
    // Leaves are single terms; tree ((a+b)+(c+d))+((e+f)+(g+h)).
    EXPECT_EQ(tree_sum_one_worker(t), ((1e16 + 1.0) + (1.0 + 1.0)) + (4.0));
}

}  // namespace
}  // namespace corvalinth::kmeans
