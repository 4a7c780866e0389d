// Looking up the kernel table of an instruction set.
#include "kmeans/kernels/kernel_table.hpp"

#include "runtime/internal_failure.hpp"

namespace corvalinth::kmeans::kernels {

const KernelTable& kernel_table(Isa isa) {
    if (!isa_available(isa)) throw InternalFailure("nearest-centre kernel not available");
    switch (isa) {
        case Isa::avx512: return kAvx512Kernels;
        case Isa::avx2: return kAvx2Kernels;
        case Isa::portable: break;
    }
    return kPortableKernels;
}

const KernelTable& selected_kernels() {
    static const KernelTable& chosen = kernel_table(isa_selected());
    return chosen;
}

}  // namespace corvalinth::kmeans::kernels
