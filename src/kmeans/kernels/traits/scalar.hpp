#pragma once
// Vector traits with one lane per register: the portable kernels in plain scalar code.
#include <bit>
#include <cstddef>
#include <cstdint>

#include "kmeans/kernels/bfloat16.hpp"

namespace corvalinth::kmeans::kernels {
namespace {

// The kernels in plain scalar code, blocked for instruction-level parallelism.
struct Scalar {
    using reg = double;
    using mask = bool;
    static constexpr std::size_t lanes = 1;
    static reg load(const double* p) { return *p; }
    static reg load_float(const float* p) { return *p; }
    static reg sqrt(reg a) { return __builtin_sqrt(a); }
    static mask ge(reg a, reg b) { return a >= b; }
    // Rounded to bfloat16 (stored at out); returns the double it stands for.
    static reg round_bf16(reg a, std::uint16_t* out) {
        *out = to_bfloat16(a);
        return from_bfloat16(*out);
    }
    static reg bcast(const double* p) { return *p; }
    static reg set1(double v) { return v; }
    static reg sub(reg a, reg b) { return a - b; }
    static reg mul(reg a, reg b) { return a * b; }
    static reg add(reg a, reg b) { return a + b; }
    // Two roundings: no fused multiply-add without the hardware for it.
    static reg mul_add(reg a, reg b, reg c) { return a * b + c; }
    static mask lt(reg a, reg b) { return a < b; }
    static reg min(reg a, reg b) { return a < b ? a : b; }
    static reg max(reg a, reg b) { return a > b ? a : b; }
    // Branch-free: which side wins is data dependent and unpredictable.
    static reg blend(mask m, reg if_false, reg if_true) {
        const std::uint64_t all = 0 - static_cast<std::uint64_t>(m);
        return std::bit_cast<double>((std::bit_cast<std::uint64_t>(if_true) & all) |
                                     (std::bit_cast<std::uint64_t>(if_false) & ~all));
    }
    static void store(double* p, reg r) { *p = r; }
    static reg from_rows(const double* p, std::ptrdiff_t) { return *p; }
    // One lane: a register is its own transpose.
    static void transpose(const reg* rows, reg* cols) { cols[0] = rows[0]; }
    static void load_pairs(const double* p, reg& a, reg& b) {
        a = p[0];
        b = p[1];
    }
    static reg pairs_order(reg r) { return r; }
    // The keep test's labels and table lookups.
    using index = std::uint64_t;
    static index load_index(const std::uint64_t* p) { return *p; }
    static reg lookup(const double* table, std::size_t, index i) { return table[i]; }
    static bool outside(index i, std::size_t k) { return i >= k; }
    static mask both(mask a, mask b) { return a && b; }
    static mask mask_of(unsigned bits) { return (bits & 1U) != 0; }
    // The magnitude (the sign bit cleared: NaN stays NaN).
    static reg abs(reg a) { return __builtin_fabs(a); }
    static unsigned bits(mask m) { return m ? 1U : 0U; }
    template <class Out>
    static void store_labels(Out* out, reg r) {
        *out = static_cast<Out>(static_cast<std::int64_t>(r));
    }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
