// AVX2 float32 pre-filter: eight floats per vector (multiply, then add).
#include "kmeans/kernels/filter32_tile.hpp"
#include "kmeans/kernels/vector_avx2.hpp"
#include "kmeans/kernels/vector_avx2_float.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using Avx2Filter32 = Filter32Kernel<Avx2Float, Avx2, 2, 4>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_FILTER32_VARIANT(avx2, Avx2Filter32)
