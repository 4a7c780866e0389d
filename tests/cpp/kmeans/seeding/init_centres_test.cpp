#include "kmeans/seeding/init_centres.hpp"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <numeric>
#include <set>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/testing/knobs.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using runtime::RandomSource;
using testing::bits;
using testing::Layout;
using testing::Samples;

std::vector<double> zero_to_nine() {
    std::vector<double> v(10);
    std::iota(v.begin(), v.end(), 0.0);
    return v;
}

// Next draw of `used` equals the next draw of `expected`: both have consumed
// exactly the same part of the stream.
void expect_same_stream_position(RandomSource& used, RandomSource& expected) {
    EXPECT_EQ(used.draw_u64(), expected.draw_u64());
    EXPECT_EQ(used.block_counter(), expected.block_counter());
}

struct KnownSeeding {
    std::size_t k;
    std::vector<double> centres;
};

class InitCentresKnownAnswer : public ::testing::TestWithParam<KnownSeeding> {};

// Seed 0 on samples 0..9: the first draw gives 7, the weighted picks 1 then 5.
TEST_P(InitCentresKnownAnswer, SeedZeroOnZeroToNine) {
    const auto& p = GetParam();
    Samples x(zero_to_nine(), 10, 1);
    CentreMatrix c = zero_centres(p.k, 1);
    auto rng = RandomSource::from_seed(0);
    init_centres(x, c, rng);
    EXPECT_EQ(c.values, p.centres);

    // Draws: one uniform_index(10), then one uniform_unit per further centre.
    auto expected = RandomSource::from_seed(0);
    EXPECT_EQ(expected.uniform_index(10), 7u);
    for (std::size_t i = 1; i < p.k; ++i) expected.uniform_unit();
    expect_same_stream_position(rng, expected);
}

INSTANTIATE_TEST_SUITE_P(Seeds, InitCentresKnownAnswer,
                         ::testing::Values(KnownSeeding{1, {7.0}}, KnownSeeding{2, {7.0, 1.0}},
                                           KnownSeeding{3, {7.0, 1.0, 5.0}}));

struct SeedingFailure {
    std::size_t n, k;
    const char* message;
    int draws_made;  // uniform_index(n) calls before the failure
};

class InitCentresFailure : public ::testing::TestWithParam<SeedingFailure> {};

