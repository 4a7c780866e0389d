// The seeding's optional buffers (the float copy, the copy of the samples, the owners): within
// half the input's size, and when one cannot be had the seeding runs without
// it and gives the same seeds. ThreadInvariance* cases run again under several
// pool sizes (see CMakeLists.txt).
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "kmeans/fit.hpp"
#include "kmeans/seeding/init_centres.hpp"
#include "kmeans/seeding/seeding_distances.hpp"
#include "kmeans/testing/knobs.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using runtime::RandomSource;
using testing::bits;
using testing::Layout;
using testing::Samples;

// Makes the chosen optional buffers fail for one scope.
struct FailingBuffers {
    explicit FailingBuffers(unsigned which) { kmeans::testing::set_failing_seeding_buffers(which); }
    ~FailingBuffers() { kmeans::testing::set_failing_seeding_buffers(0); }
};

// n x d values around `groups` well separated points: the certificate skips.
std::vector<double> grouped(std::uint64_t seed, std::size_t n, std::size_t d, std::size_t groups) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    std::vector<double> centres(groups * d);
    for (double& v : centres) v = normal(gen) * 40.0;
    std::vector<double> v(n * d);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) v[i * d + j] = centres[(i * 7 % groups) * d + j] + normal(gen);
    return v;
}

struct BufferCase {
    std::size_t n, d, k;
    // Which buffers the seeding takes when memory allows: the float copy
    // (which then stands alone), and the others without it.
    bool floats, copy, owners;
};

const BufferCase kCases[] = {
    {20000, 16, 30, true, true, true},  // the float copy; without it both others
    {9000, 8, 40, false, true, false},  // the copy only (rows too narrow for owners and floats)
    {5000, 40, 6, false, false, true},  // owners only (too few centres for the copies)
    {1300, 64, 24, true, true, true},  // copies of a prefix, the rest in place
    {300, 16, 24, false, false, true},  // fewer samples than a block: no copy
};

std::string name(const BufferCase& c) {
    return "n=" + std::to_string(c.n) + " d=" + std::to_string(c.d) + " k=" + std::to_string(c.k);
}

// The first pass chooses the buffers: never more than half the input's
// size, the copy a prefix of whole blocks of 512 samples.
TEST(SeedingBuffers, FitHalfTheInput) {
    for (const BufferCase& c : kCases) {
        const auto v = grouped(c.n, c.n, c.d, 10);
        Samples x(v, c.n, c.d);
        CentreMatrix centres = zero_centres(c.k, c.d);
        for (bool floats : {true, false}) {
            FailingBuffers fail(floats ? 0u : unsigned{kmeans::testing::kSeedingFloat32});
            SeedingDistances pass(c.n, c.k);
            std::vector<double> ends((c.n + kSeedingChunk - 1) / kSeedingChunk);
            pass.lower(x, centres, 0, ends);
            const bool float_copy = floats && c.floats;
            EXPECT_LE(pass.optional_bytes(), c.n * c.d * sizeof(double) / 2) << name(c);
            EXPECT_EQ(pass.float_rows() > 0, float_copy) << name(c);
            EXPECT_EQ(pass.float_rows() % 32, 0u) << name(c);
            EXPECT_LE(pass.float_rows(), c.n) << name(c);
            EXPECT_EQ(pass.copied_rows() > 0, c.copy && !float_copy) << name(c);
            EXPECT_EQ(pass.copied_rows() % 512, 0u) << name(c);
            EXPECT_LE(pass.copied_rows(), c.n) << name(c);
            EXPECT_EQ(pass.owners_tracked(), c.owners && !float_copy) << name(c);
            if (float_copy) {
                // The float copy holds every whole panel of 32 samples, or all
                // but a panel's worth of the budget goes to it.
                EXPECT_TRUE(pass.float_rows() == c.n - c.n % 32 ||
                            pass.optional_bytes() + 32 * (c.d * sizeof(std::uint16_t) + sizeof(double)) >
                                c.n * c.d * sizeof(double) / 2)
                    << name(c);
            } else if (c.copy && c.n >= 4096) {
                // As much of the input as the budget allows is copied.
                EXPECT_GT(pass.optional_bytes() + 512 * c.d * sizeof(double), c.n * c.d * sizeof(double) / 2)
                    << name(c);
            }
        }
    }
}

