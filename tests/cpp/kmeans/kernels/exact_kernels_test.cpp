// Every nearest-centre kernel variant against the scalar reference kernels,
// bit for bit, over many layouts, widths, centre counts and special values.
#include "kmeans/kernels/exact_kernels.hpp"

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
#include "kmeans/kernels/generic/exact.hpp"
#include "kmeans/kernels/isa.hpp"
#include "kmeans/kernels/panel_layout.hpp"
#include "kmeans/kernels/reference.hpp"
#include "runtime/internal_failure.hpp"
#include "support/kernel_tables.hpp"
#include "support/sample_layouts.hpp"

namespace {

using corvalinth::InternalFailure;
using namespace corvalinth::kmeans;
using namespace corvalinth::kmeans::kernels;
using namespace corvalinth::testing;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Same: samples, centres and panel all d wide. WiderCentres: centres have two
// more columns than the panel uses. WiderSamples: samples have three more.
enum class Widths { Same, WiderCentres, WiderSamples };

const char* widths_name(Widths w) {
    static constexpr const char* names[] = {"Same", "WiderCentres", "WiderSamples"};
    return names[static_cast<int>(w)];
}

// Random values with many exact ties (small integers) and, in a quarter of the
// rows, one special value (NaN, +/-inf, -0.0, or a value whose square overflows).
class ValueSource {
public:
    explicit ValueSource(std::uint64_t seed) : gen_(seed) {}

