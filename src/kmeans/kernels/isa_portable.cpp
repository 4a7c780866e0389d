// The portable kernels: plain scalar code, blocked for instruction-level parallelism.
#include "kmeans/kernels/generic/exact.hpp"
#include "kmeans/kernels/generic/filter32.hpp"
#include "kmeans/kernels/generic/filter64.hpp"
#include "kmeans/kernels/generic/keep.hpp"
#include "kmeans/kernels/generic/register_sums.hpp"
#include "kmeans/kernels/generic/row_sums.hpp"
#include "kmeans/kernels/generic/seeding32.hpp"
#include "kmeans/kernels/kernel_table.hpp"
#include "kmeans/kernels/traits/scalar.hpp"
#include "kmeans/kernels/traits/scalar_float.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using Exact = ExactKernels<Scalar, 1, 4, 2, 4, RowBlocks::no>;
using Filter64 = FilterKernel<Scalar, 4, 4>;
using Filter32 = Filter32Kernel<ScalarFloat, Scalar, 4, 4, 2, 5>;

using Seeding32 = Seeding32Kernel<ScalarFloat>;

}  // namespace

constinit const KernelTable kPortableKernels =
    make_kernel_table<Exact, Filter64, Filter32, Seeding32, SeedingBoundKernel<Scalar>, KeepKernel<Scalar>,
                      NoNarrowSums, NoNarrowSums, RowSumsKernel<Scalar>>();

}  // namespace corvalinth::kmeans::kernels
