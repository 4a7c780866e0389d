// The seeding's float32 lower bound: never above the exact distance for every
// kernel table, the lowering passes that use it bit-identical to the plain
// loop, and wrong without its margin. ThreadInvariance* cases run again under
// several pool sizes (see CMakeLists.txt).
#include "kmeans/seeding/float32_bound.hpp"

#include <gtest/gtest.h>
#include <xmmintrin.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "kmeans/kernels/reference.hpp"
#include "kmeans/seeding/seeding_distances.hpp"
#include "kmeans/testing/knobs.hpp"
#include "runtime/pool/worker_pool.hpp"
#include "support/kernel_tables.hpp"
#include "support/kmeans_reference.hpp"

namespace corvalinth::kmeans {
namespace {

using testing::bits;
using testing::Layout;
using testing::Samples;

constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::size_t kRows = kernels::kSeedingPanelRows;

struct MarginScale {
    explicit MarginScale(double s) { kmeans::testing::set_seeding_f32_margin_scale(s); }
    ~MarginScale() { kmeans::testing::set_seeding_f32_margin_scale(1.0); }
};

// A family of (sample, centre) pairs: the centre, and each sample the centre
// plus a perturbation, at a magnitude and a relative spread.
struct Family {
    const char* name;
    double magnitude, spread;
    double special;  // 0, or a value put in one coordinate of every 7th sample
};

const Family kFamilies[] = {
    {"unit", 1.0, 1.0, 0.0},
    {"close pairs", 1.0, 1e-6, 0.0},
    {"float subnormal values", 0x1p-140, 1.0, 0.0},
    {"float subnormal squares", 0x1p-70, 1e-3, 0.0},
    {"float subnormal products", 0x1p-73, 1.0, 0.0},  // rounded up by up to 2^-150 each: the term A
    {"double subnormal squares", 0x1p-530, 1.0, 0.0},
    {"near the guard", 0x1p50, 1.0, 0.0},
    {"beyond the guard", 1.0, 1.0, 3e38},
    {"beyond the guard, negative", 1.0, 1.0, -3e38},
    {"beyond float", 1.0, 1.0, 1e300},
    {"beyond float, negative", 1.0, 1.0, -1e300},
    {"NaN", 1.0, 1.0, kNan},
    {"infinite", 1.0, 1.0, kInf},
    {"negative infinite", 1.0, 1.0, -kInf},
};

// Bounds of `panels * 32` samples against one centre through `table`, the
// copies taken less no offset or less the samples' offset by the table's
// first-pass kernel: bounds[i] and the exact distances exact[i]. The kernel's
// copy, radii and distances are the scalar copy's and the definition's bit for
// bit.
void bounds_of(const kernels::KernelTable& table, const Family& f, std::size_t d, std::size_t panels,
               std::uint64_t seed, bool offset_by_sample, std::vector<double>& bounds, std::vector<double>& exact) {
    std::mt19937_64 gen(seed);
    std::normal_distribution<double> normal;
    const std::size_t n = panels * kRows;
    std::vector<double> centre(d), x(n * d);
    for (double& v : centre) v = normal(gen) * f.magnitude;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) x[i * d + j] = centre[j] + normal(gen) * f.magnitude * f.spread;
    if (f.special != 0.0)
        for (std::size_t i = 0; i < n; i += 7) x[i * d + i % d] = f.special;
    const double limit = float32_limit(d);
    std::vector<double> offset(d, 0.0);
    if (offset_by_sample)
        choose_offset(SampleMatrix{x.data(), n, d, static_cast<std::ptrdiff_t>(d), 1}, limit, offset.data());
    std::vector<std::uint16_t> copy(n * d);
    std::vector<float> centre32(d);
    std::vector<double> radius(n);
    std::vector<std::uint16_t> scalar_row(d);
    std::vector<double> dist(kRows);
    const kernels::SampleView view{x.data(), static_cast<std::ptrdiff_t>(d), 1};
    for (std::size_t p = 0; p < panels; ++p) {
        table.seeding_copy_panel(view, p * kRows, centre.data(), offset.data(), d, limit,
                                 p + 1 < panels ? static_cast<std::ptrdiff_t>(kRows * d) : 0, dist.data(),
                                 copy.data() + p * kRows * d, radius.data() + p * kRows);
        for (std::size_t r = 0; r < kRows; ++r) {
            const std::size_t i = p * kRows + r;
            const double scalar = round_to_bfloat16(&x[i * d], 1, offset.data(), d, scalar_row.data(), 1, limit);
            for (std::size_t j = 0; j < d; ++j)
                ASSERT_EQ(copy[p * kRows * d + j * kRows + r], scalar_row[j])
                    << f.name << " d=" << d << " sample " << i << " coordinate " << j;
            ASSERT_EQ(std::bit_cast<std::uint64_t>(radius[i]), std::bit_cast<std::uint64_t>(scalar))
                << f.name << " d=" << d << " sample " << i;
            const double want = squared_distance(&x[i * d], 1, d, centre.data(), d);
            if (std::isnan(want)) {
                ASSERT_TRUE(std::isnan(dist[r])) << f.name << " d=" << d << " sample " << i;
            } else {
                ASSERT_EQ(std::bit_cast<std::uint64_t>(dist[r]), std::bit_cast<std::uint64_t>(want))
                    << f.name << " d=" << d << " sample " << i;
            }
        }
    }
    const double ec = round_to_float32(centre.data(), 1, offset.data(), d, centre32.data(), 1, limit);
    ASSERT_LT(ec, kInf);
    std::vector<float> s(n);
    table.seeding32(copy.data(), panels, d, centre32.data(), s.data());
    const Float32Margin margin = float32_margin(d);
    bounds.resize(n);
    exact.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        bounds[i] = float32_lower_bound(s[i], radius[i], ec, margin);
        exact[i] = squared_distance(&x[i * d], 1, d, centre.data(), d);
    }
    // The table's pick lists the rows whose bound is not at least their
    // entry, the bound computed as above: entries at, just above and just
    // below each bound, and special ones.
    const double specials[] = {0.0, kInf, kNan, 0x1p-1074};
    std::vector<double> entries(n);
    std::vector<std::uint32_t> pick(n), want;
    for (int shift = 0; shift < 4; ++shift) {
        want.clear();
        for (std::size_t i = 0; i < n; ++i) {
            const double e = bounds[i];
            entries[i] = shift == 3 ? specials[i % 4] : shift == 0 ? e : std::nextafter(e, shift == 1 ? kInf : -kInf);
            if (!(bounds[i] >= entries[i])) want.push_back(static_cast<std::uint32_t>(i));
        }
        const std::size_t m = table.seeding_pick(s.data(), radius.data(), entries.data(), n, ec, margin, pick.data());
        pick.resize(m);
        ASSERT_EQ(pick, want) << f.name << " d=" << d << " entries " << shift;
        pick.resize(n);
    }
}