    std::vector<double> matrix(std::size_t rows, std::size_t cols) {
        std::vector<double> m(rows * cols);
        for (std::size_t r = 0; r < rows; ++r) {
            const bool integral = pick(2) == 0;
            for (std::size_t j = 0; j < cols; ++j)
                m[r * cols + j] = integral ? static_cast<double>(static_cast<int>(pick(9)) - 4)
                                           : std::uniform_real_distribution<double>(-10.0, 10.0)(gen_);
            if (cols > 0 && pick(4) == 0) m[r * cols + pick(cols)] = special();
        }
        return m;
    }
    std::size_t pick(std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(gen_); }

private:
    double special() {
        static constexpr double values[] = {kNaN, kInf, -kInf, -0.0, 1e300, -1e300};
        return values[pick(std::size(values))];
    }
    std::mt19937_64 gen_;
};

CentreMatrix make_centres(ValueSource& src, std::size_t k, std::size_t cols) {
    CentreMatrix c{k, cols, src.matrix(k, cols)};
    // Exact duplicates, within one lane block and across blocks.
    auto copy_row = [&](std::size_t from, std::size_t to) {
        if (from < k && to < k)
            for (std::size_t j = 0; j < cols; ++j) c.values[to * cols + j] = c.values[from * cols + j];
    };
    copy_row(0, 1);
    copy_row(3, 11);
    copy_row(4, 12);  // same lane, next block
    copy_row(2, k - 1);
    return c;
}

// Plants samples that tie exactly: a copy of a centre, and points halfway
// between two centres that differ by 2 in coordinate 0 only.
void plant_ties(std::vector<double>& x, std::size_t n, std::size_t d, CentreMatrix& c, std::size_t used_dims) {
    if (used_dims == 0) return;
    const std::size_t k = c.rows;
    std::vector<bool> taken(k, false);
    auto free_pair = [&](std::size_t a, std::size_t b) { return a < k && b < k && a != b && !taken[a] && !taken[b]; };
    auto make_pair = [&](std::size_t a, std::size_t b, std::size_t sample) {
        if (!free_pair(a, b) || sample >= n) return;
        taken[a] = taken[b] = true;
        for (std::size_t j = 0; j < c.cols; ++j)
            c.values[a * c.cols + j] = static_cast<double>(static_cast<int>(j % 5) - 2);
        for (std::size_t j = 0; j < c.cols; ++j) c.values[b * c.cols + j] = c.values[a * c.cols + j];
        c.values[b * c.cols] += 2.0;
        for (std::size_t j = 0; j < d; ++j) x[sample * d + j] = j < c.cols ? c.values[a * c.cols + j] : 0.5;
        x[sample * d] += 1.0;
    };
    make_pair(2, 5, 1);  // same block, different lanes
    make_pair(6, 9, 2);  // neighbouring blocks
    make_pair(13, 21, 3);  // same lane of two blocks
    make_pair(7, 32, 4);  // far apart
    if (k > 0 && n > 0) {
        taken[k / 2] = true;
        for (std::size_t j = 0; j < d; ++j) x[j] = j < c.cols ? c.values[(k / 2) * c.cols + j] : 1.0;
    }
    // Centres whose coordinates are the same small values in opposite orders
    // are equally far from a zero sample in exact arithmetic; only the
    // left-to-right rounding decides between them (the values are drawn
    // until the two rounded sums differ, where two coordinates allow it).
    auto mirror_pair = [&](std::size_t a, std::size_t b, std::size_t sample, std::uint64_t seed) {
        if (!free_pair(a, b) || sample >= n) return;
        taken[a] = taken[b] = true;
        std::mt19937_64 gen(seed);
        std::uniform_real_distribution<double> small(-1e-3, 1e-3);
        const std::vector<double> zero(used_dims, 0.0);
        for (int attempt = 0; attempt < 100; ++attempt) {
            for (std::size_t j = 0; j < c.cols; ++j) c.values[a * c.cols + j] = c.values[b * c.cols + j] = 0.0;
            for (std::size_t j = 0; j < used_dims; ++j) {
                const double v = small(gen);
                c.values[a * c.cols + j] = v;
                c.values[b * c.cols + (used_dims - 1 - j)] = v;
            }
            if (squared_distance(zero.data(), 1, used_dims, c.row(a), used_dims) !=
                squared_distance(zero.data(), 1, used_dims, c.row(b), used_dims))
                break;
        }
        for (std::size_t j = 0; j < d; ++j) x[sample * d + j] = 0.0;
    };
    const std::size_t pairs[][2] = {{0, k - 1}, {10, 11}, {12, 20}, {14, 30}, {22, 23}, {24, 29}, {40, 47}, {50, 63}};
    for (std::size_t r = 0; r < std::size(pairs); ++r)
        mirror_pair(pairs[r][0], pairs[r][1], 5 + r, used_dims * 131 + r);
}

template <class Out>
void run_nearest(Kernel k, const SampleMatrix& x, std::size_t begin, std::size_t end, const CentrePanel& panel,
                 Out* out) {
    nearest_centres(x, begin, end, panel, out, kernels_of(k));
}

void run_distances(Kernel k, const SampleMatrix& x, const double* centre, std::size_t dims, double* out) {
    distances_to_centre(x, centre, dims, out, kernels_of(k));
}

std::string skip_message(Kernel k) {
    return std::string("the ") + kernel_name(k) + " kernels need instructions this processor lacks";
}

using LabelParam = std::tuple<Kernel, Layout, Widths, std::size_t, std::size_t>;

class NearestCentresMatchReference : public ::testing::TestWithParam<LabelParam> {};

TEST_P(NearestCentresMatchReference, LabelsBitIdentical) {
    const auto [variant, layout, widths, d, k] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << skip_message(variant);

    const std::size_t n = 61;  // not a multiple of any block size
    const std::size_t x_cols = d + (widths == Widths::WiderSamples ? 3 : 0);
    const std::size_t c_cols = d + (widths == Widths::WiderCentres ? 2 : 0);
    ValueSource src(1000003 * d + 7919 * k + 31 * static_cast<std::size_t>(layout) + static_cast<std::size_t>(widths));
    CentreMatrix centres = make_centres(src, k, c_cols);
    std::vector<double> values = src.matrix(n, x_cols);
    plant_ties(values, n, x_cols, centres, d);
    const SampleStore store = lay_out(values, n, x_cols, layout);
    const SampleMatrix& x = store.view;

    const CentrePanel panel(centres, d);
    EXPECT_EQ(panel.k(), k);
    EXPECT_EQ(panel.dims(), d);

    std::vector<std::uint64_t> expected(n);
    for (std::size_t i = 0; i < n; ++i)
        expected[i] = nearest_centre(x.row(i), x.col_stride, d, centres.values.data(), k, c_cols);

    for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{0, n}, {5, n - 3}, {17, 18}, {9, 9}}) {
        std::vector<std::uint64_t> got64(end - begin + 1, 777);
        std::vector<std::int32_t> got32(end - begin + 1, 777);
        run_nearest(variant, x, begin, end, panel, got64.data());
        run_nearest(variant, x, begin, end, panel, got32.data());
        for (std::size_t i = begin; i < end; ++i) {
            ASSERT_EQ(got64[i - begin], expected[i]) << "sample " << i << " range [" << begin << ", " << end << ")";
            ASSERT_EQ(got32[i - begin], static_cast<std::int32_t>(expected[i])) << "sample " << i;
        }
        EXPECT_EQ(got64[end - begin], 777u) << "wrote past the range";
        EXPECT_EQ(got32[end - begin], 777) << "wrote past the range";
    }
}

