#pragma once
// Float traits with one lane per register: the portable float32 pre-filter in
// plain scalar code.
#include <bit>
#include <cstddef>
#include <cstdint>

namespace corvalinth::kmeans::kernels {
namespace {

struct ScalarFloat {
    using reg = float;
    using mask = bool;
    static constexpr std::size_t lanes = 1;
    static reg load(const float* p) { return *p; }
    // A bfloat16 value (a float's upper 16 bits) widened exactly.
    static reg load_bf16(const std::uint16_t* p) { return std::bit_cast<float>(static_cast<std::uint32_t>(*p) << 16); }
    static reg bcast(const float* p) { return *p; }
    static reg set1(float v) { return v; }
    static reg sub(reg a, reg b) { return a - b; }
    static reg add(reg a, reg b) { return a + b; }
    // Two roundings: no fused multiply-add without the hardware for it.
    static reg mul_add(reg a, reg b, reg c) { return a * b + c; }
    static mask lt(reg a, reg b) { return a < b; }
    static reg min(reg a, reg b) { return a < b ? a : b; }
    static reg max(reg a, reg b) { return a > b ? a : b; }
    // Branch-free: which side wins is data dependent and unpredictable.
    static reg blend(mask m, reg if_false, reg if_true) {
        const std::uint32_t all = 0 - static_cast<std::uint32_t>(m);
        return std::bit_cast<float>((std::bit_cast<std::uint32_t>(if_true) & all) |
                                    (std::bit_cast<std::uint32_t>(if_false) & ~all));
    }
    static void store(float* p, reg r) { *p = r; }
    static void store_narrow(float* p, double r) { *p = static_cast<float>(r); }
    // One double rounded to float (to nearest).
    static reg narrow(const double* parts) { return static_cast<float>(parts[0]); }
};

}  // namespace
}  // namespace corvalinth::kmeans::kernels
