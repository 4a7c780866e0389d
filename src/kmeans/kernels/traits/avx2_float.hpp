#pragma once
// Vector traits for AVX2 on floats: eight per register, for the float32
// pre-filter and the seeding's float distances. Include only from files
// compiled for AVX2.
#include <immintrin.h>

#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::kernels {
namespace {

struct Avx2Float {
    using reg = __m256;
    using mask = __m256;
    static constexpr std::size_t lanes = 8;
    static reg load(const float* p) { return _mm256_loadu_ps(p); }
    // Eight bfloat16 values (a float's upper 16 bits each) widened exactly.
    static reg load_bf16(const std::uint16_t* p) {
        const __m128i half = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        return _mm256_castsi256_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(half), 16));
    }
    static reg bcast(const float* p) { return _mm256_broadcast_ss(p); }
    static reg set1(float v) { return _mm256_set1_ps(v); }
    static reg sub(reg a, reg b) { return _mm256_sub_ps(a, b); }
    static reg add(reg a, reg b) { return _mm256_add_ps(a, b); }
    // Two roundings: AVX2 does not imply fused multiply-add.
    static reg mul_add(reg a, reg b, reg c) { return _mm256_add_ps(_mm256_mul_ps(a, b), c); }
    static mask lt(reg a, reg b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
    static reg min(reg a, reg b) { return _mm256_min_ps(a, b); }
    static reg max(reg a, reg b) { return _mm256_max_ps(a, b); }
    static reg blend(mask m, reg if_false, reg if_true) { return _mm256_blendv_ps(if_false, if_true, m); }
    static void store(float* p, reg r) { _mm256_storeu_ps(p, r); }
    // Four doubles rounded to floats (to nearest).
    static void store_narrow(float* p, __m256d r) { _mm_storeu_ps(p, _mm256_cvtpd_ps(r)); }
    // The doubles of two registers rounded to floats (to nearest), in order.
    static reg narrow(const __m256d* parts) {
        return _mm256_set_m128(_mm256_cvtpd_ps(parts[1]), _mm256_cvtpd_ps(parts[0]));
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
