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
    static void store_labels(std::uint64_t* out, reg r) {
        _mm512_storeu_si512(out, _mm512_mask_cvttpd_epu64(_mm512_setzero_si512(), 0xFF, r));
    }
    static void store_labels(std::int32_t* out, reg r) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), 0xFF, r));
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
