#pragma once
// Vector traits for AVX-512 on floats: sixteen per register, comparisons into
// mask registers, for the float32 pre-filter and the seeding's float
// distances. Include only from files compiled for AVX-512.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::kernels {
namespace {

struct Avx512Float {
    using reg = __m512;
    using mask = __mmask16;
    static constexpr std::size_t lanes = 16;
    static reg load(const float* p) { return _mm512_loadu_ps(p); }
    // Sixteen bfloat16 values (a float's upper 16 bits each) widened exactly.
    static reg load_bf16(const std::uint16_t* p) {
        const __m256i half = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(half), 16));
    }
    static reg bcast(const float* p) { return _mm512_set1_ps(*p); }
    static reg set1(float v) { return _mm512_set1_ps(v); }
    static reg sub(reg a, reg b) { return _mm512_sub_ps(a, b); }
    static reg add(reg a, reg b) { return _mm512_add_ps(a, b); }
    // One rounding (fused).
    static reg mul_add(reg a, reg b, reg c) { return _mm512_fmadd_ps(a, b, c); }
    static mask lt(reg a, reg b) { return _mm512_cmp_ps_mask(a, b, _CMP_LT_OQ); }
    // a < b ? a : b and a > b ? a : b per lane (so b when either is NaN).
    static reg min(reg a, reg b) { return _mm512_maskz_min_ps(0xFFFF, a, b); }
    static reg max(reg a, reg b) { return _mm512_maskz_max_ps(0xFFFF, a, b); }
    static reg blend(mask m, reg if_false, reg if_true) { return _mm512_mask_blend_ps(m, if_false, if_true); }
    static void store(float* p, reg r) { _mm512_storeu_ps(p, r); }
    // Eight doubles rounded to floats (to nearest).
    static void store_narrow(float* p, __m512d r) { _mm256_storeu_ps(p, _mm512_maskz_cvtpd_ps(0xFF, r)); }
    // The doubles of two registers rounded to floats (to nearest), in order.
    static reg narrow(const __m512d* parts) {
        const __m256 lo = _mm512_maskz_cvtpd_ps(0xFF, parts[0]);
        const __m256 hi = _mm512_maskz_cvtpd_ps(0xFF, parts[1]);
        return _mm512_insertf32x8(_mm512_castps256_ps512(lo), hi, 1);
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
