// The filtered assignment against the exhaustive reference, bit for bit, on
// data built to break it: exact ties, distances a few ulps apart, offset data,
// huge and tiny magnitudes, subnormals, duplicates and integer grids, for every
// kernel variant and layout, with the float64 filter alone and behind the
// float32 stage. The fault-injection cases shrink the certified margins and
// check that the same data then does give wrong labels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "kmeans/assignment/centre_labeller.hpp"
#include "kmeans/assignment/filter_policy.hpp"
#include "kmeans/assignment/filtered_labels.hpp"
#include "kmeans/base/model.hpp"
#include "kmeans/iteration/centre_sums.hpp"
#include "kmeans/iteration/inertia.hpp"
#include "kmeans/kernels/exact_kernels.hpp"
#include "kmeans/kernels/isa.hpp"
#include "kmeans/kernels/reference.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/internal_failure.hpp"
#include "support/kernel_tables.hpp"
#include "support/sample_layouts.hpp"

namespace {

using namespace corvalinth::kmeans;
using corvalinth::InternalFailure;
using namespace corvalinth::testing;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The float64 filter alone, or the float32 stage in front of it.
enum class Stage { f64, f32 };
const char* stage_name(Stage s) { return s == Stage::f64 ? "f64" : "f32"; }
Float32Stage float32_stage(Stage s) { return s == Stage::f64 ? Float32Stage::never : Float32Stage::always; }

// Labels of rows [begin, end) by the filter of kernel k; *decided32 (when
// given) receives how many the float32 stage decided.
template <class Out>
std::size_t run_filter(Kernel k, const SampleMatrix& x, std::size_t begin, std::size_t end, const FilterPanel& f,
                       const CentrePanel& exact, Out* out, std::size_t* decided32 = nullptr) {
    return filtered_nearest_centres(x, begin, end, f, exact, out, FilterOutputs{nullptr, nullptr, decided32},
                                    kernels_of(k));
}

// Restores the margin scales at the end of a scope.
struct MarginScale {
    explicit MarginScale(double s) { corvalinth::kmeans::testing::set_filter_margin_scale(s); }
    ~MarginScale() { corvalinth::kmeans::testing::set_filter_margin_scale(1.0); }
};
struct Margin32Scales {
    Margin32Scales(double relative, double absolute) {
        corvalinth::kmeans::testing::set_filter32_margin_scales(relative, absolute);
    }
    ~Margin32Scales() { corvalinth::kmeans::testing::set_filter32_margin_scales(1.0, 1.0); }
};

// Families ending in 32 aim at the float32 stage: magnitudes near its range
// limits (Huge32), products underflowing among the float subnormals (Tiny32),
// values that are float subnormals (Subnormal32), near ties at float
// resolution (NearTies32), and the same near ties scaled by 2^-72, so that
// their float products have lost bits to underflow (NearTiesTiny32).
enum class Family {
    Gaussian,
    Offset,
    Huge,
    Tiny,
    Underflow,
    Subnormal,
    IntegerGrid,
    Duplicates,
    NearTies,
    Specials,
    Huge32,
    Tiny32,
    Subnormal32,
    NearTies32,
    NearTiesTiny32
};
const char* family_name(Family f) {
    static constexpr const char* names[] = {"Gaussian",  "Offset",      "Huge",        "Tiny",       "Underflow",
                                            "Subnormal", "IntegerGrid", "Duplicates",  "NearTies",   "Specials",
                                            "Huge32",    "Tiny32",      "Subnormal32", "NearTies32", "NearTiesTiny32"};
    return names[static_cast<int>(f)];
}

struct Problem {
    std::vector<double> x;  // n x d, row-major
    CentreMatrix centres;  // k x d
};

// Samples and centres of one family. NearTies: centres come in close pairs
// around points far from the centres' mean, and most samples are the rounded
// midpoints of a pair (distances a few ulps apart, or exactly equal).
Problem make_problem(Family family, std::size_t n, std::size_t d, std::size_t k, std::uint64_t seed) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_int_distribution<int> small(-3, 3);
    auto pick = [&](std::size_t bound) { return std::uniform_int_distribution<std::size_t>(0, bound - 1)(gen); };
    auto value = [&]() -> double {
        switch (family) {
            case Family::Offset: return 1e8 + normal(gen);
            case Family::Huge: return 1e150 * normal(gen);
            case Family::Tiny: return 1e-150 * normal(gen);
            // Squares and products fall among the subnormals, with few bits left.
            case Family::Underflow: return 0x1p-532 * normal(gen);
            case Family::Subnormal: return small(gen) * 0x1p-1074 * 3.0;
            case Family::Huge32: return 1e38 * normal(gen);
            // Float products near 2^-140, among the float subnormals.
            case Family::Tiny32: return 0x1p-70 * normal(gen);
            // About 1e-40: the values themselves are float subnormals.
            case Family::Subnormal32: return 0x1p-133 * normal(gen);
            case Family::IntegerGrid:
            case Family::Duplicates: return static_cast<double>(small(gen));
            default: return normal(gen);
        }
    };
    Problem p;
    p.x.resize(n * d);
    p.centres = CentreMatrix{k, d, std::vector<double>(k * d)};
    if (family == Family::NearTies) {
        for (std::size_t c = 0; c < k; c += 2) {
            const bool integral = (c / 2) % 3 == 0;  // exactly representable midpoints: exact ties
            for (std::size_t j = 0; j < d; ++j) {
                const double base = integral ? 2.0 * small(gen) * 50 : 100.0 * normal(gen);
                p.centres.values[c * d + j] = integral ? base + 2.0 * small(gen) : base + normal(gen);
                if (c + 1 < k)
                    p.centres.values[(c + 1) * d + j] = integral ? base + 2.0 * small(gen) : base + normal(gen);
            }
        }
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t a = pick(k) & ~std::size_t{1};
            const std::size_t b = a + 1 < k ? a + 1 : a;
            for (std::size_t j = 0; j < d; ++j)
                p.x[i * d + j] = (p.centres.values[a * d + j] + p.centres.values[b * d + j]) * 0.5;
        }
        return p;
    }
    if (family == Family::NearTies32 || family == Family::NearTiesTiny32) {
        const double scale = family == Family::NearTiesTiny32 ? 0x1p-72 : 1.0;
        // Pairs of centres; samples off the midpoint of a pair by a fraction
        // of the pair's difference spread from 1e-10 to 1e-1, so that the two
        // distances differ at about float resolution (and some exactly tie).
        std::uniform_real_distribution<double> exponent(-10.0, -1.0);
        for (std::size_t c = 0; c < k; c += 2)
            for (std::size_t j = 0; j < d; ++j) {
                const double base = 10.0 * normal(gen);
                p.centres.values[c * d + j] = scale * (base + normal(gen));
                if (c + 1 < k) p.centres.values[(c + 1) * d + j] = scale * (base + normal(gen));
            }
        for (std::size_t i = 0; i < n; ++i) {
            const std::size_t a = pick(k) & ~std::size_t{1};
            const std::size_t b = a + 1 < k ? a + 1 : a;
            const double shift = i % 5 == 0 ? 0.0 : (i % 2 ? 1.0 : -1.0) * std::pow(10.0, exponent(gen));
            for (std::size_t j = 0; j < d; ++j) {
                const double ca = p.centres.values[a * d + j], cb = p.centres.values[b * d + j];
                p.x[i * d + j] = (ca + cb) * 0.5 + shift * (cb - ca);
            }
        }
        return p;
    }
    for (double& v : p.centres.values) v = value();
    for (double& v : p.x) v = value();
    if (family == Family::Duplicates || family == Family::Gaussian || family == Family::Tiny32 ||
        family == Family::Subnormal32) {
        // Duplicate centres, and samples that are copies of centres.
        for (std::size_t c = 1; c < k; c += 3)
            for (std::size_t j = 0; j < d; ++j) p.centres.values[c * d + j] = p.centres.values[(c - 1) * d + j];
        for (std::size_t i = 0; i < n; i += 4) {
            const std::size_t c = pick(k);
            for (std::size_t j = 0; j < d; ++j) p.x[i * d + j] = p.centres.values[c * d + j];
        }
    }
    if (family == Family::Specials) {
        // Also values beyond the float32 stage's guard (1e20) and beyond the float range (3e38 ~ 2^128).
        static constexpr double specials[] = {kNaN, kInf, -kInf, 1e300, -1e300, 0x1p600, 1e20, -3.5e38};
        for (std::size_t i = 0; i < n; i += 3) p.x[i * d + pick(d)] = specials[pick(std::size(specials))];
    }
    return p;
}

