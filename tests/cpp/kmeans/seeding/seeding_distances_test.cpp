// Seeding's skip certificate, its parallel lowering pass, the parallel centre
// update and interrupts during seeding. ThreadInvariance* cases run again
// under several pool sizes (see CMakeLists.txt).
#include "kmeans/seeding/seeding_distances.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/fit.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/kernels/reference.hpp"
#include "kmeans/seeding/gap_certificate.hpp"
#include "kmeans/seeding/init_centres.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using runtime::RandomSource;
using testing::bits;
using testing::Layout;
using testing::Samples;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

// ---- the certificate ----

struct Scale {
    const char* name;
    int exponent_lo, exponent_hi;  // coordinates are normal values times 2^e
    std::size_t min_certified;  // so that the case is not vacuous
};

class GapCertificate : public ::testing::TestWithParam<std::size_t> {};

// Owner a, sample x and newest centre b placed so that b is almost exactly
// twice as far from a as x is (the edge of the certificate), at scales where
// rounding is relative, where products underflow, and at large magnitudes. A
// certified sample must never be lowered by the kernel's own arithmetic.
TEST_P(GapCertificate, CertifiedSamplesNeverMove) {
    const std::size_t d = GetParam();
    const Scale scales[] = {{"unit", 0, 0, 10000}, {"products underflow", -549, -495, 20}, {"large", 480, 500, 10000}};
    std::mt19937_64 gen(d);
    std::normal_distribution<double> normal;
    std::uniform_int_distribution<int> skew(-50, -10);
    for (const Scale& s : scales) {
        std::uniform_int_distribution<int> exponent(s.exponent_lo, s.exponent_hi);
        std::vector<double> a(d), x(d), b(d);
        std::size_t certified = 0;
        for (int t = 0; t < 60000; ++t) {
            const double scale = std::ldexp(1.0, exponent(gen));
            for (std::size_t j = 0; j < d; ++j) {
                a[j] = normal(gen) * scale;
                x[j] = a[j] + normal(gen) * scale;
            }
            const double eps = std::ldexp(normal(gen), skew(gen));
            for (std::size_t j = 0; j < d; ++j) b[j] = a[j] + 2.0 * (x[j] - a[j]) * (1.0 + eps);
            const double closest = squared_distance(x.data(), 1, d, a.data(), d);
            const double gap = squared_distance(a.data(), 1, d, b.data(), d);
            if (!gap_certifies(gap, closest)) continue;
            ++certified;
            const double lowered = squared_distance(x.data(), 1, d, b.data(), d);
            ASSERT_FALSE(lowered < closest)
                << s.name << " d=" << d << " closest " << closest << " gap " << gap << " new distance " << lowered;
        }
        // Not vacuous: enough cases sit on the certified side (few where
        // distances fall near the certificate's absolute floor).
        EXPECT_GT(certified, s.min_certified) << s.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, GapCertificate, ::testing::Values(1u, 2u, 3u, 8u, 16u, 33u));

TEST(GapCertificateSpecials, NanAndInfinityNeverCertify) {
    EXPECT_FALSE(gap_certifies(kNan, 1.0));
    EXPECT_FALSE(gap_certifies(1e300, kNan));
    EXPECT_FALSE(gap_certifies(kInf, 1.0));  // an overflowed gap proves nothing
    EXPECT_FALSE(gap_certifies(1e308, kInf));
    EXPECT_FALSE(gap_certifies(1e308, 1e308));  // the bound overflows
    EXPECT_FALSE(gap_certifies(0.0, 0.0));  // coinciding centres
    EXPECT_TRUE(gap_certifies(4.0000001, 1.0));
    EXPECT_FALSE(gap_certifies(4.0, 1.0));
}

// ---- the lowering pass ----

// n x d values around `groups` well separated points, sample i in group
// i % groups: skipping has work to do.
std::vector<double> grouped_values(std::uint64_t seed, std::size_t n, std::size_t d, std::size_t groups) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<double> centres(groups * d);
    for (double& v : centres) v = normal(gen) * 50.0;
    std::vector<double> v(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t g = i % groups;
        for (std::size_t j = 0; j < d; ++j) v[i * d + j] = centres[g * d + j] + normal(gen);
    }
    return v;
}

struct PassCase {
    std::size_t n, d, k, groups;
    Layout layout;
};

class ThreadInvarianceLowering : public ::testing::TestWithParam<PassCase> {};

