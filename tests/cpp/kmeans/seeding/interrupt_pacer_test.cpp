// Interrupt checks inside a seeding step: the copy of the samples and every
// pass run in pieces with a check between them, on the calling thread; a stop
// there ends the seeding as an interrupt and changes no result otherwise.
#include "kmeans/seeding/interrupt_pacer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>
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
using testing::Samples;

// A check after every piece, for one scope.
struct EveryPiece {
    EveryPiece() { kmeans::testing::set_seeding_check_interval(std::chrono::microseconds{0}); }
    ~EveryPiece() { kmeans::testing::set_seeding_check_interval(std::chrono::microseconds{-1}); }
};

// Which copy of the samples the first pass makes: none, the panels of
// doubles, or the float copy (the others made to fail for one scope).
enum class Copy { none, panels, floats };
struct OnlyCopy {
    explicit OnlyCopy(Copy c) {
        using kmeans::testing::kSeedingFloat32;
        using kmeans::testing::kSeedingSampleCopy;
        kmeans::testing::set_failing_seeding_buffers(c == Copy::none ? kSeedingSampleCopy | kSeedingFloat32
                                                                     : (c == Copy::panels ? kSeedingFloat32 : 0u));
    }
    ~OnlyCopy() { kmeans::testing::set_failing_seeding_buffers(0); }
};

TEST(InterruptPacer, RunsTheCheckOnlyOnceTheIntervalHasPassed) {
    int calls = 0;
    const InterruptCheck count = [&] { return ++calls == 3; };
    InterruptPacer pacer(count);
    EXPECT_TRUE(pacer.active());
    EXPECT_FALSE(pacer.stop_now());  // the default interval has not passed since the start
    EXPECT_EQ(calls, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds{3});
    EXPECT_FALSE(pacer.stop_now());
    EXPECT_EQ(calls, 1);
    EXPECT_FALSE(pacer.stop_now());  // just checked
    EXPECT_EQ(calls, 1);
    EveryPiece every;
    EXPECT_FALSE(pacer.stop_now());
    EXPECT_TRUE(pacer.stop_now());
    EXPECT_EQ(calls, 3);
    const InterruptCheck none;
    InterruptPacer empty(none);
    EXPECT_FALSE(empty.active());
    EXPECT_FALSE(empty.stop_now());
}

// The first pass of n = 400000 rows of 16 features (51 MB: several pieces
// of the pass), without a copy of the samples and with each copy.
struct FirstPass {
    static constexpr std::size_t n = 400000, d = 16, k = 24;
    std::vector<double> v = testing::random_values(4, n, d, n);
    Samples x{v, n, d};
    CentreMatrix centres = zero_centres(k, d);
    FirstPass() {
        for (std::size_t j = 0; j < d; ++j) centres.row(0)[j] = x.view().at(77, j);
    }
    // Calls of the check in the first pass (none stops) and the pass checked
    // bit for bit against the pass without checks.
    int checks(Copy copy) {
        std::optional<OnlyCopy> only(copy);
        SeedingDistances plain(n, k);
        std::vector<double> plain_ends((n + kSeedingChunk - 1) / kSeedingChunk);
        const double want = plain.lower(x, centres, 0, plain_ends);
        EveryPiece every;
        int calls = 0;
        const InterruptCheck count = [&] { return ++calls < 0; };
        InterruptPacer pacer(count);
        SeedingDistances paced(n, k);
        std::vector<double> ends(plain_ends.size());
        const std::optional<double> total = paced.lower(x, centres, 0, ends, pacer);
        EXPECT_EQ(paced.copied_rows() > 0, copy == Copy::panels);
        EXPECT_EQ(paced.float_rows() > 0, copy == Copy::floats);
        only.reset();
        EXPECT_TRUE(total.has_value());
        if (!total) return calls;
        EXPECT_EQ(bits(*total), bits(want));
        for (std::size_t c = 0; c < ends.size(); ++c) EXPECT_EQ(bits(ends[c]), bits(plain_ends[c])) << c;
        for (std::size_t i = 0; i < n; ++i)
            if (bits(paced.closest()[i]) != bits(plain.closest()[i])) {
                ADD_FAILURE() << "sample " << i;
                break;
            }
        return calls;
    }
};

// Each copy and the first pass each check several times; the results are
// those of the pass without checks.
TEST(ThreadInvarianceSeedingPieces, CopyAndFirstPassCheckBetweenPieces) {
    FirstPass p;
    const int pass_only = p.checks(Copy::none);
    EXPECT_GE(pass_only, 3);
    for (Copy copy : {Copy::panels, Copy::floats}) {
        const int with_copy = p.checks(copy);
        EXPECT_GE(with_copy - pass_only, 2) << "the copy ran without checks: " << static_cast<int>(copy);
    }
}

// A stop at any check of the copy or the first pass ends the pass with
// nothing; a seeding afterwards is unaffected.
TEST(ThreadInvarianceSeedingPieces, StopAtEveryCheckOfTheFirstPass) {
    FirstPass p;
    for (Copy copy : {Copy::panels, Copy::floats}) {
        const int calls = p.checks(copy);
        OnlyCopy only(copy);
        EveryPiece every;
        for (int stop_at = 1; stop_at <= calls; ++stop_at) {
            int seen = 0;
            const InterruptCheck stop = [&] { return ++seen == stop_at; };
            InterruptPacer pacer(stop);
            SeedingDistances pass(FirstPass::n, FirstPass::k);
            std::vector<double> ends((FirstPass::n + kSeedingChunk - 1) / kSeedingChunk);
            EXPECT_FALSE(pass.lower(p.x, p.centres, 0, ends, pacer).has_value()) << stop_at;
            EXPECT_EQ(seen, stop_at);
        }
    }
    const testing::ReferenceFit want = testing::reference_fit(p.x, 5, 0, 2);
    CentreMatrix got = zero_centres(5, FirstPass::d);
    auto rng = RandomSource::from_seed(2);
    const InterruptCheck never = [] { return false; };
    ASSERT_TRUE(init_centres(p.x, got, rng, never));
    EXPECT_EQ(testing::centre_mismatch(got, want.centres), "");
}

// With two clusters the seeding is one pass and has no step to check
// between: the checks inside the pass are the only ones (max_iters = 0), a
// stop at the first is an interrupt that leaves the record as it was, and
// checks that never stop change nothing.
TEST(SeedingPieces, OnePassSeedingStopsAsAnInterrupt) {
    FirstPass p;
    EveryPiece every;
    for (std::uint64_t clusters : {2u, 30u}) {
        KMeansModel m;
        m.params = KMeansParams{clusters, 0, 0.0, 3};
        m.n_iter_ = 4;
        m.inertia_ = 1.5;
        int calls = 0;
        const auto error = fit(m, p.x, [&] { return ++calls == 1; });
        ASSERT_TRUE(error.has_value());
        EXPECT_EQ(error->kind, EngineError::Kind::Interrupted);
        EXPECT_EQ(calls, 1);
        EXPECT_EQ(m.n_iter_, 4u);
        EXPECT_EQ(bits(m.inertia_), bits(1.5));
        EXPECT_FALSE(m.cluster_centers_.has_value());

        calls = 0;
        const auto done = fit(m, p.x, [&] { return ++calls < 0; });
        ASSERT_FALSE(done.has_value());
        EXPECT_GE(calls, 3) << clusters;
        const testing::ReferenceFit want = testing::reference_fit(p.x, clusters, 0, 3);
        EXPECT_EQ(testing::centre_mismatch(*m.cluster_centers_, want.centres), "") << clusters;
    }
}

}  // namespace
}  // namespace corvalinth::kmeans
