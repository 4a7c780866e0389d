// The bounds the exact kernels leave on rows of any width: never above
// the true distance to another centre, on data where their margin matters, and
// above it once the margin is dropped (fault injection).
#include "kmeans/assignment/exact_bounds.hpp"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/cpu/float_mode.hpp"
#include "support/kernel_tables.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

// Widths the exact kernels label with bounds: every kernel shape (register
// tiles of 1 to 4 features, packed tiles, column tiles, the panel kernel).
constexpr std::size_t kWidths[] = {1, 2, 3, 4, 5, 6, 7, 8, 13, 64, 70};

using corvalinth::testing::Kernel;
using testing::Samples;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

long double true_distance(const double* a, std::ptrdiff_t stride, const double* b, std::size_t d) {
    long double s = 0.0L;
    for (std::size_t j = 0; j < d; ++j) {
        const long double e = static_cast<long double>(a[static_cast<std::ptrdiff_t>(j) * stride]) - b[j];
        s += e * e;
    }
    return std::sqrt(s);
}

struct Kind {
    const char* name;
    double offset, scale;
    bool integers;
};

constexpr Kind kKinds[] = {{"gaussian", 0.0, 1.0, false}, {"offset", 1e8, 1.0, false},
                           {"tiny", 0.0, 1e-120, false},  {"huge", 0.0, 1e140, false},
                           {"grid", 0.5, 1.0, true},      {"subnormal", 0.0, 1e-310, false}};

// Data where the second centre is nearly as close as the first: centres in
// pairs a hair apart, samples drawn near them, integer grids with duplicates.
struct Case {
    std::vector<double> v;
    CentreMatrix c;
};
Case make_case(const Kind& kind, std::size_t n, std::size_t d, std::size_t k, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> grid(-2, 2);
    auto draw = [&] { return kind.integers ? grid(gen) + kind.offset : normal(gen) * kind.scale + kind.offset; };
    Case out{std::vector<double>(n * d), CentreMatrix{k, d, std::vector<double>(k * d)}};
    for (double& e : out.c.values) e = draw();
    for (std::size_t r = 1; r < k; r += 2)
        for (std::size_t j = 0; j < d; ++j)
            out.c.row(r)[j] = out.c.row(r - 1)[j] + (kind.integers ? 0.0 : normal(gen) * kind.scale * 1e-9);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t near = gen() % k;
        for (std::size_t j = 0; j < d; ++j)
            out.v[i * d + j] =
                i % 5 == 0 ? draw() : out.c.row(near)[j] + (kind.integers ? 0.0 : normal(gen) * kind.scale * 1e-3);
    }
    return out;
}

// How many (sample, other centre) pairs have a bound above the true distance.
std::size_t violations(const SampleMatrix& x, const CentreMatrix& c, const std::vector<std::uint64_t>& labels,
                       const std::vector<double>& lower) {
    std::size_t bad = 0;
    for (std::size_t i = 0; i < x.n_rows; ++i)
        for (std::size_t r = 0; r < c.rows; ++r)
            if (r != labels[i] &&
                static_cast<long double>(lower[i]) > true_distance(x.row(i), x.col_stride, c.row(r), c.cols))
                ++bad;
    return bad;
}

TEST(ExactLowerBounds, NeverAboveTheTrueDistanceToAnotherCentre) {
    for (const Kind& kind : kKinds) {
        for (const std::size_t d : kWidths) {
            for (const std::size_t k : {2u, 5u, 16u, 64u}) {
                const std::size_t n = 400;
                const Case cs = make_case(kind, n, d, k, 1000 * d + k);
                const Samples x(cs.v, n, d);
                const CentreLabeller labeller(x, cs.c, true);
                ASSERT_TRUE(labeller.certifies()) << d << " " << k;
                std::vector<std::uint64_t> labels(n);
                std::vector<double> lower(n, -1.0);
                labeller.label(x, 0, n, labels.data(), lower.data());
                ASSERT_EQ(labels, testing::reference_labels(x, cs.c));
                std::size_t useful = 0;
                for (const double l : lower) {
                    ASSERT_GE(l, 0.0);
                    useful += l > 0.0;
                }
                EXPECT_EQ(violations(x, cs.c, labels, lower), 0u) << kind.name << " d " << d << " k " << k;
                // Squared distances below 2^-900 get no bound (tiny data).
                if (kind.scale >= 1.0 && !kind.integers)
                    EXPECT_GT(useful, n / 2) << kind.name << " d " << d << " k " << k;
            }
        }
    }
}

