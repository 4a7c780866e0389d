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
    const RegisterSumsFn kernel = registers ? table.register_sums : table.carried_sums;
    const std::size_t lanes = registers ? table.register_sums_lanes : table.carried_sums_lanes;
    auto fits = [&](std::size_t k) {
        return registers ? register_sums_fits(lanes, w, k) : carried_sums_fits(lanes, w, k);
    };
    if (lanes == 0) {
        EXPECT_EQ(kernel, nullptr);
        return;
    }
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
        std::vector<std::uint64_t> labels(n);
        std::uint64_t c = gen() % k;
        for (std::size_t i = 0; i < n; ++i) {
            if (order == Order::Random || (order == Order::Runs && gen() % 5 == 0)) c = gen() % k;
            labels[i] = order == Order::OneCluster    ? k - 1
                        : order == Order::Alternating ? (i < n / 2 ? i % 2 : i % 3) % k
                                                      : c;
        }
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

}  // namespace
