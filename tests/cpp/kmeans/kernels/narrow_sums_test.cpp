// The update's narrow-row kernels (the sums held in registers, the current
// cluster's sums carried in a register), every variant that has them, against
// the plain loop bit for bit: every width and cluster count that fits (and
// the first that does not), row strides of both signs, label orders, sums and
// counts carried in from an earlier range, special values, and a label out of
// range.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "support/kernel_tables.hpp"
#include "support/kmeans_reference.hpp"

namespace {

using namespace corvalinth::kmeans::kernels;
using namespace corvalinth::testing;
using corvalinth::kmeans::testing::fill_update_values;
using corvalinth::kmeans::testing::same_value;

// Alternating: two clusters by turns, then three (a cluster comes back one
// and two samples after it was left).
enum class Order { Random, Runs, OneCluster, Alternating };
enum class Which { Registers, Carried };

std::vector<std::uint64_t> make_labels(std::size_t n, std::size_t k, Order order, std::mt19937_64& gen) {
    std::vector<std::uint64_t> labels(n);
    std::uint64_t c = gen() % k;
    for (std::size_t i = 0; i < n; ++i) {
        if (order == Order::Random || (order == Order::Runs && gen() % 5 == 0)) c = gen() % k;
        labels[i] = order == Order::OneCluster    ? k - 1
                    : order == Order::Alternating ? (i < n / 2 ? i % 2 : i % 3) % k
                                                  : c;
    }
    return labels;
}

// (kernel, variant, width, row stride less the width, negative rows, order, specials)
using Param = std::tuple<Which, Kernel, std::size_t, std::size_t, bool, Order, bool>;

std::string param_name(const ::testing::TestParamInfo<Param>& info) {
    const auto [which, variant, w, pad, reversed, order, specials] = info.param;
    static constexpr const char* orders[] = {"Random", "Runs", "OneCluster", "Alternating"};
    return std::string(which == Which::Registers ? "Registers_" : "Carried_") + kernel_name(variant) + "_w" +
           std::to_string(w) + "_pad" + std::to_string(pad) + (reversed ? "_reversed" : "") + "_" +
           orders[static_cast<int>(order)] + (specials ? "_specials" : "");
}

class NarrowSumsMatchPlainLoop : public ::testing::TestWithParam<Param> {};

TEST_P(NarrowSumsMatchPlainLoop, EveryClusterCountThatFits) {
    const auto [which, variant, w, pad, reversed, order, specials] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << kernel_name(variant) << " is not available here";
    const KernelTable& table = kernels_of(variant);
    const bool registers = which == Which::Registers;
    const std::size_t lanes = registers ? table.register_sums_lanes : table.carried_sums_lanes;
    if (lanes == 0) {
        EXPECT_TRUE(registers ? table.register_sums == nullptr : table.carried_sums == nullptr);
        return;
    }
    // The kernel (the carried sums over every cluster).
    auto kernel = [&](const SampleView& v, std::size_t b, std::size_t e, std::size_t width, const std::uint64_t* labels,
                      std::size_t k, double* sums, std::uint64_t* counts) {
        return registers ? table.register_sums(v, b, e, width, labels, k, sums, counts)
                         : table.carried_sums(v, b, e, width, labels, k, 0, k, sums, counts);
    };
    auto fits = [&](std::size_t k) {
        return registers ? register_sums_fits(lanes, w, k) : carried_sums_fits(lanes, w, k);
    };
    const std::vector<std::size_t> ks =
        registers
            ? std::vector<std::size_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17}
            : std::vector<std::size_t>{
                  1, 2, 3, 5, 16, 64, kCarriedSumsCellBytes / (8 * lanes) - 1, kCarriedSumsCellBytes / (8 * lanes)};
    std::mt19937_64 gen(static_cast<std::uint64_t>(w * 131 + pad * 17 + (reversed ? 7 : 0)));
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t n = 203;
    const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(w + pad) * (reversed ? -1 : 1);
    std::vector<double> buffer(n * (w + pad));
    fill_update_values(buffer, gen, specials);
    const double* data = reversed ? buffer.data() + (n - 1) * (w + pad) : buffer.data();
    const SampleView view{data, stride, 1};
    auto at = [&](std::size_t i, std::size_t j) { return data[static_cast<std::ptrdiff_t>(i) * stride + j]; };
    bool any = false;
    for (const std::size_t k : ks) {
        if (!fits(k)) {
            EXPECT_EQ(kernel(view, 0, n, w, nullptr, k, nullptr, nullptr), 0u) << "k " << k;
            continue;
        }
        any = true;
        const std::vector<std::uint64_t> labels = make_labels(n, k, order, gen);
        // Sums and counts carried in from an earlier range; the first range
        // starts at 0 and the second continues it.
        std::vector<double> want(k * w), got(k * w);
        for (std::size_t s = 0; s < k * w; ++s) want[s] = got[s] = s % 3 == 0 ? 0.0 : normal(gen);
        std::vector<std::uint64_t> want_counts(k), got_counts(k);
        for (std::size_t q = 0; q < k; ++q) want_counts[q] = got_counts[q] = gen() % 1000;
        const std::size_t cut = std::min<std::size_t>(37 + k, n / 2);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < w; ++j) want[labels[i] * w + j] = want[labels[i] * w + j] + at(i, j);
            want_counts[labels[i]] += 1;
        }
        EXPECT_EQ(kernel(view, 0, cut, w, labels.data(), k, got.data(), got_counts.data()), cut);
        EXPECT_EQ(kernel(view, cut, n, w, labels.data(), k, got.data(), got_counts.data()), n - cut);
        const std::string where = "k " + std::to_string(k);
        for (std::size_t s = 0; s < k * w; ++s)
            EXPECT_TRUE(same_value(got[s], want[s])) << where << ", sum " << s << ": " << got[s] << " vs " << want[s];
        EXPECT_EQ(got_counts, want_counts) << where;
        // Without counts: the same sums.
        std::vector<double> uncounted(k * w, 0.0), plain(k * w, 0.0);
        for (std::size_t i = 5; i < n; ++i)
            for (std::size_t j = 0; j < w; ++j) plain[labels[i] * w + j] = plain[labels[i] * w + j] + at(i, j);
        EXPECT_EQ(kernel(view, 5, n, w, labels.data(), k, uncounted.data(), nullptr), n - 5);
        for (std::size_t s = 0; s < k * w; ++s) EXPECT_TRUE(same_value(uncounted[s], plain[s])) << where;
        // A label of k stops the range where it lies.
        std::vector<std::uint64_t> bad = labels;
        bad[n / 2] = k;
        EXPECT_EQ(kernel(view, 3, n, w, bad.data(), k, uncounted.data(), nullptr), n / 2 - 3) << where;
    }
    EXPECT_EQ(any, fits(1));
}

