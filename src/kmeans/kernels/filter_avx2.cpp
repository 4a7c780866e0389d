// AVX2 filter kernel: four doubles per vector (multiply, then add).
#include "kmeans/kernels/filter_tile.hpp"
#include "kmeans/kernels/vector_avx2.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using Avx2Filter = FilterKernel<Avx2, 2, 4>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_FILTER_VARIANT(avx2, Avx2Filter)