std::string label_param_name(const ::testing::TestParamInfo<LabelParam>& info) {
    const auto [variant, layout, widths, d, k] = info.param;
    return std::string(kernel_name(variant)) + "_" + layout_name(layout) + "_" + widths_name(widths) + "_d" +
           std::to_string(d) + "_k" + std::to_string(k);
}

const auto kVariants = ::testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512, Kernel::emulated8);
const auto kLayouts = ::testing::Values(Layout::RowMajor, Layout::ColumnMajor, Layout::Strided, Layout::ReversedBoth,
                                        Layout::ReversedColumnMajor, Layout::RepeatedRow);
const auto kDims = ::testing::Values<std::size_t>(0, 1, 2, 3, 4, 7, 8, 9, 17);

INSTANTIATE_TEST_SUITE_P(AllShapes, NearestCentresMatchReference,
                         ::testing::Combine(kVariants, kLayouts,
                                            ::testing::Values(Widths::Same, Widths::WiderCentres, Widths::WiderSamples),
                                            kDims, ::testing::Values<std::size_t>(1, 2, 7, 8, 9, 33)),
                         label_param_name);

// Larger problems cross every register block and centre-block boundary, and
// rows wider than 64 coordinates take the lanes-across-centres kernel.
INSTANTIATE_TEST_SUITE_P(LargeShapes, NearestCentresMatchReference,
                         ::testing::Combine(kVariants, kLayouts,
                                            ::testing::Values(Widths::Same, Widths::WiderCentres, Widths::WiderSamples),
                                            ::testing::Values<std::size_t>(2, 16, 40, 65, 70),
                                            ::testing::Values<std::size_t>(64, 100)),
                         label_param_name);

// The labels with the second smallest distance (the carried bounds' input):
// labels as the reference, and the second the smallest reference distance to
// another centre, NaN ones left out, bit for bit; ties, duplicates and
// special values included.
class NearestSecondMatchesReference : public ::testing::TestWithParam<LabelParam> {};

TEST_P(NearestSecondMatchesReference, LabelsAndSecondBitIdentical) {
    const auto [variant, layout, widths, d, k] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << skip_message(variant);

    const std::size_t n = 61;
    const std::size_t x_cols = d + (widths == Widths::WiderSamples ? 3 : 0);
    const std::size_t c_cols = d + (widths == Widths::WiderCentres ? 2 : 0);
    ValueSource src(7000003 * d + 7919 * k + 31 * static_cast<std::size_t>(layout) + static_cast<std::size_t>(widths));
    CentreMatrix centres = make_centres(src, k, c_cols);
    std::vector<double> values = src.matrix(n, x_cols);
    plant_ties(values, n, x_cols, centres, d);
    const SampleStore store = lay_out(values, n, x_cols, layout);
    const SampleMatrix& x = store.view;
    const CentrePanel panel(centres, d);

    std::vector<std::uint64_t> expected(n);
    std::vector<double> expected_second(n, kInf);
    std::size_t finite = 0;
    for (std::size_t i = 0; i < n; ++i) {
        expected[i] = nearest_centre(x.row(i), x.col_stride, d, centres.values.data(), k, c_cols);
        for (std::size_t c = 0; c < k; ++c) {
            if (c == expected[i]) continue;
            const double v = squared_distance(x.row(i), x.col_stride, d, centres.row(c), d);
            if (v < expected_second[i]) expected_second[i] = v;
        }
        finite += expected_second[i] < kInf;
    }
    // Not vacuous: most samples have a second centre at a finite distance
    // (one row repeated may have none; two centres are often both special).
    if (k > 2 && d > 0 && layout != Layout::RepeatedRow) EXPECT_GT(finite, n / 2);

    for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{0, n}, {5, n - 3}, {17, 18}, {9, 9}}) {
        std::vector<std::uint64_t> got(end - begin + 1, 777);
        std::vector<double> second(end - begin + 1, 777.0);
        nearest_centres_with_second(x, begin, end, panel, got.data(), second.data(), kernels_of(variant));
        for (std::size_t i = begin; i < end; ++i) {
            ASSERT_EQ(got[i - begin], expected[i]) << "sample " << i << " range [" << begin << ", " << end << ")";
            ASSERT_EQ(std::bit_cast<std::uint64_t>(second[i - begin]), std::bit_cast<std::uint64_t>(expected_second[i]))
                << "sample " << i << ": " << second[i - begin] << " vs " << expected_second[i];
        }
        EXPECT_EQ(got[end - begin], 777u) << "wrote past the range";
        EXPECT_EQ(second[end - begin], 777.0) << "wrote past the range";
    }
}

