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
    // Samples 0..7 as pairs, in sample order.
    static void load_pairs(const double* p, reg& a, reg& b) {
        const reg lo = _mm512_loadu_pd(p);
        const reg hi = _mm512_loadu_pd(p + 8);
        a = _mm512_permutex2var_pd(lo, _mm512_set_epi64(14, 12, 10, 8, 6, 4, 2, 0), hi);
        b = _mm512_permutex2var_pd(lo, _mm512_set_epi64(15, 13, 11, 9, 7, 5, 3, 1), hi);
    }
    static reg pairs_order(reg r) { return r; }
    static void store_labels(std::uint64_t* out, reg r) { _mm512_storeu_si512(out, _mm512_mask_cvttpd_epu64(_mm512_setzero_si512(), 0xFF, r)); }
    static void store_labels(std::int32_t* out, reg r) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm512_mask_cvttpd_epi32(_mm256_setzero_si256(), 0xFF, r));
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
