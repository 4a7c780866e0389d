// AVX-512 filter kernel: eight doubles per vector, fused multiply-add.
#include "kmeans/kernels/filter_tile.hpp"
#include "kmeans/kernels/vector_avx512.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using Avx512Filter = FilterKernel<Avx512, 2, 8>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_FILTER_VARIANT(avx512, Avx512Filter)
