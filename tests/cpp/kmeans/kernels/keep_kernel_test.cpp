// The keep test's vector kernel of every variant against the scalar keep
// test, bit for bit: each sample's distance to its own centre, its moved
// bound and whether it keeps its label, over layouts, widths, centre counts,
// special values and bounds on the test's edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kmeans/iteration/carried_bounds.hpp"
#include "kmeans/kernels/reference.hpp"
#include "support/kernel_tables.hpp"
#include "support/kmeans_reference.hpp"
#include "support/sample_layouts.hpp"

namespace {

using namespace corvalinth::kmeans;
using namespace corvalinth::kmeans::kernels;
using namespace corvalinth::testing;
using corvalinth::kmeans::testing::same_value;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using KeepParam = std::tuple<Kernel, Layout, std::size_t, std::size_t>;

std::string keep_param_name(const ::testing::TestParamInfo<KeepParam>& info) {
    const auto [variant, layout, d, k] = info.param;
    return std::string(kernel_name(variant)) + "_" + layout_name(layout) + "_d" + std::to_string(d) + "_k" +
           std::to_string(k);
}

class KeepKernelMatchesScalar : public ::testing::TestWithParam<KeepParam> {};

// A bound b0 for which the test's square of the bound moved by `move` equals
// `distance` exactly, so that only a strict comparison drops the label; 0
// when no double within 64 steps either way does.
double bound_on_the_edge(double distance, double move, std::size_t dims) {
    double b0 = std::sqrt(distance / keep_reach(dims)) / kRestShrink + move;
    for (int step = 0; step < 64; ++step) b0 = std::nextafter(b0, -kInf);
    for (int step = 0; step < 128; ++step, b0 = std::nextafter(b0, kInf)) {
        const double b = moved_lower_bound(b0, move);
        if ((b * b) * keep_reach(dims) == distance) return b0;
    }
    return 0.0;
}

TEST_P(KeepKernelMatchesScalar, DistancesBoundsAndKeptLabels) {
    const auto [variant, layout, d, k] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << kernel_name(variant) << " is not available here";
    const std::size_t n = 211;
    std::mt19937_64 gen(1000 * d + k);
    auto pick = [&](std::uint64_t m) { return std::uniform_int_distribution<std::uint64_t>(0, m - 1)(gen); };
    auto value = [&] { return std::uniform_real_distribution<double>(-4.0, 4.0)(gen); };
    const double specials[] = {kNaN, kInf, -kInf, -0.0, 1e200, 1e-310};
    CentreMatrix centres{k, d, std::vector<double>(k * d)};
    for (double& v : centres.values) v = pick(3) == 0 ? static_cast<double>(pick(5)) : value();
    if (k > 2) centres.values[(k - 1) * d] = specials[pick(6)];
    std::vector<std::uint64_t> labels(n);
    for (auto& l : labels) l = pick(k);
    // Samples: most near their centre (labels mostly kept), some farther
    // along the first feature (their bound put on the test's edge below),
    // some with a special value.
    std::vector<double> values(n * d);
    std::vector<bool> on_edge(n, false);
    for (std::size_t i = 0; i < n; ++i) {
        const double* c = centres.row(labels[i]);
        for (std::size_t j = 0; j < d; ++j) values[i * d + j] = c[j] + 0.25 * value();
        on_edge[i] = pick(3) == 0;
        if (on_edge[i]) values[i * d] = c[0] + 1.0 + value();
        if (pick(16) == 0) values[i * d + pick(d)] = specials[pick(6)];
    }
    const SampleStore store = lay_out(values, n, d, layout);
    const SampleMatrix& x = store.view;
    // The moves: finite, or (with 3 and 17 centres) infinite for every centre but one.
    const CentreMoves moves = k == 3 || k == 17 ? CentreMoves{kInf, pick(k), 0.5} : CentreMoves{0.75, pick(k), 0.125};
    std::vector<double> lower(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double far = std::uniform_real_distribution<double>(0.0, 12.0)(gen);
        const double edges[] = {0.0, kNaN, kInf, 1e-300, 0x1p-899, std::nextafter(0x1p-899, kInf), kKeepHigh, 1e300};
        lower[i] = pick(6) == 0 ? edges[pick(8)] : far;
    }
    // Bounds on the test's edge: the square of the moved bound, scaled, is
    // the sample's distance.
    std::size_t edges = 0;
    std::vector<double> table_moves(k);
    for (std::size_t c = 0; c < k; ++c) table_moves[c] = moves.except(c);
    for (std::size_t i = 0; i < n; ++i) {
        if (!on_edge[i] || !(table_moves[labels[i]] < kInf)) continue;
        const double dist = squared_distance(x.row(i), x.col_stride, d, centres.row(labels[i]), d);
        if (!(dist > 0.0 && dist < kInf)) continue;
        const double edge = bound_on_the_edge(dist, table_moves[labels[i]], d);
        if (edge != 0.0) lower[i] = edge, ++edges;
    }
    // The kernel's table; with an odd count of centres, its pitch wider than
    // its entries (the kernel must read the caller's pitch).
    const std::size_t cap = std::max<std::size_t>(16, k) + (k % 2) * 8;
    std::vector<double> table((d + 1) * cap, 0.0);
    for (std::size_t c = 0; c < k; ++c) {
        for (std::size_t j = 0; j < d; ++j) table[j * cap + c] = centres.row(c)[j];
        table[d * cap + c] = table_moves[c];
    }
    const KeepCentres kc{table.data(), table.data() + d * cap, k, cap, d, kRestFloor, kRestShrink, kKeepLow,
                         kKeepHigh,    keep_reach(d)};
    const std::size_t begin = 3;
    const std::size_t end = n;
    std::vector<double> got_lower = lower;
    std::vector<double> own(n, 7.0);
    std::vector<std::size_t> todo(n, 0);  // room for every listed sample, as in a pass
    std::size_t m = 2;
    double sum = 0.1;  // the distances are added to it, in sample order
    const SampleView view{x.data, x.row_stride, x.col_stride};
    const std::size_t stop = kernels_of(variant).keep(view, begin, end, labels.data(), kc, got_lower.data(), own.data(),
                                                      todo.data(), m, &sum);
    ASSERT_GE(stop, begin);
    ASSERT_LE(stop, end);
    EXPECT_LT(end - stop, std::size_t{8});
    std::vector<std::size_t> want{todo[0], todo[1]};
    std::size_t kept_on_edge = 0;
    double want_sum = 0.1;
    for (std::size_t i = begin; i < stop; ++i) {
        const double dist = squared_distance(x.row(i), x.col_stride, d, centres.row(labels[i]), d);
        want_sum = want_sum + dist;
        const double bound = moved_lower_bound(lower[i], table_moves[labels[i]]);
        const bool keep = keeps_label(bound, dist, d);
        EXPECT_TRUE(same_value(own[i - begin], dist)) << "row " << i << ": " << own[i - begin] << " against " << dist;
        EXPECT_TRUE(same_value(got_lower[i], bound)) << "row " << i << ": " << got_lower[i] << " against " << bound;
        if (!keep) want.push_back(i);
        kept_on_edge += keep && (bound * bound) * keep_reach(d) == dist;
    }
    EXPECT_EQ(kept_on_edge, 0u);
    EXPECT_TRUE(same_value(sum, want_sum)) << sum << " against " << want_sum;
    for (std::size_t i = stop; i < end; ++i)
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got_lower[i]), std::bit_cast<std::uint64_t>(lower[i])) << "row " << i;
    ASSERT_EQ(m, want.size());
    for (std::size_t t = 0; t < m; ++t) EXPECT_EQ(todo[t], want[t]) << "entry " << t;
    // The sum in sample order, on finite values (where any other order of
    // the additions would show): the special values replaced, the table too.
    std::vector<double> finite = values;
    for (double& v : finite)
        if (!(std::fabs(v) < 1e100)) v = 2.5;
    std::vector<double> finite_table = table;
    for (double& v : finite_table)
        if (!(std::fabs(v) < 1e100)) v = -1.5;
    const SampleStore finite_store = lay_out(finite, n, d, layout);
    const KeepCentres finite_kc{
        finite_table.data(), finite_table.data() + d * cap, k, cap, d, kRestFloor, kRestShrink, kKeepLow, kKeepHigh,
        keep_reach(d)};
    std::vector<double> finite_lower = lower;
    std::size_t finite_m = 0;
    double finite_sum = 0.1;
    const SampleView finite_view{finite_store.view.data, finite_store.view.row_stride, finite_store.view.col_stride};
    const std::size_t finite_stop =
        kernels_of(variant).keep(finite_view, begin, end, labels.data(), finite_kc, finite_lower.data(), own.data(),
                                 todo.data(), finite_m, &finite_sum);
    double want_finite = 0.1;
    for (std::size_t i = begin; i < finite_stop; ++i) {
        std::vector<double> centre(d);
        for (std::size_t j = 0; j < d; ++j) centre[j] = finite_table[j * cap + labels[i]];
        want_finite =
            want_finite + squared_distance(finite_store.view.row(i), finite_store.view.col_stride, d, centre.data(), d);
    }
    EXPECT_EQ(finite_stop, stop);
    EXPECT_TRUE(std::isfinite(finite_sum));
    EXPECT_EQ(std::bit_cast<std::uint64_t>(finite_sum), std::bit_cast<std::uint64_t>(want_finite));
    // A label out of range stops the kernel before its vector (the caller's
    // scalar code reports it); what comes before is as above.
    std::vector<std::uint64_t> bad = labels;
    bad[150] = k + pick(3);
    std::vector<double> bad_lower = lower;
    std::size_t bad_m = 0;
    const std::size_t bad_stop = kernels_of(variant).keep(view, begin, end, bad.data(), kc, bad_lower.data(),
                                                          own.data(), todo.data(), bad_m, nullptr);
    EXPECT_LE(bad_stop, std::size_t{150});
    EXPECT_LT(std::size_t{150} - bad_stop, std::size_t{8});
    EXPECT_EQ(bad_m, static_cast<std::size_t>(
                         std::count_if(want.begin() + 2, want.end(), [&](std::size_t i) { return i < bad_stop; })));
    // With finite moves, the data reach both sides of the test, and its edge.
    if (stop - begin > 100 && k != 3 && k != 17) {
        EXPECT_GT(m, 2u + (stop - begin) / 20);
        EXPECT_LT(m, 2u + stop - begin);
        EXPECT_GT(edges, 0u);
    }
}

