// Reading the calling thread's flush-to-zero and denormals-are-zero bits.
#include "runtime/float_mode.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

namespace corvalinth::runtime {

bool subnormals_flushed() {
#if defined(__x86_64__) || defined(__i386__)
    // MXCSR bit 15: flush to zero; bit 6: denormals are zero.
    constexpr unsigned kFlushToZero = 1u << 15;
    constexpr unsigned kDenormalsAreZero = 1u << 6;
    return (_mm_getcsr() & (kFlushToZero | kDenormalsAreZero)) != 0;
#else
    return false;
#endif
}

}  // namespace corvalinth::runtime
