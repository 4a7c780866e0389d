// The seeded ChaCha8 stream: known answers, draw accounting, and agreement of
// every block-function variant with the scalar definition.
#include "runtime/random/random_source.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "runtime/internal_failure.hpp"
#include "runtime/random/chacha_block.hpp"

namespace {

using corvalinth::InternalFailure;
using corvalinth::runtime::RandomSource;
namespace chacha = corvalinth::runtime::chacha;

constexpr std::uint64_t kMax64 = std::numeric_limits<std::uint64_t>::max();

// ---------------------------------------------------------------- known answers

TEST(RandomSourceKnownAnswers, SeedZeroKeyAndDraws) {
    RandomSource rng = RandomSource::from_seed(0);
    const RandomSource::Key expected_key{0xF973F2EC, 0x45CDB581, 0x7346F087, 0xAD6CAD06,
                                         0xE3A3D0D0, 0x67E71733, 0x72EA9BF2, 0xFE7D8AD7};
    EXPECT_EQ(rng.key(), expected_key);
    EXPECT_EQ(rng.block_counter(), 0u);
    EXPECT_EQ(rng.stream(), 0u);
    EXPECT_EQ(rng.cursor(), 64u);

    EXPECT_EQ(rng.draw_u64(), 0xB585F767A79A3B6Cull);
    EXPECT_EQ(rng.block_counter(), 4u);  // one refill of four blocks
    EXPECT_EQ(rng.draw_u64(), 0x7746A55FBAD8C037ull);
    EXPECT_EQ(rng.draw_u64(), 0xB2FB0D3281E2A6E6ull);
    for (int i = 4; i <= 32; ++i) rng.draw_u64();
    EXPECT_EQ(rng.cursor(), 64u);
    EXPECT_EQ(rng.block_counter(), 4u);
    EXPECT_EQ(rng.draw_u64(), 0x66BBD30ED39CB892ull);  // 33rd: first of the second refill
    EXPECT_EQ(rng.block_counter(), 8u);
    EXPECT_EQ(rng.cursor(), 2u);
}

TEST(RandomSourceKnownAnswers, SeedFortyTwoKeyAndFirstDraw) {
    RandomSource rng = RandomSource::from_seed(42);
    const RandomSource::Key expected_key{0x7BA18FA4, 0x0A3D3258, 0xCCA1B8EA, 0xB8140169,
                                         0x75C88C2B, 0x54F7B418, 0xA16E448D, 0xF220DFE4};
    EXPECT_EQ(rng.key(), expected_key);
    EXPECT_EQ(rng.draw_u64(), 0xAE90BFB5395D5BA1ull);
}

// `rng` (from `seed`) has consumed exactly `consumed` draws of its stream:
// its next draw is draw number consumed + 1 of a fresh stream.
void expect_consumed(RandomSource& rng, std::uint64_t seed, unsigned consumed) {
    EXPECT_EQ(rng.cursor(), consumed == 0 ? 64u : 2 * ((consumed - 1) % 32 + 1));
    RandomSource twin = RandomSource::from_seed(seed);
    for (unsigned i = 0; i < consumed; ++i) twin.draw_u64();
    EXPECT_EQ(rng.draw_u64(), twin.draw_u64());
}

TEST(RandomSourceKnownAnswers, UniformIndexTenTakesOneDraw) {
    RandomSource rng = RandomSource::from_seed(0);
    EXPECT_EQ(rng.uniform_index(10), 7u);
    expect_consumed(rng, 0, 1);
}

TEST(RandomSourceKnownAnswers, UniformUnitFirstValue) {
    RandomSource rng = RandomSource::from_seed(0);
    EXPECT_EQ(rng.uniform_unit(), 0.7090754154265618);
    expect_consumed(rng, 0, 1);
}

TEST(RandomSourceKnownAnswers, UniformIndexOneRejectsTopBitDraw) {
    // The first draw of seed 0 has its top bit set: it lies above the zone
    // 2^63 - 1 and is rejected; the second is accepted.
    RandomSource rng = RandomSource::from_seed(0);
    EXPECT_EQ(rng.uniform_index(1), 0u);
    expect_consumed(rng, 0, 2);
}

// ---------------------------------------------------------------- stream identity

class RandomSourceSeeds : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(RandomSourceSeeds, SameSeedSameStream) {
    RandomSource a = RandomSource::from_seed(GetParam());
    RandomSource b = RandomSource::from_seed(GetParam());
    EXPECT_EQ(a.key(), b.key());
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(a.draw_u64(), b.draw_u64()) << "draw " << i;
    EXPECT_EQ(a.block_counter(), b.block_counter());
}

TEST_P(RandomSourceSeeds, FromKeyOfExpandedKeyGivesSameStream) {
    RandomSource a = RandomSource::from_seed(GetParam());
    RandomSource b = RandomSource::from_key(a.key());
    EXPECT_EQ(b.block_counter(), 0u);
    EXPECT_EQ(b.cursor(), 64u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(a.draw_u64(), b.draw_u64()) << "draw " << i;
}

TEST_P(RandomSourceSeeds, StreamIsConcatenationOfScalarRefills) {
    // 5 refills through draw_u64 against the scalar definition, whatever
    // variant RandomSource uses on this machine.
    RandomSource rng = RandomSource::from_seed(GetParam());
    std::array<std::uint32_t, chacha::kRefillWords> words{};
    for (std::uint64_t refill = 0; refill < 5; ++refill) {
        chacha::refill_scalar(rng.key().data(), refill * 4, 0, words.data());
        for (std::size_t w = 0; w < words.size(); w += 2) {
            const std::uint64_t expected = words[w] | (std::uint64_t{words[w + 1]} << 32);
            ASSERT_EQ(rng.draw_u64(), expected) << "refill " << refill << " word " << w;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EdgeAndOrdinary, RandomSourceSeeds,
                         ::testing::Values(0ull, 1ull, 42ull, 0x8000000000000000ull, kMax64));

TEST(RandomSourceSeedRange, ExtremeSeedsAreDistinctAndUsable) {
    RandomSource zero = RandomSource::from_seed(0);
    RandomSource max = RandomSource::from_seed(kMax64);
    RandomSource one = RandomSource::from_seed(1);
    EXPECT_NE(zero.key(), max.key());
    EXPECT_NE(one.key(), max.key());
    EXPECT_NE(zero.draw_u64(), max.draw_u64());
    EXPECT_LT(max.uniform_index(3), 3u);
}

// ---------------------------------------------------------------- empty range

class RandomSourceEmptyRange : public ::testing::TestWithParam<unsigned> {};

TEST_P(RandomSourceEmptyRange, FailsWithExactMessageBeforeAnyDraw) {
    const unsigned drawn_before = GetParam();
    RandomSource rng = RandomSource::from_seed(7);
    for (unsigned i = 0; i < drawn_before; ++i) rng.draw_u64();
    const std::uint64_t counter = rng.block_counter();
    try {
        rng.uniform_index(0);
        FAIL() << "uniform_index(0) returned";
    } catch (const InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "cannot sample empty range");
    }
    EXPECT_EQ(rng.block_counter(), counter);
    expect_consumed(rng, 7, drawn_before);
}

// Fresh buffer, middle of a buffer, buffer just used up.
INSTANTIATE_TEST_SUITE_P(DrawsBefore, RandomSourceEmptyRange, ::testing::Values(0u, 5u, 32u));

// ---------------------------------------------------------------- draw accounting

// v * n as (hi, lo), computed from 32-bit halves (independently of the
// 128-bit product the source uses).
void wide_multiply(std::uint64_t v, std::uint64_t n, std::uint64_t& hi, std::uint64_t& lo) {
    const std::uint64_t v0 = v & 0xFFFFFFFFu, v1 = v >> 32, n0 = n & 0xFFFFFFFFu, n1 = n >> 32;
    const std::uint64_t p00 = v0 * n0, p01 = v0 * n1, p10 = v1 * n0, p11 = v1 * n1;
    const std::uint64_t middle = (p00 >> 32) + (p01 & 0xFFFFFFFFu) + (p10 & 0xFFFFFFFFu);
    lo = (p00 & 0xFFFFFFFFu) | (middle << 32);
    hi = p11 + (p01 >> 32) + (p10 >> 32) + (middle >> 32);
}

class UniformIndexBounds : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(UniformIndexBounds, MatchesRejectionOnParallelStream) {
    const std::uint64_t n = GetParam();
    // Largest multiple of n * 2^s below 2^64, minus one.
    int shift = 0;
    while (!((n << shift) >> 63)) ++shift;
    const std::uint64_t zone = (n << shift) - 1;

    RandomSource rng = RandomSource::from_seed(n ^ 0x5DEECE66Dull);
    RandomSource parallel = RandomSource::from_seed(n ^ 0x5DEECE66Dull);
    std::uint64_t rejections = 0;
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t got = rng.uniform_index(n);
        std::uint64_t hi, lo;
        for (;;) {
            wide_multiply(parallel.draw_u64(), n, hi, lo);
            if (lo <= zone) break;
            ++rejections;
        }
        ASSERT_EQ(got, hi) << "call " << i;
        ASSERT_LT(got, n);
        ASSERT_EQ(rng.cursor(), parallel.cursor());
        ASSERT_EQ(rng.block_counter(), parallel.block_counter());
    }
    if (n == 1 || n == (1ull << 63) + 1) {
        // Zones near 2^63: about half the draws are rejected.
        EXPECT_GT(rejections, 700u);
    }
}

INSTANTIATE_TEST_SUITE_P(Sizes, UniformIndexBounds,
                         ::testing::Values(1ull, 2ull, 3ull, 10ull, 1000003ull, 1ull << 32, (1ull << 63) - 1,
                                           1ull << 63, (1ull << 63) + 1, kMax64 - 1, kMax64));

TEST(UniformIndexDistribution, SmallRangeIsBalanced) {
    RandomSource rng = RandomSource::from_seed(123);
    std::array<int, 6> counts{};
    const int draws = 60000;
    for (int i = 0; i < draws; ++i) ++counts[rng.uniform_index(6)];
    for (int c : counts) {
        EXPECT_GT(c, draws / 6 - 600);
        EXPECT_LT(c, draws / 6 + 600);
    }
}

TEST(UniformUnit, IsTopFiftyThreeBitsOfOneDraw) {
    RandomSource rng = RandomSource::from_seed(99);
    RandomSource parallel = RandomSource::from_seed(99);
    for (int i = 0; i < 5000; ++i) {
        const double u = rng.uniform_unit();
        const std::uint64_t v = parallel.draw_u64();
        ASSERT_EQ(u, std::ldexp(static_cast<double>(v >> 11), -53)) << "draw " << i;
        ASSERT_GE(u, 0.0);
        ASSERT_LT(u, 1.0);
        const double scaled = u * 9007199254740992.0;  // 2^53
        ASSERT_EQ(scaled, std::floor(scaled));
    }
}

// ---------------------------------------------------------------- block variants

std::vector<std::uint32_t> refill_with(chacha::RefillFn fn, const std::array<std::uint32_t, 8>& key,
                                       std::uint64_t counter, std::uint64_t stream) {
    // Unaligned on purpose (offset by one word), and guarded on both sides.
    std::vector<std::uint32_t> buffer(chacha::kRefillWords + 3, 0xDEADBEEFu);
    fn(key.data(), counter, stream, buffer.data() + 1);
    EXPECT_EQ(buffer.front(), 0xDEADBEEFu);
    EXPECT_EQ(buffer[chacha::kRefillWords + 1], 0xDEADBEEFu);
    EXPECT_EQ(buffer.back(), 0xDEADBEEFu);
    return std::vector<std::uint32_t>(buffer.begin() + 1, buffer.begin() + 1 + chacha::kRefillWords);
}

struct Variant {
    const char* name;
    chacha::RefillFn fn;
    bool (*available)();
};

void PrintTo(const Variant& variant, std::ostream* os) { *os << variant.name; }

bool always() { return true; }

class BlockVariant : public ::testing::TestWithParam<Variant> {
protected:
    void SetUp() override {
        if (!GetParam().available()) GTEST_SKIP() << GetParam().name << " not supported here";
    }
};

const std::vector<std::uint64_t> kEdgeCounters{0,
                                               1,
                                               (1ull << 32) - 4,
                                               (1ull << 32) - 3,
                                               (1ull << 32) - 2,
                                               (1ull << 32) - 1,
                                               1ull << 32,
                                               (1ull << 33) - 1,
                                               0x00000001FFFFFFFEull,
                                               0x7FFFFFFFFFFFFFFFull,
                                               kMax64 - 4,
                                               kMax64 - 3,
                                               kMax64 - 2,
                                               kMax64 - 1,
                                               kMax64};

TEST_P(BlockVariant, MatchesScalarOnRandomKeysAndCounters) {
    std::mt19937_64 gen(20261208);
    std::array<std::uint32_t, 8> key{};
    for (int trial = 0; trial < 20000; ++trial) {
        for (auto& w : key) w = static_cast<std::uint32_t>(gen());
        std::uint64_t counter = gen();
        if (trial % 3 == 1) counter = kEdgeCounters[gen() % kEdgeCounters.size()];
        if (trial % 3 == 2) counter = (counter & 0xFFFFFFFF00000000ull) | (0xFFFFFFFFu - gen() % 4);
        const std::uint64_t stream = (trial % 2) ? gen() : 0;
        ASSERT_EQ(refill_with(GetParam().fn, key, counter, stream),
                  refill_with(&chacha::refill_scalar, key, counter, stream))
            << "trial " << trial << " counter " << counter << " stream " << stream;
    }
}

TEST_P(BlockVariant, BlocksAreConsecutiveAcrossCarriesAndWrap) {
    // Block k of the refill at c is block 0 of the refill at c + k (mod 2^64):
    // the counter carries from word 12 into word 13 and wraps past 2^64 - 1.
    std::mt19937_64 gen(7);
    std::array<std::uint32_t, 8> key{};
    for (auto& w : key) w = static_cast<std::uint32_t>(gen());
    for (std::uint64_t counter : kEdgeCounters) {
        const auto words = refill_with(GetParam().fn, key, counter, 0);
        for (std::uint64_t k = 1; k < chacha::kBlocksPerRefill; ++k) {
            const auto single = refill_with(GetParam().fn, key, counter + k, 0);
            for (std::size_t w = 0; w < chacha::kBlockWords; ++w) {
                ASSERT_EQ(words[k * chacha::kBlockWords + w], single[w])
                    << "counter " << counter << " block " << k << " word " << w;
            }
        }
    }
}

TEST_P(BlockVariant, SeedZeroFirstRefillKnownWords) {
    const RandomSource rng = RandomSource::from_seed(0);
    std::array<std::uint32_t, 8> key{};
    for (std::size_t i = 0; i < 8; ++i) key[i] = rng.key()[i];
    const auto first = refill_with(GetParam().fn, key, 0, 0);
    EXPECT_EQ(first[0], 0xA79A3B6Cu);
    EXPECT_EQ(first[1], 0xB585F767u);
    EXPECT_EQ(first[4], 0x81E2A6E6u);
    EXPECT_EQ(first[5], 0xB2FB0D32u);
    const auto second = refill_with(GetParam().fn, key, 4, 0);
    EXPECT_EQ(second[0], 0xD39CB892u);
    EXPECT_EQ(second[1], 0x66BBD30Eu);
}

INSTANTIATE_TEST_SUITE_P(AllVariants, BlockVariant,
                         ::testing::Values(Variant{"scalar", &chacha::refill_scalar, &always},
                                           Variant{"avx2", &chacha::refill_avx2, &chacha::avx2_supported}),
                         [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

TEST(BlockDispatch, ChoosesWidestSupportedVariant) {
    if (chacha::avx2_supported()) {
        EXPECT_EQ(chacha::active_refill(), &chacha::refill_avx2);
        EXPECT_STREQ(chacha::active_refill_name(), "avx2");
    } else {
        EXPECT_EQ(chacha::active_refill(), &chacha::refill_scalar);
        EXPECT_STREQ(chacha::active_refill_name(), "scalar");
    }
    EXPECT_EQ(chacha::active_refill(), chacha::active_refill());
}

}  // namespace
