// Fits whose loops stay on the calling thread against the same fits handed to the pool: bit-identical results.
// ThreadInvariance* cases run again under 1, 2, 3 and 8 workers.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "kmeans/fit.hpp"
#include "kmeans/predict.hpp"
#include "runtime/pool/pool_testing.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::Layout;
using testing::Samples;

struct InlineCase {
    std::size_t n, d, k, distinct;
    std::uint64_t data_seed, fit_seed, max_iters;
    double tol;
    Layout layout;
};

struct Outcome {
    CentreMatrix centres;
    std::uint64_t n_iter;
    double inertia;
    std::vector<std::int32_t> labels;
    std::uint64_t inline_loops;
};

// Fits and predicts with loops below `inline_below` units of work on the
// calling thread.
Outcome fit_with(const InlineCase& p, const SampleMatrix& x, std::size_t inline_below) {
    runtime::testing::ScopedInlineWork scoped(inline_below);
    const std::uint64_t before = runtime::testing::inline_loop_count();
    KMeansModel m;
    m.params = KMeansParams{p.k, p.max_iters, p.tol, p.fit_seed};
    EXPECT_FALSE(fit(m, x, [] { return false; }).has_value());
    Outcome out{*m.cluster_centers_, m.n_iter_, m.inertia_, testing::predict_labels(m, x), 0};
    out.inline_loops = runtime::testing::inline_loop_count() - before;
    return out;
}

class ThreadInvarianceInlineFit : public ::testing::TestWithParam<InlineCase> {};

// Every loop that states its work on the calling thread, then every loop on
// the pool: labels, centres and n_iter_ bit for bit the same, and the inertia
// within rounding (its tree may differ when the pool's workers take pieces).
TEST_P(ThreadInvarianceInlineFit, SameResultsOnTheCallingThreadAndOnThePool) {
    const InlineCase& p = GetParam();
    const auto v = testing::random_values(p.data_seed, p.n, p.d, p.distinct);
    Samples x(v, p.n, p.d, p.layout);
    const Outcome kept = fit_with(p, x, runtime::kUnstatedWork);
    const Outcome pooled = fit_with(p, x, 0);
    // The first pass, two loops per iteration (the inertia and a labelling
    // pass; with the distances' buffer a pass that measures them and their
    // sum), no pass after the last unless the distances' buffer ran one
    // before a stop on tol, and predict's pass. These fits are below 2^15
    // samples, so rows of 4 features or more keep the buffer.
    const bool capped = kept.n_iter == p.max_iters;
    EXPECT_EQ(kept.inline_loops, 2 * kept.n_iter + (p.d >= 4 && !capped ? 2 : 1));
    EXPECT_EQ(pooled.inline_loops, 0u);
    EXPECT_EQ(kept.n_iter, pooled.n_iter) << "workers: " << runtime::pool_thread_count();
    EXPECT_EQ(testing::centre_mismatch(kept.centres, pooled.centres), "")
        << "workers: " << runtime::pool_thread_count();
    EXPECT_EQ(kept.labels, pooled.labels);
    EXPECT_NEAR(kept.inertia, pooled.inertia, std::abs(pooled.inertia) * 1e-12);
    // And both equal the plain sequential k-means.
    if (p.tol == 0.0) {
        const auto ref = testing::reference_fit(x, p.k, p.max_iters, p.fit_seed);
        EXPECT_EQ(kept.n_iter, ref.n_iter);
        EXPECT_EQ(testing::centre_mismatch(kept.centres, ref.centres), "");
    }
}

