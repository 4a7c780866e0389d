// Portable filter kernel: plain scalar code.
#include "kmeans/kernels/filter_tile.hpp"
#include "kmeans/kernels/vector_scalar.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using ScalarFilter = FilterKernel<Scalar, 4, 4>;

}  // namespace
}  // namespace corvalinth::kmeans::kernels

CORVALINTH_DEFINE_FILTER_VARIANT(portable, ScalarFilter)
