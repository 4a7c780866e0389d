// AVX-512 nearest-centre kernels: eight doubles per vector (one whole panel
// block), comparison results in mask registers, no fused multiply-add.
#include <cstdint>

#include "kmeans/kernels/vector_avx512.hpp"
#include "kmeans/kernels/nearest_simd.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using Avx512Kernels = Kernels<Avx512, 8, 3, 3, 4>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_NEAREST_VARIANT(avx512, Avx512Kernels)
