#pragma once
// The floating-point mode of the calling thread, as far as the engine's error
// bounds care: they assume gradual underflow.
namespace corvalinth::runtime {

// Whether the calling thread flushes subnormal results to zero or reads
// subnormal operands as zero (set, for one, by libraries built with
// -ffast-math). The certified filters and skips then stand aside and the
// exact kernels run.
bool subnormals_flushed();

}  // namespace corvalinth::runtime
