#pragma once
// The floating-point mode of the engine's threads. Every value the engine
// computes is defined in IEEE arithmetic with gradual underflow, and every
// certified bound assumes it; a thread may instead flush subnormal results to
// zero or read subnormal operands as zero (libraries built with -ffast-math
// set these bits when they are loaded).
namespace corvalinth::runtime {

// Whether the calling thread flushes subnormal results to zero or reads
// subnormal operands as zero. Kernels called outside an IeeeFloatMode scope
// (tests, benchmarks) check it: their certified filters and skips then stand
// aside and the exact kernels run.
bool subnormals_flushed();

// While alive, the calling thread computes with gradual underflow: the
// flush-to-zero and denormals-are-zero bits are cleared, and the thread's own
// mode is put back when the scope ends. suspend() puts the thread's mode back
// for code that is not the engine's (an interrupt check runs Python code,
// which may change the mode); resume() takes the mode as that code left it,
// to be restored at the end, and clears the two bits again.
class IeeeFloatMode {
public:
    IeeeFloatMode();
    ~IeeeFloatMode();
    IeeeFloatMode(const IeeeFloatMode&) = delete;
    IeeeFloatMode& operator=(const IeeeFloatMode&) = delete;

    void suspend();
    void resume();

private:
    unsigned saved_;
    bool suspended_ = false;
};

// Clears the two bits for the rest of the calling thread's life (a worker of
// the pool, which runs only the engine's code).
void use_gradual_underflow();

}  // namespace corvalinth::runtime
