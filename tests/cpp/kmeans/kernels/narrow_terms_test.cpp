// The inertia's terms of rows of 1 to 7 features (one sample per lane) against the scalar chain, bit for bit.
// ThreadInvariance* cases run again under 1, 2, 3 and 8 workers.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kmeans/base/model.hpp"
#include "kmeans/base/sample_matrix.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/reference.hpp"
#include "runtime/internal_failure.hpp"
#include "runtime/pool/pool_testing.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "support/kernel_tables.hpp"
#include "support/sample_layouts.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::Kernel;
using testing::Layout;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTiny = std::numeric_limits<double>::denorm_min();

// Values whose differences and squares reach every corner of float64: NaN,
// infinities, signed zeros, subnormals, squares that overflow or underflow,
// and ordinary values (integral ones, so that some distances are exact).
class SpecialSource {
public:
    explicit SpecialSource(std::uint64_t seed) : gen_(seed) {}
    double next() {
        static constexpr double specials[] = {kNaN,  kInf,       -kInf,   -0.0,    0.0,     kTiny, -kTiny,
                                              1e-310, -2.2e-308, 1e200,   -1e200,  1e-160,  1.7e308};
        const std::size_t kind = pick(8);
        if (kind == 0) return specials[pick(std::size(specials))];
        if (kind < 4) return static_cast<double>(static_cast<int>(pick(9)) - 4);
        return std::uniform_real_distribution<double>(-10.0, 10.0)(gen_);
    }
    std::vector<double> values(std::size_t n) {
        std::vector<double> v(n);
        for (double& e : v) e = next();
        return v;
    }
    std::size_t pick(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(gen_); }

private:
    std::mt19937_64 gen_;
};

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }

// The scalar chain of one sample: left to right from -0.0.
double reference_term(const SampleMatrix& x, std::size_t i, const CentreMatrix& c, std::uint64_t label,
                      std::size_t d) {
    return squared_distance(x.row(i), x.col_stride, d, c.row(label), d);
}

using NarrowParam = std::tuple<Kernel, Layout, std::size_t>;

class NarrowTermsMatchReference : public ::testing::TestWithParam<NarrowParam> {};

// Every row count around the lane count and tiles of several vectors, from
// one centre to a thousand, over a range that starts past 0, centres wider
// than the rows used, and a sample equal to its centre.
TEST_P(NarrowTermsMatchReference, TermsBitIdentical) {
    const auto [variant, layout, d] = GetParam();
    if (!testing::kernel_available(variant)) GTEST_SKIP() << "instruction set missing";
    for (const std::size_t n : {0u, 1u, 3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 67u, 300u}) {
        for (const std::size_t k : {1u, 2u, 7u, 64u, 1000u}) {
            SpecialSource src(7000 + 131 * d + 17 * n + 3 * k + static_cast<std::size_t>(layout));
            const CentreMatrix centres{k, d + 2, src.values(k * (d + 2))};
            std::vector<std::uint64_t> labels(n);
            for (auto& l : labels) l = src.pick(k);
            std::vector<double> v = src.values(n * (d + 1));  // the last column is never used
            if (n > 5)
                for (std::size_t j = 0; j < d; ++j) v[5 * (d + 1) + j] = centres.row(labels[5])[j];
            const testing::SampleStore store = testing::lay_out(v, n, d + 1, layout);
            const SampleMatrix& x = store.view;
            const std::size_t begin = n > 2 ? 2 : 0;
            std::vector<double> got(n - begin + 1, 777.0);
            assigned_distances(x, begin, n, labels.data() + begin, centres, d, got.data(),
                               testing::kernels_of(variant));
            for (std::size_t i = begin; i < n; ++i) {
                const double want = reference_term(x, i, centres, labels[i], d);
                // Which NaN an addition of two NaNs keeps is not fixed (the
                // compiler may swap the operands of the scalar chain).
                if (std::isnan(want)) {
                    ASSERT_TRUE(std::isnan(got[i - begin])) << "n " << n << " k " << k << " sample " << i;
                } else {
                    ASSERT_EQ(bits(got[i - begin]), bits(want))
                        << "n " << n << " k " << k << " sample " << i << ": got " << got[i - begin];
                }
            }
            EXPECT_EQ(got[n - begin], 777.0) << "wrote past the end";
        }
    }
}