// Up to 8 centres (one permute), up to 16 (two), more (a gather).
INSTANTIATE_TEST_SUITE_P(AllShapes, KeepKernelMatchesScalar,
                         ::testing::Combine(::testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512,
                                                              Kernel::emulated8),
                                            ::testing::Values(Layout::RowMajor, Layout::PaddedRows, Layout::ColumnMajor,
                                                              Layout::ReversedBoth),
                                            ::testing::Values<std::size_t>(1, 2, 3, 4, 5, 7),
                                            ::testing::Values<std::size_t>(1, 3, 8, 9, 16, 17, 64)),
                         keep_param_name);

using GivenParam = std::tuple<Kernel, std::size_t, std::size_t>;

std::string given_param_name(const ::testing::TestParamInfo<GivenParam>& info) {
    const auto [variant, d, k] = info.param;
    return std::string(kernel_name(variant)) + "_d" + std::to_string(d) + "_k" + std::to_string(k);
}

class KeepGivenMatchesScalar : public ::testing::TestWithParam<GivenParam> {};

// The keep test of wider rows, from the distances given: the moved bounds,
// the listed samples and where it stops are the scalar test's, bit for bit,
// with distances and bounds on both sides of the test and on its edge.
TEST_P(KeepGivenMatchesScalar, BoundsAndKeptLabels) {
    const auto [variant, d, k] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << kernel_name(variant) << " is not available here";
    const std::size_t n = 307;
    std::mt19937_64 gen(77 * d + k);
    auto pick = [&](std::uint64_t m) { return std::uniform_int_distribution<std::uint64_t>(0, m - 1)(gen); };
    auto real = [&](double a, double b) { return std::uniform_real_distribution<double>(a, b)(gen); };
    std::vector<double> table_moves(k);
    for (double& mv : table_moves) mv = pick(9) == 0 ? kInf : real(0.0, 0.5);
    std::vector<std::uint64_t> labels(n);
    for (auto& l : labels) l = pick(k);
    const double edges[] = {0.0, kNaN, kInf, 1e-300, 0x1p-899, std::nextafter(0x1p-899, kInf), kKeepHigh, 1e300};
    std::vector<double> lower(n);
    for (double& b : lower) b = pick(6) == 0 ? edges[pick(8)] : real(0.0, 6.0);
    // Distances: on the test's edge (the scaled square of the moved bound,
    // which must drop the label), just inside it, special, or at random.
    std::vector<double> own(n);
    std::size_t on_edge = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const double b = moved_lower_bound(lower[i], table_moves[labels[i]]);
        const double edge = (b * b) * keep_reach(d);
        switch (pick(5)) {
            case 0: own[i] = edge, on_edge += edge > 0.0 && edge < kInf; break;
            case 1: own[i] = std::nextafter(edge, -kInf); break;
            case 2: own[i] = (const double[]){kNaN, kInf, -0.0, 0.0, 1e-310}[pick(5)]; break;
            default: own[i] = real(0.0, 40.0);
        }
    }
    const std::size_t cap = std::max<std::size_t>(16, k);
    std::vector<double> table(cap, 0.0);
    std::copy(table_moves.begin(), table_moves.end(), table.begin());
    // No coordinates: the kernel must not read them.
    const KeepCentres kc{nullptr, table.data(), k, cap, d, kRestFloor, kRestShrink, kKeepLow, kKeepHigh, keep_reach(d)};
    const std::size_t begin = 5;
    std::vector<double> got_lower = lower;
    const std::vector<double> own_before(own.begin() + begin, own.end());
    std::vector<std::size_t> todo(n, 0);
    std::size_t m = 1;
    const std::size_t stop = kernels_of(variant).keep_given(begin, n, labels.data(), kc, got_lower.data(),
                                                            own.data() + begin, todo.data(), m);
    ASSERT_GE(stop, begin);
    ASSERT_LE(stop, n);
    EXPECT_LT(n - stop, std::size_t{8});
    std::vector<std::size_t> want{todo[0]};
    for (std::size_t i = begin; i < stop; ++i) {
        const double bound = moved_lower_bound(lower[i], table_moves[labels[i]]);
        EXPECT_TRUE(same_value(got_lower[i], bound)) << "row " << i << ": " << got_lower[i] << " against " << bound;
        if (!keeps_label(bound, own[i], d)) want.push_back(i);
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (i >= begin && i < stop) continue;
        EXPECT_EQ(std::bit_cast<std::uint64_t>(got_lower[i]), std::bit_cast<std::uint64_t>(lower[i])) << "row " << i;
    }
    ASSERT_EQ(m, want.size());
    for (std::size_t t = 0; t < m; ++t) EXPECT_EQ(todo[t], want[t]) << "entry " << t;
    EXPECT_TRUE(std::equal(own_before.begin(), own_before.end(), own.begin() + begin,
                           [](double a, double b) { return same_value(a, b); }));
    // Both sides of the test reached, and its edge.
    EXPECT_GT(m, 1u + (stop - begin) / 10);
    EXPECT_LT(m, 1u + stop - begin);
    EXPECT_GT(on_edge, 0u);
    // A label out of range stops the kernel before its vector.
    std::vector<std::uint64_t> bad = labels;
    bad[200] = k + pick(3);
    std::vector<double> bad_lower = lower;
    std::size_t bad_m = 0;
    const std::size_t bad_stop = kernels_of(variant).keep_given(begin, n, bad.data(), kc, bad_lower.data(),
                                                                own.data() + begin, todo.data(), bad_m);
    EXPECT_LE(bad_stop, std::size_t{200});
    EXPECT_LT(std::size_t{200} - bad_stop, std::size_t{8});
    EXPECT_EQ(bad_m, static_cast<std::size_t>(
                         std::count_if(want.begin() + 1, want.end(), [&](std::size_t i) { return i < bad_stop; })));
}

INSTANTIATE_TEST_SUITE_P(
    AllWidths, KeepGivenMatchesScalar,
    ::testing::Combine(::testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512, Kernel::emulated8),
                       ::testing::Values<std::size_t>(8, 16, 129), ::testing::Values<std::size_t>(1, 3, 8, 9, 17, 64)),
    given_param_name);

}  // namespace
