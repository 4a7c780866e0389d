#pragma once
// The processor's vector features, probed once for the whole process; every
// run-time kernel selector reads them from here.
namespace corvalinth::runtime {

struct CpuFeatures {
    bool avx2 = false;  // AVX2, with the YMM state saved by the operating system
    bool avx512 = false;  // AVX-512 F, DQ, VL and BW, together with AVX2
};

// Probed on first call, then the same answer for the life of the process.
const CpuFeatures& cpu_features();

}  // namespace corvalinth::runtime
