// Which instruction sets this processor runs, and the one the kernels use.
#include "kmeans/kernels/isa.hpp"

#include "runtime/cpu/cpu_features.hpp"

namespace corvalinth::kmeans::kernels {

bool isa_available(Isa isa) {
    switch (isa) {
        case Isa::avx512: return runtime::cpu_features().avx512;
        case Isa::avx2: return runtime::cpu_features().avx2;
        case Isa::portable: return true;
    }
    return false;
}

const char* isa_name(Isa isa) {
    switch (isa) {
        case Isa::avx512: return "avx512";
        case Isa::avx2: return "avx2";
        case Isa::portable: return "portable";
    }
    return "unknown";
}

Isa isa_selected() {
    static const Isa chosen = isa_available(Isa::avx512) ? Isa::avx512
                              : isa_available(Isa::avx2) ? Isa::avx2
                                                         : Isa::portable;
    return chosen;
}

}  // namespace corvalinth::kmeans::kernels