// n = 0 fails before any draw; k = 0 after the first centre's draw.
TEST_P(InitCentresFailure, ReportsAndDrawsAsSpecified) {
    const auto& p = GetParam();
    Samples x(std::vector<double>(p.n * 2, 0.5), p.n, 2);
    CentreMatrix c = zero_centres(p.k, 2);
    auto rng = RandomSource::from_seed(5);
    EXPECT_EQ(testing::internal_failure_message([&] { init_centres(x, c, rng); }), p.message);
    auto expected = RandomSource::from_seed(5);
    for (int i = 0; i < p.draws_made; ++i) expected.uniform_index(p.n);
    expect_same_stream_position(rng, expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, InitCentresFailure,
                         ::testing::Values(SeedingFailure{0, 0, "cannot sample empty range", 0},
                                           SeedingFailure{0, 2, "cannot sample empty range", 0},
                                           SeedingFailure{1, 0, "assertion failed: index < dim", 1},
                                           SeedingFailure{10, 0, "assertion failed: index < dim", 1}));

// All samples equal: every total is zero, so every further centre is a
// uniform_index pick and all centres equal the sample.
TEST(InitCentres, IdenticalSamplesUseUniformPicks) {
    const std::size_t n = 7, k = 5;
    std::vector<double> v;
    for (std::size_t i = 0; i < n; ++i) v.insert(v.end(), {2.5, -1.0});
    Samples x(v, n, 2);
    CentreMatrix c = zero_centres(k, 2);
    auto rng = RandomSource::from_seed(99);
    init_centres(x, c, rng);
    for (std::size_t r = 0; r < k; ++r) {
        EXPECT_EQ(c.row(r)[0], 2.5);
        EXPECT_EQ(c.row(r)[1], -1.0);
    }
    auto expected = RandomSource::from_seed(99);
    for (std::size_t r = 0; r < k; ++r) expected.uniform_index(n);
    expect_same_stream_position(rng, expected);
}

// All-zero samples have distance -0.0 to the first centre: the total is -0.0,
// which compares equal to zero and takes the uniform branch as well.
TEST(InitCentres, ZeroFeatureSamplesUseUniformPicks) {
    const std::size_t n = 4, k = 3;
    std::vector<double> none;
    Samples x(none, n, 0);
    CentreMatrix c = zero_centres(k, 0);
    auto rng = RandomSource::from_seed(3);
    init_centres(x, c, rng);
    auto expected = RandomSource::from_seed(3);
    for (std::size_t r = 0; r < k; ++r) expected.uniform_index(n);
    expect_same_stream_position(rng, expected);
}

// k = n distinct samples: the centres are the samples in some order.
TEST(InitCentres, KEqualsNPicksEverySampleOnce) {
    for (std::uint64_t seed : {0ull, 1ull, 2ull, 77ull, ~0ull}) {
        const std::size_t n = 12;
        std::vector<double> v(n);
        for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<double>(i * i) * 0.5;
        Samples x(v, n, 1);
        CentreMatrix c = zero_centres(n, 1);
        auto rng = RandomSource::from_seed(seed);
        init_centres(x, c, rng);
        std::set<double> picked(c.values.begin(), c.values.end());
        EXPECT_EQ(picked, std::set<double>(v.begin(), v.end())) << "seed " << seed;
    }
}

// A NaN sample keeps +inf as its closest distance, so the total and the
// target are +inf and the pick is the first sample whose running sum becomes
// +inf: the NaN sample itself, or sample 0 when the NaN sample came first.
TEST(InitCentres, NanSampleCarriesInfiniteWeight) {
    for (std::uint64_t seed = 0; seed < 16; ++seed) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        std::vector<double> v{0.0, 1.0, nan, 3.0};
        Samples x(v, 4, 1);
        CentreMatrix c = zero_centres(2, 1);
        auto rng = RandomSource::from_seed(seed);
        init_centres(x, c, rng);
        auto hand = RandomSource::from_seed(seed);
        const std::uint64_t first = hand.uniform_index(4);
        hand.uniform_unit();
        expect_same_stream_position(rng, hand);
        EXPECT_EQ(bits(c.values[0]), bits(v[first]));
        if (first == 2) {
            EXPECT_EQ(c.values[1], 0.0) << "seed " << seed;
        } else {
            EXPECT_TRUE(std::isnan(c.values[1])) << "seed " << seed;
        }
    }
}

// Duplicates of a chosen centre have weight zero and are not picked while any
// other sample has positive weight.
TEST(InitCentres, DuplicatesOfChosenCentreAreNotPicked) {
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        // Nine copies of 4.0 and one 8.0.
        std::vector<double> v(10, 4.0);
        v[6] = 8.0;
        Samples x(v, 10, 1);
        CentreMatrix c = zero_centres(2, 1);
        auto rng = RandomSource::from_seed(seed);
        init_centres(x, c, rng);
        if (c.values[0] == 4.0) {
            EXPECT_EQ(c.values[1], 8.0) << "seed " << seed;
        } else {
            EXPECT_EQ(c.values[1], 4.0) << "seed " << seed;
        }
    }
}

// Rows without a copy keep what they held (the fit passes +0.0 rows); rows
// that are picked are exact copies, including the sign of zero.
TEST(InitCentres, CopiesRowsExactly) {
    std::vector<double> v{-0.0, 1e-310, -7.25, std::numeric_limits<double>::max()};
    Samples x(v, 2, 2, Layout::ReversedBoth);
    CentreMatrix c = zero_centres(2, 2);
    auto rng = RandomSource::from_seed(0);
    init_centres(x, c, rng);
    std::multiset<std::uint64_t> got{bits(c.values[0]), bits(c.values[1]), bits(c.values[2]), bits(c.values[3])};
    std::multiset<std::uint64_t> want{bits(v[0]), bits(v[1]), bits(v[2]), bits(v[3])};
    EXPECT_EQ(got, want);
}

