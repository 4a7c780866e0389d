// Fits and predictions give the IEEE results whatever floating-point mode the
// calling thread is in, also when only the caller flushes subnormals and when
// the mode changes between seeding steps (as a Python signal handler can
// change it inside the interrupt check).
#include "runtime/cpu/float_mode.hpp"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kmeans/fit.hpp"
#include "kmeans/predict.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::Samples;

constexpr unsigned kFlushToZero = 1u << 15;
constexpr unsigned kDenormalsAreZero = 1u << 6;
constexpr unsigned kFlushBits = kFlushToZero | kDenormalsAreZero;

// Sets the calling thread's two flush bits to `bits` for the scope.
class CallerMode {
public:
    explicit CallerMode(unsigned bits) : saved_(_mm_getcsr()) { set(bits); }
    ~CallerMode() { _mm_setcsr(saved_); }
    static void set(unsigned bits) { _mm_setcsr((_mm_getcsr() & ~kFlushBits) | bits); }
    static unsigned bits() { return _mm_getcsr() & kFlushBits; }

private:
    unsigned saved_;
};

KMeansModel fitted(const SampleMatrix& x, std::uint64_t k, std::uint64_t iters, const InterruptCheck& check = {}) {
    KMeansModel m;
    m.params = KMeansParams{k, iters, 0.0, 7};
    EXPECT_FALSE(fit(m, x, check).has_value());
    return m;
}

// Blobs whose every value, distance and sum is a normal double, and whose
// centred float32 norms are float subnormals (scale 1e-22): the mode cannot
// change the definition's results, but a float32 stage whose centre panel
// was prepared in flushing arithmetic would certify wrong labels.
constexpr double kScale = 1e-22;

std::vector<double> tiny_blobs(std::size_t n, std::size_t d, std::size_t groups) {
    std::mt19937_64 gen(3);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> centres(groups * d);
    for (double& c : centres) c = 20.0 * normal(gen);
    std::uniform_int_distribution<std::size_t> pick(0, groups - 1);
    std::vector<double> v(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t g = pick(gen);
        for (std::size_t j = 0; j < d; ++j) v[i * d + j] = (centres[g * d + j] + normal(gen)) * kScale;
    }
    return v;
}

struct ModeCase {
    const char* name;
    unsigned bits;
};

class CallerFlushes : public ::testing::TestWithParam<ModeCase> {};

// The pool's workers keep gradual underflow; only the calling thread flushes.
TEST_P(CallerFlushes, PredictAndIterationsStayExact) {
    const std::size_t n = 12878, d = 8, k = 255;
    const Samples x(tiny_blobs(n, d, 40), n, d);
    // Reference results in IEEE arithmetic (and the pool started by them).
    const KMeansModel seeded = fitted(x, k, 0);
    const std::vector<std::uint64_t> want = testing::reference_labels(x, *seeded.cluster_centers_);
    const KMeansModel iterated = fitted(x, k, 3);

    const CallerMode mode(GetParam().bits);
    const std::vector<std::int32_t> got = testing::predict_labels(seeded, x);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < n; ++i) wrong += static_cast<std::uint64_t>(got[i]) != want[i] ? 1 : 0;
    EXPECT_EQ(wrong, 0u) << "labels that differ from the exact nearest centres";
    const KMeansModel again = fitted(x, k, 3);
    EXPECT_EQ(testing::centre_mismatch(*again.cluster_centers_, *iterated.cluster_centers_), "");
    EXPECT_EQ(CallerMode::bits(), GetParam().bits) << "the caller's mode is put back";
}

INSTANTIATE_TEST_SUITE_P(Modes, CallerFlushes,
                         ::testing::Values(ModeCase{"FlushToZero", kFlushToZero},
                                           ModeCase{"DenormalsAreZero", kDenormalsAreZero},
                                           ModeCase{"Both", kFlushBits}),
                         [](const auto& info) { return std::string(info.param.name); });

// Blobs of 12 groups in 16 dimensions: the seeding certificate skips most
// samples, so its per-sample owners matter from step to step.
std::vector<double> seeding_blobs(std::size_t n, std::size_t d) {
    std::mt19937_64 gen(11);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::vector<double> g(12 * d);
    for (double& v : g) v = normal(gen);
    std::uniform_int_distribution<std::size_t> pick(0, 11);
    std::vector<double> v(n * d);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t c = pick(gen);
        for (std::size_t j = 0; j < d; ++j) v[i * d + j] = g[c * d + j] * 20.0 + normal(gen);
    }
    return v;
}

struct ToggleCase {
    const char* name;
    unsigned before;  // the caller's mode when the fit starts
    unsigned after;  // what the interrupt check sets on its `at`-th call
    unsigned at;
    bool every_call;  // or flip between the two on every call from then on
};

class ModeChangesBetweenSteps : public ::testing::TestWithParam<ToggleCase> {};

// The interrupt check runs between seeding steps in the caller's own mode;
// whatever it changes, the seeds are those of the plain computation, and the
// mode it leaves is the caller's after the fit.
TEST_P(ModeChangesBetweenSteps, SeedsStayThoseOfThePlainComputation) {
    const ToggleCase& c = GetParam();
    const std::size_t n = 20003, d = 16, k = 400;
    const Samples x(seeding_blobs(n, d), n, d);
    const KMeansModel plain = fitted(x, k, 0);
    auto rng = runtime::RandomSource::from_seed(7);
    ASSERT_EQ(testing::centre_mismatch(*plain.cluster_centers_, testing::reference_seeding(x, k, rng)), "");

    const CallerMode mode(c.before);
    unsigned calls = 0;
    unsigned seen_mismatch = 0;
    unsigned expected = c.before;
    const InterruptCheck check = [&] {
        // The check sees the caller's mode, not the engine's.
        if (CallerMode::bits() != expected) ++seen_mismatch;
        ++calls;
        if (calls == c.at || (c.every_call && calls > c.at)) {
            expected = expected == c.after ? c.before : c.after;
            CallerMode::set(expected);
        }
        return false;
    };
    const KMeansModel toggled = fitted(x, k, 0, check);
    ASSERT_GT(calls, c.at) << "the seeding must run the check often enough for this test";
    EXPECT_EQ(seen_mismatch, 0u);
    EXPECT_EQ(testing::centre_mismatch(*toggled.cluster_centers_, *plain.cluster_centers_), "");
    EXPECT_EQ(CallerMode::bits(), expected);
}

INSTANTIATE_TEST_SUITE_P(Toggles, ModeChangesBetweenSteps,
                         ::testing::Values(ToggleCase{"FlushingClearedEarly", kFlushBits, 0, 1, false},
                                           ToggleCase{"FlushingClearedLater", kFlushBits, 0, 3, false},
                                           ToggleCase{"FlushingSetLater", 0, kFlushBits, 2, false},
                                           ToggleCase{"FlippedEveryStep", kFlushToZero, 0, 1, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace corvalinth::kmeans