INSTANTIATE_TEST_SUITE_P(
    AllWidths, NarrowSumsMatchPlainLoop,
    ::testing::Combine(::testing::Values(Which::Registers, Which::Carried),
                       ::testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512, Kernel::emulated8),
                       ::testing::Values<std::size_t>(1, 2, 3, 4, 5, 6, 7, 8), ::testing::Values<std::size_t>(0, 3),
                       ::testing::Bool(),
                       ::testing::Values(Order::Random, Order::Runs, Order::OneCluster, Order::Alternating),
                       ::testing::Bool()),
    param_name);

// The carried sums of one range of clusters: the samples of those clusters
// added in sample order (listed a chunk of 256 at a time, so the ranges cross
// chunks), every other cluster's sums and counts left as they were, and a
// label of k or more stopping the scan where it lies, whether its chunk lists
// anything or not.
// (variant, width, order)
using RangeParam = std::tuple<Kernel, std::size_t, Order>;
class CarriedSumsOfClusterRanges : public ::testing::TestWithParam<RangeParam> {};

std::string range_param_name(const ::testing::TestParamInfo<RangeParam>& info) {
    static constexpr const char* orders[] = {"Random", "Runs", "OneCluster", "Alternating"};
    return std::string(kernel_name(std::get<0>(info.param))) + "_w" + std::to_string(std::get<1>(info.param)) + "_" +
           orders[static_cast<int>(std::get<2>(info.param))];
}