using Param = std::tuple<Kernel, Stage, Family, Layout, std::size_t, std::size_t>;
class FilteredAssignment : public ::testing::TestWithParam<Param> {};

// Labels of every sample, uint64 and int32, for several sub-ranges; returns
// how many samples the filters decided alone over the full range, and how
// many of them the float32 stage did.
template <class Check>
std::pair<std::size_t, std::size_t> check_ranges(Kernel kernel, const SampleMatrix& x, const FilterPanel& filter,
                                                 const CentrePanel& exact, Check&& check) {
    const std::size_t n = x.n_rows;
    std::pair<std::size_t, std::size_t> decided_full{0, 0};
    for (const auto& [begin, end] : {std::pair<std::size_t, std::size_t>{0, n}, {5, n - 3}, {17, 18}, {9, 9}}) {
        std::vector<std::uint64_t> got64(end - begin + 1, 777);
        std::vector<std::int32_t> got32(end - begin + 1, 777);
        std::size_t decided32 = 0;
        const std::size_t decided = run_filter(kernel, x, begin, end, filter, exact, got64.data(), &decided32);
        run_filter(kernel, x, begin, end, filter, exact, got32.data());
        if (begin == 0 && end == n) decided_full = {decided, decided32};
        EXPECT_LE(decided32, decided);
        EXPECT_LE(decided, end - begin);
        for (std::size_t i = begin; i < end; ++i) check(i, got64[i - begin], got32[i - begin]);
        EXPECT_EQ(got64[end - begin], 777u) << "wrote past the range";
        EXPECT_EQ(got32[end - begin], 777) << "wrote past the range";
    }
    return decided_full;
}

