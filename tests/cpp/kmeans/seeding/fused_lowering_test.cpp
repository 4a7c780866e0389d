// The fused lowering of narrow rows against the separate plain passes, bit for
// bit, and the seeding built on it against the scalar reference under several
// pool sizes (see CMakeLists.txt).
#include "kmeans/seeding/fused_lowering.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <tuple>
#include <vector>

#include "kmeans/seeding/init_centres.hpp"
#include "kmeans/seeding/seeding_distances.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using runtime::RandomSource;
using testing::bits;
using testing::Layout;
using testing::Samples;

constexpr double kInf = std::numeric_limits<double>::infinity();

class FusedLowering : public ::testing::TestWithParam<std::tuple<std::size_t, Layout>> {};

// Ranges of odd lengths and starts, entries already lower, +inf and NaN
// rows, a chunk end inside the range: closest[], the total and every chunk
// end equal the distance pass followed by the left-to-right sum.
TEST_P(FusedLowering, EqualsSeparatePasses) {
    const auto& [d, layout] = GetParam();
    const std::size_t n = 613, chunk = 64;
    auto v = testing::random_values(17 + d, n, d, n);
    if (d > 0) {
        v[5 * d] = std::numeric_limits<double>::quiet_NaN();
        v[300 * d + d - 1] = 1e200;  // its square overflows
    }
    Samples x(v, n, d, layout);
    std::vector<double> centre(d);
    for (std::size_t j = 0; j < d; ++j) centre[j] = v[(n / 2) * d + j] * 0.75;
    const CentreMatrix c{1, d, centre};

    std::vector<double> start(n);
    for (std::size_t i = 0; i < n; ++i) start[i] = i % 7 == 0 ? kInf : (i % 5 == 0 ? 0.0 : 1e-3 * (i % 11));
    for (const auto& [begin, end] :
         std::vector<std::pair<std::size_t, std::size_t>>{{0, n}, {64, 129}, {3, 4}, {128, 128}}) {
        std::vector<double> want = start, got = start;
        std::vector<double> want_ends(n / chunk + 1, 7.0), got_ends = want_ends;
        double total = 2.5;
        for (std::size_t i = begin; i < end; ++i) {
            const double dist = testing::ref_distance(x, i, c, 0);
            if (dist < want[i]) want[i] = dist;
            total = total + want[i];
            if ((i + 1) % chunk == 0 || i + 1 == n) want_ends[i / chunk] = total;
        }
        const double fused =
            fused_lower_and_sum(x, centre.data(), d, begin, end, n, chunk, got.data(), 2.5, got_ends.data());
        EXPECT_EQ(bits(fused), bits(total)) << begin << ".." << end;
        for (std::size_t i = 0; i < n; ++i) ASSERT_EQ(bits(got[i]), bits(want[i])) << "sample " << i;
        for (std::size_t e = 0; e < want_ends.size(); ++e) EXPECT_EQ(bits(got_ends[e]), bits(want_ends[e])) << e;
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, FusedLowering,
                         ::testing::Combine(::testing::Range<std::size_t>(0, kFusedMaxDims),
                                            ::testing::Values(Layout::RowMajor, Layout::ColumnMajor,
                                                              Layout::ReversedRows, Layout::ReversedBoth)));

class ThreadInvarianceNarrowSeeding : public ::testing::TestWithParam<std::tuple<std::size_t, bool>> {};

// The whole seeding of narrow rows, in one piece per pass and cut into
// pieces between interrupt checks (that never stop it), equals the scalar
// reference, whatever the number of workers.
TEST_P(ThreadInvarianceNarrowSeeding, MatchesScalarSeeding) {
    const auto& [d, checked] = GetParam();
    const std::size_t n = (std::size_t{1} << 20) / (d + 1) + 3 * kSeedingChunk + 5, k = 6;
    const auto v = testing::random_values(40 + d, n, d, n / 3);
    Samples x(v, n, d);
    CentreMatrix centres = zero_centres(k, d);
    auto rng = RandomSource::from_seed(90 + d);
    int checks = 0;
    const InterruptCheck never = [&] { return ++checks < 0; };
    ASSERT_TRUE(init_centres(x, centres, rng, checked ? never : InterruptCheck{}));
    auto ref_rng = RandomSource::from_seed(90 + d);
    EXPECT_EQ(testing::centre_mismatch(centres, testing::reference_seeding(x, k, ref_rng)), "")
        << "workers " << runtime::pool_thread_count();
    EXPECT_EQ(rng.draw_u64(), ref_rng.draw_u64());
}

INSTANTIATE_TEST_SUITE_P(Widths, ThreadInvarianceNarrowSeeding,
                         ::testing::Combine(::testing::Values<std::size_t>(1, 2, 3, 7), ::testing::Bool()));

}  // namespace
}  // namespace corvalinth::kmeans
