#pragma once
// The kernel table of every kernel under test: the library's own tables, and
// one instantiated here on the emulated eight-lane vectors (the AVX-512
// tuning), so that its logic runs on any processor.
#include "kmeans/kernels/generic/carried_sums.hpp"
#include "kmeans/kernels/generic/exact.hpp"
#include "kmeans/kernels/generic/filter32.hpp"
#include "kmeans/kernels/generic/filter64.hpp"
#include "kmeans/kernels/generic/keep.hpp"
#include "kmeans/kernels/generic/register_sums.hpp"
#include "kmeans/kernels/generic/row_sums.hpp"
#include "kmeans/kernels/generic/seeding32.hpp"
#include "kmeans/kernels/kernel_table.hpp"
#include "support/emulated_vector.hpp"

namespace corvalinth::testing {

using EmulatedExact = kmeans::kernels::ExactKernels<Emulated8, 8, 3, 3, 4, kmeans::kernels::RowBlocks::yes>;
using EmulatedFilter = kmeans::kernels::FilterKernel<Emulated8, 2, 8>;
using EmulatedFilter32 = kmeans::kernels::Filter32Kernel<Emulated16f, Emulated8, 2, 8, 2, 10>;
using EmulatedSeeding32 = kmeans::kernels::Seeding32Kernel<Emulated16f>;

inline const kmeans::kernels::KernelTable& kernels_of(Kernel k) {
    static constexpr kmeans::kernels::KernelTable emulated = kmeans::kernels::make_kernel_table<
        EmulatedExact, EmulatedFilter, EmulatedFilter32, EmulatedSeeding32,
        kmeans::kernels::SeedingBoundKernel<Emulated8>, kmeans::kernels::KeepKernel<Emulated8>,
        kmeans::kernels::RegisterSumsKernel<Emulated8>, kmeans::kernels::CarriedSumsKernel<Emulated8, Emulated4>,
        kmeans::kernels::RowSumsKernel<Emulated8>>();
    return k == Kernel::emulated8 ? emulated : kmeans::kernels::kernel_table(library_isa(k));
}

}  // namespace corvalinth::testing
