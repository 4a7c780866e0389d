// The AVX2 kernels: four doubles or eight floats per vector.
#include "kmeans/kernels/generic/carried_sums.hpp"
#include "kmeans/kernels/generic/exact.hpp"
#include "kmeans/kernels/generic/filter32.hpp"
#include "kmeans/kernels/generic/filter64.hpp"
#include "kmeans/kernels/generic/keep.hpp"
#include "kmeans/kernels/generic/register_sums.hpp"
#include "kmeans/kernels/generic/row_sums.hpp"
#include "kmeans/kernels/generic/seeding32.hpp"
#include "kmeans/kernels/kernel_table.hpp"
#include "kmeans/kernels/traits/avx2.hpp"
#include "kmeans/kernels/traits/avx2_float.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

using Exact = ExactKernels<Avx2, 4, 2, 3, 4, RowBlocks::yes>;
using Filter64 = FilterKernel<Avx2, 2, 4>;
using Filter32 = Filter32Kernel<Avx2Float, Avx2, 2, 4, 1, 10>;

using Seeding32 = Seeding32Kernel<Avx2Float>;

}  // namespace

constinit const KernelTable kAvx2Kernels =
    make_kernel_table<Exact, Filter64, Filter32, Seeding32, SeedingBoundKernel<Avx2>, KeepKernel<Avx2>,
                      RegisterSumsKernel<Avx2>, CarriedSumsKernel<Avx2>, RowSumsKernel<Avx2>>();

}  // namespace corvalinth::kmeans::kernels
