// Portable float32 pre-filter: plain scalar code.
#include "kmeans/kernels/filter32_tile.hpp"
#include "kmeans/kernels/vector_scalar.hpp"
#include "kmeans/kernels/vector_scalar_float.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using ScalarFilter32 = Filter32Kernel<ScalarFloat, Scalar, 4, 4>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_FILTER32_VARIANT(portable, ScalarFilter32)
