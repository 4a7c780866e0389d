// AVX-512 nearest-centre kernels: eight doubles per vector (one whole panel
// block), comparison results in mask registers, no fused multiply-add.
#include <immintrin.h>

#include "kmeans/nearest_kernel_simd.hpp"

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
    static mask lt(reg a, reg b) { return _mm512_cmp_pd_mask(a, b, _CMP_LT_OQ); }
    static reg blend(mask m, reg if_false, reg if_true) { return _mm512_mask_blend_pd(m, if_false, if_true); }
    static void store(double* p, reg r) { _mm512_storeu_pd(p, r); }
};

using Avx512Kernels = Kernels<Avx512, 8, 3, 3, 4>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_NEAREST_VARIANT(avx512, Avx512Kernels)