class Float32Bound : public ::testing::TestWithParam<corvalinth::testing::Kernel> {};

// L <= squared_distance for every family, width and offset; close to it
// where the values are within the guard (so that the test is not vacuous:
// within a few bfloat16 resolutions, 2^-8 each); 0 where they are not. With
// the margin at 0 the bound goes above the exact distance.
TEST_P(Float32Bound, NeverAboveTheExactDistance) {
    if (!corvalinth::testing::kernel_available(GetParam())) GTEST_SKIP() << "not available on this processor";
    const kernels::KernelTable& table = corvalinth::testing::kernels_of(GetParam());
    std::vector<double> bounds, exact;
    for (std::size_t d : {1u, 2u, 7u, 16u, 33u, 128u, 784u}) {
        for (bool offset : {false, true}) {
            std::size_t above_at_zero = 0;
            for (const Family& f : kFamilies) {
                const std::string what =
                    std::string(f.name) + " d=" + std::to_string(d) + (offset ? " less the offset" : "");
                bounds_of(table, f, d, 8, d * 131 + static_cast<std::uint64_t>(f.spread * 1e9), offset, bounds, exact);
                std::size_t tight = 0;
                for (std::size_t i = 0; i < bounds.size(); ++i) {
                    // A NaN distance never lowers anything.
                    if (!std::isnan(exact[i])) ASSERT_LE(bounds[i], exact[i]) << what << " sample " << i;
                    ASSERT_GE(bounds[i], 0.0) << what << " sample " << i;
                    if (f.special != 0.0 && i % 7 == 0) ASSERT_EQ(bounds[i], 0.0) << what << " sample " << i;
                    tight += bounds[i] >= exact[i] * (1.0 - 0x1p-4) ? 1 : 0;
                }
                if (f.special == 0.0 && f.spread == 1.0 && f.magnitude >= 0x1p-70) {
                    EXPECT_GT(tight, bounds.size() / 2) << what;
                }
                MarginScale zero(0.0);
                bounds_of(table, f, d, 8, d * 131 + static_cast<std::uint64_t>(f.spread * 1e9), offset, bounds, exact);
                for (std::size_t i = 0; i < bounds.size(); ++i) above_at_zero += bounds[i] > exact[i] ? 1 : 0;
            }
            EXPECT_GT(above_at_zero, 0u) << "d=" << d << ": the margin is not needed on these data";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Float32Bound,
                         ::testing::Values(corvalinth::testing::Kernel::portable, corvalinth::testing::Kernel::avx2,
                                           corvalinth::testing::Kernel::avx512, corvalinth::testing::Kernel::emulated8),
                         [](const auto& info) { return std::string(corvalinth::testing::kernel_name(info.param)); });

// ---- the lowering passes ----

// closest[], the totals and the chunk ends after every pass equal a plain
// loop's; returns the rows read exactly after the first pass.
std::uint64_t check_passes(const Samples& x, const CentreMatrix& centres, const std::string& what,
                           bool* mismatch = nullptr) {
    const SampleMatrix& v = x.view();
    SeedingDistances pass(v.n_rows, centres.rows);
    std::vector<double> ends((v.n_rows + kSeedingChunk - 1) / kSeedingChunk);
    std::vector<double> want(v.n_rows, kInf);
    std::vector<double> want_ends;
    std::uint64_t read = 0;
    for (std::size_t c = 0; c < centres.rows; ++c) {
        const double total = pass.lower(x, centres, c, ends);
        const double want_total = testing::reference_lowering(v, centres, c, kSeedingChunk, want, want_ends);
        bool same = true;
        for (std::size_t i = 0; i < v.n_rows; ++i) same = same && bits(pass.closest()[i]) == bits(want[i]);
        if (mismatch == nullptr)
            for (std::size_t e = 0; e < ends.size(); ++e)
                EXPECT_EQ(bits(ends[e]), bits(want_ends[e])) << what << " pass " << c << " chunk " << e;
        if (mismatch != nullptr) {
            *mismatch = *mismatch || !same;
            continue;
        }
        EXPECT_EQ(bits(total), bits(want_total)) << what << " pass " << c;
        EXPECT_TRUE(same) << what << " pass " << c << " workers " << runtime::pool_thread_count();
        if (!same) return 0;
        if (c > 0) read += pass.computed_last();
    }
    return read;
}

struct PassCase {
    std::size_t n, d, k;
    Layout layout;
    bool specials;
    double shift = 0.0;  // added to every coordinate: data far from the origin
};

class ThreadInvarianceFloat32Pass : public ::testing::TestWithParam<PassCase> {};

// Grouped samples (with specials: NaN, infinite, huge values beyond the
// float range and the guard, values near the guard, float subnormals), and
// centres among them; the float copy is made, and with it made to fail
// every pass is the plain loop's too.
TEST_P(ThreadInvarianceFloat32Pass, MatchesThePlainLoop) {
    const PassCase& p = GetParam();
    std::mt19937_64 gen(p.n + p.d);
    std::normal_distribution<double> normal;
    std::vector<double> groups(8 * p.d), v(p.n * p.d);
    for (double& g : groups) g = normal(gen) * 30.0;
    for (std::size_t i = 0; i < p.n; ++i)
        for (std::size_t j = 0; j < p.d; ++j) v[i * p.d + j] = p.shift + groups[(i % 8) * p.d + j] + normal(gen);
    const double specials[] = {kNan, kInf, -kInf, 3.3e38, 1e300, 0x1p55, -0x1p52, 1e-40, 0x1p-149, 0x1p-1074};
    if (p.specials) {
        for (std::size_t s = 0; s < 10; ++s) {
            for (std::size_t i = s; i < p.n; i += 97) v[i * p.d + (i + s) % p.d] = specials[s];
            // A whole row of float subnormals and zeros.
            for (std::size_t j = 0; j < p.d; ++j) v[(5 + s) * p.d + j] = j % 2 == 0 ? specials[8] * double(s) : 0.0;
        }
    }
    Samples x(v, p.n, p.d, p.layout);
    CentreMatrix centres{p.k, p.d, std::vector<double>(p.k * p.d)};
    for (std::size_t c = 0; c < p.k; ++c)
        for (std::size_t j = 0; j < p.d; ++j) centres.row(c)[j] = x.view().at((c * 389 + 11) % p.n, j);
    // Special centres: a row of subnormals, a value beyond the guard, a NaN.
    for (std::size_t j = 0; j < p.d; ++j) centres.row(3)[j] = x.view().at(7, j);
    centres.row(p.k - 2)[0] = 1e200;
    centres.row(p.k - 1)[0] = kNan;
    const std::string what = std::string(testing::layout_name(p.layout)) + " n=" + std::to_string(p.n) +
                             " d=" + std::to_string(p.d) + (p.specials ? " specials" : "") +
                             (p.shift != 0.0 ? " shifted" : "");
    {
        SeedingDistances pass(p.n, p.k);
        std::vector<double> ends((p.n + kSeedingChunk - 1) / kSeedingChunk);
        pass.lower(x, centres, 0, ends);
        EXPECT_GT(pass.float_rows(), p.n / 2) << what;
    }
    const std::uint64_t read = check_passes(x, centres, what);
    EXPECT_LT(read, (p.k - 1) * p.n / 2) << what << ": the float bound skipped too little";
    kmeans::testing::set_failing_seeding_buffers(kmeans::testing::kSeedingFloat32);
    check_passes(x, centres, what + " without the float copy");
    kmeans::testing::set_failing_seeding_buffers(0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ThreadInvarianceFloat32Pass,
                         ::testing::Values(PassCase{5000, 16, 20, Layout::RowMajor, false},
                                           PassCase{3000, 64, 24, Layout::Strided, true},
                                           PassCase{2600, 130, 16, Layout::ColumnMajor, true},
                                           PassCase{4100, 33, 18, Layout::ReversedRows, true},
                                           PassCase{1200, 784, 16, Layout::RowMajor, true},
                                           // bfloat16 resolves 1e5 only to 512: the copy is taken less centre 0.
                                           PassCase{4000, 48, 20, Layout::RowMajor, false, 1e5},
                                           PassCase{2000, 40, 16, Layout::Strided, true, -3e4}));

// Samples on the bisector of two centres, moved towards the second by much
// less than the float resolution of their distance: the second pass lowers
// every one of them by a hair. The plain loop's result with the margin,
// something else without it.
TEST(Float32Margin, NearTiesGoWrongWithoutTheMargin) {
    const std::size_t n = 4096, k = 16;
    for (std::size_t d : {16u, 64u, 300u}) {
        std::mt19937_64 gen(d);
        std::normal_distribution<double> normal;
        std::uniform_real_distribution<double> hair(1e-9, 1e-7);
        std::vector<double> base(d), v(n * d);
        for (double& b : base) b = normal(gen) * 3.0;
        for (std::size_t i = 0; i < n; ++i) {
            v[i * d] = base[0] - hair(gen);
            for (std::size_t j = 1; j < d; ++j) v[i * d + j] = base[j] + normal(gen);
        }
        Samples x(v, n, d);
        CentreMatrix centres{k, d, std::vector<double>(k * d)};
        for (std::size_t c = 0; c < k; ++c)
            for (std::size_t j = 0; j < d; ++j) centres.row(c)[j] = base[j] + (j == 0 ? 0.0 : 40.0 + double(c));
        for (std::size_t j = 0; j < d; ++j) {
            centres.row(0)[j] = base[j] + (j == 0 ? 1.0 : 0.0);
            centres.row(1)[j] = base[j] - (j == 0 ? 1.0 : 0.0);
        }
        const std::string what = "d=" + std::to_string(d);
        check_passes(x, centres, what);
        bool mismatch = false;
        {
            MarginScale zero(0.0);
            check_passes(x, centres, what, &mismatch);
        }
        EXPECT_TRUE(mismatch) << what << ": the margin is not needed on these data";
    }
}

// A calling thread that flushes subnormals gets no certified skip: with the
// flush bits set for the first passes the float copy is not made (the owners
// are, and the passes that cannot certify must still keep them, for the gap
// certificate of the passes after); set for some later passes, those read
// every row and the next ones use the float copy again. On data without
// subnormals every pass equals the plain loop either way.
TEST(Float32PassFlushed, StandsAsideAndResumes) {
    constexpr unsigned kFlushBits = (1u << 15) | (1u << 6);  // flush to zero, denormals are zero
    const std::size_t n = 3000, d = 64, k = 20;
    std::mt19937_64 gen(5);
    std::normal_distribution<double> normal;
    std::vector<double> groups(8 * d), v(n * d);
    for (double& g : groups) g = normal(gen) * 30.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < d; ++j) v[i * d + j] = groups[(i % 8) * d + j] + normal(gen);
    Samples x(v, n, d);
    CentreMatrix centres{k, d, std::vector<double>(k * d)};
    for (std::size_t c = 0; c < k; ++c)
        for (std::size_t j = 0; j < d; ++j) centres.row(c)[j] = x.view().at(c * 131 % n, j);
    const unsigned saved = _mm_getcsr();
    for (std::size_t flushed_from : {0u, 5u}) {
        SeedingDistances pass(n, k);
        std::vector<double> ends((n + kSeedingChunk - 1) / kSeedingChunk);
        std::vector<double> want(n, kInf);
        for (std::size_t c = 0; c < k; ++c) {
            const bool flushed = c >= flushed_from && c < flushed_from + 5;
            if (flushed) _mm_setcsr(saved | kFlushBits);
            pass.lower(x, centres, c, ends);
            _mm_setcsr(saved);
            for (std::size_t i = 0; i < n; ++i) {
                const double dist = testing::ref_distance(x.view(), i, centres, c);
                if (dist < want[i]) want[i] = dist;
                ASSERT_EQ(bits(pass.closest()[i]), bits(want[i]))
                    << "flushed from " << flushed_from << " pass " << c << " sample " << i;
            }
            if (c == 0) EXPECT_EQ(pass.float_rows() > 0, flushed_from > 0);
            if (c > 0 && flushed) EXPECT_EQ(pass.computed_last(), n) << "pass " << c;
            if (c > 0 && !flushed && flushed_from > 0) EXPECT_LT(pass.computed_last(), n / 2) << "pass " << c;
        }
    }
}

}  // namespace
}  // namespace corvalinth::kmeans
