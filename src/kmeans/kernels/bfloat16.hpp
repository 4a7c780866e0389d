#pragma once
// bfloat16 values (a float's upper 16 bits: 8 significant bits, the float's
// range) and the radius of a row's bfloat16 copy, shared by the scalar and
// the vector copies of the seeding's samples. Internal linkage: each
// instruction set's translation unit compiles its own copy.
#include <bit>
#include <cmath>
#include <cstdint>

namespace corvalinth::kmeans::kernels {
namespace {

// a rounded to float, then to 8 significant bits with ties to even; a value
// beyond the float range, or a NaN, gives a NaN.
inline std::uint16_t to_bfloat16(double a) {
    const float f = static_cast<float>(a);
    if (!std::isfinite(f)) return 0x7FC0;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(f);
    return static_cast<std::uint16_t>((bits + 0x7FFFu + (bits >> 16 & 1u)) >> 16);
}

// The value a bfloat16 stands for (exact).
inline float from_bfloat16(std::uint16_t h) { return std::bit_cast<float>(static_cast<std::uint32_t>(h) << 16); }

// What a row's copy has erred by so far: whether every copied value is within
// the guard, sum, a double sum (in any order) of the rounded squares of the
// copy's errors, and norm, the same of the rounded squares of the
// coordinates copied.
struct CopyError {
    bool inside = true;
    double sum = 0.0;
    double norm = 0.0;

    // a (the coordinate less the offset) copied as back.
    void add(double a, double back, double limit) {
        inside = inside && (back <= limit && back >= -limit);
        const double t = a - back;  // exact (Sterbenz, or back = 0)
        sum = sum + t * t;
        norm = norm + a * a;
    }
    // The radius: kappa = 1 + 2^-30 on the errors, 2^-51 for the rounding of
    // the coordinates themselves (offset subtracted), and F = 2^-500
    // (docs/proofs/seeding-float32.md, section 2); +infinity beyond the guard.
    double radius() const {
        return inside ? (std::sqrt(sum) * (1.0 + 0x1p-30) + std::sqrt(norm) * 0x1p-51) + 0x1p-500 : __builtin_inf();
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
