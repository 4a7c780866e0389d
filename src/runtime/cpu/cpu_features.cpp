// One probe of the processor's vector features for the whole process.
#include "runtime/cpu/cpu_features.hpp"

namespace corvalinth::runtime {
namespace {

CpuFeatures probe() {
    // The compiler's checks read the CPUID bits and whether the operating
    // system saves the wider register state.
    __builtin_cpu_init();
    CpuFeatures f;
    f.avx2 = __builtin_cpu_supports("avx2");
    f.avx512 = f.avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw");
    return f;
}

}  // namespace

const CpuFeatures& cpu_features() {
    static const CpuFeatures features = probe();
    return features;
}

}  // namespace corvalinth::runtime
