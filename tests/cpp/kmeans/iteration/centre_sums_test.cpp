// The centre update's kernels against the plain one-block loop, bit for bit.
#include "kmeans/iteration/centre_sums.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "kmeans/testing/knobs.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "support/kmeans_reference.hpp"
#include "support/sample_layouts.hpp"

namespace corvalinth::kmeans {
namespace {

using corvalinth::testing::Layout;
using testing::Samples;
using testing::UpdateKernel;

enum class Order { Random, Runs, OneCluster, Blocks };

const char* order_name(Order o) {
    static constexpr const char* names[] = {"Random", "Runs", "OneCluster", "Blocks"};
    return names[static_cast<int>(o)];
}

// A test name: d<d>[_n<n>]_k<k>_<order>.
std::string narrow_case_name(std::size_t d, std::size_t n, std::size_t k, Order order) {
    std::string name = "d" + std::to_string(d);
    if (n != 0) name += "_n" + std::to_string(n);
    return name + "_k" + std::to_string(k) + "_" + order_name(order);
}

// Labels below k: independent draws, runs of 1 to 40 equal labels, all the
// same (every other cluster empty), or sorted blocks of equal labels.
std::vector<std::uint64_t> make_labels(std::size_t n, std::size_t k, Order order, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::vector<std::uint64_t> labels(n);
    std::uint64_t c = gen() % k;
    std::size_t left = 0;
    for (std::size_t i = 0; i < n; ++i) {
        switch (order) {
            case Order::Random: labels[i] = gen() % k; break;
            case Order::Runs:
                if (left == 0) {
                    c = gen() % k;
                    left = 1 + gen() % 40;
                }
                --left;
                labels[i] = c;
                break;
            case Order::OneCluster: labels[i] = k / 2; break;
            case Order::Blocks: labels[i] = i * k / n; break;
        }
    }
    return labels;
}

// Values whose sums depend on the order of the additions: huge and small
// magnitudes of both signs, signed zeros; with `specials`, also NaN (with
// payloads) and infinities.
std::vector<double> order_sensitive_values(std::size_t n, std::size_t d, bool specials, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    const double nan_a = std::bit_cast<double>(std::uint64_t{0x7ff8000000000123});
    const double nan_b = std::bit_cast<double>(std::uint64_t{0xfff8000000000456});
    std::vector<double> v(n * d);
    for (double& x : v) {
        const unsigned r = gen() % 100;
        if (r < 20)
            x = (gen() % 2 ? 1.0 : -1.0) * 0x1p53 * (1.0 + static_cast<double>(gen() % 8));
        else if (r < 25)
            x = -0.0;
        else if (r < 28)
            x = 0.0;
        else if (specials && r < 29)
            x = gen() % 2 ? nan_a : nan_b;
        else if (specials && r < 30)
            x = gen() % 2 ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
        else
            x = normal(gen) * std::ldexp(1.0, static_cast<int>(gen() % 20) - 10);
    }
    return v;
}

// The update through CentreSums, the samples added `piece` at a time (0: all
// at once; `in_blocks`: by one add_blocks call), with the draws of `seed`.
CentreMatrix sums_update(const SampleMatrix& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                         std::size_t piece, std::uint64_t seed, std::vector<std::uint64_t>& counts,
                         bool in_blocks = false) {
    CentreSums sums(x, k);
    const std::size_t step = piece == 0 ? x.n_rows : piece;
    if (in_blocks)
        sums.add_blocks(labels.data(), 0, x.n_rows, std::max<std::size_t>(1, step));
    else
        for (std::size_t b = 0; b < x.n_rows; b += step) sums.add(labels.data(), b, std::min(x.n_rows, b + step));
    auto rng = runtime::RandomSource::from_seed(seed);
    CentreMatrix out;
    sums.finish(rng, out);
    counts = sums.counts();
    return out;
}

std::vector<std::uint64_t> reference_counts(const std::vector<std::uint64_t>& labels, std::size_t k) {
    std::vector<std::uint64_t> counts(k, 0);
    for (std::uint64_t c : labels) ++counts[c];
    return counts;
}

// First element at which two centre matrices differ, or "": bit for bit,
// except that any two NaNs match (which operand's NaN a sum of two NaNs
// keeps is the compiler's choice of operand order, in every kernel alike).
std::string mismatch(const CentreMatrix& a, const CentreMatrix& b) {
    if (a.rows != b.rows || a.cols != b.cols || a.values.size() != b.values.size()) return "shape";
    for (std::size_t i = 0; i < a.values.size(); ++i)
        if (testing::bits(a.values[i]) != testing::bits(b.values[i]) &&
            !(std::isnan(a.values[i]) && std::isnan(b.values[i])))
            return "element " + std::to_string(i) + ": " + std::to_string(a.values[i]) + " vs " +
                   std::to_string(b.values[i]);
    return "";
}

class KernelScope {
public:
    explicit KernelScope(UpdateKernel kernel) { testing::set_update_kernel(kernel); }
    ~KernelScope() { testing::set_update_kernel(UpdateKernel::Automatic); }
};

constexpr UpdateKernel kKernels[] = {UpdateKernel::Automatic, UpdateKernel::Plain, UpdateKernel::Runs,
                                     UpdateKernel::Registers, UpdateKernel::Carried};
constexpr Layout kLayouts[] = {Layout::RowMajor,     Layout::PaddedRows,   Layout::ColumnMajor, Layout::Strided,
                               Layout::ReversedRows, Layout::ReversedCols, Layout::ReversedBoth};

// Every kernel, the samples of x added in each of `pieces` (0: all at once),
// against the plain one-block loop: the same bits (any two NaNs alike) and
// counts.
void expect_every_kernel_matches(const Samples& x, const std::vector<std::uint64_t>& labels, std::size_t k,
                                 std::initializer_list<std::size_t> pieces, std::uint64_t seed, Layout layout) {
    auto ref_rng = runtime::RandomSource::from_seed(seed);
    const CentreMatrix want = testing::reference_update(x, labels, k, ref_rng);
    const auto want_counts = reference_counts(labels, k);
    for (const UpdateKernel kernel : kKernels) {
        const KernelScope scope(kernel);
        for (const std::size_t piece : pieces) {
            std::vector<std::uint64_t> counts;
            const CentreMatrix got = sums_update(x, labels, k, piece, seed, counts);
            const std::string where = std::string(corvalinth::testing::layout_name(layout)) + ", kernel " +
                                      std::to_string(static_cast<unsigned>(kernel)) + ", pieces of " +
                                      std::to_string(piece) + ", workers " +
                                      std::to_string(runtime::pool_thread_count());
            EXPECT_EQ(mismatch(got, want), "") << where;
            EXPECT_EQ(counts, want_counts) << where;
        }
    }
}

// Every kernel for rows of 1 to 8 features (plain, a run of equal labels at a
// time, the sums in registers where they fit, the current cluster's sums
// carried in a register where they fit) and the automatic choice, every layout, label orders with and
// without runs, ranges added in pieces, special values. The instantiations
// named ThreadInvariance* run again under several pool sizes.
// (d, k, order, specials)
using Case = std::tuple<std::size_t, std::size_t, Order, bool>;
class ThreadInvarianceNarrowUpdate : public ::testing::TestWithParam<Case> {};

TEST_P(ThreadInvarianceNarrowUpdate, EveryKernelMatchesThePlainLoop) {
    const auto [d, k, order, specials] = GetParam();
    const std::size_t n = 3001;
    const auto v = order_sensitive_values(n, d, specials, d * 1000 + k);
    const auto labels = make_labels(n, k, order, k * 31 + d);
    for (const Layout layout : kLayouts)
        expect_every_kernel_matches(Samples(v, n, d, layout), labels, k, {0, 1, 37, 1000}, 7, layout);
}

INSTANTIATE_TEST_SUITE_P(
    ThreadInvarianceShapes, ThreadInvarianceNarrowUpdate,
    ::testing::Combine(::testing::Values(1, 2, 3, 4, 5, 6, 7, 8), ::testing::Values(1, 3, 16, 64, 1000),
                       ::testing::Values(Order::Random, Order::Runs, Order::OneCluster, Order::Blocks),
                       ::testing::Bool()),
    [](const ::testing::TestParamInfo<Case>& info) {
        const auto& p = info.param;
        return narrow_case_name(std::get<0>(p), 0, std::get<1>(p), std::get<2>(p)) +
               (std::get<3>(p) ? "_specials" : "");
    });

// Rows of 2 to 7 features, long enough to be split over the workers: where
// the labels take the carried sums, the clusters are shared out (each worker
// lists its clusters' samples and adds all their features), balanced by the
// counts of the update before on a reused CentreSums. Every kernel and the
// automatic choice, every layout, whole and in pieces, then a second update
// (other labels) on the same CentreSums: the plain loop's bits and counts.
// (d, k, order)
using SplitCase = std::tuple<std::size_t, std::size_t, Order>;
class ThreadInvarianceNarrowUpdateSplit : public ::testing::TestWithParam<SplitCase> {};

TEST_P(ThreadInvarianceNarrowUpdateSplit, EveryKernelMatchesThePlainLoop) {
    const auto [d, k, order] = GetParam();
    const std::size_t n = 33000;
    const auto v = order_sensitive_values(n, d, true, d * 7919 + k);
    const auto first = make_labels(n, k, order, k * 13 + d);
    const auto second = make_labels(n, k, order == Order::Random ? Order::Runs : Order::Random, k * 17 + d);
    for (const Layout layout : kLayouts) {
        const Samples x(v, n, d, layout);
        expect_every_kernel_matches(x, first, k, {0, 12345}, 11, layout);
        for (const UpdateKernel kernel : {UpdateKernel::Automatic, UpdateKernel::Carried}) {
            const KernelScope scope(kernel);
            CentreSums sums(x, k);
            for (const auto* labels : {&first, &second, &first}) {
                sums.clear();
                sums.add(labels->data(), 0, n);
                auto rng = runtime::RandomSource::from_seed(3);
                CentreMatrix got;
                sums.finish(rng, got);
                auto ref_rng = runtime::RandomSource::from_seed(3);
                const std::string where = std::string(corvalinth::testing::layout_name(layout)) + ", kernel " +
                                          std::to_string(static_cast<unsigned>(kernel)) + ", reused";
                EXPECT_EQ(mismatch(got, testing::reference_update(x, *labels, k, ref_rng)), "") << where;
                EXPECT_EQ(sums.counts(), reference_counts(*labels, k)) << where;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ThreadInvarianceShapes, ThreadInvarianceNarrowUpdateSplit,
                         ::testing::Combine(::testing::Values(2, 3, 4, 7), ::testing::Values(2, 3, 16, 127),
                                            ::testing::Values(Order::Random, Order::Runs, Order::OneCluster,
                                                              Order::Blocks)),
                         [](const ::testing::TestParamInfo<SplitCase>& info) {
                             const auto& p = info.param;
                             return narrow_case_name(std::get<0>(p), 0, std::get<1>(p), std::get<2>(p));
                         });

// Ranges of dense samples (the layouts whose narrow update prefetches ahead)
// of lengths on both sides of where the prefetch starts and stops (128
// samples ahead, groups of 8), every width to 8, both kernels, added whole
// and in pieces that cut groups: the same bits and counts as the plain loop,
// special values included.
// (d, n, k, order)
using LengthCase = std::tuple<std::size_t, std::size_t, std::size_t, Order>;
class ThreadInvarianceNarrowUpdateLengths : public ::testing::TestWithParam<LengthCase> {};

TEST_P(ThreadInvarianceNarrowUpdateLengths, PrefetchedRangesMatchThePlainLoop) {
    const auto [d, n, k, order] = GetParam();
    const auto v = order_sensitive_values(n, d, true, d * 7 + n);
    const auto labels = make_labels(n, k, order, n + k);
    for (const Layout layout : {Layout::RowMajor, Layout::ColumnMajor, Layout::ReversedColumnMajor})
        expect_every_kernel_matches(Samples(v, n, d, layout), labels, k, {0, 131, 140, 1001}, 5, layout);
}

INSTANTIATE_TEST_SUITE_P(ThreadInvarianceLengths, ThreadInvarianceNarrowUpdateLengths,
                         ::testing::Combine(::testing::Values(1, 2, 3, 4, 5, 6, 7, 8),
                                            ::testing::Values(135, 136, 137, 143, 144, 145, 152, 4099),
                                            ::testing::Values(2, 16, 300),
                                            ::testing::Values(Order::Random, Order::Runs)),
                         [](const ::testing::TestParamInfo<LengthCase>& info) {
                             const auto& p = info.param;
                             return narrow_case_name(std::get<0>(p), std::get<1>(p), std::get<2>(p), std::get<3>(p));
                         });

// Rows large enough for the update to be split by features (whole features
// per block below 32, the narrow ones with the kernel of runs) or by
// clusters on several workers: the same bits as the plain loop.
class ThreadInvarianceWideUpdate : public ::testing::TestWithParam<std::tuple<std::size_t, Order>> {};

TEST_P(ThreadInvarianceWideUpdate, SplitUpdateMatchesThePlainLoop) {
    const auto [d, order] = GetParam();
    const std::size_t n = std::max<std::size_t>(4096, (std::size_t{1} << 16) / d + 3);
    const std::size_t k = 24;
    const auto v = order_sensitive_values(n, d, false, d);
    const auto labels = make_labels(n, k, order, d + 5);
    for (const Layout layout : {Layout::RowMajor, Layout::ColumnMajor, Layout::ReversedCols}) {
        Samples x(v, n, d, layout);
        auto ref_rng = runtime::RandomSource::from_seed(3);
        const CentreMatrix want = testing::reference_update(x, labels, k, ref_rng);
        for (const UpdateKernel kernel : kKernels) {
            const KernelScope scope(kernel);
            // Ranges added one by one, and all of them in one hand-off (each
            // worker through every range), in ranges that cut runs unevenly.
            for (const auto& [piece, in_blocks] : {std::pair{1000, false}, {1000, true}, {977, true}}) {
                std::vector<std::uint64_t> counts;
                EXPECT_EQ(mismatch(sums_update(x, labels, k, piece, 3, counts, in_blocks), want), "")
                    << corvalinth::testing::layout_name(layout) << ", workers " << runtime::pool_thread_count()
                    << ", pieces of " << piece << (in_blocks ? " in one hand-off" : "");
                EXPECT_EQ(counts, reference_counts(labels, k));
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ThreadInvarianceWidths, ThreadInvarianceWideUpdate,
                         ::testing::Combine(::testing::Values(2, 3, 5, 8, 9, 16, 31, 32, 40, 64),
                                            ::testing::Values(Order::Random, Order::Runs)));

// Only the flagged clusters summed again, the others' centres taken over
// from the update before (whose labels differ only among flagged clusters):
// the same bits and counts as the plain update of the new labels, for every
// width and layout, added in pieces and in one call, with the flagged samples
// found by each block's own scan and listed once for all blocks, however the
// sums are shared out (the instantiation runs under several pool sizes; the
// samples are enough for the update to be split). The update before leaves
// other sums behind, so a flagged sum that is not begun again shows.
// (d, order)
class MaskedSumsScope {
public:
    explicit MaskedSumsScope(testing::MaskedSums how) { testing::set_masked_sums(how); }
    ~MaskedSumsScope() { testing::set_masked_sums(testing::MaskedSums::Automatic); }
};

constexpr testing::MaskedSums kMaskedSums[] = {testing::MaskedSums::Automatic, testing::MaskedSums::Scanned,
                                               testing::MaskedSums::Listed};

class ThreadInvarianceMaskedUpdate : public ::testing::TestWithParam<std::tuple<std::size_t, Order>> {};

TEST_P(ThreadInvarianceMaskedUpdate, MatchesThePlainUpdate) {
    const auto [d, order] = GetParam();
    const std::size_t n = std::max<std::size_t>(3000, (std::size_t{1} << 16) / d + 3);
    const std::size_t k = 24;
    const auto v = order_sensitive_values(n, d, false, d + 11);
    const auto labels = make_labels(n, k, order, d + 13);
    const auto counts = reference_counts(labels, k);
    std::vector<std::uint8_t> only(k);
    for (std::size_t c = 0; c < k; ++c) only[c] = c % 3 == 1 || counts[c] == 0;
    // The labels before: the flagged clusters' samples among flagged clusters.
    std::vector<std::uint64_t> before = labels;
    for (std::size_t i = 0; i < n; ++i)
        if (only[labels[i]] != 0) before[i] = 3 * ((i * 7 + labels[i]) % (k / 3)) + 1;
    for (const Layout layout : {Layout::RowMajor, Layout::ColumnMajor, Layout::ReversedRows, Layout::Strided}) {
        Samples x(v, n, d, layout);
        auto ref_rng = runtime::RandomSource::from_seed(5);
        const CentreMatrix want = testing::reference_update(x, labels, k, ref_rng);
        CentreSums sums(x, k);
        for (const testing::MaskedSums how : kMaskedSums) {
            const MaskedSumsScope scope(how);
            for (const std::size_t piece : {std::size_t{700}, n}) {
                auto rng = runtime::RandomSource::from_seed(5);
                CentreMatrix kept, got;
                sums.clear();
                sums.add(before.data(), 0, n);
                sums.finish(rng, kept);
                sums.clear(only.data());
                for (std::size_t b = 0; b < n; b += piece)
                    sums.add(labels.data(), b, std::min(n, b + piece), only.data());
                rng = runtime::RandomSource::from_seed(5);
                sums.finish(rng, got, &kept, only.data());
                const std::string where = std::string(corvalinth::testing::layout_name(layout)) + ", masked sums " +
                                          std::to_string(static_cast<unsigned>(how)) + ", pieces of " +
                                          std::to_string(piece) + ", workers " +
                                          std::to_string(runtime::pool_thread_count());
                EXPECT_EQ(mismatch(got, want), "") << where;
                EXPECT_EQ(sums.counts(), counts) << where;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ThreadInvarianceWidths, ThreadInvarianceMaskedUpdate,
                         ::testing::Combine(::testing::Values(1, 2, 3, 5, 8, 9, 16, 31, 40, 63, 70),
                                            ::testing::Values(Order::Random, Order::Runs)));

// A label not below k is an internal failure in the flagged clusters' sums
// too, flagged or not, wherever it sits (first, at the cut between two
// workers' stretches, last), whichever way the flagged samples are found.
class MaskedUpdateLabels : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(MaskedUpdateLabels, OutOfRangeIsAnInternalFailure) {
    const auto [d, at] = GetParam();
    const std::size_t n = 40000;
    const auto v = order_sensitive_values(n, d, false, 21 + at);
    std::vector<std::uint64_t> labels = make_labels(n, 4, Order::Random, d + at);
    labels[at] = 4;
    const std::vector<std::uint8_t> only{0, 1, 0, 1};
    Samples x(v, n, d);
    for (const testing::MaskedSums how : kMaskedSums) {
        const MaskedSumsScope scope(how);
        CentreSums sums(x, 4);
        sums.clear(only.data());
        EXPECT_EQ(testing::internal_failure_message([&] { sums.add(labels.data(), 0, n, only.data()); }),
                  "label out of range")
            << "masked sums " << static_cast<unsigned>(how);
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, MaskedUpdateLabels,
                         ::testing::Combine(::testing::Values(8, 16), ::testing::Values(0, 19999, 20000, 39999)));

// A sum starts at +0.0, so a cluster of negative zeros has the centre +0.0,
// and one of negative and positive zeros too; both kernels.
class NarrowUpdateZeros : public ::testing::TestWithParam<std::size_t> {};

TEST_P(NarrowUpdateZeros, NegativeZerosSumToPositiveZero) {
    const std::size_t d = GetParam();
    const std::size_t n = 200;
    std::vector<double> v(n * d, -0.0);
    // Cluster 1 also holds positive zeros; cluster 2 a 1.0 then a -1.0.
    std::vector<std::uint64_t> labels(n, 0);
    for (std::size_t i = 100; i < 150; ++i) labels[i] = 1;
    for (std::size_t i = 120; i < 130; ++i)
        for (std::size_t j = 0; j < d; ++j) v[i * d + j] = 0.0;
    labels[150] = labels[151] = 2;
    for (std::size_t j = 0; j < d; ++j) {
        v[150 * d + j] = 1.0;
        v[151 * d + j] = -1.0;
    }
    Samples x(v, n, d);
    for (const UpdateKernel kernel : kKernels) {
        const KernelScope scope(kernel);
        std::vector<std::uint64_t> counts;
        const CentreMatrix got = sums_update(x, labels, 3, 0, 1, counts);
        for (std::size_t c = 0; c < 3; ++c)
            for (std::size_t j = 0; j < d; ++j) {
                EXPECT_EQ(got.row(c)[j], 0.0);
                EXPECT_FALSE(std::signbit(got.row(c)[j])) << "cluster " << c << ", feature " << j;
            }
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, NarrowUpdateZeros, ::testing::Values(1, 2, 3, 4, 5, 6, 7, 8));

// A label not below k is an internal failure wherever it sits, with either
// kernel: in a short run of equal labels (first, inside the run, last), and
// in ranges long enough to be prefetched ahead (first, inside the prefetched
// part, among the last samples, which are no longer prefetched, and last),
// row- and column-major; added whole, and in two ranges, the second
// beginning at the bad label.
// (d, n, at, layout)
using LabelCase = std::tuple<std::size_t, std::size_t, std::size_t, Layout>;
class NarrowUpdateLabels : public ::testing::TestWithParam<LabelCase> {};

TEST_P(NarrowUpdateLabels, OutOfRangeIsAnInternalFailure) {
    const auto [d, n, at, layout] = GetParam();
    const auto v = order_sensitive_values(n, d, false, 9 + at);
    std::vector<std::uint64_t> labels =
        n <= 64 ? std::vector<std::uint64_t>(n, 1) : make_labels(n, 3, Order::Random, d + at);
    labels[at] = 4;
    Samples x(v, n, d, layout);
    for (const UpdateKernel kernel : kKernels) {
        const KernelScope scope(kernel);
        EXPECT_EQ(testing::internal_failure_message([&] { CentreSums(x, 3).add(labels.data(), 0, n); }),
                  "label out of range")
            << "kernel " << static_cast<unsigned>(kernel);
        CentreSums sums(x, 4);
        sums.add(labels.data(), 0, at);
        EXPECT_EQ(testing::internal_failure_message([&] { sums.add(labels.data(), at, n); }), "label out of range")
            << "kernel " << static_cast<unsigned>(kernel);
    }
}

INSTANTIATE_TEST_SUITE_P(Short, NarrowUpdateLabels,
                         ::testing::Combine(::testing::Values(1, 2, 3, 8), ::testing::Values(64),
                                            ::testing::Values(0, 20, 63), ::testing::Values(Layout::RowMajor)));
INSTANTIATE_TEST_SUITE_P(Prefetched, NarrowUpdateLabels,
                         ::testing::Combine(::testing::Values(1, 2, 3, 5, 8), ::testing::Values(1000),
                                            ::testing::Values(0, 500, 900, 999),
                                            ::testing::Values(Layout::RowMajor, Layout::ColumnMajor)));

}  // namespace
}  // namespace corvalinth::kmeans