TEST_P(FilteredAssignment, LabelsBitIdenticalToExhaustive) {
    const auto [kernel, stage, family, layout, d, k] = GetParam();
    if (!kernel_available(kernel)) GTEST_SKIP() << kernel_name(kernel) << " needs instructions this processor lacks";
    const std::size_t n = 67;
    const Problem p = make_problem(family, n, d, k, 7919 * d + 31 * k + static_cast<std::size_t>(family));
    const SampleStore store = lay_out(p.x, n, d, layout);
    const SampleMatrix& x = store.view;
    const std::optional<FilterPanel> filter = FilterPanel::prepare(p.centres, d, float32_stage(stage));
    ASSERT_TRUE(filter.has_value());
    // Centres beyond the float range guard (once centred: one centre is at 0)
    // leave the float64 filter alone.
    const bool beyond_float = (family == Family::Huge || family == Family::Huge32) && k > 1;
    ASSERT_EQ(filter->has_float32(), stage == Stage::f32 && !beyond_float && d <= kFilter32MaxDims);
    const CentrePanel exact(p.centres, d);
    std::vector<std::uint64_t> want(n);
    for (std::size_t i = 0; i < n; ++i)
        want[i] = nearest_centre(x.row(i), x.col_stride, d, p.centres.values.data(), k, d);

    const auto [decided, decided32] =
        check_ranges(kernel, x, *filter, exact, [&](std::size_t i, std::uint64_t l64, std::int32_t l32) {
            ASSERT_EQ(l64, want[i]) << "sample " << i;
            ASSERT_EQ(l32, static_cast<std::int32_t>(want[i])) << "sample " << i;
        });
    // The filters must carry the work where nothing is close to a tie, or these
    // cases would only be testing the exact kernels (or the float64 filter).
    const bool plain = family == Family::Offset || family == Family::Huge || family == Family::Tiny;
    if (plain && k > 1 && layout != Layout::RepeatedRow) {
        EXPECT_GE(decided, n / 2) << "the filter decided too few samples";
    }
    if (family == Family::Offset && stage == Stage::f32 && k > 1 && layout != Layout::RepeatedRow) {
        EXPECT_GE(decided32, n / 2) << "the float32 stage decided too few samples";
    }
    if (stage == Stage::f64) {
        EXPECT_EQ(decided32, 0u);
    }
}