INSTANTIATE_TEST_SUITE_P(DataSets, ThreadInvarianceInlineFit,
                         ::testing::Values(InlineCase{342, 4, 3, 342, 1, 0, 300, 1e-4, Layout::RowMajor},
                                           InlineCase{342, 4, 3, 342, 1, 0, 25, 0.0, Layout::RowMajor},
                                           InlineCase{1000, 2, 5, 1000, 2, 3, 20, 0.0, Layout::ColumnMajor},
                                           // Few distinct points: duplicate centres and empty clusters re-seeded.
                                           InlineCase{600, 2, 12, 7, 3, 7, 15, 0.0, Layout::ReversedRows},
                                           InlineCase{257, 9, 40, 257, 5, 99, 10, 0.0, Layout::ReversedBoth},
                                           // Rows of 8 and more: the fused inertia and the carried bounds.
                                           InlineCase{3001, 16, 8, 3001, 4, 123, 30, 0.0, Layout::RowMajor},
                                           InlineCase{2000, 8, 300, 2000, 6, 5, 12, 0.0, Layout::PaddedRows},
                                           InlineCase{5000, 1, 3, 5000, 6, 2024, 300, 1e-4, Layout::ReversedCols},
                                           InlineCase{64, 3, 64, 64, 8, 1, 5, 0.0, Layout::Strided}));

// With the built-in threshold, a tiny fit keeps every loop of its iterations
// on the calling thread, and a large one hands its labelling to the pool.
TEST(InlineFit, BuiltInThresholdKeepsTinyFitsOnTheCallingThread) {
    const InlineCase tiny{342, 4, 3, 342, 1, 0, 300, 1e-4, Layout::RowMajor};
    const auto v = testing::random_values(tiny.data_seed, tiny.n, tiny.d, tiny.distinct);
    Samples x(v, tiny.n, tiny.d);
    const Outcome got = fit_with(tiny, x, runtime::kInlineWorkBelow);
    // Per iteration a pass that measures the distances and labels, and
    // their sum; the pass before the stop on tol, and predict's pass.
    EXPECT_EQ(got.inline_loops, 2 * got.n_iter + 2);

    const InlineCase large{200000, 4, 8, 200000, 2, 0, 3, 0.0, Layout::RowMajor};
    const auto w = testing::random_values(large.data_seed, large.n, large.d, large.distinct);
    Samples y(w, large.n, large.d);
    EXPECT_EQ(fit_with(large, y, runtime::kInlineWorkBelow).inline_loops, 0u);
}

// A pass states the work it expects from the share of samples the last pass
// scored against every centre: once the bounds keep most labels, a fit too
// large for its first passes to stay on the calling thread labels there, on
// every width the bounds serve, with the same results as on the pool.
struct SettlingCase {
    std::size_t n, d, k;
};

class InlineSettlingFit : public ::testing::TestWithParam<SettlingCase> {};

TEST_P(InlineSettlingFit, LatePassesStayOnTheCallingThread) {
    const SettlingCase& p = GetParam();
    InlineCase settling{p.n, p.d, p.k, p.n, 11, 3, 30, 0.0, Layout::RowMajor};
    const auto v = testing::blobs(17, p.n, p.d, p.k, 1.0, 0.0, false);
    Samples x(v, p.n, p.d);
    const Outcome got = fit_with(settling, x, runtime::kInlineWorkBelow);
    const Outcome pooled = fit_with(settling, x, 0);
    settling.max_iters = 1;
    const Outcome first = fit_with(settling, x, runtime::kInlineWorkBelow);
    ASSERT_EQ(got.n_iter, 30u);
    // One inertia loop per iteration stays on the calling thread; the first
    // pass, which scores every sample, and predict's pass go to the pool.
    EXPECT_EQ(first.inline_loops, 1u);
    const std::uint64_t passes_inline = got.inline_loops - got.n_iter;
    EXPECT_GE(passes_inline, 20u);
    EXPECT_LT(passes_inline, got.n_iter);
    EXPECT_EQ(got.centres.values, pooled.centres.values);
    EXPECT_EQ(got.labels, pooled.labels);
}

INSTANTIATE_TEST_SUITE_P(Widths, InlineSettlingFit,
                         ::testing::Values(SettlingCase{3000, 8, 8}, SettlingCase{6000, 3, 8}, SettlingCase{4000, 5, 6},
                                           SettlingCase{2500, 12, 10}));

}  // namespace
}  // namespace corvalinth::kmeans