// Narrow rows (every register-tile kernel and the column and packed tiles),
// wider ones (the panel kernel's lane merge), few and many centres.
INSTANTIATE_TEST_SUITE_P(AllShapes, NearestSecondMatchesReference,
                         ::testing::Combine(kVariants, kLayouts, ::testing::Values(Widths::Same, Widths::WiderSamples),
                                            ::testing::Values<std::size_t>(0, 1, 2, 3, 4, 5, 6, 7, 9, 70),
                                            ::testing::Values<std::size_t>(1, 2, 7, 9, 33, 64)),
                         label_param_name);

TEST(NearestSecondEdges, TiesAndSpecialValuesByHand) {
    // Centres 0 and 2 are equally near the first sample: the second is the minimum itself.
    const CentreMatrix c{3, 2, {0.0, 0.0, 5.0, 5.0, 2.0, 0.0}};
    const std::vector<double> v{1.0, 0.0, 4.0, 4.0, kNaN, 0.0, 1.0, kInf};
    const SampleStore store = lay_out(v, 4, 2, Layout::RowMajor);
    const CentrePanel panel(c, 2);
    for (const Kernel variant : {Kernel::portable, Kernel::avx2, Kernel::avx512, Kernel::emulated8}) {
        if (!kernel_available(variant)) continue;
        std::uint64_t got[4];
        double second[4];
        nearest_centres_with_second(store.view, 0, 4, panel, got, second, kernels_of(variant));
        EXPECT_EQ(got[0], 0u);
        EXPECT_EQ(second[0], 1.0);
        EXPECT_EQ(got[1], 1u);
        EXPECT_EQ(second[1], 20.0);  // centre 2: 4 + 16
        EXPECT_EQ(got[2], 0u);  // every distance NaN
        EXPECT_EQ(second[2], kInf);
        EXPECT_EQ(got[3], 0u);  // every distance +inf
        EXPECT_EQ(second[3], kInf);
    }
    // One centre: no other one.
    const CentreMatrix one{1, 2, {0.0, 0.0}};
    const CentrePanel single(one, 2);
    std::uint64_t got[4];
    double second[4];
    nearest_centres_with_second(store.view, 0, 4, single, got, second);
    for (const double s : second) EXPECT_EQ(s, kInf);
}

using DistanceParam = std::tuple<Kernel, Layout, std::size_t, std::size_t>;

class DistancesToCentreMatchReference : public ::testing::TestWithParam<DistanceParam> {};

TEST_P(DistancesToCentreMatchReference, DistancesBitIdentical) {
    const auto [variant, layout, d, n] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << skip_message(variant);
    const std::size_t x_cols = d + 1;  // the last column is never used
    ValueSource src(424242 + 97 * d + 13 * n + static_cast<std::size_t>(layout));
    std::vector<double> values = src.matrix(n, x_cols);
    std::vector<double> centre = src.matrix(1, d + 2);  // wider than used, like a centre row
    if (n > 2)
        for (std::size_t j = 0; j < d; ++j) values[2 * x_cols + j] = centre[j];  // distance exactly +0.0
    const SampleStore store = lay_out(values, n, x_cols, layout);
    const SampleMatrix& x = store.view;

    std::vector<double> got(n + 1, 777.0);
    run_distances(variant, x, centre.data(), d, got.data());
    for (std::size_t i = 0; i < n; ++i) {
        const double want = squared_distance(x.row(i), x.col_stride, d, centre.data(), d);
        if (std::isnan(want)) {
            ASSERT_TRUE(std::isnan(got[i])) << "sample " << i;
        } else {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i]), std::bit_cast<std::uint64_t>(want))
                << "sample " << i << ": got " << got[i] << ", want " << want;
        }
    }
    EXPECT_EQ(got[n], 777.0) << "wrote past the end";
}

