// The update's sums of rows a vector of features at a time, every variant,
// against the plain loop bit for bit: widths around the vector and the cache
// line, row strides of both signs, all clusters or a range of them with and
// without flags, sums and counts carried in from an earlier range, special
// values, and a label out of range.
#include <gtest/gtest.h>

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

// Which samples add: every cluster, a range of clusters, or flagged clusters
// of a range.
enum class Select { All, Range, Flagged };

// (variant, width, row stride less the width, negative rows, selection, specials)
using Param = std::tuple<Kernel, std::size_t, std::size_t, bool, Select, bool>;

std::string param_name(const ::testing::TestParamInfo<Param>& info) {
    const auto [variant, w, pad, reversed, select, specials] = info.param;
    static constexpr const char* selects[] = {"All", "Range", "Flagged"};
    return std::string(kernel_name(variant)) + "_w" + std::to_string(w) + "_pad" + std::to_string(pad) +
           (reversed ? "_reversed" : "") + "_" + selects[static_cast<int>(select)] + (specials ? "_specials" : "");
}

class RowSumsMatchPlainLoop : public ::testing::TestWithParam<Param> {};

TEST_P(RowSumsMatchPlainLoop, SameBitsInSampleOrder) {
    const auto [variant, w, pad, reversed, select, specials] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << kernel_name(variant) << " is not available here";
    const KernelTable& table = kernels_of(variant);
    std::mt19937_64 gen(static_cast<std::uint64_t>(w * 131 + pad * 17 + (reversed ? 7 : 0)));
    std::normal_distribution<double> normal(0.0, 1.0);
    const std::size_t n = 157, k = 7;
    const std::size_t stride = w + pad;
    const std::ptrdiff_t row_stride = static_cast<std::ptrdiff_t>(stride) * (reversed ? -1 : 1);
    std::vector<double> buffer(n * stride);
    fill_update_values(buffer, gen, specials);
    const double* data = reversed ? buffer.data() + (n - 1) * stride : buffer.data();
    const SampleView view{data, row_stride, 1};
    auto at = [&](std::size_t i, std::size_t j) { return data[static_cast<std::ptrdiff_t>(i) * row_stride + j]; };
    std::vector<std::uint64_t> labels(n);
    std::uint64_t c = 0;
    for (std::uint64_t& l : labels) {
        if (gen() % 3 == 0) c = gen() % k;  // runs of one cluster and jumps
        l = c;
    }
    const std::size_t c_lo = select == Select::All ? 0 : 2;
    const std::size_t c_hi = select == Select::All ? k : 6;
    std::vector<std::uint8_t> flags(k, 1);
    flags[3] = 0;
    const std::uint8_t* only = select == Select::Flagged ? flags.data() : nullptr;
    auto adds = [&](std::uint64_t l) { return l >= c_lo && l < c_hi && (only == nullptr || only[l] != 0); };
    // The sums in rows of a pitch wider than w (the update's blocks of
    // features), carried in from an earlier range; the first range starts at
    // 0 and the second continues it.
    const std::size_t pitch = w + 3;
    std::vector<double> want(k * pitch), got(k * pitch);
    for (std::size_t s = 0; s < want.size(); ++s) want[s] = got[s] = s % 3 == 0 ? 0.0 : normal(gen);
    std::vector<std::uint64_t> want_counts(k), got_counts(k);
    for (std::size_t q = 0; q < k; ++q) want_counts[q] = got_counts[q] = gen() % 1000;
    for (std::size_t i = 0; i < n; ++i) {
        if (!adds(labels[i])) continue;
        for (std::size_t j = 0; j < w; ++j) want[labels[i] * pitch + j] = want[labels[i] * pitch + j] + at(i, j);
        want_counts[labels[i]] += 1;
    }
    const std::size_t cut = 41;
    EXPECT_EQ(table.row_sums(view, 0, cut, w, labels.data(), k, c_lo, c_hi, only, got.data(), pitch, got_counts.data()),
              cut);
    EXPECT_EQ(table.row_sums(view, cut, n, w, labels.data(), k, c_lo, c_hi, only, got.data(), pitch, got_counts.data()),
              n - cut);
    for (std::size_t s = 0; s < want.size(); ++s)
        EXPECT_TRUE(same_value(got[s], want[s])) << "sum " << s << ": " << got[s] << " vs " << want[s];
    EXPECT_EQ(got_counts, want_counts);
    // Without counts: the same sums.
    std::vector<double> uncounted(k * pitch, 0.0), plain(k * pitch, 0.0);
    for (std::size_t i = 5; i < n; ++i)
        if (adds(labels[i]))
            for (std::size_t j = 0; j < w; ++j) plain[labels[i] * pitch + j] = plain[labels[i] * pitch + j] + at(i, j);
    EXPECT_EQ(table.row_sums(view, 5, n, w, labels.data(), k, c_lo, c_hi, only, uncounted.data(), pitch, nullptr),
              n - 5);
    for (std::size_t s = 0; s < uncounted.size(); ++s) EXPECT_TRUE(same_value(uncounted[s], plain[s])) << s;
    // A label of k stops the scan where it lies, whether or not its
    // neighbours add.
    std::vector<std::uint64_t> bad = labels;
    bad[n / 2] = k;
    EXPECT_EQ(table.row_sums(view, 3, n, w, bad.data(), k, c_lo, c_hi, only, uncounted.data(), pitch, nullptr),
              n / 2 - 3);
}

INSTANTIATE_TEST_SUITE_P(
    Widths, RowSumsMatchPlainLoop,
    ::testing::Combine(::testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512, Kernel::emulated8),
                       ::testing::Values<std::size_t>(1, 3, 4, 7, 8, 9, 15, 16, 17, 33, 64, 100),
                       ::testing::Values<std::size_t>(0, 5), ::testing::Bool(),
                       ::testing::Values(Select::All, Select::Range, Select::Flagged), ::testing::Bool()),
    param_name);

}  // namespace