struct SeedingCase {
    std::size_t n, d, k, distinct;
    std::uint64_t seed;
};

class InitCentresReference : public ::testing::TestWithParam<std::tuple<SeedingCase, Layout>> {};

// The seeding (vectorised distances in blocks) equals the scalar k-means++
// reference bit for bit, in every memory layout, and draws the same amount.
TEST_P(InitCentresReference, MatchesScalarSeeding) {
    const auto& [p, layout] = GetParam();
    const auto v = testing::random_values(p.seed, p.n, p.d, p.distinct);
    Samples x(v, p.n, p.d, layout);
    CentreMatrix c = zero_centres(p.k, p.d);
    auto rng = RandomSource::from_seed(p.seed);
    init_centres(x, c, rng);
    auto ref_rng = RandomSource::from_seed(p.seed);
    const CentreMatrix ref = testing::reference_seeding(x, p.k, ref_rng);
    EXPECT_EQ(testing::centre_mismatch(c, ref), "");
    expect_same_stream_position(rng, ref_rng);
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, InitCentresReference,
    ::testing::Combine(::testing::Values(SeedingCase{1, 3, 1, 1, 4}, SeedingCase{37, 1, 5, 37, 5},
                                         SeedingCase{200, 3, 8, 200, 6}, SeedingCase{300, 5, 12, 9, 7},
                                         SeedingCase{2500, 4, 6, 2500, 8}, SeedingCase{1025, 2, 40, 1025, 9},
                                         SeedingCase{64, 17, 64, 64, 10}, SeedingCase{10, 0, 3, 1, 11}),
                       ::testing::ValuesIn(testing::kAllLayouts)));

// Several chunks of samples with rows whose squares overflow (infinite
// weights, so the running sum turns +inf mid-scan) and NaN rows (weight +inf
// for good): every pick still equals the one-pass reference scan.
TEST(InitCentresReferenceSpecial, InfiniteAndNanWeightsAcrossChunks) {
    const std::size_t n = 3100, d = 3, k = 7;
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        auto v = testing::random_values(seed, n, d, n);
        v[(1500 + seed * 37) * d + 1] = 1e200;
        v[(2900 - seed * 11) * d + 2] = -1e200;
        if (seed % 3 == 0) v[(2050 + seed) * d] = std::numeric_limits<double>::quiet_NaN();
        Samples x(v, n, d);
        CentreMatrix c = zero_centres(k, d);
        auto rng = RandomSource::from_seed(seed);
        init_centres(x, c, rng);
        auto ref_rng = RandomSource::from_seed(seed);
        const CentreMatrix ref = testing::reference_seeding(x, k, ref_rng);
        EXPECT_EQ(testing::centre_mismatch(c, ref), "") << "seed " << seed;
        expect_same_stream_position(rng, ref_rng);
    }
}

// The labels a seeding hands to the first Lloyd pass: every sample's nearest
// seed by the labelling's rule (strictly smaller, ties to the lowest index,
// 0 for rows whose every distance is NaN or +infinity), however each step's
// pass ran: with the float copy (whole or a prefix), with the owners tracked
// for the certificate, with the calling thread flushing subnormals from the
// start or from some step on (the float bound and the certificate then stand
// aside). The seeds and the draws are those of the plain overload.
struct SeededCase {
    const char* name;
    std::size_t n, d, k, distinct;
    unsigned failing;  // seeding buffers made to fail
    unsigned start_bits, toggle_bits;  // the caller's flush bits at the start, and those the checks flip
    bool specials;  // NaN rows and rows whose squares overflow
    bool labels;  // whether the seeding keeps its owners
};

constexpr unsigned kFlushBits = (1u << 15) | (1u << 6);