std::string distance_param_name(const ::testing::TestParamInfo<DistanceParam>& info) {
    const auto [variant, layout, d, n] = info.param;
    return std::string(kernel_name(variant)) + "_" + layout_name(layout) + "_d" + std::to_string(d) + "_n" +
           std::to_string(n);
}

// 13 and 29 rows leave a whole vector of rows and a padded one, and three
// and a padded one, past the whole tiles.
INSTANTIATE_TEST_SUITE_P(AllShapes, DistancesToCentreMatchReference,
                         ::testing::Combine(kVariants, kLayouts, kDims,
                                            ::testing::Values<std::size_t>(0, 1, 5, 8, 13, 29, 67)),
                         distance_param_name);

// Wide rows cross several transposed blocks and leave a remainder of
// coordinates; enough rows for the prefetching tiles and a partial tile, and
// column-major sweeps over more than one block of samples.
INSTANTIATE_TEST_SUITE_P(WideRows, DistancesToCentreMatchReference,
                         ::testing::Combine(kVariants, kLayouts, ::testing::Values<std::size_t>(16, 17, 42, 130),
                                            ::testing::Values<std::size_t>(67, 1100)),
                         distance_param_name);

class ListedDistancesMatchReference : public ::testing::TestWithParam<DistanceParam> {};

// The distances of m listed rows past a base row to one centre: lists in
// increasing order (as the seeding makes them), in any order with repeats,
// and of the last row alone; a row equal to the centre (+0.0) and the
// special values of ValueSource.
TEST_P(ListedDistancesMatchReference, DistancesBitIdentical) {
    const auto [variant, layout, d, m] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << skip_message(variant);
    const std::size_t n = 2 * m + 40, base = 7;
    ValueSource src(626262 + 83 * d + 19 * m + static_cast<std::size_t>(layout));
    std::vector<double> values = src.matrix(n, d + 1);  // the last column is never used
    const std::vector<double> centre = src.matrix(1, d + 2);
    for (std::size_t j = 0; j < d; ++j) values[(base + 1) * (d + 1) + j] = centre[j];  // listed first
    const SampleStore store = lay_out(values, n, d + 1, layout);
    const SampleMatrix& x = store.view;
    std::vector<std::vector<std::uint32_t>> lists(3);
    for (std::size_t p = 0; p < m; ++p) {
        lists[0].push_back(static_cast<std::uint32_t>(2 * p + (p % 3 == 0 ? 1 : 0)));
        lists[1].push_back(static_cast<std::uint32_t>(src.pick(n - base)));
    }
    if (m > 0) lists[2].assign(m, static_cast<std::uint32_t>(n - base - 1));
    for (const std::vector<std::uint32_t>& pick : lists) {
        std::vector<double> got(m + 1, 777.0);
        listed_distances(x, base, pick.data(), m, centre.data(), d, got.data(), kernels_of(variant));
        for (std::size_t p = 0; p < m; ++p) {
            const double want = squared_distance(x.row(base + pick[p]), x.col_stride, d, centre.data(), d);
            if (std::isnan(want)) {
                ASSERT_TRUE(std::isnan(got[p])) << "entry " << p;
            } else {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(got[p]), std::bit_cast<std::uint64_t>(want))
                    << "entry " << p << " (row " << base + pick[p] << "): got " << got[p] << ", want " << want;
            }
        }
        EXPECT_EQ(got[m], 777.0) << "wrote past the end";
    }
}

// Lists shorter than a vector, whole vectors, whole tiles and tiles with a
// padded vector after them; rows narrower than a vector, with a remainder of
// coordinates, and long enough for the lines fetched ahead.
INSTANTIATE_TEST_SUITE_P(AllShapes, ListedDistancesMatchReference,
                         ::testing::Combine(kVariants, kLayouts, ::testing::Values<std::size_t>(1, 5, 8, 17, 300),
                                            ::testing::Values<std::size_t>(0, 1, 6, 8, 13, 32, 45)),
                         distance_param_name);

TEST(ListedDistancesEdges, RowPastTheSamplesFails) {
    const std::vector<double> values(6 * 2, 1.0);
    const SampleMatrix x{values.data(), 6, 2, 2, 1};
    const double centre[2] = {0.0, 0.0};
    double out[2];
    const std::uint32_t inside[2] = {0, 3}, past[2] = {0, 4};
    EXPECT_NO_THROW(listed_distances(x, 2, inside, 2, centre, 2, out));
    EXPECT_EQ(out[1], 2.0);
    EXPECT_THROW(listed_distances(x, 2, past, 2, centre, 2, out), InternalFailure);
    EXPECT_THROW(listed_distances(x, 7, inside, 1, centre, 2, out), InternalFailure);
}

