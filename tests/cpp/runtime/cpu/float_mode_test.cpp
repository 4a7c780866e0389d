// The engine's floating-point mode scope: gradual underflow inside, the
// thread's own flush bits (and only those) put back after, and the thread's
// mode in force while the scope is suspended.
#include "runtime/cpu/float_mode.hpp"

#include <gtest/gtest.h>
#include <xmmintrin.h>

namespace corvalinth::runtime {
namespace {

constexpr unsigned kFlushToZero = 1u << 15;
constexpr unsigned kDenormalsAreZero = 1u << 6;
constexpr unsigned kFlushBits = kFlushToZero | kDenormalsAreZero;
constexpr unsigned kInexactFlag = 1u << 5;

unsigned flush_bits() { return _mm_getcsr() & kFlushBits; }
void set_flush_bits(unsigned bits) { _mm_setcsr((_mm_getcsr() & ~kFlushBits) | bits); }

class IeeeScope : public ::testing::TestWithParam<unsigned> {
protected:
    void SetUp() override { saved_ = _mm_getcsr(); }
    void TearDown() override { _mm_setcsr(saved_); }
    unsigned saved_ = 0;
};

TEST_P(IeeeScope, ClearsThenRestoresTheFlushBits) {
    set_flush_bits(GetParam());
    EXPECT_EQ(subnormals_flushed(), GetParam() != 0);
    {
        const IeeeFloatMode mode;
        EXPECT_EQ(flush_bits(), 0u);
        EXPECT_FALSE(subnormals_flushed());
        // Gradual underflow in effect: the smallest normal halves to a subnormal.
        volatile double tiny = 0x1p-1022;
        EXPECT_EQ(tiny / 2.0, 0x1p-1023);
    }
    EXPECT_EQ(flush_bits(), GetParam());
}

TEST_P(IeeeScope, KeepsTheExceptionFlagsRaisedInside) {
    set_flush_bits(GetParam());
    _mm_setcsr(_mm_getcsr() & ~kInexactFlag);
    {
        const IeeeFloatMode mode;
        volatile double third = 1.0;
        third = third / 3.0;  // inexact
    }
    EXPECT_NE(_mm_getcsr() & kInexactFlag, 0u);
    EXPECT_EQ(flush_bits(), GetParam());
}

// Code run while suspended sees the thread's mode; what it sets is the mode
// put back at the end, and the scope clears it again on resume.
TEST_P(IeeeScope, SuspendShowsTheThreadsModeAndResumeTakesItsChanges) {
    set_flush_bits(GetParam());
    const unsigned changed = GetParam() == 0 ? kFlushToZero : 0;
    {
        IeeeFloatMode mode;
        mode.suspend();
        EXPECT_EQ(flush_bits(), GetParam());
        set_flush_bits(changed);
        mode.resume();
        EXPECT_EQ(flush_bits(), 0u);
        mode.suspend();
        mode.suspend();  // idempotent
        EXPECT_EQ(flush_bits(), changed);
        mode.resume();
        mode.resume();
        EXPECT_EQ(flush_bits(), 0u);
    }
    EXPECT_EQ(flush_bits(), changed);
}

// Ended while suspended (the suspended code threw): the thread's mode stays.
TEST_P(IeeeScope, EndedWhileSuspendedLeavesTheThreadsMode) {
    set_flush_bits(GetParam());
    {
        IeeeFloatMode mode;
        mode.suspend();
        set_flush_bits(kDenormalsAreZero);
    }
    EXPECT_EQ(flush_bits(), kDenormalsAreZero);
}

TEST_P(IeeeScope, WorkerModeIsGradualUnderflowForGood) {
    set_flush_bits(GetParam());
    use_gradual_underflow();
    EXPECT_EQ(flush_bits(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, IeeeScope, ::testing::Values(0u, kFlushToZero, kDenormalsAreZero, kFlushBits));

}  // namespace
}  // namespace corvalinth::runtime