// Each buffer made to fail: it is left out, the others are kept, and every
// pass gives closest[] and the totals bit for bit as with all buffers.
TEST(ThreadInvarianceSeedingBuffers, EveryPassTheSameWithoutEachBuffer) {
    using kmeans::testing::kSeedingFloat32;
    using kmeans::testing::kSeedingOwners;
    using kmeans::testing::kSeedingSampleCopy;
    for (const BufferCase& c : kCases) {
        const auto v = grouped(c.n + 1, c.n, c.d, c.k / 2);
        Samples x(v, c.n, c.d, Layout::ReversedRows);
        CentreMatrix centres{c.k, c.d, std::vector<double>(c.k * c.d)};
        for (std::size_t r = 0; r < c.k; ++r)
            for (std::size_t j = 0; j < c.d; ++j) centres.row(r)[j] = x.view().at(r * 13 % c.n, j);
        std::vector<std::vector<double>> want;  // closest[] after each pass, all buffers
        std::vector<std::uint64_t> want_totals;
        for (unsigned failing : {0u, unsigned{kSeedingSampleCopy}, unsigned{kSeedingOwners}, unsigned{kSeedingFloat32},
                                 kSeedingFloat32 | kSeedingSampleCopy, kSeedingFloat32 | kSeedingOwners,
                                 kSeedingFloat32 | kSeedingSampleCopy | kSeedingOwners}) {
            const bool floats = c.floats && (failing & kSeedingFloat32) == 0;
            FailingBuffers fail(failing);
            SeedingDistances pass(c.n, c.k);
            std::vector<double> ends((c.n + kSeedingChunk - 1) / kSeedingChunk);
            std::uint64_t read = 0;
            for (std::size_t r = 0; r < c.k; ++r) {
                const double total = pass.lower(x, centres, r, ends);
                read += pass.computed_last();
                if (r == 0) {
                    EXPECT_EQ(pass.float_rows() > 0, floats) << name(c) << " failing " << failing;
                    EXPECT_EQ(pass.copied_rows() > 0, !floats && c.copy && (failing & kSeedingSampleCopy) == 0)
                        << name(c) << " failing " << failing;
                    EXPECT_EQ(pass.owners_tracked(), !floats && c.owners && (failing & kSeedingOwners) == 0)
                        << name(c) << " failing " << failing;
                }
                if (failing == 0) {
                    want.push_back(pass.closest());
                    want_totals.push_back(bits(total));
                    continue;
                }
                ASSERT_EQ(bits(total), want_totals[r]) << name(c) << " failing " << failing << " pass " << r;
                for (std::size_t i = 0; i < c.n; ++i)
                    ASSERT_EQ(bits(pass.closest()[i]), bits(want[r][i]))
                        << name(c) << " failing " << failing << " pass " << r << " sample " << i;
            }
            // Without owners or floats nothing is skipped: every pass reads every row.
            if (!floats && ((failing & kSeedingOwners) != 0 || !c.owners)) {
                EXPECT_EQ(read, c.n * c.k) << name(c) << " failing " << failing;
            } else {
                EXPECT_LT(read, c.n * c.k) << name(c) << " failing " << failing;
            }
        }
    }
}

// Whole fits with every optional buffer of the seeding failing: no error,
// and the seeds (max_iters = 0) and fitted centres of the reference, in
// every layout.
TEST(ThreadInvarianceSeedingBuffers, FitsWithoutBuffersMatchTheReference) {
    for (const auto& [n, d, k] : {std::tuple{6000u, 16u, 32u}, std::tuple{4000u, 9u, 24u}}) {
        const auto v = grouped(n * d, n, d, 12);
        for (Layout layout : testing::kAllLayouts) {
            Samples x(v, n, d, layout);
            for (std::uint64_t iters : {0u, 2u}) {
                const testing::ReferenceFit want = testing::reference_fit(x, k, iters, 9);
                for (unsigned failing : {0u, 8u, 15u}) {
                    FailingBuffers fail(failing);
                    KMeansModel m;
                    m.params = KMeansParams{k, iters, 0.0, 9};
                    const auto error = fit(m, x, InterruptCheck{});
                    ASSERT_FALSE(error.has_value()) << error->message;
                    ASSERT_TRUE(m.cluster_centers_.has_value());
                    EXPECT_EQ(testing::centre_mismatch(*m.cluster_centers_, want.centres), "")
                        << testing::layout_name(layout) << " n=" << n << " d=" << d << " iters " << iters << " failing "
                        << failing;
                }
            }
        }
    }
}

}  // namespace
}  // namespace corvalinth::kmeans
