#pragma once
// Vector traits for AVX-512: eight doubles per register, comparisons into mask
// registers. Include only from files compiled for AVX-512.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::kernels {
namespace {

struct Avx512 {
    using reg = __m512d;
    using mask = __mmask8;
    static constexpr std::size_t lanes = 8;
    static reg load(const double* p) { return _mm512_loadu_pd(p); }
    // Eight floats widened (exactly); square roots (correctly rounded); a >= b
    // (false when either is NaN).
    static reg load_float(const float* p) { return _mm512_cvtps_pd(_mm256_loadu_ps(p)); }
    static reg sqrt(reg a) { return _mm512_sqrt_pd(a); }
    static mask ge(reg a, reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_GE_OQ); }
    // Each lane rounded to bfloat16 as to_bfloat16 does (bfloat16.hpp), the
    // eight values stored at out; returns the doubles they stand for.
    static reg round_bf16(reg a, std::uint16_t* out) {
        const __m256i b = _mm256_castps_si256(_mm512_cvtpd_ps(a));
        const __m256i odd = _mm256_and_si256(_mm256_srli_epi32(b, 16), _mm256_set1_epi32(1));
        __m256i r = _mm256_add_epi32(b, _mm256_add_epi32(odd, _mm256_set1_epi32(0x7FFF)));
        const __m256i exponent = _mm256_set1_epi32(0x7F800000);
        const __m256i special = _mm256_cmpeq_epi32(_mm256_and_si256(b, exponent), exponent);
        r = _mm256_blendv_epi8(r, _mm256_set1_epi32(0x7FC00000), special);
        const __m256i top = _mm256_srli_epi32(r, 16);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_cvtepi32_epi16(top));
        return _mm512_cvtps_pd(_mm256_castsi256_ps(_mm256_slli_epi32(top, 16)));
    }
    static reg bcast(const double* p) { return _mm512_set1_pd(*p); }
    static reg set1(double v) { return _mm512_set1_pd(v); }
    static reg sub(reg a, reg b) { return _mm512_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm512_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm512_add_pd(a, b); }
    // One rounding (fused). Only the certified filter uses it; exact distances never do.
    static reg mul_add(reg a, reg b, reg c) { return _mm512_fmadd_pd(a, b, c); }
    static mask lt(reg a, reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static reg min(reg a, reg b) { return _mm512_mask_blend_pd(lt(a, b), b, a); }
    static reg max(reg a, reg b) { return _mm512_mask_blend_pd(lt(b, a), b, a); }
    static reg blend(mask m, reg if_false, reg if_true) { return _mm512_mask_blend_pd(m, if_false, if_true); }
    static void store(double* p, reg r) { _mm512_storeu_pd(p, r); }
    // The update's sums in registers: a mask from its bits (the masked
    // addition is add_or's, below), and a row of w <= P doubles in
    // every group of P lanes (masked loads: nothing past the row is read;
    // the broadcasts masked, with every lane taken: no undefined operand).
    static mask mask_of(unsigned bits) { return static_cast<mask>(bits); }
    // The first w lanes of p (a masked load: nothing past them is read), and
    // a + b in the lanes of m, o in the others (a in them: a masked addition).
    static reg load_first(const double* p, std::size_t w) {
        return _mm512_maskz_loadu_pd(static_cast<__mmask8>((1U << w) - 1U), p);
    }
    static reg add_or(mask m, reg a, reg b, reg o) { return _mm512_mask_add_pd(o, m, a, b); }
    template <std::size_t P>
    static reg tile(const double* p, std::size_t w) {
        const auto m = static_cast<__mmask8>((1U << w) - 1U);
        if constexpr (P == 1)
            return _mm512_set1_pd(*p);
        else if constexpr (P == 2)
            return _mm512_mask_broadcast_f64x2(_mm512_setzero_pd(), 0xFF, _mm_maskz_loadu_pd(m, p));
        else if constexpr (P == 4)
            return _mm512_mask_broadcast_f64x4(_mm512_setzero_pd(), 0xFF, _mm256_maskz_loadu_pd(m, p));
        else
            return _mm512_maskz_loadu_pd(m, p);
    }
    static reg from_rows(const double* p, std::ptrdiff_t s) {
        return _mm512_set_pd(p[7 * s], p[6 * s], p[5 * s], p[4 * s], p[3 * s], p[2 * s], p[s], p[0]);
    }
    // Eight registers transposed: lane t of cols[c] = lane c of r[t].
    // Three rounds of two-register permutes (which, unlike the unpack and
    // 128-bit shuffle forms, have no undefined pass-through operand).
    static void transpose(const reg* r, reg* cols) {
        static constexpr std::int64_t kPick[6][8] = {
            {0, 8, 2, 10, 4, 12, 6, 14},  // even coordinates of two rows, interleaved
            {1, 9, 3, 11, 5, 13, 7, 15},  // odd coordinates
            {0, 1, 8, 9, 4, 5, 12, 13},  // pairs 0 and 2 of two results
            {2, 3, 10, 11, 6, 7, 14, 15},  // pairs 1 and 3
            {0, 1, 2, 3, 8, 9, 10, 11},  // low halves
            {4, 5, 6, 7, 12, 13, 14, 15},  // high halves
        };
        __m512i pick[6];
        for (int q = 0; q < 6; ++q) pick[q] = _mm512_loadu_si512(kPick[q]);
        reg a[8];  // a[2q]: coordinates 0,2,4,6 of rows 2q, 2q+1; a[2q+1]: 1,3,5,7
        for (int q = 0; q < 4; ++q) {
            a[2 * q] = _mm512_permutex2var_pd(r[2 * q], pick[0], r[2 * q + 1]);
            a[2 * q + 1] = _mm512_permutex2var_pd(r[2 * q], pick[1], r[2 * q + 1]);
        }
        // b[h][m]: rows 4h..4h+3; m = 0: coordinates 0 and 4, 1: 2 and 6, 2: 1 and 5, 3: 3 and 7.
        reg b[2][4];
        for (int h = 0; h < 2; ++h) {
            b[h][0] = _mm512_permutex2var_pd(a[4 * h], pick[2], a[4 * h + 2]);
            b[h][1] = _mm512_permutex2var_pd(a[4 * h], pick[3], a[4 * h + 2]);
            b[h][2] = _mm512_permutex2var_pd(a[4 * h + 1], pick[2], a[4 * h + 3]);
            b[h][3] = _mm512_permutex2var_pd(a[4 * h + 1], pick[3], a[4 * h + 3]);
        }
        static constexpr int kLow[4] = {0, 2, 1, 3};  // coordinate in the low half of b[.][m]
        for (int m = 0; m < 4; ++m) {
            cols[kLow[m]] = _mm512_permutex2var_pd(b[0][m], pick[4], b[1][m]);
            cols[kLow[m] + 4] = _mm512_permutex2var_pd(b[0][m], pick[5], b[1][m]);
        }
    }
    // An 8 x 8 block of rows p + t * s, transposed: lane t of cols[c] = p[t * s + c].
    static void load_block(const double* p, std::ptrdiff_t s, reg* cols) {
        reg r[8];
        for (int t = 0; t < 8; ++t) r[t] = _mm512_loadu_pd(p + t * s);
        transpose(r, cols);
    }
    // Samples 0..7 as pairs, in sample order.
    static void load_pairs(const double* p, reg& a, reg& b) {
        const reg lo = _mm512_loadu_pd(p);
        const reg hi = _mm512_loadu_pd(p + 8);
        a = _mm512_permutex2var_pd(lo, _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0), hi);
        b = _mm512_permutex2var_pd(lo, _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1), hi);
    }
    static reg pairs_order(reg r) { return r; }
    // The keep test's labels and table lookups: up to 8 entries one
    // permute, up to 16 a two-register permute, more a gather (the one-source
    // forms masked, with every lane taken: no undefined pass-through operand).
    using index = __m512i;
    static index load_index(const std::uint64_t* p) { return _mm512_loadu_si512(p); }
    static reg lookup(const double* table, std::size_t k, index i) {
        const reg none = _mm512_setzero_pd();
        if (k <= 8) return _mm512_mask_permutexvar_pd(none, 0xFF, i, _mm512_loadu_pd(table));
        if (k <= 16) return _mm512_permutex2var_pd(_mm512_loadu_pd(table), i, _mm512_loadu_pd(table + 8));
        return _mm512_mask_i64gather_pd(none, 0xFF, i, table, 8);
    }
    static bool outside(index i, std::size_t k) {
        return _mm512_cmpge_epu64_mask(i, _mm512_set1_epi64(static_cast<long long>(k))) != 0;
    }
    // The lanes whose index lies in [lo, lo + span), as bits (the carried
    // sums' listing of one range of clusters).
    static unsigned index_bits_between(index i, std::uint64_t lo, std::uint64_t span) {
        return _mm512_cmplt_epu64_mask(_mm512_sub_epi64(i, _mm512_set1_epi64(static_cast<long long>(lo))),
                                       _mm512_set1_epi64(static_cast<long long>(span)));
    }
    static mask both(mask a, mask b) { return static_cast<mask>(a & b); }
    // The magnitude (the sign bit cleared: NaN stays NaN).
    static reg abs(reg a) { return _mm512_abs_pd(a); }
    static unsigned bits(mask m) { return m; }
    // The lanes of `bits` as indices first + l, packed in a register (the
    // register form: the memory form of the compress is slow on some cores)
    // and stored whole.
    static std::size_t list_lanes(std::size_t* out, unsigned bits, std::size_t first) {
        const __m512i at = _mm512_add_epi64(_mm512_set1_epi64(static_cast<long long>(first)),
                                            _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0));
        _mm512_storeu_si512(out, _mm512_maskz_compress_epi64(static_cast<__mmask8>(bits), at));
        return static_cast<std::size_t>(__builtin_popcount(bits));
    }
    // The same for 32-bit indices.
    static std::size_t list_lanes32(std::uint32_t* out, unsigned bits, std::uint32_t first) {
        const __m256i at =
            _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(first)), _mm256_set_epi32(7, 6, 5, 4, 3, 2, 1, 0));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                            _mm256_maskz_compress_epi32(static_cast<__mmask8>(bits), at));
        return static_cast<std::size_t>(__builtin_popcount(bits));
    }
    // Eight consecutive rows of D adjacent doubles, transposed by permutes.
    template <std::size_t D>
        requires(D >= 1 && D <= 4)
    static void load_dense(const double* p, reg* cols) {
        if constexpr (D == 1) {
            cols[0] = _mm512_loadu_pd(p);
        } else if constexpr (D == 2) {
            load_pairs(p, cols[0], cols[1]);
        } else if constexpr (D == 3) {
            // Coordinate j of row t is value 3t + j of the three registers:
            // the first permute takes those of the first two, the second the
            // rest from the third.
            static constexpr std::int64_t kFirst[3][8] = {
                {0, 3, 6, 9, 12, 15, 0, 0}, {1, 4, 7, 10, 13, 0, 0, 0}, {2, 5, 8, 11, 14, 0, 0, 0}};
            static constexpr std::int64_t kThird[3][8] = {
                {0, 1, 2, 3, 4, 5, 10, 13}, {0, 1, 2, 3, 4, 8, 11, 14}, {0, 1, 2, 3, 4, 9, 12, 15}};
            const reg r0 = _mm512_loadu_pd(p);
            const reg r1 = _mm512_loadu_pd(p + 8);
            const reg r2 = _mm512_loadu_pd(p + 16);
            for (std::size_t j = 0; j < 3; ++j) {
                const reg two = _mm512_permutex2var_pd(r0, _mm512_loadu_si512(kFirst[j]), r1);
                cols[j] = _mm512_permutex2var_pd(two, _mm512_loadu_si512(kThird[j]), r2);
            }
        } else {
            static_assert(D == 4);
            // Rows 0-3 from the first two registers into the low lanes, rows
            // 4-7 from the last two into the high lanes.
            static constexpr std::int64_t kLow[4][8] = {{0, 4, 8, 12, 0, 0, 0, 0},
                                                        {1, 5, 9, 13, 0, 0, 0, 0},
                                                        {2, 6, 10, 14, 0, 0, 0, 0},
                                                        {3, 7, 11, 15, 0, 0, 0, 0}};
            static constexpr std::int64_t kHigh[4][8] = {{0, 0, 0, 0, 0, 4, 8, 12},
                                                         {0, 0, 0, 0, 1, 5, 9, 13},
                                                         {0, 0, 0, 0, 2, 6, 10, 14},
                                                         {0, 0, 0, 0, 3, 7, 11, 15}};
            const reg r0 = _mm512_loadu_pd(p);
            const reg r1 = _mm512_loadu_pd(p + 8);
            const reg r2 = _mm512_loadu_pd(p + 16);
            const reg r3 = _mm512_loadu_pd(p + 24);
            for (std::size_t j = 0; j < 4; ++j) {
                const reg lo = _mm512_permutex2var_pd(r0, _mm512_loadu_si512(kLow[j]), r1);
                const reg hi = _mm512_permutex2var_pd(r2, _mm512_loadu_si512(kHigh[j]), r3);
                cols[j] = _mm512_mask_blend_pd(0xF0, lo, hi);
            }
        }
    }
    static void store_labels(std::uint64_t* out, reg r) {
        _mm512_storeu_si512(out, _mm512_mask_cvttpd_epu64(_mm512_setzero_si512(), 0xFF, r));
    }
    static void store_labels(std::int32_t* out, reg r) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), 0xFF, r));
    }
};

// Four doubles in a 256-bit register with AVX-512's mask registers: the
// carried sums of rows of up to three features, at half the cost of each
// operation on eight lanes.
struct Avx512Four {
    using reg = __m256d;
    using mask = __mmask8;
    static constexpr std::size_t lanes = 4;
    static reg load(const double* p) { return _mm256_loadu_pd(p); }
    static void store(double* p, reg r) { _mm256_storeu_pd(p, r); }
    static reg set1(double v) { return _mm256_set1_pd(v); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
    static reg blend(mask m, reg if_false, reg if_true) { return _mm256_mask_blend_pd(m, if_false, if_true); }
    static mask mask_of(unsigned bits) { return static_cast<mask>(bits & 0xFU); }
    static reg load_first(const double* p, std::size_t w) {
        return _mm256_maskz_loadu_pd(static_cast<__mmask8>((1U << w) - 1U), p);
    }
    static reg add_or(mask m, reg a, reg b, reg o) { return _mm256_mask_add_pd(o, m, a, b); }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