std::string param_name(const ::testing::TestParamInfo<Param>& info) {
    const auto [kernel, stage, family, layout, d, k] = info.param;
    return std::string(kernel_name(kernel)) + "_" + stage_name(stage) + "_" + family_name(family) + "_" +
           layout_name(layout) + "_d" + std::to_string(d) + "_k" + std::to_string(k);
}

const auto kKernels = ::testing::Values(Kernel::portable, Kernel::avx2, Kernel::avx512, Kernel::emulated8);
const auto kStages = ::testing::Values(Stage::f64, Stage::f32);
const auto kFamilies =
    ::testing::Values(Family::Gaussian, Family::Offset, Family::Huge, Family::Tiny, Family::Underflow,
                      Family::Subnormal, Family::IntegerGrid, Family::Duplicates, Family::NearTies, Family::Specials,
                      Family::Huge32, Family::Tiny32, Family::Subnormal32, Family::NearTies32, Family::NearTiesTiny32);
const auto kLayouts = ::testing::Values(Layout::RowMajor, Layout::ColumnMajor, Layout::Strided, Layout::ReversedBoth,
                                        Layout::ReversedColumnMajor, Layout::RepeatedRow);

INSTANTIATE_TEST_SUITE_P(Shapes, FilteredAssignment,
                         ::testing::Combine(kKernels, kStages, kFamilies, kLayouts,
                                            ::testing::Values<std::size_t>(1, 3, 8, 17),
                                            ::testing::Values<std::size_t>(1, 2, 7, 33)),
                         param_name);
// Wide rows and many centres (row-major and column-major only).
INSTANTIATE_TEST_SUITE_P(Wide, FilteredAssignment,
                         ::testing::Combine(kKernels, kStages, kFamilies,
                                            ::testing::Values(Layout::RowMajor, Layout::ColumnMajor),
                                            ::testing::Values<std::size_t>(128, 1024),
                                            ::testing::Values<std::size_t>(9, 64)),
                         param_name);
// Few centres on long rows (both row forms) with coordinates past the last
// whole vector, a first sweep holding every centre or only some of them.
INSTANTIATE_TEST_SUITE_P(RowForms, FilteredAssignment,
                         ::testing::Combine(kKernels, kStages, kFamilies, ::testing::Values(Layout::RowMajor),
                                            ::testing::Values<std::size_t>(300), ::testing::Values<std::size_t>(3, 15)),
                         param_name);
INSTANTIATE_TEST_SUITE_P(ManyCentres, FilteredAssignment,
                         ::testing::Combine(kKernels, kStages, kFamilies, ::testing::Values(Layout::RowMajor),
                                            ::testing::Values<std::size_t>(2, 40),
                                            ::testing::Values<std::size_t>(4096)),
                         param_name);

// Fault injection: with the margin shrunk to zero, the filter trusts its own
// rounded scores, and on near ties that must give labels that differ from the
// exhaustive ones. If this passes with the margin at zero, the tests above
// prove nothing about the margin.
class ShrunkMargin : public ::testing::TestWithParam<std::tuple<Kernel, std::pair<std::size_t, std::size_t>>> {};

TEST_P(ShrunkMargin, NearTiesGoWrongWithoutTheMargin) {
    const auto [kernel, shape] = GetParam();
    const auto [d, k] = shape;
    if (!kernel_available(kernel)) GTEST_SKIP() << kernel_name(kernel) << " needs instructions this processor lacks";
    const std::size_t n = 2000;
    const Problem p = make_problem(Family::NearTies, n, d, k, 99 + d);
    const SampleMatrix x{p.x.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
    const std::optional<FilterPanel> filter = FilterPanel::prepare(p.centres, d, Float32Stage::never);
    ASSERT_TRUE(filter.has_value());
    const CentrePanel exact(p.centres, d);
    std::vector<std::uint64_t> want(n);
    for (std::size_t i = 0; i < n; ++i) want[i] = nearest_centre(x.row(i), 1, d, p.centres.values.data(), k, d);

    auto mismatches = [&](double scale) {
        MarginScale guard(scale);
        std::vector<std::uint64_t> got(n);
        run_filter(kernel, x, 0, n, *filter, exact, got.data());
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < n; ++i) wrong += got[i] != want[i];
        return wrong;
    };
    EXPECT_EQ(mismatches(1.0), 0u);
    EXPECT_GT(mismatches(0.0), 0u) << "labels stayed exact without the margin: the data does not test it";
}

