// AVX2 nearest-centre kernels: four doubles per vector, no fused multiply-add.
#include <immintrin.h>

#include "kmeans/nearest_kernel_simd.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

struct Avx2 {
    using reg = __m256d;
    using mask = __m256d;
    static constexpr std::size_t lanes = 4;
    static reg load(const double* p) { return _mm256_loadu_pd(p); }
    static reg bcast(const double* p) { return _mm256_broadcast_sd(p); }
    static reg set1(double v) { return _mm256_set1_pd(v); }
    static reg sub(reg a, reg b) { return _mm256_sub_pd(a, b); }
    static reg mul(reg a, reg b) { return _mm256_mul_pd(a, b); }
    static reg add(reg a, reg b) { return _mm256_add_pd(a, b); }
    static mask lt(reg a, reg b) { return _mm256_cmp_pd(a, b, _CMP_LT_OQ); }
    static reg blend(mask m, reg if_false, reg if_true) { return _mm256_blendv_pd(if_false, if_true, m); }
    static void store(double* p, reg r) { _mm256_storeu_pd(p, r); }
};

using Avx2Kernels = Kernels<Avx2, 4, 2, 3, 4>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_NEAREST_VARIANT(avx2, Avx2Kernels)
