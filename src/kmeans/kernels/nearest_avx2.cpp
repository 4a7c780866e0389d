// AVX2 nearest-centre kernels: four doubles per vector, no fused multiply-add.
#include <cstdint>

#include "kmeans/kernels/vector_avx2.hpp"
#include "kmeans/kernels/nearest_simd.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using Avx2Kernels = Kernels<Avx2, 4, 2, 3, 4>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_NEAREST_VARIANT(avx2, Avx2Kernels)