using Shape = std::pair<std::size_t, std::size_t>;  // d, k

std::string shrunk_name(const ::testing::TestParamInfo<std::tuple<Kernel, Shape>>& info) {
    const Shape shape = std::get<1>(info.param);
    return std::string(kernel_name(std::get<0>(info.param))) + "_d" + std::to_string(shape.first) + "_k" +
           std::to_string(shape.second);
}

// Tiles of samples across lanes, and (few centres, long rows) scores along rows.
INSTANTIATE_TEST_SUITE_P(Kernels, ShrunkMargin,
                         ::testing::Combine(kKernels, ::testing::Values(Shape{2, 16}, Shape{4, 16}, Shape{16, 16},
                                                                        Shape{128, 16}, Shape{128, 8}, Shape{300, 6})),
                         shrunk_name);

// The same for the float32 stage, with the float64 margin intact: with the
// float32 margin at zero, near ties decided on float scores must go wrong.
// Without its absolute part (the underflow terms), products among the float
// subnormals must go wrong.
struct Fault32 {
    Family family;
    double relative, absolute;  // margin scales
    const char* name;
};
class ShrunkMargin32 : public ::testing::TestWithParam<std::tuple<Kernel, Shape, Fault32>> {};

TEST_P(ShrunkMargin32, FloatScoresGoWrongWithoutTheirMargin) {
    const auto [kernel, shape, fault] = GetParam();
    const auto [d, k] = shape;
    if (!kernel_available(kernel)) GTEST_SKIP() << kernel_name(kernel) << " needs instructions this processor lacks";
    const std::size_t n = 2000;
    const Problem p = make_problem(fault.family, n, d, k, 123 + d + k);
    const SampleMatrix x{p.x.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
    const std::optional<FilterPanel> filter = FilterPanel::prepare(p.centres, d, Float32Stage::always);
    ASSERT_TRUE(filter.has_value());
    ASSERT_TRUE(filter->has_float32());
    const CentrePanel exact(p.centres, d);
    std::vector<std::uint64_t> want(n);
    for (std::size_t i = 0; i < n; ++i) want[i] = nearest_centre(x.row(i), 1, d, p.centres.values.data(), k, d);

    auto mismatches = [&](double relative, double absolute, std::size_t& decided32) {
        Margin32Scales guard(relative, absolute);
        std::vector<std::uint64_t> got(n);
        run_filter(kernel, x, 0, n, *filter, exact, got.data(), &decided32);
        std::size_t wrong = 0;
        for (std::size_t i = 0; i < n; ++i) wrong += got[i] != want[i];
        return wrong;
    };
    std::size_t decided32 = 0;
    EXPECT_EQ(mismatches(1.0, 1.0, decided32), 0u);
    // (Near ties at float64 resolution leave the float32 stage nothing to decide.)
    if (fault.family != Family::NearTies) {
        EXPECT_GT(decided32, 0u) << "the float32 stage decided nothing: the data does not test it";
    }
    EXPECT_GT(mismatches(fault.relative, fault.absolute, decided32), 0u)
        << "labels stayed exact with the margin shrunk: the data does not test it";
}

std::string shrunk32_name(const ::testing::TestParamInfo<std::tuple<Kernel, Shape, Fault32>>& info) {
    const auto [kernel, shape, fault] = info.param;
    return std::string(kernel_name(kernel)) + "_" + fault.name + "_d" + std::to_string(shape.first) + "_k" +
           std::to_string(shape.second);
}

// Tiles, and (few centres, long rows) float scores along rows: 128 and 300
// coordinates, one sweep of the centres or two.
INSTANTIATE_TEST_SUITE_P(Kernels, ShrunkMargin32,
                         ::testing::Combine(kKernels,
                                            ::testing::Values(Shape{4, 16}, Shape{16, 64}, Shape{128, 16},
                                                              Shape{128, 8}, Shape{300, 6}, Shape{300, 13}),
                                            ::testing::Values(Fault32{Family::NearTies, 0.0, 0.0, "NearTiesNoMargin"},
                                                              Fault32{Family::NearTies32, 0.0, 0.0,
                                                                      "NearTies32NoMargin"})),
                         shrunk32_name);
// Products among the float subnormals need short rows to go wrong.
INSTANTIATE_TEST_SUITE_P(
    Underflow, ShrunkMargin32,
    ::testing::Combine(kKernels, ::testing::Values(Shape{4, 16}, Shape{16, 64}, Shape{128, 16}, Shape{128, 8}),
                       ::testing::Values(Fault32{Family::NearTiesTiny32, 1.0, 0.0, "NearTiesTiny32NoAbsolute"})),
    shrunk32_name);

// The passes a fit runs put the float32 stage in front where it pays: a
// dispatch that skipped it would show here. Many centres, and few from 16
// coordinates (the float tile, on rows of samples or of coordinates).
TEST(FilteredAssignmentInPasses, Float32StageRunsWhereItPays) {
    struct Case {
        std::size_t n, d, k;
    };
    for (const Case c : {Case{4000, 32, 128}, Case{4000, 16, 8}, Case{1797, 64, 10}, Case{3000, 100, 3}}) {
        const Problem p = make_problem(Family::Offset, c.n, c.d, c.k, 77 + c.d);
        std::vector<double> by_columns(c.n * c.d);
        for (std::size_t i = 0; i < c.n; ++i)
            for (std::size_t j = 0; j < c.d; ++j) by_columns[j * c.n + i] = p.x[i * c.d + j];
        const auto nd = static_cast<std::ptrdiff_t>(c.d);
        const auto nn = static_cast<std::ptrdiff_t>(c.n);
        for (const SampleMatrix& x :
             {SampleMatrix{p.x.data(), c.n, c.d, nd, 1}, SampleMatrix{by_columns.data(), c.n, c.d, 1, nn}}) {
            ASSERT_TRUE(filter_worthwhile(c.n, c.d, c.k, c.d));
            ASSERT_TRUE(filter32_pays(c.k, c.d));
            const std::size_t before = corvalinth::kmeans::testing::filter32_decided_total();
            std::vector<std::uint64_t> labels;
            assign_labels(x, p.centres, labels);
            EXPECT_GE(corvalinth::kmeans::testing::filter32_decided_total() - before, c.n / 2) << c.d << " " << c.k;
            for (std::size_t i = 0; i < c.n; ++i)
                ASSERT_EQ(labels[i], nearest_centre(p.x.data() + i * c.d, 1, c.d, p.centres.values.data(), c.k, c.d))
                    << c.d << " " << c.k << " sample " << i;
        }
    }
}

// Rows of 2 to 7 coordinates take the filter only with many centres and the
// float32 stage in front: through the passes a fit runs, the stage decides
// samples and every label is the exact kernel's, on data with ties; with the
// stage unavailable (centres beyond its guard) the exact kernels label alone.
TEST(FilteredAssignmentInPasses, ShortRowsOnlyWithTheFloat32Stage) {
    EXPECT_TRUE(filter_worthwhile(200'000, 2, 1000, 2));
    EXPECT_TRUE(filter_worthwhile(200'000, 4, 256, 4));
    EXPECT_FALSE(filter_worthwhile(200'000, 2, 128, 2));  // even with the exact kernels
    EXPECT_FALSE(filter_worthwhile(200'000, 1, 1000, 1));  // one coordinate: slower
    for (const Family family : {Family::Gaussian, Family::IntegerGrid, Family::NearTies, Family::Duplicates}) {
        for (const std::size_t d : {2u, 3u, 7u}) {
            const std::size_t n = 3000, k = 300;
            const Problem p = make_problem(family, n, d, k, 31 + d);
            const SampleMatrix x{p.x.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
            ASSERT_TRUE(filter_worthwhile(n, d, k, d));
            const std::size_t before = corvalinth::kmeans::testing::filter32_decided_total();
            std::vector<std::uint64_t> labels;
            assign_labels(x, p.centres, labels);
            if (family == Family::Gaussian) {  // (its duplicate centres leave ties to the exact kernel)
                EXPECT_GE(corvalinth::kmeans::testing::filter32_decided_total() - before, n / 4) << d;
            }
            for (std::size_t i = 0; i < n; ++i)
                ASSERT_EQ(labels[i], nearest_centre(x.row(i), 1, d, p.centres.values.data(), k, d))
                    << family_name(family) << " d " << d << " sample " << i;
        }
    }
    // Centres beyond the float32 guard: no float32 stage, so no filter at all.
    const std::size_t n = 3000, d = 2, k = 300;
    Problem p = make_problem(Family::Gaussian, n, d, k, 5);
    for (double& v : p.centres.values) v *= 1e30;
    for (double& v : p.x) v *= 1e30;
    const SampleMatrix x{p.x.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
    const std::size_t before = corvalinth::kmeans::testing::filter32_decided_total();
    std::vector<std::uint64_t> labels;
    assign_labels(x, p.centres, labels);
    EXPECT_EQ(corvalinth::kmeans::testing::filter32_decided_total(), before);
    for (std::size_t i = 0; i < n; ++i)
        ASSERT_EQ(labels[i], nearest_centre(x.row(i), 1, d, p.centres.values.data(), k, d)) << "sample " << i;
}

TEST(FilterPanelPrepare, Float32StageOnlyWithinItsGuard) {
    CentreMatrix c{4, 2, {0, 0, 1, 1, 2, 2, 3, 3}};
    EXPECT_TRUE(FilterPanel::prepare(c, 2, Float32Stage::always)->has_float32());
    EXPECT_FALSE(FilterPanel::prepare(c, 2, Float32Stage::never)->has_float32());
    EXPECT_FALSE(FilterPanel::prepare(c, 2)->has_float32()) << "four centres do not pay for it";
    // Centred coordinates beyond 2^57 (the guard for two coordinates): the
    // float64 filter alone.
    c.values[2] = 0x1p60;
    const std::optional<FilterPanel> wide = FilterPanel::prepare(c, 2, Float32Stage::always);
    ASSERT_TRUE(wide.has_value());
    EXPECT_FALSE(wide->has_float32());
    const CentreMatrix deep{2, kFilter32MaxDims + 1, std::vector<double>(2 * (kFilter32MaxDims + 1), 1.0)};
    EXPECT_FALSE(FilterPanel::prepare(deep, kFilter32MaxDims + 1, Float32Stage::always)->has_float32());
    EXPECT_TRUE(FilterPanel::prepare(deep, kFilter32MaxDims, Float32Stage::always)->has_float32());
}

// Centres the filter cannot take: the exact kernels serve them.
TEST(FilterPanelPrepare, RefusesCentresItCannotBound) {
    const double limit_breaker = 0x1p600;
    for (const double bad : {kNaN, kInf, -kInf, limit_breaker, -limit_breaker}) {
        CentreMatrix c{3, 2, {0, 0, 1, 1, 2, 2}};
        c.values[3] = bad;
        EXPECT_FALSE(FilterPanel::prepare(c, 2).has_value()) << bad;
        EXPECT_TRUE(FilterPanel::prepare(c, 1).has_value()) << "column 1 is not used: " << bad;
    }
    const CentreMatrix none{0, 2, {}};
    EXPECT_FALSE(FilterPanel::prepare(none, 2).has_value());
    const CentreMatrix some{2, 2, {0, 0, 1, 1}};
    EXPECT_FALSE(FilterPanel::prepare(some, 0).has_value());
    EXPECT_THROW(FilterPanel::prepare(some, 3), InternalFailure);
}

TEST(FilterPanelPrepare, RejectsMismatchedPanels) {
    const CentreMatrix c{3, 2, {0, 0, 1, 1, 2, 2}};
    const std::vector<double> xs = {0, 0, 1, 1, 2, 2};
    const SampleMatrix x{xs.data(), 3, 2, 2, 1};
    const std::optional<FilterPanel> f = FilterPanel::prepare(c, 2);
    ASSERT_TRUE(f.has_value());
    std::vector<std::uint64_t> labels(4);
    EXPECT_THROW(filtered_nearest_centres(x, 0, 4, *f, CentrePanel(c, 2), labels.data()), InternalFailure);
    EXPECT_THROW(filtered_nearest_centres(x, 0, 3, *f, CentrePanel(c, 1), labels.data()), InternalFailure);
    const SampleMatrix narrow{xs.data(), 3, 1, 2, 1};
    EXPECT_THROW(filtered_nearest_centres(narrow, 0, 3, *f, CentrePanel(c, 2), labels.data()), InternalFailure);
}

// The passes a fit and predict run take the filter when it pays, and still
// give the exhaustive labels.
TEST(FilteredAssignmentInPasses, AssignAndPredictLabelsMatchExhaustive) {
    for (const Family family : {Family::Gaussian, Family::Offset, Family::IntegerGrid, Family::NearTies}) {
        const std::size_t n = 5000, d = 24, k = 40;
        const Problem p = make_problem(family, n, d, k, 4242);
        const SampleMatrix x{p.x.data(), n, d, static_cast<std::ptrdiff_t>(d), 1};
        ASSERT_TRUE(filter_worthwhile(n, d, k, d));
        std::vector<std::uint64_t> labels;
        assign_labels(x, p.centres, labels);
        std::vector<std::int32_t> labels32(n);
        nearest_labels(x, p.centres, labels32.data());
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t want = nearest_centre(x.row(i), 1, d, p.centres.values.data(), k, d);
            ASSERT_EQ(labels[i], want) << family_name(family) << " sample " << i;
            ASSERT_EQ(labels32[i], static_cast<std::int32_t>(want)) << family_name(family) << " sample " << i;
        }
    }
}

TEST(FilteredAssignmentInPasses, SmallInputsKeepTheirMemoryBudget) {
    // The tile buffers alone would exceed half of a tiny input.
    EXPECT_FALSE(filter_worthwhile(20, 16, 8, 16));
    EXPECT_FALSE(filter_worthwhile(1'000'000, 4, 8, 4));  // few coordinates: exact kernels are faster
    EXPECT_FALSE(filter_worthwhile(1'000'000, 15, 10, 15));  // few centres on short rows
    EXPECT_TRUE(filter_worthwhile(1'000'000, 16, 10, 16));
    EXPECT_TRUE(filter_worthwhile(1'797, 64, 10, 64));
    EXPECT_TRUE(filter_worthwhile(60'000, 784, 10, 784));
    EXPECT_TRUE(filter_worthwhile(100'000, 128, 256, 128));
}

TEST(FilteredAssignmentInPasses, Float32StageWhereItPays) {
    EXPECT_TRUE(filter32_pays(256, 128));
    EXPECT_TRUE(filter32_pays(1024, 32));
    EXPECT_TRUE(filter32_pays(16, 8));
    // Few centres: from 16 coordinates (the float tile, on long rows the row form).
    EXPECT_TRUE(filter32_pays(10, 784));
    EXPECT_TRUE(filter32_pays(8, 127));
    EXPECT_TRUE(filter32_pays(15, 32));
    EXPECT_TRUE(filter32_pays(3, 16));
    EXPECT_FALSE(filter32_pays(15, 15));
    EXPECT_FALSE(filter32_pays(8, 8));
    // Its buffers count against the memory budget (half the input): with them
    // (16 centres of 4096 coordinates) the filter needs more than twice the
    // samples per coordinate it needs without them (rows wider than the stage
    // takes), whatever the number of threads.
    auto fewest_samples = [](std::size_t k, std::size_t d) {
        std::size_t n = 1;
        while (!filter_worthwhile(n, d, k, d)) n += 1 + n / 64;
        return n;
    };
    EXPECT_GT(fewest_samples(16, kFilter32MaxDims), 2 * fewest_samples(16, kFilter32MaxDims + 1));
}

}  // namespace
