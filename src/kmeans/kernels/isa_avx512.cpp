// The AVX-512 kernels: eight doubles or sixteen floats per vector, comparisons in mask registers.
#include "kmeans/kernels/generic/carried_sums.hpp"
#include "kmeans/kernels/generic/exact.hpp"
#include "kmeans/kernels/generic/filter32.hpp"
#include "kmeans/kernels/generic/filter64.hpp"
#include "kmeans/kernels/generic/keep.hpp"
#include "kmeans/kernels/generic/register_sums.hpp"
#include "kmeans/kernels/generic/row_sums.hpp"
#include "kmeans/kernels/generic/seeding32.hpp"
#include "kmeans/kernels/kernel_table.hpp"
#include "kmeans/kernels/traits/avx512.hpp"
#include "kmeans/kernels/traits/avx512_float.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

// The exact distances read rows in place on this set (the eight-lane block
// load serves the filters).
using Exact = ExactKernels<Avx512, 8, 3, 3, 4, RowBlocks::no>;
using Filter64 = FilterKernel<Avx512, 2, 8>;
using Filter32 = Filter32Kernel<Avx512Float, Avx512, 2, 8, 2, 10>;

using Seeding32 = Seeding32Kernel<Avx512Float>;

}  // namespace

constinit const KernelTable kAvx512Kernels =
    make_kernel_table<Exact, Filter64, Filter32, Seeding32, SeedingBoundKernel<Avx512>, KeepKernel<Avx512>,
                      RegisterSumsKernel<Avx512>, CarriedSumsKernel<Avx512, Avx512Four>, RowSumsKernel<Avx512>>();

}  // namespace corvalinth::kmeans::kernels