TEST_P(CarriedSumsOfClusterRanges, OnlyTheirClustersChange) {
    const auto [variant, w, order] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << kernel_name(variant) << " is not available here";
    const KernelTable& table = kernels_of(variant);
    if (table.carried_sums_lanes == 0 || !carried_sums_fits(table.carried_sums_lanes, w, 1)) return;
    std::mt19937_64 gen(static_cast<std::uint64_t>(w * 977 + static_cast<std::size_t>(order)));
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t n = 1100;
    std::vector<double> data(n * w);
    fill_update_values(data, gen, true);
    const SampleView view{data.data(), static_cast<std::ptrdiff_t>(w), 1};
    for (const std::size_t k : {2, 3, 16, 64}) {
        const std::vector<std::uint64_t> labels = make_labels(n, k, order, gen);
        const std::pair<std::size_t, std::size_t> ranges[] = {{0, k}, {0, 1}, {1, k}, {k / 2, k}, {k - 1, k}};
        for (const auto& [lo, hi] : ranges) {
            if (lo >= hi) continue;
            std::vector<double> want(k * w), got(k * w);
            for (std::size_t q = 0; q < k * w; ++q) want[q] = got[q] = q % 4 == 0 ? -0.0 : normal(gen);
            std::vector<std::uint64_t> want_counts(k), got_counts(k);
            for (std::size_t q = 0; q < k; ++q) want_counts[q] = got_counts[q] = gen() % 100;
            const std::size_t b = 7;
            for (std::size_t i = b; i < n; ++i) {
                if (labels[i] < lo || labels[i] >= hi) continue;
                for (std::size_t j = 0; j < w; ++j) want[labels[i] * w + j] = want[labels[i] * w + j] + data[i * w + j];
                want_counts[labels[i]] += 1;
            }
            const std::string where =
                "k " + std::to_string(k) + ", clusters [" + std::to_string(lo) + ", " + std::to_string(hi) + ")";
            EXPECT_EQ(table.carried_sums(view, b, n, w, labels.data(), k, lo, hi, got.data(), got_counts.data()), n - b)
                << where;
            for (std::size_t q = 0; q < k * w; ++q)
                EXPECT_TRUE(same_value(got[q], want[q]))
                    << where << ", sum " << q << ": " << got[q] << " vs " << want[q];
            EXPECT_EQ(got_counts, want_counts) << where;
            // A label of k stops the scan where it lies (in the third chunk).
            std::vector<std::uint64_t> bad = labels;
            bad[600] = k;
            EXPECT_EQ(table.carried_sums(view, b, n, w, bad.data(), k, lo, hi, got.data(), nullptr), 600 - b) << where;
        }
        std::vector<double> sums(k * w, 0.0);
        EXPECT_EQ(table.carried_sums(view, 0, n, w, labels.data(), k, 1, 1, sums.data(), nullptr), 0u);
        EXPECT_EQ(table.carried_sums(view, 0, n, w, labels.data(), k, 0, k + 1, sums.data(), nullptr), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    AllWidths, CarriedSumsOfClusterRanges,
    ::testing::Combine(::testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512, Kernel::emulated8),
                       ::testing::Values<std::size_t>(1, 2, 3, 4, 5, 6, 7),
                       ::testing::Values(Order::Random, Order::Runs, Order::OneCluster, Order::Alternating)),
    range_param_name);

}  // namespace
