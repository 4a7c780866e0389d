#pragma once
// The instruction sets the kernels are built for, which of them this
// processor can run, and the one chosen for it (the widest available).
namespace corvalinth::kmeans::kernels {

enum class Isa { portable, avx2, avx512 };

// Whether this processor (and operating system) can run kernels built for `isa`.
bool isa_available(Isa isa);
// "portable", "avx2" or "avx512".
const char* isa_name(Isa isa);
// The widest available instruction set, probed once for the process.
Isa isa_selected();

}  // namespace corvalinth::kmeans::kernels