class InitCentresSeededLabels : public ::testing::TestWithParam<std::tuple<SeededCase, Layout>> {
protected:
    void TearDown() override {
        testing::set_failing_seeding_buffers(0);
        testing::set_seeding_check_interval(std::chrono::milliseconds(2));
    }
};

TEST_P(InitCentresSeededLabels, NameEverySamplesNearestSeed) {
    const auto& [p, layout] = GetParam();
    auto v = testing::random_values(p.n + p.d, p.n, p.d, p.distinct);
    if (p.specials) {
        v[(p.n / 3) * p.d + 1] = std::numeric_limits<double>::quiet_NaN();
        v[(p.n / 2) * p.d] = 1e200;
        v[(p.n - 5) * p.d + p.d - 1] = -1e200;
    }
    Samples x(v, p.n, p.d, layout);
    CentreMatrix plain = zero_centres(p.k, p.d);
    auto plain_rng = RandomSource::from_seed(p.n);
    init_centres(x, plain, plain_rng);

    testing::set_failing_seeding_buffers(p.failing);
    testing::set_seeding_check_interval(std::chrono::microseconds(0));
    const unsigned saved = _mm_getcsr();
    _mm_setcsr((saved & ~kFlushBits) | p.start_bits);
    std::size_t checks = 0;
    // Flipped at every third check: passes of both modes, in no fixed rhythm.
    const InterruptCheck flip = [&] {
        if (++checks % 3 == 0) _mm_setcsr(_mm_getcsr() ^ p.toggle_bits);
        return false;
    };
    CentreMatrix c = zero_centres(p.k, p.d);
    auto rng = RandomSource::from_seed(p.n);
    std::unique_ptr<std::uint32_t[]> labels;
    const bool done = init_centres(x, c, rng, flip, &labels);
    _mm_setcsr(saved);
    ASSERT_TRUE(done);
    // A check between every two steps at least: the mode changes between steps.
    EXPECT_GE(checks, p.k - 1);
    EXPECT_EQ(testing::centre_mismatch(c, plain), "");
    expect_same_stream_position(rng, plain_rng);
    ASSERT_EQ(labels != nullptr, p.labels);
    if (!labels) return;
    const std::vector<std::uint64_t> want = testing::reference_labels(x, c);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < p.n; ++i) wrong += labels[i] != want[i] ? 1 : 0;
    EXPECT_EQ(wrong, 0u);
}

using testing::kSeedingOwners;
INSTANTIATE_TEST_SUITE_P(
    Cases, InitCentresSeededLabels,
    ::testing::Combine(
        ::testing::Values(SeededCase{"FloatCopy", 3000, 16, 12, 3000, 0, 0, 0, false, true},
                          // The copy holds a prefix: the last rows are read in place.
                          SeededCase{"FloatCopyPrefix", 700, 32, 40, 700, 0, 0, 0, false, true},
                          // Few distinct rows: ties between seeds and duplicate seeds.
                          SeededCase{"Duplicates", 1500, 16, 10, 40, 0, 0, 0, false, true},
                          SeededCase{"Specials", 2100, 20, 9, 2100, 0, 0, 0, true, true},
                          // Fewer than 8 centres: no copy, the owners tracked for the certificate.
                          SeededCase{"Tracked", 2000, 24, 5, 2000, 0, 0, 0, false, true},
                          SeededCase{"NoOwners", 3000, 16, 12, 3000, kSeedingOwners, 0, 0, false, false},
                          SeededCase{"Narrow", 3000, 12, 12, 3000, 0, 0, 0, false, false},
                          SeededCase{"FlushingThenNot", 3000, 16, 12, 3000, 0, kFlushBits, kFlushBits, false, true},
                          SeededCase{"CopyThenFlushing", 3000, 16, 12, 3000, 0, 0, kFlushBits, false, true}),
        ::testing::Values(Layout::RowMajor, Layout::ColumnMajor, Layout::ReversedBoth)),
    [](const auto& info) {
        return std::string(std::get<0>(info.param).name) + "_" +
               std::to_string(static_cast<int>(std::get<1>(info.param)));
    });

}  // namespace
}  // namespace corvalinth::kmeans