using AssignedParam = std::tuple<Kernel, Layout, std::size_t, std::size_t>;

class AssignedDistancesMatchReference : public ::testing::TestWithParam<AssignedParam> {};

// Each sample's distance to the centre its label names, over a range that
// starts past 0 (labels and output indexed from the range's start), with
// centres wider than the rows used; a sample equal to its centre (+0.0) and
// the special values of ValueSource (NaN, infinities, overflowing squares).
TEST_P(AssignedDistancesMatchReference, DistancesBitIdentical) {
    const auto [variant, layout, d, n] = GetParam();
    if (!kernel_available(variant)) GTEST_SKIP() << skip_message(variant);
    const std::size_t k = 7;
    ValueSource src(515151 + 89 * d + 17 * n + static_cast<std::size_t>(layout));
    const std::vector<double> values = src.matrix(n, d + 1);  // the last column is never used
    const CentreMatrix centres{k, d + 3, src.matrix(k, d + 3)};
    std::vector<std::uint64_t> labels(n);
    for (std::size_t i = 0; i < n; ++i) labels[i] = src.pick(k);
    std::vector<double> xs = values;
    if (n > 4)
        for (std::size_t j = 0; j < d; ++j) xs[4 * (d + 1) + j] = centres.row(labels[4])[j];
    const SampleStore store = lay_out(xs, n, d + 1, layout);
    const SampleMatrix& x = store.view;
    const std::size_t begin = n > 3 ? 3 : 0;
    std::vector<double> got(n - begin + 1, 777.0);
    assigned_distances(x, begin, n, labels.data() + begin, centres, d, got.data(), kernels_of(variant));
    for (std::size_t i = begin; i < n; ++i) {
        const double want = squared_distance(x.row(i), x.col_stride, d, centres.row(labels[i]), d);
        if (std::isnan(want)) {
            ASSERT_TRUE(std::isnan(got[i - begin])) << "sample " << i;
        } else {
            ASSERT_EQ(std::bit_cast<std::uint64_t>(got[i - begin]), std::bit_cast<std::uint64_t>(want))
                << "sample " << i << ": got " << got[i - begin] << ", want " << want;
        }
    }
    EXPECT_EQ(got[n - begin], 777.0) << "wrote past the end";
}

// Rows narrower than a vector, whole vectors with and without a remainder,
// and enough rows for whole tiles, the prefetching ones and a partial tile;
// ranges of 7, 13 and 39 rows end in single vectors of rows and a padded one.
INSTANTIATE_TEST_SUITE_P(AllShapes, AssignedDistancesMatchReference,
                         ::testing::Combine(kVariants, kLayouts, ::testing::Values<std::size_t>(1, 3, 4, 8, 9, 17, 130),
                                            ::testing::Values<std::size_t>(0, 5, 10, 16, 42, 67, 300)),
                         distance_param_name);

TEST(AssignedDistancesEdges, LabelNamingNoCentreFails) {
    const std::vector<double> xs = {1.0, 2.0, 3.0, 4.0};
    const SampleMatrix x{xs.data(), 2, 2, 2, 1};
    const CentreMatrix centres{1, 2, {0.0, 0.0}};
    const std::uint64_t labels[2] = {0, 1};
    double out[2];
    EXPECT_THROW(assigned_distances(x, 0, 2, labels, centres, 2, out), InternalFailure);
    assigned_distances(x, 0, 1, labels, centres, 2, out);
    EXPECT_EQ(out[0], 5.0);
}