// Every pass leaves closest[] and the chunk totals bit-identical to a plain
// loop over all samples, and on grouped data of 16 or more features later
// passes read only part of the samples.
TEST_P(ThreadInvarianceLowering, EveryPassMatchesThePlainLoop) {
    const PassCase& p = GetParam();
    const auto v = grouped_values(p.n + p.d, p.n, p.d, p.groups);
    Samples x(v, p.n, p.d, p.layout);
    // Centres: one sample of each group in turn (as k-means++ tends to pick
    // them), plus a duplicate and a sample with a NaN coordinate. With
    // groups = k/2, every group has a centre by the second half of the passes.
    CentreMatrix centres{p.k, p.d, std::vector<double>(p.k * p.d)};
    for (std::size_t c = 0; c < p.k; ++c)
        for (std::size_t j = 0; j < p.d; ++j) centres.row(c)[j] = x.view().at(c, j);
    for (std::size_t j = 0; j < p.d; ++j) centres.row(p.k - 2)[j] = centres.row(1)[j];
    centres.row(p.k - 1)[0] = kNan;

    // Three seedings side by side: in one piece per pass, in pieces between
    // interrupt checks (a check that never stops), and without the flags by
    // which the running total follows a pass on the pool.
    const InterruptCheck never = [] { return false; };
    InterruptPacer pacer(never);
    const char* const kinds[] = {"whole", "in pieces", "total after the pass"};
    SeedingDistances passes[3] = {SeedingDistances(p.n, p.k), SeedingDistances(p.n, p.k), SeedingDistances(p.n, p.k)};
    std::vector<double> ends((p.n + kSeedingChunk - 1) / kSeedingChunk);
    std::vector<double> want(p.n, kInf);
    std::vector<double> want_ends;
    std::uint64_t read_late = 0;
    for (std::size_t c = 0; c < p.k; ++c) {
        const double want_total = testing::reference_lowering(x, centres, c, kSeedingChunk, want, want_ends);
        for (std::size_t kind = 0; kind < 3; ++kind) {
            SeedingDistances& pass = passes[kind];
            kmeans::testing::set_failing_seeding_buffers(kind == 2 ? kmeans::testing::kSeedingChunkFlags : 0u);
            const std::optional<double> total =
                kind == 1 ? pass.lower(x, centres, c, ends, pacer) : pass.lower(x, centres, c, ends);
            kmeans::testing::set_failing_seeding_buffers(0);
            ASSERT_TRUE(total.has_value());
            for (std::size_t e = 0; e < ends.size(); ++e)
                ASSERT_EQ(bits(ends[e]), bits(want_ends[e])) << kinds[kind] << " pass " << c << " chunk " << e;
            ASSERT_EQ(bits(*total), bits(want_total)) << kinds[kind] << " pass " << c;
            for (std::size_t i = 0; i < p.n; ++i)
                ASSERT_EQ(bits(pass.closest()[i]), bits(want[i]))
                    << kinds[kind] << " pass " << c << " sample " << i << " workers " << runtime::pool_thread_count();
        }
        // The NaN centre (the last) certifies nothing: every row is read.
        if (c >= p.k / 2 && c + 1 < p.k) read_late += passes[0].computed_last();
    }
    // Rows narrower than 16 are always read: testing costs as much as reading.
    if (p.d >= 16) {
        EXPECT_LT(read_late, (p.k - 1 - p.k / 2) * p.n / 4) << "skipping did not happen";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ThreadInvarianceLowering,
    ::testing::Values(PassCase{20000, 2, 24, 12, Layout::RowMajor}, PassCase{9000, 8, 30, 20, Layout::ReversedRows},
                      PassCase{6000, 16, 20, 10, Layout::ColumnMajor}, PassCase{3000, 33, 16, 8, Layout::PaddedRows},
                      PassCase{8000, 24, 40, 20, Layout::RowMajor}, PassCase{1500, 130, 12, 6, Layout::ReversedCols},
                      // Pieces of many chunks: the running total follows the pass on the pool.
                      PassCase{70000, 12, 10, 5, Layout::RowMajor}, PassCase{40000, 20, 12, 6, Layout::Strided}));

// Whole seedings equal the one-centre-at-a-time reference, in every layout.
TEST(ThreadInvarianceSeeding, MatchesReference) {
    for (const auto& [n, d, k, groups] :
         {std::tuple{30000u, 2u, 40u, 25u}, std::tuple{8000u, 12u, 64u, 30u}, std::tuple{2500u, 40u, 20u, 5u}}) {
        const auto v = grouped_values(n * k, n, d, groups);
        for (Layout layout : testing::kAllLayouts) {
            Samples x(v, n, d, layout);
            for (std::uint64_t seed : {0u, 5u}) {
                CentreMatrix got = zero_centres(k, d);
                auto rng = RandomSource::from_seed(seed);
                init_centres(x, got, rng);
                auto ref_rng = RandomSource::from_seed(seed);
                const CentreMatrix want = testing::reference_seeding(x, k, ref_rng);
                EXPECT_EQ(testing::centre_mismatch(got, want), "")
                    << testing::layout_name(layout) << " n=" << n << " d=" << d << " seed " << seed;
                EXPECT_EQ(rng.draw_u64(), ref_rng.draw_u64());
            }
        }
    }
}

// ---- the centre update ----

// Large enough for the pool: split by clusters (narrow rows) and by features
// (wide rows), with empty clusters to re-seed.
TEST(ThreadInvarianceUpdate, MatchesReference) {
    for (const auto& [n, d, k] : {std::tuple{40000u, 2u, 9u}, std::tuple{9000u, 16u, 5u}, std::tuple{3000u, 33u, 7u},
                                  std::tuple{2100u, 130u, 4u}, std::tuple{1000u, 784u, 3u}}) {
        const auto v = testing::random_values(n + d, n, d, n);
        std::mt19937_64 gen(d);
        std::vector<std::uint64_t> labels(n);
        for (auto& l : labels) l = gen() % (k - 1);  // the last cluster stays empty
        for (Layout layout : {Layout::RowMajor, Layout::ColumnMajor, Layout::ReversedBoth}) {
            Samples x(v, n, d, layout);
            auto rng = RandomSource::from_seed(n);
            auto ref_rng = RandomSource::from_seed(n);
            const CentreMatrix want = testing::reference_update(x, labels, k, ref_rng);
            EXPECT_EQ(testing::centre_mismatch(update_centres(x, labels, k, rng), want), "")
                << testing::layout_name(layout) << " n=" << n << " d=" << d;
            EXPECT_EQ(rng.draw_u64(), ref_rng.draw_u64());
        }
    }
}

TEST(ThreadInvarianceUpdate, KeptBuffersAreRefilled) {
    const std::size_t n = 30000, d = 3, k = 6;
    const auto v = testing::random_values(3, n, d, n);
    Samples x(v, n, d);
    CentreMatrix out;
    std::vector<std::uint64_t> counts;
    for (std::uint64_t round = 0; round < 3; ++round) {
        std::vector<std::uint64_t> labels(n);
        for (std::size_t i = 0; i < n; ++i) labels[i] = (i * (round + 1)) % k;
        auto rng = RandomSource::from_seed(round);
        auto ref_rng = RandomSource::from_seed(round);
        update_centres(x, labels, k, rng, out, counts);
        EXPECT_EQ(testing::centre_mismatch(out, testing::reference_update(x, labels, k, ref_rng)), "") << round;
    }
}

TEST(ThreadInvarianceUpdate, LabelOutOfRangeInAnyBlock) {
    for (std::size_t d : {2u, 40u}) {
        const std::size_t n = 40000, k = 4;
        const auto v = testing::random_values(d, n, d, 50);
        Samples x(v, n, d);
        for (std::size_t bad : {std::size_t{0}, n / 2, n - 1}) {
            std::vector<std::uint64_t> labels(n, 3);
            labels[bad] = k;
            auto rng = RandomSource::from_seed(0);
            EXPECT_EQ(testing::internal_failure_message([&] { update_centres(x, labels, k, rng); }),
                      "label out of range")
                << "d=" << d << " at " << bad;
        }
    }
}

// ---- interrupts during seeding ----

// A seeding of many centres checks for interrupts between its steps; a stop
// there leaves the whole record untouched, also with max_iters = 0.
TEST(SeedingInterrupt, StopLeavesTheRecordAsItWas) {
    const std::size_t n = 200000, d = 4;
    const auto v = testing::random_values(11, n, d, n);
    Samples x(v, n, d);
    for (std::uint64_t max_iters : {0u, 5u}) {
        KMeansModel m;
        m.params = KMeansParams{400, max_iters, 0.0, 3};
        m.n_iter_ = 17;
        m.inertia_ = 2.5;
        m.cluster_centers_ = CentreMatrix{1, 1, {42.0}};
        int calls = 0;
        const auto error = fit(m, x, [&] { return ++calls == 2; });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind, EngineError::Kind::Interrupted);
        EXPECT_EQ(calls, 2);
        EXPECT_EQ(m.n_iter_, 17u);
        EXPECT_EQ(bits(m.inertia_), bits(2.5));
        ASSERT_TRUE(m.cluster_centers_.has_value());
        EXPECT_EQ(m.cluster_centers_->values, std::vector<double>{42.0});
    }
}

// Checks are rate-limited by time, never once per step: a seeding of
// thousands of tiny steps calls the check far fewer times than it has steps.
TEST(SeedingInterrupt, ChecksAreSpacedOut) {
    const std::size_t n = 3000, d = 2, k = 3000;
    const auto v = testing::random_values(12, n, d, n);
    Samples x(v, n, d);
    CentreMatrix centres = zero_centres(k, d);
    auto rng = RandomSource::from_seed(1);
    int calls = 0;
    ASSERT_TRUE(init_centres(x, centres, rng, [&] { return ++calls < 0; }));
    EXPECT_LT(calls, static_cast<int>(k) / 4);
    // The same seeding as without checks.
    CentreMatrix plain = zero_centres(k, d);
    auto plain_rng = RandomSource::from_seed(1);
    init_centres(x, plain, plain_rng);
    EXPECT_EQ(testing::centre_mismatch(centres, plain), "");
}

}  // namespace
}  // namespace corvalinth::kmeans
