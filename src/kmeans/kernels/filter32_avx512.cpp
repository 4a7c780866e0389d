// AVX-512 float32 pre-filter: sixteen floats per vector, fused multiply-add.
#include "kmeans/kernels/filter32_tile.hpp"
#include "kmeans/kernels/vector_avx512.hpp"
#include "kmeans/kernels/vector_avx512_float.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using Avx512Filter32 = Filter32Kernel<Avx512Float, Avx512, 2, 8>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_FILTER32_VARIANT(avx512, Avx512Filter32)
