// Reading and setting the flush-to-zero and denormals-are-zero bits of a thread.
#include "runtime/cpu/float_mode.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace corvalinth::runtime {
namespace {

// MXCSR bit 15: flush to zero; bit 6: denormals are zero.
constexpr unsigned kFlushToZero = 1u << 15;
constexpr unsigned kDenormalsAreZero = 1u << 6;
constexpr unsigned kFlushBits = kFlushToZero | kDenormalsAreZero;

unsigned read_mode() {
#if defined(__x86_64__) || defined(__i386__)
    return _mm_getcsr();
#else
    return 0;
#endif
}

void write_mode([[maybe_unused]] unsigned mode) {
#if defined(__x86_64__) || defined(__i386__)
    _mm_setcsr(mode);
#endif
}

// Clears the two bits; writes only when one is set.
void clear_flush_bits(unsigned mode) {
    if ((mode & kFlushBits) != 0) write_mode(mode & ~kFlushBits);
}

// Puts the two bits of `saved` back, keeping everything else of the current
// mode (the exception flags the engine's arithmetic raised meanwhile).
void restore_flush_bits(unsigned saved) {
    if ((saved & kFlushBits) != 0) write_mode((read_mode() & ~kFlushBits) | (saved & kFlushBits));
}

}  // namespace

bool subnormals_flushed() { return (read_mode() & kFlushBits) != 0; }

IeeeFloatMode::IeeeFloatMode() : saved_(read_mode()) { clear_flush_bits(saved_); }

IeeeFloatMode::~IeeeFloatMode() {
    if (!suspended_) restore_flush_bits(saved_);
}

void IeeeFloatMode::suspend() {
    if (suspended_) return;
    restore_flush_bits(saved_);
    suspended_ = true;
}

void IeeeFloatMode::resume() {
    if (!suspended_) return;
    saved_ = read_mode();
    clear_flush_bits(saved_);
    suspended_ = false;
}

void use_gradual_underflow() { clear_flush_bits(read_mode()); }

}  // namespace corvalinth::runtime