std::string narrow_name(const ::testing::TestParamInfo<NarrowParam>& info) {
    const auto [variant, layout, d] = info.param;
    return std::string(testing::kernel_name(variant)) + "_" + testing::layout_name(layout) + "_d" + std::to_string(d);
}

INSTANTIATE_TEST_SUITE_P(AllShapes, NarrowTermsMatchReference,
                         ::testing::Combine(::testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512,
                                                              Kernel::emulated8),
                                            ::testing::Values(Layout::RowMajor, Layout::PaddedRows, Layout::ColumnMajor,
                                                              Layout::Strided, Layout::ReversedBoth,
                                                              Layout::ReversedColumnMajor, Layout::RepeatedRow),
                                            ::testing::Range<std::size_t>(1, 8)),
                         narrow_name);

class ThreadInvarianceNarrowInertia : public ::testing::TestWithParam<std::size_t> {};

// The inertia of narrow rows, across chunks of terms and partial vectors:
// label_distances gives the scalar terms themselves, and compute_inertia the
// split-tree sum of those terms (sum_distances' tree, both loops on the
// calling thread, where the tree does not depend on the stated work).
TEST_P(ThreadInvarianceNarrowInertia, SplitTreeOfTheScalarTerms) {
    const std::size_t d = GetParam();
    for (const Layout layout : {Layout::RowMajor, Layout::ColumnMajor, Layout::ReversedBoth}) {
        for (const std::size_t n : {1u, 9u, 255u, 256u, 257u, 1031u, 5000u}) {
            SpecialSource src(99 + 7 * d + n);
            std::mt19937_64 gen(5 + 11 * d + n);
            const std::size_t k = 1 + n % 37;
            CentreMatrix centres{k, d, {}};
            std::vector<double> v(n * d);
            // Finite values only, so the sum is a number whose bits depend on the order.
            for (double& e : v) e = std::uniform_real_distribution<double>(-3.0, 3.0)(gen);
            for (std::size_t c = 0; c < k * d; ++c) centres.values.push_back(v[(c * 7) % v.size()] + 0.25);
            std::vector<std::uint64_t> labels(n);
            for (auto& l : labels) l = src.pick(k);
            const testing::SampleStore store = testing::lay_out(v, n, d, layout);
            const SampleMatrix& x = store.view;
            std::vector<double> terms(n), want(n);
            label_distances(x, labels.data(), centres, 0, n, terms.data());
            for (std::size_t i = 0; i < n; ++i) {
                want[i] = reference_term(x, i, centres, labels[i], d);
                ASSERT_EQ(bits(terms[i]), bits(want[i])) << "n " << n << " sample " << i;
            }
            runtime::testing::ScopedInlineWork on_caller(runtime::kUnstatedWork);
            const double tree = sum_distances(want.data(), n);
            EXPECT_EQ(bits(compute_inertia(x, labels, centres)), bits(tree))
                << testing::layout_name(layout) << " n " << n << " on the calling thread";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, ThreadInvarianceNarrowInertia, ::testing::Range<std::size_t>(1, 8));

// A label that names no centre is the same internal failure as ever, in the
// first vector, past it, and in the last, partial one.
TEST(NarrowInertiaEdges, LabelNamingNoCentreFails) {
    const std::size_t n = 37, d = 3;
    const std::vector<double> v(n * d, 1.0);
    const SampleMatrix x{v.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
    const CentreMatrix centres{2, d, std::vector<double>(2 * d, 0.0)};
    for (const std::size_t bad : {0u, 11u, 36u}) {
        std::vector<std::uint64_t> labels(n, 1);
        labels[bad] = 2;
        std::vector<double> out(n);
        EXPECT_THROW(label_distances(x, labels.data(), centres, 0, n, out.data()), InternalFailure) << bad;
        EXPECT_THROW(compute_inertia(x, labels, centres), InternalFailure) << bad;
    }
}

}  // namespace
}  // namespace corvalinth::kmeans
