// The storage a fit's passes keep: range spaces that only grow and report a
// failed allocation, slots reserved one thread at a time, and fits whose
// range spaces are lost and regained between iterations, bit for bit equal to
// the plain reference.
#include "kmeans/iteration/pass_storage.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

#include "kmeans/fit.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::Samples;

struct FailingSpace {
    explicit FailingSpace(bool on) { testing::set_failing_pass_space(on); }
    ~FailingSpace() { testing::set_failing_pass_space(false); }
};

TEST(RangeSpace, MakeRoomOnlyGrowsAndReportsFailure) {
    RangeSpace s;
    ASSERT_TRUE(s.make_room(10, 4, true));
    EXPECT_EQ(s.own.size(), 10u);
    EXPECT_GE(s.todo.capacity(), 10u);
    EXPECT_EQ(s.rows.size(), 40u);
    EXPECT_EQ(s.got.size(), 10u);
    EXPECT_EQ(s.got_lower.size(), 10u);
    ASSERT_TRUE(s.make_room(5, 2, false));
    EXPECT_EQ(s.own.size(), 10u);
    EXPECT_EQ(s.rows.size(), 40u);
    ASSERT_TRUE(s.make_room(12, 4, false));
    EXPECT_EQ(s.own.size(), 10u);  // not asked for
    EXPECT_EQ(s.rows.size(), 48u);
    EXPECT_EQ(s.got_lower.size(), 12u);
    {
        const FailingSpace failing(true);
        EXPECT_FALSE(s.make_room(12, 4, true));
        EXPECT_FALSE(s.make_room(1, 1, false));
    }
    EXPECT_TRUE(s.make_room(12, 4, true));
    EXPECT_EQ(s.own.size(), 12u);
}

TEST(PassStorage, EachSlotGoesToOneRangeAtATime) {
    PassStorage storage;
    const std::size_t count = runtime::pool_thread_count() + 1;
    std::set<RangeSpace*> taken;
    for (std::size_t i = 0; i < count; ++i) {
        RangeSpace* s = storage.acquire();
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(taken.insert(s).second);
    }
    EXPECT_EQ(storage.acquire(), nullptr);
    RangeSpace* back = *taken.begin();
    storage.release(back);
    EXPECT_EQ(storage.acquire(), back);
    EXPECT_EQ(storage.acquire(), nullptr);
    for (RangeSpace* s : taken) storage.release(s);
    EXPECT_NE(storage.acquire(), nullptr);
}

struct SpaceCase {
    std::size_t n, d, k;
    bool exact_bounds;  // narrow rows: bounds from the exact kernels, own distances per piece
};

class PassStorageFit : public ::testing::TestWithParam<SpaceCase> {};

// Fits with 14 iterations: with their range spaces throughout, without them
// from the start, and losing them for iterations 4 to 7 (the check before an
// iteration switches the allocation failure on and off). Every fit equals the
// reference; the bounds keep labels only where the spaces could be had.
TEST_P(PassStorageFit, SpaceLostAndRegainedMatchesTheReference) {
    const SpaceCase& p = GetParam();
    testing::set_exact_bounds_in_fits(p.exact_bounds ? testing::ExactBoundsInFits::Always
                                                     : testing::ExactBoundsInFits::Never);
    struct Restore {
        ~Restore() {
            testing::set_exact_bounds_in_fits(testing::ExactBoundsInFits::ByWidth);
            testing::set_failing_pass_space(false);
        }
    } restore;
    const Samples x(testing::random_values(p.d, p.n, p.d, p.k * 3), p.n, p.d);
    const std::uint64_t iters = 14, seed = 5;
    const auto ref = testing::reference_fit(x, p.k, iters, seed);
    for (const int mode : {0, 1, 2}) {
        testing::set_failing_pass_space(mode == 1);
        std::uint64_t iteration = 1;
        const InterruptCheck check = [&] {
            ++iteration;
            if (mode == 2) testing::set_failing_pass_space(iteration >= 4 && iteration <= 7);
            return false;
        };
        const std::uint64_t kept_before = testing::kept_label_count();
        KMeansModel m;
        m.params = KMeansParams{p.k, iters, 0.0, seed};
        ASSERT_FALSE(fit(m, x, check).has_value());
        const std::uint64_t kept = testing::kept_label_count() - kept_before;
        EXPECT_EQ(m.n_iter_, ref.n_iter);
        ASSERT_TRUE(m.cluster_centers_.has_value());
        EXPECT_EQ(testing::centre_mismatch(*m.cluster_centers_, ref.centres), "") << "mode " << mode;
        if (mode == 1)
            EXPECT_EQ(kept, 0u);
        else
            EXPECT_GT(kept, p.n) << "mode " << mode;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, PassStorageFit,
                         ::testing::Values(SpaceCase{4000, 8, 16, false}, SpaceCase{3000, 24, 20, false},
                                           SpaceCase{3000, 3, 12, true}));

}  // namespace
}  // namespace corvalinth::kmeans