TEST(ExactLowerBounds, EveryKernelTableLeavesTheSameBounds) {
    const Case cs = make_case(kKinds[0], 203, 3, 19, 5);
    const Samples x(cs.v, 203, 3, corvalinth::testing::Layout::ColumnMajor);
    const CentrePanel panel(cs.c, 3);
    std::vector<std::uint64_t> want(203), got(203);
    std::vector<double> want_lower(203), got_lower(203);
    exact_labels_with_bounds(x, 0, 203, panel, want.data(), want_lower.data(),
                             corvalinth::testing::kernels_of(corvalinth::testing::Kernel::portable));
    for (const auto variant : {Kernel::avx2, Kernel::avx512, Kernel::emulated8}) {
        if (!corvalinth::testing::kernel_available(variant)) continue;
        exact_labels_with_bounds(x, 0, 203, panel, got.data(), got_lower.data(),
                                 corvalinth::testing::kernels_of(variant));
        EXPECT_EQ(got, want);
        for (std::size_t i = 0; i < 203; ++i) EXPECT_EQ(testing::bits(got_lower[i]), testing::bits(want_lower[i]));
    }
}

TEST(ExactLowerBounds, FromTheSecondDistance) {
    // A tie: the second smallest is the smallest, and its bound lies below it.
    EXPECT_GT(lower_bound_from_second(4.0, 3), 1.9999999999);
    EXPECT_LT(lower_bound_from_second(4.0, 3), 2.0);
    EXPECT_LT(lower_bound_from_second(4.0, 1) * lower_bound_from_second(4.0, 1), 4.0 * (1.0 - 18.0 * 0x1p-53));
    EXPECT_EQ(lower_bound_from_second(kNaN, 2), 0.0);
    EXPECT_EQ(lower_bound_from_second(kInf, 2), 0.0);
    EXPECT_EQ(lower_bound_from_second(0.0, 2), 0.0);
    EXPECT_EQ(lower_bound_from_second(-0.0, 2), 0.0);
    EXPECT_EQ(lower_bound_from_second(0x1p-900, 2), 0.0);
    EXPECT_GT(lower_bound_from_second(0x1p-899, 2), 0.0);
    const double top = std::numeric_limits<double>::max();
    EXPECT_LT(lower_bound_from_second(top, 7), std::sqrt(top));
    EXPECT_GT(lower_bound_from_second(top, 7), 0.0);
}

TEST(ExactLowerBounds, NaNSamplesAndCentresGetNoFalseBound) {
    // Sample 1 has a NaN, centre 1 has a NaN: sample 0's bound covers the
    // other finite centres only, sample 1 gets none.
    const CentreMatrix c{3, 2, {0.0, 0.0, kNaN, 1.0, 3.0, 4.0}};
    const std::vector<double> v{0.5, 0.0, kNaN, 0.0, 2.5, 4.0};
    const Samples x(v, 3, 2);
    const CentreLabeller labeller(x, c, true);
    std::uint64_t labels[3];
    double lower[3];
    labeller.label(x, 0, 3, labels, lower);
    EXPECT_EQ(labels[0], 0u);
    EXPECT_GT(lower[0], 4.4);  // centre 2 at sqrt(2.5^2 + 16) = 4.72
    EXPECT_LT(lower[0], 4.72);
    EXPECT_EQ(labels[1], 0u);
    EXPECT_EQ(lower[1], 0.0);
    EXPECT_EQ(labels[2], 2u);
    EXPECT_LT(lower[2], std::sqrt(2.5 * 2.5 + 16.0));
}

// A thread that flushes subnormals gets labels and no bounds.
TEST(ExactLowerBounds, StandAsideWhenSubnormalsAreFlushed) {
    const unsigned saved = _mm_getcsr();
    struct Restore {
        unsigned mode;
        ~Restore() { _mm_setcsr(mode); }
    } restore{saved};
    const Case cs = make_case(kKinds[0], 100, 3, 8, 9);
    const Samples x(cs.v, 100, 3);
    const CentrePanel panel(cs.c, 3);
    std::vector<std::uint64_t> labels(100);
    std::vector<double> lower(100, -1.0);
    _mm_setcsr(saved | (1u << 15) | (1u << 6));
    ASSERT_TRUE(runtime::subnormals_flushed());
    exact_labels_with_bounds(x, 0, 100, panel, labels.data(), lower.data());
    _mm_setcsr(saved);
    EXPECT_EQ(labels, testing::reference_labels(x, cs.c));
    for (const double l : lower) EXPECT_EQ(l, 0.0);
}

// Fault injection: without the margin (the bound is the rounded root of the
// second distance), bounds exceed true distances.
TEST(ExactLowerBounds, WithoutTheMarginBoundsOvershoot) {
    struct Restore {
        ~Restore() { testing::set_exact_bound_margin_scale(1.0); }
    } restore;
    testing::set_exact_bound_margin_scale(0.0);
    std::size_t bad = 0;
    for (const Kind& kind : kKinds) {
        for (const std::size_t d : kWidths) {
            const std::size_t n = 400, k = 16;
            const Case cs = make_case(kind, n, d, k, 77 * d);
            const Samples x(cs.v, n, d);
            const CentreLabeller labeller(x, cs.c, true);
            std::vector<std::uint64_t> labels(n);
            std::vector<double> lower(n);
            labeller.label(x, 0, n, labels.data(), lower.data());
            bad += violations(x, cs.c, labels, lower);
        }
    }
    EXPECT_GT(bad, 0u);
}

}  // namespace
}  // namespace corvalinth::kmeans
