#pragma once
// Vector traits for AVX2: four doubles per register. Include only from files compiled for AVX2.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::kernels {
namespace {

struct Avx2 {
    using reg = __m256d;
    using mask = __m256d;
    static constexpr std::size_t lanes = 4;
    static reg load(const double* p) { return _mm256_loadu_pd(p); }
    // Four floats widened (exactly); square roots (correctly rounded); a >= b
    // (false when either is NaN).
    static reg load_float(const float* p) { return _mm256_cvtps_pd(_mm_loadu_ps(p)); }
    static reg sqrt(reg a) { return _mm256_sqrt_pd(a); }
    static mask ge(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_GE_OQ); }
    // Each lane rounded to bfloat16 as to_bfloat16 does (bfloat16.hpp), the
    // four values stored at out; returns the doubles they stand for.
    static reg round_bf16(reg a, std::uint16_t* out) {
        const __m128i b = _mm_castps_si128(_mm256_cvtpd_ps(a));
        const __m128i odd = _mm_and_si128(_mm_srli_epi32(b, 16), _mm_set1_epi32(1));
        __m128i r = _mm_add_epi32(b, _mm_add_epi32(odd, _mm_set1_epi32(0x7FFF)));
        const __m128i exponent = _mm_set1_epi32(0x7F800000);
        const __m128i special = _mm_cmpeq_epi32(_mm_and_si128(b, exponent), exponent);
        r = _mm_blendv_epi8(r, _mm_set1_epi32(0x7FC00000), special);
        const __m128i top = _mm_srli_epi32(r, 16);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm_packus_epi32(top, top));
        return _mm256_cvtps_pd(_mm_castsi128_ps(_mm_slli_epi32(top, 16)));
    }
    static reg bcast(const double* p) { return _mm256_broadcast_sd(p); }
    static reg set1(double v) { return _mm256_set1_pd(v); }
    static reg sub(reg a, reg b) { return _mm256_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
    // Two roundings: AVX2 does not imply fused multiply-add.
    static reg mul_add(reg a, reg b, reg c) { return _mm256_add_pd(_mm256_mul_pd(a, b), c); }
    static mask lt(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static reg min(reg a, reg b) { return _mm256_min_pd(a, b); }
    static reg max(reg a, reg b) { return _mm256_max_pd(a, b); }
    static reg blend(mask m, reg if_false, reg if_true) { return _mm256_blendv_pd(if_false, if_true, m); }
    static void store(double* p, reg r) { _mm256_storeu_pd(p, r); }
    // The update's sums in registers: a mask from its bits (the addition kept
    // in the lanes of m is add_or's, below), and a row of w <= P doubles in
    // every group of P lanes (a masked load for three: nothing past the row
    // is read).
    static mask mask_of(unsigned bits) {
        const __m256i lane = _mm256_set_epi64x(8, 4, 2, 1);
        const __m256i b = _mm256_and_si256(_mm256_set1_epi64x(static_cast<long long>(bits)), lane);
        return _mm256_castsi256_pd(_mm256_cmpeq_epi64(b, lane));
    }
    // The first w lanes of p (a masked load: nothing past them is read), and
    // a + b in the lanes of m, o in the others (the sum computed in every
    // lane, a blend keeping o).
    static reg load_first(const double* p, std::size_t w) {
        const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
        return _mm256_maskload_pd(p, _mm256_cmpgt_epi64(_mm256_set1_epi64x(static_cast<long long>(w)), lane));
    }
    static reg add_or(mask m, reg a, reg b, reg o) { return _mm256_blendv_pd(o, _mm256_add_pd(a, b), m); }
    template <std::size_t P>
        requires(P == 1 || P == 2 || P == 4)
    static reg tile(const double* p, std::size_t w) {
        if constexpr (P == 1)
            return _mm256_broadcast_sd(p);
        else if constexpr (P == 2)
            return _mm256_broadcast_pd(reinterpret_cast<const __m128d*>(p));
        else if (w == 4)
            return _mm256_loadu_pd(p);
        else
            return _mm256_maskload_pd(p, _mm256_set_epi64x(0, -1, -1, -1));
    }
    static reg from_rows(const double* p, std::ptrdiff_t s) { return _mm256_set_pd(p[3 * s], p[2 * s], p[s], p[0]); }
    // Samples 0..3 as pairs: a = (a0, a2, a1, a3), b likewise.
    static void load_pairs(const double* p, reg& a, reg& b) {
        const reg lo = _mm256_loadu_pd(p);
        const reg hi = _mm256_loadu_pd(p + 4);
        a = _mm256_unpacklo_pd(lo, hi);
        b = _mm256_unpackhi_pd(lo, hi);
    }
    static reg pairs_order(reg r) { return _mm256_permute4x64_pd(r, _MM_SHUFFLE(3, 1, 2, 0)); }
    // Four registers transposed: lane t of cols[c] = lane c of rows[t].
    static void transpose(const reg* rows, reg* cols) {
        const reg lo01 = _mm256_unpacklo_pd(rows[0], rows[1]);  // r0[0] r1[0] r0[2] r1[2]
        const reg hi01 = _mm256_unpackhi_pd(rows[0], rows[1]);  // r0[1] r1[1] r0[3] r1[3]
        const reg lo23 = _mm256_unpacklo_pd(rows[2], rows[3]);
        const reg hi23 = _mm256_unpackhi_pd(rows[2], rows[3]);
        cols[0] = _mm256_permute2f128_pd(lo01, lo23, 0x20);
        cols[1] = _mm256_permute2f128_pd(hi01, hi23, 0x20);
        cols[2] = _mm256_permute2f128_pd(lo01, lo23, 0x31);
        cols[3] = _mm256_permute2f128_pd(hi01, hi23, 0x31);
    }
    static void load_block(const double* p, std::ptrdiff_t s, reg* cols) {
        const reg rows[4] = {_mm256_loadu_pd(p), _mm256_loadu_pd(p + s), _mm256_loadu_pd(p + 2 * s),
                             _mm256_loadu_pd(p + 3 * s)};
        transpose(rows, cols);
    }
    // The keep test's labels and table lookups (a gather).
    using index = __m256i;
    static index load_index(const std::uint64_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static reg lookup(const double* table, std::size_t, index i) { return _mm256_i64gather_pd(table, i, 8); }
    // Unsigned i >= k: both offset by 2^63, then a signed comparison.
    static bool outside(index i, std::size_t k) {
        const __m256i flip = _mm256_set1_epi64x(static_cast<long long>(std::uint64_t{1} << 63));
        const __m256i limit = _mm256_set1_epi64x(static_cast<long long>((k - 1) ^ (std::uint64_t{1} << 63)));
        return _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpgt_epi64(_mm256_xor_si256(i, flip), limit))) != 0;
    }
    static mask both(mask a, mask b) { return _mm256_and_pd(a, b); }
    // The magnitude (the sign bit cleared: NaN stays NaN).
    static reg abs(reg a) { return _mm256_andnot_pd(_mm256_set1_pd(-0.0), a); }
    static unsigned bits(mask m) { return static_cast<unsigned>(_mm256_movemask_pd(m)); }
    // Whole numbers below 2^52: adding 2^52 puts the number in the low
    // mantissa bits, and clearing the exponent bits leaves it as an integer.
    static void store_labels(std::uint64_t* out, reg r) {
        const reg magic = _mm256_set1_pd(0x1p52);
        const __m256i bits = _mm256_castpd_si256(_mm256_add_pd(r, magic));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_xor_si256(bits, _mm256_castpd_si256(magic)));
    }
    static void store_labels(std::int32_t* out, reg r) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_cvttpd_epi32(r));
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