// With no coordinates every distance is -0.0 and every label 0; with no
// centres every label is 0 as well.
TEST(NearestKernelEdges, NoCoordinatesAndNoCentres) {
    const std::vector<double> xs = {1.0, 2.0, 3.0, 4.0};
    const SampleMatrix x{xs.data(), 4, 1, 1, 1};
    const CentreMatrix some{3, 1, {5.0, 1.0, 2.0}};
    const CentreMatrix none{0, 1, {}};
    for (const Isa v : {Isa::portable, Isa::avx2, Isa::avx512}) {
        if (!isa_available(v)) continue;
        std::vector<std::uint64_t> labels(4, 9);
        nearest_centres(x, 0, 4, CentrePanel(some, 0), labels.data(), kernel_table(v));
        EXPECT_EQ(labels, std::vector<std::uint64_t>(4, 0)) << isa_name(v);
        labels.assign(4, 9);
        nearest_centres(x, 0, 4, CentrePanel(none, 1), labels.data(), kernel_table(v));
        EXPECT_EQ(labels, std::vector<std::uint64_t>(4, 0)) << isa_name(v);
        std::vector<double> dist(4, 9.0);
        distances_to_centre(x, some.values.data(), 0, dist.data(), kernel_table(v));
        for (double e : dist) EXPECT_TRUE(e == 0.0 && std::signbit(e)) << isa_name(v);
    }
}

// Known answers: ties go to the lowest index, NaN distances never win, and a
// sample whose every distance is +inf or NaN takes label 0.
TEST(NearestKernelEdges, KnownLabels) {
    const CentreMatrix centres{6, 2, {10, 10, 0, 0, 4, 0, kNaN, 0, 2, 2, 2, -2}};
    const std::vector<double> xs = {2, 0, 1, 1, 3, 0, kNaN, 1, 1e300, 0, 5, 5};
    const SampleMatrix x{xs.data(), 6, 2, 2, 1};
    const std::vector<std::uint64_t> want = {1, 1, 2, 0, 0, 4};
    for (const Isa v : {Isa::portable, Isa::avx2, Isa::avx512}) {
        if (!isa_available(v)) continue;
        std::vector<std::uint64_t> labels(6, 9);
        nearest_centres(x, 0, 6, CentrePanel(centres, 2), labels.data(), kernel_table(v));
        EXPECT_EQ(labels, want) << isa_name(v);
    }
}

TEST(NearestKernelEdges, DispatchUsesTheSelectedVariant) {
    const Isa selected = isa_selected();
    EXPECT_TRUE(isa_available(selected));
    EXPECT_EQ(&selected_kernels(), &kernel_table(selected));
    EXPECT_TRUE(isa_available(Isa::portable));
    ValueSource src(5);
    const CentreMatrix centres = make_centres(src, 20, 5);
    const std::vector<double> xs = src.matrix(50, 5);
    const SampleMatrix x{xs.data(), 50, 5, 5, 1};
    std::vector<std::int32_t> labels(50);
    nearest_centres(x, 0, 50, CentrePanel(centres, 5), labels.data());
    std::vector<double> dist(50);
    distances_to_centre(x, centres.values.data(), 5, dist.data());
    for (std::size_t i = 0; i < 50; ++i) {
        EXPECT_EQ(labels[i], static_cast<std::int32_t>(nearest_centre(x.row(i), 1, 5, centres.values.data(), 20, 5)));
        const double want = squared_distance(x.row(i), 1, 5, centres.values.data(), 5);
        EXPECT_TRUE(std::bit_cast<std::uint64_t>(dist[i]) == std::bit_cast<std::uint64_t>(want) ||
                    (std::isnan(want) && std::isnan(dist[i])));
    }
}

TEST(NearestKernelEdges, RejectsInconsistentArguments) {
    const CentreMatrix centres{2, 2, {0, 0, 1, 1}};
    const std::vector<double> xs = {0, 0, 1, 1, 2, 2};
    const SampleMatrix x{xs.data(), 3, 2, 2, 1};
    const SampleMatrix narrow{xs.data(), 3, 1, 2, 1};
    std::vector<std::uint64_t> labels(4);
    std::vector<double> dist(4);
    EXPECT_THROW(CentrePanel(centres, 3), InternalFailure);
    const CentrePanel panel(centres, 2);
    EXPECT_THROW(nearest_centres(x, 0, 4, panel, labels.data()), InternalFailure);
    EXPECT_THROW(nearest_centres(x, 2, 1, panel, labels.data()), InternalFailure);
    EXPECT_THROW(nearest_centres(narrow, 0, 3, panel, labels.data()), InternalFailure);
    EXPECT_THROW(distances_to_centre(narrow, centres.values.data(), 2, dist.data()), InternalFailure);
    for (const Isa v : {Isa::avx2, Isa::avx512}) {
        if (!isa_available(v)) EXPECT_THROW(kernel_table(v), InternalFailure);
    }
}

}  // namespace
